#include "core/RepairCommon.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "core/Guarded.h"

CRepairCommon::CRepairCommon(IBaseStream* in)
{
    if (in) {
        m_input = std::make_unique<CBufferStream>(in);
        m_inputLength = std::max(0LL, m_input->GetLength());
    }
}

CRepairCommon::~CRepairCommon() = default;

void CRepairCommon::CloseCommon()
{
    {
        CAutoLock lock(m_state.Lock());
        m_output = nullptr;
    }
    m_state.ClearAbort();
    CloseError();
    ReadBuffer().swap(m_copyBlock);
    ReadBuffer().swap(m_pipeBlocks);
}

int CRepairCommon::GetProcess()
{
    CAutoLock lock(m_state.Lock());
    switch (m_state.GetStatus()) {
    case JRVP_STATUS_PARSING:
        return m_input ? CTaskState::Progress(m_input->GetPosHint(), m_inputLength) : 0;
    case JRVP_STATUS_REPAIRING:
        return m_output ? CTaskState::Progress(m_output->GetPosHint(), m_inputLength) : m_repairProgress;
    default:
        return 0;
    }
}

int CRepairCommon::RepairFile(IBaseStream* out, int level, const char* refPath)
{
    {
        CAutoLock lock(m_state.Lock());
        int status = m_state.GetStatus();
        if (status < JRVP_STATUS_PARSE_FAILED)
            return JRVP_ERR_NOT_READY;
        if (status == JRVP_STATUS_PARSE_FAILED && level < 3)
            return JRVP_ERR_PARSE_FAILED;
        if (m_errors.GetErrorsCount() == 0) {
            m_state.SetStatus(JRVP_STATUS_REPAIRED);
            return JRVP_OK;
        }
        m_repairProgress = 0;
        m_state.SetStatus(JRVP_STATUS_REPAIRING);
    }
    int r;
    if (!out)
        r = JRVP_ERR_NOT_READY;
    else if (!m_input)
        r = JRVP_ERR_OPEN_FAILED;
    else if (level < 0 || level > 3)
        r = JRVP_ERR_UNKNOWN;
    else
        r = TranslateResult(RunLevel(out, level, refPath));
    m_state.SetStatus(JRVP_STATUS_REPAIRED);
    m_state.ClearAbort();
    return r;
}

int CRepairCommon::RunLevel(IBaseStream* out, int level, const char* refPath)
{
    // A buffer of its own over the output for this repair; repairers read
    // back and patch what they wrote, which it serves like any stream.
    std::unique_ptr<CBufferStream> buffered;
    int r = GuardedCall(MEND_ERR_NO_MEMORY, [&] {
        buffered = std::make_unique<CBufferStream>(out);
        return 0;
    });
    if (r < 0)
        return r;
    {
        CAutoLock lock(m_state.Lock());
        m_output = buffered.get();
    }
    r = GuardedCall(MEND_ERR_NO_MEMORY, [&] {
        switch (level) {
        case 1: return RepairLevel1();
        case 2: return RepairLevel2();
        case 3: return RepairLevel3(refPath);
        default: return 0;
        }
    });
    // Pending bytes must reach the output before success is reported. A
    // level that met a read or write error (a seek that missed included)
    // did not copy what it meant to, whatever it made of the short data:
    // that error is what the user must hear, not the level's own verdict.
    bool writeFailed = buffered->FlushBuffer() != 0 || buffered->Failed();
    if (r != MEND_ERR_ABORTED) {
        if (m_input->Failed())
            r = MEND_ERR_READ;
        else if (writeFailed)
            r = MEND_ERR_WRITE;
    }
    {
        // Between the end of the level and the end of the repair, progress
        // stays where the output stopped instead of falling back to 0.
        CAutoLock lock(m_state.Lock());
        m_repairProgress = CTaskState::Progress(buffered->GetPosHint(), m_inputLength);
        m_output = nullptr;
    }
    return r;
}

namespace {

constexpr unsigned int kCopyBlock = 1 << 20;
// Below this, a second thread costs more than it saves.
constexpr int64_t kOverlapFrom = int64_t(4) * kCopyBlock;

// Reads the blocks of one long copy on a thread of its own, a few blocks
// ahead of the writer: reading the input and writing the output then cost
// about what the slower of the two costs, not their sum. The input is used
// by the reader thread only, until the pipe is closed.
class CReadAheadPipe {
public:
    static constexpr int kSlots = 3;

    static constexpr size_t kBufferSize = size_t(kSlots) * kCopyBlock;

    // The slots are the kBufferSize bytes at buffer, which the caller keeps.
    CReadAheadPipe(IBaseStream* in, int64_t n, uint8_t* buffer) : m_in(in), m_left(n)
    {
        for (int i = 0; i < kSlots; ++i)
            m_slots[i].bytes = buffer + size_t(i) * kCopyBlock;
    }
    ~CReadAheadPipe() { Close(); }

    // Throws what std::thread throws when no thread can be made.
    void Start() { m_reader = std::thread([this] { Run(); }); }

    // The next block in order, its size in n; null at a read error (the
    // copy is not complete yet) or when nothing is left.
    uint8_t* Next(unsigned int& n)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_filled > 0 || m_readFailed || m_readerDone; });
        if (m_filled == 0)
            return nullptr;
        Slot& slot = m_slots[m_head];
        n = slot.n;
        return slot.bytes;
    }
    // Gives the block of the last Next back to the reader.
    void Release()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_head = (m_head + 1) % kSlots;
        --m_filled;
        m_changed.notify_all();
    }
    // Stops the reader (at once, when the copy ends early) and waits for it.
    void Close()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
            m_changed.notify_all();
        }
        if (m_reader.joinable())
            m_reader.join();
    }
    bool ReadFailed()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_readFailed;
    }

private:
    struct Slot {
        uint8_t* bytes = nullptr;
        unsigned int n = 0;
    };

    void Run()
    {
        int tail = 0;
        while (m_left > 0) {
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_changed.wait(lock, [this] { return m_filled < kSlots || m_stop; });
                if (m_stop)
                    break;
            }
            // The slot at the tail is not the writer's until it is counted
            // as filled, so it is filled without the lock.
            Slot& slot = m_slots[tail];
            const unsigned int want = static_cast<unsigned int>(std::min<int64_t>(m_left, kCopyBlock));
            const bool ok = m_in->Read(slot.bytes, want) == want;
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!ok) {
                m_readFailed = true;
                break;
            }
            slot.n = want;
            m_left -= want;
            tail = (tail + 1) % kSlots;
            ++m_filled;
            m_changed.notify_all();
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_readerDone = true;
        m_changed.notify_all();
    }

    IBaseStream* m_in;
    int64_t m_left;
    Slot m_slots[kSlots];
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_head = 0;
    int m_filled = 0;
    bool m_stop = false;
    bool m_readFailed = false;
    bool m_readerDone = false;
    std::thread m_reader;
};

}  // namespace

int CRepairCommon::WriteToFile(int64_t n, ICopyObserver* observer)
{
    if (!m_input || !m_output)
        return MEND_ERR_NO_STREAM;
    if (n >= kOverlapFrom) {
        std::unique_ptr<CReadAheadPipe> pipe;
        try {
            if (m_pipeBlocks.empty())
                m_pipeBlocks.resize(CReadAheadPipe::kBufferSize);
            pipe = std::make_unique<CReadAheadPipe>(m_input.get(), n, m_pipeBlocks.data());
            pipe->Start();
        } catch (const std::bad_alloc&) {
            return MEND_ERR_NO_MEMORY;
        } catch (const std::system_error&) {
            pipe.reset();  // no thread to be had: copy on this one
        }
        if (pipe)
            return WriteThroughPipe(*pipe, n, observer);
    }
    // Blocks of 1 MiB: an abort is seen and progress moves within a
    // millisecond, and the calls cost nothing beside the copying. A copy in
    // the kernel (copy_file_range) was measured slower than this on ext4
    // whenever the two positions do not share their offset in a page, which
    // is the rule for a rebuilt file.
    // A short copy needs no whole block; the bytes are only ever read into.
    constexpr int64_t kStep = 64 * 1024;
    const size_t need = static_cast<size_t>(n >= kCopyBlock ? kCopyBlock : (n + kStep - 1) / kStep * kStep);
    if (n > 0 && m_copyBlock.size() < need)
        m_copyBlock.resize(need);
    while (n > 0) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        unsigned int want = static_cast<unsigned int>(std::min<int64_t>(n, kCopyBlock));
        if (m_input->Read(m_copyBlock.data(), want) != want)
            return MEND_ERR_READ;
        if (m_output->Write(m_copyBlock.data(), want) != want)
            return MEND_ERR_WRITE;
        if (observer)
            observer->OnCopied(m_copyBlock.data(), want, m_copyBlock.size() - want);
        n -= want;
    }
    return 0;
}

template <typename Pipe>
int CRepairCommon::WriteThroughPipe(Pipe& pipe, int64_t n, ICopyObserver* observer)
{
    while (n > 0) {
        if (TestAbort())
            return MEND_ERR_ABORTED;  // the pipe's owner stops the reader
        unsigned int got = 0;
        uint8_t* block = pipe.Next(got);
        if (!block)
            return MEND_ERR_READ;
        if (m_output->Write(block, got) != got)
            return MEND_ERR_WRITE;
        if (observer)
            observer->OnCopied(block, got, kCopyBlock - got);
        pipe.Release();
        n -= got;
    }
    pipe.Close();
    return pipe.ReadFailed() ? MEND_ERR_READ : 0;
}

int CRepairCommon::CopySpan(int64_t from, int64_t to)
{
    if (!m_input || !m_output)
        return MEND_ERR_NO_STREAM;
    if (to <= from)
        return 0;
    if (m_input->GetPos() != from && m_input->SeekTo(from) != from)
        return MEND_ERR_READ;
    return WriteToFile(to - from);
}

void CRepairCommon::AddSegments(const std::vector<std::pair<int64_t, int64_t>>& runs)
{
    for (const auto& run : runs) {
        AddError(JRVP_DAMAGE_SEGMENT, std::make_unique<VPInvalidDataSegment>(run.first, run.second));
    }
}
