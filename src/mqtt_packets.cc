// MQTT packet encoding and decoding for the publisher: pure functions over bytes.
#include "mqtt_packets.h"

#include <cstring>

namespace {

// MQTT 5 property identifiers this program writes.
constexpr unsigned char kMessageExpiryProperty = 0x02;
constexpr unsigned char kContentTypeProperty = 0x03;
constexpr unsigned char kTopicAliasProperty = 0x23;
constexpr unsigned char kUserProperty = 0x26;
constexpr unsigned char kSessionExpiryProperty = 0x11;

// MQTT 5 properties a broker may put in CONNACK, by the form of their value.
enum class PropertyForm { kByte, kU16, kU32, kString, kPair, kUnknown };

PropertyForm connack_property_form(unsigned char id) {
  switch (id) {
    case 0x24:  // maximum QoS
    case 0x25:  // retain available
    case 0x28:  // wildcard subscriptions available
    case 0x29:  // subscription identifiers available
    case 0x2A:  // shared subscriptions available
      return PropertyForm::kByte;
    case 0x13:  // server keep alive
    case 0x21:  // receive maximum
    case 0x22:  // topic alias maximum
      return PropertyForm::kU16;
    case 0x11:  // session expiry interval
    case 0x27:  // maximum packet size
      return PropertyForm::kU32;
    case 0x12:  // assigned client identifier
    case 0x15:  // authentication method
    case 0x16:  // authentication data (binary, the same form)
    case 0x1A:  // response information
    case 0x1C:  // server reference
    case 0x1F:  // reason string
      return PropertyForm::kString;
    case 0x26:  // user property
      return PropertyForm::kPair;
    default:
      return PropertyForm::kUnknown;
  }
}

size_t varint_size(size_t value) {
  size_t n = 1;
  while (value >= 128) {
    value /= 128;
    ++n;
  }
  return n;
}

void append_varint(std::string& out, size_t value) {
  do {  // seven bits a byte, least significant first
    unsigned char byte = value % 128;
    value /= 128;
    out.push_back(static_cast<char>(value > 0 ? byte | 0x80 : byte));
  } while (value > 0);
}

void append_u16(std::string& out, unsigned value) {
  out.push_back(static_cast<char>(value >> 8));
  out.push_back(static_cast<char>(value & 0xFF));
}

void append_string(std::string& out, std::string_view text) {
  append_u16(out, static_cast<unsigned>(text.size()));
  out.append(text);
}

// Reads a variable byte integer. Returns the bytes it took, 0 when `in` ends inside it, -1
// when it runs over four bytes.
int read_varint(const unsigned char* in, size_t len, size_t* value) {
  size_t result = 0;
  for (int i = 0; i < 4; ++i) {
    if (static_cast<size_t>(i) >= len) return 0;
    result |= static_cast<size_t>(in[i] & 0x7F) << (7 * i);
    if ((in[i] & 0x80) == 0) {
      *value = result;
      return i + 1;
    }
  }
  return -1;
}

void append_u32(std::string& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(value >> shift));
}

uint32_t read_uint(const unsigned char* in, size_t bytes) {
  uint32_t value = 0;
  for (size_t i = 0; i < bytes; ++i) value = value << 8 | in[i];
  return value;
}

// The size of the string (or binary) at `in`, prefix included; 0 when it runs past `len`.
size_t string_size(const unsigned char* in, size_t len) {
  if (len < 2) return 0;
  size_t size = 2 + read_uint(in, 2);
  return size <= len ? size : 0;
}

// Reads one CONNACK property at `in` into `c`. Returns its size, 0 when it is malformed.
size_t read_connack_property(const unsigned char* in, size_t len, Connack* c) {
  const unsigned char id = in[0];
  const unsigned char* value = in + 1;
  const size_t room = len - 1;
  switch (connack_property_form(id)) {
    case PropertyForm::kByte:
      if (room < 1 || value[0] > 1) return 0;  // each is 0 or 1
      if (id == 0x24) c->maximum_qos = value[0];
      if (id == 0x25) c->retain_available = value[0] != 0;
      return 2;
    case PropertyForm::kU16:
      if (room < 2) return 0;
      if (id == 0x13) c->server_keepalive = static_cast<int>(read_uint(value, 2));
      if (id == 0x21) c->receive_maximum = static_cast<uint16_t>(read_uint(value, 2));
      if (id == 0x22) c->topic_alias_maximum = static_cast<uint16_t>(read_uint(value, 2));
      return id == 0x21 && c->receive_maximum == 0 ? 0 : 3;
    case PropertyForm::kU32:
      if (room < 4) return 0;
      if (id == 0x27) c->maximum_packet_size = read_uint(value, 4);
      return id == 0x27 && c->maximum_packet_size == 0 ? 0 : 5;
    case PropertyForm::kString: {
      size_t size = string_size(value, room);
      return size == 0 ? 0 : 1 + size;
    }
    case PropertyForm::kPair: {
      size_t name = string_size(value, room);
      size_t text = name == 0 ? 0 : string_size(value + name, room - name);
      return text == 0 ? 0 : 1 + name + text;
    }
    case PropertyForm::kUnknown:
      break;
  }
  return 0;
}

// Reads the MQTT 5 CONNACK properties from `at` to exactly `end`. False when malformed.
bool read_connack_properties(const unsigned char* in, size_t at, size_t end, Connack* c) {
  size_t props = 0;
  int n = read_varint(in + at, end - at, &props);
  if (n <= 0 || at + static_cast<size_t>(n) + props != end) return false;
  for (at += static_cast<size_t>(n); at < end;) {
    size_t size = read_connack_property(in + at, end - at, c);
    if (size == 0) return false;
    at += size;
  }
  return true;
}

size_t property_bytes(const PublishHeader& h) {
  return (h.topic_alias != 0 ? 3 : 0) + h.properties.size();
}

// MQTT 5: a property block of `remaining` bytes from `at` must hold exactly its own length
// prefix and that many bytes. Returns 0 when it does, 1 when `in` ends too early to tell, -1
// when it does not.
int check_properties(const unsigned char* in, size_t len, size_t at, size_t remaining_end) {
  size_t props = 0;
  int n = read_varint(in + at, len > at ? len - at : 0, &props);
  if (n == 0) return 1;
  if (n < 0 || at + static_cast<size_t>(n) + props != remaining_end) return -1;
  return 0;
}

}  // namespace

std::string encode_publish_properties(const PublishProperties& properties) {
  std::string out;
  if (properties.message_expiry >= 0) {
    out.push_back(static_cast<char>(kMessageExpiryProperty));
    uint32_t seconds = static_cast<uint32_t>(properties.message_expiry);
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(seconds >> shift));
  }
  if (!properties.content_type.empty()) {
    out.push_back(static_cast<char>(kContentTypeProperty));
    append_string(out, properties.content_type);
  }
  for (const auto& [name, value] : properties.user_properties) {
    out.push_back(static_cast<char>(kUserProperty));
    append_string(out, name);
    append_string(out, value);
  }
  return out;
}

size_t publish_size(const PublishHeader& h, size_t payload_len) {
  size_t remaining = 2 + h.topic.size() + (h.qos > 0 ? 2 : 0) + payload_len;
  if (h.v5) remaining += varint_size(property_bytes(h)) + property_bytes(h);
  if (remaining > kMaxRemainingLength) return 0;
  return 1 + varint_size(remaining) + remaining;
}

void encode_publish(std::string& out, const PublishHeader& h, const void* payload,
                    size_t payload_len) {
  out.push_back(
      static_cast<char>(kPublishType | (h.dup ? 0x08 : 0) | (h.qos << 1) | (h.retain ? 1 : 0)));
  size_t remaining = 2 + h.topic.size() + (h.qos > 0 ? 2 : 0) + payload_len;
  if (h.v5) remaining += varint_size(property_bytes(h)) + property_bytes(h);
  append_varint(out, remaining);
  append_string(out, h.topic);
  if (h.qos > 0) append_u16(out, h.packet_id);
  if (h.v5) {
    append_varint(out, property_bytes(h));
    if (h.topic_alias != 0) {
      out.push_back(static_cast<char>(kTopicAliasProperty));
      append_u16(out, h.topic_alias);
    }
    out.append(h.properties);
  }
  out.append(static_cast<const char*>(payload), payload_len);
}

void encode_pubrel(std::string& out, uint16_t packet_id, bool v5, uint8_t reason) {
  bool with_reason = v5 && reason != 0;
  out.push_back(static_cast<char>(kPubrelType | 0x02));  // PUBREL's required flags
  out.push_back(with_reason ? 3 : 2);
  append_u16(out, packet_id);
  if (with_reason) out.push_back(static_cast<char>(reason));
}

void encode_connect(std::string& out, const ConnectFields& c) {
  const bool v5 = c.protocol_version == 5;
  const bool password = c.password.has_value() && (v5 || c.username.has_value());
  std::string body = {0, 4, 'M', 'Q', 'T', 'T', static_cast<char>(v5 ? 5 : 4)};
  unsigned flags = (c.username ? 0x80 : 0) | (password ? 0x40 : 0) | (c.clean_start ? 0x02 : 0);
  if (c.will_topic) flags |= 0x04 | (c.will_qos << 3) | (c.will_retain ? 0x20 : 0);
  body.push_back(static_cast<char>(flags));
  append_u16(body, c.keepalive);
  if (v5) {
    std::string props;
    if (c.session_expiry >= 0) {
      props.push_back(static_cast<char>(kSessionExpiryProperty));
      append_u32(props, static_cast<uint32_t>(c.session_expiry));
    }
    append_varint(body, props.size());
    body += props;
  }
  append_string(body, c.clientid);
  if (c.will_topic) {
    if (v5) body.push_back(0);  // no will properties
    append_string(body, *c.will_topic);
    append_string(body, c.will_payload);
  }
  if (c.username) append_string(body, *c.username);
  if (password) append_string(body, *c.password);
  out.push_back(static_cast<char>(kConnectType));
  append_varint(out, body.size());
  out += body;
}

long decode_connack(const unsigned char* in, size_t len, bool v5, Connack* connack) {
  if (len >= 1 && in[0] != kConnackType) return -1;
  if (len < 2) return 0;
  size_t remaining = 0;
  int n = read_varint(in + 1, len - 1, &remaining);
  if (n < 0) return -1;
  if (n == 0) return 0;
  const size_t header = 1 + static_cast<size_t>(n);
  const size_t end = header + remaining;
  if (remaining < 2 || end > kMaxConnackBytes || (!v5 && remaining != 2)) return -1;
  if (len < end) return 0;
  if (in[header] > 1) return -1;  // only the session-present bit may be set
  *connack = Connack();
  connack->session_present = in[header] == 1;
  connack->code = in[header + 1];
  if (remaining == 2) return static_cast<long>(end);  // 3.1.1, or a 3.1.1 broker's refusal
  if (!read_connack_properties(in, header + 2, end, connack)) return -1;
  return static_cast<long>(end);
}

void encode_pingreq(std::string& out) { out.append({static_cast<char>(kPingreqType), 0}); }

// Under both versions a DISCONNECT without a reason code is a normal disconnection.
void encode_disconnect(std::string& out) { out.append({static_cast<char>(kDisconnectType), 0}); }

long decode_packet(const unsigned char* in, size_t len, bool v5, Incoming* packet) {
  if (len < 2) return 0;
  size_t remaining = 0;
  int n = read_varint(in + 1, len - 1, &remaining);
  if (n == 0) return 0;
  if (n < 0) return -1;
  const size_t header = 1 + static_cast<size_t>(n);
  const size_t end = header + remaining;
  const unsigned char type = in[0] & 0xF0;
  if ((in[0] & 0x0F) != 0) return -1;  // no packet a publisher receives carries flags
  *packet = Incoming();
  packet->type = type;
  switch (type) {
    case kPubackType:
    case kPubrecType:
    case kPubcompType: {
      if (remaining < 2) return -1;
      if (len < header + 2) return 0;
      packet->packet_id = static_cast<uint16_t>(in[header] << 8 | in[header + 1]);
      if (packet->packet_id == 0) return -1;
      if (!v5 || remaining == 2) return static_cast<long>(end);
      if (len < header + 3) return 0;
      packet->reason = in[header + 2];
      if (remaining == 3) return static_cast<long>(end);
      int props = check_properties(in, len, header + 3, end);
      if (props != 0) return props > 0 ? 0 : -1;
      return static_cast<long>(end);
    }
    case kPingrespType:
      return remaining == 0 ? static_cast<long>(end) : -1;
    case kDisconnectType: {
      if (!v5) return -1;  // a 3.1.1 broker never sends one
      if (remaining == 0) return static_cast<long>(end);
      if (len < header + 1) return 0;
      packet->reason = in[header];
      if (remaining == 1) return static_cast<long>(end);
      int props = check_properties(in, len, header + 1, end);
      if (props != 0) return props > 0 ? 0 : -1;
      return static_cast<long>(end);
    }
    default:
      return -1;
  }
}

size_t packet_size(const unsigned char* in, size_t len) {
  size_t remaining = 0;
  int n = len > 1 ? read_varint(in + 1, len - 1, &remaining) : 0;
  return n > 0 ? 1 + static_cast<size_t>(n) + remaining : 0;
}

bool decode_publish(const unsigned char* in, size_t len, bool v5, PublishView* publish) {
  size_t remaining = 0;
  int n = len > 1 ? read_varint(in + 1, len - 1, &remaining) : 0;
  if (n <= 0 || (in[0] & 0xF0) != kPublishType) return false;
  size_t at = 1 + static_cast<size_t>(n);
  const size_t end = at + remaining;
  if (end > len || remaining < 2) return false;
  publish->qos = (in[0] >> 1) & 0x03;
  publish->retain = (in[0] & 0x01) != 0;
  size_t topic_len = static_cast<size_t>(in[at] << 8 | in[at + 1]);
  if (at + 2 + topic_len > end) return false;
  publish->topic = std::string_view(reinterpret_cast<const char*>(in + at + 2), topic_len);
  at += 2 + topic_len;
  if (publish->qos > 0) at += 2;
  publish->topic_alias = 0;
  if (v5 && at < end) {
    size_t props = 0;
    n = read_varint(in + at, end - at, &props);
    if (n <= 0) return false;
    at += static_cast<size_t>(n);
    // encode_publish writes the topic alias first among the properties.
    if (props >= 3 && at + 3 <= end && in[at] == kTopicAliasProperty) {
      publish->topic_alias = static_cast<uint16_t>(in[at + 1] << 8 | in[at + 2]);
    }
    at += props;
  }
  if (at > end) return false;
  publish->payload = std::string_view(reinterpret_cast<const char*>(in + at), end - at);
  return true;
}

const char* reason_name(uint8_t reason) {
  struct Reason {
    uint8_t code;
    const char* name;
  };
  static constexpr Reason kReasons[] = {
      {0x00, "Success"},
      {0x04, "Disconnect with Will Message"},
      {0x10, "No matching subscribers"},
      {0x80, "Unspecified error"},
      {0x81, "Malformed Packet"},
      {0x82, "Protocol Error"},
      {0x83, "Implementation specific error"},
      {0x84, "Unsupported Protocol Version"},
      {0x85, "Client Identifier not valid"},
      {0x86, "Bad User Name or Password"},
      {0x87, "Not authorized"},
      {0x88, "Server unavailable"},
      {0x89, "Server busy"},
      {0x8A, "Banned"},
      {0x8B, "Server shutting down"},
      {0x8C, "Bad authentication method"},
      {0x8D, "Keep Alive timeout"},
      {0x8E, "Session taken over"},
      {0x8F, "Topic Filter invalid"},
      {0x90, "Topic Name invalid"},
      {0x91, "Packet Identifier in use"},
      {0x92, "Packet Identifier not found"},
      {0x93, "Receive Maximum exceeded"},
      {0x94, "Topic Alias invalid"},
      {0x95, "Packet too large"},
      {0x96, "Message rate too high"},
      {0x97, "Quota exceeded"},
      {0x98, "Administrative action"},
      {0x99, "Payload format invalid"},
      {0x9A, "Retain not supported"},
      {0x9B, "QoS not supported"},
      {0x9C, "Use another server"},
      {0x9D, "Server moved"},
      {0x9E, "Shared Subscriptions not supported"},
      {0x9F, "Connection rate exceeded"},
      {0xA0, "Maximum connect time"},
      {0xA1, "Subscription Identifiers not supported"},
      {0xA2, "Wildcard Subscriptions not supported"},
  };
  for (const Reason& r : kReasons) {
    if (r.code == reason) return r.name;
  }
  return "Unknown reason";
}
