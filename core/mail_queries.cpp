#include "core/mail_queries.h"

#include <algorithm>

namespace orv {

namespace {

bool countsProgress(int32_t state) {
    return state == DeliveryState::SendingFiles || state == DeliveryState::Finished ||
           state == DeliveryState::Delivered || state == DeliveryState::AwaitingReply;
}

}  // namespace

int receivedPercent(const CoreTables& t, int m) {
    if (m < 0 || m >= t.mails.count()) return 0;
    const MailRecord& r = t.mails[m];
    if (r.size <= 0) return 100;
    int64_t done = t.sumDone(m);
    int64_t p = std::clamp<int64_t>(done * 100 / r.size, 0, 100);
    // Whole only when every file is: a size that disagrees with the files' totals must not let
    // a missing file pass for received.
    if (p == 100 && t.completeFileCount(m) < static_cast<int>(t.mailFiles(m).size())) p = 99;
    return static_cast<int>(p);
}

int deliveryPercent(const CoreTables& t, int m) {
    if (m < 0 || m >= t.mails.count()) return 0;
    const int64_t n = t.mails[m].recipientCount;
    const int64_t s = t.mails[m].size;
    const auto& ds = t.mailDeliveries(m);
    const int64_t d = static_cast<int64_t>(ds.size());
    int64_t p = 0;
    for (int i : ds)
        if (countsProgress(t.deliveries[i].state)) p += t.deliveries[i].progress;
    const int64_t whole = n * s;
    if (whole == 0) return d > 0 ? 0 : 100;
    int64_t pct = (whole + p - d * s) * 100 / whole;
    return static_cast<int>(std::clamp<int64_t>(pct, 0, 100));
}

int deliverySummary(const CoreTables& t, int m) {
    if (m < 0 || m >= t.mails.count()) return DeliverySummary::Running;
    const auto& ds = t.mailDeliveries(m);
    if (ds.empty()) return DeliverySummary::Running;
    if (ds.size() == 1 && t.mails[m].recipientCount <= 1) {
        int32_t s = t.deliveries[ds[0]].state;
        if (s == DeliveryState::Delivered) return DeliverySummary::AllDelivered;
        return (s == DeliveryState::SendingFiles || s == DeliveryState::AwaitingReply)
                   ? DeliverySummary::Running
                   : DeliverySummary::SingleWaiting;
    }
    for (int i : ds)
        if (t.deliveries[i].state != DeliveryState::Delivered) return DeliverySummary::Running;
    return DeliverySummary::AllDelivered;
}

std::vector<std::string> refusedRecipients(const CoreTables& t, int m) {
    std::vector<std::string> out;
    if (m < 0 || m >= t.mails.count()) return out;
    for (int d : t.mailDeliveries(m))
        if (t.deliveries[d].state == DeliveryState::Refused)
            out.emplace_back(t.deliveryRecipients.view(d));
    return out;
}

int outboxMail(const CoreTables& t, uint64_t key) {
    for (int m : t.mailsWithKey(key))
        if (t.mails[m].kind == MailKind::Outbox) return m;
    return -1;
}

}  // namespace orv
