// FLV repairer: intact files from two writers stay undamaged; damaged ones
// come out with a PreviousTagSize chain that holds, one timeline, a duration
// that matches their content and a keyframes index that points at key
// frames, as libavformat and flvmeta judge them.
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/BaseStream.h"
#include "repairers/FLVRepair.h"
#include "support/Damage.h"
#include "support/Fixtures.h"
#include "support/MediaCheck.h"
#include "support/Sanitizers.h"

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

struct Outcome {
    int parse = 1;
    std::vector<int> codes;
    int repair = 1;
    double parseSeconds = 0;
};

void CollectCode(int code, void* user)
{
    static_cast<std::vector<int>*>(user)->push_back(code);
}

Outcome ParseAndRepair(const std::string& in, const std::string& out = "")
{
    Outcome o;
    int err = 0;
    CVideoFile input(in.c_str(), 0, &err);
    CFLVRepair repair(&input);
    const auto start = std::chrono::steady_clock::now();
    o.parse = repair.ParseStream(&CollectCode, &o.codes);
    o.parseSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!out.empty() && o.parse == 0) {
        CVideoFile output(out.c_str(), 2, &err);
        o.repair = repair.RepairFile(&output, 1, nullptr);
    }
    return o;
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

const Damage kDamages[] = {
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
            const std::string in = dir.Path("damaged.flv"), out = dir.Path("repaired.flv");
            ASSERT_TRUE(WriteFileBytes(in, bytes));
            Outcome o = ParseAndRepair(in, out);
            ASSERT_EQ(o.parse, 0);
            ASSERT_FALSE(o.codes.empty()) << "damage went unnoticed";
            ASSERT_EQ(o.repair, 0);

            const MediaReport repaired = CheckMedia(out);
            EXPECT_TRUE(repaired.opened && repaired.TotalFrames() > 0) << repaired.Summary();
            EXPECT_EQ(ErrorTexts(repaired), knownErrors) << repaired.Summary();
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

}  // namespace
