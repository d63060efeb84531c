#pragma once
// What every benchmark prints with its figures: the conditions the product and its yardstick
// (if it has one) ran under, and how busy the machine was, so that no figure is read without
// them.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <string>

namespace orv::bench {

// The 1-, 5- and 15-minute load averages.
inline std::string loadAverage() {
    std::ifstream f("/proc/loadavg");
    std::string a, b, c;
    if (!(f >> a >> b >> c)) return "unknown";
    return a + " " + b + " " + c;
}

// "conditions (load average ...):" and one line for each condition.
inline void printConditions(std::initializer_list<std::string> lines) {
    std::printf("conditions (load average %s):\n", loadAverage().c_str());
    for (const auto& l : lines)
        std::printf("  - %s\n", l.c_str());
    std::fflush(stdout);
}

// Syncs, then drops the clean page cache, so every timed copy starts from the same memory state:
// on this virtual machine the pages a deleted 1 GiB copy leaves behind come back slowly (several
// times the copy's own CPU time) to whichever copy writes next. Needs root; false otherwise.
inline bool dropPageCache() {
    ::sync();
    FILE* f = std::fopen("/proc/sys/vm/drop_caches", "w");
    if (!f) return false;
    bool ok = std::fputs("3", f) >= 0;
    return std::fclose(f) == 0 && ok;
}

inline std::string pageCacheCondition() {
    return dropPageCache() ? "before each copy: sync, the page cache dropped, the source read again"
                           : "the page cache could not be dropped (not root): a copy may pay for "
                             "the memory the previous one left";
}

inline void printLoadAtEnd() {
    std::printf("load average at the end: %s\n", loadAverage().c_str());
}

}  // namespace orv::bench
