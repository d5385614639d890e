// poll() under the wait masks, and the program's clock.
#include "wait.h"

#include <cerrno>
#include <chrono>

namespace {

sigset_t masks[2];
bool have_masks = false;
bool interrupted = false;
// Set on a thread that waits apart from the main one: readable once its waits are to end.
thread_local int give_up_fd = -1;
// The most descriptors a wait apart takes besides its give-up descriptor.
constexpr nfds_t kMostApartFds = 4;

// A wait on a thread apart: poll() under that thread's own mask, ending as at the deadline
// once the give-up descriptor is readable.
int poll_apart(pollfd* fds, nfds_t count, long long deadline) {
  pollfd all[kMostApartFds + 1];
  if (count > kMostApartFds) return poll(fds, count, ms_until(deadline));
  for (nfds_t i = 0; i < count; ++i) all[i] = fds[i];
  all[count] = {give_up_fd, POLLIN, 0};
  int rc = poll(all, count + 1, ms_until(deadline));
  if (rc > 0 && all[count].revents != 0) return 0;
  for (nfds_t i = 0; i < count; ++i) fds[i].revents = all[i].revents;
  return rc;
}

}  // namespace

long long now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int ms_until(long long deadline) {
  if (deadline == kNoDeadline) return -1;
  long long left = deadline - now_ms();
  if (left <= 0) return 0;
  return left > 0x7fffffff ? 0x7fffffff : static_cast<int>(left);
}

long long earlier(long long a, long long b) {
  if (a == kNoDeadline) return b;
  if (b == kNoDeadline) return a;
  return a < b ? a : b;
}

void set_wait_masks(const sigset_t& any, const sigset_t& stop) {
  masks[0] = any;
  masks[1] = stop;
  have_masks = true;
}

int wait_poll(pollfd* fds, nfds_t count, long long deadline, WakeOn wake) {
  if (give_up_fd >= 0) return poll_apart(fds, count, deadline);
  int timeout_ms = ms_until(deadline);
  if (!have_masks) return poll(fds, count, timeout_ms);
  timespec timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000000L};
  int rc = ppoll(fds, count, timeout_ms < 0 ? nullptr : &timeout,
                 &masks[wake == WakeOn::kAny ? 0 : 1]);
  if (rc < 0 && errno == EINTR) interrupted = true;
  return rc;
}

void wait_apart(int fd) { give_up_fd = fd; }

bool take_interruption() {
  bool was = interrupted;
  interrupted = false;
  return was;
}
