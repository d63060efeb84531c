#pragma once
// Operations on a RateMeter: five one-second slots of a running byte total. The rate is the
// average of the last five seconds.
#include <cstdint>

#include "core/records.h"

namespace orv {

// Brings the meter up to `now`: shifts one slot per elapsed second (up to 5), clears it after
// a longer gap or when it was never used.
void meterUpdate(RateMeter& m, int32_t now);
void meterAdd(RateMeter& m, uint32_t bytes, int32_t now);
// Bytes counted in the last five seconds.
uint32_t meterWindowBytes(RateMeter& m, int32_t now);
// kB/s over the last five seconds.
int32_t meterRateKB(RateMeter& m, int32_t now);
// Bytes per second shown to the user.
uint32_t meterSpeed(RateMeter& m, int32_t now);
// A limit in kB/s (0 = none) is exceeded when it is below the rate.
bool meterLimitExceeded(RateMeter& m, int32_t limitKB, int32_t now);

}  // namespace orv
