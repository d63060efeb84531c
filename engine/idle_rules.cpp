#include "engine/idle_rules.h"

#include <algorithm>

#include "engine/delivery.h"
#include "engine/engine.h"

namespace orv {

// ---------------------------------------------------------------- keep-alives

bool Engine::sendKeepAlive(Socket s) {
    return queueMessage(s, Command::KeepAlive, {}, /*control=*/true);
}

void Engine::keepAliveRules(int32_t t) {
    for (int i = 0; i < links_.count(); ++i) {
        if (markedForClose(links_.records[i])) {
            closeLinkAt(i, true);
            break;
        }
    }
    if (t - lastKeepAliveCheck_ < kKeepAliveCheckSeconds) return;
    lastKeepAliveCheck_ = t;
    for (int i = 0; i < links_.count(); ++i) {
        PeerLinkRecord& l = links_.records[i];
        switch (l.state) {
            case LinkState::StatusClient:
                break;
            case LinkState::Unidentified:
                if (t - l.lastActivity > kIdleLimitSeconds) markForClose(l);
                break;
            case LinkState::InboundPlain:
            case LinkState::Outbound:
            case LinkState::HelloAccepted:
            case LinkState::InboundExclusive:
                if (t - l.lastActivity >= kKeepAliveAfterSeconds && IsPlainLink(l.socket)) {
                    if (sendKeepAlive(l.socket)) {
                        l.lastActivity = t;
                        l.missedKeepAlives = 0;
                    } else {
                        ++l.missedKeepAlives;
                    }
                }
                if (l.missedKeepAlives > kMaxMissedKeepAlives ||
                    t - l.lastActivity > kIdleLimitSeconds)
                    markForClose(l);
                break;
            default:
                break;
        }
    }
}

namespace {

// The second at which the keep-alive rules next have something to do for link l, or -1.
// "More than n seconds" falls due in the second after n.
int64_t keepAliveDue(const PeerLinkRecord& l, int32_t t) {
    switch (l.state) {
        case LinkState::Unidentified:
            return int64_t{l.lastActivity} + kIdleLimitSeconds + 1;
        case LinkState::InboundPlain:
        case LinkState::Outbound:
        case LinkState::HelloAccepted:
        case LinkState::InboundExclusive:
            if (l.missedKeepAlives > kMaxMissedKeepAlives) return t;
            // A link carrying a relayed message gets no keep-alives, only the idle limit.
            return int64_t{l.lastActivity} +
                   (l.relaySlot == -1 ? kKeepAliveAfterSeconds : kIdleLimitSeconds + 1);
        default:
            return -1;
    }
}

}  // namespace

void Engine::addKeepAliveWaits(WaitSet& out) {
    int32_t t = now();
    int64_t firstDue = -1;
    for (int i = 0; i < links_.count(); ++i) {
        const PeerLinkRecord& l = links_.records[i];
        if (markedForClose(l)) out.dueAt(clock_.nowMillis());
        int64_t due = keepAliveDue(l, t);
        if (due >= 0 && (firstDue < 0 || due < firstDue)) firstDue = due;
    }
    if (firstDue >= 0)
        out.dueAt(msAtSecond(clock_, std::max<int64_t>(firstDue, int64_t{lastKeepAliveCheck_} +
                                                                     kKeepAliveCheckSeconds)));
}

// ---------------------------------------------------------------- the deferred close

void Engine::lingerStep(int32_t t) {
    if (linger_.empty()) return;
    int last = linger_.count() - 1;
    if (t - linger_[last].timeAdded > kLingerSeconds) {
        sockets_.Close(linger_[last].socket);
        linger_.removeAt(last);
        lingerOut_.pop_back();
    }
}

void Engine::addLingerWaits(WaitSet& out) {
    if (linger_.empty()) return;
    out.dueAt(
        msAtSecond(clock_, int64_t{linger_[linger_.count() - 1].timeAdded} + kLingerSeconds + 1));
    for (int i = 0; i < linger_.count(); ++i)
        if (!lingerOut_[static_cast<size_t>(i)].empty()) out.want(linger_[i].socket, kWaitWrite);
}

// ---------------------------------------------------------------- the sweep

void Engine::sweepSharedFileDeliveries(int32_t t) {
    if (t - lastSweep_ < kSweepSpacingSeconds) return;
    lastSweep_ = t;
    for (int d = tables_.deliveries.count() - 1; d >= 0; --d) {
        if (d >= tables_.deliveries.count()) continue;
        const DeliveryRecord& r = tables_.deliveries[d];
        // One that only just went out waits for its reply at least one spacing: erased at
        // once, the receiver's request for the file would find nothing to send it.
        if (r.state != DeliveryState::AwaitingReply || t - r.stateTime < kSweepSpacingSeconds)
            continue;
        if (r.mail < 0 || r.mail >= tables_.mails.count()) continue;
        if (tables_.mails[r.mail].kind == MailKind::SharedFileDelivery) tables_.eraseDelivery(d);
    }
}

void Engine::addSweepWaits(WaitSet& out) {
    for (const auto& d : tables_.deliveries) {
        if (d.state == DeliveryState::AwaitingReply && d.mail >= 0 &&
            d.mail < tables_.mails.count() &&
            tables_.mails[d.mail].kind == MailKind::SharedFileDelivery) {
            out.dueAt(msAtSecond(clock_, int64_t{lastSweep_} + kSweepSpacingSeconds));
            return;
        }
    }
}

}  // namespace orv
