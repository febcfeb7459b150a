#include "QAddFileThread.h"

#include <QDateTime>
#include <QFileInfo>

#include "MediaCore.h"
#include "QFileInfoChunk.h"
#include "QVeAnyUtiliy.h"

QAddFileThread::QAddFileThread(QObject* parent) : QThread(parent) {}

QAddFileThread::~QAddFileThread()
{
    // A thread object is never deleted while it runs; should an owner get
    // that wrong, waiting here beats a crash.
    wait();
}

void QAddFileThread::setStart(QStringList& paths)
{
    if (paths.isEmpty())
        return;
    m_paths = paths;
    start(QThread::InheritPriority);
}

void QAddFileThread::run()
{
    if (m_paths.isEmpty()) {
        emit emitFileChunk(nullptr, true);
        return;
    }
    const QString resources = QVeAnyUtiliy::getResourcePath();
    for (int i = 0; i < m_paths.size(); ++i) {
        const bool last = i == m_paths.size() - 1;
        const QFileInfo info(m_paths[i]);
        if (!info.exists()) {
            if (last)
                emit emitFileChunk(nullptr, true);
            continue;
        }
        bool video = true;
        if (MediaInfo* probe = mediaCreateInfo(-1)) {
            if (mediaOpenInfo(probe, info.absoluteFilePath().toUtf8().constData()))
                video = mediaInfoHasVideo(probe) != 0;
            mediaReleaseInfo(probe);
        }
        auto* row = new QFileInfoChunk(false);
        row->setDate(info.lastModified().toString(Qt::ISODate).toStdString());
        row->setLocation(info.absoluteFilePath().toStdString());
        row->SetSize(info.size());
        row->SetStatus(FileAdded);
        row->SetTitle(info.fileName().toStdString());
        if (video) {
            row->setImage((resources + QStringLiteral("/image/common/videofile.png")).toStdString());
            row->SetFormat(QFileInfoChunk::Video);
        } else {
            row->setImage((resources + QStringLiteral("/image/common/audiofile.png")).toStdString());
            row->SetFormat(QFileInfoChunk::Audio);
        }
        emit emitFileChunk(row, last);
    }
}
