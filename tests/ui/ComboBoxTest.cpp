// The drop-down list: selection bookkeeping, user selections through real key and mouse
// events offscreen, and rows drawn through DrawItem in the closed box and in the pop-up.
#include <gtest/gtest.h>

#include <QApplication>
#include <QScreen>
#include <QTest>
#include <QWheelEvent>

#include <algorithm>
#include <string>
#include <vector>

#include "support/GuiTestMain.h"
#include "ui/ComboBox.h"
#include "ui/Forms.h"

using namespace kapo;

namespace {

// Paints each row in a colour of its own and records what it was asked to draw.
class SwatchCombo : public TCustomComboBox {
public:
    using TCustomComboBox::TCustomComboBox;
    struct Call {
        int Index;
        TRect Rect;
        TOwnerDrawState State;
    };
    std::vector<Call> Calls;
    static TColor ColourOf(int index) { return (0x102030 * (index + 1)) & 0xFFFFFF; }
    void DrawItem(int index, const TRect& rect, TOwnerDrawState state) override
    {
        Calls.push_back({index, rect, state});
        Canvas().Brush().Color = ColourOf(index);
        Canvas().FillRect(rect);
    }
};

class ComboBoxTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        FForm = std::make_unique<TForm>(nullptr);
        FForm->SetBounds(0, 0, 300, 300);
        FBox = new SwatchCombo(FForm.get());
        FBox->SetBounds(10, 10, 120, 19);
        FBox->SetItemHeight(13);
        FBox->SetParent(FForm.get());
        for (const char* s : {"zero", "one", "two", "three", "four"}) FBox->Items().Add(s);
        FBox->OnClick = [this](TObject*) { FLog.push_back("click " + std::to_string(FBox->ItemIndex())); };
        FBox->OnChange = [this](TObject*) { FLog.push_back("change " + std::to_string(FBox->ItemIndex())); };
        FBox->OnDropDown = [this](TObject*) { FLog.push_back("dropdown"); };
        FForm->Widget()->show();
        test::ShownErrors().clear();
    }
    void TearDown() override { FForm.reset(); }

    QPoint RowCentre(int index)
    {
        TRect r = FBox->DropDownItemRect(index);
        return QPoint((r.Left + r.Right) / 2, (r.Top + r.Bottom) / 2);
    }

    std::unique_ptr<TForm> FForm;
    SwatchCombo* FBox = nullptr;
    std::vector<std::string> FLog;
};

using Log = std::vector<std::string>;

}  // namespace

TEST_F(ComboBoxTest, SelectionFollowsInsertsAndDeletesAndCodeRaisesNoEvents)
{
    FBox->SetItemIndex(1);
    FBox->Items().Insert(0, "first");
    EXPECT_EQ(FBox->ItemIndex(), 2);
    FBox->Items().Delete(0);
    EXPECT_EQ(FBox->ItemIndex(), 1);
    FBox->Items().Delete(1);
    EXPECT_EQ(FBox->ItemIndex(), -1);
    FBox->SetItemIndex(99);
    EXPECT_EQ(FBox->ItemIndex(), -1);
    FBox->SetItemIndex(3);
    FBox->Items().PutObject(3, FBox);
    EXPECT_EQ(FBox->Items().Objects(3), FBox);
    EXPECT_EQ(FBox->Items()[3], "four");
    FBox->Clear();
    EXPECT_EQ(FBox->ItemIndex(), -1);
    EXPECT_TRUE(FLog.empty());
    EXPECT_THROW(FBox->Items().Get(0), EStringListError);
    // The box takes the row's height plus its frame.
    FBox->SetItemHeight(20);
    EXPECT_EQ(FBox->Height(), 26);
}

TEST_F(ComboBoxTest, KeysAndTheWheelOnTheClosedBoxSelectWithClickThenChange)
{
    FBox->SetFocus();
    QWidget* w = FBox->Widget();
    QTest::keyClick(w, Qt::Key_Down);
    QTest::keyClick(w, Qt::Key_Down);
    QTest::keyClick(w, Qt::Key_Up);
    EXPECT_EQ(FLog, (Log{"click 0", "change 0", "click 1", "change 1", "click 0", "change 0"}));
    FLog.clear();
    QTest::keyClick(w, Qt::Key_Up);     // already the first row
    QTest::keyClick(w, Qt::Key_Home);
    EXPECT_TRUE(FLog.empty());
    QTest::keyClick(w, Qt::Key_End);
    QTest::keyClick(w, Qt::Key_Right);  // already the last row
    EXPECT_EQ(FLog, (Log{"click 4", "change 4"}));
    FLog.clear();

    QWheelEvent up(QPointF(5, 5), w->mapToGlobal(QPointF(5, 5)), QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier,
                   Qt::NoScrollPhase, false);
    QApplication::sendEvent(w, &up);
    EXPECT_EQ(FLog, (Log{"click 3", "change 3"}));
    FLog.clear();

    // Alt+Down opens the list and selects nothing.
    QTest::keyClick(w, Qt::Key_Down, Qt::AltModifier);
    EXPECT_TRUE(FBox->DroppedDown());
    EXPECT_EQ(FLog, (Log{"dropdown"}));
    QTest::keyClick(FBox->DropDownWidget(), Qt::Key_Escape);
    EXPECT_FALSE(FBox->DroppedDown());
    EXPECT_EQ(FBox->ItemIndex(), 3);
}

TEST_F(ComboBoxTest, ThePopupChoosesOnAClickOrEnterAndCancelsOtherwise)
{
    QTest::mouseClick(FBox->Widget(), Qt::LeftButton, {}, QPoint(5, 5));
    ASSERT_TRUE(FBox->DroppedDown());
    QWidget* pop = FBox->DropDownWidget();
    ASSERT_NE(pop, nullptr);
    EXPECT_EQ(pop->height(), 5 * 13 + 2);
    EXPECT_EQ(pop->width(), FBox->Width());
    EXPECT_EQ(pop->geometry().topLeft(), FBox->Widget()->mapToGlobal(QPoint(0, FBox->Height())));

    // The release of the opening press lands on the box, outside the rows: still open.
    QTest::mouseRelease(pop, Qt::LeftButton, {}, QPoint(5, -5));
    EXPECT_TRUE(FBox->DroppedDown());
    QTest::mouseClick(pop, Qt::LeftButton, {}, RowCentre(2));
    EXPECT_FALSE(FBox->DroppedDown());
    EXPECT_EQ(FBox->ItemIndex(), 2);
    EXPECT_EQ(FLog, (Log{"dropdown", "click 2", "change 2"}));
    FLog.clear();

    // Choosing the row already selected changes nothing.
    FBox->SetDroppedDown(true);
    QTest::mouseClick(FBox->DropDownWidget(), Qt::LeftButton, {}, RowCentre(2));
    EXPECT_EQ(FLog, (Log{"dropdown"}));
    FLog.clear();

    // Keys move the highlight only; Enter chooses it.
    FBox->SetDroppedDown(true);
    pop = FBox->DropDownWidget();
    QTest::keyClick(pop, Qt::Key_Down);
    QTest::keyClick(pop, Qt::Key_Down);
    EXPECT_EQ(FLog, (Log{"dropdown"}));
    QTest::keyClick(pop, Qt::Key_Return);
    EXPECT_EQ(FBox->ItemIndex(), 4);
    EXPECT_EQ(FLog, (Log{"dropdown", "click 4", "change 4"}));
    FLog.clear();

    // Escape, or a press outside the list: closed, nothing chosen.
    FBox->SetDroppedDown(true);
    QTest::keyClick(FBox->DropDownWidget(), Qt::Key_Up);
    QTest::keyClick(FBox->DropDownWidget(), Qt::Key_Escape);
    EXPECT_FALSE(FBox->DroppedDown());
    FBox->SetDroppedDown(true);
    pop = FBox->DropDownWidget();
    QTest::mousePress(pop, Qt::LeftButton, {}, QPoint(pop->width() + 20, 5));
    EXPECT_FALSE(FBox->DroppedDown());
    EXPECT_EQ(FBox->ItemIndex(), 4);
    EXPECT_EQ(FLog, (Log{"dropdown", "dropdown"}));

    // A handler that fails: the error display shows it, the list is closed.
    FBox->OnClick = [](TObject*) { throw EInOutError(21); };
    FBox->SetDroppedDown(true);
    QTest::mouseClick(FBox->DropDownWidget(), Qt::LeftButton, {}, RowCentre(0));
    EXPECT_FALSE(FBox->DroppedDown());
    EXPECT_EQ(FBox->ItemIndex(), 0);
    EXPECT_EQ(test::ShownErrors(), (Log{"I/O error 21."}));
}

TEST_F(ComboBoxTest, RowsAreDrawnThroughDrawItemInTheBoxAndInThePopup)
{
    FBox->SetColor(0xBDB49D);
    FBox->SetItemIndex(3);
    FBox->Widget()->clearFocus();
    FBox->Calls.clear();
    QImage box = FBox->PaintTo();
    ASSERT_EQ(FBox->Calls.size(), 1u);
    EXPECT_EQ(FBox->Calls[0].Index, 3);
    EXPECT_EQ(FBox->Calls[0].Rect, FBox->EditRect());
    EXPECT_EQ(FBox->Calls[0].State, odComboBoxEdit);
    TRect e = FBox->EditRect();
    EXPECT_EQ(FromQRgb(box.pixel(e.Left, e.Top)), SwatchCombo::ColourOf(3));
    EXPECT_EQ(FromQRgb(box.pixel(e.Right - 1, e.Bottom - 1)), SwatchCombo::ColourOf(3));
    EXPECT_LE(e.Right, FBox->ButtonRect().Left);
    EXPECT_EQ(FBox->ButtonRect().Right, FBox->Width() - 2);
    // The arrow of the button is black, on the button's face.
    TRect b = FBox->ButtonRect();
    int cx = (b.Left + b.Right) / 2 - 1, cy = (b.Top + b.Bottom) / 2;
    EXPECT_EQ(FromQRgb(box.pixel(cx, cy - 1)), clBlack);
    EXPECT_EQ(FromQRgb(box.pixel(b.Left + 2, b.Top + 2)), clBtnFace);

    // Focused: the selected look, with the focus rectangle around it.
    QApplication::setActiveWindow(FForm->Widget());
    FBox->SetFocus();
    ASSERT_TRUE(FBox->Focused());
    FBox->Calls.clear();
    box = FBox->PaintTo();
    ASSERT_EQ(FBox->Calls.size(), 1u);
    EXPECT_EQ(FBox->Calls[0].State, odComboBoxEdit | odSelected | odFocused);
    EXPECT_NE(FromQRgb(box.pixel(e.Left, e.Top)), SwatchCombo::ColourOf(3));

    // No selection: the field is the box's colour.
    FBox->SetItemIndex(-1);
    FBox->Calls.clear();
    FBox->Widget()->clearFocus();
    box = FBox->PaintTo();
    EXPECT_TRUE(FBox->Calls.empty());
    EXPECT_EQ(FromQRgb(box.pixel(e.Left + 3, e.Top + 3)), 0xBDB49D);

    // The pop-up: every row at its place, the highlighted one selected.
    FBox->SetItemIndex(1);
    FBox->SetDroppedDown(true);
    FBox->Calls.clear();
    QImage pop = FBox->PaintDropDownTo();
    ASSERT_EQ(FBox->Calls.size(), 5u);
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(FBox->Calls[static_cast<std::size_t>(i)].Index, i);
        TRect r = FBox->DropDownItemRect(i);
        EXPECT_EQ(FBox->Calls[static_cast<std::size_t>(i)].Rect, r);
        EXPECT_EQ(FBox->Calls[static_cast<std::size_t>(i)].State, i == 1 ? TOwnerDrawState(odSelected) : TOwnerDrawState(0));
        EXPECT_EQ(r.Top, 1 + i * 13);
        EXPECT_EQ(FromQRgb(pop.pixel(r.Left + 4, r.Top + 6)), SwatchCombo::ColourOf(i));
    }
    EXPECT_EQ(FromQRgb(pop.pixel(0, 0)), clWindowFrame);
    FBox->SetDroppedDown(false);

    // An owner-drawn box with OnDrawItem uses the event instead of the method.
    FBox->SetStyle(csOwnerDrawFixed);
    int events = 0;
    FBox->OnDrawItem = [&](TObject*, int index, TRect rect, TOwnerDrawState) {
        ++events;
        FBox->Canvas().Brush().Color = clRed;
        FBox->Canvas().FillRect(rect);
    };
    FBox->Calls.clear();
    box = FBox->PaintTo();
    EXPECT_EQ(events, 1);
    EXPECT_TRUE(FBox->Calls.empty());
    EXPECT_EQ(FromQRgb(box.pixel(e.Left + 1, e.Top + 1)), clRed);
}

TEST_F(ComboBoxTest, TheDefaultRowIsItsTextOnTheBoxColour)
{
    TCustomComboBox plain(FForm.get());
    plain.SetBounds(10, 40, 120, 19);
    plain.SetColor(clWhite);
    plain.SetParent(FForm.get());
    plain.Items().Add("Wq");
    plain.SetItemIndex(0);
    QImage img = plain.PaintTo();
    TRect e = plain.EditRect();
    int ink = 0;
    for (int y = e.Top; y < e.Bottom; ++y)
        for (int x = e.Left; x < e.Right; ++x) ink += FromQRgb(img.pixel(x, y)) != clWhite;
    EXPECT_GT(ink, 10);
    EXPECT_EQ(FromQRgb(img.pixel(e.Right - 2, e.Top + 1)), clWhite);
}

TEST_F(ComboBoxTest, LongListsScrollInThePopup)
{
    for (int i = 5; i < 20; ++i) FBox->Items().Add("row " + std::to_string(i));
    FBox->SetItemIndex(15);
    FBox->SetDroppedDown(true);
    QWidget* pop = FBox->DropDownWidget();
    ASSERT_NE(pop, nullptr);
    EXPECT_EQ(pop->height(), 8 * 13 + 2);
    // The selected row is in view.
    EXPECT_LE(FBox->DropDownTopIndex(), 15);
    EXPECT_GT(FBox->DropDownTopIndex() + 8, 15);
    QTest::keyClick(pop, Qt::Key_End);
    EXPECT_EQ(FBox->DropDownTopIndex(), 12);
    QTest::keyClick(pop, Qt::Key_Home);
    EXPECT_EQ(FBox->DropDownTopIndex(), 0);
    // Rows keep clear of the scroll bar.
    EXPECT_LT(FBox->DropDownItemRect(0).Right, pop->width() - 10);
    QTest::mouseClick(pop, Qt::LeftButton, {}, RowCentre(7));
    EXPECT_EQ(FBox->ItemIndex(), 7);
    EXPECT_FALSE(FBox->DroppedDown());
}

TEST_F(ComboBoxTest, TheOpenListIsAsWideAsItsWidestRowAndStaysOnTheScreen)
{
    // A narrow box: the open list is as wide as its rows need.
    FBox->SetBounds(10, 10, 56, 19);
    FBox->Items().Add("a row far wider than the box that opens it");
    int widest = 0;
    for (int i = 0; i < FBox->Items().Count(); ++i) widest = std::max(widest, FBox->ItemWidth(i));
    ASSERT_GT(widest, 56);
    FBox->SetDroppedDown(true);
    QWidget* pop = FBox->DropDownWidget();
    ASSERT_NE(pop, nullptr);
    EXPECT_GE(pop->width(), widest + 2);
    for (int i = 0; i < FBox->Items().Count(); ++i) EXPECT_GE(FBox->DropDownItemRect(i).Width(), FBox->ItemWidth(i));
    FBox->SetDroppedDown(false);

    // Near the screen's right edge the list moves left rather than leave the screen; it is never
    // wider than the screen.
    QRect screen = FForm->Widget()->screen()->availableGeometry();
    FForm->SetBounds(screen.right() - 80, 0, 80, 60);
    FBox->SetBounds(10, 10, 56, 19);
    FBox->Items().Add(std::string(2000, 'w'));
    FBox->SetDroppedDown(true);
    pop = FBox->DropDownWidget();
    ASSERT_NE(pop, nullptr);
    EXPECT_LE(pop->width(), screen.width());
    EXPECT_TRUE(screen.contains(pop->geometry())) << pop->geometry().x() << "," << pop->width();
    FBox->SetDroppedDown(false);
}
