#include "QBaseProgressDlg.h"

#include "QInitCtrlStyle.h"
#include "QZOBaseButton.h"
#include "QZOBaseProgress.h"

#include <QLabel>

namespace {
QString percentText(double value)
{
    return QStringLiteral("%1%").arg(value, 0, 'f', 1);
}
}  // namespace

QBaseProgressDlg::QBaseProgressDlg(const QString& title, QWidget* parent)
    : QZOStandardDialog(parent), m_text(QStringLiteral("hello"))
{
    setDlgTitle(title);
    InitDlg();
    InitCtrl();
    SetLayout();
}

QBaseProgressDlg::~QBaseProgressDlg() = default;

void QBaseProgressDlg::InitDlg()
{
    // The common look resets the window flags, which loses a fixed size
    // given before it.
    QInitCtrlStyle::InitBg2(this);
    setFixedSize(400, 200);
    addTitleButtons();
    // Closing only ends the modal run; the owner's work goes on and the
    // owner still deletes the dialog.
    connect(m_closeBtn, &QPushButton::clicked, this, &QDialog::close);
}

void QBaseProgressDlg::InitCtrl()
{
    m_cancel = new QZOBaseButton(this);
    QInitCtrlStyle::InitZoCommonButton(m_cancel);
    m_cancel->setText(QObject::tr("Cancel"));
    QInitCtrlStyle::fitText(m_cancel);
    connect(m_cancel, &QPushButton::clicked, this, &QBaseProgressDlg::emitClickCancel);

    m_textLabel = new QLabel(m_text, this);
    QInitCtrlStyle::InitLabel(m_textLabel);
    m_textLabel->setFixedHeight(15);

    m_percentLabel = new QLabel(percentText(m_value), this);
    QInitCtrlStyle::InitLabel(m_percentLabel);
    m_percentLabel->setFixedSize(45, 15);
    m_percentLabel->setAlignment(Qt::AlignRight | Qt::AlignHCenter);

    m_bar = new QZOBaseSlider(this);
    m_bar->setEnabledPull(false);
    m_bar->setProgressPolicy(1);
    m_bar->setBottomImage(QInitCtrlStyle::resource(QStringLiteral("/image/player/slider_play_bottom.png")));
    m_bar->setTopImage(QInitCtrlStyle::resource(QStringLiteral("/image/player/slider_play_top.png")));
    m_bar->setFormat(QString());
    m_bar->setFixedHeight(15);
}

void QBaseProgressDlg::SetLayout()
{
    const int w = width();
    const int h = height();
    m_percentLabel->move(w - 28 - m_percentLabel->width(), (h - m_percentLabel->height()) / 2);
    const int barY = (h - m_bar->height()) / 2;
    m_bar->setGeometry(28, barY, w - 106, m_bar->height());
    m_textLabel->setGeometry(28, barY - 25, w - 56, 15);
    m_cancel->move(w - 28 - m_cancel->width(), h - 23 - m_cancel->height());
}

void QBaseProgressDlg::setText(const QString& strInfo)
{
    m_textLabel->setText(strInfo);
    m_text = strInfo;
    SetLayout();
}

void QBaseProgressDlg::setValue(double value)
{
    m_bar->setValue(value);
    m_percentLabel->setText(percentText(value));
    m_value = value;
    SetLayout();
}

void QBaseProgressDlg::finishLater()
{
    // QDialog::exec guards itself against its dialog being deleted while it
    // runs, and the deferred delete only runs once the click that emitted
    // Cancel has returned.
    if (isVisible())
        done(QDialog::Rejected);
    deleteLater();
}
