// MPEG program streams: damage inside a packet costs whole frames, never
// part of one, and frames whose set-up the damage took are left out. Judged
// by decoding the repaired copy with libavformat, over picture sizes, audio
// rates and codecs, and over damage positions.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mendcore/VideoRepair.h"
#include "repairers/MPEGRepair.h"
#include "support/Damage.h"
#include "support/Fixtures.h"
#include "support/MediaCheck.h"
#include "support/RepairRun.h"
#include "support/Sanitizers.h"

using namespace mendtest;

namespace {

std::string Ext(const std::string& name)
{
    return name.substr(name.rfind('.'));
}

struct Damager {
    const char* name;
    // Damages the file at `at`; false when the damage does not fit.
    bool (*apply)(const std::string& path, int64_t at, uint32_t seed);
};

const Damager kDamagers[] = {
    {"cut", [](const std::string& path, int64_t at, uint32_t) { return TruncateFile(path, at); }},
    {"4 KiB zeroed",
     [](const std::string& path, int64_t at, uint32_t) {
         return ZeroRange(path, at, std::min<int64_t>(4096, FileSize(path) - at));
     }},
    {"3000 random bytes spliced in",
     [](const std::string& path, int64_t at, uint32_t seed) { return SpliceGarbage(path, at, 3000, seed); }},
    // Shorter than a packet: the frame start after it stays in the packet,
    // and the head before it, which would end the frame before, may hold
    // the bytes.
    {"500 random bytes spliced in",
     [](const std::string& path, int64_t at, uint32_t seed) { return SpliceGarbage(path, at, 500, seed); }},
};

// Picture sizes, audio codecs and rates as ffmpeg writes them: where a
// packet ends inside a frame depends on all of them.
const char* const kClips[] = {
    "clip_mp2.vob",   // 160x120 MPEG-2, MP2 48 kHz
    "clip.vob",       // 160x120 MPEG-2, AC-3 48 kHz
    "clip.mpg",       // 160x120 MPEG-1, MP2 44.1 kHz
    "clip_qcif.vob",  // 176x144 MPEG-2, MP2 44.1 kHz
    "clip_qcif.mpg",  // 176x144 MPEG-1, MP2 44.1 kHz
    "clip_cif.vob",   // 352x288 MPEG-2, AC-3 32 kHz
    "clip_cif.mpg",   // 352x288 MPEG-1, MP2 32 kHz
    "clip_pal.vob",   // 720x576 MPEG-2, MP2 48 kHz
    "clip_dvd.vob",   // 720x576 DVD: AC-3 in private stream 1
};

// Each damage at the start of the file (the first sequence header goes)
// and at positions spread over the rest, off any pack boundary. The
// sanitizer build, ten times slower, samples every third of them.
std::vector<int64_t> DamagePositions(int64_t size)
{
    constexpr int kSpread = 9;
    std::vector<int64_t> at = {0};
    for (int i = 0; i < kSpread; ++i)
        if (!kUnderSanitizer || i % 3 == 1)
            at.push_back(size * (2 * i + 1) / (2 * kSpread) + 37 + 211 * i);
    return at;
}

// Every clip damaged in turn by each damager at each position (`middle`:
// the positions after the start for the zeroed and spliced blocks, else
// the cuts and the blocks at the start).
void SweepDamage(bool middle)
{
    for (const char* name : kClips) {
        const std::string src = RequireFixture(name);
        if (src.empty())
            return;
        const MediaReport original = CheckMedia(src);
        ASSERT_TRUE(original.opened) << original.Summary();
        {
            SCOPED_TRACE(std::string(name) + " intact");
            const RepairOutcome o = ParseAndRepairWith<CMPEGRepair>(src);
            ASSERT_EQ(o.parse, 0);
            EXPECT_TRUE(o.codes.empty()) << "an intact file is undamaged";
        }
        const int64_t size = FileSize(src);
        ScratchDir dir("mpegframes");
        const std::string in = dir.Path("in" + Ext(name)), out = dir.Path("out" + Ext(name));
        for (const Damager& damage : kDamagers) {
            uint32_t seed = 1;
            for (const int64_t at : DamagePositions(size)) {
                const bool cut = damage.apply == kDamagers[0].apply;
                if (middle == (cut || at == 0))
                    continue;
                if (at < size / 8 && damage.apply == kDamagers[0].apply)
                    continue;  // a cut in the first frames leaves little or nothing to decode
                if (at + 4096 >= size && damage.apply == kDamagers[1].apply)
                    continue;  // zeros to the end: where a recording stopped
                SCOPED_TRACE(std::string(name) + ": " + damage.name + " at " + std::to_string(at));
                ASSERT_TRUE(CopyFile(src, in));
                ASSERT_TRUE(damage.apply(in, at, seed++));
                const RepairOutcome o = ParseAndRepairWith<CMPEGRepair>(in, out);
                EXPECT_EQ(o.parse, 0);
                EXPECT_FALSE(o.codes.empty()) << "damage went unnoticed";
                EXPECT_EQ(o.repair, 0);
                if (o.repair != 0)
                    continue;
                const MediaReport repaired = CheckMedia(out);
                EXPECT_TRUE(repaired.opened) << repaired.Summary();
                EXPECT_GT(repaired.TotalFrames(), 0) << repaired.Summary();
                EXPECT_LE(repaired.errorCount, original.errorCount) << repaired.Summary();
            }
        }
    }
}

TEST(MpegFrames, CutsAndDamagedStartsLeaveNoPartFrame)
{
    SweepDamage(false);
}

// A zeroed or spliced block in the middle of the stream: the audio frame
// it cut goes whole, though its start lies in a packet before the block
// and the only frame header in that packet is a look-alike of the audio.
TEST(MpegFrames, BlocksInsidePacketsLeaveNoPartFrame)
{
    SweepDamage(true);
}

// GStreamer's program stream of H.264 and MP2 with its first 4 KiB zeroed:
// the sequence and picture parameter sets go with its first packet, and the
// video frames after it cannot be decoded without them (the encoder wrote
// them once). They are left out, and the audio after the damage stays.
TEST(MpegFrames, FramesWithoutTheirSetupAreLeftOut)
{
    const std::string src = RequireFixture("clip_gst.mpg");
    if (src.empty())
        return;
    const MediaReport original = CheckMedia(src);
    ASSERT_TRUE(original.CleanDecode()) << original.Summary();
    ScratchDir dir("mpegframes");
    const std::string in = dir.Path("in.mpg"), out = dir.Path("out.mpg");
    ASSERT_TRUE(CopyFile(src, in));
    ASSERT_TRUE(ZeroRange(in, 0, 4096));
    const RepairOutcome o = ParseAndRepairWith<CMPEGRepair>(in, out);
    ASSERT_EQ(o.parse, 0);
    ASSERT_EQ(o.repair, 0);
    const MediaReport repaired = CheckMedia(out);
    EXPECT_TRUE(repaired.CleanDecode()) << repaired.Summary();
    int64_t audioAfter = 0;
    for (const PacketInfo& p : original.packets)
        if (original.streams[p.stream].type == AVMEDIA_TYPE_AUDIO && p.pos > 4096)
            ++audioAfter;
    EXPECT_GE(repaired.AudioFrames(), audioAfter) << repaired.Summary();
}

}  // namespace
