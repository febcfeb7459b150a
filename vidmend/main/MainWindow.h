// The program's main window over the framework's base: the project's names,
// margins, fonts and palette, the style functions of its controls, the
// message boxes' look, its size, what the close button does and the
// preferences; its central page holds the file list above the button bar.
#ifndef VIDMEND_MAINWINDOW_H
#define VIDMEND_MAINWINDOW_H

#include "QZOInitMainWindow.h"

class QMainWgt;
struct QZOMessageBoxOption;

class MainWindow : public QZOInitMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(QWidget* parent = nullptr);

    QMainWgt* mainPage() const { return m_page; }
    void OnClose() override;
    void ActOnPreferDlg() override;
    void OnCloseRelease();
    static void InitMessageBoxOption(QZOMessageBoxOption* option);
    // Where the page lies: below the title band, inside the shadow margin
    // and the resize grip.
    QRect pageRect() const;

protected:
    void InitProjectInfo() override;
    void InitMessageBox() override;
    QMargins mainTransparentMargins() override { return QMargins(8, 8, 8, 8); }
    void InitMainMenuStyle() override;
    void InitSize() override;
    void Init() override;
    void resetControlLocation() override;
    void closeEvent(QCloseEvent* event) override;

private:
    // A repair that runs is stopped only with the user's consent; false
    // when the user keeps it running.
    bool mayStopRepairs();

    QMainWgt* m_page = nullptr;
};

#endif
