// Stream copy: the packets of the kept range pass unchanged into a new
// container, with chapters, tags and a cover picture as asked. Serves the
// stream-copy conversion and tag writing.
#include <algorithm>
#include <cstring>

#include "MediaConvert.h"
#include "MediaPipeline.h"

namespace mediacore {

namespace {

constexpr AVRational kMicros{1, AV_TIME_BASE};

AVCodecID PictureCodec(const std::vector<uint8_t>& bytes)
{
    static const uint8_t kPng[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    if (bytes.size() >= 8 && std::memcmp(bytes.data(), kPng, 8) == 0)
        return AV_CODEC_ID_PNG;
    if (bytes.size() >= 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF)
        return AV_CODEC_ID_MJPEG;
    if (bytes.size() >= 2 && bytes[0] == 'B' && bytes[1] == 'M')
        return AV_CODEC_ID_BMP;
    return AV_CODEC_ID_NONE;
}

struct Interrupt {
    static int Check(void* opaque) { return static_cast<RunControl*>(opaque)->Cancelled() ? 1 : 0; }
};

class StreamCopy {
public:
    StreamCopy(const CopyOptions& options, RunControl& control) : options_(options), control_(control) {}
    ~StreamCopy();
    int Run(const std::string& input, const std::string& output);

private:
    bool MapStreams();
    bool AddCover();
    void CopyChapters();
    int CopyPackets();
    int WriteCover();

    const CopyOptions& options_;
    RunControl& control_;
    Demuxer in_;
    AVFormatContext* out_ = nullptr;
    std::vector<int> map_;  // input stream -> output stream, -1 dropped
    int coverStream_ = -1;
    int videoIndex_ = -1;   // the input's main picture, where cuts fall
};

StreamCopy::~StreamCopy()
{
    if (out_) {
        if (out_->pb)
            avio_closep(&out_->pb);
        avformat_free_context(out_);
    }
}

bool StreamCopy::MapStreams()
{
    AVFormatContext* in = in_.Format();
    map_.assign(in->nb_streams, -1);
    videoIndex_ = BestStream(in, AVMEDIA_TYPE_VIDEO);
    for (unsigned i = 0; i < in->nb_streams; ++i) {
        AVStream* ist = in->streams[i];
        const AVMediaType type = ist->codecpar->codec_type;
        const bool picture = ist->disposition & AV_DISPOSITION_ATTACHED_PIC;
        bool keep = type == AVMEDIA_TYPE_AUDIO || type == AVMEDIA_TYPE_VIDEO || type == AVMEDIA_TYPE_SUBTITLE;
        if (picture && !options_.cover.empty())
            keep = false;  // the new cover replaces it
        if (keep && avformat_query_codec(out_->oformat, ist->codecpar->codec_id, FF_COMPLIANCE_NORMAL) != 1)
            keep = false;
        if (!keep) {
            ist->discard = AVDISCARD_ALL;
            continue;
        }
        AVStream* ost = avformat_new_stream(out_, nullptr);
        if (!ost || avcodec_parameters_copy(ost->codecpar, ist->codecpar) < 0)
            return false;
        ost->codecpar->codec_tag = 0;
        ost->time_base = ist->time_base;
        ost->disposition = ist->disposition;
        ost->avg_frame_rate = ist->avg_frame_rate;
        ost->r_frame_rate = ist->r_frame_rate;
        ost->sample_aspect_ratio = ist->sample_aspect_ratio;
        av_dict_copy(&ost->metadata, ist->metadata, 0);
        map_[i] = ost->index;
    }
    return out_->nb_streams > 0;
}

bool StreamCopy::AddCover()
{
    if (options_.cover.empty())
        return true;
    const AVCodecID codec = PictureCodec(options_.cover);
    Picture picture;
    if (codec == AV_CODEC_ID_NONE || !DecodePicture(options_.cover, picture))
        return false;  // not an image we can describe
    if (avformat_query_codec(out_->oformat, codec, FF_COMPLIANCE_NORMAL) != 1)
        return false;
    AVStream* st = avformat_new_stream(out_, nullptr);
    if (!st)
        return false;
    st->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    st->codecpar->codec_id = codec;
    st->codecpar->width = picture.width;
    st->codecpar->height = picture.height;
    st->disposition = AV_DISPOSITION_ATTACHED_PIC;
    st->time_base = {1, 90000};
    coverStream_ = st->index;
    return true;
}

void StreamCopy::CopyChapters()
{
    const int64_t base = int64_t(options_.range.start);
    const int64_t end = options_.range.End();
    std::vector<ChapterSetting> chapters = options_.chapters;
    if (chapters.empty() && options_.keepChapters) {
        const AVFormatContext* in = in_.Format();
        for (unsigned i = 0; i < in->nb_chapters; ++i) {
            const AVChapter* c = in->chapters[i];
            int64_t s = av_rescale_q(c->start, c->time_base, kMicros) - in_.StartTime();
            int64_t e = av_rescale_q(c->end, c->time_base, kMicros) - in_.StartTime();
            s = std::max(s, base);
            e = std::min(e, end);
            if (e <= s)
                continue;
            const AVDictionaryEntry* title = av_dict_get(c->metadata, "title", nullptr, 0);
            chapters.push_back({uint64_t(s - base), uint64_t(e - s), title ? title->value : ""});
        }
    }
    AppendChapters(out_, chapters);
}

int StreamCopy::WriteCover()
{
    if (coverStream_ < 0)
        return 0;
    PacketPtr packet(av_packet_alloc());
    if (!packet || av_new_packet(packet.get(), int(options_.cover.size())) < 0)
        return AVERROR(ENOMEM);
    std::memcpy(packet->data, options_.cover.data(), options_.cover.size());
    packet->stream_index = coverStream_;
    packet->flags |= AV_PKT_FLAG_KEY;
    packet->pts = packet->dts = 0;
    return av_interleaved_write_frame(out_, packet.get());
}

int StreamCopy::CopyPackets()
{
    AVFormatContext* in = in_.Format();
    const TrimRange& range = options_.range;
    if (range.start > 0) {
        const int64_t target = int64_t(range.start) + in_.StartTime();
        if (avformat_seek_file(in, -1, INT64_MIN, target, target, 0) < 0)
            avformat_seek_file(in, -1, INT64_MIN, 0, 0, 0);
    }
    // With a picture the cut falls on the key frame at or before the start,
    // and everything is measured from there.
    int64_t base = videoIndex_ >= 0 && map_[size_t(videoIndex_)] >= 0 ? AV_NOPTS_VALUE : int64_t(range.start);
    const int64_t end = range.End();
    PacketPtr packet(av_packet_alloc());
    if (!packet)
        return AVERROR(ENOMEM);
    std::vector<bool> done(in->nb_streams, false);
    auto allDone = [&] {
        for (size_t i = 0; i < map_.size(); ++i) {
            if (map_[i] >= 0 && !done[i] && !(in->streams[i]->disposition & AV_DISPOSITION_ATTACHED_PIC))
                return false;
        }
        return true;
    };
    for (;;) {
        if (!control_.Checkpoint())
            return kRunCancelled;
        const int r = av_read_frame(in, packet.get());
        if (r == AVERROR(EAGAIN))
            continue;
        if (r < 0)
            return control_.Cancelled() ? kRunCancelled : 0;
        const int index = packet->stream_index;
        const int target = index >= 0 && index < int(map_.size()) ? map_[size_t(index)] : -1;
        if (target < 0 || done[size_t(index)]) {
            av_packet_unref(packet.get());
            continue;
        }
        AVStream* ist = in->streams[index];
        AVStream* ost = out_->streams[target];
        if (ist->disposition & AV_DISPOSITION_ATTACHED_PIC) {
            packet->pts = packet->dts = 0;
            packet->stream_index = target;
            const int w = av_interleaved_write_frame(out_, packet.get());
            if (w < 0)
                return w;
            continue;
        }
        const int64_t ts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
        const int64_t t = in_.ToMicros(index, ts);
        if (base == AV_NOPTS_VALUE) {
            if (index != videoIndex_ || !(packet->flags & AV_PKT_FLAG_KEY) || t == AV_NOPTS_VALUE) {
                av_packet_unref(packet.get());
                continue;
            }
            base = std::min(t, int64_t(range.start));
        }
        if (t != AV_NOPTS_VALUE && (t < base || t >= end)) {
            const int64_t d = in_.ToMicros(index, packet->dts);
            if (d != AV_NOPTS_VALUE && d >= end)
                done[size_t(index)] = true;
            av_packet_unref(packet.get());
            if (allDone())
                break;
            continue;
        }
        const int64_t shift = av_rescale_q(base + in_.StartTime(), kMicros, ist->time_base);
        if (packet->pts != AV_NOPTS_VALUE)
            packet->pts -= shift;
        if (packet->dts != AV_NOPTS_VALUE)
            packet->dts -= shift;
        av_packet_rescale_ts(packet.get(), ist->time_base, ost->time_base);
        packet->stream_index = target;
        packet->pos = -1;
        if (t != AV_NOPTS_VALUE)
            control_.Progress(uint64_t(std::max<int64_t>(0, t - base)));
        const int w = av_interleaved_write_frame(out_, packet.get());
        if (w < 0)
            return w;
    }
    return 0;
}

int StreamCopy::Run(const std::string& input, const std::string& output)
{
    if (!in_.OpenPath(input, Interrupt::Check, &control_))
        return AVERROR_INVALIDDATA;
    const std::string& formatPath = options_.formatPath.empty() ? output : options_.formatPath;
    const AVOutputFormat* of = av_guess_format(nullptr, formatPath.c_str(), nullptr);
    if (!of || avformat_alloc_output_context2(&out_, of, nullptr, output.c_str()) < 0 || !out_) {
        out_ = nullptr;
        return AVERROR_MUXER_NOT_FOUND;
    }
    if (!MapStreams() || !AddCover())
        return AVERROR(EINVAL);
    {
        const uint64_t duration = in_.Format()->duration > 0 ? uint64_t(in_.Format()->duration) : 0;
        const uint64_t rest = duration > options_.range.start ? duration - options_.range.start : 0;
        control_.Expect(options_.range.length ? std::min(options_.range.length, rest) : rest);
    }
    if (options_.keepTags)
        av_dict_copy(&out_->metadata, in_.Format()->metadata, 0);
    for (const auto& tag : options_.tags)
        av_dict_set(&out_->metadata, tag.first.c_str(), tag.second.c_str(), 0);
    CopyChapters();
    // Timestamps start at zero whatever the cut; B-frame reordering may
    // still ask for an offset, which the muxer makes.
    out_->avoid_negative_ts = AVFMT_AVOID_NEG_TS_AUTO;
    if (avio_open(&out_->pb, output.c_str(), AVIO_FLAG_WRITE) < 0)
        return AVERROR(EIO);
    int r = avformat_write_header(out_, nullptr);
    if (r < 0)
        return r;
    r = WriteCover();
    if (r >= 0)
        r = CopyPackets();
    if (r < 0)
        return r;
    // Also after a stop: what was copied is a complete file.
    const int trailer = av_write_trailer(out_);
    if (avio_closep(&out_->pb) < 0 || trailer < 0)
        return AVERROR(EIO);
    return r;
}

}  // namespace

int CopyStreams(const std::string& input, const std::string& output, const CopyOptions& options,
                RunControl& control)
{
    StreamCopy copy(options, control);
    return copy.Run(input, output);
}

}  // namespace mediacore
