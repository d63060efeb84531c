// Builds the Inbox of one user over 50 000 mails (40 000 received by several users, 10 000
// outgoing with 60 000 deliveries) carrying 100 000 files, then sorts it. Prints the time of the
// first build (row indexes built on the way), the best of the later builds and of a sort by
// Size. Target: a build well under 100 ms.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include "bench/support/gen.h"
#include "core/clock.h"
#include "core/core_tables.h"
#include "mail/mail_view.h"

namespace {

using namespace orv;
using Ms = std::chrono::duration<double, std::milli>;

using bench::Gen;

const char* kWords[] = {"Quarterly", "report", "meeting", "会议通知", "项目进度", "Re:",  "Fwd:",
                        "budget",    "draft",  "周报",    "invoice",  "photos",   "notes"};
const char* kExt[] = {".pdf", ".docx", ".xlsx", ".jpg", ".zip", ".txt"};

std::string subject(Gen& g) {
    std::string s;
    int n = 3 + g.below(8);
    for (int i = 0; i < n; ++i) {
        if (i) s.push_back(' ');
        s += kWords[g.below(13)];
    }
    return s;
}

}  // namespace

int main() {
    ManualClock clock;
    CoreTables t(clock, "/tmp/orv-bench-recvfile");
    Gen g;
    const int kMails = 50000, kOutgoing = 10000;
    int files = 0, deliveries = 0;
    for (int m = 0; m < kMails; ++m) {
        bool out = m % 5 == 4 && m / 5 < kOutgoing;
        MailRecord r{};
        r.key = (uint64_t{g.next()} << 32) | g.next();
        r.created = 1'600'000'000 + m * 60;
        r.kind = out ? (g.below(2) ? MailKind::Sent : MailKind::Outbox) : MailKind::Inbox;
        r.flags = static_cast<uint32_t>(g.below(4) == 0 ? g.below(128) : 0);
        r.state = static_cast<uint8_t>(g.below(2));
        int idx = t.appendMail(r, subject(g));
        std::string sender = "user" + std::to_string(g.below(40));
        if (out) {
            for (int k = 0; k < 6; ++k) {
                std::string to = "user" + std::to_string(g.below(40));
                t.appendDelivery(idx, to, "user0");
                t.appendOutAddress(idx, to);
                ++deliveries;
            }
            t.mails[idx].kind = r.kind;
        } else {
            // Most received mails are the bench user's; some are another user's of this machine.
            t.appendReceivedRecipient(idx, g.below(10) ? "user0" : "user7", sender);
            t.appendReceivedRecipient(idx, "user" + std::to_string(g.below(40)), sender);
            t.appendRecvAddress(idx, "user0");
        }
        for (int k = 0; k < 2; ++k) {
            AttachmentRecord a{};
            a.total = g.below(5'000'000);
            a.done = a.total;
            std::string name = "file" + std::to_string(files) + kExt[g.below(6)];
            t.appendAttachment(idx, "/home/user0/docs/" + name, name, a);
            t.mails[idx].size += a.total;
            ++files;
        }
    }

    auto time = [](auto&& f) {
        auto a = std::chrono::steady_clock::now();
        f();
        return Ms(std::chrono::steady_clock::now() - a).count();
    };
    size_t rows = 0;
    double first =
        time([&] { rows = buildView(t, View::Inbox, "user0", 0, UiLanguage::Chinese).size(); });
    double best = 1e9, sortBest = 1e9;
    for (int i = 0; i < 5; ++i) {
        std::vector<MailRow> v;
        best = std::min(
            best, time([&] { v = buildView(t, View::Inbox, "user0", 0, UiLanguage::Chinese); }));
        sortBest = std::min(sortBest, time([&] { sortRows(v, View::Inbox, 5, true); }));
    }
    std::printf("mails %d, files %d, deliveries %d\n", t.mails.count(), files, deliveries);
    std::printf(
        "Inbox rows %zu: first build %.1f ms, later builds best %.1f ms, sort by Size %.1f ms\n",
        rows, first, best, sortBest);
    return 0;
}
