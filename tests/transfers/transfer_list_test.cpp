// The transfer list without peers: the engine's step over the first records, folder
// expansion into the chosen directory, the user's start, pause and cancel, previews, and the
// rules applied after loading.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/core_tables.h"
#include "support/temp_dir.h"
#include "transfers/transfer_list.h"

namespace orv {
namespace {

namespace fs = std::filesystem;

TransferRecord rec(int32_t kind, int32_t state, uint64_t total, int32_t parent = 0) {
    TransferRecord r{};
    r.kind = kind;
    r.state = state;
    r.total = total;
    r.parent = parent;
    return r;
}

class TransferListTest : public ::testing::Test {
  protected:
    ManualClock clock{1'700'000'000};
    CoreTables t{clock};
    std::string user = "bob";
    std::vector<std::string> stopped;
    std::vector<std::string> changes;  // "path=state"
    std::vector<std::string> logs;
    std::vector<ActiveTransfer> active;
    TransferList list{t, engine(), &user};
    test::TempDir dir;

    TransferEngine engine() {
        TransferEngine e;
        e.stop = [this](std::string_view p) { stopped.emplace_back(p); };
        e.active = [this] { return active; };
        e.changed = [this](std::string_view p, int32_t s, std::string_view) {
            changes.push_back(std::string(p) + "=" + std::to_string(s));
        };
        e.log = [this](const std::string& l) { logs.push_back(l); };
        return e;
    }
    // Subjects of the items of a kind created so far, in order.
    std::vector<std::string> items(int32_t kind) const {
        std::vector<std::string> v;
        for (int m = 0; m < t.mails.count(); ++m)
            if (t.mails[m].kind == kind) v.push_back(t.mailSubject(m));
        return v;
    }
    int32_t state(int i) const { return list.record(i).state; }
};

TEST_F(TransferListTest, StepRequestsOnlyTheFirstThirtyWaitingRecords) {
    for (int i = 0; i < 40; ++i)
        list.AddTransfer("bob", "/alice/f" + std::to_string(i), dir.file(std::to_string(i)),
                         rec(TransferKind::File, TransferState::Waiting, 100));
    list.EngineStep();
    list.EngineStep();
    auto req = items(MailKind::SharedFileRequest);
    ASSERT_EQ(req.size(), 30u);
    EXPECT_EQ(req.front(), "/alice/f0");
    EXPECT_EQ(req.back(), "/alice/f29");
    EXPECT_EQ(state(29), TransferState::Requested);
    EXPECT_EQ(state(30), TransferState::Waiting);
    // The item goes to the owner of the path.
    int m = t.mails.count() - 1;
    EXPECT_EQ(t.deliveryRecipients.view(t.mailDeliveries(m).front()), "alice");

    // A record above leaving lets the next one in.
    list.CancelTransfer("/ALICE/f3");
    EXPECT_EQ(stopped, std::vector<std::string>{"/alice/f3"});
    list.EngineStep();
    req = items(MailKind::SharedFileRequest);
    ASSERT_EQ(req.size(), 31u);
    EXPECT_EQ(req.back(), "/alice/f30");
    EXPECT_EQ(state(29), TransferState::Requested);
    EXPECT_EQ(state(30), TransferState::Waiting);  // f31 moved up to index 30
}

TEST_F(TransferListTest, RecordsOfOthersWithoutOwnerOrEmptyAreNotRequested) {
    list.AddTransfer("carol", "/alice/a", dir.file("a"),
                     rec(TransferKind::File, TransferState::Waiting, 5));
    list.AddTransfer("bob", "noowner", dir.file("b"),
                     rec(TransferKind::File, TransferState::Waiting, 5));
    list.AddTransfer("BOB", "/alice/empty", dir.file("empty"),
                     rec(TransferKind::File, TransferState::Waiting, 0));
    list.EngineStep();
    EXPECT_TRUE(items(MailKind::SharedFileRequest).empty());
    EXPECT_EQ(state(0), TransferState::Waiting);
    EXPECT_EQ(state(1), TransferState::Waiting);
    // An empty file is made, never asked for.
    EXPECT_EQ(state(2), TransferState::Done);
    EXPECT_TRUE(fs::exists(dir.file("empty")));
    EXPECT_EQ(fs::file_size(dir.file("empty")), 0u);

    user.clear();  // nobody logged in: nothing moves
    list.AddTransfer("bob", "/alice/c", dir.file("c"),
                     rec(TransferKind::File, TransferState::Waiting, 5));
    list.EngineStep();
    EXPECT_EQ(state(3), TransferState::Waiting);
}

TEST_F(TransferListTest, FolderIsListedThenExpandedUnderTheChosenDirectory) {
    ShareStore& s = t.share;
    s.AddFolder("/alice/", 0);
    s.AddFolder("/alice/music/", 0);
    s.AddFolder("/alice/music/live/", 0);
    s.AddFolder("/alice/musicbox/", 0);  // not below /alice/music/
    SharedFileRecord f{};
    f.size = 10;
    s.AddFile("", "a.mp3", f, "/alice/music/");
    f.size = 0;
    s.AddFile("", "空.txt", f, "/alice/music/live/");
    f.size = 7;
    s.AddFile("", "b.mp3", f, "/alice/music/live/");
    s.AddFile("", "x", f, "/alice/musicbox/");

    list.AddTransfer("bob", "/bob/other/", dir.file("o/"),
                     rec(TransferKind::File, TransferState::Done, 3));
    std::string local = dir.file("dl/music/");
    int folder =
        list.AddTransfer("bob", "/alice/music/", local,
                         rec(TransferKind::Folder, TransferState::Waiting, kTransferSizeUnset));
    list.EngineStep();
    EXPECT_EQ(items(MailKind::ListTree), std::vector<std::string>{"/alice/music/"});
    EXPECT_EQ(state(folder), TransferState::FolderListing);
    list.EngineStep();  // no answer yet: nothing happens
    EXPECT_EQ(list.count(), 2);

    s.treeListed.append("/alice/music/");
    list.EngineStep();
    ASSERT_EQ(list.count(), 5);
    EXPECT_EQ(state(folder), TransferState::FolderBusy);
    EXPECT_EQ(list.record(folder).total, 17u);
    EXPECT_TRUE(fs::is_directory(local + "live"));
    std::vector<std::string> got;
    for (int i = 2; i < list.count(); ++i) {
        TransferEntry e = list.entry(i);
        EXPECT_EQ(e.record.kind, TransferKind::FolderFile);
        EXPECT_EQ(e.record.parent, folder);
        EXPECT_EQ(e.owner, "bob");
        got.push_back(e.remotePath + "|" + e.localPath);
    }
    EXPECT_EQ(got, (std::vector<std::string>{"/alice/music/a.mp3|" + local + "a.mp3",
                                             "/alice/music/live/空.txt|" + local + "live/空.txt",
                                             "/alice/music/live/b.mp3|" + local + "live/b.mp3"}));
    // The files are asked for on the next steps; the empty one is made at once.
    list.EngineStep();
    EXPECT_EQ(items(MailKind::SharedFileRequest).size(), 2u);
    EXPECT_EQ(state(3), TransferState::Done);
    EXPECT_TRUE(fs::exists(local + "live/空.txt"));
    // A finished file of a folder leaves the list, one per step.
    list.EngineStep();
    EXPECT_EQ(list.count(), 4);
    EXPECT_EQ(list.entry(3).remotePath, "/alice/music/live/b.mp3");
}

TEST_F(TransferListTest, EmptyFolderBecomesBusyWithTotalZero) {
    t.share.AddFolder("/alice/empty/", 0);
    int folder =
        list.AddTransfer("bob", "/alice/empty/", dir.file("empty/"),
                         rec(TransferKind::Folder, TransferState::Waiting, kTransferSizeUnset));
    list.EngineStep();
    t.share.treeListed.append("/alice/empty/");
    list.EngineStep();
    EXPECT_EQ(list.count(), 1);
    EXPECT_EQ(state(folder), TransferState::FolderBusy);
    EXPECT_EQ(list.record(folder).total, 0u);
    EXPECT_TRUE(fs::is_directory(dir.file("empty")));
    // Nothing to fetch: the next step completes it, without the view's tick.
    EXPECT_TRUE(list.EngineStep());
    EXPECT_EQ(state(folder), TransferState::Done);
}

TEST_F(TransferListTest, FolderIsDoneOnceItsLastFileIsDoneAndRemoved) {
    int folder = list.AddTransfer("bob", "/alice/f/", dir.file("f/"),
                                  rec(TransferKind::Folder, TransferState::FolderBusy, 200));
    list.AddTransfer("bob", "/alice/f/1", dir.file("f/1"),
                     rec(TransferKind::FolderFile, TransferState::Done, 100, folder));
    list.AddTransfer("bob", "/alice/f/2", dir.file("f/2"),
                     rec(TransferKind::FolderFile, TransferState::Receiving, 100, folder));
    EXPECT_TRUE(list.EngineStep());  // the done file goes
    EXPECT_EQ(list.count(), 2);
    EXPECT_FALSE(list.EngineStep());  // one file still arriving: the folder stays busy
    EXPECT_EQ(state(folder), TransferState::FolderBusy);
    t.transfers[1].state = TransferState::Done;
    EXPECT_TRUE(list.EngineStep());
    EXPECT_TRUE(list.EngineStep());
    ASSERT_EQ(list.count(), 1);
    EXPECT_EQ(state(folder), TransferState::Done);
    EXPECT_EQ(list.record(folder).received, 200u);
    EXPECT_EQ(changes.back(), "/alice/f/=4");
}

// A folder of many small files is not held to one removal per engine wake-up: done files
// leave together, a window's worth per step, and the folder is done after the last.
TEST_F(TransferListTest, DoneFilesOfAFolderLeaveAWindowAtATime) {
    int folder = list.AddTransfer("bob", "/alice/f/", dir.file("f/"),
                                  rec(TransferKind::Folder, TransferState::FolderBusy, 4600));
    for (int i = 0; i < 45; ++i)
        list.AddTransfer("bob", "/alice/f/" + std::to_string(i), dir.file("f/" + std::to_string(i)),
                         rec(TransferKind::FolderFile, TransferState::Done, 100, folder));
    list.AddTransfer("bob", "/alice/f/last", dir.file("f/last"),
                     rec(TransferKind::FolderFile, TransferState::Receiving, 100, folder));
    EXPECT_TRUE(list.EngineStep());
    EXPECT_EQ(list.count(), 1 + 15 + 1);
    EXPECT_TRUE(list.EngineStep());
    ASSERT_EQ(list.count(), 2);
    EXPECT_EQ(state(folder), TransferState::FolderBusy);
    EXPECT_FALSE(list.EngineStep());
    t.transfers[1].state = TransferState::Done;
    EXPECT_TRUE(list.EngineStep());
    EXPECT_TRUE(list.EngineStep());
    ASSERT_EQ(list.count(), 1);
    EXPECT_EQ(state(folder), TransferState::Done);
}

TEST_F(TransferListTest, NamesFromThePeerStayInsideTheChosenDirectory) {
    ShareStore& s = t.share;
    s.AddFolder("/alice/d/", 0);
    s.AddFolder("/alice/d/../", 0);
    s.AddFolder("/alice/d/..\\..\\up/", 0);
    s.AddFolder("/alice/d/ok/", 0);
    SharedFileRecord f{};
    f.size = 4;
    s.AddFile("", "good", f, "/alice/d/ok/");
    s.AddFile("", "..", f, "/alice/d/");
    s.AddFile("", "..\\evil", f, "/alice/d/");
    s.AddFile("", "lost", f, "/alice/d/../");
    std::string local = dir.file("in/d/");
    list.AddTransfer("bob", "/alice/d/", local,
                     rec(TransferKind::Folder, TransferState::FolderListing, kTransferSizeUnset));
    s.treeListed.append("/alice/d/");
    list.EngineStep();
    ASSERT_EQ(list.count(), 2);
    EXPECT_EQ(list.entry(1).localPath, local + "ok/good");
    EXPECT_EQ(logs.size(), 4u);  // two folders and two files refused, each said
    // Nothing was made outside the chosen directory.
    std::vector<std::string> made;
    for (auto& e : fs::recursive_directory_iterator(dir.path()))
        made.push_back(fs::relative(e.path(), dir.path()).string());
    std::sort(made.begin(), made.end());
    EXPECT_EQ(made, (std::vector<std::string>{"in", "in/d", "in/d/ok"}));
}

TEST_F(TransferListTest, StartPauseAndCancelFollowTheStates) {
    list.AddTransfer("bob", "/alice/r", dir.file("r"),
                     rec(TransferKind::File, TransferState::Receiving, 100));
    list.AddTransfer("bob", "/alice/q", dir.file("q"),
                     rec(TransferKind::File, TransferState::Requested, 100));
    list.AddTransfer("bob", "/alice/d", dir.file("d"),
                     rec(TransferKind::File, TransferState::Done, 100));
    changes.clear();
    list.StartTransfer("/alice/r", 0);
    list.StartTransfer("/alice/q", 0);
    list.PauseTransfer("/alice/d");
    EXPECT_EQ(state(0), TransferState::Receiving);
    EXPECT_EQ(state(1), TransferState::Requested);
    EXPECT_EQ(state(2), TransferState::Done);
    EXPECT_TRUE(stopped.empty());
    EXPECT_TRUE(changes.empty());

    // Pause takes the engine's counters first, then stops the path.
    active.push_back({"/alice/r", dir.file("r"), 40, 9, {}});
    list.PauseTransfer("/alice/R");
    EXPECT_EQ(state(0), TransferState::Paused);
    EXPECT_EQ(list.record(0).received, 40u);
    EXPECT_EQ(list.record(0).rate, 0);
    EXPECT_EQ(stopped, std::vector<std::string>{"/alice/r"});
    EXPECT_EQ(changes, std::vector<std::string>{"/alice/r=1"});
    list.StartTransfer("/alice/r", 0);
    EXPECT_EQ(state(0), TransferState::Waiting);
    EXPECT_EQ(list.record(0).received, 40u);  // goes on from there
}

TEST_F(TransferListTest, FolderCommandsReachItsFilesAndCancelKeepsOtherRecords) {
    list.AddTransfer("bob", "/alice/x", dir.file("x"),
                     rec(TransferKind::File, TransferState::Waiting, 1));
    int folder = list.AddTransfer("bob", "/alice/f/", dir.file("f/"),
                                  rec(TransferKind::Folder, TransferState::FolderBusy, 30));
    list.AddTransfer("bob", "/alice/f/1", dir.file("f/1"),
                     rec(TransferKind::FolderFile, TransferState::Receiving, 10, folder));
    list.AddTransfer("bob", "/alice/f/2", dir.file("f/2"),
                     rec(TransferKind::FolderFile, TransferState::Done, 10, folder));
    list.AddTransfer("bob", "/alice/y", dir.file("y"),
                     rec(TransferKind::File, TransferState::Waiting, 1));
    // Files of a folder are reached through it, never by their own path.
    list.PauseTransfer("/alice/f/1");
    EXPECT_EQ(state(2), TransferState::Receiving);

    list.PauseTransfer("/alice/f/");
    EXPECT_EQ(state(folder), TransferState::Paused);
    EXPECT_EQ(state(2), TransferState::Paused);
    EXPECT_EQ(state(3), TransferState::Done);
    list.StartTransfer("/alice/f/", 0);
    EXPECT_EQ(state(folder), TransferState::FolderBusy);
    EXPECT_EQ(state(2), TransferState::Waiting);

    stopped.clear();
    list.CancelTransfer("/alice/f/");
    EXPECT_EQ(stopped, (std::vector<std::string>{"/alice/f/1", "/alice/f/2"}));
    ASSERT_EQ(list.count(), 2);
    EXPECT_EQ(list.entry(0).remotePath, "/alice/x");
    EXPECT_EQ(list.entry(1).remotePath, "/alice/y");
}

TEST_F(TransferListTest, PreviewsAreOnePerPathAndRestartAtTheAskedOffset) {
    int p = list.AddTransfer("bob", "/alice/v.mp4", dir.file("v.mp4"),
                             rec(TransferKind::Preview, TransferState::Waiting, 1000));
    EXPECT_EQ(p, 0);
    EXPECT_EQ(state(p), TransferState::Paused);
    EXPECT_EQ(list.AddTransfer("bob", "/ALICE/v.mp4", dir.file("v2.mp4"),
                               rec(TransferKind::Preview, TransferState::Waiting, 1000)),
              -1);
    EXPECT_EQ(list.count(), 1);
    EXPECT_EQ(t.previewSet.count(), 1);
    list.StartTransfer("/alice/v.mp4", 500);
    EXPECT_EQ(state(p), TransferState::Waiting);
    EXPECT_EQ(list.record(p).received, 500u);
    EXPECT_EQ(stopped, std::vector<std::string>{"/alice/v.mp4"});
    // Cancelled, the path stays previewed for this run.
    list.CancelTransfer("/alice/v.mp4");
    EXPECT_EQ(list.count(), 0);
    EXPECT_EQ(list.AddTransfer("bob", "/alice/v.mp4", dir.file("v.mp4"),
                               rec(TransferKind::Preview, TransferState::Waiting, 1000)),
              -1);
}

TEST_F(TransferListTest, AfterLoadPreviewsGoAndInterruptedRecordsWaitWithTheirBytes) {
    auto add = [&](int32_t kind, int32_t st, int32_t parent = 0) {
        TransferRecord r = rec(kind, st, 1000, parent);
        int i = list.AddTransfer("bob", "/alice/" + std::to_string(list.count()), dir.file("x"), r);
        t.transfers[i].state = st;  // as loaded
        t.transfers[i].received = 400;
        t.transfers[i].rate = 77;
        t.transfers[i].openWhenComplete = 1;
    };
    add(TransferKind::Preview, TransferState::Receiving);
    add(TransferKind::File, TransferState::Receiving);
    add(TransferKind::Folder, TransferState::FolderListing);
    add(TransferKind::File, TransferState::Requested);
    add(TransferKind::File, TransferState::Paused);
    add(TransferKind::File, TransferState::Done);
    list.afterLoad();
    ASSERT_EQ(list.count(), 5);
    std::vector<int32_t> want{TransferState::Waiting, TransferState::Waiting,
                              TransferState::Waiting, TransferState::Paused, TransferState::Done};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(state(i), want[static_cast<size_t>(i)]) << i;
        EXPECT_EQ(list.record(i).received, 400u) << i;
        EXPECT_EQ(list.record(i).rate, 0) << i;
        EXPECT_EQ(list.record(i).openWhenComplete, 0) << i;
    }
    // The waiting file is asked for again.
    list.EngineStep();
    EXPECT_EQ(items(MailKind::SharedFileRequest),
              (std::vector<std::string>{"/alice/1", "/alice/3"}));
}

TEST_F(TransferListTest, RefreshProgressCopiesCountersAndWindowsByPathAndTarget) {
    list.AddTransfer("bob", "/alice/a", dir.file("a"),
                     rec(TransferKind::File, TransferState::Receiving, 100));
    list.AddTransfer("bob", "/alice/b", dir.file("b"),
                     rec(TransferKind::File, TransferState::Receiving, 100));
    ActiveTransfer a{"/alice/b", dir.file("b"), 60, 30, {}};
    a.window.slots[0] = 5;
    a.window.time = 123;
    active.push_back(a);
    active.push_back({"/alice/a", dir.file("elsewhere"), 99, 1, {}});  // not this target
    std::vector<RateMeter> windows(2, RateMeter{});
    list.RefreshProgress(&windows);
    EXPECT_EQ(list.record(0).received, 0u);
    EXPECT_EQ(list.record(1).received, 60u);
    EXPECT_EQ(list.record(1).rate, 30);
    EXPECT_EQ(windows[1].slots[0], 5u);
    EXPECT_EQ(windows[1].time, 123);
    EXPECT_EQ(windows[0].time, 0);
}

}  // namespace
}  // namespace orv
