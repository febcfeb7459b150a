// Drives the repair of one file of the list through the repair library:
// analyses it, and when damage is recorded has the library rewrite it into
// a new enciphered temporary file. Lives on the GUI thread; the library's
// results reach it through a queued signal.
#ifndef VIDMEND_QREPAIROBJECT_H
#define VIDMEND_QREPAIROBJECT_H

#include <QBasicTimer>
#include <QByteArray>
#include <QModelIndex>
#include <QObject>
#include <QString>

#include <memory>

#include "mendcore/VideoRepair.h"

class QEncryptFileStream;

class QRepairObject : public QObject {
    Q_OBJECT
public:
    enum State {
        StateCreated = 0,
        StateCannotOpen = 1,
        StateAnalysing = 2,
        StateUndamaged = 3,
        StateDamaged = 4,
        StateRepairing = 5,
        StateRepaired = 6,
        StateAborted = 8,
        StateRefused = 9,
        StateFailed = 10,
    };
    // Every temporary file is enciphered with this key; 0 = plain file.
    static constexpr uint32_t kTempFileKey = 0x4e7c21b9;
    // The library takes zero-terminated paths shorter than this.
    static constexpr int kMaxPathBytes = 4096;

    QRepairObject(const QModelIndex& index, const char* path, QObject* parent = nullptr);
    // Drives repair, which it owns and hands to destroy at the end, instead
    // of one from CreateRepair.
    QRepairObject(const QModelIndex& index, const char* path, IVideoRepair* repair,
                  void (*destroy)(IVideoRepair*), QObject* parent = nullptr);
    ~QRepairObject() override;

    virtual bool startRepair();
    virtual void stopRepair();

    int state() const { return m_state; }
    void sendProcessResult(int result);

signals:
    void emitProcessResult(int result);
    void emitContinueProcess();
    void emitRepairState(int state, QModelIndex index);
    void emitProgress(double progress, QModelIndex index);
    void emitError(int result, QModelIndex index);
    void emitTempFile(QString strTemp, QModelIndex index);
    void emitFileKey(uint32_t key, QModelIndex index);

protected:
    void timerEvent(QTimerEvent* event) override;

protected slots:
    void processResult(int result);
    void continueProcess();

private:
    void Finish(int state, int error);
    void DropStream();
    // Closes the stream and removes the copy the current repair step was
    // writing: a run that did not complete leaves no part of a copy behind.
    void DropUnfinishedCopy();

    int m_state = StateCreated;
    QModelIndex m_index;
    QByteArray m_path;
    IVideoRepair* m_repair = nullptr;
    void (*m_destroy)(IVideoRepair*) = nullptr;
    std::unique_ptr<QEncryptFileStream> m_stream;
    // The copy the running repair step writes; empty once it is complete
    // (the row then owns it) or removed.
    QString m_copy;
    double m_progress = 0.0;
    QBasicTimer m_timer;
    bool m_running = false;
    // stopRepair was called for the current start: whatever result the
    // library queued before it noticed counts as aborted.
    bool m_stopped = false;
};

void repairFileErrorCallback(JRVPFileError code, void* user);
void repairProcessResultCallback(JRVPProcessResult result, void* user);

#endif
