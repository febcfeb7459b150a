#include "core/Crc.h"

CMsbCrc::CMsbCrc(unsigned width, uint32_t poly) : m_shift(32 - width)
{
    const uint32_t top = poly << m_shift;
    for (uint32_t b = 0; b < 256; ++b) {
        uint32_t r = b << 24;
        for (int i = 0; i < 8; ++i)
            r = (r & 0x80000000u) ? (r << 1) ^ top : r << 1;
        m_table[0][b] = r;
    }
    // Table k: the byte followed by k zero bytes.
    for (int k = 1; k < 8; ++k)
        for (uint32_t b = 0; b < 256; ++b) {
            uint32_t prev = m_table[k - 1][b];
            m_table[k][b] = (prev << 8) ^ m_table[0][prev >> 24];
        }
}

uint32_t CMsbCrc::Update(uint32_t crc, const uint8_t* p, size_t n) const
{
    uint32_t r = crc << m_shift;
    while (n >= 8) {
        uint32_t hi = r ^ (uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]);
        r = m_table[7][hi >> 24] ^ m_table[6][(hi >> 16) & 0xFF] ^ m_table[5][(hi >> 8) & 0xFF] ^
            m_table[4][hi & 0xFF] ^ m_table[3][p[4]] ^ m_table[2][p[5]] ^ m_table[1][p[6]] ^ m_table[0][p[7]];
        p += 8;
        n -= 8;
    }
    while (n--)
        r = (r << 8) ^ m_table[0][(r >> 24) ^ *p++];
    return m_shift ? r >> m_shift : r;
}

const CMsbCrc& OggCrc32()
{
    static const CMsbCrc crc(32, 0x04C11DB7u);
    return crc;
}

const CMsbCrc& FlacCrc8()
{
    static const CMsbCrc crc(8, 0x07u);
    return crc;
}

const CMsbCrc& FlacCrc16()
{
    static const CMsbCrc crc(16, 0x8005u);
    return crc;
}
