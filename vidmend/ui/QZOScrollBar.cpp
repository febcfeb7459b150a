#include "QZOScrollBar.h"

#include <QPainter>
#include <QPainterPath>
#include <QStyleOptionSlider>

namespace {

// The handle narrowed across the bar's thickness; an inset that would leave
// nothing counts as none.
QRect InsetHandle(QRect rect, int inset, Qt::Orientation orientation)
{
    const int thickness = orientation == Qt::Horizontal ? rect.height() : rect.width();
    if (inset <= 0 || 2 * inset > thickness)
        return rect;
    if (orientation == Qt::Horizontal)
        return rect.adjusted(0, inset, 0, -inset);
    return rect.adjusted(inset, 0, -inset, 0);
}

void FillRounded(QPainter& painter, const QRect& rect, int radius, const QColor& color)
{
    QPainterPath path;
    path.addRoundedRect(QRectF(rect), radius, radius);
    painter.fillPath(path, color);
}

}  // namespace

QZOScrollBarStyle::QZOScrollBarStyle(QStyle* base) : QProxyStyle(base), m_attribute(new QZOScrollBarStyleAttribute)
{
}

QZOScrollBarStyle::~QZOScrollBarStyle()
{
    delete m_attribute;
}

void QZOScrollBarStyle::drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                                           QPainter* painter, const QWidget* widget) const
{
    if (control == CC_ScrollBar) {
        drawScrollbar(option, painter, widget);
        return;
    }
    QProxyStyle::drawComplexControl(control, option, painter, widget);
}

int QZOScrollBarStyle::pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const
{
    if (metric == PM_ScrollBarExtent)
        return m_attribute->barWidth;
    return QProxyStyle::pixelMetric(metric, option, widget);
}

void QZOScrollBarStyle::drawScrollbar(const QStyleOptionComplex* option, QPainter* painter,
                                      const QWidget* widget) const
{
    const auto* slider = qstyleoption_cast<const QStyleOptionSlider*>(option);
    if (!slider || !painter)
        return;
    const QZOScrollBarStyleAttribute& a = *m_attribute;
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing, true);

    // Qt marks any bar under the pointer; the track shows only in the active
    // window, so the hover state is decided here alone.
    State state = slider->state;
    if (widget) {
        state &= ~State_MouseOver;
        if (widget->underMouse() && widget->window()->isActiveWindow())
            state |= State_MouseOver;
    }
    const bool empty = slider->minimum == slider->maximum;
    if (empty)
        state &= ~State_Enabled;

    const bool horizontal = slider->orientation == Qt::Horizontal;
    int radius = a.cornerRadius;
    if (radius < 0)
        radius = (horizontal ? slider->rect.height() : slider->rect.width()) / 2;

    painter->fillRect(subControlRect(CC_ScrollBar, slider, SC_ScrollBarAddLine, widget), a.arrowBgColor);
    painter->fillRect(subControlRect(CC_ScrollBar, slider, SC_ScrollBarSubLine, widget), a.arrowBgColor);
    const QRect groove = subControlRect(CC_ScrollBar, slider, SC_ScrollBarGroove, widget);
    painter->fillRect(groove, a.grooveColor);

    if (!empty) {
        const QRect handle = InsetHandle(subControlRect(CC_ScrollBar, slider, SC_ScrollBarSlider, widget),
                                         a.handleInset, slider->orientation);
        if (!(state & State_MouseOver) && !a.alwaysShowTrack) {
            FillRounded(*painter, handle, radius, a.handleColor);
        } else {
            FillRounded(*painter, groove, radius, a.trackColor);
            if (slider->subControls & SC_ScrollBarSlider) {
                const bool enabled = state & State_Enabled;
                const bool active = slider->activeSubControls & SC_ScrollBarSlider;
                QColor color = a.handleColor;
                if (enabled && active && (state & State_Sunken))
                    color = a.handlePressColor;
                else if (enabled && active && (state & State_MouseOver))
                    color = a.handleHoverColor;
                FillRounded(*painter, handle, radius, color);
            }
        }
    }
    painter->restore();
}

QImage QZOScrollBarStyle::createImage(const QSize& size, int direction, const QColor& color, bool border)
{
    QImage image(size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    if (image.isNull())
        return image;
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing, true);
    const double w = image.width();
    const double h = image.height();
    if (border) {
        painter.setPen(QPen(color, 1, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(QRectF(0, 0, w - 1, h - 1));
    }
    painter.setPen(Qt::NoPen);
    painter.setBrush(color);
    QPolygonF triangle;
    switch (direction) {
    case 0:
        triangle << QPointF(0.75 * w - 0.5, 0) << QPointF(0.25 * w - 0.5, h / 2) << QPointF(0.75 * w, h);
        break;
    case 1:
        triangle << QPointF(0.25 * w + 0.5, 0) << QPointF(0.75 * w, h / 2) << QPointF(0.25 * w + 0.5, h);
        break;
    case 2:
        triangle << QPointF(0, 0.25 * h + 0.5) << QPointF(w / 2, 0.75 * h) << QPointF(w, 0.25 * h + 0.5);
        break;
    case 3:  // the down arrow mirrored across the horizontal middle
        triangle << QPointF(0, 0.75 * h - 0.5) << QPointF(w / 2, 0.25 * h - 0.5) << QPointF(w, 0.75 * h - 0.5);
        break;
    default:
        break;
    }
    if (!triangle.isEmpty())
        painter.drawPolygon(triangle);
    return image;
}

QZOScrollBar::QZOScrollBar(QWidget* parent) : QScrollBar(parent)
{
    InitScrollBar();
    fixThickness();
}

QZOScrollBar::QZOScrollBar(Qt::Orientation orientation, QWidget* parent) : QScrollBar(orientation, parent)
{
    InitScrollBar();
    fixThickness();
}

QZOScrollBar::~QZOScrollBar()
{
    // The widget must not paint with a style that is gone.
    setStyle(nullptr);
    delete m_style;
}

void QZOScrollBar::InitScrollBar()
{
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
    auto* style = new QZOScrollBarStyle(nullptr);
    setStyle(style);
    delete m_style;
    m_style = style;
}

void QZOScrollBar::setOrientation(Qt::Orientation orientation)
{
    QScrollBar::setOrientation(orientation);
    fixThickness();
}

void QZOScrollBar::fixThickness()
{
    if (orientation() == Qt::Horizontal) {
        setMinimumWidth(0);
        setMaximumWidth(QWIDGETSIZE_MAX);
        setMinimumHeight(kThickness);
        setMaximumHeight(kThickness);
    } else {
        setMinimumHeight(0);
        setMaximumHeight(QWIDGETSIZE_MAX);
        setMinimumWidth(kThickness);
        setMaximumWidth(kThickness);
    }
    m_fixedFor = orientation();
}

bool QZOScrollBar::event(QEvent* event)
{
    // The base's setOrientation is not virtual: Qt (the orientation property,
    // a scroll area) changes it behind our back, and then requests a repaint
    // and a new geometry. Polish, layout and paint all pass here first.
    if (m_fixedFor != orientation())
        fixThickness();
    return QScrollBar::event(event);
}

void QZOScrollBar::setStyleAttribute(const QZOScrollBarStyleAttribute& attribute)
{
    m_style->attribute() = attribute;
    update();
}

QZOScrollBarStyleAttribute QZOScrollBar::styleAttribute() const
{
    return m_style->attribute();
}
