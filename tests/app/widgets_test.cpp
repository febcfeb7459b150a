// The framework's drawing pieces: nine-grid and image drawing, the busy
// indicator, the desktop glue, the self-drawn button's state machine and
// frames, the style registry and the menu's keyboard handling.
#include <gtest/gtest.h>

#include <QAction>
#include <QDir>
#include <QFile>
#include <QPainter>
#include <QSignalSpy>
#include <QStyleOptionMenuItem>
#include <QTest>
#include <QTimerEvent>

#include <set>

#include "AppTestEnv.h"
#include "QBaseImageDraw.h"
#include "QUiCommonInterface.h"
#include "QZOBaseButton.h"
#include "QZOInitStyleManager.h"
#include "QZOMenu.h"
#include "support/Fixtures.h"

namespace {

// A ratio-2 image of 3 x 3 cells of cell logical pixels, each cell its own
// colour, so every part of a nine-grid shows where it came from.
QImage NineCells(int cell)
{
    QImage image(6 * cell, 6 * cell, QImage::Format_ARGB32);
    QPainter p(&image);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            p.fillRect(2 * cell * c, 2 * cell * r, 2 * cell, 2 * cell, QColor(40 + 80 * c, 40 + 80 * r, 200));
    return image;
}

QColor CellColour(int c, int r)
{
    return QColor(40 + 80 * c, 40 + 80 * r, 200);
}

QImage Canvas(int w, int h)
{
    QImage canvas(w, h, QImage::Format_ARGB32);
    canvas.fill(Qt::black);
    return canvas;
}

}  // namespace

TEST(ImageDraw, NineGridKeepsCornersAndStretchesEdgesAndCentre)
{
    const QImage image = NineCells(10);  // 30 x 30 logical
    QImage canvas = Canvas(120, 90);
    {
        QPainter p(&canvas);
        QBaseImageDraw::drawBtnImageBg(p, canvas.rect(), image, true);
    }
    // Corners stay 10 x 10; edges and centre fill what is left.
    const struct {
        int x, y, c, r;
    } samples[] = {{5, 5, 0, 0}, {114, 5, 2, 0}, {5, 84, 0, 2}, {114, 84, 2, 2},
                   {60, 5, 1, 0}, {60, 84, 1, 2}, {5, 45, 0, 1}, {114, 45, 2, 1}, {60, 45, 1, 1}};
    for (const auto& s : samples)
        EXPECT_EQ(canvas.pixelColor(s.x, s.y), CellColour(s.c, s.r)) << s.x << "," << s.y;
}

TEST(ImageDraw, NineGridTwoCellsHighDrawsOnlyCornersAndHorizontalEdges)
{
    const QImage image = NineCells(10);
    QImage canvas = Canvas(120, 20);
    {
        QPainter p(&canvas);
        QBaseImageDraw::drawBtnImageBg(p, QRect(0, 0, 120, 20), image, true);
    }
    EXPECT_EQ(canvas.pixelColor(5, 5), CellColour(0, 0));
    EXPECT_EQ(canvas.pixelColor(60, 5), CellColour(1, 0));
    EXPECT_EQ(canvas.pixelColor(60, 15), CellColour(1, 2));
    EXPECT_EQ(canvas.pixelColor(115, 15), CellColour(2, 2));
}

TEST(ImageDraw, DrawImageTakesLogicalSourceRectangle)
{
    const QImage image = NineCells(10);
    QImage canvas = Canvas(20, 20);
    {
        QPainter p(&canvas);
        // Logical (10, 10, 10, 10) is the image's centre cell.
        QBaseImageDraw::drawImage(p, QRect(0, 0, 20, 20), QRect(10, 10, 10, 10), image);
    }
    EXPECT_EQ(canvas.pixelColor(10, 10), CellColour(1, 1));
}

TEST(ImageDraw, RoundedPathRadiusIsCappedByTheShortSide)
{
    const QPainterPath path = QBaseImageDraw::GetRoundedRectanglePath(QRectF(0, 0, 100, 10), 20);
    EXPECT_EQ(path.boundingRect(), QRectF(0, 0, 100, 10));
    EXPECT_FALSE(path.contains(QPointF(0.5, 0.5)));   // the corner is cut
    EXPECT_TRUE(path.contains(QPointF(50, 5)));
    EXPECT_EQ(path.elementAt(0), QPointF(95, 0));  // r = 5
}

TEST(ProgressIndicator, StartTwiceResetsAngleWithoutSecondTimerAndDelayWhileStoppedStartsNothing)
{
    struct Counting : QProgressIndicator {
        int ticks = 0;
        std::set<int> timers;  // the timers that ticked
        void timerEvent(QTimerEvent* e) override
        {
            ++ticks;
            timers.insert(e->timerId());
            QProgressIndicator::timerEvent(e);
        }
    } indicator;
    indicator.setAnimationDelay(30);
    EXPECT_FALSE(indicator.isAnimated());
    indicator.startAnimation();
    EXPECT_TRUE(WaitFor([&] { return indicator.angle() > 0; }));
    indicator.startAnimation();
    EXPECT_EQ(indicator.angle(), 0);
    indicator.ticks = 0;
    indicator.timers.clear();
    // A second timer of the same period, left beside the first, would tick
    // among any eight ticks, however late the event loop runs.
    ASSERT_TRUE(WaitFor([&] { return indicator.ticks >= 8; }));
    EXPECT_EQ(indicator.timers.size(), 1u);
    indicator.stopAnimation();
    EXPECT_FALSE(indicator.isAnimated());
    EXPECT_EQ(indicator.sizeHint(), QSize(20, 20));
    EXPECT_EQ(indicator.heightForWidth(33), 33);
}

TEST(ProgressIndicator, CapsuleWidthFactorFollowsSize)
{
    // 20: outer 9, length 9 - 4 = 5, 0.35 * 5 = 1; 40: outer 19, length 10, 0.23 * 10 = 2.
    EXPECT_EQ(QProgressIndicator::capsuleWidth(20), 1);
    EXPECT_EQ(QProgressIndicator::capsuleWidth(40), 2);
    EXPECT_EQ(QProgressIndicator::capsuleWidth(80), int(0.23 * (39 - 19)));
}

TEST(DesktopGlue, PackedVersionDecodesDecimalNibbles)
{
    EXPECT_EQ(QUiCommonInterface::DecodePackedVersion(0x1039), QStringLiteral("Mac OSX 10.3.9"));
    EXPECT_EQ(QUiCommonInterface::DecodePackedVersion(0x1104), QStringLiteral("Mac OSX 11.0.4"));
    EXPECT_EQ(QUiCommonInterface::DecodePackedVersion(0x10A9), QStringLiteral("Unkown"));
    EXPECT_FALSE(QUiCommonInterface::SystemVersionInfo().isEmpty());
}

TEST(DesktopGlue, RevealPathHasSingleSlashes)
{
    EXPECT_EQ(QUiCommonInterface::normalisedRevealPath("/home/u//videos\\clip.mp4"),
              QStringLiteral("/home/u/videos/clip.mp4"));
}

TEST(DesktopGlue, WindowPosOfWidgetWithoutNativeWindowIsOrigin)
{
    QWidget widget;
    EXPECT_EQ(ZoMacosInterface::getWindowPos(&widget), QPoint(0, 0));
    EXPECT_EQ(ZoMacosInterface::getWindowPos(nullptr), QPoint(0, 0));
    const QVector<uint> text = ZoMacosInterface::ConvertCharToUtft32("a\xC3\xA9");
    EXPECT_EQ(text, (QVector<uint>{'a', 0xE9, 0}));
}

TEST(DesktopGlue, ClearFolderEmptiesNestedFoldersButNeverFollowsLinks)
{
    mendtest::ScratchDir scratch("clear-folder");
    const QString root = QString::fromStdString(scratch.Root());
    const QString target = root + "/target", outside = root + "/outside";
    QDir().mkpath(target + "/a/b/c");
    QDir().mkpath(target + "/.hidden");
    QDir().mkpath(outside);
    for (const QString& f : {target + "/one.bin", target + "/a/two.bin", target + "/a/b/c/three.bin",
                             target + "/.hidden/.four", outside + "/keep.bin"}) {
        QFile file(f);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("x");
    }
    // A link to a folder elsewhere, and a link back up to the folder itself.
    ASSERT_TRUE(QFile::link(outside, target + "/a/to-outside"));
    ASSERT_TRUE(QFile::link(target, target + "/a/b/loop"));
    QUiCommonInterface::clearFolder(target, false);
    EXPECT_TRUE(QDir(target).exists());
    EXPECT_TRUE(QDir(target).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot).isEmpty());
    EXPECT_TRUE(QFile::exists(outside + "/keep.bin"));
    QUiCommonInterface::clearFolder(target, true);
    EXPECT_FALSE(QDir(target).exists());
}

TEST(DesktopGlue, ClearFolderEndsWhenAnEntryCannotBeDeleted)
{
    mendtest::ScratchDir scratch("clear-locked");
    const QString root = QString::fromStdString(scratch.Root());
    QDir().mkpath(root + "/locked/inner");
    QFile file(root + "/locked/inner/stays.bin");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    QFile(root + "/plain.bin").open(QIODevice::WriteOnly);
    // inner is readable and writable but holds a file that cannot go when
    // the process lacks rights (as root it goes: both ends are fine).
    QFile::setPermissions(root + "/locked/inner", QFile::ReadOwner | QFile::ExeOwner | QFile::WriteOwner);
    QFile::setPermissions(root + "/locked", QFile::ReadOwner | QFile::ExeOwner | QFile::WriteOwner);
    QFile::setPermissions(root + "/locked/inner", QFile::ReadOwner | QFile::ExeOwner);
    QUiCommonInterface::clearFolder(root, false);
    EXPECT_FALSE(QFile::exists(root + "/plain.bin"));
    QFile::setPermissions(root + "/locked/inner", QFile::ReadOwner | QFile::ExeOwner | QFile::WriteOwner);
}

namespace {

// A four-frame strip, 20 x 10 logical pixels a frame, one solid colour each.
const QColor kFrameColours[4] = {QColor(200, 0, 0), QColor(0, 200, 0), QColor(0, 0, 200), QColor(90, 90, 90)};

QImage FourFrameStrip()
{
    QImage strip(4 * 40, 20, QImage::Format_ARGB32);
    QPainter p(&strip);
    for (int f = 0; f < 4; ++f)
        p.fillRect(40 * f, 0, 40, 20, kFrameColours[f]);
    return strip;
}

QColor DrawnColour(QZOBaseButton& button)
{
    const QImage shot = button.grab().toImage();
    return shot.pixelColor(shot.width() / 2, shot.height() / 2);
}

struct ButtonFixture : ::testing::Test {
    QWidget window;
    QZOBaseButton* button = new QZOBaseButton(&window);
    void SetUp() override
    {
        button->setButtonImage(FourFrameStrip(), true);
        button->move(10, 10);
        window.resize(100, 60);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window, kHangGuardMs));
    }
    void enter()
    {
        QEvent e(QEvent::Enter);
        QCoreApplication::sendEvent(button, &e);
    }
    void leave()
    {
        QEvent e(QEvent::Leave);
        QCoreApplication::sendEvent(button, &e);
    }
};

}  // namespace

TEST_F(ButtonFixture, StateMachineAndDrawnFrameFollowTheMouse)
{
    EXPECT_EQ(button->size(), QSize(20, 10));
    QSignalSpy down(button, &QZOBaseButton::mouseDown), up(button, &QZOBaseButton::mouseRelease),
        clicked(button, &QPushButton::clicked);
    EXPECT_EQ(DrawnColour(*button), kFrameColours[0]);
    enter();
    EXPECT_EQ(button->getBtnState(), 1);
    EXPECT_EQ(DrawnColour(*button), kFrameColours[1]);
    QTest::mousePress(button, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    EXPECT_EQ(button->getBtnState(), 2);
    EXPECT_EQ(DrawnColour(*button), kFrameColours[2]);
    QTest::mouseRelease(button, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    EXPECT_EQ(button->getBtnState(), 0);
    EXPECT_EQ(down.count(), 1);
    EXPECT_EQ(up.count(), 1);
    EXPECT_EQ(clicked.count(), 1);
    EXPECT_EQ(button->getMouseMapValue(), 5);
    button->setEnabled(false);
    EXPECT_EQ(button->getBtnState(), 3);
    EXPECT_EQ(DrawnColour(*button), kFrameColours[3]);
    QTest::mousePress(button, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    EXPECT_EQ(down.count(), 1);
    button->setEnabled(true);
    EXPECT_EQ(button->getBtnState(), 0);
}

TEST_F(ButtonFixture, CheckedButtonShowsPressedFrameAndReleasesToHover)
{
    button->setCheckable(true);
    button->setChecked(true);
    // Checked: the pressed frame whatever the state.
    EXPECT_EQ(button->getBtnState(), 0);
    EXPECT_EQ(DrawnColour(*button), kFrameColours[2]);
    enter();
    QTest::mouseClick(button, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    // Released while checked: hover until the mouse leaves (the click unchecked it).
    EXPECT_FALSE(button->isChecked());
    EXPECT_EQ(button->getBtnState(), 1);
    EXPECT_EQ(DrawnColour(*button), kFrameColours[1]);
    leave();
    EXPECT_EQ(button->getBtnState(), 0);
    EXPECT_EQ(DrawnColour(*button), kFrameColours[0]);
}

TEST_F(ButtonFixture, StaticStateSurvivesEnterLeaveReleaseAndEnableChanges)
{
    button->setStaticState(true);
    button->setBtnState(2);
    enter();
    leave();
    button->setEnabled(false);
    button->setEnabled(true);
    QTest::mouseRelease(button, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    EXPECT_EQ(button->getBtnState(), 2);
}

TEST_F(ButtonFixture, FailedImageLoadsKeepTheOldImageOrNone)
{
    EXPECT_FALSE(button->setButtonImage(QStringLiteral("/nonexistent/btn.png"), true));
    ASSERT_TRUE(button->isCustomDraw());
    EXPECT_EQ(DrawnColour(*button), kFrameColours[0]);
    // A null image replaces the old one with none; the button paints as Qt's.
    EXPECT_FALSE(button->setButtonImage(static_cast<QImage*>(nullptr), true, false));
    EXPECT_FALSE(button->isCustomDraw());
    EXPECT_EQ(button->buttonImage(), nullptr);
    button->grab();
}

TEST_F(ButtonFixture, RepeatedFlickerAndCountRestartTheirTimers)
{
    struct Counting : QZOBaseButton {
        using QZOBaseButton::QZOBaseButton;
        int ticks = 0;
        std::set<int> timers;  // the timers that ticked
        void timerEvent(QTimerEvent* e) override
        {
            ++ticks;
            timers.insert(e->timerId());
            QZOBaseButton::timerEvent(e);
        }
    } counting(&window);
    counting.setButtonImage(FourFrameStrip(), true);
    for (int i = 0; i < 4; ++i)
        counting.startFlicker(40);
    // One timer ticks: four stacked ones of the same period would all show
    // among any eight ticks, however late the event loop runs.
    ASSERT_TRUE(WaitFor([&] { return counting.ticks >= 8; }));
    EXPECT_EQ(counting.timers.size(), 1u);
    counting.stopFlicker();
    counting.ticks = 0;
    counting.timers.clear();
    counting.setAlternateEffect(true, 40);
    for (int i = 0; i < 4; ++i)
        counting.addItemCount();
    EXPECT_EQ(counting.itmeCount(), 4);
    ASSERT_TRUE(WaitFor([&] { return counting.ticks >= 8; }));
    EXPECT_EQ(counting.timers.size(), 1u);
    counting.resetCount();
    counting.ticks = 0;
    QTest::qWait(120);
    EXPECT_EQ(counting.ticks, 0);
}

TEST_F(ButtonFixture, CountBadgeDrawsInItsColourAtTheRightEdge)
{
    button->resize(60, 30);
    button->setTagRect(QRect(QPoint(-1, -1), QPoint(18, 18)));
    button->setTagBgAlternateColor(QColor(255, 120, 0), QColor(255, 120, 0));
    button->addItemCount();
    const QImage shot = button->grab().toImage();
    // Badge x = 60 - 18 - 2 = 40, y 0, 20 x 20: its left-middle edge area.
    EXPECT_EQ(shot.pixelColor(44, 10), QColor(255, 120, 0));
    EXPECT_NE(shot.pixelColor(20, 10), QColor(255, 120, 0));
}

namespace {
int g_styled = 0;
void StyleA(void*) { g_styled = 1; }
void StyleB(void*) { g_styled = 2; }
}  // namespace

TEST(StyleRegistry, CommonTagLookupsAndReplacement)
{
    QZOInitStyleManager* registry = QZOInitStyleManager::getInstance();
    registry->releaseAll();
    EXPECT_EQ(registry->getControlStyleFun(ZO_UI::ZOPushButtonStyle, QString()), nullptr);
    registry->setControlStyleFun(ZO_UI::ZOPushButtonStyle, &StyleA, QString());
    EXPECT_EQ(registry->getControlStyleFun(ZO_UI::ZOPushButtonStyle, QStringLiteral("Common")), &StyleA);
    registry->setControlStyleFun(ZO_UI::ZOLineEditStyle, &StyleA, QStringLiteral("Common"));
    EXPECT_EQ(registry->getControlStyleFun(ZO_UI::ZOLineEditStyle, QString()), &StyleA);
    // No fallback to "Common" for an unknown tag.
    EXPECT_EQ(registry->getControlStyleFun(ZO_UI::ZOPushButtonStyle, QStringLiteral("OTHER")), nullptr);
    QWidget widget;
    g_styled = 0;
    EXPECT_FALSE(QZOInitStyleManager::InitStyle(&widget, ZO_UI::ZOPushButtonStyle, QStringLiteral("OTHER"), {}));
    EXPECT_EQ(g_styled, 0);
    EXPECT_FALSE(QZOInitStyleManager::InitStyle(nullptr, ZO_UI::ZOPushButtonStyle, {}, {}));
    // A second registration wins.
    registry->setControlStyleFun(ZO_UI::ZOPushButtonStyle, &StyleB, QString());
    EXPECT_TRUE(QZOInitStyleManager::InitStyle(&widget, ZO_UI::ZOPushButtonStyle, {}, {}));
    EXPECT_EQ(g_styled, 2);
    registry->releaseAll();
}

TEST(StyleRegistry, ListingPrintsWholePointersAndDefaultPaletteIsBlackAndBlue)
{
    QZOBaseControlStyle style;
    style.setControlType(ZO_UI::ZODialogStyle);
    style.addStyle(QStringLiteral("A"), &StyleA);
    style.addStyle(QStringLiteral("B"), nullptr);
    const QStringList all = style.printStlye(false);
    ASSERT_EQ(all.size(), 3);
    EXPECT_EQ(all[0], QStringLiteral("ControlStyle Type:23"));
    const QString address = QString::number(reinterpret_cast<quintptr>(&StyleA), 16);
    EXPECT_EQ(all[1], QStringLiteral("index(0),tagName(A), fun(0x%1)").arg(address));
    const QStringList empty = style.printStlye(true);
    ASSERT_EQ(empty.size(), 2);
    EXPECT_EQ(empty[1], QStringLiteral("index(0),tagName(B), fun(0x0)"));
    const QZOProjectPalette palette;
    EXPECT_EQ(palette.textColor, QColor(0, 0, 0));
    EXPECT_EQ(palette.linkColor, QColor(0, 0, 255));
}

TEST(Menu, KeyboardMovesAndTriggersItems)
{
    QZOMenu menu;
    QAction* first = menu.addAction(QStringLiteral("First"));
    QAction* second = menu.addAction(QStringLiteral("Second"));
    menu.addSeparator();
    menu.addAction(QStringLiteral("Third"));
    QSignalSpy triggered(second, &QAction::triggered);
    menu.popup(QPoint(20, 20));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&menu, kHangGuardMs));
    QTest::keyClick(&menu, Qt::Key_Down);
    EXPECT_EQ(menu.activeAction(), first);
    QTest::keyClick(&menu, Qt::Key_Down);
    EXPECT_EQ(menu.activeAction(), second);
    QTest::keyClick(&menu, Qt::Key_Return);
    EXPECT_EQ(triggered.count(), 1);
    EXPECT_FALSE(menu.isVisible());
}

TEST(Menu, ItemSizesAreTheBaseStylesUntilAFixedSizeIsSet)
{
    QZOMenu menu;
    menu.addAction(QStringLiteral("Item"));
    QStyleOptionMenuItem option;
    option.initFrom(&menu);
    option.menuItemType = QStyleOptionMenuItem::Normal;
    option.text = QStringLiteral("Item");
    option.maxIconWidth = 0;
    option.menuHasCheckableItems = false;
    QStyle* style = menu.style();
    const QSize base = static_cast<QProxyStyle*>(style)->baseStyle()->sizeFromContents(QStyle::CT_MenuItem, &option,
                                                                                        QSize(40, 16), &menu);
    EXPECT_EQ(style->sizeFromContents(QStyle::CT_MenuItem, &option, QSize(40, 16), &menu), base);
    menu.setItemHeight(30);
    EXPECT_EQ(style->sizeFromContents(QStyle::CT_MenuItem, &option, QSize(40, 16), &menu), QSize(40 + 52, 30));
    option.menuItemType = QStyleOptionMenuItem::Separator;
    menu.setItemHeight(-1);
    menu.setItemWidth(120);
    EXPECT_EQ(style->sizeFromContents(QStyle::CT_MenuItem, &option, QSize(40, 16), &menu), QSize(120, 2));
    EXPECT_EQ(QZOMenuStyle::mergedColors(QColor(225, 225, 225), QColor(144, 200, 246), 50), QColor(184, 212, 235));
}

TEST(Menu, FrameSelectedAndDisabledItemsTakeTheRecordsColours)
{
    QZOMenu menu;
    menu.setFrameColor(QColor(200, 0, 0));
    menu.setItemColor(QColor(250, 250, 250));
    menu.setItemSelectColor(QColor(0, 0, 200));
    menu.setItemEabledColor(QColor(0, 150, 0));
    QAction* first = menu.addAction(QStringLiteral("First"));
    QAction* off = menu.addAction(QStringLiteral("Off"));
    off->setEnabled(false);
    menu.popup(QPoint(20, 20));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&menu, kHangGuardMs));
    menu.setActiveAction(first);
    const QImage shot = menu.grab().toImage();
    // The frame band is the frame width (3) wide.
    EXPECT_EQ(shot.pixelColor(1, 1), QColor(200, 0, 0));
    const QRect selected = menu.actionGeometry(first), disabled = menu.actionGeometry(off);
    EXPECT_EQ(shot.pixelColor(selected.right() - 2, selected.center().y()), QColor(0, 0, 200));
    EXPECT_EQ(shot.pixelColor(disabled.right() - 2, disabled.center().y()), QColor(0, 150, 0));
    menu.hide();
}
