#include "mail/read.h"

#include <algorithm>
#include <cstdio>

#include "core/format.h"
#include "core/tables.h"
#include "mail/mail_files.h"

namespace orv {
namespace {

constexpr std::string_view kSeparator28 = "\r\n\r\n============================\r\n";
constexpr std::string_view kSeparator35 = "\r\n\r\n\r\n===================================\r\n";

constexpr std::string_view kQuoteTemplate =
    "<DIV>&nbsp;</DIV><DIV>&nbsp;</DIV><DIV>&nbsp;</DIV><DIV>&nbsp;</DIV><DIV> <HR> </DIV>"
    "<BLOCKQUOTE style=\"FONT-SIZE: 9pt; MARGIN-LEFT: 0px\"><TABLE style=\"FONT-SIZE: 9pt\">"
    "<TBODY><TR><TD>to</TD></TR><TR><TD>from</TD></TR><TR><TD>time</TD></TR></TBODY></TABLE>"
    "</BLOCKQUOTE><DIV>&nbsp;</DIV>";

std::string joined(const StringPool& p) {
    std::string out;
    for (int i = 0; i < p.count(); ++i) {
        if (i) out += ',';
        out += p.view(i);
    }
    return out;
}

int findInbox(const CoreTables& t, uint64_t key) {
    if (key == kNoMailKey) return -1;
    int m = t.findReceived(key);
    return m >= 0 && t.mails[m].kind == MailKind::Inbox ? m : -1;
}

size_t findIgnoreCase(std::string_view s, std::string_view needle, size_t from = 0) {
    for (size_t i = from; i + needle.size() <= s.size(); ++i) {
        if (equalsIgnoreCase(s.substr(i, needle.size()), needle)) return i;
    }
    return std::string_view::npos;
}

size_t rfindIgnoreCase(std::string_view s, std::string_view needle) {
    if (needle.size() > s.size()) return std::string_view::npos;
    for (size_t i = s.size() - needle.size() + 1; i-- > 0;) {
        if (equalsIgnoreCase(s.substr(i, needle.size()), needle)) return i;
    }
    return std::string_view::npos;
}

// Names come from peers; they must not turn into markup inside the quoted block.
std::string escapeHtml(std::string_view s) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

void replaceAll(std::string& s, std::string_view from, std::string_view to) {
    if (from.empty()) return;
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
}

std::string stripTrailingNuls(std::string s) {
    while (!s.empty() && s.back() == '\0')
        s.pop_back();
    return s;
}

// An empty page to quote into when the original body cannot be had.
constexpr std::string_view kEmptyPage = "<HTML><HEAD></HEAD><BODY></BODY></HTML>";

ReplyResult noMail() {
    ReplyResult r;
    r.refusal = ReadRefusal::NoMail;
    return r;
}

// The quoted body of an HTML reply or forward, or the separated text of a plain one.
void fillQuotedBody(const CoreTables& t, int m, std::string_view quotedTo,
                    std::string_view separator, UiLanguage lang, TextPair subjectPrefix,
                    ComposeInput& in) {
    const MailRecord& r = t.mails[m];
    std::string subject = t.mailSubject(m);
    in.html = (r.flags & MailFlags::bodyIsFirstFile) != 0;
    if (!in.html) {
        in.plainText = std::string(separator) + subject;
        return;
    }
    StringPool senders;
    t.mailSenders(m, senders);
    in.subjectLine = std::string(pick(lang, subjectPrefix)) + subject;
    std::string block = quoteBlock(t, quotedTo, joined(senders), r.created, lang);
    std::optional<std::string> doc = bodyDocument(t, m);
    in.htmlDocument = insertAfterBodyTag(doc ? *doc : std::string(kEmptyPage), block);
}

}  // namespace

const ReadTexts& readTexts() {
    static const ReadTexts texts{
        {"Receive Mail", "接收邮件"},
        {"From", "发件人"},
        {"To", "收件人"},
        {"Receive", "接收"},
        {"Reply", "回复"},
        {"Previous", "上一封"},
        {"Next", "下一封"},
        {"Forward", "转发"},
        {"&Open", "打开(&O)"},
        {"Save &As...", "保存到(&A)..."},
        {"Op&en Containing Folder", "打开所在文件夹(&E)"},
    };
    return texts;
}

void storeWindowPlacement(CoreTables& t, bool readMode, int32_t x, int32_t y, int32_t width,
                          int32_t height, bool maximisedOrMinimised) {
    if (maximisedOrMinimised) return;
    int base = readMode ? kReadPlacementSetting : kComposePlacementSetting;
    t.setSettingNumber(base, x);
    t.setSettingNumber(base + 1, y);
    t.setSettingNumber(base + 2, width);
    t.setSettingNumber(base + 3, height);
}

ReadModel loadReceived(const CoreTables& t, uint64_t key, std::string_view user) {
    ReadModel model;
    if (key == kNoMailKey) {
        std::optional<uint64_t> latest = t.latestReceived(user);
        if (!latest) return model;
        key = *latest;
    }
    int m = findInbox(t, key);
    if (m < 0) return model;
    const MailRecord& r = t.mails[m];
    model.found = true;
    model.key = key;
    model.mail = m;
    StringPool pool;
    t.mailSenders(m, pool);
    model.from = joined(pool);
    t.receivedAddressLine(m, pool);
    model.to = joined(pool);
    model.subject = t.mailSubject(m);
    model.html = (r.flags & MailFlags::bodyIsFirstFile) != 0;
    model.created = r.created;
    model.flags = r.flags;
    for (int a : t.mailAttachmentRows(m)) {
        const AttachmentRecord& rec = t.attachments[a];
        model.attachments.push_back(
            {t.attachmentNames.str(a), t.attachmentPaths.str(a), rec.total, rec.done});
    }
    model.bodyComplete = t.mailBodyPaths(m, pool);
    model.bodyPaths = pool.toVector();
    return model;
}

ReadModel loadPrevious(const CoreTables& t, uint64_t key, std::string_view user) {
    return loadReceived(t, t.previousReceived(user, key), user);
}

ReadModel loadNext(const CoreTables& t, uint64_t key, std::string_view user) {
    return loadReceived(t, t.nextReceived(user, key), user);
}

std::optional<std::string> bodyDocument(const CoreTables& t, int m) {
    if (m < 0 || m >= t.mails.count()) return std::nullopt;
    if (!(t.mails[m].flags & MailFlags::bodyIsFirstFile) || t.mailFiles(m).empty())
        return std::nullopt;
    StringPool paths;
    if (!t.mailBodyPaths(m, paths) || paths.count() == 0) return std::nullopt;
    std::string doc;
    if (!readWholeFile(paths.str(0), doc)) return std::nullopt;
    doc = stripTrailingNuls(std::move(doc));
    // The page names the embedded files where the sender kept them; here they lie in the
    // mail store.
    for (int a : t.mailFiles(m)) {
        if (!isBodyFile(t, a)) continue;
        std::string stored = t.attachmentPaths.str(a);
        std::string local = bodyFileLocation(t, a);
        if (stored.find('/') == std::string::npos || stored == local) continue;
        replaceAll(doc, fileUrl(stored), fileUrl(local));
    }
    return doc;
}

ReadProgress readProgress(CoreTables& t, uint64_t key, const ReceiveProbe& probe,
                          SpeedTextPacer& pacer, UiLanguage lang) {
    ReadProgress out;
    int m = findInbox(t, key);
    if (m < 0) return out;
    out.found = true;
    out.percent = receivedPercent(t, m);
    MailRecord& r = t.mails[m];
    if (out.percent == 100 && !(r.state & MailState::read)) {
        // Seen in full: it no longer counts as new, however its files came.
        r.state = static_cast<uint8_t>(r.state | MailState::read);
        t.noteChange();
        out.nowRead = true;
    }
    if (!r.fetchRequested && r.size != 0) {
        out.status = out.percent < 100 ? pick(lang, "Hint:Click \"Receive\" Button to get file",
                                              "提示：点击“接收”开始接收附件")
                                       : pick(lang, "Download Complete", "邮件接收完毕");
        return out;
    }
    if (out.percent == 100) {
        out.status = pick(lang, "Receive complete", "邮件接收完毕");
        return out;
    }
    if (t.now() - r.lastActivity > kReadStallSeconds) {
        out.clearSpeed = true;
        const auto& rows = t.mailReceivedRecipients(m);
        // The files come from the sender: its link is what "connected" is about.
        bool linked = rows.size() == 1 && probe.connected &&
                      probe.connected(t.receivedRecipientSenders.view(rows[0]));
        out.status = linked ? pick(lang, "Connected...", "已连接到用户")
                            : pick(lang, "Connecting...", "正在连接中...");
        return out;
    }
    if (pacer.due(probe.nowMillis)) {
        out.setSpeed = true;
        out.speed = FormatRate(probe.bytesPerSecond);
    }
    int32_t start = t.mailMeter(m).start;
    int32_t elapsed = start > 0 ? std::max<int32_t>(0, t.now() - start) : 0;
    char buf[160];
    std::snprintf(buf, sizeof buf,
                  lang == UiLanguage::Chinese ? "接收中(用时 %d:%d:%02d,%d%%)..."
                                              : "Receiving(elapse %d:%d:%02d,%d%%)... ",
                  elapsed / 3600, elapsed / 60 % 60, elapsed % 60, out.percent);
    out.status = buf;
    return out;
}

namespace {
// The received mail with `key` and its attachment row number `index`; a refusal in c when
// either is missing.
bool findAttachment(const CoreTables& t, uint64_t key, int index, ReadCheck& c, int& m, int& a) {
    m = findInbox(t, key);
    if (m < 0) {
        c.refusal = ReadRefusal::NoMail;
        return false;
    }
    auto rows = t.mailAttachmentRows(m);
    if (index < 0 || index >= static_cast<int>(rows.size())) {
        c.refusal = ReadRefusal::NoAttachment;
        return false;
    }
    a = rows[static_cast<size_t>(index)];
    return true;
}
}  // namespace

ReadCheck openAttachment(const CoreTables& t, uint64_t key, int index, UiLanguage lang) {
    ReadCheck c;
    int m = -1, a = -1;
    if (!findAttachment(t, key, index, c, m, a)) return c;
    const AttachmentRecord& rec = t.attachments[a];
    if (receivedPercent(t, m) != 100 || rec.done != rec.total) {
        c.refusal = ReadRefusal::DownloadIncomplete;
        c.message = pick(lang, "Download not complete!", "文件未下载完全!");
        return c;
    }
    c.path = t.attachmentPaths.str(a);
    return c;
}

ReadCheck openContainingFolder(const CoreTables& t, uint64_t key, int index, UiLanguage lang) {
    ReadCheck c;
    int m = -1, a = -1;
    if (!findAttachment(t, key, index, c, m, a)) return c;
    std::string path = t.attachmentPaths.str(a);
    size_t slash = path.rfind('/');
    // A bare name has no folder yet: its reception has not begun.
    if (receivedPercent(t, m) == 0 || slash == std::string::npos) {
        c.refusal = ReadRefusal::DownloadNotStarted;
        c.message = pick(lang, "Download not start!", "文件未开始下载!");
        return c;
    }
    c.path = slash == 0 ? "/" : path.substr(0, slash);
    return c;
}

bool saveAttachmentTo(CoreTables& t, uint64_t key, int index, std::string_view path) {
    int m = findInbox(t, key);
    return m >= 0 && !path.empty() && t.setAttachmentPath(m, index, path);
}

std::string readSignature(const CoreTables& t) {
    std::string file = t.settingString(SettingString::SignatureFile);
    std::string text;
    if (file.empty() || !readWholeFile(file, text)) return {};
    text = stripTrailingNuls(std::move(text));
    size_t open = findIgnoreCase(text, "<BODY");
    if (open == std::string::npos) return {};
    size_t start = text.find('>', open);
    size_t end = rfindIgnoreCase(text, "</BODY>");
    if (start == std::string::npos || end == std::string::npos || end <= start) return {};
    return text.substr(start + 1, end - start - 1);
}

std::string quoteBlock(const CoreTables& t, std::string_view to, std::string_view from,
                       int32_t created, UiLanguage lang) {
    const std::string toText =
        std::string(pick(lang, "To&nbsp;&nbsp;:", "收件人：")) + escapeHtml(to);
    const std::string fromText = std::string(pick(lang, "From:", "发件人：")) + escapeHtml(from);
    const std::string timeText =
        std::string(pick(lang, "Time:", "时间&nbsp;&nbsp;：")) + FormatTime(created);
    // One pass over the template: a name that happens to contain "time" or "from" stays as
    // it is.
    std::string block;
    std::string_view tpl = kQuoteTemplate;
    for (size_t i = 0; i < tpl.size();) {
        if (tpl.substr(i, 2) == "to") {
            block += toText;
            i += 2;
        } else if (tpl.substr(i, 4) == "from") {
            block += fromText;
            i += 4;
        } else if (tpl.substr(i, 4) == "time") {
            block += timeText;
            i += 4;
        } else {
            block += tpl[i++];
        }
    }
    if (t.settingNumber(Setting::AddSignature) != 0) block = readSignature(t) + block;
    return block;
}

std::string insertAfterBodyTag(std::string_view document, std::string_view block) {
    size_t open = findIgnoreCase(document, "<BODY");
    size_t end = open == std::string_view::npos ? open : document.find('>', open);
    std::string out;
    if (end == std::string_view::npos) {
        out.append(block);
        out.append(document);
        return out;
    }
    out.append(document.substr(0, end + 1));
    out.append(block);
    out.append(document.substr(end + 1));
    return out;
}

ReplyResult buildReply(const CoreTables& t, uint64_t key, std::string_view user, UiLanguage lang) {
    int m = findInbox(t, key);
    if (m < 0) return noMail();
    ReplyResult res;
    ComposeInput& in = res.input;
    in.from = std::string(user);
    StringPool pool;
    t.mailSenders(m, pool);
    in.to = joined(pool);
    t.receivedAddressLine(m, pool);
    fillQuotedBody(t, m, joined(pool), kSeparator28, lang, {"Reply:", "回复:"}, in);
    return res;
}

ReplyResult buildReplyAll(const CoreTables& t, uint64_t key, std::string_view user,
                          UiLanguage lang) {
    (void)lang;
    int m = findInbox(t, key);
    if (m < 0) return noMail();
    ReplyResult res;
    ComposeInput& in = res.input;
    in.from = std::string(user);
    StringPool names;
    t.mailSenders(m, names);
    // The senders, then every receiver row as it stands (repeats and the user's own name
    // included: sending resolves the list and each receiver gets the mail once).
    in.to = joined(names);
    for (int r : t.mailReceivedRecipients(m)) {
        in.to += ',';
        in.to += t.receivedRecipientNames.view(r);
    }
    in.plainText = std::string(kSeparator28) + t.mailSubject(m);
    return res;
}

ReplyResult buildToolbarReply(const CoreTables& t, uint64_t key, std::string_view user,
                              UiLanguage lang) {
    (void)lang;
    int m = findInbox(t, key);
    if (m < 0) return noMail();
    ReplyResult res;
    res.input.from = std::string(user);
    StringPool pool;
    t.mailSenders(m, pool);
    res.input.to = joined(pool);
    res.input.plainText = std::string(kSeparator35) + t.mailSubject(m);
    return res;
}

ReplyResult buildForward(const CoreTables& t, uint64_t key, std::string_view user,
                         UiLanguage lang) {
    int m = findInbox(t, key);
    if (m < 0) return noMail();
    ReplyResult res;
    if (receivedPercent(t, m) != 100) {
        res.refusal = ReadRefusal::ForwardIncomplete;
        res.message = pick(lang, "Can't foward mail now!", "邮件未接收完全，不能转发！");
        return res;
    }
    ComposeInput& in = res.input;
    in.from = std::string(user);
    StringPool pool;
    t.receivedAddressLine(m, pool);
    fillQuotedBody(t, m, joined(pool), kSeparator28, lang, {"Foward:", "转发:"}, in);
    t.mailAttachmentPaths(m, pool);
    in.attachments = pool.toVector();
    return res;
}

}  // namespace orv
