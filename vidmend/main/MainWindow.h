// The program's main window over the framework's base: the project's name,
// palette, margins and style registrations. The file list and the workflow
// are placed on it by the application's pages.
#ifndef VIDMEND_MAINWINDOW_H
#define VIDMEND_MAINWINDOW_H

#include "QZOInitMainWindow.h"

class MainWindow : public QZOInitMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(QWidget* parent = nullptr);

protected:
    void InitProjectInfo() override;
    void InitMessageBox() override {}
    QMargins mainTransparentMargins() override { return QMargins(8, 8, 8, 8); }
    void InitMainMenuStyle() override {}
};

#endif
