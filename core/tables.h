#pragma once
// The two container kinds every table is made of: a pool of NUL-terminated strings and an
// array of fixed-size records. Both keep the byte image that the state file stores, and both
// follow one growth rule (a fresh table reserves 2048 elements, later growth doubles).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace orv {

// New capacity for a table that must hold `needed` elements (same rule for every table).
inline size_t grownCapacity(size_t capacity, size_t needed) {
    if (needed <= capacity) return capacity;
    if (capacity > 0) return needed > capacity * 2 ? needed : capacity * 2;
    return needed <= 2048 ? 2048 : needed;
}

// ASCII case folding: names of users, groups and paths compare ignoring case.
bool equalsIgnoreCase(std::string_view a, std::string_view b);
bool startsWithIgnoreCase(std::string_view s, std::string_view prefix);
std::string toLowerAscii(std::string_view s);

// Strings stored back to back, each with its terminator; an empty string still counts.
// An offset index beside the bytes makes string i a constant-time lookup.
class StringPool {
  public:
    int count() const { return static_cast<int>(starts_.size()); }
    bool empty() const { return starts_.empty(); }
    // String i, or nullptr when i is outside the pool.
    const char* at(int i) const {
        if (i < 0 || i >= count()) return nullptr;
        return bytes_.data() + starts_[static_cast<size_t>(i)];
    }
    // String i as a view; empty when i is outside the pool.
    std::string_view view(int i) const;
    std::string str(int i) const { return std::string(view(i)); }
    int find(std::string_view s) const;         // first equal ignoring case, or -1
    void append(std::string_view s);            // stops at an embedded NUL, as a C string would
    int remove(std::string_view s);             // first equal ignoring case; former index or -1
    int removeAt(int i);                        // i, or -1 when out of range
    void replaceAt(int i, std::string_view s);  // pads with empty strings up to i
    void clear();
    // Keeps string i where keep[i] is true, in order, in one pass; strings past the end of
    // keep are kept (parallel tables of a damaged file may differ in length).
    void retain(const std::vector<char>& keep);

    size_t byteCount() const { return bytes_.size(); }
    const char* data() const { return bytes_.data(); }
    size_t capacity() const { return capacity_; }
    // Takes a stored image. A final string without its terminator is completed.
    void assignBytes(const char* data, size_t n);
    // Makes room for n bytes by the growth rule (callers grow before appending).
    void reserveBytes(size_t n);
    uint64_t generation() const { return generation_; }

    std::vector<std::string> toVector() const;

  private:
    void rebuildIndex();
    std::vector<char> bytes_;
    std::vector<uint32_t> starts_;
    size_t capacity_ = 0;
    uint64_t generation_ = 0;
};

// Fixed-size trivially copyable records, stored verbatim.
template <typename T>
class RecordArray {
    static_assert(std::is_trivially_copyable_v<T>);

  public:
    int count() const { return static_cast<int>(rows_.size()); }
    bool empty() const { return rows_.empty(); }
    T& operator[](int i) { return rows_[static_cast<size_t>(i)]; }
    const T& operator[](int i) const { return rows_[static_cast<size_t>(i)]; }
    T* begin() { return rows_.data(); }
    T* end() { return rows_.data() + rows_.size(); }
    const T* begin() const { return rows_.data(); }
    const T* end() const { return rows_.data() + rows_.size(); }
    const T* data() const { return rows_.data(); }
    size_t capacity() const { return capacity_; }

    void reserveCount(size_t n) {
        size_t c = grownCapacity(capacity_, n);
        if (c != capacity_) {
            rows_.reserve(c);
            capacity_ = c;
        }
    }
    int append(const T& r) {
        reserveCount(rows_.size() + 1);
        rows_.push_back(r);
        ++generation_;
        return count() - 1;
    }
    void removeAt(int i) {
        if (i < 0 || i >= count()) return;
        rows_.erase(rows_.begin() + i);
        ++generation_;
    }
    void clear() {
        rows_.clear();
        ++generation_;
    }
    void resize(size_t n) {
        reserveCount(n);
        rows_.resize(n);
        ++generation_;
    }
    // Keeps row r where keep[r] is true; rows past the end of keep are kept.
    void retain(const std::vector<char>& keep) {
        size_t w = 0;
        for (size_t r = 0; r < rows_.size(); ++r) {
            if (r >= keep.size() || keep[r]) rows_[w++] = rows_[r];
        }
        rows_.resize(w);
        ++generation_;
    }
    // Takes n stored records from raw bytes.
    void assignBytes(const void* data, size_t n) {
        rows_.clear();
        reserveCount(n);
        rows_.resize(n);
        if (n) std::memcpy(rows_.data(), data, n * sizeof(T));
        ++generation_;
    }
    uint64_t generation() const { return generation_; }

  private:
    std::vector<T> rows_;
    size_t capacity_ = 0;
    uint64_t generation_ = 0;
};

}  // namespace orv
