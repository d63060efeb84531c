// Nothing a client acknowledged is lost when it is killed, and a mail finds its receiver again
// soon after it is back: headless client processes on loopback with the real directory server,
// killed with SIGKILL at the moments that matter.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <thread>

#include "server/directory_harness.h"
#include "support/child_process.h"
#include "support/json_line.h"
#include "support/temp_dir.h"

namespace orv {
namespace {

std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

class DurableMail : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server.start(dir.file("directory.sqlite")));
        address = "127.0.0.1:" + std::to_string(server.port());
    }
    void startClient(test::ChildProcess& p, const std::string& user, bool create,
                     const std::vector<std::string>& extra = {}) {
        ASSERT_TRUE(
            test::startHeadlessUser(p, dir.file(user), address, user, "pw" + user, create, extra));
    }
    // The port the client's peer listener is on, from its status; -1 when it does not say.
    int peerPort(test::ChildProcess& p) {
        p.writeLine("status");
        auto line = p.waitForLine("\"cmd\":\"status\"");
        size_t at = line ? line->find("\"peerPort\":") : std::string::npos;
        return at == std::string::npos ? -1 : std::atoi(line->c_str() + at + 11);
    }
    // Sends a mail and returns its key.
    std::string send(test::ChildProcess& from, const std::string& to, const std::string& text) {
        from.writeLine("send to=" + to + " text=" + text);
        auto line = from.waitForLine("\"cmd\":\"send\"");
        return line ? test::jsonField(*line, "key") : std::string();
    }
    // Waits until the receiver has announced every one of keys; false at the deadline.
    bool arrives(test::ChildProcess& p, std::set<std::string> keys,
                 std::chrono::steady_clock::time_point deadline) {
        while (!keys.empty()) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            auto line = p.waitForLine("\"mail-arrived\"", static_cast<int>(left.count()));
            if (!line) return false;
            keys.erase(test::jsonField(*line, "key"));
        }
        return true;
    }
    // The keys a `list` answer names.
    std::set<std::string> listKeys(test::ChildProcess& p, const std::string& view) {
        p.writeLine("list " + view);
        auto line = p.waitForLine("\"cmd\":\"list\"");
        std::set<std::string> keys;
        if (!line) return keys;
        for (size_t at = line->find("\"key\":\""); at != std::string::npos;
             at = line->find("\"key\":\"", at + 1))
            keys.insert(line->substr(at + 7, line->find('"', at + 7) - at - 7));
        return keys;
    }
    test::TempDir dir;
    test::DirectoryProcess server;
    std::string address;
};

TEST_F(DurableMail, ReceiverKilledAsSoonAsAllAreSentHoldsEveryMail) {
    test::ChildProcess bob, alice;
    startClient(bob, "bob", true);
    startClient(alice, "alice", true);
    // A mail may be done before the next is even sent: every line is looked at, so no
    // "delivery-done" is passed over while waiting for a send's answer.
    std::set<std::string> sent, done;
    auto take = [&](const std::string& line) {
        if (line.find("\"delivery-done\"") != std::string::npos)
            done.insert(test::jsonField(line, "key"));
    };
    for (int i = 0; i < 20; ++i) {
        alice.writeLine("send to=bob text=mail" + std::to_string(i));
        for (;;) {
            auto line = alice.readLine();
            ASSERT_TRUE(line);
            take(*line);
            if (line->find("\"cmd\":\"send\"") == std::string::npos) continue;
            sent.insert(test::jsonField(*line, "key"));
            break;
        }
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (done.size() < sent.size()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        auto line = alice.readLine(static_cast<int>(std::max<int64_t>(0, left.count())));
        ASSERT_TRUE(line) << done.size() << " of " << sent.size() << " delivered";
        take(*line);
    }
    // Every one is Sent on alice's side: bob dies at once, long before a debounced save.
    bob.kill(SIGKILL);
    bob.wait();
    EXPECT_EQ(listKeys(alice, "sent"), sent);

    test::ChildProcess bob2;
    startClient(bob2, "bob", false);
    EXPECT_EQ(listKeys(bob2, "in"), sent);
    for (auto* p : {&alice, &bob2}) {
        p->writeLine("quit");
        EXPECT_EQ(p->wait(), 0);
    }
}

TEST_F(DurableMail, SenderKilledSoonAfterSendKeepsTheMailAndTheReceiverEndsByteIdentical) {
    std::string big = dir.file("big.bin");
    {
        std::mt19937 g(3);
        std::string s(4 * 1024 * 1024 + 3, '\0');
        for (auto& c : s)
            c = static_cast<char>(g());
        std::ofstream(big, std::ios::binary) << s;
    }
    test::ChildProcess bob, alice;
    startClient(bob, "bob", true);
    startClient(alice, "alice", true);
    // 512 kB/s, so the kill lands in the middle of the file.
    alice.writeLine("set 13 512");
    ASSERT_TRUE(alice.waitForLine("\"cmd\":\"set\""));
    alice.writeLine("send to=bob text=big file=" + big);
    auto line = alice.waitForLine("\"cmd\":\"send\"");
    ASSERT_TRUE(line);
    std::string key = test::jsonField(*line, "key");
    // Not a wait for anything: the crash is meant to come 0.7 s after Send, midway through the
    // file, whatever state the sender reached by then.
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    alice.kill(SIGKILL);
    alice.wait();

    test::ChildProcess alice2;
    startClient(alice2, "alice", false);
    std::set<std::string> waiting = listKeys(alice2, "out");
    std::set<std::string> sentList = listKeys(alice2, "sent");
    EXPECT_TRUE(waiting.count(key) || sentList.count(key)) << "the sent mail was forgotten";
    ASSERT_TRUE(bob.waitForLine("\"files-complete\"", 60000));
    ASSERT_TRUE(alice2.waitForLine("\"delivery-done\"", 30000));
    EXPECT_EQ(readFile(dir.file("bob") + "/recvfile/big.bin"), readFile(big));
    for (auto* p : {&alice2, &bob}) {
        p->writeLine("quit");
        EXPECT_EQ(p->wait(), 0);
    }
}

// Killed and started again on another port: a mail sent while it was away and one sent after it
// is back both reach it within 30 s of its return, though the sender's first tries go to the
// old port and the directory still has the old address for a while.
TEST_F(DurableMail, ReceiverBackOnANewPortGetsNewMailWithinThirtySeconds) {
    test::ChildProcess bob, alice;
    int oldPort = test::freeLoopbackPort();
    startClient(bob, "bob", true, {"--peer-port", std::to_string(oldPort)});
    startClient(alice, "alice", true);
    std::string first = send(alice, "bob", "before");
    ASSERT_TRUE(arrives(bob, {first}, std::chrono::steady_clock::now() + std::chrono::seconds(30)));
    oldPort = peerPort(bob);
    bob.kill(SIGKILL);
    bob.wait();
    std::string away = send(alice, "bob", "away");
    ASSERT_FALSE(away.empty());

    int newPort = test::freeLoopbackPort();
    while (newPort == oldPort)
        newPort = test::freeLoopbackPort();
    test::ChildProcess bob2;
    startClient(bob2, "bob", false, {"--peer-port", std::to_string(newPort)});
    auto back = std::chrono::steady_clock::now();
    ASSERT_NE(peerPort(bob2), oldPort);
    std::string after = send(alice, "bob", "after");
    EXPECT_TRUE(arrives(bob2, {away, after}, back + std::chrono::seconds(30)));
    for (auto* p : {&alice, &bob2}) {
        p->writeLine("quit");
        EXPECT_EQ(p->wait(), 0);
    }
}

// Connections that never say anything hold no peer up: with 30 of them open on the receiver's
// port, a mail still arrives within 15 s.
TEST_F(DurableMail, ThirtyIdleConnectionsDoNotHoldUpAMail) {
    test::ChildProcess bob, alice;
    startClient(bob, "bob", true);
    startClient(alice, "alice", true);
    int port = peerPort(bob);
    ASSERT_GT(port, 0);
    std::vector<int> idle;
    for (int i = 0; i < 30; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        idle.push_back(fd);
    }
    auto sentAt = std::chrono::steady_clock::now();
    std::string key = send(alice, "bob", "through");
    EXPECT_TRUE(arrives(bob, {key}, sentAt + std::chrono::seconds(15)));
    for (int fd : idle)
        ::close(fd);
    for (auto* p : {&alice, &bob}) {
        p->writeLine("quit");
        EXPECT_EQ(p->wait(), 0);
    }
}

}  // namespace
}  // namespace orv
