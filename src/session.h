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

#include "net/connect.h"

/// What a run's session is built from; filled once from the settings.
struct SessionConfig {
  ConnectRequest request;  // its host and port are those of the broker each attempt goes to
  /// The brokers, tried in turn: an attempt that fails goes on to the next, a loss starts again
  /// with the one after the lost one, and the back-off grows only after a whole round. Empty:
  /// the request's own host and port.
  std::vector<Endpoint> brokers;
  bool name_brokers = false;  // each attempt says which broker it goes to
  std::string properties;  // MQTT 5 properties of every record, from encode_publish_properties
  int qos = 0;
  bool retain = false;
  /// Attempts after a failed or lost connection: 0 for the default (one reconnection, or one
  /// round of several brokers, when a record or the end needs the connection, besides one at
  /// once when a loss leaves records outstanding), a count, or -1 for no limit.
  int reconnect = 0;
  /// Records come from a store that outlives the process (the disk spool): `from_store`. Then
  /// waits also come back when records settle or PUBRELs wait at the gate (kProgress); with
  /// `gate_releases` a PUBREL waits until session_release lets it go, so that the store
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

/// Hands record `seq` over, to go to `topic` (a name topic_problem finds nothing wrong with);
/// `seq` is its identity from the input to the broker: seqs ascend (gaps allowed), and its
/// packet identifier is seq % 65535 + 1. Topic and payload are copied. Waits while the window
/// or the output queue is full or a record in flight has the same packet identifier, servicing
/// the connection, and connects again when the connection is down as the policy allows.
/// Returns kDone once the record is taken; otherwise the record was not taken (kTimedOut,
/// kInterrupted: call again), or the run cannot go on (kConnectFailed, kRefused, kUnsupported,
/// kTooLarge, kFailed).
[[nodiscard]] Outcome session_publish(Session& s, uint64_t seq, std::string_view topic,
                                      std::string_view payload, long long deadline);

/// Record `seq` an earlier run had published, and with `released` released (QoS 2): it goes
/// again as that run left it once the broker's session is resumed, as new otherwise (said in
/// one line). Before session_start and any session_publish; seqs ascend.
void session_add_resumed(Session& s, uint64_t seq, std::string_view topic, std::string_view payload,
                         bool released);

/// Whether record `seq` of `len` bytes (with its topic) would be taken now without waiting.
/// Once the window was found full, only when it has drained to half.
bool session_has_room(Session& s, uint64_t seq, size_t len);

/// Records wait outside the session (in the spool): connect as a record that needs the
/// connection would.
void session_set_waiting(Session& s, bool waiting);

/// What settled: every record taken up to `watermark` needs nothing more (handed over,
/// refused, or lost: written whole at QoS 0, acknowledged at QoS 1 and 2), and no record
/// still held is at or below it; 0 before any. `released`: the records whose PUBREL waits at
/// the release gate, oldest first (the caller notes them, then calls session_release).
struct Settled {
  uint64_t watermark = 0;
  std::vector<uint64_t> released;
};
/// Fills `settled` (its vector is reused: no allocation per call in steady state).
void session_settled(Session& s, Settled* settled);

/// Lets the PUBRELs of records `seqs` pass the release gate.
void session_release(Session& s, const std::vector<uint64_t>& seqs);

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

/// Ends the connection at once, with a DISCONNECT given a moment to leave, whatever is still
/// in flight, and gives up an attempt under way: for a caller whose store keeps the records for
/// a later run.
void session_disconnect(Session& s);

/// The next attempt to connect is made at once rather than after the back-off (a stop request
/// with records still to deliver).
void session_hurry(Session& s);

/// Why the last connection attempt failed.
const ConnectError& session_connect_error(const Session& s);

/// One record the broker refused under `skip_refused`, and the reason code.
struct Refusal {
  uint64_t seq;
  uint8_t reason;
};

/// Moves the refusals skipped since the last call into `into` (cleared first), oldest first.
void session_take_refusals(Session& s, std::vector<Refusal>* into);

/// The reason code of the first record the broker refused, 0 when none was or refused records
/// are skipped.
uint8_t session_refusal(const Session& s);

/// The seq of the first record the broker refused, while session_refusal is not 0.
uint64_t session_refused_seq(const Session& s);

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

/// When a record last settled (written at QoS 0, completed or refused at QoS 1 and 2), on the
/// clock of wait.h; 0 before the first. Bytes written and connections made are not progress: a
/// broker that takes the connection and drops every record must not keep a run going.
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
