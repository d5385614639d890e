// Test certificates made with openssl on first use, and brokers with TLS listeners that use
// them: shared by the TLS tests and the connection option tests.
#pragma once

#include <string>

#include "broker_fixture.h"
#include "test_support.h"

/// The path of `name` among this run's test certificates, made on first use in a temporary
/// directory removed at exit; throws when openssl fails. Every certificate but other-ca.pem is
/// signed by ca.pem (keys: the same stem with .key): server.pem names localhost and 127.0.0.1,
/// elsewhere.pem only elsewhere.invalid, client.pem is a client certificate (also in
/// client-encrypted.key, under the passphrase "secret"). capath/ holds ca.pem under its hashed
/// name; garbage.pem is no certificate at all; psk is a broker's PSK file naming the identity
/// "linecast-id" with the key c0ffee.
std::string cert(const std::string& name);

/// Config lines that turn the listener above them into TLS with the certificate `server`
/// ("server" or "elsewhere"); with `require_certificate` clients must show one signed by ca.pem.
std::string tls_listener_config(const std::string& server, bool require_certificate = false);

/// A broker whose main listener is set up by `listener_config` (TLS of some kind), and a plain
/// listener on plain_port for subscribers.
struct TlsBroker {
  BrokerFixture broker;
  int plain_port;
  explicit TlsBroker(const std::string& listener_config);
};
