// The player's demuxer and decoders: libavformat reading through a keyed
// stream of our own, one decoder per played stream, each with its queue of
// demuxed packets. Used from one thread at a time.
#ifndef VIDMEND_MEDIASOURCE_H
#define VIDMEND_MEDIASOURCE_H

#include <stdint.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "MediaCore.h"

namespace mediacore {

// Microseconds on the media's own time line: 0 is the container's start.
using MediaTime = int64_t;
constexpr MediaTime kNoTime = INT64_MIN;
// Times beyond this (about 35 years) are damage and are clamped to it.
constexpr MediaTime kMaxMediaTime = int64_t(1) << 50;

struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
FramePtr MakeFrame();

// One elementary stream's decoder and the packets waiting for it.
class StreamDecoder {
 public:
    StreamDecoder() = default;
    ~StreamDecoder();
    StreamDecoder(const StreamDecoder&) = delete;
    StreamDecoder& operator=(const StreamDecoder&) = delete;

    bool Open(const AVStream* stream, int threads);
    void Close();
    bool IsOpen() const { return ctx_ != nullptr; }
    AVCodecContext* Context() const { return ctx_; }

    // Takes the packet's reference.
    void Push(AVPacket* packet);
    // The demuxer has no more packets: the decoder is drained once the
    // queue runs dry.
    void MarkInputEnd() { inputEnded_ = true; }
    bool InputEnded() const { return inputEnded_; }
    int64_t QueuedBytes() const { return queuedBytes_; }
    bool HasPackets() const { return !packets_.empty(); }
    void DropPackets();

    enum class Result { Frame, NeedPacket, End };
    // The next decoded frame into out. Packets the decoder refuses (damage)
    // are skipped.
    Result Receive(AVFrame* out);
    // Forgets queued packets and the codec's state; after a seek.
    void Flush();

 private:
    AVCodecContext* ctx_ = nullptr;
    std::deque<AVPacket*> packets_;
    int64_t queuedBytes_ = 0;
    bool inputEnded_ = false;
    bool drainSent_ = false;
    bool ended_ = false;
};

class MediaSource {
 public:
    MediaSource();
    ~MediaSource();
    MediaSource(const MediaSource&) = delete;
    MediaSource& operator=(const MediaSource&) = delete;

    // Takes ownership of stream (released with the source, also on failure).
    // abort, when set, cuts any read short.
    bool Open(MediaStream* stream, const std::atomic<bool>* abort);

    bool HasVideo() const { return video_.IsOpen(); }
    bool HasAudio() const { return audio_.IsOpen(); }
    // Gives up a stream that turned out not to decode.
    void DropVideo();
    void DropAudio();
    StreamDecoder& Video() { return video_; }
    StreamDecoder& Audio() { return audio_; }
    const AVStream* VideoStream() const;
    const AVStream* AudioStream() const;

    MediaTime Duration() const { return duration_; }
    // The nominal time between frames; 40 ms when the stream gives none.
    MediaTime FrameInterval() const { return frameInterval_; }
    // A frame's or packet's time on our time line, or kNoTime.
    MediaTime VideoTime(int64_t ts) const;
    MediaTime AudioTime(int64_t ts) const;

    // Demuxes one packet into its decoder's queue. False at the end of the
    // data (or a read error), after which both decoders drain.
    bool ReadPacket();
    bool InputEnded() const { return inputEnded_; }
    int64_t QueuedBytes() const { return video_.QueuedBytes() + audio_.QueuedBytes(); }

    // Repositions at a key frame at or before t (the start when the
    // container cannot seek) and flushes both decoders.
    void SeekBefore(MediaTime t);
    // Repositions at the very first byte; the fallback when a seek landed
    // past its target.
    void SeekToStart();

 private:
    MediaTime ToMediaTime(int64_t ts, AVRational base) const;
    void ResetAfterSeek();

    MediaStream* stream_ = nullptr;
    AVIOContext* io_ = nullptr;
    AVFormatContext* format_ = nullptr;
    AVPacket* packet_ = nullptr;
    StreamDecoder video_;
    StreamDecoder audio_;
    int videoIndex_ = -1;
    int audioIndex_ = -1;
    int64_t startUs_ = 0;
    MediaTime duration_ = 0;
    MediaTime frameInterval_ = 40000;
    bool inputEnded_ = false;
    const std::atomic<bool>* abort_ = nullptr;
    std::chrono::steady_clock::time_point openDeadline_{};
    friend int SourceInterrupted(void* opaque);
};

}  // namespace mediacore

#endif
