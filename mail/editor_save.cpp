#include "mail/editor_save.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "core/random.h"
#include "mail/mail_files.h"

namespace orv {

namespace fs = std::filesystem;

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool startsWithNoCase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        char a = s[i], b = prefix[i];
        if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
        if (a != b) return false;
    }
    return true;
}

// A new empty file in the store named by a fresh random stem and `suffix`; empty on failure.
std::string createStoreFile(const CoreTables& t, std::string_view suffix) {
    if (!t.ensureMailStoreFolder()) return {};
    for (int attempt = 0; attempt < 16; ++attempt) {
        std::string path = t.mailStoreFolder() + randomHexName() + std::string(suffix);
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return {};
        }
        ::close(fd);
        return path;
    }
    return {};
}

bool writeFile(const std::string& path, std::string_view a, std::string_view b) {
    int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = true;
    for (std::string_view part : {a, b}) {
        while (ok && !part.empty()) {
            ssize_t n = ::write(fd, part.data(), part.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                ok = false;
                break;
            }
            part.remove_prefix(static_cast<size_t>(n));
        }
    }
    return (::close(fd) == 0) && ok;
}

}  // namespace

std::string localPathOfFileUrl(std::string_view url) {
    constexpr std::string_view kScheme = "file:///";
    if (!startsWithNoCase(url, kScheme)) return {};
    std::string_view rest = url.substr(kScheme.size());
    size_t end = rest.find_first_of("?#");
    if (end != std::string_view::npos) rest = rest.substr(0, end);
    std::string out = "/";
    for (size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] == '%' && i + 2 < rest.size()) {
            int h = hexDigit(rest[i + 1]), l = hexDigit(rest[i + 2]);
            if (h >= 0 && l >= 0) {
                out.push_back(static_cast<char>(h * 16 + l));
                i += 2;
                continue;
            }
        }
        out.push_back(rest[i]);
    }
    return out;
}

EditorSave beginEditorSave(const CoreTables& t, const std::vector<std::string>& sources,
                           bool fullPaths, bool copyAll) {
    EditorSave s;
    s.bodyPath = createStoreFile(t, ".htm");
    if (s.bodyPath.empty()) return s;
    s.ok = true;
    s.outList.push_back(s.bodyPath);
    const std::string store = t.mailStoreFolder();
    for (const std::string& src : sources) {
        std::string local = localPathOfFileUrl(src);
        if (local.empty()) {
            s.newSources.emplace_back();
            continue;
        }
        local = normalPath(local);
        if (!copyAll && isInsideFolder(local, store)) {
            s.outList.push_back(local);
            // A page used inside others (the signature) names even a kept picture by path.
            s.newSources.push_back(fullPaths ? fileUrl(local) : std::string());
            continue;
        }
        std::string_view name = fileNameOf(local);
        size_t dot = name.rfind('.');
        std::string ext =
            dot == std::string_view::npos ? std::string() : std::string(name.substr(dot));
        std::string copy = createStoreFile(t, ext);
        if (copy.empty()) copy = store + randomHexName() + ext;
        std::error_code ec;
        if (!fs::copy_file(local, copy, fs::copy_options::overwrite_existing, ec) || ec)
            fs::remove(copy, ec);  // no empty stand-in: the page names a missing picture
        s.outList.push_back(copy);
        s.newSources.push_back(fullPaths ? fileUrl(copy) : std::string(fileNameOf(copy)));
    }
    return s;
}

bool finishEditorSave(const EditorSave& s, std::string_view html) {
    if (!s.ok) return false;
    if (writeFile(s.bodyPath, html, std::string_view("\0", 1))) return true;
    ::unlink(s.bodyPath.c_str());
    return false;
}

}  // namespace orv
