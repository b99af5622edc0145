// The tree's line model: levels from indentation, lines read back, lazy numbering, lookups,
// rows, expanding and collapsing, and how each failure reaches the caller or the user.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "support/GuiTestMain.h"
#include "widgets/Outline.h"

namespace kapo {
namespace {

using test::ShownErrors;

std::string MessageOf(const std::function<void()>& f)
{
    try {
        f();
    } catch (const EOutlineError& e) {
        return "EOutlineError: " + e.Message();
    } catch (const Exception& e) {
        return "Exception: " + e.Message();
    }
    return "no error";
}

class OutlineModel : public ::testing::Test {
protected:
    void SetUp() override
    {
        ShownErrors().clear();
        tree = std::make_unique<TOutline>(nullptr);
    }
    void TearDown() override { ShownErrors().clear(); }

    void Load(const std::vector<std::string>& lines)
    {
        for (const auto& l : lines) tree->Lines().Add(l);
    }

    // Items in pre-order, the way numbers are meant to be given.
    std::vector<TOutlineNode*> Walk() const
    {
        std::vector<TOutlineNode*> out;
        std::function<void(TOutlineNode*)> visit = [&](TOutlineNode* n) {
            for (TOutlineNode* c : n->Children()) {
                out.push_back(c);
                visit(c);
            }
        };
        if (tree->ItemCount() > 0) visit(tree->Items(1)->Parent());
        return out;
    }

    // Shown items in row order.
    std::vector<TOutlineNode*> ShownWalk() const
    {
        std::vector<TOutlineNode*> out;
        for (TOutlineNode* n : Walk())
            if (n->IsVisible()) out.push_back(n);
        return out;
    }

    void ExpectConsistent(const char* where)
    {
        SCOPED_TRACE(where);
        auto all = Walk();
        ASSERT_EQ(tree->ItemCount(), static_cast<int>(all.size()));
        for (std::size_t i = 0; i < all.size(); ++i) {
            ASSERT_EQ(all[i]->Index(), static_cast<int>(i) + 1) << "item " << all[i]->Text();
            ASSERT_EQ(tree->Items(static_cast<int>(i) + 1), all[i]);
        }
        auto shown = ShownWalk();
        ASSERT_EQ(tree->RowCount(), std::max<int>(1, static_cast<int>(shown.size())));
        for (std::size_t r = 0; r < shown.size(); ++r) {
            ASSERT_EQ(tree->ItemAtRow(static_cast<int>(r)), shown[r]);
            ASSERT_EQ(tree->RowOf(shown[r]), static_cast<int>(r));
        }
    }

    std::unique_ptr<TOutline> tree;
};

TEST_F(OutlineModel, LevelsFollowIndentationAndLinesReadBackWithTabs)
{
    Load({"A", "\tB", "C"});
    ASSERT_EQ(tree->ItemCount(), 3);
    EXPECT_EQ(tree->Items(1)->Level(), 1);
    EXPECT_EQ(tree->Items(2)->Parent(), tree->Items(1));
    EXPECT_EQ(tree->Items(3)->Level(), 1);
    EXPECT_EQ(tree->Lines().Count(), 3);
    EXPECT_EQ(tree->Lines()[1], "\tB");
    // Loaded: only top-level rows, the current row on the first, which reading settles on.
    EXPECT_EQ(tree->RowCount(), 2);
    EXPECT_EQ(tree->SelectedItem(), 1);
    EXPECT_EQ(tree->Lines()[0], "A");

    tree->Clear();
    Load({"A", "  B"});  // two deeper than "A": accepted as its child
    EXPECT_EQ(tree->Items(2)->Parent(), tree->Items(1));
    EXPECT_EQ(tree->Lines()[1], "\tB");

    tree->Clear();
    Load({"A", "\t\tB", "\t\tC", "\t\tD"});
    // The rule compares the last item's level, so C goes under the two-deeper B.
    EXPECT_EQ(tree->Items(2)->Parent(), tree->Items(1));
    EXPECT_EQ(tree->Items(3)->Parent(), tree->Items(2));
    EXPECT_EQ(tree->Items(4)->Parent(), tree->Items(2));
    EXPECT_EQ(tree->Lines()[2], "\t\tC");

    tree->Clear();
    Load({"\tTop", "", " \t", "x  "});
    EXPECT_EQ(tree->Items(1)->Level(), 1);  // a first line one deep is still top level
    EXPECT_EQ(tree->Items(2)->Text(), "");
    EXPECT_EQ(tree->Items(2)->Level(), 1);
    EXPECT_EQ(tree->Items(3)->Level(), 2);  // whitespace only: a deeper empty item
    EXPECT_EQ(tree->Items(3)->Text(), "");
    EXPECT_EQ(tree->Items(4)->Text(), "x  ");  // trailing whitespace kept
}

TEST_F(OutlineModel, TooDeepLinesFailWithFileLoadErrorAndKeepWhatCameBefore)
{
    Load({"A"});
    EXPECT_EQ(MessageOf([&] { tree->Lines().Add("\t\t\tB"); }), "EOutlineError: File load error");
    EXPECT_EQ(tree->ItemCount(), 1);

    tree->Clear();
    EXPECT_EQ(MessageOf([&] { tree->Lines().Add("\t\tB"); }), "EOutlineError: File load error");
    EXPECT_EQ(tree->ItemCount(), 0);
    EXPECT_TRUE(ShownErrors().empty());
}

TEST_F(OutlineModel, LineIndexErrorsAreRaised)
{
    Load({"A", "\tB"});
    EXPECT_EQ(MessageOf([&] { tree->Lines()[tree->ItemCount()]; }), "EOutlineError: Outline index not found");
    EXPECT_EQ(MessageOf([&] { tree->Lines()[-1]; }), "EOutlineError: Invalid outline index");
    EXPECT_EQ(MessageOf([&] { tree->Items(-3); }), "EOutlineError: Outline index not found");
    EXPECT_EQ(MessageOf([&] { tree->Delete(0); }), "EOutlineError: Invalid outline index");
    EXPECT_EQ(MessageOf([&] { tree->Delete(7); }), "EOutlineError: Outline index not found");
    EXPECT_EQ(MessageOf([&] { tree->AddChild(-1, "x"); }), "EOutlineError: Invalid outline index");
    EXPECT_EQ(MessageOf([&] { tree->Insert(-1, "x"); }), "EOutlineError: Invalid outline index");
    EXPECT_EQ(MessageOf([&] { tree->SetSelectedItem(-1); }), "EOutlineError: Invalid selection");
    EXPECT_EQ(MessageOf([&] { tree->SetSelectedItem(9); }), "EOutlineError: Outline index not found");
    EXPECT_TRUE(ShownErrors().empty()) << "these are raised only";
    EXPECT_EQ(tree->ItemCount(), 2);

    tree->Clear();
    EXPECT_EQ(MessageOf([&] { tree->SetSelectedItem(0); }), "EOutlineError: Invalid selection");
}

TEST_F(OutlineModel, AddingUnderAMissingItemIsShownAndThenRaised)
{
    Load({"A", "B"});
    EXPECT_EQ(MessageOf([&] { tree->AddChild(5, "x"); }), "EOutlineError: Outline index not found");
    ASSERT_EQ(ShownErrors(), std::vector<std::string>{"Outline index not found."});
    EXPECT_EQ(MessageOf([&] { tree->Insert(3, "x"); }), "EOutlineError: Outline index not found");
    EXPECT_EQ(ShownErrors().size(), 2u);
    EXPECT_EQ(tree->ItemCount(), 2);
    EXPECT_EQ(tree->Lines().Text(), "A\r\nB\r\n");
}

TEST_F(OutlineModel, DepthLimitIsShownNotRaisedAndLoadingGoesOn)
{
    char dir[] = "/tmp/outline-depth-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/deep.txt";
    {
        std::ofstream f(path, std::ios::binary);
        for (int i = 0; i < 256; ++i) f << std::string(static_cast<std::size_t>(i), '\t') << "L" << i << "\r\n";
        f << std::string(256, '\t') << "too deep\r\n";  // would be level 257
        f << std::string(255, '\t') << "sibling\r\n";   // relates to the last added item
        f << "end\r\n";
    }
    tree->Lines().LoadFromFile(path);
    ::unlink(path.c_str());
    ::rmdir(dir);

    ASSERT_EQ(ShownErrors(), std::vector<std::string>{"Maximum outline depth exceeded."});
    ASSERT_EQ(tree->ItemCount(), 258);
    EXPECT_EQ(tree->Items(256)->Level(), 256);
    EXPECT_EQ(tree->Items(256)->Text(), "L255");
    EXPECT_EQ(tree->Items(257)->Text(), "sibling");
    EXPECT_EQ(tree->Items(257)->Parent(), tree->Items(255));
    EXPECT_EQ(tree->Items(258)->Level(), 1);
    EXPECT_EQ(tree->Lines()[256], std::string(255, '\t') + "sibling");

    EXPECT_EQ(tree->AddChild(257, "child of level 256"), 0);
    EXPECT_EQ(ShownErrors().size(), 2u);
    EXPECT_EQ(tree->AddChild(255, "one more at level 256"), 258);
    EXPECT_EQ(tree->Items(258)->Level(), 256);
    EXPECT_EQ(tree->ItemCount(), 259);
}

TEST_F(OutlineModel, LoadFromFileReadsBackTheSameLinesWithTabs)
{
    char dir[] = "/tmp/outline-load-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/indice.txt";
    std::string text =
        "Animais:animais.txt\r\n"
        " Aves:aves.txt\r\n"
        "\t\tCorujas:corujas.txt\n"
        " \tGatos:gatos.txt\r"
        "Ambientes\r\n"
        "\tChuva & trovão:chuva.txt\r\n"
        "Veículos:veiculos.txt";
    {
        std::ofstream f(path, std::ios::binary);
        f << text;
    }
    Load({"old"});
    tree->Lines().LoadFromFile(path);
    std::vector<std::string> expect = {"Animais:animais.txt", "\tAves:aves.txt", "\t\tCorujas:corujas.txt",
                                       "\t\tGatos:gatos.txt", "Ambientes", "\tChuva & trovão:chuva.txt",
                                       "Veículos:veiculos.txt"};
    ASSERT_EQ(tree->Lines().Count(), static_cast<int>(expect.size()));
    for (int i = 0; i < tree->Lines().Count(); ++i) EXPECT_EQ(tree->Lines()[i], expect[static_cast<std::size_t>(i)]);
    EXPECT_EQ(tree->SelectedItem(), 1);

    // A file that cannot be opened leaves the tree as it was.
    std::string missing = std::string(dir) + "/nada.txt";
    EXPECT_EQ(MessageOf([&] { tree->Lines().LoadFromFile(missing); }), "Exception: Cannot open file " + missing);
    EXPECT_EQ(tree->ItemCount(), 7);

    // A malformed line stops the load; what was read before stays.
    {
        std::ofstream f(path, std::ios::binary | std::ios::trunc);
        f << "Um\r\n\tDois\r\n\t\t\t\tErrado\r\nTres\r\n";
    }
    EXPECT_EQ(MessageOf([&] { tree->Lines().LoadFromFile(path); }), "EOutlineError: File load error");
    EXPECT_EQ(tree->Lines().Text(), "Um\r\n\tDois\r\n");
    ::unlink(path.c_str());
    ::rmdir(dir);
}

TEST_F(OutlineModel, TextIsSplitIntoLinesExactlyLikeAStringList)
{
    const std::string texts[] = {"a\r\nb\n\rc\rd\n", "x\ny", "", "\r\n", std::string("a\0b\nc", 5),
                                 "\n\n\r\r\n", "last\r", "one"};
    for (const auto& text : texts) {
        SCOPED_TRACE(testing::PrintToString(text));
        TStringList expect;
        expect.SetText(text);
        tree->Lines().SetText(text);
        ASSERT_EQ(tree->Lines().Count(), expect.Count());
        for (int i = 0; i < expect.Count(); ++i) EXPECT_EQ(tree->Lines()[i], expect[i]);
    }
}

TEST_F(OutlineModel, NumbersStayRightThroughInsertsAndDeletesInTheMiddle)
{
    Load({"A", "\tA1", "\t\tA1a", "\t\tA1b", "\tA2", "B", "\tB1", "C"});
    ExpectConsistent("loaded");

    // Sibling inserted before a number, children appended in the middle, deletions of whole
    // subtrees: every later number moves.
    EXPECT_EQ(tree->Insert(2, "A0"), 2);
    ExpectConsistent("insert before A1");
    EXPECT_EQ(tree->Items(3)->Text(), "A1");
    EXPECT_EQ(tree->AddChild(3, "A1c"), 6);
    ExpectConsistent("child appended in the middle");
    EXPECT_EQ(tree->Insert(0, "D"), 11);
    ExpectConsistent("appended at the top level");
    tree->Delete(3);  // A1 and its three children
    ExpectConsistent("subtree deleted");
    EXPECT_EQ(tree->Items(3)->Text(), "A2");
    EXPECT_EQ(tree->Lines().Text(), "A\r\n\tA0\r\n\tA2\r\nB\r\n\tB1\r\nC\r\nD\r\n");

    // Random edits with numbers read only now and then, so that stale numbers are met.
    std::mt19937 rng(20240607);
    for (int step = 0; step < 600; ++step) {
        int count = tree->ItemCount();
        int op = static_cast<int>(rng() % 10);
        std::string text = "n" + std::to_string(step);
        if (count == 0 || op < 4) {
            tree->AddChild(count ? static_cast<int>(rng() % static_cast<unsigned>(count + 1)) : 0, text);
        } else if (op < 7) {
            tree->Insert(static_cast<int>(rng() % static_cast<unsigned>(count)) + 1, text);
        } else if (op < 8 && count > 20) {
            tree->Delete(static_cast<int>(rng() % static_cast<unsigned>(count)) + 1);
        } else if (op < 9) {
            TOutlineNode* n = tree->Items(static_cast<int>(rng() % static_cast<unsigned>(count)) + 1);
            if (n->Parent()->Expanded() || !n->Parent()->Parent()) n->SetExpanded(!n->Expanded());
        } else {
            tree->Lines()[static_cast<int>(rng() % static_cast<unsigned>(count))];
        }
        if (step % 37 == 0) ExpectConsistent(("step " + std::to_string(step)).c_str());
    }
    ExpectConsistent("after random edits");
    EXPECT_TRUE(ShownErrors().empty());
}

TEST_F(OutlineModel, ExpandAndCollapseRaiseEventsAroundTheChangeAndKeepCounts)
{
    Load({"A", "\tA1", "\t\tA1a", "\t\tA1b", "\tA2", "B"});
    std::vector<std::string> events;
    tree->OnExpand = [&](TObject*, int index) {
        TOutlineNode* n = tree->Items(index);
        events.push_back("expand " + n->Text() + (n->Expanded() ? " open" : " closed") + " rows " +
                         std::to_string(tree->RowCount()));
    };
    tree->OnCollapse = [&](TObject*, int index) {
        TOutlineNode* n = tree->Items(index);
        events.push_back("collapse " + n->Text() + (n->Expanded() ? " open" : " closed") + " rows " +
                         std::to_string(tree->RowCount()));
    };
    TOutlineNode* a = tree->Items(1);
    TOutlineNode* a1 = tree->Items(2);
    EXPECT_EQ(MessageOf([&] { a1->Expand(); }), "EOutlineError: Parent must be expanded");
    a->Expand();
    a->Expand();  // already open: nothing
    a1->Expand();
    ExpectConsistent("expanded");
    EXPECT_EQ(tree->RowCount(), 6);
    a->Collapse();
    ExpectConsistent("collapsed");
    EXPECT_EQ(events, (std::vector<std::string>{"expand A closed rows 2", "expand A1 closed rows 4",
                                                "collapse A closed rows 2"}));
    EXPECT_FALSE(a1->Expanded()) << "collapsing closes the descendants too";
    a->Expand();
    EXPECT_EQ(tree->RowCount(), 4) << "a later expand shows only the direct children";
    ExpectConsistent("re-expanded");

    // A leaf can be opened; removing the last child closes its parent.
    TOutlineNode* b = tree->Items(6);
    b->Expand();
    EXPECT_TRUE(b->Expanded());
    tree->AddChild(6, "B1");
    ExpectConsistent("child under an open leaf");
    tree->Delete(7);
    EXPECT_FALSE(tree->Items(6)->Expanded());
    ExpectConsistent("last child deleted");

    tree->FullExpand();
    EXPECT_EQ(tree->RowCount(), 6);
    ExpectConsistent("full expand");
}

TEST_F(OutlineModel, SelectionFollowsCollapseDeleteAndClear)
{
    Load({"A", "\tA1", "\t\tA1a", "B"});
    tree->FullExpand();
    tree->SetSelectedItem(3);  // A1a, row 2
    EXPECT_EQ(tree->Row(), 2);
    tree->Items(1)->Collapse();
    EXPECT_EQ(tree->SelectedItem(), 1) << "the collapsed parent takes the selection";
    EXPECT_EQ(tree->Row(), 0);

    // Selecting a hidden item selects its nearest shown ancestor.
    tree->SetSelectedItem(3);
    EXPECT_EQ(tree->SelectedItem(), 1);
    tree->SetSelectedItem(4);
    EXPECT_EQ(tree->Row(), 1);

    tree->Items(1)->Expand();
    EXPECT_EQ(tree->Row(), 2) << "the selected item's row moved down with the expand";
    EXPECT_EQ(tree->SelectedItem(), 4);

    // Deleting the parent of the selected item: the selection is unsettled, then read anew.
    tree->SetSelectedItem(3);
    tree->Items(1)->FullExpand();
    tree->SetSelectedItem(3);
    tree->Delete(2);
    EXPECT_EQ(tree->ItemCount(), 2);
    EXPECT_EQ(tree->SelectedItem(), 2);  // row 1 now shows B, number 2

    tree->Lines().Clear();
    EXPECT_EQ(tree->SelectedItem(), 0);
    EXPECT_EQ(tree->RowCount(), 1);
}

TEST_F(OutlineModel, LinesCarryObjectsAndTakeOverAnotherList)
{
    TStringList src;
    int x = 1, y = 2;
    src.AddObject("Um", &x);
    src.AddObject("\tDois", &y);
    src.Add("\t\t\t\tfundo demais");
    EXPECT_EQ(MessageOf([&] { tree->SetLines(src); }), "EOutlineError: File load error");
    ASSERT_EQ(tree->ItemCount(), 2);
    EXPECT_EQ(tree->Lines().Objects(0), &x);
    EXPECT_EQ(tree->Lines().Objects(1), &y);
    EXPECT_EQ(tree->Items(2)->UserData(), &y);

    tree->Lines().Insert(1, "\tInserido");  // taken whole, not parsed
    EXPECT_EQ(tree->Items(2)->Text(), "\tInserido");
    EXPECT_EQ(tree->Items(2)->Level(), 2);  // a sibling of "Dois"
    tree->Lines().Put(0, "Novo");  // replaces the text, keeps the children
    EXPECT_EQ(tree->Lines().Text(), "Novo\r\n\t\tInserido\r\n\tDois\r\n");
    tree->Lines().Delete(0);
    EXPECT_EQ(tree->ItemCount(), 0);
}

}  // namespace
}  // namespace kapo
