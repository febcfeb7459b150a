#include "QZOInitMainWindow.h"

#include "QProjectConfig.h"
#include "QUiCommonInterface.h"
#include "QZOBaseButton.h"
#include "QZOInitStyleManager.h"
#include "QZOMessageBox.h"
#include "QZOProductSetting.h"
#include "QZOProjectPath.h"
#include "QZOProjectSetting.h"
#include "QZOStandardDialog.h"

#include <QAction>
#include <QCoreApplication>
#include <QCursor>
#include <QDesktopServices>
#include <QMenu>
#include <QMenuBar>
#include <QTranslator>

QZOInitMainWindow::QZOInitMainWindow(QWidget* parent) : QZOMainWindow(parent) {}

QZOInitMainWindow::~QZOInitMainWindow()
{
    delete m_popMenu;
    delete m_helpMenu;
    for (QAction* action : {m_actHome, m_actHelp, m_actAbout, m_actPrefer, m_actUpdates})
        delete action;
    delete m_translator;
    // The project configuration is released by main once the window and
    // all its children are gone, since they still read it while they die.
}

QUrl QZOInitMainWindow::productPage(const QString& page)
{
    return QUrl(QZOAboutDlg::homePage() +
                    QStringLiteral("/api/product/redirect?pid=%1&page_type=%2").arg(QStringLiteral("530"), page),
                QUrl::TolerantMode);
}

void QZOInitMainWindow::Init()
{
    InitProjectInfo();
    InitMessageBox();
    setWindowFlags(Qt::FramelessWindowHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint);
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_MouseTracking);
    if (Ui::MainWindow::centralWidget)
        Ui::MainWindow::centralWidget->setAttribute(Qt::WA_MouseTracking);
    setBackgroundImage(QZOProjectPath::getResourcePath(QString()) + QStringLiteral("/image/background.png"), true);
    InitSize();
    QProjectConfig* config = QProjectConfig::getProjectConfig();
    setMoveTopHeight(config->getTransparentMargins().top() + config->dlgTop());
    setWindowTitle(config->projectName());
    const QMargins m = mainTransparentMargins();
    setTransparentW(m.left(), m.top(), m.right(), m.bottom());
    setDlgTitle(config->projectName());
    setTitleRect(QRect(m.left() + 50, m.top(), 0, 0));
    QBaseDrawWidget::setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    QFont font = config->font();
    font.setPixelSize(14);
    setFont(font);
    QPalette pal = palette();
    pal.setColor(QPalette::WindowText, QZOInitStyleManager::getInstance()->projectPalette().textColor);
    setPalette(pal);
    InitLogInfo();
    InitBtn();
    InitMenu();
    retranslateUi();
    QZOProjectSetting::InitAttributeFilePath();
}

void QZOInitMainWindow::InitBtn()
{
    const QString res = QZOProjectPath::getResourcePath(QString());
    auto make = [&](const char* image) {
        auto* button = new QZOBaseButton(this);
        button->setButtonImage(res + QLatin1String(image), true);
        return button;
    };
    m_btnClose = make("/image/btn_close.png");
    m_btnMin = make("/image/btn_min.png");
    m_btnMenu = make("/image/btn_menu.png");
    m_btnMax = make("/image/btn_max.png");
    m_btnRestore = make("/image/btn_restore.png");
    connect(m_btnClose, &QPushButton::clicked, this, &QZOInitMainWindow::OnClose);
    connect(m_btnMin, &QPushButton::clicked, this, &QWidget::showMinimized);
    connect(m_btnMenu, &QPushButton::clicked, this, &QZOInitMainWindow::OnMenu);
    connect(m_btnMax, &QPushButton::clicked, this, &QZOInitMainWindow::OnMaxSize);
    connect(m_btnRestore, &QPushButton::clicked, this, &QZOInitMainWindow::OnRestoreSize);
    resizeShow();
}

void QZOInitMainWindow::resetControlLocation()
{
    if (!m_btnClose)
        return;
    const QMargins m = mainTransparentMargins();
    m_btnClose->move(m.left() + 5, m.top() + 5);
    m_btnMin->move(m.left() + 25, m.top() + 5);
    m_btnMax->move(m.left() + 45, m.top() + 5);
    m_btnRestore->move(m.left() + 45, m.top() + 5);
    m_btnMenu->move(m.left() + 80, m.top() + 5);
}

void QZOInitMainWindow::InitMenu()
{
    m_actHome = new QAction(QObject::tr("Home"), this);
    m_actHelp = new QAction(QObject::tr("Help"), this);
    m_actUpdates = new QAction(QObject::tr("Check for Updates"), this);
    m_actAbout = new QAction(QStringLiteral("About"), this);
    m_actPrefer = new QAction(QStringLiteral("Preferences"), this);
    m_menuBar = menuBar();
    m_helpMenu = m_menuBar->addMenu(QObject::tr("Help"));
    m_helpMenu->addAction(m_actPrefer);
    m_helpMenu->addAction(m_actAbout);
    m_helpMenu->addAction(m_actHelp);
    m_helpMenu->addAction(m_actHome);
    m_helpMenu->addSeparator();
    m_helpMenu->addAction(m_actUpdates);
    setMenuBar(m_menuBar);
    // A Linux menu bar sits inside the window, over the drawn title band:
    // it stays hidden and the title bar's menu button shows the Help menu.
    m_menuBar->setNativeMenuBar(false);
    m_menuBar->hide();
    m_btnMenu->show();
    connect(m_actHome, &QAction::triggered, this, &QZOInitMainWindow::ActOnHome);
    connect(m_actHelp, &QAction::triggered, this, &QZOInitMainWindow::ActOnHelp);
    connect(m_actAbout, &QAction::triggered, this, &QZOInitMainWindow::ActOnAbout);
    connect(m_actPrefer, &QAction::triggered, this, &QZOInitMainWindow::ActOnPreferDlg);
    connect(m_actUpdates, &QAction::triggered, this, &QZOInitMainWindow::ActOnUpdates);
}

void QZOInitMainWindow::retranslateUi()
{
    if (m_actHome) {
        m_actHome->setText(QObject::tr("Home"));
        m_actHelp->setText(QObject::tr("Help"));
        m_actUpdates->setText(QObject::tr("Check for Updates"));
        m_helpMenu->setTitle(QObject::tr("Help"));
    }
    if (m_btnClose) {
        m_btnClose->setToolTip(QObject::tr("Close"));
        m_btnMax->setToolTip(QObject::tr("Maximize"));
        m_btnRestore->setToolTip(QObject::tr("Restore"));
        m_btnMenu->setToolTip(QObject::tr("Menu"));
        m_btnMin->setToolTip(QObject::tr("Minimize"));
    }
}

void QZOInitMainWindow::setWindowsFixed()
{
    setStretchPolicy(StretchNone);
    if (m_btnMax) {
        m_btnMax->setEnabled(false);
        m_btnRestore->setEnabled(false);
    }
}

void QZOInitMainWindow::resizeShow()
{
    if (!m_btnMax)
        return;
    m_btnMax->setVisible(!isMaxSize());
    m_btnRestore->setVisible(isMaxSize());
}

void QZOInitMainWindow::InitLogInfo()
{
    QProjectConfig* config = QProjectConfig::getProjectConfig();
    const QString folder = QZOProjectPath::getLogFilePath(config->projectName(), config->projectVersionName());
    QZOProjectSetting::setLogFilePath(folder + QStringLiteral("/log.txt"));
}

void QZOInitMainWindow::OnClose()
{
    QDialogColseAnimation::ColseTransparentAnimation(*this);
}

void QZOInitMainWindow::OnMenu()
{
    QMenu* menu = m_popMenu ? m_popMenu : m_helpMenu;
    if (!menu)
        return;
    menu->popup(m_btnMenu->mapToGlobal(QPoint(0, m_btnMenu->height())));
}

void QZOInitMainWindow::ActOnHome()
{
    QDesktopServices::openUrl(productPage(QStringLiteral("home")));
}

void QZOInitMainWindow::ActOnHelp()
{
    QDesktopServices::openUrl(productPage(QStringLiteral("help")));
}

void QZOInitMainWindow::ActOnAbout()
{
    QZOAboutDlg dialog(this);
    CenterDlg(dialog);
    dialog.exec();
}

void QZOInitMainWindow::ActOnUpdates()
{
    QZOProductSetting::checkForUpdate();
    // There is no updater of our own here: say where updates come from.
    QZOMessageBox::ShowMessage(this,
                               QObject::tr("Updates of %1 come with the system's packages. "
                                           "Your package manager installs them.")
                                   .arg(QProjectConfig::getProjectConfig()->projectName()),
                               QString(), QZOMessageBox::Help, QZOMessageBox::OkButton);
}

void QZOInitMainWindow::ActShowLog()
{
    QUiCommonInterface::showFileInFolder(QZOProjectSetting::getLogFilePath().toStdString());
}

void QZOInitMainWindow::setAutoUpdate(bool bUpdate)
{
    QZOProductSetting::setAutoCheckUpdate(bUpdate);
}

void QZOInitMainWindow::OnMaxSize()
{
    OnBtnMax();
    resizeShow();
}

void QZOInitMainWindow::OnRestoreSize()
{
    OnBtnMax();
    resizeShow();
}

void QZOInitMainWindow::iconActivated(QSystemTrayIcon::ActivationReason reason)
{
    if (m_trayEnabled && (reason == QSystemTrayIcon::DoubleClick || reason == QSystemTrayIcon::Trigger))
        showNormal();
}

void QZOInitMainWindow::LangugeChangeSet(bool)
{
    if (m_translator)
        QCoreApplication::installTranslator(m_translator);
}
