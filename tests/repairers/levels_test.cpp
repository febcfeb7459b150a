// Every container's repairer has one rebuild, level 1. Asked for another
// level, it must say that it did nothing rather than report a success with
// an empty output.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "core/TestDoubles.h"
#include "mendcore/VideoRepair.h"
#include "support/Damage.h"
#include "support/Fixtures.h"

using namespace mendtest;

TEST(RepairLevels, LevelsWithoutARebuildReportFailure)
{
    const char* const fixtures[] = {"clip.avi", "clip.wmv", "clip.flv", "clip.mkv", "clip_faststart.mp4",
                                    "clip.rm",  "clip.ts",  "clip.vob", "clip.mp3", "clip.wav",
                                    "clip.ogg"};
    ScratchDir dir("levels");
    for (const char* name : fixtures) {
        SCOPED_TRACE(name);
        const std::string fixture = RequireFixture(name);
        if (fixture.empty())
            return;
        // Cut, so that every container finds something to repair.
        std::vector<uint8_t> bytes = ReadFileBytes(fixture);
        bytes.resize(bytes.size() * 7 / 10);
        const std::string path = dir.Path(std::string("cut-") + name);
        ASSERT_TRUE(WriteFileBytes(path, bytes));
        for (int level : {2, 3}) {
            IVideoRepair* repair = CreateRepair();
            ASSERT_NE(repair, nullptr);
            ResultSink sink;
            ASSERT_TRUE(repair->SetFile(path.c_str()));
            ASSERT_EQ(repair->OpenFile(nullptr, &ResultSink::OnResult, &sink), 0);
            ASSERT_EQ(sink.Wait(1, std::chrono::seconds(60)), 0);
            ASSERT_GT(repair->GetErrorsCount(), 0);
            MemoryVideoStream out;
            const std::string ref = fixture;
            if (repair->RepairFile(&out, level, &ResultSink::OnResult, &sink, ref.c_str()) == 0) {
                EXPECT_LT(sink.Wait(2, std::chrono::seconds(60)), 0) << "level " << level;
            }
            repair->CloseFile();
            DestroyRepair(repair);
        }
    }
}
