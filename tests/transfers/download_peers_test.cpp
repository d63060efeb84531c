// Downloads between two in-process clients on loopback under a stepped clock: a download whose
// sender dropped its delivery midway (swept, or restarted without it) is asked for again once it
// has not moved for the stall time and completes byte for byte; a second download of a path
// waits for the first, and both complete.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/mail_peers.h"
#include "share/share_facade.h"
#include "transfers/transfers_facade.h"

namespace orv {
namespace {

class DownloadPeers : public test::MailPeers {
  protected:
    struct Client {
        std::unique_ptr<ShareFacade> share;
        std::unique_ptr<TransfersFacade> transfers;
    };
    Client attach(test::MailPeer& p) {
        Client c;
        c.share = std::make_unique<ShareFacade>(p.tables, p.session, *p.engine, *p.delivery,
                                                *p.reception);
        c.share->log = [](const std::string&) {};
        c.share->loggedIn();
        c.transfers = std::make_unique<TransfersFacade>(p.tables, p.session, clock, *p.engine,
                                                        *p.delivery, *p.reception);
        p.session.language = UiLanguage::English;
        TransfersFacade* t = c.transfers.get();
        p.engine->hooks().transferStep = [t] { return t->step(); };
        return c;
    }
    static bool listed(test::MailPeer& p, const std::string& path) {
        for (const auto& e : p.session.events.take())
            if (e.kind == EventKind::ListingArrived && e.text == path) return true;
        return false;
    }
    // Alice shares a file of `size` bytes as /alice/docs/movie.bin and bob has the listing.
    std::string shareMovie(Client& a, Client& b, test::MailPeer& alice, test::MailPeer& bob,
                           int64_t size) {
        std::string src = makeFile("movie.bin", static_cast<size_t>(size), 5);
        EXPECT_TRUE(a.share->newFolder("/alice/", "docs").ok);
        SharedFileRecord rec{};
        rec.size = static_cast<uint64_t>(size);
        EXPECT_TRUE(alice.tables.share.AddFile(src, "movie.bin", rec, "/alice/docs/"));
        EXPECT_TRUE(b.share->requestListing("/alice/docs/", false));
        bool got = false;
        EXPECT_TRUE(pumpUntil([&] { return got = got || listed(bob, "/alice/docs/"); }));
        return src;
    }
};

TEST_F(DownloadPeers, IsAskedForAgainAfterTheStallTimeAndCompletes) {
    auto& alice = addPeer("alice");
    auto& bob = addPeer("bob");
    Client a = attach(alice);
    Client b = attach(bob);
    const int64_t size = 400000;
    std::string src = shareMovie(a, b, alice, bob, size);

    // Slow enough to be cut off midway.
    alice.tables.setSettingNumber(Setting::MaxSendPerTransfer, 20);
    std::string into = dir.file("into");
    ASSERT_TRUE(b.transfers->saveTo("/alice/docs/", {"movie.bin"}, into).ok);
    TransferList& list = b.transfers->list();
    auto received = [&] {
        b.transfers->tick();
        return list.record(0).received;
    };
    ASSERT_TRUE(pumpUntil([&] { return received() > 30000; }, 20000, 0));
    ASSERT_EQ(list.record(0).state, TransferState::Receiving);

    // The sender loses its delivery and its limit; nothing would wake the download again.
    while (alice.tables.deliveries.count() > 0)
        alice.tables.eraseDelivery(0);
    alice.tables.setSettingNumber(Setting::MaxSendPerTransfer, 0);
    uint64_t stuckAt = received();
    int64_t cut = clock.nowMillis();
    stepSeconds(TransfersFacade::kStallRetrySeconds - 5);
    EXPECT_EQ(received(), stuckAt);
    EXPECT_EQ(list.record(0).state, TransferState::Receiving);

    ASSERT_TRUE(pumpUntil([&] { return list.record(0).state == TransferState::Done; }, 20000));
    EXPECT_GE(clock.nowMillis() - cut, int64_t{TransfersFacade::kStallRetrySeconds} * 1000);
    EXPECT_EQ(test::readFile(into + "/movie.bin"), test::readFile(src));
}

TEST_F(DownloadPeers, ASecondDownloadOfAPathWaitsForTheFirstAndBothComplete) {
    auto& alice = addPeer("alice");
    auto& bob = addPeer("bob");
    Client a = attach(alice);
    Client b = attach(bob);
    std::string src = shareMovie(a, b, alice, bob, 300000);
    alice.tables.setSettingNumber(Setting::MaxSendPerTransfer, 50);
    TransferList& list = b.transfers->list();
    ASSERT_TRUE(b.transfers->saveTo("/alice/docs/", {"movie.bin"}, dir.file("one")).ok);
    ASSERT_TRUE(b.transfers->saveTo("/alice/docs/", {"movie.bin"}, dir.file("two")).ok);
    ASSERT_TRUE(pumpUntil([&] { return list.record(0).state == TransferState::Receiving; }));
    // While the first arrives the second is not asked for: its request would take the
    // first one's delivery at the sender.
    stepSeconds(TransfersFacade::kStallRetrySeconds + 5);
    EXPECT_EQ(list.record(1).state, TransferState::Waiting);
    EXPECT_NE(list.record(0).state, TransferState::Waiting);

    alice.tables.setSettingNumber(Setting::MaxSendPerTransfer, 0);
    ASSERT_TRUE(pumpUntil([&] {
        return list.record(0).state == TransferState::Done &&
               list.record(1).state == TransferState::Done;
    }));
    EXPECT_EQ(test::readFile(dir.file("one") + "/movie.bin"), test::readFile(src));
    EXPECT_EQ(test::readFile(dir.file("two") + "/movie.bin"), test::readFile(src));
}

}  // namespace
}  // namespace orv
