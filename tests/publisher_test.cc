// The linecast binary end to end: standard output, exit status, and the exact bytes a subscriber
// of a real broker receives.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "broker_fixture.h"

namespace {

using Strings = std::vector<std::string>;

const char kUsage[] =
    "MQTT linecast\n"
    "Usage: linecast topicname <options>, where options are:\n"
    "  --host <hostname> (default is localhost)\n"
    "  --port <port> (default is 1883)\n"
    "  --qos <qos> (default is 0)\n"
    "  --retained (default is off)\n"
    "  --delimiter <delim> (default is \n)\n"
    "  --clientid <clientid> (default is hostname+timestamp)\n"
    "  --maxdatalen 100\n"
    "  --username none\n"
    "  --password none\n";

// Arguments for the topic on `broker`, followed by `extra`.
Strings args_for(const BrokerFixture& broker, const std::string& topic, Strings extra = {}) {
  Strings args = {topic, "--host", "127.0.0.1", "--port", broker.port_text()};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

TEST(Publisher, DefaultsPublishEachLineWithItsLineFeed) {
  BrokerFixture broker;
  Subscriber sub(broker.port(), "t", 2);
  std::string out, err;
  EXPECT_EQ(run_linecast(args_for(broker, "t"), "ab\ncd\n", &out, &err), 0);
  EXPECT_EQ(out, "Using topic t\nConnecting\nStopping\n");
  EXPECT_EQ(err, "");
  std::vector<Message> got = sub.wait_for(2, 5000);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].payload, "ab\n");
  EXPECT_EQ(got[1].payload, "cd\n");
  EXPECT_EQ(got[0].qos, 0);
  EXPECT_FALSE(got[0].retained);
}

TEST(Publisher, FramesRecordsExactly) {
  struct Case {
    Strings options;
    std::string input;
    Strings records;
  };
  const std::string a99(99, 'a'), b100(100, 'b');
  const std::vector<Case> cases = {
      {{}, "\n", {"\n"}},
      {{"--maxdatalen", "4"}, "abcdefg\n", {"abcd", "efg\n"}},
      {{"--maxdatalen", "4"}, "abc\ndefg", {"abc\n", "defg"}},
      {{"--maxdatalen", "1"}, "ab\n", {"a", "b", "\n"}},
      {{}, a99 + "\n", {a99 + "\n"}},
      {{}, b100 + "\n", {b100, "\n"}},
      {{"--delimiter", ","}, "a,b,c\nd,", {"a,", "b,", "c\nd,"}},
      {{"--delimiter", ""}, std::string("x\0y\0z", 5), {std::string("x\0", 2), std::string("y\0", 2), "z"}},
      {{}, std::string("\0\xff\x80\n\xfe", 5), {std::string("\0\xff\x80\n", 4), "\xfe"}},
      {{}, "no line feed at the end", {"no line feed at the end"}},
  };
  BrokerFixture broker;
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    std::string topic = "frame/" + std::to_string(i);
    Subscriber sub(broker.port(), topic, 1);
    std::string out;
    EXPECT_EQ(run_linecast(args_for(broker, topic, c.options), c.input, &out), 0) << out;
    EXPECT_EQ(sub.payloads(c.records.size(), 5000), c.records) << "case " << i;
  }
}

TEST(Publisher, VerboseAnnouncesAddressAndEachRecord) {
  BrokerFixture broker;
  std::string out;
  EXPECT_EQ(run_linecast(args_for(broker, "v", {"--verbose", "--maxdatalen", "3"}), "hello\n", &out),
            0);
  EXPECT_EQ(out, "URL is 127.0.0.1:" + broker.port_text() +
                     "\nUsing topic v\nConnecting\nPublishing data of length 3\n"
                     "Publishing data of length 3\nStopping\n");
}

TEST(Publisher, QosAndRetainedReachTheSubscriber) {
  BrokerFixture broker;
  Subscriber sub(broker.port(), "q", 2);
  for (const char* qos : {"0", "1", "2"}) {
    std::string out;
    EXPECT_EQ(run_linecast(args_for(broker, "q", {"--qos", qos}), std::string(qos) + "\n", &out), 0);
  }
  std::vector<Message> got = sub.wait_for(3, 5000);
  ASSERT_EQ(got.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(got[i].payload, std::to_string(i) + "\n");
    EXPECT_EQ(got[i].qos, i);
  }
  std::string out;
  EXPECT_EQ(run_linecast(args_for(broker, "r", {"--retained", "--qos", "1"}), "kept\n", &out), 0);
  Subscriber late(broker.port(), "r", 1);
  std::vector<Message> kept = late.wait_for(1, 5000);
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].payload, "kept\n");
  EXPECT_TRUE(kept[0].retained);
}

TEST(Publisher, UserNameAndPassword) {
  BrokerFixture broker("", "alice", "wonder land");
  std::string out;
  EXPECT_EQ(run_linecast(args_for(broker, "p", {"--username", "alice", "--password", "wrong"}),
                         "x\n", &out),
            255);
  EXPECT_EQ(out, "Using topic p\nConnecting\nFailed to connect\n");
  EXPECT_EQ(run_linecast(args_for(broker, "p"), "x\n", &out), 255);
  EXPECT_EQ(out, "Using topic p\nConnecting\nFailed to connect\n");
  EXPECT_EQ(run_linecast(args_for(broker, "p", {"--username", "alice", "--password", "wonder land"}),
                         "x\n", &out),
            0);
  EXPECT_EQ(out, "Using topic p\nConnecting\nStopping\n");
}

TEST(Publisher, UsageAndRefusedCommandLines) {
  std::string out, err;
  EXPECT_EQ(run_linecast({}, "", &out, &err), 255);
  EXPECT_EQ(out, kUsage);
  EXPECT_EQ(err, "");
  for (const Strings& args : {Strings{"t", "--qos", "5"}, Strings{"t", "--port"},
                              Strings{"t", "--maxdatalen", "0"}, Strings{"t", "--maxdatalen", "x"}}) {
    EXPECT_EQ(run_linecast(args, "", &out), 255);
    EXPECT_EQ(out, kUsage);
  }
}

TEST(Publisher, UnpublishableTopicIsRefusedBeforeConnecting) {
  for (const std::string& topic : {std::string("a/+"), std::string("#"), std::string(""),
                                   std::string("bad\xc3"), std::string(65536, 'x')}) {
    std::string out, err;
    EXPECT_EQ(run_linecast({topic, "--port", "1"}, "x\n", &out, &err), 255);
    EXPECT_EQ(out, "Using topic " + topic + "\nInvalid topic\n");
    EXPECT_EQ(err, "");
  }
}

TEST(Publisher, UnreachableBrokerFailsToConnect) {
  BrokerFixture broker;
  std::string port = broker.port_text();
  broker.stop();
  std::string out, err;
  EXPECT_EQ(run_linecast({"t", "--host", "127.0.0.1", "--port", port}, "x\n", &out, &err), 255);
  EXPECT_EQ(out, "Using topic t\nConnecting\nFailed to connect\n");
  EXPECT_EQ(err, "");
  EXPECT_EQ(run_linecast({"t", "--port", "not-a-port"}, "x\n", &out), 255);
  EXPECT_EQ(out, "Using topic t\nConnecting\nFailed to connect\n");
}

TEST(Publisher, BrokerRestartedMidStreamGetsOneReconnection) {
  for (const char* qos : {"0", "1"}) {
    BrokerFixture broker;
    Child child(args_for(broker, "re", {"--qos", qos}));
    {
      Subscriber sub(broker.port(), "re", 1);
      child.write("one\n");
      EXPECT_EQ(sub.payloads(1, 5000), Strings{"one\n"});
    }
    broker.stop();
    sleep_ms(300);  // the publisher sees the connection close while it waits for input
    broker.start();
    Subscriber sub(broker.port(), "re", 1);
    child.write("two\n");
    EXPECT_EQ(sub.payloads(1, 10000), Strings{"two\n"}) << "qos " << qos;
    child.close_input();
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(child.out(), "Using topic re\nConnecting\nConnecting\nStopping\n");
  }
}

TEST(Publisher, IdleInputLongerThanTheKeepAliveKeepsTheConnection) {
  BrokerFixture broker;
  Subscriber sub(broker.port(), "idle", 1);
  Child child(args_for(broker, "idle", {"--qos", "1"}));
  child.write("before\n");
  sleep_ms(35000);
  child.write("after\n");
  child.close_input();
  EXPECT_EQ(child.wait(), 0);
  EXPECT_EQ(sub.payloads(2, 5000), (Strings{"before\n", "after\n"}));
  EXPECT_EQ(child.out(), "Using topic idle\nConnecting\nStopping\n");
}

TEST(Publisher, UnreadableStandardInputIsReported) {
  BrokerFixture broker;
  std::string cmd = std::string(LINECAST_BIN) + " t --port " + broker.port_text();
  for (const std::string& redirect : {std::string(" <&- "), std::string(" < /tmp ")}) {
    FILE* p = popen((cmd + redirect + "2>&1").c_str(), "r");
    ASSERT_NE(p, nullptr);
    char buf[256] = {};
    size_t n = fread(buf, 1, sizeof buf - 1, p);
    int status = pclose(p);
    EXPECT_EQ(std::string(buf, n), "Using topic t\nFailed to read standard input\n") << redirect;
    EXPECT_EQ(WEXITSTATUS(status), 255);
  }
}

}  // namespace
