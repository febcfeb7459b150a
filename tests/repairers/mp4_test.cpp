// MP4/MOV repairer: intact files stay undamaged, damaged ones come out as
// files that libavformat plays up to the last sample whose bytes survive.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/TestDoubles.h"
#include "repairers/MP4Repair.h"
#include "mendcore/VideoRepair.h"
#include "support/CountedInput.h"
#include "support/Damage.h"
#include "support/Fixtures.h"
#include "support/MediaCheck.h"
#include "support/RepairRun.h"

using namespace mendtest;
using namespace std::chrono_literals;

namespace {

struct Outcome {
    int parse = 1;
    int format = 0;
    std::vector<int> errors;
    int repair = 1;  // 1: no repair was run
};

// Parses `in` through the public interface and, when damage was recorded,
// repairs it into `out` (and, with `again`, a second time into that path).
Outcome Mend(const std::string& in, const std::string& out, const std::string& again = "")
{
    Outcome o;
    IVideoRepair* repair = CreateRepair();
    ResultSink sink;
    size_t results = 0;
    if (repair->SetFile(in.c_str()) && repair->OpenFile(nullptr, &ResultSink::OnResult, &sink) == 0)
        o.parse = sink.Wait(++results, 60s);
    o.format = repair->GetFormat();
    for (int i = 0; i < repair->GetErrorsCount(); ++i)
        o.errors.push_back(repair->GetFileError(static_cast<unsigned int>(i))->code);
    auto repairInto = [&](const std::string& path) {
        if (repair->RepairFile(path.c_str(), 1, &ResultSink::OnResult, &sink, nullptr) == 0)
            o.repair = sink.Wait(++results, 60s);
    };
    if (o.parse == 0 && !o.errors.empty() && !out.empty()) {
        repairInto(out);
        if (o.repair == 0 && !again.empty())
            repairInto(again);
    }
    DestroyRepair(repair);
    return o;
}

// A top-level box of a file: where it starts and how long it is.
struct Box {
    int64_t start = -1;
    int64_t size = 0;
};

Box FindTopBox(const std::vector<uint8_t>& b, const char* type)
{
    for (size_t pos = 0; pos + 8 <= b.size();) {
        uint64_t size = ReadBE32(b, pos);
        if (size == 1)
            size = (uint64_t(ReadBE32(b, pos + 8)) << 32) | ReadBE32(b, pos + 12);
        if (size == 0)
            size = b.size() - pos;
        if (memcmp(&b[pos + 4], type, 4) == 0)
            return Box{static_cast<int64_t>(pos), static_cast<int64_t>(size)};
        if (size < 8)
            break;
        pos += size;
    }
    return Box{};
}

// Packets per stream of a libavformat report, optionally only those whose
// bytes end at or before `limit`.
std::map<int, int64_t> PacketsPerStream(const MediaReport& r, int64_t limit = INT64_MAX)
{
    std::map<int, int64_t> n;
    for (const PacketInfo& p : r.packets)
        if (p.pos >= 0 && p.pos + p.size <= limit)
            ++n[p.stream];
    return n;
}

// The calls the MP4 repairer's parse of `in` makes to its buffered input:
// what a search costs, a read or more per byte where it goes position by
// position through the stream instead of a block in memory.
ReadCounts ParseCalls(const std::string& in)
{
    return ParseAndRepairWith<CMP4Repair>(in).parseCalls;
}

// Where the n-th (from 0) occurrence of a box type stands, or -1.
int64_t FindNth(const std::vector<uint8_t>& bytes, const std::string& fourcc, int n)
{
    int64_t at = -4;
    for (int i = 0; i <= n && (i == 0 || at >= 0); ++i)
        at = FindBytes(bytes, fourcc, static_cast<size_t>(at) + 4);
    return at;
}

std::string Describe(const Outcome& o)
{
    std::string s = "parse " + std::to_string(o.parse) + " repair " + std::to_string(o.repair) + " errors";
    for (int e : o.errors)
        s += " " + std::to_string(e);
    return s;
}

// Writes `bytes` under `name`, mends it, and returns libavformat's view of
// the repaired file, which must decode cleanly (an unopened report when the
// parse or the repair failed).
MediaReport RepairAndCheck(const ScratchDir& dir, const std::string& name, const std::vector<uint8_t>& bytes,
                           Outcome* outcome = nullptr)
{
    std::string in = dir.Path("in_" + name), out = dir.Path("out_" + name);
    if (!WriteFileBytes(in, bytes)) {
        ADD_FAILURE() << "cannot write " << in;
        return MediaReport();
    }
    Outcome o = Mend(in, out);
    if (outcome)
        *outcome = o;
    EXPECT_EQ(o.parse, 0) << Describe(o);
    EXPECT_EQ(o.repair, 0) << Describe(o);
    if (o.parse != 0 || o.repair != 0)
        return MediaReport();
    MediaReport repaired = CheckMedia(out);
    EXPECT_TRUE(repaired.CleanDecode()) << repaired.Summary();
    return repaired;
}

// --- Intact files ----------------------------------------------------------

// A "meta" box as ISO writes it: a full box (version and flags) holding a
// handler box.
std::vector<uint8_t> IsoMetaBox()
{
    std::vector<uint8_t> hdlr = {0, 0, 0, 33, 'h', 'd', 'l', 'r', 0, 0, 0, 0, 0, 0, 0, 0, 'm', 'd', 'i', 'r'};
    hdlr.resize(33, 0);
    std::vector<uint8_t> meta = {0, 0, 0, 0, 'm', 'e', 't', 'a', 0, 0, 0, 0};
    meta.insert(meta.end(), hdlr.begin(), hdlr.end());
    WriteBE32(meta, 0, static_cast<uint32_t>(meta.size()));
    return meta;
}

// Inserts `box` at `at`, growing the size fields of the boxes given by the
// offsets of their headers. Nothing before `at` moves.
std::vector<uint8_t> InsertBox(std::vector<uint8_t> b, size_t at, const std::vector<uint8_t>& box,
                               const std::vector<size_t>& parents)
{
    for (size_t p : parents)
        WriteBE32(b, p, ReadBE32(b, p) + static_cast<uint32_t>(box.size()));
    b.insert(b.begin() + static_cast<long>(at), box.begin(), box.end());
    return b;
}

TEST(Mp4Intact, MuxerOutputParsesWithoutDamage)
{
    ScratchDir dir("mp4");
    struct Case {
        const char* name;
        std::function<std::vector<uint8_t>(std::vector<uint8_t>)> variant;
        const char* fixture;
    };
    auto same = [](std::vector<uint8_t> b) { return b; };
    const Case cases[] = {
        {"clip.mp4", same, "clip.mp4"},
        {"clip_faststart.mp4", same, "clip_faststart.mp4"},
        {"clip.mov", same, "clip.mov"},
        {"clip.m4a", same, "clip.m4a"},
        {"clip.3gp", same, "clip.3gp"},
        {"clip_meta.mp4", same, "clip_meta.mp4"},
        {"clip_frag.mp4", same, "clip_frag.mp4"},
        {"clip_plain.mp4", same, "clip_plain.mp4"},
        {"clip_gst.mp4", same, "clip_gst.mp4"},
        {"clip_gst.mov", same, "clip_gst.mov"},
        {"clip_gst_frag.mp4", same, "clip_gst_frag.mp4"},
        {"padded.mp4", [](std::vector<uint8_t> b) { b.resize(b.size() + 64, 0); return b; }, "clip.mp4"},
        {"padded_faststart.mp4", [](std::vector<uint8_t> b) { b.resize(b.size() + 64, 0); return b; },
         "clip_faststart.mp4"},
        // clip.mp4 ends with its movie box, so boxes can go in at its end
        // without moving any sample.
        {"meta_top.mp4", [](std::vector<uint8_t> b) { return InsertBox(b, b.size(), IsoMetaBox(), {}); },
         "clip.mp4"},
        {"meta_moov.mp4",
         [](std::vector<uint8_t> b) {
             size_t moov = static_cast<size_t>(FindTopBox(b, "moov").start);
             return InsertBox(b, b.size(), IsoMetaBox(), {moov});
         },
         "clip.mp4"},
        {"meta_trak.mp4",
         [](std::vector<uint8_t> b) {
             size_t moov = static_cast<size_t>(FindTopBox(b, "moov").start);
             size_t trak = static_cast<size_t>(FindBytes(b, "trak", moov)) - 4;
             size_t end = trak + ReadBE32(b, trak);
             return InsertBox(b, end, IsoMetaBox(), {moov, trak});
         },
         "clip.mp4"},
        // A sound track that starts a minute in: an empty edit puts the
        // track's duration far past its media's.
        {"audio_delayed.mp4",
         [](std::vector<uint8_t> b) {
             size_t moov = static_cast<size_t>(FindTopBox(b, "moov").start);
             size_t mvhd = static_cast<size_t>(FindBytes(b, "mvhd", moov)) - 4;
             size_t trak = static_cast<size_t>(FindBytes(b, "trak", static_cast<size_t>(FindBytes(b, "trak", moov)) + 4)) - 4;
             size_t tkhd = static_cast<size_t>(FindBytes(b, "tkhd", trak)) - 4;
             size_t edts = static_cast<size_t>(FindBytes(b, "edts", trak)) - 4;
             size_t elst = edts + 8;
             const uint32_t delay = 60 * ReadBE32(b, mvhd + 20);  // a minute in the movie's timescale
             WriteBE32(b, tkhd + 28, ReadBE32(b, tkhd + 28) + delay);
             WriteBE32(b, mvhd + 24, ReadBE32(b, mvhd + 24) + delay);
             WriteBE32(b, elst + 12, ReadBE32(b, elst + 12) + 1);
             std::vector<uint8_t> empty(12, 0);
             WriteBE32(empty, 0, delay);
             WriteBE32(empty, 4, 0xFFFFFFFF);
             WriteBE32(empty, 8, 0x00010000);
             return InsertBox(b, elst + 16, empty, {moov, trak, edts, elst});
         },
         "clip.mp4"},
        // A cut kept by copying: the video's edit shows its last tenth of a
        // second, after media the cut left in for its key frame.
        {"cut_by_edit.mp4",
         [](std::vector<uint8_t> b) {
             size_t moov = static_cast<size_t>(FindTopBox(b, "moov").start);
             size_t mvhd = static_cast<size_t>(FindBytes(b, "mvhd", moov)) - 4;
             size_t tkhd = static_cast<size_t>(FindBytes(b, "tkhd", moov)) - 4;
             size_t elst = static_cast<size_t>(FindBytes(b, "elst", moov)) - 4;
             size_t mdhd = static_cast<size_t>(FindBytes(b, "mdhd", moov)) - 4;
             const uint32_t shown = ReadBE32(b, mvhd + 20) / 10, media = ReadBE32(b, mdhd + 24);
             WriteBE32(b, tkhd + 28, shown);
             WriteBE32(b, elst + 16, shown);
             WriteBE32(b, elst + 20, media - ReadBE32(b, mdhd + 20) / 10);
             return b;
         },
         "clip.mp4"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string fixture = RequireFixture(c.fixture);
        if (fixture.empty())
            return;
        std::string path = dir.Path(c.name);
        ASSERT_TRUE(WriteFileBytes(path, c.variant(ReadFileBytes(fixture))));
        ASSERT_TRUE(CheckMedia(path).CleanDecode()) << CheckMedia(path).Summary();
        Outcome o = Mend(path, "");
        EXPECT_EQ(o.parse, 0) << Describe(o);
        EXPECT_EQ(o.format, JRVP_FORMAT_MP4);
        EXPECT_TRUE(o.errors.empty()) << Describe(o);
    }
}

// --- Cut recordings --------------------------------------------------------

TEST(Mp4Cut, FaststartFilesCutAt60PercentKeepEverySampleBeforeTheCut)
{
    ScratchDir dir("mp4");
    const struct {
        const char* fixture;
        int padding;
    } cases[] = {
        {"clip_faststart.mp4", 0}, {"clip_faststart.mov", 0}, {"clip_faststart.m4a", 0},
        {"clip_faststart.3gp", 0},
        // A preallocated recording: zeros after the cut are not media.
        {"clip_faststart.mp4", 4096},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.fixture) + " padding " + std::to_string(c.padding));
        std::string fixture = RequireFixture(c.fixture);
        if (fixture.empty())
            return;
        MediaReport original = CheckMedia(fixture);
        std::vector<uint8_t> bytes = ReadFileBytes(fixture);
        int64_t cut = static_cast<int64_t>(bytes.size()) * 6 / 10;
        bytes.resize(static_cast<size_t>(cut));
        bytes.resize(bytes.size() + c.padding, 0);
        Outcome o;
        MediaReport repaired = RepairAndCheck(dir, c.fixture, bytes, &o);
        EXPECT_NE(std::find(o.errors.begin(), o.errors.end(), JRVP_DAMAGE_INDEX), o.errors.end());
        std::map<int, int64_t> want = PacketsPerStream(original, cut);
        std::map<int, int64_t> got = PacketsPerStream(repaired);
        EXPECT_EQ(got, want) << repaired.Summary();
        double longest = 0;
        for (const StreamReport& s : repaired.streams)
            longest = std::max(longest, s.endSeconds);
        EXPECT_NEAR(repaired.durationSeconds, longest, 0.15) << repaired.Summary();
        EXPECT_LT(repaired.durationSeconds, original.durationSeconds * 0.8);
    }
}

TEST(Mp4Cut, FragmentedRecordingKeepsItsCompleteFragments)
{
    ScratchDir dir("mp4");
    std::string fixture = RequireFixture("clip_frag.mp4");
    if (fixture.empty())
        return;
    MediaReport original = CheckMedia(fixture);
    std::vector<uint8_t> bytes = ReadFileBytes(fixture);
    // Cut inside the last fragment's data: the fragments before it are whole.
    Box lastMoof;
    for (int64_t p = 0; (p = FindBytes(bytes, "moof", static_cast<size_t>(p) + 1)) > 0;)
        lastMoof.start = p - 4;
    ASSERT_GT(lastMoof.start, 0);
    int64_t cut = lastMoof.start + (static_cast<int64_t>(bytes.size()) - lastMoof.start) / 2;
    bytes.resize(static_cast<size_t>(cut));
    // Some free space ahead of the fragments, which the rebuild drops: the
    // fragments move, and their data offsets with them.
    std::vector<uint8_t> freeBox = {0, 0, 0, 16, 'f', 'r', 'e', 'e', 1, 2, 3, 4, 5, 6, 7, 8};
    Box moov = FindTopBox(bytes, "moov");
    bytes.insert(bytes.begin() + moov.start + moov.size, freeBox.begin(), freeBox.end());
    MediaReport repaired = RepairAndCheck(dir, "frag.mp4", bytes);
    EXPECT_EQ(PacketsPerStream(repaired), PacketsPerStream(original, lastMoof.start)) << repaired.Summary();
}

// A fragment whose size field does not hold loses no other fragment: its
// data ends where the next fragment begins, and a fragment box whose own
// boxes fill it up to its data lost only the size field. Bytes spliced in
// between fragments are dropped, and the data offsets of the fragments that
// they moved (absolute positions, as ffmpeg writes them) are written anew.
TEST(Mp4Cut, BrokenFragmentSizesLoseNoOtherFragment)
{
    ScratchDir dir("mp4");
    // Positions in the file being damaged.
    auto secondMoof = [](const std::vector<uint8_t>& b) {
        return FindBytes(b, "moof", static_cast<size_t>(FindBytes(b, "moof") + 4)) - 4;
    };
    auto secondMdat = [=](const std::vector<uint8_t>& b) {
        return secondMoof(b) + ReadBE32(b, static_cast<size_t>(secondMoof(b)));
    };
    auto firstMdat = [](const std::vector<uint8_t>& b) { return FindTopBox(b, "mdat").start; };
    using Where = std::function<int64_t(const std::vector<uint8_t>&)>;
    auto grow = [](Where at, int64_t delta) {
        return [=](std::vector<uint8_t>& b) {
            size_t p = static_cast<size_t>(at(b));
            WriteBE32(b, p, ReadBE32(b, p) + static_cast<uint32_t>(delta));
        };
    };
    auto put = [](Where at, uint32_t value) {
        return [=](std::vector<uint8_t>& b) { WriteBE32(b, static_cast<size_t>(at(b)), value); };
    };
    auto splice = [](Where at) {
        return [=](std::vector<uint8_t>& b) {
            std::vector<uint8_t> junk = PseudoRandomBytes(65536, 9);
            b.insert(b.begin() + at(b), junk.begin(), junk.end());
        };
    };
    auto lastMoof = [](const std::vector<uint8_t>& b) {
        int64_t last = -1;
        for (int64_t p = 0; (p = FindBytes(b, "moof", static_cast<size_t>(p) + 1)) > 0;)
            last = p - 4;
        return last;
    };
    // The data offset of the last fragment's first run.
    auto runOffset = [=](const std::vector<uint8_t>& b) {
        return FindBytes(b, "trun", static_cast<size_t>(lastMoof(b))) + 12;
    };
    enum Keep { kAll, kFromSecond, kBeforeLast };
    const struct {
        const char* name;
        std::function<void(std::vector<uint8_t>&)> damage;
        Keep keep;
        JRVPFileError recorded;
    } cases[] = {
        {"first fragment's mdat too large", grow(firstMdat, 3000), kFromSecond, JRVP_DAMAGE_INDEX},
        {"second moof too large", grow(secondMoof, 3000), kAll, JRVP_DAMAGE_INDEX},
        // Size 0 says "to the end of the file", which no fragment box is.
        {"second moof size zero", put(secondMoof, 0), kAll, JRVP_DAMAGE_INDEX},
        // A track fragment ends where its own boxes end.
        {"second moof's first traf size zero", put([=](const std::vector<uint8_t>& b) {
             return FindBytes(b, "traf", static_cast<size_t>(secondMoof(b))) - 4;
         }, 0), kAll, JRVP_DAMAGE_INDEX},
        {"garbage spliced in before the second moof", splice(secondMoof), kAll, JRVP_DAMAGE_SEGMENT},
        {"garbage spliced in between the second moof and its mdat", splice(secondMdat), kAll, JRVP_DAMAGE_SEGMENT},
        // A run whose data offset points past its fragment's data would
        // play bytes of no sample: the fragment is left out.
        {"last fragment's run pointing past its data", put(runOffset, 5000000), kBeforeLast, JRVP_DAMAGE_INDEX},
    };
    // ffmpeg names each fragment's data by absolute position, GStreamer
    // relative to the fragment.
    for (const char* name : {"clip_frag.mp4", "clip_gst_frag.mp4"}) {
        std::string fixture = RequireFixture(name);
        if (fixture.empty())
            return;
        MediaReport original = CheckMedia(fixture);
        const std::vector<uint8_t> clean = ReadFileBytes(fixture);
        ASSERT_GT(secondMoof(clean), 0);
        std::map<int, int64_t> all = PacketsPerStream(original), fromSecond = all,
                               beforeLast = PacketsPerStream(original, lastMoof(clean));
        for (const auto& n : PacketsPerStream(original, secondMoof(clean)))
            fromSecond[n.first] -= n.second;
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.name) + " (" + name + ")");
            std::vector<uint8_t> bytes = clean;
            c.damage(bytes);
            Outcome o;
            MediaReport repaired = RepairAndCheck(dir, "frag.mp4", bytes, &o);
            std::map<int, int64_t> want = c.keep == kAll ? all : c.keep == kFromSecond ? fromSecond : beforeLast;
            // A stream left without packets is not counted.
            for (auto it = want.begin(); it != want.end();)
                it = it->second == 0 ? want.erase(it) : std::next(it);
            EXPECT_EQ(PacketsPerStream(repaired), want) << repaired.Summary();
            EXPECT_NE(std::find(o.errors.begin(), o.errors.end(), c.recorded), o.errors.end()) << Describe(o);
        }
    }
}

// The random-access index at the end of a fragmented recording is dropped by
// every rebuild; wiped, it is damage of its own and costs no fragment.
TEST(Mp4Cut, WipedRandomAccessIndexCostsNoFragment)
{
    ScratchDir dir("mp4");
    std::string fixture = RequireFixture("clip_frag.mp4");
    if (fixture.empty())
        return;
    MediaReport original = CheckMedia(fixture);
    std::vector<uint8_t> bytes = ReadFileBytes(fixture);
    Box mfra = FindTopBox(bytes, "mfra");
    ASSERT_GT(mfra.start, 0);
    std::fill(bytes.begin() + mfra.start + 8, bytes.begin() + mfra.start + mfra.size, 0);
    Outcome outcome;
    MediaReport repaired = RepairAndCheck(dir, "frag.mp4", bytes, &outcome);
    EXPECT_FALSE(outcome.errors.empty());
    EXPECT_EQ(PacketsPerStream(repaired), PacketsPerStream(original)) << repaired.Summary();
}

// --- Broken size fields ----------------------------------------------------

TEST(Mp4Sizes, WrongMediaDataSizesAndTrailingGarbageStillPlayInFull)
{
    ScratchDir dir("mp4");
    // Writes the size field of a top-level box, from its true size.
    auto setSize = [](const char* type, std::function<int64_t(int64_t)> size) {
        return [=](std::vector<uint8_t>& b) {
            Box box = FindTopBox(b, type);
            WriteBE32(b, static_cast<size_t>(box.start), static_cast<uint32_t>(size(box.size)));
        };
    };
    auto mdatSize = [&](int64_t delta) { return setSize("mdat", [=](int64_t s) { return s + delta; }); };
    auto spliceBefore = [](const char* type) {
        return [=](std::vector<uint8_t>& b) {
            std::vector<uint8_t> junk = PseudoRandomBytes(65536, 13);
            b.insert(b.begin() + FindTopBox(b, type).start, junk.begin(), junk.end());
        };
    };
    auto garbageTail = [](std::vector<uint8_t>& b) {
        std::vector<uint8_t> junk = PseudoRandomBytes(40, 7);
        b.insert(b.end(), junk.begin(), junk.end());
    };
    const struct {
        const char* name;
        const char* fixture;
        std::function<void(std::vector<uint8_t>&)> damage;
    } cases[] = {
        {"mdat too small", "clip.mp4", mdatSize(-5000)},
        {"mdat too large", "clip.mp4", mdatSize(+3000)},
        {"mdat far too large", "clip.mp4", mdatSize(+100000000)},
        {"faststart mdat too small", "clip_faststart.mp4", mdatSize(-5000)},
        {"faststart mdat too large", "clip_faststart.mp4", mdatSize(+3000)},
        {"garbage after the movie box", "clip.mp4", garbageTail},
        // The walk goes on where the damage search found the box's end.
        {"meta of wrong size before a free box", "clip.mp4",
         [](std::vector<uint8_t>& b) {
             std::vector<uint8_t> meta = IsoMetaBox();
             WriteBE32(meta, 0, static_cast<uint32_t>(meta.size() + 6));
             const uint8_t freeBox[] = {0, 0, 0, 16, 'f', 'r', 'e', 'e', 1, 2, 3, 4, 5, 6, 7, 8};
             b.insert(b.end(), meta.begin(), meta.end());
             b.insert(b.end(), freeBox, freeBox + sizeof(freeBox));
         }},
        {"garbage after the media data", "clip_faststart.mp4", garbageTail},
        // A recorder that never patched its media data size, but wrote the
        // movie box after it all the same.
        {"mdat of size 0 before the movie box", "clip.mp4", setSize("mdat", [](int64_t) { return 0; })},
        // Past any window around the declared end: a long recording.
        {"mdat too small, movie box 11 MiB further on", "clip.mp4",
         [&](std::vector<uint8_t>& b) {
             std::vector<uint8_t> freeBox(11u << 20, 0);
             WriteBE32(freeBox, 0, static_cast<uint32_t>(freeBox.size()));
             std::memcpy(&freeBox[4], "free", 4);
             b.insert(b.begin() + FindTopBox(b, "moov").start, freeBox.begin(), freeBox.end());
             mdatSize(-5000)(b);
         }},
        // Only the size field is wrong: the boxes inside fill the movie box
        // up to the media data.
        {"faststart moov too large", "clip_faststart.mp4", setSize("moov", [](int64_t s) { return s + 100000; })},
        {"faststart moov of size 3", "clip_faststart.mp4", setSize("moov", [](int64_t) { return 3; })},
        // Bytes spliced in between boxes move the media data: the chunk
        // offsets, written before, name it as many bytes early.
        {"garbage spliced in before the media data", "clip_faststart.mp4", spliceBefore("mdat")},
        {"garbage spliced in before the movie box", "clip_faststart.mp4", spliceBefore("moov")},
        {"garbage spliced in before the free space", "clip.mp4", spliceBefore("free")},
        // Sectors wiped at the start of the file: still ISO media.
        {"ftyp header zeroed", "clip.mp4", [](std::vector<uint8_t>& b) { std::memset(b.data(), 0, 8); }},
        {"faststart ftyp header zeroed", "clip_faststart.mp4",
         [](std::vector<uint8_t>& b) { std::memset(b.data(), 0, 8); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string fixture = RequireFixture(c.fixture);
        if (fixture.empty())
            return;
        MediaReport original = CheckMedia(fixture);
        std::vector<uint8_t> bytes = ReadFileBytes(fixture);
        c.damage(bytes);
        MediaReport repaired = RepairAndCheck(dir, c.fixture, bytes);
        EXPECT_EQ(PacketsPerStream(repaired), PacketsPerStream(original)) << repaired.Summary();
        EXPECT_NEAR(repaired.durationSeconds, original.durationSeconds, 0.1);
    }
}

// Files that are clearly ISO media but cannot be rebuilt end with a code of
// their own, so no other container's repairer gets them; hostile sizes end
// quickly with a recorded damage or such a code.
TEST(Mp4Sizes, UnrepairableAndHostileFilesEndClearlyAndQuickly)
{
    ScratchDir dir("mp4");
    struct Case {
        const char* name;
        const char* fixture;
        std::function<void(std::vector<uint8_t>&)> damage;
        bool mustFail;  // else: parsed with a recorded damage
    };
    auto setSize = [](const char* type, uint32_t size, const char* inside = nullptr) {
        return [=](std::vector<uint8_t>& b) {
            size_t from = inside ? static_cast<size_t>(FindTopBox(b, inside).start) : 0;
            WriteBE32(b, static_cast<size_t>(FindBytes(b, type, from)) - 4, size);
        };
    };
    const Case cases[] = {
        {"moov cut in half", "clip_faststart.mp4",
         [](std::vector<uint8_t>& b) {
             Box moov = FindTopBox(b, "moov");
             b.resize(static_cast<size_t>(moov.start + moov.size / 2));
         },
         true},
        {"no movie box", "clip.mp4",
         [](std::vector<uint8_t>& b) { b.resize(static_cast<size_t>(FindTopBox(b, "moov").start)); }, true},
        // A track whose size alone is broken is still whole: its children
        // say where it ends.
        {"only trak of size 0", "clip_faststart.m4a", setSize("trak", 0), false},
        {"largesize all ones", "clip.mp4",
         [](std::vector<uint8_t>& b) {
             size_t at = static_cast<size_t>(FindTopBox(b, "mdat").start);
             WriteBE32(b, at, 1);
             WriteBE32(b, at + 8, 0xFFFFFFFF);
             WriteBE32(b, at + 12, 0xFFFFFFFF);
         },
         false},
        {"size 1 without largesize", "clip.mp4",
         [](std::vector<uint8_t>& b) {
             const uint8_t tail[] = {0, 0, 0, 1, 's', 'k', 'i', 'p', 1, 2, 3, 4};
             b.insert(b.end(), tail, tail + sizeof(tail));
         },
         false},
        {"mdat size below its header", "clip.mp4", setSize("mdat", 4), false},
        {"zeroed header between boxes", "clip.mp4",
         [](std::vector<uint8_t>& b) {
             size_t at = static_cast<size_t>(FindTopBox(b, "free").start);
             WriteBE32(b, at, 0);
             WriteBE32(b, at + 4, 0);
         },
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string fixture = RequireFixture(c.fixture);
        if (fixture.empty())
            return;
        std::vector<uint8_t> bytes = ReadFileBytes(fixture);
        c.damage(bytes);
        std::string in = dir.Path("in.mp4"), out = dir.Path("out.mp4");
        ASSERT_TRUE(WriteFileBytes(in, bytes));
        Outcome o = Mend(in, out);
        // Quickly: no case makes more than 168 reads nor reads its file more
        // than twice over, and the bounds stand 6 and 4 times above that; a
        // search through these 1-38 KB files a position at a time, or a loop
        // as long as a hostile field says, makes tens of thousands or more.
        const ReadCounts calls = ParseCalls(in);
        EXPECT_LT(calls.reads, 1000) << calls.seeks << " seeks";
        EXPECT_LE(calls.bytes, 8 * static_cast<int64_t>(bytes.size()));
        if (c.mustFail) {
            EXPECT_EQ(o.parse, JRVP_ERR_UNREPAIRABLE) << Describe(o);
        } else {
            EXPECT_EQ(o.parse, 0) << Describe(o);
            EXPECT_FALSE(o.errors.empty()) << Describe(o);
            EXPECT_LE(o.repair, 0) << Describe(o);
        }
    }
}

// --- Damage inside the movie box --------------------------------------------

// The child of a box (given by its header's offset) of the given type.
Box FindChild(const std::vector<uint8_t>& b, int64_t parent, const char* type)
{
    int64_t end = parent + ReadBE32(b, static_cast<size_t>(parent));
    for (int64_t pos = parent + 8; pos + 8 <= end;) {
        uint32_t size = ReadBE32(b, static_cast<size_t>(pos));
        if (memcmp(&b[static_cast<size_t>(pos) + 4], type, 4) == 0)
            return Box{pos, size};
        if (size < 8)
            break;
        pos += size;
    }
    return Box{};
}

// Packets per kind of stream: a rebuilt movie that lost a track numbers
// the others anew.
std::map<AVMediaType, int64_t> PacketsPerType(const MediaReport& r)
{
    std::map<AVMediaType, int64_t> n;
    for (const PacketInfo& p : r.packets)
        for (const StreamReport& st : r.streams)
            if (st.index == p.stream)
                ++n[st.type];
    return n;
}

// A broken child of the movie box costs only itself: user data, metadata
// or a track is left out and the movie is rebuilt from what is whole. Only
// a broken movie header, or no whole track, leaves nothing to rebuild. A
// track, or a box inside it, whose size alone is broken is kept: it ends
// where its own sound children (or the entries its count names) end, at
// its next sibling.
TEST(Mp4Movie, ABrokenChildOfTheMovieBoxCostsOnlyItself)
{
    ScratchDir dir("mp4");
    // Sets the size of the movie box's first child of a type: its true
    // size plus `delta`, or `exact` when given.
    auto childSize = [](const char* type, int64_t delta, int64_t exact = -1) {
        return [=](std::vector<uint8_t>& b) {
            Box child = FindChild(b, FindTopBox(b, "moov").start, type);
            WriteBE32(b, static_cast<size_t>(child.start), static_cast<uint32_t>(exact >= 0 ? exact : child.size + delta));
        };
    };
    // Sets the size field of the n-th (from 0) box of a type in the file.
    auto nthSize = [](const char* type, int n, uint32_t value) {
        return [=](std::vector<uint8_t>& b) {
            WriteBE32(b, static_cast<size_t>(FindNth(b, type, n)) - 4, value);
        };
    };
    // ffmpeg writes the user data last; a faststart file's movie box can
    // have it moved in front of the tracks without moving any sample.
    auto udtaFirst = [](std::vector<uint8_t>& b) {
        int64_t moov = FindTopBox(b, "moov").start;
        Box mvhd = FindChild(b, moov, "mvhd"), udta = FindChild(b, moov, "udta");
        std::vector<uint8_t> u(b.begin() + udta.start, b.begin() + udta.start + udta.size);
        b.erase(b.begin() + udta.start, b.begin() + udta.start + udta.size);
        b.insert(b.begin() + mvhd.start + mvhd.size, u.begin(), u.end());
    };
    // Appends `box` to the movie box of a file that ends with it.
    auto appendToMoov = [](std::vector<uint8_t> box) {
        return [=](std::vector<uint8_t>& b) {
            int64_t moov = FindTopBox(b, "moov").start;
            b = InsertBox(b, b.size(), box, {static_cast<size_t>(moov)});
        };
    };
    std::vector<uint8_t> metaNoHandler = IsoMetaBox(), metaTooLarge = IsoMetaBox();
    metaNoHandler[12 + 7] = 'X';  // "hdlr" becomes "hdlX"
    WriteBE32(metaTooLarge, 0, static_cast<uint32_t>(metaTooLarge.size() + 6));
    enum Expect { kEveryPacket, kAudioOnly, kUnrepairable };
    const struct {
        const char* name;
        const char* fixture;
        std::function<void(std::vector<uint8_t>&)> damage;
        Expect expect;
    } cases[] = {
        {"udta 4000 bytes too large", "clip.mp4", childSize("udta", 4000), kEveryPacket},
        {"faststart udta 4000 bytes too large", "clip_faststart.mp4", childSize("udta", 4000), kEveryPacket},
        {"udta before the tracks, 4000 bytes too large", "clip_faststart.mp4",
         [&](std::vector<uint8_t>& b) { udtaFirst(b), childSize("udta", 4000)(b); }, kEveryPacket},
        // Its declared end falls inside the first track, on no header.
        {"udta before the tracks, 400 bytes too large", "clip_faststart.mp4",
         [&](std::vector<uint8_t>& b) { udtaFirst(b), childSize("udta", 400)(b); }, kEveryPacket},
        {"udta 20 bytes too small", "clip.mp4", childSize("udta", -20), kEveryPacket},
        // The user data fills itself exactly: it is kept, the stray bytes
        // after it are not.
        {"stray bytes after udta", "clip.mp4", appendToMoov(PseudoRandomBytes(24, 5)), kEveryPacket},
        {"meta without its handler", "clip.mp4", appendToMoov(metaNoHandler), kEveryPacket},
        {"meta 6 bytes too large", "clip.mp4", appendToMoov(metaTooLarge), kEveryPacket},
        {"video trak of size 0", "clip_faststart.mp4", childSize("trak", 0, 0), kEveryPacket},
        {"video trak 4000 bytes too large", "clip_faststart.mp4", childSize("trak", 4000), kEveryPacket},
        {"audio trak of size 1", "clip.mp4", nthSize("trak", 1, 1), kEveryPacket},
        {"GStreamer's video trak of size 2^31", "clip_gst.mov", nthSize("trak", 0, 0x80000000), kEveryPacket},
        {"video edts of size 0", "clip.mp4", nthSize("edts", 0, 0), kEveryPacket},
        {"audio mdia of size all ones", "clip_faststart.mp4", nthSize("mdia", 1, 0xFFFFFFFF), kEveryPacket},
        {"video minf of size 1", "clip.mov", nthSize("minf", 0, 1), kEveryPacket},
        {"video stbl of size 0", "clip_gst.mp4", nthSize("stbl", 0, 0), kEveryPacket},
        {"3GP audio stbl of size 2^31", "clip.3gp", nthSize("stbl", 1, 0x80000000), kEveryPacket},
        // A sample table box ends after the entries its count names.
        {"video stsd of size 0", "clip.mp4", nthSize("stsd", 0, 0), kEveryPacket},
        {"audio stts of size all ones", "clip_gst.mov", nthSize("stts", 1, 0xFFFFFFFF), kEveryPacket},
        {"video stco of size 2^31", "clip.mov", nthSize("stco", 0, 0x80000000), kEveryPacket},
        {"video stsz of size 0", "clip.mp4", nthSize("stsz", 0, 0), kEveryPacket},
        {"GStreamer's stss of size 0", "clip_gst.mp4", nthSize("stss", 0, 0), kEveryPacket},
        // Its size holds, but it lacks a box that every track needs.
        {"video trak without its media header", "clip_faststart.mp4",
         [](std::vector<uint8_t>& b) { b[static_cast<size_t>(FindBytes(b, "mdhd")) + 3] = 'X'; }, kAudioOnly},
        {"mvhd 4000 bytes too large", "clip.mp4", childSize("mvhd", 4000), kUnrepairable},
        {"mvhd 8 bytes too small", "clip_faststart.mp4", childSize("mvhd", -8), kUnrepairable},
        {"only trak 4000 bytes too large", "clip.m4a", childSize("trak", 4000), kEveryPacket},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " (" + c.fixture + ")");
        std::string fixture = RequireFixture(c.fixture);
        if (fixture.empty())
            return;
        MediaReport original = CheckMedia(fixture);
        std::vector<uint8_t> bytes = ReadFileBytes(fixture);
        c.damage(bytes);
        if (c.expect == kUnrepairable) {
            std::string in = dir.Path("in.mp4");
            ASSERT_TRUE(WriteFileBytes(in, bytes));
            Outcome o = Mend(in, dir.Path("out.mp4"));
            EXPECT_EQ(o.parse, JRVP_ERR_UNREPAIRABLE) << Describe(o);
            continue;
        }
        MediaReport repaired = RepairAndCheck(dir, c.fixture, bytes);
        std::map<AVMediaType, int64_t> want = PacketsPerType(original);
        if (c.expect == kAudioOnly)
            want.erase(AVMEDIA_TYPE_VIDEO);
        EXPECT_EQ(PacketsPerType(repaired), want) << repaired.Summary();
        if (c.expect == kEveryPacket) {
            EXPECT_NEAR(repaired.durationSeconds, original.durationSeconds, 0.1);
        }
    }
}

// Table entries wiped to zeros in a file whose media data is whole: chunk
// offsets that point outside the data, "stsc" runs that stop ascending,
// sound samples of size 0 amid sized ones. A damaged index, not an intact
// file; the rebuild keeps that track up to the wiped entries and every
// other track whole.
TEST(Mp4Tables, WipedTableEntriesAreADamagedIndex)
{
    ScratchDir dir("mp4");
    const struct {
        const char* name;
        const char* fixture;
        const char* table;
        int track;  // which track's table, in file order
        size_t countAt;  // from the FourCC; the entries follow the count
        size_t entryBytes;
    } cases[] = {
        {"chunk offsets", "clip_faststart.mp4", "stco", 0, 8, 4},
        {"sample-to-chunk entries", "clip_faststart.mp4", "stsc", 1, 8, 12},
        {"GStreamer's sound sample sizes", "clip_gst.mp4", "stsz", 1, 12, 4},
        {"ffmpeg's video sample sizes", "clip_faststart.mp4", "stsz", 0, 12, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string fixture = RequireFixture(c.fixture);
        if (fixture.empty())
            return;
        MediaReport original = CheckMedia(fixture);
        std::vector<uint8_t> bytes = ReadFileBytes(fixture);
        const int64_t at = FindNth(bytes, c.table, c.track);
        ASSERT_GT(at, 0);
        const uint32_t entries = ReadBE32(bytes, static_cast<size_t>(at) + c.countAt);
        ASSERT_GE(entries, 4u);
        std::memset(&bytes[static_cast<size_t>(at) + c.countAt + 4 + c.entryBytes * (entries / 2)], 0,
                    2 * c.entryBytes);
        Outcome o;
        MediaReport repaired = RepairAndCheck(dir, "table.mp4", bytes, &o);
        EXPECT_FALSE(o.errors.empty()) << Describe(o);
        std::map<int, int64_t> want = PacketsPerStream(original), got = PacketsPerStream(repaired);
        ASSERT_EQ(got.size(), want.size()) << repaired.Summary();
        for (const auto& n : want) {
            if (n.first == c.track) {
                EXPECT_GT(got[n.first], 0);
                EXPECT_LT(got[n.first], n.second);
            } else {
                EXPECT_EQ(got[n.first], n.second) << "stream " << n.first;
            }
        }
    }
}

// One field of a track set wrong while everything it describes is whole:
// an entry count (wiped, or naming more entries than its box holds), the
// size of a sample description, a movie or media timescale, an edit, the
// sample count of a fragment's run. libavformat then refuses the file, sees
// no sample of the track, or times it wrong, so the file is damaged; the
// rebuild takes the field back from what the file holds (the entries the
// box holds, the description's box, the track's durations or sample rate,
// the media an edit shows) and keeps every packet.
TEST(Mp4Tables, WrongCountsSizesAndTimescalesAreRestoredFromWhatTheFileHolds)
{
    ScratchDir dir("mp4");
    const struct {
        const char* fixture;
        const char* box;
        int nth;        // which box of that type, in file order
        size_t field;   // from the box start
        uint32_t value;
    } cases[] = {
        {"clip_faststart.mp4", "stsz", 0, 16, 0},
        {"clip_faststart.mp4", "stco", 0, 12, 0},
        // More entries than the box holds: libavformat reads the next boxes
        // as entries, or stops reading the header.
        {"clip_faststart.mp4", "stsz", 0, 16, 0xFFFFFFFF},
        {"clip_faststart.mp4", "stco", 1, 12, 0x80000000},
        {"clip_faststart.mp4", "stco", 0, 12, 31},
        {"clip_faststart.mp4", "stsc", 0, 12, 0xFFFFFFFF},
        {"clip_faststart.mp4", "stss", 0, 12, 0x80000000},
        {"clip_faststart.mp4", "stts", 1, 12, 0xFFFFFFFF},
        {"clip.mp4", "stsz", 1, 16, 46},
        {"clip_gst.mp4", "stsc", 1, 12, 0x7FFFFFFF},
        {"clip_gst.mp4", "ctts", 0, 12, 0xFFFFFFFF},
        // Fewer: samples or runs of the sound go missing, or libavformat
        // finds the track's time table missing.
        {"clip_faststart.mp4", "stts", 0, 12, 0},
        {"clip_faststart.mp4", "stsc", 1, 12, 1},
        {"clip_faststart.mp4", "stsc", 0, 12, 0},
        {"clip.mov", "stts", 1, 12, 1},
        // A sample description of size 0, or running past its box.
        {"clip_faststart.mp4", "stsd", 0, 16, 0},
        {"clip.mov", "stsd", 1, 16, 0xFFFFFFFF},
        {"clip_gst.mp4", "stsd", 0, 16, 1},
        // Media timescales: none, past a signed reader, far too small.
        {"clip_faststart.mp4", "mdhd", 0, 20, 0},
        {"clip_faststart.mp4", "mdhd", 1, 20, 0x80000000},
        {"clip_gst.mp4", "mdhd", 0, 20, 1},
        {"clip_gst.mov", "mdhd", 1, 20, 0xFFFFFFFF},
        // A movie timescale of none, or past a signed reader, or one that
        // puts every track far from its own media timescale.
        {"clip.mp4", "mvhd", 0, 20, 0},
        {"clip_gst.mov", "mvhd", 0, 20, 0x80000000},
        {"clip_gst.mov", "mvhd", 0, 20, 1},
        // Sample description counts other than the descriptions the box holds.
        {"clip.mp4", "stsd", 0, 12, 0},
        {"clip_gst.mov", "stsd", 1, 12, 0xFFFFFFFF},
        {"clip.3gp", "stsd", 0, 12, 0x80000000},
        // An edit that shows no media, or a frame of it, or starts past it.
        {"clip.mp4", "elst", 0, 16, 0},
        {"clip.mp4", "elst", 1, 16, 1},
        {"clip_gst.mov", "elst", 0, 20, 0xFFFFFFFF},
        {"clip.mov", "elst", 1, 20, 0x80000000},
        // A fragment's run naming more samples than it holds, or one.
        {"clip_frag.mp4", "trun", 0, 12, 0xFFFFFFFF},
        {"clip_frag.mp4", "trun", 1, 12, 1},
        {"clip_gst_frag.mp4", "trun", 0, 12, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.fixture) + " " + c.box + " " + std::to_string(c.nth) + " = " +
                     std::to_string(c.value));
        std::string fixture = RequireFixture(c.fixture);
        if (fixture.empty())
            return;
        MediaReport original = CheckMedia(fixture);
        std::vector<uint8_t> bytes = ReadFileBytes(fixture);
        const int64_t at = FindNth(bytes, c.box, c.nth);
        ASSERT_GT(at, 0);
        WriteBE32(bytes, static_cast<size_t>(at) - 4 + c.field, c.value);
        Outcome o;
        MediaReport repaired = RepairAndCheck(dir, "field.mp4", bytes, &o);
        EXPECT_FALSE(o.errors.empty()) << Describe(o);
        EXPECT_EQ(PacketsPerStream(repaired), PacketsPerStream(original)) << repaired.Summary();
        EXPECT_NEAR(repaired.durationSeconds, original.durationSeconds, 0.1);
    }
}

// A media duration set wrong beside a sound timescale is not a wrong
// timescale: the samples' own times say which of the two the damage took.
// Taking the timescale anew from such a duration timed a video track's
// samples a thousand times too slow, and the copy kept one frame of 30.
TEST(Mp4Tables, AWrongMediaDurationLeavesTheTimescaleAlone)
{
    ScratchDir dir("mp4");
    // The media duration, or the time table's own count of samples, which
    // says the samples last longer or shorter than they do.
    const struct {
        const char* fixture;
        const char* box;
        int nth;     // which such box, in file order
        int offset;  // of the field from the box's start
        uint32_t value;
    } cases[] = {
        {"clip_faststart.mp4", "mdhd", 0, 24, 1},
        {"clip_faststart.mp4", "mdhd", 1, 24, 1},
        {"clip.mp4", "mdhd", 0, 24, 2},
        {"clip_gst.mov", "mdhd", 0, 24, 1},
        {"clip_gst.mp4", "mdhd", 1, 24, 0x10},
        {"clip.mp4", "stts", 0, 16, 1},
        {"clip.mp4", "stts", 1, 16, 0},
        {"clip_gst.mp4", "stts", 0, 16, 1},
        {"clip.3gp", "stts", 1, 16, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.fixture) + " " + c.box + " " + std::to_string(c.nth) + " at " +
                     std::to_string(c.offset) + " = " + std::to_string(c.value));
        std::string fixture = RequireFixture(c.fixture);
        if (fixture.empty())
            return;
        const MediaReport original = CheckMedia(fixture);
        std::vector<uint8_t> bytes = ReadFileBytes(fixture);
        const int64_t at = FindNth(bytes, c.box, c.nth);
        ASSERT_GT(at, 0);
        ASSERT_EQ(bytes[static_cast<size_t>(at) + 4], 0) << "a version-0 box";
        WriteBE32(bytes, static_cast<size_t>(at) - 4 + c.offset, c.value);
        const std::string in = dir.Path("duration.mp4"), out = dir.Path("duration_out.mp4");
        ASSERT_TRUE(WriteFileBytes(in, bytes));
        const Outcome o = Mend(in, out);
        ASSERT_EQ(o.parse, 0) << Describe(o);
        // Either way every packet plays: called undamaged, the input as it
        // stands (libavformat times samples by their table); repaired, the copy.
        const MediaReport judged = CheckMedia(o.errors.empty() ? in : out);
        EXPECT_EQ(PacketsPerStream(judged), PacketsPerStream(original)) << judged.Summary();
        EXPECT_TRUE(judged.CleanDecode()) << judged.Summary();
    }
}

// A recording followed by a long damaged stretch (noise, or the zeros of a
// preallocated file that was never filled) is judged a block at a time in
// memory, not a stream call per byte. The parse makes 7330 reads per MiB of
// noise now (a position whose bytes could be a box type is read in full)
// and 1.3 per MiB of zeros; a search position by position makes a million
// or more per MiB (2 million in the noise). The bounds stand 4 and 8 times
// above the counts now.
TEST(Mp4Speed, LongDamagedTailIsJudgedInTimeProportionalToItsSize)
{
    ScratchDir dir("mp4");
    std::string fixture = RequireFixture("clip.mp4");
    if (fixture.empty())
        return;
    const std::vector<uint8_t> clean = ReadFileBytes(fixture);
    const struct {
        const char* name;
        int64_t noise;   // random bytes after the file
        int64_t zeros;   // then a sparse stretch of zeros
        bool damaged;
        double maxReadsPerMiB;
    } cases[] = {
        {"64 MiB of noise", int64_t(64) << 20, 0, true, 30000},
        {"512 MiB of zeros", 0, int64_t(512) << 20, false, 10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> bytes = clean;
        std::vector<uint8_t> noise = PseudoRandomBytes(static_cast<size_t>(c.noise), 11);
        bytes.insert(bytes.end(), noise.begin(), noise.end());
        std::string in = dir.Path("tail.mp4");
        ASSERT_TRUE(WriteFileBytes(in, bytes));
        std::error_code ec;
        std::filesystem::resize_file(in, bytes.size() + static_cast<uint64_t>(c.zeros), ec);
        ASSERT_FALSE(ec) << ec.message();
        Outcome o = Mend(in, "");
        EXPECT_EQ(o.parse, 0) << Describe(o);
        EXPECT_EQ(o.errors.empty(), !c.damaged) << Describe(o);
        const ReadCounts calls = ParseCalls(in);
        EXPECT_LT(calls.ReadsPerMiB(FileSize(in)), c.maxReadsPerMiB)
            << calls.reads << " reads and " << calls.seeks << " seeks";
    }
}

TEST(Mp4Sizes, ACutThatLeavesNoSampleIsNotARepair)
{
    ScratchDir dir("mp4");
    std::string fixture = RequireFixture("clip_faststart.mp4");
    if (fixture.empty())
        return;
    std::vector<uint8_t> bytes = ReadFileBytes(fixture);
    bytes.resize(static_cast<size_t>(FindTopBox(bytes, "mdat").start + 12));
    std::string in = dir.Path("in.mp4");
    ASSERT_TRUE(WriteFileBytes(in, bytes));
    Outcome o = Mend(in, dir.Path("out.mp4"));
    EXPECT_EQ(o.parse, 0) << Describe(o);
    EXPECT_EQ(o.repair, JRVP_ERR_UNREPAIRABLE) << Describe(o);
}

// --- A synthetic file: co64, version-1 headers, two media-data boxes -------

class BoxWriter {
public:
    std::vector<uint8_t> bytes;
    void U8(uint8_t v) { bytes.push_back(v); }
    void U16(uint16_t v) { U8(uint8_t(v >> 8)), U8(uint8_t(v)); }
    void U32(uint32_t v) { U16(uint16_t(v >> 16)), U16(uint16_t(v)); }
    void U64(uint64_t v) { U32(uint32_t(v >> 32)), U32(uint32_t(v)); }
    void Type(const char* t) { bytes.insert(bytes.end(), t, t + 4); }
    size_t Begin(const char* type)
    {
        size_t at = bytes.size();
        U32(0);
        Type(type);
        return at;
    }
    void End(size_t at) { WriteBE32(bytes, at, static_cast<uint32_t>(bytes.size() - at)); }
};

constexpr int kSamples = 12;
constexpr int kPerChunk = 2;
constexpr uint32_t kDelta = 50;

// How a synthetic track gives its sample sizes.
enum SizeTable { kSizesEach = 0, kSizesConstant = 1, kStz2Bits4 = 4, kStz2Bits8 = 8, kStz2Bits16 = 16 };

// One PCM track in a movie box with version-1 "mvhd" and "mdhd", a box after
// "stbl" inside "minf", and chunks of `perChunk` samples of `sampleSize`
// bytes. The chunk offsets are left 0 for the caller to fill: `offsetTable`
// is where the first lies in the returned bytes.
std::vector<uint8_t> MovieBox(int samples, int perChunk, uint32_t sampleSize, SizeTable sizes, bool co64,
                              size_t& offsetTable)
{
    BoxWriter w;
    size_t moov = w.Begin("moov");
    size_t mvhd = w.Begin("mvhd");
    w.U32(0x01000000), w.U64(0), w.U64(0), w.U32(1000), w.U64(uint64_t(samples) * kDelta * 1000 / 8000);
    w.U32(0x00010000), w.U16(0x0100), w.U16(0), w.U32(0), w.U32(0);
    const uint32_t matrix[9] = {0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000};
    for (uint32_t m : matrix)
        w.U32(m);
    for (int i = 0; i < 6; ++i)
        w.U32(0);
    w.U32(2);
    w.End(mvhd);
    size_t trak = w.Begin("trak");
    size_t tkhd = w.Begin("tkhd");
    w.U32(0x00000003), w.U32(0), w.U32(0), w.U32(1), w.U32(0), w.U32(uint32_t(samples) * kDelta * 1000 / 8000);
    w.U32(0), w.U32(0), w.U16(0), w.U16(0), w.U16(0x0100), w.U16(0);
    for (uint32_t m : matrix)
        w.U32(m);
    w.U32(0), w.U32(0);
    w.End(tkhd);
    size_t mdia = w.Begin("mdia");
    size_t mdhd = w.Begin("mdhd");
    w.U32(0x01000000), w.U64(0), w.U64(0), w.U32(8000), w.U64(uint64_t(samples) * kDelta), w.U16(0x55C4), w.U16(0);
    w.End(mdhd);
    size_t hdlr = w.Begin("hdlr");
    w.U32(0), w.U32(0), w.Type("soun"), w.U32(0), w.U32(0), w.U32(0), w.U8(0);
    w.End(hdlr);
    size_t minf = w.Begin("minf");
    size_t smhd = w.Begin("smhd");
    w.U32(0), w.U32(0);
    w.End(smhd);
    size_t dinf = w.Begin("dinf");
    size_t dref = w.Begin("dref");
    w.U32(0), w.U32(1), w.U32(12), w.Type("url "), w.U32(1);
    w.End(dref);
    w.End(dinf);
    size_t stbl = w.Begin("stbl");
    size_t stsd = w.Begin("stsd");
    w.U32(0), w.U32(1);
    size_t sowt = w.Begin("sowt");
    w.U32(0), w.U16(0), w.U16(1), w.U32(0), w.U32(0), w.U16(1), w.U16(16), w.U16(0), w.U16(0), w.U32(8000u << 16);
    w.End(sowt);
    w.End(stsd);
    size_t stts = w.Begin("stts");
    w.U32(0), w.U32(1), w.U32(uint32_t(samples)), w.U32(kDelta);
    w.End(stts);
    size_t stsc = w.Begin("stsc");
    w.U32(0), w.U32(1), w.U32(1), w.U32(uint32_t(perChunk)), w.U32(1);
    w.End(stsc);
    if (sizes == kSizesEach || sizes == kSizesConstant) {
        size_t stsz = w.Begin("stsz");
        w.U32(0), w.U32(sizes == kSizesConstant ? sampleSize : 0), w.U32(uint32_t(samples));
        for (int i = 0; i < samples && sizes == kSizesEach; ++i)
            w.U32(sampleSize);
        w.End(stsz);
    } else {
        size_t stz2 = w.Begin("stz2");
        w.U32(0), w.U32(uint32_t(sizes)), w.U32(uint32_t(samples));
        for (int i = 0; i < samples; ++i) {
            if (sizes == kStz2Bits16)
                w.U16(uint16_t(sampleSize));
            else if (sizes == kStz2Bits8)
                w.U8(uint8_t(sampleSize));
            else if (i % 2 == 0)
                w.U8(uint8_t(sampleSize << 4 | (i + 1 < samples ? sampleSize : 0)));
        }
        w.End(stz2);
    }
    size_t chunkOffsets = w.Begin(co64 ? "co64" : "stco");
    w.U32(0), w.U32(uint32_t(samples / perChunk));
    offsetTable = w.bytes.size();
    for (int i = 0; i < samples / perChunk; ++i)
        co64 ? w.U64(0) : w.U32(0);
    w.End(chunkOffsets);
    w.End(stbl);
    size_t after = w.Begin("udta");
    w.End(after);
    w.End(minf);
    w.End(mdia);
    w.End(trak);
    w.End(moov);
    return w.bytes;
}

void PutBE(std::vector<uint8_t>& b, size_t at, uint64_t v, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i, v >>= 8)
        b[at + size_t(i)] = uint8_t(v);
}

// ftyp, moov (co64), mdat with chunks 1-3, free, mdat with chunks 4-6.
// Sample i is `sampleSize` bytes of the value i + 1.
std::vector<uint8_t> SyntheticFile(std::vector<uint64_t>& sampleStarts, SizeTable sizes, uint32_t sampleSize)
{
    BoxWriter w;
    size_t ftyp = w.Begin("ftyp");
    w.Type("isom"), w.U32(0), w.Type("isom");
    w.End(ftyp);
    size_t offsetTable = 0;
    std::vector<uint8_t> moov = MovieBox(kSamples, kPerChunk, sampleSize, sizes, true, offsetTable);
    size_t firstOffset = w.bytes.size() + offsetTable;
    w.bytes.insert(w.bytes.end(), moov.begin(), moov.end());

    sampleStarts.clear();
    auto chunks = [&](int from, int to) {
        size_t mdat = w.Begin("mdat");
        for (int c = from; c < to; ++c) {
            PutBE(w.bytes, firstOffset + size_t(c) * 8, w.bytes.size(), 8);
            for (int s = 0; s < kPerChunk; ++s) {
                sampleStarts.push_back(w.bytes.size());
                w.bytes.insert(w.bytes.end(), sampleSize, uint8_t(c * kPerChunk + s + 1));
            }
        }
        w.End(mdat);
    };
    chunks(0, 3);
    size_t freeBox = w.Begin("free");
    w.bytes.insert(w.bytes.end(), 40, 0xEE);
    w.End(freeBox);
    chunks(3, 6);
    return w.bytes;
}

uint64_t ReadBE64(const std::vector<uint8_t>& b, size_t at)
{
    return (uint64_t(ReadBE32(b, at)) << 32) | ReadBE32(b, at + 4);
}

TEST(Mp4Rebuild, SyntheticCo64FileGetsEveryOffsetMovedWithItsOwnMediaData)
{
    ScratchDir dir("mp4");
    // A cut inside sample 11 keeps five whole chunks and nothing of the
    // sixth; one inside sample 12 keeps a partial sixth chunk.
    const struct {
        int cutInSample;
        int kept;
        SizeTable sizes;
        uint32_t sampleSize;
    } cases[] = {
        {10, 10, kSizesEach, 100},  {11, 11, kSizesEach, 100}, {11, 11, kSizesConstant, 100},
        {11, 11, kStz2Bits16, 300}, {10, 10, kStz2Bits8, 100}, {11, 11, kStz2Bits4, 10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.kept) + " samples, size table " + std::to_string(c.sizes));
        std::vector<uint64_t> starts;
        std::vector<uint8_t> bytes = SyntheticFile(starts, c.sizes, c.sampleSize);
        std::string intact = dir.Path("synthetic.mp4");
        ASSERT_TRUE(WriteFileBytes(intact, bytes));
        MediaReport original = CheckMedia(intact);
        ASSERT_TRUE(original.CleanDecode()) << original.Summary();
        ASSERT_EQ(Mend(intact, "").errors.size(), 0u);

        bytes.resize(static_cast<size_t>(starts[static_cast<size_t>(c.cutInSample)] + c.sampleSize / 2));
        std::string in = dir.Path("cut.mp4"), out = dir.Path("out.mp4"), again = dir.Path("again.mp4");
        ASSERT_TRUE(WriteFileBytes(in, bytes));
        Outcome o = Mend(in, out, again);
        ASSERT_EQ(o.parse, 0) << Describe(o);
        ASSERT_EQ(o.repair, 0) << Describe(o);
        std::vector<uint8_t> r = ReadFileBytes(out);
        // A second repair by the same object writes the same file.
        EXPECT_EQ(ReadFileBytes(again), r);

        ASSERT_EQ(FindTopBox(r, "ftyp").start, 0);
        EXPECT_LT(FindTopBox(r, "moov").start, FindTopBox(r, "mdat").start);
        EXPECT_EQ(FindTopBox(r, "free").start, -1);
        // Every chunk offset points at its first sample's bytes.
        size_t co64 = static_cast<size_t>(FindBytes(r, "co64")) - 4;
        uint32_t chunks = ReadBE32(r, co64 + 12);
        EXPECT_EQ(chunks, static_cast<uint32_t>((c.kept + kPerChunk - 1) / kPerChunk));
        for (uint32_t k = 0; k < chunks; ++k) {
            uint64_t off = ReadBE64(r, co64 + 16 + k * 8);
            ASSERT_LE(off + c.sampleSize, r.size());
            EXPECT_EQ(r[off], uint8_t(k * kPerChunk + 1)) << "chunk " << k;
            EXPECT_EQ(r[off + c.sampleSize - 1], uint8_t(k * kPerChunk + 1)) << "chunk " << k;
        }
        int64_t sizes = FindBytes(r, c.sizes == kSizesEach || c.sizes == kSizesConstant ? "stsz" : "stz2") - 4;
        ASSERT_GT(sizes, 0);
        EXPECT_EQ(ReadBE32(r, static_cast<size_t>(sizes) + 16), static_cast<uint32_t>(c.kept));
        // The box after "stbl" is still its sibling, not its child.
        size_t stbl = static_cast<size_t>(FindBytes(r, "stbl")) - 4;
        EXPECT_EQ(FindBytes(r, "udta") - 4, static_cast<int64_t>(stbl + ReadBE32(r, stbl)));
        // Version-1 headers take 64-bit durations of what was kept.
        size_t mdhd = static_cast<size_t>(FindBytes(r, "mdhd")) - 4;
        EXPECT_EQ(ReadBE64(r, mdhd + 32), uint64_t(c.kept) * kDelta);
        size_t mvhd = static_cast<size_t>(FindBytes(r, "mvhd")) - 4;
        EXPECT_EQ(ReadBE64(r, mvhd + 32), uint64_t(c.kept) * kDelta * 1000 / 8000);

        MediaReport repaired = CheckMedia(out);
        EXPECT_TRUE(repaired.CleanDecode()) << repaired.Summary();
        ASSERT_EQ(repaired.packets.size(), static_cast<size_t>(c.kept)) << repaired.Summary();
        for (size_t i = 0; i < repaired.packets.size(); ++i)
            EXPECT_EQ(r[static_cast<size_t>(repaired.packets[i].pos)], uint8_t(i + 1));
    }
}

}  // namespace

namespace {

// An input of any length that is zero but for a few stretches, and an
// output that keeps only the blocks written with something other than
// zeros: enough to rebuild a file past 4 GiB in memory.
class SparseInput : public IBaseStream {
public:
    explicit SparseInput(int64_t length) : m_length(length) {}
    void Put(int64_t at, std::vector<uint8_t> bytes) { m_parts[at] = std::move(bytes); }

    unsigned int Read(void* buf, unsigned int n) override
    {
        int64_t count = std::max<int64_t>(0, std::min<int64_t>(n, m_length - m_pos));
        auto* out = static_cast<uint8_t*>(buf);
        memset(out, 0, static_cast<size_t>(count));
        for (const auto& part : m_parts) {
            int64_t from = std::max(part.first, m_pos);
            int64_t to = std::min(part.first + static_cast<int64_t>(part.second.size()), m_pos + count);
            if (from < to)
                memcpy(out + (from - m_pos), part.second.data() + (from - part.first), static_cast<size_t>(to - from));
        }
        m_pos += count;
        return static_cast<unsigned int>(count);
    }
    unsigned int Write(const void*, unsigned int) override { return 0; }
    long long GetLength() override { return m_length; }
    long long SetLength(long long) override { return m_length; }
    long long GetPos() override { return m_pos; }
    long long SeekTo(long long pos) override { return pos < 0 ? -1 : (m_pos = pos); }
    long long JumpOver(long long d) override { return SeekTo(m_pos + d); }

private:
    int64_t m_length;
    int64_t m_pos = 0;
    std::map<int64_t, std::vector<uint8_t>> m_parts;
};

class SparseOutput : public IBaseStream {
public:
    static constexpr int64_t kBlock = 4096;

    unsigned int Read(void* buf, unsigned int n) override
    {
        auto* out = static_cast<uint8_t*>(buf);
        int64_t count = std::max<int64_t>(0, std::min<int64_t>(n, m_length - m_pos));
        for (int64_t i = 0; i < count; ++i)
            out[i] = Byte(m_pos + i);
        m_pos += count;
        return static_cast<unsigned int>(count);
    }
    unsigned int Write(const void* buf, unsigned int n) override
    {
        const auto* in = static_cast<const uint8_t*>(buf);
        for (int64_t done = 0; done < n;) {
            int64_t at = m_pos + done, block = at / kBlock, off = at % kBlock;
            int64_t len = std::min<int64_t>(kBlock - off, n - done);
            auto it = m_blocks.find(block);
            bool zeros = std::all_of(in + done, in + done + len, [](uint8_t b) { return b == 0; });
            if (it == m_blocks.end() && !zeros)
                it = m_blocks.emplace(block, std::vector<uint8_t>(kBlock, 0)).first;
            if (it != m_blocks.end())
                memcpy(it->second.data() + off, in + done, static_cast<size_t>(len));
            done += len;
        }
        m_pos += n;
        m_length = std::max(m_length, m_pos);
        return n;
    }
    long long GetLength() override { return m_length; }
    long long SetLength(long long length) override { return m_length = length; }
    long long GetPos() override { return m_pos; }
    long long SeekTo(long long pos) override { return pos < 0 ? -1 : (m_pos = std::min<long long>(pos, m_length)); }
    long long JumpOver(long long d) override { return SeekTo(m_pos + d); }

    uint8_t Byte(int64_t at) const
    {
        auto it = m_blocks.find(at / kBlock);
        return it == m_blocks.end() ? 0 : it->second[static_cast<size_t>(at % kBlock)];
    }
    uint64_t BE(int64_t at, int bytes) const
    {
        uint64_t v = 0;
        for (int i = 0; i < bytes; ++i)
            v = (v << 8) | Byte(at + i);
        return v;
    }
    int64_t Find(const char* type, int64_t from, int64_t to) const
    {
        for (int64_t p = from; p + 4 <= to; ++p)
            if (Byte(p) == uint8_t(type[0]) && Byte(p + 1) == uint8_t(type[1]) && Byte(p + 2) == uint8_t(type[2]) &&
                Byte(p + 3) == uint8_t(type[3]))
                return p - 4;
        return -1;
    }

private:
    int64_t m_length = 0;
    int64_t m_pos = 0;
    std::map<int64_t, std::vector<uint8_t>> m_blocks;
};

TEST(Mp4Rebuild, MediaDataPast4GiBGetsALargesizeAndItsOffsetsCo64)
{
    // ftyp, a media-data box of 4 GiB + 64 with a largesize, its movie box
    // with "stco" after it, then garbage to make the file need a repair.
    // The movie box moves in front of the media data, so the second chunk,
    // just under 4 GiB in the input, lands past it in the output.
    const int64_t mdatSize = (int64_t(1) << 32) + 64;
    const int64_t sample2 = (int64_t(1) << 32) - 50;
    const uint32_t sampleSize = 40;
    std::vector<uint8_t> head = {0, 0, 0, 24, 'f', 't', 'y', 'p', 'i', 's', 'o', 'm', 0, 0, 0, 0,
                                 'i', 's', 'o', 'm', 'm', 'p', '4', '1', 0, 0, 0, 1, 'm', 'd', 'a', 't'};
    head.resize(head.size() + 8);
    PutBE(head, 32, static_cast<uint64_t>(mdatSize), 8);
    size_t offsetTable = 0;
    std::vector<uint8_t> moov = MovieBox(2, 1, sampleSize, kSizesEach, false, offsetTable);
    PutBE(moov, offsetTable, 40, 4);
    PutBE(moov, offsetTable + 4, static_cast<uint64_t>(sample2), 4);
    const int64_t moovAt = 24 + mdatSize;
    std::vector<uint8_t> garbage = PseudoRandomBytes(40, 3);
    garbage[0] = 0x7F;

    SparseInput in(moovAt + static_cast<int64_t>(moov.size() + garbage.size()));
    in.Put(0, head);
    in.Put(40, std::vector<uint8_t>(sampleSize, 0x11));
    in.Put(sample2, std::vector<uint8_t>(sampleSize, 0x22));
    in.Put(moovAt, moov);
    in.Put(moovAt + static_cast<int64_t>(moov.size()), garbage);

    CMP4Repair repair(&in);
    ASSERT_EQ(repair.ParseStream(nullptr, nullptr), 0);
    ASSERT_GT(repair.GetErrorsCount(), 0);
    SparseOutput out;
    ASSERT_EQ(repair.RepairFile(&out, 1, nullptr), 0);

    EXPECT_EQ(out.BE(4, 4), 0x66747970u);  // "ftyp" first
    ASSERT_EQ(out.BE(28, 4), 0x6D6F6F76u);  // then "moov"
    int64_t moovSize = static_cast<int64_t>(out.BE(24, 4));
    int64_t mdatOut = 24 + moovSize;
    EXPECT_EQ(out.BE(mdatOut, 4), 1u);
    EXPECT_EQ(out.BE(mdatOut + 4, 4), 0x6D646174u);
    EXPECT_EQ(out.BE(mdatOut + 8, 8), static_cast<uint64_t>(mdatSize));
    EXPECT_EQ(out.GetLength(), mdatOut + mdatSize);
    EXPECT_EQ(out.Find("stco", 24, mdatOut), -1);
    int64_t co64 = out.Find("co64", 24, mdatOut);
    ASSERT_GT(co64, 0);
    ASSERT_EQ(out.BE(co64 + 12, 4), 2u);
    uint64_t first = out.BE(co64 + 16, 8), second = out.BE(co64 + 24, 8);
    EXPECT_EQ(first, static_cast<uint64_t>(mdatOut + 16));
    EXPECT_GT(second, uint64_t(1) << 32);
    EXPECT_EQ(out.Byte(static_cast<int64_t>(first)), 0x11);
    EXPECT_EQ(out.Byte(static_cast<int64_t>(second)), 0x22);
    EXPECT_EQ(out.Byte(static_cast<int64_t>(second) + sampleSize - 1), 0x22);
}

}  // namespace
