// Tags: writing them by a stream copy that replaces the file once it is
// complete, and the audio recogniser that reads them back (or buffers raw
// audio, for which this build has no catalogue).
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <new>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/samplefmt.h>
}

#include "MediaConvert.h"
#include "MediaIO.h"
#include "MediaPipeline.h"

namespace {

constexpr int64_t kMaxCoverBytes = int64_t(16) << 20;
// Raw audio beyond this is refused rather than buffered without bound.
constexpr int64_t kMaxAudioBuffer = int64_t(256) << 20;

// The container tag each entry is written as; null: not a text entry.
const char* TagKey(int entry)
{
    switch (entry) {
    case MEDIA_TAG_TITLE: return "title";
    case MEDIA_TAG_ARTIST: return "artist";
    case MEDIA_TAG_ALBUM: return "album";
    case MEDIA_TAG_GENRE: return "genre";
    case MEDIA_TAG_YEAR: return "date";
    case MEDIA_TAG_TRACK: return "track";
    case MEDIA_TAG_COMMENT: return "comment";
    case MEDIA_TAG_LYRICS: return "lyrics";
    case MEDIA_TAG_COPYRIGHT: return "copyright";
    case MEDIA_TAG_ALBUM_ARTIST: return "album_artist";
    case MEDIA_TAG_COMPOSER: return "composer";
    case MEDIA_TAG_GROUPING: return "grouping";
    case MEDIA_TAG_DISC: return "disc";
    default: return nullptr;
    }
}

void AppendUtf8(std::string& out, uint32_t c)
{
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        c = 0xFFFD;
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

// Up to count code points, or the first zero.
std::string FromUtf32(const uint32_t* text, size_t count)
{
    std::string out;
    for (size_t i = 0; text && i < count && text[i]; ++i)
        AppendUtf8(out, text[i]);
    return out;
}

std::string FromUtf32(const uint32_t* text)
{
    size_t n = 0;
    while (text && text[n] && n < 65536)
        ++n;
    return FromUtf32(text, n);
}

std::string Folder(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The global temporary folder when it lies on the file's own file system
// (so the finished copy can be renamed over the file), else the file's folder.
std::string CopyFolder(const std::string& path)
{
    const std::string beside = Folder(path);
    const std::string temp = mediacore::TempFolder();
    struct stat a, b;
    if (!temp.empty() && stat(temp.c_str(), &a) == 0 && S_ISDIR(a.st_mode) && stat(beside.c_str(), &b) == 0 &&
        a.st_dev == b.st_dev)
        return temp;
    return beside;
}

class NoControl : public mediacore::RunControl {
public:
    bool Checkpoint() override { return true; }
    bool Cancelled() const override { return false; }
    void Progress(uint64_t) override {}
};

}  // namespace

struct MediaTagWriter {
    std::string path;
    bool opened = false;
    std::map<int, std::string> texts;
    std::vector<uint8_t> cover;
    std::string coverPath;
};

struct MediaAudioFormat {
    int kind = 0;
    uint32_t code = 0;
    int channels = 0;
    int rate = 0;
    int sampleFormat = -1;
    int bitDepth = 0;
    uint32_t extra = 0;
    std::vector<uint8_t> buffer;
};

struct MediaRecognizer {
    MediaAudioFormat* format = nullptr;
    MediaDetail* detail = nullptr;  // the file whose tags are read
    bool started = false;
    bool completed = false;
    bool stopped = false;
};

extern "C" {

MediaTagWriter* mediaCreateTagWriter(int)
{
    return new (std::nothrow) MediaTagWriter;
}

int mediaOpenTagWriter(MediaTagWriter* writer, const uint32_t* path)
{
    if (!writer || !path)
        return 0;
    const std::string name = FromUtf32(path);
    struct stat st;
    if (name.empty() || stat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return 0;
    writer->path = name;
    writer->opened = true;
    writer->texts.clear();
    writer->cover.clear();
    writer->coverPath.clear();
    return 1;
}

int mediaSetTagText(MediaTagWriter* writer, int entry, const uint32_t* text, uint32_t byteLength)
{
    if (!writer || !writer->opened || !TagKey(entry) || (!text && byteLength))
        return 0;
    writer->texts[entry] = FromUtf32(text, byteLength / 4);
    return 1;
}

int mediaSetTagCover(MediaTagWriter* writer, const uint8_t* data, uint32_t size)
{
    if (!writer || !writer->opened || !data || !size || size > kMaxCoverBytes)
        return 0;
    writer->cover.assign(data, data + size);
    writer->coverPath.clear();
    return 1;
}

int mediaSetTagCoverPath(MediaTagWriter* writer, const uint32_t* path, uint32_t byteLength)
{
    if (!writer || !writer->opened || !path)
        return 0;
    writer->coverPath = FromUtf32(path, byteLength / 4);
    writer->cover.clear();
    return 1;
}

int mediaFinishTagWriter(MediaTagWriter* writer)
{
    if (!writer || !writer->opened)
        return 0;
    writer->opened = false;
    mediacore::CopyOptions options;
    for (const auto& t : writer->texts) {
        if (!t.second.empty())
            options.tags.emplace_back(TagKey(t.first), t.second);
    }
    options.cover = writer->cover;
    if (options.cover.empty() && !writer->coverPath.empty())
        mediacore::ReadWholeFile(writer->coverPath, kMaxCoverBytes, options.cover);  // unreadable: no new cover
    if (options.tags.empty() && options.cover.empty())
        return 1;

    const std::string& path = writer->path;
    const size_t slash = path.rfind('/');
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t dot = base.rfind('.');
    const std::string ext = dot == std::string::npos ? std::string() : base.substr(dot);
    std::string temp = CopyFolder(path) + "/." + base + ".tags-XXXXXX" + ext;
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back('\0');
    const int fd = mkstemps(name.data(), int(ext.size()));
    if (fd < 0)
        return 0;
    close(fd);
    temp = name.data();
    options.formatPath = path;
    NoControl control;
    struct stat st;
    const bool ok = mediacore::CopyStreams(path, temp, options, control) == 0 && stat(path.c_str(), &st) == 0 &&
                    chmod(temp.c_str(), st.st_mode & 07777) == 0 && rename(temp.c_str(), path.c_str()) == 0;
    if (!ok)
        unlink(temp.c_str());
    return ok ? 1 : 0;
}

void mediaReleaseTagWriter(MediaTagWriter* writer)
{
    delete writer;
}

MediaAudioFormat* mediaCreateAudioFormat(int kind)
{
    auto* format = new (std::nothrow) MediaAudioFormat;
    if (format)
        format->kind = kind;
    return format;
}

MediaAudioFormat* mediaWrapAudioFormat(const void* object)
{
    const auto* p = static_cast<const AVCodecParameters*>(object);
    if (!p || p->codec_type != AVMEDIA_TYPE_AUDIO)
        return nullptr;
    MediaAudioFormat* format = mediaCreateAudioFormat(2);
    if (!format)
        return nullptr;
    format->code = MEDIA_FOURCC('A', 'F', 'R', 'M');
    format->channels = p->ch_layout.nb_channels;
    format->rate = p->sample_rate;
    switch (av_get_packed_sample_fmt(AVSampleFormat(p->format))) {
    case AV_SAMPLE_FMT_U8: format->sampleFormat = 0; break;
    case AV_SAMPLE_FMT_S16: format->sampleFormat = 1; break;
    case AV_SAMPLE_FMT_S32: format->sampleFormat = 2; break;
    case AV_SAMPLE_FMT_FLT: format->sampleFormat = 3; break;
    case AV_SAMPLE_FMT_DBL: format->sampleFormat = 4; break;
    default: format->sampleFormat = -1; break;
    }
    format->bitDepth = av_get_bytes_per_sample(AVSampleFormat(p->format)) * 8;
    return format;
}

int mediaAudioFormatSetCode(MediaAudioFormat* format, uint32_t fourcc)
{
    if (!format)
        return 0;
    format->code = fourcc;
    return 1;
}

int mediaAudioFormatSetChannels(MediaAudioFormat* format, int channels)
{
    if (!format || channels <= 0)
        return 0;
    format->channels = channels;
    return 1;
}

int mediaAudioFormatSetSampleRate(MediaAudioFormat* format, int rate)
{
    if (!format || rate <= 0)
        return 0;
    format->rate = rate;
    return 1;
}

int mediaAudioFormatSetSampleFormat(MediaAudioFormat* format, int index)
{
    if (!format || index < 0 || index > 4)
        return 0;
    format->sampleFormat = index;
    return 1;
}

int mediaAudioFormatSetBitDepth(MediaAudioFormat* format, int bits)
{
    if (!format || bits <= 0)
        return 0;
    format->bitDepth = bits;
    return 1;
}

int mediaAudioFormatSetExtra(MediaAudioFormat* format, uint32_t value)
{
    if (!format)
        return 0;
    format->extra = value;
    return 1;
}

int mediaAudioFormatChannels(MediaAudioFormat* format)
{
    return format ? format->channels : 0;
}

int mediaAudioFormatSampleRate(MediaAudioFormat* format)
{
    return format ? format->rate : 0;
}

int64_t mediaAudioFormatBufferSize(MediaAudioFormat* format)
{
    return format ? int64_t(format->buffer.size()) : 0;
}

int mediaAudioFormatAppend(MediaAudioFormat* format, const void* object)
{
    const auto* frame = static_cast<const AVFrame*>(object);
    if (!format || !frame || frame->nb_samples <= 0)
        return 0;
    const AVSampleFormat f = AVSampleFormat(frame->format);
    const int channels = frame->ch_layout.nb_channels;
    const int bytes = av_get_bytes_per_sample(f);
    if (channels <= 0 || bytes <= 0)
        return 0;
    const bool planar = av_sample_fmt_is_planar(f);
    const int64_t plane = int64_t(frame->nb_samples) * bytes * (planar ? 1 : channels);
    const int64_t total = plane * (planar ? channels : 1);
    if (total > kMaxAudioBuffer - int64_t(format->buffer.size()))
        return 0;
    try {
        for (int p = 0; p < (planar ? channels : 1); ++p)
            format->buffer.insert(format->buffer.end(), frame->extended_data[p], frame->extended_data[p] + plane);
    } catch (const std::bad_alloc&) {
        return 0;
    }
    return 1;
}

void mediaReleaseAudioFormat(MediaAudioFormat* format)
{
    delete format;
}

MediaRecognizer* mediaCreateRecognizer(int)
{
    return new (std::nothrow) MediaRecognizer;
}

int mediaStartRecognizer(MediaRecognizer* recognizer, MediaAudioFormat* format)
{
    if (!recognizer || !format || format->channels <= 0 || format->rate <= 0)
        return 0;
    recognizer->format = format;
    recognizer->started = true;
    recognizer->completed = false;
    recognizer->stopped = false;
    return 1;
}

int mediaSetRecognizerPath(MediaRecognizer* recognizer, const char* path)
{
    if (!recognizer || !path)
        return 0;
    MediaDetail* detail = mediaCreateDetail(-1);
    if (!detail || !mediaOpenDetail(detail, path)) {
        mediaReleaseDetail(detail);
        return 0;
    }
    mediaReleaseDetail(recognizer->detail);
    recognizer->detail = detail;
    return 1;
}

int mediaRunRecognizer(MediaRecognizer* recognizer)
{
    if (!recognizer || !recognizer->detail)
        return 0;
    // A file's own tags are known as soon as it is open.
    recognizer->started = true;
    recognizer->completed = true;
    recognizer->stopped = false;
    return 1;
}

int mediaRecognizerReady(MediaRecognizer* recognizer)
{
    return recognizer && recognizer->started && !recognizer->stopped ? 1 : 0;
}

int mediaRecognizerCompleted(MediaRecognizer* recognizer)
{
    return recognizer && recognizer->completed ? 1 : 0;
}

void mediaStopRecognizer(MediaRecognizer* recognizer)
{
    if (!recognizer || !recognizer->started)
        return;
    recognizer->stopped = true;
    recognizer->completed = true;
}

void mediaResetRecognizer(MediaRecognizer* recognizer)
{
    if (!recognizer)
        return;
    mediaReleaseDetail(recognizer->detail);
    recognizer->detail = nullptr;
    recognizer->format = nullptr;
    recognizer->started = recognizer->completed = recognizer->stopped = false;
}

const uint8_t* mediaRecognizerMetadata(MediaRecognizer* recognizer, const char* key, uint32_t* size)
{
    if (size)
        *size = 0;
    if (!recognizer || !recognizer->detail)
        return nullptr;
    return mediaDetailMetadata(recognizer->detail, key, size);
}

void mediaReleaseRecognizer(MediaRecognizer* recognizer)
{
    if (!recognizer)
        return;
    mediaResetRecognizer(recognizer);
    delete recognizer;
}

}  // extern "C"
