#include "qSaveSuccessDlg.h"

#include "QInitCtrlStyle.h"
#include "QProjectConfig.h"
#include "QZOBaseBoxDraw.h"
#include "QZOBaseButton.h"

#include <QLabel>

qSaveSuccessDlg::qSaveSuccessDlg(int count, QWidget* parent) : QZOStandardDialog(parent), m_count(count)
{
    QInitCtrlStyle::InitBg2(this);
    setFixedSize(516, 216);
    InitCtrl();
    InitLayout();
    addTitleButtons();
    setDlgTitle(QProjectConfig::getProjectConfig()->projectName());
    connect(m_closeBtn, &QPushButton::clicked, this, &QDialog::close);
}

qSaveSuccessDlg::~qSaveSuccessDlg() = default;

bool qSaveSuccessDlg::IsAutoOpenFolder() const
{
    return m_cbAutoOpen->checkState() == Qt::Checked;
}

void qSaveSuccessDlg::InitCtrl()
{
    m_cbAutoOpen = new QZOCheckBox(this);
    m_cbAutoOpen->setText(QObject::tr("Automatically Open Folder"));
    m_cbAutoOpen->setCheckImage(QInitCtrlStyle::resource(QStringLiteral("/image/common/btn_checked.png")),
                                QInitCtrlStyle::resource(QStringLiteral("/image/common/btn_uncheck.png")), QString(),
                                false);
    QInitCtrlStyle::InitCheckBox(m_cbAutoOpen);
    m_cbAutoOpen->adjustSize();
    m_cbAutoOpen->setFixedWidth(200);

    m_btnOpen = new QZOBaseButton(this);
    m_btnOpen->setText(QObject::tr("Open Folder"));
    QInitCtrlStyle::InitZoCommonButton(m_btnOpen);
    QInitCtrlStyle::fitText(m_btnOpen);
    m_btnOpen->setDefault(true);
    connect(m_btnOpen, &QPushButton::clicked, this, &QDialog::accept);

    m_btnCancel = new QZOBaseButton(this);
    m_btnCancel->setText(QObject::tr("Cancel"));
    QInitCtrlStyle::InitZoCommonButton(m_btnCancel);
    QInitCtrlStyle::fitText(m_btnCancel);
    connect(m_btnCancel, &QPushButton::clicked, this, &QDialog::reject);

    m_icon = new QLabel(this);
    const QPixmap icon(QInitCtrlStyle::resource(QStringLiteral("/image/pic/Success.png")));
    m_icon->setPixmap(icon);
    QInitCtrlStyle::InitLabel(m_icon);
    m_icon->setFixedSize(icon.size());

    m_message = new QLabel(this);
    const QString word = m_count < 2 ? QStringLiteral("file") : QStringLiteral("files");
    m_message->setText(QObject::tr("%1 %2 Save Successfully").arg(QString::number(m_count), word));
    m_message->setAlignment(Qt::AlignLeft | Qt::AlignHCenter);
    QInitCtrlStyle::InitLabel(m_message);
    m_message->adjustSize();
}

void qSaveSuccessDlg::InitLayout()
{
    const int w = width();
    const int h = height();
    m_icon->move(68, 50);
    m_message->move(m_icon->geometry().right() + 10, m_icon->y() + (m_icon->height() - m_message->height()) / 2);
    m_btnCancel->move(w - 28 - m_btnCancel->width(), h - 18 - m_btnCancel->height());
    m_btnOpen->move(m_btnCancel->x() - 20 - m_btnOpen->width(), m_btnCancel->y());
    m_cbAutoOpen->move(28, m_btnCancel->y() + (m_btnOpen->height() - m_cbAutoOpen->height()) / 2);
}
