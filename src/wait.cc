// poll() under the wait masks, and the program's clock.
#include "wait.h"

#include <cerrno>
#include <chrono>

namespace {

sigset_t masks[2];
bool have_masks = false;
bool interrupted = false;
int hook_fd = -1;
bool (*hook)() = nullptr;
// A connection attempt waits on one descriptor; the hook is not offered to longer lists.
constexpr nfds_t kMostHookedFds = 4;

int poll_masked(pollfd* fds, nfds_t count, long long deadline, WakeOn wake) {
  int timeout_ms = ms_until(deadline);
  if (!have_masks) return poll(fds, count, timeout_ms);
  timespec timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000000L};
  int rc = ppoll(fds, count, timeout_ms < 0 ? nullptr : &timeout,
                 &masks[wake == WakeOn::kAny ? 0 : 1]);
  if (rc < 0 && errno == EINTR) interrupted = true;
  return rc;
}

// The caller's descriptors and the input: the input is taken care of here, and the wait goes
// on until one of the caller's is ready or the deadline passes.
int poll_with_input(pollfd* fds, nfds_t count, long long deadline) {
  pollfd all[kMostHookedFds + 1];
  for (nfds_t i = 0; i < count; ++i) all[i] = fds[i];
  all[count] = {hook_fd, POLLIN, 0};
  bool watch = true;
  for (;;) {
    int rc = poll_masked(all, watch ? count + 1 : count, deadline, WakeOn::kStop);
    if (rc > 0 && watch && all[count].revents != 0) {
      --rc;
      all[count].revents = 0;
      watch = hook();
      if (rc == 0) continue;
    }
    for (nfds_t i = 0; i < count; ++i) fds[i].revents = all[i].revents;
    return rc;
  }
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
  if (wake == WakeOn::kStop && hook != nullptr && count <= kMostHookedFds) {
    return poll_with_input(fds, count, deadline);
  }
  return poll_masked(fds, count, deadline, wake);
}

void set_input_hook(int fd, bool (*take)()) {
  hook_fd = fd;
  hook = take;
}

bool take_interruption() {
  bool was = interrupted;
  interrupted = false;
  return was;
}
