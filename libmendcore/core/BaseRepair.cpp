#include "core/BaseRepair.h"

#include <algorithm>

#include "core/Guarded.h"

CBaseRepair::CBaseRepair(IBaseStream* in)
{
    if (in) {
        m_input = std::make_unique<CBufferStream>(in);
        m_inputLength = std::max(0LL, m_input->GetLength());
    }
}

CBaseRepair::~CBaseRepair()
{
    m_input.reset();
    m_inputLength = 0;
    CBaseRepair::Close();
}

void CBaseRepair::Close()
{
    {
        CAutoLock lock(m_state.Lock());
        m_output = nullptr;
    }
    m_state.ClearAbort();
    CloseError();
}

int CBaseRepair::ParseStream(VPFileErrorCallback onError, void* user)
{
    m_state.SetStatus(JRVP_STATUS_PARSING);
    int r = Guarded([this] { return Open(); });
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

int CBaseRepair::GetProcess()
{
    CAutoLock lock(m_state.Lock());
    switch (m_state.GetStatus()) {
    case JRVP_STATUS_PARSING:
        return m_input ? CTaskState::Progress(m_input->GetPosHint(), m_inputLength) : 0;
    case JRVP_STATUS_REPAIRING:
        return m_output ? CTaskState::Progress(m_output->GetPosHint(), m_inputLength) : 0;
    default:
        return 0;
    }
}

int CBaseRepair::RepairFile(IBaseStream* out, int level, const char* refPath)
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
    // Every end of a repair that got this far reads as finished.
    m_state.SetStatus(JRVP_STATUS_REPAIRED);
    m_state.ClearAbort();
    return r;
}

int CBaseRepair::RunLevel(IBaseStream* out, int level, const char* refPath)
{
    return RunWithBufferedOutput(out, m_state, m_output, [&] {
        switch (level) {
        case 1: return RepairLevel1();
        case 2: return RepairLevel2();
        case 3: return RepairLevel3(refPath);
        default: return 0;
        }
    });
}

int CBaseRepair::WriteToFile(int64_t n)
{
    if (!m_input || !m_output)
        return MEND_ERR_NO_STREAM;
    uint8_t block[CBufferStream::kBufferSize];
    while (n > 0) {
        if (TestAbort())
            return MEND_ERR_ABORTED;
        unsigned int want = static_cast<unsigned int>(std::min<int64_t>(n, sizeof(block)));
        if (m_input->Read(block, want) != want)
            return MEND_ERR_READ;
        if (m_output->Write(block, want) != want)
            return MEND_ERR_WRITE;
        n -= want;
    }
    return 0;
}
