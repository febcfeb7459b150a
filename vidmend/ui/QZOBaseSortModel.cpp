#include "QZOBaseSortModel.h"

#include <QLoggingCategory>

#include "IBaseChunk.h"
#include "QBaseDetailsModel.h"

// A trace of each check written through the proxy; off unless the rules of
// QT_LOGGING_RULES turn vidmend.itemviews.debug on.
Q_LOGGING_CATEGORY(lcItemViews, "vidmend.itemviews", QtInfoMsg)

QZOBaseSortModel::QZOBaseSortModel(QObject* parent) : QSortFilterProxyModel(parent) {}

IBaseChunk* QZOBaseSortModel::rowOf(const QModelIndex& sourceIndex)
{
    if (!sourceIndex.isValid()) {
        return nullptr;
    }
    // Through the row role, not the internal pointer: any source model that
    // hands out its rows so works, and another model's pointers are never
    // taken for rows.
    return static_cast<IBaseChunk*>(sourceIndex.data(QBaseDetailsModel::kRowRole).value<void*>());
}

void QZOBaseSortModel::setFilterIdSet(const QString& ids)
{
    if (ids == m_filterIds) {
        return;
    }
    beginResetModel();
    m_filterIds = ids;
    endResetModel();
}

void QZOBaseSortModel::setDeleteFilter(FilterDeleteMode mode)
{
    if (mode == m_deleteMode) {
        return;
    }
    beginResetModel();
    m_deleteMode = mode;
    endResetModel();
}

void QZOBaseSortModel::refreshIndex(const QModelIndex& index)
{
    if (index.isValid()) {
        emit dataChanged(index, index);
    }
}

int QZOBaseSortModel::getItemChangeState() const
{
    const int rows = rowCount();
    if (rows == 0) {
        return Qt::Unchecked;
    }
    int checked = 0;
    for (int r = 0; r < rows; ++r) {
        IBaseChunk* row = rowOf(mapToSource(index(r, 0)));
        if (row && row->GetCheck() != 0) {
            ++checked;
        }
    }
    if (checked == 0) {
        return Qt::Unchecked;
    }
    return checked == rows ? Qt::Checked : Qt::PartiallyChecked;
}

void QZOBaseSortModel::setFilterRegExp(const QRegExp& regExp)
{
    QSortFilterProxyModel::setFilterRegExp(regExp);
    OnItemStateChange();
}

QVariant QZOBaseSortModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid()) {
        return QVariant();
    }
    if (role == Qt::BackgroundRole) {
        return backgroundFor(index.row());
    }
    if (role == Qt::ForegroundRole) {
        IBaseChunk* row = rowOf(mapToSource(index));
        return foregroundFor(index.row(), row && row->isDeleted());
    }
    return QSortFilterProxyModel::data(index, role);
}

bool QZOBaseSortModel::setData(const QModelIndex& index, const QVariant& value, int role)
{
    if (!index.isValid() || index.column() != 0 || (role != Qt::UserRole && role != Qt::CheckStateRole)) {
        return QSortFilterProxyModel::setData(index, value, role);
    }
    IBaseChunk* row = rowOf(mapToSource(index));
    qCDebug(lcItemViews) << "---" << index.row();
    if (row && row->getCheckEnable()) {
        row->SetCheck(value.toInt());
        emit dataChanged(index, index);
    }
    return true;
}

void QZOBaseSortModel::sort(int column, Qt::SortOrder order)
{
    QSortFilterProxyModel::sort(column, order);
    emit emitSort(column, order);
}

void QZOBaseSortModel::setAllItemCheck(bool state)
{
    setAllItemCheck(state ? int(Qt::Checked) : int(Qt::Unchecked));
}

void QZOBaseSortModel::setAllItemCheck(int state)
{
    const int rows = rowCount();
    for (int r = 0; r < rows; ++r) {
        setData(index(r, 0), state, Qt::CheckStateRole);
    }
}

void QZOBaseSortModel::itemCheckStateChanged(const QModelIndex& index, int state)
{
    if (index.isValid()) {
        setData(index, state, Qt::CheckStateRole);
        OnItemStateChange();
    }
}

void QZOBaseSortModel::OnItemStateChange()
{
    if (rowCount() > 0) {
        emit itemCheckChange(getItemChangeState());
    }
}

bool QZOBaseSortModel::lessThan(const QModelIndex& left, const QModelIndex& right) const
{
    if (!left.isValid() || !right.isValid()) {
        return false;
    }
    // Texts in code-unit order, case-sensitive: "10" sorts before "9".
    return left.data(sortRole()).toString() < right.data(sortRole()).toString();
}

bool QZOBaseSortModel::filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const
{
    if (m_deleteMode == NoDeleteFilter && m_filterIds.isEmpty()) {
        return QSortFilterProxyModel::filterAcceptsRow(sourceRow, sourceParent);
    }
    QAbstractItemModel* source = sourceModel();
    IBaseChunk* row = source ? rowOf(source->index(sourceRow, 0, sourceParent)) : nullptr;
    if (!row) {
        return QSortFilterProxyModel::filterAcceptsRow(sourceRow, sourceParent);
    }
    if (m_deleteMode == OnlyNotDeleted && row->isDeleted()) {
        return false;
    }
    if (m_deleteMode == OnlyDeleted && !row->isDeleted()) {
        return false;
    }
    const std::string id = row->GetFilterId();
    const QString filterId = QString::fromLatin1(id.data(), static_cast<int>(id.size()));
    if (!filterId.isEmpty() && !m_filterIds.isEmpty() && m_filterIds.contains(filterId, Qt::CaseSensitive)) {
        return false;
    }
    return QSortFilterProxyModel::filterAcceptsRow(sourceRow, sourceParent);
}
