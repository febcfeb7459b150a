// Project configuration, program folders and the settings document.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QDomDocument>
#include <QFile>
#include <QStandardPaths>

#include "AppTestEnv.h"
#include "QProjectConfig.h"
#include "QProjectSetting.h"
#include "QUiAnyUtiliy.h"
#include "QVeAnyUtiliy.h"
#include "QZOProjectPath.h"
#include "QZOProjectSetting.h"
#include "support/Damage.h"
#include "support/Fixtures.h"

using namespace mendtest;

namespace {

QString FromStd(const std::string& s) { return QString::fromStdString(s); }

// Runs body with the project name changed, and restores it.
template <typename F>
void WithProjectName(const QString& name, F body)
{
    QProjectConfig* config = QProjectConfig::getProjectConfig();
    const QString saved = config->projectName();
    config->setProjectName(name);
    body();
    config->setProjectName(saved);
}

// The name the temporary folder gives the folder named name: each account
// has its own.
QString OwnTemp(const QString& name)
{
    return QStringLiteral("%1/%2-%3")
        .arg(QStandardPaths::writableLocation(QStandardPaths::TempLocation), name)
        .arg(uint(geteuid()));
}

}  // namespace

TEST(ProjectPath, FormatPathTable)
{
    const std::pair<QString, QString> cases[] = {
        {"a\\b\\c", "a/b/c"}, {"a//b", "a/b"}, {"a///b", "a//b"}, {"\\\\server\\x", "/server/x"}, {"", ""}};
    for (const auto& c : cases) {
        QString path = c.first;
        QZOProjectPath::formatPath(path);
        EXPECT_EQ(path, c.second) << c.first.toStdString();
    }
}

TEST(ProjectPath, ResourcesLieBesideTheExecutablesFolder)
{
    QDir up(QCoreApplication::applicationDirPath());
    up.cdUp();
    EXPECT_EQ(QZOProjectPath::getResourcePath(QString()), up.absolutePath() + "/Resources");
    EXPECT_EQ(QZOProjectPath::getResourcePath("/image"), up.absolutePath() + "/Resources/image");
    EXPECT_EQ(QVeAnyUtiliy::getResourcePath(), QZOProjectPath::getResourcePath(QString()));
    EXPECT_EQ(QZOProjectPath::getApplicationDirPath(), up.absolutePath() + "/");
}

TEST(ProjectPath, ProgramFoldersUnderTheStandardLocations)
{
    const QString temp = QStandardPaths::writableLocation(QStandardPaths::TempLocation);
    ASSERT_TRUE(temp.startsWith(FromStd(AppSandbox()))) << temp.toStdString();

    EXPECT_EQ(QZOProjectPath::getTempSavePath("Y", "2"), OwnTemp("Y 2"));
    const QString own = QZOProjectPath::getTempSavePath(QString(), QString());
    EXPECT_EQ(own, OwnTemp(kTestProjectName));
    struct stat st;
    ASSERT_EQ(stat(QFile::encodeName(own).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    QString data = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    data = data.left(data.lastIndexOf('/'));
    const QString appData = QZOProjectPath::getAppDataPath(QString(), QString());
    EXPECT_EQ(appData, data + "/" + kTestProjectName);
    EXPECT_TRUE(QDir(appData).exists());
    EXPECT_TRUE(appData.startsWith(FromStd(AppSandbox())));
    EXPECT_EQ(QZOProjectPath::getDocumentPath(QString(), "3"),
              QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) + "/" + kTestProjectName + " 3");
}

// No folder carries the project's version name: the settings, the output
// folder and the temporary folder stay where they are when it changes.
TEST(ProjectPath, NoFolderNameCarriesTheVersion)
{
    QProjectConfig* config = QProjectConfig::getProjectConfig();
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    QString data = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    data = data.left(data.lastIndexOf('/'));
    const QString settings = data + "/" + kTestProjectName + "/ProjectDefaultSetting.xml";
    for (const QString& version : {QString(), QStringLiteral("9.9.9")}) {
        config->setProjectVersionName(version);
        EXPECT_EQ(QZOProjectPath::getTempSavePath(QString(), QString()), OwnTemp(kTestProjectName)) << version.toStdString();
        EXPECT_EQ(QZOProjectPath::getDocumentPath(QString(), QString()), documents + "/" + kTestProjectName) << version.toStdString();
        EXPECT_EQ(QZOProjectPath::getAppDataPath(QString(), QString()), data + "/" + kTestProjectName) << version.toStdString();
        EXPECT_EQ(QZOProjectPath::getLogFilePath(QString(), QString()), data + "/" + kTestProjectName) << version.toStdString();
        EXPECT_EQ(QProjectSetting::getDefaultSavePath(), documents + "/" + kTestProjectName) << version.toStdString();
        QZOProjectSetting::setAttributeFilePath(QString());
        EXPECT_EQ(QZOProjectSetting::getAttributeFilePath(), settings) << version.toStdString();
    }
    config->setProjectVersionName(QString());
}

// The temporary folder is emptied by every repair run: it must never be the
// shared system folder, nor a folder someone else controls.
TEST(ProjectPath, TemporaryFolderIsOursAlone)
{
    QString error;
    WithProjectName(QString(), [&] {
        EXPECT_TRUE(QZOProjectPath::getTempSavePath(QString(), QString(), &error).isEmpty());
        EXPECT_FALSE(error.isEmpty());
        EXPECT_TRUE(QZOProjectPath::getAppDataPath(QString(), QString()).isEmpty());
        EXPECT_TRUE(QZOProjectPath::getDocumentPath(QString(), QString()).isEmpty());
    });
    for (const char* bad : {"..", "a/b"})
        EXPECT_TRUE(QZOProjectPath::getTempSavePath(bad, QString()).isEmpty()) << bad;

    // A link planted where our folder would be is refused, not followed.
    ScratchDir elsewhere;
    const QString link = OwnTemp("planted");
    ASSERT_EQ(symlink(elsewhere.Root().c_str(), QFile::encodeName(link).constData()), 0);
    error.clear();
    EXPECT_TRUE(QZOProjectPath::getTempSavePath("planted", QString(), &error).isEmpty());
    EXPECT_TRUE(error.contains("link")) << error.toStdString();
    QFile::remove(link);

    // One that belongs to someone else is refused (only root can plant it).
    if (geteuid() == 0) {
        const QString foreign = OwnTemp("foreign");
        ASSERT_TRUE(QDir().mkpath(foreign));
        ASSERT_EQ(chown(QFile::encodeName(foreign).constData(), 65534, 65534), 0);
        error.clear();
        EXPECT_TRUE(QZOProjectPath::getTempSavePath("foreign", QString(), &error).isEmpty());
        EXPECT_TRUE(error.contains("another user")) << error.toStdString();
    }

    // Our own folder left open to others is closed again.
    const QString open = OwnTemp("opened");
    ASSERT_TRUE(QDir().mkpath(open));
    chmod(QFile::encodeName(open).constData(), 0777);
    EXPECT_EQ(QZOProjectPath::getTempSavePath("opened", QString()), open);
    struct stat st;
    ASSERT_EQ(stat(QFile::encodeName(open).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST(ProjectConfig, DefaultsAndSetters)
{
    QProjectConfig* config = QProjectConfig::getProjectConfig();
    EXPECT_EQ(config, QProjectConfig::getProjectConfig());
    EXPECT_EQ(config->dlgTop(), 22);
    EXPECT_EQ(config->dlgBottom(), 50);
    config->setTransparentMargins(8);
    EXPECT_EQ(config->getTransparentMargins(), QMargins(8, 8, 8, 8));
    config->setTransparentMargins(1, 2, 3, 4);
    EXPECT_EQ(config->getTransparentMargins(), QMargins(1, 2, 3, 4));
}

TEST(AnyUtiliy, SizesAndComparisons)
{
    const std::pair<quint64, QString> sizes[] = {{0, "0 B"},
                                                 {1023, "1023 B"},
                                                 {1024, "1.00 KB"},
                                                 {1536, "1.50 KB"},
                                                 {1073741824ULL, "1.00 GB"},
                                                 {5ULL << 40, "5.00 T"}};
    for (const auto& c : sizes)
        EXPECT_EQ(QVeAnyUtiliy::converSize(c.first), c.second) << c.first;
    EXPECT_TRUE(QVeAnyUtiliy::equalDouble(1.0, 1.0000005));
    EXPECT_FALSE(QVeAnyUtiliy::equalDouble(1.0, 1.000002));
}

// The framework's utility class gives the same texts at each unit's edges,
// the same resource folder, and no scaling of its own.
TEST(AnyUtiliy, TheFrameworksClassAnswersAlike)
{
    const std::pair<quint64, QString> sizes[] = {{1023, "1023 B"},
                                                 {1024, "1.00 KB"},
                                                 {1048575, "1024.00 KB"},
                                                 {1048576, "1.00 MB"},
                                                 {(1ULL << 30) - 1, "1024.00 MB"},
                                                 {1ULL << 30, "1.00 GB"},
                                                 {(1ULL << 40) - (1ULL << 20), "1024.00 GB"},
                                                 {1ULL << 40, "1.00 T"},
                                                 {~0ULL, "16777216.00 T"}};
    for (const auto& c : sizes)
        EXPECT_EQ(QUiAnyUtiliy::converSize(c.first), c.second) << c.first;
    QDir up(QCoreApplication::applicationDirPath());
    up.cdUp();
    EXPECT_EQ(QUiAnyUtiliy::getResourcePath(), up.absolutePath() + "/Resources");
    QUiAnyUtiliy::QDpiScaleInit();
    EXPECT_EQ(QUiAnyUtiliy::getDpiScale(), 1.0);
}

class SettingsDocument : public ::testing::Test {
protected:
    void SetUp() override
    {
        path_ = FromStd(dir_.Path("ProjectDefaultSetting.xml"));
        QZOProjectSetting::setAttributeFilePath(path_);
    }
    void TearDown() override { QZOProjectSetting::setAttributeFilePath(QString()); }

    QDomDocument Parse()
    {
        QFile file(path_);
        QDomDocument doc;
        EXPECT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_TRUE(doc.setContent(&file));
        return doc;
    }

    ScratchDir dir_;
    QString path_;
};

TEST_F(SettingsDocument, PathIsComputedOnFirstUse)
{
    QZOProjectSetting::setAttributeFilePath(QString());
    EXPECT_EQ(QZOProjectSetting::getAttributeFilePath(),
              QZOProjectPath::getAppDataPath(QString(), QString()) + "/ProjectDefaultSetting.xml");
}

TEST_F(SettingsDocument, RoundTripsValuesInItsFormat)
{
    const QString text = QString::fromUtf8("Ünïcødé – 日本語 \"quoted\" <&>");
    ASSERT_TRUE(QZOProjectSetting::SetItemValue("Output_Path_Key", "Output_Path_Value", text));
    ASSERT_TRUE(QZOProjectSetting::SetItemValue("Task_Num_Key", "Task_Num_Value", "2"));
    EXPECT_EQ(QZOProjectSetting::GetItemValue("Output_Path_Key", "Output_Path_Value", "d"), text);
    EXPECT_EQ(QZOProjectSetting::GetItemValue("Task_Num_Key", "Task_Num_Value", "d"), "2");
    EXPECT_EQ(QZOProjectSetting::GetItemValue("Task_Num_Key", "Missing", "d"), "d");

    const QDomDocument doc = Parse();
    EXPECT_EQ(doc.documentElement().tagName(), "ROOTITEM");
    EXPECT_EQ(doc.documentElement().firstChildElement("Output_Path_Key").attribute("Output_Path_Value"), text);
    const std::vector<uint8_t> raw = ReadFileBytes(path_.toStdString());
    const std::string bytes(raw.begin(), raw.end());
    EXPECT_EQ(bytes.find("<?xml"), std::string::npos);
    EXPECT_NE(bytes.find("\n    <Output_Path_Key"), std::string::npos) << bytes;
    EXPECT_NE(bytes.find(text.toUtf8().toStdString().substr(0, 5)), std::string::npos) << "not UTF-8";
}

TEST_F(SettingsDocument, MissingFileAndSectionAreCreated)
{
    ASSERT_FALSE(QFile::exists(path_));
    EXPECT_EQ(QZOProjectSetting::GetItemValue("Section_A", "Value", "fallback"), "fallback");
    ASSERT_TRUE(QFile::exists(path_));
    EXPECT_FALSE(Parse().documentElement().firstChildElement("Section_A").isNull());

    // A missing key of an existing section is only a default: nothing written.
    const std::vector<uint8_t> before = ReadFileBytes(path_.toStdString());
    EXPECT_EQ(QZOProjectSetting::GetItemValue("Section_A", "Other", "x"), "x");
    EXPECT_EQ(ReadFileBytes(path_.toStdString()), before);

    ASSERT_TRUE(QZOProjectSetting::SetItemValue("Section_B", "Value", ""));
    EXPECT_EQ(QZOProjectSetting::GetItemValue("Section_B", "Value", "empty reads as default"), "empty reads as default");
}

TEST_F(SettingsDocument, DuplicateSectionsUseTheFirst)
{
    QFile file(path_);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("<ROOTITEM><S V=\"first\"/><S V=\"second\"/></ROOTITEM>");
    file.close();
    EXPECT_EQ(QZOProjectSetting::GetItemValue("S", "V", "d"), "first");
    ASSERT_TRUE(QZOProjectSetting::SetItemValue("S", "V", "changed"));
    const QDomDocument doc = Parse();
    const QDomElement first = doc.documentElement().firstChildElement("S");
    EXPECT_EQ(first.attribute("V"), "changed");
    EXPECT_EQ(first.nextSiblingElement("S").attribute("V"), "second");
}

TEST_F(SettingsDocument, DamagedDocumentIsRebuilt)
{
    ASSERT_TRUE(QZOProjectSetting::SetItemValue("Keep", "A", "1"));
    ASSERT_TRUE(QZOProjectSetting::SetItemValue("Keep", "B", "2"));
    const int64_t size = FileSize(path_.toStdString());
    ASSERT_TRUE(TruncateFile(path_.toStdString(), size / 2));

    EXPECT_EQ(QZOProjectSetting::GetItemValue("Keep", "A", "default"), "default");
    ASSERT_TRUE(QZOProjectSetting::SetItemValue("Fresh", "C", "3"));
    const QDomDocument doc = Parse();
    EXPECT_EQ(doc.documentElement().tagName(), "ROOTITEM");
    EXPECT_EQ(doc.documentElement().firstChildElement("Fresh").attribute("C"), "3");
    // One root only: the rebuilt document is not appended to the remains.
    EXPECT_TRUE(doc.documentElement().nextSiblingElement().isNull());
    EXPECT_EQ(QZOProjectSetting::GetItemValue("Fresh", "C", "d"), "3");
}

TEST_F(SettingsDocument, FailedWriteIsReportedAndLeavesTheOldDocument)
{
    ASSERT_TRUE(QZOProjectSetting::SetItemValue("S", "V", "kept"));
    const std::vector<uint8_t> before = ReadFileBytes(path_.toStdString());
    // The folder is gone: the atomic write has nowhere to put its temporary.
    QZOProjectSetting::setAttributeFilePath(FromStd(dir_.Path("no-such-folder/ProjectDefaultSetting.xml")));
    EXPECT_FALSE(QZOProjectSetting::SetItemValue("S", "V", "lost"));
    QZOProjectSetting::setAttributeFilePath(path_);
    EXPECT_EQ(ReadFileBytes(path_.toStdString()), before);
    // No temporary leftovers beside the document.
    EXPECT_EQ(QDir(FromStd(dir_.Root())).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

TEST(LanguageList, LastMatchWinsAndUnknownNamesAreEnglish)
{
    ScratchDir dir;
    const QString path = FromStd(dir.Path("lang.xml"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("<L><E Language_Name=\"French\" Language_File=\"a.qm\" Language_Type=\"3\"/>"
               "<E Language_Name=\"French\" Language_File=\"b.qm\" Language_Type=\"4\"/><E/></L>");
    file.close();
    EXPECT_EQ(QZOProjectSetting::GetLanguage(path), QStringList({"French", "French", ""}));
    const auto entry = QZOProjectSetting::GetLanguageFile(path, "French");
    EXPECT_EQ(entry.first, "b.qm");
    EXPECT_EQ(entry.second, "4");
    QZOProjectSetting::setLanguageType("French");
    EXPECT_EQ(QZOProjectSetting::getLanguageType(), 3);
    QZOProjectSetting::setLanguageType("french");
    EXPECT_EQ(QZOProjectSetting::getLanguageType(), 0);
}
