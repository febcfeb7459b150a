#include <string.h>

#include <algorithm>
#include <limits>

#include "core/BaseStream.h"
#include "core/ResultCodes.h"

CBufferStream::CBufferStream(IBaseStream* inner)
    : m_inner(inner)
{
    RefreshInnerPos();
    Publish();
}

CBufferStream::~CBufferStream()
{
    FlushBuffer();
}

void CBufferStream::RefreshInnerPos()
{
    long long p = m_inner ? m_inner->GetPos() : 0;
    m_innerPos = p > 0 ? p : 0;
}

long long CBufferStream::LogicalPos() const
{
    if (m_mode == kModeRead)
        return m_innerPos - m_rest;
    if (m_mode == kModeWrite)
        return m_innerPos + m_cursor;
    return m_innerPos;
}

long long CBufferStream::InnerSeek(long long pos)
{
    m_refillEnd = -1;
    m_readAhead = kBufferSize;
    long long r = m_inner->SeekTo(pos);
    if (r != pos) {
        m_failed = true;
        RefreshInnerPos();
    } else {
        m_innerPos = r;
    }
    return r;
}

int CBufferStream::FlushBuffer()
{
    CStreamGuard lock(m_lock);
    if (!m_inner)
        return JRVP_ERR_OPEN_FAILED;
    if (m_mode == kModeRead) {
        if (m_rest > 0)
            InnerSeek(LogicalPos());
        m_cursor = 0;
        m_rest = 0;
    } else if (m_mode == kModeWrite) {
        if (m_cursor > 0) {
            unsigned int w = m_inner->Write(m_buffer.get(), m_cursor);
            w = std::min(w, m_cursor);
            m_innerPos += w;
            if (w < m_cursor) {
                // Keep what was not written, so the position stays true.
                memmove(m_buffer.get(), m_buffer.get() + w, m_cursor - w);
                m_cursor -= w;
                m_rest = kMaxBufferSize - m_cursor;
                m_failed = true;
                Publish();
                return JRVP_ERR_CANNOT_WRITE;
            }
        }
        m_cursor = 0;
        m_rest = kMaxBufferSize;
    }
    Publish();
    return 0;
}

void CBufferStream::Reserve(unsigned int n)
{
    if (m_capacity >= n)
        return;
    // Only ever grown where nothing it holds is wanted any more (before a
    // refill, or on the way into write mode with nothing pending).
    std::unique_ptr<uint8_t[]> grown(new uint8_t[n]);
    m_buffer = std::move(grown);
    m_capacity = n;
}

unsigned int CBufferStream::Refill()
{
    if (m_refillEnd == m_innerPos)
        m_readAhead = std::min(m_readAhead * 2, kMaxBufferSize);
    else
        m_readAhead = kBufferSize;
    Reserve(m_readAhead);
    unsigned int r = std::min(m_inner->Read(m_buffer.get(), m_readAhead), m_readAhead);
    m_innerPos += r;
    m_refillEnd = m_innerPos;
    return r;
}

unsigned int CBufferStream::Read(void* buf, unsigned int n)
{
    CStreamGuard lock(m_lock);
    if (!m_inner || (!buf && n) || m_failed)
        return 0;
    if (m_mode == kModeWrite) {
        if (FlushBuffer() != 0)
            return 0;
        m_cursor = 0;
        m_rest = 0;
    }
    if (m_mode != kModeRead) {
        m_mode = kModeRead;
        m_cursor = 0;
        m_rest = 0;
    }
    uint8_t* dst = static_cast<uint8_t*>(buf);
    if (n == 0) {
        Publish();
        return 0;
    }
    if (m_rest >= n) {
        memcpy(dst, m_buffer.get() + m_cursor, n);
        m_cursor += n;
        m_rest -= n;
        Publish();
        return n;
    }
    unsigned int got = m_rest;
    if (got)
        memcpy(dst, m_buffer.get() + m_cursor, got);
    m_cursor += m_rest;
    m_rest = 0;
    while (got < n) {
        unsigned int want = n - got;
        if (want >= kBufferSize) {
            // Whole blocks go straight to the caller: no second copy.
            unsigned int chunk = want - want % kBufferSize;
            unsigned int r = std::min(m_inner->Read(dst + got, chunk), chunk);
            m_innerPos += r;
            m_refillEnd = m_innerPos;
            m_cursor = 0;
            m_rest = 0;
            if (r == 0)
                break;
            got += r;
            continue;
        }
        unsigned int r = Refill();
        if (r == 0) {
            m_cursor = 0;
            m_rest = 0;
            break;
        }
        unsigned int take = std::min(r, want);
        memcpy(dst + got, m_buffer.get(), take);
        got += take;
        m_cursor = take;
        m_rest = r - take;
    }
    Publish();
    return got;
}

void CBufferStream::EnterWriteMode()
{
    if (m_mode == kModeRead)
        FlushBuffer();
    if (m_mode != kModeWrite) {
        Reserve(kMaxBufferSize);
        m_mode = kModeWrite;
        m_cursor = 0;
        m_rest = kMaxBufferSize;
    }
}

unsigned int CBufferStream::Write(const void* buf, unsigned int n)
{
    CStreamGuard lock(m_lock);
    if (!m_inner || (!buf && n) || m_failed)
        return 0;
    EnterWriteMode();
    if (m_failed) {
        // Leaving read mode missed its seek: the bytes would land elsewhere.
        Publish();
        return 0;
    }
    if (n == 0) {
        Publish();
        return 0;
    }
    const uint8_t* src = static_cast<const uint8_t*>(buf);
    if (m_rest >= n) {
        memcpy(m_buffer.get() + m_cursor, src, n);
        m_cursor += n;
        m_rest -= n;
        Publish();
        return n;
    }
    if (n >= kMaxBufferSize) {
        // A block copy: the pending bytes go first, then the caller's bytes
        // straight from where they are, without a pass through the buffer.
        if (FlushBuffer() != 0)
            return 0;
        unsigned int w = std::min(m_inner->Write(src, n), n);
        m_innerPos += w;
        if (w < n)
            m_failed = true;
        Publish();
        return w < n ? 0 : n;
    }
    unsigned int done = m_rest;
    memcpy(m_buffer.get() + m_cursor, src, done);
    m_cursor += done;
    m_rest = 0;
    if (FlushBuffer() != 0) {
        // A write that reports nothing written leaves none of its bytes
        // pending for a later flush.
        unsigned int ours = std::min(done, m_cursor);
        m_cursor -= ours;
        m_rest += ours;
        Publish();
        return 0;
    }
    unsigned int left = n - done;
    if (left >= kMaxBufferSize) {
        // Whole blocks go straight to the inner stream, in order.
        unsigned int chunk = left - left % kMaxBufferSize;
        unsigned int w = std::min(m_inner->Write(src + done, chunk), chunk);
        m_innerPos += w;
        if (w < chunk) {
            m_failed = true;
            Publish();
            return 0;
        }
        done += chunk;
        left -= chunk;
    }
    memcpy(m_buffer.get(), src + done, left);
    m_cursor = left;
    m_rest = kMaxBufferSize - left;
    Publish();
    return n;
}

long long CBufferStream::GetLength()
{
    CStreamGuard lock(m_lock);
    if (!m_inner)
        return JRVP_ERR_OPEN_FAILED;
    long long len = m_inner->GetLength();
    // Pending bytes past the inner end are part of the stream already.
    if (m_mode == kModeWrite && m_cursor > 0 && len >= 0)
        len = std::max(len, LogicalPos());
    return len;
}

long long CBufferStream::SetLength(long long length)
{
    CStreamGuard lock(m_lock);
    if (!m_inner)
        return JRVP_ERR_OPEN_FAILED;
    // Pending bytes written after a truncation would grow the file again.
    if (FlushBuffer() != 0)
        return JRVP_ERR_CANNOT_WRITE;
    long long r = m_inner->SetLength(length);
    m_cursor = 0;
    m_rest = m_mode == kModeWrite ? kMaxBufferSize : 0;
    m_refillEnd = -1;
    RefreshInnerPos();
    Publish();
    return r;
}

long long CBufferStream::GetPos()
{
    CStreamGuard lock(m_lock);
    if (!m_inner)
        return JRVP_ERR_OPEN_FAILED;
    return LogicalPos();
}

long long CBufferStream::SeekTo(long long pos)
{
    CStreamGuard lock(m_lock);
    if (!m_inner)
        return JRVP_ERR_OPEN_FAILED;
    if (pos < 0) {
        // A negative target comes from a computation gone wrong: whatever
        // the caller reads next would come from the wrong place.
        m_failed = true;
        return -1;
    }
    if (m_mode == kModeRead) {
        long long back = m_innerPos - pos;
        if (back >= 0 && back <= static_cast<long long>(m_cursor) + m_rest) {
            m_cursor = m_cursor + m_rest - static_cast<uint32_t>(back);
            m_rest = static_cast<uint32_t>(back);
            Publish();
            return pos;
        }
        // Leaving the buffered bytes: they are simply dropped.
        m_cursor = 0;
        m_rest = 0;
    } else if (FlushBuffer() != 0) {
        return JRVP_ERR_CANNOT_WRITE;
    }
    long long r = InnerSeek(pos);
    Publish();
    return r;
}

long long CBufferStream::JumpOver(long long distance)
{
    CStreamGuard lock(m_lock);
    if (!m_inner)
        return JRVP_ERR_OPEN_FAILED;
    long long here = LogicalPos();
    if (distance > 0 && here > std::numeric_limits<long long>::max() - distance) {
        m_failed = true;
        return -1;
    }
    return SeekTo(here + distance);
}

bool CBufferStream::Failed()
{
    CStreamGuard lock(m_lock);
    return m_failed || (m_inner && m_inner->Failed());
}

long long CBufferStream::ReadAt(long long pos, void* buf, unsigned int n)
{
    return m_inner ? m_inner->ReadAt(pos, buf, n) : -1;
}
