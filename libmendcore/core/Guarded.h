// Runs work that may allocate and turns an escaping exception into a
// result code: nothing may unwind out of a worker thread or across the
// library's interface.
#ifndef MENDCORE_GUARDED_H
#define MENDCORE_GUARDED_H

#include <new>

#include "mendcore/VideoRepair.h"

template <typename F>
int GuardedCall(int noMemoryCode, F&& work)
{
    try {
        return work();
    } catch (const std::bad_alloc&) {
        return noMemoryCode;
    } catch (...) {
        return JRVP_ERR_UNKNOWN;  // outside every translation table: -16
    }
}

#endif
