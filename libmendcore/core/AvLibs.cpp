#include "core/AvLibs.h"

#include <dlfcn.h>

#include <mutex>

extern "C" {
#include <libavcodec/version.h>
#include <libavformat/version.h>
#include <libavutil/macros.h>
#include <libavutil/version.h>
}

namespace {

// The sonames of the majors the headers describe: a library of another
// major has another ABI, and is not what the tables were built for.
constexpr const char* kAvUtil = "libavutil.so." AV_STRINGIFY(LIBAVUTIL_VERSION_MAJOR);
constexpr const char* kAvCodec = "libavcodec.so." AV_STRINGIFY(LIBAVCODEC_VERSION_MAJOR);
constexpr const char* kAvFormat = "libavformat.so." AV_STRINGIFY(LIBAVFORMAT_VERSION_MAJOR);

template <class Fn>
bool Resolve(void* handle, const char* name, Fn& fn)
{
    void* p = dlsym(handle, name);
    fn = reinterpret_cast<Fn>(p);
    return p != nullptr;
}

#define MEND_RESOLVE(handle, table, fn) Resolve(handle, #fn, table.fn)

// Opens the named libraries in order; on a failure closes what it opened.
template <size_t N>
bool Open(const char* const (&names)[N], void* (&handles)[N])
{
    for (size_t i = 0; i < N; ++i) {
        handles[i] = dlopen(names[i], RTLD_NOW | RTLD_LOCAL);
        if (!handles[i]) {
            while (i > 0)
                dlclose(handles[--i]);
            return false;
        }
    }
    return true;
}

template <size_t N>
void Close(void* (&handles)[N])
{
    for (size_t i = N; i > 0; --i)
        dlclose(handles[i - 1]);
}

bool LoadCodec(AvCodecLib& lib)
{
    void* h[2];
    if (!Open({kAvUtil, kAvCodec}, h))
        return false;
    void* const util = h[0];
    void* const codec = h[1];
    const bool ok = MEND_RESOLVE(util, lib, av_mallocz) && MEND_RESOLVE(util, lib, av_frame_alloc) &&
                    MEND_RESOLVE(util, lib, av_frame_free) && MEND_RESOLVE(util, lib, av_frame_unref) &&
                    MEND_RESOLVE(codec, lib, avcodec_descriptor_get) &&
                    MEND_RESOLVE(codec, lib, avcodec_find_decoder) &&
                    MEND_RESOLVE(codec, lib, avcodec_alloc_context3) &&
                    MEND_RESOLVE(codec, lib, avcodec_free_context) && MEND_RESOLVE(codec, lib, avcodec_open2) &&
                    MEND_RESOLVE(codec, lib, avcodec_flush_buffers) &&
                    MEND_RESOLVE(codec, lib, avcodec_send_packet) &&
                    MEND_RESOLVE(codec, lib, avcodec_receive_frame) && MEND_RESOLVE(codec, lib, av_packet_alloc) &&
                    MEND_RESOLVE(codec, lib, av_packet_free) && MEND_RESOLVE(codec, lib, av_parser_init) &&
                    MEND_RESOLVE(codec, lib, av_parser_parse2) && MEND_RESOLVE(codec, lib, av_parser_close);
    if (!ok) {
        lib = AvCodecLib{};
        Close(h);
    }
    return ok;
}

bool LoadFormat(AvFormatLib& lib)
{
    void* h[1];
    if (!Open({kAvFormat}, h))
        return false;
    const bool ok = MEND_RESOLVE(h[0], lib, avformat_get_riff_video_tags) && MEND_RESOLVE(h[0], lib, av_codec_get_id);
    if (!ok) {
        lib = AvFormatLib{};
        Close(h);
    }
    return ok;
}

#undef MEND_RESOLVE

// Written once, under the flag, and only read after it: what a loaded
// library is to the process, these tables are to ours.
template <class Lib>
struct Loaded {
    std::once_flag once;
    Lib lib{};
    bool ok = false;
};

}  // namespace

const AvCodecLib* AvCodec()
{
    static Loaded<AvCodecLib> loaded;
    std::call_once(loaded.once, [] { loaded.ok = LoadCodec(loaded.lib); });
    return loaded.ok ? &loaded.lib : nullptr;
}

const AvFormatLib* AvFormat()
{
    static Loaded<AvFormatLib> loaded;
    std::call_once(loaded.once, [] { loaded.ok = LoadFormat(loaded.lib); });
    return loaded.ok ? &loaded.lib : nullptr;
}
