#pragma once
// The directory's durable state in one SQLite file: accounts with their password hashes, login
// modes and current addresses; published groups and membership records; organisation co-members;
// sign records. One Store is one database connection and must be used by one thread at a time
// (StorePool hands them out). Names compare ignoring ASCII case and are stored as the bytes that
// arrived.
#include <sqlite3.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace orv::server {

enum class AccountMode : int { Normal = 0, Warn = 1, Relay = 2 };

struct Account {
    std::string name;  // as first registered
    std::string hash;
    AccountMode mode = AccountMode::Normal;
    std::string address;  // empty while logged out
};

enum class DbResult { Ok, NotFound, Conflict, Refused, Error };

using Rows = std::vector<std::vector<std::string>>;

// What a membership change does given the member's current state.
enum class Transition { Apply, Keep, Refuse };

class Store {
  public:
    static std::unique_ptr<Store> open(const std::string& path, std::string* error);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Accounts. findAccount() returns false only on a database failure.
    bool findAccount(std::string_view name, std::optional<Account>* out);
    DbResult createAccount(std::string_view name, std::string_view hash, std::string_view language,
                           AccountMode mode, int64_t now);
    // Replaces the hash only if it is still oldHash, so two concurrent changes cannot both win.
    DbResult replaceHash(std::string_view name, std::string_view oldHash, std::string_view newHash);
    DbResult setAddress(std::string_view name, std::string_view address);
    DbResult setMode(std::string_view name, AccountMode mode);
    // nullopt inside: no such account.
    bool lookupAddress(std::string_view name, std::optional<std::string>* out);
    bool listAccounts(Rows* out);  // name, mode, address

    // Groups: inserts or updates the group and makes sure its creator is a member.
    DbResult publishGroup(std::string_view creator, std::string_view name, std::string_view intro,
                          std::string_view language, int64_t reportedMembers, int64_t now);
    // Removes the group and every membership record of it.
    DbResult deleteGroup(std::string_view creator, std::string_view name);
    // Asks decide(current state, nullopt without a record) and applies, keeps (Ok, unchanged)
    // or refuses (Refused) the new state, all in one transaction.
    DbResult changeMembership(std::string_view creator, std::string_view group,
                              std::string_view member, int state,
                              const std::function<Transition(std::optional<int>)>& decide,
                              int64_t now);
    bool listMemberships(std::string_view member, Rows* out);  // creator, group, state
    // group, member, state; an empty group lists every group of the creator.
    bool listGroupMembers(std::string_view creator, std::string_view group, Rows* out);
    // creator, name, intro, language, member count; in random order, at most `limit` rows.
    bool listPublicGroups(std::string_view language, int limit, Rows* out);

    // Organisation co-members, keyed by the organisation prefix ("acme/").
    DbResult addOrgMember(std::string_view org, std::string_view member, int64_t number, int kind);
    DbResult removeOrgMember(std::string_view org, std::string_view member);
    bool listOrgMembers(std::string_view org, Rows* out);  // member, number, kind

    // Sign records, one per (sender, recipient, mail time).
    DbResult recordSign(std::string_view sender, std::string_view recipient, int64_t sent,
                        std::string_view attach, std::string_view message, std::string_view extra);
    DbResult markSigned(std::string_view sender, std::string_view recipient, int64_t sent,
                        int64_t signedAt, std::string_view opinion);
    DbResult deleteSign(std::string_view sender, std::string_view recipient, int64_t sent);
    // sender, recipient, attach, message, opinion, extra, sent, signed; sent 0 lists all mails.
    bool listSigns(std::string_view sender, int64_t sent, bool signedOnly, Rows* out);

  private:
    explicit Store(sqlite3* db) : db_(db) {}
    sqlite3_stmt* prepare(const char* sql);
    bool exec(const char* sql);

    sqlite3* db_;
    std::unordered_map<const char*, sqlite3_stmt*> statements_;
};

// A fixed set of connections shared by the server's threads.
class StorePool {
  public:
    static std::unique_ptr<StorePool> open(const std::string& path, int size, std::string* error);

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

    std::mutex mutex_;
    std::condition_variable available_;
    std::vector<std::unique_ptr<Store>> free_;
};

}  // namespace orv::server
