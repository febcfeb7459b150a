// End-to-end driver of the shared library, as an application would use it:
// only the public header and the two exported functions.
//
//   mendcore_e2e repair  IN OUT   parse IN, then (if damage was recorded)
//                                 write a repaired copy to OUT at level 1
//   mendcore_e2e analyse IN       parse IN only
//   mendcore_e2e abort IN OUT MS  asks for an abort MS milliseconds into the
//                                 parse of IN (OUT "-") or into the repair
//                                 of IN to OUT, and times how long the
//                                 library takes to end the operation
//
// Prints one line of key=value fields for bench/e2e.sh:
//   e2e mode=repair size=BYTES parse=CODE records=N repair=CODE|none
//       parse_s=S repair_s=S wall_s=S maxrss_kb=KIB
// and, in abort mode, abort_ms=MS (from the request to the result),
// aborted=0|1 (whether the operation ended as aborted rather than done) and
// poll_max_ms=MS (the longest status poll before the request).
// Exit status: 0 on success, 1 when the parse failed, 2 when the repair
// failed, 3 on a usage error; in abort mode 0 when the operation ended.
#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <memory>
#include <mutex>

#include "DriverReport.h"
#include "mendcore/VideoRepair.h"

using namespace mendbench;

namespace {

// The result callbacks run on the library's worker thread; the main thread
// waits here until one has fired.
class ResultWaiter {
public:
    static void OnResult(JRVPProcessResult result, void* user)
    {
        auto* self = static_cast<ResultWaiter*>(user);
        std::lock_guard<std::mutex> lock(self->m_mutex);
        self->m_result = result;
        self->m_done = true;
        self->m_cv.notify_one();
    }

    // Starts one operation; a start that fails never calls back, so its code
    // is the result.
    template <typename Start>
    int Run(Start start)
    {
        int r = Begin(start);
        return r != JRVP_OK ? r : Wait();
    }
    template <typename Start>
    int Begin(Start start)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done = false;
        }
        return start(&ResultWaiter::OnResult, this);
    }
    int Wait()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait(lock, [this] { return m_done; });
        return m_result;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_done = false;
    int m_result = JRVP_ERR_UNKNOWN;
};

struct RepairDeleter {
    void operator()(IVideoRepair* r) const { DestroyRepair(r); }
};

int Usage()
{
    std::fprintf(stderr, "usage: mendcore_e2e repair IN OUT | mendcore_e2e analyse IN | mendcore_e2e abort IN OUT|- MS\n");
    return 3;
}

// Starts the operation, asks for an abort after `after`, and times the wait
// for its result: the latency a user's Cancel has.
template <typename Start>
int TimeAbort(IVideoRepair* repairer, ResultWaiter& waiter, Start start, int afterMs)
{
    int r = waiter.Begin(start);
    if (r != JRVP_OK)
        return r;
    // Until then the caller polls as the application's rows do: a poll must
    // never wait on the worker's reads.
    double pollMax = 0;
    for (const auto until = Clock::now() + std::chrono::milliseconds(afterMs); Clock::now() < until;) {
        const auto polled = Clock::now();
        repairer->GetStatus();
        repairer->GetProcess();
        pollMax = std::max(pollMax, Seconds(polled));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const auto asked = Clock::now();
    repairer->AbortTask();
    r = waiter.Wait();
    std::printf("e2e mode=abort result=%d aborted=%d abort_ms=%.1f poll_max_ms=%.2f\n", r,
                r == JRVP_ERR_ABORTED ? 1 : 0, Seconds(asked) * 1000, pollMax * 1000);
    return 0;
}

int AbortMode(const char* in, const char* out, int afterMs)
{
    std::unique_ptr<IVideoRepair, RepairDeleter> repairer(CreateRepair());
    if (!repairer || !repairer->SetFile(in))
        return 1;
    ResultWaiter waiter;
    auto parse = [&](VPProcessResultCallback cb, void* user) { return repairer->OpenFile(nullptr, cb, user); };
    if (std::strcmp(out, "-") == 0)
        return TimeAbort(repairer.get(), waiter, parse, afterMs);
    if (waiter.Run(parse) != JRVP_OK)
        return 1;
    return TimeAbort(
        repairer.get(), waiter,
        [&](VPProcessResultCallback cb, void* user) { return repairer->RepairFile(out, 1, cb, user, nullptr); },
        afterMs);
}

}  // namespace

int main(int argc, char** argv)
{
    ArmLimit();
    if (argc < 3)
        return Usage();
    if (std::strcmp(argv[1], "abort") == 0)
        return argc == 5 ? AbortMode(argv[2], argv[3], std::atoi(argv[4])) : Usage();
    const bool repair = std::strcmp(argv[1], "repair") == 0;
    if (repair ? argc != 4 : (std::strcmp(argv[1], "analyse") != 0 || argc != 3))
        return Usage();
    const char* in = argv[2];
    const char* out = repair ? argv[3] : nullptr;

    std::unique_ptr<IVideoRepair, RepairDeleter> repairer(CreateRepair());
    if (!repairer) {
        std::fprintf(stderr, "mendcore_e2e: CreateRepair failed\n");
        return 1;
    }
    ResultWaiter waiter;

    DriverReport report;
    report.mode = repair ? "repair" : "analyse";
    report.input = in;
    const auto start = Clock::now();
    if (repairer->SetFile(in)) {
        report.parse = waiter.Run([&](VPProcessResultCallback cb, void* user) {
            return repairer->OpenFile(nullptr, cb, user);
        });
    }
    report.parseSeconds = Seconds(start);
    report.records = report.parse == JRVP_OK ? repairer->GetErrorsCount() : 0;

    // A file with no recorded damage needs no copy, as in the application.
    if (repair && report.parse == JRVP_OK && report.records > 0) {
        const auto repairStart = Clock::now();
        report.repair = waiter.Run([&](VPProcessResultCallback cb, void* user) {
            return repairer->RepairFile(out, 1, cb, user, nullptr);
        });
        report.repairSeconds = Seconds(repairStart);
        report.repaired = true;
    }
    repairer.reset();  // joins the worker; its teardown is part of the cost
    return PrintReport(report, start);
}
