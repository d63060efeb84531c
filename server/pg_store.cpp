// The PostgreSQL store: one database shared by any number of server processes. Texts are kept
// as bytea, exactly the bytes that arrived (the clients' GB18030 is not valid in a UTF-8
// database), and every name has a key column beside it, lower-cased in ASCII, which is what
// SQLite's NOCASE compares and orders by; the answers of both stores are therefore the same bytes
// in the same order. Parameters and results travel in binary, statements are prepared once per
// connection, and a lost connection is re-opened on the next request.
#include <libpq-fe.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "server/store.h"

namespace orv::server {
namespace {

constexpr Oid kByteaOid = 17;
constexpr Oid kInt8Oid = 20;
constexpr Oid kInt4Oid = 23;

// Held by the process that creates or upgrades the schema, so servers starting together do it
// once.
constexpr const char* kSchemaLock = "SELECT pg_advisory_xact_lock(7283960114)";

constexpr const char* kSchemaV2 = R"sql(
CREATE TABLE accounts(
  name_key bytea PRIMARY KEY,
  name bytea NOT NULL,
  hash bytea NOT NULL,
  mode bigint NOT NULL DEFAULT 0,
  language bytea NOT NULL DEFAULT '',
  address bytea NOT NULL DEFAULT '',
  created bigint NOT NULL DEFAULT 0,
  login_peer bytea NOT NULL DEFAULT '');
CREATE TABLE dir_groups(
  creator_key bytea NOT NULL,
  name_key bytea NOT NULL,
  creator bytea NOT NULL,
  name bytea NOT NULL,
  intro bytea NOT NULL DEFAULT '',
  language bytea NOT NULL DEFAULT '',
  public bigint NOT NULL DEFAULT 1,
  reported_members bigint NOT NULL DEFAULT 0,
  updated bigint NOT NULL DEFAULT 0,
  PRIMARY KEY(creator_key, name_key));
CREATE TABLE memberships(
  creator_key bytea NOT NULL,
  grp_key bytea NOT NULL,
  member_key bytea NOT NULL,
  creator bytea NOT NULL,
  grp bytea NOT NULL,
  member bytea NOT NULL,
  state bigint NOT NULL,
  updated bigint NOT NULL DEFAULT 0,
  PRIMARY KEY(creator_key, grp_key, member_key));
CREATE INDEX memberships_by_member ON memberships(member_key);
CREATE TABLE org_members(
  org_key bytea NOT NULL,
  member_key bytea NOT NULL,
  org bytea NOT NULL,
  member bytea NOT NULL,
  number bigint NOT NULL DEFAULT 0,
  kind bigint NOT NULL DEFAULT 0,
  PRIMARY KEY(org_key, member_key));
CREATE TABLE signs(
  id bigserial PRIMARY KEY,
  sender_key bytea NOT NULL,
  recipient_key bytea NOT NULL,
  sender bytea NOT NULL,
  recipient bytea NOT NULL,
  sent bigint NOT NULL,
  attach bytea NOT NULL DEFAULT '',
  message bytea NOT NULL DEFAULT '',
  opinion bytea NOT NULL DEFAULT '',
  extra bytea NOT NULL DEFAULT '',
  signed bigint NOT NULL DEFAULT 0,
  UNIQUE(sender_key, recipient_key, sent));
CREATE INDEX signs_by_mail ON signs(sender_key, sent);
)sql";

std::string key(std::string_view name) {
    std::string k(name);
    for (char& c : k) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return k;
}

// A statement with its parameter types: B bytea, I bigint.
struct Statement {
    const char* name;
    const char* sql;
    const char* types;
};

// Parameters in binary: bytea as its bytes, bigint as 8 bytes in network order.
class Args {
  public:
    Args& bytes(std::string_view v) {
        values_.emplace_back(v);
        return *this;
    }
    Args& integer(int64_t v) {
        std::string b(8, '\0');
        auto u = static_cast<uint64_t>(v);
        for (int i = 7; i >= 0; --i) {
            b[static_cast<std::size_t>(i)] = static_cast<char>(u & 0xff);
            u >>= 8;
        }
        values_.push_back(std::move(b));
        return *this;
    }
    const std::vector<std::string>& values() const { return values_; }

  private:
    std::vector<std::string> values_;
};

// Owns one result.
class Result {
  public:
    explicit Result(PGresult* r) : r_(r) {}
    ~Result() { PQclear(r_); }
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;
    Result(Result&& o) noexcept : r_(o.r_) { o.r_ = nullptr; }

    bool command() const { return r_ && PQresultStatus(r_) == PGRES_COMMAND_OK; }
    bool tuples() const { return r_ && PQresultStatus(r_) == PGRES_TUPLES_OK; }
    int rows() const { return r_ ? PQntuples(r_) : 0; }
    // Rows a command changed.
    int changed() const { return r_ ? std::atoi(PQcmdTuples(r_)) : 0; }

    std::string text(int row, int col) const {
        const char* p = PQgetvalue(r_, row, col);
        int n = PQgetlength(r_, row, col);
        Oid type = PQftype(r_, col);
        if (PQfformat(r_, col) == 1 && (type == kInt8Oid || type == kInt4Oid)) {
            return std::to_string(integer(row, col));
        }
        return std::string(p, static_cast<std::size_t>(n));
    }
    int64_t integer(int row, int col) const {
        const auto* p = reinterpret_cast<const unsigned char*>(PQgetvalue(r_, row, col));
        int n = PQgetlength(r_, row, col);
        if (PQfformat(r_, col) == 0)
            return std::strtoll(reinterpret_cast<const char*>(p), nullptr, 10);
        uint64_t u = 0;
        for (int i = 0; i < n; ++i)
            u = (u << 8) | p[i];
        if (n == 4) return static_cast<int32_t>(static_cast<uint32_t>(u));
        return static_cast<int64_t>(u);
    }
    bool collect(Rows* out) const {
        if (!tuples()) return false;
        int columns = PQnfields(r_);
        for (int r = 0; r < rows(); ++r) {
            std::vector<std::string> row;
            row.reserve(static_cast<std::size_t>(columns));
            for (int c = 0; c < columns; ++c)
                row.push_back(text(r, c));
            out->push_back(std::move(row));
        }
        return true;
    }

  private:
    PGresult* r_;
};

// ---- statements ----

const Statement kFindAccount{
    "find_account",
    "SELECT name, hash, mode, address, login_peer FROM accounts WHERE name_key = $1", "B"};
const Statement kCreateAccount{
    "create_account",
    "INSERT INTO accounts(name_key, name, hash, mode, language, created) "
    "VALUES($1, $2, $3, $4, $5, $6) ON CONFLICT(name_key) DO NOTHING",
    "BBBIBI"};
const Statement kReplaceHash{
    "replace_hash", "UPDATE accounts SET hash = $1 WHERE name_key = $2 AND hash = $3", "BBB"};
const Statement kSetAddress{"set_address",
                            "WITH changed AS (UPDATE accounts SET address = $1, login_peer = $2, "
                            "through_relay = $3 WHERE name_key = $4 RETURNING name_key) "
                            "SELECT 1 FROM changed, "
                            "pg_notify('orv_address', encode(changed.name_key, 'hex'))",
                            "BBIB"};
const Statement kMarkThroughRelay{
    "mark_through_relay",
    "WITH changed AS (UPDATE accounts SET through_relay = 1 WHERE name_key = $1 AND "
    "address = $2 AND address <> ''::bytea RETURNING name_key) SELECT 1 FROM changed, "
    "pg_notify('orv_address', encode(changed.name_key, 'hex'))",
    "BB"};
const Statement kListRelays{"list_relays",
                            "SELECT name, address FROM accounts WHERE mode = 2 AND "
                            "address <> ''::bytea ORDER BY name_key",
                            ""};
const Statement kSetMode{"set_mode", "UPDATE accounts SET mode = $1 WHERE name_key = $2", "IB"};
const Statement kLookup{"lookup", "SELECT address, through_relay FROM accounts WHERE name_key = $1",
                        "B"};
const Statement kListAccounts{"list_accounts",
                              "SELECT name, mode, address FROM accounts ORDER BY name_key", ""};
const Statement kPublishGroup{
    "publish_group",
    "INSERT INTO dir_groups(creator_key, name_key, creator, name, intro, language, public, "
    "reported_members, updated) VALUES($1, $2, $3, $4, $5, $6, 1, $7, $8) "
    "ON CONFLICT(creator_key, name_key) DO UPDATE SET intro = excluded.intro, "
    "language = excluded.language, public = 1, reported_members = excluded.reported_members, "
    "updated = excluded.updated",
    "BBBBBBII"};
const Statement kCreatorMember{
    "creator_member",
    "INSERT INTO memberships(creator_key, grp_key, member_key, creator, grp, member, state, "
    "updated) VALUES($1, $2, $1, $3, $4, $3, 1, $5) "
    "ON CONFLICT(creator_key, grp_key, member_key) DO UPDATE SET state = 1, "
    "updated = excluded.updated",
    "BBBBI"};
const Statement kDeleteGroup{
    "delete_group", "DELETE FROM dir_groups WHERE creator_key = $1 AND name_key = $2", "BB"};
const Statement kDeleteMemberships{
    "delete_memberships", "DELETE FROM memberships WHERE creator_key = $1 AND grp_key = $2", "BB"};
const Statement kLockRecord{"lock_record", "SELECT pg_advisory_xact_lock($1)", "I"};
const Statement kMembershipState{
    "membership_state",
    "SELECT state FROM memberships WHERE creator_key = $1 AND grp_key = $2 AND member_key = $3",
    "BBB"};
const Statement kSetMembership{
    "set_membership",
    "INSERT INTO memberships(creator_key, grp_key, member_key, creator, grp, member, state, "
    "updated) VALUES($1, $2, $3, $4, COALESCE((SELECT name FROM dir_groups WHERE creator_key = "
    "$1 AND name_key = $2), $5), $6, $7, $8) ON CONFLICT(creator_key, grp_key, member_key) DO "
    "UPDATE SET state = excluded.state, updated = excluded.updated",
    "BBBBBBII"};
const Statement kListMemberships{"list_memberships",
                                 "SELECT creator, grp, state FROM memberships WHERE member_key = "
                                 "$1 ORDER BY creator_key, grp_key",
                                 "B"};
const Statement kListAllMembers{"list_all_members",
                                "SELECT grp, member, state FROM memberships WHERE creator_key = "
                                "$1 ORDER BY grp_key, member_key",
                                "B"};
const Statement kListMembers{"list_members",
                             "SELECT grp, member, state FROM memberships WHERE creator_key = $1 "
                             "AND grp_key = $2 ORDER BY member_key",
                             "BB"};
const Statement kListPublic{
    "list_public",
    "SELECT g.creator, g.name, g.intro, g.language, (SELECT COUNT(*) FROM memberships m WHERE "
    "m.creator_key = g.creator_key AND m.grp_key = g.name_key AND m.state = 1) FROM dir_groups g "
    "WHERE g.public = 1 AND (length($1) = 0 OR g.language = $1) ORDER BY random() LIMIT $2",
    "BI"};
const Statement kAddOrgMember{
    "add_org_member",
    "INSERT INTO org_members(org_key, member_key, org, member, number, kind) "
    "VALUES($1, $2, $3, $4, $5, $6) ON CONFLICT(org_key, member_key) DO UPDATE SET "
    "number = excluded.number, kind = excluded.kind",
    "BBBBII"};
const Statement kRemoveOrgMember{
    "remove_org_member", "DELETE FROM org_members WHERE org_key = $1 AND member_key = $2", "BB"};
const Statement kListOrgMembers{"list_org_members",
                                "SELECT member, number, kind FROM org_members WHERE org_key = $1 "
                                "ORDER BY number, member_key",
                                "B"};
const Statement kRecordSign{
    "record_sign",
    "INSERT INTO signs(sender_key, recipient_key, sender, recipient, sent, attach, message, "
    "extra) VALUES($1, $2, $3, $4, $5, $6, $7, $8) ON CONFLICT(sender_key, recipient_key, sent) "
    "DO UPDATE SET attach = excluded.attach, message = excluded.message, extra = excluded.extra",
    "BBBBIBBB"};
const Statement kMarkSigned{"mark_signed",
                            "UPDATE signs SET signed = $1, opinion = $2 WHERE sender_key = $3 AND "
                            "recipient_key = $4 AND sent = $5",
                            "IBBBI"};
const Statement kDeleteSign{
    "delete_sign", "DELETE FROM signs WHERE sender_key = $1 AND recipient_key = $2 AND sent = $3",
    "BBI"};
const Statement kListSigns{
    "list_signs",
    "SELECT sender, recipient, attach, message, opinion, extra, sent, signed FROM signs "
    "WHERE sender_key = $1 AND ($2 = 0 OR sent = $2) AND ($3 = 0 OR signed <> 0) "
    "ORDER BY sent, id",
    "BII"};
const Statement kPing{"ping", "SELECT 1", ""};
const Statement kCountAccounts{"count_accounts", "SELECT COUNT(*) FROM accounts", ""};

// Export and import: the columns of the Snapshot, and which of them are names with a key.
struct TableCopy {
    Rows Snapshot::*rows;
    Statement select;
    Statement insert;
    const char* types;       // per snapshot column: T bytes, I integer
    std::vector<int> keyed;  // snapshot columns whose key goes first, in this order
};

const TableCopy kTables[] = {
    {&Snapshot::accounts,
     {"export_accounts",
      "SELECT name, hash, mode, language, address, created, login_peer FROM accounts "
      "ORDER BY name_key",
      ""},
     {"import_accounts",
      "INSERT INTO accounts(name_key, name, hash, mode, language, address, created, login_peer) "
      "VALUES($1, $2, $3, $4, $5, $6, $7, $8)",
      "BBBIBBIB"},
     "TTITTIT",
     {0}},
    {&Snapshot::groups,
     {"export_groups",
      "SELECT creator, name, intro, language, public, reported_members, updated FROM dir_groups "
      "ORDER BY creator_key, name_key",
      ""},
     {"import_groups",
      "INSERT INTO dir_groups(creator_key, name_key, creator, name, intro, language, public, "
      "reported_members, updated) VALUES($1, $2, $3, $4, $5, $6, $7, $8, $9)",
      "BBBBBBIII"},
     "TTTTIII",
     {0, 1}},
    {&Snapshot::memberships,
     {"export_memberships",
      "SELECT creator, grp, member, state, updated FROM memberships "
      "ORDER BY creator_key, grp_key, member_key",
      ""},
     {"import_memberships",
      "INSERT INTO memberships(creator_key, grp_key, member_key, creator, grp, member, state, "
      "updated) VALUES($1, $2, $3, $4, $5, $6, $7, $8)",
      "BBBBBBII"},
     "TTTII",
     {0, 1, 2}},
    {&Snapshot::orgMembers,
     {"export_org_members",
      "SELECT org, member, number, kind FROM org_members ORDER BY org_key, member_key", ""},
     {"import_org_members",
      "INSERT INTO org_members(org_key, member_key, org, member, number, kind) "
      "VALUES($1, $2, $3, $4, $5, $6)",
      "BBBBII"},
     "TTII",
     {0, 1}},
    {&Snapshot::signs,
     {"export_signs",
      "SELECT sender, recipient, sent, attach, message, opinion, extra, signed FROM signs "
      "ORDER BY id",
      ""},
     {"import_signs",
      "INSERT INTO signs(sender_key, recipient_key, sender, recipient, sent, attach, message, "
      "opinion, extra, signed) VALUES($1, $2, $3, $4, $5, $6, $7, $8, $9, $10)",
      "BBBBIBBBBI"},
     "TTITTTTI",
     {0, 1}},
};

}  // namespace

// The addresses this process has looked up, valid while a connection of its own listens for the
// changes every process announces (LISTEN/NOTIFY). The listener confirms it is alive four times a
// second; a cache whose listener has not confirmed within a second is not used, and one whose
// listener had to reconnect starts empty, so no answer is ever staler than a second. Reads that
// began before a change are not stored after it (the generation check).
class AddressCache {
  public:
    explicit AddressCache(std::string uri) : uri_(std::move(uri)) {
        thread_ = std::thread([this] { listen(); });
    }
    ~AddressCache() {
        stopping_ = true;
        thread_.join();
    }

    bool live() const {
        auto now = std::chrono::steady_clock::now().time_since_epoch().count();
        return now - aliveAt_.load() < std::chrono::steady_clock::duration(kTrust).count();
    }
    uint64_t generation() const { return generation_.load(); }

    std::optional<AddressEntry> find(const std::string& key) {
        std::lock_guard lock(mutex_);
        auto it = addresses_.find(key);
        if (it == addresses_.end()) return std::nullopt;
        return it->second;
    }
    void put(const std::string& key, const AddressEntry& address, uint64_t readAt) {
        std::lock_guard lock(mutex_);
        if (generation_.load() != readAt) return;
        if (addresses_.size() >= kMaxEntries) addresses_.clear();
        addresses_[key] = address;
    }
    void forget(const std::string& key) {
        std::lock_guard lock(mutex_);
        ++generation_;
        addresses_.erase(key);
    }
    void forgetAll() {
        std::lock_guard lock(mutex_);
        ++generation_;
        addresses_.clear();
    }

  private:
    static constexpr std::chrono::milliseconds kTrust{1000};
    static constexpr std::chrono::milliseconds kHeartbeat{250};
    static constexpr std::size_t kMaxEntries = 1'000'000;

    void listen() {
        PGconn* conn = nullptr;
        while (!stopping_) {
            if (!conn || PQstatus(conn) != CONNECTION_OK) {
                PQfinish(conn);
                conn = PQconnectdb(uri_.c_str());
                Result r(conn && PQstatus(conn) == CONNECTION_OK
                             ? PQexec(conn, "LISTEN orv_address")
                             : nullptr);
                if (!r.command()) {
                    std::this_thread::sleep_for(kHeartbeat);
                    continue;
                }
                // Changes made while nobody listened are unknown: start again from nothing.
                forgetAll();
            }
            Result beat(PQexec(conn, "SELECT 1"));
            if (!beat.tuples()) {
                std::this_thread::sleep_for(kHeartbeat);  // then reconnect if it is lost
                continue;
            }
            drain(conn);
            aliveAt_ = std::chrono::steady_clock::now().time_since_epoch().count();
            pollfd p{PQsocket(conn), POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(kHeartbeat.count())) > 0) {
                if (!PQconsumeInput(conn)) continue;
                drain(conn);
            }
        }
        PQfinish(conn);
    }

    void drain(PGconn* conn) {
        while (PGnotify* n = PQnotifies(conn)) {
            std::string hex = n->extra ? n->extra : "";
            PQfreemem(n);
            std::string key;
            for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
                key += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
            forget(key);
        }
    }

    std::string uri_;
    std::atomic<bool> stopping_{false};
    std::atomic<std::chrono::steady_clock::rep> aliveAt_{0};
    std::atomic<uint64_t> generation_{0};
    std::mutex mutex_;
    std::unordered_map<std::string, AddressEntry> addresses_;
    std::thread thread_;
};

namespace {

class PostgresStore final : public Store {
  public:
    PostgresStore(PGconn* conn, std::shared_ptr<AddressCache> cache)
        : conn_(conn), cache_(std::move(cache)) {}
    ~PostgresStore() override { PQfinish(conn_); }

    bool upgradeSchema(std::string* error);

    bool findAccount(std::string_view name, std::optional<Account>* out) override {
        out->reset();
        Result r = run(kFindAccount, Args().bytes(key(name)));
        if (!r.tuples()) return false;
        if (r.rows() == 0) return true;
        Account a;
        a.name = r.text(0, 0);
        a.hash = r.text(0, 1);
        int64_t mode = r.integer(0, 2);
        a.mode = mode == 1   ? AccountMode::Warn
                 : mode == 2 ? AccountMode::Relay
                             : AccountMode::Normal;
        a.address = r.text(0, 3);
        a.loginPeer = r.text(0, 4);
        *out = std::move(a);
        return true;
    }

    DbResult createAccount(std::string_view name, std::string_view hash, std::string_view language,
                           AccountMode mode, int64_t now) override {
        Result r = run(kCreateAccount, Args()
                                           .bytes(key(name))
                                           .bytes(name)
                                           .bytes(hash)
                                           .integer(static_cast<int>(mode))
                                           .bytes(language)
                                           .integer(now));
        if (!r.command()) return DbResult::Error;
        return r.changed() == 1 ? DbResult::Ok : DbResult::Conflict;
    }

    DbResult replaceHash(std::string_view name, std::string_view oldHash,
                         std::string_view newHash) override {
        return changeOne(run(kReplaceHash, Args().bytes(newHash).bytes(key(name)).bytes(oldHash)));
    }

    DbResult setAddress(std::string_view name, std::string_view address, std::string_view loginPeer,
                        bool throughRelay) override {
        std::string k = key(name);
        Result r =
            run(kSetAddress,
                Args().bytes(address).bytes(loginPeer).integer(throughRelay ? 1 : 0).bytes(k));
        if (!r.tuples()) return DbResult::Error;
        if (cache_) cache_->forget(k);  // this process need not wait for its own notice
        return r.rows() == 1 ? DbResult::Ok : DbResult::NotFound;
    }

    DbResult markThroughRelay(std::string_view name, std::string_view address) override {
        std::string k = key(name);
        Result r = run(kMarkThroughRelay, Args().bytes(k).bytes(address));
        if (!r.tuples()) return DbResult::Error;
        if (cache_) cache_->forget(k);
        return r.rows() == 1 ? DbResult::Ok : DbResult::NotFound;
    }

    bool listRelays(Rows* out) override { return run(kListRelays, Args()).collect(out); }

    DbResult setMode(std::string_view name, AccountMode mode) override {
        return changeOne(run(kSetMode, Args().integer(static_cast<int>(mode)).bytes(key(name))));
    }

    bool lookupAddress(std::string_view name, std::optional<AddressEntry>* out) override {
        out->reset();
        std::string k = key(name);
        bool cached = cache_ && cache_->live();
        uint64_t readAt = 0;
        if (cached) {
            if ((*out = cache_->find(k))) return true;
            readAt = cache_->generation();
        }
        Result r = run(kLookup, Args().bytes(k));
        if (!r.tuples()) return false;
        if (r.rows() > 0) {
            *out = AddressEntry{r.text(0, 0), r.integer(0, 1) != 0};
            // Accounts are never removed, so only found addresses are kept.
            if (cached) cache_->put(k, **out, readAt);
        }
        return true;
    }

    bool listAccounts(Rows* out) override { return run(kListAccounts, Args()).collect(out); }

    DbResult publishGroup(std::string_view creator, std::string_view name, std::string_view intro,
                          std::string_view language, int64_t reportedMembers,
                          int64_t now) override {
        if (!begin()) return DbResult::Error;
        bool ok = run(kPublishGroup, Args()
                                         .bytes(key(creator))
                                         .bytes(key(name))
                                         .bytes(creator)
                                         .bytes(name)
                                         .bytes(intro)
                                         .bytes(language)
                                         .integer(reportedMembers)
                                         .integer(now))
                      .command();
        // The creator always belongs to his own group.
        ok =
            ok &&
            run(kCreatorMember,
                Args().bytes(key(creator)).bytes(key(name)).bytes(creator).bytes(name).integer(now))
                .command();
        return finish(ok);
    }

    DbResult deleteGroup(std::string_view creator, std::string_view name) override {
        if (!begin()) return DbResult::Error;
        bool ok = run(kDeleteGroup, Args().bytes(key(creator)).bytes(key(name))).command();
        ok = ok && run(kDeleteMemberships, Args().bytes(key(creator)).bytes(key(name))).command();
        return finish(ok);
    }

    DbResult changeMembership(std::string_view creator, std::string_view group,
                              std::string_view member, int state,
                              const std::function<Transition(std::optional<int>)>& decide,
                              int64_t now) override {
        std::string ck = key(creator), gk = key(group), mk = key(member);
        if (!begin()) return DbResult::Error;
        // Serialises the decisions about one record, whether or not it exists yet.
        std::string whole = ck + '\0' + gk + '\0' + mk;
        // FNV-1a: the same number in every process, whatever its build.
        uint64_t h = 14695981039346656037ull;
        for (char c : whole)
            h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
        auto lockId = static_cast<int64_t>(h);
        if (!run(kLockRecord, Args().integer(lockId)).tuples()) return finish(false);
        Result r = run(kMembershipState, Args().bytes(ck).bytes(gk).bytes(mk));
        if (!r.tuples()) return finish(false);
        std::optional<int> current;
        if (r.rows() > 0) current = static_cast<int>(r.integer(0, 0));
        Transition t = decide(current);
        if (t == Transition::Refuse) {
            rollback();
            return DbResult::Refused;
        }
        bool ok = true;
        if (t == Transition::Apply) {
            ok = run(kSetMembership, Args()
                                         .bytes(ck)
                                         .bytes(gk)
                                         .bytes(mk)
                                         .bytes(creator)
                                         .bytes(group)
                                         .bytes(member)
                                         .integer(state)
                                         .integer(now))
                     .command();
        }
        return finish(ok);
    }

    bool listMemberships(std::string_view member, Rows* out) override {
        return run(kListMemberships, Args().bytes(key(member))).collect(out);
    }

    bool listGroupMembers(std::string_view creator, std::string_view group, Rows* out) override {
        if (group.empty()) return run(kListAllMembers, Args().bytes(key(creator))).collect(out);
        return run(kListMembers, Args().bytes(key(creator)).bytes(key(group))).collect(out);
    }

    bool listPublicGroups(std::string_view language, int limit, Rows* out) override {
        return run(kListPublic, Args().bytes(language).integer(limit)).collect(out);
    }

    DbResult addOrgMember(std::string_view org, std::string_view member, int64_t number,
                          int kind) override {
        Result r = run(kAddOrgMember, Args()
                                          .bytes(key(org))
                                          .bytes(key(member))
                                          .bytes(org)
                                          .bytes(member)
                                          .integer(number)
                                          .integer(kind));
        return r.command() ? DbResult::Ok : DbResult::Error;
    }

    DbResult removeOrgMember(std::string_view org, std::string_view member) override {
        return changeOne(run(kRemoveOrgMember, Args().bytes(key(org)).bytes(key(member))));
    }

    bool listOrgMembers(std::string_view org, Rows* out) override {
        return run(kListOrgMembers, Args().bytes(key(org))).collect(out);
    }

    DbResult recordSign(std::string_view sender, std::string_view recipient, int64_t sent,
                        std::string_view attach, std::string_view message,
                        std::string_view extra) override {
        Result r = run(kRecordSign, Args()
                                        .bytes(key(sender))
                                        .bytes(key(recipient))
                                        .bytes(sender)
                                        .bytes(recipient)
                                        .integer(sent)
                                        .bytes(attach)
                                        .bytes(message)
                                        .bytes(extra));
        return r.command() ? DbResult::Ok : DbResult::Error;
    }

    DbResult markSigned(std::string_view sender, std::string_view recipient, int64_t sent,
                        int64_t signedAt, std::string_view opinion) override {
        return changeOne(run(kMarkSigned, Args()
                                              .integer(signedAt)
                                              .bytes(opinion)
                                              .bytes(key(sender))
                                              .bytes(key(recipient))
                                              .integer(sent)));
    }

    DbResult deleteSign(std::string_view sender, std::string_view recipient,
                        int64_t sent) override {
        return changeOne(
            run(kDeleteSign, Args().bytes(key(sender)).bytes(key(recipient)).integer(sent)));
    }

    bool listSigns(std::string_view sender, int64_t sent, bool signedOnly, Rows* out) override {
        return run(kListSigns, Args().bytes(key(sender)).integer(sent).integer(signedOnly ? 1 : 0))
            .collect(out);
    }

    bool ping() override {
        Result r = run(kPing, Args());
        return r.tuples() && r.rows() == 1;
    }

    bool exportAll(Snapshot* out) override {
        // One snapshot of the database for all tables.
        if (!exec("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY")) return false;
        bool ok = true;
        for (const auto& t : kTables) {
            (out->*t.rows).clear();
            if (!run(t.select, Args()).collect(&(out->*t.rows))) {
                ok = false;
                break;
            }
        }
        if (ok) ok = exec("COMMIT");
        if (!ok) rollback();
        return ok;
    }

    DbResult importAll(const Snapshot& in) override {
        if (!begin()) return DbResult::Error;
        // Nobody else writes to a store while a community moves in.
        if (!exec("LOCK TABLE accounts IN EXCLUSIVE MODE")) return finish(false);
        Result count = run(kCountAccounts, Args());
        if (!count.tuples()) return finish(false);
        if (count.integer(0, 0) != 0) {
            rollback();
            return DbResult::Conflict;
        }
        for (const auto& t : kTables) {
            std::string_view types = t.types;
            for (const auto& row : in.*t.rows) {
                if (row.size() != types.size()) return finish(false);
                Args a;
                for (int k : t.keyed)
                    a.bytes(key(row[static_cast<std::size_t>(k)]));
                for (std::size_t i = 0; i < row.size(); ++i) {
                    if (types[i] == 'I') {
                        a.integer(std::strtoll(row[i].c_str(), nullptr, 10));
                    } else {
                        a.bytes(row[i]);
                    }
                }
                if (!run(t.insert, a).command()) return finish(false);
            }
        }
        return finish(true);
    }

  private:
    DbResult changeOne(const Result& r) {
        if (!r.command()) return DbResult::Error;
        return r.changed() == 1 ? DbResult::Ok : DbResult::NotFound;
    }

    bool exec(const char* sql) {
        Result r(PQexec(conn_, sql));
        if (!r.command() && !r.tuples()) {
            healIfLost();
            return false;
        }
        return true;
    }
    bool begin() { return exec("BEGIN"); }
    void rollback() { exec("ROLLBACK"); }
    DbResult finish(bool ok) {
        if (ok && exec("COMMIT")) return DbResult::Ok;
        rollback();
        return DbResult::Error;
    }

    // A broken connection is opened again for the next request; this one has failed already.
    void healIfLost() {
        if (PQstatus(conn_) == CONNECTION_BAD) {
            PQreset(conn_);
            prepared_.clear();
        }
    }

    Result run(const Statement& st, const Args& args) {
        if (!prepared_.count(st.name)) {
            std::vector<Oid> types;
            for (const char* t = st.types; *t; ++t)
                types.push_back(*t == 'I' ? kInt8Oid : kByteaOid);
            Result p(
                PQprepare(conn_, st.name, st.sql, static_cast<int>(types.size()), types.data()));
            if (!p.command()) {
                healIfLost();
                return Result(nullptr);
            }
            prepared_.insert(st.name);
        }
        const auto& v = args.values();
        std::vector<const char*> values;
        std::vector<int> lengths;
        std::vector<int> formats(v.size(), 1);
        for (const auto& s : v) {
            values.push_back(s.data());
            lengths.push_back(static_cast<int>(s.size()));
        }
        Result r(PQexecPrepared(conn_, st.name, static_cast<int>(v.size()), values.data(),
                                lengths.data(), formats.data(), 1));
        if (!r.command() && !r.tuples()) healIfLost();
        return r;
    }

    PGconn* conn_;
    std::shared_ptr<AddressCache> cache_;
    std::unordered_set<std::string> prepared_;
};

bool PostgresStore::upgradeSchema(std::string* error) {
    auto fail = [&] {
        if (error) *error = PQerrorMessage(conn_);
        rollback();
        return false;
    };
    if (!exec("SET client_min_messages = warning")) return fail();
    if (!begin() || !exec(kSchemaLock)) return fail();
    if (!exec("CREATE TABLE IF NOT EXISTS orv_schema(version integer NOT NULL)")) return fail();
    Result r(PQexec(conn_, "SELECT version FROM orv_schema"));
    if (!r.tuples()) return fail();
    int version = r.rows() > 0 ? static_cast<int>(r.integer(0, 0)) : 0;
    if (version > kSchemaVersion) {
        if (error) *error = "the database's schema is newer than this program";
        rollback();
        return false;
    }
    // PostgreSQL support began at version 2; later versions add their steps here.
    if (version < 2 && !exec(kSchemaV2)) return fail();
    // Version 3: whether the current login is reached through a relay.
    if (version < 3 &&
        !exec("ALTER TABLE accounts ADD COLUMN through_relay bigint NOT NULL DEFAULT 0")) {
        return fail();
    }
    if (version == 0) {
        std::string insert =
            "INSERT INTO orv_schema VALUES(" + std::to_string(kSchemaVersion) + ")";
        if (!exec(insert.c_str())) return fail();
    } else if (version < kSchemaVersion) {
        std::string update = "UPDATE orv_schema SET version = " + std::to_string(kSchemaVersion);
        if (!exec(update.c_str())) return fail();
    }
    if (!exec("COMMIT")) return fail();
    return true;
}

void quietNotices(void*, const char*) {}

}  // namespace

std::shared_ptr<AddressCache> startAddressCache(const std::string& uri) {
    return std::make_shared<AddressCache>(uri);
}

std::unique_ptr<Store> openPostgresStore(const std::string& uri, std::string* error,
                                         std::shared_ptr<AddressCache> cache) {
    PGconn* conn = PQconnectdb(uri.c_str());
    if (!conn || PQstatus(conn) != CONNECTION_OK) {
        if (error) *error = conn ? PQerrorMessage(conn) : "out of memory";
        PQfinish(conn);
        return nullptr;
    }
    PQsetNoticeProcessor(conn, quietNotices, nullptr);
    auto store = std::make_unique<PostgresStore>(conn, std::move(cache));
    if (!store->upgradeSchema(error)) return nullptr;
    return store;
}

}  // namespace orv::server
