#include "QZOBaseButton.h"

#include "QBaseImageDraw.h"

#include <QAbstractButton>
#include <QFile>
#include <QFocusEvent>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>
#include <QTimerEvent>

#include <cmath>

QZOBaseButtonDraw::QZOBaseButtonDraw(QAbstractButton* button) : m_button(button), m_textRect(button->rect()) {}

QZOBaseButtonDraw::~QZOBaseButtonDraw()
{
    clearImage();
}

void QZOBaseButtonDraw::clearImage()
{
    if (m_ownsImage)
        delete m_image;
    m_image = nullptr;
    m_ownsImage = false;
}

void QZOBaseButtonDraw::repaint()
{
    m_button->update();
}

bool QZOBaseButtonDraw::setButtonImage(const QString& path, bool grid)
{
    if (path.isEmpty() || !QFile::exists(path))
        return false;
    QImage image(path);
    if (image.isNull())
        return false;
    setButtonImage(&image, grid, true);
    return true;
}

bool QZOBaseButtonDraw::setButtonImage(QImage* image, bool grid, bool copy)
{
    // The old image goes first, so a null image leaves the button with none
    // rather than with a pointer to an image that is gone.
    clearImage();
    if (!image)
        return false;
    if (copy) {
        m_image = new QImage(*image);
        m_ownsImage = true;
    } else {
        m_image = image;
    }
    m_image->setDevicePixelRatio(2.0);
    m_button->resize(m_image->width() / 8, m_image->height() / 2);
    m_grid = grid;
    m_textRect = QRect(0, 0, m_button->width(), m_button->height());
    return false;
}

bool QZOBaseButtonDraw::setButtonImage(const QImage& image, bool grid)
{
    QImage copy(image);
    setButtonImage(&copy, grid, true);
    return true;
}

bool QZOBaseButtonDraw::setBtnIcon(const QString& path)
{
    return setBtnIcon(QFile::exists(path) ? QImage(path) : QImage());
}

bool QZOBaseButtonDraw::setBtnIcon(const QImage& image)
{
    m_icon.reset(new QImage(image));
    m_icon->setDevicePixelRatio(2.0);
    repaint();
    return true;
}

void QZOBaseButtonDraw::setIconRect(const QRect& rect)
{
    m_iconRect = rect;
    repaint();
}

void QZOBaseButtonDraw::setGridView(bool grid)
{
    m_grid = grid;
    repaint();
}

void QZOBaseButtonDraw::setTagBgImage(const QString& first, const QString& second)
{
    m_tagImages[0] = first;
    m_tagImages[1] = second;
}

void QZOBaseButtonDraw::setTagBgAlternateColor(const QColor& first, const QColor& second)
{
    m_tagBgColors[0] = first;
    m_tagBgColors[1] = second;
}

void QZOBaseButtonDraw::setTagTextAlternateColor(const QColor& first, const QColor& second)
{
    m_tagTextColors[0] = first;
    m_tagTextColors[1] = second;
}

void QZOBaseButtonDraw::setAlternateEffect(bool on, int intervalMs)
{
    m_alternateEffect = on;
    m_alternateInterval = intervalMs;
}

void QZOBaseButtonDraw::setTextColor(const QColor& color)
{
    setTextColor(color, color, color, color);
}

void QZOBaseButtonDraw::setTextColor(const QColor& normal, const QColor& hover, const QColor& pressed,
                                     const QColor& disabled)
{
    m_textColors[0] = normal;
    m_textColors[1] = hover;
    m_textColors[2] = pressed;
    m_textColors[3] = disabled;
    m_currentColor = normal;
}

void QZOBaseButtonDraw::setTextRect(const QRect& rect)
{
    m_textRect = rect;
    m_textRectSet = true;
    repaint();
}

void QZOBaseButtonDraw::resetCount()
{
    m_itemCount = 0;
    if (m_countTimerId)
        m_button->killTimer(m_countTimerId);
    m_countTimerId = 0;
    m_button->repaint();
}

void QZOBaseButtonDraw::addItemCount()
{
    ++m_itemCount;
    // One blinking timer at a time: a new count restarts it.
    if (m_alternateEffect && m_alternateInterval > 0) {
        if (m_countTimerId)
            m_button->killTimer(m_countTimerId);
        m_countTimerId = m_button->startTimer(m_alternateInterval, Qt::CoarseTimer);
    }
    m_button->repaint();
}

void QZOBaseButtonDraw::startFlicker(int ms)
{
    m_flickerOn = true;
    m_flickerInterval = ms;
    if (m_flickerTimerId)
        m_button->killTimer(m_flickerTimerId);
    m_flickerTimerId = m_button->startTimer(ms, Qt::CoarseTimer);
}

void QZOBaseButtonDraw::stopFlicker()
{
    m_flickerOn = false;
    if (m_flickerTimerId)
        m_button->killTimer(m_flickerTimerId);
    m_flickerTimerId = 0;
}

void QZOBaseButtonDraw::focusInEvent(QFocusEvent*)
{
    m_hasFocus = true;
}

void QZOBaseButtonDraw::focusOutEvent(QFocusEvent*)
{
    m_hasFocus = false;
}

bool QZOBaseButtonDraw::drawMousePress(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return false;
    m_mouseMapValue = int(std::lround(event->screenPos().x())) - m_button->mapToGlobal(QPoint(0, 0)).x();
    if (!m_button->isEnabled()) {
        m_state = Disabled;
        return false;
    }
    if (m_state != Pressed) {
        m_state = Pressed;
        repaint();
    }
    return true;
}

bool QZOBaseButtonDraw::drawMouseRelease(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || m_staticState)
        return false;
    if (!m_button->isEnabled()) {
        m_state = Disabled;
        return false;
    }
    if (m_state == Pressed) {
        m_state = m_button->isChecked() ? Hover : Normal;
        repaint();
    }
    return true;
}

void QZOBaseButtonDraw::drawEnter()
{
    if (m_staticState)
        return;
    if (!m_button->isEnabled()) {
        m_state = Disabled;
        return;
    }
    m_mouseInside = true;
    if (m_state != Hover) {
        m_state = Hover;
        repaint();
    }
}

void QZOBaseButtonDraw::drawLeave()
{
    if (m_staticState)
        return;
    if (!m_button->isEnabled()) {
        m_state = Disabled;
        return;
    }
    m_mouseInside = false;
    if (m_state == Hover) {
        m_state = Normal;
        repaint();
    }
}

void QZOBaseButtonDraw::drawEnabledChange()
{
    if (!m_staticState)
        m_state = m_button->isEnabled() ? Normal : Disabled;
}

bool QZOBaseButtonDraw::drawTimer(int timerId)
{
    if (timerId == 0)
        return false;
    if (timerId == m_countTimerId)
        m_alternatePhase ^= 1;
    else if (timerId == m_flickerTimerId)
        m_flickerPhase ^= 1;
    else
        return false;
    repaint();
    return true;
}

int QZOBaseButtonDraw::frameToDraw() const
{
    if (m_button->isChecked() && !m_staticState)
        return Pressed;
    return m_state;
}

void QZOBaseButtonDraw::drawFrame(QPainter& painter, int frame)
{
    const int frameW = m_image->width() / 4;
    const QImage part = m_image->copy(frame * frameW, 0, frameW, m_image->height());
    QImage framed(part);
    framed.setDevicePixelRatio(2.0);
    QBaseImageDraw::drawBtnImageBg(painter, m_button->rect(), framed, m_grid);
}

void QZOBaseButtonDraw::DrawBackground(QPainter& painter)
{
    if (!m_image)
        return;
    const int frame = frameToDraw();
    if (frame < 0 || frame > 3) {
        painter.drawImage(QPoint(0, 0), *m_image);
        return;
    }
    drawFrame(painter, frame);
    m_currentColor = m_textColors[frame];
}

void QZOBaseButtonDraw::DrawFlicker(QPainter& painter)
{
    if (m_flickerOn && m_image)
        drawFrame(painter, m_flickerPhase == 1 ? Hover : Pressed);
}

void QZOBaseButtonDraw::DrawButtonText(QPainter& painter)
{
    const QString text = m_button->text();
    if (text.isEmpty())
        return;
    painter.setFont(m_button->font());
    painter.setPen(m_currentColor);
    const QFontMetrics metrics(m_button->font());
    if (!m_textRectSet) {
        const QString shown = metrics.elidedText(text, Qt::ElideRight, m_button->width());
        painter.drawText(m_button->rect(), m_alignment, shown);
        return;
    }
    QRect r = m_textRect;
    if (r.width() == 0)
        r.setWidth(m_button->width() - m_iconRect.right() - 1);
    if (r.height() == 0)
        r.setHeight(m_button->height());
    painter.drawText(r, m_alignment, metrics.elidedText(text, Qt::ElideRight, r.width()));
}

void QZOBaseButtonDraw::DrawFocus(QPainter&) {}

void QZOBaseButtonDraw::DrawIcon(QPainter& painter)
{
    if (!m_icon || m_icon->isNull())
        return;
    if (m_iconBtnMode) {
        const int frame = qBound(0, frameToDraw(), 3);
        const int frameW = m_icon->width() / 4;
        QImage part = m_icon->copy(frame * frameW, 0, frameW, m_icon->height());
        part.setDevicePixelRatio(2.0);
        iconDraw(painter, part);
    } else {
        iconDraw(painter, *m_icon);
    }
}

void QZOBaseButtonDraw::iconDraw(QPainter& painter, const QImage& image)
{
    const int w = m_iconRect.width() < 1 ? image.width() / 2 : m_iconRect.width();
    const int h = m_iconRect.height() < 1 ? image.height() / 2 : m_iconRect.height();
    const int x = m_iconRect.x() == -1 ? (m_button->width() - w) / 2 : m_iconRect.x();
    const int y = m_iconRect.y() == -1 ? (m_button->height() - h) / 2 : m_iconRect.y();
    m_iconRect = QRect(x, y, w, h);
    QImage scaled = image.scaled(2 * w, 2 * h, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    scaled.setDevicePixelRatio(2.0);
    painter.drawImage(QPoint(x, y), scaled);
}

void QZOBaseButtonDraw::DrawDigitalTag(QPainter& painter)
{
    if (m_itemCount <= 0)
        return;
    painter.setRenderHint(QPainter::Antialiasing);
    const int bx = m_tagRect.x() == -1 ? m_button->width() - m_tagRect.right() - 2 : m_tagRect.x();
    const int by = m_tagRect.y() == -1 ? 0 : m_tagRect.y();
    const QRect badge(bx, by, m_tagRect.width(), m_tagRect.height());
    const int which = (m_alternateEffect && m_alternatePhase == 1) ? 1 : 0;
    if (m_tagImages[0].isEmpty()) {
        painter.setPen(QPen(m_tagBgColors[which], 1));
        painter.setBrush(m_tagBgColors[which]);
        painter.drawEllipse(badge);
    } else {
        QImage image(m_tagImages[which]);
        image.setDevicePixelRatio(2.0);
        painter.drawImage(QRectF(badge), image);
    }
    QFont font(QStringLiteral("Tahoma"));
    QString text;
    if (m_itemCount < 100) {
        font.setPixelSize(m_tagPixelSize);
        text = QString::number(m_itemCount);
    } else {
        font.setPixelSize(m_tagPixelSize - 2);
        text = QStringLiteral("99+");
    }
    painter.setFont(font);
    painter.setPen(m_tagTextColors[which]);
    painter.drawText(badge, Qt::AlignCenter, text);
}

void QZOBaseButtonDraw::paintAll(QPainter& painter)
{
    DrawBackground(painter);
    DrawFlicker(painter);
    DrawButtonText(painter);
    DrawFocus(painter);
    DrawIcon(painter);
    DrawDigitalTag(painter);
}

QZOBaseButton::QZOBaseButton(QWidget* parent) : QPushButton(parent), QZOBaseButtonDraw(this) {}

QZOBaseButton::QZOBaseButton(const QString& text, QWidget* parent)
    : QPushButton(text, parent), QZOBaseButtonDraw(this)
{
}

void QZOBaseButton::mousePressEvent(QMouseEvent* event)
{
    if (drawMousePress(event))
        emit mouseDown(event, getMouseMapValue());
    QPushButton::mousePressEvent(event);
}

void QZOBaseButton::mouseReleaseEvent(QMouseEvent* event)
{
    if (drawMouseRelease(event))
        emit mouseRelease(event, getMouseMapValue());
    QPushButton::mouseReleaseEvent(event);
}

void QZOBaseButton::mouseMoveEvent(QMouseEvent* event)
{
    QPushButton::mouseMoveEvent(event);
    if (getBtnState() == Pressed)
        emit mouseMove(event, getMouseMapValue());
}

void QZOBaseButton::enterEvent(QEvent* event)
{
    drawEnter();
    emit mouseEnter(event);
    QPushButton::enterEvent(event);
    if (getEnterIsChangeMouse())
        setCursor(Qt::ArrowCursor);
}

void QZOBaseButton::leaveEvent(QEvent* event)
{
    drawLeave();
    emit mouseLeave(event);
    QPushButton::leaveEvent(event);
}

void QZOBaseButton::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::EnabledChange)
        drawEnabledChange();
    QPushButton::changeEvent(event);
}

void QZOBaseButton::paintEvent(QPaintEvent* event)
{
    if (!isCustomDraw()) {
        QPushButton::paintEvent(event);
        return;
    }
    QPainter painter(this);
    paintAll(painter);
}

void QZOBaseButton::focusInEvent(QFocusEvent* event)
{
    QZOBaseButtonDraw::focusInEvent(event);
    QPushButton::focusInEvent(event);
}

void QZOBaseButton::focusOutEvent(QFocusEvent* event)
{
    QZOBaseButtonDraw::focusOutEvent(event);
    QPushButton::focusOutEvent(event);
}

void QZOBaseButton::timerEvent(QTimerEvent* event)
{
    if (!drawTimer(event->timerId()))
        QPushButton::timerEvent(event);
}
