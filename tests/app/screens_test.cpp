// Renders every window and dialog as a user sees it on a real X server
// (Xvfb), with a compositing manager and without one, into PNG files in the
// build tree's screens folder; and checks what a user would see wrong
// there: a button left to Qt's grey look, a dialog with no visible edge
// over the white list, a window without an icon.
#include <gtest/gtest.h>

#include <QDir>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include "AppTestEnv.h"
#include "BoxAnswers.h"
#include "MainWindow.h"
#include "QBaseProgressDlg.h"
#include "QCloseDlg.h"
#include "QFileInfoWgt.h"
#include "QMainWgt.h"
#include "QPreferencesDlg.h"
#include "QProjectConfig.h"
#include "QSavePathDlg.h"
#include "QZOBaseButton.h"
#include "QZOMessageBox.h"
#include "QZOStandardDialog.h"
#include "Screens.h"
#include "TextFit.h"
#include "qSaveSuccessDlg.h"
#include "support/Damage.h"
#include "support/Fixtures.h"

using namespace mendtest;

namespace {

#define REQUIRE_DESKTOP()                                                                   \
    if (!OnX())                                                                             \
        GTEST_SKIP() << "needs an X server (the test command runs it on one of its own)"; \
    ASSERT_TRUE(DesktopAsAsked()) << "the compositing manager did not start"

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

// Every button the window shows is drawn from its image strip.
void ExpectDrawnButtons(QWidget& w, const QString& name)
{
    for (QZOBaseButton* b : w.findChildren<QZOBaseButton*>()) {
        if (b->isVisibleTo(&w)) {
            EXPECT_TRUE(b->isCustomDraw()) << name.toStdString() << ": " << b->text().toStdString() << " "
                                           << b->objectName().toStdString();
        }
    }
}

// The window as taken with `around` pixels of what lies below: its middle
// is drawn, and its edge stands out from a white window beneath.
void ExpectShown(QWidget& w, const QString& name, int around = 12)
{
    const QImage shot = SaveScreen(w, name, around);
    ASSERT_FALSE(shot.isNull()) << name.toStdString();
    ExpectDrawnButtons(w, name);
    EXPECT_EQ(TextsCut(&w), QStringList()) << name.toStdString();
    const QColor middle = shot.pixelColor(shot.width() / 2, shot.height() / 2);
    EXPECT_GT(middle.lightness(), 200) << name.toStdString();
    if (around == 0)
        return;
    // Along the middle row from outside the window in to its panel: some
    // pixel is darker than the white on both sides, the frame or shadow.
    const int margin = QProjectConfig::getProjectConfig()->getTransparentMargins().left();
    int darkest = 255;
    for (int x = 0; x < around + margin + 2; ++x)
        darkest = std::min(darkest, shot.pixelColor(x, shot.height() / 2).lightness());
    EXPECT_LT(darkest, 235) << name.toStdString() << ": no edge against the window below";
}

}  // namespace

TEST(Screens, MainWindowAndItsDialogs)
{
    REQUIRE_DESKTOP();
    ProgramName name;
    MainWindow window;
    window.move(40, 40);
    window.resize(900, 640);
    window.show();
    ExpectShown(window, QStringLiteral("main-window"), 0);

    // The window carries the program's icon for the desktop's task bar.
    EXPECT_FALSE(window.windowIcon().isNull());
    QProcess xprop;
    xprop.start(QStringLiteral("xprop"), {QStringLiteral("-id"), QString::number(window.winId()),
                                          QStringLiteral("-notype"), QStringLiteral("_NET_WM_ICON")});
    ASSERT_TRUE(xprop.waitForFinished(kHangGuardMs));
    const QString icon = QString::fromLocal8Bit(xprop.readAllStandardOutput());
    EXPECT_TRUE(icon.contains(QStringLiteral("Icon ("))) << icon.left(200).toStdString();

    {
        QZOAboutDlg about(&window);
        window.CenterDlg(about);
        about.show();
        ExpectShown(about, QStringLiteral("about-dialog"));
    }
    {
        QSavePathDlg dialog(&window);
        window.CenterDlg(dialog);
        dialog.show();
        EXPECT_EQ(dialog.getDlgTitle(), QStringLiteral("vidmend"));
        ExpectShown(dialog, QStringLiteral("output-folder-dialog"));
    }
    {
        qSaveSuccessDlg dialog(2, &window);
        window.CenterDlg(dialog);
        dialog.show();
        EXPECT_EQ(dialog.getDlgTitle(), QStringLiteral("vidmend"));
        ExpectShown(dialog, QStringLiteral("save-success-dialog"));
    }
    {
        QCloseDlg dialog(&window);
        dialog.setSelectCloseRadio(false);
        window.CenterDlg(dialog);
        dialog.show();
        ExpectShown(dialog, QStringLiteral("close-dialog"));
    }
    {
        QBaseProgressDlg dialog(QStringLiteral("Saving"), &window);
        dialog.setText(QStringLiteral("Saving holiday.mp4"));
        dialog.setValue(40);
        window.CenterDlg(dialog);
        dialog.show();
        ExpectShown(dialog, QStringLiteral("progress-dialog"));
    }
    for (int tab : {0, 1}) {
        QPreferencesDlg dialog(&window);
        dialog.addPreferWgt(new QGeneralPreWgt, true);
        dialog.addPreferWgt(new QAdvancedPreWgt, true);
        window.CenterDlg(dialog);
        dialog.show();
        dialog.OnSelectBtn(tab);
        ExpectShown(dialog, tab ? QStringLiteral("preferences-advanced") : QStringLiteral("preferences-general"));
    }
    {
        // A message box as the program raises it, taken while it is up.
        QString shown;
        QZOMessageBox::setAnswerHook([&](QZOMessageBox& box) {
            window.CenterDlg(box);
            box.show();
            ExpectShown(box, QStringLiteral("message-box"));
            shown = box.getMessage();
            return 0x400;
        });
        QZOMessageBox::ShowMessage(&window, QStringLiteral("Are you sure to cancel saving?"), QString(),
                                   QZOMessageBox::Warning, QZOMessageBox::YesNoButtons);
        QZOMessageBox::setAnswerHook(nullptr);
        EXPECT_FALSE(shown.isEmpty());
    }
}

// The main window with files in its list, and after their repair with the
// buttons of the last step (Save, Back).
TEST(Screens, MainWindowWithFilesAndResults)
{
    REQUIRE_DESKTOP();
    const std::string avi = RequireFixture("clip.avi");
    const std::string mp4 = RequireFixture("clip_faststart.mp4");
    if (avi.empty() || mp4.empty())
        return;
    BoxAnswers boxes;
    ScratchDir dir("screens");
    const std::string damaged = dir.Path("holiday.mp4");
    ASSERT_TRUE(CopyFile(mp4, damaged));
    ASSERT_TRUE(TruncateFile(damaged, FileSize(damaged) * 6 / 10));
    ProgramName name;
    MainWindow window;
    window.move(40, 40);
    window.show();
    QFileInfoWgt* page = window.mainPage()->page();
    page->AddFilesToModel({QString::fromStdString(avi), QString::fromStdString(damaged)});
    ASSERT_TRUE(WaitFor([&] { return !page->isAdding(); }));
    ExpectShown(window, QStringLiteral("main-window-files"), 0);
    QSignalSpy saveMode(page, &QFileInfoWgt::emitSaveBtns);
    page->startRepair();
    ASSERT_TRUE(WaitFor([&] { return saveMode.count() == 1; }));
    ExpectShown(window, QStringLiteral("main-window-results"), 0);
}

TEST(Screens, WithoutACompositorTheShadowMarginIsCutAway)
{
    REQUIRE_DESKTOP();
    if (QDesktopCompositing::isTranslucencyShown())
        GTEST_SKIP() << "a compositing manager shows the shadow margin";
    // The see-through margin would be painted black, so the window is
    // shaped to what lies inside it.
    MainWindow window;
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window, kHangGuardMs));
    const QRegion shape = window.mask();
    ASSERT_FALSE(shape.isEmpty());
    EXPECT_FALSE(shape.contains(QPoint(2, window.height() / 2)));
    EXPECT_FALSE(shape.contains(QPoint(window.width() - 3, window.height() / 2)));
    EXPECT_TRUE(shape.contains(QPoint(window.width() / 2, window.height() / 2)));
    EXPECT_TRUE(shape.contains(QPoint(9, 30)));
    EXPECT_TRUE(window.isShapedToMargins());
    // The shape follows the window's size.
    window.resize(900, 600);
    // The X server answers the resize when it gets to it.
    EXPECT_TRUE(WaitFor([&] { return window.mask().contains(QPoint(880, 580)); }));
    EXPECT_FALSE(window.mask().contains(QPoint(895, 580)));
}
