#pragma once
// Operations on a RateMeter: one-second slots of a running byte total, read as the average of
// the last five seconds, and the pacing that keeps a limit. Every reading takes the
// monotonic clock in milliseconds, so the speed shown and the limit run on one clock.
#include <cstdint>

#include "core/records.h"

namespace orv {

// The window a limit is kept over, and the largest piece one pass lets through (a chunk's
// file data).
inline constexpr int64_t kLimitWindowMs = 5000;
inline constexpr uint32_t kLimitPieceBytes = 2016;
// How far a limited pace may run ahead of the clock, and how much of a late wake-up it may
// catch up. Pieces pass in runs of this much time instead of one per clock tick (one chunk per
// millisecond would cap every limit at 2 MB/s); the extra it lets into a five-second window
// stays well inside the 1 % kept back by meterPacedRate.
inline constexpr int64_t kPaceSlackUs = 5000;

// Brings the meter up to nowMs: shifts one slot per elapsed second (up to 5), clears it after
// a longer gap or when it was never used.
void meterUpdate(RateMeter& m, int64_t nowMs);
// Counts bytes that went through; under a limit (kB/s, 0 = none) the next piece is paced
// after them.
void meterCount(RateMeter& m, uint32_t bytes, int32_t limitKB, int64_t nowMs);
// Bytes counted in the last five seconds (the current one included).
uint32_t meterWindowBytes(RateMeter& m, int64_t nowMs);
// Bytes per second shown to the user.
uint32_t meterSpeed(RateMeter& m, int64_t nowMs);
// Whether a limit holds the next piece back at nowMs, and until when (-1: nothing holds).
bool meterHolds(const RateMeter& m, int32_t limitKB, int64_t nowMs);
int64_t meterFreeAtMs(const RateMeter& m, int32_t limitKB);
// The paced rate under a limit, in bytes per second: whatever the phase of a five-second
// window, the pieces inside it, the last one whole, stay within 5 × L × 1024 bytes.
double meterPacedRate(int32_t limitKB);

}  // namespace orv
