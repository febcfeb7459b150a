// The repair driver against the real repair library, on clips made at test
// time. Cases that need a container the library cannot yet repair skip
// themselves with the library's own answer.
#include <gtest/gtest.h>

#include <QFile>

#include <filesystem>

#include "QSaveFileThread.h"
#include "RepairRecorder.h"
#include "support/Damage.h"
#include "support/Fixtures.h"
#include "support/MediaCheck.h"

using namespace mendtest;

namespace {

#define SKIP_IF_UNKNOWN_FORMAT(rec, what)                                                          \
    if ((rec).UnknownFormat())                                                                     \
    GTEST_SKIP() << "the repair library answers \"Unknown Format\" (-19) for " << (what)           \
                 << ": no repairer for this container in this build"

// clip_faststart.mp4 cut at 60 %: its index survives, its media data does not.
std::string DamagedMp4(const ScratchDir& dir, const std::string& name)
{
    const std::string clip = RequireFixture("clip_faststart.mp4");
    if (clip.empty())
        return "";
    const std::string path = dir.Path(name);
    EXPECT_TRUE(CopyFile(clip, path));
    EXPECT_TRUE(TruncateFile(path, FileSize(path) * 6 / 10));
    return path;
}

// Deciphers a temporary file into a plain one beside the scratch files.
std::string Decipher(const QString& temp, const ScratchDir& dir, const std::string& name)
{
    QSaveFileThread saver;
    const std::string out = dir.Path(name);
    EXPECT_TRUE(saver.SaveFromTemp(temp, QRepairObject::kTempFileKey, QString::fromStdString(out)));
    return out;
}

}  // namespace

TEST(RepairDriver, IntactFileIsUndamagedAndItsOwnSource)
{
    const std::string clip = RequireFixture("clip_faststart.mp4");
    if (clip.empty())
        return;
    CleanTempFolder();
    QRepairObject driver(QModelIndex(), clip.c_str());
    RepairRecorder rec(driver);
    ASSERT_TRUE(driver.startRepair());
    ASSERT_TRUE(rec.WaitFinished());
    SKIP_IF_UNKNOWN_FORMAT(rec, "an intact MP4");
    EXPECT_EQ(rec.states, (std::vector<int>{2, 3}));
    EXPECT_EQ(rec.events, QStringList({"state 2", "state 3", "temp", "key"}));
    EXPECT_EQ(rec.tempFile, QString::fromStdString(clip));
    EXPECT_EQ(rec.key, 0);
    EXPECT_TRUE(TempFolderFiles().isEmpty());
}

TEST(RepairDriver, DamagedFilesAreRepairedIntoNumberedTemporaryFiles)
{
    ScratchDir dir;
    const std::string first = DamagedMp4(dir, "first.mp4");
    const std::string second = DamagedMp4(dir, "second.mp4");
    if (first.empty() || second.empty())
        return;
    const QString folder = CleanTempFolder();

    QRepairObject driver(QModelIndex(), first.c_str());
    RepairRecorder rec(driver);
    ASSERT_TRUE(driver.startRepair());
    ASSERT_TRUE(rec.WaitFinished());
    SKIP_IF_UNKNOWN_FORMAT(rec, "an MP4 cut at 60 %");
    EXPECT_EQ(rec.states, (std::vector<int>{2, 6})) << rec.events.join(", ").toStdString();
    EXPECT_EQ(rec.tempFile, folder + "/repair");
    EXPECT_EQ(rec.stateAtTempFile, QRepairObject::StateRepairing);
    EXPECT_EQ(rec.key, QRepairObject::kTempFileKey);
    for (size_t i = rec.progressAtTempFile; i < rec.progress.size(); ++i)
        EXPECT_GE(rec.progress[i], 80.0);
    for (size_t i = 1; i < rec.progress.size(); ++i)
        EXPECT_GE(rec.progress[i], rec.progress[i - 1]);

    const MediaReport report = CheckMedia(Decipher(rec.tempFile, dir, "first-repaired.mp4"));
    EXPECT_TRUE(report.opened);
    EXPECT_FALSE(report.HadErrors()) << report.Summary();
    EXPECT_GT(report.TotalFrames(), 0);

    QRepairObject next(QModelIndex(), second.c_str());
    RepairRecorder rec2(next);
    ASSERT_TRUE(next.startRepair());
    ASSERT_TRUE(rec2.WaitFinished());
    EXPECT_EQ(rec2.states.back(), QRepairObject::StateRepaired);
    EXPECT_EQ(rec2.tempFile, folder + "/repair - 1");
}

TEST(RepairDriver, UnopenableSourcesAreRefused)
{
    ScratchDir dir;
    // The library takes paths shorter than 4096 bytes. A file whose path is
    // 4095 bytes long sits where a longer path cut to fit would point.
    std::string folder = dir.Root();
    while (4094 - folder.size() > 250)
        folder += "/" + std::string(std::min<size_t>(200, 4094 - folder.size() - 100), 'd');
    std::filesystem::create_directories(folder);
    const std::string fits = folder + "/" + std::string(4095 - folder.size() - 1, 'f');
    ASSERT_EQ(fits.size(), 4095u);
    ASSERT_TRUE(WriteFileBytes(fits, PseudoRandomBytes(1000, 1)));

    {
        QRepairObject driver(QModelIndex(), fits.c_str());
        RepairRecorder rec(driver);
        EXPECT_TRUE(driver.startRepair());
        ASSERT_TRUE(rec.WaitFinished());
    }
    for (const std::string& path : {dir.Path("missing.mp4"), fits + "x", fits + "/" + std::string(300, 'x')}) {
        QRepairObject driver(QModelIndex(), path.c_str());
        RepairRecorder rec(driver);
        EXPECT_FALSE(driver.startRepair()) << path.size();
        EXPECT_EQ(rec.events, QStringList({"error -39", "state 1"})) << path.size();
        EXPECT_EQ(driver.state(), QRepairObject::StateCannotOpen);
    }
}

TEST(RepairDriver, StartsOnceAndStopsQuietlyWhenIdle)
{
    const std::string clip = RequireFixture("clip.wav");
    if (clip.empty())
        return;
    QRepairObject idle(QModelIndex(), clip.c_str());
    RepairRecorder quiet(idle);
    idle.stopRepair();
    QCoreApplication::processEvents();
    EXPECT_TRUE(quiet.events.isEmpty());

    QRepairObject driver(QModelIndex(), clip.c_str());
    RepairRecorder rec(driver);
    ASSERT_TRUE(driver.startRepair());
    EXPECT_FALSE(driver.startRepair());
    EXPECT_EQ(rec.events, QStringList({"state 2"}));
    ASSERT_TRUE(rec.WaitFinished());
}
