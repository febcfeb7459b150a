// The updater's calls. On this desktop updates come with the system's
// packages, so the platform layer only logs a request and remembers the
// automatic-check switch; nothing goes to the network.
#ifndef VIDMEND_QZOPRODUCTSETTING_H
#define VIDMEND_QZOPRODUCTSETTING_H

class QZOProjectPlatform {
public:
    static void checkForUpdate();
    static void setAutoCheckUpdate(bool on);
    static bool autoCheckUpdate();
    static int checkRequests();
};

class QZOProductSetting {
public:
    static void checkForUpdate() { QZOProjectPlatform::checkForUpdate(); }
    static void setAutoCheckUpdate(bool on) { QZOProjectPlatform::setAutoCheckUpdate(on); }
};

#endif
