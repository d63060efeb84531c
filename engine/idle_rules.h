#pragma once
// Keep-alives and idle rules (Engine::keepAliveRules, lingerStep, sweepSharedFileDeliveries):
// their timing, and the close mark the keep-alive rules set on a link.
#include <cstdint>

#include "engine/peer_tables.h"

namespace orv {

// The keep-alive rules run at most once in this many seconds.
inline constexpr int32_t kKeepAliveCheckSeconds = 2;
// An identified plain link is sent a keep-alive once it has been quiet this long.
inline constexpr int32_t kKeepAliveAfterSeconds = 6;
// A link that missed more keep-alives than this is closed.
inline constexpr int32_t kMaxMissedKeepAlives = 3;
// A link quiet for more than this many seconds is closed.
inline constexpr int32_t kIdleLimitSeconds = 60;
// A socket that said goodbye stays open more than this many seconds, so the other side can
// read it all.
inline constexpr int32_t kLingerSeconds = 10;
// Shared-file deliveries waiting for a reply are swept at most once in this many seconds.
inline constexpr int32_t kSweepSpacingSeconds = 4;

// A link marked for closing is closed by the next periodic step.
inline void markForClose(PeerLinkRecord& l) {
    l.closeMark = (l.closeMark & ~0xFF) | 1;
}
inline bool markedForClose(const PeerLinkRecord& l) {
    return (l.closeMark & 0xFF) == 1;
}

}  // namespace orv
