// The receiving side between real clients on loopback: the auto-receive boundary, file names
// from the wire, interrupted receptions, empty attachments and chunks nobody asked for.
#include <filesystem>

#include <gtest/gtest.h>

#include "core/mail_queries.h"
#include "mail_peers.h"

namespace orv::test {
namespace {

using Receptions = MailPeers;

TEST_F(Receptions, AutoReceiveLimitOf10MBFetchesBelowAndWaitsAtTheLimit) {
    MailPeer& alice = addPeer("alice");
    MailPeer& bob = addPeer("bob");
    std::string below = makeFile("below.bin", 10485759, 11);
    std::string at = makeFile("at.bin", 10485760, 12);
    uint64_t belowKey = alice.tables.mails[alice.compose({"bob"}, "below", {below})].key;
    uint64_t atKey = alice.tables.mails[alice.compose({"bob"}, "at", {at})].key;
    ASSERT_TRUE(pumpUntil(
        [&] {
            return bob.received(belowKey) && bob.tables.findReceived(atKey) >= 0 &&
                   alice.deliveryState(atKey, "bob") == DeliveryState::AwaitingReply;
        },
        60000));
    EXPECT_EQ(readFile(bob.receivedPath(belowKey, 0)), readFile(below));
    int m = bob.tables.findReceived(atKey);
    EXPECT_EQ(bob.tables.mails[m].fetchRequested, 0);
    EXPECT_EQ(bob.tables.sumDone(m), 0);
    // Nothing was written for it: the stored path is still the bare name.
    EXPECT_EQ(bob.receivedPath(atKey, 0), "at.bin");
    EXPECT_EQ(receivedPercent(bob.tables, bob.tables.findReceived(atKey)), 0);
}

TEST_F(Receptions, FileNamesFromTheWireNeverLeaveTheReceiveFolder) {
    MailPeer& alice = addPeer("alice");
    MailPeer& bob = addPeer("bob");
    std::vector<std::string> names = {"../x", "a/b", "a\\b", ".."};
    std::vector<std::string> files;
    for (size_t i = 0; i < names.size(); ++i)
        files.push_back(makeFile("f" + std::to_string(i), 3000 + i, static_cast<uint32_t>(20 + i)));
    int m = alice.compose({"bob"}, "names", files, 0, names);
    uint64_t key = alice.tables.mails[m].key;
    ASSERT_TRUE(pumpUntil([&] { return bob.received(key); }));

    std::vector<std::string> expected = {"x", "b", "[1]b", "unnamed"};
    for (size_t i = 0; i < names.size(); ++i) {
        std::string p = bob.receivedPath(key, static_cast<int>(i));
        EXPECT_EQ(p, bob.receiveFolder + "/" + expected[i]);
        EXPECT_EQ(readFile(p), readFile(files[i]));
    }
    // Every file bob has is in his receive folder.
    std::string root = dir.path() + "/bob";
    for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
        if (!e.is_regular_file()) continue;
        EXPECT_EQ(e.path().parent_path().string(), bob.receiveFolder) << e.path();
    }
    EXPECT_FALSE(std::filesystem::exists(dir.path() + "/x"));
    EXPECT_FALSE(std::filesystem::exists(root + "/x"));
}

TEST_F(Receptions, SafeFileNameKeepsOnlyTheLastPart) {
    EXPECT_EQ(safeFileName("report.pdf"), "report.pdf");
    EXPECT_EQ(safeFileName("C:\\docs\\report.pdf"), "report.pdf");
    EXPECT_EQ(safeFileName("/etc/passwd"), "passwd");
    EXPECT_EQ(safeFileName("..\\..\\x"), "x");
    EXPECT_EQ(safeFileName("."), "");
    EXPECT_EQ(safeFileName("a/.."), "");
    EXPECT_EQ(safeFileName("dir/"), "");
    EXPECT_EQ(safeFileName(""), "");
}

TEST_F(Receptions, InterruptedReceptionResumesByteIdentical) {
    MailPeer& alice = addPeer("alice");
    MailPeer& bob = addPeer("bob");
    alice.tables.setSettingNumber(Setting::MaxSendPerTransfer, 200);
    std::string file = makeFile("long.bin", 3'000'000, 31);
    std::string other = makeFile("second.bin", 500'000, 32);
    int m = alice.compose({"bob"}, "long", {file, other});
    uint64_t key = alice.tables.mails[m].key;
    auto bobDone = [&] {
        int r = bob.tables.findReceived(key);
        return r < 0 ? int64_t{0} : bob.tables.sumDone(r);
    };
    ASSERT_TRUE(pumpUntil([&] { return bobDone() > 1'000'000; }, 60000));

    // Closing the program: the open file is closed and its progress kept.
    bob.restart();
    int r = bob.tables.findReceived(key);
    int64_t done = bob.tables.sumDone(r);
    std::string partial = bob.receivedPath(key, 0);
    ASSERT_EQ(fileSize(partial), done);
    EXPECT_GT(done, 1'000'000);
    EXPECT_LT(done, 3'000'000);
    // A crash after a write that was not counted leaves more on disk than recorded.
    {
        std::ofstream junk(partial, std::ios::binary | std::ios::app);
        junk << std::string(5000, 'J');
    }

    alice.tables.setSettingNumber(Setting::MaxSendPerTransfer, 0);
    ASSERT_TRUE(pumpUntil(
        [&] {
            int i = alice.findMail(key);
            return bob.received(key) && i >= 0 && alice.tables.mails[i].kind == MailKind::Sent;
        },
        60000));
    EXPECT_EQ(bob.receivedPath(key, 0), partial);  // continued in place, not renamed
    EXPECT_EQ(readFile(partial), readFile(file));
    EXPECT_EQ(readFile(bob.receivedPath(key, 1)), readFile(other));
}

TEST_F(Receptions, EmptyAttachmentArrivesAsAnEmptyFile) {
    MailPeer& alice = addPeer("alice");
    MailPeer& bob = addPeer("bob");
    std::string empty = makeFile("empty.txt", 0);
    std::string data = makeFile("data.bin", 5000, 41);
    uint64_t both = alice.tables.mails[alice.compose({"bob"}, "both", {empty, data})].key;
    std::string lonely = dir.path() + "/lonely.txt";
    writeFile(lonely, "");
    uint64_t only = alice.tables.mails[alice.compose({"bob"}, "only", {lonely})].key;
    ASSERT_TRUE(pumpUntil([&] {
        int a = alice.findMail(both), b = alice.findMail(only);
        return bob.received(both) && bob.received(only) &&
               alice.tables.mails[a].kind == MailKind::Sent &&
               alice.tables.mails[b].kind == MailKind::Sent;
    }));
    EXPECT_EQ(bob.receivedPath(both, 0), bob.receiveFolder + "/empty.txt");
    EXPECT_EQ(fileSize(bob.receivedPath(both, 0)), 0);
    EXPECT_EQ(readFile(bob.receivedPath(both, 1)), readFile(data));
    EXPECT_EQ(bob.receivedPath(only, 0), bob.receiveFolder + "/lonely.txt");
    EXPECT_EQ(fileSize(bob.receivedPath(only, 0)), 0);
}

TEST_F(Receptions, SenderReadsNoMoreThanTheRegisteredSizeOfAGrownFile) {
    MailPeer& alice = addPeer("alice");
    MailPeer& bob = addPeer("bob");
    std::string file = makeFile("grows.log", 10000, 51);
    std::string original = readFile(file);
    int m = alice.compose({"bob"}, "log", {file});
    uint64_t key = alice.tables.mails[m].key;
    {
        std::ofstream more(file, std::ios::binary | std::ios::app);
        more << std::string(7000, 'G');
    }
    ASSERT_TRUE(pumpUntil([&] { return bob.received(key); }));
    EXPECT_EQ(readFile(bob.receivedPath(key, 0)), original);
}

TEST_F(Receptions, ChunksForUnknownMailsAreAnsweredAtMostEveryTwoSeconds) {
    MailPeer& bob = addPeer("bob");
    ScriptedPeer peer(bob.engine->peerPort(), [&] { bob.pump(); });
    ASSERT_TRUE(pumpUntil([&] { return bob.engine->links().count() == 1; }));
    uint64_t key = 0x1234567890ABCDEFull;
    auto chunk = [&](int64_t offset) {
        std::string body(reinterpret_cast<const char*>(&key), 8);
        body += le32(0) + le32(777);
        body.append(reinterpret_cast<const char*>(&offset), 8);
        body += std::string(100, 'z');
        return body;
    };
    ASSERT_TRUE(peer.sendFrame(Command::FileChunk, chunk(0)));
    ASSERT_TRUE(pumpUntil([&] { return peer.hasFrame(); }));
    Frame f = peer.takeFrame();
    EXPECT_EQ(f.command, Command::Received);
    ASSERT_EQ(f.body.size(), 32u);
    uint64_t k;
    std::memcpy(&k, f.body.data() + 16, 8);
    EXPECT_EQ(k, key);
    EXPECT_EQ(loadI32(reinterpret_cast<const uint8_t*>(f.body.data()) + 24), 777);
    // A second one at once gets no answer; one two seconds later does.
    ASSERT_TRUE(peer.sendFrame(Command::FileChunk, chunk(100)));
    for (int i = 0; i < 20; ++i)
        bob.pump();
    EXPECT_FALSE(peer.hasFrame());
    clock.advanceSeconds(2);
    ASSERT_TRUE(peer.sendFrame(Command::FileChunk, chunk(200)));
    ASSERT_TRUE(pumpUntil([&] { return peer.hasFrame(); }));
    EXPECT_EQ(peer.takeFrame().command, Command::Received);
    EXPECT_EQ(bob.tables.mails.count(), 0);
}

TEST_F(Receptions, StalledReceptionAsksTheSenderAgain) {
    MailPeer& alice = addPeer("alice");
    MailPeer& bob = addPeer("bob");
    alice.tables.setSettingNumber(Setting::MaxSendPerTransfer, 20);
    std::string file = makeFile("stall.bin", 400000, 61);
    uint64_t key = alice.tables.mails[alice.compose({"bob"}, "stall", {file})].key;
    ASSERT_TRUE(pumpUntil([&] {
        int r = bob.tables.findReceived(key);
        return r >= 0 && bob.tables.sumDone(r) > 0;
    }));
    // The sender stops (its delivery is lost); after more than 15 quiet seconds the
    // receiver sends a resend request, which starts the delivery again.
    int d = alice.tables.mailDeliveries(alice.findMail(key)).front();
    alice.tables.setDeliveryState(d, CoreTables::DeliveryHow::Sending);
    alice.tables.setSettingNumber(Setting::MaxSendPerTransfer, 0);
    int64_t before = bob.tables.sumDone(bob.tables.findReceived(key));
    ASSERT_LT(before, 400000);
    stepSeconds(16);
    stepSeconds(11);
    ASSERT_TRUE(pumpUntil([&] { return bob.received(key); }, 30000));
    EXPECT_EQ(bob.itemsReceived, 2);  // the item came again
    EXPECT_EQ(readFile(bob.receivedPath(key, 0)), readFile(file));
}

// An item message as a sender builds it, for a mail with one file of `size` bytes.
std::string itemBody(uint64_t key, int32_t created, int64_t size) {
    WireCodec codec;
    WireWriter w(Command::ItemMessage);
    MailRecord r{};
    r.recipientCount = 1;
    r.created = created;
    r.key = key;
    r.size = size;
    w.raw(&r, sizeof r);
    w.stringList(std::vector<std::string>{"subject", "eve", "bob"}, codec);
    w.stringList(std::vector<std::string>{"f.bin"}, codec);
    w.records(&size, 1);
    w.stringList(std::vector<std::string>{"bob"}, codec);
    w.stringList(std::vector<std::string>{"bob"}, codec);
    w.i32(0);  // no attachment records: the sizes count
    const auto& bytes = w.finish();
    return std::string(bytes.begin() + kHeaderSize, bytes.end());
}

std::string chunkBody(uint64_t key, int32_t created, int64_t offset, const std::string& data) {
    std::string body(reinterpret_cast<const char*>(&key), 8);
    body += le32(0) + le32(created);
    body.append(reinterpret_cast<const char*>(&offset), 8);
    return body + data;
}

struct Reply {
    int32_t command = -1, fileNo = -1;
    int64_t offset = -1;
};

TEST_F(Receptions, ChunkBehindTheExpectedOffsetIsAnsweredWithTheRightOne) {
    MailPeer& bob = addPeer("bob");
    ScriptedPeer eve(bob.engine->peerPort(), [&] { bob.pump(); });
    ASSERT_TRUE(pumpUntil([&] { return bob.engine->links().count() == 1; }));
    auto nextReply = [&](Reply& r) {
        if (!pumpUntil([&] { return eve.hasFrame(); })) return false;
        Frame f = eve.takeFrame();
        r.command = f.command;
        r.fileNo = loadI32(reinterpret_cast<const uint8_t*>(f.body.data()));
        std::memcpy(&r.offset, f.body.data() + 8, 8);
        return true;
    };
    uint64_t key = 0xFEEDull;
    std::string data = randomBytes(5000, 71);
    ASSERT_TRUE(eve.sendFrame(Command::ItemMessage, itemBody(key, 1234, 5000)));
    Reply r;
    ASSERT_TRUE(nextReply(r));
    EXPECT_EQ(r.command, Command::SendFiles);
    EXPECT_EQ(r.offset, 0);
    ASSERT_TRUE(eve.sendFrame(Command::FileChunk, chunkBody(key, 1234, 0, data.substr(0, 2016))));
    ASSERT_TRUE(eve.sendFrame(Command::FileChunk, chunkBody(key, 1234, 0, data.substr(0, 2016))));
    ASSERT_TRUE(nextReply(r));
    EXPECT_EQ(r.command, Command::SendFiles);
    EXPECT_EQ(r.fileNo, 0);
    EXPECT_EQ(r.offset, 2016);
    // The rest, with more than the file's size: what is past its end is not written.
    ASSERT_TRUE(
        eve.sendFrame(Command::FileChunk, chunkBody(key, 1234, 2016, data.substr(2016) + "extra")));
    ASSERT_TRUE(nextReply(r));
    EXPECT_EQ(r.command, Command::AllReceived);
    EXPECT_TRUE(bob.received(key));
    EXPECT_EQ(readFile(bob.receivedPath(key, 0)), data);
    // The same item again creates nothing new and is answered from what is there.
    ASSERT_TRUE(eve.sendFrame(Command::ItemMessage, itemBody(key, 1234, 5000)));
    ASSERT_TRUE(nextReply(r));
    EXPECT_EQ(r.command, Command::AllReceived);
    EXPECT_EQ(bob.countMails(key), 1);
}

TEST_F(Receptions, MailInTheTrashWithFilesGetsNoReplyToARepeat) {
    MailPeer& alice = addPeer("alice");
    MailPeer& bob = addPeer("bob");
    std::string file = makeFile("big.bin", 10485760, 81);
    uint64_t key = alice.tables.mails[alice.compose({"bob"}, "big", {file})].key;
    ASSERT_TRUE(pumpUntil(
        [&] { return bob.tables.findReceived(key) >= 0 && !alice.statesAfterReply.empty(); }));
    bob.tables.mails[bob.tables.findReceived(key)].kind = MailKind::TrashReceived;
    size_t replies = alice.statesAfterReply.size();
    stepSeconds(301);
    ASSERT_TRUE(pumpUntil([&] { return bob.itemsReceived == 2; }));
    for (int i = 0; i < 50; ++i)
        for (auto& p : peers)
            p->pump();
    EXPECT_EQ(alice.statesAfterReply.size(), replies);
    EXPECT_EQ(alice.deliveryState(key, "bob"), DeliveryState::AwaitingReply);
    EXPECT_EQ(bob.countMails(key), 1);
}

}  // namespace
}  // namespace orv::test
