#include <algorithm>
#include <limits>

#include "core/BaseStream.h"
#include "core/ResultCodes.h"
#include "mendcore/VideoRepair.h"

unsigned int CBaseStream::Read(void* buf, unsigned int n)
{
    if (!m_stream)
        return 0;
    return std::min(m_stream->Read(buf, n), n);
}

unsigned int CBaseStream::Write(const void* buf, unsigned int n)
{
    if (!m_stream)
        return 0;
    unsigned int w = std::min(m_stream->Write(buf, n), n);
    if (w < n)
        m_failed = true;
    return w;
}

long long CBaseStream::GetLength()
{
    return m_stream ? m_stream->GetLength() : static_cast<long long>(JRVP_ERR_OPEN_FAILED);
}

long long CBaseStream::SetLength(long long)
{
    return 0;
}

long long CBaseStream::GetPos()
{
    return m_stream ? m_stream->GetPos() : static_cast<long long>(JRVP_ERR_OPEN_FAILED);
}

long long CBaseStream::SeekTo(long long pos)
{
    if (!m_stream)
        return JRVP_ERR_OPEN_FAILED;
    if (pos < 0)
        return -1;
    return m_stream->SeekTo(pos);
}

long long CBaseStream::JumpOver(long long distance)
{
    if (!m_stream)
        return JRVP_ERR_OPEN_FAILED;
    long long here = m_stream->GetPos();
    if (here < 0 || (distance > 0 && here > std::numeric_limits<long long>::max() - distance))
        return -1;
    return SeekTo(here + distance);
}
