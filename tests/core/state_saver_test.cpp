// The atomic write of cfg.dat and the debounced background save.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "core/clock.h"
#include "core/core_tables.h"
#include "core/state_file.h"
#include "core/state_saver.h"
#include "support/temp_dir.h"

namespace orv {
namespace {

using test::TempDir;

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> folderEntries(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The worker reports nothing but its counter; wait for it with a deadline.
template <typename Pred>
bool waitFor(Pred pred) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

TEST(AtomicWrite, ReplacesTheOldFileAndLeavesNoTemporaries) {
    TempDir dir;
    std::string path = dir.file("cfg.dat");
    ASSERT_TRUE(writeFileAtomically(path, {1, 2, 3}));
    struct stat before {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    std::ifstream stillOpen(path, std::ios::binary);  // a reader of the old file
    std::vector<uint8_t> big(300000, 0xAB);
    ASSERT_TRUE(writeFileAtomically(path, big));
    EXPECT_EQ(readFile(path), big);
    struct stat after {};
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_NE(before.st_ino, after.st_ino);  // a new file renamed over, not rewritten in place
    std::vector<uint8_t> old(std::istreambuf_iterator<char>(stillOpen), {});
    EXPECT_EQ(old, (std::vector<uint8_t>{1, 2, 3}));
    ASSERT_TRUE(writeFileAtomically(path, {}));
    EXPECT_TRUE(readFile(path).empty());
    EXPECT_EQ(folderEntries(dir.path()), std::vector<std::string>{"cfg.dat"});
    // It holds the saved password: only its owner may read it.
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 0777, 0600u);
}

TEST(AtomicWrite, FailureLeavesTheTargetAndNoTemporaries) {
    TempDir dir;
    EXPECT_FALSE(writeFileAtomically(dir.file("missing/cfg.dat"), {1}));
    // The target is a folder: the rename fails and the temporary file is removed.
    std::filesystem::create_directory(dir.file("cfg.dat"));
    std::filesystem::create_directory(dir.file("cfg.dat/inner"));
    EXPECT_FALSE(writeFileAtomically(dir.file("cfg.dat"), {1, 2}));
    EXPECT_EQ(folderEntries(dir.path()), std::vector<std::string>{"cfg.dat"});
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("cfg.dat/inner")));
}

class Saver : public ::testing::Test {
  protected:
    Saver() : t(clock, dir.file("recvfile")), path(dir.file("cfg.dat")) {
        loadState(t, nullptr, 0);
    }
    void change(int i) { t.contacts.append("user" + std::to_string(i)); }
    TempDir dir;
    ManualClock clock;
    CoreTables t;
    std::string path;
};

TEST_F(Saver, OneSaveAfterTheDebounce) {
    StateSaver saver(t, path, 3000);
    saver.markClean();
    saver.poll();
    EXPECT_EQ(saver.nextDeadlineMillis(), -1);
    change(1);
    saver.poll();
    EXPECT_EQ(saver.nextDeadlineMillis(), clock.nowMillis() + 3000);
    clock.advanceMillis(2999);
    change(2);  // a second change does not push the save further out
    saver.poll();
    EXPECT_EQ(saver.nextDeadlineMillis(), clock.nowMillis() + 1);
    EXPECT_EQ(saver.savesCompleted(), 0u);
    EXPECT_FALSE(std::filesystem::exists(path));
    clock.advanceMillis(1);
    saver.poll();
    EXPECT_EQ(saver.nextDeadlineMillis(), -1);
    ASSERT_TRUE(waitFor([&] { return saver.savesCompleted() == 1; }));
    EXPECT_FALSE(saver.lastSaveFailed());
    EXPECT_EQ(readFile(path), serializeState(t));
    // Nothing changed since: no further save however long it waits.
    clock.advanceSeconds(60);
    saver.poll();
    EXPECT_EQ(saver.nextDeadlineMillis(), -1);
    EXPECT_TRUE(saver.saveNow());
    EXPECT_EQ(saver.savesCompleted(), 2u);
    EXPECT_EQ(folderEntries(dir.path()), (std::vector<std::string>{"cfg.dat", "recvfile"}));
}

TEST_F(Saver, AStreamOfChangesSavesAtTheDebouncePace) {
    StateSaver saver(t, path, 3000);
    saver.markClean();
    uint64_t queued = 0;
    for (int i = 0; i < 100; ++i) {  // a change every 100 ms for 10 s
        change(i);
        saver.poll();
        if (saver.nextDeadlineMillis() == -1) ++queued;
        clock.advanceMillis(100);
    }
    EXPECT_GE(queued, 1u);
    EXPECT_LE(queued, 4u);
    // saveNow waits for a save in flight, then leaves the final image.
    change(1000);
    EXPECT_TRUE(saver.saveNow());
    EXPECT_LE(saver.savesCompleted(), queued + 1);
    EXPECT_EQ(readFile(path), serializeState(t));
    CoreTables back(clock, dir.file("recvfile"));
    loadStateFile(back, path);
    EXPECT_EQ(back.contacts.count(), 101);
    EXPECT_EQ(back.contacts.str(100), "user1000");
}

TEST_F(Saver, SaveNowAfterAQueuedSaveLeavesTheNewestImage) {
    StateSaver saver(t, path, 0);
    saver.markClean();
    for (int round = 0; round < 20; ++round) {
        change(round);
        saver.poll();  // queues a background save of this state
        change(round + 500);
        ASSERT_TRUE(saver.saveNow());
        ASSERT_EQ(readFile(path), serializeState(t)) << round;
    }
}

TEST_F(Saver, DestructionFinishesAQueuedSave) {
    {
        StateSaver saver(t, path, 10);
        saver.markClean();
        change(1);
        saver.poll();
        clock.advanceMillis(10);
        saver.poll();
        EXPECT_EQ(saver.nextDeadlineMillis(), -1);
    }
    EXPECT_EQ(readFile(path), serializeState(t));
}

TEST_F(Saver, UnwritableTargetIsReported) {
    std::filesystem::create_directory(path);
    StateSaver saver(t, path, 0);
    change(1);
    EXPECT_FALSE(saver.saveNow());
    EXPECT_TRUE(saver.lastSaveFailed());
    EXPECT_EQ(saver.savesCompleted(), 0u);
    // Still dirty: the next poll tries again.
    EXPECT_NE(saver.nextDeadlineMillis(), -1);
}

}  // namespace
}  // namespace orv
