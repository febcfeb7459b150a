// The repair driver over the library's real repair object with a scripted
// repairer in place of a container's, so that stops, races and the whole
// repair road can be forced whatever containers the library knows.
#include <gtest/gtest.h>

#include <QFile>

#include <atomic>
#include <chrono>
#include <thread>

#include "QEncryptFileStream.h"
#include "RepairRecorder.h"
#include "ScriptedVideoRepair.h"
#include "support/Damage.h"
#include "support/Fixtures.h"

using namespace mendtest;

namespace {

// A scripted stage that waits for the stop gives up on its own only after
// the test's waits have run out, so a slow machine never ends it early.
constexpr int kSpinLimitMs = 2 * kHangGuardMs;

using Driven = ScriptedDriven;

class ScriptedDriver : public ::testing::Test {
protected:
    void SetUp() override
    {
        input_ = dir_.Path("input.avi");
        ASSERT_TRUE(WriteFileBytes(input_, PseudoRandomBytes(200000, 4)));
        folder_ = CleanTempFolder();
    }
    ScratchDir dir_;
    std::string input_;
    QString folder_;
};

std::vector<uint8_t> ReadDeciphered(const QString& path)
{
    bool ok = false;
    QEncryptFileStream in(path.toUtf8().constData(), 0, &ok);
    EXPECT_TRUE(ok);
    in.SetCryptKey(QRepairObject::kTempFileKey);
    std::vector<uint8_t> bytes(static_cast<size_t>(std::max(0LL, in.GetLength())));
    EXPECT_EQ(in.Read(bytes.data(), static_cast<unsigned>(bytes.size())), bytes.size());
    return bytes;
}

}  // namespace

TEST_F(ScriptedDriver, DamagedFileIsRewrittenEncipheredIntoNumberedTemporaryFiles)
{
    RepairScript script;
    script.errors = {JRVP_DAMAGE_INDEX};
    script.copyInput = true;

    Driven first(input_, script);
    ASSERT_TRUE(first.driver.startRepair());
    ASSERT_TRUE(first.rec.WaitFinished());
    EXPECT_EQ(first.rec.events, QStringList({"state 2", "temp", "key", "state 6"}));
    EXPECT_EQ(first.rec.tempFile, folder_ + "/repair");
    EXPECT_EQ(first.rec.stateAtTempFile, QRepairObject::StateRepairing);
    EXPECT_EQ(first.rec.key, QRepairObject::kTempFileKey);
    for (size_t i = first.rec.progressAtTempFile; i < first.rec.progress.size(); ++i)
        EXPECT_GE(first.rec.progress[i], 80.0);
    EXPECT_EQ(ReadDeciphered(first.rec.tempFile), ReadFileBytes(input_));
    EXPECT_NE(ReadFileBytes(first.rec.tempFile.toStdString()), ReadFileBytes(input_));

    Driven second(input_, script);
    ASSERT_TRUE(second.driver.startRepair());
    ASSERT_TRUE(second.rec.WaitFinished());
    EXPECT_EQ(second.rec.tempFile, folder_ + "/repair - 1");
    EXPECT_EQ(second.rec.states.back(), QRepairObject::StateRepaired);
}

TEST_F(ScriptedDriver, UndamagedFileWritesNothing)
{
    Driven d(input_, RepairScript{});
    ASSERT_TRUE(d.driver.startRepair());
    ASSERT_TRUE(d.rec.WaitFinished());
    EXPECT_EQ(d.rec.events, QStringList({"state 2", "state 3", "temp", "key"}));
    EXPECT_EQ(d.rec.tempFile, QString::fromStdString(input_));
    EXPECT_EQ(d.rec.key, 0);
    EXPECT_TRUE(TempFolderFiles().isEmpty());
}

TEST_F(ScriptedDriver, FailuresCarryTheLibrarysCode)
{
    RepairScript parseFails;
    parseFails.openResult = MEND_ERR_CANNOT_REPAIR;
    RepairScript repairFails;
    repairFails.errors = {JRVP_DAMAGE_STRUCTURE};
    repairFails.repairResult = MEND_ERR_WRITE;
    for (const RepairScript& script : {parseFails, repairFails}) {
        Driven d(input_, script);
        ASSERT_TRUE(d.driver.startRepair());
        ASSERT_TRUE(d.rec.WaitFinished());
        EXPECT_EQ(d.rec.states.back(), QRepairObject::StateFailed) << d.rec.events.join(", ").toStdString();
        ASSERT_FALSE(d.rec.errors.empty());
        EXPECT_EQ(d.rec.errors.back(), TranslateResult(script.openResult ? script.openResult : script.repairResult));
    }
}

TEST_F(ScriptedDriver, StopDuringAnalysisOrRepairIsAborted)
{
    RepairScript analysing;
    analysing.openUntilAbort = true;
    analysing.spinLimitMs = kSpinLimitMs;
    RepairScript repairing;
    repairing.errors = {JRVP_DAMAGE_INDEX};
    repairing.repairUntilAbort = true;
    repairing.spinLimitMs = kSpinLimitMs;
    for (const RepairScript& script : {analysing, repairing}) {
        Driven d(input_, script);
        const int busyState = script.repairUntilAbort ? QRepairObject::StateRepairing : QRepairObject::StateAnalysing;
        ASSERT_TRUE(d.driver.startRepair());
        // Stopped as soon as the driver reports the state, whether or not
        // the library's worker has begun.
        ASSERT_TRUE(WaitFor([&] { return d.driver.state() == busyState; }));
        d.driver.stopRepair();
        ASSERT_TRUE(d.rec.WaitFinished());
        EXPECT_EQ(d.rec.states.back(), QRepairObject::StateAborted);
        EXPECT_EQ(d.rec.errors, std::vector<int>{JRVP_ERR_ABORTED});
        // A stopped driver can start again.
        EXPECT_TRUE(d.driver.startRepair());
        d.driver.stopRepair();
    }
}

// A stop queues the stopped run's result; a restart before it is delivered
// must not take that result for its own.
TEST_F(ScriptedDriver, RestartAfterStopIgnoresTheStoppedRunsResult)
{
    RepairScript script;
    script.openUntilAbort = true;
    script.spinLimitMs = kSpinLimitMs;
    Driven d(input_, script);
    auto analysing = [&] { return d.repair->GetStatus() == JRVP_STATUS_PARSING; };
    ASSERT_TRUE(d.driver.startRepair());
    ASSERT_TRUE(WaitFor(analysing));
    d.driver.stopRepair();
    ASSERT_TRUE(d.driver.startRepair());
    ASSERT_TRUE(WaitFor(analysing));
    // stopRepair joined the stopped run's worker, so its result was queued
    // before the restart: one turn of the event loop delivers whatever is
    // still queued.
    QCoreApplication::processEvents();
    EXPECT_EQ(d.driver.state(), QRepairObject::StateAnalysing);
    d.driver.stopRepair();
    ASSERT_TRUE(d.rec.WaitFinished());
    EXPECT_EQ(d.rec.events, QStringList({"state 2", "state 2", "error -15", "state 8"}));
}

// The analysis ends with success just before the stop reaches it: the
// result is already queued when stopRepair returns. A stopped run must not
// end "Undamaged" and offer the damaged original as sound.
TEST_F(ScriptedDriver, SuccessArrivingAfterStopCountsAsAborted)
{
    Driven d(input_, RepairScript{});
    // Runs on the library's worker thread as it hands over its result.
    std::atomic<int> posted{1};
    QObject::connect(&d.driver, &QRepairObject::emitProcessResult, &d.driver, [&](int r) { posted = r; },
                     Qt::DirectConnection);
    ASSERT_TRUE(d.driver.startRepair());
    // Without the event loop, so the result stays queued; the guard is for
    // a hang only.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kHangGuardMs);
    while (posted == 1 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(posted, 0) << "the analysis did not succeed";
    d.driver.stopRepair();
    ASSERT_TRUE(d.rec.WaitFinished());
    EXPECT_EQ(d.rec.events, QStringList({"state 2", "error -15", "state 8"}));
    EXPECT_TRUE(d.rec.tempFile.isEmpty());
}
