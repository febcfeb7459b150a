#include "QDelegateProgressbarStyle.h"

#include <QPainter>
#include <QStyleOptionProgressBar>
#include <QWidget>

struct QDelegateProgressbarStyle::Private {
    int policy = 3;
    QRoundGaugeDraw gauge;
    QGaugeColors dataColors;
    // The gradient, rebuilt at the next draw when the colours or the null
    // position changed.
    mutable bool rebuildBrush = false;
    mutable QBrush dataBrush;
    int formatFlags = QRoundGaugeDraw::HasPercent;
    QString format = QStringLiteral("%p%");
    int decimals = 0;
    int textAlignment = Qt::AlignCenter;
    float textOffsetX = 0.0f;
    float textOffsetY = 0.0f;
};

namespace {

constexpr int kGaugePolicy = 3;

}  // namespace

QPalette QDelegateProgressbarStyle::paletteFor(const QWidget* widget) const
{
    QPalette pal = widget ? widget->palette() : QPalette();
    if (d->policy == kGaugePolicy && !d->dataColors.isEmpty())
        pal.setBrush(QPalette::All, QPalette::Highlight, d->dataBrush);
    return pal;
}

QDelegateProgressbarStyle::QDelegateProgressbarStyle(QStyle* base)
    : QProxyStyle(base), d(std::make_unique<Private>())
{
}

QDelegateProgressbarStyle::~QDelegateProgressbarStyle() = default;

void QDelegateProgressbarStyle::setProgressPolicy(int policy) { d->policy = policy; }
int QDelegateProgressbarStyle::progressPolicy() const { return d->policy; }
void QDelegateProgressbarStyle::setBarStyle(int style) { d->gauge.barStyle = style; }
int QDelegateProgressbarStyle::barStyle() const { return d->gauge.barStyle; }
void QDelegateProgressbarStyle::setOutlinePenWidth(double width) { d->gauge.outlinePenWidth = width; }
double QDelegateProgressbarStyle::outlinePenWidth() const { return d->gauge.outlinePenWidth; }
void QDelegateProgressbarStyle::setDataPenWidth(double width) { d->gauge.dataPenWidth = width; }
double QDelegateProgressbarStyle::dataPenWidth() const { return d->gauge.dataPenWidth; }

void QDelegateProgressbarStyle::setNullPosition(double degrees)
{
    if (degrees == d->gauge.nullPosition)
        return;
    d->gauge.nullPosition = degrees;
    if (!d->dataColors.isEmpty())
        d->rebuildBrush = true;
}

double QDelegateProgressbarStyle::nullPosition() const { return d->gauge.nullPosition; }

void QDelegateProgressbarStyle::setDataColors(const QGaugeColors& colors)
{
    if (colors == d->dataColors)
        return;
    d->dataColors = colors;
    d->rebuildBrush = true;
}

void QDelegateProgressbarStyle::setFormat(const QString& format)
{
    if (format == d->format)
        return;
    d->format = format;
    valueFormatChanged();
}

void QDelegateProgressbarStyle::setDecimals(int decimals)
{
    if (decimals < 0 || decimals == d->decimals)
        return;
    d->decimals = decimals;
    valueFormatChanged();
}

void QDelegateProgressbarStyle::setTextAlignment(int alignment) { d->textAlignment = alignment; }

void QDelegateProgressbarStyle::setTextOffset(float x, float y)
{
    d->textOffsetX = x;
    d->textOffsetY = y;
}

void QDelegateProgressbarStyle::valueFormatChanged()
{
    d->formatFlags = QRoundGaugeDraw::formatFlags(d->format);
}

const QStyleOptionProgressBar* QDelegateProgressbarStyle::progressOption(const QStyleOption* option)
{
    const auto* bar = qstyleoption_cast<const QStyleOptionProgressBar*>(option);
    return bar && bar->version >= 2 ? bar : nullptr;
}

bool QDelegateProgressbarStyle::drawsGauge(const QStyleOption* option) const
{
    return d->policy == kGaugePolicy && progressOption(option);
}

void QDelegateProgressbarStyle::drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                                            const QWidget* widget) const
{
    if (element == CE_ProgressBarLabel)
        return;  // the gauge draws its own text
    if (element == CE_ProgressBar) {
        DrawProgress(option, painter, widget);
        return;
    }
    QProxyStyle::drawControl(element, option, painter, widget);
}

void QDelegateProgressbarStyle::DrawProgress(const QStyleOption* option, QPainter* painter,
                                             const QWidget* widget) const
{
    // The gradient is drawn through a copy of the widget's palette: a style
    // never changes the widget it paints.
    if (d->rebuildBrush) {
        d->dataBrush = QRoundGaugeDraw::conicalBrush(d->dataColors, d->gauge.nullPosition);
        d->rebuildBrush = false;
    }
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    DrawBackground(option, painter, widget);
    DrawProgressValue(option, painter, widget);
    DrawProgressText(option, painter, widget);
    painter->restore();
}

void QDelegateProgressbarStyle::DrawBackground(const QStyleOption* option, QPainter* painter,
                                               const QWidget* widget) const
{
    if (!drawsGauge(option))
        return;
    const QRect r = option->rect;
    const int s = qMin(r.width(), r.height());
    drawBase(painter, QRectF(r.x() + 1, r.y() + 1, s - 2, s - 2), widget);
}

void QDelegateProgressbarStyle::drawBase(QPainter* painter, const QRectF& base, const QWidget* widget) const
{
    d->gauge.drawBase(*painter, paletteFor(widget), base);
}

void QDelegateProgressbarStyle::DrawProgressValue(const QStyleOption* option, QPainter* painter,
                                                  const QWidget* widget) const
{
    const QStyleOptionProgressBar* bar = progressOption(option);
    if (!bar || d->policy != kGaugePolicy)
        return;
    const QRect r = option->rect;
    QRoundGaugeDraw::drawValueImage(*painter, r.topLeft(), qMin(r.width(), r.height()),
                                    [&](QPainter& p, const QRectF& base, double outerRadius) {
        drawRoundValue(option, &p, widget, base, bar->progress,
                       QRoundGaugeDraw::arcLength(bar->progress, bar->minimum, bar->maximum));
        QRectF inner;
        double innerRadius = 0;
        calculateInnerRect(base, outerRadius, inner, innerRadius);
        drawInnerBackground(&p, widget, inner);
    });
}

void QDelegateProgressbarStyle::drawRoundValue(const QStyleOption* option, QPainter* painter, const QWidget* widget,
                                               const QRectF& base, double value, double arcLength) const
{
    const QStyleOptionProgressBar* bar = progressOption(option);
    if (!bar || value == bar->minimum)
        return;
    d->gauge.drawRoundValue(*painter, paletteFor(widget), base, arcLength);
}

void QDelegateProgressbarStyle::calculateInnerRect(const QRectF&, double outerRadius, QRectF& innerRect,
                                                   double& innerRadius) const
{
    d->gauge.calculateInnerRect(outerRadius, innerRect, innerRadius);
}

void QDelegateProgressbarStyle::drawInnerBackground(QPainter* painter, const QWidget* widget,
                                                    const QRectF& innerRect) const
{
    d->gauge.drawInnerBackground(*painter, paletteFor(widget), innerRect);
}

void QDelegateProgressbarStyle::DrawProgressText(const QStyleOption* option, QPainter* painter,
                                                 const QWidget* widget) const
{
    if (d->format.isEmpty() || !drawsGauge(option))
        return;
    const QPalette pal = paletteFor(widget);
    if (widget)
        painter->setFont(widget->font());
    painter->setPen(pal.color(option->state == QStyle::State_Selected ? QPalette::HighlightedText
                                                                      : QPalette::WindowText));
    const QRect r = option->rect;
    const int x = r.x() + static_cast<int>(r.width() * d->textOffsetX);
    const int y = r.y() + static_cast<int>(r.height() * d->textOffsetY);
    painter->drawText(QRect(x, y, r.right() + 1 - x, r.bottom() + 1 - y), d->textAlignment, valueToText(option));
}

QString QDelegateProgressbarStyle::valueToText(const QStyleOption* option) const
{
    const QStyleOptionProgressBar* bar = progressOption(option);
    if (!bar)
        return QString();
    return QRoundGaugeDraw::valueText(d->format, d->formatFlags, d->decimals, bar->progress, bar->minimum,
                                      bar->maximum);
}
