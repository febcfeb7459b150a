// The list of recorded damage that every repairer keeps and the caller
// reads after a parse.
#ifndef MENDCORE_ERRORLIST_H
#define MENDCORE_ERRORLIST_H

#include <stdint.h>

#include <deque>
#include <memory>

#include "mendcore/VideoRepair.h"

class CErrorList {
public:
    // Records a damage without detail. A second detail-less record of the
    // same code adds nothing: one "index missing" is enough.
    void AddError(JRVPFileError code);
    // Records a damaged run; every run is kept.
    void AddError(JRVPFileError code, std::unique_ptr<VPInvalidDataSegment> segment);
    // Records a damaged structure with the input offset of its header.
    void AddErrorAt(JRVPFileError code, int64_t offset);

    void SolveError(JRVPFileError code);
    void FECallBack(VPFileErrorCallback onError, void* user) const;
    // Null past the end. The pointer stays valid until the list changes.
    VPFileError* GetFileError(unsigned int index);
    int GetErrorsCount() const { return static_cast<int>(m_records.size()); }
    // Releases every record with its detail.
    void CloseError() { m_records.clear(); }

private:
    struct Record {
        VPFileError error{0, nullptr, false};
        std::unique_ptr<VPInvalidDataSegment> segment;
        std::unique_ptr<int64_t> offset;
    };
    std::deque<Record> m_records;
};

#endif
