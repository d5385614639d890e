// Test support: a real mosquitto broker on a free loopback port, subscribers that see what it
// delivers, and the linecast binary run as a child process.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

struct mosquitto;
struct mosquitto_message;
typedef struct mqtt5__property mosquitto_property;

/// Config lines for brokers whose log a test reads: every message type, debug included. The
/// stock log (errors to information) costs less and says why a broker did not start.
inline constexpr char kLogEverything[] = "log_type all\n";

class HeldPort;

/// A mosquitto of its own: config, password file and persistence in a temporary directory.
/// Started by the constructor, stopped by the destructor. Its ports are held (HeldPort) while
/// it starts and while it is stopped, so that no other test takes them meanwhile.
///
/// Every broker keeps a deep queue for each subscriber (max_queued_messages 1000000), so that
/// a subscriber that only verifies delivery never loses messages to a full queue: with the
/// stock limit of 1,000 a burst a lagging subscriber has not taken is dropped, a loss that is
/// not linecast's. The setting bounds only what the broker queues for subscribers; linecast's
/// own connection meets the stock in-flight limit (max_inflight_messages 20) throughout. Not 0
/// (unlimited): mosquitto 2.0.11 then drops the connection of a client whose record it refuses
/// (ACL, message_size_limit) instead of answering with the reason and keeping it.
class BrokerFixture {
 public:
  /// `extra_config` lines are appended to the main listener's config. With a user name,
  /// anonymous clients are refused and only that user with that password gets in. Each of
  /// `more_listeners` is the config of one more loopback listener on a port of its own.
  explicit BrokerFixture(const std::string& extra_config = "", const std::string& user = "",
                         const std::string& password = "", bool persistent = false,
                         const std::vector<std::string>& more_listeners = {});
  ~BrokerFixture();
  BrokerFixture(const BrokerFixture&) = delete;
  BrokerFixture& operator=(const BrokerFixture&) = delete;

  int port() const { return ports_[0]; }
  std::string port_text() const { return std::to_string(port()); }
  /// The port of more_listeners[i].
  int listener_port(size_t i) const { return ports_.at(i + 1); }
  const std::string& dir() const { return dir_; }
  /// Stops gracefully (SIGTERM) and waits for the process to end; then holds its ports, which
  /// refuse connections until start().
  void stop();
  /// Starts again on the same ports; returns once every listener accepts connections. A port
  /// taken meanwhile is tried again until it is free. Throws when the broker does not start.
  void start();
  /// Freezes (SIGSTOP) or thaws (SIGCONT) the broker process.
  void freeze();
  void thaw();
  /// Stops a frozen broker gracefully: the stop request is already pending when it runs again,
  /// so it ends at once instead of first catching up with what clients sent meanwhile.
  void stop_while_frozen();

 private:
  /// Runs mosquitto once. True once it runs with every listener open; false when it ended
  /// because a port was taken. Throws on any other failure.
  bool launch();
  void hold_ports();

  std::string dir_;
  std::vector<int> ports_;
  std::vector<std::unique_ptr<HeldPort>> held_;  // while the broker does not listen
  pid_t pid_ = -1;
};

/// The body of a WebSocket listener for BrokerFixture's `more_listeners`: mosquitto 2.0.11
/// serves WebSocket beside a plain listener, and only on IPv4 when told so.
std::string websockets_listener_config();

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
  /// Sends `sig`; a child that can no longer be signalled fails the test.
  void signal(int sig);
  /// Waits for the end; returns the exit status (0-255), or 128 + signal when killed by one.
  /// Returns -1 when it is still running after `timeout_ms` (then it is killed), and also when
  /// its end cannot be learned, which fails the test.
  int wait(int timeout_ms = 20000);
  /// Whether it is still running after `ms`.
  bool still_running_after(int ms);
  /// Bytes written to standard input that the child has not read yet (0 once it is closed).
  size_t unread_input() const;
  /// Whether the child has a handler for `sig` installed now (a handler that restores the
  /// default action no longer counts once it ran). False once the child is gone.
  bool catches(int sig) const;
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
