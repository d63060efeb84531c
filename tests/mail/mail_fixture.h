#pragma once
// Builds mails the way reception and compose leave them in the tables, for several users of
// one machine.
#include <fstream>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/core_tables.h"
#include "support/temp_dir.h"

namespace orv::test {

struct MailFixture {
    TempDir dir;
    ManualClock clock{1'700'000'000};
    CoreTables t{clock, dir.file("recvfile")};

    MailFixture() { t.ensureMailStoreFolder(); }

    std::string store() const { return t.mailStoreFolder(); }

    // A received mail (kind 1) from `from` to every name of `to`.
    int received(uint64_t key, std::string_view from, const std::vector<std::string>& to,
                 std::string_view subject, uint32_t flags = 0, int32_t created = 1'000'000) {
        MailRecord r{};
        r.key = key;
        r.kind = MailKind::Inbox;
        r.flags = flags;
        r.created = created;
        int m = t.appendMail(r, subject);
        for (const auto& n : to) {
            t.appendReceivedRecipient(m, n, from);
            t.appendRecvAddress(m, n);
        }
        return m;
    }

    // An outgoing mail of `kind` from `from`, one delivery per name of `to`.
    int outgoing(uint64_t key, int32_t kind, std::string_view from,
                 const std::vector<std::string>& to, std::string_view subject,
                 int32_t created = 1'000'000) {
        MailRecord r{};
        r.key = key;
        r.kind = kind;
        r.created = created;
        r.recipientCount = static_cast<int32_t>(to.size());
        int m = t.appendMail(r, subject);
        for (const auto& n : to) {
            t.appendDelivery(m, n, from);
            t.appendOutAddress(m, n);
        }
        t.mails[m].kind = kind;
        return m;
    }

    int file(int m, const std::string& path, int64_t size, int32_t attFlags = 0) {
        AttachmentRecord a{};
        a.total = size;
        a.done = size;
        a.attFlags = attFlags;
        t.mails[m].size += size;
        size_t slash = path.rfind('/');
        return t.appendAttachment(m, path,
                                  slash == std::string::npos ? path : path.substr(slash + 1), a);
    }

    static void write(const std::string& path, const std::string& contents) {
        std::ofstream(path, std::ios::binary) << contents;
    }
};

}  // namespace orv::test
