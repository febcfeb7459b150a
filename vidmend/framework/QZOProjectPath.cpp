#include "QZOProjectPath.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include "QProjectConfig.h"

namespace {

// The program's own folder name, or an empty string (with the reason) when
// there is none that can safely be joined to a standard location. The
// project's version name is never part of it: the settings and the output
// folder must outlive an upgrade. Only a caller's explicit version is.
QString ProgramFolderName(const QString& name, const QString& version, QString* error)
{
    QString folder = name.isEmpty() ? QProjectConfig::getProjectConfig()->projectName() : name;
    if (folder.isEmpty()) {
        if (error)
            *error = QStringLiteral("no project name to name the program's folder after");
        return QString();
    }
    if (!version.isEmpty())
        folder = QStringLiteral("%1 %2").arg(folder, version);
    if (folder.contains(QLatin1Char('/')) || folder.contains(QLatin1Char('\\')) || folder == QLatin1String(".") ||
        folder == QLatin1String("..")) {
        if (error)
            *error = QStringLiteral("\"%1\" is not a folder name").arg(folder);
        return QString();
    }
    return folder;
}

// location joined with the program's folder name, not yet created; empty
// (with the reason) when either is missing.
QString ProgramFolderPath(const QString& location, const QString& name, const QString& version, QString* error)
{
    if (location.isEmpty()) {
        if (error)
            *error = QStringLiteral("the system names no such location");
        return QString();
    }
    const QString folder = ProgramFolderName(name, version, error);
    if (folder.isEmpty())
        return QString();
    QString path = QStringLiteral("%1/%2").arg(location, folder);
    QZOProjectPath::formatPath(path);
    return path;
}

QString MakeFolder(const QString& location, const QString& name, const QString& version, QString* error)
{
    const QString path = ProgramFolderPath(location, name, version, error);
    if (path.isEmpty())
        return QString();
    if (!QDir().mkpath(path)) {
        if (error)
            *error = QStringLiteral("cannot create the folder %1").arg(path);
        return QString();
    }
    return path;
}

// An existing folder we may use as our private temporary folder: a real
// directory (not a link), owned by us, and then closed to everyone else.
bool TrustedPrivateFolder(const QByteArray& path, QString* error)
{
    struct stat st;
    if (lstat(path.constData(), &st) != 0) {
        if (error)
            *error = QStringLiteral("cannot examine %1: %2").arg(QString::fromUtf8(path), QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    if (S_ISLNK(st.st_mode) || !S_ISDIR(st.st_mode)) {
        if (error)
            *error = QStringLiteral("%1 is not a folder of its own (a link or a file)").arg(QString::fromUtf8(path));
        return false;
    }
    if (st.st_uid != geteuid()) {
        if (error)
            *error = QStringLiteral("%1 belongs to another user").arg(QString::fromUtf8(path));
        return false;
    }
    if ((st.st_mode & 0077) != 0 && chmod(path.constData(), 0700) != 0) {
        if (error)
            *error = QStringLiteral("cannot close %1 to other users").arg(QString::fromUtf8(path));
        return false;
    }
    return true;
}

}  // namespace

void QZOProjectPath::formatPath(QString& path)
{
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    path.replace(QLatin1String("//"), QLatin1String("/"));
}

QString QZOProjectPath::getApplicationDirPath()
{
    static const QString dir = [] {
        QString path = QCoreApplication::applicationDirPath();
        path.replace(QLatin1Char('\\'), QLatin1Char('/'));
        path = path.left(path.lastIndexOf(QLatin1Char('/')) + 1);
        path += QLatin1Char('/');
        formatPath(path);
        return path;
    }();
    return dir;
}

QString QZOProjectPath::getResourcePath(const QString& name)
{
    static const QString base = [] {
        QString path = QCoreApplication::applicationDirPath();
        path.replace(QLatin1Char('\\'), QLatin1Char('/'));
        return path.left(path.lastIndexOf(QLatin1Char('/'))) + QStringLiteral("/Resources");
    }();
    QString path = name.isEmpty() ? base : base + name;
    formatPath(path);
    return path;
}

QString QZOProjectPath::getTempSavePath(const QString& name, const QString& version, QString* error)
{
    const QString location = QStandardPaths::writableLocation(QStandardPaths::TempLocation);
    if (!location.isEmpty() && !QDir().mkpath(location)) {
        if (error)
            *error = QStringLiteral("cannot create the system temporary location %1").arg(location);
        return QString();
    }
    // Several accounts share the temporary location: each has a folder of
    // its own, so that one made by another account (or by a run as root)
    // never stands in the way.
    QString path = ProgramFolderPath(location, name, version, error);
    if (path.isEmpty())
        return QString();
    path += QStringLiteral("-%1").arg(uint(geteuid()));
    const QByteArray native = QFile::encodeName(path);
    if (mkdir(native.constData(), 0700) != 0 && errno != EEXIST) {
        if (error)
            *error = QStringLiteral("cannot create %1: %2").arg(path, QString::fromLocal8Bit(strerror(errno)));
        return QString();
    }
    if (!TrustedPrivateFolder(native, error))
        return QString();
    return path;
}

QString QZOProjectPath::getDocumentPath(const QString& name, const QString& version, QString* error)
{
    return MakeFolder(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation), name, version, error);
}

QString QZOProjectPath::getAppDataPath(const QString& name, const QString& version, QString* error)
{
    // The standard location ends in the application's own name; the
    // program's folder takes its place.
    QString location = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    const int cut = location.lastIndexOf(QLatin1Char('/'));
    if (cut > 0)
        location = location.left(cut);
    return MakeFolder(location, name, version, error);
}

QString QZOProjectPath::getLogFilePath(const QString&, const QString&)
{
    return getAppDataPath(QString(), QString());
}
