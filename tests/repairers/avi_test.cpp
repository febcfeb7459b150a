// AVI and OpenDML: the walk on intact and hostile files, and the rebuild of
// damaged ones, judged by libavformat and by a RIFF reader of the test's own.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include "core/BaseStream.h"
#include "core/TestDoubles.h"
#include "mendcore/VideoRepair.h"
#include "repairers/AVIRepair.h"
#include "support/Damage.h"
#include "support/Fixtures.h"
#include "support/MediaCheck.h"
#include "support/RepairRun.h"
#include "support/Sanitizers.h"

using namespace mendtest;

namespace {

// ---------------------------------------------------------------------------
// A plain RIFF reader of the test's own, for the structural checks.

struct Chunk {
    std::string id;     // for LIST/RIFF the list type
    bool list = false;
    int64_t pos = 0;    // header position
    uint32_t size = 0;
    int form = -1;      // index of the RIFF form holding it
    int64_t movi = -1;  // position of the type of the movi list holding it
};

std::string Id(const std::vector<uint8_t>& d, size_t at)
{
    return at + 4 <= d.size() ? std::string(reinterpret_cast<const char*>(&d[at]), 4) : std::string();
}

std::vector<Chunk> WalkRiff(const std::vector<uint8_t>& d)
{
    std::vector<Chunk> out;
    struct Open {
        int64_t end;
        int64_t movi;
    };
    std::vector<Open> stack;
    int form = -1;
    int64_t p = 0;
    while (p + 8 <= static_cast<int64_t>(d.size())) {
        while (!stack.empty() && p >= stack.back().end)
            stack.pop_back();
        Chunk c;
        c.id = Id(d, p);
        c.size = ReadLE32(d, p + 4);
        c.pos = p;
        if (c.id == "RIFF")
            ++form;
        c.form = form;
        c.movi = stack.empty() ? -1 : stack.back().movi;
        if ((c.id == "RIFF" || c.id == "LIST") && p + 12 <= static_cast<int64_t>(d.size())) {
            c.list = true;
            c.id = Id(d, p + 8);
            out.push_back(c);
            stack.push_back({p + 8 + c.size, c.id == "movi" ? p + 8 : c.movi});
            p += 12;
            continue;
        }
        out.push_back(c);
        p += 8 + c.size + (c.size & 1);
    }
    return out;
}

bool IsData(const Chunk& c)
{
    return !c.list && c.movi >= 0 && c.id.size() == 4 && isdigit(c.id[0]) && isdigit(c.id[1]) &&
           (c.id.compare(2, 2, "dc") == 0 || c.id.compare(2, 2, "db") == 0 || c.id.compare(2, 2, "wb") == 0);
}

const Chunk* Find(const std::vector<Chunk>& chunks, const std::string& id, int nth = 0)
{
    for (const Chunk& c : chunks)
        if (c.id == id && nth-- == 0)
            return &c;
    return nullptr;
}

// The data chunks of the movi lists, with their payloads, in file order.
std::vector<std::pair<std::string, std::vector<uint8_t>>> Payloads(const std::vector<uint8_t>& d)
{
    std::vector<std::pair<std::string, std::vector<uint8_t>>> out;
    for (const Chunk& c : WalkRiff(d))
        if (IsData(c) && c.pos + 8 + c.size <= static_cast<int64_t>(d.size()))
            out.push_back({c.id, std::vector<uint8_t>(d.begin() + c.pos + 8, d.begin() + c.pos + 8 + c.size)});
    return out;
}

// Every idx1 entry points at a data chunk of the first movi list with that
// id and size, and every data chunk there has an entry.
void ExpectIdx1Sound(const std::vector<uint8_t>& d)
{
    auto chunks = WalkRiff(d);
    const Chunk* movi = Find(chunks, "movi");
    const Chunk* idx1 = Find(chunks, "idx1");
    ASSERT_TRUE(movi && idx1);
    const int64_t base = movi->pos + 8;
    size_t dataChunks = 0;
    for (const Chunk& c : chunks)
        dataChunks += IsData(c) && c.movi == base;
    ASSERT_EQ(idx1->size % 16, 0u);
    ASSERT_EQ(idx1->size / 16, dataChunks);
    for (uint32_t e = 0; e < idx1->size / 16; ++e) {
        const size_t at = idx1->pos + 8 + 16 * e;
        const int64_t header = base + ReadLE32(d, at + 8);
        ASSERT_EQ(Id(d, header), Id(d, at)) << "entry " << e;
        ASSERT_EQ(ReadLE32(d, header + 4), ReadLE32(d, at + 12)) << "entry " << e;
    }
}

// avih total frames = video frames of the first form; every strh length =
// the chunks of its stream, or its samples when dwSampleSize is set.
void ExpectHeaderCounts(const std::vector<uint8_t>& d)
{
    auto chunks = WalkRiff(d);
    std::map<int, uint64_t> count, bytes;
    uint64_t firstFormVideo = 0;
    for (const Chunk& c : chunks) {
        if (!IsData(c))
            continue;
        int s = (c.id[0] - '0') * 10 + (c.id[1] - '0');
        count[s]++;
        bytes[s] += c.size;
        if (s == 0 && c.form == 0)
            firstFormVideo++;
    }
    const Chunk* avih = Find(chunks, "avih");
    ASSERT_TRUE(avih);
    EXPECT_EQ(ReadLE32(d, avih->pos + 8 + 16), firstFormVideo);
    EXPECT_NE(ReadLE32(d, avih->pos + 8 + 12) & 0x10, 0u) << "has-index flag";
    for (int s = 0; const Chunk* strh = Find(chunks, "strh", s); ++s) {
        uint32_t sampleSize = ReadLE32(d, strh->pos + 8 + 44);
        uint64_t want = sampleSize ? bytes[s] / sampleSize : count[s];
        EXPECT_EQ(ReadLE32(d, strh->pos + 8 + 32), want) << "stream " << s;
    }
}

// Each video packet of the repaired file is one of the original's, in
// order, and libavformat gives it the same key flag.
void ExpectKeyFlagsAgree(const MediaReport& original, const MediaReport& repaired)
{
    auto video = [](const MediaReport& r) {
        std::vector<PacketInfo> v;
        const StreamReport* s = r.FirstStream(AVMEDIA_TYPE_VIDEO);
        for (const PacketInfo& p : r.packets)
            if (s && p.stream == s->index)
                v.push_back(p);
        return v;
    };
    auto a = video(original), b = video(repaired);
    size_t i = 0;
    for (const PacketInfo& p : b) {
        while (i < a.size() && a[i].size != p.size)
            ++i;
        ASSERT_LT(i, a.size()) << "a repaired packet the original lacks";
        EXPECT_EQ(a[i].key, p.key) << "packet of size " << p.size;
        ++i;
    }
}

// The first video packet libavformat reads after seeking to ts.
std::vector<uint8_t> PacketAfterSeek(const std::string& path, double seconds)
{
    std::vector<uint8_t> data;
    AVFormatContext* fmt = nullptr;
    if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0)
        return data;
    if (avformat_find_stream_info(fmt, nullptr) >= 0) {
        int v = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        if (v >= 0) {
            AVStream* st = fmt->streams[v];
            int64_t ts = av_rescale_q(static_cast<int64_t>(seconds * AV_TIME_BASE), AV_TIME_BASE_Q, st->time_base);
            AVPacket* pkt = av_packet_alloc();
            if (pkt && av_seek_frame(fmt, v, ts, AVSEEK_FLAG_BACKWARD) >= 0) {
                while (av_read_frame(fmt, pkt) >= 0) {
                    bool mine = pkt->stream_index == v;
                    if (mine)
                        data.assign(pkt->data, pkt->data + pkt->size);
                    av_packet_unref(pkt);
                    if (mine)
                        break;
                }
            }
            av_packet_free(&pkt);
        }
    }
    avformat_close_input(&fmt);
    return data;
}

// ---------------------------------------------------------------------------
// Driving the repairer.

using Outcome = mendtest::RepairOutcome;

Outcome ParseAndRepair(const std::string& in, const std::string& out = "")
{
    return mendtest::ParseAndRepairWith<CAVIRepair>(in, out);
}

const char* const kAviFixtures[] = {"clip.avi", "clip_h264_pcm.avi", "clip_mjpeg.avi", "clip_2audio.avi"};

TEST(AviWalk, IntactFixturesAreUndamaged)
{
    std::vector<const char*> names(std::begin(kAviFixtures), std::end(kAviFixtures));
    names.push_back("clip_plain.avi");  // with the encoder's INFO list and tags
    names.push_back("clip_gst.avi");    // GStreamer's avimux: VBR MP3 counted in bytes
    for (const char* name : names) {
        const std::string path = RequireFixture(name);
        if (path.empty())
            return;
        Outcome o = ParseAndRepair(path);
        EXPECT_EQ(o.parse, 0) << name;
        EXPECT_TRUE(o.codes.empty()) << name << ": " << o.codes.size() << " records, first " << o.codes[0];
    }
}

TEST(AviWalk, TrailingZeroPaddingIsUndamaged)
{
    const std::string src = RequireFixture("clip.avi");
    if (src.empty())
        return;
    ScratchDir dir("avi");
    auto bytes = ReadFileBytes(src);
    bytes.resize(bytes.size() + 3000, 0);
    ASSERT_TRUE(WriteFileBytes(dir.Path("padded.avi"), bytes));
    Outcome o = ParseAndRepair(dir.Path("padded.avi"));
    EXPECT_EQ(o.parse, 0);
    EXPECT_TRUE(o.codes.empty());
}

// A stream header's length against the content the walk counts: exact for
// chunk counts and PCM; for VBR MP3 counted in bytes (avimux states its
// duration at a rounded average rate) within that rounding, and no further.
TEST(AviWalk, StreamLengthsAreJudgedAgainstTheirContent)
{
    struct Case {
        const char* name;
        const char* fixture;
        int stream;  // which "strh"
        std::function<uint32_t(uint32_t length, uint32_t contentBytes)> length;
        bool timing;
    };
    const Case cases[] = {
        {"VBR MP3 length off by the rate's rounding", "clip_gst.avi", 1,
         [](uint32_t, uint32_t bytes) { return bytes - 6; }, false},
        {"VBR MP3 length 2% short", "clip_gst.avi", 1, [](uint32_t, uint32_t bytes) { return bytes - bytes / 50; },
         true},
        {"VBR MP3 length 2% long", "clip_gst.avi", 1, [](uint32_t, uint32_t bytes) { return bytes + bytes / 50; },
         true},
        {"VBR MP3 length never written", "clip_gst.avi", 1, [](uint32_t, uint32_t) { return 0u; }, true},
        {"video one frame long", "clip_gst.avi", 0, [](uint32_t n, uint32_t) { return n + 1; }, true},
        {"PCM one sample short", "clip_h264_pcm.avi", 1, [](uint32_t n, uint32_t) { return n - 1; }, true},
        {"MP3 counted in chunks one chunk long", "clip.avi", 1, [](uint32_t n, uint32_t) { return n + 1; }, true},
    };
    ScratchDir dir("avi");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string src = RequireFixture(c.fixture);
        if (src.empty())
            return;
        auto bytes = ReadFileBytes(src);
        const auto chunks = WalkRiff(bytes);
        const Chunk* strh = Find(chunks, "strh", c.stream);
        ASSERT_NE(strh, nullptr);
        uint32_t contentBytes = 0;
        for (const Chunk& k : chunks)
            if (IsData(k) && (k.id[0] - '0') * 10 + (k.id[1] - '0') == c.stream)
                contentBytes += k.size;
        const size_t lengthField = static_cast<size_t>(strh->pos) + 8 + 32;
        WriteLE32(bytes, lengthField, c.length(ReadLE32(bytes, lengthField), contentBytes));
        ASSERT_TRUE(WriteFileBytes(dir.Path("length.avi"), bytes));
        Outcome o = ParseAndRepair(dir.Path("length.avi"));
        EXPECT_EQ(o.parse, 0);
        const bool timing = std::find(o.codes.begin(), o.codes.end(), JRVP_DAMAGE_TIMING) != o.codes.end();
        EXPECT_EQ(timing, c.timing);
    }
}

// The main header's frame period is no witness against a stream rate that
// the sound beside it confirms: set wrong, it is what the damage took, and
// the video's rate stays (taking it from the period played the copy's video
// at a thousand times its speed).
TEST(AviWalk, AWrongFramePeriodLeavesASoundVideoRate)
{
    ScratchDir dir("avi");
    for (const char* fixture : {"clip.avi", "clip_gst.avi"}) {
        for (uint32_t micros : {1u, 1000u, 0x80000000u, 0xFFFFFFFFu}) {
            SCOPED_TRACE(std::string(fixture) + " period " + std::to_string(micros));
            const std::string src = RequireFixture(fixture);
            if (src.empty())
                return;
            auto bytes = ReadFileBytes(src);
            WriteLE32(bytes, static_cast<size_t>(FindBytes(bytes, "avih")) + 8, micros);
            ASSERT_TRUE(WriteFileBytes(dir.Path("period.avi"), bytes));
            const Outcome o = ParseAndRepair(dir.Path("period.avi"));
            EXPECT_EQ(o.parse, 0);
            EXPECT_FALSE(Has(o.codes, JRVP_DAMAGE_TIMING));
        }
    }
}

// Parses a damaged copy of `clean` written into `dir`.
Outcome ParseDamaged(const ScratchDir& dir, std::vector<uint8_t> bytes,
                     const std::function<void(std::vector<uint8_t>&)>& damage)
{
    damage(bytes);
    const std::string path = dir.Path("damaged.avi");
    if (!WriteFileBytes(path, bytes)) {
        ADD_FAILURE() << "cannot write " << path;
        return Outcome();
    }
    return ParseAndRepair(path);
}

// Files the repairer must turn down without a crash: the codes they end with.
TEST(AviWalk, HostileHeadersEndInAClearCode)
{
    const std::string src = RequireFixture("clip.avi");
    if (src.empty())
        return;
    const auto clean = ReadFileBytes(src);
    const struct {
        const char* name;
        std::function<void(std::vector<uint8_t>&)> damage;
        int parse;
    } cases[] = {
        {"only a RIFF tag", [](std::vector<uint8_t>& d) { d.resize(4); }, JRVP_ERR_UNREPAIRABLE},
        {"a WAVE form", [](std::vector<uint8_t>& d) { std::memcpy(&d[8], "WAVE", 4); }, JRVP_ERR_UNKNOWN_FORMAT},
        {"strf before any strh",
         [](std::vector<uint8_t>& d) { std::memcpy(&d[FindBytes(d, "strh")], "strf", 4); }, JRVP_ERR_UNREPAIRABLE},
        {"strh size running into the next chunk",
         [](std::vector<uint8_t>& d) { WriteLE32(d, FindBytes(d, "strh") + 4, 10000); }, JRVP_ERR_UNREPAIRABLE},
        {"huge sizes everywhere",
         [](std::vector<uint8_t>& d) {
             for (int64_t p = FindBytes(d, "LIST"); p >= 0; p = FindBytes(d, "LIST", p + 1))
                 WriteLE32(d, p + 4, 0xFFFFFFF0u);
         },
         JRVP_ERR_UNREPAIRABLE},
    };
    ScratchDir dir("avi");
    for (const auto& c : cases)
        EXPECT_EQ(ParseDamaged(dir, clean, c.damage).parse, c.parse) << c.name;
}

// A recording of tens of MB, made of the fixture's movi chunks over and
// over, without idx1: the stream chunks must be found by hopping, never by a
// search through every byte.
std::vector<uint8_t> LongRecording(const std::vector<uint8_t>& clip, size_t bytes)
{
    auto chunks = WalkRiff(clip);
    const Chunk* movi = Find(chunks, "movi");
    const Chunk* idx1 = Find(chunks, "idx1");
    const size_t dataStart = movi->pos + 12;
    const std::vector<uint8_t> data(clip.begin() + dataStart, clip.begin() + idx1->pos);
    std::vector<uint8_t> d(clip.begin(), clip.begin() + dataStart);
    while (d.size() < bytes)
        d.insert(d.end(), data.begin(), data.end());
    WriteLE32(d, movi->pos + 4, static_cast<uint32_t>(d.size() - movi->pos - 8));
    WriteLE32(d, 4, static_cast<uint32_t>(d.size() - 8));
    return d;
}

// What a walk through a long damaged recording may ask of its input. The
// walk reads about one buffer per chunk it judges and a 64 KiB block per
// stretch it searches: some 740 reads per MiB of these small chunks and up
// to 5 times the file's bytes, as buffers overlap (noise: 280 and 3). The
// bounds leave five times that. A search that called the input for every
// byte would make a million reads per MiB, and one that read its block
// anew at every id-like byte some 250 times the file's bytes.
constexpr double kWalkReadsPerMiB = 4096;
constexpr int64_t kWalkBytesPerFileByte = 24;

// The input's own buffer keeps its block, so only the calls made to it show
// a search gone back to a call per byte inside that block: a million calls
// per MiB searched. A walk makes some ten calls per chunk it judges (its
// header, the look-ahead at the two after it), 46000 to 50000 per MiB of
// these chunks of 220 bytes; noise costs 7700 per MiB, a look-ahead at
// each four id-like bytes, one place in about 270. Each caller bounds the
// calls per MiB of the file at some four times what it measured.
void ExpectReadsOfAWalk(const Outcome& o, double maxCallsPerMiB)
{
    EXPECT_LT(o.parseReads.ReadsPerMiB(o.inputLength), kWalkReadsPerMiB) << o.parseReads.reads << " reads";
    EXPECT_LT(o.parseReads.bytes, kWalkBytesPerFileByte * o.inputLength) << o.parseReads.bytes << " bytes";
    EXPECT_LT(o.parseCalls.ReadsPerMiB(o.inputLength), maxCallsPerMiB)
        << o.parseCalls.reads << " calls, " << o.parseCalls.seeks << " seeks";
}

TEST(AviWalk, LongRecordingIsJudgedByReadsProportionalToItsSize)
{
    const std::string src = RequireFixture("clip.avi");
    if (src.empty())
        return;
    const auto clean = LongRecording(ReadFileBytes(src), 64u << 20);
    const struct {
        const char* name;
        std::function<void(std::vector<uint8_t>&)> damage;
        int parse;
        double maxCallsPerMiB;  // to the input's own buffer
    } cases[] = {
        // The form's size no longer holds, and its end is searched before
        // any stream header has been read. The search crosses every chunk:
        // 49600 calls per MiB; one call per byte would make 1050000. A
        // search stepping 8 bytes per call (185000) is too close to tell.
        {"garbage spliced into movi",
         [](std::vector<uint8_t>& d) {
             auto junk = PseudoRandomBytes(65536, 3);
             d.insert(d.begin() + d.size() / 2, junk.begin(), junk.end());
         },
         0, 200000},
        // Refused after the first 16 KiB: 62 calls in all, 4400 by byte.
        {"header list zeroed", [](std::vector<uint8_t>& d) { std::memset(&d[12], 0, 4096); },
         JRVP_ERR_UNREPAIRABLE, 8},
        // Three quarters of the recording lost to noise: the search for the
        // next chunk passes over bytes that cannot start an id. 11000 calls
        // per MiB, nearly all for the chunks around the noise; one call per
        // byte of noise would make 800000.
        {"noise over most of movi",
         [](std::vector<uint8_t>& d) {
             auto noise = PseudoRandomBytes(d.size() * 3 / 4, 5);
             std::copy(noise.begin(), noise.end(), d.begin() + d.size() / 8);
         },
         0, 48000},
    };
    ScratchDir dir("avi");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Outcome o = ParseDamaged(dir, clean, c.damage);
        EXPECT_EQ(o.parse, c.parse) << c.name;
        ExpectReadsOfAWalk(o, c.maxCallsPerMiB);
    }
}

// Lists nested in each other, each holding only the next, are walked into
// one after the other. Each is judged by what follows its end, which for
// all of them is the same place: looked at there without leaving the read
// buffer, they cost the file a read per 256 KiB of the walk, not one per
// list (each look at the end dropped the buffer, so the list after it was
// read again: 49700 reads of 200 MB for 50000 lists).
TEST(AviWalk, NestedListsCostNoReadEach)
{
    const std::string src = RequireFixture("clip.avi");
    if (src.empty())
        return;
    const auto clip = ReadFileBytes(src);
    const auto movi = std::search(clip.begin(), clip.end(), std::begin("movi"), std::end("movi") - 1);
    ASSERT_NE(movi, clip.end());
    std::vector<uint8_t> d(clip.begin(), movi - 8);
    constexpr uint32_t kLists = 50000;
    auto put = [&d](const char* id, uint32_t size, const char* type) {
        d.insert(d.end(), id, id + 4);
        for (int k = 0; k < 4; ++k)
            d.push_back(static_cast<uint8_t>(size >> (8 * k)));
        d.insert(d.end(), type, type + 4);
    };
    put("LIST", 4 + 12 * kLists, "movi");
    for (uint32_t i = 0; i < kLists; ++i)
        put("LIST", 4 + 12 * (kLists - 1 - i), "rec ");
    const uint32_t riff = static_cast<uint32_t>(d.size() - 8);
    std::memcpy(&d[4], &riff, 4);
    ScratchDir dir("avi");
    ASSERT_TRUE(WriteFileBytes(dir.Path("nested.avi"), d));
    Outcome o = ParseAndRepair(dir.Path("nested.avi"));
    EXPECT_EQ(o.parse, 0);
    EXPECT_LT(o.parseReads.reads, int64_t(kLists / 100)) << o.parseReads.bytes << " bytes";
}

// What follows the last form is scanned block by block: 256 MiB of sparse
// zeros (a recording whose size was set ahead) are padding, read once; a
// stretch of noise is recorded, searched as any damage is.
TEST(AviWalk, TailsAfterTheFormAreScannedInOnePass)
{
    const std::string src = RequireFixture("clip.avi");
    if (src.empty())
        return;
    const auto clip = ReadFileBytes(src);
    ScratchDir dir("avi");
    {
        const std::string path = dir.Path("sparse.avi");
        ASSERT_TRUE(WriteFileBytes(path, clip));
        std::error_code ec;
        std::filesystem::resize_file(path, clip.size() + (256u << 20), ec);
        ASSERT_FALSE(ec) << ec.message();
        Outcome o = ParseAndRepair(path);
        EXPECT_EQ(o.parse, 0);
        EXPECT_TRUE(o.codes.empty());
        // One pass: 16 reads per MiB (64 KiB blocks), each byte read once.
        // Reading the run again (once per form) would double the bytes; a
        // call per byte makes a million reads per MiB.
        EXPECT_LT(o.parseReads.ReadsPerMiB(o.inputLength), 128);
        EXPECT_LT(o.parseReads.bytes, o.inputLength * 3 / 2);
        // Its own buffer sees 19 calls per MiB: the bound leaves seven
        // times that. Calling it for every byte makes a million per MiB,
        // for every 8 bytes 131000.
        EXPECT_LT(o.parseCalls.ReadsPerMiB(o.inputLength), 128) << o.parseCalls.reads << " calls";
    }
    {
        auto bytes = clip;
        const auto noise = PseudoRandomBytes(64u << 20, 11);
        bytes.insert(bytes.end(), noise.begin(), noise.end());
        const std::string path = dir.Path("noise.avi");
        ASSERT_TRUE(WriteFileBytes(path, bytes));
        Outcome o = ParseAndRepair(path);
        EXPECT_EQ(o.parse, 0);
        EXPECT_NE(std::find(o.codes.begin(), o.codes.end(), JRVP_DAMAGE_INDEX), o.codes.end());
        // 7700 calls per MiB of noise; a call per byte makes a million,
        // one per 8 bytes 270000.
        ExpectReadsOfAWalk(o, 32000);
    }
}

// ---------------------------------------------------------------------------
// Damage and rebuild.

struct Damage {
    const char* name;
    // Returns the damaged byte range of the original [first, second).
    std::function<std::pair<int64_t, int64_t>(std::vector<uint8_t>&)> apply;
    bool losesFramesBeforeTheMiddle;
};

int64_t MoviType(const std::vector<uint8_t>& d)
{
    return FindBytes(d, "movi");
}

// Header position of the nth "00dc" chunk of the movi list.
int64_t NthVideoChunk(const std::vector<uint8_t>& d, int nth)
{
    for (const Chunk& c : WalkRiff(d))
        if (c.id == "00dc" && c.movi >= 0 && nth-- == 0)
            return c.pos;
    return -1;
}

int64_t NthDataChunk(const std::vector<uint8_t>& d, int nth)
{
    for (const Chunk& c : WalkRiff(d))
        if (IsData(c) && nth-- == 0)
            return c.pos;
    return -1;
}

// Sets one 32-bit field of the file: `at` finds its position.
Damage SetField(const char* name, std::function<int64_t(const std::vector<uint8_t>&)> at, uint32_t value)
{
    return {name,
            [at, value](std::vector<uint8_t>& d) {
                const int64_t p = at(d);
                WriteLE32(d, p, value);
                return std::make_pair(p, p + 4);
            },
            false};
}

// The offset field of the nth "idx1" entry.
std::function<int64_t(const std::vector<uint8_t>&)> Idx1Offset(int nth)
{
    return [nth](const std::vector<uint8_t>& d) { return FindBytes(d, "idx1", MoviType(d)) + 8 + 16 * nth + 8; };
}

// The rate field of the nth stream header.
std::function<int64_t(const std::vector<uint8_t>&)> StrhRate(int nth)
{
    return [nth](const std::vector<uint8_t>& d) { return Find(WalkRiff(d), "strh", nth)->pos + 8 + 24; };
}

// The start field of the nth stream header.
std::function<int64_t(const std::vector<uint8_t>&)> StrhStart(int nth)
{
    return [nth](const std::vector<uint8_t>& d) { return Find(WalkRiff(d), "strh", nth)->pos + 8 + 28; };
}

// The size field of the nth stream format.
std::function<int64_t(const std::vector<uint8_t>&)> StrfSize(int nth)
{
    return [nth](const std::vector<uint8_t>& d) { return Find(WalkRiff(d), "strf", nth)->pos + 4; };
}

// The size field of the first filler chunk standing in the first stream's
// list (inStream) or in the header list after the stream lists.
std::function<int64_t(const std::vector<uint8_t>&)> FillerSize(bool inStream)
{
    return [inStream](const std::vector<uint8_t>& d) {
        const auto chunks = WalkRiff(d);
        const Chunk* hdrl = Find(chunks, "hdrl");
        int64_t from = hdrl->pos, to = hdrl->pos + 8 + hdrl->size;
        for (int s = 0; const Chunk* strl = Find(chunks, "strl", s); ++s) {
            if (inStream) {
                to = strl->pos + 8 + strl->size;
                break;
            }
            from = strl->pos + 8 + strl->size;
        }
        for (const Chunk& c : chunks)
            if (c.id == "JUNK" && c.pos >= from && c.pos < to && c.pos != hdrl->pos)
                return c.pos + 4;
        return int64_t(-1);
    };
}

const Damage kDamages[] = {
    {"cut at 60%",
     [](std::vector<uint8_t>& d) {
         int64_t cut = static_cast<int64_t>(d.size()) * 6 / 10;
         int64_t end = d.size();
         d.resize(cut);
         return std::make_pair(cut, end);
     },
     false},
    {"idx1 renamed JUNK",
     [](std::vector<uint8_t>& d) {
         int64_t at = FindBytes(d, "idx1", MoviType(d));
         std::memcpy(&d[at], "JUNK", 4);
         return std::make_pair(at, at + 8);
     },
     false},
    {"4 KiB zeroed inside movi",
     [](std::vector<uint8_t>& d) {
         int64_t movi = MoviType(d);
         int64_t at = movi + (ReadLE32(d, movi - 4) * 2 / 5) + 1;
         std::memset(&d[at], 0, 4096);
         return std::make_pair(at, at + 4096);
     },
     true},
    {"00dc size made larger",
     [](std::vector<uint8_t>& d) {
         int64_t at = NthVideoChunk(d, 5);
         WriteLE32(d, at + 4, ReadLE32(d, at + 4) + 40);
         return std::make_pair(at, at + 8);
     },
     true},
    // The chunk before it is intact and must not be blamed.
    {"00dc size made huge",
     [](std::vector<uint8_t>& d) {
         int64_t at = NthVideoChunk(d, 5);
         WriteLE32(d, at + 4, 0x7FFFFFF0u);
         return std::make_pair(at, at + 8);
     },
     true},
    {"00dc size made smaller",
     [](std::vector<uint8_t>& d) {
         int64_t at = NthVideoChunk(d, 5);
         WriteLE32(d, at + 4, ReadLE32(d, at + 4) - 40);
         return std::make_pair(at, at + 8);
     },
     true},
    {"zeroed RIFF size",
     [](std::vector<uint8_t>& d) {
         WriteLE32(d, 4, 0);
         return std::make_pair(int64_t(4), int64_t(8));
     },
     false},
    {"RIFF size ending before the movi list",
     [](std::vector<uint8_t>& d) {
         WriteLE32(d, 4, static_cast<uint32_t>(MoviType(d) - 16));
         return std::make_pair(int64_t(4), int64_t(8));
     },
     false},
    // libavformat trusts the entries it finds: the chunks they misname vanish.
    {"idx1 entries zeroed",
     [](std::vector<uint8_t>& d) {
         int64_t at = FindBytes(d, "idx1", MoviType(d));
         uint32_t size = ReadLE32(d, at + 4);
         std::memset(&d[at + 8 + size / 2 / 16 * 16], 0, 32);
         return std::make_pair(at, at + 8 + int64_t(size));
     },
     false},
    {"idx1 size made huge",
     [](std::vector<uint8_t>& d) {
         int64_t at = FindBytes(d, "idx1", MoviType(d));
         WriteLE32(d, at + 4, 0xFFFFFFF0u);
         return std::make_pair(at, at + 8);
     },
     false},
    {"JUNK chunk inside movi, idx1 renamed",
     [](std::vector<uint8_t>& d) {
         int64_t idx1 = FindBytes(d, "idx1", MoviType(d));
         std::memcpy(&d[idx1], "JUNK", 4);
         // A filler chunk between the third and fourth data chunk; the
         // sizes of the lists around it grow by its length.
         std::vector<uint8_t> junk = {'J', 'U', 'N', 'K', 16, 0, 0, 0};
         junk.resize(24, 0);
         int64_t movi = MoviType(d);
         d.insert(d.begin() + NthDataChunk(d, 3), junk.begin(), junk.end());
         WriteLE32(d, movi - 4, ReadLE32(d, movi - 4) + 24);
         WriteLE32(d, 4, ReadLE32(d, 4) + 24);
         return std::make_pair(idx1, idx1 + 8);
     },
     false},
    {"zeroed movi size",
     [](std::vector<uint8_t>& d) {
         int64_t movi = MoviType(d);
         WriteLE32(d, movi - 4, 0);
         return std::make_pair(movi - 4, movi);
     },
     false},
    {"trailing garbage",
     [](std::vector<uint8_t>& d) {
         int64_t end = d.size();
         auto junk = PseudoRandomBytes(1500, 7);
         d.insert(d.end(), junk.begin(), junk.end());
         return std::make_pair(end, static_cast<int64_t>(d.size()));
     },
     false},
    // The header list's children still lead to the movi list, and
    // libavformat plays the file whatever the list's size says.
    {"hdrl size with one bit flipped",
     [](std::vector<uint8_t>& d) {
         d[16] ^= 0x40;
         return std::make_pair(int64_t(16), int64_t(20));
     },
     false},
    {"hdrl size zeroed",
     [](std::vector<uint8_t>& d) {
         WriteLE32(d, 16, 0);
         return std::make_pair(int64_t(16), int64_t(20));
     },
     false},
    {"hdrl size all ones",
     [](std::vector<uint8_t>& d) {
         WriteLE32(d, 16, 0xFFFFFFFFu);
         return std::make_pair(int64_t(16), int64_t(20));
     },
     false},
    // libavformat tells relative offsets from absolute ones by the first
    // entry: a wrong one misleads it about every chunk.
    SetField("first idx1 offset all ones", Idx1Offset(0), 0xFFFFFFFFu),
    SetField("first idx1 offset 2^31", Idx1Offset(0), 0x80000000u),
    SetField("second idx1 offset zeroed", Idx1Offset(1), 0),
    SetField("second idx1 size 2^31", [](const std::vector<uint8_t>& d) { return Idx1Offset(1)(d) + 4; },
             0x80000000u),
    // A stream's time base: libavformat plays it at whatever speed it says.
    SetField("video rate zeroed", StrhRate(0), 0),
    SetField("video rate 1", StrhRate(0), 1),
    SetField("video rate all ones", StrhRate(0), 0xFFFFFFFFu),
    SetField("audio rate zeroed", StrhRate(1), 0),
    SetField("audio rate 2^31", StrhRate(1), 0x80000000u),
    // A start hours in: libavformat gives it up with an error.
    SetField("video start all ones", StrhStart(0), 0xFFFFFFFFu),
    SetField("audio start 2^31", StrhStart(1), 0x80000000u),
    // A stream format's size: libavformat finds the chunks after it by
    // other means; the copy carries the size the format has.
    SetField("video format size zeroed", StrfSize(0), 0),
    SetField("video format size all ones", StrfSize(0), 0xFFFFFFFFu),
    SetField("audio format size 1", StrfSize(1), 1),
    SetField("audio format size 2^31", StrfSize(1), 0x80000000u),
    // So is the size of a filler chunk among the headers.
    SetField("stream list filler size zeroed", FillerSize(true), 0),
    SetField("stream list filler size all ones", FillerSize(true), 0xFFFFFFFFu),
    SetField("header list filler size 1", FillerSize(false), 1),
    SetField("header list filler size 2^31", FillerSize(false), 0x80000000u),
};

// The stream formats of a repaired file are the original's, size and bytes.
void ExpectFormatsOf(const std::vector<uint8_t>& original, const std::vector<uint8_t>& fixed)
{
    const auto a = WalkRiff(original), b = WalkRiff(fixed);
    for (int s = 0; const Chunk* strf = Find(a, "strf", s); ++s) {
        const Chunk* other = Find(b, "strf", s);
        ASSERT_NE(other, nullptr);
        ASSERT_EQ(other->size, strf->size) << "stream " << s;
        EXPECT_TRUE(std::equal(original.begin() + strf->pos + 8, original.begin() + strf->pos + 8 + strf->size,
                               fixed.begin() + other->pos + 8))
            << "stream " << s;
    }
}

// The stream rates of a repaired file are the original's (scale and rate
// may be written afresh, their ratio within a writer's rounding).
void ExpectRatesOf(const std::vector<uint8_t>& original, const std::vector<uint8_t>& fixed)
{
    const auto a = WalkRiff(original), b = WalkRiff(fixed);
    for (int s = 0; const Chunk* strh = Find(a, "strh", s); ++s) {
        const Chunk* other = Find(b, "strh", s);
        ASSERT_NE(other, nullptr);
        const double want = double(ReadLE32(original, strh->pos + 8 + 24)) / ReadLE32(original, strh->pos + 8 + 20);
        const uint32_t scale = ReadLE32(fixed, other->pos + 8 + 20);
        ASSERT_NE(scale, 0u) << "stream " << s;
        EXPECT_NEAR(double(ReadLE32(fixed, other->pos + 8 + 24)) / scale, want, want / 100) << "stream " << s;
    }
}

TEST(AviRepair, EveryDamageIsRepairedIntoACleanIndexedFile)
{
    for (const char* name : kAviFixtures) {
        const std::string src = RequireFixture(name);
        if (src.empty())
            return;
        const auto clean = ReadFileBytes(src);
        const MediaReport original = CheckMedia(src);
        ASSERT_TRUE(original.CleanDecode()) << original.Summary();
        const auto originalChunks = WalkRiff(clean);
        const double middle = original.durationSeconds / 2;
        const auto originalLanding = PacketAfterSeek(src, middle);
        ASSERT_FALSE(originalLanding.empty());
        for (const Damage& damage : kDamages) {
            SCOPED_TRACE(std::string(name) + ": " + damage.name);
            ScratchDir dir("avi");
            auto bytes = clean;
            const auto range = damage.apply(bytes);
            const std::string in = dir.Path("damaged.avi"), out = dir.Path("repaired.avi");
            ASSERT_TRUE(WriteFileBytes(in, bytes));
            Outcome o = ParseAndRepair(in, out);
            ASSERT_EQ(o.parse, 0);
            ASSERT_FALSE(o.codes.empty()) << "damage went unnoticed";
            ASSERT_EQ(o.repair, 0);

            const MediaReport repaired = CheckMedia(out);
            EXPECT_TRUE(repaired.CleanDecode()) << repaired.Summary();
            const auto fixed = ReadFileBytes(out);
            ExpectIdx1Sound(fixed);
            ExpectHeaderCounts(fixed);
            ExpectRatesOf(clean, fixed);
            ExpectFormatsOf(clean, fixed);
            ExpectKeyFlagsAgree(original, repaired);

            // Every data chunk clear of the damage is still there, in order.
            auto kept = Payloads(fixed);
            size_t k = 0;
            for (const Chunk& c : originalChunks) {
                if (!IsData(c) || (c.pos < range.second && c.pos + 8 + c.size > range.first))
                    continue;
                std::vector<uint8_t> want(clean.begin() + c.pos + 8, clean.begin() + c.pos + 8 + c.size);
                while (k < kept.size() && !(kept[k].first == c.id && kept[k].second == want))
                    ++k;
                ASSERT_LT(k, kept.size()) << "lost the " << c.id << " chunk at " << c.pos;
            }
            // Timestamps in AVI count chunks: while no frame before the
            // middle was lost, a seek there lands on the same frame, if the
            // file still has it.
            bool landingKept = false;
            for (const auto& p : kept)
                landingKept = landingKept || p.second == originalLanding;
            if (!damage.losesFramesBeforeTheMiddle && landingKept) {
                EXPECT_EQ(PacketAfterSeek(out, middle), originalLanding);
            }
        }
    }
}

// Whether the header lists of a repaired file nest: each ends where a chunk
// begins (a stream's list at the latest where the header list ends, that
// one before the movi list), and the main and stream headers lie inside
// their lists.
void ExpectHeaderListsNest(const std::vector<uint8_t>& d)
{
    const auto chunks = WalkRiff(d);
    std::set<int64_t> starts;
    for (const Chunk& c : chunks)
        starts.insert(c.pos);
    const Chunk* hdrl = Find(chunks, "hdrl");
    const Chunk* movi = Find(chunks, "movi");
    const Chunk* avih = Find(chunks, "avih");
    ASSERT_TRUE(hdrl && movi && avih);
    const int64_t hdrlEnd = hdrl->pos + 8 + hdrl->size;
    EXPECT_TRUE(starts.count(hdrlEnd)) << "the header list ends inside a chunk";
    EXPECT_LE(hdrlEnd, movi->pos);
    EXPECT_LT(avih->pos, hdrlEnd);
    for (int s = 0; const Chunk* strl = Find(chunks, "strl", s); ++s) {
        const int64_t end = strl->pos + 8 + strl->size;
        EXPECT_TRUE(end == hdrlEnd || (end < hdrlEnd && starts.count(end))) << "stream list " << s;
        const Chunk* strh = Find(chunks, "strh", s);
        const Chunk* strf = Find(chunks, "strf", s);
        ASSERT_TRUE(strh && strf);
        EXPECT_TRUE(strh->pos > strl->pos && strh->pos < end && strf->pos < end) << "stream " << s;
    }
}

// A broken size of a header list ("hdrl", a stream's "strl" or the extended
// header's "odml") is mended from its children or from the list it stands
// in: the repaired file carries a size that holds, the true
// one where the broken size lies near it (a filler at the list's end may
// stand on either side, which no reader can tell), and keeps every packet.
// GStreamer's header list has no filler at its end: its size comes back
// true whatever the field held.
TEST(AviRepair, BrokenHeaderListSizeIsMendedFromItsChildren)
{
    struct Value {
        const char* name;
        std::function<uint32_t(uint32_t)> broken;
        bool near;
    };
    const Value values[] = {
        {"with one bit flipped", [](uint32_t v) { return v ^ 0x40u; }, true},
        {"16 too small", [](uint32_t v) { return v - 16; }, true},
        {"24 too large", [](uint32_t v) { return v + 24; }, true},
        {"0", [](uint32_t) { return 0u; }, false},
        {"2^31", [](uint32_t) { return 0x80000000u; }, false},
        {"all ones", [](uint32_t) { return 0xFFFFFFFFu; }, false},
    };
    std::vector<const char*> fixtures(std::begin(kAviFixtures), std::end(kAviFixtures));
    fixtures.push_back("clip_gst.avi");
    for (const char* name : fixtures) {
        const std::string src = RequireFixture(name);
        if (src.empty())
            return;
        const auto clean = ReadFileBytes(src);
        const auto chunks = WalkRiff(clean);
        std::vector<std::pair<std::string, const Chunk*>> lists = {{"hdrl", Find(chunks, "hdrl")},
                                                                   {"first strl", Find(chunks, "strl")}};
        const Chunk* lastStrl = nullptr;
        for (int s = 1; const Chunk* strl = Find(chunks, "strl", s); ++s)
            lastStrl = strl;
        if (lastStrl)
            lists.push_back({"last strl", lastStrl});
        // GStreamer's extended header list stands last in the header list.
        if (const Chunk* odml = Find(chunks, "odml"))
            lists.push_back({"odml", odml});
        const MediaReport original = CheckMedia(src);
        for (const auto& [list, chunk] : lists) {
            ASSERT_TRUE(chunk);
            for (const Value& v : values) {
                SCOPED_TRACE(std::string(name) + ": " + list + " size " + v.name);
                ScratchDir dir("avi-lists");
                auto bytes = clean;
                WriteLE32(bytes, chunk->pos + 4, v.broken(chunk->size));
                const std::string in = dir.Path("damaged.avi"), out = dir.Path("repaired.avi");
                ASSERT_TRUE(WriteFileBytes(in, bytes));
                Outcome o = ParseAndRepair(in, out);
                ASSERT_EQ(o.parse, 0);
                EXPECT_TRUE(Has(o.codes, JRVP_DAMAGE_INDEX)) << "damage went unnoticed";
                ASSERT_EQ(o.repair, 0);
                const auto fixed = ReadFileBytes(out);
                ExpectHeaderListsNest(fixed);
                if (v.near || (list == "hdrl" && std::string(name) == "clip_gst.avi")) {
                    EXPECT_EQ(ReadLE32(fixed, chunk->pos + 4), chunk->size);
                }
                const MediaReport repaired = CheckMedia(out);
                EXPECT_TRUE(repaired.CleanDecode()) << repaired.Summary();
                EXPECT_EQ(repaired.packets.size(), original.packets.size());
            }
        }
    }
}

// The ids and flags of the "idx1" entries, in order.
std::vector<std::pair<std::string, uint32_t>> Idx1Flags(const std::vector<uint8_t>& d)
{
    std::vector<std::pair<std::string, uint32_t>> out;
    const auto chunks = WalkRiff(d);
    const Chunk* idx1 = Find(chunks, "idx1");
    for (uint32_t e = 0; idx1 && e < idx1->size / 16; ++e)
        out.push_back({Id(d, idx1->pos + 8 + 16 * e), ReadLE32(d, idx1->pos + 8 + 16 * e + 4)});
    return out;
}

// The repair of the fixture with its "idx1" renamed, and that file with a
// filler chunk of the given size at the start of its movi list.
std::vector<uint8_t> WithoutIdx1(const std::vector<uint8_t>& clean, int64_t filler)
{
    auto bytes = clean;
    const int64_t idx1 = FindBytes(bytes, "idx1", MoviType(bytes));
    std::memcpy(&bytes[idx1], "JUNK", 4);
    if (filler == 0)
        return bytes;
    const int64_t movi = MoviType(bytes);
    std::vector<uint8_t> junk = {'J', 'U', 'N', 'K'};
    junk.resize(filler, 0);
    WriteLE32(junk, 4, static_cast<uint32_t>(filler - 8));
    bytes.insert(bytes.begin() + movi + 4, junk.begin(), junk.end());
    WriteLE32(bytes, movi - 4, ReadLE32(bytes, movi - 4) + static_cast<uint32_t>(filler));
    WriteLE32(bytes, 4, ReadLE32(bytes, 4) + static_cast<uint32_t>(filler));
    return bytes;
}

// The rebuild finds the chunks of a movi list in the 1 MiB blocks of its
// copy. A filler chunk at the start of the list moves a video chunk so that
// a block ends inside its header, right before or after it, or inside its
// data; the chunk keeps its entry and the key flag it gets where no block
// ends near it.
TEST(AviRepair, ChunksAcrossCopyBlocksKeepTheirEntriesAndKeyFlags)
{
    const std::string src = RequireFixture("clip_h264_pcm.avi");
    if (src.empty())
        return;
    const auto clean = ReadFileBytes(src);
    ScratchDir dir("avi");
    auto repair = [&dir](const std::vector<uint8_t>& bytes) {
        const std::string in = dir.Path("damaged.avi"), out = dir.Path("repaired.avi");
        EXPECT_TRUE(WriteFileBytes(in, bytes));
        Outcome o = ParseAndRepair(in, out);
        EXPECT_EQ(o.parse, 0);
        EXPECT_EQ(o.repair, 0);
        return ReadFileBytes(out);
    };
    const auto reference = Idx1Flags(repair(WithoutIdx1(clean, 0)));
    ASSERT_FALSE(reference.empty());

    constexpr int64_t kCopyBlock = 1 << 20;
    // Bytes of a video chunk up to 8 or 9 past its last start code (chunks
    // stay at even positions): what follows alone holds no picture, which
    // the H.264 parser would take for an intra picture.
    auto pastLastStartCode = [&clean](int nthVideo) {
        const int64_t at = NthVideoChunk(clean, nthVideo);
        const int64_t end = at + 8 + ReadLE32(clean, at + 4);
        int64_t last = at;
        for (int64_t p = at + 8; (p = FindBytes(clean, std::vector<uint8_t>{0, 0, 1}, p)) >= 0 && p < end; ++p)
            last = p;
        return (last + 9 - at) / 2 * 2;
    };
    struct Case {
        int nthVideo;    // 0: the key frame that opens the stream; 3: a predicted frame
        int64_t before;  // bytes of the chunk (header first) before the block's end
    };
    const Case cases[] = {{0, 0}, {0, 2}, {0, 6}, {0, 8}, {0, pastLastStartCode(0)},
                          {3, 0}, {3, 4}, {3, 8}, {3, pastLastStartCode(3)}};
    for (const Case& c : cases) {
        SCOPED_TRACE("video chunk " + std::to_string(c.nthVideo) + ", " + std::to_string(c.before) +
                     " bytes before the block's end");
        // The copy's blocks count from the first chunk of the movi list.
        const int64_t filler = MoviType(clean) + 4 + kCopyBlock - c.before - NthVideoChunk(clean, c.nthVideo);
        ASSERT_TRUE(filler >= 8 && filler % 2 == 0);
        const auto moved = WithoutIdx1(clean, filler);
        ASSERT_EQ(NthVideoChunk(moved, c.nthVideo), MoviType(moved) + 4 + kCopyBlock - c.before);
        const auto fixed = repair(moved);
        ExpectIdx1Sound(fixed);
        EXPECT_TRUE(Payloads(fixed) == Payloads(clean));
        EXPECT_TRUE(Idx1Flags(fixed) == reference);
    }
}

// ---------------------------------------------------------------------------
// OpenDML: a real file needs over 1 GiB, so the test writes a small one with
// two RIFF forms, standard indexes in each movi list and a super index.

class RiffWriter {
public:
    std::vector<uint8_t> d;
    void Tag(const char* id) { d.insert(d.end(), id, id + 4); }
    void U8(uint8_t v) { d.push_back(v); }
    void U16(uint16_t v) { U8(v & 0xff); U8(v >> 8); }
    void U32(uint32_t v) { U16(v & 0xffff); U16(v >> 16); }
    void U64(uint64_t v) { U32(static_cast<uint32_t>(v)); U32(static_cast<uint32_t>(v >> 32)); }
    void Bytes(const std::vector<uint8_t>& b) { d.insert(d.end(), b.begin(), b.end()); }
    // Opens a chunk (or, with a type, a list); returns its size field.
    size_t Begin(const char* id, const char* type = nullptr)
    {
        Tag(id);
        size_t at = d.size();
        U32(0);
        if (type)
            Tag(type);
        return at;
    }
    void End(size_t sizeField)
    {
        WriteLE32(d, sizeField, static_cast<uint32_t>(d.size() - sizeField - 4));
        if (d.size() & 1)
            U8(0);
    }
};

struct OpenDmlFile {
    std::vector<uint8_t> bytes;
    size_t firstFormFrames = 0;
    std::vector<std::vector<uint8_t>> frames;
};

// Video only, MJPEG frames and headers taken from the MJPEG fixture. The
// stream header may be cut to strhSize bytes, as old writers made it.
OpenDmlFile BuildOpenDml(const std::vector<uint8_t>& src, size_t strhSize = 56)
{
    OpenDmlFile f;
    auto chunks = WalkRiff(src);
    for (const Chunk& c : chunks)
        if (c.id == "00dc" && c.movi >= 0)
            f.frames.emplace_back(src.begin() + c.pos + 8, src.begin() + c.pos + 8 + c.size);
    f.firstFormFrames = f.frames.size() / 2;
    const Chunk* avih = Find(chunks, "avih");
    const Chunk* strh = Find(chunks, "strh");
    const Chunk* strf = Find(chunks, "strf");
    auto body = [&src](const Chunk* c) {
        return std::vector<uint8_t>(src.begin() + c->pos + 8, src.begin() + c->pos + 8 + c->size);
    };
    constexpr uint32_t kSuperRoom = 4;
    RiffWriter w;
    size_t riff = w.Begin("RIFF", "AVI ");
    size_t hdrl = w.Begin("LIST", "hdrl");
    auto a = body(avih);
    WriteLE32(a, 16, static_cast<uint32_t>(f.firstFormFrames));
    WriteLE32(a, 24, 1);
    size_t c = w.Begin("avih");
    w.Bytes(a);
    w.End(c);
    size_t strl = w.Begin("LIST", "strl");
    auto h = body(strh);
    WriteLE32(h, 32, static_cast<uint32_t>(f.frames.size()));
    h.resize(strhSize);
    c = w.Begin("strh");
    w.Bytes(h);
    w.End(c);
    c = w.Begin("strf");
    w.Bytes(body(strf));
    w.End(c);
    c = w.Begin("indx");
    const size_t indx = w.d.size();
    w.U16(4);
    w.U8(0);
    w.U8(0);  // AVI_INDEX_OF_INDEXES
    w.U32(2);
    w.Tag("00dc");
    for (int i = 0; i < 3; ++i)
        w.U32(0);
    for (uint32_t i = 0; i < kSuperRoom * 4; ++i)
        w.U32(0);
    w.End(c);
    w.End(strl);
    size_t odml = w.Begin("LIST", "odml");
    c = w.Begin("dmlh");
    w.U32(static_cast<uint32_t>(f.frames.size()));
    for (int i = 0; i < 61; ++i)
        w.U32(0);
    w.End(c);
    w.End(odml);
    w.End(hdrl);

    std::vector<std::pair<uint32_t, uint32_t>> idx1;  // offset, size
    for (int form = 0; form < 2; ++form) {
        size_t riffX = 0;
        if (form == 1)
            riffX = w.Begin("RIFF", "AVIX");
        size_t movi = w.Begin("LIST", "movi");
        const int64_t base = movi + 4;
        std::vector<std::pair<uint32_t, uint32_t>> entries;
        const size_t from = form == 0 ? 0 : f.firstFormFrames;
        const size_t to = form == 0 ? f.firstFormFrames : f.frames.size();
        for (size_t i = from; i < to; ++i) {
            if (form == 0)
                idx1.push_back({static_cast<uint32_t>(w.d.size() - base), static_cast<uint32_t>(f.frames[i].size())});
            c = w.Begin("00dc");
            entries.push_back({static_cast<uint32_t>(w.d.size() + 4 - base), static_cast<uint32_t>(f.frames[i].size())});
            w.Bytes(f.frames[i]);
            w.End(c);
        }
        const size_t ix = w.d.size();
        c = w.Begin("ix00");
        w.U16(2);
        w.U8(0);
        w.U8(1);  // AVI_INDEX_OF_CHUNKS
        w.U32(static_cast<uint32_t>(entries.size()));
        w.Tag("00dc");
        w.U64(base);
        w.U32(0);
        for (auto& e : entries) {
            w.U32(e.first);
            w.U32(e.second);
        }
        w.End(c);
        const size_t entry = indx + 24 + 16 * form;
        WriteLE32(w.d, entry, static_cast<uint32_t>(ix));
        WriteLE32(w.d, entry + 4, 0);
        WriteLE32(w.d, entry + 8, static_cast<uint32_t>(w.d.size() - ix));
        WriteLE32(w.d, entry + 12, static_cast<uint32_t>(entries.size()));
        w.End(movi);
        if (form == 0) {
            c = w.Begin("idx1");
            for (auto& e : idx1) {
                w.Tag("00dc");
                w.U32(0x10);
                w.U32(e.first);
                w.U32(e.second);
            }
            w.End(c);
            w.End(riff);
        } else {
            w.End(riffX);
        }
    }
    f.bytes = std::move(w.d);
    return f;
}

// Every super index entry in use points at a standard index chunk whose
// entries point at the data chunks of its movi list, all of them.
void ExpectOpenDmlIndexesSound(const std::vector<uint8_t>& d, size_t forms)
{
    auto chunks = WalkRiff(d);
    const Chunk* indx = Find(chunks, "indx");
    ASSERT_TRUE(indx);
    const int64_t data = indx->pos + 8;
    const uint32_t used = ReadLE32(d, data + 4);
    ASSERT_EQ(used, forms);
    ASSERT_LE(24 + 16 * used, indx->size) << "entries beyond the room of the super index";
    for (uint32_t e = 0; e < used; ++e) {
        const int64_t entry = data + 24 + 16 * e;
        const int64_t ix = static_cast<int64_t>(ReadLE32(d, entry)) | static_cast<int64_t>(ReadLE32(d, entry + 4)) << 32;
        ASSERT_EQ(Id(d, ix), "ix00") << "super entry " << e;
        const uint32_t ixSize = ReadLE32(d, ix + 4);
        EXPECT_EQ(ReadLE32(d, entry + 8), ixSize + 8);
        const uint32_t n = ReadLE32(d, ix + 12);
        EXPECT_EQ(ReadLE32(d, entry + 12), n);
        ASSERT_EQ(ixSize, 24 + 8 * n);
        const int64_t base = static_cast<int64_t>(ReadLE32(d, ix + 20)) | static_cast<int64_t>(ReadLE32(d, ix + 24)) << 32;
        // The standard index sits in the movi list it indexes.
        const Chunk* ixChunk = nullptr;
        for (const Chunk& c : chunks)
            if (c.pos == ix)
                ixChunk = &c;
        ASSERT_TRUE(ixChunk);
        ASSERT_EQ(ixChunk->movi, base);
        size_t dataChunks = 0;
        for (const Chunk& c : chunks)
            dataChunks += IsData(c) && c.movi == base;
        EXPECT_EQ(n, dataChunks);
        for (uint32_t k = 0; k < n; ++k) {
            const int64_t at = base + ReadLE32(d, ix + 32 + 8 * k) - 8;
            ASSERT_EQ(Id(d, at), "00dc") << "entry " << k;
            EXPECT_EQ(ReadLE32(d, at + 4), ReadLE32(d, ix + 36 + 8 * k) & 0x7fffffffu);
        }
    }
}

TEST(AviWalk, ShortStreamHeaderIsReadOnlyAsFarAsItGoes)
{
    const std::string src = RequireFixture("clip_mjpeg.avi");
    if (src.empty())
        return;
    // 36 bytes end with the length; read further, the sample size would
    // come from the "strf" header after it and the length would seem wrong.
    const OpenDmlFile file = BuildOpenDml(ReadFileBytes(src), 36);
    ScratchDir dir("avi");
    ASSERT_TRUE(WriteFileBytes(dir.Path("short.avi"), file.bytes));
    Outcome o = ParseAndRepair(dir.Path("short.avi"));
    EXPECT_EQ(o.parse, 0);
    EXPECT_TRUE(o.codes.empty());
}

TEST(AviOpenDml, CutInTheSecondFormKeepsBothFormsAndIndexesThem)
{
    const std::string src = RequireFixture("clip_mjpeg.avi");
    if (src.empty())
        return;
    const OpenDmlFile file = BuildOpenDml(ReadFileBytes(src));
    ScratchDir dir("avi");
    const std::string intact = dir.Path("odml.avi");
    ASSERT_TRUE(WriteFileBytes(intact, file.bytes));
    const MediaReport report = CheckMedia(intact);
    ASSERT_TRUE(report.CleanDecode()) << report.Summary();
    ASSERT_EQ(report.VideoFrames(), static_cast<int64_t>(file.frames.size()));
    Outcome o = ParseAndRepair(intact);
    EXPECT_EQ(o.parse, 0);
    EXPECT_TRUE(o.codes.empty());

    // Cut in the middle of the second form's sixth frame.
    auto chunks = WalkRiff(file.bytes);
    const Chunk* frame = nullptr;
    for (const Chunk& c : chunks)
        if (c.id == "00dc" && c.form == 1 && !frame)
            frame = &c;
    ASSERT_TRUE(frame);
    int64_t cut = frame->pos;
    for (int i = 0; i < 5; ++i) {
        const uint32_t size = ReadLE32(file.bytes, cut + 4);
        cut += 8 + size + (size & 1);
    }
    cut += 100;
    auto bytes = file.bytes;
    bytes.resize(cut);
    const std::string in = dir.Path("cut.avi"), out = dir.Path("repaired.avi");
    ASSERT_TRUE(WriteFileBytes(in, bytes));
    o = ParseAndRepair(in, out);
    ASSERT_EQ(o.parse, 0);
    ASSERT_EQ(o.repair, 0);

    const MediaReport repaired = CheckMedia(out);
    EXPECT_TRUE(repaired.CleanDecode()) << repaired.Summary();
    const size_t kept = file.firstFormFrames + 5;
    EXPECT_EQ(repaired.VideoFrames(), static_cast<int64_t>(kept));
    const auto fixed = ReadFileBytes(out);
    auto payloads = Payloads(fixed);
    ASSERT_EQ(payloads.size(), kept);
    for (size_t i = 0; i < kept; ++i)
        EXPECT_EQ(payloads[i].second, file.frames[i]) << "frame " << i;
    ExpectOpenDmlIndexesSound(fixed, 2);
    ExpectIdx1Sound(fixed);
    ExpectHeaderCounts(fixed);
    auto fixedChunks = WalkRiff(fixed);
    const Chunk* dmlh = Find(fixedChunks, "dmlh");
    ASSERT_TRUE(dmlh);
    EXPECT_EQ(ReadLE32(fixed, dmlh->pos + 8), kept);
    ASSERT_TRUE(Find(fixedChunks, "AVIX"));
    EXPECT_EQ(Find(fixedChunks, "AVIX")->form, 1);
}

// Through the library's interface: content detection finds the container
// without the extension's help, and the rebuild reads back and patches what
// it wrote into a caller's stream.
TEST(AviRepair, CallerStreamGetsTheSameRepairAsAFile)
{
    const std::string src = RequireFixture("clip_h264_pcm.avi");
    if (src.empty())
        return;
    ScratchDir dir("avi");
    auto bytes = ReadFileBytes(src);
    bytes.resize(bytes.size() * 6 / 10);
    const std::string in = dir.Path("cut.bin");
    ASSERT_TRUE(WriteFileBytes(in, bytes));

    struct Waiter {
        std::mutex mutex;
        std::condition_variable cv;
        std::vector<int> results;
        static void OnResult(JRVPProcessResult r, void* user)
        {
            auto* self = static_cast<Waiter*>(user);
            std::lock_guard<std::mutex> lock(self->mutex);
            self->results.push_back(r);
            self->cv.notify_all();
        }
        int Wait(size_t n)
        {
            std::unique_lock<std::mutex> lock(mutex);
            // Only a hang misses this: the parse of a small file ends at once.
            const auto guard = std::chrono::seconds(mendtest::kUnderSanitizer ? 120 : 30);
            cv.wait_for(lock, guard, [&] { return results.size() >= n; });
            return results.size() >= n ? results[n - 1] : -1000;
        }
    } waiter;
    IVideoRepair* repair = CreateRepair();
    ASSERT_TRUE(repair->SetFile(in.c_str()));
    ASSERT_EQ(repair->OpenFile([](JRVPFileError, void*) {}, &Waiter::OnResult, &waiter), 0);
    ASSERT_EQ(waiter.Wait(1), 0);
    EXPECT_EQ(repair->GetFormat(), JRVP_FORMAT_AVI);
    EXPECT_GT(repair->GetErrorsCount(), 0);
    MemoryVideoStream memory;
    ASSERT_EQ(repair->RepairFile(&memory, 1, &Waiter::OnResult, &waiter, nullptr), 0);
    ASSERT_EQ(waiter.Wait(2), 0);
    DestroyRepair(repair);

    const std::string viaStream = dir.Path("stream.avi"), viaFile = dir.Path("file.avi");
    ASSERT_TRUE(WriteFileBytes(viaStream, memory.Bytes()));
    Outcome o = ParseAndRepair(in, viaFile);
    ASSERT_EQ(o.repair, 0);
    EXPECT_EQ(memory.Bytes(), ReadFileBytes(viaFile));
    const MediaReport report = CheckMedia(viaStream);
    EXPECT_TRUE(report.CleanDecode()) << report.Summary();
}

}  // namespace
