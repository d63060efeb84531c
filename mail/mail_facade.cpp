#include "mail/mail_facade.h"

#include <fcntl.h>

#include <algorithm>

#include "core/mail_queries.h"
#include "mail/receipts.h"

namespace orv {

const char* statusName(MailProgress::Status s) {
    switch (s) {
        case MailProgress::Status::Missing:
            return "missing";
        case MailProgress::Status::Complete:
            return "complete";
        case MailProgress::Status::Stalled:
            return "stalled";
        case MailProgress::Status::Incomplete:
            return "incomplete";
        case MailProgress::Status::Sent:
            return "sent";
        case MailProgress::Status::Refused:
            return "refused";
        case MailProgress::Status::Sending:
            return "sending";
    }
    return "?";
}

MailFacade::MailFacade(CoreTables& tables, SessionState& state, const Clock& clock, Engine& engine,
                       MailDelivery& delivery, MailReception& reception, DirectoryClient& directory,
                       TaskStarter startTask)
    : tables_(tables),
      state_(state),
      clock_(clock),
      engine_(engine),
      delivery_(delivery),
      reception_(reception),
      directory_(directory),
      startTask_(std::move(startTask)) {}

ComposeResult MailFacade::send(ComposeState& st, const ComposeInput& in) {
    const uint64_t corrected = st.created() && st.saved ? st.key : kNoMailKey;
    ComposeResult r = sendMail(tables_, st, in, state_.language);
    if (r.ok) makeDurable(r);
    if (r.ok && r.needsReceipts) startReceipts(r.mail, r.key);
    if (r.ok && corrected != kNoMailKey) settleCorrected(corrected);
    return r;
}

void MailFacade::settleCorrected(uint64_t key) {
    // The corrected copy went out as a new mail: the refused recipients of the old one are
    // done with, and the old mail goes where its remaining deliveries put it.
    int m = outboxMail(tables_, key);
    if (m < 0 || refusedRecipients(tables_, m).empty()) return;
    std::vector<int> refused;
    for (int d : tables_.mailDeliveries(m))
        if (tables_.deliveries[d].state == DeliveryState::Refused) refused.push_back(d);
    // Highest first: erasing a row lowers the indexes above it.
    std::sort(refused.rbegin(), refused.rend());
    for (int d : refused)
        tables_.eraseDelivery(d);
    m = outboxMail(tables_, key);
    if (m < 0) return;
    const auto& left = tables_.mailDeliveries(m);
    if (left.empty()) {
        tables_.mails[m].kind = MailKind::TrashOutgoing;
    } else if (deliverySummary(tables_, m) == DeliverySummary::AllDelivered) {
        tables_.mails[m].kind = MailKind::Sent;
        state_.events.push(EventKind::DeliveryDone, key);
    }
    tables_.noteChange();
    state_.events.push(EventKind::DeliveryChanged, key, 0);
}

ComposeResult MailFacade::saveDraft(ComposeState& st, const ComposeInput& in) {
    ComposeResult r = saveMail(tables_, st, in, state_.language);
    if (r.ok) makeDurable(r);
    return r;
}

bool MailFacade::makeDurable(ComposeResult& r) {
    tables_.noteMailChanged(r.mail);
    // The body files were written just now: they are synced with the mail's rows (one sync
    // of their file system).
    int fd = ::open(tables_.mailStoreFolder().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) tables_.noteFileToSync(fd);
    if (engine_.syncNow()) return true;
    // Not on disk: the user must not be told it is saved or sent.
    r.ok = false;
    r.closeWindow = false;
    r.message = cantWriteMailText(state_.language);
    return false;
}

void MailFacade::startReceipts(int mail, uint64_t key) {
    ReceiptPlan plan = planReceipts(tables_, mail, state_.language);
    if (!plan.ok) {
        state_.events.push(EventKind::ReceiptsDone, key, 0, plan.message);
        return;
    }
    if (!startTask_) return;
    SessionState* state = &state_;
    startTask_(std::make_unique<ReceiptRegistration>(directory_, clock_, std::move(plan),
                                                     state_.currentPassword, state_.language),
               [state, key](BackgroundTask& t) {
                   auto& reg = static_cast<ReceiptRegistration&>(t);
                   state->events.push(EventKind::ReceiptsDone, key, reg.succeeded() ? 1 : 0,
                                      reg.message());
               });
}

ComposeStatus MailFacade::composeStatus(const ComposeState& st) {
    StatusProbe probe;
    probe.refusedNoUser = [this](uint64_t key) { return delivery_.isRefused(key); };
    probe.resolve = [this](std::string_view name) {
        return tables_
            // The receiver the user is watching is the one wanted most: its lookup takes over
            // from one under way for somebody else, so "Getting user address..." ends.
            .resolveUser(name,
                         [this](std::string_view n) { return directory_.askAddress(n, true); })
            .code;
    };
    probe.bytesPerSecond = st.created() ? delivery_.sendSpeed(st.key) : 0;
    probe.nowSeconds = clock_.nowSeconds();
    return orv::composeStatus(tables_, st, probe, state_.language);
}

bool MailFacade::requestFiles(uint64_t key) {
    return reception_.RequestFiles(key);
}

ReadProgress MailFacade::readProgress(uint64_t key, SpeedTextPacer& pacer) {
    ReceiveProbe probe;
    probe.bytesPerSecond = reception_.receiveSpeed(key);
    probe.connected = [this](std::string_view name) {
        return engine_.links().findIdentified(name) != kInvalidSocket;
    };
    probe.nowMillis = clock_.nowMillis();
    return orv::readProgress(tables_, key, probe, pacer, state_.language);
}

MailProgress MailFacade::progress(uint64_t key) {
    using S = MailProgress::Status;
    MailProgress p;
    int m = tables_.findReceived(key);
    p.received = m >= 0;
    if (!p.received) m = tables_.findOutgoing(key);
    p.mail = m;
    if (m < 0) return p;
    if (p.received) {
        p.percent = receivedPercent(tables_, m);
        p.status =
            p.percent >= 100 ? S::Complete : (reception_.stalled(key) ? S::Stalled : S::Incomplete);
    } else {
        p.percent = deliveryPercent(tables_, m);
        p.status = tables_.mails[m].kind == MailKind::Sent  ? S::Sent
                   : !refusedRecipients(tables_, m).empty() ? S::Refused
                                                            : S::Sending;
    }
    return p;
}

std::vector<MailRow> MailFacade::view(int view, int inboxCategory, const MailMatch& match) {
    return buildView(tables_, view, state_.currentUser, inboxCategory, state_.language, match);
}

namespace {
MoveOutcome noted(CoreTables& t, MoveOutcome out) {
    if (out.moved || out.erased) t.noteChange();
    return out;
}
}  // namespace

MoveOutcome MailFacade::remove(std::span<const MailRef> refs, const AskDeleteFiles& ask) {
    MoveOutcome out = noted(tables_, deleteMails(tables_, refs, ask));
    if (out.erased && index_) index_->plan();  // the erased bodies leave the index
    return out;
}

MoveOutcome MailFacade::restore(std::span<const MailRef> refs) {
    return noted(tables_, restoreMails(tables_, refs));
}

MoveOutcome MailFacade::removeAllTrash(const AskDeleteFiles& ask) {
    MoveOutcome out = noted(tables_, deleteAllTrash(tables_, state_.currentUser, ask));
    if (out.erased && index_) index_->plan();
    return out;
}

MoveOutcome MailFacade::restoreAllTrash() {
    return noted(tables_, orv::restoreAllTrash(tables_, state_.currentUser));
}

std::unique_ptr<MailSearch> MailFacade::startSearch(std::string text) {
    return std::make_unique<MailSearch>(tables_, std::move(text), index_.get());
}

void MailFacade::openSearchIndex(const std::string& path) {
    index_ = std::make_unique<MailIndex>(tables_, path);
}

void MailFacade::noteEvent(const SessionEvent& e) {
    if (!index_ || e.kind != EventKind::FilesComplete) return;
    for (int m = 0; m < tables_.mails.count(); ++m)
        if (tables_.mails[m].key == e.key && CoreTables::isReceivedKind(tables_.mails[m].kind))
            index_->addMail(m);
}

}  // namespace orv
