#include "ui/Controls.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QWheelEvent>

#include <algorithm>

#include "ui/Forms.h"
#include "ui/KWidget.h"

namespace kapo {

void GuardCall(const std::function<void()>& f)
{
    try {
        f();
    } catch (const std::exception& e) {
        if (Application) Application->HandleException(e);
    } catch (...) {
        if (Application) Application->HandleException(Exception("Unknown error"));
    }
}

unsigned short VirtualKeyOf(int k)
{
    switch (k) {
    case Qt::Key_Backspace: return VK_BACK;
    case Qt::Key_Tab: return VK_TAB;
    case Qt::Key_Return: case Qt::Key_Enter: return VK_RETURN;
    case Qt::Key_Shift: return VK_SHIFT;
    case Qt::Key_Control: return VK_CONTROL;
    case Qt::Key_Escape: return VK_ESCAPE;
    case Qt::Key_Space: return VK_SPACE;
    case Qt::Key_PageUp: return VK_PRIOR;
    case Qt::Key_PageDown: return VK_NEXT;
    case Qt::Key_End: return VK_END;
    case Qt::Key_Home: return VK_HOME;
    case Qt::Key_Left: return VK_LEFT;
    case Qt::Key_Up: return VK_UP;
    case Qt::Key_Right: return VK_RIGHT;
    case Qt::Key_Down: return VK_DOWN;
    case Qt::Key_Insert: return VK_INSERT;
    case Qt::Key_Delete: return VK_DELETE;
    case Qt::Key_Plus: return VK_ADD;
    case Qt::Key_Minus: return VK_SUBTRACT;
    case Qt::Key_Asterisk: return VK_MULTIPLY;
    case Qt::Key_Comma: return VK_OEM_COMMA;
    default:
        if (k >= Qt::Key_F1 && k <= Qt::Key_F12) return static_cast<unsigned short>(VK_F1 + (k - Qt::Key_F1));
        if ((k >= Qt::Key_0 && k <= Qt::Key_9) || (k >= Qt::Key_A && k <= Qt::Key_Z)) return static_cast<unsigned short>(k);
        return 0;
    }
}

TShiftState ShiftStateOf(Qt::KeyboardModifiers mods, Qt::MouseButtons buttons)
{
    TShiftState s = 0;
    if (mods & Qt::ShiftModifier) s |= ssShift;
    if (mods & Qt::AltModifier) s |= ssAlt;
    if (mods & Qt::ControlModifier) s |= ssCtrl;
    if (buttons & Qt::LeftButton) s |= ssLeft;
    if (buttons & Qt::RightButton) s |= ssRight;
    if (buttons & Qt::MiddleButton) s |= ssMiddle;
    return s;
}


// ---- TControl ------------------------------------------------------------------------

TControl::TControl(TComponent* owner) : TComponent(owner)
{
    FFont.OnChange = [this](TObject*) {
        if (FWidget) FWidget->setFont(FFont.ToQFont());
        FontChanged();
    };
}

TControl::~TControl()
{
    if (FParent) FParent->RemoveControl(this);
    auto* kw = qobject_cast<KWidget*>(FWidget.data());
    if (kw) kw->Detach();
    if (kw && kw->Dispatching()) {
        // Destroyed by a handler of its own widget's event: the widget goes once Qt is done
        // with that event.
        kw->hide();
        kw->deleteLater();
    } else {
        delete FWidget.data();
    }
}

void TControl::SetWidget(QWidget* w)
{
    FWidget = w;
    w->setFont(FFont.ToQFont());
    w->setGeometry(FLeft, FTop, FWidth, FHeight);
    ApplyPalette();
}

void TControl::ApplyPalette()
{
    if (!FWidget) return;
    QPalette pal = FWidget->palette();
    pal.setColor(QPalette::Window, ToQColor(FColor));
    pal.setColor(QPalette::Base, ToQColor(FColor));
    pal.setColor(QPalette::Text, ToQColor(FFont.Color()));
    pal.setColor(QPalette::WindowText, ToQColor(FFont.Color()));
    FWidget->setPalette(pal);
}

void TControl::SetParent(TWinControl* parent)
{
    if (parent == FParent) return;
    if (FParent) FParent->RemoveControl(this);
    FParent = parent;
    if (FParent) FParent->InsertControl(this);
    if (FWidget) {
        FWidget->setParent(FParent ? FParent->Widget() : nullptr);
        FWidget->setGeometry(FLeft, FTop, FWidth, FHeight);
        if (FParent) FWidget->setVisible(FVisible);
    }
}

void TControl::SetBounds(int left, int top, int width, int height)
{
    bool resized = width != FWidth || height != FHeight;
    FLeft = left;
    FTop = top;
    FWidth = std::max(0, width);
    FHeight = std::max(0, height);
    if (FWidget) FWidget->setGeometry(FLeft, FTop, FWidth, FHeight);
    if (resized) Resize();
}

void TControl::SetVisible(bool v)
{
    FVisible = v;
    if (FWidget && (FParent || v == false)) FWidget->setVisible(v);
}

void TControl::SetEnabled(bool e)
{
    FEnabled = e;
    if (FWidget) FWidget->setEnabled(e);
}

void TControl::SetColor(TColor c)
{
    FColor = c;
    ApplyPalette();
    Invalidate();
}

void TControl::SetHint(const std::string& h)
{
    FHint = h;
    if (FWidget) FWidget->setToolTip(FShowHint ? QString::fromStdString(h) : QString());
}

void TControl::SetShowHint(bool s)
{
    FShowHint = s;
    SetHint(FHint);
}

void TControl::SetCursor(TCursor c)
{
    FCursor = c;
    if (!FWidget) return;
    Qt::CursorShape shape = Qt::ArrowCursor;
    switch (c) {
    case crDrag: shape = Qt::DragMoveCursor; break;
    case crHandPoint: shape = Qt::PointingHandCursor; break;
    case crIBeam: shape = Qt::IBeamCursor; break;
    case crSizeAll: shape = Qt::SizeAllCursor; break;
    case crHourGlass: shape = Qt::WaitCursor; break;
    case crCross: shape = Qt::CrossCursor; break;
    default: break;
    }
    if (c == crDefault) FWidget->unsetCursor();
    else FWidget->setCursor(shape);
}

QAccessible::Role TControl::AccessibleRole() const
{
    return FAccessibleRole != QAccessible::NoRole ? FAccessibleRole : DefaultAccessibleRole();
}

std::string TControl::AccessibleName() const
{
    return FAccessibleName.empty() ? DefaultAccessibleName() : FAccessibleName;
}

void TControl::SetAccessibleName(const std::string& name)
{
    FAccessibleName = name;
    // Controls on a standard widget (edits, memos) are described by that widget.
    if (FWidget) FWidget->setAccessibleName(QString::fromStdString(AccessibleName()));
}

void TControl::NotifyAccessibleName()
{
    if (!FWidget || !QAccessible::isActive()) return;
    QAccessibleEvent ev(FWidget.data(), QAccessible::NameChanged);
    QAccessible::updateAccessibility(&ev);
}

void TControl::NotifyAccessibleRow(int index)
{
    if (!FWidget || index < 0 || !QAccessible::isActive()) return;
    // Rows are the first children of the control's accessible object.
    QAccessibleEvent selection(FWidget.data(), QAccessible::Selection);
    selection.setChild(index);
    QAccessible::updateAccessibility(&selection);
    if (!FWidget->hasFocus()) return;
    QAccessibleEvent focus(FWidget.data(), QAccessible::Focus);
    focus.setChild(index);
    QAccessible::updateAccessibility(&focus);
}

void TControl::Invalidate()
{
    if (FWidget) FWidget->update();
}

void TControl::Repaint()
{
    if (FWidget) FWidget->repaint();
}

void TControl::BringToFront()
{
    if (FWidget) FWidget->raise();
}

// Each event runs a copy of its handler: a handler may free the control that holds it.
void TControl::MouseDown(TMouseButton button, TShiftState shift, int x, int y)
{
    if (auto handler = OnMouseDown) handler(this, button, shift, x, y);
}

void TControl::MouseMove(TShiftState shift, int x, int y)
{
    if (auto handler = OnMouseMove) handler(this, shift, x, y);
}

void TControl::MouseUp(TMouseButton button, TShiftState shift, int x, int y)
{
    if (auto handler = OnMouseUp) handler(this, button, shift, x, y);
}

void TControl::Click()
{
    if (auto handler = OnClick) handler(this);
}

void TControl::DblClick()
{
    if (auto handler = OnDblClick) handler(this);
}

// ---- TWinControl ---------------------------------------------------------------------

TWinControl::TWinControl(TComponent* owner) : TControl(owner) { FColor = clBtnFace; }

TWinControl::~TWinControl()
{
    // Owned children go first, while this control's widget still exists.
    DestroyComponents();
    for (TControl* c : std::vector<TControl*>(FControls)) c->SetParent(nullptr);
}

void TWinControl::SetParent(TWinControl* parent)
{
    TControl::SetParent(parent);
    if (parent) HandleNeeded();
}

void TWinControl::HandleNeeded()
{
    if (FHandleAllocated) return;
    FHandleAllocated = true;
    CreateWnd();
}

void TWinControl::InsertControl(TControl* c)
{
    if (std::find(FControls.begin(), FControls.end(), c) == FControls.end()) FControls.push_back(c);
}

void TWinControl::RemoveControl(TControl* c)
{
    FControls.erase(std::remove(FControls.begin(), FControls.end(), c), FControls.end());
}

namespace {

void collectTabStops(TWinControl* parent, std::vector<QWidget*>& out)
{
    std::vector<TWinControl*> kids;
    for (int i = 0; i < parent->ControlCount(); ++i)
        if (auto* w = dynamic_cast<TWinControl*>(parent->Controls(i))) kids.push_back(w);
    std::stable_sort(kids.begin(), kids.end(), [](TWinControl* a, TWinControl* b) {
        // Controls without a tab order keep their creation order after the others.
        auto key = [](TWinControl* c) { return c->TabOrder() < 0 ? 1 << 30 : c->TabOrder(); };
        return key(a) < key(b);
    });
    for (TWinControl* k : kids) {
        if (k->Widget() && k->Widget()->focusPolicy() != Qt::NoFocus) out.push_back(k->Widget());
        collectTabStops(k, out);
    }
}

}  // namespace

void TWinControl::ApplyTabOrder()
{
    std::vector<QWidget*> stops;
    collectTabStops(this, stops);
    for (std::size_t i = 1; i < stops.size(); ++i) QWidget::setTabOrder(stops[i - 1], stops[i]);
}

bool TWinControl::Focused() const { return FWidget && FWidget->hasFocus(); }

bool TWinControl::TabStop() const { return FWidget && (FWidget->focusPolicy() & Qt::TabFocus); }

void TWinControl::SetTabStop(bool t)
{
    if (!FWidget) return;
    unsigned policy = FWidget->focusPolicy();
    FWidget->setFocusPolicy(static_cast<Qt::FocusPolicy>(t ? policy | Qt::TabFocus : policy & ~unsigned(Qt::TabFocus)));
}

void TWinControl::SetFocus()
{
    if (FWidget) FWidget->setFocus(Qt::OtherFocusReason);
}

void TWinControl::KeyDown(unsigned short& key, TShiftState shift)
{
    if (auto handler = OnKeyDown) handler(this, key, shift);
}

void TWinControl::KeyPress(char& key)
{
    if (auto handler = OnKeyPress) handler(this, key);
}

void TWinControl::KeyUp(unsigned short& key, TShiftState shift)
{
    if (auto handler = OnKeyUp) handler(this, key, shift);
}

bool TWinControl::DoMouseWheel(TShiftState shift, int wheelDelta, TPoint mousePos)
{
    bool handled = false;
    if (auto* cc = dynamic_cast<TCustomControl*>(this))
        if (auto handler = cc->OnMouseWheel) handler(this, shift, wheelDelta, mousePos, handled);
    return handled;
}

// ---- TCustomControl ------------------------------------------------------------------

TCustomControl::TCustomControl(TComponent* owner) : TWinControl(owner)
{
    auto* w = new KWidget(this);
    w->setFocusPolicy(Qt::StrongFocus);
    SetWidget(w);
}

TCustomControl::~TCustomControl() = default;

int TCustomControl::ClientWidth() const
{
    int w = Width();
    if (FVScroll && !FVScroll->isHidden()) w -= FVScroll->sizeHint().width();
    return std::max(0, w);
}

void TCustomControl::SetVertScrollBarVisible(bool v)
{
    if (!FVScroll) {
        if (!v) return;
        FVScroll = new QScrollBar(Qt::Vertical, Widget());
        QObject::connect(FVScroll, &QScrollBar::valueChanged, FVScroll, [this](int pos) {
            GuardCall([&] { VertScrolled(pos); });
        });
    }
    int sw = FVScroll->sizeHint().width();
    FVScroll->setGeometry(Width() - sw, 0, sw, Height());
    FVScroll->setVisible(v);
}

bool TCustomControl::VertScrollBarVisible() const { return FVScroll && !FVScroll->isHidden(); }

void TCustomControl::SetVertScrollRange(int min, int max, int page, int pos)
{
    if (!FVScroll) return;
    QSignalBlocker block(FVScroll);
    int sw = FVScroll->sizeHint().width();
    FVScroll->setGeometry(Width() - sw, 0, sw, Height());
    FVScroll->setRange(min, std::max(min, max));
    FVScroll->setPageStep(std::max(1, page));
    FVScroll->setValue(pos);
}

int TCustomControl::VertScrollPos() const { return FVScroll ? FVScroll->value() : 0; }

void TCustomControl::Paint() {}

QImage TCustomControl::ScreenImage(qreal)
{
    QImage img;
    PaintToImage(img);
    return img;
}

void TCustomControl::PaintToImage(QImage& img)
{
    bool opaque = true;
    if (auto* gc = dynamic_cast<TGraphicControl*>(this)) opaque = gc->Widget()->testAttribute(Qt::WA_OpaquePaintEvent) || gc->Widget()->autoFillBackground();
    int w = std::max(1, ClientWidth()), h = std::max(1, Height());
    if (opaque) {
        img = QImage(w, h, QImage::Format_RGB32);
        img.fill(ToQColor(Color()));
    } else {
        img = QImage(w, h, QImage::Format_ARGB32_Premultiplied);
        img.fill(Qt::transparent);
    }
    FCanvas.SetTarget(&img);
    FCanvas.Font().Assign(Font());
    FCanvas.Brush() = TBrush{Color(), bsSolid};
    FCanvas.Pen() = TPen{};
    FCanvas.SetCopyMode(SRCCOPY);
    Paint();
    FCanvas.SetTarget(nullptr);
}

QImage TCustomControl::PaintTo()
{
    QImage img;
    PaintToImage(img);
    return img;
}

TGraphicControl::TGraphicControl(TComponent* owner) : TCustomControl(owner)
{
    Widget()->setFocusPolicy(Qt::NoFocus);
    Widget()->setAutoFillBackground(false);
    // Graphic controls paint their whole rectangle unless they say otherwise (labels).
    Widget()->setAttribute(Qt::WA_OpaquePaintEvent, true);
}

void TGraphicControl::PressAndRelease()
{
    TLiveness guard = Liveness();
    MouseDown(mbLeft, 0, Width() / 2, Height() / 2);
    if (!guard) return;
    MouseUp(mbLeft, 0, Width() / 2, Height() / 2);
}

void TGraphicControl::KeyDown(unsigned short& key, TShiftState shift)
{
    TCustomControl::KeyDown(key, shift);
    // Repeats never get here (the widget drops them), so a press while held lost its release.
    if (!TabStop() || (key != VK_SPACE && key != VK_RETURN)) return;
    key = 0;
    FKeyHeld = true;
    MouseDown(mbLeft, 0, Width() / 2, Height() / 2);
}

void TGraphicControl::KeyUp(unsigned short& key, TShiftState shift)
{
    TCustomControl::KeyUp(key, shift);
    if (!FKeyHeld || (key != VK_SPACE && key != VK_RETURN)) return;
    key = 0;
    FKeyHeld = false;
    MouseUp(mbLeft, 0, Width() / 2, Height() / 2);
}

QAccessible::Role TGraphicControl::DefaultAccessibleRole() const
{
    return TabStop() ? QAccessible::Button : QAccessible::Client;
}

}  // namespace kapo
