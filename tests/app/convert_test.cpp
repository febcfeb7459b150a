// The converter threads, merging, still images and the recogniser, run for
// real on clips made at test time and judged through libavformat.
#include <gtest/gtest.h>

#include <QColor>
#include <QElapsedTimer>
#include <QImage>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <iterator>
#include <memory>
#include <vector>

extern "C" {
#include <libavcodec/codec_id.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
}

#include "AppTestEnv.h"
#include "ConvertClips.h"
#include "MediaConvert.h"
#include "QBaseConvertController.h"
#include "QZOConverter.h"
#include "QZOMediaInterface.h"
#include "ZOAudioRecognizer.h"
#include "support/Damage.h"
#include "support/Fixtures.h"
#include "support/MediaCheck.h"

using namespace ZO_MEDIA_COM;
using converttest::Clips;
using converttest::Probe;
using converttest::Probed;

namespace {

struct Release {
    void operator()(QBaseConvertController* job) const { job->release(); }
};
using JobPtr = std::unique_ptr<QBaseConvertController, Release>;

// 160x120 H.264 at 15 fps with AAC, the range 0.5-1.5 s, two tags.
JobPtr Job(const std::string& input, const std::string& output)
{
    JobPtr job(new QBaseConvertController);
    QBaseConverterInfo& info = *job->converterInfo();
    info.inputPath = QString::fromStdString(input);
    info.outputPath = QString::fromStdString(output);
    info.outputFormat = QStringLiteral("mp4");
    info.videoParam.codec = AV_CODEC_ID_H264;
    info.videoParam.width = 160;
    info.videoParam.height = 120;
    info.videoParam.frameRate = 1500;
    info.audioParam.codec = AV_CODEC_ID_AAC;
    info.trimTime.start = 500000;
    info.trimTime.length = 1000000;
    info.audioTag.title = "Converted";
    info.audioTag.artist = "Tester";
    return job;
}

bool Terminal(int state)
{
    return state == QZOConverter::StateStopped || state == QZOConverter::StateEnded ||
           state == QZOConverter::StateFailed;
}

// What a converter reports, gathered on the test's thread.
class Recorder : public QObject {
public:
    explicit Recorder(QZOConverter& converter)
    {
        connect(&converter, &QZOConverter::emitConvertState, this, [this](int s) { states.push_back(s); });
        connect(&converter, &QZOConverter::emitConvertProgress, this, [this](int p) { progress.push_back(p); });
    }
    bool WaitFinished(int timeoutMs = kHangGuardMs)
    {
        return WaitFor([this] { return !states.empty() && Terminal(states.back()); }, timeoutMs);
    }
    bool Saw(int state) const { return std::find(states.begin(), states.end(), state) != states.end(); }

    std::vector<int> states;
    std::vector<int> progress;
};

// Pauses the conversion from the converter's own thread the moment it
// reports running, so the test holds it before much is done.
class PauseAtStart {
public:
    explicit PauseAtStart(QZOConverter& converter)
    {
        QObject::connect(&converter, &QZOConverter::emitConvertState, [this, &converter](int s) {
            if (s == QZOConverter::StateRunning && !armed_.exchange(true))
                paused = converter.pauseConvert();
        });
    }
    std::atomic<bool> paused{false};

private:
    std::atomic<bool> armed_{false};
};

// Runs the event loop for ms: a window in which a report that must not come
// would show. No passing run depends on its length; a wait for something
// that must come is WaitFor.
void Pump(int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

bool Exists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0;
}

std::vector<uint32_t> Utf32(const std::string& ascii)
{
    std::vector<uint32_t> out(ascii.begin(), ascii.end());
    out.push_back(0);
    return out;
}

}  // namespace

TEST(Converter, MakesTheTrimmedScaledClipWithChaptersAndTags)
{
    const std::string& clip = Clips::Get().Clip();
    ASSERT_FALSE(clip.empty());
    mendtest::ScratchDir dir;
    const std::string out = dir.Path("out.mp4");
    JobPtr job = Job(clip, out);
    job->converterInfo()->audioTag.coverPath = Clips::Get().Cover();
    QZOConverter converter;
    Recorder recorder(converter);
    ASSERT_TRUE(converter.startConvert(job.get()));
    ASSERT_TRUE(recorder.WaitFinished());

    EXPECT_EQ(recorder.states, (std::vector<int>{0, 1, 2, 5, 4}));
    EXPECT_EQ(converter.convertState(), QZOConverter::StateEnded);
    ASSERT_FALSE(recorder.progress.empty());
    EXPECT_EQ(recorder.progress.front(), 1);
    EXPECT_EQ(recorder.progress.back(), 10000);
    // Each report larger than the one before, up to the closing 10000.
    const std::vector<int> running(recorder.progress.begin(), recorder.progress.end() - 1);
    EXPECT_EQ(std::adjacent_find(running.begin(), running.end(), std::greater_equal<int>()), running.end())
        << "progress must only rise";

    const mendtest::MediaReport report = mendtest::CheckMedia(out);
    EXPECT_TRUE(report.CleanDecode()) << report.Summary();
    EXPECT_NEAR(report.VideoFrames(), 15, 1);
    const Probed p = Probe(out);
    EXPECT_EQ(p.videoCodec, "h264");
    EXPECT_EQ(p.audioCodec, "aac");
    EXPECT_EQ(p.width, 160);
    EXPECT_EQ(p.height, 120);
    EXPECT_NEAR(p.fps, 15.0, 0.01);
    EXPECT_NEAR(p.duration, 1.0, 0.08);
    // The source's chapters, clipped to the range and moved to its start;
    // the untitled one is named by its number.
    ASSERT_EQ(p.chapters.size(), 2u);
    EXPECT_NEAR(p.chapters[0].start, 0.0, 0.01);
    EXPECT_NEAR(p.chapters[0].end, 0.5, 0.01);
    EXPECT_EQ(p.chapters[0].title, "Intro");
    EXPECT_NEAR(p.chapters[1].start, 0.5, 0.01);
    EXPECT_NEAR(p.chapters[1].end, 1.0, 0.01);
    EXPECT_EQ(p.chapters[1].title, "Chapter 2");
    EXPECT_EQ(p.tags.count("title") ? p.tags.at("title") : "", "Converted");
    EXPECT_EQ(p.tags.count("artist") ? p.tags.at("artist") : "", "Tester");
    EXPECT_TRUE(p.cover);
}

// A conversion of the clip, held paused as it starts.
class PausedConversion : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string& clip = Clips::Get().Clip();
        ASSERT_FALSE(clip.empty());
        job = Job(clip, dir.Path("out.mp4"));
        ASSERT_TRUE(converter.startConvert(job.get()));
        ASSERT_TRUE(WaitFor([&] { return recorder.Saw(QZOConverter::StatePaused); }));
    }

    mendtest::ScratchDir dir;
    JobPtr job;
    QZOConverter converter;
    Recorder recorder{converter};
    PauseAtStart pause{converter};
};

TEST_F(PausedConversion, PauseHoldsTheRunAndContinueFinishesIt)
{
    EXPECT_TRUE(pause.paused);
    EXPECT_EQ(converter.convertState(), QZOConverter::StatePaused);

    // Held: nothing advances while paused.
    const size_t reported = recorder.progress.size();
    Pump(400);
    EXPECT_EQ(recorder.progress.size(), reported);
    EXPECT_FALSE(Terminal(recorder.states.back()));

    ASSERT_TRUE(converter.continueConvert());
    ASSERT_TRUE(recorder.WaitFinished());
    EXPECT_EQ(recorder.states.back(), QZOConverter::StateEnded);
    const auto paused = std::find(recorder.states.begin(), recorder.states.end(), int(QZOConverter::StatePaused));
    EXPECT_NE(std::find(paused, recorder.states.end(), int(QZOConverter::StateRunning)), recorder.states.end());
    EXPECT_EQ(recorder.progress.back(), 10000);
}

TEST_F(PausedConversion, StopEndsTheRunStoppedAndLetsGoOfTheHandle)
{

    EXPECT_TRUE(converter.stopConvert());
    ASSERT_TRUE(recorder.WaitFinished());
    EXPECT_EQ(recorder.states.back(), QZOConverter::StateStopped);
    EXPECT_FALSE(recorder.Saw(QZOConverter::StateEnded));
    // The stopped conversion's handle is gone: nothing is left to pause.
    EXPECT_FALSE(converter.pauseConvert());
    EXPECT_FALSE(converter.continueConvert());
    EXPECT_TRUE(converter.stopConvert());
}

TEST(Converter, StartingAgainStopsTheRunningConversionFirst)
{
    const std::string& clip = Clips::Get().Clip();
    ASSERT_FALSE(clip.empty());
    mendtest::ScratchDir dir;
    JobPtr first = Job(clip, dir.Path("first.mp4"));
    JobPtr second = Job(clip, dir.Path("second.mp4"));
    QZOConverter converter;
    Recorder recorder(converter);
    PauseAtStart pause(converter);
    ASSERT_TRUE(converter.startConvert(first.get()));
    ASSERT_TRUE(WaitFor([&] { return recorder.Saw(QZOConverter::StatePaused); }));

    ASSERT_TRUE(converter.startConvert(second.get()));
    ASSERT_TRUE(WaitFor([&] { return recorder.Saw(QZOConverter::StateEnded); }));
    Pump(50);
    // The first run stopped (its report may arrive after the second run's
    // start, which is signalled on this thread) and only the second ended.
    EXPECT_TRUE(recorder.Saw(QZOConverter::StateStopped));
    EXPECT_EQ(std::count(recorder.states.begin(), recorder.states.end(), int(QZOConverter::StateStarted)), 2);
    EXPECT_EQ(std::count(recorder.states.begin(), recorder.states.end(), int(QZOConverter::StateEnded)), 1);
    EXPECT_EQ(recorder.states.back(), QZOConverter::StateEnded);
    EXPECT_NEAR(Probe(dir.Path("second.mp4")).duration, 1.0, 0.08);
}

TEST(Converter, ABadInputReportsFailure)
{
    const std::string& garbage = Clips::Get().Garbage();
    ASSERT_FALSE(garbage.empty());
    mendtest::ScratchDir dir;
    for (const std::string& input : {garbage, dir.Path("missing.mp4")}) {
        SCOPED_TRACE(input);
        const std::string out = dir.Path("out.mp4");
        JobPtr job = Job(input, out);
        QZOConverter converter;
        Recorder recorder(converter);
        ASSERT_TRUE(converter.startConvert(job.get()));
        ASSERT_TRUE(recorder.WaitFinished());
        EXPECT_EQ(recorder.states, (std::vector<int>{0, 1, 6}));
        EXPECT_EQ(recorder.progress.back(), 10000);
        EXPECT_FALSE(Exists(out));
    }
}

TEST(Converter, PauseAndContinueWithoutAHandleDoNothing)
{
    QZOConverter converter;
    QZOMergeConverter merger;
    for (QZOConverter* c : {&converter, static_cast<QZOConverter*>(&merger)}) {
        Recorder recorder(*c);
        EXPECT_FALSE(c->pauseConvert());
        EXPECT_FALSE(c->continueConvert());
        Pump(20);
        EXPECT_TRUE(recorder.states.empty());
    }
}

TEST(Converter, KeepCopiesTheStreamsFromTheKeyFrameBeforeTheStart)
{
    const std::string& clip = Clips::Get().Clip();
    ASSERT_FALSE(clip.empty());
    mendtest::ScratchDir dir;
    const std::string out = dir.Path("copy.mp4");
    JobPtr job = Job(clip, out);
    job->converterInfo()->keep = true;
    QZOConverter converter;
    Recorder recorder(converter);
    ASSERT_TRUE(converter.startConvert(job.get()));
    ASSERT_TRUE(recorder.WaitFinished());
    EXPECT_EQ(recorder.states.back(), QZOConverter::StateEnded);
    const mendtest::MediaReport report = mendtest::CheckMedia(out);
    EXPECT_TRUE(report.CleanDecode()) << report.Summary();
    const Probed p = Probe(out);
    // Untouched pictures; the cut falls on the key frame at 0.4 s.
    EXPECT_EQ(p.videoCodec, "h264");
    EXPECT_EQ(p.width, 320);
    EXPECT_EQ(p.height, 240);
    EXPECT_NEAR(p.duration, 1.12, 0.05);
}

// Crop, rotation and the sizes they lead to when no output size is set.
TEST(Converter, ShapesThePictureByCropAndRotation)
{
    const std::string& clip = Clips::Get().Clip();
    ASSERT_FALSE(clip.empty());
    struct Case {
        const char* name;
        int rotation;
        int mode;
        QCropRect rect;
        int cropWidth, cropHeight;
        int width, height;
    } const cases[] = {
        {"quarter turn", 90, 0, QCropRect{}, 0, 0, 240, 320},
        {"left half", 0, 0, QCropRect{0.0, 0.0, 0.5, 1.0}, 0, 0, 160, 240},
        {"turned crop size", 270, 2, QCropRect{}, 100, 60, 60, 100},
        {"half turn keeps the size", 180, 2, QCropRect{}, 100, 60, 100, 60},
    };
    mendtest::ScratchDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string out = dir.Path(std::string(c.name) + ".mp4");
        JobPtr job = Job(clip, out);
        QBaseConverterInfo& info = *job->converterInfo();
        info.videoParam.codec = AV_CODEC_ID_MPEG4;  // quicker to start than H.264
        info.videoParam.width = info.videoParam.height = 0;
        info.cropSettings.rotation = c.rotation;
        info.cropSettings.mode = c.mode;
        info.cropSettings.rect = c.rect;
        info.cropSettings.width = c.cropWidth;
        info.cropSettings.height = c.cropHeight;
        QZOConverter converter;
        Recorder recorder(converter);
        ASSERT_TRUE(converter.startConvert(job.get()));
        ASSERT_TRUE(recorder.WaitFinished());
        const Probed p = Probe(out);
        EXPECT_EQ(p.width, c.width);
        EXPECT_EQ(p.height, c.height);
    }
}

// Pixels of the output: an image watermark at the centre, padding colour
// around a picture that keeps its shape.
TEST(Converter, DrawsWatermarksAndPadding)
{
    const std::string& clip = Clips::Get().Clip();
    ASSERT_FALSE(clip.empty());
    mendtest::ScratchDir dir;
    QImage blue(40, 40, QImage::Format_ARGB32);
    blue.fill(QColor(0, 0, 255));

    // Watermarked: the centre is the watermark's.
    const std::string marked = dir.Path("marked.mp4");
    {
        JobPtr job = Job(clip, marked);
        job->converterInfo()->videoParam.codec = AV_CODEC_ID_MPEG4;
        auto* images = new QImageSubMediaManager;
        auto* mark = static_cast<QImageWatermarkSettings*>(images->addMedia());
        mark->sourceImage = reinterpret_cast<qint64>(&blue);
        job->converterInfo()->setImageWatarmarkManager(images);
        images->release();
        QZOConverter converter;
        Recorder recorder(converter);
        ASSERT_TRUE(converter.startConvert(job.get()));
        ASSERT_TRUE(recorder.WaitFinished());
        ASSERT_EQ(recorder.states.back(), QZOConverter::StateEnded);
    }
    // Padded: 4:3 in a square leaves red bands above and below.
    const std::string padded = dir.Path("padded.mp4");
    {
        JobPtr job = Job(clip, padded);
        QBaseConverterInfo& info = *job->converterInfo();
        info.videoParam.codec = AV_CODEC_ID_MPEG4;
        info.videoParam.width = info.videoParam.height = 160;
        info.cropSettings.fill = 1;
        info.cropSettings.colour = 0xFFFF0000u;
        QZOConverter converter;
        Recorder recorder(converter);
        ASSERT_TRUE(converter.startConvert(job.get()));
        ASSERT_TRUE(recorder.WaitFinished());
        ASSERT_EQ(recorder.states.back(), QZOConverter::StateEnded);
    }
    struct Look {
        const std::string* path;
        int width, height, x, y;
        QColor expected;
    } const looks[] = {
        {&marked, 160, 120, 80, 60, QColor(0, 0, 255)},
        {&padded, 160, 160, 80, 4, QColor(255, 0, 0)},
        {&padded, 160, 160, 80, 155, QColor(255, 0, 0)},
    };
    for (const Look& look : looks) {
        std::unique_ptr<QImage> image(QZOMediaInterface::getMediaImage(look.path->c_str(), true, look.width, look.height));
        ASSERT_TRUE(image);
        ASSERT_EQ(image->size(), QSize(look.width, look.height));
        const QColor got = image->pixelColor(look.x, look.y);
        EXPECT_NEAR(got.red(), look.expected.red(), 40) << *look.path << " at " << look.x << "," << look.y;
        EXPECT_NEAR(got.green(), look.expected.green(), 40) << *look.path << " at " << look.x << "," << look.y;
        EXPECT_NEAR(got.blue(), look.expected.blue(), 40) << *look.path << " at " << look.x << "," << look.y;
    }
}

TEST(MergeConverter, JoinsTheInputsOneAfterTheOther)
{
    const std::string& clip = Clips::Get().Clip();
    ASSERT_FALSE(clip.empty());
    mendtest::ScratchDir dir;
    const std::string out = dir.Path("merged.mp4");
    JobPtr target = Job(clip, out);
    JobPtr whole = Job(clip, out);
    whole->converterInfo()->trimTime = QTrimTimeSet();
    JobPtr part = Job(clip, out);  // 0.5-1.5 s
    QZOMergeConverter merger;
    Recorder recorder(merger);
    ASSERT_TRUE(merger.startConvert(target.get()));
    ASSERT_TRUE(merger.addMergerTask(whole.get()));
    ASSERT_TRUE(merger.addMergerTask(part.get()));
    ASSERT_TRUE(WaitFor([&] { return recorder.Saw(QZOConverter::StateEnded) && !merger.isRunning(); }));
    ASSERT_TRUE(merger.stopConvert());

    const mendtest::MediaReport report = mendtest::CheckMedia(out);
    EXPECT_TRUE(report.CleanDecode()) << report.Summary();
    EXPECT_NEAR(report.VideoFrames(), 45, 2);
    const Probed p = Probe(out);
    EXPECT_EQ(p.width, 160);
    EXPECT_EQ(p.height, 120);
    EXPECT_NEAR(p.duration, 3.0, 0.12);
    EXPECT_EQ(recorder.progress.back(), 10000);
}

// The converter's thread works on the merge handle: deleting the converter
// waits for it and completes the output, whether the merge still runs or
// has ended.
TEST(MergeConverter, DeletingItCompletesTheOutput)
{
    const std::string& clip = Clips::Get().Clip();
    ASSERT_FALSE(clip.empty());
    mendtest::ScratchDir dir;
    for (const bool running : {true, false}) {
        SCOPED_TRACE(running ? "while running" : "after the end");
        const std::string out = dir.Path(running ? "running.mp4" : "ended.mp4");
        JobPtr target = Job(clip, out);
        JobPtr input = Job(clip, out);
        {
            auto merger = std::make_unique<QZOMergeConverter>();
            Recorder recorder(*merger);
            ASSERT_TRUE(merger->startConvert(target.get()));
            ASSERT_TRUE(merger->addMergerTask(input.get()));
            // Progress means the output has been made and written to.
            ASSERT_TRUE(WaitFor([&] {
                return running ? !recorder.progress.empty()
                               : recorder.Saw(QZOConverter::StateEnded) && !merger->isRunning();
            }));
        }
        const Probed p = Probe(out);
        EXPECT_TRUE(p.opened) << "the merged file was left without its index";
        if (!running) {
            EXPECT_EQ(p.width, 160);
            EXPECT_NEAR(p.duration, 1.0, 0.08);
        }
    }
}

TEST(MediaInterface, StillImagesOfFilesAndCovers)
{
    Clips& clips = Clips::Get();
    ASSERT_FALSE(clips.Clip().empty());
    ASSERT_FALSE(clips.TaggedAudio().empty());
    ASSERT_FALSE(clips.Garbage().empty());
    struct Case {
        std::string path;
        int boxWidth, boxHeight;
        QSize size;  // empty: no image
    } const cases[] = {
        {clips.Clip(), 80, 80, QSize(80, 60)},
        {clips.Clip(), 0, 0, QSize(320, 240)},
        {clips.TaggedAudio(), 16, 16, QSize(16, 16)},
        {clips.Garbage(), 80, 80, QSize()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        std::unique_ptr<QImage> image(QZOMediaInterface::getMediaImage(c.path.c_str(), false, c.boxWidth, c.boxHeight));
        if (c.size.isEmpty()) {
            EXPECT_FALSE(image);
            continue;
        }
        ASSERT_TRUE(image);
        EXPECT_EQ(image->size(), c.size);
    }
    // The audio file's picture is its red cover.
    std::unique_ptr<QImage> cover(QZOMediaInterface::getMediaImage(clips.TaggedAudio().c_str(), false, 16, 16));
    ASSERT_TRUE(cover);
    EXPECT_GT(cover->pixelColor(8, 8).red(), 200);
    EXPECT_LT(cover->pixelColor(8, 8).green(), 50);
    EXPECT_EQ(QZOMediaInterface::getMediaImage(nullptr, false, 10, 10), nullptr);
}

TEST(AudioRecognizer, ReadsTheTagsAndCoverOfAFile)
{
    const std::string& tagged = Clips::Get().TaggedAudio();
    ASSERT_FALSE(tagged.empty());
    ZOAudioRecognizer recognizer;
    ASSERT_TRUE(recognizer.CreateAudioRecognizerFromFilepath(QString::fromStdString(tagged)));
    EXPECT_TRUE(recognizer.created());
    EXPECT_TRUE(recognizer.GetRecognizerCompleted());
    const ZOAudioTagInfo info = recognizer.GetAudioTagInfo();
    EXPECT_EQ(info.title, "Night Train");
    EXPECT_EQ(info.artist, "The Testers");
    EXPECT_EQ(info.album, "Fixtures");
    EXPECT_EQ(info.track, "3");
    EXPECT_EQ(info.date, "2021");
    ASSERT_GT(info.coverSize, 8);
    EXPECT_EQ(int(info.cover.size()), info.coverSize);
    EXPECT_EQ(info.cover.substr(1, 3), "PNG");

    recognizer.ReleaseAudioRecognizer();
    EXPECT_TRUE(recognizer.GetAudioTagInfo().title.empty());
    EXPECT_FALSE(recognizer.CreateAudioRecognizerFromFilepath(QString::fromStdString(Clips::Get().Garbage())));
}

TEST(AudioRecognizer, BuffersRawFramesUntilStopped)
{
    struct FrameFree {
        void operator()(AVFrame* f) const { av_frame_free(&f); }
    };
    std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
    frame->format = AV_SAMPLE_FMT_S16;
    frame->sample_rate = 44100;
    frame->nb_samples = 1024;
    av_channel_layout_default(&frame->ch_layout, 2);
    ASSERT_EQ(av_frame_get_buffer(frame.get(), 0), 0);

    ZOAudioRecognizer recognizer;
    EXPECT_EQ(recognizer.CreateAudioRecognizer(ZORecognizerAudioFormat::make(1, 0, 44100)), 0)
        << "a format without channels is refused";
    EXPECT_FALSE(recognizer.created());

    ASSERT_EQ(recognizer.CreateAudioRecognizer(ZORecognizerAudioFormat::make(1, 2, 44100)), 1);
    EXPECT_TRUE(recognizer.created());
    recognizer.RecognizerAudioFrane(nullptr);
    recognizer.RecognizerAudioFrane(frame.get());
    recognizer.RecognizerAudioFrane(frame.get());
    EXPECT_FALSE(recognizer.finished());
    EXPECT_FALSE(recognizer.GetRecognizerCompleted());

    recognizer.StopRecognizer();
    EXPECT_TRUE(recognizer.GetRecognizerCompleted());
    recognizer.RecognizerAudioFrane(frame.get());
    EXPECT_TRUE(recognizer.finished());
    EXPECT_FALSE(recognizer.full());
    EXPECT_TRUE(recognizer.GetAudioTagInfo().title.empty());
}

// Whatever the caller asks, an existing file (the input among them) is
// never replaced, and a tag write that fails leaves the file as it was.
TEST(MediaLayer, NeverWritesOverAnExistingFile)
{
    Clips& clips = Clips::Get();
    ASSERT_FALSE(clips.Clip().empty());
    ASSERT_FALSE(clips.Garbage().empty());
    mendtest::ScratchDir dir;
    const std::string existing = dir.Path("existing.mp4");
    std::filesystem::copy_file(clips.Clip(), existing);
    const std::vector<uint8_t> before = mendtest::ReadFileBytes(existing);
    MediaConvertContext* context = mediaCreateConvertContext(-1);
    for (MediaConverter* (*create)(int) : {mediaCreateConverter, mediaCreateStreamCopier}) {
        for (const std::string& output : {existing, clips.Clip()}) {
            MediaConverter* converter = create(-1);
            EXPECT_EQ(mediaOpenConverter(converter, clips.Clip().c_str(), output.c_str(), context), 0) << output;
            EXPECT_EQ(mediaStartConverter(converter), 0);
            mediaReleaseConverter(converter);
        }
    }
    MediaMerger* merger = mediaCreateMerger(-1);
    EXPECT_EQ(mediaOpenMergerOutput(merger, existing.c_str(), "mp4", context), 0);
    mediaReleaseMerger(merger);
    mediaReleaseConvertContext(context);
    EXPECT_EQ(mendtest::ReadFileBytes(existing), before);

    const std::string garbage = dir.Path("garbage.mp4");
    std::filesystem::copy_file(clips.Garbage(), garbage);
    const std::vector<uint8_t> junk = mendtest::ReadFileBytes(garbage);
    MediaTagWriter* writer = mediaCreateTagWriter(-1);
    const std::vector<uint32_t> path = Utf32(garbage);
    const std::vector<uint32_t> title = Utf32("Title");
    ASSERT_EQ(mediaOpenTagWriter(writer, path.data()), 1);
    ASSERT_EQ(mediaSetTagText(writer, MEDIA_TAG_TITLE, title.data(), uint32_t(title.size() - 1) * 4), 1);
    EXPECT_EQ(mediaFinishTagWriter(writer), 0);
    mediaReleaseTagWriter(writer);
    EXPECT_EQ(mendtest::ReadFileBytes(garbage), junk);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Root()), std::filesystem::directory_iterator()), 2)
        << "no temporary copy is left behind";
}

TEST(MediaLayer, RefusesWhatItCannotUse)
{
    MediaConvertContext* context = mediaCreateConvertContext(-1);
    EXPECT_EQ(mediaContextSetValue(context, 999, 1), 0) << "an unknown key";
    EXPECT_EQ(mediaContextSetValue(context, MEDIA_IMAGE_ALPHA, 1), 0) << "no overlay selected";
    ASSERT_EQ(mediaContextSetOverlayCount(context, 2), 1);
    EXPECT_EQ(mediaContextSelectOverlay(context, 2), 0);
    ASSERT_EQ(mediaContextSelectOverlay(context, 1), 1);
    EXPECT_EQ(mediaContextSetValue(context, MEDIA_IMAGE_ALPHA, 7), 1);
    EXPECT_EQ(mediaContextSetText(context, MEDIA_TEXT_WORDS, "hi"), 1);
    EXPECT_EQ(mediaContextValue(context, MEDIA_IMAGE_ALPHA), 7);
    EXPECT_EQ(mediaContextSetValue(context, MEDIA_BGAUDIO_VOLUME, 1), 0) << "no background audio selected";

    // A handle that was never opened neither starts nor pauses.
    MediaConverter* converter = mediaCreateConverter(-1);
    EXPECT_EQ(mediaStartConverter(converter), 0);
    EXPECT_EQ(mediaPauseConverter(converter), 0);
    EXPECT_EQ(mediaResumeConverter(converter), 0);
    EXPECT_EQ(mediaConverterIsEnded(converter), 0);
    mediaReleaseConverter(converter);

    mendtest::ScratchDir dir;
    MediaMerger* merger = mediaCreateMerger(-1);
    EXPECT_EQ(mediaAddMergerInput(merger, Clips::Get().Clip().c_str(), 0, 0, context), 0) << "no output yet";
    ASSERT_EQ(mediaOpenMergerOutput(merger, dir.Path("merged.mp4").c_str(), "mp4", context), 1);
    EXPECT_EQ(mediaAddMergerInput(merger, Clips::Get().Garbage().c_str(), 0, 0, context), 0);
    mediaReleaseMerger(merger);
    EXPECT_FALSE(Exists(dir.Path("merged.mp4")));
    mediaReleaseConvertContext(context);
}
