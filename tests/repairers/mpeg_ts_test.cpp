// Transport streams: damage to a PES header is found and the header
// rebuilt, and a loss costs only the frames it reached. Judged by
// libavformat against the intact original, on files from ffmpeg (188- and
// 192-byte packets) and GStreamer.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "repairers/MPEGRepair.h"
#include "support/Damage.h"
#include "support/Fixtures.h"
#include "support/MediaCheck.h"
#include "support/RepairRun.h"

using namespace mendtest;

namespace {

const char* const kFixtures[] = {"clip.ts", "clip_bframes.ts", "clip_mpeg2.ts", "clip_gst.ts", "clip.m2ts",
                                 "clip_plain.m2ts"};

// One PES packet of the file: the packets that carry it, where its header
// begins and what stream it belongs to.
struct Unit {
    int pid = -1;
    uint8_t streamId = 0;
    int64_t pes = -1;               // offset of its 00 00 01
    std::vector<int64_t> packets;   // offsets of its transport packets (their sync byte)
};

struct Layout {
    int64_t length = 188;  // packet length
    int sync = 0;          // bytes before the sync byte
    std::vector<Unit> units;
};

Layout Walk(const std::vector<uint8_t>& d)
{
    Layout l;
    if (d.size() > 200 && d[0] != 0x47 && d[4] == 0x47 && d[196] == 0x47) {
        l.length = 192;
        l.sync = 4;
    }
    std::map<int, size_t> open;  // PID -> index of its unit in progress
    for (size_t p = l.sync; p + 188 <= d.size(); p += l.length) {
        const uint8_t* k = &d[p];
        if (k[0] != 0x47)
            continue;
        const int pid = ((k[1] & 0x1F) << 8) | k[2];
        if (pid < 32 || pid == 0x1FFF || !(k[3] & 0x10))
            continue;
        const int payload = (k[3] & 0x20) ? 5 + k[4] : 4;
        if (payload + 9 > 188)
            continue;
        if (k[1] & 0x40) {
            if (k[payload] != 0 || k[payload + 1] != 0 || k[payload + 2] != 1 || k[payload + 3] < 0xC0)
                continue;  // a section
            Unit u;
            u.pid = pid;
            u.streamId = k[payload + 3];
            u.pes = static_cast<int64_t>(p) + payload;
            open[pid] = l.units.size();
            l.units.push_back(u);
        }
        const auto it = open.find(pid);
        if (it != open.end())
            l.units[it->second].packets.push_back(static_cast<int64_t>(p));
    }
    return l;
}

// The first program map section of the file: the offset of its table_id,
// found through the program association table; -1 none.
int64_t FirstProgramMap(const std::vector<uint8_t>& d, const Layout& l)
{
    int pmtPid = -1;
    for (size_t p = l.sync; p + 188 <= d.size(); p += l.length) {
        const uint8_t* k = &d[p];
        const int pid = ((k[1] & 0x1F) << 8) | k[2];
        if (k[0] != 0x47 || !(k[1] & 0x40) || !(k[3] & 0x10) || (pid != 0 && pid != pmtPid))
            continue;
        const int payload = (k[3] & 0x20) ? 5 + k[4] : 4;
        const int64_t section = static_cast<int64_t>(p) + payload + 1 + k[payload];
        if (pid == pmtPid)
            return d[section] == 0x02 ? section : -1;
        // The first program entry that is not the network PID.
        for (int64_t e = section + 8; e + 4 <= section + 3 + (((d[section + 1] & 0x0F) << 8) | d[section + 2]) - 4;
             e += 4)
            if (d[e] || d[e + 1]) {
                pmtPid = ((d[e + 2] & 0x1F) << 8) | d[e + 3];
                break;
            }
    }
    return -1;
}

// MPEG's section checksum (CRC-32, polynomial 0x04C11DB7, from all ones).
uint32_t SectionCrc(const uint8_t* b, size_t n)
{
    uint32_t crc = 0xFFFFFFFF;
    for (size_t i = 0; i < n; ++i) {
        crc ^= static_cast<uint32_t>(b[i]) << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000) ? (crc << 1) ^ 0x04C11DB7 : crc << 1;
    }
    return crc;
}

bool IsVideo(const Unit& u)
{
    return u.streamId >= 0xE0;
}

// The original's frames that a repaired copy must hold, by media type and
// pts: those of every unit whose packets the damage did not reach. A
// packet's unit is found by the byte position libavformat gives its first
// frame; the frames a parser split from the same PES packet follow it
// without one. Frames that refer to a lost one are kept as well: they
// decode, the decoder standing in for the frame that is missing.
std::set<std::pair<int, int64_t>> FramesOutside(const MediaReport& original, const Layout& l,
                                                const std::function<bool(int64_t pkt)>& reached)
{
    std::map<int64_t, bool> lost;  // packet offset of a unit's first packet -> the damage reached it
    for (const Unit& u : l.units) {
        const bool hit = std::any_of(u.packets.begin(), u.packets.end(), reached);
        lost[u.packets.front() - l.sync] = hit;
    }
    std::set<std::pair<int, int64_t>> keep;
    std::map<int, bool> streamLost;  // the unit in progress of each stream
    for (const PacketInfo& p : original.packets) {
        if (p.pos >= 0) {
            const auto it = lost.find(p.pos);
            streamLost[p.stream] = it == lost.end() || it->second;
        }
        const auto s = streamLost.find(p.stream);
        if (s != streamLost.end() && !s->second && p.pts != AV_NOPTS_VALUE)
            keep.insert({original.streams[p.stream].type, p.pts});
    }
    return keep;
}

void ExpectFramesKept(const std::set<std::pair<int, int64_t>>& want, const MediaReport& repaired)
{
    std::set<std::pair<int, int64_t>> got;
    for (const PacketInfo& p : repaired.packets)
        got.insert({repaired.streams[p.stream].type, p.pts});
    int missing = 0;
    for (const auto& f : want)
        if (!got.count(f) && ++missing <= 5)
            ADD_FAILURE() << av_get_media_type_string(static_cast<AVMediaType>(f.first)) << " frame at pts "
                          << f.second << " lay outside the damage and is lost";
    EXPECT_EQ(missing, 0) << "of " << want.size() << " frames outside the damage";
}

// Each byte of a PES header's fixed part set to a hostile value, on the
// first video unit (whose loss costs the whole first group of pictures),
// one from the middle, and an audio unit from the middle: the damage is
// recorded and the header rebuilt, so that every frame comes back.
TEST(MpegTransportStream, DamagedPesHeadersAreRecordedAndRebuilt)
{
    struct Field {
        const char* name;
        int offset;  // from the PES start code
        std::vector<uint8_t> value;
    };
    const Field fields[] = {
        {"header length 0", 8, {0}},        {"header length 1", 8, {1}},
        {"header length 0x80", 8, {0x80}},  {"header length 0xff", 8, {0xFF}},
        {"first flags 0", 6, {0}},          {"first flags 0xff", 6, {0xFF}},
        {"second flags 0", 7, {0}},         {"second flags 1", 7, {1}},
        {"second flags 0xff", 7, {0xFF}},   {"packet length 1", 4, {0, 1}},
        {"packet length 0x8000", 4, {0x80, 0}}, {"packet length 0xffff", 4, {0xFF, 0xFF}},
    };
    ScratchDir dir("mpegts");
    for (const char* name : kFixtures) {
        const std::string src = RequireFixture(name);
        if (src.empty())
            return;
        const auto clean = ReadFileBytes(src);
        const MediaReport original = CheckMedia(src);
        ASSERT_TRUE(original.CleanDecode()) << original.Summary();
        const Layout l = Walk(clean);
        std::vector<const Unit*> video, audio;
        for (const Unit& u : l.units)
            (IsVideo(u) ? video : audio).push_back(&u);
        ASSERT_GT(video.size(), 4u) << name;
        ASSERT_GT(audio.size(), 4u) << name;
        const std::pair<const char*, const Unit*> picks[] = {
            {"first video unit", video.front()},
            {"video unit in the middle", video[video.size() / 2]},
            {"audio unit in the middle", audio[audio.size() / 2]},
        };
        const std::string ext = std::string(name).substr(std::string(name).rfind('.'));
        for (const auto& pick : picks)
            for (const Field& f : fields) {
                SCOPED_TRACE(std::string(name) + ", " + pick.first + ", " + f.name);
                auto bytes = clean;
                const int64_t at = pick.second->pes + f.offset;
                if (std::equal(f.value.begin(), f.value.end(), bytes.begin() + at))
                    continue;  // the value it holds already
                std::copy(f.value.begin(), f.value.end(), bytes.begin() + at);
                const std::string in = dir.Path("in" + ext), out = dir.Path("out" + ext);
                ASSERT_TRUE(WriteFileBytes(in, bytes));
                const RepairOutcome o = ParseAndRepairWith<CMPEGRepair>(in, out);
                ASSERT_EQ(o.parse, 0);
                EXPECT_FALSE(o.codes.empty()) << "reported undamaged";
                ASSERT_EQ(o.repair, 0);
                const MediaReport repaired = CheckMedia(out);
                EXPECT_TRUE(repaired.CleanDecode()) << repaired.Summary();
                EXPECT_EQ(repaired.VideoFrames(), original.VideoFrames());
                EXPECT_EQ(repaired.AudioFrames(), original.AudioFrames());
            }
    }
}

// A program map whose program_info_length was damaged: a demuxer reads its
// stream loop from the wrong byte and may find no stream at all. The
// length is recorded as damage and taken again from the program's
// descriptors, in a file whose program has descriptors (ffmpeg's M2TS) and
// in files whose program has none. Damage that left the checksum as it was
// is mended too: the checksum vouches for the length put back.
TEST(MpegTransportStream, DamagedProgramMapLengthsAreRecordedAndRebuilt)
{
    const struct {
        const char* name;
        uint16_t length;
        bool checksumFollows;  // the checksum was written for the new value
    } cases[] = {
        {"program info length 0", 0, true},
        {"program info length 1", 1, true},
        {"program info length 1, checksum as it was", 1, false},
        {"program info length 6", 6, true},
        {"program info length 0xfff", 0xFFF, true},
    };
    ScratchDir dir("mpegts");
    for (const char* name : {"clip.ts", "clip_gst.ts", "clip.m2ts"}) {
        const std::string src = RequireFixture(name);
        if (src.empty())
            return;
        const auto clean = ReadFileBytes(src);
        const MediaReport original = CheckMedia(src);
        ASSERT_TRUE(original.CleanDecode()) << original.Summary();
        const int64_t section = FirstProgramMap(clean, Walk(clean));
        ASSERT_GT(section, 0) << name;
        const int64_t end = section + 3 + (((clean[section + 1] & 0x0F) << 8) | clean[section + 2]) - 4;
        const std::string ext = std::string(name).substr(std::string(name).rfind('.'));
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(name) + ", " + c.name);
            auto bytes = clean;
            if ((((bytes[section + 10] & 0x0F) << 8) | bytes[section + 11]) == c.length)
                continue;  // the value it holds already
            bytes[section + 10] = static_cast<uint8_t>((bytes[section + 10] & 0xF0) | (c.length >> 8));
            bytes[section + 11] = static_cast<uint8_t>(c.length);
            if (c.checksumFollows) {
                const uint32_t crc = SectionCrc(&bytes[section], static_cast<size_t>(end - section));
                for (int i = 0; i < 4; ++i)
                    bytes[end + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
            }
            const std::string in = dir.Path("in" + ext), out = dir.Path("out" + ext);
            ASSERT_TRUE(WriteFileBytes(in, bytes));
            const RepairOutcome o = ParseAndRepairWith<CMPEGRepair>(in, out);
            ASSERT_EQ(o.parse, 0);
            EXPECT_FALSE(o.codes.empty()) << "reported undamaged";
            ASSERT_EQ(o.repair, 0);
            const MediaReport repaired = CheckMedia(out);
            EXPECT_TRUE(repaired.CleanDecode()) << repaired.Summary();
            EXPECT_EQ(repaired.VideoFrames(), original.VideoFrames());
            EXPECT_EQ(repaired.AudioFrames(), original.AudioFrames());
            // The section as the muxer wrote it, checksum and all.
            const auto fixed = ReadFileBytes(out);
            const int64_t at = FirstProgramMap(fixed, Walk(fixed));
            ASSERT_GT(at, 0);
            EXPECT_TRUE(std::equal(clean.begin() + section, clean.begin() + end + 4, fixed.begin() + at));
        }
    }
}

// Packets lost to damage cost the frames whose units they belonged to (and,
// with frames reordered, those that may refer to them) and no others: not
// the packets after a splice. Zeroed stretches and random bytes spliced
// in, at several places in each file.
TEST(MpegTransportStream, LossCostsOnlyTheFramesItReached)
{
    struct Damage {
        const char* name;
        bool splice;  // inserted; else zeroed in place
        int64_t bytes;
    };
    const Damage damages[] = {{"4 KiB zeroed", false, 4096}, {"32 KiB of random bytes spliced in", true, 32768}};
    ScratchDir dir("mpegts");
    for (const char* name : kFixtures) {
        const std::string src = RequireFixture(name);
        if (src.empty())
            return;
        const auto clean = ReadFileBytes(src);
        const MediaReport original = CheckMedia(src);
        const Layout l = Walk(clean);
        const std::string ext = std::string(name).substr(std::string(name).rfind('.'));
        const int64_t size = static_cast<int64_t>(clean.size());
        for (const Damage& dmg : damages)
            for (const int percent : {25, 45, 65}) {
                // Off the packet grid, as damage falls.
                const int64_t at = size * percent / 100 + 61;
                if (!dmg.splice && at + dmg.bytes > size)
                    continue;
                SCOPED_TRACE(std::string(name) + ", " + dmg.name + " at " + std::to_string(at));
                const std::string in = dir.Path("in" + ext), out = dir.Path("out" + ext);
                ASSERT_TRUE(CopyFile(src, in));
                ASSERT_TRUE(dmg.splice ? SpliceGarbage(in, at, dmg.bytes, static_cast<uint32_t>(at))
                                       : ZeroRange(in, at, dmg.bytes));
                const RepairOutcome o = ParseAndRepairWith<CMPEGRepair>(in, out);
                ASSERT_EQ(o.parse, 0);
                EXPECT_FALSE(o.codes.empty()) << "reported undamaged";
                ASSERT_EQ(o.repair, 0);
                // A frame that refers to a lost one may log its missing
                // reference, as it does from the damaged file itself.
                const MediaReport repaired = CheckMedia(out);
                EXPECT_GT(repaired.VideoFrames(), 0) << repaired.Summary();
                EXPECT_LE(repaired.errorCount, CheckMedia(in).errorCount) << repaired.Summary();
                // A splice takes the packet it lands inside; zeros every
                // packet they touch.
                const int64_t L = l.length;
                const auto reached = [&](int64_t p) {
                    return dmg.splice ? p - l.sync < at && at < p - l.sync + L
                                      : p - l.sync < at + dmg.bytes && at < p - l.sync + L;
                };
                const auto want = FramesOutside(original, l, reached);
                EXPECT_GT(want.size(), original.packets.size() / 2);
                ExpectFramesKept(want, repaired);
            }
    }
}

}  // namespace
