#include "net/fake_socket_api.h"

#include <algorithm>
#include <cstring>

namespace orv {

FakeSocketApi::Fake* FakeSocketApi::find(Socket s) {
    auto it = socks_.find(s);
    return it == socks_.end() || !it->second.open ? nullptr : &it->second;
}

const FakeSocketApi::Fake* FakeSocketApi::find(Socket s) const {
    auto it = socks_.find(s);
    return it == socks_.end() || !it->second.open ? nullptr : &it->second;
}

Socket FakeSocketApi::create() {
    Socket s = next_++;
    socks_[s] = Fake{};
    return s;
}

Socket FakeSocketApi::addPendingConnection(Socket listener, PeerAddress from) {
    Fake* l = find(listener);
    if (!l || !l->listener) return kInvalidSocket;
    Socket s = create();
    socks_[s].peer = from;
    socks_[listener].pending.push_back(s);
    return s;
}

void FakeSocketApi::deliver(Socket s, std::string_view bytes) {
    auto it = socks_.find(s);
    if (it == socks_.end()) return;
    it->second.rx.append(bytes);
}

void FakeSocketApi::closeFromPeer(Socket s) {
    auto it = socks_.find(s);
    if (it != socks_.end()) it->second.peerClosed = true;
}

std::string FakeSocketApi::takeSent(Socket s) {
    auto it = socks_.find(s);
    if (it == socks_.end()) return {};
    std::string out;
    out.swap(it->second.tx);
    return out;
}

bool FakeSocketApi::isOpen(Socket s) const {
    return find(s) != nullptr;
}

int FakeSocketApi::openCount() const {
    int n = 0;
    for (const auto& [s, f] : socks_)
        n += f.open ? 1 : 0;
    return n;
}

Socket FakeSocketApi::OpenListener(const std::optional<std::string>&, int port) {
    triedPorts.push_back(port);
    if (busyPorts.count(port)) return kInvalidSocket;
    for (const auto& [s, f] : socks_)
        if (f.open && f.listener && f.port == port) return kInvalidSocket;
    Socket s = create();
    socks_[s].listener = true;
    socks_[s].port = port;
    return s;
}

bool FakeSocketApi::IsReadable(Socket s) {
    const Fake* f = find(s);
    if (!f) return false;
    if (f->listener) return !f->pending.empty();
    return f->rxPos < f->rx.size() || f->peerClosed;
}

bool FakeSocketApi::IsWritable(Socket s) {
    const Fake* f = find(s);
    return f && !f->listener;
}

ConnectProgress FakeSocketApi::CheckConnect(Socket s) {
    return find(s) ? ConnectProgress::Connected : ConnectProgress::Failed;
}

bool FakeSocketApi::AcceptConnection(Socket listener, Socket& out, PeerAddress& from) {
    out = kInvalidSocket;
    Fake* l = find(listener);
    if (!l || l->pending.empty()) return true;
    out = l->pending.front();
    l->pending.erase(l->pending.begin());
    from = socks_[out].peer;
    return true;
}

Socket FakeSocketApi::ConnectTo(std::string_view target, int defaultPort) {
    ConnectTarget t = parseConnectTarget(target, defaultPort);
    if (t.port <= 0 || t.host.empty()) return kInvalidSocket;
    Socket s = create();
    socks_[s].port = t.port;
    connects.emplace_back(t.host + ":" + std::to_string(t.port), s);
    return s;
}

long FakeSocketApi::Send(Socket s, const void* data, size_t n) {
    Fake* f = find(s);
    if (!f || f->listener || f->sendShut) return kIoError;
    if (n == 0) return 0;
    if (sendLimit_) n = std::min(n, sendLimit_);
    f->tx.append(static_cast<const char*>(data), n);
    return static_cast<long>(n);
}

long FakeSocketApi::Recv(Socket s, void* data, size_t n, bool peek) {
    Fake* f = find(s);
    if (!f || f->listener) return kIoError;
    size_t avail = f->rx.size() - f->rxPos;
    if (avail == 0) return f->peerClosed ? kIoClosed : kIoWouldBlock;
    if (n == 0) return kIoWouldBlock;
    size_t take = std::min(n, avail);
    if (recvLimit_) take = std::min(take, recvLimit_);
    std::memcpy(data, f->rx.data() + f->rxPos, take);
    if (!peek) {
        f->rxPos += take;
        if (f->rxPos == f->rx.size()) {
            f->rx.clear();
            f->rxPos = 0;
        }
    }
    return static_cast<long>(take);
}

void FakeSocketApi::ShutdownSend(Socket s) {
    if (Fake* f = find(s)) f->sendShut = true;
}

void FakeSocketApi::Close(Socket s) {
    if (Fake* f = find(s)) {
        f->open = false;
        for (Socket p : f->pending)
            socks_[p].open = false;
        f->pending.clear();
    }
}

bool FakeSocketApi::GetPeerAddress(Socket s, PeerAddress& out) {
    const Fake* f = find(s);
    if (!f) return false;
    out = f->peer;
    return true;
}

int FakeSocketApi::LocalPort(Socket s) {
    const Fake* f = find(s);
    return f ? f->port : 0;
}

int FakeSocketApi::Poll(std::span<PollEntry> entries, int) {
    int ready = 0;
    for (auto& e : entries) {
        e.revents = 0;
        if ((e.events & kWaitRead) && IsReadable(e.fd)) e.revents |= kWaitRead;
        if ((e.events & kWaitWrite) && IsWritable(e.fd)) e.revents |= kWaitWrite;
        if (e.revents) ++ready;
    }
    return ready;
}

}  // namespace orv
