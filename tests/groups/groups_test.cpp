// Groups and signing between headless client processes with the real directory server, and a
// client whose directory stops answering.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "server/directory_harness.h"
#include "session/client_session.h"
#include "support/child_process.h"
#include "support/json_line.h"
#include "support/temp_dir.h"

namespace orv {
namespace {

bool has(const std::optional<std::string>& line, const std::string& part) {
    return line && line->find(part) != std::string::npos;
}

class GroupsAcrossClients : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server.start(dir.file("directory.sqlite")));
        address = "127.0.0.1:" + std::to_string(server.port());
    }
    void startClient(test::ChildProcess& p, const std::string& user, bool create = true,
                     const std::string& password = {}) {
        ASSERT_TRUE(test::startHeadlessUser(p, dir.file(user == "acme/sales" ? "org" : user),
                                            address, user,
                                            password.empty() ? "pw" + user : password, create));
    }
    // Sends a command and returns its answer line.
    std::optional<std::string> ask(test::ChildProcess& p, const std::string& cmd,
                                   int timeoutMs = 15000) {
        p.writeLine(cmd);
        std::string name = cmd.substr(0, cmd.find(' '));
        return p.waitForLine("\"cmd\":\"" + name + "\"", timeoutMs);
    }
    // Asks for a new synchronisation and waits until it is through (stage 3).
    std::optional<std::string> synced(test::ChildProcess& p) {
        if (!has(ask(p, "group-refresh"), "\"ok\":true")) return std::nullopt;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < end) {
            auto g = ask(p, "groups");
            if (has(g, "\"stage\":3")) return g;
            p.waitForLine("never", 50);
        }
        return std::nullopt;
    }
    test::TempDir dir;
    test::DirectoryProcess server;
    std::string address;
};

TEST_F(GroupsAcrossClients, CreateFindJoinApproveRefuseMailLeaveDelete) {
    test::ChildProcess alice, bob, carol;
    startClient(alice, "alice");
    startClient(bob, "bob");
    startClient(carol, "carol");

    EXPECT_TRUE(has(ask(alice, "group-create team \"intro=our team\""), "\"ok\":true"));
    // The same name again changes nothing.
    EXPECT_TRUE(has(ask(alice, "group-create team"), "\"ok\":false"));
    auto mine = synced(alice);
    ASSERT_TRUE(mine);
    EXPECT_TRUE(has(mine,
                    "\"owned\":[{\"name\":\"team\",\"creator\":\"alice\",\"intro\":\"our "
                    "team\",\"public\":true,\"members\":[{\"name\":\"alice\""))
        << *mine;

    auto found = ask(bob, "group-find");
    EXPECT_TRUE(has(found,
                    "{\"name\":\"team\",\"creator\":\"alice\",\"intro\":\"our "
                    "team\",\"members\":1}"))
        << found.value_or("");
    EXPECT_TRUE(has(ask(bob, "group-join alice team"), "\"ok\":true"));
    EXPECT_TRUE(has(ask(carol, "group-join alice team"), "\"ok\":true"));
    ASSERT_TRUE(synced(bob) && synced(carol));

    alice.writeLine("group-refresh");
    auto first = alice.waitForLine("\"join-request\"", 20000);
    auto second = alice.waitForLine("\"join-request\"", 20000);
    ASSERT_TRUE(first && second);
    std::string both = *first + *second;
    EXPECT_NE(both.find("{\"event\":\"join-request\",\"user\":\"bob\",\"group\":\"team\"}"),
              std::string::npos);
    EXPECT_NE(both.find("\"user\":\"carol\""), std::string::npos);
    EXPECT_TRUE(has(ask(alice, "group-approve team bob"), "\"ok\":true"));
    EXPECT_TRUE(has(ask(alice, "group-refuse team carol"), "\"ok\":true"));
    EXPECT_TRUE(has(ask(alice, "group-approve team carol"), "\"ok\":false"));
    // Through once the decisions have reached the directory.
    ASSERT_TRUE(synced(alice));

    // Carol is told once: a second synchronisation reports no second refusal.
    carol.writeLine("group-refresh");
    EXPECT_TRUE(carol.waitForLine("{\"event\":\"join-refused\",\"group\":\"team\"", 20000));
    ASSERT_TRUE(synced(carol));
    auto again = synced(carol);
    ASSERT_TRUE(again);
    EXPECT_TRUE(has(again, "\"joined\":[]")) << *again;
    auto pending = ask(carol, "group-pending");
    EXPECT_TRUE(has(pending, "\"refused\":[\"team\"]")) << pending.value_or("");

    bob.writeLine("group-refresh");
    EXPECT_TRUE(bob.waitForLine("{\"event\":\"group-joined\",\"group\":\"team\"", 20000));
    auto bobs = synced(bob);
    EXPECT_TRUE(has(bobs, "\"joined\":[{\"name\":\"team\",\"creator\":\"alice\"")) << *bobs;

    auto alices = synced(alice);
    ASSERT_TRUE(alices);
    EXPECT_TRUE(has(alices, "{\"name\":\"bob\"")) << *alices;
    EXPECT_FALSE(has(alices, "{\"name\":\"carol\""));
    auto sent = ask(alice, "send to=[team:alice] text=hello");
    ASSERT_TRUE(has(sent, "\"ok\":true"));
    std::string key = test::jsonField(*sent, "key");
    auto shown = ask(alice, "show " + key);
    EXPECT_TRUE(has(shown, "\"deliveries\":[{\"to\":\"bob\"")) << shown.value_or("");
    EXPECT_FALSE(has(shown, "carol"));
    EXPECT_TRUE(has(bob.waitForLine("\"mail-arrived\"", 20000), key));

    // A group carol does not belong to reaches nobody, and she is told.
    auto dropped = ask(carol, "send to=[team:alice] text=hi");
    EXPECT_TRUE(has(dropped, "\"ok\":false")) << dropped.value_or("");
    EXPECT_TRUE(has(dropped, "[team:alice]"));

    EXPECT_TRUE(has(ask(bob, "group-leave team alice"), "\"ok\":true"));
    auto left = synced(bob);
    EXPECT_TRUE(has(left, "\"joined\":[]")) << left.value_or("");
    alices = synced(alice);
    ASSERT_TRUE(alices);
    EXPECT_FALSE(has(alices, "{\"name\":\"bob\"")) << *alices;
    sent = ask(alice, "send to=[team:alice],carol text=again");
    ASSERT_TRUE(has(sent, "\"ok\":true"));
    shown = ask(alice, "show " + test::jsonField(*sent, "key"));
    EXPECT_TRUE(has(shown, "\"deliveries\":[{\"to\":\"carol\"")) << shown.value_or("");
    EXPECT_FALSE(has(shown, "\"to\":\"bob\""));

    EXPECT_TRUE(has(ask(alice, "group-delete team"), "\"ok\":true"));
    auto gone = synced(alice);
    EXPECT_TRUE(has(gone, "\"owned\":[],\"joined\":[]")) << gone.value_or("");
    EXPECT_FALSE(has(ask(bob, "group-find"), "\"team\""));

    for (auto* p : {&alice, &bob, &carol}) {
        p->writeLine("quit");
        EXPECT_EQ(p->wait(), 0);
    }
}

TEST_F(GroupsAcrossClients, OrganisationAccountSeesCoMembersWithNumberAndKind) {
    test::ChildProcess bob, org;
    startClient(bob, "bob");
    ASSERT_EQ(test::DirectoryProcess::admin(dir.file("directory.sqlite"),
                                            {"create-org", "acme/sales", "--password", "op",
                                             "--member", "bob", "--number", "3", "--kind", "3"}),
              0);
    startClient(org, "acme/sales", false, "op");
    auto g = synced(org);
    ASSERT_TRUE(g);
    EXPECT_TRUE(has(g, "\"joined\":[{\"name\":\"acme/\",\"creator\":\"acme/\""));
    EXPECT_TRUE(has(g, "{\"name\":\"bob\",\"number\":3,\"kind\":3}")) << *g;
    for (auto* p : {&bob, &org}) {
        p->writeLine("quit");
        EXPECT_EQ(p->wait(), 0);
    }
}

TEST_F(GroupsAcrossClients, SignAndWatchReceipts) {
    test::ChildProcess alice, bob, carol;
    startClient(alice, "alice");
    startClient(bob, "bob");
    startClient(carol, "carol");
    auto sent = ask(alice, "send to=bob,carol \"text=please sign\" sign");
    ASSERT_TRUE(has(sent, "\"ok\":true"));
    std::string key = test::jsonField(*sent, "key");
    ASSERT_TRUE(has(alice.waitForLine("\"receipts\"", 20000), "\"ok\":true"));
    ASSERT_TRUE(has(bob.waitForLine("\"mail-arrived\"", 20000), key));

    EXPECT_TRUE(has(ask(bob, "sign " + key + " \"\""), "Please input option!"));
    auto signedLine = ask(bob, "sign " + key + " \"read and agreed\"", 30000);
    EXPECT_TRUE(has(signedLine, "\"ok\":true")) << signedLine.value_or("");
    EXPECT_TRUE(has(signedLine, "Sign Mail Successful!"));

    auto all = ask(alice, "receipts " + key);
    ASSERT_TRUE(has(all, "\"ok\":true")) << all.value_or("");
    EXPECT_TRUE(has(all, "{\"to\":\"bob\",\"signed\":true,\"opinion\":\"read and agreed\""))
        << *all;
    EXPECT_FALSE(has(all,
                     "\"signTime\":0,\"message\":\"please sign\",\"attachments\":\"\","
                     "\"sendTime\":0"));
    EXPECT_TRUE(has(all, "{\"to\":\"carol\",\"signed\":false,\"opinion\":\"\",\"signTime\":0"));
    auto onlySigned = ask(alice, "receipts all signed");
    EXPECT_TRUE(has(onlySigned, "\"to\":\"bob\""));
    EXPECT_FALSE(has(onlySigned, "\"to\":\"carol\""));
    auto onlyUnsigned = ask(alice, "receipts all unsigned");
    EXPECT_TRUE(has(onlyUnsigned, "\"to\":\"carol\""));
    EXPECT_FALSE(has(onlyUnsigned, "\"to\":\"bob\""));

    EXPECT_TRUE(has(ask(alice, "receipts-delete " + key + " carol"), "\"ok\":true"));
    all = ask(alice, "receipts " + key);
    EXPECT_TRUE(has(all, "\"to\":\"bob\""));
    EXPECT_FALSE(has(all, "\"to\":\"carol\"")) << all.value_or("");

    // A mail that does not ask for a signature.
    auto plain = ask(alice, "send to=bob text=plain");
    std::string plainKey = test::jsonField(*plain, "key");
    ASSERT_TRUE(has(bob.waitForLine("\"mail-arrived\"", 20000), plainKey));
    EXPECT_TRUE(has(ask(bob, "sign " + plainKey + " fine"), "Email need not to be signed."));
    for (auto* p : {&alice, &bob, &carol}) {
        p->writeLine("quit");
        EXPECT_EQ(p->wait(), 0);
    }
}

// The directory stops answering: the synchronisation stays where it is, the local changes
// stay, nothing spins, and signing ends with a message at its deadline.
TEST_F(GroupsAcrossClients, DirectoryDownKeepsLocalChangesAndNeverSpins) {
    ManualClock clock(static_cast<int64_t>(std::time(nullptr)));
    ClientOptions opt;
    opt.programPath = "orvantel";
    opt.dataDir = dir.file("dave");
    opt.instancePort = test::freeLoopbackPort();
    opt.server = address;
    opt.language = UiLanguage::English;
    ClientSession s(clock, opt);
    ASSERT_EQ(s.start(), StartOutcome::Running);
    auto runUntil = [&](const std::function<bool()>& done) {
        for (int i = 0; i < 2000 && !done(); ++i) {
            s.runOnce(10);
            clock.advanceMillis(10);
        }
        return done();
    };
    bool created = false, loggedIn = false;
    s.createAccount("dave", "pw", "pw", [&](bool ok, const std::string&) { created = ok; });
    ASSERT_TRUE(runUntil([&] { return created; }));
    s.login("dave", "pw", false,
            [&](const LoginOutcome& o) { loggedIn = o.result == LoginFlow::Result::LoggedIn; });
    ASSERT_TRUE(runUntil([&] { return loggedIn; }));
    ASSERT_TRUE(runUntil([&] { return s.groups().stage() == 3; }));

    // A received mail that asks for a signature, as reception would store it.
    MailRecord r{};
    r.kind = MailKind::Inbox;
    r.key = 0x1234;
    r.created = static_cast<int32_t>(clock.nowSeconds());
    r.flags = MailFlags::signRequired;
    int m = s.tables().appendMail(r, "sign me");
    s.tables().appendReceivedRecipient(m, "dave", "erin");

    ASSERT_EQ(server.stop(), 0);
    EXPECT_TRUE(s.groups().createGroup("local", "kept", true));
    bool signDone = false, signOk = true;
    std::string signMessage;
    std::string refusal;
    ASSERT_TRUE(s.signing().sign(
        0x1234, "ok",
        [&](bool ok, const std::string& msg) {
            signDone = true;
            signOk = ok;
            signMessage = msg;
        },
        &refusal));
    // A minute of the clock in steps of 100 ms: each wait returns at once (the clock is
    // stepped), so count how often the session had something due.
    int services = 0;
    for (int i = 0; i < 600; ++i) {
        WaitSet w;
        s.waitSet(w);
        if (w.deadlineMs >= 0 && w.deadlineMs <= clock.nowMillis()) ++services;
        s.runOnce(0);
        clock.advanceMillis(100);
    }
    EXPECT_TRUE(signDone);
    EXPECT_FALSE(signOk);
    EXPECT_EQ(signMessage, "The directory server does not answer: the mail is not signed yet.");
    EXPECT_EQ(s.tables().mails[m].state & MailState::signedBit, 0);
    EXPECT_EQ(s.tables().settingString(SettingString::LastOpinion), "ok");
    EXPECT_LT(s.groups().stage(), 3);
    EXPECT_TRUE(s.groups().requestsPending());
    auto owned = s.groups().ownedGroups();
    ASSERT_EQ(owned.size(), 1u);
    EXPECT_EQ(owned[0].name, "local");
    EXPECT_EQ(owned[0].intro, "kept");
    // Retries are spaced: far fewer than one service per step.
    EXPECT_LT(services, 200);
    EXPECT_TRUE(s.shutdown());
}

}  // namespace
}  // namespace orv
