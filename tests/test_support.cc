// Helpers shared by the test files: the binary under test, ports, files, clocks, and the
// numbered records whose arrival the integration and fault tests check.
#include "test_support.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

sockaddr_in loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  return addr;
}

}  // namespace

std::string linecast_bin() {
  const char* other = getenv("LINECAST_TEST_BIN");
  return other != nullptr && *other != '\0' ? other : LINECAST_BIN;
}

Strings args_for(int port, const std::string& topic, Strings extra) {
  Strings args = {topic, "--host", "127.0.0.1", "--port", std::to_string(port)};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

long long monotonic_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool wait_until(const std::function<bool()>& condition, int timeout_ms) {
  for (long long deadline = monotonic_ms() + timeout_ms; !condition(); sleep_ms(10)) {
    if (monotonic_ms() > deadline) return false;
  }
  return true;
}

HeldPort::HeldPort(int port) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::runtime_error(std::string("socket: ") + strerror(errno));
  // Lets a listener that reuses the address share the port, and lets the hold begin while
  // connections that ended there linger.
  int on = 1;
  sockaddr_in addr = loopback(port);
  socklen_t len = sizeof addr;
  if (setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    int error = errno;
    close(fd_);
    throw std::runtime_error("cannot hold port " + std::to_string(port) + ": " + strerror(error));
  }
  port_ = ntohs(addr.sin_port);
}

HeldPort::~HeldPort() { close(fd_); }

int listen_on_loopback(int* port, int receive_buffer) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error(std::string("socket: ") + strerror(errno));
  // Its connections may linger after it closed; a HeldPort can then still keep the port closed.
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  // Set before listen, so that the accepted sockets inherit it.
  if (receive_buffer > 0 &&
      setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer) != 0) {
    close(fd);
    throw std::runtime_error(std::string("SO_RCVBUF: ") + strerror(errno));
  }
  sockaddr_in addr = loopback(0);
  socklen_t len = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    int error = errno;
    close(fd);
    throw std::runtime_error(std::string("no listening socket: ") + strerror(error));
  }
  *port = ntohs(addr.sin_port);
  return fd;
}

int connect_to_loopback(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr = loopback(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

void close_with_reset(int fd) {
  linger reset{1, 0};  // closing with a zero linger time sends a reset
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  close(fd);
}

bool port_accepts(int port) {
  int fd = connect_to_loopback(port);
  if (fd < 0) return false;
  close(fd);
  return true;
}

std::string make_temp_dir() {
  char templ[] = "/tmp/linecast-test-XXXXXX";
  if (mkdtemp(templ) == nullptr) throw std::runtime_error("mkdtemp failed");
  return templ;
}

void remove_tree(const std::string& dir) {
  if (dir.rfind("/tmp/linecast-test-", 0) != 0) {  // never anything else
    ADD_FAILURE() << "refusing to remove " << dir;
    return;
  }
  std::string cmd = "rm -rf '" + dir + "'";
  if (system(cmd.c_str()) != 0) ADD_FAILURE() << "could not remove " << dir;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  std::stringstream text;
  text << in.rdbuf();
  if (in.bad()) throw std::runtime_error("cannot read " + path);
  return text.str();
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string shell_quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

int run_shell(const std::string& command, std::string* out) {
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) {
    ADD_FAILURE() << "cannot run " << command << ": " << strerror(errno);
    return -1;
  }
  std::string text;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) text.append(buf, n);
  int status = pclose(p);
  if (out != nullptr) *out = text;
  if (status == -1 || !WIFEXITED(status)) {
    ADD_FAILURE() << command << " did not exit (wait status " << status << ")";
    return -1;
  }
  return WEXITSTATUS(status);
}

long peak_rss_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return strtol(line.c_str() + 6, nullptr, 10);
  }
  ADD_FAILURE() << "no peak memory for process " << pid << ": it has ended";
  return -1;
}

long cpu_time_ms(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  std::getline(in, stat);
  // The command name (the second field) may hold blanks and parentheses: the fields are
  // counted from its last closing parenthesis on. utime and stime are the 14th and 15th.
  size_t name_end = stat.rfind(')');
  std::istringstream fields(name_end == std::string::npos ? "" : stat.substr(name_end + 1));
  std::string skipped;
  for (int field = 3; field < 14; ++field) fields >> skipped;
  unsigned long long utime = 0, stime = 0;
  if (!(fields >> utime >> stime)) {
    ADD_FAILURE() << "no CPU time for process " << pid << ": it has ended";
    return -1;
  }
  return static_cast<long>((utime + stime) * 1000 / sysconf(_SC_CLK_TCK));
}

size_t count_of(const std::string& text, const std::string& line) {
  size_t n = 0;
  for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++n;
  return n;
}

std::string numbered(size_t from, size_t count, size_t width) {
  const int digits = static_cast<int>(std::min<size_t>(8, width - 1));
  std::string text;
  char number[32];
  for (size_t i = from; i < from + count; ++i) {
    snprintf(number, sizeof number, "%0*zu", digits, i);
    std::string record(number);
    record.resize(width - 1, '.');
    text += record + "\n";
  }
  return text;
}

Strings numbered_records(size_t count, size_t width) {
  Strings records;
  std::istringstream in(numbered(0, count, width));
  for (std::string line; std::getline(in, line);) records.push_back(line + "\n");
  return records;
}

void write_paced(Child& child, size_t* next, size_t count, int gap_ms) {
  for (size_t i = 0; i < count; ++i, ++*next) {
    child.write(numbered(*next, 1));
    sleep_ms(gap_ms);
  }
}

Strings without_repeats(const Strings& payloads) {
  Strings out;
  std::vector<bool> seen;
  for (const std::string& p : payloads) {
    size_t n = std::stoul(p.substr(0, 8));
    if (n >= seen.size()) seen.resize(n + 1);
    if (!seen[n]) out.push_back(p);
    seen[n] = true;
  }
  return out;
}

Strings payloads_of(const std::vector<Message>& messages) {
  Strings out;
  for (const Message& m : messages) out.push_back(m.payload);
  return out;
}

void expect_numbered(Subscriber& sub, size_t count, size_t width, const std::string& what) {
  std::vector<Message> got = sub.wait_for(count, 30000);
  ASSERT_EQ(got.size(), count) << what;
  const Strings expected = numbered_records(count, width);
  for (size_t i = 0; i < count; ++i) {
    ASSERT_EQ(got[i].payload, expected[i]) << what << " record " << i;
  }
}

bool wait_for_output(const Child& child, const std::string& line, size_t count, int timeout_ms) {
  long long deadline = monotonic_ms() + timeout_ms;
  while (count_of(child.out(), line) < count) {
    if (monotonic_ms() > deadline) return false;
    sleep_ms(10);
  }
  return true;
}

Strings distinct_payloads(Subscriber& sub, size_t count, int timeout_ms,
                          std::vector<Message>* arrived) {
  Strings got;
  std::vector<Message> all;
  for (long long deadline = monotonic_ms() + timeout_ms;
       got.size() < count && monotonic_ms() < deadline;) {
    all = sub.wait_for(all.size() + 1, 100);
    got = without_repeats(payloads_of(all));
  }
  if (arrived != nullptr) *arrived = std::move(all);
  return got;
}

Feeder::Feeder(Child& child, size_t first, size_t batch, int pace_ms) : written_(first) {
  thread_ = std::thread([this, &child, batch, pace_ms] { run(child, batch, pace_ms); });
}

size_t Feeder::finish() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  return written_;
}

void Feeder::run(Child& child, size_t batch, int pace_ms) {
  try {
    while (!stop_) {
      child.write(numbered(written_, batch, kWidth));
      written_ += batch;
      if (pace_ms > 0) sleep_ms(pace_ms);
    }
  } catch (const std::exception&) {
    broken_ = true;  // expected only where the child is told to end while it is fed
  }
}

std::string without(const std::string& text, const std::string& start) {
  std::string rest;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) {
    if ((l + "\n").rfind(start, 0) != 0) rest += l + "\n";
  }
  return rest;
}
