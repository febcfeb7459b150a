// What the rest of the media layer needs of a keyed stream beyond the C
// interface. Not for the application.
#ifndef VIDMEND_MEDIASTREAMACCESS_H
#define VIDMEND_MEDIASTREAMACCESS_H

#include "MediaCore.h"

namespace mediacore {

// A second, independent stream on the same open file with the same key,
// positioned at 0. The player reads through one of these, so the caller may
// release the stream it handed over as soon as the player has opened. The
// file stays reachable even if its name is removed meanwhile. Null on
// failure; release with mediaReleaseStream.
MediaStream* DuplicateStream(MediaStream* stream);

}  // namespace mediacore

#endif
