#include "core/ErrorList.h"

void CErrorList::AddError(JRVPFileError code)
{
    for (const Record& r : m_records)
        if (r.error.code == code && r.error.detail == nullptr)
            return;
    m_records.emplace_back();
    m_records.back().error.code = code;
}

void CErrorList::AddError(JRVPFileError code, std::unique_ptr<VPInvalidDataSegment> segment)
{
    if (!segment) {
        AddError(code);
        return;
    }
    m_records.emplace_back();
    Record& r = m_records.back();
    r.error.code = code;
    r.segment = std::move(segment);
    r.error.detail = r.segment.get();
}

void CErrorList::AddErrorAt(JRVPFileError code, int64_t offset)
{
    m_records.emplace_back();
    Record& r = m_records.back();
    r.error.code = code;
    r.offset = std::make_unique<int64_t>(offset);
    r.error.detail = r.offset.get();
}

void CErrorList::SolveError(JRVPFileError code)
{
    for (Record& r : m_records)
        if (r.error.code == code)
            r.error.solved = true;
}

void CErrorList::FECallBack(VPFileErrorCallback onError, void* user) const
{
    if (!onError)
        return;
    for (const Record& r : m_records)
        onError(r.error.code, user);
}

VPFileError* CErrorList::GetFileError(unsigned int index)
{
    if (index >= m_records.size())
        return nullptr;
    return &m_records[index].error;
}
