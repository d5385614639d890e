// A small synchronous MQTT 3.1.1 and 5 publishing client. libmosquitto makes each connection;
// from CONNACK on this client carries the records itself. Every call comes from the one
// thread of the program; the client never starts threads.
#pragma once

#include <csignal>
#include <cstdint>
#include <string>

#include "connector.h"
#include "mqtt_packets.h"

struct ClientState;
using MQTTClient = ClientState*;

/// Results of the calls below: 0 is success, anything else a failure.
constexpr int kClientSuccess = 0;
constexpr int kClientFailure = -1;
/// The connection is down (never made, or lost); records not yet handed over are kept.
constexpr int kClientDisconnected = -3;
/// MQTTClient_publish gave up waiting for room after a stop request; nothing was published.
constexpr int kClientStopped = -4;
/// The broker refused a record (MQTT 5); client_refusal gives the reason. Nothing more is
/// published; the records before it are still handed over by MQTTClient_disconnect.
constexpr int kClientRefused = -5;
/// The record cannot go in one packet the broker takes (MQTT 5 Maximum Packet Size); nothing
/// was published.
constexpr int kClientTooLarge = -6;

/// The only persistence type: nothing is stored outside the process.
constexpr int kPersistenceNone = 1;

/// TLS for a connection: the server's certificate chain and its host name are always verified.
/// Without trustStore and CApath the system's trusted CAs are used. keyStore and privateKey give
/// a client certificate and go together. A pre-shared key (hex) with its identity replaces
/// certificates. Each field is absent for none; the strings are not copied.
struct MQTTClient_SSLOptions {
  const char* trustStore;  // file of trusted CA certificates, PEM
  const char* CApath;      // directory of trusted CA certificates, hashed names
  const char* keyStore;    // client certificate, PEM
  const char* privateKey;  // its private key, PEM
  const char* alpn;        // protocol offered by ALPN
  const char* psk;         // pre-shared key, hex
  const char* pskIdentity;
};

/// A message the broker publishes when the connection ends without a DISCONNECT.
struct MQTTClient_willOptions {
  const char* topicName;
  const char* message;  // text; absent for an empty payload
  int qos;
  int retained;
};

/// A SOCKS5 proxy; the host name is resolved by the proxy.
struct MQTTClient_proxyOptions {
  const char* host;
  int port;
  const char* username;  // absent for none
  const char* password;  // absent for none
};

struct MQTTClient_connectOptions {
  int keepAliveInterval;  // seconds
  int cleansession;       // MQTT 3.1.1 sessions are always clean
  int reliable;           // unused: delivery is always windowed
  const MQTTClient_willOptions* will;  // absent for none
  const char* username;  // absent for none
  const char* password;  // absent for none
  /// Absent for plain TCP. Only the pointers are copied: the records must outlive the client.
  const MQTTClient_SSLOptions* ssl;
  int MQTTVersion;  // 4 (MQTT 3.1.1) or 5
  /// MQTT 5: seconds the broker keeps the session; -1 for none. With one, every connection
  /// after the first of the run resumes the session the broker kept.
  int64_t sessionExpiry;
  const MQTTClient_proxyOptions* proxy;  // absent for a direct connection
  const char* bindAddress;               // absent for any
};

/// Milliseconds the client may wait for the broker's CONNACK before calling the attempt failed.
constexpr int kConnectTimeoutMs = 5000;

/// Creates a client for `serverURI` ("host:port", split at the last colon) with `clientId`.
/// Connects nothing yet. Fails when the library cannot set up a client with that identifier.
/// The handle is released by MQTTClient_destroy.
[[nodiscard]] int MQTTClient_create(MQTTClient* handle, const char* serverURI, const char* clientId,
                                    int persistence_type, void* persistence_context);

/// Connects (or connects again) and returns 0 only once the broker has accepted the connection;
/// a refusal, an unreachable host or no CONNACK within kConnectTimeoutMs fails, and
/// connect_failure tells why. After a reconnection the records not yet handed over go first,
/// in their order, within the same window as new ones, and must be acknowledged before the
/// connection counts as made (a wait that ends after kConnectTimeoutMs without progress).
/// The options are copied.
[[nodiscard]] int MQTTClient_connect(MQTTClient handle, const MQTTClient_connectOptions* options);

/// Hands one message to the live connection; the payload is copied. At QoS 1 and 2 the record
/// is kept until the broker acknowledges it, and the call waits while the in-flight window is
/// full; at QoS 0 it waits while earlier writes are still queued. Memory stays bounded either
/// way. Returns kClientDisconnected when the connection is down or drops while waiting,
/// kClientStopped, kClientRefused or kClientTooLarge. No delivery token is ever issued: `dt`
/// must be null.
[[nodiscard]] int MQTTClient_publish(MQTTClient handle, const char* topicName, int payloadlen,
                                     const void* payload, int qos, int retained, int* dt);

/// Runs the pending work of the client created last without waiting: a full output queue is
/// written. Acknowledgements are read whenever the client waits.
void MQTTClient_yield();

/// Waits up to `timeout` ms without progress for every record to be handed over (written at
/// QoS 0, acknowledged at QoS 1, completed at QoS 2), then disconnects. Returns 0 when all
/// were, kClientDisconnected when the connection is or goes down with records not handed
/// over, and kClientFailure when the wait ran out.
[[nodiscard]] int MQTTClient_disconnect(MQTTClient handle, int timeout);

/// Closes the connection if open and frees the client; `*handle` becomes null.
void MQTTClient_destroy(MQTTClient* handle);

/// MQTT 5 properties for every record published from now on; encoded once.
void set_publish_properties(MQTTClient handle, const PublishProperties& properties);

/// wait_for_input's results besides kClientDisconnected, kClientRefused and -1.
constexpr int kWaitInput = 0;  // `fd` is readable, hung up or in error
constexpr int kWaitWoke = 1;   // a signal came, or the timeout passed

/// Waits up to `timeout_ms` (-1: no limit) for `fd` (none when -1), servicing the connection
/// meanwhile: queued writes, acknowledgements and keep-alive pings. Returns kWaitInput,
/// kWaitWoke, kClientDisconnected once for each lost connection, kClientRefused once for a
/// refusal, or -1 when poll fails (errno set).
int wait_for_input(MQTTClient handle, int fd, int timeout_ms);

/// Once `*stop` is non-zero, a wait for room inside MQTTClient_publish ends with kClientStopped
/// after `timeout_ms` without progress. `stop` is set by a signal handler; it is only read.
void set_stop_flag(MQTTClient handle, const volatile std::sig_atomic_t* stop, int timeout_ms);

/// `hook` runs whenever a wait of the client is woken by a signal.
void set_wake_hook(MQTTClient handle, void (*hook)());

/// Why the last MQTTClient_connect failed.
ConnectFailure connect_failure(MQTTClient handle);

/// Records published and not yet handed over, QoS 0 records queued included.
size_t client_pending(MQTTClient handle);

/// The reason code of the first record the broker refused, 0 when none was.
uint8_t client_refusal(MQTTClient handle);

/// The reason code of the broker's DISCONNECT that ended the last connection (MQTT 5), -1 when
/// none came; reading it clears it.
int take_disconnect_reason(MQTTClient handle);

/// What the client did so far.
struct ClientStats {
  uint64_t published = 0;     // records taken by MQTTClient_publish
  uint64_t acknowledged = 0;  // handed over: written at QoS 0, acknowledged at QoS 1 and 2
  uint64_t in_flight = 0;     // published and not yet handed over
  uint64_t resent = 0;        // records sent again on a new connection
  uint64_t connections = 0;   // connections the broker accepted
  uint64_t bytes = 0;         // payload bytes published
  uint64_t lost = 0;          // QoS 0 records cut off partly written by a lost connection
  uint64_t refused = 0;       // records the broker refused
};
ClientStats client_stats(MQTTClient handle);
