// The category tree: a single-column grid that shows a tree of text items, one per row, fed
// and read back through an indented line view (Lines).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ui/Grids.h"
#include "ui/StdCtrls.h"

namespace kapo {

// Every failure of the tree that reaches a caller or the error display.
class EOutlineError : public Exception { using Exception::Exception; };
// Loading lines into the tree failed at a line (from 1); the message is the tree's own.
class EOutlineLoadError : public EOutlineError {
public:
    EOutlineLoadError(std::string Msg, int Line) : EOutlineError(std::move(Msg)), FLine(Line) {}
    int Line() const { return FLine; }

private:
    int FLine;
};

enum TOutlineStyle { osText, osPlusMinusText, osPictureText, osPlusMinusPictureText, osTreeText, osTreePictureText };
enum TOutlineOption : unsigned { ooDrawTreeRoot = 1, ooDrawFocusRect = 2, ooStretchBitmaps = 4 };
using TOutlineOptions = unsigned;
enum TOutlineType { otStandard, otOwnerDraw };

using EOutlineChange = std::function<void(TObject* Sender, int Index)>;

class TCustomOutline;

// One item of the tree. Items are created and destroyed by their tree only.
class TOutlineNode : public TObject {
public:
    TOutlineNode(TCustomOutline* owner, std::string text, void* userData);
    ~TOutlineNode() override;  // frees the children first
    TOutlineNode(const TOutlineNode&) = delete;
    TOutlineNode& operator=(const TOutlineNode&) = delete;

    const std::string& Text() const { return FText; }
    void SetText(const std::string& t);
    void* UserData() const { return FUserData; }
    void SetUserData(void* d) { FUserData = d; }
    TOutlineNode* Parent() const { return FParent; }
    const std::vector<TOutlineNode*>& Children() const { return FChildren; }
    bool HasChildren() const { return !FChildren.empty(); }
    // Number in pre-order over the whole tree (root 0); brought up to date on reading.
    int Index() const;
    int Level() const { return FLevel; }  // ancestors: root 0, top-level items 1
    int ShownCount() const { return FShownCount; }
    TCustomOutline* Owner() const { return FOwner; }

    bool Expanded() const { return FExpanded; }
    void SetExpanded(bool e);
    void Expand() { SetExpanded(true); }
    void Collapse() { SetExpanded(false); }
    // Expands the item and, below it, every item that has children.
    void FullExpand();
    // Every ancestor is expanded, so the item has a row.
    bool IsVisible() const;

private:
    friend class TCustomOutline;
    std::string FText;
    void* FUserData;
    TOutlineNode* FParent = nullptr;
    TCustomOutline* FOwner;
    std::vector<TOutlineNode*> FChildren;  // owned
    mutable int FIndex = 0;  // valid up to the tree's last renumbered item
    int FShownCount = 0;
    int FPosition = 0;  // place among the parent's children
    std::uint16_t FLevel = 0;  // items never change parents, so the level is fixed
    bool FExpanded = false;
};

// The tree's items as indented lines: one TAB per level below the top.
class TOutlineStrings : public TStrings {
public:
    explicit TOutlineStrings(TCustomOutline* outline) : FOutline(outline) {}
    int Count() const override;
    std::string Get(int index) const override;
    void Put(int index, const std::string& s) override;  // replaces the item's text
    void* GetObject(int index) const override;
    void PutObject(int index, void* obj) override;
    int Add(const std::string& s) override;
    int AddObject(const std::string& s, void* obj) override;
    void Insert(int index, const std::string& s) override;
    void Delete(int index) override;
    void Clear() override;
    // Lines are added straight from the text as they are split, with no list in between.
    void SetText(const std::string& text) override;
    void LoadFromFile(const std::string& fileName) override;

private:
    void AddText(const char* data, std::size_t size);
    TCustomOutline* FOutline;
};

class TCustomOutline : public TCustomGrid {
public:
    explicit TCustomOutline(TComponent* owner);
    ~TCustomOutline() override;

    TStrings& Lines() { return *FStrings; }
    // Takes over the lines and objects of another list.
    void SetLines(const TStrings& lines);

    int ItemCount() const;
    // Item by number (1 … ItemCount).
    TOutlineNode* Items(int index) const;
    // Number of the selected item; 0 only when the tree is empty.
    int SelectedItem();
    void SetSelectedItem(int index);

    // Each returns the new item's number (0 when the add was refused and shown).
    int AddChild(int index, const std::string& text);
    int AddChildObject(int index, const std::string& text, void* data);
    // Before item index as its sibling; index 0 appends at the top level.
    int Insert(int index, const std::string& text);
    int InsertObject(int index, const std::string& text, void* data);
    // Adds one indented line; returns the new item's number - 1, -1 when refused and shown.
    int AddLine(std::string_view line);
    // The line of item index: TABs for the levels below the top, then the text.
    std::string LineOf(int index) const;
    void Delete(int index);
    void Clear();
    void FullExpand();
    // While updates are pending, the selection and the rows are left alone.
    void BeginUpdate();
    void EndUpdate();

    TOutlineStyle OutlineStyle() const { return FOutlineStyle; }
    void SetOutlineStyle(TOutlineStyle s);
    TOutlineOptions Options() const { return FOptions; }
    void SetOptions(TOutlineOptions o);
    TOutlineType Style() const { return FStyle; }
    void SetStyle(TOutlineType s);
    int ItemHeight() const { return DefaultRowHeight(); }
    void SetItemHeight(int h);
    const std::string& ItemSeparator() const { return FItemSeparator; }
    void SetItemSeparator(const std::string& s) { FItemSeparator = s; }
    // Side of the square each picture is drawn in.
    int PictureBoxSize() const { return FBoxSize; }

    TBitmap& PicturePlus() { return *FPictures[0]; }
    TBitmap& PictureMinus() { return *FPictures[1]; }
    TBitmap& PictureOpen() { return *FPictures[2]; }
    TBitmap& PictureClosed() { return *FPictures[3]; }
    TBitmap& PictureLeaf() { return *FPictures[4]; }

    // Row of a shown item and item of a row (null outside the shown rows).
    int RowOf(const TOutlineNode* node) const;
    TOutlineNode* ItemAtRow(int row) const;

    EOutlineChange OnExpand;
    EOutlineChange OnCollapse;
    TDrawItemEvent OnDrawItem;

    void Click() override;
    void DblClick() override;
    void MouseDown(TMouseButton button, TShiftState shift, int x, int y) override;
    void KeyDown(unsigned short& key, TShiftState shift) override;
    void KeyPress(char& key) override;
    void FontChanged() override;
    // The shown rows.
    int AccessibleRowCount() const override;
    TAccessibleRow AccessibleRow(int row) const override;

protected:
    QAccessible::Role DefaultAccessibleRole() const override { return QAccessible::Tree; }
    // Raise OnExpand (before an item opens) and OnCollapse (after it closed).
    virtual void Expand(int index);
    virtual void Collapse(int index);
    void DrawCell(int col, int row, const TRect& rect, TGridDrawState state) override;
    void ClientResized() override;
    // A beep for keys that cannot act.
    virtual void Beep();

private:
    friend class TOutlineNode;
    friend class TOutlineStrings;

    class OutlineError : public Exception { using Exception::Exception; };

    int InternalAdd(int index, std::string text, void* data, bool insert);
    TOutlineNode* FindItem(int index) const;       // raises OutlineError
    TOutlineNode* ItemOrError(int index) const;    // raises EOutlineError
    bool IsNumbered(const TOutlineNode* node) const;  // its Index is up to date
    int NumberOf(const TOutlineNode* node) const;     // renumbers forward as needed
    bool IsAfter(const TOutlineNode* a, const TOutlineNode* b) const;
    TOutlineNode* NextInOrder(const TOutlineNode* node) const;
    TOutlineNode* LastItem() const;
    void MoveRenumberedBack(TOutlineNode* changed);
    void AdjustShown(TOutlineNode* from, int delta);
    void ExpandNode(TOutlineNode* node);
    void CollapseNode(TOutlineNode* node);
    void CollapseSubtree(TOutlineNode* node);
    void AfterToggle(TOutlineNode* node, int oldRows);
    void SyncRows();
    void SelectNode(TOutlineNode* node);
    TOutlineNode* ShownAncestor(TOutlineNode* node) const;
    void NodeTextChanged(TOutlineNode* node);
    void UpdateSizes();
    void UpdateColumnWidth();
    int ItemExtent(const TOutlineNode* node) const;  // width its row needs
    void DrawItem(TOutlineNode* node, const TRect& rect, bool current);
    void DrawPicture(const TBitmap& bmp, int x, const TRect& rect);
    static void ShowError(const std::exception& e);

    std::unique_ptr<TOutlineNode> FRoot;
    std::unique_ptr<TOutlineStrings> FStrings;
    std::unique_ptr<TBitmap> FPictures[5];
    TOutlineNode* FCurItem = nullptr;
    mutable TOutlineNode* FLastRenumbered = nullptr;
    mutable TOutlineNode* FLastLookup = nullptr;
    int FUpdateCount = 0;
    unsigned FGeneration = 0;  // counts removals, so code around events notices freed items
    int FBoxSize = 0;
    TOutlineStyle FOutlineStyle = osTreePictureText;
    TOutlineOptions FOptions = ooDrawTreeRoot | ooDrawFocusRect;
    TOutlineType FStyle = otStandard;
    int FItemHeight = 0;  // the owner-drawn row height, kept while the style is standard
    std::string FItemSeparator = "\\";
};

// The tree with its settings published.
class TOutline : public TCustomOutline {
public:
    using TCustomOutline::TCustomOutline;
};

}  // namespace kapo
