// The media layer the application talks to: start-up, a probe that tells
// whether a file holds video, and keyed file streams that encipher what is
// written and decipher what is read. Handles are opaque; null means none.
// Paths are UTF-8. Plain C linkage so any part of the program can use it.
#ifndef VIDMEND_MEDIACORE_H
#define VIDMEND_MEDIACORE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct MediaInfo MediaInfo;
typedef struct MediaStream MediaStream;

// Quietens the demuxers' logging: damaged files are our normal input and
// would otherwise flood the terminal. Safe to call more than once; 0.
int mediaStartup(int flags);

// Probe. mediaOpenInfo returns non-zero when the file was opened as media;
// it gives up after a bounded probe and a wall-clock deadline, so a
// garbage or hostile file cannot stall the caller.
MediaInfo* mediaCreateInfo(int flags);
int mediaOpenInfo(MediaInfo* info, const char* path);
int mediaInfoHasVideo(MediaInfo* info);
void mediaReleaseInfo(MediaInfo* info);

// Keyed file stream. Mode 0 opens an existing file for reading; mode 1
// creates a new file for reading and writing and refuses to replace one
// that exists. Until a non-zero key is set the bytes pass unchanged.
enum { MEDIA_STREAM_READ = 0, MEDIA_STREAM_WRITE = 1 };
MediaStream* mediaOpenStream(const char* path, int mode);
// 1 when the key was accepted (any key is, on an open stream).
int mediaSetStreamKey(MediaStream* stream, uint32_t key);
// Bytes transferred at the current position, which advances by that count.
// Fewer than n: end of data (read) or an error.
uint32_t mediaReadStream(MediaStream* stream, void* buffer, uint32_t n);
uint32_t mediaWriteStream(MediaStream* stream, const void* buffer, uint32_t n);
// -1 for a null handle or a failed query.
int64_t mediaStreamLength(MediaStream* stream);
int64_t mediaStreamPosition(MediaStream* stream);
// 0 on success; a negative position is refused (-1) and changes nothing.
int mediaSeekStream(MediaStream* stream, int64_t pos);
void mediaReleaseStream(MediaStream* stream);

#ifdef __cplusplus
}
#endif

#endif
