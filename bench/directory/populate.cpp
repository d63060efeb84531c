// Fills an empty directory database (any --db form) with N accounts u1..uN, all logged in, in one
// transaction through the store's import. Every account has the same password "pw" hashed once at
// the given cost, which costs a login as much as N separate hashes would.
//   bench_directory_populate DB N [HASH_MEMORY_KIB HASH_ITERATIONS]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "server/password.h"
#include "server/store.h"

int main(int argc, char** argv) {
    using namespace orv::server;
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s DB N [HASH_MEMORY_KIB HASH_ITERATIONS]\n", argv[0]);
        return 2;
    }
    auto where = parseStoreLocation(argv[1]);
    long n = std::atol(argv[2]);
    HashCost cost;
    if (argc >= 5) {
        cost.memoryKib = static_cast<uint32_t>(std::atol(argv[3]));
        cost.iterations = static_cast<uint32_t>(std::atol(argv[4]));
    }
    if (!where || n <= 0) return 2;
    std::string error;
    auto store = openStore(*where, &error);
    if (!store) {
        std::fprintf(stderr, "cannot open %s: %s\n", argv[1], error.c_str());
        return 1;
    }
    auto hash = PasswordHasher(cost).hash("pw");
    if (!hash) return 1;
    Snapshot s;
    s.accounts.reserve(static_cast<std::size_t>(n));
    for (long i = 1; i <= n; ++i) {
        std::string name = "u" + std::to_string(i);
        std::string address = "10." + std::to_string(i / 65536 % 256) + "." +
                              std::to_string(i / 256 % 256) + "." + std::to_string(i % 256) +
                              ":29998";
        s.accounts.push_back({name, *hash, "0", "c", address, "1700000000", "127.0.0.1"});
    }
    if (store->importAll(s) != DbResult::Ok) {
        std::fprintf(stderr, "import failed (the database must be empty)\n");
        return 1;
    }
    std::printf("%ld accounts\n", n);
    return 0;
}
