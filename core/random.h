#pragma once
// Keys and file names come from the operating system's random source: two clients started
// in the same second must not draw the same mail keys or body-file names.
#include <cstdint>
#include <string>

namespace orv {

uint64_t randomU64();
// A new mail key; never 0, since 0 means "no key" in resend requests.
uint64_t newMailKey();
// "%" PRIX64 of a fresh random number: the stem of mail body and image file names.
std::string randomHexName();

}  // namespace orv
