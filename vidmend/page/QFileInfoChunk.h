// One row of the file list and what shows it: the row (size, repair status,
// temporary file, its key, video or audio), the model that turns rows into
// cell texts, the sort model that orders them and colours failed rows, and
// the delegate that draws the name cell with its icon.
#ifndef VIDMEND_QFILEINFOCHUNK_H
#define VIDMEND_QFILEINFOCHUNK_H

#include <QString>

#include "IBaseChunk.h"
#include "QBaseDetailsModel.h"
#include "QZOBaseSortModel.h"
#include "QZOStyleDelegate.h"

enum FileStatus : int32_t {
    FileFailed = 0,
    FileAborted = 1,
    FileAdded = 2,
    FileWaiting = 3,
    FileInProgress = 4,
    FileCompleted = 5,
    FileUndamaged = 6,
};

class QFileInfoChunk : public IBaseChunk {
public:
    enum FileFormat : int32_t { Video = 0, Audio = 1 };

    explicit QFileInfoChunk(bool withLock = false);

    void SetSize(qint64 size) { m_size = size; }
    qint64 GetSize() const { return m_size; }
    void SetStatus(FileStatus status) { m_status = status; }
    FileStatus GetStatus() const { return m_status; }
    void SetTempFilePath(const QString& path) { m_tempPath = path; }
    QString GetTempFilePath() const { return m_tempPath; }
    void SetEncryptKey(quint32 key) { m_key = key; }
    quint32 GetEncryptKey() const { return m_key; }
    void SetFormat(FileFormat format) { m_format = format; }
    FileFormat GetFormat() const { return m_format; }

    // The status column's text; empty for statuses that show none.
    static QString StatusText(int status);

private:
    qint64 m_size = 0;
    FileStatus m_status = FileWaiting;
    QString m_tempPath;
    quint32 m_key = 0;
    FileFormat m_format = Video;
};

class QFileInfoModel : public QBaseDetailsModel {
    Q_OBJECT
public:
    static constexpr int kSortRole = Qt::UserRole + 100;  // 356
    explicit QFileInfoModel(QObject* parent = nullptr);
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
};

class QFileInfoSortModel : public QZOBaseSortModel {
    Q_OBJECT
public:
    explicit QFileInfoSortModel(QObject* parent = nullptr);
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

protected:
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;
};

class QFileDelegate : public QZOControlStyleDelegate {
    Q_OBJECT
public:
    explicit QFileDelegate(QObject* parent = nullptr);
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

#endif
