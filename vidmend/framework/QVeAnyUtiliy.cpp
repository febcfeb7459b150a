#include "QVeAnyUtiliy.h"

#include "QZOProjectPath.h"

QString QVeAnyUtiliy::converSize(quint64 bytes)
{
    constexpr quint64 kKB = 1024ULL;
    constexpr quint64 kMB = kKB * 1024;
    constexpr quint64 kGB = kMB * 1024;
    constexpr quint64 kTB = kGB * 1024;
    if (bytes < kKB)
        return QStringLiteral("%1 B").arg(bytes);
    if (bytes < kMB)
        return QStringLiteral("%1 KB").arg(QString::number(double(bytes) / kKB, 'f', 2));
    if (bytes < kGB)
        return QStringLiteral("%1 MB").arg(QString::number(double(bytes) / kMB, 'f', 2));
    if (bytes < kTB)
        return QStringLiteral("%1 GB").arg(QString::number(double(bytes) / kGB, 'f', 2));
    return QStringLiteral("%1 T").arg(QString::number(double(bytes) / kTB, 'f', 2));
}

QString QVeAnyUtiliy::getResourcePath()
{
    return QZOProjectPath::getResourcePath(QString());
}

bool QVeAnyUtiliy::equalDouble(double a, double b)
{
    const double diff = a - b;
    return diff > -0.000001 && diff < 0.000001;
}

void QVeAnyUtiliy::QDpiScaleInit() {}

double QVeAnyUtiliy::getDpiScale()
{
    return 1.0;
}
