#include "QBaseImageDraw.h"

#include <QFile>
#include <QPainter>
#include <QTimerEvent>

#include <algorithm>

void QBaseImageDraw::drawImage(QPainter& painter, const QRect& target, const QRect& source, const QImage& image)
{
    painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
    painter.drawImage(QRectF(target),
                      image, QRectF(2.0 * source.x(), 2.0 * source.y(), 2.0 * source.width(), 2.0 * source.height()));
}

void QBaseImageDraw::drawPixmap(QPainter& painter, const QRect& target, const QRect& source, const QPixmap& pixmap)
{
    painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
    painter.drawPixmap(QRectF(target), pixmap,
                       QRectF(2.0 * source.x(), 2.0 * source.y(), 2.0 * source.width(), 2.0 * source.height()));
}

void QBaseImageDraw::drawBtnImageBg(QPainter& painter, const QRect& rect, const QImage& image, bool nineGrid)
{
    if (image.isNull())
        return;
    painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
    if (!nineGrid) {
        const QRectF src(0, 0, image.width() & ~1, image.height() & ~1);
        painter.drawImage(QRectF(rect), image, src);
        return;
    }
    const int iw = image.width() / 2, ih = image.height() / 2;
    const int x = rect.x(), y = rect.y(), W = rect.width(), H = rect.height();
    const int cw = std::min(iw, W) / 3, ch = std::min(ih, H) / 3;
    auto part = [&](int tx, int ty, int tw, int th, int sx, int sy, int sw, int sh) {
        if (tw <= 0 || th <= 0 || sw <= 0 || sh <= 0)
            return;
        painter.drawImage(QRectF(tx, ty, tw, th), image, QRectF(sx, sy, sw, sh));
    };
    const int right = rect.right() + 1, bottom = rect.bottom() + 1;
    // Corners, unscaled.
    part(x, y, cw, ch, 0, 0, 2 * cw, 2 * ch);
    part(right - cw, y, cw, ch, image.width() - 2 * cw, 0, 2 * cw, 2 * ch);
    part(x, bottom - ch, cw, ch, 0, image.height() - 2 * ch, 2 * cw, 2 * ch);
    part(right - cw, bottom - ch, cw, ch, image.width() - 2 * cw, image.height() - 2 * ch, 2 * cw, 2 * ch);
    if (W > 2 * cw) {
        part(x + cw, y, W - 2 * cw, ch, 2 * cw, 0, 2 * (iw - 2 * cw), 2 * ch);
        part(x + cw, bottom - ch, W - 2 * cw, ch, 2 * cw, image.height() - 2 * ch, 2 * (iw - 2 * cw), 2 * ch);
    }
    if (H <= 2 * ch)
        return;
    part(x, y + ch, cw, H - 2 * ch, 0, 2 * ch, 2 * cw, 2 * (ih - 2 * ch));
    part(right - cw, y + ch, cw, H - 2 * ch, image.width() - 2 * cw, 2 * ch, 2 * cw, 2 * (ih - 2 * ch));
    if (ih != 2 * ch)
        part(x + cw, y + ch, W - 2 * cw, H - 2 * ch, 2 * cw, 2 * ch, 2 * (iw - 2 * cw), 2 * (ih - 2 * ch));
}

QPainterPath QBaseImageDraw::GetRoundedRectanglePath(const QRectF& rect, double radius)
{
    const double r = std::min(radius, double(int(std::min(rect.width(), rect.height())) / 2));
    const double left = rect.left(), top = rect.top();
    const double right = left + rect.width(), bottom = top + rect.height();
    QPainterPath path;
    path.moveTo(right - r, top);
    path.lineTo(left + r, top);
    path.quadTo(left, top, left, top + r);
    path.lineTo(left, bottom - r);
    path.quadTo(left, bottom, left + r, bottom);
    path.lineTo(right - r, bottom);
    path.quadTo(right, bottom, right, bottom - r);
    path.lineTo(right, top + r);
    path.quadTo(right, top, right - r, top);
    return path;
}

QProgressIndicator::QProgressIndicator(QWidget* parent) : QWidget(parent)
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setFocusPolicy(Qt::NoFocus);
}

void QProgressIndicator::startAnimation()
{
    m_angle = 0;
    if (m_timerId == -1)
        m_timerId = startTimer(m_delay, Qt::CoarseTimer);
}

void QProgressIndicator::stopAnimation()
{
    if (m_timerId != -1)
        killTimer(m_timerId);
    m_timerId = -1;
    update();
}

void QProgressIndicator::setAnimationDelay(int delay)
{
    m_delay = delay;
    if (m_timerId != -1) {
        killTimer(m_timerId);
        m_timerId = startTimer(m_delay, Qt::CoarseTimer);
    }
}

void QProgressIndicator::setDisplayedWhenStopped(bool state)
{
    m_displayedWhenStopped = state;
    update();
}

void QProgressIndicator::setColor(const QColor& color)
{
    m_color = color;
    update();
}

void QProgressIndicator::timerEvent(QTimerEvent* event)
{
    if (event->timerId() != m_timerId)
        return;
    m_angle = (m_angle + 30) % 360;
    update();
}

void QProgressIndicator::paintEvent(QPaintEvent*)
{
    if (!m_displayedWhenStopped && !isAnimated())
        return;
    QPainter painter(this);
    DrawAnimation(painter);
}

int QProgressIndicator::capsuleWidth(int side)
{
    const int outer = int((side - 1) * 0.5);
    const int length = outer - int((side - 1) * 0.25);
    return int((side <= 32 ? 0.35 : 0.23) * length);
}

void QProgressIndicator::DrawAnimation(QPainter& painter)
{
    const int s = std::min(width(), height());
    painter.setRenderHint(QPainter::Antialiasing);
    const int outer = int((s - 1) * 0.5);
    const int length = outer - int((s - 1) * 0.25);
    const int cw = capsuleWidth(s);
    for (int i = 0; i < 12; ++i) {
        QColor c = m_color;
        c.setAlphaF(1.0 - i / 12.0);
        painter.setPen(Qt::NoPen);
        painter.setBrush(c);
        painter.save();
        painter.translate((width() - 1) / 2, (height() - 1) / 2);
        painter.rotate(m_angle - 30.0 * i);
        if (m_policy == 1) {
            painter.drawRoundedRect(QRectF(int(-cw * 0.5), -outer, cw, length), cw / 2, cw / 2);
        } else {
            const int d = int((1.0 - i / 12.0) * int(0.6 * length));
            painter.drawEllipse(QRect(int(-cw * 0.5), -outer, d, d));
        }
        painter.restore();
    }
}

std::unique_ptr<QImage> QBaseImageDraw::loadImageRatio2(const QString& path)
{
    if (path.isEmpty() || !QFile::exists(path))
        return nullptr;
    auto image = std::make_unique<QImage>(path);
    if (image->isNull())
        return nullptr;
    image->setDevicePixelRatio(2.0);
    return image;
}
