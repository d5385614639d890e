// The packet codec: every boundary of the length encoding, MQTT 5 properties and aliases, and
// an answer for every packet a broker may send, malformed ones included.
#include "mqtt_packets.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string bytes(std::initializer_list<int> list) {
  std::string out;
  for (int b : list) out.push_back(static_cast<char>(b));
  return out;
}

const unsigned char* raw(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

TEST(Packets, PublishCrossesEveryRemainingLengthBoundary) {
  // Remaining length = 2 + 1 (topic "t") + 2 (packet id) + payload at QoS 1.
  struct Case {
    size_t remaining;
    size_t length_bytes;
  };
  const std::vector<Case> cases = {{127, 1},   {128, 2},     {16383, 2},
                                   {16384, 3}, {2097151, 3}, {2097152, 4}};
  for (const Case& c : cases) {
    PublishHeader h;
    h.topic = "t";
    h.qos = 1;
    h.packet_id = 0x1234;
    std::string payload(c.remaining - 5, 'p');
    std::string out;
    encode_publish(out, h, payload.data(), payload.size());
    ASSERT_EQ(out.size(), publish_size(h, payload.size())) << c.remaining;
    EXPECT_EQ(out.size(), 1 + c.length_bytes + c.remaining) << c.remaining;
    EXPECT_EQ(packet_size(raw(out), out.size()), out.size()) << c.remaining;
    EXPECT_EQ(out.substr(1 + c.length_bytes, 5), bytes({0, 1, 't', 0x12, 0x34}));
    PublishView view;
    ASSERT_TRUE(decode_publish(raw(out), out.size(), false, &view));
    EXPECT_TRUE(view.payload == payload) << c.remaining;
    EXPECT_EQ(view.qos, 1);
  }
  PublishHeader h;
  h.topic = "t";
  EXPECT_EQ(publish_size(h, kMaxRemainingLength - 3), kMaxRemainingLength + 5);
  EXPECT_EQ(publish_size(h, kMaxRemainingLength - 2), 0u) << "beyond the length encoding";
}

TEST(Packets, Mqtt5PublishCarriesPropertiesAndTheAlias) {
  PublishProperties props;
  props.message_expiry = 0x01020304;
  props.content_type = "ct";
  props.user_properties = {{"k", "v"}};
  std::string encoded = encode_publish_properties(props);
  EXPECT_EQ(encoded, bytes({0x02, 1, 2, 3, 4, 0x03, 0, 2, 'c', 't', 0x26, 0, 1, 'k', 0, 1, 'v'}));
  PublishHeader h;
  h.v5 = true;
  h.topic = "ab";
  h.qos = 2;
  h.retain = true;
  h.dup = true;
  h.packet_id = 7;
  h.topic_alias = 1;
  h.properties = encoded;
  std::string first;
  encode_publish(first, h, "x", 1);
  EXPECT_EQ(first, bytes({0x3D, 28, 0, 2, 'a', 'b', 0, 7, 20, 0x23, 0, 1}) + encoded + "x");
  h.topic = "";  // the alias alone
  std::string later;
  encode_publish(later, h, "x", 1);
  EXPECT_EQ(later, bytes({0x3D, 26, 0, 0, 0, 7, 20, 0x23, 0, 1}) + encoded + "x");
  PublishView view;
  ASSERT_TRUE(decode_publish(raw(later), later.size(), true, &view));
  EXPECT_EQ(view.payload, "x");
  EXPECT_TRUE(view.retain);
  EXPECT_EQ(encode_publish_properties(PublishProperties()), "");
}

TEST(Packets, ControlPacketsAreExact) {
  std::string out;
  encode_pubrel(out, 0x0102, false);
  encode_pubrel(out, 0x0102, true);
  encode_pubrel(out, 0x0102, true, kPacketIdentifierNotFound);
  encode_pingreq(out);
  encode_disconnect(out);
  EXPECT_EQ(out, bytes({0x62, 2, 1, 2, 0x62, 2, 1, 2, 0x62, 3, 1, 2, 0x92, 0xC0, 0, 0xE0, 0}));
}

TEST(Packets, EveryPacketFromABrokerGetsAnAnswer) {
  struct Case {
    const char* name;
    std::string in;
    bool v5;
    long result;
    unsigned char type;
    uint16_t id;
    uint8_t reason;
  };
  const std::vector<Case> cases = {
      {"puback", bytes({0x40, 2, 0, 5}), false, 4, kPubackType, 5, 0},
      {"pubrec", bytes({0x50, 2, 1, 0}), false, 4, kPubrecType, 256, 0},
      {"pubcomp", bytes({0x70, 2, 0, 9}), true, 4, kPubcompType, 9, 0},
      {"3.1.1 ack, longer than defined: skipped", bytes({0x40, 4, 0, 5, 7, 7}), false, 6,
       kPubackType, 5, 0},
      {"v5 puback with reason", bytes({0x40, 3, 0, 5, 0x87}), true, 5, kPubackType, 5, 0x87},
      {"v5 pubrec with properties", bytes({0x50, 7, 0, 5, 0x10, 3, 0x1F, 0, 0}), true, 9,
       kPubrecType, 5, 0x10},
      {"v5 ack whose properties are not all here yet", bytes({0x40, 200, 1, 0, 5, 0x80, 195, 1}),
       true, 203, kPubackType, 5, 0x80},
      {"v5 properties of the wrong length", bytes({0x40, 6, 0, 5, 0, 9, 0, 0}), true, -1, 0, 0, 0},
      {"pingresp", bytes({0xD0, 0}), false, 2, kPingrespType, 0, 0},
      {"pingresp with a body", bytes({0xD0, 1, 0}), false, -1, 0, 0, 0},
      {"v5 disconnect", bytes({0xE0, 1, 0x8B}), true, 3, kDisconnectType, 0, 0x8B},
      {"v5 disconnect with properties", bytes({0xE0, 4, 0x98, 2, 0x1F, 0}), true, 6,
       kDisconnectType, 0, 0x98},
      {"v5 disconnect, properties cut short", bytes({0xE0, 3, 0x98, 5, 0}), true, -1, 0, 0, 0},
      {"v5 disconnect, no reason", bytes({0xE0, 0}), true, 2, kDisconnectType, 0, 0},
      {"3.1.1 disconnect", bytes({0xE0, 0}), false, -1, 0, 0, 0},
      {"connack after the connection", bytes({0x20, 2, 0, 0}), false, -1, 0, 0, 0},
      {"publish to a publisher", bytes({0x30, 3, 0, 1, 't'}), false, -1, 0, 0, 0},
      {"pubrel to a publisher", bytes({0x62, 2, 0, 1}), false, -1, 0, 0, 0},
      {"flags on an ack", bytes({0x42, 2, 0, 1}), false, -1, 0, 0, 0},
      {"packet identifier 0", bytes({0x40, 2, 0, 0}), false, -1, 0, 0, 0},
      {"ack too short", bytes({0x40, 1, 0}), false, -1, 0, 0, 0},
      {"length over four bytes", bytes({0x40, 0xFF, 0xFF, 0xFF, 0xFF, 1}), false, -1, 0, 0, 0},
      {"incomplete header", bytes({0x40}), false, 0, 0, 0, 0},
      {"incomplete length", bytes({0x40, 0x80}), false, 0, 0, 0, 0},
      {"incomplete identifier", bytes({0x40, 2, 0}), false, 0, 0, 0, 0},
      {"v5 reason not here yet", bytes({0x40, 3, 0, 5}), true, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    Incoming p;
    long n = decode_packet(raw(c.in), c.in.size(), c.v5, &p);
    EXPECT_EQ(n, c.result) << c.name;
    if (n <= 0) continue;
    EXPECT_EQ(p.type, c.type) << c.name;
    EXPECT_EQ(p.packet_id, c.id) << c.name;
    EXPECT_EQ(p.reason, c.reason) << c.name;
  }
}

TEST(Packets, ConnectCarriesEveryField) {
  struct Case {
    const char* name;
    ConnectFields fields;
    std::string packet;
  };
  ConnectFields minimal;
  minimal.clientid = "c";
  ConnectFields full;  // 3.1.1, resumed session, credentials and a retained will at QoS 2
  full.clientid = "c";
  full.clean_start = false;
  full.keepalive = 0x0102;
  full.username = "u";
  full.password = "p";
  full.will_topic = "w";
  full.will_payload = "x";
  full.will_qos = 2;
  full.will_retain = true;
  ConnectFields password_alone = minimal;  // 3.1.1 sends no password without a user name
  password_alone.password = "p";
  ConnectFields v5 = full;
  v5.protocol_version = 5;
  v5.session_expiry = 0x01020304;
  ConnectFields v5_plain = minimal;
  v5_plain.protocol_version = 5;
  const std::string mqtt4 = bytes({0, 4, 'M', 'Q', 'T', 'T', 4});
  const std::string mqtt5 = bytes({0, 4, 'M', 'Q', 'T', 'T', 5});
  const std::vector<Case> cases = {
      {"minimal", minimal, bytes({0x10, 13}) + mqtt4 + bytes({0x02, 0, 20, 0, 1, 'c'})},
      {"password alone", password_alone,
       bytes({0x10, 13}) + mqtt4 + bytes({0x02, 0, 20, 0, 1, 'c'})},
      {"full", full,
       bytes({0x10, 25}) + mqtt4 +
           bytes({0xF4, 1, 2, 0, 1, 'c', 0, 1, 'w', 0, 1, 'x', 0, 1, 'u', 0, 1, 'p'})},
      {"v5 full", v5,
       bytes({0x10, 32}) + mqtt5 + bytes({0xF4, 1, 2,   5, 0x11, 1,   2, 3, 4,   0, 1, 'c', 0,
                                          0,    1, 'w', 0, 1,    'x', 0, 1, 'u', 0, 1, 'p'})},
      {"v5 without properties", v5_plain,
       bytes({0x10, 14}) + mqtt5 + bytes({0x02, 0, 20, 0, 0, 1, 'c'})},
  };
  for (const Case& c : cases) {
    std::string out;
    encode_connect(out, c.fields);
    EXPECT_EQ(out, c.packet) << c.name;
  }
}

TEST(Packets, ConnackGetsAnAnswerAndTheGrants) {
  struct Case {
    const char* name;
    std::string in;
    bool v5;
    long result;
    Connack expected;
  };
  Connack refused;
  refused.code = 5;
  Connack present;
  present.session_present = true;
  Connack limits;
  limits.code = 0;
  limits.receive_maximum = 10;
  limits.maximum_packet_size = 0x10000;
  limits.topic_alias_maximum = 3;
  limits.server_keepalive = 60;
  limits.maximum_qos = 1;
  limits.retain_available = false;
  Connack old_broker;
  old_broker.code = 1;
  // receive maximum 10, maximum packet size, topic alias maximum 3, server keep alive 60,
  // maximum QoS 1, retain unavailable, a reason string and a user property, all skipped or read
  const std::string props = bytes({0x21, 0, 10,   0x27, 0,    1, 0, 0,   0x22, 0, 3, 0x13, 0, 60,
                                   0x24, 1, 0x25, 0,    0x1F, 0, 1, 'r', 0x26, 0, 1, 'k',  0, 0});
  const std::string with_props =
      bytes({0x20, static_cast<int>(3 + props.size()), 0, 0, static_cast<int>(props.size())}) +
      props;
  const std::vector<Case> cases = {
      {"accepted", bytes({0x20, 2, 1, 0}), false, 4, present},
      {"refused", bytes({0x20, 2, 0, 5}), false, 4, refused},
      {"v5 with every grant", with_props, true, static_cast<long>(with_props.size()), limits},
      {"v5, a 3.1.1 broker's refusal", bytes({0x20, 2, 0, 1}), true, 4, old_broker},
      {"not yet whole", with_props.substr(0, with_props.size() - 1), true, 0, {}},
      {"length not yet whole", bytes({0x20, 0x80}), true, 0, {}},
      {"nothing yet", "", false, 0, {}},
      {"another packet", bytes({0xD0, 0}), false, -1, {}},
      {"3.1.1, longer", bytes({0x20, 3, 0, 0, 0}), false, -1, {}},
      {"reserved flags", bytes({0x20, 2, 2, 0}), false, -1, {}},
      {"v5 properties of the wrong length", bytes({0x20, 5, 0, 0, 3, 0x24, 1}), true, -1, {}},
      {"v5 unknown property", bytes({0x20, 5, 0, 0, 2, 0x7F, 1}), true, -1, {}},
      {"v5 receive maximum 0", bytes({0x20, 6, 0, 0, 3, 0x21, 0, 0}), true, -1, {}},
      {"v5 string past its end", bytes({0x20, 6, 0, 0, 3, 0x1F, 0, 9}), true, -1, {}},
      {"too long to be a CONNACK", bytes({0x20, 0x81, 0x80, 0x04}), true, -1, {}},
  };
  for (const Case& c : cases) {
    Connack got;
    long n = decode_connack(raw(c.in), c.in.size(), c.v5, &got);
    EXPECT_EQ(n, c.result) << c.name;
    if (n <= 0) continue;
    const Connack& e = c.expected;
    EXPECT_EQ(got.session_present, e.session_present) << c.name;
    EXPECT_EQ(got.code, e.code) << c.name;
    EXPECT_EQ(got.receive_maximum, e.receive_maximum) << c.name;
    EXPECT_EQ(got.maximum_packet_size, e.maximum_packet_size) << c.name;
    EXPECT_EQ(got.topic_alias_maximum, e.topic_alias_maximum) << c.name;
    EXPECT_EQ(got.server_keepalive, e.server_keepalive) << c.name;
    EXPECT_EQ(got.maximum_qos, e.maximum_qos) << c.name;
    EXPECT_EQ(got.retain_available, e.retain_available) << c.name;
  }
}

TEST(Packets, ReasonsAreNamedAsMqtt5NamesThem) {
  EXPECT_STREQ(reason_name(0x87), "Not authorized");
  EXPECT_STREQ(reason_name(0x95), "Packet too large");
  EXPECT_STREQ(reason_name(0x7F), "Unknown reason");
}

}  // namespace
