// The repair object behind IVideoRepair: owns one file's input stream, the
// repairer that its last parse settled on and the output of a repair, and
// runs the parse and the repair on one worker thread at a time.
#ifndef MENDCORE_VIDEOREPAIR_IMPL_H
#define MENDCORE_VIDEOREPAIR_IMPL_H

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <memory>
#include <string>

#include "core/AutoLock.h"
#include "core/BaseStream.h"
#include "core/IBaseRepair.h"
#include "mendcore/VideoRepair.h"

class CVideoRepair;

struct OpenFileThreadParam {
    CVideoRepair* owner;
    VPFileErrorCallback onError;
    VPProcessResultCallback onResult;
    void* user;
};

struct RepairFileThreadParam {
    CVideoRepair* owner;
    IBaseStream* output;
    int level;
    bool hasRefPath;
    std::string refPath;
    VPProcessResultCallback onResult;
    void* user;
    // The file a repair to a path writes; removed when the repair fails.
    std::string outPath;
};

class CVideoRepair : public IVideoRepair {
public:
    CVideoRepair();
    ~CVideoRepair() override;
    CVideoRepair(const CVideoRepair&) = delete;
    CVideoRepair& operator=(const CVideoRepair&) = delete;

    bool SetFile(const char* path) override;
    int OpenFile(VPFileErrorCallback onError, VPProcessResultCallback onResult, void* user) override;
    void CloseFile() override;
    int GetProcess() override;
    int GetStatus() override;
    int GetFormat() override;
    VPFileError* GetFileError(unsigned int index) override;
    int GetErrorsCount() override;
    int RepairFile(const char* outPath, int level, VPProcessResultCallback onResult, void* user,
                   const char* refPath) override;
    int RepairFile(IVideoStream* out, int level, VPProcessResultCallback onResult, void* user,
                   const char* refPath) override;
    void AbortTask() override;

    JRVPVideoFormat GetGuessedFormat() const { return m_guessedFormat; }
    // Uses an already open stream as the input, the format guessed from
    // name. For callers that hold the bytes in another form than a path.
    bool SetInput(std::unique_ptr<IBaseStream> input, const char* name);

protected:
    // The repairer of one container; null when there is none.
    virtual std::unique_ptr<IBaseRepair> CreateRepairer(JRVPVideoFormat format, IBaseStream* input);
    // Starts a joinable thread; 0 or an errno value.
    virtual int StartThread(pthread_t* thread, void* (*fn)(void*), void* arg);

private:
    static void* OpenFileThread(void* block);
    static void* RepairFileThread(void* block);

    int ParseFile(VPFileErrorCallback onError, void* user);
    int CreateBaseRepair(JRVPVideoFormat format, VPFileErrorCallback onError, void* user);
    int RepairToFile(IBaseStream* output, int level, const char* refPath);
    // The checks every start shares: no input, busy, nothing parsed.
    int CheckCanStart(bool needParsed);
    int Launch(void* (*fn)(void*), void* block);
    int LaunchRepair(int level, VPProcessResultCallback onResult, void* user, const char* refPath,
                     const char* outPath = nullptr);
    void DropRepairer();
    // What the repairers read: the input, or its bytes held in memory.
    IBaseStream* Input() { return m_held ? m_held.get() : m_input.get(); }
    void JoinWorker();
    void Close();
    // Ends a worker: the result, adjusted for an accepted abort, goes to
    // the caller.
    // A repair to a path that failed leaves no partial file behind, which
    // could pass for a repaired copy.
    void Report(int result, VPProcessResultCallback onResult, void* user, const std::string& partialOutput = "");

    JRVPVideoFormat m_guessedFormat = JRVP_FORMAT_NONE;
    std::unique_ptr<IBaseStream> m_input;
    // A small input's bytes, read once as its parse starts, for every
    // container tried and the repair; the repairer reads them, so they go
    // only after it.
    std::unique_ptr<IBaseStream> m_held;
    std::unique_ptr<IBaseStream> m_output;
    // Replaced by the worker during the format search while the caller's
    // thread polls it: every access holds m_lock.
    std::unique_ptr<IBaseRepair> m_repairer;
    pthread_t m_worker{};
    bool m_hasWorker = false;
    // A worker runs and has not yet reported its result.
    std::atomic<bool> m_busy{false};
    // AbortTask arrived while the worker ran; survives the swap of
    // repairers during the format search.
    std::atomic<bool> m_abortRequested{false};
    bool m_hasInputIdentity = false;
    dev_t m_inputDev = 0;
    ino_t m_inputIno = 0;
    CRecursiveMutex m_lock;
};

#endif
