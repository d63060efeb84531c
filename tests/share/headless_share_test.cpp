// Shared folders between headless client processes with the real directory server: a branch of
// a thousand files shared from disk, listed one level and as a whole subtree by another user,
// a rename followed by a refresh, and a hostile peer whose listings change nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "engine/item_message.h"
#include "engine/peer_helper.h"
#include "net/codec.h"
#include "server/directory_harness.h"
#include "share/listing_codec.h"
#include "support/child_process.h"
#include "support/json_line.h"
#include "support/temp_dir.h"

namespace orv {
namespace {

// The strings of a JSON array member holding plain strings (the folder list).
std::set<std::string> folderSet(const std::string& line) {
    std::set<std::string> out;
    size_t p = line.find("\"folders\":[");
    if (p == std::string::npos) return out;
    p += 11;
    size_t end = line.find(']', p);
    while (p < end) {
        size_t a = line.find('"', p);
        if (a == std::string::npos || a > end) break;
        size_t b = line.find('"', a + 1);
        out.insert(line.substr(a + 1, b - a - 1));
        p = b + 1;
    }
    return out;
}

// The files member as it stands: folder, name, size and time of every file, in order.
std::string filesPart(const std::string& line) {
    size_t p = line.find("\"files\":[");
    return p == std::string::npos ? std::string() : line.substr(p);
}

class HeadlessShare : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server.start(dir.file("directory.sqlite")));
        address = "127.0.0.1:" + std::to_string(server.port());
    }
    void startClient(test::ChildProcess& p, const std::string& user) {
        ASSERT_TRUE(test::startHeadlessUser(p, dir.file(user), address, user, "pw" + user, true));
    }
    std::string ask(test::ChildProcess& p, const std::string& command) {
        p.writeLine(command);
        auto l = p.waitForLine("\"cmd\":\"share\"", 20000);
        return l ? *l : std::string();
    }
    std::string list(test::ChildProcess& p, const std::string& path) {
        return ask(p, "share list \"" + path + "\" tree");
    }
    // Writes a tree of 1 000 files: 10 folders (Chinese and English names) of 10 subfolders
    // with 9 files each, and 100 files in the top folder.
    std::string makeTree() {
        std::string top = dir.file("共享 files");
        int n = 0;
        std::filesystem::create_directories(top);
        for (int i = 0; i < 100; ++i, ++n)
            std::ofstream(top + "/top " + std::to_string(i) + ".txt")
                << std::string(static_cast<size_t>(i), 'x');
        for (int a = 0; a < 10; ++a) {
            std::string da = top + "/" + (a % 2 ? "音乐 " : "music ") + std::to_string(a);
            for (int b = 0; b < 10; ++b) {
                std::string db = da + "/" + (b % 2 ? "现场" : "Live") + std::to_string(b);
                std::filesystem::create_directories(db);
                for (int f = 0; f < 9; ++f, ++n)
                    std::ofstream(db + "/" + (f % 2 ? "歌曲 " : "Song ") + std::to_string(f) +
                                  ".mp3")
                        << std::string(static_cast<size_t>(a * 100 + b * 10 + f), 'y');
            }
        }
        EXPECT_EQ(n, 1000);
        return top;
    }

    test::TempDir dir;
    test::DirectoryProcess server;
    std::string address;
};

TEST_F(HeadlessShare, BobBrowsesAlicesThousandFilesAndFollowsARename) {
    std::string tree = makeTree();
    test::ChildProcess alice, bob;
    startClient(alice, "alice");
    startClient(bob, "bob");
    std::string added = ask(alice, "share add-dir /alice/ \"" + tree + "\"");
    ASSERT_NE(added.find("\"ok\":true"), std::string::npos) << added;
    EXPECT_NE(added.find("\"added\":1111"), std::string::npos) << added;  // 111 folders

    bob.writeLine("share connect alice");
    ASSERT_TRUE(bob.waitForLine("\"listing-arrived\",\"path\":\"/alice/\"", 30000));
    std::string oneLevel = ask(bob, "share list /alice/");
    EXPECT_EQ(folderSet(oneLevel), (std::set<std::string>{"/alice/", "/alice/共享 files/"}));

    ASSERT_NE(ask(bob, "share request \"/alice/共享 files/\" tree").find("\"ok\":true"),
              std::string::npos);
    ASSERT_TRUE(bob.waitForLine("\"listing-arrived\",\"path\":\"/alice/共享 files/\"", 30000));
    std::string mine = list(alice, "/alice/共享 files/");
    std::string seen = list(bob, "/alice/共享 files/");
    EXPECT_EQ(folderSet(seen).size(), 111u);
    EXPECT_EQ(folderSet(seen), folderSet(mine));
    EXPECT_EQ(filesPart(seen), filesPart(mine));
    EXPECT_NE(seen.find("\"name\":\"歌曲 7.mp3\",\"size\":977"), std::string::npos);

    std::string renamed = ask(alice, "share rename \"/alice/共享 files/音乐 9/\" \"Chansons\"");
    ASSERT_NE(renamed.find("\"ok\":true"), std::string::npos) << renamed;
    ask(bob, "share request \"/alice/共享 files/\" tree");
    ASSERT_TRUE(bob.waitForLine("\"listing-arrived\",\"path\":\"/alice/共享 files/\"", 30000));
    seen = list(bob, "/alice/共享 files/");
    mine = list(alice, "/alice/共享 files/");
    EXPECT_EQ(folderSet(seen), folderSet(mine));
    EXPECT_EQ(filesPart(seen), filesPart(mine));
    EXPECT_TRUE(folderSet(seen).count("/alice/共享 files/Chansons/现场3/"));
    EXPECT_FALSE(folderSet(seen).count("/alice/共享 files/音乐 9/"));
    for (auto* p : {&alice, &bob}) {
        p->writeLine("quit");
        EXPECT_EQ(p->wait(), 0);
    }
}

// Raw item messages from a peer calling itself mallory.
std::string listingItem(WireCodec& codec, int32_t kind, const std::string& sender,
                        const std::string& path, const ShareListing& l) {
    ItemMessage item;
    item.record.kind = kind;
    item.record.key = 0x1234 + static_cast<uint64_t>(path.size());
    item.subject = path;
    item.sender = sender;
    item.recipient = "bob";
    auto bytes =
        encodeItemMessage(item, codec, [&](WireWriter& w) { encodeListingTail(w, l, codec); });
    return std::string(bytes.begin(), bytes.end());
}

TEST_F(HeadlessShare, AHostilePeersListingsChangeNothing) {
    test::ChildProcess bob;
    startClient(bob, "bob");
    ask(bob, "share mkdir /bob/ mine");
    bob.writeLine("status");
    auto status = bob.waitForLine("\"cmd\":\"status\"");
    ASSERT_TRUE(status);
    int port = std::atoi(status->c_str() + status->find("\"peerPort\":") + 11);
    ASSERT_GT(port, 0);
    std::string before = list(bob, "/");

    test::ScriptedPeer peer(port, nullptr);
    ASSERT_TRUE(peer.connected());
    peer.sendFrame(Command::Hello, test::helloBody("bob", "mallory"));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!peer.hasFrame() && std::chrono::steady_clock::now() < deadline)
        bob.waitForLine("never", 20);
    ASSERT_TRUE(peer.hasFrame());
    ASSERT_EQ(peer.takeFrame().command, Command::Accept);

    WireCodec codec;
    auto listing = [](std::vector<std::string> folders, std::vector<std::string> names = {}) {
        ShareListing l;
        l.folders = std::move(folders);
        l.tags.assign(l.folders.size(), 0);
        l.names = std::move(names);
        l.records.assign(l.names.size(), SharedFileRecord{});
        return l;
    };
    const int32_t tree = MailKind::ListTreeReply, one = MailKind::ListFolderReply;
    // Someone else's branch, and the user's own.
    peer.send(listingItem(codec, tree, "mallory", "/alice/", listing({"/alice/x/"})));
    peer.send(listingItem(codec, one, "mallory", "/bob/", listing({"/bob/planted/"})));
    // Names that are not names.
    peer.send(listingItem(codec, tree, "mallory", "/mallory/", listing({"/mallory/../bob/"})));
    peer.send(listingItem(codec, tree, "mallory", "/mallory/", listing({"/mallory/a\\b/"})));
    peer.send(listingItem(codec, tree, "mallory", "/mallory/", listing({"/mallory/a/"}, {".."})));
    peer.send(
        listingItem(codec, tree, "mallory", "/mallory/", listing({"/mallory/a/"}, {"x/../../y"})));
    // Folders outside the requested path, the path itself not a path.
    peer.send(listingItem(codec, tree, "mallory", "/mallory/a/", listing({"/mallory/b/"})));
    peer.send(listingItem(codec, tree, "mallory", "/mallory/../bob/", listing({})));
    // A tail cut short.
    std::string cut = listingItem(codec, tree, "mallory", "/mallory/", listing({"/mallory/c/"}));
    cut.resize(cut.size() - 2);
    int32_t len = static_cast<int32_t>(cut.size() - 8);
    std::memcpy(cut.data() + 4, &len, 4);
    peer.send(cut);
    // Then one that is sound, to know the others were all read.
    peer.send(listingItem(codec, tree, "mallory", "/mallory/", listing({"/mallory/ok/"}, {"f"})));
    ASSERT_TRUE(bob.waitForLine("\"listing-arrived\",\"path\":\"/mallory/\"", 20000));

    std::string after = list(bob, "/");
    std::set<std::string> expected = folderSet(before);
    expected.insert("/mallory/ok/");
    EXPECT_EQ(folderSet(after), expected);
    EXPECT_EQ(after.find("planted"), std::string::npos);
    EXPECT_EQ(list(bob, "/bob/").find("/bob/planted/"), std::string::npos);
    bob.writeLine("quit");
    EXPECT_EQ(bob.wait(), 0);
}

}  // namespace
}  // namespace orv
