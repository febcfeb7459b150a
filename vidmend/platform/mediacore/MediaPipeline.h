// The conversion pipeline: an input opened with its decoders, an output
// with its encoders and muxer, and the transcoder that feeds one into the
// other: decode -> crop -> rotate -> scale -> frame rate -> image watermark
// -> encode, audio resampled with its volume applied.
#ifndef VIDMEND_MEDIAPIPELINE_H
#define VIDMEND_MEDIAPIPELINE_H

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "ConvertSettings.h"
#include "MediaIO.h"

struct SwsContext;
struct SwrContext;
struct AVAudioFifo;

namespace mediacore {

// Results of a run besides 0 (done) and FFmpeg's negative errors.
constexpr int kRunCancelled = 1;

// The worker's side of pausing, cancelling and progress.
class RunControl {
public:
    virtual ~RunControl() = default;
    // Blocks while paused; false once cancelled.
    virtual bool Checkpoint() = 0;
    virtual bool Cancelled() const = 0;
    // Microseconds of output done within the current input.
    virtual void Progress(uint64_t done) = 0;
    // Microseconds of output the current input is expected to give.
    virtual void Expect(uint64_t) {}
};

// The kept range of an input, in microseconds from its first timestamp;
// length 0 runs to the end.
struct TrimRange {
    uint64_t start = 0;
    uint64_t length = 0;
    int64_t End() const { return length ? int64_t(start + length) : INT64_MAX; }
};

class InputMedia {
public:
    bool Open(const std::string& path, RunControl* control);
    Demuxer& Source() { return demuxer_; }
    int VideoIndex() const { return videoIndex_; }
    int AudioIndex() const { return audioIndex_; }
    AVCodecContext* VideoDecoder() const { return videoDecoder_.get(); }
    AVCodecContext* AudioDecoder() const { return audioDecoder_.get(); }
    // The picture's size after the crop and rotation of the settings.
    void ShapedSize(const SettingMap& s, int& width, int& height) const;
    AVRational FrameRate() const;
    uint64_t Duration() const;
    // Microseconds the range covers in this input.
    uint64_t Expected(const TrimRange& range) const;

private:
    static int Interrupted(void* opaque);

    Demuxer demuxer_;
    RunControl* control_ = nullptr;
    int videoIndex_ = -1;
    int audioIndex_ = -1;
    CodecPtr videoDecoder_;
    CodecPtr audioDecoder_;
};

// An image watermark ready to blend: planes at the size it is drawn.
struct PreparedOverlay {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    int alpha = 255;
    int64_t from = -1;  // output microseconds; -1 open
    int64_t until = -1;
    std::vector<uint8_t> planes[4];  // Y, U, V, A at full size
};

class OutputMedia {
public:
    OutputMedia() = default;
    ~OutputMedia();
    OutputMedia(const OutputMedia&) = delete;
    OutputMedia& operator=(const OutputMedia&) = delete;

    // Creates the file (which must not exist) and writes the header. The
    // streams follow the first input: video when it has a picture, audio
    // when it has sound. On failure nothing stays on disk.
    bool Open(const std::string& path, const std::string& format, const ConvertSettings& settings,
              InputMedia& first);
    // Flushes the encoders and writes the trailer; false when that failed.
    bool Close();
    // Removes a file that failed part-way.
    void Discard();
    bool IsOpen() const { return mux_ != nullptr; }

    bool HasVideo() const { return videoEncoder_ != nullptr; }
    bool HasAudio() const { return audioEncoder_ != nullptr; }
    int Width() const { return width_; }
    int Height() const { return height_; }
    AVRational Fps() const { return fps_; }
    int SampleRate() const;
    const AVChannelLayout* Layout() const;
    AVSampleFormat SampleFormat() const;
    int64_t VideoFrames() const { return videoFrames_; }
    int64_t AudioSamples() const { return audioSamples_; }
    // Output time of video frame k, microseconds.
    int64_t FrameTime(int64_t k) const;
    const SettingMap& Values() const { return settings_.values; }

    // A YUV420P picture of Width() x Height(); it is copied before the
    // watermarks are drawn.
    int WriteVideo(const AVFrame* picture);
    // Samples in the encoder's format, rate and layout.
    int WriteAudio(const uint8_t* const* data, int samples);
    // Brings the shorter stream up to the longer one: the last picture
    // repeated, or silence.
    int AlignStreams();

private:
    bool OpenVideo(InputMedia& first);
    bool OpenAudio(InputMedia& first);
    void PrepareOverlays();
    void DrawOverlays(AVFrame* picture, int64_t time) const;
    int EncodeVideo(AVFrame* frame);
    int EncodeAudio(AVFrame* frame);
    int DrainEncoder(AVCodecContext* encoder, AVStream* stream);
    int PushAudioFrames(bool final);
    void AddChapters();
    void Free();

    ConvertSettings settings_;
    std::string path_;
    AVFormatContext* mux_ = nullptr;
    bool headerWritten_ = false;
    CodecPtr videoEncoder_;
    CodecPtr audioEncoder_;
    AVStream* videoStream_ = nullptr;
    AVStream* audioStream_ = nullptr;
    int width_ = 0;
    int height_ = 0;
    AVRational fps_{25, 1};
    SwsContext* toEncoder_ = nullptr;  // YUV420P to the encoder's format
    FramePtr lastPicture_;
    FramePtr scratch_;
    int64_t videoFrames_ = 0;
    AVAudioFifo* fifo_ = nullptr;
    int64_t audioSamples_ = 0;  // samples handed to the encoder
    int64_t audioQueued_ = 0;   // samples taken in, queued or encoded
    std::vector<PreparedOverlay> overlays_;
    PacketPtr packet_;
};

// Crop, rotation and scaling of decoded pictures into the output's size.
class PictureShaper {
public:
    ~PictureShaper();
    bool Setup(const SettingMap& s, int outWidth, int outHeight);
    // The shaped picture (YUV420P, owned by the shaper) or null.
    const AVFrame* Shape(const AVFrame* decoded);

private:
    bool Rotate(const AVFrame* cropped);

    int quarterTurns_ = 0;
    int flip_ = 0;
    bool pad_ = false;
    uint32_t padColour_ = 0xFF000000u;
    double crop_[4] = {0.0, 0.0, 1.0, 1.0};
    int outWidth_ = 0;
    int outHeight_ = 0;
    SwsContext* toTurn_ = nullptr;
    SwsContext* toOutput_ = nullptr;
    FramePtr turned_;
    FramePtr work_;
    FramePtr output_;
};

// Feeds one input's kept range into the output.
class Transcoder {
public:
    Transcoder(InputMedia& input, OutputMedia& output, const TrimRange& range, RunControl& control);
    ~Transcoder();
    // 0 when the range went through, kRunCancelled, or a negative error.
    int Run();

private:
    int Feed(AVCodecContext* decoder, const AVPacket* packet, bool video);
    int TakeVideo(const AVFrame* frame);
    int EmitPending(int64_t end);
    int TakeAudio(const AVFrame* frame);
    bool SetupResampler(const AVFrame* frame);
    void ApplyVolume(uint8_t** data, int samples) const;
    void ReportProgress();

    InputMedia& input_;
    OutputMedia& output_;
    TrimRange range_;
    RunControl& control_;
    PictureShaper shaper_;
    FramePtr pending_;          // the last shaped picture, not yet emitted
    int64_t pendingTime_ = AV_NOPTS_VALUE;
    int64_t lastDuration_ = 0;
    int64_t firstFrame_ = 0;    // the output frame this input starts at
    int64_t firstSample_ = 0;
    bool videoDone_ = true;
    bool audioDone_ = true;
    int64_t audioClock_ = AV_NOPTS_VALUE;
    SwrContext* resampler_ = nullptr;
    int resamplerRate_ = 0;
    int resamplerFormat_ = -1;
    AVChannelLayout resamplerLayout_{};
    std::vector<uint8_t> converted_;
    FramePtr decoded_;
};

// Copies the packets of the kept range as they are: video from the key
// frame at or before the start. Chapters and tags per the settings.
struct CopyOptions {
    TrimRange range;
    std::string formatPath;                 // the container follows this name; empty: the output's
    bool keepTags = true;
    bool keepChapters = true;
    std::vector<ChapterSetting> chapters;   // replace the input's when not empty
    std::vector<std::pair<std::string, std::string>> tags;  // set (overriding)
    std::vector<uint8_t> cover;            // a new attached picture when not empty
};
// The output file exists (made by the caller) and is overwritten; on
// failure it is left for the caller to remove.
int CopyStreams(const std::string& input, const std::string& output, const CopyOptions& options,
                RunControl& control);

// Adds the chapters that last at all to a muxer before its header is
// written, in microseconds, titled where they have a title. Stops quietly
// when memory runs out: chapters are not worth failing a conversion for.
void AppendChapters(AVFormatContext* mux, const std::vector<ChapterSetting>& chapters);

}  // namespace mediacore

#endif
