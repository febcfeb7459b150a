// ASF, WMV and WMA: the GUID table against files made by ffmpeg, the walk on
// intact and hostile files, and the rebuild of damaged ones, judged by
// libavformat and by an object reader of the test's own.
#include <algorithm>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "core/BaseStream.h"
#include "mendcore/VideoRepair.h"
#include "repairers/ASFRepair.h"
#include "support/Damage.h"
#include "support/Fixtures.h"
#include "support/MediaCheck.h"
#include "support/RepairRun.h"

using namespace mendtest;

namespace {

// ---------------------------------------------------------------------------
// A plain ASF object reader of the test's own.

uint64_t LE64(const std::vector<uint8_t>& d, size_t at)
{
    return uint64_t(ReadLE32(d, at)) | (uint64_t(ReadLE32(d, at + 4)) << 32);
}

void WriteLE64(std::vector<uint8_t>& d, size_t at, uint64_t v)
{
    WriteLE32(d, at, static_cast<uint32_t>(v));
    WriteLE32(d, at + 4, static_cast<uint32_t>(v >> 32));
}

// The GUID in the file's byte order, from its published text form.
std::vector<uint8_t> GuidBytes(const std::string& text)
{
    auto byte = [&](int i) { return static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)); };
    return {byte(6),  byte(4),  byte(2),  byte(0),  byte(11), byte(9),  byte(16), byte(14),
            byte(19), byte(21), byte(24), byte(26), byte(28), byte(30), byte(32), byte(34)};
}

const std::vector<uint8_t> kHeaderGuid = GuidBytes("75B22630-668E-11CF-A6D9-00AA0062CE6C");
const std::vector<uint8_t> kDataGuid = GuidBytes("75B22636-668E-11CF-A6D9-00AA0062CE6C");
const std::vector<uint8_t> kFilePropertiesGuid = GuidBytes("8CABDCA1-A947-11CF-8EE4-00C00C205365");
const std::vector<uint8_t> kStreamPropertiesGuid = GuidBytes("B7DC0791-A9B7-11CF-8EE6-00C00C205365");

AsfGuid ToGuid(const uint8_t* p)
{
    AsfGuid g;
    std::memcpy(g.b, p, 16);
    return g;
}

struct Object {
    int64_t pos;
    uint64_t size;
    AsfGuid guid;
};

// Top-level objects, or the children of [from, to).
std::vector<Object> Objects(const std::vector<uint8_t>& d, int64_t from, int64_t to)
{
    std::vector<Object> out;
    int64_t p = from;
    while (p + 24 <= to) {
        Object o{p, LE64(d, p + 16), ToGuid(&d[p])};
        out.push_back(o);
        if (o.size < 24 || o.size > uint64_t(to - p))
            break;
        p += static_cast<int64_t>(o.size);
    }
    return out;
}

struct Layout {
    int64_t header = -1, headerEnd = -1, fileProperties = -1, data = -1;
    uint32_t packetSize = 0;
};

Layout LayoutOf(const std::vector<uint8_t>& d)
{
    Layout l;
    for (const Object& o : Objects(d, 0, d.size())) {
        if (std::equal(kHeaderGuid.begin(), kHeaderGuid.end(), o.guid.b) && l.header < 0) {
            l.header = o.pos;
            l.headerEnd = o.pos + static_cast<int64_t>(o.size);
            for (const Object& c : Objects(d, o.pos + 30, l.headerEnd))
                if (std::equal(kFilePropertiesGuid.begin(), kFilePropertiesGuid.end(), c.guid.b))
                    l.fileProperties = c.pos;
        }
        if (std::equal(kDataGuid.begin(), kDataGuid.end(), o.guid.b) && l.data < 0)
            l.data = o.pos;
    }
    if (l.fileProperties >= 0)
        l.packetSize = ReadLE32(d, l.fileProperties + 92);
    return l;
}

// ---------------------------------------------------------------------------
// Driving the repairer.

struct Outcome : mendtest::RepairOutcome {
    size_t packets = 0;
};

Outcome ParseAndRepair(const std::string& in, const std::string& out = "")
{
    return mendtest::ParseAndRepairWith<CASFRepair, Outcome>(
        in, out, [](CASFRepair& repair, Outcome& o) { o.packets = repair.Packets().size(); });
}

const char* const kAsfFixtures[] = {"clip.wmv", "clip.wma"};

// A parse of these files of 10 to 30 KB, damaged or hostile, asks the
// input for at most 10 reads of about twice its bytes in all: the bounds
// leave six times that and four times that. A walk gone back to a read per
// byte would make 10000 to 30000 calls, and one that looped on a size would
// read the same bytes over and over.
//
// Its own buffered input sees 40 to 60 calls (the objects and the packets
// read whole), up to 280 where a header child's size is broken (its end is
// sought position by position, inside the header). The bound leaves four
// times the most. A resync scan of the packets that called the input per
// byte instead of searching a block in memory makes 29000 calls over the
// zeroed packets of the hostile file, 24 times the bound; over the few KB
// the damages leave to cross only 800 to 3300, caught on four of them by
// less than three times and missed on the others, and a scan stepping 8
// bytes per call is caught on the hostile file alone (3700). Damage this
// small is too close to the parse's own calls to tell more.
void ExpectFewReads(const Outcome& o)
{
    EXPECT_LT(o.parseReads.reads, 64) << o.parseReads.bytes << " bytes";
    EXPECT_LT(o.parseReads.bytes, 8 * o.inputLength) << o.parseReads.reads << " reads";
    EXPECT_LT(o.parseCalls.reads, 1200) << o.parseCalls.seeks << " seeks";
}

// ---------------------------------------------------------------------------
// The GUID table.

TEST(AsfGuids, TableIsTypedInByteOrderOfTheFileAndDistinct)
{
    // The Header Object as its first bytes lie in every ASF file.
    const uint8_t header[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
    EXPECT_EQ(CASFRepair::Guid2Macro(ToGuid(header)), 1);
    EXPECT_EQ(CASFRepair::Guid2Level(ToGuid(header)), 1);
    std::set<std::vector<uint8_t>> seen;
    int rows = 0;
    for (int macro = 1; macro < CASFRepair::kMacroUnknown; ++macro) {
        const AsfGuid* g = CASFRepair::GuidOfMacro(macro);
        if (!g)
            continue;
        ++rows;
        EXPECT_TRUE(seen.insert(std::vector<uint8_t>(g->b, g->b + 16)).second) << "macro " << macro;
        EXPECT_EQ(CASFRepair::Guid2Macro(*g), macro);
    }
    EXPECT_EQ(rows, 64);
    const uint8_t zeros[16] = {};
    EXPECT_EQ(CASFRepair::Guid2Macro(ToGuid(zeros)), CASFRepair::kMacroUnknown);
    EXPECT_EQ(CASFRepair::Guid2Level(ToGuid(zeros)), 4);
    EXPECT_FALSE(CASFRepair::CompareGuid(nullptr, CASFRepair::GuidOfMacro(1)));
}

// Every object, header child, stream type and error correction type that
// ffmpeg writes is one of the table's, at the level the table gives it.
TEST(AsfGuids, EveryGuidOfFfmpegFilesIsKnownAtItsLevel)
{
    for (const char* name : {"clip.wmv", "clip.wma", "clip_pipe.wmv", "clip_plain.wmv"}) {
        SCOPED_TRACE(name);
        const std::string path = RequireFixture(name);
        if (path.empty())
            return;
        const auto d = ReadFileBytes(path);
        const auto top = Objects(d, 0, d.size());
        ASSERT_GE(top.size(), 2u);
        for (const Object& o : top) {
            if (o.size < 24 || o.size > d.size() - o.pos)  // a piped Data Object runs on
                break;
            EXPECT_EQ(CASFRepair::Guid2Level(o.guid), 1) << "object at " << o.pos;
            if (CASFRepair::Guid2Macro(o.guid) != 1)
                continue;
            int streams = 0;
            for (const Object& c : Objects(d, o.pos + 30, o.pos + o.size)) {
                EXPECT_EQ(CASFRepair::Guid2Level(c.guid), 2) << "child at " << c.pos;
                if (CASFRepair::Guid2Macro(c.guid) == 13) {
                    for (const Object& e : Objects(d, c.pos + 46, c.pos + c.size))
                        EXPECT_EQ(CASFRepair::Guid2Level(e.guid), 3) << "extension child at " << e.pos;
                }
                if (CASFRepair::Guid2Macro(c.guid) == 12) {
                    ++streams;
                    const int type = CASFRepair::Guid2Macro(ToGuid(&d[c.pos + 24]));
                    EXPECT_TRUE(type == 51 || type == 52) << type;
                    const int correction = CASFRepair::Guid2Macro(ToGuid(&d[c.pos + 40]));
                    EXPECT_EQ(correction, type == 51 ? 61 : 60);
                }
            }
            EXPECT_GE(streams, 1);
        }
    }
}

// ---------------------------------------------------------------------------
// The walk.

TEST(AsfWalk, IntactFixturesAreUndamaged)
{
    for (const char* name : {"clip.wmv", "clip.wma", "clip_plain.wmv", "clip_plain.wma"}) {
        const std::string path = RequireFixture(name);
        if (path.empty())
            return;
        const auto d = ReadFileBytes(path);
        const Layout l = LayoutOf(d);
        Outcome o = ParseAndRepair(path);
        EXPECT_EQ(o.parse, 0) << name;
        EXPECT_TRUE(o.codes.empty()) << name << ": " << o.codes.size() << " records, first " << o.codes[0];
        EXPECT_EQ(o.packets, LE64(d, l.data + 40)) << name;
    }
}

// An intact file parses its packets as they are: one payload record per
// payload, the packet size and every stream from the header.
TEST(AsfWalk, PacketsAndStreamsOfTheHeaderAreFound)
{
    const std::string path = RequireFixture("clip.wmv");
    if (path.empty())
        return;
    const auto d = ReadFileBytes(path);
    const Layout l = LayoutOf(d);
    int err = 0;
    CVideoFile input(path.c_str(), 0, &err);
    CASFRepair repair(&input);
    ASSERT_EQ(repair.ParseStream(nullptr, nullptr), 0);
    EXPECT_EQ(repair.PacketSize(), l.packetSize);
    ASSERT_EQ(repair.Streams().size(), 2u);
    EXPECT_EQ(repair.Streams()[0].number, 1);
    EXPECT_EQ(repair.Streams()[1].number, 2);
    ASSERT_EQ(repair.Packets().size(), LE64(d, l.data + 40));
    for (size_t i = 0; i < repair.Packets().size(); ++i) {
        const auto& p = repair.Packets()[i];
        EXPECT_EQ(p.start, l.data + 50 + int64_t(i) * l.packetSize);
        EXPECT_EQ(p.end, p.start + l.packetSize);
        EXPECT_TRUE(p.multiple);
        EXPECT_EQ(p.payloadCount, d[p.start + 5 + ((p.lengthTypeFlags >> 3) & 3) + 6] & 0x3F) << "packet " << i;
    }
    EXPECT_EQ(repair.InvalidRanges(), 0u);
}

// The analysis keeps a record per run of packets that the rebuild copies as
// they stand, not one per packet: a recording of millions of packets costs
// a few records around each damage. A packet wiped in the middle splits
// the run; the packets are still there one by one, read again.
TEST(AsfWalk, SoundPacketsAreKeptAsRuns)
{
    const std::string path = RequireFixture("clip.wmv");
    if (path.empty())
        return;
    auto d = ReadFileBytes(path);
    const Layout l = LayoutOf(d);
    const uint64_t total = LE64(d, l.data + 40);
    ASSERT_GT(total, 8u);
    const int64_t first = l.data + 50;
    const uint64_t wiped = total / 2;
    for (const bool damaged : {false, true}) {
        SCOPED_TRACE(damaged ? "a packet wiped" : "intact");
        if (damaged)
            std::fill_n(d.begin() + first + int64_t(wiped) * l.packetSize, l.packetSize, 0);
        ScratchDir dir("asf");
        ASSERT_TRUE(WriteFileBytes(dir.Path("runs.wmv"), d));
        int err = 0;
        CVideoFile input(dir.Path("runs.wmv").c_str(), 0, &err);
        CASFRepair repair(&input);
        ASSERT_EQ(repair.ParseStream(nullptr, nullptr), 0);
        ASSERT_EQ(repair.Packets().size(), damaged ? total - 1 : total);
        EXPECT_LE(repair.PacketRecords(), damaged ? 3u : 1u);
        for (size_t i = 0; i < repair.Packets().size(); ++i) {
            const auto p = repair.Packets()[i];
            const uint64_t n = damaged && i >= wiped ? i + 1 : i;
            EXPECT_EQ(p.start, first + int64_t(n) * l.packetSize) << "packet " << i;
            EXPECT_GT(p.payloadCount, 0u) << "packet " << i;
        }
    }
}

// Long damage after the packets (a file cut and padded, a hole) is crossed
// in large blocks: the scan's reads grow while it goes on, to a MiB, and
// its input sees 3 calls per MiB of zeros or noise. A scan that kept its
// first 64 KiB blocks made 18, and one that read byte by byte a million;
// the bound leaves twice what the growing blocks need.
TEST(AsfWalk, LongDamageIsCrossedInLargeReads)
{
    const std::string src = RequireFixture("clip.wmv");
    if (src.empty())
        return;
    constexpr int64_t kZeros = int64_t(32) << 20;
    for (const bool noise : {false, true}) {
        SCOPED_TRACE(noise ? "noise" : "zeros");
        auto bytes = ReadFileBytes(src);
        const size_t clip = bytes.size();
        bytes.resize(clip + kZeros);
        uint32_t x = 2463534242u;
        for (size_t i = clip; noise && i < bytes.size(); ++i) {
            x ^= x << 13, x ^= x >> 17, x ^= x << 5;
            bytes[i] = static_cast<uint8_t>(x);
        }
        ScratchDir dir("asf");
        ASSERT_TRUE(WriteFileBytes(dir.Path("long.wmv"), bytes));
        Outcome o = ParseAndRepair(dir.Path("long.wmv"));
        ASSERT_EQ(o.parse, 0);
        EXPECT_FALSE(o.codes.empty());
        EXPECT_LT(o.parseCalls.ReadsPerMiB(kZeros), 6.0) << o.parseCalls.reads << " calls";
    }
}

// Sizes that would loop or wrap, a header that cannot be read, no packet
// at all: each ends in a clear code or a recorded damage, after a few reads.
TEST(AsfWalk, HostileSizesEndInAClearCode)
{
    const std::string src = RequireFixture("clip.wmv");
    if (src.empty())
        return;
    const auto clean = ReadFileBytes(src);
    const Layout l = LayoutOf(clean);
    struct Case {
        const char* name;
        std::function<void(std::vector<uint8_t>&)> apply;
        int parse;  // 0: parsed, with damage recorded
    };
    const Case cases[] = {
        // The header's children still give its end: libavformat plays it.
        {"header size 0", [&](auto& d) { WriteLE64(d, 16, 0); }, 0},
        {"header size wraps", [&](auto& d) { WriteLE64(d, 16, ~uint64_t(0) - 5); }, 0},
        {"data size 0", [&](auto& d) { WriteLE64(d, l.data + 16, 0); }, 0},
        {"data size wraps", [&](auto& d) { WriteLE64(d, l.data + 16, ~uint64_t(0)); }, 0},
        {"index size 0",
         [&](auto& d) { WriteLE64(d, l.data + LE64(d, l.data + 16) + 16, 0); }, 0},
        {"index size wraps",
         [&](auto& d) { WriteLE64(d, l.data + LE64(d, l.data + 16) + 16, ~uint64_t(0) - 30); }, 0},
        {"header child size wraps",
         [&](auto& d) { WriteLE64(d, l.fileProperties + 16, ~uint64_t(0) - 100); }, 0},
        {"packet size 0",
         [&](auto& d) {
             WriteLE32(d, l.fileProperties + 92, 0);
             WriteLE32(d, l.fileProperties + 96, 0);
         },
         JRVP_ERR_UNREPAIRABLE},
        {"every packet zeroed",
         [&](auto& d) { std::fill(d.begin() + l.data + 50, d.begin() + l.data + LE64(d, l.data + 16), 0); },
         JRVP_ERR_UNREPAIRABLE},
        {"video format data zeroed",
         [&](auto& d) {
             const int64_t sp = FindBytes(d, kStreamPropertiesGuid);
             std::fill(d.begin() + sp + 78, d.begin() + sp + 78 + 51, 0);
         },
         JRVP_ERR_UNREPAIRABLE},
        {"cut inside the header", [&](auto& d) { d.resize(l.fileProperties + 50); }, JRVP_ERR_UNREPAIRABLE},
        {"cut after the header", [&](auto& d) { d.resize(l.data + 30); }, JRVP_ERR_UNREPAIRABLE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir("asf");
        auto bytes = clean;
        c.apply(bytes);
        ASSERT_TRUE(WriteFileBytes(dir.Path("hostile.wmv"), bytes));
        Outcome o = ParseAndRepair(dir.Path("hostile.wmv"), dir.Path("out.wmv"));
        EXPECT_EQ(o.parse, c.parse);
        ExpectFewReads(o);
        if (c.parse == 0) {
            EXPECT_FALSE(o.codes.empty());
            EXPECT_EQ(o.repair, 0);
            EXPECT_TRUE(CheckMedia(dir.Path("out.wmv")).CleanDecode());
        }
    }
}

// A broken size inside the header extension is mended as one in the header
// is: a child ends where the next one starts, and of the extension's own
// size and its data size, the one that ends it where the next header child
// begins holds. The repaired extension is the original's, byte for byte.
TEST(AsfRepair, HeaderExtensionSizesAreWrittenTrue)
{
    const std::string src = RequireFixture("clip.wmv");
    if (src.empty())
        return;
    const auto clean = ReadFileBytes(src);
    const int64_t ext = FindBytes(clean, GuidBytes("5FBF03B5-A92E-11CF-8EE3-00C00C205365"));
    ASSERT_GT(ext, 0);
    const uint64_t extSize = LE64(clean, ext + 16);
    ASSERT_GT(extSize, 46u + 24u) << "the extension holds a child";
    const struct {
        const char* name;
        std::function<void(std::vector<uint8_t>&)> apply;
    } cases[] = {
        {"child size 0", [&](auto& d) { WriteLE64(d, ext + 46 + 16, 0); }},
        {"child size wraps", [&](auto& d) { WriteLE64(d, ext + 46 + 16, ~uint64_t(0) - 10); }},
        {"data size 0", [&](auto& d) { WriteLE32(d, ext + 42, 0); }},
        {"extension size too small", [&](auto& d) { WriteLE64(d, ext + 16, extSize - 30); }},
        {"extension size too large", [&](auto& d) { WriteLE64(d, ext + 16, extSize + 24); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir("asf");
        auto bytes = clean;
        c.apply(bytes);
        ASSERT_TRUE(WriteFileBytes(dir.Path("ext.wmv"), bytes));
        Outcome o = ParseAndRepair(dir.Path("ext.wmv"), dir.Path("out.wmv"));
        ASSERT_EQ(o.parse, 0);
        EXPECT_TRUE(Has(o.codes, JRVP_DAMAGE_STRUCTURE));
        ASSERT_EQ(o.repair, 0);
        const auto out = ReadFileBytes(dir.Path("out.wmv"));
        ASSERT_GE(out.size(), static_cast<size_t>(ext) + extSize);
        EXPECT_TRUE(std::equal(clean.begin() + ext, clean.begin() + ext + static_cast<int64_t>(extSize),
                               out.begin() + ext));
        EXPECT_EQ(ReadLE32(out, 24), ReadLE32(clean, 24)) << "number of header objects";
        EXPECT_TRUE(CheckMedia(dir.Path("out.wmv")).CleanDecode());
    }
}

TEST(AsfWalk, OtherContainersAreNotAsf)
{
    for (const char* name : {"clip.avi", "clip.mp4"}) {
        const std::string path = RequireFixture(name);
        if (path.empty())
            return;
        EXPECT_EQ(ParseAndRepair(path).parse, JRVP_ERR_UNKNOWN_FORMAT) << name;
    }
}

// ---------------------------------------------------------------------------
// The rebuild.

// The frames libavformat reads, per stream: presentation time and size.
std::set<std::tuple<int, int64_t, int>> Frames(const MediaReport& r)
{
    std::set<std::tuple<int, int64_t, int>> out;
    for (const PacketInfo& p : r.packets)
        out.insert({p.stream, p.pts, p.size});
    return out;
}

// The output's declared sizes, counts and flags agree with its packets.
void ExpectDeclaredAsWritten(const std::vector<uint8_t>& d, const MediaReport& repaired)
{
    const Layout l = LayoutOf(d);
    ASSERT_GE(l.fileProperties, 0);
    ASSERT_GE(l.data, 0);
    ASSERT_GT(l.packetSize, 0u);
    const uint64_t dataSize = LE64(d, l.data + 16);
    const uint64_t packets = LE64(d, l.data + 40);
    EXPECT_EQ(dataSize, 50 + packets * l.packetSize);
    EXPECT_EQ(uint64_t(l.data) + dataSize, d.size()) << "nothing after the packets";
    EXPECT_EQ(LE64(d, l.fileProperties + 56), packets);
    EXPECT_EQ(LE64(d, l.fileProperties + 40), d.size());
    EXPECT_EQ(ReadLE32(d, l.fileProperties + 88) & 1, 0u) << "Broadcast flag";
    // Play Duration less the preroll is what libavformat reports; it must
    // match where the frames really end.
    const uint64_t play = LE64(d, l.fileProperties + 64);
    const uint64_t preroll = LE64(d, l.fileProperties + 80);
    const double declared = (play - preroll * 10000) / 1e7;
    double end = 0;
    for (const StreamReport& s : repaired.streams)
        end = std::max(end, s.endSeconds);
    EXPECT_NEAR(declared, end, 0.2);
    EXPECT_NEAR(repaired.durationSeconds, end, 0.2);
}

// The packet in the middle of the Data Object.
int64_t Middle(const std::vector<uint8_t>& d)
{
    return static_cast<int64_t>(LE64(d, LayoutOf(d).data + 40) / 2);
}

struct Damage {
    const char* name;
    // Damages the file; returns the damaged byte range of the original.
    std::function<std::pair<int64_t, int64_t>(std::vector<uint8_t>&)> apply;
    // The damage reaches into a payload that survives: its frame may not
    // decode, which no reader of the container can tell.
    bool hitsKeptPayload = false;
};

const std::vector<uint8_t> kAudioMediaGuid = GuidBytes("F8699E40-5B4D-11CF-A8FD-00805F5C442B");
const std::vector<uint8_t> kVideoMediaGuid = GuidBytes("BC19EFC0-5B4D-11CF-A8FD-00805F5C442B");

// Sets a field of the first Stream Properties Object of a stream type, at
// `at` from the object's start, `bytes` wide; a file without such a stream
// is left as it is (the range is then empty, before the file).
Damage SetStreamField(const char* name, const std::vector<uint8_t>& type, int64_t at, int bytes, uint64_t value)
{
    return {name, [&type, at, bytes, value](std::vector<uint8_t>& d) {
                for (int64_t sp = FindBytes(d, kStreamPropertiesGuid); sp >= 0 && sp < LayoutOf(d).data;
                     sp = FindBytes(d, kStreamPropertiesGuid, sp + 1)) {
                    if (!std::equal(type.begin(), type.end(), d.begin() + sp + 24))
                        continue;
                    for (int i = 0; i < bytes; ++i)
                        d[sp + at + i] = static_cast<uint8_t>(value >> (8 * i));
                    return std::make_pair(sp + at, sp + at + bytes);
                }
                return std::make_pair(int64_t(-1), int64_t(-1));
            }};
}

const Damage kDamages[] = {
    {"cut at 60 %",
     [](std::vector<uint8_t>& d) {
         const int64_t cut = d.size() * 6 / 10, end = d.size();
         d.resize(cut);
         return std::make_pair(cut, end);
     }},
    {"1000 bytes zeroed from a packet's start",
     [](std::vector<uint8_t>& d) {
         const Layout l = LayoutOf(d);
         const int64_t at = l.data + 50 + Middle(d) * l.packetSize;
         std::fill(d.begin() + at, d.begin() + at + 1000, 0);
         return std::make_pair(at, at + 1000);
     }},
    {"1000 bytes zeroed inside a packet",
     [](std::vector<uint8_t>& d) {
         const Layout l = LayoutOf(d);
         const int64_t at = l.data + 50 + Middle(d) * l.packetSize + 700;
         std::fill(d.begin() + at, d.begin() + at + 1000, 0);
         return std::make_pair(at, at + 1000);
     },
     true},
    {"1000 bytes zeroed over a packet header",
     [](std::vector<uint8_t>& d) {
         const Layout l = LayoutOf(d);
         const int64_t at = l.data + 50 + Middle(d) * l.packetSize - 400;
         std::fill(d.begin() + at, d.begin() + at + 1000, 0);
         return std::make_pair(at, at + 1000);
     }},
    {"100 garbage bytes before the Data Object",
     [](std::vector<uint8_t>& d) {
         const int64_t at = LayoutOf(d).data;
         auto junk = PseudoRandomBytes(100, 3);
         d.insert(d.begin() + at, junk.begin(), junk.end());
         return std::make_pair(at, at);
     }},
    {"101 garbage bytes before the Data Object",
     [](std::vector<uint8_t>& d) {
         const int64_t at = LayoutOf(d).data;
         auto junk = PseudoRandomBytes(101, 4);
         d.insert(d.begin() + at, junk.begin(), junk.end());
         return std::make_pair(at, at);
     }},
    {"garbage between two packets",
     [](std::vector<uint8_t>& d) {
         const Layout l = LayoutOf(d);
         const int64_t at = l.data + 50 + Middle(d) * l.packetSize;
         auto junk = PseudoRandomBytes(777, 5);
         d.insert(d.begin() + at, junk.begin(), junk.end());
         return std::make_pair(at, at);
     }},
    {"zeroed header child size",
     [](std::vector<uint8_t>& d) {
         const int64_t sp = FindBytes(d, kStreamPropertiesGuid);
         WriteLE64(d, sp + 16, 0);
         return std::make_pair(sp + 16, sp + 24);
     }},
    {"zeroed File Properties size",
     [](std::vector<uint8_t>& d) {
         const int64_t fp = LayoutOf(d).fileProperties;
         WriteLE64(d, fp + 16, 0);
         return std::make_pair(fp + 16, fp + 24);
     }},
    // A broken Header Object size: its children still end where the Data
    // Object begins, libavformat plays the file, and the copy's header
    // size must hold for the Data Object to be found after it.
    {"Header Object size 16 too small",
     [](std::vector<uint8_t>& d) {
         WriteLE64(d, 16, LE64(d, 16) - 16);
         return std::make_pair(int64_t(16), int64_t(24));
     }},
    {"Header Object size 64 too large",
     [](std::vector<uint8_t>& d) {
         WriteLE64(d, 16, LE64(d, 16) + 64);
         return std::make_pair(int64_t(16), int64_t(24));
     }},
    {"Header Object size all ones",
     [](std::vector<uint8_t>& d) {
         WriteLE64(d, 16, ~uint64_t(0));
         return std::make_pair(int64_t(16), int64_t(24));
     }},
    // Fields of the header that others say again: libavformat plays the
    // file, or would with the field mended, and the copy carries them true.
    {"zeroed minimum packet size",
     [](std::vector<uint8_t>& d) {
         const int64_t fp = LayoutOf(d).fileProperties;
         WriteLE32(d, fp + 92, 0);
         return std::make_pair(fp + 92, fp + 96);
     }},
    SetStreamField("video type-specific length all ones", kVideoMediaGuid, 64, 4, 0xFFFFFFFFu),
    SetStreamField("video format data size 1", kVideoMediaGuid, 78 + 9, 2, 1),
    SetStreamField("video bitmap header size zeroed", kVideoMediaGuid, 78 + 11, 4, 0),
    SetStreamField("audio block alignment zeroed", kAudioMediaGuid, 78 + 12, 2, 0),
    SetStreamField("audio block alignment all ones", kAudioMediaGuid, 78 + 12, 2, 0xFFFF),
    SetStreamField("audio byte rate 2^31", kAudioMediaGuid, 78 + 8, 4, 0x80000000u),
    SetStreamField("audio byte rate zeroed", kAudioMediaGuid, 78 + 8, 4, 0),
};

TEST(AsfRepair, EveryDamageIsRepairedIntoACleanFile)
{
    for (const char* name : kAsfFixtures) {
        const std::string src = RequireFixture(name);
        if (src.empty())
            return;
        const auto clean = ReadFileBytes(src);
        const MediaReport original = CheckMedia(src);
        ASSERT_TRUE(original.CleanDecode()) << original.Summary();
        const uint32_t packetSize = LayoutOf(clean).packetSize;
        for (const Damage& damage : kDamages) {
            SCOPED_TRACE(std::string(name) + ": " + damage.name);
            ScratchDir dir("asf");
            auto bytes = clean;
            const auto range = damage.apply(bytes);
            if (range.first < 0)
                continue;
            const std::string in = dir.Path("damaged.wmv"), out = dir.Path("repaired.wmv");
            ASSERT_TRUE(WriteFileBytes(in, bytes));
            Outcome o = ParseAndRepair(in, out);
            ASSERT_EQ(o.parse, 0);
            ASSERT_FALSE(o.codes.empty()) << "damage went unnoticed";
            ExpectFewReads(o);
            ASSERT_EQ(o.repair, 0);

            const MediaReport repaired = CheckMedia(out);
            if (!damage.hitsKeptPayload) {
                EXPECT_TRUE(repaired.CleanDecode()) << repaired.Summary();
            }
            ExpectDeclaredAsWritten(ReadFileBytes(out), repaired);
            // Every frame whose packets lie clear of the damage is kept.
            const auto kept = Frames(repaired);
            for (const PacketInfo& p : original.packets) {
                if (p.pos < range.second && p.pos + p.size + 2 * int64_t(packetSize) > range.first)
                    continue;
                EXPECT_TRUE(kept.count({p.stream, p.pts, p.size}))
                    << "lost the frame of stream " << p.stream << " at " << p.pts << " (packet at " << p.pos << ")";
            }
        }
    }
}

// A recording written to a pipe declares a Data Object of 50 bytes, no
// packets and the Broadcast flag; its repair declares what it holds.
TEST(AsfRepair, PipedRecordingDeclaresItsDurationAndPackets)
{
    const std::string src = RequireFixture("clip_pipe.wmv");
    if (src.empty())
        return;
    const auto d = ReadFileBytes(src);
    const Layout l = LayoutOf(d);
    ASSERT_EQ(LE64(d, l.data + 16), 50u);
    ASSERT_EQ(ReadLE32(d, l.fileProperties + 88) & 1, 1u);
    const MediaReport original = CheckMedia(src);
    ASSERT_TRUE(original.CleanDecode()) << original.Summary();
    ScratchDir dir("asf");
    Outcome o = ParseAndRepair(src, dir.Path("repaired.wmv"));
    ASSERT_EQ(o.parse, 0);
    ASSERT_FALSE(o.codes.empty());
    ASSERT_EQ(o.repair, 0);
    const MediaReport repaired = CheckMedia(dir.Path("repaired.wmv"));
    EXPECT_TRUE(repaired.CleanDecode()) << repaired.Summary();
    const auto fixed = ReadFileBytes(dir.Path("repaired.wmv"));
    ExpectDeclaredAsWritten(fixed, repaired);
    EXPECT_EQ(LE64(fixed, LayoutOf(fixed).data + 40), o.packets);
    EXPECT_EQ(Frames(repaired), Frames(original));
}

// Two recordings one after the other: the second Header Object is the one
// written, and the corrected file properties land inside it.
TEST(AsfRepair, SecondHeaderGetsTheCorrectedFileProperties)
{
    const std::string src = RequireFixture("clip.wmv");
    if (src.empty())
        return;
    auto bytes = ReadFileBytes(src);
    const auto once = bytes;
    bytes.insert(bytes.end(), once.begin(), once.end());
    ScratchDir dir("asf");
    ASSERT_TRUE(WriteFileBytes(dir.Path("twice.wmv"), bytes));
    Outcome o = ParseAndRepair(dir.Path("twice.wmv"), dir.Path("repaired.wmv"));
    ASSERT_EQ(o.parse, 0);
    ASSERT_FALSE(o.codes.empty());
    ASSERT_EQ(o.repair, 0);
    const auto fixed = ReadFileBytes(dir.Path("repaired.wmv"));
    const Layout l = LayoutOf(once);
    EXPECT_EQ(LE64(fixed, l.data + 40), 2 * LE64(once, l.data + 40));
    const MediaReport repaired = CheckMedia(dir.Path("repaired.wmv"));
    EXPECT_TRUE(repaired.CleanDecode()) << repaired.Summary();
    ExpectDeclaredAsWritten(fixed, repaired);
}

// A stream whose Stream Properties Object is destroyed loses its payloads;
// the search through their data finds no payload of another stream there,
// even where the data looks like one but for its replicated data length,
// which without extended stream properties is always 8.
TEST(AsfRepair, PayloadsOfALostStreamHideNoOtherPayload)
{
    const std::string src = RequireFixture("clip.wmv");
    if (src.empty())
        return;
    auto bytes = ReadFileBytes(src);
    const MediaReport original = CheckMedia(src);
    const Layout l = LayoutOf(bytes);
    // A payload of stream 1 in the first packet, with room for another
    // payload's header in its data.
    const size_t packet = l.data + 50;
    size_t payload = packet + 5 + ((bytes[packet + 3] & 0x18) ? 1 : 0) + 6 + 1;
    for (int k = 0; k < (bytes[payload - 1] & 0x3F); ++k) {
        const size_t length = bytes[payload + 15] | bytes[payload + 16] << 8;
        if ((bytes[payload] & 0x7F) == 1 && length > 120)
            break;
        payload += 17 + length;
    }
    ASSERT_EQ(bytes[payload] & 0x7F, 1);
    const size_t fake = payload + 7 + 8 + 2 + 40;
    const uint32_t send = ReadLE32(bytes, packet + 5 + ((bytes[packet + 3] & 0x18) ? 1 : 0));
    const uint32_t preroll = static_cast<uint32_t>(LE64(bytes, l.fileProperties + 80));
    std::vector<uint8_t> header = {0x02, 0x05, 0, 0, 0, 0, 18};
    header.resize(header.size() + 18 + 2 + 20, 0);
    WriteLE32(header, 7, 20);                // media object size
    WriteLE32(header, 11, send + preroll);   // presentation time
    header[7 + 18] = 20;                     // payload length
    std::copy(header.begin(), header.end(), bytes.begin() + fake);
    // Stream 1's Stream Properties Object becomes an object nobody knows.
    const int64_t sp = FindBytes(bytes, kStreamPropertiesGuid);
    ASSERT_EQ(ReadLE32(bytes, sp + 72) & 0x7F, 1u);
    bytes[sp] ^= 0xFF;
    ScratchDir dir("asf");
    ASSERT_TRUE(WriteFileBytes(dir.Path("lost.wmv"), bytes));
    Outcome o = ParseAndRepair(dir.Path("lost.wmv"), dir.Path("repaired.wmv"));
    ASSERT_EQ(o.parse, 0);
    // The payloads passed over inside the packets are recorded as lost data.
    EXPECT_TRUE(Has(o.codes, JRVP_DAMAGE_SEGMENT));
    ASSERT_EQ(o.repair, 0);
    const MediaReport repaired = CheckMedia(dir.Path("repaired.wmv"));
    EXPECT_TRUE(repaired.CleanDecode()) << repaired.Summary();
    std::set<std::tuple<int, int64_t, int>> audio;
    for (const auto& f : Frames(original))
        if (std::get<0>(f) == 1)
            audio.insert({0, std::get<1>(f), std::get<2>(f)});
    EXPECT_EQ(Frames(repaired), audio);
}

// ---------------------------------------------------------------------------
// Packets of other layouts, made from a fixture's payloads.

struct Payload {
    std::vector<uint8_t> head;  // stream, object number, offset, replicated data
    std::vector<uint8_t> data;
    uint32_t sendTime;
    uint16_t duration;
};

std::vector<Payload> PayloadsOf(const std::vector<uint8_t>& d)
{
    const Layout l = LayoutOf(d);
    std::vector<Payload> out;
    const uint64_t packets = LE64(d, l.data + 40);
    for (uint64_t i = 0; i < packets; ++i) {
        size_t p = l.data + 50 + i * l.packetSize;
        const uint8_t lengthType = d[p + 3];
        static const int sizes[4] = {0, 1, 2, 4};
        size_t r = p + 5 + sizes[(lengthType >> 5) & 3] + sizes[(lengthType >> 3) & 3];
        const uint32_t send = ReadLE32(d, r);
        const uint16_t duration = static_cast<uint16_t>(d[r + 4] | d[r + 5] << 8);
        r += 6;
        const int count = d[r++] & 0x3F;
        for (int k = 0; k < count; ++k) {
            const size_t head = 7 + d[r + 6];
            const size_t length = d[r + head] | d[r + head + 1] << 8;
            Payload pl{std::vector<uint8_t>(d.begin() + r, d.begin() + r + head),
                       std::vector<uint8_t>(d.begin() + r + head + 2, d.begin() + r + head + 2 + length), send,
                       duration};
            out.push_back(pl);
            r += head + 2 + length;
        }
    }
    return out;
}

// The fixture again with one payload per packet, no error correction data,
// and packets just large enough for the largest payload, which therefore
// has neither padding nor a Padding Length field. With withLength, every
// packet carries a Packet Length field holding the packet size.
// How a packet states its Packet Length: not at all, as the whole packet
// (the format's own way), or as the packet less its padding (GStreamer's).
enum class PacketLength { kNone, kWhole, kWithoutPadding };

std::vector<uint8_t> SinglePayloadPackets(const std::vector<uint8_t>& d, PacketLength form)
{
    const bool withLength = form != PacketLength::kNone;
    const Layout l = LayoutOf(d);
    const auto payloads = PayloadsOf(d);
    size_t largest = 0;
    for (const Payload& p : payloads)
        largest = std::max(largest, p.head.size() + p.data.size());
    const uint32_t fixed = withLength ? 10 : 8;
    const uint32_t n = static_cast<uint32_t>(fixed + largest);
    std::vector<uint8_t> out(d.begin(), d.begin() + l.headerEnd);
    WriteLE32(out, l.fileProperties + 92, n);
    WriteLE32(out, l.fileProperties + 96, n);
    const size_t data = out.size();
    out.insert(out.end(), d.begin() + l.data, d.begin() + l.data + 50);
    for (const Payload& p : payloads) {
        const size_t room = n - fixed - p.head.size() - p.data.size();
        // A Padding Length field takes its own byte out of the padding.
        const size_t field = room == 0 ? 0 : room <= 256 ? 1 : 2;
        uint8_t lengthType = static_cast<uint8_t>(field << 3);
        if (withLength)
            lengthType |= 0x40;
        out.push_back(lengthType);
        out.push_back(0x5D);
        const size_t padding = room - field;
        if (withLength) {
            const size_t length = form == PacketLength::kWhole ? n : n - padding;
            out.push_back(length & 0xFF);
            out.push_back(static_cast<uint8_t>(length >> 8));
        }
        for (size_t k = 0; k < field; ++k)
            out.push_back(static_cast<uint8_t>(padding >> (8 * k)));
        for (int k = 0; k < 4; ++k)
            out.push_back(static_cast<uint8_t>(p.sendTime >> (8 * k)));
        out.push_back(p.duration & 0xFF);
        out.push_back(p.duration >> 8);
        out.insert(out.end(), p.head.begin(), p.head.end());
        out.insert(out.end(), p.data.begin(), p.data.end());
        out.resize(out.size() + padding, 0);
    }
    WriteLE64(out, data + 16, out.size() - data);
    WriteLE64(out, data + 40, payloads.size());
    WriteLE64(out, l.fileProperties + 56, payloads.size());
    WriteLE64(out, l.fileProperties + 40, out.size());
    return out;
}

// Packets stored without error correction data, with and without a Packet
// Length field that holds the packet size (as the format defines it): both
// are sound, and their repair writes every packet again, the largest ones
// without error correction data since they leave no room for it.
TEST(AsfRepair, PacketsWithoutRoomForErrorCorrectionAreWrittenWithoutIt)
{
    const std::string src = RequireFixture("clip.wmv");
    if (src.empty())
        return;
    const auto clean = ReadFileBytes(src);
    const MediaReport original = CheckMedia(src);
    const struct {
        const char* name;
        PacketLength form;
    } forms[] = {
        {"without Packet Length", PacketLength::kNone},
        {"with Packet Length", PacketLength::kWhole},
        // Readers take the padding for more than the packet holds: damage,
        // written again the format's way.
        {"with Packet Length less the padding", PacketLength::kWithoutPadding},
    };
    for (const auto& f : forms) {
        SCOPED_TRACE(f.name);
        const bool sound = f.form != PacketLength::kWithoutPadding;
        ScratchDir dir("asf");
        auto bytes = SinglePayloadPackets(clean, f.form);
        ASSERT_TRUE(WriteFileBytes(dir.Path("single.wmv"), bytes));
        const MediaReport made = CheckMedia(dir.Path("single.wmv"));
        ASSERT_EQ(made.CleanDecode(), sound) << made.Summary();
        Outcome o = ParseAndRepair(dir.Path("single.wmv"));
        EXPECT_EQ(o.parse, 0);
        if (sound) {
            EXPECT_TRUE(o.codes.empty()) << o.codes.size() << " records, first " << o.codes[0];
        } else {
            EXPECT_TRUE(Has(o.codes, JRVP_DAMAGE_STRUCTURE));
        }

        // A declared count that is wrong makes the file damaged; every
        // packet is written again.
        WriteLE64(bytes, LayoutOf(bytes).fileProperties + 56, 1);
        ASSERT_TRUE(WriteFileBytes(dir.Path("count.wmv"), bytes));
        o = ParseAndRepair(dir.Path("count.wmv"), dir.Path("repaired.wmv"));
        ASSERT_EQ(o.parse, 0);
        ASSERT_EQ(o.repair, 0);
        const auto fixed = ReadFileBytes(dir.Path("repaired.wmv"));
        const MediaReport repaired = CheckMedia(dir.Path("repaired.wmv"));
        EXPECT_TRUE(repaired.CleanDecode()) << repaired.Summary();
        ExpectDeclaredAsWritten(fixed, repaired);
        EXPECT_EQ(LE64(fixed, LayoutOf(fixed).data + 40), o.packets);
        EXPECT_EQ(Frames(repaired), Frames(original));
    }
}


// A packet whose payloads the six-bit count cannot describe (one media
// object cut into 64 fragments, the count saying 63) is damage. The rebuild
// cannot head it again: it leaves it out with a record and writes the rest.
TEST(AsfRepair, PacketOfMorePayloadsThanItsCountCanSayIsLeftOut)
{
    const std::string src = RequireFixture("clip.wma");
    if (src.empty())
        return;
    auto bytes = ReadFileBytes(src);
    const MediaReport original = CheckMedia(src);
    const Layout l = LayoutOf(bytes);
    ASSERT_GE(LE64(bytes, l.data + 40), 3u);
    // The second packet's first payload: a whole media object.
    const size_t packet = l.data + 50 + l.packetSize;
    const uint8_t lengthType = bytes[packet + 3];
    ASSERT_EQ(lengthType & 1, 1) << "multiple payloads";
    const size_t times = packet + 5 + ((lengthType >> 3) & 3);
    const size_t first = times + 6 + 1;
    ASSERT_EQ(bytes[first + 6], 8) << "replicated data: object size and time";
    const uint32_t objectSize = ReadLE32(bytes, first + 7);
    ASSERT_EQ(ReadLE32(bytes, first + 2), 0u);
    ASSERT_EQ(bytes[first + 15] | bytes[first + 16] << 8, int(objectSize));
    ASSERT_GE(objectSize, 64u);
    const std::vector<uint8_t> object(bytes.begin() + first + 17, bytes.begin() + first + 17 + objectSize);

    std::vector<uint8_t> made = {0x82, 0, 0, 0x11, 0x5D, 0, 0};
    made.insert(made.end(), bytes.begin() + times, bytes.begin() + times + 6);
    made.push_back(0x80 | 63);
    uint32_t offset = 0;
    for (int k = 0; k < 64; ++k) {
        const uint32_t length = (objectSize - offset) / (64 - k);
        std::vector<uint8_t> head(bytes.begin() + first, bytes.begin() + first + 17);
        WriteLE32(head, 2, offset);
        head[15] = static_cast<uint8_t>(length);
        head[16] = static_cast<uint8_t>(length >> 8);
        made.insert(made.end(), head.begin(), head.end());
        made.insert(made.end(), object.begin() + offset, object.begin() + offset + length);
        offset += length;
    }
    ASSERT_LE(made.size(), l.packetSize);
    const uint32_t padding = l.packetSize - static_cast<uint32_t>(made.size());
    made[5] = static_cast<uint8_t>(padding);
    made[6] = static_cast<uint8_t>(padding >> 8);
    made.resize(l.packetSize, 0);
    std::copy(made.begin(), made.end(), bytes.begin() + packet);

    ScratchDir dir("asf");
    const std::string in = dir.Path("fragments.wma"), out = dir.Path("repaired.wma");
    ASSERT_TRUE(WriteFileBytes(in, bytes));
    int err = 0;
    CVideoFile input(in.c_str(), 0, &err);
    CASFRepair repair(&input);
    std::vector<int> codes;
    ASSERT_EQ(repair.ParseStream(&CollectCode, &codes), 0);
    EXPECT_FALSE(codes.empty()) << "damage went unnoticed";
    {
        CVideoFile output(out.c_str(), 2, &err);
        ASSERT_EQ(repair.RepairFile(&output, 1, nullptr), 0);
    }
    bool lost = false;
    for (int i = 0; i < repair.GetErrorsCount(); ++i)
        lost = lost || repair.GetFileError(i)->code == JRVP_DAMAGE_DATA_LOST;
    EXPECT_TRUE(lost);
    const MediaReport repaired = CheckMedia(out);
    EXPECT_TRUE(repaired.CleanDecode()) << repaired.Summary();
    ExpectDeclaredAsWritten(ReadFileBytes(out), repaired);
    const auto kept = Frames(repaired);
    for (const PacketInfo& p : original.packets) {
        if (p.pos >= int64_t(packet) && p.pos < int64_t(packet + l.packetSize))
            continue;
        EXPECT_TRUE(kept.count({p.stream, p.pts, p.size})) << "lost the frame at " << p.pts;
    }
}

}  // namespace
