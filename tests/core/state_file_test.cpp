// cfg.dat against images built by hand from the documented layout: which table each block
// lands in, the byte-exact round trip, every load-time fix-up, every truncation of a
// realistic file and hostile counts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "cfg_builder.h"
#include "core/clock.h"
#include "core/core_tables.h"
#include "core/file_time.h"
#include "core/state_file.h"
#include "support/temp_dir.h"

namespace orv {
namespace {

using namespace cfgtest;
using test::TempDir;

template <typename T>
Bytes arrayBytes(const RecordArray<T>& a) {
    auto* p = reinterpret_cast<const uint8_t*>(a.data());
    return Bytes(p, p + static_cast<size_t>(a.count()) * sizeof(T));
}
Bytes poolBytes(const StringPool& p) {
    auto* d = reinterpret_cast<const uint8_t*>(p.data());
    return Bytes(d, d + p.byteCount());
}

// The bytes of the table that block n of the file is loaded into.
Bytes tableBytes(const CoreTables& t, int n) {
    switch (n) {
        case B::AttPaths:
            return poolBytes(t.attachmentPaths);
        case B::Atts:
            return arrayBytes(t.attachments);
        case B::Subjects:
            return poolBytes(t.subjects);
        case B::Mails:
            return arrayBytes(t.mails);
        case B::RrNames:
            return poolBytes(t.receivedRecipientNames);
        case B::RrSenders:
            return poolBytes(t.receivedRecipientSenders);
        case B::RrMails:
            return arrayBytes(t.receivedRecipientMails);
        case B::DelRecipients:
            return poolBytes(t.deliveryRecipients);
        case B::DelSenders:
            return poolBytes(t.deliverySenders);
        case B::Deliveries:
            return arrayBytes(t.deliveries);
        case B::SavedLogin:
            return poolBytes(t.savedLogin);
        case B::Contacts:
            return poolBytes(t.contacts);
        case B::SettingsNumbers:
            return arrayBytes(t.settingsNumbers);
        case B::OwnedNames:
            return poolBytes(t.ownedGroupNames);
        case B::OwnedCreators:
            return poolBytes(t.ownedGroupCreators);
        case B::OwnedMemberNames:
            return poolBytes(t.ownedMemberNames);
        case B::OwnedMembers:
            return arrayBytes(t.ownedMembers);
        case B::JoinedNames:
            return poolBytes(t.joinedGroupNames);
        case B::JoinedCreators:
            return poolBytes(t.joinedGroupCreators);
        case B::JoinedMemberNames:
            return poolBytes(t.joinedMemberNames);
        case B::JoinedMembers:
            return arrayBytes(t.joinedMembers);
        case B::JoinStrings:
            return poolBytes(t.joinConfirmStrings);
        case B::JoinValues:
            return arrayBytes(t.joinConfirmValues);
        case B::SettingsStrings:
            return poolBytes(t.settingsStrings);
        case B::OwnedIntros:
            return poolBytes(t.ownedGroupIntros);
        case B::OwnedGroups:
            return arrayBytes(t.ownedGroups);
        case B::AttNames:
            return poolBytes(t.attachmentNames);
        case B::OutEntries:
            return poolBytes(t.outAddressEntries);
        case B::OutMails:
            return arrayBytes(t.outAddressMails);
        case B::RecvEntries:
            return poolBytes(t.recvAddressEntries);
        case B::RecvMails:
            return arrayBytes(t.recvAddressMails);
        case B::ShareFolders:
            return poolBytes(t.shareFolderPaths);
        case B::ShareTags:
            return arrayBytes(t.shareFolderTags);
        case B::SharedNames:
            return poolBytes(t.sharedFileNames);
        case B::SharedFiles:
            return arrayBytes(t.sharedFiles);
        case B::SharedLocal:
            return poolBytes(t.sharedFileLocalPaths);
        case B::TransferRemote:
            return poolBytes(t.transferRemotePaths);
        case B::TransferLocal:
            return poolBytes(t.transferLocalPaths);
        case B::Transfers:
            return arrayBytes(t.transfers);
        case B::TransferOwners:
            return poolBytes(t.transferOwners);
    }
    return {};
}

class StateFile : public ::testing::Test {
  protected:
    StateFile() : store(dir.file("recvfile")) {}

    std::unique_ptr<CoreTables> fresh() { return std::make_unique<CoreTables>(clock, store); }
    // Loads from a heap block of exactly the file's size, so any read past its end is an
    // out-of-bounds access the sanitizer build reports.
    LoadReport load(CoreTables& t, const Bytes& bytes, size_t size = SIZE_MAX) {
        size_t n = std::min(size, bytes.size());
        std::unique_ptr<uint8_t[]> copy(new uint8_t[n]);
        if (n) std::memcpy(copy.get(), bytes.data(), n);
        return loadState(t, copy.get(), n);
    }
    int32_t now() const { return static_cast<int32_t>(clock.nowSeconds()); }
    std::vector<int32_t> numbers(const CoreTables& t) {
        return std::vector<int32_t>(t.settingsNumbers.begin(), t.settingsNumbers.end());
    }

    TempDir dir;
    ManualClock clock;
    std::string store;
};

bool isWidth(int i) {
    return i <= 12 || (i >= 19 && i <= 39) || (i >= 52 && i <= 58) || (i >= 62 && i <= 67);
}

TEST_F(StateFile, WrittenFileStartsWithTheHeader) {
    auto t = fresh();
    load(*t, realisticModel(now()).build());
    std::string path = dir.file("cfg.dat");
    ASSERT_TRUE(saveStateFile(*t, path));
    std::ifstream in(path, std::ios::binary);
    char head[8] = {};
    in.read(head, 8);
    EXPECT_EQ(std::string(head, 8), std::string("\x01\x00\x00\x00\xFD\x1A\x32\x01", 8));

    // Whatever header a file carries is skipped, and the writer puts its own back.
    CfgModel m = realisticModel(now(), false);
    Bytes plain = m.build();
    m.header = {7, -1, 0x1321AFD};
    auto u = fresh();
    LoadReport rep = load(*u, m.build());
    EXPECT_EQ(rep.blocksRead, 40);
    EXPECT_EQ(serializeState(*u), plain);
}

TEST_F(StateFile, EveryBlockLandsInItsOwnTable) {
    CfgModel m = realisticModel(now());
    auto t = fresh();
    LoadReport rep = load(*t, m.build());
    EXPECT_TRUE(rep.present);
    EXPECT_EQ(rep.blocksRead, 40);
    EXPECT_FALSE(rep.mailsDropped);
    for (int n = 1; n <= CfgModel::kBlocks; ++n) {
        Bytes want = (n == B::JoinStrings || n == B::JoinValues) ? Bytes{} : m[n].payload();
        EXPECT_EQ(tableBytes(*t, n), want) << "block " << n;
    }
    // A few fields through the records, to tie the layout to the names.
    EXPECT_EQ(t->mails[6].kind, MailKind::Inbox);
    EXPECT_EQ(t->mails[6].state, MailState::read | MailState::signedBit);
    EXPECT_EQ(t->mails[6].flags, MailFlags::urgent | MailFlags::signRequired);
    EXPECT_EQ(t->subjects.str(6), "会议通知：周五下午三点");
    EXPECT_EQ(t->attachments[1].total, 483122);
    EXPECT_EQ(t->attachments[1].mail, 0);
    EXPECT_EQ(t->deliveries[1].state, 9);
    EXPECT_EQ(t->deliveries[1].progress, 4096);
    EXPECT_EQ(t->transfers[3].total, ~0ull);
    EXPECT_EQ(t->transfers[2].parent, 1);
    EXPECT_EQ(t->sharedFiles[0].size, 4812345u);
    EXPECT_EQ(t->ownedGroups[0].publicFlag, 1);
    EXPECT_EQ(t->joinedMembers[3].group, 1);
    EXPECT_EQ(t->settingNumber(Setting::AutoReceiveMB), 25);
    EXPECT_EQ(t->settingString(SettingString::ServerHost), "dir.example.org");
    // One zeroed send meter per delivery.
    ASSERT_EQ(t->deliveryProgress.count(), t->deliveries.count());
    for (const DeliveryProgress& p : t->deliveryProgress) {
        EXPECT_EQ(p.start, 0);
        EXPECT_EQ(p.meter.time, 0);
    }
}

TEST_F(StateFile, RoundTripIsByteExactWhenNothingNeedsFixing) {
    Bytes file = realisticModel(now(), false).build();
    auto t = fresh();
    load(*t, file);
    EXPECT_EQ(serializeState(*t), file);
    // And the file on disk is the same bytes.
    std::string path = dir.file("cfg.dat");
    ASSERT_TRUE(saveStateFile(*t, path));
    auto u = fresh();
    LoadReport rep = loadStateFile(*u, path);
    EXPECT_TRUE(rep.present);
    EXPECT_EQ(serializeState(*u), file);
}

TEST_F(StateFile, NoFileInstallsTheDefaults) {
    auto t = fresh();
    LoadReport rep = loadStateFile(*t, dir.file("absent.dat"));
    EXPECT_FALSE(rep.present);
    EXPECT_EQ(rep.blocksRead, 0);
    ASSERT_EQ(t->settingsNumbers.count(), 128);
    for (int i = 0; i < 128; ++i) {
        int32_t want = isWidth(i) ? 120 : (i == 18 ? 10 : 0);
        EXPECT_EQ(t->settingsNumbers[i], want) << i;
    }
    ASSERT_EQ(t->settingsStrings.count(), 2);
    EXPECT_EQ(t->settingString(0), t->mailStoreFolder());
    EXPECT_EQ(t->settingString(0), store + "/");
    EXPECT_TRUE(std::filesystem::is_directory(store));
    EXPECT_EQ(t->settingString(1), "");
    EXPECT_EQ(t->mails.count(), 0);
    // Written back, the settings strings have the five entries the format keeps.
    auto u = fresh();
    load(*u, serializeState(*t));
    EXPECT_EQ(u->settingsStrings.count(), 5);
    EXPECT_EQ(numbers(*u), numbers(*t));
}

TEST_F(StateFile, InconsistentMailGroupIsDroppedAlone) {
    for (int variant = 0; variant < 3; ++variant) {
        SCOPED_TRACE(variant);
        CfgModel m = realisticModel(now());
        if (variant == 0) m.pool(B::Subjects).push_back("a third subject too many");
        if (variant == 1) m.pool(B::DelRecipients).pop_back();
        if (variant == 2) m.pool(B::DelSenders).push_back("extra");
        auto t = fresh();
        LoadReport rep = load(*t, m.build());
        EXPECT_TRUE(rep.mailsDropped);
        EXPECT_EQ(t->mails.count(), 0);
        EXPECT_EQ(t->subjects.count(), 0);
        EXPECT_EQ(t->attachments.count(), 0);
        EXPECT_EQ(t->attachmentPaths.count(), 0);
        EXPECT_EQ(t->attachmentNames.count(), 0);  // the names block follows later: dropped too
        EXPECT_EQ(t->deliveries.count(), 0);
        EXPECT_EQ(t->deliveryRecipients.count(), 0);
        EXPECT_EQ(t->deliverySenders.count(), 0);
        EXPECT_EQ(t->deliveryProgress.count(), 0);
        EXPECT_EQ(t->receivedRecipientNames.count(), 0);
        EXPECT_EQ(t->receivedRecipientMails.count(), 0);
        // Address lines pointing at the dropped mails go and create nothing.
        EXPECT_EQ(t->outAddressEntries.count(), 0);
        EXPECT_EQ(t->recvAddressMails.count(), 0);
        for (int n :
             {B::SavedLogin, B::Contacts, B::SettingsNumbers, B::OwnedNames, B::OwnedMembers,
              B::JoinedNames, B::JoinedMemberNames, B::JoinedMembers, B::SettingsStrings,
              B::OwnedGroups, B::ShareFolders, B::SharedFiles, B::Transfers, B::TransferOwners})
            EXPECT_EQ(tableBytes(*t, n), m[n].payload()) << "block " << n;
        // A mail added afterwards starts clean.
        int k = t->appendMail(MailRecord{}, "new");
        t->appendAttachment(k, "/tmp/n.txt", "n.txt", AttachmentRecord{});
        EXPECT_EQ(t->attachmentNames.str(0), "n.txt");
        EXPECT_TRUE(t->mailOutAddress(k).empty());
        EXPECT_TRUE(t->mailDeliveries(k).empty());
    }
}

TEST_F(StateFile, SettingsNumbersWidthsAndDefaults) {
    CfgModel m = realisticModel(now(), false);
    auto& nums = m.records(B::SettingsNumbers);
    put32(nums[0], 0, 0);
    put32(nums[1], 0, 1000);
    put32(nums[2], 0, 1);
    put32(nums[3], 0, 999);
    put32(nums[30], 0, static_cast<uint32_t>(-7));
    put32(nums[55], 0, 0x7FFFFFFF);
    put32(nums[65], 0, 0);
    put32(nums[18], 0, 0);  // not a width: kept
    put32(nums[40], 0, 5000);
    put32(nums[60], 0, 0);
    auto t = fresh();
    load(*t, m.build());
    EXPECT_EQ(t->settingNumber(0), 120);
    EXPECT_EQ(t->settingNumber(1), 120);
    EXPECT_EQ(t->settingNumber(2), 1);
    EXPECT_EQ(t->settingNumber(3), 999);
    EXPECT_EQ(t->settingNumber(30), 120);
    EXPECT_EQ(t->settingNumber(55), 120);
    EXPECT_EQ(t->settingNumber(65), 120);
    EXPECT_EQ(t->settingNumber(18), 0);
    EXPECT_EQ(t->settingNumber(40), 5000);
    EXPECT_EQ(t->settingNumber(13), 200);

    put32(nums[18], 0, 1000);
    t = fresh();
    load(*t, m.build());
    EXPECT_EQ(t->settingNumber(18), 1000);

    // Missing: 128 zeros with the receive limit at 10, widths at 120.
    m.records(B::SettingsNumbers).clear();
    t = fresh();
    load(*t, m.build());
    ASSERT_EQ(t->settingsNumbers.count(), 128);
    for (int i = 0; i < 128; ++i)
        EXPECT_EQ(t->settingsNumbers[i], isWidth(i) ? 120 : (i == 18 ? 10 : 0)) << i;

    // Too short: padded, what was there kept.
    for (int i = 0; i < 20; ++i)
        m.records(B::SettingsNumbers).push_back(int32Record(i == 18 ? 3 : 77));
    t = fresh();
    load(*t, m.build());
    ASSERT_EQ(t->settingsNumbers.count(), 128);
    EXPECT_EQ(t->settingNumber(18), 3);
    EXPECT_EQ(t->settingNumber(13), 77);
    EXPECT_EQ(t->settingNumber(19), 77);
    EXPECT_EQ(t->settingNumber(20), 120);
    EXPECT_EQ(t->settingNumber(61), 0);
}

TEST_F(StateFile, EmptyReceiveFolderBecomesTheMailStore) {
    CfgModel m = realisticModel(now(), false);
    m.pool(B::SettingsStrings)[0] = "";
    m.pool(B::SettingsStrings)[1] = "203.0.113.5";
    auto t = fresh();
    load(*t, m.build());
    EXPECT_EQ(t->settingString(0), t->mailStoreFolder());
    EXPECT_TRUE(std::filesystem::is_directory(store));
    EXPECT_EQ(t->settingString(1), "");
    EXPECT_EQ(t->settingString(7), "dir.example.org");
    EXPECT_EQ(t->settingsStrings.count(), 11);

    m.pool(B::SettingsStrings)[0] = "/mine/";
    t = fresh();
    load(*t, m.build());
    EXPECT_EQ(t->settingString(0), "/mine/");
    EXPECT_EQ(t->settingString(1), "203.0.113.5");

    // Reserved entries 2 to 4 are written empty, whatever the tables hold.
    t->setSettingString(3, "junk");
    auto u = fresh();
    load(*u, serializeState(*t));
    EXPECT_EQ(u->settingString(3), "");
    EXPECT_EQ(u->settingString(5), "/usr/bin/vlc");
}

TEST_F(StateFile, AttachmentNamesRebuiltFromPaths) {
    CfgModel m = realisticModel(now(), false);
    m.pool(B::AttNames).clear();
    m.pool(B::AttPaths)[3] = "no-separator.txt";
    m.pool(B::AttPaths)[4] = "/ends/with/slash/";
    auto t = fresh();
    load(*t, m.build());
    ASSERT_EQ(t->attachmentNames.count(), t->attachmentPaths.count());
    EXPECT_EQ(t->attachmentNames.str(0), "5E1F0A9C3B2D4E01.htm");
    EXPECT_EQ(t->attachmentNames.str(1), "report-q3.pdf");
    EXPECT_EQ(t->attachmentNames.str(3), "no-separator.txt");
    EXPECT_EQ(t->attachmentNames.str(4), "");

    // A names block that does not match the paths would pair names with the wrong files.
    m = realisticModel(now(), false);
    m.pool(B::AttNames).pop_back();
    t = fresh();
    load(*t, m.build());
    ASSERT_EQ(t->attachmentNames.count(), t->attachmentPaths.count());
    EXPECT_EQ(t->attachmentNames.str(t->attachmentNames.count() - 1), "IMG_0002.JPG");
}

TEST_F(StateFile, TransfersRestartAndPreviewsGo) {
    CfgModel m = realisticModel(now(), false);
    m.records(B::Transfers).clear();
    for (auto* p :
         {&m.pool(B::TransferRemote), &m.pool(B::TransferLocal), &m.pool(B::TransferOwners)})
        p->clear();
    auto add = [&](int32_t kind, int32_t state, const std::string& remote, int32_t parent,
                   uint8_t open, int32_t rate) {
        Transfer r;
        r.kind = kind;
        r.state = state;
        r.parent = parent;
        r.openWhenComplete = open;
        r.rate = rate;
        r.total = 1000;
        r.received = 400;
        m.records(B::Transfers).push_back(r.bytes());
        m.pool(B::TransferRemote).push_back(remote);
        m.pool(B::TransferLocal).push_back("/dl" + remote);
        m.pool(B::TransferOwners).push_back("me");
    };
    add(0, 2, "/bob/v.mp4", 0, 1, 5000);      // receiving
    add(3, 2, "/bob/v.mp4", 0, 0, 100);       // a preview of the same path
    add(1, 6, "/bob/music/", 0, 0, 0);        // folder listing
    add(2, 3, "/bob/music/a.mp3", 2, 1, 77);  // requested
    add(3, 1, "/carol/w.avi", 0, 0, 0);       // another preview
    add(0, 1, "/carol/doc.pdf", 0, 0, 0);     // paused
    add(2, 4, "/bob/music/b.mp3", 2, 0, 0);   // done
    add(1, 5, "/dave/f/", 0, 0, 0);           // folder busy
    add(0, 4, "/erin/x", 0, 1, 0);            // done, open when complete
    auto t = fresh();
    load(*t, m.build());
    ASSERT_EQ(t->transfers.count(), 7);
    std::vector<std::string> paths = t->transferRemotePaths.toVector();
    EXPECT_EQ(paths, (std::vector<std::string>{"/bob/v.mp4", "/bob/music/", "/bob/music/a.mp3",
                                               "/carol/doc.pdf", "/bob/music/b.mp3", "/dave/f/",
                                               "/erin/x"}));
    EXPECT_EQ(t->transferLocalPaths.str(2), "/dl/bob/music/a.mp3");
    EXPECT_EQ(t->transferOwners.count(), 7);
    const int32_t wantState[] = {0, 0, 0, 1, 4, 5, 4};
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(t->transfers[i].state, wantState[i]) << i;
        EXPECT_EQ(t->transfers[i].openWhenComplete, 0) << i;
        EXPECT_EQ(t->transfers[i].rate, 0) << i;
        EXPECT_EQ(t->transfers[i].received, 400u) << i;  // continues where it was
    }
    EXPECT_EQ(t->transfers[2].parent, 1);
    EXPECT_EQ(t->transfers[4].parent, 1);
}

TEST_F(StateFile, GroupEntriesExpandIntoDeliveriesAndRecipients) {
    CfgModel m = realisticModel(now(), false);
    // The team gained zoe since the mails were written; an empty member name adds nothing,
    // and members of the other group stay out.
    m.pool(B::JoinedMemberNames) = {"alice", "bob", "me", "root", "zoe", ""};
    m.records(B::JoinedMembers) = {member(0), member(0), member(0),
                                   member(1), member(0), member(0)};
    auto t = fresh();
    load(*t, m.build());
    // Mail 9: sent to "[Team:Alice]".
    EXPECT_EQ(t->mails[9].kind, MailKind::Outbox);
    EXPECT_EQ(t->mails[9].recipientCount, 4);
    StringPool p;
    t->mailRecipients(9, p);
    EXPECT_EQ(p.toVector(), (std::vector<std::string>{"alice", "bob", "me", "zoe"}));
    int d = t->mailDeliveries(9).back();
    EXPECT_EQ(t->deliverySenders.str(d), "me");
    EXPECT_EQ(t->deliveries[d].state, 0);
    EXPECT_EQ(t->deliveries[d].linkSocket, -1);
    EXPECT_EQ(t->deliveryProgress.count(), t->deliveries.count());
    // Mail 0 has no group entry and stays sent.
    EXPECT_EQ(t->mails[0].kind, MailKind::Sent);
    EXPECT_EQ(t->mails[0].recipientCount, 2);
    // Mail 1, received with "[team:alice]" in its address line.
    EXPECT_EQ(t->mails[1].kind, MailKind::Inbox);
    t->mailRecipients(1, p);
    EXPECT_EQ(p.toVector(), (std::vector<std::string>{"me", "bob", "alice", "zoe"}));
    int r = t->mailReceivedRecipients(1).back();
    EXPECT_EQ(t->receivedRecipientSenders.str(r), "alice");
    EXPECT_EQ(t->countReceivedFor("root"), 0);
    EXPECT_EQ(t->countReceivedFor("zoe"), 1);
}

TEST_F(StateFile, DraftsAndDeletedMailsDoNotGainGroupMembers) {
    for (int32_t kind : {MailKind::Draft, MailKind::TrashOutgoing}) {
        CfgModel m = realisticModel(now(), false);
        m.pool(B::JoinedMemberNames) = {"alice", "bob", "me", "root", "zoe", ""};
        m.records(B::JoinedMembers) = {member(0), member(0), member(0),
                                       member(1), member(0), member(0)};
        put32(m.records(B::Mails)[9], 16, static_cast<uint32_t>(kind));
        auto t = fresh();
        load(*t, m.build());
        EXPECT_EQ(t->mails[9].kind, kind);
        EXPECT_FALSE(t->isRecipientOf("zoe", 9));
    }
}

TEST_F(StateFile, OrphanAddressEntriesCreateNothing) {
    CfgModel m = realisticModel(now(), false);
    m.pool(B::JoinedMemberNames).back() = "zoe";  // ops now has zoe
    m.pool(B::OutEntries).push_back("[ops:root]");
    m.records(B::OutMails).push_back(int32Record(50));
    m.pool(B::OutEntries).push_back("[ops:root]");
    m.records(B::OutMails).push_back(int32Record(-1));
    m.pool(B::RecvEntries).push_back("[ops:root]");
    m.records(B::RecvMails).push_back(int32Record(10));  // one past the last mail
    auto t = fresh();
    load(*t, m.build());
    EXPECT_EQ(t->deliveryRecipients.find("zoe"), -1);
    EXPECT_EQ(t->receivedRecipientNames.find("zoe"), -1);
    EXPECT_EQ(t->outAddressEntries.count(), 5);
    EXPECT_EQ(t->recvAddressEntries.count(), 2);
    int k = t->appendMail(MailRecord{}, "later");
    EXPECT_EQ(k, 10);
    EXPECT_TRUE(t->mailRecvAddress(k).empty());

    // More indexes than entries: the extra indexes go, so later entries pair up.
    m = realisticModel(now(), false);
    m.records(B::OutMails).push_back(int32Record(2));
    t = fresh();
    load(*t, m.build());
    EXPECT_EQ(t->outAddressMails.count(), t->outAddressEntries.count());
    int e = t->appendOutAddress(2, "gina");
    EXPECT_EQ(t->outAddressEntries.str(e), "gina");
    EXPECT_EQ(t->outAddressMails[e], 2);
}

TEST_F(StateFile, RowsOfMailsThatDoNotExistAreDropped) {
    CfgModel m = realisticModel(now(), false);
    Attachment stray;
    stray.mail = 50;
    m.pool(B::AttPaths).push_back("/stray/a.txt");
    m.pool(B::AttNames).push_back("a.txt");
    m.records(B::Atts).push_back(stray.bytes());
    Delivery lost;
    lost.mail = -1;
    m.pool(B::DelRecipients).insert(m.pool(B::DelRecipients).begin(), "ghost");
    m.pool(B::DelSenders).insert(m.pool(B::DelSenders).begin(), "me");
    m.records(B::Deliveries).insert(m.records(B::Deliveries).begin(), lost.bytes());
    m.pool(B::RrNames).push_back("ghost");
    m.pool(B::RrSenders).push_back("ghost");
    m.records(B::RrMails).push_back(int32Record(10));
    auto t = fresh();
    load(*t, m.build());
    EXPECT_EQ(t->attachments.count(), 10);
    EXPECT_EQ(t->attachmentNames.count(), 10);
    EXPECT_EQ(t->deliveries.count(), 8);
    EXPECT_EQ(t->deliveryRecipients.find("ghost"), -1);
    EXPECT_EQ(t->deliveryRecipients.str(0), "bob");
    EXPECT_EQ(t->deliveryProgress.count(), 8);
    EXPECT_EQ(t->receivedRecipientNames.find("ghost"), -1);
    int k = t->appendMail(MailRecord{}, "mail 10");
    EXPECT_TRUE(t->mailReceivedRecipients(k).empty());

    // A file cut before the mails: their files cannot go to mails created later.
    std::vector<size_t> ends;
    Bytes file = realisticModel(now(), false).build(&ends);
    auto u = fresh();
    load(*u, file, ends[B::Atts] + 2);
    EXPECT_EQ(u->mails.count(), 0);
    EXPECT_EQ(u->attachments.count(), 0);
    EXPECT_EQ(u->attachmentPaths.count(), 0);
    EXPECT_EQ(u->attachmentNames.count(), 0);
}

TEST_F(StateFile, RuntimeFieldsAndStatesReset) {
    CfgModel m = realisticModel(now(), false);
    // Stale runtime values and unfinished deliveries.
    put32(m.records(B::Mails)[2], 48, 0xDEADBEEF);
    put32(m.records(B::Atts)[0], 4, 0xCAFEF00D);
    put32(m.records(B::Mails)[1], 44, 5);    // kind 1: lastActivity
    put32(m.records(B::Mails)[5], 44, 5);    // kind 4: left alone
    Bytes& d = m.records(B::Deliveries)[2];  // the outbox mail's delivery
    put32(d, 4, 3);
    put32(d, 16, 2);
    put64(d, 24, 99);
    put32(d, 32, 7);
    put32(d, 64, 0x12345678);
    put32(m.records(B::Deliveries)[0], 4, 13);
    // Received files without a time take the file's time now; sent ones do not.
    std::string real = dir.file("menu.docx");
    { std::ofstream(real) << "x"; }
    struct timespec ts[2] = {{1650000000, 5000}, {1650000000, 5000}};
    ASSERT_EQ(::utimensat(AT_FDCWD, real.c_str(), ts, 0), 0);
    m.pool(B::AttPaths)[4] = real;
    put64(m.records(B::Atts)[4], 24, 0);  // belongs to mail 1 (kind 1)
    put64(m.records(B::Atts)[5], 24, 0);  // mail 2 (kind 0)

    auto t = fresh();
    load(*t, m.build());
    EXPECT_EQ(t->mails[2].runtimeSlot, 0u);
    EXPECT_EQ(t->attachments[0].runtimeSlot, 0u);
    EXPECT_EQ(t->mails[1].lastActivity, now() - 86400);
    EXPECT_EQ(t->mails[6].lastActivity, now() - 86400);
    EXPECT_EQ(t->mails[5].lastActivity, 5);
    EXPECT_EQ(t->attachments[4].fileTime, fileTimeFromUnix(1650000000, 5000));
    EXPECT_EQ(t->attachments[5].fileTime, 0);
    EXPECT_EQ(t->deliveries[0].state, 0);
    EXPECT_EQ(t->deliveries[1].state, 9);
    const DeliveryRecord& r = t->deliveries[2];
    EXPECT_EQ(r.state, 0);
    EXPECT_EQ(r.fileIndex, 0);
    EXPECT_EQ(r.fileOffset, 0);
    EXPECT_EQ(r.fileHandle, -1);
    EXPECT_EQ(r.runtimeSlot, 0u);
    EXPECT_EQ(r.mail, 2);
    EXPECT_EQ(r.stateTime, now() - 1000);
}

TEST_F(StateFile, TransientRowsAreDropped) {
    CfgModel m = realisticModel(now(), false, true);
    // A control item without deliveries is not touched.
    Mail lone;
    lone.kind = 5;
    lone.key = 0xEEEE;
    m.pool(B::Subjects).push_back("lone control item");
    m.records(B::Mails).push_back(lone.bytes());
    auto t = fresh();
    load(*t, m.build());
    std::vector<std::string> subjects = t->subjects.toVector();
    ASSERT_EQ(t->mails.count(), 12);
    EXPECT_EQ(subjects[10], "Resume upload");
    EXPECT_EQ(subjects[11], "lone control item");
    for (const MailRecord& r : t->mails) {
        EXPECT_NE(r.kind, 2);
        EXPECT_NE(r.kind, 17);
        EXPECT_NE(r.kind, 23);
    }
    // The surviving outbox mail kept its file and delivery under its new index, and its
    // group entry was expanded.
    StringPool p;
    t->mailAttachmentNames(10, p);
    EXPECT_EQ(p.toVector(), (std::vector<std::string>{"cv.pdf"}));
    t->mailRecipients(10, p);
    EXPECT_EQ(p.toVector(), (std::vector<std::string>{"alice", "root"}));
    EXPECT_EQ(t->mails[10].recipientCount, 2);
    EXPECT_EQ(t->outAddressMails[t->outAddressEntries.find("[ops:root]")], 10);
    EXPECT_EQ(t->deliveryRecipients.find("carol"), 1);  // mail 0's; the listing request's went
    EXPECT_EQ(t->deliveries.count(), 10);
    EXPECT_EQ(t->deliveryProgress.count(), 10);
    EXPECT_EQ(t->attachmentPaths.find("/home/me/Downloads/x.mp3"), -1);
    EXPECT_EQ(t->attachments.count(), t->attachmentNames.count());
    for (const AttachmentRecord& a : t->attachments)
        EXPECT_LT(a.mail, t->mails.count());
    for (const DeliveryRecord& d : t->deliveries)
        EXPECT_LT(d.mail, t->mails.count());
    // The preview went and the receiving folder file waits again.
    EXPECT_EQ(t->transfers.count(), 4);
    EXPECT_EQ(t->transfers[2].state, 0);
}

// Loads of a file cut at any point keep the complete blocks before the cut, as if the rest
// were empty, and still apply the fix-ups.
TEST_F(StateFile, EveryTruncationKeepsTheCompleteBlocks) {
    CfgModel m = realisticModel(now(), true, true);
    std::vector<size_t> ends;
    Bytes file = m.build(&ends);
    ASSERT_GT(file.size(), 3000u);
    ASSERT_LT(file.size(), 16000u);
    std::vector<Bytes> expected(CfgModel::kBlocks + 1);
    for (int k = 0; k <= CfgModel::kBlocks; ++k) {
        CfgModel prefix = m;
        for (int n = k + 1; n <= CfgModel::kBlocks; ++n)
            prefix[n].clear();
        auto t = fresh();
        load(*t, prefix.build());
        expected[static_cast<size_t>(k)] = serializeState(*t);
    }
    for (size_t len = 0; len <= file.size(); ++len) {
        int complete = 0;
        while (complete < CfgModel::kBlocks && ends[static_cast<size_t>(complete) + 1] <= len)
            ++complete;
        if (len < ends[0]) complete = 0;
        auto t = fresh();
        LoadReport rep = load(*t, file, len);
        ASSERT_EQ(rep.blocksRead, len < ends[0] ? 0 : complete) << "length " << len;
        ASSERT_EQ(serializeState(*t), expected[static_cast<size_t>(complete)]) << "length " << len;
        ASSERT_EQ(t->settingsNumbers.count(), 128);
        ASSERT_FALSE(t->settingString(0).empty());
        ASSERT_EQ(t->deliveryProgress.count(), t->deliveries.count());
        ASSERT_EQ(t->subjects.count(), t->mails.count());
        ASSERT_EQ(t->attachmentNames.count(), t->attachmentPaths.count());
        ASSERT_EQ(t->joinConfirmStrings.count(), 0);
        // Tables no fix-up touches, present once their whole parallel set is complete.
        for (auto [n, last] : {std::pair{B::SavedLogin, B::SavedLogin},
                               {B::Contacts, B::Contacts},
                               {B::OwnedNames, B::OwnedGroups},
                               {B::JoinedMembers, B::JoinedMembers},
                               {B::SharedFiles, B::SharedLocal},
                               {B::ShareFolders, B::ShareTags}}) {
            Bytes want = last <= complete ? m[n].payload() : Bytes{};
            ASSERT_EQ(tableBytes(*t, n), want) << "block " << n << " length " << len;
        }
    }
}

TEST_F(StateFile, ParallelTablesOfADamagedFileAreTrimmedToTheShortest) {
    CfgModel m = realisticModel(now(), false);
    m.pool(B::RrNames).push_back("stray");
    m.pool(B::AttPaths).push_back("/stray/path");
    m.records(B::Transfers).pop_back();
    m.pool(B::SharedLocal).pop_back();
    auto t = fresh();
    load(*t, m.build());
    EXPECT_EQ(t->receivedRecipientNames.count(), t->receivedRecipientMails.count());
    EXPECT_EQ(t->receivedRecipientSenders.count(), t->receivedRecipientMails.count());
    EXPECT_EQ(t->attachmentPaths.count(), 10);
    EXPECT_EQ(t->attachmentNames.count(), 10);
    EXPECT_EQ(t->transfers.count(), 3);
    EXPECT_EQ(t->transferRemotePaths.count(), 3);
    EXPECT_EQ(t->transferOwners.count(), 3);
    EXPECT_EQ(t->sharedFiles.count(), 1);
    EXPECT_EQ(t->sharedFileNames.count(), 1);
    // Rows appended afterwards pair up.
    int r = t->appendReceivedRecipient(8, "newbie", "bob");
    EXPECT_EQ(t->receivedRecipientNames.str(r), "newbie");
    EXPECT_EQ(t->receivedRecipientSenders.str(r), "bob");
    int a = t->appendAttachment(8, "/p/new.txt", "new.txt", AttachmentRecord{});
    EXPECT_EQ(t->attachmentPaths.str(a), "/p/new.txt");
    EXPECT_EQ(t->attachmentNames.str(a), "new.txt");

    // A file cut inside the received-recipient senders keeps no half rows.
    std::vector<size_t> ends;
    Bytes file = realisticModel(now(), false).build(&ends);
    auto u = fresh();
    load(*u, file, ends[B::RrSenders] - 3);
    EXPECT_EQ(u->mails.count(), 10);
    EXPECT_EQ(u->receivedRecipientNames.count(), 0);
    EXPECT_EQ(u->receivedRecipientMails.count(), 0);
}

TEST_F(StateFile, HostileCountsDoNotAllocate) {
    auto hostile = [&](int block, int32_t count) {
        CfgModel m = realisticModel(now(), false);
        std::vector<size_t> ends;
        Bytes file = m.build(&ends);
        put32(file, ends[static_cast<size_t>(block) - 1], static_cast<uint32_t>(count));
        auto t = fresh();
        LoadReport rep = load(*t, file);
        EXPECT_EQ(rep.blocksRead, block - 1) << block << " " << count;
        EXPECT_LT(t->bytesHeld(), size_t(1) << 20) << block << " " << count;
        EXPECT_EQ(t->settingsNumbers.count(), 128);
    };
    for (int32_t count : {INT32_MAX, INT32_MIN, -1, 0x40000000, 0x10000000, 0x038E38E4}) {
        for (int block : {1, 2, 4, 10, 13, 24, 27, 35, 39, 40})
            hostile(block, count);
    }
    // A header that claims more values than the file holds ends the reading at once.
    for (int32_t h : {INT32_MAX, -1, 0x40000001}) {
        Bytes file = realisticModel(now(), false).build();
        put32(file, 0, static_cast<uint32_t>(h));
        auto t = fresh();
        LoadReport rep = load(*t, file);
        EXPECT_EQ(rep.blocksRead, 0);
        EXPECT_EQ(t->mails.count(), 0);
        EXPECT_EQ(t->settingsNumbers.count(), 128);
    }
    // Garbage from the start.
    Bytes junk(4096);
    for (size_t i = 0; i < junk.size(); ++i)
        junk[i] = static_cast<uint8_t>(i * 131 + 7);
    auto t = fresh();
    load(*t, junk);
    EXPECT_LT(t->bytesHeld(), size_t(1) << 20);
}

// Writes the seed files of the cfg.dat fuzz target when ORV_CORE_SEED_DIR names a folder.
TEST_F(StateFile, WriteFuzzSeedsWhenAsked) {
    const char* out = std::getenv("ORV_CORE_SEED_DIR");
    if (!out) GTEST_SKIP() << "set ORV_CORE_SEED_DIR to write the seeds";
    auto write = [&](const std::string& name, const Bytes& b) {
        std::ofstream f(std::string(out) + "/" + name, std::ios::binary);
        f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
        ASSERT_TRUE(f.good());
    };
    write("realistic.dat", realisticModel(now(), true).build());
    write("fixups.dat", realisticModel(now(), true, true).build());
    auto t = fresh();
    load(*t, Bytes{});
    write("defaults.dat", serializeState(*t));
    CfgModel dropped = realisticModel(now());
    dropped.pool(B::Subjects).push_back("extra");
    write("mails-dropped.dat", dropped.build());
    Bytes cut = realisticModel(now(), true, true).build();
    cut.resize(cut.size() * 2 / 3);
    write("truncated.dat", cut);
}

}  // namespace
}  // namespace orv
