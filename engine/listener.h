#pragma once
// Listening and accepting (Engine::keepListenerOpen, acceptStep): the timing of the step.
#include <cstdint>

namespace orv {

// Connections accepted in one step at most; the rest wait for the next step.
inline constexpr int kAcceptsPerStep = 64;
// An inbound connection that has not sent a valid first message within this many seconds is
// closed, so idle connections cannot hold the port.
inline constexpr int32_t kFirstMessageSeconds = 5;
// A listener that could not be opened is tried again this much later.
inline constexpr int64_t kListenRetryMs = 1000;

}  // namespace orv
