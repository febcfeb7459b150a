#include "QDialogLook.h"

#include "QProjectConfig.h"
#include "QZOBaseBoxDraw.h"
#include "QZOBaseButton.h"
#include "QZOLineEdit.h"
#include "QZOProjectPath.h"
#include "QZOScrollBar.h"
#include "QZOStandardDialog.h"

#include <QGroupBox>
#include <QLabel>
#include <QTextEdit>

QString QDialogLook::resource(const QString& name)
{
    return QZOProjectPath::getResourcePath(QString()) + name;
}

void QDialogLook::InitFont(QWidget* w, int pixelSize)
{
    if (!w)
        return;
    QFont font = w->font();
    font.setFamily(QStringLiteral("helvetica neue"));
    font.setPixelSize(pixelSize);
    w->setFont(font);
}

void QDialogLook::InitPalette(QWidget* w, QPalette::ColorRole role, const QColor& color)
{
    if (!w)
        return;
    QPalette pal = w->palette();
    pal.setColor(QPalette::Active, role, color);
    pal.setColor(QPalette::Inactive, role, color);
    pal.setColor(QPalette::Disabled, role, color);
    pal.setColor(QPalette::Disabled, QPalette::WindowText, disabledText());
    w->setPalette(pal);
}

void QDialogLook::InitDlg(QZOStandardDialog* dlg)
{
    if (!dlg)
        return;
    dlg->setAttribute(Qt::WA_TranslucentBackground);
    dlg->setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    dlg->setWindowTitle(QProjectConfig::getProjectConfig()->projectName());
    dlg->setTitleRect(QRect(0, 8, 0, 0));
    dlg->QBaseDrawWidget::setAlignment(Qt::AlignCenter);
    InitPalette(dlg, QPalette::WindowText, text());
    dlg->setMoveTopHeight(30);
    dlg->setStretchPolicy(QBaseDrawWidget::StretchNone);
    InitFont(dlg, 13);
    const QBaseDrawWidget::rectSize corner{58, 58};
    dlg->setGridViewInfo(corner, corner, corner, corner);
}

void QDialogLook::InitBg2(QZOStandardDialog* dlg)
{
    if (!dlg)
        return;
    dlg->setBackgroundImage(resource(QStringLiteral("/image/common/bg_2.png")), true);
    InitDlg(dlg);
}

void QDialogLook::InitZoButton(QZOBaseButton* b, int width, int height)
{
    if (!b)
        return;
    b->setButtonImage(resource(QStringLiteral("/image/common/btn_common.png")), true);
    b->setTextColor(accent(), accent(), QColor(73, 82, 121), disabledText());
    b->setFixedSize(width, height);
    InitFont(b, 13);
    InitPalette(b, QPalette::WindowText, text());
}

void QDialogLook::InitLabel(QLabel* l)
{
    InitFont(l, 13);
    InitPalette(l, QPalette::WindowText, text());
}

void QDialogLook::InitCheckBox(QZOCheckBox* c)
{
    InitFont(c, 13);
    InitPalette(c, QPalette::WindowText, text());
}

void QDialogLook::InitGroup(QGroupBox* g)
{
    if (!g)
        return;
    InitPalette(g, QPalette::WindowText, text());
    InitFont(g, 12);
    g->setStyleSheet(QStringLiteral("QGroupBox{border:1px solid %1; border-radius:5px;margin-top:2ex;}"
                                    "QGroupBox::title {color: %2;subcontrol-origin: margin;"
                                    "subcontrol-position: top left;left:%3px;padding:0px;}")
                         .arg(border().name(), text().name())
                         .arg(25));
}

void QDialogLook::InitRadio(QZORadioButton* r)
{
    if (!r)
        return;
    r->setCheckImage(resource(QStringLiteral("/image/common/Edit_selections_yes.png")),
                     resource(QStringLiteral("/image/common/Edit_selections_no.png")), false, false);
    InitFont(r, 12);
    InitPalette(r, QPalette::WindowText, text());
}

void QDialogLook::InitLineEdit(QZOLineEdit* e, int width, int height)
{
    if (!e)
        return;
    e->setBackgroundImage(resource(QStringLiteral("/image/common/edit.png")));
    e->setFixedSize(width, height);
    e->setTextMargins(10, 0, 10, 0);
    InitFont(e, 12);
    QPalette pal = e->palette();
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive})
        pal.setColor(group, QPalette::Text, text());
    pal.setColor(QPalette::Disabled, QPalette::Text, disabledText());
    e->setPalette(pal);
}

void QDialogLook::InitTextEdit(QZOTextEdit* e)
{
    if (!e)
        return;
    e->setBackgroundImage(resource(QStringLiteral("/image/common/edit.png")));
    InitFont(e->textEdit(), 13);
    InitPalette(e->textEdit(), QPalette::Text, text());
}

void QDialogLook::InitZoScrollBar(QZOScrollBar* bar)
{
    if (!bar)
        return;
    QZOScrollBarStyleAttribute a;
    const QColor track(249, 249, 249);
    const QColor handle(230, 230, 230);
    a.grooveColor = track;
    a.trackColor = track;
    a.alwaysShowTrack = true;
    a.arrowBgColor = track;
    a.spareColor1 = a.spareColor2 = a.spareColor3 = handle;
    a.handleColor = a.handlePressColor = a.handleHoverColor = handle;
    a.handleInset = 2;
    bar->setStyleAttribute(a);
}
