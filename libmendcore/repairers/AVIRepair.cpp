#include "repairers/AVIRepair.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>

#include "core/CodecFourCC.h"
#include "core/DataParser.h"
#include "core/SizeMend.h"
#include "core/StreamIO.h"

namespace {

constexpr uint32_t kRIFF = FourCC("RIFF");
constexpr uint32_t kLIST = FourCC("LIST");
constexpr uint32_t kAVI = FourCC("AVI ");
constexpr uint32_t kAVIX = FourCC("AVIX");
constexpr uint32_t kHdrl = FourCC("hdrl");
constexpr uint32_t kStrl = FourCC("strl");
constexpr uint32_t kAvih = FourCC("avih");
constexpr uint32_t kStrh = FourCC("strh");
constexpr uint32_t kStrf = FourCC("strf");
constexpr uint32_t kStrn = FourCC("strn");
constexpr uint32_t kStrd = FourCC("strd");
constexpr uint32_t kVprp = FourCC("vprp");
constexpr uint32_t kIndx = FourCC("indx");
constexpr uint32_t kOdml = FourCC("odml");
constexpr uint32_t kDmlh = FourCC("dmlh");
constexpr uint32_t kJUNK = FourCC("JUNK");
constexpr uint32_t kMovi = FourCC("movi");
constexpr uint32_t kIdx1 = FourCC("idx1");
constexpr uint32_t kRec = FourCC("rec ");
constexpr uint32_t kVids = FourCC("vids");
constexpr uint32_t kAuds = FourCC("auds");

enum SeenHeader : unsigned {
    kSeenHdrl = 1,
    kSeenAvih = 2,
    kSeenStrl = 4,
    kSeenStrh = 8,
    kSeenStrf = 16,
    kSeenIdx1 = 32,
};
constexpr unsigned kSeenHeaders = kSeenHdrl | kSeenAvih | kSeenStrl | kSeenStrh | kSeenStrf;

enum AviMacro : int {
    kMacroRiff = 1,
    kMacroAvi = 2,
    kMacroAvix = 3,
    kMacroJunk = 17,
    kMacroMovi = 13,
    kMacroUpper = 30,
    kMacroRec = 33,
    kMacroIx = 45,
    kMacroIxFirst = 46,
    kMacroVideo = 48,
    kMacroAudio = 49,
    kMacroText = 50,
    kMacroPalette = 51,
    kMacroLower = 100,
    kMacroList = 101,
    kMacroNone = 103,
};

struct TagMacro {
    uint32_t macro;
    uint32_t fourcc;
};

const TagMacro AVITagMacroArr[] = {
    {1, kRIFF}, {2, kAVI}, {3, kAVIX}, {101, kLIST}, {11, kHdrl}, {31, kAvih}, {32, kStrl},
    {41, kStrh}, {42, kStrf}, {43, kStrn}, {44, kIndx}, {16, kOdml}, {47, kDmlh}, {17, kJUNK},
    {15, FourCC("INFO")}, {12, FourCC("ISFT")}, {13, kMovi}, {14, kIdx1}, {33, kRec}, {0, 0},
};

// The one flag of "idx1" entries that libavformat reads: AVIIF_KEYFRAME.
constexpr uint32_t kIdx1KeyFrame = 0x10;
constexpr uint32_t kAvihHasIndex = 0x10;
// Bit 31 of a standard index entry's size marks a frame that is not a key.
constexpr uint32_t kIxDeltaFrame = 0x80000000u;
// Key-frame tests need only a frame's first headers; a larger chunk is
// judged by its start, so one hostile size cannot claim gigabytes.
constexpr uint32_t kMaxParsedFrame = 4u << 20;
constexpr uint32_t kU32Max = std::numeric_limits<uint32_t>::max();
// The latest start of a stream libavformat accepts, in seconds.
constexpr double kLongestStart = 3600;
// Audio formats whose bytes map to samples at a fixed rate.
constexpr uint32_t kWaveFormatPcm = 0x0001;
constexpr uint32_t kWaveFormatFloat = 0x0003;
constexpr uint32_t kWaveFormatALaw = 0x0006;
constexpr uint32_t kWaveFormatMuLaw = 0x0007;
constexpr uint32_t kWaveFormatExtensible = 0xFFFE;
// How far, in bytes per second, a writer may round the average rate of a
// variable-rate stream counted in bytes.
constexpr double kAverageRateRounding = 8.0;

char Ch(uint32_t fourcc, int i) { return static_cast<char>((fourcc >> (8 * i)) & 0xff); }
constexpr bool IsDigit(char c) { return c >= '0' && c <= '9'; }
constexpr bool IsUpper(char c) { return c >= 'A' && c <= 'Z'; }
constexpr bool IsLower(char c) { return c >= 'a' && c <= 'z'; }
bool IsDataMacro(int m) { return m >= kMacroVideo && m <= kMacroPalette; }

// The byte scans (zero runs, the search for the next id) read blocks of
// this size and look at them in place, not one stream call per byte.
constexpr int64_t kScanBlock = 65536;

// The length of the run of zero bytes at the start of [p, p + n). Whole
// words first: a run of gigabytes (a sparse or zero-filled tail) is the
// case that counts.
size_t ZeroRun(const uint8_t* p, size_t n)
{
    size_t i = 0;
    for (; n - i >= 32; i += 32) {
        uint64_t w[4];
        std::memcpy(w, p + i, sizeof(w));
        if ((w[0] | w[1] | w[2] | w[3]) != 0)
            break;
    }
    while (i < n && p[i] == 0)
        ++i;
    return i;
}

// Every id the walk knows is made of letters, digits and spaces.
struct IdByteTable {
    bool is[256] = {};
    constexpr IdByteTable()
    {
        for (int c = 0; c < 256; ++c)
            is[c] = IsDigit(static_cast<char>(c)) || IsUpper(static_cast<char>(c)) ||
                    IsLower(static_cast<char>(c)) || c == ' ';
    }
};
constexpr IdByteTable kIdByte;

// The first i >= from with b[i..i+4) all id bytes, or n when none. A byte
// that is no id byte rules out every start up to it, so the window is
// checked from its end and skips ahead past the first such byte: in noise
// most windows cost one look.
size_t FindIdBytes(const uint8_t* b, size_t from, size_t n)
{
    size_t i = from;
    while (n - i >= 4) {
        size_t k = 4;
        while (k > 0 && kIdByte.is[b[i + k - 1]])
            --k;
        if (k == 0)
            return i;
        i += k;
    }
    return n;
}

// The first i >= from where "RIFF" starts, or n when none.
size_t FindRiff(const uint8_t* b, size_t from, size_t n)
{
    while (n - from >= 4) {
        const void* r = std::memchr(b + from, 'R', n - from - 3);
        if (!r)
            break;
        from = static_cast<size_t>(static_cast<const uint8_t*>(r) - b);
        if (std::memcmp(b + from, "RIFF", 4) == 0)
            return from;
        ++from;
    }
    return n;
}

// A chunk header: its id and size field.
bool ReadHeaderAt(IBaseStream* s, int64_t at, uint32_t& id, uint32_t& size)
{
    s->SeekTo(at);
    return ReadField(s, id) && ReadField(s, size);
}

}  // namespace

CAVIRepair::CAVIRepair(IBaseStream* in) : CBaseRepair(in)
{
    m_format = JRVP_FORMAT_AVI;
}

CAVIRepair::~CAVIRepair()
{
    CAVIRepair::Close();
}

void CAVIRepair::Close()
{
    m_streams.clear();
    m_damaged.clear();
    m_movis.clear();
    m_indexes.clear();
    m_cannotRepair = false;
    m_tailFrom = 0;
    m_firstVideo = -1;
    m_seen = 0;
    m_hdrlMended = -1;
    m_strlMended.clear();
    m_strlCount = 0;
    m_strlEnd = -1;
    m_odmlEnd = -1;
    m_sizeMends.clear();
    m_peek.clear();
    m_peekAt = -1;
    CBaseRepair::Close();
}

int CAVIRepair::Macro2Level(int macro)
{
    if (macro <= 0)
        return 5;
    if (macro <= 10)
        return 1;
    if (macro <= 30)
        return 2;
    if (macro <= 40)
        return 3;
    return 4;
}

int CAVIRepair::Uint2Macro(uint32_t fourcc) const
{
    if (fourcc == 0)
        return kMacroNone;
    for (const TagMacro* row = AVITagMacroArr; row->fourcc; ++row)
        if (row->fourcc == fourcc)
            return static_cast<int>(row->macro);
    const char c0 = Ch(fourcc, 0), c1 = Ch(fourcc, 1), c2 = Ch(fourcc, 2), c3 = Ch(fourcc, 3);
    const size_t n = m_streams.size();
    // Stream data carries its stream number in two decimal digits.
    if (IsDigit(c0) && IsDigit(c1) && static_cast<size_t>((c0 - '0') * 10 + (c1 - '0')) < n) {
        if (c2 == 'w' && c3 == 'b')
            return kMacroAudio;
        if (c2 == 'd' && (c3 == 'b' || c3 == 'c'))
            return kMacroVideo;
        if (c2 == 'p' && c3 == 'c')
            return kMacroPalette;
        if (c2 == 't' && c3 == 'x')
            return kMacroText;
        if (c2 == 'i' && c3 == 'x')
            return kMacroIxFirst;
    }
    if (c0 == 'i' && c1 == 'x' && IsDigit(c2) && IsDigit(c3) &&
        static_cast<size_t>((c2 - '0') * 10 + (c3 - '0')) < n)
        return kMacroIx;
    if (IsUpper(c0) && IsUpper(c1) && IsUpper(c2) && IsUpper(c3))
        return kMacroUpper;
    if (IsLower(c0) && IsLower(c1) && IsLower(c2) && IsLower(c3))
        return kMacroLower;
    return kMacroNone;
}

int CAVIRepair::StreamNumber(uint32_t fourcc) const
{
    const char c0 = Ch(fourcc, 0), c1 = Ch(fourcc, 1);
    if (IsDigit(c0) && IsDigit(c1))
        return (c0 - '0') * 10 + (c1 - '0');
    return -1;
}

bool CAVIRepair::LevelRule(int m, int level, int m2) const
{
    return Macro2Level(m2) <= level || m == kMacroJunk ||
           ((m2 == kMacroIx || m2 == kMacroIxFirst) && m == kMacroRec);
}

// The stream header's length is in chunks, or in samples of dwSampleSize
// bytes when that is set (PCM: blocks of the block alignment).
uint64_t CAVIRepair::CountedLength(const StreamLenMsg& s, uint64_t chunks, uint64_t bytes) const
{
    if (s.sampleSize > 0)
        return bytes / s.sampleSize;
    return chunks;
}

// The units per second an audio stream's format implies: bytes per second
// for audio counted in bytes, frames per second for frame-based audio
// counted in chunks (whose block alignment is the frame); 0 when it says
// neither.
namespace {
double FormatUnitsPerSecond(const StreamLenMsg& s)
{
    if (s.sampleSize > 0 && s.avgBytesPerSec > 0)
        return static_cast<double>(s.avgBytesPerSec) / s.sampleSize;
    if (s.sampleSize == 0 && s.formatValue > 0 && s.samplesPerSec > 0)
        return static_cast<double>(s.samplesPerSec) / s.formatValue;
    return 0;
}
}  // namespace

// The main header's frame period and the first video stream's own rate
// can disagree because either was damaged. A sound audio stream beside
// them breaks the tie: the video lasts as long as the sound. Where the
// sound sides with the stream's rate, the period is what the damage took,
// and the rate (which is what players use) stays.
void CAVIRepair::TrustAvihOrVideoRate()
{
    if (m_firstVideo < 0 || m_frameMicros == 0)
        return;
    const StreamLenMsg& v = m_streams[static_cast<size_t>(m_firstVideo)];
    if (v.rate == 0 || v.scale == 0 || v.length == 0)
        return;
    const double videoRate = static_cast<double>(v.rate) / v.scale;
    const double byPeriod = v.length * (m_frameMicros / 1e6), byRate = v.length / videoRate;
    if (std::fabs(byPeriod / byRate - 1) <= 0.02)
        return;
    for (const StreamLenMsg& a : m_streams) {
        if (a.fccType != kAuds || !a.hasFormat || a.rate == 0 || a.scale == 0 || a.length == 0)
            continue;
        const double want = FormatUnitsPerSecond(a);
        const double have = static_cast<double>(a.rate) / a.scale;
        if (want <= 0 || std::fabs(have / want - 1) > 0.02)
            continue;  // this stream's own rate is in doubt too
        const double sound = a.length / have;
        if (std::fabs(byRate - sound) < std::fabs(byPeriod - sound))
            m_frameMicros = static_cast<uint32_t>(std::min(1e6 / videoRate, double(kU32Max)));
        return;
    }
}

// libavformat takes a stream's time base from its scale and rate alone: a
// rate of 0 it calls invalid and guesses, any other wrong one plays the
// stream at that speed. The file says the true rate again: the main
// header's frame period for the first video stream; for audio, the
// format's bytes per second (audio counted in bytes) or its samples per
// frame (frame-based audio counted in chunks, whose block alignment is the
// frame), and the duration of the video beside it. Writers round each, and
// some fill the format loosely, so an audio rate counts as damage only when
// it is far from both.
void CAVIRepair::CheckRates()
{
    auto off = [](double have, double want, double tolerance) {
        return want > 0 && std::fabs(have / want - 1) > tolerance;
    };
    TrustAvihOrVideoRate();
    double seconds = 0;  // the video's duration, from its length and the frame period
    if (m_firstVideo >= 0 && m_frameMicros > 0)
        seconds = m_streams[static_cast<size_t>(m_firstVideo)].length * (m_frameMicros / 1e6);
    for (size_t i = 0; i < m_streams.size(); ++i) {
        StreamLenMsg& s = m_streams[i];
        const double have = s.scale > 0 ? static_cast<double>(s.rate) / s.scale : 0;
        double want = 0;  // units per second the file implies; 0: none
        bool broken = s.rate == 0 || s.scale == 0;
        if (static_cast<int>(i) == m_firstVideo && m_frameMicros > 0) {
            want = 1e6 / m_frameMicros;
            broken = broken || off(have, want, 0.02);
        } else if (s.fccType == kAuds && s.hasFormat) {
            want = FormatUnitsPerSecond(s);
            const double byLength = seconds > 0 ? s.length / seconds : 0;
            broken = broken || (byLength > 0 && off(have, want, 0.02) && off(have, byLength, 0.25));
            if (byLength > 0 && (want <= 0 || off(want, byLength, 0.25)))
                want = byLength;
        }
        if (!broken)
            continue;
        AddErrorAt(JRVP_DAMAGE_TIMING, s.headerPos - 8);
        if (want <= 0)
            continue;  // nothing to set it from: libavformat's own guess stands
        // The scale kept where it can carry the rate, else one that can.
        double rate = s.scale > 0 ? std::round(want * s.scale) : 0;
        if (rate < 1 || rate > kU32Max) {
            s.scale = 1000;
            rate = std::round(want * s.scale);
        }
        if (rate < 1 || rate > kU32Max)
            continue;
        s.rate = static_cast<uint32_t>(rate);
        s.rateMended = true;
    }
    // A stream that starts more than an hour in: libavformat gives the
    // start up and logs an error. No writer delays a stream that long.
    for (StreamLenMsg& s : m_streams) {
        if (s.rate == 0 || s.scale == 0 || static_cast<double>(s.start) * s.scale / s.rate <= kLongestStart)
            continue;
        AddErrorAt(JRVP_DAMAGE_TIMING, s.headerPos - 8);
        s.startMended = true;
    }
}

// Whether a stream header's length matches the content the walk counted.
// Chunk counts and PCM sample counts are exact for every writer. Compressed
// audio counted in bytes is another matter: a variable bit rate has no true
// bytes per second, so a writer such as GStreamer's avimux states the length
// as the stream's duration at an average rate that it rounds (to a multiple
// of 8 bytes per second). libavformat times such a stream by its bytes and
// takes the length only as an estimate. The length may then miss the bytes
// by that rounding over the stream's duration; anything further off is a
// header that disagrees with its content.
bool CAVIRepair::LengthAgrees(const StreamLenMsg& s) const
{
    const uint64_t counted = CountedLength(s, s.countedChunks, s.countedBytes);
    if (counted == s.length)
        return true;
    const bool fixedRate = s.formatTag == kWaveFormatPcm || s.formatTag == kWaveFormatFloat ||
                           s.formatTag == kWaveFormatALaw || s.formatTag == kWaveFormatMuLaw ||
                           s.formatTag == kWaveFormatExtensible;
    if (s.fccType != kAuds || !s.hasFormat || s.sampleSize == 0 || fixedRate || s.rate == 0 || s.scale == 0)
        return false;
    const double samplesPerSecond = static_cast<double>(s.rate) / s.scale;
    const double seconds = static_cast<double>(counted) / samplesPerSecond;
    // The rate's rounding in samples, and one more for the duration's own;
    // a rate so low that this would excuse more than a hundredth of the
    // stream is itself no rate a writer rounds.
    const double slack = std::min(seconds * kAverageRateRounding / s.sampleSize, counted / 100.0) + 1;
    const double diff = counted > s.length ? static_cast<double>(counted - s.length)
                                           : static_cast<double>(s.length - counted);
    return diff <= slack;
}

// ---------------------------------------------------------------------------
// Analysis

int CAVIRepair::Open()
{
    if (!m_input)
        return MEND_ERR_NO_STREAM;
    // Every byte-by-byte search step counts; a file of garbage ends in a
    // clear code within a time that grows with its size.
    m_budget = m_inputLength * 4 + 65536;
    m_input->SeekTo(0);
    uint32_t magic = 0;
    if (!ReadField(m_input.get(), magic) || magic != kRIFF) {
        Close();
        return MEND_ERR_NOT_CONTAINER;
    }
    m_streams.clear();
    m_damaged.clear();
    m_movis.clear();
    m_indexes.clear();
    m_riffStarts.clear();
    m_riffEnds.clear();
    m_indxPositions.clear();
    m_hdrlStart = m_hdrlEnd = -1;
    m_hdrlMended = -1;
    m_strlMended.clear();
    m_strlCount = 0;
    m_strlEnd = -1;
    m_odmlEnd = -1;
    m_sizeMends.clear();
    m_zeroFrom = m_zeroStop = -1;
    m_scanBlock.clear();
    m_seen = 0;
    m_firstVideo = -1;
    m_frameMicros = 0;
    m_avihRead = false;
    m_input->SeekTo(0);
    int64_t pos = 0;
    while (pos <= m_inputLength - 8) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        uint32_t fourcc = 0, size = 0;
        if (!ReadField(m_input.get(), fourcc) || !ReadField(m_input.get(), size)) {
            Close();
            return MEND_ERR_READ;
        }
        // Past the end of the last form: whatever follows belongs to no form.
        if (fourcc != kRIFF && !m_riffEnds.empty() && pos >= m_riffEnds.back()) {
            int r = TrailingBytes(pos);
            if (r < 0) {
                Close();
                return r;
            }
            break;
        }
        int r = WalkChunk(fourcc, size, pos);
        if (r < 0) {
            Close();
            return r;
        }
        int64_t next = m_input->GetPos();
        // The walk only ever moves forward.
        if (next <= pos) {
            next = pos + 8;
            m_input->SeekTo(next);
        }
        pos = next;
    }
    // Fewer than 8 bytes left, or bytes after the last form: no chunk.
    m_tailFrom = std::min(pos, m_inputLength);

    CheckRates();
    for (const StreamLenMsg& s : m_streams) {
        if (!LengthAgrees(s)) {
            AddError(JRVP_DAMAGE_TIMING);
            break;
        }
    }
    bool formsAgree = !m_movis.empty() && m_movis.size() == m_riffEnds.size();
    for (size_t i = 0; formsAgree && i < m_movis.size(); ++i)
        formsAgree = m_movis[i].start > m_riffStarts[i] && m_movis[i].start < m_riffEnds[i];
    if (!formsAgree) {
        AddError(JRVP_DAMAGE_COUNT);
        m_cannotRepair = true;
    }
    if ((m_seen & kSeenHeaders) != kSeenHeaders) {
        AddErrorAt(JRVP_DAMAGE_STRUCTURE, 4);
        m_cannotRepair = true;
    }
    if (!(m_seen & kSeenIdx1))
        AddError(JRVP_DAMAGE_INDEX);
    for (const IndexContext& index : m_indexes) {
        if (index.fourcc != kIdx1)
            continue;
        const int r = CheckIdx1(index);
        if (r < 0) {
            Close();
            return r;
        }
        if (r > 0)
            AddErrorAt(JRVP_DAMAGE_INDEX, index.range.first - 8);
    }
    return m_cannotRepair ? MEND_ERR_UNREPAIRABLE : 0;
}

// 1 when an entry of the "idx1" names no chunk this file can hold (wiped or
// overwritten entries), or points or reaches outside its movi list, else 0,
// or a negative internal code. libavformat trusts the index it finds, so a
// broken one hides the chunks it misnames; the rebuild writes a fresh one.
// Offsets count from the movi list's type or, for some old writers, from
// the file's start: libavformat tells which from the first entry, so that
// one must lead to the very chunk it names, or every entry misleads.
int CAVIRepair::CheckIdx1(const IndexContext& index)
{
    constexpr unsigned int kEntry = 16;
    std::vector<uint8_t> block(kScanBlock);
    int64_t p = index.range.first;
    const int64_t end = index.range.first + (index.range.second - index.range.first) / kEntry * kEntry;
    const MoviContext& movi = m_movis[index.movi];
    int64_t base = -1;  // where offsets count from, once the first entry has said
    while (p < end) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        const unsigned int want = static_cast<unsigned int>(std::min<int64_t>(end - p, kScanBlock));
        if (m_input->SeekTo(p) != p || m_input->Read(block.data(), want) != want)
            return MEND_ERR_READ;
        for (unsigned int i = 0; i < want; i += kEntry) {
            const uint8_t* e = block.data() + i;
            const uint32_t id = e[0] | e[1] << 8 | e[2] << 16 | static_cast<uint32_t>(e[3]) << 24;
            const int m = Uint2Macro(id);
            if (!(m == kMacroVideo || m == kMacroAudio || m == kMacroText || m == kMacroPalette || m == kMacroIx ||
                  m == kMacroIxFirst || id == kRec))
                return 1;
            const uint32_t offset = e[8] | e[9] << 8 | e[10] << 16 | static_cast<uint32_t>(e[11]) << 24;
            const uint32_t size = e[12] | e[13] << 8 | e[14] << 16 | static_cast<uint32_t>(e[15]) << 24;
            if (base < 0) {
                for (const int64_t from : {movi.start, int64_t(0)}) {
                    const int64_t at = from + offset;
                    uint32_t atId = 0, atSize = 0;
                    if (at >= movi.start + 4 && at <= movi.end - 8 && ReadHeaderAt(m_input.get(), at, atId, atSize) &&
                        (id == kRec ? atId == kLIST : atId == id && atSize == size)) {
                        base = from;
                        break;
                    }
                }
                if (base < 0)
                    return 1;
            } else if (base + offset < movi.start + 4 || base + offset > movi.end - 8 ||
                       size > movi.end - (base + offset + 8)) {
                // libavformat counts the bytes of a sound stream by the
                // entries' sizes: one that no chunk there can have moves
                // every later timestamp of its stream.
                return 1;
            }
        }
        p += want;
    }
    return 0;
}

// 1 when the input holds only zero bytes from here to its end, else 0, or
// a negative internal code.
int CAVIRepair::ZeroToEnd(int64_t from)
{
    // Forms of a hostile file may all end in one long run of zeros: the
    // run is scanned once, not once per form.
    if (from >= m_zeroFrom && from <= m_zeroStop)
        return m_zeroStop >= m_inputLength ? 1 : 0;
    m_input->SeekTo(from);
    std::vector<uint8_t> block(kScanBlock);
    int64_t p = from;
    while (p < m_inputLength) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        const unsigned int want = static_cast<unsigned int>(std::min<int64_t>(m_inputLength - p, kScanBlock));
        if (m_input->Read(block.data(), want) != want)
            return MEND_ERR_READ;
        const size_t i = ZeroRun(block.data(), want);
        p += static_cast<int64_t>(i);
        if (i < want)
            break;
    }
    m_zeroFrom = from;
    m_zeroStop = p;
    return p >= m_inputLength ? 1 : 0;
}

// Bytes after the last form. Zero padding is harmless; anything else is
// recorded, and the rebuild ends the file with the last form.
int CAVIRepair::TrailingBytes(int64_t from)
{
    int r = ZeroToEnd(from);
    if (r == 0)
        AddErrorAt(JRVP_DAMAGE_INDEX, from);
    return r < 0 ? r : 0;
}

int CAVIRepair::WalkChunk(uint32_t fourcc, uint32_t size, int64_t headerPos)
{
    const int64_t pos = headerPos + 8;
    int64_t r = 0;
    if (fourcc == kRIFF) {
        if (pos > m_inputLength - 4)
            return 0;
        uint32_t type = 0;
        if (!ReadField(m_input.get(), type))
            return MEND_ERR_READ;
        if (type != kAVI && type != kAVIX)
            return MEND_ERR_NOT_CONTAINER;
        m_input->SeekTo(pos);
        m_riffStarts.push_back(headerPos);
        // The form's own end is not known yet: judge it against the file.
        m_riffEnds.push_back(m_inputLength);
        r = JudgeTag(type, size, false);
        if (r < 0)
            return static_cast<int>(r);
        m_riffEnds.back() = pos + r;
        m_input->SeekTo(pos + 4);
        return 0;
    }
    if (fourcc == kLIST) {
        uint32_t type = 0;
        if (!ReadField(m_input.get(), type))
            return 0;
        m_input->SeekTo(pos);
        bool enter = true;
        if (type == kRec) {
            r = JudgeTag(type, size, false, true);
        } else if (type == kMovi) {
            r = JudgeTag(type, size, false);
            if (r >= 0) {
                MoviContext movi;
                movi.start = pos;
                movi.end = pos + r;
                m_movis.push_back(std::move(movi));
            }
            // Without the stream headers no chunk id in the list is known,
            // so the walk would search its every byte, and the file cannot
            // be rebuilt anyway.
            enter = !m_cannotRepair && (m_seen & kSeenHeaders) == kSeenHeaders;
        } else if (type == kHdrl) {
            // Only the first form has headers the copy rewrites.
            r = m_hdrlStart < 0 ? JudgeHeaderList(type, size) : JudgeTag(type, size, true, true);
            m_seen |= kSeenHdrl;
            if (r >= 0 && m_hdrlStart < 0) {
                m_hdrlStart = pos;
                m_hdrlEnd = pos + r;
            }
        } else if (type == kStrl) {
            r = m_riffStarts.size() == 1 ? JudgeHeaderList(type, size) : JudgeTag(type, size, true, true);
            m_seen |= kSeenStrl;
            ++m_strlCount;
            m_strlEnd = r >= 0 && m_riffStarts.size() == 1 ? pos + r : -1;
        } else if (type == kOdml && m_riffStarts.size() == 1 && pos > m_hdrlStart && pos < m_hdrlEnd) {
            // The extended header: its size and its header's are judged
            // within the header list.
            m_input->SeekTo(headerPos + 8);
            r = JudgeHeaderChild(kLIST, size, headerPos, kHdrl, m_hdrlEnd);
            m_odmlEnd = r >= 0 ? pos + r : -1;
        } else {
            // "INFO", "odml" and unknown lists are passed over whole.
            r = JudgeTag(type, size, false);
            enter = false;
        }
        if (r < 0)
            return static_cast<int>(r);
        if (enter)
            m_input->SeekTo(pos + 4);
        return 0;
    }
    const int m = Uint2Macro(fourcc);
    // The chunks of the first form's header lists whose sizes are mended
    // from the list they stand in.
    const bool mendable = fourcc == kStrf || fourcc == kJUNK || fourcc == kVprp || fourcc == kStrd ||
                          fourcc == kStrn || fourcc == kDmlh;
    if (mendable && m_riffStarts.size() == 1 && pos > m_hdrlStart && pos < m_hdrlEnd) {
        uint32_t list = kHdrl;
        int64_t listEnd = m_hdrlEnd;
        if (pos < m_strlEnd) {
            list = kStrl;
            listEnd = m_strlEnd;
        } else if (pos < m_odmlEnd) {
            list = kOdml;
            listEnd = m_odmlEnd;
        }
        r = JudgeHeaderChild(fourcc, size, headerPos, list, listEnd);
        if (r < 0)
            return static_cast<int>(r);
        return fourcc == kStrf ? ReadStreamFormat(static_cast<uint32_t>(r), headerPos) : 0;
    }
    const bool critical = fourcc == kAvih || fourcc == kStrh || fourcc == kStrf ||
                          fourcc == kStrn || fourcc == kIndx;
    if (fourcc == kIndx)
        m_indxPositions.push_back(pos);
    r = JudgeTag(fourcc, size, critical);
    if (r < 0)
        return static_cast<int>(r);
    const bool intact = r == size;
    if (fourcc == kAvih) {
        m_seen |= kSeenAvih;
        if (intact && size >= 4 && !m_avihRead) {
            m_avihRead = true;
            const int64_t end = m_input->GetPos();
            m_input->SeekTo(pos);
            if (!ReadField(m_input.get(), m_frameMicros))
                return MEND_ERR_READ;
            m_input->SeekTo(end);
        }
    } else if (fourcc == kStrh) {
        if (intact)
            return ReadStreamHeader(size);
    } else if (fourcc == kStrf) {
        if (intact)
            return ReadStreamFormat(size, headerPos);
    } else if (fourcc == kIdx1 || m == kMacroIx) {
        if (!m_movis.empty()) {
            // An "idx1" before any movi list indexes nothing.
            if (fourcc == kIdx1)
                m_seen |= kSeenIdx1;
            IndexContext index;
            index.fourcc = fourcc;
            index.movi = static_cast<uint32_t>(m_movis.size() - 1);
            index.range = {pos, pos + r};
            m_indexes.push_back(index);
        }
    } else if (m == kMacroVideo || m == kMacroAudio || m == kMacroText) {
        int s = StreamNumber(fourcc);
        if (intact && s >= 0 && static_cast<size_t>(s) < m_streams.size()) {
            StreamLenMsg& stream = m_streams[s];
            stream.countedChunks++;
            stream.countedBytes += size;
        }
    }
    return 0;
}

// Reads the fields of an intact "strh"; a short header is read only as far
// as it goes, the rest stays 0.
int CAVIRepair::ReadStreamHeader(uint32_t size)
{
    const int64_t end = m_input->GetPos();
    const int64_t pos = end - size - (size & 1);
    uint8_t body[48] = {};
    uint32_t want = std::min<uint32_t>(size, sizeof(body));
    m_input->SeekTo(pos);
    if (m_input->Read(body, want) != want)
        return MEND_ERR_READ;
    auto u32 = [&body](int at) {
        return static_cast<uint32_t>(body[at]) | static_cast<uint32_t>(body[at + 1]) << 8 |
               static_cast<uint32_t>(body[at + 2]) << 16 | static_cast<uint32_t>(body[at + 3]) << 24;
    };
    StreamLenMsg s;
    s.headerPos = pos;
    s.fccType = u32(0);
    s.initialFrames = u32(16);
    s.scale = u32(20);
    s.rate = u32(24);
    s.start = u32(28);
    s.length = u32(32);
    s.sampleSize = u32(44);
    if (s.fccType == kVids && m_firstVideo < 0)
        m_firstVideo = static_cast<int>(m_streams.size());
    m_streams.push_back(s);
    m_seen |= kSeenStrh;
    m_input->SeekTo(end);
    return 0;
}

int CAVIRepair::ReadStreamFormat(uint32_t size, int64_t headerPos)
{
    const int64_t end = m_input->GetPos();
    const int64_t pos = headerPos + 8;
    m_seen |= kSeenStrf;
    // A format without the stream header it belongs to: the file's header
    // list is broken.
    if (m_streams.empty() || m_streams.back().hasFormat) {
        AddErrorAt(JRVP_DAMAGE_STRUCTURE, headerPos);
        m_cannotRepair = true;
        return 0;
    }
    StreamLenMsg& s = m_streams.back();
    s.hasFormat = true;
    uint8_t body[20] = {};
    uint32_t want = std::min<uint32_t>(size, sizeof(body));
    m_input->SeekTo(pos);
    if (m_input->Read(body, want) != want)
        return MEND_ERR_READ;
    if (s.fccType == kAuds) {
        s.formatTag = static_cast<uint32_t>(body[0]) | static_cast<uint32_t>(body[1]) << 8;
        s.formatValue = static_cast<uint32_t>(body[12]) | static_cast<uint32_t>(body[13]) << 8;
        auto u32 = [&body](int at) {
            return static_cast<uint32_t>(body[at]) | static_cast<uint32_t>(body[at + 1]) << 8 |
                   static_cast<uint32_t>(body[at + 2]) << 16 | static_cast<uint32_t>(body[at + 3]) << 24;
        };
        if (want >= 12) {
            s.samplesPerSec = u32(4);
            s.avgBytesPerSec = u32(8);
        }
    }
    else if (s.fccType == kVids)
        s.formatValue = static_cast<uint32_t>(body[16]) | static_cast<uint32_t>(body[17]) << 8 |
                        static_cast<uint32_t>(body[18]) << 16 | static_cast<uint32_t>(body[19]) << 24;
    m_input->SeekTo(end);
    return 0;
}

// Whether a unit of the header list `list` ("hdrl", a stream's "strl" or
// "odml" of the first form), which ends at listEnd, may begin at `at`: the
// list's end, or a chunk that stands in that list and (sized) fits in it.
// A chunk's id alone is specific enough to end an intact chunk before it:
// its own size is judged in its turn.
int CAVIRepair::HeaderUnitFits(uint32_t list, int64_t listEnd, int64_t at, bool sized, bool& fits)
{
    fits = at == listEnd;
    if (fits || at > listEnd - 8)
        return 0;
    if (TestAbort())
        return MEND_ERR_ABORTED;
    if (--m_budget < 0)
        return MEND_ERR_UNREPAIRABLE;
    uint32_t id = 0, sz = 0, type = 0;
    if (!ReadHeaderAt(m_input.get(), at, id, sz))
        return MEND_ERR_READ;
    if (id == kLIST && (at > listEnd - 12 || !ReadField(m_input.get(), type)))
        return at > listEnd - 12 ? 0 : MEND_ERR_READ;
    bool member = id == kJUNK;
    if (list == kStrl)
        member = member || id == kStrh || id == kStrf || id == kStrn || id == kStrd || id == kIndx || id == kVprp;
    else if (list == kOdml)
        member = member || id == kDmlh;
    else
        member = member || id == kAvih || (id == kLIST && Uint2Macro(type) != kMacroNone);
    fits = member && (!sized || static_cast<int64_t>(sz) <= listEnd - (at + 8));
    return 0;
}

// The real size of a chunk (or list) of the first form's header lists,
// whose data starts at the input position. A size that does not end where
// a unit of its list begins is mended: for a stream format first to the
// size the format gives itself (a bitmap header's own size, which counts
// the codec's extra data; a wave format's 16 bytes, or 18 and its extra
// size), else to where the next unit of the list begins. libavformat reads
// the headers past a wrong size by other means and plays the file; the
// copy carries the size that holds. The position after it, or a negative
// internal code.
int64_t CAVIRepair::JudgeHeaderChild(uint32_t fourcc, uint32_t size, int64_t headerPos, uint32_t list,
                                     int64_t listEnd)
{
    const int64_t pos = headerPos + 8;
    const int64_t room = listEnd - pos;
    bool fits = false;
    auto endsWell = [this, pos, room, list, listEnd, &fits](int64_t length, bool sized) {
        fits = false;
        if (length < 0 || length > room)
            return 0;
        return HeaderUnitFits(list, listEnd, pos + length + (length & 1), sized, fits);
    };
    if (int r = endsWell(size, false); r < 0)
        return r;
    int64_t real = fits ? static_cast<int64_t>(size) : -1;
    if (real < 0 && fourcc == kStrf) {
        uint8_t head[20] = {};
        const bool known = room >= 20 && m_input->ReadAt(pos, head, sizeof(head)) == sizeof(head);
        const uint32_t kind = m_streams.empty() ? 0 : m_streams.back().fccType;
        std::vector<int64_t> own;
        if (known && kind == kVids)
            own.push_back(head[0] | head[1] << 8 | head[2] << 16 | static_cast<int64_t>(head[3]) << 24);
        if (known && kind == kAuds) {
            own.push_back(18 + (head[16] | head[17] << 8));
            own.push_back(16);
        }
        for (const int64_t length : own) {
            if (int r = endsWell(length, true); r < 0)
                return r;
            if (fits) {
                real = length;
                break;
            }
        }
    }
    if (real < 0) {
        // A list's size counts its type.
        const int64_t from = fourcc == kLIST ? pos + 4 : pos;
        auto unitAt = [this, list, listEnd](int64_t x, bool& yes) { return HeaderUnitFits(list, listEnd, x, true, yes); };
        int64_t end = listEnd;
        if (int r = sizemend::NextSoundUnit(from, listEnd, 0, unitAt, end); r < 0)
            return r;
        real = std::min<int64_t>(end - pos, kU32Max);
    }
    if (real != static_cast<int64_t>(size)) {
        m_sizeMends.push_back({headerPos + 4, static_cast<uint32_t>(real)});
        AddErrorAt(JRVP_DAMAGE_INDEX, headerPos);
    }
    m_input->SeekTo(pos + real + (real & 1));
    return real;
}

// Reads the two headers after a candidate: 1 when they look like chunks (or
// the form ends first), 0 when not, or a negative internal code.
int CAVIRepair::LookAhead(int64_t data, uint32_t size, int64_t limit, int64_t farLimit)
{
    // The candidate itself must end inside the form: bytes that merely
    // look like a header ("JFIF" in a JPEG frame) often claim a size that
    // reaches past it.
    if (static_cast<int64_t>(size) > limit - data)
        return 0;
    int64_t p = data + size + (size & 1);
    for (int step = 0; step < 2; ++step) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        if (p > limit - 8)
            return 1;
        uint32_t id = 0, sz = 0;
        if (!ReadHeaderAt(m_input.get(), p, id, sz))
            return MEND_ERR_READ;
        const int64_t d = p + 8;
        if (id == kLIST || id == kRIFF) {
            if (d > limit - 4)
                return 1;
            if (!ReadField(m_input.get(), id))
                return MEND_ERR_READ;
        }
        if (Uint2Macro(id) == kMacroNone || static_cast<int64_t>(sz) > farLimit - d)
            return 0;
        p = d + sz + (sz & 1);
    }
    return 1;
}

// Where the next chunk header may begin at or after from: the next "RIFF"
// when only a form will do, else the next four bytes that could be an id
// (every id the walk knows is made of letters, digits and spaces). limit
// when no header fits before it; a negative internal code on failure.
int64_t CAVIRepair::NextIdStart(int64_t from, int64_t limit, bool formOnly)
{
    while (from <= limit - 8) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        // The search steps back and forth around one place: the block read
        // last serves every step inside it.
        if (from < m_scanStart || from > m_scanStart + static_cast<int64_t>(m_scanBlock.size()) - 4) {
            const int64_t n = std::min<int64_t>(kScanBlock + 3, m_inputLength - from);
            m_budget -= n;
            if (m_budget < 0)
                return MEND_ERR_UNREPAIRABLE;
            m_scanBlock.resize(static_cast<size_t>(n));
            m_scanStart = from;
            m_input->SeekTo(from);
            if (m_input->Read(m_scanBlock.data(), static_cast<unsigned int>(n)) != n) {
                m_scanBlock.clear();
                return MEND_ERR_READ;
            }
        }
        const size_t n = m_scanBlock.size();
        const size_t at = static_cast<size_t>(from - m_scanStart);
        const size_t i = formOnly ? FindRiff(m_scanBlock.data(), at, n) : FindIdBytes(m_scanBlock.data(), at, n);
        if (i < n)
            return m_scanStart + static_cast<int64_t>(i) <= limit - 8 ? m_scanStart + static_cast<int64_t>(i) : limit;
        from = m_scanStart + static_cast<int64_t>(n) - 3;
    }
    return limit;
}

int CAVIRepair::PeekAt(int64_t at, uint8_t* out, int n)
{
    constexpr int64_t kPeek = 4096;
    if (at < m_peekAt || at - m_peekAt > static_cast<int64_t>(m_peek.size()) - n) {
        const int64_t want = std::min<int64_t>(kPeek, m_inputLength - at);
        m_peek.resize(static_cast<size_t>(std::max<int64_t>(want, 0)));
        m_peekAt = at;
        const long long got = want > 0 ? m_input->ReadAt(at, m_peek.data(), static_cast<unsigned int>(want)) : 0;
        m_peek.resize(static_cast<size_t>(std::max<long long>(got, 0)));
        if (got != want)
            m_peekAt = -1;
        if (static_cast<int64_t>(m_peek.size()) < n || got != want)
            return got < 0 || got != want ? MEND_ERR_READ : 1;
    }
    std::memcpy(out, m_peek.data() + (at - m_peekAt), static_cast<size_t>(n));
    return 0;
}

int64_t CAVIRepair::JudgeTag(uint32_t fourcc, uint32_t size, bool critical, bool inside)
{
    if (!m_input)
        return MEND_ERR_NO_STREAM;
    const int64_t pos = m_input->GetPos();
    const int m = Uint2Macro(fourcc);
    const int level = Macro2Level(m);
    const bool isForm = fourcc == kAVI || fourcc == kAVIX;
    int64_t limit = isForm || m_riffEnds.empty() ? m_inputLength : m_riffEnds.back();
    // A chunk that starts past its form's end (a form size too small):
    // measure it against nothing, so the size never turns negative and the
    // walk never moves back.
    if (limit < pos)
        limit = pos;
    const int64_t farLimit = limit + m_inputLength / 5;

    uint32_t header = 0;
    bool isList = false;
    if (pos >= 8) {
        m_input->SeekTo(pos - 8);
        if (!ReadField(m_input.get(), header))
            return MEND_ERR_READ;
        isList = header == kLIST || header == kRIFF;
    }

    // A list's size counts its own type: below 4 it cannot be right, and a
    // size of 0 would otherwise find the list's own type "after" it.
    bool search = (isList && size < 4) || static_cast<int64_t>(size) > limit - pos;
    if (!search) {
        const int64_t e = pos + size + (size & 1);
        if (e > limit - 8) {
            if (!inside)
                m_input->SeekTo(e);
            return size;
        }
        uint32_t id = 0, sz = 0;
        uint8_t next[12] = {};
        const bool peeked = inside && e <= limit - 12;
        if (peeked) {
            // The header after it and, for a list, its type: all the rule
            // below looks at, read without moving the buffer.
            if (PeekAt(e, next, 12) != 0)
                return MEND_ERR_READ;
            std::memcpy(&id, next, 4);
            std::memcpy(&sz, next + 4, 4);
        } else if (!ReadHeaderAt(m_input.get(), e, id, sz)) {
            return MEND_ERR_READ;
        }
        if (id == kLIST || id == kRIFF) {
            if (e + 8 > limit - 4) {
                if (!inside)
                    m_input->SeekTo(e);
                return size;
            }
            if (peeked) {
                std::memcpy(&id, next + 8, 4);
            } else if (!ReadField(m_input.get(), id)) {
                return MEND_ERR_READ;
            }
        }
        const int m2 = Uint2Macro(id);
        // Another form may follow anything. A movi list may follow any
        // chunk but a form: it belongs inside one, so a form that seems
        // to end right before it declares too small a size.
        bool accept = m2 == kMacroAvi || m2 == kMacroAvix || (m2 == kMacroMovi && !isForm);
        // A known id (a stream chunk, "idx1", "JUNK", ...) is specific
        // enough to be taken whatever its size says: that size is judged in
        // its turn, and an intact chunk is not blamed for the broken one
        // after it. Any four capitals or small letters need a size that fits.
        const bool specific = m2 != kMacroUpper && m2 != kMacroLower;
        if (!accept && m2 != kMacroNone && (static_cast<int64_t>(sz) <= farLimit - (e + 8) || specific))
            accept = LevelRule(m, level, m2);
        // Zero padding after a form is no chunk, and no reason to doubt
        // the form's size.
        if (!accept && isForm && m2 == kMacroNone) {
            int zero = ZeroToEnd(e);
            if (zero < 0)
                return zero;
            accept = zero == 1;
        }
        if (accept) {
            if (!inside)
                m_input->SeekTo(e);
            return size;
        }
    }

    // The search for the real end, one byte at a time from the chunk's data
    // (a list's: after its type), hopping over whole chunks that lie inside.
    int64_t cursor = isList ? pos + 4 : pos;
    int64_t realEnd = -1;
    // A list that runs past the end of the file is what a recording cut
    // short leaves: it ends where the file does, and the walk judges each
    // of its chunks in turn. Searching it byte by byte would only find the
    // same end at the cost of a pass over the whole file.
    if (isList && size >= 4 && limit == m_inputLength && static_cast<int64_t>(size) > limit - pos)
        realEnd = limit;
    while (realEnd < 0) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        if (--m_budget < 0)
            return MEND_ERR_UNREPAIRABLE;
        // Only another form can end a form, and the stream chunks of its
        // movi list are not known yet: it goes from one "RIFF" to the next
        // rather than judging every byte of the recording. Anything else
        // skips the bytes that cannot start an id.
        const int64_t cand = NextIdStart(cursor, limit, isForm);
        if (cand < 0)
            return cand;
        cursor = cand + 1;
        if (cand > limit - 8) {
            realEnd = limit;
            break;
        }
        uint32_t id = 0, csize = 0;
        if (!ReadHeaderAt(m_input.get(), cand, id, csize))
            return MEND_ERR_READ;
        const int64_t cdata = cand + 8;
        const bool header2List = id == kLIST || id == kRIFF;
        if (header2List) {
            if (cdata > limit - 4) {
                realEnd = cand;
                break;
            }
            if (!ReadField(m_input.get(), id))
                return MEND_ERR_READ;
        }
        const int cm = Uint2Macro(id);
        if (cm == kMacroNone || static_cast<int64_t>(csize) > farLimit - cdata)
            continue;
        int confirmed = LookAhead(cdata, csize, limit, farLimit);
        if (confirmed < 0)
            return confirmed;
        const bool levelOk = LevelRule(m, level, cm);
        if (!confirmed) {
            // A list's first child, or an "idx1"'s first entry, still tells
            // a real chunk from bytes that only look like one.
            const bool probeable = id == kIdx1 || header2List;
            const int64_t probe = id == kIdx1 ? cdata : cdata + 4;
            if (probeable && levelOk && probe <= limit - 4) {
                m_input->SeekTo(probe);
                uint32_t v = 0;
                if (!ReadField(m_input.get(), v))
                    return MEND_ERR_READ;
                if (Uint2Macro(v) != kMacroNone)
                    realEnd = cand;
            }
            continue;
        }
        if (levelOk) {
            realEnd = cand;
            break;
        }
        cursor = cdata + csize + (csize & 1);
    }
    const int64_t realSize = std::min<int64_t>(std::max<int64_t>(realEnd - pos, 0), kU32Max);
    m_input->SeekTo(pos + realSize);

    TagInfo tag;
    tag.fourcc = fourcc;
    tag.realSize = realSize;
    tag.start = pos;
    if (m == kMacroRec || m == kMacroIx || m == kMacroVideo || m == kMacroAudio || m == kMacroText) {
        if (m_movis.empty())
            m_cannotRepair = true;
        else
            m_movis.back().damaged.push_back(tag);
    } else {
        m_damaged.push_back(tag);
        // Leaving a chunk out of the header list would leave the list's
        // size wrong; the header cannot be mended.
        if (pos > m_hdrlStart && pos < m_hdrlEnd)
            m_cannotRepair = true;
    }
    AddErrorAt(JRVP_DAMAGE_INDEX, pos - 8);
    if (critical)
        m_cannotRepair = true;
    return realSize;
}

// A header list's children lie back to back from its type on: in "hdrl"
// the main header, a list per stream and the extended header, in "strl"
// the stream's header, format, name and index, with fillers among them.
// Where they meet a chunk that stands only beside the list (for "hdrl" the
// movi list, an index or another form; for "strl" the next stream's list,
// or the end of "hdrl") the list has ended, whatever its size says:
// libavformat reads the headers that way and plays a file whose list size
// is wrong. A size that does not end at that place (or after one of the
// fillers before it, which may stand on either side) is mended to it.
// Children that do not lead there (damage, a cut) leave the size to be
// judged as any other.
int64_t CAVIRepair::JudgeHeaderList(uint32_t type, uint32_t size)
{
    const int64_t pos = m_input->GetPos();
    const int64_t limit = std::max(pos, m_riffEnds.empty() ? m_inputLength : m_riffEnds.back());
    // A stream's list ends with the header list at the latest.
    const bool inHdrl = type == kStrl && m_hdrlStart >= 0 && pos > m_hdrlStart && pos < m_hdrlEnd;
    const int64_t parentEnd = inHdrl ? m_hdrlEnd : limit;
    auto read = [this, type, parentEnd](int64_t at, sizemend::ChainUnit& unit) {
        if (TestAbort())
            return static_cast<int>(MEND_ERR_ABORTED);
        if (--m_budget < 0)
            return static_cast<int>(MEND_ERR_UNREPAIRABLE);
        if (at == parentEnd && type == kStrl) {
            unit.kind = sizemend::ChainUnit::kSibling;
            return 0;
        }
        if (at > parentEnd - 12)
            return 0;
        uint32_t id = 0, sz = 0, what = 0;
        if (!ReadHeaderAt(m_input.get(), at, id, sz) || !ReadField(m_input.get(), what))
            return static_cast<int>(MEND_ERR_READ);
        if (id != kLIST && id != kRIFF)
            what = id;
        const bool sibling = type == kHdrl ? id == kRIFF || id == kIdx1 || what == kMovi
                                           : id == kRIFF || id == kIdx1 || id == kAvih || id == kLIST;
        if (sibling) {
            unit.kind = sizemend::ChainUnit::kSibling;
            return 0;
        }
        if (Uint2Macro(what) == kMacroNone || (id == kLIST && sz < 4))
            return 0;
        unit.length = 8 + static_cast<int64_t>(sz) + (sz & 1);
        const bool child = type == kHdrl ? what == kAvih || what == kStrl || what == kOdml
                                         : what == kStrh || what == kStrf || what == kStrn || what == kIndx ||
                                               what == kStrd || what == kVprp;
        unit.kind = child ? sizemend::ChainUnit::kChild : sizemend::ChainUnit::kFiller;
        return 0;
    };
    const int64_t declared = static_cast<int64_t>(size) + (size & 1);
    int64_t end = -1;
    if (int r = sizemend::ChildChainEnd(pos + 4, limit, pos + declared, read, end); r < 0)
        return r;
    if (end < 0 || end - pos > kU32Max) {
        m_input->SeekTo(pos);
        return JudgeTag(type, size, true);
    }
    m_input->SeekTo(end);
    if (end - pos == declared)
        return size;
    const int64_t mended = end - pos;
    if (type == kHdrl) {
        m_hdrlMended = mended;
    } else {
        m_strlMended.resize(m_strlCount + 1, -1);
        m_strlMended[m_strlCount] = mended;
    }
    AddErrorAt(JRVP_DAMAGE_INDEX, pos - 8);
    return mended;
}

// ---------------------------------------------------------------------------
// Rebuild

int CAVIRepair::RepairLevel2()
{
    return MEND_ERR_CANNOT_REPAIR;
}

int CAVIRepair::RepairLevel3(const char*)
{
    return MEND_ERR_CANNOT_REPAIR;
}

// Input stretches that the copy leaves out: damaged chunks, the wrapper of
// a damaged "rec " list (its chunks stay, loose in the movi list), and the
// old index chunks, which are written anew.
void CAVIRepair::BuildSkipRanges()
{
    m_skip.clear();
    for (const TagInfo& t : m_damaged) {
        if (t.fourcc == kAVI || t.fourcc == kAVIX || t.fourcc == kMovi)
            continue;  // a form or movi list: its size is rewritten anyway
        m_skip.push_back({t.start - 8, t.start + t.realSize});
    }
    for (const MoviContext& movi : m_movis) {
        for (const TagInfo& t : movi.damaged) {
            if (t.fourcc == kRec)
                m_skip.push_back({t.start - 8, t.start + 4});
            else
                m_skip.push_back({t.start - 8, t.start + t.realSize});
        }
    }
    for (const IndexContext& index : m_indexes) {
        int64_t end = index.range.second + ((index.range.second - index.range.first) & 1);
        m_skip.push_back({index.range.first - 8, std::min(end, m_inputLength)});
    }
    if (m_tailFrom < m_inputLength)
        m_skip.push_back({m_tailFrom, m_inputLength});
    std::sort(m_skip.begin(), m_skip.end());
}

// Copies input [from, to) to the output's end, leaving out the skip ranges;
// an observer sees every copied block.
int CAVIRepair::CopyRange(int64_t from, int64_t to, ICopyObserver* observer)
{
    to = std::min(to, m_inputLength);
    int64_t p = from;
    for (const auto& range : m_skip) {
        if (p >= to)
            break;
        if (range.second <= p)
            continue;
        if (range.first >= to)
            break;
        if (range.first > p) {
            m_input->SeekTo(p);
            int r = WriteToFile(range.first - p, observer);
            if (r < 0)
                return r;
        }
        p = std::max(p, range.second);
    }
    if (p < to) {
        m_input->SeekTo(p);
        int r = WriteToFile(to - p, observer);
        if (r < 0)
            return r;
    }
    return 0;
}

int CAVIRepair::PatchU32(int64_t pos, uint32_t value)
{
    const long long end = m_output->GetLength();
    m_output->SeekTo(pos);
    bool ok = WriteField(m_output, value);
    m_output->SeekTo(end);
    return ok ? 0 : MEND_ERR_WRITE;
}

// Writes the size of the chunk whose size field is at sizeField: everything
// written after it. Plain RIFF sizes are 32-bit; a bigger one cannot be held.
int CAVIRepair::PatchSize(int64_t sizeField)
{
    const int64_t size = m_output->GetLength() - sizeField - 4;
    if (size < 0 || size > kU32Max)
        return MEND_ERR_UNREPAIRABLE;
    return PatchU32(sizeField, static_cast<uint32_t>(size));
}

int CAVIRepair::RepairLevel1()
{
    if (!m_input || !m_output)
        return MEND_ERR_NO_STREAM;
    if (m_cannotRepair || m_movis.empty() || m_movis.size() != m_riffEnds.size())
        return MEND_ERR_CANNOT_REPAIR;
    if (GetErrorsCount() == 0)
        return 0;
    BuildSkipRanges();
    m_parsers.clear();
    m_parsers.resize(m_streams.size());
    for (size_t s = 0; s < m_streams.size(); ++s) {
        if (m_streams[s].fccType != kVids)
            continue;
        // The rebuilt index flags key frames, which takes libavcodec's
        // parser: without FFmpeg the repair says so rather than writing
        // an index with none.
        bool ok = false;
        bool missing = false;
        auto parser = std::make_unique<CDataParser>(CodecIdFromCompression(m_streams[s].formatValue, &missing), ok);
        if (missing || parser->LibraryMissing())
            return MEND_ERR_NO_CODEC_LIBRARY;
        if (ok)
            m_parsers[s] = std::move(parser);
    }
    m_outChunks.assign(m_streams.size(), 0);
    m_outBytes.assign(m_streams.size(), 0);
    m_outFirstFormVideo = 0;
    m_out = OutputHeaders();
    m_input->SeekTo(0);
    m_output->SeekTo(0);
    m_output->SetLength(0);

    for (uint32_t i = 0; i < m_movis.size(); ++i) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        m_form = i;
        const int64_t formStart = m_riffStarts[i];
        const int64_t formEnd = std::min(m_riffEnds[i], m_inputLength);
        const int64_t outForm = m_output->GetLength();
        int r = CopyRange(formStart, m_movis[i].start);
        if (r < 0)
            return r;
        if (i == 0) {
            r = FindOutputHeaders(outForm + 12, m_output->GetLength());
            if (r < 0)
                return r;
        }
        r = RepairMovi(i);
        if (r < 0)
            return r;
        r = CopyRange(std::min(m_movis[i].end, formEnd), formEnd);
        if (r < 0)
            return r;
        if (m_output->GetLength() & 1) {
            uint8_t pad = 0;
            if (!WriteField(m_output, pad))
                return MEND_ERR_WRITE;
        }
        r = PatchSize(outForm + 4);
        if (r < 0)
            return r;
    }
    SolveError(JRVP_DAMAGE_INDEX);
    int r = PatchHeaders();
    if (r < 0)
        return r;
    SolveError(JRVP_DAMAGE_TIMING);
    return 0;
}

// Rebuilds movi list i: its good chunks, the standard indexes inside it
// when the file has super indexes, its size, and after it, for the first
// form, the "idx1".
int CAVIRepair::RepairMovi(uint32_t i)
{
    std::vector<ChunkRecord> records;
    int r = AddData(i, records);
    if (r < 0)
        return r;
    if (!m_indxPositions.empty()) {
        r = AddIX(m_moviType, records);
        if (r < 0)
            return r;
    }
    r = PatchSize(m_moviType - 4);
    if (r < 0)
        return r;
    return i == 0 ? AddIdx1(m_moviType, records) : 0;
}

// A chunk of a copied movi list: where its header lies in the output, and
// the first bytes of its data when the walk was asked for them.
struct CAVIRepair::WalkedChunk {
    uint32_t fourcc;
    uint32_t size;
    int64_t pos;
    uint8_t* head;
    uint32_t headSize;
    // Writable bytes after the head in the walker's memory, which the
    // key-frame test may use as its padding.
    size_t headRoom;
};

// Finds the chunks of a copied movi list in its bytes as the copy passes
// them on, block by block in output order, the way a walk over the finished
// copy would: a "LIST" header (of a "rec " list) is stepped into, any other
// chunk passed over by its padded size. A chunk is handed on once the last
// byte of its data went by: one whose size runs past the end of the copy
// never is, nothing after its header is taken for a chunk, and the key-frame
// parsers, which carry state from frame to frame, see only indexed frames.
class CAVIRepair::CMoviWalker : public ICopyObserver {
public:
    // How many of a chunk's first data bytes the receiver wants to see.
    using HeadWanted = std::function<uint32_t(uint32_t fourcc, uint32_t size)>;
    using ChunkFound = std::function<void(const WalkedChunk&)>;

    CMoviWalker(int64_t start, HeadWanted headWanted, ChunkFound chunkFound)
        : m_end(start), m_next(start), m_headWanted(std::move(headWanted)), m_chunkFound(std::move(chunkFound))
    {
    }

    void OnCopied(uint8_t* block, size_t n, size_t room) override
    {
        const int64_t blockStart = m_end;
        m_end += static_cast<int64_t>(n);
        m_room = room;
        while (m_inChunk ? TakeData(block, blockStart) : TakeHeader(block, blockStart)) {
        }
    }

private:
    // Gathers the header at m_next; false when the block ends first.
    bool TakeHeader(uint8_t* block, int64_t blockStart)
    {
        const int64_t from = m_next + m_headerHave;
        if (from >= m_end)
            return false;
        const size_t n = static_cast<size_t>(std::min<int64_t>(8 - m_headerHave, m_end - from));
        std::memcpy(m_header + m_headerHave, block + (from - blockStart), n);
        m_headerHave += static_cast<uint32_t>(n);
        if (m_headerHave < 8)
            return false;
        m_headerHave = 0;
        uint32_t fourcc = 0, size = 0;
        std::memcpy(&fourcc, m_header, 4);
        std::memcpy(&size, m_header + 4, 4);
        if (fourcc == kLIST) {
            m_next += 12;  // a "rec " list: its chunks are taken one by one
            return true;
        }
        m_chunk = WalkedChunk{fourcc, size, m_next, nullptr, 0, 0};
        m_chunk.headSize = std::min(size, m_headWanted(fourcc, size));
        m_head.clear();
        m_inChunk = true;
        return true;
    }

    // Passes over the current chunk's data, keeping its head; hands the
    // chunk on at its end. False when the block ends first.
    bool TakeData(uint8_t* block, int64_t blockStart)
    {
        const int64_t data = m_chunk.pos + 8;
        const int64_t dataEnd = data + m_chunk.size;
        if (dataEnd > m_end) {
            KeepHead(block, blockStart);
            return false;
        }
        if (m_head.empty() && data >= blockStart) {
            // The common case: all of the data lies in this block.
            m_chunk.head = block + (data - blockStart);
            m_chunk.headRoom = static_cast<size_t>(m_end - (data + m_chunk.headSize)) + m_room;
        } else {
            KeepHead(block, blockStart);
            m_chunk.head = m_head.data();
            m_chunk.headRoom = 0;
        }
        m_chunkFound(m_chunk);
        m_inChunk = false;
        m_next = dataEnd + (m_chunk.size & 1);
        return true;
    }

    // Keeps the bytes of the chunk's head that lie in this block.
    void KeepHead(const uint8_t* block, int64_t blockStart)
    {
        const int64_t from = m_chunk.pos + 8 + static_cast<int64_t>(m_head.size());
        const int64_t to = std::min<int64_t>(m_chunk.pos + 8 + m_chunk.headSize, m_end);
        if (from >= to)
            return;
        const uint8_t* p = block + (from - blockStart);
        m_head.insert(m_head.end(), p, p + (to - from));
    }

    int64_t m_end;   // output position after the bytes seen so far
    int64_t m_next;  // output position of the next chunk header
    size_t m_room = 0;  // writable bytes after the current block
    uint8_t m_header[8] = {};
    uint32_t m_headerHave = 0;
    bool m_inChunk = false;
    WalkedChunk m_chunk{};
    std::vector<uint8_t> m_head;
    HeadWanted m_headWanted;
    ChunkFound m_chunkFound;
};

// Copies movi list i, its type first, without damaged and old index chunks,
// and records its data chunks as the copy passes them.
int CAVIRepair::AddData(uint32_t i, std::vector<ChunkRecord>& records)
{
    if (!m_input || !m_output)
        return MEND_ERR_NO_STREAM;
    if (i >= m_movis.size())
        return MEND_ERR_REPAIR_REFUSED;
    m_moviType = m_output->GetLength();
    const MoviContext& movi = m_movis[i];
    const int64_t end = std::min(movi.end, std::min(m_riffEnds[i], m_inputLength));
    m_input->SeekTo(movi.start);
    int r = WriteToFile(4);
    if (r < 0)
        return r;
    CMoviWalker walker(
        m_moviType + 4, [this](uint32_t fourcc, uint32_t size) { return KeyFrameBytes(fourcc, size); },
        [this, &records](const WalkedChunk& chunk) { RecordChunk(chunk, records); });
    return CopyRange(movi.start + 4, end, &walker);
}

// The parser of the stream a chunk id names, if it has one.
CDataParser* CAVIRepair::ParserOf(uint32_t fourcc) const
{
    const int s = StreamNumber(fourcc);
    return s >= 0 && static_cast<size_t>(s) < m_parsers.size() ? m_parsers[s].get() : nullptr;
}

// The bytes the key-frame test reads of a chunk: the start of a video frame
// of a stream that has a parser; nothing of any other chunk.
uint32_t CAVIRepair::KeyFrameBytes(uint32_t fourcc, uint32_t size) const
{
    if (Uint2Macro(fourcc) != kMacroVideo || !ParserOf(fourcc))
        return 0;
    return std::min(size, kMaxParsedFrame);
}

// Records a data chunk of the copied movi list and tells key frames.
void CAVIRepair::RecordChunk(const WalkedChunk& chunk, std::vector<ChunkRecord>& records)
{
    const int m = Uint2Macro(chunk.fourcc);
    if (!IsDataMacro(m))
        return;
    ChunkRecord rec{chunk.fourcc, chunk.size, chunk.pos, static_cast<uint32_t>(StreamNumber(chunk.fourcc)), true};
    CDataParser* parser = ParserOf(chunk.fourcc);
    if (m == kMacroVideo && chunk.size > 0 && parser) {
        int key = 0;
        // A chunk the parser does not take whole is still a frame; it
        // keeps its entry with what the parser saw of it.
        parser->CheckIsKeyFrameInPlace(chunk.head, static_cast<int>(chunk.headSize), chunk.headRoom, key);
        rec.key = key != 0;
    }
    if (rec.stream < m_outChunks.size()) {
        m_outChunks[rec.stream]++;
        m_outBytes[rec.stream] += chunk.size;
        if (m_form == 0 && static_cast<int>(rec.stream) == m_firstVideo && m == kMacroVideo)
            m_outFirstFormVideo++;
    }
    records.push_back(rec);
}

int CAVIRepair::AddIdx1(int64_t moviType, const std::vector<ChunkRecord>& records)
{
    if (records.size() > kU32Max / 16)
        return MEND_ERR_UNREPAIRABLE;
    m_output->SeekTo(m_output->GetLength());
    const uint32_t size = static_cast<uint32_t>(records.size() * 16);
    if (!WriteField(m_output, kIdx1) || !WriteField(m_output, size))
        return MEND_ERR_WRITE;
    for (const ChunkRecord& rec : records) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        // Offsets are 32-bit from the movi list's type; a list beyond that
        // cannot be indexed by "idx1".
        const int64_t offset = rec.pos - moviType;
        if (offset < 0 || offset > kU32Max)
            return MEND_ERR_UNREPAIRABLE;
        const uint32_t flags = rec.key ? kIdx1KeyFrame : 0;
        if (!WriteField(m_output, rec.fourcc) || !WriteField(m_output, flags) ||
            !WriteField(m_output, static_cast<uint32_t>(offset)) || !WriteField(m_output, rec.size))
            return MEND_ERR_WRITE;
    }
    return 0;
}

// One standard index per stream at the end of the movi data, and an entry
// for it in the stream's super index while the super index has room.
int CAVIRepair::AddIX(int64_t moviType, const std::vector<ChunkRecord>& records)
{
    for (uint32_t s = 0; s < m_streams.size(); ++s) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        uint32_t count = 0;
        uint32_t chunkId = 0;
        uint64_t bytes = 0;
        for (const ChunkRecord& rec : records) {
            if (rec.stream != s)
                continue;
            if (count == 0)
                chunkId = rec.fourcc;
            ++count;
            bytes += rec.size;
        }
        if (count == 0)
            continue;  // nothing of this stream here: no index, no entry
        if (count > (kU32Max - 32) / 8)
            return MEND_ERR_UNREPAIRABLE;
        const int64_t ixPos = m_output->GetLength();
        m_output->SeekTo(ixPos);
        const uint32_t ixId = FourCC("ix00") + ((s / 10) << 16) + ((s % 10) << 24);
        const uint32_t ixSize = 24 + 8 * count;
        const uint16_t longsPerEntry = 2;
        const uint8_t subType = 0, indexType = 1;  // AVI_INDEX_OF_CHUNKS
        const int64_t base = moviType;
        const uint32_t reserved = 0;
        if (!WriteField(m_output, ixId) || !WriteField(m_output, ixSize) ||
            !WriteField(m_output, longsPerEntry) || !WriteField(m_output, subType) ||
            !WriteField(m_output, indexType) || !WriteField(m_output, count) ||
            !WriteField(m_output, chunkId) || !WriteField(m_output, base) || !WriteField(m_output, reserved))
            return MEND_ERR_WRITE;
        for (const ChunkRecord& rec : records) {
            if (rec.stream != s)
                continue;
            const int64_t offset = rec.pos + 8 - base;
            if (offset < 0 || offset > kU32Max || rec.size >= kIxDeltaFrame)
                return MEND_ERR_UNREPAIRABLE;
            const uint32_t size = rec.key ? rec.size : (rec.size | kIxDeltaFrame);
            if (!WriteField(m_output, static_cast<uint32_t>(offset)) || !WriteField(m_output, size))
                return MEND_ERR_WRITE;
        }
        if (s >= m_out.indx.size() || m_out.indx[s] < 0)
            continue;
        uint32_t& used = m_out.indxUsed[s];
        if (used >= m_out.indxRoom[s])
            continue;  // the super index has no room left for this form
        const StreamLenMsg& stream = m_streams[s];
        const uint64_t duration = CountedLength(stream, count, bytes);
        const int64_t entry = m_out.indx[s] + 24 + 16 * static_cast<int64_t>(used);
        const long long end = m_output->GetLength();
        m_output->SeekTo(entry);
        if (!WriteField(m_output, ixPos) || !WriteField(m_output, ixSize + 8) ||
            !WriteField(m_output, static_cast<uint32_t>(std::min<uint64_t>(duration, kU32Max))))
            return MEND_ERR_WRITE;
        m_output->SeekTo(end);
        ++used;
    }
    return 0;
}

// Finds the main header, the stream headers, the super indexes and the
// extended header in the copied header list, wherever the copy put them.
int CAVIRepair::FindOutputHeaders(int64_t from, int64_t to)
{
    // The first form's headers are copied where they stood: the sizes the
    // walk mended go where it found them.
    for (const auto& [at, size] : m_sizeMends) {
        if (at > to - 4)
            continue;
        int r = PatchU32(at, size);
        if (r < 0)
            return r;
    }
    int64_t p = from;
    int stream = -1;
    bool hdrlSeen = false;
    while (p <= to - 8) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        uint32_t id = 0, size = 0;
        if (!ReadHeaderAt(m_output, p, id, size))
            return MEND_ERR_READ;
        const int64_t data = p + 8;
        if (id == kLIST) {
            uint32_t type = 0;
            if (p > to - 12 || !ReadField(m_output, type))
                break;
            if (type == kMovi)
                break;
            if (type == kHdrl || type == kStrl || type == kOdml) {
                if (type == kStrl)
                    ++stream;
                // The lists the walk mended, in the order it met them.
                int64_t mended = -1;
                if (type == kHdrl && !hdrlSeen)
                    mended = m_hdrlMended;
                else if (type == kStrl && stream >= 0 && static_cast<size_t>(stream) < m_strlMended.size())
                    mended = m_strlMended[stream];
                if (mended >= 0) {
                    int r = PatchU32(p + 4, static_cast<uint32_t>(mended));
                    if (r < 0)
                        return r;
                }
                hdrlSeen = hdrlSeen || type == kHdrl;
                p = data + 4;
                continue;
            }
        } else if (id == kAvih && m_out.avih < 0) {
            m_out.avih = data;
            m_out.avihSize = size;
        } else if (id == kDmlh && m_out.dmlh < 0) {
            m_out.dmlh = data;
            m_out.dmlhSize = size;
        } else if (id == kStrh) {
            m_out.strh.push_back({data, size});
        } else if (id == kIndx && stream >= 0) {
            const size_t s = static_cast<size_t>(stream);
            if (m_out.indx.size() <= s) {
                m_out.indx.resize(s + 1, -1);
                m_out.indxRoom.resize(s + 1, 0);
                m_out.indxUsed.resize(s + 1, 0);
            }
            m_out.indx[s] = data;
            m_out.indxRoom[s] = size >= 24 ? (size - 24) / 16 : 0;
        }
        if (static_cast<int64_t>(size) > to - data)
            break;
        p = data + size + (size & 1);
    }
    m_output->SeekTo(m_output->GetLength());
    return 0;
}

int CAVIRepair::PatchHeaders()
{
    uint64_t videoFrames = 0;
    for (size_t s = 0; s < m_streams.size(); ++s) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        const uint64_t length = CountedLength(m_streams[s], m_outChunks[s], m_outBytes[s]);
        if (static_cast<int>(s) == m_firstVideo)
            videoFrames = length;
        if (s < m_out.strh.size() && m_out.strh[s].second >= 36) {
            int r = PatchU32(m_out.strh[s].first + 32, static_cast<uint32_t>(std::min<uint64_t>(length, kU32Max)));
            if (r < 0)
                return r;
            if (m_streams[s].startMended) {
                r = PatchU32(m_out.strh[s].first + 28, 0);
                if (r < 0)
                    return r;
            }
            if (m_streams[s].rateMended) {
                r = PatchU32(m_out.strh[s].first + 20, m_streams[s].scale);
                if (r < 0 || (r = PatchU32(m_out.strh[s].first + 24, m_streams[s].rate)) < 0)
                    return r;
            }
        }
    }
    for (size_t s = 0; s < m_out.indx.size(); ++s) {
        if (m_out.indx[s] < 0)
            continue;
        // Entries in use, and the slots left over from the old index cleared.
        int r = PatchU32(m_out.indx[s] + 4, m_out.indxUsed[s]);
        if (r < 0)
            return r;
        for (uint32_t e = m_out.indxUsed[s]; e < m_out.indxRoom[s]; ++e) {
            for (int w = 0; w < 4; ++w) {
                r = PatchU32(m_out.indx[s] + 24 + 16 * static_cast<int64_t>(e) + 4 * w, 0);
                if (r < 0)
                    return r;
            }
        }
    }
    if (m_out.avih >= 0 && m_out.avihSize >= 20) {
        m_output->SeekTo(m_out.avih + 12);
        uint32_t flags = 0;
        if (!ReadField(m_output, flags))
            return MEND_ERR_READ;
        int r = PatchU32(m_out.avih + 12, flags | kAvihHasIndex);
        if (r < 0)
            return r;
        if (m_firstVideo >= 0) {
            r = PatchU32(m_out.avih + 16, static_cast<uint32_t>(std::min<uint64_t>(m_outFirstFormVideo, kU32Max)));
            if (r < 0)
                return r;
        }
    }
    if (m_out.dmlh >= 0 && m_out.dmlhSize >= 4 && m_firstVideo >= 0) {
        int r = PatchU32(m_out.dmlh, static_cast<uint32_t>(std::min<uint64_t>(videoFrames, kU32Max)));
        if (r < 0)
            return r;
    }
    m_output->SeekTo(m_output->GetLength());
    return 0;
}
