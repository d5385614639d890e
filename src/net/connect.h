// Making one connection to the broker, up to its CONNACK: what an attempt needs, what the
// broker granted, and why an attempt failed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "net/layer.h"

/// How the connection reaches the broker when a proxy stands between.
enum class ProxyKind { kNone, kSocks5, kHttp };

/// A broker's address: a name or an address (an IPv6 literal without brackets), and a port.
struct Endpoint {
  std::string host;
  int port = 1883;
};

/// "host:port", with an IPv6 address in brackets ("[::1]:1883").
std::string endpoint_text(const Endpoint& endpoint);

/// Everything one connection attempt needs. Texts are not copied: they outlive the request.
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
  // A proxy, when proxy_kind is not kNone.
  ProxyKind proxy_kind = ProxyKind::kNone;
  std::string proxy_host;
  int proxy_port = 1080;
  std::string proxy_username;
  std::string proxy_password;
  const char* bind_address = nullptr;
  // MQTT over WebSocket to this path when set.
  const char* ws_path = nullptr;
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
  kInterrupted,     // a stop request came during the attempt
  kClosed,          // the broker closed the connection before CONNACK
  kNotMqtt,         // the broker's answer was not MQTT
  kNotMqtt5,        // the broker does not speak MQTT 5
  kFraming,         // the broker's WebSocket frames were malformed, so linecast closed it
  kTooLong,         // an HTTP answer (proxy, WebSocket upgrade) whose head is over the limit
  kHostTooLong,     // through SOCKS5, a broker name over the 255 bytes it can carry
  kProxy,           // the proxy refused or failed; the detail says how
  kUpgradeRefused,  // the WebSocket upgrade was refused; the detail says how
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

struct ConnectError {
  ConnectFailure failure = ConnectFailure::kNone;
  std::string detail;  // for kProxy and kUpgradeRefused: the status line's code and text
};

/// One line of plain words for `error` ("connection refused", "WebSocket upgrade refused: 404
/// Not Found").
std::string failure_text(const ConnectError& error);

/// A connection the broker accepted, with what it granted in CONNACK. MQTT 5 limits the broker
/// left out keep the values below.
struct Connection {
  std::unique_ptr<Layer> layer;  // the top of the chain; owns everything below it
  std::string early_input;       // bytes read after CONNACK, to be taken before the layer's
  bool session_present = false;
  uint16_t receive_maximum = 0;      // 0: none named
  uint32_t maximum_packet_size = 0;  // 0: none named
  uint16_t topic_alias_maximum = 0;
  int server_keepalive = -1;  // seconds the broker asks for instead of ours; -1 when it does not
  int maximum_qos = 2;
  bool retain_available = true;
};

/// Connects through every layer `request` names (name resolution, proxy, TCP, TLS, WebSocket),
/// sends CONNECT and waits for CONNACK, all by `deadline` (on the clock of wait.h). Returns
/// true with the connection in `*connection` once the broker accepted it; otherwise false with
/// the reason in `*error`. A stop signal during any wait ends the attempt at once with
/// kInterrupted; the deadline passing ends it with kTimeout.
[[nodiscard]] bool connect_broker(const ConnectRequest& request, long long deadline,
                                  Connection* connection, ConnectError* error);
