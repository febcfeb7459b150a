// Frameless windows under synthetic mouse events, the closing animations,
// the standard and About dialogs and the main-window base.
#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>

#include "AppTestEnv.h"
#include "BoxAnswers.h"
#include "MainWindow.h"
#include "QProjectSetting.h"
#include "QBaseDrawWidget.h"
#include "QProjectConfig.h"
#include "QZOBaseButton.h"
#include "QZOInitStyleManager.h"
#include "QZOProductSetting.h"
#include "QZOStandardDialog.h"

namespace {

// Sends a mouse event at a global position, as the window system would.
void Mouse(QWidget* w, QEvent::Type type, const QPoint& global, Qt::MouseButton button, Qt::MouseButtons buttons)
{
    const QPoint local = w->mapFromGlobal(global);
    QMouseEvent e(type, local, local, global, button, buttons, Qt::NoModifier);
    QCoreApplication::sendEvent(w, &e);
}

void Drag(QWidget* w, const QPoint& from, const QPoint& to)
{
    Mouse(w, QEvent::MouseButtonPress, from, Qt::LeftButton, Qt::LeftButton);
    Mouse(w, QEvent::MouseMove, (from + to) / 2, Qt::NoButton, Qt::LeftButton);
    Mouse(w, QEvent::MouseMove, to, Qt::NoButton, Qt::LeftButton);
    Mouse(w, QEvent::MouseButtonRelease, to, Qt::LeftButton, Qt::NoButton);
}

struct Frameless : ::testing::Test {
    QZODialog dialog;
    void SetUp() override
    {
        dialog.setWindowFlags(Qt::FramelessWindowHint | Qt::Dialog);
        dialog.setTransparentW(8);
        dialog.setMinimumSize(200, 150);
        dialog.setGeometry(100, 100, 400, 300);
        dialog.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog, kHangGuardMs));
        ASSERT_EQ(dialog.geometry(), QRect(100, 100, 400, 300));
    }
    QPoint at(int x, int y) const { return dialog.geometry().topLeft() + QPoint(x, y); }
};

}  // namespace

TEST_F(Frameless, DraggingByTheBandMovesTheWindowAndBelowItDoesNot)
{
    Drag(&dialog, at(200, 20), at(230, 45));
    EXPECT_EQ(dialog.geometry(), QRect(130, 125, 400, 300));
    Drag(&dialog, at(200, 120), at(260, 180));
    EXPECT_EQ(dialog.geometry(), QRect(130, 125, 400, 300));
}

TEST_F(Frameless, BorderCursorsAppearInsideTheMarginOnly)
{
    const struct {
        int x, y;
        QBaseDrawWidget::CursorAndState state;
        Qt::CursorShape shape;
    } cases[] = {
        {3, 150, QBaseDrawWidget::CursorNone, Qt::ArrowCursor},       // in the shadow margin
        {9, 150, QBaseDrawWidget::Left, Qt::SplitHCursor},            // 1 px inside the left edge
        {390, 150, QBaseDrawWidget::Right, Qt::SplitHCursor},
        {200, 9, QBaseDrawWidget::Top, Qt::SplitVCursor},
        {200, 290, QBaseDrawWidget::Bottom, Qt::SplitVCursor},
        {9, 9, QBaseDrawWidget::TopLeft, Qt::SizeFDiagCursor},
        {390, 9, QBaseDrawWidget::TopRight, Qt::SizeBDiagCursor},
        {390, 290, QBaseDrawWidget::BottomRight, Qt::SizeFDiagCursor},
        {9, 290, QBaseDrawWidget::BottomLeft, Qt::SizeBDiagCursor},
        {200, 150, QBaseDrawWidget::CursorNone, Qt::ArrowCursor},
    };
    for (const auto& c : cases) {
        Mouse(&dialog, QEvent::MouseMove, at(c.x, c.y), Qt::NoButton, Qt::NoButton);
        EXPECT_EQ(dialog.cursorAndState(), c.state) << c.x << "," << c.y;
        EXPECT_EQ(dialog.cursor().shape(), c.shape) << c.x << "," << c.y;
    }
}

TEST_F(Frameless, ResizingFollowsTheBorderAndStopsAtTheMinimum)
{
    Mouse(&dialog, QEvent::MouseMove, at(390, 150), Qt::NoButton, Qt::NoButton);
    ASSERT_EQ(dialog.cursorAndState(), QBaseDrawWidget::Right);
    Drag(&dialog, at(390, 150), at(440, 150));
    EXPECT_EQ(dialog.geometry(), QRect(100, 100, 450, 300));
    Mouse(&dialog, QEvent::MouseMove, at(440, 150), Qt::NoButton, Qt::NoButton);
    ASSERT_EQ(dialog.cursorAndState(), QBaseDrawWidget::Right);
    // One move far below the minimum width is refused as a whole.
    Mouse(&dialog, QEvent::MouseButtonPress, at(440, 150), Qt::LeftButton, Qt::LeftButton);
    Mouse(&dialog, QEvent::MouseMove, at(50, 150), Qt::NoButton, Qt::LeftButton);
    Mouse(&dialog, QEvent::MouseButtonRelease, at(50, 150), Qt::LeftButton, Qt::NoButton);
    EXPECT_EQ(dialog.geometry(), QRect(100, 100, 450, 300));
    EXPECT_GE(dialog.width(), dialog.minimumWidth());
    const int screenWidth = dialog.screen()->geometry().width();
    Mouse(&dialog, QEvent::MouseMove, at(440, 150), Qt::NoButton, Qt::NoButton);
    Drag(&dialog, at(440, 150), at(440 + screenWidth, 150));  // wider than the screen
    EXPECT_LT(dialog.width(), screenWidth - 4 + 1);
}

TEST_F(Frameless, MaximiseCoversTheAvailableScreenAndRestoreReturnsExactly)
{
    const QRect before = dialog.geometry();
    dialog.OnBtnMax();
    EXPECT_TRUE(dialog.isMaxSize());
    const QRect available = dialog.screen()->availableGeometry();
    EXPECT_EQ(dialog.geometry(), available.adjusted(-8, -8, 8, 8));
    // Maximised: no resize cursor and no dragging.
    Mouse(&dialog, QEvent::MouseMove, at(9, 150), Qt::NoButton, Qt::NoButton);
    EXPECT_EQ(dialog.cursorAndState(), QBaseDrawWidget::CursorNone);
    const QRect maximised = dialog.geometry();
    Drag(&dialog, at(200, 20), at(260, 60));
    EXPECT_EQ(dialog.geometry(), maximised);
    dialog.OnBtnMax();
    EXPECT_FALSE(dialog.isMaxSize());
    EXPECT_EQ(dialog.geometry(), before);
}

TEST(FramelessChild, EmbeddedWidgetNeverMovesAndIgnoresDoubleClicks)
{
    QWidget host;
    host.resize(300, 200);
    QZOWidget child(&host);
    child.setGeometry(10, 10, 100, 100);
    host.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&host, kHangGuardMs));
    const QPoint g = child.mapToGlobal(QPoint(20, 10));
    Drag(&child, g, g + QPoint(40, 40));
    QTest::mouseDClick(&child, Qt::LeftButton, Qt::NoModifier, QPoint(20, 10));
    EXPECT_EQ(child.geometry(), QRect(10, 10, 100, 100));
    EXPECT_FALSE(child.isMaxSize());
}

TEST(FramelessPaint, BackgroundSetsSizeCornersAndTitleRectangle)
{
    QZOWidget window(nullptr, QBaseDrawWidget::DialogKind);
    QImage image(1200, 900, QImage::Format_ARGB32);
    image.fill(Qt::white);
    window.setBackgroundImage(image, true);
    EXPECT_EQ(window.size(), QSize(600, 450));
    EXPECT_EQ(window.minimumSize(), QSize(600, 450));
    // Corners are a third of the window's logical size.
    EXPECT_EQ(window.gridCorner(0).width, 200);
    EXPECT_EQ(window.gridCorner(3).height, 150);
    window.setTransparentW(8);
    window.setDlgTitle(QStringLiteral("Title"));
    EXPECT_EQ(window.titleDrawRect(), QRect(8, 8, 600 - 16, 20));
}

TEST(FramelessPaint, NineGridCornersStayUnscaledWhenTheWindowGrows)
{
    // A background of four coloured quadrants: a grown window keeps each
    // 58-pixel corner in its own colour.
    QImage image(400, 300, QImage::Format_ARGB32);
    image.fill(Qt::white);
    {
        QPainter p(&image);
        p.fillRect(0, 0, 116, 116, Qt::red);
        p.fillRect(400 - 116, 300 - 116, 116, 116, Qt::blue);
    }
    QZOWidget window(nullptr, QBaseDrawWidget::DialogKind);
    window.setBackgroundImage(image, true);
    window.setGridViewInfo({58, 58}, {58, 58}, {58, 58}, {58, 58});
    window.resize(500, 400);
    const QImage shot = window.grab().toImage();
    EXPECT_EQ(shot.pixelColor(57, 57), QColor(Qt::red));
    EXPECT_EQ(shot.pixelColor(60, 60), QColor(Qt::white));
    EXPECT_EQ(shot.pixelColor(500 - 58, 400 - 58), QColor(Qt::blue));
    EXPECT_EQ(shot.pixelColor(500 - 61, 400 - 61), QColor(Qt::white));
}

TEST(CloseAnimation, BothAnimationsEndWithTheWindowClosed)
{
    QWidget a, b;
    for (QWidget* w : {&a, &b}) {
        w->setGeometry(50, 50, 200, 120);
        w->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(w, kHangGuardMs));
    }
    QDialogColseAnimation::startCloseGeometryAnimation(a);
    QDialogColseAnimation::ColseTransparentAnimation(b);
    EXPECT_TRUE(WaitFor([&] { return !a.isVisible() && !b.isVisible(); }));
}

TEST(StandardDialog, ButtonPlacesAndSingleCloseButton)
{
    QProjectConfig::getProjectConfig()->setTransparentMargins(8);
    QZOStandardDialog dialog;
    dialog.addCloseBtn(QString(), true);
    dialog.addCloseBtn(QString(), true);
    EXPECT_EQ(dialog.findChildren<QZOBaseButton*>().size(), 1);
    dialog.addMinBtn(QString(), true);
    EXPECT_FALSE(dialog.minButton()->isEnabled());
    dialog.resetControlLocation();
    EXPECT_EQ(dialog.closeButton()->pos(), QPoint(16, 13));
    EXPECT_EQ(dialog.minButton()->pos(), QPoint(36, 13));
    dialog.setTransDlg(false);
    dialog.resetControlLocation();
    EXPECT_EQ(dialog.closeButton()->pos(), QPoint(9, 6));
}

TEST(AboutDialog, SizeButtonsAndLinkColour)
{
    QProjectConfig::getProjectConfig()->setTransparentMargins(8);
    QZOInitStyleManager* styles = QZOInitStyleManager::getInstance();
    const QZOProjectPalette saved = styles->projectPalette();
    QZOProjectPalette palette = saved;
    palette.linkColor = QColor(12, 34, 56);
    styles->setProjectPalette(palette);
    QZOAboutDlg about;
    styles->setProjectPalette(saved);
    about.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&about, kHangGuardMs));
    EXPECT_EQ(about.size(), QSize(416, 256));
    EXPECT_EQ(about.minimumSize(), about.maximumSize());
    EXPECT_EQ(about.stretchPolicy(), QBaseDrawWidget::StretchNone);
    ASSERT_TRUE(about.minButton() && about.maxButton() && about.closeButton());
    for (QZOBaseButton* b : {about.minButton(), about.maxButton()}) {
        EXPECT_TRUE(b->isVisible());
        EXPECT_FALSE(b->isEnabled());
        EXPECT_TRUE(b->isCustomDraw());  // the drawn strips are in place
    }
    EXPECT_TRUE(about.linkLabel()->text().contains(QStringLiteral("color: #0c2238;")));
    EXPECT_TRUE(about.linkLabel()->text().contains(QZOAboutDlg::homePage()));
    about.closeButton()->click();
    EXPECT_FALSE(about.isVisible());
}

namespace {

// A child that reads the project configuration while it is destroyed, as
// the application's pages do.
struct ConfigReader : QWidget {
    QString* seen;
    ConfigReader(QWidget* parent, QString* out) : QWidget(parent), seen(out) {}
    ~ConfigReader() override { *seen = QProjectConfig::getProjectConfig()->projectName(); }
};

}  // namespace

TEST(MainWindowBase, TitleButtonsFollowMaximiseAndHelpMenuIsOnTheMenuButton)
{
    QString seenByChild;
    {
        MainWindow window;
        new ConfigReader(&window, &seenByChild);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window, kHangGuardMs));
        EXPECT_EQ(window.size(), QSize(720, 512));
        EXPECT_TRUE(window.restoreButton()->isHidden());
        EXPECT_FALSE(window.maxButton()->isHidden());
        window.OnMaxSize();
        EXPECT_TRUE(window.maxButton()->isHidden());
        EXPECT_FALSE(window.restoreButton()->isHidden());
        window.OnRestoreSize();
        EXPECT_FALSE(window.maxButton()->isHidden());
        EXPECT_EQ(window.size(), QSize(720, 512));

        QStringList entries;
        for (QAction* a : window.helpMenu()->actions())
            entries << (a->isSeparator() ? QStringLiteral("-") : a->text());
        EXPECT_EQ(entries, (QStringList{"Preferences", "About", "Help", "Home", "-", "Check for Updates"}));
        // The menu bar stays off the drawn title band; the menu button shows it.
        EXPECT_FALSE(window.menuBar()->isVisible());
        EXPECT_TRUE(window.menuButton()->isVisible());
        window.menuButton()->click();
        EXPECT_TRUE(WaitFor([&] { return window.helpMenu()->isVisible(); }));
        window.helpMenu()->hide();

        EXPECT_EQ(QZOInitMainWindow::productPage(QStringLiteral("home")).query(),
                  QStringLiteral("pid=530&page_type=home"));
        const int requests = QZOProjectPlatform::checkRequests();
        {
            // Checking for updates says where updates come from.
            BoxAnswers boxes;
            window.ActOnUpdates();
            ASSERT_EQ(boxes.messages.size(), 1);
            EXPECT_TRUE(boxes.messages[0].contains(QStringLiteral("system's packages")));
        }
        EXPECT_EQ(QZOProjectPlatform::checkRequests(), requests + 1);
        window.setAutoUpdate(true);
        EXPECT_TRUE(QZOProjectPlatform::autoCheckUpdate());
        window.setAutoUpdate(false);
        EXPECT_FALSE(QZOProjectPlatform::autoCheckUpdate());

        QSignalSpy destroyed(&window, &QObject::destroyed);
        // Exit on close, without asking.
        QProjectSetting::setShowCloseDlgToXML(false, false);
        QProjectSetting::setExitWhenCloseToXML(true, false);
        window.closeButton()->click();
        EXPECT_TRUE(WaitFor([&] { return !window.isVisible(); }));
    }
    EXPECT_EQ(seenByChild, QString::fromUtf8(kTestProjectName));
}
