// Playback of a 1080p H.264 clip through the player, as the preview plays
// it: every frame handed to a callback that copies the three planes, sound
// on the null sink (a real device when BENCH_AUDIO_DEVICE=1). Prints frames
// presented and dropped, overall and after the first second, the decode
// time per frame and the intervals between frames. A program to run by
// hand, not a test.
//
//   mediacore_player_bench [clip]     (no clip: one is made with ffmpeg)
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "MediaCore.h"
#include "MediaPlayer.h"
#include "MediaPlayerStats.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFps = 30;
constexpr int kSeconds = 12;

// What a video surface does with a frame: copy it under a lock.
struct Surface {
    std::mutex mutex;
    std::vector<uint8_t> pixels;
    std::vector<double> arrivals;  // seconds since play
    Clock::time_point start;
    std::atomic<bool> playing{false};

    static int Take(void* user, MediaFrame* frame)
    {
        auto* s = static_cast<Surface*>(user);
        const int h = mediaFrameHeight(frame);
        std::lock_guard<std::mutex> lock(s->mutex);
        size_t at = 0;
        for (int plane = 0; plane < 3; ++plane) {
            const size_t bytes = size_t(mediaFrameLineSize(frame, plane)) * (plane ? (h + 1) / 2 : h);
            if (s->pixels.size() < at + bytes)
                s->pixels.resize(at + bytes);
            std::memcpy(s->pixels.data() + at, mediaFrameData(frame, plane), bytes);
            at += bytes;
        }
        if (s->playing)
            s->arrivals.push_back(std::chrono::duration<double>(Clock::now() - s->start).count());
        return 1;
    }
};

// About 8 Mbit/s: what a camera or a download of 1080p30 carries.
std::string MakeClip()
{
    const char* tmp = std::getenv("TMPDIR");
    const std::string path = std::string(tmp && *tmp ? tmp : "/tmp") + "/mediacore_bench_" +
                             std::to_string(getpid()) + ".mp4";
    const std::string command =
        "ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i \"testsrc2=s=1920x1080:r=" +
        std::to_string(kFps) + ":d=" + std::to_string(kSeconds) +
        ",noise=alls=4:allf=t\" -f lavfi -i \"sine=frequency=440:sample_rate=48000:duration=" +
        std::to_string(kSeconds) +
        "\" -c:v libx264 -preset veryfast -crf 20 -pix_fmt yuv420p -c:a aac -threads 4 -f mp4 '" + path + "'";
    std::printf("making a %d s 1080p%d H.264 clip...\n", kSeconds, kFps);
    std::fflush(stdout);
    if (std::system(command.c_str()) != 0)
        return "";
    return path;
}

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv)
{
    const char* device = std::getenv("BENCH_AUDIO_DEVICE");
    if (!device || std::strcmp(device, "1") != 0)
        setenv("SDL_AUDIODRIVER", "dummy", 1);
    mediaStartup(0);
    const bool made = argc < 2;
    const std::string clip = made ? MakeClip() : argv[1];
    if (clip.empty()) {
        std::fprintf(stderr, "no clip\n");
        return 1;
    }

    MediaStream* stream = mediaOpenStream(clip.c_str(), MEDIA_STREAM_READ);
    MediaPlayer* player = mediaCreatePlayer(-1);
    const int opened = stream && mediaOpenPlayer(player, stream, 0, 0, 0, 0);
    mediaReleaseStream(stream);
    if (!opened) {
        std::fprintf(stderr, "cannot open %s\n", clip.c_str());
        mediaReleasePlayer(player);
        return 1;
    }
    Surface surface;
    mediaSetFrameCallback(player, Surface::Take, &surface);
    const double duration = mediaDuration(player) / 1e6;
    std::printf("clip %s: %dx%d, %.2f s, sound %s\n", clip.c_str(), mediaVideoWidth(player), mediaVideoHeight(player),
                duration, mediaHasAudio(player, 0) ? "yes" : "no");

    const double cpu0 = CpuSeconds();
    surface.start = Clock::now();
    surface.playing = true;
    mediaPlay(player);
    // The steady state: everything after the first second.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const mediacore::PlayerStats warm = mediacore::StatsOf(player);
    const auto limit = Clock::now() + std::chrono::duration<double>(duration + 10);
    while (!mediaIsAtEnd(player) && Clock::now() < limit)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const double wall = std::chrono::duration<double>(Clock::now() - surface.start).count();
    const double cpu = CpuSeconds() - cpu0;
    surface.playing = false;
    const mediacore::PlayerStats end = mediacore::StatsOf(player);
    mediaReleasePlayer(player);
    if (made)
        std::remove(clip.c_str());

    std::vector<double> gaps;
    {
        std::lock_guard<std::mutex> lock(surface.mutex);
        for (size_t i = 1; i < surface.arrivals.size(); ++i)
            gaps.push_back((surface.arrivals[i] - surface.arrivals[i - 1]) * 1000);
    }
    std::sort(gaps.begin(), gaps.end());
    const auto pct = [&](double p) { return gaps.empty() ? 0.0 : gaps[size_t(p * (gaps.size() - 1))]; };

    std::printf("sound: %s\n", end.audioDevice ? "device" : "null sink");
    std::printf("played %.2f s of %.2f s (at end: %s)\n", wall, duration, wall < duration + 10 ? "yes" : "no");
    std::printf("frames presented %lld, dropped %lld; after the first second: presented %lld, dropped %lld\n",
                (long long)end.presented, (long long)end.dropped, (long long)(end.presented - warm.presented),
                (long long)(end.dropped - warm.dropped));
    std::printf("decode %.2f ms per frame (time in the decoder calls, %lld frames); process CPU %.2f ms per frame\n",
                end.decodeMsPerFrame, (long long)end.decoded, end.decoded ? cpu * 1000 / end.decoded : 0.0);
    std::printf("frame intervals ms: median %.1f, 99%% %.1f, max %.1f\n", pct(0.5), pct(0.99), pct(1.0));
    return end.dropped - warm.dropped == 0 ? 0 : 2;
}
