// A scripted MQTT broker for the misbehaving-broker tests: it decodes what the client sends,
// answers CONNECT with given bytes and every further packet as the test's handler says, and
// can send anything at any time, stop reading, or drop the connection.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

/// One MQTT packet as the fake broker received it.
struct Packet {
  int type = 0;            ///< 1 CONNECT, 3 PUBLISH, 6 PUBREL, 12 PINGREQ, 14 DISCONNECT, ...
  int flags = 0;           ///< the low four bits of the first byte
  std::string body;        ///< everything after the remaining length
  int connection = 0;      ///< the accepted connection it came on, counted from 0
  int protocol_level = 4;  ///< from that connection's CONNECT: 4 is 3.1.1, 5 is MQTT 5
  uint16_t packet_id = 0;  ///< PUBLISH at QoS 1 and 2, PUBACK to PUBCOMP, (UN)SUBSCRIBE
  std::string topic;       ///< PUBLISH
  std::string properties;  ///< PUBLISH at level 5: the property bytes, without their length
  std::string payload;     ///< PUBLISH
  int qos() const { return (flags >> 1) & 3; }
};

/// Packet types, as in the first byte's high four bits.
enum PacketType {
  kConnect = 1,
  kConnack,
  kPublish,
  kPuback,
  kPubrec,
  kPubrel,
  kPubcomp,
  kSubscribe,
  kSuback,
  kUnsubscribe,
  kUnsuback,
  kPingreq,
  kPingresp,
  kDisconnect,
  kAuth
};

/// The bytes of `values`, each 0-255: `bytes({0x20, 0x02, 0x00, 0x00})`.
std::string bytes(std::initializer_list<int> values);
/// `n` as an MQTT variable byte integer (remaining lengths, property lengths).
std::string varint(size_t n);
/// A whole packet: `first_byte`, the length of `body`, `body`. For what the helpers below lack,
/// such as an MQTT 5 CONNACK with properties: mqtt_packet(0x20, bytes({0, 0}) + varint(n) + ...).
std::string mqtt_packet(int first_byte, const std::string& body);
std::string puback(uint16_t packet_id);
std::string pubrec(uint16_t packet_id);
std::string pubrel(uint16_t packet_id);
std::string pubcomp(uint16_t packet_id);
/// What a well-behaved broker answers to `packet` (PUBACK, PUBREC, PUBCOMP, PINGRESP), or
/// nothing: a handler for tests that script only some of the answers.
std::string broker_answer(const Packet& packet);

struct FakeBrokerOptions {
  /// Sent for each CONNECT; empty: no answer at all. The default accepts a 3.1.1 client.
  std::string connack = bytes({0x20, 0x02, 0x00, 0x00});
  /// Called on the broker's thread for every packet after CONNECT; the bytes it returns are
  /// written back (nothing when empty). Unset: nothing is answered.
  std::function<std::string(const Packet&)> handler;
  /// false: listens but never accepts; the kernel completes the handshake and the CONNECT
  /// lies unread.
  bool accept = true;
  /// false: accepts but does not read until set_reading(true).
  bool read = true;
  /// A slow reader when > 0: a small receive buffer, and a pause of this long after each read.
  int pause_ms = 0;
  /// The receive buffer of each connection in bytes when > 0 (8192 for a slow reader): what the
  /// kernel holds for a broker that does not read.
  int receive_buffer = 0;
};

/// Listens on a free loopback port and serves one connection after the other on a thread of
/// its own, until destroyed. Everything the client sends is decoded and kept; a malformed
/// packet fails the test and closes the connection, and so does an answer it cannot write.
class FakeBroker {
 public:
  explicit FakeBroker(FakeBrokerOptions options = {});
  ~FakeBroker();
  FakeBroker(const FakeBroker&) = delete;
  FakeBroker& operator=(const FakeBroker&) = delete;

  int port() const { return port_; }
  /// Connections accepted so far.
  int connections();
  /// Waits until `count` connections were accepted; false after `timeout_ms`.
  bool wait_for_connections(int count, int timeout_ms);
  /// Every packet received so far, in order.
  std::vector<Packet> packets();
  /// Waits until `count` packets of `type` (any type when 0) arrived or `timeout_ms` passed;
  /// returns the packets of that type so far.
  std::vector<Packet> wait_for(size_t count, int timeout_ms, int type = 0);
  /// Writes `bytes` to the current connection at once, from any thread. False when there is no
  /// connection, or not all of it could be written within `timeout_ms` (the client is not
  /// reading), or the write failed.
  bool send(const std::string& bytes, int timeout_ms = 5000);
  /// Closes the current connection, with a reset instead of a FIN when `reset`; returns once it
  /// is closed. The broker then accepts the next one.
  void close_connection(bool reset = false);
  /// Starts or stops reading the current and later connections.
  void set_reading(bool reading) { reading_ = reading; }
  /// The CONNACK for later CONNECTs.
  void set_connack(const std::string& connack);

 private:
  void serve();
  void converse(int fd, int connection);
  bool take_packets(int fd, int connection, std::string* in, int* level);
  bool close_requested();

  FakeBrokerOptions options_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> reading_;
  std::atomic<bool> stopping_{false};
  std::mutex write_mutex_;  // taken before mutex_; held while the connection is written or closed
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Packet> packets_;
  int connections_ = 0;
  int closed_ = 0;
  int fd_ = -1;
  bool close_requested_ = false;
  bool close_with_reset_ = false;
  std::thread thread_;  // last: started once the members above exist
};
