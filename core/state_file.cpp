#include "core/state_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <unordered_map>

#include "core/file_time.h"
#include "core/random.h"

namespace orv {

namespace {

class Reader {
  public:
    Reader(const uint8_t* d, size_t n) : d_(d), n_(d ? n : 0) {}
    bool ok() const { return ok_; }
    size_t remaining() const { return n_ - pos_; }
    bool readInt32(int32_t& v) {
        if (!ok_ || remaining() < 4) return fail();
        std::memcpy(&v, d_ + pos_, 4);
        pos_ += 4;
        return true;
    }
    // A pool block: the byte count, then that many bytes.
    bool pool(StringPool& p) {
        int32_t n;
        if (!readInt32(n)) return false;
        if (n < 0 || static_cast<size_t>(n) > remaining()) return fail();
        p.assignBytes(reinterpret_cast<const char*>(d_ + pos_), static_cast<size_t>(n));
        pos_ += static_cast<size_t>(n);
        return true;
    }
    template <typename T>
    bool array(RecordArray<T>& a) {
        int32_t n;
        if (!readInt32(n)) return false;
        if (n < 0 || static_cast<size_t>(n) > remaining() / sizeof(T)) return fail();
        a.assignBytes(d_ + pos_, static_cast<size_t>(n));
        pos_ += static_cast<size_t>(n) * sizeof(T);
        return true;
    }
    bool skipInt32s(int32_t h) {
        if (h < 0 || static_cast<size_t>(h) > remaining() / 4) return fail();
        pos_ += static_cast<size_t>(h) * 4;
        return true;
    }

  private:
    bool fail() {
        ok_ = false;
        return false;
    }
    const uint8_t* d_;
    size_t n_;
    size_t pos_ = 0;
    bool ok_ = true;
};

class Writer {
  public:
    explicit Writer(size_t reserve) { out_.reserve(reserve); }
    void int32(int32_t v) { raw(&v, 4); }
    void pool(const StringPool& p) { poolBytes(p.data(), p.byteCount()); }
    void poolBytes(const char* d, size_t n) {
        int32(static_cast<int32_t>(n));
        raw(d, n);
    }
    template <typename T>
    void array(const RecordArray<T>& a) {
        int32(a.count());
        raw(a.data(), static_cast<size_t>(a.count()) * sizeof(T));
    }
    std::vector<uint8_t> take() { return std::move(out_); }

  private:
    void raw(const void* p, size_t n) {
        if (n == 0) return;
        auto* b = static_cast<const uint8_t*>(p);
        out_.insert(out_.end(), b, b + n);
    }
    std::vector<uint8_t> out_;
};

bool isTransientKind(int32_t k) {
    return k == 2 || (k >= 5 && k <= 12) || k == 14 || k == 15 || (k >= 17 && k <= 22) || k == 24 ||
           k == 25;
}

bool isColumnWidthEntry(int i) {
    return (i >= 0 && i <= 12) || (i >= 19 && i <= 39) || (i >= 52 && i <= 58) ||
           (i >= 62 && i <= 67);
}

// 1. The mail group must agree on its counts, or its tables are all dropped.
bool mailGroupConsistent(const CoreTables& t) {
    int d = t.deliveries.count();
    return t.deliveryRecipients.count() == d && t.deliverySenders.count() == d &&
           t.subjects.count() == t.mails.count();
}

// Rows of a parallel set are paired by position: when a cut or damaged file left its tables
// with different lengths, rows past the shortest cannot be paired and go, so that rows
// appended later line up again.
template <typename... Arrays>
void alignParallel(std::initializer_list<StringPool*> pools, Arrays&... arrays) {
    int n = INT32_MAX;
    for (StringPool* p : pools)
        n = std::min(n, p->count());
    ((n = std::min(n, arrays.count())), ...);
    for (StringPool* p : pools) {
        if (p->count() > n) {
            std::vector<char> keep(static_cast<size_t>(p->count()), 0);
            std::fill(keep.begin(), keep.begin() + n, 1);
            p->retain(keep);
        }
    }
    ((arrays.count() > n ? arrays.resize(static_cast<size_t>(n)) : void()), ...);
}

// Files, deliveries and recipients whose mail index names no mail (a cut file, a damaged
// one) would belong to whatever mail takes that index later, or send for a mail that is not
// there: they go.
void dropOrphanMailRows(CoreTables& t) {
    const int n = t.mails.count();
    auto keepOf = [n](int rows, auto mailOf) {
        std::vector<char> keep(static_cast<size_t>(rows), 1);
        bool any = false;
        for (int r = 0; r < rows; ++r) {
            int m = mailOf(r);
            if (m < 0 || m >= n) {
                keep[static_cast<size_t>(r)] = 0;
                any = true;
            }
        }
        if (!any) keep.clear();
        return keep;
    };
    auto a = keepOf(t.attachments.count(), [&t](int r) { return t.attachments[r].mail; });
    if (!a.empty()) {
        t.attachmentPaths.retain(a);
        t.attachments.retain(a);
    }
    auto rr = keepOf(t.receivedRecipientMails.count(),
                     [&t](int r) { return t.receivedRecipientMails[r]; });
    if (!rr.empty()) {
        t.receivedRecipientNames.retain(rr);
        t.receivedRecipientSenders.retain(rr);
        t.receivedRecipientMails.retain(rr);
    }
    auto d = keepOf(t.deliveries.count(), [&t](int r) { return t.deliveries[r].mail; });
    if (!d.empty()) {
        t.deliveryRecipients.retain(d);
        t.deliverySenders.retain(d);
        t.deliveries.retain(d);
    }
}

void dropMailGroup(CoreTables& t) {
    t.attachmentPaths.clear();
    t.attachments.clear();
    t.subjects.clear();
    t.mails.clear();
    t.receivedRecipientNames.clear();
    t.receivedRecipientSenders.clear();
    t.receivedRecipientMails.clear();
    t.deliveryRecipients.clear();
    t.deliverySenders.clear();
    t.deliveries.clear();
}

void fixSettingsNumbers(CoreTables& t) {
    if (t.settingsNumbers.empty()) {
        t.settingsNumbers.resize(128);
        t.settingsNumbers[Setting::AutoReceiveMB] = 10;
    } else if (t.settingsNumbers.count() < 128) {
        // A short array (damaged file): the rest reads as zeros, the receive limit as its default.
        int had = t.settingsNumbers.count();
        t.settingsNumbers.resize(128);
        if (had <= Setting::AutoReceiveMB) t.settingsNumbers[Setting::AutoReceiveMB] = 10;
    }
    for (int i = 0; i < t.settingsNumbers.count(); ++i) {
        int32_t& v = t.settingsNumbers[i];
        if (isColumnWidthEntry(i) && (v < 1 || v > 999)) v = 120;
    }
}

void fixReceiveFolder(CoreTables& t) {
    if (t.settingsStrings.count() < 1 || t.settingsStrings.view(0).empty()) {
        t.ensureMailStoreFolder();
        t.settingsStrings.replaceAt(0, t.mailStoreFolder());
        t.settingsStrings.replaceAt(1, "");
    }
}

void rebuildAttachmentNames(CoreTables& t) {
    // Names left over from dropped mails, or a names block that does not pair up with the
    // paths, would give files the wrong names: only a matching block is kept.
    if (t.attachmentNames.count() == t.attachmentPaths.count()) return;
    t.attachmentNames.clear();
    for (int i = 0; i < t.attachmentPaths.count(); ++i) {
        std::string_view p = t.attachmentPaths.view(i);
        size_t s = p.find_last_of('/');
        t.attachmentNames.append(s == std::string_view::npos ? p : p.substr(s + 1));
    }
}

// Address-line entries whose mail does not exist (the mails were dropped) would attach to
// whatever mail takes that index later: they go.
void dropOrphanAddressEntries(CoreTables& t) {
    auto pass = [&t](StringPool& entries, RecordArray<int32_t>& mails) {
        std::vector<char> keep(static_cast<size_t>(mails.count()), 1);
        bool any = false;
        for (int r = 0; r < mails.count(); ++r) {
            if (mails[r] < 0 || mails[r] >= t.mails.count()) {
                keep[static_cast<size_t>(r)] = 0;
                any = true;
            }
        }
        if (entries.count() > mails.count()) {
            // Entries without a mail index cannot be placed either.
            keep.resize(static_cast<size_t>(entries.count()), 0);
            any = true;
        } else if (mails.count() > entries.count()) {
            // Nor indexes without an entry: later appends would pair up wrongly.
            for (size_t r = static_cast<size_t>(entries.count()); r < keep.size(); ++r)
                keep[r] = 0;
            any = true;
        }
        if (!any) return;
        entries.retain(keep);
        mails.retain(keep);
    };
    pass(t.outAddressEntries, t.outAddressMails);
    pass(t.recvAddressEntries, t.recvAddressMails);
}

void fixTransfers(CoreTables& t) {
    // Previews belong to the run that started them.
    for (int i = 0; i < t.transfers.count();) {
        if (t.transfers[i].kind == TransferKind::Preview) {
            t.removeTransfer(i);
            i = 0;
        } else {
            ++i;
        }
    }
    for (auto& r : t.transfers) {
        r.openWhenComplete = 0;
        r.rate = 0;
        if (r.state == TransferState::Receiving || r.state == TransferState::Requested ||
            r.state == TransferState::FolderListing)
            r.state = TransferState::Waiting;
    }
}

void expandGroupEntries(CoreTables& t) {
    if (t.joinedGroupNames.empty()) return;
    std::unordered_map<std::string, int> groups;
    for (int g = 0; g < t.joinedGroupNames.count(); ++g) {
        std::string e = "[" + t.joinedGroupNames.str(g) + ":" + t.joinedGroupCreators.str(g) + "]";
        groups.emplace(toLowerAscii(e), g);
    }
    std::vector<std::vector<int>> members(static_cast<size_t>(t.joinedGroupNames.count()));
    for (int r = 0; r < t.joinedMembers.count(); ++r) {
        int g = t.joinedMembers[r].group;
        if (g >= 0 && g < static_cast<int>(members.size()) && !t.joinedMemberNames.view(r).empty())
            members[static_cast<size_t>(g)].push_back(r);
    }
    auto expand = [&](const StringPool& entries, const RecordArray<int32_t>& mails, bool outgoing) {
        for (int e = 0; e < entries.count() && e < mails.count(); ++e) {
            std::string_view entry = entries.view(e);
            if (entry.empty() || entry[0] != '[') continue;
            int m = mails[e];
            if (m < 0 || m >= t.mails.count()) continue;
            // A new member joins only what is sent or being sent: a draft or a deleted mail
            // that gained a delivery would move to the Outbox and go out unasked.
            int32_t kind = t.mails[m].kind;
            if (outgoing && kind != MailKind::Outbox && kind != MailKind::Sent) continue;
            auto it = groups.find(toLowerAscii(entry));
            if (it == groups.end()) continue;
            for (int r : members[static_cast<size_t>(it->second)]) {
                std::string name = t.joinedMemberNames.str(r);
                if (outgoing) {
                    if (!t.isRecipientOf(name, m)) t.addDelivery(name, m);
                } else {
                    if (!t.isReceivedRecipientOf(name, m)) t.addReceivedRecipient(name, m);
                }
            }
        }
    };
    expand(t.outAddressEntries, t.outAddressMails, true);
    expand(t.recvAddressEntries, t.recvAddressMails, false);
}

void dropTransientRows(CoreTables& t) {
    const int mails = t.mails.count();
    std::vector<char> keep(static_cast<size_t>(t.deliveries.count()), 1);
    std::vector<char> lost(static_cast<size_t>(mails), 0), kept(static_cast<size_t>(mails), 0);
    for (int d = 0; d < t.deliveries.count(); ++d) {
        int m = t.deliveries[d].mail;
        if (m < 0 || m >= mails) continue;
        if (isTransientKind(t.mails[m].kind)) {
            keep[static_cast<size_t>(d)] = 0;
            lost[static_cast<size_t>(m)] = 1;
        } else {
            kept[static_cast<size_t>(m)] = 1;
        }
    }
    // The rows go in one pass; a mail goes with its last delivery, as erasing them one by
    // one would have it.
    t.deliveryRecipients.retain(keep);
    t.deliverySenders.retain(keep);
    t.deliveries.retain(keep);
    t.deliveryProgress.retain(keep);
    std::vector<int> toErase;
    for (int m = 0; m < mails; ++m) {
        if ((lost[static_cast<size_t>(m)] && !kept[static_cast<size_t>(m)]) ||
            t.mails[m].kind == MailKind::SharedFileReceived)
            toErase.push_back(m);
    }
    t.eraseMails(std::move(toErase));
}

}  // namespace

LoadReport loadState(CoreTables& t, const uint8_t* data, size_t size) {
    LoadReport rep;
    rep.present = data != nullptr;
    Reader r(data, size);
    int32_t h = 0;
    if (r.readInt32(h)) r.skipInt32s(h);

    auto block = [&](auto& table) {
        if (r.ok()) {
            bool got;
            if constexpr (std::is_same_v<std::decay_t<decltype(table)>, StringPool>)
                got = r.pool(table);
            else
                got = r.array(table);
            if (got) ++rep.blocksRead;
        }
    };

    block(t.attachmentPaths);
    block(t.attachments);
    block(t.subjects);
    block(t.mails);
    block(t.receivedRecipientNames);
    block(t.receivedRecipientSenders);
    block(t.receivedRecipientMails);
    block(t.deliveryRecipients);
    block(t.deliverySenders);
    block(t.deliveries);
    if (!mailGroupConsistent(t)) {
        dropMailGroup(t);
        rep.mailsDropped = true;
    }
    alignParallel({&t.attachmentPaths}, t.attachments);
    alignParallel({&t.receivedRecipientNames, &t.receivedRecipientSenders},
                  t.receivedRecipientMails);
    dropOrphanMailRows(t);
    // 2. One send meter per delivery.
    t.deliveryProgress.clear();
    t.deliveryProgress.resize(static_cast<size_t>(t.deliveries.count()));

    block(t.savedLogin);
    block(t.contacts);
    block(t.settingsNumbers);
    fixSettingsNumbers(t);

    block(t.ownedGroupNames);
    block(t.ownedGroupCreators);
    block(t.ownedMemberNames);
    block(t.ownedMembers);
    block(t.joinedGroupNames);
    block(t.joinedGroupCreators);
    block(t.joinedMemberNames);
    block(t.joinedMembers);
    block(t.joinConfirmStrings);
    block(t.joinConfirmValues);
    block(t.settingsStrings);
    fixReceiveFolder(t);

    block(t.ownedGroupIntros);
    block(t.ownedGroups);
    block(t.attachmentNames);
    rebuildAttachmentNames(t);

    block(t.outAddressEntries);
    block(t.outAddressMails);
    block(t.recvAddressEntries);
    block(t.recvAddressMails);
    block(t.shareFolderPaths);
    block(t.shareFolderTags);
    block(t.sharedFileNames);
    block(t.sharedFiles);
    block(t.sharedFileLocalPaths);
    block(t.transferRemotePaths);
    block(t.transferLocalPaths);
    block(t.transfers);
    block(t.transferOwners);

    alignParallel({&t.ownedGroupNames, &t.ownedGroupCreators, &t.ownedGroupIntros}, t.ownedGroups);
    alignParallel({&t.ownedMemberNames}, t.ownedMembers);
    alignParallel({&t.joinedGroupNames, &t.joinedGroupCreators});
    alignParallel({&t.joinedMemberNames}, t.joinedMembers);
    alignParallel({&t.shareFolderPaths}, t.shareFolderTags);
    alignParallel({&t.sharedFileNames, &t.sharedFileLocalPaths}, t.sharedFiles);
    alignParallel({&t.transferRemotePaths, &t.transferLocalPaths, &t.transferOwners}, t.transfers);

    // 6.1 Runtime objects never survive a restart.
    t.clearRuntime();
    for (auto& m : t.mails)
        m.runtimeSlot = 0;
    // 6.2
    fixTransfers(t);
    // 6.3
    dropOrphanAddressEntries(t);
    expandGroupEntries(t);
    // 6.4
    for (int m = 0; m < t.mails.count(); ++m) {
        int32_t k = t.mails[m].kind;
        if (k == MailKind::Outbox || k == MailKind::Sent)
            t.mails[m].recipientCount = static_cast<int32_t>(t.mailDeliveries(m).size());
    }
    // 6.5
    t.joinConfirmStrings.clear();
    t.joinConfirmValues.clear();
    // 6.6 Fetching may resume at once.
    const int32_t now = t.now();
    for (auto& m : t.mails)
        if (m.kind == MailKind::Inbox) m.lastActivity = now - 86400;
    // 6.7
    for (int a = 0; a < t.attachments.count(); ++a) {
        AttachmentRecord& rec = t.attachments[a];
        rec.runtimeSlot = 0;
        int m = rec.mail;
        if (rec.fileTime == 0 && m >= 0 && m < t.mails.count() &&
            t.mails[m].kind == MailKind::Inbox)
            rec.fileTime = fileTimeOf(t.attachmentPaths.str(a));
    }
    // 6.8 Every unfinished delivery starts again.
    for (auto& d : t.deliveries) {
        if (d.state != DeliveryState::Delivered) d.state = DeliveryState::Waiting;
        d.fileHandle = -1;
        d.fileIndex = 0;
        d.fileOffset = 0;
        d.runtimeSlot = 0;
    }
    // 6.9
    t.clearRuntime();
    // 6.10
    dropTransientRows(t);
    return rep;
}

LoadReport loadStateFile(CoreTables& t, const std::string& path) {
    std::vector<uint8_t> bytes;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return loadState(t, nullptr, 0);
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size > 0) bytes.reserve(static_cast<size_t>(st.st_size));
    uint8_t buf[1 << 16];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        bytes.insert(bytes.end(), buf, buf + n);
    }
    ::close(fd);
    static const uint8_t kEmpty = 0;
    return loadState(t, bytes.empty() ? &kEmpty : bytes.data(), bytes.size());
}

std::vector<uint8_t> serializeState(const CoreTables& t) {
    size_t estimate = 256;
    for (const StringPool* p : {&t.attachmentPaths, &t.subjects, &t.attachmentNames})
        estimate += p->byteCount();
    estimate += static_cast<size_t>(t.mails.count()) * 64 +
                static_cast<size_t>(t.attachments.count()) * 40 +
                static_cast<size_t>(t.deliveries.count()) * 100;
    Writer w(estimate);
    w.int32(1);
    w.int32(kStateMagic);
    w.pool(t.attachmentPaths);
    w.array(t.attachments);
    w.pool(t.subjects);
    w.array(t.mails);
    w.pool(t.receivedRecipientNames);
    w.pool(t.receivedRecipientSenders);
    w.array(t.receivedRecipientMails);
    w.pool(t.deliveryRecipients);
    w.pool(t.deliverySenders);
    w.array(t.deliveries);
    w.pool(t.savedLogin);
    w.pool(t.contacts);
    w.array(t.settingsNumbers);
    w.pool(t.ownedGroupNames);
    w.pool(t.ownedGroupCreators);
    w.pool(t.ownedMemberNames);
    w.array(t.ownedMembers);
    w.pool(t.joinedGroupNames);
    w.pool(t.joinedGroupCreators);
    w.pool(t.joinedMemberNames);
    w.array(t.joinedMembers);
    w.pool(t.joinConfirmStrings);
    w.array(t.joinConfirmValues);
    {
        // At least five settings strings; the reserved entries 2 to 4 are written empty.
        std::string bytes;
        int n = t.settingsStrings.count() < 5 ? 5 : t.settingsStrings.count();
        for (int i = 0; i < n; ++i) {
            if (i < 2 || i > 4) bytes.append(t.settingsStrings.view(i));
            bytes.push_back('\0');
        }
        w.poolBytes(bytes.data(), bytes.size());
    }
    w.pool(t.ownedGroupIntros);
    w.array(t.ownedGroups);
    w.pool(t.attachmentNames);
    w.pool(t.outAddressEntries);
    w.array(t.outAddressMails);
    w.pool(t.recvAddressEntries);
    w.array(t.recvAddressMails);
    w.pool(t.shareFolderPaths);
    w.array(t.shareFolderTags);
    w.pool(t.sharedFileNames);
    w.array(t.sharedFiles);
    w.pool(t.sharedFileLocalPaths);
    w.pool(t.transferRemotePaths);
    w.pool(t.transferLocalPaths);
    w.array(t.transfers);
    w.pool(t.transferOwners);
    return w.take();
}

bool writeFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes) {
    size_t slash = path.find_last_of('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
    std::string tmp = path + ".tmp-" + randomHexName();
    // cfg.dat holds the saved password: readable by its owner only.
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    size_t off = 0;
    bool ok = true;
    while (off < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + off, bytes.size() - off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        off += static_cast<size_t>(n);
    }
    if (ok && ::fsync(fd) != 0) ok = false;
    if (::close(fd) != 0) ok = false;
    if (ok && ::rename(tmp.c_str(), path.c_str()) != 0) ok = false;
    if (!ok) {
        ::unlink(tmp.c_str());
        return false;
    }
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

}  // namespace orv
