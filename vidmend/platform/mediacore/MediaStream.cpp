// Keyed file streams over a POSIX file descriptor. The position is our own
// and every transfer is a positioned pread/pwrite, so the descriptor's
// offset never matters.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <new>

#include "KeyStream.h"
#include "MediaCore.h"
#include "MediaStreamAccess.h"

struct MediaStream {
    int fd = -1;
    uint32_t key = 0;
    int64_t pos = 0;
};

namespace {

// Enciphering goes through this buffer so the caller's data stays as it
// was handed to us.
constexpr size_t kChunk = 64 * 1024;

}  // namespace

extern "C" {

MediaStream* mediaOpenStream(const char* path, int mode)
{
    if (!path || !*path || (mode != MEDIA_STREAM_READ && mode != MEDIA_STREAM_WRITE))
        return nullptr;
    // A new file only: never truncate something that already exists.
    const int flags = mode == MEDIA_STREAM_READ ? O_RDONLY : O_RDWR | O_CREAT | O_EXCL;
    // Non-blocking only for the open itself: a FIFO or device must not
    // stall us before the check below turns it away.
    int fd;
    do {
        fd = open(path, flags | O_CLOEXEC | O_NONBLOCK, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        close(fd);
        return nullptr;
    }
    auto* stream = new (std::nothrow) MediaStream;
    if (!stream) {
        close(fd);
        return nullptr;
    }
    stream->fd = fd;
    return stream;
}

int mediaSetStreamKey(MediaStream* stream, uint32_t key)
{
    if (!stream)
        return 0;
    stream->key = key;
    return 1;
}

uint32_t mediaReadStream(MediaStream* stream, void* buffer, uint32_t n)
{
    if (!stream || (!buffer && n))
        return 0;
    auto* out = static_cast<uint8_t*>(buffer);
    uint32_t done = 0;
    while (done < n) {
        const ssize_t r = pread(stream->fd, out + done, n - done, stream->pos + done);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        done += static_cast<uint32_t>(r);
    }
    mediacore::ApplyKeyStream(stream->key, stream->pos, out, out, done);
    stream->pos += done;
    return done;
}

uint32_t mediaWriteStream(MediaStream* stream, const void* buffer, uint32_t n)
{
    if (!stream || (!buffer && n))
        return 0;
    const auto* in = static_cast<const uint8_t*>(buffer);
    std::unique_ptr<uint8_t[]> chunk;
    if (stream->key) {
        chunk.reset(new (std::nothrow) uint8_t[kChunk]);
        if (!chunk)
            return 0;
    }
    uint32_t done = 0;
    while (done < n) {
        const size_t len = stream->key ? std::min<size_t>(kChunk, n - done) : n - done;
        const uint8_t* src = in + done;
        if (stream->key) {
            mediacore::ApplyKeyStream(stream->key, stream->pos + done, src, chunk.get(), len);
            src = chunk.get();
        }
        size_t written = 0;
        while (written < len) {
            const ssize_t w = pwrite(stream->fd, src + written, len - written, stream->pos + done + written);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                break;
            written += static_cast<size_t>(w);
        }
        done += static_cast<uint32_t>(written);
        if (written < len)
            break;
    }
    stream->pos += done;
    return done;
}

int64_t mediaStreamLength(MediaStream* stream)
{
    struct stat st;
    if (!stream || fstat(stream->fd, &st) != 0)
        return -1;
    return st.st_size;
}

int64_t mediaStreamPosition(MediaStream* stream)
{
    return stream ? stream->pos : -1;
}

int mediaSeekStream(MediaStream* stream, int64_t pos)
{
    if (!stream || pos < 0)
        return -1;
    stream->pos = pos;
    return 0;
}

void mediaReleaseStream(MediaStream* stream)
{
    if (!stream)
        return;
    close(stream->fd);
    delete stream;
}

}  // extern "C"

namespace mediacore {

MediaStream* DuplicateStream(MediaStream* stream)
{
    if (!stream)
        return nullptr;
    // A duplicated descriptor shares the open file, not our position: every
    // transfer is positioned, so the two streams never disturb each other.
    const int fd = fcntl(stream->fd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    auto* copy = new (std::nothrow) MediaStream;
    if (!copy) {
        close(fd);
        return nullptr;
    }
    copy->fd = fd;
    copy->key = stream->key;
    return copy;
}

}  // namespace mediacore
