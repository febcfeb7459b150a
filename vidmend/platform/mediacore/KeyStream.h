// The cipher of the keyed file streams: a keystream that depends only on the
// key and the absolute byte offset, XORed over the data. Any byte can be
// enciphered or deciphered on its own, so a stream can seek back and
// overwrite anywhere. This hides the repaired copies from casual viewing;
// it is not meant to withstand an attacker.
#ifndef VIDMEND_KEYSTREAM_H
#define VIDMEND_KEYSTREAM_H

#include <stddef.h>
#include <stdint.h>

namespace mediacore {

// out[i] = in[i] ^ keystream(key, offset + i); in and out may be the same.
// Key 0 is the identity.
void ApplyKeyStream(uint32_t key, int64_t offset, const uint8_t* in, uint8_t* out, size_t n);

}  // namespace mediacore

#endif
