// Bytes to and from the broker over the top layer of a connection: one output queue of whole
// packets written in large blocks, and input read in bulk. No other file touches the buffers.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "net/layer.h"

/// Queued output is written once it reaches kFlushBytes; publishing waits while more than
/// kOutLimitBytes are still unwritten: large writes, bounded memory.
constexpr size_t kFlushBytes = 64 * 1024;
constexpr size_t kOutLimitBytes = 256 * 1024;
constexpr size_t kInBytes = 16 * 1024;

struct Transport {
  std::unique_ptr<Layer> layer;  // null while there is no connection
  bool broken = false;           // the connection failed or was closed
  std::string out;               // whole packets, written from `sent` on
  size_t sent = 0;
  size_t whole = 0;  // start of the first packet not wholly gone below; never after `sent`
  unsigned char in[kInBytes];
  size_t in_len = 0;
  bool write_blocked = false;  // the last write took nothing: wait for what the layer needs
};

/// Takes over a connection; `early_input` is input its set-up read ahead. Output queued while
/// there was none stays queued, to go first.
void transport_open(Transport& t, std::unique_ptr<Layer> layer, const std::string& early_input);

/// Closes the connection. Queued output stays.
void transport_close(Transport& t);

inline bool transport_open_now(const Transport& t) { return t.layer != nullptr && !t.broken; }
inline size_t transport_unwritten(const Transport& t) { return t.out.size() - t.sent; }
/// Queued bytes have yet to go below the top layer: some are queued here or held in a layer.
bool transport_writing(const Transport& t);

/// The queue, with room for `more` bytes, to append whole packets to. Written packets are
/// dropped from its front first when it would otherwise grow, so that with a broker that never
/// quite catches up they do not pile up behind the unwritten.
std::string& transport_append(Transport& t, size_t more);

/// Drops every queued byte (after the last packet of a connection).
void transport_discard_output(Transport& t);

/// What one transport_flush did.
struct FlushResult {
  bool wrote = false;          // some bytes left
  bool publish_bytes = false;  // some of them belonged to PUBLISH packets
  size_t qos0_publishes = 0;   // QoS 0 PUBLISH packets that went out whole
};

/// Writes as much queued output as the connection takes now. A failed write sets `broken`; a
/// connection found full is not tried again until transport_woken.
FlushResult transport_flush(Transport& t);

/// poll() reported the socket ready: a blocked write may go on.
inline void transport_woken(Transport& t) { t.write_blocked = false; }

/// Reads what the connection has now, as far as the input buffer has room. Returns false, with
/// `broken` set, when the connection is closed or failed.
bool transport_read(Transport& t);

/// Input read and not yet consumed.
inline const unsigned char* transport_input(const Transport& t) { return t.in; }
inline size_t transport_input_len(const Transport& t) { return t.in_len; }
/// Drops the first `n` bytes of the input.
void transport_consume(Transport& t, size_t n);

/// Input waits inside the layers, where poll() cannot see it: read before waiting.
bool transport_readable_now(const Transport& t);

/// Sends the TCP acknowledgement of what was read at once instead of delayed. For when no
/// output will carry it soon: a broker that batches its small writes (Nagle) waits for it
/// before it sends more, and a delayed one stalls a waiting publisher for tens of ms.
void transport_ack_now(const Transport& t);

/// The socket to poll and the poll() events to wait for on it.
int transport_fd(const Transport& t);
short transport_events(const Transport& t);

/// After the connection is lost: the queued packets of which no byte was written, in order.
/// `*cut` becomes the first byte of a packet that was partly written, 0 when there is none.
/// The queue is empty afterwards.
std::string transport_take_unsent(Transport& t, unsigned char* cut);
