// Measures, on one generated file, the throughput of
//  1. sequential 4-byte field reads through CBufferStream, and
//  2. WriteToFile copying the whole file through a repairer's streams,
// each against a plain read(2)/write(2) loop over the same file with the
// same 4096-byte blocks. Usage: mendcore_bench [folder] [size in MiB]
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/BaseRepair.h"
#include "core/StreamIO.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool MakeFile(const std::string& path, long long size)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    std::vector<uint32_t> block(1 << 18);
    uint32_t x = 2463534242u;
    for (long long done = 0; done < size;) {
        for (auto& v : block) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            v = x;
        }
        size_t n = static_cast<size_t>(std::min<long long>(size - done, block.size() * 4));
        if (write(fd, block.data(), n) != static_cast<ssize_t>(n)) {
            close(fd);
            return false;
        }
        done += n;
    }
    return close(fd) == 0;
}

// Plain loop: 4096-byte read(2) calls, every 4-byte field summed.
uint64_t PlainFieldReads(const std::string& path)
{
    int fd = open(path.c_str(), O_RDONLY);
    uint32_t block[1024];
    uint64_t sum = 0;
    ssize_t r;
    while ((r = read(fd, block, sizeof(block))) > 0)
        for (ssize_t i = 0; i < r / 4; ++i)
            sum += block[i];
    close(fd);
    return sum;
}

uint64_t BufferedFieldReads(const std::string& path)
{
    int err = 0;
    CVideoFile file(path.c_str(), 0, &err);
    CBufferStream stream(&file);
    uint64_t sum = 0;
    uint32_t v;
    while (ReadField(&stream, v))
        sum += v;
    return sum;
}

bool PlainCopy(const std::string& from, const std::string& to)
{
    int in = open(from.c_str(), O_RDONLY);
    int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    char block[4096];
    ssize_t r;
    bool ok = in >= 0 && out >= 0;
    while (ok && (r = read(in, block, sizeof(block))) > 0)
        ok = write(out, block, r) == r;
    close(in);
    close(out);
    return ok;
}

// A repairer whose repair is one WriteToFile of its whole input.
class CopyRepair : public CBaseRepair {
public:
    using CBaseRepair::CBaseRepair;
    int Open() override
    {
        AddError(JRVP_DAMAGE_STRUCTURE);
        return 0;
    }
    int RepairLevel1() override
    {
        m_input->SeekTo(0);
        return WriteToFile(m_inputLength);
    }
    int RepairLevel2() override { return 0; }
    int RepairLevel3(const char*) override { return 0; }
};

bool LibraryCopy(const std::string& from, const std::string& to)
{
    int err = 0;
    CVideoFile in(from.c_str(), 0, &err);
    CVideoFile out(to.c_str(), 2, &err);
    CopyRepair repair(&in);
    return repair.ParseStream(nullptr, nullptr) == 0 && repair.RepairFile(&out, 1, nullptr) == 0;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string dir = argc > 1 ? argv[1] : ".";
    long long mib = argc > 2 ? atoll(argv[2]) : 512;
    if (mib < 1)
        mib = 512;
    const long long size = mib << 20;
    std::string src = dir + "/mendcore_bench.in";
    std::string dst = dir + "/mendcore_bench.out";
    std::printf("generating %lld MiB in %s\n", mib, src.c_str());
    if (!MakeFile(src, size)) {
        std::perror("cannot write the bench file");
        return 1;
    }
    PlainFieldReads(src);  // warm the page cache for both sides

    auto t = Clock::now();
    uint64_t plainSum = PlainFieldReads(src);
    double plainRead = Seconds(t);
    t = Clock::now();
    uint64_t bufferedSum = BufferedFieldReads(src);
    double bufferedRead = Seconds(t);

    // Each copy starts from no output file, so neither pays for dropping
    // the other's pages.
    unlink(dst.c_str());
    t = Clock::now();
    bool plainOk = PlainCopy(src, dst);
    double plainCopy = Seconds(t);
    unlink(dst.c_str());
    t = Clock::now();
    bool libOk = LibraryCopy(src, dst);
    double libCopy = Seconds(t);

    unlink(src.c_str());
    unlink(dst.c_str());
    if (plainSum != bufferedSum || !plainOk || !libOk) {
        std::fprintf(stderr, "a pass failed (sums %llu/%llu, copies %d/%d)\n",
                     static_cast<unsigned long long>(plainSum), static_cast<unsigned long long>(bufferedSum),
                     plainOk, libOk);
        return 1;
    }
    double mb = static_cast<double>(size) / (1 << 20);
    std::printf("%-34s %9.1f MiB/s   plain loop %9.1f MiB/s   ratio %.2f\n", "4-byte field reads (CBufferStream)",
                mb / bufferedRead, mb / plainRead, plainRead / bufferedRead);
    std::printf("%-34s %9.1f MiB/s   plain loop %9.1f MiB/s   ratio %.2f\n", "copy (WriteToFile)", mb / libCopy,
                mb / plainCopy, plainCopy / libCopy);
    return 0;
}
