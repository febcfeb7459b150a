// A flat item model over a vector of rows that the caller owns. The model
// never frees a row nor the vector; rows are added through the model so
// that views hear of them before they exist, as Qt's model contract wants.
#ifndef VIDMEND_QBASEDETAILSMODEL_H
#define VIDMEND_QBASEDETAILSMODEL_H

#include <QAbstractItemModel>
#include <QStringList>

#include <vector>

#include "QZOViewModelDrawAttribute.h"

class IBaseChunk;

class QBaseDetailsModel : public QAbstractItemModel, public QZOViewModelDrawAttribute {
    Q_OBJECT
public:
    using Rows = std::vector<IBaseChunk*>;

    // The row object behind an index (a void pointer) and the row's deleted flag.
    static constexpr int kRowRole = Qt::UserRole + 3;
    static constexpr int kDeletedRole = Qt::UserRole + 4;

    explicit QBaseDetailsModel(QObject* parent = nullptr);

    virtual void setDatas(Rows* rows);
    // Appends the row to the vector between the announcements of the insert.
    virtual void insertRefeshLastRow(IBaseChunk* row);
    virtual void refreshData(int row, int column);
    virtual void refeshRow(int row);

    Rows* datas() const { return m_rows; }
    void refresh();
    void setHeaderList(const QStringList& headers);
    void refreshColumn(int column);
    void setCheckInColumn(int column) { m_checkColumn = column; }
    int checkInColum() const { return m_checkColumn; }
    void refreshCheckState();

    // 0 none checked, 1 some, 2 all (also for an empty vector).
    int checkSummary() const;

    QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;

signals:
    void itemCheckChange(int state);

public slots:
    void OnStateChanged(int state);
    void OnStateChanged(bool state);
    void OnItemStateChange();

private:
    Rows* m_rows = nullptr;
    QStringList m_headers;
    int m_checkColumn = 0;
};

#endif
