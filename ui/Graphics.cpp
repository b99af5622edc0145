#include "ui/Graphics.h"

#include <QFile>
#include <QFontMetrics>
#include <QPainter>
#include <QPainterPath>
#include <QStringDecoder>

#include <algorithm>
#include <cmath>

namespace kapo {

QColor ToQColor(TColor c) { return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF); }
TColor FromQColor(const QColor& c) { return c.red() | (c.green() << 8) | (c.blue() << 16); }
TColor FromQRgb(unsigned int rgb) { return qRed(rgb) | (qGreen(rgb) << 8) | (qBlue(rgb) << 16); }
unsigned int ToQRgb(TColor c) { return qRgb(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF); }

// ---- TFont ---------------------------------------------------------------------------

void TFont::SetName(const std::string& n) { if (n != FName) { FName = n; Changed(); } }
void TFont::SetHeight(int h) { if (h != FHeight) { FHeight = h; Changed(); } }
void TFont::SetStyle(unsigned s) { if (s != FStyle) { FStyle = s; Changed(); } }
void TFont::SetColor(TColor c) { if (c != FColor) { FColor = c; Changed(); } }

void TFont::Assign(const TFont& f)
{
    FName = f.FName;
    FHeight = f.FHeight;
    FStyle = f.FStyle;
    FColor = f.FColor;
    Changed();
}

void TFont::Changed()
{
    if (auto handler = OnChange) handler(this);
}

QFont TFont::ToQFont() const
{
    QFont f(QString::fromStdString(FName));
    // Metric-compatible faces stand in for the classic ones when these are missing.
    if (FName == "MS Sans Serif" || FName == "Small Fonts")
        f.setFamilies({QString::fromStdString(FName), "Liberation Sans", "DejaVu Sans"});
    else if (FName == "Arial")
        f.setFamilies({"Arial", "Liberation Sans"});
    else if (FName == "Courier New")
        f.setFamilies({"Courier New", "Liberation Mono"});
    if (FHeight < 0) {
        f.setPixelSize(-FHeight);
    } else if (FHeight > 0) {
        // A positive height is the whole cell; the character height is a little less.
        f.setPixelSize(std::max(1, FHeight * 4 / 5));
    }
    f.setBold(FStyle & fsBold);
    f.setItalic(FStyle & fsItalic);
    f.setUnderline(FStyle & fsUnderline);
    f.setStrikeOut(FStyle & fsStrikeOut);
    f.setStyleStrategy(QFont::PreferAntialias);
    f.setHintingPreference(QFont::PreferFullHinting);
    return f;
}

int TFont::TextHeight() const { return QFontMetrics(ToQFont()).height(); }

// ---- raster operations ---------------------------------------------------------------

void RasterBlt(QImage& dst, int x, int y, int w, int h, const QImage* src, int sx, int sy, TCopyMode rop)
{
    if (dst.format() != QImage::Format_RGB32 && dst.format() != QImage::Format_ARGB32)
        dst = dst.convertToFormat(QImage::Format_RGB32);
    QImage srcConv;
    if (src && src->format() != QImage::Format_RGB32 && src->format() != QImage::Format_ARGB32) {
        srcConv = src->convertToFormat(QImage::Format_RGB32);
        src = &srcConv;
    }
    for (int j = 0; j < h; ++j) {
        int dy = y + j, syy = sy + j;
        if (dy < 0 || dy >= dst.height()) continue;
        auto* drow = reinterpret_cast<QRgb*>(dst.scanLine(dy));
        const QRgb* srow = nullptr;
        if (src) {
            if (syy < 0 || syy >= src->height()) continue;
            srow = reinterpret_cast<const QRgb*>(src->constScanLine(syy));
        }
        for (int i = 0; i < w; ++i) {
            int dx = x + i, sxx = sx + i;
            if (dx < 0 || dx >= dst.width()) continue;
            QRgb s = 0;
            if (srow) {
                if (sxx < 0 || sxx >= src->width()) continue;
                s = srow[sxx] & 0xFFFFFF;
            }
            QRgb d = drow[dx] & 0xFFFFFF;
            QRgb r;
            switch (rop) {
            case BLACKNESS: r = 0; break;
            case WHITENESS: r = 0xFFFFFF; break;
            case DSTINVERT: r = ~d; break;
            case SRCINVERT: r = s ^ d; break;
            case SRCAND: r = s & d; break;
            case SRCPAINT: r = s | d; break;
            case NOTSRCCOPY: r = ~s; break;
            case SRCCOPY:
            default: r = s; break;
            }
            drow[dx] = 0xFF000000u | (r & 0xFFFFFF);
        }
    }
}

// ---- TBitmap -------------------------------------------------------------------------

TBitmap::TBitmap() = default;

TBitmap::TBitmap(int width, int height) { SetSize(width, height); }

TBitmap::~TBitmap() = default;

TCanvas& TBitmap::Canvas()
{
    if (!FCanvas) {
        FCanvas = std::make_unique<TCanvas>(&FImage);
        // A drawing on the picture is not on its fine copy.
        FCanvas->OnDraw = [this] { FFineImage = QImage(); };
    }
    if (FImage.format() != QImage::Format_RGB32 && !FImage.isNull()) {
        FImage = FImage.convertToFormat(QImage::Format_RGB32);
        FPixelFormat = pf24bit;
    }
    FCanvas->SetTarget(&FImage);
    return *FCanvas;
}

void TBitmap::SetWidth(int w) { SetSize(w, Height()); }
void TBitmap::SetHeight(int h) { SetSize(Width(), h); }

void TBitmap::SetSize(int w, int h)
{
    w = std::max(0, w);
    h = std::max(0, h);
    if (w == Width() && h == Height() && !FImage.isNull()) return;
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(Qt::white);
    if (!FImage.isNull()) {
        QImage old = FImage.convertToFormat(QImage::Format_RGB32);
        RasterBlt(img, 0, 0, std::min(w, old.width()), std::min(h, old.height()), &old, 0, 0, SRCCOPY);
    }
    FImage = img;
    FFineImage = QImage();
    FPixelFormat = pf24bit;
    Changed();
}

void TBitmap::Assign(const TBitmap* other)
{
    if (!other) {
        FImage = QImage();
        FFineImage = QImage();
    } else {
        FImage = other->FImage.copy();
        FFineImage = other->FFineImage;
        FPixelFormat = other->FPixelFormat;
        FTransparent = other->FTransparent;
        FTransparentColor = other->FTransparentColor;
    }
    Changed();
}

void TBitmap::SetImage(const QImage& img)
{
    FImage = img;
    FFineImage = QImage();
    FPixelFormat = img.format() == QImage::Format_Indexed8 ? pf8bit : pf24bit;
    Changed();
}

QImage LoadResourcePicture(const std::string& name)
{
    QImage img(QString(":/pictures/") + QString::fromStdString(name));
    return img;
}

void TBitmap::LoadFromResourceName(const std::string& name)
{
    QImage img = LoadResourcePicture(name);
    if (img.isNull()) throw EResNotFound(Format("Resource %s not found", name));
    QImage fine = LoadResourcePicture(name + "@2x");
    SetImage(img);
    if (fine.size() == img.size() * 2) {
        FFineImage = fine.convertToFormat(QImage::Format_RGB32);
        FFineImage.setDevicePixelRatio(2);
    }
}

void TBitmap::LoadFromFile(const std::string& fileName)
{
    QImage img(QString::fromStdString(fileName));
    if (img.isNull()) throw EFOpenError(Format("Cannot open file %s", fileName));
    SetImage(img);
}

void TBitmap::Mask(TColor transparentColor)
{
    QImage img = FImage.convertToFormat(QImage::Format_RGB32);
    QRgb key = ToQRgb(transparentColor) & 0xFFFFFF;
    for (int y = 0; y < img.height(); ++y) {
        auto* row = reinterpret_cast<QRgb*>(img.scanLine(y));
        for (int x = 0; x < img.width(); ++x)
            row[x] = (row[x] & 0xFFFFFF) == key ? 0xFFFFFFFFu : 0xFF000000u;
    }
    FImage = img;
    FFineImage = QImage();
    FPixelFormat = pf1bit;
    Changed();
}

namespace {

// The 256-entry halftone palette: black first, then a 6x6x6 colour cube and greys.
QList<QRgb> halftonePalette()
{
    QList<QRgb> pal;
    pal.reserve(256);
    pal.append(qRgb(0, 0, 0));
    for (int r = 0; r < 6; ++r)
        for (int g = 0; g < 6; ++g)
            for (int b = 0; b < 6; ++b)
                if (r || g || b) pal.append(qRgb(r * 51, g * 51, b * 51));
    for (int i = 1; pal.size() < 256; ++i) {
        int v = std::min(255, i * 6);
        pal.append(qRgb(v, v, v));
    }
    return pal;
}

}  // namespace

void TBitmap::SetPixelFormat(TPixelFormat pf)
{
    FFineImage = QImage();
    if (pf == pf8bit) {
        if (FImage.format() != QImage::Format_Indexed8)
            FImage = FImage.convertToFormat(QImage::Format_Indexed8, halftonePalette(),
                                            Qt::ThresholdDither | Qt::AvoidDither);
    } else if (pf == pf1bit) {
        FImage = FImage.convertToFormat(QImage::Format_RGB32);
        Mask(clWhite);
        // Mask(clWhite) turned white into white and the rest black already.
        return;
    } else {
        FImage = FImage.convertToFormat(QImage::Format_RGB32);
    }
    FPixelFormat = pf;
    Changed();
}

TColor TBitmap::TransparentColor() const
{
    if (FTransparentColor != clNone) return FTransparentColor;
    if (Empty()) return clNone;
    return FromQRgb(FImage.pixel(0, Height() - 1));
}

const std::uint8_t* TBitmap::ScanLine(int y) const
{
    if (FImage.format() != QImage::Format_Indexed8 || y < 0 || y >= Height()) return nullptr;
    return FImage.constScanLine(y);
}

void TBitmap::Changed()
{
    if (auto handler = OnChange) handler(this);
}

// ---- TCanvas -------------------------------------------------------------------------

TCanvas::TCanvas(QImage* target) : FTarget(target) {}

TRect TCanvas::ClipRect() const
{
    return FTarget ? Rect(0, 0, FTarget->width(), FTarget->height()) : TRect{};
}

TColor TCanvas::Pixels(int x, int y) const
{
    if (!FTarget || !FTarget->valid(x, y)) return clNone;
    return FromQRgb(FTarget->pixel(x, y));
}

void TCanvas::SetPixel(int x, int y, TColor c)
{
    if (!FTarget || !FTarget->valid(x, y)) return;
    Drawn();
    FTarget->setPixel(x, y, ToQRgb(c));
}

void TCanvas::FillRect(const TRect& r)
{
    if (!FTarget || FBrush.Style == bsClear) return;
    Drawn();
    int l = std::max(0, r.Left), t = std::max(0, r.Top);
    int rr = std::min(FTarget->width(), r.Right), b = std::min(FTarget->height(), r.Bottom);
    QRgb c = ToQRgb(FBrush.Color);
    for (int y = t; y < b; ++y) {
        auto* row = reinterpret_cast<QRgb*>(FTarget->scanLine(y));
        for (int x = l; x < rr; ++x) row[x] = c;
    }
}

void TCanvas::FrameRect(const TRect& r)
{
    TBrush b = FBrush;
    FBrush.Style = bsSolid;
    FillRect(Rect(r.Left, r.Top, r.Right, r.Top + 1));
    FillRect(Rect(r.Left, r.Bottom - 1, r.Right, r.Bottom));
    FillRect(Rect(r.Left, r.Top, r.Left + 1, r.Bottom));
    FillRect(Rect(r.Right - 1, r.Top, r.Right, r.Bottom));
    FBrush = b;
}

void TCanvas::Rectangle(const TRect& r)
{
    FillRect(r);
    if (FPen.Clear || !FTarget) return;
    TBrush saved = FBrush;
    FBrush.Color = FPen.Color;
    FBrush.Style = bsSolid;
    for (int i = 0; i < std::max(1, FPen.Width); ++i)
        FrameRect(Rect(r.Left + i, r.Top + i, r.Right - i, r.Bottom - i));
    FBrush = saved;
}

namespace {

void setupPainter(QPainter& p, const TBrush& brush, const TPen& pen)
{
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setBrush(brush.Style == bsClear ? QBrush(Qt::NoBrush) : QBrush(ToQColor(brush.Color)));
    p.setPen(pen.Clear ? QPen(Qt::NoPen) : QPen(ToQColor(pen.Color), pen.Width));
}

}  // namespace

void TCanvas::Ellipse(const TRect& r)
{
    if (!FTarget) return;
    Drawn();
    QPainter p(FTarget);
    setupPainter(p, FBrush, FPen);
    p.drawEllipse(QRectF(r.Left + 0.5, r.Top + 0.5, r.Width() - 1, r.Height() - 1));
}

void TCanvas::Pie(const TRect& r, TPoint start, TPoint end)
{
    if (!FTarget) return;
    Drawn();
    QPainter p(FTarget);
    setupPainter(p, FBrush, FPen);
    QRectF rf(r.Left + 0.5, r.Top + 0.5, r.Width() - 1, r.Height() - 1);
    QPointF c = rf.center();
    double a1 = std::atan2(-(start.Y - c.y()), start.X - c.x()) * 180.0 / M_PI;
    double a2 = std::atan2(-(end.Y - c.y()), end.X - c.x()) * 180.0 / M_PI;
    double span = a2 - a1;
    while (span <= 0) span += 360.0;
    p.drawPie(rf, static_cast<int>(a1 * 16), static_cast<int>(span * 16));
}

void TCanvas::LineTo(int x, int y)
{
    if (FTarget && !FPen.Clear) {
        Drawn();
        QPainter p(FTarget);
        p.setPen(QPen(ToQColor(FPen.Color), FPen.Width));
        p.drawLine(FPenPos.X, FPenPos.Y, x, y);
    }
    FPenPos = {x, y};
}

void TCanvas::Polygon(const std::vector<TPoint>& pts)
{
    if (!FTarget || pts.empty()) return;
    Drawn();
    QPainter p(FTarget);
    setupPainter(p, FBrush, FPen);
    QPolygonF poly;
    for (auto& pt : pts) poly << QPointF(pt.X + 0.5, pt.Y + 0.5);
    p.drawPolygon(poly);
}

void TCanvas::DrawFocusRect(const TRect& r)
{
    if (!FTarget) return;
    Drawn();
    // Dotted frame by inverting every other pixel, so that drawing it twice removes it.
    auto inv = [this](int x, int y) {
        if (FTarget->valid(x, y)) FTarget->setPixel(x, y, FTarget->pixel(x, y) ^ 0x00FFFFFFu);
    };
    for (int x = r.Left; x < r.Right; x += 2) {
        inv(x, r.Top);
        inv(x, r.Bottom - 1);
    }
    for (int y = r.Top + 1; y < r.Bottom - 1; y += 2) {
        inv(r.Left, y);
        inv(r.Right - 1, y);
    }
}

QString DisplayText(const std::string& bytes)
{
    auto decoder = QStringDecoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString s = decoder(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
    if (!decoder.hasError()) return s;
    // Windows-1252 is Latin-1 but for 0x80 to 0x9F, where it keeps printable signs.
    static const char16_t high[32] = {0x20AC, 0x81,   0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                      0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x8D,   0x017D, 0x8F,
                                      0x90,   0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                      0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x9D,   0x017E, 0x0178};
    s.resize(static_cast<qsizetype>(bytes.size()));
    QChar* out = s.data();
    for (unsigned char c : bytes) *out++ = QChar(c >= 0x80 && c < 0xA0 ? high[c - 0x80] : char16_t(c));
    return s;
}

// Only what a rectangle Width pixels wide can show is laid out: a row of a megabyte would
// otherwise cost a second at every paint. No glyph is narrower than a pixel, so eight
// characters a pixel keep every one that can show, combining marks included.
QString ClippedText(QString s, int Width)
{
    const qsizetype fits = 8 * static_cast<qsizetype>(std::max(0, Width)) + 64;
    if (s.size() <= fits) return s;
    s.truncate(fits);
    if (s.back().isHighSurrogate()) s.chop(1);
    return s;
}

void TCanvas::TextOut(int x, int y, const std::string& text)
{
    if (!FTarget) return;
    Drawn();
    QFont f = FFont.ToQFont();
    QFontMetrics fm(f);
    QString s = ClippedText(DisplayText(text), FTarget->width() - x);
    if (FBrush.Style != bsClear) FillRect(Bounds(x, y, fm.horizontalAdvance(s), fm.height()));
    QPainter p(FTarget);
    p.setFont(f);
    p.setPen(ToQColor(FFont.Color()));
    p.drawText(x, y + fm.ascent(), s);
    FPenPos = {x + fm.horizontalAdvance(s), y};
}

void TCanvas::TextRect(const TRect& r, int x, int y, const std::string& text)
{
    if (!FTarget) return;
    Drawn();
    FillRect(r);
    QFont f = FFont.ToQFont();
    QFontMetrics fm(f);
    QPainter p(FTarget);
    p.setClipRect(QRect(r.Left, r.Top, r.Width(), r.Height()));
    p.setFont(f);
    p.setPen(ToQColor(FFont.Color()));
    p.drawText(x, y + fm.ascent(), ClippedText(DisplayText(text), r.Right - x));
}

int TCanvas::TextWidth(const std::string& text) const
{
    return QFontMetrics(FFont.ToQFont()).horizontalAdvance(DisplayText(text));
}

int TCanvas::TextHeight(const std::string&) const { return QFontMetrics(FFont.ToQFont()).height(); }

void TCanvas::Draw(int x, int y, const TBitmap& bmp)
{
    if (!FTarget || bmp.Empty()) return;
    Drawn();
    if (!bmp.Transparent()) {
        RasterBlt(*FTarget, x, y, bmp.Width(), bmp.Height(), &bmp.Image(), 0, 0, SRCCOPY);
        return;
    }
    QImage src = bmp.Image().convertToFormat(QImage::Format_RGB32);
    QRgb key = ToQRgb(bmp.TransparentColor()) & 0xFFFFFF;
    for (int j = 0; j < src.height(); ++j)
        for (int i = 0; i < src.width(); ++i) {
            QRgb c = src.pixel(i, j);
            if ((c & 0xFFFFFF) != key && FTarget->valid(x + i, y + j)) FTarget->setPixel(x + i, y + j, c);
        }
}

void TCanvas::StretchDraw(const TRect& r, const TBitmap& bmp)
{
    if (!FTarget || bmp.Empty()) return;
    Drawn();
    QImage scaled = bmp.Image().convertToFormat(QImage::Format_RGB32).scaled(r.Width(), r.Height());
    RasterBlt(*FTarget, r.Left, r.Top, r.Width(), r.Height(), &scaled, 0, 0, SRCCOPY);
}

void TCanvas::CopyRect(const TRect& dest, const TCanvas& source, const TRect& src)
{
    if (!FTarget || !source.FTarget) return;
    Drawn();
    if (dest.Width() == src.Width() && dest.Height() == src.Height()) {
        QImage copy = source.FTarget == FTarget ? FTarget->copy() : QImage();
        const QImage* s = copy.isNull() ? source.FTarget : &copy;
        RasterBlt(*FTarget, dest.Left, dest.Top, dest.Width(), dest.Height(), s, src.Left, src.Top, FCopyMode);
    } else {
        QImage part = source.FTarget->copy(src.Left, src.Top, src.Width(), src.Height())
                          .scaled(dest.Width(), dest.Height());
        RasterBlt(*FTarget, dest.Left, dest.Top, dest.Width(), dest.Height(), &part, 0, 0, FCopyMode);
    }
}

void TCanvas::BrushCopy(const TRect& dest, const TBitmap& bmp, const TRect& src, TColor transparentColor)
{
    if (!FTarget || bmp.Empty()) return;
    Drawn();
    QImage part = bmp.Image().convertToFormat(QImage::Format_RGB32).copy(src.Left, src.Top, src.Width(), src.Height());
    if (dest.Width() != src.Width() || dest.Height() != src.Height()) part = part.scaled(dest.Width(), dest.Height());
    QRgb key = ToQRgb(transparentColor) & 0xFFFFFF;
    QRgb fill = ToQRgb(FBrush.Color);
    for (int y = 0; y < part.height(); ++y) {
        auto* row = reinterpret_cast<QRgb*>(part.scanLine(y));
        for (int x = 0; x < part.width(); ++x)
            if ((row[x] & 0xFFFFFF) == key) row[x] = fill;
    }
    RasterBlt(*FTarget, dest.Left, dest.Top, dest.Width(), dest.Height(), &part, 0, 0, SRCCOPY);
}

}  // namespace kapo
