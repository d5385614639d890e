// Pacing: at most a given number of records a second, in bursts of at most one second's worth
// (a token bucket).
#pragma once

#include <cstdint>

/// The bucket, in thousandths of a record, refilled `rate` thousandths a millisecond.
struct Pacer {
  int64_t rate = 0;  // records a second; 0: no limit
  int64_t credit = 0;
  long long refilled_ms = 0;
};

/// A pacer for `rate` records a second (0: none) at `now`, on the clock of wait.h; it holds one
/// record's credit, so that a run begins at the rate rather than with a burst.
Pacer make_pacer(int64_t rate, long long now);

/// Whether a record may go at `now`; if so its credit is taken.
bool pacer_take(Pacer& p, long long now);

/// When the next record may go: `now` or later, kNoDeadline without a limit.
long long pacer_next(Pacer& p, long long now);
