// A received page on its way into the editor: the surrogate references joined, the embedded
// names mapped; the output encoding of any UTF-16 text stays 7-bit and ends at a NUL.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "editor/logic/html_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string joined = orv::joinSurrogateReferences(text);
    if (joined.size() > text.size()) std::abort();  // a pair of references is never shorter
    const size_t cut = size / 3;
    orv::mapFileNames(text, {"page.htm", text.substr(0, cut % 24)},
                      {"/r/page.htm", "file:///r/" + text.substr(0, cut % 7)});
    std::u16string units(size / 2, u'\0');
    for (size_t i = 0; i + 1 < size; i += 2)
        units[i / 2] = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    for (unsigned char c : orv::encodeHtmlOutput(units))
        if (c > 126) std::abort();
    return 0;
}
