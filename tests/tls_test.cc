// TLS end to end: the server is verified by its CA and its host name, a client certificate is
// offered when the broker asks for one, and every unusable certificate setting fails the
// connection.
#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

const char kDelivered[] = "Using topic t\nConnecting\nStopping\n";
const char kRefused[] = "Using topic t\nConnecting\nFailed to connect\n";

// EC keys keep this to a fraction of a second. Every certificate but other-ca.pem is signed by
// ca.pem; server.pem names localhost and 127.0.0.1, elsewhere.pem only a name we never dial.
const char kMakeCertificates[] = R"(set -e
ec="-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
openssl req -x509 $ec -days 2 -subj /CN=linecast-test-ca -keyout ca.key -out ca.pem
openssl req -x509 $ec -days 2 -subj /CN=linecast-other-ca -keyout other-ca.key -out other-ca.pem
leaf() {
  openssl req $ec -subj "/CN=$2" -addext "subjectAltName=$3" -keyout "$1.key" -out "$1.csr"
  openssl x509 -req -days 2 -copy_extensions copy -in "$1.csr" -CA ca.pem -CAkey ca.key \
    -CAcreateserial -out "$1.pem"
}
leaf server localhost DNS:localhost,IP:127.0.0.1
leaf elsewhere elsewhere.invalid DNS:elsewhere.invalid
leaf client linecast-client DNS:linecast-client
openssl ec -in client.key -aes128 -passout pass:secret -out client-encrypted.key
mkdir capath
cp ca.pem capath/
openssl rehash capath
echo "not a certificate" > garbage.pem
)";

// The certificates of this run, made on first use and removed at exit.
struct Certificates {
  std::string dir = make_temp_dir();
  Certificates() {
    write_file(dir + "/make.sh", kMakeCertificates);
    std::string cmd = "cd '" + dir + "' && bash make.sh >make.log 2>&1";
    if (system(cmd.c_str()) != 0) throw std::runtime_error("openssl failed, see " + dir);
  }
  ~Certificates() { remove_tree(dir); }
};

std::string cert(const std::string& name) {
  static const Certificates certificates;
  return certificates.dir + "/" + name;
}

// The fixture waits for its first listener only; the second one may open a moment later.
void wait_until_accepting(int port) {
  long long deadline = monotonic_ms() + 5000;
  for (;;) {
    if (port_accepts(port)) return;
    if (monotonic_ms() > deadline) throw std::runtime_error("plain listener did not open");
    sleep_ms(10);
  }
}

// A broker whose main listener speaks TLS with the certificate `server`, and a plain listener
// for the subscriber.
struct TlsBroker {
  int plain_port = free_loopback_port();
  BrokerFixture broker;
  TlsBroker(const std::string& server, bool require_certificate)
      : broker("cafile " + cert("ca.pem") + "\ncertfile " + cert(server + ".pem") + "\nkeyfile " +
               cert(server + ".key") + "\nrequire_certificate " +
               (require_certificate ? "true" : "false") + "\nlistener " +
               std::to_string(plain_port) + " 127.0.0.1\n") {
    wait_until_accepting(plain_port);
  }
};

struct Case {
  std::string host;
  Strings options;
  bool delivered;
  const char* system_ca_file = nullptr;  // stands in for the system's store when set
};

// Runs each case with its own payload on topic "t" and checks what it printed, its status, and
// that the subscriber got exactly the payloads of the delivered cases.
void run_cases(const TlsBroker& tls, const std::vector<Case>& cases) {
  Subscriber sub(tls.plain_port, "t", 1);
  Strings expected;
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    Strings args = {"t", "--host", c.host, "--port", tls.broker.port_text(), "--qos", "1"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    std::string payload = "case " + std::to_string(i) + "\n";
    if (c.system_ca_file != nullptr) setenv("SSL_CERT_FILE", c.system_ca_file, 1);
    std::string out, err;
    int status = run_linecast(args, payload, &out, &err);
    unsetenv("SSL_CERT_FILE");
    EXPECT_EQ(out, c.delivered ? kDelivered : kRefused) << "case " << i;
    EXPECT_EQ(status, c.delivered ? 0 : 255) << "case " << i;
    EXPECT_EQ(err, "") << "case " << i;
    if (c.delivered) expected.push_back(payload);
  }
  EXPECT_EQ(sub.payloads(expected.size(), 5000), expected);
}

TEST(Tls, VerifiesTheServerByItsCa) {
  const std::string ca = cert("ca.pem");
  const Strings client = {"--cert", cert("client.pem"), "--key", cert("client.key")};
  const std::vector<Case> cases = {
      {"127.0.0.1", {"--cafile", ca}, true},
      {"localhost", {"--cafile", ca}, true},
      {"127.0.0.1", {"--capath", cert("capath")}, true},
      {"127.0.0.1", {"--cafile", cert("other-ca.pem")}, false},
      {"127.0.0.1", {"--cafile", cert("missing.pem")}, false},
      {"127.0.0.1", {"--cafile", cert("garbage.pem")}, false},
      {"127.0.0.1", {}, false},  // plain MQTT to a TLS listener
      // Without a CA option the system's store decides; a client certificate turns TLS on.
      {"127.0.0.1", client, true, ca.c_str()},
      {"127.0.0.1", client, false},
  };
  TlsBroker tls("server", false);
  run_cases(tls, cases);
}

TEST(Tls, RefusesAServerCertificateForAnotherName) {
  const std::vector<Case> cases = {
      {"127.0.0.1", {"--cafile", cert("ca.pem")}, false},
      {"localhost", {"--capath", cert("capath")}, false},
  };
  TlsBroker tls("elsewhere", false);
  run_cases(tls, cases);
}

TEST(Tls, OffersTheClientCertificateWhenTheBrokerRequiresOne) {
  const std::string ca = cert("ca.pem");
  const std::string pem = cert("client.pem");
  const std::vector<Case> cases = {
      {"127.0.0.1", {"--cafile", ca, "--cert", pem, "--key", cert("client.key")}, true},
      {"127.0.0.1", {"--cafile", ca}, false},
      {"127.0.0.1", {"--cafile", ca, "--cert", pem, "--key", cert("other-ca.key")}, false},
      {"127.0.0.1", {"--cafile", ca, "--cert", pem}, false},
      {"127.0.0.1", {"--cafile", ca, "--key", cert("client.key")}, false},
      {"127.0.0.1",
       {"--cafile", ca, "--cert", cert("missing.pem"), "--key", cert("client.key")},
       false},
      // Refused without a prompt: standard input is data.
      {"127.0.0.1", {"--cafile", ca, "--cert", pem, "--key", cert("client-encrypted.key")}, false},
  };
  TlsBroker tls("server", true);
  run_cases(tls, cases);
}

// Acknowledgements arrive in batches inside TLS records; each must still be seen at once, or
// the orderly end waits for them in vain.
TEST(Tls, ManyRecordsAtQos1) {
  TlsBroker tls("server", false);
  Subscriber sub(tls.plain_port, "t", 1);
  std::string input;
  Strings expected;
  for (int i = 0; i < 400; ++i) {
    expected.push_back(std::to_string(i) + "\n");
    input += expected.back();
  }
  std::string out;
  EXPECT_EQ(run_linecast({"t", "--host", "localhost", "--port", tls.broker.port_text(), "--qos",
                          "1", "--cafile", cert("ca.pem")},
                         input, &out),
            0);
  EXPECT_EQ(out, kDelivered);
  EXPECT_EQ(sub.payloads(expected.size(), 10000), expected);
}

}  // namespace
