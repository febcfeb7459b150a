// Checks the test ground itself: every generated clip decodes cleanly with
// the codecs later tests assume, the checker notices damage and survives
// garbage, and the damagers change exactly the bytes they claim.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <numeric>

#include "support/Damage.h"
#include "support/Fixtures.h"
#include "support/MediaCheck.h"

extern "C" {
#include <libavutil/log.h>
}

namespace mendtest {
namespace {

struct Clip {
  const char* name;
  AVCodecID video;  // AV_CODEC_ID_NONE: no video stream
  AVCodecID audio;  // AV_CODEC_ID_NONE: no audio stream
  int audioStreams;
};

const Clip kClips[] = {
    {"clip.mp4", AV_CODEC_ID_H264, AV_CODEC_ID_AAC, 1},
    {"clip_faststart.mp4", AV_CODEC_ID_H264, AV_CODEC_ID_AAC, 1},
    {"clip.mov", AV_CODEC_ID_H264, AV_CODEC_ID_AAC, 1},
    {"clip.m4a", AV_CODEC_ID_NONE, AV_CODEC_ID_AAC, 1},
    {"clip.3gp", AV_CODEC_ID_H263, AV_CODEC_ID_AAC, 1},
    {"clip_meta.mp4", AV_CODEC_ID_H264, AV_CODEC_ID_AAC, 1},
    {"clip.avi", AV_CODEC_ID_MPEG4, AV_CODEC_ID_MP3, 1},
    {"clip_h264_pcm.avi", AV_CODEC_ID_H264, AV_CODEC_ID_PCM_S16LE, 1},
    {"clip_mjpeg.avi", AV_CODEC_ID_MJPEG, AV_CODEC_ID_PCM_S16LE, 1},
    {"clip_2audio.avi", AV_CODEC_ID_MPEG4, AV_CODEC_ID_MP3, 2},
    {"clip.mkv", AV_CODEC_ID_H264, AV_CODEC_ID_AAC, 1},
    {"clip_vorbis.mkv", AV_CODEC_ID_H264, AV_CODEC_ID_VORBIS, 1},
    {"clip_nocrc.mkv", AV_CODEC_ID_H264, AV_CODEC_ID_AAC, 1},
    {"clip.webm", AV_CODEC_ID_VP8, AV_CODEC_ID_OPUS, 1},
    {"clip_vp9.webm", AV_CODEC_ID_VP9, AV_CODEC_ID_OPUS, 1},
    {"clip_pipe.mkv", AV_CODEC_ID_H264, AV_CODEC_ID_AAC, 1},
    {"clip.rm", AV_CODEC_ID_RV20, AV_CODEC_ID_AC3, 1},
    {"clip.wmv", AV_CODEC_ID_WMV2, AV_CODEC_ID_WMAV2, 1},
    {"clip.wma", AV_CODEC_ID_NONE, AV_CODEC_ID_WMAV2, 1},
    {"clip.flv", AV_CODEC_ID_FLV1, AV_CODEC_ID_MP3, 1},
    {"clip_h264.flv", AV_CODEC_ID_H264, AV_CODEC_ID_AAC, 1},
    {"clip.mpg", AV_CODEC_ID_MPEG1VIDEO, AV_CODEC_ID_MP2, 1},
    {"clip.vob", AV_CODEC_ID_MPEG2VIDEO, AV_CODEC_ID_AC3, 1},
    {"clip.ts", AV_CODEC_ID_H264, AV_CODEC_ID_AAC, 1},
    {"clip.mp3", AV_CODEC_ID_NONE, AV_CODEC_ID_MP3, 1},
    {"clip.wav", AV_CODEC_ID_NONE, AV_CODEC_ID_PCM_S16LE, 1},
    {"clip.ogg", AV_CODEC_ID_NONE, AV_CODEC_ID_VORBIS, 1},
    {"clip.ogv", AV_CODEC_ID_THEORA, AV_CODEC_ID_VORBIS, 1},
    {"clip.opus", AV_CODEC_ID_NONE, AV_CODEC_ID_OPUS, 1},
    {"clip.flac", AV_CODEC_ID_NONE, AV_CODEC_ID_FLAC, 1},
};

void PrintTo(const Clip& c, std::ostream* os) { *os << c.name; }

class SupportFixtures : public ::testing::TestWithParam<Clip> {};

TEST_P(SupportFixtures, DecodesCleanly) {
  const Clip& c = GetParam();
  const std::string path = RequireFixture(c.name);
  if (path.empty()) return;
  const MediaReport r = CheckMedia(path);
  ASSERT_TRUE(r.CleanDecode()) << r.Summary();
  EXPECT_GE(r.durationSeconds, 1.0) << r.Summary();
  EXPECT_LE(r.durationSeconds, 3.0) << r.Summary();

  const StreamReport* v = r.FirstStream(AVMEDIA_TYPE_VIDEO);
  const StreamReport* a = r.FirstStream(AVMEDIA_TYPE_AUDIO);
  if (c.video == AV_CODEC_ID_NONE) {
    EXPECT_EQ(v, nullptr) << r.Summary();
  } else {
    ASSERT_NE(v, nullptr) << r.Summary();
    EXPECT_EQ(v->codecId, c.video) << r.Summary();
    EXPECT_GE(v->frames, 15) << r.Summary();  // >= 1 s of video
    EXPECT_GT(v->keyPackets, 0) << r.Summary();
  }
  ASSERT_NE(a, nullptr) << r.Summary();
  EXPECT_EQ(a->codecId, c.audio) << r.Summary();
  int audioStreams = 0;
  for (const auto& s : r.streams) {
    if (s.type == AVMEDIA_TYPE_AUDIO) {
      ++audioStreams;
      EXPECT_GT(s.frames, 0) << r.Summary();
    }
  }
  EXPECT_EQ(audioStreams, c.audioStreams) << r.Summary();
  int64_t packets = 0;
  for (const auto& s : r.streams) packets += s.packets;
  EXPECT_EQ(packets, static_cast<int64_t>(r.packets.size()));
}

INSTANTIATE_TEST_SUITE_P(All, SupportFixtures, ::testing::ValuesIn(kClips),
                         [](const ::testing::TestParamInfo<Clip>& info) {
                           std::string n = info.param.name;
                           for (char& ch : n)
                             if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return n;
                         });

// Later tests lean on these layout traits of particular clips.
TEST(SupportFixtureLayout, ClipsHaveTheAdvertisedStructure) {
  const auto mp4 = ReadFileBytes(RequireFixture("clip.mp4"));
  const auto fast = ReadFileBytes(RequireFixture("clip_faststart.mp4"));
  const auto meta = ReadFileBytes(RequireFixture("clip_meta.mp4"));
  const auto mp3 = ReadFileBytes(RequireFixture("clip.mp3"));
  const auto pipe = ReadFileBytes(RequireFixture("clip_pipe.mkv"));
  const auto mkv = ReadFileBytes(RequireFixture("clip.mkv"));
  const auto nocrc = ReadFileBytes(RequireFixture("clip_nocrc.mkv"));

  EXPECT_GT(FindBytes(mp4, "moov"), FindBytes(mp4, "mdat"));
  EXPECT_LT(FindBytes(fast, "moov"), FindBytes(fast, "mdat"));
  const int64_t ilst = FindBytes(meta, "ilst");
  ASSERT_GT(ilst, 8);
  EXPECT_GT(FindBytes(meta, "meta"), FindBytes(meta, "moov"));
  EXPECT_GT(FindBytes(meta, "vidmend fixture", static_cast<size_t>(ilst)), ilst);
  ASSERT_GE(mp3.size(), 10u);
  EXPECT_EQ(std::string(mp3.begin(), mp3.begin() + 4), std::string("ID3\x03", 4));

  const std::vector<uint8_t> cues = {0x1C, 0x53, 0xBB, 0x6B};
  EXPECT_GT(FindBytes(mkv, cues), 0);
  EXPECT_EQ(FindBytes(pipe, cues), -1);  // a pipe cannot get its index
  // With CRCs on, every top-level element opens with a CRC-32 child (BF 84).
  auto crcOnSeekHead = [](const std::vector<uint8_t>& b) {
    const int64_t id = FindBytes(b, std::vector<uint8_t>{0x11, 0x4D, 0x9B, 0x74});
    if (id < 0 || static_cast<size_t>(id) + 7 > b.size()) return false;
    size_t at = static_cast<size_t>(id) + 4;
    int sizeLen = 1;
    while (sizeLen <= 8 && !(b[at] & (0x80 >> (sizeLen - 1)))) ++sizeLen;
    at += static_cast<size_t>(sizeLen);
    return at + 2 <= b.size() && b[at] == 0xBF && b[at + 1] == 0x84;
  };
  EXPECT_TRUE(crcOnSeekHead(mkv));
  EXPECT_FALSE(crcOnSeekHead(nocrc));
  EXPECT_EQ(CheckMedia(FixturePath("clip_pipe.mkv")).formatName, "matroska,webm");
}

// The checker is only useful if it notices damage and survives junk.
TEST(SupportMediaCheck, RejectsJunkWithoutCrashing) {
  ScratchDir dir;
  const std::string empty = dir.Path("empty.mp4");
  const std::string noise = dir.Path("noise.bin");
  const std::string zeros = dir.Path("zeros.avi");
  ASSERT_TRUE(WriteFileBytes(empty, {}));
  ASSERT_TRUE(WriteFileBytes(noise, PseudoRandomBytes(64 * 1024, 7)));
  ASSERT_TRUE(WriteFileBytes(zeros, std::vector<uint8_t>(4096, 0)));

  for (const std::string& p : {dir.Path("missing.mkv"), empty, noise, zeros}) {
    const MediaReport r = CheckMedia(p);
    EXPECT_FALSE(r.CleanDecode()) << r.Summary();
    if (!r.opened) {
      EXPECT_FALSE(r.openError.empty()) << p;
    }
  }
  const MediaReport missing = CheckMedia(dir.Path("missing.mkv"));
  EXPECT_FALSE(missing.opened);
  EXPECT_EQ(missing.TotalFrames(), 0);
}

TEST(SupportMediaCheck, NoticesDamageInsideTheStream) {
  const std::string src = RequireFixture("clip.mpg");
  if (src.empty()) return;
  ScratchDir dir;
  const std::string hit = dir.Path("clip.mpg");
  ASSERT_TRUE(CopyFile(src, hit));
  ASSERT_TRUE(SpliceGarbage(hit, FileSize(hit) / 2, 3000, 1));
  const MediaReport r = CheckMedia(hit);
  EXPECT_TRUE(r.opened);
  EXPECT_TRUE(r.HadErrors()) << r.Summary();
  EXPECT_FALSE(r.CleanDecode());

  // A truncated MP4 that lost its trailing moov cannot be opened at all.
  const std::string mp4 = dir.Path("clip.mp4");
  ASSERT_TRUE(CopyFile(FixturePath("clip.mp4"), mp4));
  ASSERT_TRUE(TruncateFile(mp4, FindBytes(ReadFileBytes(mp4), "moov") - 4));
  const MediaReport cut = CheckMedia(mp4);
  EXPECT_FALSE(cut.opened) << cut.Summary();
  EXPECT_FALSE(cut.openError.empty());
}

int g_forwarded = 0;
void CountingCallback(void*, int level, const char*, va_list) {
  if (level <= AV_LOG_ERROR) ++g_forwarded;
}

TEST(SupportMediaCheck, HandsTheLogCallbackBack) {
  SetAvLogCallbackToRestore(CountingCallback);
  const MediaReport r = CheckMedia("/nonexistent/for/sure.mp4");
  EXPECT_EQ(g_forwarded, 0);  // nothing leaked while capturing
  av_log(nullptr, AV_LOG_ERROR, "after check\n");
  SetAvLogCallbackToRestore(nullptr);
  av_log_set_callback(av_log_default_callback);
  EXPECT_EQ(g_forwarded, 1);
}

TEST(SupportDamage, EditsExactlyTheRequestedBytes) {
  ScratchDir dir;
  const std::string f = dir.Path("bytes.bin");
  std::vector<uint8_t> base(100);
  std::iota(base.begin(), base.end(), 0);
  auto reset = [&] { ASSERT_TRUE(WriteFileBytes(f, base)); };

  reset();
  ASSERT_TRUE(TruncateFile(f, 40));
  EXPECT_EQ(ReadFileBytes(f), std::vector<uint8_t>(base.begin(), base.begin() + 40));

  reset();
  ASSERT_TRUE(ZeroRange(f, 10, 5));
  auto want = base;
  std::fill(want.begin() + 10, want.begin() + 15, 0);
  EXPECT_EQ(ReadFileBytes(f), want);

  reset();
  ASSERT_TRUE(OverwriteBytes(f, 98, {0xAA, 0xBB}));
  want = base;
  want[98] = 0xAA;
  want[99] = 0xBB;
  EXPECT_EQ(ReadFileBytes(f), want);

  reset();
  ASSERT_TRUE(SpliceGarbage(f, 50, 7, 42));
  want = base;
  const auto garbage = PseudoRandomBytes(7, 42);
  want.insert(want.begin() + 50, garbage.begin(), garbage.end());
  EXPECT_EQ(ReadFileBytes(f), want);
  EXPECT_EQ(PseudoRandomBytes(7, 42), garbage);
  EXPECT_NE(PseudoRandomBytes(7, 43), garbage);

  // Ranges outside the file are refused and leave it untouched.
  reset();
  EXPECT_FALSE(TruncateFile(f, 101));
  EXPECT_FALSE(ZeroRange(f, 95, 6));
  EXPECT_FALSE(OverwriteBytes(f, 99, {1, 2}));
  EXPECT_FALSE(SpliceGarbage(f, 101, 1, 0));
  EXPECT_FALSE(ZeroRange(f, INT64_MAX, INT64_MAX));
  EXPECT_FALSE(ZeroRange(dir.Path("missing"), 0, 1));
  EXPECT_EQ(ReadFileBytes(f), base);
  EXPECT_EQ(FileSize(dir.Path("missing")), -1);

  std::vector<uint8_t> b = {0, 'm', 'o', 'o', 'v', 0, 'm', 'o', 'o', 'v'};
  EXPECT_EQ(FindBytes(b, "moov"), 1);
  EXPECT_EQ(FindBytes(b, "moov", 2), 6);
  EXPECT_EQ(FindBytes(b, "moov", 7), -1);
  EXPECT_EQ(FindBytes(b, "moov", 500), -1);
  WriteBE32(b, 0, 0x01020304);
  EXPECT_EQ(b[0], 1);
  EXPECT_EQ(b[3], 4);
  EXPECT_EQ(ReadBE32(b, 0), 0x01020304u);
  EXPECT_EQ(ReadLE32(b, 0), 0x04030201u);
  WriteLE32(b, 6, 0xDEADBEEF);
  EXPECT_EQ(ReadBE32(b, 6), 0xEFBEADDEu);
  EXPECT_THROW(ReadBE32(b, 7), std::out_of_range);
  EXPECT_THROW(WriteLE32(b, SIZE_MAX - 1, 0), std::out_of_range);
}

TEST(SupportScratchDir, IsUniqueEmptyAndRemoved) {
  std::string root;
  {
    ScratchDir a, b;
    root = a.Root();
    ASSERT_FALSE(root.empty());
    EXPECT_NE(a.Root(), b.Root());
    EXPECT_TRUE(std::filesystem::is_empty(root));
    ASSERT_TRUE(WriteFileBytes(a.Path("sub.bin"), {1, 2, 3}));
    std::filesystem::create_directory(a.Path("nested"));
    ASSERT_TRUE(WriteFileBytes(a.Path("nested/x"), {4}));
  }
  EXPECT_FALSE(std::filesystem::exists(root));
}

}  // namespace
}  // namespace mendtest
