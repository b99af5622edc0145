#include <gtest/gtest.h>

#include <string>

#include "net/WSockbuf.h"

using namespace kapo;

TEST(TBuffer, SizeOfZeroOrLessGivesTheDefaultChunk)
{
    TBuffer a(0), b(-5), c(10);
    EXPECT_EQ(a.BufSize, 1514);
    EXPECT_EQ(b.BufSize, 1514);
    EXPECT_EQ(c.BufSize, 10);
    EXPECT_EQ(c.WrCount, 0);
    EXPECT_EQ(c.RdCount, 0);
}

TEST(TBuffer, WriteTakesOnlyWhatFitsAndAFullChunkTakesNothing)
{
    TBuffer b(8);
    EXPECT_EQ(b.Write("abcde", 5), 5);
    EXPECT_EQ(b.Write("fghij", 5), 3);  // exactly the room left
    EXPECT_EQ(b.Write("k", 1), 0);
    EXPECT_EQ(std::string(b.Buf, 8), "abcdefgh");
    EXPECT_EQ(b.Write("x", 0), 0);
    EXPECT_EQ(b.Write("x", -3), 0);
    EXPECT_EQ(b.WrCount, 8);
}

TEST(TBuffer, PartlyRemovedFullChunkTakesNoBytesUntilEmptied)
{
    TBuffer b(4);
    b.Write("wxyz", 4);
    EXPECT_EQ(b.Remove(3), 3);
    EXPECT_EQ(b.Write("a", 1), 0);  // bytes never move inside the chunk
    int len = 0;
    const char* p = b.Peek(len);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::string(p, static_cast<std::size_t>(len)), "z");
    EXPECT_EQ(b.Remove(10), 1);  // only what is unsent
    EXPECT_EQ(b.RdCount, 0);
    EXPECT_EQ(b.WrCount, 0);
    EXPECT_EQ(b.Write("abcd", 4), 4);  // whole again
}

TEST(TBuffer, EmptyChunkPeeksNothingAndRemovesNothing)
{
    TBuffer b(16);
    int len = 99;
    EXPECT_EQ(b.Peek(len), nullptr);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(b.Remove(5), 0);
    b.Write("ab", 2);
    EXPECT_EQ(b.Remove(-1), 0);  // a negative count never moves the read position back
    EXPECT_EQ(b.RdCount, 0);
}

TEST(TBuffer, ResizingKeepsWrittenBytesAndPositions)
{
    TBuffer b(4);
    b.Write("abcd", 4);
    b.Remove(1);
    b.SetBufSize(10);
    EXPECT_EQ(b.BufSize, 10);
    int len = 0;
    const char* p = b.Peek(len);
    EXPECT_EQ(std::string(p, static_cast<std::size_t>(len)), "bcd");
    EXPECT_EQ(b.Write("efg", 3), 3);
    EXPECT_THROW(b.SetBufSize(3), ERangeError);  // below the write position of a live chunk
    EXPECT_EQ(b.BufSize, 10);
    b.Remove(100);
    b.SetBufSize(2);  // empty: any size goes
    EXPECT_EQ(b.BufSize, 2);
}
