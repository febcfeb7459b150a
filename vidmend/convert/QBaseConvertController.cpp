#include "QBaseConvertController.h"

#include <QVector>

#include <algorithm>
#include <cstdint>
#include <limits>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "MediaConvert.h"

using namespace ZO_MEDIA_COM;

namespace {

// 'H','2','6','5' read as a 32-bit value.
constexpr uint32_t kCodecH265 = 0x48323635u;
constexpr int kNormalSpeed = 100;

MediaConvertContext* Context(void* handle)
{
    return static_cast<MediaConvertContext*>(handle);
}

// UTF-32 in host order with its terminating zero.
QVector<uint> Utf32(const std::string& text)
{
    QVector<uint> out = QString::fromStdString(text).toUcs4();
    out.append(0);
    return out;
}

// t * 100 / speed without overflowing for any time.
uint64_t AtSpeed(uint64_t t, int speed)
{
    const uint64_t s = uint64_t(speed);
    const uint64_t whole = t / s;
    if (whole > std::numeric_limits<uint64_t>::max() / 200)
        return std::numeric_limits<uint64_t>::max() / 2;
    return whole * kNormalSpeed + (t % s) * kNormalSpeed / s;
}

}  // namespace

// ---------------------------------------------------------------------------
// QBaseConverterInfo

QBaseConverterInfo::QBaseConverterInfo(const QBaseConverterInfo& other)
{
    *this = other;
}

QBaseConverterInfo& QBaseConverterInfo::operator=(const QBaseConverterInfo& other)
{
    if (this == &other)
        return *this;
    inputPath = other.inputPath;
    outputPath = other.outputPath;
    outputFormat = other.outputFormat;
    keep = other.keep;
    innerSubtitle = other.innerSubtitle;
    fileSize = other.fileSize;
    mediaType = other.mediaType;
    videoParam = other.videoParam;
    audioParam = other.audioParam;
    cropSettings = other.cropSettings;
    audioTag = other.audioTag;
    subtitleInfo = other.subtitleInfo;
    subtitleSettings = other.subtitleSettings;
    trimTime = other.trimTime;
    audioEffect = other.audioEffect;
    videoEffect = other.videoEffect;
    setImageWatarmarkManager(other.m_imageManager);
    setTextWatarmarkManager(other.m_textManager);
    setAudioBgManager(other.m_audioManager);
    return *this;
}

QBaseConverterInfo::~QBaseConverterInfo()
{
    share<QImageSubMediaManager>(m_imageManager, nullptr);
    share<QTextSubMediaManager>(m_textManager, nullptr);
    share<QAudioSubMediaManager>(m_audioManager, nullptr);
}

template <typename Manager>
void QBaseConverterInfo::share(Manager*& slot, Manager* manager)
{
    if (slot == manager)
        return;
    // The new reference is taken first: the old and new may be one chain.
    if (manager)
        manager->addRef();
    if (slot)
        slot->release();
    slot = manager;
}

void QBaseConverterInfo::setImageWatarmarkManager(QImageSubMediaManager* manager)
{
    share(m_imageManager, manager);
}

void QBaseConverterInfo::setTextWatarmarkManager(QTextSubMediaManager* manager)
{
    share(m_textManager, manager);
}

void QBaseConverterInfo::setAudioBgManager(QAudioSubMediaManager* manager)
{
    share(m_audioManager, manager);
}

QImageSubMediaManager* QBaseConverterInfo::imageWatarmarkManager()
{
    return m_imageManager;
}

QTextSubMediaManager* QBaseConverterInfo::textWatarmarkManager()
{
    return m_textManager;
}

QAudioSubMediaManager* QBaseConverterInfo::audioBgManager()
{
    return m_audioManager;
}

// ---------------------------------------------------------------------------
// QBaseConvertController

QBaseConvertController::QBaseConvertController() : m_info(new QBaseConverterInfo) {}

QBaseConvertController::~QBaseConvertController()
{
    if (!m_borrowed)
        delete m_info;
}

void QBaseConvertController::setConverterInfo(QBaseConverterInfo* info)
{
    if (info == m_info)
        return;
    if (!m_borrowed)
        delete m_info;
    m_borrowed = true;
    m_info = info;
}

QBaseConverterInfo* QBaseConvertController::converterInfo()
{
    return m_info;
}

bool QBaseConvertController::setVideoEffect(void*)
{
    return true;
}

bool QBaseConvertController::setAudioEffect(void*)
{
    return true;
}

bool QBaseConvertController::setOutputParamConfig(void* handle)
{
    MediaConvertContext* ctx = Context(handle);
    if (!ctx || !m_info)
        return false;
    if (m_info->keep)
        return true;
    const QVideoEncParam& v = m_info->videoParam;
    const QAudioEncParam& a = m_info->audioParam;

    mediaContextSetValue(ctx, MEDIA_KEY_VIDEO_CODEC, uint32_t(v.codec));
    mediaContextSetValue(ctx, MEDIA_KEY_AUDIO_CODEC, a.codec);
    const bool h265 = uint32_t(v.codec) == kCodecH265;
    if (h265 || v.codec == AV_CODEC_ID_H264) {
        mediaContextSetValue(ctx, MEDIA_KEY_VIDEO_REFS, 2);
        mediaContextSetValue(ctx, MEDIA_KEY_VIDEO_PROFILE, h265 ? FF_PROFILE_HEVC_MAIN : FF_PROFILE_H264_BASELINE);
    }
    if (a.codec == AV_CODEC_ID_AAC)
        mediaContextSetText(ctx, MEDIA_KEY_AUDIO_ENCODER, "aac");

    if (v.width && v.height) {
        mediaContextSetValue(ctx, MEDIA_KEY_VIDEO_WIDTH, v.width);
        mediaContextSetValue(ctx, MEDIA_KEY_VIDEO_HEIGHT, v.height);
    }
    if (v.frameRate) {
        mediaContextSetValue(ctx, MEDIA_KEY_FRAME_RATE_NUM, v.frameRate);
        mediaContextSetValue(ctx, MEDIA_KEY_FRAME_RATE_DEN, 100);
    } else if (v.frameRateNum) {
        mediaContextSetValue(ctx, MEDIA_KEY_FRAME_RATE_NUM, v.frameRateNum);
        mediaContextSetValue(ctx, MEDIA_KEY_FRAME_RATE_DEN, v.frameRateDen);
    }

    if (v.bitRate)
        mediaContextSetValue(ctx, MEDIA_KEY_VIDEO_BIT_RATE, v.bitRate);
    mediaContextSetValue(ctx, MEDIA_KEY_AUDIO_CHANNELS, a.channels ? a.channels : 2);
    mediaContextSetValue(ctx, MEDIA_KEY_AUDIO_SAMPLE_RATE, a.sampleRate ? a.sampleRate : 44100);
    if (a.bitRate)
        mediaContextSetValue(ctx, MEDIA_KEY_AUDIO_BIT_RATE, a.bitRate);
    mediaContextSetValue(ctx, MEDIA_KEY_VIDEO_GOP, v.gopSize);
    mediaContextSetValue(ctx, MEDIA_KEY_AUDIO_QUALITY, a.quality);
    const QAudioEffectSetting& effect = m_info->audioEffect;
    mediaContextSetValue(ctx, MEDIA_KEY_VOLUME, effect.volume);
    mediaContextSetValue(ctx, MEDIA_KEY_VIDEO_SPEED, effect.speed);
    mediaContextSetValue(ctx, MEDIA_KEY_AUDIO_SPEED, effect.speed);
    mediaContextSetValue(ctx, MEDIA_KEY_PITCH, effect.pitch);
    mediaContextSetValue(ctx, MEDIA_KEY_KEEP_METADATA, 1);

    passCrop(handle);

    const QVideoEffectSettings& ve = m_info->videoEffect;
    mediaContextSetValue(ctx, MEDIA_KEY_CONTRAST, ve.contrast);
    mediaContextSetValue(ctx, MEDIA_KEY_BRIGHTNESS, ve.brightness);
    mediaContextSetValue(ctx, MEDIA_KEY_SATURATION, ve.saturation);
    mediaContextSetValue(ctx, MEDIA_KEY_GAMMA, ve.gamma);
    mediaContextSetValue(ctx, MEDIA_KEY_HUE, ve.hue);
    passSubtitles(handle);
    return true;
}

void QBaseConvertController::passCrop(void* handle) const
{
    MediaConvertContext* ctx = Context(handle);
    const QCropSettings& c = m_info->cropSettings;
    int width = c.width;
    int height = c.height;
    QCropRect rect = c.rect;
    if (c.usesEncoderRect()) {
        width = m_info->videoParam.width;
        height = m_info->videoParam.height;
        rect = c.encoderRect;
    } else if (c.mode == 2 && c.rotation % 180 != 0) {
        std::swap(width, height);
    }
    mediaContextSetValue(ctx, MEDIA_KEY_CROP_WIDTH, width);
    mediaContextSetValue(ctx, MEDIA_KEY_CROP_HEIGHT, height);
    mediaContextSetValue(ctx, MEDIA_KEY_ROTATION, c.rotation);
    mediaContextSetValue(ctx, MEDIA_KEY_FLIP, c.flip);
    mediaContextSetValue(ctx, MEDIA_KEY_PAD_COLOUR, c.colour);
    mediaContextSetValue(ctx, MEDIA_KEY_PAD, c.fill);
    mediaContextSetReal(ctx, MEDIA_KEY_CROP_X, rect.x);
    mediaContextSetReal(ctx, MEDIA_KEY_CROP_Y, rect.y);
    mediaContextSetReal(ctx, MEDIA_KEY_CROP_W, rect.width);
    mediaContextSetReal(ctx, MEDIA_KEY_CROP_H, rect.height);
}

void QBaseConvertController::passSubtitles(void* handle) const
{
    MediaConvertContext* ctx = Context(handle);
    const QSubtitleValueInfo& info = m_info->subtitleInfo;
    mediaContextSetValue(ctx, MEDIA_KEY_SUBTITLE_DELAY, info.delay);
    mediaContextSetValue(ctx, MEDIA_KEY_SUBTITLE_ENCODING, info.encoding);
    if (info.choice <= info.innerCount)
        mediaContextSetValue(ctx, MEDIA_KEY_SUBTITLE_STREAM, info.choice - 1);
    else if (info.choice == info.innerCount + 1)
        mediaContextSetValue(ctx, MEDIA_KEY_SUBTITLE_BESIDE, 1);
    else
        mediaContextSetText(ctx, MEDIA_KEY_SUBTITLE_FILE, info.outsidePath.c_str());

    const QSubtitleSettings& s = m_info->subtitleSettings;
    mediaContextSetValue(ctx, MEDIA_KEY_SUBTITLE_STYLE, s.style);
    mediaContextSetValue(ctx, MEDIA_KEY_SUBTITLE_SCALE_X, s.scaleX);
    mediaContextSetValue(ctx, MEDIA_KEY_SUBTITLE_SCALE_Y, s.scaleY);
    mediaContextSetValue(ctx, MEDIA_KEY_SUBTITLE_OFFSET, int64_t(s.offset) * 1000);
    mediaContextSetText(ctx, MEDIA_KEY_SUBTITLE_FONT, withoutAtSign(s.fontName).c_str());
    mediaContextSetValue(ctx, MEDIA_KEY_SUBTITLE_COLOUR, s.colour);
    mediaContextSetValue(ctx, MEDIA_KEY_SUBTITLE_OUTLINE_COLOUR, s.outlineColour);
    mediaContextSetValue(ctx, MEDIA_KEY_SUBTITLE_BOLD, s.bold);
    mediaContextSetValue(ctx, MEDIA_KEY_SUBTITLE_ITALIC, s.italic);
    mediaContextSetValue(ctx, MEDIA_KEY_SUBTITLE_FONT_SIZE, s.fontSize);
    mediaContextSetValue(ctx, MEDIA_KEY_SUBTITLE_UNDERLINE, s.underline);
    mediaContextSetValue(ctx, MEDIA_KEY_SUBTITLE_OUTLINE, s.outline);
    mediaContextSetValue(ctx, MEDIA_KEY_SUBTITLE_SHADOW, s.shadow);
    mediaContextSetReal(ctx, MEDIA_KEY_SUBTITLE_MARGIN_X, s.marginX / 1000.0);
    mediaContextSetReal(ctx, MEDIA_KEY_SUBTITLE_MARGIN_Y, s.marginY / 1000.0);
}

bool QBaseConvertController::setWatarmarkerConfig(void* handle)
{
    MediaConvertContext* ctx = Context(handle);
    if (!ctx || !m_info)
        return false;
    if (m_info->keep)
        return true;
    QImageSubMediaManager* images = m_info->imageWatarmarkManager();
    QTextSubMediaManager* texts = m_info->textWatarmarkManager();
    QAudioSubMediaManager* audios = m_info->audioBgManager();
    const int imageCount = images ? std::max(0, images->mediaCount()) : 0;
    const int textCount = texts ? std::max(0, texts->mediaCount()) : 0;
    const int audioCount = audios ? std::max(0, audios->mediaCount()) : 0;
    mediaContextSetOverlayCount(ctx, std::max(imageCount, textCount));
    mediaContextSetAudioCount(ctx, audioCount);
    for (int i = 0; i < imageCount; ++i) {
        mediaContextSelectOverlay(ctx, i);
        images->refreshMediaConfig(handle, images->findMedia(i));
    }
    for (int i = 0; i < textCount; ++i) {
        mediaContextSelectOverlay(ctx, i);
        texts->refreshMediaConfig(handle, texts->findMedia(i));
    }
    for (int i = 0; i < audioCount; ++i) {
        mediaContextSelectAudio(ctx, i);
        audios->refreshMediaConfig(handle, audios->findMedia(i));
    }
    return true;
}

bool QBaseConvertController::setChapter(void* handle)
{
    MediaConvertContext* ctx = Context(handle);
    if (!ctx || !m_info)
        return false;
    MediaDetail* detail = mediaCreateDetail(-1);
    const QByteArray path = m_info->inputPath.toUtf8();
    const int opened = m_info->innerSubtitle
                           ? mediaOpenDetailWithSubtitle(detail, path.constData(), m_info->subtitleInfo.delay)
                           : mediaOpenDetail(detail, path.constData());
    if (!opened) {
        mediaReleaseDetail(detail);
        return false;
    }
    const uint64_t from = uint64_t(std::max<qint64>(0, m_info->trimTime.start));
    const uint64_t length = uint64_t(std::max<qint64>(0, m_info->trimTime.length));
    const uint64_t to = length && length <= UINT64_MAX - from ? from + length : UINT64_MAX;
    int speed = m_info->keep ? kNormalSpeed : m_info->audioEffect.speed;
    // A speed of 0 (or less) has no meaning; chapters keep their times.
    if (speed <= 0)
        speed = kNormalSpeed;
    const int count = mediaDetailChapterCount(detail);
    for (int i = 0; i < count; ++i) {
        const uint64_t start = mediaDetailChapterStart(detail, i);
        const uint64_t duration = mediaDetailChapterDuration(detail, i);
        const uint64_t end = duration <= UINT64_MAX - start ? start + duration : UINT64_MAX;
        const uint64_t keptStart = std::max(start, from);
        const uint64_t keptEnd = std::min(end, to);
        if (keptEnd <= keptStart)
            continue;
        // Some containers store an untitled chapter with an empty title.
        const char* title = mediaDetailChapterTitle(detail, i);
        const QByteArray name =
            title && *title ? QByteArray(title) : QStringLiteral("Chapter %1").arg(i + 1).toUtf8();
        mediaContextAddChapter(ctx, AtSpeed(keptStart - from, speed), AtSpeed(keptEnd - keptStart, speed),
                               name.constData());
    }
    mediaReleaseDetail(detail);
    return true;
}

bool QBaseConvertController::setAudioTag()
{
    if (!m_info)
        return false;
    const QString format = m_info->outputFormat.toLower();
    if (format != QLatin1String("mp4") && format != QLatin1String("mov"))
        return false;
    MediaTagWriter* writer = mediaCreateTagWriter(-1);
    const QVector<uint> path = Utf32(m_info->outputPath.toStdString());
    if (!mediaOpenTagWriter(writer, path.constData())) {
        mediaReleaseTagWriter(writer);
        return false;
    }
    const QAudioTagSetting& tag = m_info->audioTag;
    const std::pair<int, const std::string*> entries[] = {
        {MEDIA_TAG_TITLE, &tag.title},           {MEDIA_TAG_ARTIST, &tag.artist},
        {MEDIA_TAG_ALBUM_ARTIST, &tag.albumArtist}, {MEDIA_TAG_COMPOSER, &tag.composer},
        {MEDIA_TAG_ALBUM, &tag.album},           {MEDIA_TAG_GENRE, &tag.genre},
        {MEDIA_TAG_TRACK, &tag.track},           {MEDIA_TAG_YEAR, &tag.year},
        {MEDIA_TAG_GROUPING, &tag.grouping},     {MEDIA_TAG_COMMENT, &tag.comment},
        {MEDIA_TAG_DISC, &tag.disc},             {MEDIA_TAG_LYRICS, &tag.lyrics},
    };
    for (const auto& entry : entries) {
        const QVector<uint> text = Utf32(*entry.second);
        mediaSetTagText(writer, entry.first, text.constData(), uint32_t(text.size() - 1) * 4);
    }
    const QVector<uint> empty = Utf32(std::string());
    mediaSetTagText(writer, MEDIA_TAG_COPYRIGHT, empty.constData(), 0);
    if (tag.coverData && tag.coverSize > 0) {
        mediaSetTagCover(writer, tag.coverData, uint32_t(tag.coverSize));
    } else if (!tag.coverPath.empty()) {
        const QVector<uint> cover = Utf32(tag.coverPath);
        mediaSetTagCoverPath(writer, cover.constData(), uint32_t(cover.size() - 1) * 4);
    }
    const bool written = mediaFinishTagWriter(writer) == 1;
    mediaReleaseTagWriter(writer);
    return written;
}

bool QBaseConvertController::IsUTF8(const char* text)
{
    if (!text)
        return false;
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (*p) {
        int follow;
        if (*p < 0x80)
            follow = 0;
        else if ((*p & 0xE0) == 0xC0)
            follow = 1;
        else if ((*p & 0xF0) == 0xE0)
            follow = 2;
        else
            return false;
        ++p;
        for (int i = 0; i < follow; ++i, ++p) {
            if ((*p & 0xC0) != 0x80)
                return false;  // also the terminating zero: a sequence cut by the end
        }
    }
    return true;
}
