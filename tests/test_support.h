// Helpers shared by the test files: the binary under test, ports, files, clocks, and the
// numbered records whose arrival the integration and fault tests check.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "broker_fixture.h"

using Strings = std::vector<std::string>;

/// The linecast binary the tests run: $LINECAST_TEST_BIN when set and not empty, else the one
/// this tree built. Lets the suite run against another build of linecast.
std::string linecast_bin();

/// Arguments for publishing to `topic` on the loopback broker at `port`, then `extra`.
Strings args_for(int port, const std::string& topic, Strings extra = {});

void sleep_ms(int ms);

/// Milliseconds on a monotonic clock.
long long monotonic_ms();

/// Checks `condition` every 10 ms until it holds; false when it still does not after
/// `timeout_ms`.
bool wait_until(const std::function<bool()>& condition, int timeout_ms);

/// A loopback port kept closed: a socket bound to it that does not listen. Connections to it
/// are refused, and no other socket gets the port while it is held, except a listener that
/// asks to reuse the address (as mosquitto's and `openssl s_server`'s do): a program started on
/// a held port can open it while nothing else can take it first.
class HeldPort {
 public:
  /// Holds a free loopback port, or `port` when not 0. Throws when it cannot be had.
  explicit HeldPort(int port = 0);
  ~HeldPort();
  HeldPort(const HeldPort&) = delete;
  HeldPort& operator=(const HeldPort&) = delete;

  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

/// A listening socket (close-on-exec) on a free loopback port, stored in `*port`. With
/// `receive_buffer` > 0, accepted connections get a receive buffer of that many bytes. Throws
/// when it cannot listen.
int listen_on_loopback(int* port, int receive_buffer = 0);

/// A socket connected to the loopback `port`, or -1 (errno set).
int connect_to_loopback(int port);

/// Closes `fd` with a reset (RST) instead of the orderly end (FIN).
void close_with_reset(int fd);

/// Whether something accepts TCP connections on the loopback `port` now.
bool port_accepts(int port);

/// A new directory under /tmp (throws when none can be made); remove_tree removes it with its
/// contents, and fails the test when it cannot (it runs in destructors: it does not throw).
std::string make_temp_dir();
void remove_tree(const std::string& dir);

/// A directory of the test's own, removed with it.
struct TempDir {
  const std::string path = make_temp_dir();
  ~TempDir() { remove_tree(path); }
};

/// The whole file. Throws when it cannot be opened or read.
std::string read_file(const std::string& path);
/// Creates or replaces the file. Throws when it cannot be written.
void write_file(const std::string& path, const std::string& bytes);

/// `text` in single quotes for sh.
std::string shell_quoted(const std::string& text);

/// Runs `command` with sh -c and returns its exit status; `out` (when given) receives its
/// standard output. A command that cannot be started or waited for, or that a signal ends,
/// fails the test and gives -1.
int run_shell(const std::string& command, std::string* out = nullptr);

/// Peak resident memory (VmHWM) of the running process `pid` in KiB. A process that is gone
/// (or a zombie) fails the test and gives -1.
long peak_rss_kib(pid_t pid);

/// CPU time (user and system) the process `pid` has used so far, in ms, at the kernel's tick
/// granularity. A process that is gone fails the test and gives -1.
long cpu_time_ms(pid_t pid);

/// The peak memory allowed to the plain build with records of the default size, however fast
/// the input and however slow the broker.
inline constexpr long kPeakRssKib = 8 * 1024;

/// `text` without its lines that begin with `start` (a whole line when it ends in "\n").
std::string without(const std::string& text, const std::string& start);

/// How often `line` occurs in `text`.
size_t count_of(const std::string& text, const std::string& line);

/// `count` records of `width` bytes numbered from `from`: the number zero-padded to
/// min(8, width - 1) digits, dots up to `width` - 1 bytes, and a line feed.
std::string numbered(size_t from, size_t count, size_t width = 9);
/// The same records numbered from 0, one string each.
Strings numbered_records(size_t count, size_t width = 9);

/// Writes `count` numbered records to `child` one at a time, `gap_ms` apart, numbered from
/// `*next`, which moves past them: a stream the broker meets record by record.
void write_paced(Child& child, size_t* next, size_t count, int gap_ms);

/// The first arrival of each numbered payload (8 digits), in arrival order: what
/// at-least-once delivery must still get right.
Strings without_repeats(const Strings& payloads);

Strings payloads_of(const std::vector<Message>& messages);

/// Waits up to 30 s until `sub` has `count` messages, and checks they are exactly
/// numbered_records(count, width), in order; `what` names the case in a failure.
void expect_numbered(Subscriber& sub, size_t count, size_t width, const std::string& what);

/// Waits until the child's standard output holds `line` `count` times; false after
/// `timeout_ms`.
bool wait_for_output(const Child& child, const std::string& line, size_t count, int timeout_ms);

/// The first arrival of each numbered record once `count` different ones came, or what came
/// within `timeout_ms`; `*arrived` (when given) receives every arrival, repeats included.
Strings distinct_payloads(Subscriber& sub, size_t count, int timeout_ms,
                          std::vector<Message>* arrived = nullptr);

/// Writes numbered records of kWidth bytes to `child` from a thread of its own until told to
/// stop: `batch` records at a time, as fast as the child reads them, then `pace_ms` of rest.
/// Numbers from `first`; a write blocks while the pipe is full.
class Feeder {
 public:
  static constexpr size_t kWidth = 100;

  Feeder(Child& child, size_t first, size_t batch, int pace_ms = 0);
  ~Feeder() { finish(); }
  Feeder(const Feeder&) = delete;
  Feeder& operator=(const Feeder&) = delete;

  /// The number after the last record written.
  size_t written() const { return written_; }
  bool finished() const { return stop_; }
  /// Whether a write failed: the child stopped reading its input for good.
  bool broken() const { return broken_; }
  /// Stops after the batch in progress; returns written().
  size_t finish();

 private:
  void run(Child& child, size_t batch, int pace_ms);
  std::atomic<bool> stop_{false};
  std::atomic<bool> broken_{false};
  std::atomic<size_t> written_{0};
  std::thread thread_;  // last: started once the members above exist
};
