#include "core/tables.h"

namespace orv {

namespace {
inline unsigned char lowerAscii(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c;
}
std::string_view cString(std::string_view s) {
    size_t z = s.find('\0');
    return z == std::string_view::npos ? s : s.substr(0, z);
}
}  // namespace

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (lowerAscii(static_cast<unsigned char>(a[i])) !=
            lowerAscii(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

bool startsWithIgnoreCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && equalsIgnoreCase(s.substr(0, prefix.size()), prefix);
}

std::string toLowerAscii(std::string_view s) {
    std::string r(s);
    for (auto& c : r)
        c = static_cast<char>(lowerAscii(static_cast<unsigned char>(c)));
    return r;
}

std::string_view StringPool::view(int i) const {
    const char* p = at(i);
    if (!p) return {};
    size_t start = starts_[static_cast<size_t>(i)];
    size_t end = (i + 1 < count()) ? starts_[static_cast<size_t>(i) + 1] : bytes_.size();
    return std::string_view(p, end - start - 1);
}

int StringPool::find(std::string_view s) const {
    s = cString(s);
    for (int i = 0; i < count(); ++i) {
        if (equalsIgnoreCase(view(i), s)) return i;
    }
    return -1;
}

void StringPool::reserveBytes(size_t n) {
    size_t c = grownCapacity(capacity_, n);
    if (c != capacity_) {
        bytes_.reserve(c);
        capacity_ = c;
    }
}

void StringPool::append(std::string_view s) {
    s = cString(s);
    reserveBytes(bytes_.size() + s.size() + 1);
    starts_.push_back(static_cast<uint32_t>(bytes_.size()));
    bytes_.insert(bytes_.end(), s.begin(), s.end());
    bytes_.push_back('\0');
    ++generation_;
}

int StringPool::removeAt(int i) {
    if (i < 0 || i >= count()) return -1;
    size_t start = starts_[static_cast<size_t>(i)];
    size_t len = view(i).size() + 1;
    bytes_.erase(bytes_.begin() + static_cast<ptrdiff_t>(start),
                 bytes_.begin() + static_cast<ptrdiff_t>(start + len));
    starts_.erase(starts_.begin() + i);
    for (size_t k = static_cast<size_t>(i); k < starts_.size(); ++k)
        starts_[k] -= static_cast<uint32_t>(len);
    ++generation_;
    return i;
}

int StringPool::remove(std::string_view s) {
    int i = find(s);
    return i < 0 ? -1 : removeAt(i);
}

void StringPool::replaceAt(int i, std::string_view s) {
    if (i < 0) return;
    s = cString(s);
    while (count() < i + 1)
        append("");
    size_t start = starts_[static_cast<size_t>(i)];
    size_t oldLen = view(i).size();
    reserveBytes(bytes_.size() - oldLen + s.size());
    bytes_.erase(bytes_.begin() + static_cast<ptrdiff_t>(start),
                 bytes_.begin() + static_cast<ptrdiff_t>(start + oldLen));
    bytes_.insert(bytes_.begin() + static_cast<ptrdiff_t>(start), s.begin(), s.end());
    int64_t delta = static_cast<int64_t>(s.size()) - static_cast<int64_t>(oldLen);
    for (size_t k = static_cast<size_t>(i) + 1; k < starts_.size(); ++k)
        starts_[k] = static_cast<uint32_t>(starts_[k] + delta);
    ++generation_;
}

void StringPool::clear() {
    bytes_.clear();
    starts_.clear();
    ++generation_;
}

void StringPool::retain(const std::vector<char>& keep) {
    size_t w = 0;
    size_t ws = 0;
    for (size_t i = 0; i < starts_.size(); ++i) {
        size_t start = starts_[i];
        size_t end = (i + 1 < starts_.size()) ? starts_[i + 1] : bytes_.size();
        if (i < keep.size() && !keep[i]) continue;
        if (w != start) std::memmove(bytes_.data() + w, bytes_.data() + start, end - start);
        starts_[ws++] = static_cast<uint32_t>(w);
        w += end - start;
    }
    bytes_.resize(w);
    starts_.resize(ws);
    ++generation_;
}

void StringPool::assignBytes(const char* data, size_t n) {
    bytes_.clear();
    reserveBytes(n + 1);
    bytes_.assign(data, data + n);
    if (!bytes_.empty() && bytes_.back() != '\0') bytes_.push_back('\0');
    rebuildIndex();
    ++generation_;
}

void StringPool::rebuildIndex() {
    starts_.clear();
    size_t off = 0;
    while (off < bytes_.size()) {
        starts_.push_back(static_cast<uint32_t>(off));
        const void* z = std::memchr(bytes_.data() + off, 0, bytes_.size() - off);
        off = static_cast<size_t>(static_cast<const char*>(z) - bytes_.data()) + 1;
    }
}

std::vector<std::string> StringPool::toVector() const {
    std::vector<std::string> v;
    v.reserve(starts_.size());
    for (int i = 0; i < count(); ++i)
        v.emplace_back(view(i));
    return v;
}

}  // namespace orv
