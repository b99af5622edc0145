// The progress gauge: its value model, the percentage rules, the repaints of a download and
// the bar's pixels.
#include <gtest/gtest.h>

#include <climits>

#include "support/GuiTestMain.h"
#include "widgets/Gauges.h"

namespace kapo {
namespace {

constexpr TColor kBarBack = 0x804000;

class CountingGauge : public TGauge {
public:
    using TGauge::TGauge;
    int repaints = 0;
    void Repaint() override
    {
        ++repaints;
        TGauge::Repaint();
    }
};

// The window's gauge.
void ConfigureLikeG1(TGauge& g)
{
    g.SetBounds(118, 11, 60, 4);
    g.SetBackColor(kBarBack);
    g.SetForeColor(clLime);
    g.SetProgress(0);
    g.SetShowText(false);
}

TColor At(const QImage& img, int x, int y) { return FromQRgb(img.pixel(x, y)); }

TEST(GaugeMath, PercentagesTruncateTowardZero)
{
    EXPECT_EQ(ScaleByPercent(50, 59), 29);
    EXPECT_EQ(ScaleByPercent(20, 5), 1) << "an exact multiple is not one short";
    EXPECT_EQ(ScaleByPercent(99, 1000), 990);
    EXPECT_EQ(ScaleByPercent(-50, 59), -29);
    EXPECT_EQ(ScaleByPercent(100, INT_MAX), INT_MAX);
    EXPECT_EQ(PercentOfRange(5, 0), 0);
    EXPECT_EQ(PercentOfRange(1, 3), 33);
    EXPECT_EQ(PercentOfRange(-1, 3), -33);
    EXPECT_EQ(PercentOfRange(999999, 1000000), 99);

    TGauge g(nullptr);
    g.SetMinValue(INT_MIN);
    g.SetMaxValue(INT_MAX);
    g.SetProgress(INT_MAX);
    EXPECT_EQ(g.DonePercent(), 100) << "a range wider than 2^31 does not wrap";
    g.SetProgress(0);
    EXPECT_EQ(g.DonePercent(), 50);
}

TEST(GaugeModel, ValuesAreClampedAndRangeErrorsChangeNothing)
{
    CountingGauge g(nullptr);
    EXPECT_EQ(g.Width(), 100);
    EXPECT_EQ(g.Height(), 100);
    EXPECT_EQ(g.MaxValue(), 100);
    EXPECT_EQ(g.Kind(), gkHorizontalBar);
    EXPECT_TRUE(g.ShowText());
    EXPECT_EQ(g.BorderStyle(), bsSingle);
    EXPECT_EQ(g.ForeColor(), clBlack);
    EXPECT_EQ(g.BackColor(), clWhite);

    g.SetProgress(150);
    EXPECT_EQ(g.Progress(), 100);
    g.SetProgress(-5);
    EXPECT_EQ(g.Progress(), 0);
    g.SetProgress(70);
    g.SetMaxValue(40);
    EXPECT_EQ(g.Progress(), 40) << "follows a lowered maximum";
    EXPECT_EQ(g.DonePercent(), 100);
    g.SetMinValue(20);
    g.SetProgress(0);
    EXPECT_EQ(g.Progress(), 20);

    int before = g.repaints;
    try {
        g.SetMaxValue(-1);
        ADD_FAILURE() << "no error";
    } catch (const EInvalidOperation& e) {
        EXPECT_EQ(e.Message(), "Value must be between 21 and 2147483647");
    }
    try {
        g.SetMinValue(41);
        ADD_FAILURE() << "no error";
    } catch (const EInvalidOperation& e) {
        EXPECT_EQ(e.Message(), "Value must be between -2147483647 and 39");
    }
    EXPECT_EQ(g.MinValue(), 20);
    EXPECT_EQ(g.MaxValue(), 40);
    EXPECT_EQ(g.Progress(), 20);
    EXPECT_EQ(g.repaints, before);

    g.SetMaxValue(20);
    EXPECT_EQ(g.DonePercent(), 0) << "an empty range is 0 %";

    // While the description is read the checks are skipped.
    g.SetLoading(true);
    g.SetMaxValue(-7);
    EXPECT_EQ(g.MaxValue(), -7);
    g.SetLoading(false);
}

TEST(GaugeModel, ADownloadRepaintsOnlyWhenTheWholePercentageChanges)
{
    CountingGauge g(nullptr);
    ConfigureLikeG1(g);
    g.SetMaxValue(1000000);
    g.repaints = 0;
    for (int received = 100; received <= 1000000; received += 100) g.SetProgress(received);
    EXPECT_EQ(g.repaints, 100);
    g.SetMaxValue(1000000);
    g.SetProgress(1000000);
    EXPECT_EQ(g.repaints, 100) << "unchanged values repaint nothing";
    g.SetProgress(0);
    EXPECT_EQ(g.repaints, 101);
}

TEST(GaugePaint, HorizontalBarOfTheWindowLightsFColumns)
{
    TGauge g(nullptr);
    ConfigureLikeG1(g);
    const std::pair<int, int> table[] = {{0, 0},   {1, 0},   {2, 1},   {3, 1},   {4, 2},   {10, 5},
                                         {25, 14}, {50, 29}, {75, 44}, {99, 58}, {100, 59}};
    for (auto [percent, f] : table) {
        SCOPED_TRACE(percent);
        g.SetProgress(percent);
        QImage img = g.PaintTo();
        ASSERT_EQ(img.width(), 60);
        ASSERT_EQ(img.height(), 4);
        for (int x = 0; x < 60; ++x) {
            ASSERT_EQ(At(img, x, 0), clBlack) << x;
            ASSERT_EQ(At(img, x, 3), clBlack) << x;
        }
        for (int y = 1; y <= 2; ++y) {
            ASSERT_EQ(At(img, 0, y), clBlack);
            ASSERT_EQ(At(img, 59, y), clBlack);
            for (int x = 1; x <= 58; ++x) ASSERT_EQ(At(img, x, y), x < f ? clLime : kBarBack) << x << "," << y;
        }
    }
}

TEST(GaugePaint, VerticalBarTextKindAndPercentText)
{
    TGauge g(nullptr);
    g.SetBounds(0, 0, 20, 30);
    g.SetForeColor(clRed);
    g.SetBackColor(clBlue);
    g.SetShowText(false);
    g.SetKind(gkVerticalBar);
    g.SetProgress(50);
    // Paint rectangle (1, 1, 19, 29): W = 19, H = 29, F = 14, lit rows 15 … 28.
    QImage img = g.PaintTo();
    for (int y = 1; y <= 28; ++y)
        for (int x = 1; x <= 18; ++x) ASSERT_EQ(At(img, x, y), y >= 15 ? clRed : clBlue) << x << "," << y;
    g.SetProgress(100);  // F is held one below H, which still lights every row
    img = g.PaintTo();
    for (int y = 1; y <= 28; ++y) ASSERT_EQ(At(img, 5, y), clRed) << y;
    EXPECT_EQ(At(img, 5, 29), clBlack);

    g.SetKind(gkText);
    img = g.PaintTo();
    for (int y = 1; y <= 28; ++y)
        for (int x = 1; x <= 18; ++x) ASSERT_EQ(At(img, x, y), clBlue);

    // The text is combined by inversion: white on black flips the colours underneath.
    g.SetBounds(0, 0, 100, 20);
    g.SetKind(gkHorizontalBar);
    g.SetProgress(50);
    g.SetShowText(true);
    img = g.PaintTo();
    int flipped = 0;
    for (int y = 1; y < 19; ++y)
        for (int x = 1; x < 99; ++x) {
            TColor c = At(img, x, y);
            if (c != clRed && c != clBlue) ++flipped;
        }
    EXPECT_GT(flipped, 10) << "\"50%\" is drawn";

    g.SetBorderStyle(bsNone);
    g.SetShowText(false);
    img = g.PaintTo();
    EXPECT_EQ(At(img, 0, 0), clRed) << "no ring without a border";
    EXPECT_EQ(At(img, 99, 19), clBlue);
}

bool Reddish(TColor c) { return (c & 0xFF) > 180 && ((c >> 8) & 0xFF) < 120 && ((c >> 16) & 0xFF) < 120; }

int ReddishIn(const QImage& img, int x0, int y0, int x1, int y1)
{
    int n = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) n += Reddish(At(img, x, y));
    return n;
}

TEST(GaugePaint, PieAndNeedleDrawTheirValue)
{
    TGauge g(nullptr);
    g.SetBounds(0, 0, 60, 60);
    g.SetForeColor(clRed);
    g.SetBackColor(clBlue);
    g.SetShowText(false);

    // The pie fills clockwise from 12 o'clock: three quarters leave the upper left quarter.
    g.SetKind(gkPie);
    EXPECT_EQ(ReddishIn(g.PaintTo(), 0, 0, 60, 60), 0);
    g.SetProgress(75);
    QImage img = g.PaintTo();
    EXPECT_EQ(At(img, 45, 15), clRed);
    EXPECT_EQ(At(img, 45, 45), clRed);
    EXPECT_EQ(At(img, 15, 45), clRed);
    EXPECT_EQ(At(img, 18, 18), clBlue);

    // The needle swings from the left (0 %) to the right (100 %).
    g.SetKind(gkNeedle);
    g.SetProgress(0);
    img = g.PaintTo();
    EXPECT_EQ(ReddishIn(img, 36, 0, 60, 50), 0);
    EXPECT_GT(ReddishIn(img, 0, 50, 25, 60), 0);
    EXPECT_EQ(At(img, 30, 10), clBlue);
    g.SetProgress(75);
    img = g.PaintTo();
    EXPECT_GT(ReddishIn(img, 36, 0, 60, 50), 0);
    EXPECT_EQ(ReddishIn(img, 0, 0, 25, 60), 0);
}

}  // namespace
}  // namespace kapo
