// Fuzz target for the packet codec and the WebSocket framing: whatever bytes a broker sends,
// decoding (packets, CONNACK, frames) answers without reading past them and agrees with
// itself on every prefix or cut; and every PUBLISH the encoder writes decodes back to what
// went in.
//
// Input layout: a mode byte; then for decoding the bytes a broker sent, for encoding a header
// byte (QoS, retain, dup, MQTT 5, alias), a topic length byte, the topic, a properties length
// byte, the properties and the payload; for frames a chunk size byte and the bytes.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "mqtt_packets.h"
#include "net/websocket.h"

namespace {

void check_decoding(const uint8_t* data, size_t size, bool v5) {
  Incoming packet;
  long whole = decode_packet(data, size, v5, &packet);
  if (whole < -1) abort();
  if (whole > 0 && packet_size(data, size) != static_cast<size_t>(whole)) abort();
  // A prefix gives "not yet" or the same answer, never another packet.
  for (size_t len = 0; len < size; ++len) {
    Incoming part;
    long n = decode_packet(data, len, v5, &part);
    if (n != 0 && n != whole) abort();
    if (n > 0 && (part.type != packet.type || part.packet_id != packet.packet_id ||
                  part.reason != packet.reason)) {
      abort();
    }
  }
  PublishView view;
  if (decode_publish(data, size, v5, &view)) {
    const auto* begin = reinterpret_cast<const uint8_t*>(view.payload.data());
    if (begin < data || begin + view.payload.size() > data + size) abort();
  }
}

void check_connack(const uint8_t* data, size_t size, bool v5) {
  Connack whole;
  long n = decode_connack(data, size, v5, &whole);
  if (n < -1 || n > static_cast<long>(size)) abort();
  for (size_t len = 0; len < size; ++len) {
    Connack part;
    long m = decode_connack(data, len, v5, &part);
    if (m != 0 && m != n) abort();
  }
}

// The data stream and the events of decoding `data` in pieces of `chunk` bytes.
std::string decode_frames(const uint8_t* data, size_t size, size_t chunk, size_t max_data) {
  WsDecoder d;
  std::string out;
  for (size_t start = 0; start < size; start += chunk) {
    const size_t piece = std::min(chunk, size - start);
    for (size_t at = 0; at < piece;) {
      WsEvent event;
      size_t data_len = 0;
      size_t taken = ws_decode(d, data + start + at, piece - at, max_data, &event, &data_len);
      if (taken == 0 || at + taken > piece || data_len > max_data || data_len > taken) abort();
      if (d.control_len > kWsMaxControl) abort();
      out.append(reinterpret_cast<const char*>(data + start + at + taken - data_len), data_len);
      at += taken;
      if (event == WsEvent::kPing) out += "<ping>";
      if (event == WsEvent::kClose || event == WsEvent::kError) {
        return out + (event == WsEvent::kClose ? "<close>" : "<error>");
      }
    }
  }
  return out;
}

void check_frames(const uint8_t* data, size_t size) {
  if (size == 0) return;
  const size_t chunk = 1 + data[0] % 16;
  if (decode_frames(data + 1, size - 1, size, 1 << 20) !=
      decode_frames(data + 1, size - 1, chunk, chunk)) {
    abort();
  }
}

void check_round_trip(const uint8_t* data, size_t size) {
  if (size < 3) return;
  PublishHeader h;
  h.qos = data[0] % 3;
  h.retain = (data[0] & 0x04) != 0;
  h.dup = (data[0] & 0x08) != 0;
  h.v5 = (data[0] & 0x10) != 0;
  h.topic_alias = h.v5 && (data[0] & 0x20) != 0 ? 1 : 0;
  h.packet_id = h.qos > 0 ? static_cast<uint16_t>(1 + data[1]) : 0;
  size_t at = 2;
  size_t topic_len = std::min<size_t>(data[1], size - at);
  h.topic = std::string_view(reinterpret_cast<const char*>(data + at), topic_len);
  at += topic_len;
  std::string properties;
  if (at < size) {
    size_t props_len = std::min<size_t>(data[at], size - at - 1);
    ++at;
    if (h.v5) properties.assign(reinterpret_cast<const char*>(data + at), props_len);
    at += props_len;
  }
  h.properties = properties;
  std::string out;
  encode_publish(out, h, data + at, size - at);
  if (out.size() != publish_size(h, size - at)) abort();
  const auto* bytes = reinterpret_cast<const unsigned char*>(out.data());
  if (packet_size(bytes, out.size()) != out.size()) abort();
  PublishView view;
  if (!decode_publish(bytes, out.size(), h.v5, &view)) abort();
  if (view.qos != h.qos || view.retain != h.retain) abort();
  if (view.payload != std::string_view(reinterpret_cast<const char*>(data + at), size - at)) {
    abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  switch (data[0] % 6) {
    case 0:
      check_decoding(data + 1, size - 1, false);
      break;
    case 1:
      check_decoding(data + 1, size - 1, true);
      break;
    case 3:
      check_connack(data + 1, size - 1, (data[0] & 0x80) != 0);
      break;
    case 4:
      check_frames(data + 1, size - 1);
      break;
    default:
      check_round_trip(data + 1, size - 1);
      break;
  }
  return 0;
}
