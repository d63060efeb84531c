#pragma once
// All durable state of one client: mails with their files, deliveries, recipients and address
// lines, contacts, settings, groups, shares and downloads, plus the runtime-only tables kept
// beside them. One object per client session; rows are addressed by index, and deleting row k
// lowers every stored index above k.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/clock.h"
#include "core/records.h"
#include "core/share_store.h"
#include "core/tables.h"

namespace orv {

// An owned file descriptor, closed when released.
class OpenFile {
  public:
    OpenFile() = default;
    explicit OpenFile(int fd) : fd_(fd) {}
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    OpenFile(OpenFile&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    OpenFile& operator=(OpenFile&& o) noexcept;
    ~OpenFile() { close(); }
    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void reset(int fd) {
        close();
        fd_ = fd;
    }
    void close();

  private:
    int fd_ = -1;
};

// Runtime state of a delivery: the file being sent and what was read of it but not yet sent.
struct DeliveryRuntime {
    OpenFile file;
    std::vector<uint8_t> sendBuffer;
    void release() {
        file.close();
        sendBuffer.clear();
        sendBuffer.shrink_to_fit();
    }
};

// Runtime values beside a table's rows; grows on demand so it never lags the table.
template <typename T>
class SideTable {
  public:
    T& at(int i) {
        if (static_cast<size_t>(i) >= rows_.size()) rows_.resize(static_cast<size_t>(i) + 1);
        return rows_[static_cast<size_t>(i)];
    }
    bool has(int i) const { return i >= 0 && static_cast<size_t>(i) < rows_.size(); }
    void eraseAt(int i) {
        if (has(i)) rows_.erase(rows_.begin() + i);
    }
    void retain(const std::vector<char>& keep) {
        size_t w = 0;
        for (size_t r = 0; r < rows_.size() && r < keep.size(); ++r) {
            if (keep[r]) {
                if (w != r) rows_[w] = std::move(rows_[r]);
                ++w;
            }
        }
        rows_.resize(w);
    }
    void clear() { rows_.clear(); }
    std::vector<T>& rows() { return rows_; }
    const std::vector<T>& rows() const { return rows_; }

  private:
    std::vector<T> rows_;
};

// Outcome of resolveUser.
enum class ResolveCode : int {
    CachedNoPort = 0,
    FreshWithPort = 1,
    NoSuchUser = 2,
    NoAddress = 3,
    FreshNoPort = 4,
    CachedWithPort = 5,
    Failed = 6,  // the request failed or is still pending; nothing cached
};

struct ResolveResult {
    ResolveCode code = ResolveCode::FreshNoPort;
    std::string host;
    int port = 0;
};

// What the directory said when asked for a user's address. Failed: no answer (yet); NoSuchUser:
// the directory knows no such user.
struct AddressAnswer {
    enum Kind { Failed, NoSuchUser, Empty, Found } kind = Failed;
    std::string address;
};

// Settings numbers and strings the core itself touches.
namespace Setting {
enum : int {
    MaxSendPerTransfer = 13,
    MaxRecvPerTransfer = 14,
    MaxSendTotal = 15,
    MaxRecvTotal = 16,
    UseFixedAddress = 17,
    AutoReceiveMB = 18,
    InboxCategory = 59,
    ServerPort = 60,
    WindowMaximized = 61,
    NotifyNewMail = 68,
    AddSignature = 69,
    ReachThroughRelay = 70,  // 1: the user asked to be reached through a relay
};
}
namespace SettingString {
enum : int {
    ReceiveFolder = 0,
    FixedAddress = 1,
    MediaPlayer = 5,
    LastOpinion = 6,
    ServerHost = 7,
    EditorFont = 8,
    EditorFontSize = 9,
    SignatureFile = 10,
    HomePage = 12,  // empty: no home page, nothing opens at exit
};
}

class CoreTables {
  public:
    explicit CoreTables(const Clock& clock, std::string mailStoreFolder = {});
    CoreTables(const CoreTables&) = delete;
    CoreTables& operator=(const CoreTables&) = delete;

    const Clock& clock() const { return clock_; }
    int32_t now() const { return static_cast<int32_t>(clock_.nowSeconds()); }

    // "recvfile" beside the configuration, with a trailing separator.
    const std::string& mailStoreFolder() const { return mailStoreFolder_; }
    void setMailStoreFolder(std::string folder);
    bool ensureMailStoreFolder() const;

    // ---- persisted tables, in the order the state file stores them ----
    StringPool attachmentPaths;                    // 1
    RecordArray<AttachmentRecord> attachments;     // 2
    StringPool subjects;                           // 3
    RecordArray<MailRecord> mails;                 // 4
    StringPool receivedRecipientNames;             // 5
    StringPool receivedRecipientSenders;           // 6
    RecordArray<int32_t> receivedRecipientMails;   // 7
    StringPool deliveryRecipients;                 // 8
    StringPool deliverySenders;                    // 9
    RecordArray<DeliveryRecord> deliveries;        // 10
    StringPool savedLogin;                         // 11
    StringPool contacts;                           // 12
    RecordArray<int32_t> settingsNumbers;          // 13
    StringPool ownedGroupNames;                    // 14
    StringPool ownedGroupCreators;                 // 15
    StringPool ownedMemberNames;                   // 16
    RecordArray<GroupMemberRecord> ownedMembers;   // 17
    StringPool joinedGroupNames;                   // 18
    StringPool joinedGroupCreators;                // 19
    StringPool joinedMemberNames;                  // 20
    RecordArray<GroupMemberRecord> joinedMembers;  // 21
    StringPool joinConfirmStrings;                 // 22
    RecordArray<int32_t> joinConfirmValues;        // 23
    StringPool settingsStrings;                    // 24
    StringPool ownedGroupIntros;                   // 25
    RecordArray<OwnedGroupRecord> ownedGroups;     // 26
    StringPool attachmentNames;                    // 27
    StringPool outAddressEntries;                  // 28
    RecordArray<int32_t> outAddressMails;          // 29
    StringPool recvAddressEntries;                 // 30
    RecordArray<int32_t> recvAddressMails;         // 31
    StringPool shareFolderPaths;                   // 32
    RecordArray<int32_t> shareFolderTags;          // 33
    StringPool sharedFileNames;                    // 34
    RecordArray<SharedFileRecord> sharedFiles;     // 35
    StringPool sharedFileLocalPaths;               // 36
    StringPool transferRemotePaths;                // 37
    StringPool transferLocalPaths;                 // 38
    RecordArray<TransferRecord> transfers;         // 39
    StringPool transferOwners;                     // 40

    // The operations and indexes over blocks 32-36.
    ShareStore share{shareFolderPaths, shareFolderTags, sharedFileNames, sharedFiles,
                     sharedFileLocalPaths};

    // ---- runtime-only tables ----
    RecordArray<DeliveryProgress> deliveryProgress;  // one per delivery
    StringPool seenNames;
    RecordArray<int32_t> seenTimes;
    StringPool addressCacheNames;
    StringPool addressCacheAddresses;
    RecordArray<int32_t> addressCacheTimes;
    StringPool previewSet;  // remote paths previewed during this run

    ReceiveMeter& mailMeter(int m) { return mailMeters_.at(m); }
    OpenFile& attachmentFile(int a) { return attachmentFiles_.at(a); }
    bool attachmentOpen(int a) const;
    DeliveryRuntime& deliveryRuntime(int d) { return deliveryRuntime_.at(d); }
    // Drops every runtime object (after loading, and at shutdown).
    void clearRuntime();

    // ---- building mails ----
    int appendMail(const MailRecord& r, std::string_view subject);
    int appendAttachment(int mail, std::string_view path, std::string_view name,
                         const AttachmentRecord& r);
    // A delivery for recipient `name`; the sender is copied from the mail's first delivery.
    int addDelivery(std::string_view name, int m);
    int appendDelivery(int m, std::string_view recipient, std::string_view sender);
    // A received-recipient row; the sender is copied from the mail's first row.
    int addReceivedRecipient(std::string_view name, int m);
    int appendReceivedRecipient(int m, std::string_view recipient, std::string_view sender);
    int appendOutAddress(int m, std::string_view entry);
    int appendRecvAddress(int m, std::string_view entry);

    // ---- lookups ----
    int findReceived(uint64_t key) const;
    // Every mail row with this key, in table order (kept by an index, not a scan).
    const std::vector<int32_t>& mailsWithKey(uint64_t key) const;
    int findOutgoing(uint64_t key) const;
    bool copyMail(uint64_t key, MailRecord& out) const;
    bool copyOutgoingMail(uint64_t key, MailRecord& out) const;

    // Rows that belong to mail m, in table order.
    const std::vector<int32_t>& mailFiles(int m) const;
    const std::vector<int32_t>& mailDeliveries(int m) const;
    const std::vector<int32_t>& mailReceivedRecipients(int m) const;
    const std::vector<int32_t>& mailOutAddress(int m) const;
    const std::vector<int32_t>& mailRecvAddress(int m) const;

    static bool isReceivedKind(int32_t kind);
    std::string mailSubject(int m) const { return subjects.str(m); }
    void mailRecipients(int m, StringPool& out) const;
    void mailSenders(int m, StringPool& out) const;  // distinct, ignoring case
    void mailAttachmentNames(int m, StringPool& out) const;
    void mailAttachmentPaths(int m, StringPool& out) const;
    // The body files; true when every one of them is complete.
    bool mailBodyPaths(int m, StringPool& out) const;
    // Attachment-table rows of the mail's attachments (as the attachment lists count them).
    std::vector<int32_t> mailAttachmentRows(int m) const;
    bool setAttachmentPath(int m, int j, std::string_view path);
    void receivedAddressLine(int m, StringPool& out) const;

    uint64_t previousReceived(std::string_view user, uint64_t key) const;
    uint64_t nextReceived(std::string_view user, uint64_t key) const;
    std::optional<uint64_t> latestReceived(std::string_view user) const;

    int64_t sumDone(int m) const;
    int64_t sumTotalFirst(int m, int k) const;
    int completeFileCount(int m) const;
    int64_t firstIncompleteDone(int m) const;
    bool fileUnchanged(int a) const;
    int mailFileIndex(int m, int j) const;
    bool isRecipientOf(std::string_view name, int m) const;
    bool isReceivedRecipientOf(std::string_view name, int m) const;
    int countReceivedFor(std::string_view name) const;

    // ---- mutations ----
    void eraseMail(int m);
    // Erases several mails at once (any order, duplicates ignored): one pass over each table.
    void eraseMails(std::vector<int> mails);
    void eraseDelivery(int d);
    void deleteMailPermanently(int m);
    enum class DeliveryHow { Reset = 0, Sending = 1, FromPosition = 2, Finished = 3 };
    void setDeliveryState(int d, DeliveryHow how, int32_t fileIndex = 0, int64_t fileOffset = 0);

    // ---- recently seen users and the address cache ----
    void markSeen(std::string_view name);
    bool seenRecently(std::string_view name) const;
    // The cached address of name when at most 20 s old (older entries are dropped first).
    std::optional<std::string> cachedAddress(std::string_view name);
    void cacheAddress(std::string_view name, std::string_view address);
    // Cached or fresh address; `ask` queries the directory when the cache has nothing.
    ResolveResult resolveUser(std::string_view name,
                              const std::function<AddressAnswer(std::string_view)>& ask);

    // ---- settings ----
    int32_t settingNumber(int i) const;
    void setSettingNumber(int i, int32_t v);
    std::string settingString(int i) const { return settingsStrings.str(i); }
    void setSettingString(int i, std::string_view v) { settingsStrings.replaceAt(i, v); }

    // ---- transfer list ----
    // Removes a transfer from all four sequences; parent indexes above it are lowered.
    void removeTransfer(int i);
    // First transfer of kind 0, 1 or 3 whose remote path equals path (ignoring case), or -1.
    int findTransfer(std::string_view remotePath) const;
    // Stops and removes a download (a folder with its files); `stop` ends the engine's
    // transfer of a remote path. False when no such download exists.
    bool cancelTransfer(std::string_view remotePath,
                        const std::function<void(std::string_view)>& stop = {});

    // ---- changes the journal has not taken yet ----
    // Mail m changed in a way that must survive a crash (the mutators above note their own
    // mails; code that writes a record's fields directly notes it here).
    void noteMailChanged(int m);
    struct MailNote {
        uint64_t key = 0;
        bool received = false;
    };
    std::vector<MailNote> takeMailNotes() { return std::exchange(mailNotes_, {}); }
    bool hasMailNotes() const { return !mailNotes_.empty(); }
    // A descriptor (our own duplicate) of a received file that must reach the disk before the
    // next reply; the journal syncs and closes it at its next commit.
    void noteFileToSync(int fd) { filesToSync_.push_back(fd); }
    std::vector<int> takeFilesToSync() { return std::exchange(filesToSync_, {}); }
    bool hasFilesToSync() const { return !filesToSync_.empty(); }

    // ---- change tracking for the background save ----
    void noteChange() { ++changes_; }
    uint64_t changeCount() const;
    // Bytes reserved by the tables (capacity × record size).
    size_t bytesHeld() const;

    // Empties every persisted and runtime table.
    void clearAll();

  private:
    template <typename Self, typename F>
    static void forEachTable(Self& t, F&& f);
    struct RowIndex {
        std::vector<std::vector<int32_t>> byMail;
        uint64_t rowGen = ~0ull, mailGen = ~0ull;
    };
    template <typename MailOf>
    const RowIndex& rowIndex(RowIndex& ix, uint64_t rowGen, int rows, MailOf mailOf) const;
    void noteRowAppended(RowIndex& ix, uint64_t oldRowGen, uint64_t newRowGen, int row, int mail);
    int findByKey(uint64_t key, bool received) const;
    void eraseMailsPass(const std::vector<int32_t>& remap, int erased);
    void eraseDeliveryRows(const std::vector<char>& keep);

    const Clock& clock_;
    std::string mailStoreFolder_;
    SideTable<ReceiveMeter> mailMeters_;
    SideTable<OpenFile> attachmentFiles_;
    SideTable<DeliveryRuntime> deliveryRuntime_;

    mutable RowIndex filesIx_, deliveriesIx_, recipientsIx_, outAddrIx_, recvAddrIx_;
    mutable std::unordered_map<uint64_t, std::vector<int32_t>> keyIx_;
    mutable uint64_t keyIxGen_ = ~0ull;
    uint64_t changes_ = 0;
    std::vector<MailNote> mailNotes_;
    std::vector<int> filesToSync_;
};

}  // namespace orv
