#include "MediaIO.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>

extern "C" {
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

namespace mediacore {

namespace {

constexpr int kIoBufferSize = 64 * 1024;

}  // namespace

bool ReadWholeStream(MediaStream* stream, int64_t max, std::vector<uint8_t>& out)
{
    out.clear();
    const int64_t length = mediaStreamLength(stream);
    if (length < 0 || length > max || mediaSeekStream(stream, 0) != 0)
        return false;
    try {
        out.resize(size_t(length));
    } catch (const std::bad_alloc&) {
        return false;
    }
    size_t done = 0;
    while (done < out.size()) {
        const uint32_t want = uint32_t(std::min<size_t>(out.size() - done, 1u << 20));
        const uint32_t got = mediaReadStream(stream, out.data() + done, want);
        if (got == 0)
            break;
        done += got;
    }
    if (done != out.size()) {
        out.clear();
        return false;
    }
    return true;
}

bool ReadWholeFile(const std::string& path, int64_t max, std::vector<uint8_t>& out)
{
    MediaStream* stream = mediaOpenStream(path.c_str(), MEDIA_STREAM_READ);
    if (!stream)
        return false;
    const bool ok = ReadWholeStream(stream, max, out);
    mediaReleaseStream(stream);
    return ok;
}

bool CreateNewFile(const std::string& path)
{
    if (path.empty())
        return false;
    int fd;
    do {
        fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

Demuxer::~Demuxer()
{
    Close();
}

void Demuxer::Close()
{
    if (format_)
        avformat_close_input(&format_);
    if (io_) {
        av_freep(&io_->buffer);
        avio_context_free(&io_);
    }
    stream_ = nullptr;
    memory_.clear();
    memoryPos_ = 0;
}

bool Demuxer::OpenPath(const std::string& path, InterruptFunction interrupt, void* opaque)
{
    Close();
    struct stat st;
    if (path.empty() || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    format_ = avformat_alloc_context();
    if (!format_)
        return false;
    format_->interrupt_callback.callback = interrupt;
    format_->interrupt_callback.opaque = opaque;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    const int opened = avformat_open_input(&format_, path.c_str(), nullptr, &options);
    av_dict_free(&options);
    if (opened < 0) {
        format_ = nullptr;  // freed by avformat_open_input
        return false;
    }
    if (avformat_find_stream_info(format_, nullptr) < 0) {
        Close();
        return false;
    }
    return true;
}

bool Demuxer::OpenStream(MediaStream* stream)
{
    Close();
    if (!stream || mediaSeekStream(stream, 0) != 0)
        return false;
    stream_ = stream;
    return OpenWithCallbacks(ReadKeyed, SeekKeyed);
}

bool Demuxer::OpenMemory(std::vector<uint8_t> bytes)
{
    Close();
    if (bytes.empty())
        return false;
    memory_ = std::move(bytes);
    return OpenWithCallbacks(ReadMemory, SeekMemory);
}

bool Demuxer::OpenWithCallbacks(int (*read)(void*, uint8_t*, int), int64_t (*seek)(void*, int64_t, int))
{
    auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferSize));
    if (!buffer)
        return false;
    io_ = avio_alloc_context(buffer, kIoBufferSize, 0, this, read, nullptr, seek);
    if (!io_) {
        av_free(buffer);
        return false;
    }
    return OpenWithIo(io_);
}

bool Demuxer::OpenWithIo(AVIOContext* io)
{
    format_ = avformat_alloc_context();
    if (!format_)
        return false;
    format_->pb = io;
    format_->flags |= AVFMT_FLAG_CUSTOM_IO;
    AVDictionary* options = nullptr;
    // Whatever is inside names no other file to open.
    av_dict_set(&options, "protocol_whitelist", "", 0);
    const int opened = avformat_open_input(&format_, nullptr, nullptr, &options);
    av_dict_free(&options);
    if (opened < 0) {
        format_ = nullptr;
        Close();
        return false;
    }
    if (avformat_find_stream_info(format_, nullptr) < 0) {
        Close();
        return false;
    }
    return true;
}

int Demuxer::ReadMemory(void* opaque, uint8_t* buf, int size)
{
    auto* self = static_cast<Demuxer*>(opaque);
    const int64_t left = int64_t(self->memory_.size()) - self->memoryPos_;
    if (left <= 0)
        return AVERROR_EOF;
    const int n = int(std::min<int64_t>(left, size));
    std::memcpy(buf, self->memory_.data() + self->memoryPos_, size_t(n));
    self->memoryPos_ += n;
    return n;
}

int64_t Demuxer::SeekMemory(void* opaque, int64_t offset, int whence)
{
    auto* self = static_cast<Demuxer*>(opaque);
    const int64_t size = int64_t(self->memory_.size());
    int64_t target;
    switch (whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE: return size;
    case SEEK_SET: target = offset; break;
    case SEEK_CUR: target = self->memoryPos_ + offset; break;
    case SEEK_END: target = size + offset; break;
    default: return AVERROR(EINVAL);
    }
    if (target < 0)
        return AVERROR(EINVAL);
    self->memoryPos_ = std::min(target, size);
    return self->memoryPos_;
}

int Demuxer::ReadKeyed(void* opaque, uint8_t* buf, int size)
{
    auto* self = static_cast<Demuxer*>(opaque);
    if (size <= 0)
        return 0;
    const uint32_t got = mediaReadStream(self->stream_, buf, uint32_t(size));
    return got ? int(got) : AVERROR_EOF;
}

int64_t Demuxer::SeekKeyed(void* opaque, int64_t offset, int whence)
{
    auto* self = static_cast<Demuxer*>(opaque);
    const int64_t size = mediaStreamLength(self->stream_);
    int64_t target;
    switch (whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE: return size;
    case SEEK_SET: target = offset; break;
    case SEEK_CUR: target = mediaStreamPosition(self->stream_) + offset; break;
    case SEEK_END:
        if (size < 0)
            return AVERROR(EINVAL);
        target = size + offset;
        break;
    default: return AVERROR(EINVAL);
    }
    if (mediaSeekStream(self->stream_, target) != 0)
        return AVERROR(EINVAL);
    return target;
}

int64_t Demuxer::StartTime() const
{
    return format_ && format_->start_time != AV_NOPTS_VALUE ? format_->start_time : 0;
}

int64_t Demuxer::ToMicros(int index, int64_t ts) const
{
    if (!format_ || index < 0 || unsigned(index) >= format_->nb_streams || ts == AV_NOPTS_VALUE)
        return AV_NOPTS_VALUE;
    return av_rescale_q(ts, format_->streams[index]->time_base, AV_TIME_BASE_Q) - StartTime();
}

int BestStream(AVFormatContext* format, AVMediaType type)
{
    if (!format)
        return -1;
    int best = -1;
    int64_t bestScore = -1;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream* st = format->streams[i];
        if (st->codecpar->codec_type != type)
            continue;
        if (type == AVMEDIA_TYPE_VIDEO && (st->disposition & AV_DISPOSITION_ATTACHED_PIC))
            continue;
        if (!avcodec_find_decoder(st->codecpar->codec_id))
            continue;
        // The default stream first, then the larger picture or more channels.
        const int64_t score = (st->disposition & AV_DISPOSITION_DEFAULT ? int64_t(1) << 40 : 0) +
                              int64_t(st->codecpar->width) * st->codecpar->height + st->codecpar->ch_layout.nb_channels;
        if (score > bestScore) {
            best = int(i);
            bestScore = score;
        }
    }
    return best;
}

CodecPtr OpenDecoder(const AVStream* stream)
{
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!codec)
        return nullptr;
    CodecPtr ctx(avcodec_alloc_context3(codec));
    if (!ctx || avcodec_parameters_to_context(ctx.get(), stream->codecpar) < 0)
        return nullptr;
    ctx->pkt_timebase = stream->time_base;
    if (CodecThreads())
        ctx->thread_count = 0;  // as many as the codec likes
    else
        ctx->thread_count = 1;
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0)
        return nullptr;
    return ctx;
}

FrameReader::Result FrameReader::Next(AVFrame* frame)
{
    if (!draining_) {
        const int r = av_read_frame(format_, packet_);
        if (r < 0) {
            draining_ = true;
            avcodec_send_packet(decoder_, nullptr);
        } else {
            if (packet_->stream_index == index_) {
                avcodec_send_packet(decoder_, packet_);
                ++sent_;
            }
            av_packet_unref(packet_);
        }
    }
    const int r = avcodec_receive_frame(decoder_, frame);
    if (r == 0)
        return Result::Frame;
    return r != AVERROR(EAGAIN) || draining_ ? Result::End : Result::Again;
}

bool FrameToBgra(const AVFrame* frame, int width, int height, uint8_t* pixels, int lineSize)
{
    if (!frame || !pixels || width <= 0 || height <= 0 || lineSize < width * 4 || frame->width <= 0 ||
        frame->height <= 0)
        return false;
    SwsContext* sws = sws_getContext(frame->width, frame->height, AVPixelFormat(frame->format), width, height,
                                     AV_PIX_FMT_BGRA, SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (!sws)
        return false;
    uint8_t* dst[4] = {pixels, nullptr, nullptr, nullptr};
    int dstLines[4] = {lineSize, 0, 0, 0};
    const int rows = sws_scale(sws, frame->data, frame->linesize, 0, frame->height, dst, dstLines);
    sws_freeContext(sws);
    return rows == height;
}

namespace {

bool DecodeWithFfmpeg(const std::vector<uint8_t>& bytes, Picture& out)
{
    Demuxer demuxer;
    if (!demuxer.OpenMemory(bytes))
        return false;
    AVFormatContext* fmt = demuxer.Format();
    int index = -1;
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
        if (fmt->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            index = int(i);
            break;
        }
    }
    if (index < 0)
        return false;
    CodecPtr decoder = OpenDecoder(fmt->streams[index]);
    PacketPtr packet(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    if (!decoder || !packet || !frame)
        return false;
    FrameReader reader(fmt, decoder.get(), index, packet.get());
    FrameReader::Result result = FrameReader::Result::Again;
    while (result == FrameReader::Result::Again)
        result = reader.Next(frame.get());
    const bool got = result == FrameReader::Result::Frame;
    if (!got || frame->width <= 0 || frame->height <= 0 || frame->width > 16384 || frame->height > 16384)
        return false;
    out.width = frame->width;
    out.height = frame->height;
    out.bgra.assign(size_t(out.width) * 4 * size_t(out.height), 0);
    if (!FrameToBgra(frame.get(), out.width, out.height, out.bgra.data(), out.width * 4)) {
        out = Picture();
        return false;
    }
    return true;
}

}  // namespace


bool DecodePicture(const std::vector<uint8_t>& bytes, Picture& out)
{
    out = Picture();
    if (bytes.empty())
        return false;
    return DecodeWithApplication(bytes, out) || DecodeWithFfmpeg(bytes, out);
}

}  // namespace mediacore
