#include "repairers/MP4Repair.h"

#include <string.h>

#include <algorithm>
#include <limits>
#include <memory>

#include "core/StreamIO.h"

namespace {

constexpr uint32_t Fcc(const char (&s)[5])
{
    return (uint32_t(uint8_t(s[0])) << 24) | (uint32_t(uint8_t(s[1])) << 16) | (uint32_t(uint8_t(s[2])) << 8) |
           uint32_t(uint8_t(s[3]));
}

constexpr uint32_t kFtyp = Fcc("ftyp");
constexpr uint32_t kMoov = Fcc("moov");
constexpr uint32_t kMdat = Fcc("mdat");
constexpr uint32_t kMoof = Fcc("moof");
constexpr uint32_t kMfra = Fcc("mfra");
constexpr uint32_t kMeta = Fcc("meta");
constexpr uint32_t kFree = Fcc("free");
constexpr uint32_t kSidx = Fcc("sidx");
constexpr uint32_t kTrak = Fcc("trak");
constexpr uint32_t kMvex = Fcc("mvex");
constexpr uint32_t kMvhd = Fcc("mvhd");
constexpr uint32_t kTkhd = Fcc("tkhd");
constexpr uint32_t kMdia = Fcc("mdia");
constexpr uint32_t kMdhd = Fcc("mdhd");
constexpr uint32_t kMinf = Fcc("minf");
constexpr uint32_t kStbl = Fcc("stbl");
constexpr uint32_t kStsd = Fcc("stsd");
constexpr uint32_t kStts = Fcc("stts");
constexpr uint32_t kCtts = Fcc("ctts");
constexpr uint32_t kStsc = Fcc("stsc");
constexpr uint32_t kStsz = Fcc("stsz");
constexpr uint32_t kStz2 = Fcc("stz2");
constexpr uint32_t kStco = Fcc("stco");
constexpr uint32_t kCo64 = Fcc("co64");
constexpr uint32_t kStss = Fcc("stss");
constexpr uint32_t kTraf = Fcc("traf");
constexpr uint32_t kTfhd = Fcc("tfhd");
constexpr uint32_t kTrun = Fcc("trun");
constexpr uint32_t kTrex = Fcc("trex");
constexpr uint32_t kHdlr = Fcc("hdlr");
constexpr uint32_t kEdts = Fcc("edts");
constexpr uint32_t kElst = Fcc("elst");
constexpr uint32_t kVide = Fcc("vide");
constexpr uint32_t kSoun = Fcc("soun");

// Track fragment header flags: which optional fields follow the track ID.
constexpr uint32_t kTfhdBaseOffset = 0x000001;
constexpr uint32_t kTfhdDescription = 0x000002;
constexpr uint32_t kTfhdDuration = 0x000008;
constexpr uint32_t kTfhdSize = 0x000010;
constexpr uint32_t kTfhdBaseIsMoof = 0x020000;
// Track run flags: the run's own fields, then four optional fields per
// sample (duration, size, flags, composition offset), in that order.
constexpr uint32_t kTrunDataOffset = 0x000001;
constexpr uint32_t kTrunFirstFlags = 0x000004;
constexpr uint32_t kTrunSampleSize = 0x000200;
constexpr uint32_t kTrunFirstSampleField = 0x000100;

constexpr int kMacroMoov = 3;
constexpr int kMacroMdat = 6;
constexpr int kMacroMeta = 207;
constexpr int kMacroAlnum = 249;
constexpr int kMacroOther = 250;

// How far back from a media-data box's declared end the damage search
// looks for the movie box that ends it.
constexpr int64_t kMdatSearchWindow = 0xA00000;
constexpr int64_t k4GiB = int64_t(1) << 32;

struct Mp4UintMacro {
    uint32_t fourcc;
    int macro;
};

// The box table: the macro number's range is the box's nesting level.
const Mp4UintMacro Mp4UintMacroArr[] = {
    {Fcc("ftyp"), 1}, {Fcc("pdin"), 2}, {Fcc("moov"), 3}, {Fcc("moof"), 4}, {Fcc("mfra"), 5},
    {Fcc("mdat"), 6}, {Fcc("free"), 7}, {Fcc("skip"), 8}, {Fcc("meco"), 9}, {Fcc("styp"), 10},
    {Fcc("sidx"), 11}, {Fcc("ssix"), 12}, {Fcc("prft"), 13},
    {Fcc("mvhd"), 31}, {Fcc("trak"), 32}, {Fcc("mvex"), 33}, {Fcc("mfhd"), 34}, {Fcc("traf"), 35},
    {Fcc("tfra"), 36}, {Fcc("mfro"), 37}, {Fcc("iloc"), 38}, {Fcc("ipro"), 39}, {Fcc("iinf"), 40},
    {Fcc("xml "), 41}, {Fcc("bxml"), 42}, {Fcc("pitm"), 43}, {Fcc("fiin"), 44}, {Fcc("idat"), 45},
    {Fcc("iref"), 46}, {Fcc("mere"), 47},
    {Fcc("tkhd"), 61}, {Fcc("tref"), 62}, {Fcc("trgr"), 63}, {Fcc("edts"), 64}, {Fcc("mdia"), 65},
    {Fcc("mehd"), 66}, {Fcc("trex"), 67}, {Fcc("leva"), 68}, {Fcc("tfhd"), 69}, {Fcc("trun"), 70},
    {Fcc("tfdt"), 71}, {Fcc("cprt"), 72}, {Fcc("tsel"), 73}, {Fcc("strk"), 74}, {Fcc("sinf"), 75},
    {Fcc("paen"), 76}, {Fcc("segr"), 77}, {Fcc("gitn"), 78},
    {Fcc("elst"), 91}, {Fcc("mdhd"), 92}, {Fcc("elng"), 93}, {Fcc("minf"), 94}, {Fcc("stri"), 95},
    {Fcc("strd"), 96}, {Fcc("frma"), 97}, {Fcc("schm"), 98}, {Fcc("schi"), 99}, {Fcc("fire"), 100},
    {Fcc("fpar"), 101}, {Fcc("fecr"), 102},
    {Fcc("vmhd"), 121}, {Fcc("smhd"), 122}, {Fcc("hmhd"), 123}, {Fcc("sthd"), 124}, {Fcc("nmhd"), 125},
    {Fcc("stbl"), 126},
    {Fcc("stsd"), 141}, {Fcc("stts"), 142}, {Fcc("ctts"), 143}, {Fcc("cslg"), 144}, {Fcc("stsc"), 145},
    {Fcc("stsz"), 146}, {Fcc("stz2"), 147}, {Fcc("stco"), 148}, {Fcc("co64"), 149}, {Fcc("stss"), 150},
    {Fcc("stsh"), 151}, {Fcc("padb"), 152}, {Fcc("stdp"), 153}, {Fcc("sdtp"), 154},
    {Fcc("sbgp"), 201}, {Fcc("sgpd"), 202}, {Fcc("subs"), 203}, {Fcc("saiz"), 204}, {Fcc("saio"), 205},
    {Fcc("udta"), 206}, {Fcc("meta"), 207}, {Fcc("dinf"), 208}, {Fcc("dref"), 209}, {Fcc("hdlr"), 210},
    {0, 0},
};

uint64_t LoadWord(const uint8_t* p)
{
    uint64_t w = 0;
    memcpy(&w, p, sizeof(w));
    return w;
}

bool IsAlnum(uint8_t c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// What a container must hold, and which of its children hold containers of
// their own. A group is satisfied by any one of its FourCCs.
struct ContainerRule {
    uint32_t fourcc;
    std::vector<uint32_t> walked;
    std::vector<std::vector<uint32_t>> mandatory;
};

const std::vector<ContainerRule>& ContainerRules()
{
    static const std::vector<ContainerRule> rules = {
        {kMoov, {kMeta, kMvex, kTrak}, {{kMvhd}, {kTrak}}},
        {kMoof, {kMeta, kTraf}, {{Fcc("mfhd")}}},
        {kMfra, {}, {{Fcc("mfro")}}},
        {kMeta, {}, {{Fcc("hdlr")}}},
        {kTrak, {kMdia, kMeta}, {{kTkhd}, {kMdia}}},
        {kMvex, {}, {{Fcc("trex")}}},
        {kMdia, {kMinf}, {{kMdhd}, {Fcc("hdlr")}, {kMinf}}},
        {kMinf, {Fcc("dinf"), kStbl}, {{Fcc("dinf")}, {kStbl}}},
        {Fcc("dinf"), {}, {{Fcc("dref")}}},
        // Without sample sizes no sample can be placed, so they are as
        // necessary as the chunk offsets.
        {kStbl, {}, {{Fcc("stsd")}, {kStts}, {kStsc}, {kStco, kCo64}, {kStsz, kStz2}}},
        {kTraf, {}, {{kTfhd}}},
    };
    return rules;
}

const ContainerRule* FindRule(uint32_t fourcc)
{
    for (const ContainerRule& rule : ContainerRules())
        if (rule.fourcc == fourcc)
            return &rule;
    return nullptr;
}

// How many entries of `width` bytes a box really holds after `used` bytes
// of its body, at most `count`: a count is never trusted beyond its box.
uint64_t EntriesIn(int64_t size, int headerLength, int64_t used, uint32_t count, int width)
{
    return std::min<uint64_t>(count, static_cast<uint64_t>(std::max<int64_t>(0, size - headerLength - used)) / width);
}

// A sum of two positions or sizes of the input, which may be hostile: kept
// within the sizes a box can have, so that it never overflows.
int64_t ClampedSum(int64_t a, int64_t b)
{
    const __int128 sum = static_cast<__int128>(a) + b;
    return static_cast<int64_t>(std::max<__int128>(-CMP4Repair::kMaxBoxSize,
                                                   std::min<__int128>(sum, CMP4Repair::kMaxBoxSize + 1)));
}

// The containers of the movie whose own children say where they end: each
// holds boxes of a deeper level only, so the first box of its own level or
// above is its sibling.
bool MendableContainer(uint32_t fourcc)
{
    return fourcc == kTrak || fourcc == kMvex || fourcc == kEdts || fourcc == kMdia || fourcc == kMinf ||
           fourcc == kStbl || fourcc == kTraf;
}

bool Contains(const std::vector<uint32_t>& list, uint32_t fourcc)
{
    return std::find(list.begin(), list.end(), fourcc) != list.end();
}

}  // namespace

// Reads big-endian entries of one table through its own block, so that
// several tables can be read side by side without the shared input buffer
// refilling at every step.
class CMP4Repair::CTableReader {
public:
    CTableReader(IBaseStream* s, int64_t pos, uint64_t count, int width)
        : m_stream(s), m_pos(pos), m_left(count), m_width(width)
    {
    }
    // False at the end of the table or when the input falls short (Short()).
    bool Next(uint64_t& value)
    {
        value = 0;
        if (m_left == 0)
            return false;
        if (m_have - m_used < static_cast<size_t>(m_width) && !Refill())
            return false;
        for (int i = 0; i < m_width; ++i)
            value = (value << 8) | m_block[m_used++];
        --m_left;
        return true;
    }
    bool Short() const { return m_short; }

private:
    bool Refill()
    {
        size_t rest = m_have - m_used;
        memmove(m_block, m_block + m_used, rest);
        m_have = rest;
        m_used = 0;
        uint64_t wantEntries = std::min<uint64_t>(m_left, (sizeof(m_block) - rest) / m_width);
        size_t want = static_cast<size_t>(wantEntries * m_width) - std::min(rest, static_cast<size_t>(wantEntries * m_width));
        if (want > 0) {
            if (m_stream->SeekTo(m_pos) != m_pos) {
                m_short = true;
                return false;
            }
            unsigned int got = m_stream->Read(m_block + m_have, static_cast<unsigned int>(want));
            m_pos += got;
            m_have += got;
        }
        if (m_have < static_cast<size_t>(m_width)) {
            m_short = true;
            return false;
        }
        return true;
    }

    IBaseStream* m_stream;
    int64_t m_pos;
    uint64_t m_left;
    int m_width;
    uint8_t m_block[4096];
    size_t m_have = 0;
    size_t m_used = 0;
    bool m_short = false;
};

// The input read in blocks of its own, for the searches that look at
// every byte position: one stream call per block instead of one per
// position.
class CMP4Repair::CScanBlock {
public:
    static constexpr int64_t kBlock = 65536;

    CScanBlock(IBaseStream* s, int64_t length) : m_stream(s), m_length(length), m_block(kBlock) {}
    // The 8 bytes at pos, or nullptr when fewer than 8 remain before the
    // end of the input or the input falls short (Short()). `fresh` is the
    // number of bytes read from the input to serve this call.
    const uint8_t* Header(int64_t pos, int64_t& fresh)
    {
        fresh = 0;
        if (pos < 0 || m_length - pos < 8)
            return nullptr;
        if (pos < m_start || m_start + m_have - pos < 8) {
            unsigned int n = static_cast<unsigned int>(std::min<int64_t>(kBlock, m_length - pos));
            if (m_stream->SeekTo(pos) != pos || m_stream->Read(m_block.data(), n) != n) {
                m_short = true;
                return nullptr;
            }
            m_start = pos;
            m_have = n;
            fresh = n;
        }
        return m_block.data() + (pos - m_start);
    }
    bool Short() const { return m_short; }

private:
    IBaseStream* m_stream;
    int64_t m_length;
    std::vector<uint8_t> m_block;
    int64_t m_start = 0;
    int64_t m_have = 0;
    bool m_short = false;
};

// The sizes of one track's samples, from "stsz" (constant or one 32-bit
// entry each) or "stz2" (4-, 8- or 16-bit entries).
class CMP4Repair::CSampleSizes {
public:
    CSampleSizes(IBaseStream* s, int64_t tablePos, uint32_t constant, uint64_t count, int fieldBits)
        : m_constant(constant), m_count(count), m_fieldBits(fieldBits),
          m_reader(s, tablePos, constant ? 0 : (fieldBits == 4 ? (count + 1) / 2 : count),
                   fieldBits == 4 ? 1 : fieldBits / 8)
    {
    }
    uint64_t Count() const { return m_count; }
    uint32_t Constant() const { return m_constant; }
    bool Next(uint32_t& size)
    {
        size = 0;
        if (m_index >= m_count)
            return false;
        if (m_constant) {
            size = m_constant;
        } else if (m_fieldBits == 4) {
            if ((m_index & 1) == 0 && !m_reader.Next(m_pair))
                return false;
            size = static_cast<uint32_t>((m_index & 1) ? (m_pair & 0x0F) : (m_pair >> 4));
        } else {
            uint64_t v = 0;
            if (!m_reader.Next(v))
                return false;
            size = static_cast<uint32_t>(v);
        }
        ++m_index;
        return true;
    }
    // Moves over n samples without reading them (constant sizes only).
    void Skip(uint64_t n) { m_index = std::min(m_count, m_index + n); }
    bool Short() const { return m_reader.Short(); }

private:
    uint32_t m_constant;
    uint64_t m_count;
    int m_fieldBits;
    CTableReader m_reader;
    uint64_t m_index = 0;
    uint64_t m_pair = 0;
};

// What survives of one track: K whole chunks, then P samples of chunk K + 1
// (the closing partial chunk), S samples in all.
struct CMP4Repair::TrakInfo {
    size_t index = 0;
    uint32_t keptChunks = 0;
    uint32_t partialSamples = 0;
    uint32_t partialDescription = 1;
    uint32_t keptSamples = 0;
    uint64_t totalSamples = 0;
    int64_t dataEnd = 0;
    bool cut = false;
    bool countWrong = false;  // a table's count names fewer entries than its box holds
    bool promote = false;     // write "co64" where the input had "stco"
};

// One top-level box of the repaired file after the movie box.
struct CMP4Repair::OutItem {
    BoxInfo box;
    int inHeader = 8;
    int64_t copyLength = 0;  // from the input box start, header included
    int outHeader = 8;
    int64_t outStart = 0;
    int64_t OutLength() const { return outHeader + copyLength - inHeader; }
};

// What one track fragment says about its data: the base its header names
// (when it names one) and the span of its runs relative to their base.
struct CMP4Repair::TrackFragment {
    uint32_t flags = 0;
    uint32_t track = 0;
    uint32_t defaultSize = 0;  // from "tfhd", else from the track's "trex"
    int64_t baseField = -1;    // input position of the 64-bit base, or -1
    uint64_t base = 0;
    bool haveRuns = false;
    bool broken = false;       // a run that names more samples than it holds
    int64_t minRel = 0;        // where the first byte of any run lies
    int64_t maxEnd = 0;        // where the last byte of any run ends
    int64_t lastEnd = 0;       // where the last run ends: the next one's base
    std::vector<FieldFix> fixes;  // sample counts the runs' own size gives instead
};

// Where a fragment's data may lie: the media data after its "moof", in the
// input, and (when nothing kept lies between them) as the rebuild writes it
// right after the "moof", relative to the "moof" start.
struct CMP4Repair::FragmentPlace {
    BoxInfo moof{0, 0, 0};
    int64_t dataLo = 0, dataHi = 0;
    bool relative = false;
    int64_t relLo = 0, relHi = 0;
};

CMP4Repair::CMP4Repair(IBaseStream* in) : CBaseRepair(in)
{
    m_format = JRVP_FORMAT_MP4;
}

CMP4Repair::~CMP4Repair()
{
    CMP4Repair::Close();
}

void CMP4Repair::Close()
{
    m_unrepairable = false;
    m_haveFtyp = false;
    m_haveMoov = false;
    m_mdats.clear();
    m_others.clear();
    m_lost.clear();
    m_movieChildren.clear();
    m_sampleTables.clear();
    m_baseOffsets.clear();
    m_fixes.clear();
    m_trackDefaults.clear();
    m_splice = Splice();
    m_chunkBoxes.clear();
    m_zeroTail = -1;
    CBaseRepair::Close();
}

int CMP4Repair::Uint2Macro(uint32_t fourcc)
{
    if (fourcc == 0)
        return kMacroOther;
    for (const Mp4UintMacro* row = Mp4UintMacroArr; row->fourcc; ++row)
        if (row->fourcc == fourcc)
            return row->macro;
    for (int shift = 0; shift < 32; shift += 8)
        if (!IsAlnum(static_cast<uint8_t>(fourcc >> shift)))
            return kMacroOther;
    return kMacroAlnum;
}

int CMP4Repair::Uint2Level(uint32_t fourcc)
{
    int macro = Uint2Macro(fourcc);
    if (macro <= 30)
        return 1;
    if (macro <= 60)
        return 2;
    if (macro <= 90)
        return 3;
    if (macro <= 120)
        return 4;
    if (macro <= 140)
        return 5;
    if (macro <= 170)
        return 6;
    return 7;
}

// ---------------------------------------------------------------------------
// Analysis
// ---------------------------------------------------------------------------

int CMP4Repair::ReadBoxHeader(BoxHeader& h, int64_t pos, int64_t limit)
{
    if (!m_input)
        return MEND_ERR_NO_STREAM;
    h = BoxHeader();
    h.start = pos;
    if (pos < 0 || limit - pos < 8) {
        h.endMark = true;
        return 0;
    }
    if (m_input->SeekTo(pos) != pos)
        return MEND_ERR_READ;
    uint32_t size32 = 0;
    if (!ReadFieldR(m_input.get(), size32) || !ReadFieldR(m_input.get(), h.fourcc))
        return MEND_ERR_READ;
    // A size the analysis mended is read as mended, by every walk after it.
    size32 = FixedValue(pos, size32);
    h.size = size32;
    if (size32 == 1) {
        h.headerLength = 16;
        if (limit - pos < 16) {
            h.endMark = true;
            return 0;
        }
        uint64_t large = 0;
        if (!ReadFieldR(m_input.get(), large))
            return MEND_ERR_READ;
        // Past 2^62 a size is damage; keep it visible as such without
        // turning negative.
        h.size = large > static_cast<uint64_t>(kMaxBoxSize) ? kMaxBoxSize + 1 : static_cast<int64_t>(large);
    }
    return 0;
}

bool CMP4Repair::PlausibleSize(const BoxHeader& h, int64_t limit) const
{
    return h.size >= h.headerLength && h.size <= kMaxBoxSize && h.size <= limit - h.start;
}

int CMP4Repair::ZeroTailStart(int64_t& tail)
{
    if (m_zeroTail < 0) {
        // Walk back from the end in large blocks until a non-zero byte
        // shows: a preallocated recording may end in gigabytes of zeros.
        constexpr int64_t kBlock = int64_t(1) << 20;
        std::vector<uint8_t> block(static_cast<size_t>(std::min(kBlock, m_inputLength)));
        int64_t end = m_inputLength;
        while (end > 0) {
            if (TestAbort())
                return MEND_ERR_ABORTED;
            int64_t from = std::max<int64_t>(0, end - kBlock);
            unsigned int n = static_cast<unsigned int>(end - from);
            if (m_input->SeekTo(from) != from || m_input->Read(block.data(), n) != n)
                return MEND_ERR_READ;
            unsigned int i = n;
            while (i >= 8 && LoadWord(block.data() + i - 8) == 0)
                i -= 8;
            while (i > 0 && block[i - 1] == 0)
                --i;
            if (i > 0) {
                end = from + i;
                break;
            }
            end = from;
        }
        m_zeroTail = end;
    }
    tail = m_zeroTail;
    return 0;
}

int CMP4Repair::IsZeroRun(int64_t from, int64_t to, bool& yes)
{
    yes = true;
    uint8_t block[4096];
    if (from < to && m_input->SeekTo(from) != from)
        return MEND_ERR_READ;
    while (from < to) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        unsigned int n = static_cast<unsigned int>(std::min<int64_t>(to - from, sizeof(block)));
        if (m_input->Read(block, n) != n)
            return MEND_ERR_READ;
        for (unsigned int i = 0; i < n; ++i)
            if (block[i]) {
                yes = false;
                return 0;
            }
        from += n;
    }
    return 0;
}

bool CMP4Repair::IsLost(int64_t start) const
{
    // The walk moves forward only, so the list is in ascending order.
    auto it = std::lower_bound(m_lost.begin(), m_lost.end(), start,
                               [](const BoxInfo& b, int64_t s) { return b.start < s; });
    return it != m_lost.end() && it->start == start;
}

bool CMP4Repair::Spend(int64_t bytes)
{
    m_searchBudget -= bytes;
    return m_searchBudget >= 0;
}

int CMP4Repair::Probe()
{
    // The first box is "ftyp", or one of the first five boxes is "moov" or
    // "mdat" (older QuickTime files have no "ftyp").
    int64_t pos = 0;
    for (int i = 0; i < 5; ++i) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        BoxHeader h;
        int r = ReadBoxHeader(h, pos, m_inputLength);
        if (r < 0)
            return r;
        if (h.endMark && h.headerLength == 8)
            return MEND_ERR_NOT_CONTAINER;
        if (i == 0 && h.size == 0 && h.fourcc == 0)
            return ProbeAfterZeroHeader();
        int macro = Uint2Macro(h.fourcc);
        if (macro == kMacroMdat || macro == kMacroMoov)
            return 0;
        if (i == 0 && h.fourcc == kFtyp && h.size >= 16 && h.size <= 4096 && h.size <= m_inputLength)
            return 0;
        if (h.endMark || h.size < h.headerLength || h.size >= m_inputLength - pos)
            return MEND_ERR_NOT_CONTAINER;
        pos += h.size;
    }
    return MEND_ERR_NOT_CONTAINER;
}

// A first header wiped to zeros (a damaged "ftyp"): still ours when a
// top-level box that the damage search would accept begins in the first
// bytes after it.
int CMP4Repair::ProbeAfterZeroHeader()
{
    constexpr int64_t kProbeBytes = 4096;
    for (int64_t q = 8; q < std::min(m_inputLength - 8, kProbeBytes); ++q) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        BoxHeader c;
        int r = ReadBoxHeader(c, q, m_inputLength);
        if (r < 0)
            return r;
        bool yes = false;
        if (Uint2Level(c.fourcc) == 1 && (r = IsCandidateEnd(c, yes)) < 0)
            return r;
        if (yes)
            return 0;
    }
    return MEND_ERR_NOT_CONTAINER;
}

int CMP4Repair::Open()
{
    if (!m_input)
        return MEND_ERR_NO_STREAM;
    int r = Probe();
    if (r < 0)
        return r;
    // Room for a few whole passes over the file and both search windows.
    m_searchBudget = 4 * m_inputLength + 4 * kMdatSearchWindow;

    int64_t pos = 0;
    for (;;) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        if (m_inputLength - pos < 8)
            break;
        BoxHeader h;
        r = ReadBoxHeader(h, pos, m_inputLength);
        if (r < 0)
            return r;
        if (h.endMark) {
            // A size of 1 whose largesize the file cannot hold.
            AddErrorAt(JRVP_DAMAGE_INDEX, pos);
            break;
        }
        if (h.size == 0) {
            if (h.fourcc == 0) {
                int64_t tail = 0;
                if ((r = ZeroTailStart(tail)) < 0)
                    return r;
                if (pos >= tail)
                    break;  // zero padding after the last box
                // Zeros with data after them: a damaged stretch that the
                // damage search measures like any broken box.
            } else {
                h.size = m_inputLength - pos;  // the last box runs to the end
                // A recorder stopped before it patched the size of its media
                // data, and a movie box written after it all the same: the
                // size is damage, found like any other.
                if (h.fourcc == kMdat && !m_haveMoov) {
                    int64_t found = CheckLossMdat(h, false);
                    if (found < 0)
                        return static_cast<int>(found);
                    h.size = found;
                } else if (h.fourcc == kMoof) {
                    // A fragment box is never the last box: its data comes
                    // after it. One whose own boxes stop at a top-level box
                    // lost its size field there.
                    int64_t end = 0;
                    if ((r = OwnBoxesEnd(h, end)) < 0)
                        return r;
                    if (end < m_inputLength) {
                        AddErrorAt(JRVP_DAMAGE_INDEX, pos);
                        h.size = end - pos;
                    }
                }
            }
        }
        int64_t size = 0;
        if (h.fourcc == kMoov) {
            r = ReadBoxMoov(h);
            if (r < 0)
                return r;
            size = m_moov.start == pos ? m_moov.size : 0;
        } else {
            size = JudgeBox(h, false);
            if (size < 0)
                return static_cast<int>(size);
            BoxInfo box{h.fourcc, size, pos};
            if (h.fourcc == kFtyp) {
                m_haveFtyp = true;
                m_ftyp = box;
            } else if (h.fourcc == kMdat) {
                m_mdats.push_back(box);
            } else {
                m_others.push_back(box);
                if ((h.fourcc == kMeta || h.fourcc == kMfra || h.fourcc == kMoof) && !IsLost(pos)) {
                    bool damaged = false, incomplete = false;
                    r = WalkContainer(box, h.headerLength, damaged, incomplete);
                    if (r < 0)
                        return r;
                    // The random-access index is never copied (the rebuild
                    // moves what it points at): missing parts of it cost
                    // nothing but the index itself.
                    const bool optional = h.fourcc == kMfra;
                    if (damaged || (incomplete && optional))
                        m_lost.push_back(box);  // left out of the repaired file
                    if (incomplete && !optional)
                        m_unrepairable = true;
                }
            }
        }
        if (size <= 0)
            break;
        pos += size;
    }

    if (!m_haveMoov) {
        // An ISO file whose movie box was never written cannot be rebuilt;
        // it is still ours, so no other container gets to claim it.
        return MEND_ERR_UNREPAIRABLE;
    }
    if (m_mdats.empty())
        m_unrepairable = true;
    bool dataLost = false;
    for (const BoxInfo& lost : m_lost)
        if (lost.fourcc == kMdat) {
            AddError(JRVP_DAMAGE_TIMING);
            dataLost = true;
            break;
        }
    if (!m_unrepairable && (r = CheckFragments()) < 0)
        return r;
    if (!m_unrepairable && !dataLost && (r = CheckSampleTables()) < 0)
        return r;
    return m_unrepairable ? MEND_ERR_UNREPAIRABLE : 0;
}

// With every media-data box whole, each track's tables must name all their
// samples inside the data: a table that ends early (a chunk offset outside
// the data, a "stsc" run that does not ascend, wiped entries) is a damaged
// index, which the rebuild cuts where it stops making sense.
int CMP4Repair::CheckSampleTables()
{
    int r = FindDataEnds();
    if (r < 0)
        return r;
    std::vector<TrakInfo> infos;
    bool anyCut = false;
    if ((r = SurveyTraks(infos, anyCut)) < 0)
        return r;
    bool spliced = false;
    if (anyCut && (r = FindSplice(spliced)) < 0)
        return r;
    if (spliced) {
        // Offsets written before bytes were spliced in before the data.
        std::vector<TrakInfo> moved;
        bool movedCut = false;
        m_splice.active = true;
        if ((r = SurveyTraks(moved, movedCut)) < 0)
            return r;
        m_splice.active = !movedCut;
        if (m_splice.active)
            infos.swap(moved);
    }
    for (size_t i = 0; i < infos.size(); ++i)
        if (infos[i].cut || infos[i].countWrong)
            AddErrorAt(JRVP_DAMAGE_INDEX, m_sampleTables[i].box.start);
    return 0;
}

int CMP4Repair::SurveyTraks(std::vector<TrakInfo>& infos, bool& anyCut)
{
    anyCut = false;
    infos.assign(m_sampleTables.size(), TrakInfo());
    std::vector<int64_t> keptEnd(m_mdats.size(), 0);
    for (size_t i = 0; i < m_sampleTables.size(); ++i) {
        int r = SurveyTrak(i, infos[i], keptEnd);
        if (r == MEND_ERR_REPAIR_REFUSED)
            continue;  // no tables to judge; the rebuild says so
        if (r < 0)
            return r;
        anyCut = anyCut || infos[i].cut;
    }
    return 0;
}

// Bytes spliced in between boxes, when they are the file's only damage: a
// run that is no box, or the stretch after a box's declared end (free space
// or a file type box, whose size nothing else confirms) that the damage
// search gave to that box.
int CMP4Repair::FindSplice(bool& found)
{
    m_splice = Splice();
    found = false;
    if (m_lost.size() != 1)
        return 0;
    const BoxInfo& lost = m_lost.front();
    int64_t declared = 0;
    if (Uint2Macro(lost.fourcc) != kMacroOther) {
        BoxHeader h;
        int r = ReadBoxHeader(h, lost.start, m_inputLength);
        if (r < 0)
            return r;
        if (h.endMark || h.size < h.headerLength || h.size >= lost.size)
            return 0;
        declared = h.size;
    }
    m_splice = Splice{lost.start + declared, lost.size - declared, false};
    found = true;
    return 0;
}

uint64_t CMP4Repair::ChunkPosition(uint64_t written) const
{
    if (!m_splice.active || written < static_cast<uint64_t>(m_splice.start) ||
        written > static_cast<uint64_t>(kMaxBoxSize))
        return written;
    return written + static_cast<uint64_t>(m_splice.length);
}

// Where each media-data box's bytes really end: a cut box also ends where
// the zero padding of a preallocated file begins.
int CMP4Repair::FindDataEnds()
{
    int64_t tail = 0;
    int r = ZeroTailStart(tail);
    if (r < 0)
        return r;
    std::vector<int64_t> dataEnd(m_mdats.size(), 0);
    for (size_t i = 0; i < m_mdats.size(); ++i) {
        const BoxInfo& mdat = m_mdats[i];
        dataEnd[i] = mdat.start + mdat.size;
        if (IsLost(mdat.start))
            dataEnd[i] = std::max(mdat.start, std::min(dataEnd[i], tail));
    }
    m_dataEnd.swap(dataEnd);
    return 0;
}

int64_t CMP4Repair::JudgeBox(const BoxHeader& h, bool loss)
{
    if (!m_input)
        return MEND_ERR_NO_STREAM;
    if (PlausibleSize(h, m_inputLength)) {
        int64_t next = h.start + h.size;
        if (m_inputLength - next < 8)
            return h.size;
        BoxHeader n;
        int r = ReadBoxHeader(n, next, m_inputLength);
        if (r < 0)
            return r;
        if (n.size == 0 && n.fourcc == 0) {
            int64_t tail = 0;
            if ((r = ZeroTailStart(tail)) < 0)
                return r;
            if (next >= tail)
                return h.size;
        }
        // A FourCC the table lacks is only taken with a size that fits the
        // input; a known box is taken whatever its own size says, which is
        // judged in its turn.
        int macro = Uint2Macro(n.fourcc);
        bool sane = macro != kMacroAlnum || n.size == 0 || n.endMark || PlausibleSize(n, m_inputLength);
        if (macro != kMacroOther && sane &&
            (Uint2Level(n.fourcc) <= Uint2Level(h.fourcc) || macro == kMacroAlnum || macro == kMacroMeta))
            return h.size;
        // Garbage after a container whose children fill it exactly is
        // damage after the box, not in its size: it is judged on its own.
        bool filled = false;
        if (FindRule(h.fourcc) && (r = ChildrenFill(h, filled)) < 0)
            return r;
        if (filled)
            return h.size;
    }
    return h.fourcc == kMdat ? CheckLossMdat(h, loss) : CheckLossOthers(h, loss);
}

int CMP4Repair::ChildrenFill(const BoxHeader& h, bool& filled)
{
    filled = false;
    int64_t end = h.start + h.size;
    for (int64_t pos = h.start + h.headerLength; pos < end;) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        BoxHeader c;
        int r = ReadBoxHeader(c, pos, end);
        if (r < 0)
            return r;
        if (c.endMark || Uint2Macro(c.fourcc) == kMacroOther || !PlausibleSize(c, end))
            return 0;
        pos += c.size;
        filled = pos == end;
    }
    return 0;
}

int CMP4Repair::OwnBoxesEnd(const BoxHeader& h, int64_t& end)
{
    end = h.start + h.headerLength;
    const int64_t limit = h.start + h.size;
    for (;;) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        BoxHeader c;
        int r = ReadBoxHeader(c, end, limit);
        if (r < 0)
            return r;
        if (c.endMark || Uint2Macro(c.fourcc) == kMacroOther || Uint2Level(c.fourcc) == 1 || !PlausibleSize(c, limit))
            return 0;
        end += c.size;
    }
}

int64_t CMP4Repair::RecordLoss(const BoxHeader& h, int64_t size, bool loss)
{
    m_lost.push_back(BoxInfo{h.fourcc, size, h.start});
    // Bytes whose type is no box type at all (spliced garbage, a wiped
    // stretch) are a run of invalid data, not a damaged box.
    if (Uint2Macro(h.fourcc) == kMacroOther)
        AddError(JRVP_DAMAGE_SEGMENT, std::make_unique<VPInvalidDataSegment>(h.start, h.start + size));
    else
        AddErrorAt(JRVP_DAMAGE_INDEX, h.start);
    if (loss) {
        AddError(JRVP_DAMAGE_DATA_LOST);
        m_unrepairable = true;
    }
    return size;
}

int CMP4Repair::LooksLikeMoov(uint32_t fourcc, int64_t p, bool& yes)
{
    yes = false;
    if (m_inputLength - p < 16)
        return 0;
    BoxHeader moov, child;
    int r = ReadBoxHeader(moov, p, m_inputLength);
    if (r < 0)
        return r;
    if (moov.fourcc != fourcc || (moov.size != 1 && moov.size < 16))
        return 0;
    if ((r = ReadBoxHeader(child, p + moov.headerLength, m_inputLength)) < 0)
        return r;
    yes = !child.endMark && child.size >= 8 && Uint2Macro(child.fourcc) < kMacroAlnum;
    return 0;
}

// The first (forward) or last (backward) position in [from, to) where a
// movie box (or, given kMoof, a movie fragment) begins; -1 when there is none.
int CMP4Repair::FindMoov(uint32_t fourcc, int64_t from, int64_t to, bool backward, int64_t& found)
{
    found = -1;
    constexpr int64_t kBlock = 65536;
    std::vector<uint8_t> block(kBlock + 8);
    const uint8_t f0 = static_cast<uint8_t>(fourcc >> 24), f1 = static_cast<uint8_t>(fourcc >> 16),
                  f2 = static_cast<uint8_t>(fourcc >> 8), f3 = static_cast<uint8_t>(fourcc);
    int64_t lo = backward ? std::max(from, to - kBlock) : from;
    for (;;) {
        if (lo >= to || (backward && to <= from))
            return 0;
        int64_t hi = backward ? to : std::min(to, lo + kBlock);
        // Bytes p .. p + 7 hold the size and "moov" of a box at p.
        int64_t readEnd = std::min(m_inputLength, hi + 8);
        int64_t n = readEnd - lo;
        if (n < 8)
            return 0;
        if (TestAbort())
            return MEND_ERR_ABORTED;
        if (!Spend(n))
            return MEND_ERR_UNREPAIRABLE;
        if (m_input->SeekTo(lo) != lo || m_input->Read(block.data(), static_cast<unsigned int>(n)) != n)
            return MEND_ERR_READ;
        int64_t last = std::min(hi, readEnd - 8);
        for (int64_t k = 0; k < last - lo; ++k) {
            int64_t i = backward ? (last - lo - 1 - k) : k;
            const uint8_t* b = block.data() + i + 4;
            if (b[0] == f0 && b[1] == f1 && b[2] == f2 && b[3] == f3) {
                bool yes = false;
                int r = LooksLikeMoov(fourcc, lo + i, yes);
                if (r < 0)
                    return r;
                if (yes) {
                    found = lo + i;
                    return 0;
                }
            }
        }
        if (backward) {
            to = lo;
            lo = std::max(from, to - kBlock);
        } else {
            lo = hi;
        }
    }
}

int64_t CMP4Repair::CheckLossMdat(const BoxHeader& h, bool loss)
{
    if (!m_input)
        return MEND_ERR_NO_STREAM;
    // The media data ends where a movie box begins: searched first back
    // from the declared end (or the end of the input), then forward.
    bool declaredInside = h.size >= h.headerLength && h.size <= m_inputLength - h.start;
    int64_t declaredEnd = declaredInside ? h.start + h.size : m_inputLength;
    int64_t dataStart = h.start + h.headerLength;
    int64_t found = -1;
    int r = 0;
    // In a fragmented file one fragment's media data ends where the next
    // fragment begins; left to run to a movie box, a damaged fragment
    // would take every fragment after it along.
    bool fragmented = std::any_of(m_others.begin(), m_others.end(), [](const BoxInfo& b) { return b.fourcc == kMoof; });
    if (fragmented && (r = FindMoov(kMoof, dataStart, m_inputLength, false, found)) < 0)
        return r;
    // Bytes that are no box after a fragment's media data: its size holds
    // when the runs of its "moof" lie inside it, and what follows is judged
    // on its own.
    BoxInfo moof{0, 0, 0};
    if (fragmented && declaredInside && (found < 0 || found > declaredEnd) && PrecedingFragment(h.start, moof)) {
        FragmentPlace place;
        place.moof = moof;
        place.dataLo = dataStart;
        place.dataHi = declaredEnd;
        place.relative = true;
        place.relLo = dataStart - moof.start;
        place.relHi = declaredEnd - moof.start;
        bool fits = false, stale = false;
        if ((r = PlaceFragment(place, false, fits, stale)) < 0)
            return r;
        if (fits)
            return h.size;
    }
    if (found < 0 && (r = FindMoov(kMoov, std::max(dataStart, declaredEnd - kMdatSearchWindow), declaredEnd, true, found)) < 0)
        return r;
    if (found < 0 && declaredInside) {
        // Forward to the end of the input: a movie box written after a
        // long recording lies far past a size made too small.
        r = FindMoov(kMoov, declaredEnd, m_inputLength, false, found);
        if (r < 0)
            return r;
    }
    int64_t size = found >= 0 ? found - h.start : m_inputLength - h.start;
    return RecordLoss(h, size, loss);
}

// The acceptance test of a candidate box that may end a damaged top-level
// box: only a top-level box can follow one, its size must fit the input,
// and what comes after it must look like a box as well (or the end of the
// data), unless its first child is a box the table knows.
int CMP4Repair::IsCandidateEnd(const BoxHeader& c, bool& yes)
{
    yes = false;
    if (Uint2Level(c.fourcc) != 1 || Uint2Macro(c.fourcc) >= kMacroAlnum)
        return 0;
    BoxHeader candidate = c;
    if (candidate.size == 0)
        candidate.size = m_inputLength - c.start;
    // Media data is taken whatever its size says: it is judged in its turn
    // and its size is the likeliest to be wrong (a cut recording).
    if (c.fourcc == kMdat) {
        yes = true;
        return 0;
    }
    if (!PlausibleSize(candidate, m_inputLength))
        return 0;
    int64_t next = c.start + candidate.size;
    if (m_inputLength - next < 8) {
        yes = true;
        return 0;
    }
    BoxHeader n;
    int r = ReadBoxHeader(n, next, m_inputLength);
    if (r < 0)
        return r;
    int64_t tail = 0;
    if (n.size == 0 && n.fourcc == 0) {
        if ((r = ZeroTailStart(tail)) < 0)
            return r;
        if (next >= tail) {
            yes = true;
            return 0;
        }
    }
    if (Uint2Macro(n.fourcc) < kMacroAlnum && (n.size == 0 || n.endMark || PlausibleSize(n, m_inputLength))) {
        yes = true;
        return 0;
    }
    // Second look: the candidate's first child.
    if (c.fourcc == kFtyp) {
        yes = !m_haveFtyp && (candidate.size - 8) % 4 == 0;
        return 0;
    }
    BoxHeader child;
    if ((r = ReadBoxHeader(child, c.start + c.headerLength, m_inputLength)) < 0)
        return r;
    yes = Uint2Macro(child.fourcc) < kMacroAlnum && (c.fourcc != kMoov || !m_haveMoov);
    return 0;
}

int64_t CMP4Repair::CheckLossOthers(const BoxHeader& h, bool loss)
{
    if (!m_input)
        return MEND_ERR_NO_STREAM;
    CScanBlock block(m_input.get(), m_inputLength);
    int64_t q = h.start + (h.size == 1 || h.headerLength == 16 ? 16 : 8);
    while (m_inputLength - q >= 8) {
        int64_t fresh = 0;
        const uint8_t* b = block.Header(q, fresh);
        if (!b)
            return MEND_ERR_READ;
        if (fresh > 0 && TestAbort())
            return MEND_ERR_ABORTED;
        if (!Spend(fresh))
            return MEND_ERR_UNREPAIRABLE;
        if (!IsAlnum(b[7]) && b[7] != ' ') {
            q += 4;  // no FourCC can cover this byte
            continue;
        }
        // Every FourCC of the table is letters and digits ("xml " ends in
        // a blank): anything else is passed without a lookup.
        if (!IsAlnum(b[4]) || !IsAlnum(b[5]) || !IsAlnum(b[6])) {
            ++q;
            continue;
        }
        BoxHeader c;
        int r = ReadBoxHeader(c, q, m_inputLength);
        if (r < 0)
            return r;
        if (Uint2Macro(c.fourcc) >= kMacroAlnum) {
            ++q;
            continue;
        }
        if (TestAbort())
            return MEND_ERR_ABORTED;
        bool accept = false;
        if ((r = IsCandidateEnd(c, accept)) < 0)
            return r;
        if (accept)
            return RecordSizeLoss(h, q - h.start, loss);
        // A box the table knows but which cannot end the damaged one (a
        // child of it, most likely): hop over it whole when its size fits.
        if (!c.endMark && PlausibleSize(c, m_inputLength) && Uint2Level(c.fourcc) != 1)
            q += c.size;
        else
            ++q;
    }
    return RecordSizeLoss(h, m_inputLength - h.start, loss);
}

// A container whose children fill it exactly up to the end found for it
// lost nothing but its size field: the damage is recorded, and the box is
// kept with the size found (a fragment with its data, a movie box whole).
int64_t CMP4Repair::RecordSizeLoss(const BoxHeader& h, int64_t size, bool loss)
{
    if (FindRule(h.fourcc)) {
        BoxHeader found = h;
        found.size = size;
        bool filled = false;
        int r = ChildrenFill(found, filled);
        if (r < 0)
            return r;
        if (filled) {
            AddErrorAt(JRVP_DAMAGE_INDEX, h.start);
            return size;
        }
    }
    return RecordLoss(h, size, loss);
}

int CMP4Repair::ReadBoxMoov(const BoxHeader& h)
{
    int64_t size = JudgeBox(h, true);
    if (size < 0)
        return static_cast<int>(size);
    m_haveMoov = true;
    m_moov = BoxInfo{kMoov, size, h.start};
    // A later movie box replaces an earlier one, and its tracks with it.
    m_movieChildren.clear();
    m_sampleTables.clear();
    if (IsLost(h.start))
        return 0;  // a movie box that does not hold is fatal already
    int r = WalkMovie(h.headerLength);
    if (r < 0 || (r = CheckTimescales()) < 0)
        return r;
    return ReadTrackDefaults();
}

// What stands at pos in a list of boxes: fewer bytes than a header, or a
// zero word, followed by nothing but zeros is the list's end (padding); too
// few bytes that are not all zeros are damage. A zero word with more after
// it is handed on as a box, for the size check to refuse.
int CMP4Repair::NextInList(int64_t pos, int64_t end, BoxHeader& c, ListStep& step)
{
    step = ListStep::kEnd;
    bool zeros = true;
    if (end - pos < 8) {
        int r = IsZeroRun(pos, end, zeros);
        if (r < 0)
            return r;
        if (!zeros)
            step = ListStep::kDamage;
        return 0;
    }
    int r = ReadBoxHeader(c, pos, end);
    if (r < 0)
        return r;
    if (c.size == 0 && !c.endMark) {
        if ((r = IsZeroRun(pos, end, zeros)) < 0)
            return r;
        if (zeros)
            return 0;
    }
    step = ListStep::kBox;
    return 0;
}

// The children of the movie box, one by one. A damaged child (a size that
// does not hold, damage inside it, a mandatory box missing) is left out
// with its record, and the walk goes on at the next box that the rebuild
// needs: a broken user data box costs the metadata, a broken track that
// track. Without a whole movie header, fragment defaults or track there is
// no movie to rebuild.
int CMP4Repair::WalkMovie(int headerLength)
{
    const int64_t end = m_moov.start + m_moov.size;
    int64_t pos = m_moov.start + headerLength;
    bool haveMvhd = false, haveTrak = false, fatal = false;
    while (!fatal) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        BoxHeader c;
        ListStep step = ListStep::kEnd;
        int r = NextInList(pos, end, c, step);
        if (r < 0)
            return r;
        if (step == ListStep::kDamage)
            AddErrorAt(JRVP_DAMAGE_INDEX, pos);
        if (step != ListStep::kBox)
            break;
        const size_t tables = m_sampleTables.size();
        ChildVerdict verdict = ChildVerdict::kWhole;
        if ((r = JudgeMovieChild(c, end, verdict)) < 0)
            return r;
        if (verdict == ChildVerdict::kWhole) {
            m_movieChildren.push_back(BoxInfo{c.fourcc, c.size, c.start});
            haveMvhd = haveMvhd || c.fourcc == kMvhd;
            haveTrak = haveTrak || c.fourcc == kTrak;
            pos += c.size;
            continue;
        }
        // A track left out takes its sample tables with it.
        m_sampleTables.resize(tables);
        if (verdict == ChildVerdict::kSizeBroken)
            AddErrorAt(JRVP_DAMAGE_INDEX, pos);
        if (c.fourcc == kTrak)
            AddError(JRVP_DAMAGE_DATA_LOST);
        fatal = c.fourcc == kMvhd || c.fourcc == kMvex;
        if (verdict == ChildVerdict::kInsideBroken) {
            pos += c.size;  // its size holds: its end is a sibling's start
            continue;
        }
        int64_t next = -1;
        if ((r = FindMovieChild(pos + 1, end, next)) < 0)
            return r;
        if (next < 0)
            break;
        pos = next;
    }
    if (fatal || !haveMvhd || !haveTrak) {
        AddErrorAt(JRVP_DAMAGE_STRUCTURE, m_moov.start);
        m_unrepairable = true;
    }
    return 0;
}

int CMP4Repair::JudgeMovieChild(BoxHeader& c, int64_t end, ChildVerdict& verdict)
{
    verdict = ChildVerdict::kSizeBroken;
    bool holds = false;
    int r = 0;
    if (!c.endMark && PlausibleSize(c, end) && (r = ChildEndHolds(c, end, holds)) < 0)
        return r;
    if (!holds) {
        // A track whose size alone is broken is still whole.
        bool mended = false;
        if ((r = MendBoxSize(c, end, mended)) < 0 || !mended)
            return r;
    }
    verdict = ChildVerdict::kWhole;
    if (Contains(FindRule(kMoov)->walked, c.fourcc)) {
        bool damaged = false, incomplete = false;
        if ((r = WalkContainer(BoxInfo{c.fourcc, c.size, c.start}, c.headerLength, damaged, incomplete)) < 0)
            return r;
        if (damaged || incomplete)
            verdict = ChildVerdict::kInsideBroken;
    }
    return 0;
}

// A child's size holds when the movie box ends at its end, or a box header
// that may follow it is there, or, whatever follows, when its own content
// says the size is right: children that fill it exactly, or a movie header
// of the length its version gives.
int CMP4Repair::ChildEndHolds(const BoxHeader& c, int64_t end, bool& holds)
{
    holds = true;
    const int64_t next = c.start + c.size;
    if (next == end)
        return 0;
    int r = 0;
    if (end - next < 8) {
        bool zeros = true;
        if ((r = IsZeroRun(next, end, zeros)) < 0 || zeros)
            return r;
    } else {
        BoxHeader n;
        if ((r = ReadBoxHeader(n, next, end)) < 0)
            return r;
        if (n.size == 0 && !n.endMark) {
            bool zeros = true;
            if ((r = IsZeroRun(next, end, zeros)) < 0 || zeros)
                return r;
        } else if (!n.endMark && Uint2Macro(n.fourcc) != kMacroOther && PlausibleSize(n, end)) {
            return 0;
        }
    }
    if (c.fourcc == kMvhd) {
        uint8_t version = 0;
        if (m_input->SeekTo(c.start + c.headerLength) < 0 || !ReadField(m_input.get(), version))
            return MEND_ERR_READ;
        holds = c.size == c.headerLength + (version == 1 ? 112 : 100);
        return 0;
    }
    return ChildrenFill(c, holds);
}

int CMP4Repair::MendContainerEnd(const BoxHeader& c, int64_t limit, int64_t& end, bool& found)
{
    found = false;
    end = c.start + 8;
    const int level = Uint2Level(c.fourcc);
    for (;;) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        BoxHeader k;
        ListStep step = ListStep::kEnd;
        int r = NextInList(end, limit, k, step);
        if (r < 0 || step == ListStep::kDamage)
            return r;
        if (step == ListStep::kEnd) {
            found = end > c.start + 8;
            return 0;
        }
        const int macro = Uint2Macro(k.fourcc);
        if (k.endMark || macro == kMacroOther || !PlausibleSize(k, limit))
            return 0;
        // Boxes of the last level may stand anywhere, and are taken as
        // children.
        const int kLevel = Uint2Level(k.fourcc);
        if (macro != kMacroAlnum && kLevel <= level && kLevel < 7) {
            found = end > c.start + 8;
            return 0;
        }
        end += k.size;
    }
}

int CMP4Repair::TableEnd(const BoxHeader& c, int64_t limit, int64_t& end, bool& found)
{
    found = false;
    const int width = c.fourcc == kStts || c.fourcc == kCtts || c.fourcc == kCo64 ? 8
                      : c.fourcc == kStsc                                       ? 12
                      : c.fourcc == kStco || c.fourcc == kStss                  ? 4
                                                                                : 0;
    if (width == 0 && c.fourcc != kStsz && c.fourcc != kStsd)
        return 0;
    // After the version and flags: the count (a constant sample size and
    // then the count, in "stsz").
    uint32_t first = 0, second = 0;
    if (limit - c.start < 20)
        return 0;
    if (m_input->SeekTo(c.start + 12) != c.start + 12 || !ReadFieldR(m_input.get(), first) ||
        !ReadFieldR(m_input.get(), second))
        return MEND_ERR_READ;
    end = c.start + 16;
    if (c.fourcc == kStsd) {
        // The sample descriptions, each as long as its size says.
        for (uint32_t i = 0; i < first; ++i) {
            if (TestAbort())
                return MEND_ERR_ABORTED;
            uint32_t size = 0;
            if (limit - end < 16)
                return 0;
            if (m_input->SeekTo(end) != end || !ReadFieldR(m_input.get(), size))
                return MEND_ERR_READ;
            if (size < 16 || size > limit - end)
                return 0;
            end += size;
        }
    } else {
        const uint64_t bytes = c.fourcc == kStsz ? 4 + (first == 0 ? uint64_t(second) * 4 : 0) : uint64_t(first) * width;
        if (bytes > static_cast<uint64_t>(limit - end))
            return 0;
        end += static_cast<int64_t>(bytes);
    }
    // What follows must be the next box, or the end of the list.
    BoxHeader k;
    ListStep step = ListStep::kEnd;
    int r = NextInList(end, limit, k, step);
    if (r < 0)
        return r;
    found = step == ListStep::kEnd ||
            (step == ListStep::kBox && !k.endMark && Uint2Macro(k.fourcc) < kMacroAlnum && PlausibleSize(k, limit));
    return 0;
}

int CMP4Repair::MendBoxSize(BoxHeader& c, int64_t limit, bool& mended)
{
    mended = false;
    int64_t end = 0;
    bool found = false;
    int r = MendableContainer(c.fourcc) ? MendContainerEnd(c, limit, end, found) : TableEnd(c, limit, end, found);
    if (r < 0 || !found || end - c.start >= k4GiB)
        return r;
    AddErrorAt(JRVP_DAMAGE_INDEX, c.start);
    AddFix(c.start, static_cast<uint32_t>(end - c.start));
    c.size = end - c.start;
    c.headerLength = 8;
    c.endMark = false;
    mended = true;
    return 0;
}

// Where the next box that the rebuild needs (a movie header, a track, the
// fragment defaults) may begin in [from, end): a header of one of those
// types whose size fits the movie box. It is judged like any child after.
int CMP4Repair::FindMovieChild(int64_t from, int64_t end, int64_t& found)
{
    found = -1;
    CScanBlock block(m_input.get(), end);
    for (int64_t q = from; end - q >= 8; ++q) {
        int64_t fresh = 0;
        const uint8_t* b = block.Header(q, fresh);
        if (!b)
            return MEND_ERR_READ;
        if (fresh > 0 && TestAbort())
            return MEND_ERR_ABORTED;
        if (!Spend(fresh))
            return MEND_ERR_UNREPAIRABLE;
        uint32_t fourcc = (uint32_t(b[4]) << 24) | (uint32_t(b[5]) << 16) | (uint32_t(b[6]) << 8) | b[7];
        if (fourcc != kTrak && fourcc != kMvhd && fourcc != kMvex)
            continue;
        BoxHeader c;
        int r = ReadBoxHeader(c, q, end);
        if (r < 0)
            return r;
        if (c.endMark || !PlausibleSize(c, end))
            continue;
        // Each candidate is walked once judged: hostile bytes full of
        // track headers must not make the analysis quadratic.
        if (!Spend(c.size))
            return MEND_ERR_UNREPAIRABLE;
        found = q;
        return 0;
    }
    return 0;
}

int CMP4Repair::WalkContainer(const BoxInfo& box, int headerLength, bool& damaged, bool& incomplete)
{
    if (!m_input)
        return MEND_ERR_NO_STREAM;
    const ContainerRule* rule = FindRule(box.fourcc);
    if (!rule)
        return 0;
    int64_t end = box.start + box.size;
    int64_t pos = box.start + headerLength;
    if (box.fourcc == kMeta && end - pos >= 4) {
        // The ISO "meta" is a full box: a version and flags word (zero)
        // comes before its children. QuickTime's is not.
        uint32_t word = 0;
        if (m_input->SeekTo(pos) != pos || !ReadFieldR(m_input.get(), word))
            return MEND_ERR_READ;
        if (word < 8)
            pos += 4;
    }
    if (box.fourcc == kStbl)
        m_sampleTables.push_back(SampleTable{BoxInfo{box.fourcc, box.size, box.start}, 0});
    // The media's handler type names what its samples are.
    const size_t tablesBefore = m_sampleTables.size();
    uint32_t handler = 0;
    std::vector<bool> seen(rule->mandatory.size(), false);
    int64_t damageAt = -1;
    for (;;) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        BoxHeader c;
        ListStep step = ListStep::kEnd;
        int r = NextInList(pos, end, c, step);
        if (r < 0)
            return r;
        if (step == ListStep::kDamage)
            damageAt = pos;
        if (step != ListStep::kBox)
            break;
        if (c.endMark || !PlausibleSize(c, end)) {
            bool mended = false;
            if ((r = MendBoxSize(c, end, mended)) < 0)
                return r;
            if (!mended) {
                damageAt = pos;
                break;
            }
        }
        if (Contains(rule->walked, c.fourcc)) {
            bool childDamaged = false, childIncomplete = false;
            r = WalkContainer(BoxInfo{c.fourcc, c.size, c.start}, c.headerLength, childDamaged, childIncomplete);
            if (r < 0)
                return r;
            damaged = damaged || childDamaged;
            incomplete = incomplete || childIncomplete;
        }
        if (box.fourcc == kStbl && c.fourcc == kStsd) {
            bool broken = false;
            if ((r = CheckSampleDescriptions(c, broken)) < 0)
                return r;
            damaged = damaged || broken;
        }
        if (box.fourcc == kMdia && c.fourcc == kHdlr && c.size - c.headerLength >= 12) {
            const int64_t at = c.start + c.headerLength + 8;  // after version, flags and pre_defined
            if (m_input->SeekTo(at) != at || !ReadFieldR(m_input.get(), handler))
                return MEND_ERR_READ;
        }
        for (size_t g = 0; g < rule->mandatory.size(); ++g)
            if (Contains(rule->mandatory[g], c.fourcc))
                seen[g] = true;
        pos += c.size;
    }
    for (size_t t = tablesBefore; box.fourcc == kMdia && t < m_sampleTables.size(); ++t)
        m_sampleTables[t].handler = handler;
    if (damageAt >= 0) {
        AddErrorAt(JRVP_DAMAGE_INDEX, damageAt);
        damaged = true;
    }
    if (std::find(seen.begin(), seen.end(), false) != seen.end()) {
        AddErrorAt(JRVP_DAMAGE_STRUCTURE, box.start);
        incomplete = true;
    }
    return 0;
}

void CMP4Repair::AddFix(int64_t input, uint32_t value)
{
    auto it = std::lower_bound(m_fixes.begin(), m_fixes.end(), input,
                               [](const FieldFix& f, int64_t s) { return f.input < s; });
    if (it != m_fixes.end() && it->input == input)
        it->value = value;
    else
        m_fixes.insert(it, FieldFix{input, value});
}

// A 32-bit field of the input as the rebuild writes it: mended where the
// analysis found it wrong.
int CMP4Repair::ReadFixedField(int64_t input, uint32_t& value)
{
    value = 0;
    if (m_input->SeekTo(input) != input || !ReadFieldR(m_input.get(), value))
        return MEND_ERR_READ;
    value = FixedValue(input, value);
    return 0;
}

uint32_t CMP4Repair::FixedValue(int64_t input, uint32_t value) const
{
    auto it = std::lower_bound(m_fixes.begin(), m_fixes.end(), input,
                               [](const FieldFix& f, int64_t s) { return f.input < s; });
    return it != m_fixes.end() && it->input == input ? it->value : value;
}

int CMP4Repair::FindChildBox(const BoxInfo& parent, uint32_t fourcc, BoxHeader& found, bool& present)
{
    present = false;
    const int64_t end = parent.start + parent.size;
    BoxHeader h;
    int r = ReadBoxHeader(h, parent.start, end);
    if (r < 0 || h.endMark)
        return r;
    for (int64_t pos = parent.start + h.headerLength;;) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        BoxHeader c;
        if ((r = ReadBoxHeader(c, pos, end)) < 0)
            return r;
        if (c.endMark || !PlausibleSize(c, end))
            return 0;
        if (c.fourcc == fourcc) {
            found = c;
            present = true;
            return 0;
        }
        pos += c.size;
    }
}

// The sum of a track's sample durations, as its time-to-sample table gives
// them (0 when it has none, as a fragmented file's track has not). Only
// the entries the box can hold count, whatever its entry count says.
int CMP4Repair::SampleTimesTotal(const BoxInfo& stbl, uint64_t& total)
{
    total = 0;
    BoxHeader stts;
    bool haveStts = false;
    int r = FindChildBox(stbl, kStts, stts, haveStts);
    if (r < 0 || !haveStts || stts.size - stts.headerLength < 8)
        return r;
    uint32_t versionFlags = 0, count = 0;
    const int64_t body = stts.start + stts.headerLength;
    if (m_input->SeekTo(body) != body || !ReadFieldR(m_input.get(), versionFlags) ||
        !ReadFieldR(m_input.get(), count))
        return MEND_ERR_READ;
    const uint64_t entries = EntriesIn(stts.size, stts.headerLength, 8, count, 8);
    uint64_t timed = 0;
    for (uint64_t i = 0; i < entries; ++i) {
        if ((i & 0xFFF) == 0 && TestAbort())
            return MEND_ERR_ABORTED;
        uint32_t samples = 0, delta = 0;
        if (!ReadFieldR(m_input.get(), samples) || !ReadFieldR(m_input.get(), delta))
            return MEND_ERR_READ;
        // 2^32 entries of 2^64 at most: saturate rather than wrap.
        const uint64_t add = uint64_t(samples) * delta;
        total = add > UINT64_MAX - total ? UINT64_MAX : total + add;
        timed += samples;
    }
    // A table that times another number of samples than the size table
    // holds was damaged itself: its total says nothing of the media's
    // length, and a reader times the samples it cannot place by the last
    // entry anyway.
    for (uint32_t kind : {kStsz, kStz2}) {
        BoxHeader sizes;
        bool haveSizes = false;
        if ((r = FindChildBox(stbl, kind, sizes, haveSizes)) < 0)
            return r;
        if (!haveSizes || sizes.size - sizes.headerLength < 12)
            continue;
        uint32_t held = 0;
        const int64_t at = sizes.start + sizes.headerLength + 8;
        if (m_input->SeekTo(at) != at || !ReadFieldR(m_input.get(), held))
            return MEND_ERR_READ;
        if (held != timed)
            total = 0;
        break;
    }
    return 0;
}

// The sample descriptions of a track follow one another up to the end of
// their box, each as long as its size says. A size that cannot hold (0, or
// past the box) makes libavformat refuse the whole file; in the last entry
// the box's end gives it back. One in an earlier entry has no such
// witness: the track is damaged.
int CMP4Repair::CheckSampleDescriptions(const BoxHeader& stsd, bool& damaged)
{
    damaged = false;
    const int64_t end = stsd.start + stsd.size;
    int64_t pos = stsd.start + stsd.headerLength + 8;  // after version, flags and entry count
    if (end - pos < 0)
        return 0;
    uint32_t count = 0;
    if (m_input->SeekTo(pos - 4) != pos - 4 || !ReadFieldR(m_input.get(), count))
        return MEND_ERR_READ;
    // A sample entry is at least its header, reserved bytes and data
    // reference index.
    constexpr int64_t kMinEntry = 16;
    // Entries of sound sizes that fill the box exactly are what a reader
    // must be told to read: an entry count other than theirs makes
    // libavformat refuse the file, or lose the track's codec.
    uint32_t held = 0;
    int64_t at = pos;
    while (end - at >= kMinEntry && held < UINT32_MAX) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        uint32_t size = 0;
        if (m_input->SeekTo(at) != at || !ReadFieldR(m_input.get(), size))
            return MEND_ERR_READ;
        if (size < kMinEntry || size > end - at)
            break;
        at += size;
        ++held;
    }
    if (at == end && held > 0) {
        if (held != count) {
            AddErrorAt(JRVP_DAMAGE_INDEX, pos - 4);
            AddFix(pos - 4, held);
        }
        return 0;
    }
    for (uint32_t i = 0; i < count && pos < end; ++i) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        uint32_t size = 0;
        if (end - pos < 8) {
            damaged = true;
            break;
        }
        if (m_input->SeekTo(pos) != pos || !ReadFieldR(m_input.get(), size))
            return MEND_ERR_READ;
        const bool last = i + 1 == count;
        if (last && size != end - pos && end - pos >= kMinEntry) {
            AddErrorAt(JRVP_DAMAGE_INDEX, pos);
            AddFix(pos, static_cast<uint32_t>(end - pos));
            return 0;
        }
        if (size < kMinEntry || size > end - pos) {
            damaged = true;
            break;
        }
        pos += size;
    }
    if (damaged)
        AddErrorAt(JRVP_DAMAGE_INDEX, pos);
    return 0;
}

// What one track says about its times: its duration in the movie's
// timescale (the track header), the media's timescale and duration (its
// samples' own times where it has them), and where its edit list is.
struct CMP4Repair::TrackTimes {
    BoxHeader mdhd, hdlr, stbl, elst;
    bool haveHdlr = false, haveStbl = false, haveElst = false;
    int64_t scaleAt = 0;
    uint32_t scale = 0;
    uint64_t trackDuration = 0;  // less its empty edits; 0 where unknown
    uint64_t declaredDuration = 0;  // as the track header gives it; 0 where unknown
    uint64_t mediaDuration = 0;
    uint64_t shownFrom = 0;  // the media time of the first edit that shows media
    bool haveShownFrom = false;
};

// Version 0 holds 32-bit times, version 1 64-bit ones: at `at`, or (given
// -1) where the last read ended.
bool CMP4Repair::ReadTime(int64_t at, int version, uint64_t& v)
{
    uint32_t v32 = 0;
    v = 0;
    if ((at >= 0 && m_input->SeekTo(at) != at) || !(version ? ReadFieldR(m_input.get(), v) : ReadFieldR(m_input.get(), v32)))
        return false;
    if (!version)
        v = v32;
    return true;
}

// A time field the analysis found wrong: one 32-bit fix, or two for a
// 64-bit field.
void CMP4Repair::AddTimeFix(int64_t at, int version, uint64_t value)
{
    if (version) {
        AddFix(at, static_cast<uint32_t>(value >> 32));
        AddFix(at + 4, static_cast<uint32_t>(value));
    } else {
        AddFix(at, static_cast<uint32_t>(std::min<uint64_t>(value, UINT32_MAX)));
    }
}

int CMP4Repair::ReadTrackTimes(const BoxInfo& trak, TrackTimes& t, bool& usable)
{
    usable = false;
    t = TrackTimes();
    BoxHeader tkhd, mdia;
    bool haveTkhd = false, haveMdia = false, haveMdhd = false;
    int r = FindChildBox(trak, kTkhd, tkhd, haveTkhd);
    if (r < 0 || (r = FindChildBox(trak, kMdia, mdia, haveMdia)) < 0)
        return r;
    if (!haveTkhd || !haveMdia)
        return 0;
    const BoxInfo mdiaBox{kMdia, mdia.size, mdia.start};
    if ((r = FindChildBox(mdiaBox, kMdhd, t.mdhd, haveMdhd)) < 0 ||
        (r = FindChildBox(mdiaBox, kHdlr, t.hdlr, t.haveHdlr)) < 0)
        return r;
    if (!haveMdhd)
        return 0;
    uint8_t tkhdVersion = 0, mdhdVersion = 0;
    const int64_t tkhdBody = tkhd.start + tkhd.headerLength, mdhdBody = t.mdhd.start + t.mdhd.headerLength;
    if (m_input->SeekTo(tkhdBody) != tkhdBody || !ReadField(m_input.get(), tkhdVersion) ||
        m_input->SeekTo(mdhdBody) != mdhdBody || !ReadField(m_input.get(), mdhdVersion))
        return MEND_ERR_READ;
    if (tkhdVersion > 1 || mdhdVersion > 1 || tkhd.size - tkhd.headerLength < (tkhdVersion ? 36 : 24) ||
        t.mdhd.size - t.mdhd.headerLength < (mdhdVersion ? 32 : 20))
        return 0;
    t.scaleAt = mdhdBody + (mdhdVersion ? 20 : 12);
    if (!ReadTime(tkhdBody + (tkhdVersion ? 28 : 20), tkhdVersion, t.trackDuration) ||
        m_input->SeekTo(t.scaleAt) != t.scaleAt || !ReadFieldR(m_input.get(), t.scale) ||
        !ReadTime(t.scaleAt + 4, mdhdVersion, t.mediaDuration))
        return MEND_ERR_READ;
    // All ones is a duration nobody knew.
    if (t.trackDuration == (tkhdVersion ? UINT64_MAX : UINT32_MAX))
        t.trackDuration = 0;
    t.declaredDuration = t.trackDuration;
    if (t.mediaDuration == (mdhdVersion ? UINT64_MAX : UINT32_MAX))
        t.trackDuration = 0;
    // The samples' own times are the media's duration where the track
    // has them: a damaged duration field must not pass for a damaged
    // timescale (the rebuild writes the duration anew from them).
    BoxHeader minf;
    bool haveMinf = false;
    if ((r = FindChildBox(mdiaBox, kMinf, minf, haveMinf)) < 0)
        return r;
    if (haveMinf && (r = FindChildBox(BoxInfo{kMinf, minf.size, minf.start}, kStbl, t.stbl, t.haveStbl)) < 0)
        return r;
    uint64_t samplesDuration = 0;
    if (t.haveStbl && (r = SampleTimesTotal(BoxInfo{kStbl, t.stbl.size, t.stbl.start}, samplesDuration)) < 0)
        return r;
    if (samplesDuration > 0)
        t.mediaDuration = samplesDuration;
    // Empty edits (a delay before the media plays) count in the track's
    // duration but not in the media's; media before the first edit's start
    // (pre-roll a cut left in) counts in the media's only.
    BoxHeader edts;
    bool haveEdts = false;
    if ((r = FindChildBox(trak, kEdts, edts, haveEdts)) < 0)
        return r;
    if (haveEdts && (r = FindChildBox(BoxInfo{edts.fourcc, edts.size, edts.start}, kElst, t.elst, t.haveElst)) < 0)
        return r;
    t.haveElst = t.haveElst && t.elst.size - t.elst.headerLength >= 8;
    if (t.haveElst) {
        uint32_t versionFlags = 0, count = 0;
        const int64_t body = t.elst.start + t.elst.headerLength;
        if (m_input->SeekTo(body) != body || !ReadFieldR(m_input.get(), versionFlags) ||
            !ReadFieldR(m_input.get(), count))
            return MEND_ERR_READ;
        // Each entry: segment duration, media time (-1 for an empty edit)
        // and rate; 32-bit times in version 0, 64-bit in 1.
        const int wide = (versionFlags >> 24) == 1 ? 1 : 0;
        const uint64_t entries = EntriesIn(t.elst.size, t.elst.headerLength, 8, count, wide ? 20 : 12);
        for (uint64_t i = 0; i < entries; ++i) {
            if ((i & 0xFFF) == 0 && TestAbort())
                return MEND_ERR_ABORTED;
            uint64_t duration = 0, mediaTime = 0;
            uint32_t rate = 0;
            if (!ReadTime(-1, wide, duration) || !ReadTime(-1, wide, mediaTime) || !ReadFieldR(m_input.get(), rate))
                return MEND_ERR_READ;
            if (mediaTime == (wide ? UINT64_MAX : UINT32_MAX)) {
                t.trackDuration -= std::min(t.trackDuration, duration);
            } else if (!t.haveShownFrom) {
                t.shownFrom = mediaTime;
                t.haveShownFrom = true;
            }
        }
    }
    usable = true;
    return 0;
}

// A movie timescale of 0 (or past what a signed reader takes) leaves the
// track durations and edits without a time base: a track's duration in it
// against the same duration in the media's own timescale gives it back,
// taken as the usual value of a writer where the two round near one.
int CMP4Repair::CheckMovieTimescale(const std::vector<TrackTimes>& tracks, int64_t mvhdStart, int64_t scaleAt,
                                    uint32_t& movieScale)
{
    if (movieScale > 0 && movieScale <= INT32_MAX) {
        // One track far from the movie's time base may be a damaged media
        // timescale; every track of several far from it, each by its own
        // sound media timescale, says the movie's own is what is wrong.
        size_t judged = 0, apart = 0;
        for (const TrackTimes& t : tracks) {
            if (t.scale == 0 || t.scale > INT32_MAX || t.trackDuration == 0 || t.mediaDuration == 0)
                continue;
            ++judged;
            apart += MediaScaleApart(t, movieScale) ? 1 : 0;
        }
        if (judged < 2 || apart < judged)
            return 0;
    }
    // Writers differ in whether an edit that starts the media late lasts
    // the whole media or the rest of it: a track whose edit starts the
    // media at its start says it either way, and is asked first.
    uint64_t derived = 0;
    for (int pass = 0; pass < 2 && derived == 0; ++pass) {
        for (const TrackTimes& t : tracks) {
            if ((pass == 0 && t.shownFrom > 0) || t.scale == 0 || t.scale > INT32_MAX || t.trackDuration == 0 ||
                t.mediaDuration == 0)
                continue;
            const unsigned __int128 scaled =
                (static_cast<unsigned __int128>(t.trackDuration) * t.scale + t.mediaDuration / 2) / t.mediaDuration;
            if (scaled > 0 && scaled <= INT32_MAX) {
                derived = static_cast<uint64_t>(scaled);
                break;
            }
        }
    }
    for (uint64_t usual : {600, 1000, 90000})
        if (derived * 50 >= usual * 49 && derived * 50 <= usual * 51)
            derived = usual;
    if (derived == 0)
        derived = 1000;
    AddErrorAt(JRVP_DAMAGE_INDEX, mvhdStart);
    AddFix(scaleAt, static_cast<uint32_t>(derived));
    movieScale = static_cast<uint32_t>(derived);
    return 0;
}

// A media timescale of 0 (or past what a signed reader takes) leaves a
// player no time base at all, and one far from what the track's own
// durations give times every sample wrong. The duration of the media in
// the movie's timescale (the track header) against its duration in its own
// (the media header) gives it back; a sound track's sample rate gives it
// exactly where the two agree.
int CMP4Repair::CheckTimescales()
{
    uint32_t movieScale = 0;
    int64_t mvhdStart = -1, movieScaleAt = -1;
    for (const BoxInfo& mvhd : m_movieChildren) {
        if (mvhd.fourcc != kMvhd)
            continue;
        BoxHeader h;
        int r = ReadBoxHeader(h, mvhd.start, mvhd.start + mvhd.size);
        if (r < 0)
            return r;
        uint8_t version = 0;
        const int64_t body = mvhd.start + h.headerLength;
        if (m_input->SeekTo(body) != body || !ReadField(m_input.get(), version))
            return MEND_ERR_READ;
        if (version <= 1 && mvhd.size - h.headerLength >= (version ? 24 : 16)) {
            mvhdStart = mvhd.start;
            movieScaleAt = body + (version ? 20 : 12);
            if (m_input->SeekTo(movieScaleAt) < 0 || !ReadFieldR(m_input.get(), movieScale))
                return MEND_ERR_READ;
        }
    }
    std::vector<TrackTimes> tracks;
    for (const BoxInfo& trak : m_movieChildren) {
        if (trak.fourcc != kTrak)
            continue;
        TrackTimes t;
        bool usable = false;
        int r = ReadTrackTimes(trak, t, usable);
        if (r < 0)
            return r;
        if (usable)
            tracks.push_back(t);
    }
    int r = 0;
    if (movieScaleAt >= 0 && (r = CheckMovieTimescale(tracks, mvhdStart, movieScaleAt, movieScale)) < 0)
        return r;
    for (TrackTimes& t : tracks) {
        if ((r = CheckMediaTimescale(t, movieScale)) < 0 || (r = CheckEditList(t, movieScale)) < 0)
            return r;
    }
    return 0;
}

uint64_t CMP4Repair::ScaleFromDurations(const TrackTimes& t, uint64_t media, uint32_t movieScale)
{
    if (t.trackDuration == 0 || media == 0 || movieScale == 0)
        return 0;
    const unsigned __int128 scaled =
        (static_cast<unsigned __int128>(media) * movieScale + t.trackDuration / 2) / t.trackDuration;
    return scaled > INT32_MAX ? 0 : static_cast<uint64_t>(scaled);
}

bool CMP4Repair::MediaScaleApart(const TrackTimes& t, uint32_t movieScale)
{
    // What the two durations say the media timescale is: all the media,
    // or the media from where the edit starts it. Edit lists may show a
    // part of the media only, or delay it: far apart from both is damage,
    // a little apart is not.
    const uint64_t fromDurations = ScaleFromDurations(t, t.mediaDuration, movieScale);
    const uint64_t fromShown =
        t.shownFrom < t.mediaDuration ? ScaleFromDurations(t, t.mediaDuration - t.shownFrom, movieScale) : 0;
    constexpr uint64_t kApart = 16;
    auto apart = [&](uint64_t from) {
        return from > 0 && (uint64_t(t.scale) * kApart < from || uint64_t(t.scale) > from * kApart);
    };
    return fromDurations > 0 && apart(fromDurations) && (fromShown == 0 || apart(fromShown));
}

int CMP4Repair::CheckMediaTimescale(TrackTimes& t, uint32_t movieScale)
{
    const uint64_t fromDurations = ScaleFromDurations(t, t.mediaDuration, movieScale);
    const uint32_t scale = t.scale;
    const bool wrong = scale == 0 || scale > INT32_MAX || MediaScaleApart(t, movieScale);
    if (!wrong)
        return 0;
    uint64_t rate = 0;
    uint32_t handler = 0;
    if (t.haveHdlr && t.hdlr.size - t.hdlr.headerLength >= 12) {
        const int64_t at = t.hdlr.start + t.hdlr.headerLength + 8;
        if (m_input->SeekTo(at) != at || !ReadFieldR(m_input.get(), handler))
            return MEND_ERR_READ;
    }
    if (handler == kSoun) {
        // The first sound sample entry's rate: 16.16 fixed point, or
        // (QuickTime's version 2) a 64-bit float.
        BoxHeader stsd;
        bool haveStsd = false;
        int r = 0;
        if (t.haveStbl && (r = FindChildBox(BoxInfo{kStbl, t.stbl.size, t.stbl.start}, kStsd, stsd, haveStsd)) < 0)
            return r;
        const int64_t entry = stsd.start + stsd.headerLength + 8;
        if (haveStsd && stsd.start + stsd.size - entry >= 48) {
            uint16_t version = 0, rate16 = 0;
            uint64_t bits = 0;
            if (m_input->SeekTo(entry + 16) != entry + 16 || !ReadFieldR(m_input.get(), version) ||
                m_input->SeekTo(entry + 32) != entry + 32 || !ReadFieldR(m_input.get(), rate16) ||
                m_input->SeekTo(entry + 40) != entry + 40 || !ReadFieldR(m_input.get(), bits))
                return MEND_ERR_READ;
            rate = rate16;
            if (version == 2) {
                double d = 0;
                memcpy(&d, &bits, sizeof(d));
                rate = d >= 1 && d <= INT32_MAX ? static_cast<uint64_t>(d + 0.5) : 0;
            }
        }
    }
    uint64_t value = fromDurations;
    if (rate > 0 && (fromDurations == 0 || (rate * 2 >= fromDurations && rate <= fromDurations * 2)))
        value = rate;
    // With neither, the movie's own timescale at least times the
    // samples in order.
    if (value == 0)
        value = movieScale > 0 && movieScale <= INT32_MAX ? movieScale : 1000;
    AddErrorAt(JRVP_DAMAGE_INDEX, t.mdhd.start);
    AddFix(t.scaleAt, static_cast<uint32_t>(value));
    t.scale = static_cast<uint32_t>(value);
    return 0;
}

// An edit list that shows no media of a track that has some, an edit that
// starts past the media's end (or before its start), or the one edit that
// shows media lasting far from what both the media and the track header
// give: libavformat shows a frame of the track, or none. The track header
// and the media give the edit back; an edit that starts the media wrong
// starts it at its first sample.
int CMP4Repair::CheckEditList(const TrackTimes& t, uint32_t movieScale)
{
    if (!t.haveElst || t.mediaDuration == 0 || t.scale == 0 || t.scale > INT32_MAX || movieScale == 0)
        return 0;
    const int64_t body = t.elst.start + t.elst.headerLength;
    uint32_t versionFlags = 0, count = 0;
    if (m_input->SeekTo(body) != body || !ReadFieldR(m_input.get(), versionFlags) || !ReadFieldR(m_input.get(), count))
        return MEND_ERR_READ;
    const int wide = (versionFlags >> 24) == 1 ? 1 : 0;
    const int width = wide ? 20 : 12;
    const uint64_t held = EntriesIn(t.elst.size, t.elst.headerLength, 8, UINT32_MAX, width);
    // A small list is all a track has: a long one is left as it is.
    constexpr uint64_t kMaxEdits = 16;
    if (held == 0 || held > kMaxEdits)
        return 0;
    const uint64_t empty = wide ? UINT64_MAX : UINT32_MAX;
    struct Edit {
        uint64_t duration, mediaTime;
    };
    std::vector<Edit> edits;
    if (m_input->SeekTo(body + 8) != body + 8)
        return MEND_ERR_READ;
    for (uint64_t i = 0; i < std::min<uint64_t>(held, count); ++i) {
        Edit e{0, 0};
        uint32_t rate = 0;
        if (!ReadTime(-1, wide, e.duration) || !ReadTime(-1, wide, e.mediaTime) || !ReadFieldR(m_input.get(), rate))
            return MEND_ERR_READ;
        edits.push_back(e);
    }
    if (edits.empty())
        return 0;
    const int64_t entries = body + 8;
    auto durationAt = [&](size_t i) { return entries + static_cast<int64_t>(i) * width; };
    auto timeAt = [&](size_t i) { return durationAt(i) + (wide ? 8 : 4); };
    // A negative media time other than -1 (an empty edit) is no time.
    auto negative = [&](uint64_t v) { return v != empty && (wide ? int64_t(v) < 0 : int32_t(uint32_t(v)) < 0); };
    bool damaged = false, startFixed = false;
    size_t shown = edits.size();  // the one edit that shows media, if only one does
    size_t showing = 0;
    for (size_t i = 0; i < edits.size(); ++i) {
        Edit& e = edits[i];
        if (e.mediaTime == empty)
            continue;
        ++showing;
        shown = i;
        if (negative(e.mediaTime) || e.mediaTime >= t.mediaDuration) {
            e.mediaTime = 0;
            AddTimeFix(timeAt(i), wide, 0);
            damaged = startFixed = true;
        }
    }
    if (showing == 0) {
        // Every edit empty: the last one showed the media.
        shown = edits.size() - 1;
        edits[shown].mediaTime = 0;
        AddTimeFix(timeAt(shown), wide, 0);
        damaged = startFixed = true;
        showing = 1;
    }
    if (showing == 1) {
        // How long the media from the edit's start lasts, in the movie's
        // timescale, and what the track header leaves for the edit.
        Edit& e = edits[shown];
        const unsigned __int128 media =
            static_cast<unsigned __int128>(t.mediaDuration - e.mediaTime) * movieScale / t.scale;
        const uint64_t want = media > INT64_MAX ? 0 : static_cast<uint64_t>(media);
        uint64_t others = 0;
        for (size_t i = 0; i < edits.size(); ++i)
            if (i != shown)
                others = std::min<uint64_t>(others + edits[i].duration, INT64_MAX);
        const uint64_t rest = t.declaredDuration > others ? t.declaredDuration - others : 0;
        auto near = [](uint64_t a, uint64_t b) {
            const uint64_t d = a > b ? a - b : b - a;
            return d <= 2 || d <= std::max(a, b) / 50;
        };
        if (want > 0 && !near(e.duration, want) && !(rest > 0 && near(e.duration, rest))) {
            const uint64_t value = rest > 0 && near(rest, want) ? rest : want;
            AddTimeFix(durationAt(shown), wide, value);
            damaged = true;
        } else if (startFixed && e.duration < want) {
            // An edit now started at the first sample lasts to the last.
            AddTimeFix(durationAt(shown), wide, want);
        }
    }
    if (damaged)
        AddErrorAt(JRVP_DAMAGE_INDEX, t.elst.start);
    return 0;
}

// The default sample size of each track's fragments, from the "trex" boxes
// of the movie's fragment defaults.
int CMP4Repair::ReadTrackDefaults()
{
    m_trackDefaults.clear();
    for (const BoxInfo& mvex : m_movieChildren) {
        if (mvex.fourcc != kMvex)
            continue;
        const int64_t end = mvex.start + mvex.size;
        BoxHeader h;
        int r = ReadBoxHeader(h, mvex.start, end);
        if (r < 0)
            return r;
        for (int64_t pos = mvex.start + h.headerLength;;) {
            if (TestAbort())
                return MEND_ERR_ABORTED;
            BoxHeader c;
            if ((r = ReadBoxHeader(c, pos, end)) < 0)
                return r;
            if (c.endMark || !PlausibleSize(c, end))
                break;
            // Version and flags, track ID, description index, duration, size.
            TrackDefault d{0, 0};
            const int64_t body = c.start + c.headerLength;
            if (c.fourcc == kTrex && c.size - c.headerLength >= 20) {
                if (m_input->SeekTo(body + 4) != body + 4 || !ReadFieldR(m_input.get(), d.track) ||
                    m_input->SeekTo(body + 16) != body + 16 || !ReadFieldR(m_input.get(), d.sampleSize))
                    return MEND_ERR_READ;
                m_trackDefaults.push_back(d);
            }
            pos += c.size;
        }
    }
    return 0;
}

int CMP4Repair::ReadTfhd(const BoxHeader& b, TrackFragment& t)
{
    const int64_t body = b.start + b.headerLength;
    if (b.size - b.headerLength < 8)
        return 0;
    if (m_input->SeekTo(body) != body || !ReadFieldR(m_input.get(), t.flags) || !ReadFieldR(m_input.get(), t.track))
        return MEND_ERR_READ;
    t.flags &= 0xFFFFFF;
    for (const TrackDefault& d : m_trackDefaults)
        if (d.track == t.track)
            t.defaultSize = d.sampleSize;
    // The optional fields, each present when its flag is set.
    const int64_t need = 8 + ((t.flags & kTfhdBaseOffset) ? 8 : 0) + ((t.flags & kTfhdDescription) ? 4 : 0) +
                         ((t.flags & kTfhdDuration) ? 4 : 0) + ((t.flags & kTfhdSize) ? 4 : 0);
    if (b.size - b.headerLength < need) {
        t.broken = true;
        return 0;
    }
    if (t.flags & kTfhdBaseOffset) {
        t.baseField = body + 8;
        if (!ReadFieldR(m_input.get(), t.base))
            return MEND_ERR_READ;
    }
    uint32_t skipped = 0;
    if ((t.flags & kTfhdDescription) && !ReadFieldR(m_input.get(), skipped))
        return MEND_ERR_READ;
    if ((t.flags & kTfhdDuration) && !ReadFieldR(m_input.get(), skipped))
        return MEND_ERR_READ;
    if ((t.flags & kTfhdSize) && !ReadFieldR(m_input.get(), t.defaultSize))
        return MEND_ERR_READ;
    return 0;
}

// One run: its samples' bytes lie at its data offset from the fragment's
// base, or right after the previous run (at the base for the first).
int CMP4Repair::ReadTrun(const BoxHeader& b, TrackFragment& t)
{
    const int64_t body = b.start + b.headerLength;
    uint32_t flags = 0, count = 0;
    if (b.size - b.headerLength < 8)
        return 0;
    if (m_input->SeekTo(body) != body || !ReadFieldR(m_input.get(), flags) || !ReadFieldR(m_input.get(), count))
        return MEND_ERR_READ;
    int64_t used = 8;
    int64_t rel = t.haveRuns ? t.lastEnd : 0;
    if (flags & kTrunDataOffset) {
        uint32_t offset = 0;
        if (b.size - b.headerLength - used < 4) {
            t.broken = true;
            return 0;
        }
        if (!ReadFieldR(m_input.get(), offset))
            return MEND_ERR_READ;
        rel = static_cast<int32_t>(offset);  // signed: data may lie before the base
        used += 4;
    }
    if (flags & kTrunFirstFlags)
        used += 4;
    int fields = 0, sizeField = -1;
    for (int i = 0; i < 4; ++i)
        if (flags & (kTrunFirstSampleField << i)) {
            if ((kTrunFirstSampleField << i) == kTrunSampleSize)
                sizeField = fields;
            ++fields;
        }
    if (b.size - b.headerLength < used) {
        t.broken = true;
        return 0;
    }
    uint64_t entries = count;
    if (fields) {
        // The writer sized the run for the samples it holds: a count that
        // names more reads the media data as samples, one that names fewer
        // loses samples, and the run's size gives the true count.
        entries = EntriesIn(b.size, b.headerLength, used, UINT32_MAX, 4 * fields);
        if (entries != count)
            t.fixes.push_back(FieldFix{body + 4, static_cast<uint32_t>(entries)});
    }
    const uint64_t cap = static_cast<uint64_t>(kMaxBoxSize);
    uint64_t bytes = 0;
    if (sizeField < 0) {
        unsigned __int128 all = static_cast<unsigned __int128>(entries) * t.defaultSize;
        bytes = all > cap ? cap : static_cast<uint64_t>(all);
    } else {
        CTableReader reader(m_input.get(), body + used, entries * fields, 4);
        uint64_t v = 0;
        for (uint64_t i = 0; i < entries * fields && reader.Next(v); ++i) {
            if ((i & 0xFFF) == 0 && TestAbort())
                return MEND_ERR_ABORTED;
            if (static_cast<int>(i % fields) == sizeField)
                bytes = std::min(cap, bytes + v);
        }
        if (reader.Short())
            return MEND_ERR_READ;
    }
    const int64_t end = ClampedSum(rel, static_cast<int64_t>(bytes));
    t.minRel = t.haveRuns ? std::min(t.minRel, rel) : rel;
    t.maxEnd = t.haveRuns ? std::max(t.maxEnd, end) : end;
    t.lastEnd = end;
    t.haveRuns = true;
    return 0;
}

int CMP4Repair::ReadTrackFragment(const BoxHeader& traf, TrackFragment& t)
{
    t = TrackFragment();
    const int64_t end = traf.start + traf.size;
    for (int64_t pos = traf.start + traf.headerLength;;) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        BoxHeader c;
        int r = ReadBoxHeader(c, pos, end);
        if (r < 0)
            return r;
        if (c.endMark || !PlausibleSize(c, end))
            return 0;
        if (c.fourcc == kTfhd && (r = ReadTfhd(c, t)) < 0)
            return r;
        if (c.fourcc == kTrun && (r = ReadTrun(c, t)) < 0)
            return r;
        pos += c.size;
    }
}

// Whether every track fragment of a "moof" names data inside the media data
// that follows it. Base data offsets that name the data elsewhere while the
// "moof" itself, taken as their base, names it right (a "moof" moved by
// bytes spliced in before it) are stale: the rebuild writes the "moof"'s
// new position into them. The bases of one "moof" are judged together: a
// stale base may still land inside the media data, only not on its runs.
// With `record`, the fields to move are kept.
int CMP4Repair::PlaceFragment(const FragmentPlace& place, bool record, bool& fits, bool& stale)
{
    fits = false;
    stale = false;
    const BoxInfo& moof = place.moof;
    const int64_t end = moof.start + moof.size;
    BoxHeader h;
    int r = ReadBoxHeader(h, moof.start, end);
    if (r < 0)
        return r;
    std::vector<TrackFragment> trafs;
    bool anyBase = false;
    for (int64_t pos = moof.start + h.headerLength;;) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        BoxHeader c;
        if ((r = ReadBoxHeader(c, pos, end)) < 0)
            return r;
        if (c.endMark || !PlausibleSize(c, end))
            break;
        pos += c.size;
        if (c.fourcc != kTraf)
            continue;
        trafs.emplace_back();
        if ((r = ReadTrackFragment(c, trafs.back())) < 0)
            return r;
        if (trafs.back().broken)
            return 0;
        anyBase = anyBase || trafs.back().baseField >= 0;
    }
    std::vector<OffsetField> fields;
    for (int pass = 0; pass < (anyBase ? 2 : 1) && !fits; ++pass) {
        stale = pass == 1;
        fields.clear();
        fits = PlaceTrackFragments(place, trafs, stale, fields);
    }
    if (fits && record) {
        m_baseOffsets.insert(m_baseOffsets.end(), fields.begin(), fields.end());
        for (const TrackFragment& t : trafs)
            for (const FieldFix& fix : t.fixes) {
                AddErrorAt(JRVP_DAMAGE_INDEX, fix.input);
                AddFix(fix.input, fix.value);
            }
    }
    return 0;
}

// Places the track fragments of one "moof" from the bases they name, or
// with `fromMoof` from the "moof" itself; false when a run lies outside
// the media data.
bool CMP4Repair::PlaceTrackFragments(const FragmentPlace& place, const std::vector<TrackFragment>& trafs,
                                     bool fromMoof, std::vector<OffsetField>& fields)
{
    // Whether runs from `base` lie in [lo, hi).
    auto inside = [](const TrackFragment& t, int64_t base, int64_t lo, int64_t hi) {
        return !t.haveRuns || (ClampedSum(base, t.minRel) >= lo && ClampedSum(base, t.maxEnd) <= hi);
    };
    const int64_t moofStart = place.moof.start;
    // Where the previous track fragment's data ended, in the input or
    // relative to the "moof": the base of one that names none.
    int64_t previousEnd = 0;
    bool previousRelative = true, first = true;
    for (const TrackFragment& t : trafs) {
        bool relative = true;
        int64_t base = 0;
        if (t.baseField >= 0 && fromMoof) {
            fields.push_back(OffsetField{t.baseField, moofStart, moofStart});
        } else if (t.baseField >= 0) {
            if (t.base > static_cast<uint64_t>(kMaxBoxSize))
                return false;
            relative = false;
            base = static_cast<int64_t>(t.base);
            if (!inside(t, base, place.dataLo, place.dataHi))
                return false;
            fields.push_back(OffsetField{t.baseField, base, ClampedSum(base, t.haveRuns ? t.minRel : 0)});
        } else if (!(t.flags & kTfhdBaseIsMoof) && !first) {
            relative = previousRelative;
            base = previousEnd;
            if (!relative && !inside(t, base, place.dataLo, place.dataHi))
                return false;
        }
        if (relative && !(place.relative && inside(t, base, place.relLo, place.relHi)))
            return false;
        previousEnd = ClampedSum(base, t.lastEnd);
        previousRelative = relative;
        first = false;
    }
    return true;
}

bool CMP4Repair::PrecedingFragment(int64_t mdatStart, BoxInfo& moof) const
{
    if (m_others.empty())
        return false;
    moof = m_others.back();
    return moof.fourcc == kMoof && moof.start + moof.size == mdatStart && !IsLost(moof.start);
}

void CMP4Repair::MarkLost(const BoxInfo& box)
{
    auto it = std::lower_bound(m_lost.begin(), m_lost.end(), box.start,
                               [](const BoxInfo& b, int64_t s) { return b.start < s; });
    if (it == m_lost.end() || it->start != box.start)
        m_lost.insert(it, box);
}

// Every fragment's runs must lie in the media data that follows its "moof"
// (before the next "moof"): one whose runs point elsewhere, or that has no
// media data, would play another fragment's bytes, and is left out with
// its data.
int CMP4Repair::CheckFragments()
{
    m_baseOffsets.clear();
    bool staleSeen = false;
    for (size_t i = 0; i < m_others.size(); ++i) {
        const BoxInfo moof = m_others[i];
        if (moof.fourcc != kMoof || IsLost(moof.start))
            continue;
        const int64_t moofEnd = moof.start + moof.size;
        auto mdat = std::lower_bound(m_mdats.begin(), m_mdats.end(), moofEnd,
                                     [](const BoxInfo& b, int64_t s) { return b.start < s; });
        // What lies between the "moof" and its data; the rebuild drops free
        // space, indexes and lost boxes, so the two then meet.
        bool relative = true, ownData = mdat != m_mdats.end();
        for (size_t j = i + 1; ownData && j < m_others.size() && m_others[j].start < mdat->start; ++j) {
            const BoxInfo& b = m_others[j];
            ownData = b.fourcc != kMoof;
            relative = relative && (IsLost(b.start) || b.fourcc == kFree || b.fourcc == kMfra || b.fourcc == kSidx);
        }
        if (!ownData) {
            AddErrorAt(JRVP_DAMAGE_INDEX, moof.start);
            MarkLost(moof);
            continue;
        }
        if (IsLost(mdat->start))
            continue;  // the rebuild leaves the fragment out already
        BoxHeader mh;
        int r = ReadBoxHeader(mh, mdat->start, m_inputLength);
        if (r < 0)
            return r;
        FragmentPlace place;
        place.moof = moof;
        place.dataLo = mdat->start + mh.headerLength;
        place.dataHi = mdat->start + mdat->size;
        place.relative = relative;
        place.relLo = moof.size + mh.headerLength;
        place.relHi = moof.size + mdat->size;
        bool fits = false, stale = false;
        if ((r = PlaceFragment(place, true, fits, stale)) < 0)
            return r;
        if (!fits) {
            AddErrorAt(JRVP_DAMAGE_INDEX, moof.start);
            MarkLost(moof);
        }
        // Bytes spliced in move every fragment after them: the first one
        // stands for all.
        if (fits && stale && !staleSeen)
            AddErrorAt(JRVP_DAMAGE_INDEX, moof.start);
        staleSeen = staleSeen || stale;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Rebuild
// ---------------------------------------------------------------------------

int CMP4Repair::BeginBox(uint32_t fourcc, int64_t& outStart)
{
    outStart = m_output->GetPos();
    if (!WriteFieldR(static_cast<IBaseStream*>(m_output), uint32_t(0)) ||
        !WriteFieldR(static_cast<IBaseStream*>(m_output), fourcc))
        return MEND_ERR_WRITE;
    return 0;
}

int CMP4Repair::PatchBE(int64_t outPos, uint64_t value, int bytes)
{
    int64_t here = m_output->GetPos();
    if (m_output->SeekTo(outPos) != outPos)
        return MEND_ERR_WRITE;
    bool ok = bytes == 8 ? WriteFieldR(static_cast<IBaseStream*>(m_output), value)
                         : WriteFieldR(static_cast<IBaseStream*>(m_output), static_cast<uint32_t>(value));
    if (!ok || m_output->SeekTo(here) != here)
        return MEND_ERR_WRITE;
    return 0;
}

int CMP4Repair::EndBox(int64_t outStart)
{
    int64_t size = m_output->GetPos() - outStart;
    // A rebuilt box keeps a 32-bit size field; one that would not fit is
    // refused rather than wrapped.
    if (size < 8 || size >= k4GiB)
        return MEND_ERR_UNREPAIRABLE;
    return PatchBE(outStart, static_cast<uint64_t>(size), 4);
}

int CMP4Repair::CopyRange(int64_t from, int64_t n)
{
    if (n <= 0)
        return 0;
    if (m_input->SeekTo(from) != from)
        return MEND_ERR_READ;
    const int64_t outStart = m_output->GetPos();
    int r = WriteToFile(n);
    if (r < 0)
        return r;
    // The fields the analysis found wrong get their mended values wherever
    // the bytes that hold them are copied.
    auto it = std::lower_bound(m_fixes.begin(), m_fixes.end(), from,
                               [](const FieldFix& f, int64_t s) { return f.input < s; });
    for (; it != m_fixes.end() && it->input <= from + n - 4; ++it)
        if ((r = PatchBE(outStart + (it->input - from), it->value, 4)) < 0)
            return r;
    return 0;
}

bool CMP4Repair::FindDataRange(int64_t offset, int64_t& rangeEnd, size_t& mdatIndex) const
{
    // The media-data list is in file order, so its starts ascend.
    auto it = std::upper_bound(m_mdats.begin(), m_mdats.end(), offset,
                               [](int64_t o, const BoxInfo& b) { return o < b.start; });
    if (it == m_mdats.begin())
        return false;
    --it;
    mdatIndex = static_cast<size_t>(it - m_mdats.begin());
    rangeEnd = m_dataEnd[mdatIndex];
    return offset >= it->start + 8 && offset < rangeEnd;
}

int CMP4Repair::SurveyTrak(size_t index, TrakInfo& info, std::vector<int64_t>& keptEnd)
{
    info = TrakInfo();
    info.index = index;
    if (index >= m_sampleTables.size() || m_mdats.empty())
        return MEND_ERR_REPAIR_REFUSED;
    const BoxInfo& stbl = m_sampleTables[index].box;
    BoxHeader offsets, stsc, sizes, stts;
    bool haveOffsets = false, haveStsc = false, haveSizes = false, haveStts = false;
    IBaseStream* in = m_input.get();
    auto fieldAt = [&](const BoxHeader& b, int64_t rel, uint32_t& v) {
        return in->SeekTo(b.start + b.headerLength + rel) >= 0 && ReadFieldR(in, v);
    };
    BoxHeader h;
    int r = ReadBoxHeader(h, stbl.start, stbl.start + stbl.size);
    if (r < 0)
        return r;
    int64_t end = stbl.start + stbl.size;
    for (int64_t pos = stbl.start + h.headerLength;;) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        BoxHeader c;
        if ((r = ReadBoxHeader(c, pos, end)) < 0)
            return r;
        if (c.endMark || !PlausibleSize(c, end))
            break;
        // A writer sizes each table for the entries it wrote: an entry
        // count that names more makes a reader take the boxes after it for
        // entries (or run out of file), one that names fewer loses samples.
        const int width = c.fourcc == kStts || c.fourcc == kCtts || c.fourcc == kCo64 ? 8
                          : c.fourcc == kStsc                                       ? 12
                          : c.fourcc == kStco || c.fourcc == kStss                  ? 4
                                                                                    : 0;
        if (width > 0) {
            uint32_t count = 0;
            if (!fieldAt(c, 4, count))
                return MEND_ERR_READ;
            if (count != EntriesIn(c.size, c.headerLength, 8, UINT32_MAX, width))
                info.countWrong = true;
        }
        if (c.fourcc == kStts) {
            stts = c;
            haveStts = true;
        }
        if (c.fourcc == kStco || c.fourcc == kCo64) {
            offsets = c;
            haveOffsets = true;
        } else if (c.fourcc == kStsc) {
            stsc = c;
            haveStsc = true;
        } else if (c.fourcc == kStsz || c.fourcc == kStz2) {
            sizes = c;
            haveSizes = true;
        }
        pos += c.size;
    }
    if (!haveOffsets || !haveStsc || !haveSizes)
        return MEND_ERR_REPAIR_REFUSED;

    // Every table is read as far as its box holds entries.
    int width = offsets.fourcc == kCo64 ? 8 : 4;
    uint32_t constant = 0, sizeCount = 0;
    // A count other than the entries its box holds was wiped or mis-set
    // (judged above): the box gives the count, and the walk below cuts the
    // table where it stops making sense.
    uint64_t chunkCount = EntriesIn(offsets.size, offsets.headerLength, 8, UINT32_MAX, width);
    uint64_t stscEntries = EntriesIn(stsc.size, stsc.headerLength, 8, UINT32_MAX, 12);
    int fieldBits = 32;
    if (sizes.fourcc == kStsz) {
        if (!fieldAt(sizes, 4, constant) || !fieldAt(sizes, 8, sizeCount))
            return MEND_ERR_READ;
    } else {
        uint32_t field = 0;
        if (!fieldAt(sizes, 4, field) || !fieldAt(sizes, 8, sizeCount))
            return MEND_ERR_READ;
        fieldBits = static_cast<int>(field & 0xFF);
        if (fieldBits != 4 && fieldBits != 8 && fieldBits != 16)
            return MEND_ERR_REPAIR_REFUSED;
    }
    uint64_t sampleCount = sizeCount;
    if (sizes.fourcc == kStsz && constant != 0 && haveStts) {
        // Samples of one size: no table holds their count but the time
        // table, which names every sample once.
        CTableReader reader(in, stts.start + stts.headerLength + 8,
                            EntriesIn(stts.size, stts.headerLength, 8, UINT32_MAX, 8) * 2, 4);
        uint64_t timed = 0, n = 0, delta = 0;
        while (reader.Next(n) && reader.Next(delta)) {
            if (TestAbort())
                return MEND_ERR_ABORTED;
            timed = std::min<uint64_t>(timed + n, UINT32_MAX);
        }
        if (reader.Short())
            return MEND_ERR_READ;
        if (timed > 0 && timed != sizeCount) {
            info.countWrong = true;
            sampleCount = timed;
        }
    }
    if (!(sizes.fourcc == kStsz && constant != 0)) {
        const uint64_t room =
            static_cast<uint64_t>(std::max<int64_t>(0, sizes.size - sizes.headerLength - 12)) * 8 / fieldBits;
        // Four-bit sizes come in pairs: an odd count leaves a spare nibble.
        const uint64_t spare = fieldBits == 4 ? 1 : 0;
        sampleCount = room > sizeCount + spare ? std::min<uint64_t>(room, UINT32_MAX) : std::min<uint64_t>(sizeCount, room);
        info.countWrong = info.countWrong || room > sizeCount + spare || sizeCount > room;
    }
    info.totalSamples = sampleCount;

    CTableReader chunkReader(in, offsets.start + offsets.headerLength + 8, chunkCount, width);
    CTableReader stscReader(in, stsc.start + stsc.headerLength + 8, stscEntries * 3, 4);
    CSampleSizes sampleSizes(in, sizes.start + sizes.headerLength + 12, sizes.fourcc == kStsz ? constant : 0,
                             sampleCount, fieldBits);
    struct Entry {
        uint64_t first = 0, perChunk = 0, description = 0;
    } cur, next;
    auto readEntry = [&](Entry& e) {
        return stscReader.Next(e.first) && stscReader.Next(e.perChunk) && stscReader.Next(e.description);
    };
    bool haveNext = readEntry(next);
    uint64_t samples = 0;
    const uint32_t handler = m_sampleTables[index].handler;
    const bool sizedSamples = handler == kVide || handler == kSoun;
    bool sawSize = false;
    // After an entry whose successor does not ascend (wiped or broken
    // entries), only that entry's first chunk is known for sure.
    uint64_t lastSureChunk = chunkCount;
    for (uint64_t k = 1; k <= chunkCount; ++k) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        // Entries run until the next one's first chunk; a first chunk that
        // does not ascend ends the table.
        while (haveNext && next.first <= k) {
            if (next.first <= cur.first)
                break;
            cur = next;
            haveNext = readEntry(next);
            if (haveNext && next.first <= cur.first) {
                haveNext = false;
                lastSureChunk = cur.first;
            }
        }
        if (k > lastSureChunk)
            break;
        if (cur.first == 0 || cur.first > k || cur.perChunk == 0)
            break;
        uint64_t inChunk = std::min<uint64_t>(cur.perChunk, sampleCount - samples);
        if (inChunk == 0)
            break;
        uint64_t offset = 0;
        if (!chunkReader.Next(offset))
            break;
        offset = ChunkPosition(offset);
        int64_t rangeEnd = 0;
        size_t mdat = 0;
        if (offset > static_cast<uint64_t>(kMaxBoxSize) ||
            !FindDataRange(static_cast<int64_t>(offset), rangeEnd, mdat))
            break;
        uint64_t room = static_cast<uint64_t>(rangeEnd) - offset;
        uint64_t fit = 0, bytes = 0;
        if (sampleSizes.Constant()) {
            fit = std::min<uint64_t>(inChunk, room / sampleSizes.Constant());
            bytes = fit * sampleSizes.Constant();
            sampleSizes.Skip(fit);
        } else {
            uint32_t s = 0;
            while (fit < inChunk && sampleSizes.Next(s) && s <= room - bytes) {
                // A sample of sound or video holds bytes: a size of 0 after
                // sizes that were not is a wiped entry, and the table stops
                // making sense there.
                if (s == 0 && sizedSamples && sawSize)
                    break;
                sawSize = sawSize || s != 0;
                bytes += s;
                ++fit;
            }
        }
        if (fit > 0) {
            samples += fit;
            int64_t chunkEnd = static_cast<int64_t>(offset + bytes);
            info.dataEnd = std::max(info.dataEnd, chunkEnd);
            keptEnd[mdat] = std::max(keptEnd[mdat], chunkEnd);
        }
        if (fit == cur.perChunk) {
            ++info.keptChunks;
            continue;
        }
        // The closing partial chunk: what fits of it, or what the sizes
        // table holds of it.
        info.partialSamples = static_cast<uint32_t>(fit);
        info.partialDescription = static_cast<uint32_t>(cur.description);
        break;
    }
    if (chunkReader.Short() || stscReader.Short() || sampleSizes.Short())
        return MEND_ERR_READ;
    info.keptSamples = static_cast<uint32_t>(std::min<uint64_t>(samples, UINT32_MAX));
    info.cut = info.keptSamples < info.totalSamples;
    return 0;
}

// The frame every table writer shares: the box header, the version and
// flags copied, and the table's first field handed back (an entry count, a
// constant sample size or a field width).
int CMP4Repair::BeginTable(const BoxHeader& h, uint32_t outFourcc, int64_t& outStart, uint32_t& firstField)
{
    int r = BeginBox(outFourcc, outStart);
    if (r < 0)
        return r;
    uint32_t versionFlags = 0;
    if (m_input->SeekTo(h.start + h.headerLength) < 0 || !ReadFieldR(m_input.get(), versionFlags) ||
        !ReadFieldR(m_input.get(), firstField))
        return MEND_ERR_READ;
    return WriteFieldR(static_cast<IBaseStream*>(m_output), versionFlags) ? 0 : MEND_ERR_WRITE;
}

// For tables of counted entries: the frame, a count to be patched by
// EndTable, and how many entries of `width` bytes the input really holds.
int CMP4Repair::BeginEntries(const BoxHeader& h, int width, int64_t& outStart, uint64_t& entries)
{
    uint32_t count = 0;
    int r = BeginTable(h, h.fourcc, outStart, count);
    if (r < 0)
        return r;
    // The entries the box holds, whatever its count says (the analysis
    // judged the count against them).
    entries = EntriesIn(h.size, h.headerLength, 8, UINT32_MAX, width);
    return WriteFieldR(static_cast<IBaseStream*>(m_output), uint32_t(0)) ? 0 : MEND_ERR_WRITE;
}

// Writes the count of entries written into its place and closes the box.
int CMP4Repair::EndTable(int64_t outStart, uint32_t written)
{
    int r = PatchBE(outStart + 12, written, 4);
    return r < 0 ? r : EndBox(outStart);
}

int CMP4Repair::RLTWriteStts(const BoxHeader& h, uint32_t keep, bool withDuration, uint64_t& duration)
{
    int64_t outStart = 0;
    uint64_t entries = 0;
    int r = BeginEntries(h, 8, outStart, entries);
    if (r < 0)
        return r;
    IBaseStream* out = m_output;
    CTableReader reader(m_input.get(), h.start + h.headerLength + 8, entries * 2, 4);
    uint32_t written = 0;
    uint64_t left = keep, c = 0, d = 0;
    while (left > 0 && reader.Next(c) && reader.Next(d)) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        uint64_t take = std::min(c, left);
        if (take == 0)
            continue;
        if (!WriteFieldR(out, static_cast<uint32_t>(take)) || !WriteFieldR(out, static_cast<uint32_t>(d)))
            return MEND_ERR_WRITE;
        if (withDuration)
            duration += take * d;
        left -= take;
        ++written;
    }
    return reader.Short() ? MEND_ERR_READ : EndTable(outStart, written);
}

int CMP4Repair::RLTWriteStsc(const BoxHeader& h, const TrakInfo& info)
{
    int64_t outStart = 0;
    uint64_t entries = 0;
    int r = BeginEntries(h, 12, outStart, entries);
    if (r < 0)
        return r;
    IBaseStream* out = m_output;
    CTableReader reader(m_input.get(), h.start + h.headerLength + 8, entries * 3, 4);
    uint32_t written = 0;
    uint64_t first = 0, perChunk = 0, description = 0, lastFirst = 0, lastPerChunk = 0, lastDescription = 0;
    auto put = [&](uint64_t f, uint64_t p, uint64_t dsc) {
        ++written;
        lastFirst = f;
        lastPerChunk = p;
        lastDescription = dsc;
        return WriteFieldR(out, static_cast<uint32_t>(f)) && WriteFieldR(out, static_cast<uint32_t>(p)) &&
               WriteFieldR(out, static_cast<uint32_t>(dsc));
    };
    // The same reading as the survey's: a first chunk that does not ascend
    // ends the table.
    while (reader.Next(first) && reader.Next(perChunk) && reader.Next(description)) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        if (first == 0 || first <= lastFirst || first > info.keptChunks)
            break;
        if (!put(first, perChunk, description))
            return MEND_ERR_WRITE;
    }
    if (reader.Short())
        return MEND_ERR_READ;
    // The closing partial chunk gets an entry of its own unless the last
    // entry already describes it.
    if (info.partialSamples > 0 &&
        (written == 0 || lastPerChunk != info.partialSamples || lastDescription != info.partialDescription)) {
        if (!put(uint64_t(info.keptChunks) + 1, info.partialSamples, info.partialDescription))
            return MEND_ERR_WRITE;
    }
    return EndTable(outStart, written);
}

// "stsz" (a constant size, or one 32-bit size per sample) and "stz2" (4-,
// 8- or 16-bit sizes): the head with the kept count, then the kept prefix.
int CMP4Repair::RLTWriteSampleSizes(const BoxHeader& h, uint32_t keep)
{
    int64_t outStart = 0;
    uint32_t field = 0;  // the constant size, or the field width in its low byte
    int r = BeginTable(h, h.fourcc, outStart, field);
    if (r < 0)
        return r;
    IBaseStream* out = m_output;
    if (!WriteFieldR(out, field) || !WriteFieldR(out, keep))
        return MEND_ERR_WRITE;
    int bits = h.fourcc == kStsz ? (field ? 0 : 32) : static_cast<int>(field & 0xFF);
    int64_t table = h.start + h.headerLength + 12;
    if (bits == 4) {
        if ((r = CopyRange(table, keep / 2)) < 0)
            return r;
        if (keep & 1) {
            // The last kept sample sits in the high nibble of a shared byte.
            uint8_t b = 0;
            if (m_input->SeekTo(table + keep / 2) < 0 || !ReadField(m_input.get(), b))
                return MEND_ERR_READ;
            if (!WriteField(out, static_cast<uint8_t>(b & 0xF0)))
                return MEND_ERR_WRITE;
        }
    } else if ((r = CopyRange(table, int64_t(keep) * (bits / 8))) < 0) {
        return r;
    }
    return EndBox(outStart);
}

int CMP4Repair::RLTWriteChunkOffsets(const BoxHeader& h, const TrakInfo& info)
{
    int width = h.fourcc == kCo64 ? 8 : 4;
    bool promote = width == 4 && info.promote;
    int64_t outStart = 0;
    uint32_t count = 0;
    int r = BeginTable(h, promote ? kCo64 : h.fourcc, outStart, count);
    if (r < 0)
        return r;
    m_chunkBoxes.emplace_back(outStart, info.index);
    // The closing partial chunk needs its offset as well.
    uint32_t keep = info.keptChunks + (info.partialSamples > 0 ? 1 : 0);
    IBaseStream* out = m_output;
    if (!WriteFieldR(out, keep))
        return MEND_ERR_WRITE;
    int64_t table = h.start + h.headerLength + 8;
    if (!promote) {
        if ((r = CopyRange(table, int64_t(keep) * width)) < 0)
            return r;
    } else {
        CTableReader reader(m_input.get(), table, keep, 4);
        uint64_t v = 0;
        while (reader.Next(v)) {
            if (TestAbort())
                return MEND_ERR_ABORTED;
            if (!WriteFieldR(out, v))
                return MEND_ERR_WRITE;
        }
        if (reader.Short())
            return MEND_ERR_READ;
    }
    return EndBox(outStart);
}

int CMP4Repair::RLTWriteStss(const BoxHeader& h, uint32_t keep)
{
    int64_t outStart = 0;
    uint64_t entries = 0;
    int r = BeginEntries(h, 4, outStart, entries);
    if (r < 0)
        return r;
    IBaseStream* out = m_output;
    CTableReader reader(m_input.get(), h.start + h.headerLength + 8, entries, 4);
    uint32_t written = 0;
    uint64_t v = 0;
    while (reader.Next(v) && v <= keep) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        if (!WriteFieldR(out, static_cast<uint32_t>(v)))
            return MEND_ERR_WRITE;
        ++written;
    }
    return reader.Short() ? MEND_ERR_READ : EndTable(outStart, written);
}

int CMP4Repair::RLTWriteTrak(const BoxHeader& trak, const TrakInfo& info, uint32_t movieTimescale,
                             uint64_t& trackDuration)
{
    // The track is rewritten box by box; "mdia", "minf" and "stbl" are
    // opened and closed around their own children, so a box that follows
    // one of them stays where it was.
    struct Open {
        int64_t inEnd;
        int64_t outStart;
    };
    std::vector<Open> stack;
    int64_t outStart = 0;
    int r = BeginBox(kTrak, outStart);
    if (r < 0)
        return r;
    stack.push_back(Open{trak.start + trak.size, outStart});
    int64_t pos = trak.start + trak.headerLength;
    int64_t tkhdOut = -1, mdhdOut = -1;
    int tkhdVersion = 0, mdhdVersion = 0;
    uint32_t mediaTimescale = 0;
    uint64_t mediaDuration = 0, oldTrackDuration = 0;
    bool haveStts = false;
    while (!stack.empty()) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        int64_t end = stack.back().inEnd;
        BoxHeader h;
        if ((r = ReadBoxHeader(h, pos, end)) < 0)
            return r;
        if (h.endMark || !PlausibleSize(h, end)) {
            if ((r = EndBox(stack.back().outStart)) < 0)
                return r;
            pos = end;
            stack.pop_back();
            continue;
        }
        int64_t body = h.start + h.headerLength;
        int64_t outHere = m_output->GetPos();
        switch (h.fourcc) {
        case kMdia:
        case kMinf:
        case kStbl:
            if ((r = BeginBox(h.fourcc, outStart)) < 0)
                return r;
            stack.push_back(Open{h.start + h.size, outStart});
            pos = body;
            continue;
        case kTkhd:
        case kMdhd: {
            uint8_t version = 0;
            if (m_input->SeekTo(body) < 0 || !ReadField(m_input.get(), version))
                return MEND_ERR_READ;
            if (version > 1)
                return MEND_ERR_REPAIR_REFUSED;
            int64_t need = h.fourcc == kTkhd ? (version ? 36 : 24) : (version ? 32 : 20);
            if (h.size - h.headerLength < need)
                return MEND_ERR_REPAIR_REFUSED;
            if (h.fourcc == kTkhd) {
                tkhdVersion = version;
                tkhdOut = outHere + h.headerLength + (version ? 28 : 20);
                uint32_t duration32 = 0;
                if (m_input->SeekTo(body + (version ? 28 : 20)) < 0 ||
                    !(version ? ReadFieldR(m_input.get(), oldTrackDuration) : ReadFieldR(m_input.get(), duration32)))
                    return MEND_ERR_READ;
                if (!version)
                    oldTrackDuration = duration32;
            } else {
                mdhdVersion = version;
                mdhdOut = outHere + h.headerLength + (version ? 24 : 16);
                if ((r = ReadFixedField(body + (version ? 20 : 12), mediaTimescale)) < 0)
                    return r;
            }
            r = CopyRange(h.start, h.size);
            break;
        }
        case kStts:
            haveStts = true;
            r = RLTWriteStts(h, info.keptSamples, true, mediaDuration);
            break;
        case kCtts: {
            uint64_t unused = 0;
            r = RLTWriteStts(h, info.keptSamples, false, unused);
            break;
        }
        case kStsc:
            r = RLTWriteStsc(h, info);
            break;
        case kStsz:
        case kStz2:
            r = RLTWriteSampleSizes(h, info.keptSamples);
            break;
        case kStco:
        case kCo64:
            r = RLTWriteChunkOffsets(h, info);
            break;
        case kStss:
            r = RLTWriteStss(h, info.keptSamples);
            break;
        default:
            r = CopyRange(h.start, h.size);
            break;
        }
        if (r < 0)
            return r;
        pos = h.start + h.size;
    }
    if (tkhdOut < 0 || mdhdOut < 0 || !haveStts)
        return MEND_ERR_REPAIR_REFUSED;
    trackDuration = oldTrackDuration;
    if (!info.cut)
        return 0;
    // A cut track declares the duration of the samples it kept.
    if (mediaTimescale == 0)
        return MEND_ERR_UNREPAIRABLE;
    unsigned __int128 scaled = static_cast<unsigned __int128>(mediaDuration) * movieTimescale / mediaTimescale;
    trackDuration = scaled > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(scaled);
    auto fit32 = [](uint64_t v) { return std::min<uint64_t>(v, UINT32_MAX); };
    if ((r = PatchBE(tkhdOut, tkhdVersion ? trackDuration : fit32(trackDuration), tkhdVersion ? 8 : 4)) < 0)
        return r;
    return PatchBE(mdhdOut, mdhdVersion ? mediaDuration : fit32(mediaDuration), mdhdVersion ? 8 : 4);
}

int CMP4Repair::RLTWriteMoov(std::vector<TrakInfo>& traks)
{
    if (!m_haveMoov)
        return MEND_ERR_REPAIR_REFUSED;
    int64_t moovOut = 0;
    int r = BeginBox(kMoov, moovOut);
    if (r < 0)
        return r;
    bool anyCut = false;
    for (const TrakInfo& t : traks)
        anyCut = anyCut || t.cut;
    size_t trackIndex = 0;
    uint32_t movieTimescale = 0;
    bool haveMvhd = false;
    int mvhdVersion = 0;
    int64_t mvhdDurationOut = 0;
    uint64_t longest = 0;
    // Only the children that the analysis found whole are written.
    for (const BoxInfo& child : m_movieChildren) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        BoxHeader h;
        if ((r = ReadBoxHeader(h, child.start, child.start + child.size)) < 0)
            return r;
        if (h.endMark || h.size != child.size)
            return MEND_ERR_REPAIR_REFUSED;
        int64_t body = h.start + h.headerLength;
        if (h.fourcc == kMvhd) {
            uint8_t version = 0;
            if (m_input->SeekTo(body) < 0 || !ReadField(m_input.get(), version))
                return MEND_ERR_READ;
            if (version > 1 || h.size - h.headerLength < (version ? 32 : 20))
                return MEND_ERR_REPAIR_REFUSED;
            mvhdVersion = version;
            mvhdDurationOut = m_output->GetPos() + h.headerLength + (version ? 24 : 16);
            if ((r = ReadFixedField(body + (version ? 20 : 12), movieTimescale)) < 0)
                return r;
            haveMvhd = true;
            r = CopyRange(h.start, h.size);
        } else if (h.fourcc == kTrak) {
            if (!haveMvhd || trackIndex >= traks.size())
                return MEND_ERR_REPAIR_REFUSED;
            const BoxInfo& stbl = m_sampleTables[trackIndex].box;
            if (stbl.start < h.start || stbl.start >= h.start + h.size)
                return MEND_ERR_REPAIR_REFUSED;
            uint64_t duration = 0;
            r = RLTWriteTrak(h, traks[trackIndex], movieTimescale, duration);
            longest = std::max(longest, duration);
            ++trackIndex;
        } else {
            r = CopyRange(h.start, h.size);
        }
        if (r < 0)
            return r;
    }
    if (!haveMvhd)
        return MEND_ERR_REPAIR_REFUSED;
    if ((r = EndBox(moovOut)) < 0)
        return r;
    if (anyCut)
        r = PatchBE(mvhdDurationOut, mvhdVersion ? longest : std::min<uint64_t>(longest, UINT32_MAX),
                    mvhdVersion ? 8 : 4);
    return r;
}

int CMP4Repair::BuildOutItems(const std::vector<int64_t>& keptEnd, std::vector<OutItem>& items)
{
    items.clear();
    struct Entry {
        BoxInfo box;
        size_t mdat;  // index in the media-data list, or SIZE_MAX
    };
    std::vector<Entry> boxes;
    for (const BoxInfo& b : m_others)
        boxes.push_back(Entry{b, SIZE_MAX});
    for (size_t m = 0; m < m_mdats.size(); ++m)
        boxes.push_back(Entry{m_mdats[m], m});
    std::stable_sort(boxes.begin(), boxes.end(),
                     [](const Entry& a, const Entry& b) { return a.box.start < b.box.start; });
    bool fragmented = std::any_of(m_others.begin(), m_others.end(), [](const BoxInfo& b) { return b.fourcc == kMoof; });
    bool dropNextMdat = false;
    for (size_t i = 0; i < boxes.size(); ++i) {
        const BoxInfo& box = boxes[i].box;
        bool lost = IsLost(box.start);
        // Free space is not kept, nor indexes of positions that move.
        if (box.fourcc == kFree || box.fourcc == kMfra || box.fourcc == kSidx)
            continue;
        OutItem item;
        item.box = box;
        BoxHeader h;
        int r = ReadBoxHeader(h, box.start, m_inputLength);
        if (r < 0)
            return r;
        item.inHeader = h.headerLength;
        if (boxes[i].mdat == SIZE_MAX) {
            if (lost) {
                if (box.fourcc == kMoof)
                    dropNextMdat = true;
                continue;
            }
            item.copyLength = box.size;
        } else {
            bool dropThis = dropNextMdat;
            dropNextMdat = false;
            if (fragmented && (lost || dropThis)) {
                // A fragment is its "moof" with its data: one without the
                // other is left out.
                if (lost && !items.empty() && items.back().box.fourcc == kMoof)
                    items.pop_back();
                continue;
            }
            if (lost) {
                int64_t end = keptEnd[boxes[i].mdat];
                // Media data cut where the kept samples end; a cut before
                // its data even begins copies nothing.
                if (end <= box.start + item.inHeader)
                    continue;
                item.copyLength = std::min(box.size, end - box.start);
            } else {
                item.copyLength = box.size;
            }
        }
        // A fragment's runs may name its data relative to its "moof": the
        // media data keeps the header length it had.
        item.outHeader = item.copyLength - item.inHeader + 8 >= k4GiB ? 16 : 8;
        if (fragmented && boxes[i].mdat != SIZE_MAX)
            item.outHeader = std::max(item.outHeader, item.inHeader);
        items.push_back(item);
    }
    return 0;
}

int64_t CMP4Repair::Displacement(const std::vector<OutItem>& items, int64_t inputOffset, bool& found) const
{
    found = false;
    auto it = std::upper_bound(items.begin(), items.end(), inputOffset,
                               [](int64_t o, const OutItem& item) { return o < item.box.start; });
    if (it == items.begin())
        return 0;
    --it;
    if (inputOffset >= it->box.start + it->copyLength)
        return 0;
    found = true;
    return (it->outStart + it->outHeader) - (it->box.start + it->inHeader);
}

int CMP4Repair::RLTWriteItems(const std::vector<OutItem>& items)
{
    IBaseStream* out = m_output;
    for (const OutItem& item : items) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        if (m_output->GetPos() != item.outStart)
            return MEND_ERR_WRITE;
        uint64_t size = static_cast<uint64_t>(item.OutLength());
        bool ok = item.outHeader == 16
                      ? WriteFieldR(out, uint32_t(1)) && WriteFieldR(out, item.box.fourcc) && WriteFieldR(out, size)
                      : WriteFieldR(out, static_cast<uint32_t>(size)) && WriteFieldR(out, item.box.fourcc);
        if (!ok)
            return MEND_ERR_WRITE;
        int r = CopyRange(item.box.start + item.inHeader, item.copyLength - item.inHeader);
        if (r < 0)
            return r;
    }
    return 0;
}

// Moves every chunk offset written so far with the box its data lies in.
// With `promote` it only checks: a track whose moved "stco" offsets would
// pass 4 GiB is marked for "co64" and `promoted` is set.
int CMP4Repair::RLTCorrectStcoCo64(const std::vector<OutItem>& items, std::vector<TrakInfo>* promote,
                                   bool& promoted)
{
    promoted = false;
    bool patch = promote == nullptr;
    int64_t here = m_output->GetPos();
    constexpr size_t kEntries = 1024;
    uint8_t block[kEntries * 8];
    for (const auto& box : m_chunkBoxes) {
        int64_t at = box.first;
        uint32_t fourcc = 0, count = 0;
        if (m_output->SeekTo(at + 4) != at + 4 || !ReadFieldR(static_cast<IBaseStream*>(m_output), fourcc) ||
            m_output->SeekTo(at + 12) != at + 12 || !ReadFieldR(static_cast<IBaseStream*>(m_output), count))
            return MEND_ERR_WRITE;
        size_t width = fourcc == kCo64 ? 8 : 4;
        int64_t pos = at + 16;
        for (uint64_t left = count; left > 0;) {
            if (TestAbort())
                return MEND_ERR_ABORTED;
            size_t n = static_cast<size_t>(std::min<uint64_t>(left, kEntries));
            unsigned int bytes = static_cast<unsigned int>(n * width);
            if (m_output->SeekTo(pos) != pos || m_output->Read(block, bytes) != bytes)
                return MEND_ERR_READ;
            bool overflow = false;
            for (size_t i = 0; i < n; ++i) {
                uint8_t* e = block + i * width;
                uint64_t v = 0;
                for (size_t b = 0; b < width; ++b)
                    v = (v << 8) | e[b];
                v = ChunkPosition(v);
                bool found = false;
                int64_t d = Displacement(items, static_cast<int64_t>(std::min<uint64_t>(v, INT64_MAX)), found);
                if (!found)
                    continue;
                uint64_t moved = v + static_cast<uint64_t>(d);
                if (width == 4 && moved >= static_cast<uint64_t>(k4GiB))
                    overflow = true;
                for (size_t b = width; b-- > 0; moved >>= 8)
                    e[b] = static_cast<uint8_t>(moved);
            }
            if (overflow && promote) {
                (*promote)[box.second].promote = true;
                promoted = true;
                break;
            }
            if (overflow)
                return MEND_ERR_UNREPAIRABLE;
            if (patch && (m_output->SeekTo(pos) != pos || m_output->Write(block, bytes) != bytes))
                return MEND_ERR_WRITE;
            pos += bytes;
            left -= n;
        }
    }
    return m_output->SeekTo(here) == here ? 0 : MEND_ERR_WRITE;
}

int CMP4Repair::RLTCorrectBaseOffsets(const std::vector<OutItem>& items)
{
    for (const OffsetField& f : m_baseOffsets) {
        int64_t field = f.input;
        if (TestAbort())
            return MEND_ERR_ABORTED;
        bool inItem = false;
        int64_t fieldMove = Displacement(items, field, inItem);
        if (!inItem)
            continue;
        // The base moves with the data named through it, so that the runs'
        // offsets from it stay right.
        bool found = false;
        int64_t d = Displacement(items, f.data, found);
        if (!found)
            continue;
        int r = PatchBE(field + fieldMove, static_cast<uint64_t>(f.target + d), 8);
        if (r < 0)
            return r;
    }
    return 0;
}

int CMP4Repair::RepairLevel1()
{
    if (!m_input || !m_output)
        return MEND_ERR_NO_STREAM;
    if (m_input->SeekTo(0) != 0 || m_output->SeekTo(0) != 0)
        return MEND_ERR_READ;
    if (m_unrepairable || !m_haveMoov)
        return MEND_ERR_REPAIR_REFUSED;
    if (TestAbort())
        return MEND_ERR_ABORTED;
    m_chunkBoxes.clear();

    int r = FindDataEnds();
    if (r < 0)
        return r;
    std::vector<TrakInfo> traks(m_sampleTables.size());
    std::vector<int64_t> keptEnd(m_mdats.size(), 0);
    for (size_t i = 0; i < traks.size(); ++i)
        if ((r = SurveyTrak(i, traks[i], keptEnd)) < 0)
            return r;
    std::vector<OutItem> items;
    if ((r = BuildOutItems(keptEnd, items)) < 0)
        return r;
    // A file with not one sample left (and no fragment) would be a repair
    // in name only.
    bool anySample = std::any_of(traks.begin(), traks.end(), [](const TrakInfo& t) { return t.keptSamples > 0; }) ||
                     std::any_of(items.begin(), items.end(), [](const OutItem& i) { return i.box.fourcc == kMoof; });
    if (!anySample)
        return MEND_ERR_UNREPAIRABLE;

    if (m_haveFtyp && !IsLost(m_ftyp.start) && (r = CopyRange(m_ftyp.start, m_ftyp.size)) < 0)
        return r;
    int64_t moovOut = m_output->GetPos();
    int64_t afterMoov = moovOut;
    // Offsets that would pass 4 GiB once moved need "co64": each round
    // promotes at least one more track, and a bigger movie box moves the
    // data further, so the rounds go on until none overflows.
    for (size_t round = 0; round <= traks.size(); ++round) {
        if (m_output->SeekTo(moovOut) != moovOut)
            return MEND_ERR_WRITE;
        m_chunkBoxes.clear();
        if ((r = RLTWriteMoov(traks)) < 0)
            return r;
        int64_t p = afterMoov = m_output->GetPos();
        for (OutItem& item : items) {
            item.outStart = p;
            p += item.OutLength();
        }
        bool promoted = false;
        if ((r = RLTCorrectStcoCo64(items, &traks, promoted)) < 0)
            return r;
        if (!promoted)
            break;
    }
    if (m_output->SeekTo(afterMoov) != afterMoov)
        return MEND_ERR_WRITE;
    if (TestAbort())
        return MEND_ERR_ABORTED;
    if ((r = RLTWriteItems(items)) < 0)
        return r;
    bool unused = false;
    if ((r = RLTCorrectStcoCo64(items, nullptr, unused)) < 0)
        return r;
    if ((r = RLTCorrectBaseOffsets(items)) < 0)
        return r;
    SolveError(JRVP_DAMAGE_TIMING);
    SolveError(JRVP_DAMAGE_INDEX);
    // Runs of bytes that were no box are left out.
    SolveError(JRVP_DAMAGE_SEGMENT);
    // A broken box inside the movie box was left out of the rebuilt one.
    SolveError(JRVP_DAMAGE_STRUCTURE);
    return 0;
}

// Only the rebuild exists: a level that would write nothing says so.
int CMP4Repair::RepairLevel2()
{
    return m_input && m_output ? MEND_ERR_CANNOT_REPAIR : MEND_ERR_NO_STREAM;
}

int CMP4Repair::RepairLevel3(const char*)
{
    return m_input && m_output ? MEND_ERR_CANNOT_REPAIR : MEND_ERR_NO_STREAM;
}
