// The base of the linear container repairers: a repairer implements Open
// (one scan of the whole input that records damage) and the repair levels.
#ifndef MENDCORE_BASEREPAIR_H
#define MENDCORE_BASEREPAIR_H

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
};

#endif
