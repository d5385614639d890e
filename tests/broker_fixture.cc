// Test support: starting and stopping mosquitto, a recording subscriber, and child processes.
#include "broker_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

constexpr int kBrokerStartTimeoutMs = 10000;

int free_loopback_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(fd);
    throw std::runtime_error("no free port");
  }
  close(fd);
  return ntohs(addr.sin_port);
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Waits for `pid` up to `timeout_ms`; returns the raw wait status or -1 if it is still running.
int wait_pid(pid_t pid, int timeout_ms) {
  long long deadline = monotonic_ms() + timeout_ms;
  for (;;) {
    int status = 0;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return status;
    if (done < 0 && errno != EINTR) return 0;
    if (monotonic_ms() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace

bool port_accepts(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

long long monotonic_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string make_temp_dir() {
  char templ[] = "/tmp/linecast-test-XXXXXX";
  if (mkdtemp(templ) == nullptr) throw std::runtime_error("mkdtemp failed");
  return templ;
}

void remove_tree(const std::string& dir) {
  if (dir.rfind("/tmp/linecast-test-", 0) != 0) return;  // never anything else
  std::string cmd = "rm -rf '" + dir + "'";
  if (system(cmd.c_str()) != 0) perror("rm");
}

BrokerFixture::BrokerFixture(const std::string& extra_config, const std::string& user,
                             const std::string& password, bool persistent)
    : dir_(make_temp_dir()), port_(free_loopback_port()) {
  std::string conf;
  conf += "user root\n";  // as root, keep the rights to the files in our directory
  conf += "log_dest file " + dir_ + "/broker.log\n";
  conf += "log_type all\n";
  conf +=
      persistent ? "persistence true\npersistence_location " + dir_ + "/\n" : "persistence false\n";
  conf += "listener " + std::to_string(port_) + " 127.0.0.1\n";
  if (user.empty()) {
    conf += "allow_anonymous true\n";
  } else {
    std::string cmd = "mosquitto_passwd -b -c '" + dir_ + "/passwd' '" + user + "' '" + password +
                      "' >/dev/null 2>&1";
    if (system(cmd.c_str()) != 0) throw std::runtime_error("mosquitto_passwd failed");
    conf += "allow_anonymous false\npassword_file " + dir_ + "/passwd\n";
  }
  conf += extra_config;
  write_file(dir_ + "/mosquitto.conf", conf);
  start();
}

BrokerFixture::~BrokerFixture() {
  if (pid_ > 0) {
    kill(pid_, SIGCONT);
    stop();
  }
  remove_tree(dir_);
}

void BrokerFixture::start() {
  pid_ = fork();
  if (pid_ == 0) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    std::string conf = dir_ + "/mosquitto.conf";
    execlp("mosquitto", "mosquitto", "-c", conf.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  long long deadline = monotonic_ms() + kBrokerStartTimeoutMs;
  while (!port_accepts(port_)) {
    if (monotonic_ms() > deadline || waitpid(pid_, nullptr, WNOHANG) == pid_) {
      throw std::runtime_error("mosquitto did not start; log: " + read_file(dir_ + "/broker.log"));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void BrokerFixture::stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  if (wait_pid(pid_, 10000) == -1) {
    kill(pid_, SIGKILL);
    wait_pid(pid_, 10000);
  }
  pid_ = -1;
}

void BrokerFixture::freeze() { kill(pid_, SIGSTOP); }
void BrokerFixture::thaw() { kill(pid_, SIGCONT); }

namespace {

void on_sub_message(mosquitto*, void* obj, const mosquitto_message* m) {
  Message message;
  message.payload.assign(static_cast<const char*>(m->payload), static_cast<size_t>(m->payloadlen));
  message.qos = m->qos;
  message.retained = m->retain;
  static_cast<Subscriber*>(obj)->add(std::move(message));
}

void on_sub_subscribe(mosquitto*, void* obj, int, int, const int*) {
  static_cast<Subscriber*>(obj)->subscribed();
}

}  // namespace

Subscriber::Subscriber(int port, const std::string& topic, int qos, bool clean,
                       const std::string& clientid) {
  mosquitto_lib_init();
  mosq_ = mosquitto_new(clientid.empty() ? nullptr : clientid.c_str(), clean, this);
  if (mosq_ == nullptr) throw std::runtime_error("mosquitto_new failed");
  mosquitto_message_callback_set(mosq_, on_sub_message);
  mosquitto_subscribe_callback_set(mosq_, on_sub_subscribe);
  if (mosquitto_connect(mosq_, "127.0.0.1", port, 60) != MOSQ_ERR_SUCCESS ||
      mosquitto_subscribe(mosq_, nullptr, topic.c_str(), qos) != MOSQ_ERR_SUCCESS ||
      mosquitto_loop_start(mosq_) != MOSQ_ERR_SUCCESS) {
    throw std::runtime_error("subscriber could not connect");
  }
  std::unique_lock<std::mutex> lock(mutex_);
  if (!changed_.wait_for(lock, std::chrono::seconds(10), [this] { return subscribed_; })) {
    throw std::runtime_error("no SUBACK");
  }
}

Subscriber::~Subscriber() {
  mosquitto_disconnect(mosq_);
  mosquitto_loop_stop(mosq_, false);
  mosquitto_destroy(mosq_);
  mosquitto_lib_cleanup();
}

void Subscriber::add(Message message) {
  std::lock_guard<std::mutex> lock(mutex_);
  messages_.push_back(std::move(message));
  changed_.notify_all();
}

void Subscriber::subscribed() {
  std::lock_guard<std::mutex> lock(mutex_);
  subscribed_ = true;
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
  std::string out = dir_ + "/out";
  std::string err = dir_ + "/err";
  pid_ = fork();
  if (pid_ == 0) {
    dup2(fds[0], 0);
    close(fds[0]);
    close(fds[1]);
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(o, 1);
    dup2(e, 2);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(LINECAST_BIN));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(LINECAST_BIN, argv.data());
    _exit(127);
  }
  close(fds[0]);
  input_ = fds[1];
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
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(input_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw std::runtime_error("write to child failed");
    done += static_cast<size_t>(n);
  }
}

void Child::close_input() {
  if (input_ >= 0) close(input_);
  input_ = -1;
}

void Child::signal(int sig) { kill(pid_, sig); }

int Child::wait(int timeout_ms) {
  if (status_ != -1) return status_;
  int raw = wait_pid(pid_, timeout_ms);
  if (raw == -1) {
    kill(pid_, SIGKILL);
    wait_pid(pid_, 10000);
    status_ = -2;
    return -1;
  }
  status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  return status_;
}

bool Child::still_running_after(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  if (status_ != -1) return false;
  int raw = 0;
  if (waitpid(pid_, &raw, WNOHANG) == 0) return true;
  status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  return false;
}

std::string Child::out() const { return read_file(dir_ + "/out"); }
std::string Child::err() const { return read_file(dir_ + "/err"); }

int run_linecast(const std::vector<std::string>& args, const std::string& input, std::string* out,
                 std::string* err) {
  Child child(args);
  child.write(input);
  child.close_input();
  int status = child.wait();
  if (out != nullptr) *out = child.out();
  if (err != nullptr) *err = child.err();
  return status;
}

Child::Child(const std::string& program, const std::vector<std::string>& args, int stdin_fd)
    : dir_(make_temp_dir()) {
  std::string out = dir_ + "/out";
  std::string err = dir_ + "/err";
  pid_ = fork();
  if (pid_ == 0) {
    dup2(stdin_fd, 0);
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(o, 1);
    dup2(e, 2);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(program.c_str(), argv.data());
    _exit(127);
  }
}

long peak_rss_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

void BrokerFixture::stop_while_frozen() {
  kill(pid_, SIGTERM);
  kill(pid_, SIGCONT);
  stop();
}
