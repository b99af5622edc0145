#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>
#include <QTest>
#include <QTimer>

#include "platform/MessageQueue.h"
#include "support/GuiTestMain.h"
#include "ui/ExtCtrls.h"
#include "ui/Forms.h"
#include "ui/Regions.h"
#include "ui/StdCtrls.h"

#include <QLineEdit>

#include <functional>

using namespace kapo;

namespace {

QImage solid(int w, int h, QRgb c)
{
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(c);
    return img;
}

}  // namespace

TEST(ErrorDisplay, PeriodRuleAndGuardedHandlers)
{
    EXPECT_EQ(TApplication::ErrorText("File not found"), "File not found.");
    EXPECT_EQ(TApplication::ErrorText("I/O error 21"), "I/O error 21.");
    EXPECT_EQ(TApplication::ErrorText("Already."), "Already.");
    EXPECT_EQ(TApplication::ErrorText("Falha!"), "Falha!");
    EXPECT_EQ(TApplication::ErrorText("Som já existe!!!"), "Som já existe!!!");
    EXPECT_EQ(TApplication::ErrorText("(x)"), "(x)");
    EXPECT_EQ(TApplication::ErrorText("ação"), "ação.");
    EXPECT_EQ(TApplication::ErrorText(""), "");

    test::ShownErrors().clear();
    GuardCall([] { throw EInOutError(2); });
    GuardCall([] {});
    ASSERT_EQ(test::ShownErrors().size(), 1u);
    EXPECT_EQ(test::ShownErrors()[0], "File not found.");
}

TEST(ErrorDisplay, AnExceptionInAMouseHandlerIsShownAndTheProgramGoesOn)
{
    TForm form(nullptr);
    form.SetBounds(0, 0, 100, 100);
    auto* img = new TImage(&form);
    img->SetParent(&form);
    img->SetBounds(10, 10, 50, 50);
    int downs = 0;
    img->OnMouseDown = [&](TObject*, TMouseButton, TShiftState, int, int) {
        ++downs;
        throw Exception("Cannot create file /x/y");
    };
    form.Widget()->show();
    test::ShownErrors().clear();
    QTest::mousePress(img->Widget(), Qt::LeftButton, {}, QPoint(5, 5));
    QTest::mouseRelease(img->Widget(), Qt::LeftButton, {}, QPoint(5, 5));
    QTest::mousePress(img->Widget(), Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_EQ(downs, 2);
    ASSERT_EQ(test::ShownErrors().size(), 2u);
    EXPECT_EQ(test::ShownErrors()[0], "Cannot create file /x/y.");
}

TEST(Picture, MouseEventsCarryButtonShiftAndPictureCoordinates)
{
    TForm form(nullptr);
    form.SetBounds(0, 0, 200, 200);
    auto* img = new TImage(&form);
    img->SetParent(&form);
    img->SetBounds(30, 40, 100, 100);
    std::vector<std::string> log;
    img->OnMouseDown = [&](TObject* s, TMouseButton b, TShiftState sh, int x, int y) {
        EXPECT_EQ(s, img);
        log.push_back("down " + std::to_string(b) + " " + std::to_string(x) + "," + std::to_string(y) +
                      ((sh & ssShift) ? " shift" : ""));
    };
    img->OnMouseMove = [&](TObject*, TShiftState sh, int x, int y) {
        if (sh & ssRight) log.push_back("move " + std::to_string(x) + "," + std::to_string(y));
    };
    img->OnMouseUp = [&](TObject*, TMouseButton b, TShiftState, int x, int y) {
        log.push_back("up " + std::to_string(b) + " " + std::to_string(x) + "," + std::to_string(y));
    };
    form.Widget()->show();
    QTest::mousePress(img->Widget(), Qt::RightButton, Qt::ShiftModifier, QPoint(7, 9));
    QMouseEvent mv(QEvent::MouseMove, QPointF(12, 3), img->Widget()->mapToGlobal(QPointF(12, 3)), Qt::NoButton,
                   Qt::RightButton, Qt::NoModifier);
    QApplication::sendEvent(img->Widget(), &mv);
    QTest::mouseRelease(img->Widget(), Qt::RightButton, {}, QPoint(12, 3));
    EXPECT_EQ(log, (std::vector<std::string>{"down 1 7,9 shift", "move 12,3", "up 1 12,3"}));
}

TEST(Canvas, RasterOperationsAreExact)
{
    QImage dst = solid(4, 1, qRgb(0x10, 0x20, 0x30));
    QImage src = solid(4, 1, qRgb(0xFF, 0x00, 0x0F));
    RasterBlt(dst, 0, 0, 1, 1, nullptr, 0, 0, BLACKNESS);
    RasterBlt(dst, 1, 0, 1, 1, nullptr, 0, 0, DSTINVERT);
    RasterBlt(dst, 2, 0, 1, 1, &src, 0, 0, SRCINVERT);
    RasterBlt(dst, 3, 0, 1, 1, &src, 0, 0, SRCCOPY);
    EXPECT_EQ(dst.pixel(0, 0) & 0xFFFFFF, 0x000000u);
    EXPECT_EQ(dst.pixel(1, 0) & 0xFFFFFF, 0xEFDFCFu);
    EXPECT_EQ(dst.pixel(2, 0) & 0xFFFFFF, 0xEF203Fu);
    EXPECT_EQ(dst.pixel(3, 0) & 0xFFFFFF, 0xFF000Fu);
    // Out-of-range blocks are clipped, not written past the image.
    RasterBlt(dst, 3, 0, 10, 10, &src, 0, 0, BLACKNESS);
    EXPECT_EQ(dst.pixel(3, 0) & 0xFFFFFF, 0u);

    TBitmap bmp(3, 2);
    bmp.Canvas().Brush().Color = 0x0000FF;  // red, low byte
    bmp.Canvas().FillRect(Rect(0, 0, 2, 1));
    EXPECT_EQ(bmp.Canvas().Pixels(0, 0), 0x0000FF);
    EXPECT_EQ(bmp.Canvas().Pixels(2, 0), clWhite);
    EXPECT_EQ(bmp.Canvas().Pixels(5, 5), clNone);
    EXPECT_EQ(bmp.Image().pixel(1, 0) & 0xFFFFFF, 0xFF0000u);  // Qt's red
}

TEST(Canvas, BrushCopyReplacesTheTransparentColour)
{
    TBitmap pic(2, 1);
    pic.Canvas().SetPixel(0, 0, 0x00FF00);
    pic.Canvas().SetPixel(1, 0, 0x123456);
    TBitmap dst(2, 1);
    dst.Canvas().Brush().Color = 0xA6BCC6;
    dst.Canvas().BrushCopy(Rect(0, 0, 2, 1), pic, Rect(0, 0, 2, 1), 0x00FF00);
    EXPECT_EQ(dst.Canvas().Pixels(0, 0), 0xA6BCC6);
    EXPECT_EQ(dst.Canvas().Pixels(1, 0), 0x123456);
}

TEST(Region, RowRunsSkipZeroBytes)
{
    const std::uint8_t row[] = {0, 5, 5, 7, 0, 0, 9};
    auto runs = MaskRowRuns(row, 7);
    std::vector<std::pair<int, int>> want{{1, 2}, {3, 3}, {6, 6}};
    EXPECT_EQ(runs, want);
    const std::uint8_t zeros[] = {0, 0};
    EXPECT_TRUE(MaskRowRuns(zeros, 2).empty());
}

TEST(Region, KeyColourPixelsLieOutside)
{
    TBitmap pic(5, 3);
    pic.Canvas().Brush().Color = 0x556677;
    pic.Canvas().FillRect(Rect(0, 0, 5, 3));
    pic.Canvas().SetPixel(0, 0, 0xFF00FF);
    pic.Canvas().SetPixel(4, 0, 0xFF00FF);
    pic.Canvas().SetPixel(2, 1, 0xFF00FF);  // a hole inside
    pic.Canvas().SetPixel(0, 2, 0xFF00FF);
    pic.Canvas().SetPixel(4, 2, 0xFF00FF);
    QRegion r = RegionFromPicture(pic, 0xFF00FF);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x)
            EXPECT_EQ(r.contains(QPoint(x, y)), pic.Canvas().Pixels(x, y) != 0xFF00FF) << x << "," << y;
    // Near-key colours and black are inside: only the exact key is cut.
    TBitmap dark(2, 1);
    dark.Canvas().SetPixel(0, 0, 0x000000);
    dark.Canvas().SetPixel(1, 0, 0xFE00FF);
    EXPECT_EQ(RegionFromPicture(dark, 0xFF00FF), QRegion(0, 0, 2, 1));
    // A picture without the key colour gives its whole rectangle.
    TBitmap plain(7, 4);
    EXPECT_EQ(RegionFromPicture(plain, 0xFF00FF), QRegion(0, 0, 7, 4));
}

TEST(ListBox, ClicksAndArrowsMoveTheHighlightOnce)
{
    TForm form(nullptr);
    form.SetBounds(0, 0, 200, 200);
    auto* lb = new TListBox(&form);
    lb->SetParent(&form);
    lb->SetBounds(0, 0, 100, 45);
    lb->SetItemHeight(15);
    for (int i = 0; i < 10; ++i) lb->Items().Add("row " + std::to_string(i));
    int clicks = 0, dbl = 0;
    lb->OnClick = [&](TObject*) { ++clicks; };
    lb->OnDblClick = [&](TObject*) { ++dbl; };
    form.Widget()->show();
    EXPECT_EQ(lb->ItemIndex(), -1);
    QTest::mouseClick(lb->Widget(), Qt::LeftButton, {}, QPoint(5, 20));
    EXPECT_EQ(lb->ItemIndex(), 1);
    EXPECT_EQ(clicks, 1);
    QTest::mouseClick(lb->Widget(), Qt::LeftButton, {}, QPoint(5, 20));
    EXPECT_EQ(clicks, 1);  // same row: no change
    QTest::keyClick(lb->Widget(), Qt::Key_Down);
    QTest::keyClick(lb->Widget(), Qt::Key_Down);
    EXPECT_EQ(lb->ItemIndex(), 3);
    EXPECT_EQ(clicks, 3);
    EXPECT_EQ(lb->TopIndex(), 1);  // the highlighted row is scrolled into view
    QTest::mouseDClick(lb->Widget(), Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_EQ(dbl, 1);
    lb->Items().Clear();
    EXPECT_EQ(lb->ItemIndex(), -1);
    QTest::keyClick(lb->Widget(), Qt::Key_Down);  // nothing to move to
    EXPECT_EQ(lb->ItemIndex(), -1);
}

TEST(ListBox, MultiSelectTakesCtrlAndShiftClicksAndShiftArrows)
{
    TForm form(nullptr);
    form.SetBounds(0, 0, 200, 200);
    auto* lb = new TListBox(&form);
    lb->SetParent(&form);
    lb->SetBounds(0, 0, 100, 150);
    lb->SetItemHeight(15);
    lb->SetMultiSelect(true);
    for (int i = 0; i < 8; ++i) lb->Items().Add("row " + std::to_string(i));
    int clicks = 0;
    lb->OnClick = [&](TObject*) { ++clicks; };
    form.Widget()->show();
    auto selected = [&] {
        std::string s;
        for (int i = 0; i < 8; ++i) s += lb->Selected(i) ? '#' : '.';
        return s;
    };
    enum Act { Click, Key };
    struct Row {
        Act What;
        int RowOrKey;
        Qt::KeyboardModifiers Mods;
        const char* Selected;
        int Index, Clicks;
    } rows[] = {
        {Click, 1, {}, ".#......", 1, 1},
        {Click, 3, Qt::ControlModifier, ".#.#....", 3, 2},
        {Click, 5, Qt::ShiftModifier, "...###..", 5, 3},   // from the row last chosen, in place of the rest
        {Click, 4, Qt::ControlModifier, "...#.#..", 4, 4},  // Ctrl takes a row away
        {Key, Qt::Key_Down, Qt::ShiftModifier, "....##..", 5, 5},
        {Key, Qt::Key_Down, Qt::ShiftModifier, "....###.", 6, 6},
        {Key, Qt::Key_Up, Qt::ShiftModifier, "....##..", 5, 7},
        {Key, Qt::Key_Down, {}, "......#.", 6, 8},            // an arrow alone selects one row
        {Click, 2, {}, "..#.....", 2, 9},
        {Click, 2, {}, "..#.....", 2, 9},                    // the same row: no change
        {Key, Qt::Key_Home, Qt::ShiftModifier, "###.....", 0, 10},
    };
    for (const Row& r : rows) {
        if (r.What == Click) QTest::mouseClick(lb->Widget(), Qt::LeftButton, r.Mods, QPoint(5, r.RowOrKey * 15 + 7));
        else QTest::keyClick(lb->Widget(), static_cast<Qt::Key>(r.RowOrKey), r.Mods);
        EXPECT_EQ(selected(), r.Selected) << r.RowOrKey;
        EXPECT_EQ(lb->ItemIndex(), r.Index) << r.RowOrKey;
        EXPECT_EQ(clicks, r.Clicks) << r.RowOrKey;
    }
    EXPECT_EQ(lb->SelCount(), 3);
    // The program's own choice of a row, and new rows, leave that row alone selected.
    lb->SetItemIndex(7);
    EXPECT_EQ(selected(), ".......#");
    lb->SetSelected(1, true);
    EXPECT_EQ(selected(), ".#.....#");
    lb->Items().Add("row 8");
    EXPECT_EQ(selected(), ".......#");
    EXPECT_EQ(lb->SelCount(), 1);
    // Without MultiSelect, modifiers change nothing of a click.
    lb->SetMultiSelect(false);
    QTest::mouseClick(lb->Widget(), Qt::LeftButton, Qt::ShiftModifier, QPoint(5, 2 * 15 + 7));
    EXPECT_EQ(selected(), "..#.....");
    EXPECT_EQ(lb->SelCount(), 1);
}

TEST(Memo, MissingLinesReadEmptyAndLongLinesAreCut)
{
    TMemo memo(nullptr);
    memo.Lines().Add("a");
    memo.Lines().Add(std::string(5000, 'x'));
    EXPECT_EQ(memo.Lines()[0], "a");
    EXPECT_EQ(memo.Lines()[1].size(), 4096u);
    EXPECT_EQ(memo.Lines()[7], "");
    EXPECT_EQ(memo.Lines()[-1], "");
}

TEST(Edit, TextKeepsItsBytesUntilTheUserChangesIt)
{
    TEdit e(nullptr);
    const std::string latin1 = "senha\xE7\xE3o";  // not UTF-8
    e.SetText(latin1);
    EXPECT_EQ(e.LineEdit()->text(), QString::fromUtf8("senhação"));
    EXPECT_EQ(e.Text(), latin1);
    e.SetText("ação");
    EXPECT_EQ(e.LineEdit()->text(), QString::fromUtf8("ação"));
    EXPECT_EQ(e.Text(), "ação");
    e.LineEdit()->setText(QString::fromUtf8("nova senha é"));  // typed by the user
    EXPECT_EQ(e.Text(), "nova senha é");
    e.SetText("");
    EXPECT_EQ(e.Text(), "");
}

TEST(Label, AutoSizeKeepsTheRightEdgeOfRightAlignedText)
{
    TForm form(nullptr);
    auto* l = new TLabel(&form);
    l->SetParent(&form);
    l->SetBounds(270, 289, 34, 14);
    l->SetAlignment(taRightJustify);
    l->SetCaption("Login:");
    EXPECT_EQ(l->Left() + l->Width(), 304);
    EXPECT_GT(l->Width(), 10);
}

TEST(Application, MessagesAreHandledInsideProcessMessagesAndTheQtLoop)
{
    int got = 0;
    HWND w = AllocateHWnd([&](TMessage& m) { got += static_cast<int>(m.WParam); });
    PostMessage(w, WM_USER, 1, 0);
    Application->ProcessMessages();
    EXPECT_EQ(got, 1);
    // The same through the program-wide pump used by the lower layers.
    PostMessage(w, WM_USER, 2, 0);
    WaitMessage(1000);
    ProcessMessages();
    EXPECT_EQ(got, 3);
    // And from Qt's own loop, through the queue's descriptor.
    PostMessage(w, WM_USER, 4, 0);
    QTest::qWait(50);
    EXPECT_EQ(got, 7);
    DeallocateHWnd(w);
}

TEST(Application, NestedPumpInsideAQtHandlerKeepsTheOrder)
{
    // A synchronous wait inside a click handler pumps Qt and the queue; messages queued before
    // it and during it come out once each, in posting order.
    std::vector<int> seen;
    HWND w = 0;
    w = AllocateHWnd([&](TMessage& m) {
        seen.push_back(static_cast<int>(m.WParam));
        if (m.WParam == 1) {
            PostMessage(w, WM_USER, 5, 0);  // queued behind 2 and 3, not ahead of them
            Application->ProcessMessages();
        }
    });
    bool ran = false;
    QTimer::singleShot(0, [&] {
        for (int i = 1; i <= 3; ++i) PostMessage(w, WM_USER, static_cast<WPARAM>(i), 0);
        Application->ProcessMessages();  // as a handler waiting for a request would
        PostMessage(w, WM_USER, 4, 0);
        Application->ProcessMessages();
        ran = true;
    });
    for (int i = 0; i < 200 && !ran; ++i) QTest::qWait(5);
    ASSERT_TRUE(ran);
    QTest::qWait(20);
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3, 5, 4}));
    DeallocateHWnd(w);
}

// A handler may free the control (or list) that raised its event: the event runs a copy of the
// handler, so the code and captures it runs on stay alive until it returns. Each row frees the
// sender, then writes through a capture, which the sanitizer build reports if the handler was
// freed with its control.
TEST(Liveness, AHandlerMayFreeTheControlThatRaisedItsEvent)
{
    struct Row {
        const char* Event;
        std::function<void(TForm&, bool& freed)> Run;
    };
    const Row rows[] = {
        {"string list change",
         [](TForm&, bool& freed) {
             auto* l = new TStringList;
             l->OnChange = [l, &freed](TObject*) {
                 delete l;
                 freed = true;
             };
             l->Add("a");
         }},
        {"edit change typed by the user",
         [](TForm& form, bool& freed) {
             auto* e = new TEdit(&form);
             e->SetParent(&form);
             e->OnChange = [e, &freed](TObject*) {
                 delete e;
                 freed = true;
             };
             e->LineEdit()->setText("x");
         }},
        {"list box click",
         [](TForm& form, bool& freed) {
             auto* lb = new TListBox(&form);
             lb->SetParent(&form);
             lb->SetBounds(0, 0, 100, 45);
             lb->SetItemHeight(15);
             lb->Items().Add("row");
             lb->OnClick = [lb, &freed](TObject*) {
                 delete lb;
                 freed = true;
             };
             QTest::mouseClick(lb->Widget(), Qt::LeftButton, {}, QPoint(5, 5));
         }},
        {"picture mouse down",
         [](TForm& form, bool& freed) {
             auto* img = new TImage(&form);
             img->SetParent(&form);
             img->SetBounds(0, 0, 50, 50);
             img->OnMouseDown = [img, &freed](TObject*, TMouseButton, TShiftState, int, int) {
                 delete img;
                 freed = true;
             };
             QTest::mousePress(img->Widget(), Qt::LeftButton, {}, QPoint(5, 5));
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Event);
        TForm form(nullptr);
        form.SetBounds(0, 0, 200, 200);
        form.Widget()->show();
        test::ShownErrors().clear();
        bool freed = false;
        row.Run(form, freed);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_TRUE(freed);
        EXPECT_TRUE(test::ShownErrors().empty());
    }
}
