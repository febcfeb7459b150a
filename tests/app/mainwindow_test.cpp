// The main window and its page: the starting size and places, the bottom
// bar's four modes, the close button following the settings, and the
// window in its three looks drawn into the screens folder.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QDir>
#include <QSignalSpy>
#include <QTest>
#include <QWindow>
#include <QTimer>

#include "AppTestEnv.h"
#include "BoxAnswers.h"
#include "MainWindow.h"
#include "QCloseDlg.h"
#include "QZOBaseBoxDraw.h"
#include "QFileInfoChunk.h"
#include "QFileInfoWgt.h"
#include "QMainWgt.h"
#include "QPreferencesDlg.h"
#include "QProjectSetting.h"
#include "QZOBaseButton.h"
#include "QZOMessageBox.h"
#include "support/Damage.h"
#include "support/Fixtures.h"

using namespace mendtest;

namespace {

QStringList Shown(QBottomWgt* bar)
{
    QStringList names;
    const std::pair<QZOBaseButton*, const char*> buttons[] = {
        {bar->addButton(), "add"},   {bar->repairButton(), "repair"}, {bar->cancelButton(), "cancel"},
        {bar->continueButton(), "continue"}, {bar->backButton(), "back"}, {bar->saveButton(), "save"},
        {bar->homeButton(), "home"}};
    for (const auto& b : buttons)
        if (!b.first->isHidden())
            names << QString::fromLatin1(b.second);
    return names;
}

TEST(MainWindow, StartsAtItsMinimumWithThePageAndTheBarInPlace)
{
    MainWindow window;
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window, kHangGuardMs));
    EXPECT_EQ(window.size(), QSize(720, 512));
    EXPECT_EQ(window.minimumSize(), QSize(720, 512));
    QMainWgt* page = window.mainPage();
    ASSERT_NE(page, nullptr);
    // Inside the 8-px shadow margin and the 4-px resize grip.
    EXPECT_EQ(page->geometry(), QRect(12, 30, 696, 470));
    EXPECT_EQ(page->bar()->geometry(), QRect(0, 470 - 60, 696, 60));
    EXPECT_EQ(page->page()->geometry(), QRect(0, 0, 696, 409));
    // The bar's buttons stand in their columns.
    EXPECT_EQ(page->bar()->addButton()->x(), 20);
    EXPECT_EQ(page->bar()->repairButton()->x() + page->bar()->repairButton()->width(), 696 - 20);
}

// The pointer as the platform delivers it: to whatever widget lies under it,
// from which an unhandled event climbs to the window.
void Drag(QWindow* w, QPoint from, QPoint to)
{
    QTest::mouseMove(w, from);
    QTest::mousePress(w, Qt::LeftButton, Qt::NoModifier, from);
    // One move: points are taken in the window as it stood at the press.
    QTest::mouseMove(w, to);
    QTest::mouseRelease(w, Qt::LeftButton, Qt::NoModifier, to);
}

// Each border is grabbed anywhere within the grip: 3 px inside the right,
// left and bottom edges of the drawn window the page must not cover it.
TEST(MainWindow, EdgesResizeFromAnywhereInTheGrip)
{
    const struct {
        const char* edge;
        int x, y;  // the grab point inside the window; -1 = the middle
        QPoint by;
        QSize grown;
        QPoint moved;
    } cases[] = {
        // (the test's screen is 800 by 600: the window stays narrower)
        {"right", 719 - 8 - 3, -1, QPoint(40, 0), QSize(760, 512), QPoint(300, 200)},
        {"left", 8 + 3, -1, QPoint(-40, 0), QSize(760, 512), QPoint(260, 200)},
        {"bottom", -1, 511 - 8 - 3, QPoint(0, 60), QSize(720, 572), QPoint(300, 200)},
    };
    for (const auto& c : cases) {
        MainWindow window;
        window.move(300, 200);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window, kHangGuardMs));
        ASSERT_EQ(window.geometry(), QRect(300, 200, 720, 512));
        const QPoint at(c.x < 0 ? 360 : c.x, c.y < 0 ? 256 : c.y);
        EXPECT_FALSE(window.mainPage()->geometry().contains(at)) << c.edge;
        Drag(window.windowHandle(), at, at + c.by);
        EXPECT_EQ(window.size(), c.grown) << c.edge;
        EXPECT_EQ(window.pos(), c.moved) << c.edge;
    }
}

// Crossing the border onto a child clears the border state with the
// cursor: a press the child leaves to the window, then a drag, neither
// resizes nor moves the window.
TEST(MainWindow, AStaleBorderStateNeverResizes)
{
    MainWindow window;
    window.move(300, 200);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window, kHangGuardMs));
    const QRect before = window.geometry();
    QWindow* w = window.windowHandle();
    const QPoint border(719 - 8 - 2, 480);
    QTest::mouseMove(w, border);
    ASSERT_EQ(window.cursorAndState(), QBaseDrawWidget::Right);
    // The bottom bar's own background, above its buttons: it takes no press.
    QBottomWgt* bar = window.mainPage()->bar();
    const QPoint onBar = bar->mapTo(&window, QPoint(bar->width() - 5, 2));
    ASSERT_EQ(window.childAt(onBar), bar);
    QTest::mouseMove(w, onBar - QPoint(2, 0));
    QTest::mouseMove(w, onBar);
    EXPECT_EQ(window.cursorAndState(), QBaseDrawWidget::CursorNone);
    Drag(w, onBar, onBar + QPoint(120, 40));
    EXPECT_EQ(window.geometry(), before);
}

TEST(MainWindow, TheBarShowsTheButtonsOfEachMode)
{
    QMainWgt page;
    QBottomWgt* bar = page.bar();
    EXPECT_EQ(Shown(bar), (QStringList{"add", "repair"}));
    const struct {
        void (QFileInfoWgt::*signal)();
        QStringList shown;
    } modes[] = {{&QFileInfoWgt::emitRepairingBtns, {"cancel"}},
                 {&QFileInfoWgt::emitContinueBtns, {"continue", "back"}},
                 {&QFileInfoWgt::emitSaveBtns, {"save", "home"}},
                 {&QFileInfoWgt::emitAddFileBtns, {"add", "repair"}}};
    for (const auto& m : modes) {
        emit(page.page()->*m.signal)();
        EXPECT_EQ(Shown(bar), m.shown);
    }
    emit page.page()->emitChangeSaveBtn(false);
    EXPECT_FALSE(bar->saveButton()->isEnabled());
    emit page.page()->emitChangeAddBtn(false);
    EXPECT_FALSE(bar->addButton()->isEnabled());
}

TEST(MainWindow, TheCloseButtonFollowsTheSettings)
{
    // The window names the settings document and reloads it as it starts,
    // so the settings are written once it stands.
    for (const bool exitOnClose : {false, true}) {
        MainWindow window;
        QProjectSetting::setShowCloseDlgToXML(false, true);
        QProjectSetting::setExitWhenCloseToXML(exitOnClose, true);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window, kHangGuardMs));
        window.closeButton()->click();
        if (exitOnClose) {
            EXPECT_TRUE(WaitFor([&] { return !window.isVisible(); }));
        } else {
            EXPECT_TRUE(WaitFor([&] { return window.isMinimized(); }));
            EXPECT_TRUE(window.isVisible());
        }
    }
}

TEST(MainWindow, TheCloseDialogsAnswerIsKept)
{
    MainWindow window;
    QProjectSetting::setShowCloseDlgToXML(true, true);
    QProjectSetting::setExitWhenCloseToXML(false, true);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window, kHangGuardMs));
    bool answered = false;
    // The dialog runs its own loop: answer it from inside that loop.
    QTimer::singleShot(100, [&] {
        auto* dialog = window.findChild<QCloseDlg*>();
        ASSERT_NE(dialog, nullptr);
        dialog->exitRadio()->click();
        dialog->noShowBox()->click();
        dialog->okButton()->click();
        answered = true;
    });
    window.closeButton()->click();
    EXPECT_TRUE(answered);
    EXPECT_TRUE(WaitFor([&] { return !window.isVisible(); }));
    EXPECT_FALSE(QProjectSetting::getShowCloseDlgFromXML(true));
    EXPECT_TRUE(QProjectSetting::getExitWhenCloseFromXML(true));
    QProjectSetting::setShowCloseDlgToXML(true, true);
}

// "Don't show this message again" turned the close dialog off; Preferences
// shows the warnings "Turn On", and its OK brings the dialog back.
TEST(MainWindow, PreferencesTurnTheCloseDialogBackOn)
{
    MainWindow window;
    QProjectSetting::setAskForSaveToXML(true, true);
    QProjectSetting::setShowCloseDlgToXML(false, true);
    QProjectSetting::setExitWhenCloseToXML(false, true);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

    // Each dialog runs its own loop: it is answered from inside that loop,
    // as soon as it is up.
    QStringList seen;
    QTimer answer;
    answer.setInterval(20);
    QObject::connect(&answer, &QTimer::timeout, [&] {
        if (auto* prefs = window.findChild<QPreferencesDlg*>()) {
            if (!prefs->isVisible() || seen.contains("preferences"))
                return;
            auto* advanced = prefs->findChild<QAdvancedPreWgt*>();
            seen << "preferences" << (advanced ? advanced->warnCombo()->currentText() : QString());
            prefs->okButton()->click();
        } else if (auto* close = window.findChild<QCloseDlg*>()) {
            if (!close->isVisible() || seen.contains("close dialog"))
                return;
            seen << "close dialog";
            close->minRadio()->click();
            close->okButton()->click();
        }
    });
    answer.start();
    window.ActOnPreferDlg();
    EXPECT_TRUE(QProjectSetting::getShowCloseDlgFromXML(true));
    window.closeButton()->click();
    EXPECT_EQ(seen, (QStringList{"preferences", "Turn On", "close dialog"}));
    EXPECT_TRUE(WaitFor([&] { return window.isMinimized(); }));
}

TEST(MainWindow, ThreeLooks)
{
    const std::string avi = RequireFixture("clip.avi");
    const std::string mp4 = RequireFixture("clip_faststart.mp4");
    if (avi.empty() || mp4.empty())
        return;
    BoxAnswers boxes;
    ScratchDir dir("mainwindow");
    const std::string damaged = dir.Path("holiday.mp4");
    ASSERT_TRUE(CopyFile(mp4, damaged));
    ASSERT_TRUE(TruncateFile(damaged, FileSize(damaged) * 6 / 10));
    QDir().mkpath(QStringLiteral(VIDMEND_SCREENS_DIR));
    MainWindow window;
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window, kHangGuardMs));
    EXPECT_TRUE(window.grab().save(QStringLiteral(VIDMEND_SCREENS_DIR "/main-window-empty.png")));
    QFileInfoWgt* page = window.mainPage()->page();
    page->AddFilesToModel({QString::fromStdString(avi), QString::fromStdString(damaged)});
    ASSERT_TRUE(WaitFor([&] { return !page->isAdding(); }));
    EXPECT_TRUE(window.grab().save(QStringLiteral(VIDMEND_SCREENS_DIR "/main-window-files.png")));
    QSignalSpy saveMode(page, &QFileInfoWgt::emitSaveBtns);
    page->startRepair();
    ASSERT_TRUE(WaitFor([&] { return saveMode.count() == 1; }, 60000));
    EXPECT_TRUE(window.grab().save(QStringLiteral(VIDMEND_SCREENS_DIR "/main-window-result.png")));
}

}  // namespace
