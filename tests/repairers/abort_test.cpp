// A user who cancels must not wait for the parse to cross a damaged
// stretch: every container's scan past damage looks at the abort flag as it
// goes, however long the stretch.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "core/TestDoubles.h"
#include "mendcore/VideoRepair.h"
#include "support/Damage.h"
#include "support/Fixtures.h"
#include "support/Sanitizers.h"

using namespace mendtest;

TEST(RepairAbort, AnAbortCrossesALongHoleAtOnce)
{
    const char* const fixtures[] = {"clip.avi", "clip.wmv", "clip.flv", "clip.mkv", "clip_faststart.mp4",
                                    "clip.rm",  "clip.ts",  "clip.vob", "clip.mp3", "clip.wav",
                                    "clip.ogg"};
    // Holes read back as zeros at the speed of memory: 16 GiB take seconds
    // to cross, an abort that is looked at takes milliseconds.
    constexpr int64_t kHole = int64_t(16) << 30;
    const auto bound = std::chrono::milliseconds(kUnderSanitizer ? 5000 : 1000);
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

        IVideoRepair* repair = CreateRepair();
        ASSERT_NE(repair, nullptr);
        ResultSink sink;
        ASSERT_TRUE(repair->SetFile(path.c_str()));
        ASSERT_EQ(repair->OpenFile(nullptr, &ResultSink::OnResult, &sink), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const auto asked = std::chrono::steady_clock::now();
        repair->AbortTask();
        const int result = sink.Wait(1, std::chrono::seconds(120));
        const auto waited = std::chrono::steady_clock::now() - asked;
        EXPECT_NE(result, INT_MIN);
        EXPECT_LT(waited, bound) << std::chrono::duration_cast<std::chrono::milliseconds>(waited).count() << " ms";
        repair->CloseFile();
        DestroyRepair(repair);
        unlink(path.c_str());
    }
}
