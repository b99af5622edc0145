// Single-line edits keep one line whatever is set or pasted, show their text from its start, and
// read out their text through a filter when given one; a list box shows another list's rows;
// termination signals end the application's loop.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <ostream>
#include <string>

#include "support/GuiTestMain.h"
#include "ui/Forms.h"
#include "ui/StdCtrls.h"

using namespace kapo;

namespace {

struct SetCase {
    std::string Given;
    std::string Kept;
};

class EditSetText : public ::testing::TestWithParam<SetCase> {};

struct PasteCase {
    const char* Before;
    int SelStart, SelLength;  // a selection of 0 characters is a cursor position
    const char* Pasted;
    const char* After;
    int Cursor;
};

class EditPaste : public ::testing::TestWithParam<PasteCase> {};

std::string Escaped(const std::string& s)
{
    std::string out;
    for (char c : s) out += c == '\r' ? std::string("\\r") : c == '\n' ? std::string("\\n") : c == '\0' ? std::string("\\0") : std::string(1, c);
    return out;
}

void PrintTo(const SetCase& c, std::ostream* os) { *os << '"' << Escaped(c.Given) << '"'; }
void PrintTo(const PasteCase& c, std::ostream* os)
{
    *os << '"' << Escaped(c.Pasted) << "\" into \"" << c.Before << "\" at " << c.SelStart << "+" << c.SelLength;
}

}  // namespace

TEST_P(EditSetText, KeepsTheTextUpToItsFirstLineBreak)
{
    TEdit e(nullptr);
    e.SetText(GetParam().Given);
    EXPECT_EQ(e.Text(), GetParam().Kept);
    EXPECT_EQ(e.LineEdit()->text().toStdString(), GetParam().Kept);
}

INSTANTIATE_TEST_SUITE_P(Edit, EditSetText,
                         ::testing::Values(SetCase{"proxy.local\r\nsegunda", "proxy.local"}, SetCase{"a\nb", "a"},
                                           SetCase{"a\rb", "a"}, SetCase{std::string("a\0b", 3), "a"},
                                           SetCase{"\r\nlinha", ""}, SetCase{"sem quebra", "sem quebra"}));

TEST_P(EditPaste, KeepsOnlyThePastedTextsFirstLine)
{
    const PasteCase& c = GetParam();
    TForm form(nullptr);
    auto* e = new TEdit(&form);
    e->SetParent(&form);
    e->SetText(c.Before);
    form.Widget()->show();
    if (c.SelLength > 0) e->LineEdit()->setSelection(c.SelStart, c.SelLength);
    else e->LineEdit()->setCursorPosition(c.SelStart);
    QApplication::clipboard()->setText(QString::fromUtf8(c.Pasted));
    QTest::keyClick(e->LineEdit(), Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(e->Text(), c.After);
    EXPECT_EQ(e->LineEdit()->cursorPosition(), c.Cursor);
}

INSTANTIATE_TEST_SUITE_P(Edit, EditPaste,
                         ::testing::Values(PasteCase{"", 0, 0, "ana\r\nsegunda linha", "ana", 3},
                                           PasteCase{"abcd", 2, 0, "X\nY", "abXcd", 3},
                                           PasteCase{"abcd", 1, 2, "X\rY", "aXd", 2},
                                           PasteCase{"ab", 1, 0, "b\nb", "abb", 2},
                                           PasteCase{"ab", 2, 0, "\r\nlinha", "ab", 2},
                                           PasteCase{"ab", 1, 0, "xyz", "axyzb", 4}));

TEST(Edit, TextSetByTheProgramIsShownFromItsStart)
{
    TForm form(nullptr);
    auto* e = new TEdit(&form);
    e->SetParent(&form);
    e->SetBorderStyle(bsNone);
    e->SetBounds(0, 0, 21, 14);
    form.Widget()->show();
    e->SetText("3128");
    // The cursor at the start keeps the first characters in view.
    EXPECT_EQ(e->LineEdit()->cursorPosition(), 0);
}

TEST(Edit, AFilteredEditReadsOutTheFilteredTextAtTheSamePlaces)
{
    TForm form(nullptr);
    auto* e = new TEdit(&form);
    e->SetParent(&form);
    e->SetAccessibleTextFilter([](const std::string& t) { return std::string(t.size(), '*'); });
    e->SetText("segredo");
    e->LineEdit()->setSelection(2, 3);
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(e->Widget());
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->role(), QAccessible::EditableText);
    EXPECT_EQ(a->text(QAccessible::Value).toStdString(), "*******");
    QAccessibleTextInterface* text = a->textInterface();
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->text(0, text->characterCount()).toStdString(), "*******");
    int start = -1, end = -1;
    text->selection(0, &start, &end);
    EXPECT_EQ(start, 2);
    EXPECT_EQ(end, 5);
    text->setCursorPosition(6);
    EXPECT_EQ(e->LineEdit()->cursorPosition(), 6);
}

TEST(ListBox, ARowSourceIsShownAndTheOwnRowsComeBack)
{
    TForm form(nullptr);
    auto* lb = new TListBox(&form);
    lb->SetParent(&form);
    lb->Items().Add("own");
    lb->SetItemIndex(0);
    TStringList source;
    source.Add("a");
    source.Add("b");
    lb->SetRowSource(&source);
    EXPECT_EQ(&lb->Items(), &source);
    EXPECT_EQ(lb->ItemIndex(), -1);
    EXPECT_EQ(lb->AccessibleRowCount(), 2);
    EXPECT_EQ(lb->AccessibleRow(1).Text, "b");
    lb->SetItemIndex(1);
    EXPECT_EQ(lb->ItemIndex(), 1);
    // The source changed: set again, nothing stays highlighted past its end.
    source.Delete(1);
    lb->SetRowSource(&source);
    EXPECT_EQ(lb->ItemIndex(), -1);
    lb->SetItemIndex(1);
    EXPECT_EQ(lb->ItemIndex(), -1);
    lb->SetRowSource(nullptr);
    ASSERT_EQ(lb->Items().Count(), 1);
    EXPECT_EQ(lb->Items()[0], "own");
    EXPECT_EQ(lb->AccessibleRow(0).Text, "own");
}

TEST(Application, ATerminationSignalEndsTheLoop)
{
    Application->ClearTerminated();
    Application->TerminateOnSignals({SIGUSR2});
    QTimer::singleShot(0, [] { ::raise(SIGUSR2); });
    bool timedOut = false;
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [&] {
        timedOut = true;
        Application->Terminate();
    });
    watchdog.start(10000);
    Application->Run();
    EXPECT_FALSE(timedOut) << "the signal did not end the loop";
    Application->ClearTerminated();
}
