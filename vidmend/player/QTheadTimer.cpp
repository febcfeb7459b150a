#include "QTheadTimer.h"

#include "QUiCommonInterface.h"

QTheadTimer::~QTheadTimer()
{
    stopTimer();
}

bool QTheadTimer::startTimer(int ms)
{
    m_interval = ms > 0 ? ms : 1;
    m_stopped = false;
    start(QThread::InheritPriority);
    return true;
}

bool QTheadTimer::stopTimer()
{
    m_stopped = true;
    wait();
    return true;
}

void QTheadTimer::run()
{
    while (!m_stopped.load()) {
        QUiCommonInterface::Sleep(uint64_t(m_interval.load()) * 1000);
        emit emitTimerUpdata();
    }
}
