// Command-line options: parsing, validation, the usage text and the help text.
#include "settings.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "spool.h"
#include "topics.h"

PublisherSettings settings;

namespace {

void write_usage() {
  printf("MQTT linecast\n");
  printf("Usage: linecast topicname <options>, where options are:\n");
  printf("  --host <hostname> (default is localhost)\n");
  printf("  --port <port> (default is 1883)\n");
  printf("  --qos <qos> (default is 0)\n");
  printf("  --retained (default is off)\n");
  printf("  --delimiter <delim> (default is \n)\n");
  printf("  --clientid <clientid> (default is hostname+timestamp)\n");
  printf("  --maxdatalen 100\n");
  printf("  --username none\n");
  printf("  --password none\n");
}

// Each line names an option, then the values it takes, then what it does in parentheses: the
// packaging test reads the lines in that form to check the man page and the bash completion.
const char kFurtherOptions[] =
    "Further options:\n"
    "  --host <host>[:<port>][,<host>[:<port>]...] (brokers tried in turn; IPv6 as [addr])\n"
    "  --verbose (print the broker address and the length of each record)\n"
    "  --cafile <file> (trusted CA certificates, PEM; turns TLS on)\n"
    "  --capath <dir> (directory of trusted CA certificates; turns TLS on)\n"
    "  --cert <file> (client certificate, PEM; turns TLS on)\n"
    "  --key <file> (private key of the client certificate, PEM; turns TLS on)\n"
    "  --reconnect <count>|forever (attempts after a failed or lost connection)\n"
    "  --keepalive <seconds> (5 to 65535, default is 20)\n"
    "  --protocol-version 5|3.1.1 (default is 3.1.1)\n"
    "  --message-expiry <seconds> (MQTT 5: lifetime of each message)\n"
    "  --content-type <type> (MQTT 5: content type of each message)\n"
    "  --user-property <name> <value> (MQTT 5: sent with each message; repeatable)\n"
    "  --session-expiry <seconds> (MQTT 5: how long the broker keeps the session)\n"
    "  --alpn <protocol> (TLS application protocol; turns TLS on)\n"
    "  --psk <hex> (TLS pre-shared key, with --psk-identity; turns TLS on)\n"
    "  --psk-identity <identity> (identity of the pre-shared key)\n"
    "  --proxy socks5h://[user[:password]@]host[:port] (SOCKS5 proxy, default port 1080)\n"
    "  --proxy http://[user[:password]@]host[:port] (HTTP CONNECT proxy, default port 8080)\n"
    "  --ws-path <path> (MQTT over WebSocket to this path, beginning with /)\n"
    "  --bind-address <address> (local address to connect from)\n"
    "  --will-topic <topic> (will: published by the broker if the connection is lost)\n"
    "  --will-payload <payload> (payload of the will, default is empty)\n"
    "  --will-qos <qos> (quality of service of the will, default is 0)\n"
    "  --will-retain (retain the will)\n"
    "  --topic-separator <sep> (a record SUBTOPIC<sep>PAYLOAD goes to topicname + SUBTOPIC)\n"
    "  --spool <dir> (keep records on disk until handed over; created when missing)\n"
    "  --spool-size <bytes>[K|M|G] (most the spool holds on disk, default is 1G)\n"
    "  --spool-full block|drop-oldest (when the spool is full, default is block)\n"
    "  --spool-sync always|<seconds> (how often the spool is made durable, default is 1)\n"
    "  --stats-interval <seconds> (print the counters line this often, 1 to 86400)\n"
    "  --rate <records> (most records published a second, 1 to 1000000)\n"
    "  --refused stop|skip (a record the broker refuses ends the run, or is left behind)\n"
    "  --help, -h (as the first argument: print this text)\n"
    "  --version (as the first argument: print the version)\n"
    "LINECAST_PASSWORD in the environment is the password when --password is absent.\n"
    "The client identifier is publisher unless --clientid is given.\n";

}  // namespace

void print_usage() {
  write_usage();
  fflush(stdout);
  exit(-1);
}

void print_help() {
  write_usage();
  fputs(kFurtherOptions, stdout);
  fflush(stdout);
  exit(0);
}

bool is_version_request(int argc, char** argv) {
  return argc >= 2 && strcmp(argv[1], "--version") == 0;
}

namespace {

// The private copies of the secrets, see take_secret.
std::string password_copy;
std::string psk_copy;

// "--will-qos 0" leaves will_qos as it was, yet still needs a will topic.
bool will_qos_given = false;

// Any spool option but "--spool" itself, which they need.
bool spool_option_given = false;

// Only the exact texts "0", "1" and "2" name a quality of service.
int parse_qos(const char* value) {
  if (value[0] >= '0' && value[0] <= '2' && value[1] == '\0') return value[0] - '0';
  print_usage();
}

// A secret lives on in a private copy; its argument is blanked so that the command line other
// users can read no longer shows it.
const char* take_secret(char* arg, std::string* copy) {
  *copy = arg;
  memset(arg, 0, copy->size());
  return copy->c_str();
}

// Decimal in the manner of atoi (leading blanks, a sign, digits up to the first non-digit, 0
// without digits), but saturating instead of overflowing: a huge value is then refused as too
// large.
int parse_length(const char* value) {
  long n = strtol(value, nullptr, 10);
  if (n > INT_MAX) return INT_MAX;
  if (n < INT_MIN) return INT_MIN;
  return static_cast<int>(n);
}

// Digits only, no sign or blanks, from `min` to `max` (at most 2^32 - 1, so that the sum cannot
// overflow before it is compared); false for anything else.
bool parse_decimal(const char* text, int64_t min, int64_t max, int64_t* value) {
  if (*text == '\0') return false;
  int64_t n = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    n = n * 10 + (*p - '0');
    if (n > max) return false;
  }
  if (n < min) return false;
  *value = n;
  return true;
}

int64_t decimal_or_usage(const char* text, int64_t min, int64_t max) {
  int64_t value = 0;
  if (!parse_decimal(text, min, max, &value)) print_usage();
  return value;
}

int parse_reconnect(const char* value) {
  if (strcmp(value, "forever") == 0) return kReconnectForever;
  return static_cast<int>(decimal_or_usage(value, 1, INT_MAX));
}

int parse_protocol_version(const char* value) {
  if (strcmp(value, "5") == 0) return kMqtt5;
  if (strcmp(value, "3.1.1") == 0) return kMqtt311;
  print_usage();
}

const char* mqtt_utf8_or_usage(const char* value) {
  if (!is_mqtt_utf8(value)) print_usage();
  return value;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes "%XX" escapes, so that a user name or password may hold ':', '@' or '/'. False for
// a malformed escape, a zero byte or more than the 255 bytes SOCKS5 can carry.
bool percent_decode(const std::string& text, std::string* out) {
  out->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      *out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    int high = hex_digit(text[i + 1]);
    int low = high < 0 ? -1 : hex_digit(text[i + 2]);
    if (low < 0 || (high == 0 && low == 0)) return false;
    *out += static_cast<char>(high << 4 | low);
    i += 2;
  }
  return out->size() <= 255;
}

// A host name as SOCKS5 carries it: 1 to 255 bytes, none of them blank, a control character
// or a bracket.
bool is_proxy_host_name(const std::string& host) {
  if (host.empty() || host.size() > 255) return false;
  for (unsigned char c : host) {
    if (c <= ' ' || c == 0x7F || c == '[' || c == ']') return false;
  }
  return true;
}

// Fills `proxy` from "socks5h://[user[:password]@]host[:port]" or the same with "http://";
// false when the URL is not of that form. The host is either a name or an IPv6 address in
// brackets. It leaves the refusal to its caller: the fuzz build's exit jumps back and must not
// skip the destructors of its strings.
bool parse_proxy(const char* url, ProxySettings* proxy) {
  static const char kSocks[] = "socks5h://";
  static const char kHttp[] = "http://";
  ProxySettings parsed;
  std::string rest;
  if (strncmp(url, kSocks, sizeof kSocks - 1) == 0) {
    rest = url + sizeof kSocks - 1;
  } else if (strncmp(url, kHttp, sizeof kHttp - 1) == 0) {
    rest = url + sizeof kHttp - 1;
    parsed.http = true;
    parsed.port = 8080;
  } else {
    return false;
  }
  // A path, query or fragment has no meaning here; inside credentials these must be escaped.
  if (rest.find_first_of("/?#") != std::string::npos) return false;
  size_t at = rest.rfind('@');
  if (at != std::string::npos) {
    std::string credentials = rest.substr(0, at);
    rest.erase(0, at + 1);
    size_t colon = credentials.find(':');
    if (!percent_decode(credentials.substr(0, colon), &parsed.username)) return false;
    if (parsed.username.empty()) return false;
    if (colon != std::string::npos &&
        !percent_decode(credentials.substr(colon + 1), &parsed.password)) {
      return false;
    }
  }
  size_t host_end = 0;
  if (!rest.empty() && rest[0] == '[') {
    host_end = rest.find(']');
    if (host_end == std::string::npos) return false;
    parsed.host = rest.substr(1, host_end - 1);
    in6_addr address;
    if (inet_pton(AF_INET6, parsed.host.c_str(), &address) != 1) return false;
    ++host_end;
  } else {
    host_end = std::min(rest.find(':'), rest.size());
    parsed.host = rest.substr(0, host_end);
    if (!is_proxy_host_name(parsed.host)) return false;
  }
  if (host_end < rest.size()) {
    int64_t port = 0;
    if (rest[host_end] != ':' || !parse_decimal(rest.c_str() + host_end + 1, 1, 65535, &port)) {
      return false;
    }
    parsed.port = static_cast<int>(port);
  }
  *proxy = parsed;
  return true;
}

// One entry of the "--host" list: "name", "name:port", "[IPv6]", "[IPv6]:port", or an IPv6
// address alone (two colons or more), which names no port. `port` is 0 when none is named.
// False when the entry is malformed.
bool parse_broker(const std::string& entry, BrokerAddress* broker) {
  std::string rest;
  if (!entry.empty() && entry[0] == '[') {
    size_t close = entry.find(']');
    if (close == std::string::npos) return false;
    broker->host = entry.substr(1, close - 1);
    in6_addr address;
    if (inet_pton(AF_INET6, broker->host.c_str(), &address) != 1) return false;
    rest = entry.substr(close + 1);
  } else {
    size_t colon = entry.find(':');
    bool one_colon = colon != std::string::npos && entry.find(':', colon + 1) == std::string::npos;
    broker->host = one_colon ? entry.substr(0, colon) : entry;
    if (one_colon) rest = entry.substr(colon);
  }
  broker->port = 0;
  if (broker->host.empty()) return false;
  if (rest.empty()) return true;
  int64_t port = 0;
  if (rest[0] != ':' || !parse_decimal(rest.c_str() + 1, 1, 65535, &port)) return false;
  broker->port = static_cast<int>(port);
  return true;
}

// "--host" as brokers in the order given, each with the port it names or else `port`. False
// for a malformed entry; the refusal is left to the caller, as for parse_proxy.
bool parse_brokers(const char* list, int port, std::vector<BrokerAddress>* brokers) {
  brokers->clear();
  const std::string text = list;
  for (size_t start = 0;;) {
    size_t comma = std::min(text.find(',', start), text.size());
    BrokerAddress broker;
    if (!parse_broker(text.substr(start, comma - start), &broker)) return false;
    if (broker.port == 0) broker.port = port;
    brokers->push_back(broker);
    if (comma == text.size()) return true;
    start = comma + 1;
  }
}

// SOCKS5 names the broker in at most 255 bytes.
bool fits_socks5(const std::vector<BrokerAddress>& brokers) {
  for (const BrokerAddress& b : brokers) {
    if (b.host.size() > 255) return false;
  }
  return true;
}

void set_proxy(char* url) {
  if (!parse_proxy(url, &settings.proxy)) print_usage();
  // The URL may hold a password: blank it all, as the parts are copied.
  memset(url, 0, strlen(url));
}

// A path for the request line of the WebSocket upgrade: from "/", nothing blank or control.
void set_ws_path(const char* value) {
  if (value[0] != '/') print_usage();
  for (const char* p = value; *p != '\0'; ++p) {
    if (static_cast<unsigned char>(*p) <= ' ' || *p == 0x7F) print_usage();
  }
  settings.ws_path = value;
}

// Bytes with an optional suffix K, M or G (binary multiples), from 1 MiB to 1 PiB; false for
// anything else. The refusal is left to the caller, as for parse_proxy.
bool parse_spool_size(const char* value, uint64_t* bytes) {
  constexpr int64_t kMinBytes = int64_t{1} << 20;
  constexpr int64_t kMaxBytes = int64_t{1} << 50;
  std::string digits = value;
  int shift = 0;
  size_t suffix = digits.empty() ? std::string::npos : std::string("KMG").find(digits.back());
  if (suffix != std::string::npos) {
    shift = 10 * static_cast<int>(suffix + 1);
    digits.pop_back();
  }
  int64_t n = 0;
  if (!parse_decimal(digits.c_str(), 1, kMaxBytes >> shift, &n) || (n << shift) < kMinBytes) {
    return false;
  }
  *bytes = static_cast<uint64_t>(n) << shift;
  return true;
}

void set_spool_size(const char* value) {
  spool_option_given = true;
  if (!parse_spool_size(value, &settings.spool_size)) print_usage();
}

int parse_spool_full(const char* value) {
  spool_option_given = true;
  if (strcmp(value, "block") == 0) return kSpoolFullBlock;
  if (strcmp(value, "drop-oldest") == 0) return kSpoolFullDropOldest;
  print_usage();
}

int parse_spool_sync(const char* value) {
  spool_option_given = true;
  if (strcmp(value, "always") == 0) return kSpoolSyncAlways;
  return static_cast<int>(decimal_or_usage(value, 1, 86400));
}

int parse_refused(const char* value) {
  if (strcmp(value, "stop") == 0) return kRefusedStop;
  if (strcmp(value, "skip") == 0) return kRefusedSkip;
  print_usage();
}

void set_psk(char* value) {
  if (value[0] == '\0' || strspn(value, "0123456789abcdefABCDEF") != strlen(value)) {
    print_usage();
  }
  settings.psk = take_secret(value, &psk_copy);
}

void set_alpn(const char* value) {
  size_t length = strlen(value);
  if (length == 0 || length > 255) print_usage();
  settings.alpn = value;
}

// An option and the number of arguments after it that it takes; `set` gets the first of them.
struct Option {
  const char* name;
  int values;
  void (*set)(char** value);
};
const Option kOptions[] = {
    {"--host", 1, [](char** v) { settings.host = v[0]; }},
    {"--port", 1,
     [](char** v) { settings.port = static_cast<int>(decimal_or_usage(v[0], 1, 65535)); }},
    {"--qos", 1, [](char** v) { settings.qos = parse_qos(v[0]); }},
    {"--retained", 0, [](char**) { settings.retained = 1; }},
    {"--delimiter", 1, [](char** v) { settings.delimiter = v[0][0]; }},  // "": the zero byte
    {"--clientid", 1, [](char** v) { settings.clientid = v[0]; }},
    {"--maxdatalen", 1, [](char** v) { settings.maxdatalen = parse_length(v[0]); }},
    {"--username", 1, [](char** v) { settings.username = v[0]; }},
    {"--password", 1, [](char** v) { settings.password = take_secret(v[0], &password_copy); }},
    {"--verbose", 0, [](char**) { settings.verbose = 1; }},
    {"--cafile", 1, [](char** v) { settings.cafile = v[0]; }},
    {"--capath", 1, [](char** v) { settings.capath = v[0]; }},
    {"--cert", 1, [](char** v) { settings.cert = v[0]; }},
    {"--key", 1, [](char** v) { settings.key = v[0]; }},
    {"--reconnect", 1, [](char** v) { settings.reconnect = parse_reconnect(v[0]); }},
    {"--keepalive", 1,
     [](char** v) { settings.keepalive = static_cast<int>(decimal_or_usage(v[0], 5, 65535)); }},
    {"--protocol-version", 1,
     [](char** v) { settings.protocol_version = parse_protocol_version(v[0]); }},
    {"--message-expiry", 1,
     [](char** v) { settings.message_expiry = decimal_or_usage(v[0], 1, UINT32_MAX); }},
    {"--content-type", 1, [](char** v) { settings.content_type = mqtt_utf8_or_usage(v[0]); }},
    {"--user-property", 2,
     [](char** v) {
       settings.user_properties.push_back({mqtt_utf8_or_usage(v[0]), mqtt_utf8_or_usage(v[1])});
     }},
    {"--session-expiry", 1,
     [](char** v) { settings.session_expiry = decimal_or_usage(v[0], 1, UINT32_MAX); }},
    {"--alpn", 1, [](char** v) { set_alpn(v[0]); }},
    {"--psk", 1, [](char** v) { set_psk(v[0]); }},
    {"--psk-identity", 1, [](char** v) { settings.psk_identity = v[0]; }},
    {"--proxy", 1, [](char** v) { set_proxy(v[0]); }},
    {"--bind-address", 1, [](char** v) { settings.bind_address = v[0]; }},
    {"--ws-path", 1, [](char** v) { set_ws_path(v[0]); }},
    {"--will-topic", 1, [](char** v) { settings.will_topic = v[0]; }},
    {"--will-payload", 1, [](char** v) { settings.will_payload = v[0]; }},
    {"--will-qos", 1,
     [](char** v) {
       settings.will_qos = parse_qos(v[0]);
       will_qos_given = true;
     }},
    {"--will-retain", 0, [](char**) { settings.will_retain = 1; }},
    // Like the delimiter, the first byte; "": the zero byte.
    {"--topic-separator", 1,
     [](char** v) { settings.topic_separator = static_cast<unsigned char>(v[0][0]); }},
    {"--spool", 1, [](char** v) { settings.spool = v[0]; }},
    {"--spool-size", 1, [](char** v) { set_spool_size(v[0]); }},
    {"--spool-full", 1, [](char** v) { settings.spool_full = parse_spool_full(v[0]); }},
    {"--spool-sync", 1, [](char** v) { settings.spool_sync = parse_spool_sync(v[0]); }},
    {"--stats-interval", 1,
     [](char** v) {
       settings.stats_interval = static_cast<int>(decimal_or_usage(v[0], 1, 86400));
     }},
    {"--rate", 1, [](char** v) { settings.rate = decimal_or_usage(v[0], 1, 1000000); }},
    {"--refused", 1, [](char** v) { settings.refused = parse_refused(v[0]); }},
};

const Option* find_option(const char* name) {
  for (const Option& o : kOptions) {
    if (strcmp(name, o.name) == 0) return &o;
  }
  return nullptr;
}

// The refusals that depend on more than one option, made once the whole line is known, since
// the options come in any order.
void check_combinations(const char* topic) {
  // A record must fit one buffer of at least a byte and one PUBLISH packet to this topic.
  long max_payload = kMaxPacketBytes - 4 - static_cast<long>(strlen(topic));
  if (settings.maxdatalen < 1 || settings.maxdatalen > max_payload) print_usage();

  const PublisherSettings& s = settings;
  bool v5_property = s.message_expiry != -1 || s.content_type != nullptr ||
                     !s.user_properties.empty() || s.session_expiry != -1;
  if (v5_property && s.protocol_version != kMqtt5) print_usage();

  // A PSK needs its identity, and it replaces certificates rather than joining them.
  if ((s.psk == nullptr) != (s.psk_identity == nullptr)) print_usage();
  bool certificates =
      s.cafile != nullptr || s.capath != nullptr || s.cert != nullptr || s.key != nullptr;
  if (s.psk != nullptr && certificates) print_usage();

  bool will_option = s.will_payload != nullptr || will_qos_given || s.will_retain != 0;
  if (will_option && s.will_topic == nullptr) print_usage();

  // The delimiter stays at the end of the payload, so it cannot also end the subtopic.
  if (s.topic_separator == static_cast<unsigned char>(s.delimiter)) print_usage();
  if (spool_option_given && s.spool == nullptr) print_usage();
  // A record the spool can never hold would wait for room forever.
  if (s.spool != nullptr && static_cast<uint64_t>(s.maxdatalen) > spool_max_record(s.spool_size)) {
    print_usage();
  }

  // The brokers, once "--port" is known whatever its place on the line.
  if (!parse_brokers(s.host, s.port, &settings.brokers)) print_usage();
  bool socks5 = !s.proxy.host.empty() && !s.proxy.http;
  if (socks5 && !fits_socks5(s.brokers)) print_usage();
}

}  // namespace

void parse_arguments(int argc, char** argv) {
  if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) print_help();
  will_qos_given = false;
  spool_option_given = false;
  for (int i = 2; i < argc; ++i) {
    const Option* option = find_option(argv[i]);
    if (option == nullptr) continue;  // anything else is skipped without a message
    if (argc - 1 - i < option->values) print_usage();
    option->set(&argv[i + 1]);
    i += option->values;
  }
  // The environment keeps the password off the command line altogether.
  const char* environment_password = getenv("LINECAST_PASSWORD");
  if (settings.password == nullptr && environment_password != nullptr) {
    password_copy = environment_password;
    settings.password = password_copy.c_str();
  }
  check_combinations(argv[1]);
}
