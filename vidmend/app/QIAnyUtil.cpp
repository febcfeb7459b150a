#include "QIAnyUtil.h"

#include <sys/statvfs.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

QString QIAnyUtil::sizetoString(quint64 size)
{
    constexpr quint64 kKB = 1024ULL;
    constexpr quint64 kMB = kKB * 1024;
    constexpr quint64 kGB = kMB * 1024;
    if (size >= kGB + 1)
        return QString::asprintf("%.2fGB", double(size) / kGB);
    if (size >= kMB + 1)
        return QString::asprintf("%.2fMB", double(size) / kMB);
    if (size >= kKB + 1)
        return QString::asprintf("%.2fKB", double(size) / kKB);
    return QString::asprintf("%lluB", static_cast<unsigned long long>(size));
}

QString QIAnyUtil::freeSpaceInDisk(const QString& path)
{
    // A chosen output folder may not exist yet: measure where it would be made.
    QString probe = QFileInfo(path.isEmpty() ? QDir::rootPath() : path).absoluteFilePath();
    while (!QFileInfo::exists(probe) && probe != QDir::rootPath())
        probe = QFileInfo(probe).absolutePath();
    struct statvfs fs;
    if (statvfs(QFile::encodeName(probe).constData(), &fs) != 0)
        return QString();
    return sizetoString(static_cast<quint64>(fs.f_bavail) * static_cast<quint64>(fs.f_frsize));
}

QString QIAnyUtil::validFileName(const QString& path)
{
    if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink())
        return path;
    // The extension is the last "." of the file name itself, and not its
    // first character (".profile" has none).
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    const int dot = path.lastIndexOf(QLatin1Char('.'));
    QString base = path;
    QString ext;
    if (dot > slash + 1) {
        base = path.left(dot);
        ext = path.mid(dot);
    }
    for (quint64 n = 1;; ++n) {
        // Concatenated, not arg()-chained: a "%" in the name must stay as it is.
        const QString candidate = base + QStringLiteral(" - ") + QString::number(n) + ext;
        if (!QFileInfo::exists(candidate) && !QFileInfo(candidate).isSymLink())
            return candidate;
    }
}
