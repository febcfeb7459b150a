// The workflow dialogs: progress, output folder, close and save success.
// Each runs modally as its callers run it; the settings live in a scratch
// document, so what a dialog stores (or does not) is read back from disk.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QPointer>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>

#include "AppTestEnv.h"
#include "MainWindow.h"
#include "TextFit.h"
#include "QBaseProgressDlg.h"
#include "QMainWgt.h"
#include "QPlayerDlg.h"
#include "QPreferencesDlg.h"
#include "QZOMessageBox.h"
#include "QZOStandardDialog.h"
#include "QCloseDlg.h"
#include "QIAnyUtil.h"
#include "QProjectSetting.h"
#include "QSavePathDlg.h"
#include "QZOBaseBoxDraw.h"
#include "QZOBaseButton.h"
#include "QZOBaseProgress.h"
#include "QZOLineEdit.h"
#include "QZOProjectSetting.h"
#include "qSaveSuccessDlg.h"
#include "support/Fixtures.h"

namespace {

QString FromStd(const std::string& s)
{
    return QString::fromStdString(s);
}

// Runs the dialog modally; act runs once the modal loop is up.
int ExecWith(QDialog& dlg, const std::function<void()>& act)
{
    QTimer::singleShot(0, &dlg, act);
    return dlg.exec();
}

void Click(QAbstractButton* button)
{
    ASSERT_NE(button, nullptr);
    QTest::mouseClick(button, Qt::LeftButton, Qt::NoModifier, button->rect().center());
}

void SaveScreen(QWidget& w, const char* name)
{
    QDir().mkpath(QStringLiteral(VIDMEND_SCREENS_DIR));
    w.show();
    QCoreApplication::processEvents();
    const QImage image = w.grab().toImage();
    ASSERT_FALSE(image.isNull());
    EXPECT_TRUE(image.save(QStringLiteral(VIDMEND_SCREENS_DIR "/%1.png").arg(QLatin1String(name))));
    // The panel is drawn: the middle is opaque and light.
    const QColor middle = image.pixelColor(image.width() / 2, image.height() / 2);
    EXPECT_EQ(middle.alpha(), 255) << name;
    EXPECT_GT(middle.lightness(), 200) << name;
    w.hide();
}

// A scratch settings document with an output folder that exists.
class DialogSettings : public ::testing::Test {
protected:
    void SetUp() override
    {
        QZOProjectSetting::setAttributeFilePath(FromStd(dir_.Path("ProjectDefaultSetting.xml")));
        QProjectSetting::init();
        output_ = FromStd(dir_.Path("out"));
        QDir().mkpath(output_);
        QProjectSetting::setSavePathToXML(output_);
        QProjectSetting::setAskForSaveToXML(true, true);
    }
    void TearDown() override
    {
        QSavePathDlg::setFolderChooser(nullptr);
        QZOProjectSetting::setAttributeFilePath(QString());
    }

    QByteArray Document() const
    {
        QFile file(FromStd(dir_.Path("ProjectDefaultSetting.xml")));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    QString Stored(const char* key, const char* attribute) const
    {
        return QZOProjectSetting::GetItemValue(QLatin1String(key), QLatin1String(attribute), QStringLiteral("?"));
    }

    mendtest::ScratchDir dir_{"dialogs"};
    QString output_;
};

}  // namespace

// ---- progress dialog --------------------------------------------------------

TEST(ProgressDialog, ShowsTextAndOneDecimalPercentage)
{
    QBaseProgressDlg dlg(QStringLiteral("Saving"));
    EXPECT_EQ(dlg.getDlgTitle(), "Saving");
    EXPECT_EQ(dlg.textLabel()->text(), "hello");
    EXPECT_EQ(dlg.percentLabel()->text(), "0.0%");
    EXPECT_EQ(dlg.size(), QSize(400, 200));
    // The layout the dialog keeps: bar, percentage and Cancel in place.
    EXPECT_EQ(dlg.bar()->geometry(), QRect(28, 92, 294, 15));
    EXPECT_EQ(dlg.percentLabel()->pos(), QPoint(327, 92));
    EXPECT_EQ(dlg.textLabel()->geometry(), QRect(28, 67, 344, 15));
    EXPECT_EQ(dlg.cancelButton()->pos(), QPoint(292, 152));

    const struct {
        double value;
        const char* shown;
    } cases[] = {{33.333, "33.3%"}, {100, "100.0%"}, {0.05, "0.1%"}, {99.96, "100.0%"}, {0, "0.0%"}};
    for (const auto& c : cases) {
        dlg.setValue(c.value);
        EXPECT_EQ(dlg.percentLabel()->text(), c.shown) << c.value;
        EXPECT_DOUBLE_EQ(dlg.getValue(), c.value);
        EXPECT_DOUBLE_EQ(dlg.bar()->value(), c.value);
    }
    dlg.setText(QStringLiteral("clip.mp4"));
    EXPECT_EQ(dlg.getText(), "clip.mp4");
    EXPECT_EQ(dlg.textLabel()->text(), "clip.mp4");
}

TEST(ProgressDialog, CancelOnlySignalsAndTheOwnerDeletesLater)
{
    // Nothing connected: Cancel does nothing by itself.
    {
        QBaseProgressDlg dlg(QStringLiteral("Saving"));
        QSignalSpy cancels(&dlg, &QBaseProgressDlg::emitClickCancel);
        dlg.show();
        Click(dlg.cancelButton());
        EXPECT_EQ(cancels.count(), 1);
        EXPECT_TRUE(dlg.isVisible());
    }
    // An owner that finishes the dialog from its own Cancel signal: the
    // modal run ends, the emitting button returns first, then it goes.
    QPointer<QBaseProgressDlg> dlg = new QBaseProgressDlg(QStringLiteral("Saving"));
    bool aliveInHandler = false;
    QObject::connect(dlg, &QBaseProgressDlg::emitClickCancel, [&] {
        dlg->finishLater();
        aliveInHandler = !dlg.isNull();
    });
    const int result = ExecWith(*dlg, [&] { Click(dlg->cancelButton()); });
    EXPECT_EQ(result, QDialog::Rejected);
    EXPECT_TRUE(aliveInHandler);
    EXPECT_TRUE(WaitFor([&] { return dlg.isNull(); }));
}

TEST(ProgressDialog, CloseButtonEndsTheRunButLeavesTheDialogToItsOwner)
{
    QBaseProgressDlg dlg(QStringLiteral("Saving"));
    QSignalSpy cancels(&dlg, &QBaseProgressDlg::emitClickCancel);
    EXPECT_EQ(ExecWith(dlg, [&] { Click(dlg.closeButton()); }), QDialog::Rejected);
    EXPECT_EQ(cancels.count(), 0);
    QPointer<QBaseProgressDlg> still(&dlg);
    QCoreApplication::processEvents();
    EXPECT_FALSE(still.isNull());
}

// ---- output-folder dialog ---------------------------------------------------

TEST_F(DialogSettings, OutputFolderCancelAndCloseStoreNothing)
{
    const QByteArray before = Document();
    for (int viaClose = 0; viaClose < 2; ++viaClose) {
        QSavePathDlg dlg;
        const int result = ExecWith(dlg, [&] {
            dlg.showMsgBox()->setChecked(true);
            dlg.pathEdit()->setText(FromStd(dir_.Path("elsewhere")));
            Click(viaClose ? dlg.closeButton() : dlg.cancelButton());
        });
        EXPECT_EQ(result, QDialog::Rejected) << viaClose;
    }
    EXPECT_EQ(Document(), before);
    EXPECT_TRUE(QProjectSetting::getAskForSaveFromXML(false));
}

TEST_F(DialogSettings, OutputFolderSaveStoresWhetherToAskAgain)
{
    const struct {
        bool ticked;
        const char* stored;
    } cases[] = {{false, "Y"}, {true, "N"}};
    for (const auto& c : cases) {
        QSavePathDlg dlg;
        EXPECT_EQ(dlg.pathEdit()->text(), output_);
        const int result = ExecWith(dlg, [&] {
            dlg.showMsgBox()->setChecked(c.ticked);
            Click(dlg.saveButton());
        });
        EXPECT_EQ(result, QDialog::Accepted);
        EXPECT_EQ(dlg.GetSavePath(), output_);
        EXPECT_EQ(Stored("Bool_Ask_For_Save_Key", "Bool_Ask_For_Save_Value"), c.stored) << c.ticked;
        EXPECT_EQ(QProjectSetting::getAskForSaveFromXML(false), !c.ticked);
    }
}

TEST_F(DialogSettings, OutputFolderUsesWhatIsTypedOrChosen)
{
    // Typed by hand, with a stray trailing blank: the typed folder is the
    // answer, and the free space follows it.
    const QString typed = FromStd(dir_.Path("typed/deeper"));
    {
        QSavePathDlg dlg;
        const int result = ExecWith(dlg, [&] {
            QTest::keyClick(dlg.pathEdit(), Qt::Key_A, Qt::ControlModifier);
            QTest::keyClicks(dlg.pathEdit(), typed + QLatin1Char(' '));
            Click(dlg.saveButton());
        });
        EXPECT_EQ(result, QDialog::Accepted);
        EXPECT_EQ(dlg.GetSavePath(), typed);
    }
    // Change: a chosen folder replaces the field; a cancelled chooser keeps
    // it. Both refresh the free space.
    const QString chosen = FromStd(dir_.Path("chosen"));
    QDir().mkpath(chosen);
    QString answer = chosen;
    // The chooser opens over the dialog, in the folder it shows.
    QStringList starts;
    QWidget* over = nullptr;
    QSavePathDlg::setFolderChooser([&](QWidget* parent, const QString& start) {
        over = parent;
        starts << start;
        return answer;
    });
    QSavePathDlg dlg;
    dlg.spaceLabel()->clear();
    Click(dlg.changeButton());
    EXPECT_EQ(over, &dlg);
    EXPECT_EQ(dlg.pathEdit()->text(), chosen);
    EXPECT_EQ(dlg.GetSavePath(), chosen);
    EXPECT_EQ(dlg.spaceLabel()->text(), QStringLiteral("Free Space : %1").arg(QIAnyUtil::freeSpaceInDisk(chosen)));
    answer.clear();
    dlg.spaceLabel()->clear();
    Click(dlg.changeButton());
    EXPECT_EQ(dlg.GetSavePath(), chosen);
    EXPECT_FALSE(dlg.spaceLabel()->text().isEmpty());
    EXPECT_EQ(starts, (QStringList{output_, chosen}));
}

TEST_F(DialogSettings, OutputFolderMeasuresTheFolderItsOwnFileSystem)
{
    // A folder on a file system of its own (tmpfs at /dev/shm where there
    // is one) shows that file system's free space, not that of the file
    // system its first characters name.
    QStringList folders{output_};
    if (QDir(QStringLiteral("/dev/shm")).exists())
        folders << QStringLiteral("/dev/shm/vidmend-not-made-yet");
    for (const QString& folder : folders) {
        QProjectSetting::setSavePath(folder);
        QSavePathDlg dlg;
        const QString expected = QIAnyUtil::freeSpaceInDisk(folder);
        ASSERT_FALSE(expected.isEmpty());
        EXPECT_EQ(dlg.spaceLabel()->text(), QStringLiteral("Free Space : %1").arg(expected)) << folder.toStdString();
        QDir(folder).rmdir(folder);
    }
    // A field that names no absolute folder cannot be saved into.
    QSavePathDlg dlg;
    const struct {
        const char* text;
        bool saveEnabled;
    } cases[] = {{"", false}, {"   ", false}, {"relative/folder", false}, {"/tmp", true}};
    for (const auto& c : cases) {
        dlg.pathEdit()->setText(QLatin1String(c.text));
        EXPECT_EQ(dlg.saveButton()->isEnabled(), c.saveEnabled) << c.text;
        if (!c.saveEnabled) {
            EXPECT_EQ(dlg.spaceLabel()->text(), "Free Space : ") << c.text;
        }
    }
}

// ---- close dialog -----------------------------------------------------------

TEST(CloseDialog, OneRadioIsAlwaysCheckedAndClicksFollowTheSender)
{
    QCloseDlg dlg;
    EXPECT_EQ(dlg.size(), QSize(336, 186));
    EXPECT_FALSE(dlg.isNoShowThisDlg());
    for (bool exit : {true, false, true}) {
        dlg.setSelectCloseRadio(exit);
        EXPECT_EQ(dlg.isCloseDlg(), exit);
        EXPECT_EQ(dlg.minRadio()->isChecked(), !exit);
    }
    dlg.show();
    // Clicking the checked radio again keeps it checked.
    for (QAbstractButton* radio : {static_cast<QAbstractButton*>(dlg.minRadio()),
                                   static_cast<QAbstractButton*>(dlg.minRadio()),
                                   static_cast<QAbstractButton*>(dlg.exitRadio()),
                                   static_cast<QAbstractButton*>(dlg.exitRadio())}) {
        Click(radio);
        EXPECT_EQ(dlg.isCloseDlg(), radio == dlg.exitRadio());
        EXPECT_NE(dlg.minRadio()->isChecked(), dlg.exitRadio()->isChecked());
    }
}

TEST(CloseDialog, OkAcceptsWithTheChoiceAndTheCloseButtonRejects)
{
    {
        QCloseDlg dlg;
        dlg.setSelectCloseRadio(true);
        const int result = ExecWith(dlg, [&] {
            Click(dlg.minRadio());
            Click(dlg.noShowBox());
            Click(dlg.okButton());
        });
        EXPECT_EQ(result, QDialog::Accepted);
        EXPECT_TRUE(dlg.isNoShowThisDlg());
        EXPECT_FALSE(dlg.isCloseDlg());
    }
    QCloseDlg dlg;
    EXPECT_EQ(ExecWith(dlg, [&] { Click(dlg.closeButton()); }), QDialog::Rejected);
}

// ---- save-success dialog ----------------------------------------------------

TEST(SaveSuccessDialog, CountsFilesInTheMessage)
{
    const struct {
        int count;
        const char* text;
    } cases[] = {{1, "1 file Save Successfully"}, {2, "2 files Save Successfully"}, {12, "12 files Save Successfully"}};
    for (const auto& c : cases) {
        qSaveSuccessDlg dlg(c.count);
        EXPECT_EQ(dlg.messageLabel()->text(), c.text);
        EXPECT_FALSE(dlg.IsAutoOpenFolder());
        EXPECT_EQ(dlg.size(), QSize(516, 216));
    }
}

TEST(SaveSuccessDialog, OpenFolderAcceptsAndCancelRejects)
{
    const struct {
        bool tick;
        bool open;
        int result;
    } cases[] = {{true, true, QDialog::Accepted}, {false, true, QDialog::Accepted}, {true, false, QDialog::Rejected}};
    for (const auto& c : cases) {
        qSaveSuccessDlg dlg(3);
        const int result = ExecWith(dlg, [&] {
            if (c.tick)
                Click(dlg.autoOpenBox());
            Click(c.open ? dlg.openButton() : dlg.cancelButton());
        });
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(dlg.IsAutoOpenFolder(), c.tick);
    }
}

// ---- screens ----------------------------------------------------------------

TEST_F(DialogSettings, EveryDialogIsRendered)
{
    QBaseProgressDlg progress(QStringLiteral("Saving"));
    progress.setText(QStringLiteral("Saving holiday-2024.mp4"));
    progress.setValue(33.333);
    SaveScreen(progress, "progress-dialog");

    QSavePathDlg savePath;
    SaveScreen(savePath, "output-folder-dialog");

    QCloseDlg close;
    close.setSelectCloseRadio(true);
    SaveScreen(close, "close-dialog");

    qSaveSuccessDlg success(2);
    SaveScreen(success, "save-success-dialog");
}

// ---- keyboard ---------------------------------------------------------------

TEST_F(DialogSettings, ReturnTakesTheDefaultButtonAndEscapeStoresNothing)
{
    const QByteArray before = Document();
    const struct {
        std::function<QDialog*()> make;
        int key;
        int result;
    } cases[] = {
        {[] { return new QSavePathDlg; }, Qt::Key_Escape, QDialog::Rejected},
        {[] { return new QCloseDlg; }, Qt::Key_Escape, QDialog::Rejected},
        {[] { return new qSaveSuccessDlg(2); }, Qt::Key_Escape, QDialog::Rejected},
        {[] { return new QBaseProgressDlg(QStringLiteral("Saving")); }, Qt::Key_Escape, QDialog::Rejected},
        {[] { return new QCloseDlg; }, Qt::Key_Return, QDialog::Accepted},
        {[] { return new qSaveSuccessDlg(2); }, Qt::Key_Return, QDialog::Accepted},
    };
    for (const auto& c : cases) {
        std::unique_ptr<QDialog> dlg(c.make());
        const int result = ExecWith(*dlg, [&] { QTest::keyClick(dlg.get(), static_cast<Qt::Key>(c.key)); });
        EXPECT_EQ(result, c.result) << dlg->metaObject()->className() << " key " << c.key;
    }
    EXPECT_EQ(Document(), before);
    // Return in the path field saves into the folder typed there.
    QSavePathDlg dlg;
    const int result = ExecWith(dlg, [&] {
        dlg.pathEdit()->setFocus();
        dlg.pathEdit()->setText(output_ + QStringLiteral("/typed"));
        QTest::keyClick(dlg.pathEdit(), Qt::Key_Return);
    });
    EXPECT_EQ(result, QDialog::Accepted);
    EXPECT_EQ(dlg.GetSavePath(), output_ + QStringLiteral("/typed"));
    EXPECT_EQ(Stored("Bool_Ask_For_Save_Key", "Bool_Ask_For_Save_Value"), "Y");
}

// ---- texts that fit ---------------------------------------------------------


// Every control the windows show with a text of their own, at the size the
// window gives it, holds that text whole in the font the desktop has.
TEST(Texts, EveryFixedTextFitsItsControl)
{
    MainWindow window;
    const struct {
        const char* name;
        std::function<QWidget*()> make;
        int tab;  // the Preferences page to show, -1 for none
    } windows[] = {
        {"main window", [&]() -> QWidget* { return nullptr; }, -1},
        {"output folder", [] { return new QSavePathDlg; }, -1},
        {"save success", [] { return new qSaveSuccessDlg(12); }, -1},
        {"close", [] { return new QCloseDlg; }, -1},
        {"progress", [] { return new QBaseProgressDlg(QStringLiteral("Saving")); }, -1},
        {"about", [] { return new QZOAboutDlg; }, -1},
        {"player", [] { return new QPlayerDlg; }, -1},
        {"preferences general", [] { return new QPreferencesDlg; }, 0},
        {"preferences advanced", [] { return new QPreferencesDlg; }, 1},
    };
    int measured = 0;
    for (const auto& c : windows) {
        std::unique_ptr<QWidget> owned(c.make());
        QWidget* w = owned ? owned.get() : &window;
        if (auto* prefs = qobject_cast<QPreferencesDlg*>(w)) {
            prefs->addPreferWgt(new QGeneralPreWgt, true);
            prefs->addPreferWgt(new QAdvancedPreWgt, true);
            prefs->OnSelectBtn(c.tab);
        }
        w->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(w, kHangGuardMs)) << c.name;
        QCoreApplication::processEvents();
        for (QWidget* child : w->findChildren<QWidget*>()) {
            if (!child->isVisibleTo(w))
                continue;
            QString text;
            const int needed = Needed(child, &text);
            if (text.isEmpty() || needed == 0)
                continue;
            ++measured;
            EXPECT_LE(needed, child->width())
                << c.name << ": \"" << text.toStdString() << "\" needs " << needed << " px in "
                << child->width() << " (" << QFontInfo(child->font()).family().toStdString() << " "
                << child->font().pixelSize() << " px)";
        }
        // A group box that a page places lies inside the page shown.
        if (auto* prefs = qobject_cast<QPreferencesDlg*>(w)) {
            auto* page = c.tab ? static_cast<QWidget*>(prefs->findChild<QAdvancedPreWgt*>())
                               : static_cast<QWidget*>(prefs->findChild<QGeneralPreWgt*>());
            ASSERT_NE(page, nullptr);
            QWidget* viewport = page->parentWidget()->parentWidget();
            for (QGroupBox* group : page->findChildren<QGroupBox*>()) {
                const QRect shown = QRect(group->mapTo(viewport, QPoint()), group->size());
                EXPECT_TRUE(viewport->rect().contains(shown))
                    << c.name << ": group \"" << group->title().toStdString() << "\" cut off at "
                    << viewport->height();
            }
        }
        w->hide();
    }
    EXPECT_GT(measured, 25);
}
