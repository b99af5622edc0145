// Colours, fonts, bitmaps and canvases with the raster operations the controls rely on.
// Colours are 24-bit values with red in the low byte; Qt's colours appear only in the .cpp
// files and in the few functions named To…/From… below.
#pragma once

#include <QFont>
#include <QImage>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/Classes.h"

namespace kapo {

using TColor = std::int32_t;

constexpr TColor clBlack = 0x000000;
constexpr TColor clMaroon = 0x000080;
constexpr TColor clGreen = 0x008000;
constexpr TColor clOlive = 0x008080;
constexpr TColor clNavy = 0x800000;
constexpr TColor clPurple = 0x800080;
constexpr TColor clTeal = 0x808000;
constexpr TColor clGray = 0x808080;
constexpr TColor clSilver = 0xC0C0C0;
constexpr TColor clRed = 0x0000FF;
constexpr TColor clLime = 0x00FF00;
constexpr TColor clYellow = 0x00FFFF;
constexpr TColor clBlue = 0xFF0000;
constexpr TColor clFuchsia = 0xFF00FF;
constexpr TColor clAqua = 0xFFFF00;
constexpr TColor clWhite = 0xFFFFFF;
// System colours resolve to fixed values on this platform.
constexpr TColor clWindowText = clBlack;
constexpr TColor clWindow = clWhite;
constexpr TColor clWindowFrame = clBlack;
constexpr TColor clBtnFace = 0xC0C0C0;
constexpr TColor clHighlight = 0x6A240A;      // dark blue selection
constexpr TColor clHighlightText = clWhite;
constexpr TColor clNone = 0x1FFFFFFF;

QColor ToQColor(TColor c);
// The text a user sees for bytes from files and the network: UTF-8 when the bytes are valid
// UTF-8, otherwise Windows-1252 (catalogues and names written on other systems).
QString DisplayText(const std::string& bytes);
// S cut to what a line Width pixels wide can show, with room to spare; a pair of surrogates is
// never split.
QString ClippedText(QString S, int Width);
TColor FromQColor(const QColor& c);
TColor FromQRgb(unsigned int rgb);
unsigned int ToQRgb(TColor c);

struct TPoint {
    int X = 0, Y = 0;
};

// Right and bottom are exclusive.
struct TRect {
    int Left = 0, Top = 0, Right = 0, Bottom = 0;
    int Width() const { return Right - Left; }
    int Height() const { return Bottom - Top; }
    bool Contains(int x, int y) const { return x >= Left && x < Right && y >= Top && y < Bottom; }
    bool operator==(const TRect&) const = default;
};
inline TRect Rect(int l, int t, int r, int b) { return TRect{l, t, r, b}; }
inline TRect Bounds(int l, int t, int w, int h) { return TRect{l, t, l + w, t + h}; }

enum TFontStyle : unsigned { fsBold = 1, fsItalic = 2, fsUnderline = 4, fsStrikeOut = 8 };

class TFont : public TObject {
public:
    const std::string& Name() const { return FName; }
    void SetName(const std::string& n);
    // Negative: character height in pixels; positive: cell height in pixels.
    int Height() const { return FHeight; }
    void SetHeight(int h);
    unsigned Style() const { return FStyle; }
    void SetStyle(unsigned s);
    TColor Color() const { return FColor; }
    void SetColor(TColor c);
    void Assign(const TFont& f);
    QFont ToQFont() const;
    int TextHeight() const;  // line height of this font in pixels

    TNotifyEvent OnChange;

private:
    void Changed();
    std::string FName = "MS Sans Serif";
    int FHeight = -11;
    unsigned FStyle = 0;
    TColor FColor = clWindowText;
};

enum TBrushStyle { bsSolid, bsClear };

struct TBrush {
    TColor Color = clWhite;
    TBrushStyle Style = bsSolid;
};

struct TPen {
    TColor Color = clBlack;
    int Width = 1;
    bool Clear = false;  // no outline
};

// Raster operations of block copies, by their usual codes.
enum : std::uint32_t {
    BLACKNESS = 0x00000042,
    DSTINVERT = 0x00550009,
    MERGECOPY = 0x00C000CA,
    NOTSRCCOPY = 0x00330008,
    SRCAND = 0x008800C6,
    SRCCOPY = 0x00CC0020,
    SRCINVERT = 0x00660046,
    SRCPAINT = 0x00EE0086,
    WHITENESS = 0x00FF0062,
};
using TCopyMode = std::uint32_t;
constexpr TCopyMode cmBlackness = BLACKNESS, cmDstInvert = DSTINVERT, cmSrcCopy = SRCCOPY,
                    cmSrcInvert = SRCINVERT, cmSrcAnd = SRCAND, cmSrcPaint = SRCPAINT,
                    cmWhiteness = WHITENESS, cmNotSrcCopy = NOTSRCCOPY;

// Applies a raster operation to a block of dst (RGB32) from src (any format, may be null
// for operations that ignore the source). Pixels outside either image are skipped.
void RasterBlt(QImage& dst, int x, int y, int w, int h, const QImage* src, int sx, int sy, TCopyMode rop);

enum TPixelFormat { pfDevice, pf1bit, pf8bit, pf24bit, pf32bit };

class TCanvas;

// A picture in memory. Kept as 32-bit RGB except when made 1- or 8-bit on purpose.
class TBitmap : public TObject {
public:
    TBitmap();
    TBitmap(int width, int height);
    ~TBitmap() override;
    TBitmap(const TBitmap&) = delete;
    TBitmap& operator=(const TBitmap&) = delete;

    int Width() const { return FImage.width(); }
    int Height() const { return FImage.height(); }
    void SetWidth(int w);
    void SetHeight(int h);
    void SetSize(int w, int h);
    bool Empty() const { return FImage.isNull() || FImage.width() == 0 || FImage.height() == 0; }

    TCanvas& Canvas();
    void Assign(const TBitmap* other);

    // Loads a picture of the program's resources by name ("PLUS", "BACKGROUND", ...);
    // raises EResNotFound when there is none. A picture NAME@2x of twice the size, when the
    // resources have one, comes along as the bitmap's fine copy.
    void LoadFromResourceName(const std::string& name);
    // The picture at twice the size (device pixel ratio 2) for screens that scale; null when
    // there is none. Any change of the bitmap drops it: the bitmap itself is what counts.
    const QImage& FineImage() const { return FFineImage; }
    void LoadFromFile(const std::string& fileName);

    TPixelFormat PixelFormat() const { return FPixelFormat; }
    // pf8bit converts through the halftone palette, in which black is entry 0.
    void SetPixelFormat(TPixelFormat pf);
    bool Monochrome() const { return FPixelFormat == pf1bit; }
    // Makes a two-level picture: pixels of the colour become white, the rest black.
    void Mask(TColor transparentColor);

    bool Transparent() const { return FTransparent; }
    void SetTransparent(bool t) { FTransparent = t; }
    // The colour treated as see-through: the bottom-left pixel unless set.
    TColor TransparentColor() const;
    void SetTransparentColor(TColor c) { FTransparentColor = c; }

    // Bytes of row y of an 8-bit picture (null otherwise).
    const std::uint8_t* ScanLine(int y) const;

    QImage& Image() { return FImage; }
    const QImage& Image() const { return FImage; }
    void SetImage(const QImage& img);

    TNotifyEvent OnChange;
    void Changed();

private:
    QImage FImage;
    QImage FFineImage;
    std::unique_ptr<TCanvas> FCanvas;
    TPixelFormat FPixelFormat = pfDevice;
    bool FTransparent = false;
    TColor FTransparentColor = clNone;
};

class EResNotFound : public Exception { using Exception::Exception; };

// Drawing surface over an RGB32 image (a bitmap's, or a control's back buffer).
class TCanvas : public TObject {
public:
    explicit TCanvas(QImage* target = nullptr);
    void SetTarget(QImage* target) { FTarget = target; }
    QImage* Target() const { return FTarget; }
    // Called by every drawing on the target.
    std::function<void()> OnDraw;

    TBrush& Brush() { return FBrush; }
    TPen& Pen() { return FPen; }
    TFont& Font() { return FFont; }
    TCopyMode CopyMode() const { return FCopyMode; }
    void SetCopyMode(TCopyMode m) { FCopyMode = m; }
    TRect ClipRect() const;

    TColor Pixels(int x, int y) const;  // clNone outside the surface
    void SetPixel(int x, int y, TColor c);

    void FillRect(const TRect& r);            // with the brush
    void Rectangle(const TRect& r);           // pen outline, brush inside
    void FrameRect(const TRect& r);           // one-pixel frame in the brush colour
    void Ellipse(const TRect& r);
    void Pie(const TRect& r, TPoint start, TPoint end);
    void MoveTo(int x, int y) { FPenPos = {x, y}; }
    void LineTo(int x, int y);
    void Polygon(const std::vector<TPoint>& pts);
    void DrawFocusRect(const TRect& r);

    void TextOut(int x, int y, const std::string& text);  // top-left, brush fills behind
    void TextRect(const TRect& r, int x, int y, const std::string& text);  // clipped to r
    int TextWidth(const std::string& text) const;
    int TextHeight(const std::string& text) const;

    // Copies a whole bitmap at (x, y); a transparent bitmap leaves its transparent colour out.
    void Draw(int x, int y, const TBitmap& bmp);
    void StretchDraw(const TRect& r, const TBitmap& bmp);
    // Copies src (rectangle of source) to dest with the canvas's CopyMode.
    void CopyRect(const TRect& dest, const TCanvas& source, const TRect& src);
    // Copies with the pixels of transparentColor replaced by the brush colour.
    void BrushCopy(const TRect& dest, const TBitmap& bmp, const TRect& src, TColor transparentColor);

private:
    void Drawn()
    {
        if (OnDraw) OnDraw();
    }
    QImage* FTarget;
    TBrush FBrush;
    TPen FPen;
    TFont FFont;
    TCopyMode FCopyMode = SRCCOPY;
    TPoint FPenPos;
};

// Loads a named picture of the program's resources; a null image when there is none.
QImage LoadResourcePicture(const std::string& name);

}  // namespace kapo
