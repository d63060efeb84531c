#include "session/pump/session_pump.h"

#include <algorithm>
#include <climits>

namespace orv {

SessionPump::SessionPump(ClientSession& session, const Clock& clock, QObject* parent)
    : QObject(parent), session_(session), clock_(clock) {
    deadline_.setSingleShot(true);
    deadline_.setTimerType(Qt::PreciseTimer);
    connect(&deadline_, &QTimer::timeout, this, &SessionPump::run);
    soon_.setSingleShot(true);
    soon_.setInterval(0);
    connect(&soon_, &QTimer::timeout, this, &SessionPump::run);
    session_.onEvent = [this](const SessionEvent& e) { Q_EMIT sessionEvent(e); };
}

SessionPump::~SessionPump() {
    session_.onEvent = nullptr;
}

void SessionPump::kick() {
    if (stopped_) return;
    if (!soon_.isActive()) soon_.start();
}

void SessionPump::stop() {
    stopped_ = true;
    session_.onEvent = nullptr;
    deadline_.stop();
    soon_.stop();
    watches_.clear();
}

void SessionPump::onReady() {
    // Notifiers are level-triggered: silence them until the service has read what is there,
    // and service once for however many became ready together.
    for (auto& [fd, w] : watches_) {
        if (w.read) w.read->setEnabled(false);
        if (w.write) w.write->setEnabled(false);
    }
    kick();
}

void SessionPump::run() {
    if (stopped_) return;
    session_.service();
    ++services_;
    Q_EMIT serviced();
    if (!stopped_) rearm();
}

void SessionPump::rearm() {
    set_.clear();
    session_.waitSet(set_);
    // Notifiers are kept for descriptors still wanted (the event loop polls by number, so a
    // number closed and reused in between is watched correctly) and dropped for the rest.
    std::map<int, Watch> next;
    for (const PollEntry& e : set_.entries) {
        if (e.fd < 0) continue;
        Watch& w = next[e.fd];
        auto old = watches_.find(e.fd);
        auto take = [&](std::unique_ptr<QSocketNotifier> Watch::*slot, QSocketNotifier::Type type) {
            if (old != watches_.end() && (old->second.*slot)) {
                w.*slot = std::move(old->second.*slot);
            } else if (!(w.*slot)) {
                w.*slot = std::make_unique<QSocketNotifier>(e.fd, type);
                connect((w.*slot).get(), &QSocketNotifier::activated, this, &SessionPump::onReady);
            }
            (w.*slot)->setEnabled(true);
        };
        if (e.events & kWaitRead) take(&Watch::read, QSocketNotifier::Read);
        if (e.events & kWaitWrite) take(&Watch::write, QSocketNotifier::Write);
    }
    // What is left may be the sender of the signal being handled: deleted later.
    for (auto& [fd, w] : watches_) {
        for (auto* slot : {&w.read, &w.write}) {
            if (!*slot) continue;
            (*slot)->setEnabled(false);
            slot->release()->deleteLater();
        }
    }
    watches_ = std::move(next);
    if (set_.deadlineMs >= 0) {
        int64_t wait = std::clamp<int64_t>(set_.deadlineMs - clock_.nowMillis(), 0, INT_MAX / 2);
        deadline_.start(static_cast<int>(wait));
    } else {
        deadline_.stop();
    }
}

}  // namespace orv
