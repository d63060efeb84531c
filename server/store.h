#pragma once
// The directory's durable state: accounts with their password hashes, login modes, current
// addresses and the network address each current login came from; published groups and
// membership records; organisation co-members; sign records. Two stores keep it: SQLite, one
// file for one server process (the default), and PostgreSQL, one database shared by any number of
// server processes. Both give the same answers byte for byte. One Store is one database connection
// and must be used by one thread at a time (StorePool hands them out). Names compare ignoring
// ASCII case and are stored as the bytes that arrived.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orv::server {

enum class AccountMode : int { Normal = 0, Warn = 1, Relay = 2 };

struct Account {
    std::string name;  // as first registered
    std::string hash;
    AccountMode mode = AccountMode::Normal;
    std::string address;    // empty while logged out
    std::string loginPeer;  // network address the current login request came from
};

// What gethost.asp needs of a user: the announced address, and whether the current login is to
// be reached through a relay (its listener could not be reached, or its user asked for it).
struct AddressEntry {
    std::string address;  // empty while logged out
    bool throughRelay = false;
};

enum class DbResult { Ok, NotFound, Conflict, Refused, Error };

using Rows = std::vector<std::vector<std::string>>;

// What a membership change does given the member's current state.
enum class Transition { Apply, Keep, Refuse };

// Every row of every table, as texts in a fixed column order: what moves a community from one
// store to another.
struct Snapshot {
    Rows accounts;     // name, hash, mode, language, address, created, login_peer
    Rows groups;       // creator, name, intro, language, public, reported_members, updated
    Rows memberships;  // creator, grp, member, state, updated
    Rows orgMembers;   // org, member, number, kind
    Rows signs;  // sender, recipient, sent, attach, message, opinion, extra, signed; in id order
};

// The schema version both stores create or upgrade to when they open.
inline constexpr int kSchemaVersion = 3;

class Store {
  public:
    virtual ~Store() = default;

    // Accounts. findAccount() returns false only on a database failure.
    virtual bool findAccount(std::string_view name, std::optional<Account>* out) = 0;
    virtual DbResult createAccount(std::string_view name, std::string_view hash,
                                   std::string_view language, AccountMode mode, int64_t now) = 0;
    // Replaces the hash only if it is still oldHash, so two concurrent changes cannot both win.
    virtual DbResult replaceHash(std::string_view name, std::string_view oldHash,
                                 std::string_view newHash) = 0;
    // The announced address and the peer address of the login request; both empty at logout.
    // throughRelay marks the login as one to be reached through a relay.
    virtual DbResult setAddress(std::string_view name, std::string_view address,
                                std::string_view loginPeer, bool throughRelay) = 0;
    // Marks the login that announced `address` as one to be reached through a relay; NotFound
    // when the user has logged in again with another address or logged out meanwhile.
    virtual DbResult markThroughRelay(std::string_view name, std::string_view address) = 0;
    virtual DbResult setMode(std::string_view name, AccountMode mode) = 0;
    // nullopt inside: no such account.
    virtual bool lookupAddress(std::string_view name, std::optional<AddressEntry>* out) = 0;
    virtual bool listAccounts(Rows* out) = 0;  // name, mode, address
    // The relay accounts that are logged in: name, address; ordered by name ignoring case.
    virtual bool listRelays(Rows* out) = 0;

    // Groups: inserts or updates the group and makes sure its creator is a member.
    virtual DbResult publishGroup(std::string_view creator, std::string_view name,
                                  std::string_view intro, std::string_view language,
                                  int64_t reportedMembers, int64_t now) = 0;
    // Removes the group and every membership record of it.
    virtual DbResult deleteGroup(std::string_view creator, std::string_view name) = 0;
    // Asks decide(current state, nullopt without a record) and applies, keeps (Ok, unchanged)
    // or refuses (Refused) the new state, all in one transaction.
    virtual DbResult changeMembership(std::string_view creator, std::string_view group,
                                      std::string_view member, int state,
                                      const std::function<Transition(std::optional<int>)>& decide,
                                      int64_t now) = 0;
    virtual bool listMemberships(std::string_view member, Rows* out) = 0;  // creator, group, state
    // group, member, state; an empty group lists every group of the creator.
    virtual bool listGroupMembers(std::string_view creator, std::string_view group, Rows* out) = 0;
    // creator, name, intro, language, member count; in random order, at most `limit` rows.
    virtual bool listPublicGroups(std::string_view language, int limit, Rows* out) = 0;

    // Organisation co-members, keyed by the organisation prefix ("acme/").
    virtual DbResult addOrgMember(std::string_view org, std::string_view member, int64_t number,
                                  int kind) = 0;
    virtual DbResult removeOrgMember(std::string_view org, std::string_view member) = 0;
    virtual bool listOrgMembers(std::string_view org, Rows* out) = 0;  // member, number, kind

    // Sign records, one per (sender, recipient, mail time).
    virtual DbResult recordSign(std::string_view sender, std::string_view recipient, int64_t sent,
                                std::string_view attach, std::string_view message,
                                std::string_view extra) = 0;
    virtual DbResult markSigned(std::string_view sender, std::string_view recipient, int64_t sent,
                                int64_t signedAt, std::string_view opinion) = 0;
    virtual DbResult deleteSign(std::string_view sender, std::string_view recipient,
                                int64_t sent) = 0;
    // sender, recipient, attach, message, opinion, extra, sent, signed; sent 0 lists all mails.
    virtual bool listSigns(std::string_view sender, int64_t sent, bool signedOnly, Rows* out) = 0;

    // A trivial round trip: the readiness page's test that the database answers.
    virtual bool ping() = 0;
    virtual bool exportAll(Snapshot* out) = 0;
    // Loads a snapshot into an empty store in one transaction; Conflict when it holds accounts.
    virtual DbResult importAll(const Snapshot& in) = 0;
};

// Which store a "--db" value names: "sqlite:PATH", "postgresql://..." or "postgres://..." (a
// libpq connection URI), or a plain PATH, which is a SQLite file as it always was.
struct StoreLocation {
    enum class Kind { Sqlite, Postgres };
    Kind kind = Kind::Sqlite;
    std::string target;  // the file path, or the connection URI
};

std::optional<StoreLocation> parseStoreLocation(std::string_view text);

// Opens one connection, creating or upgrading the schema; nullptr with *error on failure.
std::unique_ptr<Store> openStore(const StoreLocation& where, std::string* error);
std::unique_ptr<Store> openSqliteStore(const std::string& path, std::string* error);
class AddressCache;
// The per-process address cache of the PostgreSQL store, with its listening connection.
std::shared_ptr<AddressCache> startAddressCache(const std::string& uri);
std::unique_ptr<Store> openPostgresStore(const std::string& uri, std::string* error,
                                         std::shared_ptr<AddressCache> cache = nullptr);

// A fixed set of connections shared by the server's threads. With cacheLookups, a PostgreSQL
// pool answers address lookups from memory while its listener hears every change (see
// AddressCache); SQLite reads are cheap enough to go to the file every time.
class StorePool {
  public:
    static std::unique_ptr<StorePool> open(const StoreLocation& where, int size, std::string* error,
                                           bool cacheLookups = false);

    class Lease {
      public:
        Lease(StorePool* pool, std::unique_ptr<Store> store)
            : pool_(pool), store_(std::move(store)) {}
        Lease(Lease&&) = default;
        ~Lease() {
            if (store_) pool_->giveBack(std::move(store_));
        }
        Store* operator->() const { return store_.get(); }
        Store& operator*() const { return *store_; }

      private:
        StorePool* pool_;
        std::unique_ptr<Store> store_;
    };

    Lease take();

  private:
    void giveBack(std::unique_ptr<Store> store);

    std::shared_ptr<AddressCache> cache_;  // before the stores, so it outlives them
    std::mutex mutex_;
    std::condition_variable available_;
    std::vector<std::unique_ptr<Store>> free_;
};

}  // namespace orv::server
