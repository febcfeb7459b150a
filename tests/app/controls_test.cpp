// The list rows' typed store, the self-drawn progress bar and slider and the
// circular progress style: reads that stay inside the stored bytes, empty
// ranges that divide by nothing, painting that never changes geometry, and
// gauges drawn in doubles over large ranges.
#include <gtest/gtest.h>

#include <QDir>
#include <QMouseEvent>
#include <QPainter>
#include <QProgressBar>
#include <QSignalSpy>
#include <QStyleOptionProgressBar>
#include <QTemporaryDir>
#include <QTest>

#include <cstdint>
#include <limits>
#include <type_traits>

#include "AppTestEnv.h"
#include "IBaseChunk.h"
#include "QDelegateProgressbarStyle.h"
#include "QZOBaseButton.h"
#include "QZOBaseProgress.h"

Q_DECLARE_METATYPE(QMouseEvent*)

namespace {

const QColor kTrack(230, 230, 230);
const QColor kFill(6, 176, 37);

// The widget painted over white, at device pixel ratio 1.
QImage Render(QWidget& widget)
{
    QImage canvas(widget.size(), QImage::Format_ARGB32);
    canvas.fill(Qt::white);
    widget.render(&canvas, QPoint(), QRegion(), QWidget::DrawChildren);
    return canvas;
}

// Counts the resize and move events a widget receives.
struct GeometryEvents : QObject {
    int count = 0;
    bool eventFilter(QObject*, QEvent* e) override
    {
        if (e->type() == QEvent::Resize || e->type() == QEvent::Move)
            ++count;
        return false;
    }
};

// Lets QSignalSpy record the slider's mouse-event signals.
const int kMouseEventType = qRegisterMetaType<QMouseEvent*>("QMouseEvent*");

void Drag(QWidget& widget, const QPoint& at)
{
    QMouseEvent move(QEvent::MouseMove, at, widget.mapToGlobal(at), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&widget, &move);
}

}  // namespace

// ---- the typed store and the rows ----

TEST(DataStorage, TypedReadsNeverPassTheStoredBytes)
{
    QDataStorage store;
    store.setBoolValue("flag", true);         // 1 byte
    store.setIntValue("int", -1);             // 4 bytes
    store.setStringValue("short", "ab");      // 2 bytes
    store.setStringValue("empty", "");
    store.setDoubleValue("double", 0.1);
    store.setInt64Value("big", std::numeric_limits<int64_t>::min());

    // Shorter than the type reads as 0; missing keys read as 0 too.
    EXPECT_EQ(store.getIntValue("flag"), 0);
    EXPECT_EQ(store.getIntValue("short"), 0);
    EXPECT_FALSE(store.getBoolValue("empty"));
    EXPECT_EQ(store.getInt64Value("int"), 0);
    EXPECT_EQ(store.getDoubleValue("int"), 0.0);
    EXPECT_EQ(store.getIntValue("missing"), 0);
    EXPECT_EQ(store.getInt64Value("missing"), 0);
    EXPECT_FALSE(store.getBoolValue("missing"));
    EXPECT_EQ(store.getDoubleValue("missing"), 0.0);
    EXPECT_EQ(store.getStringValue("missing"), "");

    EXPECT_TRUE(store.getBoolValue("flag"));
    EXPECT_EQ(store.getIntValue("int"), -1);
    EXPECT_EQ(store.getDoubleValue("double"), 0.1);
    EXPECT_EQ(store.getInt64Value("big"), std::numeric_limits<int64_t>::min());
    EXPECT_EQ(store.getStringValue("int").size(), 4u);

    // A later set replaces the value whatever type it had.
    store.setIntValue("int", 7);
    store.setIntValue("int", -1);
    EXPECT_EQ(store.getIntValue("int"), -1);
    store.setStringValue("int", "x");
    EXPECT_EQ(store.getIntValue("int"), 0);
    EXPECT_TRUE(std::has_virtual_destructor<QDataStorage>::value);
}

TEST(BaseChunk, NewRowDefaultsColumnMaskAndReset)
{
    IBaseChunk row(false);
    EXPECT_EQ(row.GetCheck(), 0);
    EXPECT_EQ(row.getIntValue(IBaseChunk::kCheckKey), 0);
    EXPECT_TRUE(row.getCheckEnable());
    EXPECT_TRUE(row.getEnable());
    EXPECT_TRUE(row.getControlShow());
    EXPECT_FALSE(row.isDeleted());
    EXPECT_EQ(row.getDate(), "");
    for (int column : {0, 3, 31, 32, 40})
        EXPECT_TRUE(row.getColumnEnable(column)) << column;

    row.setColumnEnable(3, false);
    row.setColumnEnable(40, false);
    EXPECT_FALSE(row.getColumnEnable(3));
    EXPECT_TRUE(row.getColumnEnable(2));
    EXPECT_TRUE(row.getColumnEnable(4));
    EXPECT_TRUE(row.getColumnEnable(40));

    int owner = 0;
    row.SetID(9);
    row.SetOwner(&owner);
    row.SetTitle("clip.mp4");
    row.SetCheck(2);
    row.setLocation("/home/user/clip.mp4");
    row.setIsDeleted(true);
    row.setDate("2026-12-10");
    row.Reset();
    EXPECT_EQ(row.GetID(), 0);
    EXPECT_EQ(row.GetOwner(), nullptr);
    EXPECT_EQ(row.GetTitle(), "");
    EXPECT_EQ(row.GetCheck(), 2);
    EXPECT_EQ(row.getLocation(), "/home/user/clip.mp4");
    EXPECT_TRUE(row.isDeleted());
    EXPECT_EQ(row.getDate(), "2026-12-10");

    row.Lock();  // no mutex: returns at once
    row.UnLock();
    IBaseChunk locked(true);
    locked.Lock();
    locked.UnLock();
}

// ---- progress bar ----

TEST(Progress, ValueClampsAndSignalsEachChangedRequest)
{
    QZOBaseProgress bar;
    QSignalSpy spy(&bar, &QZOBaseProgress::valueChanged);
    bar.setValue(150.0);
    bar.setValue(150.0);  // differs from the stored 100: signals again
    bar.setValue(100.0);  // the stored value: nothing
    bar.setValue(-5);
    ASSERT_EQ(spy.count(), 3);
    EXPECT_EQ(spy[0][0].toDouble(), 100.0);
    EXPECT_EQ(spy[1][0].toDouble(), 100.0);
    EXPECT_EQ(spy[2][0].toDouble(), 0.0);

    bar.setValue(8.0);
    bar.setRange(10, 5);
    EXPECT_EQ(bar.minimum(), 5.0);
    EXPECT_EQ(bar.maximum(), 10.0);
    EXPECT_EQ(bar.value(), 8.0);
    EXPECT_EQ(spy.count(), 4);  // the range clamps without a signal
    bar.setRange(0, 4);
    EXPECT_EQ(bar.value(), 4.0);
    EXPECT_EQ(spy.count(), 4);
}

TEST(Progress, ValueTextFollowsFormatDecimalsAndRange)
{
    const struct {
        double minimum, maximum, value;
        const char* format;  // null: the default
        int decimals;        // -1: the default
        const char* text;
    } cases[] = {
        {0, 100, 45, nullptr, -1, "45.0%"},
        {0, 9, 3, "%v/%m", 0, "3/10"},
        {5, 10, 7.5, nullptr, -1, "50.0%"},  // measured from the minimum
        {0, 1000, 425, nullptr, -1, "42.5%"},
        {5, 5, 5, nullptr, -1, "0.0%"},  // an empty range divides by nothing
    };
    for (const auto& c : cases) {
        QZOBaseProgress bar;
        if (c.format)
            bar.setFormat(QString::fromLatin1(c.format));
        if (c.decimals >= 0)
            bar.setDecimals(c.decimals);
        bar.setRange(c.minimum, c.maximum);
        bar.setValue(c.value);
        EXPECT_EQ(bar.getFormatValue(), QString::fromLatin1(c.text)) << c.format << " " << c.value;
    }
}

TEST(Progress, OffsetsNotShorterThanTheBarResetToZero)
{
    QZOBaseProgress bar;
    bar.resize(100, 10);
    bar.setOffset(10, 20);
    EXPECT_EQ(bar.getTLOffset(), 10);
    EXPECT_EQ(bar.getRBOffset(), 20);
    bar.setOffset(60, 40);
    EXPECT_EQ(bar.getTLOffset(), 0);
    EXPECT_EQ(bar.getRBOffset(), 0);
}

TEST(Progress, BarFillsFromTheMinimumAndAnEmptyRangeDrawsOnlyTheTrack)
{
    const struct {
        int policy;
        double minimum, maximum, value;
        QPoint filled, empty;  // a point inside the fill (or none) and one outside
    } cases[] = {
        {QZOBaseProgress::HorizontalBar, 0, 100, 50, {25, 5}, {75, 5}},
        {QZOBaseProgress::HorizontalBar, 100, 200, 150, {25, 5}, {75, 5}},
        {QZOBaseProgress::VerticalBar, 0, 100, 50, {5, 75}, {5, 25}},
        {QZOBaseProgress::HorizontalBar, 5, 5, 5, {-1, -1}, {50, 5}},
        {QZOBaseProgress::VerticalBar, 5, 5, 5, {-1, -1}, {5, 50}},
    };
    for (const auto& c : cases) {
        QZOBaseProgress bar;
        bar.resetFormat();
        bar.setProgressPolicy(c.policy);
        bar.resize(c.policy == QZOBaseProgress::HorizontalBar ? QSize(100, 10) : QSize(10, 100));
        bar.setRange(c.minimum, c.maximum);
        bar.setValue(c.value);
        const QImage image = Render(bar);
        if (c.filled.x() >= 0) {
            EXPECT_EQ(image.pixelColor(c.filled), kFill) << c.policy << " " << c.minimum;
        }
        EXPECT_EQ(image.pixelColor(c.empty), kTrack) << c.policy << " " << c.minimum;
    }
}

TEST(Progress, GaugeDrawsItsArcOnlyAboveTheMinimum)
{
    // Pie style: the value is a pie from 12 o'clock, clockwise; the base is
    // transparent, so the canvas shows through outside it.
    const struct {
        double minimum, maximum, value;
        bool topRight, bottomLeft;
    } cases[] = {
        {0, 100, 25, true, false},
        {0, 1000, 750, true, true},
        {0, 100, 0, false, false},
        {5, 5, 5, false, false},
    };
    for (const auto& c : cases) {
        QZOBaseProgress gauge;
        gauge.resetFormat();
        gauge.setProgressPolicy(QZOBaseProgress::CircularGauge);
        gauge.setBarStyle(QZOBaseProgress::PieStyle);
        gauge.resize(100, 100);
        gauge.setRange(c.minimum, c.maximum);
        gauge.setValue(c.value);
        const QImage image = Render(gauge);
        EXPECT_EQ(image.pixelColor(65, 35) == kFill, c.topRight) << c.maximum << " " << c.value;
        EXPECT_EQ(image.pixelColor(35, 65) == kFill, c.bottomLeft) << c.maximum << " " << c.value;
    }
}

TEST(Progress, PaintingNeverResizesOrMovesWidgets)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString track = dir.filePath("track.png");
    const QString knob = dir.filePath("knob.png");
    QImage trackImage(200, 40, QImage::Format_ARGB32);
    trackImage.fill(kTrack);
    ASSERT_TRUE(trackImage.save(track));
    QImage knobImage(4 * 2 * 12, 2 * 12, QImage::Format_ARGB32);
    knobImage.fill(Qt::blue);
    ASSERT_TRUE(knobImage.save(knob));

    QZOBaseSlider slider;
    slider.resize(200, 10);
    // A track thicker than the widget widens it when it is set.
    ASSERT_TRUE(slider.setBottomImage(track));
    EXPECT_EQ(slider.size(), QSize(200, 40));
    ASSERT_TRUE(slider.setBtnImage(knob));
    QZOBaseButton* button = slider.getButton();
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->size(), QSize(12, 12));
    // The knob follows the value at once, before any paint.
    slider.setValue(50.0);
    const int valid = 200 - slider.getTLOffset() - slider.getRBOffset();
    EXPECT_EQ(button->x() + button->width() / 2, slider.getTLOffset() + valid / 2 - 1);
    EXPECT_EQ(button->y(), (40 - 12) / 2);

    // Shown, so moves and resizes are delivered when they happen; then a
    // synchronous repaint must bring none.
    slider.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&slider, kHangGuardMs));
    GeometryEvents events;
    slider.installEventFilter(&events);
    button->installEventFilter(&events);
    for (int policy : {QZOBaseProgress::VerticalBar, QZOBaseProgress::HorizontalBar}) {
        slider.setProgressPolicy(policy);
        for (double maximum : {100.0, 0.0}) {
            slider.setRange(0, maximum);
            QCoreApplication::processEvents();
            events.count = 0;
            slider.repaint();
            EXPECT_EQ(events.count, 0) << policy << " " << maximum;
        }
    }
}

// Counts the paints a widget receives.
struct Paints : QObject {
    int count = 0;
    bool eventFilter(QObject*, QEvent* e) override
    {
        if (e->type() == QEvent::Paint)
            ++count;
        return false;
    }
};

// A bar with an update interval repaints at most once per interval and
// catches up on its timer; the interval is measured on a clock that keeps
// counting, so a bar that runs over midnight goes on repainting.
TEST(Progress, TheRepaintThrottleRunsOnAcrossMidnight)
{
    QZOBaseProgress bar;
    bar.resize(200, 20);
    qint64 clock = 0;
    bar.setClock([&] { return clock; });
    bar.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&bar, kHangGuardMs));
    bar.setUpdateInterval(100);
    Paints paints;
    bar.installEventFilter(&paints);
    const qint64 midnight = 24 * 3600 * 1000;
    const struct {
        qint64 at;        // the clock, ms
        double value;     // set, or < 0: the bar's timer ticks
        int repainted;    // paints that follow
    } steps[] = {
        {midnight - 50, 10, 1},   // first value: painted at once
        {midnight - 40, 20, 0},   // within the interval: held back
        {midnight + 40, -1, 0},   // the timer waits twice the interval
        {midnight + 100, 30, 1},  // past midnight: the interval has passed
        {midnight + 120, 40, 0},
        {midnight + 300, -1, 1},  // the held value is painted by the timer
        {midnight + 310, -1, 0},  // nothing left to paint
    };
    for (const auto& s : steps) {
        clock = s.at;
        QCoreApplication::processEvents();
        paints.count = 0;
        if (s.value >= 0)
            bar.setValue(s.value);
        else
            bar.UpdateTime();
        QCoreApplication::processEvents();
        EXPECT_EQ(paints.count, s.repainted) << s.at - midnight;
    }
}

// ---- slider input ----

TEST(Slider, ValueFollowsPressAndDragAndArrowKeysMoveOnePercent)
{
    QZOBaseSlider slider;
    slider.resize(100, 10);
    slider.setRange(0, 200);
    QSignalSpy value(&slider, &QZOBaseSlider::sendProgressValue);
    QSignalSpy pressed(&slider, &QZOBaseSlider::sendPressEvent);
    QSignalSpy released(&slider, &QZOBaseSlider::sendReleseEvent);

    QTest::mousePress(&slider, Qt::LeftButton, Qt::NoModifier, QPoint(25, 5));
    EXPECT_DOUBLE_EQ(slider.value(), 50.0);
    Drag(slider, QPoint(75, 5));
    EXPECT_DOUBLE_EQ(slider.value(), 150.0);
    Drag(slider, QPoint(300, 5));  // beyond the end: the maximum
    EXPECT_DOUBLE_EQ(slider.value(), 200.0);
    QTest::mouseRelease(&slider, Qt::LeftButton, Qt::NoModifier, QPoint(300, 5));
    EXPECT_EQ(pressed.count(), 1);
    EXPECT_EQ(released.count(), 1);
    ASSERT_EQ(value.count(), 3);
    EXPECT_DOUBLE_EQ(value[0][0].toDouble(), 0.25);
    EXPECT_DOUBLE_EQ(value[2][0].toDouble(), 1.0);

    QTest::keyClick(&slider, Qt::Key_Left);
    EXPECT_DOUBLE_EQ(slider.value(), 198.0);
    QTest::keyClick(&slider, Qt::Key_Down);
    EXPECT_DOUBLE_EQ(slider.value(), 196.0);
    QTest::keyClick(&slider, Qt::Key_Up);
    QTest::keyClick(&slider, Qt::Key_Right);
    QTest::keyClick(&slider, Qt::Key_Right);
    EXPECT_DOUBLE_EQ(slider.value(), 200.0);
    EXPECT_EQ(value.count(), 3);  // keys emit no slider signal

    // Vertical: the bottom is the minimum.
    slider.setProgressPolicy(QZOBaseProgress::VerticalBar);
    slider.resize(10, 100);
    QTest::mousePress(&slider, Qt::LeftButton, Qt::NoModifier, QPoint(5, 75));
    EXPECT_DOUBLE_EQ(slider.value(), 50.0);
}

TEST(Slider, WithoutPullOrRangeMouseChangesNothingButPressAndReleaseStillSignal)
{
    for (bool pull : {false, true}) {
        QZOBaseSlider slider;
        slider.resize(100, 10);
        slider.setEnabledPull(pull);
        if (pull)
            slider.setRange(30, 30);
        else
            slider.setValue(10.0);
        const double before = slider.value();
        QSignalSpy value(&slider, &QZOBaseSlider::sendProgressValue);
        QSignalSpy pressed(&slider, &QZOBaseSlider::sendPressEvent);
        QSignalSpy released(&slider, &QZOBaseSlider::sendReleseEvent);
        QTest::mousePress(&slider, Qt::LeftButton, Qt::NoModifier, QPoint(60, 5));
        Drag(slider, QPoint(80, 5));
        QTest::mouseRelease(&slider, Qt::LeftButton, Qt::NoModifier, QPoint(80, 5));
        EXPECT_EQ(slider.value(), before) << pull;
        EXPECT_EQ(value.count(), 0) << pull;
        EXPECT_EQ(pressed.count(), 1) << pull;
        EXPECT_EQ(released.count(), 1) << pull;
    }
}

// ---- circular progress style ----

namespace {

QStyleOptionProgressBar BarOption(int minimum, int maximum, int progress)
{
    QStyleOptionProgressBar option;
    option.rect = QRect(0, 0, 100, 100);
    option.minimum = minimum;
    option.maximum = maximum;
    option.progress = progress;
    option.state = QStyle::State_Enabled;
    return option;
}

}  // namespace

TEST(ProgressStyle, LargeRangesDrawTheirArcAndFractionalPercentage)
{
    QProgressBar widget;
    QPalette palette = widget.palette();
    palette.setColor(QPalette::Highlight, kFill);
    palette.setColor(QPalette::Base, Qt::transparent);
    widget.setPalette(palette);
    QDelegateProgressbarStyle style;
    style.setBarStyle(QRoundGaugeDraw::PieStyle);
    style.setFormat(QString());  // the arc alone

    const struct {
        int minimum, maximum, progress;
        bool topRight, bottomLeft;
    } cases[] = {
        {0, 1000, 250, true, false},
        {0, 1000, 750, true, true},
        {0, 100000, 30000, true, false},
        {0, 1000, 0, false, false},
        {7, 7, 7, false, false},
    };
    for (const auto& c : cases) {
        QImage canvas(100, 100, QImage::Format_ARGB32);
        canvas.fill(Qt::white);
        {
            QPainter painter(&canvas);
            const QStyleOptionProgressBar option = BarOption(c.minimum, c.maximum, c.progress);
            style.drawControl(QStyle::CE_ProgressBar, &option, &painter, &widget);
        }
        EXPECT_EQ(canvas.pixelColor(65, 35) == kFill, c.topRight) << c.maximum << " " << c.progress;
        EXPECT_EQ(canvas.pixelColor(35, 65) == kFill, c.bottomLeft) << c.maximum << " " << c.progress;
    }

    const struct {
        int minimum, maximum, progress, decimals;
        const char* text;
    } texts[] = {
        {0, 200, 50, 0, "25%"},
        {0, 1000, 425, 1, "42.5%"},
        {100, 200, 150, 0, "50%"},
        {7, 7, 7, 0, "0%"},
    };
    for (const auto& t : texts) {
        QDelegateProgressbarStyle textStyle;
        textStyle.setDecimals(t.decimals);
        const QStyleOptionProgressBar option = BarOption(t.minimum, t.maximum, t.progress);
        EXPECT_EQ(textStyle.valueToText(&option), QString::fromLatin1(t.text)) << t.maximum << " " << t.progress;
    }
}

TEST(ProgressStyle, LabelAndOtherOptionTypesDrawNothing)
{
    QProgressBar widget;
    QDelegateProgressbarStyle style;
    QImage blank(100, 100, QImage::Format_ARGB32);
    blank.fill(Qt::white);
    QImage canvas = blank;
    QStyleOptionProgressBar bar = BarOption(0, 100, 50);
    QStyleOption other;
    other.rect = bar.rect;
    {
        QPainter painter(&canvas);
        style.drawControl(QStyle::CE_ProgressBarLabel, &bar, &painter, &widget);
        style.drawControl(QStyle::CE_ProgressBar, &other, &painter, &widget);
    }
    EXPECT_EQ(canvas, blank);
    EXPECT_EQ(style.valueToText(&other), QString());
    {
        QPainter painter(&canvas);
        style.drawControl(QStyle::CE_ProgressBar, &bar, &painter, &widget);
    }
    EXPECT_NE(canvas, blank);
}

// ---- the sheet of progress controls, for people to look at ----

TEST(ControlSheets, ProgressControlsInTheirStates)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString knob = dir.filePath("knob.png");
    QImage knobImage(4 * 2 * 12, 2 * 12, QImage::Format_ARGB32);
    knobImage.fill(QColor(81, 102, 192));
    ASSERT_TRUE(knobImage.save(knob));

    QWidget sheet;
    sheet.resize(560, 260);
    sheet.setAutoFillBackground(true);
    sheet.setPalette(QPalette(Qt::white));
    const double values[] = {0.0, 42.5, 100.0};
    for (int i = 0; i < 3; ++i) {
        auto* bar = new QZOBaseProgress(&sheet);
        bar->setGeometry(10, 10 + 24 * i, 200, 14);
        bar->setValue(values[i]);
    }
    auto* slider = new QZOBaseSlider(&sheet);
    slider->setGeometry(10, 90, 200, 14);
    slider->resetFormat();
    slider->setBtnImage(knob);
    slider->setValue(30.0);
    auto* vertical = new QZOBaseProgress(&sheet);
    vertical->setProgressPolicy(QZOBaseProgress::VerticalBar);
    vertical->resetFormat();
    vertical->setGeometry(230, 10, 14, 200);
    vertical->setValue(60.0);
    int gx = 260;
    for (int style : {QZOBaseProgress::DonutStyle, QZOBaseProgress::PieStyle, QZOBaseProgress::LineStyle}) {
        auto* gauge = new QZOBaseProgress(&sheet);
        gauge->setProgressPolicy(QZOBaseProgress::CircularGauge);
        gauge->setBarStyle(style);
        gauge->setOutlinePenWidth(4);
        gauge->setDataPenWidth(2);
        gauge->setGeometry(gx, 10, 90, 90);
        gauge->setRange(0, 1000);
        gauge->setValue(425.0);
        gx += 100;
    }
    auto* cell = new QProgressBar(&sheet);
    auto* cellStyle = new QDelegateProgressbarStyle();
    cellStyle->setParent(cell);
    cellStyle->setDecimals(1);
    cellStyle->setDataColors({{0.0, QColor(81, 102, 192)}, {1.0, QColor(6, 176, 37)}});
    cell->setStyle(cellStyle);
    cell->setRange(0, 1000);
    cell->setValue(425);
    cell->setGeometry(260, 120, 90, 90);

    const QImage image = Render(sheet);
    QDir().mkpath(QStringLiteral(VIDMEND_SCREENS_DIR));
    EXPECT_TRUE(image.save(QStringLiteral(VIDMEND_SCREENS_DIR "/controls-progress.png")));
}
