#include "server/query.h"

namespace orv::server {
namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
    }
    return true;
}

std::optional<std::string> percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c != '%') {
            out.push_back(c);
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        int hi = hexValue(text[i + 1]);
        int lo = hexValue(text[i + 2]);
        if (hi < 0 || lo < 0) return std::nullopt;
        char byte = static_cast<char>(hi * 16 + lo);
        if (byte == '\0') return std::nullopt;
        out.push_back(byte);
        i += 2;
    }
    return out;
}

std::string percentEncode(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (char c : bytes) {
        auto b = static_cast<unsigned char>(c);
        out.push_back('%');
        out.push_back(kHex[b >> 4]);
        out.push_back(kHex[b & 15]);
    }
    return out;
}

const std::string* QueryParams::find(std::string_view key) const {
    for (const auto& [k, v] : items) {
        if (equalsIgnoreCase(k, key)) return &v;
    }
    return nullptr;
}

std::optional<QueryParams> parseQuery(std::string_view query) {
    QueryParams params;
    while (!query.empty()) {
        std::size_t amp = query.find('&');
        std::string_view item = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view{} : query.substr(amp + 1);
        if (item.empty()) continue;
        std::size_t eq = item.find('=');
        auto key = percentDecode(item.substr(0, eq));
        auto value =
            percentDecode(eq == std::string_view::npos ? std::string_view{} : item.substr(eq + 1));
        if (!key || !value) return std::nullopt;
        params.items.emplace_back(std::move(*key), std::move(*value));
    }
    return params;
}

Target splitTarget(std::string_view target) {
    Target t;
    std::size_t q = target.find('?');
    std::string_view path = target.substr(0, q);
    t.query = q == std::string_view::npos ? std::string_view{} : target.substr(q + 1);
    constexpr std::string_view kPrefix = "/chat/";
    if (path.size() > kPrefix.size() && equalsIgnoreCase(path.substr(0, kPrefix.size()), kPrefix)) {
        std::string_view page = path.substr(kPrefix.size());
        if (page.find('/') == std::string_view::npos) {
            t.page.reserve(page.size());
            for (char c : page)
                t.page.push_back(lowerAscii(c));
        }
    }
    return t;
}

}  // namespace orv::server
