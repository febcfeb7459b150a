// The player behind the C interface. A decoding thread runs the caller's
// commands (seeks, steps) and keeps pictures and sound decoded ahead; a
// presenting thread hands each picture over when the clock reaches it, so
// a decoder call that blocks never makes a picture late.
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
    using VideoItem = TimedFrame;
    enum class SeekResult { Found, Abandoned, Nothing };

    uint64_t PushLocked(Command command);

    // ---- decoding thread ----
    void Run();
    void Loop();
    void Execute(const Command& command);
    void DoSeek(MediaTime target, bool clockAtPicture);
    void DoStepForward();
    SeekResult DecodeTo(MediaTime target, VideoItem* out);
    void SetRunning(bool run);
    MediaTime PlayTick();
    bool PumpOnce();
    bool CheckEnd();
    void Show(VideoItem item);
    bool NextVideoFrame(VideoItem* item, bool readPackets);
    bool DecodeAudioOnce();
    bool ReadPacketForVideo();
    void FlushSound(MediaTime floor);
    bool Stopping() const;

    // ---- presenting thread ----
    void PresentLoop();
    MediaTime PresentDue();
    void ShowConverted(VideoItem item);

    // ---- decoding, owned by the decoding thread after Open ----
    MediaSource source_;
    FrameConverter converter_;
    AudioResampler resampler_;
    std::vector<int16_t> samples_;
    FramePtr audioFrame_;
    MediaTime lastDecodedPts_ = kNoTime;
    MediaTime audioFloor_ = -kMaxMediaTime;
    MediaTime audioNext_ = kNoTime;
    bool videoEnded_ = false;
    bool audioEnded_ = false;
    bool running_ = false;
    // Set while opening: the first picture must come within this.
    std::chrono::steady_clock::time_point deadline_{};

    // ---- shared by the two threads (each locks or is atomic) ----
    FramePresenter presenter_;
    FrameQueue queue_;
    PlaybackClock clock_;
    std::unique_ptr<AudioOutput> audio_;
    std::unique_ptr<AudioSink> sink_;
    // Held while a picture is handed over, and by the decoding thread for a
    // whole seek or step and while stopping: a picture from before a seek
    // can never be shown after it.
    std::mutex presentMutex_;
    std::atomic<bool> presenting_{false};
    std::atomic<MediaTime> currentPts_{kNoTime};
    // A break in the time stamps found by the presenter: the decoding
    // thread drops sound up to here.
    std::atomic<MediaTime> soundFloorRequest_{kNoTime};

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
    std::thread presentThread_;
};

}  // namespace mediacore

#endif
