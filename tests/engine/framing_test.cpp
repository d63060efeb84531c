// Framing over real loopback sockets: partial headers, body bounds, messages handled in the
// step their bytes arrive, batched input and output.
#include <gtest/gtest.h>

#include "peer_helper.h"

namespace orv::test {
namespace {

class Framing : public EngineHarness {
  protected:
    std::vector<std::string> items;
    void SetUp() override {
        EngineHarness::SetUp();
        start();
        engine->hooks().itemMessage = [this](const InboundMessage& m) {
            items.emplace_back(reinterpret_cast<const char*>(m.body.data()), m.body.size());
        };
    }
};

TEST_F(Framing, HeaderArrivingByteByByteIsTakenOnlyWhenComplete) {
    auto p = connectPeer();
    Socket s = lastLinkSocket();
    std::string msg = frame(Command::ItemMessage, "hello");
    for (size_t i = 0; i < msg.size(); ++i) {
        ASSERT_TRUE(p->send(msg.substr(i, 1)));
        const Connection* c = engine->connection(s);
        if (i < 7) {
            ASSERT_TRUE(pumpUntil([&] { return c->in.size() == i + 1; }));
            EXPECT_EQ(c->receiveState, ReceiveState::Header);  // nothing consumed yet
        } else if (i < msg.size() - 1) {
            ASSERT_TRUE(pumpUntil(
                [&] { return c->receiveState == ReceiveState::Body && c->in.size() == i - 7; }));
            EXPECT_EQ(c->bodyLength, 5);
        }
    }
    ASSERT_TRUE(pumpUntil([&] { return items.size() == 1; }));
    EXPECT_EQ(items[0], "hello");
    EXPECT_EQ(engine->connection(s)->receiveState, ReceiveState::Header);
}

TEST_F(Framing, LargestBodyIsAccepted) {
    auto p = connectPeer();
    std::string body(kMaxBodyLength, '\0');
    for (size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<char>(i * 7 + (i >> 12));
    ASSERT_TRUE(p->sendFrame(Command::ItemMessage, body));
    ASSERT_TRUE(pumpUntil([&] { return items.size() == 1; }, 20000));
    EXPECT_TRUE(items[0] == body);
    EXPECT_EQ(engine->links().count(), 1);
    EXPECT_FALSE(p->hasFrame());
}

TEST_F(Framing, OversizedOrNegativeBodyEndsTheLinkWithAGoodbye) {
    for (int32_t len : {kMaxBodyLength + 1, -1}) {
        auto p = connectPeer();
        Socket s = lastLinkSocket();
        ASSERT_TRUE(p->send(le32(Command::ItemMessage) + le32(len) + "xxxx"));
        Frame f;
        ASSERT_TRUE(waitFrame(*p, f)) << len;
        EXPECT_EQ(f.command, Command::Goodbye);
        EXPECT_TRUE(f.body.empty());
        EXPECT_EQ(engine->findLink(s), -1);
        EXPECT_FALSE(p->eof());  // the socket lingers
        EXPECT_TRUE(items.empty());
    }
}

TEST_F(Framing, EmptyBodyIsHandledInTheStepItsHeaderArrives) {
    auto p = connectPeer();
    Socket s = lastLinkSocket();
    ASSERT_TRUE(p->sendFrame(Command::Accept, ""));
    PollEntry e{s, kWaitRead, 0};
    ASSERT_EQ(sockets.Poll({&e, 1}, 5000), 1);
    EXPECT_TRUE(engine->SocketStep());
    EXPECT_EQ(engine->links().records[engine->findLink(s)].state, LinkState::HelloAccepted);
}

TEST_F(Framing, ManyMessagesInOneReadAreHandledInOrder) {
    auto p = connectPeer();
    std::string burst;
    for (int i = 0; i < 2000; ++i)
        burst += frame(Command::ItemMessage, "m" + std::to_string(i));
    burst += frame(99, "unknown codes are read and ignored");
    burst += frame(Command::ItemMessage, "last");
    ASSERT_TRUE(p->send(burst));
    ASSERT_TRUE(pumpUntil([&] { return items.size() == 2001; }));
    for (int i = 0; i < 2000; ++i)
        ASSERT_EQ(items[static_cast<size_t>(i)], "m" + std::to_string(i));
    EXPECT_EQ(items.back(), "last");
}

TEST_F(Framing, QueuedOutputArrivesWholeAndInOrder) {
    auto p = connectPeer();
    Socket s = lastLinkSocket();
    auto span = [](const std::string& x) {
        return std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(x.data()), x.size());
    };
    // While the peer reads nothing, data messages are taken until the unsent bytes reach
    // the high-water mark; control messages still fit after that.
    std::string body(1 << 20, 'b');
    int queued = 0;
    for (; queued < 1000; ++queued) {
        body[0] = static_cast<char>(queued);
        if (!engine->queueMessage(s, Command::ItemMessage, span(body))) break;
    }
    ASSERT_LT(queued, 1000);
    EXPECT_LE(engine->pendingOutput(s), Engine::kOutputHighWater);
    EXPECT_GT(engine->pendingOutput(s), 0u);
    EXPECT_TRUE(engine->queueMessage(s, Command::KeepAlive, {}, /*control=*/true));
    for (int i = 0; i < queued; ++i) {
        Frame f;
        ASSERT_TRUE(waitFrame(*p, f, 20000));
        ASSERT_EQ(f.command, Command::ItemMessage);
        ASSERT_EQ(f.body.size(), body.size());
        ASSERT_EQ(f.body[0], static_cast<char>(i));
        ASSERT_EQ(f.body.back(), 'b');
    }
    Frame f;
    ASSERT_TRUE(waitFrame(*p, f));
    EXPECT_EQ(f.command, Command::KeepAlive);
    EXPECT_EQ(engine->pendingOutput(s), 0u);
}

TEST_F(Framing, ItemRepliesAndNotesGoToTheirPlaces) {
    std::vector<int32_t> replies;
    engine->hooks().itemReply = [&](const InboundMessage& m) { replies.push_back(m.command); };
    auto p = connectPeer();
    ASSERT_TRUE(p->send(frame(Command::SendFiles, std::string(32, '\0')) +
                        frame(Command::Received, std::string(32, '\0')) +
                        frame(Command::AllReceived, std::string(32, '\0') + "bob") +
                        frame(Command::Note, stringList({"bob", "ALICE"})) +
                        frame(Command::Note, stringList({"bob", "carol"})) +
                        frame(Command::Note, std::string("\x40\0\0\0bob\0alice\0", 14))));
    ASSERT_TRUE(pumpUntil([&] { return replies.size() == 3 && tables.mails.count() >= 1; }));
    // Let the two notes behind it be read too.
    ASSERT_TRUE(p->sendFrame(Command::ItemMessage, "marker"));
    ASSERT_TRUE(pumpUntil([&] { return items.size() == 1; }));
    EXPECT_EQ(replies, (std::vector<int32_t>{3, 8, 18}));
    ASSERT_EQ(tables.mails.count(), 1);  // only the note addressed to alice
    EXPECT_EQ(tables.mails[0].kind, MailKind::NoteAnswer);
    ASSERT_EQ(tables.mailDeliveries(0).size(), 1u);
    int d = tables.mailDeliveries(0)[0];
    EXPECT_EQ(tables.deliveryRecipients.str(d), "bob");
    EXPECT_EQ(tables.deliverySenders.str(d), "alice");
    EXPECT_EQ(tables.deliveries[d].state, 0);
}

TEST_F(Framing, PeerThatGoesAwayEndsItsLink) {
    auto p = connectPeer();
    Socket s = lastLinkSocket();
    ASSERT_TRUE(p->sendFrame(Command::ItemMessage, "before close"));
    p->close();
    ASSERT_TRUE(pumpUntil([&] { return engine->findLink(s) < 0; }));
    ASSERT_EQ(items.size(), 1u);  // what it sent first is still handled
    EXPECT_EQ(items[0], "before close");
}

}  // namespace
}  // namespace orv::test
