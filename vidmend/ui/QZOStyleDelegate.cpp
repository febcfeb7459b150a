#include "QZOStyleDelegate.h"

#include <QAbstractItemModel>
#include <QFile>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPaintDevice>
#include <QStyleOptionButton>
#include <QStyleOptionProgressBar>
#include <QToolTip>

#include "IBaseChunk.h"
#include "QBaseDetailsModel.h"
#include "QBaseImageDraw.h"
#include "QChunkControl.h"
#include "QDelegateProgressbarStyle.h"

namespace {

constexpr int kRowRole = QBaseDetailsModel::kRowRole;          // 259
constexpr int kDeletedRole = QBaseDetailsModel::kDeletedRole;  // 260

QPoint EventPoint(QEvent* event)
{
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseMove:
    case QEvent::MouseButtonDblClick:
        return static_cast<QMouseEvent*>(event)->localPos().toPoint();
    default:
        return QPoint(-1, -1);
    }
}

// The models give colours as brushes or as colours.
QColor ColorOf(const QVariant& v)
{
    if (v.canConvert<QBrush>() && v.userType() == QMetaType::QBrush)
        return v.value<QBrush>().color();
    return v.value<QColor>();
}

QPoint EventGlobal(QEvent* event)
{
    return static_cast<QMouseEvent*>(event)->globalPos();
}

}  // namespace

// ---------------------------------------------------------------------------
// Cell buttons and progress bars.

QDelegateStyleWidget::QDelegateStyleWidget() : QProxyStyle() {}

void QDelegateStyleWidget::setButtonImage(const QImage& strip, bool nineGrid)
{
    m_strip = strip;
    m_nineGrid = nineGrid;
}

void QDelegateStyleWidget::drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                                       const QWidget* widget) const
{
    if (element == CE_PushButton && !m_strip.isNull()) {
        DrawButton(option, painter, widget);
        return;
    }
    QProxyStyle::drawControl(element, option, painter, widget);
}

void QDelegateStyleWidget::DrawButton(const QStyleOption* option, QPainter* painter, const QWidget* widget) const
{
    if (!option || option->version < 1 || option->type != QStyleOption::SO_Button)
        return;
    DrawBackground(option, painter, widget);
    DrawBottonText(option, painter, widget);
}

void QDelegateStyleWidget::DrawBackground(const QStyleOption* option, QPainter* painter, const QWidget*) const
{
    int quarter = 3;
    if (option->state & QStyle::State_MouseOver)
        quarter = 1;
    else if (option->state & QStyle::State_Sunken)
        quarter = 2;
    else if (option->state & QStyle::State_Enabled)
        quarter = 0;
    const int w = m_strip.width() / 4;
    QImage part = m_strip.copy(QRect(quarter * w, 0, w, m_strip.height()));
    part.setDevicePixelRatio(2.0);
    QBaseImageDraw::drawBtnImageBg(*painter, option->rect, part, m_nineGrid);
}

void QDelegateStyleWidget::DrawBottonText(const QStyleOption*, QPainter*, const QWidget*) const {}

QZOStyleButton::QZOStyleButton(QWidget* parent) : QPushButton(parent), m_style(new QDelegateStyleWidget)
{
    setStyle(m_style.get());
}

QZOStyleButton::~QZOStyleButton()
{
    // The style goes after the button stops using it.
    setStyle(nullptr);
}

bool QZOStyleButton::setButtonImage(const QString& path, const QString& selectedPath, bool nineGrid)
{
    if (!QFile::exists(path))
        return false;
    QImage normal(path);
    if (normal.isNull())
        return false;
    QImage selected;
    if (QFile::exists(selectedPath))
        selected.load(selectedPath);
    return setButtonImage(normal, selected, nineGrid);
}

bool QZOStyleButton::setButtonImage(const QImage& normal, const QImage& selected, bool nineGrid)
{
    if (normal.isNull())
        return false;
    m_normal = normal;
    m_normal.setDevicePixelRatio(2.0);
    m_selected = selected.isNull() ? normal : selected;
    m_selected.setDevicePixelRatio(2.0);
    m_style->setButtonImage(m_normal, nineGrid);
    resize(normal.width() / 8, normal.height() / 2);
    m_style->setButtonRect(rect());
    return true;
}

void QZOStyleButton::SetBgSelected(bool selected)
{
    QImage strip = selected ? m_selected : m_normal;
    strip.setDevicePixelRatio(2.0);
    m_style->setButtonImage(strip, m_style->nineGrid());
    update();
}

void QZOStyleButton::clickWidgt(const QModelIndex& index)
{
    emit emitClickIndex(index);
}

QZOStyleProgress::QZOStyleProgress(QWidget* parent) : QProgressBar(parent), m_style(new QDelegateProgressbarStyle(nullptr))
{
    setStyle(m_style.get());
    QPalette p = palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        p.setColor(group, QPalette::Window, QColor(230, 230, 230));
        p.setColor(group, QPalette::Highlight, QColor(6, 176, 37));
        p.setColor(group, QPalette::Base, QColor(6, 176, 37, 0));
        p.setColor(group, QPalette::AlternateBase, QColor(255, 0, 0, 0));
    }
    setPalette(p);
    setAttribute(Qt::WA_TranslucentBackground);
}

QZOStyleProgress::~QZOStyleProgress()
{
    setStyle(nullptr);
}

// ---------------------------------------------------------------------------
// A column's widgets.

bool QDelegateControl::addButton(QZOStyleButton* button)
{
    m_widgets.append(button);
    m_total += button ? button->width() : 0;
    return true;
}

bool QDelegateControl::addProgress(QZOStyleProgress* progress)
{
    m_widgets.append(progress);
    m_total += progress ? progress->width() : 0;
    return true;
}

void QDelegateControl::refreshAllWidgetWidth()
{
    m_total = 0;
    for (QWidget* w : m_widgets)
        m_total += w ? w->width() : 0;
}

std::vector<QRect> QDelegateControl::Layout(const QRect& cell, const std::vector<QWidget*>& widgets,
                                            const std::vector<bool>& laid, int spacing, int groupWidth,
                                            int alignment)
{
    std::vector<QRect> rects(widgets.size());
    int base = 0;
    if (alignment & 0x84)
        base = (cell.width() - groupWidth) / 2;
    else if (alignment & 0x2)
        base = cell.width() - groupWidth;
    int before = 0, i = 0;
    for (size_t k = 0; k < widgets.size(); ++k) {
        QWidget* w = widgets[k];
        if (!w || !laid[k])
            continue;
        const int x = cell.x() + base + before + i * spacing;
        const int y = cell.y() + (cell.height() - w->height()) / 2;
        rects[k] = QRect(QPoint(x, y), w->size());
        before += w->width();
        ++i;
    }
    return rects;
}

std::vector<QRect> QDelegateControl::LayoutAll(const QRect& cell) const
{
    const std::vector<QWidget*> widgets(m_widgets.begin(), m_widgets.end());
    const int group = allWidgetWidth() + (count() - 1) * drawSpacing();
    return Layout(cell, widgets, std::vector<bool>(widgets.size(), true), drawSpacing(), group, drawAlignment());
}

// ---------------------------------------------------------------------------
// The base delegate.

QZOBaseStyleDelegate::QZOBaseStyleDelegate(QObject* parent) : QStyledItemDelegate(parent) {}

QZOBaseStyleDelegate::~QZOBaseStyleDelegate() = default;

IBaseChunk* QZOBaseStyleDelegate::RowOf(const QModelIndex& index)
{
    return index.isValid() ? static_cast<IBaseChunk*>(index.data(kRowRole).value<void*>()) : nullptr;
}

bool QZOBaseStyleDelegate::addButtonWidget(QDelegateControl* control)
{
    if (!control)
        return false;
    m_controls[control->column()] = control;
    return true;
}

void QZOBaseStyleDelegate::setHoverRow(int row)
{
    m_hoverRow = row;
    if (row == -1)
        QGuiApplication::restoreOverrideCursor();
}

void QZOBaseStyleDelegate::setCheckboxImage(const QString& unchecked, const QString& partially, const QString& checked)
{
    const QString paths[3] = {unchecked, partially, checked};
    for (int i = 0; i < 3; ++i) {
        m_boxImages[i].reset();
        // An empty path leaves that state without an image; nothing is
        // loaded from it.
        if (paths[i].isEmpty())
            continue;
        auto image = std::make_unique<QImage>(paths[i]);
        if (image->isNull())
            continue;
        image->setDevicePixelRatio(2.0);
        m_boxImages[i] = std::move(image);
    }
    m_boxWidth = m_boxImages[2] ? m_boxImages[2]->width() / 2 : 0;
    m_boxHeight = m_boxImages[2] ? m_boxImages[2]->height() / 2 : 0;
}

void QZOBaseStyleDelegate::setCheckboxOffest(int left, int top, int right, int bottom)
{
    m_hit[0] = left;
    m_hit[1] = top;
    m_hit[2] = right;
    m_hit[3] = bottom;
}

void QZOBaseStyleDelegate::getCheckboxOffest(int& left, int& top, int& right, int& bottom) const
{
    left = m_hit[0];
    top = m_hit[1];
    right = m_hit[2];
    bottom = m_hit[3];
}

QRect QZOBaseStyleDelegate::CheckboxRect(const QRect& cell) const
{
    const int x = m_boxPos.x() == -1 ? 5 : m_boxPos.x();
    const int y = m_boxPos.y() == -1 ? (cell.height() - m_boxHeight) / 2 : m_boxPos.y();
    return QRect(cell.x() + x, cell.y() + y, m_boxWidth, m_boxHeight);
}

void QZOBaseStyleDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    QStyleOptionViewItem opt(option);
    opt.state &= ~QStyle::State_HasFocus;
    const bool deleted = index.isValid() && index.data(kDeletedRole).toBool();
    const QColor highlighted = deleted ? ColorOf(index.data(Qt::ForegroundRole)) : m_selectedText;
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        opt.palette.setColor(group, QPalette::Highlight, m_selectedBg);
        opt.palette.setColor(group, QPalette::HighlightedText, highlighted);
    }
    QStyledItemDelegate::paint(painter, opt, index);
    DrawCheckbox(painter, opt, index);
    drawBottomLine(painter, opt, index);
    drawControl(painter, opt, index);
}

void QZOBaseStyleDelegate::DrawCheckbox(QPainter* painter, const QStyleOptionViewItem& option,
                                        const QModelIndex& index) const
{
    IBaseChunk* row = RowOf(index);
    if (!index.isValid() || index.column() != m_checkColumn || !row)
        return;
    const QRect cell = option.rect;
    const bool selected = option.state & QStyle::State_Selected;
    painter->save();
    painter->fillRect(cell, selected ? m_selectedBg : ColorOf(index.data(Qt::BackgroundRole)));
    const QRect box = CheckboxRect(cell);
    const QRect textRect(QPoint(box.right() + 1 + m_checkTextSpacing, cell.top()), QPoint(cell.right() - 5, cell.bottom()));
    const QVariant align = index.data(Qt::TextAlignmentRole);
    const int alignment = align.isValid() ? align.toInt() : 0x81;
    const QVariant font = index.data(Qt::FontRole);
    if (font.isValid())
        painter->setFont(font.value<QFont>());
    const bool deleted = index.data(kDeletedRole).toBool();
    painter->setPen(selected && !deleted ? m_selectedText : ColorOf(index.data(Qt::ForegroundRole)));
    painter->setRenderHint(QPainter::TextAntialiasing);
    const QString text = painter->fontMetrics().elidedText(index.data(Qt::DisplayRole).toString(), Qt::ElideRight,
                                                           std::max(0, textRect.width()));
    painter->drawText(textRect, alignment, text);
    const int state = row->GetCheck();
    const QImage* image = m_boxImages[state == 0 ? 0 : state == 1 ? 1 : 2].get();
    if (image)
        QBaseImageDraw::drawImage(*painter, box, QRect(0, 0, image->width() / 2, image->height() / 2), *image);
    painter->restore();
}

void QZOBaseStyleDelegate::drawBottomLine(QPainter* painter, const QStyleOptionViewItem& option,
                                          const QModelIndex&) const
{
    if (!m_drawLine)
        return;
    const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
    const int h = std::max(1, int(ratio));
    const QRect cell = option.rect;
    painter->fillRect(QRect(cell.left(), cell.bottom() - h + 1, cell.width(), h), m_lineColor);
}

void QZOBaseStyleDelegate::DrawButtonWidget(QPainter* painter, const QStyleOptionViewItem& option,
                                            QZOStyleButton* button, const QRect& rect, bool enabled) const
{
    button->SetBgSelected(option.state & QStyle::State_Selected);
    QStyleOptionButton opt;
    opt.rect = rect;
    opt.state = QStyle::State_Enabled;
    opt.iconSize = QSize(19, 17);
    opt.text = button->text();
    if (!enabled) {
        opt.state &= ~QStyle::State_Enabled;
    } else if (rect.contains(m_mousePoint)) {
        if (button->getBtnState() == 1)
            opt.state |= QStyle::State_MouseOver;
        else if (button->getBtnState() == 2)
            opt.state |= QStyle::State_Sunken;
    }
    button->style()->drawControl(QStyle::CE_PushButton, &opt, painter, button);
}

void QZOBaseStyleDelegate::drawControl(QPainter* painter, const QStyleOptionViewItem& option,
                                       const QModelIndex& index) const
{
    QDelegateControl* control = m_controls.value(index.column(), nullptr);
    if (!control || control->customDraw() || (control->hoverShow() && index.row() != m_hoverRow))
        return;
    const QList<QWidget*>& widgets = control->getDrawWidgetList();
    const std::vector<QRect> rects = control->LayoutAll(option.rect);
    const bool cellEnabled = index.data(Qt::EditRole).toBool();
    for (int i = 0; i < widgets.size(); ++i) {
        auto* button = qobject_cast<QZOStyleButton*>(widgets[i]);
        if (button && button->isShow())
            DrawButtonWidget(painter, option, button, rects[size_t(i)], cellEnabled);
    }
}

bool QZOBaseStyleDelegate::editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                                       const QModelIndex& index)
{
    IBaseChunk* row = RowOf(index);
    bool inBox = false;
    if (index.isValid() && index.column() == m_checkColumn && m_checkEnabled && row && row->getCheckEnable()) {
        const QRect hit = CheckboxRect(option.rect).adjusted(-m_hit[0], -m_hit[1], m_hit[2], m_hit[3]);
        inBox = hit.contains(EventPoint(event));
        if (event->type() == QEvent::MouseButtonPress && inBox) {
            emit emitCheckStateChange(index, row->GetCheck() != 2 ? 2 : 0);
            return true;
        }
        if (event->type() == QEvent::MouseButtonRelease)
            return true;
    }
    m_mouseInCtrl = inBox;
    return editorControlEvent(event, model, option, index);
}

void QZOBaseStyleDelegate::ButtonEvent(QEvent* event, QZOStyleButton* button, const QModelIndex& index,
                                       bool buttonEnabled, const QString& tooltip)
{
    switch (event->type()) {
    case QEvent::MouseButtonPress:
        m_mouseState = 2;
        button->setBtnState(2);
        break;
    case QEvent::MouseButtonRelease:
        m_mouseState = 1;
        button->setBtnState(1);
        if (buttonEnabled)
            button->clickWidgt(index);
        emit clickWidgt(index);
        break;
    case QEvent::MouseMove:
        m_mouseState = 1;
        button->setBtnState(1);
        if (!tooltip.isEmpty())
            QToolTip::showText(EventGlobal(event), tooltip);
        break;
    default:
        break;
    }
}

bool QZOBaseStyleDelegate::editorControlEvent(QEvent* event, QAbstractItemModel* model,
                                              const QStyleOptionViewItem& option, const QModelIndex& index)
{
    QDelegateControl* control = m_controls.value(index.column(), nullptr);
    if (!control) {
        m_mouseInCtrl = false;
        return QStyledItemDelegate::editorEvent(event, model, option, index);
    }
    m_mousePoint = EventPoint(event);
    const QList<QWidget*>& widgets = control->getDrawWidgetList();
    const std::vector<QRect> rects = control->LayoutAll(option.rect);
    const bool cellEnabled = index.data(Qt::EditRole).toBool();
    bool inside = false;
    for (int i = 0; i < widgets.size(); ++i) {
        auto* button = qobject_cast<QZOStyleButton*>(widgets[i]);
        if (!button)
            continue;
        m_mouseState = 0;
        button->setBtnState(0);
        if (!rects[size_t(i)].contains(m_mousePoint) || !button->isShow())
            continue;
        inside = true;
        ButtonEvent(event, button, index, cellEnabled, button->toolTip());
    }
    m_mouseInCtrl = inside;
    return inside;
}

// ---------------------------------------------------------------------------
// The delegate with per-row records.

QZOControlStyleDelegate::QZOControlStyleDelegate(QObject* parent) : QZOBaseStyleDelegate(parent) {}

std::vector<QZOControlStyleDelegate::Placed> QZOControlStyleDelegate::PlacedWidgets(const QRect& cell,
                                                                                  const QModelIndex& index) const
{
    std::vector<Placed> placed;
    QDelegateControl* control = m_controls.value(index.column(), nullptr);
    IBaseChunk* row = RowOf(index);
    if (!control || !row)
        return placed;
    QChunkControl* records = row->getChunkControl();
    std::vector<QWidget*> widgets;
    std::vector<bool> laid;
    int width = 0;
    for (QWidget* w : control->getDrawWidgetList()) {
        const QChunkControlAttribute* record = records->getControlAttribute(w);
        if (!w || !record || record->isHide)
            continue;
        widgets.push_back(w);
        laid.push_back(!record->isHoverShow || index.row() == m_hoverRow);
        width += w->width();
    }
    if (widgets.empty())
        return placed;
    const int group = width + (int(widgets.size()) - 1) * control->drawSpacing();
    const auto rects =
        QDelegateControl::Layout(cell, widgets, laid, control->drawSpacing(), group, control->drawAlignment());
    for (size_t i = 0; i < widgets.size(); ++i)
        if (laid[i])
            placed.push_back({widgets[i], rects[i]});
    return placed;
}

void QZOControlStyleDelegate::drawControl(QPainter* painter, const QStyleOptionViewItem& option,
                                          const QModelIndex& index) const
{
    QDelegateControl* control = m_controls.value(index.column(), nullptr);
    IBaseChunk* row = RowOf(index);
    if (!control || !row || control->customDraw() || (control->hoverShow() && index.row() != m_hoverRow))
        return;
    const bool cellEnabled = index.data(Qt::EditRole).toBool();
    QChunkControl* records = row->getChunkControl();
    for (const Placed& p : PlacedWidgets(option.rect, index)) {
        const QChunkControlAttribute* record = records->getControlAttribute(p.widget);
        if (record->type == ControlProgress) {
            auto* bar = qobject_cast<QProgressBar*>(p.widget);
            if (!bar)
                continue;
            QStyleOptionProgressBar opt;
            opt.rect = p.rect;
            opt.minimum = bar->minimum();
            opt.maximum = bar->maximum();
            opt.progress = static_cast<int>(record->progressValue);
            opt.text = QStringLiteral("%50");
            opt.textVisible = true;
            opt.state = QStyle::State_Enabled | QStyle::State_Horizontal | (option.state & QStyle::State_Selected);
            bar->style()->drawControl(QStyle::CE_ProgressBar, &opt, painter, bar);
            continue;
        }
        auto* button = qobject_cast<QZOStyleButton*>(p.widget);
        if (button && button->isShow())
            DrawButtonWidget(painter, option, button, p.rect, cellEnabled && record->isEnable);
    }
}

bool QZOControlStyleDelegate::editorControlEvent(QEvent* event, QAbstractItemModel* model,
                                                 const QStyleOptionViewItem& option, const QModelIndex& index)
{
    if (!index.isValid())
        return false;
    QDelegateControl* control = m_controls.value(index.column(), nullptr);
    IBaseChunk* row = RowOf(index);
    if (!control)
        m_mouseInCtrl = false;
    if (!row || !control || control->count() == 0)
        return QStyledItemDelegate::editorEvent(event, model, option, index);
    m_mousePoint = EventPoint(event);
    const bool cellEnabled = index.data(Qt::EditRole).toBool();
    QChunkControl* records = row->getChunkControl();
    bool inside = false, handled = false;
    for (const Placed& p : PlacedWidgets(option.rect, index)) {
        const QChunkControlAttribute* record = records->getControlAttribute(p.widget);
        auto* button = qobject_cast<QZOStyleButton*>(p.widget);
        if (record->type != ControlButton || !button)
            continue;
        m_mouseState = 0;
        button->setBtnState(0);
        if (!p.rect.contains(m_mousePoint) || !button->isShow())
            continue;
        inside = true;
        handled = true;
        ButtonEvent(event, button, index, cellEnabled && record->isEnable,
                    record->text.isEmpty() ? button->toolTip() : record->text);
        break;
    }
    m_mouseInCtrl = handled;
    return inside;
}
