#include "QInitCtrlStyle.h"

#include <QAbstractButton>
#include <QFontMetrics>
#include <QGroupBox>
#include <QImage>
#include <QPixmap>
#include <QLabel>
#include <QListView>
#include <QTextEdit>

#include "QProjectConfig.h"
#include "QZOBaseBoxDraw.h"
#include "QZOBaseButton.h"
#include "QZOComboBox.h"
#include "QZOLineEdit.h"
#include "QZOMenu.h"
#include "QZOProjectPath.h"
#include "QZOScrollBar.h"
#include "QZOStandardDialog.h"

namespace {

const QColor kText = QInitCtrlStyle::text();
const QColor kDisabled = QInitCtrlStyle::disabledText();
const QColor kAccent = QInitCtrlStyle::accent();
const QColor kBorder = QInitCtrlStyle::border();

QString Resource(const char* name)
{
    return QZOProjectPath::getResourcePath(QString::fromLatin1(name));
}

template <typename T>
T* As(void* widget)
{
    return static_cast<T*>(widget);
}

void AllGroups(QPalette& palette, QPalette::ColorRole role, const QColor& color)
{
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        palette.setColor(group, role, color);
}

// The frameless window look both dialog styles share.
void FramelessLook(QZOStandardDialog* dialog, int dragBand)
{
    dialog->setAttribute(Qt::WA_TranslucentBackground);
    dialog->setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    dialog->setWindowTitle(QProjectConfig::getProjectConfig()->projectName());
    dialog->setAlignment(Qt::AlignCenter);
    QPalette palette = dialog->palette();
    AllGroups(palette, QPalette::WindowText, kText);
    dialog->setPalette(palette);
    dialog->setMoveTopHeight(dragBand);
    dialog->setStretchPolicy(QBaseDrawWidget::StretchNone);
    QInitCtrlStyle::InitFont(dialog, 13);
    dialog->setGridViewInfo({58, 58}, {58, 58}, {58, 58}, {58, 58});
}

}  // namespace

QString QInitCtrlStyle::resource(const QString& name)
{
    return QZOProjectPath::getResourcePath(name);
}

QStringList QInitCtrlStyle::fallbackFamilies()
{
    return {QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")};
}

void QInitCtrlStyle::setProjectFamily(QFont& font)
{
    font.setFamily(fontFamily());
    font.setFamilies(fallbackFamilies());
}

QIcon QInitCtrlStyle::appIcon()
{
    const QImage drawn(resource(QStringLiteral("/image/common/icon600x600.png")));
    QIcon icon;
    if (drawn.isNull())
        return icon;
    for (int side : {16, 24, 32, 48, 64, 128, 256})
        icon.addPixmap(QPixmap::fromImage(drawn.scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
    return icon;
}

void QInitCtrlStyle::fitText(QAbstractButton* button, int padding)
{
    if (!button)
        return;
    const int needed = QFontMetrics(button->font()).horizontalAdvance(button->text()) + 2 * padding;
    if (needed <= button->width())
        return;
    const int right = button->geometry().right();
    button->resize(needed, button->height());
    button->move(right - needed + 1, button->y());
}

void QInitCtrlStyle::InitDlg(void* widget)
{
    if (!widget)
        return;
    auto* dialog = As<QZOStandardDialog>(widget);
    dialog->setTitleRect(QRect(0, 8, 0, 0));
    FramelessLook(dialog, 30);
}

void QInitCtrlStyle::InitBg1(void* widget)
{
    if (!widget)
        return;
    As<QZOStandardDialog>(widget)->setBackgroundImage(Resource("/image/common/bg_1.png"), true);
    InitDlg(widget);
}

void QInitCtrlStyle::InitBg2(void* widget)
{
    if (!widget)
        return;
    As<QZOStandardDialog>(widget)->setBackgroundImage(Resource("/image/common/bg_2.png"), true);
    InitDlg(widget);
}

void QInitCtrlStyle::InitPlayerBg(void* widget)
{
    if (!widget)
        return;
    auto* dialog = As<QZOStandardDialog>(widget);
    dialog->setBackgroundImage(Resource("/image/player/play_dlg.png"), true);
    FramelessLook(dialog, 22);
    // The preview window has no shadow margin: its title sits in the 22-px
    // band above the video (a zero top would put it a margin lower, where
    // the video covers its lower half).
    dialog->setTitleRect(QRect(0, 1, 0, 20));
    dialog->setAttribute(Qt::WA_TranslucentBackground, false);
    dialog->setTransDlg(false);
    dialog->setStretchPolicy(QBaseDrawWidget::StretchAll);
}

void QInitCtrlStyle::InitZoMenu(void* widget)
{
    if (!widget)
        return;
    auto* menu = As<QZOMenu>(widget);
    menu->setFrameWidth(1);
    menu->setFrameColor(kBorder);
    menu->setAreaColor(Qt::white);
    menu->setItemColor(Qt::white);
    menu->setItemTextColor(kText);
    menu->setItemSelectColor(kAccent);
    menu->setItemTextSelectColor(Qt::white);
    menu->setItemTextEabledColor(kDisabled);
    menu->setItemEabledColor(Qt::white);
    menu->setSeparatorColor(kBorder);
    InitFont(widget, 13);
    InitPalette(widget, QPalette::WindowText, kText);
}

void QInitCtrlStyle::InitFont(void* widget, int pixelSize)
{
    if (!widget)
        return;
    auto* w = As<QWidget>(widget);
    QFont font = w->font();
    setProjectFamily(font);
    font.setPixelSize(pixelSize);
    w->setFont(font);
}

void QInitCtrlStyle::InitPalette(void* widget, QPalette::ColorRole role, const QColor& color)
{
    if (!widget)
        return;
    auto* w = As<QWidget>(widget);
    QPalette palette = w->palette();
    AllGroups(palette, role, color);
    palette.setColor(QPalette::Disabled, QPalette::WindowText, kDisabled);
    w->setPalette(palette);
}

void QInitCtrlStyle::InitZoCommonButton(void* widget)
{
    InitZoButton(widget, 80, 25);
}

void QInitCtrlStyle::InitZoButton(void* widget, int width, int height)
{
    if (!widget)
        return;
    auto* button = As<QZOBaseButton>(widget);
    button->setButtonImage(Resource("/image/common/btn_common.png"), true);
    button->setTextColor(kAccent, kAccent, QColor(73, 82, 121), kDisabled);
    button->resize(width, height);
    InitFont(widget, 13);
    InitPalette(widget, QPalette::WindowText, kText);
}

void QInitCtrlStyle::InitZoMainButton1(void* widget)
{
    if (!widget)
        return;
    InitZoButton(widget, 90, 30);
    InitFont(widget, 14);
}

void QInitCtrlStyle::InitZoMainButton2(void* widget)
{
    if (!widget)
        return;
    auto* button = As<QZOBaseButton>(widget);
    button->setButtonImage(Resource("/image/common/btn_main_r.png"), true);
    button->setTextColor(Qt::white, Qt::white, Qt::white, Qt::white);
    button->resize(90, 30);
    InitFont(widget, 14);
}

void QInitCtrlStyle::InitLabel(void* widget)
{
    if (!widget)
        return;
    InitFont(widget, 13);
    InitPalette(widget, QPalette::WindowText, kText);
}

void QInitCtrlStyle::InitCheckBox(void* widget)
{
    if (!widget)
        return;
    InitFont(widget, 13);
    InitPalette(widget, QPalette::WindowText, kText);
}

void QInitCtrlStyle::InitZoScrollBar(void* widget)
{
    if (!widget)
        return;
    QZOScrollBarStyleAttribute a;
    a.grooveColor = QColor(249, 249, 249);
    a.trackColor = QColor(249, 249, 249);
    a.alwaysShowTrack = true;
    a.arrowBgColor = QColor(249, 249, 249);
    a.spareColor1 = a.spareColor2 = a.spareColor3 = QColor(230, 230, 230);
    a.handleColor = a.handlePressColor = a.handleHoverColor = QColor(230, 230, 230);
    a.handleInset = 2;
    As<QZOScrollBar>(widget)->setStyleAttribute(a);
}

QString QInitCtrlStyle::GroupStyleSheet()
{
    return QStringLiteral("QGroupBox{border:1px solid %1; border-radius:5px;margin-top:2ex;}QGroupBox::title {color: "
                          "%2;subcontrol-origin: margin;subcontrol-position: top left;left:%3px;padding:0px;}")
        .arg(kBorder.name(), kText.name())
        .arg(25);
}

void QInitCtrlStyle::InitGroup(void* widget)
{
    if (!widget)
        return;
    InitPalette(widget, QPalette::WindowText, kText);
    InitFont(widget, 12);
    As<QGroupBox>(widget)->setStyleSheet(GroupStyleSheet());
}

void QInitCtrlStyle::InitRadio(void* widget)
{
    if (!widget)
        return;
    auto* radio = As<QZORadioButton>(widget);
    radio->setCheckImage(Resource("/image/common/Edit_selections_yes.png"),
                         Resource("/image/common/Edit_selections_no.png"), false, false);
    InitFont(widget, 12);
    InitPalette(widget, QPalette::WindowText, kText);
}

void QInitCtrlStyle::InitLineEdit(void* widget)
{
    InitLineEdit(widget, 150, 20);
}

void QInitCtrlStyle::InitLineEdit(void* widget, int width, int height)
{
    if (!widget)
        return;
    auto* edit = As<QZOLineEdit>(widget);
    edit->setBackgroundImage(Resource("/image/common/edit.png"));
    edit->resize(width, height);
    // The margins of the text the user types, which QLineEdit draws.
    edit->setTextMargins(10, 0, 10, 0);
    InitFont(widget, 12);
    QPalette palette = edit->palette();
    AllGroups(palette, QPalette::Text, kText);
    palette.setColor(QPalette::Disabled, QPalette::WindowText, kDisabled);
    palette.setColor(QPalette::Disabled, QPalette::Text, kDisabled);
    edit->setPalette(palette);
}

void QInitCtrlStyle::InitTextEdit(void* widget)
{
    if (!widget)
        return;
    auto* edit = As<QZOTextEdit>(widget);
    edit->setBackgroundImage(Resource("/image/common/edit.png"));
    InitFont(edit->textEdit(), 13);
    InitPalette(edit->textEdit(), QPalette::Text, kText);
}

void QInitCtrlStyle::InitZOCombox(void* widget, int width, int height, const QString& background)
{
    if (!widget)
        return;
    auto* combo = As<QZOComboBox>(widget);
    combo->setBackgroundImage(background.isEmpty() ? Resource("/image/common/cmb_common.png") : background);
    combo->setButtonImage(Resource("/image/common/btn_arrow.png"), true);
    combo->setBtnMargins(width - 13, -1, 0, 0);
    combo->setPopupOffestPoint(QPoint(-2, 5));
    combo->setDrawTextMargins(6, 0, 19, 1);
    combo->resize(width, height);
    combo->setBtnMode(true);
    combo->setTextColor(kText);
    combo->setItemHeight(22);
    combo->setItemBorder(1, kBorder);
    combo->setItemBgColor(Qt::white);
    combo->setItemSelectedColor(kAccent);
    combo->setItemTextColor(kText, Qt::white, Qt::white, kDisabled);
    combo->setItemTextMargins(4, 0, 19, 1);
    if (auto* list = qobject_cast<QListView*>(combo->view())) {
        auto* bar = new QZOScrollBar(list);
        InitZoScrollBar(bar);
        list->setVerticalScrollBar(bar);
    }
    QFont font = combo->font();
    setProjectFamily(font);
    font.setPixelSize(13);
    combo->setItemFont(font);
    InitFont(widget, 13);
    InitPalette(widget, QPalette::WindowText, kText);
}
