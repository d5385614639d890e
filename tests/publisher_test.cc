// The linecast binary end to end: standard output, exit status, and the exact bytes a subscriber
// of a real broker receives.
#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "test_support.h"
#include "usage_text.h"

namespace {

using namespace std::string_literals;

TEST(Publisher, DefaultsPublishEachLineWithItsLineFeed) {
  BrokerFixture broker;
  Subscriber sub(broker.port(), "t", 2);
  std::string out, err;
  EXPECT_EQ(run_linecast(args_for(broker.port(), "t"), "ab\ncd\n", &out, &err), 0);
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
      {{"--delimiter", ""},
       std::string("x\0y\0z", 5),
       {std::string("x\0", 2), std::string("y\0", 2), "z"}},
      {{}, std::string("\0\xff\x80\n\xfe", 5), {std::string("\0\xff\x80\n", 4), "\xfe"}},
      {{}, "no line feed at the end", {"no line feed at the end"}},
  };
  BrokerFixture broker;
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    std::string topic = "frame/" + std::to_string(i);
    Subscriber sub(broker.port(), topic, 1);
    std::string out;
    EXPECT_EQ(run_linecast(args_for(broker.port(), topic, c.options), c.input, &out), 0) << out;
    EXPECT_EQ(sub.payloads(c.records.size(), 5000), c.records) << "case " << i;
  }
}

TEST(Publisher, RecordSizesAcrossEveryPacketLengthEncoding) {
  // The packet's remaining length takes one more byte at 128, 16384 and 2097152; with the
  // 7-byte topic it is the payload + 9 at QoS 0 and + 11 at QoS 1 and 2.
  Strings records;
  for (size_t size :
       {1, 116, 117, 118, 119, 16373, 16374, 16375, 16376, 2097141, 2097142, 2097143, 2097144}) {
    records.push_back(std::string(size - 1, static_cast<char>('a' + records.size())) + "\n");
  }
  std::string input;
  for (const std::string& r : records) input += r;
  BrokerFixture broker;
  for (const char* qos : {"0", "1", "2"}) {
    std::string topic = std::string("sizes/") + qos;
    Subscriber sub(broker.port(), topic, 2);
    std::string out;
    EXPECT_EQ(
        run_linecast(args_for(broker.port(), topic, {"--qos", qos, "--maxdatalen", "3000000"}),
                     input, &out),
        0);
    Strings got = sub.payloads(records.size(), 10000);
    ASSERT_EQ(got.size(), records.size()) << "qos " << qos;
    for (size_t i = 0; i < records.size(); ++i) {
      EXPECT_TRUE(got[i] == records[i]) << "qos " << qos << " record of " << records[i].size();
    }
  }
}

TEST(Publisher, VerboseAnnouncesAddressAndEachRecord) {
  BrokerFixture broker;
  std::string out;
  EXPECT_EQ(run_linecast(args_for(broker.port(), "v", {"--verbose", "--maxdatalen", "3"}),
                         "hello\n", &out),
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
    EXPECT_EQ(
        run_linecast(args_for(broker.port(), "q", {"--qos", qos}), std::string(qos) + "\n", &out),
        0);
  }
  std::vector<Message> got = sub.wait_for(3, 5000);
  ASSERT_EQ(got.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(got[i].payload, std::to_string(i) + "\n");
    EXPECT_EQ(got[i].qos, i);
  }
  std::string out;
  EXPECT_EQ(
      run_linecast(args_for(broker.port(), "r", {"--retained", "--qos", "1"}), "kept\n", &out), 0);
  Subscriber late(broker.port(), "r", 1);
  std::vector<Message> kept = late.wait_for(1, 5000);
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].payload, "kept\n");
  EXPECT_TRUE(kept[0].retained);
}

TEST(Publisher, UserNameAndPassword) {
  BrokerFixture broker("", "alice", "wonder land");
  std::string out;
  EXPECT_EQ(
      run_linecast(args_for(broker.port(), "p", {"--username", "alice", "--password", "wrong"}),
                   "x\n", &out),
      255);
  EXPECT_EQ(out, "Using topic p\nConnecting\nFailed to connect\n");
  EXPECT_EQ(run_linecast(args_for(broker.port(), "p"), "x\n", &out), 255);
  EXPECT_EQ(out, "Using topic p\nConnecting\nFailed to connect\n");
  EXPECT_EQ(run_linecast(
                args_for(broker.port(), "p", {"--username", "alice", "--password", "wonder land"}),
                "x\n", &out),
            0);
  EXPECT_EQ(out, "Using topic p\nConnecting\nStopping\n");
}

TEST(Publisher, UsageAndRefusedCommandLines) {
  std::string out, err;
  EXPECT_EQ(run_linecast({}, "", &out, &err), 255);
  EXPECT_EQ(out, kUsage);
  EXPECT_EQ(err, "");
  for (const Strings& args :
       {Strings{"t", "--qos", "5"}, Strings{"t", "--port"}, Strings{"t", "--maxdatalen", "0"},
        Strings{"t", "--maxdatalen", "x"}}) {
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

// With --topic-separator each record goes to the prefix and its subtopic, or whole to the prefix
// without the separator; a composed topic no broker takes is reported, and the run goes on.
TEST(Publisher, TopicSeparatorRoutesEachRecordAndReportsTopicsNoBrokerTakes) {
  struct Case {
    Strings options;
    std::string input;
    std::vector<std::pair<std::string, std::string>> delivered;  // topic, payload
    std::string report;  // between "Connecting\n" and "Stopping\n", then the end
    int status;
  };
  const Case cases[] = {
      {{"--topic-separator", ":", "--qos", "1", "--verbose"},
       "a:1\nb+:2\nwhole\nc\x01"
       "d:3\n\xff:4\n\x00:5\nx/y:6\n"s,
       {{"p/a", "1\n"}, {"p/", "whole\n"}, {"p/x/y", "6\n"}},
       "Publishing data of length 2\nRecord 2 not published: topic \"p/b+\" contains a wildcard\n"
       "Publishing data of length 6\n"
       "Record 4 not published: topic \"p/c\\x01d\" contains a control character\n"
       "Record 5 not published: topic \"p/\\xFF\" is not valid UTF-8\n"
       "Record 6 not published: topic \"p/\\x00\" contains a zero byte\n"
       "Publishing data of length 2\nStopping\n4 records not published\n",
       255},
      {{"--topic-separator", "", "--delimiter", ";", "--maxdatalen", "70000"},
       "k\0v;#\0w;"s + std::string(65534, 'x') + "\0z;"s,
       {{"p/k", "v;"}},
       "Record 2 not published: topic \"p/#\" contains a wildcard\n"
       "Record 3 not published: topic \"p/" +
           std::string(65534, 'x') +
           "\" is longer than 65,535 bytes\nStopping\n2 records not published\n",
       255},
      {{"--topic-separator", "="},
       "n=1\nn/m=2\n",
       {{"p/n", "1\n"}, {"p/n/m", "2\n"}},
       "Stopping\n",
       0},
  };
  for (const Case& c : cases) {
    BrokerFixture broker;
    Subscriber sub(broker.port(), "p/#", 1);
    std::string out;
    EXPECT_EQ(run_linecast(args_for(broker.port(), "p/", c.options), c.input, &out), c.status);
    const std::string url = "URL is 127.0.0.1:" + broker.port_text() + "\n";
    EXPECT_EQ(without(out, url), "Using topic p/\nConnecting\n" + c.report) << c.input.size();
    std::vector<Message> got = sub.wait_for(c.delivered.size(), 5000);
    ASSERT_EQ(got.size(), c.delivered.size());
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].topic, c.delivered[i].first) << i;
      EXPECT_EQ(got[i].payload, c.delivered[i].second) << i;
    }
  }
}

TEST(Publisher, UnreachableBrokerFailsToConnect) {
  HeldPort closed;  // nothing listens there
  std::string port = std::to_string(closed.port());
  std::string out, err;
  EXPECT_EQ(run_linecast({"t", "--host", "127.0.0.1", "--port", port}, "x\n", &out, &err), 255);
  EXPECT_EQ(out, "Using topic t\nConnecting\nFailed to connect\n");
  EXPECT_EQ(err, "");
  // A port that cannot be one is a usage error, not a connection that fails for ever.
  for (const char* bad : {"not-a-port", "99999"}) {
    EXPECT_EQ(run_linecast({"t", "--port", bad, "--reconnect", "forever"}, "x\n", &out), 255);
    EXPECT_EQ(out.rfind("MQTT linecast\nUsage: linecast topicname", 0), 0u) << out;
  }
}

TEST(Publisher, BrokerRestartedMidStreamGetsOneReconnection) {
  for (const char* qos : {"0", "1"}) {
    BrokerFixture broker;
    Child child(args_for(broker.port(), "re", {"--qos", qos}));
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
  Child child(args_for(broker.port(), "idle", {"--qos", "1"}));
  child.write("before\n");
  sleep_ms(35000);
  child.write("after\n");
  child.close_input();
  EXPECT_EQ(child.wait(), 0);
  EXPECT_EQ(sub.payloads(2, 5000), (Strings{"before\n", "after\n"}));
  EXPECT_EQ(child.out(), "Using topic idle\nConnecting\nStopping\n");
}

TEST(Publisher, LongServerAddressIsComposedWhole) {
  std::string host(300, 'h');
  std::string out, err;
  EXPECT_EQ(run_linecast({"t", "--verbose", "--host", host, "--port", "1"}, "x\n", &out, &err),
            255);
  EXPECT_EQ(out, "URL is " + host +
                     ":1\nUsing topic t\nConnecting\nReason: host not found\nFailed to connect\n");
  EXPECT_EQ(err, "");
}

TEST(Publisher, ClientThatCannotBeCreatedIsReported) {
  std::string out;
  // MQTT client identifiers are UTF-8; the library refuses anything else.
  EXPECT_EQ(run_linecast({"t", "--clientid", "bad\xff", "--port", "1"}, "x\n", &out), 255);
  EXPECT_EQ(out, "Using topic t\nFailed to create client\n");
}

#ifndef __SANITIZE_ADDRESS__  // the sanitizer reserves far more address space than the limit
TEST(Publisher, RecordBufferThatCannotBeAllocatedIsReported) {
  BrokerFixture broker;
  std::string cmd = "ulimit -v 150000; " + shell_quoted(linecast_bin()) +
                    " t --host 127.0.0.1 --port " + broker.port_text() +
                    " --maxdatalen 200000000 </dev/null 2>&1";
  std::string out;
  EXPECT_EQ(run_shell(cmd, &out), 255);
  EXPECT_EQ(out, "Using topic t\nConnecting\nFailed to allocate the record buffer\n");
}
#endif

TEST(Publisher, UnreadableStandardInputIsReported) {
  BrokerFixture broker;
  std::string cmd = shell_quoted(linecast_bin()) + " t --port " + broker.port_text();
  for (const std::string& redirect : {std::string(" <&- "), std::string(" < /tmp ")}) {
    std::string out;
    EXPECT_EQ(run_shell(cmd + redirect + "2>&1", &out), 255) << redirect;
    EXPECT_EQ(out, "Using topic t\nFailed to read standard input\n") << redirect;
  }
}

}  // namespace

namespace {

// Records of 7 bytes: "%06d\n", numbered from 0.
constexpr size_t kLineWidth = 7;

TEST(Stop, InterruptCompletesTheRecordInProgress) {
  BrokerFixture broker;
  Subscriber sub(broker.port(), "s", 1);
  Child child(args_for(broker.port(), "s"));
  child.write("par");
  ASSERT_TRUE(wait_until([&] { return child.unread_input() == 0; }, 10000));
  child.signal(SIGINT);
  EXPECT_TRUE(child.still_running_after(300));  // half a record is not published
  child.write("tial\n");
  EXPECT_EQ(child.wait(5000), 0);
  EXPECT_EQ(sub.payloads(1, 5000), Strings{"partial\n"});
  EXPECT_EQ(child.out(), "Using topic s\nConnecting\nStopping\n");
  EXPECT_EQ(child.err(), "");
}

// A stop request on a quiet input ends at once; a record already begun gets the rest of its
// bytes, or is published as it is once they stop coming for 10 s.
TEST(Stop, RequestOnQuietInputEndsAtOnceAndARecordBegunIsAwaited) {
  struct Case {
    const char* name;
    std::string begun;         // sent before the request
    std::string rest;          // sent 300 ms after it; none when empty
    Strings published;         // after "one\n"
    long long min_ms, max_ms;  // from the request to the end
  };
  const std::vector<Case> cases = {
      // At once: well before the 10 s a begun record is waited for.
      {"idle", "", "", {}, 0, 5000},
      // What came with the rest was read too: it goes out as at the end of input.
      {"half a record, the rest later", "tw", "o\nthree", {"two\n", "three"}, 9500, 16000},
      {"half a record, nothing more", "tw", "", {"tw"}, 9500, 16000},
  };
  BrokerFixture broker;
  std::vector<std::unique_ptr<Subscriber>> subs;
  std::vector<std::unique_ptr<Child>> children;
  for (size_t i = 0; i < cases.size(); ++i) {
    std::string topic = "quiet/" + std::to_string(i);
    subs.push_back(std::make_unique<Subscriber>(broker.port(), topic, 1));
    children.push_back(
        std::make_unique<Child>(args_for(broker.port(), topic, {"--clientid", topic})));
    children[i]->write("one\n" + cases[i].begun);
    ASSERT_EQ(subs[i]->payloads(1, 5000), Strings{"one\n"}) << cases[i].name;
  }
  for (auto& child : children) {  // the begun records are read
    ASSERT_TRUE(wait_until([&] { return child->unread_input() == 0; }, 10000));
  }
  long long start = monotonic_ms();
  for (auto& child : children) child->signal(SIGTERM);
  sleep_ms(300);
  for (size_t i = 0; i < cases.size(); ++i) {
    if (!cases[i].rest.empty()) children[i]->write(cases[i].rest);
  }
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    Child& child = *children[i];
    EXPECT_EQ(child.wait(20000), 0) << c.name;
    long long took = monotonic_ms() - start;
    EXPECT_GE(took, c.min_ms) << c.name;
    EXPECT_LT(took, c.max_ms) << c.name;
    EXPECT_EQ(child.out(), "Using topic quiet/" + std::to_string(i) + "\nConnecting\nStopping\n");
    Strings expected = {"one\n"};
    expected.insert(expected.end(), c.published.begin(), c.published.end());
    EXPECT_EQ(subs[i]->payloads(expected.size() + 1, 300), expected) << c.name;
  }
}

TEST(Stop, SecondInterruptKillsAtOnce) {
  BrokerFixture broker;
  Child child(args_for(broker.port(), "s"));
  child.write("a record begun");  // the first interrupt waits for the rest of it
  ASSERT_TRUE(wait_until([&] { return child.unread_input() == 0; }, 10000));
  child.signal(SIGINT);
  // Its handler ran once it restored the default action.
  EXPECT_TRUE(wait_until([&] { return !child.catches(SIGINT); }, 5000));
  EXPECT_TRUE(child.still_running_after(100));
  child.signal(SIGINT);
  EXPECT_EQ(child.wait(5000), 128 + SIGINT);
  EXPECT_EQ(child.out(), "Using topic s\nConnecting\n");
}

// Whether `child` handles stop requests and has begun its first connection, within 10 s.
bool handlers_in_place_and_connecting(Child& child) {
  return wait_until([&] { return child.catches(SIGINT) && child.catches(SIGTERM); }, 10000) &&
         wait_for_output(child, "Connecting\n", 1, 10000);
}

TEST(Stop, StopDuringTheFirstConnection) {
  BrokerFixture broker;
  Subscriber sub(broker.port(), "s", 1);
  broker.freeze();  // the TCP connection is accepted by the kernel; CONNACK waits
  {
    Child child(args_for(broker.port(), "s"));
    child.write("never read\n");
    ASSERT_TRUE(handlers_in_place_and_connecting(child));
    EXPECT_TRUE(child.still_running_after(300));
    child.signal(SIGTERM);
    EXPECT_TRUE(child.still_running_after(200));
    broker.thaw();
    EXPECT_EQ(child.wait(5000), 0);
    EXPECT_EQ(child.out(), "Using topic s\nConnecting\nStopping\n");
  }
  broker.freeze();
  Child child(args_for(broker.port(), "s"));
  ASSERT_TRUE(handlers_in_place_and_connecting(child));
  EXPECT_TRUE(child.still_running_after(300));
  child.signal(SIGINT);
  EXPECT_EQ(child.wait(10000), 255);  // no CONNACK within the connect timeout
  EXPECT_EQ(child.out(), "Using topic s\nConnecting\nFailed to connect\n");
  broker.thaw();
  EXPECT_TRUE(sub.wait_for(1, 300).empty());
}

TEST(Stop, Qos2BurstStaysWithinTheBrokersDefaultInflightLimit) {
  // A stock broker answers PUBREC for records beyond its in-flight limit but drops them.
  BrokerFixture broker;
  Subscriber sub(broker.port(), "burst", 2);
  std::string out;
  EXPECT_EQ(run_linecast(args_for(broker.port(), "burst", {"--qos", "2"}),
                         numbered(0, 500, kLineWidth), &out),
            0);
  expect_numbered(sub, 500, kLineWidth, "qos 2 burst");
  EXPECT_EQ(sub.wait_for(501, 200).size(), 500u);
}

TEST(Stop, EndOfInputDeliversEveryRecordAtQos1And2) {
  BrokerFixture broker;
  const size_t kRecords = 20000;
  const std::string input = numbered(0, kRecords, kLineWidth);
  for (const char* qos : {"1", "2"}) {
    std::string topic = std::string("all/") + qos;
    Subscriber sub(broker.port(), topic, 2);
    std::string out;
    EXPECT_EQ(run_linecast(args_for(broker.port(), topic, {"--qos", qos}), input, &out), 0);
    EXPECT_EQ(out, "Using topic " + topic + "\nConnecting\nStopping\n");
    expect_numbered(sub, kRecords, kLineWidth, std::string("qos ") + qos);
  }
}

TEST(Stop, TerminationWithRecordsInFlightDeliversEveryAnnouncedRecord) {
  BrokerFixture broker;
  for (const char* qos : {"1", "2"}) {
    std::string topic = std::string("flight/") + qos;
    Subscriber sub(broker.port(), topic, 2);
    Child child(args_for(broker.port(), topic, {"--qos", qos, "--verbose"}));
    child.write(numbered(0, 20000, kLineWidth));
    sleep_ms(30);
    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(20000), 0);
    size_t announced = count_of(child.out(), "Publishing data of length 7\n");
    EXPECT_GT(announced, 0u);
    EXPECT_EQ(count_of(child.out(), "Stopping\n"), 1u);
    expect_numbered(sub, announced, kLineWidth, std::string("qos ") + qos);
    EXPECT_TRUE(sub.wait_for(announced + 1, 300).size() == announced) << "more than announced";
  }
}

TEST(Stop, UndeliverableRecordsAtTheEndAreReported) {
  BrokerFixture broker;
  Subscriber sub(broker.port(), "s", 1);
  Child child(args_for(broker.port(), "s", {"--qos", "1"}));
  child.write("first\n");  // once it arrives, the connection is up
  ASSERT_EQ(sub.wait_for(1, 10000).size(), 1u);
  broker.freeze();
  child.write("stuck\n");
  child.close_input();
  long long start = monotonic_ms();
  EXPECT_EQ(child.wait(30000), 255);
  EXPECT_GE(monotonic_ms() - start, 9000);
  EXPECT_EQ(child.out(), "Using topic s\nConnecting\nStopping\nFailed to deliver all records\n");
  broker.thaw();
}

}  // namespace
