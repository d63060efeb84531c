// Mail between headless client processes on loopback, with the real directory server.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "core/random.h"
#include "server/directory_harness.h"
#include "session/client_session.h"
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
    std::mt19937 g(seed);
    std::string s(n, '\0');
    for (auto& c : s)
        c = static_cast<char>(g());
    std::ofstream(path, std::ios::binary) << s;
}

class HeadlessMail : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server.start(dir.file("directory.sqlite")));
        address = "127.0.0.1:" + std::to_string(server.port());
    }
    // Starts a client that creates its account (first time) and logs in.
    void startClient(test::ChildProcess& p, const std::string& user, bool create) {
        ASSERT_TRUE(test::startHeadlessUser(p, dir.file(user), address, user, "pw" + user, create));
    }
    test::TempDir dir;
    test::DirectoryProcess server;
    std::string address;
};

TEST_F(HeadlessMail, FilesArriveByteIdenticalWithAChineseAndAnEmptyFile) {
    std::string big = dir.file("big.bin"), empty = dir.file("empty.txt"),
                chinese = dir.file("报告 一.txt");
    writeRandom(big, 3 * 1024 * 1024 + 17, 1);
    std::ofstream(empty).close();
    std::ofstream(chinese) << "你好，世界\n";

    test::ChildProcess bob, alice;
    startClient(bob, "bob", true);
    startClient(alice, "alice", true);
    alice.writeLine("send to=bob \"text=三个文件\" file=" + big + " file=" + empty +
                    " \"file=" + chinese + "\"");
    auto sent = alice.waitForLine("\"cmd\":\"send\"");
    ASSERT_TRUE(sent);
    std::string key = test::jsonField(*sent, "key");
    ASSERT_FALSE(key.empty());

    auto arrived = bob.waitForLine("\"mail-arrived\"", 20000);
    ASSERT_TRUE(arrived);
    EXPECT_EQ(test::jsonField(*arrived, "key"), key);
    EXPECT_EQ(test::jsonField(*arrived, "subject"), "三个文件");
    ASSERT_TRUE(bob.waitForLine("\"files-complete\"", 30000));
    ASSERT_TRUE(alice.waitForLine("\"delivery-done\"", 30000));

    std::string recv = dir.file("bob") + "/recvfile/";
    EXPECT_EQ(readFile(recv + "big.bin"), readFile(big));
    EXPECT_TRUE(std::filesystem::exists(recv + "empty.txt"));
    EXPECT_EQ(std::filesystem::file_size(recv + "empty.txt"), 0u);
    EXPECT_EQ(readFile(recv + "报告 一.txt"), "你好，世界\n");

    bob.writeLine("show " + key);
    auto shown = bob.waitForLine("\"cmd\":\"show\"");
    ASSERT_TRUE(shown);
    EXPECT_NE(shown->find("\"status\":\"complete\",\"percent\":100"), std::string::npos) << *shown;
    alice.writeLine("list sent");
    auto sentList = alice.waitForLine("\"cmd\":\"list\"");
    ASSERT_TRUE(sentList);
    EXPECT_NE(sentList->find(key), std::string::npos);
    for (auto* p : {&alice, &bob}) {
        p->writeLine("quit");
        EXPECT_EQ(p->wait(), 0);
    }
}

// Reads the "done" of the first file from a show answer.
long long firstDone(const std::string& line) {
    size_t p = line.find("\"done\":");
    return p == std::string::npos ? -1 : std::atoll(line.c_str() + p + 7);
}

TEST_F(HeadlessMail, ReceiverKilledMidFileResumesAndEndsByteIdentical) {
    std::string big = dir.file("big.bin");
    const long long size = 8 * 1024 * 1024 + 5;
    writeRandom(big, static_cast<size_t>(size), 7);

    test::ChildProcess bob, alice;
    startClient(bob, "bob", true);
    startClient(alice, "alice", true);
    // 512 kB/s per transfer, so the kill lands in the middle of the file.
    alice.writeLine("set 13 512");
    ASSERT_TRUE(alice.waitForLine("\"cmd\":\"set\""));
    alice.writeLine("send to=bob text=big file=" + big);
    auto sent = alice.waitForLine("\"cmd\":\"send\"");
    ASSERT_TRUE(sent);
    std::string key = test::jsonField(*sent, "key");
    ASSERT_TRUE(bob.waitForLine("\"mail-arrived\"", 20000));

    auto doneOf = [&](test::ChildProcess& p) {
        p.writeLine("show " + key);
        auto shown = p.waitForLine("\"cmd\":\"show\"");
        return shown ? firstDone(*shown) : -1;
    };
    // Wait for a megabyte, then for the saved state (written a few seconds after a change)
    // to hold it.
    std::string cfg = dir.file("bob") + "/cfg.dat";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (doneOf(bob) < 1024 * 1024 && std::chrono::steady_clock::now() < deadline)
        bob.waitForLine("never", 100);
    // cfg.dat may not be written yet at all.
    auto written = [&] {
        std::error_code ec;
        auto t = std::filesystem::last_write_time(cfg, ec);
        return ec ? std::filesystem::file_time_type::min() : t;
    };
    auto seen = written();
    while (written() == seen && std::chrono::steady_clock::now() < deadline)
        bob.waitForLine("never", 100);
    bob.kill(SIGKILL);
    bob.wait();
    // The rest may go at full speed.
    alice.writeLine("set 13 0");
    ASSERT_TRUE(alice.waitForLine("\"cmd\":\"set\""));

    test::ChildProcess bob2;
    startClient(bob2, "bob", false);
    long long resumedFrom = doneOf(bob2);
    EXPECT_GE(resumedFrom, 1024 * 1024);
    EXPECT_LT(resumedFrom, size);
    ASSERT_TRUE(bob2.waitForLine("\"files-complete\"", 40000));
    ASSERT_TRUE(alice.waitForLine("\"delivery-done\"", 20000));
    EXPECT_EQ(readFile(dir.file("bob") + "/recvfile/big.bin"), readFile(big));
    for (auto* p : {&alice, &bob2}) {
        p->writeLine("quit");
        EXPECT_EQ(p->wait(), 0);
    }
}

// The sender is this test process, a client whose mail carries file names no honest client
// would send; the receiver is a headless client process.
TEST_F(HeadlessMail, TenKBsPerTransferHoldsInEveryFiveSecondsBetweenTwoClients) {
    std::string file = dir.file("slow.bin");
    const long long size = 130000;
    writeRandom(file, static_cast<size_t>(size), 3);
    test::ChildProcess bob, alice;
    startClient(bob, "bob", true);
    startClient(alice, "alice", true);
    alice.writeLine("set 13 10");
    ASSERT_TRUE(alice.waitForLine("\"cmd\":\"set\""));
    alice.writeLine("send to=bob text=slow file=" + file);
    auto sent = alice.waitForLine("\"cmd\":\"send\"");
    ASSERT_TRUE(sent);
    std::string key = test::jsonField(*sent, "key");
    ASSERT_TRUE(bob.waitForLine("\"mail-arrived\"", 20000));
    // What bob has taken off the link, sampled as it comes in: between any two samples at
    // most five seconds apart, no more than 5 x 10 x 1024 bytes.
    using Clock = std::chrono::steady_clock;
    std::vector<std::pair<Clock::time_point, long long>> samples;
    auto deadline = Clock::now() + std::chrono::seconds(60);
    while (Clock::now() < deadline) {
        bob.writeLine("show " + key);
        auto shown = bob.waitForLine("\"cmd\":\"show\"");
        ASSERT_TRUE(shown);
        samples.emplace_back(Clock::now(), firstDone(*shown));
        if (samples.back().second >= size) break;
        bob.waitForLine("never", 100);
    }
    ASSERT_EQ(samples.back().second, size);
    long long most = 0;
    for (size_t i = 0; i < samples.size(); ++i)
        for (size_t j = i + 1; j < samples.size(); ++j)
            if (samples[j].first - samples[i].first <= std::chrono::seconds(5))
                most = std::max(most, samples[j].second - samples[i].second);
    double seconds =
        std::chrono::duration<double>(samples.back().first - samples.front().first).count();
    std::printf("most in five seconds: %lld bytes over %.1f s\n", most, seconds);
    EXPECT_LE(most, 5 * 10 * 1024);
    EXPECT_GE(most, 40000);  // and not far below
    EXPECT_GE(seconds, 10.0);
    ASSERT_TRUE(alice.waitForLine("\"delivery-done\"", 20000));
    EXPECT_EQ(readFile(dir.file("bob") + "/recvfile/slow.bin"), readFile(file));
    for (auto* p : {&alice, &bob}) {
        p->writeLine("quit");
        EXPECT_EQ(p->wait(), 0);
    }
}

TEST_F(HeadlessMail, HostilePeerFileNamesStayInsideTheReceiveFolder) {
    test::ChildProcess bob;
    startClient(bob, "bob", true);

    SystemClock clock;
    ClientOptions opt;
    opt.programPath = "mallory";
    opt.dataDir = dir.file("mallory");
    opt.instancePort = test::freeLoopbackPort();
    opt.server = address;
    ClientSession mallory(clock, opt);
    ASSERT_EQ(mallory.start(), StartOutcome::Running);
    auto runUntil = [&](const std::function<bool()>& done, int ms) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!done() && std::chrono::steady_clock::now() < end)
            mallory.runOnce(100);
        return done();
    };
    bool created = false, loggedIn = false;
    mallory.createAccount("mallory", "pw", "pw",
                          [&](bool ok, const std::string&) { created = ok; });
    ASSERT_TRUE(runUntil([&] { return created; }, 15000));
    mallory.login("mallory", "pw", false, [&](const LoginOutcome& o) {
        loggedIn = o.result == LoginFlow::Result::LoggedIn;
    });
    ASSERT_TRUE(runUntil([&] { return loggedIn; }, 15000));

    const std::vector<std::string> names = {"../x", "a/b", "a\\b", "..", "../../escaped"};
    CoreTables& t = mallory.tables();
    MailRecord r{};
    r.recipientCount = 1;
    r.created = static_cast<int32_t>(clock.nowSeconds());
    r.key = newMailKey();
    int m = t.appendMail(r, "names");
    std::vector<std::string> contents;
    for (size_t i = 0; i < names.size(); ++i) {
        std::string path = dir.file("src" + std::to_string(i));
        contents.push_back(std::string(1000 + i * 700, static_cast<char>('a' + i)));
        std::ofstream(path, std::ios::binary) << contents.back();
        AttachmentRecord a{};
        a.total = static_cast<int64_t>(contents.back().size());
        t.mails[m].size += a.total;
        t.appendAttachment(m, path, names[i], a);
    }
    t.appendDelivery(m, "bob", "mallory");
    t.appendOutAddress(m, "bob");

    bool complete = false;
    ASSERT_TRUE(runUntil(
        [&] {
            auto l = bob.readLine(20);
            if (l && l->find("\"files-complete\"") != std::string::npos) complete = true;
            return complete;
        },
        30000));

    std::string recv = dir.file("bob") + "/recvfile";
    const std::vector<std::string> expected = {"x", "b", "[1]b", "unnamed", "escaped"};
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(readFile(recv + "/" + expected[i]), contents[i]) << expected[i];
    // Nothing anywhere in the test's folder outside bob's receive folder came from the mail.
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir.path())) {
        if (!e.is_regular_file()) continue;
        std::string p = e.path().string();
        if (p.rfind(dir.file("bob") + "/", 0) == 0) {
            std::string name = e.path().filename().string();
            // cfg.dat with its journal, and the Find index.
            bool own = name == "cfg.dat" || name.rfind("cfg.dat.journal.", 0) == 0 ||
                       name.rfind("search.db", 0) == 0;
            EXPECT_TRUE(p.rfind(recv + "/", 0) == 0 || own) << p;
        }
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("x")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("escaped")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("bob") + "/x"));
    bob.writeLine("quit");
    EXPECT_EQ(bob.wait(), 0);
    EXPECT_TRUE(mallory.shutdown());
}

}  // namespace
}  // namespace orv
