// Listener port rules, accepting, the pump's bounds, the deferred close, shutdown and
// the wait interface, over the scripted socket fake.
#include <gtest/gtest.h>

#include "core/core_tables.h"
#include "engine/create_item.h"
#include "engine/engine.h"
#include "engine/idle_rules.h"
#include "engine/listener.h"
#include "engine/rate_meter.h"
#include "engine/wire.h"
#include "net/fake_socket_api.h"

namespace orv {
namespace {

std::string frameBytes(int32_t command, std::string_view body = {}) {
    std::string s(8, '\0');
    int32_t len = static_cast<int32_t>(body.size());
    std::memcpy(s.data(), &command, 4);
    std::memcpy(s.data() + 4, &len, 4);
    return s + std::string(body);
}

class FakeEngine : public ::testing::Test {
  protected:
    ManualClock clock{1'700'000'123};
    CoreTables tables{clock};
    SessionState session;
    FakeSocketApi fake;
    EngineConfig config;
    std::unique_ptr<Engine> engine;

    void make(bool loggedIn = true) {
        if (loggedIn) session.currentUser = "alice";
        engine = std::make_unique<Engine>(tables, session, clock, fake, config);
    }
    Socket accept() {
        Socket s = fake.addPendingConnection(engine->peerListener());
        clock.advanceSeconds(2);
        engine->SocketStep();
        return s;
    }
};

TEST_F(FakeEngine, ListenerStartsAtARandomPortUpwardAndSkipsBusyOnes) {
    fake.busyPorts = {30122, 30123};
    make();
    engine->SocketStep();
    // 29998 + (time mod 1000), then upward one by one in the same step.
    EXPECT_EQ(fake.triedPorts, (std::vector<int>{30122, 30123, 30124}));
    EXPECT_EQ(engine->peerPort(), 30124);
    engine->SocketStep();
    EXPECT_EQ(fake.triedPorts.size(), 3u);  // opened once
}

TEST_F(FakeEngine, FixedAddressTriesOnePortLowerEachTime) {
    tables.setSettingNumber(Setting::UseFixedAddress, 1);
    fake.busyPorts = {29997};
    make();
    engine->SocketStep();
    EXPECT_EQ(fake.triedPorts, (std::vector<int>{29997}));
    EXPECT_EQ(engine->peerListener(), kInvalidSocket);
    WaitSet w;
    engine->waitSet(w);
    EXPECT_EQ(w.deadlineMs, clock.nowMillis() + 1000);  // the retry, not a spin
    clock.advanceSeconds(1);
    engine->SocketStep();
    EXPECT_EQ(fake.triedPorts, (std::vector<int>{29997, 29996}));
    EXPECT_NE(engine->peerListener(), kInvalidSocket);
    EXPECT_EQ(engine->peerPort(), 29996);
}

TEST_F(FakeEngine, NobodyLoggedInKeepsOnlyTheListenerAndTheInstanceService) {
    make(/*loggedIn=*/false);
    int serviceCalls = 0, periodicParts = 0;
    engine->hooks().instanceService = [&] { ++serviceCalls; };
    engine->hooks().deliveryPass = [&] { return ++periodicParts > 0; };
    EXPECT_FALSE(engine->EnginePump());
    EXPECT_EQ(serviceCalls, 1);  // one pass, one SocketStep
    EXPECT_EQ(periodicParts, 0);
    EXPECT_NE(engine->peerListener(), kInvalidSocket);
    fake.addPendingConnection(engine->peerListener());
    clock.advanceSeconds(5);
    EXPECT_FALSE(engine->SocketStep());
    EXPECT_EQ(engine->links().count(), 0);
}

TEST_F(FakeEngine, PumpBoundsItsPassesAndCalls) {
    make();
    int socketSteps = 0, periodic = 0;
    engine->hooks().instanceService = [&] { ++socketSteps; };
    engine->hooks().deliveryPass = [&] {
        ++periodic;
        return true;  // always busy
    };
    EXPECT_TRUE(engine->EnginePump());
    EXPECT_EQ(periodic, 500);
    EXPECT_EQ(socketSteps, 5);
    WaitSet w;
    engine->waitSet(w);
    EXPECT_EQ(w.deadlineMs, clock.nowMillis());  // still busy: no waiting
}

TEST_F(FakeEngine, AcceptsEveryWaitingConnectionBoundedPerStepAndDropsSilentOnes) {
    make();
    engine->SocketStep();
    Socket l = engine->peerListener();
    for (int i = 0; i < kAcceptsPerStep + 6; ++i)
        fake.addPendingConnection(l);
    engine->SocketStep();
    EXPECT_EQ(engine->links().count(), kAcceptsPerStep);
    EXPECT_EQ(engine->links().records[0].state, LinkState::Unidentified);
    EXPECT_EQ(engine->connection(engine->links().records[0].socket)->origin, Origin::Inbound);
    engine->SocketStep();
    EXPECT_EQ(engine->links().count(), kAcceptsPerStep + 6);
    // The listener stays watched; the next deadline is the silent connections' limit.
    WaitSet w;
    engine->waitSet(w);
    EXPECT_EQ(w.eventsFor(l), kWaitRead);
    EXPECT_EQ(w.deadlineMs, (clock.nowSeconds() + kFirstMessageSeconds) * 1000);
    clock.advanceSeconds(kFirstMessageSeconds - 1);
    engine->SocketStep();
    EXPECT_EQ(engine->links().count(), kAcceptsPerStep + 6);
    clock.advanceSeconds(1);
    engine->SocketStep();
    EXPECT_EQ(engine->links().count(), 0);  // none of them sent a whole message
}

TEST_F(FakeEngine, LingeringSocketsCloseNewestFirstOnePerStep) {
    make();
    engine->SocketStep();
    std::vector<Socket> s;
    for (int i = 0; i < 3; ++i) {
        s.push_back(accept());
        fake.takeSent(s.back());
    }
    for (int i = 0; i < 3; ++i) {
        engine->closeLink(s[static_cast<size_t>(i)], /*goodbye=*/true);
        EXPECT_EQ(fake.takeSent(s[static_cast<size_t>(i)]), frameBytes(Command::Goodbye));
        clock.advanceSeconds(1);
    }
    ASSERT_EQ(engine->lingerList().count(), 3);
    // The newest was added 1 s ago; 10 s later it is still open, after 11 s it goes.
    clock.advanceSeconds(9);
    engine->PeriodicStep();
    EXPECT_TRUE(fake.isOpen(s[2]));
    clock.advanceSeconds(1);
    engine->PeriodicStep();
    EXPECT_FALSE(fake.isOpen(s[2]));
    EXPECT_TRUE(fake.isOpen(s[1]));
    EXPECT_TRUE(fake.isOpen(s[0]));
    engine->PeriodicStep();
    EXPECT_FALSE(fake.isOpen(s[1]));
    EXPECT_TRUE(fake.isOpen(s[0]));
}

TEST_F(FakeEngine, WaitSetLeavesOutParkedAndHeldConnections) {
    make();
    engine->SocketStep();
    Socket idle = accept();
    Socket parked = accept();
    Socket held = accept();
    int64_t retryAt = clock.nowMillis() + 700;
    int chunkCalls = 0;
    engine->hooks().fileChunk = [&](const InboundMessage&) {
        ++chunkCalls;
        return ChunkVerdict::notNow(retryAt);
    };
    fake.deliver(parked, std::string("\x80\x92\x01\x03\0\0\0\0", 8) + frameBytes(16));
    fake.deliver(held, frameBytes(Command::FileChunk, std::string(24, 'c')) + frameBytes(16));
    engine->EnginePump();
    EXPECT_EQ(engine->connection(parked)->receiveState, ReceiveState::Parked);
    EXPECT_EQ(engine->links().records[engine->findLink(parked)].state, LinkState::Unidentified);
    EXPECT_EQ(engine->connection(held)->receiveState, ReceiveState::Chunk);
    EXPECT_EQ(engine->links().records[engine->findLink(held)].state, LinkState::Unidentified);
    int callsAfterFirstPump = chunkCalls;
    WaitSet w;
    engine->waitSet(w);
    EXPECT_EQ(w.eventsFor(idle), kWaitRead);
    EXPECT_EQ(w.eventsFor(parked), 0);
    EXPECT_EQ(w.eventsFor(held), 0);
    EXPECT_LE(w.deadlineMs, retryAt);
    EXPECT_GT(w.deadlineMs, clock.nowMillis());

    // Once the reception takes the chunk, the message behind it follows in order.
    engine->hooks().fileChunk = [&](const InboundMessage& m) {
        EXPECT_EQ(m.body.size(), 24u);
        return ChunkVerdict{};
    };
    clock.advanceMillis(700);
    engine->EnginePump();
    EXPECT_EQ(engine->links().records[engine->findLink(held)].state, LinkState::HelloAccepted);
    EXPECT_GE(callsAfterFirstPump, 1);
}

TEST_F(FakeEngine, GlobalReceiveLimitHoldsChunksWithoutAskingTheReception) {
    tables.setSettingNumber(Setting::MaxRecvTotal, 1);
    make();
    engine->SocketStep();
    Socket s = accept();
    meterCount(engine->globalReceiveMeter(), 2016, 1, clock.nowMillis());  // a chunk just taken
    int calls = 0;
    engine->hooks().fileChunk = [&](const InboundMessage&) {
        ++calls;
        return ChunkVerdict{};
    };
    fake.deliver(s, frameBytes(Command::FileChunk, std::string(100, 'd')));
    engine->EnginePump();
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(engine->connection(s)->receiveState, ReceiveState::Chunk);
    clock.advanceMillis(meterFreeAtMs(engine->globalReceiveMeter(), 1) - clock.nowMillis() - 1);
    engine->EnginePump();
    EXPECT_EQ(calls, 0);
    clock.advanceMillis(1);  // the pace lets the next chunk through
    engine->EnginePump();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(engine->connection(s)->receiveState, ReceiveState::Header);
}

TEST_F(FakeEngine, ShutdownSaysGoodbyeClosesEverythingAndStops) {
    make();
    engine->SocketStep();
    Socket a = accept();
    Socket b = accept();
    fake.takeSent(a);
    bool filesClosed = false;
    engine->hooks().closeIncomingFiles = [&] { filesClosed = true; };
    engine->shutdown();
    EXPECT_EQ(fake.takeSent(a), frameBytes(Command::Goodbye));
    EXPECT_EQ(fake.takeSent(b), frameBytes(Command::Goodbye));
    EXPECT_EQ(fake.openCount(), 0);
    EXPECT_TRUE(engine->stopped());
    EXPECT_TRUE(filesClosed);
    size_t tried = fake.triedPorts.size();
    EXPECT_FALSE(engine->SocketStep());
    EXPECT_FALSE(engine->PeriodicStep());
    EXPECT_FALSE(engine->EnginePump());
    EXPECT_EQ(fake.triedPorts.size(), tried);  // never reopened
}

TEST_F(FakeEngine, LoginClosesLinksAndEmptiesTheAddressCache) {
    make();
    engine->SocketStep();
    Socket a = accept();
    tables.cacheAddress("bob", "1.2.3.4:29999");
    engine->onLogin();
    EXPECT_EQ(engine->links().count(), 0);
    EXPECT_EQ(tables.addressCacheNames.count(), 0);
    EXPECT_EQ(fake.takeSent(a), frameBytes(Command::Goodbye));
}

TEST_F(FakeEngine, SharedFileDeliveriesWaitingForAReplyAreSwept) {
    make();
    int m = CreateItem(tables, "alice", "bob", MailKind::SharedFileDelivery, "/alice/f.txt");
    int keep = CreateItem(tables, "alice", "carol", MailKind::ListFolder, "/carol/");
    tables.deliveries[tables.mailDeliveries(m)[0]].state = 13;
    tables.deliveries[tables.mailDeliveries(keep)[0]].state = 13;
    engine->PeriodicStep();
    ASSERT_EQ(tables.mails.count(), 1);
    EXPECT_EQ(tables.mails[0].kind, MailKind::ListFolder);
    EXPECT_EQ(tables.deliveries.count(), 1);

    // One that only just went out waits one spacing for the receiver's request first.
    m = CreateItem(tables, "alice", "bob", MailKind::SharedFileDelivery, "/alice/g.txt");
    int d = tables.mailDeliveries(m)[0];
    tables.deliveries[d].state = 13;
    clock.advanceSeconds(kSweepSpacingSeconds);  // a sweep is due
    tables.deliveries[d].stateTime = static_cast<int32_t>(clock.nowSeconds());
    engine->PeriodicStep();
    EXPECT_EQ(tables.mails.count(), 2);
    clock.advanceSeconds(kSweepSpacingSeconds);
    engine->PeriodicStep();
    EXPECT_EQ(tables.mails.count(), 1);
}

TEST(CreateItem, ControlItemKeepsItsKindAndHasOneFreshDelivery) {
    ManualClock clock{1'700'000'500};
    CoreTables tables{clock};
    int m = CreateItem(tables, "alice", "bob", MailKind::ListTree, "/bob/docs/");
    const MailRecord& r = tables.mails[m];
    EXPECT_EQ(r.kind, MailKind::ListTree);
    EXPECT_EQ(r.recipientCount, 1);
    EXPECT_EQ(r.created, 1'700'000'500);
    EXPECT_NE(r.key, 0u);
    EXPECT_EQ(tables.mailSubject(m), "/bob/docs/");
    ASSERT_EQ(tables.mailDeliveries(m).size(), 1u);
    int d = tables.mailDeliveries(m)[0];
    EXPECT_EQ(tables.deliveries[d].state, 0);
    EXPECT_EQ(tables.deliveries[d].linkSocket, -1);
    EXPECT_EQ(tables.deliveryRecipients.str(d), "bob");
    EXPECT_EQ(tables.deliverySenders.str(d), "alice");
    EXPECT_EQ(tables.deliveryProgress[d].meter.slots[0], 0u);

    int rr = CreateResendRequest(tables, "bob", "alice", 0x1122334455667788ull, 1234);
    EXPECT_EQ(tables.mails[rr].kind, MailKind::ResendRequest);
    EXPECT_EQ(tables.mails[rr].wantedKey, 0x1122334455667788ull);
    EXPECT_EQ(tables.mails[rr].lastActivity, 1234);
    EXPECT_NE(tables.mails[rr].key, r.key);
}

}  // namespace
}  // namespace orv
