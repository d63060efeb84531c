#include "core/clock.h"

#include <chrono>
#include <ctime>

namespace orv {

int64_t SystemClock::nowSeconds() const {
    return static_cast<int64_t>(std::time(nullptr));
}

int64_t SystemClock::nowMillis() const {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace orv
