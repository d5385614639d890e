// MQTT 3.1.1 and 5 packets as a publisher writes and reads them: pure functions over bytes,
// no I/O, no state. Everything a broker may send a publisher decodes to an answer, malformed
// bytes included.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

/// The largest remaining length the four-byte length encoding can carry.
constexpr size_t kMaxRemainingLength = 268435455;

/// Fixed-header type nibbles, shifted into place.
constexpr unsigned char kConnectType = 0x10;
constexpr unsigned char kConnackType = 0x20;
constexpr unsigned char kPublishType = 0x30;
constexpr unsigned char kPubackType = 0x40;
constexpr unsigned char kPubrecType = 0x50;
constexpr unsigned char kPubrelType = 0x60;
constexpr unsigned char kPubcompType = 0x70;
constexpr unsigned char kPingreqType = 0xC0;
constexpr unsigned char kPingrespType = 0xD0;
constexpr unsigned char kDisconnectType = 0xE0;

/// MQTT 5 reason codes from 0x80 on report a failure.
constexpr uint8_t kFirstFailureReason = 0x80;
/// The reason a publisher gives in a PUBREL for a PUBREC it cannot match (MQTT 5).
constexpr uint8_t kPacketIdentifierNotFound = 0x92;

/// What comes before the payload of one PUBLISH.
struct PublishHeader {
  std::string_view topic;  // empty when the topic alias alone names the topic (MQTT 5)
  uint16_t packet_id = 0;  // QoS 1 and 2 only
  int qos = 0;
  bool retain = false;
  bool dup = false;
  bool v5 = false;
  uint16_t topic_alias = 0;     // MQTT 5; 0 for none
  std::string_view properties;  // MQTT 5: from encode_publish_properties, without its length
};

/// The MQTT 5 properties every record of a run carries; each is left out when absent.
struct PublishProperties {
  int64_t message_expiry = -1;  // seconds; -1 for none
  std::string_view content_type;
  std::vector<std::pair<std::string_view, std::string_view>> user_properties;
};

/// Encodes `properties` once for every PUBLISH of the run (MQTT 5 property bytes, without the
/// property length that encode_publish writes).
std::string encode_publish_properties(const PublishProperties& properties);

/// Bytes encode_publish appends for `header` and a payload of `payload_len` bytes, or 0 when
/// that packet exceeds what the remaining length can carry.
size_t publish_size(const PublishHeader& header, size_t payload_len);

/// Appends one PUBLISH packet to `out`. The caller has checked publish_size.
void encode_publish(std::string& out, const PublishHeader& header, const void* payload,
                    size_t payload_len);

/// Appends a PUBREL (MQTT 5: with `reason` unless it is 0), a PINGREQ or a DISCONNECT.
void encode_pubrel(std::string& out, uint16_t packet_id, bool v5, uint8_t reason = 0);
void encode_pingreq(std::string& out);
void encode_disconnect(std::string& out);

/// What one CONNECT carries. Texts are not copied.
struct ConnectFields {
  int protocol_version = 4;  // 4 for MQTT 3.1.1, 5 for MQTT 5
  std::string_view clientid;
  bool clean_start = true;
  uint16_t keepalive = 20;
  std::optional<std::string_view> username;
  std::optional<std::string_view> password;    // 3.1.1 sends it only with a user name
  std::optional<std::string_view> will_topic;  // no will when absent
  std::string_view will_payload;
  int will_qos = 0;
  bool will_retain = false;
  int64_t session_expiry = -1;  // MQTT 5: seconds, up to 2^32 - 1; -1 leaves the property out
};

/// Appends one CONNECT packet to `out` (MQTT 5: with empty will properties). Every text must
/// fit an MQTT string (65,535 bytes); the caller has checked that.
void encode_connect(std::string& out, const ConnectFields& fields);

/// What a broker granted in CONNACK. MQTT 5 limits it leaves out keep the values below.
struct Connack {
  bool session_present = false;
  uint8_t code = 0;  // 3.1.1 return code or MQTT 5 reason code; 0 accepts the connection
  uint16_t receive_maximum = 0;      // 0: none named
  uint32_t maximum_packet_size = 0;  // 0: none named
  uint16_t topic_alias_maximum = 0;
  int server_keepalive = -1;  // -1: none named
  int maximum_qos = 2;
  bool retain_available = true;
};

/// The largest CONNACK decode_connack takes: more is not a broker talking to a publisher.
constexpr size_t kMaxConnackBytes = 65536;

/// Reads the CONNACK at the start of `in`. Returns its size, 0 when `in` does not hold all of
/// it yet, -1 when the bytes are no CONNACK (another packet, malformed properties, longer than
/// kMaxConnackBytes). Under `v5` a CONNACK of two bytes (a 3.1.1 broker's answer) decodes to
/// its return code without properties.
long decode_connack(const unsigned char* in, size_t len, bool v5, Connack* connack);

/// A packet from the broker, as far as a publisher needs it.
struct Incoming {
  unsigned char type = 0;  // kPubackType, kPubrecType, kPubcompType, kPingrespType, kDisconnectType
  uint16_t packet_id = 0;  // acknowledgements
  uint8_t reason = 0;      // MQTT 5 reason code; 0 when the packet leaves it out
};

/// Reads the packet at the start of `in`. Returns its whole size, which may exceed `len` when
/// the fields a publisher needs are all within `len` (the rest, properties for instance, is
/// for the caller to skip); 0 when `in` does not hold those fields yet; -1 when the bytes
/// cannot be a packet a broker sends a publisher that never subscribes (malformed, a type it
/// never receives, a DISCONNECT under 3.1.1). Longer acknowledgements than 3.1.1 defines are
/// taken by their packet identifier and skipped, not refused.
long decode_packet(const unsigned char* in, size_t len, bool v5, Incoming* packet);

/// Size of the packet whose fixed header starts `in`, or 0 when the header is not complete.
/// For packets this program encoded itself.
size_t packet_size(const unsigned char* in, size_t len);

/// A PUBLISH this program encoded, taken apart again.
struct PublishView {
  int qos = 0;
  bool retain = false;
  std::string_view topic;    // empty when the topic alias alone names the topic
  uint16_t topic_alias = 0;  // MQTT 5; 0 for none
  std::string_view payload;
};

/// Reads back a whole PUBLISH packet that encode_publish wrote. Returns false for any other
/// packet.
bool decode_publish(const unsigned char* in, size_t len, bool v5, PublishView* publish);

/// The MQTT 5 name of a reason code ("Not authorized"), or "Unknown reason".
const char* reason_name(uint8_t reason);
