// Stand-ins for the library's tests: an in-memory caller stream, a stream
// that fails on demand, and a repairer whose behaviour a test scripts.
#ifndef MENDTEST_TESTDOUBLES_H
#define MENDTEST_TESTDOUBLES_H

#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "core/BaseRepair.h"
#include "core/BaseStream.h"
#include "mendcore/VideoRepair.h"
#include "support/Sanitizers.h"

namespace mendtest {

// How long a test waits for a worker before it calls it hung: far beyond
// anything a loaded machine makes of milliseconds of work, so that only a
// real hang runs out of it.
constexpr std::chrono::seconds kWorkerGuard{kUnderSanitizer ? 120 : 30};

// A caller's output stream over a byte vector. Like the application's own
// stream, a seek past the end lands at the end.
class MemoryVideoStream : public IVideoStream {
public:
    unsigned int Read(void* buf, unsigned int n) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        size_t avail = m_pos < m_bytes.size() ? m_bytes.size() - m_pos : 0;
        unsigned int r = static_cast<unsigned int>(std::min<size_t>(n, avail));
        if (r)
            memcpy(buf, m_bytes.data() + m_pos, r);
        m_pos += r;
        return r;
    }
    unsigned int Write(const void* buf, unsigned int n) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_failWritesAfter >= 0 && m_pos + n > static_cast<size_t>(m_failWritesAfter))
            return 0;
        if (m_pos + n > m_bytes.size())
            m_bytes.resize(m_pos + n);
        memcpy(m_bytes.data() + m_pos, buf, n);
        m_pos += n;
        return n;
    }
    long long GetLength() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return static_cast<long long>(m_bytes.size());
    }
    long long GetPos() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return static_cast<long long>(m_pos);
    }
    long long SeekTo(long long pos) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (pos >= 0)
            m_pos = std::min<size_t>(static_cast<size_t>(pos), m_bytes.size());
        return static_cast<long long>(m_pos);
    }

    std::vector<uint8_t> Bytes()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_bytes;
    }
    // Writes that would reach past this many bytes fail.
    void FailWritesAfter(long long limit) { m_failWritesAfter = limit; }

private:
    std::mutex m_mutex;
    std::vector<uint8_t> m_bytes;
    size_t m_pos = 0;
    long long m_failWritesAfter = -1;
};

// An IBaseStream over bytes in memory whose reads fail with an error (not
// an end of data) once the position reaches failReadsAt.
class FaultyStream : public IBaseStream {
public:
    explicit FaultyStream(std::vector<uint8_t> bytes, long long failReadsAt = -1)
        : m_bytes(std::move(bytes)), m_failAt(failReadsAt)
    {
    }
    unsigned int Read(void* buf, unsigned int n) override
    {
        long long end = static_cast<long long>(m_bytes.size());
        if (m_failAt >= 0) {
            if (m_pos >= m_failAt) {
                m_failed = true;
                return 0;
            }
            end = std::min(end, m_failAt);
        }
        long long avail = std::max(0LL, end - m_pos);
        unsigned int r = static_cast<unsigned int>(std::min<long long>(n, avail));
        if (r)
            memcpy(buf, m_bytes.data() + m_pos, r);
        m_pos += r;
        return r;
    }
    unsigned int Write(const void*, unsigned int) override { return 0; }
    long long GetLength() override { return static_cast<long long>(m_bytes.size()); }
    long long SetLength(long long) override { return static_cast<long long>(m_bytes.size()); }
    long long GetPos() override { return m_pos; }
    long long SeekTo(long long pos) override
    {
        if (pos < 0)
            return -1;
        m_pos = pos;
        return pos;
    }
    long long JumpOver(long long d) override { return SeekTo(m_pos + d); }
    bool Failed() override { return m_failed; }

private:
    std::vector<uint8_t> m_bytes;
    long long m_failAt;
    long long m_pos = 0;
    bool m_failed = false;
};

// What a scripted repairer does in each stage.
struct RepairScript {
    int openResult = 0;                 // internal code of Open
    std::vector<JRVPFileError> errors;  // recorded by a successful Open
    bool readInput = false;             // Open reads the whole input through the buffer
    bool openUntilAbort = false;        // Open spins until it sees the abort flag
    int repairResult = 0;               // internal code of RepairLevel1
    bool copyInput = false;             // RepairLevel1 copies the input to the output
    bool repairUntilAbort = false;      // RepairLevel1 spins until it sees the abort flag
    // A spin that sees no abort gives up then, and its stage fails with
    // kSpinGaveUp: a hang guard, never part of what a test expects.
    int spinLimitMs = static_cast<int>(std::chrono::milliseconds(kWorkerGuard).count());
    bool openRunsOutOfMemory = false;   // Open's allocation fails
    bool repairRunsOutOfMemory = false; // RepairLevel1's allocation fails
    int format = JRVP_FORMAT_AVI;
};

// What a stage returns when its spin ran out without an abort. It lies
// outside the library's codes, so it reads as an unknown error, which no
// adjustment for an accepted abort turns into "aborted": a lost abort fails
// the test by its result, not by how long it took.
constexpr int kSpinGaveUp = -100;

class ScriptedRepair : public CBaseRepair {
public:
    ScriptedRepair(IBaseStream* in, RepairScript script) : CBaseRepair(in), m_script(std::move(script))
    {
        m_format = m_script.format;
    }

    int Open() override
    {
        if (m_script.readInput) {
            m_input->SeekTo(0);
            uint8_t buf[1000];
            while (m_input->Read(buf, sizeof(buf)) > 0)
                if (TestAbort())
                    return MEND_ERR_ABORTED;
        }
        if (m_script.openUntilAbort)
            return Spin() ? MEND_ERR_ABORTED : kSpinGaveUp;
        if (m_script.openRunsOutOfMemory)
            throw std::bad_alloc();
        if (m_script.openResult >= 0)
            for (JRVPFileError code : m_script.errors)
                AddError(code);
        return m_script.openResult;
    }
    int RepairLevel1() override
    {
        if (m_script.repairUntilAbort)
            return Spin() ? MEND_ERR_ABORTED : kSpinGaveUp;
        if (m_script.repairRunsOutOfMemory)
            throw std::bad_alloc();
        if (m_script.copyInput) {
            m_input->SeekTo(0);
            int r = WriteToFile(m_inputLength);
            if (r < 0)
                return r;
        }
        return m_script.repairResult;
    }
    int RepairLevel2() override { return 0; }
    int RepairLevel3(const char* refPath) override
    {
        seenRefPath = refPath ? refPath : "<null>";
        return 0;
    }

    using CBaseRepair::AddError;
    using CBaseRepair::AddErrorAt;
    using CBaseRepair::WriteToFile;
    using CBaseRepair::TestAbort;
    std::string seenRefPath;

private:
    // True once the abort flag is seen; false when the limit runs out.
    bool Spin()
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_script.spinLimitMs);
        while (std::chrono::steady_clock::now() < until) {
            if (TestAbort())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    RepairScript m_script;
};

// Collects what the result callback delivers, from the worker thread.
struct ResultSink {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<int> results;

    static void OnResult(JRVPProcessResult r, void* user)
    {
        auto* self = static_cast<ResultSink*>(user);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->results.push_back(r);
        self->cv.notify_all();
    }
    // The n-th result (1-based), or INT_MIN when it does not come in time.
    int Wait(size_t n = 1, std::chrono::milliseconds timeout = kWorkerGuard)
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (!cv.wait_for(lock, timeout, [&] { return results.size() >= n; }))
            return INT_MIN;
        return results[n - 1];
    }
    size_t Count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return results.size();
    }
};

// Runs call on a thread of its own and says whether it returned within the
// guard. A call that opens `fifo` (a FIFO nobody else has open) and waits
// there for the other end would block for good; past the guard, both ends
// are opened without blocking, which frees such an open, so the test fails
// instead of hanging.
inline bool ReturnsWithoutBlockingOn(const std::string& fifo, const std::function<void()>& call,
                                     std::chrono::milliseconds guard = kWorkerGuard)
{
    std::promise<void> done;
    std::future<void> returned = done.get_future();
    std::thread runner([&] {
        call();
        done.set_value();
    });
    const bool inTime = returned.wait_for(guard) == std::future_status::ready;
    while (returned.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
        const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        const int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (writer >= 0)
            close(writer);
        if (reader >= 0)
            close(reader);
    }
    runner.join();
    return inTime;
}

}  // namespace mendtest

#endif
