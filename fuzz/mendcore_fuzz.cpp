// Feeds arbitrary bytes through SetFile, OpenFile and RepairFile. The last
// byte picks the file's extension, so every container's repairer gets to
// parse first as well as through the fallback.
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>

#include "core/TestDoubles.h"
#include "mendcore/VideoRepair.h"

namespace {

struct Waiter {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    int result = 0;

    static void OnResult(JRVPProcessResult r, void* user)
    {
        auto* self = static_cast<Waiter*>(user);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->done = true;
        self->result = r;
        self->cv.notify_all();
    }
    int Wait()
    {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait(lock, [&] { return done; });
        done = false;
        return result;
    }
};

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

const char* const kExtensions[] = {".avi", ".wmv", ".flv", ".mkv", ".mp4", ".rm", ".mpg",
                                   ".ts",  ".mp3", ".wav", ".ogg", ".bin", ""};

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

    IVideoRepair* repair = CreateRepair();
    if (!repair)
        abort();
    Waiter waiter;
    if (repair->SetFile(path.c_str()) && repair->OpenFile(nullptr, &Waiter::OnResult, &waiter) == 0) {
        int parsed = waiter.Wait();
        if (parsed == 0 && repair->GetErrorsCount() > 0) {
            mendtest::MemoryVideoStream out;
            if (repair->RepairFile(&out, 1, &Waiter::OnResult, &waiter, nullptr) == 0)
                waiter.Wait();
        }
    }
    repair->CloseFile();
    DestroyRepair(repair);
    unlink(path.c_str());
    return 0;
}
