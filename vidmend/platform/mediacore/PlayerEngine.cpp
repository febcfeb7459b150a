#include "PlayerEngine.h"

#include <algorithm>

extern "C" {
#include <libavutil/mathematics.h>
}

#include "MediaStreamAccess.h"

namespace mediacore {

namespace {

using Clock = std::chrono::steady_clock;

constexpr MediaTime kMs = 1000;
// Decoded ahead of the clock: pictures, and sound (which also covers the
// device's own buffering).
constexpr size_t kVideoAhead = 3;
constexpr MediaTime kAudioAhead = 500 * kMs;
// Demuxed packets waiting for a decoder, over both streams. Past it only a
// starving decoder gets more, and sound is dropped rather than held.
constexpr int64_t kMaxQueuedBytes = 32 << 20;
// The longest the thread sleeps while playing, so sound keeps flowing.
constexpr MediaTime kMaxPlayWait = 10 * kMs;
constexpr MediaTime kIdleWait = 500 * kMs;
// Units of work between looks at the clock and the commands.
constexpr int kUnitsPerTurn = 16;
// A picture this far from the clock is a break in the time line (damage),
// not lateness: the clock moves to it.
constexpr MediaTime kDiscontinuity = 3000 * kMs;
// How long opening may look for the first picture and sound.
constexpr std::chrono::seconds kFirstFrameDeadline{10};
// How long a frame step waits for the player thread.
constexpr std::chrono::seconds kStepWait{3};

}  // namespace

PlayerEngine::~PlayerEngine()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    wake_.notify_all();
    queue_.Wake();
    if (thread_.joinable())
        thread_.join();
    if (presentThread_.joinable())
        presentThread_.join();
    // The sink's thread reads audio_: it goes first.
    sink_.reset();
}

bool PlayerEngine::Open(MediaStream* stream)
{
    if (thread_.joinable() || !stream)
        return false;
    if (!source_.Open(DuplicateStream(stream), &quit_))
        return false;
    duration_ = std::clamp<MediaTime>(source_.Duration(), 0, kMaxMediaTime);
    frameInterval_ = source_.FrameInterval();
    audioFrame_ = MakeFrame();
    if (!audioFrame_)
        return false;
    deadline_ = Clock::now() + kFirstFrameDeadline;
    // Sound demuxed while looking for the first picture is decoded on the
    // way, so its packets do not pile up.
    if (source_.HasAudio())
        audio_ = std::make_unique<AudioOutput>(OutputFormatFor(source_.AudioStream()));

    VideoItem first;
    if (source_.HasVideo() && !NextVideoFrame(&first, true)) {
        // A video stream that yields no picture; the sound may still play.
        source_.DropVideo();
        source_.SeekToStart();
        if (audio_)
            audio_->Flush();
        audioEnded_ = false;
    }
    if (audio_) {
        while (audio_->Buffered() == 0 && !audioEnded_ && !Stopping() && Clock::now() < deadline_ &&
               source_.QueuedBytes() < kMaxQueuedBytes) {
            if (!DecodeAudioOnce() && !audioEnded_)
                source_.ReadPacket();  // at the end of input the decoder drains instead
        }
        if (audio_->Buffered() == 0) {
            source_.DropAudio();
            audio_.reset();
        }
        audioEnded_ = false;
    }
    deadline_ = {};
    hasVideo_ = source_.HasVideo();
    hasAudio_ = source_.HasAudio();
    if (!hasVideo_ && !hasAudio_)
        return false;

    MediaTime start = first.frame ? first.pts : kMaxMediaTime;
    if (hasVideo_) {
        const AVFrame* f = first.frame.get();
        width_ = f->width;
        height_ = f->height;
        const AVRational sar = av_guess_sample_aspect_ratio(nullptr, const_cast<AVStream*>(source_.VideoStream()),
                                                            const_cast<AVFrame*>(f));
        if (sar.num > 0 && sar.den > 0) {
            const int64_t w = av_rescale(f->width, sar.num, sar.den);
            if (w > 0 && w <= 4 * kMaxPictureSide) {
                displayWidth_ = static_cast<int>(w);
                displayHeight_ = f->height;
            }
        }
        Show(std::move(first));
    }
    if (hasAudio_)
        sink_ = OpenAudioSink(audio_.get());
    // Sound before the first picture is not played: the picture is where
    // the player stands.
    clock_.Set(hasVideo_ ? std::max<MediaTime>(start, 0) : 0);
    position_ = currentPts_ != kNoTime ? currentPts_.load() : 0;
    try {
        thread_ = std::thread([this] { Run(); });
        presentThread_ = std::thread([this] { PresentLoop(); });
    } catch (...) {
        // The destructor stops whichever thread started.
        quit_ = true;
        return false;
    }
    return true;
}

// ---- commands from the caller's thread ----

uint64_t PlayerEngine::PushLocked(Command command)
{
    command.seq = ++seq_;
    if (command.kind == Command::Kind::Seek) {
        // A seek makes whatever waits before it moot.
        commands_.clear();
        lastSeekSeq_ = command.seq;
        lastSeekTarget_ = command.target;
    }
    commands_.push_back(command);
    commandPending_ = true;
    wake_.notify_all();
    return command.seq;
}

void PlayerEngine::Play()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!thread_.joinable())
        return;
    if (atEnd_) {
        atEnd_ = false;
        PushLocked(Command{Command::Kind::Seek, 0, 0, 0});
    }
    playing_ = true;
    wake_.notify_all();
}

bool PlayerEngine::Pause()
{
    std::lock_guard<std::mutex> lock(mutex_);
    const bool was = playing_.exchange(false);
    wake_.notify_all();
    return was;
}

void PlayerEngine::Stop()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!thread_.joinable())
        return;
    playing_ = false;
    atEnd_ = false;
    PushLocked(Command{Command::Kind::Seek, 0, 0, 0});
}

void PlayerEngine::Seek(MediaTime t)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!thread_.joinable())
        return;
    atEnd_ = false;
    PushLocked(Command{Command::Kind::Seek, std::clamp<MediaTime>(t, 0, kMaxMediaTime), 0, 0});
}

void PlayerEngine::Step(int direction)
{
    if (direction == 0)
        return;
    std::unique_lock<std::mutex> lock(mutex_);
    if (!thread_.joinable())
        return;
    // A step leaves the player paused.
    playing_ = false;
    const uint64_t seq = PushLocked(Command{Command::Kind::Step, 0, direction > 0 ? 1 : -1, 0});
    // The caller reads the position right after a step: wait for it, but
    // not from the player's own thread (a frame callback), and not for ever.
    const std::thread::id self = std::this_thread::get_id();
    if (self != thread_.get_id() && self != presentThread_.get_id())
        done_.wait_for(lock, kStepWait, [&] { return doneSeq_ >= seq; });
}

void PlayerEngine::BeginAsyncSeek(MediaTime tolerance)
{
    tolerance_ = std::max<MediaTime>(tolerance, 0);
    asyncSeek_ = true;
}

void PlayerEngine::EndAsyncSeek()
{
    asyncSeek_ = false;
}

MediaTime PlayerEngine::Position() const
{
    MediaTime t;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // A seek not done yet reads as done: the caller shows its target.
        t = lastSeekSeq_ > doneSeq_ ? lastSeekTarget_ : position_.load();
    }
    t = std::max<MediaTime>(t, 0);
    return duration_ > 0 ? std::min(t, duration_) : t;
}

void PlayerEngine::SetVolume(int volume)
{
    if (audio_)
        audio_->SetVolume(std::clamp(volume, 0, 100));
}

void PlayerEngine::SetDeviceVolume(int volume)
{
    if (audio_)
        audio_->SetDeviceVolume(std::clamp(volume, 0, 100));
}

std::vector<uint16_t> PlayerEngine::TakeLevels(int* rate)
{
    if (!audio_)
        return {};
    *rate = audio_->Format().rate;
    return audio_->TakeLevels();
}

PlayerStats PlayerEngine::Stats() const
{
    PlayerStats stats;
    stats.presented = presented_;
    stats.dropped = dropped_;
    stats.decoded = decoded_;
    stats.decodeMsPerFrame = stats.decoded ? decodeNs_ / 1e6 / stats.decoded : 0;
    stats.audioDevice = sink_ && sink_->IsDevice();
    return stats;
}

// ---- the player thread ----

void PlayerEngine::Run()
{
    try {
        Loop();
    } catch (...) {
        // Nothing leaves the thread: the player stops where it is.
    }
    std::lock_guard<std::mutex> lock(mutex_);
    playing_ = false;
    doneSeq_ = UINT64_MAX;
    done_.notify_all();
}

bool PlayerEngine::Stopping() const
{
    return quit_;
}

void PlayerEngine::Loop()
{
    for (;;) {
        Command command;
        bool play;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (quit_)
                return;
            if (!commands_.empty()) {
                command = commands_.front();
                commands_.pop_front();
            }
            commandPending_ = !commands_.empty();
            play = playing_;
        }
        // First, so a step (which pauses) never races a picture being
        // presented.
        SetRunning(play);
        if (command.kind != Command::Kind::None) {
            Execute(command);
            std::lock_guard<std::mutex> lock(mutex_);
            doneSeq_ = std::max(doneSeq_, command.seq);
            done_.notify_all();
            continue;
        }
        MediaTime wait;
        if (running_) {
            wait = PlayTick();
        } else {
            // Paused: decode ahead so play and steps start at once.
            bool more = true;
            for (int unit = 0; unit < kUnitsPerTurn && more && !commandPending_; ++unit)
                more = PumpOnce();
            wait = more ? 0 : kIdleWait;
        }
        std::unique_lock<std::mutex> lock(mutex_);
        if (wait > 0 && !quit_ && commands_.empty() && playing_ == running_)
            wake_.wait_for(lock, std::chrono::microseconds(wait));
    }
}

void PlayerEngine::Execute(const Command& command)
{
    std::lock_guard<std::mutex> present(presentMutex_);
    if (command.kind == Command::Kind::Seek) {
        DoSeek(command.target, false);
    } else if (command.direction > 0) {
        DoStepForward();
    } else if (currentPts_ != kNoTime) {
        // Back to the key frame before, then forward to the picture just
        // before the one shown.
        DoSeek(currentPts_ - 1, true);
    }
    if (!hasVideo_)
        position_ = clock_.Now();
}

void PlayerEngine::SetRunning(bool run)
{
    if (run == running_)
        return;
    running_ = run;
    if (run) {
        if (audio_) {
            // Steps moved the picture past sound decoded earlier.
            const MediaTime now = clock_.Now();
            audio_->DiscardBefore(now);
            audioFloor_ = std::max(audioFloor_, now);
        }
        clock_.Start();
        if (sink_)
            sink_->SetPaused(false);
        presenting_ = true;
        queue_.Wake();
    } else {
        {
            // Waits for a picture being handed over.
            std::lock_guard<std::mutex> present(presentMutex_);
            presenting_ = false;
        }
        if (sink_)
            sink_->SetPaused(true);
        if (audio_)
            audio_->Invalidate();
        clock_.Stop();
    }
}

void PlayerEngine::FlushSound(MediaTime floor)
{
    audioFloor_ = floor;
    audioNext_ = kNoTime;
    if (audio_)
        audio_->Flush();
}

void PlayerEngine::DoSeek(MediaTime target, bool clockAtPicture)
{
    target = std::clamp<MediaTime>(target, 0, duration_ > 0 ? duration_ : kMaxMediaTime);
    audioEnded_ = false;
    if (!hasVideo_) {
        FlushSound(target);
        source_.SeekBefore(target);
        clock_.Set(target);
        return;
    }
    // While the caller scrubs, a target a little ahead of what is decoded
    // is reached by decoding on rather than seeking back to a key frame.
    TimedFrame front;
    const bool haveFront = queue_.PopFront(&front);
    const MediaTime from = haveFront ? front.pts : lastDecodedPts_;
    if (haveFront)
        queue_.PushFront(std::move(front));
    const bool decodeOn = asyncSeek_ && !videoEnded_ && from != kNoTime && target >= from &&
                          target - from <= tolerance_;
    if (decodeOn) {
        // The sound decoded ahead from here on is still good.
        audioFloor_ = target;
        if (audio_)
            audio_->DiscardBefore(target);
    } else {
        queue_.Clear();
        FlushSound(target);
        source_.SeekBefore(target);
        lastDecodedPts_ = kNoTime;
        videoEnded_ = false;
    }
    VideoItem item;
    SeekResult result = DecodeTo(target, &item);
    // A damaged index can put us past the target: look from the start once.
    if (!decodeOn && result == SeekResult::Found && item.pts > target + std::max(frameInterval_, 100 * kMs) &&
        target > 0) {
        queue_.Clear();
        FlushSound(target);
        source_.SeekToStart();
        lastDecodedPts_ = kNoTime;
        videoEnded_ = false;
        item = VideoItem{};
        result = DecodeTo(target, &item);
    }
    if (item.frame)
        Show(std::move(item));
    clock_.Set(clockAtPicture && result == SeekResult::Found ? currentPts_.load() : target);
}

PlayerEngine::SeekResult PlayerEngine::DecodeTo(MediaTime target, VideoItem* out)
{
    VideoItem candidate;
    for (;;) {
        if (Stopping())
            return SeekResult::Abandoned;
        if (asyncSeek_ && commandPending_) {
            // A newer target came while scrubbing: show what we have and
            // go on to that one.
            *out = std::move(candidate);
            return SeekResult::Abandoned;
        }
        VideoItem next;
        if (!queue_.PopFront(&next) && !NextVideoFrame(&next, true))
            break;
        if (next.pts <= target) {
            candidate = std::move(next);
            continue;
        }
        // Past the target: the picture before it is the one, unless the
        // first picture after the seek already lies beyond.
        if (!candidate.frame)
            candidate = std::move(next);
        else
            queue_.PushFront(std::move(next));
        break;
    }
    if (!candidate.frame)
        return SeekResult::Nothing;
    *out = std::move(candidate);
    return SeekResult::Found;
}

void PlayerEngine::DoStepForward()
{
    VideoItem next;
    if (!queue_.PopFront(&next) && !NextVideoFrame(&next, true))
        return;  // the last picture stays
    const MediaTime pts = next.pts;
    Show(std::move(next));
    if (audio_)
        audio_->DiscardBefore(pts);
    audioFloor_ = std::max(audioFloor_, pts);
    clock_.Set(pts);
}

void PlayerEngine::Show(VideoItem item)
{
    item.frame = converter_.ToYuv420(item.frame.get());
    ShowConverted(std::move(item));
}

void PlayerEngine::ShowConverted(VideoItem item)
{
    currentPts_ = item.pts;
    position_ = item.pts;
    if (!item.frame)
        return;  // a picture that would not convert: the last one stays
    ++presented_;
    presenter_.Show(std::move(item.frame));
}

bool PlayerEngine::NextVideoFrame(VideoItem* item, bool readPackets)
{
    FramePtr frame = MakeFrame();
    if (!frame)
        return false;
    for (;;) {
        if (Stopping() || (deadline_ != Clock::time_point{} && Clock::now() >= deadline_))
            return false;
        const auto start = Clock::now();
        const StreamDecoder::Result r = source_.Video().Receive(frame.get());
        decodeNs_ += std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
        if (r == StreamDecoder::Result::Frame) {
            MediaTime pts = source_.VideoTime(frame->best_effort_timestamp);
            if (pts == kNoTime)
                pts = lastDecodedPts_ == kNoTime ? 0 : lastDecodedPts_ + frameInterval_;
            lastDecodedPts_ = pts;
            ++decoded_;
            item->frame = std::move(frame);
            item->pts = pts;
            return true;
        }
        if (r == StreamDecoder::Result::End) {
            videoEnded_ = true;
            return false;
        }
        if (!readPackets)
            return false;
        // At the end of input the decoder drains on the next turn.
        ReadPacketForVideo();
    }
}

bool PlayerEngine::ReadPacketForVideo()
{
    const bool more = source_.ReadPacket();
    if (audio_) {
        while (source_.Audio().HasPackets() && audio_->Buffered() < kAudioAhead && DecodeAudioOnce()) {
        }
        // A picture far away (a long seek, damaged video) must not hold
        // all the sound on the way in memory.
        if (source_.Audio().QueuedBytes() > kMaxQueuedBytes)
            source_.Audio().DropPackets();
    }
    return more;
}

bool PlayerEngine::DecodeAudioOnce()
{
    if (!audio_)
        return false;
    const MediaTime requested = soundFloorRequest_.exchange(kNoTime);
    if (requested != kNoTime)
        FlushSound(requested);
    const StreamDecoder::Result r = source_.Audio().Receive(audioFrame_.get());
    if (r == StreamDecoder::Result::End)
        audioEnded_ = true;
    if (r != StreamDecoder::Result::Frame)
        return false;
    const MediaTime pts = source_.AudioTime(audioFrame_->best_effort_timestamp);
    const bool converted = resampler_.Convert(audioFrame_.get(), audio_->Format(), &samples_);
    av_frame_unref(audioFrame_.get());
    if (!converted)
        return true;
    const int channels = audio_->Format().channels;
    const int rate = audio_->Format().rate;
    const int64_t frames = static_cast<int64_t>(samples_.size()) / channels;
    MediaTime start = pts != kNoTime ? pts : audioNext_;
    int64_t skip = 0;
    if (start != kNoTime && start < audioFloor_) {
        // Sound before a seek's target or a stepped-to picture.
        skip = av_rescale(audioFloor_ - start, rate, 1000000);
        if (skip >= frames) {
            audioNext_ = start + av_rescale(frames, 1000000, rate);
            return true;
        }
        start = audioFloor_;
    }
    audio_->Push(samples_.data() + skip * channels, frames - skip, start);
    audioNext_ = start == kNoTime ? kNoTime : start + av_rescale(frames - skip, 1000000, rate);
    return true;
}

bool PlayerEngine::PumpOnce()
{
    const bool audioWants = audio_ && !audioEnded_ && audio_->Buffered() < kAudioAhead;
    if (audioWants && DecodeAudioOnce())
        return true;
    const bool videoWants = hasVideo_ && !videoEnded_ && queue_.Size() < kVideoAhead;
    if (videoWants) {
        VideoItem item;
        if (NextVideoFrame(&item, false)) {
            // Converted here, so the presenting thread only hands over.
            item.frame = converter_.ToYuv420(item.frame.get());
            queue_.Push(std::move(item));
            return true;
        }
    }
    const bool starving = (audioWants && !audioEnded_) || (videoWants && !videoEnded_);
    // Past the limit the other stream's packets fill the queue; they drain
    // as the clock runs on.
    if (!starving || source_.InputEnded() || source_.QueuedBytes() >= kMaxQueuedBytes)
        return false;
    source_.ReadPacket();
    return true;
}

MediaTime PlayerEngine::PlayTick()
{
    bool more = false;
    for (int unit = 0; unit < kUnitsPerTurn; ++unit) {
        if (commandPending_ || Stopping())
            return 0;
        more = PumpOnce();
        if (!more)
            break;
    }
    if (!hasVideo_)
        position_ = clock_.Now();
    if (CheckEnd() || more)
        return 0;
    return kMaxPlayWait;
}

// ---- the presenting thread ----

void PlayerEngine::PresentLoop()
{
    try {
        while (!quit_)
            queue_.Sleep(PresentDue());
    } catch (...) {
        // Nothing leaves the thread; pictures simply stop.
    }
}

MediaTime PlayerEngine::PresentDue()
{
    std::lock_guard<std::mutex> present(presentMutex_);
    if (!presenting_ || quit_)
        return kIdleWait;
    if (audio_)
        clock_.FollowSound(*audio_);
    MediaTime now = clock_.Now();
    TimedFrame item;
    MediaTime wait = 0;
    int64_t dropped = 0;
    bool due = queue_.TakeDue(now, &item, &wait, &dropped);
    if (!due && wait > kDiscontinuity && queue_.PopFront(&item)) {
        // A break in the time stamps, not a wait: the pictures carry on
        // from here, and sound from another time line is dropped.
        due = true;
        clock_.Set(item.pts);
        if (audio_)
            audio_->Flush();
        soundFloorRequest_ = item.pts;
    }
    dropped_ += dropped;
    if (due) {
        if (now - item.pts > kDiscontinuity) {
            clock_.Set(item.pts);  // so far behind that the time line broke
            if (audio_)
                audio_->Flush();
            soundFloorRequest_ = item.pts;
        }
        ShowConverted(std::move(item));
        wake_.notify_all();  // room in the queue
        return 0;
    }
    // Nothing queued: look again soon (the decoder wakes us on a push).
    return wait < 0 ? kMaxPlayWait : std::min(wait, kMaxPlayWait);
}

bool PlayerEngine::CheckEnd()
{
    if (!source_.InputEnded())
        return false;
    const MediaTime now = clock_.Now();
    const MediaTime shown = currentPts_;
    const bool videoDone = !hasVideo_ || (videoEnded_ && queue_.Size() == 0 &&
                                          (shown == kNoTime || now >= shown + frameInterval_));
    const bool audioDone = !audio_ || (audioEnded_ && audio_->Buffered() == 0);
    if (!videoDone || !audioDone)
        return false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        atEnd_ = true;
        playing_ = false;
    }
    SetRunning(false);
    if (!hasVideo_)
        position_ = clock_.Now();
    return true;
}

}  // namespace mediacore
