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

TEST(Packets, ReasonsAreNamedAsMqtt5NamesThem) {
  EXPECT_STREQ(reason_name(0x87), "Not authorized");
  EXPECT_STREQ(reason_name(0x95), "Packet too large");
  EXPECT_STREQ(reason_name(0x7F), "Unknown reason");
}

}  // namespace
