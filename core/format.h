#pragma once
// Byte counts, rates and times as the lists show them.
#include <cstdint>
#include <string>

namespace orv {

std::string FormatSize(uint64_t bytes);
std::string FormatRate(int64_t bytesPerSecond);
// Seconds since 1970 in local time: "YYYY-MM-DD  hh:mm".
std::string FormatTime(int64_t seconds);

}  // namespace orv
