#pragma once
// Peer message framing: the 8-byte header, the command codes, and the readers and writers of
// message bodies. Decoding is defensive: a string list or record list that does not follow
// the rules counts as empty, and no count read from the wire reserves memory beyond the bytes
// that are actually there.
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/tables.h"
#include "net/codec.h"

namespace orv {

namespace Command {
enum : int32_t {
    ItemMessage = 0,
    SendFiles = 3,
    Note = 7,
    Received = 8,
    Goodbye = 9,
    KeepAlive = 10,
    StatusReply = 12,
    Hello = 13,
    Reject = 14,
    HelloExclusive = 15,
    Accept = 16,
    FileChunk = 17,
    AllReceived = 18,
    LoggedInElsewhere = 20,
    StatusRequest = 21,
};
}

inline constexpr int32_t kMaxBodyLength = 0x300000;  // 3 145 728
inline constexpr size_t kHeaderSize = 8;
// First four bytes of an inbound connection that are not a peer message.
inline constexpr uint32_t kHttpGetWord = 0x20544547;  // "GET "
inline constexpr uint32_t kParkWord = 0x03019280;
inline constexpr size_t kHelloReserved = 32;

struct WireHeader {
    int32_t command = 0;
    int32_t bodyLength = 0;
};
static_assert(sizeof(WireHeader) == 8);

inline bool validBodyLength(int32_t n) {
    return n >= 0 && n <= kMaxBodyLength;
}

inline int32_t loadI32(const uint8_t* p) {
    int32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
inline void storeI32(uint8_t* p, int32_t v) {
    std::memcpy(p, &v, 4);
}

inline WireHeader readHeader(const uint8_t* p) {
    return {loadI32(p), loadI32(p + 4)};
}
inline void writeHeader(uint8_t* p, WireHeader h) {
    storeI32(p, h.command);
    storeI32(p + 4, h.bodyLength);
}

// Splits a string list image: accepted only when it is at least one byte long and its last
// byte is NUL; otherwise the list is empty. Each string is decoded from the wire encoding.
std::vector<std::string> splitStringList(std::span<const uint8_t> bytes, WireCodec& codec);

// Reads a message body front to back. Reads past the end yield zeros and empty lists.
class WireReader {
  public:
    explicit WireReader(std::span<const uint8_t> body) : body_(body) {}
    size_t offset() const { return pos_; }
    size_t remaining() const { return body_.size() - pos_; }
    bool atEnd() const { return pos_ >= body_.size(); }

    bool readI32(int32_t& v);
    bool readI64(int64_t& v);
    bool readU64(uint64_t& v);
    // n raw bytes, or an empty span (and nothing consumed) when fewer remain.
    std::span<const uint8_t> readBytes(size_t n);
    bool skip(size_t n);

    // int32 byte length + NUL-terminated strings. A length that does not fit in the body
    // leaves the rest of the body unreadable (reader moves to the end).
    std::vector<std::string> readStringList(WireCodec& codec);
    // The strings from here to the end of the body, without a length prefix.
    std::vector<std::string> readStringsToEnd(WireCodec& codec);
    // int32 count + count records. A count below 1 gives no records; one that does not fit
    // in the rest of the body gives none and moves the reader to the end.
    template <typename T>
    std::vector<T> readRecords() {
        static_assert(std::is_trivially_copyable_v<T>);
        std::vector<T> out;
        int32_t count = 0;
        if (!readI32(count) || count < 1) return out;
        if (static_cast<uint64_t>(count) * sizeof(T) > remaining()) {
            pos_ = body_.size();
            return out;
        }
        out.resize(static_cast<size_t>(count));
        std::memcpy(out.data(), body_.data() + pos_, out.size() * sizeof(T));
        pos_ += out.size() * sizeof(T);
        return out;
    }

  private:
    std::span<const uint8_t> body_;
    size_t pos_ = 0;
};

// Builds one message (header + body) into a byte vector.
class WireWriter {
  public:
    explicit WireWriter(int32_t command) {
        bytes_.resize(kHeaderSize);
        command_ = command;
    }
    void i32(int32_t v) { raw(&v, 4); }
    void i64(int64_t v) { raw(&v, 8); }
    void u64(uint64_t v) { raw(&v, 8); }
    void raw(const void* p, size_t n) {
        const auto* b = static_cast<const uint8_t*>(p);
        bytes_.insert(bytes_.end(), b, b + n);
    }
    void zeros(size_t n) { bytes_.insert(bytes_.end(), n, 0); }
    // A NUL-terminated string in the wire encoding, without a length prefix.
    void cString(std::string_view utf8, WireCodec& codec);
    // int32 byte length + the strings, each encoded and NUL-terminated.
    void stringList(const std::vector<std::string>& strings, WireCodec& codec);
    void stringList(const StringPool& pool, WireCodec& codec);
    template <typename T>
    void records(const T* rows, int32_t count) {
        static_assert(std::is_trivially_copyable_v<T>);
        i32(count);
        if (count > 0) raw(rows, static_cast<size_t>(count) * sizeof(T));
    }
    // The finished message; the header carries the command and the body length.
    const std::vector<uint8_t>& finish();
    // The finished message, moved out; the writer is empty afterwards.
    std::vector<uint8_t> take() {
        finish();
        return std::move(bytes_);
    }
    size_t bodySize() const { return bytes_.size() - kHeaderSize; }

  private:
    std::vector<uint8_t> bytes_;
    int32_t command_;
};

// An 8-byte message with an empty body.
std::vector<uint8_t> emptyMessage(int32_t command);

}  // namespace orv
