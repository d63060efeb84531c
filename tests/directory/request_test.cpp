#include <gtest/gtest.h>

#include "core/clock.h"
#include "core/core_tables.h"
#include "directory/account.h"
#include "directory/replies.h"
#include "directory/request.h"

namespace orv {
namespace {

TEST(RequestText, EncodingTurnsEveryByteIntoLowerCaseHex) {
    EXPECT_EQ(encodeValue("\x61\x20\x62\x2F\xE9"), "%61%20%62%2f%e9");
    EXPECT_EQ(encodeValue("ab"), "%61%62");
    EXPECT_EQ(encodeValue(""), "");
}

TEST(RequestText, RequestLineAndTheFiveHeaderLines) {
    EXPECT_EQ(buildRequest(request::logout("ab", "pw"), "dir.example"),
              "GET /chat/exit.asp?name=%61%62&passwd=pw HTTP/1.1\r\n"
              "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)\r\n"
              "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, "
              "application/x-shockwave-flash, */*\r\n"
              "Accept-Language: zh-cn\r\n"
              "Host: dir.example\r\n"
              "Connection: Close\r\n"
              "\r\n");
}

TEST(RequestText, EveryOperationTemplate) {
    EXPECT_EQ(request::login("a", "p&", "10.0.0.2:29999"),
              "login.asp?name=%61&leibie=0&passwd=p&&ip=10.0.0.2:29999&testf=");
    // Asking for a relay adds one value at the end; everything before it stays as it was.
    EXPECT_EQ(request::login("a", "p", "10.0.0.2:29999", true),
              "login.asp?name=%61&leibie=0&passwd=p&ip=10.0.0.2:29999&testf=&relay=1");
    EXPECT_EQ(request::getRelay("ab"), "getrelay.asp?name=%61%62");
    EXPECT_EQ(request::insertUser("a", "new", "c", ""),
              "insert.asp?name=%61&leibie=0&passwd=new&main=c&oldpasswd=");
    EXPECT_EQ(request::insertUser("a", "new", "e", "old"),
              "insert.asp?name=%61&leibie=0&passwd=new&main=e&oldpasswd=old");
    EXPECT_EQ(request::insertGroup("a", "p", "g", "i", "c", 3),
              "insertgroup.asp?user=%61&passwd=p&group=%67&intro=%69&type=c&num=3");
    EXPECT_EQ(request::insertGroupMember("a", "", "g", "b", 0),
              "insertgroupman.asp?cruser=%61&passwd=&group=%67&gmuser=%62&state=0");
    EXPECT_EQ(request::deleteGroup("a", "p", "g g"), "delgroup.asp?user=%61&passwd=p&group=g g");
    EXPECT_EQ(request::deleteGroupMembers("a", "p"), "delgroupman.asp?user=%61&passwd=p");
    EXPECT_EQ(request::listPublicGroups("c"), "listgroup.asp?main=c");
    EXPECT_EQ(request::getHost("bob"), "gethost.asp?url=%62%6f%62");
    EXPECT_EQ(request::listMyGroups("a"), "listgroup1.asp?gmuser=%61");
    EXPECT_EQ(request::listGroupMembers("a", "g"), "listgroupman.asp?cruser=%61&group=%67&pro=N");
    EXPECT_EQ(request::listCoMembers("o/a", ""), "listcoman.asp?cruser=%6f%2f%61&group=&pro=Y");
    EXPECT_EQ(request::insertSign("a", "p", "b", "f", "m", 17),
              "insertsign.asp?fn=%61&fnpasswd=p&jn=%62&sf=%66&sds=%6d&fh=&sdt=17");
    EXPECT_EQ(request::updateSign("a", "", "b", "q", 17, 18, "ok", "d"),
              "updatesign.asp?fn=%61&fnp=&jn=%62&jnp=q&sdt=17&sgt=18&sgs=%6f%6b&op=d");
    EXPECT_EQ(request::getSignList("a", -5, "Y"), "getsignlist.asp?fn=%61&sdt=-5&sign=Y");
}

TEST(ReplyJudgement, LoginWordsInTheirOrder) {
    EXPECT_EQ(judgeLogin("HTTP/1.1 200 OK\r\n\r\nLogin OK Login Error"), LoginAnswer::Refused);
    EXPECT_EQ(judgeLogin("HTTP/1.1 200 OK\r\n\r\nLogin OK"), LoginAnswer::Accepted);
    EXPECT_EQ(judgeLogin("HTTP/1.1 200 OK\r\n\r\nLogin Warn"), LoginAnswer::AcceptedWarn);
    EXPECT_EQ(judgeLogin("HTTP/1.1 200 OK\r\n\r\nConnect OK"), LoginAnswer::AcceptedRelay);
    EXPECT_EQ(judgeLogin("HTTP/1.1 200 OK\r\n\r\nLogin Warn Connect OK"),
              LoginAnswer::AcceptedWarn);
    EXPECT_EQ(judgeLogin(""), LoginAnswer::NoAnswer);
    EXPECT_EQ(judgeLogin("HTTP/1.1 500 Oops\r\n\r\n"), LoginAnswer::NoAnswer);
}

TEST(ReplyJudgement, AccountStatusLineAndBodyWords) {
    EXPECT_EQ(judgeAccount(""), Outcome::NoAnswer);
    EXPECT_EQ(judgeAccount("HTTP/1.1 200 OK\r\n\r\nsomething"), Outcome::Refused);
    EXPECT_EQ(judgeAccount("HTTP/1.1 200 OK\r\n\r\nReg OK"), Outcome::Success);
    EXPECT_EQ(judgeMembership("HTTP/1.1 200 New OK\r\n\r\n"), Outcome::Success);
    EXPECT_EQ(judgeMembership("HTTP/1.1 200 OK\r\n\r\nNew OK"), Outcome::Refused);
    EXPECT_EQ(judgeMembership(""), Outcome::NoAnswer);
    EXPECT_EQ(judgeGroupPublish("HTTP/1.1 200 OK\r\n\r\n"), Outcome::Success);
    EXPECT_EQ(judgeGroupPublish("HTTP/1.1 403 Forbidden\r\n\r\n OK"), Outcome::Refused);
    EXPECT_TRUE(judgeLogout("HTTP/1.1 200 OK\r\n\r\nLogout OK"));
    EXPECT_FALSE(judgeLogout("HTTP/1.1 200 OK\r\n\r\n"));
    EXPECT_TRUE(judgeDelete("x Del OK"));
    EXPECT_TRUE(judgeSignInsert("Insert OK"));
    EXPECT_TRUE(judgeSignUpdate("Update OK"));
}

TEST(ReplyJudgement, AddressLookupBodies) {
    std::string b;
    EXPECT_EQ(judgeLookup("HTTP/1.1 200 OK\r\n\r\n0", b), LookupAnswer::NoSuchUser);
    EXPECT_EQ(judgeLookup("HTTP/1.1 200 OK\r\n\r\n", b), LookupAnswer::Empty);
    EXPECT_EQ(judgeLookup("HTTP/1.1 200 OK\r\nX: y\r\n\r\n10.1.2.3:29999", b), LookupAnswer::Found);
    EXPECT_EQ(b, "10.1.2.3:29999");
    EXPECT_EQ(judgeLookup("HTTP/1.1 404 Not Found\r\n\r\n10.1.2.3:1", b), LookupAnswer::Pending);
    EXPECT_EQ(judgeLookup("HTTP/1.1 200 OK\r\n", b), LookupAnswer::Pending);
}

TEST(ReplyJudgement, RelayAnswers) {
    EXPECT_EQ(judgeRelay("HTTP/1.1 200 OK\r\n\r\n").kind, RelayAnswer::Direct);
    EXPECT_EQ(judgeRelay("HTTP/1.1 200 OK\r\n\r\nnone").kind, RelayAnswer::NoRelay);
    EXPECT_EQ(judgeRelay("HTTP/1.1 200 OK\r\n\r\n0").kind, RelayAnswer::NoSuchUser);
    RelayAnswer a = judgeRelay("HTTP/1.1 200 OK\r\nX: y\r\n\r\n10.1.2.3:30001\nhub\n");
    EXPECT_EQ(a.kind, RelayAnswer::Found);
    EXPECT_EQ(a.address, "10.1.2.3:30001");
    EXPECT_EQ(a.user, "hub");
    // Cut short, or not an answer at all: asked again later.
    EXPECT_EQ(judgeRelay("HTTP/1.1 200 OK\r\n\r\n10.1.2.3:30001\n").kind, RelayAnswer::NoAnswer);
    EXPECT_EQ(judgeRelay("HTTP/1.1 404 Not Found\r\n\r\n").kind, RelayAnswer::NoAnswer);
    EXPECT_EQ(judgeRelay("").kind, RelayAnswer::NoAnswer);
}

TEST(ListReaders, GroupListsInThreesPublicInFivesSignsInEights) {
    auto lines = splitListBody("alice\ngroup1\n1\nbob\ngroup2\n6\n", '\n');
    ASSERT_EQ(lines.size(), 6u);
    auto recs = readGroupList(lines);
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[1].first, "bob");
    EXPECT_EQ(readMemberState(recs[1].state), MemberState::Refused);
    EXPECT_EQ(readGroupList(splitListBody("a\nb\nc\nd\n", '\n')).size(), 1u);
    // Carriage returns stay part of the text.
    EXPECT_EQ(splitListBody("a\r\nb\r\n", '\n')[0], "a\r");

    EXPECT_EQ(readPublicGroups("a|g|i|x|3|b|h|j|x|4|").size(), 2u);
    EXPECT_EQ(readPublicGroups("a|g|i|x|3").size(), 0u);
    auto pub = readPublicGroups("a|g|intro|x|3|");
    ASSERT_EQ(pub.size(), 1u);
    EXPECT_EQ(pub[0].intro, "intro");
    EXPECT_EQ(pub[0].members, 3);

    auto signs = readSignList(splitListBody("0|bob|f.txt|msg|fine|0|1700000000|1700000100|", '|'));
    ASSERT_EQ(signs.size(), 1u);
    EXPECT_EQ(signs[0].recipient, "bob");
    EXPECT_EQ(signs[0].opinion, "fine");
    EXPECT_EQ(signs[0].mailTime, 1700000000);
    EXPECT_EQ(signs[0].signTime, 1700000100);
}

TEST(ListReaders, OrganisationMemberStates) {
    auto s = readOrgMemberState("3 u");
    EXPECT_EQ(s.number, 3);
    EXPECT_EQ(s.kind, 3);
    EXPECT_EQ(readOrgMemberState("3").kind, 0);
    EXPECT_EQ(readOrgMemberState("12 s").kind, 1);
    EXPECT_EQ(readOrgMemberState("12 z").kind, 8);
    EXPECT_EQ(readOrgMemberState("12 a").kind, 0);
    EXPECT_TRUE(isOrganisationAccount("acme/bob"));
}

}  // namespace
}  // namespace orv

namespace orv {
namespace {

TEST(LoginAddress, FixedAddressWinsElseAReachableInterface) {
    ManualClock clock;
    CoreTables t(clock);
    t.setSettingString(SettingString::FixedAddress, "203.0.113.7");
    // The switch is off: the fixed address is not used.
    EXPECT_EQ(loginIpValue(t, 30001), firstReachableIpv4() + ":30001");
    t.setSettingNumber(Setting::UseFixedAddress, 1);
    EXPECT_EQ(loginIpValue(t, 30001), "203.0.113.7:30001");
    t.setSettingString(SettingString::FixedAddress, "");
    EXPECT_EQ(loginIpValue(t, 29999), firstReachableIpv4() + ":29999");
    // A listener bound to one address announces that address.
    EXPECT_EQ(loginIpValue(t, 29999, "127.0.0.1"), "127.0.0.1:29999");
    EXPECT_EQ(loginIpValue(t, 29999, "0.0.0.0"), firstReachableIpv4() + ":29999");
    // Loopback only when the machine has nothing else.
    std::string ip = firstReachableIpv4();
    EXPECT_TRUE(ip == "127.0.0.1" || ip.rfind("127.", 0) != 0) << ip;
}

}  // namespace
}  // namespace orv
