// The drawn combo box: rows kept when it becomes custom drawn, row
// operations before its popup list exists, style fragments replaced rather
// than piled up, popup row sizes, and a click in the popup choosing a row.
#include <gtest/gtest.h>

#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QVBoxLayout>

#include "AppTestEnv.h"
#include "QZOBaseButton.h"
#include "QZOComboBox.h"

namespace {

// A flat background image of the test's own, as a ratio-2 PNG on disk.
QString BackgroundFile(QTemporaryDir& dir, const QColor& color)
{
    QImage image(200, 48, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(219, 219, 219), 2));
    painter.setBrush(color);
    painter.drawRoundedRect(QRectF(1, 1, 198, 46), 8, 8);
    painter.end();
    const QString path = dir.filePath(QStringLiteral("combo-bg@2x.png"));
    EXPECT_TRUE(image.save(path));
    return path;
}

QImage Render(QWidget& widget)
{
    QImage canvas(widget.size(), QImage::Format_ARGB32);
    canvas.fill(Qt::white);
    widget.render(&canvas, QPoint(), QRegion(), QWidget::DrawChildren);
    return canvas;
}

TEST(ComboBox, RowsAddedBeforeTheBackgroundImageAreKept)
{
    QTemporaryDir dir;
    QZOComboBox box;
    box.resize(160, 24);
    box.addItems({QStringLiteral("one"), QStringLiteral("two"), QStringLiteral("three")});
    box.setItemData(2, 42);
    box.setCurrentIndex(1);
    ASSERT_EQ(box.popupList(), nullptr);
    ASSERT_TRUE(box.setBackgroundImage(BackgroundFile(dir, Qt::white)));
    QListWidget* list = box.popupList();
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(box.count(), 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_NE(qobject_cast<QZOComboBoxItem*>(list->itemWidget(list->item(i))), nullptr) << i;
    }
    EXPECT_EQ(box.itemText(2), QStringLiteral("three"));
    EXPECT_EQ(box.itemData(2).toInt(), 42);
    EXPECT_EQ(box.currentIndex(), 1);
    EXPECT_EQ(box.drawText(), QStringLiteral("two"));
}

TEST(ComboBox, RowOperationsBeforeThePopupListExistAreHarmless)
{
    QZOComboBox box;
    EXPECT_FALSE(box.IsValid(0));
    EXPECT_EQ(box.getItemWidgt(0), nullptr);
    box.addSeparator();
    box.setItemSeparator(0, true);
    box.setItemTextColor(Qt::red);
    box.setItemFont(QFont());
    box.setItemTextMargins(2, 2, 2, 2);
    box.setItemSpacing(4, Qt::gray);
    box.setItemWidth(100);
    box.setItemBorder(1, Qt::gray);
    box.removeItem(0);
    box.setItemText(0, QStringLiteral("x"));
    box.showPopup();
    box.hidePopup();
    EXPECT_EQ(box.count(), 0);
}

TEST(ComboBox, StyleFragmentsReplaceTheirOwnKind)
{
    QZOComboBox box;
    box.setItemBgColor(QColor(10, 20, 30));
    box.setItemBgColor(QColor(40, 50, 60));
    box.setItemHoverColor(QColor(1, 2, 3));
    const QString sheet = box.keptStyleSheet();
    EXPECT_EQ(sheet.count(QStringLiteral("QListView::item {background: ")), 1);
    EXPECT_TRUE(sheet.contains(QStringLiteral("QListView::item {background: #28323c;}")));
    EXPECT_TRUE(sheet.contains(QStringLiteral("QListView::item:hover {background: #010203;}")));
    EXPECT_EQ(box.styleSheet(), sheet);

    const struct {
        const char *sheet, *start, *end, *after;
        bool cut;
    } cases[] = {
        {"a{x;}b{y;}", "b{", ";}", "a{x;}", true},
        {"a{x;}b{y;}", "c{", ";}", "a{x;}b{y;}", false},
        {"a{x;}b{y", "b{", ";}", "a{x;}y", true},  // no end: only the start goes
    };
    for (const auto& c : cases) {
        QString s = QString::fromLatin1(c.sheet);
        EXPECT_EQ(QZOComboBox::cutStyleString(s, QString::fromLatin1(c.start), QString::fromLatin1(c.end)), c.cut);
        EXPECT_EQ(s, QString::fromLatin1(c.after));
    }
}

TEST(ComboBox, PopupRowsTakeSpacingSeparatorsAndTheWidestText)
{
    QTemporaryDir dir;
    QZOComboBox box;
    box.resize(80, 24);
    ASSERT_TRUE(box.setBackgroundImage(BackgroundFile(dir, Qt::white)));
    box.addItems({QStringLiteral("a"), QStringLiteral("a much longer row than the box"), QStringLiteral("c")});
    box.setItemSpacing(5, Qt::gray);
    box.setItemSeparator(2, true);
    box.show();
    box.showPopup();
    QListWidget* list = box.popupList();
    EXPECT_EQ(list->item(0)->sizeHint().height(), 19 + 3);
    EXPECT_EQ(list->item(1)->sizeHint().height(), 19 + 2 + 3);
    EXPECT_EQ(list->item(2)->sizeHint().height(), 19 + 2 + 1);
    auto* row = qobject_cast<QZOComboBoxItem*>(list->itemWidget(list->item(1)));
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(box.itemWidth(), row->calcItemWidth(list->item(1)->text(), box.font()));
    EXPECT_GT(box.itemWidth(), box.width());
    // A row draws its own text: it has no background image to draw it over.
    const QImage face = row->grab().toImage();
    bool ink = false;
    for (int y = 0; y < face.height() && !ink; ++y)
        for (int x = 0; x < face.width() && !ink; ++x)
            ink = qGray(face.pixel(x, y)) < 128;
    EXPECT_TRUE(ink);
    box.hidePopup();
}

TEST(ComboBox, AClickInThePopupChoosesTheRowAndCloses)
{
    QTemporaryDir dir;
    QZOComboBox box;
    box.resize(160, 24);
    ASSERT_TRUE(box.setBackgroundImage(BackgroundFile(dir, Qt::white)));
    box.addItems({QStringLiteral("one"), QStringLiteral("two"), QStringLiteral("three")});
    box.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&box, kHangGuardMs));
    QSignalSpy activated(&box, QOverload<int>::of(&QComboBox::activated));
    box.showPopup();
    QListWidget* list = box.popupList();
    ASSERT_TRUE(QTest::qWaitFor([&] { return list->isVisible(); }, kHangGuardMs));
    const QRect cell = list->visualItemRect(list->item(2));
    QWidget* target = list->itemWidget(list->item(2));
    const QPoint at = target->mapFrom(list->viewport(), cell.center());
    QTest::mouseMove(target, at);
    QTest::mouseClick(target, Qt::LeftButton, Qt::NoModifier, at);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !list->isVisible(); }, kHangGuardMs));
    EXPECT_EQ(box.currentIndex(), 2);
    EXPECT_EQ(box.drawText(), QStringLiteral("three"));
    EXPECT_EQ(activated.count(), 1);
}

TEST(ComboBox, ADropDownButtonSitsAtTheRightEdgeOnce)
{
    QTemporaryDir dir;
    QImage strip(4 * 32, 32, QImage::Format_ARGB32);
    strip.fill(QColor(81, 102, 192));
    const QString arrow = dir.filePath(QStringLiteral("arrow@2x.png"));
    ASSERT_TRUE(strip.save(arrow));
    QZOComboBox box;
    box.resize(160, 24);
    box.setButtonImage(dir.filePath(QStringLiteral("missing.png")), true);
    EXPECT_EQ(box.dropDownButton(), nullptr);
    box.setButtonImage(arrow, true);
    ASSERT_NE(box.dropDownButton(), nullptr);
    box.show();
    QWidget* button = box.dropDownButton();
    EXPECT_EQ(button->x() + button->width(), 160);
    const int x = button->x();
    box.resize(200, 24);
    EXPECT_EQ(button->x(), x);
}

// ---- the sheet, for people to look at ----

TEST(ComboBox, Sheet)
{
    QTemporaryDir dir;
    QWidget sheet;
    sheet.resize(420, 360);
    sheet.setStyleSheet(QStringLiteral("background: white"));
    auto* layout = new QVBoxLayout(&sheet);
    const QString bg = BackgroundFile(dir, Qt::white);
    auto add = [&](const QString& caption, QWidget* w) {
        auto* label = new QLabel(caption, &sheet);
        layout->addWidget(label);
        layout->addWidget(w);
    };
    auto* plain = new QZOComboBox(&sheet);
    plain->addItems({QStringLiteral("Qt drawn")});
    add(QStringLiteral("Without a background image"), plain);
    for (int state = 0; state < 2; ++state) {
        auto* box = new QZOComboBox(&sheet);
        box->setBackgroundImage(bg);
        box->setTextColor(QColor(64, 64, 64), QColor(81, 102, 192), QColor(81, 102, 192), QColor(196, 196, 196));
        box->addItems({QStringLiteral("2 tasks"), QStringLiteral("1 task"), QStringLiteral("3 tasks")});
        box->setBtnMode(true);  // text colours follow the state
        box->setEnabled(state == 0);
        add(state == 0 ? QStringLiteral("Drawn") : QStringLiteral("Drawn, disabled"), box);
    }
    // The popup rows, drawn as a list on the sheet.
    auto* popupBox = new QZOComboBox(&sheet);
    popupBox->setBackgroundImage(bg);
    popupBox->setItemSpacing(4, QColor(240, 240, 240));
    popupBox->setItemHoverColor(QColor(229, 243, 255));
    popupBox->addItems({QStringLiteral("Current row"), QStringLiteral("Second row"), QStringLiteral("Third row")});
    popupBox->addSeparator();
    popupBox->setItemSeparator(0, true);
    add(QStringLiteral("With its popup rows below"), popupBox);
    layout->addStretch(1);
    sheet.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&sheet, kHangGuardMs));
    popupBox->showPopup();
    QListWidget* list = popupBox->popupList();
    QTest::qWaitFor([&] { return list->isVisible(); }, kHangGuardMs);
    const QImage rows = list->grab().toImage();
    popupBox->hidePopup();
    QImage canvas = Render(sheet);
    QPainter painter(&canvas);
    painter.drawImage(QPoint(popupBox->x(), popupBox->y() + popupBox->height() + 2), rows);
    painter.end();
    QDir().mkpath(QStringLiteral(VIDMEND_SCREENS_DIR));
    EXPECT_TRUE(canvas.save(QStringLiteral(VIDMEND_SCREENS_DIR "/controls-combo.png")));
}

}  // namespace
