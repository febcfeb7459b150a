// MPEG system streams: detection and the walks on intact files as ffmpeg
// and GStreamer write them, and the rebuild of damaged ones, judged by
// libavformat.
#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/BaseStream.h"
#include "mendcore/VideoRepair.h"
#include "repairers/MPEGRepair.h"
#include "support/Damage.h"
#include "support/Fixtures.h"
#include "support/MediaCheck.h"
#include "support/RepairRun.h"
#include "support/ScopedEnv.h"

using namespace mendtest;

namespace {

struct Outcome : RepairOutcome {
    uint32_t subFormat = 0;
};

Outcome ParseAndRepair(const std::string& in, const std::string& out = "")
{
    return ParseAndRepairWith<CMPEGRepair, Outcome>(in, out, [](CMPEGRepair& repair, Outcome& o) {
        o.subFormat = repair.GetSubFormat();
    });
}

std::string Ext(const std::string& name)
{
    return name.substr(name.rfind('.'));
}

struct Fixture {
    const char* name;
    CMPEGRepair::SubFormat subFormat;
};

const Fixture kIntact[] = {
    {"clip.ts", CMPEGRepair::kMpeg2Ts},        // H.264 + AAC
    {"clip_mpeg2.ts", CMPEGRepair::kMpeg2Ts},  // MPEG-2 + MP2
    {"clip_plain.ts", CMPEGRepair::kMpeg2Ts},
    {"clip_bframes.ts", CMPEGRepair::kMpeg2Ts},  // H.264 with B-frames
    {"clip.m2ts", CMPEGRepair::kMpeg2Ts},      // 192-byte packets
    {"clip_gst.ts", CMPEGRepair::kMpeg2Ts},    // GStreamer's mpegtsmux
    {"clip.vob", CMPEGRepair::kMpeg2Ps},       // MPEG-2 + AC-3
    {"clip_mp2.vob", CMPEGRepair::kMpeg2Ps},   // MPEG-2 + MP2
    {"clip_dvd.vob", CMPEGRepair::kMpeg2Ps},   // -target pal-dvd: AC-3 in private stream 1
    {"clip_gst.mpg", CMPEGRepair::kMpeg2Ps},   // GStreamer's mpegpsmux
    {"clip.mpg", CMPEGRepair::kMpeg1Ps},       // MPEG-1 + MP2
    {"clip_vcd.mpg", CMPEGRepair::kMpeg1Ps},   // -target pal-vcd: repeated system headers, zero padding
    {"clip_plain.m2ts", CMPEGRepair::kMpeg2Ts},  // each muxer with its default codecs
    {"clip_plain.mpg", CMPEGRepair::kMpeg1Ps},
    {"clip_plain.vob", CMPEGRepair::kMpeg2Ps},
};

TEST(MpegWalk, IntactFixturesAreUndamaged)
{
    for (const Fixture& f : kIntact) {
        const std::string path = RequireFixture(f.name);
        if (path.empty())
            return;
        Outcome o = ParseAndRepair(path);
        EXPECT_EQ(o.parse, 0) << f.name;
        EXPECT_EQ(o.subFormat, f.subFormat) << f.name;
        EXPECT_TRUE(o.codes.empty()) << f.name << ": " << o.codes.size() << " records, first " << o.codes[0];
    }
}

TEST(MpegWalk, OtherContainersAreNotMpeg)
{
    for (const char* name : {"clip.mp4", "clip.avi", "clip.mkv", "clip.mp3", "clip.wav", "clip.flv"}) {
        const std::string path = RequireFixture(name);
        if (path.empty())
            return;
        EXPECT_EQ(ParseAndRepair(path).parse, JRVP_ERR_UNKNOWN_FORMAT) << name;
    }
}

// Pack and system headers over and over, with no PES packet among them:
// a look-alike that detection must turn down after its window, not by a
// walk through the whole file.
TEST(MpegWalk, PackHeaderLookAlikesAreJudgedWithinTheDetectionWindow)
{
    const uint8_t pack[] = {0, 0, 1, 0xBA, 0x44, 0, 4, 0, 4, 1, 1, 0x89, 0xC3, 0xF8,
                            0, 0, 1, 0xBB, 0, 9, 0x80, 0xC4, 0xE1, 0x04, 0xE1, 0xFF, 0xE0, 0xE0, 0xE8};
    std::vector<uint8_t> bytes;
    while (bytes.size() < (32u << 20))
        bytes.insert(bytes.end(), std::begin(pack), std::end(pack));
    ScratchDir dir("mpeg");
    ASSERT_TRUE(WriteFileBytes(dir.Path("lookalike.wav"), bytes));
    Outcome o = ParseAndRepair(dir.Path("lookalike.wav"));
    EXPECT_EQ(o.parse, JRVP_ERR_UNKNOWN_FORMAT);
    // Detection looks at the first 100 KiB: 5 reads, 900 KiB in all with
    // the read window's. The window and the blocks it reads ahead hold at
    // most 4 MiB, so 8 MiB is only passed by a walk into the file, which
    // reads all 32 MiB; a read per unit would make a million calls.
    EXPECT_LT(o.parseReads.bytes, int64_t(8) << 20);
    EXPECT_LT(o.parseReads.reads, 64);
    // The detections make 5 calls to the repairer's own buffer, 900 KiB in
    // all; the bound leaves six times that. Reading their windows through
    // it 8 bytes per call would make 115000 calls, byte by byte 920000.
    EXPECT_LT(o.parseCalls.reads, 32) << o.parseCalls.bytes << " bytes";
}

// ---------------------------------------------------------------------------
// Damage and rebuild.

struct Damage {
    const char* name;
    // Damages the bytes; returns the damaged range of the original.
    std::function<std::pair<int64_t, int64_t>(std::vector<uint8_t>&)> apply;
    bool concatenated;
};

const Damage kDamages[] = {
    {"cut in the middle of a packet",
     [](std::vector<uint8_t>& d) {
         const int64_t end = d.size(), cut = end * 6 / 10 + 77;
         d.resize(cut);
         return std::make_pair(cut, end);
     },
     false},
    {"64 KiB zeroed",
     [](std::vector<uint8_t>& d) {
         const int64_t at = d.size() / 3 + 5;
         const int64_t n = std::min<int64_t>(65536, d.size() / 4);
         std::fill(d.begin() + at, d.begin() + at + n, 0);
         return std::make_pair(at, at + n);
     },
     false},
    {"garbage spliced in",
     [](std::vector<uint8_t>& d) {
         const int64_t at = d.size() / 2 + 13;
         const auto junk = PseudoRandomBytes(3000, 17);
         d.insert(d.begin() + at, junk.begin(), junk.end());
         return std::make_pair(at, at + 1);
     },
     false},
    {"1000 garbage bytes in front",
     [](std::vector<uint8_t>& d) {
         const auto junk = PseudoRandomBytes(1000, 23);
         d.insert(d.begin(), junk.begin(), junk.end());
         return std::make_pair(int64_t(-1), int64_t(-1));
     },
     false},
    {"two streams concatenated",
     [](std::vector<uint8_t>& d) {
         const auto copy = d;
         d.insert(d.end(), copy.begin(), copy.end());
         return std::make_pair(int64_t(-1), int64_t(-1));
     },
     true},
};

const char* const kRepaired[] = {"clip.ts",      "clip_mpeg2.ts",   "clip.m2ts", "clip.vob",
                                 "clip_mp2.vob", "clip_dvd.vob",    "clip.mpg",  "clip_vcd.mpg",
                                 "clip_plain.m2ts", "clip_plain.mpg", "clip_plain.vob"};

// First timestamp of the first stream of a type, in the stream's ticks.
int64_t FirstPts(const MediaReport& r, AVMediaType type)
{
    const StreamReport* s = r.FirstStream(type);
    int64_t first = AV_NOPTS_VALUE;
    for (const PacketInfo& p : r.packets)
        if (s && p.stream == s->index && p.pts != AV_NOPTS_VALUE && (first == AV_NOPTS_VALUE || p.pts < first))
            first = p.pts;
    return first;
}

void ExpectMonotonicTimestamps(const MediaReport& r)
{
    std::map<int, int64_t> last;
    for (const PacketInfo& p : r.packets) {
        if (p.dts == AV_NOPTS_VALUE)
            continue;
        auto it = last.find(p.stream);
        if (it != last.end()) {
            ASSERT_GE(p.dts, it->second) << "stream " << p.stream;
        }
        last[p.stream] = p.dts;
    }
}

// Packets of the original whose bytes lie clear of the damage. Their
// position is that of the PES packet that holds them, which may carry
// several frames: the margin is twice the stream's widest step from one
// PES packet to the next, on either side.
std::map<int, int64_t> PacketsClearOf(const MediaReport& r, std::pair<int64_t, int64_t> range)
{
    std::map<int, int64_t> widest, last, count;
    for (const PacketInfo& p : r.packets) {
        if (p.pos < 0)
            continue;
        if (last.count(p.stream))
            widest[p.stream] = std::max(widest[p.stream], p.pos - last[p.stream] + p.size);
        last[p.stream] = p.pos;
    }
    for (const PacketInfo& p : r.packets) {
        const int64_t margin = 2 * widest[p.stream] + 8192;
        if (p.pos >= 0 && (range.first < 0 || p.pos + margin < range.first || p.pos > range.second + margin))
            count[p.stream]++;
    }
    return count;
}

// Every packet of the repaired file has the timestamp it had in the
// original: nothing moved against anything else. In a concatenation the
// second copy moves as one, audio and video by the same amount.
void ExpectTimestampsKept(const MediaReport& original, const MediaReport& repaired, bool concatenated)
{
    std::map<int, std::vector<int64_t>> want, got;
    for (const PacketInfo& p : original.packets)
        if (p.pts != AV_NOPTS_VALUE)
            want[p.stream].push_back(p.pts);
    for (const PacketInfo& p : repaired.packets)
        if (p.pts != AV_NOPTS_VALUE)
            got[p.stream].push_back(p.pts);
    std::map<int, int64_t> shift;
    for (auto& entry : got) {
        auto& w = want[entry.first];
        std::sort(w.begin(), w.end());
        auto& g = entry.second;
        std::sort(g.begin(), g.end());
        for (size_t i = 0; i < g.size(); ++i) {
            if (concatenated && i >= w.size()) {
                const int64_t s = g[i] - w[i - w.size()];
                if (!shift.count(entry.first))
                    shift[entry.first] = s;
                ASSERT_EQ(s, shift[entry.first]) << "stream " << entry.first << " packet " << i;
                continue;
            }
            ASSERT_TRUE(std::binary_search(w.begin(), w.end(), g[i]))
                << "stream " << entry.first << " pts " << g[i] << " is not the original's";
        }
    }
    if (concatenated) {
        ASSERT_EQ(shift.size(), 2u);
        EXPECT_EQ(shift.begin()->second, shift.rbegin()->second) << "audio and video moved apart";
    }
}

TEST(MpegRepair, EveryDamageIsRepairedIntoACleanFile)
{
    for (const char* name : kRepaired) {
        const std::string src = RequireFixture(name);
        if (src.empty())
            return;
        const auto clean = ReadFileBytes(src);
        const MediaReport original = CheckMedia(src);
        ASSERT_TRUE(original.CleanDecode()) << original.Summary();
        const int64_t avStart = FirstPts(original, AVMEDIA_TYPE_AUDIO) - FirstPts(original, AVMEDIA_TYPE_VIDEO);
        for (const Damage& damage : kDamages) {
            SCOPED_TRACE(std::string(name) + ": " + damage.name);
            ScratchDir dir("mpeg");
            auto bytes = clean;
            const auto range = damage.apply(bytes);
            const std::string in = dir.Path("damaged" + Ext(name)), out = dir.Path("repaired" + Ext(name));
            ASSERT_TRUE(WriteFileBytes(in, bytes));
            Outcome o = ParseAndRepair(in, out);
            ASSERT_EQ(o.parse, 0);
            ASSERT_FALSE(o.codes.empty()) << "damage went unnoticed";
            EXPECT_EQ(Has(o.codes, JRVP_DAMAGE_TIMING), damage.concatenated);
            ASSERT_EQ(o.repair, 0);

            const MediaReport repaired = CheckMedia(out);
            EXPECT_TRUE(repaired.CleanDecode()) << repaired.Summary();
            ExpectMonotonicTimestamps(repaired);
            ExpectTimestampsKept(original, repaired, damage.concatenated);
            EXPECT_EQ(FirstPts(repaired, AVMEDIA_TYPE_AUDIO) - FirstPts(repaired, AVMEDIA_TYPE_VIDEO), avStart);
            const auto want = PacketsClearOf(original, range);
            std::map<int, int64_t> got;
            for (const PacketInfo& p : repaired.packets)
                got[p.stream]++;
            for (const auto& entry : want)
                EXPECT_GE(got[entry.first], entry.second * (damage.concatenated ? 2 : 1)) << "stream " << entry.first;
            if (damage.concatenated) {
                // Audio of the second stream (private stream 1 on DVD
                // included) moves with its video.
                const StreamReport* a = repaired.FirstStream(AVMEDIA_TYPE_AUDIO);
                const StreamReport* v = repaired.FirstStream(AVMEDIA_TYPE_VIDEO);
                ASSERT_TRUE(a && v);
                EXPECT_NEAR(a->endSeconds, v->endSeconds, 0.5);
                EXPECT_NEAR(v->endSeconds, 2 * original.FirstStream(AVMEDIA_TYPE_VIDEO)->endSeconds, 0.5);
            }
        }
    }
}

// Garbage in front is all there is to drop: the stream comes back byte for
// byte. In a transport stream, the last 192-byte packet (whose time code
// lies before its sync byte), the packets that continue units begun before
// the file's start, and those of a PID that carries nothing but a PCR; in a
// program stream, its own pack headers, with an end code after them.
TEST(MpegRepair, StreamsAfterGarbageComeBackWhole)
{
    const auto pcrOnly = [](std::vector<uint8_t>& d) {
        // Start with the last packets of the unit before the second video
        // key frame's, and give the clock a PID of its own every 20 packets.
        size_t key = 0;
        for (int seen = 0; key + 188 <= d.size(); key += 188) {
            const uint8_t* k = &d[key];
            const bool video = (k[3] & 0x20) && k[4] > 0 && 5 + k[4] + 4 < 188 && (k[5 + k[4] + 3] & 0xF0) == 0xE0;
            if ((k[1] & 0x40) && video && (k[5] & 0x40) && ++seen == 2)
                break;
        }
        const auto pid = [&d](size_t p) { return ((d[p + 1] & 0x1F) << 8) | d[p + 2]; };
        size_t start = key - 188;
        while (start > 0 && (pid(start) != pid(key) || (d[start + 1] & 0x40)))
            start -= 188;
        d.erase(d.begin(), d.begin() + start);
        std::vector<uint8_t> out;
        for (size_t p = 0, n = 0; p + 188 <= d.size(); p += 188, ++n) {
            if (n % 20 == 0) {
                uint8_t clock[188] = {0x47, 0x01, 0xFF, 0x20, 183, 0x10};
                const uint64_t base = 900000 + n * 90;
                clock[6] = static_cast<uint8_t>(base >> 25);
                clock[7] = static_cast<uint8_t>(base >> 17);
                clock[8] = static_cast<uint8_t>(base >> 9);
                clock[9] = static_cast<uint8_t>(base >> 1);
                clock[10] = static_cast<uint8_t>(((base & 1) << 7) | 0x7E);
                std::fill(clock + 12, clock + 188, 0xFF);
                out.insert(out.end(), clock, clock + 188);
            }
            out.insert(out.end(), d.begin() + p, d.begin() + p + 188);
        }
        d.swap(out);
    };
    const auto asIs = [](std::vector<uint8_t>&) {};
    const struct {
        const char* fixture;
        std::function<void(std::vector<uint8_t>&)> shape;
        bool endCode;  // the rebuilt file ends with one
    } cases[] = {
        {"clip.ts", asIs, false},
        {"clip.m2ts", asIs, false},
        {"clip.ts", pcrOnly, false},
        {"clip_mp2.vob", asIs, true},
        {"clip.mpg", asIs, true},
    };
    for (const auto& c : cases) {
        const std::string src = RequireFixture(c.fixture);
        if (src.empty())
            return;
        auto clean = ReadFileBytes(src);
        c.shape(clean);
        auto bytes = clean;
        const auto junk = PseudoRandomBytes(1000, 5);
        bytes.insert(bytes.begin(), junk.begin(), junk.end());
        ScratchDir dir("mpeg");
        const std::string in = dir.Path("front" + Ext(c.fixture)), out = dir.Path("out" + Ext(c.fixture));
        ASSERT_TRUE(WriteFileBytes(in, bytes));
        Outcome o = ParseAndRepair(in, out);
        ASSERT_EQ(o.repair, 0) << c.fixture;
        if (c.endCode)
            clean.insert(clean.end(), {0, 0, 1, 0xB9});
        EXPECT_TRUE(ReadFileBytes(out) == clean) << c.fixture;
    }
}

// Offset of the first packet of clip.ts whose payload starts a video PES.
int64_t FirstVideoUnitStart(const std::vector<uint8_t>& d)
{
    for (size_t p = 0; p + 188 <= d.size(); p += 188) {
        const uint8_t* k = &d[p];
        if (k[0] != 0x47 || !(k[1] & 0x40))
            continue;
        const int payload = (k[3] & 0x20) ? 5 + k[4] : 4;
        if (payload + 4 <= 188 && k[payload] == 0 && k[payload + 1] == 0 && k[payload + 2] == 1 &&
            k[payload + 3] == 0xE0)
            return static_cast<int64_t>(p);
    }
    return -1;
}

// The first unit start of a PID does not settle for ever what it carries,
// and a header that would run past its packet only rejects that packet.
TEST(MpegRepair, DamagedVideoUnitStartsLoseOnlyTheirFrame)
{
    const std::string src = RequireFixture("clip.ts");
    if (src.empty())
        return;
    const auto clean = ReadFileBytes(src);
    const MediaReport original = CheckMedia(src);
    const int64_t first = FirstVideoUnitStart(clean);
    ASSERT_GE(first, 0);
    const struct {
        const char* name;
        std::function<void(std::vector<uint8_t>&)> damage;
    } cases[] = {
        {"whole packet zeroed", [first](std::vector<uint8_t>& d) { std::fill(&d[first], &d[first] + 188, 0); }},
        {"payload zeroed, header kept",
         [first](std::vector<uint8_t>& d) {
             const int payload = (d[first + 3] & 0x20) ? 5 + d[first + 4] : 4;
             std::fill(&d[first] + payload, &d[first] + 188, 0);
         }},
        {"PES header length past the packet",
         [first](std::vector<uint8_t>& d) {
             const int payload = (d[first + 3] & 0x20) ? 5 + d[first + 4] : 4;
             d[first + payload + 8] = 0xF0;
         }},
    };
    ScratchDir dir("mpeg");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto bytes = clean;
        c.damage(bytes);
        ASSERT_TRUE(WriteFileBytes(dir.Path("in.ts"), bytes));
        Outcome o = ParseAndRepair(dir.Path("in.ts"), dir.Path("out.ts"));
        ASSERT_EQ(o.parse, 0);
        ASSERT_EQ(o.repair, 0);
        const MediaReport repaired = CheckMedia(dir.Path("out.ts"));
        EXPECT_TRUE(repaired.CleanDecode()) << repaired.Summary();
        const StreamReport* v = repaired.FirstStream(AVMEDIA_TYPE_VIDEO);
        ASSERT_NE(v, nullptr);
        // The first GOP cannot be decoded without its key frame; the rest
        // of the video is there.
        EXPECT_GE(v->packets, original.FirstStream(AVMEDIA_TYPE_VIDEO)->packets - 16);
        EXPECT_EQ(repaired.AudioFrames(), original.AudioFrames());
    }
}

// Steps through a program stream's units from its start for as long as each
// begins with a start code where the one before ended: pack headers (MPEG-1
// or MPEG-2 length) and packets (by their length field), up to the end code.
void WalkUnits(const std::vector<uint8_t>& d, const std::function<void(size_t pos, uint8_t code, size_t size)>& visit)
{
    size_t p = 0;
    while (p + 14 <= d.size() && d[p] == 0 && d[p + 1] == 0 && d[p + 2] == 1) {
        const uint8_t code = d[p + 3];
        if (code == 0xB9)
            break;
        const size_t size = code == 0xBA ? ((d[p + 4] >> 6) == 1 ? 14 + (d[p + 13] & 7) : 12)
                                         : 6 + ((size_t(d[p + 4]) << 8) | d[p + 5]);
        visit(p, code, size);
        p += size;
    }
}

// The pack headers of a rebuilt program stream: the SCR never goes back
// and never runs ahead of the decoding times of its pack; the mux rate is
// never 0.
struct PackCheck {
    int64_t scr;      // 90 kHz
    int64_t minTime;  // earliest DTS (else PTS) of the pack, -1 none
    uint32_t muxRate;
};

std::vector<PackCheck> WalkPacks(const std::vector<uint8_t>& d)
{
    auto ts = [&d](size_t i) {
        return (int64_t((d[i] >> 1) & 7) << 30) | (int64_t(d[i + 1]) << 22) | (int64_t(d[i + 2] >> 1) << 15) |
               (int64_t(d[i + 3]) << 7) | (d[i + 4] >> 1);
    };
    std::vector<PackCheck> packs;
    bool mpeg2 = true;
    WalkUnits(d, [&](size_t p, uint8_t code, size_t size) {
        if (code == 0xBA) {
            mpeg2 = (d[p + 4] >> 6) == 1;
            if (!mpeg2) {
                packs.push_back({ts(p + 4), -1, ((uint32_t(d[p + 9]) & 0x7F) << 15) | (uint32_t(d[p + 10]) << 7) |
                                                    (d[p + 11] >> 1)});
                return;
            }
            const int64_t base = (int64_t((d[p + 4] >> 3) & 7) << 30) | (int64_t(d[p + 4] & 3) << 28) |
                                 (int64_t(d[p + 5]) << 20) | (int64_t(d[p + 6] >> 3) << 15) |
                                 (int64_t(d[p + 6] & 3) << 13) | (int64_t(d[p + 7]) << 5) | (d[p + 8] >> 3);
            packs.push_back({base, -1, (uint32_t(d[p + 10]) << 14) | (uint32_t(d[p + 11]) << 6) | (d[p + 12] >> 2)});
            return;
        }
        // Audio and video packets, and private stream 1 (AC-3 on DVD).
        if (packs.empty() || (code < 0xC0 && code != 0xBD))
            return;
        const size_t end = std::min(p + size, d.size());
        int64_t t = -1;
        if (mpeg2) {
            if (p + 19 <= end && (d[p + 7] & 0x80))
                t = ts(p + ((d[p + 7] & 0x40) ? 14 : 9));
        } else {
            size_t q = p + 6;
            while (q < end && d[q] == 0xFF)
                ++q;
            if (q + 2 <= end && (d[q] & 0xC0) == 0x40)
                q += 2;  // the decoder buffer size
            if (q + 10 <= end && (d[q] & 0xF0) == 0x30)
                t = ts(q + 5);  // DTS
            else if (q + 5 <= end && (d[q] & 0xF0) == 0x20)
                t = ts(q);
        }
        if (t >= 0) {
            int64_t& m = packs.back().minTime;
            m = m < 0 ? t : std::min(m, t);
        }
    });
    return packs;
}

// MPEG-2 (DVD with AC-3 in private stream 1 too) and MPEG-1 packs.
TEST(MpegRepair, ProgramStreamPackHeadersAreRewrittenSoundly)
{
    auto eachPack = [](std::vector<uint8_t>& d, const std::function<void(uint8_t*)>& f) {
        for (int64_t p = FindBytes(d, std::vector<uint8_t>{0, 0, 1, 0xBA}); p >= 0;
             p = FindBytes(d, std::vector<uint8_t>{0, 0, 1, 0xBA}, p + 4))
            f(&d[static_cast<size_t>(p)]);
    };
    auto garbageInFront = [](std::vector<uint8_t>& d) {
        const auto junk = PseudoRandomBytes(1000, 3);
        d.insert(d.begin(), junk.begin(), junk.end());
    };
    auto concatenate = [](std::vector<uint8_t>& d) {
        const auto copy = d;
        d.insert(d.end(), copy.begin(), copy.end());
    };
    const struct {
        const char* name;
        const char* fixture;
        std::function<void(std::vector<uint8_t>&)> damage;
        bool rateKept;  // every pack states the original's rate
    } cases[] = {
        // Every pack states a mux rate of 0: the rate is measured instead.
        {"mux rate 0, garbage in front", "clip_mp2.vob",
         [&](std::vector<uint8_t>& d) {
             eachPack(d, [](uint8_t* k) {
                 k[10] = 0;
                 k[11] = 0;
                 k[12] = 3;
             });
             garbageInFront(d);
         },
         false},
        // The first pack's rate is damaged (1, with its marker bits):
        // its header is written anew with the rate the others agree on.
        {"first pack's mux rate damaged, garbage in front", "clip_mp2.vob",
         [&](std::vector<uint8_t>& d) {
             bool first = true;
             eachPack(d, [&first](uint8_t* k) {
                 if (first) {
                     k[10] = 0;
                     k[11] = 0;
                     k[12] = 7;
                 }
                 first = false;
             });
             garbageInFront(d);
         },
         true},
        {"last pack's mux rate damaged, garbage in front", "clip_mp2.vob",
         [&](std::vector<uint8_t>& d) {
             uint8_t* last = nullptr;
             eachPack(d, [&last](uint8_t* k) { last = k; });
             last[10] = 0;
             last[11] = 0;
             last[12] = 7;
             garbageInFront(d);
         },
         true},
        {"concatenated", "clip_mp2.vob", concatenate, true},
        {"concatenated", "clip_dvd.vob", concatenate, true},
        {"concatenated", "clip.mpg", concatenate, true},
    };
    ScratchDir dir("mpeg");
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.fixture) + ": " + c.name);
        const std::string src = RequireFixture(c.fixture);
        if (src.empty())
            return;
        auto bytes = ReadFileBytes(src);
        const uint32_t rate = WalkPacks(bytes).at(0).muxRate;
        c.damage(bytes);
        const std::string in = dir.Path(std::string("in") + Ext(c.fixture));
        const std::string out = dir.Path(std::string("out") + Ext(c.fixture));
        ASSERT_TRUE(WriteFileBytes(in, bytes));
        Outcome o = ParseAndRepair(in, out);
        ASSERT_EQ(o.repair, 0);
        const auto packs = WalkPacks(ReadFileBytes(out));
        ASSERT_GT(packs.size(), 10u);
        for (size_t i = 0; i < packs.size(); ++i) {
            EXPECT_GT(packs[i].muxRate, 0u) << "pack " << i;
            if (c.rateKept) {
                EXPECT_EQ(packs[i].muxRate, rate) << "pack " << i;
            }
            if (i > 0) {
                EXPECT_GE(packs[i].scr, packs[i - 1].scr) << "pack " << i;
            }
            if (packs[i].minTime >= 0) {
                EXPECT_LE(packs[i].scr, packs[i].minTime) << "pack " << i;
            }
        }
        EXPECT_TRUE(CheckMedia(out).CleanDecode());
    }
}

}  // namespace

namespace {

int Pid(const uint8_t* k)
{
    return ((k[1] & 0x1F) << 8) | k[2];
}

// The PID of the first PES packet in a 188-byte stream whose stream id,
// under mask, is `id`; -1 none.
int FirstPesPid(const std::vector<uint8_t>& d, uint8_t mask, uint8_t id)
{
    for (size_t p = 0; p + 188 <= d.size(); p += 188) {
        const uint8_t* k = &d[p];
        const int payload = (k[3] & 0x20) ? 5 + k[4] : 4;
        if ((k[1] & 0x40) && payload + 4 <= 188 && k[payload] == 0 && k[payload + 1] == 0 &&
            k[payload + 2] == 1 && (k[payload + 3] & mask) == id)
            return Pid(k);
    }
    return -1;
}

// The PIDs of the first video and of the first MPEG audio stream.
int VideoPid(const std::vector<uint8_t>& d)
{
    return FirstPesPid(d, 0xF0, 0xE0);
}

int AudioPid(const std::vector<uint8_t>& d)
{
    return FirstPesPid(d, 0xE0, 0xC0);
}

// Zeroes the adaptation_field_length of the first video packet past the
// middle that carries payload and that `pick` chooses.
void ZeroVideoFieldLength(std::vector<uint8_t>& d, const std::function<bool(const uint8_t*)>& pick)
{
    const int video = VideoPid(d);
    for (size_t p = d.size() / 2 / 188 * 188; p + 188 <= d.size(); p += 188) {
        uint8_t* k = &d[p];
        if (Pid(k) == video && (k[3] & 0x30) == 0x30 && k[4] > 0 && k[4] < 183 && pick(k)) {
            k[4] = 0;
            return;
        }
    }
    ADD_FAILURE() << "no such packet";
}

// Faults the campaign on real-size recordings found, each in a small file.
TEST(MpegRepair, CampaignFaultsStayMended)
{
    const struct {
        const char* name;
        const char* fixture;
        std::function<void(std::vector<uint8_t>&)> damage;
        bool clean;  // the repaired file decodes without an error
    } cases[] = {
        // The first pack header is damaged: the system header and the video
        // sequence header after it in that pack must not go with it.
        {"first pack header damaged", "clip_mp2.vob", [](std::vector<uint8_t>& d) { d[8] = d[9] = d[10] = 0; },
         true},
        // ffmpeg's MPEG-1 muxer at high rates writes the next pack header
        // megabytes later: with the first one damaged, a run of PES packets
        // is what tells the file's kind.
        {"only pack header damaged", "clip.mpg",
         [](std::vector<uint8_t>& d) {
             const std::vector<uint8_t> pack = {0, 0, 1, 0xBA};
             for (int64_t p = FindBytes(d, pack, 4); p >= 0; p = FindBytes(d, pack, p))
                 d.erase(d.begin() + p, d.begin() + p + 12);
             d[9] = d[10] = d[11] = 0;
         },
         true},
        // Cut exactly at a packet boundary inside an audio PES packet: the
        // packet walk sees nothing, the PES length does.
        {"transport stream cut at a packet boundary", "clip.ts",
         [](std::vector<uint8_t>& d) {
             for (size_t p = d.size() / 2 / 188 * 188; p + 188 <= d.size(); p += 188) {
                 const uint8_t* k = &d[p];
                 const int payload = (k[3] & 0x20) ? 5 + k[4] : 4;
                 if ((k[1] & 0x40) && payload + 6 <= 188 && k[payload + 3] == 0xC0 &&
                     ((k[payload + 4] << 8) | k[payload + 5]) > 188) {
                     d.resize(p + 188);
                     return;
                 }
             }
         },
         true},
        // Cut exactly at a packet boundary inside a video PES packet, whose
        // length is not stated: a full last packet, no stuffing, tells.
        {"transport stream cut at a packet boundary inside video", "clip.ts",
         [](std::vector<uint8_t>& d) {
             const int video = VideoPid(d);
             for (size_t p = d.size() / 2 / 188 * 188; p + 2 * 188 <= d.size(); p += 188) {
                 const uint8_t* k = &d[p];
                 if (Pid(k) == video && !(k[1] & 0x40) && (k[3] & 0x30) == 0x10) {
                     d.resize(p + 188);
                     return;
                 }
             }
         },
         true},
        // A zeroed adaptation_field_length in a video unit's last packet: its
        // stuffing would pass for payload.
        {"transport stream stuffing field length zeroed", "clip.ts",
         [](std::vector<uint8_t>& d) {
             ZeroVideoFieldLength(d, [](const uint8_t* k) { return !(k[1] & 0x40) && k[4] > 8 && k[5] == 0; });
         },
         true},
        // A video packet's length damaged: the audio frame open there is
        // cut, and the next audio packet is written from its first frame.
        // Bytes before that frame that pass for a header of the reserved
        // MPEG version must not be taken for it.
        {"program stream audio resumes at a real frame header", "clip_mp2.vob",
         [](std::vector<uint8_t>& d) {
             const int64_t video = FindBytes(d, std::vector<uint8_t>{0, 0, 1, 0xE0}, d.size() / 2);
             ASSERT_GT(video, 0);
             d[video + 4] = 0xFF;  // a length past the next unit
             for (int64_t p = video; (p = FindBytes(d, std::vector<uint8_t>{0, 0, 1, 0xC0}, p + 4)) > 0;) {
                 const int64_t payload = p + 9 + d[p + 8];
                 if (!(d[p + 7] & 0x80) || d[payload] == 0xFF)
                     continue;  // no timestamp, or a frame right at the start
                 const uint8_t lookAlike[] = {0xFF, 0xEC, 0x10, 0x00};
                 std::copy(lookAlike, lookAlike + 4, d.begin() + payload);
                 return;
             }
             ADD_FAILURE() << "no audio packet to mark";
         },
         true},
        // GStreamer's H.264 stream states its set-up once, in its first
        // packet: a damaged length in the audio packet before it must not
        // take the set-up, and with it the whole video, along.
        {"program stream first audio packet length shorter than its header", "clip_gst.mpg",
         [](std::vector<uint8_t>& d) {
             const int64_t audio = FindBytes(d, std::vector<uint8_t>{0, 0, 1, 0xC0}, 0);
             ASSERT_GT(audio, 0);
             d[audio + 4] = 0;
             d[audio + 5] = 1;
         },
         true},
        {"program stream first audio packet header length zeroed", "clip_gst.mpg",
         [](std::vector<uint8_t>& d) {
             const int64_t audio = FindBytes(d, std::vector<uint8_t>{0, 0, 1, 0xC0}, 0);
             ASSERT_GT(audio, 0);
             d[audio + 8] = 0;
         },
         true},
    };
    ScratchDir dir("mpeg");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string src = RequireFixture(c.fixture);
        if (src.empty())
            return;
        const MediaReport original = CheckMedia(src);
        auto bytes = ReadFileBytes(src);
        c.damage(bytes);
        const std::string in = dir.Path("in" + Ext(c.fixture)), out = dir.Path("out" + Ext(c.fixture));
        ASSERT_TRUE(WriteFileBytes(in, bytes));
        Outcome o = ParseAndRepair(in, out);
        ASSERT_EQ(o.parse, 0);
        ASSERT_FALSE(o.codes.empty()) << "damage went unnoticed";
        ASSERT_EQ(o.repair, 0);
        const MediaReport repaired = CheckMedia(out);
        EXPECT_EQ(repaired.CleanDecode(), c.clean) << repaired.Summary();
        EXPECT_GT(repaired.VideoFrames(), original.VideoFrames() / 3);
    }
}

}  // namespace

namespace {

// Offset of the first packet from the middle on that `pick` chooses, -1 none.
int64_t PacketFromMiddle(const std::vector<uint8_t>& d, const std::function<bool(const uint8_t*)>& pick)
{
    for (size_t p = d.size() / 2 / 188 * 188; p + 188 <= d.size(); p += 188)
        if (pick(&d[p]))
            return static_cast<int64_t>(p);
    return -1;
}

bool Stuffed(const uint8_t* k)
{
    return (k[3] & 0x30) == 0x30 && k[4] >= 40 && k[5] == 0;
}

// Damage to a transport stream costs what it hit and no more: a damaged
// field length is put right, units that ended before the damage are kept,
// and no unit kept is marked corrupt by a demuxer.
TEST(MpegRepair, TransportStreamDamageCostsOnlyWhatItHit)
{
    const std::string src = RequireFixture("clip.ts");
    if (src.empty())
        return;
    const auto clean = ReadFileBytes(src);
    const MediaReport original = CheckMedia(src);
    const int video = VideoPid(clean), audio = AudioPid(clean);
    ASSERT_GE(video, 0);
    ASSERT_GE(audio, 0);
    struct Case {
        const char* name;
        // Damages the bytes; returns the offsets of PES starts whose frames
        // must come back.
        std::function<std::vector<int64_t>(std::vector<uint8_t>&)> damage;
        bool exact;  // every byte of the original comes back
    };
    const Case cases[] = {
        {"field length cut short",
         [&](std::vector<uint8_t>& d) {
             const int64_t p = PacketFromMiddle(d, [&](const uint8_t* k) { return Pid(k) == video && Stuffed(k); });
             EXPECT_GE(p, 0);
             d[p + 4] /= 2;
             return std::vector<int64_t>{};
         },
         true},
        {"field length past the packet",
         [&](std::vector<uint8_t>& d) {
             const int64_t p = PacketFromMiddle(d, [&](const uint8_t* k) { return Pid(k) == video && Stuffed(k); });
             EXPECT_GE(p, 0);
             d[p + 4] = 0xF0;
             return std::vector<int64_t>{};
         },
         true},
        {"field length of a PCR zeroed",
         [&](std::vector<uint8_t>& d) {
             const int64_t p = PacketFromMiddle(d, [](const uint8_t* k) {
                 return (k[3] & 0x30) == 0x30 && k[4] == 7 && k[5] == 0x10;
             });
             EXPECT_GE(p, 0);
             d[p + 4] = 0;
             return std::vector<int64_t>{};
         },
         true},
        // The last audio unit before the cut had all its packets.
        {"cut inside the packet after an audio unit ends",
         [&](std::vector<uint8_t>& d) {
             const int64_t last = PacketFromMiddle(d, [&](const uint8_t* k) {
                 return Pid(k) == audio && !(k[1] & 0x40) && (k[3] & 0x20);
             });
             int64_t start = last;
             while (start > 0 && !(Pid(&d[start]) == audio && (d[start + 1] & 0x40)))
                 start -= 188;
             d.resize(last + 188 + 100);
             return std::vector<int64_t>{start};
         },
         false},
        // The video unit before the damage had ended: it stays, and the
        // packets after the damage do not mark it corrupt.
        {"packets zeroed from a video unit start",
         [&](std::vector<uint8_t>& d) {
             const int64_t next = PacketFromMiddle(d, [&](const uint8_t* k) { return Pid(k) == video && (k[1] & 0x40); });
             int64_t start = next - 188;
             while (start > 0 && !(Pid(&d[start]) == video && (d[start + 1] & 0x40)))
                 start -= 188;
             std::fill(d.begin() + next, d.begin() + next + 20 * 188 + 50, 0);
             return std::vector<int64_t>{start};
         },
         false},
        // A video stream without reordering (no DTS): the frames after a
        // lost one refer to frames that are there, and stay.
        {"packets of one inter frame zeroed",
         [&](std::vector<uint8_t>& d) {
             const int64_t at = PacketFromMiddle(d, [&](const uint8_t* k) {
                 return Pid(k) == video && (k[1] & 0x40) && !((k[3] & 0x20) && k[4] > 0 && (k[5] & 0x40));
             });
             int64_t end = at + 188;
             while (end + 188 <= static_cast<int64_t>(d.size()) && !(Pid(&d[end]) == video && (d[end + 1] & 0x40)))
                 end += 188;
             std::fill(d.begin() + at, d.begin() + end, 0);
             std::vector<int64_t> starts;
             for (int64_t p = 0; p + 188 <= static_cast<int64_t>(d.size()); p += 188)
                 if (Pid(&d[p]) == video && (d[p + 1] & 0x40) && p > at)
                     starts.push_back(p);
             return starts;
         },
         false},
        // Garbage off the packet grid, longer than the continuity counter
        // can count, after a null packet inside a video unit: it was
        // spliced in, and the counters tell that no video packet was lost
        // in it. Only the null packet, whose end nothing vouches for, goes.
        {"garbage spliced into a video unit",
         [&](std::vector<uint8_t>& d) {
             const int64_t at = PacketFromMiddle(d, [&](const uint8_t* k) {
                 return k + 2 * 188 <= d.data() + d.size() && Pid(k) == video && !(k[1] & 0x40) && Pid(k + 188) == video;
             });
             EXPECT_GT(at, 0);
             std::vector<uint8_t> junk(188, 0xFF);
             const uint8_t null[] = {0x47, 0x1F, 0xFF, 0x10};
             std::copy(std::begin(null), std::end(null), junk.begin());
             const auto garbage = PseudoRandomBytes(20 * 188 + 100, 41);
             junk.insert(junk.end(), garbage.begin(), garbage.end());
             d.insert(d.begin() + std::max<int64_t>(at + 188, 0), junk.begin(), junk.end());
             return std::vector<int64_t>{};
         },
         true},
    };
    ScratchDir dir("mpeg");
    // Each case on its own: one that fails does not hide the others.
    const auto run = [&](const Case& c) {
        auto bytes = clean;
        const auto keep = c.damage(bytes);
        ASSERT_TRUE(WriteFileBytes(dir.Path("in.ts"), bytes));
        Outcome o = ParseAndRepair(dir.Path("in.ts"), dir.Path("out.ts"));
        ASSERT_EQ(o.parse, 0);
        ASSERT_FALSE(o.codes.empty()) << "damage went unnoticed";
        ASSERT_EQ(o.repair, 0);
        if (c.exact) {
            EXPECT_TRUE(ReadFileBytes(dir.Path("out.ts")) == clean);
            return;
        }
        const MediaReport repaired = CheckMedia(dir.Path("out.ts"));
        EXPECT_TRUE(repaired.CleanDecode()) << repaired.Summary();
        for (const LogLine& line : repaired.log)
            EXPECT_EQ(line.text.find("corrupt"), std::string::npos) << line.text;
        for (int64_t pos : keep)
            for (const PacketInfo& p : original.packets)
                if (p.pos == pos) {
                    const bool found = std::any_of(repaired.packets.begin(), repaired.packets.end(), [&](const PacketInfo& q) {
                        return q.pts == p.pts && repaired.streams[q.stream].type == original.streams[p.stream].type;
                    });
                    EXPECT_TRUE(found) << "the frame at " << pos << " (pts " << p.pts << ") is lost";
                }
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        run(c);
    }
}

}  // namespace

namespace {

struct PSPacket {
    int64_t pos;
    uint8_t id;
    int64_t size;  // start code to end
    bool pts;
};

// The PES packets of a program stream, walked from pack to pack.
std::vector<PSPacket> PSPackets(const std::vector<uint8_t>& d)
{
    std::vector<PSPacket> out;
    WalkUnits(d, [&](size_t p, uint8_t id, size_t size) {
        if (id == 0xBA)
            return;
        const bool mpeg2 = (d[p + 6] & 0xC0) == 0x80;
        // The packet may run past the end of a cut file: look only at bytes there are.
        const size_t end = std::min(p + size, d.size());
        size_t q = p + 6;
        while (!mpeg2 && q < end && d[q] == 0xFF)
            ++q;
        const bool pts = mpeg2 ? (d[p + 7] & 0x80) != 0
                               : q < end && ((d[q] & 0xE0) == 0x20 || (d[q] & 0xC0) == 0x40);
        out.push_back({static_cast<int64_t>(p), id, static_cast<int64_t>(size), (id >= 0xC0 || id == 0xBD) && pts});
    });
    return out;
}

// The first PES packet from the middle on that `pick` chooses.
PSPacket PSPacketFromMiddle(const std::vector<uint8_t>& d, const std::function<bool(const PSPacket&)>& pick)
{
    for (const PSPacket& k : PSPackets(d))
        if (k.pos >= static_cast<int64_t>(d.size() / 2) && pick(k))
            return k;
    ADD_FAILURE() << "no such packet";
    return {-1, 0, 0, false};
}

// The first PES packet with a timestamp.
PSPacket FirstPSPacket(const std::vector<uint8_t>& d)
{
    for (const PSPacket& k : PSPackets(d))
        if (k.pts && k.id != 0xBB)
            return k;
    ADD_FAILURE() << "no packet with a timestamp";
    return {-1, 0, 0, false};
}

// Damage to a program stream costs what it hit and no more.
TEST(MpegRepair, ProgramStreamDamageCostsOnlyWhatItHit)
{
    using Keep = std::function<bool(const PacketInfo&, AVMediaType)>;
    const Keep all = [](const PacketInfo&, AVMediaType) { return true; };
    const Keep audio = [](const PacketInfo&, AVMediaType type) { return type == AVMEDIA_TYPE_AUDIO; };
    const Keep none = [](const PacketInfo&, AVMediaType) { return false; };
    const auto video = [](const PSPacket& k) { return k.id >= 0xE0; };
    struct Case {
        const char* name;
        // Damages the bytes; returns which packets of the original stay.
        std::function<Keep(std::vector<uint8_t>&, const MediaReport&)> damage;
    };
    const Case cases[] = {
        {"video packet length past the next unit",
         [&](std::vector<uint8_t>& d, const MediaReport&) {
             const PSPacket k = PSPacketFromMiddle(d, video);
             d[k.pos + 4] = 0xFF;
             return all;
         }},
        {"video packet length zeroed",
         [&](std::vector<uint8_t>& d, const MediaReport&) {
             const PSPacket k = PSPacketFromMiddle(d, video);
             d[k.pos + 4] = d[k.pos + 5] = 0;
             return all;
         }},
        // No audio packet lay in the damage: the audio frames that run on
        // from the audio packet before it into the one after it stay.
        {"video packets zeroed between audio packets",
         [&](std::vector<uint8_t>& d, const MediaReport&) {
             const PSPacket k = PSPacketFromMiddle(d, [](const PSPacket& k) { return k.id >= 0xE0 && !k.pts; });
             std::fill(d.begin() + k.pos + 100, d.begin() + k.pos + k.size + 30, 0);
             return audio;
         }},
        // The picture that starts in the damaged packet starts before the
        // damage: the picture before it is whole.
        {"video packet zeroed after a picture start",
         [&](std::vector<uint8_t>& d, const MediaReport& original) {
             const PSPacket k = PSPacketFromMiddle(d, [&](const PSPacket& k) {
                 const std::vector<uint8_t> picture = {0, 0, 1, 0};
                 const int64_t at = FindBytes(d, picture, k.pos + 6);
                 return k.id >= 0xE0 && k.pts && at > 0 && at + 40 < k.pos + k.size;
             });
             const int64_t at = FindBytes(d, std::vector<uint8_t>{0, 0, 1, 0}, k.pos + 6);
             std::fill(d.begin() + at + 20, d.begin() + k.pos + k.size + 10, 0);
             int64_t before = -1;
             for (const PacketInfo& p : original.packets)
                 if (p.pos >= 0 && p.pos < k.pos && original.streams[p.stream].type == AVMEDIA_TYPE_VIDEO)
                     before = std::max(before, p.pos);
             return Keep([before](const PacketInfo& p, AVMediaType type) {
                 return type == AVMEDIA_TYPE_VIDEO && p.pos == before;
             });
         }},
        // The header length of an MPEG-2 packet damaged upward: the bytes
        // it would take for stuffing are payload. (MPEG-1 has no header
        // length: a timestamp marker instead.)
        {"video packet header length past its fields",
         [&](std::vector<uint8_t>& d, const MediaReport&) {
             const PSPacket k = PSPacketFromMiddle(d, [](const PSPacket& k) { return k.id >= 0xE0 && k.pts; });
             if ((d[k.pos + 6] & 0xC0) == 0x80)
                 d[k.pos + 8] += 16;
             else
                 d[k.pos + 6] &= 0xFE;
             return audio;
         }},
        // A packet length too short to hold the packet's own header: the
        // packet ends where the next unit begins, and nothing is lost.
        {"audio packet length shorter than its header",
         [&](std::vector<uint8_t>& d, const MediaReport&) {
             const PSPacket k = PSPacketFromMiddle(d, [](const PSPacket& k) { return k.id < 0xE0 && k.pts; });
             d[k.pos + 4] = 0;
             d[k.pos + 5] = 1;
             return all;
         }},
        {"first packet length shorter than its header",
         [&](std::vector<uint8_t>& d, const MediaReport&) {
             const PSPacket k = FirstPSPacket(d);
             d[k.pos + 4] = 0;
             d[k.pos + 5] = 1;
             return all;
         }},
        // The header length of an MPEG-2 packet too short for its fields,
        // or past its stuffing: the fields its flags announce tell the
        // length, and nothing is lost. (An MPEG-1 header states no length:
        // its packet length is made too short instead.)
        {"audio packet header length zeroed",
         [&](std::vector<uint8_t>& d, const MediaReport&) {
             const PSPacket k = PSPacketFromMiddle(d, [](const PSPacket& k) { return k.id < 0xE0 && k.pts; });
             if ((d[k.pos + 6] & 0xC0) == 0x80)
                 d[k.pos + 8] = 0;
             else
                 d[k.pos + 4] = d[k.pos + 5] = 0;
             return all;
         }},
        {"first packet header length all ones",
         [&](std::vector<uint8_t>& d, const MediaReport&) {
             const PSPacket k = FirstPSPacket(d);
             if ((d[k.pos + 6] & 0xC0) == 0x80)
                 d[k.pos + 8] = 0xFF;
             else
                 d[k.pos + 5] ^= 0x01;
             return all;
         }},
        // A sequence header's picture size damaged: the stream's other
        // sequence headers tell it, and every picture decodes again.
        {"first sequence header width zeroed",
         [&](std::vector<uint8_t>& d, const MediaReport&) {
             const int64_t at = FindBytes(d, std::vector<uint8_t>{0, 0, 1, 0xB3}, 0);
             d[at + 4] = 0;
             d[at + 5] &= 0x0F;
             return all;
         }},
        {"sequence header height all ones",
         [&](std::vector<uint8_t>& d, const MediaReport&) {
             const int64_t at = FindBytes(d, std::vector<uint8_t>{0, 0, 1, 0xB3}, d.size() / 2);
             d[at + 5] |= 0x0F;
             d[at + 6] = 0xFF;
             return all;
         }},
        {"first sequence header height 1",
         [&](std::vector<uint8_t>& d, const MediaReport&) {
             const int64_t at = FindBytes(d, std::vector<uint8_t>{0, 0, 1, 0xB3}, 0);
             d[at + 5] &= 0xF0;
             d[at + 6] = 1;
             return all;
         }},
        // Cut where a pack begins, inside a picture: the end of the input
        // shows that a frame was cut, and it goes.
        {"cut at a pack boundary inside a picture",
         [&](std::vector<uint8_t>& d, const MediaReport&) {
             const PSPacket k = PSPacketFromMiddle(d, [](const PSPacket& k) { return k.id >= 0xE0 && !k.pts; });
             const int64_t pack = FindBytes(d, std::vector<uint8_t>{0, 0, 1, 0xBA}, k.pos - 14);
             d.resize(pack == k.pos - 14 || pack == k.pos - 12 ? pack : k.pos);
             return none;
         }},
    };
    ScratchDir dir("mpeg");
    for (const char* name : {"clip_mp2.vob", "clip.mpg", "clip.vob"}) {
        const std::string src = RequireFixture(name);
        if (src.empty())
            return;
        const auto clean = ReadFileBytes(src);
        const MediaReport original = CheckMedia(src);
        const std::string in = dir.Path("in" + Ext(name)), out = dir.Path("out" + Ext(name));
        const auto run = [&](const Case& c) {
            auto bytes = clean;
            const Keep keep = c.damage(bytes, original);
            ASSERT_TRUE(WriteFileBytes(in, bytes));
            Outcome o = ParseAndRepair(in, out);
            ASSERT_EQ(o.parse, 0);
            ASSERT_FALSE(o.codes.empty()) << "damage went unnoticed";
            ASSERT_EQ(o.repair, 0);
            const MediaReport repaired = CheckMedia(out);
            EXPECT_TRUE(repaired.CleanDecode()) << repaired.Summary();
            for (const PacketInfo& p : original.packets) {
                const AVMediaType type = original.streams[p.stream].type;
                if (!keep(p, type))
                    continue;
                const bool found = std::any_of(repaired.packets.begin(), repaired.packets.end(), [&](const PacketInfo& q) {
                    return q.pts == p.pts && q.size == p.size && repaired.streams[q.stream].type == type;
                });
                EXPECT_TRUE(found) << av_get_media_type_string(type) << " packet at " << p.pos << " (pts " << p.pts
                                   << ", " << p.size << " bytes) is lost";
            }
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(name) + ": " + c.name);
            run(c);
        }
    }
}

}  // namespace

namespace {

// The CD-ROM error-detection code of a sector's subheader and data: CRC-32
// over the reflected polynomial 0xD8018001, least significant byte first.
uint32_t SectorEdc(const uint8_t* d, size_t n)
{
    uint32_t crc = 0;
    for (size_t i = 0; i < n; ++i) {
        crc ^= d[i];
        for (int b = 0; b < 8; ++b)
            crc = (crc >> 1) ^ ((crc & 1) ? 0xD8018001u : 0);
    }
    return crc;
}

// A VCD's MPEG file read raw: each 2324-byte pack in a 2352-byte Mode 2
// Form 2 sector (sync, header, subheader twice, data, error detection).
std::vector<uint8_t> RawSectors(const std::vector<uint8_t>& mpeg, bool edc)
{
    constexpr size_t kData = 2324;
    std::vector<uint8_t> out;
    uint32_t lba = 150;
    for (size_t at = 0; at < mpeg.size(); at += kData, ++lba) {
        const uint8_t sync[12] = {0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0};
        const auto bcd = [](uint32_t v) { return static_cast<uint8_t>((v / 10) * 16 + v % 10); };
        out.insert(out.end(), std::begin(sync), std::end(sync));
        const uint8_t header[4] = {bcd(lba / 4500), bcd(lba / 75 % 60), bcd(lba % 75), 2};
        out.insert(out.end(), std::begin(header), std::end(header));
        const size_t body = out.size();
        const uint8_t sub[8] = {1, 1, 0x64, 0x0F, 1, 1, 0x64, 0x0F};
        out.insert(out.end(), std::begin(sub), std::end(sub));
        const size_t n = std::min(kData, mpeg.size() - at);
        out.insert(out.end(), mpeg.begin() + at, mpeg.begin() + at + n);
        out.resize(out.size() + kData - n, 0);
        const uint32_t code = edc ? SectorEdc(&out[body], 8 + kData) : 0;
        for (int b = 0; b < 4; ++b)
            out.push_back(static_cast<uint8_t>(code >> (8 * b)));
    }
    return out;
}

// A VCD read sector by sector, framing and all, comes back as the MPEG
// file it holds: every packet, decoding cleanly. With an error-detection
// code of zeros (allowed in Form 2), the zero skip after a pack's padding
// must stop at the next sector's sync, and never eat a pack's start code.
TEST(MpegRepair, RawCdSectorsComeBackAsTheirMpegFile)
{
    const std::string src = RequireFixture("clip_vcd.mpg");
    if (src.empty())
        return;
    const MediaReport original = CheckMedia(src);
    const auto mpeg = ReadFileBytes(src);
    ScratchDir dir("mpeg");
    for (const bool edc : {true, false}) {
        SCOPED_TRACE(edc ? "error-detection code" : "zeros for the error-detection code");
        ASSERT_TRUE(WriteFileBytes(dir.Path("AVSEQ01.DAT"), RawSectors(mpeg, edc)));
        Outcome o = ParseAndRepair(dir.Path("AVSEQ01.DAT"), dir.Path("out.mpg"));
        ASSERT_EQ(o.parse, 0);
        EXPECT_EQ(o.subFormat, CMPEGRepair::kMpeg1Ps);
        ASSERT_FALSE(o.codes.empty()) << "the sector framing is for the repair to leave out";
        ASSERT_EQ(o.repair, 0);
        const MediaReport repaired = CheckMedia(dir.Path("out.mpg"));
        EXPECT_TRUE(repaired.CleanDecode()) << repaired.Summary();
        ASSERT_EQ(repaired.packets.size(), original.packets.size());
        for (size_t i = 0; i < original.packets.size(); ++i) {
            EXPECT_EQ(repaired.packets[i].pts, original.packets[i].pts) << "packet " << i;
            EXPECT_EQ(repaired.packets[i].size, original.packets[i].size) << "packet " << i;
        }
    }
}

}  // namespace

namespace {

// A recording that stopped in a file allocated ahead ends in zeros: they go,
// and every packet before them stays, the last one too.
TEST(MpegRepair, ZerosAfterTheLastUnitCostNothing)
{
    ScratchDir dir("mpeg");
    for (const char* name : {"clip.ts", "clip.m2ts", "clip_mp2.vob", "clip.mpg"}) {
        SCOPED_TRACE(name);
        const std::string src = RequireFixture(name);
        if (src.empty())
            return;
        const MediaReport original = CheckMedia(src);
        auto bytes = ReadFileBytes(src);
        bytes.resize(bytes.size() + (1 << 20), 0);
        const std::string in = dir.Path("in" + Ext(name)), out = dir.Path("out" + Ext(name));
        ASSERT_TRUE(WriteFileBytes(in, bytes));
        Outcome o = ParseAndRepair(in, out);
        ASSERT_EQ(o.parse, 0);
        ASSERT_FALSE(o.codes.empty()) << "a megabyte of zeros is no padding";
        ASSERT_EQ(o.repair, 0);
        const MediaReport repaired = CheckMedia(out);
        EXPECT_TRUE(repaired.CleanDecode()) << repaired.Summary();
        ASSERT_EQ(repaired.packets.size(), original.packets.size());
        for (size_t i = 0; i < original.packets.size(); ++i)
            EXPECT_EQ(repaired.packets[i].pts, original.packets[i].pts) << "packet " << i;
    }
}

}  // namespace

namespace {

// In a video stream whose frames are reordered (B-frames), a lost frame may
// be the reference of frames on either side of it. Those frames still
// decode, as they do from the damaged file itself: the copy keeps them,
// and holds as many frames as libavformat reads from the damaged file with
// no more decode errors. Each inter frame in turn.
TEST(MpegRepair, LostReferenceFramesCostOnlyThemselves)
{
    const std::string src = RequireFixture("clip_bframes.ts");
    if (src.empty())
        return;
    const auto clean = ReadFileBytes(src);
    const int video = VideoPid(clean);
    std::vector<int64_t> starts;
    for (int64_t p = 0; p + 188 <= static_cast<int64_t>(clean.size()); p += 188)
        if (Pid(&clean[p]) == video && (clean[p + 1] & 0x40))
            starts.push_back(p);
    ASSERT_GT(starts.size(), 20u);
    const int64_t frames = CheckMedia(src).VideoFrames();
    ScratchDir dir("mpeg");
    for (size_t i = 1; i + 1 < starts.size(); ++i) {
        const uint8_t* k = &clean[starts[i]];
        if ((k[3] & 0x20) && k[4] > 0 && (k[5] & 0x40))
            continue;  // a key frame
        SCOPED_TRACE("frame " + std::to_string(i));
        auto bytes = clean;
        std::fill(bytes.begin() + starts[i], bytes.begin() + starts[i + 1], 0);
        ASSERT_TRUE(WriteFileBytes(dir.Path("in.ts"), bytes));
        Outcome o = ParseAndRepair(dir.Path("in.ts"), dir.Path("out.ts"));
        ASSERT_EQ(o.repair, 0);
        const MediaReport damaged = CheckMedia(dir.Path("in.ts"));
        const MediaReport repaired = CheckMedia(dir.Path("out.ts"));
        EXPECT_GE(repaired.VideoFrames(), frames - 1) << repaired.Summary();
        EXPECT_GE(repaired.VideoFrames(), damaged.VideoFrames()) << repaired.Summary();
        EXPECT_LE(repaired.errorCount, damaged.errorCount) << repaired.Summary();
    }
}

}  // namespace

namespace {

// A program stream of many small packs, each one video packet: a sequence
// and picture header in the packets that carry a timestamp, slice data in
// the others.
std::vector<uint8_t> ManySmallPacks(size_t packs, size_t ptsEvery)
{
    std::vector<uint8_t> d;
    for (size_t i = 0; i < packs; ++i) {
        const int64_t base = int64_t(i) * 90;  // SCR, 90 kHz
        const uint32_t rate = 25200;
        const uint8_t pack[14] = {0, 0, 1, 0xBA,
                                  uint8_t(0x44 | ((base >> 27) & 0x38) | ((base >> 28) & 0x03)),
                                  uint8_t(base >> 20),
                                  uint8_t(0x04 | ((base >> 12) & 0xF8) | ((base >> 13) & 0x03)),
                                  uint8_t(base >> 5),
                                  uint8_t(0x04 | ((base << 3) & 0xF8)),
                                  0x01,
                                  uint8_t(rate >> 14),
                                  uint8_t(rate >> 6),
                                  uint8_t(((rate << 2) & 0xFC) | 3),
                                  0xF8};
        d.insert(d.end(), pack, pack + 14);
        const bool timed = i % ptsEvery == 0;
        std::vector<uint8_t> payload;
        if (timed)
            payload = {0, 0, 1, 0xB3, 0x14, 0x00, 0xF0, 0x13, 0xFF, 0xFF, 0xE0, 0x18, 0, 0, 1, 0x00, 0x00, 0x0F, 0xFF, 0xF8};
        else
            payload = {0, 0, 1, 0x01, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55};
        const size_t header = timed ? 14 : 9;
        const size_t length = header - 6 + payload.size();
        uint8_t pes[14] = {0, 0, 1, 0xE0, uint8_t(length >> 8), uint8_t(length), 0x80,
                           uint8_t(timed ? 0x80 : 0x00), uint8_t(timed ? 5 : 0)};
        if (timed)
            WritePesTimestamp(pes + 9, 2, base + 9000);
        d.insert(d.end(), pes, pes + header);
        d.insert(d.end(), payload.begin(), payload.end());
    }
    const uint8_t end[4] = {0, 0, 1, 0xB9};
    d.insert(d.end(), end, end + 4);
    return d;
}

size_t PackStart(size_t pack, size_t ptsEvery)
{
    const size_t timed = (pack + ptsEvery - 1) / ptsEvery;
    return pack * (14 + 9 + 16) + timed * (5 + 4);
}

// The walk keeps a record per packet, but a recording of millions of them
// holds only a few blocks of records in memory: the rest wait in a
// temporary file. Damage early in a long frame takes the frame's packets
// back to its start, blocks the walk had long put away; the copy leaves
// them out as it does with every record in memory (no temporary folder).
TEST(MpegRepair, ProgramStreamRecordsStayFewInMemory)
{
    constexpr size_t kPtsEvery = 45000;  // one frame's packets span many blocks of records
    constexpr size_t kDamaged = 30000;
    ScratchDir dir("mpeg");
    struct Result {
        size_t units = 0;
        size_t held = 0;
        std::vector<uint8_t> out;
    };
    const size_t kPacks[] = {50000, 100000};
    Result results[2][2];  // by length, then with a temporary folder (1) or none
    for (size_t n = 0; n < 2; ++n) {
        const size_t packs = kPacks[n];
        auto bytes = ManySmallPacks(packs, kPtsEvery);
        const size_t at = PackStart(kDamaged, kPtsEvery);
        std::fill_n(bytes.begin() + at, 20, 0x55);
        const std::string in = dir.Path("long.mpg");
        ASSERT_TRUE(WriteFileBytes(in, bytes));
        for (const bool folder : {true, false}) {
            SCOPED_TRACE(std::to_string(packs) + (folder ? " packs, to a temporary file" : " packs, in memory"));
            ScopedEnv tmp("TMPDIR", folder ? dir.Root().c_str() : dir.Path("missing").c_str());
            Result& r = results[n][folder];
            Outcome o = ParseAndRepairWith<CMPEGRepair, Outcome>(in, dir.Path("out.mpg"), [&](CMPEGRepair& repair, Outcome&) {
                r.units = repair.ProgramStreamUnits();
                r.held = repair.UnitRecordBytesHeld();
            });
            ASSERT_EQ(o.parse, 0);
            ASSERT_TRUE(Has(o.codes, JRVP_DAMAGE_SEGMENT));
            ASSERT_EQ(o.repair, 0);
            r.out = ReadFileBytes(dir.Path("out.mpg"));
            EXPECT_EQ(r.units, packs - 2) << "every packet but the damaged one and the one before, whose end it took";
            // The frame the damage cut goes whole, back to its first packet:
            // what is kept starts at the next frame.
            EXPECT_LT(r.out.size(), bytes.size() - PackStart(kDamaged, kPtsEvery));
            EXPECT_GT(r.out.size(), (packs - kPtsEvery) * (14 + 9 + 16));
        }
        EXPECT_TRUE(results[n][1].out == results[n][0].out) << "the same copy with the records in a file as in memory";
    }
    EXPECT_EQ(results[1][1].held, results[0][1].held) << "records held in memory do not grow with the packets";
    EXPECT_LT(results[1][1].held, results[1][0].held / 2);
    EXPECT_GT(results[1][0].held, results[0][0].held);
}

}  // namespace
