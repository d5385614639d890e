// WebSocket framing, the upgrade and the layer.
#include "net/websocket.h"

#include <openssl/evp.h>
#include <poll.h>
#include <sys/random.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <vector>

#include "net/io.h"

namespace {

constexpr size_t kMaxFramePayload = 64 * 1024;
constexpr size_t kInBytes = 16 * 1024;
constexpr size_t kMaxUpgradeHead = 8192;

// How long the header whose first bytes `d` holds is: 0 while that is not known yet.
size_t header_size(const WsDecoder& d) {
  if (d.header_len < 2) return 0;
  size_t len7 = d.header[1] & 0x7F;
  return 2 + (len7 == 126 ? 2 : len7 == 127 ? 8 : 0);
}

// Checks a whole header and starts its payload. False when the frame breaks the framing.
bool start_frame(WsDecoder& d) {
  const unsigned char* h = d.header;
  const bool fin = (h[0] & 0x80) != 0;
  const int opcode = h[0] & 0x0F;
  uint64_t len = h[1] & 0x7F;
  if (len == 126) len = static_cast<uint64_t>(h[2]) << 8 | h[3];
  if (len == 127) {
    len = 0;
    for (int i = 2; i < 10; ++i) len = len << 8 | h[i];
    if (len >> 63 != 0) return false;
  }
  d.header_len = 0;
  if (opcode >= kWsClose) {
    if (!fin || len > kWsMaxControl || opcode > kWsPong) return false;
  } else if (opcode == kWsBinary && !d.in_message) {
    d.in_message = !fin;
  } else if (opcode == kWsContinuation && d.in_message) {
    d.in_message = !fin;
  } else {
    return false;  // text, reserved, or a continuation out of place
  }
  d.opcode = opcode;
  d.payload_left = len;
  d.in_payload = true;
  d.control_len = 0;
  return true;
}

// Takes header bytes from `in`; returns the count. Sets *error when the header is bad.
size_t take_header(WsDecoder& d, const unsigned char* in, size_t len, bool* error) {
  size_t at = 0;
  while (at < len && (d.header_len < 2 || d.header_len < header_size(d))) {
    d.header[d.header_len++] = in[at++];
    // reserved bits, or a mask from the broker, are seen at once
    if (d.header_len == 1 && (d.header[0] & 0x70) != 0) *error = true;
    if (d.header_len == 2 && (d.header[1] & 0x80) != 0) *error = true;
    if (*error) return at;
  }
  if (d.header_len >= 2 && d.header_len == header_size(d)) *error = !start_frame(d);
  return at;
}

// SHA-1 of `len` bytes into `digest` (20 bytes), for the upgrade's accept check only. Not
// OpenSSL's: its first digest or random number sets up the library's providers, some 2.4 MiB
// that a plain WebSocket connection has no other use for.
void sha1(const unsigned char* data, size_t len, unsigned char digest[20]) {
  uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  auto rol = [](uint32_t x, int n) { return (x << n) | (x >> (32 - n)); };
  std::string m(reinterpret_cast<const char*>(data), len);
  m += '\x80';
  m.append((64 - (m.size() + 8) % 64) % 64, '\0');
  for (int shift = 56; shift >= 0; shift -= 8) m += static_cast<char>(uint64_t{len} * 8 >> shift);
  for (size_t block = 0; block < m.size(); block += 64) {
    uint32_t w[80];
    for (int i = 0; i < 16; ++i) {
      const auto* b = reinterpret_cast<const unsigned char*>(m.data() + block + 4 * i);
      w[i] = uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3];
    }
    for (int i = 16; i < 80; ++i) w[i] = rol(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    for (int i = 0; i < 80; ++i) {
      uint32_t f = i < 20              ? (b & c) | (~b & d)
                   : i < 40 || i >= 60 ? b ^ c ^ d
                                       : (b & c) | (b & d) | (c & d);
      uint32_t k = i < 20 ? 0x5A827999 : i < 40 ? 0x6ED9EBA1 : i < 60 ? 0x8F1BBCDC : 0xCA62C1D6;
      uint32_t t = rol(a, 5) + f + e + k + w[i];
      e = d, d = c, c = rol(b, 30), b = a, a = t;
    }
    h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e;
  }
  for (int i = 0; i < 20; ++i)
    digest[i] = static_cast<unsigned char>(h[i / 4] >> (24 - 8 * (i % 4)));
}

// Fills `out` from the system's randomness; false when it has none to give.
bool random_bytes(void* out, size_t len) {
  return getrandom(out, len, 0) == static_cast<ssize_t>(len);
}

std::string base64(const unsigned char* data, size_t len) {
  std::string out(4 * ((len + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]), data, static_cast<int>(len));
  out.resize(static_cast<size_t>(n));
  return out;
}

}  // namespace

size_t ws_frame_header(unsigned char* out, int opcode, uint64_t len, const unsigned char mask[4]) {
  size_t at = 0;
  out[at++] = static_cast<unsigned char>(0x80 | opcode);
  if (len < 126) {
    out[at++] = static_cast<unsigned char>(0x80 | len);
  } else if (len <= 0xFFFF) {
    out[at++] = 0x80 | 126;
    out[at++] = static_cast<unsigned char>(len >> 8);
    out[at++] = static_cast<unsigned char>(len);
  } else {
    out[at++] = 0x80 | 127;
    for (int shift = 56; shift >= 0; shift -= 8)
      out[at++] = static_cast<unsigned char>(len >> shift);
  }
  memcpy(out + at, mask, 4);
  return at + 4;
}

void ws_mask(unsigned char* data, size_t len, const unsigned char mask[4], uint64_t offset) {
  // Eight bytes at a time: every record goes through here.
  unsigned char pattern[8];
  for (size_t i = 0; i < 8; ++i) pattern[i] = mask[(offset + i) % 4];
  uint64_t wide;
  memcpy(&wide, pattern, 8);
  size_t i = 0;
  for (; i + 8 <= len; i += 8) {
    uint64_t word;
    memcpy(&word, data + i, 8);
    word ^= wide;
    memcpy(data + i, &word, 8);
  }
  for (; i < len; ++i) data[i] ^= pattern[i % 8];
}

size_t ws_decode(WsDecoder& d, const unsigned char* in, size_t len, size_t max_data, WsEvent* event,
                 size_t* data_len) {
  size_t at = 0;
  *data_len = 0;
  for (;;) {
    if (!d.in_payload) {
      bool error = false;
      at += take_header(d, in + at, len - at, &error);
      if (error) return *event = WsEvent::kError, at;
      if (!d.in_payload) return *event = WsEvent::kMore, at;
    }
    size_t n = static_cast<size_t>(std::min<uint64_t>(d.payload_left, len - at));
    if (d.opcode >= kWsClose) {
      memcpy(d.control + d.control_len, in + at, n);
      d.control_len += n;
    } else {
      n = std::min(n, max_data);
      *data_len = n;
    }
    at += n;
    d.payload_left -= n;
    if (d.payload_left == 0) d.in_payload = false;
    if (*data_len > 0) return *event = WsEvent::kData, at;
    if (d.payload_left == 0 && d.opcode == kWsPing) return *event = WsEvent::kPing, at;
    if (d.payload_left == 0 && d.opcode == kWsClose) return *event = WsEvent::kClose, at;
    if (at == len && d.in_payload) return *event = WsEvent::kMore, at;
  }
}

std::string ws_accept_for(const std::string& key) {
  const std::string text = key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  unsigned char digest[20];
  sha1(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
  return base64(digest, sizeof digest);
}

namespace {

// The MQTT byte stream in binary frames over the layer below.
class WebSocketLayer : public Layer {
 public:
  explicit WebSocketLayer(std::unique_ptr<Layer> below) : below_(std::move(below)) {
    // Masks need not be secret from the broker, only unpredictable to scripts on the path: a
    // generator seeded from the system's randomness does, without a call per frame.
    if (!random_bytes(&rng_, sizeof rng_) || rng_ == 0) {
      rng_ = 0x9E3779B97F4A7C15ULL ^ reinterpret_cast<uintptr_t>(this);
    }
    out_.reserve(kWsMaxHeader + kMaxFramePayload);
  }

  ssize_t send(const unsigned char* data, size_t len) override {
    if (closed_ || flush() < 0) return -1;
    if (len == 0 || sent_ < out_.size()) return 0;
    size_t chunk = std::min(len, kMaxFramePayload);
    add_frame(kWsBinary, data, chunk);
    if (flush() < 0) return -1;
    return static_cast<ssize_t>(chunk);
  }

  ssize_t recv(unsigned char* into, size_t room) override;

  bool pending() const override { return closed_ || in_start_ < in_end_ || below_->pending(); }
  short events() const override {
    bool writing = sent_ < out_.size() || pong_due_;
    return static_cast<short>(below_->events() | (writing ? POLLOUT : 0));
  }
  int fd() const override { return below_->fd(); }

  // The payload of a binary frame not yet written below: the caller's bytes.
  size_t unwritten() const override {
    if (out_opcode_ != kWsBinary) return 0;
    return out_.size() - std::max(sent_, out_header_len_);
  }

 private:
  uint32_t next_mask() {  // xorshift64*
    rng_ ^= rng_ >> 12;
    rng_ ^= rng_ << 25;
    rng_ ^= rng_ >> 27;
    return static_cast<uint32_t>((rng_ * 0x2545F4914F6CDD1DULL) >> 32);
  }

  // Puts one masked frame in the empty output buffer.
  void add_frame(int opcode, const unsigned char* data, size_t len) {
    uint32_t bits = next_mask();
    unsigned char mask[4];
    memcpy(mask, &bits, 4);
    unsigned char header[kWsMaxHeader];
    size_t header_len = ws_frame_header(header, opcode, len, mask);
    out_.assign(header, header + header_len);
    out_.insert(out_.end(), data, data + len);
    ws_mask(out_.data() + header_len, len, mask, 0);
    sent_ = 0;
    out_opcode_ = opcode;
    out_header_len_ = header_len;
  }

  // Writes what the output buffer holds, then a pong that waited for it. -1 when the
  // connection failed.
  int flush() {
    for (;;) {
      while (sent_ < out_.size()) {
        ssize_t n = below_->send(out_.data() + sent_, out_.size() - sent_);
        if (n < 0) return -1;
        if (n == 0) return 0;
        sent_ += static_cast<size_t>(n);
      }
      if (!pong_due_) return 0;
      pong_due_ = false;
      add_frame(kWsPong, pong_, pong_len_);
    }
  }

  // The decoded frame event `event`: false when the connection ends with it.
  bool take_control(WsEvent event) {
    if (event == WsEvent::kPing) {
      pong_due_ = true;  // the latest ping is the one answered
      pong_len_ = decoder_.control_len;
      memcpy(pong_, decoder_.control, pong_len_);
      return flush() >= 0;
    }
    errno = event == WsEvent::kClose ? ECONNRESET : EPROTO;
    return event != WsEvent::kClose && event != WsEvent::kError;
  }

  std::unique_ptr<Layer> below_;
  WsDecoder decoder_;
  unsigned char in_[kInBytes];
  size_t in_start_ = 0;
  size_t in_end_ = 0;
  bool closed_ = false;  // a close frame, a framing error or a failed connection: recv says -1
  std::vector<unsigned char> out_;  // one frame, written from sent_ on
  size_t sent_ = 0;
  int out_opcode_ = kWsBinary;
  size_t out_header_len_ = 0;
  bool pong_due_ = false;
  unsigned char pong_[kWsMaxControl];
  size_t pong_len_ = 0;
  uint64_t rng_ = 0;
};

ssize_t WebSocketLayer::recv(unsigned char* into, size_t room) {
  size_t given = 0;
  while (!closed_ && given < room) {
    if (in_start_ == in_end_) {
      // more from below only while nothing was given, or the layer below holds more
      if (given > 0 && !below_->pending()) break;
      ssize_t n = below_->recv(in_, sizeof in_);
      in_start_ = in_end_ = 0;
      if (n < 0) closed_ = true;
      if (n <= 0) break;
      in_end_ = static_cast<size_t>(n);
    }
    WsEvent event = WsEvent::kMore;
    size_t data_len = 0;
    size_t taken =
        ws_decode(decoder_, in_ + in_start_, in_end_ - in_start_, room - given, &event, &data_len);
    if (event == WsEvent::kData) memcpy(into + given, in_ + in_start_ + taken - data_len, data_len);
    given += data_len;
    in_start_ += taken;
    if (event != WsEvent::kData && event != WsEvent::kMore && !take_control(event)) closed_ = true;
  }
  if (given > 0) return static_cast<ssize_t>(given);
  return closed_ ? -1 : 0;
}

std::string random_key() {
  unsigned char nonce[16];
  if (!random_bytes(nonce, sizeof nonce)) return "";
  return base64(nonce, sizeof nonce);
}

// The value of the header `name` (lower case) in `head`, blanks trimmed; empty when absent.
std::string header_value(const std::string& head, const std::string& name) {
  std::string lower = head;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(tolower(c)); });
  size_t at = lower.find("\r\n" + name + ":");
  if (at == std::string::npos) return "";
  at += 3 + name.size();
  size_t end = head.find("\r\n", at);
  size_t first = head.find_first_not_of(" \t", at);
  size_t last = head.find_last_not_of(" \t", end - 1);
  return first < end ? head.substr(first, last + 1 - first) : "";
}

// Checks the answer `head` to an upgrade offered with `key`; kUpgradeRefused with the reason.
ConnectFailure check_upgrade(const std::string& head, const std::string& key, std::string* detail) {
  std::string code, text;
  if (!parse_status_line(head, &code, &text)) {
    *detail = "no HTTP answer";
  } else if (code != "101") {
    *detail = text.empty() ? code : code + " " + text;
  } else if (header_value(head, "sec-websocket-accept") != ws_accept_for(key)) {
    *detail = "wrong Sec-WebSocket-Accept";
  } else if (header_value(head, "sec-websocket-protocol") != "mqtt") {
    *detail = "no mqtt subprotocol";
  } else {
    return ConnectFailure::kNone;
  }
  return ConnectFailure::kUpgradeRefused;
}

}  // namespace

ConnectFailure websocket_connect(std::unique_ptr<Layer> below, const ConnectRequest& request,
                                 long long deadline, std::unique_ptr<Layer>* layer,
                                 std::string* detail) {
  const std::string key = random_key();
  if (key.empty()) return ConnectFailure::kSetup;
  bool ipv6 = request.host.find(':') != std::string::npos;
  std::string host = ipv6 ? "[" + request.host + "]" : request.host;
  std::string upgrade =
      std::string("GET ") + request.ws_path + " HTTP/1.1\r\nHost: " + host + ":" +
      std::to_string(request.port) +
      "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + key +
      "\r\nSec-WebSocket-Version: 13\r\nSec-WebSocket-Protocol: mqtt\r\n\r\n";
  ConnectFailure failure = send_all(*below, upgrade.data(), upgrade.size(), deadline);
  std::string head;
  if (failure == ConnectFailure::kNone) {
    failure = recv_http_head(*below, kMaxUpgradeHead, deadline, &head);
  }
  if (failure == ConnectFailure::kNotMqtt) {
    *detail = "no HTTP answer";
    return ConnectFailure::kUpgradeRefused;
  }
  if (failure == ConnectFailure::kNone) failure = check_upgrade(head, key, detail);
  if (failure == ConnectFailure::kNone) layer->reset(new WebSocketLayer(std::move(below)));
  return failure;
}
