#include "QFileInfoWgt.h"


#include <QDebug>
#include <QFile>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QMimeData>
#include <QPainter>
#include <QStandardPaths>

#include "QAddFileThread.h"
#include "QBaseProgressDlg.h"
#include "QSavePathDlg.h"
#include "QSaveFileThread.h"
#include "qSaveSuccessDlg.h"
#include "QBaseImageDraw.h"
#include "QChunkControl.h"
#include "QCheckHeaderView.h"
#include "QDelegateProgressbarStyle.h"
#include "QFileInfoChunk.h"
#include "QIAnyUtil.h"
#include "QInitCtrlStyle.h"
#include "QProjectConfig.h"
#include "QProjectSetting.h"
#include "QRepairObject.h"
#include "QUiCommonInterface.h"
#include "QZOBaseBoxDraw.h"
#include "QZOBaseButton.h"
#include "QZOMessageBox.h"
#include "QZOProjectPath.h"
#include "QZOScrollBar.h"
#include "QZOStyleDelegate.h"
#include "QZOTableView.h"

namespace {

constexpr int kYes = 0x4000;

QString Resource(const char* name)
{
    return QZOProjectPath::getResourcePath(QString::fromLatin1(name));
}

QString Plural(int count)
{
    return count < 2 ? QStringLiteral("file") : QStringLiteral("files");
}

void SetRecord(IBaseChunk* row, QWidget* widget, bool hidden, bool hoverOnly)
{
    if (QChunkControlAttribute* r = row->getChunkControl()->getControlAttribute(widget)) {
        r->isHide = hidden;
        r->isHoverShow = hoverOnly;
    }
}

// The status a row shows once its repair has ended in state.
FileStatus FinalStatus(int state)
{
    switch (state) {
    case QRepairObject::StateUndamaged:
        return FileUndamaged;
    case QRepairObject::StateRepaired:
        return FileCompleted;
    default:
        return FileFailed;
    }
}

}  // namespace

QFileInfoWgt::QFileInfoWgt(QWidget* parent) : QZOWidget(parent, ChildKind)
{
    m_openFolder = QProjectSetting::getOpenPath();
    Init();
}

QFileInfoWgt::~QFileInfoWgt()
{
    // Workers still running are waited for, never deleted under their
    // threads; repair drivers are stopped before they go.
    if (m_addWorker) {
        disconnect(m_addWorker, nullptr, this, nullptr);
        m_addWorker->wait();
        delete m_addWorker;
        m_addWorker = nullptr;
    }
    if (m_saveWorker) {
        disconnect(m_saveWorker, nullptr, this, nullptr);
        m_saveWorker->stopSave();
        m_saveWorker->wait();
    }
    stopAllRepairs();
    deleteDrivers();
    removeTempCopies();
    deleteRows();
    delete m_controls4;
    delete m_controls5;
    delete m_revealButton;
    delete m_deleteButton;
    delete m_playButton;
    delete m_errorButton;
    delete m_rowProgress;
    QProjectSetting::setOpenPathToXML(m_openFolder);
}

void QFileInfoWgt::Init()
{
    m_addButton = new QZOBaseButton(this);
    m_countLabel = new QLabel(this);
    m_selectAll = new QZOCheckBox(this);
    m_busy = new QProgressIndicator(this);
    m_busy->hide();
    m_busy->resize(100, 100);

    m_hintLabel = new QLabel(tr("Please add videos to be repaired"), this);
    m_hintLabel->setAlignment(Qt::AlignCenter);
    QInitCtrlStyle::InitPalette(m_hintLabel, QPalette::WindowText, QColor(213, 213, 213));
    QInitCtrlStyle::InitFont(m_hintLabel, 20);
    QFont hintFont = m_hintLabel->font();
    hintFont.setWeight(75);
    m_hintLabel->setFont(hintFont);
    m_hintLabel->adjustSize();

    m_countLabel->setAlignment(Qt::Alignment(0x86));
    m_countLabel->setStyleSheet(QStringLiteral("QLabel{padding-right: %1 px;};").arg(15));
    QPalette countPalette = m_countLabel->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        countPalette.setColor(group, QPalette::Window, QColor(239, 242, 255));
        countPalette.setColor(group, QPalette::WindowText, QColor(115, 130, 195));
    }
    m_countLabel->setPalette(countPalette);
    m_countLabel->setAutoFillBackground(true);
    QInitCtrlStyle::InitFont(m_countLabel, 12);

    m_selectAll->setText(tr("Select All"));
    m_selectAll->setCheckImage(Resource("/image/common/btn_checked.png"), Resource("/image/common/btn_uncheck.png"),
                               Resource("/image/common/btn_partially.png"), false);
    QInitCtrlStyle::InitFont(m_selectAll, 12);
    QInitCtrlStyle::InitPalette(m_selectAll, QPalette::WindowText, QColor(115, 130, 195));
    m_selectAll->setTristate(true);

    InitView();

    connect(m_addButton, &QAbstractButton::clicked, this, &QFileInfoWgt::addFile);
    connect(m_selectAll, &QCheckBox::stateChanged, this, &QFileInfoWgt::changeCheckBoxInView);
    setBackgrounColor(QColor(255, 255, 255));
    m_addButton->setButtonImage(Resource("/image/common/btn_add_file.png"), true);
    setAcceptDrops(true);
    setAddFileStatus();
}

void QFileInfoWgt::InitViewCtrl()
{
    m_revealButton = new QZOStyleButton;
    m_deleteButton = new QZOStyleButton;
    m_playButton = new QZOStyleButton;
    m_errorButton = new QZOStyleButton;
    const struct {
        QZOStyleButton* button;
        const char* image;
    } buttons[] = {{m_revealButton, "/image/ViewControl/btn_preview.png"},
                   {m_deleteButton, "/image/ViewControl/btn_delete.png"},
                   {m_playButton, "/image/ViewControl/btn_play.png"},
                   {m_errorButton, "/image/ViewControl/btn_error.png"}};
    for (const auto& b : buttons) {
        const QString path = Resource(b.image);
        if (!b.button->setButtonImage(path, path, false))
            b.button->resize(20, 20);  // drawn as nothing, but it keeps its place
    }
    m_rowProgress = new QZOStyleProgress;
    QDelegateProgressbarStyle* style = m_rowProgress->progressbarStyle();
    style->setBarStyle(2);
    style->setDecimals(1);
    style->setDataPenWidth(0.0);
    style->setOutlinePenWidth(0.0);
    m_rowProgress->setRange(0, 1000);
    m_rowProgress->resize(50, 25);
    QFont font(QStringLiteral("Tahoma"));
    font.setPixelSize(12);
    m_rowProgress->setFont(font);
    QPalette p = m_rowProgress->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        p.setColor(group, QPalette::Highlight, QColor(255, 0, 0, 0));
        p.setColor(group, QPalette::WindowText, QColor(81, 102, 192));
    }
    m_rowProgress->setPalette(p);

    m_controls4 = new QDelegateControl(4);
    m_controls5 = new QDelegateControl(5);
    for (QDelegateControl* c : {m_controls4, m_controls5}) {
        c->addButton(m_revealButton);
        c->addButton(m_deleteButton);
        c->addProgress(m_rowProgress);
        c->addButton(m_playButton);
        c->addButton(m_errorButton);
        c->setHoverShow(false);
        c->setDrawSpacing(16);
        c->setDrawWidth(20);
        c->setDrawHeight(20);
        c->refreshAllWidgetWidth();
        c->setDrawAlignment(0x84);
    }
    connect(m_revealButton, &QZOStyleButton::emitClickIndex, this, &QFileInfoWgt::OnBtnPreview);
    connect(m_deleteButton, &QZOStyleButton::emitClickIndex, this, &QFileInfoWgt::OnBtnClose);
    connect(m_playButton, &QZOStyleButton::emitClickIndex, this, &QFileInfoWgt::OnBtnPlay);
}

void QFileInfoWgt::InitView()
{
    InitViewCtrl();
    m_table = new QZOTableView(this);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setAlternatingRowColors(true);
    m_table->setStyleSheet(QStringLiteral("QTableView{border:none;background:%1;}").arg(QColor(255, 255, 255).name()));

    const QStringList headersA = {QString(), tr("Name"), tr("Size"), tr("Modified Date"), QString()};
    m_modelA = new QFileInfoModel(this);
    m_modelB = new QFileInfoModel(this);
    for (QFileInfoModel* m : {m_modelA, m_modelB}) {
        QStringList headers = headersA;
        if (m == m_modelB)
            headers << QString();
        m->setHeaderList(headers);
        QFont font = m->textFont();
        font.setPixelSize(12);
        QInitCtrlStyle::setProjectFamily(font);
        m->setTextFont(font);
        m->setDatas(&m_rows);
    }
    m_sortModel = new QFileInfoSortModel(m_table);
    m_sortModel->setSourceModel(m_modelA);
    m_table->setSortModel(m_sortModel);
    m_table->setSourceModel(m_modelA);
    m_table->setModel(m_sortModel);
    m_sortModel->setItemBgColor(QColor(255, 255, 255), QColor(255, 255, 255));
    m_sortModel->setHoverBgColor(QColor(239, 242, 255), QColor(98, 98, 98));
    m_sortModel->setItemTextColor(QColor(98, 98, 98), QColor(98, 98, 98));
    m_sortModel->setItemDeleteTextColor(QColor(196, 196, 196));

    m_header = new QCheckHeaderView(Qt::Horizontal);
    m_header->setBackgroundImage(Resource("/image/HeaderView/header_bg.png"));
    m_header->setSlipImage(Resource("/image/HeaderView/header_slip.png"));
    m_header->setSelBackgroundImage(Resource("/image/HeaderView/header_select_bg.png"));
    m_header->setOrderFlagsImage(Resource("/image/HeaderView/order_flag_up.png"));
    m_header->setTextColor(QColor(64, 64, 64));
    QInitCtrlStyle::InitFont(m_header, 12);
    m_header->setFixedHeight(20);
    m_header->setSortEnable(0, false);
    m_header->setSortEnable(5, false);
    m_header->setCheckVisable(false);
    m_header->setSectionsClickable(true);
    m_table->setHorizontalHeader(m_header);
    m_table->setSortingEnabled(true);

    m_header->setDefaultSectionSize(30);
    m_header->resizeSection(1, 280);
    m_header->resizeSection(2, 130);
    m_header->resizeSection(3, 125);
    m_header->setStretchLastSection(true);
    m_header->setSortIndicator(6, Qt::AscendingOrder);
    m_header->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    m_table->verticalHeader()->setDefaultSectionSize(25);
    m_table->verticalHeader()->hide();

    auto* vbar = new QZOScrollBar(Qt::Vertical, m_table);
    auto* hbar = new QZOScrollBar(Qt::Horizontal, m_table);
    QInitCtrlStyle::InitZoScrollBar(vbar);
    QInitCtrlStyle::InitZoScrollBar(hbar);
    m_table->setVerticalScrollBar(vbar);
    m_table->setHorizontalScrollBar(hbar);

    m_delegateA = new QFileDelegate(m_table);
    m_delegateB = new QFileDelegate(m_table);
    for (QFileDelegate* d : {m_delegateA, m_delegateB}) {
        d->addButtonWidget(d == m_delegateA ? m_controls4 : m_controls5);
        d->setBottomLineColor(QColor(241, 241, 241));
        d->setSelectedBackgroundColor(QColor(81, 102, 192));
        d->setSelectedTextColor(QColor(255, 255, 255));
    }
    m_table->setItemDelegate(m_delegateA);
    m_table->setStyleDelegate(m_delegateA);
    m_delegateB->setCheckInColumn(0);
    m_delegateB->setCheckboxImage(Resource("/image/common/btn_uncheck.png"), Resource("/image/common/btn_partially.png"),
                                  Resource("/image/common/btn_checked.png"));
    m_delegateB->setCheckboxPos(QPoint((m_header->sectionSize(0) - m_delegateB->checkboxWidth()) / 2,
                                       (25 - m_delegateB->checkboxHeight()) / 2));
    connect(m_delegateB, &QZOBaseStyleDelegate::emitCheckStateChange, this, &QFileInfoWgt::OnCheckInViewChange);
    connect(m_table, &QAbstractItemView::doubleClicked, this, &QFileInfoWgt::doubleClickToPlay);
}

void QFileInfoWgt::InitDatas()
{
    AddFilesToModel(QStringList());
}

// ---------------------------------------------------------------------------
// Layout and looks.

void QFileInfoWgt::paintEvent(QPaintEvent* event)
{
    QZOWidget::paintEvent(event);
    const int W = width(), H = height();
    const int BW = m_addButton->width(), BH = m_addButton->height(), LH = m_hintLabel->height();
    m_addButton->move((W - BW) / 2, (H - BH - LH - 28) / 2);
    m_hintLabel->move((W - m_hintLabel->width()) / 2, m_addButton->y() + BH + 27);
    const QRect table(QPoint(0, 0), QPoint(W - 1, H - 22));
    if (m_table->geometry() != table)
        m_table->setGeometry(table);
    const QRect count(QPoint(0, H - 20), QPoint(W - 1, H - 1));
    if (m_countLabel->geometry() != count)
        m_countLabel->setGeometry(count);
    m_selectAll->adjustSize();
    m_selectAll->move(m_delegateB->checkboxPos().x(), H - (m_selectAll->height() + 20) / 2);
    m_busy->move((W - m_busy->width()) / 2, (H - m_busy->height()) / 2);
}

void QFileInfoWgt::setAddFileStatus()
{
    m_modelA->setHeaderList({QString(), tr("Name"), tr("Size"), tr("Modified Date"), QString()});
    m_modelA->refresh();
    if (m_resultLook) {
        m_resultLook = false;
        m_sortModel->setSourceModel(m_modelA);
        m_table->setSourceModel(m_modelA);
        m_table->setItemDelegate(m_delegateA);
        m_table->setStyleDelegate(m_delegateA);
    }
    const bool any = !m_rows.empty();
    m_addButton->setVisible(!any);
    m_hintLabel->setVisible(!any);
    m_countLabel->setVisible(any);
    m_table->setVisible(any);
    m_selectAll->hide();
    m_header->setSortEnable(4, false);
    setAcceptDrops(true);
    updateLabel();
}

void QFileInfoWgt::setRepairingStatus()
{
    m_modelA->setHeaderList({QString(), tr("Name"), tr("Size"), tr("Modified Date"), QString()});
    m_modelA->refresh();
    m_header->setSortEnable(4, true);
    setAcceptDrops(false);
    m_header->setEnabled(false);
}

void QFileInfoWgt::setSaveStatus()
{
    m_resultLook = true;
    // The rows vector takes the order in which the table shows them.
    const int n = int(m_rows.size());
    std::vector<int> v(size_t(n), 0);
    for (int i = 0; i < n; ++i)
        v[size_t(i)] = m_sortModel->mapFromSource(m_modelA->index(i, 0)).row();
    for (int k = 0; k < n; ++k) {
        for (int j = k; j < n; ++j) {
            if (v[size_t(j)] == k) {
                std::swap(v[size_t(k)], v[size_t(j)]);
                std::swap(m_rows[size_t(k)], m_rows[size_t(j)]);
                break;
            }
        }
    }
    m_modelB->setDatas(&m_rows);
    m_sortModel->setSourceModel(m_modelB);
    m_table->setSourceModel(m_modelB);
    m_header->setSortIndicator(6, Qt::AscendingOrder);
    m_header->resizeSection(4, 80);
    m_table->setItemDelegate(m_delegateB);
    m_table->setStyleDelegate(m_delegateB);
    m_selectAll->show();
    updateLabel();
    setSelectAllFromRows();
    updateLabel();
}

void QFileInfoWgt::updateLabel()
{
    int count = 0;
    qint64 total = 0;
    for (IBaseChunk* r : m_rows) {
        if (m_resultLook && r->GetCheck() == 0)
            continue;
        ++count;
        total += static_cast<QFileInfoChunk*>(r)->GetSize();
    }
    if (count == 0) {
        m_countLabel->setText(QString());
        return;
    }
    m_countLabel->setText(QStringLiteral("%1 %2 , %3")
                              .arg(count)
                              .arg(count == 1 ? tr("file") : tr("files"))
                              .arg(QIAnyUtil::sizetoString(quint64(std::max<qint64>(total, 0)))));
}

// ---------------------------------------------------------------------------
// Adding files.

QString QFileInfoWgt::filterText()
{
    const QString sep48 = QStringLiteral(";;") + QString(48, QLatin1Char(' '));
    const QString sp49(49, QLatin1Char(' '));
    const QString first = QStringLiteral("All Supported Formats( *.avi *.mp4 *.m4v *.3gp *.3g2") + sp49 +
                          QStringLiteral("*.wmv *.asf *.mpg *.mpeg *.ts *.m2ts *.rm *.rmvb *.mov") + sp49 +
                          QStringLiteral("*.mkv *.webm *.vob *.flv *.wav *.mp3 *.m4a *.wma *.ogg") + sp49 +
                          QStringLiteral("*.ogv *.ogm *.oga *.opus )");
    const QStringList rest = {
        QStringLiteral("AVI Video Files(*.avi)"),
        QStringLiteral("MPEG4 Files(*.mp4 *.m4v)"),
        QStringLiteral("3GP Files(*.3gp *.3g2)"),
        QStringLiteral("Windows Media Video(*.wmv *.asf)"),
        QStringLiteral("MPEG Files(*.mpg *.mpeg *.ts *.m2ts)"),
        QStringLiteral("Real Media Files(*.rm *.rmvb)"),
        QStringLiteral("Quick Time Files(*.mov)"),
        QStringLiteral("MKV Files(*.mkv *.webm)"),
        QStringLiteral("Unprotected VOB Files(*.vob)"),
        QStringLiteral("FLV Files(*.flv)"),
        QStringLiteral("OGG Video Files(*.ogv *.ogm)"),
        QStringLiteral("Audio Files(*.wav *.mp3 *.m4a *.wma *.ogg *.oga *.opus)"),
        QStringLiteral("All(*)"),
    };
    QString text = first;
    for (const QString& entry : rest)
        text += sep48 + entry;
    return tr(text.toUtf8().constData());
}

bool QFileInfoWgt::isSupported(const QString& path)
{
    const QString suffix = QFileInfo(path).suffix();
    if (suffix.isEmpty())
        return false;
    return filterText().contains(QStringLiteral(" *.") + suffix + QLatin1Char(' '), Qt::CaseInsensitive);
}

void QFileInfoWgt::addFile()
{
    const QStringList files =
        QFileDialog::getOpenFileNames(this, tr("Choose Audio Or Video Files"), m_openFolder, filterText());
    if (files.isEmpty())
        return;
    AddFilesToModel(files);
    m_openFolder = QFileInfo(files.first()).absolutePath();
    QProjectSetting::setOpenPath(m_openFolder);
}

void QFileInfoWgt::dragEnterEvent(QDragEnterEvent* event)
{
    for (const QUrl& url : event->mimeData()->urls()) {
        const QFileInfo info(url.toLocalFile());
        if (info.isFile() && isSupported(info.filePath())) {
            event->acceptProposedAction();
            return;
        }
    }
}

void QFileInfoWgt::dropEvent(QDropEvent* event)
{
    QStringList paths;
    for (const QUrl& url : event->mimeData()->urls()) {
        const QFileInfo info(url.toLocalFile());
        if (info.isFile() && isSupported(info.filePath()))
            paths << info.filePath();
    }
    AddFilesToModel(paths);
}

void QFileInfoWgt::AddFilesToModel(const QStringList& paths)
{
    QStringList retained;
    for (QString path : paths) {
        QZOProjectPath::formatPath(path);
        bool known = false;
        for (IBaseChunk* r : m_rows) {
            QString location = QString::fromStdString(r->getLocation());
            QZOProjectPath::formatPath(location);
            if (location == path) {
                known = true;
                break;
            }
        }
        // Paths already waiting for the running add are known as well.
        if (!known && m_queuedPaths.contains(path))
            known = true;
        if (!known)
            retained << path;
    }
    if (retained.isEmpty())
        return;
    if (m_addWorker) {
        // An add is running: its worker is never replaced under its
        // thread; these paths follow when it ends.
        m_queuedPaths << retained;
        return;
    }
    startAddWorker(retained);
}

void QFileInfoWgt::startAddWorker(const QStringList& paths)
{
    emit emitChangeAddBtn(false);
    emit emitChangeRepairBtn(false);
    m_header->setSortIndicator(4, Qt::AscendingOrder);
    m_header->setEnabled(false);
    m_busy->startAnimation();
    m_busy->show();
    m_busy->raise();
    m_addWorker = new QAddFileThread;
    connect(m_addWorker, &QAddFileThread::emitFileChunk, this, &QFileInfoWgt::refreshChunk);
    connect(m_addWorker, &QThread::finished, m_addWorker, &QObject::deleteLater);
    QStringList list = paths;
    m_addWorker->setStart(list);
}

void QFileInfoWgt::refreshChunk(QFileInfoChunk* chunk, bool isLast)
{
    if (chunk) {
        QChunkControl* c = chunk->getChunkControl();
        c->addControl(m_deleteButton, ControlButton);
        c->addControl(m_revealButton, ControlButton);
        c->addControl(m_errorButton, ControlButton);
        c->addControl(m_playButton, ControlButton);
        c->addControl(m_rowProgress, ControlProgress);
        SetRecord(chunk, m_deleteButton, false, true);
        c->getControlAttribute(m_deleteButton)->text = tr("Close File");
        SetRecord(chunk, m_revealButton, false, true);
        c->getControlAttribute(m_revealButton)->text = tr("Open File Location");
        SetRecord(chunk, m_errorButton, true, false);
        SetRecord(chunk, m_playButton, true, false);
        SetRecord(chunk, m_rowProgress, true, false);
        // The model appends the row to the vector it shares with the page,
        // announcing it as the contract of a model wants.
        m_modelA->insertRefeshLastRow(chunk);
        if (m_rows.size() == 1) {
            m_addButton->hide();
            m_hintLabel->hide();
            m_table->show();
            m_countLabel->show();
        }
        updateLabel();
    }
    if (!isLast)
        return;
    m_addWorker = nullptr;  // it deletes itself once its thread has ended
    if (!m_queuedPaths.isEmpty()) {
        QStringList next;
        next.swap(m_queuedPaths);
        AddFilesToModel(next);
        if (m_addWorker)
            return;
    }
    emit emitChangeAddBtn(true);
    emit emitChangeRepairBtn(true);
    m_busy->stopAnimation();
    m_busy->hide();
    m_header->setEnabled(true);
}

// ---------------------------------------------------------------------------
// Rows.

QFileInfoChunk* QFileInfoWgt::RowOfSource(const QModelIndex& index) const
{
    return index.isValid() ? static_cast<QFileInfoChunk*>(index.internalPointer()) : nullptr;
}

QFileInfoChunk* QFileInfoWgt::RowOfView(const QModelIndex& index) const
{
    if (!index.isValid())
        return nullptr;
    const QModelIndex source = index.model() == m_sortModel ? m_sortModel->mapToSource(index) : index;
    return RowOfSource(source);
}

void QFileInfoWgt::OnBtnPreview(QModelIndex index)
{
    if (QFileInfoChunk* row = RowOfView(index))
        QUiCommonInterface::showFileInFolder(row->getLocation());
}

void QFileInfoWgt::OnBtnClose(QModelIndex index)
{
    QFileInfoChunk* row = RowOfView(index);
    if (!row)
        return;
    m_rows.erase(std::remove(m_rows.begin(), m_rows.end(), row), m_rows.end());
    m_modelA->setDatas(&m_rows);
    m_modelB->setDatas(&m_rows);
    delete row;
    setAddFileStatus();
}

void QFileInfoWgt::OnBtnPlay(QModelIndex index)
{
    QFileInfoChunk* row = RowOfView(index);
    if (!row || !m_previewHook)
        return;
    if (row->GetStatus() == FileUndamaged)
        m_previewHook(QString::fromStdString(row->getLocation()), 0);
    else
        m_previewHook(row->GetTempFilePath(), row->GetEncryptKey());
}

void QFileInfoWgt::doubleClickToPlay(QModelIndex index)
{
    QFileInfoChunk* row = RowOfView(index);
    if (row && m_resultLook && row->getEnable())
        OnBtnPlay(index);
}

QFileInfoChunk* QFileInfoWgt::nextPlayable(const QString& current, bool forward) const
{
    if (current.isEmpty() || m_rows.empty())
        return nullptr;
    const int n = m_sortModel->rowCount();
    QFileInfoChunk* wrap = nullptr;
    QFileInfoChunk* target = nullptr;
    bool passed = false;
    for (int k = 0; k < n && !target; ++k) {
        const int r = forward ? k : n - 1 - k;
        QFileInfoChunk* row = RowOfSource(m_sortModel->mapToSource(m_sortModel->index(r, 0)));
        if (!row)
            continue;
        const bool playable = row->GetStatus() == FileCompleted || row->GetStatus() == FileUndamaged;
        if (passed && playable)
            target = row;
        if (playable && !wrap)
            wrap = row;
        if (row->GetTempFilePath() == current)
            passed = true;
    }
    return target ? target : wrap;
}

void QFileInfoWgt::playNextFile(QString strFile)
{
    if (QFileInfoChunk* row = nextPlayable(strFile, true); row && m_previewHook)
        m_previewHook(row->GetTempFilePath(), row->GetEncryptKey());
}

void QFileInfoWgt::playPreFile(QString strFile)
{
    if (QFileInfoChunk* row = nextPlayable(strFile, false); row && m_previewHook)
        m_previewHook(row->GetTempFilePath(), row->GetEncryptKey());
}

// ---------------------------------------------------------------------------
// Saving.

void QFileInfoWgt::saveFile()
{
    // One save at a time: a second Save while one runs does nothing.
    if (m_saveWorker)
        return;
    QString folder;
    if (!QProjectSetting::getAskForSaveFromXML(false)) {
        folder = QProjectSetting::getSavePath();
    } else {
        QSavePathDlg dialog(this);
        if (dialog.exec() != QDialog::Accepted)
            return;
        folder = dialog.GetSavePath();
        QProjectSetting::setSavePathToXML(folder);
    }
    if (folder.isEmpty() || !QDir().mkpath(folder)) {
        QZOMessageBox::ShowMessage(this, tr("Invalid saving path. Please choose a new path."), QString(), 1, 1);
        return;
    }
    emit emitChangeSaveBtn(false);
    emit emitChangeHomeBtn(false);
    QStringList temps, names;
    QList<uint> keys;
    for (IBaseChunk* r : m_rows) {
        auto* f = static_cast<QFileInfoChunk*>(r);
        if (f->GetCheck() != 2)
            continue;
        temps << f->GetTempFilePath();
        names << QString::fromStdString(f->GetTitle());
        keys << f->GetEncryptKey();
    }
    auto* dialog = new QBaseProgressDlg(tr("Saving"), this);
    m_progressDlg = dialog;
    m_saveFinished = false;
    auto* worker = new QSaveFileThread(this);
    m_saveWorker = worker;
    connect(worker, &QSaveFileThread::emitCurFile, dialog, &QBaseProgressDlg::setText);
    connect(worker, &QSaveFileThread::emitProgress, dialog, &QBaseProgressDlg::setValue);
    connect(dialog, &QBaseProgressDlg::emitClickCancel, this, &QFileInfoWgt::clickCancelInSavingDlg);
    connect(worker, &QSaveFileThread::emitFinishFile, this, &QFileInfoWgt::finishSaveFile);
    connect(worker, &QSaveFileThread::emitSaveNum, this, &QFileInfoWgt::returnFromSaveThread);
    connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    worker->startSave(temps, names, keys, folder);
    dialog->exec();
}

void QFileInfoWgt::finishSaveFile(QString strTemp, bool success)
{
    QFileInfoChunk* row = nullptr;
    for (IBaseChunk* r : m_rows)
        if (static_cast<QFileInfoChunk*>(r)->GetTempFilePath() == strTemp)
            row = static_cast<QFileInfoChunk*>(r);
    if (!row) {
        m_modelB->refresh();
        return;
    }
    // A file that was not saved in full keeps its repaired copy and its
    // row: the copy may be the only one there is.
    if (!success)
        return;
    if (QString::fromStdString(row->getLocation()) != strTemp)
        QFile::remove(strTemp);
    row->SetCheck(0);
    setSelectAllFromRows();
    updateLabel();
    m_rows.erase(std::remove(m_rows.begin(), m_rows.end(), static_cast<IBaseChunk*>(row)), m_rows.end());
    m_modelA->setDatas(&m_rows);
    m_modelB->setDatas(&m_rows);
    delete row;
    m_modelB->refresh();
}

void QFileInfoWgt::clickCancelInSavingDlg()
{
    const int answer = QZOMessageBox::ShowMessage(this, tr("Are you sure to cancel saving?"), QString(), 1, 4);
    if (answer == kYes && !m_saveFinished) {
        if (m_saveWorker)
            m_saveWorker->stopSave();
        m_saveWorker = nullptr;
        // This runs inside the dialog's own signal: it goes later.
        if (m_progressDlg) {
            m_progressDlg->done(0);
            m_progressDlg->deleteLater();
        }
        m_progressDlg = nullptr;
    }
    emit emitChangeSaveBtn(true);
    emit emitChangeHomeBtn(true);
}

void QFileInfoWgt::returnFromSaveThread(int saveNum, QString strPath)
{
    m_saveFinished = true;
    emit emitChangeSaveBtn(true);
    emit emitChangeHomeBtn(true);
    m_saveWorker = nullptr;
    if (m_progressDlg) {
        m_progressDlg->done(0);
        m_progressDlg->deleteLater();
    }
    m_progressDlg = nullptr;
    // Rows whose files were not saved keep their copies: the list is
    // cleared only when every checked file was saved.
    bool keptAny = false;
    for (IBaseChunk* r : m_rows)
        keptAny = keptAny || r->GetCheck() == 2;
    if (saveNum == 0) {
        QZOMessageBox::ShowMessage(this, tr("No File Saved"), QString(), 4, 0);
        if (!keptAny)
            ResetAll();
        return;
    }
    if (!keptAny)
        ResetAll();
    if (!QProjectSetting::getAutoOpenFolderFromXML(false)) {
        qSaveSuccessDlg dialog(saveNum, this);
        if (dialog.exec() != QDialog::Accepted)
            return;
        QProjectSetting::setAutoOpenFolderToXML(dialog.IsAutoOpenFolder(), true);
    }
    if (m_revealHook)
        m_revealHook(strPath);
    else
        QUiCommonInterface::showFileInFolder(strPath.toStdString());
}

void QFileInfoWgt::setSelectAllFromRows()
{
    bool anyChecked = false, anyUnchecked = false;
    for (IBaseChunk* r : m_rows) {
        if (!r->getCheckEnable())
            continue;
        (r->GetCheck() != 0 ? anyChecked : anyUnchecked) = true;
    }
    const Qt::CheckState state = !anyChecked ? Qt::Unchecked : !anyUnchecked ? Qt::Checked : Qt::PartiallyChecked;
    m_selectAll->setCheckState(state);
}

void QFileInfoWgt::OnCheckInViewChange(QModelIndex index, int state)
{
    m_sortModel->itemCheckStateChanged(index, state);
    setSelectAllFromRows();
    updateLabel();
}

void QFileInfoWgt::changeCheckBoxInView(int state)
{
    if (state == 2 || state == 0) {
        for (IBaseChunk* r : m_rows)
            if (r->getCheckEnable())
                r->SetCheck(state);
        m_modelB->refresh();
    }
    if (state != 0) {
        emit emitChangeSaveBtn(true);
        if (state == 1) {
            bool anyChecked = false, anyUnchecked = false;
            for (IBaseChunk* r : m_rows) {
                if (!r->getCheckEnable())
                    continue;
                (r->GetCheck() != 0 ? anyChecked : anyUnchecked) = true;
            }
            if (!anyChecked && anyUnchecked)
                m_selectAll->setCheckState(Qt::Checked);
        }
    } else {
        emit emitChangeSaveBtn(false);
    }
    update();
    updateLabel();
}

void QFileInfoWgt::changeCheckBox()
{
    setSelectAllFromRows();
    updateLabel();
}

void QFileInfoWgt::clearTemp()
{
    // Only a folder of ours, strictly inside the system's temporary folder
    // and named after the project, is emptied: never a shared location.
    const QString folder = QZOProjectPath::getTempSavePath(QString(), QString());
    if (folder.isEmpty())
        return;
    const QString base = QDir(QStandardPaths::writableLocation(QStandardPaths::TempLocation)).canonicalPath();
    const QFileInfo info(folder);
    const QString canonical = info.canonicalFilePath();
    const QString project = QProjectConfig::getProjectConfig()->projectName();
    if (info.isSymLink() || canonical.isEmpty() || base.isEmpty() || !canonical.startsWith(base + QLatin1Char('/')) ||
        project.isEmpty() || !canonical.mid(base.size()).contains(project))
        return;
    QUiCommonInterface::clearFolder(canonical, false);
}

void QFileInfoWgt::removeTempCopies()
{
    const QString folder = QZOProjectPath::getTempSavePath(QString(), QString());
    if (folder.isEmpty())
        return;
    const QString own = QDir(folder).canonicalPath();
    for (IBaseChunk* r : m_rows) {
        // Only a file in our own folder: an undamaged row names the user's
        // own file as its copy.
        const QFileInfo copy(static_cast<QFileInfoChunk*>(r)->GetTempFilePath());
        if (!own.isEmpty() && copy.isFile() && !copy.isSymLink() && copy.dir().canonicalPath() == own)
            QFile::remove(copy.filePath());
    }
    QDir().rmdir(folder);
}

void QFileInfoWgt::deleteRows()
{
    for (IBaseChunk* r : m_rows)
        delete r;
    m_rows.clear();
}

void QFileInfoWgt::ResetAll()
{
    deleteRows();
    m_modelA->setDatas(&m_rows);
    m_modelB->setDatas(&m_rows);
    clearTemp();
    setAddFileStatus();
    emit emitAddFileBtns();
}

void QFileInfoWgt::ReleaseDatas()
{
    deleteRows();
}

// ---------------------------------------------------------------------------
// The repair run.

int QFileInfoWgt::taskNumber() const
{
    return std::clamp(QProjectSetting::getTaskNumFromXML(false), 1, 3);
}

bool QFileInfoWgt::isRepairing() const
{
    return !m_running.isEmpty();
}

void QFileInfoWgt::stopAllRepairs()
{
    m_cancelled = true;
    for (QRepairObject* d : m_repairObjects)
        d->stopRepair();
    m_running.clear();
}

void QFileInfoWgt::deleteDrivers()
{
    m_pending.clear();
    m_running.clear();
    for (QRepairObject* d : m_repairObjects) {
        disconnect(d, nullptr, this, nullptr);
        delete d;
    }
    m_repairObjects.clear();
}

void QFileInfoWgt::redrawRow(const QModelIndex& source)
{
    if (m_resultLook)
        return;
    m_sortModel->refreshIndex(m_sortModel->mapFromSource(source));
}

void QFileInfoWgt::fillRunning()
{
    // A driver that fails at once reports its end from inside startRepair:
    // the finish then only takes it off the lists, and this loop, which
    // walks a copy, goes on.
    if (m_filling || m_cancelled)
        return;
    m_filling = true;
    const int n = taskNumber();
    const QList<QRepairObject*> snapshot = m_pending;
    for (QRepairObject* d : snapshot) {
        if (m_running.size() >= n)
            break;
        if (!m_pending.contains(d) || m_running.contains(d))
            continue;
        if (d->startRepair() && m_pending.contains(d)) {
            m_running.insert(d);
            m_maxRunning = std::max(m_maxRunning, int(m_running.size()));
        }
    }
    m_filling = false;
    if (m_pending.isEmpty() && !m_allDone) {
        m_allDone = true;
        if (!m_cancelBoxOpen)
            RepairAllDone();
    }
}

void QFileInfoWgt::startRepair()
{
    if (m_rows.empty()) {
        QZOMessageBox::ShowMessage(this, tr("Choose file before repair!"), QString(), 1, 1);
        return;
    }
    emit emitRepairingBtns();
    setRepairingStatus();
    m_controls4->setDrawAlignment(1);
    clearTemp();
    deleteDrivers();
    for (int r = 0; r < m_sortModel->rowCount(); ++r) {
        const QModelIndex source = m_sortModel->mapToSource(m_sortModel->index(r, 4));
        QFileInfoChunk* row = RowOfSource(source);
        if (!row)
            continue;
        row->SetStatus(FileWaiting);
        SetRecord(row, m_deleteButton, true, true);
        SetRecord(row, m_revealButton, true, true);
        auto* driver = new QRepairObject(source, row->getLocation().c_str());
        m_repairObjects.append(driver);
        m_pending.append(driver);
        connect(driver, &QRepairObject::emitRepairState, this, &QFileInfoWgt::OnRepairState);
        connect(driver, &QRepairObject::emitProgress, this, &QFileInfoWgt::OnRepairProgress);
        connect(driver, &QRepairObject::emitError, this, &QFileInfoWgt::OnRepairError);
        connect(driver, &QRepairObject::emitTempFile, this, &QFileInfoWgt::OnRepairTempFile);
        connect(driver, &QRepairObject::emitFileKey, this, &QFileInfoWgt::OnRepairFileKey);
    }
    m_cancelled = m_cancelBoxOpen = m_allDone = false;
    m_running.clear();
    m_maxRunning = 0;
    fillRunning();
    update();
}

void QFileInfoWgt::OnRepairState(int state, QModelIndex index)
{
    auto* driver = qobject_cast<QRepairObject*>(sender());
    qDebug() << "------OnRepairState------" << driver << state;
    QFileInfoChunk* row = RowOfSource(index);
    if (!row)
        return;
    QChunkControlAttribute* progress = row->getChunkControl()->getControlAttribute(m_rowProgress);
    switch (state) {
    case QRepairObject::StateCannotOpen:
    case QRepairObject::StateRefused:
    case QRepairObject::StateFailed:
    case QRepairObject::StateUndamaged:
    case QRepairObject::StateRepaired:
        if (progress)
            progress->isHide = true;
        row->SetStatus(FinalStatus(state));
        OnRepairFinish(driver);
        break;
    case QRepairObject::StateAnalysing:
        if (progress)
            progress->isHide = false;
        row->SetStatus(FileInProgress);
        break;
    case QRepairObject::StateAborted:
        m_running.remove(driver);
        for (IBaseChunk* r : m_rows) {
            auto* f = static_cast<QFileInfoChunk*>(r);
            const FileStatus s = f->GetStatus();
            if (s == FileAdded || s == FileWaiting || s == FileInProgress) {
                SetRecord(f, m_rowProgress, true, false);
                f->SetStatus(FileAborted);
            }
        }
        update();
        m_table->viewport()->update();
        if (m_cancelled && m_running.isEmpty())
            emit emitContinueBtns();
        return;
    default:
        break;
    }
    redrawRow(index);
    if (m_cancelled && m_running.isEmpty())
        emit emitContinueBtns();
}

void QFileInfoWgt::OnRepairFinish(QRepairObject* object)
{
    if (!object)
        return;
    m_running.remove(object);
    m_pending.removeAll(object);
    if (!m_pending.isEmpty()) {
        if (!m_cancelled)
            fillRunning();
        return;
    }
    if (m_filling)
        return;  // the start loop sees the empty list when it ends
    if (!m_allDone) {
        m_allDone = true;
        if (!m_cancelBoxOpen)
            RepairAllDone();
    }
}

void QFileInfoWgt::OnRepairProgress(double progress, QModelIndex index)
{
    QFileInfoChunk* row = RowOfSource(index);
    if (!row)
        return;
    if (QChunkControlAttribute* r = row->getChunkControl()->getControlAttribute(m_rowProgress))
        r->progressValue = progress * 10;
    redrawRow(index);
}

void QFileInfoWgt::OnRepairError(int result, QModelIndex index)
{
    QFileInfoChunk* row = RowOfSource(index);
    if (!row)
        return;
    QString text;
    switch (result) {
    case -59:
        text = tr("No Memory");
        break;
    case -39:
        text = tr("Cannot Open File");
        break;
    case -38:
        text = tr("Cannot Read File");
        break;
    case -37:
        text = tr("Cannot Write File");
        break;
    case -19:
        text = tr("Unknown Format");
        break;
    case -18:
        text = tr("Open File Failed");
        break;
    case -21:
        text = tr("FFmpeg Not Found");
        break;
    case -17:
        text = tr("Missing Necessary Data");
        break;
    case -16:
        text = tr("Unknown Error");
        break;
    case -14:
    case -13:
    case -12:
        text = tr("Cannot Repair");
        break;
    default:
        break;
    }
    if (QChunkControlAttribute* r = row->getChunkControl()->getControlAttribute(m_errorButton))
        r->text = text;
}

void QFileInfoWgt::OnRepairTempFile(QString strTemp, QModelIndex index)
{
    if (QFileInfoChunk* row = RowOfSource(index))
        row->SetTempFilePath(strTemp);
}

void QFileInfoWgt::OnRepairFileKey(uint32_t key, QModelIndex index)
{
    if (QFileInfoChunk* row = RowOfSource(index))
        row->SetEncryptKey(key);
}

void QFileInfoWgt::cancelRepair()
{
    m_cancelBoxOpen = true;
    const int answer = QZOMessageBox::ShowMessage(this, tr("Are you sure to cancel the video repair?"), QString(), 1, 4);
    if (answer != kYes) {
        m_cancelled = false;
        m_cancelBoxOpen = false;
        if (m_allDone)
            RepairAllDone();
        return;
    }
    m_cancelled = true;
    const QList<QRepairObject*> pending = m_pending;
    for (QRepairObject* d : pending)
        d->stopRepair();
    if (m_allDone) {
        qDebug() << "-------QFileInfoWgt::cancelRepair----------";
        emit emitContinueBtns();
    } else if (m_running.isEmpty()) {
        emit emitContinueBtns();
    }
    m_cancelBoxOpen = false;
}

void QFileInfoWgt::continueFromCancel()
{
    emit emitRepairingBtns();
    m_cancelled = false;
    int aborted = 0;
    for (IBaseChunk* r : m_rows) {
        auto* f = static_cast<QFileInfoChunk*>(r);
        if (f->GetStatus() == FileAborted) {
            f->SetStatus(FileWaiting);
            ++aborted;
        }
    }
    // Nothing left to repair: the run ends here, and nothing starts after
    // its summary.
    if (m_rows.empty() || aborted == 0 || m_pending.isEmpty()) {
        m_allDone = true;
        RepairAllDone();
        return;
    }
    m_allDone = false;
    m_running.clear();
    fillRunning();
    m_table->viewport()->update();
}

void QFileInfoWgt::backFromCancel()
{
    const QString message = tr("Returning will not save the repaired files.") + QLatin1Char('\n') +
                            tr("Are you sure to go back?");
    if (QZOMessageBox::ShowMessage(this, message, QString(), 1, 4) != kYes)
        return;
    for (IBaseChunk* r : m_rows) {
        static_cast<QFileInfoChunk*>(r)->SetStatus(FileAdded);
        SetRecord(r, m_deleteButton, false, true);
        SetRecord(r, m_revealButton, false, true);
        SetRecord(r, m_rowProgress, true, false);
    }
    deleteDrivers();
    clearTemp();
    setAddFileStatus();
    emit emitAddFileBtns();
    m_controls4->setDrawAlignment(0x84);
    m_header->setEnabled(true);
}

void QFileInfoWgt::RepairAllDone()
{
    emit emitSaveBtns();
    emit emitChangeSaveBtn(false);
    m_selectAll->setCheckState(Qt::Unchecked);
    m_controls4->setDrawAlignment(0x84);
    m_header->setEnabled(true);
    int completed = 0, failed = 0;
    for (IBaseChunk* r : m_rows) {
        auto* f = static_cast<QFileInfoChunk*>(r);
        QChunkControlAttribute* error = f->getChunkControl()->getControlAttribute(m_errorButton);
        switch (f->GetStatus()) {
        case FileCompleted:
        case FileUndamaged:
            SetRecord(f, m_playButton, false, true);
            f->SetCheck(f->GetStatus() == FileCompleted ? 2 : 0);
            ++completed;
            break;
        case FileAborted:
        case FileFailed:
        case FileAdded:
        case FileWaiting:
        case FileInProgress:
            if (f->GetStatus() != FileFailed && f->GetStatus() != FileAborted && error)
                error->text = QStringLiteral("something wrong");
            f->SetStatus(FileFailed);
            if (error)
                error->isHide = false;
            SetRecord(f, m_rowProgress, true, false);
            f->SetCheck(0);
            f->setCheckEnable(false);
            f->setEnable(false);
            f->setIsDeleted(true);
            ++failed;
            break;
        default:
            break;
        }
    }
    setSaveStatus();
    const QString message = tr("%1 %2 repair completed and").arg(completed).arg(Plural(completed)) +
                            QLatin1Char('\n') + tr("%1 %2 repair failed!").arg(failed).arg(Plural(failed));
    QZOMessageBox::ShowMessage(this, message, QString(), 1, 1);
}

void QFileInfoWgt::returnHome()
{
    int completed = 0;
    for (IBaseChunk* r : m_rows)
        completed += static_cast<QFileInfoChunk*>(r)->GetStatus() == FileCompleted ? 1 : 0;
    const QString message =
        completed == 0
            ? tr("Current file list will be cleared, Do you still want to go back?")
            : tr("%1 repaired %2 is unsaved, Do you still want to go back?").arg(completed).arg(Plural(completed));
    if (QZOMessageBox::ShowMessage(this, message, QString(), 1, 4) == kYes)
        ResetAll();
}
