// The systemd notification protocol (sd_notify(3)): one datagram of "KEY=value" lines to the
// Unix socket NOTIFY_SOCKET names. It is a handful of lines, stable for a decade and documented
// as an interface; libsystemd would add a dependency, and a library to ship where systemd is
// absent, for what those lines do.
#include "notify.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "wait.h"

namespace {

// A number from the environment, or 0 when absent or not a positive decimal.
long long env_number(const char* name) {
  const char* text = getenv(name);
  if (text == nullptr || *text == '\0') return 0;
  char* end = nullptr;
  long long n = strtoll(text, &end, 10);
  return *end == '\0' && n > 0 ? n : 0;
}

}  // namespace

Notifier::~Notifier() {
  if (fd >= 0) close(fd);
}

void notify_open(Notifier* n, long long now) {
  const char* path = getenv("NOTIFY_SOCKET");
  if (path == nullptr) return;
  size_t len = strlen(path);
  if (len < 2 || len >= sizeof n->address.sun_path || (path[0] != '/' && path[0] != '@')) return;
  n->address.sun_family = AF_UNIX;
  memcpy(n->address.sun_path, path, len);
  if (path[0] == '@') n->address.sun_path[0] = '\0';  // an abstract name: no terminating zero
  n->address_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len);
  n->fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (n->fd < 0) return;
  long long pid = env_number("WATCHDOG_PID");
  if (pid == 0 || pid == getpid()) n->watchdog_ms = env_number("WATCHDOG_USEC") / 1000;
  n->next_ping_ms = now;
  n->sound_ms = now;
}

void notify_send(const Notifier& n, const std::string& message) {
  if (n.fd < 0) return;
  (void)sendto(n.fd, message.data(), message.size(), MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr*>(&n.address), n.address_len);
}

void notify_stopping(Notifier& n) {
  if (n.stopping) return;
  n.stopping = true;
  notify_send(n, "STOPPING=1");
}

void watchdog_observe(Notifier& n, const Health& h, long long now) {
  if (!h.connected || !h.waiting || h.settled != n.settled) n.sound_ms = now;
  n.settled = h.settled;
}

bool watchdog_sound(const Notifier& n, long long now) { return now - n.sound_ms < n.watchdog_ms; }

long long watchdog_tick(Notifier& n, long long now) {
  if (n.fd < 0 || n.watchdog_ms <= 0) return kNoDeadline;
  if (now >= n.next_ping_ms) {
    if (watchdog_sound(n, now)) notify_send(n, "WATCHDOG=1");
    n.next_ping_ms = now + n.watchdog_ms / 2;
  }
  return n.next_ping_ms;
}
