#include "support/RealMedia.h"

#include <map>

namespace mendtest {
namespace {

void Put16(std::vector<uint8_t>& d, uint32_t v)
{
  d.push_back(static_cast<uint8_t>(v >> 8));
  d.push_back(static_cast<uint8_t>(v));
}
void Put32(std::vector<uint8_t>& d, uint32_t v)
{
  Put16(d, v >> 16);
  Put16(d, v & 0xFFFF);
}
void PutText(std::vector<uint8_t>& d, const std::string& s) { d.insert(d.end(), s.begin(), s.end()); }
void Patch32(std::vector<uint8_t>& d, size_t at, uint32_t v)
{
  for (int i = 0; i < 4; ++i)
    d[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
uint32_t Get16(const std::vector<uint8_t>& d, size_t at) { return uint32_t(d[at]) << 8 | d[at + 1]; }
uint32_t Get32(const std::vector<uint8_t>& d, size_t at) { return Get16(d, at) << 16 | Get16(d, at + 2); }

}  // namespace

std::vector<uint8_t> WriteRealMedia(const RmFileSpec& spec)
{
  std::vector<uint8_t> d;
  PutText(d, ".RMF");
  Put32(d, 18);
  Put16(d, 0);
  Put32(d, 0);
  Put32(d, 4 + static_cast<uint32_t>(spec.streams.size()));
  const size_t prop = d.size();
  PutText(d, "PROP");
  Put32(d, 50);
  Put16(d, 0);
  for (int i = 0; i < 4; ++i)
    Put32(d, 0);  // bit rates and packet sizes
  Put32(d, static_cast<uint32_t>(spec.packets.size()));
  Put32(d, spec.duration);
  Put32(d, 0);  // preroll
  Put32(d, 0);  // index offset
  Put32(d, 0);  // data offset
  Put16(d, static_cast<uint32_t>(spec.streams.size()));
  Put16(d, 0);
  for (const RmStreamSpec& s : spec.streams) {
    const size_t at = d.size();
    PutText(d, "MDPR");
    Put32(d, 0);
    Put16(d, 0);
    Put16(d, s.number);
    for (int i = 0; i < 6; ++i)
      Put32(d, 0);  // rates, sizes, start time, preroll
    Put32(d, spec.duration);
    d.push_back(static_cast<uint8_t>(s.name.size()));
    PutText(d, s.name);
    d.push_back(static_cast<uint8_t>(s.mime.size()));
    PutText(d, s.mime);
    if (!s.fourcc.empty()) {
      Put32(d, 26);
      Put32(d, 26);
      PutText(d, "VIDO");
      PutText(d, s.fourcc);
      Put16(d, 176);
      Put16(d, 144);
      Put16(d, 12);
      Put32(d, 0);
      Put32(d, 0);
    } else {
      Put32(d, 0);
    }
    Patch32(d, at + 4, static_cast<uint32_t>(d.size() - at));
  }
  const size_t data = d.size();
  Patch32(d, prop + 42, static_cast<uint32_t>(data));
  PutText(d, "DATA");
  Put32(d, 0);
  Put16(d, 0);
  Put32(d, static_cast<uint32_t>(spec.packets.size()));
  Put32(d, 0);
  std::vector<uint32_t> offsets;
  for (const RmPacketSpec& p : spec.packets) {
    offsets.push_back(static_cast<uint32_t>(d.size()));
    Put16(d, 0);
    Put16(d, 12 + static_cast<uint32_t>(p.payload.size()));
    Put16(d, p.stream);
    Put32(d, p.timestamp);
    d.push_back(0);
    d.push_back(p.key ? 2 : 0);
    d.insert(d.end(), p.payload.begin(), p.payload.end());
  }
  Patch32(d, data + 4, static_cast<uint32_t>(d.size() - data));
  if (spec.withIndex) {
    Patch32(d, prop + 38, static_cast<uint32_t>(d.size()));
    for (size_t si = 0; si < spec.streams.size(); ++si) {
      const RmStreamSpec& s = spec.streams[si];
      const size_t at = d.size();
      uint32_t n = 0;
      for (const RmPacketSpec& p : spec.packets)
        n += p.stream == s.number;
      PutText(d, "INDX");
      Put32(d, 20 + 14 * n);
      Put16(d, 0);
      Put32(d, n);
      Put16(d, s.number);
      Put32(d, si + 1 < spec.streams.size() ? static_cast<uint32_t>(at + 20 + 14 * n) : 0);
      for (size_t i = 0; i < spec.packets.size(); ++i) {
        if (spec.packets[i].stream != s.number)
          continue;
        Put16(d, 0);
        Put32(d, spec.packets[i].timestamp);
        Put32(d, offsets[i]);
        Put32(d, static_cast<uint32_t>(i));
      }
    }
  }
  return d;
}

RmLayout ReadRealMedia(const std::vector<uint8_t>& d)
{
  RmLayout out;
  size_t p = 0;
  while (p + 8 <= d.size()) {
    RmChunkInfo c;
    c.id.assign(reinterpret_cast<const char*>(&d[p]), 4);
    c.pos = static_cast<int64_t>(p);
    c.size = Get32(d, p + 4);
    // A DATA chunk's size is only a hint (ffmpeg's overstates it).
    if (c.id == "DATA" && c.size >= 8 && p + c.size > d.size())
      c.size = static_cast<uint32_t>(d.size() - p);
    if (c.size < 8 || p + c.size > d.size())
      break;
    out.chunks.push_back(c);
    if (c.id == "PROP" && c.size >= 50) {
      out.propPackets = Get32(d, p + 26);
      out.propDuration = Get32(d, p + 30);
      out.propIndexOffset = Get32(d, p + 38);
      out.propDataOffset = Get32(d, p + 42);
    } else if (c.id == "DATA") {
      size_t q = p + 18;
      while (q + 12 <= p + c.size) {
        RmPacketRead k;
        k.pos = static_cast<int64_t>(q);
        k.version = static_cast<uint16_t>(Get16(d, q));
        k.length = static_cast<uint16_t>(Get16(d, q + 2));
        k.stream = static_cast<uint16_t>(Get16(d, q + 4));
        k.timestamp = Get32(d, q + 6);
        if (k.version > 1 || k.length < 12 + k.version || q + k.length > p + c.size)
          break;
        k.key = (d[q + 11 + k.version] & 2) != 0;
        out.packets.push_back(k);
        q += k.length;
      }
    } else if (c.id == "INDX" && c.size >= 20) {
      const uint32_t n = Get32(d, p + 10);
      const uint16_t stream = static_cast<uint16_t>(Get16(d, p + 14));
      for (uint32_t i = 0; i < n && p + 20 + 14 * (i + 1) <= p + c.size; ++i) {
        const size_t r = p + 20 + 14 * i;
        out.index.push_back(RmIndexRecord{stream, Get32(d, r + 2), Get32(d, r + 6), Get32(d, r + 10)});
      }
    }
    p += c.size;
  }
  return out;
}

}  // namespace mendtest
