// MPEG-1 system streams and MPEG-2 program streams: one walk and one
// rebuild, their differences (pack header, packet header, clock, raw CD
// sectors, how far a timestamp may leap) in PSTraits.
#include <string.h>

#include <algorithm>
#include <limits>

#include "repairers/MPEGRepair.h"

namespace {

constexpr uint8_t kPackStart = 0xBA;
constexpr uint8_t kSystemHeader = 0xBB;
constexpr uint8_t kProgramEnd = 0xB9;
constexpr uint8_t kFirstStreamId = 0xBC;
// Enough for any MPEG-2 PES header (9 + 255 bytes) and any MPEG-1 one.
constexpr int64_t kPesHeaderMax = 9 + 255;
constexpr int64_t kDetectWindow = 102400;
// Units a detection candidate must chain before the stream counts as one.
constexpr int kDetectUnits = 16;
constexpr int kDetectMinUnits = 4;
// A raw CD-ROM sector begins with this sync (ECMA-130), then a 4-byte
// header and an 8-byte subheader before its data.
const uint8_t kSectorSync[12] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
constexpr int kSectorDataOffset = 24;
// Without a usable mux rate and timestamps to measure one: DVD's 10.08 Mbit/s.
constexpr uint32_t kDefaultMuxRate = 25200;
// One raw CD sector: zero padding longer than that is damage.
constexpr int64_t kMaxZeroPadding = 2352;

bool IsStartCode(const uint8_t* d)
{
    return d[0] == 0 && d[1] == 0 && d[2] == 1;
}

bool StreamIdHasNoPesHeader(uint8_t id)
{
    return id == 0xBC || id == 0xBE || id == 0xBF || id == 0xF0 || id == 0xF1 || id == 0xFF || id == 0xF2 ||
           id == 0xF8;
}

uint32_t Be16(const uint8_t* d)
{
    return (uint32_t(d[0]) << 8) | d[1];
}

// What may lie between two units at w (n bytes): zero padding, and in raw
// CD sectors the error-detection bytes of a sector, then the sync (after
// at most five more bytes), header and subheader of the next. The offset
// of the start code after it; -1 when none follows, kFramingShort when the
// bytes end first. The zero skip stops at a start code and at a sync's
// first byte, so it never eats into what follows.
constexpr int64_t kFramingShort = -2;

int64_t SkipFraming(const uint8_t* w, int64_t n, bool cdSectors, bool* sector)
{
    int64_t k = 0;
    while (k < n && w[k] == 0 && !(k + 3 <= n && IsStartCode(w + k)) && !(cdSectors && k + 1 < n && w[k + 1] == 0xFF))
        ++k;
    if (k + 3 <= n && IsStartCode(w + k))
        return k;
    if (k + 3 > n)
        return kFramingShort;
    if (!cdSectors)
        return -1;
    for (int64_t t = 0; t < 6; ++t) {
        const int64_t sync = k + t;
        if (sync + 12 > n)
            return kFramingShort;
        if (memcmp(w + sync, kSectorSync, 12) != 0)
            continue;
        const int64_t data = sync + kSectorDataOffset;
        if (data + 3 > n)
            return kFramingShort;
        if (!IsStartCode(w + data))
            return -1;
        if (sector)
            *sector = true;
        return data;
    }
    return -1;
}

bool IsVideo(uint8_t id)
{
    return id >= 0xE0 && id <= 0xEF;
}

bool IsMpegAudio(uint8_t id)
{
    return id >= 0xC0 && id <= 0xDF;
}

// The length of the audio frame whose header is at p: MPEG audio and ADTS
// in the audio stream ids; AC-3 and DTS in private stream 1. -1 when no
// header of these, with every field in range, is there.
int64_t AudioFrameLength(uint8_t id, const uint8_t* p, int64_t n)
{
    if (n < 8)
        return -1;
    if (id == 0xBD) {
        if (p[0] == 0x0B && p[1] == 0x77) {  // AC-3: frame size code by sample rate
            static const int kKbps[] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160,
                                        192, 224, 256, 320, 384, 448, 512, 576, 640};
            const int fscod = p[4] >> 6, code = p[4] & 0x3F;
            if (fscod == 3 || code >= 38 || (p[5] >> 3) > 10)
                return -1;  // reserved, or E-AC-3
            const int64_t kbps = kKbps[code >> 1];
            // 16-bit words in 1536 samples; at 44.1 kHz the odd codes add one.
            const int64_t words = fscod == 0   ? 2 * kbps
                                  : fscod == 2 ? 3 * kbps
                                               : kbps * 1000 * 1536 / 44100 / 16 + (code & 1);
            return 2 * words;
        }
        if (p[0] == 0x7F && p[1] == 0xFE && p[2] == 0x80 && p[3] == 0x01) {  // DTS
            const int64_t size = ((int64_t(p[5] & 3) << 12) | (int64_t(p[6]) << 4) | (p[7] >> 4)) + 1;
            return size >= 96 ? size : -1;
        }
        return -1;
    }
    if (!IsMpegAudio(id) || p[0] != 0xFF || (p[1] & 0xE0) != 0xE0)
        return -1;
    const int layer = (p[1] >> 1) & 3;  // 1 III, 2 II, 3 I, 0 ADTS
    if (layer == 0) {
        if ((p[1] & 0xF6) != 0xF0 || ((p[2] >> 2) & 0x0F) >= 13)
            return -1;
        const int64_t length = (int64_t(p[3] & 3) << 11) | (int64_t(p[4]) << 3) | (p[5] >> 5);
        return length >= 7 ? length : -1;
    }
    const int version = (p[1] >> 3) & 3;  // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5, 1 reserved
    const int bitrate = p[2] >> 4, rate = (p[2] >> 2) & 3;
    if (version == 1 || bitrate == 0 || bitrate == 15 || rate == 3)
        return -1;
    static const int kLayer1[] = {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448};
    static const int kLayer2[] = {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384};
    static const int kLayer3[] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
    static const int kLowRate1[] = {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256};
    static const int kLowRate[] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
    static const int kRates[] = {44100, 48000, 32000};
    const bool mpeg1 = version == 3;
    const int hz = kRates[rate] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
    const int64_t padding = (p[2] >> 1) & 1;
    if (layer == 3) {
        const int64_t kbps = mpeg1 ? kLayer1[bitrate] : kLowRate1[bitrate];
        return (12000 * kbps / hz + padding) * 4;
    }
    const int64_t kbps = !mpeg1 ? kLowRate[bitrate] : layer == 2 ? kLayer2[bitrate] : kLayer3[bitrate];
    // Layer III of MPEG-2 and 2.5 holds half as many samples per frame.
    const int64_t perFrame = (!mpeg1 && layer == 1) ? 72000 : 144000;
    return perFrame * kbps / hz + padding;
}

// An audio frame header at p. Audio data is full of 0xFFF: `verified`
// asks for the next frame's header right after it, within the n bytes.
bool IsAudioFrameStart(uint8_t id, const uint8_t* p, int64_t n, bool verified)
{
    const int64_t length = AudioFrameLength(id, p, n);
    if (length < 0)
        return false;
    if (length + 2 > n)
        return !verified;
    return p[length] == p[0] && (p[length + 1] & 0xFE) == (p[1] & 0xFE);
}

// Whether an MPEG audio header at p is of the stream's kind (its version,
// layer and sample rate, as kind1 and kind2 hold them from a header of the
// stream); any header is when the kind is not known (kind1 0).
bool OfKind(const uint8_t* p, uint8_t kind1, uint8_t kind2)
{
    return kind1 == 0 || ((p[1] & 0xFE) == kind1 && (p[2] & 0x0C) == kind2);
}

// What a video stream carries, told from a packet that starts a frame.
// Their start codes share the prefix but not the meaning: 00 00 01 09 is
// an access unit delimiter in H.264 and a slice of the ninth macroblock
// row in MPEG-1/2.
enum VideoCodec : uint8_t { kVideoUnknown = 0, kVideoMpeg = 1, kVideoH264 = 2 };

bool IsMpegVideoFrameCode(uint8_t code)
{
    return code == 0xB3 || code == 0xB8 || code == 0x00;
}

// An H.264 NAL header byte at p[0] (with the byte after it at p[1]) that
// opens an access unit: a delimiter, a sequence or picture parameter set,
// SEI, or the first slice of a picture (first_mb_in_slice 0).
bool OpensH264AccessUnit(const uint8_t* p, int64_t n)
{
    if (n < 2 || (p[0] & 0x80))
        return false;
    const int type = p[0] & 0x1F;
    return type == 9 || type == 7 || type == 8 || type == 6 || ((type == 1 || type == 5) && (p[1] & 0x80));
}

// An H.264 sequence parameter set: a referenced NAL of type 7 whose first
// byte is a profile the standard defines.
bool IsH264SequenceSet(const uint8_t* p, int64_t n)
{
    static const uint8_t kProfiles[] = {66, 77, 88, 100, 110, 122, 244, 44, 83, 86, 118, 128, 134, 135, 138, 139};
    return n >= 2 && (p[0] & 0x9F) == 0x07 && (p[0] & 0x60) &&
           std::find(std::begin(kProfiles), std::end(kProfiles), p[1]) != std::end(kProfiles);
}

// The codec of the video in a payload that holds a frame start: a picture,
// sequence or GOP header (or a sequence extension) is MPEG-1/2, which H.264
// cannot hold (those bytes would set its forbidden bit or name type 0); else
// a delimiter or sequence parameter set is H.264.
uint8_t VideoCodecOf(const uint8_t* p, int64_t n)
{
    bool h264 = false;
    for (int64_t i = 0; i + 4 <= n; ++i) {
        if (p[i + 2] != 1 || p[i] != 0 || p[i + 1] != 0)
            continue;
        const uint8_t code = p[i + 3];
        if (IsMpegVideoFrameCode(code) || code == 0xB5)
            return kVideoMpeg;
        h264 = h264 || (code == 0x09 && i + 5 <= n && (p[i + 4] & 0x1F) == 0x10) || IsH264SequenceSet(p + i + 3, n - i - 3);
    }
    return h264 ? kVideoH264 : kVideoUnknown;
}

// Where the first frame starts in a video payload; -1 none. A stream whose
// codec is not known takes either codec's codes.
int64_t VideoFrameStart(const uint8_t* p, int64_t n, uint8_t codec)
{
    for (int64_t i = 0; i + 4 <= n; ++i) {
        if (p[i + 2] != 1 || p[i] != 0 || p[i + 1] != 0)
            continue;
        const uint8_t code = p[i + 3];
        if (codec == kVideoMpeg ? IsMpegVideoFrameCode(code)
            : codec == kVideoH264 ? OpensH264AccessUnit(p + i + 3, n - i - 3)
                                  : IsMpegVideoFrameCode(code) || code == 0x09)
            return i;
    }
    return -1;
}

// Where the set-up a decoder needs before the stream's frames begins: a
// sequence header (MPEG-1/2), a sequence parameter set (H.264), with the
// frame's delimiter where one comes right before it. -1 none.
int64_t VideoSetupStart(const uint8_t* p, int64_t n, uint8_t codec)
{
    int64_t delimiter = -1;
    for (int64_t i = 0; i + 4 <= n; ++i) {
        if (p[i + 2] != 1 || p[i] != 0 || p[i + 1] != 0)
            continue;
        const uint8_t code = p[i + 3];
        if (codec == kVideoMpeg && code == 0xB3)
            return i;
        if (codec != kVideoH264)
            continue;
        if (IsH264SequenceSet(p + i + 3, n - i - 3))
            return delimiter >= 0 ? delimiter : i;
        delimiter = (code & 0x1F) == 9 && !(code & 0x80) ? i : -1;
    }
    return -1;
}

// Where the first frame starts in a stream's payload: for video, a frame
// start of the codec kind1 names (a VideoCodec); for audio, a frame header
// (of the stream's kind, when it is known). -1 when none is found.
int64_t FrameStart(uint8_t id, const uint8_t* p, int64_t n, uint8_t kind1 = 0, uint8_t kind2 = 0)
{
    if (IsVideo(id))
        return VideoFrameStart(p, n, kind1);
    // A header the next one confirms first; then one whose frame ends
    // with the bytes at hand (a stream's last frame has no header after
    // it, and the bytes before it, the end of the frame before, may hold a
    // look-alike); failing that, one whose frame runs past them.
    const bool mpeg = IsMpegAudio(id);
    auto ofKind = [&](int64_t i) { return !mpeg || OfKind(p + i, kind1, kind2); };
    for (int64_t i = 0; i + 4 <= n; ++i)
        if (IsAudioFrameStart(id, p + i, n - i, true) && ofKind(i))
            return i;
    for (int64_t i = 0; i + 4 <= n; ++i)
        if (AudioFrameLength(id, p + i, n - i) == n - i && ofKind(i))
            return i;
    for (int64_t i = 0; i + 4 <= n; ++i) {
        if (!ofKind(i))
            continue;
        if (IsAudioFrameStart(id, p + i, n - i, false))
            return i;
        // A header of the stream's kind whose frame runs into zeros: damage
        // took what followed it.
        const int64_t length = kind1 != 0 ? AudioFrameLength(id, p + i, n - i) : -1;
        if (length > 0 && n - i >= length + 2 && p[i + length] == 0 && p[i + length + 1] == 0)
            return i;
    }
    return -1;
}

// Audio frames from `start` on, one after the other: where the last whole
// one ends, and how many there are.
int64_t WholeFramesEnd(uint8_t id, const uint8_t* p, int64_t n, int64_t start, int& frames)
{
    frames = 0;
    int64_t end = start;
    while (end < n) {
        const int64_t length = AudioFrameLength(id, p + end, n - end);
        if (length <= 0 || length > n - end)
            break;
        // A frame is whole when the bytes end with it or the next frame's
        // header follows it: damage inside a packet cuts the frame it hits.
        const int64_t next = end + length;
        if (n - next >= 2 && (p[next] != p[start] || (p[next + 1] & 0xFE) != (p[start + 1] & 0xFE)))
            break;
        end = next;
        ++frames;
    }
    return end;
}

}  // namespace

int CMPEGRepair::ParsePackHeader(const PSTraits& traits, const uint8_t* d, int64_t avail, PSPackHeader& out) const
{
    if (traits.mpeg1) {
        if (avail < 12)
            return kStepEnd;
        if ((d[4] >> 4) != 2 || !(d[4] & 1) || !(d[6] & 1) || !(d[8] & 1) || !(d[9] & 0x80) || !(d[11] & 1))
            return kStepInvalid;
        out.scr = (int64_t((d[4] >> 1) & 7) << 30) | (int64_t(d[5]) << 22) | (int64_t(d[6] >> 1) << 15) |
                  (int64_t(d[7]) << 7) | (d[8] >> 1);
        out.muxRate = (uint32_t(d[9] & 0x7F) << 15) | (uint32_t(d[10]) << 7) | (d[11] >> 1);
        out.size = 12;
        return kStepUnit;
    }
    if (avail < 14)
        return kStepEnd;
    if ((d[4] & 0xC0) != 0x40 || !(d[4] & 4) || !(d[6] & 4) || !(d[8] & 4) || !(d[9] & 1) || (d[12] & 3) != 3)
        return kStepInvalid;
    const int64_t base = (int64_t((d[4] >> 3) & 7) << 30) | (int64_t(d[4] & 3) << 28) | (int64_t(d[5]) << 20) |
                         (int64_t(d[6] >> 3) << 15) | (int64_t(d[6] & 3) << 13) | (int64_t(d[7]) << 5) |
                         (d[8] >> 3);
    const int64_t ext = (int64_t(d[8] & 3) << 7) | (d[9] >> 1);
    out.scr = base * 300 + ext;
    out.muxRate = (uint32_t(d[10]) << 14) | (uint32_t(d[11]) << 6) | (d[12] >> 2);
    out.size = 14 + (d[13] & 7);
    return avail < out.size ? kStepEnd : kStepUnit;
}

// A system header may come again in any pack (VCD and DVD muxers repeat it).
int CMPEGRepair::ParseSystemHeader(const PSTraits& traits, const uint8_t* d, int64_t avail, uint32_t& size) const
{
    if (avail < 12)
        return kStepEnd;
    const uint32_t length = Be16(d + 4);
    size = 6 + length;
    if (length < 6 || (length - 6) % 3 != 0)
        return kStepInvalid;
    if (avail < size)
        return kStepEnd;
    if (!(d[6] & 0x80) || !(d[8] & 1) || !(d[10] & 0x20) || (d[11] & traits.reservedByteMask) != traits.reservedByteMask)
        return kStepInvalid;
    for (uint32_t k = 12; k < size; k += 3)
        if (d[k] < 0x80 || (d[k + 1] & 0xC0) != 0xC0)
            return kStepInvalid;
    return kStepUnit;
}

// ISO 11172-1 packet header: stuffing, an optional STD buffer field, then
// a PTS, a PTS and DTS, or the byte 0x0F. `avail` bytes of the packet are
// at hand, at most its whole length.
int CMPEGRepair::ParseMPEG1PacketHeader(const uint8_t* d, int64_t avail, PSUnit& unit) const
{
    const int64_t end = std::min<int64_t>(unit.size, avail);
    int64_t i = 6;
    while (i < end && d[i] == 0xFF)
        ++i;
    unit.payloadOffset = static_cast<uint16_t>(std::min<int64_t>(i, 0xFFFF));
    if (i >= end)
        return kStepUnit;  // all stuffing: a packet with nothing to time
    if ((d[i] & 0xC0) == 0x40) {
        i += 2;
        unit.payloadOffset = static_cast<uint16_t>(std::min<int64_t>(i, 0xFFFF));
        if (i >= end)
            return i > unit.size ? kStepInvalid : kStepUnit;
    }
    const int prefix = d[i] >> 4;
    if (prefix == 2 || prefix == 3) {
        const int64_t need = prefix == 2 ? 5 : 10;
        if (i + need > end || !PesTimestampMarkersValid(d + i))
            return kStepInvalid;
        unit.pts = ReadPesTimestamp(d + i);
        if (prefix == 3) {
            if (!PesTimestampMarkersValid(d + i + 5))
                return kStepInvalid;
            unit.dts = ReadPesTimestamp(d + i + 5);
        }
        unit.tsOffset = static_cast<uint16_t>(i);
        unit.payloadOffset = static_cast<uint16_t>(i + need);
        return kStepUnit;
    }
    unit.payloadOffset = static_cast<uint16_t>(i + 1);
    return d[i] == 0x0F ? kStepUnit : kStepInvalid;  // the byte of a header without timestamps
}

// ISO 13818-1 PES header. Its declared length must fit inside the packet,
// and every optional field inside that length.
int CMPEGRepair::ParseMPEG2PacketHeader(const uint8_t* d, int64_t avail, PSUnit& unit) const
{
    if (unit.size < 9 || avail < 9)
        return kStepInvalid;
    if ((d[6] & 0xC0) != 0x80)
        return kStepInvalid;
    const int ptsDts = d[7] >> 6;
    const int64_t headerEnd = 9 + int64_t(d[8]);
    if (headerEnd > unit.size || headerEnd > avail || ptsDts == 1)
        return kStepInvalid;
    unit.payloadOffset = static_cast<uint16_t>(headerEnd);
    int64_t q = 9;
    if (ptsDts & 2) {
        if (q + 5 > headerEnd || ((d[q] >> 4) & 2) == 0 || !PesTimestampMarkersValid(d + q))
            return kStepInvalid;
        unit.pts = ReadPesTimestamp(d + q);
        unit.tsOffset = 9;
        q += 5;
    }
    if (ptsDts == 3) {
        if (q + 5 > headerEnd || (d[q] >> 4) != 1 || !PesTimestampMarkersValid(d + q))
            return kStepInvalid;
        unit.dts = ReadPesTimestamp(d + q);
        q += 5;
    }
    const uint8_t flags = d[7];
    if (flags & 0x20) {  // ESCR
        if (q + 6 > headerEnd)
            return kStepInvalid;
        q += 6;
    }
    if (flags & 0x10) {  // ES rate
        if (q + 3 > headerEnd || !(d[q] & 0x80) || !(d[q + 2] & 1))
            return kStepInvalid;
        q += 3;
    }
    q += (flags & 0x08) ? 1 : 0;  // DSM trick mode
    q += (flags & 0x04) ? 1 : 0;  // additional copy info
    q += (flags & 0x02) ? 2 : 0;  // PES CRC
    if (flags & 0x01) {  // extension: its own flags, then the fields they announce
        if (q + 1 > headerEnd)
            return kStepInvalid;
        const uint8_t ext = d[q++];
        q += (ext & 0x80) ? 16 : 0;  // private data
        if (ext & 0x40) {            // pack header field
            if (q + 1 > headerEnd)
                return kStepInvalid;
            q += 1 + d[q];
        }
        q += (ext & 0x20) ? 2 : 0;  // sequence counter
        q += (ext & 0x10) ? 2 : 0;  // P-STD buffer
        if (ext & 0x01) {           // extension 2
            if (q + 1 > headerEnd)
                return kStepInvalid;
            q += 1 + (d[q] & 0x7F);
        }
    }
    if (q > headerEnd)
        return kStepInvalid;
    // The rest of the header is stuffing, 0xFF by rule: a header length
    // damaged upward would take payload bytes for it.
    for (; q < headerEnd; ++q)
        if (d[q] != 0xFF)
            return kStepInvalid;
    return kStepUnit;
}

// An ISO 13818-1 PES header whose PES_header_data_length alone is wrong:
// the length is the optional fields the flags announce, then the stuffing
// bytes (0xFF) up to the payload. An MPEG audio payload begins with 0xFF
// too: the stuffing gives back the byte that makes its frame sync. The
// unit as that length parses it, marked to have the length written anew;
// kStepInvalid when no length makes the header hold.
int CMPEGRepair::MendMPEG2HeaderLength(const uint8_t* d, int64_t avail, PSUnit& unit) const
{
    const int64_t n = std::min<int64_t>({avail, int64_t(unit.size), kPesHeaderMax});
    if (n < 9)
        return kStepInvalid;
    uint8_t h[kPesHeaderMax];
    memcpy(h, d, static_cast<size_t>(n));
    // The lengths that hold run from the end of the fields to the end of
    // the stuffing: the longest is taken.
    PSUnit best{};
    int64_t fieldsEnd = -1;
    for (int64_t length = 0; length <= 0xFF && 9 + length <= n; ++length) {
        h[8] = static_cast<uint8_t>(length);
        PSUnit trial = unit;
        if (ParseMPEG2PacketHeader(h, n, trial) != kStepUnit) {
            if (fieldsEnd >= 0)
                break;
            continue;
        }
        best = trial;
        if (fieldsEnd < 0)
            fieldsEnd = 9 + length;
    }
    if (fieldsEnd < 0)
        return kStepInvalid;
    const int64_t end = best.payloadOffset;
    if (IsMpegAudio(unit.streamId) && end > fieldsEnd && end < n && (d[end] & 0xE0) == 0xE0)
        best.payloadOffset = static_cast<uint16_t>(end - 1);
    unit = best;
    unit.flags |= kUnitHeaderFixed;
    return kStepUnit;
}

// `size`: the packet's bytes as the caller takes them (its stated length,
// or all there are when that is damaged).
int CMPEGRepair::ParsePESHeader(const PSTraits& traits, const uint8_t* d, int64_t avail, int64_t size,
                                PSUnit& unit) const
{
    unit.streamId = d[3];
    unit.size = static_cast<uint32_t>(size);
    unit.pts = unit.dts = -1;
    unit.tsOffset = 0;
    unit.payloadOffset = 6;
    unit.flags = 0;
    if (StreamIdHasNoPesHeader(unit.streamId))
        return kStepUnit;
    return traits.mpeg1 ? ParseMPEG1PacketHeader(d, avail, unit) : ParseMPEG2PacketHeader(d, avail, unit);
}

// Whether a unit may end at `end`: the input ends there, or the next unit
// starts after what may lie between units. A start code of the video
// inside a packet (a slice's, a picture's) begins no unit: a damaged
// length may well lead to one.
bool CMPEGRepair::NextUnitFollows(const PSTraits& traits, int64_t end)
{
    const int64_t next = NextUnitStart(traits, end, nullptr);
    if (next < end)
        return false;
    return next >= m_inputLength || (View(next, 4) == 4 && m_view[3] >= kProgramEnd);
}

// What may lie between two units, from `from` on: zero padding (muxers pad
// packs to their sector size; ffmpeg's VCD packs end in 20 zeros) and, in
// raw CD sectors, the sector's error-detection bytes and the next sector's
// sync, header and subheader. Where the next start code (or the end of the
// input) lies past it; -1 when none does, or a read error. `sector` is set
// when a sector's framing lay there.
int64_t CMPEGRepair::NextUnitStart(const PSTraits& traits, int64_t from, bool* sector)
{
    if (sector)
        *sector = false;
    if (from >= m_inputLength)
        return m_inputLength;
    const int64_t n = View(from, kMaxZeroPadding + kSectorDataOffset + 8);
    if (n < 0)
        return n;
    const int64_t k = SkipFraming(m_view, n, traits.cdSectors, sector);
    if (k >= 0)
        return from + k;
    if (k != kFramingShort)
        return -1;
    if (from + n >= m_inputLength)
        return m_inputLength;
    // Zeros from exactly the end of a unit whose last byte is not one, on
    // to the end of the input: where a recording stopped in a file
    // allocated ahead. Zeroing that began inside the unit would end it in
    // zeros.
    if (FindNonZero(m_view, static_cast<size_t>(n)) || from == 0 || View(from - 1, 1) != 1 || m_view[0] == 0)
        return -1;
    const int64_t next = NextCandidate(from, m_inputLength, FindNonZero);
    return next >= m_inputLength ? m_inputLength : next < 0 ? next : -1;
}

// One unit at p: a pack header (isPack set), a system header, a PES packet
// or the end code (size 4, stream id 0xB9).
int CMPEGRepair::ParsePSUnit(const PSTraits& traits, int64_t p, PSUnit& unit, PSPackHeader& pack, bool& isPack)
{
    isPack = false;
    int64_t n = View(p, 6);
    if (n < 0)
        return static_cast<int>(n);
    if (n < 4)
        return kStepEnd;
    const uint8_t code = m_view[3];
    if (!IsStartCode(m_view))
        return kStepInvalid;
    unit = PSUnit{p, -1, -1, 4, 0, 0, code, 0};
    if (code == kProgramEnd)
        return kStepUnit;
    if (code == kPackStart) {
        isPack = true;
        n = View(p, 14 + 7);
        return n < 0 ? static_cast<int>(n) : ParsePackHeader(traits, m_view, n, pack);
    }
    if (code < kFirstStreamId && code != kSystemHeader)
        return kStepInvalid;
    if (n < 6)
        return kStepEnd;
    const int64_t stated = 6 + int64_t(Be16(m_view + 4));
    if (code == kSystemHeader && stated > m_inputLength - p)
        return kStepInvalid;
    // A PES length of 0 or past the end is read against the bytes there
    // are: the header may still hold, and the length be what was damaged.
    const int64_t size = std::min(stated > 6 || code == kSystemHeader ? stated : 6 + 0xFFFF, m_inputLength - p);
    n = View(p, code == kSystemHeader ? size : std::min(size, kPesHeaderMax));
    if (n < 0)
        return static_cast<int>(n);
    int r;
    if (code == kSystemHeader) {
        uint32_t headerSize = 0;
        r = ParseSystemHeader(traits, m_view, n, headerSize);
        unit.size = headerSize;
        unit.flags = kUnitSystemHeader;
    } else {
        r = ParsePESHeader(traits, m_view, n, size, unit);
        const int64_t whole = std::min<int64_t>(6 + 0xFFFF, m_inputLength - p);
        if (r == kStepInvalid && size == stated && size < whole) {
            // A length too short for the packet's own header: the header
            // is read against the bytes there are, and the length taken
            // for what was damaged.
            n = View(p, std::min(whole, kPesHeaderMax));
            if (n < 0)
                return static_cast<int>(n);
            PSUnit longer = unit;
            if (ParsePESHeader(traits, m_view, n, whole, longer) == kStepUnit && longer.payloadOffset > stated) {
                unit = longer;
                return kStepCutShort;
            }
            n = View(p, std::min(size, kPesHeaderMax));
            if (n < 0)
                return static_cast<int>(n);
        }
        // A packet whose length leads to the next unit, with only its
        // header length out of step with the fields its flags announce.
        if (r == kStepInvalid && !traits.mpeg1 && size == stated && NextUnitFollows(traits, p + size)) {
            if (View(p, std::min(size, kPesHeaderMax)) != std::min(size, kPesHeaderMax))
                return MEND_ERR_READ;
            r = MendMPEG2HeaderLength(m_view, std::min(size, kPesHeaderMax), unit);
        }
    }
    if (r != kStepUnit)
        return r == kStepEnd ? kStepInvalid : r;
    if (size == stated && NextUnitFollows(traits, p + unit.size))
        return kStepUnit;
    return code == kSystemHeader ? kStepInvalid : kStepCutShort;
}

// A PES packet whose header holds but whose stated end leads nowhere: its
// length field may be what was damaged. System start codes (pack, system
// header, PES) never occur inside video data, and rarely inside any other:
// where the first one after the header begins a unit that holds, the packet
// ends there, less a run of zero padding before it. That is taken for the
// packet's end only where the length cannot be right: 0, or past that
// unit. A length that falls short of it may as well be right, with damage
// in the bytes after the packet. -1 when no end is found or taken.
int64_t CMPEGRepair::RepairedUnitEnd(const PSTraits& traits, const PSUnit& unit)
{
    constexpr int64_t kPadding = 8;  // zeros before a start code taken as padding
    const int64_t limit = std::min(unit.start + 6 + 0xFFFF, m_inputLength - 4);
    int64_t q = unit.start + unit.payloadOffset;
    while (q < limit) {
        const int64_t n = View(q, std::min<int64_t>(limit - q + 3, CReadWindow::kSize));
        if (n < 0)
            return n;
        if (n < 4)
            return -1;
        const uint8_t* w = m_view;
        int64_t i = 0;
        while (i + 4 <= n && !(w[i + 2] == 1 && w[i] == 0 && w[i + 1] == 0 && w[i + 3] >= kProgramEnd))
            ++i;
        if (i + 4 > n) {
            q += n - 3;
            continue;
        }
        const int64_t code = q + i;
        PSUnit next{};
        PSPackHeader pack;
        bool isPack = false;
        if (ParsePSUnit(traits, code, next, pack, isPack) != kStepUnit) {
            q = code + 1;
            continue;
        }
        int64_t end = code;
        int64_t zeros = 0;
        const int64_t from = std::max<int64_t>(unit.start + unit.payloadOffset, code - kMaxZeroPadding);
        if (View(from, code - from) == code - from)
            while (zeros < code - from && m_view[code - from - 1 - zeros] == 0)
                ++zeros;
        if (zeros >= kPadding)
            end -= zeros;
        if (View(unit.start, 6) != 6)
            return MEND_ERR_READ;
        const int64_t stated = 6 + int64_t(Be16(m_view + 4));
        const bool wrong = stated == 6 || unit.start + stated > code || stated < unit.payloadOffset;
        return wrong && end - unit.start <= 6 + 0xFFFF ? end : -1;
    }
    return -1;
}

// A pack header whose following units chain in the first 100 KiB, with at
// least one PES packet among them. The walk stays inside that window.
bool CMPEGRepair::IsProgramStream(const PSTraits& traits, bool fromPes)
{
    if (!m_input)
        return false;
    const int64_t n = Peek(0, kDetectWindow);
    if (n < 0)
        return false;
    const std::vector<uint8_t> window(m_window.begin(), m_window.begin() + n);
    const uint8_t* b = window.data();
    // First from a pack header. Failing that (the first pack damaged, and
    // a muxer that writes the next one megabytes later), from a run of PES
    // packets whose headers have this sub-format's form.
    const int pass = fromPes ? 1 : 0;
    for (int64_t i = 0; i + 4 <= n; ++i) {
        if ((i & 0xFFF) == 0 && TestAbort()) {
            m_abortSeen = true;
            return false;
        }
        if (!IsStartCode(b + i) || (pass == 0 && b[i + 3] != kPackStart) ||
            (pass == 1 && (b[i + 3] < kFirstStreamId || StreamIdHasNoPesHeader(b[i + 3]))))
            continue;
        PSPackHeader pack;
        pack.size = 0;
        if (pass == 0 && ParsePackHeader(traits, b + i, n - i, pack) != kStepUnit)
            continue;
        int64_t q = i + pack.size;
        bool pes = false;
        bool broken = false;
        int units = 0;
        for (; units < kDetectUnits && q + 6 <= n; ++units) {
            const int64_t framing = SkipFraming(b + q, n - q, traits.cdSectors, nullptr);
            if (framing == kFramingShort)
                break;
            q += std::max<int64_t>(framing, 0);
            if (q + 6 > n)
                break;
            const uint8_t* d = b + q;
            if (!IsStartCode(d)) {
                broken = true;
                break;
            }
            if (d[3] == kPackStart) {
                PSPackHeader next;
                if (ParsePackHeader(traits, d, n - q, next) != kStepUnit) {
                    broken = ParsePackHeader(traits, d, n - q, next) == kStepInvalid;
                    break;
                }
                q += next.size;
                continue;
            }
            if (d[3] == kProgramEnd) {
                q += 4;
                continue;
            }
            if (d[3] < kFirstStreamId && d[3] != kSystemHeader) {
                broken = true;
                break;
            }
            const int64_t size = 6 + int64_t(Be16(d + 4));
            if (size > n - q)
                break;  // the window ends inside it
            int r;
            if (d[3] == kSystemHeader) {
                uint32_t headerSize = 0;
                r = ParseSystemHeader(traits, d, size, headerSize);
            } else {
                PSUnit unit{};
                r = ParsePESHeader(traits, d, size, size, unit);
                pes = pes || r == kStepUnit;
            }
            if (r != kStepUnit) {
                broken = true;
                break;
            }
            q += size;
        }
        // A stretch of sound units, even if damage follows it.
        if (pes && (!broken || units >= kDetectMinUnits) && (pass == 0 || units >= kDetectMinUnits)) {
            m_firstUnit = i;
            return true;
        }
    }
    return false;
}

int CMPEGRepair::ParseProgramStream(const PSTraits& traits)
{
    if (!m_input)
        return MEND_ERR_NO_STREAM;
    CMPEGRepair::Close();
    m_rebase = std::make_unique<CTimestampRebase>(traits.forwardJump);
    const int64_t limit = m_inputLength / 5 + 16;
    // From the first byte, not from the pack detection settled on: a
    // damaged first pack header must not take the units after it along
    // (the sequence header usually lies there).
    int64_t pos = 0;
    int64_t expect = 0;  // where the next unit would start in a sound file
    bool newPack = true;
    bool sawPack = false;
    bool endCode = false;  // the last unit read was the end code
    int64_t packStart = -1;  // the pack header no unit has followed yet
    PSPackHeader lastPack;
    // A pack header is kept only where its mux rate is one a neighbouring
    // pack states too; a damaged rate is written anew. The first unit of
    // the last pack whose header is kept, and whether the pack before it
    // agreed.
    int64_t rateUnit = -1;
    bool rateAgreed = false;
    for (int64_t steps = 0; pos < m_inputLength; ++steps) {
        if (steps > limit)
            return MEND_ERR_UNREPAIRABLE;
        if (TestAbort())
            return MEND_ERR_ABORTED;
        PSUnit unit{};
        PSPackHeader pack;
        bool isPack = false;
        const int r = ParsePSUnit(traits, pos, unit, pack, isPack);
        if (r < 0)
            return r;
        if (r == kStepEnd) {
            m_damaged = true;  // the input ends inside a unit
            BreakOpenFrames(true);
            break;
        }
        if (r == kStepCutShort && pos == expect) {
            // Right after a sound unit: a damaged length, or damage inside
            // the packet after a header that holds.
            const int64_t end = RepairedUnitEnd(traits, unit);
            if (end < -1)
                return static_cast<int>(end);
            m_damaged = true;
            if (end > 0) {
                unit.size = static_cast<uint32_t>(end - pos);
                unit.flags |= kUnitLengthFixed;
            } else {
                // Where a frame starts in what is left of it, the bytes up
                // to there are whole: they end the frame before (and the
                // whole audio frames after them stay too).
                const int r2 = HeadEndsFrame(unit);
                if (r2 < 0)
                    return r2;
                if (r2 > 0) {
                    TrackFrame(unit, m_units.size());
                    m_units.push_back(unit);
                    const int whole = IsVideo(unit.streamId) ? HeadBeforeDamage(unit) : 1;
                    if (whole < 0)
                        return whole;
                    if (whole == 0)
                        m_frames[unit.streamId].headSuspect = true;
                }
                pos = ResyncAfterDamage(pos);
                if (pos < 0)
                    return static_cast<int>(pos);
                continue;
            }
        } else if (r != kStepUnit) {
            // Padding, or the framing of raw CD sectors, which the rebuilt
            // file leaves out.
            bool sector = false;
            const int64_t padded = pos == expect ? NextUnitStart(traits, pos, &sector) : pos;
            if (padded < -1)
                return static_cast<int>(padded);
            if (padded > pos) {
                // Longer than any padding, zeros are where writing stopped.
                m_damaged = m_damaged || sector || padded - pos > kMaxZeroPadding;
                pos = expect = padded;
                continue;
            }
            m_damaged = true;
            pos = ResyncAfterDamage(pos);
            if (pos < 0)
                return static_cast<int>(pos);
            continue;
        }
        if (pos != expect || (unit.flags & kUnitHeaderFixed))
            m_damaged = true;
        endCode = !isPack && unit.streamId == kProgramEnd;
        if (isPack) {
            const bool agrees = pack.muxRate != 0 && sawPack && pack.muxRate == lastPack.muxRate;
            if (rateUnit >= 0 && !rateAgreed && !agrees)
                m_units[static_cast<size_t>(rateUnit)].packScr = -1;
            rateUnit = -1;
            rateAgreed = agrees;
            // New pack headers state a rate two packs in a row agree on,
            // else the one measured from the stream.
            if (m_muxRate == 0 && agrees)
                m_muxRate = pack.muxRate;
            sawPack = true;
            newPack = true;
            packStart = pos;
            lastPack = pack;
            pos += pack.size;
        } else if (unit.streamId == kProgramEnd && !(unit.flags & kUnitSystemHeader)) {
            pos += 4;
        } else {
            if (newPack) {
                unit.flags |= kUnitNewPack;
                if (packStart >= 0 && pos - packStart <= 0xFFFF) {
                    unit.packBack = static_cast<uint16_t>(pos - packStart);
                    unit.packSize = static_cast<uint8_t>(lastPack.size);
                    unit.packScr = lastPack.muxRate != 0 ? lastPack.scr : -1;
                    if (unit.packScr >= 0)
                        rateUnit = static_cast<int64_t>(m_units.size());
                }
            }
            newPack = false;
            packStart = -1;
            TrackFrame(unit, m_units.size());
            NoteSequenceSizes(unit);
            m_units.push_back(unit);
            m_unitBytes += unit.size;
            if (unit.pts >= 0) {
                const int64_t t = unit.dts >= 0 ? unit.dts : unit.pts;
                m_rebase->Add(unit.streamId, t, unit.start);
                m_minTime = m_minTime < 0 ? t : std::min(m_minTime, t);
                m_maxTime = std::max(m_maxTime, t);
            }
            pos += unit.size;
        }
        expect = pos;
    }
    // The last pack has no pack after it: its rate holds only by the one
    // before.
    if (rateUnit >= 0 && !rateAgreed)
        m_units[static_cast<size_t>(rateUnit)].packScr = -1;
    // Audio whose damage no later packet came to judge was cut by it.
    for (auto& entry : m_frames)
        if (entry.second.suspect)
            BreakStream(entry.first, entry.second);
    if (expect >= m_inputLength && !endCode)
        CheckEndOfInput();
    MendSequenceSizes();
    if (m_damaged || m_units.empty())
        AddError(JRVP_DAMAGE_SEGMENT);
    if (m_rebase->Finish())
        AddError(JRVP_DAMAGE_TIMING);
    return 0;
}

// The picture size of each MPEG-1/2 sequence header that lies whole in the
// payload of a video packet.
void CMPEGRepair::NoteSequenceSizes(const PSUnit& unit)
{
    if (!IsVideo(unit.streamId) || (unit.flags & kUnitSystemHeader))
        return;
    const auto track = m_frames.find(unit.streamId);
    if (track == m_frames.end() || track->second.kind1 != kVideoMpeg)
        return;
    const int64_t n = View(unit.start, unit.size);
    if (n != int64_t(unit.size))
        return;
    const uint8_t* p = m_view;
    for (int64_t i = unit.payloadOffset; i + 7 <= n; ++i) {
        if (p[i + 2] > 1) {
            i += 2;  // none of the three bytes from here can begin a prefix
            continue;
        }
        if (p[i + 3] != 0xB3 || p[i + 2] != 1 || p[i] != 0 || p[i + 1] != 0)
            continue;
        SizeField field{unit.start + i + 4, {p[i + 4], p[i + 5], p[i + 6]}, unit.streamId};
        m_sequenceSizes.push_back(field);
    }
}

// A video stream's sequence headers state one picture size. One that
// states another, where the headers before and after it agree on theirs
// (and a second header elsewhere states it too), had its size damaged:
// it is written anew as its neighbours state it, since the decoder would
// take every picture up to the next header at the wrong size. A size of 0
// is damage even with no header to mend it from.
void CMPEGRepair::MendSequenceSizes()
{
    const auto same = [](const SizeField& a, const SizeField& b) { return memcmp(a.bytes, b.bytes, 3) == 0; };
    const auto zero = [](const SizeField& f) {
        return (f.bytes[0] == 0 && (f.bytes[1] >> 4) == 0) || ((f.bytes[1] & 0x0F) == 0 && f.bytes[2] == 0);
    };
    std::map<uint8_t, std::vector<size_t>> streams;
    for (size_t i = 0; i < m_sequenceSizes.size(); ++i)
        streams[m_sequenceSizes[i].streamId].push_back(i);
    bool damaged = false;
    for (const auto& entry : streams) {
        const std::vector<size_t>& at = entry.second;
        for (size_t k = 0; k < at.size(); ++k) {
            const SizeField& field = m_sequenceSizes[at[k]];
            damaged = damaged || zero(field);
            // Its neighbours: both where it has two, else the two after or
            // before it.
            size_t a = k == 0 ? 1 : k - 1;
            size_t b = k == 0 ? 2 : k + 1 < at.size() ? k + 1 : k - 2;
            if (at.size() < 3 || b >= at.size())
                continue;
            const SizeField& left = m_sequenceSizes[at[a]];
            const SizeField& right = m_sequenceSizes[at[b]];
            if (same(field, left) || !same(left, right) || zero(left))
                continue;
            damaged = true;
            SizeField patch = left;
            patch.at = field.at;
            m_patches.push_back(patch);
        }
    }
    std::vector<SizeField>().swap(m_sequenceSizes);
    std::sort(m_patches.begin(), m_patches.end(), [](const SizeField& a, const SizeField& b) { return a.at < b.at; });
    if (damaged) {
        m_damaged = true;
        AddError(JRVP_DAMAGE_STRUCTURE);
    }
}

// 1 when a frame of the unit's stream starts in the unit's bytes, 0 when
// none does, or a read error.
int CMPEGRepair::HeadEndsFrame(const PSUnit& unit)
{
    const int64_t n = View(unit.start, unit.size);
    if (n != int64_t(unit.size))
        return MEND_ERR_READ;
    const int64_t header = unit.payloadOffset;
    const int64_t prefix = unit.streamId == 0xBD ? 4 : 0;
    if (unit.pts < 0 || header + prefix >= n)
        return 0;
    const auto track = m_frames.find(unit.streamId);
    const uint8_t codec = track != m_frames.end() && IsVideo(unit.streamId) ? track->second.kind1 : 0;
    return FrameStart(unit.streamId, m_view + header + prefix, n - header - prefix, codec) >= 0 ? 1 : 0;
}

// For a video packet whose stated end leads nowhere: 1 when the damage
// shows itself to begin after the packet's first frame start, 0 when it
// may lie before it, or a read error. Zeroed bytes show where they begin:
// the run of zeros the stated end falls in. Other bytes (spliced in or
// overwritten) tell nothing, and the head before the frame start may hold
// them.
int CMPEGRepair::HeadBeforeDamage(const PSUnit& unit)
{
    const int64_t n = View(unit.start, unit.size);
    if (n != int64_t(unit.size))
        return MEND_ERR_READ;
    const auto track = m_frames.find(unit.streamId);
    const uint8_t codec = track != m_frames.end() ? track->second.kind1 : 0;
    const int64_t header = unit.payloadOffset;
    if (header >= n)
        return 0;
    const int64_t frame = FrameStart(unit.streamId, m_view + header, n - header, codec);
    if (frame < 0)
        return 0;
    const int64_t stated = 6 + int64_t(Be16(m_view + 4));
    const int64_t end = unit.start + stated;
    if (stated <= header + frame || end >= m_inputLength)
        return 0;
    const int64_t from = unit.start + header + frame;
    const int64_t span = end + 1 - from;
    if (View(from, span) != span)
        return MEND_ERR_READ;
    // The zeros must reach past the frame start code's own bytes.
    int64_t zeros = 0;
    while (zeros < span && m_view[span - 1 - zeros] == 0)
        ++zeros;
    return zeros >= 4 && zeros < span - 4 ? 1 : 0;
}

// The kind of a stream's MPEG audio frames (version, layer, sample rate),
// from the first frame header that the one after it confirms.
void CMPEGRepair::NoteAudioKind(const PSUnit& unit, FrameTrack& track)
{
    const int64_t n = View(unit.start, unit.size);
    const int64_t at = unit.payloadOffset;
    if (n != int64_t(unit.size) || at + 4 > n)
        return;
    const uint8_t* p = m_view + at;
    for (int64_t i = 0; i + 4 <= n - at; ++i) {
        if (IsAudioFrameStart(unit.streamId, p + i, n - at - i, true)) {
            const int64_t length = AudioFrameLength(unit.streamId, p + i, n - at - i);
            if (length + 4 <= n - at - i && AudioFrameLength(unit.streamId, p + i + length, n - at - i - length) > 0 &&
                (p[i + length + 2] & 0x0C) == (p[i + 2] & 0x0C)) {
                track.kind1 = p[i + 1] & 0xFE;
                track.kind2 = p[i + 2] & 0x0C;
            }
            return;
        }
    }
}

// A PES packet with a timestamp holds the start of a frame; the packets
// after it without one carry the rest. Damage may have taken part of each
// stream's frame in progress: its packets are left out, and so are the
// stream's packets after the damage until its next timestamp. Where audio
// frames can be measured, the stream's next packet tells whether the damage
// took any of its bytes at all.
void CMPEGRepair::TrackFrame(PSUnit& unit, size_t index)
{
    if (unit.flags & kUnitSystemHeader)
        return;
    FrameTrack& track = m_frames[unit.streamId];
    // A stream's first packet follows no packet of it: where the walk began
    // after damage, its head is the end of a frame whose start was lost.
    if (track.last < 0 && (IsMpegAudio(unit.streamId) || unit.streamId == 0xBD))
        track.broken = true;
    if (IsVideo(unit.streamId) && track.setupFrom < 0 && AwaitVideoSetup(unit, index, track))
        return;
    if (track.kind1 == 0 && unit.pts >= 0 && IsMpegAudio(unit.streamId))
        NoteAudioKind(unit, track);
    if (track.suspect) {
        track.suspect = false;
        if (!FramesRunOn(unit, track))
            BreakStream(unit.streamId, track);
    }
    if (unit.pts >= 0) {
        if (track.broken)
            unit.flags |= kUnitSkipHead;
        track.previousFrom = track.broken ? -1 : track.openFrom;
        track.openFrom = static_cast<int64_t>(index);
        track.broken = false;
    } else if (track.broken) {
        unit.flags |= kUnitDropped;
    }
    track.last = static_cast<int64_t>(index);
}

// A video stream's frames before its first sequence header (MPEG-1/2) or
// sequence parameter set (H.264) cannot be decoded: damage took the set-up
// at the start of the file, or the file starts inside the stream. They are
// left out, and the packet that holds the set-up is written from it on
// (with its timestamps where its own frame starts there, else without
// them: they were an earlier frame's). True when the unit is dealt with
// here, false when the frame tracking goes on with it.
bool CMPEGRepair::AwaitVideoSetup(PSUnit& unit, size_t index, FrameTrack& track)
{
    const int64_t n = View(unit.start, unit.size);
    const int64_t at = unit.payloadOffset;
    const bool read = n == int64_t(unit.size) && at < n;
    const uint8_t* p = read ? m_view + at : nullptr;
    const int64_t m = read ? n - at : 0;
    if (track.kind1 == kVideoUnknown && unit.pts >= 0 && read) {
        track.kind1 = VideoCodecOf(p, m);
        if (track.kind1 == kVideoUnknown) {
            // Start codes of neither kind: a codec whose set-up this walk
            // does not know, and nothing to wait for.
            track.setupFrom = kSetupUnknown;
            return false;
        }
    }
    const int64_t setup = read && track.kind1 != kVideoUnknown ? VideoSetupStart(p, m, track.kind1) : -1;
    track.last = static_cast<int64_t>(index);
    if (setup < 0) {
        unit.flags |= kUnitDropped;
        track.broken = true;
        track.openFrom = track.previousFrom = -1;
        return true;
    }
    track.setupFrom = static_cast<int64_t>(index);
    if (unit.pts >= 0 && setup == VideoFrameStart(p, m, track.kind1)) {
        track.broken = true;  // the packet is written from its frame start on
        return false;
    }
    unit.flags |= kUnitFromSetup;
    track.broken = false;
    track.openFrom = static_cast<int64_t>(index);
    track.previousFrom = -1;
    return true;
}

// Past damage at pos: the frames it may have cut are closed, and the walk
// goes on at the next start code (or its negative code).
int64_t CMPEGRepair::ResyncAfterDamage(int64_t pos)
{
    // The damage began after the header of the last packet read, the one
    // that ends at pos or is cut short there: its bytes may be the
    // damage's, and its audio stream's frame in progress goes. The other
    // audio streams are only suspect: their next packet tells.
    if (!m_units.empty()) {
        const PSUnit& last = m_units[m_units.size() - 1];
        const uint8_t id = last.streamId;
        const auto track = m_frames.find(id);
        if (!(last.flags & kUnitSystemHeader) && (IsMpegAudio(id) || id == 0xBD) &&
            (last.start == pos || last.start + int64_t(last.size) == pos) && track != m_frames.end() &&
            !track->second.broken && track->second.openFrom >= 0)
            BreakStream(id, track->second);
    }
    BreakOpenFrames();
    return FindStartCode(pos + 1);
}

void CMPEGRepair::BreakOpenFrames(bool atEnd)
{
    for (auto& entry : m_frames) {
        FrameTrack& track = entry.second;
        const uint8_t id = entry.first;
        if (track.broken || track.openFrom < 0)
            continue;
        if (!atEnd && (IsMpegAudio(id) || id == 0xBD))
            track.suspect = true;
        else
            BreakStream(id, track);
    }
}

// The stream's frame in progress lost bytes: the packet where it starts
// still ends the frame before; the others go.
void CMPEGRepair::BreakStream(uint8_t id, FrameTrack& track)
{
    // Where damage reached the open packet's head, the frame that head
    // would end lost bytes too: it goes whole from the packet it began in,
    // and the open packet keeps nothing.
    int64_t from = track.openFrom;
    bool headLost = false;
    if (from >= 0 && (IsVideo(id) ? track.headSuspect
                                  : FollowedAudioStart(static_cast<size_t>(from), track.kind1, track.kind2) == kGridCut)) {
        // Video with no frame before it known: the head goes alone.
        if (track.previousFrom >= 0 && track.previousFrom < from)
            from = track.previousFrom;
        else
            headLost = IsVideo(id);
    }
    track.headSuspect = false;
    // The frames lost brought the set-up the stream has had so far.
    if (IsVideo(id) && from >= 0 && track.setupFrom != kSetupUnknown && track.setupFrom >= from)
        track.setupFrom = -1;
    for (int64_t i = std::max<int64_t>(from, 0); i < static_cast<int64_t>(m_units.size()); ++i) {
        PSUnit& unit = m_units[i];
        if (unit.streamId == id && !(unit.flags & kUnitSystemHeader))
            unit.flags |= i == from && !headLost ? kUnitKeepHead : kUnitDropped;
    }
    track.broken = track.openFrom >= 0;
    track.openFrom = track.previousFrom = -1;
    track.suspect = false;
}

// The payload bytes of the stream's packets from index `from` to `last`
// (DVD's substream headers left out) into m_frameBytes; false when they are
// more than `cap` bytes or cannot be read.
bool CMPEGRepair::GatherStreamBytes(uint8_t id, int64_t from, int64_t last, size_t cap)
{
    const int64_t prefix = id == 0xBD ? 4 : 0;
    m_frameBytes.clear();
    for (int64_t i = std::max<int64_t>(from, 0); i <= last && i < static_cast<int64_t>(m_units.size()); ++i) {
        const PSUnit& u = m_units[i];
        if (u.streamId != id || (u.flags & (kUnitSystemHeader | kUnitDropped)))
            continue;
        const int64_t at = u.payloadOffset + prefix;
        if (at >= u.size)
            continue;
        if (m_frameBytes.size() + (u.size - at) > cap || View(u.start + at, u.size - at) != u.size - at)
            return false;
        m_frameBytes.insert(m_frameBytes.end(), m_view, m_view + (u.size - at));
    }
    return true;
}

// The bytes the last audio frame in m_frameBytes still lacks, measured
// from the first frame header on: 0 when the frames end with the bytes.
// kSplitHeader when they end inside the next frame's header, -1 when the
// frames cannot be measured.
int64_t CMPEGRepair::AudioBytesDue(uint8_t id, int64_t start) const
{
    const int64_t total = static_cast<int64_t>(m_frameBytes.size());
    const uint8_t* b = m_frameBytes.data();
    int64_t end = start >= 0 ? start : FrameStart(id, b, total);
    if (end < 0)
        return -1;
    while (end + 8 <= total) {
        const int64_t length = AudioFrameLength(id, b + end, total - end);
        if (length <= 0)
            return -1;
        end += length;
    }
    return end < total ? kSplitHeader : end - total;
}

// Whether the audio frames of the stream's packets before the damage run
// on into `unit`, the stream's first packet after it: the bytes its frame
// in progress still lacked begin the unit, and a frame header follows them.
bool CMPEGRepair::FramesRunOn(const PSUnit& unit, const FrameTrack& track)
{
    const uint8_t id = unit.streamId;
    // The first frame start in the open packet, followed from the packets
    // before it where they chain.
    int64_t start = track.openFrom >= 0 ? FollowedAudioStart(size_t(track.openFrom), track.kind1, track.kind2) : kGridUnknown;
    if (!GatherStreamBytes(id, track.openFrom, track.last, 1 << 20))
        return false;
    if (start >= int64_t(m_frameBytes.size()) || (start >= 0 && (m_units[size_t(track.openFrom)].flags & kUnitDropped)))
        start = kGridUnknown;
    const int64_t due = AudioBytesDue(id, start);
    if (start < 0)
        start = FrameStart(id, m_frameBytes.data(), static_cast<int64_t>(m_frameBytes.size()));
    const int64_t from = unit.payloadOffset + (id == 0xBD ? 4 : 0);
    const int64_t n = unit.size - from;
    if (due < 0 || start < 0 || due + 8 > n || View(unit.start + from, n) != n)
        return false;
    return AudioFrameLength(id, m_view + due, n - due) > 0 && m_view[due + 1] == m_frameBytes[start + 1];
}

// The highest slice start code (MPEG-1/2 video: the macroblock row it
// begins) in [from, to) of m_frameBytes; 0 none.
static int LastSliceRow(const std::vector<uint8_t>& b, size_t from, size_t to)
{
    int row = 0;
    for (size_t i = from; i + 4 <= to; ++i)
        if (b[i + 2] == 1 && b[i] == 0 && b[i + 1] == 0 && b[i + 3] >= 0x01 && b[i + 3] <= 0xAF)
            row = std::max<int>(row, b[i + 3]);
    return row;
}

// Whether the stream's frame in progress at the end of the input is whole:
// 1 whole, 0 cut, -1 unknown. Audio frames are measured. An MPEG-1/2
// picture is whole when it reaches the last macroblock row the picture
// before it reached (or the sequence ends in it); one written as a single
// slice cannot be told.
int CMPEGRepair::OpenFrameWhole(uint8_t id, const FrameTrack& track)
{
    if (!IsVideo(id)) {
        if (!GatherStreamBytes(id, track.openFrom, track.last, 1 << 20))
            return -1;
        const int64_t due = AudioBytesDue(id);
        return due == kSplitHeader ? 0 : due < 0 ? -1 : due == 0 ? 1 : 0;
    }
    if (track.previousFrom < 0 || !GatherStreamBytes(id, track.previousFrom, track.last, 16 << 20))
        return -1;
    const std::vector<uint8_t>& b = m_frameBytes;
    std::vector<size_t> pictures;
    for (size_t i = 0; i + 4 <= b.size(); ++i) {
        if (b[i + 2] != 1 || b[i] != 0 || b[i + 1] != 0)
            continue;
        if (b[i + 3] == 0xB7)
            return 1;  // sequence end
        if (b[i + 3] == 0x00)
            pictures.push_back(i);
    }
    if (pictures.size() < 2)
        return -1;
    const size_t last = pictures.back(), before = pictures[pictures.size() - 2];
    // One slice for a whole picture (as MPEG-1 encoders may write) tells
    // nothing.
    const int reached = LastSliceRow(b, before, last);
    if (reached <= 1)
        return -1;
    return LastSliceRow(b, last, b.size()) >= reached ? 1 : 0;
}

// The input ends where a unit ends, with no end code: it may have been cut
// there. Where a stream shows that it was (an audio frame short of its
// length, a picture short of its rows), each stream's frame in progress
// that cannot be shown whole is left out.
void CMPEGRepair::CheckEndOfInput()
{
    bool cut = false;
    std::map<uint8_t, int> whole;
    for (auto& entry : m_frames) {
        if (entry.second.broken || entry.second.openFrom < 0)
            continue;
        const int w = OpenFrameWhole(entry.first, entry.second);
        whole[entry.first] = w;
        cut = cut || w == 0;
    }
    if (!cut)
        return;
    m_damaged = true;
    for (auto& entry : m_frames)
        if (whole.count(entry.first) && whole[entry.first] != 1)
            BreakStream(entry.first, entry.second);
}

// The rate the units need over the time their timestamps span.
uint32_t CMPEGRepair::MeasuredMuxRate() const
{
    const int64_t ticks = m_maxTime - m_minTime;
    if (m_minTime < 0 || ticks <= 0)
        return kDefaultMuxRate;
    const double rate = static_cast<double>(m_unitBytes) * 90000.0 / (static_cast<double>(ticks) * 50.0);
    return static_cast<uint32_t>(std::min(std::max(rate + 1.0, 1.0), double(0x3FFFFF)));
}

int CMPEGRepair::WritePackHeader(const PSTraits& traits, int64_t scr)
{
    uint8_t h[14] = {0, 0, 1, kPackStart};
    const uint32_t rate = m_muxRate & 0x3FFFFF;
    if (traits.mpeg1) {
        scr &= (int64_t(1) << 33) - 1;
        h[4] = static_cast<uint8_t>(0x21 | ((scr >> 29) & 0x0E));
        h[5] = static_cast<uint8_t>(scr >> 22);
        h[6] = static_cast<uint8_t>(((scr >> 14) & 0xFE) | 1);
        h[7] = static_cast<uint8_t>(scr >> 7);
        h[8] = static_cast<uint8_t>(((scr << 1) & 0xFE) | 1);
        h[9] = static_cast<uint8_t>(0x80 | (rate >> 15));
        h[10] = static_cast<uint8_t>(rate >> 7);
        h[11] = static_cast<uint8_t>(((rate << 1) & 0xFE) | 1);
    } else {
        const int64_t base = (scr / 300) & ((int64_t(1) << 33) - 1);
        const int64_t ext = scr % 300;
        h[4] = static_cast<uint8_t>(0x44 | ((base >> 27) & 0x38) | ((base >> 28) & 0x03));
        h[5] = static_cast<uint8_t>(base >> 20);
        h[6] = static_cast<uint8_t>(0x04 | ((base >> 12) & 0xF8) | ((base >> 13) & 0x03));
        h[7] = static_cast<uint8_t>(base >> 5);
        h[8] = static_cast<uint8_t>(0x04 | ((base << 3) & 0xF8) | ((ext >> 7) & 0x03));
        h[9] = static_cast<uint8_t>(((ext << 1) & 0xFE) | 1);
        h[10] = static_cast<uint8_t>(rate >> 14);
        h[11] = static_cast<uint8_t>(rate >> 6);
        h[12] = static_cast<uint8_t>(((rate << 2) & 0xFC) | 3);
        h[13] = 0xF8;
    }
    const unsigned int size = traits.packHeaderBytes;
    return m_output->Write(h, size) == size ? 0 : MEND_ERR_WRITE;
}

// A packet cut at a frame start: the header, DVD's 4-byte substream header
// of private stream 1, and the payload bytes on the kept side of the frame
// start, with PES_packet_length set to match. The head of a cut frame's
// first packet ends the frame before; where audio frames can be measured,
// the whole frames from its first frame start on stay with it, and so do
// its timestamps. Without them, the head loses its timestamps: they were
// the cut frame's.
// Where the first audio frame starts in the payload of the unit at index
// (after DVD's substream header), read with the stream's packets after it:
// a frame header that the next frame's header confirms, though the frame
// runs on into the next packet (the first plausible header alone is often
// a look-alike in the frame before). -1 when none is confirmed.
int64_t CMPEGRepair::ConfirmedAudioStart(size_t index, uint8_t kind1, uint8_t kind2)
{
    constexpr size_t kEnough = 64 * 1024;  // several frames of any audio codec here
    constexpr size_t kMaxUnits = 4096;     // packets of other streams in between
    const uint8_t id = m_units[index].streamId;
    const int64_t prefix = id == 0xBD ? 4 : 0;
    m_frameBytes.clear();
    int64_t own = -1;
    for (size_t i = index; i < m_units.size() && i - index < kMaxUnits && m_frameBytes.size() < kEnough; ++i) {
        const PSUnit& u = m_units[i];
        if (u.streamId != id || (u.flags & kUnitSystemHeader))
            continue;
        if (i != index && (u.flags & (kUnitDropped | kUnitSkipHead)))
            break;  // the stream's bytes do not run on
        const int64_t at = u.payloadOffset + prefix;
        if (at < u.size) {
            if (View(u.start + at, u.size - at) != u.size - at)
                return -1;  // the write that follows reports the read
            m_frameBytes.insert(m_frameBytes.end(), m_view, m_view + (u.size - at));
        }
        if (i == index)
            own = static_cast<int64_t>(m_frameBytes.size());
    }
    const uint8_t* b = m_frameBytes.data();
    const int64_t total = static_cast<int64_t>(m_frameBytes.size());
    for (int64_t i = 0; i + 4 <= own; ++i)
        if (IsAudioFrameStart(id, b + i, total - i, true) && (!IsMpegAudio(id) || OfKind(b + i, kind1, kind2)))
            return i;
    return -1;
}

// Where the first audio frame starts in the payload of the unit at index
// (after DVD's substream header), followed frame by frame from a header
// in the stream's packets before it. Within one packet, the frame that
// runs past its end leaves only look-alike headers after the true start,
// and a search of the packet alone takes one of them. The payload's size
// when no frame starts in it; kGridUnknown when the packets before cannot
// be followed (there are none since damage, or their frames do not chain);
// kGridCut when the frame they end in the packet is not followed by a
// header: damage reached the packet's head.
int64_t CMPEGRepair::FollowedAudioStart(size_t index, uint8_t kind1, uint8_t kind2)
{
    constexpr int64_t kEnough = 32 * 1024;  // several frames of any audio codec here
    constexpr size_t kMaxUnits = 4096;      // packets of other streams in between
    if (index >= m_units.size())
        return kGridUnknown;
    const PSUnit unit = m_units[index];  // the walk back may read other blocks in
    const uint8_t id = unit.streamId;
    const int64_t prefix = id == 0xBD ? 4 : 0;
    const int64_t ownAt = unit.payloadOffset + prefix;
    const int64_t own = int64_t(unit.size) - ownAt;
    if (IsVideo(id) || own <= 0)
        return kGridUnknown;
    std::vector<size_t> before;
    int64_t earlier = 0;
    for (size_t i = index; i-- > 0 && index - i < kMaxUnits && earlier < kEnough;) {
        const PSUnit& u = m_units[i];
        if (u.streamId != id || (u.flags & kUnitSystemHeader))
            continue;
        // Back to the stream's last break: the bytes before it do not run
        // on. A packet written from a frame start on (the stream's first,
        // or its first after damage) runs on from there.
        if (u.flags & (kUnitDropped | kUnitKeepHead | kUnitLengthFixed))
            break;
        const int64_t at = u.payloadOffset + prefix;
        if (at < int64_t(u.size)) {
            before.push_back(i);
            earlier += int64_t(u.size) - at;
        }
        if (u.flags & kUnitSkipHead)
            break;
    }
    if (before.empty())
        return kGridUnknown;
    std::vector<uint8_t> b;
    b.reserve(static_cast<size_t>(earlier + own));
    for (auto it = before.rbegin(); it != before.rend(); ++it) {
        const PSUnit& u = m_units[*it];
        const int64_t at = u.payloadOffset + prefix;
        if (View(u.start + at, int64_t(u.size) - at) != int64_t(u.size) - at)
            return kGridUnknown;
        b.insert(b.end(), m_view, m_view + (int64_t(u.size) - at));
    }
    if (View(unit.start + ownAt, own) != own)
        return kGridUnknown;
    b.insert(b.end(), m_view, m_view + own);
    const uint8_t* p = b.data();
    const int64_t total = static_cast<int64_t>(b.size());
    const bool mpeg = IsMpegAudio(id);
    auto sameKind = [&](int64_t at, int64_t first) {
        return p[at] == p[first] && (p[at + 1] & 0xFE) == (p[first + 1] & 0xFE);
    };
    // Headers whose frames chain are tried in turn; bytes made of
    // look-alikes end the search after a bounded number of steps.
    int64_t steps = 0;
    constexpr int64_t kMaxSteps = 64 * 1024;
    for (int64_t first = 0; first + 8 <= earlier && steps < kMaxSteps; ++first) {
        if (AudioFrameLength(id, p + first, total - first) <= 0 || (mpeg && !OfKind(p + first, kind1, kind2)))
            continue;
        // Every header up to the packet confirms the one before it.
        int64_t at = first;
        int confirmed = 0;
        bool chained = true;
        while (at < earlier) {
            const int64_t length = AudioFrameLength(id, p + at, total - at);
            if (length <= 0 || (at != first && !sameKind(at, first))) {
                chained = false;
                break;
            }
            confirmed += at != first;
            at += length;
            ++steps;
        }
        if (!chained || confirmed == 0)
            continue;
        if (at >= total)
            return own;
        // The frame the packet's head ends must be followed by the next
        // one's header; where it is not, damage took those bytes.
        if (total - at >= 2 && !sameKind(at, first))
            return kGridCut;
        return at - earlier;
    }
    return kGridUnknown;
}

int CMPEGRepair::WriteTrimmedPSUnit(const PSUnit& unit, int64_t offset, size_t index)
{
    if ((unit.flags & kUnitKeepHead) && (unit.flags & kUnitFromSetup))
        return 0;
    if (Peek(unit.start, unit.size) != unit.size || unit.payloadOffset > unit.size)
        return MEND_ERR_READ;
    uint8_t* d = m_window.data();
    const int64_t header = unit.payloadOffset;
    const int64_t payload = unit.size - header;
    const int64_t prefix = unit.streamId == 0xBD ? std::min<int64_t>(4, payload) : 0;
    const auto track = m_frames.find(unit.streamId);
    const uint8_t kind1 = track == m_frames.end() ? 0 : track->second.kind1;
    const uint8_t kind2 = track == m_frames.end() ? 0 : track->second.kind2;
    int64_t start = -1;
    if (unit.flags & kUnitFromSetup) {
        start = VideoSetupStart(d + header + prefix, payload - prefix, kind1);
    } else {
        if ((unit.flags & kUnitSkipHead) && !IsVideo(unit.streamId)) {
            start = ConfirmedAudioStart(index, kind1, kind2);
            // The unit was read into the window; the search read others.
            if (Peek(unit.start, unit.size) != unit.size)
                return MEND_ERR_READ;
            d = m_window.data();
        }
        if ((unit.flags & kUnitKeepHead) && !(unit.flags & kUnitSkipHead) && !IsVideo(unit.streamId)) {
            const int64_t followed = FollowedAudioStart(index, kind1, kind2);
            if (followed == kGridCut)
                return 0;  // the head is the damage's: no frame ends whole in it
            if (followed != kGridUnknown && followed < payload - prefix)
                start = followed;
            if (Peek(unit.start, unit.size) != unit.size)
                return MEND_ERR_READ;
            d = m_window.data();
        }
        if (start < 0)
            start = FrameStart(unit.streamId, d + header + prefix, payload - prefix, kind1, kind2);
    }
    if (start < 0)
        return 0;
    // A packet that both begins after damage and ends in it keeps the
    // whole frames between.
    int64_t from = header + prefix, to = header + prefix + start;
    int frames = 0;
    if (unit.flags & kUnitKeepHead)
        to = header + prefix + WholeFramesEnd(unit.streamId, d + header + prefix, payload - prefix, start, frames);
    else if (unit.flags & (kUnitSkipHead | kUnitFromSetup))
        to = unit.size;
    if (unit.flags & (kUnitSkipHead | kUnitFromSetup))
        from = header + prefix + start;
    if (to <= from)
        return 0;
    if (frames > 0 || (unit.flags & kUnitSkipHead)) {
        if (unit.pts >= 0 && offset != 0) {
            uint8_t* ts = d + unit.tsOffset;
            WritePesTimestamp(ts, ts[0] >> 4, unit.pts + offset);
            if (unit.dts >= 0)
                WritePesTimestamp(ts + 5, 1, unit.dts + offset);
        }
        if (frames > 0 && prefix == 4)
            d[header + 1] = static_cast<uint8_t>(frames);  // frames that begin in the packet
    } else if (unit.pts >= 0) {
        if (to == from)
            return 0;
        if (Traits().mpeg1) {
            memset(d + unit.tsOffset, 0xFF, unit.payloadOffset - unit.tsOffset - 1);
            d[unit.payloadOffset - 1] = 0x0F;
        } else {
            // The optional fields after the timestamps move up, and the
            // header ends in stuffing where they were.
            const int64_t stamps = unit.dts >= 0 ? 10 : 5;
            if (stamps > header - 9)
                return MEND_ERR_READ;
            memmove(d + 9, d + 9 + stamps, static_cast<size_t>(header - 9 - stamps));
            memset(d + header - stamps, 0xFF, static_cast<size_t>(stamps));
            d[7] &= 0x3F;
        }
    }
    if (unit.flags & kUnitHeaderFixed)
        d[8] = static_cast<uint8_t>(header - 9);
    const int64_t length = header + prefix - 6 + (to - from);
    d[4] = static_cast<uint8_t>(length >> 8);
    d[5] = static_cast<uint8_t>(length);
    if (m_output->Write(d, static_cast<unsigned int>(header + prefix)) != header + prefix)
        return MEND_ERR_WRITE;
    return WriteInput(unit.start + from, d + from, to - from);
}

int CMPEGRepair::WritePSUnit(const PSUnit& unit, int64_t offset, size_t index)
{
    if (unit.flags & (kUnitKeepHead | kUnitSkipHead | kUnitFromSetup))
        return WriteTrimmedPSUnit(unit, offset, index);
    if (Peek(unit.start, unit.size) != unit.size || unit.payloadOffset > unit.size)
        return MEND_ERR_READ;
    uint8_t* d = m_window.data();
    if (unit.flags & kUnitHeaderFixed)
        d[8] = static_cast<uint8_t>(unit.payloadOffset - 9);
    d[4] = static_cast<uint8_t>((unit.size - 6) >> 8);
    d[5] = static_cast<uint8_t>(unit.size - 6);
    if (offset != 0) {
        uint8_t* ts = d + unit.tsOffset;
        WritePesTimestamp(ts, ts[0] >> 4, unit.pts + offset);
        if (unit.dts >= 0)
            WritePesTimestamp(ts + 5, 1, unit.dts + offset);
    }
    return WriteInput(unit.start, m_window.data(), unit.size);
}

// n bytes that stand for the input's bytes from `at` on, to the output,
// with the input's bytes written anew where the walk mended them.
int CMPEGRepair::WriteInput(int64_t at, const uint8_t* d, int64_t n)
{
    auto patch = std::lower_bound(m_patches.begin(), m_patches.end(), at - 2,
                                  [](const SizeField& f, int64_t pos) { return f.at < pos; });
    if (patch == m_patches.end() || patch->at >= at + n)
        return m_output->Write(d, static_cast<unsigned int>(n)) == n ? 0 : MEND_ERR_WRITE;
    std::vector<uint8_t> mended(d, d + n);
    for (; patch != m_patches.end() && patch->at < at + n; ++patch)
        for (int64_t k = 0; k < 3; ++k)
            if (patch->at + k >= at && patch->at + k < at + n)
                mended[static_cast<size_t>(patch->at + k - at)] = patch->bytes[k];
    return m_output->Write(mended.data(), static_cast<unsigned int>(n)) == n ? 0 : MEND_ERR_WRITE;
}

// The input's [from, to) to the output as it stands, written from the
// input window (read ahead of the rebuild) a block at a time.
int CMPEGRepair::CopyInput(int64_t from, int64_t to)
{
    while (from < to) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        if (View(from, 1) != 1)
            return MEND_ERR_READ;
        const int64_t n = std::min({m_inputWindow.End() - from, to - from, CReadWindow::kSize});
        if (View(from, n) != n)
            return MEND_ERR_READ;
        const int r = WriteInput(from, m_view, n);
        if (r < 0)
            return r;
        from += n;
    }
    return 0;
}

// Each pack written has a header with an SCR no later than the earliest
// decoding time of the units of this and every later pack, never going
// back: the input's own where it keeps to that (and its mux rate is not
// 0), else one made so. Whatever the input keeps as it was (its pack
// headers and units, back to back) is copied in runs as long as they go.
int CMPEGRepair::RepairLevel1ProgramStream(const PSTraits& traits)
{
    if (!m_input || !m_output)
        return MEND_ERR_NO_STREAM;
    if (m_units.empty())
        return 0;
    if (m_output->SeekTo(0) != 0)
        return MEND_ERR_WRITE;
    if (m_muxRate == 0)
        m_muxRate = MeasuredMuxRate();
    constexpr int64_t kNone = std::numeric_limits<int64_t>::max();
    // A pack whose first units were left out begins with its first unit
    // that is written. One bound per pack: as many as the units, so they
    // wait in a temporary file as the units do.
    SpillList<int64_t> scr;
    bool pending = false;
    for (const PSUnit& unit : m_units) {
        pending = pending || (unit.flags & kUnitNewPack) || scr.empty();
        if (unit.flags & kUnitDropped)
            continue;
        if (pending)
            scr.push_back(kNone);
        pending = false;
        if (unit.pts >= 0) {
            const int64_t t = (unit.dts >= 0 ? unit.dts : unit.pts) + m_rebase->OffsetAt(unit.start);
            scr.back() = std::min(scr.back(), std::max<int64_t>(t, 0));
        }
    }
    int64_t later = kNone;
    for (size_t k = scr.size(); k-- > 0;) {
        later = std::min(later, scr[k]);
        scr[k] = later;
    }
    int64_t previous = 0;
    for (size_t k = 0; k < scr.size(); ++k) {
        int64_t& value = scr[k];
        if (value == kNone)
            value = previous;
        previous = value;
    }
    size_t pack = 0;
    pending = false;
    previous = 0;  // the last SCR written, 90 kHz
    PSUnit own{};  // the first unit of the pack being written (packBack 0: none)
    int64_t runFrom = 0, runTo = 0;  // input bytes to copy as they stand
    // Writes the run gathered so far; none is open after it.
    const auto flush = [&]() -> int {
        const int r = CopyInput(runFrom, runTo);
        runFrom = runTo = 0;
        return r;
    };
    const auto extend = [&](int64_t from, int64_t n) -> int {
        if (from != runTo || runTo == runFrom) {
            const int r = flush();
            if (r < 0)
                return r;
            runFrom = from;
        }
        runTo = from + n;
        return 0;
    };
    size_t index = 0;
    for (const PSUnit& unit : m_units) {
        const size_t at = index++;
        if (TestAbort())
            return MEND_ERR_ABORTED;
        pending = pending || (unit.flags & kUnitNewPack) || pack == 0;
        if (unit.flags & kUnitNewPack)
            own = unit;
        if (unit.flags & kUnitDropped)
            continue;
        const int64_t offset = unit.pts >= 0 ? m_rebase->OffsetAt(unit.start) : 0;
        int r = 0;
        if (pending) {
            const int64_t bound = scr[pack++];
            const int64_t own90 = own.packBack && own.packScr >= 0 ? own.packScr / traits.clockPerTick : -1;
            if (own90 >= previous && own90 <= bound && offset == 0) {
                r = extend(own.start - own.packBack, own.packSize);
                previous = own90;
            } else {
                if ((r = flush()) < 0)
                    return r;
                previous = std::max(bound, previous);
                r = WritePackHeader(traits, previous * traits.clockPerTick);
            }
            if (r < 0)
                return r;
            pending = false;
        }
        if (offset == 0 && !(unit.flags & (kUnitKeepHead | kUnitSkipHead | kUnitLengthFixed | kUnitFromSetup |
                                             kUnitHeaderFixed))) {
            r = extend(unit.start, unit.size);
        } else if ((r = flush()) >= 0) {
            r = WritePSUnit(unit, offset, at);
        }
        if (r < 0)
            return r;
    }
    const int r = flush();
    if (r < 0)
        return r;
    const uint8_t endCode[4] = {0, 0, 1, kProgramEnd};
    return m_output->Write(endCode, 4) == 4 ? 0 : MEND_ERR_WRITE;
}
