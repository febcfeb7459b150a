// Sound on its way to the device: the decoded samples not yet played, the
// clock they drive, the volume, and the latest played stretch for the level
// display. The player's thread fills it, a sink's thread drains it.
#ifndef VIDMEND_AUDIOOUTPUT_H
#define VIDMEND_AUDIOOUTPUT_H

#include <stdint.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <vector>

#include "MediaSource.h"

struct SwrContext;

namespace mediacore {

// Signed 16-bit interleaved samples at the stream's own rate, at most two
// channels.
struct AudioFormat {
    int rate = 44100;
    int channels = 2;
};
AudioFormat OutputFormatFor(const AVStream* stream);

// Decoded frames of any layout into the output format.
class AudioResampler {
 public:
    AudioResampler() = default;
    ~AudioResampler();
    AudioResampler(const AudioResampler&) = delete;
    AudioResampler& operator=(const AudioResampler&) = delete;

    // Replaces samples with frame's samples in format out; false when the
    // frame cannot be converted (it is then skipped).
    bool Convert(const AVFrame* frame, const AudioFormat& out, std::vector<int16_t>* samples);

 private:
    SwrContext* swr_ = nullptr;
    int inRate_ = 0;
    int inFormat_ = -1;
    AVChannelLayout inLayout_{};
};

class AudioOutput {
 public:
    explicit AudioOutput(AudioFormat format);

    const AudioFormat& Format() const { return format_; }

    // ---- the player's side ----
    // Appends interleaved frames that start at pts (kNoTime: right after
    // what is buffered). A short gap in the time line is filled with silence
    // so the clock keeps to the pictures.
    void Push(const int16_t* samples, int64_t frames, MediaTime pts);
    MediaTime Buffered() const;
    // Drops everything, after a seek; the clock stops until sound flows.
    void Flush();
    // Drops buffered sound earlier than t, so a resumed play starts at the
    // picture shown.
    void DiscardBefore(MediaTime t);
    // The sink's buffering, subtracted from the clock.
    void SetLatency(MediaTime latency) { latency_ = latency; }
    // The sink was paused: no sound is heard, the clock is not valid.
    void Invalidate();

    // ---- the sink's side: never blocks for long ----
    // Fills out with frames frames; silence where nothing is buffered.
    void Fill(int16_t* out, int frames);

    // The time of the sound being heard now. False while none is (before
    // the first fill after a flush or pause, or on an underrun).
    bool Clock(MediaTime* now) const;

    // 0-100 each; the gain is their product.
    void SetVolume(int volume) { volume_ = volume; }
    void SetDeviceVolume(int volume) { deviceVolume_ = volume; }

    // The latest played stretch as rectified mono levels (0 silence, 65535
    // full scale), oldest first; empty when nothing was played since the
    // last call.
    std::vector<uint16_t> TakeLevels();

 private:
    int64_t FramesOf(MediaTime t) const;
    MediaTime TimeOf(int64_t frames) const;
    MediaTime FrontTimeLocked() const;
    void ReserveLocked(int64_t frames);
    void AppendLocked(const int16_t* samples, int64_t frames);
    void DropFrontLocked(int64_t frames);
    void RecordLevelsLocked(const int16_t* samples, int64_t frames);

    const AudioFormat format_;
    std::atomic<MediaTime> latency_{0};
    std::atomic<int> volume_{100};
    std::atomic<int> deviceVolume_{100};

    mutable std::mutex mutex_;
    std::vector<int16_t> ring_;   // capacity in samples
    int64_t head_ = 0;            // first buffered frame's slot
    int64_t frames_ = 0;          // buffered frames
    MediaTime frontBase_ = 0;     // the time of the first buffered frame is
    int64_t frontOffset_ = 0;     // frontBase_ + frontOffset_ frames

    bool clockValid_ = false;
    MediaTime clockPts_ = 0;
    std::chrono::steady_clock::time_point clockAt_{};
    MediaTime clockSpan_ = 0;

    std::vector<uint16_t> levels_;  // a ring of the latest played levels
    int64_t levelsHead_ = 0;
    bool levelsNew_ = false;
};

}  // namespace mediacore

#endif
