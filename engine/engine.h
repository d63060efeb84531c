#pragma once
// The peer engine of one client session: the listener, the links and their connections, the
// receive state machine, keep-alives, the deferred close after a goodbye, the HTTP relay of
// inbound web requests, and the pump that drives it all. Delivery, reception, the local file
// server, transfers and relay mode plug into the marked places through EngineHooks.
//
// Nothing here blocks on the network. Instead of being called on a fast timer, the engine
// tells its owner what to wait for (waitSet: descriptors and the next deadline) and runOnce
// waits for exactly that and pumps.
//
// Each step has a file of its own, whose header names the step's timing: listener.cpp
// (listening and accepting), receive.cpp (the receive state machine), http_relay.cpp,
// idle_rules.cpp (keep-alives, the deferred close, the sweep) and wait_set.cpp (collecting
// every step's waits); this file's .cpp keeps the life cycle, the pump, links and sending.
// Relay mode and the local file server join the same way: a step in a file of its own, run
// from its hook, reporting its waits beside it.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/clock.h"
#include "core/core_tables.h"
#include "core/session_state.h"
#include "engine/peer_tables.h"
#include "engine/wait_set.h"
#include "engine/wire.h"
#include "net/codec.h"
#include "net/socket_api.h"

namespace orv {

// The directory web server that inbound "GET " connections are relayed to, unless the session
// names another one.
inline constexpr int kDefaultFirstPeerPort = 29999;
// The first port the local HTTP server for previews tries; the following ones come next.
inline constexpr int kDefaultHttpPort = 39998;

struct EngineConfig {
    // Address the peer listener binds to; none: all interfaces.
    std::optional<std::string> listenAddress;
    // First port the listener tries; 0 keeps the usual rule (a random start from 29999
    // upward, or 29997 downward with the fixed-address setting). With the fixed-address
    // setting the ports below this one are tried next.
    int firstPeerPort = 0;
    // First port the local HTTP server for previews tries (it listens on 127.0.0.1 only).
    int firstHttpPort = kDefaultHttpPort;
    // "host" or "host:port" (port 80 when none) of the web server for relayed requests.
    std::string httpRelayTarget = kBuiltInDirectoryHost;
    // How long shutdown lets queued goodbyes and replies drain before closing.
    int shutdownFlushMs = 100;
    // Tests of clients that cannot be reached: a port is chosen as usual (and announced at
    // login) but nothing listens on it, so every connect to it is refused.
    bool refuseListener = false;
    // In relay mode, the most bytes per second (kB/s, 0 = no cap) passed on for others, so
    // that a volunteer relay cannot be swamped.
    int32_t relayPassLimitKB = 0;
};

// A complete message as handed to a hook. The body stays valid for the duration of the call.
struct InboundMessage {
    Socket socket = kInvalidSocket;
    int32_t command = 0;
    std::span<const uint8_t> body;
};

// A file chunk is taken, or stays in its connection until retryAtMs (-1: in about a second).
struct ChunkVerdict {
    bool taken = true;
    int64_t retryAtMs = -1;
    static ChunkVerdict notNow(int64_t retryAtMs = -1) { return {false, retryAtMs}; }
};

// The places where the later parts of the engine and the shell plug in. Every hook may be
// left empty.
struct EngineHooks {
    // ---- SocketStep, in its order ----
    // The forwarded-command-line service; runs on every step, also while nobody is logged in.
    // instanceFd (if any) is polled for reading so that a forwarded line wakes the engine.
    std::function<void()> instanceService;
    Socket instanceFd = kInvalidSocket;
    std::function<void()> groupRefresh;            // the group lists, when due
    std::function<void()> checkStalledReceptions;  // incoming mails whose files stalled
    // Received messages:
    std::function<void(const InboundMessage&)> itemMessage;        // command 0, by the item's kind
    std::function<void(const InboundMessage&)> itemReply;          // commands 3, 8, 18
    std::function<ChunkVerdict(const InboundMessage&)> fileChunk;  // command 17
    std::function<void()> loggedInElsewhere;  // command 20 (the session flag is raised too)
    // A valid hello named its sender: that user is online now.
    std::function<void(std::string_view user)> heardFrom;

    // ---- PeriodicStep, in its order ----
    std::function<bool()> relayForwarding;  // relay mode; true when it passed something on
    std::function<bool()> fileServerStep;   // true when it worked
    std::function<bool()> transferStep;     // the download manager; true when it worked
    std::function<bool()> deliveryPass;     // true when a chunk was sent or a delivery done

    // ---- links and shutdown ----
    std::function<void(Socket)> linkClosed;    // after a link is removed (relay-mode bookkeeping)
    std::function<void()> closeIncomingFiles;  // last shutdown step
    // Further descriptors and deadlines of the parts above.
    std::function<void(WaitSet&)> addWaits;
    // ---- durability ----
    // Makes every change the tables noted durable (the session's journal); true when done.
    std::function<bool()> syncPoint;
};

class Engine {
  public:
    Engine(CoreTables& tables, SessionState& session, const Clock& clock, SocketApi& sockets,
           EngineConfig config = {});
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    EngineHooks& hooks() { return hooks_; }

    // ---- the pump ----
    // Up to kPumpPasses passes of SocketStep (while it works, at most kStepCallsPerPass calls)
    // and PeriodicStep (likewise), then writes what was queued. Returns whether anything
    // worked.
    bool EnginePump();
    bool SocketStep();
    bool PeriodicStep();
    // Closes the listener, flushes pending work, says goodbye on every link, closes every
    // socket and stops the engine for good.
    void shutdown();
    bool stopped() const { return stopped_; }
    // A fresh login: every link is closed with a goodbye and the address cache emptied.
    void onLogin();

    // ---- waiting ----
    void waitSet(WaitSet& out);
    // Waits (at most maxWaitMs) for what the engine will act on, then pumps.
    bool runOnce(int maxWaitMs);

    // ---- links ----
    const PeerLinkTable& links() const { return links_; }
    PeerLinkTable& links() { return links_; }
    int openLink(Socket s, int32_t state, std::string_view user, int32_t origin);
    int findLink(Socket s) const { return links_.findBySocket(s); }
    std::string_view linkUser(Socket s) const { return links_.userBySocket(s); }
    Socket findIdentifiedLink(std::string_view user) const { return links_.findIdentified(user); }
    bool IsPlainLink(Socket s) const;
    void closeLinkAt(int index, bool goodbye);
    void closeLink(Socket s, bool goodbye);
    // Every link with a goodbye, last first; then every connect attempt's socket.
    void closeAllLinks();
    const Connection* connection(Socket s) const;
    const ConnectionTable& connections() const { return conns_; }

    // ---- sending (queued; written in large batches) ----
    // Queues a whole message on the connection of s. Data messages are refused while more
    // than kOutputHighWater bytes wait; control messages (replies, keep-alives) up to
    // kControlLimit. False when refused or when s has no working connection.
    bool queueMessage(Socket s, int32_t command, std::span<const uint8_t> body,
                      bool control = false);
    bool queueBytes(Socket s, std::span<const uint8_t> bytes, bool control = false);
    size_t pendingOutput(Socket s) const;
    // Writes bytes straight from the caller's buffer once what is queued on s has gone:
    // returns how many the socket took (0 when the queue or the socket is full), -1 when s
    // has no working connection. The caller queues whatever must follow a partial write.
    long sendDirect(Socket s, std::span<const uint8_t> bytes);
    // A reply that tells a peer something is stored: it waits for the pump's sync point, so
    // that all changes of one pump share one sync and no peer hears of one before it is on
    // disk.
    void queueAfterSync(Socket s, std::vector<uint8_t> bytes);
    // The sync point: commits what the tables noted, then queues the replies that waited (or
    // drops them when the sync failed: the peer asks again). True when all is durable.
    bool syncNow();
    // Writes what is queued on every connection and lingering socket.
    void flushOutput();

    // ---- other tables and values ----
    ConnectAttemptTable& connectAttempts() { return attempts_; }
    const RecordArray<LingerEntry>& lingerList() const { return linger_; }
    const std::vector<std::unique_ptr<HttpRelayPair>>& relayPairs() const { return relays_; }
    Socket peerListener() const { return listener_; }
    int32_t peerPort() const { return peerPort_; }
    // Opens the peer listener when it is not open (every pump does it first). Called before a
    // login too, so the port reported to the directory is the one listened on.
    void keepListenerOpen();
    RateMeter& globalSendMeter() { return sendMeter_; }
    RateMeter& globalReceiveMeter() { return receiveMeter_; }
    WireCodec& codec() { return codec_; }
    SocketApi& sockets() { return sockets_; }
    CoreTables& tables() { return tables_; }
    const EngineConfig& config() const { return config_; }
    // The status reply as sent to a status client (header included).
    std::vector<uint8_t> buildStatusReply();
    // Forgets the cached address of a user.
    void forgetCachedAddress(std::string_view user);

    static constexpr size_t kOutputHighWater = 4u << 20;
    static constexpr size_t kControlLimit = kOutputHighWater + (1u << 20);
    static constexpr size_t kWriteBatch = 256u << 10;
    static constexpr size_t kMaxReadSize = 1u << 20;
    static constexpr int kPumpPasses = 5;
    static constexpr int kStepCallsPerPass = 100;

  private:
    struct StepResult {
        bool work = false;
        bool endLoop = false;
    };
    int32_t now() const { return static_cast<int32_t>(clock_.nowSeconds()); }
    bool loggedIn() const { return session_.loggedIn(); }

    // ---- listening and accepting (listener.cpp) ----
    void openListenerPort();
    bool acceptStep(int32_t now);
    void addListenerWaits(WaitSet& out);  // reopening, also before a login
    void addAcceptWaits(WaitSet& out);

    // ---- the receive state machine (receive.cpp) ----
    bool limitStatusClients();
    bool receiveAll(int32_t now);
    StepResult runReceive(Connection& c, int32_t now);
    bool readMore(Connection& c, int32_t now);
    StepResult completeBody(Connection& c, int32_t now);
    StepResult handleHello(Connection& c);
    void handleNote(Connection& c);
    void consumeMessage(Connection& c);
    void addReceiveWaits(WaitSet& out);

    // ---- the HTTP relay (http_relay.cpp) ----
    StepResult startHttpRelay(Connection& c);
    bool pumpRelays(int32_t now);
    bool pumpRelay(HttpRelayPair& p, int32_t now, bool& closePair);
    void closeRelay(size_t i);
    void addHttpRelayWaits(WaitSet& out);

    // ---- keep-alives and idle rules (idle_rules.cpp) ----
    void keepAliveRules(int32_t now);
    bool sendKeepAlive(Socket s);
    void addKeepAliveWaits(WaitSet& out);
    void lingerStep(int32_t now);
    void addLingerWaits(WaitSet& out);
    void sweepSharedFileDeliveries(int32_t now);
    void addSweepWaits(WaitSet& out);

    // ---- links and sending (engine.cpp) ----
    bool flushConnection(Connection& c);
    bool flushQueue(Socket s, ByteQueue& q);
    Connection* findConnection(Socket s);
    void closeEverything();

    CoreTables& tables_;
    SessionState& session_;
    const Clock& clock_;
    SocketApi& sockets_;
    EngineConfig config_;
    EngineHooks hooks_;
    WireCodec codec_;

    PeerLinkTable links_;
    ConnectionTable conns_;
    // Connections removed during a step; freed at its end so a hook's body stays valid.
    std::vector<std::unique_ptr<Connection>> retired_;
    ConnectAttemptTable attempts_;
    RecordArray<LingerEntry> linger_;
    std::vector<ByteQueue> lingerOut_;  // what each lingering socket still has to write
    std::vector<std::unique_ptr<HttpRelayPair>> relays_;
    std::vector<std::pair<Socket, std::vector<uint8_t>>> afterSync_;  // replies held for the sync

    Socket listener_ = kInvalidSocket;
    bool listenerClosedForGood_ = false;
    int32_t peerPort_ = 29998;
    bool portStarted_ = false;
    int64_t listenRetryAtMs_ = -1;
    int32_t lastKeepAliveCheck_ = 0;
    int32_t lastSweep_ = 0;
    bool stopped_ = false;
    bool shuttingDown_ = false;
    bool pumpSaturated_ = false;
    uint64_t linkCloses_ = 0;  // counts closes, so a loop notices one made inside a hook
    RateMeter sendMeter_{};
    RateMeter receiveMeter_{};
};

}  // namespace orv
