#include "core/ReadWindow.h"

#include <string.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "core/ResultCodes.h"

// One block read ahead at a time, on one thread that lives as long as its
// window. The block lands kCarry bytes into its buffer, so the window made
// from it can take the end of the last one in front of it without a copy of
// the block.
class CReadAhead {
public:
    ~CReadAhead()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_quit = true;
            m_changed.notify_all();
        }
        if (m_thread.joinable())
            m_thread.join();
    }

    // Throws std::bad_alloc or std::system_error; the window then reads on
    // its own thread only.
    void Start(size_t bufferSize)
    {
        m_buffer.resize(bufferSize);
        m_thread = std::thread([this] { Run(); });
    }

    // Asks for n bytes at pos into the buffer from offset `at`; an earlier
    // request not yet taken is forgotten (the caller has waited for it).
    void Ask(IBaseStream* in, int64_t pos, unsigned int n, size_t at)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_in = in;
        m_pos = pos;
        m_n = n;
        m_at = at;
        m_got = 0;
        m_state = kAsked;
        m_changed.notify_all();
    }
    // Waits for the request at pos and hands its buffer over; false when
    // there is none for pos or it fell short.
    bool Take(int64_t pos, ReadBuffer& into, unsigned int& got)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_state == kIdle || m_pos != pos)
            return false;
        m_changed.wait(lock, [this] { return m_state == kDone; });
        m_state = kIdle;
        if (m_got != m_n)
            return false;
        got = m_got;
        into.swap(m_buffer);
        return true;
    }
    // Gives a buffer back for the next request.
    void Return(ReadBuffer& buffer)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_state == kIdle)
            m_buffer.swap(buffer);
    }
    size_t BufferSize()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_buffer.size();
    }
    // Waits for a request in flight, so its buffer is not written after
    // the window lets go of the stream.
    void Settle()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_state != kAsked; });
        m_state = kIdle;
    }

private:
    enum State { kIdle, kAsked, kDone };

    void Run()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_changed.wait(lock, [this] { return m_quit || m_state == kAsked; });
            if (m_quit)
                return;
            // The buffer and the request are the reader's until it is done.
            IBaseStream* in = m_in;
            const int64_t pos = m_pos;
            const unsigned int n = m_n;
            uint8_t* dst = m_buffer.data() + m_at;
            lock.unlock();
            const long long r = in->ReadAt(pos, dst, n);
            lock.lock();
            m_got = r < 0 ? 0 : static_cast<unsigned int>(r);
            m_state = kDone;
            m_changed.notify_all();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    ReadBuffer m_buffer;
    IBaseStream* m_in = nullptr;
    int64_t m_pos = 0;
    unsigned int m_n = 0;
    size_t m_at = 0;
    unsigned int m_got = 0;
    State m_state = kIdle;
    bool m_quit = false;
    std::thread m_thread;
};

namespace {

// Small windows are sized in steps of this, so a walk that reads a little
// more each time grows its buffer rarely.
constexpr size_t kWindowStep = 64 * 1024;

size_t RoundedUp(size_t n)
{
    return (n + kWindowStep - 1) / kWindowStep * kWindowStep;
}

}  // namespace

CReadWindow::CReadWindow() = default;
CReadWindow::~CReadWindow() = default;

void CReadWindow::Clear()
{
    for (auto& lane : m_lanes)
        lane.reset();
    m_lanesFailed = false;
    m_head = m_inFlight = 0;
    ReadBuffer().swap(m_bytes);
    m_offset = 0;
    m_start = m_end = 0;
}

void CReadWindow::SettleAhead()
{
    for (auto& lane : m_lanes)
        if (lane)
            lane->Settle();
    m_head = m_inFlight = 0;
}

bool CReadWindow::TakeAhead(IBaseStream* in, int64_t pos)
{
    // Only a forward walk continues into the blocks read ahead: one that
    // goes on from inside this window, carrying at most kCarry bytes of it,
    // or one that steps at most kCarry bytes past its end (a unit whose
    // header alone it looked at, as a frame walk does).
    if (m_inFlight == 0 || pos < m_start || pos - m_end > kCarry || m_end - pos > kCarry)
        return false;
    CReadAhead& lane = *m_lanes[m_head];
    ReadBuffer block;
    unsigned int got = 0;
    if (!lane.Take(m_end, block, got))
        return false;
    if (pos - m_end > got) {
        // The step lands past the last block of the input: read it there.
        lane.Return(block);
        m_head = (m_head + 1) % kLanes;
        --m_inFlight;
        return false;
    }
    if (pos < m_end)
        memcpy(block.data() + kCarry - (m_end - pos), Data() + (pos - m_start), static_cast<size_t>(m_end - pos));
    m_bytes.swap(block);
    lane.Return(block);
    m_head = (m_head + 1) % kLanes;
    --m_inFlight;
    // The block lies kCarry bytes into its buffer: pos is that far from
    // the block's start, before it (carried bytes) or after it (a step).
    m_offset = static_cast<size_t>(kCarry + (pos - m_end));
    m_start = pos;
    m_end += got;
    // The stream is where a read of the window would have left it.
    return in->SeekTo(m_end) == m_end;
}

void CReadWindow::StartAhead(IBaseStream* in, int64_t length)
{
    const size_t bufferSize = static_cast<size_t>(kCarry + kSize);
    // A window that reaches the end of the input, or whose blocks up to
    // there are asked for, has nothing to read ahead: its threads and
    // blocks are not made for nothing.
    if ((m_inFlight == 0 ? m_end : m_askEnd) >= length)
        return;
    if (!m_lanes[0] && !m_lanesFailed) {
        try {
            for (auto& lane : m_lanes) {
                auto made = std::make_unique<CReadAhead>();
                made->Start(bufferSize);
                lane = std::move(made);
            }
        } catch (const std::bad_alloc&) {
            m_lanesFailed = true;
        } catch (const std::system_error&) {
            m_lanesFailed = true;
        }
    }
    if (m_lanesFailed) {
        // The lanes that were made stay unused; the walk reads on its own.
        for (auto& lane : m_lanes)
            lane.reset();
        return;
    }
    if (m_inFlight == 0)
        m_askEnd = m_end;
    while (m_inFlight < kLanes && m_askEnd < length) {
        CReadAhead& lane = *m_lanes[(m_head + m_inFlight) % kLanes];
        if (lane.BufferSize() != bufferSize)
            break;
        const unsigned int n = static_cast<unsigned int>(std::min<int64_t>(kSize, length - m_askEnd));
        lane.Ask(in, m_askEnd, n, static_cast<size_t>(kCarry));
        m_askEnd += n;
        ++m_inFlight;
    }
}

int CReadWindow::Load(IBaseStream* in, int64_t pos, int64_t length)
{
    if (in && pos >= 0 && TakeAhead(in, pos)) {
        StartAhead(in, length);
        return 0;
    }
    return ReadHere(in, pos, length);
}

int CReadWindow::ReadHere(IBaseStream* in, int64_t pos, int64_t length)
{
    const bool forward = pos >= m_start && pos - m_end <= kCarry && m_end > m_start;
    SettleAhead();
    // Until the read is through, the window holds nothing.
    m_start = m_end = pos;
    m_offset = 0;
    if (!in || pos < 0)
        return MEND_ERR_READ;
    const int64_t n = std::min<int64_t>(kSize, length - pos);
    // The buffer is made once and kept for the next reads; only a read
    // writes it, and only what was read is looked at. A window over a small
    // file, or over its last bytes, needs only those: a whole window, the
    // size the blocks read ahead swap with, only once a read fills it.
    const size_t want = n >= kSize ? static_cast<size_t>(kCarry + kSize) : RoundedUp(static_cast<size_t>(std::max<int64_t>(n, 0)));
    if (m_bytes.size() < want)
        m_bytes.resize(want);
    if (in->GetPos() != pos && in->SeekTo(pos) != pos)
        return MEND_ERR_READ;
    if (n > 0 && in->Read(m_bytes.data(), static_cast<unsigned>(n)) != n)
        return MEND_ERR_READ;
    m_end = pos + std::max<int64_t>(n, 0);
    // A walk that has gone forward once will go on: read its next blocks
    // while it checks this one. Probes here and there read no more.
    uint8_t probe = 0;
    if (forward && in->ReadAt(pos, &probe, 0) >= 0)
        StartAhead(in, length);
    return 0;
}

const uint8_t* CReadWindow::Fetch(IBaseStream* in, int64_t pos, int64_t n, int64_t length)
{
    if (pos < 0 || n < 0 || n > kSize || pos > length || n > length - pos)
        return nullptr;
    if (pos < m_start || pos > m_end || n > m_end - pos) {
        if (Load(in, pos, length) != 0)
            return nullptr;
        // A window taken from a block read ahead, past a step over bytes,
        // holds less than a whole window: a longer view is read in place.
        if (n > m_end - pos && (ReadHere(in, pos, length) != 0 || n > m_end - pos))
            return nullptr;
    }
    return Data() + (pos - m_start);
}
