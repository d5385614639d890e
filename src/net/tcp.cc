// Name resolution on a thread of its own, and the non-blocking TCP connect.
#include "net/tcp.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <system_error>
#include <thread>

#include "wait.h"

namespace {

// One lookup, shared by the caller and the thread that runs getaddrinfo: whichever lets go
// last frees it, so a caller that gives up (stop request, deadline) frees nothing in use.
struct Lookup {
  std::string host;
  std::string service;
  int passive = 0;  // AI_PASSIVE for the local address to bind to
  int pipe_fds[2] = {-1, -1};
  std::atomic<bool> done{false};
  int rc = 0;
  addrinfo* result = nullptr;
  ~Lookup() {
    if (result != nullptr) freeaddrinfo(result);
    for (int fd : pipe_fds) {
      if (fd >= 0) close(fd);
    }
  }
};

void run_lookup(std::shared_ptr<Lookup> lookup) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = lookup->passive | (lookup->service.empty() ? 0 : AI_NUMERICSERV);
  lookup->rc =
      getaddrinfo(lookup->host.c_str(), lookup->service.empty() ? nullptr : lookup->service.c_str(),
                  &hints, &lookup->result);
  lookup->done.store(true, std::memory_order_release);
  char byte = 1;
  ssize_t ignored = write(lookup->pipe_fds[1], &byte, 1);  // the pipe cannot be full
  (void)ignored;
}

// Starts the lookup thread with every signal blocked, so that none is ever delivered to it:
// the signals are the main thread's to take in its waits.
bool start_lookup(const std::shared_ptr<Lookup>& lookup) {
  if (pipe2(lookup->pipe_fds, O_CLOEXEC) != 0) return false;
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  bool started = true;
  try {
    std::thread(run_lookup, lookup).detach();
  } catch (const std::system_error&) {
    started = false;
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return started;
}

ConnectFailure lookup_failure(int rc) {
  return rc == EAI_SYSTEM || rc == EAI_MEMORY ? ConnectFailure::kOther
                                              : ConnectFailure::kHostNotFound;
}

// Resolves `host` (and `service` when not empty) by `deadline`. On kNone `*out` owns the
// lookup whose result lists the addresses.
ConnectFailure resolve(const std::string& host, const std::string& service, int passive,
                       long long deadline, std::shared_ptr<Lookup>* out) {
  auto lookup = std::make_shared<Lookup>();
  lookup->host = host;
  lookup->service = service;
  lookup->passive = passive;
  if (!start_lookup(lookup)) return ConnectFailure::kOther;
  pollfd p{lookup->pipe_fds[0], POLLIN, 0};
  while (!lookup->done.load(std::memory_order_acquire)) {
    int rc = wait_poll(&p, 1, deadline, WakeOn::kStop);
    if (rc == 0) return ConnectFailure::kTimeout;
    if (rc < 0) return errno == EINTR ? ConnectFailure::kInterrupted : ConnectFailure::kOther;
  }
  if (lookup->rc != 0) return lookup_failure(lookup->rc);
  *out = std::move(lookup);
  return ConnectFailure::kNone;
}

int socket_error(int fd) {
  int err = 0;
  socklen_t len = sizeof err;
  return getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 ? err : errno;
}

// A local address of `family` among `local`, or null.
const addrinfo* of_family(const addrinfo* local, int family) {
  for (; local != nullptr; local = local->ai_next) {
    if (local->ai_family == family) return local;
  }
  return nullptr;
}

// Connects a new socket to `to` by `deadline`. Returns the socket, or -1 with the reason in
// `*failure` (errno of the last step in `*err`).
int connect_one(const addrinfo* to, const addrinfo* from, long long deadline,
                ConnectFailure* failure, int* err) {
  *failure = ConnectFailure::kOther;
  int fd = socket(to->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return *err = errno, -1;
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  *err = 0;
  if (from != nullptr && bind(fd, from->ai_addr, from->ai_addrlen) != 0) {
    *err = errno;
  } else if (connect(fd, to->ai_addr, to->ai_addrlen) != 0 && errno != EINPROGRESS) {
    *err = errno;
  } else {
    pollfd p{fd, POLLOUT, 0};
    int rc;
    while ((rc = wait_poll(&p, 1, deadline, WakeOn::kStop)) < 0 && errno == EINTR) {
    }
    if (rc == 0) *failure = ConnectFailure::kTimeout;
    if (rc > 0) *err = socket_error(fd);
    if (rc > 0 && *err == 0) return fd;
  }
  if (*err == ECONNREFUSED) *failure = ConnectFailure::kRefused;
  close(fd);
  return -1;
}

}  // namespace

TcpLayer::~TcpLayer() {
  if (fd_ >= 0) close(fd_);
}

ssize_t TcpLayer::send(const unsigned char* data, size_t len) {
  if (len == 0) return 0;
  for (;;) {
    ssize_t n = ::send(fd_, data, len, MSG_NOSIGNAL);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  }
}

ssize_t TcpLayer::recv(unsigned char* into, size_t room) {
  for (;;) {
    ssize_t n = ::recv(fd_, into, room, 0);
    if (n > 0) return n;
    if (n == 0) {
      errno = ECONNRESET;
      return -1;
    }
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  }
}

ConnectFailure tcp_connect(const std::string& host, int port, const char* bind_address,
                           long long deadline, std::unique_ptr<Layer>* layer) {
  std::shared_ptr<Lookup> remote, local;
  ConnectFailure failure = resolve(host, std::to_string(port), 0, deadline, &remote);
  if (failure == ConnectFailure::kNone && bind_address != nullptr) {
    failure = resolve(bind_address, "", AI_PASSIVE, deadline, &local);
  }
  if (failure != ConnectFailure::kNone) return failure;
  failure = ConnectFailure::kHostNotFound;  // stays so when no address fits the local one
  for (const addrinfo* to = remote->result; to != nullptr; to = to->ai_next) {
    const addrinfo* from = local != nullptr ? of_family(local->result, to->ai_family) : nullptr;
    if (local != nullptr && from == nullptr) continue;
    int err = 0;
    int fd = connect_one(to, from, deadline, &failure, &err);
    if (fd >= 0) {
      layer->reset(new TcpLayer(fd));
      return ConnectFailure::kNone;
    }
    if (failure == ConnectFailure::kTimeout || failure == ConnectFailure::kInterrupted) break;
  }
  return failure;
}
