// Video compression FourCCs (BITMAPINFOHEADER biCompression, as found in
// AVI, ASF and Matroska's V_MS/VFW/FOURCC) to libavcodec codec ids.
#ifndef MENDCORE_CODECFOURCC_H
#define MENDCORE_CODECFOURCC_H

#include <stdint.h>

extern "C" {
#include <libavcodec/codec_id.h>
}

// The little-endian value of a four-character code: "RIFF" has 'R' in its
// low byte, as the code reads from a file.
constexpr uint32_t FourCC(const char (&s)[5])
{
    return static_cast<uint32_t>(static_cast<uint8_t>(s[0])) |
           static_cast<uint32_t>(static_cast<uint8_t>(s[1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(s[2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(s[3])) << 24;
}

// The FourCC is the little-endian value of its four bytes. Our own table
// answers first; a FourCC it lacks is looked up in libavformat's RIFF
// tags. AV_CODEC_ID_NONE when neither knows it; libraryMissing (when
// given) is set when the answer is NONE because libavformat could not be
// loaded.
AVCodecID CodecIdFromCompression(uint32_t fourcc, bool* libraryMissing = nullptr);

#endif
