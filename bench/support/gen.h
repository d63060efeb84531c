#pragma once
// A small deterministic generator, so every run of a benchmark builds the same tables.
#include <cstdint>

namespace orv::bench {

struct Gen {
    uint64_t s = 0x9E3779B97F4A7C15ull;
    uint32_t next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return static_cast<uint32_t>(s >> 11);
    }
    int below(int n) { return static_cast<int>(next() % static_cast<uint32_t>(n)); }
};

}  // namespace orv::bench
