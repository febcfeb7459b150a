#include "QZOProjectSetting.h"

#include <QDomElement>
#include <QFile>
#include <QSaveFile>
#include <QtGlobal>

#include "QZOProjectPath.h"

namespace {

const QString kRootName = QStringLiteral("ROOTITEM");
const QString kDocumentName = QStringLiteral("ProjectDefaultSetting.xml");

void ResetDocument(QDomDocument& doc)
{
    doc = QDomDocument();
    doc.appendChild(doc.createElement(kRootName));
}

// The first child element of the root named section, or a null element.
QDomElement FindSection(const QDomDocument& doc, const QString& section)
{
    return doc.documentElement().firstChildElement(section);
}

}  // namespace

QString QZOProjectSetting::s_attributeFilePath;
QString QZOProjectSetting::m_logFilePath;
int QZOProjectSetting::g_langugeType = 0;

void QZOProjectSetting::InitAttributeFilePath()
{
    QString error;
    const QString folder = QZOProjectPath::getAppDataPath(QString(), QString(), &error);
    if (folder.isEmpty()) {
        qWarning("settings document unavailable: %s", qUtf8Printable(error));
        s_attributeFilePath.clear();
        return;
    }
    s_attributeFilePath = folder + QLatin1Char('/') + kDocumentName;
}

void QZOProjectSetting::setAttributeFilePath(const QString& path)
{
    s_attributeFilePath = path;
}

QString QZOProjectSetting::getAttributeFilePath()
{
    if (s_attributeFilePath.isEmpty())
        InitAttributeFilePath();
    QZOProjectPath::formatPath(s_attributeFilePath);
    return s_attributeFilePath;
}

bool QZOProjectSetting::isValidFile(const QString& path, QDomDocument& doc)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    if (!doc.setContent(&file, false) || doc.documentElement().isNull()) {
        // What a failed parse leaves in doc is not to be built on; the
        // damaged file itself stays until the next write replaces it.
        qWarning("settings document %s is damaged; starting afresh", qUtf8Printable(path));
        ResetDocument(doc);
    }
    return true;
}

bool QZOProjectSetting::Load(const QString& path, QDomDocument& doc)
{
    if (path.isEmpty())
        return false;
    if (!QFile::exists(path)) {
        ResetDocument(doc);
        return true;
    }
    return isValidFile(path, doc);
}

QString QZOProjectSetting::GetItemValue(const QString& section, const QString& key, const QString& defaultValue)
{
    const QString path = getAttributeFilePath();
    QDomDocument doc;
    if (!Load(path, doc))
        return defaultValue;
    QDomElement element = FindSection(doc, section);
    if (element.isNull()) {
        doc.documentElement().appendChild(doc.createElement(section));
        SaveXml(path, doc);
        return defaultValue;
    }
    const QString value = element.attribute(key);
    return value.isEmpty() ? defaultValue : value;
}

bool QZOProjectSetting::SetItemValue(const QString& section, const QString& key, const QString& value)
{
    const QString path = getAttributeFilePath();
    QDomDocument doc;
    if (!Load(path, doc))
        return false;
    QDomElement element = FindSection(doc, section);
    if (element.isNull())
        element = doc.documentElement().appendChild(doc.createElement(section)).toElement();
    element.setAttribute(key, value);
    return SaveXml(path, doc);
}

bool QZOProjectSetting::SaveXml(const QString& path, const QDomDocument& doc)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        qWarning("error::ParserXML->writeOperateXml->file.open\n");
        return false;
    }
    // toByteArray writes UTF-8 and adds no XML declaration of its own.
    const QByteArray bytes = doc.toByteArray(4);
    if (file.write(bytes) != bytes.size() || !file.commit()) {
        qWarning("cannot write the settings document %s", qUtf8Printable(path));
        return false;
    }
    return true;
}

void QZOProjectSetting::setLogFilePath(const QString& path)
{
    m_logFilePath = path;
    QZOProjectPath::formatPath(m_logFilePath);
}

QString QZOProjectSetting::getLogFilePath()
{
    return m_logFilePath;
}

void QZOProjectSetting::setLanguageType(const QString& name)
{
    static const QStringList kLanguages = {QStringLiteral("English"), QStringLiteral("Chinese"),
                                           QStringLiteral("German"), QStringLiteral("French"),
                                           QStringLiteral("Japanese")};
    g_langugeType = qMax(0, kLanguages.indexOf(name));
}

int QZOProjectSetting::getLanguageType()
{
    return g_langugeType;
}

QStringList QZOProjectSetting::GetLanguage(const QString& file)
{
    QStringList names;
    QDomDocument doc;
    if (!QFile::exists(file) || !isValidFile(file, doc))
        return names;
    for (QDomElement e = doc.documentElement().firstChildElement(); !e.isNull(); e = e.nextSiblingElement())
        names << e.attribute(QStringLiteral("Language_Name"));
    return names;
}

QPair<QString, QString> QZOProjectSetting::GetLanguageFile(const QString& file, const QString& name)
{
    QPair<QString, QString> result;
    QDomDocument doc;
    if (!QFile::exists(file) || !isValidFile(file, doc))
        return result;
    for (QDomElement e = doc.documentElement().firstChildElement(); !e.isNull(); e = e.nextSiblingElement()) {
        if (e.attribute(QStringLiteral("Language_Name")) == name)
            result = qMakePair(e.attribute(QStringLiteral("Language_File")), e.attribute(QStringLiteral("Language_Type")));
    }
    return result;
}
