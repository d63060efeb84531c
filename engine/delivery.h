#pragma once
// The sending side of the peer protocol. Every outgoing mail and control item is a mail record
// with one delivery per recipient; the delivery pass drives each delivery through its states:
// find the recipient's address, connect, send the item message, send the files as the
// receiver asks for them, and close the delivery off.
//
// The states of a delivery are DeliveryState (core/records.h).
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/core_tables.h"
#include "core/session_state.h"
#include "engine/engine.h"
#include "engine/wire.h"

namespace orv {

// Outcome of the address lookup: 0 and 3 not online, 4 being looked up, 1 and 5 address
// known, 2 no such user.
struct AddressLookupResult {
    int code = 4;
    std::string host;
    int port = 0;
};

inline constexpr size_t kChunkHeaderSize = 24;
inline constexpr size_t kChunkData = 2016;
inline constexpr size_t kChunkFrame = kHeaderSize + kChunkHeaderSize + kChunkData;  // 2048

class MailDelivery {
  public:
    using AskAddress = std::function<AddressAnswer(std::string_view user)>;

    MailDelivery(Engine& engine, CoreTables& tables, SessionState& session, const Clock& clock);
    MailDelivery(const MailDelivery&) = delete;
    MailDelivery& operator=(const MailDelivery&) = delete;

    // The directory's user-address lookup (pending lookups answer Failed).
    void setAskAddress(AskAddress ask) { ask_ = std::move(ask); }
    // Adds what a pending lookup of user's address waits for (its socket), so that the answer
    // wakes the pump at once.
    using AddressWaits = std::function<void(std::string_view user, WaitSet& out)>;
    void setAddressWaits(AddressWaits waits) { addressWaits_ = std::move(waits); }

    // ---- called by the engine ----
    // One pass over the deliveries; true when a file chunk was sent or a delivery finished.
    bool deliveryPass();
    // Commands 3, 8 and 18.
    void OnItemReply(const InboundMessage& msg);
    void addWaits(WaitSet& out);

    // ---- called by the reception ----
    // A resend request from user for the mail with key: its deliveries start again.
    void RestartDelivery(std::string_view user, uint64_t key);
    // Word from user (a hello, an item): deliveries waiting for a link to them try again now,
    // without their back-off and asking the directory afresh.
    void wakeFor(std::string_view user);

    // ---- links and addresses ----
    std::optional<Socket> FindOrConnect(std::string_view user, int32_t purpose,
                                        std::optional<uint64_t> mailKey = std::nullopt);
    AddressLookupResult lookupAddress(std::string_view user);

    // ---- queries of the mail façade, by key of an outgoing mail of kind 0 ----
    uint32_t sendSpeed(uint64_t key);  // bytes per second over all its deliveries
    bool isRefused(uint64_t key) const;
    const StringPool& unknownUsers() const { return unknownUsers_; }

    // ---- places of the shared folders ----
    // Appends the listing of a kind-19/20 item (after list A) to w; without it the listing
    // goes out empty.
    std::function<void(int mail, WireWriter& w)> buildListing;
    // A listing request (kind 17 or 18) for path was delivered.
    std::function<void(int32_t kind, std::string_view path)> listingRequestDelivered;

    // Relay mode: a reply that is not for one of our own mails is passed on.
    std::function<void(const InboundMessage&)> relayReply;

    // A delivery waiting for its reply, or a user found offline, is tried again after this.
    static constexpr int32_t kRepeatSeconds = 300;
    // A user whose connect failed, or who has no address, is asked for again after this many
    // seconds, doubled with each failure in a row up to kRetryMaxSeconds.
    static constexpr int32_t kRetryFirstSeconds = 5;
    static constexpr int32_t kRetryMaxSeconds = 60;
    // A connect still pending after more than this many seconds counts as failed.
    static constexpr int32_t kConnectTimeout = 8;
    // Connects start at least this many seconds apart.
    static constexpr int32_t kConnectSpacing = 2;
    // A file shorter than registered is read again this much later.
    static constexpr int64_t kShortFileRetryMs = 1000;
    // Most file data queued on one link before the pass leaves it to drain.
    static constexpr size_t kLinkQueueMark = 2u << 20;
    // Chunks read from a file at once (about a megabyte).
    static constexpr size_t kFramesPerRead = 512;

  private:
    int32_t now() const { return static_cast<int32_t>(clock_.nowSeconds()); }
    bool selected(int d) const;
    // Every change of a delivery's state goes through these, so it is announced once.
    void setState(int d, int32_t state);
    void announce(int d);
    int32_t purposeOf(int d) const;
    void buildItemMessage(int d);
    // Sends file chunks of delivery d; false when the pass ends here.
    bool sendChunks(int d, bool& sent);
    bool fillFrames(int d, int attachment);
    void finish(int d);
    int findConnectAttempt(std::string_view user) const;
    void removeConnectAttempt(int i, bool closeSocket);
    int findOutgoingForReply(uint64_t key) const;

    Engine& engine_;
    CoreTables& tables_;
    SessionState& session_;
    const Clock& clock_;
    AskAddress ask_;
    AddressWaits addressWaits_;
    int32_t lastConnectStart_ = 0;
    int64_t limitedUntilMs_ = -1;  // a send limit holds the files back until then
    int64_t retryFileAtMs_ = -1;   // a file gave nothing to send; look again then
    StringPool unknownUsers_;
    // Failed connects in a row, by user (lower case): the back-off before the next look-up.
    std::unordered_map<std::string, int> connectFailures_;
    int32_t retryDelay(std::string_view user) const;
    void noteConnectFailed(std::string_view user);
    RecordArray<uint64_t> refused_;
};

}  // namespace orv
