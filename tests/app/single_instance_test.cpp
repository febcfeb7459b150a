// One instance per user: the program itself, started as separate processes
// on the offscreen platform, in a runtime folder of the test's own.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QProcess>
#include <QElapsedTimer>
#include <QProcessEnvironment>
#include <QSysInfo>

#include <csignal>
#include <unistd.h>

#include "AppTestEnv.h"
#include "support/Fixtures.h"

namespace {

struct SingleInstance : ::testing::Test {
    mendtest::ScratchDir scratch{"single-instance"};
    QString runtime;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    std::vector<std::unique_ptr<QProcess>> processes;

    void SetUp() override
    {
        runtime = QString::fromStdString(scratch.Root()) + "/run";
        ASSERT_TRUE(QDir().mkpath(runtime));
        QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        env.insert("XDG_RUNTIME_DIR", runtime);
        env.insert("QT_QPA_PLATFORM", "offscreen");
    }
    void TearDown() override
    {
        for (auto& p : processes) {
            if (p->state() != QProcess::NotRunning) {
                ::kill(pid_t(p->processId()), SIGCONT);
                p->kill();
                p->waitForFinished(kHangGuardMs);
            }
        }
    }
    QString socketPath() const { return runtime + QStringLiteral("/vidmend-%1.socket").arg(uint(getuid())); }
    // True once an instance accepts connections on the per-user socket.
    bool listening() const
    {
        QLocalSocket probe;
        probe.connectToServer(socketPath());
        return probe.waitForConnected(200);
    }
    QString lockPath() const { return runtime + QStringLiteral("/vidmend-%1.lock").arg(uint(getuid())); }
    QProcess* start()
    {
        processes.push_back(std::make_unique<QProcess>());
        QProcess* p = processes.back().get();
        p->setProcessEnvironment(env);
        p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p->start(QStringLiteral(VIDMEND_BIN), QStringList());
        EXPECT_TRUE(p->waitForStarted(kHangGuardMs));
        return p;
    }
    // Starts the first instance and waits until it listens.
    QProcess* startFirst()
    {
        QProcess* first = start();
        EXPECT_TRUE(WaitFor([&] { return listening() || first->state() == QProcess::NotRunning; }));
        EXPECT_EQ(first->state(), QProcess::Running);
        return first;
    }
    // Runs a second instance to its end; its exit status, -1 when it hung.
    int runSecond()
    {
        QProcess* second = start();
        if (!second->waitForFinished(kHangGuardMs))
            return -1;
        return second->exitStatus() == QProcess::NormalExit ? second->exitCode() : -2;
    }
};

}  // namespace

TEST_F(SingleInstance, SecondInstanceHandsOverAndExitsZero)
{
    QProcess* first = startFirst();
    EXPECT_EQ(runSecond(), 0);
    EXPECT_EQ(first->state(), QProcess::Running);
}

TEST_F(SingleInstance, FirstInstanceThatNeverAnswersMakesTheSecondExitOne)
{
    QProcess* first = startFirst();
    ASSERT_EQ(::kill(pid_t(first->processId()), SIGSTOP), 0);
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(runSecond(), 1);
    // It waited for the hand-over's time-out (5 s by its own clock, which
    // starts after its start-up), not forever: a lower bound that no load
    // on the machine can break, only a second instance that gives up early.
    EXPECT_GE(clock.elapsed(), 4500);
    ::kill(pid_t(first->processId()), SIGCONT);
}

TEST_F(SingleInstance, StaleLockAndSocketOfADeadInstanceAreTakenOver)
{
    // A lock and a socket file left by a process that is gone.
    QProcess dead;
    dead.start(QStringLiteral("true"), QStringList());
    ASSERT_TRUE(dead.waitForFinished(kHangGuardMs));
    const qint64 deadPid = dead.processId() ? dead.processId() : 999999;
    {
        QFile lock(lockPath());
        ASSERT_TRUE(lock.open(QIODevice::WriteOnly));
        lock.write(QByteArray::number(deadPid > 0 ? deadPid : 999999) + "\nvidmend\n" +
                   QSysInfo::machineHostName().toUtf8() + "\n");
        QFile socket(socketPath());
        ASSERT_TRUE(socket.open(QIODevice::WriteOnly));
    }
    QProcess* first = start();
    // It takes over: a second instance then hands over to it.
    EXPECT_TRUE(WaitFor([&] { return listening(); }));
    EXPECT_EQ(first->state(), QProcess::Running);
    EXPECT_EQ(runSecond(), 0);
    EXPECT_EQ(first->state(), QProcess::Running);
}
