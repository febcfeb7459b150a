// The thread a conversion or merge runs on, with the caller's controls:
// pause and resume (asked, then waited for), cancel, and the reports the
// caller polls (ended, stopped, paused, result, progress).
#ifndef VIDMEND_MEDIAWORKER_H
#define VIDMEND_MEDIAWORKER_H

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "MediaPipeline.h"

namespace mediacore {

class Worker : public RunControl {
public:
    // The job returns 0, kRunCancelled or a negative error.
    using Job = std::function<int(Worker&)>;

    Worker() = default;
    ~Worker() override;
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // False when a job was already started on this worker.
    bool Start(Job job);
    bool Started() const { return started_; }
    bool Running() const;
    bool RequestPause();
    bool WaitPaused();
    bool RequestResume();
    bool WaitResumed();
    void Cancel();
    // Waits for the thread to end.
    void Join();

    bool Ended() const { return ended_; }
    bool Stopped() const { return stopped_; }
    bool Paused() const { return paused_; }
    int Result() const { return result_; }

    bool Checkpoint() override;
    bool Cancelled() const override { return cancel_; }
    void Progress(uint64_t done) override { done_ = base_ + done; }
    void Expect(uint64_t total) override { total_ = total; }

    // Progress over several inputs: what earlier inputs added, and the total.
    void SetBase(uint64_t base) { base_ = base; done_ = base; }
    void SetTotal(uint64_t total) { total_ = total; }
    uint64_t Done() const { return done_; }
    uint64_t Total() const { return total_; }

private:
    void Body(Job job);

    std::thread thread_;
    bool started_ = false;
    mutable std::mutex lock_;
    std::condition_variable changed_;
    bool pauseWanted_ = false;
    std::atomic<bool> running_{false};
    std::atomic<bool> paused_{false};
    std::atomic<bool> cancel_{false};
    std::atomic<bool> ended_{false};
    std::atomic<bool> stopped_{false};
    std::atomic<int> result_{0};
    std::atomic<uint64_t> base_{0};
    std::atomic<uint64_t> done_{0};
    std::atomic<uint64_t> total_{0};
};

}  // namespace mediacore

#endif
