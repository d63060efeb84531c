#include "core/format.h"

#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <ctime>

namespace orv {

std::string FormatSize(uint64_t bytes) {
    if (bytes == UINT64_MAX) return " ";
    // Every row of a mail list has one: written without printf.
    char buf[32];
    const char* unit = " Byte";
    uint64_t whole = bytes;
    int digit = -1;
    if (bytes > 1048576) {
        whole = bytes / 1048576;
        digit = static_cast<int>((bytes % 1048576) / 105472);
        unit = "MB";
    } else if (bytes > 1024) {
        whole = bytes / 1024;
        digit = static_cast<int>((bytes % 1024) / 103);
        unit = "KB";
    }
    char* p = std::to_chars(buf, buf + 24, whole).ptr;
    if (digit >= 0) {
        *p++ = '.';
        *p++ = static_cast<char>('0' + digit);
    }
    std::string out(buf, p);
    out.append(unit);
    return out;
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
