// Copies the repaired temporary files, deciphered, into the output folder on
// a worker thread, each under a name of its own that is not yet taken.
#ifndef VIDMEND_QSAVEFILETHREAD_H
#define VIDMEND_QSAVEFILETHREAD_H

#include <QList>
#include <QString>
#include <QStringList>
#include <QThread>

#include <atomic>

class QSaveFileThread : public QThread {
    Q_OBJECT
public:
    explicit QSaveFileThread(QObject* parent = nullptr);
    ~QSaveFileThread() override;

    // The three lists run in parallel: entry i of each belongs to one file.
    void startSave(QStringList& tempFiles, QStringList& names, QList<uint>& keys, QString folder);
    // The run ends before its next block; the file being copied is removed.
    void stopSave();

    // Copies temp, deciphered with key, to dest, which must not exist yet.
    // A copy that fails or is stopped leaves no file at dest.
    bool SaveFromTemp(const QString& temp, uint key, const QString& dest);

signals:
    void emitCurFile(QString strFile);
    void emitProgress(double value);
    void emitFinishFile(QString strFile, bool success);
    void emitSaveNum(int saveNum, QString strPath);

protected:
    void run() override;

private:
    void AddProgress(double amount);

    QStringList m_tempFiles;
    QStringList m_names;
    QList<uint> m_keys;
    QString m_folder;
    double m_progress = 0.0;
    double m_share = 0.0;
    // The whole percentage last reported within a file.
    int m_reported = -1;
    std::atomic<bool> m_stop{false};
};

#endif
