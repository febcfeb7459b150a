#include "QZOBaseProgress.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QElapsedTimer>
#include <QTimer>

#include <cmath>

#include "QBaseImageDraw.h"
#include "QZOBaseButton.h"

struct QZOBaseProgress::Private {
    std::unique_ptr<QImage> bottomImage;
    std::unique_ptr<QImage> topImage;
    int bottomHalfWidth = 0;
    int bottomHalfHeight = 0;
    int policy = HorizontalBar;
    double minimum = 0.0;
    double maximum = 100.0;
    double value = 0.0;
    bool circle = true;
    int circleLength = -1;
    int tlOffset = 0;
    int rbOffset = 0;
    QRoundGaugeDraw gauge;
    QGaugeColors dataColors;
    bool rebuildBrush = false;
    QString format = QStringLiteral("%p%");
    int decimals = 1;
    int textAlignment = Qt::AlignCenter;
    float textOffsetX = 0.0f;
    float textOffsetY = 0.0f;
    int formatFlags = QRoundGaugeDraw::HasPercent;
    int updateInterval = 0;
    bool updatePending = false;
    // A steady clock: a time of day would wrap at midnight and stop the
    // repaints of a bar with an interval for a day.
    QElapsedTimer steady;
    QZOBaseProgress::Clock clock;
    qint64 lastUpdate = 0;  // the bar's making, on the steady clock
    Private() { steady.start(); }
    QTimer* updateTimer = nullptr;  // a child of the widget
};

QZOBaseProgress::QZOBaseProgress(QWidget* parent)
    : QWidget(parent), d(std::make_unique<Private>())
{
    QPalette pal = palette();
    QColor base(6, 176, 37);
    base.setAlpha(0);
    QColor alternate(255, 0, 0);
    alternate.setAlpha(0);
    pal.setColor(QPalette::All, QPalette::Window, QColor(230, 230, 230));
    pal.setColor(QPalette::All, QPalette::Highlight, QColor(6, 176, 37));
    pal.setColor(QPalette::All, QPalette::Base, base);
    pal.setColor(QPalette::All, QPalette::AlternateBase, alternate);
    setPalette(pal);
    setAttribute(Qt::WA_TranslucentBackground);
}

QZOBaseProgress::~QZOBaseProgress() = default;

bool QZOBaseProgress::setBottomImage(const QString& path)
{
    d->bottomImage = QBaseImageDraw::loadImageRatio2(path);
    d->bottomHalfWidth = d->bottomImage ? d->bottomImage->width() / 2 : 0;
    d->bottomHalfHeight = d->bottomImage ? d->bottomImage->height() / 2 : 0;
    if (!d->bottomImage)
        return false;
    fitToBottomImage();
    update();
    return true;
}

bool QZOBaseProgress::setTopImage(const QString& path)
{
    d->topImage = QBaseImageDraw::loadImageRatio2(path);
    if (!d->topImage)
        return false;
    update();
    return true;
}

void QZOBaseProgress::fitToBottomImage()
{
    // A track image thicker than the widget widens the widget across the
    // bar, once, here rather than while painting.
    if (!d->bottomImage)
        return;
    if (d->policy == HorizontalBar && d->bottomImage->height() > height())
        resize(width(), d->bottomImage->height());
    else if (d->policy == VerticalBar && d->bottomImage->width() > width())
        resize(d->bottomImage->width(), height());
}

void QZOBaseProgress::setProgressPolicy(int policy)
{
    if (policy == d->policy)
        return;
    d->policy = policy;
    if (!d->dataColors.isEmpty())
        d->rebuildBrush = true;
    fitToBottomImage();
    geometryStateChanged();
    update();
}

int QZOBaseProgress::progressPolicy() const { return d->policy; }

void QZOBaseProgress::setBarStyle(int style)
{
    if (style == d->gauge.barStyle)
        return;
    d->gauge.barStyle = style;
    update();
}

int QZOBaseProgress::barStyle() const { return d->gauge.barStyle; }

void QZOBaseProgress::setOutlinePenWidth(double width)
{
    if (width == d->gauge.outlinePenWidth)
        return;
    d->gauge.outlinePenWidth = width;
    update();
}

double QZOBaseProgress::outlinePenWidth() const { return d->gauge.outlinePenWidth; }

void QZOBaseProgress::setDataPenWidth(double width)
{
    if (width == d->gauge.dataPenWidth)
        return;
    d->gauge.dataPenWidth = width;
    update();
}

double QZOBaseProgress::dataPenWidth() const { return d->gauge.dataPenWidth; }

void QZOBaseProgress::setNullPosition(double degrees)
{
    if (degrees == d->gauge.nullPosition)
        return;
    d->gauge.nullPosition = degrees;
    if (!d->dataColors.isEmpty())
        d->rebuildBrush = true;
    update();
}

double QZOBaseProgress::nullPosition() const { return d->gauge.nullPosition; }

void QZOBaseProgress::setDataColors(const QGaugeColors& colors)
{
    if (colors == d->dataColors)
        return;
    d->dataColors = colors;
    d->rebuildBrush = true;
    update();
}

void QZOBaseProgress::setFormat(const QString& format)
{
    if (format == d->format)
        return;
    d->format = format;
    valueFormatChanged();
}

void QZOBaseProgress::resetFormat()
{
    d->format.clear();
    valueFormatChanged();
}

QString QZOBaseProgress::format() const { return d->format; }

void QZOBaseProgress::setTextAlignment(int alignment)
{
    d->textAlignment = alignment;
    update();
}

void QZOBaseProgress::setTextOffset(float x, float y)
{
    d->textOffsetX = x;
    d->textOffsetY = y;
    update();
}

void QZOBaseProgress::setDecimals(int decimals)
{
    if (decimals < 0 || decimals == d->decimals)
        return;
    d->decimals = decimals;
    valueFormatChanged();
}

void QZOBaseProgress::setCircle(bool on) { d->circle = on; }

void QZOBaseProgress::setCircleLenght(int length) { d->circleLength = length; }

void QZOBaseProgress::setOffset(int topLeft, int rightBottom)
{
    d->tlOffset = topLeft;
    d->rbOffset = rightBottom;
    if (topLeft + rightBottom >= barLength()) {
        d->tlOffset = 0;
        d->rbOffset = 0;
    }
    geometryStateChanged();
    update();
}

int QZOBaseProgress::getTLOffset() const { return d->tlOffset; }
int QZOBaseProgress::getRBOffset() const { return d->rbOffset; }

void QZOBaseProgress::setUpdateInterval(int ms)
{
    d->updateInterval = ms;
    d->updatePending = false;
    delete d->updateTimer;
    d->updateTimer = nullptr;
    if (ms > 0) {
        d->updateTimer = new QTimer(this);
        connect(d->updateTimer, &QTimer::timeout, this, &QZOBaseProgress::UpdateTime);
        d->updateTimer->start(ms);
    }
}

double QZOBaseProgress::value() const { return d->value; }
double QZOBaseProgress::minimum() const { return d->minimum; }
double QZOBaseProgress::maximum() const { return d->maximum; }

void QZOBaseProgress::setRange(double minimum, double maximum)
{
    if (minimum > maximum)
        std::swap(minimum, maximum);
    d->minimum = minimum;
    d->maximum = maximum;
    d->value = qBound(minimum, d->value, maximum);
    if (!d->dataColors.isEmpty())
        d->rebuildBrush = true;
    geometryStateChanged();
    update();
}

void QZOBaseProgress::setMinimum(double minimum) { setRange(minimum, d->maximum); }
void QZOBaseProgress::setMaximum(double maximum) { setRange(d->minimum, maximum); }

void QZOBaseProgress::setValue(double value)
{
    if (value == d->value)
        return;
    d->value = qBound(d->minimum, value, d->maximum);
    geometryStateChanged();
    requestRepaint();
    emit valueChanged(d->value);
}

void QZOBaseProgress::setClock(Clock clock)
{
    d->clock = std::move(clock);
}

qint64 QZOBaseProgress::now() const
{
    return d->clock ? d->clock() : d->steady.elapsed();
}

bool QZOBaseProgress::intervalPassed(qint64 interval) const
{
    return now() - d->lastUpdate >= interval;
}

void QZOBaseProgress::markPainted()
{
    d->lastUpdate = now();
    d->updatePending = false;
    update();
}

void QZOBaseProgress::requestRepaint()
{
    if (d->updateInterval <= 0) {
        update();
        return;
    }
    if (intervalPassed(d->updateInterval))
        markPainted();
    else
        d->updatePending = true;
}

void QZOBaseProgress::UpdateTime()
{
    if (d->updatePending && intervalPassed(2 * qint64(d->updateInterval)))
        markPainted();
}

double QZOBaseProgress::fraction() const
{
    return QRoundGaugeDraw::fraction(d->value, d->minimum, d->maximum);
}

int QZOBaseProgress::barLength() const
{
    return d->policy == HorizontalBar ? width() : height();
}

int QZOBaseProgress::validLength() const
{
    if (d->policy == CircularGauge)
        return 0;
    return qMax(0, barLength() - d->tlOffset - d->rbOffset);
}

int QZOBaseProgress::circleLength()
{
    if (!d->circle)
        return 0;
    int thickness;
    if (d->policy == HorizontalBar)
        thickness = d->bottomImage ? d->bottomImage->height() : height();
    else
        thickness = d->bottomImage ? d->bottomImage->width() : width();
    const int half = thickness / 2;
    if (d->circleLength > half)
        d->circleLength = half;
    return d->circleLength == -1 ? half : d->circleLength;
}

QRect QZOBaseProgress::backgroundRect() const
{
    if (d->policy == HorizontalBar) {
        int y1 = 0, y2 = height() - 1;
        if (d->bottomImage) {
            y1 = (height() - d->bottomHalfHeight) / 2;
            y2 = y1 + d->bottomHalfHeight - 1;
        }
        return QRect(QPoint(d->tlOffset, y1), QPoint(width() - d->rbOffset - 1, y2));
    }
    if (d->policy == VerticalBar) {
        int x1 = 0, x2 = width() - 1;
        if (d->bottomImage) {
            x1 = (width() - d->bottomHalfWidth) / 2;
            x2 = x1 + d->bottomHalfWidth - 1;
        }
        return QRect(QPoint(x1, d->tlOffset), QPoint(x2, height() - d->rbOffset - 1));
    }
    return rect();
}

void QZOBaseProgress::rebuildDataBrushIfNeeded()
{
    if (!d->rebuildBrush)
        return;
    d->rebuildBrush = false;
    if (d->dataColors.isEmpty())
        return;
    QBrush brush;
    if (d->policy == CircularGauge)
        brush = QRoundGaugeDraw::conicalBrush(d->dataColors, d->gauge.nullPosition);
    else
        brush = QRoundGaugeDraw::linearBrush(d->dataColors, d->policy == HorizontalBar);
    QPalette pal = palette();
    pal.setBrush(QPalette::All, QPalette::Highlight, brush);
    setPalette(pal);
}

void QZOBaseProgress::paintEvent(QPaintEvent*)
{
    rebuildDataBrushIfNeeded();
    QPainter painter(this);
    painter.setPen(Qt::NoPen);
    painter.setRenderHint(QPainter::Antialiasing);
    DrawBackground(painter);
    DrawProgress(painter);
    DrawProgressText(painter);
}

void QZOBaseProgress::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    geometryStateChanged();
}

void QZOBaseProgress::DrawBackground(QPainter& painter)
{
    if (d->policy == CircularGauge) {
        const int s = qMin(width(), height());
        drawBase(painter, QRectF(1, 1, s - 2, s - 2));
        return;
    }
    painter.setBrush(palette().color(QPalette::Window));
    painter.setPen(Qt::NoPen);
    const int c = circleLength();
    if (d->bottomImage) {
        DrawBottomImage(painter, c);
        return;
    }
    const QRect r = backgroundRect();
    painter.drawPath(QBaseImageDraw::GetRoundedRectanglePath(QRectF(r.x(), r.y(), r.width(), r.height()), c));
}

void QZOBaseProgress::DrawBottomImage(QPainter& painter, int circle)
{
    if (d->bottomImage)
        DrawCircleImage(painter, *d->bottomImage, backgroundRect(), false, circle);
}

void QZOBaseProgress::DrawCircleImage(QPainter& painter, const QImage& image, const QRect& r, bool fill, int c)
{
    const bool caps = c > 0 && d->circle;
    if (d->policy == HorizontalBar) {
        const int hb = d->bottomImage ? d->bottomHalfHeight : image.height() / 2;
        const int half = image.width() / 2;
        if (caps) {
            QBaseImageDraw::drawImage(painter, QRect(r.left(), r.top(), c, hb), QRect(0, 0, c, hb), image);
            QBaseImageDraw::drawImage(painter, QRect(r.right() - c + 1, r.top(), c, hb), QRect(half - c, 0, c, hb),
                                      image);
        }
        const QRect target(QPoint(r.left() + c, r.top()), QPoint(r.right() - c, r.top() + hb - 1));
        QRect source(QPoint(c, 0), QPoint(half - c - 1, hb - 1));
        if (c == 0 && fill)
            source = QRect(0, 0, static_cast<int>(std::floor(half * fraction())), hb);
        if (target.isValid() && source.isValid())
            QBaseImageDraw::drawImage(painter, target, source, image);
        return;
    }
    const int wb = d->bottomImage ? d->bottomHalfWidth : image.width() / 2;
    const int half = image.height() / 2;
    if (caps) {
        QBaseImageDraw::drawImage(painter, QRect(r.left(), r.top(), wb, c), QRect(0, 0, wb, c), image);
        QBaseImageDraw::drawImage(painter, QRect(r.left(), r.bottom() - c + 1, wb, c), QRect(0, half - c, wb, c),
                                  image);
    }
    const QRect target(QPoint(r.left(), r.top() + c), QPoint(r.left() + wb - 1, r.bottom() - c));
    QRect source(QPoint(0, c), QPoint(wb - 1, half - c - 1));
    if (c == 0 && fill)
        source = QRect(0, 0, wb, static_cast<int>(std::floor(half * fraction())));
    if (target.isValid() && source.isValid())
        QBaseImageDraw::drawImage(painter, target, source, image);
}

void QZOBaseProgress::DrawProgress(QPainter& painter)
{
    if (d->policy == CircularGauge) {
        QRoundGaugeDraw::drawValueImage(painter, QPoint(0, 0), qMin(width(), height()),
                                        [&](QPainter& p, const QRectF& base, double outerRadius) {
            drawRoundValue(p, base, d->value, QRoundGaugeDraw::arcLength(d->value, d->minimum, d->maximum));
            QRectF inner;
            double innerRadius = 0;
            calculateInnerRect(base, outerRadius, inner, innerRadius);
            drawInnerBackground(p, inner);
        });
        return;
    }
    const int c = circleLength();
    if (d->topImage) {
        DrawTopImage(painter, *d->topImage, c);
        return;
    }
    // No fill image: a rounded bar in the highlight colour of the track's size.
    const QRect r = backgroundRect();
    if (r.width() <= 0 || r.height() <= 0)
        return;
    QImage fillImage(2 * r.width(), 2 * r.height(), QImage::Format_ARGB32);
    fillImage.fill(Qt::transparent);
    {
        QPainter p(&fillImage);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(palette().highlight());
        p.drawPath(QBaseImageDraw::GetRoundedRectanglePath(QRectF(fillImage.rect()), 2 * c));
    }
    fillImage.setDevicePixelRatio(2.0);
    DrawTopImage(painter, fillImage, c);
}

void QZOBaseProgress::DrawTopImage(QPainter& painter, const QImage& image, int c)
{
    const QRect r = backgroundRect();
    const double p = fraction() * validLength() + 0.5;
    if (p <= 2 * c) {
        if (c <= 0 || !d->circle)
            return;
        // Too short for two caps: the fill's two ends, each half the length.
        const double half = p / 2;
        const int n = static_cast<int>(std::floor(half));
        if (n <= 0)
            return;
        if (d->policy == HorizontalBar) {
            const int h = image.height() / 2;
            const int w = image.width() / 2;
            QBaseImageDraw::drawImage(painter, QRect(r.left(), r.top(), n, r.height()), QRect(0, 0, n, h), image);
            QBaseImageDraw::drawImage(painter, QRect(static_cast<int>(std::floor(r.left() + half)), r.top(), n, r.height()),
                                      QRect(static_cast<int>(std::floor(w - half + 1)), 0, n, h), image);
        } else {
            const int w = image.width() / 2;
            const int h = image.height() / 2;
            const int bottom = height() - d->rbOffset;
            QBaseImageDraw::drawImage(painter, QRect(r.left(), bottom - n, r.width(), n), QRect(0, h - n, w, n), image);
            QBaseImageDraw::drawImage(painter, QRect(r.left(), bottom - 2 * n, r.width(), n), QRect(0, 0, w, n), image);
        }
        return;
    }
    const int length = static_cast<int>(std::floor(p));
    QRect filled;
    if (d->policy == HorizontalBar) {
        filled = QRect(r.left(), r.top(), length, r.height());
    } else {
        const int top = static_cast<int>(std::floor(height() - d->rbOffset - p + 1));
        filled = QRect(r.left(), top, r.width(), length);
    }
    DrawCircleImage(painter, image, filled, true, c);
}

void QZOBaseProgress::DrawProgressText(QPainter& painter)
{
    if (d->format.isEmpty())
        return;
    painter.setFont(font());
    painter.setPen(palette().color(QPalette::WindowText));
    const int x = static_cast<int>(width() * d->textOffsetX);
    const int y = static_cast<int>(height() * d->textOffsetY);
    painter.drawText(QRect(x, y, width() - x, height() - y), d->textAlignment, valueToText(d->value));
}

QString QZOBaseProgress::valueToText(double value) const
{
    return QRoundGaugeDraw::valueText(d->format, d->formatFlags, d->decimals, value, d->minimum, d->maximum);
}

void QZOBaseProgress::valueFormatChanged()
{
    d->formatFlags = QRoundGaugeDraw::formatFlags(d->format);
    update();
}

void QZOBaseProgress::drawBase(QPainter& painter, const QRectF& base)
{
    if (d->policy == CircularGauge)
        d->gauge.drawBase(painter, palette(), base);
}

void QZOBaseProgress::drawRoundValue(QPainter& painter, const QRectF& base, double value, double arcLength)
{
    if (value == d->minimum)
        return;
    d->gauge.drawRoundValue(painter, palette(), base, arcLength);
}

void QZOBaseProgress::calculateInnerRect(const QRectF&, double outerRadius, QRectF& innerRect, double& innerRadius)
{
    d->gauge.calculateInnerRect(outerRadius, innerRect, innerRadius);
}

void QZOBaseProgress::drawInnerBackground(QPainter& painter, const QRectF& innerRect)
{
    d->gauge.drawInnerBackground(painter, palette(), innerRect);
}

QPainterPath QZOBaseProgress::getProPath() const
{
    const QRect r = backgroundRect();
    const double p = fraction() * validLength();
    const int thickness = d->policy == VerticalBar ? r.width() : r.height();
    const int c = d->circle ? (d->circleLength >= 0 ? qMin(d->circleLength, thickness / 2) : thickness / 2) : 0;
    QRectF filled = d->policy == VerticalBar ? QRectF(r.left(), r.bottom() + 1 - p, r.width(), p)
                                              : QRectF(r.left(), r.top(), p, r.height());
    return QBaseImageDraw::GetRoundedRectanglePath(filled, c);
}

// ---- slider ----

QZOBaseSlider::QZOBaseSlider(QWidget* parent) : QZOBaseProgress(parent)
{
    setFocusPolicy(Qt::StrongFocus);
}

QZOBaseSlider::~QZOBaseSlider() = default;

bool QZOBaseSlider::setBtnImage(const QString& path)
{
    delete m_button;
    m_button = new QZOBaseButton(this);
    connect(m_button, &QZOBaseButton::mouseMove, this, &QZOBaseSlider::btnMouseMove);
    connect(m_button, &QZOBaseButton::mouseDown, this, &QZOBaseSlider::btnMouseDown);
    connect(m_button, &QZOBaseButton::mouseRelease, this, &QZOBaseSlider::btnMouseRelease);
    // A knob image sizes the knob to one of its four frames.
    if (!m_button->setButtonImage(path, false)) {
        if (progressPolicy() == HorizontalBar)
            m_button->resize(10, height());
        else
            m_button->resize(width(), 10);
    }
    m_button->move(0, 0);
    m_button->show();
    setOffset(getTLOffset(), getRBOffset());
    update();
    return true;
}

void QZOBaseSlider::setOffset(int topLeft, int rightBottom)
{
    if (m_button) {
        // Room for half the knob at each end, so it never leaves the widget.
        const int half = (progressPolicy() == HorizontalBar ? m_button->width() : m_button->height()) / 2;
        topLeft = qMax(topLeft, half);
        rightBottom = qMax(rightBottom, half);
    }
    QZOBaseProgress::setOffset(topLeft, rightBottom);
}

QZOBaseButton* QZOBaseSlider::getButton() const { return m_button; }

void QZOBaseSlider::setBtnOffset(int offset)
{
    m_btnOffset = offset;
    calcBtnPostion();
}

void QZOBaseSlider::setEnabledPull(bool on) { m_enablePull = on; }
bool QZOBaseSlider::enablePull() const { return m_enablePull; }

void QZOBaseSlider::setValue(double value)
{
    if (value == this->value())
        return;
    QZOBaseProgress::setValue(value);
}

QPoint QZOBaseSlider::localPoint(QMouseEvent* event) const
{
    const QPointF screen = event->screenPos();
    return QPoint(qRound(screen.x()), qRound(screen.y())) - mapToGlobal(QPoint(0, 0));
}

bool QZOBaseSlider::isValidRange(const QPoint& point) const
{
    if (progressPolicy() == HorizontalBar)
        return point.x() >= getTLOffset() && point.x() <= width() - getRBOffset();
    if (progressPolicy() == VerticalBar)
        return point.y() >= getTLOffset() && point.y() <= height() - getRBOffset();
    return false;
}

int QZOBaseSlider::correctPoint(const QPoint& point) const
{
    const int valid = validLength();
    const int along = progressPolicy() == HorizontalBar ? point.x() - getTLOffset()
                                                         : valid - (point.y() - getTLOffset());
    return qBound(0, along, valid);
}

void QZOBaseSlider::PointToValue(const QPoint& point)
{
    const int valid = validLength();
    if (!m_enablePull || valid == 0)
        return;
    const double range = maximum() - minimum();
    const double v = minimum() + range * correctPoint(point) / valid;
    if (v == value())
        return;
    QZOBaseProgress::setValue(v);
    update();
    emit sendProgressValue(fraction());
}

QPoint QZOBaseSlider::valueToPoint() const
{
    const double f = fraction();
    const int valid = validLength();
    if (progressPolicy() == HorizontalBar)
        return QPoint(static_cast<int>(getTLOffset() + valid * f - 1), 0);
    return QPoint(0, static_cast<int>(valid - valid * f + getTLOffset()));
}

void QZOBaseSlider::calcBtnPostion()
{
    if (!m_button)
        return;
    const QPoint at = valueToPoint();
    if (progressPolicy() == HorizontalBar)
        m_button->move(at.x() - m_button->width() / 2, (height() - m_button->height()) / 2 + m_btnOffset);
    else if (progressPolicy() == VerticalBar)
        m_button->move((width() - m_button->width()) / 2 + m_btnOffset, at.y() - m_button->height() / 2);
}

void QZOBaseSlider::OnKeyLeftDown()
{
    QZOBaseProgress::setValue(value() - (maximum() - minimum()) / 100);
    update();
}

void QZOBaseSlider::OnKeyRightUp()
{
    QZOBaseProgress::setValue(value() + (maximum() - minimum()) / 100);
    update();
}

void QZOBaseSlider::mousePressEvent(QMouseEvent* event)
{
    const QPoint point = localPoint(event);
    if (!isValidRange(point))
        return;
    emit sendPressEvent(event);
    PointToValue(point);
}

void QZOBaseSlider::mouseReleaseEvent(QMouseEvent* event)
{
    emit sendReleseEvent(event);
}

void QZOBaseSlider::mouseMoveEvent(QMouseEvent* event)
{
    PointToValue(localPoint(event));
}

void QZOBaseSlider::keyPressEvent(QKeyEvent* event)
{
    QZOBaseProgress::keyPressEvent(event);
    switch (event->key()) {
    case Qt::Key_Left:
    case Qt::Key_Down:
        OnKeyLeftDown();
        event->accept();
        break;
    case Qt::Key_Right:
    case Qt::Key_Up:
        OnKeyRightUp();
        event->accept();
        break;
    default:
        break;
    }
}

void QZOBaseSlider::btnMouseMove(QMouseEvent* event, int)
{
    PointToValue(localPoint(event));
    update();
}

void QZOBaseSlider::btnMouseDown(QMouseEvent* event, int)
{
    emit sendPressEvent(event);
}

void QZOBaseSlider::btnMouseRelease(QMouseEvent* event, int)
{
    emit sendReleseEvent(event);
}
