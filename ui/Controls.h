// Controls: the visual components, each backed by one Qt widget. Calls from Qt into the
// components go through GuardCall, so no exception ever crosses Qt's event dispatch.
#pragma once

#include <QAccessible>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>

#include "core/Classes.h"
#include "ui/Graphics.h"

class QScrollBar;

namespace kapo {

enum TMouseButton { mbLeft, mbRight, mbMiddle };

enum TShiftStateFlag : unsigned {
    ssShift = 1, ssAlt = 2, ssCtrl = 4, ssLeft = 8, ssRight = 16, ssMiddle = 32, ssDouble = 64
};
using TShiftState = unsigned;

// Virtual key codes of the keys the controls handle.
enum : unsigned short {
    VK_BACK = 0x08, VK_TAB = 0x09, VK_RETURN = 0x0D, VK_SHIFT = 0x10, VK_CONTROL = 0x11,
    VK_ESCAPE = 0x1B, VK_SPACE = 0x20, VK_PRIOR = 0x21, VK_NEXT = 0x22, VK_END = 0x23,
    VK_HOME = 0x24, VK_LEFT = 0x25, VK_UP = 0x26, VK_RIGHT = 0x27, VK_DOWN = 0x28,
    VK_INSERT = 0x2D, VK_DELETE = 0x2E, VK_ADD = 0x6B, VK_SUBTRACT = 0x6D, VK_MULTIPLY = 0x6A,
    VK_F1 = 0x70, VK_OEM_COMMA = 0xBC,
};

using TMouseEvent = std::function<void(TObject* Sender, TMouseButton Button, TShiftState Shift, int X, int Y)>;
using TMouseMoveEvent = std::function<void(TObject* Sender, TShiftState Shift, int X, int Y)>;
using TKeyEvent = std::function<void(TObject* Sender, unsigned short& Key, TShiftState Shift)>;
using TKeyPressEvent = std::function<void(TObject* Sender, char& Key)>;
using TMouseWheelEvent = std::function<void(TObject* Sender, TShiftState Shift, int WheelDelta, TPoint MousePos, bool& Handled)>;

enum TCursor { crDefault, crArrow, crDrag, crHandPoint, crIBeam, crSizeAll, crHourGlass, crCross };
enum TAlignment { taLeftJustify, taRightJustify, taCenter };
enum TBorderStyle { bsNone, bsSingle };

// Runs application code called from Qt; an escaping exception goes to the application's
// error display and the program goes on.
void GuardCall(const std::function<void()>& f);

class TWinControl;
class KWidget;

// A row of a list or tree as assistive technology is told about it.
struct TAccessibleRow {
    std::string Text;
    bool Selected = false;
    int Level = 0;  // 0 for a flat list, from 1 in a tree
    bool Expandable = false;
    bool Expanded = false;
    TRect Rect;  // in the control's client area; empty when scrolled out of view
};

class TControl : public TComponent {
public:
    explicit TControl(TComponent* owner);
    ~TControl() override;

    TWinControl* Parent() const { return FParent; }
    virtual void SetParent(TWinControl* parent);

    int Left() const { return FLeft; }
    int Top() const { return FTop; }
    int Width() const { return FWidth; }
    int Height() const { return FHeight; }
    void SetLeft(int v) { SetBounds(v, FTop, FWidth, FHeight); }
    void SetTop(int v) { SetBounds(FLeft, v, FWidth, FHeight); }
    void SetWidth(int v) { SetBounds(FLeft, FTop, v, FHeight); }
    void SetHeight(int v) { SetBounds(FLeft, FTop, FWidth, v); }
    virtual void SetBounds(int left, int top, int width, int height);
    TRect BoundsRect() const { return Bounds(FLeft, FTop, FWidth, FHeight); }
    virtual int ClientWidth() const { return FWidth; }
    virtual int ClientHeight() const { return FHeight; }
    TRect ClientRect() const { return Rect(0, 0, ClientWidth(), ClientHeight()); }
    virtual void SetClientSize(int w, int h) { SetBounds(FLeft, FTop, w, h); }

    bool Visible() const { return FVisible; }
    virtual void SetVisible(bool v);
    void Show() { SetVisible(true); }
    void Hide() { SetVisible(false); }
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool e);

    TColor Color() const { return FColor; }
    virtual void SetColor(TColor c);
    TFont& Font() { return FFont; }
    const TFont& Font() const { return FFont; }
    const std::string& Hint() const { return FHint; }
    void SetHint(const std::string& h);
    bool ShowHint() const { return FShowHint; }
    void SetShowHint(bool s);
    TCursor Cursor() const { return FCursor; }
    void SetCursor(TCursor c);
    int TabOrder() const { return FTabOrder; }
    void SetTabOrder(int t) { FTabOrder = t; }

    virtual void Invalidate();
    virtual void Repaint();  // paints at once
    void Refresh() { Repaint(); }
    void BringToFront();

    // The backing widget (created with the control).
    QWidget* Widget() const { return FWidget.data(); }

    // What assistive technology is told: a role and a name of the control's own when set,
    // otherwise those of its class.
    QAccessible::Role AccessibleRole() const;
    void SetAccessibleRole(QAccessible::Role role) { FAccessibleRole = role; }
    std::string AccessibleName() const;
    void SetAccessibleName(const std::string& name);
    // The rows a list or tree shows (none for other controls).
    virtual int AccessibleRowCount() const { return 0; }
    virtual TAccessibleRow AccessibleRow(int) const { return {}; }
    // Tells assistive technology that the control's name or its current row changed.
    void NotifyAccessibleName();
    void NotifyAccessibleRow(int index);

    TMouseEvent OnMouseDown;
    TMouseMoveEvent OnMouseMove;
    TMouseEvent OnMouseUp;
    TNotifyEvent OnClick;
    TNotifyEvent OnDblClick;

    // Triggers, called by the backing widget; override to intercept.
    virtual void MouseDown(TMouseButton button, TShiftState shift, int x, int y);
    virtual void MouseMove(TShiftState shift, int x, int y);
    virtual void MouseUp(TMouseButton button, TShiftState shift, int x, int y);
    virtual void Click();
    virtual void DblClick();
    virtual void FontChanged() { Invalidate(); }
    virtual void Resize() {}

protected:
    virtual QAccessible::Role DefaultAccessibleRole() const { return QAccessible::Client; }
    virtual std::string DefaultAccessibleName() const { return FShowHint ? FHint : std::string(); }

    // Subclasses call this once from their constructor with the widget they want.
    void SetWidget(QWidget* w);
    void ApplyPalette();

    TWinControl* FParent = nullptr;
    int FLeft = 0, FTop = 0, FWidth = 0, FHeight = 0;
    bool FVisible = true;
    bool FEnabled = true;
    TColor FColor = clBtnFace;
    TFont FFont;
    std::string FHint;
    bool FShowHint = false;
    TCursor FCursor = crDefault;
    int FTabOrder = -1;
    QPointer<QWidget> FWidget;
    QAccessible::Role FAccessibleRole = QAccessible::NoRole;
    std::string FAccessibleName;
};

class TWinControl : public TControl {
public:
    explicit TWinControl(TComponent* owner);
    ~TWinControl() override;

    void SetParent(TWinControl* parent) override;
    int ControlCount() const { return static_cast<int>(FControls.size()); }
    TControl* Controls(int i) const { return FControls.at(static_cast<std::size_t>(i)); }
    void InsertControl(TControl* c);
    void RemoveControl(TControl* c);

    // The window exists once the control has a parent (or is a top-level form).
    bool HandleAllocated() const { return FHandleAllocated; }
    void HandleNeeded();
    bool Focused() const;
    void SetFocus();
    // Whether Tab reaches the control; one that is not can still take focus by a click.
    bool TabStop() const;
    void SetTabStop(bool t);
    // Chains the focusable controls inside this one by their tab order, depth first.
    void ApplyTabOrder();
    bool Ctl3D() const { return FCtl3D; }
    void SetCtl3D(bool v) { FCtl3D = v; Invalidate(); }

    TKeyEvent OnKeyDown;
    TKeyPressEvent OnKeyPress;
    TKeyEvent OnKeyUp;
    TNotifyEvent OnEnter;
    TNotifyEvent OnExit;

    virtual void KeyDown(unsigned short& key, TShiftState shift);
    virtual void KeyPress(char& key);
    virtual void KeyUp(unsigned short& key, TShiftState shift);
    virtual bool DoMouseWheel(TShiftState shift, int wheelDelta, TPoint mousePos);

protected:
    // Runs once when the window comes to exist; controls fill themselves here.
    virtual void CreateWnd() {}

private:
    std::vector<TControl*> FControls;
    bool FHandleAllocated = false;
    bool FCtl3D = true;
};

// A control that paints itself on a canvas. The canvas draws into an off-screen image that
// is copied to the screen in one piece; tests read it through PaintTo.
class TCustomControl : public TWinControl {
public:
    explicit TCustomControl(TComponent* owner);
    ~TCustomControl() override;

    TCanvas& Canvas() { return FCanvas; }
    // Paints the control into a new image of its size (what the screen would show).
    QImage PaintTo();

    int ClientWidth() const override;
    // A vertical scroll bar at the right edge; the client area shrinks by its width.
    void SetVertScrollBarVisible(bool v);
    bool VertScrollBarVisible() const;
    void SetVertScrollRange(int min, int max, int page, int pos);
    int VertScrollPos() const;

    TMouseWheelEvent OnMouseWheel;

    // Paint with Canvas(); the back buffer starts filled with Color().
    virtual void Paint();
    // What the screen shows at a device pixel ratio: the painted image unless the control has
    // finer pictures of its own.
    virtual QImage ScreenImage(qreal ratio);
    // Called when the user moves the scroll bar.
    virtual void VertScrolled(int pos) {}
    void PaintToImage(QImage& img);

private:
    friend class KWidget;
    TCanvas FCanvas;
    QScrollBar* FVScroll = nullptr;
};

// A control drawn on its parent without keyboard focus of its own. Made a tab stop, it is a
// button for the keyboard: Space or Enter press and release it like the left mouse button.
class TGraphicControl : public TCustomControl {
public:
    explicit TGraphicControl(TComponent* owner);
    // A left-button press and release in the middle, as a key or assistive technology gives.
    void PressAndRelease();
    void KeyDown(unsigned short& key, TShiftState shift) override;
    void KeyUp(unsigned short& key, TShiftState shift) override;

protected:
    QAccessible::Role DefaultAccessibleRole() const override;

private:
    bool FKeyHeld = false;
};

// The pointer's position on the screen as the mouse event being handled (or the last one)
// reported it; before any mouse event, where the pointer is now.
TPoint MouseCursorPos();

// Qt's key code to a virtual key code (0 when it has none).
unsigned short VirtualKeyOf(int qtKey);
TShiftState ShiftStateOf(Qt::KeyboardModifiers mods, Qt::MouseButtons buttons);

}  // namespace kapo
