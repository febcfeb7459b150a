// The conversion framework's records, the job's configuration of a
// conversion context, reference counting, and the static tables and
// geometry.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

extern "C" {
#include <libavcodec/codec_id.h>
}

#include "ConvertClips.h"
#include "MediaConvert.h"
#include "QBaseConvertController.h"
#include "QMediaGeometryInterface.h"
#include "QZOConverter.h"
#include "ZOAVCodecAnalysisApi.h"
#include "ZOAudioRecognizer.h"

using namespace ZO_MEDIA_COM;

namespace {

struct ContextFree {
    void operator()(MediaConvertContext* c) const { mediaReleaseConvertContext(c); }
};
using ContextPtr = std::unique_ptr<MediaConvertContext, ContextFree>;

ContextPtr NewContext()
{
    return ContextPtr(mediaCreateConvertContext(-1));
}

constexpr uint64_t kSecond = 1000000;

}  // namespace

TEST(ConvertSettings, ResetRestoresEachOverlaysDefaults)
{
    QImageWatermarkSettings image;
    image.alpha = 3;
    image.startTime = 9;
    image.visible = false;
    image.reset();
    EXPECT_EQ(image.kind, SubMediaImage);
    EXPECT_EQ(image.alpha, 255);
    EXPECT_EQ(image.startTime, -1);
    EXPECT_EQ(image.endTime, -1);
    EXPECT_TRUE(image.visible);
    EXPECT_EQ(image.alignment, 17);
    EXPECT_DOUBLE_EQ(image.scaleX, 100.0);

    QTextWatermarkSettings text;
    text.fontSize = 3;
    text.reset();
    EXPECT_EQ(text.kind, SubMediaText);
    EXPECT_EQ(text.fontSize, 18);
    EXPECT_EQ(text.lines, 1);
    EXPECT_EQ(text.colour, 0xFFFFFFFFu);
    EXPECT_EQ(text.outlineColour, 0x80000000u);
    EXPECT_EQ(text.backColour, 0xFF000000u);

    QAudioBackgroundSettings audio;
    const double values[2] = {1.0, 2.0};
    audio.setEqInfo(2, values, values);
    audio.track = 7;
    audio.reset();
    EXPECT_EQ(audio.kind, SubMediaAudio);
    EXPECT_EQ(audio.track, -1);
    EXPECT_EQ(audio.balance, 50);
    EXPECT_EQ(audio.loop, 1);
    EXPECT_EQ(audio.eqCount(), 0u);
}

TEST(ConvertSettings, EqualiserCopiesOwnTheirArrays)
{
    const double bands[3] = {60.0, 1000.0, 8000.0};
    const double gains[3] = {-3.0, 0.0, 2.5};
    auto original = std::make_unique<QAudioBackgroundSettings>();
    original->setEqInfo(3, bands, gains);
    QAudioBackgroundSettings copied(*original);
    QAudioBackgroundSettings assigned;
    assigned = *original;
    EXPECT_NE(copied.eqBands(), original->eqBands());

    // Changing and then destroying the original leaves the copies whole.
    const double other[1] = {5.0};
    original->setEqInfo(1, other, other);
    original.reset();
    for (const QAudioBackgroundSettings* s : {&copied, &assigned}) {
        ASSERT_EQ(s->eqCount(), 3u);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(s->eqBands()[i], bands[i]);
            EXPECT_EQ(s->eqGains()[i], gains[i]);
        }
    }
    copied.setEqInfo(0, bands, gains);
    EXPECT_EQ(copied.eqCount(), 0u);
    EXPECT_EQ(copied.eqBands(), nullptr);
}

TEST(ConvertJob, ReleaseDeletesTheJobAtZero)
{
    struct Watched : QBaseConvertController {
        explicit Watched(bool& gone) : gone(gone) {}
        ~Watched() override { gone = true; }
        bool& gone;
    };
    bool gone = false;
    auto* job = new Watched(gone);
    EXPECT_EQ(job->release(), 0);
    EXPECT_TRUE(gone);

    gone = false;
    job = new Watched(gone);
    EXPECT_EQ(job->addRef(), 2);
    EXPECT_EQ(job->release(), 1);
    EXPECT_FALSE(gone);
    EXPECT_EQ(job->release(), 0);
    EXPECT_TRUE(gone);
}

TEST(ConvertJob, InfoCopiesShareTheManagersAndBorrowedInfoIsKept)
{
    struct Watched : QImageSubMediaManager {
        explicit Watched(bool& gone) : gone(gone) {}
        ~Watched() override { gone = true; }
        bool& gone;
    };
    bool gone = false;
    auto* manager = new Watched(gone);
    {
        QBaseConverterInfo info;
        info.setImageWatarmarkManager(manager);
        info.setImageWatarmarkManager(manager);  // the same one again takes nothing more
        QBaseConverterInfo copied(info);
        QBaseConverterInfo assigned;
        assigned = info;
        EXPECT_EQ(copied.imageWatarmarkManager(), manager);
        EXPECT_EQ(manager->addRef(), 5);  // ours, three infos, this one
        manager->release();
        manager->release();  // ours: the infos keep it
        EXPECT_FALSE(gone);

        // A job that borrows the info leaves it to its owner.
        auto* job = new QBaseConvertController;
        job->setConverterInfo(&info);
        EXPECT_EQ(job->converterInfo(), &info);
        job->release();
        EXPECT_EQ(info.imageWatarmarkManager(), manager);
    }
    EXPECT_TRUE(gone);
}

TEST(ConvertJob, OutputParametersReachTheContext)
{
    using Values = std::vector<std::pair<int, std::optional<int64_t>>>;  // nullopt: not set
    struct Case {
        const char* name;
        std::function<void(QBaseConverterInfo&)> set;
        Values expect;
    } const cases[] = {
        {"unset rate and channels become 44100 and 2", [](QBaseConverterInfo&) {},
         {{MEDIA_KEY_AUDIO_SAMPLE_RATE, 44100}, {MEDIA_KEY_AUDIO_CHANNELS, 2}, {MEDIA_KEY_FRAME_RATE_NUM, std::nullopt},
          {MEDIA_KEY_VIDEO_WIDTH, std::nullopt}, {MEDIA_KEY_VIDEO_PROFILE, std::nullopt},
          {MEDIA_KEY_VIDEO_BIT_RATE, std::nullopt}, {MEDIA_KEY_VIDEO_GOP, 0}, {MEDIA_KEY_KEEP_METADATA, 1}}},
        {"frame rate in hundredths", [](QBaseConverterInfo& i) { i.videoParam.frameRate = 2997; },
         {{MEDIA_KEY_FRAME_RATE_NUM, 2997}, {MEDIA_KEY_FRAME_RATE_DEN, 100}}},
        {"frame rate as a fraction",
         [](QBaseConverterInfo& i) {
             i.videoParam.frameRateNum = 30000;
             i.videoParam.frameRateDen = 1001;
         },
         {{MEDIA_KEY_FRAME_RATE_NUM, 30000}, {MEDIA_KEY_FRAME_RATE_DEN, 1001}}},
        {"a size needs both sides", [](QBaseConverterInfo& i) { i.videoParam.width = 160; },
         {{MEDIA_KEY_VIDEO_WIDTH, std::nullopt}, {MEDIA_KEY_VIDEO_HEIGHT, std::nullopt}}},
        {"H.265 by its code", [](QBaseConverterInfo& i) { i.videoParam.codec = 0x48323635; },
         {{MEDIA_KEY_VIDEO_CODEC, 0x48323635}, {MEDIA_KEY_VIDEO_REFS, 2}, {MEDIA_KEY_VIDEO_PROFILE, 1}}},
        {"H.264 baseline", [](QBaseConverterInfo& i) { i.videoParam.codec = AV_CODEC_ID_H264; },
         {{MEDIA_KEY_VIDEO_REFS, 2}, {MEDIA_KEY_VIDEO_PROFILE, 66}}},
        {"bit rates only when set", [](QBaseConverterInfo& i) { i.videoParam.bitRate = 500000; },
         {{MEDIA_KEY_VIDEO_BIT_RATE, 500000}, {MEDIA_KEY_AUDIO_BIT_RATE, std::nullopt}}},
        {"speed reaches picture and sound", [](QBaseConverterInfo& i) { i.audioEffect.speed = 150; },
         {{MEDIA_KEY_VIDEO_SPEED, 150}, {MEDIA_KEY_AUDIO_SPEED, 150}, {MEDIA_KEY_VOLUME, 100}, {MEDIA_KEY_PITCH, 100}}},
        {"a quarter turn swaps the crop size",
         [](QBaseConverterInfo& i) {
             i.cropSettings.mode = 2;
             i.cropSettings.rotation = 90;
             i.cropSettings.width = 100;
             i.cropSettings.height = 60;
         },
         {{MEDIA_KEY_CROP_WIDTH, 60}, {MEDIA_KEY_CROP_HEIGHT, 100}, {MEDIA_KEY_ROTATION, 90}}},
        {"a half turn keeps it",
         [](QBaseConverterInfo& i) {
             i.cropSettings.mode = 2;
             i.cropSettings.rotation = 180;
             i.cropSettings.width = 100;
             i.cropSettings.height = 60;
         },
         {{MEDIA_KEY_CROP_WIDTH, 100}, {MEDIA_KEY_CROP_HEIGHT, 60}}},
        {"padding takes the encoder's size",
         [](QBaseConverterInfo& i) {
             i.cropSettings.fill = 1;
             i.cropSettings.width = 100;
             i.cropSettings.height = 60;
             i.videoParam.width = i.videoParam.height = 160;
         },
         {{MEDIA_KEY_CROP_WIDTH, 160}, {MEDIA_KEY_CROP_HEIGHT, 160}, {MEDIA_KEY_PAD, 1}}},
        {"an inner subtitle stream",
         [](QBaseConverterInfo& i) {
             i.subtitleInfo.innerCount = 2;
             i.subtitleInfo.choice = 2;
         },
         {{MEDIA_KEY_SUBTITLE_STREAM, 1}, {MEDIA_KEY_SUBTITLE_BESIDE, std::nullopt}}},
        {"no subtitle", [](QBaseConverterInfo&) {}, {{MEDIA_KEY_SUBTITLE_STREAM, -1}}},
        {"the subtitle beside the input",
         [](QBaseConverterInfo& i) {
             i.subtitleInfo.innerCount = 2;
             i.subtitleInfo.choice = 3;
         },
         {{MEDIA_KEY_SUBTITLE_BESIDE, 1}, {MEDIA_KEY_SUBTITLE_STREAM, std::nullopt}}},
        {"subtitle offset in microseconds", [](QBaseConverterInfo& i) { i.subtitleSettings.offset = 250; },
         {{MEDIA_KEY_SUBTITLE_OFFSET, 250000}}},
        {"keep leaves everything to the copy",
         [](QBaseConverterInfo& i) { i.keep = true; },
         {{MEDIA_KEY_AUDIO_SAMPLE_RATE, std::nullopt}, {MEDIA_KEY_VIDEO_CODEC, std::nullopt}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QBaseConvertController job;
        c.set(*job.converterInfo());
        ContextPtr ctx = NewContext();
        ASSERT_TRUE(job.setOutputParamConfig(ctx.get()));
        for (const auto& [key, value] : c.expect) {
            EXPECT_EQ(mediaContextHas(ctx.get(), key), value ? 1 : 0) << "key " << key;
            if (value) {
                EXPECT_EQ(mediaContextValue(ctx.get(), key), *value) << "key " << key;
            }
        }
    }
    QBaseConvertController job;
    EXPECT_FALSE(job.setOutputParamConfig(nullptr));
}

TEST(ConvertJob, OutputTextsAndRectangles)
{
    QBaseConvertController job;
    QBaseConverterInfo& info = *job.converterInfo();
    info.audioParam.codec = AV_CODEC_ID_AAC;
    info.subtitleInfo.innerCount = 1;
    info.subtitleInfo.choice = 5;
    info.subtitleInfo.outsidePath = "/subs/film.srt";
    info.subtitleSettings.fontName = "@Noto Sans";
    info.subtitleSettings.marginX = 1500;
    info.cropSettings.fill = 1;
    info.cropSettings.encoderRect = QCropRect{0.25, 0.0, 0.5, 1.0};
    ContextPtr ctx = NewContext();
    ASSERT_TRUE(job.setOutputParamConfig(ctx.get()));
    EXPECT_STREQ(mediaContextText(ctx.get(), MEDIA_KEY_AUDIO_ENCODER), "aac");
    EXPECT_STREQ(mediaContextText(ctx.get(), MEDIA_KEY_SUBTITLE_FILE), "/subs/film.srt");
    EXPECT_STREQ(mediaContextText(ctx.get(), MEDIA_KEY_SUBTITLE_FONT), "Noto Sans");
    EXPECT_DOUBLE_EQ(mediaContextReal(ctx.get(), MEDIA_KEY_SUBTITLE_MARGIN_X), 1.5);
    EXPECT_DOUBLE_EQ(mediaContextReal(ctx.get(), MEDIA_KEY_CROP_X), 0.25);
    EXPECT_DOUBLE_EQ(mediaContextReal(ctx.get(), MEDIA_KEY_CROP_W), 0.5);
}

TEST(ConvertJob, WatermarksReachTheirOverlaySlots)
{
    QBaseConvertController job;
    QBaseConverterInfo& info = *job.converterInfo();
    auto* images = new QImageSubMediaManager;
    auto* texts = new QTextSubMediaManager;
    auto* audios = new QAudioSubMediaManager;
    info.setImageWatarmarkManager(images);
    info.setTextWatarmarkManager(texts);
    info.setAudioBgManager(audios);
    images->release();
    texts->release();
    audios->release();

    images->addMedia();
    auto* turned = static_cast<QImageWatermarkSettings*>(images->addMedia());
    turned->turned = true;
    turned->angle = 270;
    turned->alpha = 128;
    for (int i = 0; i < 3; ++i)
        texts->addMedia();
    QTextWatermarkSettings* text = texts->textWatermark(1);
    text->text = QStringLiteral("Caf\u00e9");
    text->fontName = QStringLiteral("@Serif");
    text->effects = 1;
    text->shadowX = 4;
    auto* music = static_cast<QAudioBackgroundSettings*>(audios->addMedia());
    const double bands[2] = {100.0, 5000.0};
    const double gains[2] = {1.0, -1.0};
    music->setEqInfo(2, bands, gains);
    EXPECT_EQ(images->findMedia(2), nullptr);
    EXPECT_EQ(images->findMedia(-1), nullptr);

    ContextPtr ctx = NewContext();
    ASSERT_TRUE(job.setWatarmarkerConfig(ctx.get()));
    MediaConvertContext* c = ctx.get();
    EXPECT_EQ(mediaContextOverlayCount(c), 3);
    EXPECT_EQ(mediaContextAudioCount(c), 1);

    ASSERT_EQ(mediaContextSelectOverlay(c, 1), 1);
    EXPECT_EQ(mediaContextValue(c, MEDIA_IMAGE_ANGLE), 90);
    EXPECT_EQ(mediaContextValue(c, MEDIA_IMAGE_ALPHA), 128);
    EXPECT_STREQ(mediaContextText(c, MEDIA_TEXT_WORDS), "Caf\xC3\xA9");
    EXPECT_STREQ(mediaContextText(c, MEDIA_TEXT_FONT), "Serif");
    EXPECT_EQ(mediaContextHas(c, MEDIA_TEXT_STYLE), 0);
    EXPECT_EQ(mediaContextValue(c, MEDIA_TEXT_SHADOW_X), 4);

    // The third slot holds a text watermark only, without its effects.
    ASSERT_EQ(mediaContextSelectOverlay(c, 2), 1);
    EXPECT_EQ(mediaContextHas(c, MEDIA_IMAGE_ALPHA), 0);
    EXPECT_EQ(mediaContextValue(c, MEDIA_TEXT_SIZE), 18);
    EXPECT_EQ(mediaContextHas(c, MEDIA_TEXT_SHADOW_X), 0);

    ASSERT_EQ(mediaContextSelectAudio(c, 0), 1);
    const double* gotBands = nullptr;
    const double* gotGains = nullptr;
    ASSERT_EQ(mediaContextEqualizer(c, &gotBands, &gotGains), 2u);
    EXPECT_EQ(gotBands[1], 5000.0);
    EXPECT_EQ(gotGains[1], -1.0);
    EXPECT_EQ(mediaContextValue(c, MEDIA_BGAUDIO_TRACK), -1);

    info.keep = true;
    ContextPtr kept = NewContext();
    EXPECT_TRUE(job.setWatarmarkerConfig(kept.get()));
    EXPECT_EQ(mediaContextOverlayCount(kept.get()), 0);
    EXPECT_FALSE(job.setWatarmarkerConfig(nullptr));
}

TEST(ConvertJob, ChaptersAreClippedToTheRangeAndScaledBySpeed)
{
    const std::string& input = converttest::Clips::Get().ChapterAudio();
    ASSERT_FALSE(input.empty());
    struct Chapter {
        uint64_t start, duration;
        std::string title;
        bool operator==(const Chapter& o) const { return start == o.start && duration == o.duration && title == o.title; }
    };
    struct Case {
        const char* name;
        qint64 start, length;
        int speed;
        bool keep;
        std::vector<Chapter> expect;
    } const cases[] = {
        {"a range inside one chapter", 20 * kSecond, 5 * kSecond, 100, false, {{0, 5 * kSecond, "Middle"}}},
        {"a speed of 0 keeps the times", 0, 0, 0, false,
         {{0, 10 * kSecond, "Opening"}, {10 * kSecond, 20 * kSecond, "Middle"}, {30 * kSecond, 10 * kSecond, "Chapter 3"}}},
        {"double speed halves them", 25 * kSecond, 0, 200, false,
         {{0, 2500000, "Middle"}, {2500000, 5 * kSecond, "Chapter 3"}}},
        {"a kept job ignores the speed", 5 * kSecond, 10 * kSecond, 50, true,
         {{0, 5 * kSecond, "Opening"}, {5 * kSecond, 5 * kSecond, "Middle"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QBaseConvertController job;
        QBaseConverterInfo& info = *job.converterInfo();
        info.inputPath = QString::fromStdString(input);
        info.trimTime.start = c.start;
        info.trimTime.length = c.length;
        info.audioEffect.speed = c.speed;
        info.keep = c.keep;
        ContextPtr ctx = NewContext();
        ASSERT_TRUE(job.setChapter(ctx.get()));
        std::vector<Chapter> got;
        for (int i = 0; i < mediaContextChapterCount(ctx.get()); ++i) {
            Chapter chapter;
            const char* title = nullptr;
            ASSERT_EQ(mediaContextChapter(ctx.get(), i, &chapter.start, &chapter.duration, &title), 1);
            chapter.title = title;
            got.push_back(chapter);
        }
        ASSERT_EQ(got.size(), c.expect.size());
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].start, c.expect[i].start) << i;
            EXPECT_EQ(got[i].duration, c.expect[i].duration) << i;
            EXPECT_EQ(got[i].title, c.expect[i].title) << i;
        }
    }
    QBaseConvertController job;
    job.converterInfo()->inputPath = QStringLiteral("/no/such/file.mka");
    ContextPtr ctx = NewContext();
    EXPECT_FALSE(job.setChapter(ctx.get()));
    EXPECT_EQ(mediaContextChapterCount(ctx.get()), 0);
}

TEST(ConvertJob, TagsAreWrittenIntoMp4AndMovOnly)
{
    QBaseConvertController job;
    QBaseConverterInfo& info = *job.converterInfo();
    info.outputPath = QStringLiteral("/no/such/out.mkv");
    info.outputFormat = QStringLiteral("mkv");
    info.audioTag.title = "x";
    EXPECT_FALSE(job.setAudioTag());
    info.outputFormat = QStringLiteral("mp4");
    EXPECT_FALSE(job.setAudioTag()) << "a missing output has no tags written";
}

TEST(ConvertJob, IsUTF8)
{
    const std::pair<const char*, bool> cases[] = {
        {"", true},
        {"plain ascii", true},
        {"Caf\xC3\xA9", true},
        {"\xE2\x82\xAC", true},
        {"\x80", false},
        {"\xC3", false},
        {"\xE2\x82", false},
        {"\xC3\x28", false},
        {"\xF0\x9F\x98\x80", false},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(QBaseConvertController::IsUTF8(text), expected) << '"' << text << '"';
}

TEST(ConvertTables, CodecIdsOfFourCharacterCodes)
{
    const std::pair<const char*, unsigned int> cases[] = {
        {"H264", AV_CODEC_ID_H264}, {"h264", 0},           {"H265", 0x48323635u},
        {"AAC", AV_CODEC_ID_AAC},   {"in24", AV_CODEC_ID_PCM_S24BE}, {"wma3", AV_CODEC_ID_WMAPRO},
        {"OGV", AV_CODEC_ID_THEORA}, {"Xvid", 0x44495658u}, {"vc-1", AV_CODEC_ID_VC1},
        {"", 0},
    };
    for (const auto& [code, id] : cases)
        EXPECT_EQ(ZOAVCodecAnalysisApi::codecIDOfFourcc(code), id) << code;

    const auto code = [](const char* s) {
        return (unsigned(uint8_t(s[0])) << 24) | (unsigned(uint8_t(s[1])) << 16) | (unsigned(uint8_t(s[2])) << 8) |
               unsigned(uint8_t(s[3]));
    };
    const std::pair<const char*, unsigned int> m4v[] = {
        {"avc1", AV_CODEC_ID_H264},      {"drmi", AV_CODEC_ID_H264}, {"tx3g", AV_CODEC_ID_MOV_TEXT},
        {"ulaw", AV_CODEC_ID_PCM_MULAW}, {"c608", code("c608")},     {"zzzz", code("zzzz")},
    };
    for (const auto& [fourcc, id] : m4v)
        EXPECT_EQ(ZOAVCodecAnalysisApi::M4vCodecIDOfFourcc(code(fourcc)), id) << fourcc;
}

TEST(ConvertTables, ContainersOfExtensionsCodecsAndFormatNames)
{
    struct FourCC {
        const char* extension;
        const char* code;
        const char* container;
    } const fourccs[] = {
        {"avi", "", "avi"},   {"m4a", "", "mp4"},     {"mpg", "mp1v", "mpeg"}, {"mpg", "", "vob"},
        {"WebM", "", "webm"}, {"trp", "", "mpegts"},  {"mka", "", "matroska"}, {"DivX", "", "avi"},
    };
    for (const FourCC& c : fourccs)
        EXPECT_EQ(ZOAVCodecAnalysisApi::formatOfFourCC(c.extension, c.code), c.container) << c.extension;

    struct ById {
        unsigned int id;
        const char* container;
        const char* extension;
    } const ids[] = {
        {AV_CODEC_ID_MP3, "mp3", "mp3"}, {AV_CODEC_ID_AAC, "mp4", "m4a"}, {0, "mp3", "mp3"},
    };
    for (const ById& c : ids) {
        std::string extension;
        EXPECT_EQ(ZOAVCodecAnalysisApi::formatOfCodecID(c.id, extension), c.container);
        EXPECT_EQ(extension, c.extension);
    }

    struct ByName {
        const char* name;
        const char* brand;
        const char* container;
    } const names[] = {
        {"mov,mp4,m4a,3gp,3g2,mj2", "qt  ", "mov"},  {"mov,mp4,m4a,3gp,3g2,mj2", "3gp5", "3gp"},
        {"mov,mp4,m4a,3gp,3g2,mj2", "3g2a", "3g2"},  {"mov,mp4,m4a,3gp,3g2,mj2", "f4v ", "f4v"},
        {"mov,mp4,m4a,3gp,3g2,mj2", "isom", "mp4"},  {"matroska,webm", "webm", "webm"},
        {"matroska,webm", "matroska", "matroska"},   {"matroska,webm", "", "mp4"},
        {"avi", "anything", "avi"},
    };
    for (const ByName& c : names)
        EXPECT_EQ(ZOAVCodecAnalysisApi::formatForFormatName(c.name, c.brand), c.container) << c.name << c.brand;
}

TEST(ConvertTables, FrameRatesBitDepthsAndProgress)
{
    struct Rate {
        double fps;
        unsigned int num, den;
    } const rates[] = {
        {23.976, 24000, 1001}, {25.0, 25, 1}, {29.97, 30000, 1001}, {29.99, 30, 1},
        {59.94, 60000, 1001},  {0.0, 0, 1},   {-5.0, 0, 1},
    };
    for (const Rate& r : rates) {
        unsigned int num = 7, den = 7;
        ZOAVCodecAnalysisApi::GetVideoFrameRate(r.fps, num, den);
        EXPECT_EQ(num, r.num) << r.fps;
        EXPECT_EQ(den, r.den) << r.fps;
    }
    const std::pair<int, int> depths[] = {{0, 8}, {1, 16}, {2, 32}, {3, 32}, {4, 64}, {5, 0}, {-1, 0}};
    for (const auto& [index, bits] : depths)
        EXPECT_EQ(ZOAudioRecognizer::getBitDepth(index), bits) << index;

    struct Progress {
        uint64_t done, total;
        int expected;
    } const progress[] = {{0, 0, 0}, {5, 0, 0}, {1, 2, 5000}, {3, 2, 10000}, {999, 1000, 9990}};
    for (const Progress& p : progress)
        EXPECT_EQ(QZOConverter::progressOf(p.done, p.total), p.expected) << p.done << "/" << p.total;
}

TEST(ConvertGeometry, RelativeAndPixelPositions)
{
    double a = 9, b = 9;
    QMediaGeometryInterface::convertToSource(0.0, 0.0, 0.2, 0.4, 100, 100, a, b);
    EXPECT_DOUBLE_EQ(a, 0.4);
    EXPECT_DOUBLE_EQ(b, 0.3);
    QMediaGeometryInterface::convertToRelative(0.4, 0.3, 0.2, 0.4, 100, 100, a, b);
    EXPECT_NEAR(a, 0.0, 1e-12);
    EXPECT_NEAR(b, 0.0, 1e-12);
    QMediaGeometryInterface::convertToSource(0.1, 0.1, 0.2, 0.2, 0, 100, a, b);
    EXPECT_EQ(a, 0.0);
    EXPECT_EQ(b, 0.0);

    struct Pixels {
        double rx, ry, scale;
        int W, H, px, py;
    } const pixels[] = {
        {0.5, 0.25, 2.0, 100, 80, 100, 40}, {0.5, 0.25, 0.0, 100, 80, 50, 20},
        {0.333, 0.5, 1.0, 100, 80, 33, 40}, {0.5, 0.5, 1.0, 0, 80, 0, 0},
    };
    for (const Pixels& p : pixels) {
        int px = -1, py = -1;
        QMediaGeometryInterface::getResolutionSourcePos(p.rx, p.ry, p.scale, p.W, p.H, px, py);
        EXPECT_EQ(px, p.px) << p.rx << "," << p.ry << " x" << p.scale;
        EXPECT_EQ(py, p.py) << p.rx << "," << p.ry << " x" << p.scale;
    }
    QMediaGeometryInterface::getResolutionRelativePos(50, 20, 0.0, 100, 80, a, b);
    EXPECT_DOUBLE_EQ(a, 0.5);
    EXPECT_DOUBLE_EQ(b, 0.25);
    QMediaGeometryInterface::getResolutionRelativePos(50, 20, 2.0, 100, 80, a, b);
    EXPECT_DOUBLE_EQ(a, 0.25);
    EXPECT_DOUBLE_EQ(b, 0.125);
}

TEST(ConvertGeometry, MediaScales)
{
    struct Scale {
        double a, b;
        int w0, h0, w1, h1;
        double scale, base;
    } const scales[] = {
        {0.5, 0.25, 200, 100, 400, 300, 100.0, 200.0},
        {0.25, 0.5, 100, 100, 300, 300, 150.0, 100.0},
        {0.0, 0.5, 100, 100, 300, 300, 0.0, 0.0},
        {0.5, 0.5, 100, 100, 0, 300, 0.0, 0.0},
        {0.5, 0.0, 100, 100, 300, 300, 0.0, 0.0},
    };
    for (const Scale& s : scales) {
        const QPair<double, double> got = QMediaGeometryInterface::getMediaScale(s.a, s.b, s.w0, s.h0, s.w1, s.h1);
        EXPECT_DOUBLE_EQ(got.first, s.scale) << s.a << "x" << s.b;
        EXPECT_DOUBLE_EQ(got.second, s.base) << s.a << "x" << s.b;
    }

    struct Change {
        double a, b, s0, s1;
        int W, H;
        bool ok;
        double oa, ob;
    } const changes[] = {
        {0.2, 0.3, 1.0, 2.0, 100, 100, true, 0.4, 0.6},   {0.2, 0.3, 0.0, 0.5, 100, 100, true, 0.1, 0.15},
        {0.0, 0.3, 1.0, 2.0, 100, 100, true, 0.0, 0.3},   {0.2, 0.0, 1.0, 2.0, 100, 100, false, 0.2, 0.0},
        {0.2, 0.0, 1.0, 2.0, 0, 0, true, 0.2, 0.0},       {0.2, 0.3, 1.0, 2.0, 0, 100, false, 0.2, 0.3},
    };
    for (const Change& c : changes) {
        double oa = -1, ob = -1;
        EXPECT_EQ(QMediaGeometryInterface::changeMediaScale(c.a, c.b, c.s0, c.s1, c.W, c.H, oa, ob), c.ok) << c.a;
        EXPECT_NEAR(oa, c.oa, 1e-12) << c.a;
        EXPECT_NEAR(ob, c.ob, 1e-12) << c.a;
    }
}
