// The main window and its page: the starting size and places, the bottom
// bar's four modes, the close button following the settings, and the
// window in its three looks drawn into the screens folder.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QDir>
#include <QSignalSpy>
#include <QTest>
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
    EXPECT_EQ(page->geometry(), QRect(9, 30, 702, 473));
    EXPECT_EQ(page->bar()->geometry(), QRect(0, 473 - 60, 702, 60));
    EXPECT_EQ(page->page()->geometry(), QRect(0, 0, 702, 412));
    // The bar's buttons stand in their columns.
    EXPECT_EQ(page->bar()->addButton()->x(), 20);
    EXPECT_EQ(page->bar()->repairButton()->x() + page->bar()->repairButton()->width(), 702 - 20);
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
