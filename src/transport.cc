// The byte stream to and from the broker.
#include "transport.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "mqtt_packets.h"

void transport_open(Transport& t, std::unique_ptr<Layer> layer, const std::string& early_input) {
  t.layer = std::move(layer);
  t.broken = false;
  t.write_blocked = false;
  t.in_len = std::min(early_input.size(), kInBytes);  // CONNACK is followed by little if any
  memcpy(t.in, early_input.data(), t.in_len);
}

void transport_close(Transport& t) {
  t.layer.reset();
  t.in_len = 0;
}

std::string& transport_append(Transport& t, size_t more) {
  // Room at once for the limit, a WebSocket frame's worth the layer may still hold and the next
  // record: growing by doubling, the old buffer alive while it is copied, cost a slow broker's
  // publisher 0.8 MiB at its peak. Pages not yet written cost nothing.
  constexpr size_t kRoom = kOutLimitBytes + 2 * kFlushBytes;
  if (t.out.capacity() < kRoom) t.out.reserve(kRoom);
  if (t.whole > 0 && t.out.size() + more > t.out.capacity()) {
    t.out.erase(0, t.whole);
    t.sent -= t.whole;
    t.whole = 0;
  }
  return t.out;
}

void transport_discard_output(Transport& t) {
  t.out.clear();
  t.sent = t.whole = 0;
}

namespace {

// How far the queue has gone below the top layer: bytes a layer took and still holds (a
// WebSocket frame half written) die with the connection.
size_t written_below(const Transport& t) {
  size_t held = t.layer != nullptr ? t.layer->unwritten() : 0;
  return t.sent - std::min(held, t.sent - t.whole);
}

}  // namespace

bool transport_writing(const Transport& t) {
  return transport_open_now(t) && written_below(t) < t.out.size();
}

FlushResult transport_flush(Transport& t) {
  FlushResult result;
  const size_t sent_before = t.sent;
  const size_t before = written_below(t);
  // A layer may hold bytes of its own (a WebSocket frame half written) with nothing queued
  // here: they must go too, or the poll would wake for them again and again.
  if (transport_open_now(t) && t.sent == t.out.size() && (t.layer->events() & POLLOUT) &&
      t.layer->send(nullptr, 0) < 0) {
    t.broken = true;
  }
  while (transport_open_now(t) && !t.write_blocked && t.sent < t.out.size()) {
    ssize_t n = t.layer->send(reinterpret_cast<const unsigned char*>(t.out.data()) + t.sent,
                              t.out.size() - t.sent);
    if (n < 0) t.broken = true;
    if (n == 0) t.write_blocked = true;
    if (n <= 0) break;
    t.sent += static_cast<size_t>(n);
  }
  result.wrote = t.sent > sent_before;
  // Walk the packets this write took below the top layer: those it finished move `whole` on.
  const size_t below = written_below(t);
  while (t.whole < below) {
    const auto* packet = reinterpret_cast<const unsigned char*>(t.out.data() + t.whole);
    size_t size = packet_size(packet, t.out.size() - t.whole);
    if (size == 0) break;
    if ((packet[0] & 0xF0) == kPublishType && t.whole + size > before && below > before) {
      result.publish_bytes = true;  // some of its bytes went in this call
    }
    if (t.whole + size > below) break;
    if ((packet[0] & 0xF6) == kPublishType) ++result.qos0_publishes;  // QoS bits 0
    t.whole += size;
  }
  if (t.whole == t.out.size()) {
    transport_discard_output(t);
    if (t.out.capacity() > 4 * kOutLimitBytes) std::string().swap(t.out);  // after a huge record
  }
  return result;
}

bool transport_read(Transport& t) {
  bool read_any = false;
  while (transport_open_now(t) && t.in_len < kInBytes) {
    size_t room = kInBytes - t.in_len;
    ssize_t n = t.layer->recv(t.in + t.in_len, room);
    if (n < 0) t.broken = true;
    if (n <= 0) break;
    t.in_len += static_cast<size_t>(n);
    read_any = true;
    // A short read has emptied what the layers hold: asking again would only say so.
    if (static_cast<size_t>(n) < room && !t.layer->pending()) break;
  }
  // What was read may be what a blocked write waited for (TLS).
  if (read_any) t.write_blocked = false;
  return !t.broken;
}

void transport_consume(Transport& t, size_t n) {
  memmove(t.in, t.in + n, t.in_len - n);
  t.in_len -= n;
}

bool transport_readable_now(const Transport& t) {
  return transport_open_now(t) && t.in_len < kInBytes && t.layer->pending();
}

void transport_ack_now(const Transport& t) {
  int on = 1;
  if (transport_open_now(t)) setsockopt(t.layer->fd(), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

int transport_fd(const Transport& t) { return transport_open_now(t) ? t.layer->fd() : -1; }

short transport_events(const Transport& t) {
  short layer = t.layer != nullptr ? t.layer->events() : 0;
  bool writing = t.sent < t.out.size();
  // A write that took nothing waits for what the layer names (a TLS write may wait for a
  // read), or else for room in the socket.
  if (writing && t.write_blocked)
    return static_cast<short>(POLLIN | (layer != 0 ? layer : POLLOUT));
  return static_cast<short>(POLLIN | layer | (writing ? POLLOUT : 0));
}

std::string transport_take_unsent(Transport& t, unsigned char* cut) {
  *cut = 0;
  // Walk from the first packet not wholly written to the first of which nothing was written.
  const size_t below = written_below(t);
  size_t at = t.whole;
  while (at < below) {
    size_t size =
        packet_size(reinterpret_cast<const unsigned char*>(t.out.data() + at), t.out.size() - at);
    if (size == 0) break;
    if (at + size > below) *cut = static_cast<unsigned char>(t.out[at]);
    at += size;
  }
  std::string unsent = at < t.out.size() ? t.out.substr(at) : std::string();
  transport_discard_output(t);
  return unsent;
}
