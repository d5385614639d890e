// Handshake steps over a layer by a deadline.
#include "net/io.h"

#include <poll.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

#include "wait.h"

namespace {

// Waits until the socket under `layer` is ready for `events` and what the layer needs for its
// own progress, then lets the layer write what it holds.
ConnectFailure wait_for(Layer& layer, short events, long long deadline) {
  pollfd p{layer.fd(), static_cast<short>(events | layer.events()), 0};
  int rc;
  // A stop request does not cut the attempt short once the broker's address is known: it may
  // yet succeed, and it ends by the deadline either way.
  while ((rc = wait_poll(&p, 1, deadline, WakeOn::kStop)) < 0 && errno == EINTR) {
  }
  if (rc == 0) return ConnectFailure::kTimeout;
  if (rc < 0) return ConnectFailure::kOther;
  if ((p.revents & POLLOUT) != 0 && layer.send(nullptr, 0) < 0) return ConnectFailure::kClosed;
  return ConnectFailure::kNone;
}

}  // namespace

ConnectFailure send_all(Layer& layer, const void* data, size_t len, long long deadline) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  size_t done = 0;
  for (;;) {
    ssize_t n = layer.send(bytes + done, len - done);
    if (n < 0) return ConnectFailure::kClosed;
    done += static_cast<size_t>(n);
    // the layer's own bytes go out before the handshake waits for an answer
    if (done == len && (layer.events() & POLLOUT) == 0) return ConnectFailure::kNone;
    ConnectFailure failure = wait_for(layer, POLLOUT, deadline);
    if (failure != ConnectFailure::kNone) return failure;
  }
}

ConnectFailure recv_some(Layer& layer, unsigned char* into, size_t room, long long deadline,
                         size_t* got) {
  for (;;) {
    ssize_t n = layer.recv(into, room);
    // The WebSocket layer says EPROTO for frames it cannot take: its own end, not the broker's.
    if (n < 0) return errno == EPROTO ? ConnectFailure::kFraming : ConnectFailure::kClosed;
    if (n > 0) {
      *got = static_cast<size_t>(n);
      return ConnectFailure::kNone;
    }
    if (layer.pending()) continue;
    ConnectFailure failure = wait_for(layer, POLLIN, deadline);
    if (failure != ConnectFailure::kNone) return failure;
  }
}

ConnectFailure recv_exactly(Layer& layer, unsigned char* into, size_t len, long long deadline) {
  for (size_t done = 0; done < len;) {
    size_t got = 0;
    ConnectFailure failure = recv_some(layer, into + done, len - done, deadline, &got);
    if (failure != ConnectFailure::kNone) return failure;
    done += got;
  }
  return ConnectFailure::kNone;
}

ConnectFailure recv_http_head(Layer& layer, size_t max, long long deadline, std::string* head) {
  head->clear();
  while (head->size() < 4 || head->compare(head->size() - 4, 4, "\r\n\r\n") != 0) {
    if (head->size() >= max) return ConnectFailure::kTooLong;
    unsigned char byte = 0;
    ConnectFailure failure = recv_exactly(layer, &byte, 1, deadline);
    if (failure != ConnectFailure::kNone) return failure;
    head->push_back(static_cast<char>(byte));
    // an answer that does not begin as HTTP does is told at once, not after `max` bytes
    const size_t n = std::min<size_t>(head->size(), 5);
    if (head->compare(0, n, "HTTP/", n) != 0) return ConnectFailure::kNotMqtt;
  }
  return ConnectFailure::kNone;
}

bool parse_status_line(const std::string& head, std::string* code, std::string* text) {
  static const char kVersion[] = "HTTP/1.";
  if (head.compare(0, sizeof kVersion - 1, kVersion) != 0 || head.size() < 13) return false;
  if (!isdigit(static_cast<unsigned char>(head[7])) || head[8] != ' ') return false;
  for (size_t i = 9; i < 12; ++i) {
    if (!isdigit(static_cast<unsigned char>(head[i]))) return false;
  }
  *code = head.substr(9, 3);
  size_t end = head.find("\r\n");
  *text = head[12] == ' ' && end > 13 ? head.substr(13, std::min<size_t>(end - 13, 80)) : "";
  // the text reaches the user's terminal
  for (char& c : *text) {
    if (!isprint(static_cast<unsigned char>(c))) c = '?';
  }
  return true;
}
