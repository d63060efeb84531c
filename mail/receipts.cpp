#include "mail/receipts.h"

#include <algorithm>

#include "directory/replies.h"
#include "directory/request.h"
#include "net/codec.h"

namespace orv {

namespace {
constexpr TextPair kNoAnswer{
    "Receipts could not be registered: the directory server does not answer.",
    "无法登记签收：目录服务器没有响应。"};
// The directory answered: what it said is told, never that it was silent.
constexpr TextPair kRefused{
    "Receipts could not be registered: the directory server refused them for ",
    "无法登记签收：目录服务器拒绝了以下收件人的签收登记："};
constexpr TextPair kNotRecorded{
    "Receipts could not be registered: the directory server did not record them for ",
    "无法登记签收：目录服务器没有记录以下收件人的签收："};
}  // namespace

ReceiptRegistration::ReceiptRegistration(DirectoryClient& dir, const Clock& clock, ReceiptPlan plan,
                                         std::string password, UiLanguage lang)
    : dir_(dir),
      clock_(clock),
      plan_(std::move(plan)),
      password_(std::move(password)),
      lang_(lang),
      ex_(dir.api(), clock) {
    int64_t now = clock_.nowMillis();
    lastAnswer_ = now;
    sendAt_ = now;
    if (!plan_.ok) {
        phase_ = Phase::Done;
        sendAt_ = -1;
        message_ = plan_.message;
        return;
    }
    pending_ = plan_.recipients;
    if (pending_.empty()) finish(true);
}

void ReceiptRegistration::send() {
    sendAt_ = -1;
    std::string sender = toWire(plan_.sender);
    if (phase_ == Phase::Insert) {
        dir_.start(ex_, request::insertSign(
                            sender, toWire(password_), toWire(pending_[nextInsert_]),
                            toWire(plan_.attachmentNames), toWire(plan_.subject), plan_.created));
    } else {
        dir_.start(ex_, request::getSignList(sender, plan_.created, "N"));
    }
}

bool ReceiptRegistration::step() {
    while (phase_ != Phase::Done) {
        int64_t now = clock_.nowMillis();
        if (sendAt_ >= 0) {
            if (now < sendAt_) break;
            send();
        }
        if (!ex_.step()) break;
        if (ex_.reply().empty()) {
            sendAt_ = now + kRetrySpacingMillis;
            break;
        }
        lastAnswer_ = now;
        onAnswer(now);
    }
    if (phase_ != Phase::Done && clock_.nowMillis() - lastAnswer_ >= kSilenceLimitMillis)
        finish(false);
    return finished();
}

void ReceiptRegistration::onAnswer(int64_t now) {
    if (phase_ == Phase::Insert) {
        // A refused insert is not retried here: the sign list that follows tells what counts.
        const std::string& name = pending_[nextInsert_];
        std::erase(refusedInserts_, name);
        if (!judgeSignInsert(ex_.reply())) refusedInserts_.push_back(name);
        if (++nextInsert_ >= pending_.size()) phase_ = Phase::List;
        sendAt_ = now;
        return;
    }
    std::string body;
    replyBody(ex_.reply(), body);
    std::vector<SignRecord> records = readSignList(splitListBody(fromWire(body), '|'));
    size_t before = pending_.size();
    std::erase_if(pending_, [&](const std::string& name) {
        return std::any_of(records.begin(), records.end(), [&](const SignRecord& r) {
            return equalsIgnoreCase(r.recipient, name);
        });
    });
    if (pending_.empty()) {
        finish(true);
        return;
    }
    phase_ = Phase::Insert;
    nextInsert_ = 0;
    if (pending_.size() < before) {
        passesWithoutProgress_ = 0;
        sendAt_ = now;
    } else if (++passesWithoutProgress_ >= kMaxPassesWithoutProgress) {
        finish(false, false);
    } else {
        sendAt_ = now + kRetrySpacingMillis;
    }
}

void ReceiptRegistration::finish(bool ok, bool silent) {
    ex_.cancel();
    phase_ = Phase::Done;
    sendAt_ = -1;
    succeeded_ = ok;
    if (ok) return;
    if (silent) {
        message_ = std::string(pick(lang_, kNoAnswer));
        return;
    }
    bool refused = std::any_of(pending_.begin(), pending_.end(), [&](const std::string& n) {
        return std::find(refusedInserts_.begin(), refusedInserts_.end(), n) !=
               refusedInserts_.end();
    });
    std::string names;
    for (const auto& n : pending_)
        names += (names.empty() ? "" : ",") + n;
    message_ = std::string(pick(lang_, refused ? kRefused : kNotRecorded)) + names +
               (lang_ == UiLanguage::Chinese ? "。" : ".");
}

void ReceiptRegistration::addPollEntries(std::vector<PollEntry>& out) const {
    if (phase_ != Phase::Done && sendAt_ < 0) ex_.addPollEntries(out);
}

int64_t ReceiptRegistration::nextDeadlineMillis() const {
    if (phase_ == Phase::Done) return -1;
    int64_t giveUp = lastAnswer_ + kSilenceLimitMillis;
    int64_t due = sendAt_ >= 0 ? sendAt_ : ex_.nextDeadlineMillis();
    return due < 0 ? giveUp : std::min(due, giveUp);
}

}  // namespace orv
