// End-to-end driver of the shared library, as an application would use it:
// only the public header and the two exported functions.
//
//   mendcore_e2e repair  IN OUT   parse IN, then (if damage was recorded)
//                                 write a repaired copy to OUT at level 1
//   mendcore_e2e analyse IN       parse IN only
//
// Prints one line of key=value fields for bench/e2e.sh:
//   e2e mode=repair size=BYTES parse=CODE records=N repair=CODE|none
//       parse_s=S repair_s=S wall_s=S maxrss_kb=KIB
// Exit status: 0 on success, 1 when the parse failed, 2 when the repair
// failed, 3 on a usage error.
#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "mendcore/VideoRepair.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

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
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done = false;
        }
        int r = start(&ResultWaiter::OnResult, this);
        if (r != JRVP_OK)
            return r;
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

long MaxRssKiB()
{
    struct rusage ru;
    return getrusage(RUSAGE_SELF, &ru) == 0 ? ru.ru_maxrss : -1;
}

long long FileSize(const char* path)
{
    struct stat st;
    return stat(path, &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

int Usage()
{
    std::fprintf(stderr, "usage: mendcore_e2e repair IN OUT | mendcore_e2e analyse IN\n");
    return 3;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
        return Usage();
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

    const auto start = Clock::now();
    int parse = JRVP_ERR_OPEN_FAILED;
    if (repairer->SetFile(in)) {
        parse = waiter.Run([&](VPProcessResultCallback cb, void* user) {
            return repairer->OpenFile(nullptr, cb, user);
        });
    }
    const double parseSeconds = Seconds(start);
    const int records = parse == JRVP_OK ? repairer->GetErrorsCount() : 0;

    // A file with no recorded damage needs no copy, as in the application.
    std::string repairText = "none";
    int repairResult = JRVP_OK;
    double repairSeconds = 0;
    if (repair && parse == JRVP_OK && records > 0) {
        const auto repairStart = Clock::now();
        repairResult = waiter.Run([&](VPProcessResultCallback cb, void* user) {
            return repairer->RepairFile(out, 1, cb, user, nullptr);
        });
        repairSeconds = Seconds(repairStart);
        repairText = std::to_string(repairResult);
    }
    repairer.reset();  // joins the worker; its teardown is part of the cost
    const double wall = Seconds(start);

    std::printf("e2e mode=%s size=%lld parse=%d records=%d repair=%s parse_s=%.3f repair_s=%.3f wall_s=%.3f "
                "maxrss_kb=%ld\n",
                repair ? "repair" : "analyse", FileSize(in), parse, records, repairText.c_str(), parseSeconds,
                repairSeconds, wall, MaxRssKiB());
    if (parse != JRVP_OK)
        return 1;
    return repairResult == JRVP_OK ? 0 : 2;
}
