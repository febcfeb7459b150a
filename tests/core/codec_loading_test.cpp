// FFmpeg's libraries are loaded only by a repair that needs them. This
// program links the shared library and nothing of FFmpeg, so the maps of
// its own process show what the library loaded. Each case runs in a child
// of its own: a library once loaded stays for the life of the process.
#include <dlfcn.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>

#include <gtest/gtest.h>

#include "mendcore/VideoRepair.h"
#include "support/Damage.h"
#include "support/Fixtures.h"

namespace {

// Set in a child that plays a system without FFmpeg.
std::atomic<bool> g_refuseFFmpeg{false};

}  // namespace

// Stands in for the C library's dlopen, which the shared library's own
// call binds to: it refuses FFmpeg's libraries when asked to.
extern "C" void* dlopen(const char* file, int mode)
{
    if (g_refuseFFmpeg && file && strncmp(file, "libav", 5) == 0)
        return nullptr;
    using Fn = void* (*)(const char*, int);
    static const Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "dlopen"));
    return real ? real(file, mode) : nullptr;
}

namespace {

using mendtest::ScratchDir;

struct Sink {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    int value = 0;
    static void On(JRVPProcessResult r, void* user)
    {
        auto* self = static_cast<Sink*>(user);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->value = r;
        self->done = true;
        self->cv.notify_all();
    }
    int Wait()
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (!cv.wait_for(lock, std::chrono::minutes(5), [&] { return done; }))
            return INT32_MIN;
        done = false;
        return value;
    }
};

// Parses and repairs path through the public interface; the parse's code
// when it fails or finds nothing, else the repair's.
int ParseAndRepair(const std::string& path, const std::string& out, int& damage)
{
    damage = 0;
    IVideoRepair* repair = CreateRepair();
    if (!repair)
        return INT32_MIN;
    Sink sink;
    int r = repair->SetFile(path.c_str()) ? repair->OpenFile(nullptr, &Sink::On, &sink) : INT32_MIN;
    if (r == 0)
        r = sink.Wait();
    damage = r == 0 ? repair->GetErrorsCount() : 0;
    if (r == 0 && damage > 0) {
        r = repair->RepairFile(out.c_str(), 1, &Sink::On, &sink, nullptr);
        if (r == 0)
            r = sink.Wait();
    }
    repair->CloseFile();
    DestroyRepair(repair);
    return r;
}

// The FFmpeg libraries mapped into this process, by name.
std::string FFmpegMapped()
{
    std::ifstream maps("/proc/self/maps");
    std::string line, found;
    for (const char* name : {"/libavutil.so", "/libavcodec.so", "/libavformat.so"}) {
        maps.clear();
        maps.seekg(0);
        while (std::getline(maps, line)) {
            if (line.find(name) != std::string::npos) {
                found += name + 1;
                found += ' ';
                break;
            }
        }
    }
    return found;
}

// A copy of the fixture cut at 80%: every container's parse records it as
// damage, and its repair runs.
std::string CutCopy(const ScratchDir& dir, const char* fixture)
{
    const std::string src = mendtest::FixturePath(fixture);
    const std::string dst = dir.Path(std::string("cut-") + fixture);
    const int64_t size = mendtest::FileSize(src);
    if (size <= 0 || !mendtest::CopyFile(src, dst) || !mendtest::TruncateFile(dst, size * 4 / 5))
        return "";
    return dst;
}

// The child's side of a case: a message and exit code 1 when it fails.
[[noreturn]] void Exit(const std::string& failure)
{
    if (!failure.empty()) {
        fprintf(stderr, "%s\n", failure.c_str());
        fflush(stderr);
    }
    _exit(failure.empty() ? 0 : 1);
}

std::string Describe(const char* fixture, int r, int damage)
{
    return std::string(fixture) + ": result " + std::to_string(r) + " after " + std::to_string(damage) +
           " damage records";
}

// Repairs of containers whose path needs no codec: none of them loads
// FFmpeg, and each completes.
void RepairWithoutCodecs()
{
    std::string failure;
    if (!FFmpegMapped().empty())
        Exit("mapped before any repair: " + FFmpegMapped());
    ScratchDir dir("codecs");
    for (const char* fixture : {"clip.wav", "clip.mkv", "clip_faststart.mp4", "clip.mp3", "clip.ogg"}) {
        const std::string in = CutCopy(dir, fixture);
        int damage = 0;
        const int r = in.empty() ? INT32_MIN : ParseAndRepair(in, dir.Path("out"), damage);
        if (r != 0 || damage == 0)
            failure += Describe(fixture, r, damage) + "\n";
    }
    const std::string mapped = FFmpegMapped();
    if (!mapped.empty())
        failure += "mapped after repairs that need no codec: " + mapped;
    Exit(failure);
}

// An AVI repair flags the key frames of its rebuilt index, which takes
// libavcodec's parser: with FFmpeg it loads it and completes; without it
// fails with its own code, and the repairs that need no codec still run.
void RepairWithCodecs(bool ffmpegThere)
{
    g_refuseFFmpeg = !ffmpegThere;
    std::string failure;
    ScratchDir dir("codecs");
    const std::string in = CutCopy(dir, "clip.avi");
    int damage = 0;
    int r = in.empty() ? INT32_MIN : ParseAndRepair(in, dir.Path("out.avi"), damage);
    if (r != (ffmpegThere ? 0 : JRVP_ERR_NO_CODEC_LIBRARY) || damage == 0)
        failure += Describe("clip.avi", r, damage) + "\n";
    const std::string mapped = FFmpegMapped();
    if (ffmpegThere && mapped.find("libavcodec") == std::string::npos)
        failure += "libavcodec not mapped after a key-frame parse: " + mapped + "\n";
    if (!ffmpegThere) {
        const std::string wav = CutCopy(dir, "clip.wav");
        r = wav.empty() ? INT32_MIN : ParseAndRepair(wav, dir.Path("out.wav"), damage);
        if (r != 0 || damage == 0)
            failure += Describe("clip.wav", r, damage) + "\n";
    }
    Exit(failure);
}

TEST(CodecLoading, RepairsThatNeedNoCodecLoadNoFFmpegLibrary)
{
    EXPECT_EXIT(RepairWithoutCodecs(), testing::ExitedWithCode(0), "^$");
}

TEST(CodecLoading, KeyFrameParseLoadsLibavcodecOrFailsWithItsOwnCode)
{
    EXPECT_EXIT(RepairWithCodecs(true), testing::ExitedWithCode(0), "^$");
    EXPECT_EXIT(RepairWithCodecs(false), testing::ExitedWithCode(0), "^$");
}

}  // namespace
