#include "AudioOutput.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavutil/mathematics.h>
#include <libswresample/swresample.h>
}

namespace mediacore {

namespace {

constexpr MediaTime kSecond = 1000000;
// A hole in the sound's time line up to this long is played as silence;
// longer ones are taken as a broken time stamp and closed up.
constexpr MediaTime kMaxSilenceFill = 2 * kSecond;
constexpr MediaTime kGapThreshold = 100000;
// How long the clock trusts the last fill when no new one came.
constexpr MediaTime kClockGrace = 100000;
// The level block: the latest 50 ms played.
constexpr int kLevelsPerSecond = 20;

}  // namespace

AudioFormat OutputFormatFor(const AVStream* stream)
{
    AudioFormat format;
    if (!stream)
        return format;
    const int rate = stream->codecpar->sample_rate;
    if (rate >= 4000 && rate <= 384000)
        format.rate = rate;
    format.channels = stream->codecpar->ch_layout.nb_channels == 1 ? 1 : 2;
    return format;
}

// ---- AudioResampler ----

AudioResampler::~AudioResampler()
{
    swr_free(&swr_);
    av_channel_layout_uninit(&inLayout_);
}

bool AudioResampler::Convert(const AVFrame* frame, const AudioFormat& out, std::vector<int16_t>* samples)
{
    samples->clear();
    const int channels = frame->ch_layout.nb_channels;
    if (frame->nb_samples <= 0 || frame->sample_rate < 1000 || channels < 1 || channels > 64)
        return false;
    if (!swr_ || frame->sample_rate != inRate_ || frame->format != inFormat_ ||
        av_channel_layout_compare(&frame->ch_layout, &inLayout_) != 0) {
        swr_free(&swr_);
        av_channel_layout_uninit(&inLayout_);
        AVChannelLayout inLayout{};
        if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
            av_channel_layout_default(&inLayout, channels);
        else if (av_channel_layout_copy(&inLayout, &frame->ch_layout) < 0)
            return false;
        AVChannelLayout outLayout{};
        av_channel_layout_default(&outLayout, out.channels);
        const int r = swr_alloc_set_opts2(&swr_, &outLayout, AV_SAMPLE_FMT_S16, out.rate, &inLayout,
                                          static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0, nullptr);
        av_channel_layout_uninit(&inLayout);
        av_channel_layout_uninit(&outLayout);
        if (r < 0 || swr_init(swr_) < 0) {
            swr_free(&swr_);
            return false;
        }
        inRate_ = frame->sample_rate;
        inFormat_ = frame->format;
        if (av_channel_layout_copy(&inLayout_, &frame->ch_layout) < 0) {
            swr_free(&swr_);
            return false;
        }
    }
    const int room = swr_get_out_samples(swr_, frame->nb_samples);
    if (room <= 0)
        return false;
    samples->resize(static_cast<size_t>(room) * out.channels);
    auto* dst = reinterpret_cast<uint8_t*>(samples->data());
    const int done = swr_convert(swr_, &dst, room, const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
    if (done < 0) {
        samples->clear();
        return false;
    }
    samples->resize(static_cast<size_t>(done) * out.channels);
    return true;
}

// ---- AudioOutput ----

AudioOutput::AudioOutput(AudioFormat format)
    : format_(format), levels_(static_cast<size_t>(std::max(format.rate / kLevelsPerSecond, 64)), 0)
{
}

// av_rescale keeps the product of a (possibly damaged) time and a rate
// from overflowing.
int64_t AudioOutput::FramesOf(MediaTime t) const
{
    return av_rescale(t, format_.rate, kSecond);
}

MediaTime AudioOutput::TimeOf(int64_t frames) const
{
    return av_rescale(frames, kSecond, format_.rate);
}

MediaTime AudioOutput::FrontTimeLocked() const
{
    return frontBase_ + TimeOf(frontOffset_);
}

void AudioOutput::ReserveLocked(int64_t frames)
{
    const int64_t capacity = static_cast<int64_t>(ring_.size()) / format_.channels;
    if (frames_ + frames <= capacity)
        return;
    int64_t grown = std::max<int64_t>(capacity * 2, format_.rate);
    while (grown < frames_ + frames)
        grown *= 2;
    std::vector<int16_t> bigger(static_cast<size_t>(grown * format_.channels));
    for (int64_t i = 0; i < frames_; ++i) {
        const int64_t from = (head_ + i) % capacity;
        std::memcpy(&bigger[i * format_.channels], &ring_[from * format_.channels], sizeof(int16_t) * format_.channels);
    }
    ring_.swap(bigger);
    head_ = 0;
}

void AudioOutput::AppendLocked(const int16_t* samples, int64_t frames)
{
    ReserveLocked(frames);
    const int64_t capacity = static_cast<int64_t>(ring_.size()) / format_.channels;
    for (int64_t i = 0; i < frames;) {
        const int64_t slot = (head_ + frames_) % capacity;
        const int64_t run = std::min(frames - i, capacity - slot);
        if (samples)
            std::memcpy(&ring_[slot * format_.channels], samples + i * format_.channels,
                        sizeof(int16_t) * format_.channels * run);
        else
            std::memset(&ring_[slot * format_.channels], 0, sizeof(int16_t) * format_.channels * run);
        frames_ += run;
        i += run;
    }
}

void AudioOutput::DropFrontLocked(int64_t frames)
{
    frames = std::min(frames, frames_);
    if (frames <= 0)
        return;
    const int64_t capacity = static_cast<int64_t>(ring_.size()) / format_.channels;
    head_ = (head_ + frames) % capacity;
    frames_ -= frames;
    frontOffset_ += frames;
}

void AudioOutput::Push(const int16_t* samples, int64_t frames, MediaTime pts)
{
    if (frames <= 0)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (frames_ == 0) {
        // Nothing queued: this sound sets the time line (also after a
        // drain, so a hole in the sound does not pull the clock back).
        if (pts != kNoTime) {
            frontBase_ = pts;
            frontOffset_ = 0;
        }
    } else if (pts != kNoTime) {
        const MediaTime gap = pts - (FrontTimeLocked() + TimeOf(frames_));
        if (gap > kGapThreshold && gap <= kMaxSilenceFill)
            AppendLocked(nullptr, FramesOf(gap));
    }
    AppendLocked(samples, frames);
}

MediaTime AudioOutput::Buffered() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return TimeOf(frames_);
}

void AudioOutput::Flush()
{
    std::lock_guard<std::mutex> lock(mutex_);
    head_ = 0;
    frames_ = 0;
    frontBase_ = 0;
    frontOffset_ = 0;
    clockValid_ = false;
}

void AudioOutput::DiscardBefore(MediaTime t)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (frames_ > 0)
        DropFrontLocked(FramesOf(t - FrontTimeLocked()));
    clockValid_ = false;
}

void AudioOutput::Invalidate()
{
    std::lock_guard<std::mutex> lock(mutex_);
    clockValid_ = false;
}

void AudioOutput::RecordLevelsLocked(const int16_t* samples, int64_t frames)
{
    const int64_t size = static_cast<int64_t>(levels_.size());
    const int64_t skip = std::max<int64_t>(frames - size, 0);
    for (int64_t i = skip; i < frames; ++i) {
        int sum = 0;
        for (int c = 0; c < format_.channels; ++c)
            sum += samples[i * format_.channels + c];
        const int mono = std::abs(sum / format_.channels);
        levels_[levelsHead_] = static_cast<uint16_t>(std::min(mono * 2, 65535));
        levelsHead_ = (levelsHead_ + 1) % size;
    }
    levelsNew_ = true;
}

void AudioOutput::Fill(int16_t* out, int frames)
{
    const int64_t gain = static_cast<int64_t>(volume_.load()) * deviceVolume_.load();  // of 10000
    std::lock_guard<std::mutex> lock(mutex_);
    const int64_t capacity = static_cast<int64_t>(ring_.size()) / format_.channels;
    const int64_t n = std::min<int64_t>(frames, frames_);
    if (n > 0) {
        clockValid_ = true;
        clockPts_ = FrontTimeLocked();
        clockAt_ = std::chrono::steady_clock::now();
        clockSpan_ = TimeOf(n);
    } else {
        clockValid_ = false;
    }
    for (int64_t done = 0; done < n;) {
        const int64_t run = std::min(n - done, capacity - head_);
        const int16_t* src = &ring_[head_ * format_.channels];
        RecordLevelsLocked(src, run);
        int16_t* dst = out + done * format_.channels;
        for (int64_t i = 0; i < run * format_.channels; ++i)
            dst[i] = static_cast<int16_t>(src[i] * gain / 10000);
        DropFrontLocked(run);
        done += run;
    }
    std::memset(out + n * format_.channels, 0, sizeof(int16_t) * format_.channels * (frames - n));
}

bool AudioOutput::Clock(MediaTime* now) const
{
    const MediaTime latency = latency_.load();
    std::lock_guard<std::mutex> lock(mutex_);
    if (!clockValid_)
        return false;
    const MediaTime elapsed =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - clockAt_).count();
    // The sink stopped asking: we no longer know what is heard.
    if (elapsed > clockSpan_ + latency + kClockGrace)
        return false;
    *now = clockPts_ - latency + std::min(elapsed, clockSpan_);
    return true;
}

std::vector<uint16_t> AudioOutput::TakeLevels()
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<uint16_t> out;
    if (!levelsNew_)
        return out;
    levelsNew_ = false;
    out.reserve(levels_.size());
    out.insert(out.end(), levels_.begin() + levelsHead_, levels_.end());
    out.insert(out.end(), levels_.begin(), levels_.begin() + levelsHead_);
    return out;
}

}  // namespace mediacore
