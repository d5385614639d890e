// Connections through libmosquitto, up to CONNACK, and the failures they end in.
#include "connector.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "transport.h"
#include "wait.h"

namespace {

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

// A fresh library client for one attempt, with every option of `r`; closes an earlier
// connection. Records that still need sending are this program's to send again, so the
// library keeps no session state of its own.
bool configure(Connector& c, const ConnectRequest& r) {
  if (c.mosq == nullptr) {
    c.mosq.reset(mosquitto_new(c.clientid.c_str(), r.clean_start, &c));
    if (c.mosq == nullptr) return false;
  } else if (mosquitto_reinitialise(c.mosq.get(), c.clientid.c_str(), r.clean_start, &c) !=
             MOSQ_ERR_SUCCESS) {
    return false;
  }
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

void MosquittoDeleter::operator()(mosquitto* mosq) const { mosquitto_destroy(mosq); }

const char* failure_text(ConnectFailure failure) {
  switch (failure) {
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
    case ConnectFailure::kClosed:
      return "the broker closed the connection";
    case ConnectFailure::kNotMqtt:
      return "the broker did not answer in MQTT";
    case ConnectFailure::kProxy:
      return "the proxy refused the connection";
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

bool connector_init(Connector& c, const char* clientid) {
  c.clientid = clientid;
  c.mosq.reset(mosquitto_new(clientid, true, &c));
  return c.mosq != nullptr;
}

bool connector_connect(Connector& c, const ConnectRequest& r, int timeout_ms,
                       Connection* connection, ConnectFailure* failure) {
  c.connack = -1;
  c.granted = Connection();
  c.error_log.clear();
  *failure = ConnectFailure::kNone;
  if (!configure(c, r)) {
    *failure = classify(c, MOSQ_ERR_INVAL, 0);
    if (*failure == ConnectFailure::kOther) *failure = ConnectFailure::kSetup;
    return false;
  }
  if (r.port < 0) {
    *failure = ConnectFailure::kBadPort;
    return false;
  }
  mosquitto* mosq = c.mosq.get();
  errno = 0;
  int rc = mosquitto_connect_bind_async(mosq, r.host.c_str(), r.port, r.keepalive, r.bind_address);
  if (rc != MOSQ_ERR_SUCCESS) {
    *failure = classify(c, rc, errno);
    return false;
  }
  const long long deadline = now_ms() + timeout_ms;
  while (c.connack < 0) {
    long long left = deadline - now_ms();
    int sock = mosquitto_socket(mosq);
    if (left <= 0 || sock < 0) {
      *failure = sock < 0 ? classify(c, MOSQ_ERR_CONN_LOST, 0) : ConnectFailure::kTimeout;
      return false;
    }
    pollfd p{sock, static_cast<short>(POLLIN | (mosquitto_want_write(mosq) ? POLLOUT : 0)), 0};
    if (wait_poll(&p, 1, earlier(deadline, now_ms() + kStepMs)) < 0) {
      if (errno == EINTR) continue;
      *failure = ConnectFailure::kOther;
      return false;
    }
    // A refused or unreachable socket: over TLS the library would go on waiting for its
    // handshake and poll() would return at once, again and again.
    if ((p.revents & POLLERR) != 0 && (p.revents & POLLIN) == 0) {
      int err = socket_error(sock);
      *failure = classify(c, MOSQ_ERR_ERRNO, err != 0 ? err : ECONNRESET);
      return false;
    }
    errno = 0;
    rc = MOSQ_ERR_SUCCESS;
    if (p.revents & (POLLIN | POLLHUP | POLLERR)) rc = mosquitto_loop_read(mosq, 1);
    if (rc == MOSQ_ERR_SUCCESS && (p.revents & POLLOUT)) rc = mosquitto_loop_write(mosq, 1);
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_loop_misc(mosq);
    if (rc != MOSQ_ERR_SUCCESS && c.connack < 0) {
      *failure = classify(c, rc, errno);
      return false;
    }
    // A hung-up socket the library did not give up on: a TLS handshake would write to it
    // again and again. A socket that never connected was refused.
    if ((p.revents & POLLHUP) != 0 && c.connack < 0) {
      sockaddr_storage peer;
      socklen_t len = sizeof peer;
      bool connected = getpeername(sock, reinterpret_cast<sockaddr*>(&peer), &len) == 0;
      *failure = connected ? ConnectFailure::kClosed : ConnectFailure::kRefused;
      return false;
    }
  }
  if (c.connack != 0) {
    *failure = refusal(r, c.connack);
    return false;
  }
  *connection = c.granted;
  connection->fd = mosquitto_socket(mosq);
  connection->ssl = static_cast<SSL*>(mosquitto_ssl_get(mosq));
  return true;
}

void connector_close(Connector& c) {
  if (c.mosq != nullptr) mosquitto_reinitialise(c.mosq.get(), c.clientid.c_str(), true, &c);
}

bool topic_is_publishable(const char* topic) {
  size_t len = strlen(topic);
  return len > 0 && len <= 65535 && mosquitto_pub_topic_check(topic) == MOSQ_ERR_SUCCESS &&
         mosquitto_validate_utf8(topic, static_cast<int>(len)) == MOSQ_ERR_SUCCESS;
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
