#include "QBaseVideoWindow.h"

#include <QPainter>

#include "QZOVideoShowWidget.h"

namespace {

// Where the display waits, out of view, until a video gives it a size.
const QRect kWaitingPlace(QPoint(2000, 430), QPoint(2080, 450));
const QRect kHiddenPlace(4000, 430, 1, 1);

}  // namespace

QBaseVideoWindow::QBaseVideoWindow(QWidget* parent) : QWidget(parent), m_display(new QZOVideoShowWidget(this))
{
    QPalette p = palette();
    p.setColor(QPalette::Window, Qt::black);
    setPalette(p);
    setAttribute(Qt::WA_MouseTracking);
    m_display->setGeometry(kWaitingPlace);
    m_display->setAttribute(Qt::WA_MouseTracking);
}

QBaseVideoWindow::~QBaseVideoWindow() = default;

WId QBaseVideoWindow::getWId()
{
    return m_display ? m_display->winId() : 0;
}

void QBaseVideoWindow::setVideoSize(int width, int height)
{
    if (width < 1 || height < 1)
        return;
    m_videoWidth = width;
    m_videoHeight = height;
    const int64_t W = this->width(), H = this->height();
    // a > b compared as w * H > W * h, exact in integers.
    int64_t w = 0, h = 0;
    if (int64_t(width) * H > W * int64_t(height)) {
        w = W;
        h = int64_t(height) * W / width;
    } else {
        w = H > 0 ? int64_t(width) * H / height : 0;
        h = H;
    }
    m_display->setGeometry(int((W - w) / 2), int((H - h) / 2), int(w), int(h));
}

void QBaseVideoWindow::showImage(unsigned char* data, unsigned int width, unsigned int height, unsigned int lineSize)
{
    m_display->showImage(data, width, height, lineSize);
}

void QBaseVideoWindow::showYUVImage(unsigned char** planes, int width, int height, int* lineSizes)
{
    m_display->showYUVImage(planes, width, height, lineSizes);
}

QRect QBaseVideoWindow::getVideoViewRect() const
{
    return m_display ? m_display->geometry() : QRect();
}

void QBaseVideoWindow::setBgColor(const QColor& color)
{
    m_bgColor = color;
    update();
}

void QBaseVideoWindow::resetOpenGl()
{
    m_display->reset();
}

void QBaseVideoWindow::resetPlayView()
{
    m_display->setGeometry(kHiddenPlace);
}

void QBaseVideoWindow::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), m_bgColor);
}
