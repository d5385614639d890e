// Test support: starting and stopping mosquitto, subscribers, and child processes.
#include "broker_fixture.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "test_support.h"

namespace {

constexpr int kBrokerStartTimeoutMs = 20000;
constexpr int kPortAttempts = 5;
constexpr int kStillRunning = -1;
constexpr int kEndUnknown = -2;

// Waits for `pid` up to `timeout_ms`; returns the raw wait status, kStillRunning, or
// kEndUnknown when waitpid fails (which fails the test: how the process ended is unknown).
int wait_pid(pid_t pid, int timeout_ms) {
  long long deadline = monotonic_ms() + timeout_ms;
  for (;;) {
    int status = 0;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return status;
    if (done < 0 && errno != EINTR) {
      ADD_FAILURE() << "waitpid(" << pid << "): " << strerror(errno);
      return kEndUnknown;
    }
    if (monotonic_ms() >= deadline) return kStillRunning;
    sleep_ms(5);
  }
}

// The size of the file at `path`; 0 when there is none yet.
size_t file_size(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
}

// What the file at `path` holds from `offset` on; "" when there is none yet.
std::string read_file_from(const std::string& path, size_t offset) {
  std::ifstream in(path, std::ios::binary);
  if (!in.seekg(static_cast<std::streamoff>(offset))) return "";
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The exit status (0-255), or 128 + the signal that ended it.
int exit_status(int raw) { return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw); }

// Sends `sig` to `pid`; a process that is gone fails the test.
void send_signal(pid_t pid, int sig) {
  if (pid <= 0 || kill(pid, sig) != 0) {
    ADD_FAILURE() << "cannot send signal " << sig << " to " << pid << ": " << strerror(errno);
  }
}

// In a forked child: reports `what` failed on standard error and ends with status 127.
[[noreturn]] void child_failed(const char* what) {
  ssize_t ignored = ::write(2, what, strlen(what));
  (void)ignored;  // nowhere left to report it
  _exit(127);
}

// Copies the MQTT 5 properties a subscriber sees into `m`, user properties in their order.
void read_properties(const mosquitto_property* properties, Message* m) {
  for (const mosquitto_property* p = properties; p != nullptr; p = mosquitto_property_next(p)) {
    uint32_t expiry = 0;
    char* name = nullptr;
    char* value = nullptr;
    switch (mosquitto_property_identifier(p)) {
      case MQTT_PROP_MESSAGE_EXPIRY_INTERVAL:
        mosquitto_property_read_int32(p, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL, &expiry, false);
        m->message_expiry = expiry;
        break;
      case MQTT_PROP_CONTENT_TYPE:
        mosquitto_property_read_string(p, MQTT_PROP_CONTENT_TYPE, &value, false);
        if (value != nullptr) m->content_type = value;
        break;
      case MQTT_PROP_USER_PROPERTY:
        mosquitto_property_read_string_pair(p, MQTT_PROP_USER_PROPERTY, &name, &value, false);
        if (name != nullptr && value != nullptr) m->user_properties.emplace_back(name, value);
        break;
    }
    free(name);
    free(value);
  }
}

}  // namespace

BrokerFixture::BrokerFixture(const std::string& extra_config, const std::string& user,
                             const std::string& password, bool persistent,
                             const std::vector<std::string>& more_listeners)
    : dir_(make_temp_dir()) {
  std::string common;
  common += "user root\n";  // as root, keep the rights to the files in our directory
  common += "log_dest file " + dir_ + "/broker.log\n";
  common += "max_queued_messages 1000000\n";  // see the class comment
  common +=
      persistent ? "persistence true\npersistence_location " + dir_ + "/\n" : "persistence false\n";
  if (user.empty()) {
    common += "allow_anonymous true\n";
  } else {
    std::string cmd = "mosquitto_passwd -b -c '" + dir_ + "/passwd' '" + user + "' '" + password +
                      "' >/dev/null 2>&1";
    if (system(cmd.c_str()) != 0) throw std::runtime_error("mosquitto_passwd failed");
    common += "allow_anonymous false\npassword_file " + dir_ + "/passwd\n";
  }
  // Another program may take a port between its choice and mosquitto's start despite the hold
  // (one that reuses addresses): then all of them are chosen afresh.
  ports_.assign(1 + more_listeners.size(), 0);
  for (int attempt = 1;; ++attempt) {
    hold_ports();
    std::string conf = common + "listener " + port_text() + " 127.0.0.1\n" + extra_config;
    for (size_t i = 0; i < more_listeners.size(); ++i) {
      conf += "listener " + std::to_string(ports_[i + 1]) + " 127.0.0.1\n" + more_listeners[i];
    }
    write_file(dir_ + "/mosquitto.conf", conf);
    if (launch()) break;
    if (attempt == kPortAttempts) throw std::runtime_error("mosquitto found its ports taken");
    held_.clear();
    ports_.assign(1 + more_listeners.size(), 0);
  }
}

BrokerFixture::~BrokerFixture() {
  if (pid_ > 0) {
    kill(pid_, SIGCONT);
    stop();
  }
  held_.clear();
  remove_tree(dir_);
}

void BrokerFixture::hold_ports() {
  held_.clear();
  for (int& port : ports_) {
    try {
      held_.push_back(std::make_unique<HeldPort>(port));
      port = held_.back()->port();
    } catch (const std::runtime_error&) {
      // Taken since the broker let it go: start() waits until it is free again.
    }
  }
}

void BrokerFixture::start() {
  for (long long deadline = monotonic_ms() + kBrokerStartTimeoutMs; !launch(); sleep_ms(100)) {
    if (monotonic_ms() > deadline) {
      throw std::runtime_error("mosquitto found its ports taken; log: " +
                               read_file(dir_ + "/broker.log"));
    }
  }
}

bool BrokerFixture::launch() {
  const std::string log = dir_ + "/broker.log";
  const size_t logged = file_size(log);  // the log of earlier runs comes first
  const std::string conf = dir_ + "/mosquitto.conf";
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error(std::string("fork: ") + strerror(errno));
  if (pid_ == 0) {
    int null = open("/dev/null", O_RDWR);
    if (null < 0 || dup2(null, 0) < 0 || dup2(null, 1) < 0 || dup2(null, 2) < 0) _exit(127);
    execlp("mosquitto", "mosquitto", "-c", conf.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  // mosquitto says it runs once it has opened every listener.
  for (long long deadline = monotonic_ms() + kBrokerStartTimeoutMs;; sleep_ms(10)) {
    const std::string said = read_file_from(log, logged);
    if (said.find(" running\n") != std::string::npos) break;
    if (waitpid(pid_, nullptr, WNOHANG) != 0) {
      pid_ = -1;
      if (said.find("Address already in use") != std::string::npos) return false;
      throw std::runtime_error("mosquitto did not start; log: " + said);
    }
    if (monotonic_ms() > deadline) {
      stop();
      throw std::runtime_error("mosquitto did not start in time; log: " + said);
    }
  }
  held_.clear();
  return true;
}

void BrokerFixture::stop() {
  if (pid_ <= 0) return;
  send_signal(pid_, SIGTERM);
  if (wait_pid(pid_, 10000) == kStillRunning) {
    kill(pid_, SIGKILL);
    if (wait_pid(pid_, 10000) == kStillRunning) ADD_FAILURE() << "mosquitto survived SIGKILL";
  }
  pid_ = -1;
  hold_ports();
}

void BrokerFixture::freeze() { send_signal(pid_, SIGSTOP); }
void BrokerFixture::thaw() { send_signal(pid_, SIGCONT); }

void BrokerFixture::stop_while_frozen() {
  send_signal(pid_, SIGTERM);
  send_signal(pid_, SIGCONT);
  stop();
}

std::string websockets_listener_config() { return "protocol websockets\nsocket_domain ipv4\n"; }

SubscribedClient::SubscribedClient(int port, const std::string& topic, int qos,
                                   OnMessage on_message, bool clean, const std::string& clientid)
    : SubscribedClient(
          port, topic, qos,
          [on_message](const mosquitto_message& m, const mosquitto_property*) { on_message(m); },
          /*v5=*/false, clean, clientid) {}

SubscribedClient::SubscribedClient(int port, const std::string& topic, int qos,
                                   OnMessageWithProperties on_message, bool v5, bool clean,
                                   const std::string& clientid)
    : on_message_(std::move(on_message)) {
  mosquitto_lib_init();
  mosq_ = mosquitto_new(clientid.empty() ? nullptr : clientid.c_str(), clean, this);
  if (mosq_ == nullptr) {
    mosquitto_lib_cleanup();
    throw std::runtime_error("mosquitto_new failed");
  }
  mosquitto_message_v5_callback_set(
      mosq_, [](mosquitto*, void* obj, const mosquitto_message* m, const mosquitto_property* p) {
        static_cast<SubscribedClient*>(obj)->message(*m, p);
      });
  mosquitto_subscribe_callback_set(
      mosq_, [](mosquitto*, void* obj, int, int count, const int* granted) {
        // 0x80 (MQTT 5: any reason from 0x80 on) in place of a QoS: the subscription was refused.
        static_cast<SubscribedClient*>(obj)->subscribed(count == 1 && granted[0] < 0x80);
      });
  if (v5) mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
  const char* failed = nullptr;
  if (mosquitto_connect(mosq_, "127.0.0.1", port, 60) != MOSQ_ERR_SUCCESS ||
      mosquitto_subscribe(mosq_, nullptr, topic.c_str(), qos) != MOSQ_ERR_SUCCESS ||
      mosquitto_loop_start(mosq_) != MOSQ_ERR_SUCCESS) {
    failed = "subscriber could not connect";
  } else {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(10), [this] { return suback_ != kWaiting; });
    if (suback_ == kWaiting) failed = "no SUBACK";
    if (suback_ == kRefused) failed = "subscription refused";
  }
  if (failed != nullptr) {
    release();  // the destructor does not run for a constructor that throws
    throw std::runtime_error(failed);
  }
}

SubscribedClient::~SubscribedClient() { release(); }

void SubscribedClient::release() {
  mosquitto_disconnect(mosq_);
  mosquitto_loop_stop(mosq_, false);
  mosquitto_destroy(mosq_);
  mosquitto_lib_cleanup();
}

void SubscribedClient::subscribed(bool granted) {
  std::lock_guard<std::mutex> lock(mutex_);
  suback_ = granted ? kGranted : kRefused;
  changed_.notify_all();
}

Subscriber::Subscriber(int port, const std::string& topic, int qos, bool clean,
                       const std::string& clientid, bool v5)
    : client_(
          port, topic, qos,
          [this](const mosquitto_message& m, const mosquitto_property* p) { add(m, p); }, v5, clean,
          clientid) {}

void Subscriber::add(const mosquitto_message& m, const mosquitto_property* properties) {
  Message message;
  message.payload.assign(static_cast<const char*>(m.payload), static_cast<size_t>(m.payloadlen));
  message.qos = m.qos;
  message.retained = m.retain;
  message.topic = m.topic;
  read_properties(properties, &message);
  std::lock_guard<std::mutex> lock(mutex_);
  messages_.push_back(std::move(message));
  changed_.notify_all();
}

std::vector<Message> Subscriber::wait_for(size_t count, int timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                    [&] { return messages_.size() >= count; });
  return messages_;
}

std::vector<Message> Subscriber::messages() {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

std::vector<std::string> Subscriber::payloads(size_t count, int timeout_ms) {
  std::vector<std::string> out;
  for (const Message& m : wait_for(count, timeout_ms)) out.push_back(m.payload);
  return out;
}

Child::Child(const std::vector<std::string>& args) : dir_(make_temp_dir()) {
  int fds[2];
  // Close-on-exec, so that no other child (a restarted broker) holds the input open.
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  try {
    start(linecast_bin(), args, fds[0]);
  } catch (...) {
    close(fds[0]);
    close(fds[1]);
    throw;
  }
  close(fds[0]);
  input_ = fds[1];
}

Child::Child(const std::string& program, const std::vector<std::string>& args, int stdin_fd)
    : dir_(make_temp_dir()) {
  start(program, args, stdin_fd);
}

void Child::start(const std::string& program, const std::vector<std::string>& args, int stdin_fd) {
  // A child that ends before reading its input must fail the write (EPIPE), not end the test.
  ::signal(SIGPIPE, SIG_IGN);
  // The files exist before the child runs, so that out() and err() never miss them.
  int out = open((dir_ + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  int err = open((dir_ + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  std::vector<char*> argv;  // made before the fork: the child only calls what is safe there
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_ = out < 0 || err < 0 ? -1 : fork();
  if (pid_ == 0) {
    if (dup2(stdin_fd, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) child_failed("dup2\n");
    execvp(argv[0], argv.data());
    child_failed("exec failed\n");
  }
  int error = errno;
  if (out >= 0) close(out);
  if (err >= 0) close(err);
  if (pid_ < 0) {
    remove_tree(dir_);
    throw std::runtime_error("cannot start " + program + ": " + strerror(error));
  }
}

Child::~Child() {
  close_input();
  if (status_ == -1 && pid_ > 0) {
    kill(pid_, SIGKILL);
    wait_pid(pid_, 10000);
  }
  remove_tree(dir_);
}

void Child::write(const std::string& bytes) {
  if (!offer(bytes)) throw std::runtime_error("write to child failed: it has ended");
}

bool Child::offer(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(input_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EPIPE) return false;
    if (n < 0) throw std::runtime_error(std::string("write to child failed: ") + strerror(errno));
    done += static_cast<size_t>(n);
  }
  return true;
}

void Child::close_input() {
  if (input_ >= 0) close(input_);
  input_ = -1;
}

void Child::signal(int sig) { send_signal(pid_, sig); }

int Child::wait(int timeout_ms) {
  if (status_ >= 0) return status_;
  if (status_ == kEndUnknown) return -1;
  int raw = wait_pid(pid_, timeout_ms);
  if (raw == kStillRunning) {
    kill(pid_, SIGKILL);
    wait_pid(pid_, 10000);
    status_ = kEndUnknown;
    return -1;
  }
  if (raw == kEndUnknown) {
    status_ = kEndUnknown;
    return -1;
  }
  status_ = exit_status(raw);
  return status_;
}

bool Child::still_running_after(int ms) {
  sleep_ms(ms);
  if (status_ != -1) return false;
  int raw = 0;
  pid_t done = waitpid(pid_, &raw, WNOHANG);
  if (done == 0) return true;
  if (done < 0) {
    ADD_FAILURE() << "waitpid(" << pid_ << "): " << strerror(errno);
    status_ = kEndUnknown;
    return false;
  }
  status_ = exit_status(raw);
  return false;
}

size_t Child::unread_input() const {
  int unread = 0;
  if (input_ < 0) return 0;  // closed: nothing more waits for the child
  if (ioctl(input_, FIONREAD, &unread) != 0) {
    ADD_FAILURE() << "FIONREAD on the child's input: " << strerror(errno);
  }
  return static_cast<size_t>(unread);
}

bool Child::catches(int sig) const {
  std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("SigCgt:", 0) == 0) {
      return (std::stoull(line.substr(7), nullptr, 16) >> (sig - 1) & 1) != 0;
    }
  }
  return false;
}

std::string Child::out() const { return read_file(dir_ + "/out"); }
std::string Child::err() const { return read_file(dir_ + "/err"); }

int run_linecast(const std::vector<std::string>& args, const std::string& input, std::string* out,
                 std::string* err) {
  Child child(args);
  // A child may end without reading its input, as when it cannot connect: its status and
  // output tell the rest.
  child.offer(input);
  child.close_input();
  int status = child.wait();
  if (out != nullptr) *out = child.out();
  if (err != nullptr) *err = child.err();
  return status;
}
