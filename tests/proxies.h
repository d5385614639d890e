// Go-betweens for the network-fault tests: a TCP relay to a real broker that can hold, cut or
// refuse its connections, and minimal SOCKS5 and HTTP CONNECT proxies. All forward to
// loopback ports only.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

/// Copies bytes both ways between pairs of connected sockets, on a thread of its own. An end
/// (FIN) is passed on once what came before it is written; an error on either side closes the
/// pair with resets.
class Splicer {
 public:
  Splicer();
  /// Closes every pair still open.
  ~Splicer();
  Splicer(const Splicer&) = delete;
  Splicer& operator=(const Splicer&) = delete;

  /// Takes over both sockets.
  void add(int client, int server);
  /// While held nothing is read or written either way; the connections stay open and what the
  /// peers send piles up unread. Takes effect before it returns.
  void hold(bool held);
  /// Closes every current pair with resets (SO_LINGER 0); returns once they are closed.
  void cut();
  /// When `ms` > 0, of each read from a server it passes on all but the last byte at once and
  /// that byte `ms` later: a TLS record split on the wire. 0 turns this off.
  void split_server_reads(int ms);
  /// Bytes held back so far, and those of them passed on.
  int bytes_held() const { return bytes_held_; }
  int bytes_released() const { return bytes_released_; }

 private:
  struct Pair {
    int fd[2];               // 0: client, 1: server
    std::string pending[2];  // read from fd[i], not yet written to the other side
    bool ended[2];           // fd[i] sent its FIN
    bool passed_on[2];       // ... and the other side has been shut for writing
    std::string held;        // the server's last byte, held back until held_until_ms
    long long held_until_ms;
  };
  void run();
  /// Changes the shared state under the lock, wakes the loop and waits until it has seen it.
  template <typename Change>
  void request(Change change);
  bool forward(Pair& pair, int side, short revents, int split_ms);
  /// Passes on the bytes held back whose time came; returns the ms until the next one, or -1.
  int release_held();

  int wake_[2] = {-1, -1};
  std::mutex mutex_;
  std::condition_variable changed_;
  unsigned long requested_ = 0;  // requests made
  unsigned long seen_ = 0;       // requests the loop has taken in
  std::vector<Pair> incoming_;
  bool held_ = false;
  bool cut_ = false;
  bool stopping_ = false;
  int split_ms_ = 0;
  std::atomic<int> bytes_held_{0};
  std::atomic<int> bytes_released_{0};
  std::vector<Pair> pairs_;  // the loop's own
  std::thread thread_;       // last: started once the members above exist
};

/// Listens on a free loopback port and forwards every connection to the loopback
/// `target_port` (a real broker): the network between client and broker, with faults on
/// demand.
class TcpRelay {
 public:
  explicit TcpRelay(int target_port);
  ~TcpRelay();
  TcpRelay(const TcpRelay&) = delete;
  TcpRelay& operator=(const TcpRelay&) = delete;

  int port() const { return port_; }
  /// A half-open link: nothing is forwarded either way, the connections stay open.
  void hold() { splicer_.hold(true); }
  void resume() { splicer_.hold(false); }
  /// Closes every current connection abruptly, with resets to both sides.
  void cut() { splicer_.cut(); }
  /// See Splicer::split_server_reads.
  void split_server_reads(int ms) { splicer_.split_server_reads(ms); }
  const Splicer& splicer() const { return splicer_; }
  /// While refusing, new connections are accepted and closed at once.
  void refuse(bool refusing) { refusing_ = refusing; }
  /// Connections accepted and forwarded so far.
  int connections() const { return connections_; }

 private:
  void accept_loop();

  int target_port_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> refusing_{false};
  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0};
  Splicer splicer_;
  std::thread thread_;
};

struct Socks5Options {
  /// With a user name, only user/password authentication (method 2) with exactly these is
  /// accepted; without one, only "no authentication" (method 0).
  std::string user;
  std::string password;
  /// Answers every CONNECT with 0x05, connection refused.
  bool refuse = false;
  /// When not 0, connects to this loopback port whatever the client asked for; else to the
  /// address asked for, which must be a loopback one.
  int target_port = 0;
};

/// What one client asked a Socks5Proxy for.
struct Socks5Request {
  int method = -1;   ///< the authentication method chosen: 0 none, 2 user/password; -1 none fit
  std::string user;  ///< as the client sent it with method 2
  std::string host;  ///< dotted IPv4 address or domain name, as asked for
  int port = 0;
  int reply = -1;  ///< the reply code sent to the CONNECT (0 success); -1 when none was sent
};

/// A SOCKS5 proxy on a free loopback port, CONNECT only (address types IPv4 and domain name),
/// that relays both ways once connected. Handshakes are served one at a time.
class Socks5Proxy {
 public:
  explicit Socks5Proxy(Socks5Options options = {});
  ~Socks5Proxy();
  Socks5Proxy(const Socks5Proxy&) = delete;
  Socks5Proxy& operator=(const Socks5Proxy&) = delete;

  int port() const { return port_; }
  /// One entry per connection whose handshake ended, in order.
  std::vector<Socks5Request> requests();

 private:
  void accept_loop();
  Socks5Request handshake(int fd);

  Socks5Options options_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::vector<Socks5Request> requests_;
  Splicer splicer_;
  std::thread thread_;
};

struct HttpProxyOptions {
  /// With a user name, CONNECT needs Basic credentials with exactly these, else 407.
  std::string user;
  std::string password;
  /// When not empty, every request head is answered with these bytes and the connection
  /// closed: a server that refuses (an HTTP 404 to a WebSocket upgrade) or talks nonsense.
  std::string canned_answer;
  /// The canned answer goes as soon as a first byte comes, not after a whole request head: an
  /// HTTP server meeting another protocol.
  bool answer_at_once = false;
};

/// An HTTP proxy on a free loopback port, CONNECT to loopback ports only, relaying both ways
/// once connected. Handshakes are served one at a time.
class HttpProxy {
 public:
  explicit HttpProxy(HttpProxyOptions options = {});
  ~HttpProxy();
  HttpProxy(const HttpProxy&) = delete;
  HttpProxy& operator=(const HttpProxy&) = delete;

  int port() const { return port_; }
  /// The request line of each request whose handshake ended, in order.
  std::vector<std::string> requests();

 private:
  void accept_loop();
  std::string handshake(int fd);

  HttpProxyOptions options_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::vector<std::string> requests_;
  Splicer splicer_;
  std::thread thread_;
};
