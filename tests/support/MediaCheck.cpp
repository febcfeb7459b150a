#include "support/MediaCheck.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <sstream>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace mendtest {
namespace {

// Only one CheckMedia at a time owns the av_log callback.
std::mutex g_checkMutex;

// The collector is touched from av_log, which a decoder may call from its own
// threads, hence a separate lock from the one serialising CheckMedia.
struct LogCollector {
  std::mutex mutex;
  std::vector<LogLine>* sink = nullptr;
  int* errors = nullptr;
  std::string pending;  // a line av_log delivered in fragments
  int pendingLevel = AV_LOG_QUIET;
  int printPrefix = 1;
  AvLogCallback restore = av_log_default_callback;
};
LogCollector g_log;

void FlushPendingLocked() {
  if (g_log.pending.empty()) return;
  while (!g_log.pending.empty() && (g_log.pending.back() == '\n' || g_log.pending.back() == '\r'))
    g_log.pending.pop_back();
  if (g_log.sink) {
    g_log.sink->push_back({g_log.pendingLevel, g_log.pending});
    if (g_log.pendingLevel <= AV_LOG_ERROR && g_log.errors) ++*g_log.errors;
  }
  g_log.pending.clear();
  g_log.pendingLevel = AV_LOG_QUIET;
}

void CaptureCallback(void* avcl, int level, const char* fmt, va_list vl) {
  std::lock_guard<std::mutex> lock(g_log.mutex);
  if (!g_log.sink) return;
  if (level >= 0) level &= 0xff;  // high bits carry a colour tint
  // Debug chatter is not formatted at all; the prefix state still has to
  // follow line ends so the next kept line gets its "[h264 @ 0x..]" tag.
  if (level > AV_LOG_WARNING) {
    const size_t n = fmt ? std::char_traits<char>::length(fmt) : 0;
    if (n) g_log.printPrefix = fmt[n - 1] == '\n';
    return;
  }
  char line[1024];
  av_log_format_line2(avcl, level, fmt, vl, line, sizeof line, &g_log.printPrefix);
  g_log.pendingLevel = g_log.pending.empty() ? level : std::min(level, g_log.pendingLevel);
  g_log.pending += line;
  if (!g_log.pending.empty() && g_log.pending.back() == '\n') FlushPendingLocked();
}

// Installs the collector for its lifetime.
class ScopedCapture {
 public:
  ScopedCapture(std::vector<LogLine>* sink, int* errors) {
    std::lock_guard<std::mutex> lock(g_log.mutex);
    g_log.sink = sink;
    g_log.errors = errors;
    g_log.pending.clear();
    g_log.pendingLevel = AV_LOG_QUIET;
    g_log.printPrefix = 1;
    av_log_set_callback(CaptureCallback);
  }
  ~ScopedCapture() {
    std::lock_guard<std::mutex> lock(g_log.mutex);
    FlushPendingLocked();
    av_log_set_callback(g_log.restore);
    g_log.sink = nullptr;
    g_log.errors = nullptr;
  }
  ScopedCapture(const ScopedCapture&) = delete;
  ScopedCapture& operator=(const ScopedCapture&) = delete;
};

std::string AvError(int err) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(err, buf, sizeof buf);
  return buf;
}

struct FormatCloser {
  void operator()(AVFormatContext* ctx) const { avformat_close_input(&ctx); }
};
struct CodecFreer {
  void operator()(AVCodecContext* ctx) const { avcodec_free_context(&ctx); }
};
struct PacketFreer {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FrameFreer {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using CodecPtr = std::unique_ptr<AVCodecContext, CodecFreer>;

// The harness's own findings go into the same log as FFmpeg's.
void Note(MediaReport& r, int level, const std::string& text) {
  std::lock_guard<std::mutex> lock(g_log.mutex);
  r.log.push_back({level, text});
  if (level <= AV_LOG_ERROR) ++r.errorCount;
}

// Drains every frame the decoder has ready. Returns false on a hard error.
bool Drain(MediaReport& r, StreamReport& s, AVCodecContext* dec, AVFrame* frame) {
  for (;;) {
    const int ret = avcodec_receive_frame(dec, frame);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return true;
    if (ret < 0) {
      Note(r, AV_LOG_ERROR, "stream " + std::to_string(s.index) + ": receive_frame: " + AvError(ret));
      return false;
    }
    ++s.frames;
    av_frame_unref(frame);
  }
}

void Decode(MediaReport& r, StreamReport& s, AVCodecContext* dec, const AVPacket* pkt,
            AVFrame* frame) {
  for (int attempt = 0;; ++attempt) {
    const int ret = avcodec_send_packet(dec, pkt);
    if (ret == AVERROR(EAGAIN) && attempt < 8) {
      // Output is full: take frames and offer the packet again.
      if (!Drain(r, s, dec, frame)) return;
      continue;
    }
    if (ret < 0 && ret != AVERROR_EOF) {
      Note(r, AV_LOG_ERROR, "stream " + std::to_string(s.index) + ": send_packet: " + AvError(ret));
    }
    break;
  }
  Drain(r, s, dec, frame);
}

// A runaway demuxer on hostile input must not hang the test.
constexpr int64_t kMaxPackets = 2000000;

}  // namespace

void SetAvLogCallbackToRestore(AvLogCallback callback) {
  std::lock_guard<std::mutex> lock(g_log.mutex);
  g_log.restore = callback ? callback : av_log_default_callback;
}

std::vector<std::string> MediaReport::ErrorLines() const {
  std::vector<std::string> out;
  for (const auto& l : log)
    if (l.level <= AV_LOG_ERROR) out.push_back(l.text);
  return out;
}

const StreamReport* MediaReport::FirstStream(AVMediaType type) const {
  for (const auto& s : streams)
    if (s.type == type) return &s;
  return nullptr;
}

int64_t MediaReport::VideoFrames() const {
  const auto* s = FirstStream(AVMEDIA_TYPE_VIDEO);
  return s ? s->frames : 0;
}

int64_t MediaReport::AudioFrames() const {
  const auto* s = FirstStream(AVMEDIA_TYPE_AUDIO);
  return s ? s->frames : 0;
}

int64_t MediaReport::TotalFrames() const {
  int64_t n = 0;
  for (const auto& s : streams) n += s.frames;
  return n;
}

bool MediaReport::CleanDecode() const { return opened && errorCount == 0 && TotalFrames() > 0; }

std::string MediaReport::Summary() const {
  std::ostringstream os;
  os << path << ": ";
  if (!opened) {
    os << "not opened (" << openError << ")";
  } else {
    os << formatName << ", " << durationSeconds << " s, " << packets.size() << " packets";
    for (const auto& s : streams) {
      const char* type = av_get_media_type_string(s.type);
      os << "\n  #" << s.index << ' ' << (type ? type : "?") << ' ' << s.codecName
         << " packets=" << s.packets << " key=" << s.keyPackets << " frames=" << s.frames
         << (s.decoderOpened ? "" : " (not decoded)");
    }
  }
  os << "\n  errors=" << errorCount;
  for (const auto& l : log) os << "\n  [" << l.level << "] " << l.text;
  return os.str();
}

MediaReport CheckMedia(const std::string& path) {
  std::lock_guard<std::mutex> serial(g_checkMutex);
  MediaReport r;
  r.path = path;
  ScopedCapture capture(&r.log, &r.errorCount);

  AVFormatContext* raw = nullptr;
  int ret = avformat_open_input(&raw, path.c_str(), nullptr, nullptr);
  if (ret < 0) {
    r.openError = AvError(ret);
    return r;
  }
  std::unique_ptr<AVFormatContext, FormatCloser> fmt(raw);
  ret = avformat_find_stream_info(fmt.get(), nullptr);
  if (ret < 0) {
    r.openError = "find_stream_info: " + AvError(ret);
    return r;
  }
  r.opened = true;
  r.formatName = fmt->iformat && fmt->iformat->name ? fmt->iformat->name : "";

  std::vector<CodecPtr> decoders;
  // Timestamps as doubles: hostile files carry values that would overflow
  // int64 arithmetic.
  std::vector<double> firstTs, lastEnd;
  const double kUnset = -1e300;
  // Streams can appear mid-file (MPEG-TS, FLV), so setup is per index.
  auto setUp = [&](unsigned i) {
    const AVStream* st = fmt->streams[i];
    StreamReport s;
    s.index = static_cast<int>(i);
    s.type = st->codecpar->codec_type;
    s.codecId = st->codecpar->codec_id;
    s.codecName = avcodec_get_name(s.codecId);
    CodecPtr dec;
    const AVCodec* codec = nullptr;
    if (s.type == AVMEDIA_TYPE_VIDEO || s.type == AVMEDIA_TYPE_AUDIO) {
      codec = avcodec_find_decoder(s.codecId);
      if (!codec) Note(r, AV_LOG_ERROR, "stream " + std::to_string(i) + ": no decoder for " + s.codecName);
    }
    if (codec) {
      dec.reset(avcodec_alloc_context3(codec));
      if (!dec || avcodec_parameters_to_context(dec.get(), st->codecpar) < 0) {
        Note(r, AV_LOG_ERROR, "stream " + std::to_string(i) + ": cannot set up decoder");
        dec.reset();
      }
    }
    if (dec) {
      dec->pkt_timebase = st->time_base;
      dec->thread_count = 1;  // same frames every run, no extra threads under the sanitizer
      const int err = avcodec_open2(dec.get(), codec, nullptr);
      if (err < 0) {
        Note(r, AV_LOG_ERROR, "stream " + std::to_string(i) + ": open decoder: " + AvError(err));
        dec.reset();
      }
    }
    s.decoderOpened = dec != nullptr;
    r.streams.push_back(std::move(s));
    decoders.push_back(std::move(dec));
    firstTs.push_back(kUnset);
    lastEnd.push_back(kUnset);
  };
  while (r.streams.size() < fmt->nb_streams) setUp(static_cast<unsigned>(r.streams.size()));

  std::unique_ptr<AVPacket, PacketFreer> pkt(av_packet_alloc());
  std::unique_ptr<AVFrame, FrameFreer> frame(av_frame_alloc());
  if (!pkt || !frame) {
    Note(r, AV_LOG_ERROR, "out of memory");
    return r;
  }

  for (;;) {
    ret = av_read_frame(fmt.get(), pkt.get());
    if (ret < 0) {
      if (ret != AVERROR_EOF) Note(r, AV_LOG_ERROR, "read_frame: " + AvError(ret));
      break;
    }
    if (static_cast<int64_t>(r.packets.size()) >= kMaxPackets) {
      av_packet_unref(pkt.get());
      Note(r, AV_LOG_ERROR, "too many packets, gave up");
      break;
    }
    const int si = pkt->stream_index;
    while (r.streams.size() < fmt->nb_streams) setUp(static_cast<unsigned>(r.streams.size()));
    if (si < 0 || static_cast<size_t>(si) >= r.streams.size()) {
      av_packet_unref(pkt.get());
      continue;
    }
    const bool key = (pkt->flags & AV_PKT_FLAG_KEY) != 0;
    r.packets.push_back({si, pkt->pos, pkt->size, pkt->pts, pkt->dts, key});
    StreamReport& s = r.streams[si];
    ++s.packets;
    if (key) ++s.keyPackets;

    const int64_t ts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
    if (ts != AV_NOPTS_VALUE) {
      const double t = static_cast<double>(ts);
      const double end = t + static_cast<double>(std::max<int64_t>(pkt->duration, 0));
      if (firstTs[si] == kUnset || t < firstTs[si]) firstTs[si] = t;
      if (lastEnd[si] == kUnset || end > lastEnd[si]) lastEnd[si] = end;
    }
    if (decoders[si]) Decode(r, s, decoders[si].get(), pkt.get(), frame.get());
    av_packet_unref(pkt.get());
  }

  for (size_t i = 0; i < decoders.size(); ++i) {
    if (decoders[i]) Decode(r, r.streams[i], decoders[i].get(), nullptr, frame.get());
  }

  double longest = 0;
  for (size_t i = 0; i < r.streams.size(); ++i) {
    if (firstTs[i] == kUnset) continue;
    const AVRational tb = fmt->streams[i]->time_base;
    if (tb.num <= 0 || tb.den <= 0) continue;
    r.streams[i].endSeconds = (lastEnd[i] - firstTs[i]) * av_q2d(tb);
    longest = std::max(longest, r.streams[i].endSeconds);
  }
  r.durationSeconds = fmt->duration != AV_NOPTS_VALUE && fmt->duration > 0
                          ? static_cast<double>(fmt->duration) / AV_TIME_BASE
                          : longest;
  return r;
}

}  // namespace mendtest
