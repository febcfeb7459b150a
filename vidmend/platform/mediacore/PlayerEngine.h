// The player behind the C interface: one thread that demuxes, decodes and
// presents, driven by commands from the caller's thread.
#ifndef VIDMEND_PLAYERENGINE_H
#define VIDMEND_PLAYERENGINE_H

#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "AudioOutput.h"
#include "AudioSink.h"
#include "MediaSource.h"
#include "Presenter.h"
#include "VideoFrames.h"

namespace mediacore {

// Figures for the benchmark.
struct PlayerStats {
    int64_t presented = 0;  // pictures handed to the presenter while playing or seeking
    int64_t dropped = 0;    // pictures skipped because they were late
    int64_t decoded = 0;    // pictures out of the decoder
    double decodeMsPerFrame = 0;
    bool audioDevice = false;  // sound goes to a device, not the null sink
};

class PlayerEngine {
 public:
    PlayerEngine() = default;
    // Stops the thread; no frame callback runs after this.
    ~PlayerEngine();
    PlayerEngine(const PlayerEngine&) = delete;
    PlayerEngine& operator=(const PlayerEngine&) = delete;

    // Reads through a stream of its own on the same file; the caller keeps
    // stream. Opens paused on the first picture. Once only.
    bool Open(MediaStream* stream);

    void Play();
    // Whether it was playing.
    bool Pause();
    void Stop();
    void Seek(MediaTime t);
    void Step(int direction);
    void BeginAsyncSeek(MediaTime tolerance);
    void EndAsyncSeek();

    bool AtEnd() const { return atEnd_; }
    bool Playing() const { return playing_; }
    MediaTime Position() const;
    MediaTime Duration() const { return duration_; }

    void SetVolume(int volume);
    void SetDeviceVolume(int volume);

    bool HasVideo() const { return hasVideo_; }
    bool HasAudio() const { return hasAudio_; }
    int VideoWidth() const { return width_; }
    int VideoHeight() const { return height_; }
    int DisplayWidth() const { return displayWidth_; }
    int DisplayHeight() const { return displayHeight_; }

    FramePresenter& Presenter() { return presenter_; }
    // The latest played sound as levels, and its rate; empty when none is new.
    std::vector<uint16_t> TakeLevels(int* rate);

    PlayerStats Stats() const;

 private:
    struct Command {
        enum class Kind { None, Seek, Step } kind = Kind::None;
        MediaTime target = 0;
        int direction = 0;
        uint64_t seq = 0;
    };
    struct VideoItem {
        FramePtr frame;
        MediaTime pts = kNoTime;
    };
    enum class SeekResult { Found, Abandoned, Nothing };

    uint64_t PushLocked(Command command);

    // ---- player thread ----
    void Run();
    void Loop();
    void Execute(const Command& command);
    void DoSeek(MediaTime target, bool clockAtPicture);
    void DoStepForward();
    SeekResult DecodeTo(MediaTime target, VideoItem* out);
    void SetRunning(bool run);
    MediaTime PlayTick();
    bool PumpOnce();
    void SyncClock();
    void PresentDue();
    bool CheckEnd();
    void Show(VideoItem item);
    bool NextVideoFrame(VideoItem* item, bool readPackets);
    bool DecodeAudioOnce();
    bool ReadPacketForVideo();
    bool Stopping() const;

    // ---- decoding, owned by the player thread after Open ----
    MediaSource source_;
    FrameConverter converter_;
    FramePresenter presenter_;
    std::unique_ptr<AudioOutput> audio_;
    std::unique_ptr<AudioSink> sink_;
    AudioResampler resampler_;
    std::vector<int16_t> samples_;
    FramePtr audioFrame_;
    PlaybackClock clock_;
    std::deque<VideoItem> queue_;
    MediaTime currentPts_ = kNoTime;
    MediaTime lastDecodedPts_ = kNoTime;
    MediaTime audioFloor_ = -kMaxMediaTime;
    MediaTime audioNext_ = kNoTime;
    bool videoEnded_ = false;
    bool audioEnded_ = false;
    bool running_ = false;
    // Set while opening: the first picture must come within this.
    std::chrono::steady_clock::time_point deadline_{};

    // ---- fixed after Open, or atomic ----
    std::atomic<bool> hasVideo_{false};
    std::atomic<bool> hasAudio_{false};
    MediaTime duration_ = 0;
    MediaTime frameInterval_ = 40000;
    std::atomic<int> width_{0}, height_{0}, displayWidth_{0}, displayHeight_{0};
    std::atomic<MediaTime> position_{0};
    std::atomic<bool> playing_{false};
    std::atomic<bool> atEnd_{false};
    std::atomic<bool> asyncSeek_{false};
    std::atomic<MediaTime> tolerance_{0};
    std::atomic<bool> commandPending_{false};
    std::atomic<bool> quit_{false};
    std::atomic<int64_t> presented_{0}, dropped_{0}, decoded_{0}, decodeNs_{0};

    // ---- commands ----
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::deque<Command> commands_;
    uint64_t seq_ = 0;
    uint64_t doneSeq_ = 0;
    uint64_t lastSeekSeq_ = 0;
    MediaTime lastSeekTarget_ = 0;

    std::thread thread_;
};

}  // namespace mediacore

#endif
