// Stages of a repair run on a worker thread: nothing may unwind out of it,
// and a repair level writes through a buffer of its own over the caller's
// output. Shared by the repairer bases.
#ifndef MENDCORE_GUARDED_H
#define MENDCORE_GUARDED_H

#include <memory>
#include <new>

#include "core/AutoLock.h"
#include "core/BaseStream.h"
#include "core/ResultCodes.h"
#include "core/TaskState.h"

// Runs one stage and turns an escaping exception into an internal code.
template <typename F>
int Guarded(F&& stage)
{
    try {
        return stage();
    } catch (const std::bad_alloc&) {
        return MEND_ERR_NO_MEMORY;
    } catch (...) {
        return JRVP_ERR_UNKNOWN;  // outside the internal table: becomes -16
    }
}

// Runs a repair level with `slot` pointing at a buffer over out for its
// duration; repairers read back and patch what they wrote, which the buffer
// serves like any stream. Pending bytes must reach the output before success
// is reported, so a failed flush turns success into a write error.
template <typename F>
int RunWithBufferedOutput(IBaseStream* out, CTaskState& state, CBufferStream*& slot, F&& level)
{
    std::unique_ptr<CBufferStream> buffered;
    int r = Guarded([&] {
        buffered = std::make_unique<CBufferStream>(out);
        return 0;
    });
    if (r < 0)
        return r;
    {
        CAutoLock lock(state.Lock());
        slot = buffered.get();
    }
    r = Guarded(level);
    if (buffered->FlushBuffer() != 0 || buffered->Failed())
        r = r < 0 ? r : MEND_ERR_WRITE;
    {
        CAutoLock lock(state.Lock());
        slot = nullptr;
    }
    return r;
}

#endif
