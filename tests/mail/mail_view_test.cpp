// The mail views: which mails each folder lists for which user, the cells and their formats,
// sorting, moving mails between folders, deleting them for good with their files on disk,
// searching bodies on disk, and taking a sender into the contacts.
#include "mail/mail_view.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "core/format.h"
#include "mail/mail_files.h"
#include "mail_fixture.h"

namespace orv {
namespace {

using test::MailFixture;
namespace fs = std::filesystem;
constexpr UiLanguage En = UiLanguage::English;
constexpr UiLanguage Zh = UiLanguage::Chinese;

std::vector<uint64_t> keysOf(const std::vector<MailRow>& rows) {
    std::vector<uint64_t> k;
    for (const auto& r : rows)
        k.push_back(r.key);
    return k;
}

std::vector<MailRef> refsOf(const std::vector<MailRow>& rows) {
    std::vector<MailRef> refs;
    for (const auto& r : rows)
        refs.push_back(refOf(r));
    return refs;
}

using Keys = std::vector<uint64_t>;

TEST(MailViewSelection, EachFolderListsOnlyTheUsersMailsNewestFirst) {
    MailFixture f;
    f.received(1, "bob", {"alice"}, "to alice");
    f.received(2, "bob", {"carol"}, "to carol only");
    f.received(3, "bob", {"carol", "ALICE"}, "to both");
    f.outgoing(4, MailKind::Outbox, "alice", {"bob"}, "out of alice");
    f.outgoing(5, MailKind::Outbox, "carol", {"bob"}, "out of carol");
    f.outgoing(6, MailKind::Sent, "Alice", {"bob"}, "sent");
    f.outgoing(7, MailKind::Draft, "alice", {""}, "draft");
    f.outgoing(8, MailKind::TrashOutgoing, "alice", {"bob"}, "deleted sent");
    f.outgoing(9, MailKind::TrashDraft, "alice", {"bob"}, "deleted draft");
    int m10 = f.received(10, "bob", {"alice"}, "deleted received");
    f.t.mails[m10].kind = MailKind::TrashReceived;
    f.received(11, "bob", {"carol"}, "carol's trash");
    f.t.mails[f.t.mails.count() - 1].kind = MailKind::TrashReceived;
    f.outgoing(12, MailKind::TrashOutgoing, "carol", {"alice"}, "carol's deleted");
    // Control items and shared-file deliveries are never listed.
    f.outgoing(13, MailKind::SharedFileDelivery, "alice", {"bob"}, "file");
    f.received(14, "bob", {"alice"}, "listing");
    f.t.mails[f.t.mails.count() - 1].kind = MailKind::ListFolder;

    EXPECT_EQ(keysOf(buildView(f.t, View::Inbox, "alice", 0, En)), (Keys{3, 1}));
    EXPECT_EQ(keysOf(buildView(f.t, View::Inbox, "carol", 0, En)), (Keys{3, 2}));
    EXPECT_EQ(keysOf(buildView(f.t, View::Outbox, "ALICE", 0, En)), (Keys{4}));
    EXPECT_EQ(keysOf(buildView(f.t, View::Sent, "alice", 0, En)), (Keys{6}));
    EXPECT_EQ(keysOf(buildView(f.t, View::Drafts, "alice", 0, En)), (Keys{7}));
    EXPECT_EQ(keysOf(buildView(f.t, View::Trash, "alice", 0, En)), (Keys{10, 9, 8}));
    EXPECT_EQ(keysOf(buildView(f.t, View::Trash, "carol", 0, En)), (Keys{12, 11}));
    EXPECT_TRUE(buildView(f.t, View::Inbox, "dave", 0, En).empty());
    // Panels have no rows; the search view lists what the match says, of any user and kind.
    EXPECT_TRUE(buildView(f.t, View::Group, "alice", 0, En).empty());
    EXPECT_TRUE(buildView(f.t, View::Search, "alice", 0, En).empty());
    auto found = buildView(f.t, View::Search, "nobody", 0, En, matchMails({1, 4, 12, 99}, 14));
    EXPECT_EQ(keysOf(found), (Keys{13, 5, 2}));
}

TEST(MailViewSelection, InboxCategoriesFilterByFlags) {
    MailFixture f;
    using namespace MailFlags;
    f.received(1, "bob", {"alice"}, "plain", bodyIsFirstFile | urgent);
    f.received(2, "bob", {"alice"}, "bulletin", bulletin);
    f.received(3, "bob", {"alice"}, "announce", announce);
    f.received(4, "bob", {"alice"}, "news", news | signRequired);
    f.received(5, "bob", {"alice"}, "news bulletin", news | bulletin);
    auto keys = [&](int cat) { return keysOf(buildView(f.t, View::Inbox, "alice", cat, En)); };
    EXPECT_EQ(keys(InboxCategory::All), (Keys{5, 4, 2, 1}));
    EXPECT_EQ(keys(InboxCategory::Private), (Keys{1}));
    EXPECT_EQ(keys(InboxCategory::Bulletin), (Keys{5, 2}));
    EXPECT_EQ(keys(InboxCategory::Announce), (Keys{3}));
    EXPECT_EQ(keys(InboxCategory::News), (Keys{5, 4}));
    EXPECT_EQ(inboxCategoryForCommand(32811), 0);
    EXPECT_EQ(inboxCategoryForCommand(32812), 3);
    EXPECT_EQ(inboxCategoryForCommand(32813), 2);
    EXPECT_EQ(inboxCategoryForCommand(32814), 4);
    EXPECT_EQ(inboxCategoryForCommand(32815), 64);
    EXPECT_EQ(inboxCategoryForCommand(32816), -1);
}

TEST(MailViewColumns, TitlesAndWidthSettingsPerView) {
    auto titles = [](int view, UiLanguage lang) {
        std::string s;
        for (const auto& c : viewColumns(view))
            s += std::string(pick(lang, c.title)) + ":" + std::to_string(c.widthSetting) + " ";
        return s;
    };
    EXPECT_EQ(titles(View::Inbox, En), "From:0 Type:36 Message:1 Attach:2 Time:3 Size:19 ");
    EXPECT_EQ(titles(View::Outbox, En), "To:4 Type:37 Message:5 Attach:6 Time:7 Size:20 ");
    EXPECT_EQ(titles(View::Trash, En), "To:8 From:9 Type:38 Message:10 Attach:11 Time:12 Size:21 ");
    EXPECT_EQ(titles(View::Drafts, En), "To:62 Type:63 Message:64 Attach:65 Time:66 Size:67 ");
    EXPECT_EQ(titles(View::Sent, En), "To:22 Type:39 Message:23 Attach:24 Time:25 Size:26 ");
    EXPECT_EQ(titles(View::Search, Zh),
              "收件人:8 发件人:9 类型:38 标题:10 文件:11 发送时间:12 文件大小:21 ");
    EXPECT_TRUE(viewColumns(View::Transfer).empty());
    EXPECT_FALSE(viewStoresWidths(View::Search));
    EXPECT_TRUE(viewStoresWidths(View::Trash));
    EXPECT_STREQ(pick(Zh, viewName(View::Drafts)).data(), "草稿箱");
}

TEST(MailViewColumns, WidthsLiveInTheSettingsNumbers) {
    MailFixture f;
    std::vector<int32_t> w = {10, 20, 30, 40, 50, 60, 70};
    storeColumnWidths(f.t, View::Trash, w);
    EXPECT_EQ(f.t.settingNumber(8), 10);
    EXPECT_EQ(f.t.settingNumber(38), 30);
    EXPECT_EQ(f.t.settingNumber(21), 70);
    // The search view shows the Trash widths and never writes them.
    EXPECT_EQ(columnWidths(f.t, View::Search), w);
    storeColumnWidths(f.t, View::Search, std::vector<int32_t>(7, 1));
    EXPECT_EQ(columnWidths(f.t, View::Trash), w);
    storeColumnWidths(f.t, View::Drafts, std::vector<int32_t>{1, 2, 3, 4, 5, 6});
    EXPECT_EQ(f.t.settingNumber(62), 1);
    EXPECT_EQ(f.t.settingNumber(67), 6);
}

TEST(MailViewCells, TypeTextsInTheirOrder) {
    using namespace MailFlags;
    EXPECT_EQ(mailTypeText(0, 0, En), "General");
    EXPECT_EQ(mailTypeText(bodyIsFirstFile, 0, Zh), "普通");
    EXPECT_EQ(mailTypeText(urgent | signRequired, MailState::signedBit, En), "Urgent,Signed");
    EXPECT_EQ(mailTypeText(signRequired, 0, En), "Unsigned");
    EXPECT_EQ(mailTypeText(0x7F, 0, En), "News,Bulletin,Announce,Urgent,Classified ,Unsigned");
    EXPECT_EQ(mailTypeText(0x7F, MailState::signedBit, Zh), "新闻,公告,通告,紧急,机密,已签收");
}

TEST(MailViewCells, MessageKeeps255CharactersAndBlanksLineBreaks) {
    EXPECT_EQ(messageCellText("line one\r\nline two\n"), "line one  line two ");
    std::string longText(300, 'x');
    EXPECT_EQ(messageCellText(longText), std::string(255, 'x'));
    // Counted in characters: a Chinese subject is not cut inside a character.
    std::string zh;
    for (int i = 0; i < 300; ++i)
        zh += "会";
    std::string cut = messageCellText(zh);
    EXPECT_EQ(cut.size(), 255u * 3);
    EXPECT_EQ(cut.substr(cut.size() - 3), "会");
}

TEST(MailViewCells, RowCellsOfReceivedAndOutgoingMails) {
    MailFixture f;
    int m = f.received(7, "bob", {"alice", "carol"}, "Hello\nthere", MailFlags::bodyIsFirstFile);
    f.t.appendReceivedRecipient(m, "alice", "BOB");  // a second copy of the sender, other case
    f.file(m, f.store() + "B1.htm", 100);            // first file is the body: not an attachment
    f.file(m, "/recv/a.pdf", 1536);
    f.file(m, f.store() + "pic.png", 10, AttFlags::isBodyPart);
    f.file(m, "/recv/b.zip", 1048577);
    std::tm tm{};
    tm.tm_year = 2007 - 1900;
    tm.tm_mon = 2;
    tm.tm_mday = 4;
    tm.tm_hour = 5;
    tm.tm_min = 6;
    tm.tm_isdst = -1;
    f.t.mails[m].created = static_cast<int32_t>(std::mktime(&tm));
    f.t.mails[m].state = MailState::read;

    auto rows = buildView(f.t, View::Inbox, "alice", 0, En);
    ASSERT_EQ(rows.size(), 1u);
    const MailRow& r = rows[0];
    EXPECT_EQ(r.cell(Column::From), "bob");
    EXPECT_EQ(r.cell(Column::Type), "General");
    EXPECT_EQ(r.cell(Column::Message), "Hello there");
    EXPECT_EQ(r.cell(Column::Attach), "a.pdf,b.zip");
    EXPECT_EQ(r.cell(Column::Time), "2007-03-04  05:06");
    EXPECT_EQ(r.cell(Column::Size), "1.0MB");  // 100 + 1536 + 10 + 1048577 bytes
    EXPECT_EQ(r.marker, 1);
    EXPECT_EQ(r.mail, m);
    EXPECT_EQ(r.kind, MailKind::Inbox);

    int o = f.outgoing(8, MailKind::Outbox, "alice", {"bob", "[team:carol]"}, "out");
    f.file(o, "/home/alice/x.txt", 1024);
    auto out = buildView(f.t, View::Outbox, "alice", 0, Zh);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].cell(Column::To), "bob,[team:carol]");
    EXPECT_EQ(out[0].cell(Column::Type), "普通");
    EXPECT_EQ(out[0].cell(Column::Size), "1024 Byte");
    EXPECT_EQ(out[0].cell(Column::Attach), "x.txt");
    EXPECT_EQ(out[0].marker, 2);

    // The Trash shows both address columns; a received mail without address-line entries shows
    // its recipients.
    int t4 = f.received(9, "dave", {}, "no line");
    f.t.appendReceivedRecipient(t4, "alice", "dave");
    f.t.mails[t4].kind = MailKind::TrashReceived;
    auto trash = buildView(f.t, View::Trash, "alice", 0, En);
    ASSERT_EQ(trash.size(), 1u);
    EXPECT_EQ(trash[0].cell(Column::To), "alice");
    EXPECT_EQ(trash[0].cell(Column::From), "dave");
    EXPECT_EQ(trash[0].marker, 0);
}

TEST(MailViewCells, TimeCellsAreFormatTimeInEveryZoneAcrossItsChanges) {
    // Zones with half-hour offsets and a half-hour daylight change among them.
    const char* saved = std::getenv("TZ");
    std::string before = saved ? saved : "";
    for (const char* zone :
         {"UTC", "Europe/Berlin", "America/St_Johns", "Australia/Lord_Howe", "Asia/Kolkata"}) {
        ::setenv("TZ", zone, 1);
        ::tzset();
        MailFixture f;
        // Every 7 minutes and 13 seconds over a year, and times before 1970.
        std::vector<int32_t> times;
        for (int64_t at = 1'577'836'800; at < 1'609'459'200; at += 433)
            times.push_back(static_cast<int32_t>(at));
        for (int32_t at : {-1, -86400, -2'000'000'000, 0, 59, 60, 2'147'483'647})
            times.push_back(at);
        for (size_t i = 0; i < times.size(); ++i)
            f.received(i + 1, "bob", {"alice"}, "t", 0, times[i]);
        auto rows = buildView(f.t, View::Inbox, "alice", 0, En);
        ASSERT_EQ(rows.size(), times.size());
        int wrong = 0;
        for (const MailRow& r : rows)
            if (r.cell(Column::Time) != FormatTime(r.created) && ++wrong < 5)
                ADD_FAILURE() << zone << " " << r.created << ": " << r.cell(Column::Time)
                              << " != " << FormatTime(r.created);
        EXPECT_EQ(wrong, 0) << zone;
    }
    if (saved)
        ::setenv("TZ", before.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
}

TEST(MailViewSort, ByValueOrTextStableInBothDirections) {
    MailFixture f;
    auto add = [&](uint64_t key, std::string_view from, int32_t created, int64_t size) {
        int m = f.received(key, from, {"alice"}, "s", 0, created);
        f.t.mails[m].size = size;
    };
    add(1, "bob", 300, 9000);
    add(2, "Carol", 100, 200);
    add(3, "alan", 200, 200);
    add(4, "carol", 100, 50);
    auto rows = buildView(f.t, View::Inbox, "alice", 0, En);
    EXPECT_EQ(keysOf(rows), (Keys{4, 3, 2, 1}));
    // Size: value order, not text order ("9000" < "200" as text).
    sortRows(rows, View::Inbox, 5, false);
    EXPECT_EQ(keysOf(rows), (Keys{4, 3, 2, 1}));
    sortRows(rows, View::Inbox, 5, true);
    EXPECT_EQ(keysOf(rows), (Keys{1, 3, 2, 4}));
    // Time, ties keep their order.
    sortRows(rows, View::Inbox, 4, false);
    EXPECT_EQ(keysOf(rows), (Keys{2, 4, 3, 1}));
    // From as text ignoring case; Carol and carol are equal and keep their order.
    sortRows(rows, View::Inbox, 0, false);
    EXPECT_EQ(keysOf(rows), (Keys{3, 1, 2, 4}));
    sortRows(rows, View::Inbox, 0, true);
    EXPECT_EQ(keysOf(rows), (Keys{2, 4, 1, 3}));
    sortRows(rows, View::Inbox, 9, true);  // no such column: unchanged
    EXPECT_EQ(keysOf(rows), (Keys{2, 4, 1, 3}));
}

TEST(MailMove, DeleteAndRestoreMoveBetweenFolders) {
    MailFixture f;
    int in = f.received(1, "bob", {"alice"}, "in");
    int out = f.outgoing(2, MailKind::Outbox, "alice", {"bob"}, "out");
    int sent = f.outgoing(3, MailKind::Sent, "alice", {"bob", "carol"}, "sent");
    int draft = f.outgoing(4, MailKind::Draft, "alice", {""}, "draft");
    for (int d : f.t.mailDeliveries(sent))
        f.t.deliveries[d].state = 9;
    f.t.deliveries[f.t.mailDeliveries(out)[0]].state = 3;

    std::vector<MailRef> refs = {{1, MailKind::Inbox, in},
                                 {2, MailKind::Outbox, out},
                                 {3, MailKind::Sent, sent},
                                 {4, MailKind::Draft, draft},
                                 {4, MailKind::Inbox, draft}};  // stale row: skipped
    MoveOutcome mv = deleteMails(f.t, refs, {});
    EXPECT_EQ(mv.moved, 4);
    EXPECT_EQ(f.t.mails[in].kind, MailKind::TrashReceived);
    EXPECT_EQ(f.t.mails[out].kind, MailKind::TrashOutgoing);
    EXPECT_EQ(f.t.mails[sent].kind, MailKind::TrashOutgoing);
    EXPECT_EQ(f.t.mails[draft].kind, MailKind::TrashDraft);

    auto trash = buildView(f.t, View::Trash, "alice", 0, En);
    ASSERT_EQ(trash.size(), 4u);
    MoveOutcome rs = restoreMails(f.t, refsOf(trash));
    EXPECT_EQ(rs.moved, 4);
    EXPECT_EQ(f.t.mails[in].kind, MailKind::Inbox);
    EXPECT_EQ(f.t.mails[out].kind, MailKind::Outbox);  // a delivery not done
    EXPECT_EQ(f.t.mails[sent].kind, MailKind::Sent);   // every delivery done
    EXPECT_EQ(f.t.mails[draft].kind, MailKind::Draft);

    deleteMails(f.t, refsOf(buildView(f.t, View::Inbox, "alice", 0, En)), {});
    deleteMails(f.t, refsOf(buildView(f.t, View::Sent, "alice", 0, En)), {});
    EXPECT_EQ(restoreAllTrash(f.t, "alice").moved, 2);
    EXPECT_EQ(f.t.mails[in].kind, MailKind::Inbox);
    EXPECT_EQ(f.t.mails[sent].kind, MailKind::Sent);
}

struct TrashFiles : MailFixture {
    std::string recvFolder = dir.file("incoming");
    std::string elsewhere = dir.file("elsewhere");
    TrashFiles() {
        fs::create_directories(recvFolder);
        fs::create_directories(elsewhere);
        t.setSettingString(SettingString::ReceiveFolder, recvFolder);
    }
    std::string make(const std::string& path) {
        write(path, "data");
        return path;
    }
};

TEST(MailDeleteForGood, ReceivedFilesAskOnceAndOnlyInsideTheFolders) {
    TrashFiles f;
    std::vector<std::string> attachFiles, bodies;
    for (int i = 0; i < 3; ++i) {
        int m = f.received(10 + i, "bob", {"alice"}, "r", MailFlags::bodyIsFirstFile);
        std::string body = f.make(f.store() + "BODY" + std::to_string(i) + ".htm");
        std::string att = f.make(f.recvFolder + "/att" + std::to_string(i) + ".bin");
        f.file(m, body, 4);
        f.file(m, att, 4);
        bodies.push_back(body);
        attachFiles.push_back(att);
        f.t.mails[m].kind = MailKind::TrashReceived;
    }
    // A file outside both folders, one reached through "..", and one in a folder whose name
    // merely begins like the receive folder: none is ever deleted.
    std::string outside = f.make(f.elsewhere + "/keep.txt");
    std::string dotted = f.make(f.elsewhere + "/dotted.txt");
    std::string sibling = f.make(f.recvFolder + "-old.txt");
    int m = f.received(20, "bob", {"alice"}, "odd paths");
    f.file(m, outside, 4);
    f.file(m, f.recvFolder + "/../elsewhere/dotted.txt", 4);
    f.file(m, sibling, 4);
    f.t.mails[m].kind = MailKind::TrashReceived;
    // Another user's mail sharing a body file that stays.
    std::string shared = f.make(f.store() + "SHARED.png");
    f.file(m, shared, 4, AttFlags::isBodyPart);
    int keep = f.received(21, "bob", {"carol"}, "keeps its picture");
    f.file(keep, shared, 4, AttFlags::isBodyPart);

    int asked = 0;
    MoveOutcome g = deleteAllTrash(f.t, "alice", [&] {
        ++asked;
        return true;
    });
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(g.asked);
    EXPECT_EQ(g.erased, 4);
    EXPECT_EQ(g.filesRemoved, 6);
    for (const auto& p : bodies)
        EXPECT_FALSE(fs::exists(p)) << p;
    for (const auto& p : attachFiles)
        EXPECT_FALSE(fs::exists(p)) << p;
    EXPECT_TRUE(fs::exists(outside));
    EXPECT_TRUE(fs::exists(dotted));
    EXPECT_TRUE(fs::exists(sibling));
    EXPECT_TRUE(fs::exists(shared));
    ASSERT_EQ(f.t.mails.count(), 1);
    EXPECT_EQ(f.t.mails[0].key, 21u);
    EXPECT_EQ(f.t.mailFiles(0).size(), 1u);
}

TEST(MailDeleteForGood, NoKeepsReceivedFilesAndOutgoingKeepsAttachments) {
    TrashFiles f;
    int r = f.received(1, "bob", {"alice"}, "r");
    std::string att = f.make(f.recvFolder + "/a.bin");
    std::string storeAtt = f.make(f.store() + "inline.bin");
    f.file(r, att, 4);
    f.file(r, storeAtt, 4);
    f.t.mails[r].kind = MailKind::TrashReceived;
    int o = f.outgoing(2, MailKind::TrashOutgoing, "alice", {"bob"}, "o");
    std::string body = f.make(f.store() + "OUT.htm");
    std::string mine = f.make(f.elsewhere + "/mine.doc");
    std::string storeNoBody = f.make(f.store() + "notbody.doc");
    f.file(o, body, 4, AttFlags::isBodyPart);
    f.file(o, mine, 4);
    f.file(o, storeNoBody, 4);
    int d = f.outgoing(3, MailKind::TrashDraft, "alice", {""}, "d");
    std::string draftBody = f.make(f.store() + "DRAFT.htm");
    f.file(d, draftBody, 4, AttFlags::isBodyPart);
    // A mail outside the Trash is not deleted for good.
    int in = f.received(4, "bob", {"alice"}, "in");

    auto rows = buildView(f.t, View::Trash, "alice", 0, En);
    auto refs = refsOf(rows);
    refs.push_back({4, MailKind::Inbox, in});
    int asked = 0;
    MoveOutcome g = deleteForGood(f.t, refs, [&] {
        ++asked;
        return false;
    });
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(g.erased, 3);
    EXPECT_TRUE(fs::exists(att));        // answered No
    EXPECT_FALSE(fs::exists(storeAtt));  // received file in the mail store: always
    EXPECT_FALSE(fs::exists(body));      // outgoing body part in the store
    EXPECT_FALSE(fs::exists(draftBody));
    EXPECT_TRUE(fs::exists(mine));         // the sender's own attachment stays
    EXPECT_TRUE(fs::exists(storeNoBody));  // outgoing, not a body part
    ASSERT_EQ(f.t.mails.count(), 1);
    EXPECT_EQ(f.t.mails[0].key, 4u);
    EXPECT_TRUE(f.t.deliveries.empty());

    // Nothing in the receive folder: no question.
    int r2 = f.received(5, "bob", {"alice"}, "r2");
    f.t.mails[r2].kind = MailKind::TrashReceived;
    asked = 0;
    deleteMails(f.t, refsOf(buildView(f.t, View::Trash, "alice", 0, En)), [&] {
        ++asked;
        return true;
    });
    EXPECT_EQ(asked, 0);
    EXPECT_EQ(f.t.mails.count(), 1);
}

TEST(MailSearchTest, FindsInFieldsAndBodiesOnDiskInSlices) {
    MailFixture f;
    int a = f.received(1, "Bob", {"alice"}, "Quarterly report");
    int b = f.outgoing(2, MailKind::Sent, "carol", {"[Team:dave]"}, "hello");
    int c = f.received(3, "erin", {"frank"}, "html", MailFlags::bodyIsFirstFile);
    std::string body = f.store() + "C0FFEE.htm";
    MailFixture::write(body, std::string("<html><b>Secret PLAN</b></html>") + '\0');
    f.file(c, "/sender/recvfile/C0FFEE.htm", 10);  // the sender's path: the copy is in the store
    int d = f.received(4, "erin", {"frank"}, "missing body", MailFlags::bodyIsFirstFile);
    f.file(d, f.store() + "GONE.htm", 10);
    int e = f.outgoing(5, MailKind::Outbox, "alice", {"zed"}, "files");
    f.file(e, "/home/alice/Budget.xlsx", 10);
    int g = f.received(6, "erin", {"frank"}, "text body");
    std::string txt = f.store() + "notes.txt";
    MailFixture::write(txt, "secret plan");
    f.file(g, txt, 10, AttFlags::isBodyPart);  // not ".htm": not read

    auto find = [&](const std::string& text) {
        MailSearch s(f.t, text);
        int steps = 0;
        MailSearch::Progress p;
        do {
            p = s.step(2);
            ++steps;
            EXPECT_LE(p.done, p.total);
        } while (!p.finished);
        EXPECT_EQ(steps, 3);
        EXPECT_EQ(p.percent(), 100);
        return s.matches();
    };
    EXPECT_EQ(find("REPORT"), (std::vector<int>{a}));
    EXPECT_EQ(find("team:"), (std::vector<int>{b}));
    EXPECT_EQ(find("bob"), (std::vector<int>{a}));
    EXPECT_EQ(find("carol"), (std::vector<int>{b}));
    EXPECT_EQ(find("secret plan"), (std::vector<int>{c}));
    EXPECT_EQ(find("budget"), (std::vector<int>{e}));
    EXPECT_TRUE(find("nowhere").empty());

    MailSearch s(f.t, "ERIN");
    s.step(1);
    EXPECT_EQ(s.progress().percent(), 16);
    s.run();
    auto rows = buildView(f.t, View::Search, "", 0, En, s.matcher());
    EXPECT_EQ(keysOf(rows), (Keys{6, 4, 3}));
    // After the first mail is erased, indexes shift: results no longer at their index drop out.
    f.t.eraseMail(0);
    EXPECT_TRUE(buildView(f.t, View::Search, "", 0, En, s.matcher()).empty());
}

TEST(MailContacts, AddsTheFirstSenderOnce) {
    MailFixture f;
    int m = f.received(1, "Bob", {"alice"}, "hi");
    f.t.contacts.append("carol");
    ContactOutcome c = addSenderToContacts(f.t, m, En);
    EXPECT_TRUE(c.added);
    EXPECT_EQ(c.name, "Bob");
    EXPECT_TRUE(c.message.empty());
    int m2 = f.received(2, "BOB", {"alice"}, "again");
    c = addSenderToContacts(f.t, m2, Zh);
    EXPECT_FALSE(c.added);
    EXPECT_EQ(c.message, "该用户已经在联系人列表中！");
    EXPECT_EQ(f.t.contacts.toVector(), (std::vector<std::string>{"carol", "Bob"}));
    EXPECT_FALSE(addSenderToContacts(f.t, 99, En).added);
}

TEST(MailFiles, FolderContainmentIsLexicalAndAtABoundary) {
    EXPECT_TRUE(isInsideFolder("/a/recvfile/x.htm", "/a/recvfile/"));
    EXPECT_TRUE(isInsideFolder("/a/recvfile/sub/x.htm", "/a/recvfile"));
    EXPECT_FALSE(isInsideFolder("/a/recvfile", "/a/recvfile/"));
    EXPECT_FALSE(isInsideFolder("/a/recvfile2/x", "/a/recvfile"));
    EXPECT_FALSE(isInsideFolder("/a/recvfile/../etc/passwd", "/a/recvfile/"));
    EXPECT_FALSE(isInsideFolder("/A/RECVFILE/x", "/a/recvfile/"));
    EXPECT_FALSE(isInsideFolder("/a/x", ""));
}

}  // namespace
}  // namespace orv
