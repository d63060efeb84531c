#pragma once
// What every timed copy of the transfer benchmarks shares: the same start state (destination
// removed, sync, source in the page cache), content comparison, CPU time from /proc, medians.
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "bench/support/copy_state.h"

namespace orv::bench {

using Steady = std::chrono::steady_clock;

inline double seconds(Steady::time_point a, Steady::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

// User plus system CPU seconds of a process so far.
inline double cpuSeconds(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    size_t p = s.rfind(')');
    if (p == std::string::npos) return 0;
    std::vector<std::string> fields;
    std::string cur;
    for (size_t i = p + 2; i < s.size(); ++i) {
        if (s[i] == ' ') {
            fields.push_back(cur);
            cur.clear();
        } else {
            cur += s[i];
        }
    }
    // Fields 14 and 15 of the file (utime, stime) are 12 and 13 after the command name.
    if (fields.size() < 13) return 0;
    double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    return (std::atof(fields[11].c_str()) + std::atof(fields[12].c_str())) / ticks;
}

inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

inline bool makeFile(const std::string& path, size_t mib) {
    std::ofstream f(path, std::ios::binary);
    std::mt19937_64 g(42);
    std::vector<uint64_t> block(1 << 17);  // 1 MiB
    for (size_t i = 0; i < mib; ++i) {
        for (auto& x : block)
            x = g();
        f.write(reinterpret_cast<const char*>(block.data()), block.size() * 8);
    }
    return static_cast<bool>(f);
}

// Seconds as text: milliseconds below one second.
inline std::string duration(double s) {
    char buf[32];
    if (s < 1)
        std::snprintf(buf, sizeof buf, "%.1f ms", s * 1000);
    else
        std::snprintf(buf, sizeof buf, "%.2f s", s);
    return buf;
}

}  // namespace orv::bench
