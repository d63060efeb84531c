// CoreTables: erasing mails and deliveries with every parallel and side table kept aligned,
// the lookups and their indexes, the sums, delivery states, the address cache and the list
// of recently seen users.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/clock.h"
#include "core/core_tables.h"
#include "core/file_time.h"
#include "core/state_file.h"
#include "support/temp_dir.h"

namespace orv {
namespace {

using test::TempDir;

MailRecord mailOf(uint64_t key, int32_t kind, uint32_t flags = 0) {
    MailRecord r{};
    r.key = key;
    r.kind = kind;
    r.flags = flags;
    return r;
}

AttachmentRecord fileOf(int64_t total, int64_t done, int32_t attFlags = 0) {
    AttachmentRecord a{};
    a.total = total;
    a.done = done;
    a.attFlags = attFlags;
    return a;
}

bool fdIsOpen(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

// Every row of every mail-related table, named by the key of its mail and its contents, in
// table order, with the side-table values that must travel with the row.
std::vector<std::string> snapshot(CoreTables& t) {
    std::vector<std::string> out;
    auto keyOf = [&t](int m) {
        return (m >= 0 && m < t.mails.count()) ? std::to_string(t.mails[m].key) : "?";
    };
    for (int m = 0; m < t.mails.count(); ++m)
        out.push_back("mail " + keyOf(m) + " " + t.subjects.str(m) + " meter " +
                      std::to_string(t.mailMeter(m).start));
    for (int a = 0; a < t.attachments.count(); ++a) {
        OpenFile& f = t.attachmentFile(a);
        out.push_back("att " + keyOf(t.attachments[a].mail) + " " + t.attachmentPaths.str(a) + " " +
                      t.attachmentNames.str(a) + " " + std::to_string(t.attachments[a].total) +
                      (f.isOpen() ? " fd " + std::to_string(f.fd()) : ""));
    }
    EXPECT_EQ(t.deliveryProgress.count(), t.deliveries.count());
    for (int d = 0; d < t.deliveries.count(); ++d) {
        DeliveryRuntime& rt = t.deliveryRuntime(d);
        out.push_back("del " + keyOf(t.deliveries[d].mail) + " " + t.deliveryRecipients.str(d) +
                      " " + t.deliverySenders.str(d) + " progress " +
                      std::to_string(t.deliveryProgress[d].start) + " buffer " +
                      std::to_string(rt.sendBuffer.size()));
    }
    for (int r = 0; r < t.receivedRecipientMails.count(); ++r)
        out.push_back("rr " + keyOf(t.receivedRecipientMails[r]) + " " +
                      t.receivedRecipientNames.str(r) + " " + t.receivedRecipientSenders.str(r));
    for (int r = 0; r < t.outAddressMails.count(); ++r)
        out.push_back("oa " + keyOf(t.outAddressMails[r]) + " " + t.outAddressEntries.str(r));
    for (int r = 0; r < t.recvAddressMails.count(); ++r)
        out.push_back("ra " + keyOf(t.recvAddressMails[r]) + " " + t.recvAddressEntries.str(r));
    return out;
}

std::vector<std::string> without(std::vector<std::string> rows, std::vector<uint64_t> keys) {
    std::erase_if(rows, [&](const std::string& r) {
        for (uint64_t k : keys) {
            std::string tag = " " + std::to_string(k) + " ";
            size_t sp = r.find(' ');
            if (r.compare(sp, tag.size(), tag) == 0) return true;
        }
        return false;
    });
    return rows;
}

class Tables : public ::testing::Test {
  protected:
    Tables() : t(clock, dir.file("recvfile")) {}

    // Ten mails whose rows are interleaved in every table (rows are appended round-robin,
    // not mail by mail), each with two files, two deliveries, two received recipients and an
    // entry in both address lines; the address lines also hold entries for the neighbours.
    void fillTen(CoreTables& tb) {
        for (int i = 0; i < 10; ++i) {
            int m = tb.appendMail(mailOf(0x1000 + i, i % 2 ? MailKind::Inbox : MailKind::Sent),
                                  "subject " + std::to_string(i));
            tb.mailMeter(m).start = 100 + i;
        }
        for (int j = 0; j < 2; ++j) {
            for (int i = 9; i >= 0; --i) {
                std::string n = "m" + std::to_string(i) + "-f" + std::to_string(j);
                tb.appendAttachment(i, "/store/" + n, n, fileOf(i * 10 + j, 0));
            }
        }
        for (int j = 0; j < 2; ++j) {
            for (int i = 0; i < 10; ++i) {
                int d = tb.appendDelivery(i, "to" + std::to_string(i) + char('a' + j), "me");
                tb.deliveryProgress[d].start = 1000 + i * 10 + j;
                tb.mails[i].kind = i % 2 ? MailKind::Inbox : MailKind::Sent;
                tb.appendReceivedRecipient(i, "rr" + std::to_string(i) + char('a' + j),
                                           "from" + std::to_string(i));
            }
        }
        for (int i : {2, 3, 4, 0, 3, 9}) {
            tb.appendOutAddress(i, "out" + std::to_string(i));
            tb.appendRecvAddress(i, "in" + std::to_string(i));
        }
    }

    TempDir dir;
    ManualClock clock;
    CoreTables t;
};

TEST_F(Tables, ErasingAMailLowersEverythingAboveAndKeepsSideTablesAligned) {
    fillTen(t);
    // Open reception files on both sides of mail 3 and on mail 3 itself; send buffers too.
    auto openAt = [&](const std::string& path) {
        int a = t.attachmentPaths.find(path);
        int fd = ::open(dir.file(std::to_string(a)).c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
        t.attachmentFile(a).reset(fd);
        return fd;
    };
    int fd2 = openAt("/store/m2-f1");
    int fd3 = openAt("/store/m3-f0");
    int fd4 = openAt("/store/m4-f0");
    int d5 = t.deliveryRecipients.find("to5b");
    t.deliveryRuntime(d5).sendBuffer.assign(7, 1);
    int d3 = t.deliveryRecipients.find("to3a");
    int dfd3 = ::open(dir.file("send").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    t.deliveryRuntime(d3).file.reset(dfd3);
    t.deliveryRuntime(d3).sendBuffer.assign(3, 1);

    std::vector<std::string> before = snapshot(t);
    t.eraseMail(3);

    EXPECT_FALSE(fdIsOpen(fd3));
    EXPECT_FALSE(fdIsOpen(dfd3));
    EXPECT_TRUE(fdIsOpen(fd2));
    EXPECT_TRUE(fdIsOpen(fd4));
    ASSERT_EQ(t.mails.count(), 9);
    EXPECT_EQ(t.subjects.count(), 9);
    EXPECT_EQ(t.mails[3].key, 0x1004u);
    EXPECT_EQ(t.subjects.str(3), "subject 4");
    EXPECT_EQ(snapshot(t), without(before, {0x1003}));

    // The indexes by mail are right after the erase.
    std::vector<std::string> files;
    for (int a : t.mailFiles(3))
        files.push_back(t.attachmentNames.str(a));
    EXPECT_EQ(files, (std::vector<std::string>{"m4-f0", "m4-f1"}));
    EXPECT_EQ(t.mailDeliveries(8).size(), 2u);
    EXPECT_EQ(t.deliveryRecipients.str(t.mailDeliveries(8)[0]), "to9a");
    EXPECT_EQ(t.mailOutAddress(8).size(), 1u);
    EXPECT_TRUE(t.mailOutAddress(9).empty());
    EXPECT_EQ(t.attachmentFile(t.attachmentPaths.find("/store/m4-f0")).fd(), fd4);

    t.eraseMail(-1);
    t.eraseMail(9);
    EXPECT_EQ(t.mails.count(), 9);
}

TEST_F(Tables, ErasingSeveralAtOnceEqualsErasingOneByOne) {
    fillTen(t);
    CoreTables one(clock, dir.file("recvfile"));
    fillTen(one);
    t.eraseMails({7, 2, 5, 2, 42, -3});
    one.eraseMail(7);
    one.eraseMail(5);
    one.eraseMail(2);
    EXPECT_EQ(snapshot(t), snapshot(one));
    EXPECT_EQ(serializeState(t), serializeState(one));
    EXPECT_EQ(t.mails.count(), 7);
}

TEST_F(Tables, LastDeliveryOfADeletedSentMailTakesTheMailWithIt) {
    fillTen(t);
    t.mails[4].kind = MailKind::TrashOutgoing;
    const auto d4 = t.mailDeliveries(4);
    ASSERT_EQ(d4.size(), 2u);
    t.eraseDelivery(d4[0]);
    EXPECT_EQ(t.mails.count(), 10);
    EXPECT_EQ(t.mailDeliveries(4).size(), 1u);
    std::vector<std::string> before = snapshot(t);
    t.eraseDelivery(t.mailDeliveries(4)[0]);
    EXPECT_EQ(t.mails.count(), 9);
    EXPECT_EQ(snapshot(t), without(before, {0x1004}));
    t.eraseDelivery(t.deliveries.count());
    EXPECT_EQ(t.mails.count(), 9);
}

TEST_F(Tables, DeleteMailPermanentlyActsOnlyOnTrashKinds) {
    int inbox = t.appendMail(mailOf(1, MailKind::Inbox), "a");
    int sent = t.appendMail(mailOf(2, MailKind::Sent), "b");
    int outTrash = t.appendMail(mailOf(3, MailKind::TrashOutgoing), "c");
    t.appendDelivery(outTrash, "x", "me");
    t.appendDelivery(outTrash, "y", "me");
    t.mails[outTrash].kind = MailKind::TrashOutgoing;
    t.deleteMailPermanently(inbox);
    t.deleteMailPermanently(sent);
    EXPECT_EQ(t.mails.count(), 3);
    t.deleteMailPermanently(outTrash);
    EXPECT_EQ(t.mails.count(), 2);
    EXPECT_EQ(t.deliveries.count(), 0);
    EXPECT_EQ(t.deliveryProgress.count(), 0);
    t.appendMail(mailOf(4, MailKind::TrashReceived), "d");
    t.appendMail(mailOf(5, MailKind::TrashDraft), "e");
    t.appendMail(mailOf(6, MailKind::TrashOutgoing), "f");  // no deliveries left: still goes
    t.deleteMailPermanently(4);
    t.deleteMailPermanently(3);
    t.deleteMailPermanently(2);
    ASSERT_EQ(t.mails.count(), 2);
    EXPECT_EQ(t.subjects.str(1), "b");
}

TEST_F(Tables, KeyLookupsFindTheFirstMailOfTheRightKind) {
    const uint64_t K = 0xABCDEF0123456789ull;
    t.appendMail(mailOf(K, MailKind::TrashOutgoing), "0");
    EXPECT_EQ(t.findReceived(K), -1);
    EXPECT_EQ(t.findOutgoing(K), -1);
    t.appendMail(mailOf(K, MailKind::Inbox), "1");
    t.appendMail(mailOf(K, MailKind::Sent), "2");
    t.appendMail(mailOf(K, MailKind::Inbox), "3");
    t.appendMail(mailOf(K, MailKind::Draft), "4");
    EXPECT_EQ(t.findReceived(K), 1);
    EXPECT_EQ(t.findOutgoing(K), 2);
    MailRecord r{};
    ASSERT_TRUE(t.copyMail(K, r));
    EXPECT_EQ(r.kind, MailKind::Inbox);
    ASSERT_TRUE(t.copyOutgoingMail(K, r));
    EXPECT_EQ(r.kind, MailKind::Sent);

    t.eraseMail(1);
    EXPECT_EQ(t.findReceived(K), 2);
    EXPECT_EQ(t.findOutgoing(K), 1);
    t.eraseMail(1);
    EXPECT_EQ(t.findOutgoing(K), 2);  // the draft
    // Appends after a lookup keep the index right, and kind changes are seen at once.
    int m = t.appendMail(mailOf(77, MailKind::Outbox), "5");
    EXPECT_EQ(t.findOutgoing(77), m);
    t.mails[m].kind = MailKind::Inbox;
    EXPECT_EQ(t.findOutgoing(77), -1);
    EXPECT_EQ(t.findReceived(77), m);
    t.appendMail(mailOf(77, MailKind::Sent), "6");
    EXPECT_EQ(t.findOutgoing(77), m + 1);
    EXPECT_EQ(t.findReceived(12345), -1);
    EXPECT_FALSE(t.copyMail(12345, r));
}

TEST_F(Tables, AttachmentAndBodyListsHonourTheBodyFlags) {
    int other = t.appendMail(mailOf(1, MailKind::Inbox), "other");
    int m = t.appendMail(mailOf(2, MailKind::Inbox, MailFlags::bodyIsFirstFile), "html");
    t.appendAttachment(m, "/x/recv/B1.htm", "B1.htm", fileOf(10, 10));
    t.appendAttachment(other, "/o/o.txt", "o.txt", fileOf(1, 1));
    t.appendAttachment(m, "/home/u/a.txt", "a.txt", fileOf(5, 0));
    t.appendAttachment(m, "img.png", "img.png", fileOf(4, 4, AttFlags::isBodyPart));
    t.appendAttachment(m, "/home/u/b.txt", "b.txt", fileOf(6, 6));

    StringPool out;
    t.mailAttachmentNames(m, out);
    EXPECT_EQ(out.toVector(), (std::vector<std::string>{"a.txt", "b.txt"}));
    t.mailAttachmentPaths(m, out);
    EXPECT_EQ(out.toVector(), (std::vector<std::string>{"/home/u/a.txt", "/home/u/b.txt"}));
    EXPECT_TRUE(t.mailBodyPaths(m, out));
    EXPECT_EQ(out.toVector(),
              (std::vector<std::string>{t.mailStoreFolder() + "B1.htm", "img.png"}));
    t.attachments[t.mailFiles(m)[2]].done = 3;  // img.png incomplete
    EXPECT_FALSE(t.mailBodyPaths(m, out));

    // Without the flag the first file is an attachment like the others.
    t.mails[m].flags = 0;
    t.mailAttachmentNames(m, out);
    EXPECT_EQ(out.toVector(), (std::vector<std::string>{"B1.htm", "a.txt", "b.txt"}));
    EXPECT_EQ(t.mailAttachmentRows(m).size(), 3u);
    t.mailBodyPaths(m, out);
    EXPECT_EQ(out.toVector(), (std::vector<std::string>{"img.png"}));
    t.mailAttachmentNames(99, out);
    EXPECT_EQ(out.count(), 0);

    // mailFileIndex counts every file, for outgoing and shared-file deliveries only.
    EXPECT_EQ(t.mailFileIndex(m, 0), -1);
    t.mails[m].kind = MailKind::Outbox;
    EXPECT_EQ(t.mailFileIndex(m, 1), 2);
    EXPECT_EQ(t.mailFileIndex(m, 4), -1);
    t.mails[m].kind = MailKind::SharedFileDelivery;
    EXPECT_EQ(t.mailFileIndex(m, 3), 4);
}

TEST_F(Tables, SetAttachmentPathRenamesIncompleteAndCopiesComplete) {
    int m = t.appendMail(mailOf(1, MailKind::Inbox), "s");
    std::string src = dir.file("done.txt");
    {
        int fd = ::open(src.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, "hello", 5), 5);
        ::close(fd);
    }
    t.appendAttachment(m, src, "done.txt", fileOf(5, 5));
    t.appendAttachment(m, dir.file("part.txt"), "part.txt", fileOf(9, 2));
    std::string copy = dir.file("copy.txt");
    EXPECT_TRUE(t.setAttachmentPath(m, 0, copy));
    EXPECT_EQ(t.attachmentPaths.str(0), src);
    struct stat st {};
    ASSERT_EQ(::stat(copy.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 5);
    EXPECT_TRUE(t.setAttachmentPath(m, 1, dir.file("moved.txt")));
    EXPECT_EQ(t.attachmentPaths.str(1), dir.file("moved.txt"));
    EXPECT_FALSE(t.setAttachmentPath(m, 2, "x"));
}

TEST_F(Tables, RecipientsSendersAndAddressLines) {
    int out = t.appendMail(mailOf(1, MailKind::Outbox), "o");
    t.appendDelivery(out, "bob", "me");
    t.appendDelivery(out, "carol", "ME");
    int in = t.appendMail(mailOf(2, MailKind::Inbox), "i");
    t.appendReceivedRecipient(in, "me", "alice");
    t.addReceivedRecipient("dave", in);  // sender copied from the first row
    StringPool p;
    t.mailRecipients(out, p);
    EXPECT_EQ(p.toVector(), (std::vector<std::string>{"bob", "carol"}));
    t.mailSenders(out, p);
    EXPECT_EQ(p.toVector(), (std::vector<std::string>{"me"}));
    t.mailSenders(in, p);
    EXPECT_EQ(p.toVector(), (std::vector<std::string>{"alice"}));
    t.receivedAddressLine(in, p);
    EXPECT_EQ(p.toVector(), (std::vector<std::string>{"me", "dave"}));
    t.appendRecvAddress(in, "[team:alice]");
    t.receivedAddressLine(in, p);
    EXPECT_EQ(p.toVector(), (std::vector<std::string>{"[team:alice]"}));
    EXPECT_TRUE(t.isRecipientOf("BOB", out));
    EXPECT_FALSE(t.isRecipientOf("dave", out));
    EXPECT_TRUE(t.isReceivedRecipientOf("Dave", in));
    int d = t.addDelivery("erin", out);
    EXPECT_EQ(t.deliverySenders.str(d), "me");
    EXPECT_EQ(t.deliveries[d].linkSocket, -1);
    EXPECT_EQ(t.deliveries[d].fileHandle, -1);
    EXPECT_EQ(t.deliveryProgress.count(), t.deliveries.count());
    int in2 = t.appendMail(mailOf(3, MailKind::Inbox), "i2");
    t.appendReceivedRecipient(in2, "ME", "zed");
    EXPECT_EQ(t.countReceivedFor("me"), 2);
}

TEST_F(Tables, PreviousNextAndLatestReceivedForOneUser) {
    auto add = [&](uint64_t key, int32_t kind, const char* recipient) {
        int m = t.appendMail(mailOf(key, kind), "");
        t.appendReceivedRecipient(m, recipient, "x");
    };
    add(10, MailKind::Sent, "bob");           // 0
    add(11, MailKind::Inbox, "bob");          // 1
    add(12, MailKind::Inbox, "carol");        // 2
    add(13, MailKind::TrashReceived, "bob");  // 3
    add(14, MailKind::Inbox, "Bob");          // 4
    add(15, MailKind::Inbox, "carol");        // 5
    add(16, MailKind::Inbox, "BOB");          // 6
    add(17, MailKind::Inbox, "carol");        // 7
    EXPECT_EQ(t.previousReceived("bob", 14), 11u);
    EXPECT_EQ(t.nextReceived("bob", 14), 16u);
    EXPECT_EQ(t.previousReceived("bob", 11), 11u);
    EXPECT_EQ(t.nextReceived("bob", 16), 16u);
    EXPECT_EQ(t.nextReceived("bob", 12), 14u);  // from another user's mail
    EXPECT_EQ(t.previousReceived("bob", 99), 99u);
    EXPECT_EQ(t.latestReceived("bob"), std::optional<uint64_t>(16));
    EXPECT_EQ(t.latestReceived("carol"), std::optional<uint64_t>(17));
    EXPECT_EQ(t.latestReceived("nobody"), std::nullopt);
}

TEST_F(Tables, AttachmentSums) {
    int a = t.appendMail(mailOf(1, MailKind::Inbox), "");
    int b = t.appendMail(mailOf(2, MailKind::Inbox), "");
    t.appendAttachment(a, "1", "1", fileOf(100, 100));
    t.appendAttachment(b, "x", "x", fileOf(7000, 3));
    t.appendAttachment(a, "2", "2", fileOf(200, 50));
    t.appendAttachment(a, "3", "3", fileOf(300, 0));
    EXPECT_EQ(t.sumDone(a), 150);
    EXPECT_EQ(t.sumTotalFirst(a, 0), 0);
    EXPECT_EQ(t.sumTotalFirst(a, 2), 300);
    EXPECT_EQ(t.sumTotalFirst(a, 10), 600);
    EXPECT_EQ(t.completeFileCount(a), 1);
    EXPECT_EQ(t.firstIncompleteDone(a), 50);
    t.attachments[2].done = 200;
    t.attachments[3].done = 300;
    EXPECT_EQ(t.completeFileCount(a), 3);
    EXPECT_EQ(t.firstIncompleteDone(a), 0);
    EXPECT_EQ(t.sumDone(7), 0);
}

TEST_F(Tables, FileUnchangedComparesTheLastWriteTime) {
    int m = t.appendMail(mailOf(1, MailKind::Outbox), "");
    std::string path = dir.file("f.bin");
    int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    struct timespec times[2] = {{1600000000, 123456789}, {1600000000, 123456789}};
    ASSERT_EQ(::futimens(fd, times), 0);
    ::close(fd);
    AttachmentRecord r = fileOf(0, 0);
    r.fileTime = fileTimeFromUnix(1600000000, 123456789);
    EXPECT_EQ(r.fileTime, 116444736000000000LL + 1600000000LL * 10000000LL + 1234567LL);
    int a = t.appendAttachment(m, path, "f.bin", r);
    EXPECT_TRUE(t.fileUnchanged(a));
    t.attachments[a].fileTime += 1;
    EXPECT_FALSE(t.fileUnchanged(a));
    t.attachmentFile(a).reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_TRUE(t.fileUnchanged(a));  // being written: not judged
    EXPECT_FALSE(t.fileUnchanged(a + 1));
}

TEST_F(Tables, SetDeliveryStateReleasesAndPositions) {
    int m = t.appendMail(mailOf(1, MailKind::Outbox), "");
    t.appendAttachment(m, "a", "a", fileOf(1000, 0));
    t.appendAttachment(m, "b", "b", fileOf(250, 0));
    t.appendAttachment(m, "c", "c", fileOf(9, 0));
    int d = t.appendDelivery(m, "bob", "me");
    auto arm = [&] {
        int fd = ::open(dir.file("s").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
        t.deliveryRuntime(d).file.reset(fd);
        t.deliveryRuntime(d).sendBuffer.assign(16, 0);
        return fd;
    };
    clock.advanceSeconds(5);
    int fd = arm();
    t.setDeliveryState(d, CoreTables::DeliveryHow::FromPosition, 2, 7);
    EXPECT_FALSE(fdIsOpen(fd));
    EXPECT_TRUE(t.deliveryRuntime(d).sendBuffer.empty());
    EXPECT_EQ(t.deliveries[d].state, 3);
    EXPECT_EQ(t.deliveries[d].stateTime, t.now());
    EXPECT_EQ(t.deliveries[d].fileIndex, 2);
    EXPECT_EQ(t.deliveries[d].fileOffset, 7);
    EXPECT_EQ(t.deliveries[d].progress, 1257);

    clock.advanceSeconds(5);
    fd = arm();
    t.setDeliveryState(d, CoreTables::DeliveryHow::Sending);
    EXPECT_FALSE(fdIsOpen(fd));
    EXPECT_EQ(t.deliveries[d].state, 13);
    EXPECT_EQ(t.deliveries[d].stateTime, t.now());
    int32_t stamped = t.now();
    clock.advanceSeconds(5);
    t.setDeliveryState(d, CoreTables::DeliveryHow::Finished);
    EXPECT_EQ(t.deliveries[d].state, 4);
    t.setDeliveryState(d, CoreTables::DeliveryHow::Reset);
    EXPECT_EQ(t.deliveries[d].state, 0);
    EXPECT_EQ(t.deliveries[d].stateTime, stamped);
    EXPECT_EQ(t.deliveries[d].progress, 1257);
}

TEST_F(Tables, ResolveUserCodesAndTheTwentySecondCache) {
    int asked = 0;
    AddressAnswer next;
    auto ask = [&](std::string_view) {
        ++asked;
        return next;
    };
    next = {AddressAnswer::Found, "10.0.0.7:29998"};
    ResolveResult r = t.resolveUser("bob", ask);
    EXPECT_EQ(r.code, ResolveCode::FreshWithPort);
    EXPECT_EQ(r.host, "10.0.0.7");
    EXPECT_EQ(r.port, 29998);
    clock.advanceSeconds(20);
    r = t.resolveUser("BOB", ask);
    EXPECT_EQ(r.code, ResolveCode::CachedWithPort);
    EXPECT_EQ(r.host, "10.0.0.7");
    EXPECT_EQ(r.port, 29998);
    EXPECT_EQ(asked, 1);
    clock.advanceSeconds(1);  // 21 s old: dropped, asked again
    next = {AddressAnswer::Found, "relay.example"};
    r = t.resolveUser("bob", ask);
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(r.code, ResolveCode::FreshNoPort);
    EXPECT_EQ(r.host, "relay.example");
    r = t.resolveUser("bob", ask);
    EXPECT_EQ(r.code, ResolveCode::CachedNoPort);
    EXPECT_EQ(asked, 2);

    // Offline: cached as empty; the cached empty entry reads as "no port from the cache".
    next = {AddressAnswer::Empty, ""};
    r = t.resolveUser("carol", ask);
    EXPECT_EQ(r.code, ResolveCode::NoAddress);
    r = t.resolveUser("carol", ask);
    EXPECT_EQ(r.code, ResolveCode::CachedNoPort);
    EXPECT_EQ(r.host, "");
    EXPECT_EQ(asked, 3);

    // Answers of no such user and failed ones cache nothing.
    next = {AddressAnswer::NoSuchUser, "garbage"};
    EXPECT_EQ(t.resolveUser("dave", ask).code, ResolveCode::NoSuchUser);
    next = {AddressAnswer::Failed, ""};
    // (no address could be obtained yet: the caller asks again later)
    EXPECT_EQ(t.resolveUser("dave", ask).code, ResolveCode::FreshNoPort);
    EXPECT_EQ(asked, 5);
    next = {AddressAnswer::Found, "h:12ab"};
    r = t.resolveUser("dave", ask);
    EXPECT_EQ(r.code, ResolveCode::FreshWithPort);
    EXPECT_EQ(r.port, 12);
    EXPECT_EQ(asked, 6);
    EXPECT_EQ(t.addressCacheNames.count(), t.addressCacheTimes.count());
    EXPECT_EQ(t.addressCacheNames.count(), t.addressCacheAddresses.count());
}

TEST_F(Tables, SeenUsersExpireAfter180Seconds) {
    EXPECT_FALSE(t.seenRecently("alice"));
    t.markSeen("alice");
    clock.advanceSeconds(179);
    EXPECT_TRUE(t.seenRecently("ALICE"));
    clock.advanceSeconds(1);
    EXPECT_FALSE(t.seenRecently("alice"));
    t.markSeen("Alice");
    EXPECT_TRUE(t.seenRecently("alice"));
    EXPECT_EQ(t.seenNames.count(), 1);
}

TEST_F(Tables, RemoveAndCancelTransfersKeepParentsRight) {
    auto add = [&](int32_t kind, int32_t parent, const std::string& remote) {
        TransferRecord r{};
        r.kind = kind;
        r.parent = parent;
        t.transferRemotePaths.append(remote);
        t.transferOwners.append("me");
        t.transferLocalPaths.append("/dl" + remote);
        t.transfers.append(r);
    };
    add(TransferKind::File, 0, "/bob/a.txt");               // 0
    add(TransferKind::Folder, 0, "/bob/music/");            // 1
    add(TransferKind::FolderFile, 1, "/bob/music/x.mp3");   // 2
    add(TransferKind::FolderFile, 1, "/bob/music/y.mp3");   // 3
    add(TransferKind::Folder, 0, "/carol/pics/");           // 4
    add(TransferKind::FolderFile, 4, "/carol/pics/p.png");  // 5
    std::vector<std::string> stopped;
    EXPECT_TRUE(
        t.cancelTransfer("/BOB/music/", [&](std::string_view p) { stopped.emplace_back(p); }));
    EXPECT_EQ(stopped, (std::vector<std::string>{"/bob/music/x.mp3", "/bob/music/y.mp3"}));
    ASSERT_EQ(t.transfers.count(), 3);
    EXPECT_EQ(t.transferRemotePaths.str(2), "/carol/pics/p.png");
    EXPECT_EQ(t.transferLocalPaths.str(2), "/dl/carol/pics/p.png");
    EXPECT_EQ(t.transfers[2].parent, 1);
    EXPECT_EQ(t.findTransfer("/carol/pics/p.png"), -1);  // files of a folder are not addressed
    EXPECT_FALSE(t.cancelTransfer("/nobody/"));
    t.removeTransfer(0);
    EXPECT_EQ(t.transfers[1].parent, 0);
    EXPECT_EQ(t.transferOwners.count(), 2);
}

TEST_F(Tables, SettingsAccessors) {
    EXPECT_EQ(t.settingNumber(18), 0);
    t.setSettingNumber(70, 5);
    EXPECT_EQ(t.settingsNumbers.count(), 128);
    EXPECT_EQ(t.settingNumber(70), 5);
    t.setSettingString(7, "dir.example");
    EXPECT_EQ(t.settingsStrings.count(), 8);
    EXPECT_EQ(t.settingString(7), "dir.example");
    EXPECT_EQ(t.settingString(3), "");
}

}  // namespace
}  // namespace orv
