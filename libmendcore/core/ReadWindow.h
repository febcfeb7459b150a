// A window of input bytes read in large blocks, for parsers that check every
// byte of the data they walk (packets, pages, frames). Blocks are read with
// one call straight into the window, through the stream layer, and the
// parser looks at them in place: no copy per unit, no call per unit.
#ifndef MENDCORE_READWINDOW_H
#define MENDCORE_READWINDOW_H

#include <stdint.h>

#include <vector>

#include "core/BaseStream.h"

class CReadWindow {
public:
    static constexpr int64_t kSize = 1 << 20;

    // Forgets the bytes and gives the memory back.
    void Clear();
    // Reads [pos, pos + kSize), or up to length, through in. 0, or
    // MEND_ERR_READ when the stream cannot be sought there or falls short.
    int Load(IBaseStream* in, int64_t pos, int64_t length);
    // The n bytes at pos, from the window when it holds them, else from a
    // new window that starts at pos. Null when n is more than a window,
    // when they run past length, or on a read error (see Load).
    const uint8_t* Fetch(IBaseStream* in, int64_t pos, int64_t n, int64_t length);

    const uint8_t* Data() const { return m_bytes.data(); }
    int64_t Start() const { return m_start; }
    int64_t End() const { return m_end; }

private:
    std::vector<uint8_t> m_bytes;
    int64_t m_start = 0;
    int64_t m_end = 0;
};

#endif
