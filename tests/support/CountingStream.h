// A stream that passes every call through to another and counts the reads:
// how a test sees that a walk or scan is fast by the work it does (calls per
// MiB crossed, bytes read against the file's size), which no load on the
// machine can change, instead of by a clock that any load can.
#ifndef MENDTEST_COUNTINGSTREAM_H
#define MENDTEST_COUNTINGSTREAM_H

#include <stdint.h>

#include <atomic>

#include "core/BaseStream.h"

namespace mendtest {

// What a stream was asked to do. Reads at a position (the read-ahead's, on
// threads of its own) count with the plain reads.
struct ReadCounts {
    int64_t reads = 0;  // calls that read bytes: Read and ReadAt
    int64_t bytes = 0;  // bytes those calls returned
    int64_t seeks = 0;  // SeekTo and JumpOver

    // Calls per MiB of `span` bytes: what a scan through span costs.
    double ReadsPerMiB(int64_t span) const
    {
        return span > 0 ? static_cast<double>(reads) * (1 << 20) / static_cast<double>(span) : 0;
    }
};

// The tallies behind ReadCounts, safe to bump from the read-ahead's threads.
class ReadCounter {
public:
    void Read(long long returned)
    {
        m_reads.fetch_add(1, std::memory_order_relaxed);
        if (returned > 0)
            m_bytes.fetch_add(returned, std::memory_order_relaxed);
    }
    void Seek() { m_seeks.fetch_add(1, std::memory_order_relaxed); }
    ReadCounts Counts() const
    {
        ReadCounts c;
        c.reads = m_reads.load();
        c.bytes = m_bytes.load();
        c.seeks = m_seeks.load();
        return c;
    }
    void Reset()
    {
        m_reads = 0;
        m_bytes = 0;
        m_seeks = 0;
    }

private:
    std::atomic<int64_t> m_reads{0};
    std::atomic<int64_t> m_bytes{0};
    std::atomic<int64_t> m_seeks{0};
};

class CountingStream : public IBaseStream {
public:
    explicit CountingStream(IBaseStream* inner) : m_inner(inner) {}

    unsigned int Read(void* buf, unsigned int n) override
    {
        const unsigned int r = m_inner->Read(buf, n);
        m_count.Read(r);
        return r;
    }
    unsigned int Write(const void* buf, unsigned int n) override { return m_inner->Write(buf, n); }
    long long GetLength() override { return m_inner->GetLength(); }
    long long SetLength(long long length) override { return m_inner->SetLength(length); }
    long long GetPos() override { return m_inner->GetPos(); }
    long long SeekTo(long long pos) override
    {
        m_count.Seek();
        return m_inner->SeekTo(pos);
    }
    long long JumpOver(long long distance) override
    {
        m_count.Seek();
        return m_inner->JumpOver(distance);
    }
    bool Failed() override { return m_inner->Failed(); }
    long long ReadAt(long long pos, void* buf, unsigned int n) override
    {
        const long long r = m_inner->ReadAt(pos, buf, n);
        m_count.Read(r);
        return r;
    }

    ReadCounts Counts() const { return m_count.Counts(); }
    void Reset() { m_count.Reset(); }

private:
    IBaseStream* m_inner;
    ReadCounter m_count;
};

}  // namespace mendtest

#endif
