// The application's settings cache, its file utilities, the enciphered
// stream and the save thread.
#include <gtest/gtest.h>
#include <sys/statvfs.h>

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QStandardPaths>

#include "AppTestEnv.h"
#include "QEncryptFileStream.h"
#include "QIAnyUtil.h"
#include "QProjectSetting.h"
#include "QSaveFileThread.h"
#include "QZOProjectSetting.h"
#include "support/Damage.h"
#include "support/Fixtures.h"

using namespace mendtest;

namespace {

constexpr uint32_t kKey = 0x4e7c21b9;

QString FromStd(const std::string& s) { return QString::fromStdString(s); }

// Writes bytes to a new file through a keyed stream.
void WriteKeyed(const std::string& path, const std::vector<uint8_t>& bytes, uint32_t key)
{
    bool ok = false;
    QEncryptFileStream out(path.c_str(), 1, &ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(out.SetCryptKey(key), 1);
    ASSERT_EQ(out.Write(bytes.data(), static_cast<unsigned>(bytes.size())), bytes.size());
}

QStringList Files(const ScratchDir& dir)
{
    return QDir(FromStd(dir.Root())).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

}  // namespace

class AppSettings : public ::testing::Test {
protected:
    void SetUp() override { QZOProjectSetting::setAttributeFilePath(FromStd(dir_.Path("ProjectDefaultSetting.xml"))); }
    void TearDown() override { QZOProjectSetting::setAttributeFilePath(QString()); }
    void Store(const char* element, const char* attribute, const QString& value)
    {
        ASSERT_TRUE(QZOProjectSetting::SetItemValue(element, attribute, value));
    }
    ScratchDir dir_;
};

TEST_F(AppSettings, EmptyDocumentGivesTheDefaults)
{
    QProjectSetting::init();
    EXPECT_EQ(QProjectSetting::getTaskNumFromXML(false), 1);
    EXPECT_TRUE(QProjectSetting::getAskForSaveFromXML(false));
    EXPECT_FALSE(QProjectSetting::getAutoOpenFolderFromXML(false));
    EXPECT_FALSE(QProjectSetting::getAutoUpdateFromXML(false));
    EXPECT_TRUE(QProjectSetting::getExitWhenCloseFromXML(false));
    EXPECT_TRUE(QProjectSetting::getShowCloseDlgFromXML(false));
    EXPECT_EQ(QProjectSetting::getSavePath(), QProjectSetting::getDefaultSavePath());
    EXPECT_FALSE(QProjectSetting::getSavePath().isEmpty());
}

TEST_F(AppSettings, TaskNumberIsClampedAndBooleansAreExactlyY)
{
    const std::pair<QString, int> tasks[] = {{"abc", 1}, {"3", 3}, {"2", 2}, {"7", 3}, {"0", 1}, {"-4", 1}};
    for (const auto& c : tasks) {
        Store("Task_Num_Key", "Task_Num_Value", c.first);
        EXPECT_EQ(QProjectSetting::getTaskNumFromXML(true), c.second) << c.first.toStdString();
    }
    QProjectSetting::setTaskNumToXML(9, true);
    EXPECT_EQ(QProjectSetting::getTaskNumFromXML(false), 3);
    EXPECT_EQ(QZOProjectSetting::GetItemValue("Task_Num_Key", "Task_Num_Value", ""), "3");

    for (const char* text : {"y", "yes", "N", "YY"}) {
        Store("Bool_Ask_For_Save_Key", "Bool_Ask_For_Save_Value", text);
        EXPECT_FALSE(QProjectSetting::getAskForSaveFromXML(true)) << text;
    }
    QProjectSetting::setAutoOpenFolderToXML(true, true);
    EXPECT_EQ(QZOProjectSetting::GetItemValue("Bool_Auto_Open_Key", "Bool_Auto_Open_Value", ""), "Y");
    EXPECT_TRUE(QProjectSetting::getAutoOpenFolderFromXML(true));
    QProjectSetting::setAutoOpenFolderToXML(false, false);
    EXPECT_FALSE(QProjectSetting::getAutoOpenFolderFromXML(false));
    EXPECT_TRUE(QProjectSetting::getAutoOpenFolderFromXML(true)) << "a cache-only change reached the document";
}

TEST_F(AppSettings, FoldersAreRecreatedOrReplaced)
{
    const QString out = FromStd(dir_.Path("out\\sub"));
    QProjectSetting::setSavePathToXML(out);
    const QString normalised = FromStd(dir_.Path("out/sub"));
    EXPECT_EQ(QZOProjectSetting::GetItemValue("Output_Path_Key", "Output_Path_Value", ""), normalised);
    EXPECT_EQ(QProjectSetting::getSavePath(), normalised);
    EXPECT_TRUE(QDir(normalised).exists());
    QDir(normalised).removeRecursively();
    EXPECT_EQ(QProjectSetting::getSavePath(), normalised);
    EXPECT_TRUE(QDir(normalised).exists());

    QProjectSetting::setSavePathToXML(QString());
    EXPECT_EQ(QZOProjectSetting::GetItemValue("Output_Path_Key", "Output_Path_Value", ""), normalised);

    // A remembered folder that is gone: the file dialog starts in the
    // videos folder, or in the home folder while there is none (a missing
    // folder would open with its name typed into the name box).
    const QString videos = QStandardPaths::writableLocation(QStandardPaths::MoviesLocation);
    ASSERT_NE(videos, QDir::homePath());
    QDir(videos).removeRecursively();
    for (const bool exists : {false, true}) {
        if (exists) {
            ASSERT_TRUE(QDir().mkpath(videos));
        }
        QProjectSetting::setOpenPath(FromStd(dir_.Path("gone")));
        EXPECT_EQ(QProjectSetting::getOpenPath(), exists ? videos : QDir::homePath()) << exists;
        QProjectSetting::setOpenPath(QString());
        EXPECT_EQ(QProjectSetting::getOpenPath(), exists ? videos : QDir::homePath()) << exists;
    }
    QDir(videos).removeRecursively();
}

TEST(AnyUtil, SizeTexts)
{
    const std::pair<quint64, QString> cases[] = {{0, "0B"},
                                                 {1024, "1024B"},
                                                 {1025, "1.00KB"},
                                                 {1048576, "1024.00KB"},
                                                 {1073741824ULL, "1024.00MB"},
                                                 {5ULL << 40, "5120.00GB"}};
    for (const auto& c : cases)
        EXPECT_EQ(QIAnyUtil::sizetoString(c.first), c.second) << c.first;
}

TEST(AnyUtil, FreeSpaceIsThatOfTheGivenFolder)
{
    // /dev/shm is a file system of its own on Linux, with its own free space.
    struct statvfs shm, root;
    if (statvfs("/dev/shm", &shm) != 0 || statvfs("/", &root) != 0 || shm.f_fsid == root.f_fsid)
        GTEST_SKIP() << "no second file system to tell apart";
    const QString expected = QIAnyUtil::sizetoString(quint64(shm.f_bavail) * shm.f_frsize);
    EXPECT_EQ(QIAnyUtil::freeSpaceInDisk("/dev/shm"), expected);
    EXPECT_EQ(QIAnyUtil::freeSpaceInDisk("/dev/shm/not/made/yet"), expected);
}

TEST(AnyUtil, UniqueNamesOnlyAppendANumber)
{
    ScratchDir dir;
    const QString root = FromStd(dir.Root());
    struct Case {
        QString existing;
        QString wanted;
        QString expected;
    };
    ASSERT_TRUE(QDir().mkpath(root + "/folder.d"));
    const Case cases[] = {
        {"", "/new.mp4", "/new.mp4"},
        {"/clip.mp4", "/clip.mp4", "/clip - 1.mp4"},
        {"/clip - 1.mp4", "/clip.mp4", "/clip - 2.mp4"},
        {"/folder.d/repair", "/folder.d/repair", "/folder.d/repair - 1"},
        // A backslash is an ordinary character of a Linux file name.
        {"/back\\slash.avi", "/back\\slash.avi", "/back\\slash - 1.avi"},
        {"/100%1 %2.mkv", "/100%1 %2.mkv", "/100%1 %2 - 1.mkv"},
        {"/.hidden", "/.hidden", "/.hidden - 1"},
    };
    for (const Case& c : cases) {
        if (!c.existing.isEmpty()) {
            ASSERT_TRUE(WriteFileBytes((root + c.existing).toStdString(), {1}));
        }
        EXPECT_EQ(QIAnyUtil::validFileName(root + c.wanted), root + c.expected) << c.wanted.toStdString();
    }
}

TEST(EncryptFileStream, ClampsSeeksAndKeepsRejectedKeys)
{
    ScratchDir dir;
    bool ok = true;
    QEncryptFileStream missing(dir.Path("none/x").c_str(), 1, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(missing.SetCryptKey(5), 0);
    EXPECT_EQ(missing.GetCryptKey(), 0u);

    const std::string path = dir.Path("s.bin");
    QEncryptFileStream s(path.c_str(), 1, &ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(s.SetCryptKey(kKey), 1);
    EXPECT_EQ(s.GetCryptKey(), kKey);
    const std::vector<uint8_t> bytes = PseudoRandomBytes(1000, 3);
    ASSERT_EQ(s.Write(bytes.data(), 1000), 1000u);
    EXPECT_EQ(s.SeekTo(5000), 1000);
    EXPECT_EQ(s.SeekTo(10), 10);
    EXPECT_EQ(s.SeekTo(-5), 10);
    uint8_t back[20];
    ASSERT_EQ(s.Read(back, 20), 20u);
    EXPECT_TRUE(std::equal(back, back + 20, bytes.begin() + 10));

    QEncryptFileStream in(path.c_str(), 0, &ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(in.SetCryptKey(kKey), 1);
    std::vector<uint8_t> all(1000);
    EXPECT_EQ(in.Read(all.data(), 1000), 1000u);
    EXPECT_EQ(all, bytes);
    EXPECT_NE(ReadFileBytes(path), bytes);
}

class SaveThread : public ::testing::Test {
protected:
    // Runs one save and waits for the thread to end.
    void Save(QStringList temps, QStringList names, QList<uint> keys)
    {
        QSaveFileThread thread;
        QSignalSpy finished(&thread, &QSaveFileThread::emitFinishFile);
        QSignalSpy saveNum(&thread, &QSaveFileThread::emitSaveNum);
        thread.startSave(temps, names, keys, FromStd(out_.Root()));
        ASSERT_TRUE(thread.wait(60000));
        QCoreApplication::processEvents();
        finished_.clear();
        for (const auto& args : finished)
            finished_ << args.at(1).toBool();
        saved_ = saveNum.isEmpty() ? -1 : saveNum.first().at(0).toInt();
        first_ = saveNum.isEmpty() ? QString() : saveNum.first().at(1).toString();
    }
    ScratchDir in_{"save-in"};
    ScratchDir out_{"save-out"};
    QList<bool> finished_;
    int saved_ = -1;
    QString first_;
};

TEST_F(SaveThread, DeciphersTemporaryFilesAndCopiesPlainOnes)
{
    const std::vector<uint8_t> plain = PseudoRandomBytes(300001, 11);
    const std::string temp = in_.Path("repair");
    WriteKeyed(temp, plain, kKey);
    const std::string clip = RequireFixture("clip.mp4");
    if (clip.empty())
        return;
    const std::string empty = in_.Path("empty.wav");
    ASSERT_TRUE(WriteFileBytes(empty, {}));

    Save({FromStd(temp), FromStd(clip), FromStd(empty)}, {"repaired.mp4", "undamaged.mp4", "empty.wav"},
         {kKey, 0, 0});
    EXPECT_EQ(finished_, QList<bool>({true, true, true}));
    EXPECT_EQ(saved_, 3);
    EXPECT_EQ(first_, FromStd(out_.Path("repaired.mp4")));
    EXPECT_EQ(ReadFileBytes(out_.Path("repaired.mp4")), plain);
    EXPECT_EQ(ReadFileBytes(out_.Path("undamaged.mp4")), ReadFileBytes(clip));
    EXPECT_EQ(FileSize(out_.Path("empty.wav")), 0);
}

TEST_F(SaveThread, CollidingNamesGetNumbers)
{
    ASSERT_TRUE(WriteFileBytes(out_.Path("clip.mp4"), {9}));
    const std::string a = in_.Path("a"), b = in_.Path("b");
    ASSERT_TRUE(WriteFileBytes(a, {1, 2}));
    ASSERT_TRUE(WriteFileBytes(b, {3, 4}));
    Save({FromStd(a), FromStd(b), FromStd(in_.Path("missing"))}, {"clip.mp4", "clip.mp4", "clip.mp4"}, {0, 0, 0});
    EXPECT_EQ(finished_, QList<bool>({true, true, false}));
    EXPECT_EQ(saved_, 2);
    EXPECT_EQ(Files(out_), QStringList({"clip - 1.mp4", "clip - 2.mp4", "clip.mp4"}));
    EXPECT_EQ(ReadFileBytes(out_.Path("clip - 2.mp4")), (std::vector<uint8_t>{3, 4}));
}

TEST_F(SaveThread, AllFailingReportsNoneSaved)
{
    Save({FromStd(in_.Path("gone"))}, {"x.mp4"}, {0});
    EXPECT_EQ(finished_, QList<bool>({false}));
    EXPECT_EQ(saved_, 0);
    EXPECT_TRUE(first_.isEmpty());
    EXPECT_TRUE(Files(out_).isEmpty());
}

TEST_F(SaveThread, StopInTheMiddleLeavesNoPartialFile)
{
    const std::string big = in_.Path("big");
    WriteKeyed(big, std::vector<uint8_t>(32 << 20, 0x5a), kKey);
    QSaveFileThread thread;
    QList<double> progress;
    QSignalSpy finished(&thread, &QSaveFileThread::emitFinishFile);
    QSignalSpy saveNum(&thread, &QSaveFileThread::emitSaveNum);
    // Runs on the worker thread: stop once a tenth is copied.
    QObject::connect(
        &thread, &QSaveFileThread::emitProgress, &thread,
        [&](double value) {
            progress << value;
            if (value >= 10.0)
                thread.stopSave();
        },
        Qt::DirectConnection);
    QStringList temps{FromStd(big), FromStd(big)}, names{"big.mp4", "second.mp4"};
    QList<uint> keys{kKey, kKey};
    thread.startSave(temps, names, keys, FromStd(out_.Root()));
    ASSERT_TRUE(thread.wait(60000));
    QCoreApplication::processEvents();

    EXPECT_TRUE(Files(out_).isEmpty()) << Files(out_).join(", ").toStdString();
    ASSERT_EQ(finished.size(), 1);
    EXPECT_FALSE(finished.first().at(1).toBool());
    EXPECT_TRUE(saveNum.isEmpty());
    // One signal per whole percent at most, not one per 4 KiB block.
    EXPECT_LE(progress.size(), 15);
}
