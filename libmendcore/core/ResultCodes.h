// Result codes inside the library. Repairers return the internal codes
// below; only the repairer bases translate them into the public codes of
// mendcore/VideoRepair.h.
#ifndef MENDCORE_RESULTCODES_H
#define MENDCORE_RESULTCODES_H

#include "mendcore/VideoRepair.h"

enum MendInternalResult : int {
    MEND_ERR_NO_STREAM = -1,        // a stream is missing
    MEND_ERR_NOT_CONTAINER = -2,    // not this container
    MEND_ERR_ABORTED = -3,
    MEND_ERR_NO_MEMORY = -4,
    MEND_ERR_READ = -5,             // a read failed or fell short
    MEND_ERR_WRITE = -6,            // a write failed or fell short
    MEND_ERR_CANNOT_REPAIR = -7,    // public -13
    MEND_ERR_REPAIR_REFUSED = -8,   // public -12
    MEND_ERR_UNREPAIRABLE = -9,     // public -14 (also: step budget spent)
    MEND_ERR_NO_CODEC_LIBRARY = -10,  // FFmpeg's libraries could not be loaded
};

// Internal code -> public code. Values of at least 0 are success (0). Any
// code outside the table is an unknown error: a failure must never read as
// success, and never as "no damage".
int TranslateResult(int internal);

#endif
