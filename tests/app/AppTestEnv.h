// What the application tests share: the sandbox folder that stands in for
// the user's home and temporary folders, and a wait for queued signals.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QString>

#include <functional>
#include <ostream>
#include <string>

// Readable QString (and QStringList) values in failure messages.
inline void PrintTo(const QString& s, std::ostream* os)
{
    *os << '"' << s.toStdString() << '"';
}

constexpr const char* kTestProjectName = "vidmend test";

// The scratch folder that holds home/ and tmp/ for this test process.
const std::string& AppSandbox();

// How long a wait for something that will happen may take before the test
// calls it a hang: far beyond what a loaded machine needs, so only a real
// hang runs into it. A test never judges speed by a wait.
constexpr int kHangGuardMs = 60000;

// Runs the event loop until done() or the time-out; returns done().
inline bool WaitFor(const std::function<bool()>& done, int timeoutMs = kHangGuardMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return done();
}

// A file's bytes; empty when it cannot be read.
inline QByteArray FileBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
