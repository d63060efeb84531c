#pragma once
// Reading the one-line JSON answers and events of the headless client.
#include <string>

namespace orv::test {

// The text of a string member, or empty when the line has none.
inline std::string jsonField(const std::string& line, const std::string& name) {
    std::string k = "\"" + name + "\":\"";
    size_t p = line.find(k);
    if (p == std::string::npos) return {};
    p += k.size();
    return line.substr(p, line.find('"', p) - p);
}

}  // namespace orv::test
