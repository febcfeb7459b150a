// What the end-to-end drivers measure and print: the one key=value line
// that bench/e2e.sh reads, and the exit status that goes with it.
#ifndef MENDBENCH_DRIVERREPORT_H
#define MENDBENCH_DRIVERREPORT_H

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "mendcore/VideoRepair.h"

namespace mendbench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Ends the process (SIGALRM, exit status 142 in a shell) once E2E_LIMIT
// seconds have passed, when that is set: the hang guard of a timed run,
// without a timeout program whose own start the whole-process time of the
// run would include.
inline void ArmLimit()
{
    const char* limit = std::getenv("E2E_LIMIT");
    if (limit && std::atoi(limit) > 0)
        alarm(static_cast<unsigned>(std::atoi(limit)));
}

struct DriverReport {
    const char* mode = "repair";
    const char* input = nullptr;
    int parse = JRVP_ERR_OPEN_FAILED;
    int records = 0;
    bool repaired = false;  // a repair ran; repair holds its code
    int repair = JRVP_OK;
    double parseSeconds = 0;
    double repairSeconds = 0;
};

// Prints the line, with the wall time since start and the peak memory;
// returns the exit status: 0 on success, 1 when the parse failed, 2 when
// the repair failed.
inline int PrintReport(const DriverReport& r, Clock::time_point start)
{
    const double wall = Seconds(start);
    struct stat st;
    const long long size = stat(r.input, &st) == 0 ? static_cast<long long>(st.st_size) : -1;
    struct rusage ru;
    const long maxRss = getrusage(RUSAGE_SELF, &ru) == 0 ? ru.ru_maxrss : -1;
    const std::string repairText = r.repaired ? std::to_string(r.repair) : "none";
    std::printf("e2e mode=%s size=%lld parse=%d records=%d repair=%s parse_s=%.3f repair_s=%.3f wall_s=%.3f "
                "maxrss_kb=%ld\n",
                r.mode, size, r.parse, r.records, repairText.c_str(), r.parseSeconds, r.repairSeconds, wall,
                maxRss);
    if (r.parse != JRVP_OK)
        return 1;
    return !r.repaired || r.repair == JRVP_OK ? 0 : 2;
}

}  // namespace mendbench

#endif
