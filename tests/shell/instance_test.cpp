// The single-instance channel in one process, and the headless client as real processes.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <thread>

#include <chrono>
#include <fstream>
#include <iterator>

#include "core/clock.h"
#include "session/client_session.h"
#include "session/instance_channel.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace orv {
namespace {

using test::ChildProcess;
using test::TempDir;

std::optional<std::string> serviceUntilLine(InstanceChannel& ch, const Clock& clock,
                                            int timeoutMs = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        std::vector<pollfd> fds;
        ch.addPollFds(fds);
        ::poll(fds.data(), fds.size(), 50);
        if (auto l = ch.service(clock.nowMillis())) return l;
    }
    return std::nullopt;
}

TEST(InstanceChannel, OnlyOneListenerAndTheForwardedLineArrivesWhole) {
    SystemClock clock;
    int port = test::freeLoopbackPort();
    InstanceChannel first, second;
    ASSERT_TRUE(first.open(port));
    EXPECT_FALSE(second.open(port));
    EXPECT_FALSE(second.valid());

    std::string line = R"("/p" "/tmp/one" "/tmp/two")";
    ASSERT_TRUE(forwardCommandLine(port, line));
    auto got = serviceUntilLine(first, clock);
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, line);
}

TEST(InstanceChannel, ALongLineIsCutAt2047Bytes) {
    SystemClock clock;
    int port = test::freeLoopbackPort();
    InstanceChannel ch;
    ASSERT_TRUE(ch.open(port));
    std::string line = "\"/p\" \"" + std::string(5000, 'x') + "\"";
    ASSERT_TRUE(forwardCommandLine(port, line));
    auto got = serviceUntilLine(ch, clock);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->size(), InstanceChannel::kMaxLine);
    EXPECT_EQ(*got, line.substr(0, InstanceChannel::kMaxLine));
}

TEST(InstanceChannel, ASilentSenderIsGivenUpAfterItsReadWindow) {
    ManualClock clock;
    int port = test::freeLoopbackPort();
    InstanceChannel ch;
    ASSERT_TRUE(ch.open(port));
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::send(fd, "\"/p\" \"/f\"", 9, 0), 9);
    // Accept and read what is there; the sender keeps the connection open.
    std::vector<pollfd> fds;
    ch.addPollFds(fds);
    ::poll(fds.data(), fds.size(), 2000);
    EXPECT_FALSE(ch.service(clock.nowMillis()));
    EXPECT_EQ(ch.nextDeadlineMillis(), clock.nowMillis() + InstanceChannel::kReadWindowMillis);
    clock.advanceMillis(InstanceChannel::kReadWindowMillis);
    auto got = ch.service(clock.nowMillis());
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, "\"/p\" \"/f\"");
    EXPECT_EQ(ch.nextDeadlineMillis(), -1);
    ::close(fd);
}

TEST(ClientSession, TwoSessionsInOneProcessKeepTheirOwnState) {
    ManualClock clock;
    TempDir dir;
    ClientOptions a, b;
    a.dataDir = dir.file("a");
    b.dataDir = dir.file("b");
    a.args = b.args = {"/o"};
    a.instancePort = b.instancePort = test::freeLoopbackPort();
    a.saveDebounceMillis = b.saveDebounceMillis = 3000;
    ClientSession sa(clock, a), sb(clock, b);
    ASSERT_EQ(sa.start(), StartOutcome::Running);
    ASSERT_EQ(sb.start(), StartOutcome::Running);
    EXPECT_TRUE(sa.instanceChannelValid());
    EXPECT_FALSE(sb.instanceChannelValid());

    sa.tables().contacts.append("bob");
    sa.service();
    EXPECT_EQ(sa.saver()->savesCompleted(), 0u);
    clock.advanceMillis(3000);
    sa.service();
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (sa.saver()->savesCompleted() == 0 && std::chrono::steady_clock::now() < end) {
        std::this_thread::yield();
    }
    EXPECT_EQ(sa.saver()->savesCompleted(), 1u);
    EXPECT_TRUE(std::filesystem::exists(sa.paths().configPath));
    EXPECT_FALSE(std::filesystem::exists(sb.paths().configPath));

    ASSERT_TRUE(sb.shutdown());
    ManualClock later;
    ClientSession again(later, b);
    ASSERT_EQ(again.start(), StartOutcome::Running);
    EXPECT_TRUE(again.loadReport().present);
    EXPECT_EQ(again.tables().contacts.count(), 0);
    ASSERT_TRUE(sa.shutdown());
}

TEST(ClientSession, LoggedInElsewhereEndsTheLoginAndTellsTheUser) {
    ManualClock clock;
    TempDir dir;
    ClientOptions o;
    o.dataDir = dir.path();
    o.args = {"/o"};
    o.language = UiLanguage::English;
    o.instancePort = test::freeLoopbackPort();
    ClientSession s(clock, o);
    ASSERT_EQ(s.start(), StartOutcome::Running);
    std::string told;
    s.onEvent = [&](const SessionEvent& e) {
        if (e.kind == EventKind::LoggedInElsewhere) told = e.text;
    };
    s.state().currentUser = "alice";
    s.service();
    EXPECT_EQ(s.state().currentUser, "alice");
    s.state().loggedInElsewhere = true;  // what the engine raises on command 20
    s.service();
    EXPECT_EQ(told, "This user login on another machine!");
    EXPECT_FALSE(s.state().loggedIn());
    EXPECT_FALSE(s.state().loggedInElsewhere);
    EXPECT_TRUE(s.shutdown());
}

TEST(HeadlessClient, SecondStartHandsItsFilesToTheFirstAndExitsZero) {
    TempDir dir;
    std::string port = std::to_string(test::freeLoopbackPort());
    ChildProcess first;
    ASSERT_TRUE(first.start(test::headlessProgram(),
                            {"--data-dir", dir.file("a"), "--instance-port", port}));
    auto started = first.waitForLine("\"started\"");
    ASSERT_TRUE(started);
    EXPECT_NE(started->find("\"state\":\"new\""), std::string::npos);
    EXPECT_NE(started->find("\"instance\":true"), std::string::npos);

    ChildProcess second;
    ASSERT_TRUE(second.start(
        test::headlessProgram(),
        {"--data-dir", dir.file("b"), "--instance-port", port, "/tmp/file one", "/tmp/file2"}));
    EXPECT_EQ(second.wait(), 0);
    // Nobody is logged in in the first instance, so the files are not attached anywhere.
    auto fwd = first.waitForLine("\"forwarded\"");
    ASSERT_TRUE(fwd);
    EXPECT_NE(fwd->find(R"("acted":false,"files":["/tmp/file one","/tmp/file2"])"),
              std::string::npos);

    // Without files a second start sends nothing and ends because the port is taken.
    ChildProcess third;
    ASSERT_TRUE(third.start(test::headlessProgram(),
                            {"--data-dir", dir.file("c"), "--instance-port", port}));
    EXPECT_EQ(third.wait(), 0);

    // With /o a further instance runs beside the first, without the channel.
    ChildProcess other;
    ASSERT_TRUE(other.start(test::headlessProgram(),
                            {"--data-dir", dir.file("d"), "--instance-port", port, "/o"}));
    auto o = other.waitForLine("\"started\"");
    ASSERT_TRUE(o);
    EXPECT_NE(o->find("\"instance\":false"), std::string::npos);

    for (ChildProcess* p : {&first, &other}) {
        p->kill(SIGTERM);
        EXPECT_TRUE(p->waitForLine("\"stopped\",\"saved\":true"));
        EXPECT_EQ(p->wait(), 0);
    }
    std::ifstream f(dir.file("a") + "/cfg.dat", std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    ASSERT_GE(bytes.size(), 8u);
    EXPECT_EQ(bytes.substr(0, 8), std::string("\x01\x00\x00\x00\xFD\x1A\x32\x01", 8));
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("a") + "/recvfile"));

    ChildProcess restarted;
    ASSERT_TRUE(restarted.start(test::headlessProgram(),
                                {"--data-dir", dir.file("a"), "--instance-port", port}));
    auto again = restarted.waitForLine("\"started\"");
    ASSERT_TRUE(again);
    EXPECT_NE(again->find("\"state\":\"loaded\""), std::string::npos);
    restarted.kill(SIGINT);
    EXPECT_EQ(restarted.wait(), 0);
}

}  // namespace
}  // namespace orv
