#include "share/listing_codec.h"

#include <cstring>

namespace orv {

void encodeListingTail(WireWriter& w, const ShareListing& l, WireCodec& codec) {
    w.stringList(l.folders, codec);
    w.records(l.tags.data(), static_cast<int32_t>(l.tags.size()));
    w.stringList(l.names, codec);
    w.records(l.records.data(), static_cast<int32_t>(l.records.size()));
}

namespace {

bool readList(WireReader& rd, std::vector<std::string>& out, WireCodec& codec) {
    int32_t n = 0;
    if (!rd.readI32(n) || n < 0 || static_cast<size_t>(n) > rd.remaining()) return false;
    if (n == 0) {
        out.clear();
        return true;
    }
    auto bytes = rd.readBytes(static_cast<size_t>(n));
    if (bytes.empty() || bytes.back() != 0) return false;
    out = splitStringList(bytes, codec);
    return true;
}

template <typename T>
bool readRows(WireReader& rd, std::vector<T>& out) {
    int32_t n = 0;
    if (!rd.readI32(n) || n < 0 || static_cast<uint64_t>(n) * sizeof(T) > rd.remaining())
        return false;
    out.resize(static_cast<size_t>(n));
    if (n == 0) return true;
    auto bytes = rd.readBytes(out.size() * sizeof(T));
    std::memcpy(out.data(), bytes.data(), bytes.size());
    return true;
}

}  // namespace

bool decodeListingTail(WireReader& rd, ShareListing& l, WireCodec& codec) {
    return readList(rd, l.folders, codec) && readRows(rd, l.tags) && readList(rd, l.names, codec) &&
           readRows(rd, l.records) && rd.atEnd();
}

}  // namespace orv
