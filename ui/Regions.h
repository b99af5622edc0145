// Window regions: rectangles combined into the visible and clickable shape of a window.
#pragma once

#include <QRegion>

#include <vector>

#include "ui/Graphics.h"

namespace kapo {

class TForm;

using HRGN = QRegion*;
enum TCombineMode { RGN_AND = 1, RGN_OR = 2, RGN_XOR = 3, RGN_DIFF = 4, RGN_COPY = 5 };

HRGN CreateRectRgn(int left, int top, int right, int bottom);  // right and bottom exclusive
void CombineRgn(HRGN dest, HRGN a, HRGN b, TCombineMode mode);
void DeleteObject(HRGN rgn);
// Hands the region to the window, which owns it from then on.
void SetWindowRgn(TForm* form, HRGN rgn, bool redraw);

// The rectangles of one row of an 8-bit mask: maximal runs of equal bytes that are not 0,
// as [x0, x1] inclusive spans.
std::vector<std::pair<int, int>> MaskRowRuns(const std::uint8_t* row, int width);

// The region of a picture whose pixels of the key colour lie outside, built row by row from
// the picture's 8-bit inverted mask.
QRegion RegionFromPicture(const TBitmap& picture, TColor keyColor);

}  // namespace kapo
