// The Matroska repairer over Debian ffmpeg's clips: intact files parse
// without damage, damaged ones are repaired into files that libavformat
// decodes cleanly and mkvinfo reads, with every block outside the damage.
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/BaseStream.h"
#include "core/TestDoubles.h"
#include "mendcore/VideoRepair.h"
#include "support/CountedInput.h"
#include "support/Damage.h"
#include "support/Fixtures.h"
#include "support/MediaCheck.h"
#include "tree/MKVRepair.h"
#include "tree/MkvCodecMap.h"

using namespace mendtest;

namespace {

const std::vector<uint8_t> kClusterId = {0x1F, 0x43, 0xB6, 0x75};
const std::vector<uint8_t> kSegmentId = {0x18, 0x53, 0x80, 0x67};
const std::vector<uint8_t> kDurationHeader = {0x44, 0x89, 0x88};
const std::vector<uint8_t> kCuesId = {0x1C, 0x53, 0xBB, 0x6B};

// The EBML size field at `at`: its width and value.
int SizeField(const std::vector<uint8_t>& bytes, size_t at, uint64_t* value)
{
    int w = 1;
    while (w <= 8 && !(bytes.at(at) & (0x80 >> (w - 1))))
        ++w;
    *value = bytes.at(at) & ((0x80 >> (w - 1)) - 1);
    for (int i = 1; i < w; ++i)
        *value = (*value << 8) | bytes.at(at + i);
    return w;
}

// Our own structural check of a rebuilt file, byte by byte: the Segment's
// size is what follows its header, and every SeekHead entry points at an
// element of the id it names.
void ExpectSeekHeadPointsAtElements(const std::vector<uint8_t>& bytes)
{
    uint64_t ebmlSize = 0;
    size_t at = 4 + static_cast<size_t>(SizeField(bytes, 4, &ebmlSize));
    at += static_cast<size_t>(ebmlSize);
    ASSERT_EQ(FindBytes(bytes, kSegmentId, at), static_cast<int64_t>(at));
    uint64_t segmentSize = 0;
    ASSERT_EQ(SizeField(bytes, at + 4, &segmentSize), 8);
    const size_t dataStart = at + 12;
    EXPECT_EQ(segmentSize, bytes.size() - dataStart);
    ASSERT_EQ(ReadBE32(bytes, dataStart), 0x114D9B74u);
    uint64_t seekHeadSize = 0;
    size_t entries = dataStart + 4 + static_cast<size_t>(SizeField(bytes, dataStart + 4, &seekHeadSize));
    ASSERT_EQ(seekHeadSize % 21, 0u);
    ASSERT_GT(seekHeadSize, 0u);
    for (size_t e = entries; e < entries + seekHeadSize; e += 21) {
        ASSERT_EQ(FindBytes(bytes, std::vector<uint8_t>{0x4D, 0xBB, 0x92, 0x53, 0xAB, 0x84}, e), static_cast<int64_t>(e));
        uint32_t id = ReadBE32(bytes, e + 6);
        uint64_t pos = (static_cast<uint64_t>(ReadBE32(bytes, e + 13)) << 32) | ReadBE32(bytes, e + 17);
        ASSERT_LT(dataStart + pos + 4, bytes.size());
        size_t idLen = id > 0xFFFFFF ? 4 : id > 0xFFFF ? 3 : id > 0xFF ? 2 : 1;
        uint32_t found = 0;
        for (size_t i = 0; i < idLen; ++i)
            found = (found << 8) | bytes[dataStart + pos + i];
        EXPECT_EQ(found, id) << "entry at " << e;
    }
}

// The element with this id, not the SeekHead entry that names it (a SeekID
// payload follows its size byte 0x84).
int64_t ElementAt(const std::vector<uint8_t>& bytes, const std::vector<uint8_t>& id)
{
    for (int64_t at = 0; (at = FindBytes(bytes, id, static_cast<size_t>(at))) >= 0; ++at)
        if (at == 0 || bytes[static_cast<size_t>(at - 1)] != 0x84)
            return at;
    return -1;
}

const std::vector<uint8_t> kInfoId = {0x15, 0x49, 0xA9, 0x66};

int64_t SecondCluster(const std::vector<uint8_t>& bytes)
{
    int64_t c = FindBytes(bytes, kClusterId);
    return c < 0 ? -1 : FindBytes(bytes, kClusterId, static_cast<size_t>(c + 4));
}

struct Record {
    int code;
    int64_t start = -1;
    int64_t end = -1;
};

// One parse of a file on disk by a repairer of its own.
class MkvFile {
public:
    explicit MkvFile(const std::string& path) : m_file(path.c_str(), 0, &m_err), m_repair(&m_file) {}

    int Parse() { return m_repair.ParseStream(nullptr, nullptr); }
    CMKVRepair& Repairer() { return m_repair; }
    // The calls the repairer has made to its input so far.
    ReadCounts InputCalls() const { return m_repair.InputCalls(); }
    std::vector<Record> Records()
    {
        std::vector<Record> out;
        for (int i = 0; i < m_repair.GetErrorsCount(); ++i) {
            VPFileError* e = m_repair.GetFileError(i);
            Record r{e->code};
            if (e->code == JRVP_DAMAGE_SEGMENT && e->detail) {
                auto* s = static_cast<VPInvalidDataSegment*>(e->detail);
                r.start = s->start;
                r.end = s->end;
            }
            out.push_back(r);
        }
        return out;
    }
    int RepairTo(const std::string& outPath)
    {
        int err = 0;
        CVideoFile out(outPath.c_str(), 2, &err);
        return m_repair.RepairFile(&out, 1, nullptr);
    }

private:
    int m_err = 0;
    CVideoFile m_file;
    WithCountedInput<CMKVRepair> m_repair;
};

std::string Describe(const std::vector<Record>& records)
{
    std::string s;
    for (const Record& r : records)
        s += std::to_string(r.code) + (r.start >= 0 ? "[" + std::to_string(r.start) + "," + std::to_string(r.end) + ")" : "") + " ";
    return s;
}

int RunMkvinfo(const std::string& path)
{
    std::string cmd = "mkvinfo '" + path + "' >/dev/null 2>&1";
    int status = system(cmd.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Packets per stream of a clip whose block (its header a few bytes before
// the data) lies wholly outside [from, to).
std::map<int, int64_t> PacketsOutside(const MediaReport& report, int64_t from, int64_t to)
{
    std::map<int, int64_t> count;
    for (const PacketInfo& p : report.packets) {
        int64_t blockStart = p.pos - 16;
        int64_t blockEnd = p.pos + p.size;
        if (blockEnd <= from || blockStart >= to)
            ++count[p.stream];
    }
    return count;
}

double ContentSeconds(const MediaReport& report)
{
    double end = 0;
    for (const StreamReport& s : report.streams)
        end = std::max(end, s.endSeconds);
    return end;
}

const char* const kIntactClips[] = {"clip.mkv",        "clip_vorbis.mkv", "clip_nocrc.mkv",
                                    "clip.webm",       "clip_vp9.webm",   "clip_pipe.mkv",
                                    "clip_bigkey.mkv", "clip_plain.mkv",  "clip_plain.webm",
                                    "clip_mkvmerge.mkv", "clip_gst.mkv",    "clip_gst.webm"};

TEST(MkvIntact, FixturesParseWithoutDamage)
{
    for (const char* name : kIntactClips) {
        std::string path = RequireFixture(name);
        if (path.empty())
            continue;
        MkvFile f(path);
        EXPECT_EQ(f.Parse(), 0) << name;
        EXPECT_EQ(f.Repairer().GetStatus(), JRVP_STATUS_PARSED) << name;
        EXPECT_EQ(f.Repairer().GetFormat(), JRVP_FORMAT_MKV) << name;
        EXPECT_TRUE(f.Records().empty()) << name << ": " << Describe(f.Records());
        EXPECT_LE(f.Repairer().StepCount(), static_cast<uint64_t>(f.Repairer().StepLimit())) << name;
    }
}

// The elements in [at, end): id (marker bits kept), offset, whole length.
struct Element {
    uint32_t id;
    int64_t at;
    int64_t length;
};
std::vector<Element> ElementsIn(const std::vector<uint8_t>& bytes, int64_t at, int64_t end)
{
    std::vector<Element> out;
    while (at < end) {
        uint64_t id = 0;
        const int w = SizeField(bytes, static_cast<size_t>(at), &id);
        id |= 1ULL << (7 * w);
        uint64_t size = 0;
        const int sw = SizeField(bytes, static_cast<size_t>(at + w), &size);
        const int64_t length = w + sw + static_cast<int64_t>(size);
        out.push_back({static_cast<uint32_t>(id), at, length});
        at += length;
    }
    return out;
}

// The elements of a file whose every size holds, walked down through the
// masters of the schema: SimpleBlocks, Clusters and all the others.
struct ElementCensus {
    int64_t simpleBlocks = 0;
    int64_t clusters = 0;
    int64_t others = 0;
    int64_t othersInClusters = 0;  // children of a Cluster but SimpleBlocks
};
bool CountElements(const std::vector<uint8_t>& bytes, ElementCensus* census)
{
    struct Range {
        int64_t at, end;
        bool cluster;
    };
    std::vector<Range> ranges{{0, static_cast<int64_t>(bytes.size()), false}};
    while (!ranges.empty()) {
        auto [at, end, inCluster] = ranges.back();
        ranges.pop_back();
        while (at < end) {
            uint64_t id = 0, size = 0;
            const int w = SizeField(bytes, static_cast<size_t>(at), &id);
            if (w <= 0 || w > end - at)
                return false;
            const int sw = SizeField(bytes, static_cast<size_t>(at + w), &size);
            if (sw <= 0 || size > static_cast<uint64_t>(end - at - w - sw))
                return false;  // an unknown or broken size: not for this count
            id |= 1ULL << (7 * w);
            const int64_t body = at + w + sw;
            const auto* s = MkvSchema().Find(static_cast<unsigned int>(id));
            if (id == MKV_ID_SIMPLEBLOCK)
                ++census->simpleBlocks;
            else
                ++(id == MKV_ID_CLUSTER ? census->clusters : census->others);
            census->othersInClusters += inCluster && id != MKV_ID_SIMPLEBLOCK;
            if (s && s->firstChild)
                ranges.push_back({body, body + static_cast<int64_t>(size), id == MKV_ID_CLUSTER});
            at = body + static_cast<int64_t>(size);
        }
    }
    return true;
}

// A recording's records grow with its Clusters, not with its blocks:
// SimpleBlocks that follow each other are one record, so a file of a
// million blocks costs a few records per Cluster. At most one run stands
// between two other elements of a Cluster; one record per block would be
// the root, every element and every block.
TEST(MkvIntact, RecordsGrowWithClustersNotBlocks)
{
    int counted = 0;
    for (const char* name : kIntactClips) {
        std::string path = RequireFixture(name);
        if (path.empty())
            continue;
        ElementCensus census;
        // Files whose sizes do not all hold, or whose blocks are mostly
        // BlockGroups, cannot tell one way from the other.
        if (!CountElements(ReadFileBytes(path), &census))
            continue;
        const int64_t runs = census.othersInClusters + census.clusters;
        if (census.simpleBlocks <= 2 * runs)
            continue;
        ++counted;
        MkvFile f(path);
        ASSERT_EQ(f.Parse(), 0) << name;
        EXPECT_LE(static_cast<int64_t>(f.Repairer().NodeCount()), 1 + census.others + census.clusters + runs)
            << name << ": " << census.simpleBlocks << " blocks in " << census.clusters << " Clusters";
    }
    EXPECT_GE(counted, 3);
}

// A damage applied to a copy of a clip; from/to bound the bytes it spoils
// (to = from for an insertion that spoils nothing of the original).
struct Damage {
    const char* name;
    std::function<bool(const std::string& path, std::vector<uint8_t>& bytes, int64_t* from, int64_t* to)> apply;
};

const std::vector<uint8_t> kTracksId = {0x16, 0x54, 0xAE, 0x6B};
const std::vector<uint8_t> kTagsId = {0x12, 0x54, 0xC3, 0x67};

// The size field of the Segment's child with this id (or, with `lastEntry`,
// of the last TrackEntry in it), rewritten in its own width to what `value`
// makes of that width and the size. libavformat trusts these sizes: a wrong
// one costs it the file, a track, or reads the next element as streams of
// its own.
Damage SizeOf(const char* name, std::vector<uint8_t> id, std::function<uint64_t(int width, uint64_t size)> value,
              bool lastEntry = false)
{
    return {name, [id, value, lastEntry](const std::string& path, std::vector<uint8_t>& bytes, int64_t* from, int64_t* to) {
                const int64_t at = ElementAt(bytes, id);
                if (at < 0)
                    return false;
                int64_t sizeAt = at + 4;
                uint64_t size = 0;
                if (lastEntry) {
                    const int64_t body = sizeAt + SizeField(bytes, static_cast<size_t>(sizeAt), &size);
                    const std::vector<Element> entries = ElementsIn(bytes, body, body + static_cast<int64_t>(size));
                    if (entries.empty() || entries.back().id != MKV_ID_TRACKENTRY)
                        return false;
                    sizeAt = entries.back().at + 1;
                }
                const int w = SizeField(bytes, static_cast<size_t>(sizeAt), &size);
                const uint64_t coded = value(w, size) | (1ULL << (7 * w));
                std::vector<uint8_t> field(static_cast<size_t>(w));
                for (int i = 0; i < w; ++i)
                    field[static_cast<size_t>(i)] = static_cast<uint8_t>(coded >> (8 * (w - 1 - i)));
                *from = *to = 0;
                return OverwriteBytes(path, sizeAt, field);
            }};
}

// All ones is the unknown size, which only the Segment and a Cluster may
// declare; 2^31 where the width holds it, else the largest it holds.
uint64_t Unknown(int w, uint64_t) { return (1ULL << (7 * w)) - 1; }
uint64_t Huge(int w, uint64_t) { return std::min<uint64_t>(1ULL << 31, (1ULL << (7 * w)) - 2); }
uint64_t OneMore(int, uint64_t size) { return size + 1; }

const Damage kDamages[] = {
    {"cut at 60%",
     [](const std::string& path, std::vector<uint8_t>& bytes, int64_t* from, int64_t* to) {
         *from = static_cast<int64_t>(bytes.size()) * 6 / 10;
         *to = INT64_MAX;
         return TruncateFile(path, *from);
     }},
    {"4 KiB zeroed inside a cluster",
     [](const std::string& path, std::vector<uint8_t>& bytes, int64_t* from, int64_t* to) {
         // In the middle of the first cluster, among inter frames and audio.
         int64_t c2 = SecondCluster(bytes);
         if (c2 < 0)
             return false;
         *from = (FindBytes(bytes, kClusterId) + c2) / 2 - 2048;
         *to = *from + 4096;
         return ZeroRange(path, *from, 4096);
     }},
    {"garbage between two clusters",
     [](const std::string& path, std::vector<uint8_t>& bytes, int64_t* from, int64_t* to) {
         int64_t c2 = SecondCluster(bytes);
         if (c2 < 0)
             return false;
         *from = *to = c2;
         return SpliceGarbage(path, c2, 1500, 7);
     }},
    {"wrong Segment size",
     [](const std::string& path, std::vector<uint8_t>& bytes, int64_t* from, int64_t* to) {
         int64_t s = FindBytes(bytes, kSegmentId);
         *from = *to = 0;
         return s >= 0 && OverwriteBytes(path, s + 4, {0x01, 0, 0, 0, 0, 0, 0x10, 0x00});
     }},
    // A first byte of 0 is no size at all: the field's width must be found.
    {"wiped Segment size",
     [](const std::string& path, std::vector<uint8_t>& bytes, int64_t* from, int64_t* to) {
         int64_t s = FindBytes(bytes, kSegmentId);
         *from = *to = 0;
         return s >= 0 && ZeroRange(path, s + 4, 8);
     }},
    {"wrong Duration",
     [](const std::string& path, std::vector<uint8_t>& bytes, int64_t* from, int64_t* to) {
         int64_t d = FindBytes(bytes, kDurationHeader);
         *from = *to = 0;
         // 60000.0 (one minute at the default scale) as a big-endian double.
         return d >= 0 && OverwriteBytes(path, d + 3, {0x40, 0xED, 0x4C, 0x00, 0, 0, 0, 0});
     }},
    {"missing Duration",
     [](const std::string& path, std::vector<uint8_t>& bytes, int64_t* from, int64_t* to) {
         int64_t d = FindBytes(bytes, kDurationHeader);
         *from = *to = 0;
         // The element becomes padding of the same length.
         return d >= 0 && OverwriteBytes(path, d, {0xEC, 0x89, 0, 0, 0, 0, 0, 0, 0, 0, 0});
     }},
    {"first cluster's size too small",
     [](const std::string& path, std::vector<uint8_t>& bytes, int64_t* from, int64_t* to) {
         int64_t c = FindBytes(bytes, kClusterId);
         uint64_t size = 0;
         int w = SizeField(bytes, static_cast<size_t>(c + 4), &size);
         std::vector<uint8_t> field(static_cast<size_t>(w));
         uint64_t half = (size / 2) | (1ULL << (7 * w));
         for (int i = 0; i < w; ++i)
             field[static_cast<size_t>(i)] = static_cast<uint8_t>(half >> (8 * (w - 1 - i)));
         *from = *to = 0;
         return OverwriteBytes(path, c + 4, field);
     }},
    {"second cluster's Timecode lost",
     [](const std::string& path, std::vector<uint8_t>& bytes, int64_t* from, int64_t* to) {
         // Its blocks have no time left: the cluster goes.
         int64_t c2 = SecondCluster(bytes);
         int64_t tc = c2 < 0 ? -1 : FindBytes(bytes, std::vector<uint8_t>{0xE7}, static_cast<size_t>(c2 + 6));
         if (tc < 0 || tc > c2 + 20)
             return false;
         int64_t cues = FindBytes(bytes, kCuesId, static_cast<size_t>(c2));
         *from = c2;
         *to = cues < 0 ? static_cast<int64_t>(bytes.size()) : cues;
         return ZeroRange(path, tc, 2 + (bytes[static_cast<size_t>(tc + 1)] & 0x7F));
     }},
    {"garbage between clusters holding a laced block whose frames overrun it",
     [](const std::string& path, std::vector<uint8_t>& bytes, int64_t* from, int64_t* to) {
         // Right after the first cluster's declared end, where a cluster
         // whose size field is too small would go on: a SimpleBlock of track
         // 1 spanning the garbage, Xiph-laced into three frames whose first
         // alone is larger than the block.
         int64_t c2 = SecondCluster(bytes);
         if (c2 < 0)
             return false;
         *from = *to = c2;
         const int64_t length = 1500;
         const int64_t size = length - 3;  // id (1) and a 2-byte size
         std::vector<uint8_t> block = {0xA3, static_cast<uint8_t>(0x40 | (size >> 8)), static_cast<uint8_t>(size),
                                       0x81, 0x03, 0xE8, 0x82, 0x02};
         block.insert(block.end(), 7, 0xFF);
         block.push_back(0x10);
         return SpliceGarbage(path, c2, length, 5) && OverwriteBytes(path, c2, block);
     }},
    {"Info's WritingApp lost",
     [](const std::string& path, std::vector<uint8_t>& bytes, int64_t* from, int64_t* to) {
         int64_t info = ElementAt(bytes, kInfoId);
         int64_t app = info < 0 ? -1 : FindBytes(bytes, std::vector<uint8_t>{0x57, 0x41}, static_cast<size_t>(info));
         *from = *to = 0;
         return app > 0 && ZeroRange(path, app, 2);
     }},
    {"Info destroyed",
     [](const std::string& path, std::vector<uint8_t>& bytes, int64_t* from, int64_t* to) {
         int64_t info = ElementAt(bytes, kInfoId);
         if (info < 0)
             return false;
         uint64_t size = 0;
         int w = SizeField(bytes, static_cast<size_t>(info + 4), &size);
         *from = *to = 0;
         return ZeroRange(path, info, 4 + w + static_cast<int64_t>(size));
     }},
    SizeOf("Info size unknown", kInfoId, Unknown),
    SizeOf("Info size 2^31", kInfoId, Huge),
    SizeOf("Info size one too many", kInfoId, OneMore),
    SizeOf("Tracks size 0", kTracksId, [](int, uint64_t) -> uint64_t { return 0; }),
    SizeOf("Tracks size unknown", kTracksId, Unknown),
    SizeOf("Tracks size 2^31", kTracksId, Huge),
    SizeOf("Tracks size one too many", kTracksId, OneMore),
    // The last TrackEntry reaches past it: its track must not be lost.
    SizeOf("Tracks size one short", kTracksId, [](int, uint64_t size) { return size - 1; }),
    SizeOf("last TrackEntry's size unknown", kTracksId, Unknown, true),
    SizeOf("last TrackEntry's size 2^31", kTracksId, Huge, true),
    SizeOf("last TrackEntry's size one too many", kTracksId, OneMore, true),
    SizeOf("Tags size unknown", kTagsId, Unknown),
    SizeOf("Tags size 2^31", kTagsId, Huge),
    SizeOf("Tags size one too many", kTagsId, OneMore),
    // Its first byte announces a size one byte wide, the unknown one: the
    // field is as wide as the children that follow it say.
    {"Tracks size field all ones",
     [](const std::string& path, std::vector<uint8_t>& bytes, int64_t* from, int64_t* to) {
         const int64_t at = ElementAt(bytes, kTracksId);
         uint64_t size = 0;
         const int w = at < 0 ? 0 : SizeField(bytes, static_cast<size_t>(at + 4), &size);
         *from = *to = 0;
         return w > 1 && OverwriteBytes(path, at + 4, std::vector<uint8_t>(static_cast<size_t>(w), 0xFF));
     }},
};

class MkvDamage : public ::testing::TestWithParam<const char*> {};

TEST_P(MkvDamage, RepairedFileDecodesKeepsBlocksAndDeclaresItsDuration)
{
    std::string clip = RequireFixture(GetParam());
    if (clip.empty())
        return;
    MediaReport original = CheckMedia(clip);
    ASSERT_TRUE(original.CleanDecode()) << original.Summary();
    ScratchDir dir("mkv");
    for (const Damage& d : kDamages) {
        SCOPED_TRACE(std::string(GetParam()) + ": " + d.name);
        std::string in = dir.Path("in.mkv");
        std::string out = dir.Path("out.mkv");
        ASSERT_TRUE(CopyFile(clip, in));
        std::vector<uint8_t> bytes = ReadFileBytes(in);
        int64_t from = 0, to = 0;
        ASSERT_TRUE(d.apply(in, bytes, &from, &to));

        MkvFile f(in);
        ASSERT_EQ(f.Parse(), 0);
        std::vector<Record> records = f.Records();
        ASSERT_FALSE(records.empty());
        ASSERT_EQ(f.RepairTo(out), 0) << Describe(records);
        for (int i = 0; i < f.Repairer().GetErrorsCount(); ++i)
            EXPECT_TRUE(f.Repairer().GetFileError(i)->solved) << Describe(records);

        MediaReport repaired = CheckMedia(out);
        EXPECT_TRUE(repaired.CleanDecode()) << repaired.Summary();
        // Every track the damage left is still there.
        EXPECT_EQ(repaired.streams.size(), original.streams.size()) << repaired.Summary();
        std::map<int, int64_t> expected = PacketsOutside(original, from, to);
        for (const StreamReport& s : repaired.streams)
            EXPECT_GE(s.packets, expected[s.index]) << "stream " << s.index << " " << Describe(records);
        EXPECT_NEAR(repaired.durationSeconds, ContentSeconds(repaired), 0.1) << repaired.Summary();
        EXPECT_EQ(RunMkvinfo(out), 0);
        ExpectSeekHeadPointsAtElements(ReadFileBytes(out));

        // The repaired file is intact in our own eyes too.
        MkvFile again(out);
        EXPECT_EQ(again.Parse(), 0);
        EXPECT_TRUE(again.Records().empty()) << Describe(again.Records());
    }
}

INSTANTIATE_TEST_SUITE_P(Clips, MkvDamage,
                         ::testing::Values("clip.mkv", "clip_vorbis.mkv", "clip_nocrc.mkv", "clip.webm",
                                           "clip_vp9.webm"));

// The children of the clip's second TrackEntry (its audio track).
std::vector<Element> SecondTrackEntry(const std::vector<uint8_t>& bytes)
{
    const int64_t tracks = ElementAt(bytes, kTracksId);
    if (tracks < 0)
        return {};
    uint64_t size = 0;
    const int w = SizeField(bytes, static_cast<size_t>(tracks + 4), &size);
    int entries = 0;
    for (const Element& e : ElementsIn(bytes, tracks + 4 + w, tracks + 4 + w + static_cast<int64_t>(size))) {
        if (e.id != MKV_ID_TRACKENTRY || ++entries < 2)
            continue;
        const int sw = SizeField(bytes, static_cast<size_t>(e.at + 1), &size);
        return ElementsIn(bytes, e.at + 1 + sw, e.at + e.length);
    }
    return {};
}

// Zeros inside a TrackEntry read as no element: they are damage, never an
// intact file. An entry that keeps its number, type and codec is rebuilt
// from what survives; one that lost its codec describes no track a player
// can use, and the repaired file leaves that track and its blocks out
// rather than declare a track it cannot describe.
TEST(MkvTrackEntry, ZerosInsideAnEntryAreDamageAndTheRepairKeepsWhatTheyLeave)
{
    for (const char* name : {"clip.webm", "clip.mkv"}) {
        std::string clip = RequireFixture(name);
        if (clip.empty())
            continue;
        const MediaReport original = CheckMedia(clip);
        ASSERT_TRUE(original.CleanDecode()) << original.Summary();
        ASSERT_EQ(original.streams.size(), 2u);
        const std::vector<uint8_t> bytes = ReadFileBytes(clip);
        const std::vector<Element> entry = SecondTrackEntry(bytes);
        ASSERT_FALSE(entry.empty()) << name;
        auto find = [&entry](uint32_t id) {
            for (const Element& e : entry)
                if (e.id == id)
                    return e;
            return Element{0, -1, 0};
        };
        const Element lacing = find(0x9C);
        const Element flagDefault = find(0x88);
        const Element codec = find(MKV_ID_CODECID);
        const int64_t entryEnd = entry.back().at + entry.back().length;
        ASSERT_GE(lacing.at, 0);
        ASSERT_GT(flagDefault.at, lacing.at);
        ASSERT_GE(codec.at, 0);
        const struct {
            const char* name;
            int64_t from, length;
            bool keepsTrack;
        } cases[] = {
            {"optional children zeroed", lacing.at, flagDefault.at + flagDefault.length - lacing.at, true},
            // As a damage campaign met it: 43 bytes from the codec on.
            {"codec zeroed", codec.at, std::min<int64_t>(43, entryEnd - codec.at), false},
        };
        ScratchDir dir("mkvtrack");
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(name) + ": " + c.name);
            const std::string in = dir.Path("in.mkv");
            const std::string out = dir.Path("out.mkv");
            ASSERT_TRUE(CopyFile(clip, in));
            ASSERT_TRUE(ZeroRange(in, c.from, c.length));
            MkvFile f(in);
            ASSERT_EQ(f.Parse(), 0);
            const std::vector<Record> records = f.Records();
            ASSERT_FALSE(records.empty()) << "zeros inside a TrackEntry passed for an intact file";
            ASSERT_EQ(f.RepairTo(out), 0) << Describe(records);

            const MediaReport repaired = CheckMedia(out);
            EXPECT_TRUE(repaired.CleanDecode()) << repaired.Summary();
            ASSERT_EQ(repaired.streams.size(), c.keepsTrack ? 2u : 1u) << repaired.Summary();
            // The track before the damage keeps every block; a kept one too.
            const std::map<int, int64_t> expected = PacketsOutside(original, 0, 0);
            for (const StreamReport& s : repaired.streams)
                EXPECT_EQ(s.packets, expected.at(s.index)) << "stream " << s.index << " " << Describe(records);
            EXPECT_NEAR(repaired.durationSeconds, ContentSeconds(repaired), 0.1) << repaired.Summary();
            EXPECT_EQ(RunMkvinfo(out), 0);
            MkvFile again(out);
            EXPECT_EQ(again.Parse(), 0);
            EXPECT_TRUE(again.Records().empty()) << Describe(again.Records());
        }
    }
}

// Every track's decoding times rise in file order, as a player demands.
void ExpectMonotonicPerTrack(const MediaReport& report)
{
    std::map<int, int64_t> last;
    for (const PacketInfo& p : report.packets) {
        if (p.dts == AV_NOPTS_VALUE)
            continue;
        auto it = last.find(p.stream);
        if (it != last.end()) {
            EXPECT_GT(p.dts, it->second) << "stream " << p.stream << " at " << p.pos;
        }
        last[p.stream] = p.dts;
    }
}

// The header of the Cluster at `at`: id, size, an optional CRC-32 and the
// Timecode; 0 when it does not read so.
int64_t ClusterHeaderLength(const std::vector<uint8_t>& bytes, int64_t at)
{
    uint64_t size = 0;
    size_t p = static_cast<size_t>(at) + 4;
    p += static_cast<size_t>(SizeField(bytes, p, &size));
    if (bytes.at(p) == 0xBF)
        p += 6;
    if (bytes.at(p) != 0xE7)
        return 0;
    p += 2 + (bytes.at(p + 1) & 0x7F);
    return static_cast<int64_t>(p) - at;
}

// Elements of a Cluster that carry no time (Position, PrevSize), filling
// exactly n bytes.
std::vector<uint8_t> TimelessClusterChildren(int64_t n)
{
    std::vector<uint8_t> out;
    bool position = true;
    while (n >= 2) {
        int64_t payload = std::min<int64_t>(n - 2, 8);
        if (n - 2 - payload == 1)
            --payload;
        out.push_back(position ? 0xA7 : 0xAB);
        out.push_back(static_cast<uint8_t>(0x80 | payload));
        out.insert(out.end(), static_cast<size_t>(payload), 0x01);
        n -= 2 + payload;
        position = !position;
    }
    return out;
}

// Every packet of a repaired file is one of the original's (same stream and
// size) within `slack` of its original time.
void ExpectOriginalTimes(const MediaReport& original, const MediaReport& repaired, int64_t slack)
{
    std::multimap<std::pair<int, int>, int64_t> times;
    for (const PacketInfo& p : original.packets)
        times.emplace(std::make_pair(p.stream, p.size), p.pts);
    for (const PacketInfo& p : repaired.packets) {
        auto range = times.equal_range(std::make_pair(p.stream, p.size));
        int64_t off = INT64_MAX;
        for (auto it = range.first; it != range.second; ++it)
            off = std::min<int64_t>(off, std::llabs(it->second - p.pts));
        EXPECT_LE(off, slack) << "off by " << off << ", stream " << p.stream << " packet of " << p.size << " bytes at pts " << p.pts;
    }
}

class MkvClusterTime : public ::testing::TestWithParam<const char*> {};

// Blocks are timed by their own Cluster's Timecode, or, when it was lost,
// by the time its neighbours leave them; never by a Timecode read from
// damage or by another Cluster taking them in.
TEST_P(MkvClusterTime, BlocksNeverTakeAnotherClustersTime)
{
    std::string clip = RequireFixture(GetParam());
    if (clip.empty())
        return;
    MediaReport original = CheckMedia(clip);
    ASSERT_TRUE(original.CleanDecode()) << original.Summary();
    std::vector<uint8_t> bytes = ReadFileBytes(clip);
    const int64_t c2 = SecondCluster(bytes);
    ASSERT_GT(c2, 0);
    const int64_t header = ClusterHeaderLength(bytes, c2);
    ASSERT_GT(header, 0);
    // Two packets in the middle of the second cluster whose blocks follow
    // each other: the first block is destroyed, and its last bytes read as a
    // Timecode of 16 ms that the second block's header seems to confirm.
    std::vector<PacketInfo> inC2;
    for (const PacketInfo& p : original.packets)
        if (p.pos > c2)
            inC2.push_back(p);
    std::sort(inC2.begin(), inC2.end(), [](const PacketInfo& a, const PacketInfo& b) { return a.pos < b.pos; });
    ASSERT_GT(inC2.size(), 10u);
    const PacketInfo& before = inC2[inC2.size() / 2 - 1];
    // A packet's position is its block's payload: track number (1 byte),
    // timecode (2) and flags (1) before the frame.
    const int64_t lostBlock = before.pos + 4 + before.size;
    const int64_t nextBlock = inC2[inC2.size() / 2].pos + 4 + inC2[inC2.size() / 2].size;

    const struct {
        const char* name;
        int64_t from, to;          // the bytes the damage spoils
        bool keepsTheRest;         // every other block survives
        std::vector<uint8_t> bytes;  // what stands there instead
    } cases[] = {
        {"a Timecode read from damage inside a cluster", lostBlock, nextBlock, true, [&] {
             std::vector<uint8_t> b(static_cast<size_t>(nextBlock - lostBlock), 0);
             const uint8_t tc[] = {0xE7, 0x82, 0x00, 0x10};
             std::copy(tc, tc + 4, b.end() - 4);
             return b;
         }()},
        {"a cluster's header zeroed", c2, c2 + header, true, std::vector<uint8_t>(static_cast<size_t>(header), 0)},
        {"a cluster's header turned into children of the cluster before", c2, c2 + header, true,
         TimelessClusterChildren(header)},
        {"a cluster's header cut out", c2, c2 + header, true, {}},
    };
    ScratchDir dir("mkvtime");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string in = dir.Path("in.mkv");
        std::string out = dir.Path("out.mkv");
        std::vector<uint8_t> damaged = bytes;
        damaged.erase(damaged.begin() + c.from, damaged.begin() + c.to);
        damaged.insert(damaged.begin() + c.from, c.bytes.begin(), c.bytes.end());
        ASSERT_TRUE(WriteFileBytes(in, damaged));
        MkvFile f(in);
        ASSERT_EQ(f.Parse(), 0);
        std::vector<Record> records = f.Records();
        EXPECT_FALSE(records.empty());
        ASSERT_EQ(f.RepairTo(out), 0) << Describe(records);

        MediaReport repaired = CheckMedia(out);
        EXPECT_TRUE(repaired.CleanDecode()) << repaired.Summary();
        ExpectMonotonicPerTrack(repaired);
        ExpectOriginalTimes(original, repaired, 0);
        std::map<int, int64_t> expected = PacketsOutside(original, c.from, c.keepsTheRest ? c.to : INT64_MAX);
        for (const StreamReport& s : repaired.streams)
            EXPECT_GE(s.packets, expected[s.index]) << "stream " << s.index << " " << Describe(records);
        EXPECT_NEAR(repaired.durationSeconds, ContentSeconds(repaired), 0.1) << repaired.Summary();
    }
}

// A clip whose second cluster is its last (its time comes from the cluster
// before) and a piped one with a cluster on either side.
INSTANTIATE_TEST_SUITE_P(Clips, MkvClusterTime, ::testing::Values("clip.mkv", "clip_pipe.mkv", "clip.webm"));

// A clip whose first Cluster holds `damage` in the middle of its payload, its
// size field widened to eight bytes to cover it, or (spliced) left as it was,
// so that the Cluster ends inside the damage. *from: where the damage begins
// in the new file; *at: the offset in the clip it was put in at.
std::vector<uint8_t> DamageInsideFirstCluster(const std::vector<uint8_t>& clip, const std::vector<uint8_t>& damage,
                                              int64_t* from, bool spliced = false, int64_t* at = nullptr)
{
    const int64_t c = FindBytes(clip, kClusterId);
    uint64_t size = 0;
    const size_t field = static_cast<size_t>(c) + 4;
    const int w = SizeField(clip, field, &size);
    const size_t payload = field + static_cast<size_t>(w);
    const size_t middle = payload + static_cast<size_t>(size / 2);
    if (at)
        *at = static_cast<int64_t>(middle);
    std::vector<uint8_t> out(clip.begin(), clip.begin() + static_cast<int64_t>(spliced ? payload : field));
    const uint64_t widened = (size + damage.size()) | (1ULL << 56);
    for (int i = 7; i >= 0 && !spliced; --i)
        out.push_back(static_cast<uint8_t>(widened >> (8 * i)));
    out.insert(out.end(), clip.begin() + static_cast<int64_t>(payload), clip.begin() + static_cast<int64_t>(middle));
    *from = static_cast<int64_t>(out.size());
    out.insert(out.end(), damage.begin(), damage.end());
    out.insert(out.end(), clip.begin() + static_cast<int64_t>(middle), clip.end());
    return out;
}

// Long damage is scanned a block at a time in memory, not a stream call per
// byte, and walked to its end: the clip before it is repaired whole. The
// scan's cost is counted in the reads the repairer makes through its
// buffered input. The bounds stand 4 to 10 times above what the scan makes
// now (4.5, 29, 412 and 14933 reads per MiB in table order: noise that
// looks like element headers is read in full where it does); a scan gone
// back to a call per byte makes over a million per MiB in every case.
TEST(MkvScan, LongDamageIsScannedAtReadingSpeed)
{
    std::string clip = RequireFixture("clip.mkv");
    if (clip.empty())
        return;
    const std::vector<uint8_t> bytes = ReadFileBytes(clip);
    const int64_t clipLength = static_cast<int64_t>(bytes.size());
    const MediaReport original = CheckMedia(clip);
    constexpr int64_t kMiB = 1 << 20;
    ScratchDir dir("mkvscan");
    const std::string in = dir.Path("in.mkv");
    const std::string out = dir.Path("out.mkv");
    const struct {
        const char* name;
        double maxReadsPerMiB;
        bool zeros;           // zeroed damage, else pseudo-random bytes
        bool insideCluster;   // else after the file
        int64_t length;
    } cases[] = {
        {"256 MiB of zeros after the file", 40, true, false, 256 * kMiB},
        {"32 MiB of zeros inside a Cluster", 250, true, true, 32 * kMiB},
        {"32 MiB of random bytes after the file", 2500, false, false, 32 * kMiB},
        {"32 MiB of random bytes inside a Cluster", 60000, false, true, 32 * kMiB},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int64_t from = clipLength;
        if (!c.insideCluster && c.zeros) {
            // A sparse tail: nothing to write.
            ASSERT_TRUE(CopyFile(clip, in));
            std::error_code ec;
            std::filesystem::resize_file(in, static_cast<uintmax_t>(clipLength + c.length), ec);
            ASSERT_FALSE(ec);
        } else {
            const std::vector<uint8_t> damage =
                c.zeros ? std::vector<uint8_t>(static_cast<size_t>(c.length), 0)
                        : PseudoRandomBytes(static_cast<size_t>(c.length), 17);
            std::vector<uint8_t> file = bytes;
            if (c.insideCluster)
                file = DamageInsideFirstCluster(bytes, damage, &from);
            else
                file.insert(file.end(), damage.begin(), damage.end());
            ASSERT_TRUE(WriteFileBytes(in, file));
        }
        const int64_t length = FileSize(in);
        MkvFile f(in);
        const int r = f.Parse();
        const ReadCounts calls = f.InputCalls();
        EXPECT_LT(calls.ReadsPerMiB(length), c.maxReadsPerMiB)
            << "result " << r << ", " << calls.reads << " reads and " << calls.seeks << " seeks";
        ASSERT_EQ(r, 0);
        std::vector<Record> records = f.Records();
        if (!c.zeros) {
            // Noise holds what reads as elements now and then, so its records
            // vary; but it is damage, and the clip before it is kept whole.
            EXPECT_FALSE(records.empty());
            if (c.insideCluster)
                continue;
            ASSERT_EQ(f.RepairTo(out), 0) << Describe(records);
            const MediaReport repaired = CheckMedia(out);
            ASSERT_EQ(repaired.streams.size(), original.streams.size()) << repaired.Summary();
            for (size_t i = 0; i < original.streams.size(); ++i)
                EXPECT_GE(repaired.streams[i].packets, original.streams[i].packets) << "stream " << i;
            continue;
        }
        // Zeros are one damaged stretch from the last block before them on.
        bool covered = false;
        for (const Record& rec : records)
            covered = covered || (rec.code == JRVP_DAMAGE_SEGMENT && rec.start <= from && rec.start > from - 20000 &&
                                  rec.end >= from + c.length && (c.insideCluster || rec.end == length));
        EXPECT_TRUE(covered) << Describe(records);
    }
}

// Noise now and then holds two plausible blocks in a row, which stand for
// the blocks of a Cluster whose header was lost. Such a stand-in is refused
// in noise; it must not have scanned far on before, or the Segment scans
// the same stretch again after each of them: the noise would cost about as
// many times over as it holds such pairs, and a long stretch would run out
// of steps and lose the recording around it. Random bytes spliced into a
// Cluster: the Cluster ends inside them at its declared size, the rest lies
// in the Segment, and the Cluster's blocks after them are found again with
// their times.
TEST(MkvScan, NoiseInTheSegmentIsScannedOnce)
{
    std::string clip = RequireFixture("clip.mkv");
    if (clip.empty())
        return;
    const std::vector<uint8_t> bytes = ReadFileBytes(clip);
    const MediaReport original = CheckMedia(clip);
    ASSERT_TRUE(original.CleanDecode()) << original.Summary();
    constexpr int64_t kMiB = 1 << 20;
    ScratchDir dir("mkvonce");
    const std::string in = dir.Path("in.mkv");
    const std::string out = dir.Path("out.mkv");
    const struct {
        int64_t length;
        uint32_t seed;
    } cases[] = {{64 * kMiB, 5}, {128 * kMiB, 17}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.length / kMiB) + " MiB of random bytes spliced into a Cluster, seed " +
                     std::to_string(c.seed));
        int64_t from = 0;
        int64_t at = 0;
        {
            const std::vector<uint8_t> file = DamageInsideFirstCluster(
                bytes, PseudoRandomBytes(static_cast<size_t>(c.length), c.seed), &from, true, &at);
            ASSERT_TRUE(WriteFileBytes(in, file));
        }
        const int64_t length = FileSize(in);
        MkvFile f(in);
        ASSERT_EQ(f.Parse(), 0);
        const double perByte = static_cast<double>(f.Repairer().StepCount()) / static_cast<double>(length);
        EXPECT_LT(perByte, 1.5) << "steps " << f.Repairer().StepCount();
        const std::vector<Record> records = f.Records();
        bool recorded = false;
        for (const Record& rec : records)
            recorded = recorded || (rec.code == JRVP_DAMAGE_SEGMENT && rec.start < from + c.length && rec.end > from);
        EXPECT_TRUE(recorded) << Describe(records);
        ASSERT_EQ(f.RepairTo(out), 0) << Describe(records);
        const MediaReport repaired = CheckMedia(out);
        EXPECT_TRUE(repaired.CleanDecode()) << repaired.Summary();
        ExpectOriginalTimes(original, repaired, 0);
        std::map<int, int64_t> expected = PacketsOutside(original, at, at);
        for (const StreamReport& s : repaired.streams)
            EXPECT_GE(s.packets, expected[s.index]) << "stream " << s.index << " " << Describe(records);
    }
}

TEST(MkvHeader, DamagedEbmlHeaderOrDocTypeIsNotMatroska)
{
    std::string clip = RequireFixture("clip.mkv");
    if (clip.empty())
        return;
    std::vector<uint8_t> bytes = ReadFileBytes(clip);
    int64_t docType = FindBytes(bytes, "matroska");
    ASSERT_GT(docType, 0);
    const struct {
        const char* name;
        int64_t offset;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"EBML id zeroed", 0, {0, 0, 0, 0}},
        {"DocType in capitals", docType, {'M'}},
        {"DocType of another format", docType, {'q', 'u', 'i', 'c', 'k', 't', 'i', 'm'}},
    };
    ScratchDir dir("mkvhead");
    for (const auto& c : cases) {
        std::string in = dir.Path("in.mkv");
        ASSERT_TRUE(CopyFile(clip, in));
        ASSERT_TRUE(OverwriteBytes(in, c.offset, c.bytes));
        MkvFile f(in);
        EXPECT_EQ(f.Parse(), JRVP_ERR_UNKNOWN_FORMAT) << c.name;
        EXPECT_EQ(f.Repairer().GetStatus(), JRVP_STATUS_PARSE_FAILED) << c.name;
        EXPECT_EQ(f.Repairer().GetErrorsCount(), 0) << c.name;
    }
}

// An EBML header that libavformat refuses in front of a sound Segment is
// damage: recorded, and rewritten by the repair so that every frame plays.
TEST(MkvHeader, BrokenEbmlHeaderIsRecordedAndRewritten)
{
    const struct {
        const char* clip;
        const char* name;
        std::vector<uint8_t> find;  // the bytes to change: the first match,
        size_t skip;                // this far into it
        std::vector<uint8_t> bytes;
        int code;
    } cases[] = {
        {"clip.mkv", "size too large", {0x1A, 0x45, 0xDF, 0xA3}, 4, {0xFE}, JRVP_DAMAGE_INDEX},
        {"clip.webm", "size too large", {0x1A, 0x45, 0xDF, 0xA3}, 4, {0xFE}, JRVP_DAMAGE_INDEX},
        {"clip.mkv", "size too small", {0x1A, 0x45, 0xDF, 0xA3}, 4, {0x93}, JRVP_DAMAGE_INDEX},
        // No size, or one that ends inside the first child: the header ends
        // where the Segment begins.
        {"clip.mkv", "size 0", {0x1A, 0x45, 0xDF, 0xA3}, 4, {0x80}, JRVP_DAMAGE_INDEX},
        {"clip_gst.mkv", "size 0", {0x1A, 0x45, 0xDF, 0xA3}, 4, {0x80}, JRVP_DAMAGE_INDEX},
        {"clip.webm", "size 0", {0x1A, 0x45, 0xDF, 0xA3}, 4, {0x80}, JRVP_DAMAGE_INDEX},
        {"clip.mkv", "size 1", {0x1A, 0x45, 0xDF, 0xA3}, 4, {0x81}, JRVP_DAMAGE_INDEX},
        {"clip.mkv", "size larger than the file", {0x1A, 0x45, 0xDF, 0xA3}, 4,
         {0x08, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, JRVP_DAMAGE_INDEX},
        {"clip.mkv", "EBMLReadVersion 2", {0x42, 0xF7, 0x81}, 3, {0x02}, JRVP_DAMAGE_STRUCTURE},
        {"clip.mkv", "EBMLMaxIDLength 8", {0x42, 0xF2, 0x81}, 3, {0x08}, JRVP_DAMAGE_STRUCTURE},
        {"clip.mkv", "EBMLMaxSizeLength 9", {0x42, 0xF3, 0x81}, 3, {0x09}, JRVP_DAMAGE_STRUCTURE},
        {"clip.webm", "DocTypeReadVersion 4", {0x42, 0x85, 0x81}, 3, {0x04}, JRVP_DAMAGE_STRUCTURE},
    };
    ScratchDir dir("mkvebml");
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.clip) + ": " + c.name);
        std::string clip = RequireFixture(c.clip);
        if (clip.empty())
            continue;
        MediaReport original = CheckMedia(clip);
        std::string in = dir.Path("in.mkv");
        std::string out = dir.Path("out.mkv");
        ASSERT_TRUE(CopyFile(clip, in));
        const int64_t at = FindBytes(ReadFileBytes(clip), c.find);
        ASSERT_GE(at, 0);
        ASSERT_LT(at, 64);
        ASSERT_TRUE(OverwriteBytes(in, at + static_cast<int64_t>(c.skip), c.bytes));
        EXPECT_FALSE(CheckMedia(in).CleanDecode());

        MkvFile f(in);
        ASSERT_EQ(f.Parse(), 0);
        std::vector<Record> records = f.Records();
        bool found = false;
        for (const Record& r : records)
            found = found || r.code == c.code;
        EXPECT_TRUE(found) << Describe(records);
        ASSERT_EQ(f.RepairTo(out), 0) << Describe(records);

        MediaReport repaired = CheckMedia(out);
        EXPECT_TRUE(repaired.CleanDecode()) << repaired.Summary();
        ASSERT_EQ(repaired.streams.size(), original.streams.size());
        for (size_t i = 0; i < original.streams.size(); ++i)
            EXPECT_EQ(repaired.streams[i].packets, original.streams[i].packets) << "stream " << i;
        EXPECT_EQ(RunMkvinfo(out), 0);
        MkvFile again(out);
        EXPECT_EQ(again.Parse(), 0);
        EXPECT_TRUE(again.Records().empty()) << Describe(again.Records());
        // The file's own DocType, in the rewritten header.
        const int64_t docType = FindBytes(ReadFileBytes(out), std::string(strstr(c.clip, ".webm") ? "webm" : "matroska"));
        EXPECT_GE(docType, 0);
        EXPECT_LT(docType, 48);
    }
}

std::vector<uint8_t> BigEndianDouble(double v)
{
    uint64_t bits;
    memcpy(&bits, &v, sizeof(bits));
    std::vector<uint8_t> out(8);
    for (int i = 0; i < 8; ++i)
        out[static_cast<size_t>(i)] = static_cast<uint8_t>(bits >> (56 - 8 * i));
    return out;
}

TEST(MkvDuration, ComparedWithTheContentInTheFilesOwnUnits)
{
    std::string clip = RequireFixture("clip.mkv");
    if (clip.empty())
        return;
    const std::vector<uint8_t> scaleHeader = {0x2A, 0xD7, 0xB1, 0x83};
    const struct {
        const char* name;
        std::vector<uint8_t> scale;  // three bytes of TimecodeScale, in ns
        double duration;             // in TimecodeScale units
        bool recorded;
    } cases[] = {
        {"as written", {0x0F, 0x42, 0x40}, 2046.0, false},
        {"a muxer's rounding at 1 ms", {0x0F, 0x42, 0x40}, 2146.0, false},
        {"two seconds too long at 10 ms", {0x98, 0x96, 0x80}, 2246.0, true},
        {"far too short", {0x0F, 0x42, 0x40}, 1000.0, true},
    };
    ScratchDir dir("mkvdur");
    for (const auto& c : cases) {
        std::string in = dir.Path("in.mkv");
        ASSERT_TRUE(CopyFile(clip, in));
        std::vector<uint8_t> bytes = ReadFileBytes(in);
        int64_t scale = FindBytes(bytes, scaleHeader);
        int64_t duration = FindBytes(bytes, kDurationHeader);
        ASSERT_TRUE(scale > 0 && duration > 0);
        ASSERT_TRUE(OverwriteBytes(in, scale + 4, c.scale));
        ASSERT_TRUE(OverwriteBytes(in, duration + 3, BigEndianDouble(c.duration)));
        MkvFile f(in);
        ASSERT_EQ(f.Parse(), 0) << c.name;
        std::vector<Record> records = f.Records();
        EXPECT_EQ(!records.empty(), c.recorded) << c.name << ": " << Describe(records);
        // The end of the last audio packet (2043 + 46), in the same units
        // whatever the scale.
        EXPECT_NEAR(static_cast<double>(f.Repairer().EstimatedDuration()), 2089.0, 2.0) << c.name;
    }
}

TEST(MkvIntact, PipedFileGetsADurationWhenRepaired)
{
    std::string clip = RequireFixture("clip_pipe.mkv");
    if (clip.empty())
        return;
    ScratchDir dir("mkvpipe");
    std::string in = dir.Path("in.mkv");
    std::string out = dir.Path("out.mkv");
    ASSERT_TRUE(CopyFile(clip, in));
    std::vector<uint8_t> bytes = ReadFileBytes(in);
    int64_t c2 = SecondCluster(bytes);
    ASSERT_GT(c2, 0);
    ASSERT_TRUE(SpliceGarbage(in, c2, 700, 3));
    MkvFile f(in);
    ASSERT_EQ(f.Parse(), 0);
    ASSERT_EQ(f.RepairTo(out), 0);
    MediaReport repaired = CheckMedia(out);
    EXPECT_TRUE(repaired.CleanDecode()) << repaired.Summary();
    EXPECT_NEAR(repaired.durationSeconds, ContentSeconds(repaired), 0.1) << repaired.Summary();
    EXPECT_EQ(RunMkvinfo(out), 0);
}

// A copy without a track a player can use would not open: the repair
// refuses rather than report it done.
TEST(MkvRebuild, NoTracksIsAFailureNotASuccess)
{
    std::string clip = RequireFixture("clip.mkv");
    if (clip.empty())
        return;
    const std::vector<uint8_t> bytes = ReadFileBytes(clip);
    const int64_t tracks = ElementAt(bytes, kTracksId);
    ASSERT_GT(tracks, 0);
    uint64_t size = 0;
    const int w = SizeField(bytes, static_cast<size_t>(tracks + 4), &size);
    ASSERT_EQ(w, 2);
    const int64_t body = tracks + 4 + w;
    const std::vector<Element> entries = ElementsIn(bytes, body, body + static_cast<int64_t>(size));
    ASSERT_EQ(entries.back().id, MKV_ID_TRACKENTRY);
    const struct {
        const char* name;
        std::vector<std::pair<int64_t, std::vector<uint8_t>>> writes;
    } cases[] = {
        {"Tracks id zeroed", {{tracks, {0, 0, 0, 0}}}},
        // Empty, and the entries after it no longer run on to the element
        // that follows Tracks: nothing gives it its size back.
        {"Tracks size 0 and its last entry's header zeroed", {{tracks + 4, {0x40, 0x00}}, {entries.back().at, {0, 0, 0}}}},
    };
    ScratchDir dir("mkvtracks");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string in = dir.Path("in.mkv");
        ASSERT_TRUE(CopyFile(clip, in));
        for (const auto& write : c.writes)
            ASSERT_TRUE(OverwriteBytes(in, write.first, write.second));
        MkvFile f(in);
        ASSERT_EQ(f.Parse(), 0);
        EXPECT_FALSE(f.Records().empty());
        EXPECT_EQ(f.RepairTo(dir.Path("out.mkv")), JRVP_ERR_UNREPAIRABLE);
    }
}

// Waits for the repair object's result callback.
struct Result {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    int value = 0;
    static void On(JRVPProcessResult r, void* user)
    {
        auto* self = static_cast<Result*>(user);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->done = true;
        self->value = r;
        self->cv.notify_all();
    }
    int Wait()
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (!cv.wait_for(lock, std::chrono::seconds(30), [&] { return done; }))
            return INT32_MIN;
        done = false;
        return value;
    }
};

TEST(MkvDetection, FoundByContentBehindAnotherExtensionAndRepaired)
{
    std::string clip = RequireFixture("clip.webm");
    if (clip.empty())
        return;
    ScratchDir dir("mkvapi");
    std::string in = dir.Path("damaged.avi");
    std::string out = dir.Path("repaired.webm");
    ASSERT_TRUE(CopyFile(clip, in));
    ASSERT_TRUE(SpliceGarbage(in, SecondCluster(ReadFileBytes(in)), 900, 11));
    IVideoRepair* repair = CreateRepair();
    ASSERT_NE(repair, nullptr);
    Result result;
    ASSERT_TRUE(repair->SetFile(in.c_str()));
    ASSERT_EQ(repair->OpenFile(nullptr, &Result::On, &result), 0);
    EXPECT_EQ(result.Wait(), 0);
    EXPECT_EQ(repair->GetFormat(), JRVP_FORMAT_MKV);
    EXPECT_GT(repair->GetErrorsCount(), 0);
    ASSERT_EQ(repair->RepairFile(out.c_str(), 1, &Result::On, &result, nullptr), 0);
    EXPECT_EQ(result.Wait(), 0);
    DestroyRepair(repair);
    MediaReport repaired = CheckMedia(out);
    EXPECT_TRUE(repaired.CleanDecode()) << repaired.Summary();
    EXPECT_EQ(RunMkvinfo(out), 0);
}

TEST(MkvHeaderWidths, SmallestWidthWithoutTheReservedValue)
{
    EXPECT_EQ(CMKVRepair::GetSizeLen(0), 1);
    EXPECT_EQ(CMKVRepair::GetSizeLen(126), 1);
    EXPECT_EQ(CMKVRepair::GetSizeLen(127), 2);
    EXPECT_EQ(CMKVRepair::GetSizeLen(16382), 2);
    EXPECT_EQ(CMKVRepair::GetSizeLen(16383), 3);
    EXPECT_EQ(CMKVRepair::GetSizeLen((1LL << 56) - 2), 8);
    EXPECT_LT(CMKVRepair::GetSizeLen((1LL << 56) - 1), 0);
    EXPECT_LT(CMKVRepair::GetSizeLen(-1), 0);
    EXPECT_EQ(CMKVRepair::GetIdLen(0xEC), 1);
    EXPECT_EQ(CMKVRepair::GetIdLen(0x4489), 2);
    EXPECT_EQ(CMKVRepair::GetIdLen(0x2AD7B1), 3);
    EXPECT_EQ(CMKVRepair::GetIdLen(0x1A45DFA3), 4);
    EXPECT_LT(CMKVRepair::GetIdLen(0xFF), 0);
    EXPECT_LT(CMKVRepair::GetIdLen(0x7FFF), 0);
    EXPECT_LT(CMKVRepair::GetIdLen(0x20000000), 0);
}

TEST(MkvSchema, TreeShape)
{
    const MkvSchemaTree& schema = MkvSchema();
    EXPECT_EQ(schema.Count(), 244u);
    const auto* top = InitMkvSNode();
    ASSERT_NE(top, nullptr);
    EXPECT_EQ(top->id, MKV_ID_EBML);
    EXPECT_EQ(top->level, 1u);
    ASSERT_NE(top->next, nullptr);
    EXPECT_EQ(top->next->id, MKV_ID_SEGMENT);
    int children = 0;
    for (auto* c = top->firstChild; c; c = c->next)
        ++children;
    EXPECT_EQ(children, 7);
    ASSERT_NE(schema.Find(0x6922), nullptr);
    EXPECT_EQ(schema.Find(0x6922)->level, 7u);
    // A TrackEntry's children are checked like any others; its number,
    // type and codec are mandatory.
    ASSERT_NE(schema.Find(MKV_ID_TRACKENTRY), nullptr);
    EXPECT_NE(schema.Find(MKV_ID_TRACKENTRY)->firstChild, nullptr);
    ASSERT_NE(schema.Find(MKV_ID_TRACKNUMBER), nullptr);
    EXPECT_EQ(schema.Find(MKV_ID_TRACKNUMBER)->level, 4u);
    EXPECT_TRUE(schema.Find(MKV_ID_TRACKNUMBER)->mandatory);
    EXPECT_TRUE(schema.Find(MKV_ID_CODECID)->mandatory);
    EXPECT_FALSE(schema.Find(0x73C5)->mandatory);  // TrackUID: a player does without
    ASSERT_NE(schema.Find(0x47E8), nullptr);  // AESSettingsCipherMode, the deepest
    EXPECT_EQ(schema.Find(0x47E8)->level, 8u);
    EXPECT_EQ(schema.Find(MKV_ID_VOID), nullptr);
    EXPECT_EQ(&MkvSchema(), &schema);  // shared
    DelMkvSNode(top);
    EXPECT_EQ(InitMkvSNode(), top);
}

TEST(MkvCodecMap, LookupsByExactCodecId)
{
    std::unique_ptr<MkvCodecMap> map = InitMkvCodecMap();
    ASSERT_TRUE(map);
    EXPECT_EQ(map->size(), 62u);
    EXPECT_EQ(map->at("V_MPEG4/ISO/AVC"), AV_CODEC_ID_H264);
    EXPECT_EQ(map->at("V_VP9"), AV_CODEC_ID_VP9);
    EXPECT_EQ(map->at("A_OPUS"), AV_CODEC_ID_OPUS);
    EXPECT_EQ(map->at("A_PCM/INT/LIT"), AV_CODEC_ID_PCM_S16LE);
    EXPECT_EQ(map->at("S_TEXT/UTF8"), AV_CODEC_ID_TEXT);
    EXPECT_EQ(map->count("v_vp9"), 0u);
    EXPECT_EQ(map->count("V_MPEG4"), 0u);
    DelMkvCodecMap(map);
    EXPECT_FALSE(map);
}

}  // namespace
