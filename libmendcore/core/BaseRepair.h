// The base of the linear container repairers: buffered input, output during
// a repair, status, progress, abort, error records and code translation.
// A repairer implements Open (the analysis) and the repair levels.
#ifndef MENDCORE_BASEREPAIR_H
#define MENDCORE_BASEREPAIR_H

#include <stdint.h>

#include <memory>

#include "core/BaseStream.h"
#include "core/ErrorList.h"
#include "core/IBaseRepair.h"
#include "core/ResultCodes.h"
#include "core/TaskState.h"

class CBaseRepair : public IBaseRepair {
public:
    explicit CBaseRepair(IBaseStream* in);
    ~CBaseRepair() override;
    CBaseRepair(const CBaseRepair&) = delete;
    CBaseRepair& operator=(const CBaseRepair&) = delete;

    int ParseStream(VPFileErrorCallback onError, void* user) override;
    void Close() override;
    int GetProcess() override;
    int GetStatus() override { return m_state.GetStatus(); }
    int GetFormat() override { return m_format; }
    VPFileError* GetFileError(unsigned int index) override { return m_errors.GetFileError(index); }
    int GetErrorsCount() override { return m_errors.GetErrorsCount(); }
    int RepairFile(IBaseStream* out, int level, const char* refPath) override;
    void AbortTask() override { m_state.AbortTask(); }
    void SetAbortSource(const std::atomic<bool>* source) override { m_state.SetAbortSource(source); }

    // Scans the whole input and records damage; at least 0 when parsed,
    // otherwise an internal code (-3 when it saw the abort flag).
    virtual int Open() = 0;
    virtual int RepairLevel1() = 0;
    virtual int RepairLevel2() = 0;
    virtual int RepairLevel3(const char* refPath) = 0;

protected:
    // Copies n bytes from the input's position to the output's position.
    // 0 when complete; -1 without streams, -3 on abort, -5 when the input
    // falls short, -6 when the output does. n <= 0 copies nothing.
    int WriteToFile(int64_t n);

    void AddError(JRVPFileError code) { m_errors.AddError(code); }
    void AddError(JRVPFileError code, std::unique_ptr<VPInvalidDataSegment> segment)
    {
        m_errors.AddError(code, std::move(segment));
    }
    void AddErrorAt(JRVPFileError code, int64_t offset) { m_errors.AddErrorAt(code, offset); }
    void SolveError(JRVPFileError code) { m_errors.SolveError(code); }
    void CloseError() { m_errors.CloseError(); }
    bool TestAbort() { return m_state.TestAbort(); }

    std::unique_ptr<CBufferStream> m_input;
    // Set for the duration of one repair level: a buffer over the caller's
    // output, so small header writes cost no call each.
    CBufferStream* m_output = nullptr;
    int64_t m_inputLength = 0;
    int m_format = JRVP_FORMAT_NONE;

private:
    CTaskState m_state;
    CErrorList m_errors;
};

#endif
