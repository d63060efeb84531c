#include "mail/mail_view.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <unordered_set>

#include "core/format.h"
#include "core/mail_queries.h"
#include "mail/mail_files.h"
#include "mail/mail_index.h"

namespace orv {

namespace {

constexpr TextPair kFrom{"From", "发件人"};
constexpr TextPair kTo{"To", "收件人"};
constexpr TextPair kType{"Type", "类型"};
constexpr TextPair kMessage{"Message", "标题"};
constexpr TextPair kAttach{"Attach", "文件"};
constexpr TextPair kTime{"Time", "发送时间"};
constexpr TextPair kSize{"Size", "文件大小"};

constexpr ColumnInfo kInboxColumns[] = {
    {Column::From, kFrom, 0},     {Column::Type, kType, 36}, {Column::Message, kMessage, 1},
    {Column::Attach, kAttach, 2}, {Column::Time, kTime, 3},  {Column::Size, kSize, 19}};
constexpr ColumnInfo kOutboxColumns[] = {
    {Column::To, kTo, 4},         {Column::Type, kType, 37}, {Column::Message, kMessage, 5},
    {Column::Attach, kAttach, 6}, {Column::Time, kTime, 7},  {Column::Size, kSize, 20}};
constexpr ColumnInfo kTrashColumns[] = {
    {Column::To, kTo, 8},          {Column::From, kFrom, 9},
    {Column::Type, kType, 38},     {Column::Message, kMessage, 10},
    {Column::Attach, kAttach, 11}, {Column::Time, kTime, 12},
    {Column::Size, kSize, 21}};
constexpr ColumnInfo kDraftColumns[] = {
    {Column::To, kTo, 62},         {Column::Type, kType, 63}, {Column::Message, kMessage, 64},
    {Column::Attach, kAttach, 65}, {Column::Time, kTime, 66}, {Column::Size, kSize, 67}};
constexpr ColumnInfo kSentColumns[] = {
    {Column::To, kTo, 22},         {Column::Type, kType, 39}, {Column::Message, kMessage, 23},
    {Column::Attach, kAttach, 24}, {Column::Time, kTime, 25}, {Column::Size, kSize, 26}};

bool sentBy(const CoreTables& t, int m, std::string_view user) {
    for (int d : t.mailDeliveries(m)) {
        if (equalsIgnoreCase(t.deliverySenders.view(d), user)) return true;
    }
    return false;
}

bool listedFor(const CoreTables& t, int view, int m, std::string_view user, int category) {
    const MailRecord& r = t.mails[m];
    switch (view) {
        case View::Inbox:
            return r.kind == MailKind::Inbox && inInboxCategory(r.flags, category) &&
                   t.isReceivedRecipientOf(user, m);
        case View::Outbox:
            return r.kind == MailKind::Outbox && sentBy(t, m, user);
        case View::Trash:
            if (r.kind == MailKind::TrashReceived) return t.isReceivedRecipientOf(user, m);
            return (r.kind == MailKind::TrashOutgoing || r.kind == MailKind::TrashDraft) &&
                   sentBy(t, m, user);
        case View::Drafts:
            return r.kind == MailKind::Draft && sentBy(t, m, user);
        case View::Sent:
            return r.kind == MailKind::Sent && sentBy(t, m, user);
        default:
            return false;
    }
}

void appendJoined(std::string& out, std::string_view s, bool& first) {
    if (!first) out.push_back(',');
    out.append(s);
    first = false;
}

std::string fromCell(const CoreTables& t, int m) {
    std::vector<std::string_view> seen;
    std::string out;
    bool first = true;
    auto add = [&](std::string_view s) {
        for (auto v : seen)
            if (equalsIgnoreCase(v, s)) return;
        seen.push_back(s);
        appendJoined(out, s, first);
    };
    if (CoreTables::isReceivedKind(t.mails[m].kind)) {
        for (int r : t.mailReceivedRecipients(m))
            add(t.receivedRecipientSenders.view(r));
    } else {
        for (int d : t.mailDeliveries(m))
            add(t.deliverySenders.view(d));
    }
    return out;
}

std::string toCell(const CoreTables& t, int m) {
    std::string out;
    bool first = true;
    if (CoreTables::isReceivedKind(t.mails[m].kind)) {
        const auto& entries = t.mailRecvAddress(m);
        if (!entries.empty()) {
            for (int r : entries)
                appendJoined(out, t.recvAddressEntries.view(r), first);
        } else {
            for (int r : t.mailReceivedRecipients(m))
                appendJoined(out, t.receivedRecipientNames.view(r), first);
        }
    } else {
        for (int r : t.mailOutAddress(m))
            appendJoined(out, t.outAddressEntries.view(r), first);
    }
    return out;
}

std::string attachCell(const CoreTables& t, int m) {
    std::string out;
    bool first = true;
    bool skipFirst = (t.mails[m].flags & MailFlags::bodyIsFirstFile) != 0;
    const auto& files = t.mailFiles(m);
    for (size_t j = 0; j < files.size(); ++j) {
        if (j == 0 && skipFirst) continue;
        if (t.attachments[files[j]].attFlags & AttFlags::isBodyPart) continue;
        appendJoined(out, t.attachmentNames.view(files[j]), first);
    }
    return out;
}

unsigned char lower(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c;
}

int compareIgnoreCase(std::string_view a, std::string_view b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = lower(static_cast<unsigned char>(a[i]));
        unsigned char y = lower(static_cast<unsigned char>(b[i]));
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

// The mail at ref.mail, when it is still the one the row showed.
bool stillThere(const CoreTables& t, const MailRef& ref) {
    return ref.mail >= 0 && ref.mail < t.mails.count() && t.mails[ref.mail].key == ref.key &&
           t.mails[ref.mail].kind == ref.kind;
}

std::vector<MailRef> trashRefs(const CoreTables& t, std::string_view user) {
    std::vector<MailRef> refs;
    for (int m = 0; m < t.mails.count(); ++m) {
        if (listedFor(t, View::Trash, m, user, InboxCategory::All))
            refs.push_back({t.mails[m].key, t.mails[m].kind, m});
    }
    return refs;
}

// FormatTime for many times in a row: the offset of local time from UTC is asked of the C
// library at both ends of each quarter hour, and the date worked out by arithmetic when it is
// the same at both (zones change their offset on whole quarter hours, apart from a few
// historic changes, which are asked for each time).
class LocalTimeText {
  public:
    std::string operator()(int64_t seconds) {
        int64_t quarter = floorDiv(seconds, kQuarter);
        if (quarter != quarter_) {
            quarter_ = quarter;
            long end = offsetAt(quarter * kQuarter + kQuarter - 1);
            offset_ = offsetAt(quarter * kQuarter);
            steady_ = offset_ == end;
        }
        long offset = steady_ ? offset_ : offsetAt(seconds);
        int64_t local = seconds + offset;
        int64_t days = floorDiv(local, 86400);
        int64_t inDay = local - days * 86400;
        // Days since 1970-01-01 to a civil date (proleptic Gregorian).
        int64_t z = days + 719468;
        int64_t era = floorDiv(z, 146097);
        int64_t doe = z - era * 146097;
        int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
        int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
        int64_t mp = (5 * doy + 2) / 153;
        int64_t day = doy - (153 * mp + 2) / 5 + 1;
        int64_t month = mp < 10 ? mp + 3 : mp - 9;
        int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
        if (year < 0 || year > 9999) {
            char buf[64];
            std::snprintf(buf, sizeof buf, "%02d-%02d-%02d  %02d:%02d", static_cast<int>(year),
                          static_cast<int>(month), static_cast<int>(day),
                          static_cast<int>(inDay / 3600), static_cast<int>(inDay % 3600 / 60));
            return buf;
        }
        // "YYYY-MM-DD  hh:mm" written digit by digit: this runs once per row.
        std::string out = "0000-00-00  00:00";
        auto two = [&](size_t at, int64_t v) {
            out[at] = static_cast<char>('0' + v / 10);
            out[at + 1] = static_cast<char>('0' + v % 10);
        };
        two(0, year / 100);
        two(2, year % 100);
        two(5, month);
        two(8, day);
        two(12, inDay / 3600);
        two(15, inDay % 3600 / 60);
        return out;
    }

  private:
    static int64_t floorDiv(int64_t a, int64_t b) {
        return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
    }
    static long offsetAt(int64_t seconds) {
        std::time_t at = static_cast<std::time_t>(seconds);
        std::tm tm{};
        localtime_r(&at, &tm);
        return tm.tm_gmtoff;
    }
    static constexpr int64_t kQuarter = 900;
    int64_t quarter_ = INT64_MIN;
    long offset_ = 0;
    bool steady_ = false;
};

}  // namespace

TextPair viewName(int view) {
    switch (view) {
        case View::Inbox:
            return {"In", "收件箱"};
        case View::Outbox:
            return {"Out", "发件箱"};
        case View::Trash:
            return {"Trash", "废件箱"};
        case View::Drafts:
            return {"Drafts", "草稿箱"};
        case View::Group:
            return {"Group", "群组"};
        case View::Sent:
            return {"Sent", "已发送"};
        case View::ShareFile:
            return {"Share File", "共享文件"};
        case View::Transfer:
            return {"Transfer", "传输"};
        case View::Search:
            return {"Search", "搜索"};
        default:
            return {"", ""};
    }
}

std::span<const ColumnInfo> viewColumns(int view) {
    switch (view) {
        case View::Inbox:
            return kInboxColumns;
        case View::Outbox:
            return kOutboxColumns;
        case View::Trash:
        case View::Search:
            return kTrashColumns;
        case View::Drafts:
            return kDraftColumns;
        case View::Sent:
            return kSentColumns;
        default:
            return {};
    }
}

bool viewStoresWidths(int view) {
    return view != View::Search && !viewColumns(view).empty();
}

std::vector<int32_t> columnWidths(const CoreTables& t, int view) {
    std::vector<int32_t> w;
    for (const auto& c : viewColumns(view))
        w.push_back(t.settingNumber(c.widthSetting));
    return w;
}

void storeColumnWidths(CoreTables& t, int view, std::span<const int32_t> widths) {
    if (!viewStoresWidths(view)) return;
    auto cols = viewColumns(view);
    for (size_t i = 0; i < cols.size() && i < widths.size(); ++i)
        if (t.settingNumber(cols[i].widthSetting) != widths[i])
            t.setSettingNumber(cols[i].widthSetting, widths[i]);
}

bool inInboxCategory(uint32_t flags, int category) {
    switch (category) {
        case InboxCategory::All:
            return !(flags & MailFlags::announce);
        case InboxCategory::Private:
            return !(flags & (MailFlags::news | MailFlags::announce | MailFlags::bulletin));
        case InboxCategory::Bulletin:
            return (flags & MailFlags::bulletin) != 0;
        case InboxCategory::Announce:
            return (flags & MailFlags::announce) != 0;
        case InboxCategory::News:
            return (flags & MailFlags::news) != 0;
        default:
            // A category this build does not know (a damaged setting) shows what "All" shows.
            return !(flags & MailFlags::announce);
    }
}

int inboxCategoryForCommand(int commandId) {
    switch (commandId) {
        case 32811:
            return InboxCategory::All;
        case 32812:
            return InboxCategory::Private;
        case 32813:
            return InboxCategory::Bulletin;
        case 32814:
            return InboxCategory::Announce;
        case 32815:
            return InboxCategory::News;
        default:
            return -1;
    }
}

std::string mailTypeText(uint32_t flags, uint8_t state, UiLanguage lang) {
    if (flags == 0 || flags == MailFlags::bodyIsFirstFile)
        return std::string(pick(lang, "General", "普通"));
    std::string out;
    auto add = [&](TextPair p) {
        out.append(pick(lang, p));
        out.push_back(',');
    };
    if (flags & MailFlags::news) add({"News", "新闻"});
    if (flags & MailFlags::bulletin) add({"Bulletin", "公告"});
    if (flags & MailFlags::announce) add({"Announce", "通告"});
    if (flags & MailFlags::urgent) add({"Urgent", "紧急"});
    if (flags & MailFlags::classified) add({"Classified ", "机密"});
    if (flags & MailFlags::signRequired) {
        if (state & MailState::signedBit)
            add({"Signed", "已签收"});
        else
            add({"Unsigned", "未签收"});
    }
    if (!out.empty()) out.pop_back();
    return out;
}

std::string messageCellText(std::string_view subject) {
    // Most subjects are short and on one line: as they stand.
    if (subject.size() <= 255 && subject.find_first_of("\r\n") == std::string_view::npos)
        return std::string(subject);
    std::string out;
    out.reserve(std::min<size_t>(subject.size(), 1024));
    int chars = 0;
    for (size_t i = 0; i < subject.size();) {
        unsigned char c = static_cast<unsigned char>(subject[i]);
        size_t len = 1;
        if (c >= 0xC0) {
            len = c >= 0xF0 ? 4 : (c >= 0xE0 ? 3 : 2);
            // A broken sequence counts byte by byte.
            for (size_t k = 1; k < len; ++k) {
                if (i + k >= subject.size() ||
                    (static_cast<unsigned char>(subject[i + k]) & 0xC0) != 0x80) {
                    len = 1;
                    break;
                }
            }
        }
        if (chars == 255) break;
        if (c == '\r' || c == '\n')
            out.push_back(' ');
        else
            out.append(subject.substr(i, len));
        ++chars;
        i += len;
    }
    return out;
}

int rowMarker(int32_t kind, uint8_t state) {
    if (kind == MailKind::Outbox || kind == MailKind::TrashOutgoing || kind == MailKind::Sent ||
        kind == MailKind::Draft)
        return 2;
    return (state & MailState::read) ? 1 : 0;
}

MailMatch matchMails(const std::vector<int>& mails, int mailCount) {
    std::vector<char> in(static_cast<size_t>(std::max(mailCount, 0)), 0);
    for (int m : mails)
        if (m >= 0 && m < mailCount) in[static_cast<size_t>(m)] = 1;
    return [in = std::move(in)](int m) {
        return m >= 0 && static_cast<size_t>(m) < in.size() && in[static_cast<size_t>(m)];
    };
}

std::vector<MailRow> buildView(const CoreTables& t, int view, std::string_view user,
                               int inboxCategory, UiLanguage lang, const MailMatch& match) {
    std::vector<MailRow> rows;
    auto cols = viewColumns(view);
    if (cols.empty()) return rows;
    if (view == View::Search && !match) return rows;
    bool want[kColumnCount] = {};
    for (const auto& c : cols)
        want[static_cast<int>(c.column)] = true;

    // The mails first, so the rows are made in place once: growing a vector of rows moves
    // every row built so far.
    std::vector<int> listed;
    listed.reserve(static_cast<size_t>(t.mails.count()));
    for (int m = t.mails.count() - 1; m >= 0; --m)
        if (view == View::Search ? match(m) : listedFor(t, view, m, user, inboxCategory))
            listed.push_back(m);
    rows.resize(listed.size());
    LocalTimeText timeText;
    std::string generalType = mailTypeText(0, 0, lang);
    for (size_t i = 0; i < listed.size(); ++i) {
        int m = listed[i];
        const MailRecord& r = t.mails[m];
        MailRow& row = rows[i];
        row.key = r.key;
        row.kind = r.kind;
        row.mail = m;
        row.marker = rowMarker(r.kind, r.state);
        row.created = r.created;
        row.size = r.size;
        if (want[static_cast<int>(Column::From)])
            row.cells[static_cast<int>(Column::From)] = fromCell(t, m);
        if (want[static_cast<int>(Column::To)])
            row.cells[static_cast<int>(Column::To)] = toCell(t, m);
        row.cells[static_cast<int>(Column::Type)] =
            (r.flags == 0 || r.flags == MailFlags::bodyIsFirstFile)
                ? generalType
                : mailTypeText(r.flags, r.state, lang);
        // A mail kept in the Outbox because a recipient does not exist says so in its row.
        if (r.kind == MailKind::Outbox && !refusedRecipients(t, m).empty())
            row.cells[static_cast<int>(Column::Type)] = pick(lang, kNoSuchUser);
        row.cells[static_cast<int>(Column::Message)] = messageCellText(t.subjects.view(m));
        row.cells[static_cast<int>(Column::Attach)] = attachCell(t, m);
        row.cells[static_cast<int>(Column::Time)] = timeText(r.created);
        row.cells[static_cast<int>(Column::Size)] = FormatSize(static_cast<uint64_t>(r.size));
    }
    return rows;
}

void sortRows(std::vector<MailRow>& rows, int view, int columnPos, bool descending) {
    auto cols = viewColumns(view);
    if (columnPos < 0 || columnPos >= static_cast<int>(cols.size())) return;
    Column c = cols[static_cast<size_t>(columnPos)].column;
    auto cmp = [c](const MailRow& a, const MailRow& b) -> int {
        if (c == Column::Time) return a.created == b.created ? 0 : (a.created < b.created ? -1 : 1);
        if (c == Column::Size) return a.size == b.size ? 0 : (a.size < b.size ? -1 : 1);
        return compareIgnoreCase(a.cell(c), b.cell(c));
    };
    // Ordered as positions, then moved once: merging the rows themselves moves every row
    // many times.
    std::vector<uint32_t> order(rows.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = static_cast<uint32_t>(i);
    std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
        int r = cmp(rows[a], rows[b]);
        return descending ? r > 0 : r < 0;
    });
    std::vector<MailRow> sorted;
    sorted.reserve(rows.size());
    for (uint32_t i : order)
        sorted.push_back(std::move(rows[i]));
    rows = std::move(sorted);
}

// ---------------------------------------------------------------- moving and deleting

MailRef refOf(const MailRow& row) {
    return {row.key, row.kind, row.mail};
}

TextPair deleteAttachQuestion() {
    return {"Delete attach file?", "是否删除接收到的文件？"};
}

MoveOutcome deleteMails(CoreTables& t, std::span<const MailRef> refs, const AskDeleteFiles& ask) {
    MoveOutcome out;
    std::vector<MailRef> forGood;
    for (const MailRef& ref : refs) {
        if (!stillThere(t, ref)) continue;
        MailRecord& r = t.mails[ref.mail];
        switch (r.kind) {
            case MailKind::Inbox:
                r.kind = MailKind::TrashReceived;
                break;
            case MailKind::Outbox:
            case MailKind::Sent:
                r.kind = MailKind::TrashOutgoing;
                break;
            case MailKind::Draft:
                r.kind = MailKind::TrashDraft;
                break;
            case MailKind::TrashOutgoing:
            case MailKind::TrashReceived:
            case MailKind::TrashDraft:
                forGood.push_back(ref);
                continue;
            default:
                continue;
        }
        ++out.moved;
    }
    if (out.moved) t.noteChange();
    if (!forGood.empty()) {
        MoveOutcome g = deleteForGood(t, forGood, ask);
        out.erased = g.erased;
        out.filesRemoved = g.filesRemoved;
        out.asked = g.asked;
    }
    return out;
}

MoveOutcome restoreMails(CoreTables& t, std::span<const MailRef> refs) {
    MoveOutcome out;
    for (const MailRef& ref : refs) {
        if (!stillThere(t, ref)) continue;
        int m = ref.mail;
        MailRecord& r = t.mails[m];
        if (r.kind == MailKind::TrashReceived) {
            r.kind = MailKind::Inbox;
        } else if (r.kind == MailKind::TrashDraft) {
            r.kind = MailKind::Draft;
        } else if (r.kind == MailKind::TrashOutgoing) {
            bool allDone = true;
            for (int d : t.mailDeliveries(m))
                if (t.deliveries[d].state != DeliveryState::Delivered) allDone = false;
            r.kind = allDone ? MailKind::Sent : MailKind::Outbox;
        } else {
            continue;
        }
        ++out.moved;
    }
    if (out.moved) t.noteChange();
    return out;
}

MoveOutcome deleteAllTrash(CoreTables& t, std::string_view user, const AskDeleteFiles& ask) {
    auto refs = trashRefs(t, user);
    return deleteForGood(t, refs, ask);
}

MoveOutcome restoreAllTrash(CoreTables& t, std::string_view user) {
    auto refs = trashRefs(t, user);
    return restoreMails(t, refs);
}

MoveOutcome deleteForGood(CoreTables& t, std::span<const MailRef> refs, const AskDeleteFiles& ask) {
    MoveOutcome out;
    const int n = t.mails.count();
    std::vector<char> marked(static_cast<size_t>(n), 0);
    std::vector<int> list;
    for (const MailRef& ref : refs) {
        if (!stillThere(t, ref)) continue;
        int32_t k = t.mails[ref.mail].kind;
        if (k != MailKind::TrashOutgoing && k != MailKind::TrashReceived &&
            k != MailKind::TrashDraft)
            continue;
        if (marked[static_cast<size_t>(ref.mail)]) continue;
        marked[static_cast<size_t>(ref.mail)] = 1;
        list.push_back(ref.mail);
    }
    if (list.empty()) return out;

    const std::string store = t.mailStoreFolder();
    const std::string recv = t.settingString(SettingString::ReceiveFolder);

    // Files that mails staying behind still use (a forwarded mail shares the original's
    // pictures) are never deleted.
    std::unordered_set<std::string> inUse;
    for (int a = 0; a < t.attachments.count(); ++a) {
        int m = t.attachments[a].mail;
        if (m >= 0 && m < n && marked[static_cast<size_t>(m)]) continue;
        for (const auto& p : localFilesOf(t, a))
            inUse.insert(normalPath(p));
    }

    std::vector<std::string> remove, askFirst;
    std::unordered_set<std::string> taken;
    auto consider = [&](const std::string& p, std::vector<std::string>& to) {
        std::string np = normalPath(p);
        if (inUse.count(np) || !taken.insert(np).second) return;
        std::error_code ec;
        if (!std::filesystem::is_regular_file(np, ec)) return;
        to.push_back(np);
    };
    for (int m : list) {
        bool received = t.mails[m].kind == MailKind::TrashReceived;
        for (int a : t.mailFiles(m)) {
            bool body = (t.attachments[a].attFlags & AttFlags::isBodyPart) != 0;
            for (const auto& p : localFilesOf(t, a)) {
                if (isInsideFolder(p, store)) {
                    if (received || body) consider(p, remove);
                } else if (received && !recv.empty() && p.find('/') != std::string::npos &&
                           isInsideFolder(p, recv)) {
                    consider(p, askFirst);
                }
            }
        }
    }
    if (!askFirst.empty() && ask) {
        out.asked = true;
        if (ask()) remove.insert(remove.end(), askFirst.begin(), askFirst.end());
    }
    for (const auto& p : remove) {
        std::error_code ec;
        if (std::filesystem::remove(p, ec)) ++out.filesRemoved;
    }
    t.eraseMails(list);
    out.erased = static_cast<int>(list.size());
    return out;
}

// ---------------------------------------------------------------- search

bool containsIgnoreCase(std::string_view h, std::string_view n) {
    if (n.empty()) return true;
    if (n.size() > h.size()) return false;
    const unsigned char first = lower(static_cast<unsigned char>(n[0]));
    for (size_t i = 0; i + n.size() <= h.size(); ++i) {
        if (lower(static_cast<unsigned char>(h[i])) != first) continue;
        size_t k = 1;
        while (k < n.size() && lower(static_cast<unsigned char>(h[i + k])) ==
                                   lower(static_cast<unsigned char>(n[k])))
            ++k;
        if (k == n.size()) return true;
    }
    return false;
}

MailSearch::MailSearch(const CoreTables& t, std::string text, MailIndex* index)
    : t_(t), text_(std::move(text)), index_(index), total_(t.mails.count()) {
    if (!index_ || !index_->ok()) phase_ = Phase::Scan;
}

MailSearch::Progress MailSearch::progress() const {
    if (!index_ || !index_->ok()) return {next_, total_, next_ >= total_};
    int pending = index_ && phase_ == Phase::Index ? index_->waiting() : 0;
    int total = indexTotal_ + total_ + 1;
    int done = indexTotal_ - pending + next_ + (phase_ == Phase::Scan ? 1 : 0);
    bool finished = phase_ == Phase::Scan && next_ >= total_;
    return {finished ? total : done, total, finished};
}

MailSearch::Progress MailSearch::step(int budget) {
    if (budget < 1) budget = 1;
    if (phase_ == Phase::Plan) {
        indexTotal_ = index_->plan();
        phase_ = Phase::Index;
        return progress();
    }
    if (phase_ == Phase::Index) {
        // Reading a file costs far more than testing a mail's fields.
        if (!index_->addSome(std::max(1, budget / 8))) return progress();
        phase_ = Phase::Query;
    }
    if (phase_ == Phase::Query) {
        useIndex_ = index_->find(text_, bodyHits_);
        phase_ = Phase::Scan;
        return progress();
    }
    while (budget-- > 0 && next_ < total_) {
        int m = next_++;
        if (m < t_.mails.count() && matchesMail(m)) {
            found_.push_back(m);
            foundKeys_.push_back(t_.mails[m].key);
        }
    }
    return progress();
}

bool MailSearch::bodyMatches(int m, size_t fileNumber, int a) const {
    if (!isSearchedBody(t_, m, fileNumber, a)) return false;
    if (useIndex_) {
        int64_t id = index_->idOf(a);
        if (id >= 0) return bodyHits_.count(id) != 0;
    }
    std::string contents;
    // An unreadable body file is skipped.
    return readWholeFile(bodyFileLocation(t_, a), contents) &&
           containsIgnoreCase(bodySearchText(contents), text_);
}

bool MailSearch::matchesMail(int m) const {
    const std::string_view s = text_;
    if (containsIgnoreCase(t_.subjects.view(m), s)) return true;
    for (int a : t_.mailFiles(m))
        if (containsIgnoreCase(t_.attachmentPaths.view(a), s)) return true;
    for (int r : t_.mailOutAddress(m))
        if (containsIgnoreCase(t_.outAddressEntries.view(r), s)) return true;
    for (int r : t_.mailRecvAddress(m))
        if (containsIgnoreCase(t_.recvAddressEntries.view(r), s)) return true;
    for (int r : t_.mailReceivedRecipients(m))
        if (containsIgnoreCase(t_.receivedRecipientSenders.view(r), s) ||
            containsIgnoreCase(t_.receivedRecipientNames.view(r), s))
            return true;
    // The deliveries hold every member a group entry of the address line stood for.
    for (int d : t_.mailDeliveries(m))
        if (containsIgnoreCase(t_.deliverySenders.view(d), s) ||
            containsIgnoreCase(t_.deliveryRecipients.view(d), s))
            return true;
    const auto& files = t_.mailFiles(m);
    for (size_t j = 0; j < files.size(); ++j)
        if (bodyMatches(m, j, files[j])) return true;
    return false;
}

MailMatch MailSearch::matcher() const {
    std::vector<int> keep;
    for (size_t i = 0; i < found_.size(); ++i) {
        int m = found_[i];
        if (m < t_.mails.count() && t_.mails[m].key == foundKeys_[i]) keep.push_back(m);
    }
    return matchMails(keep, t_.mails.count());
}

// ---------------------------------------------------------------- contacts

ContactOutcome addSenderToContacts(CoreTables& t, int m, UiLanguage lang) {
    ContactOutcome out;
    if (m < 0 || m >= t.mails.count()) return out;
    StringPool senders;
    t.mailSenders(m, senders);
    if (senders.empty()) return out;
    out.name = senders.str(0);
    if (out.name.empty()) return out;
    if (t.contacts.find(out.name) >= 0) {
        out.message = std::string(
            pick(lang, "User is already in contact list!", "该用户已经在联系人列表中！"));
        return out;
    }
    t.contacts.append(out.name);
    t.noteChange();
    out.added = true;
    return out;
}

}  // namespace orv
