// Turns paths the user chose or dropped into file-list rows on a worker
// thread, probing each file for video, and hands the rows over one at a
// time; the last signal carries the end mark.
#ifndef VIDMEND_QADDFILETHREAD_H
#define VIDMEND_QADDFILETHREAD_H

#include <QStringList>
#include <QThread>

class QFileInfoChunk;

class QAddFileThread : public QThread {
    Q_OBJECT
public:
    explicit QAddFileThread(QObject* parent = nullptr);
    ~QAddFileThread() override;

    // Nothing for an empty list; otherwise takes the list and starts.
    void setStart(QStringList& paths);

signals:
    // The row belongs to the receiver; null with isLast when the last path
    // did not exist (or there were none).
    void emitFileChunk(QFileInfoChunk* chunk, bool isLast);

protected:
    void run() override;

private:
    QStringList m_paths;
};

#endif
