// The one file that calls libmosquitto: the library's set-up, and each connection up to the
// broker's CONNACK (name lookup, SOCKS5 proxy, TCP and TLS handshakes, CONNECT with
// credentials, will and properties). After CONNACK the socket and the TLS object go to the
// transport, and libmosquitto is not asked to read or write again until the next connection.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

typedef struct ssl_st SSL;
struct mosquitto;

/// Everything one connection attempt needs. Texts are not copied.
struct ConnectRequest {
  std::string host;
  int port = -1;  // -1: the address had no usable port, and every attempt fails
  const char* clientid = "";
  const char* username = nullptr;
  const char* password = nullptr;
  int keepalive = 20;
  int protocol_version = 4;  // 4 for MQTT 3.1.1, 5 for MQTT 5
  bool clean_start = true;
  int64_t session_expiry = -1;  // MQTT 5; -1 for none
  // TLS: on when `tls` is set. Without cafile and capath the system's CAs are trusted.
  bool tls = false;
  const char* cafile = nullptr;
  const char* capath = nullptr;
  const char* cert = nullptr;
  const char* key = nullptr;
  const char* alpn = nullptr;
  const char* psk = nullptr;  // hex; instead of certificates
  const char* psk_identity = nullptr;
  // SOCKS5 proxy, when proxy_host is not empty.
  std::string proxy_host;
  int proxy_port = 1080;
  std::string proxy_username;
  std::string proxy_password;
  const char* bind_address = nullptr;
  // Will, when will_topic is set.
  const char* will_topic = nullptr;
  const char* will_payload = nullptr;
  int will_qos = 0;
  bool will_retain = false;
};

/// Why an attempt failed, in the words a user can act on.
enum class ConnectFailure {
  kNone,
  kSetup,    // the client could not be set up with these options
  kBadPort,  // the address names no usable port
  kHostNotFound,
  kRefused,
  kTimeout,
  kClosed,   // the broker closed the connection before CONNACK
  kNotMqtt,  // the broker's answer was not MQTT
  kProxy,    // the SOCKS5 proxy refused or failed
  kTlsUntrusted,
  kTlsNameMismatch,
  kTlsKeyMismatch,
  kTlsOther,
  kBadCredentials,
  kNotAuthorised,
  kIdentifierRejected,
  kBrokerRefused,  // any other refusal in CONNACK
  kOther,
};

/// One line of plain words for `failure` ("connection refused").
const char* failure_text(ConnectFailure failure);

/// What the broker granted in CONNACK; MQTT 5 limits are 0 when it named none.
struct Connection {
  int fd = -1;
  SSL* ssl = nullptr;  // TLS only; freed with the connection
  bool session_present = false;
  uint16_t receive_maximum = 0;
  uint32_t maximum_packet_size = 0;
  uint16_t topic_alias_maximum = 0;
  int server_keepalive = -1;  // seconds the broker asks for instead of ours; -1 when it does not
};

struct MosquittoDeleter {
  void operator()(mosquitto* mosq) const;
};

/// The library's client, reused for every connection of the run.
struct Connector {
  std::unique_ptr<mosquitto, MosquittoDeleter> mosq;
  std::string clientid;
  // Filled by the library's callbacks during an attempt.
  int connack = -1;  // -1 while no CONNACK came
  Connection granted;
  std::string error_log;  // the library's error lines of this attempt
};

/// Sets up a client with `clientid`. Returns false when the library refuses it.
bool connector_init(Connector& c, const char* clientid);

/// Connects and waits up to `timeout_ms` for CONNACK. Returns true when the broker accepted
/// the connection, with what it granted in `*connection`; otherwise false with the reason.
/// An earlier connection of `c` is closed first.
bool connector_connect(Connector& c, const ConnectRequest& request, int timeout_ms,
                       Connection* connection, ConnectFailure* failure);

/// Closes the connection without a DISCONNECT, as a lost one is.
void connector_close(Connector& c);

/// Whether a broker can accept messages published to `topic`: not empty, no wildcard, valid
/// UTF-8, at most 65,535 bytes.
bool topic_is_publishable(const char* topic);

/// "major.minor.revision" of the libmosquitto this program runs with.
std::string library_version();

/// Sets up libmosquitto for the lifetime of the object.
struct ClientLibrary {
  ClientLibrary();
  ~ClientLibrary();
  ClientLibrary(const ClientLibrary&) = delete;
  ClientLibrary& operator=(const ClientLibrary&) = delete;
};
