// The thin scroll bar: a Qt scroll bar on a translucent background, painted by
// its own proxy style from one record of colours and sizes. The handle is a
// rounded bar; while the pointer is over the bar a rounded track shows behind it.
#ifndef VIDMEND_QZOSCROLLBAR_H
#define VIDMEND_QZOSCROLLBAR_H

#include <QColor>
#include <QImage>
#include <QProxyStyle>
#include <QScrollBar>

class QStyleOptionSlider;

struct QZOScrollBarStyleAttribute {
    QColor grooveColor{240, 240, 240};
    QColor trackColor{149, 149, 153};
    QImage image;  // kept and copied, not drawn
    int barWidth = 11;
    bool alwaysShowTrack = false;
    QColor arrowBgColor{240, 240, 240};
    // Kept and copied for the style functions; not drawn.
    QColor spareColor1{111, 115, 123};
    QColor spareColor2{89, 90, 93};
    QColor spareColor3{124, 125, 128};
    QColor spareColor4{240, 240, 240};
    int spareValue = 1;
    QColor handleColor{96, 96, 96};
    QColor handlePressColor{96, 96, 96};
    QColor handleHoverColor{96, 96, 96};
    int handleInset = 0;    // across the thickness, on both sides
    int cornerRadius = -1;  // negative: half the bar's thickness
};

class QZOScrollBarStyle : public QProxyStyle {
    Q_OBJECT
public:
    // Without a base style the application's style is used.
    explicit QZOScrollBarStyle(QStyle* base = nullptr);
    ~QZOScrollBarStyle() override;

    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option, QPainter* painter,
                            const QWidget* widget = nullptr) const override;
    int pixelMetric(PixelMetric metric, const QStyleOption* option = nullptr,
                    const QWidget* widget = nullptr) const override;

    void drawScrollbar(const QStyleOptionComplex* option, QPainter* painter, const QWidget* widget) const;
    // A small arrow: direction 0 left, 1 right, 2 down, 3 up; others draw no arrow.
    static QImage createImage(const QSize& size, int direction, const QColor& color, bool border);

    QZOScrollBarStyleAttribute& attribute() { return *m_attribute; }
    const QZOScrollBarStyleAttribute& attribute() const { return *m_attribute; }

private:
    QZOScrollBarStyleAttribute* m_attribute;
};

class QZOScrollBar : public QScrollBar {
    Q_OBJECT
public:
    // The thickness of the bar across its length.
    static constexpr int kThickness = 10;

    explicit QZOScrollBar(QWidget* parent = nullptr);
    QZOScrollBar(Qt::Orientation orientation, QWidget* parent = nullptr);
    ~QZOScrollBar() override;

    void InitScrollBar();
    // Hides the base's; orientation changes made through the base (the
    // property, a scroll area) are caught in event() as well.
    void setOrientation(Qt::Orientation orientation);
    void setStyleAttribute(const QZOScrollBarStyleAttribute& attribute);
    QZOScrollBarStyleAttribute styleAttribute() const;

protected:
    bool event(QEvent* event) override;

private:
    void fixThickness();

    QZOScrollBarStyle* m_style = nullptr;
    int m_fixedFor = -1;  // the orientation the thickness was last fixed for
};

#endif
