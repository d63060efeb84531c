#include "shell/dialogs/dialog_values.h"

#include <charconv>

namespace orv {

namespace {
std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}
}  // namespace

std::string rateFieldText(int32_t value) {
    return value == 0 ? std::string() : std::to_string(value);
}

int32_t rateFromField(std::string_view text) {
    auto v = integerFromField(text);
    // A negative limit would make the engine's budget arithmetic meaningless: treat it as none.
    return v && *v > 0 ? *v : 0;
}

std::optional<int32_t> integerFromField(std::string_view text) {
    text = trimmed(text);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    int32_t v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return v;
}

std::string portFieldText(int32_t stored) {
    return std::to_string(stored == 0 ? kDefaultDirectoryPort : stored);
}

std::optional<int32_t> portFromField(std::string_view text) {
    auto v = integerFromField(text);
    if (!v || *v < 1 || *v > 65535) return std::nullopt;
    return v;
}

std::string folderWithSeparator(std::string folder) {
    if (folder.empty() || folder.back() != '/') folder += '/';
    return folder;
}

SettingsFields loadSettingsFields(const CoreTables& t) {
    SettingsFields f;
    f.receiveFolder = t.settingString(SettingString::ReceiveFolder);
    f.maxSendPerTransfer = rateFieldText(t.settingNumber(Setting::MaxSendPerTransfer));
    f.maxRecvPerTransfer = rateFieldText(t.settingNumber(Setting::MaxRecvPerTransfer));
    f.autoReceiveMB = std::to_string(t.settingNumber(Setting::AutoReceiveMB));
    f.notifyNewMail = t.settingNumber(Setting::NotifyNewMail) != 0;
    f.maxSendTotal = rateFieldText(t.settingNumber(Setting::MaxSendTotal));
    f.maxRecvTotal = rateFieldText(t.settingNumber(Setting::MaxRecvTotal));
    f.useFixedAddress = t.settingNumber(Setting::UseFixedAddress) != 0;
    f.reachThroughRelay = t.settingNumber(Setting::ReachThroughRelay) != 0;
    f.fixedAddress = t.settingString(SettingString::FixedAddress);
    f.homePage = t.settingString(SettingString::HomePage);
    f.editorFont = t.settingString(SettingString::EditorFont);
    f.editorFontSize = t.settingString(SettingString::EditorFontSize);
    return f;
}

bool storeSettingsFields(CoreTables& t, const SettingsFields& f) {
    auto autoReceive = integerFromField(f.autoReceiveMB);
    if (!autoReceive || *autoReceive < 0) return false;
    t.setSettingNumber(Setting::MaxSendPerTransfer, rateFromField(f.maxSendPerTransfer));
    t.setSettingNumber(Setting::MaxRecvPerTransfer, rateFromField(f.maxRecvPerTransfer));
    t.setSettingString(SettingString::ReceiveFolder, f.receiveFolder);
    t.setSettingNumber(Setting::AutoReceiveMB, *autoReceive);
    t.setSettingNumber(Setting::NotifyNewMail, f.notifyNewMail ? 1 : 0);
    t.setSettingNumber(Setting::MaxSendTotal, rateFromField(f.maxSendTotal));
    t.setSettingNumber(Setting::MaxRecvTotal, rateFromField(f.maxRecvTotal));
    t.setSettingString(SettingString::FixedAddress, f.fixedAddress);
    t.setSettingString(SettingString::HomePage, f.homePage);
    t.setSettingNumber(Setting::UseFixedAddress, f.useFixedAddress ? 1 : 0);
    t.setSettingNumber(Setting::ReachThroughRelay, f.reachThroughRelay ? 1 : 0);
    t.setSettingString(SettingString::EditorFont, f.editorFont);
    t.setSettingString(SettingString::EditorFontSize, f.editorFontSize);
    return true;
}

}  // namespace orv
