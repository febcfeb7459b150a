// Showing pictures: the clock that paces them, the queue of decoded
// pictures waiting for their time, and the presenter that keeps the current
// picture and hands it to the frame callback.
#ifndef VIDMEND_PRESENTER_H
#define VIDMEND_PRESENTER_H

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "AudioOutput.h"
#include "MediaPlayer.h"
#include "MediaSource.h"

struct MediaFrame {
    AVFrame* frame = nullptr;
};

namespace mediacore {

// A decoded picture and its time.
struct TimedFrame {
    FramePtr frame;
    MediaTime pts = kNoTime;
};

// Media time that runs with the steady clock while started. While sound
// plays it is set to the sound's clock; it carries on by itself through an
// underrun, after the sound ended, and without sound.
class PlaybackClock {
 public:
    void Set(MediaTime t);
    void Start();
    void Stop();
    MediaTime Now() const;
    // Follows the sound's clock when that is valid. Whoever moves the clock
    // for a seek flushes the sound first, so a reading taken before the
    // flush never lands after the seek's own Set.
    void FollowSound(const AudioOutput& audio);

 private:
    MediaTime NowLocked() const;

    mutable std::mutex mutex_;
    bool running_ = false;
    MediaTime base_ = 0;
    std::chrono::steady_clock::time_point since_{};
};

// Pictures decoded ahead, in presentation order. The decoding thread
// fills it, the presenting thread takes from it.
class FrameQueue {
 public:
    void Push(TimedFrame item);
    void PushFront(TimedFrame item);
    bool PopFront(TimedFrame* item);
    void Clear();
    size_t Size() const;

    // The picture due at now, skipping late ones whose successor is due as
    // well (counted in dropped). False when none is due; wait then says
    // how long until the first one is (or -1 when the queue is empty).
    bool TakeDue(MediaTime now, TimedFrame* item, MediaTime* wait, int64_t* dropped);

    // The presenting thread sleeps here until woken or timeout.
    void Sleep(MediaTime timeout);
    void Wake();

 private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool woken_ = false;
    std::deque<TimedFrame> items_;
};

class FramePresenter {
 public:
    // Makes frame (planar YUV 4:2:0) the current one and delivers it.
    void Show(FramePtr frame);
    // Delivers the current frame again, on the calling thread.
    void Redraw();
    // After this returns the previous callback is never called again.
    void SetCallback(MediaFrameCallback callback, void* user);
    // A reference to the current frame, or null.
    FramePtr Current() const;

 private:
    void DeliverLocked(AVFrame* frame);

    // Held while a callback runs, so a swap waits for it. Recursive: a
    // callback may ask for a redraw or set the callback itself.
    std::recursive_mutex callbackMutex_;
    MediaFrameCallback callback_ = nullptr;
    void* user_ = nullptr;

    // Lock order: callbackMutex_, then frameMutex_.
    mutable std::mutex frameMutex_;
    FramePtr current_;
};

}  // namespace mediacore

#endif
