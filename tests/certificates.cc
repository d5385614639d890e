// Test certificates and brokers with TLS listeners.
#include "certificates.h"

#include <cstdlib>
#include <stdexcept>

namespace {

// EC keys keep this to a fraction of a second.
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
echo "linecast-id:c0ffee" > psk
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

}  // namespace

std::string cert(const std::string& name) {
  static const Certificates certificates;
  return certificates.dir + "/" + name;
}

std::string tls_listener_config(const std::string& server, bool require_certificate) {
  return "cafile " + cert("ca.pem") + "\ncertfile " + cert(server + ".pem") + "\nkeyfile " +
         cert(server + ".key") + "\nrequire_certificate " +
         (require_certificate ? "true" : "false") + "\n";
}

TlsBroker::TlsBroker(const std::string& listener_config)
    : broker(listener_config, "", "", false, {""}), plain_port(broker.listener_port(0)) {}
