// Find through the body index gives the same mails as reading every body whole, on a generated
// mailbox of English, Chinese and character-referenced HTML bodies; the index lives in a file
// that survives a restart, follows erased and deleted mails, and is rebuilt when it is removed
// or damaged.
#include <filesystem>
#include <random>

#include <gtest/gtest.h>

#include "mail/mail_index.h"
#include "mail/mail_view.h"
#include "mail_fixture.h"

namespace orv::test {
namespace {

constexpr UiLanguage En = UiLanguage::English;

// Chinese as the editor stores it: every non-ASCII character as a reference.
std::string encoded(std::u32string_view s) {
    std::string out;
    char buf[16];
    for (char32_t c : s) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else {
            std::snprintf(buf, sizeof buf, (c & 1) ? "&#x%X;" : "&#%u;", static_cast<unsigned>(c));
            out += buf;
        }
    }
    return out;
}

struct Mailbox : MailFixture {
    std::string indexPath = dir.file("search.db");
    std::vector<std::string> bodies;  // body file paths, one per mail that has one

    // Some 240 mails of every kind: subjects and bodies drawn from English and Chinese words,
    // bodies in raw UTF-8 or with references, group entries standing for their members,
    // attachments, a body still coming in and one missing on disk.
    Mailbox() {
        const char* english[] = {"Quarterly", "report", "Meeting", "budget", "AB",   "x",
                                 "photos",    "Notes",  "invoice", "plan",   "zeta", "<b>"};
        const std::u32string chinese[] = {U"中文", U"会议", U"通知", U"项目进度",
                                          U"周报", U"中",   U"文件", U"预算"};
        const char* utf8[] = {"中文", "会议", "通知", "项目进度", "周报", "中", "文件", "预算"};
        std::mt19937 g(7);
        auto pick = [&](int n) { return static_cast<int>(g() % static_cast<unsigned>(n)); };
        for (int i = 0; i < 240; ++i) {
            std::string subject = english[pick(12)];
            subject += " ";
            subject += utf8[pick(8)];
            int m;
            std::string sender = "user" + std::to_string(pick(9));
            if (i % 3 == 0) {
                // A group entry on the address line; the deliveries hold its members.
                m = outgoing(1000 + i, i % 2 ? MailKind::Sent : MailKind::Outbox, sender, {},
                             subject);
                t.appendOutAddress(m, "[Team" + std::to_string(i % 4) + "]");
                for (int k = 0; k < 3; ++k)
                    t.appendDelivery(m, "member" + std::to_string(pick(20)), sender);
            } else {
                m = received(1000 + i, sender, {"alice", "grp" + std::to_string(pick(5))}, subject);
            }
            if (i % 10 == 9) continue;  // no body
            std::string html = "<html><body><p>";
            for (int w = 0; w < 12; ++w) {
                if (pick(2)) {
                    html += english[pick(12)];
                } else if (i % 2) {
                    html += encoded(chinese[pick(8)]);
                } else {
                    html += utf8[pick(8)];
                }
                html += pick(4) ? " " : "&amp;";
            }
            html += "</p></body></html>";
            html.push_back('\0');
            char name[32];
            std::snprintf(name, sizeof name, "%X.htm", 0xA000 + i);
            std::string path = store() + name;
            write(path, html);
            bodies.push_back(path);
            t.mails[m].flags |= MailFlags::bodyIsFirstFile;
            int a = file(m, path, static_cast<int64_t>(html.size()), AttFlags::isBodyPart);
            if (i == 41) t.attachments[a].done = 0;  // still coming in
            if (i % 7 == 0) file(m, "/home/alice/docs/Plan" + std::to_string(i) + ".xlsx", 100);
        }
        std::filesystem::remove(bodies[5]);  // listed, but gone from disk
    }

    std::vector<int> find(const std::string& text, MailIndex* index) {
        MailSearch s(t, text, index);
        MailSearch::Progress p;
        do {
            p = s.step(16);
            EXPECT_LE(p.done, p.total);
        } while (!p.finished);
        return s.matches();
    }
};

const char* kKeywords[] = {
    "report", "REPORT",    "meeting", "ab",       "x",        "b>",   "<b>",   "&amp;",
    "& ",     "中文",      "中",      "会议",     "项目进度", "进度", "周",    "预算",
    "文件",   "user3",     "member1", "MEMBER13", "team2",    "grp4", "alice", "plan14",
    ".xlsx",  "zeta plan", "nowhere", "&#x4e2d",  "&#20013;", "",     "html",  "通知 zeta"};

TEST(MailIndexTest, FindsExactlyWhatReadingEveryBodyFinds) {
    Mailbox box;
    MailIndex index(box.t, box.indexPath);
    ASSERT_TRUE(index.ok());
    for (const char* k : kKeywords) {
        std::vector<int> full = box.find(k, nullptr);
        std::vector<int> fast = box.find(k, &index);
        EXPECT_EQ(fast, full) << "keyword \"" << k << "\"";
    }
    // Some of the results asserted outright, so the comparison is not between two blind
    // searches: a referenced character, a group member, and the body still coming in (read
    // from disk, not indexed).
    EXPECT_FALSE(box.find("中文", &index).empty());
    std::vector<int> member = box.find("member", &index);
    EXPECT_EQ(member.size(), 80u);
    int incoming = box.t.findReceived(1041);
    ASSERT_GE(incoming, 0);
    EXPECT_FALSE(index.indexed(box.bodies[37]));
    EXPECT_EQ(index.size(), box.bodies.size() - 2);  // neither the missing nor the incoming one
}

TEST(MailIndexTest, CharacterReferencesAreFoundAsTheirCharacters) {
    EXPECT_EQ(bodySearchText("a&#x4E2D;&#25991;b"), "a&#x4E2D;&#25991;b\na中文b");
    EXPECT_EQ(bodySearchText("plain"), "plain");
    EXPECT_EQ(bodySearchText("x&amp;y&bogus;&#xD800;"),
              "x&amp;y&bogus;&#xD800;\nx&y&bogus;&#xD800;");
    EXPECT_EQ(bodySearchText(std::string("a\0b\xFF", 4)), "a\nb\xEF\xBF\xBD");
    MailFixture f;
    int m = f.received(1, "bob", {"alice"}, "s", MailFlags::bodyIsFirstFile);
    std::string path = f.store() + "B0D7.htm";
    MailFixture::write(path, "<p>&#x4E2D;&#x6587;</p>");
    f.file(m, path, 22, AttFlags::isBodyPart);
    MailIndex index(f.t, f.dir.file("search.db"));
    for (const char* k : {"中文", "中", "文"}) {
        MailSearch s(f.t, k, &index);
        s.run();
        EXPECT_EQ(s.matches(), std::vector<int>{m}) << k;
    }
}

TEST(MailIndexTest, SurvivesRestartFollowsErasingAndDeletingAndIsRebuiltWhenRemoved) {
    Mailbox box;
    auto same = [&](MailIndex& index) {
        for (const char* k : {"report", "中文", "ab", "member1", "会议"})
            EXPECT_EQ(box.find(k, &index), box.find(k, nullptr)) << k;
    };
    size_t indexed = 0;
    {
        MailIndex index(box.t, box.indexPath);
        EXPECT_EQ(index.plan(), static_cast<int>(box.bodies.size()) - 1);  // not the incoming one
        index.syncAll();
        indexed = index.size();
    }
    // Restart: the same rows, nothing to read again.
    {
        MailIndex index(box.t, box.indexPath);
        EXPECT_EQ(index.size(), indexed);
        EXPECT_EQ(index.plan(), 1);  // only the body missing on disk is tried again
        same(index);
    }
    // Erasing a mail and deleting one for good take their bodies out of the index.
    {
        MailIndex index(box.t, box.indexPath);
        int erased = box.t.findReceived(1001);
        ASSERT_GE(erased, 0);
        std::string erasedBody = box.bodies[1];
        box.t.eraseMail(erased);
        int trash = box.t.findReceived(1002);
        box.t.mails[trash].kind = MailKind::TrashReceived;
        std::string trashBody = box.bodies[2];
        std::vector<MailRef> refs{{box.t.mails[trash].key, MailKind::TrashReceived, trash}};
        MoveOutcome out = deleteForGood(box.t, refs, {});
        EXPECT_EQ(out.erased, 1);
        EXPECT_FALSE(std::filesystem::exists(trashBody));
        EXPECT_EQ(index.plan(), 1);
        EXPECT_FALSE(index.indexed(erasedBody));
        EXPECT_FALSE(index.indexed(trashBody));
        EXPECT_EQ(index.size(), indexed - 2);
        same(index);
    }
    // A body that completes is indexed at once.
    {
        MailIndex index(box.t, box.indexPath);
        int incoming = box.t.findReceived(1041);
        int a = box.t.mailFiles(incoming).front();
        index.addMail(incoming);
        EXPECT_FALSE(index.indexed(box.bodies[37]));
        box.t.attachments[a].done = box.t.attachments[a].total;
        index.addMail(incoming);
        EXPECT_TRUE(index.indexed(box.bodies[37]));
        indexed = index.size();
        same(index);
    }
    // Removed: rebuilt from the bodies. Damaged: replaced and rebuilt.
    std::filesystem::remove(box.indexPath);
    {
        MailIndex index(box.t, box.indexPath);
        ASSERT_TRUE(index.ok());
        EXPECT_EQ(index.size(), 0u);
        same(index);
        EXPECT_EQ(index.size(), indexed);
    }
    for (const char* suffix : {"", "-wal", "-shm"})
        std::filesystem::remove(box.indexPath + suffix);
    MailFixture::write(box.indexPath, std::string(4096, 'j'));
    {
        MailIndex index(box.t, box.indexPath);
        ASSERT_TRUE(index.ok());
        same(index);
        EXPECT_EQ(index.size(), indexed);
    }
    auto rows = buildView(box.t, View::Search, "", 0, En, [&] {
        MailSearch s(box.t, "member1");
        s.run();
        return s.matcher();
    }());
    EXPECT_FALSE(rows.empty());
}

}  // namespace
}  // namespace orv::test
