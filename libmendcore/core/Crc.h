// Checksums that containers carry over their own bytes: Ogg pages (CRC-32,
// polynomial 0x04C11DB7), FLAC frame headers (CRC-8, 0x07) and FLAC frames
// (CRC-16, 0x8005). All three are MSB-first, start from 0 and are not
// inverted, so one engine serves them: the register is kept aligned to the
// top of 32 bits and read back shifted down to the checksum's width.
#ifndef MENDCORE_CRC_H
#define MENDCORE_CRC_H

#include <stddef.h>
#include <stdint.h>

class CMsbCrc {
public:
    // width in bits (8, 16 or 32), poly without its top bit.
    CMsbCrc(unsigned width, uint32_t poly);

    // Continues a checksum over n bytes; start from 0.
    uint32_t Update(uint32_t crc, const uint8_t* data, size_t n) const;

private:
    uint32_t UpdateTable(uint32_t crc, const uint8_t* data, size_t n) const;
    uint32_t UpdateFolded(uint32_t crc, const uint8_t* data, size_t n) const;
    uint32_t UpdateFoldedWide(uint32_t crc, const uint8_t* data, size_t n) const;

    unsigned m_width;
    unsigned m_shift;          // 32 - width
    uint32_t m_table[8][256];  // slicing by eight
    // Carry-less multiplication: x^192 and x^128 modulo the polynomial,
    // which fold 16 bytes onto the 16 that follow them; x^576 and x^512,
    // which fold them 64 bytes on, so four lanes run side by side.
    uint64_t m_fold192 = 0;
    uint64_t m_fold128 = 0;
    uint64_t m_fold576 = 0;
    uint64_t m_fold512 = 0;
    // With 512-bit carry-less multiplication, two registers of four lanes
    // fold 128 bytes on: x^1088 and x^1024.
    uint64_t m_fold1088 = 0;
    uint64_t m_fold1024 = 0;
    bool m_clmul = false;
    bool m_clmulWide = false;
};

// The shared instances, built once on first use (thread-safe).
const CMsbCrc& OggCrc32();
const CMsbCrc& FlacCrc8();
const CMsbCrc& FlacCrc16();

#endif
