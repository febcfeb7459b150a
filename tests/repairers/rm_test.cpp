// RealMedia: the schema and codec map, the walk of intact files, and the
// rebuild of damaged ones, judged by libavformat and by the tests' own
// RealMedia reader (index records, counts, offsets).
#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include "core/BaseStream.h"
#include "mendcore/VideoRepair.h"
#include "support/Damage.h"
#include "support/CountedInput.h"
#include "support/Fixtures.h"
#include "support/MediaCheck.h"
#include "support/RepairRun.h"
#include "support/RealMedia.h"
#include "tree/RMVBRepair.h"
#include "tree/RmSchema.h"

using namespace mendtest;

namespace {

struct Outcome : RepairOutcome {
    int format = 0;
};

Outcome ParseAndRepair(const std::string& in, const std::string& out = "")
{
    return ParseAndRepairWith<CRMVBRepair, Outcome>(in, out, [](CRMVBRepair& repair, Outcome& o) {
        o.format = repair.GetFormat();
    });
}

std::vector<uint8_t> Slice(const std::vector<uint8_t>& d, int64_t pos, int64_t n)
{
    return std::vector<uint8_t>(d.begin() + pos, d.begin() + pos + n);
}

// The index and header fields of a rebuilt file: one INDX per stream with
// packets, every record on a packet header of its stream with its
// timestamp and its ordinal among all packets; the video stream indexed at
// its key frames, every other stream at every packet; PROP's counts and
// offsets those of the file.
void ExpectIndexSound(const std::vector<uint8_t>& d, int videoStream)
{
    const RmLayout l = ReadRealMedia(d);
    ASSERT_FALSE(l.packets.empty());
    std::map<int64_t, size_t> at;
    std::map<uint16_t, size_t> expected, got;
    for (size_t i = 0; i < l.packets.size(); ++i) {
        at[l.packets[i].pos] = i;
        if (l.packets[i].stream != videoStream || l.packets[i].key)
            ++expected[l.packets[i].stream];
    }
    for (const RmIndexRecord& r : l.index) {
        auto it = at.find(r.offset);
        ASSERT_NE(it, at.end()) << "record off any packet header: " << r.offset;
        const RmPacketRead& p = l.packets[it->second];
        EXPECT_EQ(p.stream, r.stream);
        EXPECT_EQ(p.timestamp, r.timestamp);
        EXPECT_EQ(r.number, it->second);
        ++got[r.stream];
    }
    EXPECT_EQ(got, expected);
    int indexes = 0;
    int64_t firstIndex = 0, firstData = 0;
    uint32_t maxTs = 0;
    for (const RmPacketRead& p : l.packets)
        maxTs = std::max(maxTs, p.timestamp);
    for (const RmChunkInfo& c : l.chunks) {
        if (c.id == "INDX" && indexes++ == 0)
            firstIndex = c.pos;
        if (c.id == "DATA" && firstData == 0)
            firstData = c.pos;
    }
    EXPECT_EQ(static_cast<size_t>(indexes), expected.size());
    EXPECT_EQ(l.propIndexOffset, firstIndex);
    EXPECT_EQ(l.propDataOffset, firstData);
    EXPECT_EQ(l.propPackets, l.packets.size());
    EXPECT_EQ(l.propDuration, maxTs);
    // The rebuilt file is exactly its chunks: nothing after the last.
    EXPECT_EQ(l.chunks.back().pos + l.chunks.back().size, static_cast<int64_t>(d.size()));
}

// Seeks the video stream to the key frame in the middle of its index:
// libavformat must land on it. (Its RealMedia seek searches for a key frame
// at or after a guessed position, so a time between the last key frame and
// the end fails in any file, an intact one too.)
bool SeeksToMiddle(const std::string& path, int videoStream)
{
    const RmLayout l = ReadRealMedia(ReadFileBytes(path));
    std::vector<uint32_t> keys;
    for (const RmIndexRecord& r : l.index)
        if (r.stream == videoStream)
            keys.push_back(r.timestamp);
    if (keys.empty())
        return false;
    const int64_t key = keys[keys.size() / 2];
    AVFormatContext* fmt = nullptr;
    if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0)
        return false;
    bool ok = avformat_find_stream_info(fmt, nullptr) >= 0 && videoStream < static_cast<int>(fmt->nb_streams);
    AVPacket* pkt = av_packet_alloc();
    if (ok) {
        const AVStream* s = fmt->streams[videoStream];
        const int64_t target = av_rescale_q(key, AVRational{1, 1000}, s->time_base);
        ok = av_seek_frame(fmt, videoStream, target, AVSEEK_FLAG_BACKWARD) >= 0;
        while (ok && (ok = av_read_frame(fmt, pkt) >= 0) && pkt->stream_index != videoStream)
            av_packet_unref(pkt);
        ok = ok && av_rescale_q(pkt->pts, s->time_base, AVRational{1, 1000}) == key;
    }
    av_packet_free(&pkt);
    avformat_close_input(&fmt);
    return ok;
}

// A RealMedia file of any length made up on reading: a header and one DATA
// chunk of identical full-size packets. Nothing of it is held in memory.
class LongRealMedia : public IBaseStream {
public:
    LongRealMedia(int64_t length, int64_t damageAt) : m_length(length), m_damageAt(damageAt)
    {
        RmFileSpec spec;
        spec.streams = {{0, "Video Stream", "video/x-pn-realvideo", "RV40"}};
        m_head = WriteRealMedia(spec);
    }
    unsigned int Read(void* buf, unsigned int n) override
    {
        auto* out = static_cast<uint8_t*>(buf);
        const int64_t head = static_cast<int64_t>(m_head.size());
        const int64_t start = m_pos;
        const int64_t end = std::min<int64_t>(m_pos + n, m_length);
        while (m_pos < end) {
            uint8_t* at = out + (m_pos - start);
            if (m_pos < head) {
                const int64_t k = std::min(end, head) - m_pos;
                memcpy(at, m_head.data() + m_pos, static_cast<size_t>(k));
                m_pos += k;
                continue;
            }
            const int64_t k = (m_pos - head) / kPacket;
            const int64_t i = (m_pos - head) % kPacket;
            const int64_t run = std::min(end - m_pos, kPacket - i);
            memset(at, static_cast<int>(k & 0x7F), static_cast<size_t>(run));
            const uint32_t ts = static_cast<uint32_t>(k * 40);
            const uint8_t header[12] = {0, 0, 0xFF, 0xFF, 0, 0, uint8_t(ts >> 24), uint8_t(ts >> 16),
                                        uint8_t(ts >> 8), uint8_t(ts), 0, uint8_t(k % 25 == 0 ? 2 : 0)};
            for (int64_t j = i; j < 12 && j - i < run; ++j)
                at[j - i] = header[j];
            m_pos += run;
        }
        // The damaged stretch.
        for (int64_t d = std::max(start, m_damageAt); d < std::min(end, m_damageAt + 100); ++d)
            out[d - start] = 0xEE;
        return static_cast<unsigned int>(end - start);
    }
    unsigned int Write(const void*, unsigned int) override { return 0; }
    long long GetLength() override { return m_length; }
    long long SetLength(long long) override { return m_length; }
    long long GetPos() override { return m_pos; }
    long long SeekTo(long long pos) override
    {
        m_pos = std::max<int64_t>(0, std::min<int64_t>(pos, m_length));
        return m_pos;
    }
    long long JumpOver(long long d) override { return SeekTo(m_pos + d); }

private:
    static constexpr int64_t kPacket = 0xFFFF;
    std::vector<uint8_t> m_head;
    int64_t m_length;
    int64_t m_damageAt;
    int64_t m_pos = 0;
};

const char* const kRmFixtures[] = {"clip.rm", "clip_rv10.rm"};

}  // namespace

TEST(RmSchema, TopLevelAndCodecMap)
{
    std::vector<unsigned int> ids;
    for (const auto* s = RmSchema().Top(); s; s = s->next) {
        EXPECT_EQ(s->level, 1u);
        EXPECT_EQ(s->firstChild, nullptr);
        ids.push_back(s->id);
    }
    EXPECT_EQ(ids, (std::vector<unsigned int>{RM_ID_RMF, RM_ID_PROP, RM_ID_MDPR, RM_ID_CONT, RM_ID_DATA, RM_ID_INDX,
                                              RM_ID_RMMD}));
    EXPECT_EQ(&RmSchema(), &RmSchema());
    EXPECT_EQ(RmCodecOf(RmFourCC('R', 'V', 'T', 'R')), AV_CODEC_ID_RV20);
    EXPECT_EQ(RmCodecOf(RmFourCC('R', 'V', '4', '0')), AV_CODEC_ID_RV40);
    EXPECT_EQ(RmCodecOf(RmFourCC('r', 'a', 'c', 'p')), RmCodecOf(RmFourCC('r', 'a', 'a', 'c')));
    EXPECT_EQ(RmCodecOf(RmFourCC('r', 'v', '2', '0')), AV_CODEC_ID_NONE);
    EXPECT_EQ(InitRmffCodecMap()->size(), 14u);
}

TEST(RmWalk, IntactFixturesAreUndamaged)
{
    for (const char* name : kRmFixtures) {
        const std::string path = RequireFixture(name);
        if (path.empty())
            return;
        Outcome o = ParseAndRepair(path);
        EXPECT_EQ(o.parse, 0) << name;
        EXPECT_EQ(o.format, JRVP_FORMAT_RMVB) << name;
        // ffmpeg writes no index and declares none: not damage.
        EXPECT_TRUE(o.codes.empty()) << name;
    }
}

TEST(RmWalk, BytesAfterTheLastPacket)
{
    const std::string fixture = RequireFixture("clip.rm");
    if (fixture.empty())
        return;
    ScratchDir dir("rm-tail");
    struct Case {
        const char* what;
        std::vector<uint8_t> tail;
        bool damage;
        size_t lost;
    } cases[] = {
        {"no padding", {}, false, 0},
        {"ffmpeg's zeros and more zeros", std::vector<uint8_t>(4, 0), false, 0},
        {"stray bytes", {0xAB, 0xCD, 0xEF, 0x01, 0x02}, true, 0},
        // Damage to the end lies after the chunk: however long, it does
        // not make the chunk refused, and it is passed over in memory.
        {"a long zeroed tail", std::vector<uint8_t>(8 << 20, 0), true, 0},
        {"a long garbage tail", PseudoRandomBytes(1 << 20, 3), true, 0},
        {"a longer garbage tail", PseudoRandomBytes(8 << 20, 4), true, 0},
    };
    int64_t packetCalls = 0;
    for (const Case& c : cases) {
        std::vector<uint8_t> d = ReadFileBytes(fixture);
        // ffmpeg's file ends in 8 zero bytes after the last packet.
        ASSERT_EQ(std::count(d.end() - 8, d.end(), 0), 8);
        d.resize(d.size() - 8);
        if (std::string(c.what) != "no padding")
            d.insert(d.end(), 8, 0);
        d.insert(d.end(), c.tail.begin(), c.tail.end());
        const std::string in = dir.Path("tail.rm");
        ASSERT_TRUE(WriteFileBytes(in, d));
        int err = 0;
        CVideoFile input(in.c_str(), 0, &err);
        WithCountedInput<CRMVBRepair> repair(&input);
        std::vector<int> codes;
        ASSERT_EQ(repair.ParseStream(&CollectCode, &codes), 0) << c.what;
        const RmLayout l = ReadRealMedia(ReadFileBytes(fixture));
        // The last packet is kept: nothing after it confirms its length, but
        // the damage runs to the end, so none of it lies inside the packet.
        EXPECT_EQ(repair.Packets().size() + c.lost, l.packets.size()) << c.what;
        EXPECT_EQ(Has(codes, JRVP_DAMAGE_SEGMENT), c.damage) << c.what;
        // A long tail is crossed in blocks that grow to a MiB: its calls,
        // beyond those the packets cost, are under 3 per MiB where blocks
        // that stayed at 64 KiB made 17 (the bound leaves twice what the
        // growing blocks need).
        ReadCounts tail = repair.InputCalls();
        if (c.tail.empty())
            packetCalls = tail.reads;
        tail.reads -= packetCalls;
        if (c.tail.size() >= (8u << 20)) {
            EXPECT_LT(tail.ReadsPerMiB(static_cast<int64_t>(c.tail.size())), 6.0) << c.what;
        }
    }
}

TEST(RmRepair, DamageTable)
{
    struct Case {
        const char* name;
        const char* fixture;
        // Applies the damage; returns the damaged range of the original.
        std::function<std::pair<int64_t, int64_t>(const std::string&, const std::vector<uint8_t>&)> damage;
        int expectCode;
    };
    const Case cases[] = {
        {"cut at 60%", "clip.rm",
         [](const std::string& p, const std::vector<uint8_t>& d) {
             const int64_t cut = static_cast<int64_t>(d.size()) * 6 / 10;
             EXPECT_TRUE(TruncateFile(p, cut));
             return std::make_pair(cut, static_cast<int64_t>(d.size()));
         },
         JRVP_DAMAGE_SEGMENT},
        {"2 KiB zeroed in DATA", "clip.rm",
         [&](const std::string& p, const std::vector<uint8_t>& d) {
             // Across packet headers (inside one payload no container
             // could tell).
             const RmLayout l = ReadRealMedia(d);
             const int64_t at = l.packets[l.packets.size() * 3 / 4].pos - 1024;
             EXPECT_TRUE(ZeroRange(p, at, 2048));
             return std::make_pair(at, at + 2048);
         },
         JRVP_DAMAGE_SEGMENT},
        {"2 KiB zeroed in RV10 DATA", "clip_rv10.rm",
         [&](const std::string& p, const std::vector<uint8_t>& d) {
             const RmLayout l = ReadRealMedia(d);
             const int64_t at = l.packets[l.packets.size() / 3].pos - 1024;
             EXPECT_TRUE(ZeroRange(p, at, 2048));
             return std::make_pair(at, at + 2048);
         },
         JRVP_DAMAGE_SEGMENT},
        {"garbage spliced in", "clip.rm",
         [](const std::string& p, const std::vector<uint8_t>& d) {
             const int64_t at = static_cast<int64_t>(d.size()) * 4 / 10;
             EXPECT_TRUE(SpliceGarbage(p, at, 3000, 7));
             return std::make_pair(at, at + 1);
         },
         JRVP_DAMAGE_SEGMENT},
        {"wrong PROP duration", "clip.rm",
         [](const std::string& p, const std::vector<uint8_t>& d) {
             const int64_t prop = FindBytes(d, "PROP");
             EXPECT_TRUE(OverwriteBytes(p, prop + 30, {0x00, 0x10, 0x00, 0x00}));
             return std::make_pair(int64_t(0), int64_t(0));
         },
         JRVP_DAMAGE_TIMING},
        // A broken PROP size: its fixed fields and the chunk after them
        // still tell where it ends, and libavformat plays the file.
        {"PROP size with one bit flipped", "clip.rm",
         [](const std::string& p, const std::vector<uint8_t>& d) {
             const int64_t prop = FindBytes(d, "PROP");
             EXPECT_TRUE(OverwriteBytes(p, prop + 7, {static_cast<uint8_t>(d[prop + 7] ^ 0x40)}));
             return std::make_pair(int64_t(0), int64_t(0));
         },
         JRVP_DAMAGE_STRUCTURE},
        {"PROP size zeroed", "clip_rv10.rm",
         [](const std::string& p, const std::vector<uint8_t>& d) {
             EXPECT_TRUE(OverwriteBytes(p, FindBytes(d, "PROP") + 4, {0, 0, 0, 0}));
             return std::make_pair(int64_t(0), int64_t(0));
         },
         JRVP_DAMAGE_STRUCTURE},
        {"PROP size all ones", "clip.rm",
         [](const std::string& p, const std::vector<uint8_t>& d) {
             EXPECT_TRUE(OverwriteBytes(p, FindBytes(d, "PROP") + 4, {0xFF, 0xFF, 0xFF, 0xFF}));
             return std::make_pair(int64_t(0), int64_t(0));
         },
         JRVP_DAMAGE_STRUCTURE},
        {"PROP size one too small", "clip.rm",
         [](const std::string& p, const std::vector<uint8_t>& d) {
             EXPECT_TRUE(OverwriteBytes(p, FindBytes(d, "PROP") + 4, {0, 0, 0, 49}));
             return std::make_pair(int64_t(0), int64_t(0));
         },
         JRVP_DAMAGE_STRUCTURE},
        // The file header's size likewise: its fields are fixed and PROP
        // follows them.
        {".RMF size all ones", "clip.rm",
         [](const std::string& p, const std::vector<uint8_t>&) {
             EXPECT_TRUE(OverwriteBytes(p, 4, {0xFF, 0xFF, 0xFF, 0xFF}));
             return std::make_pair(int64_t(0), int64_t(0));
         },
         JRVP_DAMAGE_STRUCTURE},
        {".RMF size 2^31", "clip_rv10.rm",
         [](const std::string& p, const std::vector<uint8_t>&) {
             EXPECT_TRUE(OverwriteBytes(p, 4, {0x80, 0, 0, 0}));
             return std::make_pair(int64_t(0), int64_t(0));
         },
         JRVP_DAMAGE_STRUCTURE},
        {".RMF size zeroed", "clip.rm",
         [](const std::string& p, const std::vector<uint8_t>&) {
             EXPECT_TRUE(OverwriteBytes(p, 4, {0, 0, 0, 0}));
             return std::make_pair(int64_t(0), int64_t(0));
         },
         JRVP_DAMAGE_STRUCTURE},
        // A content description whose title runs past it: libavformat
        // refuses the file; the copy leaves the text out.
        {"CONT title length 1", "clip.rm",
         [](const std::string& p, const std::vector<uint8_t>& d) {
             EXPECT_TRUE(OverwriteBytes(p, FindBytes(d, "CONT") + 10, {0, 1}));
             return std::make_pair(int64_t(0), int64_t(0));
         },
         JRVP_DAMAGE_STRUCTURE},
        {"CONT title length all ones", "clip.rm",
         [](const std::string& p, const std::vector<uint8_t>& d) {
             EXPECT_TRUE(OverwriteBytes(p, FindBytes(d, "CONT") + 10, {0xFF, 0xFF}));
             return std::make_pair(int64_t(0), int64_t(0));
         },
         JRVP_DAMAGE_STRUCTURE},
    };
    ScratchDir dir("rm-damage");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string fixture = RequireFixture(c.fixture);
        if (fixture.empty())
            return;
        const std::vector<uint8_t> original = ReadFileBytes(fixture);
        const std::string in = dir.Path("in.rm"), out = dir.Path("out.rm");
        ASSERT_TRUE(CopyFile(fixture, in));
        const auto range = c.damage(in, original);
        Outcome o = ParseAndRepair(in, out);
        ASSERT_EQ(o.parse, 0);
        EXPECT_TRUE(Has(o.codes, c.expectCode));
        ASSERT_EQ(o.repair, 0);
        const MediaReport report = CheckMedia(out);
        EXPECT_TRUE(report.CleanDecode()) << report.Summary();
        const std::vector<uint8_t> repaired = ReadFileBytes(out);
        EXPECT_EQ(ReadBE32(repaired, FindBytes(repaired, "PROP") + 4), 50u) << "the PROP size written";
        EXPECT_EQ(ReadBE32(repaired, 4), 18u) << "the file header's size written";
        const RmLayout ol = ReadRealMedia(original);
        const RmLayout rl = ReadRealMedia(repaired);
        int video = -1;
        if (const StreamReport* v = report.FirstStream(AVMEDIA_TYPE_VIDEO))
            video = v->index;
        ExpectIndexSound(repaired, video);
        if (video >= 0) {
            EXPECT_TRUE(SeeksToMiddle(out, video));
        }
        // Every packet outside the damage is there, byte for byte and in
        // order; nothing else is.
        std::vector<std::vector<uint8_t>> kept, outside;
        for (const RmPacketRead& p : rl.packets)
            kept.push_back(Slice(repaired, p.pos, p.length));
        for (const RmPacketRead& p : ol.packets)
            if (p.pos + p.length <= range.first || p.pos >= range.second)
                outside.push_back(Slice(original, p.pos, p.length));
        size_t k = 0;
        for (const auto& want : outside) {
            while (k < kept.size() && kept[k] != want)
                ++k;
            ASSERT_LT(k, kept.size()) << "a packet outside the damage is missing";
        }
        EXPECT_LE(kept.size(), ol.packets.size());
        EXPECT_GE(kept.size() + 4, outside.size());
    }
}

TEST(RmRepair, SyntheticRv40WithIndexGetsANewOne)
{
    RmFileSpec spec;
    spec.streams = {{0, "Video Stream", "video/x-pn-realvideo", "RV40"}, {1, "Audio Stream", "audio/x-pn-realaudio", ""}};
    for (uint32_t i = 0; i < 60; ++i) {
        RmPacketSpec v{0, i * 100, i % 10 == 0, PseudoRandomBytes(150 + i, i)};
        spec.packets.push_back(v);
        spec.packets.push_back(RmPacketSpec{1, i * 100 + 5, false, PseudoRandomBytes(80, 1000 + i)});
    }
    spec.duration = 5990;
    spec.withIndex = true;
    std::vector<uint8_t> d = WriteRealMedia(spec);
    ScratchDir dir("rm-synth");
    const std::string in = dir.Path("synth.rmvb"), out = dir.Path("out.rmvb");
    ASSERT_TRUE(WriteFileBytes(in, d));
    {
        Outcome intact = ParseAndRepair(in);
        EXPECT_EQ(intact.parse, 0);
        EXPECT_TRUE(intact.codes.empty());
    }
    // The index that PROP declares, lost: damage, and the repair writes one.
    {
        const RmLayout whole = ReadRealMedia(d);
        ASSERT_NE(whole.propIndexOffset, 0u);
        const std::string lost = dir.Path("lost-index.rmvb"), mended = dir.Path("lost-index-out.rmvb");
        ASSERT_TRUE(WriteFileBytes(lost, std::vector<uint8_t>(d.begin(), d.begin() + whole.propIndexOffset)));
        Outcome o = ParseAndRepair(lost, mended);
        EXPECT_EQ(o.parse, 0);
        EXPECT_EQ(o.codes, std::vector<int>{JRVP_DAMAGE_INDEX});
        ASSERT_EQ(o.repair, 0);
        ExpectIndexSound(ReadFileBytes(mended), 0);
    }
    // Zero one audio packet's header in the middle: it goes, and so does
    // the key frame before it, whose length nothing after it confirms.
    const RmLayout l = ReadRealMedia(d);
    ASSERT_EQ(l.packets.size(), spec.packets.size());
    const RmPacketRead& hit = l.packets[61];
    ASSERT_TRUE(ZeroRange(in, hit.pos, 12));
    Outcome o = ParseAndRepair(in, out);
    ASSERT_EQ(o.parse, 0);
    EXPECT_TRUE(Has(o.codes, JRVP_DAMAGE_SEGMENT));
    ASSERT_EQ(o.repair, 0);
    const std::vector<uint8_t> repaired = ReadFileBytes(out);
    ExpectIndexSound(repaired, 0);
    const RmLayout rl = ReadRealMedia(repaired);
    EXPECT_EQ(rl.packets.size(), spec.packets.size() - 2);
    // The old index is not carried over: 5 key frames and 59 audio packets,
    // numbered as they stand in the new file.
    size_t videoRecords = 0;
    for (const RmIndexRecord& r : rl.index)
        videoRecords += r.stream == 0;
    EXPECT_EQ(videoRecords, 5u);
    EXPECT_EQ(rl.index.size(), 64u);
    EXPECT_EQ(rl.chunks.size(), 7u);  // .RMF PROP MDPR MDPR DATA INDX INDX
}

TEST(RmRepair, OutputPastFourGiBIsRefused)
{
    // 4.5 GB of packets with one damaged stretch: everything parses, and the
    // rebuild would pass the 32-bit offsets of the format.
    const int64_t length = 4500LL * 1000 * 1000;
    LongRealMedia input(length, length / 2);
    CRMVBRepair repair(&input);
    std::vector<int> codes;
    ASSERT_EQ(repair.ParseStream(&CollectCode, &codes), 0);
    EXPECT_TRUE(Has(codes, JRVP_DAMAGE_SEGMENT));
    EXPECT_GT(repair.Packets().size(), 60000u);
    ScratchDir dir("rm-4g");
    int err = 0;
    CVideoFile output(dir.Path("out.rm").c_str(), 2, &err);
    EXPECT_EQ(repair.RepairFile(&output, 1, nullptr), -14);
    EXPECT_EQ(output.GetLength(), 0);
}

TEST(RmRepair, AStreamHeaderWithDamagedContentDescribesNoStream)
{
    // The audio MDPR's size and stream number stay, its name, MIME type and
    // codec data are zeroed. The video is kept, described by its own header;
    // the audio has nothing to describe it and goes, without being taken
    // for damage that would cost the DATA chunk.
    const std::string fixture = RequireFixture("clip.rm");
    if (fixture.empty())
        return;
    std::vector<uint8_t> d = ReadFileBytes(fixture);
    const int64_t audio = FindBytes(d, "MDPR", static_cast<size_t>(FindBytes(d, "MDPR") + 4));
    ASSERT_GT(audio, 0);
    ScratchDir dir("rm-mdpr");
    const std::string in = dir.Path("in.rm"), out = dir.Path("out.rm");
    ASSERT_TRUE(WriteFileBytes(in, d));
    ASSERT_TRUE(ZeroRange(in, audio + 12, 120));
    Outcome o = ParseAndRepair(in, out);
    ASSERT_EQ(o.parse, 0);
    EXPECT_TRUE(Has(o.codes, JRVP_DAMAGE_STRUCTURE));
    ASSERT_EQ(o.repair, 0);
    const MediaReport report = CheckMedia(out);
    EXPECT_TRUE(report.CleanDecode()) << report.Summary();
    ASSERT_EQ(report.streams.size(), 1u);
    const std::vector<uint8_t> r = ReadFileBytes(out);
    const int64_t prop = FindBytes(r, "PROP");
    EXPECT_EQ(r[prop + 46] * 256 + r[prop + 47], 1);  // the stream count
    EXPECT_EQ(ReadBE32(r, 14), 5u);                   // PROP CONT MDPR DATA INDX
    EXPECT_EQ(report.streams[0].frames, CheckMedia(fixture).VideoFrames());
    ExpectIndexSound(ReadFileBytes(out), 0);
}

TEST(RmWalk, RefusedDataChunkAndBadPropertiesEndConsistently)
{
    RmFileSpec spec;
    spec.streams = {{0, "Audio Stream", "audio/x-pn-realaudio", ""}};
    for (uint32_t i = 0; i < 20; ++i)
        spec.packets.push_back(RmPacketSpec{0, i * 100, true, PseudoRandomBytes(200, i)});
    spec.duration = 1900;
    spec.withIndex = true;
    const std::vector<uint8_t> good = WriteRealMedia(spec);
    ScratchDir dir("rm-refused");

    // A second DATA chunk: three packets far in time, then more garbage
    // than a fifth of it, then two packets. It is refused, and its packets
    // do not make the duration look wrong.
    std::vector<uint8_t> d = good;
    std::vector<uint8_t> second = {'D', 'A', 'T', 'A', 0, 0, 0, 0, 0, 0, 0, 0, 0, 5, 0, 0, 0, 0};
    auto packet = [&second](uint32_t ts) {
        const std::vector<uint8_t> h = {0, 0, 0, 112, 0, 0, uint8_t(ts >> 24), uint8_t(ts >> 16), uint8_t(ts >> 8),
                                        uint8_t(ts), 0, 2};
        second.insert(second.end(), h.begin(), h.end());
        const std::vector<uint8_t> body(100, 0x42);
        second.insert(second.end(), body.begin(), body.end());
    };
    for (uint32_t ts : {900000u, 900100u, 900200u})
        packet(ts);
    const std::vector<uint8_t> garbage = PseudoRandomBytes(4000, 9);
    second.insert(second.end(), garbage.begin(), garbage.end());
    packet(900300u);
    packet(900400u);
    WriteBE32(second, 4, static_cast<uint32_t>(second.size()));
    d.insert(d.end(), second.begin(), second.end());
    const std::string in = dir.Path("two.rm"), out = dir.Path("two-out.rm");
    ASSERT_TRUE(WriteFileBytes(in, d));
    Outcome o = ParseAndRepair(in, out);
    ASSERT_EQ(o.parse, 0);
    EXPECT_TRUE(Has(o.codes, JRVP_DAMAGE_SEGMENT));
    EXPECT_FALSE(Has(o.codes, JRVP_DAMAGE_TIMING));
    ASSERT_EQ(o.repair, 0);
    const RmLayout l = ReadRealMedia(ReadFileBytes(out));
    EXPECT_EQ(l.packets.size(), 20u);
    EXPECT_EQ(l.propDuration, 1900u);

    // A PROP chunk of the wrong size: the parse ends in -14, and so does a
    // repair asked for anyway, writing nothing.
    std::vector<uint8_t> bad = good;
    const int64_t prop = FindBytes(bad, "PROP");
    bad.insert(bad.begin() + prop + 50, 4, 0);
    WriteBE32(bad, static_cast<size_t>(prop + 4), 54);
    const std::string badIn = dir.Path("prop.rm");
    ASSERT_TRUE(WriteFileBytes(badIn, bad));
    int err = 0;
    CVideoFile input(badIn.c_str(), 0, &err);
    CRMVBRepair repair(&input);
    std::vector<int> codes;
    EXPECT_EQ(repair.ParseStream(&CollectCode, &codes), -14);
    EXPECT_EQ(codes, std::vector<int>{JRVP_DAMAGE_STRUCTURE});
    CVideoFile output(dir.Path("prop-out.rm").c_str(), 2, &err);
    EXPECT_EQ(repair.RepairFile(&output, 1, nullptr), -14);
    EXPECT_EQ(output.GetLength(), 0);
}

TEST(RmWalk, ADataChunkWithoutPacketsIsNoDamage)
{
    // A writer may open a DATA chunk that gets no packet before it stops.
    // Such a chunk is no damage; the copy of a file damaged elsewhere leaves
    // it out; a file whose only chunk is empty has nothing to play.
    RmFileSpec spec;
    spec.streams = {{0, "Audio Stream", "audio/x-pn-realaudio", ""}};
    for (uint32_t i = 0; i < 20; ++i)
        spec.packets.push_back(RmPacketSpec{0, i * 100, true, PseudoRandomBytes(200, i)});
    spec.duration = 1900;
    spec.withIndex = true;
    const std::vector<uint8_t> good = WriteRealMedia(spec);
    const RmLayout layout = ReadRealMedia(good);
    int64_t index = 0;
    for (const RmChunkInfo& c : layout.chunks)
        if (c.id == "INDX" && index == 0)
            index = c.pos;
    ASSERT_GT(index, 0);
    const std::vector<uint8_t> empty = {'D', 'A', 'T', 'A', 0, 0, 0, 18, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    auto withEmpty = [&](int64_t at) {
        std::vector<uint8_t> d = good;
        d.insert(d.begin() + at, empty.begin(), empty.end());
        return d;
    };
    std::vector<uint8_t> hitPacket = withEmpty(index);
    std::fill_n(hitPacket.begin() + layout.packets[10].pos, 12, 0);
    RmFileSpec none = spec;
    none.packets.clear();
    none.withIndex = false;
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        int parse;
        size_t packetsKept;  // by the repair, when the parse finds damage
    };
    const Case cases[] = {
        {"between the packets and the index", withEmpty(index), 0, 0},
        {"at the end of the file", withEmpty(static_cast<int64_t>(good.size())), 0, 0},
        {"with a packet header zeroed before it", hitPacket, 0, 18},
        {"and no other", WriteRealMedia(none), JRVP_ERR_UNREPAIRABLE, 0},
    };
    ScratchDir dir("rm-empty");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string in = dir.Path("in.rm"), out = dir.Path("out.rm");
        ASSERT_TRUE(WriteFileBytes(in, c.bytes));
        Outcome o = ParseAndRepair(in, out);
        ASSERT_EQ(o.parse, c.parse);
        if (c.parse != 0) {
            EXPECT_EQ(o.codes, std::vector<int>{JRVP_DAMAGE_DATA_LOST});
            continue;
        }
        if (c.packetsKept == 0) {
            EXPECT_TRUE(o.codes.empty());
            continue;
        }
        EXPECT_TRUE(Has(o.codes, JRVP_DAMAGE_SEGMENT));
        ASSERT_EQ(o.repair, 0);
        const std::vector<uint8_t> repaired = ReadFileBytes(out);
        ExpectIndexSound(repaired, -1);
        const RmLayout l = ReadRealMedia(repaired);
        EXPECT_EQ(l.packets.size(), c.packetsKept);
        EXPECT_EQ(std::count_if(l.chunks.begin(), l.chunks.end(), [](const RmChunkInfo& k) { return k.id == "DATA"; }),
                  1);
    }
}
