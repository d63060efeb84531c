#pragma once
// The relay of inbound web requests to the directory web server (Engine::startHttpRelay,
// pumpRelays): the timing and sizes of the step.
#include <cstddef>
#include <cstdint>

namespace orv {

// A relay pair is cut once it is more than this many seconds old, whatever it is doing.
inline constexpr int32_t kRelayLifetimeSeconds = 60;
// Bytes read from one side at a time.
inline constexpr size_t kRelayReadSize = 64 * 1024;

}  // namespace orv
