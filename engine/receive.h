#pragma once
// The receive state machine (Engine::receiveAll and what it calls): the timing of the step.
#include <cstdint>

namespace orv {

// A hello whose answer cannot go out yet (its link is not plain) is looked at again this much
// later.
inline constexpr int64_t kHelloRecheckMs = 1000;
// A file chunk the reception could not take, without a time of its own, is offered again this
// much later.
inline constexpr int64_t kChunkRetryMs = 1000;

}  // namespace orv
