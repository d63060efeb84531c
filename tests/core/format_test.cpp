// Size, rate and time texts, and the random keys and names.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <set>

#include "core/format.h"
#include "core/random.h"

namespace orv {
namespace {

TEST(Format, SizeEdges) {
    EXPECT_EQ(FormatSize(UINT64_MAX), " ");
    EXPECT_EQ(FormatSize(0), "0 Byte");
    EXPECT_EQ(FormatSize(1024), "1024 Byte");
    EXPECT_EQ(FormatSize(1025), "1.0KB");
    EXPECT_EQ(FormatSize(2047), "1.9KB");
    EXPECT_EQ(FormatSize(1048576), "1024.0KB");
    EXPECT_EQ(FormatSize(1048577), "1.0MB");
    EXPECT_EQ(FormatSize(1048576 + 524288), "1.4MB");
    EXPECT_EQ(FormatSize(2 * 1048576 - 1), "1.9MB");
    EXPECT_EQ(FormatSize(5ull << 40), "5242880.0MB");  // beyond 32 bits
}

TEST(Format, RateEdges) {
    EXPECT_EQ(FormatRate(0), "0.0KB/s");
    EXPECT_EQ(FormatRate(1023), "0.9KB/s");
    EXPECT_EQ(FormatRate(1024), "1.0KB/s");
    EXPECT_EQ(FormatRate(1025), "1.0KB/s");
    EXPECT_EQ(FormatRate(1048575), "1023.9KB/s");
    EXPECT_EQ(FormatRate(1048576), "1.0MB/s");
    EXPECT_EQ(FormatRate(1048577), "1.0MB/s");
    EXPECT_EQ(FormatRate(-5), "0.0KB/s");
}

TEST(Format, TimeIsLocalWithTwoBlanks) {
    const char* old = std::getenv("TZ");
    std::string saved = old ? old : "";
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    EXPECT_EQ(FormatTime(0), "1970-01-01  00:00");
    EXPECT_EQ(FormatTime(1700000000), "2023-11-14  22:13");
    ::setenv("TZ", "Asia/Shanghai", 1);
    ::tzset();
    EXPECT_EQ(FormatTime(1700000000), "2023-11-15  06:13");
    if (old)
        ::setenv("TZ", saved.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
}

TEST(Random, KeysAndNamesDiffer) {
    uint64_t a = newMailKey();
    uint64_t b = newMailKey();
    EXPECT_NE(a, b);
    EXPECT_NE(a, 0u);
    std::set<std::string> names;
    for (int i = 0; i < 100; ++i) {
        std::string n = randomHexName();
        EXPECT_EQ(n.find_first_not_of("0123456789ABCDEF"), std::string::npos) << n;
        names.insert(n);
    }
    EXPECT_EQ(names.size(), 100u);
}

}  // namespace
}  // namespace orv
