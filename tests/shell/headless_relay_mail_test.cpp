// Mail between two clients that cannot be reached (each refuses its own listener), through a
// relay client, as headless processes with the real directory server: three attachments of 1 to
// 50 MiB arrive byte-identical both ways; the relay is killed (SIGKILL) in the middle of one
// transfer and started again, and the transfer resumes; the relay's queue never grows past its
// cap and passes on no more than its throughput cap (--relay-limit) allows; nothing of what
// passed lands in the relay's own Inbox.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "engine/relay.h"
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

void writeRandom(const std::string& path, size_t n, unsigned seed) {
    std::mt19937_64 g(seed);
    std::string s(n, '\0');
    for (size_t i = 0; i + 8 <= n; i += 8) {
        uint64_t x = g();
        std::memcpy(s.data() + i, &x, 8);
    }
    for (size_t i = n - n % 8; i < n; ++i)
        s[i] = static_cast<char>(g());
    std::ofstream(path, std::ios::binary) << s;
}

long long firstNumber(const std::string& line, const std::string& field) {
    size_t p = line.find("\"" + field + "\":");
    return p == std::string::npos ? -1 : std::atoll(line.c_str() + p + field.size() + 3);
}

class HeadlessRelayMail : public ::testing::Test {
  protected:
    void SetUp() override {
        db = dir.file("directory.sqlite");
        ASSERT_TRUE(server.start(db, {"--reach-timeout-ms", "2000"}));
        address = "127.0.0.1:" + std::to_string(server.port());
        for (const char* u : {"hub", "amy", "bea"}) {
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
    void startUnreachable(test::ChildProcess& p, const std::string& user) {
        start(p, user, {"--refuse-listener"});
        ASSERT_TRUE(p.waitForLine("\"event\":\"relay-link\",\"linked\":true", 30000)) << user;
        // Whatever their size, a mail's files are fetched at once.
        p.writeLine("set 18 1000000");
        ASSERT_TRUE(p.waitForLine("\"cmd\":\"set\""));
    }
    // Bytes of the first incomplete file of a received mail, from a show answer.
    static long long received(test::ChildProcess& p, const std::string& key) {
        p.writeLine("show " + key);
        auto l = p.waitForLine("\"cmd\":\"show\"");
        if (!l) return -1;
        long long sum = 0;
        for (size_t at = l->find("\"done\":"); at != std::string::npos;
             at = l->find("\"done\":", at + 1))
            sum += std::atoll(l->c_str() + at + 7);
        return sum;
    }
    // The relay's queued bytes, from its status; -1 when not shown.
    static long long relayQueued(test::ChildProcess& hub) {
        hub.writeLine("status");
        auto l = hub.waitForLine("\"cmd\":\"status\"");
        return l ? firstNumber(*l, "queuedBytes") : -1;
    }
    std::string send(test::ChildProcess& from, const std::string& to,
                     const std::vector<std::string>& files) {
        std::string cmd = "send to=" + to + " text=files";
        for (const auto& f : files)
            cmd += " file=" + f;
        from.writeLine(cmd);
        auto sent = from.waitForLine("\"cmd\":\"send\"");
        return sent ? test::jsonField(*sent, "key") : std::string();
    }
    static bool waitComplete(test::ChildProcess& p, const std::string& key, int ms) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            end - std::chrono::steady_clock::now())
                            .count();
            if (left <= 0) return false;
            auto l = p.waitForLine("\"files-complete\"", static_cast<int>(left));
            if (!l) return false;
            if (test::jsonField(*l, "key") == key) return true;
        }
    }

    test::TempDir dir;
    test::DirectoryProcess server;
    std::string db, address;
};

TEST_F(HeadlessRelayMail, ThreeFilesBothWaysThroughARelayKilledMidway) {
    const std::vector<std::pair<std::string, size_t>> sizes = {
        {"one.bin", 1024 * 1024 + 3},
        {"seventeen.bin", 17 * 1024 * 1024 + 5},
        {"fifty.bin", 50 * 1024 * 1024}};
    std::vector<std::string> files;
    unsigned seed = 1;
    for (const auto& [name, size] : sizes) {
        files.push_back(dir.file(name));
        writeRandom(files.back(), size, seed++);
    }
    const long long total = 68 * 1024 * 1024 + 8;

    test::ChildProcess hub, amy, bea;
    // The first relay passes on at most 1024 kB/s; its successor has no cap.
    const double capBytesPerSecond = 1024 * 1024;
    start(hub, "hub", {"--relay-limit", "1024"});
    startUnreachable(amy, "amy");
    startUnreachable(bea, "bea");

    // amy to bea; the relay is killed once a fifth has arrived, and started again.
    std::string key = send(amy, "bea", files);
    ASSERT_FALSE(key.empty());
    ASSERT_TRUE(bea.waitForLine("\"mail-arrived\"", 30000));
    long long maxQueued = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    auto t0 = std::chrono::steady_clock::now();
    long long got0 = received(bea, key), got = 0;
    while ((got = received(bea, key)) < total / 5 && std::chrono::steady_clock::now() < deadline) {
        maxQueued = std::max(maxQueued, relayQueued(hub));
        bea.waitForLine("never", 100);
    }
    ASSERT_GE(got, total / 5);
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    double rate = static_cast<double>(got - got0) / secs;
    RecordProperty("capped_rate_bytes_per_second", static_cast<int>(rate));
    // The cap holds (a little over it for what one send step may pass beyond the meter).
    EXPECT_LE(rate, capBytesPerSecond * 1.25);
    ASSERT_LT(got, total) << "the transfer ended before the relay could be killed";
    hub.kill(SIGKILL);
    hub.wait();
    test::ChildProcess hub2;
    start(hub2, "hub");
    ASSERT_TRUE(waitComplete(bea, key, 300000));
    long long resumed = received(bea, key);
    EXPECT_EQ(resumed, total);

    // And back, bea to amy, through the restarted relay.
    std::string back = send(bea, "amy", files);
    ASSERT_TRUE(amy.waitForLine("\"mail-arrived\"", 30000));
    while (!waitComplete(amy, back, 1000)) {
        maxQueued = std::max(maxQueued, relayQueued(hub2));
        ASSERT_LT(std::chrono::steady_clock::now(), deadline + std::chrono::seconds(300));
    }
    for (size_t i = 0; i < files.size(); ++i) {
        std::string original = readFile(files[i]);
        EXPECT_TRUE(readFile(dir.file("bea") + "/recvfile/" + sizes[i].first) == original)
            << sizes[i].first << " amy to bea";
        EXPECT_TRUE(readFile(dir.file("amy") + "/recvfile/" + sizes[i].first) == original)
            << sizes[i].first << " bea to amy";
    }
    // The relay's buffer stays within its hard limit.
    EXPECT_GE(maxQueued, 0) << "the relay's status shows no queue";
    EXPECT_LE(maxQueued, static_cast<long long>(kRelayHardLimit));
    // The relay keeps nothing of what passed through it.
    hub2.writeLine("list in");
    auto inbox = hub2.waitForLine("\"cmd\":\"list\"");
    ASSERT_TRUE(inbox);
    EXPECT_NE(inbox->find("\"rows\":[]"), std::string::npos) << *inbox;
    std::error_code ec;
    for (const auto& [name, size] : sizes)
        EXPECT_FALSE(std::filesystem::exists(dir.file("hub") + "/recvfile/" + name, ec)) << name;
    for (auto* p : {&hub2, &amy, &bea}) {
        p->writeLine("quit");
        EXPECT_EQ(p->wait(), 0);
    }
}

}  // namespace
}  // namespace orv
