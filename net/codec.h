#pragma once
// The one place where text changes encoding: UTF-8 inside the program, GB18030 on the wire.
// Every string that goes to or comes from a peer passes here before anything looks at its
// bytes; in GBK many characters have 0x5C ('\') as their second byte, so byte-level work on
// undecoded wire text would cut names and paths apart.
#include <string>
#include <string_view>

namespace orv {

class WireCodec {
  public:
    WireCodec();
    ~WireCodec();
    WireCodec(const WireCodec&) = delete;
    WireCodec& operator=(const WireCodec&) = delete;

    // UTF-8 to GB18030. Lossless for valid UTF-8; an invalid byte becomes U+FFFD.
    std::string toWire(std::string_view utf8);
    // GB18030 to UTF-8. Lossless for valid input; an invalid or cut-off sequence becomes
    // U+FFFD and decoding goes on with the next byte, so the ASCII around it survives.
    std::string fromWire(std::string_view wire);

  private:
    std::string convert(void* cd, std::string_view in, std::string_view replacement);
    void* toWire_;
    void* fromWire_;
};

// One-off conversions (each opens its own converter).
std::string toWire(std::string_view utf8);
std::string fromWire(std::string_view wire);

}  // namespace orv
