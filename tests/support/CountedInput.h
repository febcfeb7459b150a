// A repairer whose own buffered input counts the calls made to it. Below
// that buffer a scan position by position costs few reads (the buffer keeps
// its block across seeks inside it, so a CountingStream under the repairer
// sees only its refills); at the buffer it costs a seek and a read or more
// per byte. Counted here, a scan done a block at a time in memory and one
// gone back to a call per byte differ by orders of magnitude.
#ifndef MENDTEST_COUNTEDINPUT_H
#define MENDTEST_COUNTEDINPUT_H

#include <stdint.h>

#include <atomic>
#include <memory>
#include <type_traits>

#include "core/BaseStream.h"
#include "support/CountingStream.h"

namespace mendtest {

class CountingBufferStream : public CBufferStream {
public:
    using CBufferStream::CBufferStream;

    unsigned int Read(void* buf, unsigned int n) override
    {
        const unsigned int r = CBufferStream::Read(buf, n);
        m_count.Read(r);
        return r;
    }
    long long ReadAt(long long pos, void* buf, unsigned int n) override
    {
        const long long r = CBufferStream::ReadAt(pos, buf, n);
        m_count.Read(r);
        return r;
    }
    long long SeekTo(long long pos) override
    {
        m_count.Seek();
        return CBufferStream::SeekTo(pos);
    }
    long long JumpOver(long long distance) override
    {
        m_count.Seek();
        return CBufferStream::JumpOver(distance);
    }

    ReadCounts Counts() const { return m_count.Counts(); }

private:
    ReadCounter m_count;
};

// Repairer with its input buffer swapped for a counting one before any use:
// the base made its buffer in its constructor and only ever reads through
// m_input.
template <class Repairer>
class WithCountedInput : public Repairer {
public:
    explicit WithCountedInput(IBaseStream* in) : Repairer(in)
    {
        if (in) {
            auto counted = std::make_unique<CountingBufferStream>(in);
            m_counted = counted.get();
            this->m_input = std::move(counted);
        }
    }

    // The calls the repairer has made to its input so far.
    ReadCounts InputCalls() const { return m_counted ? m_counted->Counts() : ReadCounts{}; }

private:
    const CountingBufferStream* m_counted = nullptr;
};

// Whether a repairer already counts its input: wrapped twice, the inner
// counter would point at a buffer the outer one replaced.
template <class Repairer>
struct CountsItsInput : std::false_type {};
template <class Repairer>
struct CountsItsInput<WithCountedInput<Repairer>> : std::true_type {};

}  // namespace mendtest

#endif
