#pragma once
// How directory replies are judged: status words searched in the raw reply, the body after
// the first empty line, and the list bodies split into records.
#include <string>
#include <string_view>
#include <vector>

namespace orv {

// The text after the first "\r\n\r\n"; false when the reply has none.
bool replyBody(std::string_view reply, std::string& body);
// True when `word` occurs before the first "\r\n" (on the status line).
bool onStatusLine(std::string_view reply, std::string_view word);

enum class LoginAnswer { NoAnswer, Refused, Accepted, AcceptedWarn, AcceptedRelay };
LoginAnswer judgeLogin(std::string_view reply);

enum class Outcome { NoAnswer, Success, Refused };
bool judgeLogout(std::string_view reply);
Outcome judgeAccount(std::string_view reply);       // insert.asp
Outcome judgeGroupPublish(std::string_view reply);  // insertgroup.asp
Outcome judgeMembership(std::string_view reply);    // insertgroupman.asp
bool judgeDelete(std::string_view reply);           // delgroup.asp, delgroupman.asp
bool judgeSignInsert(std::string_view reply);
bool judgeSignUpdate(std::string_view reply);

enum class LookupAnswer { Pending, Found, NoSuchUser, Empty };
// `body` receives the address for Found.
LookupAnswer judgeLookup(std::string_view reply, std::string& body);

// getrelay.asp: reached directly, reached through a relay but none is logged in, or the relay
// to keep a link to (its address and user name, wire text).
struct RelayAnswer {
    enum Kind { NoAnswer, NoSuchUser, Direct, NoRelay, Found } kind = NoAnswer;
    std::string address, user;
};
RelayAnswer judgeRelay(std::string_view reply);

// A list body split at each separator; what follows the last separator is not a string
// (a trailing separator leaves no empty last string).
std::vector<std::string> splitListBody(std::string_view body, char separator);

struct GroupListRecord {
    std::string first, second, state;
};
// Lines in threes; a trailing partial record is ignored.
std::vector<GroupListRecord> readGroupList(const std::vector<std::string>& lines);

struct PublicGroup {
    std::string creator, name, intro;
    int members = 0;
};
// Fields separated by "|", five to a record; (fields - 1) / 5 records.
std::vector<PublicGroup> readPublicGroups(std::string_view body);

struct SignRecord {
    std::string recipient, attachments, message, opinion;
    int mailTime = 0;
    int signTime = 0;  // 0 while not signed
};
std::vector<SignRecord> readSignList(const std::vector<std::string>& fields);

// Membership state as listed: pending, member, refused, or another state.
enum class MemberState { Pending, Member, Refused, Other };
MemberState readMemberState(std::string_view field);
// An organisation account's state field: a number, optionally a blank and a letter s..z
// giving kind 1..8.
struct OrgMemberState {
    int number = 0;
    int kind = 0;
};
OrgMemberState readOrgMemberState(std::string_view field);
inline bool isOrganisationAccount(std::string_view name) {
    return name.find('/') != std::string_view::npos;
}

}  // namespace orv
