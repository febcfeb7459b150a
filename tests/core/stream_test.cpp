#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/BaseStream.h"
#include "core/ReadWindow.h"
#include "core/ResultCodes.h"
#include "core/TestDoubles.h"
#include "support/Damage.h"
#include "support/Fixtures.h"

using mendtest::MemoryVideoStream;

namespace {

std::vector<uint8_t> Pattern(size_t n, uint32_t seed)
{
    std::vector<uint8_t> v(n);
    std::mt19937 rng(seed);
    for (auto& b : v)
        b = static_cast<uint8_t>(rng());
    return v;
}

// The byte vector a stream must behave like. A caller's stream clamps seeks
// to its length; a file lets a seek pass the end and a write leave a hole.
struct Model {
    std::vector<uint8_t> bytes;
    long long pos = 0;
    bool clampSeek = false;

    long long Seek(long long target)
    {
        if (target < 0)
            return -1;  // refused; the position stays
        pos = clampSeek ? std::min<long long>(target, bytes.size()) : target;
        return pos;
    }
    std::vector<uint8_t> Read(size_t n)
    {
        std::vector<uint8_t> out;
        for (size_t i = 0; i < n && pos < static_cast<long long>(bytes.size()); ++i)
            out.push_back(bytes[pos++]);
        return out;
    }
    void Write(const std::vector<uint8_t>& data)
    {
        if (data.empty())
            return;  // writing nothing extends nothing
        if (pos + data.size() > bytes.size())
            bytes.resize(pos + data.size(), 0);
        std::copy(data.begin(), data.end(), bytes.begin() + pos);
        pos += data.size();
    }
};

class BufferStreamModel : public ::testing::TestWithParam<bool> {};

// Random reads, writes, seeks and jumps, steered across the buffer edges at
// 4095, 4096 and 4097, must match a plain byte vector step for step.
TEST_P(BufferStreamModel, RandomOperationsMatchAByteVector)
{
    const bool viaCallerStream = GetParam();
    const long long edges[] = {0, 1, 4095, 4096, 4097, 8191, 8192, 8193, 12288};
    const unsigned sizes[] = {0, 1, 3, 100, 4095, 4096, 4097, 5000, 8192, 10000};
    mendtest::ScratchDir dir;

    for (uint32_t seed = 1; seed <= 30; ++seed) {
        SCOPED_TRACE(::testing::Message() << "seed " << seed);
        std::mt19937 rng(seed);
        Model model;
        model.clampSeek = viaCallerStream;
        model.bytes = Pattern(rng() % 20000, seed);

        MemoryVideoStream memory;
        std::unique_ptr<IBaseStream> inner;
        std::string path = dir.Path("model" + std::to_string(seed));
        if (viaCallerStream) {
            memory.Write(model.bytes.data(), static_cast<unsigned>(model.bytes.size()));
            memory.SeekTo(0);
            inner = std::make_unique<CBaseStream>(&memory);
        } else {
            ASSERT_TRUE(mendtest::WriteFileBytes(path, model.bytes));
            int err = 1;
            inner = std::make_unique<CVideoFile>(path.c_str(), 1, &err);
            ASSERT_EQ(err, 0);
        }
        {
            CBufferStream stream(inner.get());
            for (int step = 0; step < 300; ++step) {
                SCOPED_TRACE(::testing::Message() << "step " << step);
                unsigned n = sizes[rng() % (sizeof(sizes) / sizeof(sizes[0]))];
                bool missed = false;
                switch (rng() % 5) {
                case 0: {
                    std::vector<uint8_t> got(n + 1);
                    unsigned r = stream.Read(got.data(), n);
                    got.resize(r);
                    ASSERT_EQ(got, model.Read(n));
                    break;
                }
                case 1: {
                    std::vector<uint8_t> data = Pattern(n, rng());
                    ASSERT_EQ(stream.Write(data.data(), n), n);
                    model.Write(data);
                    break;
                }
                case 2: {
                    long long target = edges[rng() % (sizeof(edges) / sizeof(edges[0]))];
                    if (rng() % 3 == 0)
                        target = static_cast<long long>(rng() % (model.bytes.size() + 200));
                    ASSERT_EQ(stream.SeekTo(target), model.Seek(target));
                    missed = model.pos != target;
                    break;
                }
                case 3: {
                    long long d = edges[rng() % (sizeof(edges) / sizeof(edges[0]))] + (rng() % 3) - 1;
                    if (rng() % 2)
                        d = -d;
                    long long target = model.pos + d;
                    long long expect = model.Seek(target);
                    ASSERT_EQ(stream.JumpOver(d), expect);
                    missed = target < 0 || expect != target;
                    break;
                }
                default:
                    ASSERT_EQ(stream.GetLength(), static_cast<long long>(model.bytes.size()));
                    break;
                }
                ASSERT_EQ(stream.GetPos(), model.pos);
                ASSERT_EQ(stream.GetPosHint(), model.pos);
                ASSERT_EQ(stream.Failed(), missed);
                if (missed) {
                    // Whatever came next would be read from the wrong place.
                    ASSERT_TRUE(stream.Failed());
                    uint8_t b;
                    ASSERT_EQ(stream.Read(&b, 1), 0u);
                    ASSERT_EQ(stream.Write(&b, 1), 0u);
                    break;
                }
            }
        }
        std::vector<uint8_t> stored = viaCallerStream ? memory.Bytes() : mendtest::ReadFileBytes(path);
        ASSERT_EQ(stored, model.bytes);
    }
}

INSTANTIATE_TEST_SUITE_P(Inner, BufferStreamModel, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "CallerStream" : "File";
                         });

class StreamTest : public ::testing::Test {
protected:
    std::string MakeFile(const std::string& name, const std::vector<uint8_t>& bytes)
    {
        std::string path = dir.Path(name);
        EXPECT_TRUE(mendtest::WriteFileBytes(path, bytes));
        return path;
    }
    mendtest::ScratchDir dir;
};

TEST_F(StreamTest, ReadAheadIsServedFromTheBuffer)
{
    std::vector<uint8_t> bytes = Pattern(10000, 7);
    std::string path = MakeFile("a", bytes);
    int err = 1;
    CVideoFile file(path.c_str(), 0, &err);
    ASSERT_EQ(err, 0);
    CBufferStream stream(&file);

    uint8_t buf[200];
    EXPECT_EQ(stream.Read(buf, 0), 0u);
    ASSERT_EQ(stream.Read(buf, 100), 100u);
    EXPECT_EQ(stream.GetPos(), 100);
    EXPECT_EQ(file.GetPos(), 4096);

    // The buffer's end is still inside it; one byte beyond is not.
    EXPECT_EQ(stream.SeekTo(4096), 4096);
    EXPECT_EQ(file.GetPos(), 4096);
    EXPECT_EQ(stream.SeekTo(40), 40);
    EXPECT_EQ(file.GetPos(), 4096);
    // A jump back by exactly the bytes handed out stays in the buffer and,
    // like a jump through the file, answers the new position.
    EXPECT_EQ(stream.JumpOver(-40), 0);
    EXPECT_EQ(file.GetPos(), 4096);
    EXPECT_EQ(stream.JumpOver(5000), 5000);
    EXPECT_EQ(stream.SeekTo(4097), 4097);
    EXPECT_EQ(file.GetPos(), 4097);

    ASSERT_EQ(stream.Read(buf, 1), 1u);
    EXPECT_EQ(buf[0], bytes[4097]);
    EXPECT_FALSE(stream.Failed());

    // A negative target is refused, the position stays, and the stream
    // reads nothing more: the caller's next bytes would be the wrong ones.
    EXPECT_LT(stream.JumpOver(-5000), 0);
    EXPECT_EQ(stream.GetPos(), 4098);
    EXPECT_TRUE(stream.Failed());
    EXPECT_EQ(stream.Read(buf, 1), 0u);
}

// A write refused because the flush before it failed leaves none of its
// bytes behind for a later flush; the bytes accepted before it still go.
TEST_F(StreamTest, ARefusedWriteLeavesNothingPending)
{
    MemoryVideoStream memory;
    memory.FailWritesAfter(300);
    std::vector<uint8_t> accepted = Pattern(200, 1);
    std::vector<uint8_t> refused = Pattern(CBufferStream::kMaxBufferSize - 100, 2);
    {
        CBaseStream out(&memory);
        CBufferStream stream(&out);
        ASSERT_EQ(stream.Write(accepted.data(), 200), 200u);
        EXPECT_EQ(stream.Write(refused.data(), static_cast<unsigned>(refused.size())), 0u);
        EXPECT_TRUE(stream.Failed());
        EXPECT_EQ(stream.GetPos(), 200);
        EXPECT_EQ(stream.FlushBuffer(), 0);
    }
    EXPECT_EQ(memory.Bytes(), accepted);
}

TEST_F(StreamTest, ReversedFieldsAreBigEndianAndLeaveTheCallerBytes)
{
    std::string path = dir.Path("r");
    {
        int err = 1;
        CVideoFile file(path.c_str(), 2, &err);
        ASSERT_EQ(err, 0);
        CBufferStream stream(&file);
        uint32_t value = 0x01020304;
        ASSERT_EQ(stream.WriteR(&value, 4), 4u);
        EXPECT_EQ(value, 0x01020304u);
        ASSERT_EQ(stream.Write(&value, 4), 4u);
        ASSERT_EQ(stream.SeekTo(0), 0);
        uint32_t back = 0;
        ASSERT_EQ(stream.ReadR(&back, 4), 4u);
        EXPECT_EQ(back, 0x01020304u);
    }
    EXPECT_EQ(mendtest::ReadFileBytes(path), (std::vector<uint8_t>{1, 2, 3, 4, 4, 3, 2, 1}));
}

TEST_F(StreamTest, WritesOfEverySizeReachTheFileInOrder)
{
    for (unsigned n : {1u, 4096u, 4097u, 10000u}) {
        std::string path = dir.Path("w" + std::to_string(n));
        std::vector<uint8_t> data = Pattern(n, n);
        {
            int err = 1;
            CVideoFile file(path.c_str(), 2, &err);
            CBufferStream stream(&file);
            ASSERT_EQ(stream.Write(data.data(), n), n);
            EXPECT_EQ(stream.GetLength(), static_cast<long long>(n));
        }
        EXPECT_EQ(mendtest::ReadFileBytes(path), data) << n;
    }
}

TEST_F(StreamTest, FileOpenModesAndRefusals)
{
    int err = 0;
    CVideoFile missing(dir.Path("missing").c_str(), 0, &err);
    EXPECT_EQ(err, JRVP_ERR_CANNOT_OPEN);
    uint8_t b;
    EXPECT_EQ(missing.Read(&b, 1), 0u);
    EXPECT_EQ(missing.GetLength(), JRVP_ERR_OPEN_FAILED);

    CVideoFile badMode(MakeFile("m", {1, 2}).c_str(), 7, &err);
    EXPECT_EQ(err, JRVP_ERR_CANNOT_OPEN);

    // Not regular files: none may be opened, and none may block.
    std::string fifo = dir.Path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const bool returned = mendtest::ReturnsWithoutBlockingOn(fifo, [&] {
        for (const std::string& path : {dir.Path(""), fifo, std::string("/dev/null")}) {
            for (int mode : {0, 1}) {
                int refused = 0;
                CVideoFile f(path.c_str(), mode, &refused);
                EXPECT_EQ(refused, JRVP_ERR_CANNOT_OPEN) << path << " mode " << mode;
            }
        }
    });
    EXPECT_TRUE(returned) << "an open blocked on the FIFO";

    std::string path = MakeFile("len", Pattern(100, 1));
    CVideoFile file(path.c_str(), 1, &err);
    ASSERT_EQ(err, 0);
    EXPECT_EQ(file.SetLength(50), 50);
    EXPECT_EQ(file.GetPos(), 50);
    EXPECT_EQ(file.GetLength(), 50);
}

TEST_F(StreamTest, CallerStreamAdapterLeavesLengthAlone)
{
    MemoryVideoStream memory;
    CBaseStream adapter(&memory);
    ASSERT_EQ(adapter.Write("abcdef", 6), 6u);
    EXPECT_EQ(adapter.SetLength(2), 0);
    EXPECT_EQ(adapter.GetLength(), 6);
    EXPECT_EQ(adapter.JumpOver(-4), 2);
    EXPECT_EQ(adapter.JumpOver(100), 6);  // the caller's stream clamps
}

TEST_F(StreamTest, ReadErrorsAndShortWritesAreFailuresNotEndOfData)
{
    mendtest::FaultyStream faulty(Pattern(20000, 3), 5000);
    {
        CBufferStream stream(&faulty);
        std::vector<uint8_t> buf(10000);
        EXPECT_EQ(stream.Read(buf.data(), 10000), 5000u);
        EXPECT_TRUE(stream.Failed());
    }
    mendtest::FaultyStream clean(Pattern(100, 3));
    {
        CBufferStream stream(&clean);
        uint8_t buf[200];
        EXPECT_EQ(stream.Read(buf, 200), 100u);
        EXPECT_FALSE(stream.Failed());  // the end of data alone is no failure
    }

    MemoryVideoStream memory;
    memory.FailWritesAfter(9000);
    CBaseStream adapter(&memory);
    CBufferStream out(&adapter);
    std::vector<uint8_t> data = Pattern(5000, 4);
    EXPECT_EQ(out.Write(data.data(), 5000), 5000u);
    EXPECT_EQ(out.Write(data.data(), 5000), 5000u);  // still pending
    EXPECT_EQ(out.FlushBuffer(), JRVP_ERR_CANNOT_WRITE);
    EXPECT_TRUE(out.Failed());
    EXPECT_EQ(out.GetPos(), 10000);
}

// Offsets past 4 GiB must survive every layer: a sparse file costs no disk.
TEST_F(StreamTest, SparseFileBeyondFourGiB)
{
    const long long kFive = 5LL << 30;
    const long long kMark = (4LL << 30) + 123;
    std::string path = dir.Path("sparse");
    int err = 1;
    {
        CVideoFile file(path.c_str(), 2, &err);
        ASSERT_EQ(err, 0);
        ASSERT_EQ(file.SetLength(kFive), kFive);
        ASSERT_EQ(file.SeekTo(kMark), kMark);
        ASSERT_EQ(file.Write("MARK", 4), 4u);
    }
    CVideoFile file(path.c_str(), 0, &err);
    ASSERT_EQ(err, 0);
    CBufferStream stream(&file);
    EXPECT_EQ(stream.GetLength(), kFive);
    ASSERT_EQ(stream.SeekTo(kMark - 3), kMark - 3);
    char buf[8] = {};
    ASSERT_EQ(stream.Read(buf, 8), 8u);
    EXPECT_EQ(std::string(buf + 3, 4), "MARK");
    EXPECT_EQ(stream.GetPos(), kMark + 5);
    EXPECT_EQ(stream.JumpOver(-(kMark + 5) + (1LL << 32) - 2), (1LL << 32) - 2);
    EXPECT_EQ(stream.JumpOver(kFive - ((1LL << 32) - 2)), kFive);
    EXPECT_EQ(stream.Read(buf, 8), 0u);
    EXPECT_FALSE(stream.Failed());
}

// The read window hands out the bytes asked for, from where they lie in the
// input, across window ends; a view past the input's end or larger than a
// window, or a read that fails, is refused rather than given short.
TEST(ReadWindow, ViewsAreTheInputsBytesOrRefused)
{
    const int64_t size = CReadWindow::kSize * 2 + 100;
    const auto bytes = mendtest::PseudoRandomBytes(static_cast<size_t>(size), 5);
    mendtest::FaultyStream in(bytes);
    CReadWindow window;
    struct Case {
        int64_t pos, n;
        bool ok;
    };
    const Case cases[] = {
        {0, 16, true},
        {100, 1000, true},
        {CReadWindow::kSize - 8, 16, true},  // straddles the first window's end
        {size - 16, 16, true},
        {size - 16, 17, false},  // past the end
        {size, 0, true},
        {size + 1, 0, false},
        {-1, 4, false},
        {0, CReadWindow::kSize, true},
        {0, CReadWindow::kSize + 1, false},  // more than a window
        {50, 16, true},                      // back before the window
    };
    for (const Case& c : cases) {
        const uint8_t* v = window.Fetch(&in, c.pos, c.n, size);
        ASSERT_EQ(v != nullptr, c.ok) << "at " << c.pos << ", " << c.n << " bytes";
        if (v && c.n > 0) {
            EXPECT_EQ(memcmp(v, bytes.data() + c.pos, static_cast<size_t>(c.n)), 0) << "at " << c.pos;
        }
    }

    // A read error inside the second window: what lies before it still
    // comes, what needs it does not.
    mendtest::FaultyStream faulty(bytes, CReadWindow::kSize + 10);
    CReadWindow w;
    EXPECT_NE(w.Fetch(&faulty, 0, 64, size), nullptr);
    EXPECT_EQ(w.Fetch(&faulty, CReadWindow::kSize - 4, 64, size), nullptr);
    EXPECT_EQ(w.Load(&faulty, CReadWindow::kSize, size), MEND_ERR_READ);
    EXPECT_NE(w.Fetch(&faulty, 0, 64, size), nullptr);
}

// A file is read ahead on a second thread while the walk checks its window.
// Walking forward unit by unit (small and large units, some longer than
// what a window carries over), stepping over bytes, jumping back, and a
// file that shrinks under the walk: every view is the file's bytes, or
// refused.
TEST(ReadWindow, AWalkReadAheadSeesTheFilesBytes)
{
    // Longer than what is read ahead of the walk at the shrinking below.
    const int64_t size = CReadWindow::kSize * 10 + 777;
    const auto bytes = mendtest::PseudoRandomBytes(static_cast<size_t>(size), 9);
    mendtest::ScratchDir dir;
    const std::string path = dir.Path("walk.bin");
    ASSERT_TRUE(mendtest::WriteFileBytes(path, bytes));
    int err = 0;
    CVideoFile file(path.c_str(), 0, &err);
    ASSERT_TRUE(file.IsOpen());
    CBufferStream in(&file);
    CReadWindow window;
    std::mt19937 rng(3);
    auto walk = [&](int64_t from, int64_t to) {
        for (int64_t pos = from; pos < to;) {
            const int64_t n = std::min<int64_t>(to - pos, rng() % 4 == 0 ? 100000 + rng() % 200000 : 1 + rng() % 5000);
            const uint8_t* v = window.Fetch(&in, pos, n, size);
            ASSERT_NE(v, nullptr) << "at " << pos;
            ASSERT_EQ(memcmp(v, bytes.data() + pos, static_cast<size_t>(n)), 0) << "at " << pos;
            pos += n;
            // A frame walk looks at headers only: it steps over the bodies,
            // often past the window's end, now and then far past it.
            if (rng() % 3 == 0)
                pos += rng() % 8 == 0 ? 60000 + rng() % 20000 : rng() % 2000;
        }
    };
    {
        // A step past the window's end lands in the block read ahead; a
        // view of a whole window from there still comes whole.
        CReadWindow stepping;
        ASSERT_NE(stepping.Fetch(&in, 0, 16, size), nullptr);
        ASSERT_NE(stepping.Fetch(&in, stepping.End() - 8, 16, size), nullptr);
        const int64_t at = stepping.End() + 1000;
        const uint8_t* whole = stepping.Fetch(&in, at, CReadWindow::kSize, size);
        ASSERT_NE(whole, nullptr);
        EXPECT_EQ(memcmp(whole, bytes.data() + at, static_cast<size_t>(CReadWindow::kSize)), 0);
    }
    walk(0, size);
    EXPECT_EQ(in.GetPos(), window.End());
    walk(1000, CReadWindow::kSize * 3);  // back, then forward again
    // The file loses its end while the walk goes on: the blocks read before
    // may still be seen, then the walk is refused before the old end.
    ASSERT_EQ(truncate(path.c_str(), CReadWindow::kSize * 3 + 500), 0);
    const uint8_t* v = nullptr;
    int64_t pos = CReadWindow::kSize * 3;
    for (; pos + 4096 <= size && (v = window.Fetch(&in, pos, 4096, size)); pos += 4096)
        ASSERT_EQ(memcmp(v, bytes.data() + pos, 4096), 0) << "at " << pos;
    EXPECT_EQ(v, nullptr);
    EXPECT_LT(pos, size - 4096);
}

// Threads of this process, as the kernel lists them.
size_t ThreadCount()
{
    size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        (void)entry;
        ++n;
    }
    return n;
}

// A window holds the bytes it reads and no more: a file smaller than a
// window, or the last bytes of a large one, get a buffer of about their
// size, and a walk over a file the window already holds to its end makes
// no thread and no block to read ahead. A whole window still comes whole.
TEST(ReadWindow, ASmallFileGetsASmallWindowAndNothingReadAhead)
{
    constexpr size_t kStep = 64 * 1024;
    mendtest::ScratchDir dir;
    struct Case {
        int64_t size, from;  // the file's size; where the walk starts
        size_t most;         // the window's largest buffer
    };
    const Case cases[] = {
        {1, 0, kStep},
        {100000, 0, 2 * kStep},
        {100000, 60000, kStep},
        {CReadWindow::kSize * 3, CReadWindow::kSize * 3 - 1000, kStep},  // the tail of a large file
    };
    for (const Case& c : cases) {
        const auto bytes = mendtest::PseudoRandomBytes(static_cast<size_t>(c.size), 4);
        const std::string path = dir.Path("small.bin");
        ASSERT_TRUE(mendtest::WriteFileBytes(path, bytes));
        int err = 0;
        CVideoFile file(path.c_str(), 0, &err);
        ASSERT_TRUE(file.IsOpen());
        CBufferStream in(&file);
        CReadWindow window;
        const size_t threads = ThreadCount();
        // Loads that go forward inside the file, as a frame walk's do.
        for (int64_t pos = c.from; pos < c.size; pos += 7777) {
            ASSERT_EQ(window.Load(&in, pos, c.size), 0) << c.size << " at " << pos;
            const int64_t n = std::min<int64_t>(16, c.size - pos);
            const uint8_t* v = window.Fetch(&in, pos, n, c.size);
            ASSERT_NE(v, nullptr);
            ASSERT_EQ(memcmp(v, bytes.data() + pos, static_cast<size_t>(n)), 0) << c.size << " at " << pos;
        }
        EXPECT_LE(window.Capacity(), c.most) << c.size << " from " << c.from;
        EXPECT_EQ(ThreadCount(), threads) << c.size << " from " << c.from;
        if (c.size >= CReadWindow::kSize) {
            const uint8_t* whole = window.Fetch(&in, 0, CReadWindow::kSize, c.size);
            ASSERT_NE(whole, nullptr);
            EXPECT_EQ(memcmp(whole, bytes.data(), static_cast<size_t>(CReadWindow::kSize)), 0);
        }
    }
}

}  // namespace
