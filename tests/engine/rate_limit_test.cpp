// Rate limits between real clients on loopback under a stepped clock: every five-second window
// of file bytes, measured where the receiver takes them off the link, stays within 5 × L × 1024
// from the first chunk on, for each of the four limits.
#include <cstdio>
#include <deque>
#include <random>

#include <gtest/gtest.h>

#include "engine/rate_meter.h"
#include "mail_peers.h"

namespace orv::test {
namespace {

using RateLimits = MailPeers;

struct Arrival {
    int64_t ms;
    int64_t bytes;
};

// The most file bytes that arrived within any closed window [t, t + 5000 ms].
int64_t mostInAnyWindow(const std::vector<Arrival>& a) {
    int64_t most = 0;
    int64_t sum = 0;
    size_t j = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        while (j < a.size() && a[j].ms <= a[i].ms + kLimitWindowMs)
            sum += a[j++].bytes;
        most = std::max(most, sum);
        sum -= a[i].bytes;
    }
    return most;
}

// Records each chunk the peer takes, with its file bytes, at the clock's time.
void recordArrivals(MailPeer& peer, ManualClock& clock, std::vector<Arrival>& out) {
    auto& h = peer.engine->hooks();
    auto inner = h.fileChunk;
    h.fileChunk = [inner, &clock, &out](const InboundMessage& m) {
        ChunkVerdict v = inner(m);
        if (v.taken && m.body.size() > 24)
            out.push_back({clock.nowMillis(), static_cast<int64_t>(m.body.size() - 24)});
        return v;
    };
}

struct LimitCase {
    const char* name;
    int setting;
    bool onSender;
    int mails;  // a global limit is shared by two mails at once
};

class EachLimit : public RateLimits, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(EachLimit, TenKBsHoldsInEveryFiveSecondWindowOverAMinute) {
    const LimitCase& c = GetParam();
    MailPeer& alice = addPeer("alice");
    MailPeer& bob = addPeer("bob");
    (c.onSender ? alice : bob).tables.setSettingNumber(c.setting, 10);
    std::vector<Arrival> arrivals;
    recordArrivals(bob, clock, arrivals);
    // About a minute at 10 kB/s in all.
    const int64_t size = 600000 / c.mails;
    std::vector<std::string> files;
    std::vector<uint64_t> keys;
    for (int i = 0; i < c.mails; ++i) {
        files.push_back(makeFile("f" + std::to_string(i) + ".bin", size, 11 + i));
        keys.push_back(alice.tables.mails[alice.compose({"bob"}, "slow", {files.back()})].key);
    }
    int64_t start = clock.nowMillis();
    ASSERT_TRUE(pumpUntil(
        [&] {
            for (uint64_t k : keys)
                if (!bob.received(k)) return false;
            return true;
        },
        120000, 0));
    int64_t simulated = clock.nowMillis() - start;
    int64_t most = mostInAnyWindow(arrivals);
    std::printf("%s: %lld ms simulated, %zu chunks, most in five seconds %lld\n", c.name,
                static_cast<long long>(simulated), arrivals.size(), static_cast<long long>(most));
    EXPECT_GE(simulated, 55000);
    EXPECT_LE(most, 5 * 10 * 1024);
    EXPECT_GE(most, 45000);  // the limit is not far below what it allows
    for (int i = 0; i < c.mails; ++i)
        EXPECT_EQ(readFile(bob.receivedPath(keys[static_cast<size_t>(i)], 0)),
                  readFile(files[static_cast<size_t>(i)]));
}

INSTANTIATE_TEST_SUITE_P(
    Limits, EachLimit,
    ::testing::Values(LimitCase{"send per transfer", Setting::MaxSendPerTransfer, true, 1},
                      LimitCase{"send total", Setting::MaxSendTotal, true, 2},
                      LimitCase{"receive per transfer", Setting::MaxRecvPerTransfer, false, 1},
                      LimitCase{"receive total", Setting::MaxRecvTotal, false, 2}),
    [](const ::testing::TestParamInfo<LimitCase>& i) {
        std::string n = i.param.name;
        for (char& ch : n)
            if (ch == ' ') ch = '_';
        return n;
    });

TEST(RateMeter, SpeedIsTheAverageOfFiveSecondsAndPacingStartsAtTheFirstPiece) {
    RateMeter m{};
    int64_t t = 1'000'000'000;
    meterCount(m, 5 * 5000, 0, t);
    EXPECT_EQ(meterSpeed(m, t), 5000u);
    EXPECT_EQ(meterSpeed(m, t + 4999), 5000u);  // the fifth second still counts it
    EXPECT_EQ(meterSpeed(m, t + 5000), 0u);     // shifted out
    meterCount(m, 100, 0, t + 6000);
    EXPECT_EQ(meterSpeed(m, t + 60000), 0u);  // a long gap clears

    // Under a limit the first piece passes at once and the next waits its share.
    RateMeter p{};
    EXPECT_FALSE(meterHolds(p, 10, t));
    meterCount(p, 2016, 10, t);
    EXPECT_TRUE(meterHolds(p, 10, t + 1));
    int64_t free = meterFreeAtMs(p, 10);
    EXPECT_GT(free, t + 2016 * 1000 / 10240);
    EXPECT_FALSE(meterHolds(p, 10, free));
    EXPECT_FALSE(meterHolds(p, 0, t + 1));  // no limit holds nothing
    // Idle time is not saved up as a burst.
    meterCount(p, 2016, 10, t + 60000);
    EXPECT_TRUE(meterHolds(p, 10, t + 60001));
}

// A loop that wakes when the pace frees it, sometimes a few milliseconds late, and lets pieces
// through while the meter allows: high limits are reached (not capped at one piece per clock
// tick) and no five-second window carries more than the limit.
TEST(RateMeter, HighLimitsAreReachedAndStillHeldWhenWakeUpsAreLate) {
    for (int32_t limitKB : {10, 2000, 16000, 100000}) {
        RateMeter m{};
        std::vector<Arrival> passed;
        int64_t t = 5'000'000;
        const int64_t end = t + 20000;
        std::mt19937 late(static_cast<uint32_t>(limitKB));
        while (t < end) {
            while (!meterHolds(m, limitKB, t)) {
                meterCount(m, kLimitPieceBytes, limitKB, t);
                passed.push_back({t, kLimitPieceBytes});
            }
            t = std::max(t + 1, meterFreeAtMs(m, limitKB) + static_cast<int64_t>(late() % 4));
        }
        int64_t most = mostInAnyWindow(passed);
        SCOPED_TRACE(limitKB);
        EXPECT_LE(most, 5 * int64_t{limitKB} * 1024);
        EXPECT_GE(most, 5 * int64_t{limitKB} * 1024 * 95 / 100 - kLimitPieceBytes);
    }
}

}  // namespace
}  // namespace orv::test
