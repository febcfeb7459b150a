#include "QSaveFileThread.h"

#include <QFile>
#include <QFileInfo>

#include <cmath>
#include <memory>

#include "QEncryptFileStream.h"
#include "QIAnyUtil.h"

namespace {

constexpr unsigned int kBlock = 4096;

}  // namespace

QSaveFileThread::QSaveFileThread(QObject* parent) : QThread(parent) {}

QSaveFileThread::~QSaveFileThread() = default;

void QSaveFileThread::startSave(QStringList& tempFiles, QStringList& names, QList<uint>& keys, QString folder)
{
    m_tempFiles = tempFiles;
    m_names = names;
    m_keys = keys;
    m_folder = folder;
    m_progress = 0.0;
    m_share = 0.0;
    m_reported = -1;
    m_stop = false;
    start(QThread::InheritPriority);
}

void QSaveFileThread::stopSave()
{
    m_stop = true;
}

void QSaveFileThread::run()
{
    const int n = m_tempFiles.size();
    if (n == 0 || m_names.size() != n || m_keys.size() != n || m_folder.isEmpty())
        return;
    m_share = 100.0 / n;
    int saved = 0;
    QString first;
    for (int i = 0; i < n; ++i) {
        if (m_stop)
            break;
        emit emitCurFile(m_names[i]);
        const QString dest = QIAnyUtil::validFileName(m_folder + QLatin1Char('/') + m_names[i]);
        const bool ok = SaveFromTemp(m_tempFiles[i], m_keys[i], dest);
        if (ok) {
            if (first.isEmpty())
                first = dest;
            if (m_stop)
                return;
            ++saved;
        }
        m_progress = (i + 1) * m_share;
        m_reported = static_cast<int>(m_progress);
        emit emitProgress(m_progress);
        emit emitFinishFile(m_tempFiles[i], ok);
    }
    if (!m_stop)
        emit emitSaveNum(saved, first);
}

void QSaveFileThread::AddProgress(double amount)
{
    m_progress += amount;
    const int whole = static_cast<int>(std::floor(m_progress));
    if (whole != m_reported) {
        m_reported = whole;
        emit emitProgress(m_progress);
    }
}

bool QSaveFileThread::SaveFromTemp(const QString& temp, uint key, const QString& dest)
{
    if (!QFileInfo::exists(temp) || QFileInfo::exists(dest) || QFileInfo(dest).isSymLink())
        return false;
    bool ok = false;
    QEncryptFileStream source(temp.toUtf8().constData(), 0, &ok);
    if (!ok || source.SetCryptKey(key) != 1)
        return false;
    // Mode 1 creates the file and refuses one that appeared meanwhile, so
    // whatever is at dest from here on is ours to remove on failure.
    auto target = std::make_unique<QEncryptFileStream>(dest.toUtf8().constData(), 1, &ok);
    if (!ok)
        return false;

    long long remaining = source.GetLength();
    bool copied = remaining >= 0;
    const double step = remaining > 0 ? m_share / static_cast<double>(remaining) : 0.0;
    char buffer[kBlock];
    while (copied && remaining > 0) {
        if (m_stop) {
            copied = false;
            break;
        }
        const unsigned int n = remaining < kBlock ? static_cast<unsigned int>(remaining) : kBlock;
        if (source.Read(buffer, n) != n || target->Write(buffer, n) != n) {
            copied = false;
            break;
        }
        remaining -= n;
        AddProgress(n * step);
    }
    target.reset();
    if (!copied)
        QFile::remove(dest);
    return copied;
}
