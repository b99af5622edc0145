// The Qt widget behind a control: forwards paint, mouse, key and focus events to it.
#pragma once

#include <QWidget>

namespace kapo {

class TControl;

// Describes the controls' widgets to assistive technology (roles, names, rows, the press of a
// picture button); installed once, with the first widget.
void InstallAccessibleFactory();

class KWidget : public QWidget {
    Q_OBJECT
public:
    explicit KWidget(TControl* control);
    TControl* Control() const { return FControl; }
    // The control is going away: stop forwarding.
    void Detach() { FControl = nullptr; }
    // True while one of this widget's events is being handled (it must not be deleted then).
    bool Dispatching() const { return FDispatching > 0; }

protected:
    bool event(QEvent* e) override;
    void paintEvent(QPaintEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseDoubleClickEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void keyReleaseEvent(QKeyEvent* e) override;
    void wheelEvent(QWheelEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void focusInEvent(QFocusEvent* e) override;
    void focusOutEvent(QFocusEvent* e) override;

    TControl* FControl;
    bool FPressedInside = false;
    int FDispatching = 0;
};

}  // namespace kapo
