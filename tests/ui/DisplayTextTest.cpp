#include <gtest/gtest.h>

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
