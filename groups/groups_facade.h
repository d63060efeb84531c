#pragma once
// The one way into groups for both front ends: the groups the user created and the groups the
// user belongs to, kept in step with the directory by a synchronisation the engine's socket
// step advances (stages 0 to 3: my groups, their members, the members of my own groups, done),
// the changes a user makes (create, edit, delete, remove a member, join, leave, approve or
// refuse a request), the search for public groups, and the notices the main window tells (join
// requests, refusals, confirmations). Nothing here waits on the network: requests go out one
// at a time from a queue and are sent again while the directory does not answer; local changes
// are kept whatever the directory says. What changes is announced on the session's events.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/clock.h"
#include "core/core_tables.h"
#include "core/session_state.h"
#include "core/text.h"
#include "directory/directory_client.h"
#include "directory/exchange.h"
#include "directory/replies.h"
#include "engine/engine.h"

namespace orv {

namespace texts {
inline constexpr TextPair kExitGroupQuestion{"Are you sure to exit from group?",
                                             "确定要退出该群组吗？"};
inline constexpr TextPair kDeleteGroupQuestion{"Are you sure to delete this group?",
                                               "确定要删除该群组？"};
inline constexpr TextPair kRemoveMemberQuestion{"Are you sure to delete this member from group?",
                                                "确定要从群组删除该成员吗？"};
inline constexpr TextPair kJoinQuestion{"Would you like to add user %s to group %s?",
                                        "用户%s请求加入群组%s，是否允许该用户加入群组?"};
inline constexpr TextPair kJoinRefused{"Fail to join group %s!", "加入群组%s的申请被拒绝！"};
inline constexpr TextPair kJoinSucceeded{"Join group %s success!", "成功加入群组%s！"};
inline constexpr TextPair kFindNoAnswer{"The directory server does not answer.",
                                        "目录服务器没有响应。"};
}  // namespace texts

// A text pair with its "%s" places filled in order.
std::string fillIn(UiLanguage lang, TextPair t, const std::vector<std::string>& values);

// "[name:creator]", how a group is written as one recipient.
std::string groupRecipient(std::string_view name, std::string_view creator);

using GroupTaskStarter =
    std::function<void(std::unique_ptr<BackgroundTask>, std::function<void(BackgroundTask&)>)>;

struct GroupMember {
    std::string name;
    int number = 0;  // organisation accounts: number and kind
    int kind = 0;
};

struct GroupInfo {
    std::string name, creator, intro;
    bool isPublic = true;
    std::vector<GroupMember> members;
};

// A pending join request: `applicant` asks to join `group` of `creator`.
struct JoinRequest {
    std::string group, applicant, creator;
};

class GroupsFacade {
  public:
    // A request the directory does not answer is sent again after this long (doubling, up to
    // kMaxRetrySpacingMillis), at most kMaxAttempts times.
    static constexpr int64_t kRetrySpacingMillis = 1000;
    static constexpr int64_t kMaxRetrySpacingMillis = 30000;
    static constexpr int kMaxAttempts = 20;
    // A synchronisation list without an answer is fetched again after this long.
    static constexpr int64_t kSyncRetryMillis = 5000;
    // In relay mode the groups are synchronised again this often.
    static constexpr int32_t kRelayRefreshSeconds = 300;
    static constexpr size_t kMaxNameBytes = 254;

    GroupsFacade(CoreTables& tables, SessionState& state, const Clock& clock,
                 DirectoryClient& directory, GroupTaskStarter startTask);
    ~GroupsFacade();
    GroupsFacade(const GroupsFacade&) = delete;
    GroupsFacade& operator=(const GroupsFacade&) = delete;

    // ---- the synchronisation, run from the engine's socket step ----
    void step();
    void addWaits(WaitSet& out) const;
    // Starts over from stage 0 on the next step.
    void requestSync();
    int stage() const { return stage_; }
    // Counts completed member fetches of the joined groups.
    uint64_t generation() const { return generation_; }
    // True while changes wait to reach the directory.
    bool requestsPending() const { return !queue_.empty(); }

    // ---- what the pages show ----
    std::vector<GroupInfo> joinedGroups() const;
    // Only the groups whose creator is the current user.
    std::vector<GroupInfo> ownedGroups() const;
    // Every distinct member of the named joined groups ("[name:creator]" entries), in order.
    std::vector<std::string> membersOf(const std::vector<std::string>& groupEntries) const;

    // ---- what a user changes; false when nothing changed (nobody logged in, an empty name,
    // no such group, a group the user already owns) ----
    bool createGroup(const std::string& name, const std::string& intro, bool isPublic);
    bool editGroup(const std::string& oldName, const std::string& name, const std::string& intro,
                   bool isPublic);
    bool deleteGroup(const std::string& name);
    bool removeMember(const std::string& group, const std::string& member);
    bool leaveGroup(const std::string& group, const std::string& creator);
    bool join(const std::string& creator, const std::string& group);
    // The public groups the directory lists; `answered` is false when it did not answer.
    void findPublicGroups(
        std::function<void(bool answered, const std::vector<PublicGroup>& groups)> done);

    // ---- notices ----
    const std::vector<JoinRequest>& pendingRequests() const { return requests_; }
    // Goes through the pending requests in order: a request of a member already in the group,
    // or for a group the user does not own, is dropped; the first one to ask about is
    // returned (and stays until answered). Requests for other creators wait.
    std::optional<JoinRequest> nextJoinQuestion();
    // Approves (state 1, published again with the new count) or refuses (state 6) a pending
    // request; false when there is no such request.
    bool answerJoin(const std::string& group, const std::string& applicant, bool approve);
    const std::vector<std::string>& refusals() const { return refused_; }
    // The first refusal to tell, removed from the list.
    std::optional<std::string> takeRefusal();
    // The first join of the user that has come true (the user is listed as a member), removed.
    std::optional<std::string> takeJoinConfirmation();

  private:
    struct Request {
        std::string query;
        int attempts = 0;
        int64_t dueAt = 0;
    };
    void enqueue(std::string query);
    void publish(int owned);
    void recordState(const std::string& creator, const std::string& password,
                     const std::string& group, const std::string& member, int state);
    bool stepQueue(int64_t now);
    void stepSync(int64_t now);
    // Starts (or continues) a list exchange; true with `lines` once it answered.
    bool fetchList(const std::string& query, int64_t now, std::vector<GroupListRecord>& out);
    void applyMyGroups(const std::vector<GroupListRecord>& recs);
    void applyJoinedMembers(int g, const std::vector<GroupListRecord>& recs);
    void applyOwnedMembers(const std::vector<GroupListRecord>& recs);
    void announceIfChanged();
    void announceJoins();
    bool userOwnsJoinedGroup() const;
    int findOwned(std::string_view name) const;
    int findJoined(std::string_view name, std::string_view creator) const;
    bool isJoinedMember(int g, std::string_view name) const;
    bool isOwnedMember(int g, std::string_view name) const;
    int ownedMemberCount(int g) const;
    void removeOwned(int g);
    void removeJoined(int g);
    void addOwnedMember(int g, std::string_view name, int number, int kind);
    void addJoinedMember(int g, std::string_view name, int number, int kind);
    std::string fingerprint() const;

    CoreTables& t_;
    SessionState& state_;
    const Clock& clock_;
    DirectoryClient& dir_;
    GroupTaskStarter startTask_;

    std::vector<Request> queue_;
    DirectoryExchange requestEx_;
    bool requestUnderWay_ = false;

    int stage_ = 0;
    std::string syncedUser_;
    int nextJoined_ = 0;
    uint64_t generation_ = 0;
    int32_t lastRelayCheck_ = 0;
    DirectoryExchange listEx_;
    std::string listQuery_;  // the list under way, empty when none
    int64_t listRetryAt_ = -1;

    std::vector<JoinRequest> requests_;
    std::vector<std::string> refused_;
    std::string announced_;  // the group data last announced
};

}  // namespace orv
