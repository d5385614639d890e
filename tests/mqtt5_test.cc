// linecast as an MQTT 5 client (--protocol-version 5): the properties of every record, what
// CONNACK grants (Receive Maximum, Maximum Packet Size, Topic Alias Maximum), refusals of
// records and connections, the broker's DISCONNECT, and kept sessions resumed exactly once.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "fake_broker.h"
#include "proxies.h"
#include "test_support.h"

namespace {

Strings v5_args(int port, const std::string& topic, Strings extra = {}) {
  Strings args = {"--protocol-version", "5"};
  args.insert(args.end(), extra.begin(), extra.end());
  return args_for(port, topic, args);
}

// An MQTT 5 CONNACK with `reason` and the property bytes `properties`.
std::string connack5(int reason, const std::string& properties = "", bool session_present = false) {
  return mqtt_packet(
      0x20, bytes({session_present ? 1 : 0, reason}) + varint(properties.size()) + properties);
}

// The PUBLISH property that names topic alias 1.
const std::string kAlias1 = bytes({0x23, 0x00, 0x01});

// The session-present flag of each CONNACK the broker logged for `clientid`, in order.
std::string session_flags(const std::string& log, const std::string& clientid) {
  const std::string key = "Sending CONNACK to " + clientid + " (";
  std::string flags;
  for (size_t at = log.find(key); at != std::string::npos; at = log.find(key, at + 1)) {
    flags += log[at + key.size()];
  }
  return flags;
}

// What the broker logged of a kept session taken up again: PUBRELs before any PUBLISH right
// after a CONNACK with the session present, and PUBLISHes flagged DUP.
struct Resumption {
  size_t releases = 0;
  size_t duplicates = 0;
};
Resumption resumption_in(const std::string& log, const std::string& clientid) {
  Resumption r;
  r.duplicates = count_of(log, "Received PUBLISH from " + clientid + " (d1,");
  const std::string present = "Sending CONNACK to " + clientid + " (1, 0)";
  const std::string release = "Received PUBREL from " + clientid + " ";
  const std::string publish = "Received PUBLISH from " + clientid + " ";
  for (size_t at = log.find(present); at != std::string::npos; at = log.find(present, at + 1)) {
    size_t next_publish = log.find(publish, at);
    for (size_t r_at = log.find(release, at); r_at < next_publish;
         r_at = log.find(release, r_at + 1)) {
      ++r.releases;
    }
  }
  return r;
}

// Ends the input of a run that was fed `sent` numbered records and checks that each arrived
// exactly once, in order; prints sent, received, repeated and lost for the report.
void expect_each_once(const char* what, Child& child, Subscriber& sub, size_t sent) {
  child.close_input();
  EXPECT_EQ(child.wait(30000), 0);
  sub.wait_for(sent, 15000);
  const Strings got = payloads_of(sub.wait_for(sent + 1, 300));  // a late repeat, if any
  size_t unique = without_repeats(got).size();
  printf("%s: sent %zu, received %zu, duplicated %zu, lost %zu\n", what, sent, got.size(),
         got.size() - unique, sent - unique);
  EXPECT_EQ(got, numbered_records(sent));
}

// ---------------------------------------------------------------------------------------------
// Properties of every record.

TEST(Mqtt5, EveryRecordCarriesExpiryContentTypeAndUserPropertiesInOrder) {
  BrokerFixture broker;
  // A name given twice and names out of order: the order given is the order sent.
  const std::vector<std::pair<std::string, std::string>> user = {
      {"site", "north"}, {"a", "1"}, {"site", "south"}};
  for (const char* qos : {"0", "1", "2"}) {
    const std::string topic = std::string("props/") + qos;
    Subscriber sub(broker.port(), topic, 2, true, "", /*v5=*/true);
    std::string out;
    EXPECT_EQ(
        run_linecast(v5_args(broker.port(), topic,
                             {"--qos", qos, "--message-expiry", "3600", "--content-type",
                              "text/plain; charset=utf-8", "--user-property", "site", "north",
                              "--user-property", "a", "1", "--user-property", "site", "south"}),
                     numbered(0, 20), &out),
        0);
    std::vector<Message> got = sub.wait_for(20, 5000);
    EXPECT_EQ(payloads_of(got), numbered_records(20)) << "qos " << qos;
    for (const Message& m : got) {
      EXPECT_EQ(m.topic, topic);
      // The broker passes on what is left of the lifetime.
      EXPECT_LE(m.message_expiry, 3600) << "qos " << qos;
      EXPECT_GE(m.message_expiry, 3598) << "qos " << qos;
      EXPECT_EQ(m.content_type, "text/plain; charset=utf-8") << "qos " << qos;
      EXPECT_EQ(m.user_properties, user) << "qos " << qos;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// What CONNACK grants.

// mosquitto grants an MQTT 5 client max_inflight_messages as its Receive Maximum; a QoS 2
// record beyond it gets PUBREC with 0x97 (Quota exceeded), logged as "Sending PUBREC to <id>
// (m<id>, rc151)". QoS 1 records beyond it are taken all the same, so QoS 2 is the test.
TEST(Mqtt5, ReceiveMaximumBoundsTheQos2Window) {
  constexpr size_t kRecords = 2000;
  // A Receive Maximum far below the window linecast keeps otherwise.
  BrokerFixture broker(std::string(kLogEverything) + "max_inflight_messages 5\n");
  Subscriber sub(broker.port(), "rm", 2);
  std::string out;
  EXPECT_EQ(run_linecast(v5_args(broker.port(), "rm", {"--qos", "2", "--clientid", "lc-rm"}),
                         numbered(0, kRecords), &out),
            0);
  EXPECT_EQ(out, "Using topic rm\nConnecting\nStopping\n");
  expect_numbered(sub, kRecords, 9, "receive maximum 5");
  const std::string log = read_file(broker.dir() + "/broker.log");
  EXPECT_EQ(count_of(log, "Sending PUBREC to lc-rm (m"), kRecords);
  EXPECT_EQ(count_of(log, ", rc0)"), kRecords) << "a PUBREC refused a record";
  EXPECT_EQ(count_of(log, ", rc151)"), 0u);
}

// mosquitto sends its max_packet_size as Maximum Packet Size and drops the connection of a
// client that goes beyond it (DISCONNECT 0x95). The whole PUBLISH of a record of n bytes on
// topic "mps", without properties, is 11 + n bytes at QoS 1 and 2, and 9 + n at QoS 0.
constexpr int kPacketLimit = 160;
struct PacketSizeCase {
  const char* name;
  int qos;
  size_t size;
  bool fits;
  bool first;  // the first record of its connection, which names the topic and its alias
};

// Publishes 30 records (none when `first`), the case's record and 5 more.
void expect_packet_size_cases(const std::vector<PacketSizeCase>& cases) {
  BrokerFixture broker("max_packet_size " + std::to_string(kPacketLimit) + "\n");
  for (const PacketSizeCase& c : cases) {
    Subscriber sub(broker.port(), "mps", 2);
    const std::string record = std::string(c.size - 1, 'b') + "\n";
    const size_t before = c.first ? 0 : 30;
    std::string out;
    int status = run_linecast(
        v5_args(broker.port(), "mps", {"--qos", std::to_string(c.qos), "--maxdatalen", "1000"}),
        numbered(0, before) + record + numbered(before, 5), &out);
    Strings expected = numbered_records(before);
    if (c.fits) {
      EXPECT_EQ(status, 0) << c.name;
      EXPECT_EQ(out, "Using topic mps\nConnecting\nStopping\n") << c.name;
      const Strings all = numbered_records(before + 5);
      expected.push_back(record);
      expected.insert(expected.end(), all.end() - 5, all.end());
    } else {
      EXPECT_EQ(status, 255) << c.name;
      EXPECT_EQ(out, "Using topic mps\nConnecting\nRecord of " + std::to_string(c.size) +
                         " bytes is larger than the broker takes\n")
          << c.name;
    }
    sub.wait_for(expected.size(), 5000);
    EXPECT_EQ(payloads_of(sub.wait_for(expected.size() + 1, 300)), expected) << c.name;
  }
}

TEST(Mqtt5, MaximumPacketSizeBoundsTheRecordsSent) {
  expect_packet_size_cases({
      {"qos 0, one byte over", 0, kPacketLimit - 9 + 1, false, false},
      {"qos 1, one byte over", 1, kPacketLimit - 11 + 1, false, false},
      {"qos 2, one byte over", 2, kPacketLimit - 11 + 1, false, false},
      {"qos 1, one byte over, first", 1, kPacketLimit - 11 + 1, false, true},
      {"qos 1, exactly the limit", 1, kPacketLimit - 11, true, false},
  });
}

// The first PUBLISH of a connection also carries the alias (3 bytes more than the record was
// measured with): a record that fills the limit must still fit.
TEST(Mqtt5, RecordFillingTheMaximumPacketSizeFitsAsTheFirstOfItsConnection) {
  expect_packet_size_cases({
      {"qos 1, exactly the limit, first", 1, kPacketLimit - 11, true, true},
      {"qos 2, exactly the limit, first", 2, kPacketLimit - 11, true, true},
  });
}

// A topic of one or two bytes is shorter than the alias property (3 bytes) that would stand for
// it: a record that fills the limit with its topic goes with its topic, first of its connection
// or after the alias was set. The fake broker grants aliases; every PUBLISH must fit.
TEST(Mqtt5, RecordFillingTheMaximumPacketSizeGoesWithItsTopicWhenThatIsShorter) {
  for (const std::string topic : {"m", "mp"}) {
    FakeBrokerOptions options;
    options.connack = connack5(0, bytes({0x27, 0, 0, 0, kPacketLimit, 0x22, 0, 10}));
    options.handler = broker_answer;
    FakeBroker fake(options);
    // The whole PUBLISH at QoS 1 without properties: 8 bytes, the topic and the record.
    const std::string record = std::string(kPacketLimit - 8 - topic.size() - 1, 'b') + "\n";
    std::string out;
    EXPECT_EQ(run_linecast(v5_args(fake.port(), topic, {"--qos", "1", "--maxdatalen", "1000"}),
                           record + "a\n" + record, &out),
              0)
        << topic;
    Strings payloads;
    for (const Packet& p : fake.wait_for(3, 5000, kPublish)) {
      payloads.push_back(p.payload);
      EXPECT_LE(1 + varint(p.body.size()).size() + p.body.size(), size_t{kPacketLimit}) << topic;
    }
    EXPECT_EQ(payloads, (Strings{record, "a\n", record})) << topic;
  }
}

// ---------------------------------------------------------------------------------------------
// Records the broker refuses.

struct AclCase {
  const char* name;
  Strings options;
  bool open;  // the input stays open until the refusal is reported
  int status;
};

// The ACL lets anonymous clients read the topic but not write it: mosquitto refuses each record
// with reason 0x87 under MQTT 5, and under 3.1.1 acknowledges and drops it. Publishes 10
// records in each case; none may arrive.
void expect_acl_cases(const std::vector<AclCase>& cases) {
  TempDir dir;
  write_file(dir.path + "/acl", "topic read denied\n");
  BrokerFixture broker("acl_file " + dir.path + "/acl\n");
  const std::string refused = "Broker refused a record: Not authorized (0x87)\n";
  const std::string start = "Using topic denied\nConnecting\n";
  for (const AclCase& c : cases) {
    Subscriber sub(broker.port(), "denied", 2);
    Child child(args_for(broker.port(), "denied", c.options));
    child.write(numbered(0, 10));
    if (c.open) {
      EXPECT_TRUE(wait_for_output(child, refused, 1, 5000)) << c.name;
    }
    child.close_input();
    EXPECT_EQ(child.wait(), c.status) << c.name;
    const std::string out = child.out();
    if (c.status == 0) {
      EXPECT_EQ(out, start + "Stopping\n") << c.name;
    } else if (c.open) {
      EXPECT_EQ(out, start + refused) << c.name;
    } else {  // whether the orderly end was announced first is not the point here
      EXPECT_EQ(out.rfind(start, 0), 0u) << c.name << ": " << out;
      EXPECT_EQ(count_of(out, refused), 1u) << c.name << ": " << out;
      EXPECT_EQ(out.size() - out.rfind(refused), refused.size()) << c.name << ": " << out;
    }
    EXPECT_EQ(sub.wait_for(1, 300).size(), 0u) << c.name;
  }
}

// At QoS 0 nothing answers a record, under either version: a refusal cannot be seen.
TEST(Mqtt5, RecordRefusedByTheAclIsReportedUnderMqtt5AndVanishesUnder311) {
  expect_acl_cases({
      {"5, qos 1", {"--protocol-version", "5", "--qos", "1"}, true, 255},
      {"5, qos 2", {"--protocol-version", "5", "--qos", "2"}, true, 255},
      {"5, qos 0", {"--protocol-version", "5", "--qos", "0"}, false, 0},
      {"3.1.1, qos 1", {"--qos", "1"}, false, 0},
      {"3.1.1, qos 2", {"--qos", "2"}, false, 0},
  });
}

// The whole input read at once: the refusal comes back only while the orderly end hands the
// last records over.
TEST(Mqtt5, RefusalThatComesBackDuringTheOrderlyEndIsReported) {
  expect_acl_cases({
      {"5, qos 1", {"--protocol-version", "5", "--qos", "1"}, false, 255},
      {"5, qos 2", {"--protocol-version", "5", "--qos", "2"}, false, 255},
  });
}

// mosquitto answers a record beyond message_size_limit with reason 0x95 and keeps the
// connection: the records before it arrive, the run ends with the refusal.
TEST(Mqtt5, RecordRefusedForItsSizeEndsTheRunAfterTheRecordsBeforeIt) {
  BrokerFixture broker("message_size_limit 100\n");
  const std::string refused = "Broker refused a record: Packet too large (0x95)\n";
  for (const char* qos : {"1", "2"}) {
    Subscriber sub(broker.port(), "msl", 2);
    Child child(v5_args(broker.port(), "msl", {"--qos", qos, "--maxdatalen", "1000"}));
    child.write(numbered(0, 200) + std::string(150, 'x') + "\n" + numbered(200, 200));
    EXPECT_TRUE(wait_for_output(child, refused, 1, 5000)) << "qos " << qos;
    child.close_input();
    EXPECT_EQ(child.wait(), 255) << "qos " << qos;
    EXPECT_EQ(child.out(), "Using topic msl\nConnecting\n" + refused) << "qos " << qos;
    // Records after the refused one may have left before the refusal came back: those arrive
    // too, in order. Nothing before it is missing.
    sub.wait_for(200, 5000);
    const Strings got = payloads_of(sub.wait_for(401, 300));
    ASSERT_GE(got.size(), 200u) << "qos " << qos;
    EXPECT_EQ(got, numbered_records(got.size())) << "qos " << qos;
  }
}

// At QoS 2 the refusal of the third record comes while the first two await PUBCOMP: the run
// releases them and waits for their completion before it ends.
TEST(Mqtt5, RecordsBeforeARefusedOneAreStillHandedOver) {
  FakeBrokerOptions options;
  options.connack = connack5(0);
  options.handler = [](const Packet& p) {
    if (p.type != kPublish) return std::string();  // PUBCOMP waits for the test
    return p.packet_id < 3 ? pubrec(p.packet_id) : bytes({0x50, 0x03, 0x00, 0x03, 0x87});
  };
  FakeBroker fake(options);
  Child child(v5_args(fake.port(), "rf", {"--qos", "2"}));
  child.write("r1\nr2\nr3\n");
  EXPECT_TRUE(wait_for_output(child, "Broker refused a record: Not authorized (0x87)\n", 1, 5000));
  std::vector<Packet> released = fake.wait_for(2, 5000, kPubrel);
  ASSERT_EQ(released.size(), 2u);
  EXPECT_EQ(released[0].packet_id, 1);
  EXPECT_EQ(released[1].packet_id, 2);
  EXPECT_TRUE(child.still_running_after(300));
  EXPECT_EQ(fake.wait_for(1, 0, kDisconnect).size(), 0u) << "gone before the records were";
  ASSERT_TRUE(fake.send(pubcomp(1) + pubcomp(2)));
  EXPECT_EQ(child.wait(), 255);
  EXPECT_EQ(child.out(),
            "Using topic rf\nConnecting\nBroker refused a record: Not authorized (0x87)\n");
  EXPECT_EQ(fake.wait_for(3, 0, kPublish).size(), 3u) << "nothing after the refusal";
}

// With --refused skip a refused record gets its line and the run goes on; it leaves the spool,
// and the run ends with the total and status 255. Under stop a spool keeps it, and says how to
// move past it: a run with --refused skip then does.
TEST(Mqtt5, RefusedRecordIsSkippedOrStaysInTheSpool) {
  FakeBrokerOptions options;
  options.connack = connack5(0);
  options.handler = [](const Packet& p) {
    if (p.type != kPublish || p.payload != "r3\n") return broker_answer(p);
    return bytes({p.qos() == 1 ? 0x40 : 0x50, 0x03, 0x00, p.packet_id & 0xFF, 0x87});
  };
  FakeBroker fake(options);
  const std::string start = "Using topic rf\nConnecting\n";
  const std::string skipped = "Record 3 refused by the broker: Not authorized (0x87)\n";
  struct Case {
    Strings options;
    std::string out;
  };
  TempDir dir;
  const std::string spool = dir.path + "/spool";
  const std::vector<Case> cases = {
      {{"--qos", "1", "--refused", "skip"},
       start + skipped + "Stopping\n1 records refused by the broker\n"},
      {{"--qos", "2", "--refused", "skip", "--spool", dir.path + "/s2"},
       start + skipped + "Stopping\n1 records refused by the broker\n"},
      {{"--qos", "1", "--spool", spool},
       start + "Broker refused a record: Not authorized (0x87)\n"
               "Record 3 stays in the spool: run once with --refused skip to move past it\n"},
  };
  for (const Case& c : cases) {
    Child child(v5_args(fake.port(), "rf", c.options));
    child.write("r1\nr2\nr3\nr4\nr5\n");
    EXPECT_TRUE(wait_for_output(child, "Record 3 ", 1, 5000)) << c.out;
    child.close_input();
    EXPECT_EQ(child.wait(), 255) << c.out;
    const std::string out = child.out();
    EXPECT_EQ(out.substr(0, c.out.size()), c.out);
    if (c.out.find("stays") != std::string::npos) {
      EXPECT_EQ(
          out.substr(out.rfind('\n', out.size() - 2) + 1).find(" records stay in the spool\n"), 1u)
          << out;
    } else {
      EXPECT_EQ(out, c.out);
    }
  }
  // The record left in the spool goes first on the next run, which skips it: it keeps its number.
  Child next(v5_args(fake.port(), "rf", {"--qos", "1", "--spool", spool, "--refused", "skip"}));
  next.close_input();
  EXPECT_EQ(next.wait(), 255);
  const std::string out = next.out();
  EXPECT_NE(out.find("\nRecord 3 refused by the broker: Not authorized (0x87)\n"),
            std::string::npos)
      << out;
  const std::string end = "1 records refused by the broker\n";
  EXPECT_EQ(out.rfind(end), out.size() - end.size()) << out;
}

// ---------------------------------------------------------------------------------------------
// Topic aliases.

// mosquitto allows 10 aliases by default: the subscriber still sees the whole topic on every
// record, also after the connection was cut and made again (an alias lives only as long as its
// connection).
TEST(Mqtt5, TopicAliasIsInvisibleToTheSubscriber) {
  BrokerFixture broker;
  TcpRelay relay(broker.port());
  Subscriber sub(broker.port(), "alias/topic", 2, true, "", /*v5=*/true);
  Child child(v5_args(relay.port(), "alias/topic", {"--qos", "1", "--reconnect", "3"}));
  child.write(numbered(0, 100));
  ASSERT_EQ(sub.wait_for(100, 5000).size(), 100u);
  relay.cut();
  child.write(numbered(100, 100));
  child.close_input();
  EXPECT_EQ(child.wait(), 0);
  EXPECT_EQ(child.out(), "Using topic alias/topic\nConnecting\nConnecting\nStopping\n");
  std::vector<Message> got = sub.wait_for(200, 5000);
  // At QoS 1 a record in flight at the cut may come twice.
  EXPECT_EQ(without_repeats(payloads_of(got)), numbered_records(200));
  for (const Message& m : got) EXPECT_EQ(m.topic, "alias/topic");
}

// What goes over the wire: with a Topic Alias Maximum in CONNACK, the first PUBLISH of each
// connection names the topic and alias 1, the later ones alias 1 alone; without one, every
// PUBLISH names the topic.
TEST(Mqtt5, TopicAliasIsSetOncePerConnection) {
  for (bool granted : {true, false}) {
    FakeBrokerOptions options;
    options.connack = connack5(0, granted ? bytes({0x22, 0x00, 0x0A}) : "");
    options.handler = broker_answer;
    FakeBroker fake(options);
    Child child(v5_args(fake.port(), "alias/t", {"--qos", "1", "--reconnect", "3"}));
    child.write(numbered(0, 3));
    ASSERT_EQ(fake.wait_for(3, 5000, kPublish).size(), 3u);
    fake.close_connection();
    child.write(numbered(3, 3));
    std::vector<Packet> sent = fake.wait_for(6, 5000, kPublish);
    child.close_input();
    EXPECT_EQ(child.wait(), 0);
    ASSERT_EQ(sent.size(), 6u);
    for (size_t i = 0; i < sent.size(); ++i) {
      const Packet& p = sent[i];
      const bool names_topic = !granted || i % 3 == 0;
      EXPECT_EQ(p.connection, i < 3 ? 0 : 1) << i;
      EXPECT_EQ(p.topic, names_topic ? "alias/t" : "") << "granted " << granted << ", " << i;
      EXPECT_EQ(p.properties, granted ? kAlias1 : "") << "granted " << granted << ", " << i;
      EXPECT_EQ(p.payload, numbered(i, 1));
    }
  }
}

// A broker that grants 2 aliases for 10 topics: the least recently used alias is bound anew
// again and again, and a cut connection resends the records in flight, each to its own topic.
TEST(Mqtt5, TopicAliasesFewerThanTopicsKeepEveryRecordOnItsTopic) {
  BrokerFixture broker("max_topic_alias 2\n");
  TcpRelay relay(broker.port());
  Subscriber sub(broker.port(), "al/#", 1, true, "", /*v5=*/true);
  Child child(
      v5_args(relay.port(), "al/", {"--qos", "1", "--reconnect", "3", "--topic-separator", ":"}));
  auto records = [](size_t from, size_t count) {
    std::string input;
    for (size_t i = from; i < from + count; ++i) {
      input += "t" + std::to_string(i % 10) + ":" + numbered(i, 1);
    }
    return input;
  };
  child.write(records(0, 300));
  ASSERT_GE(sub.wait_for(150, 5000).size(), 150u);
  relay.cut();
  child.write(records(300, 300));
  child.close_input();
  EXPECT_EQ(child.wait(), 0);
  // Records sent again after the cut come twice: wait for 600 different ones.
  std::vector<Message> got;
  EXPECT_EQ(distinct_payloads(sub, 600, 5000, &got), numbered_records(600));
  for (const Message& m : got) {
    EXPECT_EQ(m.topic, "al/t" + std::to_string(std::stoul(m.payload) % 10)) << m.payload;
  }
}

// ---------------------------------------------------------------------------------------------
// The broker ends the connection, or refuses it.

// A DISCONNECT with a reason, with or without properties after it: the reason is printed and
// the record it cut off goes on the next connection.
TEST(Mqtt5, DisconnectFromTheBrokerIsReportedAndTheRecordGoesOnTheNextConnection) {
  struct Case {
    std::string disconnect;
    std::string line;
  };
  const std::vector<Case> cases = {
      {bytes({0xE0, 0x01, 0x98}), "Broker disconnected: Administrative action (0x98)\n"},
      {mqtt_packet(0xE0, bytes({0x89, 0x05, 0x1F, 0x00, 0x02}) + "hi"),
       "Broker disconnected: Server busy (0x89)\n"},
      {bytes({0xE0, 0x01, 0x8E}), "Broker disconnected: Session taken over (0x8E)\n"},
  };
  for (const Case& c : cases) {
    FakeBrokerOptions options;
    options.connack = connack5(0);
    options.handler = [&c](const Packet& p) {
      return p.type == kPublish && p.connection == 0 ? c.disconnect : broker_answer(p);
    };
    FakeBroker fake(options);
    Child child(v5_args(fake.port(), "dc", {"--qos", "1"}));
    child.write("one\n");
    std::vector<Packet> sent = fake.wait_for(2, 5000, kPublish);
    ASSERT_EQ(sent.size(), 2u) << c.line;
    EXPECT_EQ(sent[1].connection, 1);
    EXPECT_EQ(sent[1].payload, "one\n");
    child.close_input();
    EXPECT_EQ(child.wait(), 0) << c.line;
    EXPECT_EQ(child.out(), "Using topic dc\nConnecting\n" + c.line + "Connecting\nStopping\n");
  }
}

// A CONNACK with a failure reason: "Failed to connect", and with --verbose the reason first.
// mosquitto 2.0 answers a missing or wrong password alike, with 0x87.
TEST(Mqtt5, RefusedConnectionFailsToConnectWithTheReason) {
  struct Case {
    int reason;  // -1: a real broker that wants a password
    const char* text;
  };
  const std::vector<Case> cases = {
      {-1, "broker refused: not authorised"},   {0x86, "broker refused: bad user name or password"},
      {0x87, "broker refused: not authorised"}, {0x85, "broker refused: identifier rejected"},
      {0x9F, "broker refused the connection"},  {0x01, "the broker does not speak MQTT 5"},
  };
  BrokerFixture broker("", "alice", "secret");
  for (const Case& c : cases) {
    FakeBrokerOptions options;
    // 0x01: a 3.1.1 broker's answer to an MQTT 5 CONNECT, return code 1
    options.connack =
        c.reason == 0x01 ? bytes({0x20, 0x02, 0x00, 0x01}) : connack5(c.reason < 0 ? 0 : c.reason);
    FakeBroker fake(options);
    const int port = c.reason < 0 ? broker.port() : fake.port();
    const std::string said = "Using topic t\nConnecting\n";
    std::string out;
    EXPECT_EQ(run_linecast(v5_args(port, "t", {"--qos", "1"}), "x\n", &out), 255) << c.reason;
    EXPECT_EQ(out, said + "Failed to connect\n") << c.reason;
    EXPECT_EQ(run_linecast(v5_args(port, "t", {"--qos", "1", "--verbose"}), "x\n", &out), 255);
    EXPECT_EQ(out, "URL is 127.0.0.1:" + std::to_string(port) + "\n" + said + "Reason: " + c.text +
                       "\nFailed to connect\n")
        << c.reason;
  }
}

// A broker that does not take the records' QoS or retained flag, as it says in its CONNACK
// (Maximum QoS, Retain Available) or shows by answering QoS 2 with PUBACK: one line and the
// end, with nothing published when the CONNACK said so, and no reconnection loop.
TEST(Mqtt5, BrokerThatDoesNotTakeTheRecordsEndsTheRunAtOnce) {
  struct Case {
    const char* name;
    bool v5;
    std::string connack;
    Strings options;
    std::string line;
  };
  const std::string v311 = bytes({0x20, 0x02, 0x00, 0x00});
  const std::string qos2 = "Broker does not take QoS 2 records: try --qos 1\n";
  const std::string qos1 = "Broker does not take QoS 1 records: try --qos 0\n";
  const std::string retained = "Broker does not take retained records\n";
  const std::vector<Case> cases = {
      {"PUBACK for QoS 2", false, v311, {"--qos", "2"}, qos2},
      {"PUBACK for QoS 2, --reconnect 3", false, v311, {"--qos", "2", "--reconnect", "3"}, qos2},
      {"Maximum QoS 1", true, connack5(0, bytes({0x24, 1})), {"--qos", "2"}, qos2},
      {"Maximum QoS 0", true, connack5(0, bytes({0x24, 0})), {"--qos", "1"}, qos1},
      {"Retain Available 0", true, connack5(0, bytes({0x25, 0})), {"--retained"}, retained},
  };
  for (const Case& c : cases) {
    FakeBrokerOptions options;
    options.connack = c.connack;
    options.handler = [](const Packet& p) {
      return p.type == kPublish ? puback(p.packet_id) : broker_answer(p);
    };
    FakeBroker fake(options);
    Child child(c.v5 ? v5_args(fake.port(), "t", c.options)
                     : args_for(fake.port(), "t", c.options));
    child.write("x\n");
    EXPECT_EQ(child.wait(10000), 255) << c.name;
    EXPECT_EQ(child.out(), "Using topic t\nConnecting\n" + c.line) << c.name;
    size_t published = 0;
    for (const Packet& p : fake.packets()) published += p.type == kPublish;
    EXPECT_EQ(published, c.v5 ? 0u : 1u) << c.name;
  }
}

// ---------------------------------------------------------------------------------------------
// Kept sessions: QoS 2 exactly once across lost connections.

// A CONNECT's connect-flags byte and its property bytes (MQTT 5).
int connect_flags(const Packet& connect) { return static_cast<uint8_t>(connect.body[7]); }
std::string connect_properties(const Packet& connect) {
  size_t length = static_cast<uint8_t>(connect.body[10]);  // under 128 here
  return connect.body.substr(11, length);
}

// Three records at QoS 2 when the connection drops: the first complete, the second released
// and awaiting PUBCOMP, the third awaiting PUBREC. With the session present the second is
// released again and the third sent again with DUP; without it both go as new records.
TEST(Mqtt5, KeptSessionIsResumedAndALostOneStartsAnew) {
  for (bool present : {true, false}) {
    FakeBrokerOptions options;
    options.connack = connack5(0);
    options.handler = [](const Packet& p) {
      if (p.connection > 0) return broker_answer(p);
      if (p.type == kPublish && p.packet_id <= 2) return pubrec(p.packet_id);
      if (p.type == kPubrel && p.packet_id == 1) return pubcomp(1);
      return std::string();
    };
    FakeBroker fake(options);
    Child child(v5_args(fake.port(), "rs", {"--qos", "2", "--session-expiry", "300"}));
    child.write("r1\nr2\nr3\n");
    ASSERT_EQ(fake.wait_for(2, 5000, kPubrel).size(), 2u);
    ASSERT_EQ(fake.wait_for(3, 5000, kPublish).size(), 3u);
    fake.set_connack(connack5(0, "", present));
    fake.close_connection();
    ASSERT_TRUE(fake.wait_for_connections(2, 5000));
    child.close_input();
    EXPECT_EQ(child.wait(), 0) << "present " << present;
    EXPECT_EQ(child.out(), "Using topic rs\nConnecting\nConnecting\nStopping\n");

    std::vector<Packet> connects;
    std::vector<Packet> resumed;  // what the second connection carried
    for (const Packet& p : fake.packets()) {
      if (p.type == kConnect) connects.push_back(p);
      if (p.connection == 1 && (p.type == kPublish || p.type == kPubrel)) resumed.push_back(p);
    }
    ASSERT_EQ(connects.size(), 2u);
    const std::string expiry = bytes({0x11, 0, 0, 0x01, 0x2C});  // 300 s
    EXPECT_EQ(connect_flags(connects[0]) & 0x02, 0x02) << "the first connection starts clean";
    EXPECT_EQ(connect_flags(connects[1]) & 0x02, 0) << "the second asks for the kept session";
    EXPECT_NE(connect_properties(connects[0]).find(expiry), std::string::npos);
    EXPECT_NE(connect_properties(connects[1]).find(expiry), std::string::npos);
    std::vector<std::string> seen;
    for (const Packet& p : resumed) {
      seen.push_back((p.type == kPublish ? "PUBLISH " : "PUBREL ") + std::to_string(p.packet_id) +
                     (p.type == kPublish ? (p.flags & 8 ? " dup " : " ") + p.payload : ""));
    }
    if (present) {
      EXPECT_EQ(seen, (Strings{"PUBREL 2", "PUBLISH 3 dup r3\n", "PUBREL 3"}));
    } else {
      EXPECT_EQ(seen, (Strings{"PUBLISH 2 r2\n", "PUBLISH 3 r3\n", "PUBREL 2", "PUBREL 3"}));
    }
  }
}

// A persistent broker restarted three times while QoS 2 records are in flight. mosquitto does
// not restore a session begun with clean start (linecast's first connection) after a restart,
// and does restore one begun without it: the first restart finds no session, the later ones
// find it. Either way every record arrives exactly once.
TEST(Mqtt5, Qos2ExactlyOnceAcrossBrokerRestarts) {
  // The broker must keep what it queued for the subscriber across its restarts.
  BrokerFixture broker(kLogEverything, "", "", /*persistent=*/true);
  Subscriber sub(broker.port(), "eo", 2, /*clean=*/false, "mqtt5-eo-sub");
  Child child(v5_args(broker.port(), "eo",
                      {"--qos", "2", "--session-expiry", "300", "--reconnect", "20", "--clientid",
                       "lc-eo", "--verbose"}));
  const std::string announced = "Publishing data of length 9\n";
  size_t next = 0;
  write_paced(child, &next, 20, 10);
  const std::string log_path = broker.dir() + "/broker.log";
  for (int restart = 0; restart < 3; ++restart) {
    // The records so far are settled first, on both sides of the broker: the first restart
    // finds no session, so a record still awaiting its PUBCOMP would go again as a new one; and
    // mosquitto sends a record whose PUBCOMP from the subscriber it had not read to that
    // subscriber again after a restart. Neither repeat would be linecast's.
    for (long long deadline = monotonic_ms() + 5000;
         count_of(read_file(log_path), "Received PUBCOMP from mqtt5-eo-sub") < next;) {
      ASSERT_LT(monotonic_ms(), deadline) << "restart " << restart;
      sleep_ms(5);
    }
    // A burst the frozen broker never acknowledges: these records are in flight when it stops.
    broker.freeze();
    child.write(numbered(next, 15));
    next += 15;
    ASSERT_TRUE(wait_for_output(child, announced, next, 5000)) << child.out();
    sleep_ms(100);  // for the last of them to be written: the frozen broker cannot tell
    broker.stop_while_frozen();
    broker.start();
    write_paced(child, &next, 20, 10);
    // Read only once the connection is made again: the next freeze must not catch the attempt.
    ASSERT_TRUE(wait_for_output(child, announced, next, 10000)) << child.out();
  }
  expect_each_once("broker restarts", child, sub, next);
  const std::string log = read_file(log_path);
  EXPECT_EQ(session_flags(log, "lc-eo"), "0011");
  // The bursts the two kept sessions carried over were resumed: sent again with DUP, or
  // released again where the broker had answered before it stopped.
  Resumption r = resumption_in(log, "lc-eo");
  printf("broker restarts: %zu records resent with DUP, %zu PUBRELs resent\n", r.duplicates,
         r.releases);
  EXPECT_GE(r.duplicates + r.releases, 30u);
}

// With a spool, a run killed with records in flight loses none of the records it took from its
// input; at QoS 2 over a kept MQTT 5 session it repeats none either: the next run completes
// what the killed one left in flight. Three kills, then a run that ends in order.
TEST(Mqtt5, SpoolKeepsEveryRecordTakenAcrossKills) {
  struct Case {
    const char* name;
    Strings options;
    bool exactly_once;
  };
  const std::vector<Case> cases = {
      {"qos 2, mqtt 5", {"--protocol-version", "5", "--qos", "2", "--session-expiry", "300"}, true},
      {"qos 1, mqtt 3.1.1", {"--qos", "1"}, false},
  };
  constexpr size_t kBatch = 500;
  for (const Case& c : cases) {
    BrokerFixture broker("", "", "", /*persistent=*/true);
    Subscriber sub(broker.port(), "sp", 2);
    TempDir dir;
    Strings args = args_for(broker.port(), "sp", c.options);
    args.insert(args.end(), {"--spool", dir.path + "/spool", "--clientid", "lc-sp",
                             "--reconnect", "forever"});
    size_t next = 0;
    for (int kill = 0; kill < 3; ++kill) {
      Child child(args);
      child.write(numbered(next, kBatch));
      next += kBatch;
      // Every byte taken, and the batch on its way: killed with records in flight.
      ASSERT_TRUE(wait_until([&] { return child.unread_input() == 0; }, 10000)) << c.name;
      ASSERT_TRUE(wait_until([&] { return sub.messages().size() > next - kBatch; }, 10000))
          << c.name;
      child.signal(SIGKILL);
      EXPECT_EQ(child.wait(5000), 128 + SIGKILL);
    }
    Child last(args);
    last.close_input();
    EXPECT_EQ(last.wait(30000), 0) << c.name << ": " << last.out();
    EXPECT_EQ(distinct_payloads(sub, next, 15000), numbered_records(next)) << c.name;
    if (c.exactly_once) {
      EXPECT_EQ(payloads_of(sub.wait_for(next + 1, 300)), numbered_records(next)) << c.name;
    }
  }
}

// Connections cut in front of a broker that stays up, several times mid-stream: the session
// is found every time, what was in flight resumes, and every record arrives exactly once.
TEST(Mqtt5, Qos2ExactlyOnceAcrossCutConnections) {
  constexpr size_t kBatch = 1000;
  constexpr size_t kCuts = 4;
  BrokerFixture broker(kLogEverything);
  TcpRelay relay(broker.port());
  Subscriber sub(broker.port(), "cut", 2);
  Child child(v5_args(
      relay.port(), "cut",
      {"--qos", "2", "--session-expiry", "300", "--reconnect", "20", "--clientid", "lc-cut"}));
  const std::string log_path = broker.dir() + "/broker.log";
  size_t next = 0;
  for (size_t cut = 0; cut < kCuts; ++cut) {
    // Each cut ends a connection the broker has accepted.
    for (long long deadline = monotonic_ms() + 10000;
         session_flags(read_file(log_path), "lc-cut").size() <= cut;) {
      ASSERT_LT(monotonic_ms(), deadline) << child.out();
      sleep_ms(5);
    }
    child.write(numbered(next, kBatch));
    next += kBatch;
    sleep_ms(30);
    relay.cut();
  }
  child.write(numbered(next, kBatch));
  next += kBatch;
  expect_each_once("connection cuts", child, sub, next);
  // Each connection after the first found the session.
  const std::string log = read_file(log_path);
  EXPECT_EQ(session_flags(log, "lc-cut"), "0" + std::string(kCuts, '1'));
  Resumption r = resumption_in(log, "lc-cut");
  printf("connection cuts: %zu records resent with DUP, %zu PUBRELs resent\n", r.duplicates,
         r.releases);
  EXPECT_GT(r.duplicates + r.releases, 0u);
}

}  // namespace
