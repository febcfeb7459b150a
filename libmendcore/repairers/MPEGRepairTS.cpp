// MPEG-2 transport stream: packet length and first sync, the packet walk,
// and the rebuild from the packets that hold.
#include <string.h>

#include <algorithm>

#include "core/Crc.h"
#include "core/StreamIO.h"
#include "repairers/MPEGRepair.h"

namespace {

constexpr int kTSBody = 188;           // sync byte to the end of a packet
constexpr uint16_t kNullPid = 0x1FFF;
// Units of a PES packet longer than this many transport packets are
// committed without waiting for their end: the list stays bounded.
constexpr size_t kMaxOpenUnitPackets = 1 << 16;
// 150 s: a stream that leaps further ahead has started over.
constexpr int64_t kTSForwardJump = 13500000;

bool StreamIdHasNoPesHeader(uint8_t id)
{
    return id == 0xBC || id == 0xBE || id == 0xBF || id == 0xF0 || id == 0xF1 || id == 0xFF || id == 0xF2 ||
           id == 0xF8;
}

int64_t ReadPcrBase(const uint8_t* p)
{
    return (static_cast<int64_t>(p[0]) << 25) | (static_cast<int64_t>(p[1]) << 17) |
           (static_cast<int64_t>(p[2]) << 9) | (static_cast<int64_t>(p[3]) << 1) | (p[4] >> 7);
}

void WritePcrBase(uint8_t* p, int64_t base)
{
    base &= (int64_t(1) << 33) - 1;
    p[0] = static_cast<uint8_t>(base >> 25);
    p[1] = static_cast<uint8_t>(base >> 17);
    p[2] = static_cast<uint8_t>(base >> 9);
    p[3] = static_cast<uint8_t>(base >> 1);
    p[4] = static_cast<uint8_t>(((base & 1) << 7) | (p[4] & 0x7F));
}

// Where the fixed-size fields that an adaptation field's flags byte at
// pkt[5] announces (PCR, OPCR, splice countdown) end.
int FixedFieldsEnd(const uint8_t* pkt)
{
    const uint8_t flags = pkt[5];
    return 6 + ((flags & 0x10) ? 6 : 0) + ((flags & 0x08) ? 6 : 0) + ((flags & 0x04) ? 1 : 0);
}

// The adaptation_field_length a packet's own field shows: its flags byte,
// the fields the flags announce, then the run of 0xFF stuffing up to the
// first byte that is not one. -1 when that leaves no payload.
int StuffedFieldLength(const uint8_t* pkt)
{
    const uint8_t flags = pkt[5];
    int q = FixedFieldsEnd(pkt);
    for (const uint8_t flag : {0x02, 0x01})
        if ((flags & flag) && q < kTSBody)
            q += 1 + pkt[q];
    int r = q;
    while (r < kTSBody && pkt[r] == 0xFF)
        ++r;
    return r < kTSBody ? r - 5 : -1;
}

// Bytes of the optional fields that a PES header's flags (d[7]) announce,
// from d[9]; -1 when they would run past `room` bytes.
int PesFieldsLength(const uint8_t* d, int room)
{
    const uint8_t f = d[7];
    int q = ((f & 0x80) ? 5 : 0) + ((f & 0x40) ? 5 : 0) + ((f & 0x20) ? 6 : 0) + ((f & 0x10) ? 3 : 0) +
            ((f & 0x08) ? 1 : 0) + ((f & 0x04) ? 1 : 0) + ((f & 0x02) ? 2 : 0);
    if (f & 0x01) {  // extension: its own flags, then what they announce
        if (q + 1 > room)
            return -1;
        const uint8_t e = d[9 + q];
        q += 1 + ((e & 0x80) ? 16 : 0);
        if (e & 0x40) {  // pack header field
            if (q + 1 > room)
                return -1;
            q += 1 + d[9 + q];
        }
        q += ((e & 0x20) ? 2 : 0) + ((e & 0x10) ? 2 : 0);
        if (e & 0x01) {
            if (q + 1 > room)
                return -1;
            q += 1 + (d[9 + q] & 0x7F);
        }
    }
    return q > room ? -1 : q;
}

// A header holds at most this much stuffing after its fields.
constexpr int kPesStuffingMax = 32;

// What a stream's data begins with where a PES packet starts, as the
// muxers write it: a start code for video, a frame's sync word for audio
// (MPEG audio and ADTS, AC-3).
bool EsStartLooksRight(uint8_t id, const uint8_t* e, int n)
{
    if (id >= 0xE0 && id <= 0xEF)
        return (n >= 3 && e[0] == 0 && e[1] == 0 && e[2] == 1) ||
               (n >= 4 && e[0] == 0 && e[1] == 0 && e[2] == 0 && e[3] == 1);
    if ((id >= 0xC0 && id <= 0xDF) || id == 0xBD)
        return n >= 2 && ((e[0] == 0xFF && (e[1] & 0xE0) == 0xE0) || (e[0] == 0x0B && e[1] == 0x77));
    return false;
}

// Descriptors back to back from `from`: whether they end exactly at `end`.
bool DescriptorsFill(const uint8_t* s, int from, int end)
{
    while (from < end) {
        if (2 > end - from)
            return false;
        from += 2 + s[from + 1];
    }
    return from == end;
}

// How a program map section (s at its table_id, its stream loop ending at
// `end`, where the checksum begins) holds with a program_info_length of
// `info`: 0 the program's descriptors or the stream loop after them run
// past their ends, 1 they fill the section, 2 and every stream entry has
// its reserved bits set, as muxers write them.
int ProgramMapFit(const uint8_t* s, int end, int info)
{
    if (info > end - 12 || !DescriptorsFill(s, 12, 12 + info))
        return 0;
    bool reserved = true;
    for (int q = 12 + info; q < end;) {
        if (5 > end - q)
            return 0;
        const int pid = ((s[q + 1] & 0x1F) << 8) | s[q + 2];
        const int length = ((s[q + 3] & 0x0F) << 8) | s[q + 4];
        if (pid < 0x10 || pid == kNullPid || length > end - q - 5 || !DescriptorsFill(s, q + 5, q + 5 + length))
            return 0;
        reserved = reserved && (s[q + 1] & 0xE0) == 0xE0 && (s[q + 3] & 0xF0) == 0xF0;
        q += 5 + length;
    }
    return reserved ? 2 : 1;
}

// MPEG's section checksum: the polynomial of Ogg's, from all ones.
uint32_t SectionCrc(const uint8_t* s, int n)
{
    return OggCrc32().Update(0xFFFFFFFFu, s, static_cast<size_t>(n));
}

}  // namespace

bool CMPEGRepair::ISMPEG2TS()
{
    if (!m_input)
        return false;
    const int r = GetTSPackLength();
    if (r == MEND_ERR_ABORTED)
        m_abortSeen = true;
    return r >= 0;
}

// Eleven sync bytes in a row at one packet length, within the first
// 512,000 bytes; a file shorter than that may show fewer, but then its
// packets must run to its end.
int CMPEGRepair::GetTSPackLength()
{
    if (!m_input)
        return MEND_ERR_NO_STREAM;
    const int64_t n = Peek(0, 512000);
    if (n < 0)
        return static_cast<int>(n);
    const uint8_t* b = m_window.data();
    static const uint32_t kLengths[] = {188, 192, 204};
    for (int64_t i = 0; i < n; ++i) {
        if ((i & 0xFFF) == 0 && TestAbort())
            return MEND_ERR_ABORTED;
        if (b[i] != 0x47)
            continue;
        for (uint32_t L : kLengths) {
            int k = 1;
            while (k <= 10 && i + k * int64_t(L) < n && b[i + k * L] == 0x47)
                ++k;
            const bool full = k > 10;
            const bool toTheEnd = k >= 4 && n == m_inputLength && i + k * int64_t(L) >= n;
            if (!full && !toTheEnd)
                continue;
            m_tsLength = L;
            // A 192-byte packet begins with its 4-byte time code.
            if (L == 192)
                m_firstUnit = i >= 4 ? i - 4 : i + kTSBody;
            else
                m_firstUnit = i;
            return 0;
        }
    }
    return MEND_ERR_NOT_CONTAINER;
}

int CMPEGRepair::ParseMPEG2TSAdaptationField(const uint8_t* pkt, TSPacket& info) const
{
    const int length = pkt[4];
    const int end = 5 + length;
    if (end > kTSBody)
        return kStepInvalid;
    const bool payload = (pkt[3] & 0x10) != 0;
    // Without payload the field fills the packet.
    if (!payload && end != kTSBody)
        return kStepInvalid;
    if (length == 0) {
        // One byte of stuffing. A zeroed length leaves the field it stood
        // for at the payload's head: a flags byte, the fields it announces
        // and a run of stuffing no stream's data would begin with.
        info.emptyField = info.stuffed = true;
        const uint8_t flags = pkt[5];
        if (flags & 0x03)
            return kStepUnit;
        const int q = FixedFieldsEnd(pkt);
        if (q + 2 <= kTSBody && pkt[q] == 0xFF && pkt[q + 1] == 0xFF)
            return kStepInvalid;
        return kStepUnit;
    }
    const uint8_t flags = pkt[5];
    int q = 6;
    if (flags & 0x10) {  // PCR
        if (q + 6 > end)
            return kStepInvalid;
        info.pcr = q;
        q += 6;
    }
    if (flags & 0x08) {  // OPCR
        if (q + 6 > end)
            return kStepInvalid;
        q += 6;
    }
    if (flags & 0x04) {  // splice countdown
        if (q + 1 > end)
            return kStepInvalid;
        q += 1;
    }
    if (flags & 0x02) {  // transport private data
        if (q + 1 > end || q + 1 + pkt[q] > end)
            return kStepInvalid;
        q += 1 + pkt[q];
    }
    if (flags & 0x01) {  // extension, skipped whole
        if (q + 1 > end || q + 1 + pkt[q] > end)
            return kStepInvalid;
        q += 1 + pkt[q];
    }
    // The rest is stuffing, which is 0xFF by rule.
    info.stuffed = q < end;
    for (; q < end; ++q)
        if (pkt[q] != 0xFF)
            return kStepInvalid;
    return kStepUnit;
}

// The start of a unit's payload. Every field read lies inside this packet:
// a header that would run past it is no header.
int CMPEGRepair::ParseTSDataHeader(const uint8_t* pkt, TSPacket& info) const
{
    const uint8_t* d = pkt + info.payload;
    const int n = kTSBody - info.payload;
    if (n >= 3 && d[0] == 0 && d[1] == 0 && d[2] == 1) {
        if (n < 9 || d[3] < 0xBC)
            return kStepInvalid;
        info.pes = true;
        if (StreamIdHasNoPesHeader(d[3]))
            return kStepUnit;
        if ((d[6] & 0xC0) != 0x80)
            return kStepInvalid;
        const int ptsDts = d[7] >> 6;
        const int headerLength = d[8];
        if (9 + headerLength > n || ptsDts == 1)
            return kStepInvalid;
        if (ptsDts & 2) {
            if (headerLength < 5 || (d[9] >> 4) != (ptsDts == 3 ? 3 : 2) || !PesTimestampMarkersValid(d + 9))
                return kStepInvalid;
            info.pts = info.payload + 9;
        }
        if (ptsDts == 3) {
            if (headerLength < 10 || (d[14] >> 4) != 1 || !PesTimestampMarkersValid(d + 14))
                return kStepInvalid;
            info.dts = info.payload + 14;
        }
        // The header length covers the fields the flags announce; what it
        // holds beyond them is a little stuffing. A length that swallows
        // the start of the frame data is damage, though it fits.
        const int fields = PesFieldsLength(d, n - 9);
        if (fields < 0 || headerLength < fields || headerLength - fields > kPesStuffingMax)
            return kStepInvalid;
        for (int i = 9 + fields; i < 9 + headerLength; ++i)
            if (d[i] != 0xFF)
                return kStepInvalid;
        return kStepUnit;
    }
    // A section: pointer_field, then table_id.
    const int pointer = d[0];
    if (1 + pointer + 3 > n)
        return kStepInvalid;
    const uint8_t tid = d[1 + pointer];
    if (tid == 0xFF || (info.pid == 0 && tid != 0) || (info.pid == 1 && tid != 1))
        return kStepInvalid;
    // PAT, CAT and PMT carry the section syntax: indicator 1, then a 0.
    if (tid <= 2 && (d[2 + pointer] & 0xC0) != 0x80)
        return kStepInvalid;
    return kStepUnit;
}

int CMPEGRepair::DecodeTSPacket(const uint8_t* pkt, TSPacket& info) const
{
    if (pkt[0] != 0x47)
        return kStepInvalid;
    info.unitStart = (pkt[1] & 0x40) != 0;
    info.pid = static_cast<uint16_t>(((pkt[1] & 0x1F) << 8) | pkt[2]);
    info.cc = pkt[3] & 0x0F;
    const int control = (pkt[3] >> 4) & 3;
    if (control == 0 || (info.pid >= 2 && info.pid <= 15))
        return kStepInvalid;
    info.payload = 4;
    if (control & 2) {
        if (ParseMPEG2TSAdaptationField(pkt, info) != kStepUnit)
            return kStepInvalid;
        info.discontinuity = pkt[4] > 0 && (pkt[5] & 0x80);
        info.randomAccess = pkt[4] > 0 && (pkt[5] & 0x40);
        info.payload = 5 + pkt[4];
    }
    info.hasPayload = (control & 1) && info.payload < kTSBody;
    if ((control & 1) && !info.hasPayload)
        return kStepInvalid;  // payload announced, no room left for it
    if (info.pid == kNullPid || !info.unitStart || !info.hasPayload)
        return kStepUnit;
    return ParseTSDataHeader(pkt, info);
}

// One packet at `unit`, `gap` bytes after the end of the last accepted
// one (-1: none accepted yet). A packet right after an accepted one needs
// the sync byte of the packet after it; after a resynchronisation, of the
// next two, so that a stray 0x47 in damaged bytes does not pass for a
// packet.
int CMPEGRepair::ParseMPEG2TSPack(int64_t unit, int64_t gap)
{
    const bool chained = gap == 0;
    const int64_t L = m_tsLength;
    const int s = TSSyncOffset();
    if (L > m_inputLength - unit)
        return kStepEnd;
    const int64_t n = View(unit, s + 2 * L + 1);
    if (n < 0)
        return static_cast<int>(n);
    const uint8_t* w = m_view;
    if (s + L < n && w[s + L] != 0x47) {
        // Zeros from exactly where the next packet would begin, after a
        // packet whose last byte is not one, are where a recording stopped
        // (a file allocated ahead, a zeroed block on the packet grid): the
        // packet is whole. Zeroing that began inside it would end it in zeros.
        const bool zerosAfter = chained && L + 4 <= n && w[s + L - 1] != 0 && w[L] == 0 && w[L + 1] == 0 &&
                                w[L + 2] == 0 && w[L + 3] == 0 && w[L + s] == 0;
        if (!zerosAfter)
            return kStepInvalid;
    }
    if (!chained && s + 2 * L < n && w[s + 2 * L] != 0x47)
        return kStepInvalid;
    const uint8_t* pkt = w + s;
    TSPacket info;
    const bool sound = DecodeTSPacket(pkt, info) == kStepUnit;
    if (!sound || FieldLengthLooksDamaged(pkt, info)) {
        const int length = (pkt[3] & 0x30) == 0x30 ? StuffedFieldLength(pkt) : -1;
        TSPacket fixed;
        if (length >= 0 && length != pkt[4]) {
            memcpy(m_tsFixed, pkt, kTSBody);
            m_tsFixed[4] = static_cast<uint8_t>(length);
            if (DecodeTSPacket(m_tsFixed, fixed) == kStepUnit && RepairedPacketFits(fixed)) {
                m_tsFixes.push_back(TSFix{unit, 4, static_cast<uint8_t>(length)});
                m_damaged = true;
                pkt = m_tsFixed;
                info = fixed;
            } else if (!sound) {
                if (!RebuildPesHeader(unit, pkt, info))
                    return kStepInvalid;
                pkt = m_tsFixed;
            }
        } else if (!sound) {
            if (!RebuildPesHeader(unit, pkt, info))
                return kStepInvalid;
            pkt = m_tsFixed;
        }
    }
    if (info.pid != kNullPid && info.unitStart && info.hasPayload) {
        // A PID proven to carry PES does not turn into sections: such a
        // unit start is damage. The reverse is allowed: a damaged first
        // unit start may have looked like a section.
        const PidState* known = m_pids.Find(info.pid);
        if (!info.pes && known && known->kind == kPidPes)
            return kStepInvalid;
    }
    // The whole stretch since the last packet, however many stray sync
    // bytes were tried in it, is one gap.
    if (gap > 0)
        MarkTSGap(gap);
    if (info.unitStart && info.hasPayload && !info.pes && info.pid != kNullPid)
        MendProgramMap(unit, pkt, info);
    RecordTSPacket(unit, info, pkt);
    return kStepUnit;
}

// A field length that decodes but was damaged all the same: cut short, its
// stuffing runs on far into the payload (video data may well go on with a
// few 0xFF bytes, not with sixteen of them); zeroed, the field it stood
// for begins the payload, with a PCR that follows the stream's last one.
bool CMPEGRepair::FieldLengthLooksDamaged(const uint8_t* pkt, const TSPacket& info) const
{
    constexpr int kStuffingRun = 16;
    if (!info.hasPayload || !(pkt[3] & 0x20))
        return false;
    if (info.emptyField) {
        if (!(pkt[5] & 0x10) || m_lastPcr < 0)
            return false;
        const int64_t ahead = ReadPcrBase(pkt + 6) - m_lastPcr;
        return ahead >= 0 && ahead <= 90000;  // one second
    }
    if (!info.stuffed || info.payload + kStuffingRun > kTSBody)
        return false;
    for (int i = 0; i < kStuffingRun; ++i)
        if (pkt[info.payload + i] != 0xFF)
            return false;
    return true;
}

// A unit start whose PES header does not hold, though its start code and
// stream are those of its PID: the flags bytes and the header length are
// rebuilt from the fields the header holds (its timestamps by their marker
// bits, then the stuffing), and the frame data must begin right after.
// On success m_tsFixed holds the packet as it is written.
bool CMPEGRepair::RebuildPesHeader(int64_t unit, const uint8_t* pkt, TSPacket& info)
{
    if (!info.unitStart || !info.hasPayload || info.pid == kNullPid)
        return false;
    const int n = kTSBody - info.payload;
    const uint8_t* d = pkt + info.payload;
    if (n < 9 || d[0] != 0 || d[1] != 0 || d[2] != 1 || d[3] < 0xBC || StreamIdHasNoPesHeader(d[3]))
        return false;
    const PidState* known = m_pids.Find(info.pid);
    if (known && (known->kind == kPidSection || (known->streamId != 0 && known->streamId != d[3])))
        return false;
    memcpy(m_tsFixed, pkt, kTSBody);
    uint8_t* h = m_tsFixed + info.payload;
    if ((h[6] & 0xC0) != 0x80)
        h[6] = static_cast<uint8_t>(0x80 | (h[6] & 0x0F));
    // The flags as they stand, then as the timestamps show them.
    uint8_t shown = 0;
    if (n >= 19 && (d[9] >> 4) == 3 && PesTimestampMarkersValid(d + 9) && (d[14] >> 4) == 1 &&
        PesTimestampMarkersValid(d + 14))
        shown = 0xC0;
    else if (n >= 14 && (d[9] >> 4) == 2 && PesTimestampMarkersValid(d + 9))
        shown = 0x80;
    for (const uint8_t flags : {d[7], shown}) {
        h[7] = flags;
        h[8] = d[8];
        const int fields = PesFieldsLength(h, n - 9);
        if (fields < 0)
            continue;
        bool stands = d[8] >= fields && d[8] - fields <= kPesStuffingMax && 9 + d[8] <= n;
        for (int i = 9 + fields; stands && i < 9 + d[8]; ++i)
            stands = h[i] == 0xFF;
        if (!stands) {
            // Stuffing runs up to the frame data; an audio frame's sync
            // word begins with 0xFF too.
            int run = 0;
            while (run < kPesStuffingMax && 9 + fields + run < n && h[9 + fields + run] == 0xFF)
                ++run;
            if (run > 0 && 9 + fields + run < n && (h[9 + fields + run] & 0xE0) == 0xE0)
                --run;
            h[8] = static_cast<uint8_t>(fields + run);
        }
        TSPacket fixed;
        if (DecodeTSPacket(m_tsFixed, fixed) != kStepUnit || !fixed.pes ||
            !EsStartLooksRight(h[3], h + 9 + h[8], n - 9 - h[8]))
            continue;
        for (int i = 6; i <= 8; ++i)
            if (h[i] != d[i])
                m_tsFixes.push_back(TSFix{unit, static_cast<uint8_t>(info.payload + i), h[i]});
        m_damaged = true;
        info = fixed;
        return true;
    }
    return false;
}

// A program map section that lies whole in its packet (as muxers write
// them) with a program_info_length that does not end where one of the
// program's descriptors ends, or after which the stream loop does not fill
// the section: a demuxer reads the stream loop from the wrong byte and
// finds no stream it can play. The length is taken from the descriptors:
// the one end of theirs after which the stream loop fills the section.
// Where the checksum holds, the bad length was written with it and the
// checksum is written anew; where it does not, the length must be the one
// the checksum vouches for, or the section is left as it stands.
void CMPEGRepair::MendProgramMap(int64_t unit, const uint8_t* pkt, const TSPacket& info)
{
    const uint8_t* d = pkt + info.payload;
    const int at = info.payload + 1 + d[0];  // the section, from its table_id
    if (3 > kTSBody - at || pkt[at] != 0x02)
        return;
    const uint8_t* s = pkt + at;
    const int total = 3 + (((s[1] & 0x0F) << 8) | s[2]);
    if (total < 16 || total > kTSBody - at)
        return;
    const int end = total - 4;
    const int stated = ((s[10] & 0x0F) << 8) | s[11];
    if (ProgramMapFit(s, end, stated) > 0)
        return;
    const uint32_t crc = LoadBE32(s + end);
    const bool crcHolds = SectionCrc(s, end) == crc;
    uint8_t section[kTSBody];
    memcpy(section, s, static_cast<size_t>(total));
    int best = -1, bestFit = 0;
    bool tie = false;
    for (int length = 0; length <= end - 12;) {
        const int fit = ProgramMapFit(s, end, length);
        section[10] = static_cast<uint8_t>((s[10] & 0xF0) | (length >> 8));
        section[11] = static_cast<uint8_t>(length);
        if (fit > 0 && (crcHolds || SectionCrc(section, end) == crc)) {
            if (fit > bestFit) {
                best = length;
                bestFit = fit;
                tie = false;
            } else if (fit == bestFit) {
                tie = true;
            }
        }
        if (2 > end - 12 - length)
            break;
        length += 2 + s[12 + length + 1];
    }
    if (best < 0 || tie)
        return;
    section[10] = static_cast<uint8_t>((s[10] & 0xF0) | (best >> 8));
    section[11] = static_cast<uint8_t>(best);
    StoreBE32(section + end, crcHolds ? SectionCrc(section, end) : crc);
    for (const int i : {10, 11, end, end + 1, end + 2, end + 3})
        if (section[i] != s[i])
            m_tsFixes.push_back(TSFix{unit, static_cast<uint8_t>(at + i), section[i]});
    m_damaged = true;
    m_tsTableMended = true;
}

// A packet whose field length was put right must continue its PID's
// stream exactly: the next continuity count, a PES start or more of the
// unit in progress, no more payload than its stated length leaves, and
// when it ends in stuffing, just that much.
bool CMPEGRepair::RepairedPacketFits(const TSPacket& info) const
{
    const PidState* known = m_pids.Find(info.pid);
    if (!known || !info.hasPayload)
        return false;
    const PidState& st = *known;
    if (st.lastCC < 0 || st.suspect || st.broken || info.cc != ((st.lastCC + 1) & 0x0F))
        return false;
    if (info.unitStart)
        return info.pes && st.kind != kPidSection;
    if (st.kind != kPidPes)
        return false;
    const int64_t payload = kTSBody - info.payload;
    if (st.unitLeft > 0)
        return info.stuffed ? payload == st.unitLeft : payload <= st.unitLeft;
    return true;
}

void CMPEGRepair::RecordTSPacket(int64_t unit, const TSPacket& info, const uint8_t* pkt)
{
    bool keep = true;
    if (info.pid != kNullPid && info.hasPayload) {
        PidState& st = m_pids.Get(info.pid);
        if (st.suspect)
            JudgeTSGap(st, info, pkt);
        // Stuffing before more of the same unit: the adaptation field
        // length of the last packet was damaged and its payload holds the
        // field's bytes.
        if (st.lastEmptyField && !info.unitStart && st.kind == kPidPes && !st.broken)
            BreakTSUnit(st, false);
        st.lastCC = info.cc;
        st.lastStuffed = info.stuffed;
        st.lastEmptyField = info.emptyField;
        if (info.unitStart)
            OpenTSUnit(st, unit, info, pkt);
        keep = !st.broken && AddToTSUnit(st, unit, info, pkt);
    }
    if (keep)
        KeepTSPacket(unit, info, pkt);
}

void CMPEGRepair::JudgeTSGap(PidState& st, const TSPacket& info, const uint8_t* pkt)
{
    // Damage lay between this packet and the PID's last one. The
    // continuity counter tells whether packets of this PID were
    // lost, as long as fewer than 16 can have been.
    st.suspect = false;
    const bool follows = info.cc == ((st.lastCC + 1) & 0x0F) || info.cc == st.lastCC;
    if (follows && !st.lostMany && !info.discontinuity)
        return;
    // A unit that had ended lost nothing: the packets lost
    // belonged to the next one. So it is where a unit starts
    // right after one lost packet, two frame steps after the
    // open unit: the packet held a whole frame of its own.
    const int64_t t =
        info.unitStart && info.pts >= 0 ? ReadPesTimestamp(pkt + (info.dts >= 0 ? info.dts : info.pts)) : -1;
    const bool lostWholeUnit = !st.lostMany && !info.discontinuity && info.cc == ((st.lastCC + 2) & 0x0F) &&
                               t >= 0 && st.openTime >= 0 && st.timeStep > 0 &&
                               t - st.openTime == 2 * st.timeStep;
    if (UnitComplete(st) || lostWholeUnit) {
        FinishTSUnit(st);
        st.openUnit.clear();
    }
    BreakTSUnit(st, info.unitStart);
}

void CMPEGRepair::OpenTSUnit(PidState& st, int64_t unit, const TSPacket& info, const uint8_t* pkt)
{
    if (!st.broken && !st.openUnit.empty())
        FinishTSUnit(st);
    st.kind = info.pes ? kPidPes : kPidSection;
    st.broken = false;
    st.openUnit.clear();
    // PES_packet_length, where stated (audio), tells whether the
    // unit is complete when the input ends.
    const uint8_t* d = pkt + info.payload;
    const int64_t length = info.pes ? ((int64_t(d[4]) << 8) | d[5]) : 0;
    st.unitLeft = length > 0 ? 6 + length : -1;
    st.stated = st.unitLeft;
    st.unitHead = unit;
    st.pesAt = info.payload;
    st.unitBytes = 0;
    st.lengthWrong = false;
    st.keyOpen = info.randomAccess;
    if (info.pes)
        st.streamId = d[3];
    // The time of the unit, and the shortest step between two
    // units that follow each other.
    const int64_t t = info.pts >= 0 ? ReadPesTimestamp(pkt + (info.dts >= 0 ? info.dts : info.pts)) : -1;
    if (t >= 0 && st.openTime >= 0 && t > st.openTime && (st.timeStep <= 0 || t - st.openTime < st.timeStep))
        st.timeStep = t - st.openTime;
    st.openTime = t;
    st.usesKeys = st.usesKeys || info.randomAccess;
    if (info.randomAccess && st.waitKey) {
        m_tsDropped.insert(m_tsDropped.end(), st.pending.begin(), st.pending.end());
        std::vector<int64_t>().swap(st.pending);
        st.waitKey = false;
    }
}

bool CMPEGRepair::AddToTSUnit(PidState& st, int64_t unit, const TSPacket& info, const uint8_t* pkt)
{
    if (st.openUnit.size() >= kMaxOpenUnitPackets)
        st.openUnit.clear();
    st.openUnit.push_back(unit);
    st.unitBytes += kTSBody - info.payload;
    if (st.unitLeft > 0) {
        st.unitLeft -= kTSBody - info.payload;
        // More payload than the PES packet states. Where the surplus
        // is stuffing at the head of the payload, this packet's
        // adaptation field length was damaged and the unit goes;
        // otherwise the stated length itself is wrong, and is
        // written anew once the unit ends.
        if (st.unitLeft < 0) {
            const int64_t surplus = -st.unitLeft;
            bool stuffing = surplus >= 2 && surplus <= kTSBody - info.payload;
            for (int64_t i = 0; stuffing && i < surplus; ++i)
                stuffing = pkt[info.payload + i] == 0xFF;
            if (stuffing) {
                BreakTSUnit(st, false);
                return false;
            }
            st.lengthWrong = true;
            st.unitLeft = -1;
        }
    }
    // Frames after a lost one cannot be decoded before the next
    // random access point, where the muxer marks them. The packets
    // that continue a unit begun before the file's start (no unit
    // start seen yet) are no frame of their own: they stay.
    if (st.waitKey && st.kind == kPidPes) {
        if (st.pending.size() >= kMaxOpenUnitPackets) {
            std::vector<int64_t>().swap(st.pending);
            st.waitKey = false;
        } else {
            st.pending.push_back(unit);
        }
    }
    return true;
}

void CMPEGRepair::KeepTSPacket(int64_t unit, const TSPacket& info, const uint8_t* pkt)
{
    if (!m_tsRuns.empty() && m_tsRuns.back().start + m_tsRuns.back().count * int64_t(m_tsLength) == unit)
        ++m_tsRuns.back().count;
    else
        m_tsRuns.push_back(TSRun{unit, 1});
    if (info.pts >= 0) {
        const int64_t t = ReadPesTimestamp(pkt + (info.dts >= 0 ? info.dts : info.pts));
        m_rebase->Add(info.pid, t, unit);
    }
    if (info.pcr >= 0)
        m_lastPcr = ReadPcrBase(pkt + info.pcr);
}

// Bytes that are no packet lay before the next one: every PID's unit in
// progress may have lost packets there. Only a gap of whole packets can
// have taken so many of them that the continuity counter wraps: a gap off
// the packet grid holds bytes spliced in (or a packet cut short), not a
// long run of packets overwritten in place.
void CMPEGRepair::MarkTSGap(int64_t bytes)
{
    const bool many = bytes >= 15 * int64_t(m_tsLength) && bytes % m_tsLength == 0;
    for (PidState& st : m_pids.States()) {
        if (st.lastCC < 0)
            continue;
        st.lostMany = st.suspect ? (st.lostMany || many) : many;
        st.suspect = true;
    }
}

// The unit in progress lost packets: its packets so far are left out, and
// so are the rest up to the next unit start and, where the muxer marks
// them, the units up to the next random access point.
void CMPEGRepair::BreakTSUnit(PidState& st, bool atUnitStart)
{
    m_damaged = true;
    m_tsDropped.insert(m_tsDropped.end(), st.openUnit.begin(), st.openUnit.end());
    st.openUnit.clear();
    st.broken = !atUnitStart;
    // Frames wait for the next random access point where the decoder has
    // not had its set-up yet. Otherwise the lost frame costs only itself:
    // the frames that refer to it still decode, as they do from the damaged
    // file itself, the decoder standing in for the missing one; leaving
    // them out up to the next random access point would cost seconds of
    // picture.
    st.waitKey = !st.setUp;
    st.keyOpen = false;
    st.unitLeft = -1;
    st.lengthWrong = false;
}

// A unit ended with all its packets: a random access point among them gave
// the decoder its set-up, and a PES_packet_length that does not match what
// came is written anew (0, unbounded, where it would not fit).
void CMPEGRepair::FinishTSUnit(PidState& st)
{
    st.setUp = st.setUp || st.keyOpen;
    st.keyOpen = false;
    if (st.kind != kPidPes || st.unitHead < 0 || st.stated < 0 || st.unitBytes == st.stated)
        return;
    const int64_t length = st.unitBytes - 6 <= 0xFFFF ? st.unitBytes - 6 : 0;
    m_tsFixes.push_back(TSFix{st.unitHead, static_cast<uint8_t>(st.pesAt + 4), static_cast<uint8_t>(length >> 8)});
    m_tsFixes.push_back(TSFix{st.unitHead, static_cast<uint8_t>(st.pesAt + 5), static_cast<uint8_t>(length)});
    m_damaged = true;
    st.stated = st.unitBytes;
}

// A PES unit has all its packets: as many bytes as its length states, or,
// of unstated length, a last packet ending in stuffing.
bool CMPEGRepair::UnitComplete(const PidState& st)
{
    return st.kind == kPidPes && (st.unitLeft == 0 || (st.unitLeft < 0 && st.lastStuffed));
}

// The input ends: a PES unit still short of its stated length, or of
// unstated length whose last packet was full rather than ending in
// stuffing, was cut there. Only those units are left out.
bool CMPEGRepair::EndsInsideUnits()
{
    bool cut = false;
    for (PidState& st : m_pids.States()) {
        if (st.kind != kPidPes || st.openUnit.empty() || st.broken)
            continue;
        if (!UnitComplete(st)) {
            m_tsDropped.insert(m_tsDropped.end(), st.openUnit.begin(), st.openUnit.end());
            st.openUnit.clear();
            cut = true;
        } else {
            FinishTSUnit(st);
        }
    }
    return cut;
}

int CMPEGRepair::ParseMPEG2TS()
{
    if (!m_input)
        return MEND_ERR_NO_STREAM;
    CMPEGRepair::Close();
    if (m_tsLength != 188 && m_tsLength != 192 && m_tsLength != 204)
        return MEND_ERR_REPAIR_REFUSED;
    m_rebase = std::make_unique<CTimestampRebase>(kTSForwardJump);
    m_tsTableMended = false;
    // Bytes before the first packet are damage too: the repaired file
    // must start with a packet.
    m_damaged = m_firstUnit != 0;
    const int64_t L = m_tsLength;
    const int s = TSSyncOffset();
    const int64_t limit = m_inputLength / 5 + 16;
    int64_t pos = m_firstUnit;
    int64_t lastEnd = -1;  // end of the last accepted packet
    for (int64_t steps = 0; pos < m_inputLength; ++steps) {
        if (steps > limit)
            return MEND_ERR_UNREPAIRABLE;
        if (TestAbort())
            return MEND_ERR_ABORTED;
        const int r = ParseMPEG2TSPack(pos, lastEnd < 0 ? -1 : pos - lastEnd);
        if (r < 0)
            return r;
        if (r == kStepUnit) {
            pos += L;
            lastEnd = pos;
            continue;
        }
        m_damaged = true;
        if (r == kStepEnd) {
            EndsInsideUnits();  // the input ends inside a packet
            break;
        }
        const int64_t sync = FindSyncByte(pos + s + 1);
        if (sync < 0)
            return static_cast<int>(sync);
        pos = std::min(sync, m_inputLength) - s;
    }
    // A file cut at a packet boundary shows no broken packet: the units
    // open at its end tell.
    if (pos >= m_inputLength && EndsInsideUnits())
        m_damaged = true;
    // Damage that runs to the end leaves the units it cut into unfinished;
    // what waits for a random access point that never came is undecodable,
    // where the muxer marks them at all.
    for (PidState& st : m_pids.States()) {
        if (st.waitKey && st.usesKeys)
            m_tsDropped.insert(m_tsDropped.end(), st.pending.begin(), st.pending.end());
        std::vector<int64_t>().swap(st.pending);
        if (!st.suspect || UnitComplete(st))
            continue;
        m_tsDropped.insert(m_tsDropped.end(), st.openUnit.begin(), st.openUnit.end());
        st.openUnit.clear();
    }
    std::stable_sort(m_tsFixes.begin(), m_tsFixes.end(), [](const TSFix& a, const TSFix& b) { return a.at < b.at; });
    std::sort(m_tsDropped.begin(), m_tsDropped.end());
    m_tsDropped.erase(std::unique(m_tsDropped.begin(), m_tsDropped.end()), m_tsDropped.end());
    if (m_tsTableMended)
        AddError(JRVP_DAMAGE_STRUCTURE);
    if (m_damaged || !m_tsDropped.empty() || m_tsRuns.empty())
        AddError(JRVP_DAMAGE_SEGMENT);
    if (m_rebase->Finish())
        AddError(JRVP_DAMAGE_TIMING);
    return 0;
}

int CMPEGRepair::TSContinuity::Next(uint16_t pid, int cc, bool payload)
{
    int8_t& out = m_out[pid & 0x1FFF];
    int8_t& in = m_in[pid & 0x1FFF];
    int next = cc;
    // A packet without payload repeats the counter, and so does a
    // duplicate packet: the input's own relation is kept.
    if (out >= 0)
        next = !payload || cc == in ? out : (out + 1) & 0x0F;
    in = static_cast<int8_t>(cc);
    out = static_cast<int8_t>(next);
    return next;
}

// Packets from `from` on, back to back in the input, written a block of
// the input window at a time. A block whose counters run on and whose
// timestamps stay is written from the window as it stands; otherwise from
// a copy with the counters renumbered and, where timestamps start over,
// each packet's PES timestamps and PCR moved by the offset of the stretch
// it lies in.
int CMPEGRepair::WriteTSPackets(int64_t from, int64_t count, TSContinuity& counters)
{
    const int64_t L = m_tsLength;
    const int s = TSSyncOffset();
    const bool rebase = m_rebase && m_rebase->Changed();
    while (count > 0) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        if (View(from, L) != L)
            return MEND_ERR_READ;
        const int64_t held = std::min(m_inputWindow.End() - from, CReadWindow::kSize);
        const int64_t k = std::min(count, std::max<int64_t>(1, held / L));
        if (View(from, k * L) != k * L)
            return MEND_ERR_READ;
        const uint8_t* block = m_view;
        m_tsCounters.resize(static_cast<size_t>(k));
        bool renumber = false;
        for (int64_t i = 0; i < k; ++i) {
            const uint8_t* pkt = block + i * L + s;
            const uint16_t pid = static_cast<uint16_t>(((pkt[1] & 0x1F) << 8) | pkt[2]);
            const int cc = pkt[3] & 0x0F;
            const int next = pid == kNullPid ? cc : counters.Next(pid, cc, (pkt[3] & 0x10) != 0);
            m_tsCounters[i] = static_cast<int8_t>(next);
            renumber = renumber || next != cc;
        }
        const int64_t bytes = k * L;
        auto fix = std::lower_bound(m_tsFixes.begin(), m_tsFixes.end(), from,
                                    [](const TSFix& f, int64_t at) { return f.at < at; });
        const bool fixes = fix != m_tsFixes.end() && fix->at < from + bytes;
        if (!renumber && !rebase && !fixes) {
            if (m_output->Write(block, static_cast<unsigned int>(bytes)) != bytes)
                return MEND_ERR_WRITE;
            from += bytes;
            count -= k;
            continue;
        }
        if (static_cast<int64_t>(m_window.size()) < bytes)
            m_window.resize(static_cast<size_t>(bytes));
        memcpy(m_window.data(), block, static_cast<size_t>(bytes));
        for (; fix != m_tsFixes.end() && fix->at < from + bytes; ++fix)
            m_window[fix->at - from + s + fix->offset] = fix->value;
        for (int64_t i = 0; i < k; ++i) {
            uint8_t* pkt = m_window.data() + i * L + s;
            pkt[3] = static_cast<uint8_t>((pkt[3] & 0xF0) | m_tsCounters[i]);
            TSPacket info;
            if (!rebase || DecodeTSPacket(pkt, info) != kStepUnit)
                continue;
            const int64_t offset = m_rebase->OffsetAt(from + i * L);
            if (offset == 0)
                continue;
            if (info.pcr >= 0)
                WritePcrBase(pkt + info.pcr, ReadPcrBase(pkt + info.pcr) + offset);
            if (info.pts >= 0)
                WritePesTimestamp(pkt + info.pts, pkt[info.pts] >> 4, ReadPesTimestamp(pkt + info.pts) + offset);
            if (info.dts >= 0)
                WritePesTimestamp(pkt + info.dts, 1, ReadPesTimestamp(pkt + info.dts) + offset);
        }
        if (m_output->Write(m_window.data(), static_cast<unsigned int>(bytes)) != bytes)
            return MEND_ERR_WRITE;
        from += bytes;
        count -= k;
    }
    return 0;
}

int CMPEGRepair::RepairLevel1MPEG2TS()
{
    if (!m_input || !m_output)
        return MEND_ERR_NO_STREAM;
    if (m_output->SeekTo(0) != 0)
        return MEND_ERR_WRITE;
    const int64_t L = m_tsLength;
    TSContinuity counters;
    size_t d = 0;
    for (const TSRun& run : m_tsRuns) {
        const int64_t end = run.start + run.count * L;
        int64_t p = run.start;
        while (p < end) {
            while (d < m_tsDropped.size() && m_tsDropped[d] < p)
                ++d;
            if (d < m_tsDropped.size() && m_tsDropped[d] == p) {
                p += L;
                continue;
            }
            const int64_t next = d < m_tsDropped.size() && m_tsDropped[d] < end ? m_tsDropped[d] : end;
            const int r = WriteTSPackets(p, (next - p) / L, counters);
            if (r < 0)
                return r;
            p = next;
        }
    }
    return 0;
}
