// The probe over libavformat: does a file hold a video stream? Damaged and
// foreign files are what users hand us, so the probe reads a bounded amount,
// analyses a bounded stretch, opens local files only and gives up at a
// wall-clock deadline.
#include <sys/stat.h>

#include <chrono>
#include <new>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/log.h>
}

#include "MediaCore.h"

namespace {

constexpr const char* kProbeSize = "5000000";         // bytes read to find the container
constexpr const char* kAnalyzeDuration = "5000000";   // microseconds of streams analysed
constexpr std::chrono::seconds kDeadline{10};         // whatever the demuxer does

struct Deadline {
    std::chrono::steady_clock::time_point until;
};

int Interrupted(void* opaque)
{
    return std::chrono::steady_clock::now() >= static_cast<Deadline*>(opaque)->until ? 1 : 0;
}

}  // namespace

struct MediaInfo {
    bool opened = false;
    bool hasVideo = false;
};

extern "C" {

int mediaStartup(int)
{
    av_log_set_level(AV_LOG_QUIET);
    return 0;
}

MediaInfo* mediaCreateInfo(int)
{
    return new (std::nothrow) MediaInfo;
}

int mediaOpenInfo(MediaInfo* info, const char* path)
{
    if (!info || !path || !*path)
        return 0;
    info->opened = false;
    info->hasVideo = false;
    // Only regular files: opening a FIFO or a device could block for ever,
    // beyond the reach of the deadline below.
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode))
        return 0;

    AVFormatContext* ctx = avformat_alloc_context();
    if (!ctx)
        return 0;
    Deadline deadline{std::chrono::steady_clock::now() + kDeadline};
    ctx->interrupt_callback.callback = Interrupted;
    ctx->interrupt_callback.opaque = &deadline;

    AVDictionary* options = nullptr;
    av_dict_set(&options, "probesize", kProbeSize, 0);
    av_dict_set(&options, "analyzeduration", kAnalyzeDuration, 0);
    // A playlist or reference file must not lead us onto the network.
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    const int opened = avformat_open_input(&ctx, path, nullptr, &options);
    av_dict_free(&options);
    if (opened < 0)
        return 0;  // avformat_open_input freed the context

    // Some containers (program and transport streams) only announce their
    // streams once packets have been read.
    avformat_find_stream_info(ctx, nullptr);
    for (unsigned i = 0; i < ctx->nb_streams; ++i) {
        const AVStream* st = ctx->streams[i];
        // Cover art in an audio file is a still picture, not video.
        if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !(st->disposition & AV_DISPOSITION_ATTACHED_PIC))
            info->hasVideo = true;
    }
    info->opened = true;
    avformat_close_input(&ctx);
    return 1;
}

int mediaInfoHasVideo(MediaInfo* info)
{
    return info && info->opened && info->hasVideo ? 1 : 0;
}

void mediaReleaseInfo(MediaInfo* info)
{
    delete info;
}

}  // extern "C"
