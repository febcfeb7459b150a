#include "repairers/FLVRepair.h"

#include <string.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/StreamIO.h"

namespace {

constexpr int64_t kFileHeaderSize = 9;
constexpr int64_t kTagHeaderSize = 11;
constexpr uint32_t kMaxDataSize = 0xFFFFFF;  // DataSize is a u24
// A jump forward of more than this beyond the usual interval is a break in
// the timeline, not a pause.
constexpr int64_t kJumpTolerance = 500;
// A declared duration this far from the content's is wrong. FFmpeg declares
// the end of the last packet, GStreamer the start of the last audio frame:
// both lie well within it.
constexpr double kDurationTolerance = 0.5;
// AMF0 nesting beyond this is not metadata anybody writes.
constexpr size_t kMaxAmfDepth = 64;

enum AmfMarker : uint8_t {
    AMF_NUMBER = 0,
    AMF_BOOLEAN = 1,
    AMF_STRING = 2,
    AMF_OBJECT = 3,
    AMF_NULL = 5,
    AMF_UNDEFINED = 6,
    AMF_REFERENCE = 7,
    AMF_ECMA_ARRAY = 8,
    AMF_OBJECT_END = 9,
    AMF_STRICT_ARRAY = 10,
    AMF_DATE = 11,
    AMF_LONG_STRING = 12,
    AMF_UNSUPPORTED = 13,
    AMF_XML = 15,
    AMF_TYPED_OBJECT = 16,
};

uint32_t Be16(const uint8_t* p) { return (uint32_t(p[0]) << 8) | p[1]; }
uint32_t Be24(const uint8_t* p) { return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2]; }
uint32_t Be32(const uint8_t* p) { return (uint32_t(p[0]) << 24) | Be24(p + 1); }

void PutBe24(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v >> 16);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v);
}

void PutBe32(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    PutBe24(p + 1, v);
}

double BeDouble(const uint8_t* p)
{
    uint64_t bits = 0;
    for (int i = 0; i < 8; ++i)
        bits = (bits << 8) | p[i];
    double d;
    memcpy(&d, &bits, sizeof d);
    return d;
}

void PutBeDouble(uint8_t* p, double d)
{
    uint64_t bits;
    memcpy(&bits, &d, sizeof bits);
    for (int i = 7; i >= 0; --i) {
        p[i] = uint8_t(bits);
        bits >>= 8;
    }
}

void AppendName(std::vector<uint8_t>& out, const char* name)
{
    const size_t n = strlen(name);
    out.push_back(uint8_t(n >> 8));
    out.push_back(uint8_t(n));
    out.insert(out.end(), name, name + n);
}

void AppendNumber(std::vector<uint8_t>& out, double d)
{
    out.push_back(AMF_NUMBER);
    uint8_t b[8];
    PutBeDouble(b, d);
    out.insert(out.end(), b, b + 8);
}

// The keyframes value: an object of two strict arrays, the file positions
// of the key-frame tags and their times in seconds, 18 k + 36 bytes.
std::vector<uint8_t> KeyframesValue(const std::vector<int64_t>& positions, const std::vector<uint32_t>& times)
{
    std::vector<uint8_t> out;
    out.reserve(36 + 18 * positions.size());
    out.push_back(AMF_OBJECT);
    uint8_t count[4];
    PutBe32(count, static_cast<uint32_t>(positions.size()));
    AppendName(out, "filepositions");
    out.push_back(AMF_STRICT_ARRAY);
    out.insert(out.end(), count, count + 4);
    for (int64_t p : positions)
        AppendNumber(out, static_cast<double>(p));
    AppendName(out, "times");
    out.push_back(AMF_STRICT_ARRAY);
    out.insert(out.end(), count, count + 4);
    for (uint32_t t : times)
        AppendNumber(out, t / 1000.0);
    out.push_back(0);
    out.push_back(0);
    out.push_back(AMF_OBJECT_END);
    return out;
}

int64_t KeyframesValueSize(uint32_t k) { return 36 + 18 * int64_t(k); }

// Upper median of the steps between consecutive values; negative steps
// count as 0.
uint32_t MedianStep(const std::vector<uint32_t>& values)
{
    if (values.size() < 2)
        return 0;
    std::vector<uint32_t> steps;
    steps.reserve(values.size() - 1);
    for (size_t i = 1; i < values.size(); ++i)
        steps.push_back(values[i] >= values[i - 1] ? values[i] - values[i - 1] : 0);
    auto mid = steps.begin() + steps.size() / 2;
    std::nth_element(steps.begin(), mid, steps.end());
    return *mid;
}

// The parameter sets of an AVC stream.
struct AvcSets {
    std::vector<std::vector<uint8_t>> sps, pps;
};

// length-prefixed NAL units of one type from p on, each inside n; the
// position after the last. A unit of another type ends the list.
size_t ReadSets(const uint8_t* d, size_t n, size_t p, size_t count, uint8_t type,
                std::vector<std::vector<uint8_t>>& out)
{
    for (size_t i = 0; i < count; ++i) {
        if (2 > n - p)
            return 0;
        const size_t len = Be16(d + p);
        if (len == 0 || len > n - p - 2 || (d[p + 2] & 0x9F) != type)
            return 0;
        out.emplace_back(d + p + 2, d + p + 2 + len);
        p += 2 + len;
    }
    return p;
}

// An AVCDecoderConfigurationRecord read as its fields declare it: version
// 1, a NAL length size of 1, 2 or 4 bytes, at least one sequence and one
// picture parameter set, each unit of its type and inside the record. What
// may follow the sets (the extension of the high profiles) is not judged.
bool ParseAvcConfig(const uint8_t* d, size_t n, int& lengthSize, AvcSets& sets)
{
    sets = AvcSets();
    if (n < 7 || d[0] != 1 || (d[4] & 3) == 2)
        return false;
    lengthSize = (d[4] & 3) + 1;
    const size_t spsCount = d[5] & 0x1F;
    if (spsCount == 0)
        return false;
    size_t p = ReadSets(d, n, 6, spsCount, 7, sets.sps);
    if (p == 0 || p >= n)
        return false;
    const size_t ppsCount = d[p];
    return ppsCount > 0 && ReadSets(d, n, p + 1, ppsCount, 8, sets.pps) != 0;
}

// The sets of a record whose counts or first set length the damage took:
// the sequence parameter set runs from its place up to the picture
// parameter sets, which end the record exactly.
bool SalvageAvcConfig(const uint8_t* d, size_t n, AvcSets& sets)
{
    sets = AvcSets();
    if (n < 8 + 4 + 3 || d[0] != 1 || (d[8] & 0x9F) != 7)
        return false;
    for (size_t q = 8 + 4; q + 3 < n; ++q) {
        const size_t ppsCount = d[q];
        if (ppsCount == 0 || ppsCount > 31 || (d[q + 3] & 0x9F) != 8)
            continue;
        AvcSets found;
        if (ReadSets(d, n, q + 1, ppsCount, 8, found.pps) != n)
            continue;
        found.sps.emplace_back(d + 8, d + q);
        sets = std::move(found);
        return true;
    }
    return false;
}

// A sequence header tag's data: the 5 bytes of an AVC video tag, then a
// record of version 1 whose profile, compatibility and level are those of
// the first sequence parameter set.
std::vector<uint8_t> AvcConfigTag(const AvcSets& sets, int lengthSize)
{
    const std::vector<uint8_t>& first = sets.sps.front();
    std::vector<uint8_t> data = {0x17, 0, 0, 0, 0, 1, first[1], first[2], first[3],
                                 uint8_t(0xFC | (lengthSize - 1)), uint8_t(0xE0 | sets.sps.size())};
    for (const auto& set : sets.sps) {
        data.push_back(uint8_t(set.size() >> 8));
        data.push_back(uint8_t(set.size()));
        data.insert(data.end(), set.begin(), set.end());
    }
    data.push_back(uint8_t(sets.pps.size()));
    for (const auto& set : sets.pps) {
        data.push_back(uint8_t(set.size() >> 8));
        data.push_back(uint8_t(set.size()));
        data.insert(data.end(), set.begin(), set.end());
    }
    return data;
}

}  // namespace

CFLVRepair::CFLVRepair(IBaseStream* in) : CBaseRepair(in)
{
    m_format = JRVP_FORMAT_FLV;
}

CFLVRepair::~CFLVRepair()
{
    CFLVRepair::Close();
}

void CFLVRepair::Close()
{
    m_tags.clear();
    m_scripts.clear();
    m_made.clear();
    m_duration = 0;
    m_damaged = false;
    CBaseRepair::Close();
}

// ---------------------------------------------------------------------------
// Analysis

int CFLVRepair::Open()
{
    if (!m_input)
        return MEND_ERR_NO_STREAM;
    m_tags.clear();
    m_scripts.clear();
    m_made.clear();
    m_duration = 0;
    m_damaged = false;
    m_mendBudget = m_inputLength + (1 << 20);
    if (m_input->SeekTo(0) != 0 || !CheckFlvHeader()) {
        // A damaged file header alone does not make the file something
        // else: tags that chain from where the first belongs, or from a
        // little after it where the damage took the first tags too, say it
        // is FLV.
        const int chain = ChainNearStart();
        if (chain <= 0) {
            Close();
            return chain < 0 ? chain : MEND_ERR_NOT_CONTAINER;
        }
        AddErrorAt(JRVP_DAMAGE_STRUCTURE, 0);
    }
    uint32_t previous0 = 0;
    if (!ReadU32At(kFileHeaderSize, previous0))
        return MEND_ERR_UNREPAIRABLE;
    // A PreviousTagSize0 other than 0 may be the first tag itself, written
    // without it; if not, the walk finds the first tag a few bytes on.
    int64_t pos = kFileHeaderSize + 4;
    bool chained = true;
    if (previous0 != 0) {
        chained = false;
        m_damaged = true;
        pos = kFileHeaderSize;
    }
    // Every position is tried once at most: the walk only moves forward.
    int64_t budget = m_inputLength + 65536;
    while (pos < m_inputLength) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        if (--budget < 0)
            return MEND_ERR_UNREPAIRABLE;
        int64_t next = pos;
        const int r = ReadFlvTag(pos, chained, next);
        if (r < 0)
            return r;
        if (r == TAG_BAD && chained && MendTagSize(pos, next)) {
            // Its size alone was bent: the rebuild writes the one found.
            m_damaged = true;
            AddErrorAt(JRVP_DAMAGE_INDEX, pos);
            pos = next;
            continue;
        }
        if (r == TAG_BAD) {
            m_damaged = true;
            chained = false;
            pos = NextTagStart(pos + 1);
            if (pos < 0)
                return static_cast<int>(pos);
            continue;
        }
        if (r == TAG_END)
            break;
        chained = true;
        pos = next;
    }
    int r = ReadScripts();
    if (r < 0)
        return r;
    if (m_damaged)
        AddError(JRVP_DAMAGE_SEGMENT);
    if (m_tags.empty())
        return MEND_ERR_UNREPAIRABLE;
    MendAacFlags();
    r = CheckAacConfigs();
    if (r < 0)
        return r;
    r = CheckAvcConfigs();
    if (r < 0)
        return r;
    r = PlanSetUp();
    if (r < 0)
        return r;

    const uint32_t interval = GetPreTimeStampOffset();
    const bool changed = ChangeTimeStamps(interval);
    if (TestAbort())
        return MEND_ERR_ABORTED;
    const double estimate = GetDuration(interval);
    if (changed || DurationIsWrong(estimate))
        AddError(JRVP_DAMAGE_TIMING);
    m_duration = estimate;
    return 0;
}

bool CFLVRepair::CheckFlvHeader()
{
    uint8_t h[kFileHeaderSize];
    if (m_input->Read(h, sizeof h) != sizeof h)
        return false;
    // "FLV", version 1, only the audio (0x04) and video (0x01) flags, and
    // the header's own size 9.
    if (h[0] != 'F' || h[1] != 'L' || h[2] != 'V' || h[3] != 1 || (h[4] & 0xFA) != 0)
        return false;
    return Be32(h + 5) == kFileHeaderSize;
}

bool CFLVRepair::TagsChainFrom(int64_t pos)
{
    // Three tags in a row, each with the PreviousTagSize it must have
    // (fewer when the file ends after them).
    for (int n = 0; n < 3; ++n) {
        TagHeader h;
        if (!CheckTagHeader(pos, h) || h.dataSize > m_inputLength - pos - kTagHeaderSize - 4)
            return false;
        const int64_t end = pos + kTagHeaderSize + h.dataSize;
        uint32_t previous = 0;
        if (!ReadU32At(end, previous) || previous != h.dataSize + kTagHeaderSize)
            return false;
        pos = end + 4;
        if (pos == m_inputLength)
            return true;
    }
    return true;
}

int CFLVRepair::ChainNearStart()
{
    // Three tags whose sizes chain are never found by chance; the search
    // ends within the first blocks, so a file of another container costs
    // no more than their read.
    constexpr int64_t kReach = 256 * 1024;
    int64_t pos = kFileHeaderSize + 4;
    while (pos >= 0 && pos < m_inputLength && pos <= kReach) {
        if (TagsChainFrom(pos))
            return 1;
        pos = NextTagStart(pos + 1);
    }
    return pos == MEND_ERR_ABORTED ? MEND_ERR_ABORTED : 0;
}

namespace {

// Only a byte that names a tag type, followed by a zero StreamID, can
// start a tag: long runs of zeros or noise pass at the speed of a read.
const uint8_t* FindTagStart(const uint8_t* b, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        const uint8_t type = b[i] & 0xDF;
        if (type != FLV_TAG_AUDIO && type != FLV_TAG_VIDEO && type != FLV_TAG_SCRIPT)
            continue;
        if (i + 11 <= n && (b[i + 8] | b[i + 9] | b[i + 10]) != 0)
            continue;
        return b + i;
    }
    return nullptr;
}

}  // namespace

int64_t CFLVRepair::NextTagStart(int64_t from)
{
    // No tag header fits in the last few bytes.
    if (kTagHeaderSize > m_inputLength - from)
        return m_inputLength;
    const int64_t to = m_inputLength - kTagHeaderSize + 1;
    const int64_t p = NextCandidate(from, to, &FindTagStart);
    return p == to ? m_inputLength : p;
}

bool CFLVRepair::ReadU32At(int64_t pos, uint32_t& value)
{
    value = 0;
    uint8_t b[4];
    if (pos < 0 || m_input->SeekTo(pos) != pos || m_input->Read(b, 4) != 4)
        return false;
    value = Be32(b);
    return true;
}

int CFLVRepair::ReadFlvTag(int64_t pos, bool chained, int64_t& next)
{
    if (kTagHeaderSize > m_inputLength - pos) {
        // Too few bytes left for a tag header: the end of a cut file.
        m_damaged = true;
        return TAG_END;
    }
    TagHeader h;
    if (!CheckTagHeader(pos, h))
        return TAG_BAD;
    if (h.dataSize > m_inputLength - pos - kTagHeaderSize)
        return TAG_BAD;
    const int64_t end = pos + kTagHeaderSize + h.dataSize;
    FlvTagInfo tag = MakeTag(pos, end, h);
    if (4 > m_inputLength - end) {
        // The data is whole, its PreviousTagSize cut off: keep the tag, the
        // rebuild writes the size anew.
        m_damaged = true;
        m_tags.push_back(tag);
        return TAG_END;
    }
    uint32_t previous = 0;
    if (!ReadU32At(end, previous))
        return MEND_ERR_READ;
    // PreviousTagSize must equal the tag's size + 11. A wrong one alone
    // does not condemn the tag when the next tag confirms where it ends.
    const bool sizeHolds = previous == h.dataSize + kTagHeaderSize;
    if (end + 4 == m_inputLength) {
        if (!sizeHolds)
            return TAG_BAD;
        m_tags.push_back(tag);
        return TAG_END;
    }
    // A tag reached through the chain whose PreviousTagSize holds stands
    // even when damage follows it; one found by the byte search must also
    // be confirmed by the next tag.
    if (!(chained && sizeHolds) && !NextTagAgrees(end + 4, !sizeHolds))
        return TAG_BAD;
    if (!sizeHolds)
        m_damaged = true;
    tag.asIs = sizeHolds;
    m_tags.push_back(tag);
    next = end + 4;
    return TAG_ACCEPTED;
}

FlvTagInfo CFLVRepair::MakeTag(int64_t pos, int64_t end, const TagHeader& h) const
{
    FlvTagInfo tag;
    tag.start = pos;
    tag.end = end;
    tag.type = h.type;
    tag.timestamp = h.timestamp;
    tag.composition = h.composition;
    tag.codec = h.codec;
    tag.keyframe = h.keyframe;
    tag.config = h.config;
    tag.needsConfig = h.needsConfig;
    tag.flags = h.flags;
    return tag;
}

bool CFLVRepair::MendTagSize(int64_t pos, int64_t& next)
{
    // The ends tried lie in one window after the header, read once; all
    // the windows of a parse together read no more than the input once.
    constexpr int64_t kWindow = 1 << 20;
    TagHeader h;
    if (!CheckTagHeader(pos, h, true))
        return false;
    const int64_t from = pos + kTagHeaderSize + 1;  // a byte of data at least
    const int64_t w = std::min({kWindow, m_inputLength - from, m_mendBudget});
    if (w < 4)
        return false;
    m_mendBudget -= w;
    std::vector<uint8_t> window(static_cast<size_t>(w));
    if (m_input->SeekTo(from) != from || m_input->Read(window.data(), static_cast<unsigned int>(w)) != w)
        return false;
    for (int64_t k = 0; k + 4 <= w; ++k) {
        const int64_t end = from + k;
        if (Be32(window.data() + k) != uint64_t(end - pos))
            continue;
        TagHeader n;
        const int64_t c = end + 4;
        if (c != m_inputLength && !(CheckTagHeader(c, n) && NextTagAgrees(c, false)))
            continue;
        h.dataSize = static_cast<uint32_t>(end - pos - kTagHeaderSize);
        m_tags.push_back(MakeTag(pos, end, h));
        next = c;
        return true;
    }
    return false;
}

void CFLVRepair::MendAacFlags()
{
    // The flags most AAC tags carry, when more than half carry the same.
    size_t count[256] = {};
    size_t total = 0;
    for (const FlvTagInfo& tag : m_tags)
        if (tag.type == FLV_TAG_AUDIO && tag.codec == 10) {
            ++count[tag.flags];
            ++total;
        }
    if (total < 3)
        return;
    const size_t usual = static_cast<size_t>(std::max_element(std::begin(count), std::end(count)) - std::begin(count));
    if (count[usual] * 2 <= total || count[usual] == total)
        return;
    for (FlvTagInfo& tag : m_tags)
        if (tag.type == FLV_TAG_AUDIO && tag.codec == 10 && tag.flags != usual) {
            tag.newFlags = static_cast<int16_t>(usual);
            tag.asIs = false;
            AddErrorAt(JRVP_DAMAGE_STRUCTURE, tag.start);
        }
}

bool CFLVRepair::NextTagAgrees(int64_t pos, bool strict)
{
    TagHeader n;
    if (!CheckTagHeader(pos, n))
        return false;
    // A next tag cut by the end of the file still shows where this one ends.
    if (n.dataSize > m_inputLength - pos - kTagHeaderSize)
        return true;
    const int64_t end = pos + kTagHeaderSize + n.dataSize;
    if (4 > m_inputLength - end)
        return true;
    uint32_t previous = 0;
    if (!ReadU32At(end, previous))
        return false;
    if (previous == n.dataSize + kTagHeaderSize)
        return true;
    if (strict)
        return false;
    // Its own PreviousTagSize is damaged: a valid tag after it will do.
    TagHeader after;
    return end + 4 == m_inputLength || CheckTagHeader(end + 4, after);
}

bool CFLVRepair::CheckTagHeader(int64_t pos, TagHeader& h, bool anySize)
{
    h = TagHeader();
    // The header and the first bytes of the data, in one read.
    uint8_t b[kTagHeaderSize + 5] = {};
    if (pos < 0 || kTagHeaderSize > m_inputLength - pos || m_input->SeekTo(pos) != pos)
        return false;
    const unsigned int want = static_cast<unsigned int>(std::min<int64_t>(sizeof b, m_inputLength - pos));
    if (m_input->Read(b, want) != want)
        return false;
    // Type byte: the two reserved bits are 0; the filter bit is ignored.
    if (b[0] & 0xC0)
        return false;
    h.type = b[0] & 0x1F;
    if (h.type != FLV_TAG_AUDIO && h.type != FLV_TAG_VIDEO && h.type != FLV_TAG_SCRIPT)
        return false;
    h.dataSize = Be24(b + 1);
    h.timestamp = Be24(b + 4) | (uint32_t(b[7]) << 24);
    if (Be24(b + 8) != 0)  // StreamID is always 0
        return false;
    const uint8_t* data = b + kTagHeaderSize;
    const uint32_t have = anySize ? want - kTagHeaderSize : std::min<uint32_t>(h.dataSize, want - kTagHeaderSize);
    if (have < 1)
        return false;
    h.flags = b[kTagHeaderSize];
    switch (h.type) {
    case FLV_TAG_AUDIO: {
        const uint8_t format = data[0] >> 4;
        h.codec = format;
        // 9 is reserved and 15 device-specific: neither is ever in a file.
        if (format == 9 || format == 15)
            return false;
        if (format == 10) {  // AAC: AudioSpecificConfig (0) or raw frame (1)
            if (have < 2 || data[1] > 1)
                return false;
            h.config = data[1] == 0;
            h.needsConfig = !h.config;
            return true;
        }
        if (format == 11)  // Speex: always 16 kHz, 16-bit, mono
            return (data[0] & 0x0F) == 0x02;
        return true;
    }
    case FLV_TAG_VIDEO: {
        const uint8_t frameType = data[0] >> 4;
        const uint8_t codec = data[0] & 0x0F;
        if (frameType < 1 || frameType > 5 || codec < 2 || codec > 7)
            return false;
        h.codec = codec;
        h.keyframe = frameType == 1;
        h.needsConfig = codec == 7;
        if (codec == 7 && frameType != 5) {
            // AVC: packet type 0 sequence header, 1 NAL units, 2 end of
            // sequence; only NAL units carry a composition time.
            if (have < 5 || data[1] > 2)
                return false;
            uint32_t cts = Be24(data + 2);
            if (data[1] != 1 && cts != 0)
                return false;
            h.composition = (cts & 0x800000) ? static_cast<int32_t>(cts) - 0x1000000 : static_cast<int32_t>(cts);
            h.keyframe = h.keyframe && data[1] == 1;
            h.config = data[1] == 0;
            h.needsConfig = !h.config;
        }
        return true;
    }
    default:
        // Script data opens with its name, an AMF0 string.
        return data[0] == AMF_STRING;
    }
}

int CFLVRepair::ReadScripts()
{
    std::vector<uint8_t> data;
    for (size_t i = 0; i < m_tags.size(); ++i) {
        FlvTagInfo& tag = m_tags[i];
        if (tag.type != FLV_TAG_SCRIPT)
            continue;
        if (TestAbort())
            return MEND_ERR_ABORTED;
        const int64_t n = tag.end - tag.start - kTagHeaderSize;
        data.resize(static_cast<size_t>(n));
        const int64_t at = tag.start + kTagHeaderSize;
        if (m_input->SeekTo(at) != at || m_input->Read(data.data(), static_cast<unsigned int>(n)) != n)
            return MEND_ERR_READ;
        tag.script = static_cast<int32_t>(m_scripts.size());
        m_scripts.push_back(ScanScript(data.data(), data.size()));
        // A script tag whose data is no complete AMF0 is left out of the
        // rebuild: a half object would break every reader after it.
        if (!m_scripts.back().valid)
            AddErrorAt(JRVP_DAMAGE_STRUCTURE, tag.start);
    }
    return 0;
}

int CFLVRepair::CheckAacConfigs()
{
    static const uint32_t kRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                        22050, 16000, 12000, 11025, 8000,  7350};
    // Enough frames for their mean pace to tell neighbouring rates apart
    // (8 % apart at the closest), timestamps being whole milliseconds.
    constexpr size_t kMinFrames = 16;
    constexpr size_t kMaxFrames = 256;
    for (size_t i = 0; i < m_tags.size(); ++i) {
        FlvTagInfo& tag = m_tags[i];
        if (tag.type != FLV_TAG_AUDIO || tag.codec != 10 || !tag.config || tag.made >= 0)
            continue;
        if (TestAbort())
            return MEND_ERR_ABORTED;
        const int64_t n = tag.end - tag.start - kTagHeaderSize;
        if (n < 4 || n > 64)
            continue;
        std::vector<uint8_t> data(static_cast<size_t>(n));
        const int64_t at = tag.start + kTagHeaderSize;
        if (m_input->SeekTo(at) != at || m_input->Read(data.data(), static_cast<unsigned int>(n)) != n)
            return MEND_ERR_READ;
        // AudioSpecificConfig: object type (5 bits; 31 escapes to more),
        // sampling index (4 bits; 15: 24 bits of rate follow), channels,
        // then for the common types the frame length flag.
        const uint32_t bits = (uint32_t(data[2]) << 8) | data[3];
        const uint32_t object = bits >> 11;
        const uint32_t index = (bits >> 7) & 0x0F;
        if (object == 0 || object == 31)
            continue;
        uint32_t declared = index < 13 ? kRates[index] : 0;
        int64_t flagBit = 2 * 8 + 13;  // after type, index and channels
        // An escape with no room for its rate is no rate at all.
        if (index == 15 && n >= 2 + 5) {
            uint64_t all = 0;
            for (int k = 0; k < 5; ++k)
                all = (all << 8) | data[2 + k];
            declared = static_cast<uint32_t>((all >> 11) & 0xFFFFFF);
            flagBit += 24;
        }
        const bool shortFrames = flagBit / 8 < n && ((data[static_cast<size_t>(flagBit / 8)] >> (7 - flagBit % 8)) & 1);
        // The mean step between consecutive frames, steps over twice the
        // usual (a gap) left out.
        std::vector<uint32_t> times;
        for (size_t k = i + 1; k < m_tags.size() && times.size() < kMaxFrames; ++k) {
            const FlvTagInfo& t = m_tags[k];
            if (t.type != FLV_TAG_AUDIO)
                continue;
            if (t.codec != 10 || t.config)
                break;
            times.push_back(t.timestamp);
        }
        if (times.size() < kMinFrames)
            continue;
        const uint32_t median = MedianStep(times);
        uint64_t sum = 0, steps = 0;
        for (size_t k = 1; k < times.size(); ++k) {
            if (times[k] < times[k - 1] || times[k] - times[k - 1] > 2 * median)
                continue;
            sum += times[k] - times[k - 1];
            ++steps;
        }
        if (sum == 0 || steps + 1 < kMinFrames)
            continue;
        const double paced = (shortFrames ? 960.0 : 1024.0) * 1000.0 * double(steps) / double(sum);
        uint32_t best = 0;
        for (uint32_t k = 0; k < 13; ++k)
            if (std::fabs(paced - kRates[k]) < std::fabs(paced - kRates[best]))
                best = k;
        // A pace near no rate, or one the declared rate fits, says nothing.
        if (std::fabs(paced - kRates[best]) > 0.03 * kRates[best] || declared == kRates[best])
            continue;
        if (declared != 0 && std::fabs(paced - declared) <= 0.03 * declared)
            continue;
        // Only the index's own bits change: the damage that bent it left
        // the bits after it as they were.
        const uint32_t mended = (bits & ~(0x0Fu << 7)) | (best << 7);
        data[2] = static_cast<uint8_t>(mended >> 8);
        data[3] = static_cast<uint8_t>(mended);
        if (tag.newFlags >= 0)
            data[0] = static_cast<uint8_t>(tag.newFlags);
        AddErrorAt(JRVP_DAMAGE_STRUCTURE, tag.start);
        tag.made = static_cast<int32_t>(m_made.size());
        tag.asIs = false;
        m_made.push_back(std::move(data));
    }
    return 0;
}

int CFLVRepair::NalLengthSizes(size_t from)
{
    // The NAL units of the first few frames after the set-up must fill
    // their data exactly behind lengths of the size it declares. A size
    // that fills none of them, where another fills them all, is no size
    // the encoder wrote.
    constexpr int kFramesTried = 4;
    constexpr int kMaxUnits = 4096;
    int tried = 0;
    int fits = 0x1F;  // bit n: n-byte lengths fill every frame tried
    for (size_t i = from; i < m_tags.size() && tried < kFramesTried; ++i) {
        const FlvTagInfo& tag = m_tags[i];
        if (tag.type != FLV_TAG_VIDEO || tag.codec != 7)
            continue;
        if (tag.config)
            break;
        if (!tag.needsConfig || tag.end - tag.start <= kTagHeaderSize + 5)
            continue;
        ++tried;
        int fitsHere = 0;
        for (int size : {1, 2, 3, 4}) {
            int64_t p = tag.start + kTagHeaderSize + 5;
            bool whole = true;
            for (int units = 0; whole && p < tag.end; ++units) {
                uint8_t b[5];
                if (units >= kMaxUnits || size + 1 > tag.end - p) {
                    whole = false;
                    break;
                }
                if (m_input->SeekTo(p) != p || m_input->Read(b, size + 1) != unsigned(size + 1))
                    return MEND_ERR_READ;
                uint32_t n = 0;
                for (int k = 0; k < size; ++k)
                    n = (n << 8) | b[k];
                if (n == 0 || n > tag.end - p - size || (b[size] & 0x80) != 0)
                    whole = false;
                p += size + int64_t(n);
            }
            if (whole && p == tag.end)
                fitsHere |= 1 << size;
        }
        fits &= fitsHere;
    }
    return tried == 0 ? 0x1F : fits;
}

int CFLVRepair::CheckAvcConfigs()
{
    // A sequence header is judged by its own fields and by the frames that
    // follow it. One the damage bent is made again from the sets it still
    // holds, or from those a key frame carries; one with nothing left to
    // make it from is no set-up, and its stream waits for the next one.
    constexpr int64_t kMaxRecord = 64 * 1024;
    std::vector<size_t> lost;
    for (size_t i = 0; i < m_tags.size(); ++i) {
        FlvTagInfo& tag = m_tags[i];
        if (tag.type != FLV_TAG_VIDEO || tag.codec != 7 || !tag.config || tag.made >= 0)
            continue;
        if (TestAbort())
            return MEND_ERR_ABORTED;
        const int64_t n = tag.end - tag.start - kTagHeaderSize - 5;
        if (n <= 0 || n > kMaxRecord)
            continue;
        std::vector<uint8_t> record(static_cast<size_t>(n));
        const int64_t at = tag.start + kTagHeaderSize + 5;
        if (m_input->SeekTo(at) != at || m_input->Read(record.data(), static_cast<unsigned int>(n)) != n)
            return MEND_ERR_READ;
        int lengthSize = 0;
        AvcSets sets;
        const bool parsed = ParseAvcConfig(record.data(), record.size(), lengthSize, sets);
        const int fits = NalLengthSizes(i + 1);
        if (fits < 0)
            return fits;
        // Frames that no size fills (their own damage) cannot judge it.
        if (parsed && (fits == 0 || (fits & (1 << lengthSize))))
            continue;
        // The frames' own length size; 4, what every FLV writer uses, when
        // they leave it open.
        int size = 4;
        if (!(fits & (1 << 4)))
            for (int s : {2, 1, 3})
                if (fits & (1 << s)) {
                    size = s;
                    break;
                }
        if (!parsed && !SalvageAvcConfig(record.data(), record.size(), sets) && size == 4) {
            std::vector<uint8_t> data;
            size_t next = i + 1;
            while (next < m_tags.size() && !(m_tags[next].type == FLV_TAG_VIDEO && m_tags[next].config))
                ++next;
            const int64_t found = FindInBandSetUp(i + 1, next, data);
            if (found < 0)
                return static_cast<int>(found);
            if (static_cast<size_t>(found) < next) {
                AvcSets inBand;
                int ignored = 0;
                ParseAvcConfig(data.data() + 5, data.size() - 5, ignored, inBand);
                sets = std::move(inBand);
            }
        }
        AddErrorAt(JRVP_DAMAGE_STRUCTURE, tag.start);
        if (sets.sps.empty() || sets.pps.empty() || sets.sps.front().size() < 4) {
            lost.push_back(i);
            continue;
        }
        tag.made = static_cast<int32_t>(m_made.size());
        tag.asIs = false;
        m_made.push_back(AvcConfigTag(sets, size));
    }
    // A set-up with nothing to make it from is left out: a reader would
    // take its bytes for the stream's set-up.
    for (auto it = lost.rbegin(); it != lost.rend(); ++it)
        m_tags.erase(m_tags.begin() + static_cast<std::ptrdiff_t>(*it));
    return 0;
}

int CFLVRepair::PlanSetUp()
{
    // AVC and AAC frames decode only after their stream's set-up. Where the
    // damage took it, the frames before the next set-up the file still holds
    // would give a copy that does not open, or opens with a stream whose
    // every frame fails: they are left out, and a stream with no set-up left
    // at all is left out whole.
    const size_t none = m_tags.size();
    std::vector<bool> drop(m_tags.size(), false);
    size_t madeAt = none;
    FlvTagInfo made;
    for (uint8_t type : {FLV_TAG_AUDIO, FLV_TAG_VIDEO}) {
        size_t firstNeed = none, firstConfig = none;
        for (size_t i = 0; i < m_tags.size() && firstConfig == none; ++i) {
            const FlvTagInfo& tag = m_tags[i];
            if (tag.type != type)
                continue;
            if (tag.config)
                firstConfig = i;
            else if (tag.needsConfig && firstNeed == none)
                firstNeed = i;
        }
        if (firstNeed == none)
            continue;  // the set-up comes first, or none is needed
        size_t from = firstConfig;
        if (type == FLV_TAG_VIDEO) {
            std::vector<uint8_t> data;
            const int64_t at = FindInBandSetUp(firstNeed, firstConfig, data);
            if (at < 0)
                return static_cast<int>(at);
            if (static_cast<size_t>(at) < firstConfig) {
                from = static_cast<size_t>(at);
                madeAt = from;
                made = FlvTagInfo();
                made.start = m_tags[from].start;
                made.end = m_tags[from].start;
                made.type = FLV_TAG_VIDEO;
                made.codec = m_tags[from].codec;
                made.timestamp = m_tags[from].timestamp;
                made.config = true;
                made.made = static_cast<int32_t>(m_made.size());
                m_made.push_back(std::move(data));
            }
        }
        if (from == firstNeed)
            continue;  // the set-up made stands right before the first frame
        for (size_t i = firstNeed; i < from; ++i)
            if (m_tags[i].type == type && m_tags[i].needsConfig)
                drop[i] = true;
        AddErrorAt(JRVP_DAMAGE_DATA_LOST, m_tags[firstNeed].start);
    }
    if (std::find(drop.begin(), drop.end(), true) == drop.end() && madeAt == none)
        return 0;
    std::vector<FlvTagInfo> kept;
    kept.reserve(m_tags.size() + 1);
    for (size_t i = 0; i < m_tags.size(); ++i) {
        if (i == madeAt)
            kept.push_back(made);
        if (!drop[i])
            kept.push_back(m_tags[i]);
    }
    m_tags.swap(kept);
    return 0;
}

int64_t CFLVRepair::FindInBandSetUp(size_t from, size_t to, std::vector<uint8_t>& data)
{
    // An encoder that repeats its parameter sets does so at every key frame:
    // when the first few after the damage carry none, no later one will.
    constexpr int kKeyFramesTried = 16;
    // A parameter set is some tens of bytes; more is not one.
    constexpr uint32_t kMaxParameterSet = 1024;
    constexpr size_t kMaxSets = 31;
    int tried = 0;
    for (size_t i = from; i < to && i < m_tags.size() && tried < kKeyFramesTried; ++i) {
        const FlvTagInfo& tag = m_tags[i];
        if (tag.type != FLV_TAG_VIDEO || tag.codec != 7 || !tag.keyframe)
            continue;
        if (TestAbort())
            return MEND_ERR_ABORTED;
        ++tried;
        // NAL units after the 5 bytes of frame type, packet type and
        // composition time, each behind a 4-byte length (the size every FLV
        // writer uses; the header that would say so is what was lost). They
        // must fill the data exactly, or the guess of that size is wrong.
        std::vector<std::vector<uint8_t>> sps, pps;
        int64_t p = tag.start + kTagHeaderSize + 5;
        const int64_t end = tag.end;
        bool whole = true;
        while (whole && p < end) {
            uint8_t b[5];
            if (5 > end - p) {
                whole = false;
                break;
            }
            if (m_input->SeekTo(p) != p || m_input->Read(b, 5) != 5)
                return MEND_ERR_READ;
            const uint32_t n = Be32(b);
            if (n == 0 || n > end - p - 4 || (b[4] & 0x80) != 0) {
                whole = false;
                break;
            }
            const uint8_t nal = b[4] & 0x1F;
            if (nal == 7 || nal == 8) {
                auto& sets = nal == 7 ? sps : pps;
                if (n > kMaxParameterSet || sets.size() >= kMaxSets || (nal == 7 && n < 4)) {
                    whole = false;
                    break;
                }
                std::vector<uint8_t> set(n);
                set[0] = b[4];
                if (n > 1 && m_input->Read(set.data() + 1, n - 1) != n - 1)
                    return MEND_ERR_READ;
                sets.push_back(std::move(set));
            }
            p += 4 + int64_t(n);
        }
        if (!whole || p != end || sps.empty() || pps.empty())
            continue;
        AvcSets sets;
        sets.sps = std::move(sps);
        sets.pps = std::move(pps);
        data = AvcConfigTag(sets, 4);
        return static_cast<int64_t>(i);
    }
    return static_cast<int64_t>(to);
}

namespace {

// Walks one AMF0 script body value by value, without recursion: a frame per
// open object (entries until the end marker) or strict array (a count of
// values). Any value that runs past the body ends the walk as not AMF0.
class AmfScriptReader {
public:
    AmfScriptReader(const uint8_t* data, size_t n) : m_data(data), m_n(n) {}

    FlvScriptInfo Read()
    {
        if (!m_data || m_n < 3 || m_data[0] != AMF_STRING)
            return m_info;
        const size_t nameLen = Be16(m_data + 1);
        m_p = 3;
        if (nameLen > m_n - m_p)
            return m_info;
        m_info.metadata = nameLen == 10 && memcmp(m_data + m_p, "onMetaData", 10) == 0;
        m_p += nameLen;
        while (true) {
            Entry entry = kOther;
            const Slot slot = NextSlot(entry);
            if (slot == kBroken)
                return m_info;
            if (slot == kEnd)
                break;
            if (slot == kValue && !ReadValue(entry))
                return m_info;
        }
        // Zero padding after the value is harmless; anything else is not AMF0.
        for (size_t i = m_p; i < m_n; ++i)
            if (m_data[i] != 0)
                return m_info;
        m_info.valid = m_topValueSeen;
        return m_info;
    }

private:
    enum Entry { kOther, kDuration, kFilesize, kKeyframes };
    enum Slot { kValue, kClosed, kEnd, kBroken };
    struct Frame {
        bool entries;
        uint64_t left;
        bool keyframes;  // the metadata's "keyframes" value
    };

    // Where the next value stands: after an object entry's name (which
    // says what the metadata's top level holds), or as the next element of
    // a strict array. A frame that ends here is closed instead.
    Slot NextSlot(Entry& entry)
    {
        if (m_stack.empty()) {
            if (m_p == m_n || m_topValueSeen)
                return kEnd;
            m_topValueSeen = true;
            return kValue;
        }
        if (!m_stack.back().entries) {
            if (m_stack.back().left == 0)
                return Close();
            --m_stack.back().left;
            return kValue;
        }
        if (2 > m_n - m_p)
            return kBroken;
        const size_t len = Be16(m_data + m_p);
        m_p += 2;
        if (len == 0) {
            if (m_p >= m_n || m_data[m_p] != AMF_OBJECT_END)
                return kBroken;
            ++m_p;
            return Close();
        }
        if (len > m_n - m_p)
            return kBroken;
        if (m_stack.size() == 1)
            entry = EntryNamed(reinterpret_cast<const char*>(m_data + m_p), len);
        m_p += len;
        return kValue;
    }

    Slot Close()
    {
        if (m_stack.back().keyframes)
            m_info.keyframesTo = static_cast<int64_t>(m_p);
        m_stack.pop_back();
        return kClosed;
    }

    static Entry EntryNamed(const char* name, size_t len)
    {
        if (len == 8 && memcmp(name, "duration", 8) == 0)
            return kDuration;
        if (len == 8 && memcmp(name, "filesize", 8) == 0)
            return kFilesize;
        if (len == 9 && memcmp(name, "keyframes", 9) == 0)
            return kKeyframes;
        return kOther;
    }

    // One value at the reader's place: its marker and what follows it, an
    // opened object or array pushed as a frame. False where it is not AMF0.
    bool ReadValue(Entry entry)
    {
        if (m_p >= m_n)
            return false;
        const size_t valueAt = m_p;
        const uint8_t marker = m_data[m_p++];
        const size_t rest = m_n - m_p;
        bool opens = false;
        Frame frame{true, 0, entry == kKeyframes};
        switch (marker) {
        case AMF_NUMBER:
            if (8 > rest)
                return false;
            if (entry == kDuration) {
                m_info.durationAt = static_cast<int64_t>(m_p);
                m_info.duration = BeDouble(m_data + m_p);
            } else if (entry == kFilesize) {
                m_info.filesizeAt = static_cast<int64_t>(m_p);
                m_info.filesize = BeDouble(m_data + m_p);
            }
            m_p += 8;
            break;
        case AMF_BOOLEAN:
            if (!Skip(1))
                return false;
            break;
        case AMF_REFERENCE:
            if (!Skip(2))
                return false;
            break;
        case AMF_STRING:
            if (!SkipCounted(2))
                return false;
            break;
        case AMF_LONG_STRING:
        case AMF_XML:
            if (!SkipCounted(4))
                return false;
            break;
        case AMF_DATE:
            if (!Skip(10))
                return false;
            break;
        case AMF_NULL:
        case AMF_UNDEFINED:
        case AMF_UNSUPPORTED:
            break;
        case AMF_OBJECT:
            opens = true;
            break;
        case AMF_ECMA_ARRAY:  // the count is a hint; the end marker ends it
            if (!Skip(4))
                return false;
            opens = true;
            break;
        case AMF_TYPED_OBJECT:
            if (!SkipCounted(2))
                return false;
            opens = true;
            break;
        case AMF_STRICT_ARRAY:
            if (4 > rest)
                return false;
            frame.entries = false;
            frame.left = Be32(m_data + m_p);
            m_p += 4;
            opens = true;
            break;
        default:
            return false;
        }
        if (entry == kKeyframes) {
            m_info.keyframesFrom = static_cast<int64_t>(valueAt);
            m_info.keyframesTo = static_cast<int64_t>(m_p);
        }
        if (!opens)
            return true;
        if (m_stack.size() >= kMaxAmfDepth)
            return false;
        m_stack.push_back(frame);
        return true;
    }

    bool Skip(size_t bytes)
    {
        if (bytes > m_n - m_p)
            return false;
        m_p += bytes;
        return true;
    }

    // A length of `width` bytes and as many bytes after it.
    bool SkipCounted(size_t width)
    {
        if (width > m_n - m_p)
            return false;
        const uint64_t len = width == 2 ? Be16(m_data + m_p) : Be32(m_data + m_p);
        if (len > m_n - m_p - width)
            return false;
        m_p += width + static_cast<size_t>(len);
        return true;
    }

    const uint8_t* m_data;
    size_t m_n;
    size_t m_p = 0;
    std::vector<Frame> m_stack;
    bool m_topValueSeen = false;
    FlvScriptInfo m_info;
};

}  // namespace

FlvScriptInfo CFLVRepair::ScanScript(const uint8_t* data, size_t n)
{
    return AmfScriptReader(data, n).Read();
}

uint32_t CFLVRepair::GetPreTimeStampOffset() const
{
    std::vector<uint32_t> times;
    times.reserve(m_tags.size());
    for (const FlvTagInfo& tag : m_tags)
        if (tag.type != FLV_TAG_SCRIPT)
            times.push_back(tag.timestamp);
    return MedianStep(times);
}

bool CFLVRepair::ChangeTimeStamps(uint32_t interval)
{
    // The first media tag starts the timeline at 0. A tag that goes back in
    // its own stream, or jumps far beyond every tag before it, breaks the
    // timeline: it is placed one interval after the latest tag, and every
    // later tag moves by the same amount until the next break.
    bool changed = false;
    bool first = true;
    int64_t shift = 0;
    int64_t latest = 0;
    int64_t lastOf[2] = {-1, -1};
    for (FlvTagInfo& tag : m_tags) {
        if (TestAbort())
            return changed;
        if (tag.type == FLV_TAG_SCRIPT) {
            // A script tag belongs where it stands in the timeline: the
            // media around it may have moved. Its own time is not kept:
            // libavformat reads a metadata tag at a time other than 0 as a
            // packet of a stream of its own, so the metadata of a file whose
            // start the damage moved would add a stream to the copy.
            tag.timestamp = static_cast<uint32_t>(latest);
            continue;
        }
        const int kind = tag.type == FLV_TAG_VIDEO ? 1 : 0;
        if (first) {
            first = false;
            shift = -int64_t(tag.timestamp);
            changed = changed || tag.timestamp != 0;
        }
        int64_t t = int64_t(tag.timestamp) + shift;
        if (t < 0 || t < lastOf[kind] || t > latest + interval + kJumpTolerance) {
            const int64_t placed = (lastOf[0] < 0 && lastOf[1] < 0) ? 0 : latest + interval;
            shift += placed - t;
            t = placed;
            changed = true;
        }
        if (t > int64_t(std::numeric_limits<uint32_t>::max()))
            t = std::numeric_limits<uint32_t>::max();
        tag.asIs = tag.asIs && tag.timestamp == static_cast<uint32_t>(t);
        tag.timestamp = static_cast<uint32_t>(t);
        lastOf[kind] = t;
        latest = std::max(latest, t);
    }
    return changed;
}

double CFLVRepair::GetDuration(uint32_t interval) const
{
    // The end of the content: the latest presentation time of each stream
    // plus its usual frame interval.
    double end = 0;
    for (uint8_t type : {FLV_TAG_AUDIO, FLV_TAG_VIDEO}) {
        std::vector<uint32_t> times;
        int64_t latest = -1;
        for (const FlvTagInfo& tag : m_tags) {
            if (tag.type != type)
                continue;
            times.push_back(tag.timestamp);
            latest = std::max(latest, int64_t(tag.timestamp) + tag.composition);
        }
        if (latest < 0)
            continue;
        const uint32_t step = times.size() > 1 ? MedianStep(times) : interval;
        end = std::max(end, static_cast<double>(latest + step));
    }
    return end / 1000.0;
}

bool CFLVRepair::DurationIsWrong(double estimate) const
{
    for (const FlvScriptInfo& s : m_scripts) {
        if (!s.valid || !s.metadata)
            continue;
        if (s.durationAt < 0)
            return false;
        // A writer that could not seek back (a pipe, a live stream) leaves
        // duration and file size at 0: the duration is unknown, not wrong.
        if (s.duration == 0 && (s.filesizeAt < 0 || s.filesize == 0))
            return false;
        return !std::isfinite(s.duration) || std::fabs(s.duration - estimate) > kDurationTolerance;
    }
    return false;
}

// ---------------------------------------------------------------------------
// Rebuild

int64_t CFLVRepair::ScriptSize(const FlvTagInfo& tag, uint32_t keyframes) const
{
    const int64_t n = tag.end - tag.start - kTagHeaderSize;
    if (tag.script < 0)
        return -1;
    const FlvScriptInfo& s = m_scripts[static_cast<size_t>(tag.script)];
    if (!s.valid)
        return -1;
    if (!s.metadata || s.keyframesFrom < 0)
        return n;
    return n - (s.keyframesTo - s.keyframesFrom) + KeyframesValueSize(keyframes);
}

int CFLVRepair::RepairLevel1()
{
    if (!m_input || !m_output)
        return MEND_ERR_NO_STREAM;
    if (m_tags.empty())
        return MEND_ERR_UNREPAIRABLE;

    // Every output position is known before a byte is written: the index
    // points at the key-frame tags as they will stand.
    uint32_t k = 0;
    bool audio = false, video = false;
    for (const FlvTagInfo& tag : m_tags) {
        k += tag.keyframe ? 1 : 0;
        audio = audio || tag.type == FLV_TAG_AUDIO;
        video = video || tag.type == FLV_TAG_VIDEO;
    }
    // Every stream's set-up was lost with nothing to make it from: a copy
    // of the script tags alone would not play.
    if (!audio && !video)
        return MEND_ERR_UNREPAIRABLE;
    std::vector<uint32_t> sizes(m_tags.size(), 0);
    std::vector<int64_t> positions;
    std::vector<uint32_t> times;
    positions.reserve(k);
    times.reserve(k);
    int64_t pos = kFileHeaderSize + 4;
    for (size_t i = 0; i < m_tags.size(); ++i) {
        const FlvTagInfo& tag = m_tags[i];
        int64_t size = tag.made >= 0 ? static_cast<int64_t>(m_made[static_cast<size_t>(tag.made)].size())
                                     : tag.end - tag.start - kTagHeaderSize;
        if (tag.type == FLV_TAG_SCRIPT) {
            size = ScriptSize(tag, k);
            if (size < 0)
                continue;  // left out
        }
        // The rebuilt index must still fit the tag's u24 size: refuse
        // rather than wrap.
        if (size > kMaxDataSize)
            return MEND_ERR_UNREPAIRABLE;
        sizes[i] = static_cast<uint32_t>(size);
        if (tag.keyframe) {
            positions.push_back(pos);
            times.push_back(tag.timestamp);
        }
        pos += kTagHeaderSize + size + 4;
    }
    const int64_t fileSize = pos;

    // A header of its own: "FLV", version 1, the streams found, size 9,
    // and PreviousTagSize0.
    uint8_t header[kFileHeaderSize + 4] = {'F', 'L', 'V', 1, 0, 0, 0, 0, kFileHeaderSize, 0, 0, 0, 0};
    header[4] = uint8_t((audio ? 0x04 : 0) | (video ? 0x01 : 0));
    if (m_output->SeekTo(0) != 0)
        return MEND_ERR_WRITE;
    m_output->SetLength(0);
    if (m_output->Write(header, sizeof header) != sizeof header)
        return MEND_ERR_WRITE;

    for (size_t i = 0; i < m_tags.size(); ++i) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        const FlvTagInfo& tag = m_tags[i];
        int r;
        if (tag.type != FLV_TAG_SCRIPT && tag.asIs) {
            // A run of tags that follow each other unchanged is one copy.
            size_t last = i;
            while (last + 1 < m_tags.size() && m_tags[last + 1].asIs && m_tags[last + 1].type != FLV_TAG_SCRIPT &&
                   m_tags[last + 1].start == m_tags[last].end + 4)
                ++last;
            r = m_input->SeekTo(tag.start) == tag.start ? WriteToFile(m_tags[last].end + 4 - tag.start) : MEND_ERR_READ;
            i = last;
        } else if (tag.made >= 0)
            r = WriteMade(tag);
        else if (tag.type != FLV_TAG_SCRIPT)
            r = WriteTag(tag, sizes[i]);
        else if (ScriptSize(tag, k) < 0)
            r = 0;
        else
            r = WriteScript(tag, sizes[i], positions, times, fileSize);
        if (r < 0)
            return r;
    }
    return m_output->GetPos() == fileSize ? 0 : MEND_ERR_WRITE;
}

// The tag's 11-byte header with the new size and timestamp.
static void PatchHeader(uint8_t* h, uint32_t dataSize, uint32_t timestamp)
{
    PutBe24(h + 1, dataSize);
    PutBe24(h + 4, timestamp & 0xFFFFFF);
    h[7] = uint8_t(timestamp >> 24);
}

int CFLVRepair::WriteTag(const FlvTagInfo& tag, uint32_t dataSize)
{
    uint8_t h[kTagHeaderSize];
    if (m_input->SeekTo(tag.start) != tag.start || m_input->Read(h, sizeof h) != sizeof h)
        return MEND_ERR_READ;
    PatchHeader(h, dataSize, tag.timestamp);
    if (m_output->Write(h, sizeof h) != sizeof h)
        return MEND_ERR_WRITE;
    if (tag.newFlags >= 0 && dataSize > 0) {
        const uint8_t flags = static_cast<uint8_t>(tag.newFlags);
        const int64_t rest = tag.start + kTagHeaderSize + 1;
        if (m_output->Write(&flags, 1) != 1)
            return MEND_ERR_WRITE;
        if (m_input->SeekTo(rest) != rest)
            return MEND_ERR_READ;
    }
    int r = WriteToFile(tag.newFlags >= 0 && dataSize > 0 ? dataSize - 1 : dataSize);
    if (r < 0)
        return r;
    uint8_t previous[4];
    PutBe32(previous, dataSize + kTagHeaderSize);
    return m_output->Write(previous, 4) == 4 ? 0 : MEND_ERR_WRITE;
}

int CFLVRepair::WriteMade(const FlvTagInfo& tag)
{
    const std::vector<uint8_t>& data = m_made[static_cast<size_t>(tag.made)];
    const uint32_t size = static_cast<uint32_t>(data.size());
    uint8_t h[kTagHeaderSize] = {tag.type};
    PatchHeader(h, size, tag.timestamp);
    uint8_t previous[4];
    PutBe32(previous, size + kTagHeaderSize);
    if (m_output->Write(h, sizeof h) != sizeof h || m_output->Write(data.data(), size) != size ||
        m_output->Write(previous, 4) != 4)
        return MEND_ERR_WRITE;
    return 0;
}

int CFLVRepair::WriteScript(const FlvTagInfo& tag, uint32_t dataSize, const std::vector<int64_t>& positions,
                            const std::vector<uint32_t>& times, int64_t fileSize)
{
    const int64_t n = tag.end - tag.start - kTagHeaderSize;
    std::vector<uint8_t> in(static_cast<size_t>(kTagHeaderSize + n));
    if (m_input->SeekTo(tag.start) != tag.start ||
        m_input->Read(in.data(), static_cast<unsigned int>(in.size())) != in.size())
        return MEND_ERR_READ;
    uint8_t* data = in.data() + kTagHeaderSize;
    const FlvScriptInfo& s = m_scripts[static_cast<size_t>(tag.script)];
    std::vector<uint8_t> out;
    out.reserve(kTagHeaderSize + dataSize + 4);
    if (s.metadata) {
        if (s.durationAt >= 0)
            PutBeDouble(data + s.durationAt, m_duration);
        if (s.filesizeAt >= 0)
            PutBeDouble(data + s.filesizeAt, static_cast<double>(fileSize));
    }
    if (s.metadata && s.keyframesFrom >= 0) {
        out.insert(out.end(), in.begin(), in.begin() + kTagHeaderSize + s.keyframesFrom);
        const std::vector<uint8_t> index = KeyframesValue(positions, times);
        out.insert(out.end(), index.begin(), index.end());
        out.insert(out.end(), in.begin() + kTagHeaderSize + s.keyframesTo, in.end());
    } else {
        out.swap(in);
    }
    if (out.size() != static_cast<size_t>(kTagHeaderSize + dataSize))
        return MEND_ERR_UNREPAIRABLE;
    PatchHeader(out.data(), dataSize, tag.timestamp);
    uint8_t previous[4];
    PutBe32(previous, dataSize + kTagHeaderSize);
    out.insert(out.end(), previous, previous + 4);
    return m_output->Write(out.data(), static_cast<unsigned int>(out.size())) == out.size() ? 0 : MEND_ERR_WRITE;
}
