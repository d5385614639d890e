// Bytes to and from the broker over the plain socket or the TLS connection that libmosquitto
// set up: one output queue written in large blocks, input read in bulk, and the wait in
// poll() through which the stop signals come in.
#pragma once

#include <poll.h>

#include <cstddef>
#include <string>

typedef struct ssl_st SSL;

/// Queued output is written once it reaches kFlushBytes; publishing waits while more than
/// kOutLimitBytes are still unwritten: large writes, bounded memory.
constexpr size_t kFlushBytes = 64 * 1024;
constexpr size_t kOutLimitBytes = 256 * 1024;
constexpr size_t kInBytes = 16 * 1024;

struct Transport {
  int fd = -1;          // -1 while there is no connection
  SSL* ssl = nullptr;   // TLS only; owned by the library that made the connection
  bool broken = false;  // the connection failed or was closed
  std::string out;      // whole packets, written from `sent` on
  size_t sent = 0;
  size_t whole = 0;  // start of the first packet not wholly written; never after `sent`
  unsigned char in[kInBytes];
  size_t in_len = 0;
  bool write_wants_read = false;  // TLS: a write waits for the socket to become readable
  bool write_blocked = false;     // the last write found the socket full: wait for POLLOUT
};

/// Takes over a connection. Output queued while there was none stays queued, to go first.
void transport_open(Transport& t, int fd, SSL* ssl);

/// Forgets the connection (it is closed by whoever made it). Queued output stays.
void transport_close(Transport& t);

inline bool transport_open_now(const Transport& t) { return t.fd >= 0 && !t.broken; }
inline size_t transport_unwritten(const Transport& t) { return t.out.size() - t.sent; }

/// Drops written packets from the front of the queue when `more` bytes would make it grow, so
/// that with a broker that never quite catches up they do not pile up behind the unwritten.
void transport_make_room(Transport& t, size_t more);

/// What one transport_flush did.
struct FlushResult {
  bool wrote = false;          // some bytes left
  bool publish_bytes = false;  // some of them belonged to PUBLISH packets
  size_t qos0_publishes = 0;   // QoS 0 PUBLISH packets that went out whole
};

/// Writes as much queued output as the connection takes now. A failed write sets `broken`; a
/// socket found full is not tried again until transport_writable.
FlushResult transport_flush(Transport& t);

/// poll() found room for output on the socket.
inline void transport_writable(Transport& t) { t.write_blocked = false; }

/// Reads what the connection has now into `in`, as far as it has room. Returns false, with
/// `broken` set, when the connection is closed or failed.
bool transport_read(Transport& t);

/// Sends the TCP acknowledgement of what was read at once instead of delayed. For when no
/// output will carry it soon: a broker that batches its small writes (Nagle) waits for it
/// before it sends more, and a delayed one stalls a waiting publisher for tens of ms.
void transport_ack_now(const Transport& t);

/// The poll() events to wait for on `fd`.
short transport_events(const Transport& t);

/// Whether the TLS layer holds input that poll() cannot see.
bool transport_has_buffered_input(const Transport& t);

/// After the connection is lost: the queued packets of which no byte was written, in order.
/// `*cut` becomes the first byte of a packet that was partly written, 0 when there is none.
/// The queue is empty afterwards.
std::string transport_take_unsent(Transport& t, unsigned char* cut);
