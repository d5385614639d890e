// Records at QoS 1 and 2 from the moment they are published until the broker has them: the
// in-flight window, the stage each record is in, and what is to be written next, first
// sending and resending after a reconnection alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

/// Records and payload bytes the window holds at most. Enough to keep the pipe to the broker
/// full while the acknowledgements of half of it come back, few enough that memory stays small
/// whatever the input rate.
constexpr size_t kWindowRecords = 2048;
constexpr size_t kWindowBytes = 1024 * 1024;

enum class Stage : uint8_t {
  kUnsent,     // to be written: new, or to be sent again on a new connection
  kAwaitAck,   // PUBLISH written; awaits PUBACK (QoS 1) or PUBREC (QoS 2)
  kReleasing,  // QoS 2: PUBREC came, the PUBREL is still to be written
  kAwaitComp,  // QoS 2: PUBREL written, awaits PUBCOMP
  kDone,       // handed over or refused; leaves once every record before it has
};

struct InflightRecord {
  uint64_t seq = 0;  // the record's identity from the input to the broker
  uint16_t packet_id = 0;
  uint8_t qos = 1;
  bool retain = false;
  bool dup = false;  // sent before on a session the broker kept: the DUP flag goes with it
  Stage stage = Stage::kUnsent;
  bool release_recorded = false;  // with a release gate: its PUBREL may leave
  uint16_t topic_len = 0;
  // The topic's bytes, then the payload's: one buffer a record, reused by the ring.
  std::vector<unsigned char> bytes;
};

inline std::string_view record_topic(const InflightRecord& r) {
  return std::string_view(reinterpret_cast<const char*>(r.bytes.data()), r.topic_len);
}
inline const unsigned char* record_payload(const InflightRecord& r) {
  return r.bytes.data() + r.topic_len;
}
inline size_t record_payload_len(const InflightRecord& r) { return r.bytes.size() - r.topic_len; }

/// The window: a ring of records, oldest first, with the counts that bound it.
struct Window {
  std::vector<InflightRecord> ring = std::vector<InflightRecord>(kWindowRecords);
  size_t first = 0;
  size_t count = 0;
  size_t bytes = 0;        // topic and payload bytes held
  size_t send_cursor = 0;  // no record before this offset from `first` is kUnsent
  // Packet identifiers whose PUBREL is due, oldest first; each record is in it at most once.
  std::vector<uint16_t> releases = std::vector<uint16_t>(kWindowRecords);
  size_t releases_first = 0;
  size_t releases_count = 0;
  // Records that take one of the broker's in-flight slots, and how many it grants. A stock
  // 3.1.1 mosquitto answers PUBREC for QoS 2 records beyond its limit and then drops them, so
  // QoS 2 has a quota of its own. Under MQTT 5 a QoS 2 record keeps its slot until PUBCOMP;
  // under 3.1.1 the broker frees it when it reads the PUBREL, which comes before any PUBLISH
  // written after it.
  size_t holding = 0;
  size_t holding_qos2 = 0;
  // Records whose PUBLISH or PUBREL is out and whose answer has not come.
  size_t awaiting = 0;
  size_t quota = kWindowRecords;
  size_t qos2_quota = kWindowRecords;
  bool slot_until_complete = false;
  // A PUBREL leaves only once the record says it may: an owner that must note it first (so
  // that a later run completes the record instead of sending it again) holds the gate.
  bool release_gate = false;
  uint64_t last_seq = 0;  // of the newest record taken
};

/// The MQTT packet identifier of record `seq`: seq % 65535 + 1, so that a later run finds the
/// identifier of every record in flight from the record alone.
constexpr uint16_t packet_id_of(uint64_t seq) { return static_cast<uint16_t>(seq % 65535 + 1); }

/// Whether one more record of `len` bytes fits within `records` and `bytes`. An empty window
/// takes any one record, however large.
bool window_has_room(const Window& w, size_t len, size_t records, size_t bytes);

/// Whether record `seq` must wait: a record still held has its packet identifier.
bool window_id_in_use(Window& w, uint64_t seq);

/// Takes a copy of record `seq` (`topic` of at most kMaxTopicBytes), to be written when its
/// turn and a slot come; seqs ascend and no held record has its identifier (window_id_in_use).
/// It counts as topic.size() + len bytes against the window's bound.
void window_add(Window& w, uint64_t seq, std::string_view topic, const void* payload, size_t len,
                int qos, bool retain);

/// Takes a copy of a record an earlier run had sent (`released`: and released), as if this
/// run had sent it on a connection now lost: window_restart decides what goes again.
void window_add_sent(Window& w, uint64_t seq, std::string_view topic, const void* payload,
                     size_t len, int qos, bool retain, bool released);

/// Every record taken up to the returned seq is handed over or refused: the seq before the
/// oldest held, or the newest taken when none is held (0 before any).
uint64_t window_settled(const Window& w);

/// The records whose PUBREL waits at the release gate, oldest first.
void window_gated_releases(Window& w, std::vector<uint64_t>* seqs);

/// Lets the PUBREL of record `seq` pass the release gate.
void window_open_release(Window& w, uint64_t seq);

/// The oldest record still to be written when the broker's quota has a slot for it; the
/// caller writes it and calls window_mark_sent. Null when there is none or no slot.
InflightRecord* window_next_unsent(Window& w);
void window_mark_sent(Window& w, InflightRecord& record);

/// The packet identifier of the next PUBREL to write, marking its record as released.
/// Returns false when none is due, or the next waits at the release gate.
bool window_next_release(Window& w, uint16_t* packet_id);

/// What an acknowledgement did.
struct AckOutcome {
  bool progress = false;   // a record moved on
  bool completed = false;  // a record was handed over
  bool refused = false;    // the broker refused a record (MQTT 5 reason code 0x80 or more)
  bool unknown = false;    // a PUBREC for no record that awaits one
  bool wrong_kind = false;  // a PUBACK for a QoS 2 record: the broker does not take QoS 2
  uint64_t seq = 0;         // of the record acknowledged, 0 when none is held
};

/// Applies a PUBACK, PUBREC or PUBCOMP with `reason` (0 under 3.1.1). An acknowledgement that
/// does not fit the record's stage changes nothing.
AckOutcome window_ack(Window& w, unsigned char type, uint16_t packet_id, uint8_t reason);

/// Prepares the records not yet handed over for a new connection. With `resume` the broker
/// kept the session: records without PUBREC are sent again with the DUP flag and the same
/// identifier, records with PUBREC get their PUBREL again. Without it every one is sent again as
/// a new PUBLISH. Returns how many had been sent before; `*last` becomes the packet identifier
/// of the newest of them that the broker's quota lets out at once (`slots`, the first that
/// many), 0 when there is none: the others can be answered only after those.
size_t window_restart(Window& w, bool resume, size_t slots, uint16_t* last);

/// Whether the broker has answered the record with `packet_id` (PUBACK, PUBREC), or it is
/// handed over.
bool window_answered(Window& w, uint16_t packet_id);


/// Records held; not 0 while any record is not yet handed over.
inline size_t window_pending(const Window& w) { return w.count; }
