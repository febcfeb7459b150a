#include "core/BaseRepair.h"

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
    m_state.SetStatus(JRVP_STATUS_PARSE_FAILED);
    return TranslateResult(r);
}

int CBaseRepair::CopyExcept(int64_t from, int64_t to, const ByteRuns& skip, int64_t* removed)
{
    if (!m_input)
        return MEND_ERR_NO_STREAM;
    to = std::min(to, m_inputLength);
    int64_t p = from;
    auto copyTo = [&](int64_t end) {
        if (end <= p)
            return 0;
        if (m_input->SeekTo(p) != p)
            return static_cast<int>(MEND_ERR_READ);
        int r = WriteToFile(end - p);
        p = end;
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

int64_t CBaseRepair::NextCandidate(int64_t from, int64_t to, bool (*canStart)(uint8_t))
{
    constexpr unsigned int kBlock = 64 * 1024;
    if (!m_input)
        return -1;
    to = std::min(to, m_inputLength);
    if (m_scanBlock.empty())
        m_scanBlock.resize(kBlock);
    // Small reads first: a candidate is often near.
    unsigned int block = 256;
    for (int64_t p = from; p < to;) {
        const unsigned int n = static_cast<unsigned int>(std::min<int64_t>(block, to - p));
        block = std::min(block * 4, kBlock);
        if (m_input->SeekTo(p) != p || m_input->Read(m_scanBlock.data(), n) != n)
            return -1;
        for (unsigned int i = 0; i < n; ++i)
            if (canStart(m_scanBlock[i]))
                return p + i;
        p += n;
    }
    return to;
}
