// One MQTT session to the broker for the whole run: it connects and connects again as the
// reconnection policy allows, sends records through the in-flight window, resends what a lost
// connection left unacknowledged, keeps the connection alive while the input is idle, and
// drains at the end. It never reads the program's flags: every wait takes a deadline and comes
// back when a signal arrives, and the program decides what that means.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>
#include <string_view>

#include "net/connect.h"

/// What a run's session is built from; filled once from the settings.
struct SessionConfig {
  ConnectRequest request;
  std::string properties;  // MQTT 5 properties of every record, from encode_publish_properties
  int qos = 0;
  bool retain = false;
  /// Attempts after a failed or lost connection: 0 for the default (one reconnection when a
  /// record or the end needs the connection, besides one at once when a loss leaves records
  /// outstanding), a count, or -1 for no limit.
  int reconnect = 0;
  /// Records come from a store that outlives the process (the disk spool): `from_store`. Then
  /// waits also come back when records settle or PUBRELs wait at the gate (kProgress); with
  /// `gate_releases` a PUBREL waits until session_open_releases lets it go, so that the store
  /// can note it first; with `resume_first` even the first connection resumes the broker's
  /// session, to complete what an earlier run left in flight.
  bool from_store = false;
  bool gate_releases = false;
  bool resume_first = false;
  /// A record the broker refuses is left behind and the run goes on, instead of ending it.
  bool skip_refused = false;
};

/// How a session call ended.
enum class Outcome {
  kDone,           // what was asked is done
  kInput,          // session_wait: the input descriptor is ready (readable, hung up, in error)
  kTimedOut,       // the deadline passed first
  kInterrupted,    // a signal came: the caller looks at its flags and calls again
  kConnectFailed,  // the policy's attempts are used up; session_connect_error says why
  kRefused,        // the broker refused a record (MQTT 5); session_refusal gives the reason
  kTooLarge,       // the record cannot go in one packet the broker takes (MQTT 5)
  kUnsupported,    // the broker does not take the QoS or the retained flag of the records
  kFailed,         // poll failed (errno set)
  kProgress,       // from a store: records were settled, or PUBRELs wait at the release gate
};

struct Session;

/// Frees the session; an open connection is closed without DISCONNECT.
struct SessionDeleter {
  void operator()(Session* session) const;
};
using SessionPtr = std::unique_ptr<Session, SessionDeleter>;

/// A session that has not connected yet.
SessionPtr make_session(const SessionConfig& config);

/// Makes the first connection: one attempt, then the retries the policy allows, with back-off
/// between them. Returns kDone, kConnectFailed, kUnsupported, kTimedOut or kInterrupted (the
/// next call goes on where this one stopped).
[[nodiscard]] Outcome session_start(Session& s, long long deadline);

/// Hands one record over, to go to `topic` (a name topic_problem finds nothing wrong with);
/// topic and payload are copied. Waits while the window or the output queue
/// is full, servicing the connection, and connects again when the connection is down as the
/// policy allows. Returns kDone once the record is taken; otherwise the record was not taken
/// (kTimedOut, kInterrupted: call again), or the run cannot go on (kConnectFailed, kRefused,
/// kUnsupported, kTooLarge, kFailed).
[[nodiscard]] Outcome session_publish(Session& s, std::string_view topic, const void* payload,
                                      size_t len, long long deadline);

/// A record an earlier run had published, and with `released` released (QoS 2): it goes
/// again as that run left it once the broker's session is resumed, as new otherwise. Before
/// session_start and any session_publish.
void session_add_resumed(Session& s, std::string_view topic, const void* payload, size_t len,
                         bool released);

/// The packet identifier of the next record published (QoS 1 and 2); the store derives it
/// from the record's place in it, so that a later run knows it.
void session_next_packet_id(Session& s, uint16_t packet_id);

/// Whether a record of `len` bytes (with its topic) would be taken now without waiting. Once
/// the window was found full, only when it has drained to half.
bool session_has_room(Session& s, size_t len);

/// Records wait outside the session (in the spool): connect as a record that needs the
/// connection would.
void session_set_waiting(Session& s, bool waiting);

/// Records, counted from the first published, that need nothing more: handed over, refused,
/// or lost. They settle in the order they were published.
uint64_t session_settled(const Session& s);

/// The packet identifiers whose PUBREL waits at the release gate, oldest first; and letting
/// them go.
void session_gated_releases(Session& s, std::vector<uint16_t>* ids);
void session_open_releases(Session& s, const std::vector<uint16_t>& ids);

/// Waits for `fd` (none when -1) until `deadline`, servicing the connection meanwhile: queued
/// writes, acknowledgements, keep-alive, and reconnection as the policy allows; with
/// `skip_refused` it comes back (kProgress) while refusals wait to be taken. Returns kInput,
/// kTimedOut, kInterrupted, kProgress, or what ends the run (kConnectFailed, kRefused,
/// kUnsupported, kFailed).
[[nodiscard]] Outcome session_wait(Session& s, int fd, long long deadline);

/// Waits until every record is handed over (written at QoS 0, acknowledged at QoS 1, completed
/// at QoS 2), connecting again as the policy allows, then disconnects. Returns kDone,
/// kTimedOut, kInterrupted, or what ends the run (kConnectFailed, kRefused, kUnsupported).
[[nodiscard]] Outcome session_drain(Session& s, long long deadline);

/// The next attempt to connect is made at once rather than after the back-off (a stop request
/// with records still to deliver).
void session_hurry(Session& s);

/// Why the last connection attempt failed.
const ConnectError& session_connect_error(const Session& s);

/// One record the broker refused: its place among the records published (from 1, resumed ones
/// included) and the reason code.
struct Refusal {
  uint64_t record;
  uint8_t reason;
};

/// Moves the refusals since the last call into `into` (cleared first), oldest first.
void session_take_refusals(Session& s, std::vector<Refusal>* into);

/// The reason code of the first record the broker refused, 0 when none was or refused records
/// are skipped.
uint8_t session_refusal(const Session& s);

/// What the broker does not take, for kUnsupported: the highest QoS it takes, and whether it
/// takes retained records.
struct Unsupported {
  int maximum_qos = 2;
  bool retain = true;
};
Unsupported session_unsupported(const Session& s);

/// Whether the broker has accepted the current connection.
bool session_connected(const Session& s);

/// The connection is down with records still to hand over.
bool session_outage(const Session& s);

/// When a record last moved on its way (written, acknowledged), on the clock of wait.h.
long long session_last_progress(const Session& s);

/// What the session did so far.
struct SessionStats {
  uint64_t published = 0;     // records taken by session_publish
  uint64_t acknowledged = 0;  // handed over: written at QoS 0, acknowledged at QoS 1 and 2
  uint64_t in_flight = 0;     // published and not yet handed over
  uint64_t resent = 0;        // records sent again on a new connection
  uint64_t connections = 0;   // connections the broker accepted
  uint64_t bytes = 0;         // payload bytes published
  uint64_t lost = 0;          // QoS 0 records cut off partly written by a lost connection
  uint64_t refused = 0;       // records the broker refused
};
SessionStats session_stats(const Session& s);
