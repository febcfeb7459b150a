#include "Presenter.h"

namespace mediacore {

void PlaybackClock::Set(MediaTime t)
{
    base_ = t;
    since_ = std::chrono::steady_clock::now();
}

void PlaybackClock::Start()
{
    if (running_)
        return;
    since_ = std::chrono::steady_clock::now();
    running_ = true;
}

void PlaybackClock::Stop()
{
    if (!running_)
        return;
    base_ = Now();
    running_ = false;
}

MediaTime PlaybackClock::Now() const
{
    if (!running_)
        return base_;
    return base_ +
           std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - since_).count();
}

void FramePresenter::Show(FramePtr frame)
{
    if (!frame)
        return;
    AVFrame* shown = frame.get();
    std::lock_guard<std::recursive_mutex> lock(callbackMutex_);
    {
        std::lock_guard<std::mutex> frameLock(frameMutex_);
        // The previous frame is freed here; nobody else holds it but a
        // redraw, which takes its own reference.
        current_ = std::move(frame);
    }
    DeliverLocked(shown);
}

void FramePresenter::Redraw()
{
    std::lock_guard<std::recursive_mutex> lock(callbackMutex_);
    if (!callback_)
        return;
    FramePtr frame = Current();
    if (frame)
        DeliverLocked(frame.get());
}

void FramePresenter::SetCallback(MediaFrameCallback callback, void* user)
{
    std::lock_guard<std::recursive_mutex> lock(callbackMutex_);
    callback_ = callback;
    user_ = user;
}

FramePtr FramePresenter::Current() const
{
    std::lock_guard<std::mutex> lock(frameMutex_);
    if (!current_)
        return nullptr;
    FramePtr ref = MakeFrame();
    if (!ref || av_frame_ref(ref.get(), current_.get()) < 0)
        return nullptr;
    return ref;
}

void FramePresenter::DeliverLocked(AVFrame* frame)
{
    if (!callback_)
        return;
    MediaFrame wrapper{frame};
    callback_(user_, &wrapper);
}

}  // namespace mediacore
