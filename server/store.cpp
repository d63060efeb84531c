#include "server/store.h"

namespace orv::server {

std::optional<StoreLocation> parseStoreLocation(std::string_view text) {
    if (text.empty()) return std::nullopt;
    constexpr std::string_view kSqlite = "sqlite:";
    if (text.substr(0, kSqlite.size()) == kSqlite) {
        std::string_view path = text.substr(kSqlite.size());
        if (path.empty()) return std::nullopt;
        return StoreLocation{StoreLocation::Kind::Sqlite, std::string(path)};
    }
    if (text.substr(0, 13) == "postgresql://" || text.substr(0, 11) == "postgres://") {
        return StoreLocation{StoreLocation::Kind::Postgres, std::string(text)};
    }
    return StoreLocation{StoreLocation::Kind::Sqlite, std::string(text)};
}

std::unique_ptr<Store> openStore(const StoreLocation& where, std::string* error) {
    if (where.kind == StoreLocation::Kind::Postgres) return openPostgresStore(where.target, error);
    return openSqliteStore(where.target, error);
}

std::unique_ptr<StorePool> StorePool::open(const StoreLocation& where, int size, std::string* error,
                                           bool cacheLookups) {
    auto pool = std::make_unique<StorePool>();
    bool postgres = where.kind == StoreLocation::Kind::Postgres;
    if (postgres && cacheLookups) {
        // The schema is made, or found, before the listener needs it.
        if (!openPostgresStore(where.target, error)) return nullptr;
        pool->cache_ = startAddressCache(where.target);
    }
    for (int i = 0; i < (size < 1 ? 1 : size); ++i) {
        auto store = postgres ? openPostgresStore(where.target, error, pool->cache_)
                              : openSqliteStore(where.target, error);
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
