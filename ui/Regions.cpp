#include "ui/Regions.h"

#include <QWidget>

#include <algorithm>

#include "ui/Forms.h"

namespace kapo {

HRGN CreateRectRgn(int left, int top, int right, int bottom)
{
    return new QRegion(left, top, std::max(0, right - left), std::max(0, bottom - top));
}

void CombineRgn(HRGN dest, HRGN a, HRGN b, TCombineMode mode)
{
    if (!dest || !a) return;
    switch (mode) {
    case RGN_AND: *dest = *a & *b; break;
    case RGN_OR: *dest = *a | *b; break;
    case RGN_XOR: *dest = *a ^ *b; break;
    case RGN_DIFF: *dest = *a - *b; break;
    case RGN_COPY: *dest = *a; break;
    }
}

void DeleteObject(HRGN rgn) { delete rgn; }

void SetWindowRgn(TForm* form, HRGN rgn, bool redraw)
{
    if (form && form->Widget()) {
        form->Widget()->setMask(rgn ? *rgn : QRegion());
        if (redraw) form->Widget()->update();
    }
    delete rgn;
}

std::vector<std::pair<int, int>> MaskRowRuns(const std::uint8_t* row, int width)
{
    std::vector<std::pair<int, int>> runs;
    int x = 0;
    while (x < width) {
        int x0 = x;
        std::uint8_t b = row[x];
        while (x + 1 < width && row[x + 1] == b) ++x;
        if (b != 0) runs.emplace_back(x0, x);
        ++x;
    }
    return runs;
}

QRegion RegionFromPicture(const TBitmap& picture, TColor keyColor)
{
    TBitmap work;
    work.Assign(&picture);
    // Key-colour pixels white, the rest black; then inverted, so the key colour is black,
    // which is entry 0 of the 8-bit halftone palette.
    work.Mask(keyColor);
    work.SetPixelFormat(pf24bit);
    work.Canvas().SetCopyMode(DSTINVERT);
    work.Canvas().CopyRect(Rect(0, 0, work.Width(), work.Height()), work.Canvas(), Rect(0, 0, work.Width(), work.Height()));
    work.SetPixelFormat(pf8bit);
    QRegion whole;
    for (int y = 0; y < work.Height(); ++y) {
        const std::uint8_t* row = work.ScanLine(y);
        if (!row) break;
        QRegion rowRegion;
        for (auto [x0, x1] : MaskRowRuns(row, work.Width())) rowRegion += QRect(x0, y, x1 - x0 + 1, 1);
        whole += rowRegion;
    }
    return whole;
}

}  // namespace kapo
