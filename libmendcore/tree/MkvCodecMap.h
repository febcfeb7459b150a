// Matroska CodecID strings and the libavcodec codecs that decode them, for
// opening a key-frame parser on a track.
#ifndef MENDCORE_MKVCODECMAP_H
#define MENDCORE_MKVCODECMAP_H

#include <map>
#include <memory>
#include <string>

extern "C" {
#include <libavcodec/codec_id.h>
}

// Keyed by the exact CodecID (case-sensitive, no prefix matching).
using MkvCodecMap = std::map<std::string, AVCodecID>;

std::unique_ptr<MkvCodecMap> InitMkvCodecMap();
void DelMkvCodecMap(std::unique_ptr<MkvCodecMap>& map);

#endif
