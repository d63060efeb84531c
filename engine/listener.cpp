#include "engine/listener.h"

#include "engine/engine.h"

namespace orv {

void Engine::keepListenerOpen() {
    if (listener_ != kInvalidSocket || listenerClosedForGood_) return;
    if (config_.refuseListener) {
        openListenerPort();
        if (listener_ != kInvalidSocket) {
            sockets_.Close(listener_);
            listener_ = kInvalidSocket;
            listenerClosedForGood_ = true;
        }
        return;
    }
    openListenerPort();
}

void Engine::openListenerPort() {
    int64_t nowMs = clock_.nowMillis();
    if (listenRetryAtMs_ >= 0 && nowMs < listenRetryAtMs_) return;
    listenRetryAtMs_ = -1;
    bool fixed = tables_.settingNumber(Setting::UseFixedAddress) != 0;
    if (fixed) {
        // One port per attempt, downward.
        if (!portStarted_) {
            portStarted_ = true;
            peerPort_ = config_.firstPeerPort > 0 ? config_.firstPeerPort + 1 : 29998;
        }
        if (--peerPort_ < 1) peerPort_ = 65535;
        listener_ = sockets_.OpenListener(config_.listenAddress, peerPort_);
        if (listener_ == kInvalidSocket) listenRetryAtMs_ = nowMs + kListenRetryMs;
        return;
    }
    if (!portStarted_) {
        portStarted_ = true;
        if (config_.firstPeerPort > 0)
            peerPort_ = config_.firstPeerPort - 1;
        else
            peerPort_ += static_cast<int32_t>(clock_.nowSeconds() % 1000);
    }
    while (peerPort_ < 65535) {
        ++peerPort_;
        listener_ = sockets_.OpenListener(config_.listenAddress, peerPort_);
        if (listener_ != kInvalidSocket) return;
    }
    // Not one port up to the top could be had: start over a second later.
    portStarted_ = false;
    peerPort_ = 29998;
    listenRetryAtMs_ = nowMs + kListenRetryMs;
}

bool Engine::acceptStep(int32_t t) {
    bool work = false;
    // Connections that never said who they are go first.
    for (int i = links_.count() - 1; i >= 0; --i) {
        if (links_.records[i].state != LinkState::Unidentified) continue;
        const Connection* c = connection(links_.records[i].socket);
        if (c && c->origin == Origin::Inbound && !c->spoke &&
            t - c->openedAt >= kFirstMessageSeconds) {
            closeLinkAt(i, true);
            work = true;
        }
    }
    if (listener_ == kInvalidSocket) return work;
    // Every waiting connection is taken (up to a bound), so a crowd of idle ones cannot make
    // a peer wait.
    for (int n = 0; n < kAcceptsPerStep && sockets_.IsReadable(listener_); ++n) {
        Socket s = kInvalidSocket;
        PeerAddress from;
        sockets_.AcceptConnection(listener_, s, from);
        if (s == kInvalidSocket) break;
        openLink(s, LinkState::Unidentified, {}, Origin::Inbound);
        work = true;
    }
    return work;
}

void Engine::addListenerWaits(WaitSet& out) {
    // A listener that is not open is opened again on the next pump, or at its retry time.
    if (listener_ == kInvalidSocket && !listenerClosedForGood_)
        out.dueAt(listenRetryAtMs_ >= 0 ? listenRetryAtMs_ : clock_.nowMillis());
}

void Engine::addAcceptWaits(WaitSet& out) {
    for (int i = 0; i < links_.count(); ++i) {
        if (links_.records[i].state != LinkState::Unidentified) continue;
        const Connection* c = connection(links_.records[i].socket);
        if (c && c->origin == Origin::Inbound && !c->spoke)
            out.dueAt(msAtSecond(clock_, int64_t{c->openedAt} + kFirstMessageSeconds));
    }
    if (listener_ != kInvalidSocket) out.want(listener_, kWaitRead);
}

}  // namespace orv
