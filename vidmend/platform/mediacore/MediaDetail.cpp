// Media information: the streams' shape, chapters and tags of a file, a
// keyed stream or bytes in memory, and a frame grabbed as BGRA pixels.
#include <algorithm>
#include <cctype>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "MediaConvert.h"
#include "MediaIO.h"

struct MediaDetail {
    mediacore::Demuxer demuxer;
    bool opened = false;
    int subtitle = -1;
    int video = -1;   // the picture stream the grab decodes
    std::map<std::string, std::string> tags;
    std::vector<uint8_t> cover;
    std::vector<std::string> titles;  // per chapter; "" when none
    std::vector<bool> hasTitle;
    std::string container;
};

namespace {

constexpr AVRational kMicros{1, AV_TIME_BASE};

// Demuxers differ in the case of their tag names.
std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

void Collect(MediaDetail* d)
{
    AVFormatContext* fmt = d->demuxer.Format();
    d->container = fmt->iformat && fmt->iformat->name ? fmt->iformat->name : "";
    d->video = mediacore::BestStream(fmt, AVMEDIA_TYPE_VIDEO);
    // Audio files keep their tags on the stream in some containers (Ogg).
    const int audio = mediacore::BestStream(fmt, AVMEDIA_TYPE_AUDIO);
    if (audio >= 0) {
        const AVDictionaryEntry* e = nullptr;
        while ((e = av_dict_get(fmt->streams[audio]->metadata, "", e, AV_DICT_IGNORE_SUFFIX)))
            d->tags[Lower(e->key)] = e->value;
    }
    const AVDictionaryEntry* e = nullptr;
    while ((e = av_dict_get(fmt->metadata, "", e, AV_DICT_IGNORE_SUFFIX)))
        d->tags[Lower(e->key)] = e->value;
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
        const AVStream* st = fmt->streams[i];
        if ((st->disposition & AV_DISPOSITION_ATTACHED_PIC) && st->attached_pic.size > 0) {
            d->cover.assign(st->attached_pic.data, st->attached_pic.data + st->attached_pic.size);
            break;
        }
    }
    for (unsigned i = 0; i < fmt->nb_chapters; ++i) {
        const AVDictionaryEntry* title = av_dict_get(fmt->chapters[i]->metadata, "title", nullptr, 0);
        d->titles.push_back(title ? title->value : "");
        d->hasTitle.push_back(title != nullptr);
    }
    d->opened = true;
}

void Reset(MediaDetail* d)
{
    d->demuxer.Close();
    d->opened = false;
    d->video = -1;
    d->tags.clear();
    d->cover.clear();
    d->titles.clear();
    d->hasTitle.clear();
    d->container.clear();
}

const AVChapter* Chapter(MediaDetail* d, int index)
{
    if (!d || !d->opened || index < 0 || unsigned(index) >= d->demuxer.Format()->nb_chapters)
        return nullptr;
    return d->demuxer.Format()->chapters[index];
}

const AVCodecParameters* Picture(MediaDetail* d)
{
    if (!d || !d->opened || d->video < 0)
        return nullptr;
    return d->demuxer.Format()->streams[d->video]->codecpar;
}

// Decodes the selected picture stream from the current position up to the
// first frame at or after time.
bool DecodeAt(MediaDetail* d, int64_t time, AVFrame* out)
{
    AVFormatContext* fmt = d->demuxer.Format();
    AVStream* st = fmt->streams[d->video];
    mediacore::CodecPtr decoder = mediacore::OpenDecoder(st);
    mediacore::PacketPtr packet(av_packet_alloc());
    if (!decoder || !packet)
        return false;
    const bool still = st->disposition & AV_DISPOSITION_ATTACHED_PIC;
    if (still && st->attached_pic.size > 0) {
        avcodec_send_packet(decoder.get(), &st->attached_pic);
        avcodec_send_packet(decoder.get(), nullptr);
        return avcodec_receive_frame(decoder.get(), out) == 0;
    }
    bool any = false;
    mediacore::FramePtr frame(av_frame_alloc());
    if (!frame)
        return false;
    mediacore::FrameReader reader(fmt, decoder.get(), d->video, packet.get());
    // Bounded: a file whose frames never reach the time gives its last one.
    while (reader.PacketsSent() < 100000) {
        const mediacore::FrameReader::Result r = reader.Next(frame.get());
        if (r == mediacore::FrameReader::Result::Frame) {
            av_frame_unref(out);
            av_frame_move_ref(out, frame.get());
            any = true;
            const int64_t t = d->demuxer.ToMicros(d->video, out->best_effort_timestamp);
            if (t == AV_NOPTS_VALUE || t >= time)
                return true;
        } else if (r == mediacore::FrameReader::Result::End) {
            break;
        }
    }
    return any;
}

// Forgets what detail held, then opens it with open (one of the demuxer's
// openers) and reads what it holds; 1 when it opened.
template <typename Opener>
int OpenDetail(MediaDetail* detail, const Opener& open)
{
    Reset(detail);
    if (!open(detail->demuxer))
        return 0;
    Collect(detail);
    return 1;
}

}  // namespace

extern "C" {

MediaDetail* mediaCreateDetail(int)
{
    return new (std::nothrow) MediaDetail;
}

int mediaOpenDetail(MediaDetail* detail, const char* path)
{
    if (!detail || !path)
        return 0;
    return OpenDetail(detail, [path](mediacore::Demuxer& demuxer) { return demuxer.OpenPath(path); });
}

int mediaOpenDetailWithSubtitle(MediaDetail* detail, const char* path, int subtitle)
{
    const int opened = mediaOpenDetail(detail, path);
    if (opened)
        detail->subtitle = subtitle;
    return opened;
}

int mediaOpenDetailStream(MediaDetail* detail, MediaStream* stream)
{
    if (!detail || !stream)
        return 0;
    return OpenDetail(detail, [stream](mediacore::Demuxer& demuxer) { return demuxer.OpenStream(stream); });
}

int mediaOpenDetailMemory(MediaDetail* detail, const uint8_t* data, uint32_t size)
{
    if (!detail || !data || !size)
        return 0;
    return OpenDetail(detail, [data, size](mediacore::Demuxer& demuxer) {
        return demuxer.OpenMemory(std::vector<uint8_t>(data, data + size));
    });
}

const char* mediaDetailContainer(MediaDetail* detail)
{
    return detail && detail->opened ? detail->container.c_str() : "";
}

int mediaDetailHasVideo(MediaDetail* detail)
{
    return detail && detail->opened && detail->video >= 0 &&
                   !(detail->demuxer.Format()->streams[detail->video]->disposition & AV_DISPOSITION_ATTACHED_PIC)
               ? 1
               : 0;
}

int mediaDetailHasAudio(MediaDetail* detail)
{
    return detail && detail->opened && mediacore::BestStream(detail->demuxer.Format(), AVMEDIA_TYPE_AUDIO) >= 0 ? 1
                                                                                                            : 0;
}

int mediaDetailWidth(MediaDetail* detail)
{
    const AVCodecParameters* p = Picture(detail);
    return p ? p->width : 0;
}

int mediaDetailHeight(MediaDetail* detail)
{
    const AVCodecParameters* p = Picture(detail);
    return p ? p->height : 0;
}

uint64_t mediaDetailDuration(MediaDetail* detail)
{
    if (!detail || !detail->opened)
        return 0;
    const int64_t d = detail->demuxer.Format()->duration;
    return d > 0 ? uint64_t(d) : 0;
}

int mediaDetailSeekable(MediaDetail* detail)
{
    if (!detail || !detail->opened)
        return 0;
    const AVFormatContext* fmt = detail->demuxer.Format();
    return fmt->pb && (fmt->pb->seekable & AVIO_SEEKABLE_NORMAL) && fmt->duration > 0 ? 1 : 0;
}

int mediaDetailSelectImage(MediaDetail* detail, int index)
{
    if (!detail || !detail->opened || index < 0)
        return 0;
    const AVFormatContext* fmt = detail->demuxer.Format();
    int n = 0;
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
        if (fmt->streams[i]->codecpar->codec_type != AVMEDIA_TYPE_VIDEO)
            continue;
        if (n++ == index) {
            detail->video = int(i);
            return 1;
        }
    }
    return 0;
}

int mediaDetailGrabFrame(MediaDetail* detail, uint64_t time, int width, int height, uint8_t* pixels, int lineSize)
{
    if (!Picture(detail) || !pixels || width <= 0 || height <= 0)
        return 0;
    AVFormatContext* fmt = detail->demuxer.Format();
    const int64_t target = int64_t(std::min<uint64_t>(time, INT64_MAX / 2));
    const int64_t ts = target + detail->demuxer.StartTime();
    if (avformat_seek_file(fmt, -1, INT64_MIN, ts, ts, 0) < 0)
        avformat_seek_file(fmt, -1, INT64_MIN, 0, 0, AVSEEK_FLAG_ANY);
    mediacore::FramePtr frame(av_frame_alloc());
    if (!frame || !DecodeAt(detail, target, frame.get()))
        return 0;
    return mediacore::FrameToBgra(frame.get(), width, height, pixels, lineSize) ? 1 : 0;
}

int mediaDetailChapterCount(MediaDetail* detail)
{
    return detail && detail->opened ? int(detail->demuxer.Format()->nb_chapters) : 0;
}

uint64_t mediaDetailChapterStart(MediaDetail* detail, int index)
{
    const AVChapter* c = Chapter(detail, index);
    if (!c)
        return 0;
    const int64_t t = av_rescale_q(c->start, c->time_base, kMicros) - detail->demuxer.StartTime();
    return t > 0 ? uint64_t(t) : 0;
}

uint64_t mediaDetailChapterDuration(MediaDetail* detail, int index)
{
    const AVChapter* c = Chapter(detail, index);
    if (!c || c->end <= c->start)
        return 0;
    return uint64_t(av_rescale_q(c->end - c->start, c->time_base, kMicros));
}

const char* mediaDetailChapterTitle(MediaDetail* detail, int index)
{
    if (!Chapter(detail, index) || !detail->hasTitle[size_t(index)])
        return nullptr;
    return detail->titles[size_t(index)].c_str();
}

const uint8_t* mediaDetailMetadata(MediaDetail* detail, const char* key, uint32_t* size)
{
    if (size)
        *size = 0;
    if (!detail || !detail->opened || !key)
        return nullptr;
    if (std::string(key) == "cover_image") {
        if (detail->cover.empty())
            return nullptr;
        if (size)
            *size = uint32_t(detail->cover.size());
        return detail->cover.data();
    }
    const auto it = detail->tags.find(Lower(key));
    if (it == detail->tags.end())
        return nullptr;
    if (size)
        *size = uint32_t(it->second.size());
    return reinterpret_cast<const uint8_t*>(it->second.c_str());
}

void mediaReleaseDetail(MediaDetail* detail)
{
    delete detail;
}

}  // extern "C"
