// Reading received mails: what the window shows, stepping between mails, the progress line of
// the file transfer, the commands refused while files are missing, and the compose input of
// Reply, Reply all and Forward, with the files on disk.
#include "mail/read.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "core/format.h"
#include "mail_fixture.h"

namespace orv {
namespace {

using test::MailFixture;
constexpr UiLanguage En = UiLanguage::English;
constexpr UiLanguage Zh = UiLanguage::Chinese;

struct Read : ::testing::Test, MailFixture {
    // A received mail with four files of 100 bytes in the receive folder, the first
    // `complete` of them fully there.
    int fourFiles(uint64_t key, int complete) {
        int m = received(key, "bob", {"alice"}, "four files");
        for (int i = 0; i < 4; ++i) {
            std::string p = dir.file("f" + std::to_string(i) + ".bin");
            write(p, std::string(i < complete ? 100 : 0, 'x'));
            int a = file(m, p, 100);
            if (i >= complete) t.attachments[a].done = 0;
        }
        t.mails[m].fetchRequested = 1;
        t.mails[m].lastActivity = t.now();
        return m;
    }
    // An HTML mail whose page shows one embedded picture, both in the mail store.
    int htmlMail(uint64_t key, const std::string& page) {
        int m = received(key, "bob", {"alice", "carol"}, "Lunch", MailFlags::bodyIsFirstFile,
                         1'600'000'000);
        write(store() + "A1.htm", page + std::string(1, '\0'));
        file(m, "/home/bob/recvfile/A1.htm", 10);
        write(store() + "B2.png", "png");
        file(m, "/home/bob/recvfile/B2.png", 3, AttFlags::isBodyPart);
        std::string doc = dir.file("doc.txt");
        write(doc, "doc");
        file(m, doc, 3);
        return m;
    }
    ReadProgress tick(uint64_t key, UiLanguage lang = En, ReceiveProbe probe = {}) {
        return readProgress(t, key, probe, pacer, lang);
    }
    SpeedTextPacer pacer;
};

TEST_F(Read, LoadShowsHeaderAttachmentsAndBodyParts) {
    int m = htmlMail(7, "<HTML><BODY>hi</BODY></HTML>");
    t.appendReceivedRecipient(m, "carol", "dave");  // a second sender
    ReadModel r = loadReceived(t, 7, "alice");
    ASSERT_TRUE(r.found);
    EXPECT_EQ(r.from, "bob,dave");
    EXPECT_EQ(r.to, "alice,carol");
    EXPECT_EQ(r.subject, "Lunch");
    EXPECT_TRUE(r.html);
    EXPECT_EQ(r.status, " ");
    ASSERT_EQ(r.attachments.size(), 1u);  // the page and its picture are not attachments
    EXPECT_EQ(r.attachments[0].name, "doc.txt");
    EXPECT_EQ(r.bodyPaths, (std::vector<std::string>{store() + "A1.htm", store() + "B2.png"}));
    EXPECT_TRUE(r.bodyComplete);

    // The picture is shown from its local copy.
    auto doc = bodyDocument(t, m);
    ASSERT_TRUE(doc);
    EXPECT_EQ(*doc, "<HTML><BODY>hi</BODY></HTML>");
    t.attachments[t.mailFiles(m)[1]].done = 1;
    EXPECT_FALSE(bodyDocument(t, m));
    EXPECT_FALSE(loadReceived(t, 7, "alice").bodyComplete);
}

TEST_F(Read, EmbeddedPicturesPointAtTheLocalCopies) {
    int m = htmlMail(7, "<BODY><IMG src=\"file:///home/bob/recvfile/B2.png\"></BODY>");
    auto doc = bodyDocument(t, m);
    ASSERT_TRUE(doc);
    EXPECT_EQ(*doc, "<BODY><IMG src=\"file://" + store() + "B2.png\"></BODY>");
}

TEST_F(Read, UnsetKeyTakesTheNewestAndStepsStayAtTheEnds) {
    received(1, "bob", {"alice"}, "oldest");
    received(2, "bob", {"zoe"}, "not alice's");
    received(3, "bob", {"Alice"}, "middle");
    received(4, "bob", {"alice"}, "newest");
    received(5, "bob", {"zoe"}, "not alice's either");

    ReadModel r = loadReceived(t, kNoMailKey, "alice");
    EXPECT_EQ(r.key, 4u);
    EXPECT_EQ(loadNext(t, 4, "alice").key, 4u);
    EXPECT_EQ(loadPrevious(t, 4, "alice").key, 3u);
    EXPECT_EQ(loadPrevious(t, 3, "alice").key, 1u);
    ReadModel oldest = loadPrevious(t, 1, "alice");
    EXPECT_TRUE(oldest.found);
    EXPECT_EQ(oldest.key, 1u);
    EXPECT_EQ(oldest.subject, "oldest");
    EXPECT_EQ(loadNext(t, 1, "alice").key, 3u);

    EXPECT_FALSE(loadReceived(t, kNoMailKey, "nobody").found);
    EXPECT_FALSE(loadReceived(t, 99, "alice").found);
}

TEST_F(Read, MailWithoutFilesIsCompleteAndReadAtOnce) {
    int m = received(1, "bob", {"alice"}, "just text");
    ReadProgress p = tick(1);
    EXPECT_EQ(p.percent, 100);
    EXPECT_EQ(p.status, "Receive complete");
    EXPECT_TRUE(p.nowRead);
    EXPECT_TRUE(t.mails[m].state & MailState::read);
    EXPECT_FALSE(tick(1).nowRead);  // the indication is cleared once
    EXPECT_EQ(tick(1, Zh).status, "邮件接收完毕");
}

TEST_F(Read, ProgressLineFollowsTheTransfer) {
    int m = fourFiles(1, 3);
    t.mailMeter(m).start = t.now() - 3725;  // 1:02:05 ago
    ReceiveProbe probe;
    probe.bytesPerSecond = 1536;
    probe.nowMillis = 10'000;
    ReadProgress p = tick(1, En, probe);
    EXPECT_EQ(p.percent, 75);
    EXPECT_EQ(p.status, "Receiving(elapse 1:2:05,75%)... ");
    EXPECT_TRUE(p.setSpeed);
    EXPECT_EQ(p.speed, FormatRate(1536));
    EXPECT_FALSE(p.nowRead);
    EXPECT_FALSE(t.mails[m].state & MailState::read);
    probe.nowMillis = 11'000;  // the speed text holds for 2 s
    EXPECT_FALSE(tick(1, En, probe).setSpeed);
    EXPECT_EQ(tick(1, Zh, probe).status, "接收中(用时 1:2:05,75%)...");

    // Nothing came for more than 15 s: the link asked about is the sender's, whose files
    // these are (the user's own name never has a link).
    clock.advanceSeconds(16);
    std::vector<std::string> asked;
    probe.connected = [&](std::string_view n) {
        asked.emplace_back(n);
        return n == "bob";
    };
    p = tick(1, En, probe);
    EXPECT_TRUE(p.clearSpeed);
    EXPECT_EQ(p.status, "Connected...");
    EXPECT_EQ(asked, (std::vector<std::string>{"bob"}));
    probe.connected = [](std::string_view) { return false; };
    EXPECT_EQ(tick(1, Zh, probe).status, "正在连接中...");

    // A size smaller than the files' totals never shows a missing file as received.
    t.mails[m].size = 300;
    t.attachments[t.mailFiles(m)[3]].done = 99;
    EXPECT_EQ(tick(1).percent, 99);
    EXPECT_EQ(buildForward(t, 1, "alice", En).refusal, ReadRefusal::ForwardIncomplete);
}

TEST_F(Read, NotRequestedTransferGivesTheHint) {
    int m = fourFiles(1, 0);
    t.mails[m].fetchRequested = 0;
    EXPECT_EQ(tick(1).status, "Hint:Click \"Receive\" Button to get file");
    EXPECT_EQ(tick(1, Zh).status, "提示：点击“接收”开始接收附件");
    for (int a : t.mailFiles(m))
        t.attachments[a].done = 100;
    ReadProgress p = tick(1);
    EXPECT_EQ(p.status, "Download Complete");
    EXPECT_TRUE(p.nowRead);
}

TEST_F(Read, OpenAttachmentWaitsForEveryFile) {
    int m = fourFiles(1, 3);
    // Even a file that is complete stays closed while others are missing.
    for (int j : {0, 3}) {
        ReadCheck c = openAttachment(t, 1, j, En);
        EXPECT_EQ(c.refusal, ReadRefusal::DownloadIncomplete);
        EXPECT_EQ(c.message, "Download not complete!");
        EXPECT_TRUE(c.path.empty());
    }
    EXPECT_EQ(openAttachment(t, 1, 0, Zh).message, "文件未下载完全!");
    EXPECT_EQ(openAttachment(t, 1, 4, En).refusal, ReadRefusal::NoAttachment);
    EXPECT_EQ(openAttachment(t, 2, 0, En).refusal, ReadRefusal::NoMail);

    std::string last = dir.file("f3.bin");
    write(last, std::string(100, 'y'));
    t.attachments[t.mailFiles(m)[3]].done = 100;
    ReadCheck c = openAttachment(t, 1, 3, En);
    ASSERT_TRUE(c.ok());
    EXPECT_EQ(c.path, last);
    EXPECT_TRUE(std::filesystem::exists(c.path));
}

TEST_F(Read, ContainingFolderNeedsTheReceptionStarted) {
    int m = received(1, "bob", {"alice"}, "files");
    int a = file(m, "report.pdf", 100);  // a bare name: nothing received yet
    t.attachments[a].done = 0;
    ReadCheck c = openContainingFolder(t, 1, 0, En);
    EXPECT_EQ(c.refusal, ReadRefusal::DownloadNotStarted);
    EXPECT_EQ(c.message, "Download not start!");
    EXPECT_EQ(openContainingFolder(t, 1, 0, Zh).message, "文件未开始下载!");

    std::string p = dir.file("report.pdf");
    write(p, std::string(10, 'x'));
    t.attachmentPaths.replaceAt(a, p);
    t.attachments[a].done = 10;
    c = openContainingFolder(t, 1, 0, En);
    ASSERT_TRUE(c.ok());
    EXPECT_EQ(c.path, dir.path());
}

TEST_F(Read, SaveToCopiesACompleteFile) {
    fourFiles(1, 1);
    std::string target = dir.file("copy.bin");
    ASSERT_TRUE(saveAttachmentTo(t, 1, 0, target));
    EXPECT_EQ(std::filesystem::file_size(target), 100u);
    // An incomplete one will be received there instead.
    std::string later = dir.file("later.bin");
    ASSERT_TRUE(saveAttachmentTo(t, 1, 1, later));
    EXPECT_EQ(loadReceived(t, 1, "alice").attachments[1].path, later);
    EXPECT_FALSE(saveAttachmentTo(t, 1, 9, later));
}

TEST_F(Read, ForwardWaitsForEveryFileThenCarriesThem) {
    int m = fourFiles(1, 3);
    ReplyResult r = buildForward(t, 1, "alice", En);
    EXPECT_EQ(r.refusal, ReadRefusal::ForwardIncomplete);
    EXPECT_EQ(r.message, "Can't foward mail now!");
    EXPECT_EQ(buildForward(t, 1, "alice", Zh).message, "邮件未接收完全，不能转发！");

    write(dir.file("f3.bin"), std::string(100, 'x'));
    t.attachments[t.mailFiles(m)[3]].done = 100;
    r = buildForward(t, 1, "alice", En);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.input.from, "alice");
    EXPECT_TRUE(r.input.to.empty());
    EXPECT_FALSE(r.input.html);
    EXPECT_EQ(r.input.plainText, "\r\n\r\n============================\r\nfour files");
    ASSERT_EQ(r.input.attachments.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(r.input.attachments[static_cast<size_t>(i)],
                  dir.file("f" + std::to_string(i) + ".bin"));
        EXPECT_EQ(std::filesystem::file_size(r.input.attachments[static_cast<size_t>(i)]), 100u);
    }

    // Sent on, it is an ordinary new mail made of those files.
    ComposeState st;
    r.input.to = "zoe";
    ComposeResult sent = sendMail(t, st, r.input, En);
    ASSERT_TRUE(sent.ok) << sent.message;
    EXPECT_EQ(t.mails[sent.mail].kind, MailKind::Outbox);
    EXPECT_EQ(t.mails[sent.mail].size, 400);
}

TEST_F(Read, ForwardOfHtmlKeepsTheBodyBelowTheQuote) {
    int m = htmlMail(7, "<HTML><HEAD></HEAD><BODY class=x>original text</BODY></HTML>");
    ReplyResult r = buildForward(t, 7, "alice", En);
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(r.input.html);
    EXPECT_EQ(r.input.subjectLine, "Foward:Lunch");
    EXPECT_EQ(buildForward(t, 7, "alice", Zh).input.subjectLine, "转发:Lunch");
    const std::string& doc = r.input.htmlDocument;
    const std::string head = "<HTML><HEAD></HEAD><BODY class=x><DIV>&nbsp;</DIV>";
    EXPECT_EQ(doc.substr(0, head.size()), head);
    EXPECT_NE(doc.find("To&nbsp;&nbsp;:alice,carol"), std::string::npos);
    EXPECT_NE(doc.find("From:bob"), std::string::npos);
    EXPECT_NE(doc.find("Time:" + FormatTime(1'600'000'000)), std::string::npos);
    size_t hr = doc.find("<HR>");
    size_t body = doc.find("original text</BODY></HTML>");
    ASSERT_NE(body, std::string::npos);
    EXPECT_LT(hr, body);
    EXPECT_EQ(r.input.attachments, (std::vector<std::string>{dir.file("doc.txt")}));
    (void)m;
}

TEST_F(Read, ReplyQuotesTheSendersAndTheSignature) {
    htmlMail(7, "<html><body>hello</body></html>");
    ReplyResult r = buildReply(t, 7, "alice", En);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.input.to, "bob");
    EXPECT_EQ(r.input.subjectLine, "Reply:Lunch");
    EXPECT_TRUE(r.input.attachments.empty());
    EXPECT_EQ(r.input.htmlDocument.find("<html><body><DIV>&nbsp;</DIV>"), 0u);
    EXPECT_NE(r.input.htmlDocument.find("hello</body>"), std::string::npos);
    ReplyResult zh = buildReply(t, 7, "alice", Zh);
    EXPECT_EQ(zh.input.subjectLine, "回复:Lunch");
    EXPECT_NE(zh.input.htmlDocument.find("收件人：alice,carol"), std::string::npos);
    EXPECT_NE(zh.input.htmlDocument.find("发件人：bob"), std::string::npos);
    EXPECT_NE(zh.input.htmlDocument.find("时间&nbsp;&nbsp;："), std::string::npos);

    std::string sig = dir.file("sig.htm");
    write(sig, "<HTML><BODY bgcolor=white><B>Alice</B></BODY></HTML>");
    t.setSettingString(SettingString::SignatureFile, sig);
    EXPECT_EQ(readSignature(t), "<B>Alice</B>");
    EXPECT_EQ(buildReply(t, 7, "alice", En).input.htmlDocument.find("<B>Alice</B>"),
              std::string::npos);  // only with the setting on
    t.setSettingNumber(Setting::AddSignature, 1);
    EXPECT_EQ(buildReply(t, 7, "alice", En).input.htmlDocument.find("<B>Alice</B><DIV>&nbsp;"),
              std::string("<html><body>").size());
    t.setSettingString(SettingString::SignatureFile, dir.file("missing.htm"));
    EXPECT_EQ(readSignature(t), "");
}

TEST_F(Read, QuotedNamesStayAsTheyAre) {
    received(1, "time<b>from", {"alice"}, "hi", MailFlags::bodyIsFirstFile);
    // The body never arrived: the quote still has a page to go into.
    ReplyResult r = buildReply(t, 1, "alice", En);
    ASSERT_TRUE(r.ok());
    EXPECT_NE(r.input.htmlDocument.find("From:time&lt;b&gt;from"), std::string::npos);
    EXPECT_NE(r.input.htmlDocument.find("<BODY><DIV>&nbsp;</DIV>"), std::string::npos);
    EXPECT_EQ(insertAfterBodyTag("plain", "X"), "Xplain");
}

TEST_F(Read, PlainRepliesPutTheSeparatorFirst) {
    received(1, "bob", {"alice"}, "line one");
    ReplyResult r = buildReply(t, 1, "alice", En);
    EXPECT_FALSE(r.input.html);
    EXPECT_EQ(r.input.to, "bob");
    EXPECT_EQ(r.input.plainText, "\r\n\r\n============================\r\nline one");
    r = buildToolbarReply(t, 1, "alice", En);
    EXPECT_EQ(r.input.to, "bob");
    EXPECT_EQ(r.input.plainText, "\r\n\r\n\r\n===================================\r\nline one");
    EXPECT_EQ(buildReply(t, 2, "alice", En).refusal, ReadRefusal::NoMail);
}

TEST_F(Read, ReplyAllListsTheSendersThenEveryReceiverRow) {
    int m = received(1, "bob", {"alice", "carol", "Carol", "bob", "dave"}, "party");
    t.appendReceivedRecipient(m, "ALICE", "bob");
    ReplyResult r = buildReplyAll(t, 1, "alice", En);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.input.to, "bob,alice,carol,Carol,bob,dave,ALICE");
    EXPECT_EQ(r.input.plainText, "\r\n\r\n============================\r\nparty");
    EXPECT_EQ(r.input.from, "alice");
}

}  // namespace
}  // namespace orv
