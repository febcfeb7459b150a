#include "QRepairObject.h"

#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QTimerEvent>

#include "QEncryptFileStream.h"
#include "QIAnyUtil.h"
#include "QZOProjectPath.h"

namespace {

constexpr int kTimerMs = 10;

}  // namespace

void repairFileErrorCallback(JRVPFileError, void*) {}

void repairProcessResultCallback(JRVPProcessResult result, void* user)
{
    static_cast<QRepairObject*>(user)->sendProcessResult(result);
}

QRepairObject::QRepairObject(const QModelIndex& index, const char* path, QObject* parent)
    : QRepairObject(index, path, CreateRepair(), DestroyRepair, parent)
{
}

QRepairObject::QRepairObject(const QModelIndex& index, const char* path, IVideoRepair* repair,
                             void (*destroy)(IVideoRepair*), QObject* parent)
    : QObject(parent), m_index(index), m_path(path), m_repair(repair), m_destroy(destroy)
{
    connect(this, SIGNAL(emitContinueProcess()), this, SLOT(continueProcess()), Qt::AutoConnection);
    connect(this, SIGNAL(emitProcessResult(int)), this, SLOT(processResult(int)), Qt::QueuedConnection);
}

QRepairObject::~QRepairObject()
{
    if (m_repair) {
        m_repair->CloseFile();
        if (m_destroy)
            m_destroy(m_repair);
        m_repair = nullptr;
    }
    DropUnfinishedCopy();
    m_timer.stop();
}

void QRepairObject::sendProcessResult(int result)
{
    emit emitProcessResult(result);
}

bool QRepairObject::startRepair()
{
    if (!m_repair || m_running)
        return false;
    m_running = true;
    m_stopped = false;
    m_progress = 0.0;
    m_repair->CloseFile();
    // Whatever a stopped run still had queued belongs to that run; CloseFile
    // has joined its worker, so all of it is in the queue by now.
    QCoreApplication::removePostedEvents(this, QEvent::MetaCall);

    // The library takes a zero-terminated path in a buffer of 4096 bytes;
    // a longer one must not be cut into a different path.
    if (m_path.size() >= kMaxPathBytes || !m_repair->SetFile(m_path.constData())) {
        m_state = StateCannotOpen;
        emit emitError(JRVP_ERR_CANNOT_OPEN, m_index);
        emit emitRepairState(m_state, m_index);
        return false;
    }

    m_timer.start(kTimerMs, this);
    if (m_repair->OpenFile(repairFileErrorCallback, repairProcessResultCallback, this) == 0) {
        m_state = StateAnalysing;
        emit emitRepairState(m_state, m_index);
        return true;
    }
    m_state = StateRefused;
    emit emitError(JRVP_ERR_NOT_READY, m_index);
    emit emitRepairState(m_state, m_index);
    m_timer.stop();
    return false;
}

void QRepairObject::stopRepair()
{
    if (!m_repair)
        return;
    m_running = false;
    m_stopped = true;
    m_timer.stop();
    m_repair->AbortTask();
    m_repair->CloseFile();
    // The worker has ended: a copy it was writing is an aborted run's, and
    // goes now, whether or not the run is continued.
    DropUnfinishedCopy();
}

void QRepairObject::timerEvent(QTimerEvent* event)
{
    if (event->timerId() != m_timer.timerId()) {
        QObject::timerEvent(event);
        return;
    }
    if (!m_repair)
        return;
    double p = m_repair->GetProcess() / 100.0;
    if (m_state == StateAnalysing)
        p *= 0.8;
    else if (m_state == StateRepairing)
        p = 80.0 + p * 0.2;
    if (p > m_progress)
        m_progress = p;
    emit emitProgress(m_progress, m_index);
}

void QRepairObject::Finish(int state, int error)
{
    m_timer.stop();
    if (m_repair)
        m_repair->CloseFile();
    if (state == StateRepaired)
        m_copy.clear();
    DropUnfinishedCopy();
    m_state = state;
    if (error != 0)
        emit emitError(error, m_index);
    emit emitRepairState(m_state, m_index);
}

void QRepairObject::processResult(int result)
{
    // Only an analysis or a repair in flight has a result to take.
    if (!m_repair || (m_state != StateAnalysing && m_state != StateRepairing))
        return;
    // A success that raced past stopRepair is still a stopped run: calling
    // it "Undamaged" would offer the damaged original for saving as sound.
    if (m_stopped && result == 0)
        result = JRVP_ERR_ABORTED;

    if (result != 0) {
        Finish(result == JRVP_ERR_ABORTED ? StateAborted : StateFailed, result);
        return;
    }
    if (m_state == StateAnalysing) {
        if (m_repair->GetErrorsCount() != 0) {
            m_state = StateDamaged;
            emit emitContinueProcess();
            return;
        }
        Finish(StateUndamaged, 0);
        emit emitTempFile(QString::fromUtf8(m_path), m_index);
        emit emitFileKey(0, m_index);
        return;
    }
    Finish(StateRepaired, 0);
}

void QRepairObject::continueProcess()
{
    if (!m_repair || m_state != StateDamaged)
        return;

    QString error;
    const QString folder = QZOProjectPath::getTempSavePath(QString(), QString(), &error);
    QString name;
    bool ok = false;
    DropStream();
    if (folder.isEmpty()) {
        qWarning("no temporary folder for the repaired copy: %s", qUtf8Printable(error));
    } else {
        name = QIAnyUtil::validFileName(folder + QStringLiteral("/repair"));
        QZOProjectPath::formatPath(name);
        m_copy = name;
        m_stream = std::make_unique<QEncryptFileStream>(name.toUtf8().constData(), 1, &ok);
    }
    if (!ok) {
        Finish(StateFailed, JRVP_ERR_CANNOT_OPEN);
        return;
    }

    m_stream->SetCryptKey(kTempFileKey);
    if (m_repair->RepairFile(m_stream.get(), 1, repairProcessResultCallback, this, nullptr) != 0) {
        m_timer.stop();
        DropUnfinishedCopy();
        m_state = StateRefused;
        emit emitError(JRVP_ERR_NOT_READY, m_index);
        emit emitRepairState(m_state, m_index);
        return;
    }
    m_state = StateRepairing;
    emit emitTempFile(name, m_index);
    emit emitFileKey(kTempFileKey, m_index);
}

void QRepairObject::DropStream()
{
    m_stream.reset();
}

void QRepairObject::DropUnfinishedCopy()
{
    DropStream();
    if (!m_copy.isEmpty())
        QFile::remove(m_copy);
    m_copy.clear();
}
