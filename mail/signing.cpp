#include "mail/signing.h"

#include <algorithm>

#include "core/format.h"
#include "directory/request.h"
#include "net/codec.h"

namespace orv {

namespace {

// Directory requests sent one after the other, each again while it gets no answer, all within
// one deadline.
class RequestSequence final : public BackgroundTask {
  public:
    RequestSequence(DirectoryClient& dir, const Clock& clock, std::vector<std::string> queries)
        : dir_(dir),
          clock_(clock),
          ex_(dir.api(), clock),
          queries_(std::move(queries)),
          deadline_(clock.nowMillis() + SigningFacade::kDeadlineMillis) {
        if (!queries_.empty()) sendAt_ = clock.nowMillis();
    }
    bool step() override {
        while (next_ < queries_.size()) {
            int64_t now = clock_.nowMillis();
            if (now >= deadline_) {
                ex_.cancel();
                return true;
            }
            if (sendAt_ >= 0) {
                if (now < sendAt_) return false;
                sendAt_ = -1;
                dir_.start(ex_, queries_[next_]);
            }
            if (!ex_.step()) return false;
            if (ex_.reply().empty()) {
                sendAt_ = now + SigningFacade::kRetrySpacingMillis;
                continue;
            }
            replies_.push_back(ex_.reply());
            ++next_;
            sendAt_ = now;
        }
        return true;
    }
    bool answered() const { return replies_.size() == queries_.size(); }
    const std::vector<std::string>& replies() const { return replies_; }
    void addPollEntries(std::vector<PollEntry>& out) const override {
        if (sendAt_ < 0) ex_.addPollEntries(out);
    }
    int64_t nextDeadlineMillis() const override {
        int64_t due = sendAt_ >= 0 ? sendAt_ : ex_.nextDeadlineMillis();
        return due < 0 ? deadline_ : std::min(due, deadline_);
    }

  private:
    DirectoryClient& dir_;
    const Clock& clock_;
    DirectoryExchange ex_;
    std::vector<std::string> queries_;
    std::vector<std::string> replies_;
    size_t next_ = 0;
    int64_t sendAt_ = -1;
    int64_t deadline_;
};

std::vector<SignRecord> signRecordsOf(const std::string& reply) {
    std::string body;
    if (!onStatusLine(reply, " OK") || !replyBody(reply, body)) return {};
    return readSignList(splitListBody(fromWire(body), '|'));
}

std::string timeCell(int seconds) {
    return seconds == 0 ? std::string() : FormatTime(seconds);
}

}  // namespace

const std::vector<ReceiptColumn>& receiptColumns() {
    static const std::vector<ReceiptColumn> cols = {
        {{"To", "收件人"}, 52},          {{"Sign Status", "签收状态"}, 53},
        {{"Reply", "签收意见"}, 54},     {{"Sign Time", "签收时间"}, 55},
        {{"Message", "正文"}, 56},       {{"Attach", "附件"}, 57},
        {{"Send Time", "发送时间"}, 58},
    };
    return cols;
}

SigningFacade::SigningFacade(CoreTables& tables, SessionState& state, const Clock& clock,
                             DirectoryClient& directory, SignTaskStarter startTask)
    : t_(tables), state_(state), clock_(clock), dir_(directory), startTask_(std::move(startTask)) {}

SignCheck SigningFacade::check(uint64_t key, SignForm& form) const {
    int m = t_.findReceived(key);
    if (m < 0) return SignCheck::NoSuchMail;
    const MailRecord& r = t_.mails[m];
    if (!(r.flags & MailFlags::signRequired)) return SignCheck::NotRequired;
    form = SignForm{};
    form.key = key;
    StringPool senders, names;
    t_.mailSenders(m, senders);
    for (int i = 0; i < senders.count(); ++i)
        form.sender += (i ? "," : "") + senders.str(i);
    form.subject = t_.mailSubject(m);
    t_.mailAttachmentNames(m, names);
    for (int i = 0; i < names.count(); ++i)
        form.attachments += (i ? "," : "") + names.str(i);
    form.signer = state_.currentUser;
    form.opinion = t_.settingString(SettingString::LastOpinion);
    form.created = r.created;
    return (r.state & MailState::signedBit) ? SignCheck::AlreadySigned : SignCheck::Ready;
}

std::string SigningFacade::checkText(SignCheck c) const {
    if (c == SignCheck::NotRequired) return std::string(pick(state_.language, texts::kNeedNotSign));
    if (c == SignCheck::AlreadySigned)
        return std::string(pick(state_.language, texts::kAlreadySigned));
    return {};
}

bool SigningFacade::sign(uint64_t key, const std::string& opinion, SignDone done,
                         std::string* refusal) {
    SignForm form;
    SignCheck c = check(key, form);
    auto refuse = [&](std::string why) {
        if (refusal) *refusal = std::move(why);
        return false;
    };
    if (!state_.loggedIn()) return refuse({});
    if (c == SignCheck::NoSuchMail || c == SignCheck::NotRequired) return refuse(checkText(c));
    if (opinion.empty()) return refuse(std::string(pick(state_.language, texts::kInputOpinion)));
    t_.setSettingString(SettingString::LastOpinion, opinion);
    t_.noteChange();
    int m = t_.findReceived(key);
    StringPool senders;
    t_.mailSenders(m, senders);
    std::string sender = senders.count() ? senders.str(0) : std::string();
    std::string me = state_.currentUser;
    int32_t now = static_cast<int32_t>(clock_.nowSeconds());
    std::vector<std::string> queries = {
        request::updateSign(toWire(sender), "", toWire(me), toWire(state_.currentPassword),
                            form.created, now, toWire(opinion), ""),
        request::getSignList(toWire(sender), form.created, "N")};
    CoreTables* t = &t_;
    SessionState* st = &state_;
    auto finish = [t, st, key, me, done](BackgroundTask& task) {
        auto& seq = static_cast<RequestSequence&>(task);
        bool ok = false;
        TextPair why = texts::kSignNoAnswer;
        if (seq.answered()) {
            why = texts::kSignNotConfirmed;
            for (const auto& r : signRecordsOf(seq.replies().back()))
                if (equalsIgnoreCase(r.recipient, me) && r.signTime != 0) ok = true;
        }
        if (ok) {
            int mail = t->findReceived(key);
            if (mail >= 0) {
                t->mails[mail].state |= MailState::signedBit;
                t->noteChange();  // on disk before the user is told
            }
            why = texts::kSignSucceeded;
        }
        std::string message(pick(st->language, why));
        st->events.push(EventKind::MailSigned, key, ok ? 1 : 0, message);
        if (done) done(ok, message);
    };
    if (!startTask_) return refuse({});
    startTask_(std::make_unique<RequestSequence>(dir_, clock_, std::move(queries)),
               std::move(finish));
    return true;
}

void SigningFacade::listReceipts(int32_t mailTime, ReceiptFilter filter, ListDone done) {
    std::vector<std::string> queries = {request::getSignList(
        toWire(state_.currentUser), mailTime, filter == ReceiptFilter::Signed ? "Y" : "N")};
    auto finish = [filter, done](BackgroundTask& task) {
        auto& seq = static_cast<RequestSequence&>(task);
        std::vector<SignRecord> rows;
        bool answered = seq.answered() && onStatusLine(seq.replies().back(), " OK");
        if (answered) rows = signRecordsOf(seq.replies().back());
        // The directory lists every receipt for "N": the unsigned ones are picked here.
        if (filter == ReceiptFilter::Unsigned)
            std::erase_if(rows, [](const SignRecord& r) { return r.signTime != 0; });
        if (filter == ReceiptFilter::Signed)
            std::erase_if(rows, [](const SignRecord& r) { return r.signTime == 0; });
        if (done) done(answered, rows);
    };
    if (!startTask_) {
        if (done) done(false, {});
        return;
    }
    startTask_(std::make_unique<RequestSequence>(dir_, clock_, std::move(queries)),
               std::move(finish));
}

void SigningFacade::deleteReceipts(const std::vector<SignRecord>& receipts,
                                   std::function<void(bool)> done) {
    std::vector<std::string> queries;
    for (const auto& r : receipts)
        queries.push_back(request::updateSign(toWire(state_.currentUser),
                                              toWire(state_.currentPassword), toWire(r.recipient),
                                              "", r.mailTime, 0, "", "d"));
    if (queries.empty() || !startTask_) {
        if (done) done(queries.empty());
        return;
    }
    startTask_(std::make_unique<RequestSequence>(dir_, clock_, std::move(queries)),
               [done](BackgroundTask& task) {
                   if (done) done(static_cast<RequestSequence&>(task).answered());
               });
}

std::vector<std::string> SigningFacade::receiptCells(const SignRecord& r) const {
    UiLanguage l = state_.language;
    return {r.recipient,
            std::string(pick(l, r.signTime != 0 ? texts::kSignedStatus : texts::kUnsignedStatus)),
            r.opinion,
            timeCell(r.signTime),
            r.message,
            r.attachments,
            timeCell(r.mailTime)};
}

}  // namespace orv
