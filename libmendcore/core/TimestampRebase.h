// Timestamp re-basing for containers whose streams carry 90 kHz decoding
// times (MPEG program and transport streams): finds where the times of the
// file start over (two recordings joined, a muxer restarted) or leap far
// ahead, and gives each such stretch an offset that makes it follow the one
// before it. A stretch keeps its own timing inside: all its streams move by
// the same amount, so audio stays where it was against video.
#ifndef MENDCORE_TIMESTAMPREBASE_H
#define MENDCORE_TIMESTAMPREBASE_H

#include <stdint.h>

#include <map>
#include <vector>

class CTimestampRebase {
public:
    // forwardJump: how far (ticks) beyond its expected next time a stream
    // may move before the stretch counts as broken.
    explicit CTimestampRebase(int64_t forwardJump) : m_forwardJump(forwardJump) {}

    // First pass, in file order: one decoding time of a stream, with the
    // input position of the unit that carries it.
    void Add(uint32_t stream, int64_t t, int64_t position);
    // Ends the first pass; true when a later stretch must move.
    bool Finish();
    bool Changed() const { return m_stretches.size() > 1; }

    // The offset to add to the times (presentation and decoding, clock
    // references) of the unit at this input position.
    int64_t OffsetAt(int64_t position) const;

private:
    struct Stretch {
        int64_t first = 0;       // input position of its first unit
        int64_t minT = INT64_MAX;
        int64_t end = INT64_MIN;  // latest time plus its stream's step
        int64_t offset = 0;
    };
    struct Track {
        int64_t last = 0;
        int64_t step = 0;
        uint32_t stretch = UINT32_MAX;  // the stretch that saw it last
    };

    int64_t m_forwardJump;
    std::map<uint32_t, Track> m_tracks;
    std::vector<Stretch> m_stretches;
};

// The 33-bit field of a PES timestamp (prefix nibble, three markers).
int64_t ReadPesTimestamp(const uint8_t* p);
bool PesTimestampMarkersValid(const uint8_t* p);
void WritePesTimestamp(uint8_t* p, int prefix, int64_t t);

#endif
