#include <gtest/gtest.h>

#include <QImage>

#include <chrono>
#include <string>

#include "ui/Graphics.h"

using namespace kapo;

// Rows of catalogues and names are shown as UTF-8 when they are, else as Windows-1252.
TEST(DisplayText, Utf8WhenValidElseWindows1252)
{
    struct Row {
        std::string bytes;
        QString shown;
    } rows[] = {
        {"", QString()},
        {"latido.wav :Cão à noite", QString::fromUtf8("latido.wav :Cão à noite")},
        {"C\xE3o \xE0 noite", QString::fromUtf8("Cão à noite")},
        {"\x80 \x93" "aspas\x94 \x85", QString::fromUtf8("€ “aspas” …")},
        {"meio \xC3", QString::fromUtf8("meio Ã")},  // a cut UTF-8 sequence is not UTF-8
        {"\x81\x8D\x8F\x90\x9D", QString(QChar(0x81)) + QChar(0x8D) + QChar(0x8F) + QChar(0x90) + QChar(0x9D)},
    };
    for (const Row& r : rows) EXPECT_EQ(DisplayText(r.bytes), r.shown) << r.bytes;
}

// A line is laid out only as far as its width can show, with room to spare, and never ends
// on half a surrogate pair.
TEST(ClippedText, KeepsWhatTheWidthCanShow)
{
    const QString face = QString::fromUcs4(U"\U0001F600");
    struct Row {
        QString Given;
        int Width;
        qsizetype Kept;
    } rows[] = {
        {QString(10, 'a'), 0, 10},
        {QString(100, 'a'), 0, 64},
        {QString(100, 'a'), -5, 64},
        {QString(1000, 'a'), 10, 144},
        {QString(63, 'a') + face, 0, 63},
        {QString(62, 'a') + face + "b", 0, 64},
    };
    for (const Row& r : rows) {
        QString kept = ClippedText(r.Given, r.Width);
        EXPECT_EQ(kept.size(), r.Kept) << r.Width;
        EXPECT_TRUE(r.Given.startsWith(kept)) << r.Width;
    }
}

// A row of a megabyte, as a hostile list may send, paints as its first characters do, and at
// once rather than in a second a paint.
TEST(ClippedText, AMegabyteRowPaintsAsItsStartAndAtOnce)
{
    const std::string row(1 << 20, 'a');
    auto paint = [](const std::string& text) {
        TBitmap bmp(300, 20);
        bmp.Canvas().Brush().Color = clWhite;
        bmp.Canvas().TextRect(Rect(0, 0, 300, 20), 2, 2, text);
        return bmp.Image().copy();
    };
    const auto start = std::chrono::steady_clock::now();
    const QImage whole = paint(row);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(whole, paint(row.substr(0, 1000)));
    EXPECT_LT(took, std::chrono::milliseconds(250));
}
