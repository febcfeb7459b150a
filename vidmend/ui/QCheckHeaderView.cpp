#include "QCheckHeaderView.h"

#include "QZOBaseBoxDraw.h"

#include <QFileInfo>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>

namespace {

// A pixmap from a file that exists, or none.
std::unique_ptr<QPixmap> LoadPixmap(const QString& path)
{
    if (path.isEmpty() || !QFileInfo::exists(path)) {
        return nullptr;
    }
    return std::make_unique<QPixmap>(path);
}

}  // namespace

QCheckHeaderView::QCheckHeaderView(Qt::Orientation orientation, QWidget* parent) : QHeaderView(orientation, parent)
{
    setStretchLastSection(true);
    m_checkBox = new QZOCheckBox(this);
    m_checkBox->show();
    connect(m_checkBox, &QCheckBox::clicked, this, &QCheckHeaderView::OnClickCheckBox);
    connect(this, &QHeaderView::sectionResized, this, &QCheckHeaderView::placeCheckBox);
    connect(this, &QHeaderView::sectionMoved, this, &QCheckHeaderView::placeCheckBox);
    connect(this, &QHeaderView::geometriesChanged, this, &QCheckHeaderView::placeCheckBox);
    connect(this, &QHeaderView::sectionCountChanged, this, &QCheckHeaderView::placeCheckBox);
}

QCheckHeaderView::~QCheckHeaderView() = default;

void QCheckHeaderView::setCheckImage(const QString& checked, const QString& unchecked, const QString& partial)
{
    m_checkBox->setCheckImage(checked, unchecked, partial, false);
}

void QCheckHeaderView::setCheckState(Qt::CheckState state)
{
    m_checkBox->setCheckState(state);
}

Qt::CheckState QCheckHeaderView::getCheckState() const
{
    return m_checkBox->checkState();
}

void QCheckHeaderView::setCheckVisable(bool visible)
{
    m_checkBox->setVisible(visible);
}

bool QCheckHeaderView::getCheckVisable() const
{
    return !m_checkBox->isHidden();
}

void QCheckHeaderView::setCheckboxEnable(bool enable)
{
    m_checkBox->setEnabled(enable);
}

bool QCheckHeaderView::checkboxEnable() const
{
    return m_checkBox->isEnabled();
}

void QCheckHeaderView::setTristate(bool on)
{
    m_checkBox->setTristate(on);
}

bool QCheckHeaderView::isTristate() const
{
    return m_checkBox->isTristate();
}

void QCheckHeaderView::setCheckPos(int x, int y)
{
    m_checkX = x;
    m_checkY = y;
    placeCheckBox();
}

void QCheckHeaderView::setCheckInColumn(int column)
{
    m_checkColumn = column;
    placeCheckBox();
    updateSection(column);
}

bool QCheckHeaderView::setBackgroundImage(const QString& path)
{
    m_background = LoadPixmap(path);
    if (m_background && m_background->width() != 0) {
        setFixedHeight(m_background->height());
        return true;
    }
    return false;
}

bool QCheckHeaderView::setSlipImage(const QString& path)
{
    m_separator = LoadPixmap(path);
    return m_separator && m_separator->width() != 0;
}

bool QCheckHeaderView::setSelBackgroundImage(const QString& path)
{
    m_pressedBackground = LoadPixmap(path);
    return m_pressedBackground && m_pressedBackground->width() != 0;
}

bool QCheckHeaderView::setOrderFlagsImage(const QString& path)
{
    m_arrowMirrored.reset();
    m_arrow = LoadPixmap(path);
    if (!m_arrow) {
        return false;
    }
    m_arrowMirrored = std::make_unique<QPixmap>(QPixmap::fromImage(m_arrow->toImage().mirrored(false, true)));
    m_arrow->setDevicePixelRatio(2.0);
    m_arrowMirrored->setDevicePixelRatio(2.0);
    return m_arrowMirrored->width() != 0;
}

void QCheckHeaderView::setSortEnable(int column, bool enable)
{
    if (!enable) {
        if (!m_sortDisabled.contains(column)) {
            m_sortDisabled.append(column);
        }
    } else {
        m_sortDisabled.removeOne(column);
    }
}

bool QCheckHeaderView::sortEnable(int column) const
{
    return !m_sortDisabled.contains(column);
}

void QCheckHeaderView::OnClickCheckBox()
{
    if (m_checkBox->checkState() == Qt::PartiallyChecked) {
        m_checkBox->setCheckState(Qt::Checked);
        m_checkBox->update();
    }
    emit checkChange(m_checkBox->checkState() == Qt::Checked);
}

void QCheckHeaderView::OnStateChanged(int state)
{
    if (state == Qt::PartiallyChecked) {
        m_checkBox->setCheckState(m_checkBox->isTristate() ? Qt::PartiallyChecked : Qt::Unchecked);
    } else {
        m_checkBox->setCheckState(state != 0 ? Qt::Checked : Qt::Unchecked);
    }
    m_checkBox->update();
}

void QCheckHeaderView::placeCheckBox()
{
    if (m_checkColumn < 0 || m_checkColumn >= count()) {
        return;
    }
    const int x = sectionViewportPosition(m_checkColumn) + m_checkX;
    const int y = m_checkY == -1 ? (height() - m_checkBox->height()) / 2 : m_checkY;
    m_checkBox->move(x, y);
}

void QCheckHeaderView::resizeEvent(QResizeEvent* event)
{
    QHeaderView::resizeEvent(event);
    placeCheckBox();
}

void QCheckHeaderView::showEvent(QShowEvent* event)
{
    QHeaderView::showEvent(event);
    m_checkBox->adjustSize();
    placeCheckBox();
}

void QCheckHeaderView::paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const
{
    painter->save();
    painter->setRenderHint(QPainter::SmoothPixmapTransform, true);
    if (!m_background) {
        QHeaderView::paintSection(painter, rect, logicalIndex);
        painter->restore();
        return;
    }
    const bool pressed = m_pressedBackground && m_pressedSection == logicalIndex;
    painter->drawPixmap(rect, pressed ? *m_pressedBackground : *m_background);
    if (m_separator) {
        painter->drawPixmap(rect.right() + 1 - m_separator->width(),
                            rect.y() + (rect.height() - m_separator->height()) / 2, *m_separator);
    }
    const QString text = model() ? model()->headerData(logicalIndex, Qt::Horizontal, Qt::DisplayRole).toString()
                                 : QString();
    painter->setPen(m_textColor);
    painter->setFont(font());
    QRect textRect(rect.x() + 10, rect.y(), rect.right() - 10 - (rect.x() + 10), rect.height());
    if (logicalIndex == m_checkColumn && !m_checkBox->isHidden()) {
        const int left = rect.x() + m_checkX + m_checkBox->width() + 10;
        textRect = QRect(left, rect.y(), rect.right() - 10 - left, rect.height());
    }
    painter->drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter, text);
    if (isSortIndicatorShown() && sortIndicatorSection() == logicalIndex && m_arrow) {
        const QPixmap& arrow = sortIndicatorOrder() == Qt::DescendingOrder ? *m_arrowMirrored : *m_arrow;
        const int w = arrow.width();
        const int h = arrow.height();
        const int right = rect.right() - m_orderRightWidth;
        const int x = right - w / 2;
        const int y = rect.y() + (rect.height() - h / 2) / 2;
        painter->drawPixmap(QRect(x, y, right + 1 - x, h / 2), arrow);
    }
    painter->restore();
}

void QCheckHeaderView::mousePressEvent(QMouseEvent* event)
{
    if (m_pressedBackground) {
        m_pressedSection = logicalIndexAt(event->pos());
        updateSection(m_pressedSection);
    }
    QHeaderView::mousePressEvent(event);
}

void QCheckHeaderView::mouseReleaseEvent(QMouseEvent* event)
{
    if (m_pressedBackground) {
        const int section = m_pressedSection;
        m_pressedSection = -1;
        updateSection(section);
    }
    QHeaderView::mouseReleaseEvent(event);
}

void QCheckHeaderView::mouseMoveEvent(QMouseEvent* event)
{
    setSectionsClickable(sortEnable(logicalIndexAt(event->pos())));
    QHeaderView::mouseMoveEvent(event);
}
