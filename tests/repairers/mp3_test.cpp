// MPEG audio: the tag and frame walks on intact files from two writers, and
// the rebuild of damaged ones, judged by libavformat.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/BaseStream.h"
#include "repairers/MP3Repair.h"
#include "support/Damage.h"
#include "support/Fixtures.h"
#include "support/MediaCheck.h"
#include "support/RepairRun.h"

using namespace mendtest;

namespace {

// ffmpeg (CBR and VBR, ID3v2.3 and v2.4, ID3v1, cover art, MPEG-2 layer
// III at 22 kHz) and lame (VBR with ID3v2, CBR with ID3v1 only).
const char* const kMp3Fixtures[] = {"clip.mp3",       "clip_cbr.mp3",     "clip_vbr.mp3",
                                    "clip_cover.mp3", "clip_cover24.mp3", "clip_lame.mp3",
                                    "clip_lame_cbr.mp3"};
// The damage table also runs on a layer II stream.
const char* const kDamagedFixtures[] = {"clip.mp3",         "clip_cbr.mp3",      "clip_vbr.mp3",
                                        "clip_cover.mp3",   "clip_cover24.mp3",  "clip_lame.mp3",
                                        "clip_lame_cbr.mp3", "clip_layer2.mp2"};

int64_t Id3End(const std::vector<uint8_t>& d)
{
    if (d.size() < 10 || std::memcmp(d.data(), "ID3", 3) != 0)
        return 0;
    return 10 + ((int64_t(d[6] & 0x7F) << 21) | (int64_t(d[7] & 0x7F) << 14) | (int64_t(d[8] & 0x7F) << 7) |
                 (d[9] & 0x7F));
}

// Frame and byte counts of the Xing/Info header in the first frame; -1 when
// the file has none (or it lacks the field).
struct InfoCounts {
    int64_t frames = -1;
    int64_t bytes = -1;
};

InfoCounts ReadInfo(const std::vector<uint8_t>& d)
{
    InfoCounts c;
    const int64_t start = Id3End(d);
    int64_t at = FindBytes(d, "Xing", start);
    const int64_t info = FindBytes(d, "Info", start);
    if (at < 0 || (info >= 0 && info < at))
        at = info;
    if (at < 0 || at > start + 40)
        return c;
    const uint32_t flags = ReadBE32(d, at + 4);
    int64_t p = at + 8;
    if (flags & 1) {
        c.frames = ReadBE32(d, p);
        p += 4;
    }
    if (flags & 2)
        c.bytes = ReadBE32(d, p);
    return c;
}

// Whether the CRC-16 that a LAME tag keeps over the first 190 bytes of
// its frame holds (the frame starts right after the ID3v2 tag).
bool LameCrcHolds(const std::vector<uint8_t>& d)
{
    const size_t f = static_cast<size_t>(Id3End(d));
    if (d.size() < f + 192)
        return false;
    uint16_t crc = 0;
    for (size_t i = f; i < f + 190; ++i) {
        crc ^= d[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
    }
    return crc == ((d[f + 190] << 8) | d[f + 191]);
}

std::vector<PacketInfo> AudioPackets(const MediaReport& r)
{
    std::vector<PacketInfo> out;
    const StreamReport* a = r.FirstStream(AVMEDIA_TYPE_AUDIO);
    for (const PacketInfo& p : r.packets)
        if (a && p.stream == a->index)
            out.push_back(p);
    return out;
}

// The Info header counts every frame that libavformat reads, and the bytes
// from the first frame to the end of the audio.
void ExpectInfoTellsTheTruth(const std::string& path)
{
    const auto bytes = ReadFileBytes(path);
    const InfoCounts info = ReadInfo(bytes);
    const MediaReport r = CheckMedia(path);
    if (info.frames >= 0) {
        EXPECT_EQ(info.frames, static_cast<int64_t>(AudioPackets(r).size())) << path;
    }
    if (info.bytes >= 0) {
        const auto packets = AudioPackets(r);
        ASSERT_FALSE(packets.empty());
        // The Info frame itself is counted and comes right before the first packet.
        const int64_t first = Id3End(bytes);
        const int64_t end = packets.back().pos + packets.back().size;
        EXPECT_EQ(info.bytes, end - first) << path;
    }
}

TEST(Mp3Walk, IntactFixturesAreUndamaged)
{
    for (const char* name : kMp3Fixtures) {
        SCOPED_TRACE(name);
        const std::string path = RequireFixture(name);
        if (path.empty())
            return;
        uint32_t frames = 0;
        const auto o = ParseAndRepairWith<CMP3Repair>(path, "", [&](CMP3Repair& r, RepairOutcome&) {
            frames = r.FrameCount();
        });
        EXPECT_EQ(o.parse, 0);
        EXPECT_TRUE(o.codes.empty());
        const MediaReport report = CheckMedia(path);
        EXPECT_EQ(frames, AudioPackets(report).size());
    }
}

TEST(Mp3Walk, LayerTwoFramesAreSizedByTheirOwnTable)
{
    const std::string path = RequireFixture("clip_layer2.mp2");
    if (path.empty())
        return;
    uint32_t frames = 0;
    const auto o = ParseAndRepairWith<CMP3Repair>(path, "", [&](CMP3Repair& r, RepairOutcome&) {
        frames = r.FrameCount();
    });
    EXPECT_EQ(o.parse, 0);
    EXPECT_TRUE(o.codes.empty());
    EXPECT_EQ(frames, AudioPackets(CheckMedia(path)).size());
}

TEST(Mp3Walk, DecodesFrameHeadersOfEveryLayer)
{
    struct Case {
        uint8_t b[4];
        int length;  // 0: rejected
    } cases[] = {
        {{0xFF, 0xFB, 0x90, 0x64}, 417},   // MPEG-1 layer III 128k 44.1k
        {{0xFF, 0xFB, 0x92, 0x64}, 418},   // padded
        {{0xFF, 0xF3, 0x40, 0xC4}, 104},   // MPEG-2 layer III 32k 22.05k
        {{0xFF, 0xFD, 0xA4, 0x00}, 576},   // MPEG-1 layer II 192k 48k
        {{0xFF, 0xFF, 0x90, 0x00}, 312},   // MPEG-1 layer I 288k 44.1k: 4-byte slots
        {{0xFF, 0xF5, 0x80, 0xC4}, 417},   // MPEG-2 layer II 64k 22.05k: 1152 samples
        {{0xFF, 0xFB, 0xF0, 0x64}, 0},     // bitrate index 15
        {{0xFF, 0xFB, 0x00, 0x64}, 0},     // free format
        {{0xFF, 0xFB, 0x9C, 0x64}, 0},     // sample rate index 3
        {{0xFF, 0xEB, 0x90, 0x64}, 0},     // reserved version
        {{0xFF, 0xF9, 0x90, 0x64}, 0},     // reserved layer
        {{0xFF, 0xFB, 0x90, 0x66}, 0},     // reserved emphasis
    };
    for (const Case& c : cases) {
        MpegFrameHeader h;
        const bool ok = DecodeMpegFrameHeader(c.b, h);
        EXPECT_EQ(ok ? h.length : 0, c.length) << std::hex << int(c.b[1]) << " " << int(c.b[2]);
    }
}

// A damage applied to the bytes of a clip; returns the byte range of the
// clip that it destroyed (in the original's offsets).
struct Damage {
    const char* name;
    bool needsId3v1;
    std::pair<int64_t, int64_t> (*apply)(std::vector<uint8_t>& d, int64_t audio);
};

const Damage kDamages[] = {
    {"cut in the middle of a frame", false,
     [](std::vector<uint8_t>& d, int64_t audio) {
         const int64_t cut = audio + (int64_t(d.size()) - audio) * 3 / 5 + 7;
         d.resize(cut);
         return std::make_pair(cut, int64_t(1) << 40);
     }},
    {"2 KiB zeroed", false,
     [](std::vector<uint8_t>& d, int64_t audio) {
         const int64_t at = audio + (int64_t(d.size()) - audio) / 2 + 3;
         std::fill(d.begin() + at, d.begin() + at + 2048, 0);
         return std::make_pair(at, at + 2048);
     }},
    {"garbage spliced in", false,
     [](std::vector<uint8_t>& d, int64_t audio) {
         const int64_t at = audio + (int64_t(d.size()) - audio) / 3 + 5;
         const auto junk = PseudoRandomBytes(1500, 11);
         d.insert(d.begin() + at, junk.begin(), junk.end());
         return std::make_pair(at, at + 1);
     }},
    {"stray TAG inside garbage", false,
     [](std::vector<uint8_t>& d, int64_t audio) {
         const int64_t at = audio + (int64_t(d.size()) - audio) / 4 + 9;
         auto junk = PseudoRandomBytes(400, 12);
         std::memcpy(junk.data() + 100, "TAG", 3);
         d.insert(d.begin() + at, junk.begin(), junk.end());
         return std::make_pair(at, at + 1);
     }},
    {"junk after ID3v1", true,
     [](std::vector<uint8_t>& d, int64_t) {
         const int64_t end = d.size();
         const auto junk = PseudoRandomBytes(700, 13);
         d.insert(d.end(), junk.begin(), junk.end());
         return std::make_pair(end, end);
     }},
};

bool HasId3v1(const std::vector<uint8_t>& d)
{
    return d.size() > 128 && std::memcmp(&d[d.size() - 128], "TAG", 3) == 0;
}

TEST(Mp3Repair, EveryDamageIsRepairedIntoACleanFileThatCountsItsFrames)
{
    for (const char* name : kDamagedFixtures) {
        const std::string src = RequireFixture(name);
        if (src.empty())
            return;
        const auto clean = ReadFileBytes(src);
        const MediaReport original = CheckMedia(src);
        ASSERT_TRUE(original.CleanDecode()) << original.Summary();
        const auto packets = AudioPackets(original);
        ASSERT_FALSE(packets.empty());
        const int64_t audio = packets.front().pos;
        for (const Damage& damage : kDamages) {
            if (damage.needsId3v1 && !HasId3v1(clean))
                continue;
            SCOPED_TRACE(std::string(name) + ": " + damage.name);
            ScratchDir dir("mp3");
            auto bytes = clean;
            const auto range = damage.apply(bytes, audio);
            const std::string in = dir.Path("damaged.mp3"), out = dir.Path("repaired.mp3");
            ASSERT_TRUE(WriteFileBytes(in, bytes));
            const auto o = ParseAndRepairWith<CMP3Repair>(in, out);
            ASSERT_EQ(o.parse, 0);
            ASSERT_FALSE(o.codes.empty()) << "damage went unnoticed";
            ASSERT_EQ(o.repair, 0);

            const MediaReport repaired = CheckMedia(out);
            EXPECT_TRUE(repaired.CleanDecode()) << repaired.Summary();
            // Every frame clear of the damage is kept (the one in front of
            // it may go with it, as its end cannot be confirmed).
            size_t kept = 0;
            for (const PacketInfo& p : packets)
                kept += (p.pos + p.size <= range.first || p.pos >= range.second) ? 1 : 0;
            EXPECT_GE(AudioPackets(repaired).size() + 1, kept);
            ExpectInfoTellsTheTruth(out);
            // The patched counts are covered by the LAME tag's CRC.
            if (LameCrcHolds(clean)) {
                EXPECT_TRUE(LameCrcHolds(ReadFileBytes(out)));
            }
            if (HasId3v1(clean)) {
                EXPECT_TRUE(HasId3v1(ReadFileBytes(out)) || range.second > int64_t(clean.size()))
                    << "the ID3v1 tag was lost";
            }
        }
    }
}

// The tag's declared size is made wrong; the frame walk finds the audio.
TEST(Mp3Repair, WrongTagSizeIsFoundByTheFrameWalk)
{
    for (const char* name : {"clip_cover.mp3", "clip_cover24.mp3", "clip_cbr.mp3", "clip_vbr.mp3"}) {
        const std::string src = RequireFixture(name);
        if (src.empty())
            return;
        const auto clean = ReadFileBytes(src);
        const int64_t tagEnd = Id3End(clean);
        ASSERT_GT(tagEnd, 10);
        if (std::string(name).find("cover") != std::string::npos) {
            ASSERT_GT(tagEnd, 10240) << "the audio must start past the first 10 KiB";
        }
        for (int64_t delta : {int64_t(5000), int64_t(-300)}) {
            SCOPED_TRACE(std::string(name) + " size off by " + std::to_string(delta));
            ScratchDir dir("mp3tag");
            auto bytes = clean;
            const uint32_t size = static_cast<uint32_t>(tagEnd - 10 + delta);
            bytes[6] = (size >> 21) & 0x7F;
            bytes[7] = (size >> 14) & 0x7F;
            bytes[8] = (size >> 7) & 0x7F;
            bytes[9] = size & 0x7F;
            const std::string in = dir.Path("tag.mp3"), out = dir.Path("fixed.mp3");
            ASSERT_TRUE(WriteFileBytes(in, bytes));
            int64_t first = -1;
            const auto o = ParseAndRepairWith<CMP3Repair>(in, out, [&](CMP3Repair& r, RepairOutcome&) {
                first = r.FirstFrame();
            });
            ASSERT_EQ(o.parse, 0);
            EXPECT_EQ(first, tagEnd);
            ASSERT_EQ(o.repair, 0);
            // The rebuilt tag is the original one.
            EXPECT_EQ(ReadFileBytes(out), clean);
        }
    }
}

// A damaged frame inside the tag is cut and the tag's size follows.
TEST(Mp3Repair, DamagedTagFrameIsCutAndTheTagSizeRewritten)
{
    const std::string src = RequireFixture("clip_cover.mp3");
    if (src.empty())
        return;
    auto bytes = ReadFileBytes(src);
    const int64_t tagEnd = Id3End(bytes);
    const int64_t apic = FindBytes(bytes, "APIC");
    ASSERT_GT(apic, 0);
    // The picture's size runs past the tag, and the size of the tag too.
    WriteBE32(bytes, apic + 4, 0x00FFFFFF);
    bytes[6] = 0x7F;
    ScratchDir dir("mp3apic");
    const std::string in = dir.Path("apic.mp3"), out = dir.Path("fixed.mp3");
    ASSERT_TRUE(WriteFileBytes(in, bytes));
    const auto o = ParseAndRepairWith<CMP3Repair>(in, out);
    ASSERT_EQ(o.parse, 0);
    ASSERT_EQ(o.repair, 0);
    const auto fixed = ReadFileBytes(out);
    EXPECT_LT(Id3End(fixed), tagEnd);
    EXPECT_EQ(FindBytes(fixed, "APIC"), -1);
    const MediaReport r = CheckMedia(out);
    EXPECT_TRUE(r.CleanDecode()) << r.Summary();
    EXPECT_EQ(AudioPackets(r).size(), AudioPackets(CheckMedia(src)).size());
}

TEST(Mp3Repair, JunkBeforeTheFirstFrameIsLeftOut)
{
    const std::string src = RequireFixture("clip_lame_cbr.mp3");
    if (src.empty())
        return;
    const auto clean = ReadFileBytes(src);
    ASSERT_EQ(Id3End(clean), 0);
    auto bytes = PseudoRandomBytes(900, 21);
    bytes.insert(bytes.end(), clean.begin(), clean.end());
    ScratchDir dir("mp3lead");
    const std::string in = dir.Path("lead.mp3"), out = dir.Path("fixed.mp3");
    ASSERT_TRUE(WriteFileBytes(in, bytes));
    const auto o = ParseAndRepairWith<CMP3Repair>(in, out);
    ASSERT_EQ(o.parse, 0);
    ASSERT_EQ(o.repair, 0);
    EXPECT_EQ(ReadFileBytes(out), clean);
}

// The Xing seek table of a repaired file points at its own frames: entry i
// is where the frame at i % of the audio starts, in 256ths of its bytes.
TEST(Mp3Repair, XingSeekTableFollowsTheKeptFrames)
{
    const std::string src = RequireFixture("clip_vbr_mix.mp3");
    if (src.empty())
        return;
    auto bytes = ReadFileBytes(src);
    const int64_t xing = FindBytes(bytes, "Xing");
    ASSERT_GT(xing, 0);
    ASSERT_EQ(Id3End(bytes), 0);
    ASSERT_EQ(ReadBE32(bytes, xing + 4) & 7, 7u) << "frames, bytes and a seek table";
    // Loud frames in the middle of the second half go.
    const int64_t size = int64_t(bytes.size());
    std::fill(bytes.begin() + size * 60 / 100, bytes.begin() + size * 80 / 100, 0);
    ScratchDir dir("mp3toc");
    const std::string in = dir.Path("hole.mp3"), out = dir.Path("fixed.mp3");
    ASSERT_TRUE(WriteFileBytes(in, bytes));
    const auto o = ParseAndRepairWith<CMP3Repair>(in, out);
    ASSERT_EQ(o.parse, 0);
    ASSERT_EQ(o.repair, 0);
    const auto fixed = ReadFileBytes(out);
    const MediaReport r = CheckMedia(out);
    ASSERT_TRUE(r.CleanDecode()) << r.Summary();
    const auto packets = AudioPackets(r);
    ASSERT_GT(packets.size(), 100u);
    const uint32_t frames = ReadBE32(fixed, xing + 8);
    const uint32_t total = ReadBE32(fixed, xing + 12);
    EXPECT_EQ(frames, packets.size());
    int worst = 0;
    for (int i = 0; i < 100; ++i) {
        // Offsets count from the info frame, which starts the file.
        const auto& p = packets[size_t(uint64_t(i) * frames / 100)];
        const int expected = int(std::min<int64_t>(255, p.pos * 256 / total));
        worst = std::max(worst, std::abs(int(fixed[xing + 16 + i]) - expected));
    }
    EXPECT_LE(worst, 1);
}

// A VBRI header (another encoder's info frame) counts the frames and bytes
// that the repaired file holds, and names no stale seek positions.
TEST(Mp3Repair, VbriCountsFollowTheKeptFrames)
{
    const std::string src = RequireFixture("clip_noxing.mp3");
    if (src.empty())
        return;
    auto bytes = ReadFileBytes(src);
    const size_t sourceFrames = AudioPackets(CheckMedia(src)).size();
    ASSERT_GT(sourceFrames, 10u);
    // The first frame becomes the info frame.
    const uint8_t vbri[26] = {'V', 'B', 'R', 'I', 0, 1, 0, 0, 0, 75};
    std::memcpy(&bytes[36], vbri, sizeof(vbri));
    WriteBE32(bytes, 36 + 10, static_cast<uint32_t>(bytes.size()));
    WriteBE32(bytes, 36 + 14, static_cast<uint32_t>(sourceFrames - 1));
    ScratchDir dir("mp3vbri");
    const std::string in = dir.Path("vbri.mp3"), out = dir.Path("fixed.mp3");
    ASSERT_TRUE(WriteFileBytes(in, bytes));
    auto o = ParseAndRepairWith<CMP3Repair>(in);
    EXPECT_EQ(o.parse, 0);
    EXPECT_TRUE(o.codes.empty());

    bytes.resize(bytes.size() * 6 / 10);
    ASSERT_TRUE(WriteFileBytes(in, bytes));
    o = ParseAndRepairWith<CMP3Repair>(in, out);
    ASSERT_EQ(o.parse, 0);
    ASSERT_EQ(o.repair, 0);
    const auto fixed = ReadFileBytes(out);
    const MediaReport r = CheckMedia(out);
    EXPECT_TRUE(r.CleanDecode()) << r.Summary();
    EXPECT_EQ(ReadBE32(fixed, 36 + 14), AudioPackets(r).size());
    EXPECT_EQ(ReadBE32(fixed, 36 + 10), fixed.size());
    EXPECT_EQ(fixed[36 + 18] | fixed[36 + 19], 0) << "no seek table entries";
    EXPECT_NEAR(r.durationSeconds, AudioPackets(r).size() * 1152.0 / 44100, 0.05);
}

TEST(Mp3Walk, HostileInputsEndInAClearCode)
{
    std::vector<std::vector<uint8_t>> inputs = {
        {},
        {'I', 'D', '3'},
        {'I', 'D', '3', 4, 0, 0, 0x7F, 0x7F, 0x7F, 0x7F},
        std::vector<uint8_t>(5000, 0xFF),
        PseudoRandomBytes(20000, 5),
    };
    // A tag whose frames claim the whole file and more.
    std::vector<uint8_t> t = {'I', 'D', '3', 3, 0, 0, 0, 0, 0x10, 0, 'T', 'I', 'T', '2', 0xFF, 0xFF, 0xFF, 0xFF, 0, 0};
    t.resize(3000, 'A');
    inputs.push_back(t);
    ScratchDir dir("mp3hostile");
    for (size_t i = 0; i < inputs.size(); ++i) {
        const std::string in = dir.Path("h" + std::to_string(i) + ".mp3");
        ASSERT_TRUE(WriteFileBytes(in, inputs[i]));
        const auto o = ParseAndRepairWith<CMP3Repair>(in, dir.Path("o.mp3"));
        EXPECT_NE(o.parse, 0) << i;
    }
}

}  // namespace
