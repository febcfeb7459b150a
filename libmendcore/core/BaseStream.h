// The library's byte streams. Every byte the repairers read or write goes
// through IBaseStream; positions and lengths are 64-bit.
#ifndef MENDCORE_BASESTREAM_H
#define MENDCORE_BASESTREAM_H

#include <stdint.h>
#include <sys/types.h>

#include <atomic>
#include <limits>
#include <memory>

#include "core/AutoLock.h"

class IVideoStream;

// Where a jump of `distance` from `pos` lands: -1 before the start, or past
// what a position can hold. The in-memory and file inputs keep their own
// position and move it by this.
inline long long JumpedPosition(long long pos, long long distance)
{
    if (distance < 0 ? distance < -pos : pos > std::numeric_limits<long long>::max() - distance)
        return -1;
    return pos + distance;
}

class IBaseStream {
public:
    virtual ~IBaseStream() {}
    virtual unsigned int Read(void* buf, unsigned int n) = 0;
    // Read, then the bytes read are reversed in place: how big-endian
    // fields are read into integers on a little-endian host.
    virtual unsigned int ReadR(void* buf, unsigned int n);
    virtual unsigned int Write(const void* buf, unsigned int n) = 0;
    // Writes a byte-reversed copy; the caller's bytes stay as they are.
    virtual unsigned int WriteR(const void* buf, unsigned int n);
    virtual long long GetLength() = 0;
    virtual long long SetLength(long long length) = 0;
    virtual long long GetPos() = 0;
    virtual long long SeekTo(long long pos) = 0;
    // Moves by distance from the current position; returns the new position.
    virtual long long JumpOver(long long distance) = 0;
    // True once a read or write failed for a reason other than the end of
    // the data. A short read alone cannot tell a read error from the end of
    // a file, and a read error must never pass for a file that simply ends.
    virtual bool Failed() { return false; }
    // Reads n bytes at pos without moving the position and without taking
    // the stream's lock, so another thread may read ahead while the owner
    // goes on. -1 where the stream cannot; the bytes read otherwise. A
    // failure here marks nothing: the owner's own read reports it.
    virtual long long ReadAt(long long pos, void* buf, unsigned int n)
    {
        (void)pos, (void)buf, (void)n;
        return -1;
    }
};

// A file on a POSIX descriptor. Mode 0 opens read-only, 1 read-write, 2
// read-write created and truncated. Only regular files are accepted: a
// directory, FIFO or device would block or mislead every size check. The
// position is kept here and every transfer names its offset (pread,
// pwrite), so a walk from header to header costs one call per header
// rather than a seek and a read.
class CVideoFile : public IBaseStream {
public:
    CVideoFile(const char* path, int mode, int* err);
    ~CVideoFile() override;
    CVideoFile(const CVideoFile&) = delete;
    CVideoFile& operator=(const CVideoFile&) = delete;

    unsigned int Read(void* buf, unsigned int n) override;
    unsigned int Write(const void* buf, unsigned int n) override;
    long long GetLength() override;
    long long SetLength(long long length) override;
    long long GetPos() override;
    long long SeekTo(long long pos) override;
    long long JumpOver(long long distance) override;
    bool Failed() override { return m_failed.load(); }
    long long ReadAt(long long pos, void* buf, unsigned int n) override;

    bool IsOpen() const { return m_fd >= 0; }
    // Device and inode of the open file, to refuse writing over an input.
    bool GetIdentity(dev_t* dev, ino_t* ino);

private:
    CStreamLock m_lock;
    int m_fd = -1;
    long long m_pos = 0;
    std::atomic<bool> m_failed{false};
};

// A read-ahead / write-back buffer over another stream. Repairers read
// headers a few bytes at a time through it. A refill after a seek reads
// kBufferSize bytes, so a walk from header to header reads little more than
// the headers; refills that follow each other without a seek double the
// read-ahead up to kMaxBufferSize, so a sequential scan costs few calls.
// Writes collect up to kMaxBufferSize bytes. While it exists it owns the
// inner stream's position: nothing else may move the inner stream.
//
// A seek that does not land where it was asked (or a write that falls short)
// marks the stream failed, and a failed stream reads and writes nothing more:
// a repairer never goes on with bytes from the wrong place.
class CBufferStream : public IBaseStream {
public:
    static constexpr unsigned int kBufferSize = 4096;
    static constexpr unsigned int kMaxBufferSize = 256 * 1024;

    explicit CBufferStream(IBaseStream* inner);
    ~CBufferStream() override;
    CBufferStream(const CBufferStream&) = delete;
    CBufferStream& operator=(const CBufferStream&) = delete;

    unsigned int Read(void* buf, unsigned int n) override;
    unsigned int Write(const void* buf, unsigned int n) override;
    long long GetLength() override;
    long long SetLength(long long length) override;
    long long GetPos() override;
    long long SeekTo(long long pos) override;
    long long JumpOver(long long distance) override;
    bool Failed() override;
    // Straight to the inner stream: the buffer is the owner's alone.
    long long ReadAt(long long pos, void* buf, unsigned int n) override;

    // Writes pending bytes out (write mode) or returns the inner stream to
    // the logical position (read mode). 0, or -37 when a write fell short.
    int FlushBuffer();

    // The logical position as of the last completed operation. Lock-free,
    // so another thread can report progress without waiting on I/O.
    long long GetPosHint() const { return m_posHint.load(std::memory_order_relaxed); }

private:
    enum Mode : uint32_t { kModeNone = 0, kModeRead = 1, kModeWrite = 2 };

    long long LogicalPos() const;
    void Publish() { m_posHint.store(LogicalPos(), std::memory_order_relaxed); }
    void RefreshInnerPos();
    void EnterWriteMode();
    // One inner read into the buffer; grows the read-ahead when it follows
    // the previous refill directly.
    unsigned int Refill();
    // Moves the inner stream; a miss marks the stream failed.
    long long InnerSeek(long long pos);
    // Makes the buffer hold at least n bytes, forgetting what it held.
    void Reserve(unsigned int n);

    IBaseStream* m_inner;
    // Made on first use, as large as the reads so far have asked for (a
    // probe of a few headers needs a few KiB), and kMaxBufferSize once
    // writing.
    std::unique_ptr<uint8_t[]> m_buffer;
    unsigned int m_capacity = 0;
    uint32_t m_mode = kModeNone;
    // Reading: index of the next byte to hand out. Writing: pending bytes.
    uint32_t m_cursor = 0;
    // Reading: buffered bytes after the cursor. Writing: free bytes.
    uint32_t m_rest = 0;
    // Where the inner stream stands; every inner call goes through us.
    long long m_innerPos = 0;
    // Size of the next refill, and where the last refill ended (-1 after a
    // seek), to tell a sequential scan from a walk.
    uint32_t m_readAhead = kBufferSize;
    long long m_refillEnd = -1;
    bool m_failed = false;
    std::atomic<long long> m_posHint{0};
    CStreamLock m_lock;
};

// Adapter that lets a repairer write into a caller's IVideoStream. The
// caller's stream is not owned and never destroyed.
class CBaseStream : public IBaseStream {
public:
    explicit CBaseStream(IVideoStream* stream) : m_stream(stream) {}

    unsigned int Read(void* buf, unsigned int n) override;
    unsigned int Write(const void* buf, unsigned int n) override;
    long long GetLength() override;
    long long SetLength(long long length) override;
    long long GetPos() override;
    long long SeekTo(long long pos) override;
    long long JumpOver(long long distance) override;
    bool Failed() override { return m_failed; }

private:
    IVideoStream* m_stream;
    bool m_failed = false;
};

#endif
