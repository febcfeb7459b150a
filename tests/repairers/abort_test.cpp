// A user who cancels must not wait for the parse to cross a damaged
// stretch: every container's scan past damage looks at the abort flag as it
// goes, however long the stretch. What the scan reads after the abort was
// asked shows it: the blocks in flight, not the rest of the stretch.
#include <gtest/gtest.h>
#include <unistd.h>

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
