#include "apps/headless/mail_watch.h"

#include <cinttypes>
#include <cstdio>

#include "apps/headless/json.h"

namespace orv {

std::string hexKey(uint64_t key) {
    char b[32];
    std::snprintf(b, sizeof b, "%016" PRIX64, key);
    return b;
}

void MailWatch::follow(int m) {
    const MailRecord& r = s_.tables().mails[m];
    if (r.kind == MailKind::Outbox) sending_.insert(r.key);
    if (r.kind == MailKind::Inbox &&
        s_.tables().completeFileCount(m) < static_cast<int>(s_.tables().mailFiles(m).size()))
        receiving_.insert(r.key);
}

void MailWatch::poll(const std::function<void(const std::string&)>& emit) {
    CoreTables& t = s_.tables();
    const std::string& user = s_.state().currentUser;
    // Rows were erased (a delivered control item, say): look at all again; what was told of
    // before is not told again.
    if (t.mails.count() < seenMails_) seenMails_ = 0;
    for (int m = seenMails_; m < t.mails.count(); ++m) {
        const MailRecord& r = t.mails[m];
        if (r.kind != MailKind::Inbox || !announced_.insert(r.key).second) {
            follow(m);
            continue;
        }
        if (primed_ && !user.empty() && t.isReceivedRecipientOf(user, m)) {
            StringPool senders;
            t.mailSenders(m, senders);
            emit("{\"event\":\"mail-arrived\",\"key\":\"" + hexKey(r.key) + "\",\"from\":" +
                 json::quote(senders.view(0)) + ",\"subject\":" + json::quote(t.subjects.view(m)) +
                 ",\"files\":" + std::to_string(t.mailAttachmentRows(m).size()) + "}");
            // Small files may all have arrived within the same turn.
            if (!t.mailFiles(m).empty() &&
                t.completeFileCount(m) == static_cast<int>(t.mailFiles(m).size()))
                emit("{\"event\":\"files-complete\",\"key\":\"" + hexKey(r.key) + "\"}");
        }
        follow(m);
    }
    seenMails_ = t.mails.count();
    primed_ = true;

    for (auto it = sending_.begin(); it != sending_.end();) {
        uint64_t key = *it;
        int m = t.findOutgoing(key);
        if (s_.delivery().isRefused(key) && refused_.insert(key).second)
            emit("{\"event\":\"refused\",\"key\":\"" + hexKey(key) + "\"}");
        if (m < 0 || t.mails[m].kind == MailKind::Sent) {
            if (m >= 0) emit("{\"event\":\"delivery-done\",\"key\":\"" + hexKey(key) + "\"}");
            it = sending_.erase(it);
        } else {
            ++it;
        }
    }
    for (auto it = receiving_.begin(); it != receiving_.end();) {
        int m = t.findReceived(*it);
        if (m < 0) {
            it = receiving_.erase(it);
        } else if (t.completeFileCount(m) == static_cast<int>(t.mailFiles(m).size())) {
            emit("{\"event\":\"files-complete\",\"key\":\"" + hexKey(*it) + "\"}");
            it = receiving_.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace orv
