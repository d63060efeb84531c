#pragma once
// The headless client's command language: one command a line, words separated by blanks,
// double quotes around a word that holds blanks.
#include <string>
#include <string_view>
#include <vector>

namespace orv {

std::vector<std::string> splitCommandLine(std::string_view line);

}  // namespace orv
