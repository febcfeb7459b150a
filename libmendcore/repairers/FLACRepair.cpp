#include "repairers/FLACRepair.h"

#include <string.h>

#include <algorithm>

#include "core/Crc.h"
#include "core/StreamIO.h"

#include "core/AvLibs.h"

namespace {

constexpr int64_t kStreamInfoSize = 34;
constexpr uint8_t kTypeStreamInfo = 0;
constexpr uint8_t kTypePadding = 1;
constexpr uint8_t kTypeSeekTable = 3;
constexpr uint8_t kLastKnownType = 6;  // PICTURE
// Sync, two code bytes, a 7-byte number, 2 + 2 bytes of size and rate,
// the CRC-8.
constexpr size_t kMaxHeaderSize = 16;
// The largest frame STREAMINFO can declare (24 bits).
constexpr int64_t kMaxFrameBytes = 0xFFFFFF;

const uint16_t blockSizeArray[16] = {0, 192, 576, 1152, 2304, 4608, 0, 0,
                                     256, 512, 1024, 2048, 4096, 8192, 16384, 32768};
const uint32_t sampleRateArray[16] = {0, 88200, 176400, 192000, 8000, 16000, 22050, 24000,
                                      32000, 44100, 48000, 96000, 0, 0, 0, 0};
const uint8_t sampleSizeArray[8] = {0, 8, 12, 0, 16, 20, 24, 0};

uint32_t BE(const uint8_t* p, int n)
{
    uint32_t v = 0;
    for (int i = 0; i < n; ++i)
        v = v << 8 | p[i];
    return v;
}

// The frame or sample number, coded in the UTF-8 manner (1 to 7 bytes):
// its length, or 0 when the bytes are no such number.
size_t CodedNumberLength(const uint8_t* b, size_t avail)
{
    if (avail < 1)
        return 0;
    const uint8_t first = b[0];
    size_t n;
    if (first < 0x80)
        n = 1;
    else if (first >= 0xC0 && first < 0xE0)
        n = 2;
    else if (first >= 0xE0 && first < 0xF0)
        n = 3;
    else if (first >= 0xF0 && first < 0xF8)
        n = 4;
    else if (first >= 0xF8 && first < 0xFC)
        n = 5;
    else if (first >= 0xFC && first < 0xFE)
        n = 6;
    else if (first == 0xFE)
        n = 7;
    else
        return 0;
    if (avail < n)
        return 0;
    for (size_t i = 1; i < n; ++i)
        if ((b[i] & 0xC0) != 0x80)
            return 0;
    return n;
}

}  // namespace

// Decodes one frame with libavcodec: the proof that a span whose checksum
// is 0 ends where the frame ends. A span cut short makes the decoder read
// past it, which it reports as an error.
class CFlacFrameCheck {
public:
    // av is libavcodec's table, never null.
    CFlacFrameCheck(const AvCodecLib* av, const uint8_t* streamInfo) : m_av(av)
    {
        const AVCodec* codec = m_av->avcodec_find_decoder(AV_CODEC_ID_FLAC);
        m_context = codec ? m_av->avcodec_alloc_context3(codec) : nullptr;
        m_packet = m_av->av_packet_alloc();
        m_frame = m_av->av_frame_alloc();
        if (!m_context || !m_packet || !m_frame)
            return;
        m_context->extradata =
            static_cast<uint8_t*>(m_av->av_mallocz(kStreamInfoSize + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!m_context->extradata)
            return;
        memcpy(m_context->extradata, streamInfo, kStreamInfoSize);
        m_context->extradata_size = kStreamInfoSize;
        m_context->err_recognition = AV_EF_EXPLODE;
        m_ok = m_av->avcodec_open2(m_context, codec, nullptr) == 0;
    }
    ~CFlacFrameCheck()
    {
        m_av->av_frame_free(&m_frame);
        m_av->av_packet_free(&m_packet);
        m_av->avcodec_free_context(&m_context);
    }
    CFlacFrameCheck(const CFlacFrameCheck&) = delete;
    CFlacFrameCheck& operator=(const CFlacFrameCheck&) = delete;

    bool Decodes(const uint8_t* data, size_t size, uint32_t blockSize)
    {
        if (!m_ok)
            return false;
        m_padded.assign(data, data + size);
        m_padded.resize(size + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        m_av->avcodec_flush_buffers(m_context);
        m_packet->data = m_padded.data();
        m_packet->size = static_cast<int>(size);
        bool ok = m_av->avcodec_send_packet(m_context, m_packet) == 0 &&
                  m_av->avcodec_receive_frame(m_context, m_frame) == 0 &&
                  m_frame->nb_samples == static_cast<int>(blockSize);
        m_av->av_frame_unref(m_frame);
        m_packet->data = nullptr;
        m_packet->size = 0;
        return ok;
    }

private:
    const AvCodecLib* m_av;
    AVCodecContext* m_context = nullptr;
    AVPacket* m_packet = nullptr;
    AVFrame* m_frame = nullptr;
    std::vector<uint8_t> m_padded;
    bool m_ok = false;
};

CFLACRepair::CFLACRepair(IBaseStream* in) : CBaseRepair(in) {}

CFLACRepair::~CFLACRepair()
{
    CFLACRepair::Close();
}

void CFLACRepair::Close()
{
    m_blocks.clear();
    m_frames.clear();
    m_frames.shrink_to_fit();
    m_runs.Clear();
    m_minBlockSize = m_maxBlockSize = 0;
    m_sampleRate = 0;
    m_channels = m_bitsPerSample = 0;
    m_totalSamples = 0;
    m_frameSync = 0;
    m_countedSamples = 0;
    m_maxFrameSize = 0;
    m_minFrameSize = 0;
    memset(m_streamInfo, 0, sizeof(m_streamInfo));
    m_streamInfoMended = m_mendMinBlock = m_mendMaxBlock = m_mendMinFrame = m_mendMaxFrame = false;
    m_frameCheck.reset();
    CBaseRepair::Close();
}

bool CFLACRepair::CheckFormat()
{
    uint8_t magic[4] = {};
    return m_input && m_input->SeekTo(0) == 0 && m_input->Read(magic, 4) == 4 && memcmp(magic, "fLaC", 4) == 0;
}

bool CFLACRepair::DecodeFrameHeader(const uint8_t* b, size_t avail, FrameFields& f)
{
    f = FrameFields();
    if (avail < 6 || b[0] != 0xFF || (b[1] & 0xFE) != 0xF8)
        return false;
    const uint8_t sizeCode = b[2] >> 4;
    const uint8_t rateCode = b[2] & 0x0F;
    const uint8_t channelCode = b[3] >> 4;
    const uint8_t sampleCode = (b[3] >> 1) & 0x07;
    if (sizeCode == 0 || rateCode == 15 || (b[3] & 1) || sampleCode == 3 || sampleCode == 7)
        return false;
    // 0-7: that many channels less one; 8-10: stereo coded as side or mid.
    if (channelCode > 10)
        return false;
    f.variable = (b[1] & 1) != 0;
    f.channels = static_cast<uint8_t>(channelCode <= 7 ? channelCode + 1 : 2);
    f.bits = sampleSizeArray[sampleCode];
    f.rate = rateCode >= 1 && rateCode <= 11 ? sampleRateArray[rateCode] : 0;
    size_t p = 4;
    const size_t number = CodedNumberLength(b + p, avail - p);
    if (number == 0)
        return false;
    p += number;
    const size_t sizeBytes = sizeCode == 6 ? 1 : sizeCode == 7 ? 2 : 0;
    const size_t rateBytes = rateCode == 12 ? 1 : (rateCode == 13 || rateCode == 14) ? 2 : 0;
    if (avail - p < sizeBytes + rateBytes + 1)
        return false;
    f.blockSize = sizeBytes ? BE(b + p, static_cast<int>(sizeBytes)) + 1 : blockSizeArray[sizeCode];
    p += sizeBytes;
    if (rateBytes) {
        const uint32_t rate = BE(b + p, static_cast<int>(rateBytes));
        f.rate = rateCode == 12 ? rate * 1000 : rateCode == 14 ? rate * 10 : rate;
        p += rateBytes;
    }
    return FlacCrc8().Update(0, b, p) == b[p];
}

bool CFLACRepair::ParseFrameHeader(const uint8_t* b, size_t avail, uint32_t& blockSize) const
{
    FrameFields f;
    if (avail < 2 || b[1] != (m_frameSync & 0xFF) || !DecodeFrameHeader(b, avail, f))
        return false;
    // A rate or sample size code of 0 defers to STREAMINFO.
    if ((f.rate != 0 && f.rate != m_sampleRate) || (f.bits != 0 && f.bits != m_bitsPerSample) ||
        f.channels != m_channels)
        return false;
    // The last frame of a stream may hold fewer samples than the minimum;
    // its CRCs confirm it like any other.
    if (f.blockSize > m_maxBlockSize)
        return false;
    blockSize = f.blockSize;
    return true;
}

int CFLACRepair::ParseStreamInfo()
{
    // Its header and body, then 4 bytes of what follows.
    uint8_t d[4 + kStreamInfoSize];
    if (m_inputLength - 4 < 4 + kStreamInfoSize + 4)
        return kRejected;
    if (m_input->SeekTo(4) != 4)
        return MEND_ERR_READ;
    if (m_input->Read(d, sizeof(d)) != sizeof(d))
        return MEND_ERR_READ;
    const uint32_t header = BE(d, 4);
    if (((header >> 24) & 0x7F) != kTypeStreamInfo || (header & 0xFFFFFF) != kStreamInfoSize)
        return kRejected;
    // Its fields are judged once the first frames are known (MendStreamInfo).
    memcpy(m_streamInfo, d + 4, kStreamInfoSize);
    const uint8_t* s = m_streamInfo;
    m_minBlockSize = static_cast<uint16_t>(BE(s, 2));
    m_maxBlockSize = static_cast<uint16_t>(BE(s + 2, 2));
    m_minFrameSize = BE(s + 4, 3);
    m_maxFrameSize = BE(s + 7, 3);  // 0: not known
    const uint64_t v = uint64_t(BE(s + 10, 4)) << 32 | BE(s + 14, 4);
    m_sampleRate = static_cast<uint32_t>(v >> 44);
    m_channels = static_cast<uint8_t>(((v >> 41) & 7) + 1);
    m_bitsPerSample = static_cast<uint8_t>(((v >> 36) & 31) + 1);
    m_totalSamples = v & 0xFFFFFFFFFULL;
    FlacBlock block;
    block.type = kTypeStreamInfo;
    block.length = kStreamInfoSize;
    block.pos = 8;
    m_blocks.push_back(block);
    return (header & 0x80000000u) ? 2 : kAccepted;  // 2: the last block
}

// The first frame found without STREAMINFO's help: a header whose fields
// and CRC-8 hold, confirmed by a frame checksum that holds up to the next
// such header of the same stream (or up to the end of the input). Each
// candidate's span is searched as far as a frame can reach; a few
// candidates at most, so a file with no frame costs a bounded read.
int CFLACRepair::ProbeFirstFrame(int64_t from, FirstFrame& first)
{
    first = FirstFrame();
    constexpr int kMaxCandidates = 32;
    constexpr int64_t kMaxSpan = 1 << 20;
    constexpr size_t kBlock = 64 * 1024;
    std::vector<uint8_t> buf(kBlock + kMaxHeaderSize);
    const CMsbCrc& crc16 = FlacCrc16();
    int candidates = 0;
    for (int64_t q = from; q < m_inputLength && candidates < kMaxCandidates;) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        int r = LoadWindow(q);
        if (r < 0)
            return r;
        // Headers are tested where all their bytes are in the window, or
        // where the window ends with the input.
        const int64_t limit = m_inputWindow.End() < m_inputLength ? m_inputWindow.End() - kMaxHeaderSize + 1
                                                                  : m_inputWindow.End();
        FrameFields h;
        bool candidate = false;
        for (; q < limit; ++q) {
            const uint8_t* w = m_inputWindow.Data() + (q - m_inputWindow.Start());
            const void* hit = memchr(w, 0xFF, static_cast<size_t>(limit - q));
            if (!hit) {
                q = limit;
                break;
            }
            q += static_cast<const uint8_t*>(hit) - w;
            if (DecodeFrameHeader(static_cast<const uint8_t*>(hit), static_cast<size_t>(m_inputWindow.End() - q), h)) {
                candidate = true;
                break;
            }
        }
        if (!candidate) {
            q = std::max(q, limit);
            continue;
        }
        ++candidates;
        // The running checksum over [q, at); a header of the same stream
        // where it is 0 ends the frame.
        uint32_t crc = 0;
        const int64_t spanEnd = std::min(m_inputLength, q + kMaxSpan);
        int64_t frameEnd = -1;
        for (int64_t at = q; at < spanEnd && frameEnd < 0;) {
            if (TestAbort())
                return MEND_ERR_ABORTED;
            const int64_t n = std::min<int64_t>(static_cast<int64_t>(buf.size()), m_inputLength - at);
            if (m_input->SeekTo(at) != at || m_input->Read(buf.data(), static_cast<unsigned>(n)) != n)
                return MEND_ERR_READ;
            const int64_t step = std::min<int64_t>(static_cast<int64_t>(kBlock), spanEnd - at);
            for (int64_t i = 0; i < step; ++i) {
                FrameFields next;
                if (crc == 0 && at + i > q + 6 && buf[static_cast<size_t>(i)] == 0xFF &&
                    DecodeFrameHeader(&buf[static_cast<size_t>(i)], static_cast<size_t>(n - i), next) &&
                    next.variable == h.variable && next.channels == h.channels && next.rate == h.rate &&
                    next.bits == h.bits) {
                    frameEnd = at + i;
                    first.followed = true;
                    break;
                }
                crc = crc16.Update(crc, &buf[static_cast<size_t>(i)], 1);
            }
            at += step;
            if (frameEnd < 0 && at == m_inputLength && crc == 0)
                frameEnd = at;
        }
        if (frameEnd > q) {
            first.found = true;
            first.fields = h;
            first.size = static_cast<uint32_t>(frameEnd - q);
            return 0;
        }
        ++q;
    }
    return 0;
}

// STREAMINFO against the first frame: what the frame's header carries
// (channels, and the rate and sample size unless it defers to STREAMINFO)
// wins; block and frame sizes that the frame shows cannot hold are worked
// out from every frame after the walk (FinishStreamInfo). A value the
// frames cannot tell stays as it is. kRejected when one that cannot be
// known is no value a stream has.
int CFLACRepair::MendStreamInfo(const FirstFrame& first)
{
    if (!first.found) {
        m_frameSync = m_minBlockSize == m_maxBlockSize ? 0xFFF8 : 0xFFF9;
        const uint32_t maxFrame = m_maxFrameSize == 0 ? 0xFFFFFF : m_maxFrameSize;
        if (m_minBlockSize < 16 || m_minBlockSize > m_maxBlockSize || m_minFrameSize > maxFrame)
            return kRejected;
    } else {
        const FrameFields& f = first.fields;
        m_frameSync = f.variable ? 0xFFF9 : 0xFFF8;
        auto mend = [this](auto& field, auto value) {
            if (field != value) {
                field = value;
                m_streamInfoMended = true;
            }
        };
        mend(m_channels, f.channels);
        if (f.rate != 0)
            mend(m_sampleRate, f.rate);
        if (f.bits != 0)
            mend(m_bitsPerSample, f.bits);
        // A first frame that another follows is no short last frame: the
        // minimum cannot lie above it.
        m_mendMinBlock = m_minBlockSize < 16 || (first.followed && m_minBlockSize > f.blockSize);
        m_mendMaxBlock = m_maxBlockSize < 16 || m_maxBlockSize < f.blockSize;
        if (!m_mendMinBlock && !m_mendMaxBlock && m_minBlockSize > m_maxBlockSize)
            m_mendMinBlock = m_mendMaxBlock = true;
        if (m_mendMinBlock)
            m_minBlockSize = 16;  // until the walk has measured it
        if (m_mendMaxBlock)
            m_maxBlockSize = 0xFFFF;
        m_mendMaxFrame = m_maxFrameSize != 0 && m_maxFrameSize < first.size;
        m_mendMinFrame = m_minFrameSize > first.size ||
                         (!m_mendMaxFrame && m_maxFrameSize != 0 && m_minFrameSize > m_maxFrameSize);
        if (m_mendMaxFrame)
            m_maxFrameSize = 0;  // not known during the walk
    }
    if (m_sampleRate < 1 || m_sampleRate > 655350 || m_bitsPerSample < 4 || m_bitsPerSample > 24)
        return kRejected;
    PackStreamInfo(m_streamInfo);
    return kAccepted;
}

// The block and frame sizes marked for mending, measured over the frames
// the walk confirmed: the last frame may be short, so the minimum block
// size is that of the others.
void CFLACRepair::FinishStreamInfo()
{
    if (m_frames.empty())
        return;
    uint32_t minBlock = 0xFFFF, maxBlock = 0, minFrame = 0xFFFFFF, maxFrame = 0;
    for (size_t i = 0; i < m_frames.size(); ++i) {
        const FlacFrame& f = m_frames[i];
        const uint32_t bytes = static_cast<uint32_t>(std::min<int64_t>(f.end - f.start, kMaxFrameBytes));
        if (i + 1 < m_frames.size() || m_frames.size() == 1)
            minBlock = std::min(minBlock, f.blockSize);
        maxBlock = std::max(maxBlock, f.blockSize);
        minFrame = std::min(minFrame, bytes);
        maxFrame = std::max(maxFrame, bytes);
    }
    if (m_mendMinBlock)
        m_minBlockSize = static_cast<uint16_t>(std::max<uint32_t>(16, std::min(minBlock, maxBlock)));
    if (m_mendMaxBlock)
        m_maxBlockSize = static_cast<uint16_t>(std::max<uint32_t>(m_minBlockSize, maxBlock));
    if (m_mendMinFrame)
        m_minFrameSize = minFrame;
    if (m_mendMaxFrame)
        m_maxFrameSize = maxFrame;
    if (m_mendMinBlock || m_mendMaxBlock || m_mendMinFrame || m_mendMaxFrame)
        m_streamInfoMended = true;
    PackStreamInfo(m_streamInfo);
}

void CFLACRepair::PackStreamInfo(uint8_t* s) const
{
    s[0] = static_cast<uint8_t>(m_minBlockSize >> 8);
    s[1] = static_cast<uint8_t>(m_minBlockSize);
    s[2] = static_cast<uint8_t>(m_maxBlockSize >> 8);
    s[3] = static_cast<uint8_t>(m_maxBlockSize);
    for (int i = 0; i < 3; ++i) {
        s[4 + i] = static_cast<uint8_t>(m_minFrameSize >> (16 - 8 * i));
        s[7 + i] = static_cast<uint8_t>(m_maxFrameSize >> (16 - 8 * i));
    }
    const uint32_t channels = m_channels - 1u, bits = m_bitsPerSample - 1u;
    s[10] = static_cast<uint8_t>(m_sampleRate >> 12);
    s[11] = static_cast<uint8_t>(m_sampleRate >> 4);
    s[12] = static_cast<uint8_t>(((m_sampleRate & 0x0F) << 4) | ((channels & 7) << 1) | ((bits >> 4) & 1));
    s[13] = static_cast<uint8_t>(((bits & 0x0F) << 4) | (s[13] & 0x0F));
}

// A block is kept when what follows it is what the chain promises: after
// the last block a frame header; otherwise a block header of a known type
// whose body fits in the file. A length that points into the audio is
// caught before this, by the first frame header (see ParseMetaData).
bool CFLACRepair::BlockConfirmed(int64_t end, bool last)
{
    uint8_t next[kMaxHeaderSize] = {};
    for (int depth = 0; depth < 1; ++depth) {
        const int64_t avail = std::min<int64_t>(kMaxHeaderSize, m_inputLength - end);
        if (avail < 4)
            return false;
        if (m_input->SeekTo(end) != end || m_input->Read(next, static_cast<unsigned>(avail)) != avail)
            return false;
        if (last) {
            uint32_t blockSize = 0;
            return ParseFrameHeader(next, static_cast<size_t>(avail), blockSize);
        }
        const uint8_t type = next[0] & 0x7F;
        if (type == kTypeStreamInfo || type > kLastKnownType)
            return false;
        const int64_t length = BE(next + 1, 3);
        if (m_inputLength - end - 4 < length)
            return false;
        last = (next[0] & 0x80) != 0;
        end += 4 + length;
    }
    return true;
}

// The first frame header (sync, fields and CRC-8) at or after from, or the
// input length; a negative internal code on a read error.
int64_t CFLACRepair::FirstFrameHeader(int64_t from)
{
    for (int64_t q = from; q < m_inputLength;) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        int r = LoadWindow(q);
        if (r < 0)
            return r;
        const int64_t limit = m_inputWindow.End() < m_inputLength ? m_inputWindow.End() - kMaxHeaderSize + 1 : m_inputWindow.End();
        for (int64_t i = q; i < limit;) {
            const uint8_t* b = m_inputWindow.Data() + (i - m_inputWindow.Start());
            const void* hit = memchr(b, 0xFF, static_cast<size_t>(limit - i));
            if (!hit)
                break;
            i += static_cast<const uint8_t*>(hit) - b;
            uint32_t blockSize = 0;
            if (ParseFrameHeader(static_cast<const uint8_t*>(hit), static_cast<size_t>(m_inputWindow.End() - i), blockSize))
                return i;
            ++i;
        }
        q = limit;
    }
    return m_inputLength;
}

// Walks the blocks after STREAMINFO from pos; pos ends where the chain
// ended or broke. The metadata ends where the audio begins: a block that
// would run past the first frame header holds a broken length. 0, or a
// negative internal code.
int CFLACRepair::ParseMetaData(int64_t& pos)
{
    const int64_t audio = FirstFrameHeader(pos);
    if (audio < 0)
        return static_cast<int>(audio);
    for (;;) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        if (m_inputLength - pos < 4)
            return 0;
        uint8_t h[4] = {};
        if (m_input->SeekTo(pos) != pos || m_input->Read(h, 4) != 4)
            return MEND_ERR_READ;
        const bool last = (h[0] & 0x80) != 0;
        const uint8_t type = h[0] & 0x7F;
        const uint32_t length = BE(h + 1, 3);
        if (type == kTypeStreamInfo || type > kLastKnownType || audio - pos - 4 < length)
            return 0;
        const int64_t end = pos + 4 + length;
        if (!BlockConfirmed(end, last))
            return 0;
        FlacBlock block;
        block.type = type;
        block.length = length;
        block.pos = pos + 4;
        m_blocks.push_back(block);
        pos = end;
        if (last)
            return 0;
    }
}

int CFLACRepair::LoadWindow(int64_t pos)
{
    return m_inputWindow.Load(m_input.get(), pos, m_inputLength);
}

int CFLACRepair::EndSpan(int64_t start, int64_t end, uint32_t crc, uint32_t blockSize)
{
    // A frame ends with the CRC-16 of all its bytes, so the checksum over
    // the whole frame, that field included, is 0.
    int64_t frameEnd = end;
    if (crc != 0) {
        int r = FrameBeforeDamage(start, end, blockSize, frameEnd);
        if (r < 0)
            return r;
    }
    if (frameEnd <= start) {
        m_runs.Bad(start);
        return 0;
    }
    m_runs.Good(start);
    FlacFrame frame;
    frame.start = start;
    frame.end = frameEnd;
    frame.blockSize = blockSize;
    m_frames.push_back(frame);
    m_countedSamples += blockSize;
    if (frameEnd < end)
        m_runs.Bad(frameEnd);
    return 0;
}

// A span whose checksum fails may still begin with a whole frame that
// damage follows (garbage after the last frame, or spliced in after one).
// Its end is a point where the running checksum is 0, but one such point
// in 65536 is chance: the frame counts only when it decodes whole there.
int CFLACRepair::FrameBeforeDamage(int64_t start, int64_t end, uint32_t blockSize, int64_t& frameEnd)
{
    frameEnd = start;
    constexpr int kMaxTries = 16;
    const int64_t n = std::min<int64_t>(end - start, m_maxFrameSize ? m_maxFrameSize : kMaxFrameBytes);
    if (n < 8)
        return 0;
    std::vector<uint8_t> span(static_cast<size_t>(n));
    if (m_input->SeekTo(start) != start || m_input->Read(span.data(), static_cast<unsigned>(n)) != n)
        return MEND_ERR_READ;
    if (!m_frameCheck) {
        const AvCodecLib* av = AvCodec();
        if (!av)
            return MEND_ERR_NO_CODEC_LIBRARY;
        // STREAMINFO as mended so far: the decoder must take the frames.
        m_frameCheck = std::make_unique<CFlacFrameCheck>(av, m_streamInfo);
    }
    const CMsbCrc& crc16 = FlacCrc16();
    uint32_t crc = 0;
    int tries = 0;
    for (int64_t i = 0; i < n && tries < kMaxTries; ++i) {
        crc = crc16.Update(crc, &span[static_cast<size_t>(i)], 1);
        if (crc != 0 || i < 6)
            continue;
        ++tries;
        if (m_frameCheck->Decodes(span.data(), static_cast<size_t>(i + 1), blockSize)) {
            frameEnd = start + i + 1;
            return 0;
        }
    }
    return 0;
}

// From `from` on: frame headers found by their sync, fields and CRC-8;
// each span from one header to the next is a frame when its CRC-16 holds.
// Every byte is looked at once; the checksum runs over whole spans (or up
// to a refill of the window), where it is fastest.
int CFLACRepair::WalkFrames(int64_t from)
{
    const CMsbCrc& crc16 = FlacCrc16();
    if (TestAbort())
        return MEND_ERR_ABORTED;
    int r = LoadWindow(from);
    if (r < 0)
        return r;
    int64_t q = from;
    int64_t spanStart = -1;
    uint32_t spanBlockSize = 0;
    uint32_t crc = 0;
    int64_t crcPos = from;  // the checksum covers [spanStart, crcPos)
    auto advanceCrc = [&](int64_t to) {
        if (spanStart >= 0 && to > crcPos)
            crc = crc16.Update(crc, m_inputWindow.Data() + (crcPos - m_inputWindow.Start()), static_cast<size_t>(to - crcPos));
        crcPos = to;
    };
    while (q < m_inputLength) {
        if (m_inputWindow.End() - q < static_cast<int64_t>(kMaxHeaderSize) && m_inputWindow.End() < m_inputLength) {
            if (TestAbort())
                return MEND_ERR_ABORTED;
            advanceCrc(q);
            if ((r = LoadWindow(q)) < 0)
                return r;
        }
        const uint8_t* b = m_inputWindow.Data() + (q - m_inputWindow.Start());
        // Headers are tested where all their bytes are in the window, or
        // where the window ends with the input.
        const int64_t limit = m_inputWindow.End() < m_inputLength ? m_inputWindow.End() - kMaxHeaderSize + 1 : m_inputWindow.End();
        const void* hit = memchr(b, 0xFF, static_cast<size_t>(limit - q));
        if (!hit) {
            q = limit;
            continue;
        }
        q += static_cast<const uint8_t*>(hit) - b;
        uint32_t blockSize = 0;
        if (ParseFrameHeader(static_cast<const uint8_t*>(hit), static_cast<size_t>(m_inputWindow.End() - q), blockSize)) {
            advanceCrc(q);
            if (spanStart >= 0 && (r = EndSpan(spanStart, q, crc, spanBlockSize)) < 0)
                return r;
            if (spanStart < 0 && q > from)
                m_runs.Bad(from);
            spanStart = q;
            spanBlockSize = blockSize;
            crc = 0;
        }
        ++q;
    }
    if (spanStart < 0)
        return MEND_ERR_UNREPAIRABLE;  // no frame at all
    advanceCrc(m_inputLength);
    int64_t end = m_inputLength;
    if (crc == 0 && (r = EndBeforeZeroTail(spanStart, end)) < 0)
        return r;
    if ((r = EndSpan(spanStart, end, crc, spanBlockSize)) < 0)
        return r;
    if (end < m_inputLength)
        m_runs.Bad(end);
    m_runs.Good(m_inputLength);
    return 0;
}

// Zeros after the last frame leave its checksum at 0 (its remainder times
// a power of x), so the last span holds a file's zero tail, as a recorder
// that stopped in a preallocated file leaves it. The frame ends at the
// first point from the start of the zeros at which its checksum is 0: the
// checksum's own bytes may be zeros too.
int CFLACRepair::EndBeforeZeroTail(int64_t start, int64_t& end)
{
    // The last non-zero byte, searched backwards a window at a time.
    int64_t zeros = m_inputLength;
    while (zeros > start) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        const int64_t from = std::max<int64_t>(start, zeros - CReadWindow::kSize);
        int r = LoadWindow(from);
        if (r < 0)
            return r;
        int64_t i = zeros - from;
        while (i > 0 && m_inputWindow.Data()[i - 1] == 0)
            --i;
        zeros = from + i;
        if (i > 0)
            break;
    }
    if (zeros == m_inputLength || m_inputLength - zeros < 3 || zeros - start > kMaxFrameBytes)
        return 0;
    // The frame with its zero bytes: at most a few more than up to the zeros.
    const int64_t n = zeros - start + 2;
    std::vector<uint8_t> frame(static_cast<size_t>(n));
    if (m_input->SeekTo(start) != start || m_input->Read(frame.data(), static_cast<unsigned>(n)) != n)
        return MEND_ERR_READ;
    uint32_t crc = FlacCrc16().Update(0, frame.data(), static_cast<size_t>(zeros - start));
    for (int64_t e = zeros; e <= zeros + 2; ++e) {
        if (crc == 0) {
            end = e;
            return 0;
        }
        if (e < zeros + 2)
            crc = FlacCrc16().Update(crc, &frame[static_cast<size_t>(e - start)], 1);
    }
    return 0;
}

int CFLACRepair::Open()
{
    if (!m_input)
        return MEND_ERR_NO_STREAM;
    if (!CheckFormat())
        return MEND_ERR_NOT_CONTAINER;
    Close();
    int r = ParseStreamInfo();
    if (r < 0)
        return r;
    if (r == kRejected)
        return MEND_ERR_UNREPAIRABLE;
    int64_t pos = 8 + kStreamInfoSize;
    FirstFrame first;
    int m = ProbeFirstFrame(pos, first);
    if (m < 0)
        return m;
    if ((m = MendStreamInfo(first)) < 0)
        return m;
    if (m == kRejected)
        return MEND_ERR_UNREPAIRABLE;
    if (r == kAccepted && (r = ParseMetaData(pos)) < 0)
        return r;
    if ((r = WalkFrames(pos)) < 0)
        return r;
    if (m_frames.empty())
        return MEND_ERR_UNREPAIRABLE;
    FinishStreamInfo();
    if (m_streamInfoMended)
        AddErrorAt(JRVP_DAMAGE_STRUCTURE, 8);
    AddSegments(m_runs.Runs());
    // A total of 0 means "unknown" (a writer that could not seek back).
    if (m_totalSamples != 0 && m_totalSamples != m_countedSamples)
        AddError(JRVP_DAMAGE_TIMING);
    return 0;
}

// STREAMINFO with the counted total samples and no MD5 signature: the
// signature was of the audio before the repair, and a decoder that checks
// it would fail a file whose damaged frames were left out.
int CFLACRepair::WriteStreamInfo(const FlacBlock& block, bool last)
{
    uint8_t d[4 + kStreamInfoSize];
    d[0] = static_cast<uint8_t>((last ? 0x80 : 0) | kTypeStreamInfo);
    d[1] = d[2] = 0;
    d[3] = kStreamInfoSize;
    if (m_input->SeekTo(block.pos) != block.pos || m_input->Read(d + 4, kStreamInfoSize) != kStreamInfoSize)
        return MEND_ERR_READ;
    uint8_t* s = d + 4;
    if (m_streamInfoMended)
        PackStreamInfo(s);
    // 36 bits: the low four of byte 13 and bytes 14 to 17. A count that does
    // not fit is written as unknown.
    const uint64_t total = m_countedSamples > 0xFFFFFFFFFULL ? 0 : m_countedSamples;
    s[13] = static_cast<uint8_t>((s[13] & 0xF0) | ((total >> 32) & 0x0F));
    for (int i = 0; i < 4; ++i)
        s[14 + i] = static_cast<uint8_t>(total >> (24 - 8 * i));
    memset(s + 18, 0, 16);
    return m_output->Write(d, sizeof(d)) == sizeof(d) ? 0 : MEND_ERR_WRITE;
}

int CFLACRepair::RepairLevel1()
{
    if (!m_input || !m_output)
        return MEND_ERR_NO_STREAM;
    if (m_blocks.empty() || m_frames.empty())
        return MEND_ERR_CANNOT_REPAIR;
    if (m_output->SeekTo(0) != 0 || m_output->Write("fLaC", 4) != 4)
        return MEND_ERR_WRITE;
    // Seek points name byte offsets of frames from the first frame; once
    // damaged bytes among the frames are left out they would point into the
    // wrong frames, so the table becomes padding of the same size.
    const int64_t firstFrame = m_frames.front().start;
    const bool audioMoved = std::any_of(m_runs.Runs().begin(), m_runs.Runs().end(),
                                        [firstFrame](const std::pair<int64_t, int64_t>& run) {
                                            return run.first >= firstFrame;
                                        });
    for (size_t i = 0; i < m_blocks.size(); ++i) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        const FlacBlock& block = m_blocks[i];
        const bool last = i + 1 == m_blocks.size();
        int r;
        if (block.type == kTypeStreamInfo) {
            r = WriteStreamInfo(block, last);
        } else {
            const bool blank = audioMoved && block.type == kTypeSeekTable;
            uint8_t h[4] = {static_cast<uint8_t>((last ? 0x80 : 0) | (blank ? kTypePadding : block.type)),
                            static_cast<uint8_t>(block.length >> 16), static_cast<uint8_t>(block.length >> 8),
                            static_cast<uint8_t>(block.length)};
            if (m_output->Write(h, 4) != 4)
                return MEND_ERR_WRITE;
            if (blank) {
                std::vector<uint8_t> zeros(block.length);
                r = m_output->Write(zeros.data(), block.length) == block.length ? 0 : MEND_ERR_WRITE;
            } else {
                r = CopySpan(block.pos, block.pos + block.length);
            }
        }
        if (r < 0)
            return r;
    }
    size_t i = 0;
    while (i < m_frames.size()) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        size_t j = i + 1;
        while (j < m_frames.size() && m_frames[j].start == m_frames[j - 1].end)
            ++j;
        int r = CopySpan(m_frames[i].start, m_frames[j - 1].end);
        if (r < 0)
            return r;
        i = j;
    }
    SolveError(JRVP_DAMAGE_SEGMENT);
    SolveError(JRVP_DAMAGE_TIMING);
    SolveError(JRVP_DAMAGE_STRUCTURE);
    return 0;
}
