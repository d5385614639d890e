// The token bucket behind --rate, on whole milliseconds: the credit grows by exactly `rate`
// thousandths a millisecond, so that no rounding drifts the rate over a long drain.
#include "pacing.h"

#include <algorithm>

#include "wait.h"

namespace {

constexpr int64_t kRecordCredit = 1000;  // thousandths of a record

void refill(Pacer& p, long long now) {
  if (now <= p.refilled_ms) return;
  int64_t most = p.rate * kRecordCredit;  // one second's worth
  p.credit = std::min<int64_t>(most, p.credit + (now - p.refilled_ms) * p.rate);
  p.refilled_ms = now;
}

}  // namespace

Pacer make_pacer(int64_t rate, long long now) {
  Pacer p;
  p.rate = rate;
  p.credit = kRecordCredit;
  p.refilled_ms = now;
  return p;
}

bool pacer_take(Pacer& p, long long now) {
  if (p.rate == 0) return true;
  refill(p, now);
  if (p.credit < kRecordCredit) return false;
  p.credit -= kRecordCredit;
  return true;
}

long long pacer_next(Pacer& p, long long now) {
  if (p.rate == 0) return kNoDeadline;
  refill(p, now);
  if (p.credit >= kRecordCredit) return now;
  return now + (kRecordCredit - p.credit + p.rate - 1) / p.rate;
}
