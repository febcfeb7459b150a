#include "core/ReadWindow.h"

#include <algorithm>

#include "core/ResultCodes.h"

void CReadWindow::Clear()
{
    std::vector<uint8_t>().swap(m_bytes);
    m_start = m_end = 0;
}

int CReadWindow::Load(IBaseStream* in, int64_t pos, int64_t length)
{
    // Until the read is through, the window holds nothing.
    m_start = m_end = pos;
    if (!in || pos < 0)
        return MEND_ERR_READ;
    if (m_bytes.size() < static_cast<size_t>(kSize))
        m_bytes.resize(static_cast<size_t>(kSize));
    const int64_t n = std::min<int64_t>(kSize, length - pos);
    if (in->GetPos() != pos && in->SeekTo(pos) != pos)
        return MEND_ERR_READ;
    if (n > 0 && in->Read(m_bytes.data(), static_cast<unsigned>(n)) != n)
        return MEND_ERR_READ;
    m_end = pos + std::max<int64_t>(n, 0);
    return 0;
}

const uint8_t* CReadWindow::Fetch(IBaseStream* in, int64_t pos, int64_t n, int64_t length)
{
    if (pos < 0 || n < 0 || n > kSize || pos > length || n > length - pos)
        return nullptr;
    if (pos < m_start || pos > m_end || n > m_end - pos) {
        if (Load(in, pos, length) != 0 || n > m_end - pos)
            return nullptr;
    }
    return m_bytes.data() + (pos - m_start);
}
