// The shared-folder store: folder identity and prefixes, rename and delete with the files
// following their folders, the listings built and merged, the listing sets, and the store
// surviving cfg.dat.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/core_tables.h"
#include "core/state_file.h"
#include "support/temp_dir.h"

namespace orv {
namespace {

SharedFileRecord rec(uint64_t size, int32_t added = 1000) {
    SharedFileRecord r{};
    r.size = size;
    r.added = added;
    return r;
}

class ShareStoreTest : public ::testing::Test {
  protected:
    ManualClock clock{1'700'000'000};
    CoreTables t{clock};
    ShareStore& s = t.share;

    std::vector<std::string> folders() const {
        std::vector<std::string> v;
        for (int i = 0; i < s.folderCount(); ++i)
            v.emplace_back(s.folderPath(i));
        return v;
    }
    // "folder|name" of every file, in store order.
    std::vector<std::string> files() const {
        std::vector<std::string> v;
        for (int i = 0; i < s.fileCount(); ++i)
            v.push_back(std::string(s.folderPath(s.file(i).folder)) + "|" +
                        std::string(s.fileName(i)));
        return v;
    }
};

TEST_F(ShareStoreTest, FolderIdentityIgnoresCaseAndFilesAreUniquePerFolder) {
    EXPECT_TRUE(s.AddFolder("/me/", 0));
    EXPECT_TRUE(s.AddFolder("/me/Music/", 7));
    EXPECT_FALSE(s.AddFolder("/ME/music/", 0));
    EXPECT_EQ(s.FindFolder("/me/MUSIC/"), 1);
    EXPECT_EQ(s.folderTag(1), 7);
    EXPECT_TRUE(s.AddFile("/d/a.mp3", "a.mp3", rec(5), "/me/music/"));
    EXPECT_FALSE(s.AddFile("/d/A.mp3", "A.MP3", rec(6), "/me/Music/"));
    EXPECT_FALSE(s.AddFile("/d/x", "x", rec(1), "/me/none/"));
    EXPECT_EQ(s.fileCount(), 1);
    EXPECT_EQ(s.file(0).folder, 1);
    // FindFile wants the folder part exactly as stored; the name ignores case.
    EXPECT_EQ(s.FindFile("/me/Music/A.MP3"), 0);
    EXPECT_EQ(s.FindFile("/me/music/a.mp3"), -1);
    // A rename to a path that differs only in case changes nothing.
    EXPECT_TRUE(s.AddFolder("/me/b/", 0));
    EXPECT_FALSE(s.RenameFolder("/me/b/", "MUSIC"));
    EXPECT_EQ(folders(), (std::vector<std::string>{"/me/", "/me/Music/", "/me/b/"}));
}

TEST_F(ShareStoreTest, RenameMovesTheSubtreeKeepsFilesAndLeavesLongerNamesAlone) {
    for (auto p : {"/me/", "/me/a/", "/me/a/x/", "/me/ab/", "/me/c/"})
        s.AddFolder(p, 0);
    s.AddFile("/d/1", "one", rec(1), "/me/a/");
    s.AddFile("/d/2", "two", rec(2), "/me/a/x/");
    s.AddFile("/d/3", "three", rec(3), "/me/ab/");
    EXPECT_TRUE(s.RenameFolder("/me/a/", "b"));
    EXPECT_EQ(folders(),
              (std::vector<std::string>{"/me/", "/me/b/", "/me/b/x/", "/me/ab/", "/me/c/"}));
    EXPECT_EQ(files(), (std::vector<std::string>{"/me/b/|one", "/me/b/x/|two", "/me/ab/|three"}));
    EXPECT_EQ(s.FindFolder("/me/a/"), -1);
    EXPECT_EQ(s.FindFile("/me/b/x/two"), 1);
    // A rename that would make a deeper path collide changes nothing either.
    s.AddFolder("/me/z/x/", 0);
    EXPECT_FALSE(s.RenameFolder("/me/b/", "z"));
    EXPECT_EQ(s.FindFolder("/me/b/x/"), 2);
}

TEST_F(ShareStoreTest, DeleteRemovesTheSubtreeAndTheRestKeepTheirFolders) {
    for (auto p : {"/me/", "/me/a/", "/me/a/x/", "/me/b/", "/me/ab/"})
        s.AddFolder(p, 0);
    s.AddFile("/d/1", "in-a", rec(1), "/me/a/");
    s.AddFile("/d/2", "in-b", rec(2), "/me/b/");
    s.AddFile("/d/3", "in-x", rec(3), "/me/a/x/");
    s.AddFile("/d/4", "in-ab", rec(4), "/me/ab/");
    EXPECT_EQ(s.SubtreeSize("/me/a"), 1u + 3u + 4u);  // a prefix, not a folder
    EXPECT_EQ(s.SubtreeSize("/me/a/"), 4u);
    EXPECT_EQ(s.DeleteFolders("/me/a/", true), 2);
    EXPECT_EQ(folders(), (std::vector<std::string>{"/me/", "/me/b/", "/me/ab/"}));
    EXPECT_EQ(files(), (std::vector<std::string>{"/me/b/|in-b", "/me/ab/|in-ab"}));
    EXPECT_EQ(s.file(0).folder, 1);
    EXPECT_EQ(s.file(1).folder, 2);
    EXPECT_EQ(std::string(s.localPath(1)), "/d/4");
    // Without includeSelf the folder itself stays, with its files.
    EXPECT_EQ(s.DeleteFolders("/ME/", false), 0);  // prefixes are case-sensitive
    EXPECT_EQ(s.DeleteFolders("/me/", false), 2);
    EXPECT_EQ(folders(), (std::vector<std::string>{"/me/"}));
    EXPECT_EQ(s.fileCount(), 0);
    EXPECT_TRUE(s.AddFile("/d/5", "again", rec(5), "/me/"));
    EXPECT_TRUE(s.RemoveFile("/me/", "AGAIN"));
    EXPECT_FALSE(s.RemoveFile("/me/", "again"));
}

TEST_F(ShareStoreTest, ListingsOneLevelAndSubtreeCountFoldersInTheListing) {
    for (auto p : {"/bob/", "/bob/m/", "/bob/m/live/", "/bob/m/live/old/", "/bob/n/"})
        s.AddFolder(p, 3);
    s.AddFile("/d/1", "top", rec(1), "/bob/m/");
    s.AddFile("/d/2", "deep", rec(2), "/bob/m/live/old/");
    s.AddFile("/d/3", "live", rec(3), "/bob/m/live/");
    ShareListing one = s.BuildListing("/bob/m/", false);
    EXPECT_EQ(one.folders, (std::vector<std::string>{"/bob/m/", "/bob/m/live/"}));
    EXPECT_EQ(one.tags, (std::vector<int32_t>{3, 3}));
    EXPECT_EQ(one.names, (std::vector<std::string>{"top"}));
    EXPECT_EQ(one.records[0].folder, 0);
    ShareListing tree = s.BuildListing("/bob/m/", true);
    EXPECT_EQ(tree.folders.size(), 3u);
    EXPECT_EQ(tree.names, (std::vector<std::string>{"top", "deep", "live"}));
    EXPECT_EQ(tree.records[1].folder, 2);
    EXPECT_EQ(tree.records[2].folder, 1);
    EXPECT_EQ(tree.records[2].size, 3u);
}

TEST_F(ShareStoreTest, OneLevelReplyRemovesWhatTheOwnerNoLongerListsAndReplacesFiles) {
    for (auto p : {"/bob/", "/bob/a/", "/bob/a/keep/", "/bob/a/gone/", "/bob/a/gone/deep/",
                   "/bob/a/keep/inner/"})
        s.AddFolder(p, 0);
    s.AddFile("", "old", rec(1), "/bob/a/");
    s.AddFile("", "deep-file", rec(1), "/bob/a/gone/deep/");
    s.AddFile("", "inner-file", rec(1), "/bob/a/keep/inner/");
    ShareListing l;
    l.folders = {"/bob/a/", "/bob/a/keep/", "/bob/a/new/"};
    l.tags = {0, 0, 9};
    l.names = {"fresh"};
    SharedFileRecord r = rec(42);
    r.reserved20[5] = 0xAB;
    r.folder = 0;
    l.records = {r};
    s.pending.append("/bob/a/");
    EXPECT_EQ(s.ApplyListing("/bob/a/", false, l, "me"), "");
    EXPECT_EQ(folders(), (std::vector<std::string>{"/bob/", "/bob/a/", "/bob/a/keep/",
                                                   "/bob/a/keep/inner/", "/bob/a/new/"}));
    EXPECT_EQ(files(),
              (std::vector<std::string>{"/bob/a/keep/inner/|inner-file", "/bob/a/|fresh"}));
    EXPECT_EQ(s.file(1).reserved20[5], 0xAB);  // reserved bytes as received
    EXPECT_EQ(s.folderTag(s.FindFolder("/bob/a/new/")), 9);
    EXPECT_EQ(s.pending.count(), 0);
    EXPECT_EQ(s.listed.find("/BOB/A/"), 0);
    // Listed: the next one-level request is not sent until the path is forgotten.
    EXPECT_FALSE(s.RequestListing("/bob/a/", false));
    s.ForgetListed("/bob/a/");
    EXPECT_EQ(s.RequestListing("/bob/a/", false), "bob");
    EXPECT_FALSE(s.RequestListing("/bob/a/", false));  // pending now
    s.ListingRequestDelivered("/bob/a/", false);
    EXPECT_EQ(s.RequestListing("/bob/a/", false), "bob");
    EXPECT_FALSE(s.RequestListing("/nobody", false));
    EXPECT_FALSE(s.RequestListing("bob/a/", false));
}

TEST_F(ShareStoreTest, AReplyAboutTheOwnBranchOnlyAdds) {
    for (auto p : {"/me/", "/me/a/", "/me/a/x/"})
        s.AddFolder(p, 0);
    s.AddFile("/d/f", "f", rec(1), "/me/a/");
    ShareListing l;
    l.folders = {"/me/a/", "/me/a/y/"};
    l.tags = {0, 0};
    EXPECT_EQ(s.ApplyListing("/me/a/", false, l, "ME"), "");
    EXPECT_EQ(folders(), (std::vector<std::string>{"/me/", "/me/a/", "/me/a/x/", "/me/a/y/"}));
    EXPECT_EQ(s.fileCount(), 1);
    EXPECT_EQ(s.ApplyListing("/me/", true, l, "me"), "");
    EXPECT_EQ(s.folderCount(), 4);
    EXPECT_EQ(s.treeListed.count(), 1);
}

TEST_F(ShareStoreTest, ListingsThatCouldWriteOutsideTheirPlaceAreRefusedWhole) {
    s.AddFolder("/me/", 0);
    s.AddFolder("/eve/", 0);
    auto refused = [&](const ShareListing& l, std::string_view path = "/eve/") {
        int folders = s.folderCount(), files = s.fileCount();
        std::string why = s.ApplyListing(path, true, l, "me");
        EXPECT_EQ(s.folderCount(), folders);
        EXPECT_EQ(s.fileCount(), files);
        return !why.empty();
    };
    ShareListing l;
    l.folders = {"/eve/../me/"};
    l.tags = {0};
    EXPECT_TRUE(refused(l));
    l.folders = {"/me/planted/"};
    EXPECT_TRUE(refused(l));
    l.folders = {"/eve/a\\b/"};
    EXPECT_TRUE(refused(l));
    l.folders = {"/eve//"};
    EXPECT_TRUE(refused(l));
    l.folders = {"/eve/ok/"};
    l.names = {"../../etc/passwd"};
    l.records = {rec(1)};
    EXPECT_TRUE(refused(l));
    l.names = {".."};
    EXPECT_TRUE(refused(l));
    l.names = {"fine"};
    l.records[0].folder = 1;  // no such folder in the listing
    EXPECT_TRUE(refused(l));
    EXPECT_TRUE(refused(l, "/eve/../"));
    l.records[0].folder = 0;
    EXPECT_EQ(s.ApplyListing("/eve/", true, l, "me"), "");
    EXPECT_EQ(s.FindFile("/eve/ok/fine"), 0);
}

TEST_F(ShareStoreTest, TheStoreSurvivesTheStateFileWithReservedBytes) {
    test::TempDir dir;
    s.AddFolder("/me/", 0);
    s.AddFolder("/me/音乐/", -5);
    SharedFileRecord r = rec(1048576, 1234);
    r.reserved4[2] = 7;
    r.reserved20[35] = 9;
    s.AddFile("/home/me/歌.mp3", "歌.mp3", r, "/me/音乐/");
    ASSERT_TRUE(saveStateFile(t, dir.file("cfg.dat")));
    CoreTables back(clock);
    loadStateFile(back, dir.file("cfg.dat"));
    ShareStore& b = back.share;
    ASSERT_EQ(b.folderCount(), 2);
    EXPECT_EQ(b.FindFolder("/ME/音乐/"), 1);
    EXPECT_EQ(b.folderTag(1), -5);
    int f = b.FindFile("/me/音乐/歌.MP3");
    ASSERT_EQ(f, 0);
    EXPECT_EQ(std::string(b.localPath(f)), "/home/me/歌.mp3");
    EXPECT_EQ(std::memcmp(&b.file(f), &s.file(0), sizeof(SharedFileRecord)), 0);
    EXPECT_EQ(b.SubtreeSize("/me/"), 1048576u);
}

TEST_F(ShareStoreTest, UniqueLocalNameSkipsFilesAndTransfers) {
    test::TempDir dir;
    std::string p = dir.file("song.mp3");
    EXPECT_EQ(UniqueLocalName(t, p), p);
    std::ofstream(p) << "x";
    std::ofstream(dir.file("[1]song.mp3")) << "x";
    t.transferLocalPaths.append(dir.file("[2]SONG.mp3"));
    EXPECT_EQ(UniqueLocalName(t, p), dir.file("[3]song.mp3"));
}

}  // namespace
}  // namespace orv
