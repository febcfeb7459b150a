#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/ResultCodes.h"
#include "core/TestDoubles.h"
#include "support/CountingStream.h"

using mendtest::FaultyStream;
using mendtest::MemoryVideoStream;
using mendtest::RepairScript;
using mendtest::ScriptedRepair;

namespace {

std::vector<uint8_t> Bytes(size_t n)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(i * 7 + 1);
    return v;
}

TEST(ResultCodes, InternalCodesTranslateAndNothingElseReadsAsSuccess)
{
    const struct {
        int internal;
        int expected;
    } table[] = {
        {0, 0}, {5, 0},
        {-1, -18}, {-2, -19}, {-3, -15}, {-4, -59}, {-5, -38}, {-6, -37}, {-7, -13}, {-8, -12}, {-9, -14}, {-10, -21},
        // Outside the table: unknown, never success.
        {-11, -16}, {-19, -16}, {-100, -16}, {INT32_MIN, -16},
    };
    for (const auto& row : table)
        EXPECT_EQ(TranslateResult(row.internal), row.expected) << row.internal;
}

TEST(ErrorList, DetailLessRecordsOfOneCodeAreKeptOnce)
{
    FaultyStream in(Bytes(10));
    ScriptedRepair repair(&in, {});
    repair.AddError(JRVP_DAMAGE_TIMING);
    repair.AddError(JRVP_DAMAGE_TIMING);
    repair.AddError(JRVP_DAMAGE_SEGMENT, std::make_unique<VPInvalidDataSegment>(10, 20));
    repair.AddError(JRVP_DAMAGE_SEGMENT, std::make_unique<VPInvalidDataSegment>(30, 40));
    repair.AddErrorAt(JRVP_DAMAGE_INDEX, 1234);
    ASSERT_EQ(repair.GetErrorsCount(), 4);
    auto* seg = static_cast<VPInvalidDataSegment*>(repair.GetFileError(2)->detail);
    EXPECT_EQ(seg->start, 30);
    EXPECT_EQ(seg->end, 40);
    EXPECT_EQ(*static_cast<int64_t*>(repair.GetFileError(3)->detail), 1234);
    EXPECT_EQ(repair.GetFileError(4), nullptr);
    repair.Close();
    EXPECT_EQ(repair.GetErrorsCount(), 0);
}

struct ParseCase {
    const char* name;
    int openResult;
    int expectedResult;
    int expectedStatus;
    int expectedErrors;
};

class ParseStreamTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseStreamTest, StatusResultAndRecords)
{
    const ParseCase& c = GetParam();
    FaultyStream in(Bytes(100));
    RepairScript script;
    script.openResult = c.openResult;
    script.errors = {JRVP_DAMAGE_INDEX, JRVP_DAMAGE_TIMING};
    ScriptedRepair repair(&in, script);
    std::vector<int> heard;
    auto onError = [](JRVPFileError code, void* user) { static_cast<std::vector<int>*>(user)->push_back(code); };
    EXPECT_EQ(repair.ParseStream(onError, &heard), c.expectedResult);
    EXPECT_EQ(repair.GetStatus(), c.expectedStatus);
    EXPECT_EQ(repair.GetErrorsCount(), c.expectedErrors);
    EXPECT_EQ(static_cast<int>(heard.size()), c.expectedErrors);
}

INSTANTIATE_TEST_SUITE_P(Cases, ParseStreamTest,
                         ::testing::Values(ParseCase{"Parsed", 0, 0, 3, 2}, ParseCase{"Positive", 7, 0, 3, 2},
                                           ParseCase{"NotThisContainer", -2, -19, 2, 0},
                                           ParseCase{"ReadFailed", -5, -38, 2, 0},
                                           ParseCase{"Unlisted", -42, -16, 2, 0}),
                         [](const ::testing::TestParamInfo<ParseCase>& info) { return info.param.name; });

// Whatever Open made of the short data, a read error ends as "cannot read".
TEST(ParseStream, ReadErrorWinsOverAnyParseResult)
{
    for (int openResult : {0, -2}) {
        FaultyStream in(Bytes(10000), 6000);
        RepairScript script;
        script.readInput = true;
        script.openResult = openResult;
        ScriptedRepair repair(&in, script);
        EXPECT_EQ(repair.ParseStream(nullptr, nullptr), JRVP_ERR_CANNOT_READ) << openResult;
        EXPECT_EQ(repair.GetStatus(), JRVP_STATUS_PARSE_FAILED);
    }
}

// A repairer's records grow with the file: an allocation that fails in the
// parse or the repair is "No Memory", never an exception out of the worker
// and never a success.
TEST(ParseStream, AllocationFailureIsNoMemory)
{
    FaultyStream in(Bytes(100));
    RepairScript script;
    script.openRunsOutOfMemory = true;
    ScriptedRepair failing(&in, script);
    EXPECT_EQ(failing.ParseStream(nullptr, nullptr), JRVP_ERR_NO_MEMORY);
    EXPECT_EQ(failing.GetStatus(), JRVP_STATUS_PARSE_FAILED);

    script = RepairScript();
    script.errors = {JRVP_DAMAGE_STRUCTURE};
    script.repairRunsOutOfMemory = true;
    ScriptedRepair repair(&in, script);
    ASSERT_EQ(repair.ParseStream(nullptr, nullptr), JRVP_OK);
    MemoryVideoStream memory;
    CBaseStream out(&memory);
    EXPECT_EQ(repair.RepairFile(&out, 1, nullptr), JRVP_ERR_NO_MEMORY);
}

struct RepairCase {
    const char* name;
    int openResult;
    bool withErrors;
    int level;
    int repairResult;
    int expectedResult;
    int expectedStatus;
};

class RepairFileTest : public ::testing::TestWithParam<RepairCase> {};

TEST_P(RepairFileTest, StatusAndResult)
{
    const RepairCase& c = GetParam();
    FaultyStream in(Bytes(100));
    RepairScript script;
    script.openResult = c.openResult;
    if (c.withErrors)
        script.errors = {JRVP_DAMAGE_STRUCTURE};
    script.repairResult = c.repairResult;
    ScriptedRepair repair(&in, script);
    repair.ParseStream(nullptr, nullptr);
    MemoryVideoStream memory;
    CBaseStream out(&memory);
    EXPECT_EQ(repair.RepairFile(&out, c.level, nullptr), c.expectedResult);
    EXPECT_EQ(repair.GetStatus(), c.expectedStatus);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RepairFileTest,
    ::testing::Values(RepairCase{"Repaired", 0, true, 1, 0, 0, 5}, RepairCase{"NothingToMend", 0, false, 1, 0, 0, 5},
                      RepairCase{"ParseFailedLowLevel", -2, true, 1, 0, -13, 2},
                      RepairCase{"ParseFailedLevel3", -2, true, 3, 0, 0, 5},
                      RepairCase{"LevelZero", 0, true, 0, -9, 0, 5}, RepairCase{"LevelFour", 0, true, 4, 0, -16, 5},
                      RepairCase{"NegativeLevel", 0, true, -1, 0, -16, 5},
                      RepairCase{"Budget", 0, true, 1, -9, -14, 5}, RepairCase{"CannotRepair", 0, true, 1, -7, -13, 5},
                      RepairCase{"Unlisted", 0, true, 1, -30, -16, 5}),
    [](const ::testing::TestParamInfo<RepairCase>& info) { return info.param.name; });

TEST(RepairFile, BeforeAnyParseOrWithoutOutput)
{
    FaultyStream in(Bytes(100));
    RepairScript script;
    script.errors = {JRVP_DAMAGE_STRUCTURE};
    ScriptedRepair repair(&in, script);
    MemoryVideoStream memory;
    CBaseStream out(&memory);
    EXPECT_EQ(repair.RepairFile(&out, 1, nullptr), JRVP_ERR_NOT_READY);
    ASSERT_EQ(repair.ParseStream(nullptr, nullptr), 0);
    EXPECT_EQ(repair.RepairFile(nullptr, 1, nullptr), JRVP_ERR_NOT_READY);
}

TEST(RepairFile, CopiesThroughTheBufferAndReportsShortWrites)
{
    std::vector<uint8_t> data = Bytes(50000);
    RepairScript script;
    script.errors = {JRVP_DAMAGE_STRUCTURE};
    script.copyInput = true;
    {
        FaultyStream in(data);
        ScriptedRepair repair(&in, script);
        ASSERT_EQ(repair.ParseStream(nullptr, nullptr), 0);
        MemoryVideoStream memory;
        CBaseStream out(&memory);
        EXPECT_EQ(repair.RepairFile(&out, 1, nullptr), 0);
        EXPECT_EQ(memory.Bytes(), data);
    }
    {
        FaultyStream in(data);
        ScriptedRepair repair(&in, script);
        ASSERT_EQ(repair.ParseStream(nullptr, nullptr), 0);
        MemoryVideoStream memory;
        memory.FailWritesAfter(49999);
        CBaseStream out(&memory);
        EXPECT_EQ(repair.RepairFile(&out, 1, nullptr), JRVP_ERR_CANNOT_WRITE);
    }
}

TEST(WriteToFile, ShortReadsWritesAndAbort)
{
    std::vector<uint8_t> data = Bytes(20000);
    struct Case {
        const char* name;
        long long failReadsAt;
        long long failWritesAfter;
        int64_t n;
        int expected;
        size_t expectedBytes;
        int repairResult;
    } cases[] = {
        {"Whole", -1, -1, 20000, 0, 20000, JRVP_OK},
        {"Nothing", -1, -1, 0, 0, 0, JRVP_OK},
        {"Negative", -1, -1, -5, 0, 0, JRVP_OK},
        {"PastTheEnd", -1, -1, 30000, MEND_ERR_READ, 20000, JRVP_OK},
        {"ReadError", 9000, -1, 20000, MEND_ERR_READ, 8192, JRVP_ERR_CANNOT_READ},
        // The output buffer takes the whole copy; the short write shows when
        // it is flushed, and the repair still fails.
        {"ShortWrite", -1, 10000, 20000, 0, 8192, JRVP_ERR_CANNOT_WRITE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FaultyStream in(data, c.failReadsAt);
        RepairScript script;
        script.errors = {JRVP_DAMAGE_STRUCTURE};
        MemoryVideoStream memory;
        memory.FailWritesAfter(c.failWritesAfter);
        CBaseStream out(&memory);
        // WriteToFile runs inside a repair level; reach it the same way.
        struct Probe : ScriptedRepair {
            using ScriptedRepair::ScriptedRepair;
            int64_t n = 0;
            int result = 1;
            int RepairLevel1() override
            {
                result = WriteToFile(n);
                return 0;
            }
        } probe(&in, script);
        probe.n = c.n;
        ASSERT_EQ(probe.ParseStream(nullptr, nullptr), 0);
        EXPECT_EQ(probe.RepairFile(&out, 1, nullptr), c.repairResult);
        EXPECT_EQ(probe.result, c.expected);
        EXPECT_LE(memory.Bytes().size(), c.expectedBytes + 4096);
    }

    // An abort stops the copy before its next block.
    FaultyStream in(data);
    RepairScript script;
    script.errors = {JRVP_DAMAGE_STRUCTURE};
    struct Aborted : ScriptedRepair {
        using ScriptedRepair::ScriptedRepair;
        int result = 1;
        int RepairLevel1() override
        {
            AbortTask();
            result = WriteToFile(20000);
            return result;
        }
    } aborted(&in, script);
    ASSERT_EQ(aborted.ParseStream(nullptr, nullptr), 0);
    MemoryVideoStream memory;
    CBaseStream out(&memory);
    EXPECT_EQ(aborted.RepairFile(&out, 1, nullptr), JRVP_ERR_ABORTED);
    EXPECT_EQ(aborted.result, MEND_ERR_ABORTED);
    EXPECT_TRUE(memory.Bytes().empty());
}

// Long copies read ahead on a second thread: the output must still be the
// input in order, block for block, and errors and aborts must end them as
// they end a short copy.
TEST(WriteToFile, LongCopiesKeepOrderErrorsAndAbort)
{
    constexpr int64_t kMiB = 1 << 20;
    const int64_t size = 10 * kMiB + 12345;
    std::vector<uint8_t> data = Bytes(static_cast<size_t>(size));
    struct Case {
        const char* name;
        long long failReadsAt;
        long long failWritesAfter;
        int abortAfterBlocks;
        int expected;
        int64_t maxBytes;
    } cases[] = {
        {"Whole", -1, -1, -1, 0, size},
        {"ReadError", 5 * kMiB + 100, -1, -1, MEND_ERR_READ, 5 * kMiB + 100},
        {"ShortWrite", -1, 3 * kMiB, -1, MEND_ERR_WRITE, 3 * kMiB},
        {"Abort", -1, -1, 2, MEND_ERR_ABORTED, 3 * kMiB},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FaultyStream in(data, c.failReadsAt);
        RepairScript script;
        script.errors = {JRVP_DAMAGE_STRUCTURE};
        MemoryVideoStream memory;
        memory.FailWritesAfter(c.failWritesAfter);
        CBaseStream out(&memory);
        // Sees every block in order; may abort the task after some of them.
        struct Probe : ScriptedRepair, ICopyObserver {
            using ScriptedRepair::ScriptedRepair;
            int64_t from = 3, n = 0, seen = 0, posAfter = -1;
            int abortAfter = -1, blocks = 0, result = 1;
            bool inOrder = true;
            const std::vector<uint8_t>* data = nullptr;
            void OnCopied(uint8_t* block, size_t count, size_t) override
            {
                inOrder = inOrder && memcmp(block, data->data() + from + seen, count) == 0;
                seen += static_cast<int64_t>(count);
                if (++blocks == abortAfter)
                    AbortTask();
            }
            int RepairLevel1() override
            {
                if (m_input->SeekTo(from) != from)
                    return MEND_ERR_READ;
                result = WriteToFile(n, this);
                posAfter = m_input->GetPos();
                return result;
            }
        } probe(&in, script);
        probe.data = &data;
        probe.n = size - probe.from;
        probe.abortAfter = c.abortAfterBlocks;
        ASSERT_EQ(probe.ParseStream(nullptr, nullptr), 0);
        probe.RepairFile(&out, 1, nullptr);
        EXPECT_EQ(probe.result, c.expected);
        EXPECT_TRUE(probe.inOrder);
        EXPECT_LE(static_cast<int64_t>(memory.Bytes().size()), c.maxBytes);
        if (c.expected == 0) {
            EXPECT_EQ(probe.seen, probe.n);
            EXPECT_EQ(probe.posAfter, size);
            const std::vector<uint8_t> written = memory.Bytes();
            ASSERT_EQ(static_cast<int64_t>(written.size()), probe.n);
            EXPECT_TRUE(std::equal(written.begin(), written.end(), data.begin() + probe.from));
        }
    }
}

// A repair level that takes a read error for the end of its data has not
// copied what it meant to: the repair fails as "cannot read".
TEST(RepairFile, ReadErrorDuringTheRepairIsNoSuccess)
{
    FaultyStream in(Bytes(20000), 8000);
    RepairScript script;
    script.errors = {JRVP_DAMAGE_STRUCTURE};
    struct UntilShort : ScriptedRepair {
        using ScriptedRepair::ScriptedRepair;
        int RepairLevel1() override
        {
            uint8_t buf[1000];
            unsigned r;
            while ((r = m_input->Read(buf, sizeof(buf))) == sizeof(buf))
                m_output->Write(buf, r);
            return 0;
        }
    } repair(&in, script);
    ASSERT_EQ(repair.ParseStream(nullptr, nullptr), 0);
    MemoryVideoStream memory;
    CBaseStream out(&memory);
    EXPECT_EQ(repair.RepairFile(&out, 1, nullptr), JRVP_ERR_CANNOT_READ);
}

TEST(AbortTask, NeverLeftOverForLaterWork)
{
    FaultyStream in(Bytes(100));
    RepairScript script;
    script.errors = {JRVP_DAMAGE_STRUCTURE};
    ScriptedRepair repair(&in, script);
    ASSERT_EQ(repair.ParseStream(nullptr, nullptr), 0);
    repair.AbortTask();  // status 3
    EXPECT_FALSE(repair.TestAbort());
    MemoryVideoStream memory;
    CBaseStream out(&memory);
    EXPECT_EQ(repair.RepairFile(&out, 1, nullptr), 0);
    repair.AbortTask();  // status 5
    EXPECT_FALSE(repair.TestAbort());
}

TEST(AbortTask, AtIdleIsIgnoredButTheOwnersRequestCounts)
{
    FaultyStream in(Bytes(100));
    RepairScript script;
    script.readInput = true;
    ScriptedRepair repair(&in, script);
    repair.AbortTask();  // status 0: not for the parse that follows
    EXPECT_EQ(repair.ParseStream(nullptr, nullptr), 0);

    // The repair object's request stands until its next operation, and
    // every loop sees it, also before the status says parsing.
    std::atomic<bool> request{true};
    ScriptedRepair owned(&in, script);
    owned.SetAbortSource(&request);
    EXPECT_EQ(owned.ParseStream(nullptr, nullptr), JRVP_ERR_ABORTED);
    EXPECT_TRUE(request.load());
}

TEST(AbortTask, EndsAParseAndARepairWithAborted)
{
    FaultyStream in(Bytes(100));
    RepairScript script;
    script.errors = {JRVP_DAMAGE_STRUCTURE};
    script.openUntilAbort = true;
    ScriptedRepair repair(&in, script);
    std::thread aborter([&] {
        while (repair.GetStatus() != JRVP_STATUS_PARSING)
            std::this_thread::yield();
        repair.AbortTask();
    });
    EXPECT_EQ(repair.ParseStream(nullptr, nullptr), JRVP_ERR_ABORTED);
    aborter.join();
    // Nothing was judged: not parsed, rather than a parse that failed.
    EXPECT_EQ(repair.GetStatus(), JRVP_STATUS_IDLE);

    RepairScript slowRepair;
    slowRepair.errors = {JRVP_DAMAGE_STRUCTURE};
    slowRepair.repairUntilAbort = true;
    ScriptedRepair second(&in, slowRepair);
    ASSERT_EQ(second.ParseStream(nullptr, nullptr), 0);
    std::thread aborter2([&] {
        while (second.GetStatus() != JRVP_STATUS_REPAIRING)
            std::this_thread::yield();
        second.AbortTask();
    });
    MemoryVideoStream memory;
    CBaseStream out(&memory);
    EXPECT_EQ(second.RepairFile(&out, 1, nullptr), JRVP_ERR_ABORTED);
    aborter2.join();
    EXPECT_EQ(second.GetStatus(), JRVP_STATUS_REPAIRED);
}

TEST(GetProcess, StaysWithinBounds)
{
    EXPECT_EQ(CTaskState::Progress(0, 0), 10000);
    EXPECT_EQ(CTaskState::Progress(5, 0), 10000);
    EXPECT_EQ(CTaskState::Progress(50, 100), 5000);
    EXPECT_EQ(CTaskState::Progress(500, 100), 10000);
    EXPECT_EQ(CTaskState::Progress(-3, 100), 0);
    EXPECT_EQ(CTaskState::Progress(1LL << 60, (1LL << 61)), 5000);

    FaultyStream empty(std::vector<uint8_t>{});
    RepairScript script;
    script.openUntilAbort = true;
    ScriptedRepair repair(&empty, script);
    std::atomic<int> seen{-1};
    std::thread poll([&] {
        while (repair.GetStatus() != JRVP_STATUS_PARSING)
            std::this_thread::yield();
        seen = repair.GetProcess();
        repair.AbortTask();
    });
    repair.ParseStream(nullptr, nullptr);
    poll.join();
    EXPECT_EQ(seen.load(), 10000);  // an empty input reads as done
    EXPECT_EQ(repair.GetProcess(), 0);
}

}  // namespace

namespace {

// A repairer that only scans: the forward search every container uses to
// cross damage, given a finder of its own.
class ScanProbe : public CBaseRepair {
public:
    using CBaseRepair::CBaseRepair;
    int Open() override { return 0; }
    int RepairLevel1() override { return 0; }
    int RepairLevel2() override { return 0; }
    int RepairLevel3(const char*) override { return 0; }
    using CBaseRepair::CandidateFinder;
    using CBaseRepair::FindByteFF;
    using CBaseRepair::FindNonZero;
    using CBaseRepair::NextCandidate;
};

// A finder that needs a look at the bytes after the candidate, as a tag or
// packet header does: 'T' followed by a zero.
const uint8_t* FindTagLike(const uint8_t* b, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        if (b[i] == 'T' && (i + 1 == n || b[i + 1] == 0))
            return b + i;
    return nullptr;
}

}  // namespace

TEST(CandidateScan, FindsTheFirstPlaceAUnitCanStartAndCrossesDamageInFewReads)
{
    constexpr size_t kMiB = 1 << 20;
    struct Case {
        const char* name;
        size_t size;
        std::vector<std::pair<size_t, uint8_t>> bytes;  // set over zeros
        ScanProbe::CandidateFinder find;
        int64_t from, to;  // to < 0: the input's end
        int64_t want;      // -1: the end of the range
    };
    const Case cases[] = {
        {"next byte", 64, {{0, 0xFF}, {1, 0xFF}}, ScanProbe::FindByteFF, 1, -1, 1},
        {"none in range", 4096, {{100, 0xFF}}, ScanProbe::FindByteFF, 101, -1, -1},
        {"range ends before the hit", 4096, {{3000, 0xFF}}, ScanProbe::FindByteFF, 0, 2000, -1},
        {"range past the input's end", 4096, {}, ScanProbe::FindNonZero, 10, 1 << 30, 4096},
        {"from at the end", 4096, {}, ScanProbe::FindNonZero, 4096, -1, 4096},
        {"across block edges", 20 * kMiB, {{4096 + 16384 + 65536, 1}}, ScanProbe::FindNonZero, 0, -1,
         4096 + 16384 + 65536},
        {"after a long run of zeros", 24 * kMiB, {{24 * kMiB - 5, 7}}, ScanProbe::FindNonZero, 0, -1, 24 * kMiB - 5},
        {"a look-alike is passed over", 8 * kMiB, {{1000, 'T'}, {1001, 1}, {5 * kMiB, 'T'}}, FindTagLike, 0, -1,
         5 * kMiB},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> bytes(c.size);
        for (const auto& b : c.bytes)
            bytes[b.first] = b.second;
        FaultyStream raw(std::move(bytes));
        mendtest::CountingStream counted(&raw);
        ScanProbe probe(&counted);
        const int64_t to = c.to < 0 ? static_cast<int64_t>(c.size) : c.to;
        const int64_t got = probe.NextCandidate(c.from, to, c.find);
        EXPECT_EQ(got, c.want < 0 ? std::min<int64_t>(to, c.size) : c.want);
        // Blocks grow as the run goes on: a long stretch of damage costs a
        // few reads per MiB, not one per byte or per small block.
        const int64_t crossed = std::max<int64_t>(got - c.from, 0);
        if (crossed > static_cast<int64_t>(4 * kMiB)) {
            EXPECT_LE(counted.Counts().ReadsPerMiB(crossed), 4.0);
        }
    }
}

TEST(CandidateScan, EndsOnAReadErrorOrAnAbort)
{
    constexpr size_t kMiB = 1 << 20;
    FaultyStream failing(std::vector<uint8_t>(8 * kMiB), 3 * kMiB);
    ScanProbe broken(&failing);
    EXPECT_EQ(broken.NextCandidate(0, 8 * kMiB, ScanProbe::FindNonZero), MEND_ERR_READ);

    FaultyStream zeros(std::vector<uint8_t>(8 * kMiB));
    ScanProbe aborted(&zeros);
    std::atomic<bool> request{true};
    aborted.SetAbortSource(&request);
    EXPECT_EQ(aborted.NextCandidate(0, 8 * kMiB, ScanProbe::FindNonZero), MEND_ERR_ABORTED);
}
