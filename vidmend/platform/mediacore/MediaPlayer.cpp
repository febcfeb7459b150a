// The player's C interface over PlayerEngine. Every entry point accepts a
// null or unopened player and then does nothing (or answers 0).
#include "MediaPlayer.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "MediaPlayerStats.h"
#include "PlayerEngine.h"

using mediacore::MediaTime;
using mediacore::PlayerEngine;

struct MediaPlayer {
    std::unique_ptr<PlayerEngine> engine;
    // Kept here as well, so they survive a second open.
    MediaFrameCallback callback = nullptr;
    void* user = nullptr;
    int volume = 100;
    int deviceVolume = 100;
};

namespace {

// An encoded image is handed out as a pointer to its first byte; its size
// sits in a header just before it.
constexpr size_t kImageHeader = 16;
constexpr size_t kWavHeader = 44;

PlayerEngine* EngineOf(MediaPlayer* player)
{
    return player ? player->engine.get() : nullptr;
}

MediaTime ToMediaTime(uint64_t t)
{
    return t > static_cast<uint64_t>(mediacore::kMaxMediaTime) ? mediacore::kMaxMediaTime : static_cast<MediaTime>(t);
}

void PutLe16(unsigned char* p, uint16_t v)
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}

void PutLe32(unsigned char* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

AVFrame* FrameOf(MediaFrame* frame)
{
    return frame ? frame->frame : nullptr;
}

}  // namespace

namespace mediacore {

PlayerStats StatsOf(MediaPlayer* player)
{
    PlayerEngine* engine = EngineOf(player);
    return engine ? engine->Stats() : PlayerStats{};
}

}  // namespace mediacore

extern "C" {

MediaPlayer* mediaCreatePlayer(int)
{
    return new (std::nothrow) MediaPlayer;
}

int mediaOpenPlayer(MediaPlayer* player, MediaStream* stream, uint32_t, uint32_t, int, int)
{
    if (!player || !stream)
        return 0;
    player->engine.reset();
    try {
        auto engine = std::make_unique<PlayerEngine>();
        if (!engine->Open(stream))
            return 0;
        engine->SetVolume(player->volume);
        engine->SetDeviceVolume(player->deviceVolume);
        engine->Presenter().SetCallback(player->callback, player->user);
        player->engine = std::move(engine);
    } catch (...) {
        return 0;
    }
    return 1;
}

MediaPlayer* mediaWrapPlayer(void*)
{
    // Nothing in our media layer opens players elsewhere, so there is no
    // object to wrap.
    return nullptr;
}

void mediaReleasePlayer(MediaPlayer* player)
{
    delete player;
}

void mediaPlay(MediaPlayer* player)
{
    if (PlayerEngine* e = EngineOf(player))
        e->Play();
}

void mediaStop(MediaPlayer* player)
{
    if (PlayerEngine* e = EngineOf(player))
        e->Stop();
}

int mediaPause(MediaPlayer* player)
{
    PlayerEngine* e = EngineOf(player);
    return e && e->Pause() ? 1 : 0;
}

int mediaIsAtEnd(MediaPlayer* player)
{
    PlayerEngine* e = EngineOf(player);
    return e && e->AtEnd() ? 1 : 0;
}

int mediaIsPlaying(MediaPlayer* player)
{
    PlayerEngine* e = EngineOf(player);
    return e && e->Playing() ? 1 : 0;
}

uint64_t mediaPosition(MediaPlayer* player)
{
    PlayerEngine* e = EngineOf(player);
    return e ? static_cast<uint64_t>(e->Position()) : 0;
}

uint64_t mediaDuration(MediaPlayer* player)
{
    PlayerEngine* e = EngineOf(player);
    return e ? static_cast<uint64_t>(e->Duration()) : 0;
}

void mediaSeek(MediaPlayer* player, uint64_t time)
{
    if (PlayerEngine* e = EngineOf(player))
        e->Seek(ToMediaTime(time));
}

void mediaStepFrame(MediaPlayer* player, int direction)
{
    if (PlayerEngine* e = EngineOf(player))
        e->Step(direction);
}

void mediaBeginAsyncSeek(MediaPlayer* player, uint64_t tolerance)
{
    if (PlayerEngine* e = EngineOf(player))
        e->BeginAsyncSeek(ToMediaTime(tolerance));
}

void mediaEndAsyncSeek(MediaPlayer* player)
{
    if (PlayerEngine* e = EngineOf(player))
        e->EndAsyncSeek();
}

void mediaSetVolume(MediaPlayer* player, uint32_t volume)
{
    if (!player)
        return;
    player->volume = static_cast<int>(volume > 100 ? 100 : volume);
    if (PlayerEngine* e = EngineOf(player))
        e->SetVolume(player->volume);
}

void mediaSetRendererVolume(MediaPlayer* player, uint32_t volume)
{
    if (!player)
        return;
    player->deviceVolume = static_cast<int>(volume > 100 ? 100 : volume);
    if (PlayerEngine* e = EngineOf(player))
        e->SetDeviceVolume(player->deviceVolume);
}

int mediaHasVideo(MediaPlayer* player, int)
{
    PlayerEngine* e = EngineOf(player);
    return e && e->HasVideo() ? 1 : 0;
}

int mediaHasAudio(MediaPlayer* player, int)
{
    PlayerEngine* e = EngineOf(player);
    return e && e->HasAudio() ? 1 : 0;
}

int mediaVideoWidth(MediaPlayer* player)
{
    PlayerEngine* e = EngineOf(player);
    return e ? e->VideoWidth() : 0;
}

int mediaVideoHeight(MediaPlayer* player)
{
    PlayerEngine* e = EngineOf(player);
    return e ? e->VideoHeight() : 0;
}

int mediaDisplayWidth(MediaPlayer* player)
{
    PlayerEngine* e = EngineOf(player);
    return e ? e->DisplayWidth() : 0;
}

int mediaDisplayHeight(MediaPlayer* player)
{
    PlayerEngine* e = EngineOf(player);
    return e ? e->DisplayHeight() : 0;
}

void mediaSetFrameCallback(MediaPlayer* player, MediaFrameCallback callback, void* user)
{
    if (!player)
        return;
    player->callback = callback;
    player->user = user;
    if (PlayerEngine* e = EngineOf(player))
        e->Presenter().SetCallback(callback, user);
}

void mediaRedrawFrame(MediaPlayer* player)
{
    if (PlayerEngine* e = EngineOf(player))
        e->Presenter().Redraw();
}

int mediaFramePixelFormat(MediaFrame* frame)
{
    return FrameOf(frame) ? MEDIA_PIXEL_YUV420P : -1;
}

int mediaFrameWidth(MediaFrame* frame)
{
    const AVFrame* f = FrameOf(frame);
    return f ? f->width : 0;
}

int mediaFrameHeight(MediaFrame* frame)
{
    const AVFrame* f = FrameOf(frame);
    return f ? f->height : 0;
}

int mediaFrameLineSize(MediaFrame* frame, int plane)
{
    const AVFrame* f = FrameOf(frame);
    return f && plane >= 0 && plane < 3 ? f->linesize[plane] : 0;
}

uint8_t* mediaFrameData(MediaFrame* frame, int plane)
{
    const AVFrame* f = FrameOf(frame);
    return f && plane >= 0 && plane < 3 ? f->data[plane] : nullptr;
}

unsigned char* mediaFetchAudioBlock(MediaPlayer* player, int)
{
    PlayerEngine* e = EngineOf(player);
    if (!e)
        return nullptr;
    int rate = 0;
    const std::vector<uint16_t> levels = e->TakeLevels(&rate);
    if (levels.empty())
        return nullptr;
    const uint32_t bytes = static_cast<uint32_t>(levels.size() * 2);
    auto* block = static_cast<unsigned char*>(std::malloc(kWavHeader + bytes));
    if (!block)
        return nullptr;
    // A mono 16-bit WAV header, so the block reads as a file of its own.
    std::memcpy(block, "RIFF", 4);
    PutLe32(block + 4, 36 + bytes);
    std::memcpy(block + 8, "WAVEfmt ", 8);
    PutLe32(block + 16, 16);
    PutLe16(block + 20, 1);
    PutLe16(block + 22, 1);
    PutLe32(block + 24, static_cast<uint32_t>(rate));
    PutLe32(block + 28, static_cast<uint32_t>(rate) * 2);
    PutLe16(block + 32, 2);
    PutLe16(block + 34, 16);
    std::memcpy(block + 36, "data", 4);
    PutLe32(block + 40, bytes);
    for (size_t i = 0; i < levels.size(); ++i)
        PutLe16(block + kWavHeader + 2 * i, levels[i]);
    return block;
}

void mediaReleaseAudioBlock(MediaPlayer*, unsigned char* block)
{
    std::free(block);
}

unsigned char* mediaGrabImage(MediaPlayer* player, int w, int h, int)
{
    PlayerEngine* e = EngineOf(player);
    if (!e)
        return nullptr;
    mediacore::FramePtr frame = e->Presenter().Current();
    const std::vector<uint8_t> png = mediacore::EncodePng(frame.get(), w, h);
    if (png.empty() || png.size() > std::numeric_limits<uint32_t>::max())
        return nullptr;
    auto* image = static_cast<unsigned char*>(std::malloc(kImageHeader + png.size()));
    if (!image)
        return nullptr;
    const auto size = static_cast<uint32_t>(png.size());
    std::memcpy(image, &size, sizeof size);
    std::memcpy(image + kImageHeader, png.data(), png.size());
    return image + kImageHeader;
}

uint32_t mediaImageSize(unsigned char* image)
{
    if (!image)
        return 0;
    uint32_t size;
    std::memcpy(&size, image - kImageHeader, sizeof size);
    return size;
}

void mediaReleaseImage(MediaPlayer*, unsigned char* image)
{
    if (image)
        std::free(image - kImageHeader);
}

}  // extern "C"
