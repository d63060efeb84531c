#pragma once
// Relay mode: a client whose login was answered "Connect OK" stores nothing of what passes
// through it but forwards it. Items go from any sender's link to the link of the user they
// are addressed to; the receivers' replies go back to the senders through a route kept per
// relayed mail; file chunks go from the sender to every receiver that asked for them, each at
// the file and offset it asked for.
//
// Everything runs inside the engine's steps: RelayItem and RelayChunk from the receive state
// machine, RelayReply from the delivery's reply handling, RelayForward as the first action of
// PeriodicStep. Outside relay mode the tables stay empty and nothing here does anything.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/clock.h"
#include "core/records.h"
#include "core/session_state.h"
#include "core/tables.h"
#include "engine/engine.h"
#include "engine/wait_set.h"

namespace orv {

class MailDelivery;
class MailReception;

// Bytes in the relay buffer above which senders are throttled.
inline constexpr size_t kRelayThrottleMark = 3'145'728;
// Bytes per second a throttled relay still accepts from its senders.
inline constexpr uint32_t kRelayThrottleRate = 102'400;
// Above this many bytes in the buffer, a cleanup that frees less than kRelayLeastFreed gives up
// and empties the queue.
inline constexpr size_t kRelayOverflowMark = 6'291'456;
inline constexpr size_t kRelayLeastFreed = 131'072;
// The buffer never holds more than this: items beyond it are dropped (their senders repeat
// them), chunks beyond it wait, whatever link they come on.
inline constexpr size_t kRelayHardLimit = kRelayOverflowMark + kMaxBodyLength;
// Bytes of one item passed to its link per step, so that other entries get their turn.
inline constexpr size_t kRelayPiece = 2048;
// The relay hands nothing more to a link whose output queue holds this much: the data waits in
// the relay buffer, where the throttle sees it.
inline constexpr size_t kRelayLinkMark = 256u << 10;
// The cleanup runs at most once in this many seconds, and only when the buffer is above the
// throttle mark or more than kRelayCleanupIdleSeconds have passed since the last one.
inline constexpr int32_t kRelayCleanupSpacingSeconds = 2;
inline constexpr int32_t kRelayCleanupIdleSeconds = 15;
// Between cleanups, a buffer above the throttle mark gives back what has been passed on at most
// once in this many milliseconds, so a busy relay is held by its links, not by the cleanup's
// two-second spacing (the mark's worth per spacing bounds what a relay passes: 3 MB per 2 ms).
// A reclaim that frees nothing doubles the spacing up to the longest, so a relay waiting on a
// slow receiver does not scan its buffer hundreds of times a second.
inline constexpr int64_t kRelayReclaimSpacingMs = 2;
inline constexpr int64_t kRelayReclaimLongestSpacingMs = 64;
// A receiver not served for more than this many seconds is forgotten.
inline constexpr int32_t kRelayReceiverSeconds = 30;
// A throttled chunk is offered again this much later.
inline constexpr int64_t kRelayThrottleRetryMs = 200;
// Chunks of one mail that nobody wants are answered at most once in this many milliseconds.
inline constexpr int64_t kRelayUnwantedSpacingMs = 2000;
// In relay mode a user whose address was asked for is asked for again after this many seconds.
inline constexpr int32_t kRelayRetrySeconds = 15;

namespace RelayEntryType {
enum : int32_t { Chunk = 0, Item = 1 };
}

// The 24-byte header of a file chunk, as on the wire.
struct ChunkHead {
    uint64_t key;
    int32_t file;
    int32_t created;
    int64_t offset;
};
static_assert(sizeof(ChunkHead) == 24);

// The 32-byte body of an item reply (3, 8, 18), as on the wire.
struct ItemReplyBody {
    int32_t file;
    int32_t reserved4;
    int64_t offset;
    uint64_t key;
    int32_t created;
    int32_t reserved28;
};
static_assert(sizeof(ItemReplyBody) == 32);

struct RelayEntry {
    int32_t type;     // RelayEntryType
    int32_t offset;   // where the message starts in the relay buffer
    int32_t length;   // the whole message, header included
    int32_t sent;     // item: bytes passed on; chunk: its length once delivered
    ChunkHead chunk;  // chunk entries only
};
static_assert(sizeof(RelayEntry) == 40);

// One per relayed mail: where its replies go.
struct RelayRoute {
    int32_t recipientCount;  // the mail record's first word
    int32_t socket;          // the link the item came on
    uint64_t key;
    int32_t created;
    int32_t reserved;
};
static_assert(sizeof(RelayRoute) == 24);

// One per receiver that asked for files; reply.offset advances as chunks are passed on.
struct RelayReceiver {
    int32_t socket;
    int32_t lastServed;
    ItemReplyBody reply;
};
static_assert(sizeof(RelayReceiver) == 40);

// What the status shows of the relay.
struct RelayStatus {
    bool relayMode = false;
    int entries = 0;
    int64_t bytes = 0;  // of the relay buffer
    int routes = 0;
    int receivers = 0;
};

class Relay {
  public:
    Relay(Engine& engine, SessionState& session, const Clock& clock);
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

    bool active() const { return session_.connectMode == 1; }

    // ---- called by the engine ----
    void RelayItem(const InboundMessage& msg);
    ChunkVerdict RelayChunk(const InboundMessage& msg);
    // A reply (3, 8, 18) that is not for one of the relay's own mails.
    void RelayReply(const InboundMessage& msg);
    // True when something was passed on.
    bool RelayForward();
    void linkClosed(Socket s);
    void addWaits(WaitSet& out);
    // A new login: relay mode starts afresh (or ends).
    void reset();

    RelayStatus status() const;
    const RecordArray<RelayEntry>& queue() const { return entries_; }
    const StringPool& queueNames() const { return names_; }
    const RecordArray<RelayRoute>& routes() const { return routes_; }
    const RecordArray<RelayReceiver>& receivers() const { return receivers_; }
    size_t bufferBytes() const { return buffer_.size(); }

  private:
    int32_t now() const { return static_cast<int32_t>(clock_.nowSeconds()); }
    int32_t passLimitKB() const { return engine_.config().relayPassLimitKB; }
    uint32_t throttleRate() const;
    bool passHeld(int64_t nowMs) const;
    void countPassed(size_t bytes, int64_t nowMs);

    int findRoute(uint64_t key, int32_t created) const;
    int findReceiver(Socket s, uint64_t key, int32_t created) const;
    void queueForRecipient(std::span<const uint8_t> body, std::string_view recipient,
                           const MailRecord& rec);
    void append(int32_t type, std::span<const uint8_t> header, std::span<const uint8_t> body,
                std::string_view name, const ChunkHead* chunk);
    void linkTable(Socket s, std::string_view otherRelay, WireReader& rd);
    void dropOrphanBehindRelay();
    // Sends the reply to the sender found through the route; noRoute, when given, is where it
    // goes when there is no route.
    void PassReply(const ItemReplyBody& reply, int32_t command, std::span<const uint8_t> name = {},
                   Socket noRoute = kInvalidSocket);
    bool forwardItem(int i, int64_t nowMs);
    bool forwardChunk(int i, int64_t nowMs);
    bool chunkPassedByAll(const RelayEntry& e) const;
    // The full cleanup, or (reclaim) only giving back entries passed on to everyone.
    void cleanup(int32_t t, bool reclaim = false);
    // Above the throttle mark, at most once per reclaimSpacingMs_: true when it freed any.
    bool reclaimIfFull(int64_t nowMs);
    bool hasLink(Socket s) const { return engine_.findLink(s) >= 0; }

    Engine& engine_;
    SessionState& session_;
    const Clock& clock_;

    std::vector<uint8_t> buffer_;      // the queued messages back to back
    RecordArray<RelayEntry> entries_;  // the queue
    StringPool names_;                 // item entries' target users, at the same indexes
    std::vector<Socket> sendingOn_;    // item entries partly passed on: their socket
    RecordArray<RelayRoute> routes_;
    RecordArray<RelayReceiver> receivers_;
    RateMeter intakeMeter_{};  // bytes accepted from senders
    RateMeter passMeter_{};    // bytes passed on, under the throughput cap
    int32_t lastCleanup_ = 0;
    int64_t lastReclaimMs_ = 0;
    int64_t reclaimSpacingMs_ = kRelayReclaimSpacingMs;
    // The mail whose unwanted chunk was last answered, and when.
    uint64_t unwantedKey_ = 0;
    int32_t unwantedCreated_ = 0;
    int64_t unwantedAtMs_ = -kRelayUnwantedSpacingMs;
    bool closing_ = false;  // inside linkClosed: links removed there come back through it
};

// In relay mode the relay's own mails leave only over a plain link whose hello was accepted,
// either by the other side (state 2) or by us from that user (states 0 and 4); never over a
// direct connect, whose address could be the relay's own. kInvalidSocket when there is none.
Socket relayDeliveryLink(const Engine& engine, std::string_view user);

// Plugs the relay into the engine, the delivery and the reception. Outside relay mode
// everything goes where it went before.
void connectRelayHooks(Engine& engine, MailDelivery& delivery, MailReception& reception,
                       Relay& relay);

}  // namespace orv
