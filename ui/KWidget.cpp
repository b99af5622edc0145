#include "ui/KWidget.h"

#include <QCursor>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>

#include "ui/Controls.h"

namespace kapo {

static TMouseButton buttonOf(Qt::MouseButton b)
{
    if (b == Qt::RightButton) return mbRight;
    if (b == Qt::MiddleButton) return mbMiddle;
    return mbLeft;
}

namespace {

bool gMouseSeen = false;
TPoint gMouseScreenPos;

// Screen positions stay right while the window's own position lags behind (moves applied later
// by the window system), where event-local positions do not.
void noteScreenPos(const QMouseEvent* e)
{
    QPoint g = e->globalPosition().toPoint();
    gMouseScreenPos = TPoint{g.x(), g.y()};
    gMouseSeen = true;
}

}  // namespace

TPoint MouseCursorPos()
{
    if (gMouseSeen) return gMouseScreenPos;
    QPoint g = QCursor::pos();
    return TPoint{g.x(), g.y()};
}

// ---- KWidget -------------------------------------------------------------------------

KWidget::KWidget(TControl* control) : FControl(control)
{
    InstallAccessibleFactory();
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent, false);
}

bool KWidget::event(QEvent* e)
{
    // A deferred delete ends in this very call: nothing of the widget may be touched after it.
    if (e->type() == QEvent::DeferredDelete) return QWidget::event(e);
    ++FDispatching;
    bool r = QWidget::event(e);
    --FDispatching;
    return r;
}

void KWidget::paintEvent(QPaintEvent*)
{
    auto* cc = dynamic_cast<TCustomControl*>(FControl);
    if (!cc) return;
    const qreal ratio = devicePixelRatioF();
    QImage img;
    GuardCall([&] { img = cc->ScreenImage(ratio); });
    if (img.isNull()) return;
    QPainter p(this);
    // A see-through window shows its shape only: what lies outside it stays transparent, where
    // the window system would take the window's own pixels.
    QWidget* top = window();
    if (top->testAttribute(Qt::WA_TranslucentBackground) && !top->mask().isEmpty())
        p.setClipRegion(top->mask().translated(-mapTo(top, QPoint(0, 0))));
    p.setRenderHint(QPainter::SmoothPixmapTransform, img.devicePixelRatio() != ratio);
    p.drawImage(QPointF(0, 0), img);
}

void KWidget::mousePressEvent(QMouseEvent* e)
{
    noteScreenPos(e);
    if (!FControl) return;
    FPressedInside = true;
    TShiftState s = ShiftStateOf(e->modifiers(), e->buttons());
    int x = static_cast<int>(e->position().x()), y = static_cast<int>(e->position().y());
    TControl* c = FControl;
    GuardCall([&] { c->MouseDown(buttonOf(e->button()), s, x, y); });
}

void KWidget::mouseDoubleClickEvent(QMouseEvent* e)
{
    noteScreenPos(e);
    if (!FControl) return;
    TShiftState s = ShiftStateOf(e->modifiers(), e->buttons()) | ssDouble;
    int x = static_cast<int>(e->position().x()), y = static_cast<int>(e->position().y());
    TControl* c = FControl;
    TMouseButton b = buttonOf(e->button());
    // The second press of a double click: the double-click trigger, then the press itself.
    GuardCall([&] {
        if (b == mbLeft) c->DblClick();
    });
    if (FControl) GuardCall([&] { c->MouseDown(b, s, x, y); });
}

void KWidget::mouseMoveEvent(QMouseEvent* e)
{
    noteScreenPos(e);
    if (!FControl) return;
    TShiftState s = ShiftStateOf(e->modifiers(), e->buttons());
    int x = static_cast<int>(e->position().x()), y = static_cast<int>(e->position().y());
    TControl* c = FControl;
    GuardCall([&] { c->MouseMove(s, x, y); });
}

void KWidget::mouseReleaseEvent(QMouseEvent* e)
{
    noteScreenPos(e);
    if (!FControl) return;
    TShiftState s = ShiftStateOf(e->modifiers(), e->buttons());
    int x = static_cast<int>(e->position().x()), y = static_cast<int>(e->position().y());
    TControl* c = FControl;
    bool click = FPressedInside && e->button() == Qt::LeftButton && rect().contains(x, y) &&
                 dynamic_cast<TGraphicControl*>(c) != nullptr;
    FPressedInside = false;
    GuardCall([&] { c->MouseUp(buttonOf(e->button()), s, x, y); });
    if (click && FControl) GuardCall([&] { c->Click(); });
}

void KWidget::keyPressEvent(QKeyEvent* e)
{
    auto* wc = dynamic_cast<TWinControl*>(FControl);
    if (!wc) return QWidget::keyPressEvent(e);
    // A held key presses a picture button once.
    if (e->isAutoRepeat() && dynamic_cast<TGraphicControl*>(wc)) return;
    unsigned short key = VirtualKeyOf(e->key());
    // The arithmetic key codes belong to the numeric keypad; elsewhere these are characters.
    if ((key == VK_ADD || key == VK_SUBTRACT || key == VK_MULTIPLY) && !(e->modifiers() & Qt::KeypadModifier)) key = 0;
    TShiftState s = ShiftStateOf(e->modifiers(), Qt::NoButton);
    QByteArray text = e->text().toUtf8();
    GuardCall([&] {
        if (key) wc->KeyDown(key, s);
        if (!FControl) return;
        char ch = 0;
        if (key == VK_RETURN) ch = '\r';
        else if (key == VK_ESCAPE) ch = 27;
        else if (key == VK_BACK) ch = 8;
        else if (text.size() == 1 && static_cast<unsigned char>(text[0]) >= 32) ch = text[0];
        if (ch && (key || e->key() == 0 || text.size() == 1)) wc->KeyPress(ch);
    });
}

void KWidget::keyReleaseEvent(QKeyEvent* e)
{
    auto* wc = dynamic_cast<TWinControl*>(FControl);
    if (!wc) return QWidget::keyReleaseEvent(e);
    if (e->isAutoRepeat() && dynamic_cast<TGraphicControl*>(wc)) return;
    unsigned short key = VirtualKeyOf(e->key());
    TShiftState s = ShiftStateOf(e->modifiers(), Qt::NoButton);
    if (key) GuardCall([&] { wc->KeyUp(key, s); });
}

void KWidget::wheelEvent(QWheelEvent* e)
{
    auto* wc = dynamic_cast<TWinControl*>(FControl);
    if (!wc) return QWidget::wheelEvent(e);
    TShiftState s = ShiftStateOf(e->modifiers(), e->buttons());
    TPoint p{static_cast<int>(e->position().x()), static_cast<int>(e->position().y())};
    int delta = e->angleDelta().y();
    bool handled = false;
    GuardCall([&] { handled = wc->DoMouseWheel(s, delta, p); });
    if (handled) e->accept();
    else e->ignore();
}

void KWidget::resizeEvent(QResizeEvent*)
{
    if (FControl) {
        TControl* c = FControl;
        GuardCall([&] { c->Resize(); });
    }
}

void KWidget::focusInEvent(QFocusEvent* e)
{
    QWidget::focusInEvent(e);
    update();
    auto* wc = dynamic_cast<TWinControl*>(FControl);
    if (wc && wc->OnEnter) GuardCall([&] { wc->OnEnter(wc); });
}

void KWidget::focusOutEvent(QFocusEvent* e)
{
    QWidget::focusOutEvent(e);
    update();
    auto* wc = dynamic_cast<TWinControl*>(FControl);
    if (wc && wc->OnExit) GuardCall([&] { wc->OnExit(wc); });
}

}  // namespace kapo
