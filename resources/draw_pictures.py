#!/usr/bin/python3
"""Draws every picture of Kapo into resources/pictures/NAME.png.

Run with Debian's interpreter, which has python3-pil:

    /usr/bin/python3 resources/draw_pictures.py [--preview FILE]

The window pictures are painted four times larger and reduced, so curves
and lettering come out smooth, and are then stored as 256-colour palette
images. Each comes twice: NAME.png at its size and NAME@2x.png at twice the
size for screens that scale by more than 100 %; details set on exact pixels
are drawn on whole 2 x 2 blocks there, so the key-colour pixels of the 2x
picture are exactly those of the 1x picture, doubled. The window outline is cut with a hard edge: a pixel is either the
key colour magenta or an opaque frame colour, never a blend of the two,
because the window shape is taken from exactly the magenta pixels.

The small pictures of the tree, the folder list and the drive chooser are
pixel art: each is written out below as a grid of letters. Their bottom-left
pixel is the transparent colour, so every grid starts its last row with '.'.

--preview FILE also writes a mock-up of the window with the lists, buttons,
texts and the settings panel in place, and the small pictures enlarged.
"""

import argparse
import math
import os
import sys

from PIL import Image, ImageChops, ImageDraw, ImageFilter, ImageFont

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "pictures")

S = 4  # supersampling factor of the window pictures

# Colours (RGB). The program writes colours as 0xBBGGRR values; those noted
# here are the ones the window and its controls paint with.
MAGENTA = (255, 0, 255)          # key colour 0xFF00FF: outside the window
EDGE = (10, 11, 11)              # 0x0B0B0A: the frame's darkest line
BEIGE = (197, 187, 165)          # 0xA5BBC5: the work area
LIST = (198, 188, 166)           # 0xA6BCC6: what the lists paint
SLATE = (100, 113, 126)          # 0x7E7164: settings panel and its edits
CHOOSER = (157, 180, 189)        # 0xBDB49D: the drive chooser
GAUGE_BACK = (0, 64, 128)        # 0x804000
SILVER = (192, 192, 192)
GLYPH = (168, 174, 178)          # marks under the top bar's buttons
STOP_RED = (206, 54, 42)         # the stop sign under the stop button
STOP_BAR = (246, 240, 232)
NAVY = (0, 0, 128)

FRAME_TOP = (60, 65, 70)
FRAME_BOTTOM = (27, 30, 33)
BEVEL_TOP = (104, 111, 118)
BEVEL_BOTTOM = (36, 39, 42)

TEAL_LIGHT = (58, 140, 140)
TEAL_DARK = (30, 98, 102)
TEAL_SEAT = (20, 70, 73)
MINT = (214, 238, 230)
MINT_SHADOW = (16, 58, 60)

GROOVE_DARK = (163, 152, 128)
GROOVE_LIGHT = (226, 219, 202)

FONT_DIRS = ["/usr/share/fonts/truetype/liberation", "/usr/share/fonts/truetype/dejavu"]
FONT_FILES = {
    "bold": ["LiberationSans-Bold.ttf", "DejaVuSans-Bold.ttf"],
    "regular": ["LiberationSans-Regular.ttf", "DejaVuSans.ttf"],
    "italic": ["LiberationSans-Italic.ttf", "DejaVuSans-Oblique.ttf"],
    "mono": ["LiberationMono-Regular.ttf", "DejaVuSansMono.ttf"],
}


def font(kind, size):
    for name in FONT_FILES[kind]:
        for folder in FONT_DIRS:
            path = os.path.join(folder, name)
            if os.path.exists(path):
                return ImageFont.truetype(path, size)
    sys.exit("draw_pictures: no TrueType font found (install fonts-liberation)")


# ---------------------------------------------------------------------------
# Supersampled painting


class Canvas:
    """An RGB picture painted at S times its size; coordinates are given in
    final pixels, a rectangle (x0, y0, x1, y1) covering x0..x1-1, y0..y1-1."""

    def __init__(self, w, h, fill):
        self.w, self.h = w, h
        self.img = Image.new("RGB", (w * S, h * S), fill)
        self.draw = ImageDraw.Draw(self.img)

    @staticmethod
    def box(r):
        x0, y0, x1, y1 = r
        return (round(x0 * S), round(y0 * S), round(x1 * S) - 1, round(y1 * S) - 1)

    def mask(self):
        return Image.new("L", self.img.size, 0)

    def rounded_mask(self, r, radius):
        m = self.mask()
        ImageDraw.Draw(m).rounded_rectangle(self.box(r), radius * S, fill=255)
        return m

    def fill(self, mask, paint):
        """Paints a colour or a full-size picture through a mask."""
        if isinstance(paint, tuple):
            paint = Image.new("RGB", self.img.size, paint)
        self.img.paste(paint, (0, 0), mask)

    def vgradient(self, top, bottom, y0=0, y1=None):
        """A full-size picture shading from top colour at y0 to bottom at y1."""
        y1 = self.h if y1 is None else y1
        return gradient(self.img.size, top, bottom, y0 * S, y1 * S, vertical=True)

    def hgradient(self, left, right, x0=0, x1=None):
        x1 = self.w if x1 is None else x1
        return gradient(self.img.size, left, right, x0 * S, x1 * S, vertical=False)

    def reduce(self, k=1):
        return self.img.resize((self.w * k, self.h * k), Image.BOX)


class PixelDraw:
    """Draws on a picture k times larger in the final pixels of the 1x
    picture: a line or a rectangle covers whole k x k blocks. Lines are
    axis-aligned polylines, as in ImageDraw (corners inclusive)."""

    def __init__(self, img, k):
        self.k = k
        self.draw = ImageDraw.Draw(img)

    def block(self, x0, y0, x1, y1):
        k = self.k
        return (x0 * k, y0 * k, x1 * k + k - 1, y1 * k + k - 1)

    def line(self, pts, fill):
        for (ax, ay), (bx, by) in zip(pts, pts[1:]):
            self.draw.rectangle(self.block(min(ax, bx), min(ay, by), max(ax, bx), max(ay, by)), fill=fill)

    def rectangle(self, box, fill=None, outline=None):
        x0, y0, x1, y1 = box
        if fill is not None:
            self.draw.rectangle(self.block(x0, y0, x1, y1), fill=fill)
        if outline is not None:
            self.line([(x0, y0), (x1, y0), (x1, y1), (x0, y1), (x0, y0)], outline)

    def rounded_rectangle(self, box, radius, fill):
        self.draw.rounded_rectangle(self.block(*box), radius * self.k, fill=fill)

    def point(self, xy, fill):
        self.rectangle(xy + xy, fill=fill)


def gradient(size, c0, c1, a, b, vertical):
    length = size[1] if vertical else size[0]
    ramp = Image.new("L", (1, length) if vertical else (length, 1))
    span = max(1, b - a)
    ramp.putdata([max(0, min(255, round((i - a) * 255 / span))) for i in range(length)])
    ramp = ramp.resize(size, Image.NEAREST)
    bands = [ramp.point(lambda v, p=p, q=q: round(p + (q - p) * v / 255)) for p, q in zip(c0, c1)]
    return Image.merge("RGB", bands)


def mix(c0, c1, t):
    return tuple(round(p + (q - p) * t) for p, q in zip(c0, c1))


def scaled(points, dx=0.0, dy=0.0):
    return [((x + dx) * S, (y + dy) * S) for x, y in points]


# ---------------------------------------------------------------------------
# Emblems painted on the teal strip and the settings heading (supersampled)


def emblem(cv, draw_fn, colour, shadow):
    """Draws a light emblem with a dark shadow one pixel down and right, the
    engraved look shared by every mark on the teal strip."""
    draw_fn(cv, colour=shadow, dx=0.9, dy=0.9)
    draw_fn(cv, colour=colour, dx=0.0, dy=0.0)


def gear(cx, cy, r_out, r_in, r_hole, hole_colour, teeth=8):
    def paint(cv, colour, dx, dy):
        pts = []
        for i in range(teeth * 4):
            a = (i / (teeth * 4)) * 2 * math.pi - math.pi / 2
            r = r_out if (i % 4) in (1, 2) else r_in
            pts.append((cx + dx + r * math.cos(a), cy + dy + r * math.sin(a)))
        cv.draw.polygon(scaled(pts), fill=colour)
        hole = (cx + dx - r_hole, cy + dy - r_hole, cx + dx + r_hole, cy + dy + r_hole)
        cv.draw.ellipse(Canvas.box(hole), fill=hole_colour)
    return paint


def download_arrow(cx, top):
    def paint(cv, colour, dx, dy):
        x, y = cx + dx, top + dy
        shaft = [(x - 2, y), (x + 2, y), (x + 2, y + 7), (x + 6, y + 7), (x, y + 13),
                 (x - 6, y + 7), (x - 2, y + 7)]
        cv.draw.polygon(scaled(shaft), fill=colour)
        tray = [(x - 9, y + 10), (x - 7, y + 10), (x - 7, y + 15), (x + 7, y + 15),
                (x + 7, y + 10), (x + 9, y + 10), (x + 9, y + 17), (x - 9, y + 17)]
        cv.draw.polygon(scaled(tray), fill=colour)
    return paint


def wave_list(cx, top):
    def paint(cv, colour, dx, dy):
        x, y = cx + dx - 9, top + dy
        for i in range(3):
            yy = y + 2 + i * 5
            cv.draw.ellipse(Canvas.box((x, yy, x + 3, yy + 3)), fill=colour)
            cv.draw.rectangle(Canvas.box((x + 5, yy + 0.5, x + 11, yy + 2.5)), fill=colour)
        # an eighth note beside the list
        nx = x + 14
        cv.draw.ellipse(Canvas.box((nx, y + 10.5, nx + 4.5, y + 14.5)), fill=colour)
        cv.draw.rectangle(Canvas.box((nx + 3, y + 0.5, nx + 4.6, y + 12.5)), fill=colour)
        flag = [(nx + 4.6, y + 0.5), (nx + 8.5, y + 4), (nx + 8, y + 6.5), (nx + 4.6, y + 3.6)]
        cv.draw.polygon(scaled(flag), fill=colour)
    return paint


def stop_sign(cx, cy, r):
    """The road sign's octagon: what reads as "stop" even at nine pixels, where a
    plain square reads as a stray speck."""
    def paint(cv, colour, dx, dy):
        corners = [(cx + r * math.cos(math.pi / 8 + i * math.pi / 4),
                    cy + r * math.sin(math.pi / 8 + i * math.pi / 4)) for i in range(8)]
        cv.draw.polygon(scaled(corners, dx, dy), fill=colour)
    return paint


def stop_bar(cx, cy, half_width, half_height):
    def paint(cv, colour, dx, dy):
        cv.draw.rectangle(Canvas.box((cx - half_width + dx, cy - half_height + dy,
                                      cx + half_width + dx, cy + half_height + dy)), fill=colour)
    return paint


def close_cross(cx, cy):
    def paint(cv, colour, dx, dy):
        w = 1.1
        for sgn in (1, -1):
            pts = [(cx - 3.5 - w * 0.7, cy - sgn * (3.5 - w * 0.7) - sgn * w),
                   (cx - 3.5 + w * 0.7, cy - sgn * 3.5 - sgn * w * 0.7),
                   (cx + 3.5 + w * 0.7, cy + sgn * (3.5 - w * 0.7) + sgn * w),
                   (cx + 3.5 - w * 0.7, cy + sgn * 3.5 + sgn * w * 0.7)]
            cv.draw.polygon(scaled(pts, dx, dy), fill=colour)
    return paint


def logo_mark(cx, cy, r, stroke):
    """The Kapo mark: a ring holding a sound wave that swells and fades."""
    def paint(cv, colour, dx, dy):
        x, y = cx + dx, cy + dy
        cv.draw.ellipse(Canvas.box((x - r, y - r, x + r, y + r)), outline=colour, width=round(stroke * S))
        inner = r - stroke - 2.2
        pts = []
        n = 120
        for i in range(n + 1):
            t = i / n
            px = x - inner + 2 * inner * t
            env = math.sin(math.pi * t) ** 1.6
            py = y - env * (r * 0.55) * math.sin(2 * math.pi * 2.5 * t)
            pts.append((px, py))
        cv.draw.line(scaled(pts), fill=colour, width=round(stroke * 0.85 * S), joint="curve")
    return paint


def word(text, x, y, size, spacing=0.0, kind="bold", anchor_centre=True):
    """Lettering with optional tracking; x is the centre when anchor_centre."""
    def paint(cv, colour, dx, dy):
        f = font(kind, round(size * S))
        widths = [f.getlength(ch) for ch in text]
        total = sum(widths) + spacing * S * (len(text) - 1)
        px = (x + dx) * S - (total / 2 if anchor_centre else 0)
        for ch, w in zip(text, widths):
            cv.draw.text((px, (y + dy) * S), ch, font=f, fill=colour)
            px += w + spacing * S
    return paint


# ---------------------------------------------------------------------------
# Palette output


def to_palette(rgb, outside=None, exact=()):
    """Quantises an RGB picture to 256 colours. Pixels where `outside` is
    set become exactly magenta; pixels of an `exact` colour keep it exactly.
    Nothing else may land on or near magenta."""
    w, h = rgb.size
    fixed = ([MAGENTA] if outside is not None else []) + [c for c in exact]
    # Rebuild the picture from its bytes: Pillow keeps RGB pixels in four
    # bytes, and libimagequant reads the unused fourth one as alpha.
    rgb = Image.frombytes("RGB", rgb.size, rgb.tobytes())
    method = Image.Quantize.LIBIMAGEQUANT
    try:
        q = rgb.quantize(colors=256 - len(fixed), method=method, dither=Image.Dither.NONE)
    except ValueError:
        q = rgb.quantize(colors=256 - len(fixed), method=Image.Quantize.MEDIANCUT, dither=Image.Dither.NONE)
    qpal = q.getpalette()[: 3 * (256 - len(fixed))]
    palette = [c for c in fixed]
    palette += [tuple(qpal[i:i + 3]) for i in range(0, len(qpal), 3)]
    palette += [(0, 0, 0)] * (256 - len(palette))
    base = len(fixed)
    index_of = {c: i for i, c in enumerate(fixed)}
    src = rgb.load()
    qi = q.load()
    om = outside.load() if outside is not None else None
    out = Image.new("P", (w, h))
    op = out.load()
    for y in range(h):
        for x in range(w):
            if om is not None and om[x, y]:
                op[x, y] = 0
                continue
            c = src[x, y]
            i = index_of.get(c)
            op[x, y] = i if i is not None else base + qi[x, y]
    out.putpalette([v for c in palette for v in c])
    for i, c in enumerate(palette):
        if i != 0 or outside is None:
            assert not near_magenta(c), f"palette entry {i} {c} is close to the key colour"
    return out


def near_magenta(c):
    r, g, b = c[:3]
    return r > 180 and b > 180 and g < 110


def save(img, name):
    os.makedirs(OUT, exist_ok=True)
    img.save(os.path.join(OUT, name + ".png"), optimize=True)


# ---------------------------------------------------------------------------
# The window's background, 600 x 358

W, H = 600, 358
OUTLINE = (0, 0, W, H)
OUTLINE_RADIUS = 20
STRIP = (5, 5, 69, 353)          # the teal strip, x 5..68
STRIP_RADIUS = 13
WORK = (83, 33, 592, 350)        # the dark line round the beige area is its outer ring

# Places of the window's controls (x, y, w, h), to keep the picture in step.
FIM = (485, 10, 22, 9)
STOP = (73, 10, 22, 9)
SONS = (39, 223, 22, 9)
TRANSF = (43, 70, 22, 9)
CONFIG = (43, 25, 22, 9)
LAMP = (100, 11, 15, 4)
GAUGE = (118, 11, 60, 4)
STATUS = (185, 5)
VERSION = (50, 115, 15, 14)
DRV = (10, 85, 56, 19)
LISTA = (110, 158, 146, 180)
NOMES = (296, 41, 285, 301)
DIR = (100, 40, 180, 111)
DISPLAY = (97, 4, 481, 22)       # recessed strip under the lamp, gauge and status


def rect(place, grow=0):
    x, y, w, h = place
    return (x - grow, y - grow, x + w + grow, y + h + grow)


def draw_background(k=1):
    cv = Canvas(W, H, EDGE)
    body = cv.rounded_mask((1, 1, W - 1, H - 1), OUTLINE_RADIUS - 1)
    cv.fill(body, cv.vgradient(BEVEL_TOP, BEVEL_BOTTOM))
    inner = cv.rounded_mask((2, 2, W - 2, H - 2), OUTLINE_RADIUS - 2)
    cv.fill(inner, cv.vgradient(FRAME_TOP, FRAME_BOTTOM))

    # Teal strip, set into the frame with a dark seam and a soft lit edge.
    seam = cv.rounded_mask((STRIP[0] - 1, STRIP[1] - 1, STRIP[2] + 1, STRIP[3] + 1), STRIP_RADIUS + 1)
    cv.fill(seam, EDGE)
    strip = cv.rounded_mask(STRIP, STRIP_RADIUS)
    cv.fill(strip, cv.hgradient(TEAL_DARK, TEAL_LIGHT, STRIP[0], (STRIP[0] + STRIP[2]) / 2 + 6))
    right = cv.mask()
    ImageDraw.Draw(right).rectangle(Canvas.box(((STRIP[0] + STRIP[2]) / 2 + 6, 0, W, H)), fill=255)
    cv.fill(ImageChops.multiply(strip, right),
            cv.hgradient(TEAL_LIGHT, mix(TEAL_DARK, TEAL_LIGHT, 0.45), (STRIP[0] + STRIP[2]) / 2 + 6, STRIP[2]))

    # Emblems above the settings, transfer and catalogue buttons, and the logo.
    emblem(cv, gear(54, 14.5, 7.2, 5.4, 2.2, mix(TEAL_DARK, TEAL_LIGHT, 0.7)), MINT, MINT_SHADOW)
    emblem(cv, download_arrow(54, 47), MINT, MINT_SHADOW)
    emblem(cv, wave_list(50, 200), MINT, MINT_SHADOW)
    emblem(cv, logo_mark(37, 286, 21, 3.0), MINT, MINT_SHADOW)
    emblem(cv, word("KAPO", 37.5, 314, 15.5, spacing=1.3), MINT, MINT_SHADOW)

    # Glyphs under the stop and close buttons in the top bar.
    emblem(cv, stop_sign(84, 26, 5.0), STOP_RED, EDGE)
    stop_bar(84, 26, 3.0, 0.9)(cv, STOP_BAR, 0.0, 0.0)
    emblem(cv, close_cross(496, 26), GLYPH, EDGE)

    # Speaker grille at the right of the top bar.
    for row in range(4):
        for col in range(13):
            gx = 520 + col * 5.4 + (2.7 if row % 2 else 0)
            gy = 8 + row * 4.6
            if gx > 585:
                continue
            cv.draw.ellipse(Canvas.box((gx - 1.35 + 0.5, gy - 1.35 + 0.6, gx + 1.35 + 0.5, gy + 1.35 + 0.6)),
                            fill=(78, 84, 90))
            cv.draw.ellipse(Canvas.box((gx - 1.35, gy - 1.35, gx + 1.35, gy + 1.35)), fill=(6, 7, 7))

    img = cv.reduce(k)
    crisp_background(img, k)

    # Hard outline: a pixel belongs to the window when at least half of it
    # lies inside the rounded shape. The 2x outline is the 1x one doubled, so
    # the window's shape (taken from the 1x picture) fits it at every scale.
    shape = Image.new("L", (W * S, H * S), 0)
    ImageDraw.Draw(shape).rounded_rectangle(Canvas.box(OUTLINE), OUTLINE_RADIUS * S, fill=255)
    outside = shape.resize((W, H), Image.BOX).point(lambda v: 0 if v >= 128 else 255)
    # The outermost ring of the window is the darkest frame colour.
    ring = ImageChops.subtract(outside.filter(ImageFilter.MaxFilter(3)), outside)
    outside, ring = (m.resize((W * k, H * k), Image.NEAREST) for m in (outside, ring))
    img.paste(EDGE, (0, 0), ring)
    img.paste(EDGE, (0, 0), outside)  # becomes the key colour in to_palette
    return img, outside


def crisp_background(img, k):
    """Details that must sit on exact pixels: the work area and its ring,
    the seats of the buttons and the recessed display."""
    d = PixelDraw(img, k)

    # Work area: dark ring at x 83 / y 33, sunken into the frame.
    x0, y0, x1, y1 = WORK
    d.line([(x0 - 1, y1), (x0 - 1, y0 - 1), (x1, y0 - 1)], fill=(22, 24, 26))
    d.line([(x0 - 1, y1), (x1, y1), (x1, y0 - 1)], fill=(88, 94, 100))
    d.rectangle((x0, y0, x1 - 1, y1 - 1), outline=EDGE, fill=BEIGE)
    d.line([(x0 + 1, y1 - 2), (x0 + 1, y0 + 1), (x1 - 2, y0 + 1)], fill=(172, 162, 140))

    # Wells for the three lists: an engraved groove two pixels out.
    for place in (DIR, LISTA, NOMES):
        lx0, ly0, lx1, ly1 = rect(place)
        d.rectangle((lx0, ly0, lx1 - 1, ly1 - 1), fill=BEIGE)
        d.line([(lx0 - 2, ly1 + 1), (lx0 - 2, ly0 - 2), (lx1 + 1, ly0 - 2)], fill=GROOVE_DARK)
        d.line([(lx0 - 2, ly1 + 1), (lx1 + 1, ly1 + 1), (lx1 + 1, ly0 - 2)], fill=GROOVE_LIGHT)
        d.line([(lx0 - 1, ly1), (lx0 - 1, ly0 - 1), (lx1, ly0 - 1)], fill=GROOVE_LIGHT)
        d.line([(lx0 - 1, ly1), (lx1, ly1), (lx1, ly0 - 1)], fill=GROOVE_DARK)

    # Small engraved captions beside the lists.
    caption(img, "PASTAS", 92, DIR[1] + DIR[3] // 2, k)
    caption(img, "CATEGORIAS", 97, LISTA[1] + LISTA[3] // 2, k)
    caption(img, "SONS", 288, NOMES[1] + NOMES[3] // 2, k)

    # Recessed display for the lamp, the gauge and the status line.
    dx0, dy0, dx1, dy1 = DISPLAY
    d.rectangle((dx0, dy0, dx1 - 1, dy1 - 1), fill=(17, 20, 22))
    d.line([(dx0, dy1 - 1), (dx0, dy0), (dx1 - 1, dy0)], fill=(6, 7, 7))
    d.line([(dx0 + 1, dy0 + 1), (dx1 - 2, dy0 + 1)], fill=(12, 14, 15))
    d.line([(dx0, dy1), (dx1, dy1), (dx1, dy0)], fill=(92, 98, 104))
    for place in (LAMP, GAUGE):
        sx0, sy0, sx1, sy1 = rect(place, 1)
        d.rectangle((sx0, sy0, sx1 - 1, sy1 - 1), outline=(2, 3, 3), fill=(2, 3, 3))
        d.line([(sx0, sy1), (sx1, sy1), (sx1, sy0)], fill=(46, 50, 54))
    d.rectangle(rect(LAMP)[:2] + (rect(LAMP)[2] - 1, rect(LAMP)[3] - 1), fill=(128, 0, 0))
    d.rectangle(rect(GAUGE)[:2] + (rect(GAUGE)[2] - 1, rect(GAUGE)[3] - 1), fill=GAUGE_BACK)

    # Seats for the five buttons and the drive chooser.
    for place in (FIM, STOP):
        bx0, by0, bx1, by1 = rect(place, 1)
        d.rectangle((bx0, by0, bx1 - 1, by1 - 1), fill=(6, 7, 7))
        d.line([(bx0, by1), (bx1, by1), (bx1, by0)], fill=(84, 90, 96))
    for place in (CONFIG, TRANSF, SONS, DRV):
        bx0, by0, bx1, by1 = rect(place, 1)
        d.rectangle((bx0, by0, bx1 - 1, by1 - 1), fill=TEAL_SEAT)
        d.line([(bx0, by1), (bx1, by1), (bx1, by0)], fill=(92, 168, 166))
    sx, sy, sw, sh = DRV
    d.rectangle((sx, sy, sx + sw - 1, sy + sh - 1), fill=CHOOSER)

    # A lighter plate that the black version mark reads well on.
    vx, vy, vw, vh = VERSION
    d.rounded_rectangle((vx - 4, vy - 1, vx + vw + 2, vy + vh), 3, fill=(112, 186, 182))
    d.line([(vx - 3, vy + vh), (vx + vw + 1, vy + vh)], fill=(24, 84, 86))


def caption(img, text, cx, cy, k):
    """Tiny engraved capitals, read from bottom to top. Letters are placed on
    whole pixels one by one, which keeps the spacing even at this size."""
    f = font("bold", 8 * k)
    advances = [(round(f.getlength(ch) / k) + 1) * k for ch in text]
    layer = Image.new("L", (sum(advances) + 2 * k, 12 * k), 0)
    d = ImageDraw.Draw(layer)
    x = k
    for ch, adv in zip(text, advances):
        d.text((x, k), ch, font=f, fill=255)
        x += adv
    layer = layer.rotate(90, expand=True)
    px = round(cx - layer.size[0] / k / 2) * k
    py = round(cy - layer.size[1] / k / 2) * k
    img.paste(GROOVE_LIGHT, (px + k, py + k), layer)
    img.paste((150, 139, 116), (px, py), layer)


# ---------------------------------------------------------------------------
# The settings panel's background, 508 x 316

SW, SH = 508, 316
HEADING = 46
FIELDS = (8, 264, 500, 308)
# Edits of the panel (x, y, w, h) in the panel's coordinates.
EDITS = [(310, 287, 70, 14), (435, 287, 60, 14), (140, 287, 111, 14), (140, 272, 21, 14), (310, 272, 186, 14)]
FIELD_BAND = (196, 203, 210)


def draw_settings(k=1):
    cv = Canvas(SW, SH, EDGE)
    body = Image.new("L", cv.img.size, 0)
    ImageDraw.Draw(body).rectangle(Canvas.box((1, 1, SW - 1, SH - 1)), fill=255)
    cv.fill(body, cv.vgradient(mix(SLATE, (255, 255, 255), 0.08), mix(SLATE, (0, 0, 0), 0.12)))

    # Heading band.
    band = Image.new("L", cv.img.size, 0)
    ImageDraw.Draw(band).rectangle(Canvas.box((1, 1, SW - 1, HEADING)), fill=255)
    cv.fill(band, cv.vgradient((58, 66, 74), (36, 41, 46), 1, HEADING))
    accent = Image.new("L", cv.img.size, 0)
    ImageDraw.Draw(accent).rectangle(Canvas.box((1, HEADING, SW - 1, HEADING + 2)), fill=255)
    cv.fill(accent, cv.hgradient(TEAL_LIGHT, (96, 190, 184), 1, SW))

    emblem(cv, logo_mark(26, 23.5, 14, 2.2), MINT, EDGE)
    emblem(cv, word("Configurações", 50, 8.5, 19, kind="bold", anchor_centre=False), (226, 232, 236), EDGE)
    emblem(cv, word("biblioteca de sons KORA", 494 - 168, 17, 12, kind="italic", anchor_centre=False),
           (150, 162, 172), EDGE)

    # Decoration: a sound wave drawn as mirrored bars across the panel, each
    # bar brighter towards the centre line.
    mid = 158
    n = 97
    glow = (150, 208, 204)
    for i in range(n):
        t = (i + 0.5) / n
        x = 22 + t * (SW - 44)
        env = math.sin(math.pi * t) ** 1.4
        a = env * (0.3 + 0.7 * abs(math.sin(11.3 * t) * math.cos(3.7 * t + 0.4)))
        hgt = 3 + a * 80
        cv.draw.rounded_rectangle(Canvas.box((x - 1.3, mid - hgt, x + 1.3, mid + hgt)), 1.3 * S,
                                  fill=mix(SLATE, glow, 0.16 + 0.34 * env))
        core = hgt * 0.55
        cv.draw.rounded_rectangle(Canvas.box((x - 1.3, mid - core, x + 1.3, mid + core)), 1.3 * S,
                                  fill=mix(SLATE, glow, 0.3 + 0.5 * env))
    cv.draw.rectangle(Canvas.box((16, mid - 0.5, SW - 16, mid + 0.5)), fill=mix(SLATE, glow, 0.55))

    # Field band with a plug mark at its left end.
    fmask = cv.rounded_mask(FIELDS, 7)
    cv.fill(fmask, cv.vgradient((206, 212, 219), (186, 193, 201), FIELDS[1], FIELDS[3]))
    emblem(cv, plug(56, 286), (78, 92, 106), (236, 240, 244))

    img = cv.reduce(k)
    d = PixelDraw(img, k)
    d.rectangle((0, 0, SW - 1, SH - 1), outline=EDGE)
    fx0, fy0, fx1, fy1 = FIELDS
    # A dark ring round each edit seats it in the band; the edits of one
    # column lie a pixel apart and share a ring line.
    for place in EDITS:
        x0, y0, x1, y1 = rect(place)
        d.rectangle((x0 - 1, y0 - 1, x1, y1), outline=(58, 66, 76), fill=SLATE)
    return img


def plug(cx, cy):
    """A mains plug on its cable: the panel's connection settings."""
    def paint(cv, colour, dx, dy):
        x, y = cx + dx, cy + dy
        cv.draw.rounded_rectangle(Canvas.box((x - 9, y - 7, x + 5, y + 7)), 3 * S, fill=colour)
        cv.draw.rectangle(Canvas.box((x + 5, y - 5, x + 14, y - 2.6)), fill=colour)
        cv.draw.rectangle(Canvas.box((x + 5, y + 2.6, x + 14, y + 5)), fill=colour)
        cv.draw.rectangle(Canvas.box((x - 12, y - 3, x - 9, y + 3)), fill=colour)
        cable = [(x - 26, y + 6), (x - 22, y + 6), (x - 18, y), (x - 12, y - 1.3), (x - 12, y + 1.3),
                 (x - 16.8, y + 2.2), (x - 20.6, y + 8.4), (x - 26, y + 8.4)]
        cv.draw.polygon(scaled(cable), fill=colour)
    return paint


# ---------------------------------------------------------------------------
# Buttons, 22 x 9

def draw_button(pressed, k=1):
    """The bar is pixel art at 1x; at 2x its blocks are doubled, but the
    body's shading runs over every device row, so it stays smooth."""
    img = Image.new("RGB", (22, 9), EDGE)
    p = img.load()
    rim = (14, 42, 44)
    for x in range(22):
        for y in range(9):
            if x in (0, 21) or y in (0, 8):
                p[x, y] = rim
    if not pressed:
        top, bottom = (120, 206, 198), (72, 160, 156)
    else:
        top, bottom = (46, 126, 124), (70, 156, 152)
    for y in range(1, 8):
        c = mix(top, bottom, (y - 1) / 6)
        for x in range(1, 21):
            p[x, y] = c
    body = img.copy()
    if not pressed:
        for x in range(2, 20):
            p[x, 1] = (186, 236, 230)
            p[x, 7] = (46, 122, 120)
    else:
        for x in range(1, 21):
            p[x, 1] = (18, 64, 66)
            p[x, 2] = (34, 100, 100)
            p[x, 7] = (104, 186, 180)
        for y in range(1, 8):
            p[1, y] = (18, 64, 66)
            p[20, y] = (90, 172, 166)
        p[20, 1] = (34, 100, 100)
    # rounded inner corners
    for x, y in ((1, 1), (20, 1), (1, 7), (20, 7)):
        p[x, y] = mix(rim, p[x, y], 0.45)
    if k == 1:
        return img
    big = img.resize((22 * k, 9 * k), Image.NEAREST)
    q = big.load()
    b = body.load()
    for x in range(1, 21):
        for y in range(1, 8):
            if p[x, y] != b[x, y]:
                continue
            for yy in range(y * k, y * k + k):
                c = mix(top, bottom, (yy - k) / (7 * k - 1))
                for xx in range(x * k, x * k + k):
                    q[xx, yy] = c
    return big


# ---------------------------------------------------------------------------
# Pixel art for the small pictures. '.' is the transparent colour (the
# bottom-left pixel); every other letter is looked up in INK.

CLEAR = MAGENTA
INK = {
    ".": CLEAR,
    "k": (22, 28, 32),       # outline
    "g": (86, 96, 104),      # dark grey
    "s": (150, 158, 164),    # mid grey
    "l": (208, 212, 214),    # light grey
    "w": (250, 250, 246),    # white
    "T": (20, 70, 74),       # teal outline
    "t": (44, 128, 130),     # teal
    "u": (84, 172, 170),     # light teal
    "v": (150, 214, 208),    # pale teal
    "A": (104, 62, 6),       # amber outline
    "a": (214, 150, 34),     # amber
    "b": (246, 196, 78),     # light amber
    "c": (255, 230, 150),    # pale amber
    "G": (0, 150, 40),       # green LED
    "L": (120, 240, 110),    # lit LED
    "r": (28, 96, 48),       # circuit board
    "R": (60, 140, 76),      # board light
    "y": (214, 176, 60),     # gold contacts
    "n": (30, 60, 130),      # diskette blue
    "N": (70, 110, 190),     # diskette light
    "o": (180, 188, 200),    # disc silver
    "p": (140, 170, 220),    # disc sheen
    "m": (232, 200, 240),    # disc sheen (violet)
    "e": (64, 70, 76),       # cable
}

PICTURES = {
    "PLUS": [
        ".kkkkkkk.",
        "kwwwwwwwk",
        "kwwwkwwwk",
        "kwwwkwwwk",
        "kwkkkkkwk",
        "kwwwkwwwk",
        "kwwwkwwwk",
        "kwwwwwwwk",
        ".kkkkkkk.",
    ],
    "MINUS": [
        ".kkkkkkk.",
        "kwwwwwwwk",
        "kwwwwwwwk",
        "kwwwwwwwk",
        "kwkkkkkwk",
        "kwwwwwwwk",
        "kwwwwwwwk",
        "kwwwwwwwk",
        ".kkkkkkk.",
    ],
    # Tree: a category that is open, one that is closed, and a sound.
    "OPEN": [
        ".TTTT........",
        "TvvvvT.......",
        "TuuuuuTTTTTT.",
        "TuTTTTTTTTTTT",
        "TuTvvvvvvvvvT",
        "TTvuuuuuuuuT.",
        "TTuuuuuuuuuT.",
        "TvuuuuuuuutT.",
        "TuttttttttT..",
        "TTTTTTTTTTT..",
        ".............",
    ],
    "CLOSED": [
        ".TTTT........",
        "TvvvvT.......",
        "TvvvvvTTTTTT.",
        "TuuuuuuuuuuuT",
        "TuvvvvvvvvvtT",
        "TuuuuuuuuuutT",
        "TuuuuuuuuuutT",
        "TuuuuuuuuuutT",
        "TtttttttttttT",
        ".TTTTTTTTTTT.",
        ".............",
    ],
    "LEAF": [
        "..kkkkkkkk...",
        "..kwwwwwwkk..",
        "..kwwwwwwklk.",
        "..kwwwtwwkkkk",
        "..kwwwtwtwwwk",
        "..kwtwtwtwtwk",
        "..kwtwtwtwtwk",
        "..kwtwtwtwtwk",
        "..kwwwtwtwwwk",
        "..kwwwtwwwwwk",
        ".kkkkkkkkkkkk",
    ],
    # Folder list.
    "OPENFOLDER": [
        "................",
        "................",
        ".TTTT...........",
        "TvvvvT..........",
        "TuuuuuTTTTTTT...",
        "TuuuuuuuuuuuT...",
        "TuuTTTTTTTTTTTTT",
        "TuTvvvvvvvvvvvvT",
        "TuTvuuuuuuuuuuT.",
        "TTvuuuuuuuuuuuT.",
        "TTuuuuuuuuuuutT.",
        "TvuuuuuuuuuuuT..",
        "TutttttttttttT..",
        "TTTTTTTTTTTTTT..",
        "................",
    ],
    "CLOSEDFOLDER": [
        "................",
        "................",
        ".TTTT...........",
        "TvvvvT..........",
        "TvvvvvTTTTTTTT..",
        "TuuuuuuuuuuuuuT.",
        "TuvvvvvvvvvvvtT.",
        "TuuuuuuuuuuuutT.",
        "TuuuuuuuuuuuutT.",
        "TuuuuuuuuuuuutT.",
        "TuuuuuuuuuuuutT.",
        "TuuuuuuuuuuuutT.",
        "TttttttttttttTT.",
        ".TTTTTTTTTTTTT..",
        "................",
    ],
    "CURRENTFOLDER": [
        "................",
        "................",
        ".AAAA...........",
        "AccccA..........",
        "AbbbbbAAAAAAA...",
        "AbbbbbbbbbbbA...",
        "AbbAAAAAAAAAAAAA",
        "AbAccccccccccccA",
        "AbAcbbbbbbbbbbA.",
        "AAcbbbbbbbbbbbA.",
        "AAbbbbbbbbbbbaA.",
        "AcbbbbbbbbbbbA..",
        "AbaaaaaaaaaaaA..",
        "AAAAAAAAAAAAAA..",
        "................",
    ],
    # Drive chooser.
    "FLOPPY": [
        "..kkkkkkkkkk....",
        "..knNllllgNnk...",
        "..knNllllgNnk...",
        "..knNllllgNnk...",
        "..knNNNNNNNnk...",
        "..knwwwwwwwnk...",
        "..knwgggggwnk...",
        "..knwwwwwwwnk...",
        "..knwgggggwnk...",
        "..knwwwwwwwnk...",
        "..kkkkkkkkkkk...",
    ],
    "HARD": [
        "................",
        "................",
        "kkkkkkkkkkkkkkkk",
        "klllllllllllllsk",
        "klwwwwwwwwwwwlsk",
        "klllllllllllllsk",
        "klllllllllLGllsk",
        "klllllllllllllsk",
        "kssssssssssssssk",
        "kkkkkkkkkkkkkkkk",
        "................",
    ],
    "NETWORK": [
        "kkkkkkkkkkkkkkkk",
        "klllllllllllllsk",
        "klwwwwwwwwwwwlsk",
        "klllllllllllllsk",
        "klllllllllLGllsk",
        "kssssssssssssssk",
        "kkkkkkkekkkkkkkk",
        ".......e........",
        ".......e........",
        "eeeeeeeeeeeeeeee",
        "................",
    ],
    "CDROM": [
        ".....kkkkk......",
        "...kkoooomkk....",
        "...kooooommk....",
        "..kooooooommk...",
        "..koooogggook...",
        "..koooog.gook...",
        "..koooogggook...",
        "..kppoooooook...",
        "...kppoooook....",
        "...kkoooookk....",
        ".....kkkkk......",
    ],
    "RAM": [
        "................",
        "rrrrrrrrrrrrrrrr",
        "rRRRRRRRRRRRRRRr",
        "rRkkkRkkkRkkkRRr",
        "rRkkkRkkkRkkkRRr",
        "rRkkkRkkkRkkkRRr",
        "rRRRRRRRRRRRRRRr",
        "rryryryryryryryr",
        "ryryryryryryryry",
        "................",
        "................",
    ],
}

SIZES = {
    "PLUS": (9, 9), "MINUS": (9, 9),
    "OPEN": (13, 11), "CLOSED": (13, 11), "LEAF": (13, 11),
    "OPENFOLDER": (16, 15), "CLOSEDFOLDER": (16, 15), "CURRENTFOLDER": (16, 15),
    "FLOPPY": (16, 11), "HARD": (16, 11), "NETWORK": (16, 11), "CDROM": (16, 11), "RAM": (16, 11),
}


def draw_pixel_art(name):
    rows = PICTURES[name]
    w, h = SIZES[name]
    assert len(rows) == h and all(len(r) == w for r in rows), f"{name}: grid is not {w} x {h}"
    assert rows[-1][0] == ".", f"{name}: the bottom-left pixel must be the transparent colour"
    img = Image.new("RGB", (w, h))
    img.putdata([INK[ch] for row in rows for ch in row])
    return img


def small_palette(img):
    """A palette picture of exactly the colours used (there are few)."""
    colours = sorted(set(img.getdata()), key=lambda c: (c != MAGENTA, c))
    index = {c: i for i, c in enumerate(colours)}
    out = Image.new("P", img.size)
    out.putdata([index[c] for c in img.getdata()])
    pal = [v for c in colours for v in c]
    out.putpalette(pal + [0] * (768 - len(pal)))
    return out


# ---------------------------------------------------------------------------
# Preview: the window as a user sees it, built from the pictures


def preview(path, pictures):
    bg = pictures["BACKGROUND"].convert("RGB")
    up = pictures["BUTTONUP"].convert("RGB")
    down = pictures["BUTTONDOWN"].convert("RGB")
    arial = font("bold", 11)
    arial12 = font("bold", 12)
    mono = font("mono", 12)
    small = font("bold", 9)

    def window(with_settings):
        img = Image.new("RGB", (W, H), (70, 90, 140))
        # desktop stripes behind the window show where it is cut
        d = ImageDraw.Draw(img)
        for i in range(0, W + H, 12):
            d.line([(i, 0), (i - H, H)], fill=(90, 110, 160), width=4)
        # index 0 of the palette is the key colour
        indices = Image.frombytes("L", (W, H), pictures["BACKGROUND"].tobytes())
        img.paste(bg, (0, 0), indices.point(lambda v: 255 if v else 0))
        for place in (FIM, STOP, SONS, TRANSF, CONFIG):
            img.paste(down if place is STOP else up, place[:2])
        d = ImageDraw.Draw(img)
        d.rectangle(rect(LAMP)[:2] + (rect(LAMP)[2] - 1, rect(LAMP)[3] - 1), fill=(255, 0, 0))
        gx0, gy0, gx1, gy1 = rect(GAUGE)
        d.rectangle((gx0, gy0, gx1 - 1, gy1 - 1), fill=GAUGE_BACK)
        d.rectangle((gx0, gy0, gx0 + 36, gy1 - 1), fill=(0, 255, 0))
        d.text(STATUS, "Recebendo 48213 bytes...", font=arial, fill=SILVER)
        d.text(VERSION[:2], "1.2", font=arial, fill=(0, 0, 0))
        x, y, w, h = DRV
        d.rectangle((x, y, x + w - 1, y + h - 1), fill=CHOOSER, outline=(40, 40, 40))
        paste_clear(img, pictures["HARD"], (x + 2, y + 4), CHOOSER)
        d.text((x + 22, y + 3), "/", font=arial, fill=(0, 0, 0))
        # lists
        x, y, w, h = DIR
        d.rectangle((x, y, x + w - 1, y + h - 1), fill=LIST)
        rows = [("OPENFOLDER", "/", 0), ("OPENFOLDER", "home", 1), ("CURRENTFOLDER", "sons", 2),
                ("CLOSEDFOLDER", "bateria", 3), ("CLOSEDFOLDER", "efeitos", 3), ("CLOSEDFOLDER", "vozes", 3)]
        for i, (pic, text, lvl) in enumerate(rows):
            ry = y + i * 16
            px = x + 4 * lvl + 2
            paste_clear(img, pictures[pic], (px, ry), LIST)
            d.text((px + 20, ry + 1), text, font=font("regular", 11), fill=(0, 0, 0))
        x, y, w, h = LISTA
        d.rectangle((x, y, x + w - 1, y + h - 1), fill=LIST)
        d.rectangle((x + w - 14, y, x + w - 1, y + h - 1), fill=(214, 208, 196))
        items = [("OPEN", "Animais", 1), ("LEAF", "Cachorros", 2), ("LEAF", "Gatos", 2), ("CLOSED", "Ambientes", 1),
                 ("CLOSED", "Instrumentos", 1), ("LEAF", "Vozes", 1)]
        for i, (pic, text, lvl) in enumerate(items):
            ry = y + i * 15
            px = x + 15 * (lvl - 1)
            if i == 1:
                tw = arial12.getlength(text)
                d.rectangle((px + 15, ry, px + 15 + tw + 1, ry + 14), fill=(0, 0, 128))
            paste_clear(img, pictures[pic], (px + 0, ry + 2), LIST)
            d.text((px + 15, ry), text, font=arial12, fill=(255, 255, 255) if i == 1 else (0x51, 0x3A, 0x26))
        x, y, w, h = NOMES
        d.rectangle((x, y, x + w - 1, y + h - 1), fill=LIST)
        for i, line in enumerate(["latido1.wav : cachorro pequeno", "latido2.wav : cachorro grande",
                                  "rosnado.wav : rosnado baixo", "uivo.wav    : uivo distante"]):
            if i == 1:
                d.rectangle((x, y + i * 15, x + w - 1, y + i * 15 + 14), fill=(0, 0, 128))
            d.text((x + 2, y + i * 15 + 1), line, font=mono, fill=(255, 255, 255) if i == 1 else (0, 0, 0))
        if with_settings:
            panel = pictures["SETTINGS"].convert("RGB")
            img.paste(panel, (83, 33))
            d = ImageDraw.Draw(img)
            for (lx, ly, lw, text, right, f) in [(270, 289, 34, "Login:", True, arial), (392, 289, 37, "Senha:", True, arial),
                                                   (103, 289, 33, "Proxy:", False, small), (103, 274, 33, "Porta:", False, small),
                                                   (259, 274, 47, "Servidor:", True, small)]:
                tx = lx + lw - f.getlength(text) if right else lx
                d.text((83 + tx, 33 + ly), text, font=f, fill=NAVY)
            for (ex, ey, ew, eh), text, colour in zip(EDITS, ["membro", "******", "", "80", "www.kora.example/"],
                                                      [(255, 255, 0), (255, 255, 0), SILVER, SILVER, SILVER]):
                d.rectangle((83 + ex, 33 + ey, 83 + ex + ew - 1, 33 + ey + eh - 1), fill=SLATE)
                d.text((83 + ex + 1, 33 + ey), text, font=arial, fill=colour)
        return img

    a, b = window(False), window(True)
    names = ["PLUS", "MINUS", "OPEN", "CLOSED", "LEAF", "OPENFOLDER", "CLOSEDFOLDER", "CURRENTFOLDER",
             "FLOPPY", "HARD", "NETWORK", "CDROM", "RAM"]
    icons = Image.new("RGB", (W, 56), (60, 64, 70))
    x = 4
    for n in names:
        pic = pictures[n]
        back = CHOOSER if n in ("FLOPPY", "HARD", "NETWORK", "CDROM", "RAM") else LIST
        tile = Image.new("RGB", (pic.size[0] + 4, 19), back)
        paste_clear(tile, pic, (2, (19 - pic.size[1]) // 2), back)
        icons.paste(tile, (x, 4))
        x += tile.size[0] + 3
    icons.paste(up, (8, 30))
    icons.paste(down, (40, 30))
    # Sheet: both windows at their size, then three times enlarged details.
    z = 3
    sheet = Image.new("RGB", (W * 2 + 10, H + 10 + 180 * z + 10 + 56 * z), (40, 40, 40))
    sheet.paste(a, (0, 0))
    sheet.paste(b, (W + 10, 0))
    y = H + 10
    sheet.paste(a.crop((0, 0, 200, 180)).resize((200 * z, 180 * z), Image.NEAREST), (0, y))
    sheet.paste(a.crop((400, 0, 600, 180)).resize((200 * z, 180 * z), Image.NEAREST), (W + 10, y))
    y += 180 * z + 10
    sheet.paste(icons.resize((W * z, 56 * z), Image.NEAREST).crop((0, 0, W * 2 + 10, 56 * z)), (0, y))
    sheet.save(path)


def paste_clear(dst, pic, at, back):
    rgb = pic.convert("RGB")
    clear = rgb.getpixel((0, rgb.size[1] - 1))
    mask = Image.new("L", rgb.size)
    mask.putdata([0 if c == clear else 255 for c in rgb.getdata()])
    dst.paste(rgb, at, mask)


# ---------------------------------------------------------------------------
# The application icon for the desktop, in the sizes the icon theme asks for

ICON_NAME = "example.kora.Kapo"
ICON_SIZES = (16, 22, 24, 32, 48, 64, 128, 256)
ICON_OUT = os.path.join(HERE, os.pardir, "packaging", "icons")


def draw_app_icons():
    """The window's teal strip and its sound-wave mark, on a rounded tile with
    the dark frame round it. Each size is painted on its own, with strokes
    kept at least a pixel and a half wide, so small icons stay sharp rather
    than being a blurred reduction of the large one."""
    os.makedirs(ICON_OUT, exist_ok=True)
    for size in ICON_SIZES:
        k = 8
        big = size * k
        img = Image.new("RGBA", (big, big), (0, 0, 0, 0))

        def tile(inset, radius, paint):
            m = Image.new("L", (big, big), 0)
            ImageDraw.Draw(m).rounded_rectangle((inset, inset, big - 1 - inset, big - 1 - inset), radius, fill=255)
            img.paste(paint, (0, 0), m)

        margin = round(big * (0.02 if size <= 24 else 0.06))
        radius = big * 0.2
        frame = max(k, round(big * 0.045))
        tile(margin, radius, gradient((big, big), BEVEL_TOP, BEVEL_BOTTOM, 0, big, vertical=True).convert("RGBA"))
        tile(margin + max(1, frame // 3), radius - frame // 3,
             gradient((big, big), FRAME_TOP, FRAME_BOTTOM, 0, big, vertical=True).convert("RGBA"))
        tile(margin + frame, radius - frame,
             gradient((big, big), TEAL_LIGHT, TEAL_DARK, margin, big - margin, vertical=True).convert("RGBA"))
        # A soft light across the upper half, as on the strip's lit edge.
        shine = Image.new("L", (big, big), 0)
        ImageDraw.Draw(shine).ellipse((-big * 0.3, -big * 0.75, big * 1.3, big * 0.45), fill=34)
        inner = Image.new("L", (big, big), 0)
        ImageDraw.Draw(inner).rounded_rectangle((margin + frame, margin + frame, big - 1 - margin - frame,
                                                 big - 1 - margin - frame), radius - frame, fill=255)
        img.paste((255, 255, 255, 255), (0, 0), ImageChops.multiply(shine, inner))

        # The mark: a ring holding a wave that swells and fades. Small sizes
        # drop the ring and keep a bolder wave with fewer turns.
        cx = cy = big / 2
        stroke = max(1.6 * k, big * 0.06)
        with_ring = size >= 32
        r = big * 0.3
        turns = 2.5 if size >= 48 else 1.5
        half = (r - stroke * 1.6) if with_ring else big * 0.33
        height = (r * 0.5) if with_ring else big * 0.26
        pts = []
        for i in range(1201):
            t = i / 1200
            env = math.sin(math.pi * t) ** 1.4
            pts.append((cx - half + 2 * half * t, cy - env * height * math.sin(2 * math.pi * turns * t)))
        off = max(k * 0.8, big * 0.018)
        for colour, d in ((MINT_SHADOW, off), (MINT, 0)):
            draw = ImageDraw.Draw(img)
            if with_ring:
                draw.ellipse((cx - r + d, cy - r + d, cx + r + d, cy + r + d), outline=colour + (255,), width=round(stroke))
            # Stamped discs give an even stroke with round ends; a wide
            # polyline frays where its segments are short.
            w = stroke * 0.85
            for x, y in pts:
                draw.ellipse((x + d - w / 2, y + d - w / 2, x + d + w / 2, y + d + w / 2), fill=colour + (255,))

        img = img.resize((size, size), Image.LANCZOS)
        img.save(os.path.join(ICON_OUT, f"{ICON_NAME}-{size}.png"), optimize=True)
    print(f"wrote {len(ICON_SIZES)} icons to {os.path.normpath(ICON_OUT)}")


# ---------------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--preview", metavar="FILE", help="also write a mock-up of the window")
    args = parser.parse_args()

    pictures = {}
    for k, suffix in ((1, ""), (2, "@2x")):
        bg, outside = draw_background(k)
        pictures["BACKGROUND" + suffix] = to_palette(bg, outside,
                                                     exact=(EDGE, BEIGE, SILVER, (128, 0, 0), GAUGE_BACK, CHOOSER))
        pictures["SETTINGS" + suffix] = to_palette(draw_settings(k), None, exact=(EDGE, SLATE))
        pictures["BUTTONUP" + suffix] = to_palette(draw_button(False, k)) if k > 1 else small_palette(draw_button(False))
        pictures["BUTTONDOWN" + suffix] = to_palette(draw_button(True, k)) if k > 1 else small_palette(draw_button(True))
    for name in SIZES:
        pictures[name] = small_palette(draw_pixel_art(name))
    for name, img in pictures.items():
        save(img, name)
    print(f"wrote {len(pictures)} pictures to {OUT}")
    draw_app_icons()
    if args.preview:
        preview(args.preview, pictures)
        print(f"wrote preview {args.preview}")


if __name__ == "__main__":
    main()
