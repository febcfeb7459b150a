#include "QProjectSetting.h"

#include <QDir>
#include <QStandardPaths>

#include "QZOProjectPath.h"
#include "QZOProjectSetting.h"

namespace {

// One Boolean setting of the document: its element, its attribute, its
// default text, and the cache.
struct BoolSetting {
    const char* element;
    const char* attribute;
    const char* defaultText;
    bool cache;
};

BoolSetting g_askForSave{"Bool_Ask_For_Save_Key", "Bool_Ask_For_Save_Value", "Y", true};
BoolSetting g_autoOpen{"Bool_Auto_Open_Key", "Bool_Auto_Open_Value", "N", false};
BoolSetting g_autoUpdate{"Bool_Autoupdate_Key", "Bool_Autoupdate_Value", "N", false};
BoolSetting g_exitWhenClose{"Bool_Exit_Close_Key", "Bool_Exit_Close_Value", "Y", true};
BoolSetting g_showCloseDlg{"Bool_Show_Close_Dlg_Key", "Bool_Show_Close_Dlg_Value", "Y", true};

QString g_savePath;
QString g_openPath;
int g_taskNum = 1;

const QString kSaveElement = QStringLiteral("Output_Path_Key");
const QString kSaveAttribute = QStringLiteral("Output_Path_Value");
const QString kOpenElement = QStringLiteral("Open_Path_Key");
const QString kOpenAttribute = QStringLiteral("Open_Path_Value");
const QString kTaskElement = QStringLiteral("Task_Num_Key");
const QString kTaskAttribute = QStringLiteral("Task_Num_Value");

bool ReadBool(BoolSetting& setting, bool reload)
{
    if (reload) {
        const QString text = QZOProjectSetting::GetItemValue(QLatin1String(setting.element),
                                                             QLatin1String(setting.attribute),
                                                             QLatin1String(setting.defaultText));
        setting.cache = text == QLatin1String("Y");
    }
    return setting.cache;
}

void WriteBool(BoolSetting& setting, bool value, bool write)
{
    setting.cache = value;
    if (write)
        QZOProjectSetting::SetItemValue(QLatin1String(setting.element), QLatin1String(setting.attribute),
                                        value ? QStringLiteral("Y") : QStringLiteral("N"));
}

// Stores a folder, normalised, unless it is empty; returns what the cache
// takes in either case.
QString WritePath(const QString& element, const QString& attribute, const QString& path)
{
    QString normalised = path;
    if (!normalised.isEmpty()) {
        QZOProjectPath::formatPath(normalised);
        QZOProjectSetting::SetItemValue(element, attribute, normalised);
    }
    return normalised;
}

// Where the first file dialog opens: the videos folder when there is one,
// else the home folder. A folder that does not exist would open the dialog
// in its parent with the folder's name typed into the name box.
QString MoviesFolder()
{
    QString path = QStandardPaths::writableLocation(QStandardPaths::MoviesLocation);
    if (path.isEmpty() || !QDir(path).exists())
        path = QDir::homePath();
    QZOProjectPath::formatPath(path);
    return path;
}

int ClampTasks(int n)
{
    return qBound(QProjectSetting::kMinTasks, n, QProjectSetting::kMaxTasks);
}

}  // namespace

void QProjectSetting::init()
{
    getSavePathFromXML();
    getOpenPathFromXML();
    getTaskNumFromXML(true);
    getAskForSaveFromXML(true);
    getAutoOpenFolderFromXML(true);
    getAutoUpdateFromXML(true);
    getExitWhenCloseFromXML(true);
    getShowCloseDlgFromXML(true);
}

QString QProjectSetting::getSavePathFromXML()
{
    g_savePath = QZOProjectSetting::GetItemValue(kSaveElement, kSaveAttribute, getDefaultSavePath());
    return g_savePath;
}

QString QProjectSetting::getOpenPathFromXML()
{
    g_openPath = QZOProjectSetting::GetItemValue(kOpenElement, kOpenAttribute, MoviesFolder());
    return g_openPath;
}

int QProjectSetting::getTaskNumFromXML(bool reload)
{
    if (reload) {
        bool ok = false;
        const int n = QZOProjectSetting::GetItemValue(kTaskElement, kTaskAttribute, QStringLiteral("1")).toInt(&ok, 10);
        g_taskNum = ok ? n : 1;
    }
    // Only 1 to 3 parallel repairs are offered; a hand-edited document must
    // not start dozens, or none.
    g_taskNum = ClampTasks(g_taskNum);
    return g_taskNum;
}

bool QProjectSetting::getAskForSaveFromXML(bool reload) { return ReadBool(g_askForSave, reload); }
bool QProjectSetting::getAutoOpenFolderFromXML(bool reload) { return ReadBool(g_autoOpen, reload); }
bool QProjectSetting::getAutoUpdateFromXML(bool reload) { return ReadBool(g_autoUpdate, reload); }
bool QProjectSetting::getExitWhenCloseFromXML(bool reload) { return ReadBool(g_exitWhenClose, reload); }
bool QProjectSetting::getShowCloseDlgFromXML(bool reload) { return ReadBool(g_showCloseDlg, reload); }

QString QProjectSetting::getSavePath()
{
    if (g_savePath.isEmpty())
        getSavePathFromXML();
    createDir(g_savePath);
    return g_savePath;
}

QString QProjectSetting::getOpenPath()
{
    if (g_openPath.isEmpty() || !QDir(g_openPath).exists())
        g_openPath = MoviesFolder();
    return g_openPath;
}

QString QProjectSetting::getDefaultSavePath()
{
    QString path = QZOProjectPath::getDocumentPath(QString(), QString());
    QZOProjectPath::formatPath(path);
    return path;
}

void QProjectSetting::setSavePath(const QString& path) { g_savePath = path; }
void QProjectSetting::setOpenPath(const QString& path) { g_openPath = path; }

void QProjectSetting::setSavePathToXML(const QString& path)
{
    g_savePath = WritePath(kSaveElement, kSaveAttribute, path);
}

void QProjectSetting::setOpenPathToXML(const QString& path)
{
    g_openPath = WritePath(kOpenElement, kOpenAttribute, path);
}

void QProjectSetting::setTaskNumToXML(int n, bool write)
{
    g_taskNum = ClampTasks(n);
    if (write)
        QZOProjectSetting::SetItemValue(kTaskElement, kTaskAttribute, QString::number(g_taskNum));
}

void QProjectSetting::setAskForSaveToXML(bool value, bool write) { WriteBool(g_askForSave, value, write); }
void QProjectSetting::setAutoOpenFolderToXML(bool value, bool write) { WriteBool(g_autoOpen, value, write); }
void QProjectSetting::setAutoUpdateToXML(bool value, bool write) { WriteBool(g_autoUpdate, value, write); }
void QProjectSetting::setExitWhenCloseToXML(bool value, bool write) { WriteBool(g_exitWhenClose, value, write); }
void QProjectSetting::setShowCloseDlgToXML(bool value, bool write) { WriteBool(g_showCloseDlg, value, write); }

void QProjectSetting::createDir(const QString& path)
{
    if (!path.isEmpty() && !QDir(path).exists())
        QDir().mkpath(path);
}
