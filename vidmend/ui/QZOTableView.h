// The list's table view: whole-row selection, a hover row shared with the
// models' draw attributes, tooltips after the pointer rests in a cell, and
// Return to act on the selection.
#ifndef VIDMEND_QZOTABLEVIEW_H
#define VIDMEND_QZOTABLEVIEW_H

#include <QDateTime>
#include <QPointer>
#include <QTableView>

class QAbstractItemDelegate;
class QBaseDetailsModel;
class QTimer;
class QZOBaseSortModel;

class QZOTableView : public QTableView {
    Q_OBJECT
public:
    explicit QZOTableView(QWidget* parent = nullptr);

    // These only remember the objects; the owner still sets the view's
    // model and delegate. A style delegate that offers the invokable
    // setHoverRow(int) and mouseInCtrlRect() hears of the hover row and
    // guards double clicks on its cell controls.
    void setSourceModel(QBaseDetailsModel* model) { m_sourceModel = model; }
    void setSortModel(QZOBaseSortModel* model) { m_sortModel = model; }
    void setStyleDelegate(QAbstractItemDelegate* delegate) { m_delegate = delegate; }
    void SetToolTip(bool on);
    void SetToolTipShowTime(int ms) { m_toolTipShowTime = ms; }
    bool mouseIsInCtrlRect() const;
    int hoverRow() const { return m_hoverRow; }
    int hoverColumn() const { return m_hoverColumn; }

signals:
    void emitCurrentChanged(const QModelIndex& current);
    void emitEnterSelect();

public slots:
    // True when (row, column) is another cell than the one under the pointer.
    virtual bool isReShowToolTipText(int row, int column);
    virtual QString showToolTipText(const QModelIndex& index);
    void showToolTip(int row, int column);
    void OnToolTipTimer();

protected slots:
    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;

protected:
    bool event(QEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void InitView();
    void updateRow(int row);
    void repaintRow(int row);
    void tellDelegateHoverRow(int row);

    int m_hoverRow = -1;
    int m_hoverColumn = -1;
    QPointer<QBaseDetailsModel> m_sourceModel;
    QPointer<QZOBaseSortModel> m_sortModel;
    QPointer<QAbstractItemDelegate> m_delegate;
    bool m_toolTipOn = false;
    int m_toolTipShowTime = 1000;
    QTimer* m_timer = nullptr;
    QDateTime m_enterTime;
    bool m_toolTipShown = false;
};

#endif
