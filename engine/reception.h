#pragma once
// The receiving side of the peer protocol: what happens with an item message that arrives
// (store a mail, restart a delivery, hand share requests on), the reply that tells the sender
// which file and offset come next, the writing of file chunks, the stall check, and what the
// mail window reads about a mail being received.
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/core_tables.h"
#include "core/session_state.h"
#include "engine/delivery.h"
#include "engine/engine.h"
#include "engine/wire.h"

namespace orv {

struct ItemMessage;

// A file name from a peer as it may be used locally: the part after the last '/' or '\';
// empty when nothing usable is left ("", "." or "..").
std::string safeFileName(std::string_view name);

// Where the file of a shared-file mail (kind 23) goes, from the transfer list.
struct SharedFileTarget {
    std::string localPath;
    int64_t received = 0;
    // A preview's position in the preview set: its bytes go to the engine's preview buffer,
    // not to localPath. -1 for a download.
    int32_t preview = -1;
};

// What became of preview data offered to the engine's preview window.
enum class PreviewTake {
    Taken,   // copied: the file's progress moves on
    NotNow,  // the window is full: the chunk is offered again later
    Dropped  // for a preview or a stretch no longer streamed: accepted and forgotten
};

class MailReception {
  public:
    MailReception(Engine& engine, CoreTables& tables, SessionState& session, const Clock& clock,
                  MailDelivery& delivery);
    ~MailReception();
    MailReception(const MailReception&) = delete;
    MailReception& operator=(const MailReception&) = delete;

    // ---- called by the engine ----
    void DispatchItem(const InboundMessage& msg);
    ChunkVerdict ReceiveChunk(const InboundMessage& msg);
    // Every SocketStep: writes what is buffered and, at most every 10 seconds, asks again for
    // mails whose files stopped coming.
    void socketStepDuties();
    void checkStalled();
    // At shutdown: every incoming file still open is closed and its progress recorded.
    void closeIncomingFiles();
    void addWaits(WaitSet& out);

    // The reply for mail m (or for no stored mail, m < 0) on socket s.
    void SendItemReply(Socket s, int m, uint64_t key, int32_t created);

    // ---- the mail façade ----
    // The user asks for the files of a received mail. False when no such mail.
    bool RequestFiles(uint64_t key);
    uint32_t receiveSpeed(uint64_t key);  // bytes per second
    bool stalled(uint64_t key);

    // ---- the transfer list ----
    // Stops the reception of every shared-file mail (kind 23) with this subject: what arrived
    // is written, the file closed and the mail dropped, so further chunks for it are answered
    // as for an unknown mail and the sender stops.
    void stopSharedFile(std::string_view subject);

    // ---- places of relay mode, the shared folders and the transfer list ----
    std::function<void(const InboundMessage&)> relayItem;
    // Kinds 17 and 18: a listing request for path from sender to recipient.
    std::function<void(int32_t kind, std::string_view sender, std::string_view recipient,
                       std::string_view path)>
        onListingRequest;
    // Kinds 19 and 20: a listing reply; the reader stands after list A.
    std::function<void(int32_t kind, std::string_view sender, std::string_view path,
                       WireReader& listing)>
        onListingReply;
    // Kind 21: a shared-file request for path.
    std::function<void(std::string_view sender, std::string_view recipient, std::string_view path)>
        onSharedFileRequest;
    // Kind 23: where the file goes; none leaves the chunks unwritten.
    std::function<std::optional<SharedFileTarget>(int mail)> sharedFileTarget;
    // Kind 23: bytes written so far, when the file completes or is closed at shutdown.
    std::function<void(int mail, int64_t received, bool complete)> sharedFileProgress;
    // Data at the expected offset of a file with a preview mark (preview = the mark - 1).
    std::function<PreviewTake(int32_t preview, int64_t offset, std::span<const uint8_t> data)>
        previewChunk;

    // A reception with no chunk for more than this many seconds has stalled.
    static constexpr int32_t kStallSeconds = 15;
    // Stalled receptions are looked for at most once in more than this many seconds.
    static constexpr int32_t kStallCheckSeconds = 10;
    // Replies to chunks that cannot be placed go out at most once in this many seconds.
    static constexpr int32_t kReplySpacing = 2;
    // Bytes of one file gathered before they are written.
    static constexpr size_t kWriteBlock = 256u << 10;
    // Bytes of one file written before the kernel is asked to start putting them on disk.
    static constexpr int64_t kWritebackBlock = 8 << 20;

  private:
    int32_t now() const { return static_cast<int32_t>(clock_.nowSeconds()); }
    // Stores a mail unless it is there already; rd stands after the item's head.
    void storeMail(const InboundMessage& msg, ItemMessage& item, WireReader& rd);
    int findStored(uint64_t key) const;  // kinds 1, 23, 4
    int findForChunk(uint64_t key, int32_t fileNo, int& attachment);
    int findReceivedKind(uint64_t key, bool alsoShared) const;
    std::string receiveFolder() const;
    bool completePath(int a);
    bool openForReception(int m, int a);
    void createEmptyFiles(int m);
    void resumeSharedFile(int m);
    // A new mail for the user is announced, and so are its files when all are already in.
    void announceStored(int m);
    void fileCompleted(int m, int a, Socket s);
    bool writeData(int a, int64_t offset, std::span<const uint8_t> data);
    bool flushPending();
    void askAgain(int m);

    Engine& engine_;
    CoreTables& tables_;
    SessionState& session_;
    const Clock& clock_;
    MailDelivery& delivery_;

    // Consecutive data of one file not yet written. The descriptor is our own duplicate, so
    // the data reaches its file even when the table's row moved or was closed meanwhile.
    struct PendingWrite {
        int fd = -1;
        int tableFd = -1;  // the table's descriptor it was taken from
        int attachment = -1;
        int64_t offset = 0;
        std::vector<uint8_t> data;
    } pending_;
    // The written run of one file whose writeback has not been started yet.
    struct Writeback {
        int tableFd = -1;
        int64_t from = 0;
        int64_t end = 0;
    } writeback_;
    void startWriteback(int fd, int tableFd, int64_t offset, int64_t end);

    int32_t lastUnknownReply_ = 0;  // chunks for unknown or unwanted mails
    int32_t lastOffsetReply_ = 0;   // chunks at the wrong offset
    int32_t lastStallCheck_ = 0;
    // The mail the last chunk was for.
    uint64_t chunkKey_ = 0;
    int chunkMail_ = -1;
    uint64_t chunkMailsGen_ = ~0ull;
};

// Plugs delivery and reception into the engine's hooks.
void connectMailHooks(Engine& engine, MailDelivery& delivery, MailReception& reception);

}  // namespace orv
