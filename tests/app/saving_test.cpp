// The whole workflow on the page, against the real library: add, repair,
// save into a folder; the saved files are the repaired copies deciphered,
// byte for byte, and the intact ones as they were. A save whose writes fail
// keeps the repaired copies and their rows. Preview steps wrap round.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTimer>

#include "AppTestEnv.h"
#include "PageRows.h"
#include "BoxAnswers.h"
#include "QBaseProgressDlg.h"
#include "QFileInfoChunk.h"
#include "QFileInfoWgt.h"
#include "QProjectSetting.h"
#include "QSaveFileThread.h"
#include "QZOBaseBoxDraw.h"
#include "QZOMessageBox.h"
#include "support/Damage.h"
#include "support/Fixtures.h"

using namespace mendtest;

namespace {

class Saving : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string mp4 = RequireFixture("clip_faststart.mp4");
        const std::string avi = RequireFixture("clip.avi");
        if (mp4.empty() || avi.empty())
            GTEST_SKIP() << "fixtures missing";
        for (const char* name : {"one.mp4", "two.mp4"}) {
            const std::string p = dir.Path(name);
            ASSERT_TRUE(CopyFile(mp4, p));
            ASSERT_TRUE(TruncateFile(p, FileSize(p) * 6 / 10));
            inputs << QString::fromStdString(p);
        }
        intact = QString::fromStdString(dir.Path("intact.avi"));
        ASSERT_TRUE(CopyFile(avi, intact.toStdString()));
        inputs << intact;
        out = QString::fromStdString(dir.Path("saved"));
        QProjectSetting::setAskForSaveToXML(false, false);
        QProjectSetting::setAutoOpenFolderToXML(true, false);
        QProjectSetting::setSavePath(out);
        QProjectSetting::setTaskNumToXML(2, false);
        page.resize(720, 400);
        page.setRevealHook([this](const QString& p) { revealed << p; });
        page.AddFilesToModel(inputs);
        ASSERT_TRUE(WaitFor([&] { return !page.isAdding(); }));
        QSignalSpy saveMode(&page, &QFileInfoWgt::emitSaveBtns);
        page.startRepair();
        ASSERT_TRUE(WaitFor([&] { return saveMode.count() == 1; }, 120000));
        page.selectAllBox()->setCheckState(Qt::Checked);  // the intact file too
    }

    BoxAnswers boxes;
    ScratchDir dir{"saving"};
    QStringList inputs;
    QString intact, out;
    QStringList revealed;
    QFileInfoWgt page;
};

TEST_F(Saving, SavedFilesAreTheDecipheredCopiesAndTheIntactOnes)
{
    // What the saved files must be: each repaired copy deciphered.
    std::map<std::string, QByteArray> expected;
    for (const char* name : {"one.mp4", "two.mp4"}) {
        QFileInfoChunk* row = RowTitled(page, name);
        ASSERT_NE(row, nullptr);
        ASSERT_EQ(row->GetStatus(), FileCompleted);
        const QString plain = QString::fromStdString(dir.Path(std::string("plain-") + name));
        QSaveFileThread decipher;
        ASSERT_TRUE(decipher.SaveFromTemp(row->GetTempFilePath(), row->GetEncryptKey(), plain));
        expected[name] = FileBytes(plain);
        ASSERT_FALSE(expected[name].isEmpty());
        EXPECT_NE(expected[name], FileBytes(inputs[0]));
    }
    expected["intact.avi"] = FileBytes(intact);
    const QString temp = RowTitled(page, "one.mp4")->GetTempFilePath();

    QSignalSpy addMode(&page, &QFileInfoWgt::emitAddFileBtns);
    page.saveFile();  // runs the progress dialog until the save ends
    ASSERT_TRUE(WaitFor([&] { return !page.isSaving(); }));
    for (const auto& e : expected) {
        EXPECT_EQ(FileBytes(out + "/" + QString::fromStdString(e.first)), e.second) << e.first;
    }
    EXPECT_TRUE(page.rows().empty());
    EXPECT_EQ(addMode.count(), 1);
    EXPECT_FALSE(QFile::exists(temp));
    EXPECT_TRUE(QFile::exists(intact));  // never removed: it is the user's own
    ASSERT_EQ(revealed.size(), 1);
    EXPECT_TRUE(revealed[0].startsWith(out));

    // Saved again under the same names: new, unique names, nothing replaced.
    page.AddFilesToModel({intact});
    ASSERT_TRUE(WaitFor([&] { return !page.isAdding(); }));
    QSignalSpy saveMode(&page, &QFileInfoWgt::emitSaveBtns);
    page.startRepair();
    ASSERT_TRUE(WaitFor([&] { return saveMode.count() == 1; }, 120000));
    page.selectAllBox()->setCheckState(Qt::Checked);
    page.saveFile();
    ASSERT_TRUE(WaitFor([&] { return !page.isSaving(); }));
    EXPECT_EQ(QDir(out).entryList(QDir::Files).size(), 4);
}

TEST_F(Saving, FailedWritesKeepTheCopiesAndTheirRows)
{
    const QString temp = RowTitled(page, "one.mp4")->GetTempFilePath();
    // Writes beyond 1 KiB fail with EFBIG instead of killing the process.
    struct rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    page.saveFile();
    WaitFor([&] { return !page.isSaving(); });
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);

    EXPECT_TRUE(boxes.messages.contains(QStringLiteral("No File Saved")));
    EXPECT_TRUE(QFile::exists(temp));
    ASSERT_NE(RowTitled(page, "one.mp4"), nullptr);
    EXPECT_EQ(RowTitled(page, "one.mp4")->GetTempFilePath(), temp);
    EXPECT_TRUE(page.isResultLook());
    // No partial file is left in the output folder.
    for (const QFileInfo& f : QDir(out).entryInfoList(QDir::Files))
        EXPECT_LE(f.size(), 1024) << f.fileName().toStdString();
}

TEST_F(Saving, PreviewPlaysTheRightFileAndStepsWrapRound)
{
    std::vector<std::pair<QString, quint32>> played;
    page.setPreviewHook([&](const QString& path, quint32 key) { played.emplace_back(path, key); });
    QFileInfoChunk* one = RowTitled(page, "one.mp4");
    QFileInfoChunk* two = RowTitled(page, "two.mp4");
    QFileInfoChunk* in = RowTitled(page, "intact.avi");
    ASSERT_EQ(in->GetStatus(), FileUndamaged);
    // The undamaged row plays its own file with no key; the row list is in
    // the order added.
    ASSERT_EQ(page.nextPlayable(one->GetTempFilePath(), true), two);
    EXPECT_EQ(page.nextPlayable(in->GetTempFilePath(), true), one);   // wraps
    EXPECT_EQ(page.nextPlayable(one->GetTempFilePath(), false), in);  // wraps back
    EXPECT_EQ(page.nextPlayable(QString(), true), nullptr);
    QMetaObject::invokeMethod(&page, "playNextFile", Q_ARG(QString, two->GetTempFilePath()));
    ASSERT_EQ(played.size(), 1u);
    EXPECT_EQ(played[0].first, in->GetTempFilePath());
    EXPECT_EQ(played[0].second, 0u);
    QMetaObject::invokeMethod(&page, "playPreFile", Q_ARG(QString, two->GetTempFilePath()));
    ASSERT_EQ(played.size(), 2u);
    EXPECT_EQ(played[1].first, one->GetTempFilePath());
    EXPECT_NE(played[1].second, 0u);
}

}  // namespace
