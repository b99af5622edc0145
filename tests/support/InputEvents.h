// Keys, mouse buttons and the wheel sent to a control's widget as Qt delivers them.
#pragma once

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QWheelEvent>

#include "ui/Controls.h"

namespace testsupport {

// One press and its release.
inline void Key(kapo::TControl& c, int qtKey, Qt::KeyboardModifiers mods = Qt::NoModifier,
                const QString& text = QString())
{
    QKeyEvent press(QEvent::KeyPress, qtKey, mods, text);
    QApplication::sendEvent(c.Widget(), &press);
    QKeyEvent release(QEvent::KeyRelease, qtKey, mods, text);
    QApplication::sendEvent(c.Widget(), &release);
}

// A press, move or release of the left button at (x, y) of the widget, with the buttons held.
inline void Mouse(kapo::TControl& c, QEvent::Type type, int x, int y, Qt::MouseButtons held)
{
    QPointF p(x, y);
    Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent e(type, p, c.Widget()->mapToGlobal(p), button, held, Qt::NoModifier);
    QApplication::sendEvent(c.Widget(), &e);
}

// Notches of the wheel (positive away from the user) over the widget's point (20, 20).
inline void Wheel(kapo::TControl& c, int notches)
{
    QPointF p(20, 20);
    QWheelEvent e(p, c.Widget()->mapToGlobal(p), QPoint(), QPoint(0, 120 * notches), Qt::NoButton, Qt::NoModifier,
                  Qt::NoScrollPhase, false);
    QApplication::sendEvent(c.Widget(), &e);
}

}  // namespace testsupport
