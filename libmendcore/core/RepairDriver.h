// What the repairer bases share around a container's own code: stages run
// on a worker thread where nothing may unwind, the repair driver with its
// buffered output, progress, and the block copy from input to output.
#ifndef MENDCORE_REPAIRDRIVER_H
#define MENDCORE_REPAIRDRIVER_H

#include <stdint.h>

#include <algorithm>
#include <memory>

#include "core/AutoLock.h"
#include "core/BaseStream.h"
#include "core/ErrorList.h"
#include "core/Guarded.h"
#include "core/ResultCodes.h"
#include "core/TaskState.h"

// Runs a repair level with `slot` pointing at a buffer over out for its
// duration; repairers read back and patch what they wrote, which the buffer
// serves like any stream. Pending bytes must reach the output before success
// is reported, so a failed flush turns success into a write error; and a
// level that met a read error did not copy what it meant to, whatever it
// made of the short data.
template <typename F>
int RunWithBufferedOutput(IBaseStream* out, CBufferStream* input, CTaskState& state, CBufferStream*& slot,
                          F&& level)
{
    std::unique_ptr<CBufferStream> buffered;
    int r = GuardedCall(MEND_ERR_NO_MEMORY, [&] {
        buffered = std::make_unique<CBufferStream>(out);
        return 0;
    });
    if (r < 0)
        return r;
    {
        CAutoLock lock(state.Lock());
        slot = buffered.get();
    }
    r = GuardedCall(MEND_ERR_NO_MEMORY, level);
    if (buffered->FlushBuffer() != 0 || buffered->Failed())
        r = r < 0 ? r : MEND_ERR_WRITE;
    if (r >= 0 && input->Failed())
        r = MEND_ERR_READ;
    {
        CAutoLock lock(state.Lock());
        slot = nullptr;
    }
    return r;
}

// The repair driver of both bases: refuses a repair before a parse, skips
// a file without damage, runs the level over a buffered output and
// translates its result. Every end of a repair that got started reads as
// finished.
template <typename F>
int DriveRepair(CTaskState& state, const CErrorList& errors, IBaseStream* out, CBufferStream* input, int level,
                CBufferStream*& slot, F&& runLevel)
{
    {
        CAutoLock lock(state.Lock());
        int status = state.GetStatus();
        if (status < JRVP_STATUS_PARSE_FAILED)
            return JRVP_ERR_NOT_READY;
        if (status == JRVP_STATUS_PARSE_FAILED && level < 3)
            return JRVP_ERR_PARSE_FAILED;
        if (errors.GetErrorsCount() == 0) {
            state.SetStatus(JRVP_STATUS_REPAIRED);
            return JRVP_OK;
        }
        state.SetStatus(JRVP_STATUS_REPAIRING);
    }
    int r;
    if (!out)
        r = JRVP_ERR_NOT_READY;
    else if (!input)
        r = JRVP_ERR_OPEN_FAILED;
    else if (level < 0 || level > 3)
        r = JRVP_ERR_UNKNOWN;
    else
        r = TranslateResult(RunWithBufferedOutput(out, input, state, slot, runLevel));
    state.SetStatus(JRVP_STATUS_REPAIRED);
    state.ClearAbort();
    return r;
}

// Progress of the parse (input position) or the repair (output position),
// both measured against the input's length; 0 at any other time.
inline int CurrentProgress(CTaskState& state, CBufferStream* input, CBufferStream* output, int64_t inputLength)
{
    CAutoLock lock(state.Lock());
    switch (state.GetStatus()) {
    case JRVP_STATUS_PARSING:
        return input ? CTaskState::Progress(input->GetPosHint(), inputLength) : 0;
    case JRVP_STATUS_REPAIRING:
        return output ? CTaskState::Progress(output->GetPosHint(), inputLength) : 0;
    default:
        return 0;
    }
}

// Copies n bytes from the input's position to the output's position.
// 0 when complete; -1 without streams, -3 on abort, -5 when the input falls
// short, -6 when the output does. n <= 0 copies nothing.
inline int CopyInputToOutput(IBaseStream* input, IBaseStream* output, int64_t n, CTaskState& state)
{
    if (!input || !output)
        return MEND_ERR_NO_STREAM;
    uint8_t block[CBufferStream::kBufferSize];
    while (n > 0) {
        if (state.TestAbort())
            return MEND_ERR_ABORTED;
        unsigned int want = static_cast<unsigned int>(std::min<int64_t>(n, sizeof(block)));
        if (input->Read(block, want) != want)
            return MEND_ERR_READ;
        if (output->Write(block, want) != want)
            return MEND_ERR_WRITE;
        n -= want;
    }
    return 0;
}

#endif
