// Ogg: the page walk on intact files from several writers, and the rebuild
// of damaged ones, judged by libavformat.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/BaseStream.h"
#include "core/Crc.h"
#include "core/FormatRegistry.h"
#include "mendcore/VideoRepair.h"
#include "repairers/OGGRepair.h"
#include "support/Damage.h"
#include "support/Fixtures.h"
#include "support/MediaCheck.h"
#include "support/RepairRun.h"

using namespace mendtest;

namespace {

struct Outcome : RepairOutcome {
    std::vector<std::pair<int64_t, int64_t>> runs;
    std::vector<OggPageInfo> pages;
};

Outcome ParseAndRepair(const std::string& in, const std::string& out = "")
{
    return ParseAndRepairWith<COGGRepair, Outcome>(in, out, [](COGGRepair& repair, Outcome& o) {
        o.runs = repair.InvalidRanges();
        o.pages.assign(repair.Pages().begin(), repair.Pages().end());
    });
}

// Pages of an intact file, by a reader of the test's own: start offsets.
std::vector<int64_t> PageStarts(const std::vector<uint8_t>& d)
{
    std::vector<int64_t> starts;
    size_t p = 0;
    while (p + 27 <= d.size() && std::memcmp(&d[p], "OggS", 4) == 0) {
        starts.push_back(static_cast<int64_t>(p));
        const size_t n = d[p + 26];
        size_t body = 0;
        for (size_t k = 0; k < n && p + 27 + k < d.size(); ++k)
            body += d[p + 27 + k];
        p += 27 + n + body;
    }
    return starts;
}

const char* const kOggFixtures[] = {
    "clip.ogg",         "clip_oggenc.ogg",   "clip_plain.ogg", "clip.opus", "clip_opusenc.opus",
    "clip_plain.opus",  "clip.ogv",          "clip_plain.ogv",
};

TEST(OggWalk, IntactFilesFromEveryWriterAreUndamaged)
{
    for (const char* name : kOggFixtures) {
        const std::string path = RequireFixture(name);
        if (path.empty())
            return;
        Outcome o = ParseAndRepair(path);
        EXPECT_EQ(o.parse, 0) << name;
        EXPECT_TRUE(o.codes.empty()) << name << ": " << o.codes.size() << " records";
        EXPECT_EQ(o.pages.size(), PageStarts(ReadFileBytes(path)).size()) << name;
        // Every stream keeps its codec headers: a rebuild would keep it.
        EXPECT_TRUE(std::all_of(o.pages.begin(), o.pages.end(), [](const OggPageInfo& p) { return p.decodable; }))
            << name;
    }
}

TEST(OggWalk, OggExtensionsRouteToTheOggRepairer)
{
    for (const char* path : {"a.ogg", "a.oga", "a.ogv", "a.ogm", "a.opus", "A.OPUS"})
        EXPECT_EQ(GuessFormat(path), JRVP_FORMAT_OGG) << path;
}

// A page whose checksum does not hold is damage: its bytes become a run
// and the pages around it stay.
TEST(OggWalk, PageWithAWrongChecksumIsADamagedRun)
{
    const std::string src = RequireFixture("clip_oggenc.ogg");
    if (src.empty())
        return;
    auto bytes = ReadFileBytes(src);
    const auto starts = PageStarts(bytes);
    ASSERT_GT(starts.size(), 5u);
    bytes[starts[4] + 27 + bytes[starts[4] + 26] + 40] ^= 0x01;  // one bit of the fifth page's body
    ScratchDir dir("ogg");
    ASSERT_TRUE(WriteFileBytes(dir.Path("crc.ogg"), bytes));
    Outcome o = ParseAndRepair(dir.Path("crc.ogg"));
    ASSERT_EQ(o.parse, 0);
    ASSERT_EQ(o.runs.size(), 1u);
    EXPECT_EQ(o.runs[0].first, starts[4]);
    EXPECT_EQ(o.runs[0].second, starts[5]);
    EXPECT_EQ(o.pages.size(), starts.size() - 1);
}

// Files that are not Ogg, or hold no sound page, end with a clear code.
TEST(OggWalk, HostileFilesEndInAClearCode)
{
    const std::string src = RequireFixture("clip.ogg");
    if (src.empty())
        return;
    const auto clean = ReadFileBytes(src);
    const struct {
        const char* name;
        std::function<void(std::vector<uint8_t>&)> damage;
        int parse;
    } cases[] = {
        {"empty", [](std::vector<uint8_t>& d) { d.clear(); }, JRVP_ERR_UNKNOWN_FORMAT},
        {"only a page header", [](std::vector<uint8_t>& d) { d.resize(27); }, JRVP_ERR_UNKNOWN_FORMAT},
        {"codec head unknown", [](std::vector<uint8_t>& d) { std::memcpy(&d[29], "xxxxxx", 6); },
         JRVP_ERR_UNKNOWN_FORMAT},
        {"first page starts past the probe window",
         [](std::vector<uint8_t>& d) { d.insert(d.begin(), 10240, 0); }, JRVP_ERR_UNKNOWN_FORMAT},
        // A capture pattern whose table runs past the end does not hide the
        // page that follows it.
        {"stray capture pattern before the first page",
         [](std::vector<uint8_t>& d) {
             std::vector<uint8_t> junk = {'O', 'g', 'g', 'S', 0, 0};
             junk.resize(27, 0xFF);
             d.insert(d.begin(), junk.begin(), junk.end());
         },
         JRVP_OK},
        {"every page a huge table of zero bodies",
         [](std::vector<uint8_t>& d) {
             std::vector<uint8_t> page(d.begin(), d.begin() + 27);
             page[26] = 255;
             page.resize(27 + 255, 0);
             for (int i = 0; i < 2000; ++i)
                 d.insert(d.end(), page.begin(), page.end());
         },
         JRVP_OK},
    };
    ScratchDir dir("ogg");
    for (const auto& c : cases) {
        auto bytes = clean;
        c.damage(bytes);
        ASSERT_TRUE(WriteFileBytes(dir.Path("hostile.ogg"), bytes));
        EXPECT_EQ(ParseAndRepair(dir.Path("hostile.ogg")).parse, c.parse) << c.name;
    }
}

// The damages on each kind of Ogg file: the repaired file decodes
// without an error and keeps every packet that began on a page outside the
// damage.
TEST(OggRepair, EveryDamageIsRepairedIntoACleanFile)
{
    struct Damage {
        const char* name;
        // Changes the file; returns the damaged byte range of the original.
        std::function<std::pair<int64_t, int64_t>(std::vector<uint8_t>&, const std::vector<int64_t>&)> apply;
    };
    const Damage damages[] = {
        {"cut in the middle of a page",
         [](std::vector<uint8_t>& d, const std::vector<int64_t>& s) {
             const int64_t at = s[s.size() * 2 / 3] + 30;
             const int64_t end = static_cast<int64_t>(d.size());
             d.resize(at);
             return std::make_pair(at, end);
         }},
        {"2 KiB zeroed",
         [](std::vector<uint8_t>& d, const std::vector<int64_t>&) {
             const int64_t at = static_cast<int64_t>(d.size()) / 2;
             std::fill(d.begin() + at, d.begin() + at + 2048, 0);
             return std::make_pair(at, at + 2048);
         }},
        {"garbage spliced in",
         [](std::vector<uint8_t>& d, const std::vector<int64_t>&) {
             const int64_t at = static_cast<int64_t>(d.size()) / 2 + 100;
             auto junk = PseudoRandomBytes(3000, 7);
             d.insert(d.begin() + at, junk.begin(), junk.end());
             return std::make_pair(at, at + 1);
         }},
        {"a page with a zeroed body",
         [](std::vector<uint8_t>& d, const std::vector<int64_t>& s) {
             const size_t k = s.size() / 2;
             const int64_t body = s[k] + 27 + d[s[k] + 26];
             std::fill(d.begin() + body, d.begin() + s[k + 1], 0);
             return std::make_pair(body, s[k + 1]);
         }},
    };
    // Every intact fixture but the bit-exact Vorbis clip, whose four pages
    // leave no audio after the cut.
    for (const char* name : {"clip_oggenc.ogg", "clip_plain.ogg", "clip.opus", "clip_opusenc.opus",
                             "clip_plain.opus", "clip.ogv", "clip_plain.ogv"}) {
        const std::string src = RequireFixture(name);
        if (src.empty())
            return;
        const auto clean = ReadFileBytes(src);
        const auto starts = PageStarts(clean);
        const MediaReport original = CheckMedia(src);
        ASSERT_TRUE(original.CleanDecode()) << original.Summary();
        ScratchDir dir("ogg");
        for (const Damage& damage : damages) {
            SCOPED_TRACE(std::string(name) + ": " + damage.name);
            auto bytes = clean;
            const auto range = damage.apply(bytes, starts);
            const std::string in = dir.Path(std::string("damaged") + strrchr(name, '.'));
            const std::string out = dir.Path(std::string("repaired") + strrchr(name, '.'));
            ASSERT_TRUE(WriteFileBytes(in, bytes));
            Outcome o = ParseAndRepair(in, out);
            ASSERT_EQ(o.parse, 0);
            ASSERT_FALSE(o.codes.empty());
            ASSERT_EQ(o.repair, 0);
            const MediaReport repaired = CheckMedia(out);
            EXPECT_TRUE(repaired.CleanDecode()) << repaired.Summary();
            // Pages that overlap the damage, and the page before them
            // (a packet may begin there and end on a lost page).
            auto first = std::upper_bound(starts.begin(), starts.end(), range.first);
            auto last = std::lower_bound(starts.begin(), starts.end(), range.second);
            const int64_t lostFrom = *(first - std::min<ptrdiff_t>(2, first - starts.begin()));
            const int64_t lostTo = last == starts.end() ? INT64_MAX : *last;
            for (const StreamReport& s : original.streams) {
                int64_t kept = 0;
                for (const PacketInfo& p : original.packets)
                    kept += p.stream == s.index && (p.pos < lostFrom || p.pos >= lostTo);
                const StreamReport* r = nullptr;
                for (const StreamReport& t : repaired.streams)
                    r = t.index == s.index ? &t : r;
                ASSERT_NE(r, nullptr);
                EXPECT_GE(r->packets, kept) << "stream " << s.index;
            }
        }
    }
}

}  // namespace

namespace {

// A stream whose first page or codec header pages are lost cannot be set
// up by a demuxer: the rebuild leaves it out, and refuses when no stream is
// left, rather than calling a file without playable streams a success.
TEST(OggRepair, StreamsThatLostTheirHeadersAreLeftOut)
{
    const struct {
        const char* name;
        const char* fixture;
        int page;  // the page whose body is zeroed; negative: cut inside page -page
        int parse;
        int repair;
        int streams;  // streams in the repaired file
    } cases[] = {
        // Nothing in the file says Ogg any more.
        {"Vorbis identification page", "clip_oggenc.ogg", 0, JRVP_ERR_UNKNOWN_FORMAT, 1, 0},
        {"Vorbis setup page", "clip_oggenc.ogg", 1, JRVP_OK, JRVP_ERR_NOT_READY, 0},
        {"Theora first page beside Vorbis", "clip.ogv", 0, JRVP_OK, JRVP_OK, 1},
        {"Theora setup page beside Vorbis", "clip.ogv", 2, JRVP_OK, JRVP_OK, 1},
        // Headers whole, but no page of sound after them.
        {"every page after the Vorbis headers", "clip_oggenc.ogg", -2, JRVP_OK, JRVP_ERR_NOT_READY, 0},
        {"every page after the Opus headers", "clip_opusenc.opus", -2, JRVP_OK, JRVP_ERR_NOT_READY, 0},
    };
    ScratchDir dir("ogg");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string src = RequireFixture(c.fixture);
        if (src.empty())
            return;
        auto bytes = ReadFileBytes(src);
        const auto starts = PageStarts(bytes);
        if (c.page < 0) {
            // Cut inside the page after the headers (page 2 in both files).
            bytes.resize(starts[-c.page] + 100);
        } else {
            const int64_t body = starts[c.page] + 27 + bytes[starts[c.page] + 26];
            std::fill(bytes.begin() + body, bytes.begin() + starts[c.page + 1], 0);
        }
        const std::string ext = strrchr(c.fixture, '.');
        ASSERT_TRUE(WriteFileBytes(dir.Path("headers" + ext), bytes));
        Outcome o = ParseAndRepair(dir.Path("headers" + ext), dir.Path("repaired" + ext));
        ASSERT_EQ(o.parse, c.parse);
        EXPECT_EQ(o.repair, c.repair);
        // A stream left out is said to be lost, not only the bytes of the page.
        if (c.parse == JRVP_OK && c.page >= 0) {
            EXPECT_TRUE(Has(o.codes, JRVP_DAMAGE_DATA_LOST));
        }
        if (c.repair != JRVP_OK)
            continue;
        const MediaReport repaired = CheckMedia(dir.Path("repaired" + ext));
        EXPECT_TRUE(repaired.CleanDecode()) << repaired.Summary();
        EXPECT_EQ(static_cast<int>(repaired.streams.size()), c.streams);
    }
}

}  // namespace

namespace {

// One byte of a header page's segment table bent: the page's checksum and
// the next page's start still say what it was, so the page is mended and
// the stream kept whole, not left out with its headers.
TEST(OggRepair, BentSegmentTablesOfHeaderPagesAreMended)
{
    const struct {
        const char* fixture;
        int page;
        int field;  // -1: the segment count; otherwise the lacing value's index
        int value;  // what the byte is set to
    } cases[] = {
        {"clip.ogv", 3, 0, 47},     // the Vorbis comment packet one byte short
        {"clip.ogv", 3, 0, 255},    // ... run into the setup packet
        {"clip.ogv", 3, 13, 0},     // the setup packet's last lacing value
        {"clip.ogv", 3, 5, 1},      // one inside the setup packet
        {"clip.ogv", 1, 0, 255},    // the Vorbis identification page
        {"clip.ogv", 2, -1, 1},     // the Theora header page's segment count
        {"clip.ogv", 3, -1, 255},   // the Vorbis header page's segment count
        {"clip_oggenc.ogg", 1, -1, 0},
        {"clip_opusenc.opus", 1, 2, 255},  // the OpusTags page
    };
    ScratchDir dir("ogg");
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.fixture) + " page " + std::to_string(c.page) + " field " +
                     std::to_string(c.field) + " = " + std::to_string(c.value));
        const std::string src = RequireFixture(c.fixture);
        if (src.empty())
            return;
        auto bytes = ReadFileBytes(src);
        const auto starts = PageStarts(bytes);
        ASSERT_GT(starts.size(), static_cast<size_t>(c.page + 1));
        const int64_t at = starts[c.page] + (c.field < 0 ? 26 : 27 + c.field);
        ASSERT_NE(bytes[at], c.value);
        bytes[at] = static_cast<uint8_t>(c.value);
        const std::string ext = strrchr(c.fixture, '.');
        ASSERT_TRUE(WriteFileBytes(dir.Path("bent" + ext), bytes));
        Outcome o = ParseAndRepair(dir.Path("bent" + ext), dir.Path("repaired" + ext));
        ASSERT_EQ(o.parse, JRVP_OK);
        EXPECT_TRUE(Has(o.codes, JRVP_DAMAGE_STRUCTURE));
        EXPECT_TRUE(o.runs.empty());
        ASSERT_EQ(o.repair, JRVP_OK);
        const MediaReport original = CheckMedia(src);
        const MediaReport repaired = CheckMedia(dir.Path("repaired" + ext));
        EXPECT_TRUE(repaired.CleanDecode()) << repaired.Summary();
        ASSERT_EQ(repaired.streams.size(), original.streams.size());
        for (size_t i = 0; i < original.streams.size(); ++i)
            EXPECT_EQ(repaired.streams[i].packets, original.streams[i].packets) << "stream " << i;
        // The copy is the original, byte for byte.
        EXPECT_EQ(ReadFileBytes(dir.Path("repaired" + ext)), ReadFileBytes(src));
    }
}

}  // namespace

namespace {

TEST(OggWalk, AnAbortEndsTheParse)
{
    const std::string src = RequireFixture("clip_oggenc.ogg");
    if (src.empty())
        return;
    int err = 0;
    CVideoFile input(src.c_str(), 0, &err);
    COGGRepair repair(&input);
    std::atomic<bool> abort{true};
    repair.SetAbortSource(&abort);
    EXPECT_EQ(repair.ParseStream(nullptr, nullptr), JRVP_ERR_ABORTED);
}

}  // namespace

namespace {

// The checksum of the page at `at`, after a change inside it.
void ResealPage(std::vector<uint8_t>& d, int64_t at, int64_t end)
{
    std::fill(d.begin() + at + 22, d.begin() + at + 26, 0);
    const uint32_t crc = OggCrc32().Update(0, &d[at], static_cast<size_t>(end - at));
    for (int k = 0; k < 4; ++k)
        d[at + 22 + k] = static_cast<uint8_t>(crc >> (8 * k));
}

// A field of a stream's identification header that a decoder refuses,
// its page sealed again so that only the field is wrong: damage, never
// "undamaged". Where the other fields and the data pages say what it was
// the copy is the original again; otherwise the stream is left out and the
// rest plays.
TEST(OggRepair, BentIdentificationHeadersAreMendedOrLeftOut)
{
    const struct {
        const char* name;
        const char* fixture;
        int page;
        int offset;  // in the page's first packet
        std::vector<uint8_t> value;
        bool mended;  // else: the stream is left out
    } cases[] = {
        {"Theora width in blocks 0", "clip.ogv", 0, 10, {0, 0}, true},
        {"Theora height in blocks 1", "clip.ogv", 0, 12, {0, 1}, true},
        {"Theora height in blocks all ones", "clip.ogv", 0, 12, {0xFF, 0xFF}, true},
        {"Theora picture width 1", "clip.ogv", 0, 14, {0, 0, 1}, true},
        {"Theora picture height all ones", "clip.ogv", 0, 17, {0xFF, 0xFF, 0xFF}, true},
        {"Theora frame rate numerator 2^31", "clip.ogv", 0, 22, {0x80, 0, 0, 0}, false},
        {"Theora frame rate denominator all ones", "clip.ogv", 0, 26, {0xFF, 0xFF, 0xFF, 0xFF}, false},
        {"Vorbis channels 0", "clip.ogv", 1, 11, {0}, false},
        {"Vorbis sample rate all ones", "clip.ogv", 1, 12, {0xFF, 0xFF, 0xFF, 0xFF}, false},
        {"Vorbis block sizes 1", "clip.ogv", 1, 28, {1}, false},
        {"Opus channels 0", "clip.opus", 0, 9, {0}, true},
        {"Opus channels all ones", "clip_opusenc.opus", 0, 9, {0xFF}, true},
        {"Opus pre-skip all ones", "clip.opus", 0, 10, {0xFF, 0xFF}, true},
    };
    ScratchDir dir("ogg");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string src = RequireFixture(c.fixture);
        if (src.empty())
            return;
        const auto clean = ReadFileBytes(src);
        auto bytes = clean;
        const auto starts = PageStarts(bytes);
        const int64_t at = starts[c.page];
        const int64_t body = at + 27 + bytes[at + 26];
        std::copy(c.value.begin(), c.value.end(), bytes.begin() + body + c.offset);
        ResealPage(bytes, at, starts[c.page + 1]);
        const std::string ext = strrchr(c.fixture, '.');
        ASSERT_TRUE(WriteFileBytes(dir.Path("head" + ext), bytes));
        Outcome o = ParseAndRepair(dir.Path("head" + ext), dir.Path("repaired" + ext));
        ASSERT_EQ(o.parse, JRVP_OK);
        EXPECT_TRUE(Has(o.codes, JRVP_DAMAGE_STRUCTURE));
        ASSERT_EQ(o.repair, JRVP_OK);
        const MediaReport original = CheckMedia(src);
        const MediaReport repaired = CheckMedia(dir.Path("repaired" + ext));
        EXPECT_TRUE(repaired.CleanDecode()) << repaired.Summary();
        if (c.mended) {
            EXPECT_EQ(ReadFileBytes(dir.Path("repaired" + ext)), clean);
        } else {
            EXPECT_TRUE(Has(o.codes, JRVP_DAMAGE_DATA_LOST));
            EXPECT_EQ(repaired.streams.size() + 1, original.streams.size());
        }
    }
}

}  // namespace

namespace {

// An audio page whose granule position (its samples so far) is -1 or runs
// past its neighbours: libavformat drops or mistimes the stream after it.
// It is damage, and the copy gets one that fits between the neighbours.
TEST(OggRepair, BentGranulePositionsOfAudioPagesAreMended)
{
    const struct {
        const char* fixture;
        int page;
        int64_t value;
    } cases[] = {
        {"clip.opus", 2, -1},           // the first data page
        {"clip.opus", 3, -1},           // the last
        {"clip.opus", 2, int64_t(1) << 31},
        {"clip_opusenc.opus", 3, -1},
        {"clip.ogv", 5, -1},            // the first Vorbis data page beside Theora
    };
    ScratchDir dir("ogg");
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.fixture) + " page " + std::to_string(c.page) + " granule " + std::to_string(c.value));
        const std::string src = RequireFixture(c.fixture);
        if (src.empty())
            return;
        auto bytes = ReadFileBytes(src);
        const auto starts = PageStarts(bytes);
        ASSERT_GT(starts.size(), static_cast<size_t>(c.page));
        const int64_t at = starts[c.page];
        for (int b = 0; b < 8; ++b)
            bytes[at + 6 + b] = static_cast<uint8_t>(static_cast<uint64_t>(c.value) >> (8 * b));
        const int64_t end = c.page + 1 < static_cast<int>(starts.size()) ? starts[c.page + 1]
                                                                        : static_cast<int64_t>(bytes.size());
        ResealPage(bytes, at, end);
        const std::string ext = strrchr(c.fixture, '.');
        ASSERT_TRUE(WriteFileBytes(dir.Path("granule" + ext), bytes));
        Outcome o = ParseAndRepair(dir.Path("granule" + ext), dir.Path("repaired" + ext));
        ASSERT_EQ(o.parse, JRVP_OK);
        EXPECT_TRUE(Has(o.codes, JRVP_DAMAGE_STRUCTURE));
        ASSERT_EQ(o.repair, JRVP_OK);
        const MediaReport original = CheckMedia(src);
        const MediaReport repaired = CheckMedia(dir.Path("repaired" + ext));
        EXPECT_TRUE(repaired.CleanDecode()) << repaired.Summary();
        ASSERT_EQ(repaired.streams.size(), original.streams.size());
        for (size_t i = 0; i < original.streams.size(); ++i)
            EXPECT_EQ(repaired.streams[i].frames, original.streams[i].frames) << "stream " << i;
    }
}

}  // namespace
