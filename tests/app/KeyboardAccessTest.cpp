// The window for keyboard users and assistive technology: the buttons' keys, the Tab order,
// what the accessibility tree tells, and the window's shape and pictures at 100, 150 and 200 %.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <QAccessible>
#include <QApplication>
#include <QKeyEvent>
#include <QTest>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "WindowFixture.h"

using namespace kapo;

namespace {

class Keys : public test::WindowFixture {
protected:
    // Nothing listens on port 1: a fetch fails at once.
    void SetUp() override
    {
        OpenWindow("127.0.0.1:1/");
        F->Widget()->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(F->Widget()));
    }
    // Counts the presses and releases a button gets, its own handlers still running.
    void Count(TImage* b)
    {
        auto down = b->OnMouseDown, up = b->OnMouseUp;
        b->OnMouseDown = [this, down](TObject* s, TMouseButton m, TShiftState sh, int x, int y) {
            Downs.push_back(static_cast<TImage*>(s));
            down(s, m, sh, x, y);
        };
        b->OnMouseUp = [this, up](TObject* s, TMouseButton m, TShiftState sh, int x, int y) {
            Ups.push_back(static_cast<TImage*>(s));
            up(s, m, sh, x, y);
        };
    }
    static void Key(Qt::Key k, Qt::KeyboardModifiers mods = {})
    {
        QWidget* target = QApplication::focusWidget();
        ASSERT_NE(target, nullptr);
        QTest::keyClick(target, k, mods);
    }
    std::vector<TImage*> Downs, Ups;
};

QAccessibleInterface* Access(TControl* c) { return QAccessible::queryAccessibleInterface(c->Widget()); }

}  // namespace

TEST_F(Keys, EachButtonHasItsKeyWhereverTheFocusIs)
{
    struct Row {
        Qt::Key key;
        Qt::KeyboardModifiers mods;
        TImage* TForm1::*button;  // null: no button
        TWinControl* focus;
    };
    const Row rows[] = {
        {Qt::Key_Escape, {}, &TForm1::Stop, F->Login},
        {Qt::Key_F5, {}, &TForm1::Sons, F->Nomes},
        {Qt::Key_S, Qt::ControlModifier, &TForm1::Transf, F->Serv},
        {Qt::Key_Comma, Qt::ControlModifier, &TForm1::Config, F->Lista},
        {Qt::Key_Q, Qt::ControlModifier, &TForm1::Fim, F->Senha},
        // Plain letters and other modifiers are the focused control's.
        {Qt::Key_Q, {}, nullptr, F->Login},
        {Qt::Key_F5, Qt::ShiftModifier, nullptr, F->Nomes},
        {Qt::Key_S, Qt::ControlModifier | Qt::AltModifier, nullptr, F->Lista},
    };
    for (TImage* b : {F->Stop, F->Sons, F->Transf, F->Config, F->Fim}) Count(b);
    for (const Row& r : rows) {
        SCOPED_TRACE(QKeySequence(r.key | r.mods).toString().toStdString());
        Downs.clear();
        Ups.clear();
        F->Abook->Show();
        F->Login->SetText("");
        Application->ClearTerminated();
        r.focus->SetFocus();
        Key(r.key, r.mods);
        if (!r.button) {
            EXPECT_TRUE(Downs.empty());
            EXPECT_FALSE(Application->Terminated());
            // A plain letter is typed into the edit.
            EXPECT_EQ(F->Login->Text(), r.focus == F->Login ? "q" : "");
            continue;
        }
        TImage* b = F->*r.button;
        EXPECT_EQ(Downs, std::vector<TImage*>{b});
        EXPECT_EQ(Ups, std::vector<TImage*>{b});
        EXPECT_EQ(b->Picture().Image(), F->Fim1->Picture().Image());
        EXPECT_EQ(Application->Terminated(), b == F->Fim);
        EXPECT_EQ(F->Abook->Visible(), b == F->Config || b == F->Fim);
    }
    Application->ClearTerminated();
}

TEST_F(Keys, PictureButtonsAreTabStopsThatSpaceAndEnterPress)
{
    Count(F->Config);
    for (Qt::Key key : {Qt::Key_Space, Qt::Key_Return}) {
        F->Abook->Hide();
        F->Config->SetFocus();
        ASSERT_TRUE(F->Config->Focused());
        QTest::keyPress(F->Config->Widget(), key);
        EXPECT_EQ(Downs.size(), 1u);
        EXPECT_EQ(F->Config->Picture().Image(), F->Fim2->Picture().Image());
        EXPECT_TRUE(F->Abook->Visible());
        // A held key repeats: the button stays pressed once.
        QKeyEvent repeat(QEvent::KeyPress, key, Qt::NoModifier, QString(), true);
        QApplication::sendEvent(F->Config->Widget(), &repeat);
        EXPECT_EQ(Downs.size(), 1u);
        QTest::keyRelease(F->Config->Widget(), key);
        EXPECT_EQ(Ups.size(), 1u);
        EXPECT_EQ(F->Config->Picture().Image(), F->Fim1->Picture().Image());
        Downs.clear();
        Ups.clear();
    }
}

TEST_F(Keys, EnterAndSpaceOnTheSoundListPreviewAsADoubleClickDoes)
{
    for (Qt::Key key : {Qt::Key_Return, Qt::Key_Space}) {
        F->Nomes->Items().Clear();
        F->Nomes->Items().Add("boing.wav :Uma mola");
        F->Nomes->SetItemIndex(0);
        F->Nomes->SetFocus();
        F->Stk->SetCaption("");
        F->BusyLamp()->SetBrushColor(LampIdle);
        Key(key);
        EXPECT_EQ(F->Stk->Caption(), "Falta login do Club!");
        EXPECT_EQ(Lamp(), LampBusy);
        EXPECT_EQ(F->Nomes->ItemIndex(), 0);
    }
}

TEST_F(Keys, TabReachesOnlyTheShownControlsInsideTheWindow)
{
    const std::vector<TWinControl*> lists = {F->Lista, F->Nomes, F->Dir, F->Drv};
    const std::vector<TWinControl*> buttons = {F->Config, F->Transf, F->Sons, F->Stop, F->Fim};
    std::vector<TWinControl*> withPanel = {F->Login, F->Senha, F->Proxy, F->PrPort, F->Serv};
    withPanel.insert(withPanel.end(), lists.begin(), lists.end());
    withPanel.insert(withPanel.end(), buttons.begin(), buttons.end());
    std::vector<TWinControl*> withoutPanel = lists;
    withoutPanel.insert(withoutPanel.end(), buttons.begin(), buttons.end());
    for (bool panel : {true, false}) {
        SCOPED_TRACE(panel ? "settings panel shown" : "settings panel hidden");
        F->Abook->SetVisible(panel);
        const std::vector<TWinControl*>& expected = panel ? withPanel : withoutPanel;
        expected.front()->SetFocus();
        std::vector<QWidget*> seen, want;
        for (TWinControl* c : expected) want.push_back(c->Widget());
        for (std::size_t i = 0; i < expected.size(); ++i) {
            seen.push_back(QApplication::focusWidget());
            Key(Qt::Key_Tab);
        }
        EXPECT_EQ(seen, want);
        // Round the window and back to the first.
        EXPECT_EQ(QApplication::focusWidget(), want.front());
    }
}

TEST_F(Keys, ButtonsArePushButtonsNamedByTheirHintsThatCanBePressed)
{
    struct Row {
        TImage* TForm1::*button;
        const char* name;
    };
    const Row rows[] = {
        {&TForm1::Fim, "Encerrar (Ctrl+Q)"},         {&TForm1::Stop, "Interrompe download (Esc)"},
        {&TForm1::Sons, "Lista de waves (F5)"},      {&TForm1::Transf, "Transfere wave (Ctrl+S)"},
        {&TForm1::Config, "Configurações (Ctrl+,)"},
    };
    for (const Row& r : rows) {
        TImage* b = F->*r.button;
        SCOPED_TRACE(r.name);
        QAccessibleInterface* a = Access(b);
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(a->role(), QAccessible::Button);
        EXPECT_EQ(a->text(QAccessible::Name).toStdString(), r.name);
        EXPECT_TRUE(a->state().focusable);
        ASSERT_NE(a->actionInterface(), nullptr);
        EXPECT_TRUE(a->actionInterface()->actionNames().contains(QAccessibleActionInterface::pressAction()));
        Count(b);
        Downs.clear();
        Ups.clear();
        if (b == F->Fim) Application->ClearTerminated();
        a->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        EXPECT_EQ(Downs, std::vector<TImage*>{b});
        EXPECT_EQ(Ups, std::vector<TImage*>{b});
    }
    EXPECT_TRUE(Application->Terminated());
    Application->ClearTerminated();
    // The background is no button.
    EXPECT_NE(Access(F->Imp)->role(), QAccessible::Button);
}

TEST_F(Keys, EditsStatusAndListsTellWhatTheyAreAndNoHiddenTextHoldsTheSettings)
{
    const std::string secret = "s3gr3d0-do-club";
    F->Senha->SetText(secret);
    // The proxy's password is as secret; the rest of its address may be read out.
    F->Proxy->SetText("ana:" + secret + "@proxy.test:3128");
    EXPECT_EQ(Access(F->Proxy)->text(QAccessible::Value).toStdString(), "ana:" + std::string(secret.size(), '*') + "@proxy.test:3128");
    // As the settings file reads into the line buffer at start and is written from it at exit.
    F->Memo1->Lines().Add(secret);
    struct Row {
        TControl* control;
        QAccessible::Role role;
        const char* name;
    };
    const Row rows[] = {
        {F->Login, QAccessible::EditableText, "Login:"}, {F->Senha, QAccessible::EditableText, "Senha:"},
        {F->Proxy, QAccessible::EditableText, "Proxy:"}, {F->PrPort, QAccessible::EditableText, "Porta:"},
        {F->Serv, QAccessible::EditableText, "Servidor:"}, {F->Stk, QAccessible::StatusBar, "Status da conexão..."},
        {F->Lista, QAccessible::Tree, "Categorias"},     {F->Nomes, QAccessible::List, "Sons"},
        {F->Dir, QAccessible::List, "Pastas"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        QAccessibleInterface* a = Access(r.control);
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(a->role(), r.role);
        EXPECT_EQ(a->text(QAccessible::Name).toStdString(), r.name);
    }
    EXPECT_TRUE(Access(F->Senha)->state().passwordEdit);
    F->Stk->SetCaption("Baixando arquivo...");
    EXPECT_EQ(Access(F->Stk)->text(QAccessible::Name).toStdString(), "Baixando arquivo...");

    // Every object of the window's tree, hidden ones included: none gives the password away.
    std::function<void(QAccessibleInterface*, int)> walk = [&](QAccessibleInterface* a, int depth) {
        ASSERT_LT(depth, 20);
        for (QAccessible::Text t : {QAccessible::Name, QAccessible::Value, QAccessible::Description})
            EXPECT_EQ(a->text(t).toStdString().find(secret), std::string::npos) << a->text(QAccessible::Name).toStdString();
        if (QAccessibleTextInterface* text = a->textInterface()) {
            EXPECT_EQ(text->text(0, text->characterCount()).toStdString().find(secret), std::string::npos);
        }
        for (int i = 0; i < a->childCount(); ++i)
            if (QAccessibleInterface* c = a->child(i)) walk(c, depth + 1);
    };
    walk(Access(F), 0);
}

TEST_F(Keys, TheTreeAndTheListsExposeTheirRows)
{
    F->Lista->Lines().SetText("Animais\r\n\tCães:caes.txt\r\nAmbientes:amb.txt\r\n");
    F->Nomes->Items().Add("latido.wav :Um cão late");
    F->Nomes->Items().Add("uivo.wav :Um cão uiva");
    F->Nomes->SetItemIndex(1);
    struct Row {
        TControl* control;
        int rows;
        int row;
        QAccessible::Role role;
        std::string name;
        bool selected, expandable;
    };
    const std::string folder = F->Dir->Items()[F->Dir->Items().Count() - 1];
    const Row rows[] = {
        {F->Lista, 2, 0, QAccessible::TreeItem, "Animais", true, true},
        // As the row shows it.
        {F->Lista, 2, 1, QAccessible::TreeItem, "Ambientes:amb.txt", false, false},
        {F->Nomes, 2, 1, QAccessible::ListItem, "uivo.wav :Um cão uiva", true, false},
        {F->Dir, F->Dir->Items().Count(), F->Dir->Items().Count() - 1, QAccessible::ListItem, folder,
         F->Dir->ItemIndex() == F->Dir->Items().Count() - 1, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        QAccessibleInterface* list = Access(r.control);
        ASSERT_GE(list->childCount(), r.rows);
        QAccessibleInterface* row = list->child(r.row);
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(row->role(), r.role);
        EXPECT_EQ(row->text(QAccessible::Name).toStdString(), r.name);
        EXPECT_EQ(row->state().selected, r.selected);
        EXPECT_EQ(row->state().expandable, r.expandable);
        EXPECT_EQ(row->parent(), list);
        EXPECT_EQ(list->indexOfChild(row), r.row);
    }
    // Rows that went away are no longer valid.
    QAccessibleInterface* second = Access(F->Nomes)->child(1);
    F->Nomes->Items().Clear();
    EXPECT_FALSE(second->isValid());
    for (int i = 0; i < Access(F->Nomes)->childCount(); ++i)
        EXPECT_NE(Access(F->Nomes)->child(i)->role(), QAccessible::ListItem);
}

// The shape and the pictures at a scale factor, which Qt takes at its start only: each row runs
// this program again with QT_SCALE_FACTOR set, and the child checks the window it shows.
TEST_F(Keys, ScaledWindowChild)
{
    const char* scale = std::getenv("KAPO_SCALE_CHILD");
    if (!scale) GTEST_SKIP() << "run by ShapeAndPicturesAtEachScale";
    F->Abook->Hide();
    F->Activate();
    const qreal ratio = F->Widget()->devicePixelRatioF();
    EXPECT_DOUBLE_EQ(ratio, std::atof(scale));
    QImage shot = F->Widget()->grab().toImage().convertToFormat(QImage::Format_ARGB32);
    ASSERT_EQ(shot.size(), QSize(qRound(600 * ratio), qRound(358 * ratio)));
    const QImage& bg = F->Imp->Picture().Image();
    int wrong = 0;
    for (int y = 0; y < 358; ++y)
        for (int x = 0; x < 600; ++x) {
            bool key = (bg.pixel(x, y) & 0xFFFFFF) == 0xFF00FF;
            QRgb p = shot.pixel(static_cast<int>((x + 0.5) * ratio), static_cast<int>((y + 0.5) * ratio));
            wrong += key != (qAlpha(p) == 0) || (!key && qAlpha(p) != 255);
        }
    EXPECT_EQ(wrong, 0);
    if (ratio != 2) return;
    // At 200 % the background is the fine picture pixel for pixel (the logo, where no control lies).
    const QImage& fine = F->Imp->Picture().FineImage();
    ASSERT_FALSE(fine.isNull());
    for (int y = 2 * 265; y < 2 * 320; ++y)
        for (int x = 2 * 16; x < 2 * 58; ++x)
            ASSERT_EQ(shot.pixel(x, y) & 0xFFFFFF, fine.pixel(x, y) & 0xFFFFFF) << x << "," << y;
}

TEST(ScaledWindow, ShapeAndPicturesAtEachScale)
{
    for (const char* scale : {"1", "1.5", "2"}) {
        SCOPED_TRACE(scale);
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::setenv("QT_SCALE_FACTOR", scale, 1);
            ::setenv("KAPO_SCALE_CHILD", scale, 1);
            ::execl("/proc/self/exe", "test_app", "--gtest_filter=Keys.ScaledWindowChild", "--gtest_brief=1",
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
}
