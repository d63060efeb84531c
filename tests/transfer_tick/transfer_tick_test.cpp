// The transfer view's tick without windows: folder progress and rate folded from the files,
// folders completing once their files are done, the rows, and rows tied back to records.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/clock.h"
#include "support/transfer_records.h"
#include "transfers/transfer_tick.h"

using namespace orv;

namespace {

struct Fixture {
    ManualClock clock;
    CoreTables t{clock};
    std::vector<std::string> changes;  // what the list announced: "path=state"
    TransferList list{t, engine()};

    TransferEngine engine() {
        TransferEngine e;
        e.stop = [](std::string_view) {};
        e.active = [] { return std::vector<ActiveTransfer>{}; };
        e.changed = [this](std::string_view path, int32_t state, std::string_view) {
            changes.push_back(std::string(path) + "=" + std::to_string(state));
        };
        return e;
    }

    int add(int32_t kind, int32_t state, std::string_view remote, std::string_view local,
            uint64_t total, uint64_t received = 0, int32_t parent = -1) {
        return test::putTransfer(t, kind, state, remote, local, total, received, parent);
    }
    int32_t second() const { return static_cast<int32_t>(clock.nowMillis() / 1000); }
    // A window whose running total grew by `perSecond` bytes in each of its last five seconds.
    RateMeter steady(int32_t newest, uint32_t perSecond) const {
        RateMeter m{};
        m.time = newest;
        for (int i = 0; i < 6; ++i)
            m.slots[i] = 1'000'000u + perSecond * static_cast<uint32_t>(5 - i);
        return m;
    }
    std::vector<RateMeter> windows() const {
        return std::vector<RateMeter>(static_cast<size_t>(t.transfers.count()), RateMeter{});
    }
};

}  // namespace

TEST(TransferTick, FolderProgressIsTotalLessWhatUnfinishedFilesMiss) {
    Fixture f;
    int folder = f.add(TransferKind::Folder, TransferState::FolderBusy, "/bob/music/",
                       "/home/a/music/", 200, 0);
    f.add(TransferKind::FolderFile, TransferState::Done, "/bob/music/a.mp3", "/home/a/music/a.mp3",
          100, 100, folder);
    f.add(TransferKind::FolderFile, TransferState::Receiving, "/bob/music/b.mp3",
          "/home/a/music/b.mp3", 100, 40, folder);
    auto w = f.windows();
    foldFolders(f.t, f.list, w, f.clock.nowMillis());
    EXPECT_EQ(f.t.transfers[folder].received, 140u);
    EXPECT_EQ(f.t.transfers[folder].state, TransferState::FolderBusy);
    EXPECT_EQ(f.t.transfers.count(), 3);

    // Once the engine removed the done file, the folder still shows 140 of 200.
    f.t.removeTransfer(1);
    w = f.windows();
    foldFolders(f.t, f.list, w, f.clock.nowMillis());
    EXPECT_EQ(f.t.transfers[folder].received, 140u);
    EXPECT_EQ(f.t.transfers[folder].total, 200u);
    EXPECT_TRUE(f.changes.empty());

    // The last file done: its record goes, the folder is done and says so.
    f.t.transfers[1].received = 100;
    f.t.transfers[1].state = TransferState::Done;
    w = f.windows();
    foldFolders(f.t, f.list, w, f.clock.nowMillis());
    ASSERT_EQ(f.t.transfers.count(), 1);
    EXPECT_EQ(f.t.transfers[0].state, TransferState::Done);
    EXPECT_EQ(f.t.transfers[0].received, 200u);
    EXPECT_EQ(f.changes, std::vector<std::string>{"/bob/music/=4"});
}

TEST(TransferTick, EmptyFolderAndOthersFilesAndDownloadsAround) {
    Fixture f;
    f.add(TransferKind::File, TransferState::Receiving, "/bob/x.bin", "/home/a/x.bin", 10, 3);
    // An empty folder: busy with total 0 after its expansion, done on the next tick.
    int empty =
        f.add(TransferKind::Folder, TransferState::FolderBusy, "/bob/empty/", "/home/a/empty/", 0);
    // A folder whose listing is still out: received follows the unset total, nothing completes.
    int listing = f.add(TransferKind::Folder, TransferState::FolderListing, "/bob/far/",
                        "/home/a/far/", kTransferSizeUnset);
    // A finished folder next to another download into a folder below its own: completing the
    // outer one leaves the inner one's unfinished files alone.
    int outer = f.add(TransferKind::Folder, TransferState::FolderBusy, "/bob/m/", "/home/a/m/", 5);
    f.add(TransferKind::FolderFile, TransferState::Done, "/bob/m/a", "/home/a/m/a", 5, 5, outer);
    int inner =
        f.add(TransferKind::Folder, TransferState::FolderBusy, "/bob/m/s/", "/home/a/m/s/", 8);
    f.add(TransferKind::FolderFile, TransferState::Waiting, "/bob/m/s/b", "/home/a/m/s/b", 8, 0,
          inner);
    auto w = f.windows();
    foldFolders(f.t, f.list, w, f.clock.nowMillis());
    EXPECT_EQ(w.size(), static_cast<size_t>(f.t.transfers.count()));
    EXPECT_EQ(f.t.transfers[empty].state, TransferState::Done);
    EXPECT_EQ(f.t.transfers[listing].state, TransferState::FolderListing);
    EXPECT_EQ(f.t.transfers[listing].received, kTransferSizeUnset);
    EXPECT_EQ(f.t.transfers[outer].state, TransferState::Done);
    ASSERT_EQ(f.t.transfers.count(), 6);
    EXPECT_EQ(f.t.transferRemotePaths.view(5), "/bob/m/s/b");
    EXPECT_EQ(f.t.transfers[5].parent, 4);
    EXPECT_EQ(f.t.transfers[4].state, TransferState::FolderBusy);
    EXPECT_EQ(f.t.transfers[4].received, 0u);
    EXPECT_EQ(f.t.transfers[0].received, 3u);  // a single file is the engine's to count
    EXPECT_EQ(f.changes, (std::vector<std::string>{"/bob/empty/=4", "/bob/m/=4"}));
    f.changes.clear();
    // A done folder stays done and keeps its total.
    w = f.windows();
    foldFolders(f.t, f.list, w, f.clock.nowMillis());
    EXPECT_EQ(f.t.transfers[empty].received, 0u);
    EXPECT_EQ(f.t.transfers[outer].received, 5u);
    EXPECT_TRUE(f.changes.empty());
}

TEST(TransferTick, WindowsFoldAtTheNewerSecondAndAreBroughtToNow) {
    // Two windows of the same second add up.
    Fixture f;
    int32_t now = f.second();
    RateMeter folder{};
    foldWindow(folder, f.steady(now, 1000));
    EXPECT_EQ(folder.time, now);
    foldWindow(folder, f.steady(now, 500));
    EXPECT_EQ(folder.slots[0] - folder.slots[5], 7500u);

    // An older file window is moved on first: two seconds later, three of its seconds remain.
    RateMeter a = f.steady(now, 1000);
    foldWindow(a, f.steady(now - 2, 100));
    EXPECT_EQ(a.time, now);
    EXPECT_EQ(a.slots[0] - a.slots[5], 5000u + 300u);
    // A newer file window moves the folder's on, and the folder takes its second.
    RateMeter b = f.steady(now - 2, 100);
    foldWindow(b, f.steady(now, 1000));
    EXPECT_EQ(b.time, now);
    EXPECT_EQ(b.slots[0] - b.slots[5], 5300u);
    // More than five seconds apart, the older one adds nothing.
    RateMeter c = f.steady(now, 1000);
    foldWindow(c, f.steady(now - 6, 100));
    EXPECT_EQ(c.slots[0] - c.slots[5], 5000u);
    // A file without a window (no active transfer) adds nothing.
    RateMeter d = f.steady(now, 1000);
    foldWindow(d, RateMeter{});
    EXPECT_EQ(d.time, now);
    EXPECT_EQ(d.slots[0] - d.slots[5], 5000u);
}

TEST(TransferTick, FolderRateIsItsFilesWindowsReadNow) {
    Fixture f;
    int folder =
        f.add(TransferKind::Folder, TransferState::FolderBusy, "/bob/v/", "/home/a/v/", 4000);
    f.add(TransferKind::FolderFile, TransferState::Receiving, "/bob/v/1", "/home/a/v/1", 2000, 100,
          folder);
    f.add(TransferKind::FolderFile, TransferState::Receiving, "/bob/v/2", "/home/a/v/2", 2000, 100,
          folder);
    int32_t now = f.second();
    auto run = [&](RateMeter w1, RateMeter w2) {
        auto w = f.windows();
        w[1] = w1;
        w[2] = w2;
        foldFolders(f.t, f.list, w, f.clock.nowMillis());
        return f.t.transfers[folder].rate;
    };
    EXPECT_EQ(run(f.steady(now, 1000), f.steady(now, 500)), 1500);
    // Windows from one second ago: the folder's is shifted to now, four seconds remain.
    EXPECT_EQ(run(f.steady(now - 1, 1000), f.steady(now - 1, 500)), 1200);
    EXPECT_EQ(run(f.steady(now - 5, 1000), f.steady(now - 5, 500)), 0);
    // Over five seconds old, or from a clock ahead of ours: cleared.
    EXPECT_EQ(run(f.steady(now - 6, 1000), f.steady(now - 6, 500)), 0);
    EXPECT_EQ(run(f.steady(now + 1, 1000), RateMeter{}), 0);
    EXPECT_EQ(run(RateMeter{}, RateMeter{}), 0);
    // No file of a waiting folder moves: its rate reads 0.
    EXPECT_EQ(f.t.transfers[folder].received, 200u);
}

TEST(TransferTick, TickTakesCountersAndWindowsFromTheEngine) {
    Fixture f;
    f.clock.advanceMillis(400);  // within a second: windows are read at its start
    int32_t now = f.second();
    std::vector<ActiveTransfer> active;
    TransferEngine e = f.engine();
    e.active = [&] { return active; };
    TransferList list(f.t, e);
    int folder =
        f.add(TransferKind::Folder, TransferState::FolderBusy, "/bob/v/", "/home/a/v/", 3000);
    f.add(TransferKind::FolderFile, TransferState::Receiving, "/bob/v/1", "/home/a/v/1", 1000, 0,
          folder);
    f.add(TransferKind::FolderFile, TransferState::Receiving, "/bob/v/2", "/home/a/v/2", 2000, 0,
          folder);
    active.push_back({"/bob/v/1", "/home/a/v/1", 600, 100, f.steady(now, 100)});
    active.push_back({"/bob/v/2", "/home/a/v/2", 1500, 300, f.steady(now - 1, 300)});
    std::vector<TransferRow> rows = transferTick(f.t, list, f.clock);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].received, 2100u);
    EXPECT_EQ(rows[0].total, 3000u);
    EXPECT_EQ(rows[0].rate, 100 + 300 * 4 / 5);
    EXPECT_EQ(rows[0].state, TransferState::FolderBusy);

    // Both finish; the engine lets go of them and the folder completes.
    active.clear();
    f.t.transfers[1].received = 1000;
    f.t.transfers[1].state = TransferState::Done;
    f.t.transfers[2].received = 2000;
    f.t.transfers[2].state = TransferState::Done;
    f.clock.advanceSeconds(1);
    rows = transferTick(f.t, list, f.clock);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].state, TransferState::Done);
    EXPECT_EQ(rows[0].received, 3000u);
    EXPECT_EQ(rows[0].rate, 0);
    EXPECT_EQ(f.t.transfers.count(), 1);
    EXPECT_EQ(f.changes, std::vector<std::string>{"/bob/v/=4"});
}

TEST(TransferTick, RowsForFilesFoldersAndPreviewsOnly) {
    Fixture f;
    f.add(TransferKind::File, TransferState::Done, "/bob/a/song.mp3", "/home/a/song.mp3", 7, 7);
    int folder =
        f.add(TransferKind::Folder, TransferState::FolderBusy, "/bob/music/", "/home/a/music/", 50);
    f.add(TransferKind::FolderFile, TransferState::Receiving, "/bob/music/x", "/home/a/music/x", 50,
          20, folder);
    f.add(TransferKind::Preview, TransferState::Paused, "/bob/film.mkv", "/tmp/film.mkv", 900);
    std::vector<TransferRow> rows = transferTick(f.t, f.list, f.clock);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].name, "song.mp3");
    EXPECT_EQ(rows[0].index, 0);
    EXPECT_EQ(rows[1].name, "music");
    EXPECT_EQ(rows[1].index, 1);
    EXPECT_EQ(rows[1].received, 20u);
    EXPECT_EQ(rows[1].total, 50u);
    EXPECT_EQ(rows[1].localPath, "/home/a/music/");
    EXPECT_EQ(rows[2].name, "film.mkv");
    EXPECT_EQ(rows[2].index, 3);
    EXPECT_EQ(rows[2].kind, TransferKind::Preview);
    EXPECT_EQ(rows[2].state, TransferState::Paused);
    EXPECT_EQ(rows[2].remotePath, "/bob/film.mkv");

    // Row n stands for the n-th such record only while the path still matches.
    EXPECT_EQ(transferOfRow(f.list, 2, "/bob/film.mkv"), 3);
    EXPECT_EQ(transferOfRow(f.list, 2, "/bob/FILM.mkv"), -1);
    EXPECT_EQ(transferOfRow(f.list, 1, "/bob/film.mkv"), -1);
    EXPECT_EQ(transferOfRow(f.list, 3, "/bob/film.mkv"), -1);
    EXPECT_EQ(transferOfRow(f.list, -1, "/bob/a/song.mp3"), -1);
    EXPECT_EQ(transferName("/bob/"), "bob");
    EXPECT_EQ(transferName("plain"), "plain");
}
