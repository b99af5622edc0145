// The pictures compiled into the program: every name loads, with the size
// its control expects, and the window picture cuts a sound outline.

#include <gtest/gtest.h>

#include <QImage>
#include <QRect>
#include <QString>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace kapo {
namespace {

constexpr uint32_t kKeyColour = 0xFF00FF;

// Colours as the program writes them: red in the low byte.
uint32_t ColourAt(const QImage& img, int x, int y) {
  const QRgb p = img.pixel(x, y);
  return uint32_t(qRed(p)) | (uint32_t(qGreen(p)) << 8) | (uint32_t(qBlue(p)) << 16);
}

QImage Load(const char* name) { return QImage(QString(":/pictures/") + name); }

bool NearMagenta(uint32_t c) {
  const int r = c & 0xFF, g = (c >> 8) & 0xFF, b = (c >> 16) & 0xFF;
  return r > 150 && b > 150 && g < 120;
}

struct Named {
  const char* name;
  int width;
  int height;
};

TEST(Pictures, EveryNameLoadsWithTheSizeItsControlExpects) {
  const std::vector<Named> fixed = {
      {"BACKGROUND", 600, 358},   {"SETTINGS", 508, 316},    {"BUTTONUP", 22, 9},
      {"BUTTONDOWN", 22, 9},      {"OPENFOLDER", 16, 15},    {"CLOSEDFOLDER", 16, 15},
      {"CURRENTFOLDER", 16, 15},  {"FLOPPY", 16, 11},        {"HARD", 16, 11},
      {"NETWORK", 16, 11},        {"CDROM", 16, 11},         {"RAM", 16, 11},
  };
  for (const Named& n : fixed) {
    const QImage img = Load(n.name);
    ASSERT_FALSE(img.isNull()) << n.name;
    EXPECT_EQ(img.width(), n.width) << n.name;
    EXPECT_EQ(img.height(), n.height) << n.name;
  }
  // The tree draws its pictures in a 13-pixel box (rows of 15) and clips
  // anything larger.
  for (const char* name : {"PLUS", "MINUS", "OPEN", "CLOSED", "LEAF"}) {
    const QImage img = Load(name);
    ASSERT_FALSE(img.isNull()) << name;
    EXPECT_LE(img.width(), 13) << name;
    EXPECT_LE(img.height(), 13) << name;
  }
  EXPECT_TRUE(Load("NOSUCHPICTURE").isNull());
}

TEST(Pictures, WindowPicturesAreEightBitPaletteImages) {
  for (const char* name : {"BACKGROUND", "SETTINGS", "BUTTONUP", "BUTTONDOWN"}) {
    const QImage img = Load(name);
    EXPECT_EQ(img.format(), QImage::Format_Indexed8) << name;
    EXPECT_LE(img.colorCount(), 256) << name;
  }
}

TEST(Pictures, BackgroundCutsOneOutlineWithoutHolesOrFringes) {
  const QImage bg = Load("BACKGROUND");
  ASSERT_EQ(bg.size(), QSize(600, 358));
  const int w = bg.width(), h = bg.height();

  EXPECT_EQ(ColourAt(bg, 83, 33), 0x0B0B0Au);
  EXPECT_EQ(ColourAt(bg, 110, 158), 0xA5BBC5u);
  for (QPoint corner : {QPoint(0, 0), QPoint(w - 1, 0), QPoint(0, h - 1), QPoint(w - 1, h - 1)})
    EXPECT_EQ(ColourAt(bg, corner.x(), corner.y()), kKeyColour) << corner.x() << "," << corner.y();

  // Key-colour pixels lie only outside the outline: each row is window
  // from its first to its last non-key pixel, with no hole in between and
  // no pink half-blend at the edge.
  long key = 0;
  for (int y = 0; y < h; ++y) {
    int first = -1, last = -1;
    for (int x = 0; x < w; ++x) {
      const uint32_t c = ColourAt(bg, x, y);
      if (c == kKeyColour) {
        ++key;
        continue;
      }
      EXPECT_FALSE(NearMagenta(c)) << "blended key colour at " << x << "," << y;
      if (first < 0) first = x;
      last = x;
    }
    ASSERT_GE(first, 0) << "row " << y << " has no window pixel";
    for (int x = first; x <= last; ++x)
      ASSERT_NE(ColourAt(bg, x, y), kKeyColour) << "hole at " << x << "," << y;
  }
  EXPECT_GT(key, 4 * 20);          // rounded corners, not square ones
  EXPECT_LT(key, w * h / 20);      // and not a shrunken window

  // Every control of the window lies inside the outline.
  const std::vector<QRect> controls = {
      {485, 10, 22, 9},   {73, 10, 22, 9},   {39, 223, 22, 9},  {43, 70, 22, 9},
      {43, 25, 22, 9},    {100, 11, 15, 4},  {118, 11, 60, 4},  {185, 5, 109, 14},
      {50, 115, 15, 14},  {110, 158, 146, 180}, {296, 41, 285, 301}, {100, 40, 180, 111},
      {10, 85, 56, 19},   {83, 33, 508, 316},
  };
  for (const QRect& r : controls)
    for (int y = r.top(); y <= r.bottom(); ++y)
      for (int x = r.left(); x <= r.right(); ++x)
        ASSERT_NE(ColourAt(bg, x, y), kKeyColour) << "control at " << r.x() << "," << r.y();
}

TEST(Pictures, ListsSitOnFlatWindowColour) {
  // The lists paint 0xA6BCC6; the work area under them must not show
  // through as a different shade while they repaint.
  const QImage bg = Load("BACKGROUND");
  for (const QRect& r : {QRect(110, 158, 146, 180), QRect(296, 41, 285, 301), QRect(100, 40, 180, 111)}) {
    for (int y = r.top(); y <= r.bottom(); ++y) {
      for (int x = r.left(); x <= r.right(); ++x) {
        const uint32_t c = ColourAt(bg, x, y);
        const int dr = std::abs(int(c & 0xFF) - 0xC6), dg = std::abs(int((c >> 8) & 0xFF) - 0xBC),
                  db = std::abs(int((c >> 16) & 0xFF) - 0xA6);
        ASSERT_LE(dr + dg + db, 6) << x << "," << y;
      }
    }
  }
}

TEST(Pictures, SettingsPanelIsOpaqueAndSeatsItsEdits) {
  const QImage panel = Load("SETTINGS");
  ASSERT_EQ(panel.size(), QSize(508, 316));
  for (int y = 0; y < panel.height(); ++y)
    for (int x = 0; x < panel.width(); ++x)
      ASSERT_NE(ColourAt(panel, x, y), kKeyColour) << x << "," << y;
  // The borderless edits are painted 0x7E7164; the picture under them is the
  // same, so they read as wells of the panel.
  for (const QRect& r : {QRect(310, 287, 70, 14), QRect(435, 287, 60, 14), QRect(140, 287, 111, 14),
                         QRect(140, 272, 21, 14), QRect(310, 272, 186, 14)})
    for (int y = r.top(); y <= r.bottom(); ++y)
      for (int x = r.left(); x <= r.right(); ++x)
        ASSERT_EQ(ColourAt(panel, x, y), 0x7E7164u) << x << "," << y;
}

TEST(Pictures, SmallPicturesHaveATransparentCornerAndVisibleInk) {
  for (const char* name : {"PLUS", "MINUS", "OPEN", "CLOSED", "LEAF", "OPENFOLDER", "CLOSEDFOLDER",
                           "CURRENTFOLDER", "FLOPPY", "HARD", "NETWORK", "CDROM", "RAM"}) {
    const QImage img = Load(name);
    ASSERT_FALSE(img.isNull()) << name;
    const uint32_t clear = ColourAt(img, 0, img.height() - 1);
    int ink = 0;
    for (int y = 0; y < img.height(); ++y)
      for (int x = 0; x < img.width(); ++x)
        if (ColourAt(img, x, y) != clear) ++ink;
    // A picture mostly of its transparent colour would draw as nothing.
    EXPECT_GT(ink, img.width() * img.height() / 3) << name;
  }
}

TEST(Pictures, PressedButtonDiffersFromReleased) {
  const QImage up = Load("BUTTONUP"), down = Load("BUTTONDOWN");
  ASSERT_EQ(up.size(), down.size());
  int differing = 0;
  for (int y = 0; y < up.height(); ++y)
    for (int x = 0; x < up.width(); ++x)
      if (ColourAt(up, x, y) != ColourAt(down, x, y)) ++differing;
  EXPECT_GT(differing, up.width() * up.height() / 2);
  // Buttons are opaque: the picture is copied whole into the button.
  for (const QImage* img : {&up, &down})
    for (int y = 0; y < img->height(); ++y)
      for (int x = 0; x < img->width(); ++x) ASSERT_NE(ColourAt(*img, x, y), kKeyColour);
}

// The fine copies: twice the size, and key colour exactly where the picture itself has it,
// doubled, since the window's shape comes from the 1x picture at every scale.
TEST(Pictures, FineCopiesAreTwiceTheSizeWithTheKeyColourDoubled) {
  for (const char* name : {"BACKGROUND", "SETTINGS", "BUTTONUP", "BUTTONDOWN"}) {
    SCOPED_TRACE(name);
    const QImage one = Load(name);
    const QImage two = Load((std::string(name) + "@2x").c_str());
    ASSERT_FALSE(two.isNull());
    ASSERT_EQ(two.size(), one.size() * 2);
    int wrong = 0;
    for (int y = 0; y < two.height(); ++y)
      for (int x = 0; x < two.width(); ++x) {
        const bool key = ColourAt(one, x / 2, y / 2) == kKeyColour;
        const uint32_t c = ColourAt(two, x, y);
        wrong += key ? c != kKeyColour : NearMagenta(c);
      }
    EXPECT_EQ(wrong, 0);
  }
}

}  // namespace
}  // namespace kapo
