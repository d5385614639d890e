// The fake broker, the relay and the SOCKS5 proxy themselves, driven by libmosquitto and by
// raw sockets: the fault tests built on them are only as good as they are.
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string>
#include <vector>

#include "fake_broker.h"
#include "proxies.h"
#include "test_support.h"

namespace {

// Whether `condition` holds within 5 s.
template <typename Condition>
bool eventually(Condition condition) {
  for (long long deadline = monotonic_ms() + 5000; !condition(); sleep_ms(5)) {
    if (monotonic_ms() > deadline) return false;
  }
  return true;
}

// A libmosquitto client at the given protocol version on a network thread of its own.
class LibClient {
 public:
  explicit LibClient(int version) {
    mosquitto_lib_init();
    mosq_ = mosquitto_new(nullptr, true, this);
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, version);
    mosquitto_publish_callback_set(
        mosq_, [](mosquitto*, void* obj, int) { ++static_cast<LibClient*>(obj)->completed_; });
  }
  ~LibClient() {
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, true);
    mosquitto_destroy(mosq_);
    mosquitto_lib_cleanup();
  }
  mosquitto* get() { return mosq_; }
  bool connect(const std::string& host, int port) {
    return mosquitto_connect(mosq_, host.c_str(), port, 60) == MOSQ_ERR_SUCCESS &&
           mosquitto_loop_start(mosq_) == MOSQ_ERR_SUCCESS;
  }
  // Publishes completed: acknowledged as their QoS asks.
  int completed() const { return completed_; }

 private:
  mosquitto* mosq_;
  std::atomic<int> completed_{0};
};

// Exactly `n` bytes from `fd`, or what came before the end, an error or `timeout_ms`.
std::string read_bytes(int fd, size_t n, int timeout_ms = 5000) {
  std::string got;
  for (long long deadline = monotonic_ms() + timeout_ms; got.size() < n;) {
    pollfd p{fd, POLLIN, 0};
    long long left = deadline - monotonic_ms();
    if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) break;
    char buf[256];
    ssize_t r = read(fd, buf, std::min(sizeof buf, n - got.size()));
    if (r <= 0) break;
    got.append(buf, static_cast<size_t>(r));
  }
  return got;
}

// What a read of `fd` ends with once the peer is gone: 0 for an end (FIN), errno for an error,
// -1 for bytes or nothing within 5 s.
int end_of(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, 5000) <= 0) return -1;
  char byte;
  ssize_t n = read(fd, &byte, 1);
  return n == 0 ? 0 : n < 0 ? errno : -1;
}

// A 3.1.1 CONNECT: clean session, keep-alive 60 s, empty client identifier.
const std::string kConnectPacket =
    mqtt_packet(0x10, bytes({0, 4, 'M', 'Q', 'T', 'T', 4, 2, 0, 60, 0, 0}));
const std::string kConnackAccepted = bytes({0x20, 2, 0, 0});
const std::string kPingreqPacket = bytes({0xc0, 0});
const std::string kPingresp = bytes({0xd0, 0});

TEST(FakeBroker, DecodesPublishAndPubrelAtBothProtocolLevels) {
  struct Case {
    int version;
    std::string connack;
    std::string properties;  // sent with each PUBLISH, as they appear on the wire
  };
  const std::vector<Case> cases = {
      {MQTT_PROTOCOL_V311, kConnackAccepted, ""},
      // MQTT 5: the CONNACK has an (empty) property length; the properties come before the
      // payload, and a decoder that does not skip them gets the payload wrong.
      {MQTT_PROTOCOL_V5, bytes({0x20, 3, 0, 0, 0}), bytes({3, 0, 10}) + "text/plain"},
  };
  for (const Case& c : cases) {
    FakeBrokerOptions options;
    options.connack = c.connack;
    options.handler = broker_answer;
    FakeBroker fake(options);
    LibClient client(c.version);
    ASSERT_TRUE(client.connect("127.0.0.1", fake.port()));
    mosquitto_property* properties = nullptr;
    if (c.version == MQTT_PROTOCOL_V5) {
      mosquitto_property_add_string(&properties, MQTT_PROP_CONTENT_TYPE, "text/plain");
    }
    int mids[2] = {0, 0};
    ASSERT_EQ(mosquitto_publish_v5(client.get(), &mids[0], "a/b", 5, "hello", 1, false, properties),
              MOSQ_ERR_SUCCESS);
    ASSERT_EQ(mosquitto_publish_v5(client.get(), &mids[1], "c", 3, "x\0y", 2, false, properties),
              MOSQ_ERR_SUCCESS);
    mosquitto_property_free_all(&properties);
    // The client saw the PUBACK, PUBREC and PUBCOMP it expected.
    EXPECT_TRUE(eventually([&] { return client.completed() == 2; })) << "version " << c.version;
    std::vector<Packet> connects = fake.wait_for(1, 5000, kConnect);
    ASSERT_EQ(connects.size(), 1u);
    EXPECT_EQ(connects[0].protocol_level, c.version);
    std::vector<Packet> publishes = fake.wait_for(2, 5000, kPublish);
    ASSERT_EQ(publishes.size(), 2u);
    EXPECT_EQ(publishes[0].topic, "a/b");
    EXPECT_EQ(publishes[0].payload, "hello");
    EXPECT_EQ(publishes[0].qos(), 1);
    EXPECT_EQ(publishes[0].packet_id, mids[0]);
    EXPECT_EQ(publishes[1].topic, "c");
    EXPECT_EQ(publishes[1].payload, std::string("x\0y", 3));
    EXPECT_EQ(publishes[1].qos(), 2);
    EXPECT_EQ(publishes[1].packet_id, mids[1]);
    EXPECT_EQ(publishes[1].properties, c.properties);
    std::vector<Packet> pubrels = fake.wait_for(1, 5000, kPubrel);
    ASSERT_EQ(pubrels.size(), 1u);
    EXPECT_EQ(pubrels[0].packet_id, mids[1]);
    EXPECT_EQ(pubrels[0].flags, 2);
  }
}

TEST(FakeBroker, SendsUnaskedClosesOnDemandAndServesTheNextConnection) {
  FakeBroker fake;
  int first = connect_to_loopback(fake.port());
  ASSERT_GE(first, 0);
  ASSERT_TRUE(fake.wait_for_connections(1, 5000));
  ASSERT_TRUE(fake.send(kPingresp)) << "written before any CONNECT";
  EXPECT_EQ(read_bytes(first, 2), kPingresp);
  ASSERT_EQ(write(first, kConnectPacket.data(), kConnectPacket.size()),
            static_cast<ssize_t>(kConnectPacket.size()));
  EXPECT_EQ(read_bytes(first, 4), kConnackAccepted);
  ASSERT_TRUE(fake.send(pubrec(7) + pubcomp(0x1234)));
  EXPECT_EQ(read_bytes(first, 8), bytes({0x50, 2, 0, 7, 0x70, 2, 0x12, 0x34}));
  fake.close_connection(/*reset=*/true);
  EXPECT_EQ(end_of(first), ECONNRESET);
  EXPECT_FALSE(fake.send(kPingresp)) << "no connection to write to";
  close(first);

  fake.set_connack(bytes({0x20, 2, 0, 5}));
  int second = connect_to_loopback(fake.port());
  ASSERT_GE(second, 0);
  ASSERT_EQ(write(second, kConnectPacket.data(), kConnectPacket.size()),
            static_cast<ssize_t>(kConnectPacket.size()));
  EXPECT_EQ(read_bytes(second, 4), bytes({0x20, 2, 0, 5}));
  fake.close_connection();
  EXPECT_EQ(end_of(second), 0);
  close(second);
  EXPECT_EQ(fake.connections(), 2);
  std::vector<Packet> connects = fake.wait_for(2, 5000, kConnect);
  ASSERT_EQ(connects.size(), 2u);
  EXPECT_EQ(connects[1].connection, 1);
}

TEST(TcpRelay, ForwardsHoldsCutsAndRefuses) {
  FakeBrokerOptions options;
  options.handler = broker_answer;
  FakeBroker fake(options);
  TcpRelay relay(fake.port());
  int client = connect_to_loopback(relay.port());
  ASSERT_GE(client, 0);
  ASSERT_EQ(write(client, kConnectPacket.data(), kConnectPacket.size()),
            static_cast<ssize_t>(kConnectPacket.size()));
  EXPECT_EQ(read_bytes(client, 4), kConnackAccepted);

  relay.hold();
  ASSERT_EQ(write(client, kPingreqPacket.data(), 2), 2);
  sleep_ms(200);
  EXPECT_EQ(fake.packets().size(), 1u) << "forwarded while held";
  relay.resume();
  EXPECT_EQ(fake.wait_for(1, 5000, kPingreq).size(), 1u);
  EXPECT_EQ(read_bytes(client, 2), kPingresp);
  // The counters move just after the bytes went out.
  EXPECT_TRUE(eventually([&] { return relay.bytes_to_client() == 4u + 2; }));
  EXPECT_EQ(relay.bytes_to_client(), 4u + 2);
  EXPECT_EQ(relay.bytes_to_target(), kConnectPacket.size() + 2);

  relay.cut();
  EXPECT_EQ(end_of(client), ECONNRESET);
  close(client);

  relay.refuse(true);
  int refused = connect_to_loopback(relay.port());
  ASSERT_GE(refused, 0);  // the kernel accepts; the relay then closes
  EXPECT_EQ(end_of(refused), 0);
  close(refused);
  relay.refuse(false);
  int again = connect_to_loopback(relay.port());
  ASSERT_GE(again, 0);
  ASSERT_EQ(write(again, kConnectPacket.data(), kConnectPacket.size()),
            static_cast<ssize_t>(kConnectPacket.size()));
  EXPECT_EQ(read_bytes(again, 4), kConnackAccepted);
  close(again);
  EXPECT_EQ(relay.connections(), 2);
  EXPECT_EQ(fake.connections(), 2);
}

// The client side of a SOCKS5 handshake (RFC 1928, RFC 1929) asking for the loopback `port`
// by `host`: IPv4 when it is 127.0.0.1, else a domain name. Offers user/password when `user` is
// given, else no authentication. Returns the socket once the proxy answered the CONNECT, or -1
// when it ended the handshake before; `*reply` gets the reply code.
int socks5_connect(int proxy_port, const std::string& host, int port, const std::string& user,
                   const std::string& password, int* reply) {
  *reply = -1;
  int fd = connect_to_loopback(proxy_port);
  if (fd < 0) return -1;
  const int method = user.empty() ? 0 : 2;
  std::string request = bytes({5, 1, method});
  bool ok = send(fd, request.data(), request.size(), MSG_NOSIGNAL) == 3 &&
            read_bytes(fd, 2) == bytes({5, method});
  if (ok && method == 2) {
    request = bytes({1, static_cast<int>(user.size())}) + user +
              bytes({static_cast<int>(password.size())}) + password;
    ok = send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
             static_cast<ssize_t>(request.size()) &&
         read_bytes(fd, 2) == bytes({1, 0});
  }
  if (ok) {
    request = host == "127.0.0.1" ? bytes({5, 1, 0, 1, 127, 0, 0, 1})
                                  : bytes({5, 1, 0, 3, static_cast<int>(host.size())}) + host;
    request += bytes({port >> 8, port & 0xff});
    std::string answer;
    ok = send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
             static_cast<ssize_t>(request.size()) &&
         (answer = read_bytes(fd, 10)).size() == 10;
    if (ok) *reply = static_cast<uint8_t>(answer[1]);
  }
  if (!ok) {
    close(fd);
    return -1;
  }
  return fd;
}

TEST(Socks5Proxy, ConnectsAsAskedAndRefusesWhatItMust) {
  struct Case {
    const char* name;
    Socks5Options options;
    std::string host;  // asked for by the client
    std::string user;
    std::string password;
    int method;  // as the proxy records it
    int reply;
  };
  const Socks5Options with_password{"alice", "wonder land"};
  Socks5Options refusing;
  refusing.refuse = true;
  const std::vector<Case> cases = {
      {"no authentication, IPv4", {}, "127.0.0.1", "", "", 0, 0},
      {"no authentication, domain name", {}, "localhost", "", "", 0, 0},
      {"user and password", with_password, "127.0.0.1", "alice", "wonder land", 2, 0},
      {"wrong password", with_password, "127.0.0.1", "alice", "wonder", 2, -1},
      {"no credentials offered", with_password, "127.0.0.1", "", "", -1, -1},
      {"refusing", refusing, "localhost", "", "", 0, 5},
      {"not on this machine", {}, "192.0.2.1", "", "", 0, 2},
  };
  for (const Case& c : cases) {
    FakeBroker fake;
    Socks5Proxy proxy(c.options);
    int reply = -1;
    int fd = socks5_connect(proxy.port(), c.host, fake.port(), c.user, c.password, &reply);
    EXPECT_EQ(reply, c.reply) << c.name;
    if (reply == 0) {  // relayed both ways
      ASSERT_EQ(send(fd, kConnectPacket.data(), kConnectPacket.size(), MSG_NOSIGNAL),
                static_cast<ssize_t>(kConnectPacket.size()));
      EXPECT_EQ(read_bytes(fd, 4), kConnackAccepted) << c.name;
    }
    if (fd >= 0) close(fd);
    ASSERT_TRUE(eventually([&] { return !proxy.requests().empty(); })) << c.name;
    const Socks5Request request = proxy.requests()[0];
    EXPECT_EQ(request.method, c.method) << c.name;
    EXPECT_EQ(request.user, c.method == 2 ? c.user : "") << c.name;
    EXPECT_EQ(request.reply, c.reply) << c.name;
    if (c.reply != -1) {
      EXPECT_EQ(request.host, c.host) << c.name;
      EXPECT_EQ(request.port, fake.port()) << c.name;
    }
    EXPECT_EQ(fake.connections(), c.reply == 0 ? 1 : 0) << c.name;
  }
}

}  // namespace
