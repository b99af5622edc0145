#include "ui/StdCtrls.h"

#include <QFontMetrics>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QValidator>

#include <algorithm>

namespace kapo {

// ---- TLabel --------------------------------------------------------------------------

TLabel::TLabel(TComponent* owner) : TGraphicControl(owner)
{
    SetBounds(0, 0, 65, 17);
}

void TLabel::SetCaption(const std::string& c)
{
    if (c == FCaption) return;
    FCaption = c;
    AdjustBounds();
    Invalidate();
    if (FFocusControl) FFocusControl->SetAccessibleName(c);
    NotifyAccessibleName();
}

void TLabel::SetFocusControl(TWinControl* c)
{
    if (FFocusControl) FFocusControl->RemoveFreeNotification(this);
    FFocusControl = c;
    if (!c) return;
    c->FreeNotification(this);
    c->SetAccessibleName(FCaption);
}

void TLabel::Notification(TComponent* component, TOperation operation)
{
    TGraphicControl::Notification(component, operation);
    if (operation == opRemove && component == FFocusControl) FFocusControl = nullptr;
}

void TLabel::SetTransparent(bool t)
{
    FTransparent = t;
    Widget()->setAttribute(Qt::WA_OpaquePaintEvent, !t);
    Widget()->setAttribute(Qt::WA_TranslucentBackground, t);
    Invalidate();
}

void TLabel::SetAutoSize(bool a)
{
    FAutoSize = a;
    AdjustBounds();
}

void TLabel::SetAlignment(TAlignment a)
{
    FAlignment = a;
    Invalidate();
}

void TLabel::FontChanged()
{
    AdjustBounds();
    Invalidate();
}

void TLabel::AdjustBounds()
{
    if (!FAutoSize) return;
    QFontMetrics fm(Font().ToQFont());
    int w = fm.horizontalAdvance(QString::fromStdString(FCaption));
    int h = fm.height();
    // A right-aligned label keeps its right edge when it grows or shrinks.
    int left = FAlignment == taRightJustify ? Left() + Width() - w : Left();
    SetBounds(left, Top(), w, h);
}

void TLabel::Paint()
{
    TCanvas& c = Canvas();
    c.Brush().Style = FTransparent ? bsClear : bsSolid;
    c.Brush().Color = Color();
    int w = c.TextWidth(FCaption);
    int x = 0;
    if (FAlignment == taRightJustify) x = Width() - w;
    else if (FAlignment == taCenter) x = (Width() - w) / 2;
    c.TextOut(x, 0, FCaption);
}

// ---- TEdit ---------------------------------------------------------------------------

namespace {

int firstLineBreak(const QString& s)
{
    for (int i = 0; i < s.size(); ++i)
        if (s[i] == QLatin1Char('\r') || s[i] == QLatin1Char('\n') || s[i].isNull()) return i;
    return -1;
}

// Text the user inserts (typed, pasted, dropped, middle-clicked) keeps only its first line: a
// line break in a one-line field would end up inside a line-oriented file.
class KOneLineValidator : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& input, int& pos) const override
    {
        if (firstLineBreak(input) >= 0) Cut(input, pos);
        FLast = input;
        return Acceptable;
    }

private:
    // The inserted piece ends at the cursor; what follows the cursor was there before.
    void Cut(QString& input, int& pos) const
    {
        int after = static_cast<int>(input.size()) - pos;
        if (pos >= 0 && after >= 0 && after <= FLast.size() && input.right(after) == FLast.right(after)) {
            int limit = std::min(static_cast<int>(FLast.size()) - after, pos);
            int start = 0;
            while (start < limit && FLast[start] == input[start]) ++start;
            QString inserted = input.mid(start, pos - start);
            int cut = firstLineBreak(inserted);
            if (cut >= 0) {
                input = input.left(start) + inserted.left(cut) + input.right(after);
                pos = start + cut;
            }
        }
        // Whatever the edit held before is cut too, should it have held a break.
        int rest = firstLineBreak(input);
        if (rest >= 0) {
            input.truncate(rest);
            pos = std::min(pos, rest);
        }
    }

    mutable QString FLast;
};

}  // namespace

TEdit::TEdit(TComponent* owner) : TWinControl(owner)
{
    auto* e = new QLineEdit;
    e->setTextMargins(0, 0, 0, 0);
    e->setValidator(new KOneLineValidator(e));
    SetWidget(e);
    QObject::connect(e, &QLineEdit::textChanged, e, [this](const QString&) {
        if (auto handler = OnChange) GuardCall([&] { handler(this); });
    });
    SetBounds(0, 0, 121, 21);
    FColor = clWindow;
    ApplyPalette();
}

QLineEdit* TEdit::LineEdit() const { return static_cast<QLineEdit*>(Widget()); }

std::string TEdit::Text() const
{
    // Text nobody has changed gives back the very bytes it was set with, so that a password
    // written in another encoding survives being shown.
    QString shown = LineEdit()->text();
    if (shown == FShownText) return FRawText;
    return shown.toStdString();
}

void TEdit::SetText(const std::string& text)
{
    // One line: the text up to its first line break.
    std::string t = text.substr(0, std::min(text.find_first_of(std::string("\r\n\0", 3)), text.size()));
    QByteArray bytes = QByteArray::fromStdString(t);
    QString shown = QString::fromUtf8(bytes);
    // Bytes that are not UTF-8 are most likely Latin-1, the classic single-byte form.
    if (shown.toUtf8() != bytes) shown = QString::fromLatin1(bytes);
    FRawText = t;
    FShownText = shown;
    LineEdit()->setText(shown);
    // Shown from its start: a narrow field would otherwise show the end ("128" of "3128").
    LineEdit()->setCursorPosition(0);
}

void TEdit::SetAccessibleTextFilter(TTextFilter Filter)
{
    FAccessibleTextFilter = std::move(Filter);
    // The accessibility factory gives an edit marked so an interface that reads AccessibleText.
    LineEdit()->setProperty(AccessibleFilteredEdit, QVariant::fromValue(static_cast<void*>(this)));
}

std::string TEdit::AccessibleText() const
{
    std::string text = LineEdit()->text().toStdString();
    return FAccessibleTextFilter ? FAccessibleTextFilter(text) : text;
}

void TEdit::SetPasswordChar(char c)
{
    FPasswordChar = c;
    LineEdit()->setEchoMode(c ? QLineEdit::Password : QLineEdit::Normal);
    UpdateStyle();
}

void TEdit::SetBorderStyle(TBorderStyle b)
{
    FBorderStyle = b;
    LineEdit()->setFrame(b != bsNone);
    UpdateStyle();
}

void TEdit::SetColor(TColor c)
{
    TWinControl::SetColor(c);
    LineEdit()->setAutoFillBackground(true);
    UpdateStyle();
}

void TEdit::FontChanged()
{
    ApplyPalette();
    UpdateStyle();
}

void TEdit::UpdateStyle()
{
    // A style sheet wins over the palette in most styles, so colours go in it too.
    QString sheet = QString("QLineEdit { background: %1; color: %2; %3 %4 }")
                        .arg(ToQColor(Color()).name(), ToQColor(Font().Color()).name(),
                             FBorderStyle == bsNone ? "border: none; padding: 0px;" : "",
                             FPasswordChar ? QString("lineedit-password-character: %1;").arg(int(static_cast<unsigned char>(FPasswordChar))) : QString());
    LineEdit()->setStyleSheet(sheet);
}

// ---- TCustomListBox ------------------------------------------------------------------

TCustomListBox::TCustomListBox(TComponent* owner) : TCustomControl(owner)
{
    FColor = clWindow;
    SetBounds(0, 0, 121, 97);
    SetVertScrollBarVisible(false);
}

TCustomListBox::~TCustomListBox() = default;

void TCustomListBox::SetRowSource(TStrings* Source)
{
    // Rows that are not the same: nothing highlighted, from the top, as after Clear.
    FSource = Source;
    FItemIndex = -1;
    FTopIndex = 0;
    RowsChanged();
}

std::string TCustomListBox::RowText(int index) const
{
    return FSource ? FSource->Get(index) : FRows[static_cast<std::size_t>(index)].Text;
}

void TCustomListBox::RowsChanged()
{
    FSelected.clear();
    FAnchor = FItemIndex;
    if (FTopIndex > std::max(0, RowCount() - 1)) FTopIndex = 0;
    UpdateScroll();
    Invalidate();
}

int TCustomListBox::VisibleRows() const { return std::max(1, Height() / std::max(1, FItemHeight)); }

void TCustomListBox::UpdateScroll()
{
    int n = RowCount();
    int page = VisibleRows();
    bool need = n > page;
    if (need != VertScrollBarVisible()) SetVertScrollBarVisible(need);
    if (need) SetVertScrollRange(0, n - page, page, FTopIndex);
    else FTopIndex = 0;
}

void TCustomListBox::SetItemIndex(int i)
{
    if (i < -1 || i >= RowCount()) i = -1;
    FAnchor = i;
    if (!FSelected.empty()) {
        FSelected.clear();
        Invalidate();
    }
    if (i == FItemIndex) return;
    FItemIndex = i;
    if (i >= 0) MakeVisible(i);
    Invalidate();
    NotifyAccessibleRow(i);
}

TAccessibleRow TCustomListBox::AccessibleRow(int index) const
{
    TAccessibleRow row;
    if (index < 0 || index >= RowCount()) return row;
    row.Text = RowText(index);
    row.Selected = Selected(index);
    if (index >= FTopIndex && index < FTopIndex + VisibleRows()) row.Rect = ItemRect(index);
    return row;
}

void TCustomListBox::SetTopIndex(int i)
{
    int maxTop = std::max(0, RowCount() - VisibleRows());
    i = std::clamp(i, 0, maxTop);
    if (i == FTopIndex) return;
    FTopIndex = i;
    UpdateScroll();
    Invalidate();
}

void TCustomListBox::MakeVisible(int index)
{
    if (index < FTopIndex) SetTopIndex(index);
    else if (index >= FTopIndex + VisibleRows()) SetTopIndex(index - VisibleRows() + 1);
}

void TCustomListBox::SetItemHeight(int h)
{
    FItemHeight = std::max(1, h);
    UpdateScroll();
    Invalidate();
}

int TCustomListBox::ItemAtPos(int x, int y) const
{
    if (x < 0 || x >= ClientWidth() || y < 0) return -1;
    int i = FTopIndex + y / FItemHeight;
    return i < RowCount() ? i : -1;
}

TRect TCustomListBox::ItemRect(int index) const
{
    return Bounds(0, (index - FTopIndex) * FItemHeight, ClientWidth(), FItemHeight);
}

void TCustomListBox::Paint()
{
    int n = RowCount();
    for (int i = FTopIndex; i < n; ++i) {
        TRect r = ItemRect(i);
        if (r.Top >= Height()) break;
        TOwnerDrawState st = 0;
        if (Selected(i)) st |= odSelected;
        if (i == FItemIndex && Focused()) st |= odFocused;
        Canvas().Font().Assign(Font());
        Canvas().Brush() = TBrush{(st & odSelected) ? clHighlight : Color(), bsSolid};
        if (st & odSelected) Canvas().Font().SetColor(clHighlightText);
        auto draw = FStyle == lbOwnerDrawFixed ? OnDrawItem : nullptr;
        if (draw) draw(this, i, r, st);
        else DrawItem(i, r, st);
    }
}

void TCustomListBox::DrawItem(int index, const TRect& rect, TOwnerDrawState state)
{
    TCanvas& c = Canvas();
    c.FillRect(rect);
    c.TextRect(rect, rect.Left + 2, rect.Top + std::max(0, (rect.Height() - c.TextHeight("Ag")) / 2),
               RowText(index));
}

void TCustomListBox::MouseDown(TMouseButton button, TShiftState shift, int x, int y)
{
    if (button == mbLeft) {
        SetFocus();
        // The second press of a double click lands on whatever the first click's action put
        // under the mouse (a refilled list); it selects nothing.
        int i = (shift & ssDouble) ? -1 : ItemAtPos(x, y);
        if (i >= 0 && FMultiSelect) {
            MoveTo(i, shift, (shift & ssCtrl) != 0);
        } else if (i >= 0 && i != FItemIndex) {
            SetItemIndex(i);
            auto guard = Liveness();
            Click();
            if (!guard) return;  // the click's handler freed the list
        }
    }
    TCustomControl::MouseDown(button, shift, x, y);
}

void TCustomListBox::KeyDown(unsigned short& key, TShiftState shift)
{
    TCustomControl::KeyDown(key, shift);
    int n = RowCount();
    if (n == 0) return;
    int i = FItemIndex;
    switch (key) {
    case VK_UP: i = std::max(0, i - 1); break;
    case VK_DOWN: i = std::min(n - 1, i + 1); break;
    case VK_HOME: i = 0; break;
    case VK_END: i = n - 1; break;
    case VK_PRIOR: i = std::max(0, i - VisibleRows() + 1); break;
    case VK_NEXT: i = std::min(n - 1, std::max(0, i) + VisibleRows() - 1); break;
    default: return;
    }
    if (FMultiSelect) {
        MoveTo(i, shift & ssShift, false);
    } else if (i != FItemIndex) {
        SetItemIndex(i);
        Click();
    }
}

void TCustomListBox::SetMultiSelect(bool m)
{
    FMultiSelect = m;
    if (!m && !FSelected.empty()) {
        FSelected.clear();
        Invalidate();
    }
}

bool TCustomListBox::Selected(int index) const
{
    if (index < 0 || index >= RowCount()) return false;
    if (FSelected.empty()) return index == FItemIndex;
    return FSelected[static_cast<std::size_t>(index)];
}

void TCustomListBox::SetSelected(int index, bool selected)
{
    const int n = RowCount();
    if (index < 0 || index >= n || Selected(index) == selected) return;
    if (!FMultiSelect) {
        SetItemIndex(selected ? index : -1);
        return;
    }
    if (FSelected.empty()) {
        FSelected.assign(static_cast<std::size_t>(n), false);
        if (FItemIndex >= 0) FSelected[static_cast<std::size_t>(FItemIndex)] = true;
    }
    FSelected[static_cast<std::size_t>(index)] = selected;
    Invalidate();
    NotifyAccessibleRow(index);
}

int TCustomListBox::SelCount() const
{
    if (FSelected.empty()) return FItemIndex >= 0 ? 1 : 0;
    return static_cast<int>(std::count(FSelected.begin(), FSelected.end(), true));
}

void TCustomListBox::MoveTo(int index, TShiftState shift, bool toggle)
{
    const int n = RowCount();
    if (index < 0 || index >= n) return;
    const std::vector<bool> before = FSelected;
    const int was = FItemIndex;
    if (toggle) {
        // Ctrl+click: this row in or out, the others as they were.
        std::vector<bool> sel(static_cast<std::size_t>(n), false);
        for (int r = 0; r < n; ++r) sel[static_cast<std::size_t>(r)] = Selected(r);
        sel[static_cast<std::size_t>(index)] = !sel[static_cast<std::size_t>(index)];
        FItemIndex = index;
        FSelected = sel;
        FAnchor = index;
    } else if ((shift & ssShift) && FAnchor >= 0 && FAnchor < n) {
        FSelected.assign(static_cast<std::size_t>(n), false);
        for (int r = std::min(FAnchor, index); r <= std::max(FAnchor, index); ++r) FSelected[static_cast<std::size_t>(r)] = true;
        FItemIndex = index;
    } else {
        FSelected.clear();
        FItemIndex = index;
        FAnchor = index;
    }
    MakeVisible(index);
    Invalidate();
    NotifyAccessibleRow(index);
    if (FItemIndex != was || FSelected != before) Click();
}

bool TCustomListBox::DoMouseWheel(TShiftState shift, int wheelDelta, TPoint mousePos)
{
    if (TCustomControl::DoMouseWheel(shift, wheelDelta, mousePos)) return true;
    SetTopIndex(FTopIndex - wheelDelta / 40);
    return true;
}

void TCustomListBox::VertScrolled(int pos)
{
    FTopIndex = pos;
    Invalidate();
}

// ---- TMemo ---------------------------------------------------------------------------

std::string TMemoLines::Get(int index) const
{
    if (index < 0 || index >= Count()) return {};
    std::string s = TStringList::Get(index);
    if (s.size() > 4096) s.resize(4096);
    return s;
}

class KMemoEdit : public QPlainTextEdit {
public:
    explicit KMemoEdit(TMemo* memo) : FMemo(memo) {}
    void Detach() { FMemo = nullptr; }

protected:
    void showEvent(QShowEvent* e) override
    {
        QPlainTextEdit::showEvent(e);
        if (FMemo) FMemo->LinesChanged();
    }
    void hideEvent(QHideEvent* e) override
    {
        QPlainTextEdit::hideEvent(e);
        clear();
    }

private:
    TMemo* FMemo;
};

TMemo::TMemo(TComponent* owner) : TWinControl(owner)
{
    auto* e = new KMemoEdit(this);
    SetWidget(e);
    SetBounds(0, 0, 185, 89);
    FColor = clWindow;
    ApplyPalette();
    FLines.OnChange = [this](TObject*) { LinesChanged(); };
}

TMemo::~TMemo()
{
    FLines.OnChange = nullptr;
    if (auto* e = dynamic_cast<KMemoEdit*>(Widget())) e->Detach();
}

void TMemo::SetWordWrap(bool w)
{
    FWordWrap = w;
    static_cast<QPlainTextEdit*>(Widget())->setLineWrapMode(w ? QPlainTextEdit::WidgetWidth : QPlainTextEdit::NoWrap);
}

void TMemo::LinesChanged()
{
    if (!Widget() || !Widget()->isVisible()) return;
    QStringList l;
    for (int i = 0; i < FLines.Count(); ++i) l << QString::fromStdString(FLines.TStringList::Get(i));
    static_cast<QPlainTextEdit*>(Widget())->setPlainText(l.join('\n'));
}

}  // namespace kapo
