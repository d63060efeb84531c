#pragma once
// Test support for the engine: a scripted peer that speaks raw frames over a real loopback
// socket, and a harness that runs one engine on a manual clock and pumps it while waiting
// for conditions (with a deadline, never a sleep).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/clock.h"
#include "core/core_tables.h"
#include "core/session_state.h"
#include "engine/engine.h"

namespace orv::test {

inline std::string le32(int32_t v) {
    std::string s(4, '\0');
    std::memcpy(s.data(), &v, 4);
    return s;
}

inline std::string frame(int32_t command, std::string_view body) {
    return le32(command) + le32(static_cast<int32_t>(body.size())) + std::string(body);
}

// A hello body: 32 reserved bytes, then the strings (already in wire encoding).
inline std::string helloBody(std::string_view to, std::string_view from,
                             std::string_view credential = "x") {
    std::string b(32, '\0');
    b.append(to).push_back('\0');
    b.append(from).push_back('\0');
    b.append(credential).push_back('\0');
    return b;
}

// A string list with its int32 length.
inline std::string stringList(const std::vector<std::string>& strings) {
    std::string b;
    for (const auto& s : strings)
        b.append(s).push_back('\0');
    return le32(static_cast<int32_t>(b.size())) + b;
}

// A port nobody listens on right now.
inline int freePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    ::close(fd);
    return ntohs(sa.sin_port);
}

// A plain loopback listener (the web server of the relay tests, a busy port, ...).
inline int listenOn(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 16) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

inline int boundPort(int fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    return ntohs(sa.sin_port);
}

struct Frame {
    int32_t command = 0;
    std::string body;
};

// The other end of a connection: raw bytes out, raw bytes and frames in. Everything is
// non-blocking; `pump` runs the engine while a send waits for room.
class ScriptedPeer {
  public:
    ScriptedPeer(int port, std::function<void()> pump) : pump_(std::move(pump)) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(port));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
        ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
    }
    explicit ScriptedPeer(int fd) : fd_(fd), connected_(true) {
        ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
    }
    ~ScriptedPeer() {
        if (fd_ >= 0) ::close(fd_);
    }
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    bool connected() const { return connected_; }
    int fd() const { return fd_; }
    void setPump(std::function<void()> pump) { pump_ = std::move(pump); }

    // Sends every byte, running the engine whenever the socket is full.
    bool send(std::string_view bytes) {
        size_t off = 0;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (off < bytes.size()) {
            ssize_t n = ::send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
            if (n > 0) {
                off += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
            if (std::chrono::steady_clock::now() > deadline) return false;
            if (pump_) pump_();
            pollfd p{fd_, POLLOUT, 0};
            ::poll(&p, 1, 5);
        }
        return true;
    }
    bool sendFrame(int32_t command, std::string_view body) { return send(frame(command, body)); }

    // Takes in whatever has arrived.
    void readAvailable() {
        char buf[65536];
        for (;;) {
            ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) {
                in_.append(buf, static_cast<size_t>(n));
                continue;
            }
            if (n == 0) eof_ = true;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) eof_ = true;
            return;
        }
    }
    bool hasFrame() {
        readAvailable();
        if (in_.size() < 8) return false;
        int32_t len;
        std::memcpy(&len, in_.data() + 4, 4);
        return len >= 0 && in_.size() >= 8 + static_cast<size_t>(len);
    }
    Frame takeFrame() {
        Frame f;
        int32_t len;
        std::memcpy(&f.command, in_.data(), 4);
        std::memcpy(&len, in_.data() + 4, 4);
        f.body = in_.substr(8, static_cast<size_t>(len));
        in_.erase(0, 8 + static_cast<size_t>(len));
        return f;
    }
    bool eof() {
        readAvailable();
        return eof_;
    }
    std::string& received() {
        readAvailable();
        return in_;
    }
    void shutdownSend() { ::shutdown(fd_, SHUT_WR); }
    void close() {
        ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
    bool connected_ = false;
    bool eof_ = false;
    std::string in_;
    std::function<void()> pump_;
};

// One engine for user "alice" on a manual clock, listening on a free loopback port.
class EngineHarness : public ::testing::Test {
  protected:
    ManualClock clock{1'700'000'000};
    CoreTables tables{clock};
    SessionState session;
    PosixSocketApi sockets;
    EngineConfig config;
    std::unique_ptr<Engine> engine;
    int port = 0;

    void SetUp() override {
        session.currentUser = "alice";
        config.listenAddress = "127.0.0.1";
        config.firstPeerPort = freePort();
    }

    void start() {
        engine = std::make_unique<Engine>(tables, session, clock, sockets, config);
        engine->SocketStep();
        ASSERT_NE(engine->peerListener(), kInvalidSocket);
        port = engine->peerPort();
    }

    std::function<void()> pumpFn() {
        return [this] { engine->runOnce(2); };
    }

    // Runs the engine until cond holds; false after timeoutMs of real time.
    bool pumpUntil(const std::function<bool()>& cond, int timeoutMs = 5000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!cond()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            engine->runOnce(2);
        }
        return true;
    }

    // A peer whose connection the engine has accepted (the clock steps over the accept
    // spacing first).
    std::unique_ptr<ScriptedPeer> connectPeer() {
        auto p = std::make_unique<ScriptedPeer>(port, pumpFn());
        int before = engine->links().count();
        clock.advanceSeconds(2);
        EXPECT_TRUE(pumpUntil([&] { return engine->links().count() > before; }));
        return p;
    }

    Socket lastLinkSocket() const {
        const auto& l = engine->links();
        return l.count() ? l.records[l.count() - 1].socket : kInvalidSocket;
    }

    bool waitFrame(ScriptedPeer& p, Frame& f, int timeoutMs = 5000) {
        if (!pumpUntil([&] { return p.hasFrame(); }, timeoutMs)) return false;
        f = p.takeFrame();
        return true;
    }

    // Identifies a peer as user `from` with a plain hello and waits for the accept.
    std::unique_ptr<ScriptedPeer> helloPeer(std::string_view from) {
        auto p = connectPeer();
        p->sendFrame(Command::Hello, helloBody("alice", from));
        Frame f;
        EXPECT_TRUE(waitFrame(*p, f));
        EXPECT_EQ(f.command, Command::Accept);
        return p;
    }
};

}  // namespace orv::test
