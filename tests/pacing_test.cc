// The token bucket behind --rate, on a clock the test turns, and the watchdog's decision.
#include <gtest/gtest.h>

#include "notify.h"
#include "pacing.h"
#include "wait.h"

namespace {

// Records let through in each millisecond from 0 to `ms`, asking `per_ms` times a millisecond.
int taken(Pacer& p, long long from, long long ms, int per_ms) {
  int n = 0;
  for (long long t = from; t < from + ms; ++t) {
    for (int i = 0; i < per_ms; ++i) n += pacer_take(p, t) ? 1 : 0;
  }
  return n;
}

TEST(Pacing, HoldsTheRateAndBurstsAtMostOneSecondsWorth) {
  struct Case {
    int64_t rate;
    long long idle_ms;  // before asking as fast as it lets
    long long ms;       // how long then
    int expected;
  };
  const Case cases[] = {
      {1000, 0, 10000, 10000},    // one record at once, then one a millisecond
      {3, 0, 2000, 6},            // at 0, 334, 667, 1000, 1334 and 1667 ms
      {250000, 0, 1000, 249751},  // one at once, then 250 a millisecond
      {100, 5000, 1000, 199},     // after an idle spell: one second's worth, then the rate
  };
  for (const Case& c : cases) {
    Pacer p = make_pacer(c.rate, 0);
    if (c.idle_ms > 0) {
      EXPECT_TRUE(pacer_take(p, 0));  // the start's one record; then nothing until idle_ms
    }
    EXPECT_EQ(taken(p, c.idle_ms, c.ms, c.rate > 1000 ? 300 : 2), c.expected) << c.rate;
  }
  Pacer none = make_pacer(0, 0);
  EXPECT_EQ(pacer_next(none, 5), kNoDeadline);
  Pacer slow = make_pacer(4, 0);
  EXPECT_TRUE(pacer_take(slow, 0));
  EXPECT_EQ(pacer_next(slow, 0), 250);
}

TEST(Watchdog, SoundUnlessConnectedWithRecordsWaitingAndNoneSettling) {
  Notifier n;
  n.watchdog_ms = 1000;
  watchdog_observe(n, {true, true, 5}, 0);
  EXPECT_TRUE(watchdog_sound(n, 999));
  watchdog_observe(n, {true, true, 5}, 1000);
  EXPECT_FALSE(watchdog_sound(n, 1000)) << "nothing settled for an interval";
  watchdog_observe(n, {true, true, 6}, 1500);
  EXPECT_TRUE(watchdog_sound(n, 1500)) << "one settled";
  watchdog_observe(n, {false, true, 6}, 4000);
  EXPECT_TRUE(watchdog_sound(n, 4000)) << "an outage with attempts going on";
  watchdog_observe(n, {true, false, 6}, 9000);
  EXPECT_TRUE(watchdog_sound(n, 9000)) << "idle";
}

}  // namespace
