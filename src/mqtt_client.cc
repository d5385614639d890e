// The synchronous client over libmosquitto: connection set-up with a deadline, a bounded
// in-flight window that survives reconnections, and the poll()-based servicing of the socket.
#include "mqtt_client.h"

#include <poll.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <mosquitto.h>

namespace {

// The in-flight window at QoS 1 and 2: enough records to keep the pipe to the broker full,
// few enough bytes that memory stays small whatever the input rate.
constexpr size_t kWindowRecords = 512;
constexpr size_t kWindowBytes = 1024 * 1024;
// How long a wait may sleep before keep-alive work is due again.
constexpr int kServiceIntervalMs = 1000;
constexpr size_t kMaxTopicBytes = 65535;

struct MosquittoDeleter {
  void operator()(mosquitto* mosq) const { mosquitto_destroy(mosq); }
};

// A record published at QoS 1 or 2 and not yet fully acknowledged. Kept so that it can be sent
// again on a new connection; the buffers are reused from slot to slot.
struct Outstanding {
  int mid = 0;
  int qos = 0;
  bool retained = false;
  bool done = false;
  std::string topic;
  std::vector<unsigned char> payload;
};

long long now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

struct ClientState {
  std::unique_ptr<mosquitto, MosquittoDeleter> mosq;
  std::string host;
  int port = -1;  // -1 when the address had no usable port: every connection then fails
  std::string clientid;
  MQTTClient_connectOptions options{};
  bool connected = false;
  bool used = false;     // a connection was attempted, so a fresh session must be set up
  int connack = -1;      // CONNACK result of the attempt in progress, -1 while none came
  // Ring of outstanding records, oldest first.
  std::vector<Outstanding> window = std::vector<Outstanding>(kWindowRecords);
  size_t first = 0;
  size_t count = 0;
  size_t bytes = 0;
  long long last_progress_ms = 0;
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

void on_disconnect(mosquitto*, void* obj, int) { static_cast<ClientState*>(obj)->connected = false; }

// Called when a record is fully handed over: PUBACK at QoS 1, PUBCOMP at QoS 2.
void on_publish(mosquitto*, void* obj, int mid) {
  auto* c = static_cast<ClientState*>(obj);
  for (size_t i = 0; i < c->count; ++i) {
    Outstanding& o = slot(*c, i);
    if (!o.done && o.mid == mid) {
      o.done = true;
      c->last_progress_ms = now_ms();
      break;
    }
  }
  release_completed(*c);
}

// A failed library call on the connection means it is gone; the socket is not polled again
// and the next publish reports the loss.
void check(ClientState& c, int rc) {
  if (rc != MOSQ_ERR_SUCCESS) c.connected = false;
}

bool connecting(const ClientState& c) { return c.connack < 0 && c.used; }

// Waits up to `timeout_ms` for the broker socket and for `fd` (when >= 0), then services the
// connection: reads what arrived, writes what is queued, keeps the connection alive. Returns the
// events seen on `fd`, or -1 when poll failed with other than EINTR.
int service(ClientState& c, int fd, int timeout_ms) {
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
    fds[n++] = {sock, static_cast<short>(POLLIN | (mosquitto_want_write(c.mosq.get()) ? POLLOUT : 0)), 0};
  }
  int ready = poll(fds, static_cast<nfds_t>(n), timeout_ms);
  if (ready < 0) return errno == EINTR ? 0 : -1;
  if (sock_index >= 0) {
    short ev = fds[sock_index].revents;
    if (ev & (POLLIN | POLLHUP | POLLERR)) check(c, mosquitto_loop_read(c.mosq.get(), 1));
    if ((ev & POLLOUT) && (c.connected || connecting(c))) {
      check(c, mosquitto_loop_write(c.mosq.get(), 1));
    }
  }
  if (c.connected) check(c, mosquitto_loop_misc(c.mosq.get()));
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

// Sends every outstanding record again, oldest first, on the new connection.
bool resend_outstanding(ClientState& c) {
  for (size_t i = 0; i < c.count; ++i) {
    Outstanding& o = slot(c, i);
    if (o.done) continue;
    int rc = mosquitto_publish(c.mosq.get(), &o.mid, o.topic.c_str(),
                               static_cast<int>(o.payload.size()), o.payload.data(), o.qos,
                               o.retained);
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

// Waits until the window has room for `len` more bytes. False when the connection is lost.
bool wait_for_window(ClientState& c, size_t len) {
  while (c.count == kWindowRecords || (c.count > 0 && c.bytes + len > kWindowBytes)) {
    if (!c.connected) return false;
    if (service(c, -1, kServiceIntervalMs) < 0) return false;
  }
  return c.connected;
}

// Waits until earlier QoS 0 writes have left the library's queue, so that it never grows.
bool wait_for_writes(ClientState& c) {
  while (c.connected && mosquitto_want_write(c.mosq.get())) {
    if (service(c, -1, kServiceIntervalMs) < 0) return false;
  }
  return c.connected;
}

void remember(ClientState& c, int mid, const char* topic, const void* payload, int len, int qos,
              bool retained) {
  Outstanding& o = c.window[(c.first + c.count) % kWindowRecords];
  o.mid = mid;
  o.qos = qos;
  o.retained = retained;
  o.done = false;
  o.topic.assign(topic);
  const auto* bytes = static_cast<const unsigned char*>(payload);
  o.payload.assign(bytes, bytes + len);
  ++c.count;
  c.bytes += static_cast<size_t>(len);
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
  c->connack = -1;
  if (!setup_session(*c)) return kClientFailure;
  c->used = true;
  if (c->port < 0 || c->options.will != nullptr) return kClientFailure;
  int rc = mosquitto_connect_async(c->mosq.get(), c->host.c_str(), c->port,
                                   c->options.keepAliveInterval);
  if (rc != MOSQ_ERR_SUCCESS) return kClientFailure;
  long long deadline = now_ms() + kConnectTimeoutMs;
  while (c->connack < 0) {
    long long left = deadline - now_ms();
    if (left <= 0 || mosquitto_socket(c->mosq.get()) < 0) return kClientFailure;
    if (service(*c, -1, static_cast<int>(left)) < 0) return kClientFailure;
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
  if (dt != nullptr || payloadlen < 0) return kClientFailure;
  bool ready = qos > 0 ? wait_for_window(*c, static_cast<size_t>(payloadlen)) : wait_for_writes(*c);
  if (!ready) return kClientDisconnected;
  int mid = 0;
  int rc = mosquitto_publish(c->mosq.get(), &mid, topicName, payloadlen, payload, qos,
                             retained != 0);
  if (rc != MOSQ_ERR_SUCCESS) {
    check(*c, rc);
    return c->connected ? kClientFailure : kClientDisconnected;
  }
  if (qos > 0) remember(*c, mid, topicName, payload, payloadlen, qos, retained != 0);
  return kClientSuccess;
}

void MQTTClient_yield() {
  if (current_client != nullptr && current_client->connected) service(*current_client, -1, 0);
}

int MQTTClient_disconnect(MQTTClient c, int timeout) {
  if (!c->connected) return c->count > 0 ? kClientDisconnected : kClientSuccess;
  c->last_progress_ms = now_ms();
  while (c->count > 0 || mosquitto_want_write(c->mosq.get())) {
    long long left = c->last_progress_ms + timeout - now_ms();
    if (!c->connected || left <= 0) return kClientFailure;
    bool writing = mosquitto_want_write(c->mosq.get());
    if (service(*c, -1, static_cast<int>(left < kServiceIntervalMs ? left : kServiceIntervalMs)) < 0) {
      return kClientFailure;
    }
    // Bytes leaving the queue are progress too, however slowly the broker drains them.
    if (writing && !mosquitto_want_write(c->mosq.get())) c->last_progress_ms = now_ms();
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
  return len > 0 && len <= kMaxTopicBytes &&
         mosquitto_pub_topic_check(topic) == MOSQ_ERR_SUCCESS &&
         mosquitto_validate_utf8(topic, static_cast<int>(len)) == MOSQ_ERR_SUCCESS;
}
