// Run settings of the publisher: the settings record, the option parser, the usage and help
// texts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Largest payload one MQTT PUBLISH can carry: the 268,435,455-byte remaining length less the
// topic's two-byte length prefix and the packet identifier.
constexpr long kMaxPacketBytes = 268435455;

/// `reconnect` for "--reconnect forever".
constexpr int kReconnectForever = -1;

/// `spool_full` values: stop reading when the spool is full, or drop its oldest records.
constexpr int kSpoolFullBlock = 0;
constexpr int kSpoolFullDropOldest = 1;
/// `spool_sync` for "--spool-sync always".
constexpr int kSpoolSyncAlways = 0;

/// `refused` values: a record the broker refuses ends the run, or is reported and left behind.
constexpr int kRefusedStop = 0;
constexpr int kRefusedSkip = 1;

/// MQTT protocol levels as CONNECT carries them.
constexpr int kMqtt311 = 4;
constexpr int kMqtt5 = 5;

/// One "--user-property NAME VALUE"; both refer to the arguments in place.
struct UserProperty {
  const char* name;
  const char* value;
};

/// A parsed "--proxy socks5h://[user[:password]@]host[:port]" or "--proxy
/// http://[user[:password]@]host[:port]"; the parts are copies, the user name and password
/// percent-decoded.
struct ProxySettings {
  std::string host;  // empty when no proxy is used; an IPv6 literal without its brackets
  int port = 1080;   // 1080 by default for SOCKS5, 8080 for HTTP
  std::string username;  // empty for none
  std::string password;  // empty for none
  bool http = false;     // HTTP CONNECT ("http://") instead of SOCKS5
};

/// One broker of "--host": a name or an address (an IPv6 literal without its brackets), and the
/// port to reach it on.
struct BrokerAddress {
  std::string host;
  int port = 1883;
};

struct PublisherSettings {
  const char* clientid = "publisher";
  char delimiter = '\n';
  int maxdatalen = 100;
  int qos = 0;
  int retained = 0;
  const char* username = nullptr;  // absent unless given
  const char* password = nullptr;  // absent unless given; a private copy, see parse_arguments
  const char* host = "localhost";  // as given: one broker or a comma-separated list of them
  int port = 1883;                 // 1 .. 65535; for the brokers that name no port of their own
  std::vector<BrokerAddress> brokers;  // from host and port once the whole line is read
  int verbose = 0;
  // Any of these four turns TLS on; each is absent unless given.
  const char* cafile = nullptr;  // trusted CA certificates, PEM
  const char* capath = nullptr;  // directory of trusted CA certificates, hashed names
  const char* cert = nullptr;    // client certificate, PEM
  const char* key = nullptr;     // private key of the client certificate, PEM

  // Running unattended.
  int reconnect = 0;   // attempts after a failed or lost connection; 0: the default behaviour
  int keepalive = 20;  // seconds, 5 .. 65535

  // MQTT 5; the properties below are refused without protocol_version kMqtt5.
  int protocol_version = kMqtt311;
  int64_t message_expiry = -1;  // seconds, 1 .. 4294967295; -1 when absent
  const char* content_type = nullptr;
  std::vector<UserProperty> user_properties;  // in the order given
  int64_t session_expiry = -1;                // seconds, 1 .. 4294967295; -1 when absent

  // Further connection options; any of alpn and psk turns TLS on like the certificate options.
  const char* alpn = nullptr;
  const char* psk = nullptr;  // hex digits; a private copy, blanked in argv like the password
  const char* psk_identity = nullptr;
  ProxySettings proxy;
  const char* bind_address = nullptr;
  const char* ws_path = nullptr;       // MQTT over WebSocket to this path when set; begins with "/"
  const char* will_topic = nullptr;    // no will when absent
  const char* will_payload = nullptr;  // empty when absent
  int will_qos = 0;
  int will_retain = 0;

  // Per-record topics: a record "SUBTOPIC separator PAYLOAD" goes to the topic argument (then a
  // prefix) followed by SUBTOPIC. A byte value 0 .. 255; -1 when absent.
  int topic_separator = -1;
  // The disk spool; the other spool options are refused without "--spool".
  const char* spool = nullptr;              // its directory; no spool when absent
  uint64_t spool_size = uint64_t{1} << 30;  // bytes, 1 MiB .. 1 PiB
  int spool_full = kSpoolFullBlock;
  int spool_sync = 1;  // seconds, 1 .. 86400, or kSpoolSyncAlways

  // Running as a service.
  int stats_interval = 0;  // seconds between counters lines, 1 .. 86400; 0 when absent
  int64_t rate = 0;        // most records a second, 1 .. 1000000; 0 for no limit
  int refused = kRefusedStop;
};

/// The process-wide settings, written only by parse_arguments.
extern PublisherSettings settings;

/// Fills `settings` from argv[2] .. argv[argc - 1] (argv[1] is the topic), which must hold the
/// defaults beforehand. Options are matched exactly; an option that takes values takes the next
/// arguments whatever they look like; other arguments are skipped; the last occurrence wins,
/// except that every "--user-property" is kept. Ends the process through print_usage on misuse:
/// a value missing or out of range, "--maxdatalen" beyond what one message to this topic can
/// carry, an MQTT 5 property without "--protocol-version 5", "--psk" without "--psk-identity"
/// or the reverse or with a certificate option, a will option without "--will-topic", or a
/// "--topic-separator" equal to the delimiter, or a spool option without "--spool", a
/// malformed "--host" list (an empty entry, a port outside 1 .. 65535, brackets around no IPv6
/// address), or through a SOCKS5 proxy a broker name longer than the 255 bytes SOCKS5 carries.
/// Ends it through print_help when argv[1] is "--help" or "-h".
/// The password and the PSK are copied and their arguments overwritten, and so is the whole
/// "--proxy" argument, so that other users' `ps` no longer shows them. Without "--password",
/// the value of LINECAST_PASSWORD, when set, is copied as the password.
void parse_arguments(int argc, char** argv);

/// True when argv[1] is "--version"; main answers that before anything else.
bool is_version_request(int argc, char** argv);

/// Writes the usage text to standard output and ends the process with status -1.
[[noreturn]] void print_usage();

/// Writes the usage text and a line on each further option to standard output and ends the
/// process with status 0.
[[noreturn]] void print_help();
