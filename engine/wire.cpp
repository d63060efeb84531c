#include "engine/wire.h"

namespace orv {

std::vector<std::string> splitStringList(std::span<const uint8_t> bytes, WireCodec& codec) {
    std::vector<std::string> out;
    if (bytes.empty() || bytes.back() != 0) return out;
    size_t start = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == 0) {
            out.push_back(codec.fromWire(
                std::string_view(reinterpret_cast<const char*>(bytes.data()) + start, i - start)));
            start = i + 1;
        }
    }
    return out;
}

bool WireReader::readI32(int32_t& v) {
    v = 0;
    if (remaining() < 4) {
        pos_ = body_.size();
        return false;
    }
    std::memcpy(&v, body_.data() + pos_, 4);
    pos_ += 4;
    return true;
}

bool WireReader::readI64(int64_t& v) {
    v = 0;
    if (remaining() < 8) {
        pos_ = body_.size();
        return false;
    }
    std::memcpy(&v, body_.data() + pos_, 8);
    pos_ += 8;
    return true;
}

bool WireReader::readU64(uint64_t& v) {
    int64_t s;
    bool ok = readI64(s);
    v = static_cast<uint64_t>(s);
    return ok;
}

std::span<const uint8_t> WireReader::readBytes(size_t n) {
    if (remaining() < n) return {};
    auto s = body_.subspan(pos_, n);
    pos_ += n;
    return s;
}

bool WireReader::skip(size_t n) {
    if (remaining() < n) {
        pos_ = body_.size();
        return false;
    }
    pos_ += n;
    return true;
}

std::vector<std::string> WireReader::readStringList(WireCodec& codec) {
    int32_t len = 0;
    if (!readI32(len)) return {};
    if (len < 0 || static_cast<size_t>(len) > remaining()) {
        pos_ = body_.size();
        return {};
    }
    auto bytes = body_.subspan(pos_, static_cast<size_t>(len));
    pos_ += static_cast<size_t>(len);
    return splitStringList(bytes, codec);
}

std::vector<std::string> WireReader::readStringsToEnd(WireCodec& codec) {
    auto bytes = body_.subspan(pos_);
    pos_ = body_.size();
    return splitStringList(bytes, codec);
}

void WireWriter::cString(std::string_view utf8, WireCodec& codec) {
    std::string w = codec.toWire(utf8);
    raw(w.data(), w.size());
    bytes_.push_back(0);
}

void WireWriter::stringList(const std::vector<std::string>& strings, WireCodec& codec) {
    size_t at = bytes_.size();
    i32(0);
    for (const auto& s : strings)
        cString(s, codec);
    storeI32(bytes_.data() + at, static_cast<int32_t>(bytes_.size() - at - 4));
}

void WireWriter::stringList(const StringPool& pool, WireCodec& codec) {
    size_t at = bytes_.size();
    i32(0);
    for (int i = 0; i < pool.count(); ++i)
        cString(pool.view(i), codec);
    storeI32(bytes_.data() + at, static_cast<int32_t>(bytes_.size() - at - 4));
}

const std::vector<uint8_t>& WireWriter::finish() {
    writeHeader(bytes_.data(), {command_, static_cast<int32_t>(bytes_.size() - kHeaderSize)});
    return bytes_;
}

std::vector<uint8_t> emptyMessage(int32_t command) {
    std::vector<uint8_t> m(kHeaderSize);
    writeHeader(m.data(), {command, 0});
    return m;
}

}  // namespace orv
