#include "core/file_time.h"

#include <sys/stat.h>

namespace orv {

int64_t fileTimeFromUnix(int64_t seconds, int64_t nanoseconds) {
    return kFileTimeUnixEpoch + seconds * 10'000'000LL + nanoseconds / 100;
}

int64_t fileTimeOf(const std::string& path) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0) return 0;
    return fileTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
}

}  // namespace orv
