#pragma once
// The one way into mail for both front ends: sending with its receipts, drafts, asking for a
// received mail's files, deleting and restoring, searching, and what the mail window and the
// headless client show about a mail under way. Windows and the headless client call this and
// never the delivery, the reception or the directory client behind it. Owned by the session;
// what changes is announced on the session's event queue. The groups, share and transfer
// façades follow the same shape.
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/clock.h"
#include "core/core_tables.h"
#include "core/session_state.h"
#include "directory/directory_client.h"
#include "directory/exchange.h"
#include "engine/delivery.h"
#include "engine/engine.h"
#include "engine/reception.h"
#include "mail/compose.h"
#include "mail/compose_status.h"
#include "mail/mail_index.h"
#include "mail/mail_view.h"
#include "mail/read.h"

namespace orv {

// Runs a background task beside the session's other work; `done` is called once it finished.
using TaskStarter =
    std::function<void(std::unique_ptr<BackgroundTask>, std::function<void(BackgroundTask&)>)>;

// Where a mail stands, as the headless client reports it.
struct MailProgress {
    enum class Status { Missing, Complete, Stalled, Incomplete, Sent, Refused, Sending };
    Status status = Status::Missing;
    bool received = false;  // a received mail (else an outgoing one)
    int mail = -1;
    int percent = 0;
};
const char* statusName(MailProgress::Status s);

class MailFacade {
  public:
    MailFacade(CoreTables& tables, SessionState& state, const Clock& clock, Engine& engine,
               MailDelivery& delivery, MailReception& reception, DirectoryClient& directory,
               TaskStarter startTask);
    MailFacade(const MailFacade&) = delete;
    MailFacade& operator=(const MailFacade&) = delete;

    // ---- writing ----
    // Puts the mail in the Outbox with its deliveries. A sign-required mail has its receipts
    // registered in the background; how that ends is announced (EventKind::ReceiptsDone).
    // Sent from an Outbox mail whose recipient did not exist (opened to be corrected), the old
    // mail loses its refused recipients: to the Trash when none are left, to Sent when the
    // rest were delivered.
    ComposeResult send(ComposeState& st, const ComposeInput& in);
    // Keeps the mail as a draft ("Mail is saved!").
    ComposeResult saveDraft(ComposeState& st, const ComposeInput& in);
    // The compose window's status line, progress and speed for the mail it wrote.
    ComposeStatus composeStatus(const ComposeState& st);

    // ---- reading ----
    // The user asks for the files of a received mail. False when no such mail.
    bool requestFiles(uint64_t key);
    // The read window's progress, status and speed; a mail seen whole is marked read.
    ReadProgress readProgress(uint64_t key, SpeedTextPacer& pacer);
    MailProgress progress(uint64_t key);

    // ---- the lists ----
    std::vector<MailRow> view(int view, int inboxCategory, const MailMatch& match = {});
    MoveOutcome remove(std::span<const MailRef> refs, const AskDeleteFiles& ask);
    MoveOutcome restore(std::span<const MailRef> refs);
    MoveOutcome removeAllTrash(const AskDeleteFiles& ask);
    MoveOutcome restoreAllTrash();
    // A search over every mail, stepped by the caller in slices.
    std::unique_ptr<MailSearch> startSearch(std::string text);
    // Keeps Find's index of the bodies in the file at path (beside cfg.dat); without it Find
    // reads every body file.
    void openSearchIndex(const std::string& path);
    MailIndex* searchIndex() { return index_.get(); }
    // Bodies that have come in are indexed as they complete.
    void noteEvent(const SessionEvent& e);

  private:
    // Commits the mail just saved or sent; on failure the result says so.
    bool makeDurable(ComposeResult& r);
    void startReceipts(int mail, uint64_t key);
    void settleCorrected(uint64_t key);

    CoreTables& tables_;
    SessionState& state_;
    const Clock& clock_;
    Engine& engine_;
    MailDelivery& delivery_;
    MailReception& reception_;
    DirectoryClient& directory_;
    TaskStarter startTask_;
    std::unique_ptr<MailIndex> index_;
};

}  // namespace orv
