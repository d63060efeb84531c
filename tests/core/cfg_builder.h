#pragma once
// Builds cfg.dat images by hand, field by field at the documented offsets, so the reader is
// checked against the file layout and not against the writer it shares code with.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace orv::cfgtest {

using Bytes = std::vector<uint8_t>;

inline void put32(Bytes& b, size_t off, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[off + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}
inline void put64(Bytes& b, size_t off, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        b[off + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint32_t get32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// 64 bytes.
struct Mail {
    int32_t recipientCount = 0;
    int32_t created = 0;
    uint64_t key = 0;
    int32_t kind = 0;
    int32_t reserved20 = 0;
    int64_t size = 0;
    uint64_t wantedKey = 0;
    uint8_t reserved40 = 0, fetchRequested = 0, state = 0, reserved43 = 0;
    int32_t lastActivity = 0;
    uint32_t runtime = 0;
    uint32_t flags = 0;
    int32_t reserved56 = 0, reserved60 = 0;
    Bytes bytes() const {
        Bytes b(64, 0);
        put32(b, 0, static_cast<uint32_t>(recipientCount));
        put32(b, 4, static_cast<uint32_t>(created));
        put64(b, 8, key);
        put32(b, 16, static_cast<uint32_t>(kind));
        put32(b, 20, static_cast<uint32_t>(reserved20));
        put64(b, 24, static_cast<uint64_t>(size));
        put64(b, 32, wantedKey);
        b[40] = reserved40;
        b[41] = fetchRequested;
        b[42] = state;
        b[43] = reserved43;
        put32(b, 44, static_cast<uint32_t>(lastActivity));
        put32(b, 48, runtime);
        put32(b, 52, flags);
        put32(b, 56, static_cast<uint32_t>(reserved56));
        put32(b, 60, static_cast<uint32_t>(reserved60));
        return b;
    }
};

// 40 bytes.
struct Attachment {
    int32_t mail = 0;
    uint32_t runtime = 0;
    int64_t total = 0, done = 0, fileTime = 0;
    int32_t previewMark = 0, attFlags = 0;
    Bytes bytes() const {
        Bytes b(40, 0);
        put32(b, 0, static_cast<uint32_t>(mail));
        put32(b, 4, runtime);
        put64(b, 8, static_cast<uint64_t>(total));
        put64(b, 16, static_cast<uint64_t>(done));
        put64(b, 24, static_cast<uint64_t>(fileTime));
        put32(b, 32, static_cast<uint32_t>(previewMark));
        put32(b, 36, static_cast<uint32_t>(attFlags));
        return b;
    }
};

// 72 bytes.
struct Delivery {
    int32_t stateTime = 0, state = 0, linkSocket = -1, mail = 0, fileIndex = 0, reserved20 = 0;
    int64_t fileOffset = 0;
    int32_t fileHandle = -1, reserved36 = 0;
    uint8_t reserved40 = 0;  // repeated over the 16 reserved bytes
    int64_t progress = 0;
    uint32_t runtime = 0;
    int32_t reserved68 = 0;
    Bytes bytes() const {
        Bytes b(72, 0);
        put32(b, 0, static_cast<uint32_t>(stateTime));
        put32(b, 4, static_cast<uint32_t>(state));
        put32(b, 8, static_cast<uint32_t>(linkSocket));
        put32(b, 12, static_cast<uint32_t>(mail));
        put32(b, 16, static_cast<uint32_t>(fileIndex));
        put32(b, 20, static_cast<uint32_t>(reserved20));
        put64(b, 24, static_cast<uint64_t>(fileOffset));
        put32(b, 32, static_cast<uint32_t>(fileHandle));
        put32(b, 36, static_cast<uint32_t>(reserved36));
        for (size_t i = 40; i < 56; ++i)
            b[i] = reserved40;
        put64(b, 56, static_cast<uint64_t>(progress));
        put32(b, 64, runtime);
        put32(b, 68, static_cast<uint32_t>(reserved68));
        return b;
    }
};

// 36 bytes: the group's index first.
inline Bytes member(int32_t group, int32_t number = 0, int32_t kind = 0) {
    Bytes b(36, 0);
    put32(b, 0, static_cast<uint32_t>(group));
    put32(b, 4, static_cast<uint32_t>(number));
    put32(b, 8, static_cast<uint32_t>(kind));
    return b;
}

// 24 bytes: byte 1 is the public flag.
inline Bytes ownedGroup(uint8_t publicFlag, uint8_t fill = 0) {
    Bytes b(24, fill);
    b[1] = publicFlag;
    return b;
}

// 56 bytes.
inline Bytes sharedFile(int32_t folder, uint64_t size, int32_t added) {
    Bytes b(56, 0);
    put32(b, 0, static_cast<uint32_t>(folder));
    put64(b, 8, size);
    put32(b, 16, static_cast<uint32_t>(added));
    return b;
}

// 72 bytes.
struct Transfer {
    int32_t kind = 0, state = 0;
    uint8_t openWhenComplete = 0;
    uint64_t total = 0, received = 0;
    int32_t rate = 0, parent = 0;
    Bytes bytes() const {
        Bytes b(72, 0);
        put32(b, 0, static_cast<uint32_t>(kind));
        put32(b, 4, static_cast<uint32_t>(state));
        b[8] = openWhenComplete;
        put64(b, 16, total);
        put64(b, 24, received);
        put32(b, 32, static_cast<uint32_t>(rate));
        put32(b, 36, static_cast<uint32_t>(parent));
        return b;
    }
};

inline Bytes int32Record(int32_t v) {
    Bytes b(4, 0);
    put32(b, 0, static_cast<uint32_t>(v));
    return b;
}

// Block numbers, in file order.
namespace B {
enum : int {
    AttPaths = 1,
    Atts,
    Subjects,
    Mails,
    RrNames,
    RrSenders,
    RrMails,
    DelRecipients,
    DelSenders,
    Deliveries,
    SavedLogin,
    Contacts,
    SettingsNumbers,
    OwnedNames,
    OwnedCreators,
    OwnedMemberNames,
    OwnedMembers,
    JoinedNames,
    JoinedCreators,
    JoinedMemberNames,
    JoinedMembers,
    JoinStrings,
    JoinValues,
    SettingsStrings,
    OwnedIntros,
    OwnedGroups,
    AttNames,
    OutEntries,
    OutMails,
    RecvEntries,
    RecvMails,
    ShareFolders,
    ShareTags,
    SharedNames,
    SharedFiles,
    SharedLocal,
    TransferRemote,
    TransferLocal,
    Transfers,
    TransferOwners
};
}

struct Block {
    int recordSize = 0;  // 0: a pool
    std::vector<std::string> strings;
    std::vector<Bytes> records;

    bool isPool() const { return recordSize == 0; }
    void clear() {
        strings.clear();
        records.clear();
    }
    // The table's bytes as stored after the count.
    Bytes payload() const {
        Bytes out;
        if (isPool()) {
            for (const auto& s : strings) {
                out.insert(out.end(), s.begin(), s.end());
                out.push_back(0);
            }
        } else {
            for (const auto& r : records)
                out.insert(out.end(), r.begin(), r.end());
        }
        return out;
    }
    int32_t storedCount() const {
        return isPool() ? static_cast<int32_t>(payload().size())
                        : static_cast<int32_t>(records.size());
    }
};

class CfgModel {
  public:
    static constexpr int kBlocks = 40;
    CfgModel() {
        static const int sizes[kBlocks] = {0, 40, 0,  64, 0, 0, 4,  0, 0, 72, 0,  0,  4, 0,
                                           0, 0,  36, 0,  0, 0, 36, 0, 4, 0,  0,  24, 0, 0,
                                           4, 0,  4,  0,  4, 0, 56, 0, 0, 0,  72, 0};
        for (int i = 0; i < kBlocks; ++i)
            blocks_[i].recordSize = sizes[i];
    }
    Block& operator[](int n) { return blocks_[n - 1]; }
    const Block& operator[](int n) const { return blocks_[n - 1]; }
    std::vector<std::string>& pool(int n) { return (*this)[n].strings; }
    std::vector<Bytes>& records(int n) { return (*this)[n].records; }

    std::vector<int32_t> header{0x1321AFD};

    // The file image; blockEnds[k] is the offset after block k (blockEnds[0]: the header).
    Bytes build(std::vector<size_t>* blockEnds = nullptr) const {
        Bytes out;
        auto i32 = [&out](int32_t v) {
            for (int i = 0; i < 4; ++i)
                out.push_back(static_cast<uint8_t>(uint32_t(v) >> (8 * i)));
        };
        i32(static_cast<int32_t>(header.size()));
        for (int32_t h : header)
            i32(h);
        if (blockEnds) blockEnds->assign(1, out.size());
        for (const Block& b : blocks_) {
            i32(b.storedCount());
            Bytes p = b.payload();
            out.insert(out.end(), p.begin(), p.end());
            if (blockEnds) blockEnds->push_back(out.size());
        }
        return out;
    }

  private:
    Block blocks_[kBlocks];
};

// A client's state of a few kilobytes: ten mails of every common kind with files, deliveries,
// recipients and address lines, contacts, 128 settings, owned and joined groups, shares and
// downloads. As given, no load-time fix-up changes anything but the join confirmations (which
// are always emptied); pass withFixups to add rows that the fix-ups act on.
inline CfgModel realisticModel(int32_t now, bool withJoinConfirmations = true,
                               bool withFixups = false) {
    CfgModel f;
    const int32_t day = 86400;
    auto mail = [&](int32_t kind, uint64_t key, const std::string& subject, uint32_t flags = 0) {
        Mail m;
        m.kind = kind;
        m.key = key;
        m.created = now - 3 * day + static_cast<int32_t>(f.records(B::Mails).size()) * 600;
        m.flags = flags;
        m.reserved20 = 0x5A5A;
        m.reserved60 = 0x33;
        if (kind == 1) m.lastActivity = now - day;  // what the load sets anyway
        f.pool(B::Subjects).push_back(subject);
        f.records(B::Mails).push_back(m.bytes());
        return static_cast<int32_t>(f.records(B::Mails).size() - 1);
    };
    auto setRecipientCount = [&](int32_t m, int32_t n) {
        put32(f.records(B::Mails)[static_cast<size_t>(m)], 0, static_cast<uint32_t>(n));
    };
    auto file = [&](int32_t m, const std::string& path, int64_t total, int64_t done,
                    int32_t flags) {
        Attachment a;
        a.mail = m;
        a.total = total;
        a.done = done;
        a.fileTime = 133000000000000000LL + total;
        a.attFlags = flags;
        f.pool(B::AttPaths).push_back(path);
        f.pool(B::AttNames).push_back(path.substr(path.find_last_of('/') + 1));
        f.records(B::Atts).push_back(a.bytes());
    };
    auto delivery = [&](int32_t m, const std::string& to, int32_t state) {
        Delivery d;
        d.mail = m;
        d.state = state;
        d.stateTime = now - 1000;
        d.progress = state == 9 ? 4096 : 0;
        d.reserved40 = 0x11;
        f.pool(B::DelRecipients).push_back(to);
        f.pool(B::DelSenders).push_back("me");
        f.records(B::Deliveries).push_back(d.bytes());
    };
    auto received = [&](int32_t m, const std::string& to, const std::string& from) {
        f.pool(B::RrNames).push_back(to);
        f.pool(B::RrSenders).push_back(from);
        f.records(B::RrMails).push_back(int32Record(m));
    };
    auto outEntry = [&](int32_t m, const std::string& e) {
        f.pool(B::OutEntries).push_back(e);
        f.records(B::OutMails).push_back(int32Record(m));
    };
    auto recvEntry = [&](int32_t m, const std::string& e) {
        f.pool(B::RecvEntries).push_back(e);
        f.records(B::RecvMails).push_back(int32Record(m));
    };
    const std::string store = "/home/me/orvantel/recvfile/";

    int32_t m0 = mail(16, 0x8F3A00000000A001ull, "Quarterly report Q3", 0x01);
    file(m0, store + "5E1F0A9C3B2D4E01.htm", 2210, 2210, 0);
    file(m0, "/home/me/Documents/report-q3.pdf", 483122, 483122, 0);
    delivery(m0, "bob", 9);
    delivery(m0, "carol", 9);
    setRecipientCount(m0, 2);
    outEntry(m0, "bob");
    outEntry(m0, "carol");

    int32_t m1 = mail(1, 0x77AB12340000B002ull, "Re: lunch on Friday?", 0x01);
    file(m1, store + "A0B1C2D3E4F50607.htm", 1180, 1180, 0);
    file(m1, store + "img-3F2A.png", 20480, 20480, 1);
    file(m1, "/home/me/Downloads/menu.docx", 53248, 12000, 0);
    received(m1, "me", "alice");
    received(m1, "bob", "alice");
    received(m1, "alice", "alice");
    recvEntry(m1, "me");
    recvEntry(m1, "[team:alice]");

    int32_t m2 = mail(0, 0x1234ABCD0000C003ull, "Build logs", 0);
    file(m2, "/var/log/build/2024-05-01.log", 77000, 0, 0);
    delivery(m2, "dave", 0);
    setRecipientCount(m2, 1);
    outEntry(m2, "dave");

    int32_t m3 = mail(26, 0x0F0F0F0F0000D004ull, "Draft: holiday plan", 0x01);
    file(m3, store + "D4D4D4D4D4D40001.htm", 900, 900, 0);
    delivery(m3, "erin", 0);
    outEntry(m3, "erin");

    int32_t m4 = mail(3, 0x44440000E0050005ull, "Old notice", 0x02);
    delivery(m4, "frank", 9);

    int32_t m5 = mail(4, 0x55550000F0060006ull, "Spam-ish", 0);
    received(m5, "me", "mallory");

    int32_t m6 = mail(1, 0x6666000000070007ull, "会议通知：周五下午三点", 0x08 | 0x20);
    f.records(B::Mails)[static_cast<size_t>(m6)][42] = 0x03;  // read and signed
    file(m6, store + "6A6A6A6A6A6A6A6A.htm", 3000, 3000, 0);
    received(m6, "me", "王小明");
    received(m6, "alice", "王小明");

    mail(28, 0x7777000000080008ull, "discarded draft", 0);

    int32_t m8 = mail(1, 0x8888000000090009ull, "Photos", 0x40);
    file(m8, "/home/me/Pictures/trip/IMG_0001.JPG", 2400000, 2400000, 0);
    file(m8, "/home/me/Pictures/trip/IMG_0002.JPG", 2500000, 1000000, 0);
    received(m8, "me", "bob");

    int32_t m9 = mail(16, 0x99990000000A000Aull, "Team meeting minutes", 0x04);
    for (const char* who : {"alice", "bob", "me"})
        delivery(m9, who, 9);
    setRecipientCount(m9, 3);
    outEntry(m9, "[Team:Alice]");

    f.pool(B::SavedLogin) = {"me", "s3cret!", "1"};
    f.pool(B::Contacts) = {"alice", "bob", "carol", "dave", "王小明"};
    for (int i = 0; i < 128; ++i) {
        int32_t v = 0;
        if (i <= 12 || (i >= 19 && i <= 39) || (i >= 52 && i <= 58) || (i >= 62 && i <= 67))
            v = 60 + i;
        else if (i >= 40 && i <= 51)
            v = 100 + i * 7;
        f.records(B::SettingsNumbers).push_back(int32Record(v));
    }
    put32(f.records(B::SettingsNumbers)[13], 0, 200);
    put32(f.records(B::SettingsNumbers)[18], 0, 25);
    put32(f.records(B::SettingsNumbers)[61], 0, 1);
    put32(f.records(B::SettingsNumbers)[68], 0, 1);

    f.pool(B::OwnedNames) = {"study"};
    f.pool(B::OwnedCreators) = {"me"};
    f.pool(B::OwnedMemberNames) = {"me", "carol"};
    f.records(B::OwnedMembers) = {member(0, 1, 0), member(0, 2, 1)};
    f.pool(B::JoinedNames) = {"team", "ops"};
    f.pool(B::JoinedCreators) = {"alice", "root"};
    f.pool(B::JoinedMemberNames) = {"alice", "bob", "me", "root"};
    f.records(B::JoinedMembers) = {member(0), member(0), member(0), member(1)};
    if (withJoinConfirmations) {
        f.pool(B::JoinStrings) = {"zed", "study", "please let me in"};
        f.records(B::JoinValues) = {int32Record(1)};
    }
    f.pool(B::SettingsStrings) = {"/home/me/Downloads/",
                                  "",
                                  "",
                                  "",
                                  "",
                                  "/usr/bin/vlc",
                                  "已阅，同意",
                                  "dir.example.org",
                                  "SimSun",
                                  "12",
                                  "/home/me/sign.htm"};
    f.pool(B::OwnedIntros) = {"A reading group"};
    f.records(B::OwnedGroups) = {ownedGroup(1, 0x20)};
    f.pool(B::ShareFolders) = {"/me/", "/me/music/", "/me/docs/"};
    f.records(B::ShareTags) = {int32Record(0), int32Record(1), int32Record(7)};
    f.pool(B::SharedNames) = {"song.mp3", "notes.txt"};
    f.records(B::SharedFiles) = {sharedFile(1, 4812345, now - day), sharedFile(2, 1200, now)};
    f.pool(B::SharedLocal) = {"/home/me/Music/song.mp3", "/home/me/notes.txt"};
    auto transfer = [&](int32_t kind, int32_t state, const std::string& remote, uint64_t total,
                        int32_t parent) {
        Transfer t;
        t.kind = kind;
        t.state = state;
        t.total = total;
        t.received = state == 4 ? total : 0;
        t.parent = parent;
        f.pool(B::TransferRemote).push_back(remote);
        f.pool(B::TransferLocal)
            .push_back("/home/me/Downloads" + remote.substr(remote.find('/', 1)));
        f.records(B::Transfers).push_back(t.bytes());
        f.pool(B::TransferOwners).push_back("me");
    };
    transfer(0, 4, "/bob/docs/a.pdf", 30000, 0);
    transfer(1, 5, "/bob/music/", 9000000, 0);
    transfer(2, 0, "/bob/music/x.mp3", 4500000, 1);
    transfer(0, 1, "/carol/big.iso", ~0ull, 0);

    if (withFixups) {
        // A resend request and a listing request with their deliveries, a shared file being
        // fetched, an unfinished delivery, a transfer that was receiving, and a preview.
        int32_t r = mail(2, 0xAAAA00000000000Bull, "");
        put64(f.records(B::Mails)[static_cast<size_t>(r)], 32, 0x8F3A00000000A001ull);
        delivery(r, "bob", 13);
        int32_t l = mail(17, 0xBBBB00000000000Cull, "/carol/");
        delivery(l, "carol", 0);
        int32_t s = mail(23, 0xCCCC00000000000Dull, "x.mp3");
        file(s, "/home/me/Downloads/x.mp3", 4500000, 100000, 0);
        int32_t o = mail(0, 0xDDDD00000000000Eull, "Resume upload");
        file(o, "/home/me/cv.pdf", 90000, 0, 0);
        delivery(o, "alice", 3);
        outEntry(o, "[ops:root]");
        put32(f.records(B::Transfers)[2], 4, 2);
        transfer(3, 1, "/bob/music/x.mp3", 4500000, 0);
    }
    return f;
}

}  // namespace orv::cfgtest
