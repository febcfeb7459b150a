// The application's settings, cached: read once at start-up from the
// settings document, answered from the cache afterwards, and written back
// to the document when a caller asks for it.
#ifndef VIDMEND_QPROJECTSETTING_H
#define VIDMEND_QPROJECTSETTING_H

#include <QString>

class QProjectSetting {
public:
    static void init();

    static QString getSavePathFromXML();
    static QString getOpenPathFromXML();
    // The number of repairs run at once, always 1 to 3.
    static int getTaskNumFromXML(bool reload);
    static bool getAskForSaveFromXML(bool reload);
    static bool getAutoOpenFolderFromXML(bool reload);
    static bool getAutoUpdateFromXML(bool reload);
    static bool getExitWhenCloseFromXML(bool reload);
    static bool getShowCloseDlgFromXML(bool reload);

    static QString getSavePath();
    static QString getOpenPath();
    static QString getDefaultSavePath();
    static void setSavePath(const QString& path);
    static void setOpenPath(const QString& path);
    static void setSavePathToXML(const QString& path);
    static void setOpenPathToXML(const QString& path);
    static void setTaskNumToXML(int n, bool write);
    static void setAskForSaveToXML(bool value, bool write);
    static void setAutoOpenFolderToXML(bool value, bool write);
    static void setAutoUpdateToXML(bool value, bool write);
    static void setExitWhenCloseToXML(bool value, bool write);
    static void setShowCloseDlgToXML(bool value, bool write);
    static void createDir(const QString& path);

    static constexpr int kMinTasks = 1;
    static constexpr int kMaxTasks = 3;
};

#endif
