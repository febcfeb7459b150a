// The application's one place for the look of its windows and controls:
// static style functions, each taking the widget as an untyped pointer (the
// style registry's function shape) and giving it the application's images,
// fonts, colours and sizes. A null widget is ignored by every function.
#ifndef VIDMEND_QINITCTRLSTYLE_H
#define VIDMEND_QINITCTRLSTYLE_H

#include <QColor>
#include <QPalette>
#include <QString>

class QInitCtrlStyle {
public:
    static void InitDlg(void* widget);
    static void InitBg1(void* widget);
    static void InitBg2(void* widget);
    static void InitPlayerBg(void* widget);
    static void InitZoMenu(void* widget);
    static void InitFont(void* widget, int pixelSize);
    static void InitPalette(void* widget, QPalette::ColorRole role, const QColor& color);
    static void InitZoCommonButton(void* widget);
    static void InitZoButton(void* widget, int width, int height);
    static void InitZoMainButton1(void* widget);
    static void InitZoMainButton2(void* widget);
    static void InitLabel(void* widget);
    static void InitCheckBox(void* widget);
    static void InitZoScrollBar(void* widget);
    static void InitGroup(void* widget);
    static void InitRadio(void* widget);
    static void InitLineEdit(void* widget);
    static void InitLineEdit(void* widget, int width, int height);
    static void InitTextEdit(void* widget);
    static void InitZOCombox(void* widget, int width, int height, const QString& background);

    // The group box style sheet, for its test.
    static QString GroupStyleSheet();
};

#endif
