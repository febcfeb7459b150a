#include "QMainWgt.h"

#include <QPointer>
#include <QResizeEvent>

#include "QFileInfoWgt.h"
#include "QPlayerDlg.h"
#include "QInitCtrlStyle.h"
#include "QZOBaseButton.h"

QBottomWgt::QBottomWgt(QWidget* parent) : QZOWidget(parent, ChildKind)
{
    setFixedHeight(60);
    Init();
}

QBottomWgt::~QBottomWgt()
{
    for (QZOBaseButton** b : {&m_add, &m_repair, &m_cancel, &m_continue, &m_back, &m_save, &m_home}) {
        delete *b;
        *b = nullptr;
    }
}

void QBottomWgt::Init()
{
    const struct {
        QZOBaseButton** button;
        const char* text;
        bool primary;
    } buttons[] = {{&m_add, "Add", false},          {&m_repair, "Repair", true}, {&m_cancel, "Cancel", true},
                   {&m_continue, "Continue", true}, {&m_back, "Back", false},    {&m_save, "Save", true},
                   {&m_home, "Back", false}};
    for (const auto& b : buttons) {
        *b.button = new QZOBaseButton(this);
        (*b.button)->setText(QObject::tr(b.text));
        if (b.primary)
            QInitCtrlStyle::InitZoMainButton2(*b.button);
        else
            QInitCtrlStyle::InitZoMainButton1(*b.button);
    }
    setBackgrounColor(QColor(255, 255, 255));
    setAddFileBtns();
}

void QBottomWgt::showOnly(std::initializer_list<QZOBaseButton*> shown)
{
    for (QZOBaseButton* b : {m_add, m_repair, m_cancel, m_continue, m_back, m_save, m_home})
        b->setVisible(std::find(shown.begin(), shown.end(), b) != shown.end());
}

void QBottomWgt::changeAddBtn(bool bEnable)
{
    m_add->setEnabled(bEnable);
}

void QBottomWgt::changeRepair(bool bEnable)
{
    m_repair->setEnabled(bEnable);
}

void QBottomWgt::changeSaveBtn(bool bEnable)
{
    m_save->setEnabled(bEnable);
}

void QBottomWgt::changeHomeBtn(bool bEnable)
{
    m_home->setEnabled(bEnable);
}

void QBottomWgt::setAddFileBtns()
{
    showOnly({m_add, m_repair});
}

void QBottomWgt::setRepairingBtns()
{
    showOnly({m_cancel});
}

void QBottomWgt::setContinueBtns()
{
    showOnly({m_continue, m_back});
}

void QBottomWgt::setSaveBtns()
{
    showOnly({m_save, m_home});
}

void QBottomWgt::resetControlLocation()
{
    const QSize size = m_add->size();
    const int top = (60 - size.height()) / 2;
    for (QZOBaseButton* b : {m_add, m_back, m_home}) {
        b->resize(size);
        b->move(20, top);
    }
    for (QZOBaseButton* b : {m_repair, m_cancel, m_continue, m_save}) {
        b->resize(size);
        b->move(width() - 20 - size.width(), top);
    }
}

QMainWgt::QMainWgt(QWidget* parent) : QZOWidget(parent, ChildKind)
{
    setObjectName(QStringLiteral("QMainWgt"));
    Init();
}

void QMainWgt::Init()
{
    m_bar = new QBottomWgt(this);
    m_page = new QFileInfoWgt(this);
    // One preview window for the page's life.
    m_player = attachPlayer(m_page);
    connect(m_bar->addButton(), &QAbstractButton::clicked, m_page, [this] { QMetaObject::invokeMethod(m_page, "addFile"); });
    connect(m_bar->repairButton(), &QAbstractButton::clicked, m_page, &QFileInfoWgt::startRepair);
    connect(m_bar->cancelButton(), &QAbstractButton::clicked, m_page, &QFileInfoWgt::cancelRepair);
    connect(m_bar->continueButton(), &QAbstractButton::clicked, m_page, &QFileInfoWgt::continueFromCancel);
    connect(m_bar->backButton(), &QAbstractButton::clicked, m_page, &QFileInfoWgt::backFromCancel);
    connect(m_bar->saveButton(), &QAbstractButton::clicked, m_page, &QFileInfoWgt::saveFile);
    connect(m_bar->homeButton(), &QAbstractButton::clicked, m_page, &QFileInfoWgt::returnHome);
    connect(m_page, &QFileInfoWgt::emitChangeAddBtn, m_bar, &QBottomWgt::changeAddBtn);
    connect(m_page, &QFileInfoWgt::emitChangeRepairBtn, m_bar, &QBottomWgt::changeRepair);
    connect(m_page, &QFileInfoWgt::emitChangeSaveBtn, m_bar, &QBottomWgt::changeSaveBtn);
    connect(m_page, &QFileInfoWgt::emitChangeHomeBtn, m_bar, &QBottomWgt::changeHomeBtn);
    connect(m_page, &QFileInfoWgt::emitAddFileBtns, m_bar, &QBottomWgt::setAddFileBtns);
    connect(m_page, &QFileInfoWgt::emitRepairingBtns, m_bar, &QBottomWgt::setRepairingBtns);
    connect(m_page, &QFileInfoWgt::emitContinueBtns, m_bar, &QBottomWgt::setContinueBtns);
    connect(m_page, &QFileInfoWgt::emitSaveBtns, m_bar, &QBottomWgt::setSaveBtns);
    m_page->InitDatas();
}

QPlayerDlg* QMainWgt::attachPlayer(QFileInfoWgt* page)
{
    auto* dialog = new QPlayerDlg(page);
    connect(dialog, &QPlayerDlg::emitPlayNextBtn, page, &QFileInfoWgt::playNextFile);
    connect(dialog, &QPlayerDlg::emitPlayPreBtn, page, &QFileInfoWgt::playPreFile);
    QPointer<QPlayerDlg> guarded(dialog);
    page->setPreviewHook([guarded](const QString& path, quint32 key) {
        if (guarded)
            guarded->play(path, key);
    });
    return dialog;
}

void QMainWgt::resetControlLocation()
{
    const int W = width(), H = height();
    m_bar->setGeometry(0, H - 60, W, 60);
    m_page->setGeometry(0, 0, W, H - 61);
}

