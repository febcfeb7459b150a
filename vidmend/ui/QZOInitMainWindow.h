// The abstract main window: start-up sequence, drawn title bar with its
// buttons, the Help menu, web pages, About dialog and updater calls. The
// application's main window fills in the project-specific parts.
#ifndef VIDMEND_QZOINITMAINWINDOW_H
#define VIDMEND_QZOINITMAINWINDOW_H

#include "QBaseDrawWidget.h"

#include <QMargins>
#include <QSystemTrayIcon>
#include <QUrl>

class QAction;
class QMenu;
class QMenuBar;
class QTranslator;
class QZOBaseButton;

namespace Ui {
class MainWindow {
public:
    QWidget* centralWidget = nullptr;
};
}  // namespace Ui

class QZOInitMainWindow : public QZOMainWindow, public Ui::MainWindow {
    Q_OBJECT
public:
    explicit QZOInitMainWindow(QWidget* parent = nullptr);
    ~QZOInitMainWindow() override;

    void setTranslator(QTranslator* translator) { m_translator = translator; }
    void InitLanguge() {}
    bool setLanguge(const QString&) { return true; }
    void setWindowsFixed();
    void resizeShow();
    static void InitLogInfo();
    void InitSparkle() {}
    // The web page the Help menu opens for page ("home" or "help").
    static QUrl productPage(const QString& page);

    QZOBaseButton* closeButton() const { return m_btnClose; }
    QZOBaseButton* minButton() const { return m_btnMin; }
    QZOBaseButton* maxButton() const { return m_btnMax; }
    QZOBaseButton* restoreButton() const { return m_btnRestore; }
    QZOBaseButton* menuButton() const { return m_btnMenu; }
    QMenu* helpMenu() const { return m_helpMenu; }
    void setPopMenu(QMenu* menu) { m_popMenu = menu; }

    virtual void retranslateUi();

public slots:
    virtual void OnClose();
    virtual void OnMenu();
    virtual void ActOnHome();
    virtual void ActOnHelp();
    virtual void ActOnAbout();
    virtual void ActOnPreferDlg() {}
    virtual void ActOnUpdates();
    virtual void ActShowLog();
    virtual void setAutoUpdate(bool bUpdate);
    virtual void OnMaxSize();
    virtual void OnRestoreSize();
    virtual void iconActivated(QSystemTrayIcon::ActivationReason reason);
    void LangugeChangeSet(bool bChange);

protected:
    virtual void InitProjectInfo() = 0;
    virtual void InitMessageBox() = 0;
    virtual QMargins mainTransparentMargins() = 0;
    virtual void InitMainMenuStyle() = 0;
    virtual void InitSize() {}
    void resetControlLocation() override;
    virtual void Init();
    virtual void InitBtn();
    virtual void InitMenu();

    QTranslator* m_translator = nullptr;
    bool m_trayEnabled = true;
    QZOBaseButton* m_btnMenu = nullptr;
    QZOBaseButton* m_btnClose = nullptr;
    QZOBaseButton* m_btnMin = nullptr;
    QZOBaseButton* m_btnMax = nullptr;
    QZOBaseButton* m_btnRestore = nullptr;
    QMenu* m_popMenu = nullptr;
    QMenu* m_helpMenu = nullptr;
    QMenuBar* m_menuBar = nullptr;
    QAction* m_actHome = nullptr;
    QAction* m_actHelp = nullptr;
    QAction* m_actAbout = nullptr;
    QAction* m_actPrefer = nullptr;
    QAction* m_actUpdates = nullptr;
};

#endif
