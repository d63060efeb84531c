#include "apps/headless/event_lines.h"

#include <cinttypes>
#include <cstdio>

#include "apps/headless/json.h"

namespace orv {

std::string hexKey(uint64_t key) {
    char b[32];
    std::snprintf(b, sizeof b, "%016" PRIX64, key);
    return b;
}

namespace {

std::string keyed(const char* name, uint64_t key, const std::string& rest = {}) {
    return std::string("{\"event\":\"") + name + "\",\"key\":\"" + hexKey(key) + "\"" + rest + "}";
}

std::string named(const char* name) {
    return std::string("{\"event\":\"") + name + "\"}";
}

}  // namespace

std::string eventLine(const SessionEvent& e, const CoreTables& t) {
    switch (e.kind) {
        case EventKind::MailArrived: {
            int m = t.findReceived(e.key);
            if (m < 0) return keyed("mail-arrived", e.key);
            StringPool senders;
            t.mailSenders(m, senders);
            return keyed("mail-arrived", e.key,
                         ",\"from\":" + json::quote(senders.count() ? senders.view(0) : "") +
                             ",\"subject\":" + json::quote(t.subjects.view(m)) +
                             ",\"files\":" + std::to_string(t.mailAttachmentRows(m).size()));
        }
        case EventKind::FilesComplete:
            return keyed("files-complete", e.key);
        case EventKind::DeliveryChanged:
            return keyed("delivery-state", e.key, ",\"state\":" + std::to_string(e.value));
        case EventKind::DeliveryDone:
            return keyed("delivery-done", e.key);
        case EventKind::MailRefused:
            return keyed("refused", e.key, ",\"user\":" + json::quote(e.text));
        case EventKind::LoggedInElsewhere:
            return "{\"event\":\"logged-in-elsewhere\",\"message\":" + json::quote(e.text) + "}";
        case EventKind::ReceiptsDone:
            return keyed("receipts", e.key,
                         std::string(",\"ok\":") + (e.value ? "true" : "false") +
                             (e.text.empty() ? "" : ",\"message\":" + json::quote(e.text)));
        case EventKind::GroupChanged:
            return named("group-changed");
        case EventKind::JoinRequested:
            return "{\"event\":\"join-request\",\"user\":" + json::quote(e.text) +
                   ",\"group\":" + json::quote(e.detail) + "}";
        case EventKind::JoinRefused:
            return "{\"event\":\"join-refused\",\"group\":" + json::quote(e.text) +
                   ",\"creator\":" + json::quote(e.detail) + "}";
        case EventKind::GroupJoined:
            return "{\"event\":\"group-joined\",\"group\":" + json::quote(e.text) +
                   ",\"creator\":" + json::quote(e.detail) + "}";
        case EventKind::MailSigned:
            return keyed("signed", e.key,
                         std::string(",\"ok\":") + (e.value ? "true" : "false") +
                             ",\"message\":" + json::quote(e.text));
        case EventKind::ListingArrived:
            return "{\"event\":\"listing-arrived\",\"path\":" + json::quote(e.text) + "}";
        case EventKind::ShareChanged:
            return named("share-changed");
        case EventKind::TransferChanged:
            // State -1: the download left the list.
            return "{\"event\":\"transfer-changed\",\"path\":" + json::quote(e.text) +
                   ",\"state\":" + std::to_string(e.value) + ",\"local\":" + json::quote(e.detail) +
                   "}";
        case EventKind::RelayLinkChanged:
            return std::string("{\"event\":\"relay-link\",\"linked\":") +
                   (e.value ? "true" : "false") + ",\"relay\":" + json::quote(e.text) + "}";
    }
    return named("unknown");
}

}  // namespace orv
