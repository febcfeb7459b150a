// Feeds arbitrary bytes through SetFile, OpenFile and RepairFile. The last
// byte picks the file's extension, so every container's repairer gets to
// parse first as well as through the fallback. No extension routes a file
// to the FLAC repairer, so ".flac" drives it directly, and so does an input
// that begins as a FLAC stream (the FLAC seeds end in any byte), before it
// goes the way every other file goes.
#include <malloc.h>
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <cstdio>
#include <string>

#include "core/BaseStream.h"
#include "core/TestDoubles.h"
#include "mendcore/VideoRepair.h"
#include "repairers/FLACRepair.h"

namespace {

const std::string& WorkDir()
{
    static const std::string dir = [] {
        const char* tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/mendfuzz.XXXXXX";
        char* made = mkdtemp(&pattern[0]);
        if (!made)
            abort();
        return std::string(made);
    }();
    return dir;
}

// The library's blocks of a few hundred KiB would otherwise each be
// mapped and unmapped, and the freed tops of the workers' heaps handed
// back, once per execution: every execution would then fault in afresh
// the memory the last one used. A fuzzer's process keeps it instead.
const bool kMemoryKept = [] {
    mallopt(M_MMAP_THRESHOLD, 64 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    return true;
}();

const char* const kExtensions[] = {".avi", ".wmv", ".flv", ".mkv", ".mp4", ".rm", ".mpg",
                                   ".ts",  ".mp3", ".wav", ".ogg", ".opus", ".flac", ".bin", ""};

void RepairFlacDirectly(const std::string& path)
{
    int err = 0;
    CVideoFile input(path.c_str(), 0, &err);
    if (!input.IsOpen())
        return;
    CFLACRepair repair(&input);
    if (repair.ParseStream(nullptr, nullptr) == 0 && repair.GetErrorsCount() > 0) {
        mendtest::MemoryVideoStream out;
        CBaseStream stream(&out);
        repair.RepairFile(&stream, 1, nullptr);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* ext = kExtensions[size ? data[size - 1] % (sizeof(kExtensions) / sizeof(kExtensions[0])) : 0];
    std::string path = WorkDir() + "/input" + ext;
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        abort();
    if (size && fwrite(data, 1, size, f) != size)
        abort();
    fclose(f);

    if (strcmp(ext, ".flac") == 0) {
        RepairFlacDirectly(path);
        unlink(path.c_str());
        return 0;
    }
    if (size >= 4 && memcmp(data, "fLaC", 4) == 0)
        RepairFlacDirectly(path);
    IVideoRepair* repair = CreateRepair();
    if (!repair)
        abort();
    // Each operation that started reports exactly once; a generous wait,
    // so that only a real hang reaches the fuzzer's own time-out.
    mendtest::ResultSink sink;
    constexpr std::chrono::milliseconds kWait = std::chrono::hours(1);
    if (repair->SetFile(path.c_str()) && repair->OpenFile(nullptr, &mendtest::ResultSink::OnResult, &sink) == 0) {
        int parsed = sink.Wait(1, kWait);
        if (parsed == 0 && repair->GetErrorsCount() > 0) {
            mendtest::MemoryVideoStream out;
            if (repair->RepairFile(&out, 1, &mendtest::ResultSink::OnResult, &sink, nullptr) == 0)
                sink.Wait(2, kWait);
        }
    }
    repair->CloseFile();
    DestroyRepair(repair);
    unlink(path.c_str());
    return 0;
}
