#include "MediaPipeline.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

extern "C" {
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include "MediaConvert.h"

namespace mediacore {

namespace {

// A picture edge is drawn at most this many times the output's size.
constexpr int kMaxOverlayFactor = 4;
// A frame whose start lies this close before an output instant counts as
// covering it, against timestamps rounded to whole microseconds.
constexpr int64_t kFrameTolerance = 500;
constexpr AVRational kMicros{1, AV_TIME_BASE};

int EvenDown(int v)
{
    return std::max(2, v & ~1);
}

// The kept rectangle in pixels, its corner on the chroma grid.
void CropPixels(const double f[4], int width, int height, const AVPixFmtDescriptor* desc, int& x, int& y, int& w,
                int& h)
{
    const int alignX = desc ? (1 << desc->log2_chroma_w) : 1;
    const int alignY = desc ? (1 << desc->log2_chroma_h) : 1;
    x = std::clamp(int(std::lround(f[0] * width)), 0, std::max(0, width - 1));
    y = std::clamp(int(std::lround(f[1] * height)), 0, std::max(0, height - 1));
    x -= x % alignX;
    y -= y % alignY;
    w = std::clamp(int(std::lround(f[2] * width)), 1, width - x);
    h = std::clamp(int(std::lround(f[3] * height)), 1, height - y);
}

void ReadCrop(const SettingMap& s, double f[4])
{
    f[0] = s.Real(MEDIA_KEY_CROP_X, 0.0);
    f[1] = s.Real(MEDIA_KEY_CROP_Y, 0.0);
    f[2] = s.Real(MEDIA_KEY_CROP_W, 1.0);
    f[3] = s.Real(MEDIA_KEY_CROP_H, 1.0);
    for (int i = 0; i < 4; ++i) {
        if (!std::isfinite(f[i]))
            f[i] = i < 2 ? 0.0 : 1.0;
        f[i] = std::clamp(f[i], 0.0, 1.0);
    }
    if (f[2] <= 0.0)
        f[2] = 1.0;
    if (f[3] <= 0.0)
        f[3] = 1.0;
}

// Quarter turns clockwise; angles between quarters are not drawn.
int QuarterTurns(const SettingMap& s)
{
    const int64_t degrees = ((s.Int(MEDIA_KEY_ROTATION) % 360) + 360) % 360;
    return degrees % 90 == 0 ? int(degrees / 90) : 0;
}

FramePtr AllocPicture(AVPixelFormat format, int width, int height)
{
    FramePtr frame(av_frame_alloc());
    if (!frame)
        return nullptr;
    frame->format = format;
    frame->width = width;
    frame->height = height;
    if (av_frame_get_buffer(frame.get(), 0) < 0)
        return nullptr;
    return frame;
}

// BT.601 limited range, as the encoders' YUV 4:2:0 expects by default.
void ArgbToYuv(uint32_t argb, uint8_t& y, uint8_t& u, uint8_t& v)
{
    const int r = (argb >> 16) & 0xFF;
    const int g = (argb >> 8) & 0xFF;
    const int b = argb & 0xFF;
    y = uint8_t(std::clamp((66 * r + 129 * g + 25 * b + 128) / 256 + 16, 0, 255));
    u = uint8_t(std::clamp((-38 * r - 74 * g + 112 * b + 128) / 256 + 128, 0, 255));
    v = uint8_t(std::clamp((112 * r - 94 * g - 18 * b + 128) / 256 + 128, 0, 255));
}

void FillPicture(AVFrame* frame, uint32_t argb)
{
    uint8_t yuv[3];
    ArgbToYuv(argb, yuv[0], yuv[1], yuv[2]);
    for (int p = 0; p < 3; ++p) {
        const int h = p ? (frame->height + 1) / 2 : frame->height;
        const int w = p ? (frame->width + 1) / 2 : frame->width;
        for (int row = 0; row < h; ++row)
            std::memset(frame->data[p] + size_t(row) * frame->linesize[p], yuv[p], size_t(w));
    }
}

uint8_t Blend(uint8_t under, uint8_t over, int alpha)
{
    return uint8_t((under * (255 - alpha) + over * alpha + 127) / 255);
}

template <typename T>
void Gain(T* samples, size_t n, double gain)
{
    for (size_t i = 0; i < n; ++i) {
        double v = samples[i] * gain;
        if constexpr (std::is_integral_v<T>)
            v = std::clamp(v, double(std::numeric_limits<T>::min()), double(std::numeric_limits<T>::max()));
        samples[i] = T(v);
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// InputMedia

int InputMedia::Interrupted(void* opaque)
{
    auto* self = static_cast<InputMedia*>(opaque);
    return self->control_ && self->control_->Cancelled() ? 1 : 0;
}

bool InputMedia::Open(const std::string& path, RunControl* control)
{
    control_ = control;
    if (!demuxer_.OpenPath(path, Interrupted, this))
        return false;
    AVFormatContext* fmt = demuxer_.Format();
    videoIndex_ = BestStream(fmt, AVMEDIA_TYPE_VIDEO);
    audioIndex_ = BestStream(fmt, AVMEDIA_TYPE_AUDIO);
    if (videoIndex_ >= 0) {
        videoDecoder_ = OpenDecoder(fmt->streams[videoIndex_]);
        if (!videoDecoder_ || videoDecoder_->width <= 0 || videoDecoder_->height <= 0)
            videoIndex_ = -1;
    }
    if (audioIndex_ >= 0) {
        audioDecoder_ = OpenDecoder(fmt->streams[audioIndex_]);
        if (!audioDecoder_ || audioDecoder_->sample_rate <= 0 || audioDecoder_->ch_layout.nb_channels <= 0)
            audioIndex_ = -1;
    }
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
        if (int(i) != videoIndex_ && int(i) != audioIndex_)
            fmt->streams[i]->discard = AVDISCARD_ALL;
    }
    return videoIndex_ >= 0 || audioIndex_ >= 0;
}

void InputMedia::ShapedSize(const SettingMap& s, int& width, int& height) const
{
    width = height = 0;
    if (!videoDecoder_)
        return;
    double f[4];
    ReadCrop(s, f);
    int x, y;
    CropPixels(f, videoDecoder_->width, videoDecoder_->height, av_pix_fmt_desc_get(videoDecoder_->pix_fmt), x, y,
               width, height);
    if (QuarterTurns(s) % 2)
        std::swap(width, height);
}

AVRational InputMedia::FrameRate() const
{
    if (videoIndex_ < 0)
        return {25, 1};
    const AVStream* st = demuxer_.Format()->streams[videoIndex_];
    for (AVRational r : {st->avg_frame_rate, st->r_frame_rate}) {
        if (r.num > 0 && r.den > 0 && av_q2d(r) >= 1.0 && av_q2d(r) <= 240.0)
            return r;
    }
    return {25, 1};
}

uint64_t InputMedia::Duration() const
{
    const AVFormatContext* fmt = demuxer_.Format();
    if (!fmt)
        return 0;
    if (fmt->duration != AV_NOPTS_VALUE && fmt->duration > 0)
        return uint64_t(fmt->duration);
    int64_t longest = 0;
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
        const AVStream* st = fmt->streams[i];
        if (st->duration != AV_NOPTS_VALUE && st->duration > 0)
            longest = std::max(longest, av_rescale_q(st->duration, st->time_base, kMicros));
    }
    return uint64_t(longest);
}

uint64_t InputMedia::Expected(const TrimRange& range) const
{
    const uint64_t duration = Duration();
    if (!duration)
        return range.length;
    if (range.start >= duration)
        return 0;
    const uint64_t rest = duration - range.start;
    return range.length ? std::min(range.length, rest) : rest;
}

// ---------------------------------------------------------------------------
// OutputMedia

OutputMedia::~OutputMedia()
{
    Free();
}

void OutputMedia::Free()
{
    videoEncoder_.reset();
    audioEncoder_.reset();
    if (mux_) {
        if (mux_->pb)
            avio_closep(&mux_->pb);
        avformat_free_context(mux_);
        mux_ = nullptr;
    }
    videoStream_ = audioStream_ = nullptr;
    headerWritten_ = false;
    sws_freeContext(toEncoder_);
    toEncoder_ = nullptr;
    if (fifo_) {
        av_audio_fifo_free(fifo_);
        fifo_ = nullptr;
    }
    lastPicture_.reset();
    scratch_.reset();
}

void OutputMedia::Discard()
{
    Free();
    if (!path_.empty())
        unlink(path_.c_str());
    path_.clear();
}

bool OutputMedia::Open(const std::string& path, const std::string& format, const ConvertSettings& settings,
                       InputMedia& first)
{
    Free();
    settings_ = settings;
    const AVOutputFormat* of = nullptr;
    if (!format.empty()) {
        of = av_guess_format(format.c_str(), nullptr, nullptr);
        if (!of)
            of = av_guess_format(nullptr, ("output." + format).c_str(), nullptr);
    } else {
        of = av_guess_format(nullptr, path.c_str(), nullptr);
    }
    packet_.reset(av_packet_alloc());
    if (!of || !packet_ || !CreateNewFile(path))
        return false;
    path_ = path;
    if (avformat_alloc_output_context2(&mux_, of, nullptr, path.c_str()) < 0 || !mux_) {
        mux_ = nullptr;
        Discard();
        return false;
    }
    // Audio containers name a picture codec for cover art (MP3 and FLAC
    // take PNG); moving pictures go there only when asked for by codec.
    const bool pictures = of->video_codec != AV_CODEC_ID_NONE &&
                          (of->video_codec != AV_CODEC_ID_PNG || settings_.values.Int(MEDIA_KEY_VIDEO_CODEC));
    if (first.VideoIndex() >= 0 && pictures && !OpenVideo(first)) {
        Discard();
        return false;
    }
    if (first.AudioIndex() >= 0 && of->audio_codec != AV_CODEC_ID_NONE && !OpenAudio(first)) {
        Discard();
        return false;
    }
    if (!videoEncoder_ && !audioEncoder_) {
        Discard();
        return false;
    }
    if (settings_.values.Int(MEDIA_KEY_KEEP_METADATA))
        av_dict_copy(&mux_->metadata, first.Source().Format()->metadata, 0);
    AddChapters();
    if (avio_open(&mux_->pb, path.c_str(), AVIO_FLAG_WRITE) < 0 || avformat_write_header(mux_, nullptr) < 0) {
        Discard();
        return false;
    }
    headerWritten_ = true;
    PrepareOverlays();
    return true;
}

bool OutputMedia::OpenVideo(InputMedia& first)
{
    const SettingMap& s = settings_.values;
    AVCodecID id = mux_->oformat->video_codec;
    uint32_t tag = 0;
    const uint32_t setting = uint32_t(s.Int(MEDIA_KEY_VIDEO_CODEC));
    if (setting == MEDIA_FOURCC('H', '2', '6', '5')) {
        id = AV_CODEC_ID_HEVC;
    } else if (setting == MKTAG('X', 'V', 'I', 'D') || setting == MKTAG('D', 'X', '5', '0')) {
        id = AV_CODEC_ID_MPEG4;
        tag = setting;
    } else if (setting) {
        id = AVCodecID(setting);
    }
    const AVCodec* codec = avcodec_find_encoder(id);
    if (!codec || codec->type != AVMEDIA_TYPE_VIDEO)
        return false;

    int w = int(s.Int(MEDIA_KEY_VIDEO_WIDTH));
    int h = int(s.Int(MEDIA_KEY_VIDEO_HEIGHT));
    if (w <= 0 || h <= 0) {
        w = int(s.Int(MEDIA_KEY_CROP_WIDTH));
        h = int(s.Int(MEDIA_KEY_CROP_HEIGHT));
    }
    if (w <= 0 || h <= 0)
        first.ShapedSize(s, w, h);
    if (w > 16384 || h > 16384)
        return false;
    width_ = EvenDown(w);
    height_ = EvenDown(h);
    const int64_t num = s.Int(MEDIA_KEY_FRAME_RATE_NUM);
    const int64_t den = s.Int(MEDIA_KEY_FRAME_RATE_DEN);
    fps_ = first.FrameRate();
    if (num > 0 && den > 0 && num <= INT32_MAX && den <= INT32_MAX && double(num) / double(den) <= 1000.0)
        av_reduce(&fps_.num, &fps_.den, num, den, INT32_MAX);

    videoEncoder_.reset(avcodec_alloc_context3(codec));
    if (!videoEncoder_)
        return false;
    AVCodecContext* enc = videoEncoder_.get();
    enc->width = width_;
    enc->height = height_;
    enc->sample_aspect_ratio = {1, 1};
    enc->framerate = fps_;
    enc->time_base = av_inv_q(fps_);
    enc->pix_fmt = AV_PIX_FMT_YUV420P;
    if (codec->pix_fmts) {
        enc->pix_fmt = codec->pix_fmts[0];
        for (const AVPixelFormat* p = codec->pix_fmts; *p != AV_PIX_FMT_NONE; ++p) {
            if (*p == AV_PIX_FMT_YUV420P)
                enc->pix_fmt = *p;
        }
    }
    if (s.Int(MEDIA_KEY_VIDEO_BIT_RATE) > 0)
        enc->bit_rate = s.Int(MEDIA_KEY_VIDEO_BIT_RATE);
    if (s.Int(MEDIA_KEY_VIDEO_GOP) > 0)
        enc->gop_size = int(std::min<int64_t>(s.Int(MEDIA_KEY_VIDEO_GOP), 100000));
    if (s.Int(MEDIA_KEY_VIDEO_REFS) > 0)
        enc->refs = int(std::min<int64_t>(s.Int(MEDIA_KEY_VIDEO_REFS), 16));
    if (s.Has(MEDIA_KEY_VIDEO_PROFILE))
        enc->profile = int(s.Int(MEDIA_KEY_VIDEO_PROFILE));
    if (mux_->oformat->flags & AVFMT_GLOBALHEADER)
        enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    enc->thread_count = CodecThreads() ? 0 : 1;
    if (avcodec_open2(enc, codec, nullptr) < 0)
        return false;
    videoStream_ = avformat_new_stream(mux_, nullptr);
    if (!videoStream_ || avcodec_parameters_from_context(videoStream_->codecpar, enc) < 0)
        return false;
    videoStream_->time_base = enc->time_base;
    videoStream_->avg_frame_rate = fps_;
    if (tag && mux_->oformat->codec_tag && av_codec_get_id(mux_->oformat->codec_tag, tag) == id)
        videoStream_->codecpar->codec_tag = tag;
    if (enc->pix_fmt != AV_PIX_FMT_YUV420P) {
        toEncoder_ = sws_getContext(width_, height_, AV_PIX_FMT_YUV420P, width_, height_, enc->pix_fmt, SWS_POINT,
                                    nullptr, nullptr, nullptr);
        if (!toEncoder_)
            return false;
    }
    return true;
}

bool OutputMedia::OpenAudio(InputMedia& first)
{
    const SettingMap& s = settings_.values;
    const AVCodecContext* dec = first.AudioDecoder();
    const AVCodec* codec = nullptr;
    if (!s.Text(MEDIA_KEY_AUDIO_ENCODER).empty())
        codec = avcodec_find_encoder_by_name(s.Text(MEDIA_KEY_AUDIO_ENCODER).c_str());
    if (!codec) {
        const AVCodecID id = s.Int(MEDIA_KEY_AUDIO_CODEC) ? AVCodecID(s.Int(MEDIA_KEY_AUDIO_CODEC))
                                                          : mux_->oformat->audio_codec;
        codec = avcodec_find_encoder(id);
    }
    if (!codec || codec->type != AVMEDIA_TYPE_AUDIO)
        return false;
    audioEncoder_.reset(avcodec_alloc_context3(codec));
    if (!audioEncoder_)
        return false;
    AVCodecContext* enc = audioEncoder_.get();

    int rate = s.Int(MEDIA_KEY_AUDIO_SAMPLE_RATE) > 0 ? int(std::min<int64_t>(s.Int(MEDIA_KEY_AUDIO_SAMPLE_RATE), 768000))
                                                      : dec->sample_rate;
    if (codec->supported_samplerates) {
        int best = codec->supported_samplerates[0];
        for (const int* r = codec->supported_samplerates; *r; ++r) {
            if (std::abs(*r - rate) < std::abs(best - rate))
                best = *r;
        }
        rate = best;
    }
    int channels = s.Int(MEDIA_KEY_AUDIO_CHANNELS) > 0 ? int(s.Int(MEDIA_KEY_AUDIO_CHANNELS))
                                                       : dec->ch_layout.nb_channels;
    channels = std::clamp(channels, 1, 8);
    AVChannelLayout layout;
    av_channel_layout_default(&layout, channels);
    if (codec->ch_layouts) {
        bool supported = false;
        const AVChannelLayout* sameCount = nullptr;
        for (const AVChannelLayout* l = codec->ch_layouts; l->nb_channels; ++l) {
            if (!av_channel_layout_compare(l, &layout))
                supported = true;
            if (!sameCount && l->nb_channels == channels)
                sameCount = l;
        }
        if (!supported) {
            av_channel_layout_uninit(&layout);
            av_channel_layout_copy(&layout, sameCount ? sameCount : codec->ch_layouts);
        }
    }
    av_channel_layout_copy(&enc->ch_layout, &layout);
    av_channel_layout_uninit(&layout);
    enc->sample_rate = rate;
    enc->sample_fmt = codec->sample_fmts ? codec->sample_fmts[0] : AV_SAMPLE_FMT_S16;
    enc->time_base = {1, rate};
    if (s.Int(MEDIA_KEY_AUDIO_BIT_RATE) > 0)
        enc->bit_rate = s.Int(MEDIA_KEY_AUDIO_BIT_RATE);
    if (mux_->oformat->flags & AVFMT_GLOBALHEADER)
        enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (avcodec_open2(enc, codec, nullptr) < 0)
        return false;
    audioStream_ = avformat_new_stream(mux_, nullptr);
    if (!audioStream_ || avcodec_parameters_from_context(audioStream_->codecpar, enc) < 0)
        return false;
    audioStream_->time_base = enc->time_base;
    fifo_ = av_audio_fifo_alloc(enc->sample_fmt, enc->ch_layout.nb_channels, 4096);
    return fifo_ != nullptr;
}

void OutputMedia::AddChapters()
{
    AppendChapters(mux_, settings_.chapters);
}

void AppendChapters(AVFormatContext* mux, const std::vector<ChapterSetting>& chapters)
{
    int id = 0;
    for (const ChapterSetting& c : chapters) {
        if (!c.duration)
            continue;
        auto* chapter = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
        if (!chapter)
            return;
        chapter->id = ++id;
        chapter->time_base = kMicros;
        chapter->start = int64_t(std::min<uint64_t>(c.start, INT64_MAX / 2));
        chapter->end = chapter->start + int64_t(std::min<uint64_t>(c.duration, INT64_MAX / 2));
        if (!c.title.empty())
            av_dict_set(&chapter->metadata, "title", c.title.c_str(), 0);
        if (av_dynarray_add_nofree(&mux->chapters, reinterpret_cast<int*>(&mux->nb_chapters), chapter) < 0) {
            av_dict_free(&chapter->metadata);
            av_free(chapter);
            return;
        }
    }
}

void OutputMedia::PrepareOverlays()
{
    overlays_.clear();
    if (!videoEncoder_)
        return;
    for (const OverlaySetting& o : settings_.overlays) {
        const SettingMap& v = o.values;
        if (!v.Int(MEDIA_IMAGE_VISIBLE, 1))
            continue;
        Picture decoded;
        const Picture* picture = &o.pixels;
        if (picture->Empty()) {
            if (o.encoded.empty() || !DecodePicture(o.encoded, decoded))
                continue;
            picture = &decoded;
        }
        PreparedOverlay p;
        const double fw = v.Real(MEDIA_IMAGE_WIDTH);
        const double fh = v.Real(MEDIA_IMAGE_HEIGHT);
        const double w = fw > 0.0 ? fw * width_ : picture->width * v.Real(MEDIA_IMAGE_SCALE_X, 100.0) / 100.0;
        const double h = fh > 0.0 ? fh * height_ : picture->height * v.Real(MEDIA_IMAGE_SCALE_Y, 100.0) / 100.0;
        if (!std::isfinite(w) || !std::isfinite(h) || w < 1.0 || h < 1.0)
            continue;
        p.width = int(std::min<double>(std::lround(w), width_ * kMaxOverlayFactor));
        p.height = int(std::min<double>(std::lround(h), height_ * kMaxOverlayFactor));
        // The setting places the overlay's centre relative to the picture's.
        const double cx = v.Real(MEDIA_IMAGE_X);
        const double cy = v.Real(MEDIA_IMAGE_Y);
        if (!std::isfinite(cx) || !std::isfinite(cy) || std::fabs(cx) > 4.0 || std::fabs(cy) > 4.0)
            continue;
        p.x = int(std::lround((cx + 0.5) * width_ - p.width / 2.0));
        p.y = int(std::lround((cy + 0.5) * height_ - p.height / 2.0));
        p.alpha = int(std::clamp<int64_t>(v.Int(MEDIA_IMAGE_ALPHA, 255), 0, 255));
        p.from = v.Int(MEDIA_IMAGE_START, -1);
        p.until = v.Int(MEDIA_IMAGE_END, -1);
        SwsContext* sws = sws_getContext(picture->width, picture->height, AV_PIX_FMT_BGRA, p.width, p.height,
                                         AV_PIX_FMT_YUVA444P, SWS_BICUBIC, nullptr, nullptr, nullptr);
        if (!sws)
            continue;
        uint8_t* dst[4];
        int dstLines[4];
        for (int i = 0; i < 4; ++i) {
            p.planes[i].assign(size_t(p.width) * size_t(p.height), 0);
            dst[i] = p.planes[i].data();
            dstLines[i] = p.width;
        }
        const uint8_t* src[4] = {picture->bgra.data(), nullptr, nullptr, nullptr};
        const int srcLines[4] = {picture->width * 4, 0, 0, 0};
        const int rows = sws_scale(sws, src, srcLines, 0, picture->height, dst, dstLines);
        sws_freeContext(sws);
        if (rows == p.height)
            overlays_.push_back(std::move(p));
    }
}

void OutputMedia::DrawOverlays(AVFrame* picture, int64_t time) const
{
    for (const PreparedOverlay& o : overlays_) {
        if ((o.from >= 0 && time < o.from) || (o.until >= 0 && time >= o.until))
            continue;
        const uint8_t* oy = o.planes[0].data();
        const uint8_t* ou = o.planes[1].data();
        const uint8_t* ov = o.planes[2].data();
        const uint8_t* oa = o.planes[3].data();
        const int x0 = std::max(0, o.x);
        const int y0 = std::max(0, o.y);
        const int x1 = std::min(width_, o.x + o.width);
        const int y1 = std::min(height_, o.y + o.height);
        for (int y = y0; y < y1; ++y) {
            uint8_t* row = picture->data[0] + size_t(y) * picture->linesize[0];
            const size_t base = size_t(y - o.y) * o.width;
            for (int x = x0; x < x1; ++x) {
                const size_t i = base + size_t(x - o.x);
                const int a = oa[i] * o.alpha / 255;
                if (a)
                    row[x] = Blend(row[x], oy[i], a);
            }
        }
        // Each chroma sample takes the overlay's sample at its top-left luma position.
        for (int cy = y0 / 2; cy * 2 < y1; ++cy) {
            const int sy = std::clamp(cy * 2 - o.y, 0, o.height - 1);
            uint8_t* u = picture->data[1] + size_t(cy) * picture->linesize[1];
            uint8_t* v = picture->data[2] + size_t(cy) * picture->linesize[2];
            for (int cx = x0 / 2; cx * 2 < x1; ++cx) {
                const int sx = std::clamp(cx * 2 - o.x, 0, o.width - 1);
                const size_t i = size_t(sy) * o.width + size_t(sx);
                const int a = oa[i] * o.alpha / 255;
                if (a) {
                    u[cx] = Blend(u[cx], ou[i], a);
                    v[cx] = Blend(v[cx], ov[i], a);
                }
            }
        }
    }
}

int OutputMedia::SampleRate() const
{
    return audioEncoder_ ? audioEncoder_->sample_rate : 0;
}

const AVChannelLayout* OutputMedia::Layout() const
{
    return audioEncoder_ ? &audioEncoder_->ch_layout : nullptr;
}

AVSampleFormat OutputMedia::SampleFormat() const
{
    return audioEncoder_ ? audioEncoder_->sample_fmt : AV_SAMPLE_FMT_NONE;
}

int64_t OutputMedia::FrameTime(int64_t k) const
{
    return av_rescale_q(k, av_inv_q(fps_), kMicros);
}

int OutputMedia::DrainEncoder(AVCodecContext* encoder, AVStream* stream)
{
    for (;;) {
        int r = avcodec_receive_packet(encoder, packet_.get());
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF)
            return 0;
        if (r < 0)
            return r;
        av_packet_rescale_ts(packet_.get(), encoder->time_base, stream->time_base);
        packet_->stream_index = stream->index;
        r = av_interleaved_write_frame(mux_, packet_.get());
        if (r < 0)
            return r;
    }
}

int OutputMedia::EncodeVideo(AVFrame* frame)
{
    const int r = avcodec_send_frame(videoEncoder_.get(), frame);
    if (r < 0 && r != AVERROR_EOF)
        return r;
    return DrainEncoder(videoEncoder_.get(), videoStream_);
}

int OutputMedia::EncodeAudio(AVFrame* frame)
{
    const int r = avcodec_send_frame(audioEncoder_.get(), frame);
    if (r < 0 && r != AVERROR_EOF)
        return r;
    return DrainEncoder(audioEncoder_.get(), audioStream_);
}

int OutputMedia::WriteVideo(const AVFrame* picture)
{
    if (!videoEncoder_ || !picture || picture->width != width_ || picture->height != height_ ||
        picture->format != AV_PIX_FMT_YUV420P)
        return AVERROR(EINVAL);
    FramePtr frame = AllocPicture(AV_PIX_FMT_YUV420P, width_, height_);
    if (!frame || av_frame_copy(frame.get(), picture) < 0)
        return AVERROR(ENOMEM);
    // The clean picture is what a gap between inputs repeats.
    lastPicture_.reset(av_frame_clone(frame.get()));
    if (!overlays_.empty()) {
        if (av_frame_make_writable(frame.get()) < 0)
            return AVERROR(ENOMEM);
        DrawOverlays(frame.get(), FrameTime(videoFrames_));
    }
    if (toEncoder_) {
        FramePtr converted = AllocPicture(videoEncoder_->pix_fmt, width_, height_);
        if (!converted)
            return AVERROR(ENOMEM);
        sws_scale(toEncoder_, frame->data, frame->linesize, 0, height_, converted->data, converted->linesize);
        frame = std::move(converted);
    }
    frame->pts = videoFrames_++;
    return EncodeVideo(frame.get());
}

int OutputMedia::WriteAudio(const uint8_t* const* data, int samples)
{
    if (!audioEncoder_ || samples < 0)
        return AVERROR(EINVAL);
    if (!samples)
        return 0;
    if (av_audio_fifo_write(fifo_, reinterpret_cast<void**>(const_cast<uint8_t**>(data)), samples) < samples)
        return AVERROR(ENOMEM);
    audioQueued_ += samples;
    return PushAudioFrames(false);
}

int OutputMedia::PushAudioFrames(bool final)
{
    AVCodecContext* enc = audioEncoder_.get();
    const bool variable = enc->codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE;
    const int frameSize = enc->frame_size > 0 && !variable ? enc->frame_size : 1024;
    const bool smallLast = variable || (enc->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME);
    while (av_audio_fifo_size(fifo_) >= frameSize || (final && av_audio_fifo_size(fifo_) > 0)) {
        const int n = std::min(av_audio_fifo_size(fifo_), frameSize);
        FramePtr frame(av_frame_alloc());
        if (!frame)
            return AVERROR(ENOMEM);
        frame->nb_samples = n < frameSize && !smallLast ? frameSize : n;
        frame->format = enc->sample_fmt;
        frame->sample_rate = enc->sample_rate;
        if (av_channel_layout_copy(&frame->ch_layout, &enc->ch_layout) < 0 || av_frame_get_buffer(frame.get(), 0) < 0)
            return AVERROR(ENOMEM);
        if (frame->nb_samples > n)
            av_samples_set_silence(frame->extended_data, n, frame->nb_samples - n, enc->ch_layout.nb_channels,
                                   enc->sample_fmt);
        if (av_audio_fifo_read(fifo_, reinterpret_cast<void**>(frame->extended_data), n) < n)
            return AVERROR(EIO);
        frame->pts = audioSamples_;
        audioSamples_ += frame->nb_samples;
        const int r = EncodeAudio(frame.get());
        if (r < 0)
            return r;
    }
    return 0;
}

int OutputMedia::AlignStreams()
{
    if (!videoEncoder_ || !audioEncoder_)
        return 0;
    const int rate = audioEncoder_->sample_rate;
    const int64_t videoTime = FrameTime(videoFrames_);
    const int64_t audioTime = av_rescale(audioQueued_, AV_TIME_BASE, rate);
    if (audioTime < videoTime) {
        int64_t missing = av_rescale(videoTime - audioTime, rate, AV_TIME_BASE);
        const int channels = audioEncoder_->ch_layout.nb_channels;
        uint8_t** silence = nullptr;
        if (av_samples_alloc_array_and_samples(&silence, nullptr, channels, 4096, audioEncoder_->sample_fmt, 0) < 0)
            return AVERROR(ENOMEM);
        av_samples_set_silence(silence, 0, 4096, channels, audioEncoder_->sample_fmt);
        int r = 0;
        while (missing > 0 && r >= 0) {
            const int n = int(std::min<int64_t>(missing, 4096));
            r = WriteAudio(silence, n);
            missing -= n;
        }
        av_freep(&silence[0]);
        av_freep(&silence);
        return r;
    }
    FramePtr hold;
    if (lastPicture_)
        hold.reset(av_frame_clone(lastPicture_.get()));
    else if ((hold = AllocPicture(AV_PIX_FMT_YUV420P, width_, height_)))
        FillPicture(hold.get(), 0xFF000000u);
    if (!hold)
        return AVERROR(ENOMEM);
    while (FrameTime(videoFrames_) + FrameTime(1) / 2 < audioTime) {
        const int r = WriteVideo(hold.get());
        if (r < 0)
            return r;
    }
    return 0;
}

bool OutputMedia::Close()
{
    if (!mux_)
        return false;
    bool ok = headerWritten_;
    if (ok && audioEncoder_) {
        ok = PushAudioFrames(true) >= 0 && EncodeAudio(nullptr) >= 0;
    }
    if (ok && videoEncoder_)
        ok = EncodeVideo(nullptr) >= 0;
    if (headerWritten_ && av_write_trailer(mux_) < 0)
        ok = false;
    if (mux_->pb && avio_closep(&mux_->pb) < 0)
        ok = false;
    Free();
    return ok;
}

// ---------------------------------------------------------------------------
// PictureShaper

PictureShaper::~PictureShaper()
{
    sws_freeContext(toTurn_);
    sws_freeContext(toOutput_);
}

bool PictureShaper::Setup(const SettingMap& s, int outWidth, int outHeight)
{
    ReadCrop(s, crop_);
    quarterTurns_ = QuarterTurns(s);
    flip_ = int(s.Int(MEDIA_KEY_FLIP));
    if (flip_ < 0 || flip_ > 2)
        flip_ = 0;
    pad_ = s.Int(MEDIA_KEY_PAD) != 0;
    padColour_ = uint32_t(s.Int(MEDIA_KEY_PAD_COLOUR, 0xFF000000));
    outWidth_ = outWidth;
    outHeight_ = outHeight;
    output_ = AllocPicture(AV_PIX_FMT_YUV420P, outWidth, outHeight);
    return output_ != nullptr;
}

bool PictureShaper::Rotate(const AVFrame* cropped)
{
    const int sw = cropped->width;
    const int sh = cropped->height;
    if (!work_ || work_->width != sw || work_->height != sh)
        work_ = AllocPicture(AV_PIX_FMT_YUV444P, sw, sh);
    const bool across = quarterTurns_ % 2;
    const int tw = across ? sh : sw;
    const int th = across ? sw : sh;
    if (!turned_ || turned_->width != tw || turned_->height != th)
        turned_ = AllocPicture(AV_PIX_FMT_YUV444P, tw, th);
    toTurn_ = sws_getCachedContext(toTurn_, sw, sh, AVPixelFormat(cropped->format), sw, sh, AV_PIX_FMT_YUV444P,
                                   SWS_POINT, nullptr, nullptr, nullptr);
    if (!work_ || !turned_ || !toTurn_)
        return false;
    sws_scale(toTurn_, cropped->data, cropped->linesize, 0, sh, work_->data, work_->linesize);
    for (int p = 0; p < 3; ++p) {
        const uint8_t* src = work_->data[p];
        const int sl = work_->linesize[p];
        uint8_t* dst = turned_->data[p];
        const int dl = turned_->linesize[p];
        for (int y = 0; y < sh; ++y) {
            const int fy = flip_ == 2 ? sh - 1 - y : y;
            for (int x = 0; x < sw; ++x) {
                const int fx = flip_ == 1 ? sw - 1 - x : x;
                int dx = x, dy = y;
                switch (quarterTurns_) {
                case 1: dx = sh - 1 - y; dy = x; break;
                case 2: dx = sw - 1 - x; dy = sh - 1 - y; break;
                case 3: dx = y; dy = sw - 1 - x; break;
                default: break;
                }
                dst[size_t(dy) * dl + dx] = src[size_t(fy) * sl + fx];
            }
        }
    }
    return true;
}

const AVFrame* PictureShaper::Shape(const AVFrame* decoded)
{
    if (!output_ || !decoded || decoded->width <= 0 || decoded->height <= 0)
        return nullptr;
    FramePtr cropped(av_frame_clone(decoded));
    if (!cropped)
        return nullptr;
    int x, y, w, h;
    CropPixels(crop_, decoded->width, decoded->height, av_pix_fmt_desc_get(AVPixelFormat(decoded->format)), x, y, w,
               h);
    cropped->crop_left = size_t(x);
    cropped->crop_top = size_t(y);
    cropped->crop_right = size_t(decoded->width - x - w);
    cropped->crop_bottom = size_t(decoded->height - y - h);
    if (av_frame_apply_cropping(cropped.get(), AV_FRAME_CROP_UNALIGNED) < 0)
        return nullptr;
    const AVFrame* source = cropped.get();
    if (quarterTurns_ || flip_) {
        if (!Rotate(source))
            return nullptr;
        source = turned_.get();
    }
    int bx = 0, by = 0, bw = outWidth_, bh = outHeight_;
    if (pad_) {
        // Fit the picture into the output, keeping its shape.
        if (int64_t(source->width) * outHeight_ > int64_t(source->height) * outWidth_)
            bh = EvenDown(int(int64_t(outWidth_) * source->height / source->width));
        else
            bw = EvenDown(int(int64_t(outHeight_) * source->width / source->height));
        bx = ((outWidth_ - bw) / 2) & ~1;
        by = ((outHeight_ - bh) / 2) & ~1;
        FillPicture(output_.get(), padColour_);
    }
    toOutput_ = sws_getCachedContext(toOutput_, source->width, source->height, AVPixelFormat(source->format), bw, bh,
                                     AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (!toOutput_)
        return nullptr;
    uint8_t* dst[4] = {output_->data[0] + size_t(by) * output_->linesize[0] + bx,
                       output_->data[1] + size_t(by / 2) * output_->linesize[1] + bx / 2,
                       output_->data[2] + size_t(by / 2) * output_->linesize[2] + bx / 2, nullptr};
    const int dstLines[4] = {output_->linesize[0], output_->linesize[1], output_->linesize[2], 0};
    sws_scale(toOutput_, source->data, source->linesize, 0, source->height, dst, dstLines);
    return output_.get();
}

// ---------------------------------------------------------------------------
// Transcoder

Transcoder::Transcoder(InputMedia& input, OutputMedia& output, const TrimRange& range, RunControl& control)
    : input_(input), output_(output), range_(range), control_(control)
{
}

Transcoder::~Transcoder()
{
    swr_free(&resampler_);
    av_channel_layout_uninit(&resamplerLayout_);
}

int Transcoder::Run()
{
    firstFrame_ = output_.VideoFrames();
    firstSample_ = output_.AudioSamples();
    videoDone_ = !(input_.VideoIndex() >= 0 && output_.HasVideo());
    audioDone_ = !(input_.AudioIndex() >= 0 && output_.HasAudio());
    decoded_.reset(av_frame_alloc());
    PacketPtr packet(av_packet_alloc());
    if (!decoded_ || !packet)
        return AVERROR(ENOMEM);
    if (!videoDone_ && !shaper_.Setup(output_.Values(), output_.Width(), output_.Height()))
        return AVERROR(ENOMEM);
    AVFormatContext* fmt = input_.Source().Format();
    if (range_.start > 0) {
        const int64_t target = int64_t(range_.start) + input_.Source().StartTime();
        // Lands on a key frame at or before the start; what lies before the
        // start is decoded and dropped.
        if (avformat_seek_file(fmt, -1, INT64_MIN, target, target, 0) < 0)
            avformat_seek_file(fmt, -1, INT64_MIN, 0, 0, 0);
    }
    for (;;) {
        if (!control_.Checkpoint())
            return kRunCancelled;
        if (videoDone_ && audioDone_)
            break;
        const int r = av_read_frame(fmt, packet.get());
        if (r == AVERROR(EAGAIN))
            continue;
        if (r < 0) {
            if (control_.Cancelled())
                return kRunCancelled;
            break;  // the end, or damage the demuxer cannot pass: what was read stands
        }
        int fed = 0;
        if (packet->stream_index == input_.VideoIndex() && !videoDone_)
            fed = Feed(input_.VideoDecoder(), packet.get(), true);
        else if (packet->stream_index == input_.AudioIndex() && !audioDone_)
            fed = Feed(input_.AudioDecoder(), packet.get(), false);
        av_packet_unref(packet.get());
        if (fed < 0)
            return fed;
        ReportProgress();
    }
    if (!videoDone_) {
        const int r = Feed(input_.VideoDecoder(), nullptr, true);
        if (r < 0)
            return r;
    }
    if (!audioDone_) {
        const int r = Feed(input_.AudioDecoder(), nullptr, false);
        if (r < 0)
            return r;
    }
    if (pending_) {
        // The last picture lasts as long as the one before it, or a frame.
        int64_t duration = lastDuration_;
        if (duration <= 0)
            duration = av_rescale_q(1, av_inv_q(input_.FrameRate()), kMicros);
        const int r = EmitPending(pendingTime_ + duration);
        if (r < 0)
            return r;
    }
    if (resampler_) {
        // What the resampler still holds.
        const int r = TakeAudio(nullptr);
        if (r < 0)
            return r;
    }
    ReportProgress();
    return 0;
}

void Transcoder::ReportProgress()
{
    int64_t done = 0;
    if (output_.HasVideo())
        done = output_.FrameTime(output_.VideoFrames() - firstFrame_);
    if (output_.HasAudio() && output_.SampleRate() > 0)
        done = std::max(done, av_rescale(output_.AudioSamples() - firstSample_, AV_TIME_BASE, output_.SampleRate()));
    control_.Progress(uint64_t(std::max<int64_t>(0, done)));
}

int Transcoder::Feed(AVCodecContext* decoder, const AVPacket* packet, bool video)
{
    // A damaged packet is refused by the decoder and skipped.
    const int sent = avcodec_send_packet(decoder, packet);
    if (sent < 0 && sent != AVERROR(EAGAIN) && sent != AVERROR_EOF && packet)
        return 0;
    for (;;) {
        const int r = avcodec_receive_frame(decoder, decoded_.get());
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF)
            return 0;
        if (r < 0)
            return 0;  // a frame the decoder could not make; the next may come
        const int taken = video ? TakeVideo(decoded_.get()) : TakeAudio(decoded_.get());
        av_frame_unref(decoded_.get());
        if (taken < 0)
            return taken;
        if ((video && videoDone_) || (!video && audioDone_))
            return 0;
    }
}

int Transcoder::TakeVideo(const AVFrame* frame)
{
    int64_t t = input_.Source().ToMicros(input_.VideoIndex(), frame->best_effort_timestamp);
    if (t == AV_NOPTS_VALUE)
        t = pendingTime_ == AV_NOPTS_VALUE ? 0 : pendingTime_ + std::max<int64_t>(lastDuration_, 1);
    if (pendingTime_ != AV_NOPTS_VALUE && t <= pendingTime_)
        return 0;  // out of order or repeated: the picture for this time is already held
    if (t >= range_.End()) {
        videoDone_ = true;
        return EmitPending(range_.End());
    }
    const AVFrame* shaped = shaper_.Shape(frame);
    if (!shaped)
        return 0;
    if (pendingTime_ != AV_NOPTS_VALUE) {
        lastDuration_ = t - pendingTime_;
        const int r = EmitPending(t);
        if (r < 0)
            return r;
    }
    if (!pending_) {
        pending_ = AllocPicture(AV_PIX_FMT_YUV420P, shaped->width, shaped->height);
        if (!pending_)
            return AVERROR(ENOMEM);
    }
    if (av_frame_copy(pending_.get(), shaped) < 0)
        return AVERROR(EINVAL);
    pendingTime_ = t;
    return 0;
}

// The held picture covers the output instants from its own time up to end.
int Transcoder::EmitPending(int64_t end)
{
    if (!pending_ || pendingTime_ == AV_NOPTS_VALUE)
        return 0;
    const int64_t localEnd = std::min(end, range_.End()) - int64_t(range_.start);
    for (;;) {
        const int64_t k = output_.VideoFrames() - firstFrame_;
        if (output_.FrameTime(k) >= localEnd - kFrameTolerance)
            return 0;
        const int r = output_.WriteVideo(pending_.get());
        if (r < 0)
            return r;
    }
}

bool Transcoder::SetupResampler(const AVFrame* frame)
{
    if (resampler_ && resamplerRate_ == frame->sample_rate && resamplerFormat_ == frame->format &&
        !av_channel_layout_compare(&resamplerLayout_, &frame->ch_layout))
        return true;
    swr_free(&resampler_);
    av_channel_layout_uninit(&resamplerLayout_);
    // The resampler reads both layouts and keeps copies of its own.
    if (swr_alloc_set_opts2(&resampler_, const_cast<AVChannelLayout*>(output_.Layout()), output_.SampleFormat(),
                            output_.SampleRate(), const_cast<AVChannelLayout*>(&frame->ch_layout),
                            AVSampleFormat(frame->format), frame->sample_rate, 0, nullptr) < 0 ||
        swr_init(resampler_) < 0) {
        swr_free(&resampler_);
        return false;
    }
    resamplerRate_ = frame->sample_rate;
    resamplerFormat_ = frame->format;
    av_channel_layout_copy(&resamplerLayout_, &frame->ch_layout);
    return true;
}

int Transcoder::TakeAudio(const AVFrame* frame)
{
    const uint8_t* in[64] = {};
    int count = 0;
    if (frame) {
        const int rate = frame->sample_rate;
        const int n = frame->nb_samples;
        const int channels = frame->ch_layout.nb_channels;
        if (rate <= 0 || n <= 0 || channels <= 0 || channels > 64)
            return 0;
        int64_t t = input_.Source().ToMicros(input_.AudioIndex(), frame->best_effort_timestamp);
        if (t == AV_NOPTS_VALUE)
            t = audioClock_ == AV_NOPTS_VALUE ? 0 : audioClock_;
        audioClock_ = t + av_rescale(n, AV_TIME_BASE, rate);
        if (t >= range_.End()) {
            audioDone_ = true;
            return 0;
        }
        int64_t skip = 0;
        if (t < int64_t(range_.start))
            skip = std::min<int64_t>(n, av_rescale_rnd(int64_t(range_.start) - t, rate, AV_TIME_BASE, AV_ROUND_UP));
        int64_t keep = n;
        if (range_.length)
            keep = std::min<int64_t>(n, av_rescale(range_.End() - t, rate, AV_TIME_BASE));
        if (keep <= skip)
            return 0;
        if (!SetupResampler(frame))
            return 0;
        const AVSampleFormat format = AVSampleFormat(frame->format);
        const int bytes = av_get_bytes_per_sample(format);
        if (av_sample_fmt_is_planar(format)) {
            for (int c = 0; c < channels; ++c)
                in[c] = frame->extended_data[c] + skip * bytes;
        } else {
            in[0] = frame->extended_data[0] + skip * bytes * channels;
        }
        count = int(keep - skip);
    } else if (!resampler_) {
        return 0;
    }
    const int room = swr_get_out_samples(resampler_, count);
    if (room <= 0)
        return 0;
    const int channels = output_.Layout()->nb_channels;
    const int size = av_samples_get_buffer_size(nullptr, channels, room, output_.SampleFormat(), 1);
    if (size < 0)
        return size;
    converted_.resize(size_t(size));
    uint8_t* out[64] = {};
    av_samples_fill_arrays(out, nullptr, converted_.data(), channels, room, output_.SampleFormat(), 1);
    const int got = swr_convert(resampler_, out, room, frame ? in : nullptr, count);
    if (got <= 0)
        return 0;
    ApplyVolume(out, got);
    return output_.WriteAudio(out, got);
}

void Transcoder::ApplyVolume(uint8_t** data, int samples) const
{
    const int64_t volume = output_.Values().Int(MEDIA_KEY_VOLUME, 100);
    if (volume == 100 || volume < 0)
        return;
    const double gain = double(volume) / 100.0;
    const AVSampleFormat format = output_.SampleFormat();
    const int channels = output_.Layout()->nb_channels;
    const bool planar = av_sample_fmt_is_planar(format);
    const int planes = planar ? channels : 1;
    const size_t n = size_t(samples) * (planar ? 1 : size_t(channels));
    for (int p = 0; p < planes; ++p) {
        switch (av_get_packed_sample_fmt(format)) {
        case AV_SAMPLE_FMT_FLT: Gain(reinterpret_cast<float*>(data[p]), n, gain); break;
        case AV_SAMPLE_FMT_DBL: Gain(reinterpret_cast<double*>(data[p]), n, gain); break;
        case AV_SAMPLE_FMT_S16: Gain(reinterpret_cast<int16_t*>(data[p]), n, gain); break;
        case AV_SAMPLE_FMT_S32: Gain(reinterpret_cast<int32_t*>(data[p]), n, gain); break;
        default: return;  // 8-bit and 64-bit integer samples keep their level
        }
    }
}

}  // namespace mediacore
