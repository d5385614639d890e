// Option parsing: values, last-wins, skipped arguments, and the command lines that are refused.
#include "settings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <list>
#include <string>
#include <vector>

namespace {

// Parses `args` (program name and topic are prepended) into fresh settings. The arguments are
// kept for the rest of the run, as the settings refer to them in place.
PublisherSettings parse(std::vector<std::string> args) {
  static std::list<std::vector<std::string>> kept;
  kept.push_back(std::move(args));
  std::vector<std::string>& stored = kept.back();
  stored.insert(stored.begin(), {"linecast", "topic"});
  std::vector<char*> argv;
  for (std::string& a : stored) argv.push_back(a.data());
  argv.push_back(nullptr);
  settings = PublisherSettings();
  parse_arguments(static_cast<int>(stored.size()), argv.data());
  PublisherSettings parsed = settings;
  settings = PublisherSettings();
  return parsed;
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
  EXPECT_STREQ(s.port, "1883");
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
  EXPECT_STREQ(s.port, "8883");
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
    std::string host, port;
    int verbose;
  };
  const std::vector<Case> cases = {
      {{"--host", "--port", "1999"}, "--port", "1883", 0},  // "1999" is then unknown
      {{"--Host", "h", "--verbose=1", "--verb", "-v"}, "localhost", "1883", 0},
      {{"--port=9", "stray", "--verbose"}, "localhost", "1883", 1},
  };
  for (const Case& c : cases) {
    PublisherSettings s = parse(c.args);
    EXPECT_EQ(text(s.host), c.host);
    EXPECT_EQ(text(s.port), c.port);
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
  };
  for (const auto& args : refused) {
    EXPECT_EXIT(parse(args), testing::ExitedWithCode(255), "") << args[0];
  }
}

}  // namespace
