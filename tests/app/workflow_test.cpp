// The program as a user drives it, on a real X server: files dropped on the
// window and one chosen through Add, a click on Repair, a click on Save, the
// output folder chosen in the folder dialog, and the saved files checked byte
// for byte against the repaired copies and the intact input.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMimeData>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <map>

#include "AppTestEnv.h"
#include "BoxAnswers.h"
#include "MainWindow.h"
#include "QFileInfoChunk.h"
#include "QFileInfoWgt.h"
#include "QMainWgt.h"
#include "QProjectConfig.h"
#include "QProjectSetting.h"
#include "QSaveFileThread.h"
#include "QSavePathDlg.h"
#include "QZOBaseButton.h"
#include "QZOBaseBoxDraw.h"
#include "QZOMessageBox.h"
#include "qSaveSuccessDlg.h"
#include "support/Damage.h"
#include "support/Fixtures.h"
#include "support/MediaCheck.h"

using namespace mendtest;

namespace {

// A click as the mouse gives it, posted so that a modal loop the click
// opens runs outside the caller.
void ClickLater(QWidget* button)
{
    QPointer<QWidget> target(button);
    QTimer::singleShot(0, [target] {
        if (target && target->isVisible() && target->isEnabled())
            QTest::mouseClick(target, Qt::LeftButton, Qt::NoModifier, target->rect().center());
    });
}

// Drops files on the window at a point, the way the platform hands a drop
// from a file manager to the widget under the pointer.
bool DropFiles(QWidget& window, const QPoint& at, const QStringList& paths)
{
    QWidget* target = window.childAt(at);
    while (target && !target->acceptDrops())
        target = target->parentWidget();
    if (!target)
        return false;
    QMimeData mime;
    QList<QUrl> urls;
    for (const QString& p : paths)
        urls << QUrl::fromLocalFile(p);
    mime.setUrls(urls);
    const QPoint local = target->mapFrom(&window, at);
    QDragEnterEvent enter(local, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    if (!enter.isAccepted())
        return false;
    QDropEvent drop(local, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
    return true;
}

// Answers whatever modal window stands on top, as the user would: the
// file chooser gets the file or folder, the output-folder dialog is pointed
// at the folder and saved, the success dialog opens the folder.
class User : public QObject {
public:
    QString fileToAdd, outputFolder;
    QStringList seen;

    User()
    {
        m_poll.setInterval(50);
        QObject::connect(&m_poll, &QTimer::timeout, this, [this] { Act(); });
        m_poll.start();
    }

private:
    void Act()
    {
        QWidget* top = QApplication::activeModalWidget();
        if (!top || top == m_handled)
            return;
        if (auto* chooser = qobject_cast<QFileDialog*>(top)) {
            // Typing a folder's path and pressing the button first goes
            // into the folder; the next press chooses it. So the chooser is
            // answered until it closes.
            const bool folder = chooser->fileMode() != QFileDialog::ExistingFiles;
            if (seen.isEmpty() || seen.back() != (folder ? "folder chooser" : "file chooser"))
                seen << (folder ? "folder chooser" : "file chooser");
            // The user types the path into the name field.
            auto* name = chooser->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            if (name)
                name->setText(folder ? outputFolder : fileToAdd);
            QTimer::singleShot(0, chooser, [chooser] { QMetaObject::invokeMethod(chooser, "accept"); });
        } else if (auto* ask = qobject_cast<QSavePathDlg*>(top)) {
            // Pointed at the folder: save; otherwise choose it first.
            if (QDir(ask->GetSavePath()) == QDir(outputFolder)) {
                m_handled = top;
                seen << "output folder";
                ClickLater(ask->saveButton());
            } else if (!m_changing) {
                m_changing = true;
                ClickLater(ask->changeButton());
            }
        } else if (auto* done = qobject_cast<qSaveSuccessDlg*>(top)) {
            m_handled = top;
            seen << "saved";
            ClickLater(done->openButton());
        }
    }

    QTimer m_poll;
    QPointer<QWidget> m_handled;
    bool m_changing = false;
};

TEST(Workflow, AUserAddsRepairsAndSaves)
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        GTEST_SKIP() << "needs an X server (the test command runs it under xvfb-run)";
    const std::string mp4 = RequireFixture("clip_faststart.mp4");
    const std::string mkv = RequireFixture("clip.mkv");
    const std::string avi = RequireFixture("clip.avi");
    if (mp4.empty() || mkv.empty() || avi.empty())
        GTEST_SKIP() << "fixtures missing";
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    BoxAnswers boxes;

    ScratchDir dir("workflow");
    const QString holiday = QString::fromStdString(dir.Path("holiday.mp4"));
    const QString party = QString::fromStdString(dir.Path("party.mkv"));
    const QString intact = QString::fromStdString(dir.Path("intact.avi"));
    ASSERT_TRUE(CopyFile(mp4, holiday.toStdString()));
    ASSERT_TRUE(TruncateFile(holiday.toStdString(), FileSize(mp4) * 6 / 10));
    ASSERT_TRUE(CopyFile(mkv, party.toStdString()));
    ASSERT_TRUE(TruncateFile(party.toStdString(), FileSize(mkv) * 7 / 10));
    ASSERT_TRUE(CopyFile(avi, intact.toStdString()));
    const QString out = QString::fromStdString(dir.Path("saved"));
    ASSERT_TRUE(QDir().mkpath(out));

    // The program under its own name, as it names itself.
    QProjectConfig* config = QProjectConfig::getProjectConfig();
    const QString testName = config->projectName();
    config->setProjectName(QString());
    MainWindow window;
    EXPECT_EQ(window.windowTitle(), QStringLiteral("vidmend"));
    EXPECT_EQ(window.getDlgTitle(), QStringLiteral("vidmend"));
    QProjectSetting::setAskForSaveToXML(true, true);
    QProjectSetting::setAutoOpenFolderToXML(false, true);
    QProjectSetting::setTaskNumToXML(2, true);
    QFileInfoWgt* page = window.mainPage()->page();
    QBottomWgt* bar = window.mainPage()->bar();
    QStringList revealed;
    page->setRevealHook([&](const QString& p) { revealed << p; });
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window, kHangGuardMs));

    User user;
    user.fileToAdd = party;
    user.outputFolder = out;

    // Two files dropped in the middle of the empty window, one through Add.
    ASSERT_TRUE(DropFiles(window, window.rect().center(), {holiday, intact}));
    ASSERT_TRUE(WaitFor([&] { return !page->isAdding() && page->rows().size() == 2; }));
    ClickLater(bar->addButton());
    ASSERT_TRUE(WaitFor([&] { return !page->isAdding() && page->rows().size() == 3; }));

    QSignalSpy saveMode(page, &QFileInfoWgt::emitSaveBtns);
    ClickLater(bar->repairButton());
    ASSERT_TRUE(WaitFor([&] { return saveMode.count() == 1; }, 120000));
    EXPECT_FALSE(bar->saveButton()->isHidden());

    // What the saved files must be: the repaired copies deciphered, the
    // intact file as it was.
    std::map<QString, QByteArray> expected;
    for (IBaseChunk* r : page->rows()) {
        auto* row = static_cast<QFileInfoChunk*>(r);
        const QString name = QString::fromStdString(row->GetTitle());
        if (name == QLatin1String("intact.avi")) {
            EXPECT_EQ(row->GetStatus(), FileUndamaged);
            expected[name] = FileBytes(intact);
            continue;
        }
        ASSERT_EQ(row->GetStatus(), FileCompleted) << name.toStdString();
        const QString plain = QString::fromStdString(dir.Path("plain-")) + name;
        QSaveFileThread decipher;
        ASSERT_TRUE(decipher.SaveFromTemp(row->GetTempFilePath(), row->GetEncryptKey(), plain));
        const MediaReport report = CheckMedia(plain.toStdString());
        EXPECT_TRUE(report.CleanDecode()) << report.Summary();
        expected[name] = FileBytes(plain);
    }
    ASSERT_EQ(expected.size(), 3u);
    // The intact file is unchecked after a run; the user ticks "Select All"
    // to save it too.
    ClickLater(page->selectAllBox());
    ASSERT_TRUE(WaitFor([&] {
        for (IBaseChunk* r : page->rows())
            if (r->GetCheck() != 2)
                return false;
        return true;
    }, 5000));

    ClickLater(bar->saveButton());
    ASSERT_TRUE(WaitFor([&] { return revealed.size() == 1; }, 60000)) << user.seen.join(", ").toStdString();
    EXPECT_EQ(user.seen, (QStringList{"file chooser", "folder chooser", "output folder", "saved"}));
    for (const auto& e : expected)
        EXPECT_EQ(FileBytes(out + "/" + e.first), e.second) << e.first.toStdString();
    EXPECT_EQ(QDir(out).entryList(QDir::Files).size(), 3);
    EXPECT_TRUE(revealed[0].startsWith(out));
    EXPECT_TRUE(WaitFor([&] { return page->rows().empty() && !bar->addButton()->isHidden(); }));
    EXPECT_EQ(QProjectSetting::getSavePathFromXML(), out);
    config->setProjectName(testName);
}

}  // namespace
