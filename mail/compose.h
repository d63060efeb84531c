#pragma once
// Turning a composed mail into rows of the tables and files in the mail store: Save makes a
// draft, Send an Outbox mail with one delivery per resolved recipient for the engine to pick
// up. The compose window and the headless tool both call this; nothing here waits on the
// network.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/core_tables.h"
#include "core/text.h"

namespace orv {

constexpr uint64_t kNoMailKey = ~0ull;
// Six or more receivers may not be sent more than this many bytes.
constexpr int64_t kMultiReceiverSizeLimit = 10485760;
constexpr int kMultiReceiverCount = 6;
// Mails smaller than this close the compose window on Send; larger ones show their progress.
constexpr int64_t kCloseOnSendBelow = 1044480;
// At most this many receivers can be asked to sign a mail.
constexpr int kMaxSignReceivers = 50;

struct ComposeInput {
    std::string from;  // the logged-in user
    std::string to;    // the address line as typed, entries separated by ","
    bool html = false;
    std::string subjectLine;   // HTML mail: its subject
    std::string plainText;     // plain mail: its whole text is the subject string
    std::string htmlDocument;  // HTML mail: the document, stored as the body file
    // HTML mail saved by the editor already: its body file first, then its pictures, all in
    // the mail store (htmlDocument is then not used).
    std::vector<std::string> bodyFiles;
    std::vector<std::string> attachments;  // local paths, in order
    uint32_t options = 0;                  // MailFlags; bodyIsFirstFile is taken from `html`
};

// What a compose window remembers between commands.
struct ComposeState {
    uint64_t key = kNoMailKey;  // the mail the window sent last, or the draft it opened
    bool saved = false;
    bool created() const { return key != kNoMailKey; }
    static ComposeState openedDraft(uint64_t draftKey) { return {draftKey, true}; }
};

struct ComposeResult {
    bool ok = false;
    int mail = -1;
    uint64_t key = 0;
    std::string message;  // to show the user; empty when there is nothing to say
    // signRequired was set: the receipts must be registered with the directory (planReceipts).
    bool needsReceipts = false;
    bool closeWindow = false;  // Send of a mail below kCloseOnSendBelow bytes
};

// The entries of an address line: split at ",", blanks around an entry dropped, empty entries
// removed.
std::vector<std::string> splitAddressLine(std::string_view to);
// Recipient names of the entries, each once ignoring case: a joined group "[name:creator]"
// stands for its members other than the user; a group the user does not belong to stands for
// nobody and is added to `dropped`; for a user whose name has "/", an entry e stands for the
// members named e + "/..." (and for itself only when there is none); any other entry for
// itself.
std::vector<std::string> resolveRecipients(const CoreTables& t, std::string_view user,
                                           const std::vector<std::string>& entries,
                                           std::vector<std::string>* dropped = nullptr);
// The message naming the group entries a mail went without.
std::string droppedGroupsMessage(const std::vector<std::string>& dropped, UiLanguage lang);

// Save: a draft (kind 26), "Mail is saved!".
ComposeResult saveMail(CoreTables& t, ComposeState& st, const ComposeInput& in, UiLanguage lang);
// "Can't write mail file!": also when a saved or sent mail could not be made durable.
std::string cantWriteMailText(UiLanguage lang);
// Send: an Outbox mail (kind 0) with its deliveries. Refused (nothing left behind) when six or
// more receivers would get more than 10 MiB, or when an attachment cannot be read.
ComposeResult sendMail(CoreTables& t, ComposeState& st, const ComposeInput& in, UiLanguage lang);

// An outgoing mail (Outbox, Sent or a draft) of `user` as the compose window shows it again:
// its address line, its text or subject and HTML page, the files it carries (not its body
// files) and its options. Not found when the mail is gone.
bool loadOutgoing(const CoreTables& t, uint64_t key, ComposeInput& out);

// Everything the receipt registration of a sign-required mail sends to the directory. The
// registration itself (insert-sign requests until the sign list shows every receiver) belongs
// to the directory client.
struct ReceiptPlan {
    bool ok = false;
    std::string message;  // the receiver-count refusal
    std::string sender;
    std::vector<std::string> recipients;
    int32_t created = 0;
    std::string attachmentNames;  // joined with ","
    std::string subject;
};
ReceiptPlan planReceipts(const CoreTables& t, int m, UiLanguage lang);

// Stores an HTML document as a body file of the mail store ("%X.htm", the text followed by one
// NUL byte). Local files the document refers to through "file:///" are copied into the store
// (unless already there) and the document names them by file name alone. Returns the body path
// first, then the embedded files; empty when the store cannot be written.
std::vector<std::string> storeHtmlBody(const CoreTables& t, std::string_view html);

}  // namespace orv
