// What the program keeps on disk for a user, on a machine that several
// accounts share: its temporary folder is the account's own, a repaired
// copy lives only as long as someone may still save it, nothing of it stays
// in the temporary location once it ends, and the file types a drop accepts
// are the ones the library routes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>

#include <set>

#include "BoxAnswers.h"
#include "MainWindow.h"
#include "PageRows.h"
#include "QFileInfoWgt.h"
#include "QMainWgt.h"
#include "QZOProjectPath.h"
#include "ScriptedVideoRepair.h"
#include "core/FormatRegistry.h"
#include "core/ResultCodes.h"
#include "support/Damage.h"
#include "support/Fixtures.h"

using namespace mendtest;

namespace {

constexpr uid_t kOtherAccount = 65534;

QString TempLocation()
{
    return QStandardPaths::writableLocation(QStandardPaths::TempLocation);
}

// What of the program's lies directly in the temporary location.
QStringList ProgramEntries()
{
    return QDir(TempLocation())
        .entryList({QString::fromUtf8(kTestProjectName) + "*"}, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

struct stat Stat(const QString& path)
{
    struct stat st {};
    EXPECT_EQ(lstat(QFile::encodeName(path).constData(), &st), 0) << path.toStdString();
    return st;
}

class TempCopies : public ::testing::Test {
protected:
    void SetUp() override
    {
        input_ = dir_.Path("input.avi");
        ASSERT_TRUE(WriteFileBytes(input_, PseudoRandomBytes(200000, 4)));
        CleanTempFolder();
    }
    ScratchDir dir_{"usercopies"};
    std::string input_;
};

}  // namespace

// Another account ran the program first (or a run as root did): the folder
// once shared by every account, and that account's own, belong to it. This
// account repairs in a private folder of its own and leaves theirs alone.
TEST_F(TempCopies, AnotherAccountsFolderDoesNotStopARepair)
{
    const bool root = geteuid() == 0;
    const QString shared = TempLocation() + "/" + kTestProjectName;
    const QString theirs = QStringLiteral("%1-%2").arg(shared).arg(kOtherAccount);
    for (const QString& folder : {shared, theirs}) {
        ASSERT_TRUE(QDir().mkpath(folder));
        ASSERT_EQ(chmod(QFile::encodeName(folder).constData(), 0700), 0);
        // Only root can give a folder away; tests run as root in CI.
        if (root) {
            ASSERT_EQ(chown(QFile::encodeName(folder).constData(), kOtherAccount, kOtherAccount), 0);
        }
    }

    RepairScript script;
    script.errors = {JRVP_DAMAGE_INDEX};
    script.copyInput = true;
    ScriptedDriven d(input_, script);
    ASSERT_TRUE(d.driver.startRepair());
    ASSERT_TRUE(d.rec.WaitFinished());
    EXPECT_EQ(d.rec.states.back(), QRepairObject::StateRepaired) << d.rec.events.join(", ").toStdString();

    const QString own = QZOProjectPath::getTempSavePath(QString(), QString());
    EXPECT_EQ(own, QStringLiteral("%1-%2").arg(shared).arg(geteuid()));
    EXPECT_EQ(d.rec.tempFile, own + "/repair");
    EXPECT_TRUE(QFile::exists(d.rec.tempFile));
    const struct stat st = Stat(own);
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    for (const QString& folder : {shared, theirs}) {
        EXPECT_TRUE(QDir(folder).isEmpty()) << folder.toStdString();
        if (root) {
            EXPECT_EQ(Stat(folder).st_uid, kOtherAccount) << folder.toStdString();
        }
        QDir().rmdir(folder);
    }
    QFile::remove(d.rec.tempFile);
}

// A copy that a run did not finish is no repaired file: it goes as soon as
// the run ends without it (stopped, as Cancel and the end of the program
// stop it; failed; or its driver gone), while a finished copy stays for the
// row that may save it.
TEST_F(TempCopies, AnUnfinishedCopyGoesWithItsRun)
{
    enum Ending { Stopped, Failed, DriverGone };
    for (const Ending ending : {Stopped, Failed, DriverGone}) {
        SCOPED_TRACE(ending);
        RepairScript script;
        script.errors = {JRVP_DAMAGE_INDEX};
        script.repairUntilAbort = ending != Failed;
        script.repairResult = ending == Failed ? MEND_ERR_WRITE : 0;
        {
            ScriptedDriven d(input_, script);
            ASSERT_TRUE(d.driver.startRepair());
            if (ending == Failed) {
                ASSERT_TRUE(d.rec.WaitFinished());
                EXPECT_EQ(d.rec.states.back(), QRepairObject::StateFailed);
                EXPECT_EQ(d.rec.tempFile, QZOProjectPath::getTempSavePath(QString(), QString()) + "/repair");
            } else {
                ASSERT_TRUE(WaitFor([&] { return d.driver.state() == QRepairObject::StateRepairing; }));
                const QString copy = d.rec.tempFile;
                ASSERT_TRUE(QFile::exists(copy));
                if (ending == Stopped) {
                    // Gone when the stop returns, before the run's result
                    // arrives.
                    d.driver.stopRepair();
                    EXPECT_FALSE(QFile::exists(copy));
                    ASSERT_TRUE(d.rec.WaitFinished());
                    EXPECT_EQ(d.rec.states.back(), QRepairObject::StateAborted);

                    // Continue starts the run again: its new copy is the
                    // only one.
                    ASSERT_TRUE(d.driver.startRepair());
                    ASSERT_TRUE(WaitFor([&] { return d.driver.state() == QRepairObject::StateRepairing; }));
                    EXPECT_EQ(TempFolderFiles(), QStringList{QFileInfo(d.rec.tempFile).fileName()});
                    d.driver.stopRepair();
                }
            }
        }
        EXPECT_TRUE(TempFolderFiles().isEmpty());
    }
}

// The program as it starts and ends: what an earlier run left behind (it
// crashed, or was killed) goes at the start; the repaired copies of the
// rows go at the end, and with them the temporary folder. The user's own
// files are never touched.
TEST(ProgramRun, TemporaryCopiesGoAtTheStartAndAtTheEnd)
{
    const std::string mp4 = RequireFixture("clip_faststart.mp4");
    const std::string avi = RequireFixture("clip.avi");
    if (mp4.empty() || avi.empty())
        GTEST_SKIP() << "fixtures missing";
    BoxAnswers boxes;
    ScratchDir dir("programrun");
    const QString damaged = QString::fromStdString(dir.Path("holiday.mp4"));
    const QString intact = QString::fromStdString(dir.Path("intact.avi"));
    ASSERT_TRUE(CopyFile(mp4, damaged.toStdString()));
    ASSERT_TRUE(TruncateFile(damaged.toStdString(), FileSize(mp4) * 6 / 10));
    ASSERT_TRUE(CopyFile(avi, intact.toStdString()));
    const QByteArray intactBytes = FileBytes(intact);

    const QString folder = QZOProjectPath::getTempSavePath(QString(), QString());
    ASSERT_FALSE(folder.isEmpty());
    const QStringList left = {"repair", "repair - 1"};
    for (const QString& name : left)
        ASSERT_TRUE(WriteFileBytes((folder + "/" + name).toStdString(), PseudoRandomBytes(4096, 7)));
    ASSERT_TRUE(QDir().mkpath(folder + "/sub"));

    QString copy;
    {
        MainWindow window;
        EXPECT_TRUE(QDir(folder).isEmpty()) << QDir(folder).entryList().join(", ").toStdString();

        QFileInfoWgt* page = window.mainPage()->page();
        page->AddFilesToModel({damaged, intact});
        ASSERT_TRUE(WaitFor([&] { return !page->isAdding() && page->rows().size() == 2; }));
        QSignalSpy saveMode(page, &QFileInfoWgt::emitSaveBtns);
        page->startRepair();
        ASSERT_TRUE(WaitFor([&] { return saveMode.count() == 1; }, 120000));
        QFileInfoChunk* repaired = RowTitled(*page, "holiday.mp4");
        QFileInfoChunk* undamaged = RowTitled(*page, "intact.avi");
        ASSERT_NE(repaired, nullptr);
        ASSERT_NE(undamaged, nullptr);
        ASSERT_EQ(repaired->GetStatus(), FileCompleted);
        ASSERT_EQ(undamaged->GetStatus(), FileUndamaged);
        copy = repaired->GetTempFilePath();
        EXPECT_TRUE(copy.startsWith(folder + "/")) << copy.toStdString();
        EXPECT_TRUE(QFile::exists(copy));
        EXPECT_EQ(undamaged->GetTempFilePath(), intact);
    }
    EXPECT_FALSE(QFile::exists(copy));
    EXPECT_FALSE(QFileInfo::exists(folder));
    EXPECT_EQ(ProgramEntries(), QStringList());
    EXPECT_EQ(FileBytes(intact), intactBytes);
    EXPECT_TRUE(QFile::exists(damaged));
}

// The page's file types (its dialog's filter, and what a drop accepts) are
// the library's extension table, no more and no fewer.
TEST(FileTypes, ThePagesSuffixesAreTheLibrarysTable)
{
    std::set<QString> library;
    for (const ExtFormatRow* row = ExtFormatArr; row->extensions; ++row)
        for (size_t i = 0; i < row->count; ++i)
            library.insert(QString::fromLatin1(row->extensions[i]).mid(1).toLower());
    ASSERT_FALSE(library.empty());

    std::set<QString> page;
    QRegularExpressionMatchIterator it = QRegularExpression(QStringLiteral("\\*\\.(\\w+)")).globalMatch(QFileInfoWgt::filterText());
    while (it.hasNext())
        page.insert(it.next().captured(1).toLower());
    EXPECT_EQ(page, library);

    for (const QString& suffix : library) {
        EXPECT_TRUE(QFileInfoWgt::isSupported("/a/b." + suffix)) << suffix.toStdString();
        EXPECT_TRUE(QFileInfoWgt::isSupported("/a/b." + suffix.toUpper())) << suffix.toStdString();
    }
    for (const char* other : {"/a/b.txt", "/a/b", "/a/b.", "/a/opus"})
        EXPECT_FALSE(QFileInfoWgt::isSupported(QString::fromLatin1(other))) << other;
}
