#include "net/socket_api.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace orv {

std::string PeerAddress::text() const {
    char buf[20];
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", (ipv4 >> 24) & 0xFF, (ipv4 >> 16) & 0xFF,
                  (ipv4 >> 8) & 0xFF, ipv4 & 0xFF);
    return buf;
}

ConnectTarget parseConnectTarget(std::string_view target, int defaultPort) {
    ConnectTarget t;
    std::string_view copy = target.substr(0, 127);
    size_t colon = copy.find(':');
    int port = 0;
    if (colon != std::string_view::npos) {
        for (size_t i = colon + 1; i < copy.size() && copy[i] >= '0' && copy[i] <= '9'; ++i) {
            port = port * 10 + (copy[i] - '0');
            if (port > 65535) break;
        }
        copy = copy.substr(0, colon);
    }
    t.host = std::string(copy);
    if (port > 65535)
        t.port = 0;
    else
        t.port = port != 0 ? port : defaultPort;
    return t;
}

namespace {

void setNoDelay(int fd) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

short pollOnce(Socket s, short events) {
    if (s < 0) return 0;
    pollfd p{s, events, 0};
    int r;
    do {
        r = ::poll(&p, 1, 0);
    } while (r < 0 && errno == EINTR);
    return r > 0 ? p.revents : 0;
}

}  // namespace

Socket PosixSocketApi::OpenListener(const std::optional<std::string>& address, int port) {
    if (port <= 0 || port > 65535) return kInvalidSocket;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return kInvalidSocket;
    // A restarted client may take its port back at once; two listeners still cannot share it.
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    if (address && ::inet_pton(AF_INET, address->c_str(), &sa.sin_addr) != 1) {
        ::close(fd);
        return kInvalidSocket;
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 1024) != 0) {
        ::close(fd);
        return kInvalidSocket;
    }
    return fd;
}

bool PosixSocketApi::IsReadable(Socket s) {
    return (pollOnce(s, POLLIN) & (POLLIN | POLLHUP | POLLERR)) != 0;
}

bool PosixSocketApi::IsWritable(Socket s) {
    return (pollOnce(s, POLLOUT) & POLLOUT) != 0;
}

ConnectProgress PosixSocketApi::CheckConnect(Socket s) {
    if (s < 0) return ConnectProgress::Failed;
    short r = pollOnce(s, POLLOUT);
    if (r == 0) return ConnectProgress::Pending;
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0)
        return ConnectProgress::Failed;
    if (r & (POLLERR | POLLHUP)) return ConnectProgress::Failed;
    // Writable without an error; a socket that never connected has no peer.
    sockaddr_in sa{};
    socklen_t sl = sizeof sa;
    if (::getpeername(s, reinterpret_cast<sockaddr*>(&sa), &sl) != 0)
        return ConnectProgress::Failed;
    return ConnectProgress::Connected;
}

bool PosixSocketApi::AcceptConnection(Socket listener, Socket& out, PeerAddress& from) {
    out = kInvalidSocket;
    if (listener < 0) return true;
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    int fd;
    do {
        fd = ::accept4(listener, reinterpret_cast<sockaddr*>(&sa), &len,
                       SOCK_NONBLOCK | SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
        setNoDelay(fd);
        out = fd;
        from.ipv4 = ntohl(sa.sin_addr.s_addr);
        from.port = ntohs(sa.sin_port);
    }
    return true;
}

Socket PosixSocketApi::ConnectTo(std::string_view target, int defaultPort) {
    ConnectTarget t = parseConnectTarget(target, defaultPort);
    if (t.port <= 0 || t.host.empty()) return kInvalidSocket;
    in_addr addr{};
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (::getaddrinfo(t.host.c_str(), nullptr, &hints, &res) == 0 && res) {
        addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
        ::freeaddrinfo(res);
    } else {
        if (res) ::freeaddrinfo(res);
        if (::inet_pton(AF_INET, t.host.c_str(), &addr) != 1) return kInvalidSocket;
    }
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return kInvalidSocket;
    setNoDelay(fd);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(t.port));
    sa.sin_addr = addr;
    // The result is judged later through CheckConnect / IsWritable.
    (void)::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    return fd;
}

long PosixSocketApi::Send(Socket s, const void* data, size_t n) {
    if (s < 0) return kIoError;
    if (n == 0) return 0;
    for (;;) {
        ssize_t r = ::send(s, data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r >= 0) return r > 0 ? static_cast<long>(r) : kIoWouldBlock;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOTCONN) return kIoWouldBlock;
        return kIoError;
    }
}

long PosixSocketApi::Recv(Socket s, void* data, size_t n, bool peek) {
    if (s < 0) return kIoError;
    if (n == 0) return kIoWouldBlock;
    for (;;) {
        ssize_t r = ::recv(s, data, n, MSG_DONTWAIT | (peek ? MSG_PEEK : 0));
        if (r > 0) return static_cast<long>(r);
        if (r == 0) return kIoClosed;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOTCONN) return kIoWouldBlock;
        return kIoError;
    }
}

void PosixSocketApi::ShutdownSend(Socket s) {
    if (s >= 0) ::shutdown(s, SHUT_WR);
}

void PosixSocketApi::Close(Socket s) {
    if (s >= 0) ::close(s);
}

bool PosixSocketApi::GetPeerAddress(Socket s, PeerAddress& out) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (s < 0 || ::getpeername(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return false;
    out.ipv4 = ntohl(sa.sin_addr.s_addr);
    out.port = ntohs(sa.sin_port);
    return true;
}

int PosixSocketApi::LocalPort(Socket s) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (s < 0 || ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
    return ntohs(sa.sin_port);
}

int PosixSocketApi::Poll(std::span<PollEntry> entries, int timeoutMs) {
    pollScratch_.resize(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        short ev = 0;
        if (entries[i].events & kWaitRead) ev |= POLLIN;
        if (entries[i].events & kWaitWrite) ev |= POLLOUT;
        pollScratch_[i] = pollfd{entries[i].fd, ev, 0};
    }
    int r;
    do {
        r = ::poll(pollScratch_.data(), pollScratch_.size(), timeoutMs < 0 ? 0 : timeoutMs);
    } while (r < 0 && errno == EINTR);
    for (size_t i = 0; i < entries.size(); ++i) {
        short rev = pollScratch_[i].revents;
        short out = 0;
        if (rev & (POLLIN | POLLHUP | POLLERR)) out |= kWaitRead;
        if (rev & (POLLOUT | POLLERR)) out |= kWaitWrite;
        entries[i].revents = out;
    }
    return r < 0 ? 0 : r;
}

}  // namespace orv
