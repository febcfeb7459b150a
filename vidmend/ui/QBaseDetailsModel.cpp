#include "QBaseDetailsModel.h"

#include "IBaseChunk.h"

QBaseDetailsModel::QBaseDetailsModel(QObject* parent) : QAbstractItemModel(parent) {}

void QBaseDetailsModel::setDatas(Rows* rows)
{
    beginResetModel();
    m_rows = rows;
    endResetModel();
}

void QBaseDetailsModel::insertRefeshLastRow(IBaseChunk* row)
{
    if (!m_rows || !row) {
        return;
    }
    const int at = static_cast<int>(m_rows->size());
    beginInsertRows(QModelIndex(), at, at);
    m_rows->push_back(row);
    endInsertRows();
}

void QBaseDetailsModel::refreshData(int row, int column)
{
    const QModelIndex cell = index(row, column);
    if (cell.isValid()) {
        emit dataChanged(cell, cell);
    }
}

void QBaseDetailsModel::refeshRow(int row)
{
    const QModelIndex first = index(row, 0);
    const QModelIndex last = index(row, columnCount() - 1);
    if (first.isValid() && last.isValid()) {
        emit dataChanged(first, last);
    }
}

void QBaseDetailsModel::refresh()
{
    beginResetModel();
    endResetModel();
}

void QBaseDetailsModel::setHeaderList(const QStringList& headers)
{
    // The column count follows the header texts: a change of it is a reset.
    if (headers.size() != m_headers.size()) {
        beginResetModel();
        m_headers = headers;
        endResetModel();
        return;
    }
    m_headers = headers;
    if (!m_headers.isEmpty()) {
        emit headerDataChanged(Qt::Horizontal, 0, m_headers.size() - 1);
    }
}

void QBaseDetailsModel::refreshColumn(int column)
{
    if (column >= 0 && column < m_headers.size()) {
        emit headerDataChanged(Qt::Horizontal, column, column);
    }
}

int QBaseDetailsModel::checkSummary() const
{
    if (!m_rows || m_rows->empty()) {
        return Qt::Checked;
    }
    size_t checked = 0;
    for (IBaseChunk* row : *m_rows) {
        if (row && row->GetCheck() != 0) {
            ++checked;
        }
    }
    if (checked == 0) {
        return Qt::Unchecked;
    }
    return checked == m_rows->size() ? Qt::Checked : Qt::PartiallyChecked;
}

void QBaseDetailsModel::refreshCheckState()
{
    OnItemStateChange();
}

void QBaseDetailsModel::OnItemStateChange()
{
    if (m_rows) {
        emit itemCheckChange(checkSummary());
    }
}

QModelIndex QBaseDetailsModel::index(int row, int column, const QModelIndex& parent) const
{
    if (parent.isValid() || !m_rows || row < 0 || static_cast<size_t>(row) >= m_rows->size()
        || column < 0 || column >= columnCount()) {
        return QModelIndex();
    }
    return createIndex(row, column, (*m_rows)[static_cast<size_t>(row)]);
}

QModelIndex QBaseDetailsModel::parent(const QModelIndex&) const
{
    return QModelIndex();
}

int QBaseDetailsModel::rowCount(const QModelIndex& parent) const
{
    if (parent.isValid() || !m_rows) {
        return 0;
    }
    return static_cast<int>(m_rows->size());
}

int QBaseDetailsModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_headers.size();
}

QVariant QBaseDetailsModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < m_headers.size()) {
        return m_headers.at(section);
    }
    return QVariant();
}

Qt::ItemFlags QBaseDetailsModel::flags(const QModelIndex& index) const
{
    if (!index.isValid()) {
        return Qt::NoItemFlags;
    }
    Qt::ItemFlags flags = Qt::ItemIsSelectable | Qt::ItemIsDropEnabled | Qt::ItemIsEnabled;
    if (index.column() == m_checkColumn) {
        flags |= Qt::ItemIsUserCheckable;
    }
    return flags;
}

QVariant QBaseDetailsModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.model() != this) {
        return QVariant();
    }
    auto* row = static_cast<IBaseChunk*>(index.internalPointer());
    if (!row) {
        return QVariant();
    }
    switch (role) {
    case Qt::EditRole:
        return row->getColumnEnable(index.column());
    case Qt::FontRole:
        return textFont();
    case Qt::BackgroundRole:
        return backgroundFor(index.row());
    case Qt::ForegroundRole:
        return foregroundFor(index.row(), row->isDeleted());
    case Qt::CheckStateRole:
        if (index.column() != m_checkColumn) {
            return QVariant();
        }
        return row->GetCheck() != 0 ? int(Qt::Checked) : int(Qt::Unchecked);
    case kRowRole:
        return QVariant::fromValue(static_cast<void*>(row));
    case kDeletedRole:
        return row->isDeleted();
    default:
        return QVariant();
    }
}

bool QBaseDetailsModel::setData(const QModelIndex& index, const QVariant& value, int role)
{
    if (!index.isValid() || index.model() != this || !m_rows || index.column() != m_checkColumn
        || (role != Qt::CheckStateRole && role != Qt::UserRole)) {
        return QAbstractItemModel::setData(index, value, role);
    }
    auto* row = static_cast<IBaseChunk*>(index.internalPointer());
    if (row && row->getCheckEnable()) {
        row->SetCheck(value.toInt());
        emit dataChanged(index, index);
    }
    if (role == Qt::CheckStateRole) {
        emit itemCheckChange(checkSummary());
    }
    return true;
}

void QBaseDetailsModel::OnStateChanged(int state)
{
    const int rows = rowCount();
    for (int r = 0; r < rows; ++r) {
        setData(index(r, m_checkColumn), state, Qt::CheckStateRole);
    }
}

void QBaseDetailsModel::OnStateChanged(bool state)
{
    OnStateChanged(state ? int(Qt::Checked) : int(Qt::Unchecked));
}
