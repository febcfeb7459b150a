#include "QSavePathDlg.h"

#include "QInitCtrlStyle.h"
#include "QIAnyUtil.h"
#include "QProjectConfig.h"
#include "QProjectSetting.h"
#include "QZOBaseBoxDraw.h"
#include "QZOBaseButton.h"
#include "QZOLineEdit.h"

#include <QDir>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>

namespace {
QSavePathDlg::FolderChooser& chooser()
{
    static QSavePathDlg::FolderChooser f;
    return f;
}
}  // namespace

void QSavePathDlg::setFolderChooser(FolderChooser f)
{
    chooser() = std::move(f);
}

QSavePathDlg::QSavePathDlg(QWidget* parent) : QZOStandardDialog(parent), m_savePath(QProjectSetting::getSavePath())
{
    setupUi();
    InitDlg();
    InitCtrl();
    InitLayout();
    setLabelSpaceInfo();
}

QSavePathDlg::~QSavePathDlg() = default;

void QSavePathDlg::setupUi()
{
    setObjectName(QStringLiteral("QSavePathDlg"));
    m_labelSpace = new QLabel(this);
    m_labelSpace->setObjectName(QStringLiteral("m_labelSpace"));
    m_labelSpace->resize(371, 16);
    m_cbShowMsg = new QZOCheckBox(this);
    m_cbShowMsg->setObjectName(QStringLiteral("m_cbShowMsg"));
    m_cbShowMsg->resize(m_cbShowMsg->width(), 16);
    m_btnSave = new QZOBaseButton(this);
    m_btnSave->setObjectName(QStringLiteral("m_btnSave"));
    m_btnCancel = new QZOBaseButton(this);
    m_btnCancel->setObjectName(QStringLiteral("m_btnCancel"));
    m_groupSave = new QGroupBox(this);
    m_groupSave->setObjectName(QStringLiteral("m_groupSave"));
    m_linePath = new QZOLineEdit(m_groupSave);
    m_linePath->setObjectName(QStringLiteral("m_linePath"));
    m_btnChange = new QZOBaseButton(m_groupSave);
    m_btnChange->setObjectName(QStringLiteral("m_btnChange"));
    QMetaObject::connectSlotsByName(this);
}

void QSavePathDlg::InitDlg()
{
    QInitCtrlStyle::InitBg2(this);
    setFixedSize(500, 240);
    addTitleButtons();
    setDlgTitle(QProjectConfig::getProjectConfig()->projectName());
    connect(m_closeBtn, &QPushButton::clicked, this, &QDialog::close);
}

void QSavePathDlg::InitCtrl()
{
    QInitCtrlStyle::InitZoCommonButton(m_btnCancel);
    QInitCtrlStyle::InitZoCommonButton(m_btnSave);
    QInitCtrlStyle::InitZoCommonButton(m_btnChange);
    m_btnCancel->setText(QObject::tr("Cancel"));
    QInitCtrlStyle::fitText(m_btnCancel);
    m_btnSave->setText(QObject::tr("Save"));
    QInitCtrlStyle::fitText(m_btnSave);
    m_btnChange->setText(QObject::tr("Change"));
    QInitCtrlStyle::fitText(m_btnChange);
    m_btnSave->setDefault(true);

    QInitCtrlStyle::InitGroup(m_groupSave);
    m_groupSave->setTitle(QObject::tr("Output:"));

    // The field is editable and what is typed is what Save returns; the
    // free space follows the text as it changes.
    QInitCtrlStyle::InitLineEdit(m_linePath);
    m_linePath->setText(m_savePath);
    connect(m_linePath, &QLineEdit::textChanged, this, [this] { setLabelSpaceInfo(); });

    QInitCtrlStyle::InitLabel(m_labelSpace);

    QInitCtrlStyle::InitCheckBox(m_cbShowMsg);
    m_cbShowMsg->setCheckImage(QInitCtrlStyle::resource(QStringLiteral("/image/common/btn_checked.png")),
                               QInitCtrlStyle::resource(QStringLiteral("/image/common/btn_uncheck.png")), QString(),
                               false);
    m_cbShowMsg->setText(QObject::tr("Don't show this message again"));
    m_cbShowMsg->setChecked(false);
}

void QSavePathDlg::InitLayout()
{
    const int w = width();
    const int h = height();
    m_groupSave->setGeometry(20, 40, w - 40, 80);
    const int gw = m_groupSave->width();
    const int gh = m_groupSave->height();
    m_btnChange->move(gw - 25 - m_btnChange->width(), gh - 25 - m_btnChange->height());
    m_linePath->setFixedSize(m_btnChange->x() - 20 - 20, m_btnChange->height());
    m_linePath->move(20, m_btnChange->y());
    const QRect g = m_groupSave->geometry();
    m_labelSpace->setGeometry(g.x() + 15, g.bottom() + 20, w - 40, m_labelSpace->height());
    m_btnCancel->move(w - 25 - m_btnCancel->width(), h - 20 - m_btnCancel->height());
    m_btnSave->move(m_btnCancel->x() - 15 - m_btnSave->width(), m_btnCancel->y());
    const int cbY = m_btnSave->y() + (m_btnSave->height() - m_cbShowMsg->height()) / 2;
    m_cbShowMsg->setGeometry(m_labelSpace->x(), cbY, m_btnSave->x() - 15, m_cbShowMsg->height());
}

QString QSavePathDlg::GetSavePath() const
{
    // Trailing blanks are a typing slip, never part of a folder we offer.
    QString path = m_linePath->text();
    while (!path.isEmpty() && path.back().isSpace())
        path.chop(1);
    return path;
}

void QSavePathDlg::setLabelSpaceInfo()
{
    // The file system that holds the folder itself (or the nearest parent
    // that exists), not the one its first characters happen to name.
    // A field that names no absolute folder measures nothing and cannot be
    // saved into: the program's working folder is no place the user chose.
    const QString path = GetSavePath();
    const bool usable = QDir::isAbsolutePath(path);
    m_btnSave->setEnabled(usable);
    m_labelSpace->setText(QObject::tr("Free Space : %1").arg(usable ? QIAnyUtil::freeSpaceInDisk(path) : QString()));
}

void QSavePathDlg::on_m_btnChange_clicked()
{
    // Over this dialog, in the folder it shows: a chooser without a parent
    // could open behind the modal dialog, where the user cannot reach it.
    const QString start = GetSavePath();
    const QString folder = chooser() ? chooser()(this, start)
                                     : QFileDialog::getExistingDirectory(this, QString(), start, QFileDialog::ShowDirsOnly);
    if (!folder.isEmpty()) {
        m_savePath = folder;
        m_linePath->setText(folder);
    }
    setLabelSpaceInfo();
}

void QSavePathDlg::on_m_btnSave_clicked()
{
    m_savePath = GetSavePath();
    QProjectSetting::setAskForSaveToXML(!m_cbShowMsg->isChecked(), true);
    accept();
}

void QSavePathDlg::on_m_btnCancel_clicked()
{
    reject();
}
