// The framework's pop-up menu: frameless, on a translucent background, and
// painted by its own proxy style from one record of colours, images and sizes.
#ifndef VIDMEND_QZOMENU_H
#define VIDMEND_QZOMENU_H

#include <QColor>
#include <QIcon>
#include <QImage>
#include <QMenu>
#include <QProxyStyle>

#include <memory>

class QStyleOptionMenuItem;

struct QZOMenuStyleAttribute {
    QImage backgroundImage;
    int frameWidth = 3;
    QColor frameColor{225, 225, 225};
    QColor areaColor{225, 225, 225};
    QColor itemColor{225, 225, 225};
    QColor itemTextColor{0, 0, 0};
    QColor itemSelectColor{144, 200, 246};
    QColor itemTextSelectColor{255, 255, 255};
    QColor itemDisabledColor{225, 225, 225};
    QColor itemTextDisabledColor{109, 109, 109};
    QColor separatorColor{0, 223, 223};
    QImage radioImage;
    QImage uncheckedImage;
    QImage checkedImage;
    int iconSize = 15;
    int itemWidth = -1;
    int itemHeight = -1;
};

class QZOMenuStyle : public QProxyStyle {
    Q_OBJECT
public:
    explicit QZOMenuStyle(QStyle* base = nullptr);
    ~QZOMenuStyle() override;

    QZOMenuStyleAttribute* attribute() { return m_attr.get(); }

    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget = nullptr) const override;
    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget = nullptr) const override;
    int pixelMetric(PixelMetric metric, const QStyleOption* option = nullptr,
                    const QWidget* widget = nullptr) const override;
    QSize sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& size,
                           const QWidget* widget = nullptr) const override;

    static QColor mergedColors(const QColor& a, const QColor& b, int factor);

private:
    void drawSeparator(const QStyleOptionMenuItem* item, QPainter* painter) const;
    void drawCheckState(const QStyleOptionMenuItem* item, QPainter* painter, const QWidget* widget) const;
    void drawIcon(const QStyleOptionMenuItem* item, QPainter* painter, const QWidget* widget) const;
    void drawArrow(const QStyleOptionMenuItem* item, QPainter* painter, const QWidget* widget) const;
    void drawMenuText(const QStyleOptionMenuItem* item, QPainter* painter, const QWidget* widget) const;
    void _DrawMenuItem(const QStyleOptionMenuItem* item, QPainter* painter, const QWidget* widget) const;
    void drawCentredImage(QPainter* painter, const QRect& checkRect, const QImage& image) const;
    int checkColumnWidth(const QStyleOptionMenuItem* item, const QWidget* widget) const;

    std::unique_ptr<QZOMenuStyleAttribute> m_attr;
};

class QZOMenu : public QMenu {
    Q_OBJECT
public:
    explicit QZOMenu(const QString& title, QWidget* parent = nullptr);
    explicit QZOMenu(QWidget* parent = nullptr);
    ~QZOMenu() override;

    void InitMenu();
    QAction* addMenu(QZOMenu* menu) { return QMenu::addMenu(menu); }
    QZOMenu* addMenu(const QString& title);
    QZOMenu* addMenu(const QIcon& icon, const QString& title);

    void setStyleAttribute(const QZOMenuStyleAttribute* attribute);
    QZOMenuStyleAttribute* styleAttribute() const { return m_style->attribute(); }
    void setBackgroundImage(const QString& path, bool);
    void setRadioImage(const QString& path);
    void setCheckStateImage(const QString& checkedPath, const QString& uncheckedPath);
    void setFrameWidth(int width) { styleAttribute()->frameWidth = width; }
    void setFrameColor(const QColor& c) { styleAttribute()->frameColor = c; }
    void setAreaColor(const QColor& c) { styleAttribute()->areaColor = c; }
    void setSeparatorColor(const QColor& c) { styleAttribute()->separatorColor = c; }
    void setItemColor(const QColor& c) { styleAttribute()->itemColor = c; }
    void setItemTextColor(const QColor& c) { styleAttribute()->itemTextColor = c; }
    void setItemSelectColor(const QColor& c) { styleAttribute()->itemSelectColor = c; }
    void setItemTextSelectColor(const QColor& c) { styleAttribute()->itemTextSelectColor = c; }
    void setItemEabledColor(const QColor& c) { styleAttribute()->itemDisabledColor = c; }
    void setItemTextEabledColor(const QColor& c) { styleAttribute()->itemTextDisabledColor = c; }
    void setItemWidth(int width) { styleAttribute()->itemWidth = width; }
    void setItemHeight(int height) { styleAttribute()->itemHeight = height; }

private:
    std::unique_ptr<QZOMenuStyle> m_style;
};

#endif
