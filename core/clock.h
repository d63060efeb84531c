#pragma once
// Time source of a client session. Everything that waits or stamps a time asks the session's
// clock, so tests step over long waits instead of sleeping.
#include <cstdint>

namespace orv {

class Clock {
  public:
    virtual ~Clock() = default;
    // Whole seconds since 1970 (wall clock), as stored in records.
    virtual int64_t nowSeconds() const = 0;
    // Milliseconds on a clock that never goes back; for deadlines and spacing rules.
    virtual int64_t nowMillis() const = 0;
};

class SystemClock final : public Clock {
  public:
    int64_t nowSeconds() const override;
    int64_t nowMillis() const override;
};

// A clock that moves only when told; both readings advance together.
class ManualClock final : public Clock {
  public:
    explicit ManualClock(int64_t startSeconds = 1'700'000'000) : millis_(startSeconds * 1000) {}
    int64_t nowSeconds() const override { return millis_ / 1000; }
    int64_t nowMillis() const override { return millis_; }
    void advanceMillis(int64_t ms) { millis_ += ms; }
    void advanceSeconds(int64_t s) { millis_ += s * 1000; }

  private:
    int64_t millis_;
};

}  // namespace orv
