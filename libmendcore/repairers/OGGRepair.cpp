#include "repairers/OGGRepair.h"

#include <string.h>

#include <algorithm>
#include <array>

#include "core/Crc.h"
#include "core/StreamIO.h"

namespace {

constexpr int64_t kHeaderSize = 27;           // up to and with the segment count
constexpr int64_t kProbeWindow = 10240;       // offsets where the first page may start
constexpr int64_t kMaxPageSize = 27 + 255 + 255 * 255;
static_assert(kMaxPageSize <= CReadWindow::kSize, "a page is judged in one window");
constexpr int64_t kSearchBlock = 64 * 1024;
constexpr unsigned kChecksumAt = 22;
constexpr uint8_t kFlagContinued = 0x01;
constexpr uint8_t kFlagFirst = 0x02;

const uint8_t kCapture[4] = {'O', 'g', 'g', 'S'};

struct CodecHead {
    const char* bytes;
    size_t size;
    uint8_t headerPackets;  // packets a decoder needs before the first data
};
// The first bytes of the first packet of each codec's stream. Where the
// count of header packets is not fixed, the first packet is all we ask for.
const CodecHead kCodecHeads[] = {
    {"CELT    ", 8, 2}, {"BBCD\0", 5, 1}, {"KW-DIRAC", 8, 1}, {"\x7f" "FLAC", 5, 1}, {"fLaC", 4, 1},
    {"\x01text", 5, 1}, {"\x01" "Direct Show Samples embedded in Ogg", 36, 1}, {"OpusHead", 8, 2},
    {"fishead", 7, 1}, {"Speex   ", 8, 2}, {"\x80theora", 7, 3}, {"\x01vorbis", 7, 3}, {"OVP80", 5, 1},
};

uint32_t LE32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The codec's header packets, or 0 when the packet starts no known head.
uint8_t HeaderPacketsOf(const uint8_t* packet, size_t size)
{
    for (const CodecHead& head : kCodecHeads)
        if (size >= head.size && memcmp(packet, head.bytes, head.size) == 0)
            return head.headerPackets;
    return 0;
}

// The checksum is linear over GF(2): bytes that differ change it by the
// checksum of their difference, carried over the bytes after them. Zero
// bytes act on the register as a matrix (one column per register bit), so
// a distance costs its logarithm in squarings, not its length.
using CrcMatrix = std::array<uint32_t, 32>;

uint32_t Apply(const CrcMatrix& m, uint32_t v)
{
    uint32_t r = 0;
    for (unsigned i = 0; v; ++i, v >>= 1)
        if (v & 1)
            r ^= m[i];
    return r;
}

CrcMatrix Square(const CrcMatrix& m)
{
    CrcMatrix r;
    for (unsigned i = 0; i < 32; ++i)
        r[i] = Apply(m, m[i]);
    return r;
}

// The register's change over `bytes` zero bytes.
CrcMatrix ZeroBytes(int64_t bytes)
{
    CrcMatrix bit;  // one zero bit: a shift, the top bit folded back in
    for (unsigned i = 0; i < 31; ++i)
        bit[i] = 1u << (i + 1);
    bit[31] = 0x04C11DB7;
    CrcMatrix step = Square(Square(Square(bit)));  // one byte
    CrcMatrix r;
    for (unsigned i = 0; i < 32; ++i)
        r[i] = 1u << i;
    for (; bytes > 0; bytes >>= 1, step = Square(step))
        if (bytes & 1)
            for (uint32_t& column : r)
                column = Apply(step, column);
    return r;
}

// Capture pattern, version 0, no flag above "last page", and not a
// stream's first page that continues a packet of a page before it.
bool IsPageHeader(const uint8_t* h)
{
    const uint8_t type = h[5];
    return memcmp(h, kCapture, 4) == 0 && h[4] == 0 && type < 8 && !((type & kFlagFirst) && (type & kFlagContinued));
}

uint32_t BE(const uint8_t* p, int bytes)
{
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v = v << 8 | p[i];
    return v;
}

void PutBE(uint8_t* p, int bytes, uint32_t v)
{
    for (int i = bytes - 1; i >= 0; --i, v >>= 8)
        p[i] = static_cast<uint8_t>(v);
}

// What the check of a stream's identification header found.
enum class HeadVerdict { kSound, kMended, kLost };

// Theora frames are whole macroblocks and the picture lies inside the
// frame. A picture or frame narrower than a macroblock, or wider than any
// decoder takes, is the bent one of the pair; where the other is sound it
// gives the value back (the frame is the fewest macroblocks that hold the
// picture; the picture fills the frame beside its offset, as every
// libtheora writer places it).
HeadVerdict MendTheoraAxis(uint8_t* blocksAt, uint8_t* pictureAt, unsigned offset)
{
    constexpr uint32_t kLeast = 16, kMost = 16384;
    const uint32_t blocks = BE(blocksAt, 2);
    const uint32_t picture = BE(pictureAt, 3);
    // A frame of one macroblock holds no picture a decoder takes either.
    const bool frameFits = blocks >= 2 && blocks * 16 <= kMost;
    const bool pictureFits = picture >= kLeast && picture <= kMost;
    if (frameFits && pictureFits && offset + picture <= blocks * 16)
        return HeadVerdict::kSound;
    if (pictureFits && !frameFits) {
        PutBE(blocksAt, 2, (offset + picture + 15) / 16);
        return HeadVerdict::kMended;
    }
    if (frameFits && !pictureFits && blocks * 16 > offset + kLeast) {
        PutBE(pictureAt, 3, blocks * 16 - offset);
        return HeadVerdict::kMended;
    }
    return HeadVerdict::kLost;
}

HeadVerdict Worse(HeadVerdict a, HeadVerdict b)
{
    return static_cast<int>(a) > static_cast<int>(b) ? a : b;
}

HeadVerdict MendTheoraHead(uint8_t* p, size_t size)
{
    if (size < 42)
        return HeadVerdict::kLost;
    HeadVerdict v = Worse(MendTheoraAxis(p + 10, p + 14, p[20]), MendTheoraAxis(p + 12, p + 17, p[21]));
    // A rate of 0 leaves the timing to the container; one that reads as
    // negative is refused by decoders and cannot be known from the pages.
    if (BE(p + 22, 4) >= 0x80000000u || BE(p + 26, 4) >= 0x80000000u)
        v = HeadVerdict::kLost;
    return v;
}

// Vorbis: channels, rate and the two block sizes set up the decoder and
// nothing else in the file says what they were.
HeadVerdict CheckVorbisHead(const uint8_t* p, size_t size)
{
    if (size < 30)
        return HeadVerdict::kLost;
    const unsigned channels = p[11];
    const uint32_t rate = LE32(p + 12);
    const unsigned small = p[28] & 0x0F, large = p[28] >> 4;
    const bool sound = LE32(p + 7) == 0 && channels >= 1 && channels <= 8 && rate >= 1 && rate < 0x80000000u &&
                       small >= 6 && small <= large && large <= 13 && (p[29] & 1);
    return sound ? HeadVerdict::kSound : HeadVerdict::kLost;
}

// Opus: the channel count of mapping family 0 (mono or stereo) is the
// stereo flag of the data packets; a larger family names as many channels
// as its mapping table after the 21 fixed bytes. A pre-skip of seconds
// skips the stream's start: libopus encoders write their look-ahead, 312
// samples at 48 kHz.
HeadVerdict MendOpusHead(uint8_t* p, size_t size, int dataChannels)
{
    if (size < 19)
        return HeadVerdict::kLost;
    HeadVerdict v = HeadVerdict::kSound;
    const unsigned family = p[18];
    const unsigned channels = p[9];
    if (family == 0 && (channels == 0 || channels > 2)) {
        if (dataChannels == 0)
            return HeadVerdict::kLost;
        p[9] = static_cast<uint8_t>(dataChannels);
        v = HeadVerdict::kMended;
    } else if (family != 0 && (size < 21 || channels != size - 21)) {
        if (size < 22 || size - 21 > 255)
            return HeadVerdict::kLost;
        p[9] = static_cast<uint8_t>(size - 21);
        v = HeadVerdict::kMended;
    }
    constexpr unsigned kMostPreSkip = 24000;  // half a second
    const unsigned preSkip = unsigned(p[10]) | unsigned(p[11]) << 8;
    if (preSkip > kMostPreSkip) {
        p[10] = 312 & 0xFF;
        p[11] = 312 >> 8;
        v = HeadVerdict::kMended;
    }
    return v;
}

// Checks a stream's first packet; mends it in place where the file says
// what a bent field was.
HeadVerdict MendCodecHead(uint8_t* packet, size_t size, int opusDataChannels)
{
    if (size >= 7 && memcmp(packet, "\x80theora", 7) == 0)
        return MendTheoraHead(packet, size);
    if (size >= 7 && memcmp(packet, "\x01vorbis", 7) == 0)
        return CheckVorbisHead(packet, size);
    if (size >= 8 && memcmp(packet, "OpusHead", 8) == 0)
        return MendOpusHead(packet, size, opusDataChannels);
    return HeadVerdict::kSound;
}

}  // namespace

COGGRepair::COGGRepair(IBaseStream* in) : CBaseRepair(in)
{
    m_format = JRVP_FORMAT_OGG;
}

COGGRepair::~COGGRepair()
{
    COGGRepair::Close();
}

void COGGRepair::Close()
{
    m_pages.clear();
    m_pages.shrink_to_fit();
    m_playable = false;
    m_runs.Clear();
    m_fixes.clear();
    m_lostHeads.clear();
    m_audioStreams.clear();
    std::vector<uint8_t>().swap(m_block);
    CBaseRepair::Close();
}

bool COGGRepair::CheckFormat()
{
    if (!m_input)
        return false;
    // The window and room for a whole page header, its segment table and
    // the longest codec head after the last offset it may start at.
    const int64_t want = std::min<int64_t>(m_inputLength, kProbeWindow + kHeaderSize + 255 + 37);
    std::vector<uint8_t> d(static_cast<size_t>(want));
    if (m_input->SeekTo(0) != 0 || m_input->Read(d.data(), static_cast<unsigned>(want)) != want)
        return false;
    const int64_t window = std::min<int64_t>(want, kProbeWindow);
    for (int64_t i = 0; i < window; ++i) {
        // The flag is taken by the test: Open must still hear of it.
        if (TestAbort()) {
            m_probeAborted = true;
            return false;
        }
        if (want - i < kHeaderSize || memcmp(&d[i], kCapture, 4) != 0)
            continue;
        // A capture pattern inside damage whose table or packet does not
        // fit is no page; a real one may follow.
        const int64_t n = d[i + 26];
        if (want - i - kHeaderSize < n)
            continue;
        int64_t first = 0;  // the first packet's bytes on this page
        for (int64_t k = 0; k < n; ++k) {
            first += d[i + kHeaderSize + k];
            if (d[i + kHeaderSize + k] < 255)
                break;
        }
        const int64_t body = i + kHeaderSize + n;
        const int64_t avail = std::min(first, want - body);
        if (HeaderPacketsOf(&d[body], static_cast<size_t>(avail)) > 0)
            return true;
    }
    return false;
}

bool COGGRepair::Charge(int64_t bytes)
{
    m_budget -= std::max<int64_t>(bytes, 1);
    return m_budget >= 0;
}

int COGGRepair::ParsePage(int64_t pos, int64_t& end)
{
    if (m_inputLength - pos < kHeaderSize)
        return kPageDamaged;
    // The page is looked at where the window read it; each view below is
    // fetched again once its size is known, which costs nothing while the
    // window holds it.
    IBaseStream* in = m_input.get();
    const uint8_t* h = m_inputWindow.Fetch(in, pos, kHeaderSize, m_inputLength);
    if (!h)
        return MEND_ERR_READ;
    if (!IsPageHeader(h))
        return kPageDamaged;
    const int64_t n = h[26];
    if (m_inputLength - pos - kHeaderSize < n)
        return kPageDamaged;
    if (!(h = m_inputWindow.Fetch(in, pos, kHeaderSize + n, m_inputLength)))
        return MEND_ERR_READ;
    int64_t body = 0;
    for (int64_t k = 0; k < n; ++k)
        body += h[kHeaderSize + k];
    const int64_t size = kHeaderSize + n + body;
    if (m_inputLength - pos < size)
        return kPageDamaged;
    if (!Charge(size))
        return MEND_ERR_UNREPAIRABLE;
    if (!(h = m_inputWindow.Fetch(in, pos, size, m_inputLength)))
        return MEND_ERR_READ;
    // The checksum covers the whole page with its own field read as zero.
    const uint32_t stored = LE32(h + kChecksumAt);
    const uint8_t zeros[4] = {};
    const CMsbCrc& crc32 = OggCrc32();
    uint32_t crc = crc32.Update(0, h, kChecksumAt);
    crc = crc32.Update(crc, zeros, sizeof(zeros));
    crc = crc32.Update(crc, h + kChecksumAt + 4, static_cast<size_t>(size - kChecksumAt - 4));
    if (crc != stored)
        return kPageDamaged;
    end = pos + size;
    RecordPage(h, pos, size);
    return kPageSound;
}

void COGGRepair::RecordPage(const uint8_t* h, int64_t pos, int64_t size)
{
    const int64_t n = h[26];
    OggPageInfo page;
    page.start = pos;
    page.end = pos + size;
    page.granule = static_cast<int64_t>(uint64_t(LE32(h + 6)) | uint64_t(LE32(h + 10)) << 32);
    page.serial = LE32(h + 14);
    page.sequence = LE32(h + 18);
    page.headerType = h[5];
    for (int64_t k = 0; k < n; ++k)
        page.packetsEnded += h[kHeaderSize + k] < 255;
    if (page.headerType & kFlagFirst)
        page.headerPackets =
            std::max<uint8_t>(1, HeaderPacketsOf(h + kHeaderSize + n, static_cast<size_t>(size - kHeaderSize - n)));
    m_pages.push_back(page);
}

// A page whose header and checksum are whole but whose segment table no
// longer adds up to the bytes before the next page: one bent lacing value
// or segment count. The fix is the one byte that makes the checksum hold
// over exactly those bytes; the chance that another byte does so too is
// one in 2^32 per candidate.
int COGGRepair::MendPage(int64_t pos, int64_t next)
{
    const int64_t size = next - pos;
    if (size < kHeaderSize || size > kMaxPageSize)
        return kPageDamaged;
    if (!Charge(size))
        return MEND_ERR_UNREPAIRABLE;
    IBaseStream* in = m_input.get();
    const uint8_t* h = m_inputWindow.Fetch(in, pos, size, m_inputLength);
    if (!h)
        return MEND_ERR_READ;
    if (!IsPageHeader(h))
        return kPageDamaged;
    const uint32_t stored = LE32(h + kChecksumAt);
    const uint8_t zeros[255] = {};
    const CMsbCrc& crc32 = OggCrc32();
    uint32_t crc = crc32.Update(0, h, kChecksumAt);
    crc = crc32.Update(crc, zeros, 4);
    crc = crc32.Update(crc, h + kChecksumAt + 4, static_cast<size_t>(size - kChecksumAt - 4));
    const int64_t n = h[26];
    int64_t fixAt = -1;
    uint8_t fixTo = 0;
    // A bent segment count: the one count whose table and bodies end
    // where the next page begins (the sum grows with the count).
    int64_t sum = 0;
    for (int64_t count = 0; count <= 255 && kHeaderSize + count <= size && fixAt < 0; ++count) {
        if (count > 0)
            sum += h[kHeaderSize + count - 1];
        if (count == n || kHeaderSize + count + sum != size)
            continue;
        const uint8_t diff = static_cast<uint8_t>(n ^ count);
        const uint32_t delta = Apply(ZeroBytes(size - kHeaderSize), crc32.Update(0, &diff, 1));
        if ((crc ^ delta) == stored) {
            fixAt = 26;
            fixTo = static_cast<uint8_t>(count);
        }
    }
    // A bent lacing value: the table is whole but for one value that is
    // off by what the bodies miss.
    if (fixAt < 0 && kHeaderSize + n <= size) {
        int64_t lacing = 0;
        for (int64_t k = 0; k < n; ++k)
            lacing += h[kHeaderSize + k];
        const int64_t miss = size - kHeaderSize - n - lacing;
        if (miss != 0 && miss >= -255 && miss <= 255) {
            const CrcMatrix body = ZeroBytes(size - kHeaderSize - n);
            for (int64_t k = 0; k < n && fixAt < 0; ++k) {
                const int64_t value = h[kHeaderSize + k] + miss;
                if (value < 0 || value > 255)
                    continue;
                const uint8_t diff = static_cast<uint8_t>(h[kHeaderSize + k] ^ value);
                uint32_t delta = crc32.Update(crc32.Update(0, &diff, 1), zeros, static_cast<size_t>(n - 1 - k));
                if ((crc ^ Apply(body, delta)) == stored) {
                    fixAt = kHeaderSize + k;
                    fixTo = static_cast<uint8_t>(value);
                }
            }
        }
    }
    if (fixAt < 0)
        return kPageDamaged;
    // The page as it was written, judged as any other.
    std::vector<uint8_t> page(h, h + size);
    page[static_cast<size_t>(fixAt)] = fixTo;
    m_fixes.emplace_back(pos + fixAt, fixTo);
    RecordPage(page.data(), pos, size);
    AddErrorAt(JRVP_DAMAGE_STRUCTURE, pos);
    return kPageSound;
}

int64_t COGGRepair::FindCapture(int64_t from)
{
    if (m_block.size() < kSearchBlock)
        m_block.resize(kSearchBlock);
    int64_t p = from;
    while (m_inputLength - p >= 4) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        const int64_t n = std::min<int64_t>(kSearchBlock, m_inputLength - p);
        if (m_input->SeekTo(p) != p || m_input->Read(m_block.data(), static_cast<unsigned>(n)) != n)
            return MEND_ERR_READ;
        const uint8_t* hit = static_cast<const uint8_t*>(memmem(m_block.data(), n, kCapture, 4));
        // Only the bytes searched count: the block ahead of a hit is
        // searched again from the page after it.
        const int64_t searched = hit ? hit - m_block.data() + 1 : n;
        if (!Charge(searched))
            return MEND_ERR_UNREPAIRABLE;
        if (hit)
            return p + (hit - m_block.data());
        // The last three bytes may begin a pattern that the next block ends.
        p += n - 3;
    }
    return m_inputLength;
}

int COGGRepair::Open()
{
    if (!m_input)
        return MEND_ERR_NO_STREAM;
    m_probeAborted = false;
    const bool ogg = CheckFormat();
    if (m_probeAborted || TestAbort())
        return MEND_ERR_ABORTED;
    if (!ogg)
        return MEND_ERR_NOT_CONTAINER;
    Close();
    // Every byte is read once by an intact walk; damage costs a search over
    // it and the pages that began inside it. More than that is hostile.
    m_budget = 4 * m_inputLength + 4 * kMaxPageSize;

    int64_t p = 0;
    while (p < m_inputLength) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        int64_t end = 0;
        int r = ParsePage(p, end);
        if (r < 0)
            return r;
        if (r == kPageSound) {
            m_runs.Good(p);
            p = end;
            continue;
        }
        int64_t next = FindCapture(p + 1);
        if (next < 0)
            return static_cast<int>(next);
        r = MendPage(p, next);
        if (r < 0)
            return r;
        if (r == kPageSound)
            m_runs.Good(p);
        else
            m_runs.Bad(p);
        p = next;
    }
    m_runs.Good(m_inputLength);
    AddSegments(m_runs.Runs());
    if (int r = CheckCodecHeads(); r < 0)
        return r;
    MarkDecodableStreams();
    return 0;
}

// A demuxer sets a stream up from its first page ("beginning of stream")
// and the codec's header packets, which follow it on pages without a gap.
// A stream that lost any of them cannot be decoded: its pages would only
// mislead the demuxer.
void COGGRepair::MarkDecodableStreams()
{
    struct StreamState {
        bool ok = false;
        unsigned headersLeft = 0;
        uint32_t nextSequence = 0;
        uint64_t packets = 0;  // ended on its pages, headers included
        unsigned headers = 0;
        int64_t start = 0;  // its first page that survived
    };
    std::map<uint32_t, StreamState> streams;
    for (OggPageInfo& page : m_pages) {
        auto found = streams.find(page.serial);
        if (found == streams.end()) {
            StreamState st;
            st.ok = (page.headerType & kFlagFirst) != 0 && !m_lostHeads.count(page.serial);
            st.headersLeft = st.headers = page.headerPackets;
            st.nextSequence = page.sequence;
            st.start = page.start;
            found = streams.emplace(page.serial, st).first;
        }
        StreamState& st = found->second;
        st.packets += page.packetsEnded;
        if (st.ok && st.headersLeft > 0) {
            if (page.sequence != st.nextSequence)
                st.ok = false;  // a page of the headers is missing
            st.headersLeft -= std::min<unsigned>(st.headersLeft, page.packetsEnded);
            ++st.nextSequence;
        }
    }
    // A stream that ends before its last header packet is no better.
    m_playable = false;
    for (OggPageInfo& page : m_pages) {
        const StreamState& st = streams[page.serial];
        page.decodable = st.ok && st.headersLeft == 0;
        m_playable = m_playable || (page.decodable && st.packets > st.headers);
    }
    // What such a stream still holds is lost to the copy: the user hears
    // of it even where the damage that cost its headers left no run.
    for (const auto& stream : streams)
        if (!stream.second.ok || stream.second.headersLeft > 0)
            AddErrorAt(JRVP_DAMAGE_DATA_LOST, stream.second.start);
}

// The page at `page` as the copy will hold it: the input with the bytes
// mended so far.
int COGGRepair::ReadMendedPage(const OggPageInfo& page, std::vector<uint8_t>& bytes)
{
    const int64_t size = page.end - page.start;
    const uint8_t* h = m_inputWindow.Fetch(m_input.get(), page.start, size, m_inputLength);
    if (!h)
        return MEND_ERR_READ;
    bytes.assign(h, h + size);
    auto fix = std::lower_bound(m_fixes.begin(), m_fixes.end(), std::make_pair(page.start, uint8_t(0)));
    for (; fix != m_fixes.end() && fix->first < page.end; ++fix)
        bytes[static_cast<size_t>(fix->first - page.start)] = fix->second;
    return 0;
}

// Opus packets say in their first byte whether they are coded in stereo:
// the channel count of a head that lost it, from the first pages after the
// headers (1 or 2; 0 when none was found).
int COGGRepair::OpusDataChannels(size_t first)
{
    constexpr int kPagesLooked = 8;
    const uint32_t serial = m_pages[first].serial;
    int looked = 0;
    bool stereo = false;
    std::vector<uint8_t> bytes;
    for (size_t i = first + 1; i < m_pages.size() && looked < kPagesLooked; ++i) {
        const OggPageInfo& page = m_pages[i];
        if (page.serial != serial || page.granule <= 0 || (page.headerType & kFlagContinued))
            continue;
        if (int r = ReadMendedPage(page, bytes); r < 0)
            return r;
        const size_t body = kHeaderSize + bytes[26];
        if (body < bytes.size()) {
            stereo = stereo || (bytes[body] & 0x04);
            ++looked;
        }
    }
    return looked == 0 ? 0 : stereo ? 2 : 1;
}

// Each stream's identification header against itself and the data: a
// field a decoder refuses is damage. Where the file says what it was, the
// copy holds it rewritten (its page's checksum with it); otherwise the
// stream is left out.
int COGGRepair::CheckCodecHeads()
{
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < m_pages.size(); ++i) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        const OggPageInfo& page = m_pages[i];
        if (!(page.headerType & kFlagFirst))
            continue;
        if (int r = ReadMendedPage(page, bytes); r < 0)
            return r;
        const size_t n = bytes[26];
        size_t packet = 0;
        for (size_t k = 0; k < n; ++k) {
            packet += bytes[kHeaderSize + k];
            if (bytes[kHeaderSize + k] < 255)
                break;
        }
        const size_t body = kHeaderSize + n;
        if (packet > bytes.size() - body)
            continue;
        int channels = 0;
        if (packet >= 8 && memcmp(&bytes[body], "OpusHead", 8) == 0) {
            channels = OpusDataChannels(i);
            if (channels < 0)
                return channels;
        }
        if ((packet >= 8 && memcmp(&bytes[body], "OpusHead", 8) == 0) ||
            (packet >= 7 && memcmp(&bytes[body], "\x01vorbis", 7) == 0))
            m_audioStreams.insert(page.serial);
        const std::vector<uint8_t> before = bytes;
        const HeadVerdict verdict = MendCodecHead(&bytes[body], packet, channels);
        if (verdict == HeadVerdict::kSound)
            continue;
        AddErrorAt(JRVP_DAMAGE_STRUCTURE, page.start);
        if (verdict == HeadVerdict::kLost) {
            m_lostHeads.insert(page.serial);
            continue;
        }
        Reseal(page.start, bytes, before);
    }
    return CheckAudioGranules();
}

void COGGRepair::Reseal(int64_t start, std::vector<uint8_t>& bytes, const std::vector<uint8_t>& before)
{
    const uint8_t zeros[4] = {};
    const CMsbCrc& crc32 = OggCrc32();
    uint32_t crc = crc32.Update(0, bytes.data(), kChecksumAt);
    crc = crc32.Update(crc, zeros, sizeof(zeros));
    crc = crc32.Update(crc, &bytes[kChecksumAt + 4], bytes.size() - kChecksumAt - 4);
    for (unsigned k = 0; k < 4; ++k)
        bytes[kChecksumAt + k] = static_cast<uint8_t>(crc >> (8 * k));
    // Only the bytes this check changed: those mended before are in the
    // list already, and the page reads the same in both.
    for (size_t k = 0; k < bytes.size(); ++k)
        if (bytes[k] != before[k])
            m_fixes.emplace_back(start + static_cast<int64_t>(k), bytes[k]);
    std::sort(m_fixes.begin(), m_fixes.end());
}

// The granule position of an Opus or Vorbis page counts the samples up to
// its last packet: it grows from page to page, and only a page on which no
// packet ends may say -1. One that does not lies between its neighbours in
// proportion to the packets that end on it (their lengths vary little
// within a stream); the last page's follows the stream's mean.
int COGGRepair::CheckAudioGranules()
{
    constexpr int64_t kMostPerPacket = 8192;  // samples: above both codecs' longest block
    std::vector<uint8_t> bytes;
    for (uint32_t serial : m_audioStreams) {
        std::vector<size_t> data;  // pages of the stream after its headers on which packets end
        unsigned headers = 0;
        for (size_t i = 0; i < m_pages.size(); ++i) {
            const OggPageInfo& page = m_pages[i];
            if (page.serial != serial || page.packetsEnded == 0)
                continue;
            if (page.headerType & kFlagFirst)
                headers = page.headerPackets > page.packetsEnded ? page.headerPackets - page.packetsEnded : 0;
            else if (headers > page.packetsEnded)
                headers -= page.packetsEnded;
            else if (headers > 0)
                headers = 0;  // the last header page may end a data packet too; its granule is not checked
            else
                data.push_back(i);
        }
        int64_t prev = 0;
        uint64_t packets = 0;
        for (size_t k = 0; k < data.size(); ++k) {
            if (TestAbort())
                return MEND_ERR_ABORTED;
            OggPageInfo& page = m_pages[data[k]];
            const int64_t ended = page.packetsEnded;
            const bool hasNext = k + 1 < data.size();
            const int64_t next = hasNext ? m_pages[data[k + 1]].granule : 0;
            const bool nextFits = hasNext && next >= prev && next - prev <= (ended + m_pages[data[k + 1]].packetsEnded) * kMostPerPacket;
            const bool bent = page.granule < prev || page.granule - prev > ended * kMostPerPacket ||
                              (nextFits && page.granule > next);
            if (bent) {
                int64_t granule = -1;
                if (nextFits)
                    granule = prev + (next - prev) * ended / (ended + m_pages[data[k + 1]].packetsEnded);
                else if (!hasNext && packets > 0)
                    granule = prev + ended * (prev / static_cast<int64_t>(packets));
                AddErrorAt(JRVP_DAMAGE_STRUCTURE, page.start);
                if (granule >= prev) {
                    if (int r = ReadMendedPage(page, bytes); r < 0)
                        return r;
                    const std::vector<uint8_t> before = bytes;
                    for (unsigned b = 0; b < 8; ++b)
                        bytes[6 + b] = static_cast<uint8_t>(static_cast<uint64_t>(granule) >> (8 * b));
                    Reseal(page.start, bytes, before);
                    page.granule = granule;
                }
            }
            if (page.granule >= prev)
                prev = page.granule;
            packets += static_cast<uint64_t>(ended);
        }
    }
    return 0;
}

int COGGRepair::CopyMended(int64_t from, int64_t to)
{
    auto fix = std::lower_bound(m_fixes.begin(), m_fixes.end(), std::make_pair(from, uint8_t(0)));
    for (; fix != m_fixes.end() && fix->first < to; ++fix) {
        int r = CopySpan(from, fix->first);
        if (r < 0)
            return r;
        if (m_output->Write(&fix->second, 1) != 1)
            return MEND_ERR_WRITE;
        from = fix->first + 1;
    }
    return CopySpan(from, to);
}

int COGGRepair::RepairLevel1()
{
    if (!m_input || !m_output)
        return MEND_ERR_NO_STREAM;
    // Without a stream that can be set up and has a data packet, a rebuild
    // would hold nothing playable: that is a refusal, not a success.
    if (!m_playable)
        return MEND_ERR_REPAIR_REFUSED;
    if (m_output->SeekTo(0) != 0)
        return MEND_ERR_WRITE;
    // Pages lie in input order; neighbours are copied as one span.
    size_t i = 0;
    while (i < m_pages.size()) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        if (!m_pages[i].decodable) {
            ++i;
            continue;
        }
        size_t j = i + 1;
        while (j < m_pages.size() && m_pages[j].decodable && m_pages[j].start == m_pages[j - 1].end)
            ++j;
        int r = CopyMended(m_pages[i].start, m_pages[j - 1].end);
        if (r < 0)
            return r;
        i = j;
    }
    SolveError(JRVP_DAMAGE_SEGMENT);
    SolveError(JRVP_DAMAGE_STRUCTURE);
    return 0;
}
