#include "core/BaseRepair.h"

#include <algorithm>

#include "core/RepairDriver.h"

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

int CBaseRepair::GetProcess()
{
    return CurrentProgress(m_state, m_input.get(), m_output, m_inputLength);
}

int CBaseRepair::RepairFile(IBaseStream* out, int level, const char* refPath)
{
    return DriveRepair(m_state, m_errors, out, m_input.get(), level, m_output, [&] {
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
    return CopyInputToOutput(m_input.get(), m_output, n, m_state);
}
