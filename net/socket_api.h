#pragma once
// The handful of non-blocking TCP operations the engine is built on. The engine only ever
// talks to this interface, so it runs over real sockets (PosixSocketApi) or over a scripted
// fake (FakeSocketApi) in tests and the fuzzer.
#include <poll.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orv {

using Socket = int32_t;
inline constexpr Socket kInvalidSocket = -1;

// Outcome of one send or receive call: a byte count (> 0), or one of the negative codes.
inline constexpr long kIoClosed = 0;       // receive: the other side finished sending
inline constexpr long kIoWouldBlock = -1;  // nothing can move now
inline constexpr long kIoError = -2;       // the connection is broken

// An IPv4 peer: address in host byte order and port.
struct PeerAddress {
    uint32_t ipv4 = 0;
    uint16_t port = 0;
    std::string text() const;  // "%d.%d.%d.%d"
    bool isLoopback() const { return ipv4 == 0x7F000001u; }
};

// Readiness wanted for one descriptor, and what the wait found.
enum WaitEvents : short { kWaitRead = 0x1, kWaitWrite = 0x4 };
struct PollEntry {
    Socket fd = kInvalidSocket;
    short events = 0;
    short revents = 0;
};

// "host" or "host:port" split as ConnectTo reads it: at most 127 characters, cut at the first
// ':', the port read as decimal digits up to the first non-digit; 0 or no port means
// defaultPort. A port above 65535 leaves port 0 (no connection is made).
struct ConnectTarget {
    std::string host;
    int port = 0;
};
ConnectTarget parseConnectTarget(std::string_view target, int defaultPort);

enum class ConnectProgress { Pending, Connected, Failed };

class SocketApi {
  public:
    virtual ~SocketApi() = default;

    // A non-blocking listener bound to address (dotted quad; none = all interfaces) with a
    // backlog of 1024, or kInvalidSocket when bind or listen fails.
    virtual Socket OpenListener(const std::optional<std::string>& address, int port) = 0;
    // Zero-timeout readiness tests; false for kInvalidSocket.
    virtual bool IsReadable(Socket s) = 0;
    virtual bool IsWritable(Socket s) = 0;
    // Whether a connect started by ConnectTo has completed, failed, or is still under way.
    virtual ConnectProgress CheckConnect(Socket s) = 0;
    // One pending connection; the accepted socket is non-blocking too.
    virtual bool AcceptConnection(Socket listener, Socket& out, PeerAddress& from) = 0;
    // Starts a non-blocking connect to target (see parseConnectTarget) and returns at once;
    // only the name resolution may block. kInvalidSocket when no socket could be started.
    virtual Socket ConnectTo(std::string_view target, int defaultPort) = 0;
    virtual long Send(Socket s, const void* data, size_t n) = 0;
    virtual long Recv(Socket s, void* data, size_t n, bool peek = false) = 0;
    // Ends our sending direction; the other side reads the end of the stream.
    virtual void ShutdownSend(Socket s) = 0;
    virtual void Close(Socket s) = 0;
    virtual bool GetPeerAddress(Socket s, PeerAddress& out) = 0;
    // The local port a socket is bound to, or 0.
    virtual int LocalPort(Socket s) = 0;
    // Waits up to timeoutMs (0: just looks) until one of the entries is ready; fills revents.
    // Returns the number of ready entries, 0 on timeout.
    virtual int Poll(std::span<PollEntry> entries, int timeoutMs) = 0;
};

// IPv4 TCP over the operating system's sockets.
class PosixSocketApi final : public SocketApi {
  public:
    Socket OpenListener(const std::optional<std::string>& address, int port) override;
    bool IsReadable(Socket s) override;
    bool IsWritable(Socket s) override;
    ConnectProgress CheckConnect(Socket s) override;
    bool AcceptConnection(Socket listener, Socket& out, PeerAddress& from) override;
    Socket ConnectTo(std::string_view target, int defaultPort) override;
    long Send(Socket s, const void* data, size_t n) override;
    long Recv(Socket s, void* data, size_t n, bool peek = false) override;
    void ShutdownSend(Socket s) override;
    void Close(Socket s) override;
    bool GetPeerAddress(Socket s, PeerAddress& out) override;
    int LocalPort(Socket s) override;
    int Poll(std::span<PollEntry> entries, int timeoutMs) override;

  private:
    std::vector<pollfd> pollScratch_;  // reused between waits
};

}  // namespace orv
