// The Preferences dialog and its two pages, run as the main window runs
// them, against a scratch settings document: what OK writes, what Cancel
// leaves alone, and how stored values outside the offered choices show.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTest>
#include <QTextEdit>
#include <QTimer>

#include <functional>

#include "AppTestEnv.h"
#include "QPreferencesDlg.h"
#include "QZOComboBox.h"
#include "QProjectSetting.h"
#include "QZOBaseBoxDraw.h"
#include "QZOLineEdit.h"
#include "QZOProjectSetting.h"
#include "support/Fixtures.h"

namespace {

QString FromStd(const std::string& s)
{
    return QString::fromStdString(s);
}

void Click(QAbstractButton* button)
{
    ASSERT_NE(button, nullptr);
    // A radio answers on its mark and text only, not on the rest of its width.
    const QPoint at = qobject_cast<QRadioButton*>(button) ? QPoint(6, button->height() / 2) : button->rect().center();
    QTest::mouseClick(button, Qt::LeftButton, Qt::NoModifier, at);
}

class Preferences : public ::testing::Test {
protected:
    void SetUp() override
    {
        QZOProjectSetting::setAttributeFilePath(FromStd(dir_.Path("ProjectDefaultSetting.xml")));
        QProjectSetting::init();
        output_ = FromStd(dir_.Path("out"));
        QDir().mkpath(output_);
        QProjectSetting::setSavePathToXML(output_);
    }
    void TearDown() override
    {
        QAdvancedPreWgt::setFolderChooser(nullptr);
        QZOProjectSetting::setAttributeFilePath(QString());
    }

    // Builds the dialog as the main window does and runs it; act runs
    // inside the modal loop and ends it.
    int Run(const std::function<void(QPreferencesDlg&, QGeneralPreWgt&, QAdvancedPreWgt&)>& act)
    {
        QPreferencesDlg dlg;
        auto* general = new QGeneralPreWgt;
        auto* advanced = new QAdvancedPreWgt;
        dlg.addPreferWgt(general, true);
        dlg.addPreferWgt(advanced, true);
        QSignalSpy spy(general, &QGeneralPreWgt::sendUpdate);
        QTimer::singleShot(0, &dlg, [&] { act(dlg, *general, *advanced); });
        const int result = dlg.exec();
        updateCount_ = spy.count();
        lastUpdate_ = spy.isEmpty() ? false : spy.last().at(0).toBool();
        return result;
    }

    QByteArray Document() const
    {
        QFile file(FromStd(dir_.Path("ProjectDefaultSetting.xml")));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    static QString Stored(const char* key, const char* attribute)
    {
        return QZOProjectSetting::GetItemValue(QLatin1String(key), QLatin1String(attribute), QStringLiteral("?"));
    }

    mendtest::ScratchDir dir_{"prefs"};
    QString output_;
    int updateCount_ = 0;
    bool lastUpdate_ = false;
};

}  // namespace

TEST_F(Preferences, TabsShowOnePageAtATime)
{
    QPreferencesDlg dlg;
    auto* general = new QGeneralPreWgt;
    auto* advanced = new QAdvancedPreWgt;
    dlg.addPreferWgt(nullptr, true);
    dlg.addPreferWgt(general, true);
    dlg.addPreferWgt(advanced, true);
    ASSERT_EQ(dlg.buttons().size(), 2);
    dlg.show();
    QPreferBtn* first = dlg.buttons().at(0);
    QPreferBtn* second = dlg.buttons().at(1);
    EXPECT_EQ(first->text(), "General");
    EXPECT_EQ(second->text(), "Advanced");

    const auto expectCurrent = [&](QPreferBtn* on, QPreferBtn* off) {
        EXPECT_EQ(dlg.currentButton(), on);
        EXPECT_TRUE(on->isChecked());
        EXPECT_FALSE(on->isEnabled());
        EXPECT_FALSE(off->isChecked());
        EXPECT_TRUE(off->isEnabled());
        EXPECT_TRUE(on->preferWgt()->isVisible());
        EXPECT_FALSE(off->preferWgt()->isVisible());
    };
    expectCurrent(first, second);
    Click(second);
    expectCurrent(second, first);
    Click(second);  // the open tab is disabled: nothing happens
    expectCurrent(second, first);
    dlg.OnSelectBtn(5);
    dlg.OnSelectBtn(-1);
    expectCurrent(second, first);
    Click(first);
    expectCurrent(first, second);
}

// The Advanced page's two choices are the framework's drawn combo boxes,
// the pages lie on the window colour, and the dialog is tall enough for
// the Advanced page's last group.
TEST_F(Preferences, DrawnCombosOnTheWindowColour)
{
    QPreferencesDlg dlg;
    auto* advanced = new QAdvancedPreWgt;
    dlg.addPreferWgt(new QGeneralPreWgt, true);
    dlg.addPreferWgt(advanced, true);
    for (QComboBox* combo : {advanced->tasksCombo(), advanced->warnCombo()}) {
        auto* drawn = qobject_cast<QZOComboBox*>(combo);
        ASSERT_NE(drawn, nullptr);
        EXPECT_TRUE(drawn->isCustomDraw());
        EXPECT_EQ(drawn->size(), QSize(90, 20));
    }
    EXPECT_EQ(advanced->parentWidget()->palette().color(QPalette::Window), QColor(44, 41, 48));
    EXPECT_EQ(dlg.width(), 516);
    EXPECT_GE(dlg.height(), 334);
}

TEST_F(Preferences, OkWritesEveryPageAndCancelWritesNothing)
{
    QProjectSetting::setExitWhenCloseToXML(false, true);
    QProjectSetting::setAutoUpdateToXML(false, true);

    // Cancel and the close button after changes: the document is as it
    // was, and the updater hears nothing.
    const QByteArray before = Document();
    for (int viaClose = 0; viaClose < 2; ++viaClose) {
        const int result = Run([&](QPreferencesDlg& dlg, QGeneralPreWgt& general, QAdvancedPreWgt& advanced) {
            Click(general.exitRadio());
            Click(general.autoUpdateRadio());
            advanced.tasksCombo()->setCurrentIndex(2);
            advanced.warnCombo()->setCurrentIndex(1);
            advanced.OnBtnReset();
            Click(viaClose ? dlg.closeButton() : dlg.cancelButton());
        });
        EXPECT_EQ(result, QDialog::Rejected);
        EXPECT_EQ(updateCount_, 0);
    }
    EXPECT_EQ(Document(), before);
    EXPECT_FALSE(QProjectSetting::getExitWhenCloseFromXML(false));

    // OK with "Exit" and automatic updates chosen stores both and tells
    // the updater.
    const int result = Run([&](QPreferencesDlg& dlg, QGeneralPreWgt& general, QAdvancedPreWgt&) {
        Click(general.exitRadio());
        Click(general.autoUpdateRadio());
        Click(dlg.okButton());
    });
    EXPECT_EQ(result, QDialog::Accepted);
    EXPECT_EQ(Stored("Bool_Exit_Close_Key", "Bool_Exit_Close_Value"), "Y");
    EXPECT_EQ(Stored("Bool_Autoupdate_Key", "Bool_Autoupdate_Value"), "Y");
    EXPECT_EQ(updateCount_, 1);
    EXPECT_TRUE(lastUpdate_);

    // OK with nothing changed still tells the updater the (unchanged) choice.
    Run([&](QPreferencesDlg& dlg, QGeneralPreWgt& general, QAdvancedPreWgt&) {
        EXPECT_TRUE(general.exitRadio()->isChecked());
        Click(dlg.okButton());
    });
    EXPECT_EQ(updateCount_, 1);
    EXPECT_TRUE(lastUpdate_);
}

TEST_F(Preferences, TaskNumberShowsTheNearestChoiceAndIsNeverStoredAsZero)
{
    const struct {
        const char* stored;  // in the document, read by init
        int cached;          // then put in the cache without writing (0: keep)
        const char* shown;
    } cases[] = {{"3", 0, "3"}, {"2", 0, "2"}, {"abc", 0, "1"}, {"7", 0, "3"}, {"0", 0, "1"},
                 {"-4", 0, "1"}, {"2", 9, "3"}, {"2", -1, "1"}, {"2", 0, "2"}};
    for (const auto& c : cases) {
        QZOProjectSetting::SetItemValue(QStringLiteral("Task_Num_Key"), QStringLiteral("Task_Num_Value"),
                                        QLatin1String(c.stored));
        QProjectSetting::init();
        if (c.cached != 0)
            QProjectSetting::setTaskNumToXML(c.cached, false);
        Run([&](QPreferencesDlg& dlg, QGeneralPreWgt&, QAdvancedPreWgt& advanced) {
            EXPECT_EQ(advanced.tasksCombo()->currentText(), c.shown) << c.stored << " " << c.cached;
            Click(dlg.okButton());
        });
        EXPECT_EQ(Stored("Task_Num_Key", "Task_Num_Value"), c.shown) << c.stored << " " << c.cached;
        EXPECT_EQ(QProjectSetting::getTaskNumFromXML(false), QString(QLatin1String(c.shown)).toInt());
    }
    // A choice made on the page is what OK stores.
    Run([&](QPreferencesDlg& dlg, QGeneralPreWgt&, QAdvancedPreWgt& advanced) {
        advanced.tasksCombo()->setCurrentIndex(0);
        Click(dlg.okButton());
    });
    EXPECT_EQ(Stored("Task_Num_Key", "Task_Num_Value"), "1");
}

// OK writes the three settings behind the warning choice as the page
// shows it, every time: "Turn On" brings back a dialog that its own box
// turned off.
TEST_F(Preferences, WarningChoiceIsWrittenOnEveryOk)
{
    const struct {
        bool ask, autoOpen, closeDlg;  // stored before
        int choose;                    // -1: leave the combo alone
        int shown;                     // the combo's index on opening
        const char* after[3];          // ask, auto-open, close dialog
    } cases[] = {
        // The close dialog was turned off from its own box: the page shows
        // "Turn On", and OK turns it back on.
        {true, false, false, -1, 0, {"Y", "N", "Y"}},
        // Asking before saving turned off from its box, auto-open still off.
        {false, false, true, -1, 0, {"Y", "N", "Y"}},
        {true, false, true, 1, 0, {"N", "Y", "N"}},
        {false, true, false, 0, 1, {"Y", "N", "Y"}},
        {false, true, false, -1, 1, {"N", "Y", "N"}},
        {true, false, false, 0, 0, {"Y", "N", "Y"}},
    };
    for (const auto& c : cases) {
        QProjectSetting::setAskForSaveToXML(c.ask, true);
        QProjectSetting::setAutoOpenFolderToXML(c.autoOpen, true);
        QProjectSetting::setShowCloseDlgToXML(c.closeDlg, true);
        Run([&](QPreferencesDlg& dlg, QGeneralPreWgt&, QAdvancedPreWgt& advanced) {
            EXPECT_EQ(advanced.warnCombo()->currentIndex(), c.shown);
            EXPECT_EQ(advanced.warnCombo()->currentText(), c.shown == 0 ? "Turn On" : "Turn Off");
            if (c.choose >= 0)
                advanced.warnCombo()->setCurrentIndex(c.choose);
            Click(dlg.okButton());
        });
        const std::string label = std::to_string(&c - cases);
        EXPECT_EQ(Stored("Bool_Ask_For_Save_Key", "Bool_Ask_For_Save_Value"), c.after[0]) << label;
        EXPECT_EQ(Stored("Bool_Auto_Open_Key", "Bool_Auto_Open_Value"), c.after[1]) << label;
        EXPECT_EQ(Stored("Bool_Show_Close_Dlg_Key", "Bool_Show_Close_Dlg_Value"), c.after[2]) << label;
    }
}

TEST_F(Preferences, OutputFolderChangesThroughChangeAndResetAndIsStoredOnOk)
{
    const QString chosen = FromStd(dir_.Path("chosen"));
    QDir().mkpath(chosen);
    QString answer;
    // The chooser opens over the dialog, in the folder the page shows.
    QStringList starts;
    QWidget* over = nullptr;
    QAdvancedPreWgt::setFolderChooser([&](QWidget* parent, const QString& start) {
        over = parent;
        starts << start;
        return answer;
    });
    const QByteArray before = Document();
    Run([&](QPreferencesDlg& dlg, QGeneralPreWgt&, QAdvancedPreWgt& advanced) {
        EXPECT_EQ(advanced.pathEdit()->textEdit()->toPlainText(), output_);
        EXPECT_TRUE(advanced.pathEdit()->textEdit()->isReadOnly());
        Click(advanced.changeButton());  // chooser cancelled
        EXPECT_EQ(advanced.chosenFolder(), output_);
        answer = chosen;
        Click(advanced.changeButton());
        EXPECT_EQ(advanced.chosenFolder(), chosen);
        EXPECT_EQ(advanced.pathEdit()->textEdit()->toPlainText(), chosen);
        Click(advanced.resetButton());
        EXPECT_EQ(advanced.pathEdit()->textEdit()->toPlainText(), QProjectSetting::getDefaultSavePath());
        EXPECT_EQ(over, &dlg);
        Click(dlg.cancelButton());
    });
    EXPECT_EQ(starts, (QStringList{output_, output_}));
    EXPECT_EQ(Document(), before);
    Run([&](QPreferencesDlg& dlg, QGeneralPreWgt&, QAdvancedPreWgt& advanced) {
        Click(advanced.changeButton());
        Click(dlg.okButton());
    });
    EXPECT_EQ(Stored("Output_Path_Key", "Output_Path_Value"), chosen);
}

TEST_F(Preferences, WritableFolderProbeNeverTouchesAnExistingFile)
{
    const QString folder = FromStd(dir_.Path("probe"));
    QDir().mkpath(folder);
    // The probe is named after the program.
    const QString product = QString::fromUtf8(kTestProjectName);
    const QString first = folder + "/" + product + ".txt";
    EXPECT_TRUE(QBasePreferWgt::isWritableDir(folder));
    EXPECT_TRUE(QBasePreferWgt::isWritableDir(folder + "/"));
    EXPECT_EQ(QDir(folder).entryList(QDir::Files).size(), 0);
    EXPECT_FALSE(QBasePreferWgt::isWritableDir(folder + "/missing"));

    // Every probe name taken: the answer is no, and every file is as it was.
    const auto write = [](const QString& path) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("keep " + path.toUtf8());
    };
    write(first);
    for (int n = 1; n < 99; ++n)
        write(folder + QStringLiteral("/%1%2.txt").arg(product).arg(n));
    EXPECT_TRUE(QBasePreferWgt::isWritableDir(folder));  // the 100th name is free
    write(folder + "/" + product + "99.txt");
    EXPECT_FALSE(QBasePreferWgt::isWritableDir(folder));
    const QStringList files = QDir(folder).entryList(QDir::Files);
    EXPECT_EQ(files.size(), 100);
    for (const QString& name : files) {
        QFile f(folder + "/" + name);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        EXPECT_EQ(f.readAll(), "keep " + (folder + "/" + name).toUtf8());
    }
}

TEST_F(Preferences, BothPagesAreRendered)
{
    QDir().mkpath(QStringLiteral(VIDMEND_SCREENS_DIR));
    QPreferencesDlg dlg;
    dlg.addPreferWgt(new QGeneralPreWgt, true);
    dlg.addPreferWgt(new QAdvancedPreWgt, true);
    dlg.show();
    for (int i = 0; i < 2; ++i) {
        dlg.OnSelectBtn(i);
        QCoreApplication::processEvents();
        const QImage image = dlg.grab().toImage();
        const char* name = i == 0 ? "preferences-general" : "preferences-advanced";
        EXPECT_TRUE(image.save(QStringLiteral(VIDMEND_SCREENS_DIR "/%1.png").arg(QLatin1String(name))));
        const QColor middle = image.pixelColor(image.width() / 2, image.height() / 2);
        EXPECT_EQ(middle.alpha(), 255) << name;
        EXPECT_GT(middle.lightness(), 200) << name;
    }
}
