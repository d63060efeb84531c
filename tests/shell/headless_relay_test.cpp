// Clients that cannot be reached, as headless processes with the real directory server: the
// directory marks them at login, they keep a link to the logged-in relay, and they find it
// again after the relay was killed and started anew. A client that refuses its own listener
// (--refuse-listener) really cannot be reached: every connect to the port it announced is
// refused.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>

#include "server/directory_harness.h"
#include "support/child_process.h"
#include "support/json_line.h"
#include "support/temp_dir.h"

namespace orv {
namespace {

class HeadlessRelay : public ::testing::Test {
  protected:
    void SetUp() override {
        db = dir.file("directory.sqlite");
        // The test connection to each login's listener is what marks the refusing clients.
        ASSERT_TRUE(server.start(db, {"--reach-timeout-ms", "2000"}));
        address = "127.0.0.1:" + std::to_string(server.port());
        for (const char* u : {"hub", "amy", "bea", "cid"}) {
            auto a = test::get(server.port(), std::string("insert.asp?name=") + u +
                                                  "&leibie=0&passwd=pw&main=e&oldpasswd=");
            ASSERT_EQ(a.body, "Reg OK");
        }
        ASSERT_EQ(test::DirectoryProcess::admin(db, {"set-mode", "hub", "relay"}), 0);
    }
    void start(test::ChildProcess& p, const std::string& user,
               const std::vector<std::string>& extra = {}) {
        ASSERT_TRUE(test::startHeadlessUser(p, dir.file(user), address, user, "pw", false, extra));
    }
    // The status line's relay link: "state" and "relay".
    static std::string relayLinkOf(test::ChildProcess& p) {
        p.writeLine("status");
        auto line = p.waitForLine("\"cmd\":\"status\"");
        if (!line) return "no answer";
        size_t at = line->find("\"relayLink\":");
        return at == std::string::npos ? "none" : line->substr(at);
    }
    static bool hasLinkFrom(test::ChildProcess& relay, const std::string& user) {
        relay.writeLine("status");
        auto line = relay.waitForLine("\"cmd\":\"status\"");
        return line && line->find("{\"user\":\"" + user + "\",\"state\":0}") != std::string::npos;
    }
    template <typename F>
    static bool within(int ms, test::ChildProcess& p, F done) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) return false;
            p.waitForLine("never", 200);
        }
        return true;
    }

    test::TempDir dir;
    test::DirectoryProcess server;
    std::string db, address;
};

TEST_F(HeadlessRelay, UnreachableClientsLinkToTheRelayAndFindItAgainAfterItsRestart) {
    test::ChildProcess hub, amy, bea, cid;
    start(hub, "hub");
    start(amy, "amy", {"--refuse-listener"});
    start(bea, "bea", {"--through-relay", "on"});
    start(cid, "cid");

    auto linked = amy.waitForLine("\"event\":\"relay-link\",\"linked\":true", 20000);
    ASSERT_TRUE(linked);
    EXPECT_EQ(test::jsonField(*linked, "relay"), "hub");
    ASSERT_TRUE(bea.waitForLine("\"event\":\"relay-link\",\"linked\":true", 20000));
    EXPECT_NE(relayLinkOf(amy).find("\"state\":\"linked\",\"relay\":\"hub\""), std::string::npos);
    // cid's own question may still be on its way.
    EXPECT_TRUE(within(10000, cid, [&] {
        return relayLinkOf(cid).find("\"state\":\"direct\"") != std::string::npos;
    }));
    EXPECT_NE(relayLinkOf(hub).find("\"state\":\"off\""), std::string::npos);
    // The relay knows both by their hellos.
    EXPECT_TRUE(within(10000, hub, [&] { return hasLinkFrom(hub, "amy"); }));
    EXPECT_TRUE(within(10000, hub, [&] { return hasLinkFrom(hub, "bea"); }));

    // Senders are sent to the relay: the directory gives the relay's address for amy and bea.
    std::string hubAddress = test::get(server.port(), "gethost.asp?url=hub").body;
    EXPECT_EQ(test::get(server.port(), "gethost.asp?url=amy").body, hubAddress);
    EXPECT_EQ(test::get(server.port(), "gethost.asp?url=bea").body, hubAddress);
    EXPECT_NE(test::get(server.port(), "gethost.asp?url=cid").body, hubAddress);

    // The relay dies: the link goes, and comes back to the relay's new address once it has
    // logged in again.
    hub.kill(SIGKILL);
    hub.wait();
    ASSERT_TRUE(amy.waitForLine("\"event\":\"relay-link\",\"linked\":false", 20000));
    test::ChildProcess hub2;
    start(hub2, "hub");
    linked = amy.waitForLine("\"event\":\"relay-link\",\"linked\":true", 40000);
    ASSERT_TRUE(linked);
    EXPECT_EQ(test::jsonField(*linked, "relay"), "hub");
    EXPECT_TRUE(within(10000, hub2, [&] { return hasLinkFrom(hub2, "amy"); }));
    EXPECT_NE(relayLinkOf(amy).find(test::get(server.port(), "gethost.asp?url=hub").body),
              std::string::npos);

    for (auto* p : {&hub2, &amy, &bea, &cid}) {
        p->writeLine("quit");
        EXPECT_EQ(p->wait(), 0);
    }
}

}  // namespace
}  // namespace orv
