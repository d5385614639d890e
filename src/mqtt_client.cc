// The synchronous client over libmosquitto: connection set-up with a deadline, a bounded
// in-flight window that survives reconnections, and the poll()-based servicing of the socket.
//
// libmosquitto makes every connection (TCP, TLS, CONNECT with credentials, CONNACK). On a plain
// TCP connection this layer then carries the records itself: it writes PUBLISH packets in large
// coalesced writes and reads acknowledgements in bulk, where libmosquitto spends one write per
// packet and three reads per acknowledgement, which caps throughput well below the broker's.
// Under TLS the library keeps the whole data path.
#include "mqtt_client.h"

#include <mosquitto.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// The in-flight window at QoS 1 and 2: enough records to keep the pipe to the broker full,
// few enough bytes that memory stays small whatever the input rate.
constexpr size_t kWindowRecords = 512;
constexpr size_t kWindowBytes = 1024 * 1024;
// At QoS 2 brokers may cap the records a client has in flight and discard the excess while
// still answering PUBREC (mosquitto's default max_inflight_messages is 20): stay within it.
// A record stops counting once its PUBREL is queued: the broker reads that PUBREL, which frees
// its slot, before any PUBLISH written after it.
constexpr size_t kQos2WindowRecords = 20;
// How long a wait may sleep before keep-alive work is due again.
constexpr int kServiceIntervalMs = 1000;
constexpr size_t kMaxTopicBytes = 65535;
// Queued output is written once it reaches kFlushBytes, and publishing waits while more than
// kOutLimitBytes are still unwritten: large writes, bounded memory.
constexpr size_t kFlushBytes = 64 * 1024;
constexpr size_t kOutLimitBytes = 256 * 1024;
constexpr size_t kInBytes = 16 * 1024;

// MQTT 3.1.1 fixed-header types of the packets the direct path writes and reads.
constexpr unsigned char kPublish = 0x30;
constexpr unsigned char kPuback = 0x40;
constexpr unsigned char kPubrec = 0x50;
constexpr unsigned char kPubrel = 0x62;  // with its required flags
constexpr unsigned char kPubcomp = 0x70;
constexpr unsigned char kPingreq = 0xC0;
constexpr unsigned char kPingresp = 0xD0;

struct MosquittoDeleter {
  void operator()(mosquitto* mosq) const { mosquitto_destroy(mosq); }
};

// A record published at QoS 1 or 2 and not yet fully acknowledged. Kept so that it can be sent
// again on a new connection; the buffers are reused from slot to slot.
struct Outstanding {
  int mid = 0;
  int qos = 0;
  bool retained = false;
  bool released = false;  // QoS 2: PUBREC came and PUBREL went out
  bool done = false;
  std::string topic;
  std::vector<unsigned char> payload;
};

long long now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void append_u16(std::string& out, unsigned value) {
  out.push_back(static_cast<char>(value >> 8));
  out.push_back(static_cast<char>(value & 0xFF));
}

void append_publish(std::string& out, const char* topic, size_t topic_len, const void* payload,
                    size_t len, int qos, bool retained, int mid) {
  out.push_back(static_cast<char>(kPublish | (qos << 1) | (retained ? 1 : 0)));
  size_t remaining = 2 + topic_len + (qos > 0 ? 2 : 0) + len;
  do {  // variable-length encoding, seven bits a byte
    unsigned char byte = remaining % 128;
    remaining /= 128;
    out.push_back(static_cast<char>(remaining > 0 ? byte | 0x80 : byte));
  } while (remaining > 0);
  append_u16(out, static_cast<unsigned>(topic_len));
  out.append(topic, topic_len);
  if (qos > 0) append_u16(out, static_cast<unsigned>(mid));
  out.append(static_cast<const char*>(payload), len);
}

}  // namespace

struct ClientState {
  std::unique_ptr<mosquitto, MosquittoDeleter> mosq;
  std::string host;
  int port = -1;  // -1 when the address had no usable port: every connection then fails
  std::string clientid;
  MQTTClient_connectOptions options{};
  bool connected = false;
  // CONNACK result of the last attempt: -1 while one is in progress, an error before any.
  int connack = MOSQ_ERR_NO_CONN;
  // The direct data path of a plain TCP connection, taken over after CONNACK.
  bool direct = false;
  int sock = -1;
  std::string out;  // packets not yet written, from out_pos on
  size_t out_pos = 0;
  unsigned char in[kInBytes];
  size_t in_len = 0;
  int next_mid = 1;
  long long last_out_ms = 0;
  long long ping_sent_ms = 0;  // 0 when no PINGREQ awaits its answer
  // Ring of outstanding records, oldest first.
  std::vector<Outstanding> window = std::vector<Outstanding>(kWindowRecords);
  size_t first = 0;
  size_t count = 0;
  size_t bytes = 0;
  size_t unreleased = 0;  // QoS 2 records whose PUBREL has not been queued yet
  long long last_progress_ms = 0;
  // Set by set_stop_flag: once *stop is raised, waits for room are bounded.
  const volatile std::sig_atomic_t* stop = nullptr;
  int stop_timeout_ms = 0;
  long long stop_seen_ms = 0;
};

namespace {

ClientState* current_client = nullptr;  // the client MQTTClient_yield serves

Outstanding& slot(ClientState& c, size_t i) { return c.window[(c.first + i) % kWindowRecords]; }

// Drops completed records from the front so their slots can be reused.
void release_completed(ClientState& c) {
  while (c.count > 0 && slot(c, 0).done) {
    Outstanding& o = slot(c, 0);
    c.bytes -= o.payload.size();
    // A huge record's buffer is not kept for later small ones.
    if (o.payload.capacity() > 64 * 1024) std::vector<unsigned char>().swap(o.payload);
    c.first = (c.first + 1) % kWindowRecords;
    --c.count;
  }
}

void on_connect(mosquitto*, void* obj, int rc) {
  auto* c = static_cast<ClientState*>(obj);
  c->connack = rc;
  c->connected = rc == 0;
}

void on_disconnect(mosquitto*, void* obj, int) {
  static_cast<ClientState*>(obj)->connected = false;
}

// The outstanding record with packet identifier `mid`, or null. Identifiers usually follow
// the window's order, so the first guess nearly always hits.
Outstanding* find(ClientState& c, int mid) {
  if (c.count == 0) return nullptr;
  size_t guess = static_cast<size_t>((mid - slot(c, 0).mid) & 0xFFFF);
  if (guess < c.count && slot(c, guess).mid == mid) return &slot(c, guess);
  for (size_t i = 0; i < c.count; ++i) {
    if (slot(c, i).mid == mid) return &slot(c, i);
  }
  return nullptr;
}

// A record is fully handed over: PUBACK at QoS 1, PUBCOMP at QoS 2.
void complete(ClientState& c, Outstanding* o) {
  if (o == nullptr || o->done) return;
  if (o->qos == 2 && !o->released) --c.unreleased;  // the library answered PUBREC itself
  o->done = true;
  c.last_progress_ms = now_ms();
  release_completed(c);
}

void on_publish(mosquitto*, void* obj, int mid) {
  auto* c = static_cast<ClientState*>(obj);
  complete(*c, find(*c, mid));
}

// A failed library call on the connection means it is gone; the socket is not polled again
// and the next publish reports the loss. A connection attempt in progress has failed.
void check(ClientState& c, int rc) {
  if (rc == MOSQ_ERR_SUCCESS) return;
  c.connected = false;
  if (c.connack < 0) c.connack = MOSQ_ERR_CONN_LOST;
}

bool connecting(const ClientState& c) { return c.connack < 0; }

bool output_pending(const ClientState& c) {
  return c.direct ? c.out_pos < c.out.size() : mosquitto_want_write(c.mosq.get());
}

// Direct path: writes as much queued output as the socket takes now.
void flush_direct(ClientState& c) {
  while (c.connected && c.out_pos < c.out.size()) {
    ssize_t n = send(c.sock, c.out.data() + c.out_pos, c.out.size() - c.out_pos, MSG_NOSIGNAL);
    if (n > 0) {
      c.out_pos += static_cast<size_t>(n);
      c.last_out_ms = c.last_progress_ms = now_ms();
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return;
    } else {
      c.connected = false;
    }
  }
  if (c.out_pos == c.out.size()) {
    c.out.clear();
    c.out_pos = 0;
    if (c.out.capacity() > 4 * kOutLimitBytes) std::string().swap(c.out);  // after a huge record
  }
}

// Direct path: one acknowledgement from the broker.
void handle_ack(ClientState& c, unsigned char type, int mid) {
  Outstanding* o = find(c, mid);
  if (type == kPubrec) {
    if (o != nullptr && o->qos == 2 && !o->released) {
      o->released = true;
      --c.unreleased;
      c.last_progress_ms = now_ms();
    }
    c.out.push_back(static_cast<char>(kPubrel));
    c.out.push_back(2);
    append_u16(c.out, static_cast<unsigned>(mid));
  } else if (o != nullptr && o->qos == (type == kPuback ? 1 : 2)) {
    complete(c, o);
  }
}

// Direct path: reads what the broker sent and handles every whole packet. A publisher only ever
// gets acknowledgements and PINGRESP; anything else ends the connection.
void read_direct(ClientState& c) {
  ssize_t n = recv(c.sock, c.in + c.in_len, kInBytes - c.in_len, 0);
  if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return;
  if (n <= 0) {
    c.connected = false;
    return;
  }
  c.in_len += static_cast<size_t>(n);
  // Acknowledge at once: a broker that batches its small writes (Nagle) waits for our ACK, and
  // a delayed one would stall a full window for tens of milliseconds.
  int on = 1;
  setsockopt(c.sock, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
  size_t pos = 0;
  while (c.in_len - pos >= 2) {
    unsigned char type = c.in[pos];
    unsigned char len = c.in[pos + 1];
    if (type == kPingresp && len == 0) {
      c.ping_sent_ms = 0;
      pos += 2;
      continue;
    }
    if (len != 2 || (type != kPuback && type != kPubrec && type != kPubcomp)) {
      c.connected = false;
      return;
    }
    if (c.in_len - pos < 4) break;
    handle_ack(c, type, c.in[pos + 2] << 8 | c.in[pos + 3]);
    pos += 4;
  }
  memmove(c.in, c.in + pos, c.in_len - pos);
  c.in_len -= pos;
}

// Direct path: a PINGREQ after a keep-alive interval without output; a broker that leaves it
// unanswered for another interval is gone.
void keep_alive(ClientState& c) {
  long long interval = c.options.keepAliveInterval * 1000LL;
  if (interval <= 0) return;
  long long now = now_ms();
  if (c.ping_sent_ms != 0) {
    if (now - c.ping_sent_ms >= interval) c.connected = false;
  } else if (now - c.last_out_ms >= interval) {
    c.out.push_back(static_cast<char>(kPingreq));
    c.out.push_back(0);
    c.ping_sent_ms = now;
  }
}

// Waits up to `timeout_ms` for the broker socket and for `fd` (when >= 0), then services the
// connection: reads what arrived, writes what is queued, keeps the connection alive. Returns the
// events seen on `fd`, or -1 when poll failed with other than EINTR.
int service(ClientState& c, int fd, int timeout_ms) {
  if (c.direct && c.connected) {
    keep_alive(c);
    flush_direct(c);  // whatever is ready goes out before any wait
  }
  pollfd fds[2];
  int n = 0;
  int fd_index = -1;
  int sock_index = -1;
  if (fd >= 0) {
    fd_index = n;
    fds[n++] = {fd, POLLIN, 0};
  }
  int sock = (c.connected || connecting(c)) ? mosquitto_socket(c.mosq.get()) : -1;
  if (sock >= 0) {
    sock_index = n;
    fds[n++] = {sock, static_cast<short>(POLLIN | (output_pending(c) ? POLLOUT : 0)), 0};
  }
  int ready = poll(fds, static_cast<nfds_t>(n), timeout_ms);
  if (ready < 0) return errno == EINTR ? 0 : -1;
  short ev = sock_index >= 0 ? fds[sock_index].revents : 0;
  if (c.direct) {
    if (ev & (POLLIN | POLLHUP | POLLERR)) read_direct(c);
    if (ev & POLLOUT) flush_direct(c);
  } else {
    if (ev & (POLLIN | POLLHUP | POLLERR)) check(c, mosquitto_loop_read(c.mosq.get(), 1));
    if ((ev & POLLOUT) && (c.connected || connecting(c))) {
      check(c, mosquitto_loop_write(c.mosq.get(), 1));
    }
    if (c.connected) check(c, mosquitto_loop_misc(c.mosq.get()));
  }
  return fd_index >= 0 ? fds[fd_index].revents : 0;
}

// Sets up a fresh library client with no session state of its own: records that still need
// sending are this layer's to send again.
bool setup_session(ClientState& c) {
  bool clean = c.options.cleansession != 0;
  if (c.mosq == nullptr) {
    c.mosq.reset(mosquitto_new(c.clientid.c_str(), clean, &c));
    if (c.mosq == nullptr) return false;
  } else if (mosquitto_reinitialise(c.mosq.get(), c.clientid.c_str(), clean, &c) !=
             MOSQ_ERR_SUCCESS) {
    return false;
  }
  mosquitto* mosq = c.mosq.get();
  mosquitto_connect_callback_set(mosq, on_connect);
  mosquitto_disconnect_callback_set(mosq, on_disconnect);
  mosquitto_publish_callback_set(mosq, on_publish);
  mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  mosquitto_int_option(mosq, MOSQ_OPT_TCP_NODELAY, 1);
  mosquitto_max_inflight_messages_set(mosq, kWindowRecords);
  if (c.options.username != nullptr &&
      mosquitto_username_pw_set(mosq, c.options.username, c.options.password) != MOSQ_ERR_SUCCESS) {
    return false;
  }
  if (const MQTTClient_SSLOptions* ssl = c.options.ssl) {
    // Without a CA of the user's, the system store is trusted: the option below loads it. The
    // library takes no client certificate without some CA location, so the system directory is
    // named too (a missing one is ignored).
    constexpr const char* kSystemCertDir = "/etc/ssl/certs";
    constexpr int kVerifyPeer = 1;  // SSL_VERIFY_PEER; the host name is checked as well
    bool system_store = ssl->trustStore == nullptr && ssl->CApath == nullptr;
    // An encrypted key is refused rather than prompted for: standard input carries the data.
    auto no_passphrase = [](char*, int, int, void*) { return 0; };
    if (mosquitto_tls_set(mosq, ssl->trustStore, system_store ? kSystemCertDir : ssl->CApath,
                          ssl->keyStore, ssl->privateKey, no_passphrase) != MOSQ_ERR_SUCCESS ||
        mosquitto_tls_opts_set(mosq, kVerifyPeer, nullptr, nullptr) != MOSQ_ERR_SUCCESS ||
        mosquitto_tls_insecure_set(mosq, false) != MOSQ_ERR_SUCCESS ||
        (system_store &&
         mosquitto_int_option(mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1) != MOSQ_ERR_SUCCESS)) {
      return false;
    }
  }
  return true;
}

// Packet identifiers run 1 .. 65535; the window is far smaller, so a wrapped one is free.
int take_mid(ClientState& c) {
  int mid = c.next_mid;
  c.next_mid = mid == 65535 ? 1 : mid + 1;
  return mid;
}

// Sends every outstanding record again, oldest first, on the new connection. The broker's new
// session knows none of them, so each goes as a new PUBLISH, even one that got its PUBREC.
bool resend_outstanding(ClientState& c) {
  for (size_t i = 0; i < c.count; ++i) {
    Outstanding& o = slot(c, i);
    if (o.done) continue;
    if (o.qos == 2 && o.released) ++c.unreleased;
    o.released = false;
    if (c.direct) {
      o.mid = take_mid(c);
      append_publish(c.out, o.topic.data(), o.topic.size(), o.payload.data(), o.payload.size(),
                     o.qos, o.retained, o.mid);
      continue;
    }
    int rc =
        mosquitto_publish(c.mosq.get(), &o.mid, o.topic.c_str(), static_cast<int>(o.payload.size()),
                          o.payload.data(), o.qos, o.retained);
    if (rc != MOSQ_ERR_SUCCESS) {
      c.connected = false;
      return false;
    }
  }
  return true;
}

// Waits until the records sent again are acknowledged, so that a broker that drops the
// connection over one of them fails the reconnection instead of looping through new ones.
bool wait_for_resent(ClientState& c, long long deadline) {
  while (c.count > 0) {
    long long left = deadline - now_ms();
    if (!c.connected || left <= 0) return false;
    if (service(c, -1, static_cast<int>(left)) < 0) return false;
  }
  return true;
}

// After a stop request, a wait ends once the stop timeout passed without progress, counted
// from the request at the earliest.
bool stop_timed_out(ClientState& c) {
  if (c.stop == nullptr || *c.stop == 0) return false;
  long long now = now_ms();
  if (c.stop_seen_ms == 0) c.stop_seen_ms = now;
  return now - std::max(c.stop_seen_ms, c.last_progress_ms) >= c.stop_timeout_ms;
}

// Waits until one more record of `len` bytes fits: at QoS 1 and 2 into the in-flight window;
// and behind the output not yet written, which the direct path bounds by kOutLimitBytes and
// the library's queue by nothing, so there it must be empty at QoS 0. Returns kClientSuccess,
// kClientDisconnected when the connection is lost, or kClientStopped.
int wait_for_room(ClientState& c, int qos, size_t len) {
  // What counts against the window: at QoS 2 the records whose PUBREL is not queued yet.
  auto in_window = [&c, qos] { return qos == 2 ? c.unreleased : c.count; };
  size_t records = qos == 2 ? kQos2WindowRecords : kWindowRecords;
  bool window_full = qos > 0 && (in_window() >= records || c.count == kWindowRecords ||
                                 (c.count > 0 && c.bytes + len > kWindowBytes));
  // Once full, the window drains to half before publishing goes on, so that records and their
  // acknowledgements move in batches rather than one system call each.
  size_t records_goal = window_full ? records / 2 : records - 1;
  size_t bytes_goal = window_full ? kWindowBytes / 2 : kWindowBytes;
  for (;;) {
    if (!c.connected) return kClientDisconnected;
    window_full = qos > 0 && (in_window() > records_goal || c.count == kWindowRecords ||
                              (c.count > 0 && c.bytes + len > bytes_goal));
    bool output_full = c.direct ? c.out.size() - c.out_pos > kOutLimitBytes
                                : qos == 0 && mosquitto_want_write(c.mosq.get());
    if (!window_full && !output_full) return kClientSuccess;
    if (stop_timed_out(c)) return kClientStopped;
    if (service(c, -1, kServiceIntervalMs) < 0) return kClientDisconnected;
  }
}

void remember(ClientState& c, int mid, const char* topic, const void* payload, int len, int qos,
              bool retained) {
  Outstanding& o = c.window[(c.first + c.count) % kWindowRecords];
  o.mid = mid;
  o.qos = qos;
  o.retained = retained;
  o.released = false;
  o.done = false;
  o.topic.assign(topic);
  const auto* bytes = static_cast<const unsigned char*>(payload);
  o.payload.assign(bytes, bytes + len);
  ++c.count;
  c.bytes += static_cast<size_t>(len);
  if (qos == 2) ++c.unreleased;
}

}  // namespace

ClientLibrary::ClientLibrary() { mosquitto_lib_init(); }
ClientLibrary::~ClientLibrary() { mosquitto_lib_cleanup(); }

int MQTTClient_create(MQTTClient* handle, const char* serverURI, const char* clientId,
                      int persistence_type, void*) {
  *handle = nullptr;
  if (persistence_type != kPersistenceNone) return kClientFailure;
  auto c = std::make_unique<ClientState>();
  std::string address(serverURI);
  size_t colon = address.rfind(':');
  if (colon != std::string::npos) {
    c->host = address.substr(0, colon);
    const std::string port = address.substr(colon + 1);
    char* end = nullptr;
    long value = strtol(port.c_str(), &end, 10);
    if (!port.empty() && *end == '\0' && value > 0 && value <= 65535) {
      c->port = static_cast<int>(value);
    }
  } else {
    c->host = address;
  }
  c->clientid = clientId;
  c->options.cleansession = 1;
  if (!setup_session(*c)) return kClientFailure;
  current_client = c.get();
  *handle = c.release();
  return kClientSuccess;
}

int MQTTClient_connect(MQTTClient c, const MQTTClient_connectOptions* options) {
  c->options = *options;
  c->connected = false;
  c->connack = MOSQ_ERR_NO_CONN;
  c->direct = false;  // the library speaks until the new connection is accepted
  c->out.clear();
  c->out_pos = 0;
  c->in_len = 0;
  c->ping_sent_ms = 0;
  if (!setup_session(*c)) return kClientFailure;
  if (c->port < 0 || c->options.will != nullptr) return kClientFailure;
  c->connack = -1;
  int rc = mosquitto_connect_async(c->mosq.get(), c->host.c_str(), c->port,
                                   c->options.keepAliveInterval);
  if (rc != MOSQ_ERR_SUCCESS) return kClientFailure;
  long long deadline = now_ms() + kConnectTimeoutMs;
  while (c->connack < 0) {
    long long left = deadline - now_ms();
    if (left <= 0 || mosquitto_socket(c->mosq.get()) < 0) return kClientFailure;
    if (service(*c, -1, static_cast<int>(left)) < 0) return kClientFailure;
  }
  if (c->connack == 0 && c->options.ssl == nullptr) {
    c->direct = true;
    c->sock = mosquitto_socket(c->mosq.get());
    c->last_out_ms = now_ms();
  }
  if (c->connack != 0 || !resend_outstanding(*c) || !wait_for_resent(*c, deadline)) {
    c->connected = false;
    return kClientFailure;
  }
  c->last_progress_ms = now_ms();
  return kClientSuccess;
}

int MQTTClient_publish(MQTTClient c, const char* topicName, int payloadlen, const void* payload,
                       int qos, int retained, int* dt) {
  if (dt != nullptr || payloadlen < 0 || qos < 0 || qos > 2) return kClientFailure;
  size_t len = static_cast<size_t>(payloadlen);
  int room = wait_for_room(*c, qos, len);
  if (room != kClientSuccess) return room;
  int mid = 0;
  if (c->direct) {
    if (qos > 0) mid = take_mid(*c);
    size_t topic_len = strlen(topicName);
    // Written bytes are dropped from the front before the buffer would grow: with a broker
    // that never quite catches up, they would pile up behind the unwritten ones.
    if (c->out_pos > 0 && c->out.size() + len + topic_len + 9 > c->out.capacity()) {
      c->out.erase(0, c->out_pos);
      c->out_pos = 0;
    }
    append_publish(c->out, topicName, topic_len, payload, len, qos, retained != 0, mid);
    if (c->out.size() - c->out_pos >= kFlushBytes) flush_direct(*c);
  } else {
    int rc =
        mosquitto_publish(c->mosq.get(), &mid, topicName, payloadlen, payload, qos, retained != 0);
    if (rc != MOSQ_ERR_SUCCESS) {
      check(*c, rc);
      return c->connected ? kClientFailure : kClientDisconnected;
    }
  }
  if (qos > 0) remember(*c, mid, topicName, payload, payloadlen, qos, retained != 0);
  return kClientSuccess;
}

void set_stop_flag(MQTTClient c, const volatile std::sig_atomic_t* stop, int timeout_ms) {
  c->stop = stop;
  c->stop_timeout_ms = timeout_ms;
}

void MQTTClient_yield() {
  ClientState* c = current_client;
  if (c == nullptr || !c->connected) return;
  // The direct path reads acknowledgements in bulk whenever it waits for input; here it only
  // steps in once half the window is taken, so a fast stream costs no system call per record.
  if (c->direct && c->count < kWindowRecords / 2 && c->out.size() - c->out_pos < kFlushBytes) {
    return;
  }
  service(*c, -1, 0);
}

int MQTTClient_disconnect(MQTTClient c, int timeout) {
  if (!c->connected) return c->count > 0 ? kClientDisconnected : kClientSuccess;
  c->last_progress_ms = now_ms();
  while (c->count > 0 || output_pending(*c)) {
    // A connection lost during the wait gets the caller's one reconnection, as one lost before.
    if (!c->connected) return c->count > 0 ? kClientDisconnected : kClientFailure;
    long long left = c->last_progress_ms + timeout - now_ms();
    if (left <= 0) return kClientFailure;
    bool writing = output_pending(*c);
    if (service(*c, -1, static_cast<int>(left < kServiceIntervalMs ? left : kServiceIntervalMs)) <
        0) {
      return kClientFailure;
    }
    // Bytes leaving the queue are progress too, however slowly the broker drains them.
    if (writing && !output_pending(*c)) c->last_progress_ms = now_ms();
  }
  mosquitto_disconnect(c->mosq.get());
  c->connected = false;
  return kClientSuccess;
}

void MQTTClient_destroy(MQTTClient* handle) {
  if (*handle == current_client) current_client = nullptr;
  delete *handle;
  *handle = nullptr;
}

int wait_for_input(MQTTClient c, int fd) {
  for (;;) {
    int events = service(*c, fd, kServiceIntervalMs);
    if (events < 0) return -1;
    if (events & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) return 0;
  }
}

bool topic_is_publishable(const char* topic) {
  size_t len = strlen(topic);
  return len > 0 && len <= kMaxTopicBytes && mosquitto_pub_topic_check(topic) == MOSQ_ERR_SUCCESS &&
         mosquitto_validate_utf8(topic, static_cast<int>(len)) == MOSQ_ERR_SUCCESS;
}
