#include "core/BaseRepair.h"

#include <string.h>

#include <algorithm>

#include "core/Guarded.h"

CBaseRepair::~CBaseRepair()
{
    m_input.reset();
    m_inputLength = 0;
    CBaseRepair::Close();
}

void CBaseRepair::Close()
{
    m_inputWindow.Clear();
    CloseCommon();
}

int CBaseRepair::ParseStream(VPFileErrorCallback onError, void* user)
{
    m_state.SetStatus(JRVP_STATUS_PARSING);
    int r = GuardedCall(MEND_ERR_NO_MEMORY, [this] { return Open(); });
    // A read error is not the end of a file: whatever the parser made of
    // the short data, the file could not be read.
    if (m_input && m_input->Failed())
        r = MEND_ERR_READ;
    if (r >= 0) {
        m_state.SetStatus(JRVP_STATUS_PARSED);
        m_state.ClearAbort();
        m_errors.FECallBack(onError, user);
        return JRVP_OK;
    }
    Close();
    // A parse that was cancelled judged nothing: the file reads as not yet
    // parsed, not as one that failed (which would let a repair be asked of
    // it and answer that the parse failed).
    m_state.SetStatus(r == MEND_ERR_ABORTED ? JRVP_STATUS_IDLE : JRVP_STATUS_PARSE_FAILED);
    return TranslateResult(r);
}

int CBaseRepair::CopyExcept(int64_t from, int64_t to, const ByteRuns& skip, int64_t* removed)
{
    if (!m_input)
        return MEND_ERR_NO_STREAM;
    to = std::min(to, m_inputLength);
    int64_t p = from;
    auto copyTo = [&](int64_t end) {
        int r = CopySpan(p, end);
        p = std::max(p, end);
        return r;
    };
    for (const auto& run : skip) {
        if (p >= to || run.first >= to)
            break;
        if (run.second <= p)
            continue;
        int r = copyTo(std::max(p, run.first));
        if (r < 0)
            return r;
        const int64_t next = std::min(run.second, to);
        if (removed)
            *removed += next - p;
        p = next;
    }
    return copyTo(to);
}

const uint8_t* CBaseRepair::FindByteFF(const uint8_t* block, size_t n)
{
    return static_cast<const uint8_t*>(memchr(block, 0xFF, n));
}

const uint8_t* CBaseRepair::FindNonZero(const uint8_t* block, size_t n)
{
    size_t i = 0;
    // Eight bytes at a time: a long tail of zeros is crossed at memory speed.
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        memcpy(&w, block + i, 8);
        if (w != 0)
            break;
    }
    for (; i < n; ++i)
        if (block[i] != 0)
            return block + i;
    return nullptr;
}

int64_t CBaseRepair::NextCandidate(int64_t from, int64_t to, CandidateFinder find)
{
    // Small blocks first (a candidate is often near), then larger ones.
    unsigned int step = 4096;
    to = std::min(to, m_inputLength);
    for (int64_t p = from; p < to;) {
        // A stretch of damage can be gigabytes long: a cancel must not wait
        // for its end.
        if (TestAbort())
            return MEND_ERR_ABORTED;
        const unsigned int n = static_cast<unsigned int>(std::min<int64_t>(step, to - p));
        const uint8_t* b = PeekInput(p, n);
        if (!b)
            return MEND_ERR_READ;
        if (const uint8_t* hit = find(b, n))
            return p + (hit - b);
        p += n;
        step = std::min(step * 4, 1u << 20);
    }
    return std::max(from, to);
}

const uint8_t* CBaseRepair::PeekInput(int64_t pos, unsigned int n)
{
    return m_input ? m_inputWindow.Fetch(m_input.get(), pos, n, m_inputLength) : nullptr;
}
