// The item delegates: where a column's cell widgets go, the check column
// toggled through the delegate's signal, cell buttons reporting clicks per
// row (and only the delegate's signal in a disabled column), per-row
// records, and a table drawn with all of it.
#include <gtest/gtest.h>

#include <QDir>
#include <QHeaderView>
#include <QMouseEvent>
#include <QPainter>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "AppTestEnv.h"
#include "IBaseChunk.h"
#include "QBaseDetailsModel.h"
#include "QChunkControl.h"
#include "QZOStyleDelegate.h"
#include "QZOBaseSortModel.h"
#include "QZOTableView.h"

namespace {

class TitleModel : public QBaseDetailsModel {
public:
    QVariant data(const QModelIndex& index, int role) const override
    {
        if (role == Qt::DisplayRole && index.isValid() && index.column() == 0)
            return QString::fromStdString(static_cast<IBaseChunk*>(index.internalPointer())->GetTitle());
        return QBaseDetailsModel::data(index, role);
    }
};

// A four-state strip (normal, hover, pressed, disabled) at ratio 2.
QImage Strip(int w, int h)
{
    const QColor states[4] = {QColor(81, 102, 192), QColor(120, 140, 230), QColor(40, 60, 150), QColor(196, 196, 196)};
    QImage strip(4 * w * 2, h * 2, QImage::Format_ARGB32);
    strip.fill(Qt::transparent);
    QPainter p(&strip);
    p.setRenderHint(QPainter::Antialiasing);
    for (int i = 0; i < 4; ++i) {
        p.setBrush(states[i]);
        p.setPen(Qt::NoPen);
        p.drawRoundedRect(QRectF(i * w * 2 + 2, 2, w * 2 - 4, h * 2 - 4), 8, 8);
    }
    return strip;
}

QString SaveBox(QTemporaryDir& dir, const char* name, int state)
{
    QImage image(32, 32, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(81, 102, 192), 3));
    p.setBrush(state == 0 ? QColor(Qt::white) : QColor(81, 102, 192));
    p.drawRoundedRect(QRectF(3, 3, 26, 26), 5, 5);
    if (state == 1)
        p.fillRect(QRect(9, 14, 14, 4), Qt::white);
    p.end();
    const QString path = dir.filePath(QString::fromLatin1(name));
    EXPECT_TRUE(image.save(path));
    return path;
}

struct Table {
    std::vector<std::unique_ptr<IBaseChunk>> owned;
    QBaseDetailsModel::Rows rows;
    TitleModel model;

    explicit Table(int n)
    {
        for (int i = 0; i < n; ++i) {
            owned.push_back(std::make_unique<IBaseChunk>());
            owned.back()->SetTitle("row " + std::to_string(i));
            rows.push_back(owned.back().get());
        }
        model.setHeaderList({QStringLiteral("Name"), QStringLiteral("Actions")});
        model.setCheckInColumn(0);
        model.setDatas(&rows);
    }
};

bool Send(QZOBaseStyleDelegate& d, QAbstractItemModel& model, QEvent::Type type, const QPoint& at, const QRect& cell,
          const QModelIndex& index)
{
    QMouseEvent event(type, at, at, Qt::LeftButton, type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton,
                      Qt::NoModifier);
    QStyleOptionViewItem option;
    option.rect = cell;
    return d.editorEvent(&event, &model, option, index);
}

TEST(DelegateLayout, GroupsAreLaidOutLeftRightAndCentred)
{
    QWidget a, b;
    a.resize(20, 10);
    b.resize(20, 10);
    const std::vector<QWidget*> widgets = {&a, &b};
    const std::vector<bool> all = {true, true};
    const struct {
        int alignment, x0, x1;
    } cases[] = {{0x84, 28, 52}, {0x2, 56, 80}, {0x1, 0, 24}};
    for (const auto& c : cases) {
        const auto r = QDelegateControl::Layout(QRect(0, 0, 100, 30), widgets, all, 4, 44, c.alignment);
        EXPECT_EQ(r[0].x(), c.x0) << c.alignment;
        EXPECT_EQ(r[1].x(), c.x1) << c.alignment;
        EXPECT_EQ(r[0].y(), 10);
    }
}

TEST(DelegateCheck, PressesInTheBoxToggleThroughTheReceiver)
{
    QTemporaryDir dir;
    Table t(4);
    QZOBaseStyleDelegate delegate;
    delegate.setCheckInColumn(0);
    delegate.setCheckboxImage(SaveBox(dir, "u.png", 0), SaveBox(dir, "p.png", 1), SaveBox(dir, "c.png", 2));
    ASSERT_EQ(delegate.checkboxWidth(), 16);
    delegate.setCheckboxOffest(3);
    // The receiver changes the row, as the page does.
    QObject::connect(&delegate, &QZOBaseStyleDelegate::emitCheckStateChange, [&](QModelIndex index, int state) {
        t.model.setData(index, state, Qt::CheckStateRole);
    });
    QSignalSpy spy(&delegate, &QZOBaseStyleDelegate::emitCheckStateChange);
    t.rows[1]->SetCheck(2);
    t.rows[2]->SetCheck(1);
    t.rows[3]->setCheckEnable(false);
    const QRect cell(0, 0, 200, 30);
    const QPoint inBox(5 + 8, 15);
    const QPoint leftOfBox(5 - 2, 15);  // inside the hit offsets
    const struct {
        int row;
        QPoint at;
        int before, after;
    } cases[] = {{0, inBox, 0, 2}, {1, inBox, 2, 0}, {2, leftOfBox, 1, 2}, {3, inBox, 0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.row);
        ASSERT_EQ(t.rows[size_t(c.row)]->GetCheck(), c.before);
        Send(delegate, t.model, QEvent::MouseButtonPress, c.at, cell, t.model.index(c.row, 0));
        EXPECT_EQ(t.rows[size_t(c.row)]->GetCheck(), c.after);
    }
    EXPECT_EQ(spy.count(), 3);
    // Far from the box nothing toggles.
    Send(delegate, t.model, QEvent::MouseButtonPress, QPoint(150, 15), cell, t.model.index(0, 0));
    EXPECT_EQ(spy.count(), 3);
}

TEST(DelegateCheck, EmptyImagePathsDrawNoBox)
{
    Table t(1);
    QZOBaseStyleDelegate delegate;
    delegate.setCheckInColumn(0);
    delegate.setCheckboxImage(QString(), QString(), QString());
    EXPECT_EQ(delegate.checkedImage(), nullptr);
    EXPECT_EQ(delegate.checkboxWidth(), 0);
    QImage canvas(200, 30, QImage::Format_ARGB32);
    QPainter painter(&canvas);
    QStyleOptionViewItem option;
    option.rect = QRect(0, 0, 200, 30);
    delegate.paint(&painter, option, t.model.index(0, 0));
}

TEST(DelegateButtons, ClicksArriveWithTheirRowAndADisabledColumnOnlyTellsTheDelegate)
{
    Table t(5);
    QZOControlStyleDelegate delegate;
    QZOStyleButton play, remove;
    ASSERT_TRUE(play.setButtonImage(Strip(20, 16), QImage(), false));
    ASSERT_TRUE(remove.setButtonImage(Strip(20, 16), QImage(), false));
    ASSERT_EQ(play.size(), QSize(20, 16));
    QDelegateControl control(1);
    control.setDrawSpacing(4);
    control.setHoverShow(false);
    control.addButton(&play);
    control.addButton(&remove);
    ASSERT_TRUE(delegate.addButtonWidget(&control));
    for (IBaseChunk* row : t.rows) {
        row->getChunkControl()->addControl(&play, ControlButton);
        row->getChunkControl()->addControl(&remove, ControlButton);
    }
    QSignalSpy playClicks(&play, &QZOStyleButton::emitClickIndex);
    QSignalSpy removeClicks(&remove, &QZOStyleButton::emitClickIndex);
    QSignalSpy delegateClicks(&delegate, &QZOBaseStyleDelegate::clickWidgt);
    const QRect cell(0, 0, 100, 30);
    // Centred group of 44: play at 28, remove at 52.
    const QPoint onRemove(52 + 10, 15);
    for (int row : {3, 1}) {
        const QModelIndex index = t.model.index(row, 1);
        EXPECT_TRUE(Send(delegate, t.model, QEvent::MouseButtonPress, onRemove, cell, index));
        EXPECT_EQ(remove.getBtnState(), 2);
        Send(delegate, t.model, QEvent::MouseButtonRelease, onRemove, cell, index);
    }
    ASSERT_EQ(removeClicks.count(), 2);
    EXPECT_EQ(removeClicks[0][0].value<QModelIndex>().row(), 3);
    EXPECT_EQ(removeClicks[1][0].value<QModelIndex>().row(), 1);
    EXPECT_EQ(playClicks.count(), 0);
    EXPECT_EQ(delegateClicks.count(), 2);

    // The row's column is disabled: only the delegate hears of it.
    t.rows[2]->setColumnEnable(1, false);
    Send(delegate, t.model, QEvent::MouseButtonRelease, onRemove, cell, t.model.index(2, 1));
    EXPECT_EQ(removeClicks.count(), 2);
    EXPECT_EQ(delegateClicks.count(), 3);

    // A row that hides its first button lays the second out alone,
    // centred: at 40, where the play button stood before.
    t.rows[4]->getChunkControl()->getControlAttribute(&play)->isHide = true;
    const auto placed = delegate.PlacedWidgets(cell, t.model.index(4, 1));
    ASSERT_EQ(placed.size(), 1u);
    EXPECT_EQ(placed[0].widget, &remove);
    EXPECT_EQ(placed[0].rect.x(), 40);
    // Added again, a widget's record starts afresh.
    t.rows[4]->getChunkControl()->addControl(&play, ControlButton);
    EXPECT_FALSE(t.rows[4]->getChunkControl()->getControlAttribute(&play)->isHide);
    // A cell without controls is Qt's, and the pointer is in no control.
    EXPECT_FALSE(Send(delegate, t.model, QEvent::MouseButtonPress, QPoint(5, 5), cell, t.model.index(0, 0)));
    EXPECT_FALSE(delegate.mouseInCtrlRect());
}

TEST(DelegateButtons, HoverOnlyColumnsDrawOnTheHoverRowOnly)
{
    Table t(3);
    QZOControlStyleDelegate delegate;
    QZOStyleButton play;
    ASSERT_TRUE(play.setButtonImage(Strip(20, 16), QImage(), false));
    QDelegateControl control(1);
    control.addButton(&play);
    delegate.addButtonWidget(&control);
    for (IBaseChunk* row : t.rows)
        row->getChunkControl()->addControl(&play, ControlButton);
    delegate.setHoverRow(1);
    auto inked = [&](int row) {
        QImage canvas(100, 30, QImage::Format_ARGB32);
        canvas.fill(Qt::white);
        QPainter painter(&canvas);
        QStyleOptionViewItem option;
        option.rect = canvas.rect();
        delegate.drawControl(&painter, option, t.model.index(row, 1));
        painter.end();
        return canvas.pixelColor(50, 15) != QColor(Qt::white);
    };
    EXPECT_TRUE(inked(1));
    EXPECT_FALSE(inked(0));
    EXPECT_FALSE(inked(2));
}

// ---- the sheet, for people to look at ----

TEST(Delegates, Sheet)
{
    QTemporaryDir dir;
    Table t(5);
    t.model.setItemBgColor(Qt::white, QColor(248, 248, 248));
    t.model.setItemTextColor(QColor(64, 64, 64), QColor(64, 64, 64));
    QZOTableView view;
    view.resize(420, 210);
    view.setModel(&t.model);
    view.setSourceModel(&t.model);
    QZOControlStyleDelegate delegate;
    delegate.setCheckInColumn(0);
    delegate.setCheckboxImage(SaveBox(dir, "u.png", 0), SaveBox(dir, "p.png", 1), SaveBox(dir, "c.png", 2));
    delegate.setBottomLineColor(QColor(219, 219, 219));
    view.setItemDelegate(&delegate);
    view.setStyleDelegate(&delegate);
    view.horizontalHeader()->resizeSection(0, 200);
    view.horizontalHeader()->resizeSection(1, 200);
    view.verticalHeader()->hide();
    view.verticalHeader()->setDefaultSectionSize(34);
    QZOStyleButton play;
    play.setButtonImage(Strip(20, 16), QImage(), false);
    QZOStyleProgress bar;
    bar.resize(28, 28);
    bar.setRange(0, 100);
    QDelegateControl control(1);
    control.setHoverShow(false);
    control.setDrawSpacing(6);
    control.addProgress(&bar);
    control.addButton(&play);
    delegate.addButtonWidget(&control);
    for (size_t i = 0; i < t.rows.size(); ++i) {
        QChunkControl* c = t.rows[i]->getChunkControl();
        c->addControl(&bar, ControlProgress);
        c->addControl(&play, ControlButton);
        c->getControlAttribute(&bar)->progressValue = 20.0 * double(i) + 10;
        c->getControlAttribute(&bar)->isHide = i == 0;
        c->getControlAttribute(&play)->isEnable = i != 3;
        t.rows[i]->SetCheck(int(i % 3));
    }
    t.rows[4]->setIsDeleted(true);
    view.selectRow(2);
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view, kHangGuardMs));
    QDir().mkpath(QStringLiteral(VIDMEND_SCREENS_DIR));
    EXPECT_TRUE(view.grab().save(QStringLiteral(VIDMEND_SCREENS_DIR "/controls-delegate.png")));
}

}  // namespace
