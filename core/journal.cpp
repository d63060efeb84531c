#include "core/journal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <unordered_set>

namespace orv {

namespace {

enum : uint8_t { kPutMail = 1, kDropMail = 2 };

const std::array<uint32_t, 256>& crcTable() {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    return table;
}

uint32_t crc32(const uint8_t* p, size_t n) {
    const auto& t = crcTable();
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i)
        c = t[(c ^ p[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

class Out {
  public:
    std::vector<uint8_t> bytes;
    void raw(const void* p, size_t n) {
        const auto* b = static_cast<const uint8_t*>(p);
        bytes.insert(bytes.end(), b, b + n);
    }
    void u8(uint8_t v) { bytes.push_back(v); }
    void u32(uint32_t v) {
        for (int i = 0; i < 4; ++i)
            bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    void u64(uint64_t v) {
        for (int i = 0; i < 8; ++i)
            bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    void str(std::string_view s) {
        u32(static_cast<uint32_t>(s.size()));
        raw(s.data(), s.size());
    }
};

class In {
  public:
    In(const uint8_t* p, size_t n) : p_(p), n_(n) {}
    bool ok() const { return ok_; }
    bool atEnd() const { return pos_ == n_; }
    bool raw(void* out, size_t n) {
        if (!ok_ || n > n_ - pos_) return ok_ = false;
        std::memcpy(out, p_ + pos_, n);
        pos_ += n;
        return true;
    }
    uint8_t u8() {
        uint8_t v = 0;
        raw(&v, 1);
        return v;
    }
    uint32_t u32() {
        uint8_t b[4] = {};
        raw(b, 4);
        return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
    }
    uint64_t u64() {
        uint64_t lo = u32();
        return lo | uint64_t{u32()} << 32;
    }
    // A count of items of at least `minSize` bytes each: never more than the bytes left hold.
    uint32_t count(size_t minSize) {
        uint32_t c = u32();
        if (ok_ && c > (n_ - pos_) / minSize) ok_ = false;
        return ok_ ? c : 0;
    }
    std::string str() {
        uint32_t len = u32();
        if (!ok_ || len > n_ - pos_) {
            ok_ = false;
            return {};
        }
        std::string s(reinterpret_cast<const char*>(p_ + pos_), len);
        pos_ += len;
        // A pool string ends at its terminator; one inside would split the tables.
        if (s.find('\0') != std::string::npos) ok_ = false;
        return s;
    }

  private:
    const uint8_t* p_;
    size_t n_;
    size_t pos_ = 0;
    bool ok_ = true;
};

int findMail(const CoreTables& t, uint64_t key, bool received) {
    for (int m : t.mailsWithKey(key))
        if (CoreTables::isReceivedKind(t.mails[m].kind) == received) return m;
    return -1;
}

void frame(Out& body, std::vector<uint8_t>& out) {
    Out f;
    f.u32(kJournalFrameMagic);
    f.u32(static_cast<uint32_t>(body.bytes.size()));
    f.u32(crc32(body.bytes.data(), body.bytes.size()));
    out.insert(out.end(), f.bytes.begin(), f.bytes.end());
    out.insert(out.end(), body.bytes.begin(), body.bytes.end());
}

// The load-time rules of cfg.dat, for one replayed mail: nothing runtime survives, unfinished
// deliveries start again, fetching may resume at once.
void fixReplayedMail(CoreTables& t, int m) {
    MailRecord& r = t.mails[m];
    r.runtimeSlot = 0;
    if (r.kind == MailKind::Inbox) r.lastActivity = t.now() - 86400;
    for (int a : t.mailFiles(m))
        t.attachments[a].runtimeSlot = 0;
    for (int d : t.mailDeliveries(m)) {
        DeliveryRecord& dr = t.deliveries[d];
        if (dr.state != DeliveryState::Delivered) dr.state = DeliveryState::Waiting;
        dr.fileHandle = -1;
        dr.fileIndex = 0;
        dr.fileOffset = 0;
        dr.runtimeSlot = 0;
        dr.linkSocket = -1;
    }
    if (r.kind == MailKind::Outbox || r.kind == MailKind::Sent)
        r.recipientCount = static_cast<int32_t>(t.mailDeliveries(m).size());
}

bool applyRecord(CoreTables& t, const uint8_t* p, size_t n) {
    In in(p, n);
    uint8_t type = in.u8();
    uint64_t key = in.u64();
    bool received = in.u8() != 0;
    if (!in.ok()) return false;
    if (type == kDropMail) {
        if (!in.atEnd()) return false;
        int m = findMail(t, key, received);
        if (m >= 0) t.eraseMail(m);
        return true;
    }
    if (type != kPutMail) return false;
    MailRecord rec{};
    in.raw(&rec, sizeof rec);
    std::string subject = in.str();
    if (!in.ok() || rec.key != key || CoreTables::isReceivedKind(rec.kind) != received ||
        !isJournaledKind(rec.kind))
        return false;
    struct Att {
        AttachmentRecord rec;
        std::string path, name;
    };
    struct Del {
        DeliveryRecord rec;
        std::string recipient, sender;
    };
    std::vector<Att> atts(in.count(sizeof(AttachmentRecord) + 8));
    for (auto& a : atts) {
        in.raw(&a.rec, sizeof a.rec);
        a.path = in.str();
        a.name = in.str();
    }
    std::vector<Del> dels(in.count(sizeof(DeliveryRecord) + 8));
    for (auto& d : dels) {
        in.raw(&d.rec, sizeof d.rec);
        d.recipient = in.str();
        d.sender = in.str();
    }
    std::vector<std::pair<std::string, std::string>> recips(in.count(8));
    for (auto& r : recips) {
        r.first = in.str();
        r.second = in.str();
    }
    std::vector<std::string> outAddr(in.count(4));
    for (auto& e : outAddr)
        e = in.str();
    std::vector<std::string> recvAddr(in.count(4));
    for (auto& e : recvAddr)
        e = in.str();
    if (!in.ok() || !in.atEnd()) return false;

    // The whole record was read: only now is anything changed.
    int old = findMail(t, key, received);
    if (old >= 0) t.eraseMail(old);
    int m = t.appendMail(rec, subject);
    for (const Att& a : atts)
        t.appendAttachment(m, a.path, a.name, a.rec);
    for (const Del& d : dels) {
        int row = t.appendDelivery(m, d.recipient, d.sender);
        DeliveryRecord dr = d.rec;
        dr.mail = m;
        t.deliveries[row] = dr;
    }
    for (const auto& r : recips)
        t.appendReceivedRecipient(m, r.first, r.second);
    for (const auto& e : outAddr)
        t.appendOutAddress(m, e);
    for (const auto& e : recvAddr)
        t.appendRecvAddress(m, e);
    t.mails[m] = rec;  // appending deliveries makes a mail an outgoing one; the image decides
    fixReplayedMail(t, m);
    return true;
}

bool writeAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

std::string folderOf(const std::string& path) {
    std::string f = std::filesystem::path(path).parent_path().string();
    return f.empty() ? "." : f;
}

// Whether the files can be synced one by one: only regular files (a folder's descriptor asks
// for what was written into it), and few of them. A file's own sync commits its folder entry
// with it on a journalling file system.
bool syncEachFile(const std::vector<int>& fds) {
    constexpr size_t kMostSyncedAlone = 8;
    if (fds.size() > kMostSyncedAlone) return false;
    for (int fd : fds) {
        struct stat st;
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    }
    return true;
}

bool syncFolder(const std::string& folder) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

bool isJournaledKind(int32_t kind) {
    switch (kind) {
        case MailKind::Outbox:
        case MailKind::Inbox:
        case MailKind::TrashOutgoing:
        case MailKind::TrashReceived:
        case MailKind::Sent:
        case MailKind::SharedFileReceived:
        case MailKind::Draft:
        case MailKind::TrashDraft:
            return true;
        default:
            return false;
    }
}

std::vector<uint8_t> journalRecordFor(const CoreTables& t, uint64_t key, bool received) {
    std::vector<uint8_t> out;
    Out b;
    int m = findMail(t, key, received);
    if (m < 0 || !isJournaledKind(t.mails[m].kind)) {
        b.u8(kDropMail);
        b.u64(key);
        b.u8(received ? 1 : 0);
        frame(b, out);
        return out;
    }
    b.u8(kPutMail);
    b.u64(key);
    b.u8(received ? 1 : 0);
    b.raw(&t.mails[m], sizeof(MailRecord));
    b.str(t.subjects.view(m));
    const auto& files = t.mailFiles(m);
    b.u32(static_cast<uint32_t>(files.size()));
    for (int a : files) {
        b.raw(&t.attachments[a], sizeof(AttachmentRecord));
        b.str(t.attachmentPaths.view(a));
        b.str(t.attachmentNames.view(a));
    }
    const auto& dels = t.mailDeliveries(m);
    b.u32(static_cast<uint32_t>(dels.size()));
    for (int d : dels) {
        b.raw(&t.deliveries[d], sizeof(DeliveryRecord));
        b.str(t.deliveryRecipients.view(d));
        b.str(t.deliverySenders.view(d));
    }
    const auto& recips = t.mailReceivedRecipients(m);
    b.u32(static_cast<uint32_t>(recips.size()));
    for (int r : recips) {
        b.str(t.receivedRecipientNames.view(r));
        b.str(t.receivedRecipientSenders.view(r));
    }
    const auto& outAddr = t.mailOutAddress(m);
    b.u32(static_cast<uint32_t>(outAddr.size()));
    for (int e : outAddr)
        b.str(t.outAddressEntries.view(e));
    const auto& recvAddr = t.mailRecvAddress(m);
    b.u32(static_cast<uint32_t>(recvAddr.size()));
    for (int e : recvAddr)
        b.str(t.recvAddressEntries.view(e));
    frame(b, out);
    return out;
}

ReplayReport replayJournal(CoreTables& t, const uint8_t* data, size_t size) {
    ReplayReport rep;
    size_t pos = 0;
    while (pos < size) {
        In head(data + pos, size - pos);
        uint32_t magic = head.u32();
        uint32_t len = head.u32();
        uint32_t crc = head.u32();
        if (!head.ok() || magic != kJournalFrameMagic || len > kJournalMaxRecord ||
            len > size - pos - 12 || crc32(data + pos + 12, len) != crc) {
            rep.torn = true;
            break;
        }
        // An intact frame that does not make sense (written by a later version, or damage
        // the checksum missed) is skipped: the frames after it are still whole.
        if (applyRecord(t, data + pos + 12, len)) ++rep.applied;
        pos += 12 + size_t{len};
        rep.goodBytes = pos;
    }
    // Appending noted every replayed mail; they are on disk already.
    t.takeMailNotes();
    return rep;
}

Journal::Journal(std::string configPath) : configPath_(std::move(configPath)) {
    std::vector<uint64_t> found = existingNumbers();
    if (!found.empty()) {
        lowest_ = found.front();
        current_ = found.back() + 1;
    }
}

Journal::~Journal() {
    if (fd_ >= 0) ::close(fd_);
}

std::string Journal::fileName(uint64_t n) const {
    return configPath_ + ".journal." + std::to_string(n);
}

std::vector<uint64_t> Journal::existingNumbers() const {
    std::vector<uint64_t> out;
    std::string folder = folderOf(configPath_);
    std::string prefix = std::filesystem::path(configPath_).filename().string() + ".journal.";
    DIR* d = ::opendir(folder.c_str());
    if (!d) return out;
    while (dirent* e = ::readdir(d)) {
        std::string_view name = e->d_name;
        if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) continue;
        std::string_view num = name.substr(prefix.size());
        if (num.size() > 18 ||
            !std::all_of(num.begin(), num.end(), [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        out.push_back(std::stoull(std::string(num)));
    }
    ::closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

int Journal::replayAll(CoreTables& t) {
    int applied = 0;
    for (uint64_t n : existingNumbers()) {
        int fd = ::open(fileName(n).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        std::vector<uint8_t> bytes;
        uint8_t buf[1 << 16];
        for (;;) {
            ssize_t r = ::read(fd, buf, sizeof buf);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) break;
            bytes.insert(bytes.end(), buf, buf + r);
        }
        ::close(fd);
        applied += replayJournal(t, bytes.data(), bytes.size()).applied;
    }
    return applied;
}

bool Journal::openCurrent() {
    if (fd_ >= 0) return true;
    fd_ = ::open(fileName(current_).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    fdFresh_ = fd_ >= 0;
    return fd_ >= 0;
}

bool Journal::commit(CoreTables& t) {
    bool ok = true;
    std::vector<int> files = t.takeFilesToSync();
    if (!files.empty()) {
        if (syncEachFile(files)) {
            // A few received files: each one alone. Syncing the whole file system would also
            // wait for everything else written on the machine, seconds under a busy disk.
            for (int fd : files)
                if (::fsync(fd) != 0) ok = false;
        } else {
            // A burst of small files, or a folder standing for the files written into it: one
            // sync of the file system covers them all, and every folder entry.
            if (::syncfs(files.front()) != 0) ok = false;
        }
        ++syncs_;
        for (int fd : files)
            ::close(fd);
    }
    std::vector<CoreTables::MailNote> notes = t.takeMailNotes();
    if (notes.empty()) return ok;
    std::vector<uint8_t> bytes;
    std::unordered_set<uint64_t> seen;
    for (const auto& n : notes) {
        uint64_t id = n.key * 2 + (n.received ? 1 : 0);
        if (!seen.insert(id).second) continue;
        std::vector<uint8_t> r = journalRecordFor(t, n.key, n.received);
        bytes.insert(bytes.end(), r.begin(), r.end());
    }
    if (!openCurrent()) return false;
    if (!writeAll(fd_, bytes.data(), bytes.size())) return false;
    if (::fdatasync(fd_) != 0) return false;
    ++syncs_;
    if (fdFresh_) {
        if (!syncFolder(folderOf(configPath_))) return false;
        fdFresh_ = false;
    }
    return ok;
}

uint64_t Journal::rotate() {
    uint64_t included = current_;
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    ++current_;
    return included;
}

void Journal::dropThrough(uint64_t n) {
    std::lock_guard<std::mutex> lk(dropMu_);
    for (; lowest_ <= n; ++lowest_)
        ::unlink(fileName(lowest_).c_str());
}

}  // namespace orv
