#pragma once
// An in-memory SocketApi for tests and the fuzzer: listeners, connections and their bytes are
// driven by the test ("the other side"), and nothing touches the network.
#include <map>
#include <set>
#include <string>
#include <vector>

#include "net/socket_api.h"

namespace orv {

class FakeSocketApi final : public SocketApi {
  public:
    // ---- the other side ----
    // Queues a connection on listener; returns the socket that AcceptConnection will yield.
    Socket addPendingConnection(Socket listener, PeerAddress from = {0x7F000001u, 40000});
    // Bytes the engine will receive on s.
    void deliver(Socket s, std::string_view bytes);
    // After the delivered bytes, the engine reads the end of the stream.
    void closeFromPeer(Socket s);
    // Everything the engine sent on s since the last call.
    std::string takeSent(Socket s);
    bool isOpen(Socket s) const;
    // Caps the bytes one recv or send call moves (0: no cap); exercises partial reads/writes.
    void setRecvLimit(size_t n) { recvLimit_ = n; }
    void setSendLimit(size_t n) { sendLimit_ = n; }
    // Ports on which OpenListener fails, and every port it was asked for.
    std::set<int> busyPorts;
    std::vector<int> triedPorts;
    // Targets ConnectTo was asked for, with the socket each got.
    std::vector<std::pair<std::string, Socket>> connects;
    int openCount() const;

    // ---- SocketApi ----
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
    struct Fake {
        bool listener = false;
        bool open = true;
        int port = 0;
        PeerAddress peer;
        std::vector<Socket> pending;  // listener: connections not yet accepted
        std::string rx;               // bytes for the engine to read
        size_t rxPos = 0;
        bool peerClosed = false;
        bool sendShut = false;
        std::string tx;  // bytes the engine sent
    };
    Fake* find(Socket s);
    const Fake* find(Socket s) const;
    Socket create();

    std::map<Socket, Fake> socks_;
    Socket next_ = 100;
    size_t recvLimit_ = 0;
    size_t sendLimit_ = 0;
};

}  // namespace orv
