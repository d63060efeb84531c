#include "mail/compose.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <unordered_map>
#include <unordered_set>

#include "core/file_time.h"
#include "core/random.h"
#include "directory/replies.h"
#include "mail/mail_files.h"
#include "mail/read.h"

namespace orv {

namespace fs = std::filesystem;

namespace {

constexpr TextPair kSaved{"Mail is saved!", "邮件已保存！"};
constexpr TextPair kNoRecipient{"Please enter a recipient in To.", "请填写收件人。"};
constexpr TextPair kTooLarge{
    "Can't send these files to multiple people due to size exceed limited!",
    "不能发送大于10M的文件给多个用户！"};
constexpr TextPair kSignLimit{"can't sign mail due to receiver count exceed limit.",
                              "接收用户超出限制，不能进行签收！"};
constexpr TextPair kNoFile{"Can't open attach file!", "无法打开附件文件！"};
constexpr TextPair kNoStore{"Can't write mail file!", "无法写入邮件文件！"};
constexpr TextPair kNotAMember{"You are not a member of these groups, they were left out: ",
                               "您不是以下群组的成员，已略过："};

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view trimBlanks(std::string_view s) {
    while (!s.empty() && isBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

// Writes data to a new file in the store named stem + suffix; a fresh stem is drawn when the
// name is taken. Returns the path, empty on failure.
std::string writeNewStoreFile(const CoreTables& t, std::string_view suffix,
                              const std::function<bool(int fd)>& fill) {
    if (!t.ensureMailStoreFolder()) return {};
    for (int attempt = 0; attempt < 16; ++attempt) {
        std::string path = t.mailStoreFolder() + randomHexName() + std::string(suffix);
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return {};
        }
        bool ok = fill(fd);
        ok = (::close(fd) == 0) && ok;
        if (!ok) {
            ::unlink(path.c_str());
            return {};
        }
        return path;
    }
    return {};
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string percentDecode(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size()) {
            int h = hexValue(s[i + 1]);
            int l = hexValue(s[i + 2]);
            if (h >= 0 && l >= 0) {
                out.push_back(static_cast<char>(h * 16 + l));
                i += 2;
                continue;
            }
        }
        out.push_back(s[i]);
    }
    return out;
}

void removeFiles(const std::vector<std::string>& paths) {
    for (const auto& p : paths) {
        std::error_code ec;
        fs::remove(p, ec);
    }
}

// The body file and the files it embeds (body first); `made` lists what was written to the
// store, so a refused mail can take it back.
struct StoredBody {
    bool ok = false;
    std::vector<std::string> files;
    std::vector<std::string> made;
};

StoredBody storeBody(const CoreTables& t, std::string_view html) {
    const std::string store = t.mailStoreFolder();
    std::string doc;
    std::vector<std::string> embedded, copies;
    std::unordered_map<std::string, std::string> copied;  // original path -> path in the store
    constexpr std::string_view kScheme = "file:///";
    size_t pos = 0;
    bool failed = false;
    while (pos < html.size()) {
        size_t at = html.size();
        for (size_t i = pos; i + kScheme.size() <= html.size(); ++i) {
            if (equalsIgnoreCase(html.substr(i, kScheme.size()), kScheme)) {
                at = i;
                break;
            }
        }
        doc.append(html.substr(pos, at - pos));
        if (at == html.size()) break;
        size_t end = at + kScheme.size();
        while (end < html.size() && html[end] != '"' && html[end] != '\'' && html[end] != ')' &&
               html[end] != '>' && !isBlank(html[end]))
            ++end;
        std::string_view url = html.substr(at, end - at);
        std::string path = "/" + percentDecode(url.substr(kScheme.size()));
        std::error_code ec;
        std::string replacement(url);
        if (fs::is_regular_file(path, ec)) {
            std::string np = normalPath(path);
            if (isInsideFolder(np, store)) {
                if (copied.emplace(np, np).second) embedded.push_back(np);
                replacement = std::string(fileNameOf(np));
            } else {
                auto it = copied.find(np);
                if (it == copied.end()) {
                    std::string_view name = fileNameOf(np);
                    size_t dot = name.rfind('.');
                    std::string ext = dot == std::string_view::npos
                                          ? std::string()
                                          : std::string(name.substr(dot + 1));
                    std::string copy = writeNewStoreFile(t, "." + ext, [&](int fd) {
                        std::string data;
                        return readWholeFile(np, data) && writeAll(fd, data);
                    });
                    if (copy.empty()) {
                        failed = true;
                        break;
                    }
                    it = copied.emplace(np, copy).first;
                    embedded.push_back(copy);
                    copies.push_back(copy);
                }
                // Peers find the pictures beside the page: the page names them alone.
                replacement = std::string(fileNameOf(it->second));
            }
        }
        doc.append(replacement);
        pos = end;
    }
    StoredBody out;
    if (failed) {
        removeFiles(copies);
        return out;
    }
    std::string body = writeNewStoreFile(t, ".htm", [&](int fd) {
        return writeAll(fd, doc) && writeAll(fd, std::string_view("\0", 1));
    });
    if (body.empty()) {
        removeFiles(copies);
        return out;
    }
    out.ok = true;
    out.files.push_back(body);
    out.files.insert(out.files.end(), embedded.begin(), embedded.end());
    out.made.push_back(body);
    out.made.insert(out.made.end(), copies.begin(), copies.end());
    return out;
}

struct Built {
    ComposeResult result;
    std::vector<std::string> storeFilesMade;  // removed again if the mail is refused
};

Built buildMail(CoreTables& t, const ComposeInput& in, bool save, UiLanguage lang) {
    Built b;
    std::vector<std::string> entries = splitAddressLine(in.to);
    if (entries.empty()) {
        if (!save) return b;
        entries.emplace_back();
    }
    std::vector<std::string> dropped;
    std::vector<std::string> names = resolveRecipients(t, in.from, entries, &dropped);
    if (!save && names.empty()) {
        // Nobody left to send to: nothing is created, and the user learns why.
        b.result.message = droppedGroupsMessage(dropped, lang);
        return b;
    }

    // Every attachment must be readable before anything is created.
    struct FileInfo {
        std::string path;
        int64_t size;
        int64_t fileTime;
        bool body;
    };
    std::vector<FileInfo> files;
    std::vector<std::string> bodyFiles;
    if (in.html && !in.bodyFiles.empty()) {
        bodyFiles = in.bodyFiles;
        b.storeFilesMade = in.bodyFiles;
    } else if (in.html) {
        StoredBody sb = storeBody(t, in.htmlDocument);
        if (!sb.ok) {
            b.result.message = std::string(pick(lang, kNoStore));
            return b;
        }
        bodyFiles = std::move(sb.files);
        b.storeFilesMade = std::move(sb.made);
    }
    auto addFile = [&](const std::string& path, bool body) {
        if (path.find('/') == std::string::npos) return true;
        std::error_code ec;
        if (!fs::is_regular_file(path, ec)) return false;
        auto size = fs::file_size(path, ec);
        if (ec) return false;
        files.push_back({path, static_cast<int64_t>(size), fileTimeOf(path), body});
        return true;
    };
    for (const auto& p : bodyFiles)
        addFile(p, true);
    for (const auto& p : in.attachments) {
        if (!addFile(p, false)) {
            removeFiles(b.storeFilesMade);
            b.storeFilesMade.clear();
            b.result.message = std::string(pick(lang, kNoFile));
            return b;
        }
    }

    MailRecord r{};
    r.recipientCount = static_cast<int32_t>(names.size());
    r.created = t.now();
    r.key = newMailKey();
    r.kind = save ? MailKind::Draft : MailKind::Outbox;
    r.flags = (in.options & ~static_cast<uint32_t>(MailFlags::bodyIsFirstFile)) |
              (in.html ? MailFlags::bodyIsFirstFile : 0u);
    int m = t.appendMail(r, in.html ? in.subjectLine : in.plainText);
    for (const auto& n : names)
        t.appendDelivery(m, n, in.from);
    // A new delivery makes its mail an Outbox mail; a draft stays a draft.
    t.mails[m].kind = r.kind;
    for (const auto& e : entries)
        t.appendOutAddress(m, e);
    for (const auto& f : files) {
        AttachmentRecord a{};
        a.total = f.size;
        a.done = f.size;  // the sender holds the whole file
        a.fileTime = f.fileTime;
        a.attFlags = f.body ? AttFlags::isBodyPart : 0;
        t.appendAttachment(m, f.path, fileNameOf(f.path), a);
        t.mails[m].size += f.size;
    }
    b.result.ok = true;
    if (!save) b.result.message = droppedGroupsMessage(dropped, lang);
    b.result.mail = m;
    b.result.key = r.key;
    return b;
}

}  // namespace

std::vector<std::string> splitAddressLine(std::string_view to) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= to.size()) {
        size_t comma = to.find(',', start);
        if (comma == std::string_view::npos) comma = to.size();
        std::string_view e = trimBlanks(to.substr(start, comma - start));
        if (!e.empty()) out.emplace_back(e);
        start = comma + 1;
    }
    return out;
}

std::string droppedGroupsMessage(const std::vector<std::string>& dropped, UiLanguage lang) {
    if (dropped.empty()) return {};
    std::string list;
    for (const auto& d : dropped)
        list += (list.empty() ? "" : ", ") + d;
    return std::string(pick(lang, kNotAMember)) + list;
}

std::vector<std::string> resolveRecipients(const CoreTables& t, std::string_view user,
                                           const std::vector<std::string>& entries,
                                           std::vector<std::string>* dropped) {
    std::vector<std::string> out;
    std::unordered_set<std::string> seen;
    auto add = [&](std::string_view n) {
        if (seen.insert(toLowerAscii(n)).second) out.emplace_back(n);
    };
    const bool orgUser = isOrganisationAccount(user);
    for (const auto& e : entries) {
        if (e.size() > 2 && e.front() == '[' && e.back() == ']') {
            int group = -1;
            for (int g = 0; g < t.joinedGroupNames.count(); ++g) {
                std::string written =
                    "[" + t.joinedGroupNames.str(g) + ":" + t.joinedGroupCreators.str(g) + "]";
                if (equalsIgnoreCase(written, e)) {
                    group = g;
                    break;
                }
            }
            if (group >= 0) {
                for (int k = 0; k < t.joinedMembers.count(); ++k)
                    if (t.joinedMembers[k].group == group &&
                        !equalsIgnoreCase(t.joinedMemberNames.view(k), user))
                        add(t.joinedMemberNames.view(k));
            } else if (dropped) {
                dropped->push_back(e);
            }
            // A group is never a user name: one the user does not belong to reaches nobody.
            continue;
        } else if (orgUser) {
            std::string prefix = e + "/";
            bool any = false;
            for (int k = 0; k < t.joinedMembers.count(); ++k) {
                if (t.joinedMembers[k].memberKind != 0) continue;
                std::string_view n = t.joinedMemberNames.view(k);
                if (startsWithIgnoreCase(n, prefix)) {
                    add(n);
                    any = true;
                }
            }
            if (any) continue;
        }
        add(e);
    }
    return out;
}

std::string cantWriteMailText(UiLanguage lang) {
    return std::string(pick(lang, kNoStore));
}

ComposeResult saveMail(CoreTables& t, ComposeState& st, const ComposeInput& in, UiLanguage lang) {
    Built b = buildMail(t, in, true, lang);
    if (!b.result.ok) return b.result;
    st.saved = true;
    b.result.message = std::string(pick(lang, kSaved));
    return b.result;
}

ComposeResult sendMail(CoreTables& t, ComposeState& st, const ComposeInput& in, UiLanguage lang) {
    if (st.created() && !st.saved) return {};
    if (splitAddressLine(in.to).empty()) {
        // Nothing to send to: said, not silently ignored.
        ComposeResult none;
        none.message = std::string(pick(lang, kNoRecipient));
        return none;
    }
    Built b = buildMail(t, in, false, lang);
    if (!b.result.ok) return b.result;
    int m = b.result.mail;
    if (t.mails[m].recipientCount >= kMultiReceiverCount &&
        t.mails[m].size > kMultiReceiverSizeLimit) {
        t.eraseMail(m);
        removeFiles(b.storeFilesMade);
        ComposeResult refused;
        refused.message = std::string(pick(lang, kTooLarge));
        return refused;
    }
    st.key = b.result.key;
    st.saved = false;
    b.result.needsReceipts = (t.mails[m].flags & MailFlags::signRequired) != 0;
    b.result.closeWindow = t.mails[m].size < kCloseOnSendBelow;
    return b.result;
}

bool loadOutgoing(const CoreTables& t, uint64_t key, ComposeInput& out) {
    int m = t.findOutgoing(key);
    if (m < 0) return false;
    const MailRecord& r = t.mails[m];
    out = ComposeInput{};
    const auto& ds = t.mailDeliveries(m);
    if (!ds.empty()) out.from = t.deliverySenders.str(ds.front());
    for (int e : t.mailOutAddress(m)) {
        if (!out.to.empty()) out.to += ',';
        out.to += t.outAddressEntries.view(e);
    }
    out.options = r.flags;
    out.html = (r.flags & MailFlags::bodyIsFirstFile) != 0;
    if (out.html) {
        out.subjectLine = t.mailSubject(m);
        std::optional<std::string> doc = bodyDocument(t, m);
        if (doc) out.htmlDocument = std::move(*doc);
    } else {
        out.plainText = t.mailSubject(m);
    }
    for (int a : t.mailFiles(m))
        if (!isBodyFile(t, a)) out.attachments.push_back(t.attachmentPaths.str(a));
    return true;
}

ReceiptPlan planReceipts(const CoreTables& t, int m, UiLanguage lang) {
    ReceiptPlan p;
    if (m < 0 || m >= t.mails.count()) return p;
    const auto& ds = t.mailDeliveries(m);
    if (static_cast<int>(ds.size()) > kMaxSignReceivers) {
        p.message = std::string(pick(lang, kSignLimit));
        return p;
    }
    for (int d : ds)
        p.recipients.push_back(t.deliveryRecipients.str(d));
    if (!ds.empty()) p.sender = t.deliverySenders.str(ds.front());
    p.created = t.mails[m].created;
    StringPool names;
    t.mailAttachmentNames(m, names);
    for (int i = 0; i < names.count(); ++i) {
        if (i) p.attachmentNames.push_back(',');
        p.attachmentNames.append(names.view(i));
    }
    p.subject = t.subjects.str(m);
    p.ok = true;
    return p;
}

std::vector<std::string> storeHtmlBody(const CoreTables& t, std::string_view html) {
    StoredBody sb = storeBody(t, html);
    return sb.ok ? sb.files : std::vector<std::string>{};
}

}  // namespace orv
