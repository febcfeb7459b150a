// A proxy style that draws a progress bar as a circular gauge with its value
// text, for the progress cells of the item views.
#ifndef VIDMEND_QDELEGATEPROGRESSBARSTYLE_H
#define VIDMEND_QDELEGATEPROGRESSBARSTYLE_H

#include <QProxyStyle>

#include <memory>

#include "QRoundGaugeDraw.h"

class QStyleOptionProgressBar;

class QDelegateProgressbarStyle : public QProxyStyle {
    Q_OBJECT
public:
    explicit QDelegateProgressbarStyle(QStyle* base = nullptr);
    ~QDelegateProgressbarStyle() override;

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
    void setDecimals(int decimals);
    void setTextAlignment(int alignment);
    void setTextOffset(float x, float y);

    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget = nullptr) const override;

    virtual void DrawProgress(const QStyleOption* option, QPainter* painter, const QWidget* widget) const;
    virtual void DrawBackground(const QStyleOption* option, QPainter* painter, const QWidget* widget) const;
    virtual void drawBase(QPainter* painter, const QRectF& base, const QWidget* widget) const;
    virtual void DrawProgressValue(const QStyleOption* option, QPainter* painter, const QWidget* widget) const;
    virtual void DrawProgressText(const QStyleOption* option, QPainter* painter, const QWidget* widget) const;
    virtual QString valueToText(const QStyleOption* option) const;
    virtual void valueFormatChanged();
    virtual void drawRoundValue(const QStyleOption* option, QPainter* painter, const QWidget* widget,
                                const QRectF& base, double value, double arcLength) const;
    virtual void calculateInnerRect(const QRectF& base, double outerRadius, QRectF& innerRect,
                                    double& innerRadius) const;
    virtual void drawInnerBackground(QPainter* painter, const QWidget* widget, const QRectF& innerRect) const;

private:
    struct Private;
    // The option as a progress-bar option of version 2 or later, else null.
    static const QStyleOptionProgressBar* progressOption(const QStyleOption* option);
    bool drawsGauge(const QStyleOption* option) const;
    // The widget's palette, with the gradient as its highlight when colours are set.
    QPalette paletteFor(const QWidget* widget) const;
    std::unique_ptr<Private> d;
};

#endif
