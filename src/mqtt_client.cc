// The client's session: it ties the connector (libmosquitto, up to CONNACK), the transport
// (bytes over plain TCP or TLS), the in-flight window and the packet codec together, and runs
// the one poll() loop in which the connection is serviced while the program waits.
//
// After CONNACK the records go out as PUBLISH packets in one output queue written in large
// writes, and acknowledgements are read in bulk whenever the client waits: no system call per
// record in steady state, on either transport.
#include "mqtt_client.h"

#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "inflight.h"
#include "transport.h"
#include "wait.h"

namespace {

// At QoS 2 a stock 3.1.1 mosquitto answers PUBREC for records beyond its in-flight limit
// (max_inflight_messages, 20 by default) and then drops them: stay within it. MQTT 5 brokers
// say their limit in CONNACK; beyond a few hundred QoS 2 records in flight a broker's work per
// acknowledgement grows (mosquitto looks each one up in its in-flight list), and throughput
// falls, so that is the most taken even when more are granted.
constexpr size_t kQos2WindowRecords = 20;
constexpr size_t kMaxQos2WindowRecords = 256;
// The one topic alias this client uses when the broker allows aliases.
constexpr uint16_t kTopicAlias = 1;
// How long the final DISCONNECT may take to leave.
constexpr int kDisconnectWriteMs = 1000;
// A full window waits a moment before it looks for acknowledgements, so that they arrive in
// batches: waking for each one costs a wake-up, a read and an immediate TCP ACK per few
// records, CPU that on a small machine the broker needs. A broker that grants few records in
// flight gets the shorter pause: there every round trip counts.
constexpr long kGatherPauseNs = 1000 * 1000;
constexpr long kNarrowGatherPauseNs = 200 * 1000;
constexpr size_t kNarrowQuota = 64;

}  // namespace

struct ClientState {
  Connector connector;
  ConnectRequest request;
  MQTTClient_connectOptions options{};
  bool ever_connected = false;
  bool connected = false;
  bool loss_reported = true;  // wait_for_input told of the last loss
  Transport transport;
  Window window;
  bool v5 = false;
  // The one topic of the records, and the MQTT 5 properties each carries, encoded once.
  std::string topic;
  std::string properties;
  // What the broker granted on this connection.
  uint32_t max_packet = 0;  // 0: no limit
  bool use_alias = false;
  bool alias_set = false;  // the alias stands for the topic on this connection
  long long keepalive_ms = 0;
  long long last_out_ms = 0;
  long long ping_sent_ms = 0;  // 0 when no PINGREQ awaits its answer
  size_t skip = 0;             // bytes of a long incoming packet still to be dropped
  uint16_t resend_last = 0;    // the newest record sent again on this connection; 0 for none
  long long last_progress_ms = 0;
  // Set by set_stop_flag: once *stop is raised, waits for room are bounded.
  const volatile std::sig_atomic_t* stop = nullptr;
  int stop_timeout_ms = 0;
  long long stop_seen_ms = 0;
  void (*wake_hook)() = nullptr;
  ConnectFailure failure = ConnectFailure::kNone;
  uint8_t refusal = 0;
  bool refusal_reported = false;
  int disconnect_reason = -1;
  ClientStats stats;
};

namespace {

ClientState* current_client = nullptr;  // the client MQTTClient_yield serves

// Appends one PUBLISH for `payload` to the output queue, naming the topic by its alias once
// the broker knows it.
void queue_publish(ClientState& c, const void* payload, size_t len, int qos, bool retain,
                   uint16_t packet_id, bool dup) {
  PublishHeader h;
  h.v5 = c.v5;
  h.qos = qos;
  h.retain = retain;
  h.dup = dup;
  h.packet_id = packet_id;
  h.properties = c.properties;
  h.topic = c.topic;
  if (c.use_alias) {
    h.topic_alias = kTopicAlias;
    if (c.alias_set) h.topic = std::string_view();
    // Naming the alias takes 3 bytes more than the record was measured with: a record that
    // fills the broker's Maximum Packet Size goes with its topic alone, and the alias waits.
    if (!c.alias_set && c.max_packet != 0 && publish_size(h, len) > c.max_packet) {
      h.topic_alias = 0;
    }
    c.alias_set = h.topic_alias != 0;
  }
  transport_make_room(c.transport, publish_size(h, len));
  encode_publish(c.transport.out, h, payload, len);
}

// Moves due PUBRELs and records the broker's quota has room for into the output queue, as
// far as the queue's bound allows.
void pump(ClientState& c) {
  if (!c.connected) return;
  Transport& t = c.transport;
  while (transport_unwritten(t) < kOutLimitBytes) {
    uint16_t id = 0;
    if (window_next_release(c.window, &id)) {
      encode_pubrel(t.out, id, c.v5);
      continue;
    }
    InflightRecord* r = window_next_unsent(c.window);
    if (r == nullptr) return;
    queue_publish(c, r->payload.data(), r->payload.size(), r->qos, r->retain, r->packet_id, r->dup);
    window_mark_sent(c.window, *r);
  }
}

// Writes what the connection takes now; bytes of records leaving are progress.
void flush(ClientState& c) {
  if (!c.connected) return;
  FlushResult done = transport_flush(c.transport);
  long long now = now_ms();
  if (done.wrote) c.last_out_ms = now;
  if (done.publish_bytes) c.last_progress_ms = now;
  c.stats.acknowledged += done.qos0_publishes;
}

// The connection is gone. QoS 0 records of which no byte was written go out on the next
// connection, in order and with the whole topic (an alias dies with its connection); one that
// was partly written is lost, as QoS 0 allows, and counted. Everything else in the queue is
// written again from the window.
void lose_connection(ClientState& c) {
  if (!c.connected) return;
  c.connected = false;
  unsigned char cut = 0;
  std::string unsent = transport_take_unsent(c.transport, &cut);
  if ((cut & 0xF6) == kPublishType) ++c.stats.lost;
  transport_close(c.transport);
  connector_close(c.connector);
  c.alias_set = false;
  c.use_alias = false;
  const auto* bytes = reinterpret_cast<const unsigned char*>(unsent.data());
  for (size_t at = 0; at < unsent.size();) {
    size_t size = packet_size(bytes + at, unsent.size() - at);
    PublishView p;
    if (decode_publish(bytes + at, unsent.size() - at, c.v5, &p) && p.qos == 0) {
      queue_publish(c, p.payload.data(), p.payload.size(), 0, p.retain, 0, false);
      ++c.stats.resent;
    }
    at += size;
  }
  c.skip = 0;
  c.ping_sent_ms = 0;
  c.loss_reported = false;
}

// One packet from the broker.
void handle(ClientState& c, const Incoming& p) {
  if (p.type == kPingrespType) {
    c.ping_sent_ms = 0;
    return;
  }
  if (p.type == kDisconnectType) {
    c.disconnect_reason = p.reason;
    lose_connection(c);
    return;
  }
  AckOutcome outcome = window_ack(c.window, p.type, p.packet_id, p.reason);
  if (outcome.progress) c.last_progress_ms = now_ms();
  if (outcome.completed) ++c.stats.acknowledged;
  if (outcome.refused) {
    ++c.stats.refused;
    if (c.refusal == 0) c.refusal = p.reason;
  }
  // A PUBREC for no record still gets its PUBREL, but only while the queue has room: a broker
  // that sends them without end and reads nothing cannot grow it.
  if (outcome.unknown && transport_unwritten(c.transport) < kOutLimitBytes) {
    encode_pubrel(c.transport.out, p.packet_id, c.v5, kPacketIdentifierNotFound);
  }
}

// Reads what the broker sent and handles every whole packet. A packet that cannot be one a
// broker sends a publisher ends the connection, as the protocol asks.
void read_input(ClientState& c) {
  Transport& t = c.transport;
  bool open = transport_read(t);
  size_t pos = std::min(c.skip, t.in_len);
  c.skip -= pos;
  while (c.connected && pos < t.in_len) {
    Incoming p;
    long n = decode_packet(t.in + pos, t.in_len - pos, c.v5, &p);
    if (n == 0) break;
    if (n < 0) {
      lose_connection(c);
      return;
    }
    handle(c, p);
    size_t size = static_cast<size_t>(n);
    if (pos + size > t.in_len) {  // the rest of a long packet is dropped as it comes
      c.skip = pos + size - t.in_len;
      pos = t.in_len;
    } else {
      pos += size;
    }
  }
  if (!c.connected) return;
  memmove(t.in, t.in + pos, t.in_len - pos);
  t.in_len -= pos;
  if (!open) {
    lose_connection(c);
    return;
  }
  // What the acknowledgements let out carries our TCP ACK; without it, send one now.
  pump(c);
  if (transport_unwritten(t) == 0) transport_ack_now(t);
}

// A PINGREQ after a keep-alive interval without output. A broker that leaves it unanswered
// for half an interval while nothing more could be written is gone, even when the connection
// looks open (a half-open link): the loss is seen within one and a half intervals of the last
// exchange. A slow link that still takes bytes is not given up on. Returns the ms until the
// next keep-alive action is due.
long long keep_alive(ClientState& c) {
  if (!c.connected || c.keepalive_ms <= 0) return -1;
  long long now = now_ms();
  if (c.ping_sent_ms != 0) {
    long long since = std::max(c.ping_sent_ms, c.last_out_ms);
    long long left = since + c.keepalive_ms / 2 - now;
    if (left > 0) return left;
    lose_connection(c);
    return -1;
  }
  long long left = c.last_out_ms + c.keepalive_ms - now;
  if (left > 0) return left;
  encode_pingreq(c.transport.out);
  c.ping_sent_ms = now;
  return c.keepalive_ms / 2;
}

// Waits up to `timeout_ms` (-1: no limit) for the broker socket and for `fd` (when >= 0), then
// services the connection: reads what arrived, writes what is queued, keeps it alive. Returns
// the events seen on `fd`, or -1 when poll failed with other than EINTR. `*woke` is set when
// a signal ended the wait.
int service(ClientState& c, int fd, int timeout_ms, bool* woke = nullptr) {
  bool was_connected = c.connected;
  long long due = keep_alive(c);
  // An unanswered keep-alive ended the connection: the caller learns it before any wait.
  if (was_connected && !c.connected) return 0;
  pump(c);
  flush(c);  // whatever is ready goes out before any wait
  if (due >= 0 && (timeout_ms < 0 || due < timeout_ms)) timeout_ms = static_cast<int>(due);
  if (transport_has_buffered_input(c.transport)) timeout_ms = 0;
  pollfd fds[2];
  nfds_t n = 0;
  int fd_index = -1;
  int sock_index = -1;
  if (fd >= 0) {
    fd_index = static_cast<int>(n);
    fds[n++] = {fd, POLLIN, 0};
  }
  if (c.connected) {
    sock_index = static_cast<int>(n);
    fds[n++] = {c.transport.fd, transport_events(c.transport), 0};
  }
  int ready = wait_poll(fds, n, timeout_ms < 0 ? kNoDeadline : now_ms() + timeout_ms);
  if (ready < 0) {
    if (errno != EINTR) return -1;
    if (woke != nullptr) *woke = true;
    if (c.wake_hook != nullptr) c.wake_hook();
    return 0;
  }
  short ev = sock_index >= 0 ? fds[sock_index].revents : 0;
  if ((ev & (POLLIN | POLLHUP | POLLERR)) || transport_has_buffered_input(c.transport)) {
    read_input(c);
  }
  if (ev & POLLOUT) {
    transport_writable(c.transport);
    flush(c);
  }
  if (c.connected && c.transport.broken) lose_connection(c);
  return fd_index >= 0 ? fds[fd_index].revents : 0;
}

// After a stop request, a wait ends once the stop timeout passed without progress, counted
// from the request at the earliest. Returns the ms left, 0 when the time is up, or -1 while no
// stop was requested.
long long stop_time_left(ClientState& c) {
  if (c.stop == nullptr || *c.stop == 0) return -1;
  long long now = now_ms();
  if (c.stop_seen_ms == 0) c.stop_seen_ms = now;
  long long left = std::max(c.stop_seen_ms, c.last_progress_ms) + c.stop_timeout_ms - now;
  return std::max(left, 0LL);
}

// Waits until one more record of `len` bytes fits: at QoS 1 and 2 into the window, at QoS 0
// behind the unwritten output. Once the window is full it drains to half before publishing
// goes on, so that records and their acknowledgements move in batches rather than one system
// call each. Returns kClientSuccess, kClientDisconnected, kClientRefused or kClientStopped.
int wait_for_room(ClientState& c, int qos, size_t len) {
  bool full = qos > 0 && !window_has_room(c.window, len, kWindowRecords, kWindowBytes);
  size_t records = full ? kWindowRecords / 2 : kWindowRecords;
  size_t bytes = full ? kWindowBytes / 2 : kWindowBytes;
  for (;;) {
    if (!c.connected) return kClientDisconnected;
    if (c.refusal != 0) return kClientRefused;
    bool room = qos > 0 ? window_has_room(c.window, len, records, bytes)
                        : transport_unwritten(c.transport) <= kOutLimitBytes;
    if (room) return kClientSuccess;
    long long left = stop_time_left(c);
    if (left == 0) return kClientStopped;
    if (qos > 0) {
      // What the acknowledgements so far let out goes now, so that the broker works on it
      // during the pause.
      pump(c);
      flush(c);
      size_t quota = qos == 2 ? c.window.qos2_quota : c.window.quota;
      timespec pause{0, quota <= kNarrowQuota ? kNarrowGatherPauseNs : kGatherPauseNs};
      nanosleep(&pause, nullptr);
    }
    if (service(c, -1, static_cast<int>(left)) < 0) return kClientDisconnected;
  }
}

// Records published and not yet handed over. Control packets the broker has not read do not
// count: a broker that asks for PUBRELs it never reads cannot hold up the end.
bool pending(const ClientState& c) {
  const ClientStats& s = c.stats;
  return window_pending(c.window) > 0 || s.published > s.acknowledged + s.lost + s.refused;
}

// Services the connection until `done` holds. Returns false when the connection is lost
// first, or when `timeout_ms` pass without progress.
template <typename Done>
bool wait_until(ClientState& c, int timeout_ms, Done done) {
  c.last_progress_ms = now_ms();
  for (;;) {
    pump(c);
    flush(c);
    if (!c.connected) return false;
    if (done()) return true;
    long long left = c.last_progress_ms + timeout_ms - now_ms();
    if (left <= 0 || service(c, -1, static_cast<int>(left)) < 0) return false;
  }
}

// The records sent again on a new connection must be acknowledged before it counts as made,
// so that a broker that drops the connection over one of them fails the reconnection instead
// of taking new records meanwhile.
bool wait_for_resent(ClientState& c, int timeout_ms) {
  return wait_until(c, timeout_ms,
                    [&c] { return c.resend_last == 0 || !window_holds(c.window, c.resend_last); });
}

ConnectRequest request_for(const ClientState& c, const MQTTClient_connectOptions& o) {
  ConnectRequest r = c.request;
  r.username = o.username;
  r.password = o.password;
  r.keepalive = o.keepAliveInterval;
  r.protocol_version = o.MQTTVersion == 5 ? 5 : 4;
  r.session_expiry = r.protocol_version == 5 ? o.sessionExpiry : -1;
  // A kept session is resumed from the second connection of the run on; the first starts
  // clean, so that nothing of an earlier run can mix with this one's packet identifiers.
  r.clean_start = !(r.session_expiry >= 0 && c.ever_connected);
  if (const MQTTClient_SSLOptions* s = o.ssl) {
    r.tls = true;
    r.cafile = s->trustStore;
    r.capath = s->CApath;
    r.cert = s->keyStore;
    r.key = s->privateKey;
    r.alpn = s->alpn;
    r.psk = s->psk;
    r.psk_identity = s->pskIdentity;
  }
  if (const MQTTClient_proxyOptions* p = o.proxy) {
    r.proxy_host = p->host;
    r.proxy_port = p->port;
    r.proxy_username = p->username != nullptr ? p->username : "";
    r.proxy_password = p->password != nullptr ? p->password : "";
  }
  r.bind_address = o.bindAddress;
  if (const MQTTClient_willOptions* w = o.will) {
    r.will_topic = w->topicName;
    r.will_payload = w->message;
    r.will_qos = w->qos;
    r.will_retain = w->retained != 0;
  }
  return r;
}

// Takes over a connection the broker accepted, with what it granted.
void start_session(ClientState& c, const Connection& conn, bool session_kept) {
  transport_open(c.transport, conn.fd, conn.ssl);
  c.connected = true;
  c.loss_reported = false;
  c.ever_connected = true;
  ++c.stats.connections;
  c.max_packet = c.v5 ? conn.maximum_packet_size : 0;
  c.use_alias = c.v5 && conn.topic_alias_maximum >= kTopicAlias;
  c.alias_set = false;
  int keepalive =
      c.v5 && conn.server_keepalive >= 0 ? conn.server_keepalive : c.options.keepAliveInterval;
  c.keepalive_ms = keepalive * 1000LL;
  c.last_out_ms = now_ms();
  c.ping_sent_ms = 0;
  c.skip = 0;
  Window& w = c.window;
  if (c.v5) {
    w.quota =
        std::min<size_t>(conn.receive_maximum != 0 ? conn.receive_maximum : 65535, kWindowRecords);
    w.qos2_quota = std::min(w.quota, kMaxQos2WindowRecords);
  } else {
    w.quota = kWindowRecords;
    w.qos2_quota = kQos2WindowRecords;
  }
  c.stats.resent += window_restart(w, session_kept, &c.resend_last);
}

}  // namespace

int MQTTClient_create(MQTTClient* handle, const char* serverURI, const char* clientId,
                      int persistence_type, void*) {
  *handle = nullptr;
  if (persistence_type != kPersistenceNone) return kClientFailure;
  auto c = std::make_unique<ClientState>();
  std::string address(serverURI);
  size_t colon = address.rfind(':');
  if (colon != std::string::npos) {
    c->request.host = address.substr(0, colon);
    const std::string port = address.substr(colon + 1);
    char* end = nullptr;
    long value = strtol(port.c_str(), &end, 10);
    if (!port.empty() && *end == '\0' && value > 0 && value <= 65535) {
      c->request.port = static_cast<int>(value);
    }
  } else {
    c->request.host = address;
  }
  c->request.clientid = clientId;
  if (!connector_init(c->connector, clientId)) return kClientFailure;
  current_client = c.get();
  *handle = c.release();
  return kClientSuccess;
}

int MQTTClient_connect(MQTTClient c, const MQTTClient_connectOptions* options) {
  lose_connection(*c);
  c->loss_reported = true;
  c->options = *options;
  c->v5 = options->MQTTVersion == 5;
  c->window.slot_until_complete = c->v5;
  ConnectRequest request = request_for(*c, *options);
  Connection conn;
  if (!connector_connect(c->connector, request, kConnectTimeoutMs, &conn, &c->failure)) {
    return kClientFailure;
  }
  start_session(*c, conn, c->v5 && request.session_expiry >= 0 && conn.session_present);
  if (!wait_for_resent(*c, kConnectTimeoutMs)) {
    c->failure = ConnectFailure::kClosed;
    lose_connection(*c);
    return kClientFailure;
  }
  c->last_progress_ms = now_ms();
  return kClientSuccess;
}

int MQTTClient_publish(MQTTClient c, const char* topicName, int payloadlen, const void* payload,
                       int qos, int retained, int* dt) {
  if (dt != nullptr || payloadlen < 0 || qos < 0 || qos > 2) return kClientFailure;
  if (c->refusal != 0) return kClientRefused;
  size_t len = static_cast<size_t>(payloadlen);
  if (c->topic != topicName) {
    // Every record held was published to the old topic: they go first.
    if (pending(*c) && !wait_until(*c, c->stop_timeout_ms, [c] { return !pending(*c); })) {
      return kClientDisconnected;
    }
    c->topic = topicName;
    c->alias_set = false;
  }
  PublishHeader whole;
  whole.topic = c->topic;
  whole.qos = qos;
  whole.v5 = c->v5;
  whole.properties = c->properties;
  size_t size = publish_size(whole, len);
  if (size == 0) return kClientFailure;
  if (c->max_packet != 0 && size > c->max_packet) return kClientTooLarge;
  int room = wait_for_room(*c, qos, len);
  if (room != kClientSuccess) return room;
  if (qos == 0) {
    queue_publish(*c, payload, len, 0, retained != 0, 0, false);
  } else {
    window_add(c->window, payload, len, qos, retained != 0);
    pump(*c);
  }
  ++c->stats.published;
  c->stats.bytes += len;
  if (transport_unwritten(c->transport) >= kFlushBytes) flush(*c);
  return kClientSuccess;
}

void MQTTClient_yield() {
  ClientState* c = current_client;
  if (c != nullptr && transport_unwritten(c->transport) >= kFlushBytes) flush(*c);
}

int MQTTClient_disconnect(MQTTClient c, int timeout) {
  if (!wait_until(*c, timeout, [c] { return !pending(*c); })) {
    if (c->connected) return kClientFailure;
    return pending(*c) ? kClientDisconnected : kClientSuccess;
  }
  encode_disconnect(c->transport.out);
  long long deadline = now_ms() + kDisconnectWriteMs;
  for (flush(*c); c->connected && transport_unwritten(c->transport) > 0; flush(*c)) {
    pollfd p{c->transport.fd, POLLOUT, 0};
    long long left = deadline - now_ms();
    if (left <= 0 || wait_poll(&p, 1, deadline) < 0) break;
    transport_writable(c->transport);
  }
  c->transport.out.clear();
  c->transport.sent = c->transport.whole = 0;
  lose_connection(*c);
  c->loss_reported = true;
  return kClientSuccess;
}

void MQTTClient_destroy(MQTTClient* handle) {
  if (*handle == current_client) current_client = nullptr;
  delete *handle;
  *handle = nullptr;
}

void set_publish_properties(MQTTClient c, const PublishProperties& properties) {
  c->properties = encode_publish_properties(properties);
}

int wait_for_input(MQTTClient c, int fd, int timeout_ms) {
  long long deadline = timeout_ms < 0 ? -1 : now_ms() + timeout_ms;
  for (;;) {
    if (!c->connected && !c->loss_reported) {
      c->loss_reported = true;
      return kClientDisconnected;
    }
    if (c->refusal != 0 && !c->refusal_reported) {
      c->refusal_reported = true;
      return kClientRefused;
    }
    int wait = -1;
    if (deadline >= 0) {
      long long left = deadline - now_ms();
      if (left <= 0) return kWaitWoke;
      wait = static_cast<int>(left);
    }
    bool woke = false;
    int events = service(*c, fd, wait, &woke);
    if (events < 0) return -1;
    if (events & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) return kWaitInput;
    if (woke) return kWaitWoke;
  }
}

void set_stop_flag(MQTTClient c, const volatile std::sig_atomic_t* stop, int timeout_ms) {
  c->stop = stop;
  c->stop_timeout_ms = timeout_ms;
}

void set_wake_hook(MQTTClient c, void (*hook)()) { c->wake_hook = hook; }

ConnectFailure connect_failure(MQTTClient c) { return c->failure; }

size_t client_pending(MQTTClient c) {
  ClientStats s = client_stats(c);
  return static_cast<size_t>(s.in_flight);
}

uint8_t client_refusal(MQTTClient c) { return c->refusal; }

int take_disconnect_reason(MQTTClient c) {
  int reason = c->disconnect_reason;
  c->disconnect_reason = -1;
  return reason;
}

ClientStats client_stats(MQTTClient c) {
  ClientStats s = c->stats;
  s.in_flight = s.published - s.acknowledged - s.lost - s.refused;
  return s;
}
