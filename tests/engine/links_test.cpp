// The hello rules, status clients and the status reply, over real loopback sockets.
#include <gtest/gtest.h>

#include "peer_helper.h"

namespace orv::test {
namespace {

class Links : public EngineHarness {
  protected:
    void SetUp() override {
        EngineHarness::SetUp();
        start();
    }
    int linkOf(const std::string& user) {
        for (int i = 0; i < engine->links().count(); ++i)
            if (engine->links().names.view(i) == user) return i;
        return -1;
    }
};

TEST_F(Links, PlainHelloIdentifiesTheLink) {
    auto p = connectPeer();
    Socket s = lastLinkSocket();
    p->sendFrame(Command::Hello, helloBody("ALICE", "bob", "anything"));
    Frame f;
    ASSERT_TRUE(waitFrame(*p, f));
    EXPECT_EQ(f.command, Command::Accept);
    EXPECT_TRUE(f.body.empty());
    int i = engine->findLink(s);
    ASSERT_GE(i, 0);
    EXPECT_EQ(engine->links().records[i].state, LinkState::InboundPlain);
    EXPECT_EQ(engine->links().names.str(i), "bob");
    EXPECT_EQ(engine->connection(s)->origin, Origin::Inbound);
    EXPECT_EQ(engine->findIdentifiedLink("BOB"), s);
}

TEST_F(Links, ExclusiveHelloIdentifiesTheLinkAsExclusive) {
    auto p = connectPeer();
    Socket s = lastLinkSocket();
    p->sendFrame(Command::HelloExclusive, helloBody("alice", "bob"));
    Frame f;
    ASSERT_TRUE(waitFrame(*p, f));
    EXPECT_EQ(f.command, Command::Accept);
    EXPECT_EQ(engine->links().records[engine->findLink(s)].state, LinkState::InboundExclusive);
    EXPECT_EQ(engine->connection(s)->origin, Origin::InboundExclusive);
}

TEST_F(Links, HelloForSomeoneElseOrIncompleteIsRejected) {
    for (std::string body :
         {helloBody("carol", "bob"), std::string(32, '\0') + std::string("alice\0bob\0", 10),
          std::string(32, '\0') + "alice", std::string(10, '\0'), helloBody("alice", "")}) {
        auto p = connectPeer();
        Socket s = lastLinkSocket();
        p->sendFrame(Command::Hello, body);
        Frame f;
        ASSERT_TRUE(waitFrame(*p, f));
        EXPECT_EQ(f.command, Command::Reject);
        ASSERT_TRUE(waitFrame(*p, f));
        EXPECT_EQ(f.command, Command::Goodbye);
        EXPECT_EQ(engine->findLink(s), -1);
    }
    EXPECT_EQ(engine->links().count(), 0);
}

TEST_F(Links, PlainHelloOnANewLinkDisplacesTheOlderOne) {
    auto older = helloPeer("bob");
    Socket olderSocket = lastLinkSocket();
    session.loggedInElsewhere = false;
    auto newer = connectPeer();
    Socket newerSocket = lastLinkSocket();
    newer->sendFrame(Command::Hello, helloBody("alice", "Bob"));
    Frame f;
    ASSERT_TRUE(waitFrame(*newer, f));
    EXPECT_EQ(f.command, Command::Accept);
    ASSERT_TRUE(waitFrame(*older, f));
    EXPECT_EQ(f.command, Command::LoggedInElsewhere);
    ASSERT_TRUE(waitFrame(*older, f));
    EXPECT_EQ(f.command, Command::Goodbye);
    EXPECT_EQ(engine->findLink(olderSocket), -1);
    EXPECT_EQ(engine->findIdentifiedLink("bob"), newerSocket);
    EXPECT_EQ(engine->links().count(), 1);
}

TEST_F(Links, ExclusiveHelloWhileTheUserHasALinkIsRejected) {
    auto older = helloPeer("bob");
    Socket olderSocket = lastLinkSocket();
    auto newer = connectPeer();
    newer->sendFrame(Command::HelloExclusive, helloBody("alice", "bob"));
    Frame f;
    ASSERT_TRUE(waitFrame(*newer, f));
    EXPECT_EQ(f.command, Command::Reject);
    ASSERT_TRUE(waitFrame(*newer, f));
    EXPECT_EQ(f.command, Command::Goodbye);
    EXPECT_EQ(engine->findIdentifiedLink("bob"), olderSocket);
    EXPECT_EQ(engine->links().count(), 1);
    EXPECT_FALSE(older->hasFrame());
}

TEST_F(Links, LoggedInElsewhereRaisesTheSessionSignal) {
    auto p = helloPeer("bob");
    int told = 0;
    engine->hooks().loggedInElsewhere = [&] { ++told; };
    p->sendFrame(Command::LoggedInElsewhere, "");
    ASSERT_TRUE(pumpUntil([&] { return session.loggedInElsewhere; }));
    EXPECT_EQ(told, 1);
    EXPECT_EQ(engine->links().count(), 1);
}

TEST_F(Links, NamesAreDecodedFromTheWireBeforeUse) {
    // 嘰俓 in GB18030: both characters end in 0x5C.
    auto p = connectPeer();
    Socket s = lastLinkSocket();
    p->sendFrame(Command::Hello, helloBody("alice", "\x87\x5C\x82\x5C"));
    Frame f;
    ASSERT_TRUE(waitFrame(*p, f));
    EXPECT_EQ(f.command, Command::Accept);
    EXPECT_EQ(engine->linkUser(s), "嘰俓");
    p->sendFrame(Command::Note, stringList({"\x87\x5C\x82\x5C", "alice"}));
    ASSERT_TRUE(pumpUntil([&] { return tables.deliveries.count() == 1; }));
    EXPECT_EQ(tables.deliveryRecipients.str(0), "嘰俓");
}

TEST_F(Links, StatusRequestGetsTheStatusReply) {
    tables.cacheAddress("bob", "10.1.2.3:29999");
    tables.cacheAddress("张", "");
    auto p = connectPeer();
    Socket s = lastLinkSocket();
    int32_t accepted = static_cast<int32_t>(clock.nowSeconds());
    p->sendFrame(Command::StatusRequest, "ignored body");
    Frame f;
    ASSERT_TRUE(waitFrame(*p, f));
    EXPECT_EQ(f.command, Command::StatusReply);
    std::string want;
    want += le32(0) + le32(0);  // no connect attempts, empty name pool
    want += le32(1);
    for (int32_t v : {-1, 0, 0, accepted, 0, int32_t{LinkState::StatusClient}, s})
        want += le32(v);
    want += le32(1) + std::string(1, '\0');  // the status client's name is empty
    want += stringList({"bob", "\xD5\xC5"});
    want += stringList({"10.1.2.3:29999", ""});
    want += std::string("alice") + '\0';
    EXPECT_EQ(f.body, want);
    EXPECT_EQ(engine->connection(s)->phase, 2);
    EXPECT_EQ(engine->connection(s)->receiveState, ReceiveState::Header);

    // Only the newest status client stays.
    auto q = connectPeer();
    Socket s2 = lastLinkSocket();
    q->sendFrame(Command::StatusRequest, "");
    ASSERT_TRUE(waitFrame(*q, f));
    EXPECT_EQ(f.command, Command::StatusReply);
    ASSERT_TRUE(waitFrame(*p, f));
    EXPECT_EQ(f.command, Command::Goodbye);
    EXPECT_EQ(engine->findLink(s), -1);
    EXPECT_GE(engine->findLink(s2), 0);
}

TEST_F(Links, RejectAndGoodbyeFromThePeerCloseTheLink) {
    tables.cacheAddress("bob", "10.1.2.3:29999");
    auto p = helloPeer("bob");
    p->sendFrame(Command::Goodbye, "");
    Frame f;
    ASSERT_TRUE(waitFrame(*p, f));
    EXPECT_EQ(f.command, Command::Goodbye);
    EXPECT_EQ(engine->links().count(), 0);
    EXPECT_EQ(tables.addressCacheNames.find("bob"), -1);  // its address is forgotten

    auto q = connectPeer();
    q->sendFrame(Command::Reject, "");
    ASSERT_TRUE(waitFrame(*q, f));
    EXPECT_EQ(f.command, Command::Goodbye);
    EXPECT_EQ(engine->links().count(), 0);
}

}  // namespace
}  // namespace orv::test
