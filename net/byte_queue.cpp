#include "net/byte_queue.h"

namespace orv {

uint8_t* ByteQueue::prepare(size_t n) {
    if (cap_ - end_ >= n) return buf_.get() + end_;
    size_t live = size();
    if (cap_ >= live + n && begin_ >= live) {
        // Enough room once the live bytes move to the front, and they are few compared with
        // what was consumed: moving them is cheaper than growing.
        std::memmove(buf_.get(), buf_.get() + begin_, live);
        begin_ = 0;
        end_ = live;
        return buf_.get() + end_;
    }
    size_t want = live + n;
    size_t cap = cap_ ? cap_ : 4096;
    while (cap < want)
        cap *= 2;
    std::unique_ptr<uint8_t[]> fresh(new uint8_t[cap]);
    if (live) std::memcpy(fresh.get(), buf_.get() + begin_, live);
    buf_ = std::move(fresh);
    cap_ = cap;
    begin_ = 0;
    end_ = live;
    return buf_.get() + end_;
}

}  // namespace orv
