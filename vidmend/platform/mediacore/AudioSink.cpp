#include "AudioSink.h"

#include <SDL2/SDL.h>

#include <cstdlib>
#include <cstring>
#include <condition_variable>
#include <thread>

namespace mediacore {

namespace {

constexpr MediaTime kSecond = 1000000;
// The null sink wakes this often and drains what the elapsed time played.
constexpr std::chrono::milliseconds kNullTick{10};
constexpr int kNullMaxFrames = 8192;
// About 20 ms at 48 kHz: short enough for a steady clock, long enough not
// to underrun on a busy machine.
constexpr Uint16 kDeviceFrames = 1024;

// SDL's audio subsystem is counted by SDL itself; this only keeps two
// players from initialising it at the same moment.
std::mutex& SdlMutex()
{
    static std::mutex mutex;
    return mutex;
}

class NullSink final : public AudioSink {
 public:
    explicit NullSink(AudioOutput* output) : output_(output), thread_([this] { Run(); }) {}

    ~NullSink() override
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            quit_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }

    void SetPaused(bool paused) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (paused == paused_)
            return;
        paused_ = paused;
        since_ = std::chrono::steady_clock::now();
        drained_ = 0;
        wake_.notify_all();
    }

    bool IsDevice() const override { return false; }

 private:
    void Run()
    {
        try {
            Drain();
        } catch (...) {
            // Nothing leaves the thread: without it the sound stops, and
            // the pictures carry on by the steady clock.
        }
    }

    void Drain()
    {
        const AudioFormat format = output_->Format();
        std::vector<int16_t> scratch(static_cast<size_t>(kNullMaxFrames) * format.channels);
        std::unique_lock<std::mutex> lock(mutex_);
        while (!quit_) {
            wake_.wait_for(lock, kNullTick);
            if (quit_ || paused_)
                continue;
            const auto elapsed =
                std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - since_).count();
            const int64_t due = elapsed * format.rate / kSecond - drained_;
            if (due <= 0)
                continue;
            // After a stall (a suspended machine) we do not catch up in a
            // burst: the sound simply resumes.
            const int frames = static_cast<int>(std::min<int64_t>(due, kNullMaxFrames));
            drained_ += due;
            lock.unlock();
            output_->Fill(scratch.data(), frames);
            lock.lock();
        }
    }

    AudioOutput* output_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool quit_ = false;
    bool paused_ = true;
    std::chrono::steady_clock::time_point since_ = std::chrono::steady_clock::now();
    int64_t drained_ = 0;
    std::thread thread_;  // last: starts once the fields above exist
};

class SdlSink final : public AudioSink {
 public:
    SdlSink(AudioOutput* output, SDL_AudioDeviceID device) : output_(output), device_(device) {}

    ~SdlSink() override
    {
        // Closing waits for a running callback, so none follows.
        std::lock_guard<std::mutex> lock(SdlMutex());
        SDL_CloseAudioDevice(device_);
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
    }

    void SetPaused(bool paused) override { SDL_PauseAudioDevice(device_, paused ? 1 : 0); }
    bool IsDevice() const override { return true; }

    static void Callback(void* user, Uint8* stream, int len)
    {
        auto* output = static_cast<AudioOutput*>(user);
        const int frameBytes = static_cast<int>(sizeof(int16_t)) * output->Format().channels;
        output->Fill(reinterpret_cast<int16_t*>(stream), len / frameBytes);
        const int rest = len % frameBytes;
        if (rest)
            std::memset(stream + len - rest, 0, static_cast<size_t>(rest));
    }

 private:
    AudioOutput* output_;
    SDL_AudioDeviceID device_;
};

bool DummyDriverAsked()
{
    const char* driver = std::getenv("SDL_AUDIODRIVER");
    return driver && std::strcmp(driver, "dummy") == 0;
}

}  // namespace

std::unique_ptr<AudioSink> OpenNullSink(AudioOutput* output)
{
    output->SetLatency(0);
    return std::make_unique<NullSink>(output);
}

std::unique_ptr<AudioSink> OpenAudioSink(AudioOutput* output)
{
    if (DummyDriverAsked())
        return OpenNullSink(output);
    const AudioFormat format = output->Format();
    SDL_AudioDeviceID device = 0;
    {
        std::lock_guard<std::mutex> lock(SdlMutex());
        // We are a library: SIGINT and SIGTERM stay the program's.
        SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
        if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0)
            return OpenNullSink(output);
        SDL_AudioSpec want{};
        want.freq = format.rate;
        want.format = AUDIO_S16SYS;
        want.channels = static_cast<Uint8>(format.channels);
        want.samples = kDeviceFrames;
        want.callback = SdlSink::Callback;
        want.userdata = output;
        SDL_AudioSpec have{};
        // No changes allowed: SDL converts to whatever the device wants.
        device = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
        if (device == 0) {
            SDL_QuitSubSystem(SDL_INIT_AUDIO);
            return OpenNullSink(output);
        }
        // One buffer is queued ahead of the one being heard.
        output->SetLatency(static_cast<MediaTime>(have.samples) * kSecond / std::max(have.freq, 1));
    }
    return std::make_unique<SdlSink>(output, device);
}

}  // namespace mediacore
