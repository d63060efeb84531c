#include "engine/relay_link.h"

namespace orv {

void RelayLink::open(std::string relayUser, std::string address, std::string ownUser) {
    close();
    relayUser_ = std::move(relayUser);
    address_ = std::move(address);
    ownUser_ = std::move(ownUser);
    startedMs_ = clock_.nowMillis();
    socket_ = engine_.sockets().ConnectTo(address_, 80);
    state_ = socket_ == kInvalidSocket ? State::Lost : State::Connecting;
}

void RelayLink::close() {
    if (state_ == State::Connecting && socket_ != kInvalidSocket) {
        engine_.sockets().Close(socket_);
    } else if (ourLink() >= 0) {
        engine_.closeLink(socket_, true);
    }
    socket_ = kInvalidSocket;
    state_ = State::Idle;
}

int RelayLink::ourLink() const {
    if (socket_ == kInvalidSocket) return -1;
    int i = engine_.findLink(socket_);
    if (i < 0) return -1;
    const PeerLinkRecord& l = engine_.links().records[i];
    if (l.state != LinkState::Outbound && l.state != LinkState::HelloAccepted) return -1;
    if (!equalsIgnoreCase(engine_.links().names.view(i), relayUser_)) return -1;
    if (l.closeMark & 0xFF) return -1;  // on its way out
    return i;
}

RelayLink::State RelayLink::step() {
    int64_t now = clock_.nowMillis();
    switch (state_) {
        case State::Idle:
        case State::Lost:
            break;
        case State::Connecting: {
            ConnectProgress p = engine_.sockets().CheckConnect(socket_);
            if (p == ConnectProgress::Pending && now - startedMs_ <= kConnectLimitMillis) break;
            if (p != ConnectProgress::Connected) {
                engine_.sockets().Close(socket_);
                socket_ = kInvalidSocket;
                state_ = State::Lost;
                break;
            }
            engine_.openLink(socket_, LinkState::Outbound, relayUser_, Origin::Outbound);
            // A plain hello: an exclusive one would be refused while the relay still holds our
            // previous link, which it only notices later.
            WireWriter w(Command::Hello);
            w.zeros(kHelloReserved);
            w.cString(relayUser_, engine_.codec());
            w.cString(ownUser_, engine_.codec());
            w.cString("", engine_.codec());
            if (!engine_.queueBytes(socket_, w.finish(), true)) {
                engine_.closeLink(socket_, false);
                socket_ = kInvalidSocket;
                state_ = State::Lost;
                break;
            }
            startedMs_ = now;
            state_ = State::Hello;
            break;
        }
        case State::Hello: {
            int i = ourLink();
            if (i < 0) {
                state_ = State::Lost;  // refused (the relay closes with a goodbye) or dropped
                socket_ = kInvalidSocket;
            } else if (engine_.links().records[i].state == LinkState::HelloAccepted) {
                state_ = State::Linked;
            } else if (now - startedMs_ > kHelloLimitMillis) {
                engine_.closeLink(socket_, true);
                socket_ = kInvalidSocket;
                state_ = State::Lost;
            }
            break;
        }
        case State::Linked:
            if (ourLink() < 0) {
                state_ = State::Lost;
                socket_ = kInvalidSocket;
            }
            break;
    }
    return state_;
}

void RelayLink::addWaits(WaitSet& out) const {
    if (state_ == State::Connecting) {
        out.want(socket_, kWaitWrite);
        out.dueAt(startedMs_ + kConnectLimitMillis + 1);
    } else if (state_ == State::Hello) {
        out.dueAt(startedMs_ + kHelloLimitMillis + 1);
    }
}

}  // namespace orv
