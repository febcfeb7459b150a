#include "FakePlayer.h"

#include <QBuffer>
#include <QImage>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

struct MediaFrame {
    int format = 0;
    int width = 0;
    int height = 0;
    std::vector<uint8_t> planes[3];
    int lineSizes[3] = {0, 0, 0};
};

struct MediaPlayer {
    FakeMedia media;
    MediaFrame frame;
    bool opened = false;
    bool playing = false;
    bool atEnd = false;
    uint64_t position = 0;
    MediaFrameCallback callback = nullptr;
    void* user = nullptr;
};

namespace {

std::mutex g_mutex;
std::vector<std::string> g_calls;
FakeMedia g_next;
MediaPlayer* g_current = nullptr;

// A frame of one colour with padded rows, so a display that shows the
// padding shows it in the wrong colour.
MediaFrame MakeFrame(const FakeMedia& m)
{
    MediaFrame f;
    f.format = m.pixelFormat;
    f.width = m.width;
    f.height = m.height;
    if (m.pixelFormat == MEDIA_PIXEL_BGRA) {
        f.lineSizes[0] = m.width * 4 + 16;
        f.planes[0].assign(size_t(f.lineSizes[0]) * m.height, 0);
        for (int y = 0; y < m.height; ++y)
            for (int x = 0; x < m.width; ++x)
                std::memcpy(&f.planes[0][size_t(y) * f.lineSizes[0] + x * 4], m.pixel, 4);
        return f;
    }
    const int chromaRows = (m.height + 1) / 2;
    f.lineSizes[0] = (m.width + 31) & ~31;
    f.lineSizes[1] = f.lineSizes[2] = f.lineSizes[0] / 2;
    const int rows[3] = {m.height, chromaRows, chromaRows};
    const int widths[3] = {m.width, (m.width + 1) / 2, (m.width + 1) / 2};
    for (int p = 0; p < 3; ++p) {
        f.planes[p].assign(size_t(f.lineSizes[p]) * rows[p], 0);
        for (int y = 0; y < rows[p]; ++y)
            std::memset(&f.planes[p][size_t(y) * f.lineSizes[p]], m.pixel[p], size_t(widths[p]));
    }
    return f;
}

void Deliver(MediaPlayer* player)
{
    if (player && player->opened && player->media.video && player->callback)
        player->callback(player->user, &player->frame);
}

}  // namespace

FakeMedia& FakeNextMedia()
{
    return g_next;
}

std::vector<std::string> FakeCalls()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_calls;
}

void FakeLog(const std::string& entry)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_calls.push_back(entry);
}

void FakeReset()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_calls.clear();
    g_next = FakeMedia();
}

MediaPlayer* FakeCurrentPlayer()
{
    return g_current;
}

void FakeSetPosition(MediaPlayer* player, uint64_t position, bool atEnd)
{
    player->position = position;
    player->atEnd = atEnd;
}

extern "C" bool FakePlayerInUse()
{
    return true;
}

extern "C" {

MediaPlayer* mediaCreatePlayer(int)
{
    FakeLog("create");
    g_current = new MediaPlayer;
    g_current->media = g_next;
    return g_current;
}

int mediaOpenPlayer(MediaPlayer* player, MediaStream* stream, uint32_t, uint32_t, int, int)
{
    char head[17] = {};
    mediaSeekStream(stream, 0);
    const uint32_t n = mediaReadStream(stream, head, 16);
    FakeLog("open " + std::string(head, n));
    if (!player->media.opens)
        return 0;
    player->opened = true;
    player->frame = MakeFrame(player->media);
    return 1;
}

MediaPlayer* mediaWrapPlayer(void* object)
{
    if (!object)
        return nullptr;
    FakeLog("wrap");
    g_current = new MediaPlayer;
    g_current->media = g_next;
    g_current->opened = true;
    g_current->frame = MakeFrame(g_current->media);
    return g_current;
}

void mediaReleasePlayer(MediaPlayer* player)
{
    if (!player)
        return;
    // The decoding thread finishes the frame it has before release returns.
    std::thread last([player] { Deliver(player); });
    last.join();
    FakeLog("release");
    if (g_current == player)
        g_current = nullptr;
    delete player;
}

void mediaPlay(MediaPlayer* player)
{
    FakeLog("play");
    player->playing = true;
}

void mediaStop(MediaPlayer* player)
{
    FakeLog("stop");
    player->playing = false;
    player->position = 0;
    player->atEnd = false;
}

int mediaPause(MediaPlayer* player)
{
    FakeLog("pause");
    if (!player->playing || !player->media.pauseAccepted)
        return 0;
    player->playing = false;
    return 1;
}

int mediaIsAtEnd(MediaPlayer* player) { return player->atEnd; }
int mediaIsPlaying(MediaPlayer* player) { return player->playing; }
uint64_t mediaPosition(MediaPlayer* player) { return player->position; }
uint64_t mediaDuration(MediaPlayer* player) { return player->media.duration; }

void mediaSeek(MediaPlayer* player, uint64_t time)
{
    FakeLog("seek " + std::to_string(time));
    player->position = time;
}

void mediaStepFrame(MediaPlayer*, int direction)
{
    FakeLog(direction > 0 ? "step +1" : "step -1");
}

void mediaBeginAsyncSeek(MediaPlayer*, uint64_t tolerance)
{
    FakeLog("begin-seek " + std::to_string(tolerance));
}

void mediaEndAsyncSeek(MediaPlayer*) { FakeLog("end-seek"); }
void mediaSetVolume(MediaPlayer*, uint32_t volume) { FakeLog("volume " + std::to_string(volume)); }
void mediaSetRendererVolume(MediaPlayer*, uint32_t volume) { FakeLog("renderer " + std::to_string(volume)); }
int mediaHasVideo(MediaPlayer* player, int) { return player->media.video; }
int mediaHasAudio(MediaPlayer* player, int) { return player->media.audio; }
int mediaVideoWidth(MediaPlayer* player) { return player->media.video ? player->media.width : 0; }
int mediaVideoHeight(MediaPlayer* player) { return player->media.video ? player->media.height : 0; }
int mediaDisplayWidth(MediaPlayer* player) { return player->media.displayWidth; }
int mediaDisplayHeight(MediaPlayer* player) { return player->media.displayHeight; }

void mediaSetFrameCallback(MediaPlayer* player, MediaFrameCallback callback, void* user)
{
    FakeLog(callback ? "callback set" : "callback cleared");
    player->callback = callback;
    player->user = user;
}

void mediaRedrawFrame(MediaPlayer* player)
{
    Deliver(player);
}

int mediaFramePixelFormat(MediaFrame* frame) { return frame->format; }
int mediaFrameWidth(MediaFrame* frame) { return frame->width; }
int mediaFrameHeight(MediaFrame* frame) { return frame->height; }
int mediaFrameLineSize(MediaFrame* frame, int plane) { return plane >= 0 && plane < 3 ? frame->lineSizes[plane] : 0; }

uint8_t* mediaFrameData(MediaFrame* frame, int plane)
{
    return plane >= 0 && plane < 3 && !frame->planes[plane].empty() ? frame->planes[plane].data() : nullptr;
}

unsigned char* mediaFetchAudioBlock(MediaPlayer* player, int)
{
    if (!player->media.audio)
        return nullptr;
    const uint32_t bytes = uint32_t(player->media.samples.size() * 2);
    auto* block = static_cast<unsigned char*>(std::calloc(1, 44 + bytes));
    std::memcpy(block + 24, &player->media.rate, 4);
    std::memcpy(block + 40, &bytes, 4);
    if (bytes)
        std::memcpy(block + 44, player->media.samples.data(), bytes);
    return block;
}

void mediaReleaseAudioBlock(MediaPlayer*, unsigned char* block)
{
    FakeLog("release-block");
    std::free(block);
}

// An encoded image: its byte count in front of the bytes.
unsigned char* mediaGrabImage(MediaPlayer* player, int w, int h, int)
{
    FakeLog("grab " + std::to_string(w) + "x" + std::to_string(h));
    QImage picture(w > 0 ? w : player->media.width, h > 0 ? h : player->media.height, QImage::Format_RGB32);
    picture.fill(Qt::red);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    picture.save(&buffer, "PNG");
    const uint32_t size = uint32_t(png.size());
    auto* raw = static_cast<unsigned char*>(std::malloc(4 + size));
    std::memcpy(raw, &size, 4);
    std::memcpy(raw + 4, png.constData(), size);
    return raw + 4;
}

uint32_t mediaImageSize(unsigned char* image)
{
    uint32_t size = 0;
    std::memcpy(&size, image - 4, 4);
    return size;
}

void mediaReleaseImage(MediaPlayer*, unsigned char* image)
{
    FakeLog("release-image");
    if (image)
        std::free(image - 4);
}

}  // extern "C"
