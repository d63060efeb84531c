#pragma once
// What the engine waits for between pumps. Each step adds its own descriptors and its next
// deadline beside the code that acts on them; the engine only collects them.
#include <cstdint>
#include <vector>

#include "core/clock.h"
#include "net/socket_api.h"

namespace orv {

// Descriptors with the readiness the engine will act on, and the time (Clock::nowMillis) when
// a step has something due; -1 when nothing is due.
struct WaitSet {
    std::vector<PollEntry> entries;
    int64_t deadlineMs = -1;
    void want(Socket fd, short events);
    void dueAt(int64_t ms) {
        if (ms >= 0 && (deadlineMs < 0 || ms < deadlineMs)) deadlineMs = ms;
    }
    short eventsFor(Socket fd) const;
    void clear() {
        entries.clear();
        deadlineMs = -1;
    }
};

// The time (Clock::nowMillis) at which the whole second `second` (Clock::nowSeconds) has come.
int64_t msAtSecond(const Clock& clock, int64_t second);

}  // namespace orv
