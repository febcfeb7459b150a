// Scoped lock over a POSIX mutex, and the recursive mutex the library's
// streams and repairers hold.
#ifndef MENDCORE_AUTOLOCK_H
#define MENDCORE_AUTOLOCK_H

#include <pthread.h>

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

#endif
