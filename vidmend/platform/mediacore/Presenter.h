// Showing pictures: the clock that paces them, and the presenter that keeps
// the current picture and hands it to the frame callback.
#ifndef VIDMEND_PRESENTER_H
#define VIDMEND_PRESENTER_H

#include <chrono>
#include <mutex>

#include "MediaPlayer.h"
#include "MediaSource.h"

struct MediaFrame {
    AVFrame* frame = nullptr;
};

namespace mediacore {

// Media time that runs with the steady clock while started. With sound it
// is set to the sound's clock on every turn, and carries on by itself
// through an underrun or after the sound ended. Player thread only.
class PlaybackClock {
 public:
    void Set(MediaTime t);
    void Start();
    void Stop();
    bool Running() const { return running_; }
    MediaTime Now() const;

 private:
    bool running_ = false;
    MediaTime base_ = 0;
    std::chrono::steady_clock::time_point since_{};
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
