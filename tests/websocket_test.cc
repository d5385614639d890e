// WebSocket framing: client frame headers at every length form, and the decoder's answer to
// whatever the broker sends, however the bytes are cut.
#include "net/websocket.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string bytes(std::initializer_list<int> list) {
  std::string out;
  for (int b : list) out.push_back(static_cast<char>(b));
  return out;
}

// A frame from the broker: unmasked, FIN as given.
std::string frame(int first, const std::string& payload) {
  std::string out = {static_cast<char>(first)};
  if (payload.size() < 126) {
    out.push_back(static_cast<char>(payload.size()));
  } else {
    out += bytes(
        {126, static_cast<int>(payload.size() >> 8), static_cast<int>(payload.size() & 0xFF)});
  }
  return out + payload;
}

// What decoding `in` in chunks of `chunk` bytes gives: the data stream, then one letter per
// event other than data ("P" ping with its payload in brackets, "C" close, "E" error).
std::string decode_all(const std::string& in, size_t chunk, size_t max_data) {
  WsDecoder d;
  std::string data, events;
  for (size_t start = 0; start < in.size(); start += chunk) {
    std::string piece = in.substr(start, chunk);
    const auto* p = reinterpret_cast<const unsigned char*>(piece.data());
    for (size_t at = 0; at < piece.size();) {
      WsEvent event;
      size_t data_len = 0;
      size_t taken = ws_decode(d, p + at, piece.size() - at, max_data, &event, &data_len);
      data.append(piece, at + taken - data_len, data_len);
      at += taken;
      if (event == WsEvent::kPing) {
        events += "P[" + std::string(reinterpret_cast<char*>(d.control), d.control_len) + "]";
      }
      if (event == WsEvent::kClose) return data + "|" + events + "C";
      if (event == WsEvent::kError) return data + "|" + events + "E";
    }
  }
  return data + "|" + events;
}

TEST(WebSocket, ClientFrameHeadersUseEveryLengthForm) {
  const unsigned char mask[4] = {1, 2, 3, 4};
  struct Case {
    uint64_t len;
    std::string header;
  };
  const std::vector<Case> cases = {
      {0, bytes({0x82, 0x80, 1, 2, 3, 4})},
      {125, bytes({0x82, 0xFD, 1, 2, 3, 4})},
      {126, bytes({0x82, 0xFE, 0, 126, 1, 2, 3, 4})},
      {65535, bytes({0x82, 0xFE, 0xFF, 0xFF, 1, 2, 3, 4})},
      {65536, bytes({0x82, 0xFF, 0, 0, 0, 0, 0, 1, 0, 0, 1, 2, 3, 4})},
  };
  for (const Case& c : cases) {
    unsigned char out[kWsMaxHeader];
    size_t n = ws_frame_header(out, kWsBinary, c.len, mask);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), n), c.header) << c.len;
  }
  unsigned char data[6] = {'a', 'b', 'c', 'd', 'e', 'f'};
  ws_mask(data, 2, mask, 0);
  ws_mask(data + 2, 4, mask, 2);  // a payload masked in two pieces
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data), 6),
            bytes({'a' ^ 1, 'b' ^ 2, 'c' ^ 3, 'd' ^ 4, 'e' ^ 1, 'f' ^ 2}));
  // Longer pieces, masked word by word, starting at every place in the mask.
  std::string masked(9 + 10 + 11 + 12 + 13, '\0');  // pieces from offsets 0, 1, 3, 2 and 2
  for (size_t at = 0, piece = 9; at < masked.size(); at += piece, ++piece) {
    ws_mask(reinterpret_cast<unsigned char*>(&masked[at]), piece, mask, at);
  }
  for (size_t i = 0; i < masked.size(); ++i) EXPECT_EQ(masked[i], mask[i % 4]) << i;
}

TEST(WebSocket, BrokerFramesDecodeAlikeHoweverCut) {
  const std::string big(300, 'x');
  struct Case {
    const char* name;
    std::string in;
    std::string decoded;
  };
  const std::vector<Case> cases = {
      {"binary", frame(0x82, "abc"), "abc|"},
      {"16-bit length", frame(0x82, big), big + "|"},
      {"fragments joined", frame(0x02, "ab") + frame(0x00, "c") + frame(0x80, "d"), "abcd|"},
      {"ping between fragments", frame(0x02, "ab") + frame(0x89, "hi") + frame(0x80, "c"),
       "abc|P[hi]"},
      {"pong ignored, empty frame skipped", frame(0x8A, "x") + frame(0x82, "") + frame(0x82, "a"),
       "a|"},
      {"close", frame(0x82, "a") + frame(0x88, bytes({3, 0xE8})) + frame(0x82, "b"), "a|C"},
      {"masked by the broker", bytes({0x82, 0x81, 0, 0, 0, 0, 'a'}), "|E"},
      {"text", frame(0x81, "a"), "|E"},
      {"reserved bit", frame(0xC2, "a"), "|E"},
      {"reserved opcode", frame(0x83, "a"), "|E"},
      {"continuation out of place", frame(0x80, "a"), "|E"},
      {"new message inside a fragmented one", frame(0x02, "a") + frame(0x82, "b"), "a|E"},
      {"fragmented ping", frame(0x09, "a"), "|E"},
      {"control too long", frame(0x89, std::string(126, 'p')), "|E"},
      {"64-bit length, top bit set", bytes({0x82, 127, 0x80, 0, 0, 0, 0, 0, 0, 1}), "|E"},
  };
  for (const Case& c : cases) {
    for (size_t chunk : {c.in.size(), size_t{1}, size_t{3}}) {
      for (size_t max_data : {size_t{1}, size_t{4096}}) {
        EXPECT_EQ(decode_all(c.in, chunk, max_data), c.decoded)
            << c.name << " chunk " << chunk << " max " << max_data;
      }
    }
  }
}

TEST(WebSocket, AcceptKeyIsTheKnownDigest) {
  // The example key and answer every implementation checks against.
  EXPECT_EQ(ws_accept_for("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

}  // namespace
