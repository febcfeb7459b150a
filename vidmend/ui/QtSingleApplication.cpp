#include "QtSingleApplication.h"

#include <QDataStream>
#include <QDir>
#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>
#include <QWidget>

#include <unistd.h>

#include <algorithm>

namespace {

// The acknowledgement a running instance sends once it has the message.
constexpr char kAck = 'A';

QString userRuntimeFolder()
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty())
        folder = QDir::tempPath();
    return folder;
}

}  // namespace

QtSingleApplication::QtSingleApplication(const QString& appId, int& argc, char** argv) : QApplication(argc, argv)
{
    const QString id = QStringLiteral("%1-%2").arg(appId).arg(uint(getuid()));
    const QString folder = userRuntimeFolder();
    m_serverName = folder + QLatin1Char('/') + id + QStringLiteral(".socket");
    m_lockPath = folder + QLatin1Char('/') + id + QStringLiteral(".lock");
}

QtSingleApplication::~QtSingleApplication()
{
    delete m_server;
    m_server = nullptr;
}

bool QtSingleApplication::isRunning()
{
    if (m_decided)
        return m_running;
    m_decided = true;
    m_lock.reset(new QLockFile(m_lockPath));
    // A lock whose process is gone is stale at once; the time only matters
    // for a lock written on another host.
    m_lock->setStaleLockTime(0);
    if (!m_lock->tryLock(0)) {
        m_running = m_lock->error() == QLockFile::LockFailedError;
        return m_running;
    }
    // We hold the lock: a socket file left by a crashed instance is ours.
    QLocalServer::removeServer(m_serverName);
    m_server = new QLocalServer;
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server, &QLocalServer::newConnection, this, &QtSingleApplication::acceptConnection);
    m_server->listen(m_serverName);
    m_running = false;
    return false;
}

bool QtSingleApplication::sendMessage(const QString& message, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    auto left = [&] { return std::max(0, timeoutMs - int(clock.elapsed())); };
    QLocalSocket socket;
    socket.connectToServer(m_serverName);
    if (!socket.waitForConnected(left()))
        return false;
    QByteArray block;
    QDataStream out(&block, QIODevice::WriteOnly);
    out << message;
    socket.write(block);
    while (socket.bytesToWrite() > 0) {
        if (left() == 0 || socket.state() != QLocalSocket::ConnectedState)
            return false;
        socket.waitForBytesWritten(std::min(left(), 100));
    }
    // A wait can end early (an interrupted poll); only the deadline or a
    // closed connection ends the hand-over without an answer.
    while (socket.bytesAvailable() < 1) {
        if (left() == 0 || socket.state() != QLocalSocket::ConnectedState)
            return false;
        socket.waitForReadyRead(std::min(left(), 100));
    }
    char ack = 0;
    return socket.getChar(&ack) && ack == kAck;
}

void QtSingleApplication::acceptConnection()
{
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            QDataStream in(socket);
            in.startTransaction();
            QString message;
            in >> message;
            if (!in.commitTransaction())
                return;
            socket->putChar(kAck);
            socket->flush();
            emit messageReceived(message);
            if (m_activateOnMessage)
                activateWindow();
        });
    }
}

void QtSingleApplication::setActivationWindow(QWidget* window, bool activateOnMessage)
{
    m_window = window;
    m_activateOnMessage = activateOnMessage;
}

void QtSingleApplication::activateWindow()
{
    if (!m_window)
        return;
    m_window->setWindowState(m_window->windowState() & ~Qt::WindowMinimized);
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
}
