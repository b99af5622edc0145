#include "ui/Grids.h"

#include <algorithm>

namespace kapo {

TCustomGrid::TCustomGrid(TComponent* owner) : TCustomControl(owner) {}

TCustomGrid::~TCustomGrid() = default;

int TCustomGrid::GridWidth() const { return std::max(0, ClientWidth() - 2 * BorderWidth()); }

int TCustomGrid::GridHeight() const { return std::max(0, ClientHeight() - 2 * BorderWidth()); }

int TCustomGrid::VisibleRowCount() const { return FRowHeight > 0 ? GridHeight() / FRowHeight : 0; }

int TCustomGrid::MaxTopRow() const { return std::max(0, FRowCount - std::max(1, VisibleRowCount())); }

void TCustomGrid::SetRowCount(int n)
{
    n = std::max(1, n);
    if (n == FRowCount) return;
    FRowCount = n;
    // The one move of the current row that raises nothing: the rows shrank below it.
    if (FRow >= n) FRow = n - 1;
    FTopRow = std::min(FTopRow, MaxTopRow());
    UpdateScrollBar();
    Invalidate();
}

void TCustomGrid::SetRow(int r) { MoveCurrent(r, true); }

void TCustomGrid::MoveCurrent(int row, bool raiseClick)
{
    row = std::clamp(row, 0, FRowCount - 1);
    if (row == FRow) {
        ShowRow(row);
        return;
    }
    FRow = row;
    ShowRow(row);
    Invalidate();
    NotifyAccessibleRow(row);
    if (raiseClick) Click();
}

void TCustomGrid::ShowRow(int row)
{
    int visible = std::max(1, VisibleRowCount());
    int top = FTopRow;
    if (row < top)
        top = row;
    else if (row >= top + visible)
        top = row - visible + 1;
    SetTopRow(top);
}

void TCustomGrid::SetTopRow(int r)
{
    r = std::clamp(r, 0, MaxTopRow());
    if (r == FTopRow) return;
    FTopRow = r;
    UpdateScrollBar();
    Invalidate();
}

void TCustomGrid::SetDefaultRowHeight(int h)
{
    h = std::max(1, h);
    if (h == FRowHeight) return;
    FRowHeight = h;
    FTopRow = std::min(FTopRow, MaxTopRow());
    UpdateScrollBar();
    Invalidate();
}

void TCustomGrid::SetColWidth(int w)
{
    w = std::max(0, w);
    if (w == FColWidth) return;
    FColWidth = w;
    Invalidate();
}

void TCustomGrid::SetScrollBars(TScrollStyle s)
{
    if (s == FScrollBars) return;
    FScrollBars = s;
    UpdateScrollBar();
    ClientResized();
}

void TCustomGrid::SetBorderStyle(TBorderStyle b)
{
    if (b == FBorderStyle) return;
    FBorderStyle = b;
    FTopRow = std::min(FTopRow, MaxTopRow());
    UpdateScrollBar();
    ClientResized();
    Invalidate();
}

void TCustomGrid::UpdateScrollBar()
{
    // The bar is shown only when the rows do not all fit; it never carries a horizontal part.
    bool want = (FScrollBars == ssVertical || FScrollBars == ssBoth) && FRowCount > VisibleRowCount();
    bool had = VertScrollBarVisible();
    if (want) SetVertScrollRange(0, MaxTopRow(), std::max(1, VisibleRowCount()), FTopRow);
    if (want != had) {
        SetVertScrollBarVisible(want);
        ClientResized();
    }
}

void TCustomGrid::VertScrolled(int pos)
{
    // The bar moves the view only: the current row stays and nothing is raised.
    pos = std::clamp(pos, 0, MaxTopRow());
    if (pos == FTopRow) return;
    FTopRow = pos;
    Invalidate();
}

void TCustomGrid::Resize()
{
    FTopRow = std::min(FTopRow, MaxTopRow());
    UpdateScrollBar();
    ClientResized();
    Invalidate();
}

int TCustomGrid::RowAt(int x, int y) const
{
    int b = BorderWidth();
    if (x < b || x >= b + GridWidth() || y < b || y >= b + GridHeight()) return -1;
    int row = FTopRow + (y - b) / FRowHeight;
    return row < FRowCount ? row : -1;
}

TRect TCustomGrid::CellRect(int col, int row) const
{
    if (col != 0 || row < FTopRow || row >= FRowCount) return TRect{};
    int b = BorderWidth();
    int top = b + (row - FTopRow) * FRowHeight;
    if (top >= b + GridHeight()) return TRect{};
    return Bounds(b, top, FColWidth, FRowHeight);
}

void TCustomGrid::Paint()
{
    TCanvas& c = Canvas();
    int b = BorderWidth();
    int bottom = b + GridHeight();
    bool focused = Focused();
    for (int row = FTopRow, top = b; row < FRowCount && top < bottom; ++row, top += FRowHeight) {
        TGridDrawState state = 0;
        if (row == FRow) state |= focused ? gdSelected | gdFocused : unsigned(gdSelected);
        DrawCell(0, row, Bounds(b, top, FColWidth, FRowHeight), state);
    }
    if (b > 0) {
        c.Brush().Color = clWindowFrame;
        c.Brush().Style = bsSolid;
        c.FrameRect(Rect(0, 0, ClientWidth(), ClientHeight()));
    }
}

void TCustomGrid::DrawCell(int col, int row, const TRect& rect, TGridDrawState state)
{
    TCanvas& c = Canvas();
    c.Brush().Style = bsSolid;
    c.Brush().Color = (state & gdSelected) ? clHighlight : Color();
    c.FillRect(rect);
}

void TCustomGrid::MouseDown(TMouseButton button, TShiftState shift, int x, int y)
{
    if (button == mbLeft && !(shift & ssDouble)) {
        int row = RowAt(x, y);
        if (row >= 0) {
            if (Visible() && Enabled()) SetFocus();
            FSelecting = true;
            MoveCurrent(row, false);
        }
    }
    TCustomControl::MouseDown(button, shift, x, y);
}

void TCustomGrid::MouseMove(TShiftState shift, int x, int y)
{
    if (FSelecting) {
        // While the button is held the current row follows the mouse, within the rows.
        int b = BorderWidth();
        int row = FTopRow + (y - b) / FRowHeight;
        if (y < b) row = FTopRow - 1;
        MoveCurrent(std::clamp(row, 0, FRowCount - 1), false);
    }
    TCustomControl::MouseMove(shift, x, y);
}

void TCustomGrid::MouseUp(TMouseButton button, TShiftState shift, int x, int y)
{
    bool click = button == mbLeft && FSelecting;
    if (button == mbLeft) FSelecting = false;
    TCustomControl::MouseUp(button, shift, x, y);
    if (click) Click();
}

void TCustomGrid::KeyDown(unsigned short& key, TShiftState shift)
{
    TCustomControl::KeyDown(key, shift);
    if (key == 0) return;
    bool ctrl = shift & ssCtrl;
    int page = std::max(1, VisibleRowCount() - 1);
    int row = FRow;
    switch (key) {
    case VK_UP:
        if (ctrl) {
            SetTopRow(FTopRow - 1);
            return;
        }
        --row;
        break;
    case VK_DOWN:
        if (ctrl) {
            SetTopRow(FTopRow + 1);
            return;
        }
        ++row;
        break;
    case VK_PRIOR: row = ctrl ? FTopRow : row - page; break;
    case VK_NEXT: row = ctrl ? std::min(FRowCount - 1, FTopRow + std::max(1, VisibleRowCount()) - 1) : row + page; break;
    case VK_HOME:
        if (ctrl) row = 0;
        break;
    case VK_END:
        if (ctrl) row = FRowCount - 1;
        break;
    default: return;
    }
    MoveCurrent(row, true);
}

bool TCustomGrid::DoMouseWheel(TShiftState shift, int wheelDelta, TPoint mousePos)
{
    bool handled = false;
    if (auto handler = OnMouseWheel) handler(this, shift, wheelDelta, mousePos, handled);
    if (handled) return true;
    // One notch (120) moves the current row by one; finer wheels add up to notches.
    FWheelRest += wheelDelta;
    while (FWheelRest <= -120) {
        FWheelRest += 120;
        if (FRow < FRowCount - 1) MoveCurrent(FRow + 1, true);
    }
    while (FWheelRest >= 120) {
        FWheelRest -= 120;
        if (FRow > 0) MoveCurrent(FRow - 1, true);
    }
    return true;
}

}  // namespace kapo
