// Stream failures and long copies as a repair meets them: a seek that does
// not land ends the repair with the stream's error, an abort ends a long
// copy within a few blocks, and progress only ever rises.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/BaseStream.h"
#include "core/FormatRegistry.h"
#include "core/TestDoubles.h"
#include "support/CountingStream.h"
#include "support/Damage.h"
#include "support/Fixtures.h"

using mendtest::kWorkerGuard;
using mendtest::MemoryVideoStream;
using mendtest::RepairScript;
using mendtest::ScriptedRepair;

namespace {

// Passes everything to a file, but once told to lie, every seek lands one
// byte past its target and says so, as a broken device or driver might.
class LyingStream : public IBaseStream {
public:
    explicit LyingStream(IBaseStream* inner) : m_inner(inner) {}
    void Lie() { m_lie = true; }

    unsigned int Read(void* buf, unsigned int n) override { return m_inner->Read(buf, n); }
    unsigned int Write(const void* buf, unsigned int n) override { return m_inner->Write(buf, n); }
    long long GetLength() override { return m_inner->GetLength(); }
    long long SetLength(long long length) override { return m_inner->SetLength(length); }
    long long GetPos() override { return m_inner->GetPos(); }
    long long SeekTo(long long pos) override { return m_inner->SeekTo(m_lie ? pos + 1 : pos); }
    long long JumpOver(long long d) override { return SeekTo(GetPos() + d); }
    bool Failed() override { return m_inner->Failed(); }

private:
    IBaseStream* m_inner;
    bool m_lie = false;
};

// The input of a copy, counted, whose reads stop at given offsets until
// the test lets each go: the test looks at the copy, or aborts it, at points
// the copy cannot run past, however the threads are scheduled.
class SteppedInput : public mendtest::CountingStream {
public:
    using CountingStream::CountingStream;

    // A read that starts at or past the next of these offsets (rising)
    // waits there until Resume.
    void HoldAt(std::vector<long long> offsets)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_holds = std::move(offsets);
        m_next = 0;
    }
    unsigned int Read(void* buf, unsigned int n) override
    {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (m_next < m_holds.size() && GetPos() >= m_holds[m_next]) {
                ++m_next;
                m_held = true;
                m_changed.notify_all();
                m_changed.wait_for(lock, kWorkerGuard, [this] { return !m_held; });
                m_held = false;
            }
        }
        return CountingStream::Read(buf, n);
    }
    bool Held()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_held;
    }
    // False when no read stopped within the guard.
    bool AwaitHeld()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, kWorkerGuard, [this] { return m_held; });
    }
    void Resume()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_held = false;
        m_changed.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<long long> m_holds;
    size_t m_next = 0;
    bool m_held = false;
};

std::unique_ptr<CVideoFile> OpenFile(const std::string& path, int mode)
{
    int err = 1;
    auto file = std::make_unique<CVideoFile>(path.c_str(), mode, &err);
    EXPECT_EQ(err, 0) << path;
    return file;
}

struct SeekCase {
    const char* fixture;
    JRVPVideoFormat format;
};

class MissedSeek : public ::testing::TestWithParam<SeekCase> {
protected:
    // A copy of the fixture cut at 60 %, so every container has damage to
    // record and a rebuild to do.
    std::string DamagedCopy()
    {
        std::string src = mendtest::RequireFixture(GetParam().fixture);
        if (src.empty())
            return "";
        std::string path = dir.Path(std::string("cut_") + GetParam().fixture);
        EXPECT_TRUE(mendtest::CopyFile(src, path));
        EXPECT_TRUE(mendtest::TruncateFile(path, mendtest::FileSize(path) * 6 / 10));
        return path;
    }
    mendtest::ScratchDir dir;
};

TEST_P(MissedSeek, EndsTheParseAndTheRepairWithTheStreamsError)
{
    std::string path = DamagedCopy();
    if (path.empty())
        return;

    // While parsing: the parse cannot read its file.
    {
        auto file = OpenFile(path, 0);
        LyingStream lying(file.get());
        lying.Lie();
        auto repair = NewRepairer(GetParam().format, &lying);
        ASSERT_TRUE(repair);
        EXPECT_EQ(repair->ParseStream(nullptr, nullptr), JRVP_ERR_CANNOT_READ);
    }
    // While repairing, on the input: the repair cannot read its file.
    {
        auto file = OpenFile(path, 0);
        LyingStream lying(file.get());
        auto repair = NewRepairer(GetParam().format, &lying);
        ASSERT_EQ(repair->ParseStream(nullptr, nullptr), 0);
        ASSERT_GT(repair->GetErrorsCount(), 0);
        lying.Lie();
        MemoryVideoStream memory;
        CBaseStream out(&memory);
        EXPECT_EQ(repair->RepairFile(&out, 1, nullptr), JRVP_ERR_CANNOT_READ);
    }
    // While repairing, on the output: the repair cannot write its copy.
    {
        auto file = OpenFile(path, 0);
        auto repair = NewRepairer(GetParam().format, file.get());
        ASSERT_EQ(repair->ParseStream(nullptr, nullptr), 0);
        auto outFile = OpenFile(dir.Path("out"), 2);
        LyingStream lying(outFile.get());
        lying.Lie();
        EXPECT_EQ(repair->RepairFile(&lying, 1, nullptr), JRVP_ERR_CANNOT_WRITE);
    }
}

INSTANTIATE_TEST_SUITE_P(Containers, MissedSeek,
                         ::testing::Values(SeekCase{"clip.avi", JRVP_FORMAT_AVI},
                                           SeekCase{"clip.mkv", JRVP_FORMAT_MKV},
                                           SeekCase{"clip_faststart.mp4", JRVP_FORMAT_MP4}),
                         [](const ::testing::TestParamInfo<SeekCase>& info) {
                             std::string name = info.param.fixture;
                             for (char& c : name)
                                 if (!isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             return name;
                         });

// A repair that copies its whole input: the long pass-through copy of every
// container's rebuild, to a file or to a caller's stream.
class LongCopy : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        inPath = dir.Path("in");
        // A sparse file: large, yet nothing to write to make it.
        int fd = open(inPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, kSize), 0);
        ASSERT_EQ(pwrite(fd, "head", 4, 0), 4);
        close(fd);
        in = OpenFile(inPath, 0);
        input = std::make_unique<SteppedInput>(in.get());
        RepairScript script;
        script.errors = {JRVP_DAMAGE_STRUCTURE};
        script.copyInput = true;
        repair = std::make_unique<ScriptedRepair>(input.get(), script);
        ASSERT_EQ(repair->ParseStream(nullptr, nullptr), 0);
        if (GetParam())
            out = std::make_unique<CBaseStream>(&memory);
        else
            outFile = OpenFile(dir.Path("out"), 2);
    }
    IBaseStream* Output() { return GetParam() ? out.get() : static_cast<IBaseStream*>(outFile.get()); }
    long long Written() { return GetParam() ? memory.GetLength() : outFile->GetLength(); }

    static constexpr long long kSize = 256LL << 20;
    static constexpr long long kBlock = 1LL << 20;  // what the copy moves at a time
    mendtest::ScratchDir dir;
    std::string inPath;
    std::unique_ptr<CVideoFile> in;
    std::unique_ptr<SteppedInput> input;
    std::unique_ptr<ScriptedRepair> repair;
    MemoryVideoStream memory;
    std::unique_ptr<CBaseStream> out;
    std::unique_ptr<CVideoFile> outFile;
};

TEST_P(LongCopy, ProgressRisesStepByStepToTheEnd)
{
    // The copy stops every 32 MiB of input until the poll has looked at it,
    // so the poll sees it at each of those points.
    std::vector<long long> stops;
    for (long long at = 32LL << 20; at < kSize; at += 32LL << 20)
        stops.push_back(at);
    input->HoldAt(stops);
    std::atomic<int> result{1};
    std::thread worker([&] { result = repair->RepairFile(Output(), 1, nullptr); });
    std::vector<int> seen;
    // Progress is reported while the repair runs; it reads 0 again after.
    while (result.load() == 1) {
        const bool held = input->Held();
        int p = repair->GetProcess();
        if (repair->GetStatus() == JRVP_STATUS_REPAIRING && (seen.empty() || seen.back() != p))
            seen.push_back(p);
        if (held)
            input->Resume();
        else
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    worker.join();
    ASSERT_EQ(result.load(), 0);
    EXPECT_EQ(Written(), kSize);
    for (size_t i = 1; i < seen.size(); ++i)
        EXPECT_LE(seen[i - 1], seen[i]) << "at " << i;
    // Where the copy stood, each stop is more than a read-ahead past the
    // last: every one shows a progress of its own.
    EXPECT_GE(seen.size(), stops.size());
}

// The copy looks at the abort flag before each block it writes: once the
// abort is asked, it writes at most the block in hand and reads at most what
// its read-ahead holds. A copy that looked less often would go on for many
// blocks; one that never looked, to the end of the 256 MiB.
TEST_P(LongCopy, AbortStopsTheCopyWithinAFewBlocks)
{
    // The abort is asked while the input stands at 16 MiB: in the middle of
    // the copy, however the threads are scheduled.
    input->HoldAt({16LL << 20});
    std::atomic<int> result{1};
    std::thread worker([&] { result = repair->RepairFile(Output(), 1, nullptr); });
    EXPECT_TRUE(input->AwaitHeld());
    const mendtest::ReadCounts before = input->Counts();
    const long long writtenBefore = Written();
    repair->AbortTask();
    input->Resume();
    // A hang guard only: an abort that is not looked at still lets the copy end.
    const auto until = std::chrono::steady_clock::now() + kWorkerGuard;
    while (result.load() == 1 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_NE(result.load(), 1) << "the copy did not end";
    worker.join();
    EXPECT_EQ(result.load(), JRVP_ERR_ABORTED);
    const int64_t readAfter = input->Counts().bytes - before.bytes;
    const long long writtenAfter = Written() - writtenBefore;
    // Measured: one block written and two or three read after the ask. The
    // bounds: the block in hand, which may have been half written when the
    // count was taken; the read-ahead's three blocks and the one in hand.
    EXPECT_LE(writtenAfter, 2 * kBlock);
    EXPECT_LE(readAfter, 4 * kBlock);
    EXPECT_LT(Written(), kSize);
}

INSTANTIATE_TEST_SUITE_P(Outputs, LongCopy, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "CallerStream" : "File";
                         });

}  // namespace
