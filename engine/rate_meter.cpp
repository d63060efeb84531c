#include "engine/rate_meter.h"

#include <algorithm>
#include <cmath>

namespace orv {

void meterUpdate(RateMeter& m, int64_t nowMs) {
    int32_t now = static_cast<int32_t>(nowMs / 1000);
    if (m.time == now) return;
    int64_t gap = static_cast<int64_t>(now) - m.time;
    if (m.time != 0 && gap >= 1 && gap <= 5) {
        for (int64_t k = 0; k < gap; ++k) {
            for (int i = 5; i > 0; --i)
                m.slots[i] = m.slots[i - 1];
        }
    } else {
        for (auto& s : m.slots)
            s = 0;
    }
    m.time = now;
}

double meterPacedRate(int32_t limitKB) {
    // Pieces paced at rate r put at most r × 5 s plus one whole piece into any five-second
    // window; 1 % more is kept back for rounding slack.
    double budget = 5.0 * 1024.0 * limitKB - kLimitPieceBytes;
    return std::max(64.0, budget * 0.99 / 5.0);
}

void meterCount(RateMeter& m, uint32_t bytes, int32_t limitKB, int64_t nowMs) {
    meterUpdate(m, nowMs);
    m.slots[0] += bytes;
    if (limitKB <= 0) return;
    // Idle time saves up no more than the slack: a late wake-up catches up that much, no more.
    int64_t from = std::max(m.paceUs, nowMs * 1000 - kPaceSlackUs);
    m.paceUs = from + static_cast<int64_t>(std::ceil(bytes * 1e6 / meterPacedRate(limitKB)));
}

uint32_t meterWindowBytes(RateMeter& m, int64_t nowMs) {
    meterUpdate(m, nowMs);
    return m.slots[0] - m.slots[5];
}

uint32_t meterSpeed(RateMeter& m, int64_t nowMs) {
    return meterWindowBytes(m, nowMs) / 5u;
}

bool meterHolds(const RateMeter& m, int32_t limitKB, int64_t nowMs) {
    return limitKB > 0 && m.paceUs > nowMs * 1000 + kPaceSlackUs;
}

int64_t meterFreeAtMs(const RateMeter& m, int32_t limitKB) {
    if (limitKB <= 0) return -1;
    return (m.paceUs - kPaceSlackUs + 999) / 1000;
}

}  // namespace orv
