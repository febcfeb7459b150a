#include "QFileInfoChunk.h"

#include <QDateTime>
#include <QPainter>
#include <QPaintDevice>

#include <memory>

#include "QBaseImageDraw.h"
#include "QIAnyUtil.h"
#include "QVeAnyUtiliy.h"

namespace {

const QColor kFailedRed(208, 0, 0);

QFileInfoChunk* RowAt(const QModelIndex& index)
{
    return index.isValid() ? static_cast<QFileInfoChunk*>(index.internalPointer()) : nullptr;
}

QDateTime DateOf(QFileInfoChunk* row)
{
    return QDateTime::fromString(QString::fromStdString(row->getDate()), Qt::ISODate);
}

QColor ColorOf(const QVariant& v)
{
    if (v.userType() == QMetaType::QBrush)
        return v.value<QBrush>().color();
    return v.value<QColor>();
}

}  // namespace

QFileInfoChunk::QFileInfoChunk(bool withLock) : IBaseChunk(withLock) {}

QString QFileInfoChunk::StatusText(int status)
{
    switch (status) {
    case FileFailed:
        return QObject::tr("Failed");
    case FileAborted:
        return QObject::tr("Aborted");
    case FileWaiting:
        return QObject::tr("Waiting");
    case FileCompleted:
        return QObject::tr("Completed");
    case FileUndamaged:
        return QObject::tr("Undamaged");
    default:
        return QString();
    }
}

QFileInfoModel::QFileInfoModel(QObject* parent) : QBaseDetailsModel(parent) {}

QVariant QFileInfoModel::data(const QModelIndex& index, int role) const
{
    QFileInfoChunk* row = index.isValid() && index.model() == this ? RowAt(index) : nullptr;
    if (!row)
        return QBaseDetailsModel::data(index, role);
    switch (role) {
    case Qt::DisplayRole:
        switch (index.column()) {
        case 1:
            return QString::fromStdString(row->GetTitle());
        case 2:
            return QStringLiteral("  ") + QIAnyUtil::sizetoString(quint64(std::max<qint64>(row->GetSize(), 0)));
        case 3:
            return QStringLiteral("  ") + DateOf(row).toString(QStringLiteral("yyyy/MM/dd"));
        case 4: {
            const QString text = QFileInfoChunk::StatusText(row->GetStatus());
            return text.isEmpty() ? QVariant() : QVariant(text);
        }
        default:
            return QBaseDetailsModel::data(index, role);
        }
    case Qt::TextAlignmentRole:
        if (index.column() == 0)
            return 132;
        return QBaseDetailsModel::data(index, role);
    case Qt::CheckStateRole:
        return QVariant();
    case kSortRole:
        switch (index.column()) {
        case 1:
            return QString::fromStdString(row->GetTitle());
        case 2:
            return qint64(row->GetSize());
        case 3:
            return DateOf(row);
        case 4:
            return int(row->GetStatus());
        default:
            return QBaseDetailsModel::data(index, role);
        }
    default:
        return QBaseDetailsModel::data(index, role);
    }
}

QFileInfoSortModel::QFileInfoSortModel(QObject* parent) : QZOBaseSortModel(parent) {}

QVariant QFileInfoSortModel::data(const QModelIndex& index, int role) const
{
    if (role == Qt::ForegroundRole && index.isValid() && index.column() == 4) {
        const QModelIndex source = mapToSource(index);
        if (QFileInfoChunk* row = RowAt(source)) {
            if (row->GetStatus() == FileFailed)
                return kFailedRed;
        }
    }
    return QZOBaseSortModel::data(index, role);
}

bool QFileInfoSortModel::lessThan(const QModelIndex& left, const QModelIndex& right) const
{
    QFileInfoChunk* a = RowAt(left);
    QFileInfoChunk* b = RowAt(right);
    if (!a || !b)
        return QZOBaseSortModel::lessThan(left, right);
    switch (left.column()) {
    case 1:
        return QString::fromStdString(a->GetTitle())
                   .compare(QString::fromStdString(b->GetTitle()), Qt::CaseInsensitive) < 0;
    case 2:
        return a->GetSize() < b->GetSize();
    case 3:
        return DateOf(a) < DateOf(b);
    case 4:
        return a->GetStatus() < b->GetStatus();
    default:
        return QZOBaseSortModel::lessThan(left, right);
    }
}

QFileDelegate::QFileDelegate(QObject* parent) : QZOControlStyleDelegate(parent) {}

void QFileDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    QZOControlStyleDelegate::paint(painter, option, index);
    if (!index.isValid() || index.column() != 1)
        return;
    auto* row = static_cast<QFileInfoChunk*>(index.data(QBaseDetailsModel::kRowRole).value<void*>());
    if (!row)
        return;
    // Loaded once, on first use, on the GUI thread.
    static const std::unique_ptr<QImage> icons[4] = {
        QBaseImageDraw::loadImageRatio2(QVeAnyUtiliy::getResourcePath() + "/image/common/videofile_selected.png"),
        QBaseImageDraw::loadImageRatio2(QVeAnyUtiliy::getResourcePath() + "/image/common/videofile.png"),
        QBaseImageDraw::loadImageRatio2(QVeAnyUtiliy::getResourcePath() + "/image/common/audiofile_selected.png"),
        QBaseImageDraw::loadImageRatio2(QVeAnyUtiliy::getResourcePath() + "/image/common/audiofile.png"),
    };
    const QRect r = option.rect;
    const int ratio = painter->device() ? std::max(1, int(painter->device()->devicePixelRatioF())) : 1;
    const QRect fill(r.topLeft(), QPoint(r.right(), r.bottom() - ratio));
    const bool selected = option.state & QStyle::State_Selected;
    QColor background = selected ? getSelectedBackgroundColor() : ColorOf(index.data(Qt::BackgroundRole));
    QColor text = selected ? getSelectedTextColor() : ColorOf(index.data(Qt::ForegroundRole));
    if (!row->getEnable())
        text = QColor(196, 196, 196);
    painter->save();
    painter->setPen(Qt::NoPen);
    painter->fillRect(fill, background);
    const int which = (row->GetFormat() == QFileInfoChunk::Video ? 0 : 2) + (selected ? 0 : 1);
    const QImage* icon = icons[which].get();
    int iconWidth = 0;
    if (icon) {
        const int w = icon->width() / 2, h = icon->height() / 2;
        iconWidth = icon->width();
        QBaseImageDraw::drawImage(*painter, QRect(r.x() + 5, r.y() + (r.height() - h) / 2, w, h), QRect(0, 0, w, h),
                                  *icon);
    }
    const QRect textRect(QPoint(r.x() + iconWidth / 2 + 10, r.top()), QPoint(r.right(), r.bottom() - 1));
    const QVariant font = index.data(Qt::FontRole);
    if (font.isValid())
        painter->setFont(font.value<QFont>());
    painter->setPen(text);
    const QString elided =
        painter->fontMetrics().elidedText(index.data(Qt::DisplayRole).toString(), Qt::ElideRight, textRect.width());
    painter->drawText(textRect, 0x81, elided);
    painter->restore();
}
