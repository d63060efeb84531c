#include <sqlite3.h>

#include <cstdlib>
#include <string>
#include <unordered_map>

#include "server/store.h"

namespace orv::server {
namespace {

// Version 1: the first tables; version 2 adds the peer address of the current login; version 3
// whether the current login is reached through a relay.
constexpr const char* kSchemaV1 = R"sql(
CREATE TABLE accounts(
  name TEXT NOT NULL PRIMARY KEY COLLATE NOCASE,
  hash TEXT NOT NULL,
  mode INTEGER NOT NULL DEFAULT 0,
  language TEXT NOT NULL DEFAULT '',
  address TEXT NOT NULL DEFAULT '',
  created INTEGER NOT NULL DEFAULT 0);
CREATE TABLE dir_groups(
  creator TEXT NOT NULL COLLATE NOCASE,
  name TEXT NOT NULL COLLATE NOCASE,
  intro TEXT NOT NULL DEFAULT '',
  language TEXT NOT NULL DEFAULT '',
  public INTEGER NOT NULL DEFAULT 1,
  reported_members INTEGER NOT NULL DEFAULT 0,
  updated INTEGER NOT NULL DEFAULT 0,
  PRIMARY KEY(creator, name));
CREATE TABLE memberships(
  creator TEXT NOT NULL COLLATE NOCASE,
  grp TEXT NOT NULL COLLATE NOCASE,
  member TEXT NOT NULL COLLATE NOCASE,
  state INTEGER NOT NULL,
  updated INTEGER NOT NULL DEFAULT 0,
  PRIMARY KEY(creator, grp, member));
CREATE INDEX memberships_by_member ON memberships(member);
CREATE TABLE org_members(
  org TEXT NOT NULL COLLATE NOCASE,
  member TEXT NOT NULL COLLATE NOCASE,
  number INTEGER NOT NULL DEFAULT 0,
  kind INTEGER NOT NULL DEFAULT 0,
  PRIMARY KEY(org, member));
CREATE TABLE signs(
  id INTEGER PRIMARY KEY,
  sender TEXT NOT NULL COLLATE NOCASE,
  recipient TEXT NOT NULL COLLATE NOCASE,
  sent INTEGER NOT NULL,
  attach TEXT NOT NULL DEFAULT '',
  message TEXT NOT NULL DEFAULT '',
  opinion TEXT NOT NULL DEFAULT '',
  extra TEXT NOT NULL DEFAULT '',
  signed INTEGER NOT NULL DEFAULT 0,
  UNIQUE(sender, recipient, sent));
CREATE INDEX signs_by_mail ON signs(sender, sent);
)sql";
constexpr const char* kUpgradeTo2 =
    "ALTER TABLE accounts ADD COLUMN login_peer TEXT NOT NULL DEFAULT ''";
constexpr const char* kUpgradeTo3 =
    "ALTER TABLE accounts ADD COLUMN through_relay INTEGER NOT NULL DEFAULT 0";

// Binds texts and integers in order and resets the statement when it goes out of scope.
class Bound {
  public:
    explicit Bound(sqlite3_stmt* stmt) : stmt_(stmt) {}
    ~Bound() {
        if (stmt_) {
            sqlite3_reset(stmt_);
            sqlite3_clear_bindings(stmt_);
        }
    }
    Bound(const Bound&) = delete;
    Bound& operator=(const Bound&) = delete;

    bool valid() const { return stmt_ != nullptr; }
    Bound& text(std::string_view v) {
        if (stmt_) {
            sqlite3_bind_text(stmt_, ++index_, v.data(), static_cast<int>(v.size()),
                              SQLITE_TRANSIENT);
        }
        return *this;
    }
    Bound& integer(int64_t v) {
        if (stmt_) sqlite3_bind_int64(stmt_, ++index_, v);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE, or an error code.
    int step() { return stmt_ ? sqlite3_step(stmt_) : SQLITE_MISUSE; }
    std::string column(int i) const {
        const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, i));
        int n = sqlite3_column_bytes(stmt_, i);
        return p ? std::string(p, static_cast<std::size_t>(n)) : std::string{};
    }
    int64_t columnInt(int i) const { return sqlite3_column_int64(stmt_, i); }
    // Runs a statement that returns no rows.
    bool run() { return step() == SQLITE_DONE; }
    // Collects every row's columns as texts.
    bool collect(int columns, Rows* out) {
        int rc;
        while ((rc = step()) == SQLITE_ROW) {
            std::vector<std::string> row;
            row.reserve(static_cast<std::size_t>(columns));
            for (int i = 0; i < columns; ++i)
                row.push_back(column(i));
            out->push_back(std::move(row));
        }
        return rc == SQLITE_DONE;
    }

  private:
    sqlite3_stmt* stmt_;
    int index_ = 0;
};

class SqliteStore final : public Store {
  public:
    explicit SqliteStore(sqlite3* db) : db_(db) {}
    ~SqliteStore() override;
    bool upgradeSchema();

    bool findAccount(std::string_view name, std::optional<Account>* out) override;
    DbResult createAccount(std::string_view name, std::string_view hash, std::string_view language,
                           AccountMode mode, int64_t now) override;
    DbResult replaceHash(std::string_view name, std::string_view oldHash,
                         std::string_view newHash) override;
    DbResult setAddress(std::string_view name, std::string_view address, std::string_view loginPeer,
                        bool throughRelay) override;
    DbResult markThroughRelay(std::string_view name, std::string_view address) override;
    DbResult setMode(std::string_view name, AccountMode mode) override;
    bool lookupAddress(std::string_view name, std::optional<AddressEntry>* out) override;
    bool listAccounts(Rows* out) override;
    bool listRelays(Rows* out) override;
    DbResult publishGroup(std::string_view creator, std::string_view name, std::string_view intro,
                          std::string_view language, int64_t reportedMembers, int64_t now) override;
    DbResult deleteGroup(std::string_view creator, std::string_view name) override;
    DbResult changeMembership(std::string_view creator, std::string_view group,
                              std::string_view member, int state,
                              const std::function<Transition(std::optional<int>)>& decide,
                              int64_t now) override;
    bool listMemberships(std::string_view member, Rows* out) override;
    bool listGroupMembers(std::string_view creator, std::string_view group, Rows* out) override;
    bool listPublicGroups(std::string_view language, int limit, Rows* out) override;
    DbResult addOrgMember(std::string_view org, std::string_view member, int64_t number,
                          int kind) override;
    DbResult removeOrgMember(std::string_view org, std::string_view member) override;
    bool listOrgMembers(std::string_view org, Rows* out) override;
    DbResult recordSign(std::string_view sender, std::string_view recipient, int64_t sent,
                        std::string_view attach, std::string_view message,
                        std::string_view extra) override;
    DbResult markSigned(std::string_view sender, std::string_view recipient, int64_t sent,
                        int64_t signedAt, std::string_view opinion) override;
    DbResult deleteSign(std::string_view sender, std::string_view recipient, int64_t sent) override;
    bool listSigns(std::string_view sender, int64_t sent, bool signedOnly, Rows* out) override;
    bool ping() override;
    bool exportAll(Snapshot* out) override;
    DbResult importAll(const Snapshot& in) override;

  private:
    sqlite3_stmt* prepare(const char* sql);
    bool exec(const char* sql);

    sqlite3* db_;
    std::unordered_map<const char*, sqlite3_stmt*> statements_;
};

}  // namespace

std::unique_ptr<Store> openSqliteStore(const std::string& path, std::string* error) {
    sqlite3* db = nullptr;
    int rc =
        sqlite3_open_v2(path.c_str(), &db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        if (error) *error = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        sqlite3_close(db);
        return nullptr;
    }
    // Writers from other connections wait their turn instead of failing at once.
    sqlite3_busy_timeout(db, 10000);
    auto store = std::make_unique<SqliteStore>(db);
    if (!store->upgradeSchema()) {
        if (error) *error = sqlite3_errmsg(db);
        return nullptr;
    }
    return store;
}

SqliteStore::~SqliteStore() {
    for (auto& [sql, stmt] : statements_)
        sqlite3_finalize(stmt);
    sqlite3_close(db_);
}

bool SqliteStore::exec(const char* sql) {
    return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

sqlite3_stmt* SqliteStore::prepare(const char* sql) {
    auto it = statements_.find(sql);
    if (it != statements_.end()) return it->second;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
        return nullptr;
    }
    statements_.emplace(sql, stmt);
    return stmt;
}

// ---- accounts ----

bool SqliteStore::findAccount(std::string_view name, std::optional<Account>* out) {
    out->reset();
    Bound q(prepare("SELECT name, hash, mode, address, login_peer FROM accounts WHERE name = ?"));
    q.text(name);
    int rc = q.step();
    if (rc == SQLITE_DONE) return true;
    if (rc != SQLITE_ROW) return false;
    Account a;
    a.name = q.column(0);
    a.hash = q.column(1);
    int64_t mode = q.columnInt(2);
    a.mode = mode == 1 ? AccountMode::Warn : mode == 2 ? AccountMode::Relay : AccountMode::Normal;
    a.address = q.column(3);
    a.loginPeer = q.column(4);
    *out = std::move(a);
    return true;
}

DbResult SqliteStore::createAccount(std::string_view name, std::string_view hash,
                                    std::string_view language, AccountMode mode, int64_t now) {
    Bound q(
        prepare("INSERT INTO accounts(name, hash, mode, language, created) VALUES(?, ?, ?, ?, ?) "
                "ON CONFLICT(name) DO NOTHING"));
    q.text(name).text(hash).integer(static_cast<int>(mode)).text(language).integer(now);
    if (!q.run()) return DbResult::Error;
    return sqlite3_changes(db_) == 1 ? DbResult::Ok : DbResult::Conflict;
}

DbResult SqliteStore::replaceHash(std::string_view name, std::string_view oldHash,
                                  std::string_view newHash) {
    Bound q(prepare("UPDATE accounts SET hash = ? WHERE name = ? AND hash = ?"));
    q.text(newHash).text(name).text(oldHash);
    if (!q.run()) return DbResult::Error;
    return sqlite3_changes(db_) == 1 ? DbResult::Ok : DbResult::NotFound;
}

DbResult SqliteStore::setAddress(std::string_view name, std::string_view address,
                                 std::string_view loginPeer, bool throughRelay) {
    Bound q(prepare(
        "UPDATE accounts SET address = ?, login_peer = ?, through_relay = ? WHERE name = ?"));
    q.text(address).text(loginPeer).integer(throughRelay ? 1 : 0).text(name);
    if (!q.run()) return DbResult::Error;
    return sqlite3_changes(db_) == 1 ? DbResult::Ok : DbResult::NotFound;
}

DbResult SqliteStore::markThroughRelay(std::string_view name, std::string_view address) {
    Bound q(
        prepare("UPDATE accounts SET through_relay = 1 WHERE name = ? AND address = ? AND "
                "address <> ''"));
    q.text(name).text(address);
    if (!q.run()) return DbResult::Error;
    return sqlite3_changes(db_) == 1 ? DbResult::Ok : DbResult::NotFound;
}

DbResult SqliteStore::setMode(std::string_view name, AccountMode mode) {
    Bound q(prepare("UPDATE accounts SET mode = ? WHERE name = ?"));
    q.integer(static_cast<int>(mode)).text(name);
    if (!q.run()) return DbResult::Error;
    return sqlite3_changes(db_) == 1 ? DbResult::Ok : DbResult::NotFound;
}

bool SqliteStore::lookupAddress(std::string_view name, std::optional<AddressEntry>* out) {
    out->reset();
    Bound q(prepare("SELECT address, through_relay FROM accounts WHERE name = ?"));
    q.text(name);
    int rc = q.step();
    if (rc == SQLITE_ROW) *out = AddressEntry{q.column(0), q.columnInt(1) != 0};
    return rc == SQLITE_ROW || rc == SQLITE_DONE;
}

bool SqliteStore::listRelays(Rows* out) {
    Bound q(
        prepare("SELECT name, address FROM accounts WHERE mode = 2 AND address <> '' "
                "ORDER BY name"));
    return q.collect(2, out);
}

bool SqliteStore::listAccounts(Rows* out) {
    Bound q(prepare("SELECT name, mode, address FROM accounts ORDER BY name"));
    return q.collect(3, out);
}

// ---- groups ----

DbResult SqliteStore::publishGroup(std::string_view creator, std::string_view name,
                                   std::string_view intro, std::string_view language,
                                   int64_t reportedMembers, int64_t now) {
    if (!exec("BEGIN IMMEDIATE")) return DbResult::Error;
    bool ok;
    {
        Bound q(prepare(
            "INSERT INTO dir_groups(creator, name, intro, language, public, reported_members, "
            "updated) VALUES(?, ?, ?, ?, 1, ?, ?) ON CONFLICT(creator, name) DO UPDATE SET "
            "intro = excluded.intro, language = excluded.language, public = 1, "
            "reported_members = excluded.reported_members, updated = excluded.updated"));
        q.text(creator).text(name).text(intro).text(language).integer(reportedMembers).integer(now);
        ok = q.run();
    }
    if (ok) {
        // The creator always belongs to his own group.
        Bound m(prepare(
            "INSERT INTO memberships(creator, grp, member, state, updated) VALUES(?, ?, ?, 1, ?) "
            "ON CONFLICT(creator, grp, member) DO UPDATE SET state = 1, updated = "
            "excluded.updated"));
        m.text(creator).text(name).text(creator).integer(now);
        ok = m.run();
    }
    if (!ok || !exec("COMMIT")) {
        exec("ROLLBACK");
        return DbResult::Error;
    }
    return DbResult::Ok;
}

DbResult SqliteStore::deleteGroup(std::string_view creator, std::string_view name) {
    if (!exec("BEGIN IMMEDIATE")) return DbResult::Error;
    bool ok;
    {
        Bound q(prepare("DELETE FROM dir_groups WHERE creator = ? AND name = ?"));
        q.text(creator).text(name);
        ok = q.run();
    }
    if (ok) {
        Bound m(prepare("DELETE FROM memberships WHERE creator = ? AND grp = ?"));
        m.text(creator).text(name);
        ok = m.run();
    }
    if (!ok || !exec("COMMIT")) {
        exec("ROLLBACK");
        return DbResult::Error;
    }
    return DbResult::Ok;
}

DbResult SqliteStore::changeMembership(std::string_view creator, std::string_view group,
                                       std::string_view member, int state,
                                       const std::function<Transition(std::optional<int>)>& decide,
                                       int64_t now) {
    if (!exec("BEGIN IMMEDIATE")) return DbResult::Error;
    DbResult result = DbResult::Ok;
    Transition transition = Transition::Refuse;
    {
        Bound q(
            prepare("SELECT state FROM memberships WHERE creator = ? AND grp = ? AND member = ?"));
        q.text(creator).text(group).text(member);
        int rc = q.step();
        std::optional<int> current;
        if (rc == SQLITE_ROW) {
            current = static_cast<int>(q.columnInt(0));
        } else if (rc != SQLITE_DONE) {
            result = DbResult::Error;
        }
        if (result == DbResult::Ok) {
            transition = decide(current);
            if (transition == Transition::Refuse) result = DbResult::Refused;
        }
    }
    if (result == DbResult::Ok && transition == Transition::Apply) {
        // A published group's stored spelling wins over the one in the request.
        Bound m(prepare(
            "INSERT INTO memberships(creator, grp, member, state, updated) VALUES(?, "
            "COALESCE((SELECT name FROM dir_groups WHERE creator = ?1 AND name = ?2), ?2), ?, ?, "
            "?) ON CONFLICT(creator, grp, member) DO UPDATE SET state = excluded.state, "
            "updated = excluded.updated"));
        m.text(creator).text(group).text(member).integer(state).integer(now);
        if (!m.run()) result = DbResult::Error;
    }
    if (result != DbResult::Ok) {
        exec("ROLLBACK");
        return result;
    }
    if (!exec("COMMIT")) {
        exec("ROLLBACK");
        return DbResult::Error;
    }
    return DbResult::Ok;
}

bool SqliteStore::listMemberships(std::string_view member, Rows* out) {
    Bound q(prepare(
        "SELECT creator, grp, state FROM memberships WHERE member = ? ORDER BY creator, grp"));
    q.text(member);
    return q.collect(3, out);
}

bool SqliteStore::listGroupMembers(std::string_view creator, std::string_view group, Rows* out) {
    if (group.empty()) {
        Bound q(prepare(
            "SELECT grp, member, state FROM memberships WHERE creator = ? ORDER BY grp, member"));
        q.text(creator);
        return q.collect(3, out);
    }
    Bound q(
        prepare("SELECT grp, member, state FROM memberships WHERE creator = ? AND grp = ? ORDER BY "
                "member"));
    q.text(creator).text(group);
    return q.collect(3, out);
}

bool SqliteStore::listPublicGroups(std::string_view language, int limit, Rows* out) {
    Bound q(prepare(
        "SELECT g.creator, g.name, g.intro, g.language, (SELECT COUNT(*) FROM memberships m "
        "WHERE m.creator = g.creator AND m.grp = g.name AND m.state = 1) FROM dir_groups g "
        "WHERE g.public = 1 AND (?1 = '' OR g.language = ?1) ORDER BY random() LIMIT ?2"));
    q.text(language).integer(limit);
    return q.collect(5, out);
}

// ---- organisations ----

DbResult SqliteStore::addOrgMember(std::string_view org, std::string_view member, int64_t number,
                                   int kind) {
    Bound q(prepare(
        "INSERT INTO org_members(org, member, number, kind) VALUES(?, ?, ?, ?) "
        "ON CONFLICT(org, member) DO UPDATE SET number = excluded.number, kind = excluded.kind"));
    q.text(org).text(member).integer(number).integer(kind);
    return q.run() ? DbResult::Ok : DbResult::Error;
}

DbResult SqliteStore::removeOrgMember(std::string_view org, std::string_view member) {
    Bound q(prepare("DELETE FROM org_members WHERE org = ? AND member = ?"));
    q.text(org).text(member);
    if (!q.run()) return DbResult::Error;
    return sqlite3_changes(db_) == 1 ? DbResult::Ok : DbResult::NotFound;
}

bool SqliteStore::listOrgMembers(std::string_view org, Rows* out) {
    Bound q(prepare(
        "SELECT member, number, kind FROM org_members WHERE org = ? ORDER BY number, member"));
    q.text(org);
    return q.collect(3, out);
}

// ---- signs ----

DbResult SqliteStore::recordSign(std::string_view sender, std::string_view recipient, int64_t sent,
                                 std::string_view attach, std::string_view message,
                                 std::string_view extra) {
    // A repeated request for the same mail refreshes the texts but keeps a signature given.
    Bound q(
        prepare("INSERT INTO signs(sender, recipient, sent, attach, message, extra) "
                "VALUES(?, ?, ?, ?, ?, ?) ON CONFLICT(sender, recipient, sent) DO UPDATE SET "
                "attach = excluded.attach, message = excluded.message, extra = excluded.extra"));
    q.text(sender).text(recipient).integer(sent).text(attach).text(message).text(extra);
    return q.run() ? DbResult::Ok : DbResult::Error;
}

DbResult SqliteStore::markSigned(std::string_view sender, std::string_view recipient, int64_t sent,
                                 int64_t signedAt, std::string_view opinion) {
    Bound q(
        prepare("UPDATE signs SET signed = ?, opinion = ? WHERE sender = ? AND recipient = ? AND "
                "sent = ?"));
    q.integer(signedAt).text(opinion).text(sender).text(recipient).integer(sent);
    if (!q.run()) return DbResult::Error;
    return sqlite3_changes(db_) == 1 ? DbResult::Ok : DbResult::NotFound;
}

DbResult SqliteStore::deleteSign(std::string_view sender, std::string_view recipient,
                                 int64_t sent) {
    Bound q(prepare("DELETE FROM signs WHERE sender = ? AND recipient = ? AND sent = ?"));
    q.text(sender).text(recipient).integer(sent);
    if (!q.run()) return DbResult::Error;
    return sqlite3_changes(db_) == 1 ? DbResult::Ok : DbResult::NotFound;
}

bool SqliteStore::listSigns(std::string_view sender, int64_t sent, bool signedOnly, Rows* out) {
    Bound q(prepare(
        "SELECT sender, recipient, attach, message, opinion, extra, sent, signed FROM signs "
        "WHERE sender = ?1 AND (?2 = 0 OR sent = ?2) AND (?3 = 0 OR signed <> 0) "
        "ORDER BY sent, id"));
    q.text(sender).integer(sent).integer(signedOnly ? 1 : 0);
    return q.collect(8, out);
}

// ---- schema, health, moving ----

bool SqliteStore::upgradeSchema() {
    if (!exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;")) return false;
    // The pool's connections open one after another, and another process may open the same file:
    // the write lock makes exactly one of them upgrade, the others find the new version.
    if (!exec("BEGIN IMMEDIATE")) return false;
    int version = -1;
    {
        Bound q(prepare("PRAGMA user_version"));
        if (q.step() == SQLITE_ROW) version = static_cast<int>(q.columnInt(0));
    }
    bool ok = version >= 0 && version <= kSchemaVersion;
    if (ok && version < 1) ok = exec(kSchemaV1);
    if (ok && version < 2) ok = exec(kUpgradeTo2);
    if (ok && version < 3) ok = exec(kUpgradeTo3);
    if (ok && version < kSchemaVersion) {
        ok = exec(("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
    }
    if (!ok || !exec("COMMIT")) {
        exec("ROLLBACK");
        return false;
    }
    return true;
}

bool SqliteStore::ping() {
    Bound q(prepare("SELECT 1"));
    return q.step() == SQLITE_ROW;
}

namespace {

struct TableCopy {
    Rows Snapshot::*rows;
    const char* select;
    const char* insert;
    const char* types;  // one letter per column: T text, I integer
};

const TableCopy kTables[] = {
    {&Snapshot::accounts,
     "SELECT name, hash, mode, language, address, created, login_peer FROM accounts ORDER BY name",
     "INSERT INTO accounts(name, hash, mode, language, address, created, login_peer) "
     "VALUES(?, ?, ?, ?, ?, ?, ?)",
     "TTITTIT"},
    {&Snapshot::groups,
     "SELECT creator, name, intro, language, public, reported_members, updated FROM dir_groups "
     "ORDER BY creator, name",
     "INSERT INTO dir_groups(creator, name, intro, language, public, reported_members, updated) "
     "VALUES(?, ?, ?, ?, ?, ?, ?)",
     "TTTTIII"},
    {&Snapshot::memberships,
     "SELECT creator, grp, member, state, updated FROM memberships ORDER BY creator, grp, member",
     "INSERT INTO memberships(creator, grp, member, state, updated) VALUES(?, ?, ?, ?, ?)",
     "TTTII"},
    {&Snapshot::orgMembers,
     "SELECT org, member, number, kind FROM org_members ORDER BY org, member",
     "INSERT INTO org_members(org, member, number, kind) VALUES(?, ?, ?, ?)", "TTII"},
    {&Snapshot::signs,
     "SELECT sender, recipient, sent, attach, message, opinion, extra, signed FROM signs "
     "ORDER BY id",
     "INSERT INTO signs(sender, recipient, sent, attach, message, opinion, extra, signed) "
     "VALUES(?, ?, ?, ?, ?, ?, ?, ?)",
     "TTITTTTI"},
};

}  // namespace

bool SqliteStore::exportAll(Snapshot* out) {
    // One read transaction: the copy is one moment of the database.
    if (!exec("BEGIN")) return false;
    bool ok = true;
    for (const auto& t : kTables) {
        Bound q(prepare(t.select));
        (out->*t.rows).clear();
        if (!q.collect(static_cast<int>(std::char_traits<char>::length(t.types)),
                       &(out->*t.rows))) {
            ok = false;
            break;
        }
    }
    exec(ok ? "COMMIT" : "ROLLBACK");
    return ok;
}

DbResult SqliteStore::importAll(const Snapshot& in) {
    if (!exec("BEGIN IMMEDIATE")) return DbResult::Error;
    DbResult result = DbResult::Ok;
    {
        Bound q(prepare("SELECT COUNT(*) FROM accounts"));
        if (q.step() != SQLITE_ROW) {
            result = DbResult::Error;
        } else if (q.columnInt(0) != 0) {
            result = DbResult::Conflict;
        }
    }
    for (const auto& t : kTables) {
        if (result != DbResult::Ok) break;
        std::string_view types = t.types;
        for (const auto& row : in.*t.rows) {
            if (row.size() != types.size()) {
                result = DbResult::Error;
                break;
            }
            Bound q(prepare(t.insert));
            for (std::size_t i = 0; i < row.size(); ++i) {
                if (types[i] == 'I') {
                    q.integer(std::strtoll(row[i].c_str(), nullptr, 10));
                } else {
                    q.text(row[i]);
                }
            }
            if (!q.run()) {
                result = DbResult::Error;
                break;
            }
        }
    }
    if (result != DbResult::Ok || !exec("COMMIT")) {
        exec("ROLLBACK");
        return result == DbResult::Ok ? DbResult::Error : result;
    }
    return DbResult::Ok;
}

}  // namespace orv::server
