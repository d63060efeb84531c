// Listings between two in-process clients on loopback: a delivered request leaves its pending
// set, and a listing too large for one message is refused in the owner's log, not cut.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/mail_peers.h"
#include "share/share_facade.h"

namespace orv {
namespace {

class ShareWire : public test::MailPeers {
  protected:
    std::unique_ptr<ShareFacade> share(test::MailPeer& p, std::vector<std::string>& log) {
        auto f = std::make_unique<ShareFacade>(p.tables, p.session, *p.engine, *p.delivery,
                                               *p.reception);
        f->log = [&log](const std::string& l) { log.push_back(l); };
        f->loggedIn();
        return f;
    }
    static bool arrived(test::MailPeer& p, const std::string& path) {
        for (const auto& e : p.session.events.take())
            if (e.kind == EventKind::ListingArrived && e.text == path) return true;
        return false;
    }
};

TEST_F(ShareWire, ARequestLeavesPendingWhenDeliveredAndTheReplyIsMerged) {
    auto& alice = addPeer("alice");
    auto& bob = addPeer("bob");
    std::vector<std::string> aliceLog, bobLog;
    auto a = share(alice, aliceLog);
    auto b = share(bob, bobLog);
    ASSERT_TRUE(a->newFolder("/alice/", "docs").ok);
    alice.tables.share.AddFile("/nowhere/x", "x.txt", SharedFileRecord{}, "/alice/docs/");
    ASSERT_TRUE(b->requestListing("/alice/docs/", false));
    EXPECT_FALSE(b->requestListing("/alice/docs/", false));  // pending
    EXPECT_EQ(bob.tables.share.pending.count(), 1);
    bool got = false;
    ASSERT_TRUE(pumpUntil([&] { return got = got || arrived(bob, "/alice/docs/"); }));
    EXPECT_EQ(bob.tables.share.pending.count(), 0);
    EXPECT_EQ(bob.tables.share.FindFile("/alice/docs/x.txt"), 0);
    EXPECT_EQ(std::string(bob.tables.share.localPath(0)), "");
    EXPECT_FALSE(b->requestListing("/alice/docs/", false));  // listed
    EXPECT_TRUE(b->refresh("/alice/docs/"));
    EXPECT_TRUE(aliceLog.empty());
    EXPECT_TRUE(bobLog.empty());
}

TEST_F(ShareWire, AListingTooLargeForOneMessageIsRefusedInTheOwnersLog) {
    auto& alice = addPeer("alice");
    auto& bob = addPeer("bob");
    std::vector<std::string> aliceLog, bobLog;
    auto a = share(alice, aliceLog);
    auto b = share(bob, bobLog);
    ASSERT_TRUE(a->newFolder("/alice/", "big").ok);
    std::string pad(40, 'n');
    for (int i = 0; i < 40000; ++i)
        alice.tables.share.AddFile("/x", pad + std::to_string(i), SharedFileRecord{},
                                   "/alice/big/");
    ASSERT_TRUE(b->requestListing("/alice/big/", true));
    ASSERT_TRUE(pumpUntil([&] { return !aliceLog.empty(); }));
    EXPECT_NE(aliceLog[0].find("not sent"), std::string::npos) << aliceLog[0];
    EXPECT_NE(aliceLog[0].find("40000 files"), std::string::npos) << aliceLog[0];
    EXPECT_NE(aliceLog[0].find("largest listing"), std::string::npos) << aliceLog[0];
    // Nothing, not even a part, reaches bob.
    stepSeconds(5);
    EXPECT_FALSE(arrived(bob, "/alice/big/"));
    EXPECT_EQ(bob.tables.share.FindFolder("/alice/big/"), -1);
}

}  // namespace
}  // namespace orv
