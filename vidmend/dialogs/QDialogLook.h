// The look of the workflow dialogs: backgrounds, fonts, colours, buttons,
// boxes and edits, in the application's palette. Each function takes the
// widget it styles; a null widget is ignored.
#ifndef VIDMEND_QDIALOGLOOK_H
#define VIDMEND_QDIALOGLOOK_H

#include <QColor>
#include <QPalette>
#include <QString>

class QWidget;
class QLabel;
class QGroupBox;
class QZOBaseButton;
class QZOCheckBox;
class QZORadioButton;
class QZOLineEdit;
class QZOTextEdit;
class QZOStandardDialog;
class QZOScrollBar;

class QDialogLook {
public:
    // The resource folder joined with name ("/image/...").
    static QString resource(const QString& name);

    static void InitFont(QWidget* w, int pixelSize);
    static void InitPalette(QWidget* w, QPalette::ColorRole role, const QColor& color);
    // Common dialog look: frameless, drag band 30, title centred, 13 px.
    static void InitDlg(QZOStandardDialog* dlg);
    // The white panel background, then InitDlg.
    static void InitBg2(QZOStandardDialog* dlg);
    static void InitZoButton(QZOBaseButton* b, int width, int height);
    static void InitZoCommonButton(QZOBaseButton* b) { InitZoButton(b, 80, 25); }
    static void InitLabel(QLabel* l);
    static void InitCheckBox(QZOCheckBox* c);
    static void InitGroup(QGroupBox* g);
    static void InitRadio(QZORadioButton* r);
    static void InitLineEdit(QZOLineEdit* e, int width = 150, int height = 20);
    static void InitTextEdit(QZOTextEdit* e);
    // Light grey handle on a near-white track, inset by 2.
    static void InitZoScrollBar(QZOScrollBar* bar);

    static QColor text() { return QColor(64, 64, 64); }
    static QColor disabledText() { return QColor(196, 196, 196); }
    static QColor accent() { return QColor(81, 102, 192); }
    static QColor border() { return QColor(219, 219, 219); }
};

#endif
