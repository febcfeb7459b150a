// The file list's rows: cell texts, sorting and the failed colour, the name
// cell's drawing, and the thread that turns paths into rows.
#include <gtest/gtest.h>

#include <QFile>
#include <QImage>
#include <QPainter>
#include <QSignalSpy>
#include <QTemporaryDir>

#include "AppTestEnv.h"
#include "QAddFileThread.h"
#include "QFileInfoChunk.h"
#include "support/Fixtures.h"

namespace {

struct Rows {
    std::vector<std::unique_ptr<QFileInfoChunk>> owned;
    QBaseDetailsModel::Rows rows;
    QFileInfoModel model;
    QFileInfoSortModel proxy;

    Rows()
    {
        model.setHeaderList({QString(), "Name", "Size", "Date", "Status"});
        proxy.setSourceModel(&model);
    }
    QFileInfoChunk* add(const std::string& title, qint64 size, const std::string& date, FileStatus status)
    {
        owned.push_back(std::make_unique<QFileInfoChunk>());
        QFileInfoChunk* row = owned.back().get();
        row->SetTitle(title);
        row->SetSize(size);
        row->setDate(date);
        row->SetStatus(status);
        rows.push_back(row);
        model.setDatas(&rows);
        return row;
    }
};

TEST(FileRows, CellsShowSizeDateAndStatus)
{
    Rows t;
    t.add("a.mp4", 1024, "2020-03-04T05:06:07", FileFailed);
    t.add("b.mp4", 1025, "2021-12-31T23:59:59", FileAdded);
    t.add("c.mp4", 0, "", FileInProgress);
    t.add("d.mp4", 0, "", FileUndamaged);
    EXPECT_EQ(t.model.index(0, 2).data().toString(), QStringLiteral("  1024B"));
    EXPECT_EQ(t.model.index(1, 2).data().toString(), QStringLiteral("  1.00KB"));
    EXPECT_EQ(t.model.index(0, 3).data().toString(), QStringLiteral("  2020/03/04"));
    EXPECT_EQ(t.model.index(0, 4).data().toString(), QStringLiteral("Failed"));
    EXPECT_FALSE(t.model.index(1, 4).data().isValid());
    EXPECT_FALSE(t.model.index(2, 4).data().isValid());
    EXPECT_EQ(t.model.index(3, 4).data().toString(), QStringLiteral("Undamaged"));
    EXPECT_FALSE(t.model.index(0, 0).data(Qt::CheckStateRole).isValid());
    EXPECT_EQ(t.model.index(0, 0).data(Qt::TextAlignmentRole).toInt(), 132);
    EXPECT_EQ(t.proxy.index(0, 4).data(Qt::ForegroundRole).value<QColor>(), QColor(208, 0, 0));
    EXPECT_NE(t.proxy.index(1, 4).data(Qt::ForegroundRole).value<QColor>(), QColor(208, 0, 0));
}

TEST(FileRows, SortingByNameIgnoresCase)
{
    Rows t;
    t.add("Bravo.mp4", 1, "2020-01-01T00:00:00", FileAdded);
    t.add("alpha.mp4", 2, "2019-01-01T00:00:00", FileAdded);
    t.add("Charlie.mp4", 3, "2021-01-01T00:00:00", FileAdded);
    t.proxy.sort(1, Qt::AscendingOrder);
    EXPECT_EQ(t.proxy.index(0, 1).data().toString(), QStringLiteral("alpha.mp4"));
    EXPECT_EQ(t.proxy.index(1, 1).data().toString(), QStringLiteral("Bravo.mp4"));
    t.proxy.sort(3, Qt::DescendingOrder);
    EXPECT_EQ(t.proxy.index(0, 1).data().toString(), QStringLiteral("Charlie.mp4"));
}

TEST(FileRows, ADisabledRowsNameIsGreyEvenSelected)
{
    Rows t;
    QFileInfoChunk* row = t.add(std::string(200, 'n'), 1, "2020-01-01T00:00:00", FileAdded);
    row->setEnable(false);
    QFileDelegate delegate;
    delegate.setSelectedBackgroundColor(QColor(81, 102, 192));
    delegate.setDrawBottomLine(false);
    QImage canvas(300, 30, QImage::Format_ARGB32);
    canvas.fill(Qt::white);
    QPainter painter(&canvas);
    QStyleOptionViewItem option;
    option.rect = canvas.rect();
    option.state = QStyle::State_Selected | QStyle::State_Enabled;
    delegate.paint(&painter, option, t.model.index(0, 1));
    painter.end();
    // Text pixels are grey, never the selected text colour; the long name
    // is cut before the cell's end, so its last pixels are background.
    bool grey = false;
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 300; ++x)
            grey = grey || canvas.pixelColor(x, y) == QColor(196, 196, 196);
    EXPECT_TRUE(grey);
    EXPECT_EQ(canvas.pixelColor(299, 15), QColor(81, 102, 192));
}

std::vector<std::pair<QFileInfoChunk*, bool>> RunAdd(QStringList paths)
{
    QAddFileThread thread;
    std::vector<std::pair<QFileInfoChunk*, bool>> got;
    QObject::connect(&thread, &QAddFileThread::emitFileChunk, [&](QFileInfoChunk* c, bool last) {
        got.emplace_back(c, last);
    });
    thread.setStart(paths);
    if (!paths.isEmpty())
        WaitFor([&] { return !got.empty() && got.back().second; });
    thread.wait();
    QCoreApplication::processEvents();
    return got;
}

TEST(AddFiles, RowsComeInOrderWithOneEndMark)
{
    const std::string video = mendtest::RequireFixture("clip.avi");
    const std::string audio = mendtest::RequireFixture("clip.wav");
    if (video.empty() || audio.empty())
        return;
    QTemporaryDir dir;
    const QString garbage = dir.filePath(QStringLiteral("notes.txt"));
    {
        QFile f(garbage);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("not media at all");
    }
    const QString missing = dir.filePath(QStringLiteral("missing.mp4"));

    EXPECT_TRUE(RunAdd({}).empty());

    auto got = RunAdd({QString::fromStdString(video), QString::fromStdString(audio), missing});
    ASSERT_EQ(got.size(), 3u);
    EXPECT_FALSE(got[0].second);
    EXPECT_FALSE(got[1].second);
    EXPECT_EQ(got[2].first, nullptr);
    EXPECT_TRUE(got[2].second);
    QFileInfoChunk* v = got[0].first;
    QFileInfoChunk* a = got[1].first;
    EXPECT_EQ(v->GetFormat(), QFileInfoChunk::Video);
    EXPECT_EQ(a->GetFormat(), QFileInfoChunk::Audio);
    EXPECT_NE(a->GetImage().find("audiofile.png"), std::string::npos);
    EXPECT_EQ(v->GetStatus(), FileAdded);
    EXPECT_EQ(v->GetTitle(), "clip.avi");
    EXPECT_EQ(v->GetSize(), QFileInfo(QString::fromStdString(video)).size());
    EXPECT_FALSE(v->getDate().empty());
    delete v;
    delete a;

    got = RunAdd({missing, garbage});
    ASSERT_EQ(got.size(), 1u);
    ASSERT_NE(got[0].first, nullptr);
    EXPECT_TRUE(got[0].second);
    EXPECT_EQ(got[0].first->GetFormat(), QFileInfoChunk::Video);  // cannot be opened: counts as video
    delete got[0].first;
}

}  // namespace
