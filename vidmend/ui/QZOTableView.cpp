#include "QZOTableView.h"

#include <QAbstractItemDelegate>
#include <QCursor>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTimer>
#include <QToolTip>

#include "QBaseDetailsModel.h"
#include "QZOBaseSortModel.h"

QZOTableView::QZOTableView(QWidget* parent) : QTableView(parent)
{
    InitView();
    m_timer = new QTimer(this);
    connect(m_timer, &QTimer::timeout, this, &QZOTableView::OnToolTipTimer);
}

void QZOTableView::InitView()
{
    setAcceptDrops(true);
    setMouseTracking(true);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setDragDropMode(QAbstractItemView::DragDrop);
    verticalHeader()->hide();
    setAttribute(Qt::WA_MacShowFocusRect, false);
    setShowGrid(false);
    setSortingEnabled(true);
    setFrameShape(QFrame::NoFrame);
    verticalHeader()->setDefaultSectionSize(27);
    setContextMenuPolicy(Qt::CustomContextMenu);
}

void QZOTableView::SetToolTip(bool on)
{
    m_toolTipOn = on;
    m_timer->start(100);
}

bool QZOTableView::mouseIsInCtrlRect() const
{
    bool inside = false;
    if (m_delegate && m_delegate->metaObject()->indexOfMethod("mouseInCtrlRect()") >= 0) {
        QMetaObject::invokeMethod(m_delegate.data(), "mouseInCtrlRect", Qt::DirectConnection,
                                  Q_RETURN_ARG(bool, inside));
    }
    return inside;
}

void QZOTableView::tellDelegateHoverRow(int row)
{
    if (m_delegate && m_delegate->metaObject()->indexOfMethod("setHoverRow(int)") >= 0) {
        QMetaObject::invokeMethod(m_delegate.data(), "setHoverRow", Qt::DirectConnection, Q_ARG(int, row));
    }
}

bool QZOTableView::isReShowToolTipText(int row, int column)
{
    return row != m_hoverRow || column != m_hoverColumn;
}

QString QZOTableView::showToolTipText(const QModelIndex& index)
{
    if (!index.isValid()) {
        return QString();
    }
    QModelIndex source;
    if (m_sortModel) {
        source = m_sortModel->mapToSource(index);
    } else if (m_sourceModel) {
        source = index;
    }
    return source.isValid() ? source.data(Qt::DisplayRole).toString() : QString();
}

void QZOTableView::showToolTip(int row, int column)
{
    if (!m_toolTipOn || !model()) {
        return;
    }
    const QModelIndex cell = model()->index(row, column);
    if (!cell.isValid()) {
        return;
    }
    const QString text = showToolTipText(cell);
    if (!text.isEmpty()) {
        QToolTip::showText(QCursor::pos(), text, this);
    }
}

void QZOTableView::OnToolTipTimer()
{
    if (m_toolTipShown || !m_enterTime.isValid()) {
        return;
    }
    if (m_enterTime.msecsTo(QDateTime::currentDateTime()) > m_toolTipShowTime) {
        m_toolTipShown = true;
        showToolTip(m_hoverRow, m_hoverColumn);
    }
}

void QZOTableView::mouseMoveEvent(QMouseEvent* event)
{
    QTableView::mouseMoveEvent(event);
    const QModelIndex at = indexAt(event->pos());
    const int row = at.row();
    const int column = at.column();
    if (isReShowToolTipText(row, column)) {
        m_toolTipShown = false;
        m_enterTime = QDateTime::currentDateTime();
        QToolTip::showText(QPoint(0, 0), QString());
    }
    updateRow(row);
    m_hoverColumn = column;
}

void QZOTableView::repaintRow(int row)
{
    if (!model() || row < 0) {
        return;
    }
    for (int c = model()->columnCount() - 1; c >= 0; --c) {
        update(model()->index(row, c));
    }
}

void QZOTableView::updateRow(int row)
{
    if (row == m_hoverRow) {
        return;
    }
    if (m_sortModel) {
        m_sortModel->setHoverRow(row);
    }
    if (m_sourceModel) {
        m_sourceModel->setHoverRow(row);
    }
    if (m_sortModel || m_sourceModel) {
        repaintRow(m_hoverRow);
        repaintRow(row);
        m_hoverRow = row;
    }
    tellDelegateHoverRow(row);
}

void QZOTableView::leaveEvent(QEvent* event)
{
    QTableView::leaveEvent(event);
    if (m_sortModel) {
        m_sortModel->setHoverRow(-1);
    }
    tellDelegateHoverRow(-1);
    if (m_sourceModel) {
        m_sourceModel->setHoverRow(-1);
    }
    repaintRow(m_hoverRow);
    m_hoverRow = -1;
    m_hoverColumn = -1;
}

void QZOTableView::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Return) {
        if (selectionModel() && !selectionModel()->selectedRows(1).isEmpty()) {
            emit emitEnterSelect();
        }
        event->accept();
        return;
    }
    if (event->key() == Qt::Key_Tab) {
        QWidget::keyPressEvent(event);
        return;
    }
    QTableView::keyPressEvent(event);
}

void QZOTableView::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (mouseIsInCtrlRect()) {
        return;
    }
    QTableView::mouseDoubleClickEvent(event);
}

void QZOTableView::currentChanged(const QModelIndex& current, const QModelIndex& previous)
{
    QTableView::currentChanged(current, previous);
    if (current.isValid()) {
        emit emitCurrentChanged(current);
    }
}

bool QZOTableView::event(QEvent* event)
{
    const bool handled = QTableView::event(event);
    if (event->type() == QEvent::LayoutRequest || event->type() == QEvent::Resize) {
        int width = this->width();
        if (verticalScrollBar()->isVisible()) {
            width -= verticalScrollBar()->width();
        }
        viewport()->setMaximumWidth(width);
    }
    return handled;
}
