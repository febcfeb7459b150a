// The interface every container repairer offers the repair object.
#ifndef MENDCORE_IBASEREPAIR_H
#define MENDCORE_IBASEREPAIR_H

#include <atomic>

#include "mendcore/VideoRepair.h"

class IBaseStream;

class IBaseRepair {
public:
    virtual ~IBaseRepair() {}
    // Analyses the whole input; 0 or a public code. onError hears every
    // recorded damage once, after a successful parse.
    virtual int ParseStream(VPFileErrorCallback onError, void* user) = 0;
    virtual void Close() = 0;
    // Progress in ten-thousandths; never waits on the worker's I/O.
    virtual int GetProcess() = 0;
    virtual int GetStatus() = 0;
    virtual int GetFormat() = 0;
    virtual VPFileError* GetFileError(unsigned int index) = 0;
    virtual int GetErrorsCount() = 0;
    // Writes a repaired copy to out; 0 or a public code.
    virtual int RepairFile(IBaseStream* out, int level, const char* refPath) = 0;
    virtual void AbortTask() = 0;
    // The repair object's abort request, which the repairer's loops read
    // alongside its own flag; set before the first parse.
    virtual void SetAbortSource(const std::atomic<bool>* source) = 0;
};

#endif
