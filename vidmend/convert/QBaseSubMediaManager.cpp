#include "QBaseSubMediaManager.h"

#include <QImage>

#include "MediaConvert.h"

using namespace ZO_MEDIA_COM;

namespace {

MediaConvertContext* Context(void* handle)
{
    return static_cast<MediaConvertContext*>(handle);
}

// Opens the file as a stream and hands it over; the context keeps its own copy.
void HandFile(const QString& path, int (*hand)(MediaConvertContext*, MediaStream*), MediaConvertContext* context)
{
    if (path.isEmpty())
        return;
    MediaStream* stream = mediaOpenStream(path.toUtf8().constData(), MEDIA_STREAM_READ);
    if (!stream)
        return;
    hand(context, stream);
    mediaReleaseStream(stream);
}

}  // namespace

QBaseSubMediaManager::~QBaseSubMediaManager()
{
    releaseSetting();
}

void QBaseSubMediaManager::releaseSetting()
{
    qDeleteAll(m_settings);
    m_settings.clear();
}

void QBaseSubMediaManager::clearMedia()
{
    releaseSetting();
}

QSubMediaSetting* QBaseSubMediaManager::addMedia()
{
    return nullptr;
}

QSubMediaSetting* QBaseSubMediaManager::findMedia(int index)
{
    if (index < 0 || index >= m_settings.size())
        return nullptr;
    return m_settings.at(index);
}

int QBaseSubMediaManager::mediaCount()
{
    return m_settings.size();
}

void QBaseSubMediaManager::refreshMediaConfig(void*, QSubMediaSetting*) {}

void QBaseSubMediaManager::addSubMedia(QSubMediaSetting* setting)
{
    if (setting)
        m_settings.append(setting);
}

// ---------------------------------------------------------------------------

QSubMediaSetting* QImageSubMediaManager::addMedia()
{
    auto* setting = new QImageWatermarkSettings(SubMediaImage);
    addSubMedia(setting);
    return setting;
}

QImageWatermarkSettings* QImageSubMediaManager::imageWatermark(int index)
{
    return dynamic_cast<QImageWatermarkSettings*>(findMedia(index));
}

void QImageSubMediaManager::refreshMediaConfig(void* handle, QSubMediaSetting* setting)
{
    auto* s = dynamic_cast<QImageWatermarkSettings*>(setting);
    MediaConvertContext* ctx = Context(handle);
    if (!s || !ctx)
        return;
    if (!s->sourceStream && !s->sourceImage) {
        HandFile(s->imagePath, mediaContextSetOverlayStream, ctx);
    } else if (s->sourceStream) {
        mediaContextSetOverlayStream(ctx, reinterpret_cast<MediaStream*>(s->sourceStream));
    } else {
        const QImage argb = reinterpret_cast<const QImage*>(s->sourceImage)->convertToFormat(QImage::Format_ARGB32);
        // ARGB32 words lie in memory as B, G, R, A on a little-endian host.
        if (!argb.isNull())
            mediaContextSetOverlayPixels(ctx, argb.constBits(), argb.width(), argb.height(), argb.bytesPerLine());
    }
    mediaContextSetText(ctx, MEDIA_IMAGE_NAME, s->imageName.toUtf8().constData());
    mediaContextSetValue(ctx, MEDIA_IMAGE_ALPHA, s->alpha);
    mediaContextSetReal(ctx, MEDIA_IMAGE_SCALE_X, s->scaleX);
    mediaContextSetReal(ctx, MEDIA_IMAGE_SCALE_Y, s->scaleY);
    mediaContextSetValue(ctx, MEDIA_IMAGE_BOX_WIDTH, s->boxWidth);
    mediaContextSetValue(ctx, MEDIA_IMAGE_BOX_HEIGHT, s->boxHeight);
    mediaContextSetValue(ctx, MEDIA_IMAGE_ZOOM, s->zoom);
    mediaContextSetValue(ctx, MEDIA_IMAGE_VISIBLE, s->visible ? 1 : 0);
    mediaContextSetValue(ctx, MEDIA_IMAGE_ALIGNMENT, s->alignment);
    mediaContextSetReal(ctx, MEDIA_IMAGE_RATIO_X, s->ratioX);
    mediaContextSetReal(ctx, MEDIA_IMAGE_RATIO_Y, s->ratioY);
    mediaContextSetValue(ctx, MEDIA_IMAGE_START, s->startTime);
    mediaContextSetValue(ctx, MEDIA_IMAGE_END, s->endTime);
    mediaContextSetValue(ctx, MEDIA_IMAGE_REPEAT, s->repeat);
    mediaContextSetReal(ctx, MEDIA_IMAGE_X, s->x);
    mediaContextSetReal(ctx, MEDIA_IMAGE_Y, s->y);
    mediaContextSetReal(ctx, MEDIA_IMAGE_WIDTH, s->width);
    mediaContextSetReal(ctx, MEDIA_IMAGE_HEIGHT, s->height);
    mediaContextSetValue(ctx, MEDIA_IMAGE_BLEND, s->blend);
    mediaContextSetValue(ctx, MEDIA_IMAGE_ANGLE, s->turned ? (s->angle + 180) % 360 : s->angle);
}

// ---------------------------------------------------------------------------

QSubMediaSetting* QTextSubMediaManager::addMedia()
{
    auto* setting = new QTextWatermarkSettings(SubMediaText);
    addSubMedia(setting);
    return setting;
}

QTextWatermarkSettings* QTextSubMediaManager::textWatermark(int index)
{
    return dynamic_cast<QTextWatermarkSettings*>(findMedia(index));
}

void QTextSubMediaManager::refreshMediaConfig(void* handle, QSubMediaSetting* setting)
{
    auto* s = dynamic_cast<QTextWatermarkSettings*>(setting);
    MediaConvertContext* ctx = Context(handle);
    if (!s || !ctx)
        return;
    mediaContextSetText(ctx, MEDIA_TEXT_WORDS, s->text.toUtf8().constData());
    mediaContextSetValue(ctx, MEDIA_TEXT_ALPHA, s->alpha);
    mediaContextSetReal(ctx, MEDIA_TEXT_SCALE_X, s->scaleX);
    mediaContextSetReal(ctx, MEDIA_TEXT_SCALE_Y, s->scaleY);
    mediaContextSetValue(ctx, MEDIA_TEXT_LINES, s->lines);
    mediaContextSetText(ctx, MEDIA_TEXT_FONT, withoutAtSign(s->fontName.toStdString()).c_str());
    if (!s->styleName.isEmpty())
        mediaContextSetText(ctx, MEDIA_TEXT_STYLE, s->styleName.toUtf8().constData());
    mediaContextSetValue(ctx, MEDIA_TEXT_SIZE, s->fontSize);
    mediaContextSetValue(ctx, MEDIA_TEXT_ALIGNMENT, s->alignment);
    mediaContextSetValue(ctx, MEDIA_TEXT_COLOUR, s->colour);
    mediaContextSetValue(ctx, MEDIA_TEXT_OUTLINE_COLOUR, s->outlineColour);
    mediaContextSetValue(ctx, MEDIA_TEXT_BACK_COLOUR, s->backColour);
    mediaContextSetReal(ctx, MEDIA_TEXT_X, s->x);
    mediaContextSetReal(ctx, MEDIA_TEXT_Y, s->y);
    mediaContextSetValue(ctx, MEDIA_TEXT_START, s->startTime);
    mediaContextSetValue(ctx, MEDIA_TEXT_END, s->endTime);
    mediaContextSetValue(ctx, MEDIA_TEXT_ANGLE, s->angle);
    if (s->effects) {
        mediaContextSetValue(ctx, MEDIA_TEXT_OUTLINE_WIDTH, s->outlineWidth);
        mediaContextSetValue(ctx, MEDIA_TEXT_SHADOW_X, s->shadowX);
        mediaContextSetValue(ctx, MEDIA_TEXT_SHADOW_Y, s->shadowY);
        mediaContextSetValue(ctx, MEDIA_TEXT_SHADOW_BLUR, s->shadowBlur);
    }
}

// ---------------------------------------------------------------------------

QSubMediaSetting* QAudioSubMediaManager::addMedia()
{
    auto* setting = new QAudioBackgroundSettings(SubMediaAudio);
    addSubMedia(setting);
    return setting;
}

QAudioBackgroundSettings* QAudioSubMediaManager::audioBackgroundWatermark(int index)
{
    return dynamic_cast<QAudioBackgroundSettings*>(findMedia(index));
}

void QAudioSubMediaManager::refreshMediaConfig(void* handle, QSubMediaSetting* setting)
{
    auto* s = dynamic_cast<QAudioBackgroundSettings*>(setting);
    MediaConvertContext* ctx = Context(handle);
    if (!s || !ctx)
        return;
    if (s->sourceStream)
        mediaContextSetAudioStream(ctx, reinterpret_cast<MediaStream*>(s->sourceStream));
    else
        HandFile(s->audioPath, mediaContextSetAudioStream, ctx);
    mediaContextSetValue(ctx, MEDIA_BGAUDIO_OFFSET, s->offset);
    mediaContextSetValue(ctx, MEDIA_BGAUDIO_VOLUME, s->volume);
    mediaContextSetValue(ctx, MEDIA_BGAUDIO_FADE, s->fade);
    mediaContextSetValue(ctx, MEDIA_BGAUDIO_LOOP, s->loop);
    mediaContextSetEqualizer(ctx, s->eqCount(), s->eqBands(), s->eqGains());
    mediaContextSetValue(ctx, MEDIA_BGAUDIO_SPEED, s->speed);
    mediaContextSetValue(ctx, MEDIA_BGAUDIO_TRACK, s->track);
    mediaContextSetValue(ctx, MEDIA_BGAUDIO_MIX, s->mix);
    mediaContextSetValue(ctx, MEDIA_BGAUDIO_BALANCE, s->balance);
    mediaContextSetValue(ctx, MEDIA_BGAUDIO_START, s->startTime);
    mediaContextSetValue(ctx, MEDIA_BGAUDIO_LENGTH, s->length);
}
