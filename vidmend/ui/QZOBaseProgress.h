// The self-drawn progress bar (horizontal or vertical from a track and a fill
// image, or a rounded bar in palette colours, or a circular gauge) with a
// value text, and the slider built on it with a draggable knob.
// Painting only paints: sizes and the knob's place are set where the value,
// the range, the images or the widget's size change.
#ifndef VIDMEND_QZOBASEPROGRESS_H
#define VIDMEND_QZOBASEPROGRESS_H

#include <QImage>
#include <QPainterPath>
#include <QPoint>
#include <QWidget>

#include <functional>
#include <memory>

#include "QRoundGaugeDraw.h"

class QMouseEvent;
class QTimer;
class QZOBaseButton;

class QZOBaseProgress : public QWidget {
    Q_OBJECT
public:
    enum ProgressPolicy { HorizontalBar = 1, VerticalBar = 2, CircularGauge = 3 };
    enum BarStyle { DonutStyle = QRoundGaugeDraw::DonutStyle, PieStyle = QRoundGaugeDraw::PieStyle,
                    LineStyle = QRoundGaugeDraw::LineStyle };

    explicit QZOBaseProgress(QWidget* parent = nullptr);
    ~QZOBaseProgress() override;

    bool setBottomImage(const QString& path);
    bool setTopImage(const QString& path);
    void setProgressPolicy(int policy);
    int progressPolicy() const;
    void setBarStyle(int style);
    int barStyle() const;
    void setOutlinePenWidth(double width);
    double outlinePenWidth() const;
    void setDataPenWidth(double width);
    double dataPenWidth() const;
    void setNullPosition(double degrees);
    double nullPosition() const;
    void setDataColors(const QGaugeColors& colors);
    void setFormat(const QString& format);
    void resetFormat();
    QString format() const;
    QString getFormatValue() const { return valueToText(value()); }
    void setTextAlignment(int alignment);
    void setTextOffset(float x, float y);
    void setDecimals(int decimals);
    void setCircle(bool on);
    void setCircleLenght(int length);
    virtual void setOffset(int topLeft, int rightBottom);
    int getTLOffset() const;
    int getRBOffset() const;
    void setUpdateInterval(int ms);
    // The clock the repaint throttle reads, in milliseconds that only grow
    // (a steady clock by default; a test sets its own).
    using Clock = std::function<qint64()>;
    void setClock(Clock clock);
    double value() const;
    double minimum() const;
    double maximum() const;
    QPainterPath getProPath() const;

public slots:
    void setRange(double minimum, double maximum);
    void setMinimum(double minimum);
    void setMaximum(double maximum);
    void setValue(double value);
    void setValue(int value) { setValue(static_cast<double>(value)); }
    void UpdateTime();

signals:
    void valueChanged(double value);

protected:
    virtual void DrawBackground(QPainter& painter);
    virtual void DrawBottomImage(QPainter& painter, int circle);
    virtual void DrawTopImage(QPainter& painter, const QImage& image, int circle);
    virtual void DrawProgress(QPainter& painter);
    virtual void DrawProgressText(QPainter& painter);
    virtual QString valueToText(double value) const;
    virtual void valueFormatChanged();
    virtual void drawBase(QPainter& painter, const QRectF& base);
    virtual void drawRoundValue(QPainter& painter, const QRectF& base, double value, double arcLength);
    virtual void calculateInnerRect(const QRectF& base, double outerRadius, QRectF& innerRect, double& innerRadius);
    virtual void drawInnerBackground(QPainter& painter, const QRectF& innerRect);
    // Called whenever the value, the range, the offsets or the size change,
    // outside painting: the slider places its knob here.
    virtual void geometryStateChanged() {}

    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

    // The filled part of the range, 0..1 (0 for an empty range).
    double fraction() const;
    // Length along the bar and the length left between the offsets.
    int barLength() const;
    int validLength() const;
    int circleLength();
    QRect backgroundRect() const;
    void requestRepaint();
    qint64 now() const;
    bool intervalPassed(qint64 interval) const;
    void markPainted();

private:
    struct Private;
    void DrawCircleImage(QPainter& painter, const QImage& image, const QRect& rect, bool fill, int c);
    void rebuildDataBrushIfNeeded();
    void fitToBottomImage();
    std::unique_ptr<Private> d;
};

class QZOBaseSlider : public QZOBaseProgress {
    Q_OBJECT
public:
    explicit QZOBaseSlider(QWidget* parent = nullptr);
    ~QZOBaseSlider() override;

    bool setBtnImage(const QString& path);
    void setOffset(int topLeft, int rightBottom) override;
    QZOBaseButton* getButton() const;
    void setBtnOffset(int offset);
    void setEnabledPull(bool on);
    bool enablePull() const;

public slots:
    void setValue(double value);
    void setValue(int value) { setValue(static_cast<double>(value)); }
    void btnMouseMove(QMouseEvent* event, int mapValue);
    void btnMouseDown(QMouseEvent* event, int mapValue);
    void btnMouseRelease(QMouseEvent* event, int mapValue);

signals:
    // The value as a fraction of the range.
    void sendProgressValue(double fraction);
    void sendPressEvent(QMouseEvent* event);
    void sendReleseEvent(QMouseEvent* event);

protected:
    virtual void calcBtnPostion();
    virtual void OnKeyLeftDown();
    virtual void OnKeyRightUp();
    void geometryStateChanged() override { calcBtnPostion(); }
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void enterEvent(QEvent*) override {}
    void leaveEvent(QEvent*) override {}

private:
    QPoint localPoint(QMouseEvent* event) const;
    bool isValidRange(const QPoint& point) const;
    int correctPoint(const QPoint& point) const;
    void PointToValue(const QPoint& point);
    QPoint valueToPoint() const;

    bool m_enablePull = true;
    QZOBaseButton* m_button = nullptr;  // a child: Qt owns it
    int m_btnOffset = 0;
};

#endif
