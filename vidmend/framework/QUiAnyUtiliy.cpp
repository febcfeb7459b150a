#include "QUiAnyUtiliy.h"

#include "QVeAnyUtiliy.h"

void QUiAnyUtiliy::QDpiScaleInit()
{
    QVeAnyUtiliy::QDpiScaleInit();
}

double QUiAnyUtiliy::getDpiScale()
{
    return QVeAnyUtiliy::getDpiScale();
}

QString QUiAnyUtiliy::converSize(quint64 bytes)
{
    return QVeAnyUtiliy::converSize(bytes);
}

QString QUiAnyUtiliy::getResourcePath()
{
    return QVeAnyUtiliy::getResourcePath();
}
