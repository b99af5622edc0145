// The tree on screen: real key, mouse and wheel events sent to its widget, the click raised
// once per change of the current row, and the owner-drawn rows read back pixel by pixel.
#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScrollBar>
#include <QWheelEvent>

#include "support/GuiTestMain.h"
#include "support/InputEvents.h"
#include "widgets/Outline.h"

namespace kapo {
namespace {

using test::ShownErrors;

constexpr TColor kListaColor = 0xA6BCC6;
constexpr TColor kListaText = 0x263A51;

class CountingOutline : public TOutline {
public:
    using TOutline::TOutline;
    int beeps = 0;

protected:
    void Beep() override { ++beeps; }
};

// The window's tree settings.
void ConfigureLikeLista(TCustomOutline& t)
{
    t.SetBounds(110, 158, 146, 180);
    t.SetColor(kListaColor);
    t.Font().SetName("Arial");
    t.Font().SetStyle(fsBold);
    t.Font().SetHeight(-12);
    t.Font().SetColor(kListaText);
    t.SetOutlineStyle(osPictureText);
    t.SetOptions(ooDrawTreeRoot);
    t.SetStyle(otOwnerDraw);
    t.SetItemHeight(15);
    t.SetItemSeparator("\\");
    t.SetScrollBars(ssVertical);
    t.SetBorderStyle(bsNone);
}

using testsupport::Key;

using testsupport::Mouse;

using testsupport::Wheel;

class OutlineView : public ::testing::Test {
protected:
    void SetUp() override
    {
        ShownErrors().clear();
        tree = std::make_unique<CountingOutline>(nullptr);
        ConfigureLikeLista(*tree);
        // Like the window's handler: every click reads the selected item.
        tree->OnClick = [this](TObject*) { clicks.push_back(tree->SelectedItem()); };
        tree->OnDblClick = [this](TObject*) { ++dblClicks; };
        tree->Widget()->show();
    }
    void TearDown() override
    {
        tree.reset();
        EXPECT_TRUE(ShownErrors().empty());
        ShownErrors().clear();
    }

    void Load(const std::vector<std::string>& lines)
    {
        for (const auto& l : lines) tree->Lines().Add(l);
    }

    std::unique_ptr<CountingOutline> tree;
    std::vector<int> clicks;
    int dblClicks = 0;
};

TEST_F(OutlineView, KeysMoveTheRowAndRaiseOneClickPerRow)
{
    Load({"A", "\tA1", "\tA2", "B", "C", "D"});
    ASSERT_EQ(tree->SelectedItem(), 1);
    Key(*tree, Qt::Key_Down);
    Key(*tree, Qt::Key_Down);
    Key(*tree, Qt::Key_Down);
    Key(*tree, Qt::Key_Down);  // already on the last row
    EXPECT_EQ(clicks, (std::vector<int>{4, 5, 6}));
    clicks.clear();

    Key(*tree, Qt::Key_Home);
    Key(*tree, Qt::Key_Return);  // opens A; A keeps its row
    EXPECT_TRUE(tree->Items(1)->Expanded());
    Key(*tree, Qt::Key_Right);                      // first child
    Key(*tree, Qt::Key_Down, Qt::ControlModifier);  // next sibling
    Key(*tree, Qt::Key_Down, Qt::ControlModifier);  // none: beep
    Key(*tree, Qt::Key_Up, Qt::ControlModifier);
    Key(*tree, Qt::Key_Up, Qt::ControlModifier);  // none: beep
    Key(*tree, Qt::Key_Left);                     // parent
    Key(*tree, Qt::Key_Left);                     // top level: beep
    EXPECT_EQ(clicks, (std::vector<int>{1, 2, 3, 2, 1}));
    EXPECT_EQ(tree->beeps, 3);
    clicks.clear();

    Key(*tree, Qt::Key_End);
    Key(*tree, Qt::Key_Right);  // a leaf: beep
    Key(*tree, Qt::Key_Home, Qt::ControlModifier);
    Key(*tree, Qt::Key_End, Qt::ControlModifier);
    Key(*tree, Qt::Key_Up);
    EXPECT_EQ(clicks, (std::vector<int>{6, 1, 6, 5}));
    EXPECT_EQ(tree->beeps, 4);
    clicks.clear();

    // Typed characters act on the current item.
    tree->SetSelectedItem(1);
    clicks.clear();
    Key(*tree, Qt::Key_Minus, Qt::NoModifier, "-");
    EXPECT_FALSE(tree->Items(1)->Expanded());
    EXPECT_EQ(tree->RowCount(), 4);
    Key(*tree, Qt::Key_Plus, Qt::NoModifier, "+");
    EXPECT_TRUE(tree->Items(1)->Expanded());
    Key(*tree, Qt::Key_Minus, Qt::NoModifier, "-");
    Key(*tree, Qt::Key_Asterisk, Qt::NoModifier, "*");
    EXPECT_TRUE(tree->Items(1)->Expanded());
    EXPECT_EQ(tree->RowCount(), 6);
    EXPECT_TRUE(clicks.empty()) << "the current row never moved";
}

TEST_F(OutlineView, MouseSelectsOnPressAndClicksOnRelease)
{
    Load({"A", "\tA1", "B", "C"});
    Mouse(*tree, QEvent::MouseButtonPress, 40, 20, Qt::LeftButton);
    EXPECT_TRUE(clicks.empty());
    EXPECT_EQ(tree->Row(), 1);
    Mouse(*tree, QEvent::MouseButtonRelease, 40, 20, Qt::NoButton);
    EXPECT_EQ(clicks, std::vector<int>{3});

    // Dragging with the button held carries the current row along; one click at the end.
    Mouse(*tree, QEvent::MouseButtonPress, 40, 5, Qt::LeftButton);
    Mouse(*tree, QEvent::MouseMove, 40, 35, Qt::LeftButton);
    EXPECT_EQ(tree->Row(), 2);
    Mouse(*tree, QEvent::MouseMove, 40, 170, Qt::LeftButton);
    EXPECT_EQ(tree->Row(), 2) << "stays within the rows";
    Mouse(*tree, QEvent::MouseButtonRelease, 40, 170, Qt::NoButton);
    EXPECT_EQ(clicks, (std::vector<int>{3, 4}));

    // A double click: one click from the first press, then the toggle, no second click.
    Mouse(*tree, QEvent::MouseButtonPress, 40, 5, Qt::LeftButton);
    Mouse(*tree, QEvent::MouseButtonRelease, 40, 5, Qt::NoButton);
    Mouse(*tree, QEvent::MouseButtonDblClick, 40, 5, Qt::LeftButton);
    Mouse(*tree, QEvent::MouseButtonRelease, 40, 5, Qt::NoButton);
    EXPECT_EQ(clicks, (std::vector<int>{3, 4, 1}));
    EXPECT_EQ(dblClicks, 1);
    EXPECT_TRUE(tree->Items(1)->Expanded());
    EXPECT_EQ(tree->RowCount(), 4);

    // Below the last row nothing happens.
    Mouse(*tree, QEvent::MouseButtonPress, 40, 100, Qt::LeftButton);
    Mouse(*tree, QEvent::MouseButtonRelease, 40, 100, Qt::NoButton);
    EXPECT_EQ(clicks.size(), 3u);
    EXPECT_EQ(tree->Row(), 0);

    // The blank row of an empty tree still clicks; nothing is selected.
    tree->Clear();
    clicks.clear();
    Mouse(*tree, QEvent::MouseButtonPress, 40, 5, Qt::LeftButton);
    Mouse(*tree, QEvent::MouseButtonRelease, 40, 5, Qt::NoButton);
    EXPECT_EQ(clicks, std::vector<int>{0});
}

TEST_F(OutlineView, WheelMovesTheRowScrollBarMovesOnlyTheView)
{
    std::vector<std::string> lines;
    for (int i = 0; i < 30; ++i) lines.push_back("Categoria " + std::to_string(i));
    Load(lines);
    Wheel(*tree, -1);
    Wheel(*tree, -1);
    Wheel(*tree, 1);
    EXPECT_EQ(clicks, (std::vector<int>{2, 3, 2}));
    Wheel(*tree, 1);
    Wheel(*tree, 1);  // on the first row: nothing
    EXPECT_EQ(clicks, (std::vector<int>{2, 3, 2, 1}));

    auto* bar = tree->Widget()->findChild<QScrollBar*>();
    ASSERT_NE(bar, nullptr);
    ASSERT_TRUE(tree->VertScrollBarVisible());
    EXPECT_EQ(tree->ColWidth(), tree->ClientWidth());
    EXPECT_LT(tree->ClientWidth(), 146);
    bar->setValue(10);
    EXPECT_EQ(tree->TopRow(), 10);
    EXPECT_EQ(tree->Row(), 0);
    EXPECT_EQ(clicks.size(), 4u);

    // Writing the selection moves the row (and the view) with one click, none when it stays.
    tree->SetSelectedItem(25);
    tree->SetSelectedItem(25);
    EXPECT_EQ(clicks.back(), 25);
    EXPECT_EQ(clicks.size(), 5u);
    EXPECT_LE(tree->TopRow(), 24);
    EXPECT_GE(tree->TopRow() + tree->VisibleRowCount(), 25);
}

bool IsHighlight(const QImage& img, int x, int y) { return FromQRgb(img.pixel(x, y)) == clHighlight; }

// The picture as it should appear: its size clipped to the box, the see-through colour
// replaced by the tree's colour.
void ExpectPictureAt(const QImage& img, TBitmap& pic, int left, int rowTop, int box, const char* what)
{
    SCOPED_TRACE(what);
    int top = rowTop + (15 - box) / 2;
    if (pic.Height() <= box - 2) top = rowTop + (15 - pic.Height()) / 2;
    TColor key = pic.TransparentColor();
    int w = std::min(pic.Width(), box), h = std::min(pic.Height(), box);
    for (int j = 0; j < h; ++j)
        for (int i = 0; i < w; ++i) {
            TColor p = FromQRgb(pic.Image().pixel(i, j));
            TColor expect = p == key ? kListaColor : p;
            ASSERT_EQ(FromQRgb(img.pixel(left + i, top + j)), expect) << "at " << i << "," << j;
        }
}

TEST_F(OutlineView, OwnerDrawnRowsHighlightOnlyTheTextAndPlaceThePictures)
{
    Load({"Animais:animais.txt", "\tAves:aves.txt", "\tGatos:gatos.txt", "Ambientes", "", "Veículos"});
    tree->Items(1)->Expand();
    tree->SetSelectedItem(2);
    ASSERT_EQ(tree->PictureBoxSize(), 13);
    ASSERT_EQ(tree->DefaultRowHeight(), 15);
    QImage img = tree->PaintTo();
    ASSERT_EQ(img.width(), 146);
    ASSERT_EQ(img.height(), 180);

    // Pictures: box left = x + (15 - 13) / 2 - 1, one row of pictures per level.
    ExpectPictureAt(img, tree->PictureOpen(), 0, 0, 13, "open folder, level 1");
    ExpectPictureAt(img, tree->PictureLeaf(), 15, 15, 13, "leaf, level 2");
    ExpectPictureAt(img, tree->PictureLeaf(), 0, 45, 13, "leaf, level 1");

    // The highlight covers exactly the text rectangle of the current row.
    TCanvas measure;
    measure.Font().Assign(tree->Font());
    int w = measure.TextWidth("Aves:aves.txt");
    int left = 30, right = 30 + w + 1;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if (IsHighlight(img, x, y)) {
                ASSERT_TRUE(y >= 15 && y < 30 && x >= left && x < right) << x << "," << y;
            }
    EXPECT_TRUE(IsHighlight(img, left, 15));
    EXPECT_TRUE(IsHighlight(img, right - 1, 15));
    EXPECT_TRUE(IsHighlight(img, left, 29));
    EXPECT_TRUE(IsHighlight(img, right - 1, 29));
    bool white = false, ink = false;
    for (int y = 15; y < 30; ++y)
        for (int x = left; x < right; ++x) white |= FromQRgb(img.pixel(x, y)) == clHighlightText;
    for (int y = 45; y < 60; ++y)
        for (int x = 15; x < 146; ++x) ink |= FromQRgb(img.pixel(x, y)) == kListaText;
    EXPECT_TRUE(white) << "current row's text in the highlight text colour";
    EXPECT_TRUE(ink) << "other rows in the font colour";
    for (int y = 90; y < 180; ++y)
        for (int x = 0; x < 146; ++x) ASSERT_EQ(FromQRgb(img.pixel(x, y)), kListaColor) << x << "," << y;

    // An empty text on the current row is not highlighted at all.
    tree->SetSelectedItem(5);
    img = tree->PaintTo();
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) ASSERT_FALSE(IsHighlight(img, x, y)) << x << "," << y;
    ExpectPictureAt(img, tree->PictureLeaf(), 0, 60, 13, "leaf of the empty item");

    // A collapsed folder shows the closed picture; an empty tree only the colour.
    tree->Items(1)->Collapse();
    img = tree->PaintTo();
    ExpectPictureAt(img, tree->PictureClosed(), 0, 0, 13, "closed folder");
    tree->Clear();
    img = tree->PaintTo();
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) ASSERT_EQ(FromQRgb(img.pixel(x, y)), kListaColor);
}

TEST_F(OutlineView, SizesFollowTheStyle)
{
    CountingOutline plain(nullptr);
    EXPECT_EQ(plain.Width(), 121);
    EXPECT_EQ(plain.Height(), 97);
    EXPECT_EQ(plain.Color(), clWindow);
    EXPECT_EQ(plain.OutlineStyle(), osTreePictureText);
    EXPECT_EQ(plain.Options(), unsigned(ooDrawTreeRoot | ooDrawFocusRect));
    EXPECT_EQ(plain.ScrollBars(), ssBoth);
    EXPECT_EQ(plain.RowCount(), 1);
    // Standard rows follow the font: a box of the pixel height, rows 120 % of it.
    plain.Font().SetHeight(-20);
    EXPECT_EQ(plain.PictureBoxSize(), 20);
    EXPECT_EQ(plain.ItemHeight(), 24);
    plain.SetItemHeight(15);
    EXPECT_EQ(plain.ItemHeight(), 24) << "only owner-drawn rows take the item height";
    plain.SetStyle(otOwnerDraw);
    EXPECT_EQ(plain.ItemHeight(), 15);
    EXPECT_EQ(plain.PictureBoxSize(), 13);
    plain.Font().SetHeight(-30);
    EXPECT_EQ(plain.ItemHeight(), 15);
    plain.SetItemHeight(18);
    EXPECT_EQ(plain.PictureBoxSize(), 15);

    // With a horizontal bar the column grows to the widest shown row, else it fits the client.
    EXPECT_EQ(plain.ColWidth(), plain.GridWidth());
    plain.Lines().Add("Uma categoria com um nome bem comprido:comprido.txt");
    plain.Lines().Add("\tUma subcategoria com um nome ainda mais comprido:sub.txt");
    TCanvas measure;
    measure.Font().Assign(plain.Font());
    int top = 18 + measure.TextWidth("Uma categoria com um nome bem comprido:comprido.txt") + 1;
    EXPECT_EQ(plain.ColWidth(), top) << "one picture slot, then the text";
    plain.Items(1)->Expand();
    EXPECT_GT(plain.ColWidth(), top) << "the child row is shown now";
    plain.Items(1)->Collapse();
    EXPECT_EQ(plain.ColWidth(), top);
    plain.SetScrollBars(ssVertical);
    EXPECT_EQ(plain.ColWidth(), plain.GridWidth());
}

}  // namespace
}  // namespace kapo
