// Standard controls: label, single-line edit, list box, memo.
#pragma once

#include <QString>

#include "ui/Controls.h"
#include "ui/RowStrings.h"

class QLineEdit;
class QPlainTextEdit;

namespace kapo {

class TLabel : public TGraphicControl {
public:
    explicit TLabel(TComponent* owner);
    const std::string& Caption() const { return FCaption; }
    void SetCaption(const std::string& c);
    bool Transparent() const { return FTransparent; }
    void SetTransparent(bool t);
    bool AutoSize() const { return FAutoSize; }
    void SetAutoSize(bool a);
    TAlignment Alignment() const { return FAlignment; }
    void SetAlignment(TAlignment a);
    // The control the label names; assistive technology gives it the label's caption as name.
    TWinControl* FocusControl() const { return FFocusControl; }
    void SetFocusControl(TWinControl* c);
    void Paint() override;
    void FontChanged() override;

protected:
    QAccessible::Role DefaultAccessibleRole() const override { return QAccessible::StaticText; }
    std::string DefaultAccessibleName() const override { return FCaption; }
    void Notification(TComponent* component, TOperation operation) override;

private:
    void AdjustBounds();
    TWinControl* FFocusControl = nullptr;
    std::string FCaption;
    bool FTransparent = false;
    bool FAutoSize = true;
    TAlignment FAlignment = taLeftJustify;
};

// The property that marks the line edit of a TEdit with an accessible text filter; it holds the
// TEdit.
inline constexpr const char* AccessibleFilteredEdit = "kapoAccessibleFilteredEdit";

// A single-line edit: text set by the program or inserted by the user is taken up to its first
// line break (CR, LF or NUL).
class TEdit : public TWinControl {
public:
    explicit TEdit(TComponent* owner);
    std::string Text() const;
    // Shows the text from its start.
    void SetText(const std::string& t);
    char PasswordChar() const { return FPasswordChar; }
    void SetPasswordChar(char c);
    // What assistive technology reads of the text: the text through Filter, which keeps its
    // length in characters (a secret in it masked character by character). Set before the
    // window is first shown.
    using TTextFilter = std::function<std::string(const std::string& Text)>;
    void SetAccessibleTextFilter(TTextFilter Filter);
    std::string AccessibleText() const;
    TBorderStyle BorderStyle() const { return FBorderStyle; }
    void SetBorderStyle(TBorderStyle b);
    void SetColor(TColor c) override;
    void FontChanged() override;
    QLineEdit* LineEdit() const;

    TNotifyEvent OnChange;

private:
    void UpdateStyle();
    std::string FRawText;  // the bytes last given to SetText
    QString FShownText;    // how they are shown
    char FPasswordChar = 0;
    TBorderStyle FBorderStyle = bsSingle;
    TTextFilter FAccessibleTextFilter;
};

enum TListBoxStyle { lbStandard, lbOwnerDrawFixed };
enum TOwnerDrawStateFlag : unsigned { odSelected = 1, odFocused = 2, odDisabled = 4 };
using TOwnerDrawState = unsigned;
using TDrawItemEvent = std::function<void(TObject* Sender, int Index, TRect Rect, TOwnerDrawState State)>;

// A scrolling list of rows with one highlighted row (ItemIndex, -1 for none). A single click
// or an arrow key moves the highlight; double click and Enter are left to the owner. With
// MultiSelect, Ctrl+click adds or takes away a row, Shift+click and Shift with the arrow keys
// select every row from the last one chosen alone; the highlighted row is the one last moved to.
class TCustomListBox : public TCustomControl, private TRowOwner {
public:
    explicit TCustomListBox(TComponent* owner);
    ~TCustomListBox() override;

    TStrings& Items() { return FSource ? *FSource : FStrings; }
    // Shows Source's rows (not owned, read as they are drawn) in place of the list's own, which
    // come back when it is called with nullptr; Items() is Source meanwhile. Called again
    // after Source changed. Leaves no row highlighted.
    void SetRowSource(TStrings* Source);
    int ItemIndex() const { return FItemIndex; }
    virtual void SetItemIndex(int i);
    int TopIndex() const { return FTopIndex; }
    void SetTopIndex(int i);
    int ItemHeight() const { return FItemHeight; }
    void SetItemHeight(int h);
    TListBoxStyle Style() const { return FStyle; }
    void SetStyle(TListBoxStyle s) { FStyle = s; Invalidate(); }
    TBorderStyle BorderStyle() const { return FBorderStyle; }
    void SetBorderStyle(TBorderStyle b) { FBorderStyle = b; Invalidate(); }
    bool Sorted() const { return FSorted; }
    void SetSorted(bool s) { FSorted = s; }
    bool MultiSelect() const { return FMultiSelect; }
    void SetMultiSelect(bool m);
    // Whether the row is selected; without MultiSelect only the highlighted row is.
    bool Selected(int index) const;
    void SetSelected(int index, bool selected);
    int SelCount() const;
    int ItemAtPos(int x, int y) const;  // -1 outside the rows
    TRect ItemRect(int index) const;
    void Clear() { FStrings.Clear(); }

    TDrawItemEvent OnDrawItem;

    int AccessibleRowCount() const override { return RowCount(); }
    TAccessibleRow AccessibleRow(int index) const override;
    void Paint() override;
    void MouseDown(TMouseButton button, TShiftState shift, int x, int y) override;
    void KeyDown(unsigned short& key, TShiftState shift) override;
    bool DoMouseWheel(TShiftState shift, int wheelDelta, TPoint mousePos) override;
    void VertScrolled(int pos) override;
    void Resize() override { UpdateScroll(); }
    // Draws one row; the default fills and writes the text (owner-drawn lists override it).
    virtual void DrawItem(int index, const TRect& rect, TOwnerDrawState state);

protected:
    QAccessible::Role DefaultAccessibleRole() const override { return QAccessible::List; }
    std::vector<TRow> FRows;
    void RowsChanged() override;
    void RowsCleared() override { FTopIndex = 0; }
    bool RowsSorted() const override { return FSorted; }
    void MakeVisible(int index);
    void UpdateScroll();
    int VisibleRows() const;

private:
    int RowCount() const { return FSource ? FSource->Count() : static_cast<int>(FRows.size()); }
    std::string RowText(int index) const;
    // Moves the highlight as a click or a key does, selecting by the keys held.
    void MoveTo(int index, TShiftState shift, bool toggle);
    TStrings* FSource = nullptr;
    int FItemIndex = -1;
    bool FMultiSelect = false;
    // Rows selected besides the highlight; empty while the highlighted row is all.
    std::vector<bool> FSelected;
    int FAnchor = -1;
    TRowStrings FStrings{FRows, FItemIndex, *this};
    int FTopIndex = 0;
    int FItemHeight = 13;
    TListBoxStyle FStyle = lbStandard;
    TBorderStyle FBorderStyle = bsSingle;
    bool FSorted = false;
};

class TListBox : public TCustomListBox {
public:
    using TCustomListBox::TCustomListBox;
};

// Lines of a memo: reading past the last line gives empty text; a line reads as at most
// 4096 characters.
class TMemoLines : public TStringList {
public:
    std::string Get(int index) const override;
};

// A multi-line text control whose lines are a string list.
class TMemo : public TWinControl {
public:
    explicit TMemo(TComponent* owner);
    ~TMemo() override;
    TMemoLines& Lines() { return FLines; }
    bool WordWrap() const { return FWordWrap; }
    void SetWordWrap(bool w);

private:
    friend class KMemoEdit;
    // The lines are in the widget only while it is shown: hidden, it holds no text that
    // another program could read through the accessibility tree.
    void LinesChanged();
    TMemoLines FLines;
    bool FWordWrap = true;
};

}  // namespace kapo
