#include "engine/create_item.h"

#include "core/random.h"

namespace orv {

namespace {

int appendItem(CoreTables& tables, std::string_view sender, std::string_view recipient,
               const MailRecord& r, std::string_view subject) {
    int m = tables.appendMail(r, subject);
    tables.appendDelivery(m, recipient, sender);
    // A new delivery turns its mail into an Outbox mail; a control item keeps its own kind.
    tables.mails[m].kind = r.kind;
    return m;
}

MailRecord itemRecord(const CoreTables& tables, int32_t kind) {
    MailRecord r{};
    r.recipientCount = 1;
    r.created = tables.now();
    r.key = newMailKey();
    r.kind = kind;
    return r;
}

}  // namespace

int CreateItem(CoreTables& tables, std::string_view sender, std::string_view recipient,
               int32_t kind, std::string_view subject) {
    return appendItem(tables, sender, recipient, itemRecord(tables, kind), subject);
}

int CreateResendRequest(CoreTables& tables, std::string_view sender, std::string_view recipient,
                        uint64_t wantedKey, int32_t wantedCreated) {
    MailRecord r = itemRecord(tables, MailKind::ResendRequest);
    r.wantedKey = wantedKey;
    r.lastActivity = wantedCreated;
    return appendItem(tables, sender, recipient, r, {});
}

}  // namespace orv
