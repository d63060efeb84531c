#pragma once
// Listening and accepting (Engine::keepListenerOpen, acceptStep): the timing of the step.
#include <cstdint>

namespace orv {

// At most one connection is accepted in this many seconds.
inline constexpr int32_t kAcceptSpacingSeconds = 2;
// A listener that could not be opened is tried again this much later.
inline constexpr int64_t kListenRetryMs = 1000;

}  // namespace orv
