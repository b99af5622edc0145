#include "ui/ComboBox.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QScrollBar>
#include <QWheelEvent>

#include <algorithm>

namespace kapo {

namespace {

constexpr int kButtonWidth = 16;
constexpr unsigned short kKeyF4 = VK_F1 + 3;

}  // namespace

// The open list: a pop-up window below the box. The box does all the drawing; the pop-up only
// turns Qt's events into row choices.
class KComboPopup : public QWidget {
public:
    KComboPopup(TCustomComboBox* box, QWidget* parent) : QWidget(parent, Qt::Popup), FBox(box)
    {
        setMouseTracking(true);
        setAttribute(Qt::WA_OpaquePaintEvent, true);
        FScroll = new QScrollBar(Qt::Vertical, this);
        FScroll->hide();
        QObject::connect(FScroll, &QScrollBar::valueChanged, this, [this](int pos) {
            FBox->FDropTop = pos;
            update();
        });
    }
    void Detach() { FBox = nullptr; }
    QScrollBar* Scroll() const { return FScroll; }
    int ScrollWidth() const { return FScroll->isHidden() ? 0 : FScroll->sizeHint().width(); }

    int RowAt(const QPointF& pos) const
    {
        if (!FBox) return -1;
        int x = static_cast<int>(pos.x()), y = static_cast<int>(pos.y());
        if (x < 1 || x >= width() - 1 - ScrollWidth() || y < 1 || y >= height() - 1) return -1;
        int i = FBox->FDropTop + (y - 1) / std::max(1, FBox->FItemHeight);
        return i < static_cast<int>(FBox->FRows.size()) ? i : -1;
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        if (!FBox) return;
        QImage img(size(), QImage::Format_RGB32);
        TCustomComboBox* box = FBox;
        GuardCall([&] { box->PaintDropDown(img); });
        QPainter(this).drawImage(0, 0, img);
    }
    void mousePressEvent(QMouseEvent* e) override
    {
        // A press outside the list closes it without a choice.
        if (!rect().contains(e->position().toPoint())) Close(-1);
    }
    void mouseMoveEvent(QMouseEvent* e) override
    {
        int i = RowAt(e->position());
        if (i >= 0 && FBox && i != FBox->FHot) {
            FBox->FHot = i;
            update();
        }
    }
    void mouseReleaseEvent(QMouseEvent* e) override
    {
        // The release of the press that opened the list lands outside it and chooses nothing.
        if (e->button() != Qt::LeftButton) return;
        int i = RowAt(e->position());
        if (i >= 0) Close(i);
    }
    void keyPressEvent(QKeyEvent* e) override
    {
        if (!FBox) return;
        int n = static_cast<int>(FBox->FRows.size());
        int page = std::max(1, FBox->DropDownRows() - 1);
        int i = FBox->FHot;
        switch (e->key()) {
        case Qt::Key_Up: i = std::max(0, i - 1); break;
        case Qt::Key_Down: i = std::min(n - 1, i + 1); break;
        case Qt::Key_Home: i = 0; break;
        case Qt::Key_End: i = n - 1; break;
        case Qt::Key_PageUp: i = std::max(0, i - page); break;
        case Qt::Key_PageDown: i = std::min(n - 1, std::max(0, i) + page); break;
        case Qt::Key_Return:
        case Qt::Key_Enter: Close(FBox->FHot); return;
        case Qt::Key_Escape:
        case Qt::Key_F4: Close(-1); return;
        default: return;
        }
        if (n == 0) return;
        FBox->FHot = i;
        if (i < FBox->FDropTop) FBox->FDropTop = i;
        else if (i >= FBox->FDropTop + FBox->DropDownRows()) FBox->FDropTop = i - FBox->DropDownRows() + 1;
        FBox->UpdatePopupScroll();
        update();
    }
    void wheelEvent(QWheelEvent* e) override
    {
        if (!FScroll->isHidden()) FScroll->setValue(FScroll->value() - e->angleDelta().y() / 40);
        e->accept();
    }
    void hideEvent(QHideEvent*) override
    {
        if (FBox) FBox->Invalidate();
    }

private:
    void Close(int select)
    {
        TCustomComboBox* box = FBox;
        if (!box) return hide();
        GuardCall([&] { box->CloseUp(select); });
    }

    TCustomComboBox* FBox;
    QScrollBar* FScroll;
};

// ---- TCustomComboBox -----------------------------------------------------------------

TCustomComboBox::TCustomComboBox(TComponent* owner) : TCustomControl(owner)
{
    FColor = clWindow;
    ApplyPalette();
    SetBounds(0, 0, 145, FItemHeight + 6);
}

TCustomComboBox::~TCustomComboBox()
{
    if (FPopup) {
        FPopup->Detach();
        delete FPopup.data();
        FPopup = nullptr;
    }
}

void TCustomComboBox::RowsChanged()
{
    int n = static_cast<int>(FRows.size());
    if (FHot >= n) FHot = -1;
    FDropTop = std::clamp(FDropTop, 0, std::max(0, n - DropDownRows()));
    if (DroppedDown()) {
        SetDroppedDown(false);
    }
    Invalidate();
}

void TCustomComboBox::SetItemIndex(int i)
{
    if (i < -1 || i >= static_cast<int>(FRows.size())) i = -1;
    if (i == FItemIndex) return;
    FItemIndex = i;
    Invalidate();
}

void TCustomComboBox::SetItemHeight(int h)
{
    FItemHeight = std::max(1, h);
    SetHeight(FItemHeight + 6);
    Invalidate();
}

void TCustomComboBox::SetStyle(TComboBoxStyle s)
{
    FStyle = s;
    Invalidate();
}

bool TCustomComboBox::DroppedDown() const { return FPopup && FPopup->isVisible(); }

int TCustomComboBox::DropDownRows() const
{
    return std::max(1, std::min(FDropDownCount, static_cast<int>(FRows.size())));
}

void TCustomComboBox::UpdatePopupScroll()
{
    if (!FPopup) return;
    QScrollBar* sb = FPopup->Scroll();
    int n = static_cast<int>(FRows.size()), page = DropDownRows();
    bool need = n > page;
    QSignalBlocker block(sb);
    if (need) {
        int sw = sb->sizeHint().width();
        sb->setGeometry(FPopup->width() - 1 - sw, 1, sw, FPopup->height() - 2);
        sb->setRange(0, n - page);
        sb->setPageStep(page);
        sb->setValue(FDropTop);
    }
    sb->setVisible(need);
}

void TCustomComboBox::SetDroppedDown(bool d)
{
    if (d == DroppedDown()) return;
    if (!d) {
        FPopup->hide();
        Invalidate();
        return;
    }
    if (!Widget()) return;
    DropDown();
    if (!Widget()) return;
    if (!FPopup) FPopup = new KComboPopup(this, Widget());
    int n = static_cast<int>(FRows.size());
    FHot = FItemIndex;
    int page = DropDownRows();
    FDropTop = std::clamp(FItemIndex < 0 ? 0 : FItemIndex - page + 1, 0, std::max(0, n - page));
    QPoint at = Widget()->mapToGlobal(QPoint(0, Height()));
    int width = DropDownWidth();
    if (QScreen* screen = Widget()->screen()) {
        // A list wider than the room to the screen's right edge moves left to stay whole.
        QRect room = screen->availableGeometry();
        width = std::min(width, std::max(1, room.width()));
        if (at.x() + width > room.right() + 1) at.setX(std::max(room.left(), room.right() + 1 - width));
    }
    FPopup->setGeometry(at.x(), at.y(), width, page * FItemHeight + 2);
    FPopup->setFont(Widget()->font());
    UpdatePopupScroll();
    FPopup->show();
    FPopup->setFocus(Qt::PopupFocusReason);
    Invalidate();
}

void TCustomComboBox::CloseUp(int selectIndex)
{
    if (FPopup) FPopup->hide();
    Invalidate();
    SelectByUser(selectIndex);
}

int TCustomComboBox::ItemWidth(int index)
{
    Canvas().Font().Assign(Font());
    return Canvas().TextWidth(FRows[static_cast<std::size_t>(index)].Text) + 4;
}

int TCustomComboBox::DropDownWidth()
{
    int widest = 0;
    for (int i = 0; i < static_cast<int>(FRows.size()); ++i) widest = std::max(widest, ItemWidth(i));
    int scroll = static_cast<int>(FRows.size()) > DropDownRows() ? FPopup->Scroll()->sizeHint().width() : 0;
    return std::max({1, Width(), widest + 2 + scroll});
}

QWidget* TCustomComboBox::DropDownWidget() const { return DroppedDown() ? FPopup : nullptr; }

TRect TCustomComboBox::DropDownItemRect(int index) const
{
    int w = FPopup ? FPopup->width() : Width();
    int sw = FPopup ? FPopup->ScrollWidth() : 0;
    return Bounds(1, 1 + (index - FDropTop) * FItemHeight, std::max(0, w - 2 - sw), FItemHeight);
}

QImage TCustomComboBox::PaintDropDownTo()
{
    QSize s = FPopup ? FPopup->size() : QSize(std::max(1, Width()), DropDownRows() * FItemHeight + 2);
    QImage img(s, QImage::Format_RGB32);
    PaintDropDown(img);
    return img;
}

void TCustomComboBox::PaintDropDown(QImage& img)
{
    TCanvas& c = Canvas();
    QImage* old = c.Target();
    c.SetTarget(&img);
    c.Brush() = TBrush{Color(), bsSolid};
    c.FillRect(Rect(0, 0, img.width(), img.height()));
    c.Brush().Color = clWindowFrame;
    c.FrameRect(Rect(0, 0, img.width(), img.height()));
    int n = static_cast<int>(FRows.size());
    for (int i = FDropTop; i < n && i < FDropTop + DropDownRows(); ++i) {
        TOwnerDrawState st = i == FHot ? TOwnerDrawState(odSelected) : TOwnerDrawState(0);
        PaintRow(i, DropDownItemRect(i), st);
    }
    c.SetTarget(old);
}

void TCustomComboBox::PaintRow(int index, const TRect& rect, TOwnerDrawState state)
{
    TCanvas& c = Canvas();
    c.Font().Assign(Font());
    c.Brush() = TBrush{(state & odSelected) ? clHighlight : Color(), bsSolid};
    if (state & odSelected) c.Font().SetColor(clHighlightText);
    if (index >= 0 && index < static_cast<int>(FRows.size())) {
        auto draw = FStyle == csOwnerDrawFixed ? OnDrawItem : nullptr;
        if (draw)
            draw(this, index, rect, state);
        else
            DrawItem(index, rect, state);
    } else {
        c.FillRect(rect);
    }
    if (state & odFocused) c.DrawFocusRect(rect);
}

void TCustomComboBox::DrawItem(int index, const TRect& rect, TOwnerDrawState state)
{
    TCanvas& c = Canvas();
    c.FillRect(rect);
    c.TextRect(rect, rect.Left + 2, rect.Top + std::max(0, (rect.Height() - c.TextHeight("Ag")) / 2),
               FRows[static_cast<std::size_t>(index)].Text);
}

TRect TCustomComboBox::ButtonRect() const
{
    int b = Ctl3D() ? 2 : 1;
    int bw = std::min(kButtonWidth, std::max(0, Width() - 2 * b));
    return Rect(Width() - b - bw, b, Width() - b, std::max(b, Height() - b));
}

TRect TCustomComboBox::EditRect() const
{
    int b = Ctl3D() ? 2 : 1;
    TRect btn = ButtonRect();
    return Rect(b + 1, b + 1, std::max(b + 1, btn.Left - 1), std::max(b + 1, Height() - b - 1));
}

void TCustomComboBox::Paint()
{
    TCanvas& c = Canvas();
    int w = Width(), h = Height();
    if (Ctl3D()) {
        // Sunken field: shadow above and left, light below and right.
        c.Pen() = TPen{clGray, 1, false};
        c.MoveTo(0, h - 1); c.LineTo(0, 0); c.LineTo(w - 1, 0);
        c.Pen().Color = clWhite;
        c.LineTo(w - 1, h - 1); c.LineTo(-1, h - 1);
        c.Pen().Color = clBlack;
        c.MoveTo(1, h - 2); c.LineTo(1, 1); c.LineTo(w - 2, 1);
        c.Pen().Color = clBtnFace;
        c.LineTo(w - 2, h - 2); c.LineTo(0, h - 2);
    } else {
        c.Brush() = TBrush{clWindowFrame, bsSolid};
        c.FrameRect(Rect(0, 0, w, h));
    }

    TRect btn = ButtonRect();
    if (btn.Width() > 0 && btn.Height() > 0) {
        bool down = DroppedDown();
        c.Brush() = TBrush{clBtnFace, bsSolid};
        c.FillRect(btn);
        if (down) {
            c.Brush().Color = clGray;
            c.FrameRect(btn);
        } else {
            c.Pen() = TPen{clWhite, 1, false};
            c.MoveTo(btn.Left, btn.Bottom - 2); c.LineTo(btn.Left, btn.Top); c.LineTo(btn.Right - 1, btn.Top);
            c.Pen().Color = clGray;
            c.MoveTo(btn.Left + 1, btn.Bottom - 2); c.LineTo(btn.Right - 2, btn.Bottom - 2); c.LineTo(btn.Right - 2, btn.Top);
            c.Pen().Color = clBlack;
            c.MoveTo(btn.Left, btn.Bottom - 1); c.LineTo(btn.Right - 1, btn.Bottom - 1); c.LineTo(btn.Right - 1, btn.Top - 1);
        }
        int cx = (btn.Left + btn.Right) / 2 + (down ? 1 : 0) - (btn.Width() % 2 == 0 ? 1 : 0);
        int cy = (btn.Top + btn.Bottom) / 2 + (down ? 1 : 0);
        c.Pen() = TPen{clBlack, 1, false};
        c.Brush() = TBrush{clBlack, bsSolid};
        c.Polygon({{cx - 3, cy - 2}, {cx + 3, cy - 2}, {cx, cy + 1}});
    }

    TOwnerDrawState st = odComboBoxEdit;
    if (Focused() && !DroppedDown()) st |= odSelected | odFocused;
    PaintRow(FItemIndex, EditRect(), st);
}

void TCustomComboBox::SelectByUser(int index)
{
    if (index < 0 || index >= static_cast<int>(FRows.size()) || index == FItemIndex) return;
    SetItemIndex(index);
    TLiveness alive = Liveness();
    Click();
    if (!alive) return;
    Change();
}

void TCustomComboBox::Change()
{
    if (auto handler = OnChange) handler(this);
}

void TCustomComboBox::DropDown()
{
    if (auto handler = OnDropDown) handler(this);
}

void TCustomComboBox::MouseDown(TMouseButton button, TShiftState shift, int x, int y)
{
    if (button == mbLeft) {
        SetFocus();
        SetDroppedDown(!DroppedDown());
    }
    TCustomControl::MouseDown(button, shift, x, y);
}

void TCustomComboBox::KeyDown(unsigned short& key, TShiftState shift)
{
    TCustomControl::KeyDown(key, shift);
    if (key == kKeyF4 || ((shift & ssAlt) && (key == VK_DOWN || key == VK_UP))) {
        SetDroppedDown(!DroppedDown());
        return;
    }
    int n = static_cast<int>(FRows.size());
    if (n == 0) return;
    int i = FItemIndex;
    int page = std::max(1, FDropDownCount - 1);
    switch (key) {
    case VK_UP:
    case VK_LEFT: i = std::max(0, i - 1); break;
    case VK_DOWN:
    case VK_RIGHT: i = std::min(n - 1, i + 1); break;
    case VK_HOME: i = 0; break;
    case VK_END: i = n - 1; break;
    case VK_PRIOR: i = std::max(0, i - page); break;
    case VK_NEXT: i = std::min(n - 1, std::max(0, i) + page); break;
    default: return;
    }
    SelectByUser(i);
}

bool TCustomComboBox::DoMouseWheel(TShiftState shift, int wheelDelta, TPoint mousePos)
{
    if (TCustomControl::DoMouseWheel(shift, wheelDelta, mousePos)) return true;
    int n = static_cast<int>(FRows.size());
    if (n == 0 || wheelDelta == 0) return true;
    SelectByUser(std::clamp(FItemIndex + (wheelDelta > 0 ? -1 : 1), 0, n - 1));
    return true;
}

}  // namespace kapo
