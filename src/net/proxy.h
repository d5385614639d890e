// Tunnels through a proxy: the SOCKS5 and HTTP CONNECT handshakes, over a TCP connection to
// the proxy. Once through, the tunnel carries the broker's bytes as they are, so the layer
// below serves on.
#pragma once

#include <string>

#include "net/connect.h"
#include "net/layer.h"

/// Asks the SOCKS5 proxy at the other end of `layer` for a connection to `host`:`port` (the
/// proxy resolves the name), with user name and password when `username` is not empty, by
/// `deadline`. Returns kNone, kProxy with the reason in `*detail` (empty when the proxy
/// refused the connection itself), kHostTooLong for a `host` over 255 bytes, or kTimeout,
/// kInterrupted, kClosed.
[[nodiscard]] ConnectFailure socks5_connect(Layer& layer, const std::string& host, int port,
                                            const std::string& username,
                                            const std::string& password, long long deadline,
                                            std::string* detail);

/// As socks5_connect for an HTTP proxy (CONNECT, Basic credentials when `username` is not
/// empty). An answer other than 2xx is kProxy with "<code> <text>" in `*detail`.
[[nodiscard]] ConnectFailure http_connect(Layer& layer, const std::string& host, int port,
                                          const std::string& username, const std::string& password,
                                          long long deadline, std::string* detail);
