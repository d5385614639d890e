// Handshake steps over a layer: writing and reading whole messages by a deadline, in the one
// wait through which stop requests come.
#pragma once

#include <cstddef>
#include <string>

#include "net/connect.h"
#include "net/layer.h"

/// Writes all of `data` through `layer` by `deadline`, and whatever the layer holds of its own.
/// Returns kNone, kTimeout, kInterrupted, or kClosed when the connection failed.
[[nodiscard]] ConnectFailure send_all(Layer& layer, const void* data, size_t len,
                                      long long deadline);

/// Reads at least one byte and at most `room` into `into` by `deadline`; `*got` receives the
/// count. Returns kNone, kTimeout, kInterrupted, or kClosed when the connection ended or failed.
[[nodiscard]] ConnectFailure recv_some(Layer& layer, unsigned char* into, size_t room,
                                       long long deadline, size_t* got);

/// Reads exactly `len` bytes, as recv_some.
[[nodiscard]] ConnectFailure recv_exactly(Layer& layer, unsigned char* into, size_t len,
                                          long long deadline);

/// Reads up to and including the blank line that ends an HTTP answer's head, a byte at a
/// time so that nothing after it is taken, into `*head`. kNotMqtt when the answer does not
/// begin "HTTP/", kTooLong when `max` bytes come without the blank line; otherwise as
/// recv_some.
[[nodiscard]] ConnectFailure recv_http_head(Layer& layer, size_t max, long long deadline,
                                            std::string* head);

/// The status of an HTTP answer's head: `*code` and `*text` ("404", "Not Found") from a
/// status line "HTTP/1.x <code> <text>". False when the head is no HTTP answer.
bool parse_status_line(const std::string& head, std::string* code, std::string* text);
