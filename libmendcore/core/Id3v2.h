// The ID3v2 tag as both audio repairers meet it: in front of MPEG audio and
// inside a RIFF "id3 " chunk. The frame walk finds which frames of a tag are
// sound and where the tag really ends, whatever its header declares.
#ifndef MENDCORE_ID3V2_H
#define MENDCORE_ID3V2_H

#include <stdint.h>

#include <utility>
#include <vector>

#include "core/BaseStream.h"

// A syncsafe 28-bit value: 7 bits per byte, most significant first.
uint32_t DecodeSyncsafe(const uint8_t b[4]);
void EncodeSyncsafe(uint32_t value, uint8_t b[4]);

struct Id3v2Header {
    int64_t pos = 0;          // where "ID3" stands
    uint8_t major = 0;        // 2, 3 or 4
    uint8_t flags = 0;
    uint32_t declaredSize = 0;  // bytes after the 10-byte header
    int64_t framesStart = 0;  // after the header and any extended header
};

// Where the tag ends as its container sees it: the walk asks at every
// position that holds no sound frame whether the tag's content stops here.
class IId3Boundary {
public:
    virtual ~IId3Boundary() = default;
    // True when what stands at pos is no longer the tag (the audio, or the
    // end of the chunk). May move the stream.
    virtual bool EndsAt(int64_t pos) = 0;
};

// What the walk found: the tag ends at `end`; the damaged runs inside it,
// in file order, are left out of a rebuilt tag.
struct Id3v2Layout {
    int64_t end = 0;
    std::vector<std::pair<int64_t, int64_t>> damaged;
};

class CId3v2Walk {
public:
    // Reads the 10-byte header at pos. False when there is none (or the
    // version is not 2, 3 or 4); the stream position is then unspecified.
    static bool ReadHeader(IBaseStream* s, int64_t pos, int64_t length, Id3v2Header& h);

    // Walks the frames from h.framesStart up to at most limit. Returns 0
    // when the boundary was met (layout.end there), 1 when the walk reached
    // limit without meeting it (layout.end == limit), -3 when shouldAbort
    // said so, -9 when the step budget is spent. Every position the walk
    // steps over costs one step of *budget.
    template <typename AbortFn>
    static int Walk(IBaseStream* s, const Id3v2Header& h, int64_t limit, IId3Boundary* boundary,
                    int64_t* budget, AbortFn shouldAbort, Id3v2Layout& layout);

    // The length of a sound frame at pos (header and body), or 0. A frame
    // is sound when its id is well formed, its body fits before limit and
    // what follows it is another well-formed frame header, padding, the
    // boundary or limit itself.
    static int64_t FrameAt(IBaseStream* s, uint8_t major, int64_t pos, int64_t limit, IId3Boundary* boundary);

private:
    static bool IdIsWellFormed(const uint8_t* id, int n);
    // Header of the frame at pos: id length and body size; false when
    // nothing frame-like stands there.
    static bool FrameHeader(IBaseStream* s, uint8_t major, int64_t pos, int64_t limit, int64_t* total);
};

template <typename AbortFn>
int CId3v2Walk::Walk(IBaseStream* s, const Id3v2Header& h, int64_t limit, IId3Boundary* boundary,
                     int64_t* budget, AbortFn shouldAbort, Id3v2Layout& layout)
{
    layout.damaged.clear();
    int64_t p = h.framesStart;
    bool good = true;
    int64_t runStart = p;
    while (p < limit) {
        if (shouldAbort())
            return -3;
        if (--*budget < 0)
            return -9;
        if (boundary->EndsAt(p)) {
            if (!good)
                layout.damaged.emplace_back(runStart, p);
            layout.end = p;
            return 0;
        }
        int64_t n = FrameAt(s, h.major, p, limit, boundary);
        if (n > 0) {
            if (!good)
                layout.damaged.emplace_back(runStart, p);
            good = true;
            p += n;
            continue;
        }
        uint8_t b = 0xFF;
        if (s->SeekTo(p) == p && s->Read(&b, 1) == 1 && b == 0 && good) {
            // Padding: zeros up to the end of the tag belong to it.
            p += 1;
            continue;
        }
        if (good) {
            good = false;
            runStart = p;
        }
        p += 1;
    }
    if (!good)
        layout.damaged.emplace_back(runStart, limit);
    layout.end = limit;
    return 1;
}

#endif
