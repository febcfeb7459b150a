// Pictures as the player hands them out: planar YUV 4:2:0 with line sizes
// that are multiples of 4 (what a GL upload with 4-byte row alignment
// needs), and still images encoded as PNG.
#ifndef VIDMEND_VIDEOFRAMES_H
#define VIDMEND_VIDEOFRAMES_H

#include <stdint.h>

#include <vector>

#include "MediaSource.h"

struct SwsContext;

namespace mediacore {

// Largest picture side we convert or encode; anything larger is damage.
constexpr int kMaxPictureSide = 16384;

class FrameConverter {
 public:
    FrameConverter() = default;
    ~FrameConverter();
    FrameConverter(const FrameConverter&) = delete;
    FrameConverter& operator=(const FrameConverter&) = delete;

    // A reference to frame when it already has the layout, else a
    // converted copy. Null when the frame cannot be converted.
    FramePtr ToYuv420(const AVFrame* frame);

 private:
    SwsContext* sws_ = nullptr;
};

// The picture scaled to w x h (0 x 0: its own size) and encoded as PNG.
// Empty on failure or a size out of range.
std::vector<uint8_t> EncodePng(const AVFrame* frame, int w, int h);

}  // namespace mediacore

#endif
