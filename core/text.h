#pragma once
// User-visible texts exist as (English, Chinese) pairs; a session picks one language at its
// start and keeps it for the whole run.
#include <string_view>

namespace orv {

enum class UiLanguage { English, Chinese };

// The language a session uses unless told otherwise: the build's choice.
UiLanguage defaultUiLanguage();

struct TextPair {
    std::string_view en;
    std::string_view zh;
};

inline std::string_view pick(UiLanguage lang, TextPair t) {
    return lang == UiLanguage::Chinese ? t.zh : t.en;
}

inline std::string_view pick(UiLanguage lang, std::string_view en, std::string_view zh) {
    return lang == UiLanguage::Chinese ? zh : en;
}

// "c" or "e", the letter directory requests carry.
inline const char* languageLetter(UiLanguage lang) {
    return lang == UiLanguage::Chinese ? "c" : "e";
}

}  // namespace orv
