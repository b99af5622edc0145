#include "widgets/Gauges.h"

#include <cmath>

namespace kapo {

// Exact integer arithmetic: a floating hundredth makes exact multiples such as 20 % of 5
// come out one short after truncation.
int ScaleByPercent(int percent, int size)
{
    return static_cast<int>(static_cast<std::int64_t>(size) * percent / 100);
}

int PercentOfRange(std::int64_t part, std::int64_t whole)
{
    if (whole == 0) return 0;
    return static_cast<int>(part * 100 / whole);
}

TGauge::TGauge(TComponent* owner) : TGraphicControl(owner) { SetBounds(Left(), Top(), 100, 100); }

int TGauge::DonePercent() const
{
    // The differences are taken in 64 bits so that a range wider than 2^31 cannot wrap.
    return PercentOfRange(std::int64_t(FCurValue) - FMinValue, std::int64_t(FMaxValue) - FMinValue);
}

void TGauge::Changed()
{
    if (!Loading()) Repaint();
}

void TGauge::SetMinValue(int v)
{
    if (v == FMinValue) return;
    if (v > FMaxValue && !Loading())
        throw EInvalidOperation(Format("Value must be between %d and %d", -2147483647, std::int64_t(FMaxValue) - 1));
    FMinValue = v;
    if (FCurValue < v) FCurValue = v;
    Changed();
}

void TGauge::SetMaxValue(int v)
{
    if (v == FMaxValue) return;
    if (v < FMinValue && !Loading())
        throw EInvalidOperation(Format("Value must be between %d and %d", std::int64_t(FMinValue) + 1, 2147483647));
    FMaxValue = v;
    if (FCurValue > v) FCurValue = v;
    Changed();
}

void TGauge::SetProgress(int v)
{
    int before = DonePercent();
    if (v < FMinValue)
        v = FMinValue;
    else if (v > FMaxValue)
        v = FMaxValue;
    if (v == FCurValue) return;
    FCurValue = v;
    // A download sets the progress per block; the bar only changes with the whole percentage.
    if (DonePercent() != before) Changed();
}

void TGauge::SetKind(TGaugeKind k)
{
    if (k == FKind) return;
    FKind = k;
    Changed();
}

void TGauge::SetShowText(bool s)
{
    if (s == FShowText) return;
    FShowText = s;
    Changed();
}

void TGauge::SetBorderStyle(TBorderStyle b)
{
    if (b == FBorderStyle) return;
    FBorderStyle = b;
    Changed();
}

void TGauge::SetForeColor(TColor c)
{
    if (c == FForeColor) return;
    FForeColor = c;
    Changed();
}

void TGauge::SetBackColor(TColor c)
{
    if (c == FBackColor) return;
    FBackColor = c;
    Changed();
}

void TGauge::Paint()
{
    int w = Width(), h = Height();
    if (w <= 0 || h <= 0) return;
    // Everything is drawn off screen and copied in one piece, so the bar never flickers.
    TBitmap image(w, h);
    RasterBlt(image.Image(), 0, 0, w, h, nullptr, 0, 0, BLACKNESS);
    TRect paintRect = Rect(0, 0, w, h);
    if (FBorderStyle == bsSingle) paintRect = Rect(1, 1, w - 1, h - 1);

    TBitmap overlay(w, h);
    TCanvas& oc = overlay.Canvas();
    oc.Brush().Color = clWindowFrame;
    oc.FillRect(Rect(0, 0, w, h));
    RasterBlt(overlay.Image(), 0, 0, w, h, nullptr, 0, 0, BLACKNESS);
    switch (FKind) {
    case gkText:
        oc.Brush().Color = FBackColor;
        oc.FillRect(paintRect);
        break;
    case gkHorizontalBar: DrawBar(oc, paintRect, true); break;
    case gkVerticalBar: DrawBar(oc, paintRect, false); break;
    case gkPie: DrawPie(oc, paintRect); break;
    case gkNeedle: DrawNeedle(oc, paintRect); break;
    }
    RasterBlt(image.Image(), 0, 0, w, h, &overlay.Image(), 0, 0, SRCINVERT);

    if (FShowText) {
        TBitmap textOverlay(w, h);
        RasterBlt(textOverlay.Image(), 0, 0, w, h, nullptr, 0, 0, BLACKNESS);
        TCanvas& tc = textOverlay.Canvas();
        tc.Font().Assign(Font());
        tc.Font().SetColor(clWhite);
        tc.Brush().Style = bsClear;
        std::string text = Format("%d%%", DonePercent());
        int x = paintRect.Left + (paintRect.Width() - tc.TextWidth(text)) / 2;
        int y = paintRect.Top + (paintRect.Height() - tc.TextHeight(text)) / 2;
        tc.TextOut(x, y, text);
        // Inverting combination: the text reads on the lit and the unlit part alike.
        RasterBlt(image.Image(), 0, 0, w, h, &textOverlay.Image(), 0, 0, SRCINVERT);
    }
    TCanvas& c = Canvas();
    c.SetCopyMode(SRCCOPY);
    c.CopyRect(Rect(0, 0, w, h), image.Canvas(), Rect(0, 0, w, h));
}

void TGauge::DrawBar(TCanvas& c, const TRect& r, bool horizontal) const
{
    c.Brush().Style = bsSolid;
    c.Brush().Color = FBackColor;
    c.FillRect(r);
    // W and H are one more than the paint rectangle's extent and are used as coordinates.
    int W = r.Right - r.Left + 1;
    int H = r.Bottom - r.Top + 1;
    c.Brush().Color = FForeColor;
    if (horizontal) {
        int F = ScaleByPercent(DonePercent(), W);
        if (F > W) F = W;
        if (F >= 1) c.FillRect(Rect(r.Left, r.Top, F, H));
    } else {
        int F = ScaleByPercent(DonePercent(), H);
        if (F >= H) F = H - 1;
        c.FillRect(Rect(r.Left, H - F, W, H));
    }
}

namespace {

// A point on the ray from the centre of r at angle degrees (counter-clockwise from 3 o'clock).
TPoint RayPoint(const TRect& r, double degrees)
{
    double a = degrees * M_PI / 180.0;
    double cx = (r.Left + r.Right) / 2.0, cy = (r.Top + r.Bottom) / 2.0;
    double reach = r.Width() + r.Height();
    return TPoint{static_cast<int>(std::lround(cx + reach * std::cos(a))), static_cast<int>(std::lround(cy - reach * std::sin(a)))};
}

}  // namespace

void TGauge::DrawPie(TCanvas& c, const TRect& r) const
{
    c.Brush().Style = bsSolid;
    c.Brush().Color = Color();
    c.FillRect(r);
    c.Pen().Color = clBlack;
    c.Pen().Width = 1;
    c.Pen().Clear = false;
    c.Brush().Color = FBackColor;
    c.Ellipse(r);
    int percent = DonePercent();
    if (percent <= 0) return;
    // Clockwise from 12 o'clock.
    c.Brush().Color = FForeColor;
    if (percent >= 100)
        c.Ellipse(r);
    else
        c.Pie(r, RayPoint(r, 90.0 - percent * 3.6), RayPoint(r, 90.0));
}

void TGauge::DrawNeedle(TCanvas& c, const TRect& r) const
{
    c.Brush().Style = bsSolid;
    c.Brush().Color = Color();
    c.FillRect(r);
    // A half disc standing on the bottom edge; the needle sweeps from left (0 %) to right.
    TRect disc = Rect(r.Left, r.Top, r.Right, r.Bottom + r.Height());
    c.Pen().Color = clBlack;
    c.Pen().Width = 1;
    c.Pen().Clear = false;
    c.Brush().Color = FBackColor;
    c.Pie(disc, RayPoint(disc, 0.0), RayPoint(disc, 180.0));
    double a = (100 - DonePercent()) * 1.8 * M_PI / 180.0;
    int cx = (r.Left + r.Right) / 2, cy = r.Bottom - 1;
    c.Pen().Color = FForeColor;
    c.Pen().Width = 2;
    c.MoveTo(cx, cy);
    c.LineTo(cx + static_cast<int>(std::lround((r.Width() / 2 - 2) * std::cos(a))),
             cy - static_cast<int>(std::lround((r.Height() - 2) * std::sin(a))));
}

}  // namespace kapo
