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
    // Accepted only while parsing or repairing, so a late abort never cuts
    // a later operation short.
    void AbortTask()
    {
        CAutoLock lock(m_lock);
        int s = m_status.load();
        if (s == JRVP_STATUS_PARSING || s == JRVP_STATUS_REPAIRING)
            m_abort.store(true);
    }
    // The owner's own abort request, read by every test of the flag. The
    // repair object asks for an abort before its worker has moved this
    // repairer to parsing or repairing; that request must still count.
    void SetAbortSource(const std::atomic<bool>* source) { m_source = source; }
    // For scan and copy loops: true once when an abort was asked for here,
    // and every time while the owner's request stands.
    bool TestAbort()
    {
        if (m_abort.load(std::memory_order_relaxed) && m_abort.exchange(false))
            return true;
        return m_source && m_source->load(std::memory_order_relaxed);
    }
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
    const std::atomic<bool>* m_source = nullptr;
    CRecursiveMutex m_lock;
};

#endif
