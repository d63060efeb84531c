#pragma once
// The mailbox the mail benchmarks run on: n mails (four in five received by user0 and others
// of the machine, one in five outgoing to six users or a group's members), two attachments
// each, and, when a store folder is given, a small HTML body file per mail in English or
// Chinese written as character references, as the editor stores it.
#include <cstdio>
#include <fstream>
#include <string>

#include "bench/support/gen.h"
#include "core/core_tables.h"

namespace orv::bench {

inline const char* kWords[] = {"Quarterly", "report", "meeting", "会议通知", "项目进度",
                               "Re:",       "Fwd:",   "budget",  "draft",    "周报",
                               "invoice",   "photos", "notes"};
inline const char* kBodyWords[] = {"delivery",
                                   "schedule",
                                   "the",
                                   "customer",
                                   "warehouse",
                                   "Monday",
                                   "agreed",
                                   "price",
                                   "shipment",
                                   "contract",
                                   "&#x4E2D;&#x6587;",
                                   "&#x4F1A;&#x8BAE;",
                                   "&#x9879;&#x76EE;",
                                   "&#x9884;&#x7B97;",
                                   "&#x5468;&#x62A5;",
                                   "&#x6587;&#x4EF6;"};
inline const char* kExt[] = {".pdf", ".docx", ".xlsx", ".jpg", ".zip", ".txt"};

inline std::string subjectLine(Gen& g) {
    std::string s;
    int n = 3 + g.below(8);
    for (int i = 0; i < n; ++i) {
        if (i) s.push_back(' ');
        s += kWords[g.below(13)];
    }
    return s;
}

// A body of some 40 words (about 400 bytes), a rare word in one mail of 1000.
inline std::string bodyHtml(Gen& g, int m) {
    std::string s = "<html><head><meta charset=\"utf-8\"></head><body><p>";
    int n = 30 + g.below(20);
    for (int i = 0; i < n; ++i) {
        s += kBodyWords[g.below(16)];
        s.push_back(' ');
    }
    if (m % 1000 == 7) s += "zebracrossing ";
    s += "</p></body></html>";
    s.push_back('\0');
    return s;
}

// Fills t with n mails; body files go into store (which must exist) when it is not empty.
inline void fillMailbox(CoreTables& t, int n, const std::string& store) {
    Gen g;
    int files = 0;
    for (int m = 0; m < n; ++m) {
        bool out = m % 5 == 4;
        MailRecord r{};
        r.key = (uint64_t{g.next()} << 32) | g.next();
        r.created = 1'600'000'000 + m * 60;
        r.kind = out ? (g.below(2) ? MailKind::Sent : MailKind::Outbox) : MailKind::Inbox;
        r.flags =
            static_cast<uint32_t>(g.below(4) == 0 ? g.below(128) : 0) & ~MailFlags::bodyIsFirstFile;
        r.state = static_cast<uint8_t>(g.below(2));
        int idx = t.appendMail(r, subjectLine(g));
        std::string sender = "user" + std::to_string(g.below(40));
        if (out) {
            if (g.below(4) == 0) {
                t.appendOutAddress(idx, "[Team" + std::to_string(g.below(9)) + "]");
                for (int k = 0; k < 6; ++k)
                    t.appendDelivery(idx, "member" + std::to_string(g.below(200)), "user0");
            } else {
                for (int k = 0; k < 6; ++k) {
                    std::string to = "user" + std::to_string(g.below(40));
                    t.appendDelivery(idx, to, "user0");
                    t.appendOutAddress(idx, to);
                }
            }
            t.mails[idx].kind = r.kind;
        } else {
            // Most received mails are the bench user's; some are another user's of this machine.
            t.appendReceivedRecipient(idx, g.below(10) ? "user0" : "user7", sender);
            t.appendReceivedRecipient(idx, "user" + std::to_string(g.below(40)), sender);
            t.appendRecvAddress(idx, "user0");
        }
        if (!store.empty()) {
            std::string html = bodyHtml(g, m);
            char name[32];
            std::snprintf(name, sizeof name, "%llX.htm",
                          static_cast<unsigned long long>(r.key ? r.key : 1));
            std::ofstream(store + name, std::ios::binary)
                .write(html.data(), static_cast<std::streamsize>(html.size()));
            AttachmentRecord a{};
            a.total = static_cast<int64_t>(html.size());
            a.done = a.total;
            a.attFlags = AttFlags::isBodyPart;
            t.mails[idx].flags |= MailFlags::bodyIsFirstFile;
            t.appendAttachment(idx, store + name, name, a);
            t.mails[idx].size += a.total;
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
}

}  // namespace orv::bench
