// The settings document "ProjectDefaultSetting.xml" in the application-data
// folder: root element "ROOTITEM", one child element per section, each
// setting an attribute of its section. Every call reads the whole file and,
// when it changes anything, writes it again, so no state is cached here.
#ifndef VIDMEND_QZOPROJECTSETTING_H
#define VIDMEND_QZOPROJECTSETTING_H

#include <QDomDocument>
#include <QPair>
#include <QString>
#include <QStringList>

class QZOProjectSetting {
public:
    // Points the document at the application-data folder; empty (and every
    // later write fails) when that folder cannot be had.
    static void InitAttributeFilePath();
    static void setAttributeFilePath(const QString& path);
    // Computed on first use when no path has been set.
    static QString getAttributeFilePath();

    static QString GetItemValue(const QString& section, const QString& key, const QString& defaultValue);
    // False when the document could not be written; nothing was changed then.
    static bool SetItemValue(const QString& section, const QString& key, const QString& value);

    // Writes doc atomically over path: a crash mid-write leaves the old file.
    static bool SaveXml(const QString& path, const QDomDocument& doc);
    // Loads path into doc. False when the file cannot be opened; a file that
    // is not well-formed gives true and doc reset to an empty "ROOTITEM".
    static bool isValidFile(const QString& path, QDomDocument& doc);

    static void setLogFilePath(const QString& path);
    static QString getLogFilePath();
    static void setLanguageType(const QString& name);
    static int getLanguageType();
    static QStringList GetLanguage(const QString& file);
    // (language file, language type) of the last entry named name.
    static QPair<QString, QString> GetLanguageFile(const QString& file, const QString& name);

private:
    // The document at path, created empty when the file is missing.
    static bool Load(const QString& path, QDomDocument& doc);
    static QString s_attributeFilePath;
    static QString m_logFilePath;
    static int g_langugeType;
};

#endif
