// Building outgoing mails: address lines and their recipients (groups, organisation names),
// Save and Send with the rows and files they leave, the size limit for many receivers, the
// body file in the mail store with its embedded pictures, the receipt plan, and the status line
// of a mail in delivery.
#include "mail/compose.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "core/file_time.h"
#include "mail/compose_status.h"
#include "mail/mail_files.h"
#include "mail/mail_view.h"
#include "mail_fixture.h"
#include "support/joined_groups.h"

namespace orv {
namespace {

using test::MailFixture;
namespace fs = std::filesystem;
constexpr UiLanguage En = UiLanguage::English;
constexpr UiLanguage Zh = UiLanguage::Chinese;

std::vector<std::string> deliveriesOf(const CoreTables& t, int m) {
    std::vector<std::string> out;
    for (int d : t.mailDeliveries(m))
        out.push_back(t.deliveryRecipients.str(d) + "<" + t.deliverySenders.str(d));
    return out;
}

std::vector<std::string> addressOf(const CoreTables& t, int m) {
    std::vector<std::string> out;
    for (int r : t.mailOutAddress(m))
        out.push_back(t.outAddressEntries.str(r));
    return out;
}

struct Compose : MailFixture {
    std::string sized(const std::string& name, int64_t size) {
        std::string p = dir.file(name);
        write(p, "");
        fs::resize_file(p, static_cast<uintmax_t>(size));
        return p;
    }
    ComposeInput plain(std::string to, std::string text = "hello") {
        ComposeInput in;
        in.from = "alice";
        in.to = std::move(to);
        in.plainText = std::move(text);
        return in;
    }
    int storeFileCount() const {
        int n = 0;
        for (auto& e : fs::directory_iterator(store()))
            n += e.is_regular_file();
        return n;
    }
};

TEST(ComposeAddress, EmptyEntriesAndBlanksAreDropped) {
    EXPECT_EQ(splitAddressLine(",,alice,,"), (std::vector<std::string>{"alice"}));
    EXPECT_EQ(splitAddressLine(" bob , carol,"), (std::vector<std::string>{"bob", "carol"}));
    EXPECT_TRUE(splitAddressLine("").empty());
    EXPECT_TRUE(splitAddressLine(" , ,").empty());
}

TEST(ComposeSend, TwoCommasAliceTwoCommasMakesOneDelivery) {
    Compose f;
    ComposeState st;
    ComposeInput in = f.plain(",,alice,,", "line 1\nline 2");
    in.options = MailFlags::urgent | MailFlags::bodyIsFirstFile;  // the HTML box decides bit 0
    f.clock.advanceSeconds(5);
    ComposeResult r = sendMail(f.t, st, in, En);
    ASSERT_TRUE(r.ok);
    EXPECT_TRUE(r.closeWindow);
    EXPECT_FALSE(r.needsReceipts);
    const MailRecord& m = f.t.mails[r.mail];
    EXPECT_EQ(m.kind, MailKind::Outbox);
    EXPECT_EQ(m.recipientCount, 1);
    EXPECT_EQ(m.key, r.key);
    EXPECT_EQ(m.created, f.clock.nowSeconds());
    EXPECT_EQ(m.flags, MailFlags::urgent);
    EXPECT_EQ(m.size, 0);
    EXPECT_EQ(f.t.subjects.str(r.mail), "line 1\nline 2");
    EXPECT_EQ(deliveriesOf(f.t, r.mail), (std::vector<std::string>{"alice<alice"}));
    EXPECT_EQ(addressOf(f.t, r.mail), (std::vector<std::string>{"alice"}));
    EXPECT_TRUE(f.t.mailFiles(r.mail).empty());
    EXPECT_EQ(f.t.deliveries[0].linkSocket, -1);
    EXPECT_EQ(st.key, r.key);
    // The window's mail was sent and not saved again: Send does nothing more.
    EXPECT_FALSE(sendMail(f.t, st, in, En).ok);
    EXPECT_EQ(f.t.mails.count(), 1);
    // An empty or all-comma To text creates nothing.
    ComposeState fresh;
    EXPECT_FALSE(sendMail(f.t, fresh, f.plain(""), En).ok);
    EXPECT_FALSE(sendMail(f.t, fresh, f.plain(",,"), En).ok);
    EXPECT_EQ(f.t.mails.count(), 1);
    EXPECT_FALSE(fresh.created());
}

TEST(ComposeSend, SixReceiversAreLimitedToTenMebibytes) {
    Compose f;
    std::string six = "a,b,c,d,e,f";
    std::string big = f.sized("big.bin", kMultiReceiverSizeLimit + 1);
    std::string exact = f.sized("exact.bin", kMultiReceiverSizeLimit);

    ComposeState st;
    ComposeInput in = f.plain(six);
    in.attachments = {big};
    ComposeResult r = sendMail(f.t, st, in, En);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message, "Can't send these files to multiple people due to size exceed limited!");
    EXPECT_EQ(f.t.mails.count(), 0);
    EXPECT_EQ(f.t.deliveries.count(), 0);
    EXPECT_EQ(f.t.outAddressMails.count(), 0);
    EXPECT_EQ(f.t.attachments.count(), 0);
    EXPECT_FALSE(st.created());
    EXPECT_TRUE(buildView(f.t, View::Outbox, "alice", 0, En).empty());

    // An HTML mail refused the same way takes its body file back out of the store.
    in.html = true;
    in.htmlDocument = "<p>big</p>";
    r = sendMail(f.t, st, in, Zh);
    EXPECT_EQ(r.message, "不能发送大于10M的文件给多个用户！");
    EXPECT_EQ(f.storeFileCount(), 0);

    ComposeInput ok = f.plain(six);
    ok.attachments = {exact};
    r = sendMail(f.t, st, ok, En);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(f.t.mails[r.mail].size, kMultiReceiverSizeLimit);
    EXPECT_EQ(f.t.mails[r.mail].recipientCount, 6);
    EXPECT_FALSE(r.closeWindow);

    // Five receivers may get more.
    ComposeState st2;
    ComposeInput five = f.plain("a,b,c,d,e");
    five.attachments = {big};
    EXPECT_TRUE(sendMail(f.t, st2, five, En).ok);
}

TEST(ComposeSend, SaveThenSendOfADraft) {
    Compose f;
    ComposeState st;
    ComposeInput in = f.plain("bob", "draft text");
    ComposeResult s = saveMail(f.t, st, in, Zh);
    ASSERT_TRUE(s.ok);
    EXPECT_EQ(s.message, "邮件已保存！");
    EXPECT_TRUE(st.saved);
    EXPECT_EQ(f.t.mails[s.mail].kind, MailKind::Draft);
    EXPECT_EQ(deliveriesOf(f.t, s.mail), (std::vector<std::string>{"bob<alice"}));
    auto drafts = buildView(f.t, View::Drafts, "alice", 0, En);
    ASSERT_EQ(drafts.size(), 1u);
    EXPECT_EQ(drafts[0].key, s.key);

    // The same window sends it once, as a new mail; the draft stays.
    ComposeResult r = sendMail(f.t, st, in, En);
    ASSERT_TRUE(r.ok);
    EXPECT_NE(r.key, s.key);
    EXPECT_EQ(f.t.mails[r.mail].kind, MailKind::Outbox);
    EXPECT_EQ(f.t.mails[s.mail].kind, MailKind::Draft);
    EXPECT_FALSE(st.saved);
    EXPECT_FALSE(sendMail(f.t, st, in, En).ok);

    // A draft opened from the Drafts view can be sent once.
    ComposeState opened = ComposeState::openedDraft(s.key);
    EXPECT_TRUE(sendMail(f.t, opened, in, En).ok);
    EXPECT_FALSE(sendMail(f.t, opened, in, En).ok);
    EXPECT_EQ(buildView(f.t, View::Outbox, "alice", 0, En).size(), 2u);

    // Saving without receivers keeps one empty entry, so the draft still shows as the user's.
    ComposeState st2;
    ComposeResult e = saveMail(f.t, st2, f.plain(",", "no one yet"), En);
    ASSERT_TRUE(e.ok);
    EXPECT_EQ(addressOf(f.t, e.mail), (std::vector<std::string>{""}));
    EXPECT_EQ(buildView(f.t, View::Drafts, "ALICE", 0, En).size(), 2u);
}

TEST(ComposeRecipients, GroupsExpandToTheirMembersOnce) {
    Compose f;
    test::joinGroup(f.t, "team", "carol", {{"alice", 0}, {"Bob", 0}, {"dave", 1}});
    test::joinGroup(f.t, "other", "erin", {{"zed", 0}});
    ComposeState st;
    ComposeResult r = sendMail(f.t, st, f.plain("bob,[TEAM:carol],[nope:x],alice"), En);
    ASSERT_TRUE(r.ok);
    // The sender is not one of the group's receivers (only when named himself); a group the
    // user does not belong to reaches nobody, and the user is told which.
    EXPECT_EQ(deliveriesOf(f.t, r.mail),
              (std::vector<std::string>{"bob<alice", "dave<alice", "alice<alice"}));
    EXPECT_EQ(f.t.mails[r.mail].recipientCount, 3);
    EXPECT_EQ(r.message, "You are not a member of these groups, they were left out: [nope:x]");
    EXPECT_EQ(addressOf(f.t, r.mail),
              (std::vector<std::string>{"bob", "[TEAM:carol]", "[nope:x]", "alice"}));

    // An organisation user's plain entry stands for the members below it (members of kind 0).
    Compose g;
    test::joinGroup(g.t, "org", "boss",
                    {{"sales/ann", 0}, {"Sales/ben", 0}, {"sales/cat", 1}, {"hr", 0}});
    EXPECT_EQ(resolveRecipients(g.t, "org/alice", {"sales", "hr", "it"}),
              (std::vector<std::string>{"sales/ann", "Sales/ben", "hr", "it"}));
    EXPECT_EQ(resolveRecipients(g.t, "alice", {"sales"}), (std::vector<std::string>{"sales"}));

    // Only groups nobody can reach: nothing is created.
    ComposeState fresh;
    ComposeResult none = sendMail(f.t, fresh, f.plain("[nope:x],[other:nobody]"), En);
    EXPECT_FALSE(none.ok);
    EXPECT_EQ(none.message,
              "You are not a member of these groups, they were left out: [nope:x], "
              "[other:nobody]");
}

TEST(ComposeFiles, HtmlBodyWithPicturesThenAttachments) {
    Compose f;
    std::string pic = f.dir.file("my pic.png");
    MailFixture::write(pic, "PNGDATA");
    std::string inStore = f.store() + "KEEP.gif";
    MailFixture::write(inStore, "GIF");
    std::string att1 = f.sized("report.pdf", 3000);
    std::string att2 = f.sized("notes", 20);

    ComposeInput in;
    in.from = "alice";
    in.to = "bob";
    in.html = true;
    in.subjectLine = "With pictures";
    std::string picUrl;
    for (char c : pic)
        picUrl += c == ' ' ? std::string("%20") : std::string(1, c);
    in.htmlDocument = "<img src=\"file://" + picUrl + "\"><img src='FILE://" + inStore +
                      "'><img src=\"file://" + picUrl +
                      "\"><a href=\"file:///nowhere/x.png\">x</a>";
    in.attachments = {att1, att2};
    in.options = MailFlags::signRequired;

    ComposeState st;
    ComposeResult r = sendMail(f.t, st, in, En);
    ASSERT_TRUE(r.ok) << r.message;
    EXPECT_TRUE(r.needsReceipts);
    const auto& files = f.t.mailFiles(r.mail);
    ASSERT_EQ(files.size(), 5u);
    EXPECT_EQ(f.t.mails[r.mail].flags, MailFlags::signRequired | MailFlags::bodyIsFirstFile);
    EXPECT_EQ(f.t.subjects.str(r.mail), "With pictures");

    // The body: "%X.htm" in the store, the document with the copy's address, one NUL byte.
    std::string bodyPath = f.t.attachmentPaths.str(files[0]);
    EXPECT_TRUE(isInsideFolder(bodyPath, f.store()));
    EXPECT_TRUE(
        std::regex_match(std::string(fileNameOf(bodyPath)), std::regex("[0-9A-F]{1,16}\\.htm")));
    std::string body;
    ASSERT_TRUE(readWholeFile(bodyPath, body));
    ASSERT_FALSE(body.empty());
    EXPECT_EQ(body.back(), '\0');
    EXPECT_EQ(body.find('\0'), body.size() - 1);
    std::string copyPath = f.t.attachmentPaths.str(files[1]);
    EXPECT_TRUE(isInsideFolder(copyPath, f.store()));
    EXPECT_TRUE(
        std::regex_match(std::string(fileNameOf(copyPath)), std::regex("[0-9A-F]{1,16}\\.png")));
    std::string copied;
    ASSERT_TRUE(readWholeFile(copyPath, copied));
    EXPECT_EQ(copied, "PNGDATA");
    EXPECT_EQ(body.find("my%20pic"), std::string::npos);
    EXPECT_EQ(f.t.attachmentPaths.str(files[4]), att2);
    EXPECT_NE(body.find("\"" + std::string(fileNameOf(copyPath)) + "\""), std::string::npos);
    EXPECT_NE(body.find("'" + std::string(fileNameOf(inStore)) + "'"), std::string::npos);
    EXPECT_EQ(body.find("file://" + f.store()), std::string::npos);
    EXPECT_NE(body.find("file:///nowhere/x.png"), std::string::npos);
    EXPECT_EQ(f.t.attachmentPaths.str(files[2]), inStore);
    EXPECT_EQ(f.t.attachmentPaths.str(files[3]), att1);

    // Flags, sizes and times of every file, and the attachment list without the body parts.
    EXPECT_EQ(f.t.attachments[files[0]].attFlags, AttFlags::isBodyPart);
    EXPECT_EQ(f.t.attachments[files[1]].attFlags, AttFlags::isBodyPart);
    EXPECT_EQ(f.t.attachments[files[3]].attFlags, 0);
    int64_t total = static_cast<int64_t>(body.size()) + 7 + 3 + 3000 + 20;
    EXPECT_EQ(f.t.mails[r.mail].size, total);
    EXPECT_EQ(f.t.attachments[files[3]].total, 3000);
    EXPECT_EQ(f.t.attachments[files[3]].fileTime, fileTimeOf(att1));
    EXPECT_NE(f.t.attachments[files[3]].fileTime, 0);
    EXPECT_EQ(f.t.attachmentNames.str(files[3]), "report.pdf");
    auto rows = buildView(f.t, View::Outbox, "alice", 0, En);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].cell(Column::Attach), "report.pdf,notes");
    EXPECT_EQ(rows[0].cell(Column::Type), "Unsigned");
    // Only the attachments travel to the receipt registration.
    ReceiptPlan plan = planReceipts(f.t, r.mail, En);
    ASSERT_TRUE(plan.ok);
    EXPECT_EQ(plan.attachmentNames, "report.pdf,notes");
    EXPECT_EQ(plan.recipients, (std::vector<std::string>{"bob"}));
    EXPECT_EQ(plan.sender, "alice");
    EXPECT_EQ(plan.subject, "With pictures");
}

TEST(ComposeFiles, AnUnreadableAttachmentCreatesNothing) {
    Compose f;
    ComposeInput in = f.plain("bob");
    in.html = true;
    in.htmlDocument = "<p>x</p>";
    in.attachments = {f.dir.file("missing.txt")};
    ComposeState st;
    ComposeResult r = sendMail(f.t, st, in, En);
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.message.empty());
    EXPECT_EQ(f.t.mails.count(), 0);
    EXPECT_EQ(f.storeFileCount(), 0);
}

TEST(ComposeReceipts, AtMostFiftyReceiversSign) {
    Compose f;
    std::string to;
    for (int i = 0; i < 51; ++i)
        to += "u" + std::to_string(i) + ",";
    ComposeInput in = f.plain(to);
    in.options = MailFlags::signRequired;
    ComposeState st;
    ComposeResult r = sendMail(f.t, st, in, Zh);
    ASSERT_TRUE(r.ok);
    EXPECT_TRUE(r.needsReceipts);
    ReceiptPlan plan = planReceipts(f.t, r.mail, Zh);
    EXPECT_FALSE(plan.ok);
    EXPECT_EQ(plan.message, "接收用户超出限制，不能进行签收！");
    // The mail stays in the Outbox.
    EXPECT_EQ(buildView(f.t, View::Outbox, "alice", 0, En).size(), 1u);
}

TEST(ComposeStatusLine, FollowsTheDeliveries) {
    Compose f;
    StatusProbe probe;
    ResolveCode code = ResolveCode::NoAddress;
    bool refused = false;
    probe.resolve = [&](std::string_view) { return code; };
    probe.refusedNoUser = [&](uint64_t) { return refused; };
    ComposeState st;
    ComposeStatus s = composeStatus(f.t, st, probe, En);
    EXPECT_EQ(s.status, "Hint:Click \"Send\" Button to send Mail");
    EXPECT_TRUE(s.sendEnabled);
    EXPECT_TRUE(s.clearSpeed);

    ComposeInput in = f.plain("bob");
    in.attachments = {f.sized("a.bin", 1000)};
    ComposeResult r = sendMail(f.t, st, in, En);
    ASSERT_TRUE(r.ok);
    int d = f.t.mailDeliveries(r.mail)[0];
    s = composeStatus(f.t, st, probe, En);
    EXPECT_FALSE(s.sendEnabled);
    EXPECT_EQ(s.status, "User is not online, Email will be transferred later.");
    EXPECT_EQ(s.percent, 0);
    code = ResolveCode::CachedNoPort;
    EXPECT_EQ(composeStatus(f.t, st, probe, Zh).status, "该用户不在线，邮件将稍后自动发送");
    code = ResolveCode::FreshNoPort;
    EXPECT_EQ(composeStatus(f.t, st, probe, En).status, "Getting user address...");
    code = ResolveCode::CachedWithPort;
    EXPECT_EQ(composeStatus(f.t, st, probe, En).status, "Connecting to user...");

    // Sending: elapsed time since creation and the share of the bytes sent.
    f.t.deliveries[d].state = 3;
    f.t.deliveries[d].progress = 250;
    probe.bytesPerSecond = 1536;
    probe.nowSeconds = f.t.mails[r.mail].created + 3723;
    s = composeStatus(f.t, st, probe, En);
    EXPECT_TRUE(s.sending);
    EXPECT_EQ(s.percent, 25);
    EXPECT_EQ(s.status, "Sending(elapse 1:2:03,25%)... ");
    EXPECT_EQ(s.speed, "1.4KB/s");
    EXPECT_EQ(composeStatus(f.t, st, probe, Zh).status, "发送中(用时 1:2:03,25%)...");

    f.t.deliveries[d].state = 9;
    f.t.deliveries[d].progress = 1000;
    s = composeStatus(f.t, st, probe, Zh);
    EXPECT_EQ(s.status, "邮件发送完毕");
    EXPECT_EQ(s.percent, 100);

    // Delivered and moved to Sent, or refused by the engine.
    f.t.mails[r.mail].kind = MailKind::Sent;
    EXPECT_EQ(composeStatus(f.t, st, probe, Zh).status, "发送邮件完毕");
    refused = true;
    f.t.mails[r.mail].kind = MailKind::TrashOutgoing;
    EXPECT_EQ(composeStatus(f.t, st, probe, En).status, "Error:User not exists!!!");
}

TEST(ComposeStatusLine, SpeedTextChangesAtMostEveryTwoSeconds) {
    SpeedTextPacer p;
    EXPECT_TRUE(p.due(100));
    EXPECT_FALSE(p.due(2099));
    EXPECT_TRUE(p.due(2100));
}

TEST(ComposeStatusLine, PercentOverSeveralReceivers) {
    Compose f;
    ComposeInput in = f.plain("a,b,c");
    in.attachments = {f.sized("a.bin", 1000)};
    ComposeState st;
    ComposeResult r = sendMail(f.t, st, in, En);
    ASSERT_TRUE(r.ok);
    const auto ds = f.t.mailDeliveries(r.mail);
    f.t.deliveries[ds[0]].state = 9;
    f.t.deliveries[ds[0]].progress = 1000;
    f.t.deliveries[ds[1]].state = 13;
    f.t.deliveries[ds[1]].progress = 500;
    f.t.deliveries[ds[2]].progress = 700;  // waiting: its progress does not count
    EXPECT_EQ(deliveryPercent(f.t, r.mail), 50);
    EXPECT_EQ(deliverySummary(f.t, r.mail), 0);
    // A finished delivery that was removed counts as whole.
    f.t.eraseDelivery(ds[0]);
    EXPECT_EQ(deliveryPercent(f.t, r.mail), 50);
    for (int d : f.t.mailDeliveries(r.mail))
        f.t.deliveries[d].state = 9;
    EXPECT_EQ(deliverySummary(f.t, r.mail), 2);
}

}  // namespace
}  // namespace orv
