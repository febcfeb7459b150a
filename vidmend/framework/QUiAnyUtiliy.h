// The framework's utility class for byte-size texts, the resource folder
// and the display scale. The application itself calls QVeAnyUtiliy; this
// class offers the same operations under the framework's name and runs the
// same code.
#ifndef VIDMEND_QUIANYUTILIY_H
#define VIDMEND_QUIANYUTILIY_H

#include <QString>

class QUiAnyUtiliy {
public:
    // Nothing to set up: Qt scales for the display itself.
    static void QDpiScaleInit();
    static double getDpiScale();
    // "%1 B" below 1024, then KB, MB, GB and T with two decimals.
    static QString converSize(quint64 bytes);
    // The Resources folder beside the program's folder, found once.
    static QString getResourcePath();
};

#endif
