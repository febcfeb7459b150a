// What the conversion units share over FFmpeg: owners for its objects, a
// demuxer that reads a local file, a keyed stream or bytes in memory, the
// decoders, conversion of a frame to BGRA pixels, and the layer's global
// services (log, threads, temporary folder, the application's decoder).
#ifndef VIDMEND_MEDIAIO_H
#define VIDMEND_MEDIAIO_H

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
}

#include "ConvertSettings.h"
#include "MediaCore.h"

namespace mediacore {

struct CodecFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using CodecPtr = std::unique_ptr<AVCodecContext, CodecFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;

// Reads the stream from its start; false past max bytes or on a short read.
bool ReadWholeStream(MediaStream* stream, int64_t max, std::vector<uint8_t>& out);
bool ReadWholeFile(const std::string& path, int64_t max, std::vector<uint8_t>& out);

// Creates the file, refusing one that exists (or a folder, link target...),
// and closes it again: the muxer reopens it.
bool CreateNewFile(const std::string& path);

// Called between blocking reads and writes; non-zero ends them.
using InterruptFunction = int (*)(void* opaque);

// An opened input. Only local regular files are read by path, and a
// playlist or reference file cannot lead the demuxer anywhere else.
class Demuxer {
public:
    Demuxer() = default;
    ~Demuxer();
    Demuxer(const Demuxer&) = delete;
    Demuxer& operator=(const Demuxer&) = delete;

    bool OpenPath(const std::string& path, InterruptFunction interrupt = nullptr, void* opaque = nullptr);
    // The stream is borrowed while the demuxer lives.
    bool OpenStream(MediaStream* stream);
    bool OpenMemory(std::vector<uint8_t> bytes);
    AVFormatContext* Format() const { return format_; }
    // Microseconds from the file's first timestamp; the time of a packet or
    // frame of stream index, ts in its time base.
    int64_t StartTime() const;
    int64_t ToMicros(int index, int64_t ts) const;
    void Close();

private:
    // Reads through read and seek, called with this demuxer.
    bool OpenWithCallbacks(int (*read)(void*, uint8_t*, int), int64_t (*seek)(void*, int64_t, int));
    bool OpenWithIo(AVIOContext* io);
    static int ReadMemory(void* opaque, uint8_t* buf, int size);
    static int64_t SeekMemory(void* opaque, int64_t offset, int whence);
    static int ReadKeyed(void* opaque, uint8_t* buf, int size);
    static int64_t SeekKeyed(void* opaque, int64_t offset, int whence);

    AVFormatContext* format_ = nullptr;
    AVIOContext* io_ = nullptr;
    MediaStream* stream_ = nullptr;
    std::vector<uint8_t> memory_;
    int64_t memoryPos_ = 0;
};

// The best stream of a type, skipping attached pictures for video; -1.
int BestStream(AVFormatContext* format, AVMediaType type);
// An opened decoder for the stream, or null.
CodecPtr OpenDecoder(const AVStream* stream);

// Decodes one stream of an opened input in file order, for a picture taken
// from it: packets of the other streams are passed over, and at the end of
// the input the decoder is drained. The objects are borrowed.
class FrameReader {
public:
    FrameReader(AVFormatContext* format, AVCodecContext* decoder, int index, AVPacket* packet)
        : format_(format), decoder_(decoder), packet_(packet), index_(index)
    {
    }

    enum class Result { Frame, Again, End };
    // Reads and sends the next packet (until the input ends), then takes a
    // frame into frame if the decoder has one.
    Result Next(AVFrame* frame);
    // The packets of the stream sent to the decoder so far.
    int PacketsSent() const { return sent_; }

private:
    AVFormatContext* format_;
    AVCodecContext* decoder_;
    AVPacket* packet_;
    int index_;
    bool draining_ = false;
    int sent_ = 0;
};

// Converts (and scales) a frame to 32-bit BGRA rows.
bool FrameToBgra(const AVFrame* frame, int width, int height, uint8_t* pixels, int lineSize);
// Decodes an encoded still image: the application's decoder first, then FFmpeg's.
bool DecodePicture(const std::vector<uint8_t>& bytes, Picture& out);
// The application's decoder alone; false when none is registered.
bool DecodeWithApplication(const std::vector<uint8_t>& bytes, Picture& out);

// The global services.
bool CodecThreads();
std::string TempFolder();
void Log(int level, const std::string& line);

}  // namespace mediacore

#endif
