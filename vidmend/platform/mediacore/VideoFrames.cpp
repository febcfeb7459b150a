#include "VideoFrames.h"

#include <algorithm>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/mathematics.h>
#include <libswscale/swscale.h>
}

namespace mediacore {

namespace {

constexpr int kLineAlign = 32;  // a multiple of 4, and what SIMD likes

bool UsableSize(int w, int h)
{
    return w > 0 && h > 0 && w <= kMaxPictureSide && h <= kMaxPictureSide;
}

bool HasOutputLayout(const AVFrame* frame)
{
    if (frame->format != AV_PIX_FMT_YUV420P)
        return false;
    for (int plane = 0; plane < 3; ++plane)
        if (!frame->data[plane] || frame->linesize[plane] <= 0 || frame->linesize[plane] % 4 != 0)
            return false;
    return true;
}

FramePtr Scale(SwsContext** sws, const AVFrame* frame, int w, int h, AVPixelFormat format)
{
    *sws = sws_getCachedContext(*sws, frame->width, frame->height, static_cast<AVPixelFormat>(frame->format), w, h,
                                format, SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (!*sws)
        return nullptr;
    FramePtr out = MakeFrame();
    if (!out)
        return nullptr;
    out->format = format;
    out->width = w;
    out->height = h;
    if (av_frame_get_buffer(out.get(), kLineAlign) < 0)
        return nullptr;
    if (sws_scale(*sws, frame->data, frame->linesize, 0, frame->height, out->data, out->linesize) != h)
        return nullptr;
    out->pts = frame->pts;
    out->best_effort_timestamp = frame->best_effort_timestamp;
    out->sample_aspect_ratio = frame->sample_aspect_ratio;
    return out;
}

}  // namespace

FrameConverter::~FrameConverter()
{
    sws_freeContext(sws_);
}

FramePtr FrameConverter::ToYuv420(const AVFrame* frame)
{
    if (!frame || !UsableSize(frame->width, frame->height))
        return nullptr;
    if (HasOutputLayout(frame)) {
        FramePtr ref = MakeFrame();
        if (ref && av_frame_ref(ref.get(), frame) == 0)
            return ref;
        return nullptr;
    }
    // Other layouts, full-range YUV among them, go through swscale.
    return Scale(&sws_, frame, frame->width, frame->height, AV_PIX_FMT_YUV420P);
}

std::vector<uint8_t> EncodePng(const AVFrame* frame, int w, int h)
{
    std::vector<uint8_t> png;
    if (!frame)
        return png;
    if (!UsableSize(frame->width, frame->height))
        return png;
    // A zero side follows the other at the picture's own proportions.
    if (w == 0 && h == 0) {
        w = frame->width;
        h = frame->height;
    } else if (w == 0 && h > 0 && h <= kMaxPictureSide) {
        w = static_cast<int>(std::max<int64_t>(av_rescale(h, frame->width, frame->height), 1));
    } else if (h == 0 && w > 0 && w <= kMaxPictureSide) {
        h = static_cast<int>(std::max<int64_t>(av_rescale(w, frame->height, frame->width), 1));
    }
    if (!UsableSize(w, h))
        return png;
    SwsContext* sws = nullptr;
    FramePtr rgb = Scale(&sws, frame, w, h, AV_PIX_FMT_RGB24);
    sws_freeContext(sws);
    if (!rgb)
        return png;

    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
    AVCodecContext* ctx = codec ? avcodec_alloc_context3(codec) : nullptr;
    AVPacket* packet = av_packet_alloc();
    if (ctx && packet) {
        ctx->width = w;
        ctx->height = h;
        ctx->pix_fmt = AV_PIX_FMT_RGB24;
        ctx->time_base = AVRational{1, 25};
        if (avcodec_open2(ctx, codec, nullptr) == 0 && avcodec_send_frame(ctx, rgb.get()) == 0 &&
            avcodec_receive_packet(ctx, packet) == 0 && packet->size > 0)
            png.assign(packet->data, packet->data + packet->size);
    }
    av_packet_free(&packet);
    avcodec_free_context(&ctx);
    return png;
}

}  // namespace mediacore
