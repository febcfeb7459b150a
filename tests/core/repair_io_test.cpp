// Stream failures and long copies as a repair meets them: a seek that does
// not land ends the repair with the stream's error, an abort ends a long
// copy promptly, and progress only ever rises.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/BaseStream.h"
#include "core/FormatRegistry.h"
#include "core/TestDoubles.h"
#include "support/Damage.h"
#include "support/Fixtures.h"

using mendtest::MemoryVideoStream;
using mendtest::RepairScript;
using mendtest::ScriptedRepair;

namespace {

using Clock = std::chrono::steady_clock;

// Passes everything to a file, but once told to lie, every seek lands one
// byte past its target and says so, as a broken device or driver might.
class LyingStream : public IBaseStream {
public:
    explicit LyingStream(IBaseStream* inner) : m_inner(inner) {}
    void Lie() { m_lie = true; }

    unsigned int Read(void* buf, unsigned int n) override { return m_inner->Read(buf, n); }
    unsigned int Write(const void* buf, unsigned int n) override { return m_inner->Write(buf, n); }
    long long GetLength() override { return m_inner->GetLength(); }
    long long SetLength(long long length) override { return m_inner->SetLength(length); }
    long long GetPos() override { return m_inner->GetPos(); }
    long long SeekTo(long long pos) override { return m_inner->SeekTo(m_lie ? pos + 1 : pos); }
    long long JumpOver(long long d) override { return SeekTo(GetPos() + d); }
    bool Failed() override { return m_inner->Failed(); }

private:
    IBaseStream* m_inner;
    bool m_lie = false;
};

// A caller's stream that takes its time, so a copy through it lasts long
// enough to be watched and interrupted.
class SlowVideoStream : public MemoryVideoStream {
public:
    unsigned int Write(const void* buf, unsigned int n) override
    {
        std::this_thread::sleep_for(std::chrono::microseconds(n / 1024));
        return MemoryVideoStream::Write(buf, n);
    }
};

std::unique_ptr<CVideoFile> OpenFile(const std::string& path, int mode)
{
    int err = 1;
    auto file = std::make_unique<CVideoFile>(path.c_str(), mode, &err);
    EXPECT_EQ(err, 0) << path;
    return file;
}

struct SeekCase {
    const char* fixture;
    JRVPVideoFormat format;
};

class MissedSeek : public ::testing::TestWithParam<SeekCase> {
protected:
    // A copy of the fixture cut at 60 %, so every container has damage to
    // record and a rebuild to do.
    std::string DamagedCopy()
    {
        std::string src = mendtest::RequireFixture(GetParam().fixture);
        if (src.empty())
            return "";
        std::string path = dir.Path(std::string("cut_") + GetParam().fixture);
        EXPECT_TRUE(mendtest::CopyFile(src, path));
        EXPECT_TRUE(mendtest::TruncateFile(path, mendtest::FileSize(path) * 6 / 10));
        return path;
    }
    mendtest::ScratchDir dir;
};

TEST_P(MissedSeek, EndsTheParseAndTheRepairWithTheStreamsError)
{
    std::string path = DamagedCopy();
    if (path.empty())
        return;

    // While parsing: the parse cannot read its file.
    {
        auto file = OpenFile(path, 0);
        LyingStream lying(file.get());
        lying.Lie();
        auto repair = NewRepairer(GetParam().format, &lying);
        ASSERT_TRUE(repair);
        EXPECT_EQ(repair->ParseStream(nullptr, nullptr), JRVP_ERR_CANNOT_READ);
    }
    // While repairing, on the input: the repair cannot read its file.
    {
        auto file = OpenFile(path, 0);
        LyingStream lying(file.get());
        auto repair = NewRepairer(GetParam().format, &lying);
        ASSERT_EQ(repair->ParseStream(nullptr, nullptr), 0);
        ASSERT_GT(repair->GetErrorsCount(), 0);
        lying.Lie();
        MemoryVideoStream memory;
        CBaseStream out(&memory);
        EXPECT_EQ(repair->RepairFile(&out, 1, nullptr), JRVP_ERR_CANNOT_READ);
    }
    // While repairing, on the output: the repair cannot write its copy.
    {
        auto file = OpenFile(path, 0);
        auto repair = NewRepairer(GetParam().format, file.get());
        ASSERT_EQ(repair->ParseStream(nullptr, nullptr), 0);
        auto outFile = OpenFile(dir.Path("out"), 2);
        LyingStream lying(outFile.get());
        lying.Lie();
        EXPECT_EQ(repair->RepairFile(&lying, 1, nullptr), JRVP_ERR_CANNOT_WRITE);
    }
}

INSTANTIATE_TEST_SUITE_P(Containers, MissedSeek,
                         ::testing::Values(SeekCase{"clip.avi", JRVP_FORMAT_AVI},
                                           SeekCase{"clip.mkv", JRVP_FORMAT_MKV},
                                           SeekCase{"clip_faststart.mp4", JRVP_FORMAT_MP4}),
                         [](const ::testing::TestParamInfo<SeekCase>& info) {
                             std::string name = info.param.fixture;
                             for (char& c : name)
                                 if (!isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             return name;
                         });

// A repair that copies its whole input: the long pass-through copy of every
// container's rebuild, to a file or to a caller's stream that takes its time.
class LongCopy : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        inPath = dir.Path("in");
        // A sparse file: large, yet nothing to write to make it.
        int fd = open(inPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, kSize), 0);
        ASSERT_EQ(pwrite(fd, "head", 4, 0), 4);
        close(fd);
        in = OpenFile(inPath, 0);
        RepairScript script;
        script.errors = {JRVP_DAMAGE_STRUCTURE};
        script.copyInput = true;
        repair = std::make_unique<ScriptedRepair>(in.get(), script);
        ASSERT_EQ(repair->ParseStream(nullptr, nullptr), 0);
        if (GetParam())
            out = std::make_unique<CBaseStream>(&slow);
        else
            outFile = OpenFile(dir.Path("out"), 2);
    }
    IBaseStream* Output() { return GetParam() ? out.get() : static_cast<IBaseStream*>(outFile.get()); }
    long long Written() { return GetParam() ? static_cast<long long>(slow.Bytes().size()) : outFile->GetLength(); }

    static constexpr long long kSize = 256LL << 20;
    mendtest::ScratchDir dir;
    std::string inPath;
    std::unique_ptr<CVideoFile> in;
    std::unique_ptr<ScriptedRepair> repair;
    SlowVideoStream slow;
    std::unique_ptr<CBaseStream> out;
    std::unique_ptr<CVideoFile> outFile;
};

TEST_P(LongCopy, ProgressRisesStepByStepToTheEnd)
{
    std::atomic<int> result{1};
    std::thread worker([&] { result = repair->RepairFile(Output(), 1, nullptr); });
    std::vector<int> seen;
    // Progress is reported while the repair runs; it reads 0 again after.
    while (result.load() == 1) {
        int p = repair->GetProcess();
        if (repair->GetStatus() != JRVP_STATUS_REPAIRING)
            continue;
        if (seen.empty() || seen.back() != p)
            seen.push_back(p);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    worker.join();
    ASSERT_EQ(result.load(), 0);
    EXPECT_EQ(Written(), kSize);
    for (size_t i = 1; i < seen.size(); ++i)
        EXPECT_LE(seen[i - 1], seen[i]) << "at " << i;
    // Through memory the copy is slow enough to be seen in several steps.
    if (GetParam()) {
        EXPECT_GE(seen.size(), 4u);
    }
}

TEST_P(LongCopy, AbortEndsTheCopyWithin100ms)
{
    std::atomic<int> result{1};
    std::thread worker([&] { result = repair->RepairFile(Output(), 1, nullptr); });
    // Abort once the copy is under way, not before it.
    while (result.load() == 1 && repair->GetProcess() == 0)
        std::this_thread::yield();
    auto asked = Clock::now();
    repair->AbortTask();
    while (result.load() == 1 && Clock::now() - asked < std::chrono::seconds(5))
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - asked).count();
    worker.join();
    EXPECT_EQ(result.load(), JRVP_ERR_ABORTED);
    EXPECT_LT(took, 100);
    EXPECT_LT(Written(), kSize);
}

INSTANTIATE_TEST_SUITE_P(Outputs, LongCopy, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "CallerStream" : "File";
                         });

}  // namespace
