#include "engine/wait_set.h"

#include <algorithm>

#include "engine/engine.h"

namespace orv {

// ---------------------------------------------------------------- WaitSet

void WaitSet::want(Socket fd, short events) {
    if (fd < 0 || events == 0) return;
    for (auto& e : entries) {
        if (e.fd == fd) {
            e.events = static_cast<short>(e.events | events);
            return;
        }
    }
    entries.push_back(PollEntry{fd, events, 0});
}

short WaitSet::eventsFor(Socket fd) const {
    for (const auto& e : entries)
        if (e.fd == fd) return e.events;
    return 0;
}

int64_t msAtSecond(const Clock& clock, int64_t second) {
    // Seconds and milliseconds come from different clocks; waiting whole seconds from now
    // is never early, at worst up to a second late.
    int64_t wait = second - clock.nowSeconds();
    return clock.nowMillis() + std::max<int64_t>(0, wait) * 1000;
}

// ---------------------------------------------------------------- the engine's wait

void Engine::waitSet(WaitSet& out) {
    out.clear();
    if (hooks_.instanceFd >= 0) out.want(hooks_.instanceFd, kWaitRead);
    if (stopped_ || shuttingDown_) return;
    addListenerWaits(out);
    if (!loggedIn()) return;
    if (pumpSaturated_) out.dueAt(clock_.nowMillis());  // the pump stopped while still busy
    addAcceptWaits(out);
    addReceiveWaits(out);
    addHttpRelayWaits(out);
    addKeepAliveWaits(out);
    addLingerWaits(out);
    addSweepWaits(out);
    // Delivery, reception and the parts still to come (relay mode, the local file server)
    // report theirs through the hook.
    if (hooks_.addWaits) hooks_.addWaits(out);
}

bool Engine::runOnce(int maxWaitMs) {
    WaitSet w;
    waitSet(w);
    int64_t timeout = std::max(0, maxWaitMs);
    if (w.deadlineMs >= 0)
        timeout = std::clamp<int64_t>(w.deadlineMs - clock_.nowMillis(), 0, timeout);
    if (timeout > 0 || !w.entries.empty()) sockets_.Poll(w.entries, static_cast<int>(timeout));
    return EnginePump();
}

}  // namespace orv
