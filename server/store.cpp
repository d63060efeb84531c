#include "server/store.h"

namespace orv::server {
namespace {

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS accounts(
  name TEXT NOT NULL PRIMARY KEY COLLATE NOCASE,
  hash TEXT NOT NULL,
  mode INTEGER NOT NULL DEFAULT 0,
  language TEXT NOT NULL DEFAULT '',
  address TEXT NOT NULL DEFAULT '',
  created INTEGER NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS dir_groups(
  creator TEXT NOT NULL COLLATE NOCASE,
  name TEXT NOT NULL COLLATE NOCASE,
  intro TEXT NOT NULL DEFAULT '',
  language TEXT NOT NULL DEFAULT '',
  public INTEGER NOT NULL DEFAULT 1,
  reported_members INTEGER NOT NULL DEFAULT 0,
  updated INTEGER NOT NULL DEFAULT 0,
  PRIMARY KEY(creator, name));
CREATE TABLE IF NOT EXISTS memberships(
  creator TEXT NOT NULL COLLATE NOCASE,
  grp TEXT NOT NULL COLLATE NOCASE,
  member TEXT NOT NULL COLLATE NOCASE,
  state INTEGER NOT NULL,
  updated INTEGER NOT NULL DEFAULT 0,
  PRIMARY KEY(creator, grp, member));
CREATE INDEX IF NOT EXISTS memberships_by_member ON memberships(member);
CREATE TABLE IF NOT EXISTS org_members(
  org TEXT NOT NULL COLLATE NOCASE,
  member TEXT NOT NULL COLLATE NOCASE,
  number INTEGER NOT NULL DEFAULT 0,
  kind INTEGER NOT NULL DEFAULT 0,
  PRIMARY KEY(org, member));
CREATE TABLE IF NOT EXISTS signs(
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
CREATE INDEX IF NOT EXISTS signs_by_mail ON signs(sender, sent);
PRAGMA user_version = 1;
)sql";

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

}  // namespace

std::unique_ptr<Store> Store::open(const std::string& path, std::string* error) {
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
    std::unique_ptr<Store> store(new Store(db));
    if (!store->exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;") ||
        !store->exec(kSchema)) {
        if (error) *error = sqlite3_errmsg(db);
        return nullptr;
    }
    return store;
}

Store::~Store() {
    for (auto& [sql, stmt] : statements_)
        sqlite3_finalize(stmt);
    sqlite3_close(db_);
}

bool Store::exec(const char* sql) {
    return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

sqlite3_stmt* Store::prepare(const char* sql) {
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

bool Store::findAccount(std::string_view name, std::optional<Account>* out) {
    out->reset();
    Bound q(prepare("SELECT name, hash, mode, address FROM accounts WHERE name = ?"));
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
    *out = std::move(a);
    return true;
}

DbResult Store::createAccount(std::string_view name, std::string_view hash,
                              std::string_view language, AccountMode mode, int64_t now) {
    Bound q(
        prepare("INSERT INTO accounts(name, hash, mode, language, created) VALUES(?, ?, ?, ?, ?) "
                "ON CONFLICT(name) DO NOTHING"));
    q.text(name).text(hash).integer(static_cast<int>(mode)).text(language).integer(now);
    if (!q.run()) return DbResult::Error;
    return sqlite3_changes(db_) == 1 ? DbResult::Ok : DbResult::Conflict;
}

DbResult Store::replaceHash(std::string_view name, std::string_view oldHash,
                            std::string_view newHash) {
    Bound q(prepare("UPDATE accounts SET hash = ? WHERE name = ? AND hash = ?"));
    q.text(newHash).text(name).text(oldHash);
    if (!q.run()) return DbResult::Error;
    return sqlite3_changes(db_) == 1 ? DbResult::Ok : DbResult::NotFound;
}

DbResult Store::setAddress(std::string_view name, std::string_view address) {
    Bound q(prepare("UPDATE accounts SET address = ? WHERE name = ?"));
    q.text(address).text(name);
    if (!q.run()) return DbResult::Error;
    return sqlite3_changes(db_) == 1 ? DbResult::Ok : DbResult::NotFound;
}

DbResult Store::setMode(std::string_view name, AccountMode mode) {
    Bound q(prepare("UPDATE accounts SET mode = ? WHERE name = ?"));
    q.integer(static_cast<int>(mode)).text(name);
    if (!q.run()) return DbResult::Error;
    return sqlite3_changes(db_) == 1 ? DbResult::Ok : DbResult::NotFound;
}

bool Store::lookupAddress(std::string_view name, std::optional<std::string>* out) {
    out->reset();
    Bound q(prepare("SELECT address FROM accounts WHERE name = ?"));
    q.text(name);
    int rc = q.step();
    if (rc == SQLITE_ROW) *out = q.column(0);
    return rc == SQLITE_ROW || rc == SQLITE_DONE;
}

bool Store::listAccounts(Rows* out) {
    Bound q(prepare("SELECT name, mode, address FROM accounts ORDER BY name"));
    return q.collect(3, out);
}

// ---- groups ----

DbResult Store::publishGroup(std::string_view creator, std::string_view name,
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

DbResult Store::deleteGroup(std::string_view creator, std::string_view name) {
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

DbResult Store::changeMembership(std::string_view creator, std::string_view group,
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

bool Store::listMemberships(std::string_view member, Rows* out) {
    Bound q(prepare(
        "SELECT creator, grp, state FROM memberships WHERE member = ? ORDER BY creator, grp"));
    q.text(member);
    return q.collect(3, out);
}

bool Store::listGroupMembers(std::string_view creator, std::string_view group, Rows* out) {
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

bool Store::listPublicGroups(std::string_view language, int limit, Rows* out) {
    Bound q(prepare(
        "SELECT g.creator, g.name, g.intro, g.language, (SELECT COUNT(*) FROM memberships m "
        "WHERE m.creator = g.creator AND m.grp = g.name AND m.state = 1) FROM dir_groups g "
        "WHERE g.public = 1 AND (?1 = '' OR g.language = ?1) ORDER BY random() LIMIT ?2"));
    q.text(language).integer(limit);
    return q.collect(5, out);
}

// ---- organisations ----

DbResult Store::addOrgMember(std::string_view org, std::string_view member, int64_t number,
                             int kind) {
    Bound q(prepare(
        "INSERT INTO org_members(org, member, number, kind) VALUES(?, ?, ?, ?) "
        "ON CONFLICT(org, member) DO UPDATE SET number = excluded.number, kind = excluded.kind"));
    q.text(org).text(member).integer(number).integer(kind);
    return q.run() ? DbResult::Ok : DbResult::Error;
}

DbResult Store::removeOrgMember(std::string_view org, std::string_view member) {
    Bound q(prepare("DELETE FROM org_members WHERE org = ? AND member = ?"));
    q.text(org).text(member);
    if (!q.run()) return DbResult::Error;
    return sqlite3_changes(db_) == 1 ? DbResult::Ok : DbResult::NotFound;
}

bool Store::listOrgMembers(std::string_view org, Rows* out) {
    Bound q(prepare(
        "SELECT member, number, kind FROM org_members WHERE org = ? ORDER BY number, member"));
    q.text(org);
    return q.collect(3, out);
}

// ---- signs ----

DbResult Store::recordSign(std::string_view sender, std::string_view recipient, int64_t sent,
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

DbResult Store::markSigned(std::string_view sender, std::string_view recipient, int64_t sent,
                           int64_t signedAt, std::string_view opinion) {
    Bound q(
        prepare("UPDATE signs SET signed = ?, opinion = ? WHERE sender = ? AND recipient = ? AND "
                "sent = ?"));
    q.integer(signedAt).text(opinion).text(sender).text(recipient).integer(sent);
    if (!q.run()) return DbResult::Error;
    return sqlite3_changes(db_) == 1 ? DbResult::Ok : DbResult::NotFound;
}

DbResult Store::deleteSign(std::string_view sender, std::string_view recipient, int64_t sent) {
    Bound q(prepare("DELETE FROM signs WHERE sender = ? AND recipient = ? AND sent = ?"));
    q.text(sender).text(recipient).integer(sent);
    if (!q.run()) return DbResult::Error;
    return sqlite3_changes(db_) == 1 ? DbResult::Ok : DbResult::NotFound;
}

bool Store::listSigns(std::string_view sender, int64_t sent, bool signedOnly, Rows* out) {
    Bound q(prepare(
        "SELECT sender, recipient, attach, message, opinion, extra, sent, signed FROM signs "
        "WHERE sender = ?1 AND (?2 = 0 OR sent = ?2) AND (?3 = 0 OR signed <> 0) "
        "ORDER BY sent, id"));
    q.text(sender).integer(sent).integer(signedOnly ? 1 : 0);
    return q.collect(8, out);
}

// ---- pool ----

std::unique_ptr<StorePool> StorePool::open(const std::string& path, int size, std::string* error) {
    auto pool = std::make_unique<StorePool>();
    for (int i = 0; i < (size < 1 ? 1 : size); ++i) {
        auto store = Store::open(path, error);
        if (!store) return nullptr;
        pool->free_.push_back(std::move(store));
    }
    return pool;
}

StorePool::Lease StorePool::take() {
    std::unique_lock lock(mutex_);
    available_.wait(lock, [this] { return !free_.empty(); });
    auto store = std::move(free_.back());
    free_.pop_back();
    return Lease(this, std::move(store));
}

void StorePool::giveBack(std::unique_ptr<Store> store) {
    {
        std::lock_guard lock(mutex_);
        free_.push_back(std::move(store));
    }
    available_.notify_one();
}

}  // namespace orv::server
