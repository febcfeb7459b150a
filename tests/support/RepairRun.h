// Drives one container's repairer directly, as the library's repair object
// would: parse a file, then, when the parse succeeded and an output path is
// given, repair into it at level 1.
#ifndef MENDTEST_REPAIRRUN_H
#define MENDTEST_REPAIRRUN_H

#include <algorithm>
#include <string>
#include <vector>

#include "core/BaseStream.h"
#include "support/CountedInput.h"
#include "support/CountingStream.h"

namespace mendtest {

struct RepairOutcome {
    int parse = 1;
    std::vector<int> codes;  // the codes the parse reported, in order
    int repair = 1;          // 1 when no repair ran
    ReadCounts parseReads;   // what the parse asked of the input
    ReadCounts parseCalls;   // the calls it made to its own buffered input
    int64_t inputLength = 0;
};

inline void CollectCode(int code, void* user)
{
    static_cast<std::vector<int>*>(user)->push_back(code);
}

inline bool Has(const std::vector<int>& codes, int code)
{
    return std::find(codes.begin(), codes.end(), code) != codes.end();
}

// inspect(repairer, outcome) runs after the parse, before any repair, so a
// test can copy what the repairer found into its own outcome type.
template <class Repairer, class Outcome = RepairOutcome, class Inspect>
Outcome ParseAndRepairWith(const std::string& in, const std::string& out, Inspect inspect)
{
    static_assert(!CountsItsInput<Repairer>::value, "the driver counts the repairer's input itself");
    Outcome o;
    int err = 0;
    CVideoFile file(in.c_str(), 0, &err);
    CountingStream input(&file);
    o.inputLength = file.GetLength();
    WithCountedInput<Repairer> repair(&input);
    o.parse = repair.ParseStream(&CollectCode, &o.codes);
    o.parseReads = input.Counts();
    o.parseCalls = repair.InputCalls();
    inspect(repair, o);
    if (!out.empty() && o.parse == 0) {
        CVideoFile output(out.c_str(), 2, &err);
        o.repair = repair.RepairFile(&output, 1, nullptr);
    }
    return o;
}

template <class Repairer>
RepairOutcome ParseAndRepairWith(const std::string& in, const std::string& out = "")
{
    return ParseAndRepairWith<Repairer>(in, out, [](Repairer&, RepairOutcome&) {});
}

}  // namespace mendtest

#endif
