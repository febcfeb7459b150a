#include "core/Id3v2.h"

#include <string.h>

#include "core/StreamIO.h"

uint32_t DecodeSyncsafe(const uint8_t b[4])
{
    return (uint32_t(b[0] & 0x7F) << 21) | (uint32_t(b[1] & 0x7F) << 14) | (uint32_t(b[2] & 0x7F) << 7) |
           uint32_t(b[3] & 0x7F);
}

void EncodeSyncsafe(uint32_t value, uint8_t b[4])
{
    b[0] = (value >> 21) & 0x7F;
    b[1] = (value >> 14) & 0x7F;
    b[2] = (value >> 7) & 0x7F;
    b[3] = value & 0x7F;
}

bool CId3v2Walk::ReadHeader(IBaseStream* s, int64_t pos, int64_t length, Id3v2Header& h)
{
    uint8_t b[10];
    if (!s || pos < 0 || 10 > length - pos || s->SeekTo(pos) != pos || s->Read(b, 10) != 10)
        return false;
    if (memcmp(b, "ID3", 3) != 0 || b[3] < 2 || b[3] > 4 || b[4] == 0xFF)
        return false;
    if ((b[6] | b[7] | b[8] | b[9]) & 0x80)
        return false;
    h.pos = pos;
    h.major = b[3];
    h.flags = b[5];
    h.declaredSize = DecodeSyncsafe(b + 6);
    h.framesStart = pos + 10;
    // The extended header (v2.3 and v2.4) is kept with the tag header: the
    // walk starts after it.
    if (h.major >= 3 && (h.flags & 0x40) && 4 <= length - h.framesStart) {
        uint8_t e[4];
        if (s->Read(e, 4) != 4)
            return false;
        int64_t ext = h.major == 4 ? DecodeSyncsafe(e) : (int64_t(LoadBE32(e)) + 4);
        if (ext >= 6 && ext <= length - h.framesStart)
            h.framesStart += ext;
    }
    return true;
}

bool CId3v2Walk::IdIsWellFormed(const uint8_t* id, int n)
{
    if (id[0] < 'A' || id[0] > 'Z')
        return false;
    for (int i = 1; i < n; ++i)
        if (!((id[i] >= 'A' && id[i] <= 'Z') || (id[i] >= '0' && id[i] <= '9')))
            return false;
    return true;
}

bool CId3v2Walk::FrameHeader(IBaseStream* s, uint8_t major, int64_t pos, int64_t limit, int64_t* total)
{
    const int headerLen = major == 2 ? 6 : 10;
    if (pos < 0 || headerLen > limit - pos || s->SeekTo(pos) != pos)
        return false;
    uint8_t b[10];
    if (s->Read(b, headerLen) != static_cast<unsigned>(headerLen))
        return false;
    const int idLen = major == 2 ? 3 : 4;
    if (!IdIsWellFormed(b, idLen))
        return false;
    int64_t size;
    if (major == 2) {
        size = (int64_t(b[3]) << 16) | (int64_t(b[4]) << 8) | b[5];
    } else if (major == 4) {
        // Version 2.4 frame sizes are syncsafe like the tag's own.
        if ((b[4] | b[5] | b[6] | b[7]) & 0x80)
            return false;
        size = DecodeSyncsafe(b + 4);
    } else {
        size = LoadBE32(b + 4);
    }
    if (size == 0 || size > limit - pos - headerLen)
        return false;
    *total = headerLen + size;
    return true;
}

int64_t CId3v2Walk::FrameAt(IBaseStream* s, uint8_t major, int64_t pos, int64_t limit, IId3Boundary* boundary)
{
    int64_t total = 0;
    if (!FrameHeader(s, major, pos, limit, &total))
        return 0;
    const int64_t n = pos + total;
    if (n == limit)
        return total;
    int64_t next = 0;
    if (FrameHeader(s, major, n, limit, &next))
        return total;
    uint8_t b = 0xFF;
    if (s->SeekTo(n) == n && s->Read(&b, 1) == 1 && b == 0)
        return total;  // padding follows the last frame
    if (boundary->EndsAt(n))
        return total;
    return 0;
}
