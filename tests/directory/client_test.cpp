// The directory client against the real directory server on a free loopback port, and
// against a scripted server for replies a real server does not send.
#include <gtest/gtest.h>

#include <netinet/tcp.h>

#include <atomic>
#include <thread>

#include "core/clock.h"
#include "directory/account.h"
#include "directory/directory_client.h"
#include "directory/request.h"
#include "net/codec.h"
#include "server/directory_harness.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace orv {
namespace {

class DirectoryClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server.start(dir.file("directory.sqlite")));
        state.language = UiLanguage::English;
        state.directoryServerAddress = "127.0.0.1:" + std::to_string(server.port());
    }

    bool createAccount(const std::string& user, const std::string& pw) {
        CreateAccountFlow f(client);
        if (!f.start(user, pw, pw)) return false;
        while (!f.step())
            waitFor(api, clock, f.exchange(), 200);
        return f.succeeded();
    }

    LoginFlow::Result login(const std::string& user, const std::string& pw,
                            const std::string& previous = "", const std::string& prevPw = "") {
        LoginFlow f(client, tables, state, [this] { ++engineResets; });
        f.start({user, pw, true, previous, prevPw, "10.9.8.7:29999"});
        while (f.step() == LoginFlow::Result::Running)
            waitFor(api, clock, f.exchange(), 200);
        lastMessages = f.messages();
        lastLoggedOutPrevious = f.loggedOutPrevious();
        if (f.result() == LoginFlow::Result::LoggedIn) makeLoginCurrent(tables, state, user, pw);
        return f.result();
    }

    void admin(const std::vector<std::string>& args) {
        test::ChildProcess p;
        std::vector<std::string> a = {"admin", "--db", dir.file("directory.sqlite")};
        a.insert(a.end(), args.begin(), args.end());
        ASSERT_TRUE(p.start(ORV_DIRECTORY_EXE, a));
        ASSERT_EQ(p.wait(), 0);
    }

    AddressAnswer lookup(const std::string& user) {
        for (;;) {
            AddressAnswer a = client.askAddress(user);
            if (a.kind != AddressAnswer::Failed || !client.lookupMachine().busy()) return a;
            waitFor(api, clock, client.lookupMachine(), 200);
        }
    }

    test::TempDir dir;
    test::DirectoryProcess server;
    SystemClock clock;
    PosixSocketApi api;
    SessionState state;
    CoreTables tables{clock};
    DirectoryClient client{api, clock, state};
    int engineResets = 0;
    std::vector<std::string> lastMessages;
    bool lastLoggedOutPrevious = false;
};

TEST_F(DirectoryClientTest, AccountsAreValidatedBeforeAnythingIsSent) {
    CreateAccountFlow f(client);
    EXPECT_FALSE(f.start("al_ice", "pw", "pw"));
    EXPECT_EQ(f.message(), "Wrong user name!");
    EXPECT_FALSE(f.sentRequest());
    EXPECT_FALSE(f.start("alice", "p w", "p w"));
    EXPECT_EQ(f.message(), "Wrong password!");
    EXPECT_FALSE(f.start("alice", "pw", "pv"));
    EXPECT_EQ(f.message(), "Error confirm passwd!");

    EXPECT_TRUE(createAccount("alice", "secret1"));
    CreateAccountFlow again(client);
    ASSERT_TRUE(again.start("Alice", "x", "x"));
    while (!again.step())
        waitFor(api, clock, again.exchange(), 200);
    EXPECT_FALSE(again.succeeded());
    EXPECT_EQ(again.message(), "User exist,please input another user name!");

    ChangePasswordFlow bad(client);
    EXPECT_FALSE(bad.start("alice", "secret1", "newpass", "newpasz"));
    EXPECT_EQ(bad.message(), "Input password error!");
    EXPECT_FALSE(bad.sentRequest());
    ChangePasswordFlow wrongOld(client);
    ASSERT_TRUE(wrongOld.start("alice", "nope", "newpass", "newpass"));
    while (!wrongOld.step())
        waitFor(api, clock, wrongOld.exchange(), 200);
    EXPECT_EQ(wrongOld.message(), "Fail to Modify Password.");
    ChangePasswordFlow change(client);
    ASSERT_TRUE(change.start("alice", "secret1", "newpass", "newpass"));
    while (!change.step())
        waitFor(api, clock, change.exchange(), 200);
    EXPECT_EQ(change.message(), "Modify Password success.");
    EXPECT_EQ(login("alice", "secret1"), LoginFlow::Result::Refused);
    EXPECT_EQ(lastMessages, std::vector<std::string>{"Error username or password!"});
    EXPECT_EQ(login("alice", "newpass"), LoginFlow::Result::LoggedIn);
}

TEST_F(DirectoryClientTest, LoginFlowsAndAddressLookups) {
    ASSERT_TRUE(createAccount("alice", "pa"));
    ASSERT_TRUE(createAccount("bob", "pb"));

    EXPECT_EQ(login("alice", "pa"), LoginFlow::Result::LoggedIn);
    EXPECT_FALSE(lastLoggedOutPrevious);  // first login of the run
    EXPECT_EQ(engineResets, 1);
    EXPECT_EQ(state.currentUser, "alice");
    EXPECT_EQ(tables.savedLogin.toVector(), (std::vector<std::string>{"alice", "pa", ""}));
    EXPECT_GE(tables.shareFolderPaths.find("/alice/"), 0);
    EXPECT_EQ(tables.addressCacheNames.count(), 0);  // emptied after a successful login

    AddressAnswer a = lookup("alice");
    EXPECT_EQ(a.kind, AddressAnswer::Found);
    EXPECT_EQ(a.address, "10.9.8.7:29999");
    EXPECT_EQ(lookup("bob").kind, AddressAnswer::Empty);  // never logged in
    EXPECT_EQ(lookup("nobody").kind, AddressAnswer::NoSuchUser);

    // The same user again: no logout. Another user: the first is logged out.
    EXPECT_EQ(login("ALICE", "pa", "alice", "pa"), LoginFlow::Result::LoggedIn);
    EXPECT_FALSE(lastLoggedOutPrevious);
    EXPECT_EQ(login("bob", "pb", "alice", "pa"), LoginFlow::Result::LoggedIn);
    EXPECT_TRUE(lastLoggedOutPrevious);
    EXPECT_EQ(lookup("alice").kind, AddressAnswer::Empty);
    EXPECT_EQ(lookup("bob").kind, AddressAnswer::Found);

    // The address lookup feeds resolveUser and its 20-second cache.
    ResolveResult r =
        tables.resolveUser("bob", [this](std::string_view n) { return lookup(std::string(n)); });
    EXPECT_EQ(r.code, ResolveCode::FreshWithPort);
    EXPECT_EQ(r.host, "10.9.8.7");
    EXPECT_EQ(r.port, 29999);
    r = tables.resolveUser("bob", [](std::string_view) { return AddressAnswer{}; });
    EXPECT_EQ(r.code, ResolveCode::CachedWithPort);

    admin({"set-mode", "bob", "warn"});
    EXPECT_EQ(login("bob", "pb", "bob", "pb"), LoginFlow::Result::LoggedIn);
    ASSERT_EQ(lastMessages.size(), 1u);
    EXPECT_NE(lastMessages[0].find("These account will be closed"), std::string::npos);
    EXPECT_EQ(state.connectMode, 0);
    admin({"set-mode", "bob", "relay"});
    EXPECT_EQ(login("bob", "pb", "bob", "pb"), LoginFlow::Result::LoggedIn);
    EXPECT_EQ(state.connectMode, 1);

    LogoutFlow out(client);
    out.start("bob", "pb");
    while (!out.step())
        waitFor(api, clock, out.exchange(), 200);
    EXPECT_TRUE(out.succeeded());
    EXPECT_EQ(out.requestsSent(), 1);
    LogoutFlow wrong(client);
    wrong.start("bob", "wrong");
    while (!wrong.step())
        waitFor(api, clock, wrong.exchange(), 200);
    EXPECT_FALSE(wrong.succeeded());
    EXPECT_EQ(wrong.requestsSent(), 3);
}

TEST_F(DirectoryClientTest, GroupAndSignOperationsEndToEnd) {
    ASSERT_TRUE(createAccount("carol", "pc"));
    ASSERT_TRUE(createAccount("dave", "pd"));
    auto ex = [this](const std::string& q) { return client.exchangeBlocking(q); };
    // Requests without a password count only from the machine the user is logged in from.
    ASSERT_NE(ex(request::login("dave", "pd", "127.0.0.1:29998")).find("Login OK"),
              std::string::npos);
    std::string group = toWire("读书会");
    EXPECT_EQ(
        judgeGroupPublish(ex(request::insertGroup("carol", "pc", group, toWire("每周"), "c", 1))),
        Outcome::Success);
    EXPECT_EQ(judgeMembership(ex(request::insertGroupMember("carol", "pc", group, "carol", 1))),
              Outcome::Success);
    EXPECT_EQ(judgeMembership(ex(request::insertGroupMember("carol", "", group, "dave", 0))),
              Outcome::Success);
    EXPECT_EQ(judgeMembership(ex(request::insertGroupMember("carol", "bad", group, "dave", 1))),
              Outcome::Refused);

    std::vector<GroupListRecord> recs;
    ListStatus s;
    while ((s = client.listMyGroups("dave", recs)) == ListStatus::Pending)
        waitFor(api, clock, client.groupListMachine(), 200);
    ASSERT_EQ(s, ListStatus::Done);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].first, "carol");
    EXPECT_EQ(recs[0].second, "读书会");
    EXPECT_EQ(readMemberState(recs[0].state), MemberState::Pending);
    while ((s = client.listGroupMembers("carol", "", recs)) == ListStatus::Pending)
        waitFor(api, clock, client.groupListMachine(), 200);
    EXPECT_EQ(recs.size(), 2u);

    std::string body;
    replyBody(ex(request::listPublicGroups("c")), body);
    auto pub = readPublicGroups(fromWire(body));
    ASSERT_EQ(pub.size(), 1u);
    EXPECT_EQ(pub[0].intro, "每周");

    EXPECT_TRUE(
        judgeSignInsert(ex(request::insertSign("carol", "pc", "dave", "a.txt", "hi", 1700000000))));
    EXPECT_TRUE(judgeSignUpdate(
        ex(request::updateSign("carol", "", "dave", "pd", 1700000000, 1700000100, "ok", ""))));
    std::vector<SignRecord> signs;
    while ((s = client.listSigns("carol", 1700000000, true, signs)) == ListStatus::Pending)
        waitFor(api, clock, client.signListMachine(), 200);
    ASSERT_EQ(signs.size(), 1u);
    EXPECT_EQ(signs[0].recipient, "dave");
    EXPECT_EQ(signs[0].opinion, "ok");
    EXPECT_NE(signs[0].signTime, 0);

    EXPECT_TRUE(judgeDelete(ex(request::deleteGroup("carol", "pc", group))));
    EXPECT_TRUE(judgeDelete(ex(request::deleteGroupMembers("carol", "pc"))));
}

// A one-connection-at-a-time server that answers with scripted segments.
class ScriptedServer {
  public:
    explicit ScriptedServer(std::vector<std::string> segments, bool answer = true)
        : segments_(std::move(segments)), answer_(answer) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        ::listen(fd_, 16);
        thread_ = std::thread([this] { run(); });
    }
    ~ScriptedServer() {
        stop_ = true;
        ::shutdown(fd_, SHUT_RDWR);
        thread_.join();
        ::close(fd_);
        for (int c : held_)
            ::close(c);
    }
    int port() const { return port_; }
    int connections() const { return connections_; }

  private:
    void run() {
        while (!stop_) {
            int c = ::accept(fd_, nullptr, nullptr);
            if (c < 0) return;
            ++connections_;
            std::string req;
            char b[4096];
            while (req.find("\r\n\r\n") == std::string::npos) {
                ssize_t n = ::recv(c, b, sizeof b, 0);
                if (n <= 0) break;
                req.append(b, static_cast<size_t>(n));
            }
            if (!answer_) {
                held_.push_back(c);  // never answers, never closes
                continue;
            }
            int one = 1;
            ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            for (size_t i = 0; i < segments_.size(); ++i) {
                ::send(c, segments_[i].data(), segments_[i].size(), 0);
                // Separate segments, as a slow server or network would deliver them.
                if (i + 1 < segments_.size())
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            ::close(c);
        }
    }
    std::vector<std::string> segments_;
    bool answer_;
    int fd_ = -1, port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::vector<int> held_;
    std::thread thread_;
};

struct ScriptedFixture : ::testing::Test {
    SystemClock clock;
    PosixSocketApi api;
    SessionState state;
    CoreTables tables{clock};
    DirectoryClient client{api, clock, state};
    void point(int port) {
        state.language = UiLanguage::English;
        state.directoryServerAddress = "127.0.0.1:" + std::to_string(port);
    }
};

TEST_F(ScriptedFixture, BothLoginWordsInOneReplyCountAsRefused) {
    ScriptedServer s({"HTTP/1.1 200 OK\r\n\r\nLogin OK\r\nLogin Error"});
    point(s.port());
    LoginFlow f(client, tables, state, {});
    f.start({"alice", "pw", false, "", "", "1.2.3.4:29999"});
    while (f.step() == LoginFlow::Result::Running)
        waitFor(api, clock, f.exchange(), 200);
    EXPECT_EQ(f.result(), LoginFlow::Result::Refused);
    // Even a refusal tells the address the directory knows us by.
    EXPECT_EQ(tables.cachedAddress("alice"), std::optional<std::string>("1.2.3.4:29999"));
}

TEST_F(ScriptedFixture, AReplySplitAcrossSegmentsIsReadWhole) {
    ScriptedServer s({"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n10.0.0.", "5:30001"});
    point(s.port());
    AddressAnswer a;
    for (;;) {
        a = client.askAddress("bob");
        if (a.kind != AddressAnswer::Failed || !client.lookupMachine().busy()) break;
        waitFor(api, clock, client.lookupMachine(), 200);
    }
    EXPECT_EQ(a.kind, AddressAnswer::Found);
    EXPECT_EQ(a.address, "10.0.0.5:30001");
    std::string reply = client.exchangeBlocking(request::logout("a", "b"));
    EXPECT_EQ(reply, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n10.0.0.5:30001");
}

TEST_F(ScriptedFixture, AnUnansweredLoginTriesThreeTimesThenSaysSo) {
    ScriptedServer s({});  // accepts, reads, closes without a word
    point(s.port());
    LoginFlow f(client, tables, state, {});
    f.start({"alice", "pw", false, "", "", "1.2.3.4:29999"});
    while (f.step() == LoginFlow::Result::Running)
        waitFor(api, clock, f.exchange(), 200);
    EXPECT_EQ(f.result(), LoginFlow::Result::NoAnswer);
    EXPECT_EQ(f.attempts(), 3);
    EXPECT_EQ(s.connections(), 3);
    EXPECT_EQ(f.messages(),
              std::vector<std::string>{"Can't access Orvantel server, Please check network!"});
    EXPECT_FALSE(tables.cachedAddress("alice"));
}

TEST(AddressLookupLimit, GivesUpAfterEightSecondsAndTakeOverReplacesTheName) {
    ManualClock clock;
    PosixSocketApi api;
    ScriptedServer s({}, /*answer=*/false);
    AddressLookup lookup(api, clock);
    std::string server = "127.0.0.1:" + std::to_string(s.port()), out;
    EXPECT_EQ(lookup.lookup(server, "h", "bob", false, out), LookupStatus::Pending);
    EXPECT_TRUE(lookup.busy());
    // Another name without the take-over flag waits for the lookup in progress.
    EXPECT_EQ(lookup.lookup(server, "h", "carol", false, out), LookupStatus::Pending);
    EXPECT_EQ(lookup.name(), "bob");
    clock.advanceSeconds(8);
    EXPECT_EQ(lookup.lookup(server, "h", "bob", false, out), LookupStatus::Pending);
    EXPECT_TRUE(lookup.busy());
    clock.advanceSeconds(1);
    EXPECT_EQ(lookup.lookup(server, "h", "bob", false, out), LookupStatus::Pending);
    EXPECT_FALSE(lookup.busy());

    EXPECT_EQ(lookup.lookup(server, "h", "bob", false, out), LookupStatus::Pending);
    EXPECT_EQ(lookup.lookup(server, "h", "carol", true, out), LookupStatus::Pending);
    EXPECT_EQ(lookup.name(), "carol");
}

// The receiver a compose window waits on is looked up at once, even while a lookup for somebody
// else is under way; any other caller waits for the one under way.
TEST_F(DirectoryClientTest, AWantedLookupTakesOverOneUnderWay) {
    ASSERT_TRUE(createAccount("alice", "pa"));
    ASSERT_EQ(login("alice", "pa"), LoginFlow::Result::LoggedIn);
    // Bob's lookup goes to a directory that accepts and never answers: it stays under way.
    const std::string real = state.directoryServerAddress;
    ScriptedServer silent({}, /*answer=*/false);
    state.directoryServerAddress = "127.0.0.1:" + std::to_string(silent.port());
    EXPECT_EQ(client.askAddress("bob").kind, AddressAnswer::Failed);
    ASSERT_TRUE(client.lookupMachine().busy());
    // Only the user it is busy with waits on its socket.
    std::vector<PollEntry> forBob, forAlice;
    client.addAddressWaits("BOB", forBob);
    client.addAddressWaits("alice", forAlice);
    EXPECT_EQ(forBob.size(), 1u);
    EXPECT_TRUE(forAlice.empty());
    state.directoryServerAddress = real;
    EXPECT_EQ(client.askAddress("alice").kind, AddressAnswer::Failed);  // waits its turn
    AddressAnswer a;
    for (int i = 0; i < 100; ++i) {
        a = client.askAddress("alice", /*takeOver=*/true);
        if (a.kind != AddressAnswer::Failed) break;
        waitFor(api, clock, client.lookupMachine(), 200);
    }
    EXPECT_EQ(a.kind, AddressAnswer::Found);
    EXPECT_EQ(a.address, "10.9.8.7:29999");
}

}  // namespace
}  // namespace orv
