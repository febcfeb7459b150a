// A small thread that emits a tick at a fixed interval: the player asks
// the media layer to redraw the still picture on it while paused.
#ifndef VIDMEND_QTHEADTIMER_H
#define VIDMEND_QTHEADTIMER_H

#include <QThread>

#include <atomic>

class QTheadTimer : public QThread {
    Q_OBJECT
public:
    explicit QTheadTimer(QObject* parent = nullptr) : QThread(parent) {}
    // Stops the thread and waits for it.
    ~QTheadTimer() override;

    // Starts ticking every ms milliseconds (1 for ms below 1); a running
    // thread keeps running at the new interval.
    virtual bool startTimer(int ms);
    // Stops the ticks and waits until the thread has ended.
    virtual bool stopTimer();
    virtual bool isActive() const { return !m_stopped.load(); }

signals:
    void emitTimerUpdata();

protected:
    void run() override;

private:
    // Written by the GUI thread, read by the tick thread before each sleep.
    std::atomic<int> m_interval{20};
    std::atomic<bool> m_stopped{true};
};

#endif
