// A test-only stand-in for the media layer's player: the same C functions,
// scripted by the test. Each opened player holds the media described by
// FakeNextMedia() when it was created, delivers one synthetic frame per
// redraw on the calling thread (and a last one from another thread while
// it is released, as a decoding thread may), and logs what it was asked to
// do.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "MediaPlayer.h"

struct FakeMedia {
    bool opens = true;
    bool video = true;
    bool audio = true;
    bool pauseAccepted = true;
    int pixelFormat = MEDIA_PIXEL_YUV420P;
    int width = 60;
    int height = 45;
    int displayWidth = 0;
    int displayHeight = 0;
    uint64_t duration = 10000000;
    // The picture's one colour: Y, U, V for a planar frame, B, G, R, A for
    // a packed one.
    uint8_t pixel[4] = {81, 90, 240, 255};
    // What a fetched sound block holds; no block at all without audio.
    uint32_t rate = 44100;
    std::vector<uint16_t> samples;
};

// Settings for the players created from now on.
FakeMedia& FakeNextMedia();
// What the players were asked to do, oldest first: "create", "open <the
// stream's first bytes>", "release", "play", "pause", "stop", "seek <us>",
// "step <+1|-1>", "volume <v>", "renderer <v>", "begin-seek <us>",
// "end-seek", "callback <set|cleared>", "grab <w>x<h>", "release-image",
// "release-block". Tests may append their own entries with FakeLog.
std::vector<std::string> FakeCalls();
void FakeLog(const std::string& entry);
// Forgets the log and resets FakeNextMedia to its defaults.
void FakeReset();
// The player created last (null when released).
MediaPlayer* FakeCurrentPlayer();
void FakeSetPosition(MediaPlayer* player, uint64_t position, bool atEnd);

extern "C" bool FakePlayerInUse();
