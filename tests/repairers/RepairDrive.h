// Runs one repairer over a file and, when asked, repairs it into another.
#ifndef MENDTEST_REPAIRDRIVE_H
#define MENDTEST_REPAIRDRIVE_H

#include <string>
#include <vector>

#include "core/BaseStream.h"

namespace mendtest {

struct DriveOutcome {
    int parse = 1;
    std::vector<int> codes;
    int repair = 1;
};

inline void CollectDamageCode(int code, void* user)
{
    static_cast<std::vector<int>*>(user)->push_back(code);
}

// The repairer stays alive while inspect(repairer) runs after the parse.
template <typename Repairer, typename Inspect>
DriveOutcome DriveRepair(const std::string& in, const std::string& out, Inspect inspect)
{
    DriveOutcome o;
    int err = 0;
    CVideoFile input(in.c_str(), 0, &err);
    Repairer repair(&input);
    o.parse = repair.ParseStream(&CollectDamageCode, &o.codes);
    inspect(repair);
    if (!out.empty() && o.parse == 0) {
        CVideoFile output(out.c_str(), 2, &err);
        o.repair = repair.RepairFile(&output, 1, nullptr);
    }
    return o;
}

template <typename Repairer>
DriveOutcome DriveRepair(const std::string& in, const std::string& out = "")
{
    return DriveRepair<Repairer>(in, out, [](Repairer&) {});
}

}  // namespace mendtest

#endif
