// connect_broker against a real mosquitto over every layer combination, and against servers
// that refuse or talk nonsense.
#include "net/connect.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <string>
#include <thread>
#include <vector>

#include "certificates.h"
#include "fake_broker.h"
#include "mqtt_packets.h"
#include "net/io.h"
#include "proxies.h"
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
  struct Case {
    int port;
    const char* ws_path;
    ProxyKind proxy;
    int proxy_port;
    int version;
    std::string reason;
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
      {limits.port(), nullptr, ProxyKind::kNone, 0, 5, "connected"},
  };
  for (const Case& c : cases) {
    ConnectRequest r;
    r.host = "127.0.0.1";
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
