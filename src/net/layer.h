// One layer of a connection to the broker: TCP at the bottom, then optionally a proxy tunnel,
// TLS and WebSocket. The session's data path runs over the top layer.
#pragma once

#include <sys/types.h>

#include <cstddef>

/// Each layer owns what it created (socket, SSL object, the layer below) and the bytes it
/// holds. `send` takes what it can: the count taken (0 when it would block), -1 when the
/// connection is gone (errno set); a layer that keeps bytes of its own to write (a frame half
/// written) writes them first at the next call, and `send(nullptr, 0)` only does that. `recv`
/// returns the bytes read, 0 when none are ready yet, -1 when the connection is closed or
/// failed.
struct Layer {
  virtual ~Layer() = default;
  virtual ssize_t send(const unsigned char* data, size_t len) = 0;
  virtual ssize_t recv(unsigned char* into, size_t room) = 0;
  /// Decoded bytes wait inside the layer: recv before polling again.
  virtual bool pending() const = 0;
  /// What the socket must become for the layer's own progress, beyond POLLIN for new input:
  /// POLLOUT while it holds bytes to write, POLLIN while a write waits for a read (TLS).
  virtual short events() const = 0;
  /// The socket to poll.
  virtual int fd() const = 0;
  /// Of the bytes `send` took, how many have not gone to the layer below yet: they are lost
  /// with the connection, so the caller must not count them as written.
  virtual size_t unwritten() const { return 0; }
};
