// The sort and filter proxy between a list model and its view: string
// sorting, hiding rows by filter id or by their deleted flag, row colours
// by the proxy's own row numbers, and the check-all summary of the visible
// rows.
#ifndef VIDMEND_QZOBASESORTMODEL_H
#define VIDMEND_QZOBASESORTMODEL_H

#include <QRegExp>
#include <QSortFilterProxyModel>

#include "QZOViewModelDrawAttribute.h"

class IBaseChunk;

class QZOBaseSortModel : public QSortFilterProxyModel, public QZOViewModelDrawAttribute {
    Q_OBJECT
public:
    enum FilterDeleteMode { NoDeleteFilter = 0, OnlyDeleted = 1, OnlyNotDeleted = 2 };

    explicit QZOBaseSortModel(QObject* parent = nullptr);

    // Identifiers to hide, written one after another (substring match).
    void setFilterIdSet(const QString& ids);
    QString filterIdSet() const { return m_filterIds; }
    void setDeleteFilter(FilterDeleteMode mode);
    FilterDeleteMode deleteFilter() const { return m_deleteMode; }
    void refreshIndex(const QModelIndex& index);
    void refreshCheckState() { OnItemStateChange(); }
    // 0 none, 1 some, 2 all of the visible rows checked; 0 without rows.
    int getItemChangeState() const;
    void setFilterRegExp(const QRegExp& regExp);

    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

signals:
    void emitSort(int column, Qt::SortOrder order);
    void itemCheckChange(int state);

public slots:
    virtual void setAllItemCheck(bool state);
    virtual void setAllItemCheck(int state);
    virtual void itemCheckStateChanged(const QModelIndex& index, int state);
    virtual void OnItemStateChange();

protected:
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

private:
    static IBaseChunk* rowOf(const QModelIndex& sourceIndex);

    QString m_filterIds;
    FilterDeleteMode m_deleteMode = NoDeleteFilter;
};

#endif
