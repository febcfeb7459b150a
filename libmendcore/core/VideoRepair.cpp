#include "core/VideoRepair.h"

#include <sys/stat.h>
#include <unistd.h>

#include <new>

#include "core/FormatRegistry.h"
#include "core/Guarded.h"
#include "core/HeldInput.h"
#include "core/ResultCodes.h"

namespace {

// How much of the file's head is read before any container is tried: a file
// whose first block cannot be read ends the search at once.
constexpr unsigned int kSniffSize = 4096;

}  // namespace

CVideoRepair::CVideoRepair() = default;

CVideoRepair::~CVideoRepair()
{
    // Destroying a busy object cancels its work rather than waiting for it.
    CloseFile();
}

bool CVideoRepair::SetFile(const char* path)
{
    if (!path || m_busy)
        return false;
    int err = 0;
    std::unique_ptr<CVideoFile> file(new (std::nothrow) CVideoFile(path, 0, &err));
    if (!file || err != 0)
        return false;
    dev_t dev = 0;
    ino_t ino = 0;
    bool identity = file->GetIdentity(&dev, &ino);
    // A repairer of an earlier parse reads the input that is replaced here.
    JoinWorker();
    DropRepairer();
    m_held.reset();
    m_guessedFormat = GuessFormat(path);
    m_input = std::move(file);
    m_hasInputIdentity = identity;
    m_inputDev = dev;
    m_inputIno = ino;
    return true;
}

bool CVideoRepair::SetInput(std::unique_ptr<IBaseStream> input, const char* name)
{
    if (!input || m_busy)
        return false;
    JoinWorker();
    DropRepairer();
    m_held.reset();
    m_guessedFormat = GuessFormat(name);
    m_input = std::move(input);
    m_hasInputIdentity = false;
    return true;
}

int CVideoRepair::CheckCanStart(bool needParsed)
{
    if (!m_input)
        return JRVP_ERR_MISSING_DATA;
    int status = GetStatus();
    if (m_busy || status == JRVP_STATUS_PARSING || status == JRVP_STATUS_REPAIRING)
        return JRVP_ERR_UNKNOWN_FORMAT;
    if (needParsed && status == JRVP_STATUS_IDLE)
        return JRVP_ERR_NOTHING_PARSED;
    return 0;
}

int CVideoRepair::OpenFile(VPFileErrorCallback onError, VPProcessResultCallback onResult, void* user)
{
    int r = CheckCanStart(false);
    if (r != 0)
        return r;
    std::unique_ptr<OpenFileThreadParam> block(new (std::nothrow) OpenFileThreadParam{this, onError, onResult, user});
    if (!block)
        return JRVP_ERR_NO_MEMORY;
    r = Launch(&CVideoRepair::OpenFileThread, block.get());
    if (r == 0)
        block.release();  // the worker owns it now
    return r;
}

int CVideoRepair::RepairFile(const char* outPath, int level, VPProcessResultCallback onResult, void* user,
                             const char* refPath)
{
    int r = CheckCanStart(true);
    if (r != 0)
        return r;
    if (!outPath)
        return JRVP_ERR_OPEN_FAILED;
    // Never write a repaired copy over the file it is made from.
    struct stat st;
    if (m_hasInputIdentity && stat(outPath, &st) == 0 && st.st_dev == m_inputDev && st.st_ino == m_inputIno)
        return JRVP_ERR_CANNOT_OPEN;
    return GuardedCall(JRVP_ERR_NO_MEMORY, [&] {
        int err = 0;
        auto file = std::make_unique<CVideoFile>(outPath, 2, &err);
        if (err != 0)
            return static_cast<int>(JRVP_ERR_OPEN_FAILED);
        JoinWorker();
        m_output = std::move(file);
        return LaunchRepair(level, onResult, user, refPath, outPath);
    });
}

int CVideoRepair::RepairFile(IVideoStream* out, int level, VPProcessResultCallback onResult, void* user,
                             const char* refPath)
{
    int r = CheckCanStart(true);
    if (r != 0)
        return r;
    return GuardedCall(JRVP_ERR_NO_MEMORY, [&] {
        JoinWorker();
        m_output = out ? std::make_unique<CBaseStream>(out) : nullptr;
        return LaunchRepair(level, onResult, user, refPath);
    });
}

int CVideoRepair::LaunchRepair(int level, VPProcessResultCallback onResult, void* user, const char* refPath,
                               const char* outPath)
{
    auto block = std::make_unique<RepairFileThreadParam>();
    *block = RepairFileThreadParam{this,     m_output.get(), level, refPath != nullptr, refPath ? refPath : "",
                                   onResult, user,           outPath ? outPath : ""};
    int r = Launch(&CVideoRepair::RepairFileThread, block.get());
    if (r == 0)
        block.release();  // the worker owns it now
    return r;
}

int CVideoRepair::StartThread(pthread_t* thread, void* (*fn)(void*), void* arg)
{
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0)
        return -1;
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_JOINABLE);
    int rc = pthread_create(thread, &attr, fn, arg);
    pthread_attr_destroy(&attr);
    return rc;
}

int CVideoRepair::Launch(void* (*fn)(void*), void* block)
{
    JoinWorker();
    m_abortRequested = false;
    m_busy = true;
    pthread_t thread;
    if (StartThread(&thread, fn, block) != 0) {
        m_busy = false;
        Close();
        return JRVP_ERR_OPEN_FAILED;
    }
    m_worker = thread;
    m_hasWorker = true;
    return 0;
}

void CVideoRepair::Report(int result, VPProcessResultCallback onResult, void* user, const std::string& partialOutput)
{
    // Once an abort was accepted, the operation ends as aborted, also when
    // the work slipped past the last test of the flag or the search was cut
    // short. Any other failure keeps its own code.
    if (m_abortRequested && (result == JRVP_OK || result == JRVP_ERR_UNKNOWN_FORMAT))
        result = JRVP_ERR_ABORTED;
    if (result != JRVP_OK && !partialOutput.empty())
        unlink(partialOutput.c_str());
    m_busy = false;
    // The callback is the worker's last act: nothing of this object is
    // touched after it.
    if (onResult)
        onResult(result, user);
}

void* CVideoRepair::OpenFileThread(void* raw)
{
    if (!raw)
        return nullptr;
    std::unique_ptr<OpenFileThreadParam> block(static_cast<OpenFileThreadParam*>(raw));
    OpenFileThreadParam p = *block;
    block.reset();
    CVideoRepair* self = p.owner;
    const int r = GuardedCall(JRVP_ERR_NO_MEMORY, [&] { return self->ParseFile(p.onError, p.user); });
    // A parse that ended after the caller cancelled it is reported as
    // cancelled; what it found goes with it, so the object reads as not
    // parsed, as after a parse the cancel stopped.
    if (self->m_abortRequested && (r == JRVP_OK || r == JRVP_ERR_UNKNOWN_FORMAT))
        self->DropRepairer();
    self->Report(r, p.onResult, p.user);
    return nullptr;
}

void* CVideoRepair::RepairFileThread(void* raw)
{
    if (!raw)
        return nullptr;
    std::unique_ptr<RepairFileThreadParam> block(static_cast<RepairFileThreadParam*>(raw));
    CVideoRepair* self = block->owner;
    int r = GuardedCall(JRVP_ERR_NO_MEMORY, [&] {
        return self->RepairToFile(block->output, block->level, block->hasRefPath ? block->refPath.c_str() : nullptr);
    });
    RepairFileThreadParam p = std::move(*block);
    block.reset();
    self->Report(r, p.onResult, p.user, p.outPath);
    return nullptr;
}

int CVideoRepair::ParseFile(VPFileErrorCallback onError, void* user)
{
    if (!m_input)
        return JRVP_ERR_OPEN_FAILED;
    DropRepairer();
    m_held = CHeldInput::Take(m_input.get());
    if (!m_held) {
        uint8_t head[kSniffSize];
        m_input->SeekTo(0);
        m_input->Read(head, sizeof(head));
        if (m_input->Failed())
            return JRVP_ERR_CANNOT_READ;
        m_input->SeekTo(0);
    }

    int r = CreateBaseRepair(m_guessedFormat, onError, user);
    if (r != JRVP_ERR_UNKNOWN_FORMAT)
        return r;
    DropRepairer();
    for (JRVPVideoFormat format = JRVP_FORMAT_AVI; format <= JRVP_FORMAT_OGG; ++format) {
        if (format == m_guessedFormat)
            continue;
        r = CreateBaseRepair(format, onError, user);
        if (r != JRVP_ERR_UNKNOWN_FORMAT)
            return r;
        DropRepairer();
    }
    return r;
}

int CVideoRepair::CreateBaseRepair(JRVPVideoFormat format, VPFileErrorCallback onError, void* user)
{
    if (!m_input)
        return JRVP_ERR_OPEN_FAILED;
    // An abort between two tries ends the search; the swap of repairers
    // must not lose it.
    if (m_abortRequested)
        return JRVP_ERR_ABORTED;
    if (format < JRVP_FORMAT_AVI || format > JRVP_FORMAT_OGG)
        return JRVP_ERR_UNKNOWN_FORMAT;
    // The previous repairer goes first: its buffer hands the shared input's
    // position back as it closes, and the new buffer takes it from there.
    DropRepairer();
    IBaseStream* input = Input();
    input->SeekTo(0);
    std::unique_ptr<IBaseRepair> repairer = CreateRepairer(format, input);
    if (!repairer)
        return JRVP_ERR_UNKNOWN_FORMAT;
    IBaseRepair* current = repairer.get();
    current->SetAbortSource(&m_abortRequested);
    {
        CAutoLock lock(m_lock);
        m_repairer = std::move(repairer);
    }
    return current->ParseStream(onError, user);
}

int CVideoRepair::RepairToFile(IBaseStream* output, int level, const char* refPath)
{
    if (!m_input)
        return JRVP_ERR_OPEN_FAILED;
    IBaseRepair* repairer;
    {
        CAutoLock lock(m_lock);
        repairer = m_repairer.get();
    }
    // Only this worker replaces the repairer, so it stays valid here.
    if (!repairer)
        return JRVP_ERR_NOTHING_PARSED;
    return repairer->RepairFile(output, level, refPath);
}

std::unique_ptr<IBaseRepair> CVideoRepair::CreateRepairer(JRVPVideoFormat format, IBaseStream* input)
{
    return NewRepairer(format, input);
}

void CVideoRepair::DropRepairer()
{
    std::unique_ptr<IBaseRepair> previous;
    {
        CAutoLock lock(m_lock);
        previous = std::move(m_repairer);
    }
    // Released outside the lock: a repairer's teardown may touch the file.
}

void CVideoRepair::JoinWorker()
{
    if (m_hasWorker) {
        pthread_join(m_worker, nullptr);
        m_hasWorker = false;
    }
}

void CVideoRepair::CloseFile()
{
    if (m_busy)
        AbortTask();
    Close();
}

void CVideoRepair::Close()
{
    JoinWorker();
    DropRepairer();
    m_held.reset();
    m_input.reset();
    m_output.reset();
    m_guessedFormat = JRVP_FORMAT_NONE;
    m_hasInputIdentity = false;
}

void CVideoRepair::AbortTask()
{
    if (!m_busy)
        return;
    CAutoLock lock(m_lock);
    m_abortRequested = true;
    if (m_repairer)
        m_repairer->AbortTask();
}

int CVideoRepair::GetProcess()
{
    CAutoLock lock(m_lock);
    return m_repairer ? m_repairer->GetProcess() : 0;
}

int CVideoRepair::GetStatus()
{
    CAutoLock lock(m_lock);
    return m_repairer ? m_repairer->GetStatus() : JRVP_STATUS_IDLE;
}

int CVideoRepair::GetFormat()
{
    CAutoLock lock(m_lock);
    return m_repairer ? m_repairer->GetFormat() : JRVP_FORMAT_NONE;
}

VPFileError* CVideoRepair::GetFileError(unsigned int index)
{
    CAutoLock lock(m_lock);
    return m_repairer ? m_repairer->GetFileError(index) : nullptr;
}

int CVideoRepair::GetErrorsCount()
{
    CAutoLock lock(m_lock);
    return m_repairer ? m_repairer->GetErrorsCount() : 0;
}

extern "C" MENDCORE_EXPORT IVideoRepair* CreateRepair()
{
    return new (std::nothrow) CVideoRepair();
}

extern "C" MENDCORE_EXPORT void DestroyRepair(IVideoRepair* repair)
{
    delete repair;
}
