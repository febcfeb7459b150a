#include "KeyStream.h"

namespace mediacore {

namespace {

// splitmix64's finaliser: every input bit reaches every output bit.
uint64_t Mix(uint64_t z)
{
    z += 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

}  // namespace

void ApplyKeyStream(uint32_t key, int64_t offset, const uint8_t* in, uint8_t* out, size_t n)
{
    if (key == 0) {
        if (in != out)
            for (size_t i = 0; i < n; ++i)
                out[i] = in[i];
        return;
    }
    const uint64_t seed = Mix(key);
    uint64_t block = static_cast<uint64_t>(offset) / 8;
    unsigned lane = static_cast<unsigned>(static_cast<uint64_t>(offset) % 8);
    uint64_t pad = Mix(seed ^ block);
    for (size_t i = 0; i < n; ++i) {
        out[i] = in[i] ^ static_cast<uint8_t>(pad >> (lane * 8));
        if (++lane == 8) {
            lane = 0;
            pad = Mix(seed ^ ++block);
        }
    }
}

}  // namespace mediacore
