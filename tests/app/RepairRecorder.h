// Records what a repair driver tells its row, in order, and waits for it to
// reach a final state.
#pragma once

#include <QDir>
#include <QStandardPaths>
#include <QStringList>

#include <memory>
#include <vector>

#include "AppTestEnv.h"
#include "QRepairObject.h"
#include "QZOProjectPath.h"

struct RepairRecorder {
    explicit RepairRecorder(QRepairObject& driver) : driver(driver)
    {
        QObject::connect(&driver, &QRepairObject::emitRepairState, [this](int s, QModelIndex) {
            states.push_back(s);
            events << QStringLiteral("state %1").arg(s);
        });
        QObject::connect(&driver, &QRepairObject::emitError, [this](int e, QModelIndex) {
            errors.push_back(e);
            events << QStringLiteral("error %1").arg(e);
        });
        QObject::connect(&driver, &QRepairObject::emitTempFile, [this](QString f, QModelIndex) {
            tempFile = f;
            stateAtTempFile = this->driver.state();
            progressAtTempFile = progress.size();
            events << QStringLiteral("temp");
        });
        QObject::connect(&driver, &QRepairObject::emitFileKey, [this](uint32_t k, QModelIndex) {
            key = k;
            events << QStringLiteral("key");
        });
        QObject::connect(&driver, &QRepairObject::emitProgress,
                         [this](double p, QModelIndex) { progress.push_back(p); });
    }

    static bool Final(int s) { return s == 1 || s == 3 || s == 6 || s == 8 || s == 9 || s == 10; }
    bool Finished() const { return !states.empty() && Final(states.back()); }
    bool WaitFinished(int timeoutMs = 120000)
    {
        return WaitFor([this] { return Finished(); }, timeoutMs);
    }
    // The answer was "Unknown Format": no repairer for this container here.
    bool UnknownFormat() const { return !errors.empty() && errors.back() == JRVP_ERR_UNKNOWN_FORMAT; }

    QRepairObject& driver;
    std::vector<int> states;
    std::vector<int> errors;
    std::vector<double> progress;
    QStringList events;
    QString tempFile;
    int stateAtTempFile = -1;
    size_t progressAtTempFile = 0;
    int64_t key = -1;
};

// The driver's temporary folder, emptied as a repair run does.
inline QString CleanTempFolder()
{
    const QString folder = QZOProjectPath::getTempSavePath(QString(), QString());
    QDir dir(folder);
    for (const QString& name : dir.entryList(QDir::Files | QDir::Hidden))
        dir.remove(name);
    return folder;
}

inline QStringList TempFolderFiles()
{
    return QDir(QZOProjectPath::getTempSavePath(QString(), QString())).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}
