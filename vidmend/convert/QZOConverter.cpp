#include "QZOConverter.h"

#include <QMutexLocker>

#include <algorithm>

#include "MediaConvert.h"
#include "QBaseConvertController.h"

namespace {

constexpr unsigned long kPollMs = 100;
constexpr unsigned long kPausedPollMs = 500;

uint64_t NonNegative(qint64 v)
{
    return v > 0 ? uint64_t(v) : 0;
}

}  // namespace

QZOConverter::QZOConverter(QObject* parent) : QThread(parent)
{
    connect(this, &QZOConverter::emitConvertState, this, &QZOConverter::changeState);
}

QZOConverter::~QZOConverter()
{
    m_stop = true;
    {
        QMutexLocker hold(&m_handleLock);
        if (m_handle)
            mediaCancelConverter(m_handle);
    }
    wait();
    releaseHandle();
    if (m_job) {
        m_job->release();
        m_job = nullptr;
    }
}

int QZOConverter::progressOf(uint64_t done, uint64_t total)
{
    if (total == 0)
        return 0;
    const float progress = float(done) * float(kFullProgress) / float(total);
    return int(std::min(progress, float(kFullProgress)));
}

void QZOConverter::reportProgress(uint64_t done, uint64_t total, int& last)
{
    const int progress = progressOf(done, total);
    if (progress > last) {
        last = progress;
        emit emitConvertProgress(progress);
    }
}

void QZOConverter::releaseHandle()
{
    MediaConverter* handle;
    {
        QMutexLocker hold(&m_handleLock);
        handle = m_handle;
        m_handle = nullptr;
    }
    // Whoever takes the handle out of the field is the one that frees it.
    if (handle) {
        mediaFinishConverter(handle);
        mediaReleaseConverter(handle);
    }
}

void QZOConverter::holdJob(QBaseConvertController* job)
{
    // The new reference first: the job may be the one already held.
    job->addRef();
    if (m_job)
        m_job->release();
    m_job = job;
}

bool QZOConverter::startConvert(QBaseConvertController* controller)
{
    if (!controller)
        return false;
    stopConvert();
    holdJob(controller);
    m_stop = false;
    const QBaseConverterInfo* info = controller->converterInfo();
    MediaConverter* handle = info && info->keep ? mediaCreateStreamCopier(-1) : mediaCreateConverter(-1);
    if (!handle)
        return false;
    {
        QMutexLocker hold(&m_handleLock);
        m_handle = handle;
    }
    emit emitConvertState(StateStarted);
    start(QThread::InheritPriority);
    return true;
}

bool QZOConverter::stopConvert()
{
    const bool running = isRunning();
    if (running)
        m_stop = true;
    {
        QMutexLocker hold(&m_handleLock);
        if (m_handle)
            mediaCancelConverter(m_handle);
    }
    if (running)
        wait();
    // A stopped conversion keeps its handle until now; it is freed either way.
    releaseHandle();
    return true;
}

bool QZOConverter::pauseConvert()
{
    {
        QMutexLocker hold(&m_handleLock);
        if (!m_handle || !mediaPauseConverter(m_handle) || !mediaWaitConverterPaused(m_handle))
            return false;
    }
    emit emitConvertState(StatePaused);
    return true;
}

bool QZOConverter::continueConvert()
{
    {
        QMutexLocker hold(&m_handleLock);
        if (!m_handle || !mediaResumeConverter(m_handle) || !mediaWaitConverterResumed(m_handle))
            return false;
    }
    emit emitConvertState(StateRunning);
    return true;
}

int QZOConverter::convertState()
{
    return m_state;
}

void QZOConverter::changeState(int state)
{
    m_state = state;
}

void QZOConverter::run()
{
    enum class Outcome { Failed, Ended, Stopped } outcome = Outcome::Failed;
    emit emitConvertProgress(1);
    int last = 1;
    MediaConvertContext* context = mediaCreateConvertContext(-1);
    QBaseConverterInfo* info = m_job ? m_job->converterInfo() : nullptr;
    MediaConverter* handle;
    {
        QMutexLocker hold(&m_handleLock);
        handle = m_handle;
    }
    // The handle stays in the field while this thread runs: the owner
    // frees it only after waiting for the thread.
    if (info && handle && context) {
        m_job->setOutputParamConfig(context);
        m_job->setWatarmarkerConfig(context);
        m_job->setChapter(context);
        m_job->setVideoEffect(handle);
        m_job->setAudioEffect(handle);
        emit emitConvertState(StateOpening);
        const QByteArray input = info->inputPath.toUtf8();
        const QByteArray output = info->outputPath.toUtf8();
        const int opened =
            info->innerSubtitle
                ? mediaOpenConverterWithSubtitles(handle, input.constData(), output.constData(), context)
                : mediaOpenConverter(handle, input.constData(), output.constData(), context);
        if (opened) {
            emit emitConvertState(StateOpened);
            mediaSetConverterTrim(handle, NonNegative(info->trimTime.start), NonNegative(info->trimTime.length));
            if (mediaStartConverter(handle)) {
                emit emitConvertState(StateRunning);
                for (;;) {
                    if (mediaConverterIsEnded(handle)) {
                        // A run that ended in an error is a failure, not an end.
                        outcome = mediaConverterResult(handle) < 0 ? Outcome::Failed : Outcome::Ended;
                        break;
                    }
                    if (mediaConverterIsStopped(handle) && m_stop) {
                        outcome = Outcome::Stopped;
                        break;
                    }
                    if (mediaConverterIsPaused(handle)) {
                        msleep(kPausedPollMs);
                        continue;
                    }
                    reportProgress(mediaConverterDone(handle), mediaConverterTotal(handle), last);
                    msleep(kPollMs);
                }
            }
        }
    }
    if (outcome != Outcome::Failed)
        m_job->setAudioTag();
    mediaReleaseConvertContext(context);
    if (outcome != Outcome::Stopped)
        releaseHandle();
    emit emitConvertProgress(kFullProgress);
    switch (outcome) {
    case Outcome::Stopped: emit emitConvertState(StateStopped); break;
    case Outcome::Ended: emit emitConvertState(StateEnded); break;
    case Outcome::Failed: emit emitConvertState(StateFailed); break;
    }
}

// ---------------------------------------------------------------------------

QZOMergeConverter::QZOMergeConverter(QObject* parent) : QZOConverter(parent) {}

QZOMergeConverter::~QZOMergeConverter()
{
    // The thread runs this class's run(): it must end before this part of
    // the object goes, not in the base destructor.
    stopConvert();
}

void QZOMergeConverter::releaseMerger()
{
    if (!m_merger)
        return;
    mediaFinishMerger(m_merger);
    mediaReleaseMerger(m_merger);
    m_merger = nullptr;
}

bool QZOMergeConverter::startConvert(QBaseConvertController* controller)
{
    if (!controller || !controller->converterInfo())
        return false;
    stopConvert();
    m_merger = mediaCreateMerger(-1);
    if (!m_merger)
        return false;
    MediaConvertContext* context = mediaCreateConvertContext(-1);
    controller->setOutputParamConfig(context);
    const QBaseConverterInfo* info = controller->converterInfo();
    const int answer = mediaOpenMergerOutput(m_merger, info->outputPath.toUtf8().constData(),
                                             info->outputFormat.toUtf8().constData(), context);
    mediaReleaseConvertContext(context);
    if (answer != 1) {
        releaseMerger();
        return false;
    }
    mediaStartMerger(m_merger);
    return true;
}

bool QZOMergeConverter::addMergerTask(QBaseConvertController* controller)
{
    if (!m_merger || !controller || !controller->converterInfo())
        return false;
    holdJob(controller);
    MediaConvertContext* context = mediaCreateConvertContext(-1);
    controller->setOutputParamConfig(context);
    const QBaseConverterInfo* info = controller->converterInfo();
    const QByteArray input = info->inputPath.toUtf8();
    const uint64_t start = NonNegative(info->trimTime.start);
    const uint64_t length = NonNegative(info->trimTime.length);
    QMutexLocker loop(&m_loopLock);
    const int answer =
        info->innerSubtitle ? mediaAddMergerInputWithSubtitles(m_merger, input.constData(), start, length, context)
                            : mediaAddMergerInput(m_merger, input.constData(), start, length, context);
    if (answer == 1) {
        m_stop = false;
        if (!m_looping) {
            // The loop has decided to end (or never ran): let it finish, then run it again.
            wait();
            m_looping = true;
            QThread::start(QThread::InheritPriority);
        }
    }
    mediaReleaseConvertContext(context);
    return answer == 1;
}

bool QZOMergeConverter::stopConvert()
{
    const bool running = isRunning();
    if (running)
        m_stop = true;
    if (m_merger)
        mediaCancelMerger(m_merger);
    if (running)
        wait();
    {
        QMutexLocker loop(&m_loopLock);
        m_looping = false;
    }
    // Completes the output with what was merged.
    releaseMerger();
    return true;
}

bool QZOMergeConverter::pauseConvert()
{
    if (!m_merger || !mediaPauseMerger(m_merger) || !mediaWaitMergerPaused(m_merger))
        return false;
    emit emitConvertState(StatePaused);
    return true;
}

bool QZOMergeConverter::continueConvert()
{
    if (!m_merger || !mediaResumeMerger(m_merger) || !mediaWaitMergerResumed(m_merger))
        return false;
    emit emitConvertState(StateRunning);
    return true;
}

void QZOMergeConverter::run()
{
    emit emitConvertState(StateRunning);
    int last = 0;
    for (;;) {
        {
            QMutexLocker loop(&m_loopLock);
            if (mediaMergerIsFinished(m_merger)) {
                m_looping = false;
                break;
            }
        }
        if (mediaMergerIsStopped(m_merger) && m_stop) {
            {
                QMutexLocker loop(&m_loopLock);
                m_looping = false;
            }
            emit emitConvertProgress(kFullProgress);
            emit emitConvertState(StateStopped);
            return;
        }
        if (!mediaMergerIsPaused(m_merger)) {
            reportProgress(mediaMergerDone(m_merger), mediaMergerTotal(m_merger), last);
            msleep(kPollMs);
        } else {
            msleep(kPausedPollMs);
        }
    }
    emit emitConvertProgress(kFullProgress);
    emit emitConvertState(mediaMergerResult(m_merger) < 0 ? StateFailed : StateEnded);
}
