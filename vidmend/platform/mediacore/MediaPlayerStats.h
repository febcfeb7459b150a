// Playback figures of a player, for the benchmark. Not for the application.
#ifndef VIDMEND_MEDIAPLAYERSTATS_H
#define VIDMEND_MEDIAPLAYERSTATS_H

#include "MediaPlayer.h"
#include "PlayerEngine.h"

namespace mediacore {

// Zeroes for a null or unopened player.
PlayerStats StatsOf(MediaPlayer* player);

}  // namespace mediacore

#endif
