// A small RealMedia writer and reader of the tests' own: the writer makes
// files that Debian's ffmpeg cannot (RV30/RV40 streams, an existing INDX),
// the reader walks chunks, packets and index records for structural checks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mendtest {

struct RmPacketSpec {
  uint16_t stream = 0;
  uint32_t timestamp = 0;
  bool key = false;
  std::vector<uint8_t> payload;
};

struct RmStreamSpec {
  uint16_t number = 0;
  std::string name;       // "Video Stream", "Audio Stream"
  std::string mime;       // "video/x-pn-realvideo", "audio/x-pn-realaudio"
  std::string fourcc;     // video codec, e.g. "RV40"; empty for audio
};

struct RmFileSpec {
  std::vector<RmStreamSpec> streams;
  std::vector<RmPacketSpec> packets;
  uint32_t duration = 0;  // PROP and every MDPR
  bool withIndex = false; // an INDX per stream, every packet
};

std::vector<uint8_t> WriteRealMedia(const RmFileSpec& spec);

struct RmChunkInfo {
  std::string id;
  int64_t pos = 0;
  uint32_t size = 0;
};
struct RmPacketRead {
  int64_t pos = 0;
  uint16_t version = 0;
  uint16_t length = 0;
  uint16_t stream = 0;
  uint32_t timestamp = 0;
  bool key = false;
};
struct RmIndexRecord {
  uint16_t stream = 0;
  uint32_t timestamp = 0;
  uint32_t offset = 0;
  uint32_t number = 0;
};
struct RmLayout {
  std::vector<RmChunkInfo> chunks;
  std::vector<RmPacketRead> packets;  // of every DATA chunk, as declared
  std::vector<RmIndexRecord> index;
  uint32_t propPackets = 0, propDuration = 0, propIndexOffset = 0, propDataOffset = 0;
};

// Walks top-level chunks by their sizes; packets by their lengths inside
// each DATA chunk's declared span. Stops at the first thing that does not fit.
RmLayout ReadRealMedia(const std::vector<uint8_t>& bytes);

}  // namespace mendtest
