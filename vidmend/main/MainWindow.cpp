#include "MainWindow.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QIcon>

#include "MediaCore.h"
#include "QCloseDlg.h"
#include "QFileInfoWgt.h"
#include "QInitCtrlStyle.h"
#include "QMainWgt.h"
#include "QPreferencesDlg.h"
#include "QProjectConfig.h"
#include "QProjectSetting.h"
#include "QZOInitStyleManager.h"
#include "QZOMessageBox.h"

MainWindow::MainWindow(QWidget* parent) : QZOInitMainWindow(parent)
{
    if (objectName().isEmpty())
        setObjectName(QStringLiteral("MainWindow"));
    resize(400, 300);
    Ui::MainWindow::centralWidget = new QWidget(this);
    Ui::MainWindow::centralWidget->setObjectName(QStringLiteral("centralWidget"));
    setCentralWidget(Ui::MainWindow::centralWidget);
    setWindowTitle(QCoreApplication::translate("MainWindow", "MainWindow"));
    Init();
}

void MainWindow::InitProjectInfo()
{
    QProjectConfig* config = QProjectConfig::getProjectConfig();
    config->setCompanyName(QStringLiteral("Brisvale"));
    // The program's one name: the windows' titles and the folders it keeps
    // its files in. No version goes here: the folders are named after the
    // project and must outlive an upgrade (the About box shows the version).
    if (config->projectName().isEmpty())
        config->setProjectName(QStringLiteral("vidmend"));
    config->setProjectShortName(QStringLiteral("Video Repair"));
    config->setTransparentMargins(8);
    config->setDlgTopAndBottom(22, 50);
    QFont projectFont = font();
    QInitCtrlStyle::setProjectFamily(projectFont);
    config->setFont(projectFont);
    QZOInitStyleManager* styles = QZOInitStyleManager::getInstance();
    QZOProjectPalette palette = styles->projectPalette();
    palette.textColor = QColor(64, 64, 64);
    palette.secondColor = QColor(196, 196, 196);
    palette.thirdColor = QColor(64, 64, 64);
    palette.linkColor = QColor(64, 64, 64);
    styles->setProjectPalette(palette);
    styles->setControlStyleFun(ZO_UI::ZODialogStyle, &QInitCtrlStyle::InitBg2, QStringLiteral("ZOABOUT_DLG"));
    styles->setControlStyleFun(ZO_UI::ZOPushButtonStyle, &QInitCtrlStyle::InitZoCommonButton, QString());
    styles->setControlStyleFun(ZO_UI::ZOPushButtonStyle, &QInitCtrlStyle::InitZoMainButton1,
                               QStringLiteral("QBOTTOM_MAIN_BTN"));
    styles->setControlStyleFun(ZO_UI::ZOLineEditStyle, static_cast<void (*)(void*)>(&QInitCtrlStyle::InitLineEdit),
                               QString());
}

void MainWindow::InitMessageBoxOption(QZOMessageBoxOption* option)
{
    if (!option)
        return;
    option->okText = QCoreApplication::translate("QObject", "OK");
    option->cancelText = QCoreApplication::translate("QObject", "Cancel");
    option->yesText = QCoreApplication::translate("QObject", "Yes");
    option->noText = QCoreApplication::translate("QObject", "No");
    option->buttonTextColors[0] = QColor(81, 102, 192);
    option->buttonTextColors[1] = QColor(81, 102, 192);
    option->buttonTextColors[2] = QColor(73, 82, 121);
    option->buttonTextColors[3] = QColor(196, 196, 196);
    option->dlgTop = 22;
    option->dlgBottom = 50;
    QFont font;
    QInitCtrlStyle::setProjectFamily(font);
    font.setPixelSize(13);
    option->titleFont = font;
    option->messageFont = font;
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        option->palette.setBrush(group, QPalette::WindowText, QBrush(QColor(64, 64, 64)));
        option->palette.setBrush(group, QPalette::Text, QBrush(QColor(64, 64, 64)));
    }
}

void MainWindow::InitMessageBox()
{
    QZOMessageBox::setOptionCallback(&MainWindow::InitMessageBoxOption);
}

void MainWindow::InitMainMenuStyle()
{
    // The window's own menu is a plain Qt menu here; nothing to restyle.
}

void MainWindow::InitSize()
{
    resize(720, 512);
}

void MainWindow::Init()
{
    setAttribute(Qt::WA_TranslucentBackground);
    QZOInitMainWindow::Init();
    QProjectSetting::init();
    // The background image asked for its own size as the minimum: the
    // window's minimum and starting size are ours.
    setMinimumSize(720, 512);
    // The program's icon, for the desktop's task bar and window switcher.
    setWindowIcon(QInitCtrlStyle::appIcon());
    InitSize();
    // One instance runs per user, and the temporary folder is the user's
    // own: whatever lies in it now was left by a run that ended without
    // its clean-up (a crash, a kill), and nobody can read it any more.
    QFileInfoWgt::clearTemp();
    m_page = new QMainWgt(this);
    QCoreApplication::setAttribute(Qt::AA_DontCreateNativeWidgetSiblings, true);
    mediaStartup(0);
    resetControlLocation();
}

QRect MainWindow::pageRect() const
{
    const QMargins m = QProjectConfig::getProjectConfig()->getTransparentMargins();
    const int grip = stretchWidth();
    return QRect(QPoint(m.left() + grip, 30),
                 QPoint(width() - 1 - m.right() - grip, height() - 1 - m.bottom() - grip));
}

void MainWindow::resetControlLocation()
{
    QZOInitMainWindow::resetControlLocation();
    if (m_page)
        // The page leaves the resize grip inside the shadow margin free at
        // the left, right and bottom: the border is grabbed over its whole
        // width, not on the one pixel the page would leave.
        m_page->setGeometry(pageRect());
}

bool MainWindow::mayStopRepairs()
{
    QFileInfoWgt* page = m_page ? m_page->page() : nullptr;
    if (!page || !page->isRepairing())
        return true;
    const QString message = tr("Files are still being repaired.") + QLatin1Char('\n') +
                            tr("Do you want to stop the repair and quit?");
    if (QZOMessageBox::ShowMessage(this, message, QString(), 1, 4) != 0x4000)
        return false;
    page->stopAllRepairs();
    return true;
}

void MainWindow::OnClose()
{
    const bool showDialog = QProjectSetting::getShowCloseDlgFromXML(false);
    bool exitOnClose = QProjectSetting::getExitWhenCloseFromXML(false);
    if (showDialog) {
        QCloseDlg dialog(this);
        dialog.setSelectCloseRadio(exitOnClose);
        if (dialog.exec() != QDialog::Accepted)
            return;
        if (dialog.isNoShowThisDlg())
            QProjectSetting::setShowCloseDlgToXML(false, true);
        exitOnClose = dialog.isCloseDlg();
        QProjectSetting::setExitWhenCloseToXML(exitOnClose, true);
    }
    if (!exitOnClose) {
        // "Minimize to tray": on Linux the window is minimised.
        showMinimized();
        return;
    }
    if (mayStopRepairs())
        QDialogColseAnimation::ColseTransparentAnimation(*this);
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    // Closed by the desktop (or at the end of the closing animation): a
    // running repair is stopped with consent, never cut off by the exit.
    if (!mayStopRepairs()) {
        event->ignore();
        return;
    }
    QZOInitMainWindow::closeEvent(event);
}

void MainWindow::OnCloseRelease()
{
    QDialogColseAnimation::ColseTransparentAnimation(*this);
}

void MainWindow::ActOnPreferDlg()
{
    QPreferencesDlg dialog(this);
    auto* general = new QGeneralPreWgt;
    auto* advanced = new QAdvancedPreWgt;
    dialog.addPreferWgt(general, true);
    dialog.addPreferWgt(advanced, true);
    connect(general, &QGeneralPreWgt::sendUpdate, this, &MainWindow::setAutoUpdate);
    dialog.exec();
}
