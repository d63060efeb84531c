#include "engine/rate_meter.h"

namespace orv {

void meterUpdate(RateMeter& m, int32_t now) {
    if (m.time == now) return;
    int64_t gap = static_cast<int64_t>(now) - m.time;
    if (m.time != 0 && gap >= 1 && gap <= 5) {
        for (int64_t k = 0; k < gap; ++k) {
            for (int i = 4; i > 0; --i)
                m.slots[i] = m.slots[i - 1];
        }
    } else {
        for (auto& s : m.slots)
            s = 0;
    }
    m.time = now;
}

void meterAdd(RateMeter& m, uint32_t bytes, int32_t now) {
    meterUpdate(m, now);
    m.slots[0] += bytes;
}

uint32_t meterWindowBytes(RateMeter& m, int32_t now) {
    meterUpdate(m, now);
    return m.slots[0] - m.slots[4];
}

int32_t meterRateKB(RateMeter& m, int32_t now) {
    return static_cast<int32_t>(meterWindowBytes(m, now) / 5120u);
}

uint32_t meterSpeed(RateMeter& m, int32_t now) {
    return meterWindowBytes(m, now) / 5u;
}

bool meterLimitExceeded(RateMeter& m, int32_t limitKB, int32_t now) {
    return limitKB != 0 && limitKB < meterRateKB(m, now);
}

}  // namespace orv
