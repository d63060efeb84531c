#pragma once
// The engine's tables: who is at the other end of each connection (PeerLinkTable), where each
// connection's receiver stands (Connection), outbound connects under way (ConnectAttemptTable),
// sockets kept open after a goodbye (LingerEntry) and relayed HTTP connections
// (HttpRelayPair).
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "core/tables.h"
#include "net/byte_queue.h"
#include "net/socket_api.h"

namespace orv {

namespace LinkState {
enum : int32_t {
    InboundPlain = 0,      // identified by a plain hello
    Outbound = 1,          // opened by us towards a named user
    HelloAccepted = 2,     // the other side accepted our hello
    BehindRelay = 3,       // a user behind another relay, on that relay's socket
    InboundExclusive = 4,  // identified by an exclusive hello
    StatusClient = 5,
    Unidentified = 6,  // accepted, no hello yet
};
}

namespace Origin {
enum : int32_t { Inbound = 0, Outbound = 1, InboundExclusive = 3 };
}

namespace ReceiveState {
enum : int32_t {
    Body = 0,
    Header = 1,
    Item = 2,
    Chunk = 3,
    Note = 4,
    Sending = 5,
    Hello = 6,
    Parked = 7,
};
}

// Sent verbatim in the status reply, hence the fixed layout.
struct PeerLinkRecord {
    int32_t relaySlot;  // -1, or the relayed message being sent on this link
    int32_t closeMark;  // low byte 1 once the link is due to be closed
    int32_t reserved8;
    int32_t lastActivity;
    int32_t missedKeepAlives;
    int32_t state;
    int32_t socket;
};
static_assert(sizeof(PeerLinkRecord) == 28);

// Links and, at the same index, the user at the other end (empty while unknown).
class PeerLinkTable {
  public:
    RecordArray<PeerLinkRecord> records;
    StringPool names;

    int count() const { return records.count(); }
    int add(const PeerLinkRecord& r, std::string_view user);
    void removeAt(int i);
    int findBySocket(Socket s) const;
    std::string_view userBySocket(Socket s) const;
    // Sets the state (and the user when given) of the link with socket s.
    bool setState(Socket s, int32_t state, const std::string_view* user = nullptr);
    // The socket of a link of user in state 0 or 4, or kInvalidSocket.
    Socket findIdentified(std::string_view user) const;
};

// Sent verbatim in the status reply.
struct ConnectAttempt {
    int32_t socket;  // connect in progress, -1 when none
    int32_t state;   // 0 idle, 1 connecting, 2 waiting
    int32_t reserved8;
    int32_t time;
    int32_t purpose;  // 0 ordinary, 2 classified mail
    int32_t reserved20;
    int32_t reserved24;
};
static_assert(sizeof(ConnectAttempt) == 28);

struct ConnectAttemptTable {
    RecordArray<ConnectAttempt> records;
    StringPool names;
    int count() const { return records.count(); }
};

struct LingerEntry {
    int32_t timeAdded;
    int32_t socket;
};

// One connection's receiver and its buffered input and output. The input holds bytes read
// but not yet consumed: a message is consumed only once it has been handled.
struct Connection {
    Socket socket = kInvalidSocket;
    int32_t origin = Origin::Inbound;
    int32_t phase = 1;  // 1 normal, 2 status client
    int32_t lastActivity = 0;
    int32_t openedAt = 0;  // an inbound connection must send a whole message soon after this
    bool spoke = false;    // a whole message came
    int32_t receiveState = ReceiveState::Header;
    int32_t command = 0;
    int32_t bodyLength = 0;
    ByteQueue in;
    ByteQueue out;
    size_t readSize = 64 * 1024;  // grows while reads come back full
    bool peerClosed = false;      // end of stream or a receive error was seen
    bool broken = false;          // a send failed
    int64_t heldUntilMs = -1;     // a chunk waits for a rate limit or the reception
};

// One entry per connection, in the order connections were opened. Entries are owned
// separately so that a connection stays put while the table grows.
using ConnectionTable = std::vector<std::unique_ptr<Connection>>;

struct HttpRelayPair {
    Socket inbound = kInvalidSocket;
    Socket outbound = kInvalidSocket;
    int32_t created = 0;
    bool connected = false;
    bool inboundEnded = false;   // the client finished sending
    bool outboundEnded = false;  // the web server finished sending
    bool outboundShut = false;   // the client's end was passed on to the server
    ByteQueue toOutbound;        // read from the client, not yet written to the server
    ByteQueue toInbound;         // read from the server, not yet written to the client
};

}  // namespace orv
