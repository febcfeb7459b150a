// The record list whose full blocks wait in a temporary file: what is read
// back is what was written or changed since, whether the blocks went to the
// file or, with no temporary folder to be had, stayed in memory.
#include <stdint.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/SpillList.h"
#include "support/Fixtures.h"
#include "support/ScopedEnv.h"

using namespace mendtest;

namespace {

struct Record {
    int64_t at;
    uint32_t value;
    uint8_t flags;
};

// Blocks of 16 records, so a few hundred make many blocks.
using SmallList = SpillList<Record, 16 * sizeof(Record)>;

Record Made(size_t i)
{
    return Record{int64_t(i) * 1000, uint32_t(i * 7), 0};
}

TEST(SpillList, RecordsComeBackAsWrittenAndChanged)
{
    ScratchDir dir("spill");
    const struct {
        const char* name;
        bool folder;  // a temporary folder the list can use
    } kCases[] = {{"to a temporary file", true}, {"no temporary folder", false}};
    constexpr size_t kRecords = 1000;
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        ScopedEnv tmp("TMPDIR", c.folder ? dir.Root().c_str() : dir.Path("missing").c_str());
        SmallList list;
        for (size_t i = 0; i < kRecords; ++i) {
            list.push_back(Made(i));
            // The walk changes the last record it keeps.
            list.back().flags = 1;
        }
        ASSERT_EQ(list.size(), kRecords);
        // Changes to records of blocks long past, in an order that makes each
        // block give way before the next change reaches it again.
        for (size_t i = 0; i < kRecords; i += 3)
            list[i].flags |= 2;
        for (size_t i = kRecords; i-- > 0;)
            if (i % 5 == 0)
                list[i].value += 1;
        size_t i = 0;
        for (const Record& r : list) {
            EXPECT_EQ(r.at, int64_t(i) * 1000) << "record " << i;
            EXPECT_EQ(r.value, uint32_t(i * 7) + (i % 5 == 0)) << "record " << i;
            EXPECT_EQ(r.flags, 1 | (i % 3 == 0 ? 2 : 0)) << "record " << i;
            ++i;
        }
        EXPECT_EQ(i, kRecords);
        const size_t blockBytes = SmallList::kPerBlock * sizeof(Record);
        if (c.folder)
            EXPECT_LE(list.HeldBytes(), (SmallList::kSlots + 1) * blockBytes) << "the blocks read back and the one being filled";
        else
            EXPECT_GE(list.HeldBytes(), kRecords * sizeof(Record));
        list.clear();
        EXPECT_TRUE(list.empty());
        EXPECT_EQ(list.HeldBytes(), 0u);
        // A list emptied takes records again, into a file of its own.
        for (size_t k = 0; k < 100; ++k)
            list.push_back(Made(k + 5));
        EXPECT_EQ(list[3].at, 8000);
        EXPECT_EQ(list[99].value, uint32_t(104 * 7));
    }
}

}  // namespace
