#include "MediaSource.h"

#include <algorithm>
#include <limits>

extern "C" {
#include <libavutil/dict.h>
#include <libavutil/mem.h>
}

namespace mediacore {

namespace {

constexpr int kIoBufferSize = 64 * 1024;
constexpr const char* kProbeSize = "5000000";        // bytes read to find the container
constexpr const char* kAnalyzeDuration = "5000000";  // microseconds of streams analysed
constexpr std::chrono::seconds kOpenDeadline{10};
// Errors in a row after which the demuxer is taken to be stuck.
constexpr int kMaxReadErrors = 32;
// Decoder errors in a row after which we ask for more input instead.
constexpr int kMaxDecodeErrors = 64;

int64_t SaturatingSub(int64_t a, int64_t b)
{
    int64_t r;
    if (__builtin_sub_overflow(a, b, &r))
        return b > 0 ? std::numeric_limits<int64_t>::min() + 1 : std::numeric_limits<int64_t>::max();
    return r;
}

int64_t SaturatingAdd(int64_t a, int64_t b)
{
    int64_t r;
    if (__builtin_add_overflow(a, b, &r))
        return b > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min() + 1;
    return r;
}

int ReadStream(void* opaque, uint8_t* buffer, int size)
{
    if (size <= 0)
        return AVERROR(EINVAL);
    const uint32_t n = mediaReadStream(static_cast<MediaStream*>(opaque), buffer, static_cast<uint32_t>(size));
    return n ? static_cast<int>(n) : AVERROR_EOF;
}

int64_t SeekStream(void* opaque, int64_t offset, int whence)
{
    auto* stream = static_cast<MediaStream*>(opaque);
    whence &= ~AVSEEK_FORCE;
    if (whence == AVSEEK_SIZE)
        return mediaStreamLength(stream);
    int64_t base;
    switch (whence) {
    case SEEK_SET:
        base = 0;
        break;
    case SEEK_CUR:
        base = mediaStreamPosition(stream);
        break;
    case SEEK_END:
        base = mediaStreamLength(stream);
        break;
    default:
        return AVERROR(EINVAL);
    }
    int64_t target;
    if (base < 0 || __builtin_add_overflow(base, offset, &target) || mediaSeekStream(stream, target) != 0)
        return AVERROR(EINVAL);
    return target;
}

bool IsStillPicture(const AVStream* st)
{
    return (st->disposition & AV_DISPOSITION_ATTACHED_PIC) != 0;
}

}  // namespace

FramePtr MakeFrame()
{
    return FramePtr(av_frame_alloc());
}

int SourceInterrupted(void* opaque)
{
    const auto* source = static_cast<const MediaSource*>(opaque);
    if (source->abort_ && source->abort_->load())
        return 1;
    const auto deadline = source->openDeadline_;
    return deadline != std::chrono::steady_clock::time_point{} && std::chrono::steady_clock::now() >= deadline ? 1 : 0;
}

// ---- StreamDecoder ----

StreamDecoder::~StreamDecoder()
{
    Close();
}

void StreamDecoder::Close()
{
    DropPackets();
    avcodec_free_context(&ctx_);
    inputEnded_ = drainSent_ = ended_ = false;
}

bool StreamDecoder::Open(const AVStream* stream, int threads)
{
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!codec)
        return false;
    ctx_ = avcodec_alloc_context3(codec);
    if (!ctx_)
        return false;
    ctx_->thread_count = threads;
    ctx_->pkt_timebase = stream->time_base;
    if (avcodec_parameters_to_context(ctx_, stream->codecpar) < 0 || avcodec_open2(ctx_, codec, nullptr) < 0) {
        avcodec_free_context(&ctx_);
        return false;
    }
    return true;
}

void StreamDecoder::Push(AVPacket* packet)
{
    queuedBytes_ += packet->size;
    packets_.push_back(packet);
}

void StreamDecoder::DropPackets()
{
    for (AVPacket* p : packets_)
        av_packet_free(&p);
    packets_.clear();
    queuedBytes_ = 0;
}

StreamDecoder::Result StreamDecoder::Receive(AVFrame* out)
{
    if (!ctx_ || ended_)
        return Result::End;
    int errors = 0;
    for (;;) {
        const int r = avcodec_receive_frame(ctx_, out);
        if (r >= 0)
            return Result::Frame;
        if (r == AVERROR_EOF) {
            ended_ = true;
            return Result::End;
        }
        // Anything but "feed me" is a frame lost to damage; go on with the
        // next one.
        if (r != AVERROR(EAGAIN) && ++errors < kMaxDecodeErrors)
            continue;
        if (!packets_.empty()) {
            AVPacket* p = packets_.front();
            packets_.pop_front();
            queuedBytes_ -= p->size;
            // A refused packet is damage and is dropped, so we always move on.
            avcodec_send_packet(ctx_, p);
            av_packet_free(&p);
            continue;
        }
        if (inputEnded_ && !drainSent_) {
            drainSent_ = true;
            avcodec_send_packet(ctx_, nullptr);
            continue;
        }
        if (drainSent_) {
            ended_ = true;
            return Result::End;
        }
        return Result::NeedPacket;
    }
}

void StreamDecoder::Flush()
{
    DropPackets();
    if (ctx_)
        avcodec_flush_buffers(ctx_);
    inputEnded_ = false;
    drainSent_ = false;
    ended_ = false;
}

// ---- MediaSource ----

MediaSource::MediaSource() = default;

MediaSource::~MediaSource()
{
    av_packet_free(&packet_);
    avformat_close_input(&format_);
    if (io_) {
        av_freep(&io_->buffer);
        avio_context_free(&io_);
    }
    mediaReleaseStream(stream_);
}

bool MediaSource::Open(MediaStream* stream, const std::atomic<bool>* abort)
{
    stream_ = stream;
    abort_ = abort;
    if (!stream_)
        return false;
    packet_ = av_packet_alloc();
    auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferSize));
    if (!packet_ || !buffer) {
        av_free(buffer);
        return false;
    }
    io_ = avio_alloc_context(buffer, kIoBufferSize, 0, stream_, ReadStream, nullptr, SeekStream);
    if (!io_) {
        av_free(buffer);
        return false;
    }
    format_ = avformat_alloc_context();
    if (!format_)
        return false;
    format_->pb = io_;
    format_->flags |= AVFMT_FLAG_CUSTOM_IO;
    format_->interrupt_callback.callback = SourceInterrupted;
    format_->interrupt_callback.opaque = this;
    openDeadline_ = std::chrono::steady_clock::now() + kOpenDeadline;

    AVDictionary* options = nullptr;
    av_dict_set(&options, "probesize", kProbeSize, 0);
    av_dict_set(&options, "analyzeduration", kAnalyzeDuration, 0);
    // A playlist or reference file must not lead us anywhere else.
    av_dict_set(&options, "protocol_whitelist", "none", 0);
    // No name and no format: the container is found by content.
    const int opened = avformat_open_input(&format_, "", nullptr, &options);
    av_dict_free(&options);
    if (opened < 0)
        return false;  // avformat_open_input freed the context
    if (avformat_find_stream_info(format_, nullptr) < 0 && format_->nb_streams == 0)
        return false;
    openDeadline_ = {};

    for (unsigned i = 0; i < format_->nb_streams; ++i) {
        const AVStream* st = format_->streams[i];
        if (videoIndex_ < 0 && st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !IsStillPicture(st) &&
            st->codecpar->width > 0 && st->codecpar->height > 0 && video_.Open(st, 0))
            videoIndex_ = static_cast<int>(i);
    }
    const int audio = av_find_best_stream(format_, AVMEDIA_TYPE_AUDIO, -1, videoIndex_, nullptr, 0);
    if (audio >= 0 && audio_.Open(format_->streams[audio], 1))
        audioIndex_ = audio;
    if (videoIndex_ < 0 && audioIndex_ < 0)
        return false;

    startUs_ = format_->start_time != AV_NOPTS_VALUE ? format_->start_time : 0;
    if (format_->duration > 0) {
        duration_ = format_->duration;
    } else {
        for (int index : {videoIndex_, audioIndex_}) {
            if (index < 0)
                continue;
            const AVStream* st = format_->streams[index];
            if (st->duration > 0)
                duration_ = std::max(duration_, av_rescale_q(st->duration, st->time_base, AV_TIME_BASE_Q));
        }
    }
    if (videoIndex_ >= 0) {
        const AVStream* st = format_->streams[videoIndex_];
        for (AVRational rate : {st->avg_frame_rate, st->r_frame_rate}) {
            if (rate.num > 0 && rate.den > 0 && av_q2d(rate) >= 1.0 && av_q2d(rate) <= 1000.0) {
                frameInterval_ = av_rescale_q(1, av_inv_q(rate), AV_TIME_BASE_Q);
                break;
            }
        }
    }
    return true;
}

void MediaSource::DropVideo()
{
    video_.Close();
    videoIndex_ = -1;
}

void MediaSource::DropAudio()
{
    audio_.Close();
    audioIndex_ = -1;
}

const AVStream* MediaSource::VideoStream() const
{
    return videoIndex_ >= 0 ? format_->streams[videoIndex_] : nullptr;
}

const AVStream* MediaSource::AudioStream() const
{
    return audioIndex_ >= 0 ? format_->streams[audioIndex_] : nullptr;
}

MediaTime MediaSource::ToMediaTime(int64_t ts, AVRational base) const
{
    if (ts == AV_NOPTS_VALUE)
        return kNoTime;
    // Damaged time stamps can be anything; keep them where sums and
    // differences of two of them cannot overflow.
    const MediaTime t = SaturatingSub(av_rescale_q(ts, base, AV_TIME_BASE_Q), startUs_);
    return std::clamp<MediaTime>(t, -kMaxMediaTime, kMaxMediaTime);
}

MediaTime MediaSource::VideoTime(int64_t ts) const
{
    return videoIndex_ >= 0 ? ToMediaTime(ts, format_->streams[videoIndex_]->time_base) : kNoTime;
}

MediaTime MediaSource::AudioTime(int64_t ts) const
{
    return audioIndex_ >= 0 ? ToMediaTime(ts, format_->streams[audioIndex_]->time_base) : kNoTime;
}

bool MediaSource::ReadPacket()
{
    if (inputEnded_)
        return false;
    for (int errors = 0;;) {
        const int r = av_read_frame(format_, packet_);
        if (r >= 0)
            break;
        // Some demuxers report a damaged stretch and resynchronise on the
        // next call; the end of the data and a stuck demuxer end the input.
        if (r == AVERROR_EOF || avio_feof(io_) || ++errors >= kMaxReadErrors || SourceInterrupted(this)) {
            inputEnded_ = true;
            video_.MarkInputEnd();
            audio_.MarkInputEnd();
            return false;
        }
    }
    StreamDecoder* target = nullptr;
    if (packet_->stream_index == videoIndex_)
        target = &video_;
    else if (packet_->stream_index == audioIndex_)
        target = &audio_;
    AVPacket* copy = target ? av_packet_alloc() : nullptr;
    if (copy) {
        av_packet_move_ref(copy, packet_);
        target->Push(copy);
    } else {
        av_packet_unref(packet_);
    }
    return true;
}

void MediaSource::SeekBefore(MediaTime t)
{
    const int64_t target = SaturatingAdd(t, startUs_);
    int r = -1;
    if (const AVStream* st = VideoStream()) {
        const int64_t ts = av_rescale_q(target, AV_TIME_BASE_Q, st->time_base);
        r = avformat_seek_file(format_, videoIndex_, std::numeric_limits<int64_t>::min(), ts, ts, 0);
    }
    if (r < 0)
        r = avformat_seek_file(format_, -1, std::numeric_limits<int64_t>::min(), target, target, 0);
    if (r < 0) {
        SeekToStart();
        return;
    }
    ResetAfterSeek();
}

void MediaSource::SeekToStart()
{
    // A byte seek where the container allows one, since the timestamps
    // that a seek by time relies on may be what is damaged.
    int r = -1;
    if (!(format_->iformat->flags & AVFMT_NO_BYTE_SEEK))
        r = av_seek_frame(format_, -1, 0, AVSEEK_FLAG_BYTE);
    if (r < 0)
        avformat_seek_file(format_, -1, std::numeric_limits<int64_t>::min(), startUs_, startUs_, 0);
    ResetAfterSeek();
}

void MediaSource::ResetAfterSeek()
{
    video_.Flush();
    audio_.Flush();
    inputEnded_ = false;
}

}  // namespace mediacore
