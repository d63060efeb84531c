// The two containers: string pools (with their offset index) and record arrays, and the one
// growth rule both follow.
#include <gtest/gtest.h>

#include <string>

#include "core/tables.h"

namespace orv {
namespace {

std::string bytesOf(const StringPool& p) {
    return std::string(p.data(), p.byteCount());
}

StringPool poolOf(std::initializer_list<const char*> strings) {
    StringPool p;
    for (const char* s : strings)
        p.append(s);
    return p;
}

TEST(StringPool, EmptyPoolHoldsNothing) {
    StringPool p;
    EXPECT_EQ(p.count(), 0);
    EXPECT_TRUE(p.empty());
    EXPECT_EQ(p.at(0), nullptr);
    EXPECT_EQ(p.at(-1), nullptr);
    EXPECT_TRUE(p.view(0).empty());
    EXPECT_EQ(p.find(""), -1);
    EXPECT_EQ(p.remove("x"), -1);
    EXPECT_EQ(p.removeAt(0), -1);
    p.assignBytes("", 0);
    EXPECT_EQ(p.count(), 0);
    EXPECT_EQ(p.byteCount(), 0u);
}

TEST(StringPool, EmptyStringsCountAsEntries) {
    StringPool p;
    p.assignBytes("a\0\0b\0", 5);
    ASSERT_EQ(p.count(), 3);
    EXPECT_EQ(p.view(0), "a");
    ASSERT_NE(p.at(1), nullptr);
    EXPECT_STREQ(p.at(1), "");
    EXPECT_EQ(p.view(2), "b");
    EXPECT_EQ(p.at(3), nullptr);
    EXPECT_EQ(p.find(""), 1);

    // A stored image whose last string lost its terminator is completed, not over-read.
    StringPool q;
    q.assignBytes("ab\0cd", 5);
    ASSERT_EQ(q.count(), 2);
    EXPECT_EQ(q.view(1), "cd");
    EXPECT_EQ(bytesOf(q), std::string("ab\0cd\0", 6));
}

TEST(StringPool, ReplaceAtPadsWithEmptyStrings) {
    StringPool p = poolOf({"a", "b"});
    p.replaceAt(5, "x");
    ASSERT_EQ(p.count(), 6);
    for (int i = 2; i <= 4; ++i)
        EXPECT_EQ(p.view(i), "") << i;
    EXPECT_EQ(p.view(5), "x");
    EXPECT_EQ(bytesOf(p), std::string("a\0b\0\0\0\0x\0", 9));
}

TEST(StringPool, ReplaceAtMovesTheTail) {
    StringPool p = poolOf({"one", "two", "three"});
    p.replaceAt(0, "a much longer first string");
    EXPECT_EQ(p.view(1), "two");
    EXPECT_EQ(p.view(2), "three");
    p.replaceAt(1, "");
    EXPECT_EQ(p.view(1), "");
    EXPECT_EQ(p.view(2), "three");
    p.replaceAt(2, "3");
    EXPECT_EQ(bytesOf(p), std::string("a much longer first string\0\0003\0", 30));
    EXPECT_EQ(p.find("3"), 2);
}

TEST(StringPool, CaseInsensitiveFindAndRemove) {
    StringPool p = poolOf({"Alice", "bob", "CAROL", "bob"});
    EXPECT_EQ(p.find("ALICE"), 0);
    EXPECT_EQ(p.find("Bob"), 1);
    EXPECT_EQ(p.find("carol"), 2);
    EXPECT_EQ(p.find("car"), -1);
    EXPECT_EQ(p.find(std::string_view("carol\0tail", 10)), 2);  // a C string ends at its NUL

    EXPECT_EQ(p.remove("BOB"), 1);  // only the first
    ASSERT_EQ(p.count(), 3);
    EXPECT_EQ(p.view(1), "CAROL");
    EXPECT_EQ(p.view(2), "bob");
    EXPECT_EQ(p.remove("dave"), -1);
    EXPECT_EQ(p.count(), 3);

    EXPECT_EQ(p.removeAt(3), -1);
    EXPECT_EQ(p.removeAt(0), 0);
    EXPECT_EQ(bytesOf(p), std::string("CAROL\0bob\0", 10));
    EXPECT_EQ(p.find("bob"), 1);
}

TEST(StringPool, NonAsciiBytesCompareExactly) {
    StringPool p = poolOf({"王小明", "Émile"});
    EXPECT_EQ(p.find("王小明"), 0);
    EXPECT_EQ(p.find("émile"), -1);  // only ASCII letters fold
    EXPECT_TRUE(equalsIgnoreCase("MiXeD/Path.TXT", "mixed/path.txt"));
    EXPECT_FALSE(equalsIgnoreCase("a", "a "));
    EXPECT_TRUE(startsWithIgnoreCase("[Team:Alice]", "[team"));
}

TEST(StringPool, AppendStopsAtEmbeddedNul) {
    StringPool p;
    p.append(std::string_view("ab\0cd", 5));
    p.append("");
    EXPECT_EQ(p.count(), 2);
    EXPECT_EQ(bytesOf(p), std::string("ab\0\0", 4));
}

TEST(StringPool, RetainKeepsOrderAndTheTailBeyondTheMask) {
    StringPool p = poolOf({"a", "bb", "", "ccc", "d"});
    p.retain({1, 0, 1, 0});  // "d" lies past the mask and stays
    ASSERT_EQ(p.count(), 3);
    EXPECT_EQ(p.view(0), "a");
    EXPECT_EQ(p.view(1), "");
    EXPECT_EQ(p.view(2), "d");
    EXPECT_EQ(bytesOf(p), std::string("a\0\0d\0", 5));
    p.append("e");
    EXPECT_EQ(p.view(3), "e");
    p.retain({0, 0, 0, 0});
    EXPECT_EQ(p.count(), 0);
    EXPECT_EQ(p.byteCount(), 0u);
}

TEST(RecordArray, RetainAndRemoveKeepOrder) {
    RecordArray<int32_t> a;
    for (int i = 0; i < 6; ++i)
        a.append(i * 10);
    a.removeAt(1);
    a.removeAt(99);
    a.retain({1, 0, 1});  // rows past the mask stay
    ASSERT_EQ(a.count(), 4);
    EXPECT_EQ(a[0], 0);
    EXPECT_EQ(a[1], 30);
    EXPECT_EQ(a[2], 40);
    EXPECT_EQ(a[3], 50);
}

TEST(Growth, FreshTablesReserve2048ThenDouble) {
    EXPECT_EQ(grownCapacity(0, 5), 2048u);
    EXPECT_EQ(grownCapacity(0, 2048), 2048u);
    EXPECT_EQ(grownCapacity(0, 5000), 5000u);
    EXPECT_EQ(grownCapacity(2048, 2048), 2048u);
    EXPECT_EQ(grownCapacity(2048, 2049), 4096u);
    EXPECT_EQ(grownCapacity(2048, 10000), 10000u);

    RecordArray<int32_t> a;
    EXPECT_EQ(a.capacity(), 0u);
    for (int i = 0; i < 5; ++i)
        a.append(i);
    EXPECT_EQ(a.capacity(), 2048u);
    while (a.count() < 2048)
        a.append(0);
    EXPECT_EQ(a.capacity(), 2048u);
    a.append(0);
    EXPECT_EQ(a.capacity(), 4096u);
    a.reserveCount(9000);
    EXPECT_EQ(a.capacity(), 9000u);

    StringPool p;
    p.append("abcd");
    EXPECT_EQ(p.capacity(), 2048u);
    std::string big(3000, 'x');
    p.append(big);
    EXPECT_EQ(p.capacity(), 4096u);
}

}  // namespace
}  // namespace orv
