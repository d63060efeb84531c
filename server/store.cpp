#include "server/store.h"

namespace orv::server {

std::optional<StoreSpec> parseStoreSpec(std::string_view text) {
    if (text.empty()) return std::nullopt;
    constexpr std::string_view kSqlite = "sqlite:";
    if (text.substr(0, kSqlite.size()) == kSqlite) {
        std::string_view path = text.substr(kSqlite.size());
        if (path.empty()) return std::nullopt;
        return StoreSpec{StoreSpec::Kind::Sqlite, std::string(path)};
    }
    if (text.substr(0, 13) == "postgresql://" || text.substr(0, 11) == "postgres://") {
        return StoreSpec{StoreSpec::Kind::Postgres, std::string(text)};
    }
    return StoreSpec{StoreSpec::Kind::Sqlite, std::string(text)};
}

std::unique_ptr<Store> openStore(const StoreSpec& spec, std::string* error) {
    if (spec.kind == StoreSpec::Kind::Postgres) return openPostgresStore(spec.target, error);
    return openSqliteStore(spec.target, error);
}

std::unique_ptr<StorePool> StorePool::open(const StoreSpec& spec, int size, std::string* error,
                                           bool cacheLookups) {
    auto pool = std::make_unique<StorePool>();
    bool postgres = spec.kind == StoreSpec::Kind::Postgres;
    if (postgres && cacheLookups) {
        // The schema is made, or found, before the listener needs it.
        if (!openPostgresStore(spec.target, error)) return nullptr;
        pool->cache_ = startAddressCache(spec.target);
    }
    for (int i = 0; i < (size < 1 ? 1 : size); ++i) {
        auto store = postgres ? openPostgresStore(spec.target, error, pool->cache_)
                              : openSqliteStore(spec.target, error);
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
