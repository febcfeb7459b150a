// The message box: its own word wrap, its buttons and their results, a box
// answered through the test hook, Escape, and a parent deleted while the
// box runs its loop.
#include <gtest/gtest.h>

#include <QDir>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QTest>
#include <QTimer>

#include "AppTestEnv.h"
#include "QZOBaseButton.h"
#include "QZOMessageBox.h"

namespace {

int LineWidth(const QZOMessageBox& box, const QString& text)
{
    return QFontMetrics(box.messageFont()).boundingRect(QRect(), Qt::TextSingleLine, text).width();
}

struct HookReset {
    ~HookReset() { QZOMessageBox::setAnswerHook(nullptr); }
};

TEST(MessageBox, WrapsAtFiveHundredPixelsAndMeasuresEveryLine)
{
    QZOMessageBox box;
    box.setMessage(QString());
    EXPECT_EQ(box.textSize(), QSize(0, 0));

    box.setMessage(QStringLiteral("short\na somewhat longer line"));
    const QFontMetrics fm(box.messageFont());
    const QRect a = fm.boundingRect(QRect(), Qt::TextSingleLine, QStringLiteral("short"));
    const QRect b = fm.boundingRect(QRect(), Qt::TextSingleLine, QStringLiteral("a somewhat longer line"));
    EXPECT_EQ(box.textSize(), QSize(std::max(a.width(), b.width()), a.height() + b.height()));

    box.setMessage(QStringLiteral("two  spaces"));
    EXPECT_EQ(box.displayText(), QStringLiteral("two  spaces"));

    // Many words: every line fits, and the words come back in order once
    // the breaks are read as the spaces they replaced.
    QStringList words;
    for (int i = 0; i < 80; ++i)
        words << QStringLiteral("word%1").arg(i);
    const QString sentence = words.join(QLatin1Char(' '));
    box.setMessage(sentence);
    const QStringList lines = box.displayText().split(QLatin1Char('\n'));
    EXPECT_GT(lines.size(), 1);
    for (const QString& line : lines)
        EXPECT_LE(LineWidth(box, line), 500) << line.toStdString();
    EXPECT_EQ(lines.join(QLatin1Char(' ')), sentence);

    // One word wider than the box: broken where it stops fitting.
    const QString word(300, QLatin1Char('w'));
    box.setMessage(word);
    const QStringList parts = box.displayText().split(QLatin1Char('\n'));
    EXPECT_GT(parts.size(), 1);
    for (const QString& part : parts)
        EXPECT_LE(LineWidth(box, part), 500);
    EXPECT_EQ(parts.join(QString()), word);
}

TEST(MessageBox, ButtonsSitAtTheBottomRightWithTheirResults)
{
    QZOMessageBox box;
    box.setButtonStyle(QZOMessageBox::YesNoButtons);
    box.setMessage(QStringLiteral("Delete?"));
    box.prepareLayout();
    ASSERT_EQ(box.buttons().size(), 2);
    QZOBaseButton* yes = box.buttons()[0];
    QZOBaseButton* no = box.buttons()[1];
    EXPECT_EQ(yes->text(), QStringLiteral("Yes"));
    EXPECT_EQ(no->getDoneSign(), 0x10000);
    const QZOMessageBoxOption o = box.getMessageBoxOption();
    EXPECT_EQ(no->x() + no->width(), box.width() - o.sidePadding - o.transparentMargins.right());
    EXPECT_EQ(yes->x() + yes->width(), no->x() - o.buttonSpacing);
    EXPECT_EQ(yes->width(), 80);

    const struct {
        int style;
        int buttons;
        int first;
    } styles[] = {{1, 1, 0x400}, {2, 1, 0x400000}, {4, 2, 0x4000}, {7, 0, 0}};
    for (const auto& s : styles) {
        box.setButtonStyle(s.style);
        ASSERT_EQ(box.buttons().size(), s.buttons) << s.style;
        if (s.buttons > 0) {
            EXPECT_EQ(box.buttons()[0]->getDoneSign(), s.first);
        }
    }
}

TEST(MessageBox, ShowMessageTakesItsAnswerFromTheHookOrTheKeyboard)
{
    HookReset reset;
    QWidget parent;
    parent.setWindowFlags(parent.windowFlags() | Qt::WindowStaysOnTopHint);
    QString seen;
    bool onTop = false;
    QZOMessageBox::setAnswerHook([&](QZOMessageBox& box) {
        seen = box.getMessage() + QLatin1Char('|') + box.getTitle();
        onTop = box.windowFlags() & Qt::WindowStaysOnTopHint;
        return 0x4000;
    });
    EXPECT_EQ(QZOMessageBox::ShowMessage(&parent, QStringLiteral("msg"), QStringLiteral("title"), 1, 4), 0x4000);
    EXPECT_EQ(seen, QStringLiteral("msg|title"));
    EXPECT_TRUE(onTop);

    // The real loop: Escape rejects the box with 0.
    QZOMessageBox::setAnswerHook([](QZOMessageBox& box) {
        QTimer::singleShot(50, &box, [&box] { QTest::keyClick(&box, Qt::Key_Escape); });
        return -1;
    });
    EXPECT_EQ(QZOMessageBox::ShowMessage(nullptr, QStringLiteral("msg"), QString(), 2, 1), 0);

    // The button's own click ends the loop with its result.
    QZOMessageBox::setAnswerHook([](QZOMessageBox& box) {
        QTimer::singleShot(50, &box, [&box] { box.buttons()[0]->click(); });
        return -1;
    });
    EXPECT_EQ(QZOMessageBox::ShowMessage(nullptr, QStringLiteral("msg"), QString(), 2, 2), 0x400000);
}

TEST(MessageBox, AParentDeletedDuringTheLoopTakesTheBoxAlong)
{
    HookReset reset;
    auto* parent = new QWidget;
    QZOMessageBox::setAnswerHook([parent](QZOMessageBox&) {
        QTimer::singleShot(50, [parent] { delete parent; });
        return -1;
    });
    EXPECT_EQ(QZOMessageBox::ShowMessage(parent, QStringLiteral("going"), QString(), 1, 1), 0);
}

TEST(MessageBox, Screens)
{
    QDir().mkpath(QStringLiteral(VIDMEND_SCREENS_DIR));
    const struct {
        int icon, style;
        const char *message, *file;
    } boxes[] = {
        {1, 4, "Some files are still being repaired.\nDo you want to stop and quit?", "message-box-question.png"},
        {4, 1, "The file could not be opened.", "message-box-error.png"},
    };
    for (const auto& b : boxes) {
        QZOMessageBox box;
        box.setButtonStyle(b.style);
        box.setMessageIcon(b.icon);
        box.setMessage(QString::fromLatin1(b.message));
        box.prepareLayout();
        EXPECT_TRUE(box.grab().save(QStringLiteral(VIDMEND_SCREENS_DIR "/") + QLatin1String(b.file)));
    }
}

}  // namespace
