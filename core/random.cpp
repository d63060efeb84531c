#include "core/random.h"

#include <sys/random.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <fstream>

namespace orv {

uint64_t randomU64() {
    uint64_t v = 0;
    auto* p = reinterpret_cast<unsigned char*>(&v);
    size_t got = 0;
    while (got < sizeof v) {
        ssize_t n = getrandom(p + got, sizeof v - got, 0);
        if (n > 0) {
            got += static_cast<size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            // No getrandom: fall back to the device the same source feeds.
            std::ifstream dev("/dev/urandom", std::ios::binary);
            dev.read(reinterpret_cast<char*>(p), sizeof v);
            break;
        }
    }
    return v;
}

uint64_t newMailKey() {
    uint64_t k;
    do {
        k = randomU64();
    } while (k == 0);
    return k;
}

std::string randomHexName() {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%" PRIX64, randomU64());
    return buf;
}

}  // namespace orv
