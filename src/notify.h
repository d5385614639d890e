// Telling systemd how the service is: readiness, status, stopping, and the watchdog's pings,
// which go only while the run is sound, so that a run wedged on a live connection is restarted.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstdint>
#include <string>

/// Where notifications go and what the watchdog has seen. Sends nothing when NOTIFY_SOCKET is
/// absent or unusable. Owns its socket.
struct Notifier {
  int fd = -1;
  sockaddr_un address{};
  socklen_t address_len = 0;
  long long watchdog_ms = 0;  // WATCHDOG_USEC in ms; 0 when systemd watches no time
  long long next_ping_ms = 0;
  bool stopping = false;
  // The watchdog's view: the settled count last seen, and when the run was last seen sound.
  uint64_t settled = 0;
  long long sound_ms = 0;

  Notifier() = default;
  ~Notifier();
  Notifier(const Notifier&) = delete;
  Notifier& operator=(const Notifier&) = delete;
};

/// Sets `n` up from the environment (NOTIFY_SOCKET: a path, or an abstract name after '@';
/// WATCHDOG_USEC, and WATCHDOG_PID when it names this process) at `now` on the clock of wait.h.
void notify_open(Notifier* n, long long now);

/// Whether notifications go anywhere.
inline bool notify_active(const Notifier& n) { return n.fd >= 0; }

/// Sends one datagram of "KEY=value" lines. A full or vanished socket loses it: the run never
/// waits for systemd.
void notify_send(const Notifier& n, const std::string& message);

/// Sends STOPPING=1, once.
void notify_stopping(Notifier& n);

/// What the watchdog looks at on each turn of the loop: whether the broker has accepted the
/// connection, whether records wait to be handed over, and how many have settled so far.
struct Health {
  bool connected = false;
  bool waiting = false;
  uint64_t settled = 0;
};

/// Notes the run's health at `now`: it is sound while it is not connected (the attempts go on),
/// has nothing waiting, or has settled a record since the last look.
void watchdog_observe(Notifier& n, const Health& h, long long now);

/// Whether the run was seen sound within the last watchdog interval.
bool watchdog_sound(const Notifier& n, long long now);

/// Sends WATCHDOG=1 when a ping is due and the run is sound. Returns when the next is due,
/// kNoDeadline when systemd watches no time.
long long watchdog_tick(Notifier& n, long long now);
