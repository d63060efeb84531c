#include "groups/groups_facade.h"

#include <algorithm>

#include "directory/request.h"
#include "net/codec.h"

namespace orv {

std::string fillIn(UiLanguage lang, TextPair t, const std::vector<std::string>& values) {
    std::string_view f = pick(lang, t);
    std::string out;
    size_t next = 0;
    for (size_t i = 0; i < f.size(); ++i) {
        if (f[i] == '%' && i + 1 < f.size() && f[i + 1] == 's') {
            if (next < values.size()) out += values[next++];
            ++i;
        } else {
            out.push_back(f[i]);
        }
    }
    return out;
}

std::string groupRecipient(std::string_view name, std::string_view creator) {
    return "[" + std::string(name) + ":" + std::string(creator) + "]";
}

namespace {

bool startsWith(std::string_view s, char c) {
    return !s.empty() && s[0] == c;
}

// The organisation part of an organisation account's name, up to and including the "/".
std::string organisationPrefix(std::string_view user) {
    size_t slash = user.find('/');
    return slash == std::string_view::npos ? std::string() : std::string(user.substr(0, slash + 1));
}

// The public group list: one exchange, read whole.
class FindGroupsTask final : public BackgroundTask {
  public:
    FindGroupsTask(DirectoryClient& dir, const Clock& clock) : ex_(dir.api(), clock) {
        dir.start(ex_, request::listPublicGroups(dir.languageLetter()));
    }
    bool step() override { return ex_.step(); }
    void addPollEntries(std::vector<PollEntry>& out) const override { ex_.addPollEntries(out); }
    int64_t nextDeadlineMillis() const override { return ex_.nextDeadlineMillis(); }
    bool answered() const { return onStatusLine(ex_.reply(), " OK"); }
    std::vector<PublicGroup> groups() const {
        std::string body;
        if (!replyBody(ex_.reply(), body)) return {};
        return readPublicGroups(fromWire(body));
    }

  private:
    DirectoryExchange ex_;
};

}  // namespace

GroupsFacade::GroupsFacade(CoreTables& tables, SessionState& state, const Clock& clock,
                           DirectoryClient& directory, GroupTaskStarter startTask)
    : t_(tables),
      state_(state),
      clock_(clock),
      dir_(directory),
      startTask_(std::move(startTask)),
      requestEx_(directory.api(), clock),
      listEx_(directory.api(), clock) {
    announced_ = fingerprint();
}

GroupsFacade::~GroupsFacade() = default;

// ---------------------------------------------------------------- the tables

int GroupsFacade::findOwned(std::string_view name) const {
    for (int g = 0; g < t_.ownedGroupNames.count(); ++g)
        if (equalsIgnoreCase(t_.ownedGroupNames.view(g), name) &&
            equalsIgnoreCase(t_.ownedGroupCreators.view(g), state_.currentUser))
            return g;
    return -1;
}

int GroupsFacade::findJoined(std::string_view name, std::string_view creator) const {
    for (int g = 0; g < t_.joinedGroupNames.count(); ++g)
        if (equalsIgnoreCase(t_.joinedGroupNames.view(g), name) &&
            equalsIgnoreCase(t_.joinedGroupCreators.view(g), creator))
            return g;
    return -1;
}

bool GroupsFacade::isJoinedMember(int g, std::string_view name) const {
    for (int r = 0; r < t_.joinedMembers.count(); ++r)
        if (t_.joinedMembers[r].group == g && equalsIgnoreCase(t_.joinedMemberNames.view(r), name))
            return true;
    return false;
}

bool GroupsFacade::isOwnedMember(int g, std::string_view name) const {
    for (int r = 0; r < t_.ownedMembers.count(); ++r)
        if (t_.ownedMembers[r].group == g && equalsIgnoreCase(t_.ownedMemberNames.view(r), name))
            return true;
    return false;
}

int GroupsFacade::ownedMemberCount(int g) const {
    int n = 0;
    for (const auto& m : t_.ownedMembers)
        if (m.group == g) ++n;
    return n;
}

namespace {
// Drops group g's members and lowers the group index of the members of later groups.
void dropGroupRows(StringPool& names, RecordArray<GroupMemberRecord>& members, int g) {
    std::vector<char> keep(static_cast<size_t>(members.count()), 1);
    for (int r = 0; r < members.count(); ++r) {
        if (members[r].group == g)
            keep[static_cast<size_t>(r)] = 0;
        else if (members[r].group > g)
            --members[r].group;
    }
    names.retain(keep);
    members.retain(keep);
}

void addMemberRow(StringPool& names, RecordArray<GroupMemberRecord>& members, int g,
                  std::string_view name, int number, int kind) {
    GroupMemberRecord r{};
    r.group = g;
    r.number = number;
    r.memberKind = kind;
    names.append(name);
    members.append(r);
}
}  // namespace

void GroupsFacade::removeOwned(int g) {
    dropGroupRows(t_.ownedMemberNames, t_.ownedMembers, g);
    t_.ownedGroupNames.removeAt(g);
    t_.ownedGroupCreators.removeAt(g);
    t_.ownedGroupIntros.removeAt(g);
    t_.ownedGroups.removeAt(g);
    t_.noteChange();
}

void GroupsFacade::removeJoined(int g) {
    dropGroupRows(t_.joinedMemberNames, t_.joinedMembers, g);
    t_.joinedGroupNames.removeAt(g);
    t_.joinedGroupCreators.removeAt(g);
    t_.noteChange();
}

void GroupsFacade::addOwnedMember(int g, std::string_view name, int number, int kind) {
    if (isOwnedMember(g, name)) return;
    addMemberRow(t_.ownedMemberNames, t_.ownedMembers, g, name, number, kind);
    t_.noteChange();
}

void GroupsFacade::addJoinedMember(int g, std::string_view name, int number, int kind) {
    if (isJoinedMember(g, name)) return;
    addMemberRow(t_.joinedMemberNames, t_.joinedMembers, g, name, number, kind);
    t_.noteChange();
}

std::string GroupsFacade::fingerprint() const {
    std::string f;
    auto pool = [&](const StringPool& p) {
        f.append(p.data(), p.byteCount());
        f.push_back('\x1e');
    };
    pool(t_.ownedGroupNames);
    pool(t_.ownedGroupCreators);
    pool(t_.ownedGroupIntros);
    for (const auto& g : t_.ownedGroups)
        f.push_back(static_cast<char>('0' + g.publicFlag));
    pool(t_.ownedMemberNames);
    for (const auto& m : t_.ownedMembers)
        f += std::to_string(m.group) + "," + std::to_string(m.number) + "," +
             std::to_string(m.memberKind) + ";";
    pool(t_.joinedGroupNames);
    pool(t_.joinedGroupCreators);
    pool(t_.joinedMemberNames);
    for (const auto& m : t_.joinedMembers)
        f += std::to_string(m.group) + "," + std::to_string(m.number) + "," +
             std::to_string(m.memberKind) + ";";
    return f;
}

void GroupsFacade::announceIfChanged() {
    std::string now = fingerprint();
    if (now == announced_) return;
    announced_ = std::move(now);
    state_.events.push(EventKind::GroupChanged);
}

// ---------------------------------------------------------------- what the pages show

std::vector<GroupInfo> GroupsFacade::joinedGroups() const {
    std::vector<GroupInfo> out;
    for (int g = 0; g < t_.joinedGroupNames.count(); ++g) {
        GroupInfo i;
        i.name = t_.joinedGroupNames.str(g);
        i.creator = t_.joinedGroupCreators.str(g);
        for (int r = 0; r < t_.joinedMembers.count(); ++r)
            if (t_.joinedMembers[r].group == g)
                i.members.push_back({t_.joinedMemberNames.str(r), t_.joinedMembers[r].number,
                                     t_.joinedMembers[r].memberKind});
        out.push_back(std::move(i));
    }
    return out;
}

std::vector<GroupInfo> GroupsFacade::ownedGroups() const {
    std::vector<GroupInfo> out;
    if (!state_.loggedIn()) return out;
    for (int g = 0; g < t_.ownedGroupNames.count(); ++g) {
        if (!equalsIgnoreCase(t_.ownedGroupCreators.view(g), state_.currentUser)) continue;
        GroupInfo i;
        i.name = t_.ownedGroupNames.str(g);
        i.creator = t_.ownedGroupCreators.str(g);
        i.intro = t_.ownedGroupIntros.str(g);
        i.isPublic = g < t_.ownedGroups.count() && t_.ownedGroups[g].publicFlag != 0;
        for (int r = 0; r < t_.ownedMembers.count(); ++r)
            if (t_.ownedMembers[r].group == g)
                i.members.push_back({t_.ownedMemberNames.str(r), t_.ownedMembers[r].number,
                                     t_.ownedMembers[r].memberKind});
        out.push_back(std::move(i));
    }
    return out;
}

std::vector<std::string> GroupsFacade::membersOf(const std::vector<std::string>& entries) const {
    std::vector<std::string> out;
    for (const auto& e : entries) {
        for (int g = 0; g < t_.joinedGroupNames.count(); ++g) {
            if (!equalsIgnoreCase(
                    groupRecipient(t_.joinedGroupNames.view(g), t_.joinedGroupCreators.view(g)), e))
                continue;
            for (int r = 0; r < t_.joinedMembers.count(); ++r) {
                if (t_.joinedMembers[r].group != g) continue;
                std::string n = t_.joinedMemberNames.str(r);
                bool seen = std::any_of(out.begin(), out.end(), [&](const std::string& o) {
                    return equalsIgnoreCase(o, n);
                });
                if (!seen) out.push_back(std::move(n));
            }
        }
    }
    return out;
}

// ---------------------------------------------------------------- requests to the directory

void GroupsFacade::enqueue(std::string query) {
    queue_.push_back({std::move(query), 0, clock_.nowMillis()});
}

void GroupsFacade::publish(int g) {
    enqueue(request::insertGroup(toWire(state_.currentUser), toWire(state_.currentPassword),
                                 toWire(t_.ownedGroupNames.view(g)),
                                 toWire(t_.ownedGroupIntros.view(g)), dir_.languageLetter(),
                                 ownedMemberCount(g)));
}

void GroupsFacade::recordState(const std::string& creator, const std::string& password,
                               const std::string& group, const std::string& member, int state) {
    enqueue(request::insertGroupMember(toWire(creator), toWire(password), toWire(group),
                                       toWire(member), state));
}

bool GroupsFacade::stepQueue(int64_t now) {
    for (int guard = 0; guard < 64; ++guard) {
        if (requestUnderWay_) {
            if (!requestEx_.step()) return false;
            requestUnderWay_ = false;
            if (queue_.empty()) continue;
            Request& r = queue_.front();
            if (requestEx_.reply().empty() && ++r.attempts < kMaxAttempts) {
                int64_t spacing = kRetrySpacingMillis << std::min(r.attempts - 1, 5);
                r.dueAt = now + std::min(spacing, kMaxRetrySpacingMillis);
            } else {
                // Answered (whatever the answer) or given up: the local change stays.
                queue_.erase(queue_.begin());
            }
            continue;
        }
        if (queue_.empty()) return true;
        if (now < queue_.front().dueAt) return false;
        dir_.start(requestEx_, queue_.front().query);
        requestUnderWay_ = true;
    }
    return false;
}

// ---------------------------------------------------------------- what a user changes

bool GroupsFacade::createGroup(const std::string& name, const std::string& intro, bool isPublic) {
    if (!state_.loggedIn() || name.empty() || name.size() > kMaxNameBytes ||
        intro.size() > kMaxNameBytes || findOwned(name) >= 0)
        return false;
    const std::string& me = state_.currentUser;
    t_.ownedGroupCreators.append(me);
    t_.ownedGroupNames.append(name);
    t_.ownedGroupIntros.append(intro);
    OwnedGroupRecord rec{};
    rec.publicFlag = isPublic ? 1 : 0;
    int g = t_.ownedGroups.append(rec);
    addOwnedMember(g, me, 0, 0);
    if (isPublic) {
        publish(g);
        recordState(me, state_.currentPassword, name, me, 1);
    }
    t_.noteChange();
    requestSync();
    announceIfChanged();
    return true;
}

bool GroupsFacade::editGroup(const std::string& oldName, const std::string& name,
                             const std::string& intro, bool isPublic) {
    int g = findOwned(oldName);
    if (g < 0 || name.empty() || name.size() > kMaxNameBytes || intro.size() > kMaxNameBytes)
        return false;
    int other = findOwned(name);
    if (other >= 0 && other != g) return false;  // two groups of one name could not be told apart
    t_.ownedGroupCreators.replaceAt(g, state_.currentUser);
    t_.ownedGroupNames.replaceAt(g, name);
    t_.ownedGroupIntros.replaceAt(g, intro);
    if (g < t_.ownedGroups.count()) t_.ownedGroups[g].publicFlag = isPublic ? 1 : 0;
    t_.noteChange();
    if (isPublic) publish(g);
    announceIfChanged();
    return true;
}

bool GroupsFacade::deleteGroup(const std::string& name) {
    int g = findOwned(name);
    if (g < 0) return false;
    std::string group = t_.ownedGroupNames.str(g);
    removeOwned(g);
    std::string user = toWire(state_.currentUser), pw = toWire(state_.currentPassword);
    // The group goes into the request line encoded like every other value: a name with a
    // blank or "&" would otherwise cut the request short.
    enqueue(request::deleteGroup(user, pw, encodeValue(toWire(group))));
    enqueue(request::deleteGroupMembers(user, pw));
    requestSync();
    announceIfChanged();
    return true;
}

bool GroupsFacade::removeMember(const std::string& group, const std::string& member) {
    int g = findOwned(group);
    if (g < 0) return false;
    int row = -1;
    for (int r = 0; r < t_.ownedMembers.count() && row < 0; ++r)
        if (t_.ownedMembers[r].group == g && equalsIgnoreCase(t_.ownedMemberNames.view(r), member))
            row = r;
    if (row < 0) return false;
    std::string name = t_.ownedMemberNames.str(row);
    t_.ownedMemberNames.removeAt(row);
    t_.ownedMembers.removeAt(row);
    t_.noteChange();
    recordState(state_.currentUser, state_.currentPassword, t_.ownedGroupNames.str(g), name, 4);
    requestSync();
    announceIfChanged();
    return true;
}

bool GroupsFacade::leaveGroup(const std::string& group, const std::string& creator) {
    if (!state_.loggedIn()) return false;
    int g = findJoined(group, creator);
    if (g < 0) return false;
    recordState(t_.joinedGroupCreators.str(g), "", t_.joinedGroupNames.str(g), state_.currentUser,
                5);
    requestSync();
    return true;
}

bool GroupsFacade::join(const std::string& creator, const std::string& group) {
    if (!state_.loggedIn() || creator.empty() || group.empty() || group.size() > kMaxNameBytes)
        return false;
    const std::string& me = state_.currentUser;
    recordState(creator, "", group, me, 0);
    // Remembered so that the user is told once the membership shows.
    bool known = false;
    for (int i = 0; i + 2 < t_.joinConfirmStrings.count(); i += 3)
        known = known || (equalsIgnoreCase(t_.joinConfirmStrings.view(i), me) &&
                          equalsIgnoreCase(t_.joinConfirmStrings.view(i + 1), creator) &&
                          equalsIgnoreCase(t_.joinConfirmStrings.view(i + 2), group));
    if (!known) {
        t_.joinConfirmStrings.append(me);
        t_.joinConfirmStrings.append(creator);
        t_.joinConfirmStrings.append(group);
        t_.joinConfirmValues.append(0);
        t_.noteChange();
    }
    requestSync();
    return true;
}

void GroupsFacade::findPublicGroups(
    std::function<void(bool, const std::vector<PublicGroup>&)> done) {
    if (!startTask_) {
        if (done) done(false, {});
        return;
    }
    startTask_(std::make_unique<FindGroupsTask>(dir_, clock_), [done](BackgroundTask& t) {
        auto& f = static_cast<FindGroupsTask&>(t);
        if (done) done(f.answered(), f.groups());
    });
}

// ---------------------------------------------------------------- notices

std::optional<JoinRequest> GroupsFacade::nextJoinQuestion() {
    const std::string& me = state_.currentUser;
    if (me.empty()) return std::nullopt;
    for (size_t i = 0; i < requests_.size(); ++i) {
        const JoinRequest& r = requests_[i];
        if (!equalsIgnoreCase(r.creator, me)) continue;  // waits for its creator
        int g = findOwned(r.group);
        if (g < 0 || isOwnedMember(g, r.applicant)) {
            requests_.erase(requests_.begin() + static_cast<std::ptrdiff_t>(i));
            return std::nullopt;
        }
        return r;
    }
    return std::nullopt;
}

bool GroupsFacade::answerJoin(const std::string& group, const std::string& applicant,
                              bool approve) {
    const std::string& me = state_.currentUser;
    auto it = std::find_if(requests_.begin(), requests_.end(), [&](const JoinRequest& r) {
        return equalsIgnoreCase(r.group, group) && equalsIgnoreCase(r.applicant, applicant) &&
               equalsIgnoreCase(r.creator, me);
    });
    if (it == requests_.end()) return false;
    JoinRequest r = *it;
    requests_.erase(it);
    int g = findOwned(r.group);
    if (approve) {
        if (g >= 0) addOwnedMember(g, r.applicant, 0, 0);
        recordState(me, state_.currentPassword, r.group, r.applicant, 1);
        requestSync();
        // The member count changed.
        if (g >= 0 && g < t_.ownedGroups.count() && t_.ownedGroups[g].publicFlag) publish(g);
    } else {
        recordState(me, state_.currentPassword, r.group, r.applicant, 6);
    }
    announceIfChanged();
    return true;
}

std::optional<std::string> GroupsFacade::takeRefusal() {
    if (refused_.empty()) return std::nullopt;
    std::string g = refused_.front();
    refused_.erase(refused_.begin());
    return g;
}

std::optional<std::string> GroupsFacade::takeJoinConfirmation() {
    const std::string& me = state_.currentUser;
    for (int i = 0; i + 2 < t_.joinConfirmStrings.count(); i += 3) {
        if (!equalsIgnoreCase(t_.joinConfirmStrings.view(i), me)) continue;
        int g = findJoined(t_.joinConfirmStrings.view(i + 2), t_.joinConfirmStrings.view(i + 1));
        if (g < 0 || !isJoinedMember(g, me)) continue;
        std::string group = t_.joinConfirmStrings.str(i + 2);
        for (int k = 0; k < 3; ++k)
            t_.joinConfirmStrings.removeAt(i);
        t_.joinConfirmValues.removeAt(i / 3);
        t_.noteChange();
        return group;
    }
    return std::nullopt;
}

void GroupsFacade::announceJoins() {
    const std::string& me = state_.currentUser;
    for (int i = 0; i + 2 < t_.joinConfirmStrings.count(); i += 3) {
        int v = i / 3;
        if (v >= t_.joinConfirmValues.count() || t_.joinConfirmValues[v] != 0) continue;
        if (!equalsIgnoreCase(t_.joinConfirmStrings.view(i), me)) continue;
        int g = findJoined(t_.joinConfirmStrings.view(i + 2), t_.joinConfirmStrings.view(i + 1));
        if (g < 0 || !isJoinedMember(g, me)) continue;
        t_.joinConfirmValues[v] = 1;  // told once
        state_.events.push(EventKind::GroupJoined, 0, 0, t_.joinConfirmStrings.str(i + 2),
                           t_.joinConfirmStrings.str(i + 1));
    }
}

// ---------------------------------------------------------------- synchronisation

void GroupsFacade::requestSync() {
    syncedUser_.clear();
}

bool GroupsFacade::fetchList(const std::string& query, int64_t now,
                             std::vector<GroupListRecord>& out) {
    if (query != listQuery_) {
        listEx_.cancel();
        listQuery_ = query;
        listRetryAt_ = now;
    }
    if (listRetryAt_ >= 0) {
        if (now < listRetryAt_) return false;
        listRetryAt_ = -1;
        dir_.start(listEx_, query);
    }
    if (!listEx_.step()) return false;
    std::string body;
    if (!onStatusLine(listEx_.reply(), " OK") || !replyBody(listEx_.reply(), body)) {
        // No answer: the stage stays, and the list is asked for again later.
        listRetryAt_ = now + kSyncRetryMillis;
        return false;
    }
    out = readGroupList(splitListBody(fromWire(body), '\n'));
    listQuery_.clear();
    return true;
}

void GroupsFacade::applyMyGroups(const std::vector<GroupListRecord>& recs) {
    const std::string& me = state_.currentUser;
    std::vector<char> seen(static_cast<size_t>(t_.joinedGroupNames.count()), 0);
    for (const auto& r : recs) {
        const std::string &creator = r.first, &group = r.second;
        if (startsWith(r.state, '1') || equalsIgnoreCase(creator, me)) {
            int g = findJoined(group, creator);
            if (g < 0) {
                t_.joinedGroupNames.append(group);
                t_.joinedGroupCreators.append(creator);
                t_.noteChange();
                g = t_.joinedGroupNames.count() - 1;
                seen.resize(static_cast<size_t>(g) + 1, 0);
            }
            seen[static_cast<size_t>(g)] = 1;
        } else if (startsWith(r.state, '6')) {
            bool known = std::any_of(refused_.begin(), refused_.end(), [&](const std::string& n) {
                return equalsIgnoreCase(n, group);
            });
            if (!known) {
                refused_.push_back(group);
                state_.events.push(EventKind::JoinRefused, 0, 0, group, creator);
                recordState(creator, "", group, me, 7);
            }
        }
    }
    for (int g = static_cast<int>(seen.size()) - 1; g >= 0; --g)
        if (!seen[static_cast<size_t>(g)]) removeJoined(g);
}

void GroupsFacade::applyJoinedMembers(int g, const std::vector<GroupListRecord>& recs) {
    const bool org = isOrganisationAccount(state_.currentUser);
    std::vector<GroupMember> members;
    for (const auto& r : recs) {
        if (org) {
            OrgMemberState s = readOrgMemberState(r.state);
            members.push_back({r.second, s.number, s.kind});
        } else if (startsWith(r.state, '1')) {
            members.push_back({r.second, 0, 0});
        }
    }
    // Rewritten only when different, so an unchanged group costs no save.
    std::vector<GroupMember> before;
    for (int r = 0; r < t_.joinedMembers.count(); ++r)
        if (t_.joinedMembers[r].group == g)
            before.push_back({t_.joinedMemberNames.str(r), t_.joinedMembers[r].number,
                              t_.joinedMembers[r].memberKind});
    auto same = [](const GroupMember& a, const GroupMember& b) {
        return a.name == b.name && a.number == b.number && a.kind == b.kind;
    };
    if (std::equal(before.begin(), before.end(), members.begin(), members.end(), same)) return;
    std::vector<char> keep(static_cast<size_t>(t_.joinedMembers.count()), 1);
    for (int r = 0; r < t_.joinedMembers.count(); ++r)
        if (t_.joinedMembers[r].group == g) keep[static_cast<size_t>(r)] = 0;
    t_.joinedMemberNames.retain(keep);
    t_.joinedMembers.retain(keep);
    for (const auto& m : members)
        addJoinedMember(g, m.name, m.number, m.kind);
    t_.noteChange();
}

void GroupsFacade::applyOwnedMembers(const std::vector<GroupListRecord>& recs) {
    const std::string me = state_.currentUser;
    const bool org = isOrganisationAccount(me);
    // The directory does not give back what the group dialog stored: the introduction and the
    // public flag of a group known before are kept, and a private group (never published, so
    // unknown to the directory) stays with its members.
    struct Kept {
        std::string name, intro;
        uint8_t publicFlag;
        std::vector<GroupMember> members;
    };
    std::vector<Kept> before;
    for (int g = 0; g < t_.ownedGroupNames.count(); ++g) {
        Kept k{t_.ownedGroupNames.str(g),
               t_.ownedGroupIntros.str(g),
               static_cast<uint8_t>(g < t_.ownedGroups.count() ? t_.ownedGroups[g].publicFlag : 1),
               {}};
        if (!equalsIgnoreCase(t_.ownedGroupCreators.view(g), me)) continue;
        for (int r = 0; r < t_.ownedMembers.count(); ++r)
            if (t_.ownedMembers[r].group == g)
                k.members.push_back({t_.ownedMemberNames.str(r), t_.ownedMembers[r].number,
                                     t_.ownedMembers[r].memberKind});
        before.push_back(std::move(k));
    }
    std::string was = fingerprint();
    t_.ownedGroupNames.clear();
    t_.ownedGroupCreators.clear();
    t_.ownedGroupIntros.clear();
    t_.ownedGroups.clear();
    t_.ownedMemberNames.clear();
    t_.ownedMembers.clear();
    auto findKept = [&](std::string_view name) -> const Kept* {
        for (const auto& k : before)
            if (equalsIgnoreCase(k.name, name)) return &k;
        return nullptr;
    };
    auto addGroup = [&](std::string_view name, std::string_view intro, uint8_t flag) {
        t_.ownedGroupNames.append(name);
        t_.ownedGroupCreators.append(me);
        t_.ownedGroupIntros.append(intro);
        OwnedGroupRecord rec{};
        rec.publicFlag = flag;
        return t_.ownedGroups.append(rec);
    };
    for (const auto& r : recs) {
        int g = findOwned(r.first);
        if (g < 0) {
            const Kept* k = findKept(r.first);
            g = k ? addGroup(r.first, k->intro, k->publicFlag) : addGroup(r.first, "", 1);
        }
        if (org) {
            OrgMemberState s = readOrgMemberState(r.state);
            addMemberRow(t_.ownedMemberNames, t_.ownedMembers, g, r.second, s.number, s.kind);
        } else if (startsWith(r.state, '1') && !isOwnedMember(g, r.second)) {
            addMemberRow(t_.ownedMemberNames, t_.ownedMembers, g, r.second, 0, 0);
        }
        if (startsWith(r.state, '0')) {
            bool known = std::any_of(requests_.begin(), requests_.end(), [&](const JoinRequest& q) {
                return equalsIgnoreCase(q.group, r.first) &&
                       equalsIgnoreCase(q.applicant, r.second) && equalsIgnoreCase(q.creator, me);
            });
            if (!known) {
                requests_.push_back({r.first, r.second, me});
                state_.events.push(EventKind::JoinRequested, 0, 0, r.second, r.first);
            }
        }
    }
    for (const auto& k : before) {
        if (k.publicFlag || findOwned(k.name) >= 0) continue;
        int g = addGroup(k.name, k.intro, 0);
        for (const auto& m : k.members)
            addMemberRow(t_.ownedMemberNames, t_.ownedMembers, g, m.name, m.number, m.kind);
    }
    if (fingerprint() != was) t_.noteChange();
}

bool GroupsFacade::userOwnsJoinedGroup() const {
    for (int g = 0; g < t_.joinedGroupCreators.count(); ++g)
        if (equalsIgnoreCase(t_.joinedGroupCreators.view(g), state_.currentUser)) return true;
    return false;
}

void GroupsFacade::stepSync(int64_t now) {
    const std::string me = state_.currentUser;
    int32_t seconds = static_cast<int32_t>(now / 1000);
    if (seconds - lastRelayCheck_ > kRelayRefreshSeconds) {
        lastRelayCheck_ = seconds;
        if (state_.connectMode == 1) requestSync();
    }
    if (!equalsIgnoreCase(syncedUser_, me) || syncedUser_.empty()) {
        stage_ = 0;
        nextJoined_ = 0;
        syncedUser_ = me;
        listEx_.cancel();
        listQuery_.clear();
        listRetryAt_ = -1;
    }
    // The directory hears of local changes before it is asked for the lists again.
    if (!queue_.empty()) return;
    const bool org = isOrganisationAccount(me);
    for (int guard = 0; guard < 64; ++guard) {
        std::vector<GroupListRecord> recs;
        switch (stage_) {
            case 0:
                if (org) {
                    std::string prefix = organisationPrefix(me);
                    recs.push_back({prefix, prefix, "1"});
                } else if (!fetchList(request::listMyGroups(toWire(me)), now, recs)) {
                    return;
                }
                applyMyGroups(recs);
                stage_ = 1;
                nextJoined_ = 0;
                announceIfChanged();
                break;
            case 1: {
                if (nextJoined_ >= t_.joinedGroupNames.count()) {
                    stage_ = 2;
                    ++generation_;
                    announceJoins();
                    break;
                }
                std::string c = toWire(t_.joinedGroupCreators.view(nextJoined_)),
                            g = toWire(t_.joinedGroupNames.view(nextJoined_));
                if (!fetchList(org ? request::listCoMembers(c, g) : request::listGroupMembers(c, g),
                               now, recs))
                    return;
                applyJoinedMembers(nextJoined_, recs);
                ++nextJoined_;
                announceIfChanged();
                break;
            }
            case 2:
                if (userOwnsJoinedGroup()) {
                    if (!fetchList(request::listGroupMembers(toWire(me), ""), now, recs)) return;
                    applyOwnedMembers(recs);
                }
                stage_ = 3;
                announceIfChanged();
                break;
            default:
                return;
        }
    }
}

void GroupsFacade::step() {
    if (!state_.loggedIn()) return;
    int64_t now = clock_.nowMillis();
    stepQueue(now);
    stepSync(now);
}

void GroupsFacade::addWaits(WaitSet& out) const {
    if (!state_.loggedIn()) return;
    int64_t now = clock_.nowMillis();
    std::vector<PollEntry> e;
    if (requestUnderWay_) {
        requestEx_.addPollEntries(e);
        out.dueAt(requestEx_.nextDeadlineMillis());
    } else if (!queue_.empty()) {
        out.dueAt(queue_.front().dueAt);
    }
    bool syncDue =
        stage_ < 3 || !equalsIgnoreCase(syncedUser_, state_.currentUser) || syncedUser_.empty();
    if (queue_.empty() && syncDue) {
        if (!listQuery_.empty() && listRetryAt_ < 0) {
            listEx_.addPollEntries(e);
            out.dueAt(listEx_.nextDeadlineMillis());
        } else if (listRetryAt_ >= 0) {
            out.dueAt(listRetryAt_);
        } else {
            out.dueAt(now);
        }
    }
    if (state_.connectMode == 1)
        out.dueAt((int64_t{lastRelayCheck_} + kRelayRefreshSeconds + 1) * 1000);
    for (const auto& p : e)
        out.want(p.fd, p.events);
}

}  // namespace orv
