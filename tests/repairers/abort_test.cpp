// A user who cancels must not wait for the parse to cross a damaged
// stretch: every container's scan past damage looks at the abort flag as it
// goes, however long the stretch. What the scan reads after the abort was
// asked shows it: the blocks in flight, not the rest of the stretch.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "core/TestDoubles.h"
#include "core/VideoRepair.h"
#include "support/CountingStream.h"
#include "support/Damage.h"
#include "support/Fixtures.h"

using namespace mendtest;

TEST(RepairAbort, AnAbortCrossesALongHoleAtOnce)
{
    const char* const fixtures[] = {"clip.avi", "clip.wmv", "clip.flv", "clip.mkv", "clip_faststart.mp4",
                                    "clip.rm",  "clip.ts",  "clip.vob", "clip.mp3", "clip.wav",
                                    "clip.ogg"};
    constexpr int64_t kHole = int64_t(16) << 30;
    // Measured: at most 6 MiB read after the ask (the read-ahead's blocks in
    // flight), none at all for most containers. A scan that did not look
    // would read on through the 16 GiB; one that looked only every 64 MiB
    // would already read more than this.
    constexpr int64_t kReadAfterAbort = int64_t(32) << 20;
    ScratchDir dir("abort");
    for (const char* name : fixtures) {
        SCOPED_TRACE(name);
        const std::string fixture = RequireFixture(name);
        if (fixture.empty())
            return;
        // The front of the file, then the hole where the damage starts.
        std::vector<uint8_t> bytes = ReadFileBytes(fixture);
        bytes.resize(bytes.size() / 2);
        const std::string path = dir.Path(std::string("hole-") + name);
        ASSERT_TRUE(WriteFileBytes(path, bytes));
        ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(bytes.size() + kHole)), 0);

        int err = 1;
        CVideoFile file(path.c_str(), 0, &err);
        ASSERT_EQ(err, 0);
        CVideoRepair repair;
        auto counting = std::make_unique<CountingStream>(&file);
        CountingStream* input = counting.get();
        ASSERT_TRUE(repair.SetInput(std::move(counting), path.c_str()));
        ResultSink sink;
        ASSERT_EQ(repair.OpenFile(nullptr, &ResultSink::OnResult, &sink), 0);
        // The abort is asked once the scan is inside the hole (a
        // ten-thousandth of the file lies far past the front), unless the
        // parse has ended before.
        const auto until = std::chrono::steady_clock::now() + kWorkerGuard;
        while (repair.GetProcess() == 0 && sink.Count() == 0 && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const ReadCounts before = input->Counts();
        repair.AbortTask();
        // A hang guard only: a scan that does not look crosses the hole in
        // seconds, and its reads fail the test.
        const int result = sink.Wait(1, std::chrono::seconds(120));
        const int64_t readAfter = input->Counts().bytes - before.bytes;
        EXPECT_NE(result, INT_MIN);
        EXPECT_LE(readAfter, kReadAfterAbort);
        repair.CloseFile();
        unlink(path.c_str());
    }
}

namespace {

// Passes every call through and notes when a read reaches `from`: the
// moment the parse is inside the hole, whatever read-ahead it uses.
class HoleWatch : public CountingStream {
public:
    HoleWatch(IBaseStream* inner, int64_t from) : CountingStream(inner), m_inner(inner), m_from(from) {}
    unsigned int Read(void* buf, unsigned int n) override
    {
        if (m_inner->GetPos() >= m_from)
            m_reached = true;
        return CountingStream::Read(buf, n);
    }
    long long ReadAt(long long pos, void* buf, unsigned int n) override
    {
        if (pos >= m_from)
            m_reached = true;
        return CountingStream::ReadAt(pos, buf, n);
    }
    bool Reached() const { return m_reached; }

private:
    IBaseStream* m_inner;
    int64_t m_from;
    std::atomic<bool> m_reached{false};
};

}  // namespace

// A cancelled analysis judged nothing, whichever container was reading:
// the repair object says "not parsed" (status 0) with no record, and a
// repair asked of it afterwards is answered as one asked before any parse,
// not with a verdict on the file.
TEST(RepairAbort, ACancelledParseLeavesNothingParsedInEveryContainer)
{
    // The WAV parse reads into the hole and is done before the
    // cancel comes: the result says cancelled all the same, and so must
    // what the object says after it.
    const char* const fixtures[] = {"clip.avi", "clip.wmv", "clip.flv", "clip.mkv", "clip_faststart.mp4", "clip.rm",
                                    "clip.ts",  "clip.vob", "clip.mp3", "clip.wav", "clip.ogg"};
    ScratchDir dir("abort-status");
    for (const char* name : fixtures) {
        SCOPED_TRACE(name);
        const std::string fixture = RequireFixture(name);
        if (fixture.empty())
            return;
        std::vector<uint8_t> bytes = ReadFileBytes(fixture);
        bytes.resize(bytes.size() / 2);
        const std::string path = dir.Path(std::string("hole-") + name);
        ASSERT_TRUE(WriteFileBytes(path, bytes));
        ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(bytes.size() + (int64_t(16) << 30))), 0);

        int err = 1;
        CVideoFile file(path.c_str(), 0, &err);
        ASSERT_EQ(err, 0);
        CVideoRepair repair;
        auto watch = std::make_unique<HoleWatch>(&file, static_cast<int64_t>(bytes.size()));
        HoleWatch* input = watch.get();
        ASSERT_TRUE(repair.SetInput(std::move(watch), path.c_str()));
        ResultSink sink;
        ASSERT_EQ(repair.OpenFile(nullptr, &ResultSink::OnResult, &sink), 0);
        const auto until = std::chrono::steady_clock::now() + kWorkerGuard;
        while (!input->Reached() && sink.Count() == 0 && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_TRUE(input->Reached()) << "the parse never read into the hole";
        repair.AbortTask();
        ASSERT_EQ(sink.Wait(1, std::chrono::seconds(120)), JRVP_ERR_ABORTED);
        EXPECT_EQ(repair.GetStatus(), JRVP_STATUS_IDLE);
        EXPECT_EQ(repair.GetErrorsCount(), 0);
        MemoryVideoStream memory;
        EXPECT_EQ(repair.RepairFile(&memory, 1, &ResultSink::OnResult, &sink, nullptr), JRVP_ERR_NOTHING_PARSED);
        EXPECT_EQ(repair.RepairFile(&memory, 3, &ResultSink::OnResult, &sink, "reference"),
                  JRVP_ERR_NOTHING_PARSED);
        repair.CloseFile();
        unlink(path.c_str());
    }
}
