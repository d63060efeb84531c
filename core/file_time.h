#pragma once
// File times as the records store them: 100 ns units since 1601 (the stored format), taken
// from the file's modification time.
#include <cstdint>
#include <string>

namespace orv {

constexpr int64_t kFileTimeUnixEpoch = 116444736000000000LL;

// Last-write time of the file at path, 0 when it cannot be read.
int64_t fileTimeOf(const std::string& path);
int64_t fileTimeFromUnix(int64_t seconds, int64_t nanoseconds);

}  // namespace orv
