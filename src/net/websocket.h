// MQTT over WebSocket: the frame encoding and decoding as pure functions over bytes, the
// upgrade handshake, and the layer that carries the MQTT byte stream in binary frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "net/connect.h"
#include "net/layer.h"

/// Frame opcodes.
constexpr int kWsContinuation = 0x0;
constexpr int kWsText = 0x1;
constexpr int kWsBinary = 0x2;
constexpr int kWsClose = 0x8;
constexpr int kWsPing = 0x9;
constexpr int kWsPong = 0xA;

/// The longest frame header: two bytes, eight of length, four of mask.
constexpr size_t kWsMaxHeader = 14;
/// The longest control frame payload.
constexpr size_t kWsMaxControl = 125;

/// Writes the header of one whole client frame (FIN set) of `opcode` carrying `len` bytes
/// masked with `mask` into `out`, which has room for kWsMaxHeader; returns its size.
size_t ws_frame_header(unsigned char* out, int opcode, uint64_t len, const unsigned char mask[4]);

/// Masks (or unmasks) `len` bytes in place; `offset` is the place of data[0] in the payload.
void ws_mask(unsigned char* data, size_t len, const unsigned char mask[4], uint64_t offset);

/// What ws_decode found.
enum class WsEvent {
  kMore,   // all bytes were taken (header parts kept, pongs skipped); feed more
  kData,   // message payload, see ws_decode
  kPing,   // a whole ping; its payload, for the pong, is in the decoder's `control`
  kClose,  // the broker closed the connection
  kError,  // the bytes break the framing; feed nothing more
};

/// What decoding the broker's frames keeps between calls. Memory is bounded: payload passes
/// through, only a header and a control frame's payload are kept.
struct WsDecoder {
  unsigned char header[kWsMaxHeader];
  size_t header_len = 0;
  bool in_payload = false;
  uint64_t payload_left = 0;
  int opcode = 0;
  bool in_message = false;  // a fragmented message continues in the next data frame
  unsigned char control[kWsMaxControl];
  size_t control_len = 0;
};

/// Takes bytes from the start of `in` and returns how many it took, with `*event` saying what
/// they were. For kData the last `*data_len` bytes taken (1 to `max_data`, which must not be
/// 0) are payload of a binary message, its fragments joined: the MQTT byte stream. Frames the
/// broker masked, text frames, reserved bits and opcodes, and malformed control frames are
/// kError.
size_t ws_decode(WsDecoder& decoder, const unsigned char* in, size_t len, size_t max_data,
                 WsEvent* event, size_t* data_len);

/// The Sec-WebSocket-Accept a server must answer to `key`.
std::string ws_accept_for(const std::string& key);

/// Upgrades the connection `below` (which it takes over) to WebSocket at `request.ws_path`
/// with the subprotocol "mqtt", by `deadline`. Returns kNone with the WebSocket layer in
/// `*layer`; kUpgradeRefused with "<code> <text>" in `*detail` for another status than 101,
/// or the flaw in the answer; or kTooLong, kTimeout, kInterrupted, kClosed.
///
/// The layer's `send` takes up to 64 KiB into one masked binary frame and returns that count
/// at once, although the frame may still be partly unwritten: it then holds those bytes
/// (events() has POLLOUT) and writes them first at the next call, `send(nullptr, 0)` included;
/// it takes nothing new until that frame is out. Pings are answered after the frame under way.
[[nodiscard]] ConnectFailure websocket_connect(std::unique_ptr<Layer> below,
                                               const ConnectRequest& request, long long deadline,
                                               std::unique_ptr<Layer>* layer, std::string* detail);
