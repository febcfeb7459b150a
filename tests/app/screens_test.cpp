// Renders the windows as a user sees them, on a real X server (Xvfb), into
// PNG files in the build tree's screens folder.
#include <gtest/gtest.h>

#include <QDir>
#include <QGuiApplication>
#include <QScreen>
#include <QTest>

#include "AppTestEnv.h"
#include "MainWindow.h"
#include "QPreferencesDlg.h"
#include "QProjectConfig.h"
#include "QSavePathDlg.h"
#include "QZOStandardDialog.h"
#include "qSaveSuccessDlg.h"

namespace {

bool OnX()
{
    return QGuiApplication::platformName() == QLatin1String("xcb");
}

// The window as the X server shows it (over a plain desktop colour), and
// the transparent-margin image the window itself draws.
void Save(QWidget& w, const QString& name)
{
    QDir().mkpath(QStringLiteral(VIDMEND_SCREENS_DIR));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w, kHangGuardMs));
    QTest::qWait(300);
    const QImage drawn = w.grab().toImage();
    ASSERT_FALSE(drawn.isNull());
    EXPECT_TRUE(drawn.save(QStringLiteral(VIDMEND_SCREENS_DIR "/%1.png").arg(name)));
    const QPixmap onScreen = w.screen()->grabWindow(0, w.x(), w.y(), w.width(), w.height());
    EXPECT_TRUE(onScreen.save(QStringLiteral(VIDMEND_SCREENS_DIR "/%1-xvfb.png").arg(name)));
    // Something was drawn in the middle: not all transparent or black.
    const QColor middle = drawn.pixelColor(drawn.width() / 2, drawn.height() / 2);
    EXPECT_EQ(middle.alpha(), 255);
    EXPECT_GT(middle.lightness(), 200);
}

// The program under the name it gives itself, not the tests' own.
class ProgramName {
public:
    ProgramName() : m_saved(QProjectConfig::getProjectConfig()->projectName())
    {
        QProjectConfig::getProjectConfig()->setProjectName(QString());
    }
    ~ProgramName() { QProjectConfig::getProjectConfig()->setProjectName(m_saved); }

private:
    QString m_saved;
};

}  // namespace

TEST(Screens, MainWindowBaseAndAboutDialog)
{
    if (!OnX())
        GTEST_SKIP() << "needs an X server (the test command runs it under xvfb-run)";
    ProgramName name;
    MainWindow window;
    window.move(40, 40);
    window.show();
    Save(window, QStringLiteral("main-window"));
    QZOAboutDlg about(&window);
    window.CenterDlg(about);
    about.show();
    Save(about, QStringLiteral("about-dialog"));
}

// The dialogs that carry the program's name in their titles.
TEST(Screens, DialogsNamedAfterTheProgram)
{
    if (!OnX())
        GTEST_SKIP() << "needs an X server (the test command runs it under xvfb-run)";
    ProgramName name;
    MainWindow window;
    window.move(40, 40);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    {
        QSavePathDlg dialog(&window);
        window.CenterDlg(dialog);
        dialog.show();
        EXPECT_EQ(dialog.getDlgTitle(), QStringLiteral("vidmend"));
        Save(dialog, QStringLiteral("named-output-folder-dialog"));
    }
    {
        qSaveSuccessDlg dialog(2, &window);
        window.CenterDlg(dialog);
        dialog.show();
        EXPECT_EQ(dialog.getDlgTitle(), QStringLiteral("vidmend"));
        Save(dialog, QStringLiteral("named-save-success-dialog"));
    }
    {
        QPreferencesDlg dialog(&window);
        dialog.addPreferWgt(new QGeneralPreWgt, true);
        dialog.addPreferWgt(new QAdvancedPreWgt, true);
        window.CenterDlg(dialog);
        dialog.show();
        dialog.OnSelectBtn(1);
        Save(dialog, QStringLiteral("named-preferences-dialog"));
    }
}

TEST(Screens, WithoutACompositorTheShadowMarginIsCutAway)
{
    if (!OnX())
        GTEST_SKIP() << "needs an X server (the test command runs it under xvfb-run)";
    // Xvfb runs no compositing manager: the see-through margin would be
    // painted black, so the window is shaped to what lies inside it.
    MainWindow window;
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window, kHangGuardMs));
    const QRegion shape = window.mask();
    ASSERT_FALSE(shape.isEmpty());
    EXPECT_FALSE(shape.contains(QPoint(2, window.height() / 2)));
    EXPECT_FALSE(shape.contains(QPoint(window.width() - 3, window.height() / 2)));
    EXPECT_TRUE(shape.contains(QPoint(window.width() / 2, window.height() / 2)));
    EXPECT_TRUE(shape.contains(QPoint(9, 30)));
    // The shape follows the window's size.
    window.resize(900, 600);
    // The X server answers the resize when it gets to it.
    EXPECT_TRUE(WaitFor([&] { return window.mask().contains(QPoint(880, 580)); }));
    EXPECT_FALSE(window.mask().contains(QPoint(895, 580)));
}
