// The drawn text inputs: a line edit that takes positive whole numbers only
// and swaps its placeholder colour with focus, a text edit whose inner editor
// follows its margins, and the rectangle drawing mixin's states and frames.
#include <gtest/gtest.h>

#include <QDir>
#include <QFocusEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QSignalSpy>
#include <QTest>
#include <QTextEdit>
#include <QValidator>

#include "AppTestEnv.h"
#include "QZOLineEdit.h"

namespace {

const QColor kFrames[4] = {QColor(200, 0, 0), QColor(0, 200, 0), QColor(0, 0, 200), QColor(120, 120, 120)};

QImage Render(QWidget& widget)
{
    QImage canvas(widget.size(), QImage::Format_ARGB32);
    canvas.fill(Qt::white);
    widget.render(&canvas, QPoint(), QRegion(), QWidget::DrawChildren);
    return canvas;
}

// A four-frame state strip, each frame one flat colour, at ratio 2.
QImage StateStrip()
{
    QImage strip(4 * 40, 40, QImage::Format_ARGB32);
    QPainter p(&strip);
    for (int i = 0; i < 4; ++i)
        p.fillRect(i * 40, 0, 40, 40, kFrames[i]);
    return strip;
}

QImage Flat(const QColor& color)
{
    QImage image(40, 40, QImage::Format_ARGB32);
    image.fill(color);
    return image;
}

void Focus(QWidget& w, QEvent::Type type)
{
    QFocusEvent e(type, Qt::TabFocusReason);
    QApplication::sendEvent(&w, &e);
}

}  // namespace

TEST(LineEdit, AcceptsPositiveWholeNumbersOnly)
{
    QZOLineEdit edit;
    edit.onlyInputNumber();
    const QValidator* v = edit.validator();
    ASSERT_NE(v, nullptr);
    const struct {
        const char* text;
        QValidator::State state;
    } cases[] = {
        {"007", QValidator::Acceptable}, {"10", QValidator::Acceptable},   {"1", QValidator::Acceptable},
        {"0", QValidator::Intermediate}, {"000", QValidator::Intermediate}, {"", QValidator::Intermediate},
        {"-5", QValidator::Invalid},     {"1.5", QValidator::Invalid},      {"12a", QValidator::Invalid},
    };
    for (const auto& c : cases) {
        QString text = QString::fromLatin1(c.text);
        int pos = text.size();
        EXPECT_EQ(v->validate(text, pos), c.state) << c.text;
    }

    // Typed letters and signs never reach the text; zeros alone are not acceptable.
    edit.show();
    QTest::keyClicks(&edit, "a-0b0x7");
    EXPECT_EQ(edit.text(), QStringLiteral("007"));
    EXPECT_TRUE(edit.hasAcceptableInput());
    edit.clear();
    QTest::keyClicks(&edit, "00");
    EXPECT_EQ(edit.text(), QStringLiteral("00"));
    EXPECT_FALSE(edit.hasAcceptableInput());
}

TEST(LineEdit, PlaceholderSwapFollowsFocus)
{
    QZOLineEdit edit;
    QPalette palette = edit.palette();
    palette.setColor(QPalette::Text, QColor(64, 64, 64));
    edit.setPalette(palette);
    const QColor placeholder(196, 196, 196);
    edit.setPlaceholderText(QStringLiteral("Folder"));
    edit.setPlaceholderTextColor(placeholder, true);
    EXPECT_EQ(edit.placeholderText(), QStringLiteral("Folder"));
    EXPECT_EQ(edit.palette().color(QPalette::Text), placeholder);

    Focus(edit, QEvent::FocusIn);
    EXPECT_TRUE(edit.placeholderText().isEmpty());
    EXPECT_EQ(edit.palette().color(QPalette::Text), QColor(64, 64, 64));

    edit.setText(QStringLiteral("typed"));
    Focus(edit, QEvent::FocusOut);
    EXPECT_EQ(edit.palette().color(QPalette::Text), QColor(64, 64, 64)) << "typed text keeps the normal colour";

    edit.clear();
    Focus(edit, QEvent::FocusIn);
    Focus(edit, QEvent::FocusOut);
    EXPECT_EQ(edit.placeholderText(), QStringLiteral("Folder"));
    EXPECT_EQ(edit.palette().color(QPalette::Text), placeholder);
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        EXPECT_EQ(edit.palette().color(group, QPalette::Text), placeholder);
}

TEST(LineEdit, MissingBackgroundKeepsQtLook)
{
    QZOLineEdit edit;
    EXPECT_FALSE(edit.setBackgroundImage(QStringLiteral("/nonexistent/edit-bg.png")));
    EXPECT_FALSE(edit.isCustomDraw());
    EXPECT_TRUE(edit.styleSheet().isEmpty());
    EXPECT_EQ(edit.drawTextMargins(), QMargins(1, 1, 1, 1));

    EXPECT_TRUE(edit.setBackgroundImage(Flat(QColor(255, 240, 200))));
    EXPECT_TRUE(edit.isCustomDraw());
    EXPECT_EQ(edit.drawTextMargins(), QMargins(3, 0, 2, 0));
    edit.resize(120, 24);
    EXPECT_EQ(Render(edit).pixelColor(60, 12), QColor(255, 240, 200)) << "the background lies under the text";
}

// The mixin's state follows the mouse and the enabled flag, and button mode
// draws the state's frame (the pressed one while checked).
TEST(RectImageDraw, StatesPickFrames)
{
    QZOLineEdit edit;
    edit.resize(80, 24);
    ASSERT_TRUE(edit.setBackgroundImage(StateStrip()));
    edit.setBtnMode(true);
    edit.setTextColor(Qt::black, Qt::green, Qt::blue, Qt::gray);
    const auto centre = [&] { return Render(edit).pixelColor(40, 12); };
    EXPECT_EQ(centre(), kFrames[0]);

    edit.enterEventDraw();
    EXPECT_EQ(edit.drawState(), 1);
    EXPECT_EQ(centre(), kFrames[1]);
    QMouseEvent press(QEvent::MouseButtonPress, QPoint(5, 5), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    EXPECT_TRUE(edit.mousePressEventDraw(&press));
    EXPECT_EQ(edit.drawState(), 2);
    EXPECT_EQ(centre(), kFrames[2]);
    QMouseEvent release(QEvent::MouseButtonRelease, QPoint(5, 5), Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    edit.mouseReleaseEventDraw(&release);
    EXPECT_EQ(edit.drawState(), 0);
    edit.leaveEventDraw();
    EXPECT_EQ(edit.drawState(), 0);

    edit.setCheckState(true);
    EXPECT_EQ(centre(), kFrames[2]) << "checked draws the pressed frame";
    edit.setCheckState(false);

    edit.setEnabled(false);
    edit.changeEventDraw();
    EXPECT_EQ(edit.drawState(), 3);
    EXPECT_FALSE(edit.mousePressEventDraw(&press)) << "a disabled widget refuses the press";
    edit.enterEventDraw();
    EXPECT_EQ(edit.drawState(), 3);
    EXPECT_EQ(centre(), kFrames[3]);
    edit.setEnabled(true);
    edit.changeEventDraw();
    EXPECT_EQ(edit.drawState(), 0);

    // Outside button mode the whole strip stretches: the centre lies between frames 1 and 2.
    edit.setBtnMode(false);
    const QColor whole = centre();
    EXPECT_TRUE(whole == kFrames[1] || whole == kFrames[2]);
}

TEST(RectImageDraw, IconCentresAndTextElides)
{
    QZOLineEdit edit;
    edit.resize(100, 30);
    ASSERT_TRUE(edit.setBackgroundImage(Flat(Qt::white)));
    EXPECT_FALSE(edit.setRectIcon(QImage()));
    EXPECT_FALSE(edit.setRectIcon(QStringLiteral("/nonexistent/icon.png")));
    ASSERT_TRUE(edit.setRectIcon(Flat(QColor(0, 128, 0))));  // 20 x 20 logical
    edit.setIconRect(QRect(4, -1, 0, 0));
    const QImage shot = Render(edit);
    EXPECT_EQ(edit.iconRect(), QRect(4, 5, 20, 20)) << "an empty size takes the icon's, y -1 centres it";
    EXPECT_EQ(shot.pixelColor(14, 15), QColor(0, 128, 0));
    EXPECT_EQ(shot.pixelColor(30, 15), QColor(Qt::white));

    // A long draw text stays inside the right margin.
    QZOLineEdit label;
    label.resize(60, 20);
    ASSERT_TRUE(label.setBackgroundImage(Flat(Qt::white)));
    label.setDrawTextMargins(2, 0, 20, 0);
    label.setTextColor(Qt::black);
    label.setDrawText(QStringLiteral("WWWWWWWWWWWWWWWWWWWWWWWWWWWWWW"));
    const QImage text = Render(label);
    bool inkInside = false;
    for (int x = 0; x < text.width(); ++x) {
        for (int y = 0; y < text.height(); ++y) {
            if (text.pixelColor(x, y).lightness() < 128) {
                EXPECT_LT(x, 60 - 20) << "ink past the right margin";
                inkInside = true;
            }
        }
    }
    EXPECT_TRUE(inkInside);
}

TEST(TextEdit, InnerEditorFollowsMarginsAndReportsText)
{
    QZOTextEdit box;
    box.show();  // a hidden widget gets its resize event only when shown
    box.resize(200, 100);
    box.setEditMargins(10, 5, 10, 5);
    EXPECT_EQ(box.textEdit()->geometry(), QRect(QPoint(10, 5), QPoint(189, 94)));
    box.resize(300, 120);
    EXPECT_EQ(box.textEdit()->geometry(), QRect(QPoint(10, 5), QPoint(289, 114)));

    EXPECT_FALSE(box.setBackgroundImage(QStringLiteral("/nonexistent/bg.png")));
    EXPECT_TRUE(box.textEdit()->styleSheet().isEmpty());
    EXPECT_TRUE(box.setBackgroundImage(Flat(QColor(230, 240, 255))));
    EXPECT_FALSE(box.textEdit()->styleSheet().isEmpty());
    EXPECT_EQ(Render(box).pixelColor(3, 60), QColor(230, 240, 255));

    QSignalSpy spy(&box, &QZOTextEdit::textChanged);
    box.textEdit()->setFocus();
    QTest::keyClicks(box.textEdit(), "ab");
    ASSERT_EQ(spy.count(), 2);
    EXPECT_EQ(spy.last().at(0).toString(), QStringLiteral("ab"));
}

TEST(EditsSheet, RendersEachState)
{
    QWidget sheet;
    sheet.resize(420, 200);
    int y = 10;
    const QImage frame = StateStrip();
    for (int state = 0; state < 4; ++state) {
        auto* edit = new QZOLineEdit(&sheet);
        edit->setGeometry(10, y, 180, 26);
        edit->setBackgroundImage(frame);
        edit->setBtnMode(true);
        edit->setText(QStringLiteral("State %1").arg(state));
        if (state == 1)
            edit->enterEventDraw();
        if (state == 2)
            edit->setCheckState(true);
        if (state == 3) {
            edit->setEnabled(false);
            edit->changeEventDraw();
        }
        y += 36;
    }
    auto* numbers = new QZOLineEdit(&sheet);
    numbers->setGeometry(210, 10, 180, 26);
    numbers->setPlaceholderText(QStringLiteral("Numbers only"));
    numbers->setPlaceholderTextColor(QColor(196, 196, 196), true);
    numbers->onlyInputNumber();
    auto* box = new QZOTextEdit(&sheet);
    box->setGeometry(210, 46, 180, 110);
    box->setBackgroundImage(Flat(QColor(245, 245, 245)));
    box->setEditMargins(6, 6, 6, 6);
    box->textEdit()->setPlainText(QStringLiteral("A text edit\ninset by margins"));

    const QImage image = Render(sheet);
    QDir().mkpath(QStringLiteral(VIDMEND_SCREENS_DIR));
    EXPECT_TRUE(image.save(QStringLiteral(VIDMEND_SCREENS_DIR "/controls-edits.png")));
}
