// Connections through libmosquitto, up to CONNACK, and the failures they end in. The socket
// and the TLS object the library set up become the connection's one layer.
#include "connector.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <climits>
#include <cstring>
#include <memory>

#include "net/connect.h"
#include "wait.h"

namespace {

struct MosquittoDeleter {
  void operator()(mosquitto* mosq) const { mosquitto_destroy(mosq); }
};
using Mosquitto = std::unique_ptr<mosquitto, MosquittoDeleter>;

// The library's client for one attempt, and what its callbacks saw.
struct Connector {
  Mosquitto mosq;
  int connack = -1;  // -1 while no CONNACK came
  Connection granted;
  std::string error_log;  // the library's error lines of this attempt
};

// The connection the library made, read and written directly: plain or through its SSL object.
struct MosquittoLayer : Layer {
  Mosquitto mosq;
  int sock;
  SSL* ssl;
  short wants = 0;  // what the last write that took nothing waits for
  MosquittoLayer(Mosquitto m, int fd, SSL* s) : mosq(std::move(m)), sock(fd), ssl(s) {
    // The attempt's callbacks and their object are gone.
    mosquitto_connect_v5_callback_set(mosq.get(), nullptr);
    mosquitto_log_callback_set(mosq.get(), nullptr);
    mosquitto_user_data_set(mosq.get(), nullptr);
    if (ssl == nullptr) return;
    // SSL_get_error needs an empty error queue before each call. Only failures fill it, and
    // each failure empties it again, so it is emptied here once rather than before every
    // read and write: with one TLS record per acknowledgement that was a tenth of the CPU.
    ERR_clear_error();
    SSL_set_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // A broker sends each acknowledgement in a TLS record of its own: without read-ahead every
    // one costs two reads (header, then body) instead of sharing one with its neighbours.
    SSL_set_read_ahead(ssl, 1);
  }

  ssize_t send(const unsigned char* data, size_t len) override {
    wants = 0;
    if (len == 0) return 0;
    if (ssl == nullptr) {
      for (;;) {
        ssize_t n = ::send(sock, data, len, MSG_NOSIGNAL);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        wants = POLLOUT;
        return 0;
      }
    }
    int n = SSL_write(ssl, data, static_cast<int>(std::min<size_t>(len, INT_MAX)));
    if (n > 0) return n;
    switch (SSL_get_error(ssl, n)) {
      case SSL_ERROR_WANT_WRITE:
        wants = POLLOUT;
        return 0;
      case SSL_ERROR_WANT_READ:
        wants = POLLIN;
        return 0;
      default:
        ERR_clear_error();
        return -1;
    }
  }

  ssize_t recv(unsigned char* into, size_t room) override {
    if (ssl == nullptr) {
      for (;;) {
        ssize_t n = ::recv(sock, into, room, 0);
        if (n > 0) return n;
        if (n == 0) return -1;
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
      }
    }
    // Read-ahead may hold whole records that poll() cannot see: read until the layer has
    // nothing more, so that a short read means empty, as on a plain socket.
    size_t got = 0;
    while (got < room) {
      int n = SSL_read(ssl, into + got, static_cast<int>(std::min<size_t>(room - got, INT_MAX)));
      if (n > 0) {
        got += static_cast<size_t>(n);
        continue;
      }
      int error = SSL_get_error(ssl, n);
      if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) break;
      ERR_clear_error();
      if (got == 0) return -1;
      break;  // the failure comes again at the next read
    }
    return static_cast<ssize_t>(got);
  }

  // Decrypted bytes only: an incomplete record waits for the socket like any other input.
  bool pending() const override { return ssl != nullptr && SSL_pending(ssl) > 0; }
  short events() const override { return wants; }
  int fd() const override { return sock; }
};

// A wait inside an attempt wakes at least this often to run the library's own timers.
constexpr int kStepMs = 1000;

void on_connect(mosquitto*, void* obj, int rc, int flags, const mosquitto_property* props) {
  auto* c = static_cast<Connector*>(obj);
  c->connack = rc;
  if (rc != 0) return;
  Connection& g = c->granted;
  g.session_present = (flags & 1) != 0;
  uint16_t value16 = 0;
  uint32_t value32 = 0;
  if (mosquitto_property_read_int16(props, MQTT_PROP_RECEIVE_MAXIMUM, &value16, false)) {
    g.receive_maximum = value16;
  }
  if (mosquitto_property_read_int16(props, MQTT_PROP_TOPIC_ALIAS_MAXIMUM, &value16, false)) {
    g.topic_alias_maximum = value16;
  }
  if (mosquitto_property_read_int16(props, MQTT_PROP_SERVER_KEEP_ALIVE, &value16, false)) {
    g.server_keepalive = value16;
  }
  if (mosquitto_property_read_int32(props, MQTT_PROP_MAXIMUM_PACKET_SIZE, &value32, false)) {
    g.maximum_packet_size = value32;
  }
  uint8_t value8 = 0;
  if (mosquitto_property_read_byte(props, MQTT_PROP_MAXIMUM_QOS, &value8, false)) {
    g.maximum_qos = value8;
  }
  if (mosquitto_property_read_byte(props, MQTT_PROP_RETAIN_AVAILABLE, &value8, false)) {
    g.retain_available = value8 != 0;
  }
}

// The library's error lines are the only place a TLS failure is explained.
void on_log(mosquitto*, void* obj, int level, const char* line) {
  if ((level & (MOSQ_LOG_ERR | MOSQ_LOG_WARNING)) == 0) return;
  std::string& log = static_cast<Connector*>(obj)->error_log;
  if (log.size() < 4096) log.append(line).push_back('\n');
}

bool logged(const Connector& c, const char* text) {
  return c.error_log.find(text) != std::string::npos;
}

bool set_up_tls(mosquitto* mosq, const ConnectRequest& r) {
  if (r.psk != nullptr) {
    if (mosquitto_tls_psk_set(mosq, r.psk, r.psk_identity, nullptr) != MOSQ_ERR_SUCCESS) {
      return false;
    }
  } else {
    // Without a CA of the user's, the system store is trusted: the option below loads it. The
    // library takes no client certificate without some CA location, so the system directory is
    // named too (a missing one is ignored).
    constexpr const char* kSystemCertDir = "/etc/ssl/certs";
    constexpr int kVerifyPeer = 1;  // SSL_VERIFY_PEER; the host name is checked as well
    bool system_store = r.cafile == nullptr && r.capath == nullptr;
    // An encrypted key is refused rather than prompted for: standard input carries the data.
    auto no_passphrase = [](char*, int, int, void*) { return 0; };
    if (mosquitto_tls_set(mosq, r.cafile, system_store ? kSystemCertDir : r.capath, r.cert, r.key,
                          no_passphrase) != MOSQ_ERR_SUCCESS ||
        mosquitto_tls_opts_set(mosq, kVerifyPeer, nullptr, nullptr) != MOSQ_ERR_SUCCESS ||
        mosquitto_tls_insecure_set(mosq, false) != MOSQ_ERR_SUCCESS ||
        (system_store &&
         mosquitto_int_option(mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1) != MOSQ_ERR_SUCCESS)) {
      return false;
    }
  }
  return r.alpn == nullptr ||
         mosquitto_string_option(mosq, MOSQ_OPT_TLS_ALPN, r.alpn) == MOSQ_ERR_SUCCESS;
}

// libmosquitto takes CONNECT properties only through its blocking connect call, which keeps
// them for the client's later connections even when it refuses its own arguments: an invalid
// port stores them without connecting, and the non-blocking connect then sends them.
bool store_connect_properties(mosquitto* mosq, const ConnectRequest& r) {
  mosquitto_property* props = nullptr;
  if (mosquitto_property_add_int32(&props, MQTT_PROP_SESSION_EXPIRY_INTERVAL,
                                   static_cast<uint32_t>(r.session_expiry)) != MOSQ_ERR_SUCCESS) {
    return false;
  }
  int rc = mosquitto_connect_bind_v5(mosq, r.host.c_str(), -1, r.keepalive, nullptr, props);
  mosquitto_property_free_all(&props);
  return rc == MOSQ_ERR_INVAL;
}

// A fresh library client for one attempt, with every option of `r`. Records that still need sending are this program's to send again, so the
// library keeps no session state of its own.
bool configure(Connector& c, const ConnectRequest& r) {
  c.mosq.reset(mosquitto_new(r.clientid, r.clean_start, &c));
  if (c.mosq == nullptr) return false;
  mosquitto* mosq = c.mosq.get();
  mosquitto_connect_v5_callback_set(mosq, on_connect);
  mosquitto_log_callback_set(mosq, on_log);
  bool v5 = r.protocol_version == 5;
  mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, v5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
  mosquitto_int_option(mosq, MOSQ_OPT_TCP_NODELAY, 1);
  if (r.username != nullptr &&
      mosquitto_username_pw_set(mosq, r.username, r.password) != MOSQ_ERR_SUCCESS) {
    return false;
  }
  if (r.tls && !set_up_tls(mosq, r)) return false;
  if (!r.proxy_host.empty() &&
      mosquitto_socks5_set(mosq, r.proxy_host.c_str(), r.proxy_port,
                           r.proxy_username.empty() ? nullptr : r.proxy_username.c_str(),
                           r.proxy_password.empty() ? nullptr : r.proxy_password.c_str()) !=
          MOSQ_ERR_SUCCESS) {
    return false;
  }
  if (r.will_topic != nullptr) {
    const char* payload = r.will_payload != nullptr ? r.will_payload : "";
    int len = static_cast<int>(strlen(payload));
    int rc = v5 ? mosquitto_will_set_v5(mosq, r.will_topic, len, payload, r.will_qos, r.will_retain,
                                        nullptr)
                : mosquitto_will_set(mosq, r.will_topic, len, payload, r.will_qos, r.will_retain);
    if (rc != MOSQ_ERR_SUCCESS) return false;
  }
  return !v5 || r.session_expiry < 0 || store_connect_properties(mosq, r);
}

ConnectFailure refusal(const ConnectRequest& r, int code) {
  if (r.protocol_version == 5) {
    switch (code) {
      case CONNACK_REFUSED_PROTOCOL_VERSION:  // a 3.1.1 broker's answer to an MQTT 5 CONNECT
        return ConnectFailure::kNotMqtt5;
      case 0x85:
        return ConnectFailure::kIdentifierRejected;
      case 0x86:
        return ConnectFailure::kBadCredentials;
      case 0x87:
        return ConnectFailure::kNotAuthorised;
      default:
        return ConnectFailure::kBrokerRefused;
    }
  }
  switch (code) {
    case CONNACK_REFUSED_IDENTIFIER_REJECTED:
      return ConnectFailure::kIdentifierRejected;
    case CONNACK_REFUSED_BAD_USERNAME_PASSWORD:
      return ConnectFailure::kBadCredentials;
    case CONNACK_REFUSED_NOT_AUTHORIZED:
      return ConnectFailure::kNotAuthorised;
    default:
      return ConnectFailure::kBrokerRefused;
  }
}

// Why a library call failed with `rc`, `err` being errno right after it.
ConnectFailure classify(const Connector& c, int rc, int err) {
  if (logged(c, "host name verification failed")) return ConnectFailure::kTlsNameMismatch;
  if (logged(c, "certificate verify failed")) return ConnectFailure::kTlsUntrusted;
  if (logged(c, "key values mismatch") || logged(c, "Unable to load client")) {
    return ConnectFailure::kTlsKeyMismatch;
  }
  switch (rc) {
    case MOSQ_ERR_EAI:
      return ConnectFailure::kHostNotFound;
    case MOSQ_ERR_TLS:
      return ConnectFailure::kTlsOther;
    case MOSQ_ERR_PROXY:
      return ConnectFailure::kProxy;
    case MOSQ_ERR_PROTOCOL:
      return ConnectFailure::kNotMqtt;
    case MOSQ_ERR_CONN_LOST:
      return ConnectFailure::kClosed;
    case MOSQ_ERR_ERRNO:
      if (err == ECONNREFUSED) return ConnectFailure::kRefused;
      if (err == ETIMEDOUT) return ConnectFailure::kTimeout;
      return ConnectFailure::kOther;
    default:
      return ConnectFailure::kOther;
  }
}

// The error of a socket whose connection attempt poll() reported as failed, or 0.
int socket_error(int fd) {
  int err = 0;
  socklen_t len = sizeof err;
  return getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 ? err : errno;
}

}  // namespace

std::string failure_text(const ConnectError& error) {
  switch (error.failure) {
    case ConnectFailure::kNone:
      return "connected";
    case ConnectFailure::kSetup:
      return "the connection options were refused";
    case ConnectFailure::kBadPort:
      return "the port is not a number from 1 to 65535";
    case ConnectFailure::kHostNotFound:
      return "host not found";
    case ConnectFailure::kRefused:
      return "connection refused";
    case ConnectFailure::kTimeout:
      return "no answer within 5 s";
    case ConnectFailure::kInterrupted:
      return "interrupted";
    case ConnectFailure::kClosed:
      return "the broker closed the connection";
    case ConnectFailure::kNotMqtt:
      return "the broker did not answer in MQTT";
    case ConnectFailure::kNotMqtt5:
      return "the broker does not speak MQTT 5";
    case ConnectFailure::kProxy:
      return error.detail.empty() ? "the proxy refused the connection"
                                  : "proxy refused: " + error.detail;
    case ConnectFailure::kUpgradeRefused:
      return "WebSocket upgrade refused: " + error.detail;
    case ConnectFailure::kTlsUntrusted:
      return "TLS: certificate not trusted";
    case ConnectFailure::kTlsNameMismatch:
      return "TLS: name mismatch";
    case ConnectFailure::kTlsKeyMismatch:
      return "TLS: key mismatch";
    case ConnectFailure::kTlsOther:
      return "TLS: handshake failed";
    case ConnectFailure::kBadCredentials:
      return "broker refused: bad user name or password";
    case ConnectFailure::kNotAuthorised:
      return "broker refused: not authorised";
    case ConnectFailure::kIdentifierRejected:
      return "broker refused: identifier rejected";
    case ConnectFailure::kBrokerRefused:
      return "broker refused the connection";
    case ConnectFailure::kOther:
      return "connection failed";
  }
  return "connection failed";
}

namespace {

// Runs the library until CONNACK or a failure; the attempt's set-up is done.
ConnectFailure await_connack(Connector& c, const ConnectRequest& r, long long deadline) {
  mosquitto* mosq = c.mosq.get();
  errno = 0;
  int rc = mosquitto_connect_bind_async(mosq, r.host.c_str(), r.port, r.keepalive, r.bind_address);
  if (rc != MOSQ_ERR_SUCCESS) return classify(c, rc, errno);
  while (c.connack < 0) {
    int sock = mosquitto_socket(mosq);
    if (sock < 0) return classify(c, MOSQ_ERR_CONN_LOST, 0);
    if (ms_until(deadline) == 0) return ConnectFailure::kTimeout;
    pollfd p{sock, static_cast<short>(POLLIN | (mosquitto_want_write(mosq) ? POLLOUT : 0)), 0};
    if (wait_poll(&p, 1, earlier(deadline, now_ms() + kStepMs), WakeOn::kStop) < 0) {
      if (errno == EINTR) continue;  // the attempt runs its course: it may yet succeed
      return ConnectFailure::kOther;
    }
    // A refused or unreachable socket: over TLS the library would go on waiting for its
    // handshake and poll() would return at once, again and again.
    if ((p.revents & POLLERR) != 0 && (p.revents & POLLIN) == 0) {
      int err = socket_error(sock);
      return classify(c, MOSQ_ERR_ERRNO, err != 0 ? err : ECONNRESET);
    }
    errno = 0;
    rc = MOSQ_ERR_SUCCESS;
    if (p.revents & (POLLIN | POLLHUP | POLLERR)) rc = mosquitto_loop_read(mosq, 1);
    if (rc == MOSQ_ERR_SUCCESS && (p.revents & POLLOUT)) rc = mosquitto_loop_write(mosq, 1);
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_loop_misc(mosq);
    if (rc != MOSQ_ERR_SUCCESS && c.connack < 0) {
      ConnectFailure f = classify(c, rc, errno);
      // A broker that only speaks 3.1.1 may hang up on an MQTT 5 CONNECT.
      if (f == ConnectFailure::kClosed && r.protocol_version == 5) return ConnectFailure::kNotMqtt5;
      return f;
    }
    // A hung-up socket the library did not give up on: a TLS handshake would write to it
    // again and again. A socket that never connected was refused.
    if ((p.revents & POLLHUP) != 0 && c.connack < 0) {
      sockaddr_storage peer;
      socklen_t len = sizeof peer;
      bool connected = getpeername(sock, reinterpret_cast<sockaddr*>(&peer), &len) == 0;
      return connected ? ConnectFailure::kClosed : ConnectFailure::kRefused;
    }
  }
  return c.connack == 0 ? ConnectFailure::kNone : refusal(r, c.connack);
}

}  // namespace

bool connect_broker(const ConnectRequest& r, long long deadline, Connection* connection,
                    ConnectError* error) {
  *error = ConnectError();
  Connector c;
  if (!configure(c, r)) {
    error->failure = classify(c, MOSQ_ERR_INVAL, 0);
    if (error->failure == ConnectFailure::kOther) error->failure = ConnectFailure::kSetup;
    return false;
  }
  if (r.port < 0) {
    error->failure = ConnectFailure::kBadPort;
    return false;
  }
  error->failure = await_connack(c, r, deadline);
  if (error->failure != ConnectFailure::kNone) return false;
  *connection = std::move(c.granted);
  int fd = mosquitto_socket(c.mosq.get());
  auto* ssl = static_cast<SSL*>(mosquitto_ssl_get(c.mosq.get()));
  connection->layer = std::make_unique<MosquittoLayer>(std::move(c.mosq), fd, ssl);
  return true;
}

std::string library_version() {
  int major = 0, minor = 0, revision = 0;
  mosquitto_lib_version(&major, &minor, &revision);
  char text[64];
  snprintf(text, sizeof text, "%d.%d.%d", major, minor, revision);
  return text;
}

ClientLibrary::ClientLibrary() { mosquitto_lib_init(); }
ClientLibrary::~ClientLibrary() { mosquitto_lib_cleanup(); }
