// The player half of our media layer: opens media from a keyed stream,
// decodes on a thread of its own, paces frames to the audio clock (or to a
// steady clock without audio) and hands each frame to a callback. Handles
// are opaque; null means none. Times are unsigned microseconds.
#ifndef VIDMEND_MEDIAPLAYER_H
#define VIDMEND_MEDIAPLAYER_H

#include <stdint.h>

#include "MediaCore.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct MediaPlayer MediaPlayer;
typedef struct MediaFrame MediaFrame;

// Pixel layouts a frame can carry.
enum { MEDIA_PIXEL_YUV420P = 0, MEDIA_PIXEL_BGRA = 30 };

// Runs on the player's thread (or, for a redraw, possibly on the caller's)
// once per frame; the frame is valid until the callback returns. After
// mediaSetFrameCallback or mediaReleasePlayer returns, the previous
// callback is never called again.
typedef int (*MediaFrameCallback)(void* user, MediaFrame* frame);

MediaPlayer* mediaCreatePlayer(int flags);
// Non-zero when the stream held playable media. The player reads what it
// needs from the stream during the call; the caller may release the stream
// afterwards. The container is found by content. a, b, c, d are reserved
// and passed as 0. The player starts paused on its first frame.
int mediaOpenPlayer(MediaPlayer* player, MediaStream* stream, uint32_t a, uint32_t b, int c, int d);
// A player that another part of the media layer opened; the returned
// handle is released with mediaReleasePlayer like any other. No part of
// this media layer hands out such objects, so this answers null.
MediaPlayer* mediaWrapPlayer(void* object);
void mediaReleasePlayer(MediaPlayer* player);

void mediaPlay(MediaPlayer* player);
void mediaStop(MediaPlayer* player);
// 0 when the player was not playing (nothing changed), non-zero when paused.
int mediaPause(MediaPlayer* player);
int mediaIsAtEnd(MediaPlayer* player);
int mediaIsPlaying(MediaPlayer* player);
uint64_t mediaPosition(MediaPlayer* player);
uint64_t mediaDuration(MediaPlayer* player);
void mediaSeek(MediaPlayer* player, uint64_t time);
// +1 shows the next frame, -1 the previous one; the player stays paused.
void mediaStepFrame(MediaPlayer* player, int direction);
// Between these two, seeks may be coalesced: only the latest target within
// the tolerance (microseconds) is decoded exactly.
void mediaBeginAsyncSeek(MediaPlayer* player, uint64_t tolerance);
void mediaEndAsyncSeek(MediaPlayer* player);
void mediaSetVolume(MediaPlayer* player, uint32_t volume);
void mediaSetRendererVolume(MediaPlayer* player, uint32_t volume);
int mediaHasVideo(MediaPlayer* player, int flag);
int mediaHasAudio(MediaPlayer* player, int flag);
int mediaVideoWidth(MediaPlayer* player);
int mediaVideoHeight(MediaPlayer* player);
// The size the picture should be shown at (sample aspect applied); 0 when
// the stream reports none.
int mediaDisplayWidth(MediaPlayer* player);
int mediaDisplayHeight(MediaPlayer* player);

void mediaSetFrameCallback(MediaPlayer* player, MediaFrameCallback callback, void* user);
// Delivers the current (cached) frame again.
void mediaRedrawFrame(MediaPlayer* player);
int mediaFramePixelFormat(MediaFrame* frame);
int mediaFrameWidth(MediaFrame* frame);
int mediaFrameHeight(MediaFrame* frame);
int mediaFrameLineSize(MediaFrame* frame, int plane);
uint8_t* mediaFrameData(MediaFrame* frame, int plane);

// The latest block of played sound, laid out as a 44-byte WAV header
// (uint32 sample rate at byte 24, uint32 sample byte count at byte 40)
// followed by unsigned 16-bit samples: the last 50 ms heard, mixed to one
// channel and rectified to a level (0 silence, 65535 full scale), before
// the volume is applied. Null when nothing was played since the last call.
unsigned char* mediaFetchAudioBlock(MediaPlayer* player, int flags);
void mediaReleaseAudioBlock(MediaPlayer* player, unsigned char* block);

// The current picture encoded as PNG, scaled to w x h (0 x 0: its own
// size). The image pointer is the first byte of the encoded data.
unsigned char* mediaGrabImage(MediaPlayer* player, int w, int h, int flags);
uint32_t mediaImageSize(unsigned char* image);
void mediaReleaseImage(MediaPlayer* player, unsigned char* image);

#ifdef __cplusplus
}
#endif

#endif
