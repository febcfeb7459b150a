#include "QEncryptFileStream.h"

#include <QMutexLocker>

QEncryptFileStream::QEncryptFileStream(const char* path, unsigned int mode, bool* ok)
{
    m_handle = mediaOpenStream(path, static_cast<int>(mode));
    if (ok)
        *ok = m_handle != nullptr;
}

QEncryptFileStream::~QEncryptFileStream()
{
    if (m_handle)
        mediaReleaseStream(m_handle);
    m_handle = nullptr;
}

int QEncryptFileStream::SetCryptKey(unsigned int key)
{
    const int result = mediaSetStreamKey(m_handle, key);
    if (result == 1)
        m_key = key;
    return result;
}

unsigned int QEncryptFileStream::Read(void* buffer, unsigned int size)
{
    QMutexLocker lock(&m_mutex);
    return mediaReadStream(m_handle, buffer, size);
}

unsigned int QEncryptFileStream::Write(const void* buffer, unsigned int size)
{
    QMutexLocker lock(&m_mutex);
    return mediaWriteStream(m_handle, buffer, size);
}

long long QEncryptFileStream::GetLength()
{
    QMutexLocker lock(&m_mutex);
    return mediaStreamLength(m_handle);
}

long long QEncryptFileStream::GetPos()
{
    QMutexLocker lock(&m_mutex);
    return mediaStreamPosition(m_handle);
}

long long QEncryptFileStream::SeekTo(long long pos)
{
    QMutexLocker lock(&m_mutex);
    const long long length = mediaStreamLength(m_handle);
    if (pos >= 0 && length >= 0)
        mediaSeekStream(m_handle, pos < length ? pos : length);
    return GetPos();
}
