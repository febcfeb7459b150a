#include "core/SpillList.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

namespace {

// The folder the user's temporary files go to.
std::string TemporaryFolder()
{
    const char* dir = getenv("TMPDIR");
    return dir && *dir ? dir : "/tmp";
}

// An unnamed file in dir, readable by this process alone; -1 none. Where
// the file system cannot make one without a name, a named one is made and
// its name removed at once.
int OpenUnnamed(const std::string& dir)
{
#ifdef O_TMPFILE
    const int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0)
        return fd;
#endif
    std::string name = dir + "/mendcore-records-XXXXXX";
    const int named = mkostemp(&name[0], O_CLOEXEC);
    if (named >= 0)
        unlink(name.c_str());
    return named;
}

}  // namespace

bool CSpillFile::Write(int64_t at, const void* data, size_t n)
{
    if (m_fd < 0 && !m_failed) {
        m_fd = OpenUnnamed(TemporaryFolder());
        m_failed = m_fd < 0;
    }
    if (m_fd < 0)
        return false;
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        const ssize_t w = pwrite(m_fd, p, n, at);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        at += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

bool CSpillFile::Read(int64_t at, void* data, size_t n)
{
    if (m_fd < 0)
        return false;
    char* p = static_cast<char*>(data);
    while (n > 0) {
        const ssize_t r = pread(m_fd, p, n, at);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        p += r;
        at += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

void CSpillFile::Close()
{
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
    m_failed = false;
}
