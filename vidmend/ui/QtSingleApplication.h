// One instance per user. The first instance holds a lock file and listens on
// a local socket in the user's runtime folder; a later one finds the lock
// taken, hands its message to the first over the socket and waits for the
// first to acknowledge it. A lock left by a process that died is taken over.
#ifndef VIDMEND_QTSINGLEAPPLICATION_H
#define VIDMEND_QTSINGLEAPPLICATION_H

#include <QApplication>
#include <QPointer>
#include <QString>

#include <memory>

class QLocalServer;
class QLockFile;

class QtSingleApplication : public QApplication {
    Q_OBJECT
public:
    QtSingleApplication(const QString& appId, int& argc, char** argv);
    ~QtSingleApplication() override;

    // True when another instance of this user holds the lock. The first call
    // decides; an instance that takes the lock starts listening.
    bool isRunning();
    // Delivers message to the running instance; true once it acknowledged.
    bool sendMessage(const QString& message, int timeoutMs = 5000);
    void setActivationWindow(QWidget* window, bool activateOnMessage = true);
    QWidget* activationWindow() const { return m_window; }
    // The per-user socket and lock names this application uses.
    QString serverName() const { return m_serverName; }
    QString lockPath() const { return m_lockPath; }

public slots:
    void activateWindow();

signals:
    void messageReceived(const QString& message);

private:
    void acceptConnection();

    QString m_serverName;
    QString m_lockPath;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer* m_server = nullptr;
    bool m_decided = false;
    bool m_running = false;
    QPointer<QWidget> m_window;
    bool m_activateOnMessage = false;
};

#endif
