#pragma once
// What the compose window offers while recipients are entered or picked: the completion of the
// To field, the lists of the recipient chooser and its contact editor, the send options' boxes
// and the user tree of organisation accounts. Everything here works on the tables alone.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/core_tables.h"
#include "core/records.h"
#include "core/text.h"

namespace orv {

// Joined-group member names of ordinary members (memberKind 0), in table order, each once
// ignoring case; empty names are skipped.
std::vector<std::string> joinedMemberNames(const CoreTables& t);

// ---- completion of the To field ----

// The members whose name contains "/" immediately followed by typedEntry, ignoring case.
std::vector<std::string> completionMatches(const CoreTables& t, std::string_view typedEntry);
// A list of 1 to 19 names is offered; more would not help choosing.
inline bool showCompletion(size_t matchCount) {
    return matchCount >= 1 && matchCount <= 19;
}
// The entry being typed: the text after the last ",".
std::string_view lastEntry(std::string_view toText);
// toText with its last entry replaced by chosen, followed by ",".
std::string completeToText(std::string_view toText, std::string_view chosen);
// True when now is previous with more typed at its end.
bool extendsPrevious(std::string_view previous, std::string_view now);

// ---- recipient chooser and contacts ----

// The contacts, then every joined group written "[name:creator]".
std::vector<std::string> chooserCandidates(const CoreTables& t);
// The current recipients: the To text split at ",", empty entries dropped.
std::vector<std::string> chooserRecipients(std::string_view toText);
std::string joinRecipients(const std::vector<std::string>& names);
// Adds the trimmed name unless it is empty or already a contact (ignoring case).
bool addContact(CoreTables& t, std::string_view name);
// Removes the contact equal to the trimmed name (ignoring case); false when there is none.
bool removeContact(CoreTables& t, std::string_view name);

// ---- send options ----

struct SendOptionBox {
    int controlId;
    TextPair label;
    uint32_t bit;
    bool hidden;  // kept in the dialog so its bit survives, but never shown
};
inline constexpr int kSendOptionCount = 7;
inline constexpr std::array<SendOptionBox, kSendOptionCount> kSendOptionBoxes{{
    {1080, {"Bulletin", "公告通知"}, MailFlags::bulletin, false},
    {1081, {"Discussion board", "讨论区"}, MailFlags::announce, true},
    {1082, {"Urgent mail", "紧急邮件"}, MailFlags::urgent, false},
    {1083, {"Classified mail", "机密邮件"}, MailFlags::classified, true},
    {1084, {"HTML mail", "超文本格式邮件"}, MailFlags::bodyIsFirstFile, false},
    {1085,
     {"Recipients must sign for the files", "收件人需要签收文件"},
     MailFlags::signRequired,
     false},
    {1086, {"News mail", "新闻邮件"}, MailFlags::news, false},
}};
// The seven option bits taken from the boxes (in kSendOptionBoxes order); other bits of old
// are kept.
uint32_t rebuildOptions(uint32_t old, const bool checked[kSendOptionCount]);

// ---- the user tree of organisation accounts ----

// One level of the names split at "/". The root has no component; fullName is the path from
// the root joined with "/".
struct UserTreeNode {
    std::string component;
    std::string fullName;
    std::vector<UserTreeNode> children;  // distinct next components, in order of first appearance
    bool onOwnPath = false;              // a prefix of the logged-in user's own name
};

std::vector<std::string> splitName(std::string_view name);
std::string rebuildName(const std::vector<std::string>& components);
// The tree of names (components compared ignoring case, first spelling kept), marked along
// the components of user's own name.
UserTreeNode buildUserTree(const std::vector<std::string>& names, std::string_view user);
// The tree of the joined-group members.
UserTreeNode buildUserTree(const CoreTables& t, std::string_view user);

}  // namespace orv
