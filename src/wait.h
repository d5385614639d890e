// The one wait of the program: poll() under the signal mask that lets requests in, against
// deadlines on one monotonic clock.
#pragma once

#include <poll.h>
#include <signal.h>

/// Milliseconds on a monotonic clock: every deadline of the program is on it.
long long now_ms();

/// A deadline that never comes.
constexpr long long kNoDeadline = -1;

/// Milliseconds from now until `deadline`, as poll() takes them: 0 once it has passed, -1 for
/// kNoDeadline.
int ms_until(long long deadline);

/// The earlier of two deadlines, either of which may be kNoDeadline.
long long earlier(long long a, long long b);

/// Which signals may end a wait: every one the program handles, or only those that ask it to
/// stop (a connection attempt is not cut short for a counters request).
enum class WakeOn { kAny, kStop };

/// The masks waits run under, one for each WakeOn; set once by main. Outside waits the
/// handled signals stay blocked, so that none slips in between a test of its flag and the
/// wait that would miss it. Before this is called, waits run under the caller's mask.
void set_wait_masks(const sigset_t& any, const sigset_t& stop);

/// poll() until `deadline` under the mask for `wake`. Returns what poll returns: the count of
/// ready descriptors, 0 once the deadline has passed, -1 with errno EINTR when a signal came
/// (the wait is interrupted: the caller returns to whoever owns the stop request), or -1 with
/// another errno when poll failed.
int wait_poll(pollfd* fds, nfds_t count, long long deadline, WakeOn wake = WakeOn::kAny);

/// For a thread other than the main one (a connection attempt made apart): its waits run under
/// its own signal mask, so that every signal stays the main thread's to take, and end as at
/// their deadline once `give_up_fd` is readable.
void wait_apart(int give_up_fd);

/// Whether a signal interrupted a wait since the last call: for a caller whose waits went on
/// after a signal (a connection attempt runs its course) and must still come back to whoever
/// owns the request.
bool take_interruption();
