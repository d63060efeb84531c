// Relay mode: clients in one process over loopback, one of them a relay (its login answered
// "Connect OK"). Receivers keep a link to the relay named by a hello; senders reach them
// through the relay's address. Some peers are real clients, others scripted byte by byte so
// that offsets and replies can be chosen.
#include <algorithm>
#include <map>

#include "engine/item_message.h"
#include "engine/relay.h"
#include "mail_peers.h"
#include "net/fake_socket_api.h"

namespace orv::test {
namespace {

std::span<const uint8_t> bytesOf(const std::string& s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

std::string replyBody(int32_t file, int64_t offset, uint64_t key, int32_t created,
                      std::string_view name = {}, bool withName = false) {
    ItemReplyBody r{file, 0, offset, key, created, 0};
    std::string b(reinterpret_cast<const char*>(&r), sizeof r);
    if (withName) b.append(name).push_back('\0');
    return b;
}

std::string chunkBody(uint64_t key, int32_t file, int32_t created, int64_t offset,
                      const std::string& data) {
    ChunkHead h{key, file, created, offset};
    return std::string(reinterpret_cast<const char*>(&h), sizeof h) + data;
}

ItemReplyBody readReply(const std::string& body) {
    ItemReplyBody r{};
    if (body.size() >= sizeof r) std::memcpy(&r, body.data(), sizeof r);
    return r;
}

ChunkHead readChunk(const std::string& body) {
    ChunkHead h{};
    if (body.size() >= sizeof h) std::memcpy(&h, body.data(), sizeof h);
    return h;
}

// An item message (header included) of a mail with `files` sizes from sender to recipient.
std::string makeItem(WireCodec& codec, uint64_t key, int32_t created, int32_t kind,
                     const std::string& sender, const std::string& recipient,
                     const std::vector<std::string>& recipients,
                     const std::vector<int64_t>& files = {}, const std::string& subject = "s") {
    ItemMessage it;
    it.record.recipientCount = static_cast<int32_t>(recipients.size());
    it.record.created = created;
    it.record.key = key;
    it.record.kind = kind;
    for (int64_t f : files) {
        it.record.size += f;
        it.fileNames.push_back("f" + std::to_string(it.fileNames.size()));
        it.fileSizes.push_back(f);
    }
    it.subject = subject;
    it.sender = sender;
    it.recipient = recipient;
    it.recipients = recipients;
    auto bytes = encodeItemMessage(it, codec);
    return std::string(bytes.begin(), bytes.end());
}

class RelayTest : public MailPeers {
  protected:
    MailPeer* relay = nullptr;

    void SetUp() override {
        relay = &addPeer("relay");
        relay->session.connectMode = 1;
    }

    std::function<void()> pumpAll() {
        return [this] {
            for (auto& p : peers)
                p->pump();
        };
    }

    // A client's link to the relay, named by a plain hello, as a client behind the relay keeps
    // it. Returns once the relay has accepted.
    void linkToRelay(MailPeer& client, const std::string& user) {
        Socket s = client.sockets.ConnectTo("127.0.0.1", relay->engine->peerPort());
        ASSERT_NE(s, kInvalidSocket);
        ASSERT_TRUE(pumpUntil(
            [&] { return client.sockets.CheckConnect(s) == ConnectProgress::Connected; }));
        client.engine->openLink(s, LinkState::Outbound, "relay", Origin::Outbound);
        client.engine->queueMessage(s, Command::Hello, bytesOf(helloBody("relay", user)));
        ASSERT_TRUE(pumpUntil([&] {
            int i = client.engine->findLink(s);
            return i >= 0 && client.engine->links().records[i].state == LinkState::HelloAccepted;
        }));
    }

    Socket lastSocket() const {
        const auto& l = relay->engine->links();
        return l.records[l.count() - 1].socket;
    }
    // A scripted peer connected to the relay (accepted, not identified).
    std::unique_ptr<ScriptedPeer> scripted() {
        auto p = std::make_unique<ScriptedPeer>(relay->engine->peerPort(), pumpAll());
        int before = relay->engine->links().count();
        EXPECT_TRUE(pumpUntil([&] { return relay->engine->links().count() > before; }));
        return p;
    }
    // A scripted peer that names itself `user` to the relay.
    std::unique_ptr<ScriptedPeer> scriptedUser(const std::string& user) {
        auto p = scripted();
        p->sendFrame(Command::Hello, helloBody("relay", user));
        Frame f;
        EXPECT_TRUE(nextFrame(*p, f));
        EXPECT_EQ(f.command, Command::Accept);
        return p;
    }

    // The next frame other than a keep-alive.
    bool nextFrame(ScriptedPeer& p, Frame& f, int timeoutMs = 10000) {
        for (;;) {
            if (!pumpUntil([&] { return p.hasFrame(); }, timeoutMs)) return false;
            f = p.takeFrame();
            if (f.command != Command::KeepAlive) return true;
        }
    }

    std::string item(uint64_t key, int32_t created, int32_t kind, const std::string& sender,
                     const std::string& recipient, const std::vector<std::string>& recipients,
                     const std::vector<int64_t>& files = {}) {
        return makeItem(relay->engine->codec(), key, created, kind, sender, recipient, recipients,
                        files);
    }
};

// ---------------------------------------------------------------- real clients

TEST_F(RelayTest, MailFromAliceReachesBobThroughTheRelayAndTheRouteEndsWithTheFinalReply) {
    MailPeer& alice = addPeer("alice");
    MailPeer& bob = addPeer("bob");
    linkToRelay(bob, "bob");
    // Bob cannot be reached directly: the directory gives out the relay's address for him.
    directory["bob"] = directory["relay"];

    std::string file = makeFile("report.bin", 3 * 2016 + 100, 7);
    int m = alice.compose({"bob"}, "through the relay", {file});
    uint64_t key = alice.tables.mails[m].key;
    ASSERT_TRUE(pumpUntil(
        [&] { return alice.deliveryState(key, "bob") == DeliveryState::Delivered; }, 30000));

    EXPECT_TRUE(bob.received(key));
    EXPECT_EQ(readFile(bob.receivedPath(key, 0)), readFile(file));
    // Bob's reply 3 came back to Alice, who then sent the files.
    EXPECT_NE(std::find(alice.statesAfterReply.begin(), alice.statesAfterReply.end(),
                        DeliveryState::SendingFiles),
              alice.statesAfterReply.end());
    // The final reply of a single-recipient mail ends its route; the relay kept nothing.
    EXPECT_EQ(relay->relay->routes().count(), 0);
    EXPECT_EQ(relay->relay->receivers().count(), 0);
    EXPECT_EQ(relay->tables.mails.count(), 0);
    EXPECT_EQ(relay->reception->receiveSpeed(key), 0u);
}

TEST_F(RelayTest, MailForTheRelaysOwnUserIsNotStoredThere) {
    MailPeer& alice = addPeer("alice");
    int m = alice.compose({"relay"}, "for the relay's user");
    uint64_t key = alice.tables.mails[m].key;
    ASSERT_TRUE(pumpUntil([&] { return relay->relay->queue().count() == 1; }));
    stepSeconds(20);
    EXPECT_EQ(relay->tables.mails.count(), 0);  // the Inbox stays untouched
    EXPECT_EQ(relay->relay->queueNames().str(0), "relay");
    EXPECT_NE(alice.deliveryState(key, "relay"), DeliveryState::Delivered);
}

TEST_F(RelayTest, RelaysOwnMailsLeaveOnlyOverLinksWhoseHelloWasAccepted) {
    MailPeer& bob = addPeer("bob");
    MailPeer& carol = addPeer("carol");
    linkToRelay(bob, "bob");
    std::string file = makeFile("secret.bin", 5000, 3);
    // A classified mail leaves over the link Bob keeps to the relay.
    int m1 = relay->compose({"bob"}, "classified", {file}, MailFlags::classified);
    uint64_t k1 = relay->tables.mails[m1].key;
    // Carol can be reached directly, but a relay never connects: her mail waits for her link.
    int m2 = relay->compose({"carol"}, "waits");
    uint64_t k2 = relay->tables.mails[m2].key;
    ASSERT_TRUE(pumpUntil(
        [&] { return relay->deliveryState(k1, "bob") == DeliveryState::Delivered; }, 30000));
    EXPECT_EQ(readFile(bob.receivedPath(k1, 0)), readFile(file));

    // The directory is asked again every 15 seconds, and still nobody connects.
    stepSeconds(1);
    auto attempt = [&]() -> ConnectAttempt {
        const auto& t = relay->engine->connectAttempts();
        for (int i = 0; i < t.count(); ++i)
            if (t.names.view(i) == "carol") return t.records[i];
        return ConnectAttempt{-1, -1, 0, 0, 0, 0, 0};
    };
    ASSERT_EQ(attempt().state, 2);
    int32_t asked = attempt().time;
    stepSeconds(13);
    EXPECT_EQ(attempt().time, asked);
    stepSeconds(3);
    EXPECT_GT(attempt().time, asked);
    EXPECT_EQ(attempt().state, 2);
    EXPECT_EQ(relay->deliveryState(k2, "carol"), DeliveryState::Waiting);
    for (int i = 0; i < relay->engine->links().count(); ++i)
        EXPECT_NE(relay->engine->links().records[i].state, LinkState::Outbound);
    EXPECT_EQ(carol.itemsReceived, 0);

    linkToRelay(carol, "carol");
    ASSERT_TRUE(pumpUntil(
        [&] { return relay->deliveryState(k2, "carol") == DeliveryState::Delivered; }, 30000));
    EXPECT_TRUE(carol.received(k2));
}

// ---------------------------------------------------------------- scripted peers

TEST_F(RelayTest, ChunksGoToEachReceiverAtItsOwnOffsetAndRepliesGoBackToTheSender) {
    auto bob = scriptedUser("bob");
    auto carol = scriptedUser("carol");
    auto sender = scripted();
    const uint64_t key = 0x1122334455667788ull;
    const int32_t created = 1'700'000'000;
    std::vector<std::string> both{"bob", "carol"};
    sender->send(item(key, created, MailKind::Outbox, "alice", "bob", both, {4 * 2016}));
    sender->send(item(key, created, MailKind::Outbox, "alice", "carol", both, {4 * 2016}));

    Frame f;
    ASSERT_TRUE(nextFrame(*bob, f));
    EXPECT_EQ(f.command, Command::ItemMessage);
    ASSERT_TRUE(nextFrame(*carol, f));
    EXPECT_EQ(f.command, Command::ItemMessage);
    EXPECT_EQ(relay->relay->routes().count(), 1);

    // Bob wants the file from its start, Carol from its third chunk on.
    bob->sendFrame(Command::SendFiles, replyBody(0, 0, key, created));
    ASSERT_TRUE(nextFrame(*sender, f));
    EXPECT_EQ(f.command, Command::SendFiles);
    EXPECT_EQ(readReply(f.body).offset, 0);
    carol->sendFrame(Command::SendFiles, replyBody(0, 2 * 2016, key, created));
    ASSERT_TRUE(nextFrame(*sender, f));
    EXPECT_EQ(f.command, Command::SendFiles);
    EXPECT_EQ(readReply(f.body).offset, 2 * 2016);
    EXPECT_EQ(relay->relay->receivers().count(), 2);
    RelayStatus st = relay->relay->status();
    EXPECT_TRUE(st.relayMode);
    EXPECT_EQ(st.routes, 1);
    EXPECT_EQ(st.receivers, 2);

    for (int k = 0; k < 4; ++k)
        sender->sendFrame(Command::FileChunk,
                          chunkBody(key, 0, created, k * 2016, std::string(2016, char('a' + k))));
    std::vector<int64_t> atBob, atCarol;
    for (int k = 0; k < 4; ++k) {
        ASSERT_TRUE(nextFrame(*bob, f));
        ASSERT_EQ(f.command, Command::FileChunk);
        atBob.push_back(readChunk(f.body).offset);
        EXPECT_EQ(f.body[sizeof(ChunkHead)], char('a' + k));
    }
    for (int k = 0; k < 2; ++k) {
        ASSERT_TRUE(nextFrame(*carol, f));
        ASSERT_EQ(f.command, Command::FileChunk);
        atCarol.push_back(readChunk(f.body).offset);
    }
    EXPECT_EQ(atBob, (std::vector<int64_t>{0, 2016, 4032, 6048}));
    EXPECT_EQ(atCarol, (std::vector<int64_t>{4032, 6048}));
    stepSeconds(1);
    EXPECT_FALSE(carol->hasFrame());

    // A chunk of a mail nobody asked for is answered 8 to its sender, through the mail's
    // route, or on its own link when the relay knows no route.
    sender->send(item(key + 1, created, MailKind::Outbox, "alice", "bob", {"bob"}, {9000}));
    ASSERT_TRUE(nextFrame(*bob, f));
    EXPECT_EQ(relay->relay->routes().count(), 2);
    auto stranger = scripted();
    stranger->sendFrame(Command::FileChunk, chunkBody(key + 1, 2, created, 4032, "xyz"));
    ASSERT_TRUE(nextFrame(*sender, f));
    EXPECT_EQ(f.command, Command::Received);
    ItemReplyBody r = readReply(f.body);
    EXPECT_EQ(r.key, key + 1);
    EXPECT_EQ(r.file, 2);
    EXPECT_EQ(r.offset, 4032);
    stranger->sendFrame(Command::FileChunk, chunkBody(key + 2, 0, created, 0, "xyz"));
    ASSERT_TRUE(nextFrame(*stranger, f));
    EXPECT_EQ(f.command, Command::Received);
    EXPECT_EQ(readReply(f.body).key, key + 2);

    // The final replies go back with the receiver's name; a mail to two keeps its route.
    bob->sendFrame(Command::AllReceived, replyBody(1, 0, key, created, "bob", true));
    ASSERT_TRUE(nextFrame(*sender, f));
    EXPECT_EQ(f.command, Command::AllReceived);
    EXPECT_EQ(f.body.substr(32), std::string("bob") + '\0');
    EXPECT_EQ(relay->relay->routes().count(), 2);
    EXPECT_EQ(relay->relay->receivers().count(), 1);

    // When the sender's link goes, so does the route; Carol's receiver lasts 30 s unserved.
    sender->close();
    ASSERT_TRUE(pumpUntil([&] { return relay->relay->routes().count() == 0; }));
    stepSeconds(16);
    EXPECT_EQ(relay->relay->receivers().count(), 1);
    stepSeconds(16);
    EXPECT_EQ(relay->relay->receivers().count(), 0);
    // Delivered and unwanted chunks have left the queue.
    EXPECT_EQ(relay->relay->queue().count(), 0);
    EXPECT_EQ(relay->relay->bufferBytes(), 0u);
}

TEST_F(RelayTest, AnItemWaitsForItsRecipientsLinkAndARepeatIsNotQueuedTwice) {
    auto sender = scripted();
    const uint64_t key = 42;
    std::string msg = item(key, 5, MailKind::Outbox, "alice", "dave", {"dave"});
    sender->send(msg);
    ASSERT_TRUE(pumpUntil([&] { return relay->relay->queue().count() == 1; }));
    stepSeconds(16);
    WaitSet idle;
    relay->relay->addWaits(idle);
    EXPECT_EQ(idle.deadlineMs, -1);  // waiting for a link wakes nobody
    stepSeconds(24);
    sender->send(msg);  // the sender's repeat
    stepSeconds(20);
    EXPECT_EQ(relay->relay->queue().count(), 1);

    auto dave = scriptedUser("dave");
    Frame f;
    ASSERT_TRUE(nextFrame(*dave, f));
    EXPECT_EQ(f.command, Command::ItemMessage);
    EXPECT_EQ(f.body, msg.substr(8));
    stepSeconds(16);
    EXPECT_EQ(relay->relay->queue().count(), 0);
}

TEST_F(RelayTest, ItemsForAbsentUsersNeverGrowTheBufferPastItsLimit) {
    auto sender = scripted();
    std::string subject(2'000'000, 'x');
    std::string all;
    for (int k = 0; k < 8; ++k)
        all += makeItem(relay->engine->codec(), 500 + k, 1, MailKind::Outbox, "alice",
                        "absent" + std::to_string(k), {"x"}, {}, subject);
    sender->send(all);
    ASSERT_TRUE(pumpUntil([&] { return relay->engine->connection(lastSocket())->in.empty(); }));
    EXPECT_LE(relay->relay->bufferBytes(), kRelayHardLimit);
    EXPECT_GE(relay->relay->queue().count(), 3);
}

TEST_F(RelayTest, ALinkTableItemPutsUsersBehindAnotherRelay) {
    // The relay keeps an accepted link to another relay, "far".
    MailPeer& other = addPeer("far");
    other.session.connectMode = 1;
    Socket s = relay->sockets.ConnectTo("127.0.0.1", other.engine->peerPort());
    ASSERT_TRUE(
        pumpUntil([&] { return relay->sockets.CheckConnect(s) == ConnectProgress::Connected; }));
    relay->engine->openLink(s, LinkState::Outbound, "far", Origin::Outbound);
    relay->engine->queueMessage(s, Command::Hello, bytesOf(helloBody("far", "relay")));
    ASSERT_TRUE(pumpUntil([&] {
        int i = relay->engine->findLink(s);
        return i >= 0 && relay->engine->links().records[i].state == LinkState::HelloAccepted;
    }));

    // Far's table: erin (identified by a plain hello) and an unidentified link.
    auto table = [&](std::vector<std::pair<std::string, int32_t>> rows) {
        std::string body = item(7, 1, 24, "far", "relay", {"relay"}).substr(8);
        // Cut after list A: the record (64 bytes) and the list.
        int32_t listLen;
        std::memcpy(&listLen, body.data() + 64, 4);
        body.resize(64 + 4 + static_cast<size_t>(listLen));
        body += le32(static_cast<int32_t>(rows.size()));
        std::vector<std::string> names;
        for (auto& [name, state] : rows) {
            PeerLinkRecord r{-1, 0, 0, 0, 0, state, 9};
            body.append(reinterpret_cast<const char*>(&r), sizeof r);
            names.push_back(name);
        }
        body += stringList(names);
        return frame(Command::ItemMessage, body);
    };
    auto behind = [&] {
        std::vector<std::string> users;
        const auto& l = relay->engine->links();
        for (int i = 0; i < l.count(); ++i)
            if (l.records[i].state == LinkState::BehindRelay) {
                EXPECT_EQ(l.records[i].socket, s);
                users.push_back(l.names.str(i));
            }
        return users;
    };
    // A table from anybody else changes nothing.
    auto stranger = scripted();
    stranger->send(table({{"mallory", 0}}));
    stepSeconds(1);
    EXPECT_TRUE(behind().empty());
    // The table comes from far's side of the link.
    Socket farSide = other.engine->links().records[0].socket;
    other.engine->queueBytes(farSide, bytesOf(table({{"erin", 0}, {"", 6}, {"finn", 1}})));
    ASSERT_TRUE(pumpUntil([&] { return behind().size() == 1; }));
    EXPECT_EQ(behind(), std::vector<std::string>{"erin"});
    // A newer table replaces it.
    other.engine->queueBytes(farSide, bytesOf(table({{"gus", 0}, {"hal", 0}})));
    ASSERT_TRUE(pumpUntil([&] { return behind().size() == 2 && behind()[0] == "gus"; }));

    // An item for gus goes to far over that link.
    auto sender = scripted();
    sender->send(item(99, 3, MailKind::Outbox, "alice", "gus", {"gus"}));
    ASSERT_TRUE(pumpUntil([&] { return other.relay->queue().count() == 1; }));
    EXPECT_EQ(other.relay->queueNames().str(0), "gus");

    // When far's accepted link goes, the users behind it go too.
    relay->engine->closeLink(s, true);
    EXPECT_TRUE(behind().empty());
}

TEST_F(RelayTest, ItemsLeaveWholeOneAtATimeAndAReplyForDataAlreadyQueuedIsNotPassed) {
    auto dave = scriptedUser("dave");
    auto erin = scriptedUser("erin");
    auto sender = scripted();
    // Two items larger than a piece, for the same link: neither is cut by the other.
    std::vector<std::string> items;
    for (int k = 0; k < 2; ++k) {
        std::vector<int64_t> sizes(1000, 1000 + k);  // many files make a long item
        items.push_back(
            item(100 + k, 3, MailKind::Outbox, "alice", "dave", {"dave", "erin"}, sizes));
        ASSERT_GT(items.back().size(), 3 * kRelayPiece);
    }
    sender->send(items[0] + items[1]);
    Frame f;
    for (int k = 0; k < 2; ++k) {
        ASSERT_TRUE(nextFrame(*dave, f));
        EXPECT_EQ(f.command, Command::ItemMessage);
        EXPECT_EQ(f.body, items[static_cast<size_t>(k)].substr(8));
    }

    // Dave waits at the start of mail 100; a chunk further on stays queued for others.
    dave->sendFrame(Command::SendFiles, replyBody(0, 0, 100, 3));
    ASSERT_TRUE(nextFrame(*sender, f));
    sender->sendFrame(Command::FileChunk, chunkBody(100, 0, 3, 2016, std::string(100, 'c')));
    ASSERT_TRUE(pumpUntil([&] { return relay->relay->queue().count() == 3; }));
    // Erin asks for just that chunk: it goes to her from the queue, and her 3 stays here.
    erin->sendFrame(Command::SendFiles, replyBody(0, 2016, 100, 3));
    ASSERT_TRUE(nextFrame(*erin, f));
    EXPECT_EQ(f.command, Command::FileChunk);
    EXPECT_EQ(readChunk(f.body).offset, 2016);
    stepSeconds(1);
    EXPECT_FALSE(sender->hasFrame());
    EXPECT_FALSE(dave->hasFrame());
}

// ---------------------------------------------------------------- overflow and the cap

// Feeds what the socket takes now; false when nothing more is left.
bool feed(ScriptedPeer& p, std::string& pending) {
    while (!pending.empty()) {
        ssize_t n = ::send(p.fd(), pending.data(), pending.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n <= 0) break;
        pending.erase(0, static_cast<size_t>(n));
    }
    return !pending.empty();
}

TEST_F(RelayTest, AFullBufferThrottlesSendersAndAnOverflowEmptiesTheQueue) {
    auto bob = scriptedUser("bob");
    auto sender = scripted();
    const uint64_t key = 77;
    const int32_t created = 9;
    sender->send(item(key, created, MailKind::Outbox, "alice", "bob", {"bob"}, {8 << 20}));
    Frame f;
    ASSERT_TRUE(nextFrame(*bob, f));
    // Bob asks for an offset that no chunk will have: what comes stays in the buffer.
    bob->sendFrame(Command::SendFiles, replyBody(0, 1, key, created));
    ASSERT_TRUE(nextFrame(*sender, f));

    std::string pending;
    for (int64_t k = 1; k <= 3600; ++k)
        pending +=
            frame(Command::FileChunk, chunkBody(key, 0, created, k * 2016, std::string(2016, 'z')));
    // All at once: the relay takes a little more than 3 MiB, then the sender waits.
    for (int round = 0; round < 200; ++round) {
        feed(*sender, pending);
        for (auto& p : peers)
            p->pump();
    }
    size_t held = relay->relay->bufferBytes();
    EXPECT_GT(held, kRelayThrottleMark);
    EXPECT_LT(held, kRelayThrottleMark + 4 * 2048);
    // Then about 100 KiB a second, until the buffer is past 6 MiB and nothing can be freed:
    // the whole queue goes.
    size_t most = held;
    bool emptied = false;
    for (int second = 0; second < 60 && !emptied; ++second) {
        clock.advanceMillis(1000);
        for (int round = 0; round < 20; ++round) {
            feed(*sender, pending);
            for (auto& p : peers)
                p->pump();
            size_t now = relay->relay->bufferBytes();
            if (now < most) {
                emptied = true;
                EXPECT_EQ(now, 0u);
                EXPECT_EQ(relay->relay->queue().count(), 0);
                break;
            }
            most = now;
        }
    }
    EXPECT_TRUE(emptied);
    EXPECT_GT(most, kRelayOverflowMark);
    EXPECT_LT(most, kRelayOverflowMark + 600'000);
}

class CappedRelayTest : public RelayTest {
  protected:
    void SetUp() override {
        relay = &addPeer("relay", true, kCapKB);
        relay->session.connectMode = 1;
    }
    static constexpr int32_t kCapKB = 20;
};

TEST_F(CappedRelayTest, ThroughputCapHoldsInEveryFiveSecondWindow) {
    auto bob = scriptedUser("bob");
    auto sender = scripted();
    const uint64_t key = 5;
    const int32_t created = 6;
    const int chunks = 120;
    sender->send(item(key, created, MailKind::Outbox, "alice", "bob", {"bob"}, {chunks * 2016}));
    Frame f;
    ASSERT_TRUE(nextFrame(*bob, f));
    bob->sendFrame(Command::SendFiles, replyBody(0, 0, key, created));
    ASSERT_TRUE(nextFrame(*sender, f));
    int64_t start = clock.nowMillis();
    for (int k = 0; k < chunks; ++k)
        sender->sendFrame(Command::FileChunk,
                          chunkBody(key, 0, created, int64_t{k} * 2016, std::string(2016, 'q')));

    std::vector<std::pair<int64_t, size_t>> arrivals;  // time, message bytes
    size_t got = 0;
    ASSERT_TRUE(pumpUntil(
        [&] {
            while (bob->hasFrame()) {
                Frame c = bob->takeFrame();
                if (c.command != Command::FileChunk) continue;
                arrivals.emplace_back(clock.nowMillis(), 8 + c.body.size());
                ++got;
            }
            return got == static_cast<size_t>(chunks);
        },
        60000, 0));
    const size_t cap = 5u * kCapKB * 1024u;
    for (size_t i = 0; i < arrivals.size(); ++i) {
        size_t sum = 0;
        for (size_t j = i; j < arrivals.size() && arrivals[j].first < arrivals[i].first + 5000; ++j)
            sum += arrivals[j].second;
        EXPECT_LE(sum, cap) << "window from " << arrivals[i].first - start << " ms";
    }
    // The cap did bind: 240 KiB at 20 kB/s take about 12 seconds.
    EXPECT_GE(arrivals.back().first - start, 10'000);
}

// ---------------------------------------------------------------- a link that drains slowly

// The relay over the socket fake, whose sends can be held to a byte at a time.
class FakeRelay : public ::testing::Test {
  protected:
    ManualClock clock{1'700'000'000};
    CoreTables tables{clock};
    SessionState session;
    FakeSocketApi fake;
    std::unique_ptr<Engine> engine;
    std::unique_ptr<MailDelivery> delivery;
    std::unique_ptr<MailReception> reception;
    std::unique_ptr<Relay> relay;

    void SetUp() override {
        session.currentUser = "relay";
        session.connectMode = 1;
        engine = std::make_unique<Engine>(tables, session, clock, fake);
        delivery = std::make_unique<MailDelivery>(*engine, tables, session, clock);
        reception = std::make_unique<MailReception>(*engine, tables, session, clock, *delivery);
        connectMailHooks(*engine, *delivery, *reception);
        relay = std::make_unique<Relay>(*engine, session, clock);
        connectRelayHooks(*engine, *delivery, *reception, *relay);
        engine->SocketStep();
    }
    Socket accept() {
        Socket s = fake.addPendingConnection(engine->peerListener());
        clock.advanceSeconds(2);
        engine->EnginePump();
        return s;
    }
    int32_t slotOf(Socket s) { return engine->links().records[engine->findLink(s)].relaySlot; }
};

TEST_F(FakeRelay, AnItemPartlyOutKeepsItsLinkThroughTheCleanupAndArrivesWhole) {
    Socket dave = accept();
    fake.deliver(dave, frame(Command::Hello, helloBody("relay", "dave")));
    engine->EnginePump();
    ASSERT_EQ(fake.takeSent(dave), frame(Command::Accept, {}));
    Socket sender = accept();

    std::string small = makeItem(engine->codec(), 1, 1, MailKind::Outbox, "a", "dave", {"dave"});
    std::string big = makeItem(engine->codec(), 2, 2, MailKind::Outbox, "a", "dave", {"dave"}, {},
                               std::string(600'000, 'b'));
    fake.setSendLimit(1);  // dave's link drains a byte at a time
    fake.deliver(sender, small + big);
    engine->EnginePump();
    // The small item went whole and was dropped by the cleanup; the big one is partly out, its
    // link (no longer plain) marked with its new place in the queue.
    ASSERT_EQ(relay->queue().count(), 1);
    const RelayEntry& e = relay->queue()[0];
    EXPECT_GT(e.sent, 0);
    EXPECT_LT(e.sent, e.length);
    EXPECT_EQ(slotOf(dave), 0);
    EXPECT_FALSE(engine->IsPlainLink(dave));
    // Time passes: dave gets no keep-alive in the middle of the item, the mark stays.
    clock.advanceSeconds(16);
    engine->EnginePump();
    EXPECT_EQ(slotOf(dave), 0);

    fake.setSendLimit(0);
    for (int i = 0; i < 20 && relay->queue().count() > 0; ++i) {
        clock.advanceSeconds(1);
        engine->EnginePump();
        if (relay->queue().count() > 0 && relay->queue()[0].sent >= relay->queue()[0].length)
            clock.advanceSeconds(16);  // the cleanup drops it
    }
    EXPECT_EQ(relay->queue().count(), 0);
    EXPECT_EQ(slotOf(dave), -1);
    std::string sent = fake.takeSent(dave);
    ASSERT_GE(sent.size(), small.size() + big.size());
    EXPECT_TRUE(sent.substr(0, small.size() + big.size()) == small + big);
}

TEST_F(FakeRelay, AnItemPartlyOutWhenItsLinkGoesCountsAsSent) {
    Socket dave = accept();
    fake.deliver(dave, frame(Command::Hello, helloBody("relay", "dave")));
    engine->EnginePump();
    Socket sender = accept();
    std::string big = makeItem(engine->codec(), 2, 2, MailKind::Outbox, "a", "dave", {"dave"}, {},
                               std::string(600'000, 'b'));
    fake.setSendLimit(1);
    fake.deliver(sender, big);
    engine->EnginePump();
    ASSERT_EQ(relay->queue().count(), 1);
    ASSERT_LT(relay->queue()[0].sent, relay->queue()[0].length);
    EXPECT_EQ(relay->routes().count(), 1);

    fake.closeFromPeer(dave);
    engine->EnginePump();
    EXPECT_LT(engine->findLink(dave), 0);
    EXPECT_EQ(relay->queue()[0].sent, relay->queue()[0].length);
    fake.closeFromPeer(sender);  // the route goes with the sender's link
    engine->EnginePump();
    EXPECT_EQ(relay->routes().count(), 0);
    clock.advanceSeconds(16);
    engine->EnginePump();
    EXPECT_EQ(relay->queue().count(), 0);
    EXPECT_EQ(relay->bufferBytes(), 0u);
}

}  // namespace
}  // namespace orv::test
