#include "ui/ExtCtrls.h"

#include <algorithm>

namespace kapo {

// ---- TImage --------------------------------------------------------------------------

TImage::TImage(TComponent* owner) : TGraphicControl(owner), FPicture(std::make_unique<TBitmap>())
{
    SetBounds(0, 0, 105, 105);
    FPicture->OnChange = [this](TObject*) { PictureChanged(); };
}

TImage::~TImage() { FPicture->OnChange = nullptr; }

void TImage::SetAutoSize(bool a)
{
    FAutoSize = a;
    PictureChanged();
}

void TImage::PictureChanged()
{
    if (FAutoSize && !FPicture->Empty()) SetBounds(Left(), Top(), FPicture->Width(), FPicture->Height());
    Invalidate();
}

void TImage::Paint()
{
    if (!FPicture->Empty()) {
        TCanvas& c = Canvas();
        c.SetCopyMode(SRCCOPY);
        RasterBlt(*c.Target(), 0, 0, FPicture->Width(), FPicture->Height(), &FPicture->Image(), 0, 0, SRCCOPY);
    }
    if (Focused()) Canvas().DrawFocusRect(Rect(0, 0, Width(), Height()));
}

QImage TImage::ScreenImage(qreal ratio)
{
    const QImage& fine = FPicture->FineImage();
    if (ratio <= 1 || fine.isNull()) return TGraphicControl::ScreenImage(ratio);
    QImage img(Width() * 2, Height() * 2, QImage::Format_RGB32);
    img.fill(ToQColor(Color()));
    RasterBlt(img, 0, 0, fine.width(), fine.height(), &fine, 0, 0, SRCCOPY);
    if (Focused()) {
        // The frame two device pixels wide, as wide as at the picture's own size.
        TCanvas c(&img);
        c.DrawFocusRect(Rect(0, 0, img.width(), img.height()));
        c.DrawFocusRect(Rect(1, 1, img.width() - 1, img.height() - 1));
    }
    img.setDevicePixelRatio(2);
    return img;
}

// ---- TShape --------------------------------------------------------------------------

TShape::TShape(TComponent* owner) : TGraphicControl(owner)
{
    SetBounds(0, 0, 65, 65);
    FBrush.Color = clWhite;
}

void TShape::SetBrushColor(TColor c)
{
    if (FBrush.Color == c) return;
    FBrush.Color = c;
    Invalidate();
}

void TShape::Paint()
{
    TCanvas& c = Canvas();
    // The parent shows around rounded shapes; rectangles cover their whole box.
    c.Brush() = FBrush;
    c.Pen() = FPen;
    TRect r = Rect(0, 0, Width(), Height());
    if (FShape == stEllipse || FShape == stCircle) {
        c.Brush().Color = Parent() ? Parent()->Color() : Color();
        c.FillRect(r);
        c.Brush() = FBrush;
        c.Ellipse(r);
    } else {
        c.Rectangle(r);
    }
}

// ---- TPage / TNotebook ---------------------------------------------------------------

TPage::TPage(TNotebook* notebook, const std::string& caption) : TCustomControl(notebook), FCaption(caption)
{
    Widget()->setFocusPolicy(Qt::NoFocus);
    SetColor(notebook->Color());
    SetParent(notebook);
    SetBounds(0, 0, notebook->Width(), notebook->Height());
}

void TPage::Paint() {}

TNotebook::TNotebook(TComponent* owner) : TCustomControl(owner)
{
    Widget()->setFocusPolicy(Qt::NoFocus);
    SetBounds(0, 0, 150, 150);
}

TPage* TNotebook::AddPage(const std::string& caption)
{
    auto* p = new TPage(this, caption);
    FPages.push_back(p);
    p->SetVisible(static_cast<int>(FPages.size()) - 1 == FPageIndex);
    return p;
}

void TNotebook::SetPageIndex(int i)
{
    if (i < 0 || i >= PageCount()) return;
    FPageIndex = i;
    for (int k = 0; k < PageCount(); ++k) FPages[static_cast<std::size_t>(k)]->SetVisible(k == i);
}

std::string TNotebook::ActivePage() const
{
    return FPageIndex < PageCount() ? FPages[static_cast<std::size_t>(FPageIndex)]->Caption() : std::string();
}

void TNotebook::SetActivePage(const std::string& caption)
{
    for (int k = 0; k < PageCount(); ++k)
        if (FPages[static_cast<std::size_t>(k)]->Caption() == caption) SetPageIndex(k);
}

void TNotebook::SetBounds(int left, int top, int width, int height)
{
    TCustomControl::SetBounds(left, top, width, height);
    for (TPage* p : FPages) p->SetBounds(0, 0, width, height);
}

void TNotebook::SetColor(TColor c)
{
    TCustomControl::SetColor(c);
    for (TPage* p : FPages) p->SetColor(c);
}

}  // namespace kapo
