#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "core/BaseStream.h"
#include "core/ResultCodes.h"

unsigned int IBaseStream::ReadR(void* buf, unsigned int n)
{
    unsigned int got = Read(buf, n);
    std::reverse(static_cast<uint8_t*>(buf), static_cast<uint8_t*>(buf) + got);
    return got;
}

unsigned int IBaseStream::WriteR(const void* buf, unsigned int n)
{
    const uint8_t* src = static_cast<const uint8_t*>(buf);
    uint8_t small[16];
    std::vector<uint8_t> large;
    uint8_t* copy = small;
    if (n > sizeof(small)) {
        large.resize(n);
        copy = large.data();
    }
    std::reverse_copy(src, src + n, copy);
    return Write(copy, n);
}

CVideoFile::CVideoFile(const char* path, int mode, int* err)
{
    int flags = 0;
    switch (mode) {
    case 0: flags = O_RDONLY; break;
    case 1: flags = O_RDWR; break;
    case 2: flags = O_RDWR | O_CREAT | O_TRUNC; break;
    default: flags = -1; break;
    }
    if (path && flags != -1) {
        // O_NONBLOCK keeps a FIFO from blocking the open; it is cleared again
        // once the file is known to be regular.
        int fd = open(path, flags | O_CLOEXEC | O_NONBLOCK, 0666);
        if (fd >= 0) {
            struct stat st;
            if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
                int fl = fcntl(fd, F_GETFL);
                if (fl != -1 && fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != -1)
                    m_fd = fd;
            }
            if (m_fd < 0)
                close(fd);
        }
    }
    if (err)
        *err = m_fd >= 0 ? 0 : JRVP_ERR_CANNOT_OPEN;
}

CVideoFile::~CVideoFile()
{
    if (m_fd >= 0)
        close(m_fd);
}

unsigned int CVideoFile::Read(void* buf, unsigned int n)
{
    CStreamGuard lock(m_lock);
    if (m_fd < 0 || !buf)
        return 0;
    uint8_t* dst = static_cast<uint8_t*>(buf);
    unsigned int got = 0;
    while (got < n) {
        ssize_t r = pread(m_fd, dst + got, n - got, m_pos);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            m_failed = true;
            break;
        }
        if (r == 0)
            break;
        got += static_cast<unsigned int>(r);
        m_pos += r;
    }
    return got;
}

long long CVideoFile::ReadAt(long long pos, void* buf, unsigned int n)
{
    // pread names its offset, and the descriptor lives as long as this
    // object: no lock and no position are involved.
    if (m_fd < 0 || !buf || pos < 0)
        return -1;
    uint8_t* dst = static_cast<uint8_t*>(buf);
    unsigned int got = 0;
    while (got < n) {
        ssize_t r = pread(m_fd, dst + got, n - got, pos + got);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (r == 0)
            break;
        got += static_cast<unsigned int>(r);
    }
    return got;
}

unsigned int CVideoFile::Write(const void* buf, unsigned int n)
{
    CStreamGuard lock(m_lock);
    if (m_fd < 0 || !buf)
        return 0;
    const uint8_t* src = static_cast<const uint8_t*>(buf);
    unsigned int put = 0;
    while (put < n) {
        ssize_t w = pwrite(m_fd, src + put, n - put, m_pos);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            m_failed = true;
            break;
        }
        put += static_cast<unsigned int>(w);
        m_pos += w;
    }
    return put;
}

long long CVideoFile::GetLength()
{
    CStreamGuard lock(m_lock);
    if (m_fd < 0)
        return JRVP_ERR_OPEN_FAILED;
    struct stat st;
    if (fstat(m_fd, &st) != 0)
        return JRVP_ERR_OPEN_FAILED;
    return st.st_size;
}

long long CVideoFile::SetLength(long long length)
{
    CStreamGuard lock(m_lock);
    if (m_fd < 0)
        return JRVP_ERR_OPEN_FAILED;
    // A file that already has the length is left alone: truncating a file
    // to 0, even an empty one, makes some file systems (ext4) push all its
    // data to disk when it is closed, which costs a fresh repaired copy
    // a large part of its time.
    struct stat st;
    if (fstat(m_fd, &st) != 0)
        return -1;
    if (length != st.st_size) {
        if (length < 0 || ftruncate(m_fd, length) != 0)
            m_failed = true;
        if (fstat(m_fd, &st) != 0)
            return -1;
    }
    // The position is left at the new end.
    m_pos = st.st_size;
    return m_pos;
}

long long CVideoFile::GetPos()
{
    CStreamGuard lock(m_lock);
    if (m_fd < 0)
        return JRVP_ERR_OPEN_FAILED;
    return m_pos;
}

long long CVideoFile::SeekTo(long long pos)
{
    CStreamGuard lock(m_lock);
    if (m_fd < 0)
        return JRVP_ERR_OPEN_FAILED;
    if (pos < 0)
        return -1;
    m_pos = pos;
    return pos;
}

long long CVideoFile::JumpOver(long long distance)
{
    CStreamGuard lock(m_lock);
    if (m_fd < 0)
        return JRVP_ERR_OPEN_FAILED;
    const long long to = JumpedPosition(m_pos, distance);
    if (to < 0)
        return -1;
    m_pos = to;
    return m_pos;
}

bool CVideoFile::GetIdentity(dev_t* dev, ino_t* ino)
{
    CStreamGuard lock(m_lock);
    struct stat st;
    if (m_fd < 0 || fstat(m_fd, &st) != 0)
        return false;
    *dev = st.st_dev;
    *ino = st.st_ino;
    return true;
}
