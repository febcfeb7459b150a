#include "QCloseDlg.h"

#include "QInitCtrlStyle.h"
#include "QZOBaseBoxDraw.h"
#include "QZOBaseButton.h"

#include <QFontMetrics>

QCloseDlg::QCloseDlg(QWidget* parent) : QZOStandardDialog(parent)
{
    Init();
    InitCtrl();
}

QCloseDlg::~QCloseDlg() = default;

void QCloseDlg::Init()
{
    QInitCtrlStyle::InitBg2(this);
    setFixedSize(336, 186);
}

void QCloseDlg::InitCtrl()
{
    addTitleButtons();

    m_radMin = new QZORadioButton(QObject::tr("Minimize to Tray"), this);
    m_radExit = new QZORadioButton(QObject::tr("Exit"), this);
    for (QZORadioButton* radio : {m_radMin, m_radExit}) {
        QInitCtrlStyle::InitRadio(radio);
        radio->adjustSize();
        // The pair is kept exclusive by OnClickRadio; Qt's auto-exclusion
        // would fight it for the first click.
        radio->setAutoExclusive(false);
    }

    m_btnOk = new QZOBaseButton(this);
    QInitCtrlStyle::InitZoButton(m_btnOk, 80, 25);
    m_btnOk->setText(QObject::tr("OK"));
    QInitCtrlStyle::fitText(m_btnOk);
    m_btnOk->setDefault(true);

    m_cbNoShow = new QZOCheckBox(this);
    QInitCtrlStyle::InitCheckBox(m_cbNoShow);
    m_cbNoShow->setText(QObject::tr("Don't show this message again"));
    m_cbNoShow->setFixedSize(190, 40);
    m_cbNoShow->setCheckImage(QInitCtrlStyle::resource(QStringLiteral("/image/common/btn_checked.png")),
                              QInitCtrlStyle::resource(QStringLiteral("/image/common/btn_uncheck.png")), QString(),
                              false);
    // The box has 190 pixels beside OK; where the desktop's font is wider
    // than the one the size was chosen for, the text gets smaller rather
    // than cut short.
    // The text follows the drawn mark.
    const auto needed = [this] {
        return m_cbNoShow->textRect().x() + QFontMetrics(m_cbNoShow->font()).horizontalAdvance(m_cbNoShow->text());
    };
    int pixelSize = 12;
    do {
        QInitCtrlStyle::InitFont(m_cbNoShow, pixelSize);
    } while (needed() > m_cbNoShow->width() && --pixelSize > 9);

    // The title-bar close button answers as a cancel: the dialog ends
    // rejected and the main window stays as it is.
    connect(m_closeBtn, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_btnOk, &QPushButton::clicked, this, &QDialog::accept);
    connect(m_radMin, &QAbstractButton::clicked, this, &QCloseDlg::OnClickRadio);
    connect(m_radExit, &QAbstractButton::clicked, this, &QCloseDlg::OnClickRadio);
    resetControlLocation();
}

void QCloseDlg::setSelectCloseRadio(bool exit)
{
    m_radExit->setChecked(exit);
    m_radMin->setChecked(!exit);
}

bool QCloseDlg::isNoShowThisDlg() const
{
    return m_cbNoShow->checkState() == Qt::Checked;
}

bool QCloseDlg::isCloseDlg() const
{
    return m_radExit->isChecked();
}

void QCloseDlg::OnClickRadio()
{
    setSelectCloseRadio(sender() == m_radExit);
}

void QCloseDlg::resetControlLocation()
{
    QZOStandardDialog::resetControlLocation();
    if (!m_radMin)
        return;
    const int w = width();
    const int h = height();
    m_radMin->move(44, (h - 98 - m_radMin->height() - m_radExit->height()) / 2 + 30);
    m_radExit->move(m_radMin->x(), m_radMin->geometry().bottom() + 10);
    m_cbNoShow->move(28, h - 58 + (50 - m_cbNoShow->height()) / 2);
    m_btnOk->move(w - 28 - m_btnOk->width(), h - 58 + (50 - m_btnOk->height()) / 2);
}
