#include "core/TimestampRebase.h"

#include <algorithm>

namespace {
// 0.5 s at 90 kHz: more than frame reordering delays a presentation
// (GStreamer gives B-frames their presentation time only).
constexpr int64_t kReorderWindow = 45000;
}  // namespace

void CTimestampRebase::Add(uint32_t stream, int64_t t, int64_t position)
{
    if (m_stretches.empty()) {
        m_stretches.push_back(Stretch());
        m_stretches.back().first = position;
    }
    const uint32_t current = static_cast<uint32_t>(m_stretches.size() - 1);
    Track& track = m_tracks[stream];
    // A stream met again inside the same stretch must run on: far back,
    // or far past where its step leads, starts a new stretch. A stream's
    // first time in a stretch only joins it. Times may step back a little
    // where a muxer gives reordered frames their presentation time only.
    bool fresh = track.stretch != current;
    if (!fresh) {
        const bool back = t < track.last - kReorderWindow;
        const bool leap = t - track.last > track.step + m_forwardJump;
        if (back || leap) {
            m_stretches.push_back(Stretch());
            m_stretches.back().first = position;
            fresh = true;
        } else if (t > track.last) {
            track.step = t - track.last;
        }
    }
    Stretch& s = m_stretches.back();
    track.stretch = static_cast<uint32_t>(m_stretches.size() - 1);
    track.last = fresh ? t : std::max(track.last, t);
    s.minT = std::min(s.minT, t);
    s.end = std::max(s.end, t + track.step);
}

bool CTimestampRebase::Finish()
{
    for (size_t i = 1; i < m_stretches.size(); ++i) {
        const Stretch& before = m_stretches[i - 1];
        m_stretches[i].offset = before.end + before.offset - m_stretches[i].minT;
    }
    return Changed();
}

int64_t CTimestampRebase::OffsetAt(int64_t position) const
{
    // Stretches begin in file order; the last one begun at or before the
    // position holds it.
    auto it = std::upper_bound(m_stretches.begin(), m_stretches.end(), position,
                               [](int64_t p, const Stretch& s) { return p < s.first; });
    return it == m_stretches.begin() ? 0 : (it - 1)->offset;
}

int64_t ReadPesTimestamp(const uint8_t* p)
{
    return (static_cast<int64_t>((p[0] >> 1) & 0x07) << 30) | (static_cast<int64_t>(p[1]) << 22) |
           (static_cast<int64_t>(p[2] >> 1) << 15) | (static_cast<int64_t>(p[3]) << 7) | (p[4] >> 1);
}

bool PesTimestampMarkersValid(const uint8_t* p)
{
    return (p[0] & 1) && (p[2] & 1) && (p[4] & 1);
}

void WritePesTimestamp(uint8_t* p, int prefix, int64_t t)
{
    t &= (int64_t(1) << 33) - 1;
    p[0] = static_cast<uint8_t>((prefix << 4) | (((t >> 30) & 0x07) << 1) | 1);
    p[1] = static_cast<uint8_t>(t >> 22);
    p[2] = static_cast<uint8_t>(((t >> 15) & 0x7F) << 1 | 1);
    p[3] = static_cast<uint8_t>(t >> 7);
    p[4] = static_cast<uint8_t>((t & 0x7F) << 1 | 1);
}
