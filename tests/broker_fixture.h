// Test support: a real mosquitto broker on a free loopback port, subscribers that see what it
// delivers, and the linecast binary run as a child process.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

struct mosquitto;
struct mosquitto_message;
typedef struct mqtt5__property mosquitto_property;

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

/// One received message. The properties come only to an MQTT 5 subscriber.
struct Message {
  std::string payload;
  int qos = 0;
  bool retained = false;
  std::string topic;
  int64_t message_expiry = -1;  // seconds left when the broker sent it; -1 when absent
  std::string content_type;     // empty when absent
  std::vector<std::pair<std::string, std::string>> user_properties;  // in their order
};

/// The libmosquitto set-up every subscriber shares: a client connected to the loopback `port`,
/// subscribed to `topic` at `qos`, on a network thread of its own. The constructor returns once
/// the broker confirmed the subscription, and throws when it cannot connect, the subscription
/// is refused or no SUBACK comes within 10 s. `on_message` runs on the network thread.
class SubscribedClient {
 public:
  using OnMessage = std::function<void(const mosquitto_message&)>;
  /// Also gets the message's MQTT 5 properties (null when it has none).
  using OnMessageWithProperties =
      std::function<void(const mosquitto_message&, const mosquitto_property*)>;
  /// With `clean` false the session (and its queue) survives a broker restart.
  SubscribedClient(int port, const std::string& topic, int qos, OnMessage on_message,
                   bool clean = true, const std::string& clientid = "");
  /// As above; with `v5` an MQTT 5 client, whose session ends with its connection whatever
  /// `clean` says (it asks for no session expiry).
  SubscribedClient(int port, const std::string& topic, int qos, OnMessageWithProperties on_message,
                   bool v5, bool clean, const std::string& clientid);
  ~SubscribedClient();
  SubscribedClient(const SubscribedClient&) = delete;
  SubscribedClient& operator=(const SubscribedClient&) = delete;

  // Used by the library callbacks.
  void message(const mosquitto_message& m, const mosquitto_property* p) { on_message_(m, p); }
  void subscribed(bool granted);

 private:
  void release();

  OnMessageWithProperties on_message_;
  mosquitto* mosq_ = nullptr;
  std::mutex mutex_;
  std::condition_variable changed_;
  enum { kWaiting, kGranted, kRefused } suback_ = kWaiting;
};

/// A subscriber that keeps every message it receives.
class Subscriber {
 public:
  /// Connects and subscribes; see SubscribedClient. With `v5` as an MQTT 5 client, which
  /// keeps each message's properties.
  Subscriber(int port, const std::string& topic, int qos, bool clean = true,
             const std::string& clientid = "", bool v5 = false);

  /// Waits until at least `count` messages arrived or `timeout_ms` passed; returns a copy.
  std::vector<Message> wait_for(size_t count, int timeout_ms);
  /// The messages so far.
  std::vector<Message> messages();
  /// Payloads only.
  std::vector<std::string> payloads(size_t count, int timeout_ms);

 private:
  void add(const mosquitto_message& m, const mosquitto_property* properties);

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Message> messages_;
  SubscribedClient client_;  // last: its network thread ends before the members above go
};

/// A program run as a child: standard input a pipe (or a given descriptor), standard output and
/// error files.
class Child {
 public:
  /// Runs linecast_bin() with `args`, its standard input a pipe written by write().
  explicit Child(const std::vector<std::string>& args);
  /// Runs `program` (looked up in PATH) with `args` and `stdin_fd` (kept open by the caller) as
  /// standard input; write and close_input then do nothing. For a wrapper such as valgrind, or
  /// an input that is not a pipe.
  Child(const std::string& program, const std::vector<std::string>& args, int stdin_fd);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  /// Writes all of `bytes` to standard input; throws when the pipe fails.
  void write(const std::string& bytes);
  /// Writes what the child reads of `bytes`; false when it ended before reading all of them.
  /// Throws on any other failure.
  bool offer(const std::string& bytes);
  void close_input();
  /// Bytes written to standard input that the child has not read yet (0 once it is closed).
  size_t unread_input() const;
  /// Sends `sig`; a child that can no longer be signalled fails the test.
  void signal(int sig);
  /// Waits for the end; returns the exit status (0-255), or 128 + signal when killed by one.
  /// Returns -1 when it is still running after `timeout_ms` (then it is killed), and also when
  /// its end cannot be learned, which fails the test.
  int wait(int timeout_ms = 20000);
  /// Whether it is still running after `ms`.
  bool still_running_after(int ms);
  std::string out() const;
  std::string err() const;
  pid_t pid() const { return pid_; }

 private:
  void start(const std::string& program, const std::vector<std::string>& args, int stdin_fd);

  std::string dir_;
  pid_t pid_ = -1;
  int input_ = -1;
  int status_ = -1;  // -1 while running (as far as we know); -2 once it could not be waited for
};

/// Runs linecast with `args` after the program name, feeds it `input`, closes its input and
/// waits for the end. Returns the exit status; `out` receives standard output.
int run_linecast(const std::vector<std::string>& args, const std::string& input, std::string* out,
                 std::string* err = nullptr);
