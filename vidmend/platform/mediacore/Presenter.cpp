#include "Presenter.h"

namespace mediacore {

// ---- PlaybackClock ----

void PlaybackClock::Set(MediaTime t)
{
    std::lock_guard<std::mutex> lock(mutex_);
    base_ = t;
    since_ = std::chrono::steady_clock::now();
}

void PlaybackClock::Start()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_)
        return;
    since_ = std::chrono::steady_clock::now();
    running_ = true;
}

void PlaybackClock::Stop()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_)
        return;
    base_ = NowLocked();
    running_ = false;
}

MediaTime PlaybackClock::Now() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return NowLocked();
}

MediaTime PlaybackClock::NowLocked() const
{
    if (!running_)
        return base_;
    return base_ +
           std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - since_).count();
}

void PlaybackClock::FollowSound(const AudioOutput& audio)
{
    std::lock_guard<std::mutex> lock(mutex_);
    MediaTime heard;
    if (running_ && audio.Clock(&heard)) {
        base_ = heard;
        since_ = std::chrono::steady_clock::now();
    }
}

// ---- FrameQueue ----

void FrameQueue::Push(TimedFrame item)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        items_.push_back(std::move(item));
        woken_ = true;
    }
    changed_.notify_all();
}

void FrameQueue::PushFront(TimedFrame item)
{
    std::lock_guard<std::mutex> lock(mutex_);
    items_.push_front(std::move(item));
}

bool FrameQueue::PopFront(TimedFrame* item)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (items_.empty())
        return false;
    *item = std::move(items_.front());
    items_.pop_front();
    return true;
}

void FrameQueue::Clear()
{
    std::deque<TimedFrame> gone;
    std::lock_guard<std::mutex> lock(mutex_);
    gone.swap(items_);
}

size_t FrameQueue::Size() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return items_.size();
}

bool FrameQueue::TakeDue(MediaTime now, TimedFrame* item, MediaTime* wait, int64_t* dropped)
{
    std::lock_guard<std::mutex> lock(mutex_);
    while (!items_.empty()) {
        if (items_.front().pts > now) {
            *wait = items_.front().pts - now;
            return false;
        }
        if (items_.size() > 1 && items_[1].pts <= now) {
            // Late: the next one is due too.
            items_.pop_front();
            ++*dropped;
            continue;
        }
        *item = std::move(items_.front());
        items_.pop_front();
        return true;
    }
    *wait = -1;
    return false;
}

void FrameQueue::Sleep(MediaTime timeout)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (!woken_)
        changed_.wait_for(lock, std::chrono::microseconds(timeout), [this] { return woken_; });
    woken_ = false;
}

void FrameQueue::Wake()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        woken_ = true;
    }
    changed_.notify_all();
}

// ---- FramePresenter ----

void FramePresenter::Show(FramePtr frame)
{
    if (!frame)
        return;
    AVFrame* shown = frame.get();
    std::lock_guard<std::recursive_mutex> lock(callbackMutex_);
    {
        std::lock_guard<std::mutex> frameLock(frameMutex_);
        // Only Show replaces the current frame, under callbackMutex_, so
        // shown stays valid while it is delivered.
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
