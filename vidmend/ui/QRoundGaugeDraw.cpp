#include "QRoundGaugeDraw.h"

#include <QConicalGradient>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>

namespace {

QPen GaugePen(const QColor& colour, double width)
{
    return QPen(QBrush(colour), width, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin);
}

void SetStops(QGradient& gradient, const QGaugeColors& colors)
{
    for (const auto& stop : colors)
        gradient.setColorAt(1.0 - stop.first, stop.second);
}

}  // namespace

void QRoundGaugeDraw::drawBase(QPainter& painter, const QPalette& palette, const QRectF& base) const
{
    switch (barStyle) {
    case LineStyle: {
        painter.setPen(GaugePen(palette.color(QPalette::Base), outlinePenWidth));
        painter.setBrush(Qt::NoBrush);
        const double h = outlinePenWidth / 2;
        painter.drawEllipse(base.adjusted(h, h, -h, -h));
        break;
    }
    case PieStyle:
        painter.setPen(GaugePen(palette.color(QPalette::Base), outlinePenWidth));
        painter.setBrush(palette.base());
        painter.drawEllipse(base);
        break;
    default:
        painter.setPen(GaugePen(palette.color(QPalette::Shadow), outlinePenWidth));
        painter.setBrush(palette.base());
        painter.drawEllipse(base);
        break;
    }
}

void QRoundGaugeDraw::drawRoundValue(QPainter& painter, const QPalette& palette, const QRectF& base,
                                     double arcLength) const
{
    if (arcLength == 0.0)
        return;
    if (barStyle == LineStyle) {
        painter.setPen(GaugePen(palette.highlight().color(), 2 * dataPenWidth));
        painter.setBrush(Qt::NoBrush);
        const double o = outlinePenWidth;
        painter.drawArc(base.adjusted(o, o, -o, -o), qRound(nullPosition * 16), qRound(-arcLength * 16));
        return;
    }
    QPainterPath path;
    path.setFillRule(Qt::WindingFill);
    path.moveTo(base.center());
    path.arcTo(base, nullPosition, -arcLength);
    path.lineTo(base.center());
    painter.setBrush(palette.highlight());
    painter.setPen(GaugePen(palette.color(QPalette::Shadow), dataPenWidth));
    painter.drawPath(path);
}

void QRoundGaugeDraw::calculateInnerRect(double outerRadius, QRectF& innerRect, double& innerRadius) const
{
    innerRadius = barStyle == LineStyle ? outerRadius - outlinePenWidth : outerRadius * 0.75;
    const double d = (outerRadius - innerRadius) / 2;
    innerRect = QRectF(d, d, innerRadius, innerRadius);
}

void QRoundGaugeDraw::drawInnerBackground(QPainter& painter, const QPalette& palette, const QRectF& innerRect) const
{
    if (barStyle != DonutStyle)
        return;
    const auto mode = painter.compositionMode();
    painter.setCompositionMode(QPainter::CompositionMode_Clear);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::black);
    painter.drawEllipse(innerRect);
    painter.setCompositionMode(mode);
    painter.setPen(GaugePen(palette.color(QPalette::Shadow), dataPenWidth));
    painter.setBrush(palette.alternateBase());
    painter.drawEllipse(innerRect);
}

void QRoundGaugeDraw::drawValueImage(QPainter& painter, const QPoint& topLeft, int side, const ValuePaint& paint)
{
    if (side <= 2)
        return;
    QImage image(2 * side, 2 * side, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    {
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        paint(p, QRectF(2, 2, 2 * (side - 2), 2 * (side - 2)), 2 * side);
    }
    image.setDevicePixelRatio(2.0);
    painter.drawImage(QRect(topLeft.x(), topLeft.y(), side, side), image);
}

double QRoundGaugeDraw::fraction(double value, double minimum, double maximum)
{
    const double range = maximum - minimum;
    if (!(range > 0.0))
        return 0.0;
    const double f = (value - minimum) / range;
    return f < 0.0 ? 0.0 : (f > 1.0 ? 1.0 : f);
}

double QRoundGaugeDraw::arcLength(double value, double minimum, double maximum)
{
    return 360.0 * fraction(value, minimum, maximum);
}

int QRoundGaugeDraw::formatFlags(const QString& format)
{
    int flags = 0;
    if (format.contains(QLatin1String("%v"), Qt::CaseSensitive))
        flags |= HasValue;
    if (format.contains(QLatin1String("%p"), Qt::CaseSensitive))
        flags |= HasPercent;
    if (format.contains(QLatin1String("%m"), Qt::CaseSensitive))
        flags |= HasMaximum;
    return flags;
}

QString QRoundGaugeDraw::valueText(const QString& format, int flags, int decimals, double value, double minimum,
                                   double maximum)
{
    QString text = format;
    if (flags & HasValue)
        text.replace(QLatin1String("%v"), QString::number(value, 'f', decimals));
    if (flags & HasPercent)
        text.replace(QLatin1String("%p"), QString::number(fraction(value, minimum, maximum) * 100.0, 'f', decimals));
    if (flags & HasMaximum)
        text.replace(QLatin1String("%m"), QString::number(maximum - minimum + 1, 'f', decimals));
    return text;
}

QBrush QRoundGaugeDraw::conicalBrush(const QGaugeColors& colors, double nullPosition)
{
    QConicalGradient gradient(0.5, 0.5, nullPosition);
    gradient.setCoordinateMode(QGradient::ObjectBoundingMode);
    SetStops(gradient, colors);
    return QBrush(gradient);
}

QBrush QRoundGaugeDraw::linearBrush(const QGaugeColors& colors, bool horizontal)
{
    QLinearGradient gradient = horizontal ? QLinearGradient(0, 0.5, 1, 0.5) : QLinearGradient(0.5, 1, 0.5, 0);
    gradient.setCoordinateMode(QGradient::ObjectBoundingMode);
    SetStops(gradient, colors);
    return QBrush(gradient);
}
