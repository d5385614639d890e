// SOCKS5 (with user/password authentication) and HTTP CONNECT (with Basic credentials).
#include "net/proxy.h"

#include <openssl/evp.h>

#include <string>

#include "net/io.h"

namespace {

constexpr unsigned char kSocksVersion = 5;
constexpr unsigned char kNoAuthentication = 0;
constexpr unsigned char kUserPassword = 2;
constexpr size_t kMaxHttpHead = 8192;
constexpr size_t kMaxSocksHost = 255;  // bytes

// What a SOCKS5 reply code says, for the user.
const char* socks_reply_text(unsigned char code) {
  switch (code) {
    case 1:
      return "general failure";
    case 2:
      return "not allowed by its rules";
    case 3:
      return "network unreachable";
    case 4:
      return "host unreachable";
    case 5:
      return "";  // the broker refused: the plain text says so
    case 6:
      return "TTL expired";
    case 7:
      return "command not supported";
    case 8:
      return "address type not supported";
    default:
      return "unknown reply";
  }
}

ConnectFailure socks5_authenticate(Layer& layer, const std::string& username,
                                   const std::string& password, long long deadline,
                                   std::string* detail) {
  const bool with_password = !username.empty();
  const unsigned char greeting[] = {kSocksVersion, 1,
                                    with_password ? kUserPassword : kNoAuthentication};
  unsigned char answer[2];
  ConnectFailure failure = send_all(layer, greeting, sizeof greeting, deadline);
  if (failure == ConnectFailure::kNone) failure = recv_exactly(layer, answer, 2, deadline);
  if (failure != ConnectFailure::kNone) return failure;
  if (answer[0] != kSocksVersion) {
    *detail =
        answer[0] == 'H' && answer[1] == 'T' ? "an HTTP answer, not SOCKS5" : "no SOCKS5 answer";
    return ConnectFailure::kProxy;
  }
  if (answer[1] != greeting[2]) {
    *detail = "no acceptable authentication";
    return ConnectFailure::kProxy;
  }
  if (!with_password) return ConnectFailure::kNone;
  std::string request = {1, static_cast<char>(username.size())};  // lengths checked by settings
  request += username;
  request.push_back(static_cast<char>(password.size()));
  request += password;
  failure = send_all(layer, request.data(), request.size(), deadline);
  if (failure == ConnectFailure::kNone) failure = recv_exactly(layer, answer, 2, deadline);
  if (failure != ConnectFailure::kNone) return failure;
  if (answer[1] != 0) {
    *detail = "bad user name or password";
    return ConnectFailure::kProxy;
  }
  return ConnectFailure::kNone;
}

// Reads the rest of a successful CONNECT reply: the bound address, which is of no use here.
ConnectFailure skip_bound_address(Layer& layer, unsigned char type, long long deadline) {
  unsigned char skip[256 + 2];
  size_t len = 0;
  if (type == 1) len = 4 + 2;
  if (type == 4) len = 16 + 2;
  if (type == 3) {
    ConnectFailure failure = recv_exactly(layer, skip, 1, deadline);
    if (failure != ConnectFailure::kNone) return failure;
    len = skip[0] + 2;
  }
  if (len == 0) return ConnectFailure::kProxy;
  return recv_exactly(layer, skip, len, deadline);
}

std::string base64(const std::string& text) {
  std::string out(4 * ((text.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                          reinterpret_cast<const unsigned char*>(text.data()),
                          static_cast<int>(text.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

// `host` as it goes in an HTTP authority: an IPv6 address in brackets.
std::string authority(const std::string& host, int port) {
  bool ipv6 = host.find(':') != std::string::npos;
  return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

}  // namespace

ConnectFailure socks5_connect(Layer& layer, const std::string& host, int port,
                              const std::string& username, const std::string& password,
                              long long deadline, std::string* detail) {
  // The host goes as a name (type 3), resolved by the proxy, even when it is an address; its
  // length must fit the one byte SOCKS5 gives it.
  if (host.size() > kMaxSocksHost) return ConnectFailure::kHostTooLong;
  ConnectFailure failure = socks5_authenticate(layer, username, password, deadline, detail);
  if (failure != ConnectFailure::kNone) return failure;
  std::string request = {kSocksVersion, 1, 0, 3, static_cast<char>(host.size())};
  request += host;
  request.push_back(static_cast<char>(port >> 8));
  request.push_back(static_cast<char>(port & 0xFF));
  unsigned char reply[4];
  failure = send_all(layer, request.data(), request.size(), deadline);
  if (failure == ConnectFailure::kNone) failure = recv_exactly(layer, reply, 4, deadline);
  if (failure != ConnectFailure::kNone) return failure;
  if (reply[0] != kSocksVersion) {
    *detail = "no SOCKS5 answer";
    return ConnectFailure::kProxy;
  }
  if (reply[1] != 0) {
    *detail = socks_reply_text(reply[1]);
    return ConnectFailure::kProxy;
  }
  failure = skip_bound_address(layer, reply[3], deadline);
  if (failure == ConnectFailure::kProxy) *detail = "no SOCKS5 answer";
  return failure;
}

ConnectFailure http_connect(Layer& layer, const std::string& host, int port,
                            const std::string& username, const std::string& password,
                            long long deadline, std::string* detail) {
  const std::string target = authority(host, port);
  std::string request = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n";
  if (!username.empty()) {
    request += "Proxy-Authorization: Basic " + base64(username + ":" + password) + "\r\n";
  }
  request += "\r\n";
  ConnectFailure failure = send_all(layer, request.data(), request.size(), deadline);
  std::string head;
  if (failure == ConnectFailure::kNone) {
    failure = recv_http_head(layer, kMaxHttpHead, deadline, &head);
  }
  std::string code, text;
  if (failure == ConnectFailure::kNotMqtt ||
      (failure == ConnectFailure::kNone && !parse_status_line(head, &code, &text))) {
    *detail = "no HTTP answer";
    return ConnectFailure::kProxy;
  }
  if (failure != ConnectFailure::kNone) return failure;
  if (code[0] != '2') {
    *detail = text.empty() ? code : code + " " + text;
    return ConnectFailure::kProxy;
  }
  return ConnectFailure::kNone;
}
