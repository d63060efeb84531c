// Keep-alives and idle rules, the deferred close after a goodbye, the HTTP relay and parked
// connections, with the clock stepped over the 6-, 10- and 60-second rules.
#include <gtest/gtest.h>

#include "peer_helper.h"

namespace orv::test {
namespace {

class Lifecycle : public EngineHarness {
  protected:
    void SetUp() override {
        EngineHarness::SetUp();
        start();
    }
    // Steps the clock one second at a time, pumping after each.
    void stepSeconds(int n) {
        for (int i = 0; i < n; ++i) {
            clock.advanceSeconds(1);
            engine->runOnce(0);
            engine->runOnce(0);
        }
    }
};

TEST_F(Lifecycle, IdentifiedLinksGetKeepAlivesAfterSixSeconds) {
    auto p = helloPeer("bob");
    Socket s = lastLinkSocket();
    stepSeconds(5);
    EXPECT_FALSE(p->hasFrame());
    stepSeconds(1);
    Frame f;
    ASSERT_TRUE(waitFrame(*p, f));
    EXPECT_EQ(f.command, Command::KeepAlive);
    EXPECT_EQ(engine->links().records[engine->findLink(s)].missedKeepAlives, 0);
    // The peer's own keep-alive refreshes the link.
    stepSeconds(3);
    p->sendFrame(Command::KeepAlive, "");
    int32_t sent = static_cast<int32_t>(clock.nowSeconds());
    ASSERT_TRUE(pumpUntil(
        [&] { return engine->links().records[engine->findLink(s)].lastActivity == sent; }));
    // Links stay up for as long as keep-alives flow.
    stepSeconds(120);
    EXPECT_GE(engine->findLink(s), 0);
}

TEST_F(Lifecycle, InboundConnectionWithoutAWholeMessageIsClosedAfterFiveSeconds) {
    auto p = connectPeer();
    Socket s = lastLinkSocket();
    ASSERT_TRUE(p->send(std::string("\x80\x92", 2)));  // a message begun, never finished
    stepSeconds(4);
    EXPECT_GE(engine->findLink(s), 0);
    EXPECT_FALSE(p->hasFrame());  // no keep-alives on a link nobody identified
    stepSeconds(1);
    Frame f;
    ASSERT_TRUE(waitFrame(*p, f));
    EXPECT_EQ(f.command, Command::Goodbye);
    EXPECT_EQ(engine->findLink(s), -1);
}

TEST_F(Lifecycle, SocketStaysOpenAboutTenSecondsAfterAGoodbye) {
    auto p = connectPeer();
    p->sendFrame(Command::Reject, "");
    Frame f;
    ASSERT_TRUE(waitFrame(*p, f));
    EXPECT_EQ(f.command, Command::Goodbye);
    ASSERT_EQ(engine->lingerList().count(), 1);
    stepSeconds(10);
    EXPECT_FALSE(p->eof());
    EXPECT_EQ(engine->lingerList().count(), 1);
    stepSeconds(1);
    ASSERT_TRUE(pumpUntil([&] { return p->eof(); }));
    EXPECT_EQ(engine->lingerList().count(), 0);
}

TEST_F(Lifecycle, GetRequestIsRelayedBothWaysAndCutAfterSixtySeconds) {
    int web = listenOn(0);
    ASSERT_GE(web, 0);
    config.httpRelayTarget = "127.0.0.1:" + std::to_string(boundPort(web));
    engine.reset();
    start();
    auto p = connectPeer();
    const std::string request = "GET /chat/index.asp HTTP/1.1\r\nHost: x\r\n\r\n";
    ASSERT_TRUE(p->send(request));
    int serverFd = -1;
    ASSERT_TRUE(pumpUntil([&] {
        serverFd = ::accept4(web, nullptr, nullptr, SOCK_NONBLOCK);
        return serverFd >= 0;
    }));
    ScriptedPeer server(serverFd);
    server.setPump(pumpFn());
    ASSERT_TRUE(pumpUntil([&] { return server.received().size() >= request.size(); }));
    EXPECT_EQ(server.received(), request);
    EXPECT_EQ(engine->links().count(), 0);       // no longer a peer link
    EXPECT_EQ(engine->lingerList().count(), 0);  // and no goodbye was sent
    ASSERT_EQ(engine->relayPairs().size(), 1u);

    const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    ASSERT_TRUE(server.send(answer));
    ASSERT_TRUE(pumpUntil([&] { return p->received().size() >= answer.size(); }));
    EXPECT_EQ(p->received(), answer);
    ASSERT_TRUE(p->send("more"));
    ASSERT_TRUE(pumpUntil([&] { return server.received().size() == request.size() + 4; }));

    stepSeconds(60);
    EXPECT_EQ(engine->relayPairs().size(), 1u);
    EXPECT_FALSE(p->eof());
    stepSeconds(1);
    ASSERT_TRUE(pumpUntil([&] { return p->eof() && server.eof(); }));
    EXPECT_TRUE(engine->relayPairs().empty());
    ::close(web);
}

TEST_F(Lifecycle, RelayPassesOnTheClientsEndAndStopsWhenTheServerIsDone) {
    int web = listenOn(0);
    config.httpRelayTarget = "127.0.0.1:" + std::to_string(boundPort(web));
    engine.reset();
    start();
    auto p = connectPeer();
    ASSERT_TRUE(p->send("GET / HTTP/1.0\r\n\r\n"));
    p->shutdownSend();  // a client that half-closes still gets its answer
    int serverFd = -1;
    ASSERT_TRUE(pumpUntil([&] {
        serverFd = ::accept4(web, nullptr, nullptr, SOCK_NONBLOCK);
        return serverFd >= 0;
    }));
    ScriptedPeer server(serverFd);
    ASSERT_TRUE(pumpUntil([&] { return server.eof(); }));
    EXPECT_EQ(server.received(), "GET / HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(server.send("HTTP/1.0 200 OK\r\n\r\nbody"));
    server.close();
    ASSERT_TRUE(pumpUntil([&] { return p->eof(); }));
    EXPECT_EQ(p->received(), "HTTP/1.0 200 OK\r\n\r\nbody");
    EXPECT_TRUE(engine->relayPairs().empty());
    ::close(web);
}

TEST_F(Lifecycle, ParkedConnectionReceivesNothingMoreUntilItsLinkEnds) {
    std::vector<std::string> items;
    engine->hooks().itemMessage = [&](const InboundMessage&) { items.emplace_back(); };
    auto p = connectPeer();
    Socket s = lastLinkSocket();
    ASSERT_TRUE(p->send(std::string("\x80\x92\x01\x03\0\0\0\0", 8) +
                        frame(Command::ItemMessage, "x") + frame(Command::StatusRequest, "")));
    ASSERT_TRUE(
        pumpUntil([&] { return engine->connection(s)->receiveState == ReceiveState::Parked; }));
    ASSERT_TRUE(p->sendFrame(Command::ItemMessage, "y"));
    WaitSet w;
    engine->waitSet(w);
    EXPECT_EQ(w.eventsFor(s), 0);
    stepSeconds(3);
    EXPECT_TRUE(items.empty());
    EXPECT_FALSE(p->hasFrame());
    EXPECT_EQ(engine->links().records[engine->findLink(s)].state, LinkState::Unidentified);
    stepSeconds(2);  // it never sent a whole message: closed like an idle connection
    Frame f;
    ASSERT_TRUE(waitFrame(*p, f));
    EXPECT_EQ(f.command, Command::Goodbye);
    EXPECT_TRUE(items.empty());
}

TEST_F(Lifecycle, ShutdownSaysGoodbyeAndClosesTheListener) {
    auto p = helloPeer("bob");
    engine->shutdown();
    Frame f;
    ASSERT_TRUE(pumpUntil([&] { return p->hasFrame(); }));
    f = p->takeFrame();
    EXPECT_EQ(f.command, Command::Goodbye);
    ASSERT_TRUE(pumpUntil([&] { return p->eof(); }));
    ScriptedPeer late(port, nullptr);
    EXPECT_FALSE(late.connected());
}

TEST_F(Lifecycle, IdleEngineWaitsForTheNextKeepAliveNotForATimer) {
    auto p = helloPeer("bob");
    Socket s = lastLinkSocket();
    WaitSet w;
    engine->waitSet(w);
    EXPECT_EQ(w.eventsFor(s), kWaitRead);
    // Connections are accepted as they come; the next thing due is the keep-alive 6 s after
    // activity.
    EXPECT_EQ(w.eventsFor(engine->peerListener()), kWaitRead);
    EXPECT_GE(w.deadlineMs, clock.nowMillis() + 5000);
}

}  // namespace
}  // namespace orv::test

namespace orv::test {
namespace {

TEST(PosixSockets, ConnectToResolvesNamesAndReportsRefusedConnects) {
    PosixSocketApi api;
    int l = listenOn(0);
    ASSERT_GE(l, 0);
    int p = boundPort(l);
    Socket s = api.ConnectTo("localhost:" + std::to_string(p), 1);
    ASSERT_NE(s, kInvalidSocket);
    PollEntry e{s, kWaitWrite, 0};
    ASSERT_EQ(api.Poll({&e, 1}, 5000), 1);
    EXPECT_EQ(api.CheckConnect(s), ConnectProgress::Connected);
    EXPECT_TRUE(api.IsWritable(s));
    api.Close(s);
    ::close(l);

    // Nobody listens there any more: the connect fails and says so.
    Socket r = api.ConnectTo("127.0.0.1", p);
    ASSERT_NE(r, kInvalidSocket);
    PollEntry f{r, kWaitWrite, 0};
    api.Poll({&f, 1}, 5000);
    EXPECT_EQ(api.CheckConnect(r), ConnectProgress::Failed);
    api.Close(r);
}

class RelayRefused : public EngineHarness {};

TEST_F(RelayRefused, RelayToAServerThatRefusesEndsAtOnce) {
    config.httpRelayTarget = "127.0.0.1:" + std::to_string(freePort());
    start();
    auto p = connectPeer();
    ASSERT_TRUE(p->send("GET / HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(pumpUntil([&] { return p->eof(); }));
    EXPECT_TRUE(engine->relayPairs().empty());
    EXPECT_EQ(engine->links().count(), 0);
}

}  // namespace
}  // namespace orv::test
