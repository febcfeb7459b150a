// The file list page against the real repair library, on clips made at
// test time: adding files by the page's paths and by drops, a run over
// mixed files with two tasks, cancel/continue/back, the summary, and the
// page drawn with rows in every state. Message boxes are answered through
// the box's test hook.
#include <gtest/gtest.h>

#include <QDir>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QMimeData>
#include <QSignalSpy>
#include <QTimer>
#include <QUrl>

#include "AppTestEnv.h"
#include "PageRows.h"
#include "BoxAnswers.h"
#include "QChunkControl.h"
#include "QFileInfoChunk.h"
#include "QFileInfoWgt.h"
#include "QProjectSetting.h"
#include "QZOBaseBoxDraw.h"
#include "QZOMessageBox.h"
#include "QZOTableView.h"
#include "support/Damage.h"
#include "support/Fixtures.h"

using namespace mendtest;

namespace {

QFileInfoChunk* Row(QFileInfoWgt& page, size_t i)
{
    return static_cast<QFileInfoChunk*>(page.rows()[i]);
}

bool AddAndWait(QFileInfoWgt& page, const QStringList& paths)
{
    page.AddFilesToModel(paths);
    return WaitFor([&] { return !page.isAdding(); });
}

void Drop(QFileInfoWgt& page, const QStringList& paths)
{
    QMimeData mime;
    QList<QUrl> urls;
    for (const QString& p : paths)
        urls << QUrl::fromLocalFile(p);
    mime.setUrls(urls);
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&page, &drop);
}

class FileList : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string avi = RequireFixture("clip.avi");
        const std::string mp4 = RequireFixture("clip_faststart.mp4");
        const std::string wav = RequireFixture("clip.wav");
        if (avi.empty() || mp4.empty() || wav.empty())
            GTEST_SKIP() << "fixtures missing";
        intact = Copy(avi, "intact.avi");
        damaged = Copy(mp4, "damaged.mp4");
        ASSERT_TRUE(TruncateFile(damaged.toStdString(), FileSize(damaged.toStdString()) * 6 / 10));
        audio = Copy(wav, "audio.wav");
        notMedia = QString::fromStdString(dir.Path("notes.mp4"));
        QFile f(notMedia);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(4096, 'x'));
        f.close();
        QProjectSetting::setTaskNumToXML(2, false);
    }
    QString Copy(const std::string& from, const char* name)
    {
        const std::string to = dir.Path(name);
        EXPECT_TRUE(CopyFile(from, to));
        return QString::fromStdString(to);
    }

    ScratchDir dir{"filelist"};
    QString intact, damaged, audio, notMedia;
};

TEST_F(FileList, AddingByPathAndDropKeepsOneRowPerFile)
{
    BoxAnswers boxes;
    QFileInfoWgt page;
    page.resize(720, 400);
    QSignalSpy addEnabled(&page, &QFileInfoWgt::emitChangeAddBtn);
    const QString missing = QString::fromStdString(dir.Path("missing.avi"));
    ASSERT_TRUE(AddAndWait(page, {intact, audio, damaged, missing}));
    ASSERT_EQ(page.rows().size(), 3u);
    EXPECT_EQ(Row(page, 0)->GetTitle(), "intact.avi");
    EXPECT_EQ(Row(page, 1)->GetFormat(), QFileInfoChunk::Audio);
    EXPECT_EQ(Row(page, 0)->GetSize(), QFileInfo(intact).size());
    EXPECT_FALSE(Row(page, 2)->getDate().empty());
    ASSERT_GE(addEnabled.count(), 2);
    EXPECT_TRUE(addEnabled.last()[0].toBool());
    EXPECT_TRUE(page.countLabel()->text().startsWith(QStringLiteral("3 files , ")));

    // Again, by drop, with a text file and a missing one: nothing new.
    const QString text = QString::fromStdString(dir.Path("readme.txt"));
    QFile(text).open(QIODevice::WriteOnly);
    Drop(page, {intact, text, missing});
    WaitFor([&] { return !page.isAdding(); }, 2000);
    EXPECT_EQ(page.rows().size(), 3u);
    // A drop while an add runs waits for it, and nothing is lost.
    page.AddFilesToModel({notMedia});
    Drop(page, {notMedia});
    EXPECT_TRUE(WaitFor([&] { return !page.isAdding(); }));
    EXPECT_EQ(page.rows().size(), 4u);
    EXPECT_TRUE(boxes.messages.isEmpty());
}

TEST_F(FileList, SupportIsBySuffixInAnyCase)
{
    const struct {
        const char* name;
        bool ok;
    } cases[] = {{"a.MP4", true}, {"b.Mp3", true}, {"c.avi", true}, {"d.txt", false}, {"noext", false},
                 {"e.webm", true}, {"f.ogv", true}};
    for (const auto& c : cases)
        EXPECT_EQ(QFileInfoWgt::isSupported(QString::fromLatin1(c.name)), c.ok) << c.name;
}

TEST_F(FileList, ARunOverMixedFilesEndsWithTheRightRowsAndSummary)
{
    BoxAnswers boxes;
    QFileInfoWgt page;
    page.resize(720, 400);
    const QString missingLater = Copy(RequireFixture("clip.avi"), "gone.avi");
    ASSERT_TRUE(AddAndWait(page, {intact, damaged, notMedia, missingLater, audio}));
    ASSERT_EQ(page.rows().size(), 5u);
    QFile::remove(missingLater);
    QSignalSpy saveMode(&page, &QFileInfoWgt::emitSaveBtns);
    QSignalSpy saveEnabled(&page, &QFileInfoWgt::emitChangeSaveBtn);
    page.startRepair();
    ASSERT_TRUE(WaitFor([&] { return saveMode.count() == 1; }, 120000));
    EXPECT_LE(page.maxRunningSeen(), 2);
    EXPECT_EQ(page.runningCount(), 0);
    const struct {
        const char* title;
        FileStatus status;
    } expected[] = {{"intact.avi", FileUndamaged},
                    {"damaged.mp4", FileCompleted},
                    {"notes.mp4", FileFailed},
                    {"gone.avi", FileFailed},
                    {"audio.wav", FileUndamaged}};
    for (const auto& e : expected) {
        QFileInfoChunk* row = RowTitled(page, e.title);
        ASSERT_NE(row, nullptr) << e.title;
        EXPECT_EQ(row->GetStatus(), e.status) << e.title;
        EXPECT_EQ(QFileInfoChunk::StatusText(row->GetStatus()).isEmpty(), false);
    }
    EXPECT_FALSE(RowTitled(page, "damaged.mp4")->GetTempFilePath().isEmpty());
    EXPECT_NE(RowTitled(page, "damaged.mp4")->GetEncryptKey(), 0u);
    EXPECT_EQ(RowTitled(page, "damaged.mp4")->GetCheck(), 2);
    EXPECT_FALSE(RowTitled(page, "notes.mp4")->getEnable());
    ASSERT_EQ(boxes.messages.size(), 1);
    EXPECT_EQ(boxes.messages[0], QStringLiteral("3 files repair completed and\n2 files repair failed!"));
    ASSERT_FALSE(saveEnabled.isEmpty());
    EXPECT_TRUE(saveEnabled.last()[0].toBool());
    EXPECT_TRUE(page.isResultLook());
    EXPECT_EQ(page.selectAllBox()->checkState(), Qt::PartiallyChecked);

    // Home with one completed row asks about one file; Yes clears the list.
    QSignalSpy addMode(&page, &QFileInfoWgt::emitAddFileBtns);
    page.returnHome();
    EXPECT_EQ(boxes.messages.last(), QStringLiteral("1 repaired file is unsaved, Do you still want to go back?"));
    EXPECT_TRUE(page.rows().empty());
    EXPECT_EQ(addMode.count(), 1);
}

TEST_F(FileList, CancelContinueAndBack)
{
    BoxAnswers boxes;
    QFileInfoWgt page;
    page.resize(720, 400);
    QStringList paths;
    for (int i = 0; i < 4; ++i)
        paths << Copy(damaged.toStdString(), ("damaged-" + std::to_string(i) + ".mp4").c_str());
    ASSERT_TRUE(AddAndWait(page, paths));
    QSignalSpy continueMode(&page, &QFileInfoWgt::emitContinueBtns);
    QSignalSpy saveMode(&page, &QFileInfoWgt::emitSaveBtns);
    page.startRepair();
    page.cancelRepair();  // answered Yes at once, while the first two run
    ASSERT_TRUE(WaitFor([&] { return continueMode.count() >= 1; }));
    int aborted = 0;
    for (size_t i = 0; i < page.rows().size(); ++i)
        aborted += Row(page, i)->GetStatus() == FileAborted;
    EXPECT_GT(aborted, 0);
    EXPECT_EQ(saveMode.count(), 0);
    EXPECT_EQ(boxes.messages.size(), 1);

    // Continue runs what was aborted, and the summary comes after it.
    page.continueFromCancel();
    ASSERT_TRUE(WaitFor([&] { return saveMode.count() == 1; }, 120000));
    for (size_t i = 0; i < page.rows().size(); ++i)
        EXPECT_EQ(Row(page, i)->GetStatus(), FileCompleted) << i;
    EXPECT_EQ(boxes.messages.last(), QStringLiteral("4 files repair completed and\n0 file repair failed!"));

    // A second run, cancelled, then Back: the rows stay, as added.
    page.startRepair();
    page.cancelRepair();
    ASSERT_TRUE(WaitFor([&] { return continueMode.count() >= 2; }));
    QSignalSpy addMode(&page, &QFileInfoWgt::emitAddFileBtns);
    page.backFromCancel();
    EXPECT_EQ(addMode.count(), 1);
    ASSERT_EQ(page.rows().size(), 4u);
    for (size_t i = 0; i < page.rows().size(); ++i)
        EXPECT_EQ(Row(page, i)->GetStatus(), FileAdded);
}

TEST_F(FileList, RepairWithoutRowsOnlyTellsTheUser)
{
    BoxAnswers boxes;
    QFileInfoWgt page;
    QSignalSpy repairing(&page, &QFileInfoWgt::emitRepairingBtns);
    page.startRepair();
    ASSERT_EQ(boxes.messages.size(), 1);
    EXPECT_EQ(boxes.messages[0], QStringLiteral("Choose file before repair!"));
    EXPECT_EQ(repairing.count(), 0);
}

TEST_F(FileList, FiftyFilesKeepTheWindowResponsive)
{
    BoxAnswers boxes;
    QFileInfoWgt page;
    page.resize(720, 400);
    page.show();
    QStringList paths;
    for (int i = 0; i < 50; ++i)
        paths << Copy(RequireFixture("clip.wav"), ("tone-" + std::to_string(i) + ".wav").c_str());
    QElapsedTimer clock;
    qint64 last = 0, worst = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        worst = std::max(worst, now - last);
        last = now;
    });
    clock.start();
    tick.start(10);
    ASSERT_TRUE(AddAndWait(page, paths));
    QSignalSpy saveMode(&page, &QFileInfoWgt::emitSaveBtns);
    page.startRepair();
    ASSERT_TRUE(WaitFor([&] { return saveMode.count() == 1; }, 120000));
    tick.stop();
    EXPECT_EQ(page.rows().size(), 50u);
    EXPECT_LT(worst, 100) << "the GUI thread stalled for " << worst << " ms";
}

TEST_F(FileList, Screen)
{
    BoxAnswers boxes;
    QFileInfoWgt page;
    page.resize(720, 300);
    ASSERT_TRUE(AddAndWait(page, {intact, damaged, notMedia, audio}));
    page.show();
    QDir().mkpath(QStringLiteral(VIDMEND_SCREENS_DIR));
    EXPECT_TRUE(page.grab().save(QStringLiteral(VIDMEND_SCREENS_DIR "/file-list-added.png")));
    QSignalSpy saveMode(&page, &QFileInfoWgt::emitSaveBtns);
    page.startRepair();
    ASSERT_TRUE(WaitFor([&] { return saveMode.count() == 1; }, 120000));
    EXPECT_TRUE(page.grab().save(QStringLiteral(VIDMEND_SCREENS_DIR "/file-list-result.png")));
    QFileInfoWgt empty;
    empty.resize(720, 300);
    empty.show();
    EXPECT_TRUE(empty.grab().save(QStringLiteral(VIDMEND_SCREENS_DIR "/file-list-empty.png")));
}

}  // namespace
