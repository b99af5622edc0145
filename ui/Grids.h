// The row grid: a single column of equally high rows with a current row, scrolled by a
// vertical scroll bar, the keyboard and the mouse wheel. Controls that show one item per row
// (the category tree) derive from it and draw the cells.
#pragma once

#include "ui/Controls.h"

namespace kapo {

enum TScrollStyle { ssNone, ssHorizontal, ssVertical, ssBoth };

enum TGridDrawStateFlag : unsigned { gdSelected = 1, gdFocused = 2, gdFixed = 4 };
using TGridDrawState = unsigned;

class TCustomGrid : public TCustomControl {
public:
    explicit TCustomGrid(TComponent* owner);
    ~TCustomGrid() override;

    // Always one column; there are no fixed rows or columns and no grid lines.
    int ColCount() const { return 1; }
    int RowCount() const { return FRowCount; }
    // At least one row is kept. When the rows shrink below the current row, the current row
    // drops to the new last row without a click.
    void SetRowCount(int n);
    // The current row; moving it shows it and raises the click.
    int Row() const { return FRow; }
    void SetRow(int r);
    // First row in view; moves the view only.
    int TopRow() const { return FTopRow; }
    void SetTopRow(int r);
    int DefaultRowHeight() const { return FRowHeight; }
    void SetDefaultRowHeight(int h);
    int ColWidth() const { return FColWidth; }
    void SetColWidth(int w);
    // Rows that fit entirely into the client area.
    int VisibleRowCount() const;
    TScrollStyle ScrollBars() const { return FScrollBars; }
    void SetScrollBars(TScrollStyle s);
    TBorderStyle BorderStyle() const { return FBorderStyle; }
    void SetBorderStyle(TBorderStyle b);

    // Row under a client point, -1 outside the rows.
    int RowAt(int x, int y) const;
    TRect CellRect(int col, int row) const;  // empty when the row is out of view
    // Width and height of the area the cells use (the client area inside the border).
    int GridWidth() const;
    int GridHeight() const;

    void Paint() override;
    void MouseDown(TMouseButton button, TShiftState shift, int x, int y) override;
    void MouseMove(TShiftState shift, int x, int y) override;
    void MouseUp(TMouseButton button, TShiftState shift, int x, int y) override;
    void KeyDown(unsigned short& key, TShiftState shift) override;
    bool DoMouseWheel(TShiftState shift, int wheelDelta, TPoint mousePos) override;
    void VertScrolled(int pos) override;
    void Resize() override;

protected:
    virtual void DrawCell(int col, int row, const TRect& rect, TGridDrawState state);
    // The client width changed (resize, scroll bar shown or hidden).
    virtual void ClientResized() {}
    // Moves the current row and scrolls it into view; raises the click when asked and moved.
    void MoveCurrent(int row, bool raiseClick);
    void UpdateScrollBar();
    int BorderWidth() const { return FBorderStyle == bsSingle ? 1 : 0; }

private:
    int MaxTopRow() const;
    void ShowRow(int row);

    int FRowCount = 1;
    int FRow = 0;
    int FTopRow = 0;
    int FRowHeight = 24;
    int FColWidth = 64;
    TScrollStyle FScrollBars = ssBoth;
    TBorderStyle FBorderStyle = bsSingle;
    bool FSelecting = false;  // the left button is held after a press on a row
    int FWheelRest = 0;        // wheel delta below one notch, kept for the next event
};

}  // namespace kapo
