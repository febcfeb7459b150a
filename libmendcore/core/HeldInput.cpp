#include "core/HeldInput.h"

#include <string.h>

#include <algorithm>
#include <new>

std::unique_ptr<CHeldInput> CHeldInput::Take(IBaseStream* from)
{
    const long long size = from ? from->GetLength() : -1;
    if (size < 0 || size > kMaxHeld)
        return nullptr;
    // Only the bytes read are ever looked at: nothing is zeroed first.
    std::unique_ptr<uint8_t[]> bytes(new (std::nothrow) uint8_t[size > 0 ? size : 1]);
    if (!bytes || from->ReadAt(0, bytes.get(), static_cast<unsigned int>(size)) != size)
        return nullptr;
    return std::unique_ptr<CHeldInput>(new (std::nothrow) CHeldInput(std::move(bytes), size));
}

unsigned int CHeldInput::Read(void* buf, unsigned int n)
{
    CStreamGuard lock(m_lock);
    if (!buf || m_pos >= m_size)
        return 0;
    const unsigned int got = static_cast<unsigned int>(std::min<long long>(n, m_size - m_pos));
    memcpy(buf, m_bytes.get() + m_pos, got);
    m_pos += got;
    return got;
}

long long CHeldInput::ReadAt(long long pos, void* buf, unsigned int n)
{
    if (!buf || pos < 0)
        return -1;
    if (pos >= m_size)
        return 0;
    const unsigned int got = static_cast<unsigned int>(std::min<long long>(n, m_size - pos));
    memcpy(buf, m_bytes.get() + pos, got);
    return got;
}

long long CHeldInput::GetPos()
{
    CStreamGuard lock(m_lock);
    return m_pos;
}

long long CHeldInput::SeekTo(long long pos)
{
    CStreamGuard lock(m_lock);
    if (pos < 0)
        return -1;
    m_pos = pos;
    return pos;
}

long long CHeldInput::JumpOver(long long distance)
{
    CStreamGuard lock(m_lock);
    const long long to = JumpedPosition(m_pos, distance);
    if (to < 0)
        return -1;
    m_pos = to;
    return m_pos;
}
