// The TLS layer: one SSL_CTX and SSL per connection, over the socket of the layer below.
#include "net/tls.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "wait.h"

namespace {

struct CtxFree {
  void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
struct SslFree {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};

// The pre-shared key as OpenSSL's callback hands it over; lives as long as the SSL object.
struct PskSecret {
  std::vector<unsigned char> key;
  std::string identity;
};

constexpr int kMaxPskBytes = 64;

class TlsLayer : public Layer {
 public:
  TlsLayer(std::unique_ptr<Layer> below, std::unique_ptr<SSL_CTX, CtxFree> ctx,
           std::unique_ptr<SSL, SslFree> ssl, std::unique_ptr<PskSecret> psk)
      : below_(std::move(below)), ctx_(std::move(ctx)), ssl_(std::move(ssl)), psk_(std::move(psk)) {
    // SSL_get_error needs an empty error queue before each call; every failure empties it again.
    ERR_clear_error();
  }

  ssize_t send(const unsigned char* data, size_t len) override {
    write_blocked_ = write_wants_read_ = false;
    if (len == 0) return 0;  // no bytes of its own beyond the record the caller retries
    int n = SSL_write(ssl_.get(), data, static_cast<int>(std::min<size_t>(len, INT_MAX)));
    if (n > 0) return n;
    return stalled(n, &write_blocked_, &write_wants_read_);
  }

  // Read-ahead may hold whole records that poll() cannot see: read until the layer has
  // nothing more, so that a short read means empty, as on a plain socket.
  ssize_t recv(unsigned char* into, size_t room) override {
    read_wants_write_ = false;
    size_t got = 0;
    while (got < room) {
      int n =
          SSL_read(ssl_.get(), into + got, static_cast<int>(std::min<size_t>(room - got, INT_MAX)));
      if (n <= 0) {
        bool unused = false;
        if (stalled(n, &read_wants_write_, &unused) < 0 && got == 0) return -1;
        break;  // a failure after some bytes comes again at the next read
      }
      got += static_cast<size_t>(n);
      write_wants_read_ = false;  // a write waiting for a read may go on
    }
    return static_cast<ssize_t>(got);
  }

  // Decrypted bytes only: a record not yet whole must not make the poll spin.
  bool pending() const override { return SSL_pending(ssl_.get()) > 0; }

  short events() const override {
    return static_cast<short>((write_wants_read_ ? POLLIN : 0) |
                              (write_blocked_ || read_wants_write_ ? POLLOUT : 0));
  }
  int fd() const override { return below_->fd(); }

 private:
  // After an SSL call returned `n` <= 0: 0 with the wait it needs noted, or -1 when the
  // connection is closed or failed.
  ssize_t stalled(int n, bool* wants_write, bool* wants_read) {
    switch (SSL_get_error(ssl_.get(), n)) {
      case SSL_ERROR_WANT_WRITE:
        *wants_write = true;
        return 0;
      case SSL_ERROR_WANT_READ:
        *wants_read = true;
        return 0;
      case SSL_ERROR_ZERO_RETURN:
        errno = ECONNRESET;
        return -1;
      default:
        if (errno == 0) errno = ECONNRESET;
        ERR_clear_error();
        return -1;
    }
  }

  std::unique_ptr<Layer> below_;
  std::unique_ptr<SSL_CTX, CtxFree> ctx_;
  std::unique_ptr<SSL, SslFree> ssl_;  // after ctx_: freed first
  std::unique_ptr<PskSecret> psk_;
  bool write_blocked_ = false;
  bool write_wants_read_ = false;
  bool read_wants_write_ = false;
};

unsigned int psk_callback(SSL* ssl, const char*, char* identity, unsigned int max_identity,
                          unsigned char* key, unsigned int max_key) {
  const auto* psk = static_cast<const PskSecret*>(SSL_get_app_data(ssl));
  if (psk == nullptr || psk->identity.size() + 1 > max_identity || psk->key.size() > max_key) {
    return 0;
  }
  memcpy(identity, psk->identity.c_str(), psk->identity.size() + 1);
  memcpy(key, psk->key.data(), psk->key.size());
  return static_cast<unsigned int>(psk->key.size());
}

// The key bytes of the hex text `hex`, two digits a byte, leading zero bytes kept (an odd
// count of digits: the first stands alone); false when it is not hex or too long.
bool psk_from_hex(const char* hex, PskSecret* psk) {
  size_t digits = strlen(hex);
  if (digits == 0 || (digits + 1) / 2 > static_cast<size_t>(kMaxPskBytes)) return false;
  auto value = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  psk->key.assign((digits + 1) / 2, 0);
  for (size_t i = 0; i < digits; ++i) {
    int v = value(hex[digits - 1 - i]);
    if (v < 0) return false;
    psk->key[psk->key.size() - 1 - i / 2] |= static_cast<unsigned char>(v << (i % 2 * 4));
  }
  return true;
}

// Trust and the client's own certificate. kNone, kSetup or kTlsKeyMismatch.
ConnectFailure set_up_certificates(SSL_CTX* ctx, const ConnectRequest& r) {
  bool system_store = r.cafile == nullptr && r.capath == nullptr;
  if (system_store ? SSL_CTX_set_default_verify_paths(ctx) != 1
                   : SSL_CTX_load_verify_locations(ctx, r.cafile, r.capath) != 1) {
    return ConnectFailure::kSetup;
  }
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  if (r.cert == nullptr && r.key == nullptr) return ConnectFailure::kNone;
  // An encrypted key is refused rather than prompted for: standard input carries the data.
  SSL_CTX_set_default_passwd_cb(ctx, [](char*, int, int, void*) { return 0; });
  bool loaded = r.cert != nullptr && r.key != nullptr &&
                SSL_CTX_use_certificate_chain_file(ctx, r.cert) == 1 &&
                SSL_CTX_use_PrivateKey_file(ctx, r.key, SSL_FILETYPE_PEM) == 1 &&
                SSL_CTX_check_private_key(ctx) == 1;
  return loaded ? ConnectFailure::kNone : ConnectFailure::kTlsKeyMismatch;
}

// The context for one connection.
ConnectFailure make_context(const ConnectRequest& r, std::unique_ptr<SSL_CTX, CtxFree>* out) {
  std::unique_ptr<SSL_CTX, CtxFree> ctx(SSL_CTX_new(TLS_client_method()));
  if (ctx == nullptr) return ConnectFailure::kSetup;
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  SSL_CTX_set_mode(ctx.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // A broker sends each acknowledgement in a record of its own: read-ahead takes several in one
  // read instead of two reads (header, then body) each.
  SSL_CTX_set_read_ahead(ctx.get(), 1);
  ConnectFailure failure = ConnectFailure::kNone;
  if (r.psk != nullptr) {
    // TLS 1.2 PSK suites; under TLS 1.3 the same callback's key is used with SHA-256 suites.
    if (SSL_CTX_set_cipher_list(ctx.get(), "PSK") != 1) failure = ConnectFailure::kSetup;
    SSL_CTX_set_psk_client_callback(ctx.get(), psk_callback);
  } else {
    failure = set_up_certificates(ctx.get(), r);
  }
  if (failure == ConnectFailure::kNone) *out = std::move(ctx);
  return failure;
}

// The SSL object: broker name (SNI unless an address; checked against the certificate), ALPN.
bool set_up_connection(SSL* ssl, const ConnectRequest& r, int fd, PskSecret* psk) {
  in6_addr address;
  bool literal = inet_pton(AF_INET, r.host.c_str(), &address) == 1 ||
                 inet_pton(AF_INET6, r.host.c_str(), &address) == 1;
  X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
  bool ok = SSL_set_fd(ssl, fd) == 1 && SSL_set_app_data(ssl, psk) == 1;
  if (r.psk == nullptr) {
    ok = ok && (literal ? X509_VERIFY_PARAM_set1_ip_asc(param, r.host.c_str()) == 1
                        : X509_VERIFY_PARAM_set1_host(param, r.host.c_str(), 0) == 1);
  }
  if (!literal) ok = ok && SSL_set_tlsext_host_name(ssl, r.host.c_str()) == 1;
  if (r.alpn != nullptr) {
    std::string protos(1, static_cast<char>(strlen(r.alpn)));
    protos += r.alpn;
    ok = ok && SSL_set_alpn_protos(ssl, reinterpret_cast<const unsigned char*>(protos.data()),
                                   static_cast<unsigned>(protos.size())) == 0;
  }
  return ok;
}

// Why the handshake failed, from what the certificate check and the error queue say.
ConnectFailure handshake_failure(SSL* ssl, int error) {
  long verify = SSL_get_verify_result(ssl);
  ERR_clear_error();
  if (verify == X509_V_ERR_HOSTNAME_MISMATCH || verify == X509_V_ERR_IP_ADDRESS_MISMATCH) {
    return ConnectFailure::kTlsNameMismatch;
  }
  if (verify != X509_V_OK) return ConnectFailure::kTlsUntrusted;
  // The broker ended the connection without an alert: nothing TLS can say about it.
  if (error == SSL_ERROR_SYSCALL) return ConnectFailure::kClosed;
  return ConnectFailure::kTlsOther;
}

ConnectFailure handshake(SSL* ssl, int fd, long long deadline) {
  ERR_clear_error();
  for (;;) {
    int rc = SSL_connect(ssl);
    if (rc == 1) return ConnectFailure::kNone;
    int error = SSL_get_error(ssl, rc);
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
      return handshake_failure(ssl, error);
    }
    pollfd p{fd, static_cast<short>(error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
    int ready = wait_poll(&p, 1, deadline, WakeOn::kStop);
    if (ready == 0) return ConnectFailure::kTimeout;
    if (ready < 0 && errno != EINTR) return ConnectFailure::kOther;
  }
}

}  // namespace

ConnectFailure tls_connect(std::unique_ptr<Layer> below, const ConnectRequest& request,
                           long long deadline, std::unique_ptr<Layer>* layer) {
  std::unique_ptr<SSL_CTX, CtxFree> ctx;
  ConnectFailure failure = make_context(request, &ctx);
  if (failure != ConnectFailure::kNone) {
    ERR_clear_error();
    return failure;
  }
  std::unique_ptr<PskSecret> psk;
  if (request.psk != nullptr) {
    psk = std::make_unique<PskSecret>();
    psk->identity = request.psk_identity != nullptr ? request.psk_identity : "";
    if (!psk_from_hex(request.psk, psk.get())) return ConnectFailure::kSetup;
  }
  std::unique_ptr<SSL, SslFree> ssl(SSL_new(ctx.get()));
  if (ssl == nullptr || !set_up_connection(ssl.get(), request, below->fd(), psk.get())) {
    ERR_clear_error();
    return ConnectFailure::kSetup;
  }
  failure = handshake(ssl.get(), below->fd(), deadline);
  if (failure != ConnectFailure::kNone) return failure;
  layer->reset(new TlsLayer(std::move(below), std::move(ctx), std::move(ssl), std::move(psk)));
  return ConnectFailure::kNone;
}
