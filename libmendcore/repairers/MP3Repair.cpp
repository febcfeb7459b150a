#include "repairers/MP3Repair.h"

#include <string.h>

#include <algorithm>

#include "core/StreamIO.h"

namespace {

// Bit rates in kbit/s by bitrate index: MPEG-1 layers I, II, III, then
// MPEG-2/2.5 layer I, then MPEG-2/2.5 layers II and III.
const int kBitRates[5][16] = {
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
};

const int kSampleRates[4][3] = {
    {11025, 12000, 8000},  // MPEG-2.5
    {0, 0, 0},             // reserved
    {22050, 24000, 16000}, // MPEG-2
    {44100, 48000, 32000}, // MPEG-1
};

// The Xing/Info header follows the frame header and the side information.
int XingOffset(const MpegFrameHeader& h)
{
    const bool mono = h.channelMode == 3;
    if (h.version == 3)
        return mono ? 21 : 36;
    return mono ? 13 : 21;
}

// CRC-16 (polynomial 0x8005, reflected, initial value 0): what a LAME tag
// keeps over the first 190 bytes of its frame.
uint16_t Crc16(const uint8_t* p, size_t n)
{
    uint16_t crc = 0;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
    }
    return crc;
}

constexpr int kLameCrcAt = 190;
constexpr int64_t kRecognitionWindow = 10240;
constexpr int64_t kMaxTagSize = 0x0FFFFFFF;

}  // namespace

bool DecodeMpegFrameHeader(const uint8_t b[4], MpegFrameHeader& h)
{
    if (b[0] != 0xFF || (b[1] & 0xE0) != 0xE0)
        return false;
    h.version = (b[1] >> 3) & 3;
    h.layer = (b[1] >> 1) & 3;
    const int bitrateIndex = b[2] >> 4;
    h.sampleRateIndex = (b[2] >> 2) & 3;
    const int padding = (b[2] >> 1) & 1;
    h.channelMode = b[3] >> 6;
    if (h.version == 1 || h.layer == 0 || bitrateIndex == 0 || bitrateIndex == 15 || h.sampleRateIndex == 3 ||
        (b[3] & 3) == 2)
        return false;
    h.sampleRate = kSampleRates[h.version][h.sampleRateIndex];
    const bool mpeg1 = h.version == 3;
    int row;
    if (mpeg1)
        row = 3 - h.layer;  // layer I 0, II 1, III 2
    else
        row = h.layer == 3 ? 3 : 4;
    const int64_t bitRate = int64_t(kBitRates[row][bitrateIndex]) * 1000;
    int64_t length;
    if (h.layer == 3)
        length = (12 * bitRate / h.sampleRate + padding) * 4;
    else if (h.layer == 2 || mpeg1)
        length = 144 * bitRate / h.sampleRate + padding;
    else
        length = 72 * bitRate / h.sampleRate + padding;
    h.length = static_cast<int>(length);
    return h.length > 4;
}

// The audio starts where frames follow each other; asked by the ID3v2 walk.
class CMP3Repair::CAudioBoundary : public IId3Boundary {
public:
    explicit CAudioBoundary(CMP3Repair* owner) : m_owner(owner) {}
    bool EndsAt(int64_t pos) override { return m_owner->FindFirstFrame(pos, pos + 1) == pos; }

private:
    CMP3Repair* m_owner;
};

CMP3Repair::CMP3Repair(IBaseStream* in) : CBaseRepair(in)
{
    m_format = JRVP_FORMAT_MP3;
}

CMP3Repair::~CMP3Repair()
{
    CMP3Repair::Close();
}

void CMP3Repair::Close()
{
    m_refSet = false;
    m_ref = MpegFrameHeader();
    m_hasId3 = false;
    m_id3 = Id3v2Header();
    m_tagEnd = 0;
    m_tagSizeWrong = false;
    m_firstFrame = 0;
    m_audioEnd = 0;
    m_frameCount = 0;
    m_budget = 0;
    m_bad.clear();
    m_xingOffset = 0;
    m_xingFlags = 0;
    m_lameCrcValid = false;
    m_firstFrameBytes.clear();
    m_vbriOffset = 0;
    m_frameMarks.clear();
    m_markStep = 1;
    CBaseRepair::Close();
}

int CMP3Repair::FrameLengthAt(int64_t pos)
{
    const uint8_t* b = PeekInput(pos, 4);
    if (!b)
        return 0;
    MpegFrameHeader h;
    if (!DecodeMpegFrameHeader(b, h))
        return 0;
    if (m_refSet && (h.version != m_ref.version || h.layer != m_ref.layer ||
                     h.sampleRateIndex != m_ref.sampleRateIndex))
        return 0;
    return h.length;
}

int64_t CMP3Repair::TrailingTagAt(int64_t pos)
{
    const int64_t left = m_inputLength - pos;
    if (pos < 0 || left < 3)
        return 0;
    const unsigned n = static_cast<unsigned>(std::min<int64_t>(left, 32));
    const uint8_t* b = PeekInput(pos, n);
    if (!b)
        return 0;
    if (memcmp(b, "TAG", 3) == 0 && left >= 128)
        return 128;
    if (n == 32 && memcmp(b, "APETAGEX", 8) == 0) {
        const uint32_t version = LoadLE32(b + 8);
        const uint32_t size = LoadLE32(b + 12);
        const uint32_t flags = LoadLE32(b + 20);
        if (version != 1000 && version != 2000)
            return 0;
        // A header counts the items and the footer after it; a footer
        // stands alone.
        const int64_t total = (flags & (1u << 29)) ? 32 + int64_t(size) : 32;
        return total <= left ? total : 0;
    }
    return 0;
}

int CMP3Repair::AcceptFrame(int64_t pos, bool resync, int known, int* nextLength)
{
    if (nextLength)
        *nextLength = 0;
    const int len = known > 0 ? known : FrameLengthAt(pos);
    if (len == 0 || len > m_inputLength - pos)
        return 0;
    const int64_t next = pos + len;
    if (m_inputLength - next < 4)
        return len;
    const int len2 = FrameLengthAt(next);
    if (nextLength)
        *nextLength = len2;
    if (len2 == 0)
        return TrailingTagAt(next) > 0 ? len : 0;
    if (!resync)
        return len;
    const int64_t after = next + len2;
    if (m_inputLength - after < 4 || FrameLengthAt(after) > 0 || TrailingTagAt(after) > 0)
        return len;
    return 0;
}

int64_t CMP3Repair::FindFirstFrame(int64_t from, int64_t limit)
{
    limit = std::min(limit, m_inputLength);
    const bool hadRef = m_refSet;
    const MpegFrameHeader oldRef = m_ref;
    for (int64_t p = from; p < limit; ++p) {
        MpegFrameHeader h;
        const uint8_t* b = PeekInput(p, 4);
        if (!b)
            break;
        if (!DecodeMpegFrameHeader(b, h))
            continue;
        // Judge what follows with this header as the stream's own.
        m_ref = h;
        m_refSet = true;
        if (AcceptFrame(p, true) > 0)
            return p;
        m_refSet = hadRef;
        m_ref = oldRef;
    }
    return -1;
}

int CMP3Repair::ReadTag()
{
    if (!CId3v2Walk::ReadHeader(m_input.get(), 0, m_inputLength, m_id3))
        return 0;
    m_hasId3 = true;
    int64_t declaredEnd = 10 + int64_t(m_id3.declaredSize);
    if (m_id3.major == 4 && (m_id3.flags & 0x10))
        declaredEnd += 10;  // the footer
    if (declaredEnd <= m_inputLength && FindFirstFrame(declaredEnd, declaredEnd + 1) == declaredEnd) {
        m_tagEnd = declaredEnd;
        return 0;
    }
    // The declared size does not lead to the audio: the frames say where
    // the tag ends.
    CAudioBoundary boundary(this);
    Id3v2Layout layout;
    const int64_t limit = std::min(m_inputLength, m_id3.framesStart + kMaxTagSize);
    int r = CId3v2Walk::Walk(m_input.get(), m_id3, limit, &boundary, &m_budget,
                             [this] { return TestAbort(); }, layout);
    if (r == -3)
        return MEND_ERR_ABORTED;
    if (r == -9)
        return MEND_ERR_UNREPAIRABLE;
    if (r != 0)
        return MEND_ERR_NOT_CONTAINER;  // a tag with no audio after it
    m_tagEnd = layout.end;
    m_tagSizeWrong = true;
    m_bad = std::move(layout.damaged);
    // The boundary settled the stream's parameters at the tag's end.
    return FindFirstFrame(m_tagEnd, m_tagEnd + 1) == m_tagEnd ? 0 : MEND_ERR_NOT_CONTAINER;
}

int CMP3Repair::WalkAudio()
{
    int64_t p = m_firstFrame;
    int64_t lastEnd = p;
    int64_t runStart = p;
    bool good = true;
    uint32_t count = 0;
    // Each frame's check reads the header after it: the next step starts
    // from that length instead of reading the header again.
    int known = 0;
    while (p < m_inputLength) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        if (--m_budget < 0)
            return MEND_ERR_UNREPAIRABLE;
        int next = 0;
        const int len = AcceptFrame(p, !good, known, &next);
        known = len > 0 ? next : 0;
        if (len > 0) {
            if (!good)
                m_bad.emplace_back(runStart, p);
            good = true;
            MarkFrame(count, p);
            ++count;
            p += len;
            lastEnd = p;
            continue;
        }
        if (good) {
            good = false;
            runStart = p;
        }
        // Only a 0xFF byte can start a frame.
        p = NextCandidate(p + 1, m_inputLength, &FindByteFF);
        if (p < 0)
            return static_cast<int>(p);
    }
    m_frameCount = count;
    m_audioEnd = lastEnd;
    return 0;
}

void CMP3Repair::MarkFrame(uint32_t index, int64_t pos)
{
    // Every m_markStep-th frame start, for a seek table: when the marks
    // fill their room, every other one goes and the step doubles, so the
    // memory stays the same however long the file.
    if (index % m_markStep != 0)
        return;
    if (m_frameMarks.size() >= kMaxFrameMarks) {
        size_t k = 0;
        for (size_t i = 0; i < m_frameMarks.size(); i += 2)
            m_frameMarks[k++] = m_frameMarks[i];
        m_frameMarks.resize(k);
        m_markStep *= 2;
        if (index % m_markStep != 0)
            return;
    }
    m_frameMarks.push_back(pos);
}

int64_t CMP3Repair::RemovedBefore(int64_t pos) const
{
    int64_t removed = 0;
    for (const auto& run : m_bad) {
        if (run.first >= pos)
            break;
        if (run.second > m_firstFrame)
            removed += std::min(run.second, pos) - std::max(run.first, m_firstFrame);
    }
    return removed;
}

void CMP3Repair::FindTrailingTags(int64_t lastFrameEnd)
{
    int64_t e = lastFrameEnd;
    for (int64_t t; e < m_inputLength && (t = TrailingTagAt(e)) > 0;)
        e += t;
    if (e == lastFrameEnd && m_inputLength - e > 128 && TrailingTagAt(m_inputLength - 128) == 128) {
        // Damage between the audio and an ID3v1 tag at the very end.
        m_bad.emplace_back(e, m_inputLength - 128);
        e = m_inputLength;
    }
    if (e < m_inputLength)
        m_bad.emplace_back(e, m_inputLength);
}

void CMP3Repair::FindXing()
{
    const int len = FrameLengthAt(m_firstFrame);
    uint8_t b[4];
    MpegFrameHeader h;
    if (len == 0 || m_input->SeekTo(m_firstFrame) != m_firstFrame || m_input->Read(b, 4) != 4 ||
        !DecodeMpegFrameHeader(b, h))
        return;
    const int want = std::min(len, kLameCrcAt + 2);
    m_firstFrameBytes.resize(want);
    if (m_input->SeekTo(m_firstFrame) != m_firstFrame ||
        m_input->Read(m_firstFrameBytes.data(), want) != static_cast<unsigned>(want)) {
        m_firstFrameBytes.clear();
        return;
    }
    // A VBRI header stands 32 bytes after the frame header.
    if (kVbriAt + kVbriSize <= want && memcmp(&m_firstFrameBytes[kVbriAt], "VBRI", 4) == 0) {
        m_vbriOffset = kVbriAt;
        if (m_frameCount > 0)
            --m_frameCount;
        return;
    }
    const int o = XingOffset(h);
    if (o + 8 > want || (memcmp(&m_firstFrameBytes[o], "Xing", 4) != 0 && memcmp(&m_firstFrameBytes[o], "Info", 4) != 0))
        return;
    m_xingOffset = o;
    m_xingFlags = LoadBE32(&m_firstFrameBytes[o + 4]);
    m_lameCrcValid = want == kLameCrcAt + 2 &&
                     Crc16(m_firstFrameBytes.data(), kLameCrcAt) ==
                         ((m_firstFrameBytes[kLameCrcAt] << 8) | m_firstFrameBytes[kLameCrcAt + 1]);
    // The Info frame holds no audio: it is not one of the frames it counts.
    if (m_frameCount > 0)
        --m_frameCount;
}

int CMP3Repair::Open()
{
    if (!m_input)
        return MEND_ERR_NO_STREAM;
    CMP3Repair::Close();
    // Every pass of the walks moves at least one byte.
    m_budget = m_inputLength + 1024;
    int r = ReadTag();
    if (r < 0)
        return r;
    if (m_hasId3) {
        m_firstFrame = m_tagEnd;
    } else {
        const int64_t first = FindFirstFrame(0, kRecognitionWindow);
        if (TestAbort())
            return MEND_ERR_ABORTED;
        if (first < 0)
            return MEND_ERR_NOT_CONTAINER;
        if (first > 0)
            m_bad.emplace_back(0, first);
        m_firstFrame = first;
    }
    r = WalkAudio();
    if (r < 0)
        return r;
    FindTrailingTags(m_audioEnd);
    FindXing();

    for (const auto& run : m_bad)
        AddError(JRVP_DAMAGE_SEGMENT, std::make_unique<VPInvalidDataSegment>(run.first, run.second));
    if (m_tagSizeWrong)
        AddErrorAt(JRVP_DAMAGE_INDEX, 0);
    // An Info header that counts other frames or bytes than there are.
    if (m_xingOffset > 0) {
        int64_t removed = 0;
        for (const auto& run : m_bad)
            if (run.first >= m_firstFrame && run.second <= m_audioEnd)
                removed += run.second - run.first;
        const uint8_t* f = m_firstFrameBytes.data() + m_xingOffset + 8;
        const int room = static_cast<int>(m_firstFrameBytes.size()) - m_xingOffset - 8;
        bool stale = false;
        if ((m_xingFlags & 1) && room >= 4) {
            stale = stale || LoadBE32(f) != m_frameCount;
            f += 4;
        }
        if ((m_xingFlags & 2) && room >= 8)
            stale = stale || LoadBE32(f) != uint64_t(m_audioEnd - m_firstFrame - removed);
        if (stale)
            AddError(JRVP_DAMAGE_TIMING);
    }
    if (m_vbriOffset > 0) {
        const uint8_t* v = m_firstFrameBytes.data() + m_vbriOffset;
        if (LoadBE32(v + 10) != uint64_t(m_audioEnd - m_firstFrame - RemovedBefore(m_audioEnd)) ||
            LoadBE32(v + 14) != m_frameCount)
            AddError(JRVP_DAMAGE_TIMING);
    }
    return 0;
}

void CMP3Repair::RebuildToc(uint8_t* toc, int64_t bytes) const
{
    // Entry i: where the frame at i % of the audio starts, in 256ths of
    // the audio's bytes, counted in the repaired file.
    for (int i = 0; i < 100; ++i) {
        // The walk counted the header frame as frame 0.
        const uint64_t frame = uint64_t(i) * m_frameCount / 100 + 1;
        const size_t mark = std::min<size_t>(frame / m_markStep, m_frameMarks.size() - 1);
        const int64_t pos = m_frameMarks[mark];
        const int64_t out = pos - m_firstFrame - RemovedBefore(pos);
        const int64_t v = bytes > 0 ? out * 256 / bytes : 0;
        toc[i] = static_cast<uint8_t>(std::min<int64_t>(std::max<int64_t>(v, 0), 255));
        if (i > 0 && toc[i] < toc[i - 1])
            toc[i] = toc[i - 1];
    }
}

int CMP3Repair::PatchXing(int64_t outFirst, int64_t removed)
{
    const int64_t bytes = m_audioEnd - m_firstFrame - removed;
    std::vector<uint8_t> frame = m_firstFrameBytes;
    if (m_vbriOffset > 0) {
        // Its counts follow the audio kept; its own seek table, which
        // names the old positions, is emptied.
        uint8_t* v = &frame[m_vbriOffset];
        if (bytes > 0xFFFFFFFF)
            return 0;
        StoreBE32(v + 10, static_cast<uint32_t>(bytes));
        StoreBE32(v + 14, m_frameCount);
        v[18] = v[19] = 0;
        const int64_t end = m_output->GetPos();
        if (m_output->SeekTo(outFirst) != outFirst ||
            m_output->Write(frame.data(), static_cast<unsigned>(frame.size())) != frame.size())
            return MEND_ERR_WRITE;
        return m_output->SeekTo(end) == end ? 0 : MEND_ERR_WRITE;
    }
    if (m_xingOffset == 0 || !(m_xingFlags & 7))
        return 0;
    size_t at = m_xingOffset + 8;
    // The seek table is rebuilt only when the audio changed: a writer's own
    // table of an intact stream stays as it was.
    bool changed = false;
    if ((m_xingFlags & 1) && at + 4 <= frame.size()) {
        changed = changed || LoadBE32(&frame[at]) != m_frameCount;
        StoreBE32(&frame[at], m_frameCount);
        at += 4;
    }
    if ((m_xingFlags & 2) && at + 4 <= frame.size() && bytes <= 0xFFFFFFFF) {
        changed = changed || LoadBE32(&frame[at]) != uint64_t(bytes);
        StoreBE32(&frame[at], static_cast<uint32_t>(bytes));
    }
    if (m_xingFlags & 2)
        at += 4;
    if (changed && (m_xingFlags & 4) && at + 100 <= frame.size() && !m_frameMarks.empty() && m_frameCount > 0)
        RebuildToc(&frame[at], bytes);
    if (m_lameCrcValid) {
        const uint16_t crc = Crc16(frame.data(), kLameCrcAt);
        frame[kLameCrcAt] = uint8_t(crc >> 8);
        frame[kLameCrcAt + 1] = uint8_t(crc);
    }
    const int64_t end = m_output->GetPos();
    if (m_output->SeekTo(outFirst) != outFirst)
        return MEND_ERR_WRITE;
    if (m_output->Write(frame.data(), static_cast<unsigned>(frame.size())) != frame.size())
        return MEND_ERR_WRITE;
    return m_output->SeekTo(end) == end ? 0 : MEND_ERR_WRITE;
}

int CMP3Repair::RepairLevel1()
{
    if (!m_input || !m_output)
        return MEND_ERR_NO_STREAM;
    if (m_output->SeekTo(0) != 0)
        return MEND_ERR_WRITE;
    if (m_hasId3) {
        int r = CopyExcept(0, m_tagEnd, m_bad);
        if (r < 0)
            return r;
        const int64_t tagEnd = m_output->GetPos();
        const int64_t size = tagEnd - 10;
        if (size < 0 || size > kMaxTagSize)
            return MEND_ERR_UNREPAIRABLE;
        uint8_t b[4];
        EncodeSyncsafe(static_cast<uint32_t>(size), b);
        if (m_output->SeekTo(6) != 6 || m_output->Write(b, 4) != 4 || m_output->SeekTo(tagEnd) != tagEnd)
            return MEND_ERR_WRITE;
    }
    const int64_t outFirst = m_output->GetPos();
    int64_t removed = 0;
    int r = CopyExcept(m_firstFrame, m_audioEnd, m_bad, &removed);
    if (r < 0)
        return r;
    r = CopyExcept(m_audioEnd, m_inputLength, m_bad);
    if (r < 0)
        return r;
    r = PatchXing(outFirst, removed);
    if (r < 0)
        return r;
    SolveError(JRVP_DAMAGE_SEGMENT);
    return 0;
}

int CMP3Repair::RepairLevel2()
{
    return MEND_ERR_CANNOT_REPAIR;
}

int CMP3Repair::RepairLevel3(const char*)
{
    return MEND_ERR_CANNOT_REPAIR;
}
