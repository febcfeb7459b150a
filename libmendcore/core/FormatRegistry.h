// The one table that maps file extensions to containers and containers to
// their repairers. Adding a container touches this table and its own unit.
#ifndef MENDCORE_FORMATREGISTRY_H
#define MENDCORE_FORMATREGISTRY_H

#include <stddef.h>

#include <memory>

#include "core/IBaseRepair.h"
#include "mendcore/VideoRepair.h"

class IBaseStream;

struct ExtFormatRow {
    JRVPVideoFormat format;
    const char* const* extensions;
    size_t count;
};

// Rows in the order the guess visits them, ended by {0, nullptr, 0}.
extern const ExtFormatRow ExtFormatArr[];

// The container guessed from a path's extension (ASCII case ignored), or 0.
JRVPVideoFormat GuessFormat(const char* path);

// A new repairer of one container over the input, or null when the format
// is outside 1..10 or its repairer is not part of this build.
std::unique_ptr<IBaseRepair> NewRepairer(JRVPVideoFormat format, IBaseStream* input);

#endif
