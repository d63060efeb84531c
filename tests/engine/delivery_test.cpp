// The sending side between real clients on loopback: delivery states, offline and unknown
// receivers, the 300-second repeat, classified mails and the end-of-file chunk (the limits
// are rate_limit_test's).
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

#include <gtest/gtest.h>

#include "core/mail_queries.h"
#include "mail_peers.h"

namespace orv::test {
namespace {

using Deliveries = MailPeers;

TEST_F(Deliveries, MailWithoutFilesGoesThroughStates13And4To9) {
    MailPeer& alice = addPeer("alice");
    MailPeer& bob = addPeer("bob");
    int m = alice.compose({"bob"}, "hello");
    uint64_t key = alice.tables.mails[m].key;
    std::vector<int32_t> seen;
    ASSERT_TRUE(pumpUntil([&] {
        int32_t s = alice.deliveryState(key, "bob");
        if (seen.empty() || seen.back() != s) seen.push_back(s);
        return s == DeliveryState::Delivered;
    }));
    // 13 while the reply is awaited; the reply (18) sets 4, the next pass 9.
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(seen[seen.size() - 2], DeliveryState::AwaitingReply);
    EXPECT_EQ(alice.statesAfterReply, std::vector<int32_t>{DeliveryState::Finished});
    EXPECT_EQ(alice.tables.mails[alice.findMail(key)].kind, MailKind::Sent);

    int r = bob.tables.findReceived(key);
    ASSERT_GE(r, 0);
    EXPECT_EQ(bob.tables.mailSubject(r), "hello");
    const auto& rows = bob.tables.mailReceivedRecipients(r);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(bob.tables.receivedRecipientNames.str(rows[0]), "bob");
    EXPECT_EQ(bob.tables.receivedRecipientSenders.str(rows[0]), "alice");
    ASSERT_EQ(bob.tables.mailRecvAddress(r).size(), 1u);
    EXPECT_EQ(receivedPercent(bob.tables, bob.tables.findReceived(key)), 100);
}

// Twenty mails to one receiver, the first of them waiting for the directory's answer, go out
// without any timer: the clock stands still, and a peer is pumped only when its wait set says
// so (something due now, or one of its descriptors ready). A step that only a timer would take
// stalls the test. A new mail once waited for an unrelated wake-up before its first look-up,
// and the directory's answer for a second-long tick.
TEST_F(Deliveries, MailsGoOutWokenBySocketsAloneWithTheClockStandingStill) {
    MailPeer& alice = addPeer("alice");
    MailPeer& bob = addPeer("bob");
    // The directory's answer arrives on a socket of its own, like the real lookup's.
    int dirPair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, dirPair), 0);
    int asked = 0;
    bool answered = false;
    alice.delivery->setAskAddress([&](std::string_view user) {
        if (user != "bob") return AddressAnswer{AddressAnswer::NoSuchUser, {}};
        ++asked;
        char c;
        if (!answered && ::read(dirPair[0], &c, 1) == 1) answered = true;
        if (!answered) return AddressAnswer{AddressAnswer::Failed, {}};
        return AddressAnswer{AddressAnswer::Found, directory["bob"]};
    });
    alice.delivery->setAddressWaits([&](std::string_view user, WaitSet& w) {
        if (user == "bob" && !answered) w.want(dirPair[0], kWaitRead);
    });
    std::vector<uint64_t> keys;
    for (int i = 0; i < 20; ++i)
        keys.push_back(alice.tables.mails[alice.compose({"bob"}, "mail " + std::to_string(i))].key);
    auto allSent = [&] {
        for (uint64_t k : keys)
            if (alice.tables.mails[alice.findMail(k)].kind != MailKind::Sent || !bob.received(k))
                return false;
        return true;
    };
    const int64_t start = clock.nowMillis();
    bool stalled = false;
    while (!allSent() && !stalled) {
        bool pumped = false;
        std::vector<PollEntry> all;
        for (MailPeer* p : {&alice, &bob}) {
            WaitSet w;
            p->engine->waitSet(w);
            bool due = w.deadlineMs >= 0 && w.deadlineMs <= clock.nowMillis();
            if (due || p->sockets.Poll(w.entries, 0) > 0) {
                p->engine->runOnce(0);
                pumped = true;
            }
            all.insert(all.end(), w.entries.begin(), w.entries.end());
        }
        if (asked > 0 && !answered) {
            char c = 1;
            ASSERT_EQ(::write(dirPair[1], &c, 1), 1);
        }
        // Nothing to do now: only bytes still in flight may wake somebody.
        if (!pumped) stalled = alice.sockets.Poll(all, 2000) <= 0;
    }
    EXPECT_FALSE(stalled) << "a step waited for a timer";
    EXPECT_TRUE(allSent());
    EXPECT_EQ(clock.nowMillis(), start);
    EXPECT_GE(asked, 2);  // pending once, then the answer
    ::close(dirPair[0]);
    ::close(dirPair[1]);
}

// The directory's load from an Outbox of 1 000 mails to 100 users who stay offline: the look-ups
// are per user, not per mail; a not-online answer is kept 20 s and the waits grow 5, 10, 20, 40
// s and stay at 60 s, so each user is asked for at 0, 35 and 75 s, then once a minute: 200
// look-ups in the first minute, at most 100 a minute after that.
TEST_F(Deliveries, OfflineReceiversCostTheDirectoryOneLookUpAMinuteEach) {
    MailPeer& alice = addPeer("alice");
    std::map<std::string, int> asks;
    std::vector<int> perMinute(10, 0);
    const int64_t start = clock.nowSeconds();
    alice.delivery->setAskAddress([&](std::string_view user) {
        ++asks[std::string(user)];
        int64_t minute = (clock.nowSeconds() - start) / 60;
        if (minute < 10) ++perMinute[static_cast<size_t>(minute)];
        return AddressAnswer{AddressAnswer::Empty, {}};
    });
    for (int i = 0; i < 1000; ++i)
        alice.compose({"u" + std::to_string(i % 100)}, "waiting");
    for (int s = 0; s < 600; ++s) {
        for (int k = 0; k < 3; ++k)
            alice.pump();
        clock.advanceSeconds(1);
    }
    EXPECT_EQ(asks.size(), 100u);
    EXPECT_LE(perMinute[0], 200);
    for (size_t m = 1; m < perMinute.size(); ++m)
        EXPECT_LE(perMinute[m], 100) << "minute " << m;
    EXPECT_GE(perMinute[9], 90);  // and each is still asked for
    for (const auto& [user, n] : asks)
        EXPECT_LE(n, 13) << user;
    for (int d = 0; d < alice.tables.deliveries.count(); ++d)
        EXPECT_EQ(alice.tables.deliveries[d].state, DeliveryState::Waiting);
}

// Word from a user whose deliveries sit out the longest back-off (60 s) lets them go at once:
// an item from them, or a hello naming them.
class WakeOnWord : public MailPeers {
  protected:
    // Alice's mail to bob, who has been offline long enough for the back-off to reach its
    // cap; bob is online again (the directory has his new address) but has not spoken yet.
    void SetUp() override {
        addPeer("alice");
        addPeer("bob", /*online=*/false);
        bob().offline();
        key = alice().tables.mails[alice().compose({"bob"}, "while away")].key;
        ASSERT_TRUE(pumpUntil([&] { return alice().connectionAttemptState("bob") == 2; }));
        for (int i = 0; i < 6; ++i)
            stepSeconds(61);
        ASSERT_EQ(alice().connectionAttemptState("bob"), 2);
        bob().online();
        stepSeconds(30);
        ASSERT_EQ(alice().deliveryState(key, "bob"), DeliveryState::Waiting);
        ASSERT_LT(bob().tables.findReceived(key), 0);
    }
    MailPeer& alice() { return *peers[0]; }
    MailPeer& bob() { return *peers[1]; }
    // Seconds of clock time until alice's mail is Sent and bob has it.
    int64_t secondsToDeliver() {
        int64_t from = clock.nowMillis();
        bool done = pumpUntil([&] {
            int m = alice().findMail(key);
            return m >= 0 && alice().tables.mails[m].kind == MailKind::Sent && bob().received(key);
        });
        return done ? (clock.nowMillis() - from) / 1000 : -1;
    }
    uint64_t key = 0;
};

TEST_F(WakeOnWord, AnItemFromTheReceiverLetsTheWaitingMailGo) {
    uint64_t back = bob().tables.mails[bob().compose({"alice"}, "back again")].key;
    ASSERT_TRUE(pumpUntil([&] { return alice().tables.findReceived(back) >= 0; }));
    int64_t s = secondsToDeliver();
    EXPECT_GE(s, 0);
    EXPECT_LE(s, 3);  // not the 30 s left of the back-off
}

TEST_F(WakeOnWord, AHelloNamingTheReceiverLetsTheWaitingMailGo) {
    ScriptedPeer hello(alice().engine->peerPort(), [&] { alice().pump(); });
    ASSERT_TRUE(hello.connected());
    ASSERT_TRUE(hello.sendFrame(Command::Hello, helloBody("alice", "bob")));
    int64_t s = secondsToDeliver();
    EXPECT_GE(s, 0);
    EXPECT_LE(s, 3);
}

// Nothing but the word lets it go early: the same wait without it runs its full length.
TEST_F(WakeOnWord, WithoutWordTheBackOffRunsItsCourse) {
    int64_t s = secondsToDeliver();
    EXPECT_GE(s, 20);
    EXPECT_LE(s, 35);
}

TEST_F(Deliveries, MailStaysInOutboxUntilTheOfflineReceiverComesOnline) {
    MailPeer& alice = addPeer("alice");
    MailPeer& bob = addPeer("bob");
    MailPeer& carol = addPeer("carol", /*online=*/false);
    carol.offline();
    std::string file = makeFile("report.bin", 50000);
    int m = alice.compose({"bob", "carol"}, "for both", {file});
    uint64_t key = alice.tables.mails[m].key;

    ASSERT_TRUE(pumpUntil([&] {
        return alice.deliveryState(key, "bob") == DeliveryState::Delivered && bob.received(key);
    }));
    stepSeconds(5);
    ASSERT_TRUE(pumpUntil([&] { return alice.connectionAttemptState("carol") == 2; }));
    EXPECT_EQ(alice.tables.mails[alice.findMail(key)].kind, MailKind::Outbox);
    EXPECT_EQ(alice.deliveryState(key, "carol"), DeliveryState::Waiting);
    EXPECT_EQ(deliverySummary(alice.tables, outboxMail(alice.tables, key)),
              DeliverySummary::Running);
    EXPECT_EQ(readFile(bob.receivedPath(key, 0)), readFile(file));
    // Nothing to do now: neither side asks to be woken at once.
    for (auto* p : {&alice, &bob, &carol}) {
        WaitSet w;
        p->engine->waitSet(w);
        EXPECT_TRUE(w.deadlineMs < 0 || w.deadlineMs > clock.nowMillis());
    }

    // Online now; the address is asked for again once the 300 seconds are over.
    carol.online();
    stepSeconds(100);
    EXPECT_EQ(carol.tables.findReceived(key), -1);
    stepSeconds(201);
    ASSERT_TRUE(pumpUntil([&] {
        return alice.deliveryState(key, "carol") == DeliveryState::Delivered && carol.received(key);
    }));
    EXPECT_EQ(alice.tables.mails[alice.findMail(key)].kind, MailKind::Sent);
    EXPECT_EQ(readFile(carol.receivedPath(key, 0)), readFile(file));
}

// A receiver that does not exist: the others get the mail, and the mail stays in the Outbox
// with the refused delivery (the user corrects it there), announced once.
TEST_F(Deliveries, UnknownReceiverKeepsTheMailInTheOutboxRefused) {
    MailPeer& alice = addPeer("alice");
    MailPeer& bob = addPeer("bob");
    int m = alice.compose({"zed", "bob"}, "who?");
    uint64_t key = alice.tables.mails[m].key;
    ASSERT_TRUE(
        pumpUntil([&] { return alice.deliveryState(key, "zed") == DeliveryState::Refused; }));
    EXPECT_TRUE(alice.delivery->isRefused(key));
    EXPECT_GE(alice.delivery->unknownUsers().find("ZED"), 0);
    ASSERT_TRUE(pumpUntil([&] {
        return bob.received(key) && alice.deliveryState(key, "bob") == DeliveryState::Delivered;
    }));
    stepSeconds(400);
    pumpUntil([] { return false; }, 200);
    int i = alice.findMail(key);
    ASSERT_GE(i, 0);
    EXPECT_EQ(alice.tables.mails[i].kind, MailKind::Outbox);
    EXPECT_EQ(refusedRecipients(alice.tables, i), std::vector<std::string>{"zed"});
    int refusals = 0;
    for (const auto& e : alice.session.events.take())
        if (e.kind == EventKind::MailRefused && e.key == key) {
            ++refusals;
            EXPECT_EQ(e.text, "zed");
        }
    EXPECT_EQ(refusals, 1);

    // A later mail to the same unknown user is refused at once, without asking again, and told.
    int lone = alice.compose({"zed"}, "again");
    uint64_t loneKey = alice.tables.mails[lone].key;
    ASSERT_TRUE(
        pumpUntil([&] { return alice.deliveryState(loneKey, "zed") == DeliveryState::Refused; }));
    EXPECT_EQ(alice.tables.mails[alice.findMail(loneKey)].kind, MailKind::Outbox);
    bool told = false;
    for (const auto& e : alice.session.events.take())
        told = told || (e.kind == EventKind::MailRefused && e.key == loneKey && e.text == "zed");
    EXPECT_TRUE(told);
}

TEST_F(Deliveries, ReceiverAnswering8GetsTheItemAgainAfter300SecondsThenFilesOnRequest) {
    MailPeer& alice = addPeer("alice");
    MailPeer& bob = addPeer("bob");
    std::string file = makeFile("big.bin", 10485760, 7);  // the auto-receive limit exactly
    int m = alice.compose({"bob"}, "big", {file});
    uint64_t key = alice.tables.mails[m].key;
    ASSERT_TRUE(pumpUntil([&] {
        return bob.tables.findReceived(key) >= 0 &&
               alice.deliveryState(key, "bob") == DeliveryState::AwaitingReply &&
               !alice.statesAfterReply.empty();
    }));
    EXPECT_EQ(bob.itemsReceived, 1);
    EXPECT_EQ(bob.tables.mails[bob.tables.findReceived(key)].fetchRequested, 0);
    EXPECT_EQ(receivedPercent(bob.tables, bob.tables.findReceived(key)), 0);

    stepSeconds(299);
    EXPECT_EQ(bob.itemsReceived, 1);
    stepSeconds(2);
    ASSERT_TRUE(pumpUntil([&] {
        return bob.itemsReceived == 2 &&
               alice.deliveryState(key, "bob") == DeliveryState::AwaitingReply;
    }));
    EXPECT_EQ(bob.countMails(key), 1);

    ASSERT_TRUE(bob.reception->RequestFiles(key));
    ASSERT_TRUE(pumpUntil(
        [&] {
            int i = alice.findMail(key);
            return bob.received(key) && i >= 0 && alice.tables.mails[i].kind == MailKind::Sent;
        },
        60000));
    EXPECT_EQ(readFile(bob.receivedPath(key, 0)), readFile(file));
    EXPECT_EQ(receivedPercent(bob.tables, bob.tables.findReceived(key)), 100);
    // The resend request is gone with its delivery.
    for (const auto& mail : bob.tables.mails)
        EXPECT_NE(mail.kind, MailKind::ResendRequest);
}

TEST_F(Deliveries, FileOfWholeChunksEndsWithAnEmptyChunkAtItsSize) {
    MailPeer& alice = addPeer("alice");
    int port = freePort();
    int lfd = listenOn(port);
    ASSERT_GE(lfd, 0);
    directory["bob"] = "127.0.0.1:" + std::to_string(port);
    std::string file = makeFile("three.bin", 2016 * 3, 3);
    int m = alice.compose({"bob"}, "chunks", {file});
    uint64_t key = alice.tables.mails[m].key;

    int fd = -1;
    ASSERT_TRUE(pumpUntil([&] {
        fd = ::accept(lfd, nullptr, nullptr);
        return fd >= 0;
    }));
    ScriptedPeer bob(fd);
    auto nextFrame = [&](Frame& f) {
        for (;;) {
            if (!pumpUntil([&] { return bob.hasFrame(); })) return false;
            f = bob.takeFrame();
            if (f.command != Command::KeepAlive) return true;
        }
    };
    Frame f;
    ASSERT_TRUE(nextFrame(f));
    ASSERT_EQ(f.command, Command::ItemMessage);
    MailRecord rec;
    std::memcpy(&rec, f.body.data(), sizeof rec);
    EXPECT_EQ(rec.key, key);

    auto reply = [&](int32_t command, const std::string& tail) {
        std::string body = le32(0) + le32(0) + std::string(8, '\0');
        body.append(reinterpret_cast<const char*>(&key), 8);
        body += le32(rec.created) + le32(0) + tail;
        ASSERT_TRUE(bob.sendFrame(command, body));
    };
    reply(Command::SendFiles, "");
    std::string content = readFile(file), got;
    std::vector<std::pair<int64_t, size_t>> chunks;
    for (;;) {
        ASSERT_TRUE(nextFrame(f));
        ASSERT_EQ(f.command, Command::FileChunk);
        ASSERT_GE(f.body.size(), 24u);
        int64_t off;
        std::memcpy(&off, f.body.data() + 16, 8);
        chunks.emplace_back(off, f.body.size() - 24);
        got += f.body.substr(24);
        if (f.body.size() == 24) break;
    }
    ASSERT_EQ(chunks.size(), 4u);
    EXPECT_EQ(chunks[0], std::make_pair(int64_t{0}, size_t{2016}));
    EXPECT_EQ(chunks[2], std::make_pair(int64_t{4032}, size_t{2016}));
    EXPECT_EQ(chunks[3], std::make_pair(int64_t{6048}, size_t{0}));
    EXPECT_EQ(got, content);
    ASSERT_TRUE(
        pumpUntil([&] { return alice.deliveryState(key, "bob") == DeliveryState::AwaitingReply; }));
    reply(Command::AllReceived, std::string("bob") + '\0');
    ASSERT_TRUE(pumpUntil([&] { return alice.tables.mails[m].kind == MailKind::Sent; }));
    ::close(lfd);
}

TEST_F(Deliveries, FileThroughASocketThatIsOftenFullArrivesInWholeFramesInOrder) {
    MailPeer& alice = addPeer("alice");
    int port = freePort();
    int lfd = listenOn(port);
    ASSERT_GE(lfd, 0);
    // A small receive buffer, inherited by the accepted socket: the sender's writes of a
    // megabyte end part-way through a frame again and again.
    int small = 4096;
    ::setsockopt(lfd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    directory["bob"] = "127.0.0.1:" + std::to_string(port);
    const int64_t size = 3 * 1048576 + 1234;
    std::string file = makeFile("uneven.bin", static_cast<size_t>(size), 5);
    int m = alice.compose({"bob"}, "uneven", {file});
    uint64_t key = alice.tables.mails[m].key;

    int fd = -1;
    ASSERT_TRUE(pumpUntil([&] {
        fd = ::accept(lfd, nullptr, nullptr);
        return fd >= 0;
    }));
    ScriptedPeer bob(fd);
    auto nextFrame = [&](Frame& f) {
        for (;;) {
            if (!pumpUntil([&] { return bob.hasFrame(); })) return false;
            f = bob.takeFrame();
            if (f.command != Command::KeepAlive) return true;
        }
    };
    Frame f;
    ASSERT_TRUE(nextFrame(f));
    ASSERT_EQ(f.command, Command::ItemMessage);
    MailRecord rec;
    std::memcpy(&rec, f.body.data(), sizeof rec);
    std::string body = le32(0) + le32(0) + std::string(8, '\0');
    body.append(reinterpret_cast<const char*>(&key), 8);
    body += le32(rec.created) + le32(0);
    ASSERT_TRUE(bob.sendFrame(Command::SendFiles, body));

    std::string got;
    for (;;) {
        ASSERT_TRUE(nextFrame(f));
        ASSERT_EQ(f.command, Command::FileChunk);
        ASSERT_GE(f.body.size(), 24u);
        int64_t off;
        std::memcpy(&off, f.body.data() + 16, 8);
        ASSERT_EQ(off, static_cast<int64_t>(got.size()));
        size_t len = f.body.size() - 24;
        ASSERT_EQ(len, static_cast<size_t>(std::min<int64_t>(2016, size - off)));
        got += f.body.substr(24);
        if (len == 0) break;
    }
    EXPECT_TRUE(got == readFile(file));
    ::close(lfd);
}

TEST_F(Deliveries, ClassifiedMailWaitsForALinkOpenedByAnOrdinaryDelivery) {
    MailPeer& alice = addPeer("alice");
    MailPeer& bob = addPeer("bob");
    int secret = alice.compose({"bob"}, "secret", {}, MailFlags::classified);
    uint64_t secretKey = alice.tables.mails[secret].key;
    for (int i = 0; i < 10; ++i)
        stepSeconds(3);
    ASSERT_FALSE(pumpUntil([&] { return bob.tables.findReceived(secretKey) >= 0; }, 300));
    EXPECT_EQ(alice.deliveryState(secretKey, "bob"), DeliveryState::Waiting);
    EXPECT_EQ(alice.engine->links().count(), 0);
    EXPECT_EQ(alice.connectionAttemptState("bob"), -1);

    int plain = alice.compose({"bob"}, "plain");
    uint64_t plainKey = alice.tables.mails[plain].key;
    ASSERT_TRUE(pumpUntil([&] { return bob.received(secretKey) && bob.received(plainKey); }));
    ASSERT_TRUE(pumpUntil([&] {
        return alice.deliveryState(secretKey, "bob") == DeliveryState::Delivered &&
               alice.deliveryState(plainKey, "bob") == DeliveryState::Delivered;
    }));
}

TEST_F(Deliveries, ConnectsStartAtLeastTwoSecondsApartAndARefusedOneWaits) {
    MailPeer& alice = addPeer("alice");
    addPeer("bob");
    addPeer("carol");
    directory["dave"] = "127.0.0.1:" + std::to_string(freePort());  // nobody listens
    alice.compose({"bob", "carol", "dave"}, "to three");
    std::map<std::string, int64_t> started;
    ASSERT_TRUE(pumpUntil([&] {
        for (const char* u : {"bob", "carol", "dave"}) {
            if (!started.count(u) && alice.connectionAttemptState(u) == 1)
                started[u] = clock.nowSeconds();
        }
        return started.size() == 3;
    }));
    std::vector<int64_t> t;
    for (auto& [u, ms] : started)
        t.push_back(ms);
    std::sort(t.begin(), t.end());
    EXPECT_GE(t[1] - t[0], 2);
    EXPECT_GE(t[2] - t[1], 2);
    // The refused connect waits 300 seconds, with its cached address forgotten.
    ASSERT_TRUE(pumpUntil([&] { return alice.connectionAttemptState("dave") == 2; }));
    EXPECT_LT(alice.tables.addressCacheNames.find("dave"), 0);
    EXPECT_EQ(alice.deliveryState(alice.tables.mails[0].key, "dave"), DeliveryState::Waiting);
}

}  // namespace
}  // namespace orv::test
