// connect_broker on a thread of its own, ended by a byte in a pipe.
#include "net/attempt.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <system_error>
#include <thread>

#include "wait.h"

struct ConnectAttempt {
  ConnectRequest request;
  long long deadline = 0;
  int ended_fds[2] = {-1, -1};    // a byte once the attempt has ended
  int give_up_fds[2] = {-1, -1};  // a byte when the owner gives it up
  std::atomic<bool> ended{false};
  bool made = false;
  Connection connection;
  ConnectError error;
  std::thread thread;
  ~ConnectAttempt() {
    for (int fd : {ended_fds[0], ended_fds[1], give_up_fds[0], give_up_fds[1]}) {
      if (fd >= 0) close(fd);
    }
  }
};

namespace {

void run_attempt(ConnectAttempt* a) {
  wait_apart(a->give_up_fds[0]);
  a->made = connect_broker(a->request, a->deadline, &a->connection, &a->error);
  a->ended.store(true, std::memory_order_release);
  char byte = 1;
  ssize_t ignored = write(a->ended_fds[1], &byte, 1);  // the pipe cannot be full
  (void)ignored;
}

}  // namespace

void ConnectAttemptDeleter::operator()(ConnectAttempt* attempt) const {
  if (attempt->thread.joinable()) {
    char byte = 1;
    ssize_t ignored = write(attempt->give_up_fds[1], &byte, 1);
    (void)ignored;
    attempt->thread.join();
  }
  delete attempt;
}

ConnectAttemptPtr start_attempt(const ConnectRequest& request, long long deadline) {
  ConnectAttemptPtr a(new ConnectAttempt);
  a->request = request;
  a->deadline = deadline;
  if (pipe2(a->ended_fds, O_CLOEXEC) != 0 || pipe2(a->give_up_fds, O_CLOEXEC) != 0) return nullptr;
  // The thread starts with every signal blocked, and its waits keep them so.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  try {
    a->thread = std::thread(run_attempt, a.get());
  } catch (const std::system_error&) {
    a = nullptr;
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return a;
}

int attempt_fd(const ConnectAttempt& attempt) { return attempt.ended_fds[0]; }

bool attempt_ended(const ConnectAttempt& attempt) {
  return attempt.ended.load(std::memory_order_acquire);
}

bool attempt_result(ConnectAttempt& attempt, Connection* connection, ConnectError* error) {
  if (attempt.thread.joinable()) attempt.thread.join();
  *connection = std::move(attempt.connection);
  *error = attempt.error;
  return attempt.made;
}
