// The link a client that cannot be reached keeps to its relay, against a scripted relay on a
// real loopback socket: the hello it sends, the answers it waits for, and every way the link
// can end (refused hello, unanswered hello, refused connect, a relay that goes away).
#include "engine/relay_link.h"

#include "peer_helper.h"

namespace orv::test {
namespace {

class RelayLinkTest : public EngineHarness {
  protected:
    void SetUp() override {
        EngineHarness::SetUp();
        start();
        relayListener = listenOn(0);
        ASSERT_GE(relayListener, 0);
        relayAddress = "127.0.0.1:" + std::to_string(boundPort(relayListener));
    }
    void TearDown() override { ::close(relayListener); }

    // Steps the link until it reaches `want`; false when it ends elsewhere or time runs out.
    bool stepUntil(RelayLink& link, RelayLink::State want) {
        return pumpUntil([&] { return link.step() == want; });
    }
    // The relay's end of the connection, once the link connected and said hello.
    std::unique_ptr<ScriptedPeer> acceptAtRelay(RelayLink& link) {
        EXPECT_TRUE(stepUntil(link, RelayLink::State::Hello));
        int fd = -1;
        pumpUntil([&] { return (fd = ::accept(relayListener, nullptr, nullptr)) >= 0; });
        return std::make_unique<ScriptedPeer>(fd);
    }

    int relayListener = -1;
    std::string relayAddress;
};

TEST_F(RelayLinkTest, NamesItselfWithAPlainHelloAndKeepsTheLinkUntilTheRelayGoes) {
    RelayLink link(*engine, clock);
    link.open("hub", relayAddress, "alice");
    auto relay = acceptAtRelay(link);
    Frame hello;
    ASSERT_TRUE(waitFrame(*relay, hello));
    EXPECT_EQ(hello.command, Command::Hello);
    EXPECT_EQ(hello.body, helloBody("hub", "alice", ""));
    EXPECT_EQ(engine->linkUser(link.socket()), "hub");

    relay->sendFrame(Command::Accept, "");
    ASSERT_TRUE(stepUntil(link, RelayLink::State::Linked));
    EXPECT_EQ(engine->links().records[engine->findLink(link.socket())].state,
              LinkState::HelloAccepted);
    // Items the relay passes on arrive over this link like over any other (the reception's
    // business); the link itself stays until the relay goes away.
    clock.advanceSeconds(30);
    EXPECT_EQ(link.step(), RelayLink::State::Linked);
    relay->close();
    EXPECT_TRUE(stepUntil(link, RelayLink::State::Lost));
}

TEST_F(RelayLinkTest, ARefusedOrUnansweredHelloOrARefusedConnectIsLost) {
    RelayLink link(*engine, clock);
    link.open("hub", relayAddress, "alice");
    auto relay = acceptAtRelay(link);
    relay->sendFrame(Command::Reject, "");
    EXPECT_TRUE(stepUntil(link, RelayLink::State::Lost));

    link.open("hub", relayAddress, "alice");
    auto silent = acceptAtRelay(link);
    clock.advanceMillis(RelayLink::kHelloLimitMillis + 1);
    EXPECT_TRUE(stepUntil(link, RelayLink::State::Lost));
    EXPECT_EQ(engine->linkUser(link.socket()), "");

    link.open("hub", "127.0.0.1:" + std::to_string(freePort()), "alice");
    EXPECT_TRUE(stepUntil(link, RelayLink::State::Lost));

    // Closing drops the link with a goodbye and leaves nothing behind.
    link.open("hub", relayAddress, "alice");
    auto again = acceptAtRelay(link);
    link.close();
    EXPECT_EQ(link.state(), RelayLink::State::Idle);
    Frame bye;
    ASSERT_TRUE(waitFrame(*again, bye));
    EXPECT_EQ(bye.command, Command::Hello);
    ASSERT_TRUE(waitFrame(*again, bye));
    EXPECT_EQ(bye.command, Command::Goodbye);
}

}  // namespace
}  // namespace orv::test
