#pragma once
// What the settings dialogs show for a stored setting and what they store for a field's text.
// Kept free of the window toolkit so the mapping can be checked on its own.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/core_tables.h"

namespace orv {

// The port the server settings dialog offers while none is stored.
inline constexpr int32_t kDefaultDirectoryPort = 8688;

// A rate limit: 0 (no limit) shows as an empty field.
std::string rateFieldText(int32_t value);
// An empty field, or one that is not a non-negative decimal number, stores 0.
int32_t rateFromField(std::string_view text);

// A whole decimal number (blanks around it allowed), or nothing.
std::optional<int32_t> integerFromField(std::string_view text);

std::string portFieldText(int32_t stored);
// A port from 1 to 65535, or nothing (the dialog then stays open).
std::optional<int32_t> portFromField(std::string_view text);

// A chosen folder always ends in exactly one separator.
std::string folderWithSeparator(std::string folder);

// Everything the three tabs of the settings dialog show, as field texts.
struct SettingsFields {
    // General
    std::string receiveFolder;
    std::string maxSendPerTransfer, maxRecvPerTransfer;
    std::string autoReceiveMB;
    bool notifyNewMail = false;
    std::string homePage;  // empty: none
    // Network
    std::string maxSendTotal, maxRecvTotal;
    bool useFixedAddress = false;
    std::string fixedAddress;
    bool reachThroughRelay = false;
    // Edit
    std::string editorFont, editorFontSize;
};

SettingsFields loadSettingsFields(const CoreTables& t);
// Stores every field in its setting; false (nothing stored) when the automatic-receive size
// is not a whole number.
bool storeSettingsFields(CoreTables& t, const SettingsFields& f);

}  // namespace orv
