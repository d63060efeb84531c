#include "mail/mail_files.h"

#include <filesystem>
#include <fstream>

namespace orv {

std::string normalPath(std::string_view path) {
    return std::filesystem::path(std::string(path)).lexically_normal().string();
}

bool isInsideFolder(std::string_view path, std::string_view folder) {
    if (folder.empty() || path.empty()) return false;
    std::string f = normalPath(folder);
    if (f.empty() || f == "." || f.starts_with("..")) return false;
    if (f.back() != '/') f.push_back('/');
    std::string p = normalPath(path);
    return p.size() > f.size() && p.compare(0, f.size(), f) == 0;
}

bool isBodyFile(const CoreTables& t, int a) {
    if (a < 0 || a >= t.attachments.count()) return false;
    if (t.attachments[a].attFlags & AttFlags::isBodyPart) return true;
    int m = t.attachments[a].mail;
    if (m < 0 || m >= t.mails.count() || !(t.mails[m].flags & MailFlags::bodyIsFirstFile))
        return false;
    const auto& files = t.mailFiles(m);
    return !files.empty() && files.front() == a;
}

std::string bodyFileLocation(const CoreTables& t, int a) {
    std::string_view path = t.attachmentPaths.view(a);
    if (path.find('/') != std::string_view::npos && !t.mailStoreFolder().empty())
        return t.mailStoreFolder() + std::string(t.attachmentNames.view(a));
    return std::string(path);
}

std::vector<std::string> localFilesOf(const CoreTables& t, int a) {
    std::vector<std::string> out;
    out.emplace_back(t.attachmentPaths.view(a));
    if (isBodyFile(t, a)) {
        std::string b = bodyFileLocation(t, a);
        if (b != out.front()) out.push_back(std::move(b));
    }
    return out;
}

std::string_view fileNameOf(std::string_view path) {
    size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool readWholeFile(const std::string& path, std::string& out) {
    out.clear();
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    in.seekg(0, std::ios::end);
    std::streamoff n = in.tellg();
    if (n < 0) return false;
    in.seekg(0, std::ios::beg);
    out.resize(static_cast<size_t>(n));
    if (n > 0 && !in.read(out.data(), n)) return false;
    return true;
}

std::string fileUrl(std::string_view path) {
    static const char* hex = "0123456789ABCDEF";
    std::string out = "file://";
    for (char c : path) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u <= ' ' || c == '%' || c == '"' || c == '\'' || c == '#' || c == '?' || c == '<' ||
            c == '>') {
            out.push_back('%');
            out.push_back(hex[u >> 4]);
            out.push_back(hex[u & 15]);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

}  // namespace orv
