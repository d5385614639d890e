// connect_broker against a real mosquitto over every layer combination, and against servers
// that refuse or talk nonsense.
#include "net/connect.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "certificates.h"
#include "fake_broker.h"
#include "mqtt_packets.h"
#include "net/io.h"
#include "net/websocket.h"
#include "proxies.h"
#include "test_support.h"
#include "wait.h"

namespace {

constexpr long long kAttemptMs = 5000;

// Sends PINGREQ over the connection and reads the PINGRESP back.
void expect_ping_round_trip(Connection& connection, const std::string& what) {
  std::string ping;
  encode_pingreq(ping);
  long long deadline = now_ms() + kAttemptMs;
  ASSERT_EQ(send_all(*connection.layer, ping.data(), ping.size(), deadline), ConnectFailure::kNone)
      << what;
  unsigned char answer[2];
  ASSERT_EQ(recv_exactly(*connection.layer, answer, 2, deadline), ConnectFailure::kNone) << what;
  EXPECT_EQ(answer[0], kPingrespType) << what;
  EXPECT_EQ(answer[1], 0) << what;
}

TEST(Connect, EveryLayerCombinationReachesTheBroker) {
  const std::string ws = websockets_listener_config();
  BrokerFixture broker("", "", "", false,
                       {tls_listener_config("server"), ws, ws + tls_listener_config("server"),
                        "psk_hint linecast\npsk_file " + cert("psk") + "\n"});
  const int tls_port = broker.listener_port(0), ws_port = broker.listener_port(1),
            wss_port = broker.listener_port(2), psk_port = broker.listener_port(3);
  Socks5Proxy socks5;
  HttpProxy http({"proxy user", "pass:word", ""});
  const std::string ca = cert("ca.pem");
  struct Case {
    const char* name;
    int port;
    bool tls;
    const char* ws_path;
    const char* psk = nullptr;
  };
  const std::vector<Case> transports = {{"tcp", broker.port(), false, nullptr},
                                        {"tls", tls_port, true, nullptr},
                                        {"ws", ws_port, false, "/mqtt"},
                                        {"wss", wss_port, true, "/mqtt"},
                                        {"tls-psk", psk_port, true, nullptr, "c0ffee"}};
  const std::vector<ProxyKind> proxies = {ProxyKind::kNone, ProxyKind::kSocks5, ProxyKind::kHttp};
  for (const Case& c : transports) {
    for (ProxyKind proxy : proxies) {
      const std::string what = std::string(c.name) + " proxy " + std::to_string(int(proxy));
      ConnectRequest r;
      r.host = "127.0.0.1";
      r.port = c.port;
      r.clientid = "connect-test";
      r.protocol_version = proxy == ProxyKind::kHttp ? 5 : 4;
      r.tls = c.tls;
      r.cafile = c.psk == nullptr ? ca.c_str() : nullptr;
      r.psk = c.psk;
      r.psk_identity = "linecast-id";
      r.ws_path = c.ws_path;
      r.proxy_kind = proxy;
      r.proxy_host = "127.0.0.1";
      r.proxy_port = proxy == ProxyKind::kSocks5 ? socks5.port() : http.port();
      if (proxy == ProxyKind::kHttp) r.proxy_username = "proxy user";
      if (proxy == ProxyKind::kHttp) r.proxy_password = "pass:word";
      Connection connection;
      ConnectError error;
      ASSERT_TRUE(connect_broker(r, now_ms() + kAttemptMs, &connection, &error))
          << what << ": " << failure_text(error);
      EXPECT_FALSE(connection.session_present) << what;
      EXPECT_EQ(connection.early_input, "") << what;
      expect_ping_round_trip(connection, what);
    }
  }
  EXPECT_EQ(http.requests().size(), transports.size());
  EXPECT_EQ(socks5.requests().size(), transports.size());
}

// A WebSocket server that accepts one upgrade as it should, then sends a text frame, which
// MQTT over WebSocket does not use.
class BadFramesServer {
 public:
  BadFramesServer() : listener_(listen_on_loopback(&port_)), thread_([this] { serve(); }) {}
  ~BadFramesServer() {
    thread_.join();
    close(listener_);
  }
  int port() const { return port_; }

 private:
  void serve() {
    int fd = accept(listener_, nullptr, nullptr);
    if (fd < 0) return;
    std::string head;
    char byte;
    while (head.find("\r\n\r\n") == std::string::npos && read(fd, &byte, 1) == 1) head += byte;
    size_t key = head.find("Sec-WebSocket-Key: ") + 19;
    std::string answer =
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
        "Connection: Upgrade\r\nSec-WebSocket-Protocol: mqtt\r\n"
        "Sec-WebSocket-Accept: " +
        ws_accept_for(head.substr(key, head.find("\r\n", key) - key)) + "\r\n\r\n" +
        bytes({0x81, 0x02, 0x20, 0x02});
    EXPECT_EQ(write(fd, answer.data(), answer.size()), static_cast<ssize_t>(answer.size()));
    while (read(fd, &byte, 1) > 0) {
    }
    close(fd);
  }
  int port_ = 0;
  int listener_;
  std::thread thread_;  // last: started once the members above exist
};

TEST(Connect, RefusalsAndNonsenseAreNamed) {
  FakeBrokerOptions mqtt311_only;
  mqtt311_only.connack = bytes({0x20, 0x02, 0x00, 0x01});
  FakeBroker old_broker(mqtt311_only);
  FakeBrokerOptions v5_limits;
  v5_limits.connack = bytes({0x20, 0x0D, 0x01, 0x00, 0x0A, 0x21, 0x00, 0x05, 0x24, 0x01, 0x27, 0x00,
                             0x00, 0x10, 0x00}) +
                      bytes({0xD0, 0x00});  // a PINGRESP right behind it
  FakeBroker limits(v5_limits);
  HttpProxy not_found({"", "", "HTTP/1.1 404 Not Found\r\n\r\n"});
  HttpProxy garbage({"", "", "SSH-2.0-something\r\n"});
  HttpProxy needs_credentials({"user", "secret", ""});
  const std::string long_head = "HTTP/1.1 200 OK\r\nX-Padding: " + std::string(9000, 'p');
  HttpProxy too_long({"", "", long_head});
  HttpProxy http_server({"", "", "HTTP/1.1 400 Bad Request\r\n\r\n", /*answer_at_once=*/true});
  Socks5Proxy socks5;
  BadFramesServer bad_frames;
  struct Case {
    int port;
    const char* ws_path;
    ProxyKind proxy;
    int proxy_port;
    int version;
    std::string reason;
    std::string host = "127.0.0.1";
  };
  const std::vector<Case> cases = {
      {old_broker.port(), nullptr, ProxyKind::kNone, 0, 5, "the broker does not speak MQTT 5"},
      {old_broker.port(), nullptr, ProxyKind::kNone, 0, 4, "broker refused the connection"},
      {not_found.port(), "/mqtt", ProxyKind::kNone, 0, 4,
       "WebSocket upgrade refused: 404 Not Found"},
      {garbage.port(), "/mqtt", ProxyKind::kNone, 0, 4,
       "WebSocket upgrade refused: no HTTP answer"},
      {limits.port(), nullptr, ProxyKind::kHttp, needs_credentials.port(), 4,
       "proxy refused: 407 Proxy Authentication Required"},
      {limits.port(), nullptr, ProxyKind::kHttp, garbage.port(), 4,
       "proxy refused: no HTTP answer"},
      {limits.port(), nullptr, ProxyKind::kHttp, too_long.port(), 4,
       "the HTTP answer's header block is too long"},
      {too_long.port(), "/mqtt", ProxyKind::kNone, 0, 4,
       "the HTTP answer's header block is too long"},
      {limits.port(), nullptr, ProxyKind::kSocks5, http_server.port(), 4,
       "proxy refused: an HTTP answer, not SOCKS5"},
      {limits.port(), nullptr, ProxyKind::kSocks5, socks5.port(), 4,
       "the broker's name is over the 255 bytes SOCKS5 carries", std::string(256, 'h')},
      {bad_frames.port(), "/mqtt", ProxyKind::kNone, 0, 4,
       "the broker broke the WebSocket framing: linecast closed the connection"},
      {limits.port(), nullptr, ProxyKind::kNone, 0, 5, "connected"},
  };
  for (const Case& c : cases) {
    ConnectRequest r;
    r.host = c.host;
    r.port = c.port;
    r.protocol_version = c.version;
    r.ws_path = c.ws_path;
    r.proxy_kind = c.proxy;
    r.proxy_host = "127.0.0.1";
    r.proxy_port = c.proxy_port;
    Connection connection;
    ConnectError error;
    bool connected = connect_broker(r, now_ms() + kAttemptMs, &connection, &error);
    EXPECT_EQ(failure_text(error), c.reason);
    EXPECT_EQ(connected, c.reason == "connected") << c.reason;
    if (!connected) continue;
    EXPECT_TRUE(connection.session_present);
    EXPECT_EQ(connection.receive_maximum, 5);
    EXPECT_EQ(connection.maximum_qos, 1);
    EXPECT_EQ(connection.maximum_packet_size, 0x1000u);
    EXPECT_EQ(connection.early_input, bytes({0xD0, 0x00}));
  }
}

}  // namespace
