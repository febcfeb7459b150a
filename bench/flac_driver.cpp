// The end-to-end driver's counterpart for FLAC, which no extension routes to
// a repairer: the same parse and repair, with the repairer built directly.
//
//   mendcore_flac_e2e repair IN OUT
//
// Prints the line of mendcore_e2e and exits with its codes.
#include <cstdio>
#include <cstring>

#include "DriverReport.h"
#include "core/BaseStream.h"
#include "repairers/FLACRepair.h"

using namespace mendbench;

int main(int argc, char** argv)
{
    ArmLimit();
    if (argc != 4 || std::strcmp(argv[1], "repair") != 0) {
        std::fprintf(stderr, "usage: mendcore_flac_e2e repair IN OUT\n");
        return 3;
    }
    const char* in = argv[2];
    const char* out = argv[3];
    DriverReport report;
    report.input = in;
    const auto start = Clock::now();
    {
        int err = 0;
        CVideoFile input(in, 0, &err);
        CFLACRepair repair(input.IsOpen() ? &input : nullptr);
        if (input.IsOpen())
            report.parse = repair.ParseStream(nullptr, nullptr);
        report.parseSeconds = Seconds(start);
        report.records = report.parse == JRVP_OK ? repair.GetErrorsCount() : 0;
        if (report.parse == JRVP_OK && report.records > 0) {
            const auto repairStart = Clock::now();
            CVideoFile output(out, 2, &err);
            report.repair = output.IsOpen() ? repair.RepairFile(&output, 1, nullptr) : JRVP_ERR_CANNOT_OPEN;
            report.repairSeconds = Seconds(repairStart);
            report.repaired = true;
        }
    }
    return PrintReport(report, start);
}
