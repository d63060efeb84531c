#include "editor/logic/html_text.h"

#include <cstdio>

namespace orv {

std::string encodeHtmlOutput(std::u16string_view units) {
    std::string out;
    out.reserve(units.size() + units.size() / 4);
    for (char16_t u : units) {
        if (u == 0) break;
        if (u > 126) {
            char b[12];
            std::snprintf(b, sizeof b, "&#x%04X;", static_cast<unsigned>(u));
            out += b;
        } else {
            out.push_back(static_cast<char>(u));
        }
    }
    return out;
}

namespace {

// The hexadecimal reference "&#xHHHH;" at `at`: its value and length, or 0.
size_t hexReference(std::string_view s, size_t at, unsigned& value) {
    if (s.substr(at, 3) != "&#x" && s.substr(at, 3) != "&#X") return 0;
    size_t i = at + 3;
    value = 0;
    size_t digits = 0;
    for (; i < s.size() && digits < 6; ++i, ++digits) {
        char c = s[i];
        int d = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
        if (d < 0) break;
        value = value * 16 + static_cast<unsigned>(d);
    }
    if (digits == 0 || i >= s.size() || s[i] != ';') return 0;
    return i + 1 - at;
}

void appendUtf8(std::string& out, unsigned cp) {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
}

}  // namespace

std::string joinSurrogateReferences(std::string_view html) {
    std::string out;
    out.reserve(html.size());
    size_t i = 0;
    while (i < html.size()) {
        size_t amp = html.find('&', i);
        if (amp == std::string_view::npos) break;
        out.append(html.substr(i, amp - i));
        unsigned hi = 0, lo = 0;
        size_t n1 = hexReference(html, amp, hi);
        size_t n2 = n1 ? hexReference(html, amp + n1, lo) : 0;
        if (n1 && n2 && hi >= 0xD800 && hi <= 0xDBFF && lo >= 0xDC00 && lo <= 0xDFFF) {
            appendUtf8(out, 0x10000 + ((hi - 0xD800) << 10) + (lo - 0xDC00));
            i = amp + n1 + n2;
        } else {
            out.push_back('&');
            i = amp + 1;
        }
    }
    if (i < html.size()) out.append(html.substr(i));
    return out;
}

std::string tableHtml(int rows, int columns) {
    if (rows <= 0 || columns <= 0) return {};
    std::string out = "<TABLE border=1 cellpadding=3>";
    for (int r = 0; r < rows; ++r) {
        out += "<TR>";
        for (int c = 0; c < columns; ++c)
            out += "<TD><DIV>&nbsp;</DIV></TD>";
        out += "</TR>";
    }
    out += "</TABLE>";
    return out;
}

std::string mapFileNames(std::string text, const std::vector<std::string>& fromNames,
                         const std::vector<std::string>& toNames) {
    for (size_t i = 1; i < fromNames.size() && i < toNames.size(); ++i) {
        std::string_view from = fromNames[i];
        size_t cut = from.find_last_of("/\\");
        std::string_view name = cut == std::string_view::npos ? from : from.substr(cut + 1);
        if (name.empty()) continue;
        const std::string& to = toNames[i];
        size_t pos = 0;
        while ((pos = text.find(name, pos)) != std::string::npos) {
            if (pos > 0 && (text[pos - 1] == '/' || text[pos - 1] == '\\')) {
                pos += name.size();
                continue;
            }
            text.replace(pos, name.size(), to);
            pos += to.size();
        }
    }
    return text;
}

DefaultFont defaultFont(std::string_view face, std::string_view size, bool chinese) {
    DefaultFont f;
    f.face = face.empty() ? std::string(chinese ? "宋体" : "Arial") : std::string(face);
    size_t i = size.find_first_of("0123456789");
    if (i != std::string_view::npos) {
        int n = 0;
        while (i < size.size() && size[i] >= '0' && size[i] <= '9' && n < 10000)
            n = n * 10 + (size[i++] - '0');
        if (n > 0) f.pixels = n;
    }
    return f;
}

}  // namespace orv
