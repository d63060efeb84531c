#pragma once
// What the copying benchmarks share around each timed copy: the state it starts from, and the
// check that what arrived is what was sent.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/support/conditions.h"

namespace orv::bench {

// Whether both files hold the same bytes.
inline bool sameContent(const std::string& a, const std::string& b) {
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    if (!fa || !fb) return false;
    std::vector<char> x(1 << 20), y(1 << 20);
    for (;;) {
        fa.read(x.data(), static_cast<std::streamsize>(x.size()));
        fb.read(y.data(), static_cast<std::streamsize>(y.size()));
        if (fa.gcount() != fb.gcount()) return false;
        if (fa.gcount() == 0) return fa.eof() && fb.eof();
        if (std::memcmp(x.data(), y.data(), static_cast<size_t>(fa.gcount())) != 0) return false;
    }
}

// The state every timed copy starts from: no destination, nothing waiting to be written back,
// the source (a file, or every file below a folder) in the page cache.
inline void prepare(const std::string& src, const std::string& dst) {
    namespace fs = std::filesystem;
    fs::remove_all(dst);
    dropPageCache();
    std::vector<char> buf(1 << 20);
    auto warm = [&](const std::string& p) {
        std::ifstream f(p, std::ios::binary);
        while (f.read(buf.data(), static_cast<std::streamsize>(buf.size())) || f.gcount() > 0) {
        }
    };
    if (fs::is_regular_file(src)) {
        warm(src);
        return;
    }
    for (auto& e : fs::recursive_directory_iterator(src))
        if (e.is_regular_file()) warm(e.path().string());
}

}  // namespace orv::bench
