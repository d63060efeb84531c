#pragma once
// A contiguous byte queue: appended at the back, consumed at the front. Used for each
// connection's input (filled by large reads, parsed in place) and output (frames appended,
// written in large batches). Storage is not zero-filled and grows only for bytes that are
// actually added.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace orv {

class ByteQueue {
  public:
    ByteQueue() = default;
    ByteQueue(ByteQueue&& o) noexcept
        : buf_(std::move(o.buf_)), cap_(o.cap_), begin_(o.begin_), end_(o.end_) {
        o.cap_ = o.begin_ = o.end_ = 0;
    }
    ByteQueue& operator=(ByteQueue&& o) noexcept {
        if (this != &o) {
            buf_ = std::move(o.buf_);
            cap_ = o.cap_;
            begin_ = o.begin_;
            end_ = o.end_;
            o.cap_ = o.begin_ = o.end_ = 0;
        }
        return *this;
    }
    ByteQueue(const ByteQueue&) = delete;
    ByteQueue& operator=(const ByteQueue&) = delete;

    size_t size() const { return end_ - begin_; }
    bool empty() const { return end_ == begin_; }
    const uint8_t* data() const { return buf_.get() + begin_; }
    size_t capacity() const { return cap_; }

    void append(const void* p, size_t n) {
        if (n == 0) return;
        std::memcpy(prepare(n), p, n);
        end_ += n;
    }
    // Room for at least n more bytes at the back; write there, then commit what was written.
    uint8_t* prepare(size_t n);
    void commit(size_t n) { end_ += n; }
    void consume(size_t n) {
        begin_ += n < size() ? n : size();
        if (begin_ == end_) begin_ = end_ = 0;
    }
    void clear() { begin_ = end_ = 0; }
    // Frees the storage.
    void release() {
        buf_.reset();
        cap_ = begin_ = end_ = 0;
    }

  private:
    std::unique_ptr<uint8_t[]> buf_;
    size_t cap_ = 0;
    size_t begin_ = 0;
    size_t end_ = 0;
};

}  // namespace orv
