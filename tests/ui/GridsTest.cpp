// The row grid: current row and view under keys, mouse, wheel and scroll bar; the click
// raised once per move and never for the silent drop when rows shrink.
#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScrollBar>
#include <QWheelEvent>

#include "support/GuiTestMain.h"
#include "support/InputEvents.h"
#include "ui/Grids.h"

namespace kapo {
namespace {

class RecordingGrid : public TCustomGrid {
public:
    explicit RecordingGrid(TComponent* owner) : TCustomGrid(owner)
    {
        SetBorderStyle(bsNone);
        SetDefaultRowHeight(10);
        SetBounds(0, 0, 80, 55);  // five whole rows and a half
        SetColor(clWhite);
    }
    std::vector<int> clicks;  // the current row at each click
    std::vector<std::pair<int, TGridDrawState>> drawn;

    void Click() override
    {
        clicks.push_back(Row());
        TCustomGrid::Click();
    }

protected:
    void DrawCell(int col, int row, const TRect& rect, TGridDrawState state) override
    {
        drawn.emplace_back(row, state);
        TCustomGrid::DrawCell(col, row, rect, state);
    }
    void ClientResized() override { SetColWidth(GridWidth()); }
};

using testsupport::Key;

using testsupport::Mouse;

class Grid : public ::testing::Test {
protected:
    void SetUp() override
    {
        grid = std::make_unique<RecordingGrid>(nullptr);
        grid->Widget()->show();
    }
    std::unique_ptr<RecordingGrid> grid;
};

TEST_F(Grid, KeepsOneRowAndDropsTheCurrentRowSilently)
{
    grid->SetRowCount(0);
    EXPECT_EQ(grid->RowCount(), 1);
    grid->SetRowCount(20);
    grid->SetRow(15);
    EXPECT_EQ(grid->clicks, std::vector<int>{15});
    EXPECT_EQ(grid->TopRow(), 11) << "the current row is brought into view";
    grid->SetRowCount(8);
    EXPECT_EQ(grid->Row(), 7);
    EXPECT_EQ(grid->TopRow(), 3);
    EXPECT_EQ(grid->clicks.size(), 1u) << "shrinking raises nothing";
    grid->SetRow(7);
    EXPECT_EQ(grid->clicks.size(), 1u) << "no move, no click";
}

TEST_F(Grid, KeysMoveTheCurrentRowAndScrollTheView)
{
    grid->SetRowCount(20);
    ASSERT_EQ(grid->VisibleRowCount(), 5);
    Key(*grid, Qt::Key_Down);
    Key(*grid, Qt::Key_Down);
    Key(*grid, Qt::Key_Up);
    Key(*grid, Qt::Key_PageDown);  // four rows: the visible ones minus one
    Key(*grid, Qt::Key_PageUp);
    EXPECT_EQ(grid->clicks, (std::vector<int>{1, 2, 1, 5, 1}));
    grid->clicks.clear();

    Key(*grid, Qt::Key_End, Qt::ControlModifier);
    EXPECT_EQ(grid->TopRow(), 15);
    Key(*grid, Qt::Key_PageUp, Qt::ControlModifier);    // top of the view
    Key(*grid, Qt::Key_PageDown, Qt::ControlModifier);  // bottom of the view
    Key(*grid, Qt::Key_Home, Qt::ControlModifier);
    Key(*grid, Qt::Key_Up);    // first row: stays, no click
    Key(*grid, Qt::Key_Home);  // without Ctrl: nothing for a single column
    Key(*grid, Qt::Key_Right);
    EXPECT_EQ(grid->clicks, (std::vector<int>{19, 15, 19, 0}));
    grid->clicks.clear();

    // Ctrl+Up/Down scroll the view and leave the current row.
    Key(*grid, Qt::Key_Down, Qt::ControlModifier);
    Key(*grid, Qt::Key_Down, Qt::ControlModifier);
    EXPECT_EQ(grid->TopRow(), 2);
    EXPECT_EQ(grid->Row(), 0);
    Key(*grid, Qt::Key_Up, Qt::ControlModifier);
    EXPECT_EQ(grid->TopRow(), 1);
    EXPECT_TRUE(grid->clicks.empty());
    Key(*grid, Qt::Key_Down);  // moving brings the row back into view
    EXPECT_EQ(grid->TopRow(), 1);
    EXPECT_EQ(grid->Row(), 1);

    // A handler may swallow the key.
    grid->OnKeyDown = [](TObject*, unsigned short& key, TShiftState) { key = 0; };
    Key(*grid, Qt::Key_Down);
    EXPECT_EQ(grid->Row(), 1);
}

TEST_F(Grid, MouseWheelAndScrollBar)
{
    grid->SetRowCount(3);
    Mouse(*grid, QEvent::MouseButtonPress, 5, 25, Qt::LeftButton);
    EXPECT_EQ(grid->Row(), 2);
    EXPECT_TRUE(grid->clicks.empty()) << "a press selects, the release clicks";
    Mouse(*grid, QEvent::MouseMove, 5, -3, Qt::LeftButton);
    EXPECT_EQ(grid->Row(), 0);
    Mouse(*grid, QEvent::MouseButtonRelease, 5, -3, Qt::NoButton);
    EXPECT_EQ(grid->clicks, std::vector<int>{0});
    Mouse(*grid, QEvent::MouseMove, 5, 25, Qt::NoButton);
    EXPECT_EQ(grid->Row(), 0) << "without the button the row stays";
    Mouse(*grid, QEvent::MouseButtonPress, 5, 45, Qt::LeftButton);  // below the rows
    Mouse(*grid, QEvent::MouseButtonRelease, 5, 45, Qt::NoButton);
    EXPECT_EQ(grid->Row(), 0);
    EXPECT_EQ(grid->clicks.size(), 1u);

    auto wheel = [&](int delta) {
        QPointF p(5, 5);
        QWheelEvent e(p, grid->Widget()->mapToGlobal(p), QPoint(), QPoint(0, delta), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
        QApplication::sendEvent(grid->Widget(), &e);
    };
    wheel(-120);
    wheel(-60);  // half a notch waits for the other half
    EXPECT_EQ(grid->Row(), 1);
    wheel(-60);
    wheel(-120);  // last row already
    EXPECT_EQ(grid->Row(), 2);
    EXPECT_EQ(grid->clicks, (std::vector<int>{0, 1, 2}));

    EXPECT_FALSE(grid->VertScrollBarVisible()) << "all rows fit";
    EXPECT_EQ(grid->ColWidth(), 80);
    grid->SetRowCount(40);
    ASSERT_TRUE(grid->VertScrollBarVisible());
    EXPECT_EQ(grid->ColWidth(), grid->ClientWidth());
    auto* bar = grid->Widget()->findChild<QScrollBar*>();
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->maximum(), 35);
    bar->setValue(30);
    EXPECT_EQ(grid->TopRow(), 30);
    EXPECT_EQ(grid->Row(), 2);
    EXPECT_EQ(grid->clicks.size(), 3u) << "the bar moves only the view";
    grid->SetRow(39);
    EXPECT_EQ(bar->value(), 35);
    grid->SetScrollBars(ssNone);
    EXPECT_FALSE(grid->VertScrollBarVisible());
    EXPECT_EQ(grid->ColWidth(), 80);
}

TEST_F(Grid, PaintsTheRowsInViewWithTheCurrentOneSelected)
{
    grid->SetRowCount(9);
    grid->SetRow(6);
    grid->drawn.clear();
    QImage img = grid->PaintTo();
    // Rows 2 … 6 are whole, row 7 half in view.
    std::vector<int> rows;
    for (auto& [row, state] : grid->drawn) {
        rows.push_back(row);
        EXPECT_EQ((state & gdSelected) != 0, row == 6) << row;
    }
    EXPECT_EQ(rows, (std::vector<int>{2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(FromQRgb(img.pixel(3, 45)), clHighlight);
    EXPECT_EQ(FromQRgb(img.pixel(3, 35)), clWhite);

    grid->SetBorderStyle(bsSingle);
    img = grid->PaintTo();
    EXPECT_EQ(FromQRgb(img.pixel(0, 0)), clBlack);
    EXPECT_EQ(grid->VisibleRowCount(), 5);
    EXPECT_EQ(grid->RowAt(5, 0), -1) << "the border is no row";
    EXPECT_EQ(grid->RowAt(5, 1), grid->TopRow());
}

}  // namespace
}  // namespace kapo
