// Status, abort flag and progress of one repairer: shared by the repairer
// bases. The caller's thread reads the status and sets the abort flag while
// the worker runs, so both are atomic; the lock only orders status changes
// against AbortTask and is never held during long work.
#ifndef MENDCORE_TASKSTATE_H
#define MENDCORE_TASKSTATE_H

#include <atomic>

#include "core/AutoLock.h"
#include "mendcore/VideoRepair.h"

class CTaskState {
public:
    int GetStatus() const { return m_status.load(); }
    void SetStatus(int status)
    {
        CAutoLock lock(m_lock);
        m_status.store(status);
    }
    // Accepted while parsing or repairing, and before a new repairer's
    // first parse (status 0): the repair object installs a repairer and
    // starts its parse in two steps, and an abort arriving between them
    // must not be lost. A finished parse or repair ignores it, so a late
    // abort never cuts a later operation short.
    void AbortTask()
    {
        CAutoLock lock(m_lock);
        int s = m_status.load();
        if (s == JRVP_STATUS_IDLE || s == JRVP_STATUS_PARSING || s == JRVP_STATUS_REPAIRING)
            m_abort.store(true);
    }
    // For scan and copy loops: true once when an abort was asked for.
    bool TestAbort() { return m_abort.load(std::memory_order_relaxed) && m_abort.exchange(false); }
    void ClearAbort() { m_abort.store(false); }
    pthread_mutex_t* Lock() { return m_lock.Get(); }

    // pos of length in ten-thousandths, 0..10000, in 64-bit arithmetic.
    static int Progress(long long pos, long long length)
    {
        if (length <= 0)
            return 10000;
        if (pos <= 0)
            return 0;
        if (pos >= length)
            return 10000;
        return static_cast<int>(static_cast<__int128>(pos) * 10000 / length);
    }

private:
    std::atomic<int> m_status{JRVP_STATUS_IDLE};
    std::atomic<bool> m_abort{false};
    CRecursiveMutex m_lock;
};

#endif
