#include "session/startup.h"

#include <unistd.h>

#include <climits>
#include <filesystem>

namespace orv {

bool readQuotedString(std::string_view text, size_t& cursor, std::string& out) {
    if (cursor > text.size()) return false;
    size_t open = text.find('"', cursor);
    if (open == std::string_view::npos) return false;
    size_t close = text.find('"', open + 1);
    if (close == std::string_view::npos) return false;
    out.assign(text.substr(open + 1, close - open - 1));
    cursor = close + 1;
    return true;
}

std::string buildCommandLine(const std::string& programPath, const std::vector<std::string>& args) {
    std::string line = "\"" + programPath + "\"";
    for (const auto& a : args) {
        if (a == "/o")
            line += " /o";
        else
            line += " \"" + a + "\"";
    }
    return line;
}

bool allowsFurtherInstance(std::string_view commandLine) {
    // Only outside quotes: a quoted file path may well contain " /o".
    bool quoted = false;
    for (size_t i = 0; i + 2 < commandLine.size(); ++i) {
        char c = commandLine[i];
        if (c == '"') quoted = !quoted;
        if (!quoted && c == ' ' && commandLine[i + 1] == '/' && commandLine[i + 2] == 'o' &&
            (i + 3 == commandLine.size() || commandLine[i + 3] == ' '))
            return true;
    }
    return false;
}

std::vector<std::string> filesOfCommandLine(std::string_view commandLine) {
    std::vector<std::string> files;
    size_t cur = 0;
    std::string s;
    if (!readQuotedString(commandLine, cur, s)) return files;
    while (readQuotedString(commandLine, cur, s))
        files.push_back(s);
    return files;
}

std::string programFolder() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    std::string p(buf, static_cast<size_t>(n));
    size_t s = p.find_last_of('/');
    return s == std::string::npos ? "." : (s == 0 ? "/" : p.substr(0, s));
}

DataPaths dataPathsFor(const std::string& dataDir) {
    DataPaths p;
    p.folder = dataDir.empty() ? programFolder() : dataDir;
    std::error_code ec;
    std::filesystem::path abs = std::filesystem::absolute(p.folder, ec);
    if (!ec) p.folder = abs.lexically_normal().string();
    while (p.folder.size() > 1 && p.folder.back() == '/')
        p.folder.pop_back();
    p.configPath = p.folder + "/cfg.dat";
    p.mailStore = p.folder + "/recvfile/";
    return p;
}

std::string directoryServerAddress(const CoreTables& t) {
    std::string host = t.settingString(SettingString::ServerHost);
    if (host.empty()) return kBuiltInDirectoryHost;
    return host + ":" + std::to_string(t.settingNumber(Setting::ServerPort));
}

}  // namespace orv
