#include "session/instance_channel.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace orv {

namespace {
sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}
}  // namespace

InstanceChannel::~InstanceChannel() {
    close();
}

bool InstanceChannel::open(int port) {
    close();
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in a = loopback(port);
    // No SO_REUSEADDR: the port itself is the "one instance" lock.
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 1024) != 0) {
        ::close(fd);
        return false;
    }
    listenFd_ = fd;
    return true;
}

void InstanceChannel::close() {
    if (connFd_ >= 0) ::close(connFd_);
    if (listenFd_ >= 0) ::close(listenFd_);
    connFd_ = listenFd_ = -1;
    received_.clear();
}

std::optional<std::string> InstanceChannel::finish() {
    ::close(connFd_);
    connFd_ = -1;
    connDeadline_ = -1;
    std::string line = std::move(received_);
    received_.clear();
    // The sender ends its text with a zero byte; what follows it is not part of it.
    size_t z = line.find('\0');
    if (z != std::string::npos) line.resize(z);
    if (line.empty()) return std::nullopt;
    return line;
}

std::optional<std::string> InstanceChannel::service(int64_t nowMillis) {
    if (connFd_ >= 0) {
        char buf[kMaxLine];
        for (;;) {
            size_t room = kMaxLine - received_.size();
            if (room == 0) return finish();
            ssize_t n = ::recv(connFd_, buf, room, 0);
            if (n > 0) {
                received_.append(buf, static_cast<size_t>(n));
                continue;
            }
            if (n == 0) return finish();
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            return finish();
        }
        if (nowMillis >= connDeadline_) return finish();
        return std::nullopt;
    }
    if (listenFd_ < 0) return std::nullopt;
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &len,
                       SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return std::nullopt;
    if (peer.sin_addr.s_addr != htonl(INADDR_LOOPBACK)) {
        ::close(fd);  // only this machine may hand us files
        return std::nullopt;
    }
    connFd_ = fd;
    connDeadline_ = nowMillis + kReadWindowMillis;
    received_.clear();
    return service(nowMillis);
}

void InstanceChannel::addPollFds(std::vector<pollfd>& fds) const {
    if (connFd_ >= 0)
        fds.push_back({connFd_, POLLIN, 0});
    else if (listenFd_ >= 0)
        fds.push_back({listenFd_, POLLIN, 0});
}

int64_t InstanceChannel::nextDeadlineMillis() const {
    return connFd_ >= 0 ? connDeadline_ : -1;
}

bool forwardCommandLine(int port, const std::string& commandLine) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    timeval tv{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in a = loopback(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return false;
    }
    const char* p = commandLine.c_str();
    size_t left = commandLine.size() + 1;
    while (left > 0) {
        ssize_t n = ::send(fd, p, left, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        p += n;
        left -= static_cast<size_t>(n);
    }
    ::close(fd);
    return left == 0;
}

}  // namespace orv
