#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/FormatRegistry.h"
#include "core/ResultCodes.h"
#include "core/TestDoubles.h"
#include "core/VideoRepair.h"
#include "core/HeldInput.h"
#include "support/CountingStream.h"
#include "support/Damage.h"
#include "support/Fixtures.h"

using mendtest::CountingStream;
using mendtest::FaultyStream;
using mendtest::kWorkerGuard;
using mendtest::ResultSink;
using mendtest::MemoryVideoStream;
using mendtest::RepairScript;
using mendtest::ScriptedRepair;
using namespace std::chrono_literals;

namespace {

// A repair object whose repairers and thread start a test controls.
class TestRepairObject : public CVideoRepair {
public:
    using Factory = std::function<std::unique_ptr<IBaseRepair>(JRVPVideoFormat, IBaseStream*)>;
    Factory factory;
    bool failThreads = false;

    std::vector<int> Tried()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_tried;
    }

protected:
    std::unique_ptr<IBaseRepair> CreateRepairer(JRVPVideoFormat format, IBaseStream* input) override
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_tried.push_back(format);
        }
        return factory ? factory(format, input) : CVideoRepair::CreateRepairer(format, input);
    }
    int StartThread(pthread_t* thread, void* (*fn)(void*), void* arg) override
    {
        return failThreads ? EAGAIN : CVideoRepair::StartThread(thread, fn, arg);
    }

private:
    std::mutex m_mutex;
    std::vector<int> m_tried;
};

// Every container but `accept` answers "not mine"; `accept` parses with
// the given script.
TestRepairObject::Factory AcceptOnly(JRVPVideoFormat accept, RepairScript script)
{
    return [accept, script](JRVPVideoFormat format, IBaseStream* in) -> std::unique_ptr<IBaseRepair> {
        RepairScript s = script;
        if (format != accept)
            s = RepairScript{};
        if (format != accept)
            s.openResult = MEND_ERR_NOT_CONTAINER;
        s.format = format;
        return std::make_unique<ScriptedRepair>(in, s);
    };
}

// Polls until done() holds; false when the guard runs out first.
bool WaitUntil(const std::function<bool()>& done)
{
    const auto until = std::chrono::steady_clock::now() + kWorkerGuard;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

RepairScript Damaged()
{
    RepairScript s;
    s.errors = {JRVP_DAMAGE_STRUCTURE, JRVP_DAMAGE_INDEX};
    return s;
}

class VideoRepairTest : public ::testing::Test {
protected:
    std::string MakeFile(const std::string& name, size_t size = 20000)
    {
        std::vector<uint8_t> bytes(size);
        for (size_t i = 0; i < size; ++i)
            bytes[i] = static_cast<uint8_t>((i * 131) ^ (i >> 7));
        std::string path = dir.Path(name);
        EXPECT_TRUE(mendtest::WriteFileBytes(path, bytes));
        return path;
    }
    mendtest::ScratchDir dir;
    ResultSink sink;
};

TEST(GuessFormat, ExtensionTable)
{
    const struct {
        const char* path;
        int format;
    } table[] = {
        {"clip.MOV", 5}, {"clip.Mkv", 4}, {"clip.webm", 4}, {"clip.m2ts", 7}, {"song.oga", 10},
        {"a/b/clip.avi", 1}, {"clip.WMA", 2}, {"clip.rm", 6}, {"x.flv", 3}, {"x.mp3", 8}, {"x.wav", 9},
        {"x.ogv", 10}, {"x.opus", 10}, {"clip", 0}, {"clip.txt", 0}, {"dir.mp4/clip", 0}, {"", 0}, {nullptr, 0},
        // No extension leads to the FLAC repairer, as designed.
        {"x.flac", 0},
    };
    for (const auto& row : table)
        EXPECT_EQ(GuessFormat(row.path), row.format) << (row.path ? row.path : "(null)");
}

TEST_F(VideoRepairTest, StartingOperationsRefuseWithTheirCodes)
{
    TestRepairObject repair;
    MemoryVideoStream memory;
    EXPECT_EQ(repair.OpenFile(nullptr, &ResultSink::OnResult, &sink), JRVP_ERR_MISSING_DATA);
    EXPECT_EQ(repair.RepairFile(dir.Path("out").c_str(), 1, &ResultSink::OnResult, &sink, nullptr),
              JRVP_ERR_MISSING_DATA);
    EXPECT_EQ(repair.RepairFile(&memory, 1, &ResultSink::OnResult, &sink, nullptr), JRVP_ERR_MISSING_DATA);

    ASSERT_TRUE(repair.SetFile(MakeFile("a.mp4").c_str()));
    EXPECT_EQ(repair.RepairFile(&memory, 1, &ResultSink::OnResult, &sink, nullptr), JRVP_ERR_NOTHING_PARSED);

    RepairScript slow = Damaged();
    slow.openUntilAbort = true;
    repair.factory = AcceptOnly(JRVP_FORMAT_MP4, slow);
    ASSERT_EQ(repair.OpenFile(nullptr, &ResultSink::OnResult, &sink), 0);
    EXPECT_EQ(repair.OpenFile(nullptr, &ResultSink::OnResult, &sink), JRVP_ERR_UNKNOWN_FORMAT);
    EXPECT_EQ(repair.RepairFile(&memory, 1, &ResultSink::OnResult, &sink, nullptr), JRVP_ERR_UNKNOWN_FORMAT);
    EXPECT_FALSE(repair.SetFile(MakeFile("b.mp4").c_str()));
    repair.AbortTask();
    EXPECT_EQ(sink.Wait(), JRVP_ERR_ABORTED);
    repair.CloseFile();
    EXPECT_EQ(sink.Count(), 1u);

    // A thread that cannot start leaves the object closed and calls nobody.
    ASSERT_TRUE(repair.SetFile(MakeFile("c.mp4").c_str()));
    repair.failThreads = true;
    EXPECT_EQ(repair.OpenFile(nullptr, &ResultSink::OnResult, &sink), JRVP_ERR_OPEN_FAILED);
    EXPECT_EQ(repair.OpenFile(nullptr, &ResultSink::OnResult, &sink), JRVP_ERR_MISSING_DATA);
    EXPECT_EQ(sink.Count(), 1u);
}

TEST_F(VideoRepairTest, EveryStartedOperationCallsBackExactlyOnce)
{
    TestRepairObject repair;
    repair.factory = AcceptOnly(JRVP_FORMAT_AVI, Damaged());
    std::string path = MakeFile("clip.avi");
    ASSERT_TRUE(repair.SetFile(path.c_str()));
    ASSERT_EQ(repair.OpenFile(nullptr, &ResultSink::OnResult, &sink), 0);
    EXPECT_EQ(sink.Wait(1), 0);
    EXPECT_EQ(repair.GetErrorsCount(), 2);
    EXPECT_EQ(repair.GetFormat(), JRVP_FORMAT_AVI);
    EXPECT_EQ(repair.GetStatus(), JRVP_STATUS_PARSED);
    EXPECT_EQ(repair.GetFileError(2), nullptr);

    MemoryVideoStream memory;
    ASSERT_EQ(repair.RepairFile(&memory, 1, &ResultSink::OnResult, &sink, nullptr), 0);
    EXPECT_EQ(sink.Wait(2), 0);
    ASSERT_EQ(repair.RepairFile(dir.Path("out.avi").c_str(), 1, &ResultSink::OnResult, &sink, nullptr), 0);
    EXPECT_EQ(sink.Wait(3), 0);
    repair.CloseFile();
    EXPECT_EQ(sink.Count(), 3u);

    // A file that no container takes: one result, and nothing left behind.
    TestRepairObject none;
    none.factory = AcceptOnly(JRVP_FORMAT_NONE, {});
    ASSERT_TRUE(none.SetFile(path.c_str()));
    ASSERT_EQ(none.OpenFile(nullptr, &ResultSink::OnResult, &sink), 0);
    EXPECT_EQ(sink.Wait(4), JRVP_ERR_UNKNOWN_FORMAT);
    none.CloseFile();
    EXPECT_EQ(sink.Count(), 4u);
}

TEST_F(VideoRepairTest, FallbackTriesTheGuessFirstThenEveryOtherContainer)
{
    struct Case {
        const char* name;
        JRVPVideoFormat accept;
        std::vector<int> tried;
    } cases[] = {
        {"clip.mp4", JRVP_FORMAT_NONE, {5, 1, 2, 3, 4, 6, 7, 8, 9, 10}},
        {"clip", JRVP_FORMAT_NONE, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
        {"clip.avi", JRVP_FORMAT_MKV, {1, 2, 3, 4}},
        {"clip.ogg", JRVP_FORMAT_OGG, {10}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestRepairObject repair;
        ResultSink results;
        repair.factory = AcceptOnly(c.accept, Damaged());
        ASSERT_TRUE(repair.SetFile(MakeFile(c.name).c_str()));
        ASSERT_EQ(repair.OpenFile(nullptr, &ResultSink::OnResult, &results), 0);
        int r = results.Wait();
        repair.CloseFile();
        EXPECT_EQ(r, c.accept == JRVP_FORMAT_NONE ? JRVP_ERR_UNKNOWN_FORMAT : 0);
        EXPECT_EQ(repair.Tried(), c.tried);
    }
}

TEST_F(VideoRepairTest, AReadFailureStopsTheSearch)
{
    // The guessed container meets a read error: no other container is tried.
    TestRepairObject repair;
    RepairScript reader;
    reader.readInput = true;
    reader.openResult = MEND_ERR_NOT_CONTAINER;
    repair.factory = [reader](JRVPVideoFormat, IBaseStream* in) { return std::make_unique<ScriptedRepair>(in, reader); };
    std::vector<uint8_t> bytes(50000, 0x47);
    ASSERT_TRUE(repair.SetInput(std::make_unique<FaultyStream>(bytes, 30000), "clip.flv"));
    ASSERT_EQ(repair.OpenFile(nullptr, &ResultSink::OnResult, &sink), 0);
    EXPECT_EQ(sink.Wait(), JRVP_ERR_CANNOT_READ);
    EXPECT_EQ(repair.Tried(), std::vector<int>{JRVP_FORMAT_FLV});

    // A file whose very first block cannot be read reaches no container.
    TestRepairObject unreadable;
    ResultSink results;
    ASSERT_TRUE(unreadable.SetInput(std::make_unique<FaultyStream>(bytes, 0), "clip.avi"));
    ASSERT_EQ(unreadable.OpenFile(nullptr, &ResultSink::OnResult, &results), 0);
    EXPECT_EQ(results.Wait(), JRVP_ERR_CANNOT_READ);
    EXPECT_TRUE(unreadable.Tried().empty());
}

TEST_F(VideoRepairTest, AbortEndsAParseAndARepair)
{
    TestRepairObject repair;
    RepairScript script = Damaged();
    script.repairUntilAbort = true;
    repair.factory = AcceptOnly(JRVP_FORMAT_MP4, script);
    ASSERT_TRUE(repair.SetFile(MakeFile("clip.mp4").c_str()));
    ASSERT_EQ(repair.OpenFile(nullptr, &ResultSink::OnResult, &sink), 0);
    ASSERT_EQ(sink.Wait(1), 0);
    MemoryVideoStream memory;
    ASSERT_EQ(repair.RepairFile(&memory, 1, &ResultSink::OnResult, &sink, nullptr), 0);
    ASSERT_TRUE(WaitUntil([&] { return repair.GetStatus() == JRVP_STATUS_REPAIRING; }));
    repair.AbortTask();
    EXPECT_EQ(sink.Wait(2), JRVP_ERR_ABORTED);

    TestRepairObject parsing;
    RepairScript slow = Damaged();
    slow.openUntilAbort = true;
    parsing.factory = AcceptOnly(JRVP_FORMAT_MP4, slow);
    ResultSink results;
    ASSERT_TRUE(parsing.SetFile(MakeFile("clip2.mp4").c_str()));
    ASSERT_EQ(parsing.OpenFile(nullptr, &ResultSink::OnResult, &results), 0);
    ASSERT_TRUE(WaitUntil([&] { return parsing.GetStatus() == JRVP_STATUS_PARSING; }));
    parsing.CloseFile();  // aborts, then waits for the worker
    EXPECT_EQ(results.Count(), 1u);
    EXPECT_EQ(results.Wait(), JRVP_ERR_ABORTED);
}

// The application cancels with AbortTask and CloseFile, possibly right
// after a start returned, before the worker has moved the repairer on. An
// abort lost on the way leaves the repair spinning to its guard, and it
// ends with an unknown error instead of "aborted".
TEST_F(VideoRepairTest, AbortRightAfterAStartStopsTheWork)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        TestRepairObject repair;
        RepairScript script = Damaged();
        script.repairUntilAbort = true;
        repair.factory = AcceptOnly(JRVP_FORMAT_MP4, script);
        ResultSink results;
        ASSERT_TRUE(repair.SetFile(MakeFile("quick.mp4").c_str()));
        ASSERT_EQ(repair.OpenFile(nullptr, &ResultSink::OnResult, &results), 0);
        ASSERT_EQ(results.Wait(1), 0);
        MemoryVideoStream memory;
        ASSERT_EQ(repair.RepairFile(&memory, 1, &ResultSink::OnResult, &results, nullptr), 0);
        repair.AbortTask();
        repair.CloseFile();
        EXPECT_EQ(results.Wait(2), JRVP_ERR_ABORTED);
    }
}

// An input whose reads wait on a gate once the head has been read: the
// worker stands inside a read while the caller polls.
class GateStream : public FaultyStream {
public:
    explicit GateStream(std::vector<uint8_t> bytes) : FaultyStream(std::move(bytes)) {}
    unsigned int Read(void* buf, unsigned int n) override
    {
        if (GetPos() >= 4096) {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_waiting = true;
            m_cv.notify_all();
            m_cv.wait(lock, [&] { return m_open; });
        }
        return FaultyStream::Read(buf, n);
    }
    void AwaitReader()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait(lock, [&] { return m_waiting; });
    }
    void Open()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
        m_cv.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_waiting = false;
    bool m_open = false;
};

TEST_F(VideoRepairTest, PollingNeverWaitsOnTheWorkersReads)
{
    TestRepairObject repair;
    RepairScript reader = Damaged();
    reader.readInput = true;
    repair.factory = AcceptOnly(JRVP_FORMAT_AVI, reader);
    auto gate = std::make_unique<GateStream>(std::vector<uint8_t>(100000, 1));
    GateStream* gateRaw = gate.get();
    ASSERT_TRUE(repair.SetInput(std::move(gate), "clip.avi"));
    ASSERT_EQ(repair.OpenFile(nullptr, &ResultSink::OnResult, &sink), 0);
    gateRaw->AwaitReader();
    // The gate stays shut until the poll has returned: a poll that waited on
    // the worker's read would wait for good, so it runs beside a guard, past
    // which the gate opens and the test fails instead of hanging.
    auto poll = std::async(std::launch::async, [&] {
        EXPECT_EQ(repair.GetStatus(), JRVP_STATUS_PARSING);
        int progress = repair.GetProcess();
        EXPECT_TRUE(progress >= 0 && progress <= 10000);
    });
    EXPECT_EQ(poll.wait_for(kWorkerGuard), std::future_status::ready) << "the poll waited on the worker's read";
    gateRaw->Open();
    poll.get();
    EXPECT_EQ(sink.Wait(), 0);
}

TEST_F(VideoRepairTest, CloseFileDuringTheSearchReturnsPromptly)
{
    // Each try of the search says "not mine" at once or, when `spin` is set,
    // spins until it sees the abort. The try numbered holdAt stops in the
    // factory, where the worker stands between two tries with no repairer,
    // until the test lets it go.
    struct {
        std::mutex mutex;
        std::condition_variable cv;
        bool spin = false;
        int holdAt = 0;
        int calls = 0;
        bool held = false;
        bool released = false;
    } search;
    TestRepairObject repair;
    repair.factory = [&search](JRVPVideoFormat format, IBaseStream* in) -> std::unique_ptr<IBaseRepair> {
        RepairScript s;
        s.openResult = MEND_ERR_NOT_CONTAINER;
        s.format = format;
        std::unique_lock<std::mutex> lock(search.mutex);
        s.openUntilAbort = search.spin;
        if (++search.calls == search.holdAt) {
            search.held = true;
            search.cv.notify_all();
            search.cv.wait_for(lock, kWorkerGuard, [&] { return search.released; });
        }
        return std::make_unique<ScriptedRepair>(in, s);
    };
    auto prepare = [&](bool spin, int holdAt) {
        std::lock_guard<std::mutex> lock(search.mutex);
        search.spin = spin;
        search.holdAt = holdAt;
        search.calls = 0;
        search.held = search.released = false;
    };
    ASSERT_TRUE(repair.SetFile(MakeFile("clip").c_str()));
    for (int attempt = 0; attempt < 6; ++attempt) {
        SCOPED_TRACE(attempt);
        // Alternate between aborting inside a try and between two tries. A
        // try that missed the abort spins to its guard and ends the search
        // with an unknown error; a search that went on after it tries every
        // container.
        const bool inside = attempt % 2 == 0;
        const int holdAt = 3;
        prepare(inside, inside ? 0 : holdAt);
        const size_t triedBefore = repair.Tried().size();
        ResultSink results;
        ASSERT_EQ(repair.OpenFile(nullptr, &ResultSink::OnResult, &results), 0);
        if (inside) {
            ASSERT_TRUE(WaitUntil([&] { return repair.GetStatus() == JRVP_STATUS_PARSING; }));
            repair.AbortTask();
        } else {
            std::unique_lock<std::mutex> lock(search.mutex);
            ASSERT_TRUE(search.cv.wait_for(lock, kWorkerGuard, [&] { return search.held; }));
            repair.AbortTask();
            search.released = true;
            search.cv.notify_all();
        }
        EXPECT_EQ(results.Wait(), JRVP_ERR_ABORTED);
        EXPECT_EQ(repair.Tried().size() - triedBefore, inside ? 1u : static_cast<size_t>(holdAt));
    }
    // CloseFile while a try spins: it aborts, waits for the worker, and the
    // caller hears of the end once.
    prepare(true, 0);
    ResultSink results;
    ASSERT_EQ(repair.OpenFile(nullptr, &ResultSink::OnResult, &results), 0);
    ASSERT_TRUE(WaitUntil([&] { return repair.GetStatus() == JRVP_STATUS_PARSING; }));
    repair.CloseFile();
    EXPECT_EQ(results.Count(), 1u);
    EXPECT_EQ(results.Wait(), JRVP_ERR_ABORTED);
}

TEST_F(VideoRepairTest, ProgressStaysInRangeWhilePolledEveryMillisecond)
{
    TestRepairObject repair;
    RepairScript reader = Damaged();
    reader.readInput = true;
    reader.copyInput = true;
    repair.factory = AcceptOnly(JRVP_FORMAT_WAV, reader);
    ASSERT_TRUE(repair.SetFile(MakeFile("big.wav", 24 << 20).c_str()));
    std::vector<int> seen;
    auto pollUntil = [&](size_t n) {
        while (sink.Count() < n) {
            seen.push_back(repair.GetProcess());
            repair.GetStatus();
            std::this_thread::sleep_for(1ms);
        }
    };
    ASSERT_EQ(repair.OpenFile(nullptr, &ResultSink::OnResult, &sink), 0);
    pollUntil(1);
    ASSERT_EQ(sink.Wait(1), 0);
    MemoryVideoStream memory;
    ASSERT_EQ(repair.RepairFile(&memory, 1, &ResultSink::OnResult, &sink, nullptr), 0);
    pollUntil(2);
    ASSERT_EQ(sink.Wait(2), 0);
    EXPECT_EQ(memory.GetLength(), 24 << 20);
    ASSERT_FALSE(seen.empty());
    for (int p : seen)
        ASSERT_TRUE(p >= 0 && p <= 10000) << p;
}

TEST_F(VideoRepairTest, NeverWritesOverItsOwnInput)
{
    std::string input = MakeFile("clip.mp4");
    std::vector<uint8_t> before = mendtest::ReadFileBytes(input);
    std::string link = dir.Path("link.mp4");
    ASSERT_EQ(symlink(input.c_str(), link.c_str()), 0);
    std::string hard = dir.Path("hard.mp4");
    ASSERT_EQ(::link(input.c_str(), hard.c_str()), 0);

    TestRepairObject repair;
    repair.factory = AcceptOnly(JRVP_FORMAT_MP4, Damaged());
    ASSERT_TRUE(repair.SetFile(input.c_str()));
    ASSERT_EQ(repair.OpenFile(nullptr, &ResultSink::OnResult, &sink), 0);
    ASSERT_EQ(sink.Wait(), 0);
    for (const std::string& out : {input, link, hard})
        EXPECT_EQ(repair.RepairFile(out.c_str(), 1, &ResultSink::OnResult, &sink, nullptr), JRVP_ERR_CANNOT_OPEN)
            << out;
    EXPECT_EQ(repair.RepairFile(dir.Path("no/such/folder.mp4").c_str(), 1, &ResultSink::OnResult, &sink, nullptr),
              JRVP_ERR_OPEN_FAILED);
    repair.CloseFile();
    EXPECT_EQ(sink.Count(), 1u);
    EXPECT_EQ(mendtest::ReadFileBytes(input), before);
}

// A repair to a path that fails leaves nothing that could pass for a
// repaired copy; a successful one leaves the copy.
TEST_F(VideoRepairTest, AFailedRepairToAPathLeavesNoPartialFile)
{
    for (int repairResult : {0, static_cast<int>(MEND_ERR_UNREPAIRABLE), static_cast<int>(MEND_ERR_WRITE)}) {
        SCOPED_TRACE(repairResult);
        TestRepairObject repair;
        RepairScript script = Damaged();
        script.copyInput = true;
        script.repairResult = repairResult;
        repair.factory = AcceptOnly(JRVP_FORMAT_MP4, script);
        ResultSink results;
        ASSERT_TRUE(repair.SetFile(MakeFile("clip.mp4").c_str()));
        ASSERT_EQ(repair.OpenFile(nullptr, &ResultSink::OnResult, &results), 0);
        ASSERT_EQ(results.Wait(1), 0);
        std::string out = dir.Path("repaired.mp4");
        ASSERT_EQ(repair.RepairFile(out.c_str(), 1, &ResultSink::OnResult, &results, nullptr), 0);
        int r = results.Wait(2);
        EXPECT_EQ(r, TranslateResult(repairResult));
        EXPECT_EQ(mendtest::FileSize(out) >= 0, r == 0);
        repair.CloseFile();
    }
}

TEST_F(VideoRepairTest, SetFileTakesOnlyRegularFilesAndNeverBlocks)
{
    std::string fifo = dir.Path("pipe.mp4");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    CVideoRepair repair;
    const bool returned = mendtest::ReturnsWithoutBlockingOn(fifo, [&] {
        EXPECT_FALSE(repair.SetFile(nullptr));
        EXPECT_FALSE(repair.SetFile(dir.Path("").c_str()));
        EXPECT_FALSE(repair.SetFile(fifo.c_str()));
        EXPECT_FALSE(repair.SetFile("/dev/zero"));
        EXPECT_FALSE(repair.SetFile(dir.Path("missing.mp4").c_str()));
    });
    EXPECT_TRUE(returned) << "SetFile blocked on the FIFO";
    EXPECT_EQ(repair.OpenFile(nullptr, &ResultSink::OnResult, &sink), JRVP_ERR_MISSING_DATA);
}

TEST_F(VideoRepairTest, LongReferencePathArrivesWhole)
{
    TestRepairObject repair;
    ScriptedRepair* created = nullptr;
    repair.factory = [&created](JRVPVideoFormat format, IBaseStream* in) -> std::unique_ptr<IBaseRepair> {
        RepairScript s = Damaged();
        s.openResult = format == JRVP_FORMAT_AVI ? 0 : MEND_ERR_NOT_CONTAINER;
        auto r = std::make_unique<ScriptedRepair>(in, s);
        if (format == JRVP_FORMAT_AVI)
            created = r.get();
        return r;
    };
    ASSERT_TRUE(repair.SetFile(MakeFile("clip.avi").c_str()));
    ASSERT_EQ(repair.OpenFile(nullptr, &ResultSink::OnResult, &sink), 0);
    ASSERT_EQ(sink.Wait(1), 0);
    std::string ref(3000, 'r');
    MemoryVideoStream memory;
    ASSERT_EQ(repair.RepairFile(&memory, 3, &ResultSink::OnResult, &sink, ref.c_str()), 0);
    ASSERT_EQ(sink.Wait(2), 0);
    ASSERT_NE(created, nullptr);
    EXPECT_EQ(created->seenRefPath, ref);
}

// Runs one parse and, when it found damage, one repair into memory; the
// parse's code, the records and the repaired bytes.
struct SearchOutcome {
    int parse = INT_MIN;
    int records = -1;
    int repair = INT_MIN;
    std::vector<uint8_t> bytes;
};

SearchOutcome ParseAndRepair(CVideoRepair& repair)
{
    SearchOutcome o;
    ResultSink results;
    if (repair.OpenFile(nullptr, &ResultSink::OnResult, &results) != 0)
        return o;
    o.parse = results.Wait(1, kWorkerGuard);
    o.records = repair.GetErrorsCount();
    if (o.parse == JRVP_OK && o.records > 0) {
        MemoryVideoStream out;
        if (repair.RepairFile(&out, 1, &ResultSink::OnResult, &results, nullptr) == 0)
            o.repair = results.Wait(2, kWorkerGuard);
        o.bytes = out.Bytes();
    }
    return o;
}

// A small file is read once as its parse starts, whatever number of
// containers try it and whatever its repair copies: every container read it
// again, a few KiB per call, which made a small file cost a hundred calls.
// A file past the limit is read in windows as it is walked.
TEST_F(VideoRepairTest, ASmallInputIsReadOnceForTheWholeSearchAndItsRepair)
{
    struct Case {
        std::string path;
        int64_t size;
    };
    std::vector<Case> cases = {{MakeFile("garbage.avi", 70000), 70000},
                               {MakeFile("garbage.bin", CHeldInput::kMaxHeld), CHeldInput::kMaxHeld}};
    const std::string clip = mendtest::RequireFixture("clip.avi");
    if (clip.empty())
        return;
    std::vector<uint8_t> cut = mendtest::ReadFileBytes(clip);
    cut.resize(cut.size() * 7 / 10);
    cases.push_back({dir.Path("cut.avi"), static_cast<int64_t>(cut.size())});
    ASSERT_TRUE(mendtest::WriteFileBytes(cases.back().path, cut));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        int err = 1;
        CVideoFile file(c.path.c_str(), 0, &err);
        ASSERT_EQ(err, 0);
        CVideoRepair repair;
        auto counting = std::make_unique<CountingStream>(&file);
        CountingStream* input = counting.get();
        ASSERT_TRUE(repair.SetInput(std::move(counting), c.path.c_str()));
        const SearchOutcome o = ParseAndRepair(repair);
        EXPECT_NE(o.parse, INT_MIN);
        EXPECT_EQ(input->Counts().reads, 1);
        EXPECT_EQ(input->Counts().bytes, c.size);
        repair.CloseFile();
    }
    // One byte more, and the search reads as it goes.
    const std::string large = MakeFile("large.bin", CHeldInput::kMaxHeld + 1);
    int err = 1;
    CVideoFile file(large.c_str(), 0, &err);
    ASSERT_EQ(err, 0);
    CVideoRepair repair;
    auto counting = std::make_unique<CountingStream>(&file);
    CountingStream* input = counting.get();
    ASSERT_TRUE(repair.SetInput(std::move(counting), large.c_str()));
    EXPECT_EQ(ParseAndRepair(repair).parse, JRVP_ERR_UNKNOWN_FORMAT);
    EXPECT_GT(input->Counts().reads, 1);
}

// The held bytes serve every container's parse and repair as the file
// does: damaged clips of each container repair to the same bytes, with the
// same codes and records, as from a stream that cannot be held (it cannot
// read at a position).
TEST_F(VideoRepairTest, AHeldInputParsesAndRepairsAsTheStreamItself)
{
    const char* const fixtures[] = {"clip.avi", "clip.wmv", "clip.flv", "clip.mkv", "clip_faststart.mp4", "clip.rm",
                                    "clip.ts",  "clip.vob", "clip.mp3", "clip.wav", "clip.ogg"};
    for (const char* name : fixtures) {
        SCOPED_TRACE(name);
        const std::string fixture = mendtest::RequireFixture(name);
        if (fixture.empty())
            return;
        std::vector<uint8_t> bytes = mendtest::ReadFileBytes(fixture);
        bytes.resize(bytes.size() * 7 / 10);
        const std::string path = dir.Path(std::string("cut-") + name);
        ASSERT_TRUE(mendtest::WriteFileBytes(path, bytes));

        CVideoRepair held;
        ASSERT_TRUE(held.SetFile(path.c_str()));
        const SearchOutcome fromHeld = ParseAndRepair(held);
        CVideoRepair streamed;
        ASSERT_TRUE(streamed.SetInput(std::make_unique<FaultyStream>(bytes), path.c_str()));
        const SearchOutcome fromStream = ParseAndRepair(streamed);

        EXPECT_EQ(fromHeld.parse, JRVP_OK);
        EXPECT_EQ(fromHeld.parse, fromStream.parse);
        EXPECT_EQ(fromHeld.records, fromStream.records);
        EXPECT_EQ(fromHeld.repair, fromStream.repair);
        EXPECT_TRUE(fromHeld.bytes == fromStream.bytes);
    }
}

// The real library, with the containers this build has: garbage of any
// name is no container's, and nothing is left that could be repaired.
TEST_F(VideoRepairTest, GarbageEndsAsUnknownFormatAfterTheWholeSearch)
{
    for (const char* name : {"garbage.mp4", "garbage.avi", "garbage.mkv", "garbage.ogg", "garbage", "garbage.bin"}) {
        SCOPED_TRACE(name);
        IVideoRepair* repair = CreateRepair();
        ASSERT_NE(repair, nullptr);
        ResultSink results;
        ASSERT_TRUE(repair->SetFile(MakeFile(name, 70000).c_str()));
        ASSERT_EQ(repair->OpenFile(nullptr, &ResultSink::OnResult, &results), 0);
        EXPECT_EQ(results.Wait(1, 60s), JRVP_ERR_UNKNOWN_FORMAT);
        EXPECT_EQ(repair->GetStatus(), JRVP_STATUS_IDLE);
        EXPECT_EQ(repair->GetErrorsCount(), 0);
        EXPECT_EQ(repair->GetProcess(), 0);
        MemoryVideoStream memory;
        EXPECT_EQ(repair->RepairFile(&memory, 1, &ResultSink::OnResult, &results, nullptr), JRVP_ERR_NOTHING_PARSED);
        DestroyRepair(repair);
    }
    DestroyRepair(nullptr);
}

}  // namespace
