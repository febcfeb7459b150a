// Drives the shared library through its public header only, as the
// application does.
#include <condition_variable>
#include <mutex>

#include <gtest/gtest.h>

#include "mendcore/VideoRepair.h"
#include "support/Damage.h"
#include "support/Fixtures.h"

namespace {

struct Result {
    std::mutex mutex;
    std::condition_variable cv;
    int value = 1;
    static void On(JRVPProcessResult r, void* user)
    {
        auto* self = static_cast<Result*>(user);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->value = r;
        self->cv.notify_all();
    }
};

TEST(SharedLibrary, CreatesParsesAndDestroysThroughTheExportedEntryPoints)
{
    mendtest::ScratchDir dir;
    std::string path = dir.Path("noise.avi");
    ASSERT_TRUE(mendtest::WriteFileBytes(path, mendtest::PseudoRandomBytes(30000, 9)));
    IVideoRepair* repair = CreateRepair();
    ASSERT_NE(repair, nullptr);
    EXPECT_EQ(repair->GetStatus(), JRVP_STATUS_IDLE);
    EXPECT_EQ(repair->GetFileError(0), nullptr);
    ASSERT_TRUE(repair->SetFile(path.c_str()));
    Result result;
    ASSERT_EQ(repair->OpenFile(nullptr, &Result::On, &result), 0);
    {
        std::unique_lock<std::mutex> lock(result.mutex);
        ASSERT_TRUE(result.cv.wait_for(lock, std::chrono::seconds(60), [&] { return result.value != 1; }));
    }
    EXPECT_EQ(result.value, JRVP_ERR_UNKNOWN_FORMAT);
    repair->CloseFile();
    DestroyRepair(repair);
}

}  // namespace
