#include "QZOComboBox.h"

#include <QApplication>
#include <QFile>
#include <QFontMetrics>
#include <QFrame>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>

#include "QZOBaseButton.h"

namespace {

constexpr int kUserRole = Qt::UserRole;  // 256

QString ColorName(const QColor& c)
{
    return c.name();
}

}  // namespace

// ---------------------------------------------------------------------------
// A popup row.

QZOComboBoxItem::QZOComboBoxItem(QWidget* parent, QListWidgetItem* item)
    : QWidget(parent), QZOBaseRectImageDraw(this), m_item(item)
{
    setDrawTextMargins(5, 0, 0, 0);
    setBtnMode(true);
}

void QZOComboBoxItem::setItemAttribute(const QComboBoxItemAttribute& attribute)
{
    m_attribute = attribute;
    update();
}

int QZOComboBoxItem::index() const
{
    if (!m_item || !m_item->listWidget())
        return -1;
    return m_item->listWidget()->row(m_item);
}

int QZOComboBoxItem::calcItemWidth(const QString& text, const QFont& font) const
{
    const QMargins m = drawTextMargins();
    return QFontMetrics(font).horizontalAdvance(text) + m.left() + m.right() + 1;
}

void QZOComboBoxItem::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setPen(Qt::NoPen);
    setCheckState(false);
    QColor fill = m_attribute.bgColor;
    QListWidget* list = m_item ? m_item->listWidget() : nullptr;
    if (m_attribute.markCurrent) {
        if (list && list->currentItem() == m_item) {
            fill = m_attribute.selectedColor;
            setCheckState(true);
        } else if (m_hover) {
            fill = m_attribute.hoverColor;
        }
    } else if (m_hover) {
        fill = m_attribute.selectedColor;
    }
    painter.fillRect(rect(), fill);
    const int row = index();
    const int rows = list ? list->count() : 0;
    const int sp = m_attribute.spacing;
    if (sp > 0) {
        if (row > 0 && sp >= 2)
            painter.fillRect(QRect(0, 0, width(), sp / 2), m_attribute.spacingColor);
        if (row < rows - 1) {
            const int band = (sp + 1) / 2;
            painter.fillRect(QRect(0, height() - m_separatorHeight - band, width(), band), m_attribute.spacingColor);
        }
    }
    // A row has no background image of its own: it draws its icon and
    // text over the fill itself.
    painter.setPen(QPen());
    painter.setBrush(QBrush());
    if (m_item)
        setDrawText(m_item->text());
    if (alignment() != m_attribute.alignment)
        setAlignment(m_attribute.alignment);
    drawIcon(painter);
    drawRectText(painter);
    if (m_separatorHeight > 0)
        painter.fillRect(QRect(QPoint(1, height() - m_separatorHeight), QPoint(width() - 2, height() - 1)),
                         m_attribute.separatorColor);
}

void QZOComboBoxItem::enterEvent(QEvent* event)
{
    enterEventDraw();
    m_hover = true;
    QWidget::enterEvent(event);
    update();
}

void QZOComboBoxItem::leaveEvent(QEvent* event)
{
    leaveEventDraw();
    m_hover = false;
    QWidget::leaveEvent(event);
    update();
}

void QZOComboBoxItem::mousePressEvent(QMouseEvent* event)
{
    mousePressEventDraw(event);
    QWidget::mousePressEvent(event);
}

void QZOComboBoxItem::mouseReleaseEvent(QMouseEvent* event)
{
    mouseReleaseEventDraw(event);
    QWidget::mouseReleaseEvent(event);
}

void QZOComboBoxItem::changeEvent(QEvent* event)
{
    changeEventDraw();
    QWidget::changeEvent(event);
}

void QZOComboBoxItem::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (!m_widget)
        return;
    const QPoint p = m_attribute.widgetPos;
    const int x = p.x() < 0 ? 2 : p.x();
    const int y = p.y() < 0 ? (height() - m_widget->height()) / 2 : p.y();
    m_widget->move(x, y);
}

// ---------------------------------------------------------------------------
// The combo box.

struct QZOComboBox::Private {
    std::unique_ptr<QZOBaseButton> button;
    qint16 btnMargins[4] = {-1, -1, 0, 0};
    bool keepSize = true;
    QString keptSheet;
    int itemHeight = 19;
    int itemWidth = 0;
    int borderWidth = 0;
    QComboBoxItemAttribute attribute;
    QListWidget* list = nullptr;  // owned by the combo box once it is its view
    QRect iconRect;
    bool autoWidth = true;
    qint16 textMargins[4] = {1, 1, 1, 1};
    bool itemFontSet = false;
    QFont itemFont;
    bool itemColorsSet = false;
    QColor itemColors[4] = {Qt::black, Qt::black, Qt::black, Qt::black};
    QPoint popupOffset{0, 0};
};

QZOComboBox::QZOComboBox(QWidget* parent) : QComboBox(parent), QZOBaseRectImageDraw(this), d(new Private)
{
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    QZOBaseRectImageDraw::setTextColor(QApplication::palette().color(QPalette::Text));
    d->itemFont = font();
    connect(this, QOverload<const QString&>::of(&QComboBox::currentIndexChanged), this,
            &QZOComboBox::drawTextChange);
    connect(this, QOverload<int>::of(&QComboBox::currentIndexChanged), this, &QZOComboBox::currentIndexChangeSlot);
    d->keptSheet = styleSheet();
    setEditable(true);
    if (lineEdit())
        lineEdit()->hide();
    connect(this, &QZOComboBox::emitShowPopup, this, &QZOComboBox::showPopup);
}

QZOComboBox::~QZOComboBox() = default;

void QZOComboBox::AddItemWidget(QZOComboBoxItem*, int) {}

void QZOComboBox::removeItemWidgt(QZOComboBoxItem*) {}

void QZOComboBox::setShowText(const QString& text)
{
    setToolTip(text);
    setDrawText(text);
}

void QZOComboBox::InitMacStyle()
{
    setEditable(true);
    if (lineEdit())
        lineEdit()->hide();
}

bool QZOComboBox::customDrawn() const
{
    return d->list != nullptr;
}

QListWidget* QZOComboBox::popupList() const
{
    return d->list;
}

QString QZOComboBox::keptStyleSheet() const
{
    return d->keptSheet;
}

QZOBaseButton* QZOComboBox::dropDownButton() const
{
    return d->button.get();
}

template <typename F>
void QZOComboBox::forEachRow(F f) const
{
    if (!d->list)
        return;
    for (int i = 0; i < d->list->count(); ++i) {
        if (auto* row = qobject_cast<QZOComboBoxItem*>(d->list->itemWidget(d->list->item(i))))
            f(row, i);
    }
}

void QZOComboBox::applyLineEditStyle(QWidget* edit)
{
    if (!edit)
        return;
    edit->setStyleSheet(QStringLiteral("QLineEdit {background-color:transparent;border:none;color:%1}")
                            .arg(ColorName(d->itemColors[0])));
}

void QZOComboBox::setTextColor(const QColor& color)
{
    QZOBaseRectImageDraw::setTextColor(color);
    applyLineEditStyle(lineEdit());
}

void QZOComboBox::setTextColor(const QColor& normal, const QColor& hover, const QColor& pressed,
                               const QColor& disabled)
{
    QZOBaseRectImageDraw::setTextColor(normal, hover, pressed, disabled);
    if (!d->itemColorsSet) {
        d->itemColors[0] = normal;
        d->itemColors[1] = hover;
        d->itemColors[2] = pressed;
        d->itemColors[3] = disabled;
        forEachRow([&](QZOComboBoxItem* row, int) { row->setTextColor(normal, hover, pressed, disabled); });
    }
    applyLineEditStyle(lineEdit());
}

void QZOComboBox::createPopupList()
{
    if (d->list)
        return;
    // Rows added while the box was drawn by Qt become rows of the new list,
    // which replaces Qt's model.
    struct Row {
        QString text;
        QIcon icon;
        QVariant data;
    };
    QVector<Row> rows;
    for (int i = 0; i < count(); ++i)
        rows.push_back({itemText(i), itemIcon(i), itemData(i)});
    const int current = currentIndex();
    auto* list = new QListWidget;
    d->list = list;
    setModel(list->model());
    setView(list);
    for (int i = 0; i < rows.size(); ++i) {
        QImage image;
        if (!rows[i].icon.isNull())
            image = rows[i].icon.pixmap(rows[i].icon.availableSizes().value(0, QSize(16, 16))).toImage();
        insertItem(i, image.isNull() ? nullptr : &image, rows[i].text, rows[i].data);
    }
    if (current >= 0 && current < rows.size())
        setCurrentIndex(current);
}

bool QZOComboBox::setBackgroundImage(const QString& path)
{
    if (!QZOBaseRectImageDraw::setBackgroundImage(path))
        return false;
    d->keptSheet += QStringLiteral("QComboBox {background-color:transparent;border:none}");
    d->keptSheet += QStringLiteral("QComboBox QAbstractItemView{background-color:transparent;}");
    setStyleSheet(d->keptSheet);
    createPopupList();
    return true;
}

void QZOComboBox::setButtonImage(const QString& path, bool keepSize)
{
    d->button.reset();
    if (!QFile::exists(path))
        return;
    d->button = std::make_unique<QZOBaseButton>(this);
    d->button->setButtonImage(path, false);
    d->button->show();
    connect(d->button.get(), &QAbstractButton::clicked, this, &QZOComboBox::showPopup);
    connect(d->button.get(), &QAbstractButton::clicked, this, &QZOComboBox::emitClicked);
    d->keepSize = keepSize;
}

void QZOComboBox::setButtonKeepSize(bool keep)
{
    d->keepSize = keep;
    resetBtnLocation();
}

bool QZOComboBox::buttonKeepSize() const
{
    return d->keepSize;
}

void QZOComboBox::setBtnMargins(int left, int top, int right, int bottom)
{
    d->btnMargins[0] = static_cast<qint16>(left);
    d->btnMargins[1] = static_cast<qint16>(top);
    d->btnMargins[2] = static_cast<qint16>(right);
    d->btnMargins[3] = static_cast<qint16>(bottom);
    update();
    updateGeometry();
}

void QZOComboBox::setBtnMargins(const QMargins& m)
{
    setBtnMargins(m.left(), m.top(), m.right(), m.bottom());
}

void QZOComboBox::resetBtnLocation()
{
    QZOBaseButton* b = d->button.get();
    if (!b)
        return;
    int x = d->btnMargins[0];
    if (x < 0) {
        x = width() - b->width() - d->btnMargins[2];
        d->btnMargins[0] = static_cast<qint16>(x);
    }
    int y = d->btnMargins[1];
    if (y < 0) {
        y = (height() - b->height() - d->btnMargins[3]) / 2;
        d->btnMargins[1] = static_cast<qint16>(y);
    }
    if (d->keepSize)
        b->move(x, y);
    else
        b->setGeometry(QRect(QPoint(x, y), QPoint(width() - 1 - d->btnMargins[2], height() - 1 - d->btnMargins[3])));
}

void QZOComboBox::addItem(const QString& text, const QVariant& userData)
{
    if (customDrawn())
        addItem(nullptr, text, userData);
    else
        QComboBox::addItem(QIcon(), text, userData);
}

void QZOComboBox::addItem(QImage* image, const QString& text, const QVariant& userData)
{
    createPopupList();
    insertItem(d->list->count(), image, text, userData);
}

void QZOComboBox::insertItem(int index, QImage* image, const QString& text, const QVariant& userData)
{
    createPopupList();
    QListWidget* list = d->list;
    auto* item = new QListWidgetItem(list);
    auto* row = new QZOComboBoxItem(nullptr, item);
    row->setItemAttribute(d->attribute);
    row->setDrawTextMargins(d->textMargins[0], d->textMargins[1], d->textMargins[2], d->textMargins[3]);
    row->setFont(d->itemFont);
    row->setTextColor(d->itemColors[0], d->itemColors[1], d->itemColors[2], d->itemColors[3]);
    if (d->itemWidth == 0)
        d->itemWidth = width();
    item->setSizeHint(QSize(d->itemWidth, d->itemHeight));
    if (image) {
        item->setIcon(QIcon(QPixmap::fromImage(*image)));
        row->setRectIcon(*image);
    }
    row->setIconRect(d->iconRect);
    item->setText(text);
    item->setData(kUserRole, userData);
    list->takeItem(list->row(item));
    const int at = std::clamp(index, 0, list->count());
    list->insertItem(at, item);
    list->setItemWidget(item, row);
    AddItemWidget(row, at);
    if (list->count() == 1)
        drawTextChange(text);
}

void QZOComboBox::insertItem(int index, const QString& text, const QVariant& userData)
{
    if (customDrawn())
        insertItem(index, nullptr, text, userData);
    else
        QComboBox::insertItem(index, QIcon(), text, userData);
}

void QZOComboBox::addItems(const QStringList& texts)
{
    if (!customDrawn()) {
        QComboBox::addItems(texts);
        return;
    }
    for (const QString& t : texts)
        addItem(t, QVariant());
}

void QZOComboBox::insertItems(int index, const QStringList& texts)
{
    if (!customDrawn()) {
        QComboBox::insertItems(index, texts);
        return;
    }
    for (int i = 0; i < texts.size(); ++i)
        insertItem(index + i, nullptr, texts[i], QVariant());
}

void QZOComboBox::removeItem(int index)
{
    if (!customDrawn()) {
        QComboBox::removeItem(index);
        return;
    }
    QListWidgetItem* item = d->list->item(index);
    if (!item)
        return;
    auto* row = qobject_cast<QZOComboBoxItem*>(d->list->itemWidget(item));
    removeItemWidgt(row);
    d->list->removeItemWidget(item);
    delete item;
}

void QZOComboBox::setItemText(int index, const QString& text)
{
    QComboBox::setItemText(index, text);
    if (customDrawn() && index >= 0 && index < d->list->count()) {
        d->list->item(index)->setText(text);
        if (index == currentIndex())
            drawTextChange(text);
    }
}

void QZOComboBox::setEditable(bool editable)
{
    QComboBox::setEditable(editable);
    if (QLineEdit* edit = lineEdit()) {
        edit->show();
        applyLineEditStyle(edit);
        connect(edit, &QLineEdit::textChanged, this, &QZOComboBox::changeEditColor, Qt::UniqueConnection);
    }
}

void QZOComboBox::setFont(const QFont& font)
{
    QComboBox::setFont(font);
    if (!d->itemFontSet) {
        d->itemFont = font;
        forEachRow([&](QZOComboBoxItem* row, int) { row->setFont(font); });
    }
}

void QZOComboBox::setItemFont(const QFont& font)
{
    d->itemFontSet = true;
    d->itemFont = font;
    forEachRow([&](QZOComboBoxItem* row, int) { row->setFont(font); });
}

void QZOComboBox::setItemTextColor(const QColor& normal, const QColor& hover, const QColor& pressed,
                                   const QColor& disabled)
{
    d->itemColorsSet = true;
    d->itemColors[0] = normal;
    d->itemColors[1] = hover;
    d->itemColors[2] = pressed;
    d->itemColors[3] = disabled;
    forEachRow([&](QZOComboBoxItem* row, int) { row->setTextColor(normal, hover, pressed, disabled); });
}

void QZOComboBox::setItemTextColor(const QColor& color)
{
    setItemTextColor(color, color, color, color);
}

void QZOComboBox::setItemTextMargins(int left, int top, int right, int bottom)
{
    d->textMargins[0] = static_cast<qint16>(left);
    d->textMargins[1] = static_cast<qint16>(top);
    d->textMargins[2] = static_cast<qint16>(right);
    d->textMargins[3] = static_cast<qint16>(bottom);
    forEachRow([&](QZOComboBoxItem* row, int) { row->setDrawTextMargins(left, top, right, bottom); });
}

void QZOComboBox::setItemIconRect(const QRect& rect)
{
    d->iconRect = rect;
    forEachRow([&](QZOComboBoxItem* row, int) { row->setIconRect(rect); });
}

void QZOComboBox::refreshRows()
{
    forEachRow([&](QZOComboBoxItem* row, int) { row->setItemAttribute(d->attribute); });
}

void QZOComboBox::setItemHeight(int height)
{
    d->itemHeight = height;
    refreshRows();
}

int QZOComboBox::itemHeight() const
{
    return d->itemHeight;
}

void QZOComboBox::applyFragment(const QString& start, const QString& end, const QString& fragment)
{
    cutStyleString(d->keptSheet, start, end);
    d->keptSheet += fragment;
    setStyleSheet(d->keptSheet);
}

void QZOComboBox::setItemWidth(int width)
{
    d->autoWidth = false;
    d->itemWidth = width;
    applyFragment(QStringLiteral("QComboBox QAbstractItemView { min-height: 10px; min-width: "), QStringLiteral("px}"),
                  QStringLiteral("QComboBox QAbstractItemView { min-height: 10px; min-width: %1px}").arg(width));
    if (customDrawn())
        d->list->setMouseTracking(false);
}

int QZOComboBox::itemWidth() const
{
    return d->itemWidth;
}

void QZOComboBox::setItemBgColor(const QColor& color)
{
    if (color != d->attribute.bgColor) {
        d->attribute.bgColor = color;
        refreshRows();
    }
    applyFragment(QStringLiteral("QListView::item {background: "), QStringLiteral(";}"),
                  QStringLiteral("QListView::item {background: %1;}").arg(ColorName(color)));
}

void QZOComboBox::setItemHoverColor(const QColor& color)
{
    if (color != d->attribute.hoverColor) {
        d->attribute.hoverColor = color;
        d->attribute.markCurrent = true;
        refreshRows();
    }
    applyFragment(QStringLiteral("QListView::item:hover {background: "), QStringLiteral(";}"),
                  QStringLiteral("QListView::item:hover {background: %1;}").arg(ColorName(color)));
}

QColor QZOComboBox::itemHoverColor() const
{
    return d->attribute.hoverColor;
}

void QZOComboBox::setItemSelectedColor(const QColor& color)
{
    if (color != d->attribute.selectedColor) {
        d->attribute.selectedColor = color;
        refreshRows();
    }
    applyFragment(QStringLiteral("QListView::item:selected{background-color: "), QStringLiteral(";}"),
                  QStringLiteral("QListView::item:selected{background-color: %1;}").arg(ColorName(color)));
}

void QZOComboBox::setItemBorder(int width, const QColor& color)
{
    d->borderWidth = width;
    applyFragment(QStringLiteral("QComboBox QAbstractItemView{background-color:gray; border: "), QStringLiteral("}"),
                  QStringLiteral("QComboBox QAbstractItemView{background-color:gray; border: %1px solid %2}")
                      .arg(width)
                      .arg(ColorName(color)));
    if (customDrawn())
        d->list->setMouseTracking(false);
}

void QZOComboBox::setItemSpacing(int spacing, const QColor& color)
{
    if (spacing == d->attribute.spacing && color == d->attribute.spacingColor)
        return;
    d->attribute.spacing = spacing;
    d->attribute.spacingColor = color;
    refreshRows();
}

void QZOComboBox::setItemAlignment(int alignment)
{
    if (alignment == d->attribute.alignment)
        return;
    d->attribute.alignment = alignment;
    refreshRows();
}

void QZOComboBox::setSeparatorColor(const QColor& color)
{
    if (color == d->attribute.separatorColor)
        return;
    d->attribute.separatorColor = color;
    refreshRows();
}

void QZOComboBox::addSeparator()
{
    if (!d->list || d->list->count() == 0)
        return;
    QListWidgetItem* last = d->list->item(d->list->count() - 1);
    if (auto* row = qobject_cast<QZOComboBoxItem*>(d->list->itemWidget(last)))
        row->setSeparatorHeight(1);
}

void QZOComboBox::setItemSeparator(int index, bool on)
{
    if (!IsValid(index))
        return;
    if (auto* row = qobject_cast<QZOComboBoxItem*>(d->list->itemWidget(d->list->item(index))))
        row->setSeparatorHeight(on ? 1 : 0);
}

void QZOComboBox::setItemWidgtPos(const QPoint& pos)
{
    if (pos == d->attribute.widgetPos)
        return;
    d->attribute.widgetPos = pos;
    forEachRow([&](QZOComboBoxItem* row, int) { row->setWidgtPos(pos); });
}

QPoint QZOComboBox::itemWidgtPos() const
{
    return d->attribute.widgetPos;
}

QWidget* QZOComboBox::getItemWidgt(int index) const
{
    if (!IsValid(index))
        return nullptr;
    auto* row = qobject_cast<QZOComboBoxItem*>(d->list->itemWidget(d->list->item(index)));
    return row ? row->getWidgt() : nullptr;
}

bool QZOComboBox::IsValid(int index) const
{
    // Before the box is custom drawn it has no popup list, and no row is.
    return d->list && index >= 0 && index < d->list->count();
}

void QZOComboBox::setPopupOffestPoint(const QPoint& offset)
{
    d->popupOffset = offset;
}

bool QZOComboBox::cutStyleString(QString& sheet, const QString& start, const QString& end)
{
    const int at = sheet.indexOf(start, 0, Qt::CaseSensitive);
    if (at < 0)
        return false;
    const QString left = sheet.left(at);
    QString rest = sheet.mid(at + start.size());
    const int e = rest.indexOf(end, 0, Qt::CaseSensitive);
    if (e >= 0)
        rest = rest.mid(e + end.size());
    sheet = left + rest;
    return true;
}

int QZOComboBox::calcItemMaxWidth() const
{
    int w = width() - 2 * d->borderWidth;
    forEachRow([&](QZOComboBoxItem* row, int i) {
        w = std::max(w, row->calcItemWidth(d->list->item(i)->text(), d->itemFont));
    });
    return w;
}

void QZOComboBox::resetItemSize()
{
    if (!d->list)
        return;
    if (d->itemWidth == 0)
        d->itemWidth = width();
    if (d->autoWidth) {
        setItemWidth(calcItemMaxWidth());
        d->autoWidth = true;
    }
    const int n = d->list->count();
    const int sp = d->attribute.spacing;
    for (int i = 0; i < n; ++i) {
        QListWidgetItem* item = d->list->item(i);
        auto* row = qobject_cast<QZOComboBoxItem*>(d->list->itemWidget(item));
        int extra = (i > 0 && sp > 1) ? sp / 2 : 0;
        if (i < n - 1)
            extra += (sp + 1) / 2;
        if (row)
            extra += row->separatorHeight();
        item->setSizeHint(QSize(d->itemWidth, d->itemHeight + extra));
        if (row)
            row->setFixedWidth(d->itemWidth);
    }
}

void QZOComboBox::showPopup()
{
    resetBtnState();
    resetItemSize();
    QComboBox::showPopup();
    applyLineEditStyle(lineEdit());
    if (d->popupOffset != QPoint(0, 0)) {
        // The popup starts directly under the box; only its x moves.
        if (QFrame* container = findChild<QFrame*>()) {
            const int y = mapToGlobal(QPoint(0, 0)).y() + height();
            container->move(container->x() + d->popupOffset.x(), y);
        }
    }
    if (d->list)
        d->list->scrollToTop();
}

void QZOComboBox::hidePopup()
{
    if (d->list)
        d->list->scrollToTop();
    QComboBox::hidePopup();
}

void QZOComboBox::changeEditColor(const QString&)
{
    applyLineEditStyle(qobject_cast<QWidget*>(sender()));
}

void QZOComboBox::drawTextChange(const QString& text)
{
    setShowText(text);
}

void QZOComboBox::currentIndexChangeSlot(int) {}

void QZOComboBox::paintEvent(QPaintEvent* event)
{
    if (!isCustomDraw()) {
        QComboBox::paintEvent(event);
        return;
    }
    QLineEdit* edit = lineEdit();
    setTextDrawable(edit && edit->isHidden() ? true : !isEditable());
    if (QZOBaseButton* b = d->button.get()) {
        const QMargins m = drawTextMargins();
        if (b->x() > width() / 2 && width() - b->x() > m.right())
            setDrawTextMargins(m.left(), m.top(), width() - b->x(), m.bottom());
    }
    if (isEditable() && edit) {
        const QMargins m = drawTextMargins();
        const QRect target(QPoint(m.left(), m.top()), QPoint(width() - 1 - m.right(), height() - 1 - m.bottom()));
        // The line edit is placed when its place changed; placing it from
        // every paint would repaint for ever.
        if (edit->geometry() != target && edit->x() != m.left()) {
            edit->setGeometry(target);
            applyLineEditStyle(edit);
        }
    }
    QZOBaseRectImageDraw::paintEvent();
}

void QZOComboBox::showEvent(QShowEvent* event)
{
    QComboBox::showEvent(event);
    resetBtnLocation();
}

void QZOComboBox::resizeEvent(QResizeEvent* event)
{
    QComboBox::resizeEvent(event);
    resetBtnLocation();
}

void QZOComboBox::mousePressEvent(QMouseEvent* event)
{
    if (d->button && isEditable()) {
        emit emitClicked();
        return;
    }
    mousePressEventDraw(event);
    QComboBox::mousePressEvent(event);
    emit emitClicked();
}

void QZOComboBox::mouseReleaseEvent(QMouseEvent* event)
{
    mouseReleaseEventDraw(event);
    QComboBox::mouseReleaseEvent(event);
    if (lineEdit() && lineEdit()->isHidden())
        emit emitShowPopup();
}

void QZOComboBox::enterEvent(QEvent* event)
{
    enterEventDraw();
    QComboBox::enterEvent(event);
}

void QZOComboBox::leaveEvent(QEvent* event)
{
    leaveEventDraw();
    QComboBox::leaveEvent(event);
}

void QZOComboBox::changeEvent(QEvent* event)
{
    changeEventDraw();
    QComboBox::changeEvent(event);
}
