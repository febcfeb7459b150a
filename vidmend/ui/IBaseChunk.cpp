#include "IBaseChunk.h"

#include "QChunkControl.h"

#include <QMutex>

IBaseChunk::IBaseChunk(bool withLock)
{
    if (withLock)
        m_lock = std::make_unique<QMutex>();
    // Last, so a new row always holds a check state of its own.
    SetCheck(0);
}

IBaseChunk::~IBaseChunk() = default;

QChunkControl* IBaseChunk::getChunkControl()
{
    if (!m_chunkControl)
        m_chunkControl = std::make_unique<QChunkControl>();
    return m_chunkControl.get();
}

void IBaseChunk::SetCheck(int state)
{
    setIntValue(kCheckKey, state);
}

int IBaseChunk::GetCheck()
{
    return getIntValue(kCheckKey);
}

void IBaseChunk::setDate(std::string date)
{
    setStringValue(kDateKey, std::move(date));
}

std::string IBaseChunk::getDate()
{
    return getStringValue(kDateKey);
}

void IBaseChunk::Reset()
{
    m_id = 0;
    m_owner = nullptr;
    m_title.clear();
}

void IBaseChunk::Lock()
{
    if (m_lock)
        m_lock->lock();
}

void IBaseChunk::UnLock()
{
    if (m_lock)
        m_lock->unlock();
}

void IBaseChunk::setColumnEnable(int column, bool on)
{
    if (column < 0 || column >= 32)
        return;
    const uint32_t bit = 1u << column;
    m_columnEnable = on ? (m_columnEnable | bit) : (m_columnEnable & ~bit);
}

bool IBaseChunk::getColumnEnable(int column) const
{
    if (column < 0 || column >= 32)
        return true;
    return (m_columnEnable & (1u << column)) != 0;
}
