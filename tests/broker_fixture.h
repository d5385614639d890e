// Test support: a real mosquitto broker on a free loopback port, a subscriber that records what
// it receives, and the linecast binary run as a child process.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

struct mosquitto;

/// A mosquitto of its own: config, password file and persistence in a temporary directory.
/// Started by the constructor, stopped by the destructor.
class BrokerFixture {
 public:
  /// `extra_config` lines are appended to the listener's config. With a user name, anonymous
  /// clients are refused and only that user with that password gets in.
  explicit BrokerFixture(const std::string& extra_config = "", const std::string& user = "",
                         const std::string& password = "", bool persistent = false);
  ~BrokerFixture();
  BrokerFixture(const BrokerFixture&) = delete;
  BrokerFixture& operator=(const BrokerFixture&) = delete;

  int port() const { return port_; }
  std::string port_text() const { return std::to_string(port_); }
  const std::string& dir() const { return dir_; }
  /// Stops gracefully (SIGTERM) and waits for the process to end.
  void stop();
  /// Starts again on the same port; returns once it accepts connections.
  void start();
  /// Freezes (SIGSTOP) or thaws (SIGCONT) the broker process.
  void freeze();
  void thaw();
  /// Stops a frozen broker gracefully: the stop request is already pending when it runs again,
  /// so it ends at once instead of first catching up with what clients sent meanwhile.
  void stop_while_frozen();

 private:
  std::string dir_;
  int port_ = 0;
  pid_t pid_ = -1;
};

/// One received message.
struct Message {
  std::string payload;
  int qos = 0;
  bool retained = false;
};

/// A subscriber on its own network thread that keeps every message it receives.
class Subscriber {
 public:
  /// Connects and subscribes; returns once the broker has confirmed the subscription. With
  /// `clean` false the session (and its queue) survives a broker restart.
  Subscriber(int port, const std::string& topic, int qos, bool clean = true,
             const std::string& clientid = "");
  ~Subscriber();
  Subscriber(const Subscriber&) = delete;
  Subscriber& operator=(const Subscriber&) = delete;

  /// Waits until at least `count` messages arrived or `timeout_ms` passed; returns a copy.
  std::vector<Message> wait_for(size_t count, int timeout_ms);
  /// The messages so far.
  std::vector<Message> messages();
  /// Payloads only.
  std::vector<std::string> payloads(size_t count, int timeout_ms);

  // Used by the library callbacks.
  void add(Message message);
  void subscribed();

 private:
  mosquitto* mosq_ = nullptr;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Message> messages_;
  bool subscribed_ = false;
};

/// The linecast binary as a child: standard input a pipe, standard output and error files.
class Child {
 public:
  explicit Child(const std::vector<std::string>& args);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  void write(const std::string& bytes);
  void close_input();
  void signal(int sig);
  /// Waits for the end; returns the exit status (0-255), 128 + signal when killed by one, or -1
  /// when it is still running after `timeout_ms` (then it is killed).
  int wait(int timeout_ms = 20000);
  /// Whether it is still running after `ms`.
  bool still_running_after(int ms);
  std::string out() const;
  std::string err() const;
  pid_t pid() const { return pid_; }

  /// Runs `program` with `args` and `stdin_fd` (kept open by the caller) as standard input;
  /// write and close_input then do nothing. For a wrapper such as valgrind, or an input that is
  /// not a pipe.
  Child(const std::string& program, const std::vector<std::string>& args, int stdin_fd);

 private:
  std::string dir_;
  pid_t pid_ = -1;
  int input_ = -1;
  int status_ = -1;
};

/// Runs linecast with `args` after the program name, feeds it `input`, closes its input and
/// waits for the end. Returns the exit status; `out` receives standard output.
int run_linecast(const std::vector<std::string>& args, const std::string& input, std::string* out,
                 std::string* err = nullptr);

/// A new directory under /tmp; remove_tree removes it with its contents.
std::string make_temp_dir();
void remove_tree(const std::string& dir);

/// Whether something accepts TCP connections on the loopback `port` now.
bool port_accepts(int port);

/// Milliseconds on a monotonic clock.
long long monotonic_ms();

/// Peak resident memory (VmHWM) of the running process `pid` in KiB, or -1 when it is gone.
long peak_rss_kib(pid_t pid);
