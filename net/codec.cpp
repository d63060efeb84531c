#include "net/codec.h"

#include <iconv.h>

#include <cerrno>

namespace orv {

namespace {

constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";
constexpr std::string_view kReplacementGb18030 = "\x84\x31\xA4\x37";

bool isAscii(std::string_view s) {
    for (unsigned char c : s)
        if (c >= 0x80) return false;
    return true;
}

iconv_t asIconv(void* p) {
    return static_cast<iconv_t>(p);
}

}  // namespace

WireCodec::WireCodec()
    : toWire_(iconv_open("GB18030", "UTF-8")), fromWire_(iconv_open("UTF-8", "GB18030")) {}

WireCodec::~WireCodec() {
    if (asIconv(toWire_) != reinterpret_cast<iconv_t>(-1)) iconv_close(asIconv(toWire_));
    if (asIconv(fromWire_) != reinterpret_cast<iconv_t>(-1)) iconv_close(asIconv(fromWire_));
}

std::string WireCodec::convert(void* cdp, std::string_view in, std::string_view replacement) {
    iconv_t cd = asIconv(cdp);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        // No converter on this system: keep ASCII, mark everything else.
        std::string out;
        for (unsigned char c : in) {
            if (c < 0x80)
                out.push_back(static_cast<char>(c));
            else
                out.append(replacement);
        }
        return out;
    }
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    std::string out;
    out.resize(in.size() * 2 + 16);
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    size_t used = 0;
    while (srcLeft > 0) {
        char* dst = out.data() + used;
        size_t dstLeft = out.size() - used;
        size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        used = out.size() - dstLeft;
        if (r != static_cast<size_t>(-1)) break;
        if (errno == E2BIG) {
            out.resize(out.size() * 2);
            continue;
        }
        if (out.size() - used < replacement.size() + 8) out.resize(out.size() * 2);
        out.replace(used, replacement.size(), replacement);
        used += replacement.size();
        if (errno == EILSEQ) {
            ++src;
            --srcLeft;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        } else {
            break;  // EINVAL: a sequence cut off at the end
        }
    }
    out.resize(used);
    return out;
}

std::string WireCodec::toWire(std::string_view utf8) {
    if (isAscii(utf8)) return std::string(utf8);
    return convert(toWire_, utf8, kReplacementGb18030);
}

std::string WireCodec::fromWire(std::string_view wire) {
    if (isAscii(wire)) return std::string(wire);
    return convert(fromWire_, wire, kReplacementUtf8);
}

std::string toWire(std::string_view utf8) {
    WireCodec c;
    return c.toWire(utf8);
}

std::string fromWire(std::string_view wire) {
    WireCodec c;
    return c.fromWire(wire);
}

}  // namespace orv
