// Arbitrary bytes as a player's request to the preview server, and as a remote path made into
// an address and read back. Nothing may crash or read out of bounds; an encoded path decodes
// to itself.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engine/file_server.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 2 * orv::kHttpRequestLimit) return 0;  // the server reads no more than that
    std::string_view text(reinterpret_cast<const char*>(data), size);
    orv::HttpRequest r = orv::parseHttpRequest(text);
    if (r.get && r.target.size() > size) std::abort();
    if (orv::percentDecode(orv::percentEncodePath(text)) != text) std::abort();
    return 0;
}
