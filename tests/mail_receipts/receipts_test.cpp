// Receipt registration of sign-required mails against the real directory server on loopback:
// the records it leaves, how it gives up on a refusing, a dead and a silent directory without
// ever blocking, and how a client session and the headless tool run it.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>

#include "core/clock.h"
#include "directory/account.h"
#include "directory/directory_client.h"
#include "directory/request.h"
#include "mail/compose.h"
#include "mail/receipts.h"
#include "server/directory_harness.h"
#include "session/client_session.h"
#include "support/child_process.h"
#include "support/json_line.h"
#include "support/temp_dir.h"

namespace orv {
namespace {

using Wall = std::chrono::steady_clock;

int64_t wallMillisSince(Wall::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Wall::now() - t).count();
}

const std::string kNoAnswerEn =
    "Receipts could not be registered: the directory server does not answer.";
const std::string kNoAnswerZh = "无法登记签收：目录服务器没有响应。";

struct Drive {
    bool ended = false;
    int64_t longestStepMs = 0;  // wall clock
    int64_t elapsedMs = 0;      // manual clock
};

// Steps a registration to its end. Its sockets are waited on for real, at most quietMs; when
// no socket is under way, or nothing happened within quietMs, the manual clock jumps to its
// next deadline. `turn` runs between steps.
Drive drive(ReceiptRegistration& r, ManualClock& clock, SocketApi& api, int quietMs,
            const std::function<void()>& turn = {}) {
    Drive d;
    int64_t start = clock.nowMillis();
    auto wallStart = Wall::now();
    while (wallMillisSince(wallStart) < 30000) {
        auto t0 = Wall::now();
        bool done = r.step();
        d.longestStepMs = std::max(d.longestStepMs, wallMillisSince(t0));
        if (done) {
            d.ended = true;
            break;
        }
        if (turn) turn();
        std::vector<PollEntry> e;
        r.addPollEntries(e);
        int ready = e.empty() ? 0 : api.Poll(e, quietMs);
        int64_t due = r.nextDeadlineMillis();
        if (ready == 0 && due > clock.nowMillis()) clock.advanceMillis(due - clock.nowMillis());
    }
    d.elapsedMs = clock.nowMillis() - start;
    return d;
}

class Receipts : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server.start(dir.file("directory.sqlite")));
        live = "127.0.0.1:" + std::to_string(server.port());
        state.directoryServerAddress = live;
        for (auto [user, pw] : {std::pair{"alice", "pa"}, {"bob", "pb"}, {"carol", "pc"}}) {
            CreateAccountFlow f(client);
            ASSERT_TRUE(f.start(user, pw, pw));
            while (!f.step())
                waitFor(api, wall, f.exchange(), 200);
            ASSERT_TRUE(f.succeeded()) << user;
        }
        // The directory shows a sender's whole sign list only to the machine he is logged in
        // from.
        ASSERT_NE(client.exchangeBlocking(request::login("alice", "pa", "127.0.0.1:29998"))
                      .find("Login OK"),
                  std::string::npos);
        t.ensureMailStoreFolder();
        std::ofstream(dir.file("报告.txt")) << "report";
        std::ofstream(dir.file("b.bin")) << "bb";
    }

    // alice sends a sign-required mail with two attachments; its receipt plan.
    ReceiptPlan send(const std::string& to, UiLanguage lang = UiLanguage::English) {
        ComposeInput in;
        in.from = "alice";
        in.to = to;
        in.plainText = "请签收 the report";
        in.attachments = {dir.file("报告.txt"), dir.file("b.bin")};
        in.options = MailFlags::signRequired;
        ComposeState st;
        ComposeResult r = sendMail(t, st, in, lang);
        EXPECT_TRUE(r.ok && r.needsReceipts) << r.message;
        return planReceipts(t, r.mail, lang);
    }

    // What the directory lists for (alice, created), through the client's own sign-list machine.
    std::vector<SignRecord> listed(int32_t created) {
        std::vector<SignRecord> out;
        auto until = Wall::now() + std::chrono::seconds(10);
        while (client.listSigns("alice", created, false, out) == ListStatus::Pending &&
               Wall::now() < until)
            waitFor(api, wall, client.signListMachine(), 200);
        return out;
    }

    static std::vector<std::string> recipients(const std::vector<SignRecord>& rs) {
        std::vector<std::string> names;
        for (const auto& r : rs)
            names.push_back(r.recipient);
        std::sort(names.begin(), names.end());
        return names;
    }

    test::TempDir dir;
    test::DirectoryProcess server;
    std::string live;
    SystemClock wall;
    ManualClock manual{1'700'000'000};
    PosixSocketApi api;
    SessionState state;
    DirectoryClient client{api, wall, state};
    CoreTables t{manual, dir.file("recvfile")};
};

TEST_F(Receipts, EveryReceiverIsRegisteredWithTheMailsTexts) {
    // "Carol" as typed; the directory keeps its own spelling of the name.
    ReceiptPlan plan = send("bob,Carol");
    ASSERT_TRUE(plan.ok);
    int32_t created = plan.created;
    ReceiptRegistration r(client, manual, std::move(plan), "pa", UiLanguage::English);
    Drive d = drive(r, manual, api, 5000);
    ASSERT_TRUE(d.ended);
    EXPECT_TRUE(r.succeeded());
    EXPECT_EQ(r.message(), "");
    EXPECT_TRUE(r.pending().empty());

    auto rs = listed(created);
    EXPECT_EQ(recipients(rs), (std::vector<std::string>{"bob", "carol"}));
    for (const auto& s : rs) {
        EXPECT_EQ(s.attachments, "报告.txt,b.bin");
        EXPECT_EQ(s.message, "请签收 the report");
        EXPECT_EQ(s.opinion, "");
        EXPECT_EQ(s.mailTime, created);
        EXPECT_EQ(s.signTime, 0);
    }
}

TEST_F(Receipts, ARefusedReceiverEndsTheRegistrationLongBeforeTheSilenceLimit) {
    ReceiptPlan plan = send("bob,nobody", UiLanguage::Chinese);
    int32_t created = plan.created;
    ReceiptRegistration r(client, manual, plan, "pa", UiLanguage::Chinese);
    Drive d = drive(r, manual, api, 5000);
    ASSERT_TRUE(d.ended);
    EXPECT_FALSE(r.succeeded());
    // The directory answered: the message says it refused, and for whom.
    EXPECT_EQ(r.message(), "无法登记签收：目录服务器拒绝了以下收件人的签收登记：nobody。");
    EXPECT_EQ(r.pending(), std::vector<std::string>{"nobody"});
    EXPECT_LT(d.elapsedMs, ReceiptRegistration::kSilenceLimitMillis);
    EXPECT_EQ(recipients(listed(created)), std::vector<std::string>{"bob"});
}

TEST_F(Receipts, AStoppedDirectoryIsRetriedForAMinuteWithoutBlockingThenGivenUp) {
    ReceiptPlan plan = send("bob,carol");
    ASSERT_EQ(server.stop(), 0);  // nothing listens on its port any more
    ReceiptRegistration r(client, manual, plan, "pa", UiLanguage::English);
    auto wallStart = Wall::now();
    Drive d = drive(r, manual, api, 50);
    ASSERT_TRUE(d.ended);
    EXPECT_FALSE(r.succeeded());
    EXPECT_EQ(r.message(), kNoAnswerEn);
    EXPECT_EQ(r.pending(), (std::vector<std::string>{"bob", "carol"}));
    EXPECT_GE(d.elapsedMs, ReceiptRegistration::kSilenceLimitMillis);
    EXPECT_LE(d.elapsedMs, ReceiptRegistration::kSilenceLimitMillis + 1000);
    EXPECT_LT(d.longestStepMs, 200);
    // A minute of retries took no minute of real time: nothing waited inside a step.
    EXPECT_LT(wallMillisSince(wallStart), 10000);
    EXPECT_EQ(r.nextDeadlineMillis(), -1);
}

TEST_F(Receipts, ADirectoryThatAcceptsButNeverAnswersCannotHangIt) {
    int ls = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(ls, 16), 0);
    socklen_t len = sizeof a;
    ::getsockname(ls, reinterpret_cast<sockaddr*>(&a), &len);
    state.directoryServerAddress = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));

    std::vector<int> held;  // accepted and never answered
    auto acceptAll = [&] {
        for (int c; (c = ::accept4(ls, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;)
            held.push_back(c);
    };
    ReceiptRegistration r(client, manual, send("bob"), "pa", UiLanguage::English);
    Drive d = drive(r, manual, api, 20, acceptAll);
    acceptAll();
    ASSERT_TRUE(d.ended);
    EXPECT_FALSE(r.succeeded());
    EXPECT_EQ(r.message(), kNoAnswerEn);
    EXPECT_GE(d.elapsedMs, ReceiptRegistration::kSilenceLimitMillis);
    EXPECT_LE(d.elapsedMs, ReceiptRegistration::kSilenceLimitMillis + 1000);
    EXPECT_LT(d.longestStepMs, 200);
    // Each unanswered request was given up and sent again, spaced out rather than in a spin.
    EXPECT_GE(held.size(), 3u);
    EXPECT_LE(held.size(), 60u);
    for (int c : held)
        ::close(c);
    ::close(ls);
}

TEST_F(Receipts, ADirectoryBackWithinTheLimitStillGetsTheReceipts) {
    ReceiptPlan plan = send("bob,carol");
    int32_t created = plan.created;
    state.directoryServerAddress = "127.0.0.1:" + std::to_string(test::freeLoopbackPort());
    int64_t start = manual.nowMillis();
    ReceiptRegistration r(client, manual, std::move(plan), "pa", UiLanguage::English);
    Drive d = drive(r, manual, api, 2000, [&] {
        if (manual.nowMillis() - start >= 40000) state.directoryServerAddress = live;
    });
    ASSERT_TRUE(d.ended);
    EXPECT_TRUE(r.succeeded()) << r.message();
    EXPECT_GE(d.elapsedMs, 40000);
    EXPECT_EQ(recipients(listed(created)), (std::vector<std::string>{"bob", "carol"}));
}

// Never finishes; tells when it is destroyed.
class Endless final : public BackgroundTask {
  public:
    explicit Endless(bool& destroyed) : destroyed_(destroyed) {}
    ~Endless() override { destroyed_ = true; }
    bool step() override { return false; }
    void addPollEntries(std::vector<PollEntry>&) const override {}
    int64_t nextDeadlineMillis() const override { return -1; }

  private:
    bool& destroyed_;
};

// Done at its first step.
class Instant final : public BackgroundTask {
  public:
    bool step() override { return true; }
    void addPollEntries(std::vector<PollEntry>&) const override {}
    int64_t nextDeadlineMillis() const override { return -1; }
};

TEST_F(Receipts, ASessionRunsItsTasksFromItsOwnLoopAndDropsThemOnShutdown) {
    ClientOptions opt;
    opt.programPath = "orvantel";
    opt.dataDir = dir.file("alice");
    opt.instancePort = test::freeLoopbackPort();
    opt.server = live;
    opt.language = UiLanguage::English;
    ClientSession s(wall, opt);
    ASSERT_EQ(s.start(), StartOutcome::Running);

    ComposeInput in;
    in.from = "alice";
    in.to = "bob";
    in.plainText = "sign here";
    in.options = MailFlags::signRequired;
    ComposeState st;
    ComposeResult sent = sendMail(s.tables(), st, in, UiLanguage::English);
    ASSERT_TRUE(sent.ok);
    ReceiptPlan plan = planReceipts(s.tables(), sent.mail, UiLanguage::English);
    int32_t created = plan.created;

    int reported = 0, followUps = 0;
    bool ok = false;
    s.startTask(std::make_unique<ReceiptRegistration>(s.directory(), wall, std::move(plan), "pa",
                                                      UiLanguage::English),
                [&](BackgroundTask& task) {
                    ++reported;
                    ok = static_cast<ReceiptRegistration&>(task).succeeded();
                    // A task started from a report runs as well.
                    s.startTask(std::make_unique<Instant>(), [&](BackgroundTask&) { ++followUps; });
                });
    // The loop waits as long as the headless tool does: only the tasks' own sockets and
    // deadlines can end each wait early enough.
    auto wallStart = Wall::now();
    while (followUps == 0 && wallMillisSince(wallStart) < 15000)
        ASSERT_TRUE(s.runOnce(60000));
    EXPECT_LT(wallMillisSince(wallStart), 15000);
    EXPECT_EQ(reported, 1);
    EXPECT_EQ(followUps, 1);
    EXPECT_TRUE(ok);
    EXPECT_EQ(s.taskCount(), 0u);
    EXPECT_EQ(recipients(listed(created)), std::vector<std::string>{"bob"});

    bool destroyed = false, endlessReported = false;
    s.startTask(std::make_unique<Endless>(destroyed),
                [&](BackgroundTask&) { endlessReported = true; });
    s.runOnce(0);
    EXPECT_EQ(s.taskCount(), 1u);
    EXPECT_TRUE(s.shutdown());
    EXPECT_TRUE(destroyed);
    EXPECT_FALSE(endlessReported);
    EXPECT_EQ(s.taskCount(), 0u);
}

TEST_F(Receipts, HeadlessSendWithSignReportsTheRegistration) {
    test::ChildProcess alice;
    ASSERT_TRUE(test::startHeadlessUser(alice, dir.file("alice"), live, "alice", "pa", false));

    alice.writeLine("send to=bob,carol \"text=please sign\" sign");
    auto answer = alice.waitForLine("\"cmd\":\"send\"");
    ASSERT_TRUE(answer);
    std::string key = test::jsonField(*answer, "key");
    auto event = alice.waitForLine("\"event\":\"receipts\"", 15000);
    ASSERT_TRUE(event);
    EXPECT_EQ(test::jsonField(*event, "key"), key);
    EXPECT_NE(event->find("\"ok\":true"), std::string::npos) << *event;
    EXPECT_EQ(event->find("\"message\""), std::string::npos) << *event;

    // Without "sign" no registration runs.
    alice.writeLine("send to=bob text=plain");
    alice.writeLine("quit");
    for (;;) {
        auto line = alice.readLine();
        ASSERT_TRUE(line);
        EXPECT_EQ(line->find("receipts"), std::string::npos) << *line;
        if (line->find("\"event\":\"stopped\"") != std::string::npos) break;
    }
    EXPECT_EQ(alice.wait(), 0);
}

}  // namespace
}  // namespace orv
