// The bottom of the chain: name resolution that a stop request or the deadline cuts short, and
// a non-blocking TCP connection to the first address that answers.
#pragma once

#include <memory>
#include <string>

#include "net/connect.h"
#include "net/layer.h"

/// A connected TCP socket (non-blocking, close-on-exec, TCP_NODELAY). It keeps no bytes of its
/// own: pending() is false and events() 0.
class TcpLayer : public Layer {
 public:
  /// Takes over `fd`.
  explicit TcpLayer(int fd) : fd_(fd) {}
  ~TcpLayer() override;
  TcpLayer(const TcpLayer&) = delete;
  TcpLayer& operator=(const TcpLayer&) = delete;

  ssize_t send(const unsigned char* data, size_t len) override;
  /// The end of the stream is -1 with errno ECONNRESET, as a connection closed.
  ssize_t recv(unsigned char* into, size_t room) override;
  bool pending() const override { return false; }
  short events() const override { return 0; }
  int fd() const override { return fd_; }

 private:
  int fd_;
};

/// Resolves `host` and connects to `port` on each of its addresses in turn until one accepts,
/// all by `deadline`, binding first to `bind_address` when it is set. Returns kNone with the
/// layer in `*layer`, or why it failed: kHostNotFound, kRefused, kTimeout, kInterrupted (a
/// stop request came during a wait), kOther.
[[nodiscard]] ConnectFailure tcp_connect(const std::string& host, int port,
                                         const char* bind_address, long long deadline,
                                         std::unique_ptr<Layer>* layer);
