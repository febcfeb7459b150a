// The list model and its sort proxy: Qt's model contract checked by Qt's own
// tester while rows come and go, the check column and its summary, row
// colours, string sorting and the filters by id and by the deleted flag.
#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QBrush>
#include <QLoggingCategory>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QStyledItemDelegate>
#include <QTest>
#include <QToolTip>

#include <memory>
#include <string>
#include <vector>

#include "AppTestEnv.h"
#include "IBaseChunk.h"
#include "QBaseDetailsModel.h"
#include "QCheckHeaderView.h"
#include "QZOBaseBoxDraw.h"
#include "QZOBaseSortModel.h"
#include "QZOTableView.h"

namespace {

// Collects what Qt's model tester reports; it reports in its own category.
QStringList* g_testerFaults = nullptr;
QtMessageHandler g_previousHandler = nullptr;

void CollectTesterFaults(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (g_testerFaults && context.category && QByteArray(context.category) == "qt.modeltest"
        && type >= QtWarningMsg) {
        g_testerFaults->append(text);
        return;
    }
    if (g_previousHandler) {
        g_previousHandler(type, context, text);
    }
}

class TesterFaults {
public:
    TesterFaults() { g_testerFaults = &m_faults; g_previousHandler = qInstallMessageHandler(CollectTesterFaults); }
    ~TesterFaults() { qInstallMessageHandler(g_previousHandler); g_testerFaults = nullptr; }
    const QStringList& faults() const { return m_faults; }

private:
    QStringList m_faults;
};

// Rows owned by the test, a model over them with three columns, the check
// in column 0.
class ListFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        model.setHeaderList({"Name", "Size", "State"});
        model.setDatas(&rows);
    }

    IBaseChunk* add(const std::string& title = {}, const std::string& filterId = {}, bool deleted = false)
    {
        owned.push_back(std::make_unique<IBaseChunk>());
        IBaseChunk* row = owned.back().get();
        row->SetTitle(title);
        row->SetFilterId(filterId);
        row->setIsDeleted(deleted);
        model.insertRefeshLastRow(row);
        return row;
    }

    std::vector<std::unique_ptr<IBaseChunk>> owned;
    QBaseDetailsModel::Rows rows;
    QBaseDetailsModel model;
};

// A model whose display text is the row's title, to sort and filter by text.
class TitleModel : public QBaseDetailsModel {
public:
    QVariant data(const QModelIndex& index, int role) const override
    {
        if (role == Qt::DisplayRole && index.isValid()) {
            return QString::fromStdString(static_cast<IBaseChunk*>(index.internalPointer())->GetTitle());
        }
        return QBaseDetailsModel::data(index, role);
    }
};

QStringList VisibleTitles(const QZOBaseSortModel& proxy)
{
    QStringList titles;
    for (int r = 0; r < proxy.rowCount(); ++r) {
        auto* row = static_cast<IBaseChunk*>(proxy.index(r, 0).data(QBaseDetailsModel::kRowRole).value<void*>());
        titles << QString::fromStdString(row->GetTitle());
    }
    return titles;
}

TEST_F(ListFixture, QtsModelTesterFindsNoFaultWhileRowsComeAndGo)
{
    TesterFaults faults;
    QZOBaseSortModel proxy;
    proxy.setSourceModel(&model);
    QAbstractItemModelTester modelTester(&model, QAbstractItemModelTester::FailureReportingMode::Warning);
    QAbstractItemModelTester proxyTester(&proxy, QAbstractItemModelTester::FailureReportingMode::Warning);

    add("b");
    add("a", "7", true);
    add("c");
    model.setData(model.index(1, 0), Qt::Checked, Qt::CheckStateRole);
    model.refreshData(2, 1);
    model.refeshRow(0);
    proxy.sort(0);
    proxy.setDeleteFilter(QZOBaseSortModel::OnlyNotDeleted);
    proxy.setFilterIdSet("7");
    proxy.setAllItemCheck(true);
    model.setHeaderList({"One", "Two"});
    model.refresh();
    model.setDatas(nullptr);
    EXPECT_TRUE(faults.faults().isEmpty()) << faults.faults().join('\n').toStdString();
}

// The tester itself must see a model that grows before it announces the
// insert, or its silence above proves nothing.
class LateAnnouncingModel : public QBaseDetailsModel {
public:
    void appendLate(IBaseChunk* row)
    {
        datas()->push_back(row);
        const int at = rowCount() - 1;
        beginInsertRows(QModelIndex(), at, at);
        endInsertRows();
    }
};

TEST(ItemModelTester, ReportsAnInsertAnnouncedAfterTheVectorGrew)
{
    TesterFaults faults;
    QBaseDetailsModel::Rows rows;
    IBaseChunk row;
    LateAnnouncingModel model;
    model.setHeaderList({"Name"});
    model.setDatas(&rows);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Warning);
    model.appendLate(&row);
    EXPECT_FALSE(faults.faults().isEmpty());
}

TEST_F(ListFixture, IndexesHonourParentColumnsAndRows)
{
    add();
    add();
    const QModelIndex cell = model.index(1, 2);
    ASSERT_TRUE(cell.isValid());
    EXPECT_EQ(cell.internalPointer(), rows[1]);
    EXPECT_FALSE(model.index(0, 0, cell).isValid());
    EXPECT_FALSE(model.index(0, 3).isValid());
    EXPECT_FALSE(model.index(0, -1).isValid());
    EXPECT_FALSE(model.index(2, 0).isValid());
    EXPECT_FALSE(model.index(-1, 0).isValid());
    EXPECT_EQ(model.rowCount(cell), 0);
    EXPECT_EQ(model.columnCount(cell), 0);
    EXPECT_EQ(model.rowCount(), 2);
    EXPECT_EQ(model.headerData(1, Qt::Horizontal).toString(), "Size");
    EXPECT_FALSE(model.headerData(3, Qt::Horizontal).isValid());
    EXPECT_FALSE(model.headerData(0, Qt::Vertical).isValid());
    EXPECT_EQ(int(model.flags(model.index(0, 0))), 57);
    EXPECT_EQ(int(model.flags(model.index(0, 1))), 41);
    EXPECT_EQ(int(model.flags(QModelIndex())), 0);
}

TEST_F(ListFixture, InsertIsAnnouncedBeforeTheRowExists)
{
    add();
    int countWhenAnnounced = -1;
    QObject::connect(&model, &QAbstractItemModel::rowsAboutToBeInserted, [&](const QModelIndex&, int first, int last) {
        countWhenAnnounced = model.rowCount();
        EXPECT_EQ(first, 1);
        EXPECT_EQ(last, 1);
    });
    add();
    EXPECT_EQ(countWhenAnnounced, 1);
    EXPECT_EQ(model.rowCount(), 2);
}

TEST_F(ListFixture, CheckColumnTogglesAndSummarises)
{
    IBaseChunk* a = add();
    add();
    add();
    QSignalSpy summary(&model, &QBaseDetailsModel::itemCheckChange);
    const QModelIndex first = model.index(0, 0);

    EXPECT_TRUE(model.setData(first, Qt::Checked, Qt::CheckStateRole));
    EXPECT_EQ(model.data(first, Qt::CheckStateRole).toInt(), 2);
    EXPECT_EQ(summary.takeLast().at(0).toInt(), 1);
    EXPECT_TRUE(model.setData(first, Qt::Unchecked, Qt::CheckStateRole));
    EXPECT_EQ(model.data(first, Qt::CheckStateRole).toInt(), 0);
    EXPECT_EQ(summary.takeLast().at(0).toInt(), 0);
    a->SetCheck(Qt::PartiallyChecked);
    EXPECT_EQ(model.data(first, Qt::CheckStateRole).toInt(), 2) << "a partial row shows checked";
    EXPECT_TRUE(model.setData(first, Qt::Checked, Qt::CheckStateRole));
    EXPECT_EQ(a->GetCheck(), 2);

    model.OnStateChanged(true);
    EXPECT_EQ(summary.takeLast().at(0).toInt(), 2);
    model.OnStateChanged(false);
    EXPECT_EQ(summary.takeLast().at(0).toInt(), 0);

    // Only the check column holds a check; the edit role is not a check.
    EXPECT_FALSE(model.data(model.index(0, 1), Qt::CheckStateRole).isValid());
    EXPECT_FALSE(model.setData(model.index(0, 1), Qt::Checked, Qt::CheckStateRole));
    EXPECT_FALSE(model.setData(first, Qt::Checked, Qt::EditRole));
    summary.clear();
    EXPECT_TRUE(model.setData(first, Qt::Checked, Qt::UserRole));
    EXPECT_EQ(a->GetCheck(), 2);
    EXPECT_TRUE(summary.isEmpty()) << "the user role checks without a summary";
}

TEST_F(ListFixture, DisabledCheckChangesNothingButStillSummarises)
{
    IBaseChunk* row = add();
    row->setCheckEnable(false);
    QSignalSpy summary(&model, &QBaseDetailsModel::itemCheckChange);
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    EXPECT_TRUE(model.setData(model.index(0, 0), Qt::Checked, Qt::CheckStateRole));
    EXPECT_EQ(row->GetCheck(), 0);
    EXPECT_TRUE(changed.isEmpty());
    ASSERT_EQ(summary.size(), 1);
    EXPECT_EQ(summary.at(0).at(0).toInt(), 0);
}

TEST_F(ListFixture, EmptyVectorSummariesDifferBetweenModelAndProxy)
{
    QZOBaseSortModel proxy;
    proxy.setSourceModel(&model);
    QSignalSpy modelSummary(&model, &QBaseDetailsModel::itemCheckChange);
    QSignalSpy proxySummary(&proxy, &QZOBaseSortModel::itemCheckChange);
    EXPECT_EQ(model.rowCount(), 0);
    model.refreshCheckState();
    ASSERT_EQ(modelSummary.size(), 1);
    EXPECT_EQ(modelSummary.at(0).at(0).toInt(), 2);
    proxy.OnItemStateChange();
    EXPECT_TRUE(proxySummary.isEmpty());
    EXPECT_EQ(proxy.getItemChangeState(), 0);

    QBaseDetailsModel noVector;
    QSignalSpy none(&noVector, &QBaseDetailsModel::itemCheckChange);
    noVector.refreshCheckState();
    EXPECT_TRUE(none.isEmpty());
    EXPECT_EQ(noVector.rowCount(), 0);
}

TEST_F(ListFixture, RowColoursAlternateAndDeletedWinsOverHover)
{
    add();
    add();
    add("", "", true);
    model.setItemBgColor(Qt::red, Qt::blue);
    model.setItemTextColor(Qt::white, Qt::black);
    auto background = [&](int r) { return model.index(r, 1).data(Qt::BackgroundRole).value<QBrush>().color(); };
    auto text = [&](int r) { return model.index(r, 1).data(Qt::ForegroundRole).value<QColor>(); };
    EXPECT_EQ(background(0), QColor(Qt::red));
    EXPECT_EQ(text(0), QColor(Qt::black));
    EXPECT_EQ(background(1), QColor(Qt::blue));
    EXPECT_EQ(text(1), QColor(Qt::white));

    model.setHoverRow(1);
    EXPECT_EQ(background(1), QColor(51, 51, 51));
    EXPECT_EQ(text(1), QColor(255, 255, 255));
    model.setHoverRow(2);
    EXPECT_EQ(text(2), QColor(255, 140, 71));
    EXPECT_TRUE(model.index(2, 0).data(QBaseDetailsModel::kDeletedRole).toBool());
    EXPECT_EQ(model.index(0, 0).data(Qt::FontRole).value<QFont>().family(), "Tahoma");

    // The proxy colours by its own row numbers: sorted, the deleted row is first.
    QZOBaseSortModel proxy;
    proxy.setSourceModel(&model);
    proxy.setSortRole(QBaseDetailsModel::kDeletedRole);
    proxy.sort(0, Qt::DescendingOrder);
    proxy.setItemBgColor(Qt::green, Qt::yellow);
    EXPECT_EQ(proxy.index(0, 1).data(Qt::BackgroundRole).value<QBrush>().color(), QColor(Qt::green));
    EXPECT_EQ(proxy.index(0, 1).data(Qt::ForegroundRole).value<QColor>(), QColor(255, 140, 71));
    EXPECT_EQ(proxy.index(1, 1).data(Qt::ForegroundRole).value<QColor>(), QColor(205, 196, 180));
}

class TitleListFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        model.setHeaderList({"Name", "Size"});
        model.setDatas(&rows);
        proxy.setSourceModel(&model);
    }
    void add(const std::string& title, const std::string& filterId = {}, bool deleted = false)
    {
        owned.push_back(std::make_unique<IBaseChunk>());
        owned.back()->SetTitle(title);
        owned.back()->SetFilterId(filterId);
        owned.back()->setIsDeleted(deleted);
        model.insertRefeshLastRow(owned.back().get());
    }

    std::vector<std::unique_ptr<IBaseChunk>> owned;
    QBaseDetailsModel::Rows rows;
    TitleModel model;
    QZOBaseSortModel proxy;
};

TEST_F(TitleListFixture, SortsTextsAsStringsAndAnnounces)
{
    for (const char* title : {"9", "10", "b", "B", "a"}) {
        add(title);
    }
    qRegisterMetaType<Qt::SortOrder>();
    QSignalSpy sorted(&proxy, &QZOBaseSortModel::emitSort);
    proxy.sort(0, Qt::AscendingOrder);
    EXPECT_EQ(VisibleTitles(proxy), QStringList({"10", "9", "B", "a", "b"}));
    ASSERT_EQ(sorted.size(), 1);
    EXPECT_EQ(sorted.at(0).at(0).toInt(), 0);
    EXPECT_EQ(sorted.at(0).at(1).value<Qt::SortOrder>(), Qt::AscendingOrder);
    proxy.sort(0, Qt::DescendingOrder);
    EXPECT_EQ(VisibleTitles(proxy), QStringList({"b", "a", "B", "9", "10"}));
}

TEST_F(TitleListFixture, FiltersByIdListAndDeletedFlag)
{
    add("r12", "12");
    add("rb7", "b7");
    add("r2", "2");
    add("r3", "3");
    add("none", "");
    add("gone", "9", true);

    proxy.setFilterIdSet("12b7");
    EXPECT_EQ(VisibleTitles(proxy), QStringList({"r3", "none", "gone"}));
    proxy.setFilterIdSet("");

    proxy.setDeleteFilter(QZOBaseSortModel::OnlyDeleted);
    EXPECT_EQ(VisibleTitles(proxy), QStringList({"gone"}));
    proxy.setDeleteFilter(QZOBaseSortModel::OnlyNotDeleted);
    EXPECT_EQ(VisibleTitles(proxy), QStringList({"r12", "rb7", "r2", "r3", "none"}));

    // Filters combine with Qt's own text filter.
    proxy.setFilterIdSet("3");
    proxy.setFilterRegExp(QRegExp("^r"));
    EXPECT_EQ(VisibleTitles(proxy), QStringList({"r12", "rb7", "r2"}));
}

TEST_F(TitleListFixture, ProxyChecksVisibleRowsAndSummarisesThem)
{
    add("a");
    add("b", "", true);
    add("c");
    proxy.setDeleteFilter(QZOBaseSortModel::OnlyNotDeleted);
    QSignalSpy proxySummary(&proxy, &QZOBaseSortModel::itemCheckChange);
    QSignalSpy modelSummary(&model, &QBaseDetailsModel::itemCheckChange);

    proxy.itemCheckStateChanged(proxy.index(1, 0), Qt::Checked);
    EXPECT_EQ(owned[2]->GetCheck(), 2);
    ASSERT_EQ(proxySummary.size(), 1);
    EXPECT_EQ(proxySummary.at(0).at(0).toInt(), 1);

    proxy.setAllItemCheck(true);
    EXPECT_EQ(owned[0]->GetCheck(), 2);
    EXPECT_EQ(owned[1]->GetCheck(), 0) << "a hidden row is left alone";
    EXPECT_EQ(proxy.getItemChangeState(), 2);
    EXPECT_TRUE(modelSummary.isEmpty());
    EXPECT_FALSE(proxy.setData(proxy.index(0, 1), Qt::Checked, Qt::CheckStateRole));
    proxy.setAllItemCheck(0);
    EXPECT_EQ(proxy.getItemChangeState(), 0);
}

// A view over the proxy over the model, as the file list wires them.
class ViewFixture : public TitleListFixture {
protected:
    void SetUp() override
    {
        TitleListFixture::SetUp();
        for (const char* title : {"alpha", "beta", "gamma"}) {
            add(title);
        }
        view.setModel(&proxy);
        view.setSourceModel(&model);
        view.setSortModel(&proxy);
        view.resize(300, 200);
        view.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&view, kHangGuardMs));
    }
    void moveTo(int row, int column, QPoint offset = {})
    {
        const QPoint at = view.visualRect(proxy.index(row, column)).center() + offset;
        QMouseEvent move(QEvent::MouseMove, at, view.viewport()->mapToGlobal(at), Qt::NoButton, Qt::NoButton,
                         Qt::NoModifier);
        QApplication::sendEvent(view.viewport(), &move);
    }

    QZOTableView view;
};

TEST_F(ViewFixture, HoverRowReachesBothModelsAndClearsOnLeave)
{
    moveTo(1, 1);
    EXPECT_EQ(view.hoverRow(), 1);
    EXPECT_EQ(view.hoverColumn(), 1);
    EXPECT_EQ(proxy.hoverRow(), 1);
    EXPECT_EQ(model.hoverRow(), 1);
    EXPECT_EQ(proxy.index(1, 0).data(Qt::BackgroundRole).value<QBrush>().color(), QColor(51, 51, 51));
    EXPECT_EQ(proxy.index(0, 0).data(Qt::BackgroundRole).value<QBrush>().color(), QColor(35, 35, 35));

    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(&view, &leave);
    EXPECT_EQ(view.hoverRow(), -1);
    EXPECT_EQ(proxy.hoverRow(), -1);
    EXPECT_EQ(model.hoverRow(), -1);
}

TEST_F(ViewFixture, TooltipShowsOnceAfterThePointerRestsInACell)
{
    constexpr int kShowMs = 400;
    view.SetToolTipShowTime(kShowMs);
    view.SetToolTip(true);
    proxy.sort(0, Qt::DescendingOrder);
    QElapsedTimer rested;
    rested.start();
    moveTo(0, 0);
    QTest::qWait(60);
    moveTo(0, 0, QPoint(2, 1));
    const bool early = QToolTip::isVisible();
    // Not before the show time. A loaded machine may have let the pointer
    // rest longer than that by now; then a tooltip is no fault.
    if (rested.elapsed() < kShowMs) {
        EXPECT_FALSE(early) << "not before the show time";
    }
    EXPECT_TRUE(WaitFor([] { return QToolTip::text() == QStringLiteral("gamma"); })) << QToolTip::text().toStdString();

    // Moving inside the same cell does not arm it again.
    QToolTip::hideText();
    moveTo(0, 0, QPoint(-2, 0));
    QTest::qWait(400);
    EXPECT_FALSE(QToolTip::isVisible());

    // Another cell does.
    moveTo(1, 0);
    EXPECT_TRUE(WaitFor([] { return QToolTip::text() == QStringLiteral("beta"); })) << QToolTip::text().toStdString();
    QToolTip::hideText();
}

TEST_F(ViewFixture, ReturnActsOnASelectionOnly)
{
    QSignalSpy enter(&view, &QZOTableView::emitEnterSelect);
    QSignalSpy current(&view, &QZOTableView::emitCurrentChanged);
    QTest::keyClick(&view, Qt::Key_Return);
    EXPECT_TRUE(enter.isEmpty());

    view.selectRow(2);
    ASSERT_FALSE(current.isEmpty());
    EXPECT_EQ(current.last().at(0).value<QModelIndex>().row(), 2);
    QTest::keyClick(&view, Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_TRUE(enter.isEmpty()) << "the keypad's Enter is not Return";
    QTest::keyClick(&view, Qt::Key_Return);
    EXPECT_EQ(enter.size(), 1);

    // Tab leaves the current cell where it is.
    QTest::keyClick(&view, Qt::Key_Tab);
    EXPECT_EQ(view.currentIndex().row(), 2);
    EXPECT_EQ(view.currentIndex().column(), 0);
}

// The header box follows the rows' check summary, and its click checks or
// unchecks every row.
TEST_F(ViewFixture, HeaderBoxShowsAndSetsTheRowsCheck)
{
    auto* header = new QCheckHeaderView(Qt::Horizontal, &view);
    view.setHorizontalHeader(header);
    header->setTristate(true);
    QObject::connect(&model, &QBaseDetailsModel::itemCheckChange, header, &QCheckHeaderView::OnStateChanged);
    QObject::connect(header, &QCheckHeaderView::checkChange, &model,
                     static_cast<void (QBaseDetailsModel::*)(bool)>(&QBaseDetailsModel::OnStateChanged));

    model.setData(model.index(0, 0), Qt::Checked, Qt::CheckStateRole);
    EXPECT_EQ(header->getCheckState(), Qt::PartiallyChecked);
    model.setData(model.index(1, 0), Qt::Checked, Qt::CheckStateRole);
    model.setData(model.index(2, 0), Qt::Checked, Qt::CheckStateRole);
    EXPECT_EQ(header->getCheckState(), Qt::Checked);
    model.setData(model.index(0, 0), Qt::Unchecked, Qt::CheckStateRole);
    EXPECT_EQ(header->getCheckState(), Qt::PartiallyChecked);

    // A click on the partial box checks every row.
    QSignalSpy checkAll(header, &QCheckHeaderView::checkChange);
    header->checkBox()->click();
    ASSERT_EQ(checkAll.size(), 1);
    EXPECT_TRUE(checkAll.at(0).at(0).toBool());
    for (const auto& row : owned) {
        EXPECT_EQ(row->GetCheck(), 2);
    }
    header->checkBox()->click();
    EXPECT_FALSE(checkAll.last().at(0).toBool());
    EXPECT_EQ(header->getCheckState(), Qt::Unchecked);
    for (const auto& row : owned) {
        EXPECT_EQ(row->GetCheck(), 0);
    }

    // Without tristate a partial summary shows unchecked.
    header->setTristate(false);
    header->OnStateChanged(Qt::PartiallyChecked);
    EXPECT_EQ(header->getCheckState(), Qt::Unchecked);
}

TEST(CheckHeader, ImagesLoadOnlyFromFilesAndMissingOnesPaintLikeQt)
{
    QStandardItemModel items(0, 2);
    items.setHorizontalHeaderLabels({"Name", "Size"});
    QCheckHeaderView header(Qt::Horizontal);
    QHeaderView plain(Qt::Horizontal);
    for (QHeaderView* h : {static_cast<QHeaderView*>(&header), &plain}) {
        h->setModel(&items);
        h->resize(200, 30);
    }
    header.setCheckVisable(false);
    EXPECT_FALSE(header.setBackgroundImage("/nonexistent/bg.png"));
    EXPECT_FALSE(header.setSlipImage(""));
    EXPECT_FALSE(header.setOrderFlagsImage("/nonexistent/arrow.png"));
    QImage mine(header.size(), QImage::Format_ARGB32);
    QImage qts(plain.size(), QImage::Format_ARGB32);
    header.render(&mine);
    plain.render(&qts);
    EXPECT_EQ(mine, qts);

    QTemporaryDir dir;
    QImage background(4, 24, QImage::Format_ARGB32);
    background.fill(QColor(10, 20, 30));
    const QString path = dir.filePath("bg.png");
    ASSERT_TRUE(background.save(path));
    EXPECT_TRUE(header.setBackgroundImage(path));
    EXPECT_EQ(header.height(), 24);
    EXPECT_TRUE(header.setOrderFlagsImage(path));
    header.resize(200, 24);
    EXPECT_EQ(QColor(header.grab().toImage().pixel(150, 2)), QColor(10, 20, 30));
}

TEST(CheckHeader, SortSwitchesKeepOneEntryPerColumn)
{
    QCheckHeaderView header(Qt::Horizontal);
    EXPECT_TRUE(header.sortEnable(2));
    header.setSortEnable(2, false);
    header.setSortEnable(2, false);
    EXPECT_FALSE(header.sortEnable(2));
    header.setSortEnable(2, true);
    EXPECT_TRUE(header.sortEnable(2));
}

// Stands for a style delegate with cell controls: Qt's default drawing, the
// two calls the view makes on it.
class ControlsDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    Q_INVOKABLE bool mouseInCtrlRect() const { return inControl; }
    Q_INVOKABLE void setHoverRow(int row) { hoverRow = row; }
    bool inControl = false;
    int hoverRow = -99;
};

TEST_F(ViewFixture, DelegateHearsHoverAndGuardsDoubleClicksOnItsControls)
{
    ControlsDelegate delegate;
    view.setItemDelegate(&delegate);
    view.setStyleDelegate(&delegate);
    moveTo(1, 0);
    EXPECT_EQ(delegate.hoverRow, 1);

    QSignalSpy doubleClicks(&view, &QAbstractItemView::doubleClicked);
    const QPoint at = view.visualRect(proxy.index(1, 1)).center();
    delegate.inControl = true;
    EXPECT_TRUE(view.mouseIsInCtrlRect());
    QTest::mousePress(view.viewport(), Qt::LeftButton, Qt::NoModifier, at);
    QTest::mouseDClick(view.viewport(), Qt::LeftButton, Qt::NoModifier, at);
    EXPECT_TRUE(doubleClicks.isEmpty());
    delegate.inControl = false;
    QTest::mousePress(view.viewport(), Qt::LeftButton, Qt::NoModifier, at);
    QTest::mouseDClick(view.viewport(), Qt::LeftButton, Qt::NoModifier, at);
    EXPECT_EQ(doubleClicks.size(), 1);

    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(&view, &leave);
    EXPECT_EQ(delegate.hoverRow, -1);
    view.setStyleDelegate(nullptr);
    EXPECT_FALSE(view.mouseIsInCtrlRect());
}

// ---- the sheet of the list view, for people to look at ----

// One list in its states: a row hovered, one deleted, some checked (the
// header box partial), sorted descending by name.
TEST_F(ViewFixture, ListSheet)
{
    add("deleted", "", true);
    auto* header = new QCheckHeaderView(Qt::Horizontal, &view);
    view.setHorizontalHeader(header);
    header->setTristate(true);
    QTemporaryDir dir;
    QImage background(4, 28, QImage::Format_ARGB32);
    background.fill(QColor(60, 60, 60));
    QImage separator(1, 16, QImage::Format_ARGB32);
    separator.fill(QColor(120, 120, 120));
    QImage arrow(14, 14, QImage::Format_ARGB32);
    arrow.fill(Qt::transparent);
    for (int y = 0; y < 7; ++y) {
        for (int x = 7 - y; x <= 7 + y && x < 14; ++x) {
            arrow.setPixel(x, y + 4, qRgb(230, 230, 230));
        }
    }
    ASSERT_TRUE(background.save(dir.filePath("bg.png")) && separator.save(dir.filePath("sep.png"))
                && arrow.save(dir.filePath("arrow.png")));
    ASSERT_TRUE(header->setBackgroundImage(dir.filePath("bg.png")));
    ASSERT_TRUE(header->setSlipImage(dir.filePath("sep.png")));
    ASSERT_TRUE(header->setOrderFlagsImage(dir.filePath("arrow.png")));
    header->setTextColor(QColor(230, 230, 230));
    QObject::connect(&model, &QBaseDetailsModel::itemCheckChange, header, &QCheckHeaderView::OnStateChanged);
    model.setData(model.index(1, 0), Qt::Checked, Qt::CheckStateRole);
    view.sortByColumn(0, Qt::DescendingOrder);
    view.resize(360, 160);
    header->show();
    QApplication::processEvents();
    moveTo(2, 1);
    ASSERT_EQ(view.hoverRow(), 2);

    QImage image(view.size(), QImage::Format_ARGB32);
    image.fill(Qt::white);
    view.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    // The hover row's background reaches the picture.
    const QRect hovered = view.visualRect(proxy.index(2, 1));
    const QPoint inView = view.viewport()->mapTo(&view, hovered.topLeft() + QPoint(hovered.width() - 3, 2));
    EXPECT_EQ(QColor(image.pixel(inView)), QColor(51, 51, 51));
    QDir().mkpath(QStringLiteral(VIDMEND_SCREENS_DIR));
    EXPECT_TRUE(image.save(QStringLiteral(VIDMEND_SCREENS_DIR "/controls-list.png")));
}

}  // namespace

#include "itemviews_test.moc"
