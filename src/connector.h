// libmosquitto's part in the program: its set-up, each connection up to CONNACK (name lookup,
// SOCKS5 proxy, TCP and TLS handshakes, CONNECT with credentials, will and properties; see
// connect_broker in net/connect.h) and its version. After CONNACK the socket
// and the TLS object are the connection's layer, and the library reads and writes no more.
#pragma once

#include <string>

/// "major.minor.revision" of the libmosquitto this program runs with.
std::string library_version();

/// Sets up libmosquitto for the lifetime of the object.
struct ClientLibrary {
  ClientLibrary();
  ~ClientLibrary();
  ClientLibrary(const ClientLibrary&) = delete;
  ClientLibrary& operator=(const ClientLibrary&) = delete;
};
