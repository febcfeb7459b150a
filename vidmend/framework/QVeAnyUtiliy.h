// Small utilities: byte-size texts, the cached resource folder, and a
// tolerant comparison of floating-point values.
#ifndef VIDMEND_QVEANYUTILIY_H
#define VIDMEND_QVEANYUTILIY_H

#include <QString>

class QVeAnyUtiliy {
public:
    // "%1 B" below 1024, then KB, MB, GB and T with two decimals.
    static QString converSize(quint64 bytes);
    static QString getResourcePath();
    static bool equalDouble(double a, double b);
    static void QDpiScaleInit();
    static double getDpiScale();
};

#endif
