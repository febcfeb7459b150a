#include "QZOBaseRectImageDraw.h"

#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>
#include <QWidget>

#include "QBaseImageDraw.h"

QZOBaseRectImageDraw::QZOBaseRectImageDraw(QWidget* widget) : m_widget(widget) {}

QZOBaseRectImageDraw::~QZOBaseRectImageDraw() = default;

bool QZOBaseRectImageDraw::setBackgroundImage(const QString& path)
{
    m_background = QBaseImageDraw::loadImageRatio2(path);
    if (!m_background)
        return false;
    refresh();
    return true;
}

bool QZOBaseRectImageDraw::setBackgroundImage(const QImage& image)
{
    m_background = std::make_unique<QImage>(image);
    m_background->setDevicePixelRatio(2.0);
    refresh();
    return true;
}

bool QZOBaseRectImageDraw::setRectIcon(const QString& path)
{
    m_icon = QBaseImageDraw::loadImageRatio2(path);
    if (!m_icon)
        return false;
    refresh();
    return true;
}

bool QZOBaseRectImageDraw::setRectIcon(const QImage& image)
{
    if (image.isNull())
        return false;
    m_icon = std::make_unique<QImage>(image);
    m_icon->setDevicePixelRatio(2.0);
    refresh();
    return true;
}

void QZOBaseRectImageDraw::setDrawText(const QString& text)
{
    if (text == m_text)
        return;
    m_text = text;
    refresh();
}

void QZOBaseRectImageDraw::setAlignment(int alignment)
{
    m_alignment = alignment;
    refresh();
}

void QZOBaseRectImageDraw::setDrawTextMargins(int left, int top, int right, int bottom)
{
    m_margins[0] = static_cast<qint16>(left);
    m_margins[1] = static_cast<qint16>(top);
    m_margins[2] = static_cast<qint16>(right);
    m_margins[3] = static_cast<qint16>(bottom);
    refresh();
}

void QZOBaseRectImageDraw::setDrawTextMargins(const QMargins& m)
{
    setDrawTextMargins(m.left(), m.top(), m.right(), m.bottom());
}

QMargins QZOBaseRectImageDraw::drawTextMargins() const
{
    return QMargins(m_margins[0], m_margins[1], m_margins[2], m_margins[3]);
}

void QZOBaseRectImageDraw::setTextColor(const QColor& color)
{
    setTextColor(color, color, color, color);
}

void QZOBaseRectImageDraw::setTextColor(const QColor& normal, const QColor& hover, const QColor& pressed,
                                        const QColor& disabled)
{
    m_textColors[Normal] = normal;
    m_textColors[Hover] = hover;
    m_textColors[Pressed] = pressed;
    m_textColors[Disabled] = disabled;
    m_currentColor = normal;
}

void QZOBaseRectImageDraw::resetBtnState()
{
    m_state = Normal;
    if (m_widget)
        m_widget->repaint();
}

void QZOBaseRectImageDraw::refresh()
{
    if (m_widget)
        m_widget->update();
}

void QZOBaseRectImageDraw::setState(int state, bool immediate)
{
    if (m_state == state)
        return;
    m_state = state;
    if (!m_widget)
        return;
    if (immediate)
        m_widget->repaint();
    else
        m_widget->update();
}

bool QZOBaseRectImageDraw::mousePressEventDraw(QMouseEvent* event)
{
    if (!m_widget || !event || event->button() != Qt::LeftButton)
        return true;
    if (!m_widget->isEnabled()) {
        m_state = Disabled;
        return false;
    }
    setState(Pressed, true);
    return true;
}

void QZOBaseRectImageDraw::mouseReleaseEventDraw(QMouseEvent* event)
{
    if (!m_widget || !event || event->button() != Qt::LeftButton)
        return;
    if (!m_widget->isEnabled())
        m_state = Disabled;
    else if (m_state == Pressed)
        setState(Normal, false);
}

void QZOBaseRectImageDraw::enterEventDraw()
{
    if (!m_widget)
        return;
    if (!m_widget->isEnabled())
        m_state = Disabled;
    else
        setState(Hover, false);
}

void QZOBaseRectImageDraw::leaveEventDraw()
{
    if (!m_widget)
        return;
    if (!m_widget->isEnabled())
        m_state = Disabled;
    else if (m_state == Hover)
        setState(Normal, false);
}

void QZOBaseRectImageDraw::changeEventDraw()
{
    if (m_widget)
        m_state = m_widget->isEnabled() ? Normal : Disabled;
}

void QZOBaseRectImageDraw::paintEvent()
{
    if (!m_widget || !m_background)
        return;
    QPainter painter(m_widget);
    drawBackgroundImage(painter);
    drawIcon(painter);
    drawRectText(painter);
}

int QZOBaseRectImageDraw::frameOf() const
{
    return m_checked ? Pressed : m_state;
}

void QZOBaseRectImageDraw::drawBackgroundImage(QPainter& painter)
{
    if (!m_background || !m_widget)
        return;
    if (!m_btnMode) {
        QBaseImageDraw::drawBtnImageBg(painter, m_widget->rect(), *m_background, true);
        return;
    }
    const int frame = frameOf();
    if (frame < 0 || frame > 3) {
        painter.drawImage(QPoint(0, 0), *m_background);
        return;
    }
    const int frameW = m_background->width() / 4;
    QImage part = m_background->copy(frame * frameW, 0, frameW, m_background->height());
    part.setDevicePixelRatio(2.0);
    QBaseImageDraw::drawBtnImageBg(painter, m_widget->rect(), part, true);
}

void QZOBaseRectImageDraw::drawIcon(QPainter& painter)
{
    if (!m_icon)
        return;
    if (!m_iconBtnMode) {
        iconDraw(painter, *m_icon);
        return;
    }
    const int frame = qBound(0, frameOf(), 3);
    const int frameW = m_icon->width() / 4;
    QImage part = m_icon->copy(frame * frameW, 0, frameW, m_icon->height());
    part.setDevicePixelRatio(2.0);
    iconDraw(painter, part);
}

void QZOBaseRectImageDraw::iconDraw(QPainter& painter, const QImage& image)
{
    if (m_iconRect.width() == 0)
        m_iconRect.setWidth(image.width() / 2);
    if (m_iconRect.height() == 0)
        m_iconRect.setHeight(image.height() / 2);
    if (m_iconRect.y() == -1)
        m_iconRect.moveTop((m_widget->height() - m_iconRect.height()) / 2);
    if (m_iconRect.width() < 1 || m_iconRect.height() < 1)
        return;
    QImage scaled =
        image.scaled(2 * m_iconRect.width(), 2 * m_iconRect.height(), Qt::KeepAspectRatio, Qt::SmoothTransformation);
    scaled.setDevicePixelRatio(2.0);
    painter.drawImage(m_iconRect.topLeft(), scaled);
}

QColor QZOBaseRectImageDraw::drawTextColor()
{
    if (!m_btnMode)
        return m_textColors[Normal];
    QColor color = m_textColors[Normal];
    if (m_checked)
        color = m_textColors[Pressed];
    else if (m_state >= Hover && m_state <= Disabled)
        color = m_textColors[m_state];
    m_currentColor = color;
    return color;
}

void QZOBaseRectImageDraw::drawRectText(QPainter& painter)
{
    if (m_text.isEmpty() || !m_textDrawable || !m_widget)
        return;
    painter.save();
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setFont(m_widget->font());
    painter.setPen(drawTextColor());
    const QRect r(QPoint(m_margins[0], m_margins[1]),
                  QPoint(m_widget->width() - 1 - m_margins[2], m_widget->height() - 1 - m_margins[3]));
    const QFontMetrics metrics(m_widget->font());
    painter.drawText(r, m_alignment, metrics.elidedText(m_text, Qt::ElideRight, r.width()));
    painter.restore();
}
