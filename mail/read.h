#pragma once
// Reading a received mail: what the mail window shows in read mode (header fields, attachment
// list, body files, the progress line of the file transfer), stepping to the previous or next
// received mail, the commands it refuses while files are missing, and the compose input that
// Reply, Reply all and Forward start from. No window toolkit here: the window only shows what
// these functions return.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/core_tables.h"
#include "core/mail_queries.h"
#include "core/text.h"
#include "mail/compose.h"
#include "mail/compose_status.h"

namespace orv {

// Control and menu identifiers of the mail window in read mode.
namespace ReadCommand {
enum : int {
    Receive = 1000,
    Reply = 1002,
    Previous = 1003,
    Next = 1004,
    Forward = 1010,
    OpenAttachment = 32771,
    SaveTo = 32772,
    OpenFolder = 32785,
};
}

// Fixed texts of the window in read mode.
struct ReadTexts {
    TextPair title, from, to;
    TextPair receive, reply, previous, next, forward;
    TextPair openAttachment, saveTo, openFolder;
};
const ReadTexts& readTexts();

// Settings numbers holding the window's position and size (x, y, width, height).
constexpr int kReadPlacementSetting = 44;
constexpr int kComposePlacementSetting = 40;
// Stores the placement on closing, unless the window is maximised or minimised.
void storeWindowPlacement(CoreTables& t, bool readMode, int32_t x, int32_t y, int32_t width,
                          int32_t height, bool maximisedOrMinimised);

struct ReadAttachment {
    std::string name;
    std::string path;  // a bare name until its reception has started
    int64_t total = 0;
    int64_t done = 0;
    bool complete() const { return done == total; }
};

struct ReadModel {
    bool found = false;
    uint64_t key = kNoMailKey;
    int mail = -1;  // index in the mail table when loaded
    std::string from;
    std::string to;
    std::string subject;  // both the plain text field and the subject line
    bool html = false;
    int32_t created = 0;
    uint32_t flags = 0;
    std::vector<ReadAttachment> attachments;  // what the attachment list shows, in order
    std::vector<std::string> bodyPaths;       // local copies of the body files, first the page
    bool bodyComplete = false;                // every body file has arrived
    std::string status = " ";
};

// The received mail `key` of `user`; kNoMailKey takes the newest one. Not found when there is
// no such mail (or the user has none).
ReadModel loadReceived(const CoreTables& t, uint64_t key, std::string_view user);
// Previous and Next: the neighbouring received mail of the user; at either end the same mail.
ReadModel loadPrevious(const CoreTables& t, uint64_t key, std::string_view user);
ReadModel loadNext(const CoreTables& t, uint64_t key, std::string_view user);

// The body page of mail m as the HTML view and the editor show it: the first body file, its
// embedded files pointing at their local copies. Empty until every body file is complete or
// when the file cannot be read.
std::optional<std::string> bodyDocument(const CoreTables& t, int m);

// The body is loaded once per mail, when it is complete.
class BodyLoadGate {
  public:
    bool due(uint64_t key, bool complete) {
        if (!complete || (loaded_ && key == key_)) return false;
        loaded_ = true;
        key_ = key;
        return true;
    }

  private:
    bool loaded_ = false;
    uint64_t key_ = 0;
};

// ---- progress of the transfer ----

// No bytes for this long: the line tells whether the sender is connected instead of a speed.
constexpr int32_t kReadStallSeconds = 15;

// What the progress line needs from the engine.
struct ReceiveProbe {
    int64_t bytesPerSecond = 0;  // the mail's receive meter over the last 5 s
    // Whether a user is among those currently linked.
    std::function<bool(std::string_view name)> connected;
    int64_t nowMillis = 0;  // paces the speed text
};

struct ReadProgress {
    int percent = 0;
    std::string status;
    std::string speed;        // the new speed text when `setSpeed`
    bool setSpeed = false;    // write `speed` to the speed text now
    bool clearSpeed = false;  // the transfer stalled: the speed text is emptied
    bool nowRead = false;     // the mail was unread: the new-mail indication is cleared
    bool found = false;
};

// The window's 200 ms tick in read mode. A completely received mail is marked read.
ReadProgress readProgress(CoreTables& t, uint64_t key, const ReceiveProbe& probe,
                          SpeedTextPacer& pacer, UiLanguage lang);

// ---- refused commands ----

enum class ReadRefusal {
    None = 0,
    NoMail,              // the mail is gone
    NoAttachment,        // no such row of the attachment list
    DownloadIncomplete,  // Open attachment before everything arrived
    DownloadNotStarted,  // Open containing folder before anything arrived
    ForwardIncomplete,   // Forward before everything arrived
};

struct ReadCheck {
    ReadRefusal refusal = ReadRefusal::None;
    std::string message;  // shown to the user when refused (empty for NoMail, NoAttachment)
    std::string path;     // the file or folder to open
    bool ok() const { return refusal == ReadRefusal::None; }
};

// Open attachment `index` of the list with the system's application.
ReadCheck openAttachment(const CoreTables& t, uint64_t key, int index, UiLanguage lang);
// Open the folder attachment `index` lies in.
ReadCheck openContainingFolder(const CoreTables& t, uint64_t key, int index, UiLanguage lang);
// Save to: an incomplete file will be received at `path`, a complete one is copied there.
bool saveAttachmentTo(CoreTables& t, uint64_t key, int index, std::string_view path);

// ---- reply and forward ----

struct ReplyResult {
    ReadRefusal refusal = ReadRefusal::None;
    std::string message;
    ComposeInput input;  // what the compose window starts with (its key is unset)
    bool ok() const { return refusal == ReadRefusal::None; }
};

// The signature HTML: the text between the first "<BODY" tag and the last "</BODY>" of the
// file named by settings string 10; empty when missing or unreadable.
std::string readSignature(const CoreTables& t);
// The block quoting the original mail in front of an HTML reply or forward (with the
// signature in front when settings number 69 is set).
std::string quoteBlock(const CoreTables& t, std::string_view to, std::string_view from,
                       int32_t created, UiLanguage lang);
// Puts `block` right after the opening "<BODY...>" tag (at the start without one).
std::string insertAfterBodyTag(std::string_view document, std::string_view block);

// Reply in the window: to the senders; HTML mails quote the original below the block.
ReplyResult buildReply(const CoreTables& t, uint64_t key, std::string_view user, UiLanguage lang);
// Reply all from the Inbox: to the senders and the other recipients, each once, never to the
// user.
ReplyResult buildReplyAll(const CoreTables& t, uint64_t key, std::string_view user,
                          UiLanguage lang);
// Reply from the main toolbar.
ReplyResult buildToolbarReply(const CoreTables& t, uint64_t key, std::string_view user,
                              UiLanguage lang);
// Forward: only when everything arrived; carries the received files as attachments.
ReplyResult buildForward(const CoreTables& t, uint64_t key, std::string_view user, UiLanguage lang);

}  // namespace orv
