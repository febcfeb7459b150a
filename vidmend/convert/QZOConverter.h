// Converter threads: QZOConverter runs one job through a conversion handle
// of the media layer, QZOMergeConverter joins the inputs of several jobs
// into one output. Both report a state and a progress in ten-thousandths.
#ifndef VIDMEND_QZOCONVERTER_H
#define VIDMEND_QZOCONVERTER_H

#include <QMutex>
#include <QThread>

#include <atomic>

class QBaseConvertController;
struct MediaConverter;
struct MediaMerger;

class IBaseConverter {
public:
    virtual ~IBaseConverter() = default;
    virtual bool startConvert(QBaseConvertController* controller) = 0;
    virtual bool stopConvert() = 0;
    virtual bool pauseConvert() = 0;
    virtual bool continueConvert() = 0;
    virtual int convertState() = 0;
};

class QZOConverter : public QThread, public IBaseConverter {
    Q_OBJECT
public:
    enum State {
        StateStarted = 0,
        StateOpening = 1,
        StateOpened = 2,
        StateStopped = 3,
        StateEnded = 4,
        StateRunning = 5,
        StateFailed = 6,
        StatePaused = 8,
    };
    static constexpr int kFullProgress = 10000;

    explicit QZOConverter(QObject* parent = nullptr);
    ~QZOConverter() override;

    // Ten-thousandths of done over total; 0 without a total.
    static int progressOf(uint64_t done, uint64_t total);

public slots:
    bool startConvert(QBaseConvertController* controller) override;
    // Stops a running conversion and lets go of the handle.
    bool stopConvert() override;
    bool pauseConvert() override;
    bool continueConvert() override;
    int convertState() override;
    void changeState(int state);

signals:
    void emitConvertState(int state);
    void emitConvertProgress(int nProgress);

protected:
    void run() override;
    // Emits the progress when it grew past the last one emitted.
    void reportProgress(uint64_t done, uint64_t total, int& last);

    QBaseConvertController* m_job = nullptr;
    std::atomic<bool> m_stop{false};

private:
    void releaseHandle();
    void holdJob(QBaseConvertController* job);
    friend class QZOMergeConverter;

    int m_state = StateStarted;
    // Guards the handle between the owner's calls and the thread's release.
    QMutex m_handleLock;
    MediaConverter* m_handle = nullptr;
};

// The merged output is complete once the merge is stopped (or the converter
// deleted) after its last task ended.
class QZOMergeConverter : public QZOConverter {
    Q_OBJECT
public:
    explicit QZOMergeConverter(QObject* parent = nullptr);
    ~QZOMergeConverter() override;

public slots:
    // Opens the output with the job's output parameters.
    bool startConvert(QBaseConvertController* controller) override;
    bool stopConvert() override;
    bool pauseConvert() override;
    bool continueConvert() override;
    // Queues the job's input (with its trim range) and runs the thread.
    bool addMergerTask(QBaseConvertController* controller);

protected:
    void run() override;

private:
    void releaseMerger();

    // Made and released on the owner's thread while the thread is not running.
    MediaMerger* m_merger = nullptr;
    // True from a start of the thread until its loop has decided to end;
    // a task added meanwhile is seen by the loop, one added later restarts it.
    QMutex m_loopLock;
    bool m_looping = false;
};

#endif
