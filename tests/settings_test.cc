// Option parsing: values, last-wins, skipped arguments, secrets, the help text, and the command
// lines that are refused.
#include "settings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "usage_text.h"

namespace {

// Runs the parser on `line` (program name first) in place, into fresh settings. LINECAST_PASSWORD
// is set to `environment_password` for the parse, and unset without it.
PublisherSettings parse_in_place(std::vector<std::string>& line,
                                 const char* environment_password = nullptr) {
  std::vector<char*> argv;
  for (std::string& a : line) argv.push_back(a.data());
  argv.push_back(nullptr);
  if (environment_password != nullptr) {
    setenv("LINECAST_PASSWORD", environment_password, 1);
  } else {
    unsetenv("LINECAST_PASSWORD");
  }
  settings = PublisherSettings();
  parse_arguments(static_cast<int>(line.size()), argv.data());
  unsetenv("LINECAST_PASSWORD");
  PublisherSettings parsed = settings;
  settings = PublisherSettings();
  return parsed;
}

// Parses a whole command line. The arguments are kept for the rest of the run, as the settings
// refer to them in place.
PublisherSettings parse_line(std::vector<std::string> line,
                             const char* environment_password = nullptr) {
  static std::list<std::vector<std::string>> kept;
  kept.push_back(std::move(line));
  return parse_in_place(kept.back(), environment_password);
}

// Parses `args` after the program name and the topic.
PublisherSettings parse(std::vector<std::string> args, const char* environment_password = nullptr) {
  args.insert(args.begin(), {"linecast", "topic"});
  return parse_line(std::move(args), environment_password);
}

// Parses in a death-test child whose standard output goes where the test reads: its stderr.
void parse_showing_stdout(const std::vector<std::string>& line) {
  fflush(stdout);
  dup2(STDERR_FILENO, STDOUT_FILENO);
  parse_line(line);
}

// The command line (topic "topic" prepended) must end in the usage text and status 255.
void expect_usage_exit(std::vector<std::string> args) {
  args.insert(args.begin(), {"linecast", "topic"});
  EXPECT_EXIT(parse_showing_stdout(args), testing::ExitedWithCode(255),
              testing::Matcher<const std::string&>(kUsage))
      << testing::PrintToString(args);
}

std::string text(const char* s) { return s == nullptr ? "<absent>" : s; }

TEST(Settings, TopicAloneKeepsEveryDefault) {
  PublisherSettings s = parse({});
  EXPECT_STREQ(s.clientid, "publisher");
  EXPECT_EQ(s.delimiter, '\n');
  EXPECT_EQ(s.maxdatalen, 100);
  EXPECT_EQ(s.qos, 0);
  EXPECT_EQ(s.retained, 0);
  EXPECT_EQ(s.username, nullptr);
  EXPECT_EQ(s.password, nullptr);
  EXPECT_STREQ(s.host, "localhost");
  EXPECT_EQ(s.port, 1883);
  EXPECT_EQ(s.verbose, 0);
  EXPECT_EQ(s.cafile, nullptr);
  EXPECT_EQ(s.capath, nullptr);
  EXPECT_EQ(s.cert, nullptr);
  EXPECT_EQ(s.key, nullptr);
}

TEST(Settings, ValueOptionsTakeTheNextArgumentAndLastWins) {
  PublisherSettings s = parse({"--host",       "broker.local",
                               "--port",       "8883",
                               "--clientid",   "c1",
                               "--username",   "u",
                               "--qos",        "2",
                               "--qos",        "0",
                               "--maxdatalen", "12abc",
                               "--delimiter",  ",;",
                               "--retained",   "--retained",
                               "--clientid",   "--verbose"});
  EXPECT_STREQ(s.host, "broker.local");
  EXPECT_EQ(s.port, 8883);
  EXPECT_STREQ(s.clientid, "--verbose");  // a value is taken whatever it looks like
  EXPECT_STREQ(s.username, "u");
  EXPECT_EQ(s.qos, 0);
  EXPECT_EQ(s.maxdatalen, 12);
  EXPECT_EQ(s.delimiter, ',');
  EXPECT_EQ(s.retained, 1);
  EXPECT_EQ(s.verbose, 0);
}

TEST(Settings, CertificateOptionsTakeTheNextArgumentAndLastWins) {
  struct Case {
    std::vector<std::string> args;
    std::string cafile, capath, cert, key;
  };
  const std::string no = text(nullptr);
  const std::vector<Case> cases = {
      {{"--cafile", "ca.pem"}, "ca.pem", no, no, no},
      {{"--capath", "/etc/ssl/certs"}, no, "/etc/ssl/certs", no, no},
      {{"--cert", "c.pem", "--key", "k.pem"}, no, no, "c.pem", "k.pem"},
      {{"--cafile", "a", "--cafile", "b", "--key", "x", "--key", ""}, "b", no, no, ""},
      {{"--cafile", "--capath", "--cert", "--key"}, "--capath", no, "--key", no},
      {{"--CAfile", "a", "--cafile=b", "--certfile", "c"}, no, no, no, no},
  };
  for (const Case& c : cases) {
    PublisherSettings s = parse(c.args);
    EXPECT_EQ(text(s.cafile), c.cafile) << testing::PrintToString(c.args);
    EXPECT_EQ(text(s.capath), c.capath) << testing::PrintToString(c.args);
    EXPECT_EQ(text(s.cert), c.cert) << testing::PrintToString(c.args);
    EXPECT_EQ(text(s.key), c.key) << testing::PrintToString(c.args);
  }
}

TEST(Settings, UnknownArgumentsAreSkipped) {
  struct Case {
    std::vector<std::string> args;
    std::string host;
    int port;
    int verbose;
  };
  const std::vector<Case> cases = {
      {{"--host", "--port", "1999"}, "--port", 1883, 0},  // "1999" is then unknown
      {{"--Host", "h", "--verbose=1", "--verb", "-v"}, "localhost", 1883, 0},
      {{"--port=9", "stray", "--verbose"}, "localhost", 1883, 1},
  };
  for (const Case& c : cases) {
    PublisherSettings s = parse(c.args);
    EXPECT_EQ(text(s.host), c.host);
    EXPECT_EQ(s.port, c.port);
    EXPECT_EQ(s.verbose, c.verbose);
  }
}

TEST(Settings, DelimiterIsTheFirstByteTakenLiterally) {
  EXPECT_EQ(parse({"--delimiter", ","}).delimiter, ',');
  EXPECT_EQ(parse({"--delimiter", "\\n"}).delimiter, '\\');
  EXPECT_EQ(parse({"--delimiter", ""}).delimiter, '\0');
  EXPECT_EQ(parse({"--delimiter", "\xff"}).delimiter, '\xff');
}

TEST(Settings, MaxdatalenConvertsLikeAtoi) {
  EXPECT_EQ(parse({"--maxdatalen", "  +42"}).maxdatalen, 42);
  EXPECT_EQ(parse({"--maxdatalen", "7 8"}).maxdatalen, 7);
  EXPECT_EQ(parse({"--maxdatalen", "1"}).maxdatalen, 1);
  EXPECT_EQ(parse({"--maxdatalen", "10000000"}).maxdatalen, 10000000);
  // The largest payload a PUBLISH to "topic" can carry.
  EXPECT_EQ(parse({"--maxdatalen", "268435446"}).maxdatalen, 268435446);
}

TEST(Settings, PasswordIsKeptButBlankedInTheArguments) {
  std::vector<std::string> args = {"linecast", "t", "--password", "s3cret", "--verbose"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  settings = PublisherSettings();
  parse_arguments(5, argv.data());
  EXPECT_STREQ(settings.password, "s3cret");
  EXPECT_EQ(std::string(argv[3], 6), std::string(6, '\0'));
  EXPECT_STREQ(argv[4], "--verbose");
  settings = PublisherSettings();
}

TEST(SettingsDeathTest, UnusableCommandLinesPrintUsageAndExit255) {
  const std::vector<std::vector<std::string>> refused = {
      {"--qos"},
      {"--host"},
      {"--port"},
      {"--clientid"},
      {"--username"},
      {"--password"},
      {"--maxdatalen"},
      {"--delimiter"},
      {"--cafile"},
      {"--capath"},
      {"--cert"},
      {"--key"},
      {"--cafile", "ca.pem", "--key"},
      {"--verbose", "--host"},
      {"--qos", "3"},
      {"--qos", "00"},
      {"--qos", " 1"},
      {"--qos", ""},
      {"--qos", "1", "--qos", "-1"},
      {"--maxdatalen", "0"},
      {"--maxdatalen", "x9"},
      {"--maxdatalen", "-5"},
      {"--maxdatalen", "268435452"},  // no room left for the topic
      {"--maxdatalen", "99999999999999999999"},
      {"--port", "99999"},
      {"--port", "0"},
      {"--port", "http"},
      {"--port", "1883 "},
      {"--host", ""},
      {"--host", "a,,b"},
      {"--host", "a,"},
      {"--host", "a:0"},
      {"--host", "a:65536"},
      {"--host", "a:"},
      {"--host", "a,b:x"},
      {"--host", ":1883"},
      {"--host", "[::1"},
      {"--host", "[a.b]:1883"},
      {"--host", "[::1]1883"},
      {"--host", std::string(256, 'h'), "--proxy", "socks5h://p"},
  };
  for (const auto& args : refused) expect_usage_exit(args);
}

TEST(Settings, HostIsAListOfBrokersEachWithItsPortOrPort) {
  struct Case {
    std::vector<std::string> args;
    std::string brokers;  // "host port" each, ";" after each
  };
  const std::vector<Case> cases = {
      {{}, "localhost 1883;"},
      {{"--port", "8883"}, "localhost 8883;"},
      {{"--host", "a,b:1884,[::1]:1885"}, "a 1883;b 1884;::1 1885;"},
      {{"--host", "a,b:1884", "--port", "2000"}, "a 2000;b 1884;"},  // wherever --port stands
      {{"--host", "::1"}, "::1 1883;"},                               // an IPv6 address alone
      {{"--host", "[fe80::1]"}, "fe80::1 1883;"},
      {{"--host", "--port", "--port", "7"}, "--port 7;"},
      {{"--host", std::string(256, 'h'), "--proxy", "http://p"}, std::string(256, 'h') + " 1883;"},
  };
  for (const Case& c : cases) {
    PublisherSettings s = parse(c.args);
    std::string brokers;
    for (const BrokerAddress& b : s.brokers) brokers += b.host + " " + std::to_string(b.port) + ";";
    EXPECT_EQ(brokers, c.brokers) << testing::PrintToString(c.args);
  }
}

// Every field, so that whole settings compare with a readable difference.
std::string describe(const PublisherSettings& s) {
  std::ostringstream out;
  out << "host=" << text(s.host) << " port=" << s.port << " clientid=" << text(s.clientid)
      << " qos=" << s.qos << " retained=" << s.retained << " delimiter=" << int{s.delimiter}
      << " maxdatalen=" << s.maxdatalen << " username=" << text(s.username)
      << " password=" << text(s.password) << " verbose=" << s.verbose
      << " cafile=" << text(s.cafile) << " capath=" << text(s.capath) << " cert=" << text(s.cert)
      << " key=" << text(s.key) << " reconnect=" << s.reconnect << " keepalive=" << s.keepalive
      << " protocol_version=" << s.protocol_version << " message_expiry=" << s.message_expiry
      << " content_type=" << text(s.content_type) << " user_properties=[";
  for (const UserProperty& p : s.user_properties) {
    out << " " << text(p.name) << "=" << text(p.value);
  }
  out << " ] session_expiry=" << s.session_expiry << " alpn=" << text(s.alpn)
      << " psk=" << text(s.psk) << " psk_identity=" << text(s.psk_identity) << " proxy=["
      << s.proxy.host << "]:" << s.proxy.port << " user=" << s.proxy.username
      << " pass=" << s.proxy.password << " http=" << s.proxy.http << " ws_path=" << text(s.ws_path)
      << " bind_address=" << text(s.bind_address) << " will_topic=" << text(s.will_topic)
      << " will_payload=" << text(s.will_payload) << " will_qos=" << s.will_qos
      << " will_retain=" << s.will_retain << " topic_separator=" << s.topic_separator
      << " spool=" << text(s.spool) << " spool_size=" << s.spool_size
      << " spool_full=" << s.spool_full << " spool_sync=" << s.spool_sync
      << " stats_interval=" << s.stats_interval << " rate=" << s.rate << " refused=" << s.refused;
  return out.str();
}

TEST(Settings, NewOptionsGiveTheirFields) {
  struct Case {
    std::vector<std::string> args;
    void (*expect)(PublisherSettings& s);  // the defaults, changed where the options say
  };
  const std::vector<Case> cases = {
      {{"--reconnect", "1"}, [](PublisherSettings& s) { s.reconnect = 1; }},
      {{"--reconnect", "2147483647"}, [](PublisherSettings& s) { s.reconnect = INT_MAX; }},
      {{"--reconnect", "007"}, [](PublisherSettings& s) { s.reconnect = 7; }},
      {{"--reconnect", "3", "--reconnect", "forever"},
       [](PublisherSettings& s) { s.reconnect = kReconnectForever; }},
      {{"--keepalive", "5"}, [](PublisherSettings& s) { s.keepalive = 5; }},
      {{"--keepalive", "65535"}, [](PublisherSettings& s) { s.keepalive = 65535; }},
      {{"--protocol-version", "5"}, [](PublisherSettings& s) { s.protocol_version = kMqtt5; }},
      {{"--protocol-version", "5", "--protocol-version", "3.1.1"}, [](PublisherSettings&) {}},
      // The MQTT 5 properties may come before the protocol version.
      {{"--message-expiry", "4294967295", "--session-expiry", "1", "--protocol-version", "5"},
       [](PublisherSettings& s) {
         s.protocol_version = kMqtt5, s.message_expiry = 4294967295, s.session_expiry = 1;
       }},
      {{"--protocol-version", "5", "--content-type", "text/plain; charset=utf-8"},
       [](PublisherSettings& s) {
         s.protocol_version = kMqtt5, s.content_type = "text/plain; charset=utf-8";
       }},
      // Two- to four-byte forms, U+FFFF and U+10FFFF are all valid.
      {{"--protocol-version", "5", "--content-type",
        "\xc3\xa9\xe2\x82\xac\xef\xbf\xbf\xf4\x8f\xbf\xbf"},
       [](PublisherSettings& s) {
         s.protocol_version = kMqtt5,
         s.content_type = "\xc3\xa9\xe2\x82\xac\xef\xbf\xbf\xf4\x8f\xbf\xbf";
       }},
      {{"--protocol-version", "5", "--content-type", ""},
       [](PublisherSettings& s) { s.protocol_version = kMqtt5, s.content_type = ""; }},
      {{"--user-property", "a", "1", "--protocol-version", "5", "--user-property", "a", "",
        "--user-property", "--host", "--verbose"},
       [](PublisherSettings& s) {
         s.protocol_version = kMqtt5;
         s.user_properties = {{"a", "1"}, {"a", ""}, {"--host", "--verbose"}};
       }},
      {{"--alpn", "mqtt", "--bind-address", "192.0.2.7"},
       [](PublisherSettings& s) { s.alpn = "mqtt", s.bind_address = "192.0.2.7"; }},
      {{"--psk-identity", "dev1", "--psk", "00aaFF"},
       [](PublisherSettings& s) { s.psk = "00aaFF", s.psk_identity = "dev1"; }},
      {{"--proxy", "socks5h://proxy"}, [](PublisherSettings& s) { s.proxy.host = "proxy"; }},
      {{"--proxy", "socks5h://u:p%40ss:w@proxy.example:9050"},
       [](PublisherSettings& s) {
         s.proxy = {"proxy.example", 9050, "u", "p@ss:w"};
       }},
      // The host starts after the last '@'.
      {{"--proxy", "socks5h://u:p@ss@h"},
       [](PublisherSettings& s) {
         s.proxy = {"h", 1080, "u", "p@ss"};
       }},
      {{"--proxy", "socks5h://%75%3a@[::1]:65535"},
       [](PublisherSettings& s) {
         s.proxy = {"::1", 65535, "u:", ""};
       }},
      {{"--proxy", "http://proxy"},
       [](PublisherSettings& s) {
         s.proxy = {"proxy", 8080, "", "", true};
       }},
      {{"--proxy", "http://u%3a:p@[::1]:3128"},
       [](PublisherSettings& s) {
         s.proxy = {"::1", 3128, "u:", "p", true};
       }},
      {{"--ws-path", "/mqtt?x=1"}, [](PublisherSettings& s) { s.ws_path = "/mqtt?x=1"; }},
      {{"--proxy", "socks5h://user:@10.0.0.1:1", "--proxy", "socks5h://[2001:db8::1]"},
       [](PublisherSettings& s) {
         s.proxy = {"2001:db8::1", 1080, "", ""};
       }},
      // The separator is the first byte of its value, as the delimiter is.
      {{"--topic-separator", ":/"}, [](PublisherSettings& s) { s.topic_separator = ':'; }},
      {{"--topic-separator", ""}, [](PublisherSettings& s) { s.topic_separator = 0; }},
      {{"--topic-separator", "\xff"}, [](PublisherSettings& s) { s.topic_separator = 0xff; }},
      {{"--topic-separator", "\\n", "--delimiter", ";"},
       [](PublisherSettings& s) { s.topic_separator = '\\', s.delimiter = ';'; }},
      {{"--will-retain", "--will-topic", "lc/status", "--will-payload", "gone", "--will-qos", "2"},
       [](PublisherSettings& s) {
         s.will_topic = "lc/status", s.will_payload = "gone", s.will_qos = 2, s.will_retain = 1;
       }},
      {{"--will-topic", "--will-retain", "--will-payload", ""},
       [](PublisherSettings& s) { s.will_topic = "--will-retain", s.will_payload = ""; }},
      {{"--spool", "/var/spool/lc"}, [](PublisherSettings& s) { s.spool = "/var/spool/lc"; }},
      // The spool options may come before "--spool".
      {{"--spool-size", "1048576", "--spool-full", "drop-oldest", "--spool-sync", "always",
        "--spool", "d"},
       [](PublisherSettings& s) {
         s.spool = "d", s.spool_size = 1 << 20, s.spool_full = kSpoolFullDropOldest,
         s.spool_sync = kSpoolSyncAlways;
       }},
      {{"--spool", "d", "--spool-size", "1024K", "--spool-sync", "86400", "--spool-full",
        "drop-oldest", "--spool-full", "block"},
       [](PublisherSettings& s) { s.spool = "d", s.spool_size = 1 << 20, s.spool_sync = 86400; }},
      {{"--spool", "d", "--spool-size", "1M", "--maxdatalen", "983008"},
       [](PublisherSettings& s) { s.spool = "d", s.spool_size = 1 << 20, s.maxdatalen = 983008; }},
      {{"--spool", "d", "--spool-size", "3M", "--spool-sync", "1"},
       [](PublisherSettings& s) { s.spool = "d", s.spool_size = 3 << 20; }},
      {{"--spool", "d", "--spool-size", "1048576G"},
       [](PublisherSettings& s) { s.spool = "d", s.spool_size = uint64_t{1} << 50; }},
      {{"--spool", "d", "--spool-size", "5G"},
       [](PublisherSettings& s) { s.spool = "d", s.spool_size = uint64_t{5} << 30; }},
      {{"--stats-interval", "86400", "--rate", "1000000", "--refused", "skip"},
       [](PublisherSettings& s) { s.stats_interval = 86400, s.rate = 1000000, s.refused = 1; }},
      {{"--stats-interval", "1", "--rate", "1", "--refused", "skip", "--refused", "stop"},
       [](PublisherSettings& s) { s.stats_interval = 1, s.rate = 1; }},
  };
  for (const Case& c : cases) {
    PublisherSettings expected;
    c.expect(expected);
    EXPECT_EQ(describe(parse(c.args)), describe(expected)) << testing::PrintToString(c.args);
  }
  EXPECT_EQ(text(parse({"--alpn", std::string(255, 'p')}).alpn), std::string(255, 'p'));
}

TEST(Settings, PasswordComesFromTheEnvironmentUnlessGiven) {
  EXPECT_STREQ(parse({}, "from-env").password, "from-env");
  EXPECT_STREQ(parse({}, "").password, "");
  EXPECT_STREQ(parse({"--password", "given"}, "from-env").password, "given");
  EXPECT_EQ(parse({}).password, nullptr);
}

TEST(Settings, SecretsAreKeptButBlankedInTheArguments) {
  struct Case {
    std::vector<std::string> line;
    size_t blanked;
    std::string (*kept)(const PublisherSettings& s);
    std::string expected;
  };
  const std::vector<Case> cases = {
      {{"linecast", "t", "--psk", "c0ffee", "--psk-identity", "me"},
       3,
       [](const PublisherSettings& s) { return text(s.psk); },
       "c0ffee"},
      {{"linecast", "t", "--verbose", "--proxy", "socks5h://u:pw@h:1"},
       4,
       [](const PublisherSettings& s) { return s.proxy.username + ":" + s.proxy.password; },
       "u:pw"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> line = c.line;
    PublisherSettings s = parse_in_place(line);
    EXPECT_EQ(c.kept(s), c.expected);
    for (size_t i = 0; i < line.size(); ++i) {
      const std::string want = i == c.blanked ? std::string(c.line[i].size(), '\0') : c.line[i];
      EXPECT_EQ(line[i], want) << "argument " << i << " of " << testing::PrintToString(c.line);
    }
  }
}

TEST(Settings, HelpAndVersionAreOnlyTheFirstArgument) {
  // As options after a topic they are unknown, and so skipped.
  EXPECT_EQ(describe(parse({"--help", "-h", "--version"})), describe(PublisherSettings()));
  // A topic may look like an option.
  EXPECT_EQ(parse_line({"linecast", "--helpme", "--retained"}).retained, 1);
  EXPECT_EQ(parse_line({"linecast", "--verbose"}).verbose, 0);

  const std::vector<std::pair<std::vector<std::string>, bool>> version_requests = {
      {{"linecast", "--version"}, true},
      {{"linecast", "t", "--version"}, false},
      {{"linecast", "--versions"}, false},
      {{"linecast"}, false},
  };
  for (auto [line, expected] : version_requests) {
    std::vector<char*> argv;
    for (std::string& a : line) argv.push_back(a.data());
    EXPECT_EQ(is_version_request(static_cast<int>(argv.size()), argv.data()), expected);
  }
}

// The help is the usage text, then one line per further option ("  --name ..."), then the
// environment; the packaging test holds those lines against the man page and the completion.
TEST(SettingsDeathTest, HelpPrintsUsageAndFurtherOptionsAndExits0) {
  const std::string help = std::string(kUsage) +
                           "Further options:\n"
                           "(  --[a-z-]+[^\n]*\n){20,}"
                           "LINECAST_PASSWORD in the environment is the password when "
                           "--password is absent.\n"
                           "The client identifier is publisher unless --clientid is given.\n";
  std::string pattern;  // the text as a regular expression, but for the option lines
  for (char ch : help.substr(0, strlen(kUsage))) {
    if (strchr(".[]()*+?^$|\\{}", ch) != nullptr) pattern += '\\';
    pattern += ch;
  }
  pattern = "^" + pattern + help.substr(strlen(kUsage)) + "$";
  // Whatever follows, even a misuse, is not looked at.
  const std::vector<std::vector<std::string>> lines = {
      {"linecast", "--help"}, {"linecast", "-h"}, {"linecast", "--help", "--qos", "9"}};
  for (const auto& line : lines) {
    EXPECT_EXIT(parse_showing_stdout(line), testing::ExitedWithCode(0),
                testing::ContainsRegex(pattern))
        << line[1];
  }
}

TEST(SettingsDeathTest, NewOptionsRefuseMissingOrBadValues) {
  for (const char* option :
       {"--reconnect", "--keepalive", "--protocol-version", "--message-expiry", "--content-type",
        "--session-expiry", "--alpn", "--psk", "--psk-identity", "--proxy", "--bind-address",
        "--ws-path", "--will-topic", "--will-payload", "--will-qos", "--user-property",
        "--topic-separator", "--spool", "--spool-size", "--spool-full", "--spool-sync",
        "--stats-interval", "--rate", "--refused"}) {
    expect_usage_exit({option});
  }
  expect_usage_exit({"--protocol-version", "5", "--user-property", "name"});

  // Each value after the arguments that make it the only fault on the line.
  struct Case {
    std::vector<std::string> before;
    std::vector<std::string> values;
  };
  const std::string host_256(256, 'h');
  const std::vector<Case> cases = {
      {{"--reconnect"},
       {"0", "-1", "+3", " 3", "3 ", "", "2147483648", "99999999999999999999", "Forever", "1e3"}},
      {{"--reconnect", "forever", "--reconnect"}, {"0"}},
      {{"--keepalive"}, {"4", "0", "65536", "", "20s", "-20"}},
      {{"--protocol-version"}, {"", "3", "4", "3.1", "5.0", "05"}},
      {{"--protocol-version", "5", "--message-expiry"}, {"0", "4294967296", "-1"}},
      {{"--protocol-version", "5", "--session-expiry"}, {"", "1.5", "18446744073709551617"}},
      // Not MQTT UTF-8: a bad lead or continuation byte, a cut sequence, overlong forms, a
      // surrogate, beyond U+10FFFF, a five-byte form, too long.
      {{"--protocol-version", "5", "--content-type"},
       {"\xff", "\x80", "a\xc3", "\xe2\x82", "\xc0\xaf", "\xe0\x80\xaf", "\xf0\x80\x80\xaf",
        "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xf8\x88\x80\x80\x80", std::string(65536, 'a')}},
      {{"--protocol-version", "5", "--user-property", "name"}, {"\xed\xbf\xbf", "\xc1\x81"}},
      {{"--alpn"}, {"", std::string(256, 'p')}},
      {{"--psk-identity", "i", "--psk"}, {"", "0x12", "12 ab", "g1"}},
      {{"--will-topic", "t", "--will-qos"}, {"3", "01"}},
      {{"--ws-path"}, {"", "mqtt", "/a b", "/a\tb", "/\x7f"}},
      // Under 1 MiB or over 1 PiB, a lower-case or unknown suffix, a suffix alone, a sign.
      {{"--spool", "d", "--spool-size"},
       {"", "0", "1048575", "1023K", "0G", "1048577G", "1125899906842625", "1m", "1T", "1MB", "M",
        "-1G", "+1G", " 1G", "1.5G", "99999999999999999999"}},
      {{"--spool", "d", "--spool-full"}, {"", "Block", "drop", "drop_oldest", "none"}},
      {{"--spool", "d", "--spool-sync"}, {"", "0", "86401", "-1", "Always", "never", "1s"}},
      {{"--stats-interval"}, {"", "0", "86401", "-1", "1.5", "10s"}},
      {{"--rate"}, {"", "0", "1000001", "-5", "1e3", "100/s"}},
      {{"--refused"}, {"", "Skip", "continue", "drop"}},
      // Another scheme, no or a bad host, a bad port, a path, bad credentials.
      {{"--proxy"},
       {"",
        "socks5://h",
        "SOCKS5H://h",
        "https://h:3128",
        "http:/h",
        "http://h:0",
        "h:1080",
        "socks5h://",
        "socks5h://:1080",
        "socks5h://h:",
        "socks5h://h:0",
        "socks5h://h:65536",
        "socks5h://h:80x",
        "socks5h://h:+80",
        "socks5h://h/",
        "socks5h://h:1080/path",
        "socks5h://h?x",
        "socks5h://h#x",
        "socks5h://h h",
        "socks5h://::1",
        "socks5h://[::1",
        "socks5h://[]",
        "socks5h://[h]",
        "socks5h://[::1]x",
        "socks5h://[::1]:",
        "socks5h://[::1]:1:2",
        "socks5h://a]b",
        "socks5h://" + host_256,
        "socks5h://@h",
        "socks5h://:pw@h",
        "socks5h://u@",
        "socks5h://u:p%4@h",
        "socks5h://u:p%zz@h",
        "socks5h://u%00@h",
        "socks5h://" + host_256 + "@h"}},
  };
  for (const Case& c : cases) {
    for (const std::string& value : c.values) {
      std::vector<std::string> args = c.before;
      args.push_back(value);
      expect_usage_exit(args);
    }
  }
  // A bad name is refused as well as a bad value.
  expect_usage_exit({"--protocol-version", "5", "--user-property", "\xed\xbf\xbf", "v"});
}

TEST(SettingsDeathTest, OptionsThatNeedAnotherAreRefusedAlone) {
  const std::vector<std::vector<std::string>> refused = {
      // MQTT 5 properties without MQTT 5 in effect.
      {"--message-expiry", "10"},
      {"--content-type", "text/plain"},
      {"--user-property", "a", "b"},
      {"--session-expiry", "60"},
      {"--protocol-version", "3.1.1", "--session-expiry", "60"},
      {"--protocol-version", "5", "--protocol-version", "3.1.1", "--content-type", "x"},
      // A PSK needs its identity, and takes the place of certificates.
      {"--psk", "abcd"},
      {"--psk-identity", "dev1"},
      {"--psk", "ab", "--psk-identity", "i", "--cafile", "ca.pem"},
      {"--capath", "/etc/ssl/certs", "--psk", "ab", "--psk-identity", "i"},
      {"--psk", "ab", "--psk-identity", "i", "--cert", "c.pem"},
      {"--psk", "ab", "--key", "k.pem", "--psk-identity", "i"},
      // The other will options need a will topic.
      {"--will-payload", "gone"},
      {"--will-qos", "0"},
      {"--will-retain"},
      // The delimiter must stay at the end of the payload.
      {"--topic-separator", "\n"},
      {"--topic-separator", ",", "--delimiter", ","},
      {"--topic-separator", "", "--delimiter", ""},
      // The spool options need a spool.
      {"--spool-size", "10M"},
      {"--spool-full", "drop-oldest"},
      {"--spool-sync", "always"},
      {"--spool-full", "block", "--verbose"},
      // A record longer than the spool can hold beside its ledger room (64 KiB of 1 MiB).
      {"--spool", "d", "--spool-size", "1M", "--maxdatalen", "1000000"},
      {"--spool", "d", "--spool-size", "1M", "--maxdatalen", "983009", "--spool-full",
       "drop-oldest"},
  };
  for (const auto& args : refused) expect_usage_exit(args);
}

}  // namespace
