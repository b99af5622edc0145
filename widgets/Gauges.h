// The progress gauge: a light control that shows how far a value has come between a
// minimum and a maximum, as a bar, a pie, a needle or a percentage.
#pragma once

#include <cstdint>

#include "ui/Controls.h"

namespace kapo {

enum TGaugeKind { gkText, gkHorizontalBar, gkVerticalBar, gkPie, gkNeedle };

// size * percent / 100, truncated toward zero.
int ScaleByPercent(int percent, int size);
// part * 100 / whole truncated toward zero; 0 for an empty whole.
int PercentOfRange(std::int64_t part, std::int64_t whole);

class TGauge : public TGraphicControl {
public:
    explicit TGauge(TComponent* owner);

    int MinValue() const { return FMinValue; }
    void SetMinValue(int v);  // EInvalidOperation above MaxValue
    int MaxValue() const { return FMaxValue; }
    void SetMaxValue(int v);  // EInvalidOperation below MinValue
    int Progress() const { return FCurValue; }
    // Kept within [MinValue, MaxValue]; repaints only when the whole percentage changes.
    void SetProgress(int v);
    int DonePercent() const;

    TGaugeKind Kind() const { return FKind; }
    void SetKind(TGaugeKind k);
    bool ShowText() const { return FShowText; }
    void SetShowText(bool s);
    TBorderStyle BorderStyle() const { return FBorderStyle; }
    void SetBorderStyle(TBorderStyle b);
    TColor ForeColor() const { return FForeColor; }
    void SetForeColor(TColor c);
    TColor BackColor() const { return FBackColor; }
    void SetBackColor(TColor c);

    void Paint() override;

private:
    void Changed();
    void DrawBar(TCanvas& c, const TRect& r, bool horizontal) const;
    void DrawPie(TCanvas& c, const TRect& r) const;
    void DrawNeedle(TCanvas& c, const TRect& r) const;

    int FMinValue = 0;
    int FMaxValue = 100;
    int FCurValue = 0;
    TGaugeKind FKind = gkHorizontalBar;
    bool FShowText = true;
    TBorderStyle FBorderStyle = bsSingle;
    TColor FForeColor = clBlack;
    TColor FBackColor = clWhite;
};

}  // namespace kapo
