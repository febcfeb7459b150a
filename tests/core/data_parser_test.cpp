// The key-frame test over libavcodec's parsers, and the FourCC table that
// picks the codec for it.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/CodecFourCC.h"
#include "core/DataParser.h"
#include "support/Damage.h"
#include "support/Fixtures.h"

using namespace mendtest;

namespace {

// Payloads of the first n video chunks of an AVI fixture.
std::vector<std::vector<uint8_t>> VideoFrames(const std::string& name, size_t n)
{
    std::vector<std::vector<uint8_t>> frames;
    const std::string path = RequireFixture(name);
    if (path.empty())
        return frames;
    const auto d = ReadFileBytes(path);
    for (int64_t p = FindBytes(d, "00dc", FindBytes(d, "movi")); p >= 0 && frames.size() < n;
         p = FindBytes(d, "00dc", p + 8)) {
        const uint32_t size = ReadLE32(d, p + 4);
        if (p + 8 + size <= static_cast<int64_t>(d.size()))
            frames.emplace_back(d.begin() + p + 8, d.begin() + p + 8 + size);
    }
    return frames;
}

TEST(DataParser, IntraAndPredictedFramesAreToldApart)
{
    for (const auto& row : {std::make_pair("clip.avi", AV_CODEC_ID_MPEG4),
                            std::make_pair("clip_h264_pcm.avi", AV_CODEC_ID_H264)}) {
        auto frames = VideoFrames(row.first, 2);
        ASSERT_EQ(frames.size(), 2u) << row.first;
        bool ok = false;
        CDataParser parser(row.second, ok);
        ASSERT_TRUE(ok) << row.first;
        int key = -1;
        EXPECT_EQ(parser.CheckIsKeyFrame(frames[0].data(), static_cast<int>(frames[0].size()), key),
                  static_cast<int>(frames[0].size()));
        EXPECT_EQ(key, 1) << row.first;
        parser.CheckIsKeyFrame(frames[1].data(), static_cast<int>(frames[1].size()), key);
        EXPECT_EQ(key, 0) << row.first;
    }
}

// A frame judged where it lies, with the bytes of the next frame right
// after it, gets the verdict of a padded copy and leaves those bytes as they
// were; without room for the padding it is judged on a copy.
TEST(DataParser, FramesAreJudgedInPlaceAsOnACopy)
{
    for (const auto& row : {std::make_pair("clip.avi", AV_CODEC_ID_MPEG4),
                            std::make_pair("clip_h264_pcm.avi", AV_CODEC_ID_H264)}) {
        auto frames = VideoFrames(row.first, 4);
        ASSERT_EQ(frames.size(), 4u) << row.first;
        bool ok = false;
        CDataParser copying(row.second, ok);
        CDataParser inPlace(row.second, ok);
        for (size_t i = 0; i + 1 < frames.size(); ++i) {
            std::vector<uint8_t> memory = frames[i];
            memory.insert(memory.end(), frames[i + 1].begin(), frames[i + 1].end());
            const std::vector<uint8_t> before = memory;
            const int size = static_cast<int>(frames[i].size());
            for (size_t room : {memory.size() - frames[i].size(), size_t(10)}) {
                int want = -1, got = -2;
                copying.CheckIsKeyFrame(frames[i].data(), size, want);
                inPlace.CheckIsKeyFrameInPlace(memory.data(), size, room, got);
                EXPECT_EQ(got, want) << row.first << " frame " << i << " room " << room;
                EXPECT_EQ(memory, before) << row.first << " frame " << i;
            }
        }
    }
}

TEST(DataParser, IntraOnlyCodecsMakeEveryFrameAKeyFrame)
{
    auto frames = VideoFrames("clip_mjpeg.avi", 3);
    ASSERT_EQ(frames.size(), 3u);
    bool ok = false;
    CDataParser parser(AV_CODEC_ID_MJPEG, ok);
    ASSERT_TRUE(ok);
    for (const auto& f : frames) {
        int key = 0;
        EXPECT_EQ(parser.CheckIsKeyFrame(f.data(), static_cast<int>(f.size()), key), static_cast<int>(f.size()));
        EXPECT_EQ(key, 1);
    }
}

TEST(DataParser, CodecsWithoutParserAndBytesWithoutPictureType)
{
    bool ok = true;
    CDataParser none(AV_CODEC_ID_CINEPAK, ok);
    EXPECT_FALSE(ok) << "no parser and not intra-only";
    CDataParser unknown(AV_CODEC_ID_NONE, ok);
    EXPECT_FALSE(ok);

    CDataParser mpeg4(AV_CODEC_ID_MPEG4, ok);
    ASSERT_TRUE(ok);
    const auto garbage = PseudoRandomBytes(300, 3);
    int key = -1;
    mpeg4.CheckIsKeyFrame(garbage.data(), static_cast<int>(garbage.size()), key);
    EXPECT_EQ(key, 0);
}

TEST(CodecFourCC, TableFirstThenLibavformat)
{
    const struct {
        const char* fourcc;
        AVCodecID id;
    } table[] = {
        {"FMP4", AV_CODEC_ID_MPEG4}, {"XVID", AV_CODEC_ID_MPEG4}, {"H264", AV_CODEC_ID_H264},
        // Written for two codecs; the first reading counts.
        {"MJPG", AV_CODEC_ID_MJPEG}, {"H263", AV_CODEC_ID_H263},
        // Only libavformat's tags know it.
        {"AV01", AV_CODEC_ID_AV1}, {"MAGY", AV_CODEC_ID_MAGICYUV},
        {"QQQQ", AV_CODEC_ID_NONE},
    };
    for (const auto& row : table) {
        const std::string t = row.fourcc;
        const uint32_t fourcc = static_cast<uint32_t>(static_cast<uint8_t>(t[0])) |
                                static_cast<uint32_t>(static_cast<uint8_t>(t[1])) << 8 |
                                static_cast<uint32_t>(static_cast<uint8_t>(t[2])) << 16 |
                                static_cast<uint32_t>(static_cast<uint8_t>(t[3])) << 24;
        EXPECT_EQ(CodecIdFromCompression(fourcc), row.id) << row.fourcc;
    }
}

}  // namespace
