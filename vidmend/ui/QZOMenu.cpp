#include "QZOMenu.h"

#include "QBaseImageDraw.h"

#include <QComboBox>
#include <QFile>
#include <QFontInfo>
#include <QPainter>
#include <QStyleOptionMenuItem>

#include <algorithm>

namespace {

QImage ratio2Image(const QString& path)
{
    if (!QFile::exists(path))
        return QImage();
    QImage image(path);
    image.setDevicePixelRatio(2.0);
    return image;
}

bool isSelected(const QStyleOption* o)
{
    return (o->state & QStyle::State_Enabled) && (o->state & QStyle::State_Selected);
}

bool isDisabled(const QStyleOption* o)
{
    return !(o->state & QStyle::State_Enabled);
}

bool inComboBox(const QWidget* widget)
{
    return widget && qobject_cast<const QComboBox*>(widget->parentWidget());
}

}  // namespace

QZOMenuStyle::QZOMenuStyle(QStyle* base) : QProxyStyle(base), m_attr(new QZOMenuStyleAttribute) {}
QZOMenuStyle::~QZOMenuStyle() = default;

QColor QZOMenuStyle::mergedColors(const QColor& a, const QColor& b, int factor)
{
    QColor c;
    c.setRed(a.red() * factor / 100 + b.red() * (100 - factor) / 100);
    c.setGreen(a.green() * factor / 100 + b.green() * (100 - factor) / 100);
    c.setBlue(a.blue() * factor / 100 + b.blue() * (100 - factor) / 100);
    c.setAlpha(a.alpha());
    return c;
}

int QZOMenuStyle::pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const
{
    switch (metric) {
    case PM_MenuHMargin:
    case PM_MenuVMargin:
        return 0;
    case PM_MenuPanelWidth:
        return m_attr->frameWidth;
    case PM_SmallIconSize:
        return m_attr->iconSize;
    default:
        return QProxyStyle::pixelMetric(metric, option, widget);
    }
}

void QZOMenuStyle::drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                                 const QWidget* widget) const
{
    if (element != PE_FrameMenu) {
        QProxyStyle::drawPrimitive(element, option, painter, widget);
        return;
    }
    painter->save();
    if (!m_attr->backgroundImage.isNull())
        QBaseImageDraw::drawBtnImageBg(*painter, option->rect, m_attr->backgroundImage, true);
    else
        painter->fillRect(option->rect, m_attr->frameColor);
    painter->restore();
}

void QZOMenuStyle::drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                               const QWidget* widget) const
{
    if (element == CE_MenuItem) {
        if (const auto* item = qstyleoption_cast<const QStyleOptionMenuItem*>(option)) {
            _DrawMenuItem(item, painter, widget);
            return;
        }
    }
    if (element == CE_MenuEmptyArea) {
        painter->fillRect(option->rect, m_attr->areaColor);
        return;
    }
    QProxyStyle::drawControl(element, option, painter, widget);
}

QSize QZOMenuStyle::sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& size,
                                     const QWidget* widget) const
{
    const auto* item = qstyleoption_cast<const QStyleOptionMenuItem*>(option);
    if (type != CT_MenuItem || !item || (m_attr->itemWidth < 1 && m_attr->itemHeight < 1))
        return QProxyStyle::sizeFromContents(type, option, size, widget);
    int w = size.width(), h;
    if (item->menuItemType == QStyleOptionMenuItem::Separator) {
        w = 10;
        h = 2;
    } else {
        h = item->fontMetrics.height() + 8;
        if (!item->icon.isNull()) {
            const int iconSize = pixelMetric(PM_SmallIconSize, option, widget);
            h = std::max(h, item->icon.actualSize(QSize(iconSize, iconSize)).height() + 4);
        }
    }
    if (item->text.contains(QLatin1Char('\t')))
        w += 32;
    const bool checkable = item->menuHasCheckableItems;
    const int maxIcon = item->maxIconWidth;
    const int extra = ((checkable && maxIcon < 20) ? 20 - maxIcon : 0) + (maxIcon >= 1 ? maxIcon + 6 : 0);
    int width = m_attr->itemWidth >= 1 ? m_attr->itemWidth : w + extra + 52 + ((checkable || maxIcon > 0) ? 2 : 0);
    return QSize(width, m_attr->itemHeight >= 1 ? m_attr->itemHeight : h);
}

void QZOMenuStyle::_DrawMenuItem(const QStyleOptionMenuItem* item, QPainter* painter, const QWidget* widget) const
{
    painter->save();
    painter->setPen(Qt::NoPen);
    painter->fillRect(item->rect, m_attr->itemColor);
    if (item->menuItemType == QStyleOptionMenuItem::Separator) {
        drawSeparator(item, painter);
        return;
    }
    if (isSelected(item))
        painter->fillRect(item->rect, m_attr->itemSelectColor);
    if (!inComboBox(widget))
        drawCheckState(item, painter, widget);
    if (isDisabled(item))
        painter->fillRect(item->rect, m_attr->itemDisabledColor);
    drawIcon(item, painter, widget);
    drawMenuText(item, painter, widget);
    drawArrow(item, painter, widget);
    painter->restore();
}

void QZOMenuStyle::drawSeparator(const QStyleOptionMenuItem* item, QPainter* painter) const
{
    const QRect r = item->rect;
    const int cy = (r.top() + r.bottom()) / 2;
    int room = 0;
    if (!item->text.isEmpty()) {
        painter->setFont(item->font);
        const QRect textRect = QStyle::visualRect(item->direction, r,
                                                  QRect(QPoint(r.left() + 5, r.top()), QPoint(r.right() - 5, r.bottom())));
        proxy()->drawItemText(painter, textRect, Qt::AlignLeft | Qt::AlignVCenter, item->palette, true, item->text);
        room = item->fontMetrics.horizontalAdvance(item->text) + 5;
    }
    painter->setPen(m_attr->separatorColor);
    const QRect line(QPoint(r.left() + 5 + room, cy), QPoint(r.right() - 5, cy));
    const QRect v = QStyle::visualRect(item->direction, r, line);
    painter->drawLine(v.left(), cy, v.right(), cy);
    painter->restore();
}

void QZOMenuStyle::drawCentredImage(QPainter* painter, const QRect& checkRect, const QImage& image) const
{
    const int w = std::min(image.width() / 2, checkRect.width());
    const int h = std::min(image.height() / 2, checkRect.height());
    const QRect target(checkRect.x() + (checkRect.width() - w) / 2, checkRect.y() + (checkRect.height() - h) / 2, w, h);
    QBaseImageDraw::drawImage(*painter, target, QRect(QPoint(0, 0), QPoint(image.width() / 2 - 1, image.height() / 2 - 1)),
                              image);
}

void QZOMenuStyle::drawCheckState(const QStyleOptionMenuItem* item, QPainter* painter, const QWidget* widget) const
{
    if (item->checkType == QStyleOptionMenuItem::NotCheckable)
        return;
    const QRect r = item->rect;
    const int cy = (r.top() + r.bottom()) / 2;
    const QRect check = QStyle::visualRect(item->direction, r, QRect(QPoint(r.left() + 7, cy - 6), QPoint(r.left() + 20, cy + 7)));
    if (item->checkType == QStyleOptionMenuItem::Exclusive) {
        if (!item->checked)
            return;
        painter->setRenderHint(QPainter::Antialiasing);
        if (m_attr->radioImage.isNull()) {
            painter->setPen(Qt::NoPen);
            painter->setBrush(isSelected(item) ? m_attr->itemTextSelectColor : m_attr->itemTextColor);
            painter->drawEllipse(check.adjusted(4, 4, -4, -4));
        } else {
            drawCentredImage(painter, check, m_attr->radioImage);
        }
        return;
    }
    if (!item->icon.isNull())
        return;
    const QImage& image = item->checked ? m_attr->checkedImage : m_attr->uncheckedImage;
    if (!image.isNull()) {
        drawCentredImage(painter, check, image);
        return;
    }
    QStyleOptionButton button;
    button.QStyleOption::operator=(*item);
    button.rect = check;
    if (item->checked)
        button.state |= State_On;
    QProxyStyle::drawPrimitive(PE_IndicatorCheckBox, &button, painter, widget);
}

int QZOMenuStyle::checkColumnWidth(const QStyleOptionMenuItem* item, const QWidget* widget) const
{
    if (inComboBox(widget))
        return item->icon.isNull() ? 0 : item->maxIconWidth;
    return std::max(item->maxIconWidth, 20);
}

void QZOMenuStyle::drawIcon(const QStyleOptionMenuItem* item, QPainter* painter, const QWidget* widget) const
{
    const QRect r = item->rect;
    const int column = checkColumnWidth(item, widget);
    const QRect iconRect = QStyle::visualRect(item->direction, r, QRect(QPoint(r.left() + 4, r.top()), QPoint(r.left() + 3 + column, r.bottom())));
    if (item->icon.isNull())
        return;
    const QIcon::Mode mode = isDisabled(item) ? QIcon::Disabled : isSelected(item) ? QIcon::Active : QIcon::Normal;
    const QIcon::State state = item->checked ? QIcon::On : QIcon::Off;
    int size = pixelMetric(PM_SmallIconSize, item, widget);
    if (const auto* combo = widget ? qobject_cast<const QComboBox*>(widget->parentWidget()) : nullptr)
        size = combo->iconSize().width();
    painter->setPen(m_attr->itemTextColor);
    if (item->checkType != QStyleOptionMenuItem::NotCheckable && item->checked) {
        QStyleOption panel(*item);
        panel.rect = iconRect;
        panel.state |= State_Sunken;
        if (isSelected(item))
            panel.palette.setColor(QPalette::Button, mergedColors(m_attr->itemColor, m_attr->itemSelectColor, 50));
        QProxyStyle::drawPrimitive(PE_PanelButtonCommand, &panel, painter, widget);
    }
    const QPixmap pixmap = item->icon.pixmap(QSize(size, size), mode, state);
    const QSize logical = pixmap.size() / pixmap.devicePixelRatio();
    painter->drawPixmap(QRect(QPoint(iconRect.center().x() - logical.width() / 2 + 1,
                                     iconRect.center().y() - logical.height() / 2 + 1),
                              logical),
                        pixmap);
}

void QZOMenuStyle::drawMenuText(const QStyleOptionMenuItem* item, QPainter* painter, const QWidget* widget) const
{
    const QRect r = item->rect;
    const int column = checkColumnWidth(item, widget);
    const QColor color = isDisabled(item) ? m_attr->itemTextDisabledColor
                         : isSelected(item) ? m_attr->itemTextSelectColor
                                            : m_attr->itemTextColor;
    QString text = item->text;
    const int tab = item->tabWidth;
    QRect textRect(QPoint(r.left() + column + 7, r.top() + 8), QPoint(r.right() - 14 - tab, r.bottom() - 8));
    QRect vText = QStyle::visualRect(item->direction, r, textRect);
    int flags = Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine | Qt::TextDontClip | Qt::TextShowMnemonic;
    if (!proxy()->styleHint(SH_UnderlineShortcut, item, widget))
        flags = (flags & ~Qt::TextShowMnemonic) | Qt::TextHideMnemonic;
    QFont font = item->font;
    font.setPointSizeF(QFontInfo(item->font).pointSizeF());
    if (item->menuItemType == QStyleOptionMenuItem::DefaultItem)
        font.setWeight(75);
    painter->setFont(font);
    const bool etch = isDisabled(item) && !isSelected(item) && proxy()->styleHint(SH_EtchDisabledText, item, widget);
    const int tabAt = text.indexOf(QLatin1Char('\t'));
    if (tabAt >= 0) {
        const QString shortcut = text.mid(tabAt + 1);
        text = text.left(tabAt);
        const QRect shortcutRect = QStyle::visualRect(
            item->direction, r, QRect(QPoint(textRect.right(), r.top() + 8), QPoint(r.right(), r.bottom() - 8)));
        if (etch) {
            painter->setPen(m_attr->itemTextColor);
            painter->drawText(shortcutRect.translated(1, 1), flags, shortcut);
        }
        painter->setPen(color);
        painter->drawText(shortcutRect, flags, shortcut);
    }
    if (etch) {
        painter->setPen(item->palette.light().color());
        painter->drawText(vText.translated(1, 1), flags, text);
    }
    painter->setPen(color);
    painter->drawText(vText, flags, text);
}

void QZOMenuStyle::drawArrow(const QStyleOptionMenuItem* item, QPainter* painter, const QWidget*) const
{
    if (item->menuItemType != QStyleOptionMenuItem::SubMenu)
        return;
    const QRect r = item->rect;
    const int dim = (r.height() - 4) / 2;
    const int y = r.top() + r.height() / 2 - (r.height() - 4) / 4;
    const QRect arrow = QStyle::visualRect(item->direction, r, QRect(QPoint(r.right() - 2 - dim, y), QPoint(r.right() - 3, y + dim - 1)));
    QPolygon triangle;
    if (item->direction == Qt::RightToLeft)
        triangle << arrow.topRight() << QPoint(arrow.left(), arrow.center().y()) << arrow.bottomRight();
    else
        triangle << arrow.topLeft() << QPoint(arrow.right(), arrow.center().y()) << arrow.bottomLeft();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(Qt::NoPen);
    painter->setBrush(isSelected(item) ? m_attr->itemTextSelectColor : m_attr->itemTextColor);
    painter->drawPolygon(triangle);
}

QZOMenu::QZOMenu(const QString& title, QWidget* parent) : QMenu(title, parent)
{
    InitMenu();
}

QZOMenu::QZOMenu(QWidget* parent) : QMenu(parent)
{
    InitMenu();
}

QZOMenu::~QZOMenu()
{
    // The style goes after the menu stops using it.
    setStyle(nullptr);
}

void QZOMenu::InitMenu()
{
    setWindowFlags(Qt::Popup | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
    auto fresh = std::make_unique<QZOMenuStyle>();
    if (m_style)
        *fresh->attribute() = *m_style->attribute();
    setStyle(fresh.get());
    m_style = std::move(fresh);
}

QZOMenu* QZOMenu::addMenu(const QString& title)
{
    auto* menu = new QZOMenu(title, this);
    QMenu::addMenu(menu);
    return menu;
}

QZOMenu* QZOMenu::addMenu(const QIcon& icon, const QString& title)
{
    QZOMenu* menu = addMenu(title);
    menu->setIcon(icon);
    return menu;
}

void QZOMenu::setStyleAttribute(const QZOMenuStyleAttribute* attribute)
{
    if (attribute)
        *m_style->attribute() = *attribute;
}

void QZOMenu::setBackgroundImage(const QString& path, bool)
{
    styleAttribute()->backgroundImage = QFile::exists(path) ? QImage(path) : QImage();
    update();
}

void QZOMenu::setRadioImage(const QString& path)
{
    styleAttribute()->radioImage = ratio2Image(path);
}

void QZOMenu::setCheckStateImage(const QString& checkedPath, const QString& uncheckedPath)
{
    styleAttribute()->uncheckedImage = ratio2Image(uncheckedPath);
    styleAttribute()->checkedImage = ratio2Image(checkedPath);
}
