// The end-to-end driver's counterpart for FLAC, which no extension routes to
// a repairer: the same parse and repair, with the repairer built directly.
//
//   mendcore_flac_e2e repair IN OUT
//
// Prints the line of mendcore_e2e and exits with its codes.
#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/BaseStream.h"
#include "repairers/FLACRepair.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

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

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4 || std::strcmp(argv[1], "repair") != 0) {
        std::fprintf(stderr, "usage: mendcore_flac_e2e repair IN OUT\n");
        return 3;
    }
    const char* in = argv[2];
    const char* out = argv[3];
    const auto start = Clock::now();
    int err = 0;
    int parse = JRVP_ERR_OPEN_FAILED;
    int records = 0;
    std::string repairText = "none";
    int repairResult = JRVP_OK;
    double parseSeconds = 0;
    double repairSeconds = 0;
    {
        CVideoFile input(in, 0, &err);
        CFLACRepair repair(input.IsOpen() ? &input : nullptr);
        if (input.IsOpen())
            parse = repair.ParseStream(nullptr, nullptr);
        parseSeconds = Seconds(start);
        records = parse == JRVP_OK ? repair.GetErrorsCount() : 0;
        if (parse == JRVP_OK && records > 0) {
            const auto repairStart = Clock::now();
            CVideoFile output(out, 2, &err);
            repairResult = output.IsOpen() ? repair.RepairFile(&output, 1, nullptr) : JRVP_ERR_CANNOT_OPEN;
            repairSeconds = Seconds(repairStart);
            repairText = std::to_string(repairResult);
        }
    }
    const double wall = Seconds(start);
    std::printf("e2e mode=repair size=%lld parse=%d records=%d repair=%s parse_s=%.3f repair_s=%.3f wall_s=%.3f "
                "maxrss_kb=%ld\n",
                FileSize(in), parse, records, repairText.c_str(), parseSeconds, repairSeconds, wall, MaxRssKiB());
    if (parse != JRVP_OK)
        return 1;
    return repairResult == JRVP_OK ? 0 : 2;
}
