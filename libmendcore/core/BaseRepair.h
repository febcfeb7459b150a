// The base of the linear container repairers: a repairer implements Open
// (one scan of the whole input that records damage) and the repair levels.
#ifndef MENDCORE_BASEREPAIR_H
#define MENDCORE_BASEREPAIR_H

#include <utility>
#include <vector>

#include "core/ReadWindow.h"
#include "core/RepairCommon.h"

class CBaseRepair : public CRepairCommon {
public:
    explicit CBaseRepair(IBaseStream* in) : CRepairCommon(in) {}
    ~CBaseRepair() override;

    int ParseStream(VPFileErrorCallback onError, void* user) override;
    void Close() override;

    // Scans the whole input and records damage; at least 0 when parsed,
    // otherwise an internal code (-3 when it saw the abort flag).
    virtual int Open() = 0;

protected:
    // A damaged byte run [first, second), in file order.
    using ByteRuns = std::vector<std::pair<int64_t, int64_t>>;

    // Copies the input's [from, to) to the output's position, leaving out
    // the parts that lie in a run of `skip` (sorted, not overlapping).
    // Adds the bytes left out to *removed when given. WriteToFile's codes.
    int CopyExcept(int64_t from, int64_t to, const ByteRuns& skip, int64_t* removed = nullptr);

    // Finds, in a block, the first byte that can start a unit; null when
    // none does.
    using CandidateFinder = const uint8_t* (*)(const uint8_t* block, size_t n);
    static const uint8_t* FindByteFF(const uint8_t* block, size_t n);
    static const uint8_t* FindNonZero(const uint8_t* block, size_t n);

    // The first position in [from, to) whose byte can start a unit, or to:
    // a damaged run is crossed a block at a time instead of a byte at a
    // time. MEND_ERR_READ when a read fails, MEND_ERR_ABORTED when the task
    // is aborted on the way.
    int64_t NextCandidate(int64_t from, int64_t to, CandidateFinder find);

    // The n bytes at pos, from a window of the input read a large block at
    // a time: a walk from unit to unit costs one read per block, not per
    // header. Null when they are not all in the input or a read fails. The
    // bytes stay valid until the next call.
    const uint8_t* PeekInput(int64_t pos, unsigned int n);

    // The window PeekInput reads through; a parser that walks its units in
    // place may use it directly. Emptied by Close.
    CReadWindow m_inputWindow;
};

#endif
