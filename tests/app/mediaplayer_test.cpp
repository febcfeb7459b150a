// The media layer's player: opening through keyed streams, pacing, seeks,
// frame steps, the end, sound on the null sink, grabs, damaged input and
// the frame callback's lifetime. The clips carry their frame number in the
// picture: eight bars of 20 pixels, bar k light when bit k of the number is
// set, so every delivered picture says which frame it is.
#include <gtest/gtest.h>

#include <QImage>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "MediaCore.h"
#include "MediaPlayer.h"
#include "support/Damage.h"
#include "support/Fixtures.h"

using namespace mendtest;
using namespace std::chrono_literals;

namespace {

constexpr uint32_t kKey = 0x5a17c3e9;
constexpr int kBarWidth = 20;
constexpr uint64_t kFrameUs = 40000;  // 25 fps
// How long a wait for something the player will do may take before the
// test calls it a hang: the clips last 4 s, and no load on the machine
// stretches that to this.
constexpr std::chrono::milliseconds kHangGuard = 60s;

// ---- clips, made once per process by Debian's ffmpeg ----

std::string NumberedVideo(const std::string& size)
{
    return "nullsrc=s=" + size + ":r=25:d=4,geq=lum='if(mod(floor(N/pow(2,floor(X/" + std::to_string(kBarWidth) +
           "))),2)*lt(X," + std::to_string(8 * kBarWidth) + "),235,16)':cb=128:cr=128";
}

struct ClipRecipe {
    const char* name;
    std::string args;
};

const std::vector<ClipRecipe>& Recipes()
{
    static const std::vector<ClipRecipe> recipes = {
        // H.264 with B-frames and a key frame every 2 s, AAC sound.
        {"av.mp4", "-f lavfi -i \"" + NumberedVideo("320x240") +
                       "\" -f lavfi -i \"sine=frequency=440:sample_rate=48000:duration=4\" -c:v libx264 -preset fast "
                       "-g 50 -bf 2 -crf 18 -pix_fmt yuv420p -c:a aac -f mp4"},
        // The same with its index in front, so a cut copy still opens.
        {"faststart.mp4", "-f lavfi -i \"" + NumberedVideo("320x240") +
                              "\" -f lavfi -i \"sine=frequency=440:sample_rate=48000:duration=4\" -c:v libx264 "
                              "-preset fast -g 50 -bf 2 -crf 18 -pix_fmt yuv420p -c:a aac -movflags +faststart -f mp4"},
        // No sound, odd size, 4:4:4 and a 2:1 sample aspect: converted and
        // paced by the steady clock.
        {"video.mkv", "-f lavfi -i \"" + NumberedVideo("161x121") +
                          ",format=yuv444p,setsar=2\" -c:v ffv1 -f matroska"},
        // Sound only: a half-scale 440 Hz tone.
        {"tone.wav", "-f lavfi -i \"aevalsrc=0.5*sin(2*PI*440*t):s=44100:d=3\" -c:a pcm_s16le -f wav"},
    };
    return recipes;
}

// The clip's path in a scratch folder that lives as long as the process.
std::string Clip(const std::string& name)
{
    static ScratchDir dir("player-clips");
    static std::mutex mutex;
    static std::map<std::string, std::string> made;
    std::lock_guard<std::mutex> lock(mutex);
    auto found = made.find(name);
    if (found != made.end())
        return found->second;
    for (const ClipRecipe& recipe : Recipes()) {
        if (name != recipe.name)
            continue;
        const std::string path = dir.Path(name);
        const std::string command =
            "ffmpeg -hide_banner -loglevel error -nostdin -y " + recipe.args + " '" + path + "' >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0 || FileSize(path) <= 0) {
            ADD_FAILURE() << "ffmpeg could not make " << name;
            return "";
        }
        made[name] = path;
        return path;
    }
    ADD_FAILURE() << "no recipe for " << name;
    return "";
}

// ---- reading frame numbers back ----

int Luma(const uint8_t* plane, int lineSize, int x, int y)
{
    int sum = 0;
    for (int dy = -2; dy < 2; ++dy)
        for (int dx = -2; dx < 2; ++dx)
            sum += plane[(y + dy) * lineSize + x + dx];
    return sum / 16;
}

int FrameNumber(const uint8_t* plane, int lineSize, int height)
{
    int n = 0;
    for (int bit = 0; bit < 8; ++bit)
        if (Luma(plane, lineSize, bit * kBarWidth + kBarWidth / 2, height / 2) > 128)
            n |= 1 << bit;
    return n;
}

struct Delivery {
    int number = -1;
    int format = -1;
    int width = 0;
    int height = 0;
    bool aligned = false;
    uint64_t hash = 0;
};

// Records every delivered frame; waits for conditions on the record.
class FrameLog {
 public:
    static int Callback(void* user, MediaFrame* frame)
    {
        static_cast<FrameLog*>(user)->Record(frame);
        return 1;
    }

    std::vector<Delivery> All() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return log_;
    }
    std::vector<int> Numbers() const
    {
        std::vector<int> out;
        for (const Delivery& d : All())
            out.push_back(d.number);
        return out;
    }
    int Last() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return log_.empty() ? -1 : log_.back().number;
    }
    size_t Count() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return log_.size();
    }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        log_.clear();
    }
    bool WaitFor(const std::function<bool(const std::vector<Delivery>&)>& done,
                 std::chrono::milliseconds limit = kHangGuard)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return done(log_); });
    }
    bool WaitForNumber(int number, std::chrono::milliseconds limit = kHangGuard)
    {
        return WaitFor([&](const std::vector<Delivery>& log) { return !log.empty() && log.back().number == number; },
                       limit);
    }
    // Waits until nothing was delivered for quiet: a window in which a
    // picture that should not come would show. Where the interface shows
    // that the player's thread has acted, a test waits for that instead.
    void WaitQuiet(std::chrono::milliseconds quiet = 300ms)
    {
        for (size_t before = Count();; before = Count()) {
            std::this_thread::sleep_for(quiet);
            if (Count() == before)
                return;
        }
    }

 private:
    void Record(MediaFrame* frame)
    {
        Delivery d;
        d.format = mediaFramePixelFormat(frame);
        d.width = mediaFrameWidth(frame);
        d.height = mediaFrameHeight(frame);
        d.aligned = true;
        for (int plane = 0; plane < 3; ++plane)
            d.aligned = d.aligned && mediaFrameLineSize(frame, plane) % 4 == 0 && mediaFrameLineSize(frame, plane) > 0;
        const uint8_t* y = mediaFrameData(frame, 0);
        const int lineSize = mediaFrameLineSize(frame, 0);
        if (y && d.format == MEDIA_PIXEL_YUV420P && d.width >= 8 * kBarWidth && d.height >= 8) {
            d.number = FrameNumber(y, lineSize, d.height);
            uint64_t h = 1469598103934665603ULL;
            for (int row = 0; row < d.height; ++row)
                for (int x = 0; x < d.width; ++x)
                    h = (h ^ y[row * lineSize + x]) * 1099511628211ULL;
            d.hash = h;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            log_.push_back(d);
        }
        changed_.notify_all();
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Delivery> log_;
};

struct PlayerCloser {
    void operator()(MediaPlayer* p) const { mediaReleasePlayer(p); }
};
using PlayerPtr = std::unique_ptr<MediaPlayer, PlayerCloser>;

// Opens as the preview does: a keyed stream, released right after the open.
PlayerPtr OpenPlayer(const std::string& path, uint32_t key = 0)
{
    MediaStream* stream = mediaOpenStream(path.c_str(), MEDIA_STREAM_READ);
    if (!stream)
        return nullptr;
    mediaSetStreamKey(stream, key);
    PlayerPtr player(mediaCreatePlayer(-1));
    const int opened = mediaOpenPlayer(player.get(), stream, 0, 0, 0, 0);
    mediaReleaseStream(stream);
    return opened ? std::move(player) : nullptr;
}

// Opens with a frame log attached, on the first frame.
PlayerPtr OpenLogged(const std::string& path, FrameLog* log, uint32_t key = 0)
{
    PlayerPtr player = OpenPlayer(path, key);
    if (player)
        mediaSetFrameCallback(player.get(), FrameLog::Callback, log);
    return player;
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = kHangGuard)
{
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

class MediaPlayerTest : public ::testing::Test {
 protected:
    static void SetUpTestSuite()
    {
        // No sound card here: the null sink plays, at the real-time rate.
        setenv("SDL_AUDIODRIVER", "dummy", 1);
    }
};

}  // namespace

struct OpenCase {
    const char* clip;
    bool video;
    bool audio;
    uint64_t duration;
    int width, height;
    int displayWidth;  // -1: not checked
};

TEST_F(MediaPlayerTest, OpensAndShowsTheFirstFrame)
{
    for (const OpenCase& c : {OpenCase{"av.mp4", true, true, 4000000, 320, 240, -1},
                              OpenCase{"video.mkv", true, false, 4000000, 161, 121, 322},
                              OpenCase{"tone.wav", false, true, 3000000, 0, 0, 0}}) {
        SCOPED_TRACE(c.clip);
        const std::string clip = Clip(c.clip);
        ASSERT_FALSE(clip.empty());
        // The repaired temporary file has no extension: found by content.
        ScratchDir dir;
        const std::string bare = dir.Path("repaired");
        ASSERT_TRUE(CopyFile(clip, bare));
        FrameLog log;
        PlayerPtr player = OpenLogged(bare, &log);
        ASSERT_TRUE(player);
        EXPECT_EQ(mediaHasVideo(player.get(), 1) != 0, c.video);
        EXPECT_EQ(mediaHasAudio(player.get(), 0) != 0, c.audio);
        EXPECT_NEAR(double(mediaDuration(player.get())), double(c.duration), 50000.0);
        EXPECT_EQ(mediaVideoWidth(player.get()), c.width);
        EXPECT_EQ(mediaVideoHeight(player.get()), c.height);
        if (c.displayWidth >= 0) {
            EXPECT_EQ(mediaDisplayWidth(player.get()), c.displayWidth);
        }
        EXPECT_EQ(mediaIsPlaying(player.get()), 0);
        EXPECT_EQ(mediaIsAtEnd(player.get()), 0);
        EXPECT_EQ(mediaPosition(player.get()), 0u);

        // Paused on the first frame: nothing arrives until a redraw asks.
        std::this_thread::sleep_for(200ms);
        EXPECT_EQ(log.Count(), 0u);
        mediaRedrawFrame(player.get());
        mediaRedrawFrame(player.get());
        const std::vector<Delivery> shown = log.All();
        if (!c.video) {
            EXPECT_TRUE(shown.empty());
            continue;
        }
        ASSERT_EQ(shown.size(), 2u);
        for (const Delivery& d : shown) {
            EXPECT_EQ(d.number, 0);
            EXPECT_EQ(d.format, MEDIA_PIXEL_YUV420P);
            EXPECT_EQ(d.width, c.width);
            EXPECT_EQ(d.height, c.height);
            EXPECT_TRUE(d.aligned);
        }
    }
}

TEST_F(MediaPlayerTest, PlaysAtTheFrameRateAndPauseStopsTheFrames)
{
    // With sound the null sink's clock paces the pictures, without it the
    // steady clock does.
    for (const char* name : {"av.mp4", "video.mkv"}) {
        SCOPED_TRACE(name);
        FrameLog log;
        PlayerPtr player = OpenLogged(Clip(name), &log);
        ASSERT_TRUE(player);
        EXPECT_EQ(mediaPause(player.get()), 0) << "not playing: nothing to pause";

        const auto start = std::chrono::steady_clock::now();
        mediaPlay(player.get());
        EXPECT_NE(mediaIsPlaying(player.get()), 0);
        ASSERT_TRUE(log.WaitFor([](const std::vector<Delivery>& l) { return !l.empty() && l.back().number >= 20; }));
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ASSERT_NE(mediaPause(player.get()), 0);
        EXPECT_EQ(mediaIsPlaying(player.get()), 0);
        // Never faster than real time: frame 20 is due at 0.8 s of a clock
        // that starts with the play and runs no faster than the steady
        // clock (nor the null sink's, which drains at most what the elapsed
        // time played). A loaded machine only makes this longer.
        EXPECT_GE(seconds, 0.7);

        const std::vector<int> numbers = log.Numbers();
        for (size_t i = 1; i < numbers.size(); ++i)
            ASSERT_GT(numbers[i], numbers[i - 1]) << "at " << i;
        EXPECT_GT(mediaPosition(player.get()), 0u);

        // The player's thread stops the pictures at its next turn, and the
        // interface shows no sign of that turn: the pictures handed over
        // before it may still land. Half a second without one is taken as
        // that sign; while playing, only a thread kept off the processor for
        // that long would hand over a picture later.
        log.WaitQuiet(500ms);
        const size_t paused = log.Count();
        const uint64_t position = mediaPosition(player.get());
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(log.Count(), paused);
        EXPECT_EQ(mediaPosition(player.get()), position);
        EXPECT_EQ(position, uint64_t(log.Last()) * kFrameUs);
    }
}

TEST_F(MediaPlayerTest, SeekLandsOnTheFrameShownAtThatTime)
{
    struct SeekCase {
        uint64_t time;
        int frame;
    };
    FrameLog log;
    PlayerPtr player = OpenLogged(Clip("av.mp4"), &log);
    ASSERT_TRUE(player);
    // Key frames at 0 s and 2 s: most targets need decoding on from one.
    for (const SeekCase& c : {SeekCase{1000000, 25}, SeekCase{1030000, 25}, SeekCase{2000000, 50},
                              SeekCase{3500000, 87}, SeekCase{1960000, 49}, SeekCase{0, 0}, SeekCase{9000000, 99}}) {
        SCOPED_TRACE(c.time);
        log.Clear();
        mediaSeek(player.get(), c.time);
        ASSERT_TRUE(log.WaitForNumber(c.frame)) << "last shown " << log.Last();
        log.WaitQuiet(150ms);
        // Only the target is shown, not the pictures decoded on the way.
        EXPECT_EQ(log.Numbers(), std::vector<int>{c.frame});
        // The seek reads as its target until the player's thread has ended
        // it, a moment after the picture is handed over; then as the
        // picture's time.
        EXPECT_TRUE(WaitUntil([&] { return mediaPosition(player.get()) == uint64_t(c.frame) * kFrameUs; }))
            << mediaPosition(player.get());
        EXPECT_EQ(mediaIsPlaying(player.get()), 0);
    }

    // While playing: after the target shows, nothing from before the seek
    // follows it, and play goes on from there.
    mediaSeek(player.get(), 500000);
    ASSERT_TRUE(log.WaitForNumber(12));
    for (const auto& [time, frame] : std::vector<std::pair<uint64_t, int>>{{3000000, 75}, {400000, 10}}) {
        SCOPED_TRACE(time);
        mediaPlay(player.get());
        const int from = log.Last();
        ASSERT_TRUE(log.WaitFor([&](const std::vector<Delivery>& l) { return l.back().number >= from + 3; }));
        log.Clear();
        mediaSeek(player.get(), time);
        ASSERT_TRUE(log.WaitFor([&, target = frame](const std::vector<Delivery>& l) {
            return !l.empty() && l.back().number >= target + 5 && l.back().number < target + 20;
        })) << "last shown " << log.Last();
        mediaPause(player.get());
        std::vector<int> numbers = log.Numbers();
        const auto landed = std::find(numbers.begin(), numbers.end(), frame);
        ASSERT_NE(landed, numbers.end());
        // Before it, at most what was on its way from the old position.
        for (auto it = numbers.begin(); it != landed; ++it)
            EXPECT_TRUE(*it < frame || *it >= frame + 20) << *it << " before the target";
        for (auto it = landed + 1; it != numbers.end(); ++it)
            EXPECT_GT(*it, *(it - 1));
    }
}

TEST_F(MediaPlayerTest, StepsLandOnAdjacentFrames)
{
    struct StepCase {
        int direction;
        int frame;
    };
    for (const char* name : {"av.mp4", "video.mkv"}) {
        SCOPED_TRACE(name);
        FrameLog log;
        PlayerPtr player = OpenLogged(Clip(name), &log);
        ASSERT_TRUE(player);
        const std::vector<StepCase> first = {{-1, 0}, {+1, 1}, {+1, 2}, {-1, 1}, {-1, 0}, {+1, 1}};
        for (const StepCase& s : first) {
            mediaStepFrame(player.get(), s.direction);
            // The step is done when the call returns: the caller reads the
            // position right after.
            EXPECT_EQ(log.Last(), s.frame);
            EXPECT_EQ(mediaPosition(player.get()), uint64_t(s.frame) * kFrameUs);
        }
        // Back over a key frame: the previous group is decoded.
        mediaSeek(player.get(), 2000000);
        ASSERT_TRUE(log.WaitForNumber(50));
        for (const StepCase& s : std::vector<StepCase>{{-1, 49}, {-1, 48}, {+1, 49}, {+1, 50}, {+1, 51}}) {
            mediaStepFrame(player.get(), s.direction);
            EXPECT_EQ(log.Last(), s.frame);
        }
        EXPECT_EQ(mediaIsPlaying(player.get()), 0);
        // After steps, play carries on from the picture shown.
        log.Clear();
        mediaPlay(player.get());
        ASSERT_TRUE(log.WaitFor([](const std::vector<Delivery>& l) { return l.size() >= 3; }));
        EXPECT_EQ(log.Numbers().front(), 52);
        // A step while playing pauses on the next picture.
        mediaStepFrame(player.get(), +1);
        EXPECT_EQ(mediaIsPlaying(player.get()), 0);
        const int stepped = log.Last();
        log.WaitQuiet(150ms);
        EXPECT_EQ(log.Last(), stepped);
        EXPECT_EQ(mediaPosition(player.get()), uint64_t(stepped) * kFrameUs);
    }
}

TEST_F(MediaPlayerTest, ScrubbingShowsTheLatestTargetExactly)
{
    FrameLog log;
    PlayerPtr player = OpenLogged(Clip("av.mp4"), &log);
    ASSERT_TRUE(player);
    mediaBeginAsyncSeek(player.get(), 2000000);
    // Forward within the tolerance decodes on; backward seeks again.
    for (const auto& [time, frame] : std::vector<std::pair<uint64_t, int>>{
             {1000000, 25}, {1200000, 30}, {1400000, 35}, {2100000, 52}, {600000, 15}}) {
        mediaSeek(player.get(), time);
        ASSERT_TRUE(log.WaitForNumber(frame)) << time << ": last shown " << log.Last();
        log.WaitQuiet(100ms);
        EXPECT_EQ(log.Last(), frame);
    }
    // A burst: only the last target has to be exact.
    for (uint64_t t = 100000; t <= 3700000; t += 300000)
        mediaSeek(player.get(), t);
    mediaEndAsyncSeek(player.get());
    ASSERT_TRUE(log.WaitForNumber(92)) << "last shown " << log.Last();
    log.WaitQuiet(200ms);
    EXPECT_EQ(log.Last(), 92);
    EXPECT_TRUE(WaitUntil([&] { return mediaPosition(player.get()) == 92 * kFrameUs; })) << mediaPosition(player.get());
}

TEST_F(MediaPlayerTest, ReachesTheEndAndStopReturnsToTheStart)
{
    for (const char* name : {"av.mp4", "video.mkv", "tone.wav"}) {
        SCOPED_TRACE(name);
        FrameLog log;
        PlayerPtr player = OpenLogged(Clip(name), &log);
        ASSERT_TRUE(player);
        const uint64_t duration = mediaDuration(player.get());
        mediaSeek(player.get(), duration - 500000);
        mediaPlay(player.get());
        ASSERT_TRUE(WaitUntil([&] { return mediaIsAtEnd(player.get()) != 0; }));
        EXPECT_EQ(mediaIsPlaying(player.get()), 0);
        EXPECT_EQ(mediaPause(player.get()), 0);
        EXPECT_GE(mediaPosition(player.get()), duration - 100000);
        if (mediaHasVideo(player.get(), 1)) {
            EXPECT_EQ(log.Last(), 99);
        }

        log.Clear();
        mediaStop(player.get());
        EXPECT_EQ(mediaIsAtEnd(player.get()), 0);
        EXPECT_EQ(mediaIsPlaying(player.get()), 0);
        EXPECT_EQ(mediaPosition(player.get()), 0u);
        if (mediaHasVideo(player.get(), 1)) {
            ASSERT_TRUE(log.WaitForNumber(0));
        }
        // And plays again from there.
        mediaPlay(player.get());
        // Judged where it is first seen past 0.2 s, not where a later look
        // (after the test's thread waited for the processor) finds it.
        uint64_t seen = 0;
        ASSERT_TRUE(WaitUntil([&] { return (seen = mediaPosition(player.get())) >= 200000; }));
        EXPECT_LT(seen, duration / 2);
        mediaPause(player.get());
    }
}

TEST_F(MediaPlayerTest, EncipheredCopyPlaysLikeThePlainFile)
{
    const std::string plain = Clip("av.mp4");
    ASSERT_FALSE(plain.empty());
    ScratchDir dir;
    const std::string keyed = dir.Path("keyed");
    {
        const std::vector<uint8_t> bytes = ReadFileBytes(plain);
        MediaStream* out = mediaOpenStream(keyed.c_str(), MEDIA_STREAM_WRITE);
        ASSERT_NE(out, nullptr);
        ASSERT_EQ(mediaSetStreamKey(out, kKey), 1);
        ASSERT_EQ(mediaWriteStream(out, bytes.data(), uint32_t(bytes.size())), bytes.size());
        mediaReleaseStream(out);
        ASSERT_NE(ReadFileBytes(keyed), bytes);
    }
    auto run = [](const std::string& path, uint32_t key) {
        FrameLog log;
        PlayerPtr player = OpenLogged(path, &log, key);
        EXPECT_TRUE(player);
        if (!player)
            return std::vector<Delivery>{};
        mediaRedrawFrame(player.get());
        mediaSeek(player.get(), 1000000);
        EXPECT_TRUE(log.WaitForNumber(25));
        mediaStepFrame(player.get(), -1);
        mediaSeek(player.get(), 3600000);
        EXPECT_TRUE(log.WaitForNumber(90));
        mediaPlay(player.get());
        EXPECT_TRUE(WaitUntil([&] { return mediaIsAtEnd(player.get()) != 0; }));
        EXPECT_EQ(mediaDuration(player.get()), 4000000u);
        return log.All();
    };
    const std::vector<Delivery> a = run(plain, 0);
    const std::vector<Delivery> b = run(keyed, kKey);
    // The same pictures, bit for bit, up to frames a loaded machine dropped.
    std::map<int, uint64_t> hashes;
    for (const Delivery& d : a)
        hashes[d.number] = d.hash;
    ASSERT_GE(b.size(), 5u);
    for (const Delivery& d : b) {
        ASSERT_TRUE(hashes.count(d.number)) << "frame " << d.number;
        EXPECT_EQ(hashes[d.number], d.hash) << "frame " << d.number;
    }
    EXPECT_EQ(b.back().number, 99);
}

TEST_F(MediaPlayerTest, SoundOnlyPlaysOnTheNullSinkWithLevelBlocks)
{
    PlayerPtr player = OpenPlayer(Clip("tone.wav"));
    ASSERT_TRUE(player);
    EXPECT_EQ(mediaFetchAudioBlock(player.get(), 1), nullptr) << "nothing played yet";
    mediaSetVolume(player.get(), 0);  // the levels show the sound, not the loudness
    const auto start = std::chrono::steady_clock::now();
    mediaPlay(player.get());
    ASSERT_TRUE(WaitUntil([&] { return mediaPosition(player.get()) >= 300000; }));
    // What was fetched so far may come from the sink's first small drains;
    // the block judged is the next one, drained when more than its 50 ms
    // had been played.
    mediaReleaseAudioBlock(player.get(), mediaFetchAudioBlock(player.get(), 1));
    unsigned char* block = nullptr;
    ASSERT_TRUE(WaitUntil([&] { return (block = mediaFetchAudioBlock(player.get(), 1)) != nullptr; }));
    uint32_t rate, bytes;
    std::memcpy(&rate, block + 24, 4);
    std::memcpy(&bytes, block + 40, 4);
    EXPECT_EQ(0, std::memcmp(block, "RIFF", 4));
    EXPECT_EQ(rate, 44100u);
    ASSERT_GE(bytes, 2000u);
    EXPECT_EQ(bytes % 2, 0u);
    // A half-scale sine: its rectified mean is 0.5 * 2/pi of full scale.
    double sum = 0;
    for (uint32_t i = 0; i < bytes / 2; ++i)
        sum += uint16_t(block[44 + 2 * i] | block[45 + 2 * i] << 8);
    EXPECT_NEAR(sum / (bytes / 2) / 65535.0, 0.318, 0.05);
    mediaReleaseAudioBlock(player.get(), block);
    mediaReleaseAudioBlock(player.get(), nullptr);

    // Pacing: the sink drains no faster than real time, so 1.5 s of sound
    // take at least 1.5 s from the play (a loaded machine takes longer).
    ASSERT_TRUE(WaitUntil([&] { return mediaPosition(player.get()) >= 1500000; }));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(seconds, 1.45);
    mediaPause(player.get());
}

TEST_F(MediaPlayerTest, GrabEncodesTheShownPictureAsPng)
{
    FrameLog log;
    PlayerPtr player = OpenLogged(Clip("av.mp4"), &log);
    ASSERT_TRUE(player);
    mediaSeek(player.get(), 1000000);
    ASSERT_TRUE(log.WaitForNumber(25));
    for (const auto& [w, h] : std::vector<std::pair<int, int>>{{0, 0}, {640, 480}, {400, 0}}) {
        SCOPED_TRACE(w);
        unsigned char* image = mediaGrabImage(player.get(), w, h, 0);
        ASSERT_NE(image, nullptr);
        const QImage picture = QImage::fromData(image, int(mediaImageSize(image)), "PNG");
        mediaReleaseImage(player.get(), image);
        ASSERT_FALSE(picture.isNull());
        const int expectW = w ? w : 320;
        EXPECT_EQ(picture.width(), expectW);
        EXPECT_EQ(picture.height(), expectW * 3 / 4);
        // 25 = bits 0, 3 and 4.
        const double scale = picture.width() / 320.0;
        for (int bit = 0; bit < 8; ++bit) {
            const int gray = qGray(picture.pixel(int((bit * kBarWidth + kBarWidth / 2) * scale), picture.height() / 2));
            EXPECT_EQ(gray > 128, ((25 >> bit) & 1) != 0) << "bit " << bit;
        }
    }
    EXPECT_EQ(mediaGrabImage(player.get(), -5, 10, 0), nullptr);
    EXPECT_EQ(mediaGrabImage(player.get(), 100000, 100000, 0), nullptr);
    mediaReleaseImage(player.get(), nullptr);
    EXPECT_EQ(mediaImageSize(nullptr), 0u);
}

TEST_F(MediaPlayerTest, DamagedInputFailsToOpenOrPlaysToTheEnd)
{
    const std::string mp4 = Clip("av.mp4");
    const std::string fast = Clip("faststart.mp4");
    const std::string mkv = Clip("video.mkv");
    ASSERT_FALSE(mp4.empty() || fast.empty() || mkv.empty());
    ScratchDir dir;
    struct DamageCase {
        const char* name;
        std::function<bool(const std::string&)> make;
        bool knownMedia;  // opened, it must play to its end
    };
    const std::vector<DamageCase> cases = {
        {"empty", [](const std::string& p) { return WriteFileBytes(p, {}); }, false},
        {"garbage", [](const std::string& p) { return WriteFileBytes(p, PseudoRandomBytes(1 << 20, 3)); }, false},
        // The index at the end is lost.
        {"mp4 cut", [&](const std::string& p) { return CopyFile(mp4, p) && TruncateFile(p, FileSize(p) / 2); },
         false},
        // The index is whole, the data it points at is half gone.
        {"faststart cut", [&](const std::string& p) { return CopyFile(fast, p) && TruncateFile(p, FileSize(p) / 2); },
         true},
        {"faststart zeroed",
         [&](const std::string& p) { return CopyFile(fast, p) && ZeroRange(p, FileSize(p) / 3, FileSize(p) / 4); },
         true},
        {"mkv garbage inside",
         [&](const std::string& p) { return CopyFile(mkv, p) && SpliceGarbage(p, FileSize(p) / 2, 50000, 9); },
         true},
    };
    for (const DamageCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::string file = c.name;
        std::replace(file.begin(), file.end(), ' ', '_');
        const std::string path = dir.Path(file);
        ASSERT_TRUE(c.make(path));
        FrameLog log;
        // Opening gives up on its own after a while; only a hang runs into
        // this.
        const auto start = std::chrono::steady_clock::now();
        PlayerPtr player = OpenLogged(path, &log);
        EXPECT_LT(std::chrono::steady_clock::now() - start, kHangGuard);
        if (!player) {
            EXPECT_FALSE(c.knownMedia) << "should open";
            continue;
        }
        mediaRedrawFrame(player.get());
        mediaStepFrame(player.get(), +1);
        mediaStepFrame(player.get(), -1);
        mediaSeek(player.get(), mediaDuration(player.get()) / 2);
        mediaSeek(player.get(), 0);
        mediaPlay(player.get());
        if (c.knownMedia) {
            EXPECT_TRUE(WaitUntil([&] { return mediaIsAtEnd(player.get()) != 0; }));
        } else {
            std::this_thread::sleep_for(300ms);
        }
        unsigned char* image = mediaGrabImage(player.get(), 0, 0, 0);
        mediaReleaseImage(player.get(), image);
    }
}

TEST_F(MediaPlayerTest, NoCallbackAfterItWasReplacedOrThePlayerReleased)
{
    struct Watch {
        std::atomic<bool> retired{false};
        std::atomic<int> calls{0};
        std::atomic<int> late{0};
    };
    auto callback = [](void* user, MediaFrame*) -> int {
        auto* watch = static_cast<Watch*>(user);
        if (watch->retired)
            ++watch->late;
        ++watch->calls;
        // A slow consumer widens the window for a late call.
        std::this_thread::sleep_for(5ms);
        if (watch->retired)
            ++watch->late;
        return 1;
    };
    for (int round = 0; round < 3; ++round) {
        Watch first, second;
        PlayerPtr player = OpenPlayer(Clip("video.mkv"));
        ASSERT_TRUE(player);
        mediaSetFrameCallback(player.get(), callback, &first);
        mediaPlay(player.get());
        std::atomic<bool> stop{false};
        // Redraws from another thread, as the screen tick does.
        std::thread redraws([&] {
            while (!stop)
                mediaRedrawFrame(player.get());
        });
        ASSERT_TRUE(WaitUntil([&] { return first.calls >= 5; }));
        mediaSetFrameCallback(player.get(), callback, &second);
        first.retired = true;
        ASSERT_TRUE(WaitUntil([&] { return second.calls >= 5; }));
        stop = true;
        redraws.join();
        player.reset();
        second.retired = true;
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(first.late, 0);
        EXPECT_EQ(second.late, 0);
    }
}

TEST_F(MediaPlayerTest, NullAndUnopenedPlayersAnswerNothing)
{
    MediaPlayer* unopened = mediaCreatePlayer(-1);
    ASSERT_NE(unopened, nullptr);
    EXPECT_EQ(mediaOpenPlayer(unopened, nullptr, 0, 0, 0, 0), 0);
    for (MediaPlayer* p : {static_cast<MediaPlayer*>(nullptr), unopened}) {
        mediaPlay(p);
        mediaSeek(p, 1000);
        mediaStepFrame(p, 1);
        mediaRedrawFrame(p);
        mediaSetVolume(p, 50);
        EXPECT_EQ(mediaPause(p), 0);
        EXPECT_EQ(mediaIsPlaying(p), 0);
        EXPECT_EQ(mediaDuration(p), 0u);
        EXPECT_EQ(mediaHasVideo(p, 1), 0);
        EXPECT_EQ(mediaFetchAudioBlock(p, 1), nullptr);
        EXPECT_EQ(mediaGrabImage(p, 0, 0, 0), nullptr);
        mediaStop(p);
    }
    mediaReleasePlayer(unopened);
    mediaReleasePlayer(nullptr);
    EXPECT_EQ(mediaWrapPlayer(nullptr), nullptr);
}
