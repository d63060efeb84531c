// Recipient entry without the window: completion of the To field, the chooser's lists and
// contacts, the send options' bits and the user tree of organisation accounts.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "core/clock.h"
#include "mail/recipients.h"
#include "support/joined_groups.h"

using namespace orv;

namespace {

using Names = std::vector<std::string>;

class Recipients : public ::testing::Test {
  protected:
    ManualClock clock;
    CoreTables t{clock};
};

TEST_F(Recipients, MemberNamesSkipOtherKindsAndRepeats) {
    test::joinGroup(t, "g1", "boss", {{"org/a/Alice", 0}, {"org/a/bob", 2}, {"org/b/carol", 0}});
    test::joinGroup(t, "g2", "boss", {{"ORG/A/alice", 0}, {"org/a/bob", 0}});
    EXPECT_EQ(joinedMemberNames(t), (Names{"org/a/Alice", "org/b/carol", "org/a/bob"}));
}

TEST_F(Recipients, CompletionMatchesAfterASlashIgnoringCase) {
    test::joinGroup(t, "g", "boss",
                    {{"org/sales/alice", 0}, {"org/ALbert", 0}, {"alfred", 0}, {"org/x/al", 1}});
    // "alfred" has no "/" before the typed text; the kind-1 member is never offered.
    EXPECT_EQ(completionMatches(t, "Al"), (Names{"org/sales/alice", "org/ALbert"}));
    EXPECT_EQ(completionMatches(t, "sales/a"), (Names{"org/sales/alice"}));
    EXPECT_TRUE(completionMatches(t, "zed").empty());
}

TEST_F(Recipients, CompletionIsOfferedForOneToNineteenMatches) {
    std::vector<std::pair<std::string, int>> members;
    for (int i = 0; i < 20; ++i)
        members.push_back({"org/user" + std::to_string(i), 0});
    test::joinGroup(t, "g", "boss", members);
    EXPECT_EQ(completionMatches(t, "user").size(), 20u);
    EXPECT_FALSE(showCompletion(completionMatches(t, "user").size()));
    EXPECT_EQ(completionMatches(t, "user1").size(), 11u);  // user1, user10..user19
    EXPECT_TRUE(showCompletion(completionMatches(t, "user1").size()));
    EXPECT_FALSE(showCompletion(0));
    EXPECT_TRUE(showCompletion(1));
    EXPECT_TRUE(showCompletion(19));
}

TEST(RecipientsText, LastEntryAndCompletedText) {
    EXPECT_EQ(lastEntry("ali"), "ali");
    EXPECT_EQ(lastEntry("bob,ali"), "ali");
    EXPECT_EQ(lastEntry("bob,"), "");
    EXPECT_EQ(completeToText("ali", "org/alice"), "org/alice,");
    EXPECT_EQ(completeToText("bob,carol,al", "org/alice"), "bob,carol,org/alice,");
    EXPECT_EQ(completeToText("bob,", "org/alice"), "bob,org/alice,");

    EXPECT_TRUE(extendsPrevious("ab", "abc"));
    EXPECT_TRUE(extendsPrevious("", "a"));
    EXPECT_FALSE(extendsPrevious("abc", "abc"));
    EXPECT_FALSE(extendsPrevious("abc", "ab"));    // deleting
    EXPECT_FALSE(extendsPrevious("abc", "xabc"));  // typing at the front
}

TEST_F(Recipients, ChooserListsContactsThenGroups) {
    t.contacts.append("bob");
    t.contacts.append("carol");
    test::joinGroup(t, "team", "boss", {{"x", 0}});
    test::joinGroup(t, "club", "dora", {});
    EXPECT_EQ(chooserCandidates(t), (Names{"bob", "carol", "[team:boss]", "[club:dora]"}));

    EXPECT_EQ(chooserRecipients(",,alice,,bob,"), (Names{"alice", "bob"}));
    EXPECT_TRUE(chooserRecipients("").empty());
    EXPECT_EQ(joinRecipients({"alice", "[team:boss]"}), "alice,[team:boss]");
    EXPECT_EQ(joinRecipients({}), "");
}

TEST_F(Recipients, ContactsAreTrimmedAndKeptOnce) {
    EXPECT_TRUE(addContact(t, "  bob "));
    EXPECT_FALSE(addContact(t, "BOB"));
    EXPECT_FALSE(addContact(t, "   "));
    EXPECT_TRUE(addContact(t, "carol"));
    EXPECT_EQ(t.contacts.toVector(), (Names{"bob", "carol"}));

    uint64_t changes = t.changeCount();
    EXPECT_TRUE(removeContact(t, "Bob"));
    EXPECT_GT(t.changeCount(), changes);
    EXPECT_FALSE(removeContact(t, "bob"));
    EXPECT_EQ(t.contacts.toVector(), (Names{"carol"}));
}

TEST(RecipientsOptions, BoxesRebuildTheirBitsOnly) {
    uint32_t all = 0;
    int hidden = 0;
    for (const auto& b : kSendOptionBoxes) {
        all |= b.bit;
        hidden += b.hidden;
    }
    EXPECT_EQ(all, 0x7Fu);
    EXPECT_EQ(hidden, 2);

    bool none[kSendOptionCount] = {};
    // Every option bit cleared, a foreign bit kept.
    EXPECT_EQ(rebuildOptions(0x7F | 0x100, none), 0x100u);
    bool some[kSendOptionCount] = {};
    some[2] = true;  // 1082 urgent
    some[4] = true;  // 1084 HTML
    some[5] = true;  // 1085 sign required
    EXPECT_EQ(rebuildOptions(MailFlags::bulletin | MailFlags::news, some),
              MailFlags::urgent | MailFlags::bodyIsFirstFile | MailFlags::signRequired);
}

TEST(RecipientsTree, SharedPrefixesBecomeOneNode) {
    UserTreeNode root = buildUserTree(
        {"org/sales/alice", "org/dev/bob", "org/Sales/carol", "other/dave", "solo"}, "org/dev/bob");
    ASSERT_EQ(root.children.size(), 3u);
    const UserTreeNode& org = root.children[0];
    EXPECT_EQ(org.component, "org");
    EXPECT_EQ(org.fullName, "org");
    EXPECT_TRUE(org.onOwnPath);
    ASSERT_EQ(org.children.size(), 2u);
    const UserTreeNode& sales = org.children[0];
    EXPECT_EQ(sales.component, "sales");  // first spelling kept
    EXPECT_FALSE(sales.onOwnPath);
    ASSERT_EQ(sales.children.size(), 2u);
    EXPECT_EQ(sales.children[0].fullName, "org/sales/alice");
    EXPECT_EQ(sales.children[1].fullName, "org/sales/carol");
    const UserTreeNode& dev = org.children[1];
    EXPECT_TRUE(dev.onOwnPath);
    ASSERT_EQ(dev.children.size(), 1u);
    EXPECT_TRUE(dev.children[0].onOwnPath);
    EXPECT_EQ(dev.children[0].fullName, "org/dev/bob");

    EXPECT_EQ(root.children[1].component, "other");
    EXPECT_FALSE(root.children[1].onOwnPath);
    EXPECT_EQ(root.children[2].fullName, "solo");
    EXPECT_TRUE(root.children[2].children.empty());

    EXPECT_EQ(rebuildName(splitName("org/dev/bob")), "org/dev/bob");
    EXPECT_EQ(splitName("a/b"), (Names{"a", "b"}));
}

TEST_F(Recipients, TreeOfTheJoinedMembers) {
    test::joinGroup(t, "g", "boss", {{"org/a/x", 0}, {"org/a/y", 3}, {"org/b/z", 0}});
    UserTreeNode root = buildUserTree(t, "ORG/B/me");
    ASSERT_EQ(root.children.size(), 1u);
    ASSERT_EQ(root.children[0].children.size(), 2u);
    EXPECT_EQ(root.children[0].children[0].children.size(), 1u);  // y is not an ordinary member
    EXPECT_FALSE(root.children[0].children[0].onOwnPath);
    EXPECT_TRUE(root.children[0].children[1].onOwnPath);
    EXPECT_FALSE(root.children[0].children[1].children[0].onOwnPath);  // z is not me
}

}  // namespace
