// The connection options end to end: ALPN, pre-shared keys, WebSocket, the SOCKS5 and HTTP
// proxies, the local address, the will, the keep-alive, --help and --version, and the reason a
// verbose run gives when it cannot connect.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/crypto.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "certificates.h"
#include "fake_broker.h"
#include "proxies.h"
#include "test_support.h"

namespace {

const char kDelivered[] = "Using topic t\nConnecting\nStopping\n";
const char kFailed[] = "Using topic t\nConnecting\nFailed to connect\n";

// The usage text, as linecast without arguments prints it (publisher_test checks it exactly).
std::string usage_text() {
  std::string out;
  run_linecast({}, "", &out);
  return out;
}

// An `openssl s_server` on a free loopback port that speaks TLS with server.pem, offers `alpn`
// and prints what each client asked for; its input stays open so that it keeps each connection.
struct TlsServer {
  HeldPort held;  // until s_server listens there: it reuses the address, nothing else can
  int port = held.port();
  int input[2] = {-1, -1};
  std::unique_ptr<Child> child;
  explicit TlsServer(const std::string& alpn) {
    if (pipe2(input, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    // Line-buffered, so that what it printed can be read while it runs.
    child = std::make_unique<Child>(
        "stdbuf",
        Strings{"-oL", "openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(port),
                "-cert", cert("server.pem"), "-key", cert("server.key"), "-alpn", alpn},
        input[0]);
    if (!wait_for_output(*child, "ACCEPT\n", 1, 10000)) throw std::runtime_error("no s_server");
  }
  ~TlsServer() {
    child.reset();
    close(input[0]);
    close(input[1]);
  }
};

TEST(Alpn, TheServerSeesTheProtocolOfferedAndNoneWithoutTheOption) {
  struct Case {
    Strings options;
    std::string offered;  // the line s_server prints, empty when it prints none
  };
  const std::vector<Case> cases = {
      {{"--alpn", "x-linecast"}, "ALPN protocols advertised by the client: x-linecast\n"},
      {{}, ""},
  };
  for (const Case& c : cases) {
    TlsServer server("mqtt,x-linecast");
    Strings args = args_for(server.port, "t", {"--cafile", cert("ca.pem")});
    args.insert(args.end(), c.options.begin(), c.options.end());
    // s_server speaks no MQTT: linecast waits for a CONNACK that never comes, and is killed.
    Child linecast(args);
    ASSERT_TRUE(wait_for_output(*server.child, "CIPHER is", 1, 5000)) << server.child->out();
    std::string seen = server.child->out();
    EXPECT_EQ(count_of(seen, "ALPN protocols advertised"), c.offered.empty() ? 0u : 1u) << seen;
    if (!c.offered.empty()) {
      EXPECT_NE(seen.find(c.offered), std::string::npos) << seen;
    }
  }
}

// mosquitto has no ALPN of its own and takes a client that offers one.
TEST(Alpn, DeliversThroughABrokerWithoutAlpn) {
  TlsBroker tls(tls_listener_config("server"));
  Subscriber sub(tls.plain_port, "t", 1);
  std::string out;
  EXPECT_EQ(
      run_linecast(args_for(tls.broker.port(), "t", {"--alpn", "mqtt", "--cafile", cert("ca.pem")}),
                   "alpn\n", &out),
      0);
  EXPECT_EQ(out, kDelivered);
  EXPECT_EQ(sub.payloads(1, 5000), Strings{"alpn\n"});
}

TEST(Psk, TheRightKeyDeliversAnyOtherFailsToConnect) {
  const std::string key = "00112233445566778899aabbccddeeff";
  TempDir dir;
  write_file(dir.path + "/psk", "linecast:" + key + "\n");
  TlsBroker tls("psk_hint linecast-test\npsk_file " + dir.path + "/psk\n");
  Subscriber sub(tls.plain_port, "t", 1);
  struct Case {
    std::string key;
    std::string identity;
    bool delivered;
  };
  const std::vector<Case> cases = {
      {key, "linecast", true},
      {"00112233445566778899AABBCCDDEEFF", "linecast", true},  // hex digits in either case
      {"00112233445566778899aabbccddee00", "linecast", false},
      {key.substr(2), "linecast", false},  // a leading zero byte is part of the key
      {key, "someone", false},
  };
  Strings expected;
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    std::string payload = "case " + std::to_string(i) + "\n";
    std::string out;
    int status = run_linecast(
        args_for(tls.broker.port(), "t", {"--psk", c.key, "--psk-identity", c.identity}), payload,
        &out);
    EXPECT_EQ(status, c.delivered ? 0 : 255) << "case " << i;
    EXPECT_EQ(out, c.delivered ? kDelivered : kFailed) << "case " << i;
    if (c.delivered) expected.push_back(payload);
  }
  EXPECT_EQ(sub.payloads(expected.size(), 5000), expected);
}

// libmosquitto keeps the strings given to mosquitto_socks5_set after the client is destroyed.
// While this lives, the children of a sanitized build do not fail their leak check over that
// (LSAN_OPTIONS names a suppression for it); elsewhere the variable has no effect.
struct SocksLeakSuppressed {
  TempDir dir;
  bool had = getenv("LSAN_OPTIONS") != nullptr;
  std::string saved = had ? getenv("LSAN_OPTIONS") : "";
  SocksLeakSuppressed() {
    write_file(dir.path + "/lsan.supp", "leak:mosquitto_socks5_set\n");
    const std::string options =
        saved + ":print_suppressions=0:suppressions=" + dir.path + "/lsan.supp";
    setenv("LSAN_OPTIONS", options.c_str(), 1);
  }
  ~SocksLeakSuppressed() {
    if (had) {
      setenv("LSAN_OPTIONS", saved.c_str(), 1);
    } else {
      unsetenv("LSAN_OPTIONS");
    }
  }
};

TEST(Socks5, RecordsArriveThroughTheProxyAsAskedForAndARefusalFails) {
  SocksLeakSuppressed suppressed;
  BrokerFixture broker;
  Subscriber sub(broker.port(), "t", 1);
  struct Case {
    const char* name;
    Socks5Options options;
    std::string credentials;  // in the URL, with '@'
    std::string host;         // given to linecast and asked of the proxy
    int method;
  };
  Socks5Options with_password{"lc user", "p@ss:w/rd"};
  // The proxy resolves the host name: this one means the broker to it alone.
  with_password.target_port = broker.port();
  Socks5Options refusing;
  refusing.refuse = true;
  const std::vector<Case> cases = {
      {"no authentication", {}, "", "127.0.0.1", 0},
      {"user and password", with_password, "lc%20user:p%40ss%3Aw%2Frd@", "broker.invalid", 2},
      {"refusing", refusing, "", "127.0.0.1", 0},
  };
  Strings expected;
  for (const Case& c : cases) {
    Socks5Proxy proxy(c.options);
    const std::string url =
        "socks5h://" + c.credentials + "localhost:" + std::to_string(proxy.port());
    std::string payload = std::string(c.name) + "\n";
    std::string out, err;
    int status = run_linecast(
        {"t", "--host", c.host, "--port", broker.port_text(), "--qos", "1", "--proxy", url},
        payload, &out, &err);
    const bool delivered = !c.options.refuse;
    EXPECT_EQ(status, delivered ? 0 : 255) << c.name;
    EXPECT_EQ(out, delivered ? kDelivered : kFailed) << c.name;
    EXPECT_EQ(err, "") << c.name;
    if (delivered) expected.push_back(payload);
    std::vector<Socks5Request> requests = proxy.requests();
    ASSERT_EQ(requests.size(), 1u) << c.name;
    EXPECT_EQ(requests[0].method, c.method) << c.name;
    EXPECT_EQ(requests[0].user, c.method == 2 ? c.options.user : "") << c.name;
    EXPECT_EQ(requests[0].host, c.host) << c.name;
    EXPECT_EQ(requests[0].port, broker.port()) << c.name;
    EXPECT_EQ(requests[0].reply, delivered ? 0 : 5) << c.name;
  }
  EXPECT_EQ(sub.payloads(expected.size(), 5000), expected);
}

// Records at every QoS over WebSocket, plain and inside TLS, arrive in order on the plain
// listener; 500 records take many frames each way.
TEST(WebSocket, RecordsArriveOverWsAndWssAtEveryQos) {
  const std::string ws = websockets_listener_config();
  BrokerFixture broker("", "", "", false, {ws, ws + tls_listener_config("server")});
  struct Case {
    const char* name;
    int port;
    Strings tls;
  };
  const std::vector<Case> transports = {
      {"ws", broker.listener_port(0), {}},
      {"wss", broker.listener_port(1), {"--cafile", cert("ca.pem")}}};
  constexpr size_t kRecords = 500;
  for (const Case& c : transports) {
    for (const char* qos : {"0", "1", "2"}) {
      const std::string what = std::string(c.name) + " qos " + qos;
      Subscriber sub(broker.port(), "t", 2);
      Strings args = args_for(c.port, "t", {"--qos", qos, "--ws-path", "/mqtt"});
      args.insert(args.end(), c.tls.begin(), c.tls.end());
      std::string out;
      EXPECT_EQ(run_linecast(args, numbered(0, kRecords), &out), 0) << what;
      EXPECT_EQ(out, kDelivered) << what;
      expect_numbered(sub, kRecords, 9, what);
    }
  }
}

// Through an HTTP CONNECT proxy, plain and TLS, with and without credentials; a proxy that
// wants credentials it did not get refuses the tunnel (its reason: the Reason test).
TEST(HttpProxy, RecordsArriveThroughTheTunnelAndARefusalFails) {
  TlsBroker tls(tls_listener_config("server"));
  Subscriber sub(tls.plain_port, "t", 1);
  struct Case {
    const char* name;
    HttpProxyOptions proxy;
    std::string credentials;  // in the URL, with '@'
    int port;
    Strings options;
    bool delivered;
  };
  const HttpProxyOptions with_password{"lc user", "p@ss:w/rd", ""};
  const Strings ca = {"--cafile", cert("ca.pem")};
  const std::vector<Case> cases = {
      {"plain", {}, "", tls.plain_port, {}, true},
      {"tls with credentials", with_password, "lc%20user:p%40ss%3Aw%2Frd@", tls.broker.port(), ca,
       true},
      {"no credentials", with_password, "", tls.plain_port, {}, false},
  };
  Strings expected;
  for (const Case& c : cases) {
    HttpProxy proxy(c.proxy);
    Strings args =
        args_for(c.port, "t",
                 {"--qos", "1", "--proxy",
                  "http://" + c.credentials + "localhost:" + std::to_string(proxy.port())});
    args.insert(args.end(), c.options.begin(), c.options.end());
    const std::string payload = std::string(c.name) + "\n";
    std::string out, err;
    EXPECT_EQ(run_linecast(args, payload, &out, &err), c.delivered ? 0 : 255) << c.name;
    EXPECT_EQ(out, c.delivered ? kDelivered : kFailed) << c.name;
    EXPECT_EQ(err, "") << c.name;
    if (c.delivered) expected.push_back(payload);
    EXPECT_EQ(proxy.requests(),
              Strings{"CONNECT 127.0.0.1:" + std::to_string(c.port) + " HTTP/1.1"})
        << c.name;
  }
  EXPECT_EQ(sub.payloads(expected.size(), 5000), expected);
}

TEST(BindAddress, TheBrokerSeesTheLocalAddressGiven) {
  BrokerFixture broker;
  Subscriber sub(broker.port(), "t", 1);
  std::string out;
  // Loopback takes any 127/8 address as the source of a connection to 127.0.0.1.
  EXPECT_EQ(
      run_linecast(args_for(broker.port(), "t", {"--bind-address", "127.0.0.2"}), "b\n", &out), 0);
  EXPECT_EQ(out, kDelivered);
  EXPECT_EQ(sub.payloads(1, 5000), Strings{"b\n"});
  const std::string log = read_file(broker.dir() + "/broker.log");
  EXPECT_NE(log.find("New client connected from 127.0.0.2:"), std::string::npos) << log;
  // An address of no interface here cannot be bound.
  EXPECT_EQ(
      run_linecast(args_for(broker.port(), "t", {"--bind-address", "192.0.2.1"}), "b\n", &out),
      255);
  EXPECT_EQ(out, kFailed);
}

TEST(Will, PublishedWhenLinecastIsKilledMidStream) {
  struct Case {
    Strings options;
    std::string payload;  // as the broker publishes the will, with its QoS and retain flag
    int qos;
    bool retained;
  };
  const std::vector<Case> cases = {
      {{"--will-payload", "linecast is gone", "--will-qos", "2", "--will-retain"},
       "linecast is gone",
       2,
       true},
      {{"--will-qos", "1", "--protocol-version", "5"}, "", 1, false},
      {{"--will-payload", "x"}, "x", 0, false},
  };
  BrokerFixture broker;
  Subscriber data(broker.port(), "data", 1);
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    const std::string topic = "will/" + std::to_string(i);
    Subscriber will(broker.port(), topic, 2);
    Strings args = args_for(broker.port(), "data", {"--qos", "1", "--will-topic", topic});
    args.insert(args.end(), c.options.begin(), c.options.end());
    Child child(args);
    child.write("record\n");
    ASSERT_EQ(data.wait_for(i + 1, 5000).size(), i + 1) << "case " << i;
    child.signal(SIGKILL);
    EXPECT_EQ(child.wait(), 128 + SIGKILL);
    std::vector<Message> got = will.wait_for(1, 5000);
    ASSERT_EQ(got.size(), 1u) << "case " << i;
    EXPECT_EQ(got[0].payload, c.payload) << "case " << i;
    EXPECT_EQ(got[0].qos, c.qos) << "case " << i;
    // A subscriber that comes later gets the retained will first, then the marker. The marker
    // goes at QoS 2 as the will does: a QoS 0 one would reach the subscriber's callback before a
    // QoS 2 message still in its handshake.
    Subscriber later(broker.port(), topic, 2);
    EXPECT_EQ(run_linecast(args_for(broker.port(), topic, {"--qos", "2"}), "marker\n", nullptr), 0);
    got = later.wait_for(c.retained ? 2 : 1, 5000);
    Strings payloads = c.retained ? Strings{c.payload, "marker\n"} : Strings{"marker\n"};
    EXPECT_EQ(payloads_of(got), payloads) << "case " << i;
    if (c.retained && !got.empty()) {
      EXPECT_TRUE(got[0].retained) << "case " << i;
    }
  }
}

TEST(Will, NotPublishedAfterAnOrderlyEnd) {
  BrokerFixture broker;
  for (const char* version : {"3.1.1", "5"}) {
    Subscriber will(broker.port(), "will", 2);
    std::string out;
    EXPECT_EQ(run_linecast(args_for(broker.port(), "data",
                                    {"--will-topic", "will", "--will-payload", "gone",
                                     "--protocol-version", version}),
                           "a\nb\n", &out),
              0);
    EXPECT_EQ(out, "Using topic data\nConnecting\nStopping\n");
    // Had the broker published the will, it would have come before this.
    EXPECT_EQ(run_linecast(args_for(broker.port(), "will"), "marker\n", nullptr), 0);
    EXPECT_EQ(will.payloads(1, 5000), Strings{"marker\n"}) << "version " << version;
  }
}

TEST(Will, InvalidWillTopicIsRefusedBeforeConnecting) {
  for (const std::string& topic : {std::string("a/#"), std::string("+"), std::string("")}) {
    std::string out, err;
    EXPECT_EQ(run_linecast({"t", "--port", "1", "--will-topic", topic}, "x\n", &out, &err), 255);
    EXPECT_EQ(out, "Using topic t\nInvalid will topic\n") << topic;
    EXPECT_EQ(err, "") << topic;
  }
}

TEST(Options, MisusedConnectionOptionsAreUsageErrors) {
  const std::vector<Strings> lines = {
      {"--psk", "c0ffee", "--psk-identity", "me", "--cafile", "ca.pem"},
      {"--proxy", "https://localhost:1080"},
      {"--ws-path", "mqtt"},
      {"--proxy", "socks5h://localhost:port"},
      {"--will-payload", "gone"},
      {"--keepalive", "4"},
      {"--keepalive", "65536"},
  };
  const std::string usage = usage_text();
  for (const Strings& line : lines) {
    Strings args = {"t", "--port", "1"};
    args.insert(args.end(), line.begin(), line.end());
    std::string out, err;
    EXPECT_EQ(run_linecast(args, "x\n", &out, &err), 255) << line[0] << " " << line[1];
    EXPECT_EQ(out, usage) << line[0] << " " << line[1];
    EXPECT_EQ(err, "") << line[0] << " " << line[1];
  }
}

TEST(KeepAlive, ASilentLinkIsNoticedWithinOneAndAHalfIntervals) {
  BrokerFixture broker;
  TcpRelay relay(broker.port());
  Subscriber sub(broker.port(), "k", 1);
  // With --reconnect a loss while the input is idle is followed by a reconnection at once.
  Child child(args_for(relay.port(), "k", {"--qos", "1", "--keepalive", "5", "--reconnect", "1"}));
  child.write(numbered(0, 1));
  ASSERT_EQ(sub.payloads(1, 5000), numbered_records(1));
  relay.hold();
  long long held = monotonic_ms();
  // The PINGREQ is due 5 s after the last output and its answer 2.5 s after that.
  ASSERT_TRUE(wait_for_output(child, "Connecting\n", 2, 15000)) << child.out();
  long long noticed = monotonic_ms() - held;
  EXPECT_GE(noticed, 5000);
  EXPECT_LE(noticed, 9500);  // 7.5 s, room for a busy machine, short of two intervals
  relay.resume();            // the new connection goes through
  child.write(numbered(1, 1));
  child.close_input();
  EXPECT_EQ(child.wait(), 0);
  EXPECT_EQ(child.out(), "Using topic k\nConnecting\nConnecting\nStopping\n");
  // Its PUBACK may have been held with the link: the first record may come twice (QoS 1).
  EXPECT_EQ(distinct_payloads(sub, 2, 5000), numbered_records(2));
}

TEST(Options, HelpAndVersionAsTheFirstArgumentExitWith0) {
  std::string help, out, err;
  EXPECT_EQ(run_linecast({"--help"}, "", &help, &err), 0);
  EXPECT_EQ(err, "");
  EXPECT_EQ(help.rfind(usage_text(), 0), 0u) << help;
  EXPECT_NE(help.find("\nFurther options:\n"), std::string::npos) << help;
  EXPECT_NE(help.find("\n  --help, -h (as the first argument: print this text)\n"),
            std::string::npos)
      << help;
  EXPECT_EQ(run_linecast({"-h", "--qos", "9"}, "", &out), 0);
  EXPECT_EQ(out, help);
  const std::string version =
      std::string("linecast ") + LINECAST_VERSION + " (" + OpenSSL_version(OPENSSL_VERSION) + ")\n";
  EXPECT_EQ(run_linecast({"--version"}, "", &out, &err), 0);
  EXPECT_EQ(out, version);
  EXPECT_EQ(err, "");
  EXPECT_EQ(run_linecast({"--version", "--qos", "9"}, "", &out), 0);
  EXPECT_EQ(out, version);
}

TEST(Reason, VerboseFailureSaysWhyRightBeforeFailedToConnect) {
  // The main listener refuses clients without the user's password; two TLS listeners, one with
  // a certificate for this host and one for another name.
  BrokerFixture broker("", "alice", "pw", false,
                       {tls_listener_config("server"), tls_listener_config("elsewhere")});
  const int tls_port = broker.listener_port(0);
  const int elsewhere_port = broker.listener_port(1);
  FakeBrokerOptions silent;
  silent.accept = false;
  FakeBroker never_accepts(silent);
  FakeBrokerOptions bad_credentials;
  bad_credentials.connack = bytes({0x20, 0x02, 0x00, 0x04});
  FakeBroker refuses_credentials(bad_credentials);
  FakeBrokerOptions bad_credentials_5;
  bad_credentials_5.connack = bytes({0x20, 0x03, 0x00, 0x86, 0x00});
  FakeBroker refuses_credentials_5(bad_credentials_5);
  FakeBrokerOptions bad_identifier;
  bad_identifier.connack = bytes({0x20, 0x02, 0x00, 0x02});
  FakeBroker refuses_identifier(bad_identifier);
  HeldPort closed;  // nothing listens there
  const int closed_port = closed.port();
  HttpProxy not_found({"", "", "HTTP/1.1 404 Not Found\r\n\r\n"});
  HttpProxy garbage({"", "", "SSH-2.0-something\r\n"});
  HttpProxy needs_credentials({"user", "secret", ""});
  const Strings ws = {"--ws-path", "/mqtt"};

  struct Case {
    std::string host;
    int port;
    Strings options;
    const char* reason;  // null: without --verbose
    int attempts = 1;
  };
  const Strings ca = {"--cafile", cert("ca.pem")};
  const Strings alice = {"--username", "alice", "--password", "pw"};
  const std::vector<Case> cases = {
      // A label longer than DNS allows: refused by the local resolver, no query leaves.
      {std::string(64, 'n') + ".invalid", broker.port(), {}, "host not found"},
      {"127.0.0.1", closed_port, {}, "connection refused"},
      {"127.0.0.1", closed_port, {"--reconnect", "1"}, "connection refused", 2},
      {"127.0.0.1", never_accepts.port(), {}, "no answer within 5 s"},
      {"127.0.0.1", tls_port, {"--cafile", cert("other-ca.pem")}, "TLS: certificate not trusted"},
      {"127.0.0.1", elsewhere_port, ca, "TLS: name mismatch"},
      {"127.0.0.1",
       tls_port,
       {"--cafile", cert("ca.pem"), "--cert", cert("client.pem"), "--key", cert("other-ca.key")},
       "TLS: key mismatch"},
      {"127.0.0.1", refuses_credentials.port(), alice, "broker refused: bad user name or password"},
      {"127.0.0.1",
       refuses_credentials_5.port(),
       {"--protocol-version", "5"},
       "broker refused: bad user name or password"},
      // mosquitto refuses a wrong password as it refuses no credentials at all.
      {"127.0.0.1", broker.port(), {}, "broker refused: not authorised"},
      {"127.0.0.1",
       broker.port(),
       {"--username", "alice", "--password", "wrong"},
       "broker refused: not authorised"},
      {"127.0.0.1", refuses_identifier.port(), {}, "broker refused: identifier rejected"},
      {"127.0.0.1", not_found.port(), ws, "WebSocket upgrade refused: 404 Not Found"},
      {"127.0.0.1", garbage.port(), ws, "WebSocket upgrade refused: no HTTP answer"},
      {"127.0.0.1",
       broker.port(),
       {"--proxy", "http://127.0.0.1:" + std::to_string(needs_credentials.port())},
       "proxy refused: 407 Proxy Authentication Required"},
      {"127.0.0.1", closed_port, {}, nullptr},
  };
  // All at once: the silent one waits out the whole connect timeout.
  std::vector<std::unique_ptr<Child>> children;
  for (const Case& c : cases) {
    Strings args = {"t", "--host", c.host, "--port", std::to_string(c.port)};
    if (c.reason != nullptr) args.push_back("--verbose");
    args.insert(args.end(), c.options.begin(), c.options.end());
    children.push_back(std::make_unique<Child>(args));
    children.back()->offer("x\n");  // a child that fails at once reads nothing
    children.back()->close_input();
  }
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    std::string expected = kFailed;
    if (c.reason != nullptr) {
      expected = "URL is " + c.host + ":" + std::to_string(c.port) + "\nUsing topic t\n";
      for (int a = 0; a < c.attempts; ++a) expected += "Connecting\n";
      expected += "Reason: " + std::string(c.reason) + "\nFailed to connect\n";
    }
    EXPECT_EQ(children[i]->wait(15000), 255) << "case " << i;
    EXPECT_EQ(children[i]->out(), expected) << "case " << i;
    EXPECT_EQ(children[i]->err(), "") << "case " << i;
  }
}

}  // namespace
