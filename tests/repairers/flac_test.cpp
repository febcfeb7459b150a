// FLAC: the metadata and frame walk on files from flac and ffmpeg, and the
// rebuild of damaged ones, judged by libavformat and by `flac -t`.
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/BaseStream.h"
#include "core/TestDoubles.h"
#include "mendcore/VideoRepair.h"
#include "repairers/FLACRepair.h"
#include "support/Damage.h"
#include "support/Fixtures.h"
#include "support/MediaCheck.h"
#include "support/RepairRun.h"

using namespace mendtest;

namespace {

struct Outcome : mendtest::RepairOutcome {
    std::vector<std::pair<int64_t, int64_t>> runs;
    std::vector<CFLACRepair::FlacFrame> frames;
    uint64_t total = 0;
    uint64_t counted = 0;
};

Outcome ParseAndRepair(const std::string& in, const std::string& out = "")
{
    return mendtest::ParseAndRepairWith<CFLACRepair, Outcome>(in, out, [](CFLACRepair& repair, Outcome& o) {
        o.runs = repair.BadRanges();
        o.frames.assign(repair.Frames().begin(), repair.Frames().end());
        o.total = repair.TotalSamples();
        o.counted = repair.CountedSamples();
    });
}

// The total samples that STREAMINFO declares.
uint64_t DeclaredSamples(const std::vector<uint8_t>& d)
{
    return (uint64_t(d[8 + 13] & 0x0F) << 32) | ReadBE32(d, 8 + 14);
}

// Exit status of a shell command, its output thrown away.
int RunQuietly(const std::string& command)
{
    return system((command + " >/dev/null 2>&1").c_str());
}

// Samples decoded by ffmpeg, per channel.
uint64_t DecodedSamples(const std::string& path, int channels)
{
    std::string cmd = "ffmpeg -v error -nostdin -i '" + path + "' -f s16le -ac " + std::to_string(channels) + " - | wc -c";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p)
        return 0;
    unsigned long long bytes = 0;
    if (fscanf(p, "%llu", &bytes) != 1)
        bytes = 0;
    pclose(p);
    return bytes / (2 * channels);
}

const char* const kFlacFixtures[] = {"clip.flac", "clip_flactool.flac", "clip_plain.flac"};

// Their last frames hold fewer samples than the minimum block size.
TEST(FlacWalk, IntactFilesFromFlacAndFfmpegAreUndamaged)
{
    for (const char* name : kFlacFixtures) {
        const std::string path = RequireFixture(name);
        if (path.empty())
            return;
        Outcome o = ParseAndRepair(path);
        EXPECT_EQ(o.parse, 0) << name;
        EXPECT_TRUE(o.codes.empty()) << name << ": " << o.codes.size() << " records";
        ASSERT_FALSE(o.frames.empty()) << name;
        EXPECT_EQ(o.frames.back().end, FileSize(path)) << name;
        EXPECT_EQ(o.counted, o.total) << name;
    }
}

TEST(FlacWalk, HostileHeadersEndInAClearCode)
{
    const std::string src = RequireFixture("clip_flactool.flac");
    if (src.empty())
        return;
    const auto clean = ReadFileBytes(src);
    const struct {
        const char* name;
        std::function<void(std::vector<uint8_t>&)> damage;
        int parse;
    } cases[] = {
        {"not fLaC", [](std::vector<uint8_t>& d) { d[0] = 'x'; }, JRVP_ERR_UNKNOWN_FORMAT},
        {"only the marker", [](std::vector<uint8_t>& d) { d.resize(4); }, JRVP_ERR_UNREPAIRABLE},
        {"no frame after the metadata", [](std::vector<uint8_t>& d) { d.resize(d.size() / 20); },
         JRVP_ERR_UNREPAIRABLE},
        {"every byte after the metadata 0xFF",
         [](std::vector<uint8_t>& d) { std::fill(d.begin() + d.size() / 20, d.end(), 0xFF); },
         JRVP_ERR_UNREPAIRABLE},
    };
    ScratchDir dir("flac");
    for (const auto& c : cases) {
        auto bytes = clean;
        c.damage(bytes);
        ASSERT_TRUE(WriteFileBytes(dir.Path("hostile.flac"), bytes));
        EXPECT_EQ(ParseAndRepair(dir.Path("hostile.flac")).parse, c.parse) << c.name;
    }
}

// A read error is not the end of the file: the parse ends with it at once.
TEST(FlacWalk, ReadErrorEndsTheParse)
{
    const std::string src = RequireFixture("clip_flactool.flac");
    if (src.empty())
        return;
    const auto bytes = ReadFileBytes(src);
    for (long long at : {6LL, 200LL, static_cast<long long>(bytes.size() / 2)}) {
        FaultyStream in(bytes, at);
        CFLACRepair repair(&in);
        EXPECT_EQ(repair.Open(), -5) << "read error at " << at;
        EXPECT_EQ(repair.ParseStream(nullptr, nullptr), JRVP_ERR_CANNOT_READ) << "read error at " << at;
    }
}

// The damages: the repaired file decodes cleanly with ffmpeg and
// passes `flac -t`, declares the samples it holds, and keeps every frame
// outside the damage.
TEST(FlacRepair, EveryDamageIsRepairedIntoACleanFile)
{
    struct Damage {
        const char* name;
        // Changes the file; returns the damaged byte range of the original.
        std::function<std::pair<int64_t, int64_t>(std::vector<uint8_t>&, const std::vector<CFLACRepair::FlacFrame>&)>
            apply;
    };
    const Damage damages[] = {
        {"cut in the middle of a frame",
         [](std::vector<uint8_t>& d, const std::vector<CFLACRepair::FlacFrame>& f) {
             const int64_t at = f[f.size() * 2 / 3].start + 100;
             const int64_t end = static_cast<int64_t>(d.size());
             d.resize(at);
             return std::make_pair(at, end);
         }},
        {"2 KiB zeroed",
         [](std::vector<uint8_t>& d, const std::vector<CFLACRepair::FlacFrame>&) {
             const int64_t at = static_cast<int64_t>(d.size()) / 2;
             std::fill(d.begin() + at, d.begin() + at + 2048, 0);
             return std::make_pair(at, at + 2048);
         }},
        {"garbage spliced in",
         [](std::vector<uint8_t>& d, const std::vector<CFLACRepair::FlacFrame>&) {
             const int64_t at = static_cast<int64_t>(d.size()) / 2 + 100;
             auto junk = PseudoRandomBytes(3000, 7);
             d.insert(d.begin() + at, junk.begin(), junk.end());
             return std::make_pair(at, at + 1);
         }},
        {"junk between the metadata and the first frame",
         [](std::vector<uint8_t>& d, const std::vector<CFLACRepair::FlacFrame>& f) {
             auto junk = PseudoRandomBytes(500, 9);
             d.insert(d.begin() + f[0].start, junk.begin(), junk.end());
             return std::make_pair(f[0].start, f[0].start);
         }},
        // The last frame's checksum fails over the garbage; its end is found
        // where it decodes whole.
        {"garbage after the last frame",
         [](std::vector<uint8_t>& d, const std::vector<CFLACRepair::FlacFrame>&) {
             const int64_t end = static_cast<int64_t>(d.size());
             auto junk = PseudoRandomBytes(70000, 13);
             d.insert(d.end(), junk.begin(), junk.end());
             return std::make_pair(end, end);
         }},
        {"garbage spliced in after a frame",
         [](std::vector<uint8_t>& d, const std::vector<CFLACRepair::FlacFrame>& f) {
             const int64_t at = f[f.size() / 2].start;
             auto junk = PseudoRandomBytes(3000, 17);
             d.insert(d.begin() + at, junk.begin(), junk.end());
             return std::make_pair(at, at);
         }},
        // Zeros keep a checksum at 0: the last frame must not take them in.
        {"zeros after the last frame",
         [](std::vector<uint8_t>& d, const std::vector<CFLACRepair::FlacFrame>&) {
             const int64_t end = static_cast<int64_t>(d.size());
             d.resize(d.size() + 300000, 0);
             return std::make_pair(end, end);
         }},
        {"total samples wrong",
         [](std::vector<uint8_t>& d, const std::vector<CFLACRepair::FlacFrame>&) {
             WriteBE32(d, 8 + 14, ReadBE32(d, 8 + 14) + 1000);
             return std::make_pair(int64_t(0), int64_t(0));
         }},
    };
    for (const char* name : kFlacFixtures) {
        const std::string src = RequireFixture(name);
        if (src.empty())
            return;
        const auto clean = ReadFileBytes(src);
        const Outcome intact = ParseAndRepair(src);
        ASSERT_EQ(intact.parse, 0);
        ScratchDir dir("flac");
        for (const Damage& damage : damages) {
            SCOPED_TRACE(std::string(name) + ": " + damage.name);
            auto bytes = clean;
            const auto range = damage.apply(bytes, intact.frames);
            const std::string in = dir.Path("damaged.flac");
            const std::string out = dir.Path("repaired.flac");
            ASSERT_TRUE(WriteFileBytes(in, bytes));
            Outcome o = ParseAndRepair(in, out);
            ASSERT_EQ(o.parse, 0);
            ASSERT_FALSE(o.codes.empty());
            ASSERT_EQ(o.repair, 0);
            const MediaReport repaired = CheckMedia(out);
            EXPECT_TRUE(repaired.CleanDecode()) << repaired.Summary();
            EXPECT_EQ(RunQuietly("flac -t -s '" + out + "'"), 0) << "flac -t fails";
            const auto result = ReadFileBytes(out);
            const int channels = ((result[8 + 12] >> 1) & 7) + 1;
            EXPECT_EQ(DeclaredSamples(result), DecodedSamples(out, channels));
            // Frames wholly outside the damage are all kept.
            uint64_t outside = 0;
            for (const auto& f : intact.frames)
                outside += f.end <= range.first || f.start >= range.second ? f.blockSize : 0;
            if (range.first == range.second)
                outside = intact.counted;
            EXPECT_GE(DeclaredSamples(result), std::min(outside, intact.counted));
        }
    }
}

}  // namespace

namespace {

TEST(FlacWalk, AnAbortEndsTheParse)
{
    const std::string src = RequireFixture("clip_flactool.flac");
    if (src.empty())
        return;
    int err = 0;
    CVideoFile input(src.c_str(), 0, &err);
    CFLACRepair repair(&input);
    std::atomic<bool> abort{true};
    repair.SetAbortSource(&abort);
    EXPECT_EQ(repair.ParseStream(nullptr, nullptr), JRVP_ERR_ABORTED);
}

}  // namespace

namespace {

// The metadata blocks of a file, by a reader of the test's own: {type, header offset}.
std::vector<std::pair<int, size_t>> MetadataBlocks(const std::vector<uint8_t>& d)
{
    std::vector<std::pair<int, size_t>> blocks;
    size_t p = 4;
    for (bool last = false; !last && p + 4 <= d.size();) {
        last = (d[p] & 0x80) != 0;
        blocks.push_back({d[p] & 0x7F, p});
        p += 4 + ((size_t(d[p + 1]) << 16) | (size_t(d[p + 2]) << 8) | d[p + 3]);
    }
    return blocks;
}

// A block whose length runs into the audio breaks the chain there: the
// blocks before it are kept, the last of them marked last, and the seek
// table stays, since no frame moved against the first one.
TEST(FlacRepair, ABrokenMetadataChainKeepsTheBlocksBeforeTheBreak)
{
    const std::string src = RequireFixture("clip_flactool.flac");
    if (src.empty())
        return;
    auto bytes = ReadFileBytes(src);
    const auto blocks = MetadataBlocks(bytes);
    auto comment = std::find_if(blocks.begin(), blocks.end(), [](const auto& b) { return b.first == 4; });
    ASSERT_NE(comment, blocks.end());
    ASSERT_TRUE(std::any_of(blocks.begin(), comment, [](const auto& b) { return b.first == 3; }))
        << "flac writes its seek table before the comment";
    bytes[comment->second + 1] = 0x00;
    bytes[comment->second + 2] = 0x30;  // 12 KiB: past the first frames
    ScratchDir dir("flac");
    ASSERT_TRUE(WriteFileBytes(dir.Path("chain.flac"), bytes));
    Outcome o = ParseAndRepair(dir.Path("chain.flac"), dir.Path("repaired.flac"));
    ASSERT_EQ(o.parse, 0);
    ASSERT_EQ(o.runs.size(), 1u);
    EXPECT_EQ(o.runs[0].first, static_cast<int64_t>(comment->second));
    ASSERT_EQ(o.repair, 0);
    const auto result = ReadFileBytes(dir.Path("repaired.flac"));
    const auto kept = MetadataBlocks(result);
    ASSERT_EQ(kept.size(), static_cast<size_t>(comment - blocks.begin()));
    for (size_t i = 0; i < kept.size(); ++i)
        EXPECT_EQ(kept[i].first, blocks[i].first) << "block " << i;
    EXPECT_NE(result[kept.back().second] & 0x80, 0) << "the last kept block is marked last";
    EXPECT_EQ(RunQuietly("flac -t -s '" + dir.Path("repaired.flac") + "'"), 0) << "flac -t fails";
    const MediaReport repaired = CheckMedia(dir.Path("repaired.flac"));
    EXPECT_TRUE(repaired.CleanDecode()) << repaired.Summary();
}

}  // namespace

namespace {

// A frame header holds only when its CRC-8 does: a header whose bytes
// changed, however plausible its fields, is no frame header. The last
// frame, shorter than the minimum block size, holds like the others.
TEST(FlacWalk, FrameHeadersAreConfirmedByTheirCrc8)
{
    const std::string src = RequireFixture("clip_flactool.flac");
    if (src.empty())
        return;
    const auto bytes = ReadFileBytes(src);
    int err = 0;
    CVideoFile input(src.c_str(), 0, &err);
    CFLACRepair repair(&input);
    ASSERT_EQ(repair.ParseStream(nullptr, nullptr), JRVP_OK);
    const auto frames = repair.Frames();
    ASSERT_GT(frames.size(), 3u);
    ASSERT_LT(frames.back().blockSize, frames.front().blockSize);
    const struct {
        const char* name;
        size_t frame;
        int byte;      // the header byte changed; -1: none
        uint8_t xorWith;
        bool holds;
    } cases[] = {
        {"first frame", 0, -1, 0, true},
        {"last, short frame", frames.size() - 1, -1, 0, true},
        {"frame number of the first frame", 0, 4, 0x01, false},
        {"frame number of the second frame", 1, 4, 0x03, false},
        // Codes that defer to STREAMINFO: the fields still agree with it.
        {"sample rate code", 1, 2, 0x09, false},
        {"sample size code", 1, 3, 0x08, false},
        {"its CRC-8", 1, 5, 0x80, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> header(bytes.begin() + frames[c.frame].start, bytes.begin() + frames[c.frame].start + 16);
        if (c.byte >= 0)
            header[c.byte] ^= c.xorWith;
        uint32_t blockSize = 0;
        EXPECT_EQ(repair.ParseFrameHeader(header.data(), header.size(), blockSize), c.holds);
        if (c.holds) {
            EXPECT_EQ(blockSize, frames[c.frame].blockSize);
        }
    }
}

}  // namespace

namespace {

// A STREAMINFO field that the frames contradict is mended from the frames'
// own headers (channels, rate, sample size) and from their measured block
// and frame sizes, recorded, and written back: the copy's STREAMINFO is the
// original's, and it decodes every sample.
TEST(FlacRepair, StreamInfoFieldsTheFramesContradictAreMended)
{
    // A field of the STREAMINFO body: its bytes (big-endian), then the
    // value's bit width and shift inside them.
    struct Field {
        int at, bytes, bits, shift;
    };
    const Field minBlock{0, 2, 16, 0}, maxBlock{2, 2, 16, 0}, minFrame{4, 3, 24, 0}, maxFrame{7, 3, 24, 0},
        rate{10, 3, 20, 4}, channels{12, 1, 3, 1}, bits{12, 2, 5, 4};
    const struct {
        const char* name;
        Field field;
        uint32_t value;
        bool mended;  // false: a value the frames allow, left as it is
    } cases[] = {
        {"min block size 0", minBlock, 0, true},
        {"min block size 1", minBlock, 1, true},
        {"min block size under 16", minBlock, 15, true},
        {"min block size all ones", minBlock, 0xFFFF, true},
        {"max block size 1", maxBlock, 1, true},
        {"max block size below the minimum", maxBlock, 100, true},
        {"max block size all ones", maxBlock, 0xFFFF, false},
        {"min frame size all ones", minFrame, 0xFFFFFF, true},
        {"max frame size 1", maxFrame, 1, true},
        {"max frame size 0 (not known)", maxFrame, 0, false},
        {"sample rate 0", rate, 0, true},
        {"sample rate 1", rate, 1, true},
        {"sample rate all ones", rate, 0xFFFFF, true},
        {"channels 3", channels, 2, true},
        {"channels 8", channels, 7, true},
        {"bits per sample 32", bits, 31, true},
        {"bits per sample 8", bits, 7, true},
    };
    for (const char* name : kFlacFixtures) {
        const std::string src = RequireFixture(name);
        if (src.empty())
            return;
        const auto clean = ReadFileBytes(src);
        const Outcome intact = ParseAndRepair(src);
        ASSERT_EQ(intact.parse, 0);
        const int channelCount = ((clean[8 + 12] >> 1) & 7) + 1;
        ScratchDir dir("flacinfo");
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(name) + ": " + c.name);
            auto bytes = clean;
            uint64_t v = 0;
            for (int i = 0; i < c.field.bytes; ++i)
                v = v << 8 | bytes[8 + c.field.at + i];
            const uint64_t mask = ((uint64_t(1) << c.field.bits) - 1) << c.field.shift;
            v = (v & ~mask) | ((uint64_t(c.value) << c.field.shift) & mask);
            for (int i = c.field.bytes - 1; i >= 0; --i, v >>= 8)
                bytes[8 + c.field.at + i] = static_cast<uint8_t>(v);
            if (bytes == clean)
                continue;  // the fixture holds that value already
            const std::string in = dir.Path("damaged.flac"), out = dir.Path("repaired.flac");
            ASSERT_TRUE(WriteFileBytes(in, bytes));
            const Outcome o = ParseAndRepair(in, out);
            ASSERT_EQ(o.parse, 0);
            if (!c.mended) {
                EXPECT_TRUE(o.codes.empty());
                EXPECT_EQ(DecodedSamples(in, channelCount), intact.counted);
                continue;
            }
            ASSERT_FALSE(o.codes.empty()) << "the field went unnoticed";
            ASSERT_EQ(o.repair, 0);
            EXPECT_EQ(o.counted, intact.counted);
            const auto result = ReadFileBytes(out);
            ASSERT_GE(result.size(), 8u + 18u);
            EXPECT_TRUE(std::equal(result.begin() + 8, result.begin() + 8 + 18, clean.begin() + 8))
                << "STREAMINFO is not the original's";
            const MediaReport repaired = CheckMedia(out);
            EXPECT_TRUE(repaired.CleanDecode()) << repaired.Summary();
            EXPECT_EQ(DecodedSamples(out, channelCount), intact.counted);
        }
    }
}

}  // namespace

namespace {

// 16 MiB of 0xFF bytes between the metadata and the first frame: every one
// looks like the start of a frame header. They are tested where they lie
// in the read window; asking the input for each would make a million reads
// per MiB. Some 4 reads per MiB per pass over them; the bound leaves room
// for each pass that crosses them and more.
TEST(FlacWalk, LongStretchOfSyncBytesIsCrossedInFewReads)
{
    const std::string src = RequireFixture("clip_flactool.flac");
    if (src.empty())
        return;
    auto bytes = ReadFileBytes(src);
    const Outcome intact = ParseAndRepair(src);
    ASSERT_EQ(intact.parse, 0);
    const int64_t stretch = int64_t(16) << 20;
    bytes.insert(bytes.begin() + intact.frames.front().start, static_cast<size_t>(stretch), 0xFF);
    ScratchDir dir("flacsync");
    ASSERT_TRUE(WriteFileBytes(dir.Path("sync.flac"), bytes));
    const Outcome o = ParseAndRepair(dir.Path("sync.flac"));
    ASSERT_EQ(o.parse, 0);
    EXPECT_EQ(o.counted, intact.counted);
    EXPECT_LT(o.parseReads.ReadsPerMiB(stretch), 64) << o.parseReads.reads << " reads";
    EXPECT_LT(o.parseReads.bytes, o.inputLength * 4);
    EXPECT_LT(o.parseCalls.ReadsPerMiB(stretch), 256) << o.parseCalls.reads << " calls";
}

}  // namespace
