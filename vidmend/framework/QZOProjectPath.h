// Where the program keeps its files: the resource folder beside the
// executable's folder, and one folder of its own under the temporary,
// documents and application-data locations. Paths use "/" separators.
#ifndef VIDMEND_QZOPROJECTPATH_H
#define VIDMEND_QZOPROJECTPATH_H

#include <QString>

class QZOProjectPath {
public:
    // In place: every backslash becomes "/", then each "//" becomes "/" in
    // one pass (so "///" becomes "//").
    static void formatPath(QString& path);

    // The folder above the executable's folder, with a trailing "/".
    static QString getApplicationDirPath();
    // That folder's "Resources" subfolder, with name appended when given.
    static QString getResourcePath(const QString& name);

    // The program's folder under each standard location, named after name
    // (or the project name) and version (when given; the project's version
    // name never goes into a folder name), created when missing. An empty string when there is no name to give it or the
    // folder cannot be made or trusted; error then says why. None of them
    // ever answers with the bare standard location.
    //
    // The temporary folder is emptied by every repair run, so it must be
    // ours alone: its name ends in "-" and the user's id, so that each
    // account has its own; it is created with mode 0700, and an existing one
    // that is a symbolic link or belongs to another user is refused.
    static QString getTempSavePath(const QString& name, const QString& version, QString* error = nullptr);
    static QString getDocumentPath(const QString& name, const QString& version, QString* error = nullptr);
    static QString getAppDataPath(const QString& name, const QString& version, QString* error = nullptr);
    static QString getLogFilePath(const QString& name, const QString& version);
};

#endif
