// The thin scroll bar and the self-drawn check boxes and radio buttons:
// what each paints in each state, and the input that toggles them.
#include <gtest/gtest.h>

#include <cmath>

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QPainter>
#include <QScrollArea>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "AppTestEnv.h"
#include "QZOBaseBoxDraw.h"
#include "QZOScrollBar.h"

namespace {

QImage Render(QWidget& widget)
{
    QImage canvas(widget.size(), QImage::Format_ARGB32);
    canvas.fill(Qt::white);
    widget.render(&canvas, QPoint(), QRegion(), QWidget::DrawChildren);
    return canvas;
}

int CountColor(const QImage& image, const QColor& color)
{
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            n += image.pixelColor(x, y) == color;
    return n;
}

// Pixels of one colour along a row.
int CountInRow(const QImage& image, int y, const QColor& color)
{
    int n = 0;
    for (int x = 0; x < image.width(); ++x)
        n += image.pixelColor(x, y) == color;
    return n;
}

const QColor kGroove(250, 0, 0);
const QColor kArrow(0, 0, 250);
const QColor kTrack(0, 200, 200);
const QColor kHandle(0, 160, 0);

// A vertical bar, 10 by 120, whose handle covers most of the groove.
struct ScrollBarFixture : ::testing::Test {
    QZOScrollBar bar{Qt::Vertical};
    QZOScrollBarStyleAttribute attribute;
    void SetUp() override
    {
        attribute.grooveColor = kGroove;
        attribute.arrowBgColor = kArrow;
        attribute.trackColor = kTrack;
        attribute.handleColor = attribute.handleHoverColor = attribute.handlePressColor = kHandle;
        bar.setRange(0, 20);
        bar.setPageStep(100);
        bar.resize(10, 120);
    }
    void Apply()
    {
        bar.setStyleAttribute(attribute);
    }
    // The handle's middle row: the row with the most handle pixels there.
    int HandleRow(const QImage& image)
    {
        int best = -1, bestCount = 0;
        for (int y = 0; y < image.height(); ++y) {
            const int n = CountInRow(image, y, kHandle);
            if (n > bestCount) {
                bestCount = n;
                best = y;
            }
        }
        return best;
    }
};

TEST_F(ScrollBarFixture, AttributeRoundTripsAndSetsTheExtent)
{
    attribute.barWidth = 17;
    attribute.spareValue = 9;
    Apply();
    EXPECT_EQ(bar.styleAttribute().barWidth, 17);
    EXPECT_EQ(bar.styleAttribute().spareValue, 9);
    EXPECT_EQ(bar.styleAttribute().handleColor, kHandle);
    EXPECT_EQ(bar.style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, &bar), 17);
    EXPECT_EQ(QZOScrollBarStyleAttribute().spareColor4, QZOScrollBarStyleAttribute().arrowBgColor);
}

TEST_F(ScrollBarFixture, EmptyRangeShowsGrooveAndButtonsButNoHandle)
{
    attribute.alwaysShowTrack = true;
    Apply();
    bar.setRange(5, 5);
    const QImage image = Render(bar);
    EXPECT_GT(CountColor(image, kGroove), 0);
    EXPECT_EQ(CountColor(image, kHandle), 0);
    EXPECT_EQ(CountColor(image, kTrack), 0);
    bar.setRange(0, 20);
    EXPECT_GT(CountColor(Render(bar), kHandle), 0);
}

TEST_F(ScrollBarFixture, HandleInsetNarrowsTheHandleUnlessItLeavesNothing)
{
    struct Case {
        int inset;
        int width;
    };
    for (const Case c : {Case{0, 10}, Case{3, 4}, Case{5, 0}, Case{6, 10}}) {
        attribute.handleInset = c.inset;
        attribute.cornerRadius = 0;
        Apply();
        const QImage image = Render(bar);
        const int row = HandleRow(image);
        if (c.width == 0) {
            EXPECT_EQ(row, -1) << "inset " << c.inset;
            continue;
        }
        ASSERT_GE(row, 0) << "inset " << c.inset;
        EXPECT_EQ(CountInRow(image, row, kHandle), c.width) << "inset " << c.inset;
    }
}

TEST_F(ScrollBarFixture, DefaultRadiusRoundsHandleAndTrackByHalfTheThickness)
{
    attribute.alwaysShowTrack = true;
    bar.setValue(20);  // the handle at the far end leaves track above it
    Apply();
    QImage image = Render(bar);
    // The track's top corners are cut by a radius of 5; its middle is full.
    int firstTrackRow = -1;
    for (int y = 0; y < image.height() && firstTrackRow < 0; ++y)
        if (CountInRow(image, y, kTrack) > 0)
            firstTrackRow = y;
    ASSERT_GE(firstTrackRow, 0);
    EXPECT_NE(image.pixelColor(0, firstTrackRow), kTrack);
    EXPECT_EQ(CountInRow(image, firstTrackRow + 5, kTrack), 10);
    // A radius of 0 leaves square corners.
    attribute.cornerRadius = 0;
    Apply();
    image = Render(bar);
    EXPECT_EQ(image.pixelColor(0, firstTrackRow), kTrack);
}

TEST_F(ScrollBarFixture, TrackShowsOnHoverOnlyInTheActiveWindow)
{
    Apply();
    bar.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&bar, kHangGuardMs));
    bar.setAttribute(Qt::WA_UnderMouse, true);
    if (bar.isActiveWindow()) {
        QWidget other;
        other.show();
        QApplication::setActiveWindow(&other);
        ASSERT_FALSE(bar.isActiveWindow());
        EXPECT_EQ(CountColor(Render(bar), kTrack), 0);
        QApplication::setActiveWindow(&bar);
    } else {
        EXPECT_EQ(CountColor(Render(bar), kTrack), 0);
    }
    QApplication::setActiveWindow(&bar);
    ASSERT_TRUE(bar.isActiveWindow());
    EXPECT_GT(CountColor(Render(bar), kTrack), 0);
    bar.setAttribute(Qt::WA_UnderMouse, false);
    EXPECT_EQ(CountColor(Render(bar), kTrack), 0);
}

void ExpectThickness(const QWidget& bar, Qt::Orientation orientation)
{
    if (orientation == Qt::Horizontal) {
        EXPECT_EQ(bar.minimumHeight(), 10);
        EXPECT_EQ(bar.maximumHeight(), 10);
        EXPECT_EQ(bar.minimumWidth(), 0);
        EXPECT_EQ(bar.maximumWidth(), QWIDGETSIZE_MAX);
    } else {
        EXPECT_EQ(bar.minimumWidth(), 10);
        EXPECT_EQ(bar.maximumWidth(), 10);
        EXPECT_EQ(bar.minimumHeight(), 0);
        EXPECT_EQ(bar.maximumHeight(), QWIDGETSIZE_MAX);
    }
}

TEST(ScrollBar, ThicknessFollowsEveryOrientationChange)
{
    QZOScrollBar bar;
    ExpectThickness(bar, bar.orientation());
    bar.setOrientation(Qt::Horizontal);
    ExpectThickness(bar, Qt::Horizontal);
    QZOScrollBar vertical(Qt::Vertical);
    ExpectThickness(vertical, Qt::Vertical);

    // Qt's own setOrientation, through the property, on a shown bar.
    vertical.show();
    vertical.setProperty("orientation", Qt::Horizontal);
    QCoreApplication::processEvents();
    ExpectThickness(vertical, Qt::Horizontal);

    // A scroll area turns the bar it is given horizontal through the base.
    QScrollArea area;
    auto* horizontal = new QZOScrollBar(Qt::Vertical);
    area.setHorizontalScrollBar(horizontal);
    area.resize(200, 200);
    area.show();
    QCoreApplication::processEvents();
    ASSERT_EQ(horizontal->orientation(), Qt::Horizontal);
    ExpectThickness(*horizontal, Qt::Horizontal);
}

TEST(ScrollBar, CreateImageDrawsAnArrowPerDirection)
{
    const QColor red(200, 0, 0);
    const QSize size(20, 20);
    // direction, a pixel inside the arrow, a pixel outside it
    struct Case {
        int direction;
        QPoint inside, outside;
    };
    for (const Case& c : {Case{0, {8, 10}, {17, 10}}, Case{1, {12, 10}, {2, 10}}, Case{2, {10, 9}, {10, 17}},
                          Case{3, {10, 11}, {10, 2}}}) {
        const QImage image = QZOScrollBarStyle::createImage(size, c.direction, red, false);
        ASSERT_EQ(image.size(), size);
        EXPECT_EQ(image.pixelColor(c.inside), red) << c.direction;
        EXPECT_EQ(image.pixelColor(c.outside).alpha(), 0) << c.direction;
    }
    const QImage none = QZOScrollBarStyle::createImage(size, 7, red, false);
    EXPECT_EQ(none.pixelColor(10, 10).alpha(), 0);
    const QImage framed = QZOScrollBarStyle::createImage(size, 7, red, true);
    EXPECT_GT(framed.pixelColor(0, 10).alpha(), 0);
    EXPECT_EQ(framed.pixelColor(10, 10).alpha(), 0);
}

// ---- check boxes and radio buttons ----

const QColor kChecked(0, 180, 0);
const QColor kUnchecked(200, 0, 0);
const QColor kPartial(0, 0, 200);
const QColor kDisabled(128, 128, 128);

// A check image at ratio 2: a 20-pixel normal frame, then a disabled one.
QImage TwoFrames(const QColor& normal)
{
    QImage image(40, 20, QImage::Format_ARGB32);
    image.fill(normal);
    QPainter(&image).fillRect(20, 0, 20, 20, kDisabled);
    return image;
}

struct BoxImages {
    QImage checked = TwoFrames(kChecked);
    QImage unchecked = TwoFrames(kUnchecked);
    QImage partial = TwoFrames(kPartial);
};

TEST(CheckBox, MissingCheckImageKeepsQtsDrawing)
{
    QZOCheckBox box("Keep");
    box.setCheckImage("/nonexistent/checked.png", "/nonexistent/unchecked.png", QString(), true);
    EXPECT_FALSE(box.isCustomDraw());
    EXPECT_EQ(box.checkRect().width(), 0);
    box.resize(80, 20);
    EXPECT_FALSE(Render(box).isNull());
}

TEST(CheckBox, DrawsTheFrameOfItsStateCentredInTheCheckRect)
{
    BoxImages images;
    struct Case {
        Qt::CheckState state;
        bool enabled;
        bool withPartial;
        QColor expected;
    };
    for (const Case& c : {Case{Qt::Unchecked, true, true, kUnchecked}, Case{Qt::Checked, true, true, kChecked},
                          Case{Qt::PartiallyChecked, true, true, kPartial},
                          Case{Qt::PartiallyChecked, true, false, kUnchecked},
                          Case{Qt::Checked, false, true, kDisabled}}) {
        QZOCheckBox box;
        box.resize(60, 20);
        box.setTristate(true);
        box.setCheckImage(&images.checked, &images.unchecked, c.withPartial ? &images.partial : nullptr, true, true);
        ASSERT_TRUE(box.isCustomDraw());
        box.setCheckState(c.state);
        box.setEnabled(c.enabled);
        const QImage image = Render(box);
        // A 10 by 10 logical frame, centred: rows 5 to 14.
        EXPECT_EQ(image.pixelColor(5, 10), c.expected) << c.state << " enabled " << c.enabled;
        EXPECT_EQ(image.pixelColor(5, 2), QColor(Qt::white)) << c.state;
        EXPECT_NE(image.pixelColor(30, 10), c.expected) << c.state;
    }
}

TEST(CheckBox, ImagesSetTheGeometryAndFillModeStretchesTheFrame)
{
    BoxImages images;
    QZOCheckBox box("A label");
    box.resize(40, 4);
    box.setCheckImage(&images.checked, &images.unchecked, nullptr, true, false);
    EXPECT_EQ(box.checkRect(), QRect(0, 0, 10, 10));
    EXPECT_EQ(box.height(), 10);
    EXPECT_EQ(box.textRect().x(), 15);
    box.adjustSize();
    const QFontMetrics metrics(box.font());
    // The text's exact width rounded up: a fraction of a pixel short and
    // the drawing would elide it.
    EXPECT_EQ(box.width(), 10 + int(std::ceil(QFontMetricsF(box.font()).horizontalAdvance("A label"))) + 5);
    EXPECT_EQ(box.height(), std::max(10, metrics.height()));

    QZOCheckBox fill;
    fill.resize(60, 30);
    fill.setCheckImage(&images.checked, &images.unchecked, nullptr, true, true);
    fill.setBgFillMode(true);
    fill.setChecked(true);
    const QImage image = Render(fill);
    EXPECT_EQ(image.pixelColor(55, 25), kChecked);
    EXPECT_EQ(image.pixelColor(30, 15), kChecked);
}

TEST(CheckBox, AClickAnywhereTogglesIt)
{
    BoxImages images;
    QZOCheckBox drawn("A long label that reaches far");
    drawn.setCheckImage(&images.checked, &images.unchecked, nullptr, true, true);
    QZOCheckBox plain("A long label that reaches far");
    for (QZOCheckBox* box : {&drawn, &plain}) {
        box->resize(240, 20);
        QSignalSpy toggled(box, &QAbstractButton::toggled);
        QTest::mouseClick(box, Qt::LeftButton, Qt::NoModifier, QPoint(230, 10));
        EXPECT_TRUE(box->isChecked());
        QTest::mouseClick(box, Qt::LeftButton, Qt::NoModifier, QPoint(120, 3));
        EXPECT_FALSE(box->isChecked());
        EXPECT_EQ(toggled.count(), 2);
    }
}

TEST(RadioButton, BoxModeDrawsItsCheckImage)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString checked = dir.filePath("on.png"), unchecked = dir.filePath("off.png");
    ASSERT_TRUE(TwoFrames(kChecked).save(checked));
    ASSERT_TRUE(TwoFrames(kUnchecked).save(unchecked));
    QZORadioButton radio("Choice");
    radio.resize(80, 20);
    radio.setCheckImage(checked, unchecked, false, true);
    EXPECT_FALSE(radio.isButtonMode());
    EXPECT_EQ(Render(radio).pixelColor(5, 10), kUnchecked);
    radio.seedClick();
    EXPECT_TRUE(radio.isChecked());
    EXPECT_EQ(Render(radio).pixelColor(5, 10), kChecked);
}

TEST(RadioButton, ButtonModeTogglesOnEachPress)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // A four-state strip: normal, hover, pressed, disabled.
    QImage strip(160, 40, QImage::Format_ARGB32);
    strip.fill(kChecked);
    const QString path = dir.filePath("strip.png");
    ASSERT_TRUE(strip.save(path));

    QWidget parent;
    auto* first = new QZORadioButton("First", &parent);
    auto* second = new QZORadioButton("Second", &parent);
    for (QZORadioButton* radio : {first, second}) {
        radio->resize(20, 20);
        radio->setCheckImage(path, QString(), true, false);
        ASSERT_TRUE(radio->isButtonMode());
    }
    second->move(0, 30);
    QSignalSpy toggled(first, &QAbstractButton::toggled);

    QTest::mousePress(first, Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
    EXPECT_TRUE(first->isChecked()) << "toggled on the press";
    QTest::mouseRelease(first, Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
    EXPECT_TRUE(first->isChecked()) << "the release does not toggle back";

    QTest::mouseClick(first, Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
    EXPECT_FALSE(first->isChecked()) << "a second press unchecks it";
    EXPECT_EQ(toggled.count(), 2);

    // Still exclusive among siblings when checking.
    first->seedClick();
    EXPECT_TRUE(first->isChecked());
    QTest::mouseClick(second, Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
    EXPECT_TRUE(second->isChecked());
    EXPECT_FALSE(first->isChecked());
    EXPECT_EQ(Render(*second).pixelColor(10, 10), kChecked);
}

// ---- the sheets, for people to look at ----

void SaveSheet(QWidget& sheet, const char* name)
{
    QDir().mkpath(QStringLiteral(VIDMEND_SCREENS_DIR));
    EXPECT_TRUE(Render(sheet).save(QStringLiteral(VIDMEND_SCREENS_DIR "/") + QLatin1String(name)));
}

// A drawn check mark frame: a rounded box, ticked or not, in a normal and a
// grey disabled frame.
QImage MarkImage(bool ticked, bool partial)
{
    QImage image(64, 32, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    for (int frame = 0; frame < 2; ++frame) {
        const QColor color = frame == 0 ? QColor(81, 102, 192) : kDisabled;
        const QRectF box(frame * 32 + 3, 3, 26, 26);
        painter.setPen(QPen(color, 3));
        painter.setBrush(ticked ? color : QColor(Qt::white));
        painter.drawRoundedRect(box, 5, 5);
        painter.setPen(QPen(Qt::white, 4));
        if (ticked)
            painter.drawPolyline(QPolygonF({box.topLeft() + QPointF(6, 13), box.topLeft() + QPointF(11, 19),
                                            box.topLeft() + QPointF(20, 7)}));
        if (partial)
            painter.fillRect(box.adjusted(7, 7, -7, -7), color);
    }
    return image;
}

TEST(ControlSheets, BoxesInTheirStates)
{
    QImage checked = MarkImage(true, false), unchecked = MarkImage(false, false), partial = MarkImage(false, true);
    QWidget sheet;
    sheet.resize(420, 170);
    sheet.setAutoFillBackground(true);
    sheet.setPalette(QPalette(Qt::white));
    struct Row {
        const char* text;
        Qt::CheckState state;
        bool enabled;
    };
    const Row rows[] = {{"Unchecked", Qt::Unchecked, true},
                        {"Checked", Qt::Checked, true},
                        {"Partly checked", Qt::PartiallyChecked, true},
                        {"Checked, disabled", Qt::Checked, false},
                        {"A label far too long for the room it is given", Qt::Checked, true}};
    int y = 10;
    for (const Row& row : rows) {
        auto* box = new QZOCheckBox(QString::fromLatin1(row.text), &sheet);
        box->setTristate(true);
        box->setCheckImage(&checked, &unchecked, &partial, true, true);
        box->setGeometry(10, y, 180, 20);
        box->setCheckState(row.state);
        box->setEnabled(row.enabled);
        auto* plain = new QZOCheckBox(QString::fromLatin1(row.text), &sheet);
        plain->setTristate(true);
        plain->setGeometry(210, y, 200, 20);
        plain->setCheckState(row.state);
        plain->setEnabled(row.enabled);
        y += 26;
    }
    auto* radio = new QZORadioButton("Radio, Qt's drawing", &sheet);
    radio->setGeometry(10, y + 4, 180, 20);
    radio->setChecked(true);
    SaveSheet(sheet, "controls-boxes.png");
}

TEST(ControlSheets, ScrollBarsInTheirStates)
{
    QWidget sheet;
    sheet.resize(260, 160);
    sheet.setAutoFillBackground(true);
    sheet.setPalette(QPalette(Qt::white));
    struct Bar {
        bool track;
        int inset;
        int maximum;
    };
    int x = 10;
    for (const Bar& b : {Bar{false, 0, 100}, Bar{true, 0, 100}, Bar{false, 3, 100}, Bar{false, 0, 0}}) {
        auto* bar = new QZOScrollBar(Qt::Vertical, &sheet);
        QZOScrollBarStyleAttribute attribute;
        attribute.alwaysShowTrack = b.track;
        attribute.handleInset = b.inset;
        bar->setStyleAttribute(attribute);
        bar->setRange(0, b.maximum);
        bar->setPageStep(40);
        bar->setValue(30);
        bar->setGeometry(x, 10, 10, 140);
        x += 24;
    }
    auto* horizontal = new QZOScrollBar(Qt::Horizontal, &sheet);
    horizontal->setRange(0, 100);
    horizontal->setPageStep(30);
    horizontal->setValue(60);
    horizontal->setGeometry(110, 10, 140, 10);
    int ay = 30;
    for (int direction = 0; direction < 4; ++direction) {
        auto* arrow = new QLabel(&sheet);
        arrow->setPixmap(QPixmap::fromImage(
            QZOScrollBarStyle::createImage(QSize(16, 16), direction, QColor(96, 96, 96), direction % 2 == 0)));
        arrow->setGeometry(110 + 22 * direction, ay, 16, 16);
    }
    SaveSheet(sheet, "controls-scrollbar.png");
}

}  // namespace
