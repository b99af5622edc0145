#include "widgets/Outline.h"

#include <QApplication>

#include <algorithm>

#include "ui/Forms.h"

namespace kapo {

namespace {

const char* const kPictureNames[5] = {"PLUS", "MINUS", "OPEN", "CLOSED", "LEAF"};

// The deepest item that may still get children: items go down to level 256.
constexpr int kMaxParentLevel = 255;

// Tree lines are not drawn; the tree styles show what the matching plain styles show.
bool HasPlusMinus(TOutlineStyle s) { return s == osPlusMinusText || s == osPlusMinusPictureText; }
bool HasPicture(TOutlineStyle s) { return s == osPictureText || s == osPlusMinusPictureText || s == osTreePictureText; }

}  // namespace

// ---- TOutlineNode --------------------------------------------------------------------

TOutlineNode::TOutlineNode(TCustomOutline* owner, std::string text, void* userData)
    : FText(std::move(text)), FUserData(userData), FOwner(owner)
{
}

TOutlineNode::~TOutlineNode()
{
    for (TOutlineNode* c : FChildren) delete c;
}

void TOutlineNode::SetText(const std::string& t)
{
    if (t == FText) return;
    FText = t;
    FOwner->NodeTextChanged(this);
}

int TOutlineNode::Index() const { return FOwner->NumberOf(this); }

void TOutlineNode::SetExpanded(bool e)
{
    if (e)
        FOwner->ExpandNode(this);
    else
        FOwner->CollapseNode(this);
}

bool TOutlineNode::IsVisible() const
{
    for (const TOutlineNode* p = FParent; p; p = p->FParent)
        if (!p->FExpanded) return false;
    return true;
}

void TOutlineNode::FullExpand()
{
    if (!HasChildren()) return;
    TCustomOutline* owner = FOwner;
    unsigned generation = owner->FGeneration;
    Expand();
    // A handler of the expand event may have removed items, this one included.
    for (std::size_t i = 0; owner->FGeneration == generation && i < FChildren.size(); ++i)
        FChildren[i]->FullExpand();
}

// ---- TOutlineStrings -----------------------------------------------------------------

int TOutlineStrings::Count() const { return FOutline->ItemCount(); }

std::string TOutlineStrings::Get(int index) const { return FOutline->LineOf(index + 1); }

void TOutlineStrings::Put(int index, const std::string& s) { FOutline->Items(index + 1)->SetText(s); }

void* TOutlineStrings::GetObject(int index) const { return FOutline->Items(index + 1)->UserData(); }

void TOutlineStrings::PutObject(int index, void* obj) { FOutline->Items(index + 1)->SetUserData(obj); }

int TOutlineStrings::Add(const std::string& s) { return FOutline->AddLine(s); }

int TOutlineStrings::AddObject(const std::string& s, void* obj)
{
    int i = Add(s);
    // A refused line has no item to carry the object.
    if (i >= 0) PutObject(i, obj);
    return i;
}

void TOutlineStrings::Insert(int index, const std::string& s) { FOutline->Insert(index + 1, s); }

void TOutlineStrings::Delete(int index) { FOutline->Delete(index + 1); }

void TOutlineStrings::Clear() { FOutline->Clear(); }

void TOutlineStrings::SetText(const std::string& text) { AddText(text.data(), text.size()); }

void TOutlineStrings::LoadFromFile(const std::string& fileName)
{
    // The whole file is read first, so one that cannot be read leaves the tree as it was.
    TMemoryStream m;
    m.LoadFromFile(fileName);
    AddText(m.Memory(), static_cast<std::size_t>(m.Size()));
}

void TOutlineStrings::AddText(const char* data, std::size_t size)
{
    // The splitting rules of the string-list text form: a line ends at CR, LF or NUL; one CR
    // and then one LF are skipped after it; NUL ends the text.
    TUpdateLock lock(*this);
    Clear();
    std::size_t i = 0;
    int line = 0;
    while (i < size && data[i] != '\0') {
        std::size_t start = i;
        while (i < size && data[i] != '\0' && data[i] != '\r' && data[i] != '\n') ++i;
        ++line;
        try {
            FOutline->AddLine(std::string_view(data + start, i - start));
        } catch (const EOutlineLoadError&) {
            throw;
        } catch (const EOutlineError& e) {
            throw EOutlineLoadError(e.Message(), line);
        }
        if (i < size && data[i] == '\r') ++i;
        if (i < size && data[i] == '\n') ++i;
    }
}

// ---- TCustomOutline: construction ----------------------------------------------------

TCustomOutline::TCustomOutline(TComponent* owner) : TCustomGrid(owner)
{
    FStrings = std::make_unique<TOutlineStrings>(this);
    for (int i = 0; i < 5; ++i) {
        FPictures[i] = std::make_unique<TBitmap>();
        FPictures[i]->LoadFromResourceName(kPictureNames[i]);
    }
    FRoot = std::make_unique<TOutlineNode>(this, std::string(), nullptr);
    FRoot->FExpanded = true;
    FCurItem = FLastRenumbered = FLastLookup = FRoot.get();
    SetColor(clWindow);
    SetBounds(Left(), Top(), 121, 97);
    SetRowCount(0);
    UpdateSizes();
    ClientResized();
}

TCustomOutline::~TCustomOutline() = default;

void TCustomOutline::ShowError(const std::exception& e)
{
    if (Application)
        Application->HandleException(e);
    else
        throw EOutlineError(e.what());
}

// ---- numbering -----------------------------------------------------------------------

bool TCustomOutline::IsAfter(const TOutlineNode* a, const TOutlineNode* b) const
{
    if (a == b) return false;
    int la = a->Level(), lb = b->Level();
    while (la > lb) {
        a = a->FParent;
        --la;
        if (a == b) return true;  // a descends from b
    }
    while (lb > la) {
        b = b->FParent;
        --lb;
        if (a == b) return false;  // b descends from a
    }
    while (a->FParent != b->FParent) {
        a = a->FParent;
        b = b->FParent;
    }
    return a->FPosition > b->FPosition;
}

TOutlineNode* TCustomOutline::NextInOrder(const TOutlineNode* node) const
{
    if (!node->FChildren.empty()) return node->FChildren.front();
    for (const TOutlineNode* n = node; n->FParent; n = n->FParent) {
        const auto& siblings = n->FParent->FChildren;
        if (static_cast<std::size_t>(n->FPosition) + 1 < siblings.size()) return siblings[static_cast<std::size_t>(n->FPosition) + 1];
    }
    return nullptr;
}

bool TCustomOutline::IsNumbered(const TOutlineNode* node) const
{
    return node == FRoot.get() || node == FLastRenumbered || !IsAfter(node, FLastRenumbered);
}

int TCustomOutline::NumberOf(const TOutlineNode* node) const
{
    if (IsNumbered(node)) return node->FIndex;
    // Numbers are valid up to the last renumbered item; walk on from there to the item.
    TOutlineNode* n = FLastRenumbered;
    int index = n->FIndex;
    while (n != node) {
        n = NextInOrder(n);
        n->FIndex = ++index;
    }
    FLastRenumbered = n;
    return index;
}

void TCustomOutline::MoveRenumberedBack(TOutlineNode* changed)
{
    // Numbers after a changed place are stale; keep only what lies before it.
    if (FLastRenumbered != changed && !IsAfter(FLastRenumbered, changed)) return;
    TOutlineNode* parent = changed->FParent;
    FLastRenumbered = changed->FPosition > 0 ? parent->FChildren[static_cast<std::size_t>(changed->FPosition) - 1] : parent;
}

TOutlineNode* TCustomOutline::LastItem() const
{
    TOutlineNode* n = FRoot.get();
    while (!n->FChildren.empty()) n = n->FChildren.back();
    return n;
}

int TCustomOutline::ItemCount() const { return NumberOf(LastItem()); }

TOutlineNode* TCustomOutline::FindItem(int index) const
{
    if (index < 0) throw OutlineError("Outline index not found");
    if (FLastLookup) {
        int cached = NumberOf(FLastLookup);
        if (cached == index) return FLastLookup;
        // Reading items in order: the next number is the next item in pre-order.
        if (cached + 1 == index) {
            if (TOutlineNode* next = NextInOrder(FLastLookup)) return FLastLookup = next;
            throw OutlineError("Outline index not found");
        }
    }
    TOutlineNode* node = FRoot.get();
    for (;;) {
        if (NumberOf(node) == index) return FLastLookup = node;
        const auto& children = node->FChildren;
        if (children.empty()) throw OutlineError("Outline index not found");
        // The wanted item lies below the last child whose number does not exceed it. Loading
        // appends at the end, so the last child is tried first when its number is known.
        int lo = 0, hi = static_cast<int>(children.size()) - 1, found = -1;
        if (IsNumbered(children.back()) && children.back()->FIndex <= index) {
            found = hi;
            lo = hi + 1;
        }
        while (lo <= hi) {
            int mid = lo + (hi - lo) / 2;
            if (NumberOf(children[static_cast<std::size_t>(mid)]) <= index) {
                found = mid;
                lo = mid + 1;
            } else {
                hi = mid - 1;
            }
        }
        if (found < 0) throw OutlineError("Outline index not found");
        node = children[static_cast<std::size_t>(found)];
    }
}

TOutlineNode* TCustomOutline::ItemOrError(int index) const
{
    try {
        return FindItem(index);
    } catch (const OutlineError&) {
        throw EOutlineError("Outline index not found");
    }
}

TOutlineNode* TCustomOutline::Items(int index) const
{
    if (index == 0) throw EOutlineError("Invalid outline index");
    return ItemOrError(index);
}

std::string TCustomOutline::LineOf(int index) const
{
    TOutlineNode* node = Items(index);
    int level = node->Level();
    std::string line;
    line.reserve(static_cast<std::size_t>(level - 1) + node->FText.size());
    line.append(static_cast<std::size_t>(level - 1), '\t');
    line += node->FText;
    return line;
}

// ---- adding, inserting, deleting -----------------------------------------------------

int TCustomOutline::AddLine(std::string_view line)
{
    std::size_t k = 0;
    while (k < line.size() && (line[k] == '\t' || line[k] == ' ')) ++k;
    // Compare the last item's level with the new line's indentation; only a line more than
    // one beyond that level is refused.
    TOutlineNode* last = LastItem();
    std::int64_t level = last->Level();
    std::int64_t indent = static_cast<std::int64_t>(k);
    TOutlineNode* parent = last;
    if (level < indent || last == FRoot.get()) {
        if (indent - level > 1) throw EOutlineError("File load error");
    } else {
        for (std::int64_t up = level - indent; up > 0; --up) parent = parent->FParent;
    }
    return InternalAdd(NumberOf(parent), std::string(line.substr(k)), nullptr, false) - 1;
}

int TCustomOutline::AddChild(int index, const std::string& text) { return InternalAdd(index, text, nullptr, false); }

int TCustomOutline::AddChildObject(int index, const std::string& text, void* data)
{
    return InternalAdd(index, text, data, false);
}

int TCustomOutline::Insert(int index, const std::string& text) { return InternalAdd(index, text, nullptr, true); }

int TCustomOutline::InsertObject(int index, const std::string& text, void* data)
{
    return InternalAdd(index, text, data, true);
}

int TCustomOutline::InternalAdd(int index, std::string text, void* data, bool insert)
{
    if (index < 0) throw EOutlineError("Invalid outline index");
    auto node = std::make_unique<TOutlineNode>(this, std::move(text), data);
    int result = 0;
    unsigned generation = FGeneration;
    try {
        TOutlineNode* target = FindItem(index);
        TOutlineNode* parent = target;
        std::size_t pos = target->FChildren.size();
        if (!insert) {
            if (target->Level() > kMaxParentLevel) throw EOutlineError("Maximum outline depth exceeded");
        } else if (index > 0) {
            parent = target->FParent;
            pos = static_cast<std::size_t>(target->FPosition);
        }
        TOutlineNode* added = node.get();
        added->FParent = parent;
        added->FLevel = static_cast<std::uint16_t>(parent->FLevel + 1);
        parent->FChildren.insert(parent->FChildren.begin() + static_cast<std::ptrdiff_t>(pos), added);
        node.release();  // the parent owns it now
        for (std::size_t i = pos; i < parent->FChildren.size(); ++i) parent->FChildren[i]->FPosition = static_cast<int>(i);
        MoveRenumberedBack(added);
        AdjustShown(parent, 1 + added->FShownCount);
        result = NumberOf(added);
        if (FUpdateCount == 0) {
            if ((ScrollBars() == ssHorizontal || ScrollBars() == ssBoth) && added->IsVisible())
                SetColWidth(std::max(ColWidth(), ItemExtent(added)));
            SyncRows();
        }
    } catch (const OutlineError&) {
        ShowError(EOutlineError("Outline index not found"));
    } catch (const std::exception& e) {
        // A failure before the item joined the tree discards it (node still owns it); one
        // raised by a click handler during the resynchronisation leaves it in place.
        ShowError(e);
    }
    // A click handler that cleared the tree meanwhile leaves nothing to look up.
    if (generation != FGeneration) return result;
    try {
        FLastLookup = FindItem(index);
    } catch (const OutlineError&) {
        throw EOutlineError("Outline index not found");
    }
    return result;
}

void TCustomOutline::AdjustShown(TOutlineNode* from, int delta)
{
    for (TOutlineNode* p = from; p && p->FExpanded; p = p->FParent) p->FShownCount += delta;
}

void TCustomOutline::Delete(int index)
{
    if (index <= 0) throw EOutlineError("Invalid outline index");
    TOutlineNode* node = ItemOrError(index);
    TOutlineNode* parent = node->FParent;
    MoveRenumberedBack(node);
    auto inSubtree = [node](const TOutlineNode* n) {
        for (; n; n = n->FParent)
            if (n == node) return true;
        return false;
    };
    if (inSubtree(FLastLookup)) FLastLookup = FRoot.get();
    // The current item, or an item below it, goes: the selection is not settled any more.
    if (inSubtree(FCurItem)) FCurItem = FRoot.get();
    AdjustShown(parent, -(1 + node->FShownCount));
    auto pos = static_cast<std::size_t>(node->FPosition);
    parent->FChildren.erase(parent->FChildren.begin() + static_cast<std::ptrdiff_t>(pos));
    for (std::size_t i = pos; i < parent->FChildren.size(); ++i) parent->FChildren[i]->FPosition = static_cast<int>(i);
    delete node;
    ++FGeneration;
    if (parent != FRoot.get() && parent->FChildren.empty()) parent->FExpanded = false;
    if (FUpdateCount == 0) {
        UpdateColumnWidth();
        SyncRows();
        Invalidate();
    }
}

void TCustomOutline::Clear()
{
    FRoot = std::make_unique<TOutlineNode>(this, std::string(), nullptr);
    FRoot->FExpanded = true;
    FCurItem = FLastRenumbered = FLastLookup = FRoot.get();
    FUpdateCount = 0;
    ++FGeneration;
    UpdateColumnWidth();
    SyncRows();
    Invalidate();
}

void TCustomOutline::SetLines(const TStrings& lines) { FStrings->Assign(lines); }

void TCustomOutline::BeginUpdate() { ++FUpdateCount; }

void TCustomOutline::EndUpdate()
{
    if (FUpdateCount == 0 || --FUpdateCount > 0) return;
    UpdateColumnWidth();
    SyncRows();
    Invalidate();
}

void TCustomOutline::NodeTextChanged(TOutlineNode* node)
{
    if (FUpdateCount > 0 || !node->IsVisible()) return;
    if (ScrollBars() == ssHorizontal || ScrollBars() == ssBoth) UpdateColumnWidth();
    Invalidate();
}

// ---- rows and selection --------------------------------------------------------------

TOutlineNode* TCustomOutline::ItemAtRow(int row) const
{
    if (row < 0 || row >= FRoot->FShownCount) return nullptr;
    TOutlineNode* node = FRoot.get();
    for (;;) {
        const auto& children = node->FChildren;
        // No child shows rows of its own: the row is a child's place.
        if (node->FShownCount == static_cast<int>(children.size())) return children[static_cast<std::size_t>(row)];
        TOutlineNode* into = nullptr;
        for (TOutlineNode* c : children) {
            if (row == 0) return c;
            --row;
            if (row < c->FShownCount) {
                into = c;
                break;
            }
            row -= c->FShownCount;
        }
        if (!into) return nullptr;
        node = into;
    }
}

int TCustomOutline::RowOf(const TOutlineNode* node) const
{
    int row = 0;
    for (const TOutlineNode* n = node; n != FRoot.get(); n = n->FParent) {
        const TOutlineNode* p = n->FParent;
        if (p->FShownCount == static_cast<int>(p->FChildren.size())) {
            row += n->FPosition;
        } else {
            for (int i = 0; i < n->FPosition; ++i) row += 1 + p->FChildren[static_cast<std::size_t>(i)]->FShownCount;
        }
        if (p != FRoot.get()) ++row;  // the parent's own row
    }
    return row;
}

TOutlineNode* TCustomOutline::ShownAncestor(TOutlineNode* node) const
{
    // Expanded items always have expanded ancestors, so the topmost collapsed ancestor shows.
    TOutlineNode* shown = node;
    for (TOutlineNode* p = node->FParent; p && p != FRoot.get(); p = p->FParent)
        if (!p->FExpanded) shown = p;
    return shown;
}

int TCustomOutline::AccessibleRowCount() const { return ItemAtRow(0) ? RowCount() : 0; }

TAccessibleRow TCustomOutline::AccessibleRow(int row) const
{
    TAccessibleRow r;
    const TOutlineNode* node = ItemAtRow(row);
    if (!node) return r;
    r.Text = node->Text();
    r.Level = node->Level();
    r.Expandable = node->HasChildren();
    r.Expanded = node->Expanded();
    r.Selected = row == Row();
    r.Rect = CellRect(0, row);
    return r;
}

void TCustomOutline::SyncRows()
{
    if (FUpdateCount > 0) return;
    SetRowCount(FRoot->FShownCount);
    if (FCurItem != FRoot.get()) SelectNode(FCurItem);
}

void TCustomOutline::SelectNode(TOutlineNode* node)
{
    if (FUpdateCount > 0) return;
    node = ShownAncestor(node);
    FCurItem = node;
    MoveCurrent(RowOf(node), true);
}

int TCustomOutline::SelectedItem()
{
    if (FCurItem == FRoot.get()) {
        if (FRoot->HasChildren()) {
            TOutlineNode* n = ItemAtRow(Row());
            // Rows lag behind while updates are pending; the last shown row is closest.
            if (!n) n = ItemAtRow(FRoot->FShownCount - 1);
            if (n) FCurItem = n;
        }
    } else if (!FCurItem->IsVisible()) {
        FCurItem = ShownAncestor(FCurItem);
    }
    return NumberOf(FCurItem);
}

void TCustomOutline::SetSelectedItem(int index)
{
    if (FUpdateCount > 0) return;
    if (index == 0 && FRoot->HasChildren()) index = 1;
    if (index < 1) throw EOutlineError("Invalid selection");
    SelectNode(ItemOrError(index));
}

// ---- expanding and collapsing --------------------------------------------------------

void TCustomOutline::Expand(int index)
{
    if (auto handler = OnExpand) handler(this, index);
}

void TCustomOutline::Collapse(int index)
{
    if (auto handler = OnCollapse) handler(this, index);
}

void TCustomOutline::ExpandNode(TOutlineNode* node)
{
    if (node->FExpanded) return;
    if (!node->IsVisible()) throw EOutlineError("Parent must be expanded");
    int oldRows = RowCount();
    unsigned generation = FGeneration;
    Expand(NumberOf(node));
    // The handler may have removed the item.
    if (generation != FGeneration || node->FExpanded) return;
    node->FExpanded = true;
    int delta = static_cast<int>(node->FChildren.size());
    node->FShownCount += delta;
    AdjustShown(node->FParent, delta);
    AfterToggle(node, oldRows);
}

void TCustomOutline::CollapseSubtree(TOutlineNode* node)
{
    // Deepest first: each item's children leave the counts as they entered them.
    for (TOutlineNode* c : node->FChildren)
        if (c->FExpanded) CollapseSubtree(c);
    int delta = static_cast<int>(node->FChildren.size());
    node->FShownCount -= delta;
    AdjustShown(node->FParent, -delta);
    node->FExpanded = false;
}

void TCustomOutline::CollapseNode(TOutlineNode* node)
{
    if (!node->FExpanded || node == FRoot.get()) return;
    int oldRows = RowCount();
    int index = NumberOf(node);
    CollapseSubtree(node);
    AfterToggle(node, oldRows);
    Collapse(index);
}

void TCustomOutline::AfterToggle(TOutlineNode* node, int oldRows)
{
    if (FUpdateCount > 0) return;
    if (node->FParent && node->FParent->FExpanded && (ScrollBars() == ssHorizontal || ScrollBars() == ssBoth))
        UpdateColumnWidth();
    // A click handler run by the resynchronisation may clear the tree: read the item first.
    bool hasChildren = node->HasChildren();
    SyncRows();
    // The item's own picture changes with its state.
    if (RowCount() != oldRows || hasChildren) Invalidate();
}

void TCustomOutline::FullExpand()
{
    unsigned generation = FGeneration;
    for (std::size_t i = 0; generation == FGeneration && i < FRoot->FChildren.size(); ++i)
        FRoot->FChildren[i]->FullExpand();
}

// ---- sizes ---------------------------------------------------------------------------

void TCustomOutline::SetOutlineStyle(TOutlineStyle s)
{
    if (s == FOutlineStyle) return;
    FOutlineStyle = s;
    UpdateColumnWidth();
    Invalidate();
}

void TCustomOutline::SetOptions(TOutlineOptions o)
{
    if (o == FOptions) return;
    FOptions = o;
    Invalidate();
}

void TCustomOutline::SetStyle(TOutlineType s)
{
    if (s == FStyle) return;
    FStyle = s;
    UpdateSizes();
}

void TCustomOutline::SetItemHeight(int h)
{
    FItemHeight = std::max(1, h);
    if (FStyle == otOwnerDraw) UpdateSizes();
}

void TCustomOutline::UpdateSizes()
{
    int row;
    if (FStyle == otOwnerDraw && FItemHeight > 0) {
        row = FItemHeight;
        FBoxSize = (row * 100 + 60) / 120;  // rounded, halves up
    } else {
        int h = Font().Height();
        FBoxSize = std::max(1, h < 0 ? -h : h);
        row = (FBoxSize * 120 + 50) / 100;
    }
    SetDefaultRowHeight(row);
    UpdateColumnWidth();
    Invalidate();
}

void TCustomOutline::FontChanged()
{
    // Owner-drawn rows keep their height whatever the font.
    if (FStyle == otStandard) UpdateSizes();
    TCustomGrid::FontChanged();
}

void TCustomOutline::ClientResized() { UpdateColumnWidth(); }

void TCustomOutline::UpdateColumnWidth()
{
    if (!FRoot) return;
    if (ScrollBars() == ssNone || ScrollBars() == ssVertical) {
        SetColWidth(GridWidth());
        return;
    }
    // With a horizontal bar the column is as wide as the widest shown item.
    int widest = 0;
    for (TOutlineNode* n = FRoot->HasChildren() ? FRoot->FChildren.front() : nullptr; n;) {
        widest = std::max(widest, ItemExtent(n));
        if (n->FExpanded && n->HasChildren()) {
            n = n->FChildren.front();
            continue;
        }
        // Next shown item: the next sibling of the item or of its nearest ancestor.
        TOutlineNode* next = nullptr;
        for (TOutlineNode* m = n; m->FParent && !next; m = m->FParent) {
            const auto& siblings = m->FParent->FChildren;
            if (static_cast<std::size_t>(m->FPosition) + 1 < siblings.size()) next = siblings[static_cast<std::size_t>(m->FPosition) + 1];
        }
        n = next;
    }
    SetColWidth(std::max(widest, GridWidth()));
}

int TCustomOutline::ItemExtent(const TOutlineNode* node) const
{
    int pictureSlots = (HasPlusMinus(FOutlineStyle) ? 1 : 0) + (HasPicture(FOutlineStyle) ? 1 : 0);
    TCanvas measure;
    measure.Font().Assign(Font());
    return DefaultRowHeight() * (node->Level() - 1 + pictureSlots) + measure.TextWidth(node->FText) + 1;
}

// ---- drawing -------------------------------------------------------------------------

void TCustomOutline::DrawCell(int col, int row, const TRect& rect, TGridDrawState state)
{
    TCanvas& c = Canvas();
    c.Brush().Style = bsSolid;
    c.Brush().Color = Color();
    c.FillRect(rect);
    if (!FRoot->HasChildren()) return;
    TOutlineNode* node = ItemAtRow(row);
    if (!node) return;
    if (FStyle == otOwnerDraw && OnDrawItem) {
        TOwnerDrawState ods = 0;
        if (state & gdSelected) ods |= odSelected;
        if (state & gdFocused) ods |= odFocused;
        OnDrawItem(this, row, rect, ods);
        return;
    }
    DrawItem(node, rect, (state & gdSelected) != 0);
}

void TCustomOutline::DrawItem(TOutlineNode* node, const TRect& rect, bool current)
{
    TCanvas& c = Canvas();
    c.Font().Assign(Font());
    const std::string& text = node->FText;
    int w = c.TextWidth(text);
    if (current) c.Font().SetColor(clHighlightText);
    int h = rect.Height();
    int x = rect.Left + h * (node->Level() - 1);

    if (HasPlusMinus(FOutlineStyle)) {
        if (node->HasChildren()) DrawPicture(node->FExpanded ? PictureMinus() : PicturePlus(), x, rect);
        x += h;
    }
    if (HasPicture(FOutlineStyle)) {
        TBitmap& bmp = !node->HasChildren() ? PictureLeaf() : (node->FExpanded ? PictureOpen() : PictureClosed());
        DrawPicture(bmp, x, rect);
        x += h;
    }

    // Only the text's own rectangle is highlighted, and only when there is text.
    TRect textRect = Rect(x, rect.Top, x + w + 1, rect.Bottom);
    c.Brush().Style = bsSolid;
    c.Brush().Color = current ? clHighlight : Color();
    if (current && !text.empty()) c.FillRect(textRect);
    c.Brush().Style = bsClear;
    int y = rect.Top + (h - c.TextHeight(text)) / 2;
    c.TextRect(textRect, x, y, text);
    c.Brush().Style = bsSolid;
    if (current && (FOptions & ooDrawFocusRect) && Focused()) c.DrawFocusRect(textRect);
}

void TCustomOutline::DrawPicture(const TBitmap& bmp, int x, const TRect& rect)
{
    if (bmp.Empty()) return;
    TCanvas& c = Canvas();
    int h = rect.Height();
    int box = FBoxSize;
    int left = x + (h - box) / 2 - 1;
    int top = rect.Top + (h - box) / 2;
    c.Brush().Style = bsSolid;
    c.Brush().Color = Color();
    if (FOptions & ooStretchBitmaps) {
        c.BrushCopy(Bounds(left, top, box, box), bmp, Rect(0, 0, bmp.Width(), bmp.Height()), bmp.TransparentColor());
        return;
    }
    int dw = std::min(bmp.Width(), box), dh = std::min(bmp.Height(), box);
    if (bmp.Height() <= box - 2) top = rect.Top + (h - bmp.Height()) / 2;
    c.BrushCopy(Bounds(left, top, dw, dh), bmp, Rect(0, 0, dw, dh), bmp.TransparentColor());
}

// ---- mouse and keys ------------------------------------------------------------------

void TCustomOutline::Click()
{
    if (FRoot->HasChildren() && FUpdateCount == 0)
        if (TOutlineNode* n = ItemAtRow(Row())) FCurItem = n;
    TCustomGrid::Click();
}

void TCustomOutline::DblClick()
{
    TCustomGrid::DblClick();
    if (FCurItem != FRoot.get()) FCurItem->SetExpanded(!FCurItem->FExpanded);
}

void TCustomOutline::MouseDown(TMouseButton button, TShiftState shift, int x, int y)
{
    TCustomGrid::MouseDown(button, shift, x, y);
    if (button == mbLeft && !(shift & ssDouble) && RowAt(x, y) >= 0 && FRoot->HasChildren())
        if (TOutlineNode* n = ItemAtRow(Row())) FCurItem = n;
}

void TCustomOutline::Beep() { QApplication::beep(); }

void TCustomOutline::KeyDown(unsigned short& key, TShiftState shift)
{
    TCustomGrid::KeyDown(key, shift);
    if (key == 0 || !FRoot->HasChildren()) return;
    TOutlineNode* node = ItemAtRow(Row());
    if (!node) return;
    bool ctrl = shift & ssCtrl;
    TOutlineNode* parent = node->FParent;
    auto pos = static_cast<std::size_t>(node->FPosition);
    switch (key) {
    case VK_RETURN: node->SetExpanded(!node->FExpanded); break;
    case VK_HOME: SelectNode(FRoot->FChildren.front()); break;
    case VK_END: {
        TOutlineNode* n = FRoot->FChildren.back();
        while (n->FExpanded && n->HasChildren()) n = n->FChildren.back();
        SelectNode(n);
        break;
    }
    case VK_LEFT:
        if (parent == FRoot.get())
            Beep();
        else
            SelectNode(parent);
        break;
    case VK_RIGHT:
        if (node->HasChildren() && node->FExpanded)
            SelectNode(node->FChildren.front());
        else
            Beep();
        break;
    case VK_UP:
        if (!ctrl)
            SelectNode(node);
        else if (pos == 0)
            Beep();
        else
            SelectNode(parent->FChildren[pos - 1]);
        break;
    case VK_DOWN:
        if (!ctrl)
            SelectNode(node);
        else if (pos + 1 >= parent->FChildren.size())
            Beep();
        else
            SelectNode(parent->FChildren[pos + 1]);
        break;
    case VK_MULTIPLY:
        if (ctrl)
            FullExpand();
        else
            SelectNode(node);
        break;
    default: SelectNode(node); break;
    }
}

void TCustomOutline::KeyPress(char& key)
{
    TCustomGrid::KeyPress(key);
    if (FCurItem == FRoot.get()) return;
    switch (key) {
    case '*': FCurItem->FullExpand(); break;
    case '+': FCurItem->Expand(); break;
    case '-': FCurItem->Collapse(); break;
    default: break;
    }
}

}  // namespace kapo
