// Go-betweens for the network-fault tests: a TCP relay to a real broker that can hold, cut or
// refuse its connections, and minimal SOCKS5 and HTTP CONNECT proxies.
#include "proxies.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include "test_support.h"

namespace {

constexpr int kPollMs = 20;  // how soon the accepting threads see that they should end
constexpr size_t kChunk = 65536;

// Waits up to kPollMs for a connection on `listener`; -1 when none came.
int accept_one(int listener) {
  pollfd p{listener, POLLIN, 0};
  if (poll(&p, 1, kPollMs) <= 0) return -1;
  return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

}  // namespace

Splicer::Splicer() {
  if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("pipe failed");
  thread_ = std::thread([this] { run(); });
}

Splicer::~Splicer() {
  request([this] { stopping_ = true; });
  thread_.join();
  for (Pair& pair : pairs_) {
    close(pair.fd[0]);
    close(pair.fd[1]);
  }
  close(wake_[0]);
  close(wake_[1]);
}

template <typename Change>
void Splicer::request(Change change) {
  std::unique_lock<std::mutex> lock(mutex_);
  change();
  const unsigned long ticket = ++requested_;
  char byte = 0;
  if (write(wake_[1], &byte, 1) < 0 && errno != EAGAIN) throw std::runtime_error("wake failed");
  changed_.wait(lock, [&] { return seen_ >= ticket; });
}

void Splicer::add(int client, int server) {
  // Forwarded at once, as the two ends wrote it: Nagle's wait for an acknowledgement would hold
  // small packets (a PUBREL, a PUBCOMP) a delayed ACK long, which no direct link does.
  const int on = 1;
  for (int fd : {client, server}) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
  request([&] {
    incoming_.push_back(Pair{{client, server}, {}, {false, false}, {false, false}, {}, 0});
  });
}

void Splicer::hold(bool held) {
  request([&] { held_ = held; });
}

void Splicer::cut(bool reset) {
  request([&] {
    cut_ = true;
    cut_reset_ = reset;
  });
}

void Splicer::split_server_reads(int ms) {
  request([&] { split_ms_ = ms; });
}

int Splicer::release_held() {
  int next = -1;
  for (Pair& pair : pairs_) {
    if (pair.held.empty()) continue;
    long long left = pair.held_until_ms - monotonic_ms();
    if (left <= 0) {
      pair.pending[1] += pair.held;
      pair.held.clear();
      ++bytes_released_;
    } else if (next < 0 || left < next) {
      next = static_cast<int>(left);
    }
  }
  return next;
}

// Moves bytes for `side` of `pair` as `revents` allow: reads what it sent, writes what the other
// side sent. False when the pair must be closed with resets.
bool Splicer::forward(Pair& pair, int side, short revents, int split_ms) {
  const int other = 1 - side;
  if ((revents & (POLLIN | POLLHUP | POLLERR)) && !pair.ended[side] && pair.pending[side].empty() &&
      (side == 0 || pair.held.empty())) {
    char buf[kChunk];
    ssize_t n = read(pair.fd[side], buf, sizeof buf);
    if (n > 0) pair.pending[side].assign(buf, static_cast<size_t>(n));
    if (n > 0 && side == 1 && split_ms > 0) {
      pair.held = pair.pending[side].substr(static_cast<size_t>(n) - 1);
      pair.pending[side].pop_back();
      pair.held_until_ms = monotonic_ms() + split_ms;
      ++bytes_held_;
    }
    if (n == 0) pair.ended[side] = true;
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
  }
  if ((revents & (POLLOUT | POLLHUP | POLLERR)) && !pair.pending[other].empty()) {
    std::string& out = pair.pending[other];
    ssize_t n = send(pair.fd[side], out.data(), out.size(), MSG_NOSIGNAL);
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    if (n > 0) out.erase(0, static_cast<size_t>(n));
  }
  return true;
}

void Splicer::run() {
  for (;;) {
    bool held;
    int split_ms;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) {
        seen_ = requested_;
        changed_.notify_all();
        return;
      }
      for (Pair& pair : incoming_) pairs_.push_back(pair);
      incoming_.clear();
      if (cut_) {
        for (Pair& pair : pairs_) {
          for (int fd : pair.fd) cut_reset_ ? close_with_reset(fd) : static_cast<void>(close(fd));
        }
        pairs_.clear();
        cut_ = false;
      }
      held = held_;
      split_ms = split_ms_;
      seen_ = requested_;
      changed_.notify_all();
    }
    const int timeout_ms = release_held();
    // One entry per side of each pair after the wake-up pipe; a side with nothing to do is left
    // out (fd -1), so that a hang-up there does not wake the loop again and again.
    std::vector<pollfd> polled = {{wake_[0], POLLIN, 0}};
    for (Pair& pair : pairs_) {
      for (int side : {0, 1}) {
        short events = 0;
        if (!held && !pair.ended[side] && pair.pending[side].empty() &&
            (side == 0 || pair.held.empty())) {
          events |= POLLIN;
        }
        if (!held && !pair.pending[1 - side].empty()) events |= POLLOUT;
        polled.push_back({events != 0 ? pair.fd[side] : -1, events, 0});
      }
    }
    if (poll(polled.data(), polled.size(), timeout_ms) < 0) continue;
    char drain[64];
    while (read(wake_[0], drain, sizeof drain) > 0) {
    }
    std::vector<Pair> kept;
    for (size_t i = 0; i < pairs_.size(); ++i) {
      Pair& pair = pairs_[i];
      bool ok = forward(pair, 0, polled[1 + 2 * i].revents, split_ms) &&
                forward(pair, 1, polled[2 + 2 * i].revents, split_ms);
      for (int side : {0, 1}) {
        // an end is passed on once what came before it is written
        if (ok && pair.ended[side] && pair.pending[side].empty() && !pair.passed_on[side]) {
          shutdown(pair.fd[1 - side], SHUT_WR);
          pair.passed_on[side] = true;
        }
      }
      if (!ok) {
        close_with_reset(pair.fd[0]);
        close_with_reset(pair.fd[1]);
      } else if (pair.passed_on[0] && pair.passed_on[1]) {
        close(pair.fd[0]);
        close(pair.fd[1]);
      } else {
        kept.push_back(std::move(pair));
      }
    }
    pairs_ = std::move(kept);
  }
}

TcpRelay::TcpRelay(int target_port) : target_port_(target_port) {
  listener_ = listen_on_loopback(&port_);
  thread_ = std::thread([this] { accept_loop(); });
}

TcpRelay::~TcpRelay() {
  stopping_ = true;
  thread_.join();
  close(listener_);
}

void TcpRelay::accept_loop() {
  while (!stopping_) {
    int client = accept_one(listener_);
    if (client < 0) continue;
    if (refusing_) {
      close(client);
      continue;
    }
    int server = connect_to_loopback(target_port_);
    if (server < 0) {  // the broker is down: so is the relay
      close_with_reset(client);
      continue;
    }
    ++connections_;
    splicer_.add(client, server);
  }
}

Socks5Proxy::Socks5Proxy(Socks5Options options) : options_(std::move(options)) {
  listener_ = listen_on_loopback(&port_);
  thread_ = std::thread([this] { accept_loop(); });
}

Socks5Proxy::~Socks5Proxy() {
  stopping_ = true;
  thread_.join();
  close(listener_);
}

std::vector<Socks5Request> Socks5Proxy::requests() {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void Socks5Proxy::accept_loop() {
  while (!stopping_) {
    int fd = accept_one(listener_);
    if (fd < 0) continue;
    // A client that stops talking mid-handshake does not hold the proxy for long.
    timeval timeout{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    Socks5Request request = handshake(fd);
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
  }
}

namespace {

// Reads exactly `n` bytes; empty when the client ended or was silent too long.
std::string read_exactly(int fd, size_t n) {
  std::string got(n, '\0');
  for (size_t done = 0; done < n;) {
    ssize_t r = read(fd, &got[done], n - done);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return "";
    done += static_cast<size_t>(r);
  }
  return got;
}

bool send_all(int fd, const std::string& bytes) {
  return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

// `text` in base64, as Basic credentials carry it.
std::string base64_text(const std::string& text) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < text.size(); i += 3) {
    unsigned bits = static_cast<uint8_t>(text[i]) << 16;
    if (i + 1 < text.size()) bits |= static_cast<uint8_t>(text[i + 1]) << 8;
    if (i + 2 < text.size()) bits |= static_cast<uint8_t>(text[i + 2]);
    for (size_t k = 0; k < 4; ++k) {
      out += i + k <= text.size() ? kDigits[(bits >> (18 - 6 * k)) & 0x3F] : '=';
    }
  }
  return out;
}

uint8_t byte_at(const std::string& s, size_t i) { return static_cast<uint8_t>(s[i]); }

// The loopback IPv4 address `host` names, or 0 when it names none.
in_addr_t loopback_address(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return 0;
  in_addr_t address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(found);
  return (ntohl(address) >> 24) == 127 ? address : 0;
}

// A CONNECT reply with `code`; the bound address is left 0.0.0.0:0.
std::string reply(int code) {
  return std::string{5, static_cast<char>(code), 0, 1, 0, 0, 0, 0, 0, 0};
}

}  // namespace

// Serves one handshake (RFC 1928, with RFC 1929 user/password when configured). On success
// the connection goes to the splicer; otherwise it is closed.
Socks5Request Socks5Proxy::handshake(int fd) {
  Socks5Request request;
  const int wanted = options_.user.empty() ? 0 : 2;
  std::string head = read_exactly(fd, 2);  // version, number of methods
  std::string methods = head.size() == 2 ? read_exactly(fd, byte_at(head, 1)) : "";
  if (head.empty() || head[0] != 5 ||
      methods.find(static_cast<char>(wanted)) == std::string::npos) {
    send_all(fd, std::string{5, static_cast<char>(0xff)});
    close(fd);
    return request;
  }
  request.method = wanted;
  send_all(fd, std::string{5, static_cast<char>(wanted)});
  if (wanted == 2) {
    std::string version_and_length = read_exactly(fd, 2);
    if (version_and_length.size() == 2) {
      request.user = read_exactly(fd, byte_at(version_and_length, 1));
    }
    std::string length = read_exactly(fd, 1);
    std::string password = length.size() == 1 ? read_exactly(fd, byte_at(length, 0)) : "";
    const bool ok = request.user == options_.user && password == options_.password;
    send_all(fd, std::string{1, static_cast<char>(ok ? 0 : 1)});
    if (!ok) {
      close(fd);
      return request;
    }
  }
  std::string head4 = read_exactly(fd, 4);  // version, command, reserved, address type
  if (head4.size() == 4 && head4[3] == 1) {
    std::string a = read_exactly(fd, 4);
    if (a.size() == 4) {
      request.host = std::to_string(byte_at(a, 0)) + "." + std::to_string(byte_at(a, 1)) + "." +
                     std::to_string(byte_at(a, 2)) + "." + std::to_string(byte_at(a, 3));
    }
  } else if (head4.size() == 4 && head4[3] == 3) {
    std::string length = read_exactly(fd, 1);
    if (length.size() == 1) request.host = read_exactly(fd, byte_at(length, 0));
  }
  std::string port = read_exactly(fd, 2);
  if (port.size() == 2) request.port = byte_at(port, 0) << 8 | byte_at(port, 1);
  int server = -1;
  if (head4.size() != 4 || port.size() != 2 || head4[0] != 5) {
    request.reply = 1;  // general failure
  } else if (head4[1] != 1) {
    request.reply = 7;  // command not supported
  } else if (head4[3] != 1 && head4[3] != 3) {
    request.reply = 8;  // address type not supported
  } else if (options_.refuse) {
    request.reply = 5;  // connection refused
  } else if (options_.target_port == 0 && loopback_address(request.host) == 0) {
    request.reply = 2;  // not allowed: tests reach nothing but this machine
  } else {
    server = connect_to_loopback(options_.target_port != 0 ? options_.target_port : request.port);
    request.reply = server < 0 ? 5 : 0;
  }
  if (!send_all(fd, reply(request.reply)) || request.reply != 0) {
    if (server >= 0) close(server);
    close(fd);
    return request;
  }
  splicer_.add(fd, server);
  return request;
}

HttpProxy::HttpProxy(HttpProxyOptions options) : options_(std::move(options)) {
  listener_ = listen_on_loopback(&port_);
  thread_ = std::thread([this] { accept_loop(); });
}

HttpProxy::~HttpProxy() {
  stopping_ = true;
  thread_.join();
  close(listener_);
}

std::vector<std::string> HttpProxy::requests() {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void HttpProxy::accept_loop() {
  while (!stopping_) {
    int fd = accept_one(listener_);
    if (fd < 0) continue;
    timeval timeout{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::string request = handshake(fd);
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
  }
}

namespace {

// The request head up to its blank line, a byte at a time; empty when the client ended first.
std::string read_head(int fd) {
  std::string head;
  while (head.size() < 8192 && (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n"))) {
    std::string byte = read_exactly(fd, 1);
    if (byte.empty()) return "";
    head += byte;
  }
  return head;
}

}  // namespace

// Serves one request: the canned answer, a 407, a 403 for anything but a loopback port, or
// "200" and the relay.
std::string HttpProxy::handshake(int fd) {
  std::string head = options_.answer_at_once ? read_exactly(fd, 1) : read_head(fd);
  std::string line = head.substr(0, head.find("\r\n"));
  std::string answer = options_.canned_answer;
  int server = -1;
  if (answer.empty() && !options_.user.empty() &&
      head.find("\r\nProxy-Authorization: Basic " +
                base64_text(options_.user + ":" + options_.password) + "\r\n") ==
          std::string::npos) {
    answer = "HTTP/1.1 407 Proxy Authentication Required\r\n\r\n";
  }
  size_t colon = line.rfind(':');
  if (answer.empty() && line.compare(0, 18, "CONNECT 127.0.0.1:") == 0 && colon != line.npos) {
    server = connect_to_loopback(atoi(line.c_str() + colon + 1));
    answer = server < 0 ? "HTTP/1.1 502 Bad Gateway\r\n\r\n" : "HTTP/1.1 200 OK\r\n\r\n";
  }
  if (answer.empty()) answer = "HTTP/1.1 403 Forbidden\r\n\r\n";
  if (!send_all(fd, answer) || server < 0) {
    if (server >= 0) close(server);
    close(fd);
    return line;
  }
  splicer_.add(fd, server);
  return line;
}
