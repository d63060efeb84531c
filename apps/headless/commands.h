#pragma once
// The headless client's command language: one command a line, words separated by blanks,
// double quotes around a word that holds blanks.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace orv {

class ClientSession;

std::vector<std::string> splitCommandLine(std::string_view line);

// After "send" of a sign-required mail: registers its receipts in the background and prints
// {"event":"receipts","key":KEY,"ok":true} when done, or "ok":false with a "message" (also at
// once when the mail has too many receivers to be signed).
void startReceipts(ClientSession& s, int mail, uint64_t key,
                   const std::function<void(const std::string&)>& emit);

}  // namespace orv
