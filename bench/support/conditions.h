#pragma once
// What every benchmark prints with its figures: the conditions the product and its yardstick
// (if it has one) ran under, and how busy the machine was, so that no figure is read without
// them.
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

inline void printLoadAtEnd() {
    std::printf("load average at the end: %s\n", loadAverage().c_str());
}

}  // namespace orv::bench
