// Size texts, free disk space and unique file names for the file list, the
// repair driver, saving and the output-folder dialog.
#ifndef VIDMEND_QIANYUTIL_H
#define VIDMEND_QIANYUTIL_H

#include <QString>

class QIAnyUtil {
public:
    // "%dB" up to 1024, then "%.2fKB", "%.2fMB", "%.2fGB" (1024 per step).
    static QString sizetoString(quint64 size);
    // The space free to us on the file system that holds path (or its
    // nearest existing parent); empty when it cannot be measured.
    static QString freeSpaceInDisk(const QString& path);
    // path when nothing of that name exists; otherwise the first free name
    // made by inserting " - N" (N = 1, 2, ...) before the extension. The
    // characters of the name are never rewritten.
    static QString validFileName(const QString& path);
};

#endif
