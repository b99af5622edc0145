// A drop-down list: a closed box that shows the selected row and a button, and a pop-up list
// of the rows. Rows are drawn through DrawItem on the control's canvas, in the box and in the
// pop-up alike, so owner-drawn lists look the same in both.
#pragma once

#include <QPointer>

#include "ui/StdCtrls.h"

namespace kapo {

enum TComboBoxStyle { csDropDownList, csOwnerDrawFixed };

// Passed to DrawItem when the row is drawn in the closed box rather than in the pop-up.
constexpr TOwnerDrawState odComboBoxEdit = 0x1000;

class TCustomComboBox;
class KComboPopup;

// Every selection the user makes (a row of the pop-up, the arrow keys, Home/End, the wheel on the
// closed box) raises Click, then Change; selections made by code raise neither.
class TCustomComboBox : public TCustomControl, private TRowOwner {
public:
    explicit TCustomComboBox(TComponent* owner);
    ~TCustomComboBox() override;

    TStrings& Items() { return FStrings; }
    int ItemIndex() const { return FItemIndex; }
    virtual void SetItemIndex(int i);  // -1 for none; out of range is none
    int ItemHeight() const { return FItemHeight; }
    // Also makes the closed box the row's height plus its frame.
    void SetItemHeight(int h);
    TComboBoxStyle Style() const { return FStyle; }
    void SetStyle(TComboBoxStyle s);
    int DropDownCount() const { return FDropDownCount; }
    void SetDropDownCount(int n) { FDropDownCount = n < 1 ? 1 : n; }
    bool DroppedDown() const;
    void SetDroppedDown(bool d);
    void Clear() { FStrings.Clear(); }

    // Where the selected row is drawn inside the closed box, and the button's rectangle.
    TRect EditRect() const;
    TRect ButtonRect() const;
    // The open pop-up list (null while closed), its first shown row and a row's rectangle in it.
    QWidget* DropDownWidget() const;
    int DropDownTopIndex() const { return FDropTop; }
    TRect DropDownItemRect(int index) const;
    // Paints the pop-up list's rows into a new image of the pop-up's size.
    QImage PaintDropDownTo();

    TDrawItemEvent OnDrawItem;
    TNotifyEvent OnChange;
    TNotifyEvent OnDropDown;

    // Draws one row; the default fills and writes the text.
    virtual void DrawItem(int index, const TRect& rect, TOwnerDrawState state);
    // The width a row needs to be read whole; the open list is as wide as its widest row (at
    // least the box's width, at most the screen's). Owner-drawn lists that draw more override it.
    virtual int ItemWidth(int index);
    virtual void Change();
    virtual void DropDown();

    void Paint() override;
    void MouseDown(TMouseButton button, TShiftState shift, int x, int y) override;
    void KeyDown(unsigned short& key, TShiftState shift) override;
    bool DoMouseWheel(TShiftState shift, int wheelDelta, TPoint mousePos) override;
    void Resize() override { Invalidate(); }

protected:
    friend class KComboPopup;
    std::vector<TRow> FRows;
    void RowsChanged() override;
    void RowsCleared() override
    {
        FHot = -1;
        FDropTop = 0;
    }
    // A selection made by the user: Click then Change, when it differs from the current one.
    void SelectByUser(int index);
    // Sets the canvas up for a row in the given state and draws it.
    void PaintRow(int index, const TRect& rect, TOwnerDrawState state);

private:
    void PaintDropDown(QImage& img);
    void CloseUp(int selectIndex);
    int DropDownRows() const;
    int DropDownWidth();
    void UpdatePopupScroll();

    int FItemIndex = -1;
    TRowStrings FStrings{FRows, FItemIndex, *this};
    int FItemHeight = 16;
    TComboBoxStyle FStyle = csDropDownList;
    int FDropDownCount = 8;
    QPointer<KComboPopup> FPopup;  // a child of the control's widget, deleted with it
    int FDropTop = 0;
    int FHot = -1;  // the row under the mouse or the keys in the pop-up
};

}  // namespace kapo
