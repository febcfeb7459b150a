#include "core/Crc.h"

#include <string.h>

#if defined(__x86_64__)
#include <immintrin.h>
#define MEND_HAVE_CLMUL 1
#endif

namespace {

// x^n modulo x^width + poly, as a width-bit value.
uint64_t PowerMod(unsigned n, unsigned width, uint32_t poly)
{
    const uint64_t top = uint64_t(1) << width;
    uint64_t r = 1;
    for (unsigned i = 0; i < n; ++i) {
        r <<= 1;
        if (r & top)
            r ^= top | poly;
    }
    return r;
}

}  // namespace

CMsbCrc::CMsbCrc(unsigned width, uint32_t poly) : m_width(width), m_shift(32 - width)
{
    m_fold192 = PowerMod(192, width, poly);
    m_fold128 = PowerMod(128, width, poly);
    m_fold576 = PowerMod(576, width, poly);
    m_fold512 = PowerMod(512, width, poly);
    m_fold1088 = PowerMod(1088, width, poly);
    m_fold1024 = PowerMod(1024, width, poly);
#ifdef MEND_HAVE_CLMUL
    m_clmul = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3");
    m_clmulWide = m_clmul && __builtin_cpu_supports("vpclmulqdq") && __builtin_cpu_supports("avx512f") &&
                  __builtin_cpu_supports("avx512bw");
#endif
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
    // Folding pays from a few blocks on; short runs stay with the tables.
    if (m_clmulWide && n >= 256)
        return UpdateFoldedWide(crc, p, n);
    if (m_clmul && n >= 64)
        return UpdateFolded(crc, p, n);
    return UpdateTable(crc, p, n);
}

#ifdef MEND_HAVE_CLMUL
// The message's first 16 bytes A, followed by L more, weigh A(x) x^(8L).
// A(x) x^128 = A_hi(x) x^192 + A_lo(x) x^128, which modulo the polynomial
// is two carry-less products of at most 96 bits: XORed onto the next 16
// bytes they leave a message 16 bytes shorter with the same checksum. The
// last 16 bytes and the tail go through the tables.
namespace {

// acc times x^(8 * distance) modulo the polynomial, XORed onto next; k holds
// the two powers of that distance (see UpdateFolded).
__attribute__((target("pclmul,ssse3"))) inline __m128i Fold(__m128i acc, __m128i k, __m128i next)
{
    const __m128i hi = _mm_clmulepi64_si128(acc, k, 0x11);
    const __m128i lo = _mm_clmulepi64_si128(acc, k, 0x00);
    return _mm_xor_si128(_mm_xor_si128(hi, lo), next);
}

// 16 bytes with the first in the top byte: the order of the polynomial.
__attribute__((target("pclmul,ssse3"))) inline __m128i Load(const uint8_t* at)
{
    const __m128i reverse = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)), reverse);
}

}  // namespace

// The message's first 16 bytes A, followed by L more, weigh A(x) x^(8L).
// A(x) x^128 = A_hi(x) x^192 + A_lo(x) x^128, which modulo the polynomial
// is two carry-less products of at most 96 bits: XORed onto the next 16
// bytes they leave a message 16 bytes shorter with the same checksum. Each
// fold waits on the one before, so long runs keep four lanes 64 bytes
// apart (x^576 and x^512), which fold onto each other at the end. The last
// 16 bytes and the tail go through the tables.
__attribute__((target("pclmul,ssse3"))) uint32_t CMsbCrc::UpdateFolded(uint32_t crc, const uint8_t* p,
                                                                        size_t n) const
{
    const __m128i reverse = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m128i k16 = _mm_set_epi64x(static_cast<long long>(m_fold192), static_cast<long long>(m_fold128));
    // A running checksum is the same as its bits added to the next bytes.
    const __m128i carried = _mm_set_epi64x(static_cast<long long>(uint64_t(crc) << (64 - m_width)), 0);
    __m128i acc;
    if (n >= 128) {
        const __m128i k64 = _mm_set_epi64x(static_cast<long long>(m_fold576), static_cast<long long>(m_fold512));
        __m128i a0 = _mm_xor_si128(Load(p), carried);
        __m128i a1 = Load(p + 16);
        __m128i a2 = Load(p + 32);
        __m128i a3 = Load(p + 48);
        p += 64;
        n -= 64;
        while (n >= 64) {
            a0 = Fold(a0, k64, Load(p));
            a1 = Fold(a1, k64, Load(p + 16));
            a2 = Fold(a2, k64, Load(p + 32));
            a3 = Fold(a3, k64, Load(p + 48));
            p += 64;
            n -= 64;
        }
        acc = Fold(Fold(Fold(a0, k16, a1), k16, a2), k16, a3);
    } else {
        acc = _mm_xor_si128(Load(p), carried);
        p += 16;
        n -= 16;
    }
    while (n >= 16) {
        acc = Fold(acc, k16, Load(p));
        p += 16;
        n -= 16;
    }
    uint8_t last[16];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(last), _mm_shuffle_epi8(acc, reverse));
    return UpdateTable(UpdateTable(0, last, 16), p, n);
}
namespace {

#define MEND_WIDE_TARGET __attribute__((target("pclmul,ssse3,avx512f,avx512bw,vpclmulqdq")))

// Four lanes of Load.
MEND_WIDE_TARGET inline __m512i Load4(const uint8_t* at)
{
    const __m512i reverse = _mm512_set_epi64(0x0001020304050607LL, 0x08090A0B0C0D0E0FLL, 0x0001020304050607LL,
                                             0x08090A0B0C0D0E0FLL, 0x0001020304050607LL, 0x08090A0B0C0D0E0FLL,
                                             0x0001020304050607LL, 0x08090A0B0C0D0E0FLL);
    return _mm512_shuffle_epi8(_mm512_loadu_si512(at), reverse);
}

// Four lanes of Fold; k holds the two powers in each lane.
MEND_WIDE_TARGET inline __m512i Fold4(__m512i acc, __m512i k, __m512i next)
{
    const __m512i hi = _mm512_clmulepi64_epi128(acc, k, 0x11);
    const __m512i lo = _mm512_clmulepi64_epi128(acc, k, 0x00);
    return _mm512_ternarylogic_epi64(hi, lo, next, 0x96);  // hi ^ lo ^ next
}

MEND_WIDE_TARGET inline __m512i Powers4(uint64_t hi, uint64_t lo)
{
    const long long h = static_cast<long long>(hi), l = static_cast<long long>(lo);
    return _mm512_set_epi64(h, l, h, l, h, l, h, l);
}

}  // namespace

// The same folds four lanes to a register: two registers 128 bytes apart
// fold onto the bytes that follow them, then onto each other, and their
// lanes one onto the next, leaving 16 bytes for the path above.
MEND_WIDE_TARGET uint32_t CMsbCrc::UpdateFoldedWide(uint32_t crc, const uint8_t* p, size_t n) const
{
    const __m512i k128 = Powers4(m_fold1088, m_fold1024);
    const __m512i k64 = Powers4(m_fold576, m_fold512);
    // A running checksum is the same as its bits added to the next bytes.
    const long long bits = static_cast<long long>(uint64_t(crc) << (64 - m_width));
    const __m512i carried = _mm512_set_epi64(0, 0, 0, 0, 0, 0, bits, 0);
    __m512i a = _mm512_xor_si512(Load4(p), carried);
    __m512i b = Load4(p + 64);
    p += 128;
    n -= 128;
    while (n >= 128) {
        a = Fold4(a, k128, Load4(p));
        b = Fold4(b, k128, Load4(p + 64));
        p += 128;
        n -= 128;
    }
    b = Fold4(a, k64, b);
    alignas(64) uint8_t lanes[64];
    _mm512_store_si512(lanes, b);
    auto lane = [&lanes](int i) { return _mm_load_si128(reinterpret_cast<const __m128i*>(lanes + 16 * i)); };
    const __m128i k16 = _mm_set_epi64x(static_cast<long long>(m_fold192), static_cast<long long>(m_fold128));
    __m128i acc = Fold(Fold(Fold(lane(0), k16, lane(1)), k16, lane(2)), k16, lane(3));
    while (n >= 16) {
        acc = Fold(acc, k16, Load(p));
        p += 16;
        n -= 16;
    }
    const __m128i reverse = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    uint8_t last[16];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(last), _mm_shuffle_epi8(acc, reverse));
    return UpdateTable(UpdateTable(0, last, 16), p, n);
}
#else
uint32_t CMsbCrc::UpdateFolded(uint32_t crc, const uint8_t* p, size_t n) const
{
    return UpdateTable(crc, p, n);
}

uint32_t CMsbCrc::UpdateFoldedWide(uint32_t crc, const uint8_t* p, size_t n) const
{
    return UpdateTable(crc, p, n);
}
#endif

uint32_t CMsbCrc::UpdateTable(uint32_t crc, const uint8_t* p, size_t n) const
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
