#pragma once
// Request-target handling for the directory pages: the path is split from the query, and each
// query value is percent-decoded. Clients send some values fully encoded and others raw, so both
// forms are accepted; '+' stays a plus sign because raw values may contain one.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orv::server {

// Decodes %xx escapes (either case of hex digits). Returns nullopt for a malformed escape or an
// escaped NUL byte, which no stored text may contain.
std::optional<std::string> percentDecode(std::string_view text);

// Percent-encodes every byte as %xx with lower-case hex digits, the form clients use.
std::string percentEncode(std::string_view bytes);

struct QueryParams {
    std::vector<std::pair<std::string, std::string>> items;  // decoded key, decoded value

    // The first value given for the key (keys compare ignoring ASCII case); nullopt if absent.
    const std::string* find(std::string_view key) const;
};

// Parses "a=1&b=%62". An item without "=" has an empty value; empty items are skipped.
std::optional<QueryParams> parseQuery(std::string_view query);

struct Target {
    std::string page;  // lower-cased page name under /chat/, e.g. "login.asp"; empty if elsewhere
    std::string_view query;
};

// Splits "/chat/login.asp?x=1". Pages outside /chat/ give an empty page name.
Target splitTarget(std::string_view target);

bool equalsIgnoreCase(std::string_view a, std::string_view b);

}  // namespace orv::server
