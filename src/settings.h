// Run settings of the publisher: the settings record, the option parser and the usage text.
#pragma once

// Largest payload one MQTT PUBLISH can carry: the 268,435,455-byte remaining length less the
// topic's two-byte length prefix and the packet identifier.
constexpr long kMaxPacketBytes = 268435455;

struct PublisherSettings {
  const char* clientid = "publisher";
  char delimiter = '\n';
  int maxdatalen = 100;
  int qos = 0;
  int retained = 0;
  const char* username = nullptr;  // absent unless given
  const char* password = nullptr;  // absent unless given; a private copy, see parse_arguments
  const char* host = "localhost";
  const char* port = "1883";
  int verbose = 0;
  // Any of these four turns TLS on; each is absent unless given.
  const char* cafile = nullptr;  // trusted CA certificates, PEM
  const char* capath = nullptr;  // directory of trusted CA certificates, hashed names
  const char* cert = nullptr;    // client certificate, PEM
  const char* key = nullptr;     // private key of the client certificate, PEM
};

/// The process-wide settings, written only by parse_arguments.
extern PublisherSettings settings;

/// Fills `settings` from argv[2] .. argv[argc - 1] (argv[1] is the topic). Ends the process
/// through print_usage when an option lacks its value, "--qos" is not 0, 1 or 2, or
/// "--maxdatalen" is below 1 or above what one message to this topic can carry. The password is
/// copied and its argument overwritten, so that other users' `ps` no longer shows it.
void parse_arguments(int argc, char** argv);

/// Writes the usage text to standard output and ends the process with status -1.
[[noreturn]] void print_usage();
