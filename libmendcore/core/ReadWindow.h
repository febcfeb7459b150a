// A window of input bytes read in large blocks, for parsers that check every
// byte of the data they walk (packets, pages, frames). Blocks are read with
// one call straight into the window, through the stream layer, and the
// parser looks at them in place: no copy per unit, no call per unit.
//
// While the parser checks one window, the next blocks are read on threads
// of the window's own when the stream can read at a position (ReadAt) and
// the walk goes forward: several blocks are copied out of the page cache at
// once, and a walk costs about what its checking costs.
#ifndef MENDCORE_READWINDOW_H
#define MENDCORE_READWINDOW_H

#include <stdint.h>

#include <memory>
#include <vector>

#include "core/BaseStream.h"
#include "core/LargePages.h"

class CReadAhead;

class CReadWindow {
public:
    static constexpr int64_t kSize = 1 << 20;

    CReadWindow();
    ~CReadWindow();
    CReadWindow(const CReadWindow&) = delete;
    CReadWindow& operator=(const CReadWindow&) = delete;

    // Forgets the bytes, stops reading ahead and gives the memory back.
    void Clear();
    // The bytes of memory the window holds for its own reads (not those of
    // its blocks read ahead).
    size_t Capacity() const { return m_bytes.size(); }
    // Makes the window start at pos: from the block read ahead when the
    // walk goes on into it (then the window may hold up to kCarry bytes
    // less than kSize), else by reading [pos, pos + kSize), or up to
    // length, through in. 0, or MEND_ERR_READ when the stream cannot be
    // sought there or falls short. The stream is left at the window's end.
    int Load(IBaseStream* in, int64_t pos, int64_t length);
    // The n bytes at pos, from the window when it holds them, else from a
    // new window that starts at pos. Null when n is more than a window,
    // when they run past length, or on a read error (see Load).
    const uint8_t* Fetch(IBaseStream* in, int64_t pos, int64_t n, int64_t length);

    const uint8_t* Data() const { return m_bytes.data() + m_offset; }
    int64_t Start() const { return m_start; }
    int64_t End() const { return m_end; }

private:
    // The bytes a forward walk carries from one window into the next (a
    // unit begun near the end of the last one); room for them is kept in
    // front of each block read ahead.
    static constexpr int64_t kCarry = 64 * 1024;

    // Takes the block read ahead when it continues the window at pos. False
    // when there is none, or it does not fit; the caller then reads.
    bool TakeAhead(IBaseStream* in, int64_t pos);
    // Load's read of [pos, pos + kSize) through in, on this thread.
    int ReadHere(IBaseStream* in, int64_t pos, int64_t length);
    void StartAhead(IBaseStream* in, int64_t length);
    void SettleAhead();

    ReadBuffer m_bytes;
    size_t m_offset = 0;
    int64_t m_start = 0;
    int64_t m_end = 0;
    // Blocks read ahead, in order from m_head: block k of the m_inFlight
    // asked for lies at m_end + k * kSize in lane (m_head + k) % kLanes.
    static constexpr int kLanes = 3;
    std::unique_ptr<CReadAhead> m_lanes[kLanes];
    bool m_lanesFailed = false;
    int m_head = 0;
    int m_inFlight = 0;
    int64_t m_askEnd = 0;
};

#endif
