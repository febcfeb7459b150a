// The file list page against the real repair library, on clips made at
// test time: adding files by the page's paths and by drops, a run over
// mixed files with two tasks, cancel/continue/back, the summary, where the
// work of a run happens, and the page drawn with rows in every state.
// Message boxes are answered through the box's test hook.
#include <gtest/gtest.h>

#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QLabel>
#include <QMimeData>
#include <QSignalSpy>
#include <QUrl>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "AppTestEnv.h"
#include "MediaCore.h"
#include "PageRows.h"
#include "BoxAnswers.h"
#include "QChunkControl.h"
#include "QFileInfoChunk.h"
#include "QFileInfoWgt.h"
#include "QProjectSetting.h"
#include "QZOBaseBoxDraw.h"
#include "QZOMessageBox.h"
#include "QZOTableView.h"
#include "core/VideoRepair.h"
#include "support/CountingStream.h"
#include "support/Damage.h"
#include "support/Fixtures.h"

using namespace mendtest;

// ---- where the work runs ----
//
// This test program is linked with the page's probe and repair object
// wrapped (see the CMake file): every probe of an added file, and every read
// and write the repair library makes of a file, is noted with whether it
// ran on the GUI thread. The repair object is the library's own, reading
// the same file through a stream that only passes the calls on.

namespace {

// Static initialisation runs on the thread that later runs the event loop.
const std::thread::id kGuiThread = std::this_thread::get_id();

struct Tally {
    std::atomic<int64_t> all{0};
    std::atomic<int64_t> onGui{0};

    void Note()
    {
        ++all;
        if (std::this_thread::get_id() == kGuiThread)
            ++onGui;
    }
    void Reset()
    {
        all = 0;
        onGui = 0;
    }
};

struct WorkSeen {
    Tally probes, reads, writes;
    void Reset()
    {
        probes.Reset();
        reads.Reset();
        writes.Reset();
    }
};

WorkSeen& Seen()
{
    static WorkSeen seen;
    return seen;
}

// The input file as the library reads it.
class ThreadNotingInput : public CountingStream {
public:
    explicit ThreadNotingInput(std::unique_ptr<IBaseStream> file) : CountingStream(file.get()), m_file(std::move(file))
    {
    }
    unsigned int Read(void* buf, unsigned int n) override
    {
        Seen().reads.Note();
        return CountingStream::Read(buf, n);
    }
    long long ReadAt(long long pos, void* buf, unsigned int n) override
    {
        Seen().reads.Note();
        return CountingStream::ReadAt(pos, buf, n);
    }

private:
    std::unique_ptr<IBaseStream> m_file;
};

// The repaired copy as the library writes (and reads back) it.
class ThreadNotingOutput : public IVideoStream {
public:
    explicit ThreadNotingOutput(IVideoStream* inner) : m_inner(inner) {}
    unsigned int Read(void* buf, unsigned int n) override
    {
        Seen().reads.Note();
        return m_inner->Read(buf, n);
    }
    unsigned int Write(const void* buf, unsigned int n) override
    {
        Seen().writes.Note();
        return m_inner->Write(buf, n);
    }
    long long GetLength() override { return m_inner->GetLength(); }
    long long GetPos() override { return m_inner->GetPos(); }
    long long SeekTo(long long pos) override { return m_inner->SeekTo(pos); }

private:
    IVideoStream* m_inner;
};

class ThreadNotingRepair : public CVideoRepair {
public:
    ~ThreadNotingRepair() override
    {
        // The worker and the library's streams go before the wrappers they use.
        CloseFile();
    }
    bool SetFile(const char* path) override
    {
        if (!path)
            return false;
        int err = 0;
        auto file = std::make_unique<CVideoFile>(path, 0, &err);
        if (err != 0)
            return false;
        return SetInput(std::make_unique<ThreadNotingInput>(std::move(file)), path);
    }
    int RepairFile(IVideoStream* out, int level, VPProcessResultCallback onResult, void* user,
                   const char* refPath) override
    {
        // Kept until the end: the library's stream over an earlier one may
        // still flush into it as it is replaced.
        m_outputs.push_back(std::make_unique<ThreadNotingOutput>(out));
        return CVideoRepair::RepairFile(out ? m_outputs.back().get() : nullptr, level, onResult, user, refPath);
    }
    using CVideoRepair::RepairFile;

private:
    std::vector<std::unique_ptr<ThreadNotingOutput>> m_outputs;
};

}  // namespace

extern "C" {
int __real_mediaOpenInfo(MediaInfo* info, const char* path);

int __wrap_mediaOpenInfo(MediaInfo* info, const char* path)
{
    Seen().probes.Note();
    return __real_mediaOpenInfo(info, path);
}

IVideoRepair* __wrap_CreateRepair()
{
    return new (std::nothrow) ThreadNotingRepair;
}

void __wrap_DestroyRepair(IVideoRepair* repair)
{
    delete repair;
}
}  // extern "C"

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
    EXPECT_TRUE(WaitFor([&] { return !page.isAdding(); }));
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

// The window stays responsive because no probe, parse or repair of a file
// runs on the GUI thread: it only hands work to threads and takes their
// reports. Fifty files, five of them damaged so that copies are written.
TEST_F(FileList, FiftyFilesKeepTheWindowResponsive)
{
    BoxAnswers boxes;
    QFileInfoWgt page;
    page.resize(720, 400);
    page.show();
    QStringList paths;
    for (int i = 0; i < 45; ++i)
        paths << Copy(RequireFixture("clip.wav"), ("tone-" + std::to_string(i) + ".wav").c_str());
    for (int i = 0; i < 5; ++i)
        paths << Copy(damaged.toStdString(), ("cut-" + std::to_string(i) + ".mp4").c_str());
    Seen().Reset();
    ASSERT_TRUE(AddAndWait(page, paths));
    QSignalSpy saveMode(&page, &QFileInfoWgt::emitSaveBtns);
    page.startRepair();
    ASSERT_TRUE(WaitFor([&] { return saveMode.count() == 1; }, 120000));
    EXPECT_EQ(page.rows().size(), 50u);
    int undamaged = 0, completed = 0;
    for (size_t i = 0; i < page.rows().size(); ++i) {
        undamaged += Row(page, i)->GetStatus() == FileUndamaged;
        completed += Row(page, i)->GetStatus() == FileCompleted;
    }
    EXPECT_EQ(undamaged, 45);
    EXPECT_EQ(completed, 5);

    // Every file was probed and read, and the damaged ones written anew.
    EXPECT_GE(Seen().probes.all, 50);
    EXPECT_GE(Seen().reads.all, 50);
    EXPECT_GE(Seen().writes.all, 5);
    EXPECT_EQ(Seen().probes.onGui, 0) << "files probed on the GUI thread";
    EXPECT_EQ(Seen().reads.onGui, 0) << "reads of the repair library on the GUI thread";
    EXPECT_EQ(Seen().writes.onGui, 0) << "writes of repaired copies on the GUI thread";
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
