// Scoped lock over a POSIX mutex, and the recursive mutex the library's
// streams and repairers hold.
#ifndef MENDCORE_AUTOLOCK_H
#define MENDCORE_AUTOLOCK_H

#include <pthread.h>

#include <atomic>
#include <thread>

// A recursive POSIX mutex owned by the object that holds it.
class CRecursiveMutex {
public:
    CRecursiveMutex();
    ~CRecursiveMutex();
    CRecursiveMutex(const CRecursiveMutex&) = delete;
    CRecursiveMutex& operator=(const CRecursiveMutex&) = delete;

    pthread_mutex_t* Get() { return &m_mutex; }

private:
    pthread_mutex_t m_mutex;
};

// Locks on construction, unlocks on destruction. A holder may release the
// lock early (before long work); the release at the end of the scope then
// does nothing.
class CAutoLock {
public:
    explicit CAutoLock(pthread_mutex_t* mutex);
    explicit CAutoLock(CRecursiveMutex& mutex) : CAutoLock(mutex.Get()) {}
    virtual ~CAutoLock();
    CAutoLock(const CAutoLock&) = delete;
    CAutoLock& operator=(const CAutoLock&) = delete;

    void Release();

private:
    pthread_mutex_t* m_mutex;
};

// The recursive lock of the byte streams. A repairer calls a stream for
// every few bytes it reads, always from one thread at a time, so the lock
// must cost next to nothing when nobody else holds it: a first entry is one
// exchange, a re-entry by the holder no atomic operation at all. Another
// thread that finds it held yields until it is free; streams are never held
// across long work.
class CStreamLock {
public:
    CStreamLock() = default;
    CStreamLock(const CStreamLock&) = delete;
    CStreamLock& operator=(const CStreamLock&) = delete;

    void Lock()
    {
        const pthread_t self = pthread_self();
        // Only the holder ever stores its own id here, so reading our own id
        // means we hold the lock.
        if (pthread_equal(m_owner.load(std::memory_order_relaxed), self)) {
            ++m_depth;
            return;
        }
        while (m_busy.exchange(true, std::memory_order_acquire))
            std::this_thread::yield();
        m_owner.store(self, std::memory_order_relaxed);
        m_depth = 1;
    }
    void Unlock()
    {
        if (--m_depth == 0) {
            m_owner.store(pthread_t(), std::memory_order_relaxed);
            m_busy.store(false, std::memory_order_release);
        }
    }

private:
    std::atomic<bool> m_busy{false};
    std::atomic<pthread_t> m_owner{pthread_t()};
    unsigned int m_depth = 0;
};

// Holds a CStreamLock for a scope.
class CStreamGuard {
public:
    explicit CStreamGuard(CStreamLock& lock) : m_lock(lock) { m_lock.Lock(); }
    ~CStreamGuard() { m_lock.Unlock(); }
    CStreamGuard(const CStreamGuard&) = delete;
    CStreamGuard& operator=(const CStreamGuard&) = delete;

private:
    CStreamLock& m_lock;
};

#endif
