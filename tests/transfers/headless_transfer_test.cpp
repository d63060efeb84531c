// Downloads between headless client processes with the real directory server: a folder of a
// thousand files (Chinese and English names, empty to 8 MiB) and a 1 GiB file arrive byte for
// byte; a client killed midway goes on after a restart; pause and resume; cancel keeps what
// was written.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "server/directory_harness.h"
#include "support/child_process.h"
#include "support/json_line.h"
#include "support/temp_dir.h"

namespace orv {
namespace {

namespace fs = std::filesystem;

constexpr int kWait = 300000;  // ms for a whole download on a slow machine (sanitizers)

// A file of n bytes whose content depends on seed, written in pieces.
void writeFile(const std::string& path, uint64_t n, uint32_t seed) {
    std::ofstream o(path, std::ios::binary);
    std::vector<char> buf(1 << 16);
    uint32_t x = seed * 2654435761u + 1;
    for (uint64_t done = 0; done < n;) {
        size_t k = static_cast<size_t>(std::min<uint64_t>(buf.size(), n - done));
        for (size_t i = 0; i < k; ++i) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            buf[i] = static_cast<char>(x);
        }
        o.write(buf.data(), static_cast<std::streamsize>(k));
        done += k;
    }
}

bool sameFile(const std::string& a, const std::string& b) {
    std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
    if (!x || !y) return false;
    std::vector<char> p(1 << 16), q(1 << 16);
    for (;;) {
        x.read(p.data(), static_cast<std::streamsize>(p.size()));
        y.read(q.data(), static_cast<std::streamsize>(q.size()));
        if (x.gcount() != y.gcount()) return false;
        if (x.gcount() == 0) return true;
        if (std::memcmp(p.data(), q.data(), static_cast<size_t>(x.gcount())) != 0) return false;
    }
}

// Every regular file below a, compared with the same relative path below b; the number of
// files, or -1 at the first difference (named in the failure).
int compareTrees(const std::string& a, const std::string& b) {
    int n = 0;
    for (auto& e : fs::recursive_directory_iterator(a)) {
        if (!e.is_regular_file()) continue;
        std::string rel = fs::relative(e.path(), a).string();
        if (!sameFile(e.path().string(), b + "/" + rel)) {
            ADD_FAILURE() << "differs: " << rel;
            return -1;
        }
        ++n;
    }
    return n;
}

uint64_t intField(const std::string& line, const std::string& name, size_t from = 0) {
    size_t p = line.find("\"" + name + "\":", from);
    if (p == std::string::npos) return 0;
    return std::strtoull(line.c_str() + p + name.size() + 3, nullptr, 10);
}

class HeadlessTransfer : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server.start(dir.file("directory.sqlite")));
        address = "127.0.0.1:" + std::to_string(server.port());
    }
    void TearDown() override {
        for (auto* p : {&alice, &bob}) {
            if (p->pid() <= 0) continue;
            p->writeLine("quit");
            if (p->wait(20000) < 0) {
                p->kill(SIGKILL);
                p->wait();
            }
        }
    }
    void startClient(test::ChildProcess& p, const std::string& user, bool create = true) {
        ASSERT_TRUE(test::startHeadlessUser(p, dir.file(user), address, user, "pw" + user, create));
    }
    std::string ask(test::ChildProcess& p, const std::string& command, const std::string& cmd) {
        p.writeLine(command);
        auto l = p.waitForLine("\"cmd\":\"" + cmd + "\"", 20000);
        return l ? *l : std::string();
    }
    // Alice shares the folder `local` as /alice/<its name>/; bob fetches the tree listing.
    void share(const std::string& local) {
        std::string r = ask(alice, "share add-dir /alice/ \"" + local + "\"", "share");
        ASSERT_NE(r.find("\"ok\":true"), std::string::npos) << r;
        std::string name = fs::path(local).filename().string();
        bob.writeLine("share request \"/alice/" + name + "/\" tree");
        ASSERT_TRUE(
            bob.waitForLine("\"listing-arrived\",\"path\":\"/alice/" + name + "/\"", 30000));
    }
    // The transfers line's entry for path: its state and received bytes.
    std::string entryOf(const std::string& path) {
        std::string l = ask(bob, "transfers", "transfers");
        size_t p = l.find("{\"path\":\"" + path + "\"");
        return p == std::string::npos ? std::string() : l.substr(p, l.find('}', p) - p + 1);
    }
    // Waits for the download of path to reach state.
    bool reaches(const std::string& path, uint64_t state, int timeoutMs) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < end) {
            std::string e = entryOf(path);
            if (!e.empty() && intField(e, "state") == state) return true;
            bob.waitForLine("\"transfer-changed\"", 1000);
        }
        return false;
    }
    // Waits for the folder download to have no file left to fetch.
    bool folderFinished(const std::string& path, int timeoutMs) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < end) {
            std::string e = entryOf(path);
            // Done: its last file arrived and was taken off the list.
            if (!e.empty() && intField(e, "state") == 4) return true;
            // The next change of any transfer, or a second.
            bob.waitForLine("\"transfer-changed\"", 1000);
        }
        return false;
    }

    test::TempDir dir;
    test::DirectoryProcess server;
    std::string address;
    test::ChildProcess alice, bob;
};

// 1 000 files below 111 folders: most a few kilobytes, every tenth up to 1 MiB, every
// hundredth 8 MiB, every fiftieth empty.
std::string makeTree(const std::string& top) {
    int n = 0;
    auto size = [](int i) -> uint64_t {
        if (i % 50 == 1) return 0;
        if (i % 100 == 0) return 8u << 20;
        if (i % 10 == 0) return static_cast<uint64_t>(i % 7 + 1) * 150000;
        return static_cast<uint64_t>((i * 7919) % 20000);
    };
    fs::create_directories(top);
    for (int i = 0; i < 100; ++i, ++n)
        writeFile(top + "/top " + std::to_string(i) + ".txt", size(n), static_cast<uint32_t>(n));
    for (int a = 0; a < 10; ++a) {
        std::string da = top + "/" + (a % 2 ? "音乐 " : "music ") + std::to_string(a);
        for (int b = 0; b < 10; ++b) {
            std::string db = da + "/" + (b % 2 ? "现场" : "Live") + std::to_string(b);
            fs::create_directories(db);
            for (int f = 0; f < 9; ++f, ++n)
                writeFile(db + "/" + (f % 2 ? "歌曲 " : "Song ") + std::to_string(f) + ".mp3",
                          size(n), static_cast<uint32_t>(n));
        }
    }
    return top;
}

TEST_F(HeadlessTransfer, FolderOfAThousandFilesAndALargeFileArriveByteIdentical) {
    std::string src = makeTree(dir.file("src/共享 files"));
    std::string big = dir.file("src/big/large.bin");
    fs::create_directories(dir.file("src/big"));
    writeFile(big, (1ull << 30) + 12345, 7);
    startClient(alice, "alice");
    startClient(bob, "bob");
    share(src);
    share(dir.file("src/big"));
    std::string into = dir.file("into");
    std::string r = ask(bob, "download \"/alice/共享 files/\" \"" + into + "\"", "download");
    ASSERT_NE(r.find("\"ok\":true"), std::string::npos) << r;
    r = ask(bob, "download /alice/big/large.bin \"" + into + "\"", "download");
    ASSERT_NE(r.find("\"ok\":true"), std::string::npos) << r;

    // Paused before it can finish (the pause follows the request at once) and resumed, the
    // large file goes on.
    r = ask(bob, "pause /alice/big/large.bin", "pause");
    ASSERT_NE(r.find("\"ok\":true"), std::string::npos) << r;
    std::string e = entryOf("/alice/big/large.bin");
    EXPECT_EQ(intField(e, "state"), 1u) << e;
    uint64_t atPause = intField(e, "received");
    r = ask(bob, "resume /alice/big/large.bin", "resume");
    ASSERT_NE(r.find("\"ok\":true"), std::string::npos) << r;

    ASSERT_TRUE(folderFinished("/alice/共享 files/", kWait));
    ASSERT_TRUE(reaches("/alice/big/large.bin", 4, kWait));
    EXPECT_EQ(compareTrees(src, into + "/共享 files"), 1000);
    EXPECT_TRUE(sameFile(big, into + "/large.bin"));
    EXPECT_LE(atPause, intField(entryOf("/alice/big/large.bin"), "received"));
}

TEST_F(HeadlessTransfer, KilledMidwayTheDownloadGoesOnAfterARestart) {
    std::string src = makeTree(dir.file("src/共享 files"));
    std::string big = dir.file("src/big/large.bin");
    fs::create_directories(dir.file("src/big"));
    writeFile(big, (1ull << 30) + 777, 9);
    startClient(alice, "alice");
    startClient(bob, "bob");
    share(src);
    share(dir.file("src/big"));
    // Slowed to 4 MB/s in all, so the kill finds both downloads under way and the list saved
    // at least once since they began.
    ASSERT_NE(ask(bob, "set 16 4000", "set").find("\"ok\":true"), std::string::npos);
    std::string into = dir.file("into");
    ask(bob, "download /alice/big/large.bin \"" + into + "\"", "download");
    ask(bob, "download \"/alice/共享 files/\" \"" + into + "\"", "download");
    // Killed once a good part of the large file is in (and counted).
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWait);
    uint64_t before = 0;
    while (std::chrono::steady_clock::now() < end) {
        before = intField(entryOf("/alice/big/large.bin"), "received");
        if (before > (16u << 20)) break;
        bob.waitForLine("\"transfer-changed\"", 500);
    }
    ASSERT_GT(before, 16u << 20);
    bob.kill(SIGKILL);
    EXPECT_EQ(bob.wait(), 128 + SIGKILL);
    uint64_t onDisk = fs::file_size(into + "/large.bin");
    ASSERT_LT(onDisk, fs::file_size(big));

    startClient(bob, "bob", false);
    // Waiting again, with the bytes it had (whatever the last save held of them).
    std::string e = entryOf("/alice/big/large.bin");
    EXPECT_NE(intField(e, "state"), 4u) << e;
    EXPECT_GT(intField(e, "received"), 0u) << e;
    ASSERT_NE(ask(bob, "set 16 0", "set").find("\"ok\":true"), std::string::npos);
    ASSERT_TRUE(reaches("/alice/big/large.bin", 4, kWait));
    ASSERT_TRUE(folderFinished("/alice/共享 files/", kWait));
    EXPECT_TRUE(sameFile(big, into + "/large.bin"));
    EXPECT_EQ(compareTrees(src, into + "/共享 files"), 1000);
}

TEST_F(HeadlessTransfer, CancelledFolderKeepsTheFilesWrittenAndStops) {
    std::string src = makeTree(dir.file("src/共享 files"));
    startClient(alice, "alice");
    startClient(bob, "bob");
    share(src);
    ASSERT_NE(ask(bob, "set 16 8000", "set").find("\"ok\":true"), std::string::npos);
    std::string into = dir.file("into");
    ask(bob, "download \"/alice/共享 files/\" \"" + into + "\"", "download");
    // Cancelled after a few files arrived.
    int done = 0;
    while (done < 20 && bob.waitForLine("\"state\":4", kWait))
        ++done;
    ASSERT_EQ(done, 20);
    std::string r = ask(bob, "cancel \"/alice/共享 files/\"", "cancel");
    ASSERT_NE(r.find("\"ok\":true"), std::string::npos) << r;
    EXPECT_TRUE(entryOf("/alice/共享 files/").empty());
    EXPECT_TRUE(ask(bob, "transfers", "transfers").find("\"transfers\":[]") != std::string::npos);
    // What was complete stays, byte for byte; nothing grows any more.
    auto sizes = [&] {
        std::vector<std::pair<std::string, uintmax_t>> v;
        for (auto& f : fs::recursive_directory_iterator(into))
            if (f.is_regular_file()) v.emplace_back(f.path().string(), f.file_size());
        std::sort(v.begin(), v.end());
        return v;
    };
    auto after = sizes();
    EXPECT_GE(after.size(), 20u);
    int same = 0;
    for (auto& [path, size] : after) {
        std::string rel = fs::relative(path, into + "/共享 files").string();
        if (size == fs::file_size(src + "/" + rel) && sameFile(src + "/" + rel, path)) ++same;
    }
    EXPECT_GE(same, 20);
    // Another round trip through both clients, then the same files.
    ask(alice, "transfers", "transfers");
    ask(bob, "status", "status");
    EXPECT_EQ(sizes(), after);
}

// Only files the user shares are served: one taken out of the share after bob saw it in the
// listing is not sent, while the next request is.
TEST_F(HeadlessTransfer, OnlyFilesStillSharedAreServed) {
    fs::create_directories(dir.file("pub"));
    writeFile(dir.file("pub/gone.txt"), 1000, 1);
    writeFile(dir.file("pub/ok.txt"), 2000, 2);
    startClient(alice, "alice");
    startClient(bob, "bob");
    share(dir.file("pub"));
    std::string r = ask(alice, "share remove /alice/pub/ gone.txt", "share");
    ASSERT_NE(r.find("\"ok\":true"), std::string::npos) << r;
    std::string into = dir.file("into");
    ask(bob, "download /alice/pub/gone.txt \"" + into + "\"", "download");
    ask(bob, "download /alice/pub/ok.txt \"" + into + "\"", "download");
    ASSERT_TRUE(reaches("/alice/pub/ok.txt", 4, kWait));
    EXPECT_TRUE(sameFile(dir.file("pub/ok.txt"), into + "/ok.txt"));
    // Asked first, answered never.
    EXPECT_EQ(intField(entryOf("/alice/pub/gone.txt"), "state"), 3u);
    EXPECT_FALSE(fs::exists(into + "/gone.txt"));
}

}  // namespace
}  // namespace orv
