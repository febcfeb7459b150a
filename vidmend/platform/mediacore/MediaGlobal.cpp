// The layer's global set-up: the codecs' threading, the temporary folder of
// tag writing, and the services the application registers (log sink and
// image decoder). Read under a lock by the workers.
#include <cstdlib>
#include <mutex>

extern "C" {
#include <libavutil/log.h>
}

#include "MediaConvert.h"
#include "MediaIO.h"

namespace {

struct GlobalState {
    std::mutex lock;
    bool threads = true;
    std::string tempFolder;
    MediaGlobalTable table{nullptr, nullptr};
};

GlobalState& Global()
{
    static GlobalState state;
    return state;
}

}  // namespace

namespace mediacore {

bool CodecThreads()
{
    GlobalState& g = Global();
    std::lock_guard<std::mutex> hold(g.lock);
    return g.threads;
}

std::string TempFolder()
{
    GlobalState& g = Global();
    std::lock_guard<std::mutex> hold(g.lock);
    return g.tempFolder;
}

void Log(int level, const std::string& line)
{
    MediaLogFunction log;
    {
        GlobalState& g = Global();
        std::lock_guard<std::mutex> hold(g.lock);
        log = g.table.log;
    }
    if (log)
        log(level, line.c_str());
}

bool DecodeWithApplication(const std::vector<uint8_t>& bytes, Picture& out)
{
    MediaDecodeImageFunction decode;
    {
        GlobalState& g = Global();
        std::lock_guard<std::mutex> hold(g.lock);
        decode = g.table.decodeImage;
    }
    if (!decode || bytes.size() > UINT32_MAX)
        return false;
    int width = 0;
    int height = 0;
    uint8_t* pixels = nullptr;
    const int ok = decode(bytes.data(), uint32_t(bytes.size()), &width, &height, &pixels);
    bool taken = false;
    if (ok == 1 && pixels && width > 0 && height > 0 && width <= 16384 && height <= 16384) {
        out.width = width;
        out.height = height;
        out.bgra.assign(pixels, pixels + size_t(width) * 4 * size_t(height));
        taken = true;
    }
    free(pixels);
    return taken;
}

}  // namespace mediacore

extern "C" {

int mediaGlobalSetup(int quiet, int threads)
{
    if (quiet)
        av_log_set_level(AV_LOG_QUIET);
    GlobalState& g = Global();
    std::lock_guard<std::mutex> hold(g.lock);
    g.threads = threads != 0;
    return 1;
}

int mediaGlobalSetTempFolder(const char* path)
{
    GlobalState& g = Global();
    std::lock_guard<std::mutex> hold(g.lock);
    g.tempFolder = path ? path : "";
    return 1;
}

int mediaGlobalRegister(const MediaGlobalTable* table, int count)
{
    if (!table || count < 0)
        return 0;
    GlobalState& g = Global();
    std::lock_guard<std::mutex> hold(g.lock);
    g.table.log = count >= 1 ? table->log : nullptr;
    g.table.decodeImage = count >= 2 ? table->decodeImage : nullptr;
    return 1;
}

}  // extern "C"
