#include "core/AutoLock.h"

CRecursiveMutex::CRecursiveMutex()
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&m_mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

CRecursiveMutex::~CRecursiveMutex()
{
    pthread_mutex_destroy(&m_mutex);
}

CAutoLock::CAutoLock(pthread_mutex_t* mutex) : m_mutex(mutex)
{
    if (m_mutex)
        pthread_mutex_lock(m_mutex);
}

CAutoLock::~CAutoLock()
{
    Release();
}

void CAutoLock::Release()
{
    if (m_mutex) {
        pthread_mutex_unlock(m_mutex);
        m_mutex = nullptr;
    }
}
