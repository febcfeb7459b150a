// The RealMedia chunk schema (which top-level chunks a file may hold, which
// must be present, which may repeat) and the map from a stream's codec
// FourCC to the libavcodec codec that judges its key frames.
#ifndef MENDCORE_RMSCHEMA_H
#define MENDCORE_RMSCHEMA_H

#include <map>
#include <memory>

#include "tree/LabelNode.h"

extern "C" {
#include <libavcodec/codec_id.h>
}

// Four-character codes read little-endian: the first character is the
// lowest byte, as the bytes stand in the file.
constexpr unsigned int RmFourCC(char a, char b, char c, char d)
{
    return static_cast<unsigned int>(static_cast<unsigned char>(a)) |
           static_cast<unsigned int>(static_cast<unsigned char>(b)) << 8 |
           static_cast<unsigned int>(static_cast<unsigned char>(c)) << 16 |
           static_cast<unsigned int>(static_cast<unsigned char>(d)) << 24;
}

enum RmChunkId : unsigned int {
    RM_ID_RMF = RmFourCC('.', 'R', 'M', 'F'),
    RM_ID_PROP = RmFourCC('P', 'R', 'O', 'P'),
    RM_ID_MDPR = RmFourCC('M', 'D', 'P', 'R'),
    RM_ID_CONT = RmFourCC('C', 'O', 'N', 'T'),
    RM_ID_DATA = RmFourCC('D', 'A', 'T', 'A'),
    RM_ID_INDX = RmFourCC('I', 'N', 'D', 'X'),
    RM_ID_RMMD = RmFourCC('R', 'M', 'M', 'D'),
};

using RmSchemaTree = TSchemaTree<unsigned int>;

// Built on first use (safe from any thread), shared read-only by every
// RealMedia repairer for the life of the library.
const RmSchemaTree& RmSchema();

// Exact FourCC (case-sensitive) to codec.
using RmCodecMap = std::map<unsigned int, AVCodecID>;
std::unique_ptr<RmCodecMap> InitRmffCodecMap();
// The codec of a FourCC, AV_CODEC_ID_NONE when it is not mapped.
AVCodecID RmCodecOf(unsigned int fourcc);

#endif
