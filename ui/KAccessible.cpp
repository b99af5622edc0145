// The controls' widgets as assistive technology sees them. Widgets of their own painting are
// otherwise nameless panes: here they take the role and name their control gives, a picture
// button can be pressed, and a list or tree has one child per row.
#include <QAccessibleWidget>
#include <QLineEdit>
#include <QPointer>

#include <map>

#include "ui/Controls.h"
#include "ui/KWidget.h"
#include "ui/StdCtrls.h"

namespace kapo {

namespace {

TControl* ControlOf(const QWidget* w)
{
    auto* kw = qobject_cast<const KWidget*>(w);
    return kw ? kw->Control() : nullptr;
}

// One row of a list or tree; it reads the row afresh each time, so it never goes stale.
class KAccessibleRow : public QAccessibleInterface {
public:
    KAccessibleRow(QWidget* widget, int index) : FWidget(widget), FIndex(index) {}

    int Index() const { return FIndex; }
    bool isValid() const override
    {
        TControl* c = ControlOf(FWidget);
        return c && FIndex < c->AccessibleRowCount();
    }
    QObject* object() const override { return nullptr; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    QAccessibleInterface* parent() const override { return QAccessible::queryAccessibleInterface(FWidget.data()); }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QString text(QAccessible::Text t) const override
    {
        return t == QAccessible::Name ? DisplayText(Row().Text) : QString();
    }
    void setText(QAccessible::Text, const QString&) override {}
    QRect rect() const override
    {
        TRect r = Row().Rect;
        if (!FWidget || r.Width() <= 0 || r.Height() <= 0) return {};
        return QRect(FWidget->mapToGlobal(QPoint(r.Left, r.Top)), QSize(r.Width(), r.Height()));
    }
    QAccessible::Role role() const override
    {
        TControl* c = ControlOf(FWidget);
        return c && c->AccessibleRole() == QAccessible::Tree ? QAccessible::TreeItem : QAccessible::ListItem;
    }
    QAccessible::State state() const override
    {
        QAccessible::State s;
        TAccessibleRow row = Row();
        s.selectable = true;
        s.focusable = true;
        s.selected = row.Selected;
        s.focused = row.Selected && FWidget && FWidget->hasFocus();
        s.invisible = row.Rect.Width() <= 0 || row.Rect.Height() <= 0;
        s.offscreen = s.invisible;
        s.expandable = row.Expandable;
        s.expanded = row.Expandable && row.Expanded;
        s.collapsed = row.Expandable && !row.Expanded;
        return s;
    }

private:
    TAccessibleRow Row() const
    {
        TControl* c = ControlOf(FWidget);
        return c && FIndex < c->AccessibleRowCount() ? c->AccessibleRow(FIndex) : TAccessibleRow{};
    }

    QPointer<QWidget> FWidget;
    int FIndex;
};

class KAccessibleControl : public QAccessibleWidget {
public:
    explicit KAccessibleControl(QWidget* w) : QAccessibleWidget(w, QAccessible::Client) {}
    ~KAccessibleControl() override
    {
        for (auto [index, id] : FRowIds) QAccessible::deleteAccessibleInterface(id);
    }

    QAccessible::Role role() const override
    {
        if (widget()->isWindow()) return QAccessible::Window;
        TControl* c = ControlOf(widget());
        return c ? c->AccessibleRole() : QAccessible::Client;
    }
    QString text(QAccessible::Text t) const override
    {
        TControl* c = ControlOf(widget());
        if (t == QAccessible::Name && c && !widget()->isWindow()) {
            std::string name = c->AccessibleName();
            if (!name.empty()) return QString::fromStdString(name);
        }
        return QAccessibleWidget::text(t);
    }

    // The rows come first, so that an event's child number is the row's.
    int childCount() const override { return Rows() + QAccessibleWidget::childCount(); }
    QAccessibleInterface* child(int index) const override
    {
        int rows = Rows();
        if (index < 0) return nullptr;
        if (index >= rows) return QAccessibleWidget::child(index - rows);
        auto it = FRowIds.find(index);
        if (it != FRowIds.end()) return QAccessible::accessibleInterface(it->second);
        auto* row = new KAccessibleRow(widget(), index);
        FRowIds[index] = QAccessible::registerAccessibleInterface(row);
        return row;
    }
    int indexOfChild(const QAccessibleInterface* child) const override
    {
        for (auto [index, id] : FRowIds)
            if (QAccessible::accessibleInterface(id) == child) return index < Rows() ? index : -1;
        int i = QAccessibleWidget::indexOfChild(child);
        return i < 0 ? i : i + Rows();
    }

    QStringList actionNames() const override
    {
        QStringList names = QAccessibleWidget::actionNames();
        if (IsButton()) names.prepend(pressAction());
        return names;
    }
    void doAction(const QString& name) override
    {
        if (name == pressAction() && IsButton()) {
            auto* c = static_cast<TGraphicControl*>(ControlOf(widget()));
            GuardCall([c] { c->PressAndRelease(); });
            return;
        }
        QAccessibleWidget::doAction(name);
    }

private:
    int Rows() const
    {
        TControl* c = ControlOf(widget());
        return c ? c->AccessibleRowCount() : 0;
    }
    bool IsButton() const
    {
        auto* c = dynamic_cast<TGraphicControl*>(ControlOf(widget()));
        return c && c->AccessibleRole() == QAccessible::Button && c->Enabled();
    }

    mutable std::map<int, QAccessible::Id> FRowIds;
};

// A line edit whose text is read through its control's filter (a proxy address with its
// password masked), by name, value and text interface alike. The filtered text keeps the
// real one's length, so the cursor and the selection stand where they are.
class KAccessibleFilteredEdit : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    explicit KAccessibleFilteredEdit(QLineEdit* e) : QAccessibleWidget(e, QAccessible::EditableText) {}

    void* interface_cast(QAccessible::InterfaceType t) override
    {
        if (t == QAccessible::TextInterface) return static_cast<QAccessibleTextInterface*>(this);
        return QAccessibleWidget::interface_cast(t);
    }
    QString text(QAccessible::Text t) const override
    {
        return t == QAccessible::Value ? Shown() : QAccessibleWidget::text(t);
    }
    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.editable = !Edit()->isReadOnly();
        s.focusable = true;
        return s;
    }

    void selection(int index, int* start, int* end) const override
    {
        *start = *end = 0;
        if (index != 0 || !Edit()->hasSelectedText()) return;
        *start = Edit()->selectionStart();
        *end = *start + Edit()->selectionLength();
    }
    int selectionCount() const override { return Edit()->hasSelectedText() ? 1 : 0; }
    void addSelection(int start, int end) override { setSelection(0, start, end); }
    void removeSelection(int) override { Edit()->deselect(); }
    void setSelection(int, int start, int end) override { Edit()->setSelection(start, end - start); }
    int cursorPosition() const override { return Edit()->cursorPosition(); }
    void setCursorPosition(int position) override { Edit()->setCursorPosition(position); }
    QString text(int start, int end) const override { return Shown().mid(start, end - start); }
    int characterCount() const override { return static_cast<int>(Shown().size()); }
    QRect characterRect(int) const override { return {}; }
    int offsetAtPoint(const QPoint&) const override { return -1; }
    void scrollToSubstring(int, int) override {}
    QString attributes(int offset, int* start, int* end) const override
    {
        *start = *end = offset;
        return {};
    }

private:
    QLineEdit* Edit() const { return static_cast<QLineEdit*>(widget()); }
    QString Shown() const
    {
        auto* edit = static_cast<TEdit*>(Edit()->property(AccessibleFilteredEdit).value<void*>());
        return QString::fromStdString(edit->AccessibleText());
    }
};

QAccessibleInterface* ControlInterface(const QString&, QObject* object)
{
    auto* kw = qobject_cast<KWidget*>(object);
    if (kw) return new KAccessibleControl(kw);
    auto* edit = qobject_cast<QLineEdit*>(object);
    if (edit && edit->property(AccessibleFilteredEdit).isValid()) return new KAccessibleFilteredEdit(edit);
    return nullptr;
}

}  // namespace

void InstallAccessibleFactory()
{
    static const bool installed = (QAccessible::installFactory(ControlInterface), true);
    (void)installed;
}

}  // namespace kapo
