#include "ZOAudioRecognizer.h"

#include "MediaConvert.h"

ZORecognizerAudioFormat ZORecognizerAudioFormat::make(int sampleFormat, int channels, int sampleRate, quint32 extra)
{
    ZORecognizerAudioFormat f;
    f.format = quint64(uint32_t(sampleFormat)) | (quint64(uint32_t(channels)) << 32);
    f.rate = quint64(uint32_t(sampleRate)) | (quint64(extra) << 32);
    return f;
}

ZOAudioRecognizer::ZOAudioRecognizer(QObject* parent) : QObject(parent), m_recognizer(mediaCreateRecognizer(-1)) {}

ZOAudioRecognizer::~ZOAudioRecognizer()
{
    ReleaseAudioRecognizer();
    mediaReleaseRecognizer(m_recognizer);
}

int ZOAudioRecognizer::getBitDepth(int sampleFormat)
{
    switch (sampleFormat) {
    case 0: return 8;
    case 1: return 16;
    case 2: return 32;
    case 3: return 32;
    case 4: return 64;
    default: return 0;
    }
}

void ZOAudioRecognizer::ReleaseAudioRecognizer()
{
    if (m_recognizer) {
        mediaStopRecognizer(m_recognizer);
        mediaResetRecognizer(m_recognizer);
    }
    mediaReleaseAudioFormat(m_format);
    m_format = nullptr;
    m_tagInfo.clear();
    m_created = m_finished = m_full = false;
}

int ZOAudioRecognizer::startWith(MediaAudioFormat* format)
{
    m_format = format;
    const int started = mediaStartRecognizer(m_recognizer, m_format);
    if (!started)
        return 0;
    m_created = mediaRecognizerReady(m_recognizer) == 1;
    return started;
}

int ZOAudioRecognizer::CreateAudioRecognizer(ZORecognizerAudioFormat format)
{
    ReleaseAudioRecognizer();
    m_audioFormat = format;
    MediaAudioFormat* f = mediaCreateAudioFormat(2);
    mediaAudioFormatSetCode(f, MEDIA_FOURCC('A', 'F', 'R', 'M'));
    mediaAudioFormatSetChannels(f, format.channels());
    mediaAudioFormatSetSampleRate(f, format.sampleRate());
    mediaAudioFormatSetSampleFormat(f, format.sampleFormat());
    mediaAudioFormatSetBitDepth(f, getBitDepth(format.sampleFormat()));
    if (format.extra())
        mediaAudioFormatSetExtra(f, format.extra());
    return startWith(f);
}

int ZOAudioRecognizer::CreateAudioRecognizer(void* format)
{
    ReleaseAudioRecognizer();
    return startWith(mediaWrapAudioFormat(format));
}

bool ZOAudioRecognizer::CreateAudioRecognizerFromFilepath(QString path)
{
    ReleaseAudioRecognizer();
    if (!mediaSetRecognizerPath(m_recognizer, path.toUtf8().constData()))
        return false;
    mediaRunRecognizer(m_recognizer);
    m_created = mediaRecognizerReady(m_recognizer) == 1;
    return true;
}

void ZOAudioRecognizer::RecognizerAudioFrane(void* frame)
{
    if (!frame || !m_created || m_finished)
        return;
    const int64_t buffered = mediaAudioFormatBufferSize(m_format);
    if (buffered >= kBufferLimit)
        m_full = true;
    if (!mediaRecognizerCompleted(m_recognizer) && buffered < kBufferLimit && !m_full &&
        mediaAudioFormatAppend(m_format, frame))
        return;
    m_finished = true;
}

void ZOAudioRecognizer::StopRecognizer()
{
    mediaStopRecognizer(m_recognizer);
}

bool ZOAudioRecognizer::GetRecognizerCompleted()
{
    return mediaRecognizerCompleted(m_recognizer) == 1;
}

ZOAudioTagInfo ZOAudioRecognizer::GetAudioTagInfo()
{
    m_tagInfo.clear();
    const std::pair<const char*, std::string*> keys[] = {
        {"title", &m_tagInfo.title},       {"artist", &m_tagInfo.artist},
        {"album", &m_tagInfo.album},       {"album_artist", &m_tagInfo.albumArtist},
        {"comment", &m_tagInfo.comment},   {"composer", &m_tagInfo.composer},
        {"copyright", &m_tagInfo.copyright}, {"date", &m_tagInfo.date},
        {"disc", &m_tagInfo.disc},         {"dvd_clip", &m_tagInfo.dvdClip},
        {"dvd_size", &m_tagInfo.dvdSize},  {"genre", &m_tagInfo.genre},
        {"grouping", &m_tagInfo.grouping}, {"lyrics", &m_tagInfo.lyrics},
        {"track", &m_tagInfo.track},       {"year", &m_tagInfo.year},
    };
    for (const auto& key : keys) {
        uint32_t size = 0;
        const uint8_t* value = mediaRecognizerMetadata(m_recognizer, key.first, &size);
        if (value)
            key.second->assign(reinterpret_cast<const char*>(value), size);
    }
    uint32_t size = 0;
    const uint8_t* cover = mediaRecognizerMetadata(m_recognizer, "cover_image", &size);
    if (cover) {
        m_tagInfo.cover.assign(reinterpret_cast<const char*>(cover), size);
        m_tagInfo.coverSize = int(size);
    }
    return m_tagInfo;
}
