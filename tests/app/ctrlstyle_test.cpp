// The application's style functions: null widgets ignored, sizes that
// override what an image strip gave, a combo background path used as
// given, and the group box's style sheet.
#include <gtest/gtest.h>

#include <QGroupBox>
#include <QImage>
#include <QListView>
#include <QTemporaryDir>

#include "AppTestEnv.h"
#include "QInitCtrlStyle.h"
#include "QZOBaseButton.h"
#include "QZOComboBox.h"

namespace {

TEST(CtrlStyle, NullWidgetsAreIgnored)
{
    using S = QInitCtrlStyle;
    for (void (*f)(void*) : {&S::InitDlg, &S::InitBg1, &S::InitBg2, &S::InitPlayerBg, &S::InitZoMenu,
                             &S::InitZoCommonButton, &S::InitZoMainButton1, &S::InitZoMainButton2, &S::InitLabel,
                             &S::InitCheckBox, &S::InitZoScrollBar, &S::InitGroup, &S::InitRadio,
                             static_cast<void (*)(void*)>(&S::InitLineEdit), &S::InitTextEdit})
        f(nullptr);
    S::InitFont(nullptr, 12);
    S::InitPalette(nullptr, QPalette::Text, Qt::red);
    S::InitZoButton(nullptr, 1, 1);
    S::InitLineEdit(nullptr, 1, 1);
    S::InitZOCombox(nullptr, 1, 1, QString());
}

TEST(CtrlStyle, ButtonsTakeTheirSizeAndFont)
{
    QZOBaseButton button;
    QInitCtrlStyle::InitZoCommonButton(&button);
    EXPECT_EQ(button.size(), QSize(80, 25));
    EXPECT_EQ(button.font().pixelSize(), 13);
    QInitCtrlStyle::InitZoMainButton1(&button);
    EXPECT_EQ(button.size(), QSize(90, 30));
    EXPECT_EQ(button.font().pixelSize(), 14);
    EXPECT_EQ(button.font().family(), QStringLiteral("helvetica neue"));
}

TEST(CtrlStyle, AComboBackgroundPathIsUsedAsGiven)
{
    QTemporaryDir dir;
    QImage image(60, 40, QImage::Format_ARGB32);
    image.fill(Qt::white);
    const QString path = dir.filePath(QStringLiteral("own-combo.png"));
    ASSERT_TRUE(image.save(path));
    QZOComboBox combo;
    QInitCtrlStyle::InitZOCombox(&combo, 90, 20, path);
    EXPECT_TRUE(combo.isCustomDraw());
    EXPECT_NE(combo.popupList(), nullptr);
    EXPECT_EQ(combo.size(), QSize(90, 20));
    EXPECT_EQ(combo.itemHeight(), 22);
}

TEST(CtrlStyle, GroupBoxSheetNamesItsColours)
{
    QGroupBox group;
    QInitCtrlStyle::InitGroup(&group);
    const QString sheet = group.styleSheet();
    EXPECT_TRUE(sheet.contains(QStringLiteral("border:1px solid #dbdbdb")));
    EXPECT_TRUE(sheet.contains(QStringLiteral("color: #404040")));
    EXPECT_TRUE(sheet.contains(QStringLiteral("left:25px")));
    EXPECT_EQ(group.font().pixelSize(), 12);
}

}  // namespace
