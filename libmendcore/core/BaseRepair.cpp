#include "core/BaseRepair.h"

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
