#include "QZOProductSetting.h"

#include <QDebug>

namespace {
bool g_autoCheck = false;
int g_requests = 0;
}  // namespace

void QZOProjectPlatform::checkForUpdate()
{
    ++g_requests;
    qInfo("Updates: a check was asked for; updates come with the system's packages");
}

void QZOProjectPlatform::setAutoCheckUpdate(bool on)
{
    g_autoCheck = on;
    qInfo("Updates: automatic checks %s", on ? "on" : "off");
}

bool QZOProjectPlatform::autoCheckUpdate()
{
    return g_autoCheck;
}

int QZOProjectPlatform::checkRequests()
{
    return g_requests;
}
