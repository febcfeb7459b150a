// WAV: the chunk walk on intact files from ffmpeg and sox, and the rebuild
// of damaged ones, judged by libavformat and by the sizes it writes.
#include <algorithm>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/BaseStream.h"
#include "repairers/WAVRepair.h"
#include "support/Damage.h"
#include "support/Fixtures.h"
#include "support/MediaCheck.h"
#include "support/RepairRun.h"

using namespace mendtest;

namespace {

// ffmpeg plain, with -rf64 auto, with bext and 24-bit; sox 24-bit.
const char* const kWavFixtures[] = {"clip.wav", "clip_rf64.wav", "clip_bext.wav", "clip_s24.wav",
                                    "clip_sox24.wav", "clip_f32.wav"};

struct RiffChunk {
    std::string id;
    int64_t pos = 0;
    uint32_t size = 0;
};

// The chunks of a RIFF/WAVE file as its sizes declare them.
std::vector<RiffChunk> Chunks(const std::vector<uint8_t>& d)
{
    std::vector<RiffChunk> out;
    for (int64_t p = 12; p + 8 <= int64_t(d.size());) {
        RiffChunk c;
        c.id.assign(reinterpret_cast<const char*>(&d[p]), 4);
        c.pos = p;
        c.size = ReadLE32(d, p + 4);
        out.push_back(c);
        p += 8 + int64_t(c.size) + (c.size & 1);
    }
    return out;
}

std::optional<RiffChunk> Find(const std::vector<RiffChunk>& chunks, const std::string& id)
{
    for (const RiffChunk& c : chunks)
        if (c.id == id)
            return c;
    return std::nullopt;
}

// Every size of the file holds: RIFF covers the file, the chunks tile it.
void ExpectSizesTellTheTruth(const std::vector<uint8_t>& d)
{
    ASSERT_GE(d.size(), 12u);
    EXPECT_EQ(ReadLE32(d, 4), d.size() - 8);
    int64_t end = 12;
    for (const RiffChunk& c : Chunks(d))
        end = c.pos + 8 + int64_t(c.size) + (c.size & 1);
    EXPECT_EQ(end, int64_t(d.size()));
}

TEST(WavWalk, IntactFixturesAreUndamaged)
{
    for (const char* name : kWavFixtures) {
        SCOPED_TRACE(name);
        const std::string path = RequireFixture(name);
        if (path.empty())
            return;
        const auto o = ParseAndRepairWith<CWAVRepair>(path);
        EXPECT_EQ(o.parse, 0);
        EXPECT_TRUE(o.codes.empty());
    }
}

struct Damage {
    const char* name;
    // Damages the bytes; false when the clip does not suit the damage.
    bool (*apply)(std::vector<uint8_t>& d);
    // The repaired file is the original byte for byte.
    bool restoresOriginal;
    // Nothing is left to repair: the parse refuses the file.
    bool refused = false;
};

int64_t DataPos(const std::vector<uint8_t>& d)
{
    const auto chunks = Chunks(d);
    const auto data = Find(chunks, "data");
    return data ? data->pos : -1;
}

// Sets a field of the first format chunk's body (little-endian, Bytes wide).
template <int At, int Bytes, uint32_t Value>
bool SetFmtField(std::vector<uint8_t>& d)
{
    const auto fmt = Find(Chunks(d), "fmt ");
    if (!fmt)
        return false;
    for (int i = 0; i < Bytes; ++i)
        d[fmt->pos + 8 + At + i] = uint8_t(Value >> (8 * i));
    return true;
}

const Damage kDamages[] = {
    {"cut in the middle of a sample frame",
     [](std::vector<uint8_t>& d) {
         d.resize(d.size() - 1001);
         return true;
     },
     false},
    {"data size 0 (a cut-off recording)",
     [](std::vector<uint8_t>& d) {
         WriteLE32(d, DataPos(d) + 4, 0);
         WriteLE32(d, 4, 0);
         return true;
     },
     true},
    {"data size all ones",
     [](std::vector<uint8_t>& d) {
         WriteLE32(d, DataPos(d) + 4, 0xFFFFFFFF);
         return true;
     },
     true},
    {"data size too small",
     [](std::vector<uint8_t>& d) {
         WriteLE32(d, DataPos(d) + 4, ReadLE32(d, DataPos(d) + 4) / 3);
         return true;
     },
     true},
    {"garbage spliced in front of the data",
     [](std::vector<uint8_t>& d) {
         const auto junk = PseudoRandomBytes(1500, 3);
         d.insert(d.begin() + DataPos(d), junk.begin(), junk.end());
         return true;
     },
     false},
    {"2 KiB zeroed over the chunks in front of the data",
     [](std::vector<uint8_t>& d) {
         const auto chunks = Chunks(d);
         const auto bext = Find(chunks, "bext");
         if (!bext)
             return false;
         const int64_t end = std::min<int64_t>(bext->pos + 2048, DataPos(d));
         std::fill(d.begin() + bext->pos, d.begin() + end, 0);
         return true;
     },
     false},
    {"zeros appended (a tail the filesystem filled)",
     [](std::vector<uint8_t>& d) {
         d.resize(d.size() + 70000, 0);
         return true;
     },
     true},
    {"codec GUID of an extensible format damaged",
     [](std::vector<uint8_t>& d) {
         const auto fmt = Find(Chunks(d), "fmt ");
         if (!fmt || fmt->size < 40)
             return false;
         d[fmt->pos + 8 + 30] ^= 0x5A;
         return true;
     },
     false, true},
    // A PCM format's fields are tied: the one a damage took is worked out
    // from the others, and the repair is the original again.
    {"format channels 0", SetFmtField<2, 2, 0>, true},
    {"format channels all ones", SetFmtField<2, 2, 0xFFFF>, true},
    {"format sample rate 0", SetFmtField<4, 4, 0>, true},
    {"format sample rate 1", SetFmtField<4, 4, 1>, true},
    {"format sample rate 2^31", SetFmtField<4, 4, 0x80000000u>, true},
    {"format bytes per second 0", SetFmtField<8, 4, 0>, true},
    {"format bytes per second 1", SetFmtField<8, 4, 1>, true},
    {"format bytes per second all ones", SetFmtField<8, 4, 0xFFFFFFFFu>, true},
    {"format bytes per second 2^31", SetFmtField<8, 4, 0x80000000u>, true},
    {"format block align 0", SetFmtField<12, 2, 0>, true},
    {"format block align 1", SetFmtField<12, 2, 1>, true},
    {"format block align all ones", SetFmtField<12, 2, 0xFFFF>, true},
    {"format bits per sample 1", SetFmtField<14, 2, 1>, true},
    // Two broken fields leave nothing to work either out from.
    {"format sample rate and bytes per second 0",
     [](std::vector<uint8_t>& d) { return SetFmtField<4, 4, 0>(d) && SetFmtField<8, 4, 0>(d); }, false, true},
    {"garbage appended",
     [](std::vector<uint8_t>& d) {
         const auto junk = PseudoRandomBytes(333, 4);
         d.insert(d.end(), junk.begin(), junk.end());
         return true;
     },
     false},
};

TEST(WavRepair, EveryDamageIsRepairedIntoAFileWhoseSizesHold)
{
    for (const char* name : kWavFixtures) {
        const std::string src = RequireFixture(name);
        if (src.empty())
            return;
        const auto clean = ReadFileBytes(src);
        const MediaReport original = CheckMedia(src);
        ASSERT_TRUE(original.CleanDecode()) << original.Summary();
        const auto data0 = Find(Chunks(clean), "data");
        ASSERT_TRUE(data0.has_value());
        const RiffChunk data = *data0;
        for (const Damage& damage : kDamages) {
            auto bytes = clean;
            if (!damage.apply(bytes))
                continue;
            SCOPED_TRACE(std::string(name) + ": " + damage.name);
            ScratchDir dir("wav");
            const std::string in = dir.Path("damaged.wav"), out = dir.Path("repaired.wav");
            ASSERT_TRUE(WriteFileBytes(in, bytes));
            const auto o = ParseAndRepairWith<CWAVRepair>(in, out);
            if (damage.refused) {
                EXPECT_EQ(o.parse, JRVP_ERR_UNREPAIRABLE);
                continue;
            }
            ASSERT_EQ(o.parse, 0);
            ASSERT_FALSE(o.codes.empty()) << "damage went unnoticed";
            ASSERT_EQ(o.repair, 0);
            const auto fixed = ReadFileBytes(out);
            ExpectSizesTellTheTruth(fixed);
            const MediaReport repaired = CheckMedia(out);
            EXPECT_TRUE(repaired.CleanDecode()) << repaired.Summary();
            if (damage.restoresOriginal) {
                EXPECT_TRUE(fixed == clean) << "the repair is not the original";
                continue;
            }
            // The samples kept are the original's, from the start. (Bytes
            // after the data that form no chunk cannot be told from samples
            // that a too small size left out: they stay in the data.)
            const auto got = Find(Chunks(fixed), "data");
            ASSERT_TRUE(got.has_value());
            EXPECT_GT(got->size, data.size / 2);
            const uint32_t same = std::min(got->size, data.size);
            EXPECT_TRUE(std::equal(fixed.begin() + got->pos + 8, fixed.begin() + got->pos + 8 + same,
                                   clean.begin() + data.pos + 8));
            EXPECT_EQ(Find(Chunks(fixed), "fmt ")->size, Find(Chunks(clean), "fmt ")->size);
        }
    }
}

// A chunk we do not know, of odd size with its pad byte, and JUNK, PEAK,
// cue and LIST chunks: all are kept and none is damage.
TEST(WavWalk, UnknownChunksAndPadBytesAreKept)
{
    const std::string src = RequireFixture("clip.wav");
    if (src.empty())
        return;
    auto bytes = ReadFileBytes(src);
    const int64_t dataPos = DataPos(bytes);
    std::vector<uint8_t> extra;
    auto add = [&](const char* id, size_t size, uint8_t fill) {
        const size_t at = extra.size();
        extra.insert(extra.end(), id, id + 4);
        extra.resize(at + 8, 0);
        WriteLE32(extra, at + 4, static_cast<uint32_t>(size));
        extra.resize(at + 8 + size + (size & 1), fill);
        if (size & 1)
            extra.back() = 0;
    };
    add("JUNK", 28, 0);
    add("abcd", 13, 'x');
    add("PEAK", 24, 1);
    add("cue ", 29, 2);
    add("LIST", 17, 'L');
    bytes.insert(bytes.begin() + dataPos, extra.begin(), extra.end());
    WriteLE32(bytes, 4, static_cast<uint32_t>(bytes.size() - 8));
    // And one odd chunk after the data.
    std::vector<uint8_t> tail = {'s', 'm', 'p', 'l', 9, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0};
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    WriteLE32(bytes, 4, static_cast<uint32_t>(bytes.size() - 8));
    ScratchDir dir("wavchunks");
    const std::string in = dir.Path("chunks.wav");
    ASSERT_TRUE(WriteFileBytes(in, bytes));
    size_t chunks = 0;
    const auto o = ParseAndRepairWith<CWAVRepair>(in, "", [&](CWAVRepair& r, RepairOutcome&) {
        chunks = r.Chunks().size();
    });
    EXPECT_EQ(o.parse, 0);
    EXPECT_TRUE(o.codes.empty());
    EXPECT_EQ(chunks, Chunks(bytes).size());

    // Cut off in the data, the rebuild keeps every chunk in front of it.
    bytes.resize(bytes.size() - tail.size() - 501);
    ASSERT_TRUE(WriteFileBytes(in, bytes));
    const std::string out = dir.Path("fixed.wav");
    const auto r = ParseAndRepairWith<CWAVRepair>(in, out);
    ASSERT_EQ(r.parse, 0);
    ASSERT_EQ(r.repair, 0);
    const auto fixed = ReadFileBytes(out);
    ExpectSizesTellTheTruth(fixed);
    EXPECT_TRUE(std::equal(fixed.begin() + 12, fixed.begin() + dataPos + int64_t(extra.size()), bytes.begin() + 12));
    EXPECT_EQ(FindBytes(fixed, "abcd"), FindBytes(bytes, "abcd"));
    EXPECT_EQ(FindBytes(fixed, "LIST"), FindBytes(bytes, "LIST"));
    EXPECT_TRUE(CheckMedia(out).CleanDecode());
}

// An "id3 " chunk: a frame followed by padding is sound; a damaged frame is
// cut and both the chunk size and the tag size follow.
// An "id3 " chunk holding an ID3v2.3 tag of three text frames and padding.
std::vector<uint8_t> Id3Chunk(std::vector<uint8_t>* tagOut = nullptr)
{
    std::vector<uint8_t> tag = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 0};
    auto frame = [&](const char* id, const std::string& text) {
        const size_t at = tag.size();
        tag.insert(tag.end(), id, id + 4);
        tag.resize(at + 10, 0);
        WriteBE32(tag, at + 4, static_cast<uint32_t>(text.size() + 1));
        tag.push_back(0);
        tag.insert(tag.end(), text.begin(), text.end());
    };
    frame("TIT2", "vidmend fixture");
    frame("TPE1", "vidmend");
    frame("TALB", "fixtures");
    tag.resize(tag.size() + 64, 0);  // padding
    const uint32_t tagSize = static_cast<uint32_t>(tag.size() - 10);
    tag[8] = (tagSize >> 7) & 0x7F;
    tag[9] = tagSize & 0x7F;
    std::vector<uint8_t> chunk = {'i', 'd', '3', ' ', 0, 0, 0, 0};
    WriteLE32(chunk, 4, static_cast<uint32_t>(tag.size()));
    chunk.insert(chunk.end(), tag.begin(), tag.end());
    if (tagOut)
        *tagOut = tag;
    return chunk;
}

TEST(WavRepair, Id3ChunkKeepsItsSoundFramesAndItsSizes)
{
    const std::string src = RequireFixture("clip.wav");
    if (src.empty())
        return;
    auto clean = ReadFileBytes(src);
    std::vector<uint8_t> tag;
    const auto chunk = Id3Chunk(&tag);
    clean.insert(clean.end(), chunk.begin(), chunk.end());
    WriteLE32(clean, 4, static_cast<uint32_t>(clean.size() - 8));

    ScratchDir dir("wavid3");
    const std::string in = dir.Path("id3.wav"), out = dir.Path("fixed.wav");
    ASSERT_TRUE(WriteFileBytes(in, clean));
    auto o = ParseAndRepairWith<CWAVRepair>(in);
    EXPECT_EQ(o.parse, 0);
    EXPECT_TRUE(o.codes.empty());

    auto bytes = clean;
    const int64_t tpe1 = FindBytes(bytes, "TPE1");
    std::memcpy(&bytes[tpe1], "\x01\x02\x03\x04", 4);
    ASSERT_TRUE(WriteFileBytes(in, bytes));
    o = ParseAndRepairWith<CWAVRepair>(in, out);
    ASSERT_EQ(o.parse, 0);
    ASSERT_FALSE(o.codes.empty());
    ASSERT_EQ(o.repair, 0);
    const auto fixed = ReadFileBytes(out);
    ExpectSizesTellTheTruth(fixed);
    const auto id3 = Find(Chunks(fixed), "id3 ");
    ASSERT_TRUE(id3.has_value());
    // TPE1 goes, and TIT2 in front of it, whose end nothing confirms.
    const int cut = (10 + 16) + (10 + 8);
    EXPECT_EQ(id3->size, tag.size() - cut);
    const uint8_t* s = &fixed[id3->pos + 8 + 6];
    EXPECT_EQ(((s[0] << 21) | (s[1] << 14) | (s[2] << 7) | s[3]) + 10, int(id3->size));
    EXPECT_GT(FindBytes(fixed, "TALB"), 0);
    EXPECT_TRUE(CheckMedia(out).CleanDecode());

    // With every frame damaged nothing of the tag is left: the chunk goes.
    for (const char* id : {"TIT2", "TALB"})
        std::memcpy(&bytes[FindBytes(bytes, id)], "\x05\x06\x07\x08", 4);
    ASSERT_TRUE(WriteFileBytes(in, bytes));
    o = ParseAndRepairWith<CWAVRepair>(in, out);
    ASSERT_EQ(o.parse, 0);
    ASSERT_EQ(o.repair, 0);
    const auto bare = ReadFileBytes(out);
    ExpectSizesTellTheTruth(bare);
    EXPECT_FALSE(Find(Chunks(bare), "id3 ").has_value());
}

// A file that starts with an "id3 " chunk in front of the form: intact, it
// is undamaged; cut off, the repaired file starts with "RIFF" and carries
// the tag inside its form.
TEST(WavRepair, LeadingId3ChunkMovesIntoTheForm)
{
    const std::string src = RequireFixture("clip.wav");
    if (src.empty())
        return;
    const auto wav = ReadFileBytes(src);
    auto lead = Id3Chunk();
    lead.insert(lead.end(), wav.begin(), wav.end());
    ScratchDir dir("wavlead");
    const std::string in = dir.Path("lead.wav"), out = dir.Path("fixed.wav");
    ASSERT_TRUE(WriteFileBytes(in, lead));
    auto o = ParseAndRepairWith<CWAVRepair>(in);
    EXPECT_EQ(o.parse, 0);
    EXPECT_TRUE(o.codes.empty());

    lead.resize(lead.size() * 7 / 10);
    ASSERT_TRUE(WriteFileBytes(in, lead));
    o = ParseAndRepairWith<CWAVRepair>(in, out);
    ASSERT_EQ(o.parse, 0);
    ASSERT_EQ(o.repair, 0);
    const auto fixed = ReadFileBytes(out);
    ASSERT_EQ(std::string(fixed.begin(), fixed.begin() + 4), "RIFF");
    ExpectSizesTellTheTruth(fixed);
    EXPECT_TRUE(Find(Chunks(fixed), "id3 ").has_value());
    EXPECT_TRUE(CheckMedia(out).CleanDecode());
    EXPECT_GT(FindBytes(fixed, "TALB"), 0);
}

// A float file's "fact" chunk counts its sample frames: after a cut, the
// repaired file counts what it kept.
TEST(WavRepair, FactCountFollowsTheKeptData)
{
    const std::string src = RequireFixture("clip_f32.wav");
    if (src.empty())
        return;
    auto bytes = ReadFileBytes(src);
    ASSERT_TRUE(Find(Chunks(bytes), "fact").has_value());
    bytes.resize(bytes.size() * 6 / 10);
    ScratchDir dir("wavfact");
    const std::string in = dir.Path("cut.wav"), out = dir.Path("fixed.wav");
    ASSERT_TRUE(WriteFileBytes(in, bytes));
    const auto o = ParseAndRepairWith<CWAVRepair>(in, out);
    ASSERT_EQ(o.parse, 0);
    ASSERT_EQ(o.repair, 0);
    const auto fixed = ReadFileBytes(out);
    ExpectSizesTellTheTruth(fixed);
    const auto chunks = Chunks(fixed);
    const auto fact = Find(chunks, "fact");
    const auto data = Find(chunks, "data");
    ASSERT_TRUE(fact && data);
    const uint32_t frameBytes = 2 * 4;  // stereo, 32-bit float
    EXPECT_EQ(ReadLE32(fixed, fact->pos + 8), data->size / frameBytes);
    EXPECT_TRUE(CheckMedia(out).CleanDecode());
}

// An RF64 file (what -rf64 auto makes of a long recording): its sizes are
// in the ds64 chunk. Cut off, it is rebuilt as a plain RIFF form.
TEST(WavRepair, Rf64SizesComeFromItsDs64Chunk)
{
    const std::string src = RequireFixture("clip_rf64.wav");
    if (src.empty())
        return;
    auto bytes = ReadFileBytes(src);
    // ffmpeg reserves the ds64 chunk as JUNK while the file is small.
    ASSERT_EQ(FindBytes(bytes, "JUNK"), 12);
    const int64_t dataPos = DataPos(bytes);
    const uint32_t dataSize = ReadLE32(bytes, dataPos + 4);
    std::memcpy(&bytes[0], "RF64", 4);
    WriteLE32(bytes, 4, 0xFFFFFFFF);
    std::memcpy(&bytes[12], "ds64", 4);
    WriteLE32(bytes, 20, static_cast<uint32_t>(bytes.size() - 8));
    WriteLE32(bytes, 24, 0);
    WriteLE32(bytes, 28, dataSize);
    WriteLE32(bytes, 32, 0);
    WriteLE32(bytes, dataPos + 4, 0xFFFFFFFF);
    ScratchDir dir("wavrf64");
    const std::string in = dir.Path("rf64.wav"), out = dir.Path("fixed.wav");
    ASSERT_TRUE(WriteFileBytes(in, bytes));
    auto o = ParseAndRepairWith<CWAVRepair>(in);
    EXPECT_EQ(o.parse, 0);
    EXPECT_TRUE(o.codes.empty());

    bytes.resize(bytes.size() - 999);
    ASSERT_TRUE(WriteFileBytes(in, bytes));
    o = ParseAndRepairWith<CWAVRepair>(in, out);
    ASSERT_EQ(o.parse, 0);
    ASSERT_EQ(o.repair, 0);
    const auto fixed = ReadFileBytes(out);
    EXPECT_EQ(std::string(fixed.begin(), fixed.begin() + 4), "RIFF");
    ExpectSizesTellTheTruth(fixed);
    EXPECT_FALSE(Find(Chunks(fixed), "ds64").has_value());
    const MediaReport r = CheckMedia(out);
    EXPECT_TRUE(r.CleanDecode()) << r.Summary();
}

// Sizes are 32-bit: a form that would pass 4 GiB is refused, not wrapped.
// The recording is a sparse file whose data size was never filled in.
TEST(WavRepair, OutputBeyondFourGiBIsRefused)
{
    const std::string src = RequireFixture("clip.wav");
    if (src.empty())
        return;
    auto bytes = ReadFileBytes(src);
    const int64_t dataPos = DataPos(bytes);
    bytes.resize(dataPos + 8 + 4096);
    WriteLE32(bytes, dataPos + 4, 0);
    WriteLE32(bytes, 4, 0);
    ScratchDir dir("wavbig");
    const std::string in = dir.Path("big.wav"), out = dir.Path("fixed.wav");
    ASSERT_TRUE(WriteFileBytes(in, bytes));
    ASSERT_EQ(truncate(in.c_str(), (int64_t(1) << 32) + 4096), 0);
    int64_t form = 0;
    const auto o = ParseAndRepairWith<CWAVRepair>(in, out, [&](CWAVRepair& r, RepairOutcome&) {
        form = r.RebuiltFormSize();
    });
    ASSERT_EQ(o.parse, 0);
    EXPECT_GT(form, int64_t(0xFFFFFFFF));
    EXPECT_EQ(o.repair, JRVP_ERR_UNREPAIRABLE);
    EXPECT_LE(FileSize(out), 12);
}

TEST(WavWalk, HostileInputsEndInAClearCode)
{
    std::vector<std::vector<uint8_t>> inputs = {
        {},
        {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'},
        {'R', 'F', '6', '4', 0xFF, 0xFF, 0xFF, 0xFF, 'W', 'A', 'V', 'E', 'd', 's', '6', '4'},
    };
    std::vector<uint8_t> fmtOnly = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E',
                                    'f', 'm', 't', ' ', 0xFF, 0xFF, 0xFF, 0xFF};
    fmtOnly.resize(400, 0xFF);
    inputs.push_back(fmtOnly);
    auto noise = PseudoRandomBytes(30000, 9);
    std::memcpy(noise.data(), "RIFF\0\0\0\0WAVE", 12);
    inputs.push_back(noise);
    ScratchDir dir("wavhostile");
    for (size_t i = 0; i < inputs.size(); ++i) {
        const std::string in = dir.Path("h" + std::to_string(i) + ".wav");
        ASSERT_TRUE(WriteFileBytes(in, inputs[i]));
        const auto o = ParseAndRepairWith<CWAVRepair>(in, dir.Path("o.wav"));
        EXPECT_NE(o.parse, 0) << i;
    }
}

}  // namespace
