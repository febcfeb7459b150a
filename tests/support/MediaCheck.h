// Ground truth for tests: what libavformat/libavcodec make of a file.
//
// CheckMedia opens a file, demuxes every packet and decodes every audio and
// video stream, capturing everything FFmpeg logs meanwhile. A file counts as
// clean when it opens, yields frames and nothing at error level was logged.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/codec_id.h>
#include <libavutil/avutil.h>
}

namespace mendtest {

struct StreamReport {
  int index = -1;
  AVMediaType type = AVMEDIA_TYPE_UNKNOWN;
  AVCodecID codecId = AV_CODEC_ID_NONE;
  std::string codecName;
  bool decoderOpened = false;  // false for non-audio/video streams too
  int64_t packets = 0;
  int64_t keyPackets = 0;
  int64_t frames = 0;          // decoded frames (audio: decoded AVFrames)
  double endSeconds = 0;       // last packet end minus first timestamp
};

struct PacketInfo {
  int stream = -1;
  int64_t pos = -1;            // byte offset in the file, -1 if unknown
  int size = 0;
  int64_t pts = AV_NOPTS_VALUE;
  int64_t dts = AV_NOPTS_VALUE;
  bool key = false;
};

struct LogLine {
  int level = AV_LOG_INFO;     // AV_LOG_* value
  std::string text;
};

struct MediaReport {
  std::string path;
  bool opened = false;
  std::string openError;       // av_strerror text when !opened
  std::string formatName;      // demuxer short name
  double durationSeconds = 0;  // container duration, else longest stream
  std::vector<StreamReport> streams;
  std::vector<PacketInfo> packets;
  // Lines logged at AV_LOG_WARNING or more severe, plus the harness's own
  // notes (decoder missing, read error). Levels <= AV_LOG_ERROR are errors.
  std::vector<LogLine> log;
  int errorCount = 0;

  bool HadErrors() const { return errorCount > 0; }
  std::vector<std::string> ErrorLines() const;
  // nullptr when there is no stream of that type.
  const StreamReport* FirstStream(AVMediaType type) const;
  int64_t VideoFrames() const;  // first video stream, 0 if none
  int64_t AudioFrames() const;  // first audio stream, 0 if none
  int64_t TotalFrames() const;  // all streams
  // Opened, decoded at least one frame, no error logged.
  bool CleanDecode() const;
  // One-paragraph description for assertion messages.
  std::string Summary() const;
};

// Never throws and never crashes on garbage; failures are in the report.
// Calls are serialised. While a call runs it owns av_log's callback; on
// return it reinstalls the callback given to SetAvLogCallbackToRestore
// (FFmpeg's default unless told otherwise: libavutil cannot report the one
// currently installed).
MediaReport CheckMedia(const std::string& path);

using AvLogCallback = void (*)(void*, int, const char*, va_list);
void SetAvLogCallbackToRestore(AvLogCallback callback);

}  // namespace mendtest
