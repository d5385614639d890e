// connect_broker: the chain from the TCP connection up through proxy, TLS and WebSocket to
// the broker's CONNACK, all by one deadline; and the words for each way it can fail.
#include <cerrno>
#include <string>

#include "mqtt_packets.h"
#include "net/connect.h"
#include "net/io.h"
#include "net/proxy.h"
#include "net/tcp.h"
#include "net/tls.h"
#include "net/websocket.h"

namespace {

// Reads a CONNACK within this many bytes: bytes read after it are kept for the session.
constexpr size_t kReadBytes = 4096;

// The layers below MQTT: TCP (to the proxy when there is one), the tunnel, TLS, WebSocket.
ConnectFailure open_layers(const ConnectRequest& r, long long deadline, std::unique_ptr<Layer>* top,
                           std::string* detail) {
  const bool proxied = r.proxy_kind != ProxyKind::kNone;
  std::unique_ptr<Layer> layer;
  ConnectFailure failure =
      tcp_connect(proxied ? r.proxy_host : r.host, proxied ? r.proxy_port : r.port, r.bind_address,
                  deadline, &layer);
  if (failure == ConnectFailure::kNone && r.proxy_kind == ProxyKind::kSocks5) {
    failure = socks5_connect(*layer, r.host, r.port, r.proxy_username, r.proxy_password, deadline,
                             detail);
  }
  if (failure == ConnectFailure::kNone && r.proxy_kind == ProxyKind::kHttp) {
    failure =
        http_connect(*layer, r.host, r.port, r.proxy_username, r.proxy_password, deadline, detail);
  }
  if (failure == ConnectFailure::kNone && r.tls) {
    failure = tls_connect(std::move(layer), r, deadline, &layer);
  }
  if (failure == ConnectFailure::kNone && r.ws_path != nullptr) {
    failure = websocket_connect(std::move(layer), r, deadline, &layer, detail);
  }
  if (failure == ConnectFailure::kNone) *top = std::move(layer);
  return failure;
}

std::string connect_packet(const ConnectRequest& r) {
  ConnectFields f;
  f.protocol_version = r.protocol_version;
  f.clientid = r.clientid;
  f.clean_start = r.clean_start;
  f.keepalive = static_cast<uint16_t>(r.keepalive);
  if (r.username != nullptr) f.username = r.username;
  if (r.username != nullptr && r.password != nullptr) f.password = r.password;
  if (r.will_topic != nullptr) {
    f.will_topic = r.will_topic;
    f.will_payload = r.will_payload != nullptr ? r.will_payload : "";
    f.will_qos = r.will_qos;
    f.will_retain = r.will_retain;
  }
  if (r.protocol_version == 5) f.session_expiry = r.session_expiry;
  std::string out;
  encode_connect(out, f);
  return out;
}

ConnectFailure refusal(bool v5, uint8_t code) {
  if (v5) {
    switch (code) {
      case 0x01:  // a 3.1.1 broker's "unacceptable protocol version"
      case 0x84:
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
    case 2:
      return ConnectFailure::kIdentifierRejected;
    case 4:
      return ConnectFailure::kBadCredentials;
    case 5:
      return ConnectFailure::kNotAuthorised;
    default:
      return ConnectFailure::kBrokerRefused;
  }
}

// Reads until a whole CONNACK is in `*in`. kNone with it decoded into `*connack` and its size
// in `*size`.
ConnectFailure read_connack(Layer& layer, bool v5, long long deadline, std::string* in,
                            Connack* connack, size_t* size) {
  for (;;) {
    unsigned char buf[kReadBytes];
    size_t got = 0;
    ConnectFailure failure = recv_some(layer, buf, sizeof buf, deadline, &got);
    // a broker that closes at once on an MQTT 5 CONNECT does not know that version
    if (failure == ConnectFailure::kClosed && in->empty() && v5) return ConnectFailure::kNotMqtt5;
    if (failure != ConnectFailure::kNone) return failure;
    in->append(reinterpret_cast<const char*>(buf), got);
    long n =
        decode_connack(reinterpret_cast<const unsigned char*>(in->data()), in->size(), v5, connack);
    if (n < 0) return ConnectFailure::kNotMqtt;
    if (n > 0) {
      *size = static_cast<size_t>(n);
      return ConnectFailure::kNone;
    }
  }
}

void fill(const Connack& c, Connection* connection) {
  connection->session_present = c.session_present;
  connection->receive_maximum = c.receive_maximum;
  connection->maximum_packet_size = c.maximum_packet_size;
  connection->topic_alias_maximum = c.topic_alias_maximum;
  connection->server_keepalive = c.server_keepalive;
  connection->maximum_qos = c.maximum_qos;
  connection->retain_available = c.retain_available;
}

ConnectFailure mqtt_connect(const ConnectRequest& r, long long deadline, Connection* connection) {
  std::unique_ptr<Layer>& layer = connection->layer;
  const bool v5 = r.protocol_version == 5;
  const std::string packet = connect_packet(r);
  ConnectFailure failure = send_all(*layer, packet.data(), packet.size(), deadline);
  if (failure == ConnectFailure::kClosed && v5) return ConnectFailure::kNotMqtt5;
  std::string in;
  Connack connack;
  size_t size = 0;
  if (failure == ConnectFailure::kNone) {
    failure = read_connack(*layer, v5, deadline, &in, &connack, &size);
  }
  if (failure != ConnectFailure::kNone) return failure;
  if (connack.code != 0) return refusal(v5, connack.code);
  fill(connack, connection);
  connection->early_input = in.substr(size);
  return ConnectFailure::kNone;
}

}  // namespace

std::string endpoint_text(const Endpoint& endpoint) {
  std::string port = ":" + std::to_string(endpoint.port);
  if (endpoint.host.find(':') != std::string::npos) return "[" + endpoint.host + "]" + port;
  return endpoint.host + port;
}

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
    case ConnectFailure::kFraming:
      return "the broker broke the WebSocket framing: linecast closed the connection";
    case ConnectFailure::kHostTooLong:
      return "the broker's name is over the 255 bytes SOCKS5 carries";
    case ConnectFailure::kTooLong:
      return "the HTTP answer's header block is too long";
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
      break;
  }
  return "connection failed";
}

bool connect_broker(const ConnectRequest& request, long long deadline, Connection* connection,
                    ConnectError* error) {
  *error = ConnectError();
  *connection = Connection();
  if (request.port < 1 || request.port > 65535) {
    error->failure = ConnectFailure::kBadPort;
    return false;
  }
  error->failure = open_layers(request, deadline, &connection->layer, &error->detail);
  if (error->failure == ConnectFailure::kNone) {
    error->failure = mqtt_connect(request, deadline, connection);
  }
  if (error->failure == ConnectFailure::kNone) return true;
  *connection = Connection();  // closes whatever was open
  return false;
}
