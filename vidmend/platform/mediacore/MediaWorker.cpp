#include "MediaWorker.h"

#include <exception>

namespace mediacore {

Worker::~Worker()
{
    Cancel();
    Join();
}

bool Worker::Start(Job job)
{
    if (started_ || !job)
        return false;
    started_ = true;
    running_ = true;
    try {
        thread_ = std::thread(&Worker::Body, this, std::move(job));
    } catch (const std::exception&) {
        running_ = false;
        result_ = -1;
        ended_ = true;
        return false;
    }
    return true;
}

void Worker::Body(Job job)
{
    int result;
    try {
        result = job(*this);
    } catch (...) {
        // Nothing leaves the thread: an allocation failure is a failed run.
        result = AVERROR(ENOMEM);
    }
    {
        std::lock_guard<std::mutex> hold(lock_);
        paused_ = false;
        if (result == kRunCancelled) {
            stopped_ = true;
        } else {
            result_ = result;
            ended_ = true;
        }
        running_ = false;
    }
    changed_.notify_all();
}

bool Worker::Running() const
{
    return running_;
}

bool Worker::RequestPause()
{
    std::lock_guard<std::mutex> hold(lock_);
    if (!running_ || cancel_)
        return false;
    pauseWanted_ = true;
    return true;
}

bool Worker::WaitPaused()
{
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait(hold, [this] { return paused_ || !running_ || !pauseWanted_; });
    return paused_;
}

bool Worker::RequestResume()
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (!running_ || !pauseWanted_)
            return false;
        pauseWanted_ = false;
    }
    changed_.notify_all();
    return true;
}

bool Worker::WaitResumed()
{
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait(hold, [this] { return !paused_ || !running_; });
    return running_;
}

void Worker::Cancel()
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        cancel_ = true;
    }
    changed_.notify_all();
}

void Worker::Join()
{
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
        thread_.join();
}

bool Worker::Checkpoint()
{
    std::unique_lock<std::mutex> hold(lock_);
    if (pauseWanted_ && !cancel_) {
        paused_ = true;
        changed_.notify_all();
        changed_.wait(hold, [this] { return !pauseWanted_ || cancel_; });
        paused_ = false;
        changed_.notify_all();
    }
    return !cancel_;
}

}  // namespace mediacore
