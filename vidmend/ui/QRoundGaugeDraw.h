// What the progress bar's circular gauge and the list cells' circular
// progress style share: the ring, pie or arc over the palette's colours, the
// gradient brush and the value text. Everything is computed in doubles, so a
// range of any size draws its arc and its fractional percentage.
#ifndef VIDMEND_QROUNDGAUGEDRAW_H
#define VIDMEND_QROUNDGAUGEDRAW_H

#include <QBrush>
#include <QColor>
#include <QPair>
#include <QRectF>
#include <QString>
#include <QVector>

#include <functional>

class QPainter;
class QPoint;
class QPalette;

using QGaugeColors = QVector<QPair<double, QColor>>;

struct QRoundGaugeDraw {
    enum BarStyle { DonutStyle = 0, PieStyle = 1, LineStyle = 2 };
    enum FormatFlag { HasValue = 1, HasPercent = 2, HasMaximum = 4 };

    int barStyle = DonutStyle;
    double outlinePenWidth = 1.0;
    double dataPenWidth = 1.0;
    double nullPosition = 90.0;

    void drawBase(QPainter& painter, const QPalette& palette, const QRectF& base) const;
    // arcLength in degrees, drawn clockwise from the null position.
    void drawRoundValue(QPainter& painter, const QPalette& palette, const QRectF& base, double arcLength) const;
    void calculateInnerRect(double outerRadius, QRectF& innerRect, double& innerRadius) const;
    void drawInnerBackground(QPainter& painter, const QPalette& palette, const QRectF& innerRect) const;

    // The value is drawn at twice the size into a transparent image and then
    // into the side-by-side square at topLeft: a smoother ring than the
    // painter's antialiasing gives at a cell's size. paint gets the image's
    // painter, the ring's rectangle in it and the ring's outer radius. A side
    // of 2 or less draws nothing.
    using ValuePaint = std::function<void(QPainter& painter, const QRectF& base, double outerRadius)>;
    static void drawValueImage(QPainter& painter, const QPoint& topLeft, int side, const ValuePaint& paint);

    // The part of the range that value has reached, 0..1; 0 for an empty range.
    static double fraction(double value, double minimum, double maximum);
    static double arcLength(double value, double minimum, double maximum);
    static int formatFlags(const QString& format);
    // The format with "%v", "%p" and "%m" replaced as its flags say.
    static QString valueText(const QString& format, int flags, int decimals, double value, double minimum,
                             double maximum);
    // Conical gradient round the centre in object-bounding coordinates.
    static QBrush conicalBrush(const QGaugeColors& colors, double nullPosition);
    static QBrush linearBrush(const QGaugeColors& colors, bool horizontal);
};

#endif
