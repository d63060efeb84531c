// The text codec and the defensive body decoding.
#include <gtest/gtest.h>

#include "core/records.h"
#include "engine/rate_meter.h"
#include "engine/wire.h"
#include "net/codec.h"
#include "net/socket_api.h"

namespace orv {
namespace {

std::span<const uint8_t> bytes(const std::string& s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

TEST(WireCodec, ChineseRoundTripsThroughGb18030) {
    WireCodec c;
    const std::string text = "张三的共享文件夹/报告 2024 \xF0\x9F\x98\x80";  // with an emoji
    std::string wire = c.toWire(text);
    EXPECT_NE(wire, text);
    EXPECT_EQ(wire.substr(0, 2), "\xD5\xC5");  // 张 in GB18030
    EXPECT_EQ(c.fromWire(wire), text);
}

TEST(WireCodec, GbkTrailByte5CIsNotABackslash) {
    WireCodec c;
    // 嘰 is 87 5C and 俓 is 82 5C: the second byte of each looks like '\'.
    const std::string wire = "\x87\x5C\x82\x5C/a";
    std::string utf8 = c.fromWire(wire);
    EXPECT_EQ(utf8, "嘰俓/a");
    EXPECT_EQ(utf8.find('\\'), std::string::npos);
    EXPECT_EQ(c.toWire(utf8), wire);
}

TEST(WireCodec, InvalidBytesBecomeReplacementAndAsciiSurvives) {
    WireCodec c;
    EXPECT_EQ(c.fromWire("a\xFF"
                         "b"),
              "a\xEF\xBF\xBD"
              "b");
    EXPECT_EQ(c.fromWire("ab\x81"), "ab\xEF\xBF\xBD");  // cut-off sequence at the end
    EXPECT_EQ(c.toWire("x\xC3"), "x\x84\x31\xA4\x37");  // invalid UTF-8
    EXPECT_EQ(c.fromWire("plain ascii"), "plain ascii");
}

TEST(WireDecoding, StringListsFollowTheRules) {
    WireCodec c;
    EXPECT_TRUE(splitStringList(bytes(""), c).empty());
    EXPECT_TRUE(splitStringList(bytes(std::string("ab\0cd", 5)), c).empty());  // no final NUL
    auto v = splitStringList(bytes(std::string("a\0\0b\0", 5)), c);
    ASSERT_EQ(v.size(), 3u);
    EXPECT_EQ(v[1], "");
    EXPECT_EQ(v[2], "b");

    // Length prefix reaching past the body: empty, and the rest is not readable either.
    std::string body = std::string("\x10\0\0\0a\0", 6) + std::string("\x01\0\0\0", 4);
    WireReader r(bytes(body));
    EXPECT_TRUE(r.readStringList(c).empty());
    int32_t next = 7;
    EXPECT_FALSE(r.readI32(next));
    EXPECT_EQ(next, 0);

    std::string negative = std::string("\xFF\xFF\xFF\xFF", 4) + "a";
    WireReader rn(bytes(negative));
    EXPECT_TRUE(rn.readStringList(c).empty());

    std::string ok = std::string("\x04\0\0\0x\0y\0", 8) + std::string("\x05\0\0\0", 4);
    WireReader ro(bytes(ok));
    EXPECT_EQ(ro.readStringList(c), (std::vector<std::string>{"x", "y"}));
    ro.readI32(next);
    EXPECT_EQ(next, 5);
}

TEST(WireDecoding, RecordListsNeverTrustTheCount) {
    std::string rec(8, '\x11');
    auto read = [](const std::string& body) {
        return WireReader(bytes(body)).readRecords<int64_t>();
    };
    EXPECT_TRUE(read(std::string("\0\0\0\0", 4) + rec).empty());
    EXPECT_TRUE(read(std::string("\xFF\xFF\xFF\xFF", 4) + rec).empty());
    EXPECT_TRUE(read(std::string("\xFF\xFF\xFF\x7F", 4) + rec).empty());  // 2^31-1 records, 8 bytes
    EXPECT_TRUE(read(std::string("\x02\0\0\0", 4) + rec).empty());
    auto one = read(std::string("\x01\0\0\0", 4) + rec);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0], 0x1111111111111111LL);
}

TEST(WireDecoding, WriterProducesHeaderAndLists) {
    WireCodec c;
    WireWriter w(Command::StatusReply);
    w.stringList(std::vector<std::string>{"张", "b"}, c);
    w.cString("u", c);
    const auto& m = w.finish();
    std::string got(m.begin(), m.end());
    EXPECT_EQ(got, std::string("\x0C\0\0\0\x0B\0\0\0\x05\0\0\0\xD5\xC5\0b\0u\0", 19));
}

TEST(ConnectTarget, PortPartAndDefault) {
    EXPECT_EQ(parseConnectTarget("10.0.0.5:4000", 80).port, 4000);
    EXPECT_EQ(parseConnectTarget("10.0.0.5:4000", 80).host, "10.0.0.5");
    EXPECT_EQ(parseConnectTarget("10.0.0.5", 80).port, 80);
    EXPECT_EQ(parseConnectTarget("10.0.0.5:", 80).port, 80);
    EXPECT_EQ(parseConnectTarget("host:12ab", 80).port, 12);
    EXPECT_EQ(parseConnectTarget("host:99999", 80).port, 0);
    std::string longName(200, 'a');
    EXPECT_EQ(parseConnectTarget(longName + ":5", 80).host.size(), 127u);
    EXPECT_EQ(parseConnectTarget(longName + ":5", 80).port, 80);
}

}  // namespace
}  // namespace orv
