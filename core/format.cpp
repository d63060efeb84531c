#include "core/format.h"

#include <cinttypes>
#include <cstdio>
#include <ctime>

namespace orv {

std::string FormatSize(uint64_t bytes) {
    char buf[64];
    if (bytes == UINT64_MAX) return " ";
    if (bytes > 1048576) {
        std::snprintf(buf, sizeof buf, "%" PRIu64 ".%dMB", bytes / 1048576,
                      static_cast<int>((bytes % 1048576) / 105472));
    } else if (bytes > 1024) {
        std::snprintf(buf, sizeof buf, "%" PRIu64 ".%dKB", bytes / 1024,
                      static_cast<int>((bytes % 1024) / 103));
    } else {
        std::snprintf(buf, sizeof buf, "%" PRIu64 " Byte", bytes);
    }
    return buf;
}

std::string FormatRate(int64_t bytesPerSecond) {
    char buf[64];
    int64_t v = bytesPerSecond < 0 ? 0 : bytesPerSecond;
    if (v >= 1048576) {
        std::snprintf(buf, sizeof buf, "%" PRId64 ".%dMB/s", v / 1048576,
                      static_cast<int>((v % 1048576) / 105472));
    } else {
        std::snprintf(buf, sizeof buf, "%" PRId64 ".%dKB/s", v / 1024,
                      static_cast<int>((v % 1024) / 103));
    }
    return buf;
}

std::string FormatTime(int64_t seconds) {
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%02d-%02d-%02d  %02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min);
    return buf;
}

}  // namespace orv
