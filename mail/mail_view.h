#pragma once
// The mail folders as the user sees them: which mails a view lists, the cells of each row and
// their order, moving mails between folders, deleting them for good together with their files,
// searching them, and taking a sender into the contacts. No window toolkit here: the main
// window and the headless tool both call this.
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "core/core_tables.h"
#include "core/text.h"

namespace orv {

namespace View {
enum : int {
    Inbox = 0,
    Outbox = 1,
    Trash = 2,
    Drafts = 3,
    Group = 4,
    Sent = 5,
    ShareFile = 6,
    Transfer = 7,
    Search = 8
};
}

// Values of the Inbox category (settings number 59 keeps the last one).
namespace InboxCategory {
enum : int { All = 0, Bulletin = 2, Private = 3, Announce = 4, News = 64 };
}

enum class Column : int { From = 0, To, Type, Message, Attach, Time, Size };
constexpr int kColumnCount = 7;

struct ColumnInfo {
    Column column;
    TextPair title;
    int widthSetting;  // settings number holding the column's width
};

// The view's name; empty texts for an unknown view.
TextPair viewName(int view);
// Columns of a list view in display order; empty for the panels (4, 6, 7) and unknown views.
std::span<const ColumnInfo> viewColumns(int view);
// Whether the view's column widths are written back (view 8 borrows the Trash widths).
bool viewStoresWidths(int view);
// The widths of the view's columns from their settings numbers, in column order.
std::vector<int32_t> columnWidths(const CoreTables& t, int view);
// Writes the widths back (when leaving or refreshing the view, and at exit); view 8 keeps them.
void storeColumnWidths(CoreTables& t, int view, std::span<const int32_t> widths);

// Whether a received mail with these flags belongs to the Inbox category.
bool inInboxCategory(uint32_t flags, int category);
// The category a menu command (32811 to 32815) selects, or -1.
int inboxCategoryForCommand(int commandId);

// Texts of the Type column: "General" for no flags or the body flag alone, otherwise the set
// flags in the order news, bulletin, announce, urgent, classified, sign, joined with ",".
std::string mailTypeText(uint32_t flags, uint8_t state, UiLanguage lang);
// The Message column: line breaks as blanks, at most 255 characters (UTF-8 code points, so a
// character is never cut in half).
std::string messageCellText(std::string_view subject);
// Row icon: 2 for outgoing kinds, else 1 when read, 0 when not.
int rowMarker(int32_t kind, uint8_t state);

struct MailRow {
    uint64_t key = 0;
    int32_t kind = 0;
    int mail = -1;  // index in the mail table when the rows were built
    int marker = 0;
    std::string cells[kColumnCount];
    int32_t created = 0;
    int64_t size = 0;

    const std::string& cell(Column c) const { return cells[static_cast<int>(c)]; }
};

// An Outbox mail with a recipient that does not exist: its row and its compose window say so.
inline constexpr TextPair kNoSuchUser{"Error:User not exists!!!", "错误：该用户不存在!!!"};

// Decides for view 8 whether mail index m is listed.
using MailMatch = std::function<bool(int mail)>;
// A match for a fixed list of mail indexes.
MailMatch matchMails(const std::vector<int>& mails, int mailCount);

// The rows of a view, newest first (mail-table order reversed). `user` is the logged-in name;
// `inboxCategory` filters view 0; `match` selects the mails of view 8 (no match: no rows).
// Linear in the number of mails and their rows.
std::vector<MailRow> buildView(const CoreTables& t, int view, std::string_view user,
                               int inboxCategory, UiLanguage lang, const MailMatch& match = {});

// Orders rows by the view's column at position `columnPos` (0-based, as viewColumns lists them):
// Time and Size by value, every other column as text ignoring case. Stable; rows that compare
// equal keep their order in both directions. A position outside the view leaves the rows.
void sortRows(std::vector<MailRow>& rows, int view, int columnPos, bool descending);

// ---- moving and deleting ----

// Names a mail a command acts on: the row's key, kind and index as listed. A row whose mail no
// longer sits at that index with that key and kind is skipped.
struct MailRef {
    uint64_t key = 0;
    int32_t kind = 0;
    int mail = -1;
};
MailRef refOf(const MailRow& row);

// Asked at most once per command, when a received mail deleted for good has files in the
// receive folder: true deletes them. Without a callback those files are kept.
using AskDeleteFiles = std::function<bool()>;
TextPair deleteAttachQuestion();

struct MoveOutcome {
    int moved = 0;   // mails whose kind changed
    int erased = 0;  // mails deleted for good
    int filesRemoved = 0;
    bool asked = false;  // whether the question was asked
};

// Delete: Inbox 1 -> 4, Outbox 0 -> 3, Sent 16 -> 3, Drafts 26 -> 28; mails already in the
// Trash (3, 4, 28) are deleted for good.
MoveOutcome deleteMails(CoreTables& t, std::span<const MailRef> refs, const AskDeleteFiles& ask);
// Restore (Trash): 4 -> 1, 28 -> 26, 3 -> 16 when every delivery is done (state 9), else 0.
MoveOutcome restoreMails(CoreTables& t, std::span<const MailRef> refs);
// Delete all / Restore all of the user's Trash.
MoveOutcome deleteAllTrash(CoreTables& t, std::string_view user, const AskDeleteFiles& ask);
MoveOutcome restoreAllTrash(CoreTables& t, std::string_view user);
// Deletes mails of kinds 3, 4 and 28 for good with their files on disk: body files inside the
// mail store, and for received mails, after one Yes, their files inside the receive folder.
// Files elsewhere, and files another remaining mail still refers to, are left.
MoveOutcome deleteForGood(CoreTables& t, std::span<const MailRef> refs, const AskDeleteFiles& ask);

// ---- search ----

// Case-insensitive (ASCII) substring test; an empty needle matches.
bool containsIgnoreCase(std::string_view haystack, std::string_view needle);

class MailIndex;

// Searches every mail of the tables (any kind, any user) in slices, so a window can show
// progress between them: subject, file paths, address-line entries, sender and recipient
// names (the members a group entry stood for included), and the contents of the mail's
// ".htm" body files (bodySearchText). With an index, the bodies it lacks are indexed first
// and the rest are looked up in it; without one, or for a body still coming in, the file is
// read from disk.
class MailSearch {
  public:
    MailSearch(const CoreTables& t, std::string text, MailIndex* index = nullptr);
    struct Progress {
        int done = 0;
        int total = 0;
        bool finished = false;
        int percent() const { return total ? static_cast<int>(int64_t{done} * 100 / total) : 100; }
    };
    // Tests up to `budget` more mails (at least one).
    Progress step(int budget);
    // Runs to the end.
    Progress run() {
        Progress p;
        do {
            p = step(total_ + 1);
        } while (!p.finished);
        return p;
    }
    Progress progress() const;
    // Indexes of the matching mails found so far, in table order.
    const std::vector<int>& matches() const { return found_; }
    // A view-8 match for the results; a mail whose index now holds another key is left out.
    MailMatch matcher() const;
    const std::string& text() const { return text_; }

  private:
    bool matchesMail(int m) const;
    bool bodyMatches(int m, size_t fileNumber, int a) const;

    const CoreTables& t_;
    std::string text_;
    MailIndex* index_ = nullptr;
    enum class Phase { Plan, Index, Query, Scan } phase_ = Phase::Plan;
    int indexTotal_ = 0;  // body files the index lacked at the start
    bool useIndex_ = false;
    std::unordered_set<int64_t> bodyHits_;  // index rows holding the text
    int next_ = 0;
    int total_ = 0;
    std::vector<int> found_;
    std::vector<uint64_t> foundKeys_;
};

// ---- contacts ----

struct ContactOutcome {
    bool added = false;
    std::string name;     // the sender taken
    std::string message;  // shown when the sender was already a contact
};
// Appends the first sender of mail m to the contacts unless already there (ignoring case).
ContactOutcome addSenderToContacts(CoreTables& t, int m, UiLanguage lang);

}  // namespace orv
