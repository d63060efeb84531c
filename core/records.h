#pragma once
// Records that are stored in cfg.dat and sent to peers byte for byte. Their layouts are fixed
// little-endian; the 4-byte slots that once held pointers stay in the layout (written as
// read or as zero) while the runtime objects live in side tables of CoreTables.
#include <bit>
#include <cstddef>
#include <cstdint>

namespace orv {

static_assert(std::endian::native == std::endian::little,
              "records are stored verbatim and must be little-endian in memory");

namespace MailKind {
enum : int32_t {
    Outbox = 0,
    Inbox = 1,
    ResendRequest = 2,
    TrashOutgoing = 3,
    TrashReceived = 4,
    NoteAnswer = 12,
    Sent = 16,
    ListFolder = 17,
    ListTree = 18,
    ListFolderReply = 19,
    ListTreeReply = 20,
    SharedFileRequest = 21,
    SharedFileDelivery = 22,
    SharedFileReceived = 23,
    Draft = 26,
    TrashDraft = 28,
};
}

namespace MailFlags {
enum : uint32_t {
    bodyIsFirstFile = 0x01,
    bulletin = 0x02,
    announce = 0x04,
    urgent = 0x08,
    classified = 0x10,
    signRequired = 0x20,
    news = 0x40,
};
}

namespace MailState {
enum : uint8_t { read = 0x01, signedBit = 0x02 };
}

struct MailRecord {
    int32_t recipientCount;
    int32_t created;
    uint64_t key;
    int32_t kind;
    int32_t reserved20;
    int64_t size;
    uint64_t wantedKey;
    uint8_t reserved40;
    uint8_t fetchRequested;
    uint8_t state;
    uint8_t reserved43;
    int32_t lastActivity;
    uint32_t runtimeSlot;  // receive meter lives in CoreTables::mailMeter()
    uint32_t flags;
    int32_t reserved56;
    int32_t reserved60;
};
static_assert(sizeof(MailRecord) == 64);
static_assert(offsetof(MailRecord, key) == 8 && offsetof(MailRecord, size) == 24 &&
              offsetof(MailRecord, wantedKey) == 32 && offsetof(MailRecord, fetchRequested) == 41 &&
              offsetof(MailRecord, lastActivity) == 44 && offsetof(MailRecord, flags) == 52);

namespace AttFlags {
enum : int32_t { isBodyPart = 0x01 };
}

struct AttachmentRecord {
    int32_t mail;
    uint32_t runtimeSlot;  // open reception file lives in CoreTables::attachmentFile()
    int64_t total;
    int64_t done;
    int64_t fileTime;  // FILETIME: 100 ns units since 1601
    int32_t previewMark;
    int32_t attFlags;
};
static_assert(sizeof(AttachmentRecord) == 40);
static_assert(offsetof(AttachmentRecord, total) == 8 &&
              offsetof(AttachmentRecord, fileTime) == 24 &&
              offsetof(AttachmentRecord, previewMark) == 32);

// States of a delivery: 0 waiting for a link, 1 link available, 2 item message built and
// being sent, 3 sending files, 4 finished from our side, 9 delivered, 10 a file cannot be
// read, 13 waiting for the receiver's reply.
namespace DeliveryState {
enum : int32_t {
    Waiting = 0,
    LinkReady = 1,
    SendingItem = 2,
    SendingFiles = 3,
    Finished = 4,
    Delivered = 9,
    Unreadable = 10,
    // The recipient does not exist: kept, so the mail stays in the Outbox to be corrected.
    Refused = 11,
    AwaitingReply = 13,
};
}

// Why a connection to a user is made.
namespace ConnectPurpose {
enum : int32_t { Ordinary = 0, Classified = 2 };
}

struct DeliveryRecord {
    int32_t stateTime;
    int32_t state;
    int32_t linkSocket;
    int32_t mail;
    int32_t fileIndex;
    int32_t reserved20;
    int64_t fileOffset;
    int32_t fileHandle;  // kept -1 in the record; the open file is in the side table
    int32_t reserved36;
    uint8_t reserved40[16];
    int64_t progress;
    uint32_t runtimeSlot;  // send buffer lives in the side table
    int32_t reserved68;
};
static_assert(sizeof(DeliveryRecord) == 72);
static_assert(offsetof(DeliveryRecord, fileOffset) == 24 &&
              offsetof(DeliveryRecord, fileHandle) == 32 &&
              offsetof(DeliveryRecord, progress) == 56 &&
              offsetof(DeliveryRecord, runtimeSlot) == 64);

inline DeliveryRecord newDeliveryRecord(int32_t mail) {
    DeliveryRecord d{};
    d.linkSocket = -1;
    d.mail = mail;
    d.fileHandle = -1;
    return d;
}

// Six one-second slots of a running byte total (slot 0 - slot 5 spans five seconds, the
// current one included) and the monotonic second of the newest slot; paceUs is the
// monotonic microsecond a limited meter's pace has reached. Runtime only. Totals are kept modulo
// 2^32: differences stay right past 4 GiB.
struct RateMeter {
    uint32_t slots[6];
    int32_t time;
    int64_t paceUs;
};
static_assert(sizeof(RateMeter) == 40);

// A start time followed by a rate meter: the send meter of a delivery and the receive meter
// of an incoming mail.
struct DeliveryProgress {
    int32_t start;
    RateMeter meter;
};
static_assert(sizeof(DeliveryProgress) == 48);
using ReceiveMeter = DeliveryProgress;

// Owned group: byte 1 is the public flag.
struct OwnedGroupRecord {
    uint8_t reserved0;
    uint8_t publicFlag;
    uint8_t reserved2[22];
};
static_assert(sizeof(OwnedGroupRecord) == 24);

// Member of an owned or joined group; for organisation accounts number and kind come from the
// member state the directory reports.
struct GroupMemberRecord {
    int32_t group;
    int32_t number;
    int32_t memberKind;
    uint8_t reserved12[24];
};
static_assert(sizeof(GroupMemberRecord) == 36);

struct SharedFileRecord {
    int32_t folder;
    uint8_t reserved4[4];
    uint64_t size;
    int32_t added;
    uint8_t reserved20[36];
};
static_assert(sizeof(SharedFileRecord) == 56);
static_assert(offsetof(SharedFileRecord, size) == 8 && offsetof(SharedFileRecord, added) == 16);

namespace TransferKind {
enum : int32_t { File = 0, Folder = 1, FolderFile = 2, Preview = 3 };
}
namespace TransferState {
enum : int32_t {
    Waiting = 0,
    Paused = 1,
    Receiving = 2,
    Requested = 3,
    Done = 4,
    FolderBusy = 5,
    FolderListing = 6
};
}

struct TransferRecord {
    int32_t kind;
    int32_t state;
    uint8_t openWhenComplete;
    uint8_t reserved9[3];
    uint8_t reserved12[4];
    uint64_t total;  // all bits set: size unset
    uint64_t received;
    int32_t rate;
    int32_t parent;
    uint8_t reserved40[32];
};
static_assert(sizeof(TransferRecord) == 72);
static_assert(offsetof(TransferRecord, total) == 16 && offsetof(TransferRecord, rate) == 32 &&
              offsetof(TransferRecord, parent) == 36);

}  // namespace orv
