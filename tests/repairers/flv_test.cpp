// FLV repairer: intact files from two writers stay undamaged; damaged ones
// come out with a PreviousTagSize chain that holds, one timeline, a duration
// that matches their content and a keyframes index that points at key
// frames, as libavformat and flvmeta judge them.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "core/BaseStream.h"
#include "repairers/FLVRepair.h"
#include "support/Damage.h"
#include "support/Fixtures.h"
#include "support/MediaCheck.h"
#include "support/RepairRun.h"

using namespace mendtest;

namespace {

// ---------------------------------------------------------------------------
// Reading FLV in the test, independently of the repairer.

uint32_t Be24(const std::vector<uint8_t>& d, size_t at)
{
    return (uint32_t(d.at(at)) << 16) | (uint32_t(d.at(at + 1)) << 8) | d.at(at + 2);
}

struct Tag {
    size_t pos = 0;
    uint8_t type = 0;
    uint32_t size = 0;
    uint32_t ts = 0;
    bool key = false;  // a video frame of frame type 1 (AVC: NAL units)
};

// Walks the tags from the header on; `chain` tells whether every
// PreviousTagSize holds and the last tag ends the file exactly.
std::vector<Tag> WalkFlv(const std::vector<uint8_t>& d, bool* chain = nullptr)
{
    std::vector<Tag> tags;
    bool ok = d.size() >= 13 && FindBytes(d, "FLV") == 0 && ReadBE32(d, 5) == 9 && ReadBE32(d, 9) == 0;
    size_t pos = 13;
    while (ok && pos < d.size()) {
        if (d.size() - pos < 15) {
            ok = false;
            break;
        }
        Tag t;
        t.pos = pos;
        t.type = d[pos] & 0x1F;
        t.size = Be24(d, pos + 1);
        t.ts = Be24(d, pos + 4) | (uint32_t(d[pos + 7]) << 24);
        if (d.size() - pos - 15 < t.size || t.size == 0) {
            ok = false;
            break;
        }
        const uint8_t first = d[pos + 11];
        t.key = t.type == 9 && (first >> 4) == 1 && ((first & 0x0F) != 7 || (t.size > 1 && d[pos + 12] == 1));
        ok = ReadBE32(d, pos + 11 + t.size) == t.size + 11;
        tags.push_back(t);
        pos += 15 + t.size;
    }
    if (chain)
        *chain = ok && pos == d.size();
    return tags;
}

std::vector<uint8_t> Payload(const std::vector<uint8_t>& d, const Tag& t)
{
    return std::vector<uint8_t>(d.begin() + t.pos + 11, d.begin() + t.pos + 11 + t.size);
}

std::string Run(const std::string& command)
{
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p)
        return out;
    std::array<char, 4096> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0)
        out.append(buf.data(), n);
    pclose(p);
    return out;
}

// flvmeta's own verdict: the number of errors it reports, -1 when it ran not.
int FlvmetaErrors(const std::string& path, std::string* report)
{
    *report = Run("flvmeta --check '" + path + "' 2>&1");
    std::smatch m;
    if (!std::regex_search(*report, m, std::regex("([0-9]+) error\\(s\\)")))
        return -1;
    return std::stoi(m[1]);
}

struct Metadata {
    bool found = false;
    double duration = -1;
    std::vector<double> filepositions;
    std::vector<double> times;
};

std::vector<double> Numbers(const std::string& json, const std::string& key)
{
    std::vector<double> out;
    std::smatch m;
    if (!std::regex_search(json, m, std::regex("\"" + key + "\":\\[([^\\]]*)\\]")))
        return out;
    std::string list = m[1];
    for (size_t at = 0; at < list.size();) {
        size_t comma = list.find(',', at);
        out.push_back(std::stod(list.substr(at, comma - at)));
        at = comma == std::string::npos ? list.size() : comma + 1;
    }
    return out;
}

// The onMetaData object as flvmeta reads it.
Metadata ReadMetadata(const std::string& path)
{
    Metadata md;
    const std::string json = Run("flvmeta --dump -j '" + path + "' 2>/dev/null");
    std::smatch m;
    if (!std::regex_search(json, m, std::regex("\"duration\":([-0-9.eE+]+)")))
        return md;
    md.found = true;
    md.duration = std::stod(m[1]);
    md.filepositions = Numbers(json, "filepositions");
    md.times = Numbers(json, "times");
    return md;
}

// ---------------------------------------------------------------------------
// Driving the repairer.

using Outcome = mendtest::RepairOutcome;

Outcome ParseAndRepair(const std::string& in, const std::string& out = "")
{
    return mendtest::ParseAndRepairWith<CFLVRepair>(in, out);
}

const char* const kFlvFixtures[] = {"clip_h264.flv", "clip_kfi.flv", "clip.flv",     "clip_alaw.flv",
                                    "clip_pcm.flv",  "clip_piped.flv", "clip_gst.flv"};

TEST(FlvWalk, IntactFixturesAreUndamaged)
{
    for (const char* name : kFlvFixtures) {
        const std::string path = RequireFixture(name);
        if (path.empty())
            return;
        Outcome o = ParseAndRepair(path);
        EXPECT_EQ(o.parse, 0) << name;
        EXPECT_TRUE(o.codes.empty()) << name << ": " << o.codes.size() << " records, first " << o.codes[0];
    }
}

// ---------------------------------------------------------------------------
// The damage table, over every fixture.

struct Damage {
    const char* name;
    // Damages the bytes; returns the byte range whose tags may be lost.
    std::function<std::pair<size_t, size_t>(std::vector<uint8_t>&)> apply;
    bool keepsEveryTag;
};

void ShiftTimestamps(std::vector<uint8_t>& d, size_t fromTag, uint32_t by)
{
    const auto tags = WalkFlv(d);
    for (size_t i = fromTag; i < tags.size(); ++i) {
        const uint32_t ts = tags[i].ts + by;
        d[tags[i].pos + 4] = uint8_t(ts >> 16);
        d[tags[i].pos + 5] = uint8_t(ts >> 8);
        d[tags[i].pos + 6] = uint8_t(ts);
        d[tags[i].pos + 7] = uint8_t(ts >> 24);
    }
}

// What a damage returns for a clip it does not suit.
const std::pair<size_t, size_t> kNotApplicable(SIZE_MAX, SIZE_MAX);

// The AVCDecoderConfigurationRecord of the first AVC sequence header: its
// offset, or 0 when the clip has none.
size_t AvcRecord(const std::vector<uint8_t>& d)
{
    for (const Tag& t : WalkFlv(d))
        if (t.type == 9 && t.size > 5 + 7 && (d[t.pos + 11] & 0x0F) == 7 && d[t.pos + 12] == 0)
            return t.pos + 16;
    return 0;
}

// Sets `bits` bits at `shift` of the record's byte `at` (a field of one
// byte), or its 16-bit field at `at` when bits is 16.
template <size_t At, int Bits, int Shift, uint32_t Value>
std::pair<size_t, size_t> SetAvcRecordField(std::vector<uint8_t>& d)
{
    const size_t record = AvcRecord(d);
    if (record == 0)
        return kNotApplicable;
    if (Bits == 16) {
        d[record + At] = uint8_t(Value >> 8);
        d[record + At + 1] = uint8_t(Value);
    } else {
        const uint8_t mask = uint8_t(((1u << Bits) - 1) << Shift);
        d[record + At] = uint8_t((d[record + At] & ~mask) | ((Value << Shift) & mask));
    }
    return std::make_pair(size_t(0), size_t(0));
}

// Sets the data size of the first tag of a type.
template <uint8_t Type, uint32_t Value>
std::pair<size_t, size_t> SetFirstTagSize(std::vector<uint8_t>& d)
{
    for (const Tag& t : WalkFlv(d))
        if (t.type == Type) {
            d[t.pos + 1] = uint8_t(Value >> 16);
            d[t.pos + 2] = uint8_t(Value >> 8);
            d[t.pos + 3] = uint8_t(Value);
            return std::make_pair(size_t(0), size_t(0));
        }
    return kNotApplicable;
}

// Sets the sound rate bits of the first audio tag, when it is AAC's.
template <uint8_t Rate>
std::pair<size_t, size_t> SetFirstAacRate(std::vector<uint8_t>& d)
{
    for (const Tag& t : WalkFlv(d))
        if (t.type == 8) {
            if (d[t.pos + 11] >> 4 != 10)
                return kNotApplicable;
            d[t.pos + 11] = uint8_t((d[t.pos + 11] & ~0x0C) | (Rate << 2));
            return std::make_pair(size_t(0), size_t(0));
        }
    return kNotApplicable;
}

// Sets the sampling index of the first AAC set-up.
template <uint8_t Index>
std::pair<size_t, size_t> SetAacIndex(std::vector<uint8_t>& d)
{
    for (const Tag& t : WalkFlv(d))
        if (t.type == 8 && t.size >= 4 && d[t.pos + 11] >> 4 == 10 && d[t.pos + 12] == 0) {
            const uint32_t bits = (uint32_t(d[t.pos + 13]) << 8) | d[t.pos + 14];
            const uint32_t damaged = (bits & ~(0x0Fu << 7)) | (uint32_t(Index) << 7);
            d[t.pos + 13] = uint8_t(damaged >> 8);
            d[t.pos + 14] = uint8_t(damaged);
            return std::make_pair(size_t(0), size_t(0));
        }
    return kNotApplicable;
}

const Damage kDamages[] = {
    // The pace of the AAC frames gives the rate a bent set-up lost.
    {"AAC config sampling index 96 kHz", SetAacIndex<0>, true},
    {"AAC config sampling index 88.2 kHz", SetAacIndex<1>, true},
    {"AAC config sampling index escape", SetAacIndex<15>, true},
    // A tag whose size alone is bent ends where the PreviousTagSize that
    // counts from it stands: the copy keeps it.
    {"first audio tag's size 0", SetFirstTagSize<8, 0>, true},
    {"first audio tag's size 1", SetFirstTagSize<8, 1>, true},
    {"first video tag's size 0", SetFirstTagSize<9, 0>, true},
    {"first video tag's size 1", SetFirstTagSize<9, 1>, true},
    // AAC carries its rate in its set-up; flags that differ from the other
    // tags' read as a change of format.
    {"first AAC tag's sound rate 5.5 kHz", SetFirstAacRate<0>, true},
    {"first AAC tag's sound rate 11 kHz", SetFirstAacRate<1>, true},
    // A sequence header whose fields the damage bent is made again from
    // the parameter sets it still holds and the frames' NAL lengths: the
    // copy holds the original's.
    {"AVC config NAL length size 1", SetAvcRecordField<4, 2, 0, 0>, true},
    {"AVC config NAL length size 2", SetAvcRecordField<4, 2, 0, 1>, true},
    {"AVC config SPS count 0", SetAvcRecordField<5, 5, 0, 0>, true},
    {"AVC config SPS count 31", SetAvcRecordField<5, 5, 0, 31>, true},
    {"AVC config SPS length 0", SetAvcRecordField<6, 16, 0, 0>, true},
    {"AVC config SPS length 1", SetAvcRecordField<6, 16, 0, 1>, true},
    {"AVC config SPS length all ones", SetAvcRecordField<6, 16, 0, 0xFFFF>, true},
    {"cut at 60 %",
     [](std::vector<uint8_t>& d) {
         const size_t at = d.size() * 6 / 10;
         d.resize(at);
         return std::make_pair(at, SIZE_MAX);
     },
     false},
    {"a bad PreviousTagSize",
     [](std::vector<uint8_t>& d) {
         const Tag t = WalkFlv(d).at(10);
         WriteBE32(d, t.pos + 11 + t.size, 0xDEADBEEF);
         return std::make_pair(size_t(0), size_t(0));
     },
     true},
    {"4 KiB zeroed",
     [](std::vector<uint8_t>& d) {
         const size_t at = d.size() * 4 / 10;
         std::fill(d.begin() + at, d.begin() + at + 4096, 0);
         return std::make_pair(at, at + 4096);
     },
     false},
    {"a first timestamp of 1000",
     [](std::vector<uint8_t>& d) {
         ShiftTimestamps(d, 0, 1000);
         return std::make_pair(size_t(0), size_t(0));
     },
     true},
    {"a 5 s timestamp jump",
     [](std::vector<uint8_t>& d) {
         ShiftTimestamps(d, WalkFlv(d).size() / 2, 5000);
         return std::make_pair(size_t(0), size_t(0));
     },
     true},
    {"a zeroed file header",
     [](std::vector<uint8_t>& d) {
         std::fill(d.begin(), d.begin() + 13, 0);
         return std::make_pair(size_t(0), size_t(0));
     },
     true},
    {"a live recording with duration 0",
     [](std::vector<uint8_t>& d) {
         const int64_t at = FindBytes(d, "duration");
         std::fill(d.begin() + at + 9, d.begin() + at + 17, 0);
         return std::make_pair(size_t(0), size_t(0));
     },
     true},
};

// The end of the content: the latest packet end of any stream.
double ContentEnd(const MediaReport& r)
{
    double end = 0;
    for (const StreamReport& s : r.streams)
        end = std::max(end, s.endSeconds);
    return end;
}

// The error lines without the logging context's address.
std::vector<std::string> ErrorTexts(const MediaReport& r)
{
    std::vector<std::string> out;
    for (const std::string& line : r.ErrorLines())
        out.push_back(std::regex_replace(line, std::regex("@ 0x[0-9a-f]+"), "@"));
    return out;
}

TEST(FlvRepair, EveryDamageIsRepairedIntoAChainedIndexedFile)
{
    for (const char* name : kFlvFixtures) {
        const std::string src = RequireFixture(name);
        if (src.empty())
            return;
        const auto clean = ReadFileBytes(src);
        const MediaReport original = CheckMedia(src);
        // libavformat reads no metadata string longer than 255 bytes and
        // says so for GStreamer's "gstfiller": that line, and only that,
        // may stay in its repaired copies.
        const auto knownErrors = ErrorTexts(original);
        ASSERT_TRUE(original.opened && original.TotalFrames() > 0) << original.Summary();
        for (const std::string& line : knownErrors)
            ASSERT_NE(line.find("AMF_DATA_TYPE_STRING parsing failed"), std::string::npos) << line;
        const auto originalTags = WalkFlv(clean);
        const bool indexed = !ReadMetadata(src).filepositions.empty();
        const bool piped = std::string(name) == "clip_piped.flv";
        for (const Damage& damage : kDamages) {
            // A file written to a pipe already has duration 0: that is what
            // it is, not damage.
            if (piped && std::string(damage.name) == "a live recording with duration 0")
                continue;
            SCOPED_TRACE(std::string(name) + ": " + damage.name);
            ScratchDir dir("flv");
            auto bytes = clean;
            const auto range = damage.apply(bytes);
            if (range == kNotApplicable)
                continue;
            const std::string in = dir.Path("damaged.flv"), out = dir.Path("repaired.flv");
            ASSERT_TRUE(WriteFileBytes(in, bytes));
            Outcome o = ParseAndRepair(in, out);
            ASSERT_EQ(o.parse, 0);
            ASSERT_FALSE(o.codes.empty()) << "damage went unnoticed";
            ASSERT_EQ(o.repair, 0);

            const MediaReport repaired = CheckMedia(out);
            EXPECT_TRUE(repaired.opened && repaired.TotalFrames() > 0) << repaired.Summary();
            EXPECT_EQ(ErrorTexts(repaired), knownErrors) << repaired.Summary();
            // No stream more or less: libavformat reads a script tag at a
            // time other than 0 as a packet of a stream of its own.
            EXPECT_EQ(repaired.streams.size(), original.streams.size()) << repaired.Summary();
            std::string report;
            EXPECT_EQ(FlvmetaErrors(out, &report), 0) << report;

            const auto fixed = ReadFileBytes(out);
            bool chain = false;
            const auto tags = WalkFlv(fixed, &chain);
            EXPECT_TRUE(chain) << "PreviousTagSize chain broken";

            // Every audio and video tag clear of the damage is kept, in
            // order (script tags get new values).
            size_t k = 0;
            size_t lost = 0;
            for (const Tag& t : originalTags) {
                if (t.type == 18)
                    continue;
                if (t.pos < range.second && t.pos + 15 + t.size > range.first) {
                    ++lost;
                    continue;
                }
                const auto want = Payload(clean, t);
                while (k < tags.size() && !(tags[k].type == t.type && Payload(fixed, tags[k]) == want))
                    ++k;
                ASSERT_LT(k, tags.size()) << "lost the tag at " << t.pos;
            }
            if (damage.keepsEveryTag) {
                EXPECT_EQ(lost, 0u);
                EXPECT_EQ(repaired.TotalFrames(), original.TotalFrames());
            }

            // One timeline from 0, never backwards within a stream, no gap
            // of seconds.
            uint32_t last[32] = {};
            bool firstMedia = true;
            for (const Tag& t : tags) {
                if (t.type == 18)
                    continue;
                if (firstMedia) {
                    EXPECT_EQ(t.ts, 0u);
                }
                firstMedia = false;
                EXPECT_GE(t.ts, last[t.type]) << "tag at " << t.pos;
                EXPECT_LT(t.ts, last[t.type] + 1000) << "tag at " << t.pos;
                last[t.type] = t.ts;
            }

            // The declared duration is the content's, within one frame.
            const Metadata md = ReadMetadata(out);
            ASSERT_TRUE(md.found);
            EXPECT_NEAR(md.duration, ContentEnd(repaired), 1.0 / 15 + 0.002);

            // Each index entry lands on a video key-frame tag, and the index
            // names every one, at its time.
            if (indexed) {
                std::vector<Tag> keys;
                for (const Tag& t : tags)
                    if (t.key)
                        keys.push_back(t);
                ASSERT_EQ(md.filepositions.size(), keys.size());
                ASSERT_EQ(md.times.size(), keys.size());
                for (size_t i = 0; i < keys.size(); ++i) {
                    EXPECT_EQ(md.filepositions[i], double(keys[i].pos));
                    EXPECT_NEAR(md.times[i], keys[i].ts / 1000.0, 1e-6);
                }
            }
        }
    }
}

// ---------------------------------------------------------------------------
// A stream's set-up (the AVC sequence header, the AAC AudioSpecificConfig)
// lost to damage near the start of the file.

bool NeedsSetUp(const std::vector<uint8_t>& d, const Tag& t)
{
    const uint8_t first = d[t.pos + 11];
    return t.type == 8 ? (first >> 4) == 10 : t.type == 9 && (first & 0x0F) == 7;
}

// A tag that sets its stream up: a sequence header, or an AVC key frame
// that carries its sequence and picture parameter sets among its NAL units.
bool SetsUp(const std::vector<uint8_t>& d, const Tag& t)
{
    if (!NeedsSetUp(d, t) || t.size < 2)
        return false;
    if (d[t.pos + 12] == 0)
        return true;
    if (t.type != 9 || !t.key)
        return false;
    bool sps = false, pps = false;
    const size_t end = t.pos + 11 + t.size;
    for (size_t p = t.pos + 16; p + 5 <= end;) {
        const uint32_t n = ReadBE32(d, p);
        sps = sps || (d[p + 4] & 0x1F) == 7;
        pps = pps || (d[p + 4] & 0x1F) == 8;
        if (n > end - p - 4)
            break;
        p += 4 + n;
    }
    return sps && pps;
}

// The streams a zeroed range [from, to) leaves that can be set up: those
// that need no set-up and keep a tag, and those that keep a tag that sets
// them up and a frame from there on. Each as its tag type, 8 or 9; in
// `decodable` those of them that also keep a frame to start decoding at
// (any audio frame, a video key frame).
std::set<int> SetUpAfter(const std::vector<uint8_t>& d, size_t from, size_t to, std::set<int>* decodable)
{
    std::set<int> out;
    for (int type : {8, 9}) {
        bool needs = false, first = true, setUp = false;
        for (const Tag& t : WalkFlv(d)) {
            if (t.type != type)
                continue;
            if (first)
                needs = NeedsSetUp(d, t);
            first = false;
            if (t.pos < to && t.pos + 15 + t.size > from)
                continue;
            setUp = setUp || !needs || SetsUp(d, t);
            if (setUp && (!needs || d[t.pos + 12] != 0)) {
                out.insert(type);
                if (type == 8 || t.key) {
                    decodable->insert(type);
                    break;
                }
            }
        }
    }
    return out;
}

TEST(FlvRepair, ALostSetUpIsMadeAgainOrItsStreamLeftOut)
{
    // Every sequence header zeroed alone, then blocks of two sizes swept over
    // the metadata and the first tags. A copy keeps exactly the streams the
    // damaged file can still set up, each decoding at least what libavformat
    // decodes of the damaged file; with none left, the repair refuses.
    for (const char* name : {"clip_h264.flv", "clip_kfi.flv", "clip_gst.flv", "clip.flv"}) {
        const std::string src = RequireFixture(name);
        if (src.empty())
            return;
        const auto clean = ReadFileBytes(src);
        std::vector<std::pair<size_t, size_t>> ranges;
        for (const Tag& t : WalkFlv(clean))
            if (t.size > 1 && NeedsSetUp(clean, t) && clean[t.pos + 12] == 0)
                ranges.emplace_back(t.pos, t.pos + 15 + t.size);
        for (size_t size : {512, 4096})
            for (size_t at = 0; at + size < clean.size() && at <= 8192; at += 512)
                ranges.emplace_back(at, at + size);
        ScratchDir dir("flvsetup");
        for (const auto& range : ranges) {
            SCOPED_TRACE(std::string(name) + ": zeroed " + std::to_string(range.first) + " to " +
                         std::to_string(range.second));
            auto bytes = clean;
            std::fill(bytes.begin() + range.first, bytes.begin() + range.second, 0);
            const std::string in = dir.Path("damaged.flv"), out = dir.Path("repaired.flv");
            ASSERT_TRUE(WriteFileBytes(in, bytes));
            std::set<int> decodable;
            const std::set<int> want = SetUpAfter(clean, range.first, range.second, &decodable);
            const Outcome o = ParseAndRepair(in, out);
            if (want.empty()) {
                EXPECT_TRUE(o.parse < 0 || o.repair < 0) << "nothing playable called repaired";
                EXPECT_NE(o.repair, 0);
                continue;
            }
            ASSERT_EQ(o.parse, 0);
            ASSERT_EQ(o.repair, 0);
            // Zeros inside one frame's data leave every tag as it was: no
            // container can tell, and the file called undamaged must then
            // open as the copy would.
            const MediaReport damaged = CheckMedia(in);
            const MediaReport repaired = o.codes.empty() ? damaged : CheckMedia(out);
            ASSERT_TRUE(repaired.opened) << repaired.Summary();
            std::set<int> got;
            for (const StreamReport& s : repaired.streams) {
                const int type = s.type == AVMEDIA_TYPE_VIDEO ? 9 : s.type == AVMEDIA_TYPE_AUDIO ? 8 : -1;
                got.insert(type);
                if (decodable.count(type)) {
                    EXPECT_GT(s.frames, 0) << repaired.Summary();
                }
                const StreamReport* before = damaged.FirstStream(s.type);
                if (damaged.opened && before) {
                    EXPECT_GE(s.frames, before->frames) << repaired.Summary() << "\n" << damaged.Summary();
                }
            }
            EXPECT_EQ(got, want) << repaired.Summary();
            // A stream that still has frames but no set-up for them is lost,
            // and the user is told.
            for (const Tag& t : WalkFlv(clean)) {
                if (t.type != 18 && !want.count(t.type) && (t.pos >= range.second || t.pos + 15 + t.size <= range.first)) {
                    EXPECT_TRUE(Has(o.codes, JRVP_DAMAGE_DATA_LOST)) << "type " << int(t.type);
                }
            }
        }
    }
}

TEST(FlvWalk, LongDamagedTailIsScannedInOnePass)
{
    // 256 MiB of zeros after the last tag (a file preallocated and never
    // filled): the search for the next tag must not try every byte.
    const std::string src = RequireFixture("clip_h264.flv");
    if (src.empty())
        return;
    ScratchDir dir("flvtail");
    const std::string in = dir.Path("tail.flv");
    ASSERT_TRUE(CopyFile(src, in));
    ASSERT_EQ(truncate(in.c_str(), FileSize(src) + (int64_t(256) << 20)), 0);
    const Outcome o = ParseAndRepair(in);
    ASSERT_EQ(o.parse, 0);
    EXPECT_EQ(o.codes, std::vector<int>{JRVP_DAMAGE_SEGMENT});
    // The tail is read once, in some 4 reads per MiB (the search's 64 KiB
    // blocks come out of the input buffer's refills of up to 256 KiB); the
    // bound leaves eight times that. A search that asked the
    // input for every byte would make a million reads per MiB, and one
    // that went over the tail again would read its bytes twice.
    const int64_t tail = o.inputLength - FileSize(src);
    EXPECT_LT(o.parseReads.ReadsPerMiB(tail), 32) << o.parseReads.reads << " reads";
    EXPECT_LT(o.parseReads.bytes, o.inputLength * 3 / 2);
    // The repairer's own buffer sees some 17 calls per MiB of the tail (a
    // seek and a 64 KiB read per block, and the tags before it); the bound
    // leaves more than seven times that. Searching the buffer a byte per
    // call would make a million calls per MiB, 8 bytes per call 131000.
    EXPECT_LT(o.parseCalls.ReadsPerMiB(tail), 128) << o.parseCalls.reads << " calls";
}

namespace {

// Asks the repairer itself to stop once a read reaches `from`: a request
// made of the repairer alone is seen once, with no owner's flag behind it.
class AbortWhenReached : public CountingStream {
public:
    AbortWhenReached(IBaseStream* inner, int64_t from) : CountingStream(inner), m_inner(inner), m_from(from) {}
    unsigned int Read(void* buf, unsigned int n) override
    {
        Reach(m_inner->GetPos());
        return CountingStream::Read(buf, n);
    }
    long long ReadAt(long long pos, void* buf, unsigned int n) override
    {
        Reach(pos);
        return CountingStream::ReadAt(pos, buf, n);
    }
    CFLVRepair* target = nullptr;

private:
    void Reach(int64_t pos)
    {
        if (pos >= m_from && target && !m_asked) {
            m_asked = true;
            target->AbortTask();
        }
    }
    IBaseStream* m_inner;
    int64_t m_from;
    bool m_asked = false;
};

}  // namespace

TEST(FlvWalk, AnAbortSeenByTheSearchEndsTheParse)
{
    // The search past damage is where the flag is seen; it must pass the
    // request on, not use it up and let the walk carry on through the rest.
    const std::string src = RequireFixture("clip_h264.flv");
    if (src.empty())
        return;
    ScratchDir dir("flvabort");
    const std::string in = dir.Path("tail.flv");
    ASSERT_TRUE(CopyFile(src, in));
    ASSERT_EQ(truncate(in.c_str(), FileSize(src) + (int64_t(64) << 20)), 0);
    int err = 0;
    CVideoFile file(in.c_str(), 0, &err);
    ASSERT_EQ(err, 0);
    AbortWhenReached input(&file, FileSize(src) + (int64_t(1) << 20));
    CFLVRepair repair(&input);
    input.target = &repair;
    EXPECT_EQ(repair.ParseStream(nullptr, nullptr), JRVP_ERR_ABORTED);
    EXPECT_LT(input.Counts().bytes, FileSize(src) + (int64_t(32) << 20)) << "the walk went on after the abort";
}

// ---------------------------------------------------------------------------
// Small files built here, each showing one rule of the walk or the rebuild.

struct Synth {
    uint8_t type;
    uint32_t ts;
    std::vector<uint8_t> data;
};

void PutBe(std::vector<uint8_t>& out, uint64_t v, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i)
        out.push_back(uint8_t(v >> (8 * i)));
}

std::vector<uint8_t> BuildFlv(const std::vector<Synth>& tags)
{
    std::vector<uint8_t> d = {'F', 'L', 'V', 1, 5, 0, 0, 0, 9, 0, 0, 0, 0};
    for (const Synth& t : tags) {
        d.push_back(t.type);
        PutBe(d, t.data.size(), 3);
        PutBe(d, t.ts & 0xFFFFFF, 3);
        d.push_back(uint8_t(t.ts >> 24));
        PutBe(d, 0, 3);
        d.insert(d.end(), t.data.begin(), t.data.end());
        PutBe(d, t.data.size() + 11, 4);
    }
    return d;
}

// An FLV1 (Sorenson H.263) frame: frame type 1 key, 2 inter.
Synth Video(uint32_t ts, bool key, size_t size = 40)
{
    std::vector<uint8_t> data(size, 0x5A);
    data[0] = key ? 0x12 : 0x22;
    return {9, ts, data};
}

Synth Audio(uint32_t ts, uint8_t header = 0x2E, size_t size = 30)
{
    std::vector<uint8_t> data(size, 0x33);
    data[0] = header;
    if (size > 1 && header >> 4 == 10)
        data[1] = 1;  // AAC raw frame
    return {8, ts, data};
}

void AmfName(std::vector<uint8_t>& d, const std::string& name)
{
    PutBe(d, name.size(), 2);
    d.insert(d.end(), name.begin(), name.end());
}

void AmfNumber(std::vector<uint8_t>& d, double v)
{
    d.push_back(0);
    uint64_t bits;
    memcpy(&bits, &v, 8);
    PutBe(d, bits, 8);
}

// A script tag: its name, then an ECMA array of numbers, optionally with
// an (old, wrong) keyframes object.
Synth Script(const std::string& name, const std::vector<std::pair<std::string, double>>& numbers,
             int oldKeyframes = -1, uint32_t ts = 0)
{
    std::vector<uint8_t> d = {2};
    AmfName(d, name);
    d.push_back(8);
    PutBe(d, numbers.size() + (oldKeyframes >= 0), 4);
    for (const auto& n : numbers) {
        AmfName(d, n.first);
        AmfNumber(d, n.second);
    }
    if (oldKeyframes >= 0) {
        AmfName(d, "keyframes");
        d.push_back(3);
        for (const char* array : {"filepositions", "times"}) {
            AmfName(d, array);
            d.push_back(10);
            PutBe(d, oldKeyframes, 4);
            for (int i = 0; i < oldKeyframes; ++i)
                AmfNumber(d, 12345);
        }
        PutBe(d, 9, 3);
    }
    PutBe(d, 9, 3);
    return {18, ts, d};
}

struct Parsed {
    int parse = 1;
    std::vector<int> codes;
    std::vector<FlvTagInfo> tags;
    double duration = 0;
    int repair = 1;
    std::vector<uint8_t> out;
};

Parsed ParseBytes(const std::vector<uint8_t>& bytes, bool repairIt = false)
{
    ScratchDir dir("flvsynth");
    const std::string in = dir.Path("in.flv"), out = dir.Path("out.flv");
    Parsed p;
    if (!WriteFileBytes(in, bytes))
        return p;
    int err = 0;
    CVideoFile input(in.c_str(), 0, &err);
    CFLVRepair repair(&input);
    p.parse = repair.ParseStream(&CollectCode, &p.codes);
    p.tags = repair.Tags();
    p.duration = repair.Duration();
    if (repairIt && p.parse == 0) {
        CVideoFile output(out.c_str(), 2, &err);
        p.repair = repair.RepairFile(&output, 1, nullptr);
        p.out = ReadFileBytes(out);
    }
    return p;
}

std::vector<uint32_t> Timestamps(const std::vector<FlvTagInfo>& tags)
{
    std::vector<uint32_t> out;
    for (const FlvTagInfo& t : tags)
        out.push_back(t.timestamp);
    return out;
}

TEST(FlvWalk, TimestampsAreMadeOneTimeline)
{
    struct Case {
        const char* name;
        std::vector<uint32_t> in;
        std::vector<uint32_t> want;
    };
    const Case cases[] = {
        {"a jump of 5 s", {0, 40, 80, 5000, 5040}, {0, 40, 80, 120, 160}},
        {"a late start", {1000, 1040, 1080, 1120}, {0, 40, 80, 120}},
        {"a step back", {0, 40, 80, 120, 20, 60}, {0, 40, 80, 120, 160, 200}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Synth> tags;
        for (uint32_t ts : c.in)
            tags.push_back(Video(ts, tags.empty()));
        const Parsed p = ParseBytes(BuildFlv(tags));
        ASSERT_EQ(p.parse, 0);
        EXPECT_EQ(Timestamps(p.tags), c.want);
        EXPECT_EQ(p.codes, std::vector<int>{JRVP_DAMAGE_TIMING});
    }
}

TEST(FlvWalk, EverySoundFormatWrittenByMuxersIsAudio)
{
    // PCM (0, 3), ADPCM, MP3, G.711 A-law and mu-law (7, 8), Nellymoser,
    // and AAC at any rate and channel layout (after its AudioSpecificConfig).
    for (uint8_t header : {0x0E, 0x3E, 0x3A, 0x12, 0x2E, 0x72, 0x82, 0x62, 0xA2, 0xAF, 0xAB, 0xA6}) {
        SCOPED_TRACE(int(header));
        std::vector<Synth> tags;
        if (header >> 4 == 10)
            tags.push_back({8, 0, {header, 0, 0x13, 0x88}});
        for (uint32_t i = 0; i < 6; ++i)
            tags.push_back(Audio(i * 20, header));
        const Parsed p = ParseBytes(BuildFlv(tags));
        ASSERT_EQ(p.parse, 0);
        EXPECT_EQ(p.tags.size(), tags.size());
        EXPECT_TRUE(p.codes.empty());
    }
}

TEST(FlvWalk, ScriptTagBetweenFramesPassesTheLookAhead)
{
    const Parsed p = ParseBytes(BuildFlv({Video(0, true), Video(40, false), Script("onCuePoint", {{"time", 0.08}}, -1, 80),
                                          Video(80, false), Video(120, false)}));
    ASSERT_EQ(p.parse, 0);
    EXPECT_EQ(p.tags.size(), 5u);
    EXPECT_TRUE(p.codes.empty());
}

TEST(FlvWalk, DurationIsTheLastFrameAndOneInterval)
{
    // A small last tag after big ones: no size ratio may stretch it.
    std::vector<Synth> tags;
    for (uint32_t i = 0; i < 10; ++i)
        tags.push_back(Video(i * 40, i == 0, i == 9 ? 20 : 4000));
    const Parsed p = ParseBytes(BuildFlv(tags));
    ASSERT_EQ(p.parse, 0);
    EXPECT_DOUBLE_EQ(p.duration, 0.4);
}

TEST(FlvWalk, TagBeforeACutLastTagIsKept)
{
    auto bytes = BuildFlv({Video(0, true), Video(40, false), Video(80, false, 400)});
    bytes.resize(bytes.size() - 300);
    const Parsed p = ParseBytes(bytes, true);
    ASSERT_EQ(p.parse, 0);
    EXPECT_EQ(p.tags.size(), 2u);
    EXPECT_EQ(p.codes, std::vector<int>{JRVP_DAMAGE_SEGMENT});
    ASSERT_EQ(p.repair, 0);
    bool chain = false;
    EXPECT_EQ(WalkFlv(p.out, &chain).size(), 2u);
    EXPECT_TRUE(chain);
}

TEST(FlvWalk, FileEndsAndStartsWithoutTheirPreviousTagSize)
{
    const auto whole = BuildFlv({Video(0, true), Video(40, false), Video(80, false)});
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
    };
    // The first tag right after the header, and the last one without the
    // size after it: every tag stands, and the rebuild writes both sizes.
    auto noFirst = whole;
    noFirst.erase(noFirst.begin() + 9, noFirst.begin() + 13);
    auto noLast = whole;
    noLast.resize(noLast.size() - 4);
    for (const Case& c : {Case{"no PreviousTagSize0", noFirst}, Case{"no last PreviousTagSize", noLast}}) {
        SCOPED_TRACE(c.name);
        const Parsed p = ParseBytes(c.bytes, true);
        ASSERT_EQ(p.parse, 0);
        EXPECT_EQ(p.tags.size(), 3u);
        ASSERT_EQ(p.repair, 0);
        auto want = whole;
        want[4] = 0x01;  // the header names the streams found: video only
        EXPECT_EQ(p.out, want);
    }
}

TEST(FlvRepair, EachScriptTagIsPatchedAtItsOwnOffsets)
{
    // The metadata (duration, file size, an old index of 3 entries), a cue
    // point whose own "duration" must stay, a script tag without either,
    // and garbage that looks like a script tag with a duration.
    const Synth meta = Script("onMetaData", {{"duration", 99}, {"width", 160}, {"filesize", 1}}, 3);
    const Synth cue = Script("onCuePoint", {{"duration", 7}}, -1, 40);
    const Synth plain = Script("onTextData", {{"x", 1}}, -1, 80);
    std::vector<Synth> tags = {meta, Video(0, true), Video(40, false), cue, Video(80, false), plain};
    for (uint32_t ts = 120; ts <= 400; ts += 40)
        tags.push_back(Video(ts, ts == 240));
    auto bytes = BuildFlv(tags);
    auto lure = BuildFlv({Script("onMetaData", {{"duration", 5}}, 2)});
    const int64_t at = FindBytes(bytes, std::vector<uint8_t>(plain.data.begin(), plain.data.begin() + 8)) - 11;
    bytes.insert(bytes.begin() + at, lure.begin() + 13, lure.end() - 2);

    const Parsed p = ParseBytes(bytes, true);
    ASSERT_EQ(p.parse, 0);
    EXPECT_EQ(p.codes, (std::vector<int>{JRVP_DAMAGE_SEGMENT, JRVP_DAMAGE_TIMING}));
    ASSERT_EQ(p.repair, 0);
    bool chain = false;
    const auto out = WalkFlv(p.out, &chain);
    ASSERT_TRUE(chain);
    ASSERT_EQ(out.size(), tags.size());

    // The metadata: new duration and size, and an index of the two key
    // frames as they stand in the output.
    const FlvScriptInfo s = CFLVRepair::ScanScript(Payload(p.out, out[0]).data(), out[0].size);
    ASSERT_TRUE(s.valid);
    EXPECT_DOUBLE_EQ(s.duration, 0.44);
    EXPECT_DOUBLE_EQ(s.filesize, double(p.out.size()));
    const auto data = Payload(p.out, out[0]);
    const std::vector<uint8_t> index(data.begin() + s.keyframesFrom, data.begin() + s.keyframesTo);
    ASSERT_EQ(index.size(), 36u + 18 * 2);
    std::vector<Tag> keys;
    for (const Tag& t : out)
        if (t.key)
            keys.push_back(t);
    ASSERT_EQ(keys.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        double pos, time;
        uint64_t bits = 0;
        for (int b = 0; b < 8; ++b)
            bits = (bits << 8) | index[3 + 13 + 1 + 4 + 9 * i + 1 + b];
        memcpy(&pos, &bits, 8);
        bits = 0;
        for (int b = 0; b < 8; ++b)
            bits = (bits << 8) | index[3 + 13 + 1 + 4 + 18 + 2 + 5 + 1 + 4 + 9 * i + 1 + b];
        memcpy(&time, &bits, 8);
        EXPECT_EQ(pos, double(keys[i].pos));
        EXPECT_DOUBLE_EQ(time, keys[i].ts / 1000.0);
    }
    // The other script tags are copied as they are.
    EXPECT_EQ(Payload(p.out, out[3]), cue.data);
    EXPECT_EQ(Payload(p.out, out[5]), plain.data);
}

TEST(FlvWalk, HostileScriptDataIsRefusedWithoutReadingPastIt)
{
    auto amf = [](std::vector<uint8_t> body) {
        std::vector<uint8_t> d = {2};
        AmfName(d, "onMetaData");
        d.insert(d.end(), body.begin(), body.end());
        return d;
    };
    std::vector<uint8_t> deep;
    for (int i = 0; i < 100000; ++i)
        deep.push_back(3);
    const std::vector<std::pair<const char*, std::vector<uint8_t>>> cases = {
        {"no value", amf({})},
        {"a strict array of 2^32 - 1 entries", amf({10, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0})},
        {"a string longer than the data", amf({2, 0xFF, 0xFF, 'a'})},
        {"an object without its end", amf({3, 0, 1, 'a', 0})},
        {"objects nested a hundred thousand deep", amf(deep)},
        {"an unknown marker", amf({17})},
        {"a name longer than the data", {2, 0x7F, 0xFF, 'o'}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        EXPECT_FALSE(CFLVRepair::ScanScript(c.second.data(), c.second.size()).valid);
        // The tag stands, its data does not: it is left out of the rebuild.
        const Parsed p = ParseBytes(BuildFlv({{18, 0, c.second}, Video(0, true), Video(40, false)}), true);
        ASSERT_EQ(p.parse, 0);
        EXPECT_EQ(p.codes, std::vector<int>{JRVP_DAMAGE_STRUCTURE});
        ASSERT_EQ(p.repair, 0);
        bool chain = false;
        EXPECT_EQ(WalkFlv(p.out, &chain).size(), 2u);
        EXPECT_TRUE(chain);
    }
}

}  // namespace
