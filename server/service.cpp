#include "server/service.h"

#include <array>
#include <charconv>
#include <unordered_map>

#include "net/codec.h"

namespace orv::server {
namespace {

constexpr std::size_t kMaxNameBytes = 250;
constexpr std::size_t kMaxPasswordBytes = 128;
constexpr std::size_t kMaxGroupNameBytes = 254;
constexpr std::size_t kMaxIntroBytes = 1024;
constexpr std::size_t kMaxAddressBytes = 255;
constexpr std::size_t kMaxSignTextBytes = 4096;
constexpr std::size_t kMaxLanguageBytes = 8;
// Clients read only the first 2047 bytes of the public group list.
constexpr std::size_t kPublicListReplyBytes = 2047;
constexpr int kPublicListCandidates = 200;

enum class Page {
    Login,
    Logout,
    Register,
    PublishGroup,
    RecordMembership,
    DeleteGroup,
    DeleteMemberships,
    ListPublic,
    Lookup,
    ListMine,
    ListMembers,
    ListCoMembers,
    InsertSign,
    UpdateSign,
    ListSigns,
    RelayFor,
    Unknown
};

struct PageInfo {
    std::string_view name;
    Page page;
    bool checksPassword;
};

constexpr std::array<PageInfo, 16> kPages{{
    {"login.asp", Page::Login, true},
    {"exit.asp", Page::Logout, true},
    {"insert.asp", Page::Register, true},
    {"insertgroup.asp", Page::PublishGroup, true},
    {"insertgroupman.asp", Page::RecordMembership, true},
    {"delgroup.asp", Page::DeleteGroup, true},
    {"delgroupman.asp", Page::DeleteMemberships, true},
    {"listgroup.asp", Page::ListPublic, false},
    {"gethost.asp", Page::Lookup, false},
    {"listgroup1.asp", Page::ListMine, false},
    {"listgroupman.asp", Page::ListMembers, false},
    {"listcoman.asp", Page::ListCoMembers, false},
    {"insertsign.asp", Page::InsertSign, true},
    {"updatesign.asp", Page::UpdateSign, true},
    {"getsignlist.asp", Page::ListSigns, false},
    {"getrelay.asp", Page::RelayFor, false},
}};

const PageInfo* findPage(std::string_view name) {
    for (const auto& info : kPages) {
        if (info.name == name) return &info;
    }
    return nullptr;
}

Reply ok(std::string body) {
    return Reply{200, "OK", std::move(body)};
}
// Refusals never carry " OK" on the status line, which is where some clients look for success.
Reply refused(std::string_view word) {
    return Reply{403, "Forbidden", std::string(word)};
}
Reply badRequest() {
    return errorReply(400, "Bad Request");
}
Reply serverError() {
    return errorReply(500, "Internal Server Error");
}

const std::string kEmpty;

const std::string& valueOr(const QueryParams& p, std::string_view key) {
    const std::string* v = p.find(key);
    return v ? *v : kEmpty;
}

std::optional<int64_t> parseNumber(std::string_view text) {
    if (text.empty() || text.size() > 20) return std::nullopt;
    int64_t value = 0;
    const char* begin = text.data();
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(begin, end, value);
    if (ec != std::errc{} || ptr != end) return std::nullopt;
    return value;
}

// Appends each field followed by a separator, the shape every list reader expects.
void appendFields(std::string* out, const std::vector<std::string>& fields, char separator) {
    for (const auto& f : fields) {
        *out += f;
        *out += separator;
    }
}

std::string stateText(int64_t number, int64_t kind) {
    std::string s = std::to_string(number);
    // Kinds 1 to 8 travel as the letters "s" to "z".
    if (kind >= 1 && kind <= 8) {
        s += ' ';
        s += static_cast<char>('s' + kind - 1);
    }
    return s;
}

}  // namespace

bool isValidUserName(std::string_view name, bool allowOrganisation) {
    if (name.empty() || name.size() > kMaxNameBytes) return false;
    for (char c : name) {
        auto b = static_cast<unsigned char>(c);
        if (b <= 0x20 || b == 0x7f) return false;
        if (c == '/' && !allowOrganisation) return false;
    }
    if (holdsBar(name)) return false;
    if (allowOrganisation) {
        std::size_t slash = name.find('/');
        if (slash == std::string_view::npos || slash == 0 || slash + 1 == name.size()) {
            return false;
        }
    }
    return true;
}

bool isValidListText(std::string_view text, std::size_t maxBytes, bool allowLineBreaks) {
    if (text.size() > maxBytes) return false;
    if (holdsBar(text)) return false;
    // Control bytes are never part of a GB18030 character, so these are checked byte by byte.
    for (char c : text) {
        auto b = static_cast<unsigned char>(c);
        if (b == 0x7f) return false;
        if (b < 0x20) {
            bool lineBreak = c == '\r' || c == '\n' || c == '\t';
            if (!allowLineBreaks || !lineBreak) return false;
        }
    }
    return true;
}

bool holdsBar(std::string_view wire) {
    if (wire.find('|') == std::string_view::npos) return false;
    // The clients' own decoder: what they will split is what is checked. UTF-8 never uses an
    // ASCII byte inside a character.
    return fromWire(wire).find('|') != std::string::npos;
}

std::string_view organisationOf(std::string_view name) {
    std::size_t slash = name.find('/');
    return slash == std::string_view::npos ? std::string_view{} : name.substr(0, slash + 1);
}

bool DirectoryService::isKnownPage(std::string_view page) {
    return findPage(page) != nullptr;
}

bool DirectoryService::checksPassword(std::string_view page) {
    const PageInfo* info = findPage(page);
    return info && info->checksPassword;
}

bool DirectoryService::ready() {
    auto store = stores_.take();
    return store->ping();
}

Reply DirectoryService::handle(std::string_view page, const QueryParams& params,
                               std::string_view peer, ReachCheck* reach) {
    const PageInfo* info = findPage(page);
    switch (info ? info->page : Page::Unknown) {
        case Page::Login:
            return login(params, peer, reach);
        case Page::Logout:
            return logout(params);
        case Page::Register:
            return registerOrChangePassword(params);
        case Page::PublishGroup:
            return publishGroup(params);
        case Page::RecordMembership:
            return recordMembership(params, peer);
        case Page::DeleteGroup:
            return deleteGroup(params);
        case Page::DeleteMemberships:
            return deleteGroupMemberships(params);
        case Page::ListPublic:
            return listPublicGroups(params);
        case Page::Lookup:
            return lookupAddress(params);
        case Page::ListMine:
            return listMyGroups(params);
        case Page::ListMembers:
            return listGroupMembers(params);
        case Page::ListCoMembers:
            return listCoMembers(params);
        case Page::InsertSign:
            return recordSign(params);
        case Page::UpdateSign:
            return updateSign(params);
        case Page::ListSigns:
            return listSigns(params, peer);
        case Page::RelayFor:
            return relayFor(params);
        case Page::Unknown:
            break;
    }
    return errorReply(404, "Not Found");
}

std::optional<Account> DirectoryService::authenticate(Store& store, std::string_view name,
                                                      std::string_view password, bool* failed) {
    *failed = false;
    std::optional<Account> account;
    if (!store.findAccount(name, &account)) {
        *failed = true;
        return std::nullopt;
    }
    if (!account) {
        hasher_.verifyNobody(password);
        return std::nullopt;
    }
    if (!hasher_.verify(account->hash, password)) return std::nullopt;
    return account;
}

// ---- accounts ----

Reply DirectoryService::login(const QueryParams& p, std::string_view peer, ReachCheck* reach) {
    const std::string* name = p.find("name");
    if (!name) return badRequest();
    const std::string& ip = valueOr(p, "ip");
    if (!isValidListText(ip, kMaxAddressBytes, false)) return badRequest();
    auto store = stores_.take();
    bool failed;
    auto account = authenticate(*store, *name, valueOr(p, "passwd"), &failed);
    if (failed) return serverError();
    if (!account) return refused("Login Error");
    // A client whose user chose to be reached through a relay says so with relay=1; clients
    // that do not know the value send nothing, and older servers ignore it.
    bool askedForRelay = valueOr(p, "relay") == "1";
    bool relay = account->mode == AccountMode::Relay;
    // The connection's own address, not the announced one: behind NAT or on loopback they
    // differ, and only the connection's cannot be claimed by someone else.
    if (store->setAddress(account->name, ip, peer, askedForRelay && !relay) != DbResult::Ok)
        return serverError();
    if (reach && !relay && !askedForRelay && !ip.empty()) {
        reach->wanted = true;
        reach->name = account->name;
        reach->address = ip;
    }
    switch (account->mode) {
        case AccountMode::Warn:
            return ok("Login Warn");
        case AccountMode::Relay:
            return ok("Connect OK");
        case AccountMode::Normal:
            break;
    }
    return ok("Login OK");
}

Reply DirectoryService::logout(const QueryParams& p) {
    const std::string* name = p.find("name");
    if (!name) return badRequest();
    auto store = stores_.take();
    bool failed;
    auto account = authenticate(*store, *name, valueOr(p, "passwd"), &failed);
    if (failed) return serverError();
    if (!account) return refused("Logout Error");
    if (store->setAddress(account->name, "", "", false) != DbResult::Ok) return serverError();
    return ok("Logout OK");
}

Reply DirectoryService::registerOrChangePassword(const QueryParams& p) {
    const std::string* name = p.find("name");
    if (!name) return badRequest();
    const std::string& password = valueOr(p, "passwd");
    const std::string& oldPassword = valueOr(p, "oldpasswd");
    if (password.size() > kMaxPasswordBytes) return refused("Reg Error");
    auto store = stores_.take();

    if (oldPassword.empty()) {
        // Organisation accounts are made by the administrator only.
        if (!isValidUserName(*name, false)) return refused("Reg Error");
        std::optional<Account> existing;
        if (!store->findAccount(*name, &existing)) return serverError();
        if (existing) return refused("Reg Error");
        auto hash = hasher_.hash(password);
        if (!hash) return serverError();
        std::string language = valueOr(p, "main").substr(0, kMaxLanguageBytes);
        if (!isValidListText(language, kMaxLanguageBytes, false)) language.clear();
        switch (store->createAccount(*name, *hash, language, AccountMode::Normal,
                                     clock_.nowSeconds())) {
            case DbResult::Ok:
                return ok("Reg OK");
            case DbResult::Conflict:
                return refused("Reg Error");
            default:
                return serverError();
        }
    }

    bool failed;
    auto account = authenticate(*store, *name, oldPassword, &failed);
    if (failed) return serverError();
    if (!account) return refused("Reg Error");
    auto hash = hasher_.hash(password);
    if (!hash) return serverError();
    switch (store->replaceHash(account->name, account->hash, *hash)) {
        case DbResult::Ok:
            return ok("Reg OK");
        case DbResult::NotFound:
            return refused("Reg Error");  // changed meanwhile
        default:
            return serverError();
    }
}

Reply DirectoryService::lookupAddress(const QueryParams& p) {
    const std::string* name = p.find("url");
    if (!name) return badRequest();
    auto store = stores_.take();
    std::optional<AddressEntry> entry;
    if (!store->lookupAddress(*name, &entry)) return serverError();
    if (!entry) return ok("0");
    if (!entry->throughRelay || entry->address.empty()) return ok(std::move(entry->address));
    // Senders connect to the user's relay and send there unchanged; with no relay logged in the
    // user counts as logged out, and senders ask again later.
    Rows relays;
    if (!store->listRelays(&relays)) return serverError();
    int i = relayIndexFor(*name, relays.size());
    return ok(i < 0 ? std::string() : std::move(relays[static_cast<std::size_t>(i)][1]));
}

// getrelay.asp?name=U: empty body when U is reached directly (or logged out); "none" when U is
// to be reached through a relay but no relay is logged in; otherwise the relay's address and its
// name, each followed by a line feed. "0" when there is no such user.
Reply DirectoryService::relayFor(const QueryParams& p) {
    const std::string* name = p.find("name");
    if (!name) return badRequest();
    auto store = stores_.take();
    std::optional<AddressEntry> entry;
    if (!store->lookupAddress(*name, &entry)) return serverError();
    if (!entry) return ok("0");
    if (!entry->throughRelay || entry->address.empty()) return ok("");
    Rows relays;
    if (!store->listRelays(&relays)) return serverError();
    int i = relayIndexFor(*name, relays.size());
    if (i < 0) return ok("none");
    const auto& row = relays[static_cast<std::size_t>(i)];
    return ok(row[1] + "\n" + row[0] + "\n");
}

bool DirectoryService::markUnreachable(const ReachCheck& reach) {
    auto store = stores_.take();
    DbResult r = store->markThroughRelay(reach.name, reach.address);
    return r == DbResult::Ok || r == DbResult::NotFound;
}

int relayIndexFor(std::string_view user, std::size_t relays) {
    if (relays == 0) return -1;
    // FNV-1a over the lower-cased name: stable across processes and runs.
    uint64_t h = 14695981039346656037ull;
    for (char c : user) {
        auto b = static_cast<unsigned char>(c);
        if (b >= 'A' && b <= 'Z') b = static_cast<unsigned char>(b - 'A' + 'a');
        h = (h ^ b) * 1099511628211ull;
    }
    return static_cast<int>(h % relays);
}

// ---- groups ----

Reply DirectoryService::publishGroup(const QueryParams& p) {
    const std::string* user = p.find("user");
    const std::string* group = p.find("group");
    if (!user || !group) return badRequest();
    const std::string& intro = valueOr(p, "intro");
    const std::string& language = valueOr(p, "type");
    int64_t reported = 0;
    if (const std::string* num = p.find("num"); num && !num->empty()) {
        auto n = parseNumber(*num);
        if (!n) return badRequest();
        reported = *n;
    }
    if (group->empty() || !isValidListText(*group, kMaxGroupNameBytes, false) ||
        !isValidListText(intro, kMaxIntroBytes, true) ||
        !isValidListText(language, kMaxLanguageBytes, false)) {
        return refused("Group Error");
    }
    auto store = stores_.take();
    bool failed;
    auto account = authenticate(*store, *user, valueOr(p, "passwd"), &failed);
    if (failed) return serverError();
    if (!account) return refused("Group Error");
    if (store->publishGroup(account->name, *group, intro, language, reported,
                            clock_.nowSeconds()) != DbResult::Ok) {
        return serverError();
    }
    return ok("Group OK");
}

Reply DirectoryService::recordMembership(const QueryParams& p, std::string_view peer) {
    const std::string* creatorName = p.find("cruser");
    const std::string* group = p.find("group");
    const std::string* memberName = p.find("gmuser");
    const std::string* stateValue = p.find("state");
    if (!creatorName || !group || !memberName || !stateValue) return badRequest();
    auto state = parseNumber(*stateValue);
    if (!state) return badRequest();
    if (group->empty() || !isValidListText(*group, kMaxGroupNameBytes, false)) {
        return refused("New Error");
    }

    auto store = stores_.take();
    std::optional<Account> creator;
    std::optional<Account> member;
    if (!store->findAccount(*memberName, &member)) return serverError();

    // Approving, removing and refusing are the creator's, with his password. Asking to join,
    // leaving and acknowledging a refusal come from the member without one, so those may only
    // move a record along its own path and never undo the creator's decisions.
    std::function<Transition(std::optional<int>)> decide;
    switch (*state) {
        case 1:
        case 4:
        case 6: {
            bool failed;
            creator = authenticate(*store, *creatorName, valueOr(p, "passwd"), &failed);
            if (failed) return serverError();
            if (!creator) return refused("New Error");
            int newState = static_cast<int>(*state);
            decide = [newState](std::optional<int> current) {
                if (newState == 1) return Transition::Apply;
                return current ? Transition::Apply : Transition::Refuse;
            };
            break;
        }
        case 0:
            decide = [](std::optional<int> current) {
                return current == 1 ? Transition::Keep : Transition::Apply;
            };
            break;
        case 5:
            decide = [](std::optional<int> current) {
                if (current == 5) return Transition::Keep;
                return current == 0 || current == 1 ? Transition::Apply : Transition::Refuse;
            };
            break;
        case 7:
            decide = [](std::optional<int> current) {
                if (current == 7) return Transition::Keep;
                return current == 6 ? Transition::Apply : Transition::Refuse;
            };
            break;
        default:
            return refused("New Error");
    }
    if (!creator && !store->findAccount(*creatorName, &creator)) return serverError();
    if (!creator || !member) return refused("New Error");
    // Without a password, only the member's own machine speaks for him: the request must come
    // from the address his current login came from.
    if (*state == 0 || *state == 5 || *state == 7) {
        if (member->loginPeer.empty() || member->loginPeer != peer) return refused("New Error");
    }

    switch (store->changeMembership(creator->name, *group, member->name, static_cast<int>(*state),
                                    decide, clock_.nowSeconds())) {
        case DbResult::Ok:
            return Reply{200, "New OK", "New OK"};
        case DbResult::Refused:
            return refused("New Error");
        default:
            return serverError();
    }
}

Reply DirectoryService::deleteGroup(const QueryParams& p) {
    const std::string* user = p.find("user");
    const std::string* group = p.find("group");
    if (!user || !group) return badRequest();
    auto store = stores_.take();
    bool failed;
    auto account = authenticate(*store, *user, valueOr(p, "passwd"), &failed);
    if (failed) return serverError();
    if (!account) return refused("Del Error");
    if (store->deleteGroup(account->name, *group) != DbResult::Ok) return serverError();
    return ok("Del OK");
}

Reply DirectoryService::deleteGroupMemberships(const QueryParams& p) {
    // The membership records of a group go with the group itself (delgroup.asp), in the same
    // transaction, so nothing is left for this page to remove; it confirms to the creator.
    const std::string* user = p.find("user");
    if (!user) return badRequest();
    auto store = stores_.take();
    bool failed;
    auto account = authenticate(*store, *user, valueOr(p, "passwd"), &failed);
    if (failed) return serverError();
    if (!account) return refused("Del Error");
    return ok("Del OK");
}

Reply DirectoryService::listPublicGroups(const QueryParams& p) {
    const std::string& language = valueOr(p, "main");
    Rows rows;
    {
        auto store = stores_.take();
        if (!store->listPublicGroups(language, kPublicListCandidates, &rows)) {
            return serverError();
        }
    }
    // Clients read one chunk of at most 2047 bytes, so a random selection that fits is sent
    // instead of a list they would cut in the middle of a record.
    Reply reply = ok("");
    for (const auto& row : rows) {
        std::string record;
        appendFields(&record, row, '|');
        std::size_t total = reply.body.size() + record.size();
        if (total + responseOverhead(reply, total, false) > kPublicListReplyBytes) continue;
        reply.body += record;
    }
    return reply;
}

Reply DirectoryService::listMyGroups(const QueryParams& p) {
    const std::string* member = p.find("gmuser");
    if (!member) return badRequest();
    Rows rows;
    auto store = stores_.take();
    if (!store->listMemberships(*member, &rows)) return serverError();
    Reply reply = ok("");
    for (const auto& row : rows)
        appendFields(&reply.body, row, '\n');
    return reply;
}

Reply DirectoryService::listGroupMembers(const QueryParams& p) {
    const std::string* creator = p.find("cruser");
    if (!creator) return badRequest();
    Rows rows;
    auto store = stores_.take();
    if (!store->listGroupMembers(*creator, valueOr(p, "group"), &rows)) return serverError();
    Reply reply = ok("");
    for (const auto& row : rows)
        appendFields(&reply.body, row, '\n');
    return reply;
}

Reply DirectoryService::listCoMembers(const QueryParams& p) {
    const std::string* creator = p.find("cruser");
    if (!creator) return badRequest();
    const std::string& group = valueOr(p, "group");
    std::string_view org = organisationOf(*creator);
    Reply reply = ok("");
    if (org.empty()) return reply;
    if (!group.empty() && !equalsIgnoreCase(organisationOf(group), org)) return reply;
    Rows rows;
    auto store = stores_.take();
    if (!store->listOrgMembers(org, &rows)) return serverError();
    std::string groupName(group.empty() ? org : std::string_view(group));
    for (const auto& row : rows) {
        auto number = parseNumber(row[1]).value_or(0);
        auto kind = parseNumber(row[2]).value_or(0);
        appendFields(&reply.body, {groupName, row[0], stateText(number, kind)}, '\n');
    }
    return reply;
}

// ---- signs ----

Reply DirectoryService::recordSign(const QueryParams& p) {
    const std::string* sender = p.find("fn");
    const std::string* recipientName = p.find("jn");
    const std::string* sentText = p.find("sdt");
    if (!sender || !recipientName || !sentText) return badRequest();
    auto sent = parseNumber(*sentText);
    if (!sent) return badRequest();
    const std::string& attach = valueOr(p, "sf");
    const std::string& message = valueOr(p, "sds");
    const std::string& extra = valueOr(p, "fh");
    if (!isValidListText(attach, kMaxSignTextBytes, true) ||
        !isValidListText(message, kMaxSignTextBytes, true) ||
        !isValidListText(extra, kMaxSignTextBytes, true)) {
        return refused("Insert Error");
    }
    auto store = stores_.take();
    bool failed;
    auto account = authenticate(*store, *sender, valueOr(p, "fnpasswd"), &failed);
    if (failed) return serverError();
    if (!account) return refused("Insert Error");
    std::optional<Account> recipient;
    if (!store->findAccount(*recipientName, &recipient)) return serverError();
    if (!recipient) return refused("Insert Error");
    if (store->recordSign(account->name, recipient->name, *sent, attach, message, extra) !=
        DbResult::Ok) {
        return serverError();
    }
    return ok("Insert OK");
}

Reply DirectoryService::updateSign(const QueryParams& p) {
    const std::string* sender = p.find("fn");
    const std::string* recipient = p.find("jn");
    const std::string* sentText = p.find("sdt");
    if (!sender || !recipient || !sentText) return badRequest();
    auto sent = parseNumber(*sentText);
    if (!sent) return badRequest();
    int64_t signedAt = 0;
    if (const std::string* sgt = p.find("sgt"); sgt && !sgt->empty()) {
        auto n = parseNumber(*sgt);
        if (!n) return badRequest();
        signedAt = *n;
    }
    auto store = stores_.take();
    bool failed;

    if (valueOr(p, "op") == "d") {
        // Deleting is the sender's, with his password.
        auto account = authenticate(*store, *sender, valueOr(p, "fnp"), &failed);
        if (failed) return serverError();
        if (!account) return refused("Update Error");
        DbResult r = store->deleteSign(account->name, *recipient, *sent);
        if (r == DbResult::Error) return serverError();
        return ok("Update OK");
    }

    // Signing is the recipient's, with his password.
    const std::string& opinion = valueOr(p, "sgs");
    if (!isValidListText(opinion, kMaxSignTextBytes, true)) return refused("Update Error");
    auto account = authenticate(*store, *recipient, valueOr(p, "jnp"), &failed);
    if (failed) return serverError();
    if (!account) return refused("Update Error");
    // A sign time of 0 would read as "not signed"; the server's own time stands in for it.
    if (signedAt <= 0) signedAt = clock_.nowSeconds();
    switch (store->markSigned(*sender, account->name, *sent, signedAt, opinion)) {
        case DbResult::Ok:
            return ok("Update OK");
        case DbResult::NotFound:
            return refused("Update Error");
        default:
            return serverError();
    }
}

Reply DirectoryService::listSigns(const QueryParams& p, std::string_view peer) {
    const std::string* sender = p.find("fn");
    if (!sender) return badRequest();
    int64_t sent = 0;
    if (const std::string* sdt = p.find("sdt"); sdt && !sdt->empty()) {
        auto n = parseNumber(*sdt);
        if (!n) return badRequest();
        sent = *n;
    }
    // "Y" asks for signed records only; anything else lists them all, which the signer relies
    // on to find his own, just signed record.
    bool signedOnly = valueOr(p, "sign") == "Y" || valueOr(p, "sign") == "y";
    Rows rows;
    auto store = stores_.take();
    if (!store->listSigns(*sender, sent, signedOnly, &rows)) return serverError();
    // The records hold the mails' texts: all of them go to the sender's own machine (the address
    // of his current login); anyone else sees only the records of signers logged in from the
    // asking address, which is how a signer finds his own record after signing.
    std::optional<Account> owner;
    if (!store->findAccount(*sender, &owner)) return serverError();
    bool everything = owner && !owner->loginPeer.empty() && owner->loginPeer == peer;
    std::unordered_map<std::string, bool> signerHere;
    Reply reply = ok("");
    for (const auto& row : rows) {
        if (!everything) {
            auto [it, fresh] = signerHere.try_emplace(row[1], false);
            if (fresh) {
                std::optional<Account> signer;
                if (!store->findAccount(row[1], &signer)) return serverError();
                it->second = signer && !signer->loginPeer.empty() && signer->loginPeer == peer;
            }
            if (!it->second) continue;
        }
        appendFields(&reply.body, row, '|');
    }
    return reply;
}

}  // namespace orv::server
