// A small synchronous MQTT 3.1.1 publishing client over libmosquitto's non-threaded calls.
// Every call comes from the one thread of the program; the client never starts threads.
#pragma once

#include <csignal>

struct ClientState;
using MQTTClient = ClientState*;

/// Results of the calls below: 0 is success, anything else a failure.
constexpr int kClientSuccess = 0;
constexpr int kClientFailure = -1;
/// The connection is down (never made, or lost); records not yet acknowledged are kept.
constexpr int kClientDisconnected = -3;

/// MQTTClient_publish gave up waiting for room after a stop request; nothing was published.
constexpr int kClientStopped = -4;

/// The only persistence type: nothing is stored outside the process.
constexpr int kPersistenceNone = 1;

/// TLS for a connection: the server's certificate chain and its host name are always verified.
/// Without trustStore and CApath the system's trusted CAs are used. keyStore and privateKey give
/// a client certificate and go together: one without the other fails the connection, as does
/// an unreadable file, a key that does not match its certificate, or a key with a passphrase.
/// Each field is a path, absent for none; the strings are not copied.
struct MQTTClient_SSLOptions {
  const char* trustStore;  // file of trusted CA certificates, PEM
  const char* CApath;      // directory of trusted CA certificates, hashed names
  const char* keyStore;    // client certificate, PEM
  const char* privateKey;  // its private key, PEM
};

struct MQTTClient_connectOptions {
  int keepAliveInterval;  // seconds
  int cleansession;
  int reliable;          // unused: delivery is always windowed
  const void* will;      // must be absent
  const char* username;  // absent for none
  const char* password;  // absent for none
  /// Absent for plain TCP. Only the pointer is copied: the record must outlive the client.
  const MQTTClient_SSLOptions* ssl;
};

/// Milliseconds the client may wait for the broker's CONNACK before calling the attempt failed.
constexpr int kConnectTimeoutMs = 5000;

/// Creates a client for `serverURI` ("host:port", split at the last colon) with `clientId`.
/// Connects nothing yet. Fails when the library cannot set up a client with that identifier.
/// The handle is released by MQTTClient_destroy.
[[nodiscard]] int MQTTClient_create(MQTTClient* handle, const char* serverURI, const char* clientId,
                                    int persistence_type, void* persistence_context);

/// Connects (or connects again) and returns 0 only once the broker has accepted the connection;
/// a refusal, an unreachable host or no CONNACK within kConnectTimeoutMs fails. After a
/// reconnection, records published earlier and not yet acknowledged are sent again first, in
/// their order, and must be acknowledged within the same time. The options are copied.
[[nodiscard]] int MQTTClient_connect(MQTTClient handle, const MQTTClient_connectOptions* options);

/// Hands one message to the live connection; the payload is copied. At QoS 1 and 2 the record
/// is kept until the broker acknowledges it, and the call waits while the in-flight window is
/// full; at QoS 0 it waits while earlier writes are still queued. Memory stays bounded either
/// way. Returns kClientDisconnected when the connection is down or drops while waiting. No
/// delivery token is ever issued: `dt` must be null.
[[nodiscard]] int MQTTClient_publish(MQTTClient handle, const char* topicName, int payloadlen,
                                     const void* payload, int qos, int retained, int* dt);

/// Runs the pending work of the client created last (incoming acknowledgements, queued
/// writes, keep-alive) without waiting.
void MQTTClient_yield();

/// Waits up to `timeout` ms without progress for every record to be handed over (written at
/// QoS 0, acknowledged at QoS 1, completed at QoS 2), then disconnects. Returns 0 when all
/// were, kClientDisconnected when the connection is or goes down with QoS 1/2 records
/// outstanding, and kClientFailure when the wait ran out or the connection dropped with only
/// QoS 0 writes pending.
[[nodiscard]] int MQTTClient_disconnect(MQTTClient handle, int timeout);

/// Closes the connection if open and frees the client; `*handle` becomes null.
void MQTTClient_destroy(MQTTClient* handle);

/// Waits until `fd` is readable, hung up or in error, servicing the connection meanwhile:
/// queued writes, acknowledgements and keep-alive pings. Signals do not end the wait. Returns
/// 0, or -1 when poll fails (errno set).
int wait_for_input(MQTTClient handle, int fd);

/// Once `*stop` is non-zero, a wait for room inside MQTTClient_publish ends with kClientStopped
/// after `timeout_ms` without progress. `stop` is set by a signal handler; it is only read.
void set_stop_flag(MQTTClient handle, const volatile std::sig_atomic_t* stop, int timeout_ms);

/// Whether a broker can accept messages published to `topic`: not empty, no wildcard, valid
/// UTF-8, at most 65,535 bytes.
bool topic_is_publishable(const char* topic);

/// Sets up libmosquitto for the lifetime of the object.
struct ClientLibrary {
  ClientLibrary();
  ~ClientLibrary();
  ClientLibrary(const ClientLibrary&) = delete;
  ClientLibrary& operator=(const ClientLibrary&) = delete;
};
