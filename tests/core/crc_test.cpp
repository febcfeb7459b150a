// The container checksums: the catalogue's check values, and the folded
// path for long runs agreeing with a byte at a time.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/Crc.h"
#include "support/Damage.h"

namespace {

TEST(Crc, CheckValuesOfTheCatalogue)
{
    const std::string check = "123456789";
    const auto* d = reinterpret_cast<const uint8_t*>(check.data());
    EXPECT_EQ(FlacCrc8().Update(0, d, check.size()), 0xF4u);        // CRC-8/SMBUS
    EXPECT_EQ(FlacCrc16().Update(0, d, check.size()), 0xFEE8u);     // CRC-16/UMTS
    EXPECT_EQ(OggCrc32().Update(0, d, check.size()), 0x89A1897Fu);  // CRC-32/POSIX before its final inversion
}

// Every length around the block sizes, split anywhere, from any running
// value: the same as one byte at a time.
TEST(Crc, LongRunsAgreeWithOneByteAtATime)
{
    const auto data = mendtest::PseudoRandomBytes(4096, 11);
    for (const CMsbCrc* crc : {&OggCrc32(), &FlacCrc16(), &FlacCrc8()}) {
        for (size_t n : {0u, 1u, 15u, 16u, 63u, 64u, 65u, 80u, 127u, 128u, 129u, 191u, 192u, 200u,
                         255u, 256u, 257u, 383u, 384u, 400u, 1000u, 4096u}) {
            for (size_t split : {size_t(0), n / 3, n}) {
                uint32_t slow = 0;
                for (size_t i = 0; i < n; ++i)
                    slow = crc->Update(slow, &data[i], 1);
                const uint32_t fast = crc->Update(crc->Update(0, data.data(), split), data.data() + split, n - split);
                EXPECT_EQ(fast, slow) << "length " << n << ", split at " << split;
            }
        }
    }
}

}  // namespace
