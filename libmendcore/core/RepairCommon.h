// What the two repairer bases share around a container's own code: the
// buffered input, the output of a running repair, status, progress, abort,
// the damage records, and the repair driver with its code translation.
// CBaseRepair adds the linear scan, TBaseRepair the element tree.
#ifndef MENDCORE_REPAIRCOMMON_H
#define MENDCORE_REPAIRCOMMON_H

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <utility>
#include <vector>

#include "core/BaseStream.h"
#include "core/ErrorList.h"
#include "core/LargePages.h"
#include "core/IBaseRepair.h"
#include "core/ResultCodes.h"
#include "core/TaskState.h"

// Sees each block that WriteToFile copies, in order, while it is in memory:
// a repairer that must look at the bytes it copies reads them only once.
// The block has been written already; the observer may change its n bytes
// and the room bytes after them, which the copy does not use again.
class ICopyObserver {
public:
    virtual ~ICopyObserver() = default;
    virtual void OnCopied(uint8_t* block, size_t n, size_t room) = 0;
};

class CRepairCommon : public IBaseRepair {
public:
    explicit CRepairCommon(IBaseStream* in);
    ~CRepairCommon() override;
    CRepairCommon(const CRepairCommon&) = delete;
    CRepairCommon& operator=(const CRepairCommon&) = delete;

    // Progress of the parse (input position) or of the repair (output
    // position), both against the input's length; 0 at any other time.
    int GetProcess() override;
    int GetStatus() override { return m_state.GetStatus(); }
    int GetFormat() override { return m_format; }
    VPFileError* GetFileError(unsigned int index) override { return m_errors.GetFileError(index); }
    int GetErrorsCount() override { return m_errors.GetErrorsCount(); }
    // Refuses a repair before a parse, skips a file without damage, runs the
    // level over a buffered output and translates its result. Every end of
    // a repair that got started reads as finished.
    int RepairFile(IBaseStream* out, int level, const char* refPath) override;
    void AbortTask() override { m_state.AbortTask(); }
    void SetAbortSource(const std::atomic<bool>* source) override { m_state.SetAbortSource(source); }

    virtual int RepairLevel1() = 0;
    virtual int RepairLevel2() = 0;
    virtual int RepairLevel3(const char* refPath) = 0;

protected:
    // Forgets the output, clears the abort flag and releases the records:
    // the part of Close that both bases run last.
    void CloseCommon();

    // Copies n bytes from the input's position to the output's position.
    // 0 when complete; -1 without streams, -3 on abort, -5 when the input
    // falls short, -6 when the output does. n <= 0 copies nothing. An
    // observer is shown every block once it is written.
    int WriteToFile(int64_t n, ICopyObserver* observer = nullptr);
    // Copies the input's bytes [from, to) to the output's position; the
    // codes of WriteToFile, -5 when the input cannot be sought there.
    int CopySpan(int64_t from, int64_t to);
    // Records each run as a damaged data segment {start, end}.
    void AddSegments(const std::vector<std::pair<int64_t, int64_t>>& runs);

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
    // Progress of the repair once its output is gone; under the state lock.
    int m_repairProgress = 0;
    // WriteToFile's block, made on its first use, as large as the copies
    // it has served need (up to 1 MiB), and kept for the next.
    ReadBuffer m_copyBlock;
    // The blocks of WriteToFile's read-ahead, made on its first long copy
    // and kept for the next: a rebuild copies one run after another.
    ReadBuffer m_pipeBlocks;
    int64_t m_inputLength = 0;
    int m_format = JRVP_FORMAT_NONE;
    CTaskState m_state;
    CErrorList m_errors;

private:
    int RunLevel(IBaseStream* out, int level, const char* refPath);
    template <typename Pipe>
    int WriteThroughPipe(Pipe& pipe, int64_t n, ICopyObserver* observer);
};

#endif
