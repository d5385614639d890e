// Fuzz target for the option parser: the settings must be those of a plain model of the command
// line, or the usage exit must come exactly when the model refuses it (the help exit when it asks
// for help); the arguments of the password, the PSK and the proxy must be blanked and every other
// argument left as given.
//
// Input: arguments separated by zero bytes, the first one the topic. settings.cc is built with
// exit_to_harness.h, so that print_usage's exit comes back here instead of ending the run.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "exit_to_harness.h"
#include "settings.h"

namespace {

jmp_buf usage_exit;
int usage_status = 0;

struct StringOption {
  const char* name;
  const char* PublisherSettings::*field;
};

// Options whose value is kept as given.
const StringOption kStringOptions[] = {
    {"--host", &PublisherSettings::host},
    {"--clientid", &PublisherSettings::clientid},
    {"--username", &PublisherSettings::username},
    {"--cafile", &PublisherSettings::cafile},
    {"--capath", &PublisherSettings::capath},
    {"--cert", &PublisherSettings::cert},
    {"--key", &PublisherSettings::key},
    {"--psk-identity", &PublisherSettings::psk_identity},
    {"--bind-address", &PublisherSettings::bind_address},
    {"--will-topic", &PublisherSettings::will_topic},
    {"--will-payload", &PublisherSettings::will_payload},
    {"--spool", &PublisherSettings::spool},
};

// The options that convert or check their value, and how many arguments each takes.
struct CheckedOption {
  const char* name;
  size_t values;
};
const CheckedOption kCheckedOptions[] = {
    {"--qos", 1},
    {"--port", 1},
    {"--password", 1},
    {"--maxdatalen", 1},
    {"--delimiter", 1},
    {"--reconnect", 1},
    {"--keepalive", 1},
    {"--protocol-version", 1},
    {"--message-expiry", 1},
    {"--content-type", 1},
    {"--user-property", 2},
    {"--session-expiry", 1},
    {"--alpn", 1},
    {"--psk", 1},
    {"--proxy", 1},
    {"--will-qos", 1},
    {"--ws-path", 1},
    {"--topic-separator", 1},
    {"--spool-size", 1},
    {"--spool-full", 1},
    {"--spool-sync", 1},
    {"--stats-interval", 1},
    {"--rate", 1},
    {"--refused", 1},
};

const char kEnvironmentPassword[] = "from the environment";

// Like atoi, but a value beyond the range of int becomes its nearest end.
long saturated_decimal(const char* s) {
  while (*s == ' ' || (*s >= '\t' && *s <= '\r')) ++s;
  bool negative = *s == '-';
  if (*s == '+' || *s == '-') ++s;
  long long n = 0;
  for (; *s >= '0' && *s <= '9'; ++s) n = std::min(n * 10 + (*s - '0'), 1LL << 40);
  if (negative) n = -n;
  return static_cast<long>(std::max<long long>(std::min<long long>(n, INT32_MAX), INT32_MIN));
}

// Digits only, compared as text once the leading zeros are gone.
bool decimal_in(const std::string& text, uint64_t min, uint64_t max, int64_t* value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  std::string digits = text.substr(std::min(text.find_first_not_of('0'), text.size()));
  if (digits.size() > 18) return false;  // beyond every maximum, and beyond what stoull takes
  uint64_t n = digits.empty() ? 0 : std::stoull(digits);
  if (n < min || n > max) return false;
  *value = static_cast<int64_t>(n);
  return true;
}

bool between(const std::string& s, size_t i, int low, int high) {
  return i < s.size() && static_cast<unsigned char>(s[i]) >= low &&
         static_cast<unsigned char>(s[i]) <= high;
}

// The well-formed byte sequences of UTF-8, less the surrogates, as a table of byte ranges.
bool mqtt_utf8(const std::string& s) {
  if (s.size() > 65535) return false;
  size_t i = 0;
  while (i < s.size()) {
    if (between(s, i, 0x01, 0x7F)) {
      i += 1;
    } else if (between(s, i, 0xC2, 0xDF) && between(s, i + 1, 0x80, 0xBF)) {
      i += 2;
    } else if (((between(s, i, 0xE0, 0xE0) && between(s, i + 1, 0xA0, 0xBF)) ||
                ((between(s, i, 0xE1, 0xEC) || between(s, i, 0xEE, 0xEF)) &&
                 between(s, i + 1, 0x80, 0xBF)) ||
                (between(s, i, 0xED, 0xED) && between(s, i + 1, 0x80, 0x9F))) &&
               between(s, i + 2, 0x80, 0xBF)) {
      i += 3;
    } else if (((between(s, i, 0xF0, 0xF0) && between(s, i + 1, 0x90, 0xBF)) ||
                (between(s, i, 0xF1, 0xF3) && between(s, i + 1, 0x80, 0xBF)) ||
                (between(s, i, 0xF4, 0xF4) && between(s, i + 1, 0x80, 0x8F))) &&
               between(s, i + 2, 0x80, 0xBF) && between(s, i + 3, 0x80, 0xBF)) {
      i += 4;
    } else {
      return false;
    }
  }
  return true;
}

bool unescape(const std::string& text, std::string* out) {
  const std::string hex = "0123456789abcdefABCDEF";
  out->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%') {
      if (i + 2 >= text.size() || hex.find(text[i + 1]) == std::string::npos ||
          hex.find(text[i + 2]) == std::string::npos) {
        return false;
      }
      char byte = static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      if (byte == '\0') return false;
      out->push_back(byte);
      i += 2;
    } else {
      out->push_back(text[i]);
    }
  }
  return out->size() <= 255;
}

bool proxy_url(const std::string& url, ProxySettings* proxy) {
  ProxySettings p;
  p.http = url.compare(0, 7, "http://") == 0;
  const std::string scheme = p.http ? "http://" : "socks5h://";
  if (url.compare(0, scheme.size(), scheme) != 0) return false;
  if (p.http) p.port = 8080;
  std::string authority = url.substr(scheme.size());
  if (authority.find_first_of("/?#") != std::string::npos) return false;
  size_t at = authority.find_last_of('@');
  if (at != std::string::npos) {
    std::string userinfo = authority.substr(0, at);
    size_t colon = userinfo.find(':');
    std::string password = colon == std::string::npos ? "" : userinfo.substr(colon + 1);
    if (!unescape(userinfo.substr(0, colon), &p.username) || p.username.empty() ||
        !unescape(password, &p.password)) {
      return false;
    }
    authority.erase(0, at + 1);
  }
  std::string tail;
  if (authority.compare(0, 1, "[") == 0) {
    size_t close = authority.find(']');
    if (close == std::string::npos) return false;
    p.host = authority.substr(1, close - 1);
    tail = authority.substr(close + 1);
    in6_addr address;
    if (inet_pton(AF_INET6, p.host.c_str(), &address) != 1) return false;
  } else {
    size_t colon = authority.find(':');
    p.host = authority.substr(0, colon);
    tail = colon == std::string::npos ? "" : authority.substr(colon);
    if (p.host.empty() || p.host.size() > 255) return false;
    for (unsigned char c : p.host) {
      if (c <= ' ' || c == 0x7F || c == '[' || c == ']') return false;
    }
  }
  if (!tail.empty()) {
    int64_t port = 0;
    if (tail[0] != ':' || !decimal_in(tail.substr(1), 1, 65535, &port)) return false;
    p.port = static_cast<int>(port);
  }
  *proxy = p;
  return true;
}

struct Expected {
  PublisherSettings settings;  // the secrets and the MQTT 5 strings aside
  bool has_password = false;
  std::string password;
  bool has_psk = false;
  std::string psk;
  std::vector<size_t> secret_args;  // indexes of the arguments to be blanked
  const char* content_type = nullptr;
  std::vector<std::pair<const char*, const char*>> user_properties;
  bool will_qos_given = false;
  bool spool_option_given = false;
  bool usage = false;
  bool help = false;
};

// Sets what a checked option gives; false when its value is refused.
bool apply(Expected& e, const std::string& option, const std::vector<std::string>& args, size_t i) {
  PublisherSettings& s = e.settings;
  const std::string& value = args[i];
  int64_t n = 0;
  e.spool_option_given = e.spool_option_given || option.rfind("--spool-", 0) == 0;
  if (option == "--qos" || option == "--will-qos") {
    if (value != "0" && value != "1" && value != "2") return false;
    (option == "--qos" ? s.qos : s.will_qos) = value[0] - '0';
    e.will_qos_given = e.will_qos_given || option == "--will-qos";
  } else if (option == "--password") {
    e.has_password = true;
    e.password = value;
    e.secret_args.push_back(i);
  } else if (option == "--maxdatalen") {
    s.maxdatalen = static_cast<int>(saturated_decimal(value.c_str()));
  } else if (option == "--delimiter") {
    s.delimiter = value[0];
  } else if (option == "--reconnect") {
    if (value == "forever") {
      s.reconnect = kReconnectForever;
    } else {
      if (!decimal_in(value, 1, INT32_MAX, &n)) return false;
      s.reconnect = static_cast<int>(n);
    }
  } else if (option == "--port") {
    if (!decimal_in(value, 1, 65535, &n)) return false;
    s.port = static_cast<int>(n);
  } else if (option == "--keepalive") {
    if (!decimal_in(value, 5, 65535, &n)) return false;
    s.keepalive = static_cast<int>(n);
  } else if (option == "--protocol-version") {
    if (value != "5" && value != "3.1.1") return false;
    s.protocol_version = value == "5" ? kMqtt5 : kMqtt311;
  } else if (option == "--message-expiry" || option == "--session-expiry") {
    if (!decimal_in(value, 1, UINT32_MAX, &n)) return false;
    (option == "--message-expiry" ? s.message_expiry : s.session_expiry) = n;
  } else if (option == "--content-type") {
    if (!mqtt_utf8(value)) return false;
    e.content_type = value.c_str();
  } else if (option == "--user-property") {
    if (!mqtt_utf8(value) || !mqtt_utf8(args[i + 1])) return false;
    e.user_properties.emplace_back(value.c_str(), args[i + 1].c_str());
  } else if (option == "--ws-path") {
    if (value.empty() || value[0] != '/') return false;
    for (unsigned char c : value) {
      if (c <= ' ' || c == 0x7F) return false;
    }
    s.ws_path = value.c_str();
  } else if (option == "--topic-separator") {
    s.topic_separator = static_cast<unsigned char>(value[0]);
  } else if (option == "--alpn") {
    if (value.empty() || value.size() > 255) return false;
    s.alpn = value.c_str();
  } else if (option == "--spool-size") {
    std::string digits = value;
    size_t suffix = digits.empty() ? std::string::npos : std::string("KMG").find(digits.back());
    int shift = suffix == std::string::npos ? 0 : 10 * static_cast<int>(suffix + 1);
    if (shift > 0) digits.pop_back();
    if (!decimal_in(digits, 1, (int64_t{1} << 50) >> shift, &n)) return false;
    if ((n << shift) < (int64_t{1} << 20)) return false;
    s.spool_size = static_cast<uint64_t>(n) << shift;
  } else if (option == "--spool-full") {
    if (value != "block" && value != "drop-oldest") return false;
    s.spool_full = value == "block" ? kSpoolFullBlock : kSpoolFullDropOldest;
  } else if (option == "--spool-sync") {
    if (value == "always") {
      s.spool_sync = kSpoolSyncAlways;
    } else {
      if (!decimal_in(value, 1, 86400, &n)) return false;
      s.spool_sync = static_cast<int>(n);
    }
  } else if (option == "--stats-interval") {
    if (!decimal_in(value, 1, 86400, &n)) return false;
    s.stats_interval = static_cast<int>(n);
  } else if (option == "--rate") {
    if (!decimal_in(value, 1, 1000000, &n)) return false;
    s.rate = n;
  } else if (option == "--refused") {
    if (value != "stop" && value != "skip") return false;
    s.refused = value == "stop" ? kRefusedStop : kRefusedSkip;
  } else if (option == "--psk") {
    if (value.empty() || value.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
      return false;
    }
    e.has_psk = true;
    e.psk = value;
    e.secret_args.push_back(i);
  } else {  // "--proxy"
    if (!proxy_url(value, &s.proxy)) return false;
    e.secret_args.push_back(i);
  }
  return true;
}

// The "--host" list cut at each comma: "[v6]" or "[v6]:port", an address with two colons or
// more alone, or "name" or "name:port".
bool broker_list(const std::string& list, int port, std::vector<BrokerAddress>* brokers) {
  std::vector<std::string> entries(1);
  for (char c : list) {
    if (c == ',') {
      entries.emplace_back();
    } else {
      entries.back() += c;
    }
  }
  for (const std::string& entry : entries) {
    BrokerAddress b;
    b.port = port;
    std::string port_text;
    size_t colons = std::count(entry.begin(), entry.end(), ':');
    if (!entry.empty() && entry[0] == '[') {
      size_t close = entry.find(']');
      if (close == std::string::npos) return false;
      b.host = entry.substr(1, close - 1);
      in6_addr address;
      if (inet_pton(AF_INET6, b.host.c_str(), &address) != 1) return false;
      std::string tail = entry.substr(close + 1);
      if (!tail.empty() && tail[0] != ':') return false;
      if (!tail.empty()) port_text = tail.substr(1);
      if (!tail.empty() && port_text.empty()) return false;
    } else if (colons == 1) {
      b.host = entry.substr(0, entry.find(':'));
      port_text = entry.substr(entry.find(':') + 1);
      if (port_text.empty()) return false;
    } else {
      b.host = entry;
    }
    int64_t n = 0;
    if (!port_text.empty() && !decimal_in(port_text, 1, 65535, &n)) return false;
    if (n != 0) b.port = static_cast<int>(n);
    if (b.host.empty()) return false;
    brokers->push_back(b);
  }
  return true;
}

// The refusals that look at the whole line.
bool combination_refused(const Expected& e, size_t topic_size) {
  const PublisherSettings& s = e.settings;
  long limit = kMaxPacketBytes - 4 - static_cast<long>(topic_size);
  if (s.maxdatalen < 1 || s.maxdatalen > limit) return true;
  bool v5 = s.message_expiry >= 0 || e.content_type != nullptr || !e.user_properties.empty() ||
            s.session_expiry >= 0;
  if (v5 && s.protocol_version != kMqtt5) return true;
  if (e.has_psk != (s.psk_identity != nullptr)) return true;
  if (e.has_psk && (s.cafile || s.capath || s.cert || s.key)) return true;
  bool will = s.will_payload != nullptr || e.will_qos_given || s.will_retain;
  if (will && s.will_topic == nullptr) return true;
  if (s.topic_separator == static_cast<unsigned char>(s.delimiter)) return true;
  // A record must fit in a segment of its own (two 16-byte headers) beside the ledger's room,
  // a sixteenth of the spool within 4 KiB .. 1 MiB.
  uint64_t ledger = std::clamp<uint64_t>(s.spool_size / 16, 4096, 1 << 20);
  if (s.spool != nullptr && static_cast<uint64_t>(s.maxdatalen) + 32 + ledger > s.spool_size) {
    return true;
  }
  if (e.spool_option_given && s.spool == nullptr) return true;
  std::vector<BrokerAddress> brokers;
  if (!broker_list(s.host, s.port, &brokers)) return true;
  for (const BrokerAddress& b : brokers) {
    if (!s.proxy.host.empty() && !s.proxy.http && b.host.size() > 255) return true;
  }
  return false;
}

// What the command line should give, worked out one argument at a time.
Expected model(const std::vector<std::string>& args) {
  Expected e;
  PublisherSettings& s = e.settings;
  if (args[1] == "--help" || args[1] == "-h") {
    e.help = true;
    return e;
  }
  for (size_t i = 2; i < args.size(); ++i) {
    const std::string& option = args[i];
    if (option == "--retained" || option == "--verbose" || option == "--will-retain") {
      (option == "--retained" ? s.retained : option == "--verbose" ? s.verbose : s.will_retain) = 1;
      continue;
    }
    const StringOption* string_option = nullptr;
    for (const StringOption& o : kStringOptions) {
      if (option == o.name) string_option = &o;
    }
    size_t values = string_option != nullptr ? 1 : 0;
    for (const CheckedOption& o : kCheckedOptions) {
      if (option == o.name) values = o.values;
    }
    if (values == 0) continue;
    if (i + values >= args.size()) {
      e.usage = true;
      return e;
    }
    if (string_option != nullptr) {
      s.*(string_option->field) = args[i + 1].c_str();
    } else if (!apply(e, option, args, i + 1)) {
      e.usage = true;
      return e;
    }
    i += values;
  }
  if (!e.has_password) {
    e.has_password = true;
    e.password = kEnvironmentPassword;
  }
  e.usage = combination_refused(e, args[1].size());
  return e;
}

bool same(const char* a, const char* b) {
  return (a == nullptr || b == nullptr) ? a == b : strcmp(a, b) == 0;
}

// Runs the parser; false when it took the usage exit.
bool parse(int argc, char** argv) {
  if (setjmp(usage_exit) != 0) return false;
  parse_arguments(argc, argv);
  return true;
}

}  // namespace

// print_usage ends here instead of in exit().
[[noreturn]] void fuzz_exit(int status) {
  usage_status = status;
  longjmp(usage_exit, 1);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The usage text would flood the fuzzer's output.
  if (freopen("/dev/null", "w", stdout) == nullptr) abort();
  // Always set, so that the password comes from it whenever "--password" is absent.
  if (setenv("LINECAST_PASSWORD", kEnvironmentPassword, 1) != 0) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> args = {"linecast"};
  std::string arg;
  for (size_t i = 0; i <= size && args.size() < 40; ++i) {
    if (i == size || data[i] == '\0') {
      args.push_back(arg);
      arg.clear();
    } else {
      arg += static_cast<char>(data[i]);
    }
  }
  const std::vector<std::string> given = args;
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  const Expected expected = model(given);
  settings = PublisherSettings();
  bool parsed = parse(static_cast<int>(given.size()), argv.data());
  if (parsed == (expected.usage || expected.help)) abort();
  if (!parsed) {
    if (usage_status != (expected.help ? 0 : -1)) abort();
    return 0;
  }
  const PublisherSettings& s = settings;
  const PublisherSettings& x = expected.settings;
  for (const StringOption& o : kStringOptions) {
    if (!same(s.*(o.field), x.*(o.field))) abort();
  }
  if (s.qos != x.qos || s.maxdatalen != x.maxdatalen || s.delimiter != x.delimiter ||
      s.retained != x.retained || s.verbose != x.verbose ||
      !same(s.password, expected.has_password ? expected.password.c_str() : nullptr)) {
    abort();
  }
  if (s.reconnect != x.reconnect || s.keepalive != x.keepalive ||
      s.protocol_version != x.protocol_version || s.message_expiry != x.message_expiry ||
      s.session_expiry != x.session_expiry || !same(s.content_type, expected.content_type) ||
      !same(s.alpn, x.alpn) || !same(s.psk, expected.has_psk ? expected.psk.c_str() : nullptr) ||
      s.will_qos != x.will_qos || s.will_retain != x.will_retain || s.spool_size != x.spool_size ||
      s.spool_full != x.spool_full || s.spool_sync != x.spool_sync ||
      s.stats_interval != x.stats_interval || s.rate != x.rate || s.refused != x.refused) {
    abort();
  }
  std::vector<BrokerAddress> brokers;
  if (s.port != x.port || !broker_list(x.host, x.port, &brokers) ||
      brokers.size() != s.brokers.size()) {
    abort();
  }
  for (size_t i = 0; i < brokers.size(); ++i) {
    if (brokers[i].host != s.brokers[i].host || brokers[i].port != s.brokers[i].port) abort();
  }
  if (!same(s.ws_path, x.ws_path) || s.topic_separator != x.topic_separator ||
      s.proxy.http != x.proxy.http) {
    abort();
  }
  if (s.proxy.host != x.proxy.host || s.proxy.port != x.proxy.port ||
      s.proxy.username != x.proxy.username || s.proxy.password != x.proxy.password) {
    abort();
  }
  // The user properties point at the arguments themselves, so compare the texts.
  if (s.user_properties.size() != expected.user_properties.size()) abort();
  for (size_t i = 0; i < s.user_properties.size(); ++i) {
    if (!same(s.user_properties[i].name, expected.user_properties[i].first) ||
        !same(s.user_properties[i].value, expected.user_properties[i].second)) {
      abort();
    }
  }
  // The secrets' arguments hold zero bytes only; all others are untouched.
  for (size_t i = 0; i < given.size(); ++i) {
    bool blanked = false;
    for (size_t p : expected.secret_args) blanked = blanked || p == i;
    const std::string now(argv[i], given[i].size());
    if (now != (blanked ? std::string(given[i].size(), '\0') : given[i])) abort();
  }
  return 0;
}
