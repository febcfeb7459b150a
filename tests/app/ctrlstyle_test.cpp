// The application's style functions: null widgets ignored, sizes that
// override what an image strip gave, a combo background path used as
// given, and the group box's style sheet.
#include <gtest/gtest.h>

#include <QDirIterator>
#include <QFontInfo>
#include <QGroupBox>
#include <QImage>
#include <QRegularExpression>
#include <QListView>
#include <QTemporaryDir>

#include "AppTestEnv.h"
#include "QInitCtrlStyle.h"
#include "QZOBaseButton.h"
#include "QZOComboBox.h"
#include "QZOProjectPath.h"

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
    // Where the design's family is missing, a Debian font stands in, not
    // whatever fontconfig picks last.
    const QString shown = QFontInfo(button.font()).family();
    EXPECT_TRUE(shown == QStringLiteral("helvetica neue") ||
                QInitCtrlStyle::fallbackFamilies().contains(shown))
        << shown.toStdString();
}

// Every image a style function or a window names ("/image/..." or
// "/pic/..." in the application's sources) is drawn into the resources the
// program finds, and opens as an image.
TEST(CtrlStyle, EveryNamedImageIsDrawn)
{
    const QRegularExpression named(QStringLiteral("\"(/(?:image|pic)/[^\"]+\\.png)\""));
    QStringList images;
    QDirIterator it(QStringLiteral(VIDMEND_SOURCE_DIR), {QStringLiteral("*.cpp"), QStringLiteral("*.h")}, QDir::Files,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
        if (file.contains(QStringLiteral("/tools/")))
            continue;  // the drawing program names the files it writes
        auto matches = named.globalMatch(QString::fromUtf8(FileBytes(file)));
        while (matches.hasNext()) {
            const QString image = matches.next().captured(1);
            if (!images.contains(image))
                images << image;
        }
    }
    // The style functions' own images are among them.
    for (const char* image : {"/image/common/btn_main_r.png", "/image/common/cmb_common.png",
                              "/image/common/btn_arrow.png", "/image/common/bg_1.png", "/image/common/bg_2.png"})
        EXPECT_TRUE(images.contains(QString::fromLatin1(image))) << image;
    ASSERT_GT(images.size(), 30);
    for (const QString& image : images) {
        const QString path = QZOProjectPath::getResourcePath(image);
        EXPECT_FALSE(QImage(path).isNull()) << path.toStdString();
    }
}

// The bottom bar's main actions are drawn from their strip, not left to
// Qt's grey button.
TEST(CtrlStyle, MainActionButtonsAreDrawn)
{
    QZOBaseButton button;
    QInitCtrlStyle::InitZoMainButton2(&button);
    EXPECT_TRUE(button.isCustomDraw());
    EXPECT_EQ(button.size(), QSize(90, 30));
    QZOComboBox combo;
    QInitCtrlStyle::InitZOCombox(&combo, 90, 20, QString());
    EXPECT_TRUE(combo.isCustomDraw());
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
