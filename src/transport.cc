// The byte stream to and from the broker, plain or TLS.
#include "transport.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "mqtt_packets.h"

namespace {

// Writes once. Returns the bytes written, 0 when the connection takes nothing now, -1 when it
// failed.
long write_some(Transport& t) {
  const char* data = t.out.data() + t.sent;
  size_t len = t.out.size() - t.sent;
  if (t.ssl == nullptr) {
    for (;;) {
      ssize_t n = send(t.fd, data, len, MSG_NOSIGNAL);
      if (n >= 0) return n;
      if (errno == EINTR) continue;
      t.write_blocked = errno == EAGAIN || errno == EWOULDBLOCK;
      return t.write_blocked ? 0 : -1;
    }
  }
  int n = SSL_write(t.ssl, data, static_cast<int>(std::min<size_t>(len, INT_MAX)));
  if (n > 0) return n;
  switch (SSL_get_error(t.ssl, n)) {
    case SSL_ERROR_WANT_WRITE:
      t.write_blocked = true;
      return 0;
    case SSL_ERROR_WANT_READ:
      t.write_wants_read = true;
      return 0;
    default:
      ERR_clear_error();
      return -1;
  }
}

// Reads once into the free part of `in`. Returns the bytes read, 0 when nothing is there now,
// -1 when the connection is closed or failed.
long read_some(Transport& t) {
  unsigned char* into = t.in + t.in_len;
  size_t room = kInBytes - t.in_len;
  if (t.ssl == nullptr) {
    for (;;) {
      ssize_t n = recv(t.fd, into, room, 0);
      if (n > 0) return n;
      if (n == 0) return -1;
      if (errno == EINTR) continue;
      return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
  }
  int n = SSL_read(t.ssl, into, static_cast<int>(room));
  if (n > 0) return n;
  switch (SSL_get_error(t.ssl, n)) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
      return 0;  // the queued output is written at the next flush
    default:
      ERR_clear_error();
      return -1;
  }
}

}  // namespace

void transport_open(Transport& t, int fd, SSL* ssl) {
  t.fd = fd;
  t.ssl = ssl;
  t.broken = false;
  t.in_len = 0;
  t.write_wants_read = false;
  t.write_blocked = false;
  if (ssl != nullptr) {
    // SSL_get_error needs an empty error queue before each call. Only failures fill it, and
    // each failure empties it again, so it is emptied here once rather than before every
    // read and write: with one TLS record per acknowledgement that was a tenth of the CPU.
    ERR_clear_error();
    // Partial writes, and a queue that may move between a write and its retry.
    SSL_set_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // A broker sends each acknowledgement in a TLS record of its own: without read-ahead every
    // one costs two reads (header, then body) instead of sharing one with its neighbours.
    SSL_set_read_ahead(ssl, 1);
  }
}

void transport_close(Transport& t) {
  t.fd = -1;
  t.ssl = nullptr;
  t.in_len = 0;
}

void transport_make_room(Transport& t, size_t more) {
  if (t.whole == 0 || t.out.size() + more <= t.out.capacity()) return;
  t.out.erase(0, t.whole);
  t.sent -= t.whole;
  t.whole = 0;
}

FlushResult transport_flush(Transport& t) {
  FlushResult result;
  const size_t before = t.sent;
  while (transport_open_now(t) && !t.write_blocked && t.sent < t.out.size()) {
    long n = write_some(t);
    if (n < 0) t.broken = true;
    if (n <= 0) break;
    t.sent += static_cast<size_t>(n);
  }
  result.wrote = t.sent > before;
  // Walk the packets this write reached: those it finished move `whole` on.
  while (result.wrote && t.whole < t.sent) {
    const auto* packet = reinterpret_cast<const unsigned char*>(t.out.data() + t.whole);
    size_t size = packet_size(packet, t.out.size() - t.whole);
    if (size == 0) break;
    if ((packet[0] & 0xF0) == kPublishType && t.whole + size > before) result.publish_bytes = true;
    if (t.whole + size > t.sent) break;
    if ((packet[0] & 0xF6) == kPublishType) ++result.qos0_publishes;  // QoS bits 0
    t.whole += size;
  }
  if (t.sent == t.out.size()) {
    t.out.clear();
    t.sent = t.whole = 0;
    if (t.out.capacity() > 4 * kOutLimitBytes) std::string().swap(t.out);  // after a huge record
  }
  return result;
}

bool transport_read(Transport& t) {
  bool read_any = false;
  while (transport_open_now(t) && t.in_len < kInBytes) {
    size_t room = kInBytes - t.in_len;
    long n = read_some(t);
    if (n < 0) t.broken = true;
    if (n <= 0) break;
    t.in_len += static_cast<size_t>(n);
    read_any = true;
    // A short plain read has emptied the socket: asking again would only say so.
    if (t.ssl == nullptr && static_cast<size_t>(n) < room) break;
  }
  if (read_any) t.write_wants_read = false;
  return !t.broken;
}

void transport_ack_now(const Transport& t) {
  int on = 1;
  if (transport_open_now(t)) setsockopt(t.fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

short transport_events(const Transport& t) {
  bool writing = t.sent < t.out.size() && !t.write_wants_read;
  return static_cast<short>(POLLIN | (writing ? POLLOUT : 0));
}

bool transport_has_buffered_input(const Transport& t) {
  return t.ssl != nullptr && transport_open_now(t) && SSL_has_pending(t.ssl) != 0;
}

std::string transport_take_unsent(Transport& t, unsigned char* cut) {
  *cut = 0;
  // Walk from the first packet not wholly written to the first of which nothing was written.
  size_t at = t.whole;
  while (at < t.sent) {
    size_t size =
        packet_size(reinterpret_cast<const unsigned char*>(t.out.data() + at), t.out.size() - at);
    if (size == 0) break;
    if (at + size > t.sent) *cut = static_cast<unsigned char>(t.out[at]);
    at += size;
  }
  std::string unsent = at < t.out.size() ? t.out.substr(at) : std::string();
  t.out.clear();
  t.sent = t.whole = 0;
  return unsent;
}
