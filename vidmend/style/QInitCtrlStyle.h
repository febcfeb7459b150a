// The application's one place for the look of its windows and controls:
// static style functions, each taking the widget as an untyped pointer (the
// style registry's function shape) and giving it the application's images,
// fonts, colours and sizes. A null widget is ignored by every function.
// The file list page, the workflow dialogs and the preview player all take
// their look from here.
#ifndef VIDMEND_QINITCTRLSTYLE_H
#define VIDMEND_QINITCTRLSTYLE_H

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QPalette>
#include <QString>
#include <QStringList>

class QAbstractButton;

class QInitCtrlStyle {
public:
    // The resource folder joined with name ("/image/...").
    static QString resource(const QString& name);

    // The design's family, then the fonts a Debian desktop has: Liberation
    // Sans keeps Helvetica's widths; DejaVu Sans, wider, is always there.
    static QString fontFamily() { return QStringLiteral("helvetica neue"); }
    static QStringList fallbackFamilies();
    static void setProjectFamily(QFont& font);

    // The program's icon at the sizes desktops show (the drawn 600-px image
    // scaled down), for the task bar and window switchers.
    static QIcon appIcon();

    // Widens a button whose text does not fit the width its style gave it,
    // keeping its right edge where it was placed.
    static void fitText(QAbstractButton* button, int padding = 8);

    static QColor text() { return QColor(64, 64, 64); }
    static QColor disabledText() { return QColor(196, 196, 196); }
    static QColor accent() { return QColor(81, 102, 192); }
    static QColor border() { return QColor(219, 219, 219); }

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
