#include "repairers/WAVRepair.h"

#include <string.h>

#include <algorithm>

#include "core/Id3v2.h"
#include "core/StreamIO.h"

namespace {

constexpr uint32_t Id(const char (&s)[5])
{
    return uint32_t(uint8_t(s[0])) | (uint32_t(uint8_t(s[1])) << 8) | (uint32_t(uint8_t(s[2])) << 16) |
           (uint32_t(uint8_t(s[3])) << 24);
}

// Chunks that writers put in WAV files. Any well-formed chunk is kept; only
// these are trusted to end a damaged run.
const uint32_t kKnownIds[] = {
    Id("fmt "), Id("data"), Id("fact"), Id("LIST"), Id("JUNK"), Id("junk"), Id("bext"), Id("id3 "),
    Id("ID3 "), Id("PEAK"), Id("cue "), Id("smpl"), Id("inst"), Id("ds64"), Id("iXML"), Id("axml"),
    Id("cart"), Id("acid"), Id("PAD "), Id("FLLR"), Id("XMA2"), Id("SMV0"), Id("plst"), Id("DISP"),
    Id("umid"), Id("levl"), Id("minf"), Id("elm1"), Id("regn"), Id("afsp"),
};

bool Known(uint32_t id)
{
    return std::find(std::begin(kKnownIds), std::end(kKnownIds), id) != std::end(kKnownIds);
}

bool Printable(uint32_t id)
{
    for (int i = 0; i < 4; ++i) {
        const uint8_t c = uint8_t(id >> (8 * i));
        if (c < 0x20 || c > 0x7E)
            return false;
    }
    return true;
}

void PutLE16(uint8_t* b, uint16_t v)
{
    b[0] = uint8_t(v);
    b[1] = uint8_t(v >> 8);
}

void PutLE32(uint8_t* b, uint32_t v)
{
    PutLE16(b, uint16_t(v));
    PutLE16(b + 2, uint16_t(v >> 16));
}

constexpr int64_t kDataEndWindow = 4096;
constexpr int64_t kMaxRiffSize = 0xFFFFFFFFLL;

}  // namespace

// The tag of an "id3 " chunk ends with the chunk.
class CWAVRepair::CChunkEnd : public IId3Boundary {
public:
    explicit CChunkEnd(int64_t end) : m_end(end) {}
    bool EndsAt(int64_t pos) override { return pos >= m_end; }

private:
    int64_t m_end;
};

CWAVRepair::CWAVRepair(IBaseStream* in) : CBaseRepair(in)
{
    m_format = JRVP_FORMAT_WAV;
}

CWAVRepair::~CWAVRepair()
{
    CWAVRepair::Close();
}

void CWAVRepair::Close()
{
    m_chunks.clear();
    m_bad.clear();
    m_rf64 = false;
    m_ds64Data = 0;
    m_fmtFound = false;
    m_dataFound = false;
    m_blockAlign = 0;
    m_budget = 0;
    m_lastError = 0;
    m_zeroFrom = -1;
    m_riffStart = 0;
    m_pcm = false;
    m_fmtMended = false;
    CBaseRepair::Close();
}

bool CWAVRepair::ReadHeader(int64_t pos, uint32_t& id, uint32_t& size)
{
    uint8_t b[8];
    if (pos < 0 || 8 > m_inputLength - pos || m_input->SeekTo(pos) != pos || m_input->Read(b, 8) != 8)
        return false;
    id = LoadLE32(b);
    size = LoadLE32(b + 4);
    return true;
}

bool CWAVRepair::HeaderAt(int64_t pos, bool knownOnly)
{
    uint32_t id, size;
    if (!ReadHeader(pos, id, size) || !Printable(id) || (knownOnly && !Known(id)))
        return false;
    // A "data" size may be a placeholder; every other size must fit.
    return id == Id("data") || size <= m_inputLength - pos - 8;
}

int64_t CWAVRepair::PaddedEnd(int64_t end, bool odd)
{
    if (!odd || end >= m_inputLength)
        return end;
    if (end + 1 == m_inputLength || HeaderAt(end + 1, false))
        return end + 1;
    // A writer that left the pad byte out.
    if (HeaderAt(end, false))
        return end;
    return end + 1;
}

// For PCM the fields of a format are tied: a sample frame holds a sample
// of each channel, and a second holds rate sample frames. One field a
// damage took is worked out again from the others, when exactly one such
// mend makes every tie hold with values a recording has; two broken fields,
// or a mend that could be either of two fields, leave the format as it is.
bool CWAVRepair::MendPcmFields(uint16_t& channels, uint32_t& rate, uint32_t& byteRate, uint16_t& blockAlign,
                               uint16_t& bits)
{
    auto bytesOf = [](uint32_t b) { return (uint64_t(b) + 7u) / 8u; };
    auto holds = [&](uint64_t ch, uint64_t r, uint64_t br, uint64_t a, uint64_t b) {
        return ch > 0 && b > 0 && a == ch * bytesOf(static_cast<uint32_t>(b)) && br == r * a;
    };
    if (holds(channels, rate, byteRate, blockAlign, bits))
        return true;
    // Rates of real recordings; a damage leaves 0, 1 or a huge value.
    auto rateLike = [](uint64_t r) { return r >= 1000 && r <= 1536000; };
    const uint64_t ch = channels, r = rate, br = byteRate, a = blockAlign, b = bits;
    struct Mend {
        int field;
        uint64_t value;
    };
    std::vector<Mend> found;
    auto consider = [&](int field, uint64_t value, bool ok) {
        if (ok)
            found.push_back({field, value});
    };
    // Channels from the block size and a sample size of whole bytes.
    if (b > 0 && b % 8 == 0 && a % bytesOf(bits) == 0) {
        const uint64_t v = a / bytesOf(bits);
        consider(0, v, v > 0 && v <= 64 && v != ch && holds(v, r, br, a, b) && rateLike(r));
    }
    // The rate from the byte rate and the block size.
    if (a > 0 && br % a == 0) {
        const uint64_t v = br / a;
        consider(1, v, v != r && rateLike(v) && holds(ch, v, br, a, b));
    }
    // The byte rate from the rate and the block size.
    {
        const uint64_t v = r * a;
        consider(2, v, v != br && v <= 0xFFFFFFFFu && rateLike(r) && holds(ch, r, v, a, b));
    }
    // The block size from the channels and the sample size.
    {
        const uint64_t v = ch * bytesOf(bits);
        consider(3, v, v != a && v > 0 && v <= 0xFFFF && b % 8 == 0 && rateLike(r) && holds(ch, r, br, v, b));
    }
    // The sample size from the block size and the channels: whole bytes of
    // a size that PCM has.
    if (ch > 0 && a % ch == 0) {
        const uint64_t v = 8 * (a / ch);
        consider(4, v, v != b && (v == 8 || v == 16 || v == 24 || v == 32 || v == 64) && rateLike(r) &&
                           holds(ch, r, br, a, v));
    }
    if (found.size() != 1)
        return false;
    switch (found[0].field) {
    case 0: channels = static_cast<uint16_t>(found[0].value); break;
    case 1: rate = static_cast<uint32_t>(found[0].value); break;
    case 2: byteRate = static_cast<uint32_t>(found[0].value); break;
    case 3: blockAlign = static_cast<uint16_t>(found[0].value); break;
    default: bits = static_cast<uint16_t>(found[0].value); break;
    }
    return true;
}

bool CWAVRepair::CheckFmt(int64_t body, uint32_t size)
{
    uint8_t b[16];
    if (size < 16 || m_input->SeekTo(body) != body || m_input->Read(b, 16) != 16)
        return false;
    const uint16_t tag = uint16_t(b[0] | (b[1] << 8));
    uint16_t channels = uint16_t(b[2] | (b[3] << 8));
    uint32_t rate = LoadLE32(b + 4);
    uint32_t byteRate = LoadLE32(b + 8);
    uint16_t blockAlign = uint16_t(b[12] | (b[13] << 8));
    uint16_t bits = uint16_t(b[14] | (b[15] << 8));
    uint16_t codec = tag;
    uint16_t validBits = 0;
    if (tag == 0xFFFE) {
        // The extensible form names its codec in a GUID whose last twelve
        // bytes are fixed; anything else there is damage.
        static const uint8_t kGuidTail[12] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                              0x80, 0x00, 0x00, 0xAA, 0x00, 0x38};
        uint8_t x[24];
        if (size < 40 || m_input->Read(x, 24) != 24 || uint16_t(x[0] | (x[1] << 8)) < 22 ||
            memcmp(x + 10, kGuidTail, 12) != 0 || x[22] != 0x9B || x[23] != 0x71)
            return false;
        validBits = uint16_t(x[2] | (x[3] << 8));
        codec = uint16_t(x[8] | (x[9] << 8));
    }
    const bool pcm = codec == 1 || codec == 3;
    // Integer and float PCM: the byte rate and block size follow from the
    // channels and the sample size. Only the first format may be mended:
    // the rebuild writes that one.
    bool mended = false;
    if (pcm) {
        const uint16_t ch0 = channels, a0 = blockAlign, b0 = bits;
        const uint32_t r0 = rate, br0 = byteRate;
        if (!MendPcmFields(channels, rate, byteRate, blockAlign, bits))
            return false;
        mended = ch0 != channels || r0 != rate || br0 != byteRate || a0 != blockAlign || b0 != bits;
        if (mended && m_fmtFound)
            return false;
    }
    if (channels == 0 || rate == 0 || blockAlign == 0 || validBits > bits)
        return false;
    if (!m_fmtFound) {
        m_blockAlign = blockAlign;
        m_pcm = pcm;
        m_fmtMended = mended;
        if (mended) {
            memcpy(m_fmtFields, b, 2);
            PutLE16(m_fmtFields + 2, channels);
            PutLE32(m_fmtFields + 4, rate);
            PutLE32(m_fmtFields + 8, byteRate);
            PutLE16(m_fmtFields + 12, blockAlign);
            PutLE16(m_fmtFields + 14, bits);
        }
    }
    return true;
}

int64_t CWAVRepair::FindDataEnd(int64_t body, uint32_t declared)
{
    const int64_t len = m_inputLength;
    uint64_t size = declared;
    if (m_rf64 && declared == 0xFFFFFFFFu)
        size = m_ds64Data;
    // 0 and an all-ones size are what a writer leaves when it never came
    // back to fill the size in: the data runs to the end.
    if (size == 0 || (!m_rf64 && declared == 0xFFFFFFFFu) || size > uint64_t(len - body))
        return len;
    const int64_t e = body + int64_t(size);
    if (e == len || PaddedEnd(e, size & 1) == len || HeaderAt(PaddedEnd(e, size & 1), true) || HeaderAt(e, true))
        return e;
    // Nothing but zeros after the declared end (a file padded or extended
    // by its filesystem): the size was right.
    if (NextCandidate(e, len, &FindNonZero) == len) {
        m_zeroFrom = e;
        return e;
    }
    // The size is wrong: the data ends at a chunk near its declared end
    // that is followed by another chunk or by the end of the input.
    const int64_t lo = std::max(body, e - kDataEndWindow);
    const int64_t hi = std::min(len - 8, e + kDataEndWindow);
    for (int64_t c = lo; c <= hi; ++c) {
        uint32_t id, csize;
        if (!ReadHeader(c, id, csize) || !Known(id) || id == Id("data") || csize > len - c - 8)
            continue;
        const int64_t next = PaddedEnd(c + 8 + csize, csize & 1);
        if (next == len || HeaderAt(next, true))
            return c;
    }
    return len;
}

int CWAVRepair::WalkId3(Chunk& c, int64_t body, int64_t size)
{
    Id3v2Header h;
    if (!CId3v2Walk::ReadHeader(m_input.get(), body, body + size, h))
        return 0;  // kept as it is
    CChunkEnd boundary(body + size);
    Id3v2Layout layout;
    const int r = CId3v2Walk::Walk(m_input.get(), h, body + size, &boundary, &m_budget,
                                   [this] { return TestAbort(); }, layout);
    if (r == -3)
        return MEND_ERR_ABORTED;
    if (r == -9)
        return MEND_ERR_UNREPAIRABLE;
    c.id3Damaged = std::move(layout.damaged);
    for (const auto& run : c.id3Damaged)
        c.id3Removed += run.second - run.first;
    return 0;
}

int64_t CWAVRepair::ChunkAt(int64_t pos, bool resync)
{
    uint32_t id, size;
    if (!ReadHeader(pos, id, size) || !Printable(id) || (resync && !Known(id)))
        return 0;
    const int64_t body = pos + 8;
    Chunk c;
    c.id = id;
    c.pos = pos;
    if (id == Id("data") && !m_dataFound) {
        const int64_t end = FindDataEnd(body, size);
        int64_t kept = end - body;
        if (m_blockAlign > 0)
            kept -= kept % m_blockAlign;  // a sample frame cut off is lost
        c.body = kept;
        const uint64_t declared = (m_rf64 && size == 0xFFFFFFFFu) ? m_ds64Data : size;
        m_dataFound = true;
        if (uint64_t(kept) != declared)
            AddErrorAt(JRVP_DAMAGE_INDEX, pos);
        m_chunks.push_back(std::move(c));
        if (body + kept < end) {
            m_bad.emplace_back(body + kept, end);
            return end - pos;
        }
        return PaddedEnd(end, kept & 1) - pos;
    }
    if (size > m_inputLength - body)
        return 0;
    const int64_t next = PaddedEnd(body + size, size & 1);
    if (id == Id("fmt ")) {
        // Its fields confirm it, whatever follows.
        if (!CheckFmt(body, size))
            return 0;
        m_fmtFound = true;
    } else if (next < m_inputLength - 7 && !HeaderAt(next, resync)) {
        return 0;
    } else if (id == Id("id3 ") || id == Id("ID3 ")) {
        const int r = WalkId3(c, body, size);
        if (r < 0) {
            m_lastError = r;
            return 0;
        }
    }
    c.body = size;
    m_chunks.push_back(std::move(c));
    return next - pos;
}

int CWAVRepair::FindLeadingTag(Chunk& lead)
{
    const int64_t len = m_inputLength;
    uint32_t leadId = 0, leadSize = 0;
    if (!ReadHeader(0, leadId, leadSize) || leadId != Id("id3 ") || leadSize > len - 8 - 12)
        return 0;
    const int64_t end = 8 + int64_t(leadSize);
    uint8_t r[4];
    // The pad byte of an odd size, when the writer put one.
    for (int64_t at : {end, end + 1}) {
        if (at <= len - 12 && m_input->SeekTo(at) == at && m_input->Read(r, 4) == 4 &&
            (memcmp(r, "RIFF", 4) == 0 || memcmp(r, "RF64", 4) == 0)) {
            m_riffStart = at;
            break;
        }
    }
    if (m_riffStart == 0)
        return 0;
    lead.id = leadId;
    lead.pos = 0;
    lead.body = leadSize;
    return WalkId3(lead, 8, leadSize);
}

int CWAVRepair::ReadForm(uint64_t& riffSize)
{
    const int64_t len = m_inputLength;
    const int64_t riff = m_riffStart;
    uint8_t b[12];
    if (len - riff < 12 || m_input->SeekTo(riff) != riff || m_input->Read(b, 12) != 12 ||
        memcmp(b + 8, "WAVE", 4) != 0)
        return MEND_ERR_NOT_CONTAINER;
    m_rf64 = memcmp(b, "RF64", 4) == 0;
    if (!m_rf64 && memcmp(b, "RIFF", 4) != 0)
        return MEND_ERR_NOT_CONTAINER;
    riffSize = LoadLE32(b + 4);
    if (m_rf64) {
        uint8_t d[28];
        if (len - riff < 12 + 28 || m_input->Read(d, 28) != 28 || memcmp(d, "ds64", 4) != 0 || LoadLE32(d + 4) < 24)
            return MEND_ERR_NOT_CONTAINER;
        riffSize = LoadLE32(d + 8) | (uint64_t(LoadLE32(d + 12)) << 32);
        m_ds64Data = LoadLE32(d + 16) | (uint64_t(LoadLE32(d + 20)) << 32);
    }
    return 0;
}

int CWAVRepair::WalkChunks()
{
    const int64_t len = m_inputLength;
    int64_t p = m_riffStart + 12;
    bool good = true;
    int64_t runStart = p;
    while (p < len) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        if (--m_budget < 0)
            return MEND_ERR_UNREPAIRABLE;
        // A tail already known to hold only zeros is not walked again.
        if (len - p < 8 || (m_zeroFrom >= 0 && p >= m_zeroFrom))
            break;
        const size_t runsBefore = m_bad.size();
        const int64_t n = ChunkAt(p, !good);
        if (m_lastError < 0)
            return m_lastError;
        if (n > 0) {
            if (!good) {
                // The run comes before anything the chunk itself recorded.
                m_bad.insert(m_bad.begin() + runsBefore, {runStart, p});
                good = true;
            }
            p += n;
            continue;
        }
        if (good) {
            good = false;
            runStart = p;
        }
        // A chunk id starts with a printable byte.
        p = NextCandidate(p + 1, len, [](const uint8_t* b, size_t n) -> const uint8_t* {
            for (size_t i = 0; i < n; ++i)
                if (b[i] >= 0x20 && b[i] <= 0x7E)
                    return b + i;
            return nullptr;
        });
        if (p < 0)
            return static_cast<int>(p);
    }
    if (!good)
        m_bad.emplace_back(runStart, len);
    else if (p < len)
        m_bad.emplace_back(p, len);
    return 0;
}

void CWAVRepair::RecordDamage(uint64_t riffSize)
{
    for (const auto& run : m_bad)
        AddError(JRVP_DAMAGE_SEGMENT, std::make_unique<VPInvalidDataSegment>(run.first, run.second));
    for (const Chunk& c : m_chunks)
        for (const auto& run : c.id3Damaged)
            AddError(JRVP_DAMAGE_SEGMENT, std::make_unique<VPInvalidDataSegment>(run.first, run.second));
    if (riffSize != uint64_t(m_inputLength - m_riffStart - 8))
        AddErrorAt(JRVP_DAMAGE_INDEX, m_riffStart + 4);
    if (FactCount() >= 0)
        AddErrorAt(JRVP_DAMAGE_INDEX, FactChunk()->pos);
    if (m_fmtMended) {
        for (const Chunk& c : m_chunks)
            if (c.id == Id("fmt ")) {
                AddErrorAt(JRVP_DAMAGE_STRUCTURE, c.pos);
                break;
            }
    }
}

int CWAVRepair::Open()
{
    if (!m_input)
        return MEND_ERR_NO_STREAM;
    CWAVRepair::Close();
    // Every pass moves at least one byte.
    m_budget = m_inputLength + 1024;
    // Some writers put an "id3 " chunk in front of the form.
    Chunk lead;
    uint64_t riffSize = 0;
    int r = FindLeadingTag(lead);
    if (r == 0)
        r = ReadForm(riffSize);
    if (r == 0)
        r = WalkChunks();
    if (r < 0)
        return r;
    if (!m_fmtFound || !m_dataFound)
        return MEND_ERR_UNREPAIRABLE;
    // The leading tag moves into the form, behind the other chunks: a
    // reader finds "RIFF" at the start of the repaired file.
    if (m_riffStart > 0)
        m_chunks.push_back(std::move(lead));
    RecordDamage(riffSize);
    return 0;
}

const CWAVRepair::Chunk* CWAVRepair::FirstFmt() const
{
    for (const Chunk& c : m_chunks)
        if (c.id == Id("fmt "))
            return &c;
    return nullptr;
}

const CWAVRepair::Chunk* CWAVRepair::FactChunk() const
{
    for (const Chunk& c : m_chunks)
        if (c.id == Id("fact") && c.body >= 4)
            return &c;
    return nullptr;
}

int64_t CWAVRepair::FactCount()
{
    // Only for PCM does the count follow from the bytes; a compressed
    // codec's count is left as its writer gave it.
    const Chunk* fact = FactChunk();
    if (!fact || !m_pcm || m_blockAlign == 0)
        return -1;
    const Chunk* data = nullptr;
    for (const Chunk& c : m_chunks)
        if (c.id == Id("data"))
            data = &c;
    uint8_t b[4];
    if (!data || m_input->SeekTo(fact->pos + 8) != fact->pos + 8 || m_input->Read(b, 4) != 4)
        return -1;
    const int64_t count = data->body / m_blockAlign;
    if (count > 0xFFFFFFFFLL || uint32_t(count) == LoadLE32(b))
        return -1;
    return count;
}

bool CWAVRepair::Rebuilt(const Chunk& c)
{
    // The rebuild writes a plain RIFF form; a tag whose frames all went
    // is no tag.
    return c.id != Id("ds64") && !(c.id3Removed > 0 && c.body - c.id3Removed < 11);
}

int64_t CWAVRepair::RebuiltFormSize() const
{
    int64_t total = 4;  // "WAVE"
    for (const Chunk& c : m_chunks) {
        if (!Rebuilt(c))
            continue;
        const int64_t body = c.body - c.id3Removed;
        total += 8 + body + (body & 1);
    }
    return total;
}

int CWAVRepair::RepairLevel1()
{
    if (!m_input || !m_output)
        return MEND_ERR_NO_STREAM;
    // Sizes are 32-bit: a form that does not fit is refused, never wrapped.
    const int64_t form = RebuiltFormSize();
    if (form > kMaxRiffSize)
        return MEND_ERR_UNREPAIRABLE;
    uint8_t header[12];
    memcpy(header, "RIFF", 4);
    const uint32_t formSize = static_cast<uint32_t>(form);
    memcpy(header + 4, &formSize, 4);
    memcpy(header + 8, "WAVE", 4);
    if (m_output->SeekTo(0) != 0 || m_output->Write(header, 12) != 12)
        return MEND_ERR_WRITE;
    for (const Chunk& c : m_chunks) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        if (!Rebuilt(c))
            continue;
        const int64_t body = c.body - c.id3Removed;
        const uint32_t size = static_cast<uint32_t>(body);
        if (!WriteField(m_output, c.id) || !WriteField(m_output, size))
            return MEND_ERR_WRITE;
        const int64_t start = m_output->GetPos();
        int r = CopyExcept(c.pos + 8, c.pos + 8 + c.body, c.id3Damaged);
        if (r < 0)
            return r;
        if (m_fmtMended && c.id == Id("fmt ") && &c == FirstFmt()) {
            // The format's tied fields as the mend worked them out.
            const int64_t end = m_output->GetPos();
            if (m_output->SeekTo(start) != start || m_output->Write(m_fmtFields, 16) != 16 ||
                m_output->SeekTo(end) != end)
                return MEND_ERR_WRITE;
        }
        if (&c == FactChunk() && FactCount() >= 0) {
            // The sample count follows the data that was kept.
            const uint32_t count = static_cast<uint32_t>(FactCount());
            const int64_t end = m_output->GetPos();
            if (m_output->SeekTo(start) != start || !WriteField(m_output, count) || m_output->SeekTo(end) != end)
                return MEND_ERR_WRITE;
        }
        if (c.id3Removed > 0) {
            // The tag lost frames: its own size follows.
            uint8_t s[4];
            EncodeSyncsafe(static_cast<uint32_t>(std::min<int64_t>(body - 10, 0x0FFFFFFF)), s);
            const int64_t end = m_output->GetPos();
            if (m_output->SeekTo(start + 6) != start + 6 || m_output->Write(s, 4) != 4 ||
                m_output->SeekTo(end) != end)
                return MEND_ERR_WRITE;
        }
        if (body & 1) {
            const uint8_t pad = 0;
            if (!WriteField(m_output, pad))
                return MEND_ERR_WRITE;
        }
    }
    SolveError(JRVP_DAMAGE_SEGMENT);
    SolveError(JRVP_DAMAGE_STRUCTURE);
    return 0;
}

int CWAVRepair::RepairLevel2()
{
    return MEND_ERR_CANNOT_REPAIR;
}

int CWAVRepair::RepairLevel3(const char*)
{
    return MEND_ERR_CANNOT_REPAIR;
}
