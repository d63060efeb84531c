#include "engine/listener.h"

#include "engine/engine.h"

namespace orv {

void Engine::keepListenerOpen() {
    if (listener_ != kInvalidSocket || listenerClosedForGood_) return;
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
    if (listener_ == kInvalidSocket) return false;
    if (t - lastAccept_ < kAcceptSpacingSeconds) return false;
    // An attempt counts only when a connection is waiting, so an idle listener costs no
    // wake-ups and the first connection after a quiet time is taken at once.
    if (!sockets_.IsReadable(listener_)) return false;
    lastAccept_ = t;
    Socket s = kInvalidSocket;
    PeerAddress from;
    sockets_.AcceptConnection(listener_, s, from);
    if (s == kInvalidSocket) return false;
    openLink(s, LinkState::Unidentified, {}, Origin::Inbound);
    return true;
}

void Engine::addListenerWaits(WaitSet& out) {
    // A listener that is not open is opened again on the next pump, or at its retry time.
    if (listener_ == kInvalidSocket && !listenerClosedForGood_)
        out.dueAt(listenRetryAtMs_ >= 0 ? listenRetryAtMs_ : clock_.nowMillis());
}

void Engine::addAcceptWaits(WaitSet& out) {
    if (listener_ == kInvalidSocket) return;
    // Inside the accept spacing the listener is left out, so a waiting connection does not
    // wake the engine before it may be taken.
    if (now() - lastAccept_ >= kAcceptSpacingSeconds)
        out.want(listener_, kWaitRead);
    else
        out.dueAt(msAtSecond(clock_, int64_t{lastAccept_} + kAcceptSpacingSeconds));
}

}  // namespace orv
