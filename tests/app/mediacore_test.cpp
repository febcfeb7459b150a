// The media layer: keyed file streams and the probe.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "MediaCore.h"
#include "support/Damage.h"
#include "support/Fixtures.h"

using namespace mendtest;

namespace {

constexpr uint32_t kKey = 0x4e7c21b9;

struct StreamCloser {
    void operator()(MediaStream* s) const { mediaReleaseStream(s); }
};
using StreamPtr = std::unique_ptr<MediaStream, StreamCloser>;

StreamPtr Open(const std::string& path, int mode, uint32_t key)
{
    StreamPtr s(mediaOpenStream(path.c_str(), mode));
    if (s && key) {
        EXPECT_EQ(mediaSetStreamKey(s.get(), key), 1);
    }
    return s;
}

std::vector<uint8_t> ReadAll(MediaStream* s, uint32_t chunk)
{
    std::vector<uint8_t> out;
    std::vector<uint8_t> buf(chunk);
    mediaSeekStream(s, 0);
    for (uint32_t n; (n = mediaReadStream(s, buf.data(), chunk)) > 0;)
        out.insert(out.end(), buf.begin(), buf.begin() + n);
    return out;
}

}  // namespace

// What the repair library does to its output: write forward in uneven
// pieces, go back and patch sizes at odd offsets, read back what it wrote.
TEST(KeyedStream, BackwardSeeksAndOverwritesReadBackAsWritten)
{
    ScratchDir dir;
    const std::string path = dir.Path("keyed.bin");
    const size_t size = 1 << 20;
    std::vector<uint8_t> plain = PseudoRandomBytes(size, 7);
    // Long runs of equal bytes, as media files have, must not show through.
    std::fill(plain.begin() + 1000, plain.begin() + 200000, 0);
    {
        StreamPtr s = Open(path, MEDIA_STREAM_WRITE, kKey);
        ASSERT_TRUE(s);
        size_t pos = 0;
        for (uint32_t step = 1; pos < size; step = step * 3 + 7) {
            const uint32_t n = static_cast<uint32_t>(std::min<size_t>(step % 70001 + 1, size - pos));
            const std::vector<uint8_t> copy(plain.begin() + pos, plain.begin() + pos + n);
            ASSERT_EQ(mediaWriteStream(s.get(), plain.data() + pos, n), n);
            // The caller's buffer is never enciphered in place.
            ASSERT_EQ(0, memcmp(copy.data(), plain.data() + pos, n));
            pos += n;
        }
        for (int64_t offset : {int64_t(3), int64_t(4097), int64_t(65537), int64_t(size - 5), int64_t(777777)}) {
            ASSERT_EQ(mediaSeekStream(s.get(), offset), 0);
            const std::vector<uint8_t> patch = PseudoRandomBytes(5, static_cast<uint32_t>(offset));
            ASSERT_EQ(mediaWriteStream(s.get(), patch.data(), 5), 5u);
            std::copy(patch.begin(), patch.end(), plain.begin() + offset);
            // Read back across the patch while the stream is still open.
            ASSERT_EQ(mediaSeekStream(s.get(), offset - 3), 0);
            uint8_t back[8];
            ASSERT_EQ(mediaReadStream(s.get(), back, 8), 8u);
            EXPECT_EQ(0, memcmp(back, plain.data() + offset - 3, 8)) << "at " << offset;
        }
        EXPECT_EQ(mediaStreamLength(s.get()), int64_t(size));
    }
    StreamPtr in = Open(path, MEDIA_STREAM_READ, kKey);
    ASSERT_TRUE(in);
    EXPECT_EQ(ReadAll(in.get(), 4093), plain);

    const std::vector<uint8_t> onDisk = ReadFileBytes(path);
    ASSERT_EQ(onDisk.size(), plain.size());
    size_t same = 0;
    for (size_t i = 0; i < size; ++i)
        same += onDisk[i] == plain[i];
    EXPECT_LT(same, size / 100) << "the file on disk is hardly enciphered";

    StreamPtr wrong = Open(path, MEDIA_STREAM_READ, kKey + 1);
    EXPECT_NE(ReadAll(wrong.get(), 65536), plain);
}

TEST(KeyedStream, KeyZeroReadsAPlainFileByteForByte)
{
    const std::string clip = RequireFixture("clip.wav");
    if (clip.empty())
        return;
    StreamPtr s = Open(clip, MEDIA_STREAM_READ, 0);
    ASSERT_TRUE(s);
    EXPECT_EQ(mediaSetStreamKey(s.get(), 0), 1);
    EXPECT_EQ(ReadAll(s.get(), 4096), ReadFileBytes(clip));
}

TEST(KeyedStream, PositionsAndRefusals)
{
    ScratchDir dir;
    const std::string path = dir.Path("plain.bin");
    ASSERT_TRUE(WriteFileBytes(path, std::vector<uint8_t>(100, 1)));
    // Writing creates a new file; it never truncates one that exists.
    EXPECT_FALSE(StreamPtr(mediaOpenStream(path.c_str(), MEDIA_STREAM_WRITE)));
    EXPECT_EQ(FileSize(path), 100);
    EXPECT_FALSE(StreamPtr(mediaOpenStream(dir.Path("missing").c_str(), MEDIA_STREAM_READ)));
    EXPECT_FALSE(StreamPtr(mediaOpenStream(dir.Root().c_str(), MEDIA_STREAM_READ)));
    EXPECT_FALSE(StreamPtr(mediaOpenStream(path.c_str(), 2)));

    StreamPtr s = Open(path, MEDIA_STREAM_READ, 0);
    ASSERT_TRUE(s);
    ASSERT_EQ(mediaSeekStream(s.get(), 40), 0);
    EXPECT_EQ(mediaSeekStream(s.get(), -1), -1);
    EXPECT_EQ(mediaStreamPosition(s.get()), 40);
    uint8_t buf[100];
    EXPECT_EQ(mediaReadStream(s.get(), buf, 100), 60u);
    EXPECT_EQ(mediaReadStream(s.get(), buf, 100), 0u);

    // Null handles answer without touching anything.
    EXPECT_EQ(mediaSetStreamKey(nullptr, 5), 0);
    EXPECT_EQ(mediaReadStream(nullptr, buf, 10), 0u);
    EXPECT_EQ(mediaWriteStream(nullptr, buf, 10), 0u);
    EXPECT_EQ(mediaStreamLength(nullptr), -1);
    mediaReleaseStream(nullptr);
}

struct ProbeCase {
    const char* clip;
    bool opens;
    bool video;
};

TEST(MediaProbe, TellsVideoFromAudio)
{
    for (const ProbeCase& c : {ProbeCase{"clip.mp4", true, true}, ProbeCase{"clip.ts", true, true},
                               ProbeCase{"clip.wav", true, false}, ProbeCase{"clip.mp3", true, false}}) {
        const std::string path = RequireFixture(c.clip);
        if (path.empty())
            continue;
        MediaInfo* info = mediaCreateInfo(-1);
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(mediaOpenInfo(info, path.c_str()) != 0, c.opens) << c.clip;
        EXPECT_EQ(mediaInfoHasVideo(info) != 0, c.video) << c.clip;
        mediaReleaseInfo(info);
    }
}

TEST(MediaProbe, GarbageAndMissingFilesEnd)
{
    ScratchDir dir;
    const std::string garbage = dir.Path("garbage.mp4");
    ASSERT_TRUE(WriteFileBytes(garbage, PseudoRandomBytes(8 << 20, 99)));
    // A transport stream's sync bytes in front of garbage keep a demuxer busy.
    std::vector<uint8_t> fakeTs = PseudoRandomBytes(8 << 20, 5);
    for (size_t i = 0; i < fakeTs.size(); i += 188)
        fakeTs[i] = 0x47;
    const std::string ts = dir.Path("garbage.ts");
    ASSERT_TRUE(WriteFileBytes(ts, fakeTs));

    // Nobody ever writes to this pipe: opening it for reading would block.
    const std::string fifo = dir.Path("pipe.mp4");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(StreamPtr(mediaOpenStream(fifo.c_str(), MEDIA_STREAM_READ)));

    // Each ends: the probe gives up at a deadline of its own whatever the
    // demuxer does. Only a probe that hangs (a blocking open, a demuxer
    // that never returns) runs into this guard; how long a probe takes is
    // the benchmark's business.
    constexpr double kHangGuardSeconds = 60;
    for (const std::string& path : {garbage, ts, fifo, dir.Path("missing.avi"), dir.Root()}) {
        MediaInfo* info = mediaCreateInfo(-1);
        const auto start = std::chrono::steady_clock::now();
        mediaOpenInfo(info, path.c_str());
        const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_LT(seconds, kHangGuardSeconds) << path;
        mediaReleaseInfo(info);
    }
    MediaInfo* missing = mediaCreateInfo(-1);
    EXPECT_EQ(mediaOpenInfo(missing, dir.Path("missing.avi").c_str()), 0);
    EXPECT_EQ(mediaInfoHasVideo(missing), 0);
    mediaReleaseInfo(missing);
    EXPECT_EQ(mediaOpenInfo(nullptr, garbage.c_str()), 0);
    EXPECT_EQ(mediaInfoHasVideo(nullptr), 0);
}
