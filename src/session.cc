// The run's MQTT session: the connection with its reconnection policy, the in-flight window,
// the output queue and the one poll() in which the connection is serviced while the program
// waits.
//
// After CONNACK the records go out as PUBLISH packets in one output queue written in large
// writes, and acknowledgements are read in bulk whenever the session waits: no system call per
// record in steady state, on any transport.
#include "session.h"

#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <random>

#include "inflight.h"
#include "mqtt_packets.h"
#include "net/attempt.h"
#include "topics.h"
#include "transport.h"
#include "wait.h"

namespace {

// At QoS 2 a stock 3.1.1 mosquitto answers PUBREC for records beyond its in-flight limit
// (max_inflight_messages, 20 by default) and then drops them: stay within it. MQTT 5 brokers
// say their limit in CONNACK; beyond a few hundred QoS 2 records in flight a broker's work per
// acknowledgement grows (mosquitto looks each one up in its in-flight list), and throughput
// falls, so that is the most taken even when more are granted.
constexpr size_t kQos2WindowRecords = 20;
constexpr size_t kMaxQos2WindowRecords = 256;
// How long one connection attempt may take, from name lookup to CONNACK; records sent again
// on a new connection get as long again for their acknowledgements.
constexpr int kConnectTimeoutMs = 5000;
// How long the final DISCONNECT may take to leave.
constexpr int kDisconnectWriteMs = 1000;
// Reconnection back-off: the first retry at once, then this, doubling up to the cap, each
// varied by up to a fifth either way so that many publishers do not return in step.
constexpr long long kFirstBackoffMs = 500;
constexpr long long kMaxBackoffMs = 30000;
// A connection that lives this long, or on which the broker acknowledges a record, was worth
// making: the back-off starts again from the beginning after it. One taken over at once by
// another client with the same identifier was not.
constexpr long long kStableConnectionMs = 5000;
// A full window waits a moment before it looks for acknowledgements, so that they arrive in
// batches: waking for each one costs a wake-up, a read and an immediate TCP ACK per few
// records, CPU that on a small machine the broker needs. A broker that grants few records in
// flight gets a pause of its own, which starts short (there every round trip counts), grows
// while the answers to a round are not all in after it, and shrinks while they are: it
// follows how long the broker takes for a window's worth.
constexpr long kGatherPauseNs = 1000 * 1000;
constexpr long kNarrowGatherPauseNs = 200 * 1000;
constexpr long kMinNarrowPauseNs = 50 * 1000;
constexpr long kMaxNarrowPauseNs = 2000 * 1000;
constexpr size_t kNarrowQuota = 64;
// Rounds of gathering while draining between two polls, which let signals in.
constexpr unsigned kRoundsBetweenPolls = 8;

// When to connect again, and how often.
struct Reconnection {
  int attempts_left = 0;      // counted attempts left in this outage; -1: no limit
  bool free_attempt = false;  // the next attempt does not count
  long long next_attempt_ms = 0;
  long long delay_ms = 0;  // the back-off after the next failure
  long long connected_ms = 0;
  bool stable = false;  // the current connection counts as worth having made
  size_t broker = 0;        // of SessionConfig::brokers: where the next attempt goes
  size_t round_start = 0;   // the broker this round of attempts began with
  std::minstd_rand random{static_cast<unsigned>(now_ms())};
};

// A QoS 0 record in the output queue, in queue order: it settles once written whole, or when
// a lost connection cut it off (`lost`).
struct QueuedRecord {
  uint64_t seq;
  bool lost;
};

}  // namespace

struct Session {
  SessionConfig config;
  bool v5 = false;
  bool connected = false;
  bool established = false;  // the connection counts as made: its loss starts an outage
  bool ever_connected = false;
  Transport transport;
  Window window;
  Reconnection reconnection;
  // What the broker granted on this connection.
  uint32_t max_packet = 0;  // 0: no limit
  bool use_alias = false;
  TopicAliases aliases;  // of this connection
  long narrow_pause_ns = kNarrowGatherPauseNs;
  long long keepalive_ms = 0;
  long long last_out_ms = 0;
  long long ping_sent_ms = 0;  // 0 when no PINGREQ awaits its answer
  size_t skip = 0;             // bytes of a long incoming packet still to be dropped
  uint16_t resend_last = 0;    // the newest record sent again on this connection; 0 for none
  long long last_progress_ms = 0;
  long long settled_ms = 0;  // when a record last settled: the only progress the stop clock sees
  bool waiting = false;     // records wait outside the session
  bool store_full = false;  // fed from a store, the window filled: it drains to half first
  uint64_t asked_seq = 0;   // the record session_has_room last found no room for
  size_t asked_len = 0;
  ConnectError error;
  uint8_t refusal = 0;
  bool unsupported = false;
  std::vector<uint64_t> gated;      // releases_gated's list, kept to spare an allocation per wait
  std::deque<QueuedRecord> queued;  // QoS 0 records not yet written whole
  uint64_t last_seq = 0;            // the newest record taken
  bool resumed = false;             // holds records an earlier run had in flight
  std::vector<Refusal> refusals;    // skipped, not yet taken; at most a window's worth a call
  uint64_t refused_seq = 0;         // not skipping: the first record refused
  Unsupported limits;
  SessionStats stats;
  // A connection attempt under way on a thread of its own, and how it is to be taken up.
  ConnectAttemptPtr attempt;
  bool attempt_free = false;     // it does not count against the policy's attempts
  bool hurried = false;          // asked to hurry while it was under way: the next one at once
  bool attempt_resumes = false;  // it asks for the broker's kept session
};

namespace {

// Appends one PUBLISH for `payload` to the output queue, naming the topic by its alias once
// the broker knows it. Naming or using the alias changes the packet's size: a form that would
// exceed the broker's Maximum Packet Size gives way to the topic alone, and an alias it would
// have bound stays unbound.
void queue_publish(Session& s, std::string_view topic, const void* payload, size_t len, int qos,
                   bool retain, uint16_t packet_id, bool dup) {
  PublishHeader h;
  h.v5 = s.v5;
  h.qos = qos;
  h.retain = retain;
  h.dup = dup;
  h.packet_id = packet_id;
  h.properties = s.config.properties;
  h.topic = topic;
  TopicAliases::Use use = s.use_alias ? s.aliases.lookup(topic) : TopicAliases::Use{0, false};
  if (use.alias != 0) {
    PublishHeader aliased = h;
    aliased.topic_alias = use.alias;
    if (use.known) aliased.topic = std::string_view();
    if (s.max_packet == 0 || publish_size(aliased, len) <= s.max_packet) {
      h = aliased;
    } else if (!use.known) {
      s.aliases.forget(topic);
    }
  }
  size_t size = publish_size(h, len);
  encode_publish(transport_append(s.transport, size), h, payload, len);
}

// Moves due PUBRELs and records the broker's quota has room for into the output queue, as
// far as the queue's bound allows.
void pump(Session& s) {
  if (!s.connected) return;
  while (transport_unwritten(s.transport) < kOutLimitBytes) {
    uint16_t id = 0;
    if (window_next_release(s.window, &id)) {
      encode_pubrel(transport_append(s.transport, 4), id, s.v5);
      continue;
    }
    InflightRecord* r = window_next_unsent(s.window);
    if (r == nullptr) return;
    queue_publish(s, record_topic(*r), record_payload(*r), record_payload_len(*r), r->qos,
                  r->retain, r->packet_id, r->dup);
    window_mark_sent(s.window, *r);
  }
}

// QoS 0 records lost at the front of the queue settle.
void drop_lost(Session& s) {
  while (!s.queued.empty() && s.queued.front().lost) s.queued.pop_front();
}

// Writes what the connection takes now; bytes of records leaving are progress.
void flush(Session& s) {
  if (!s.connected) return;
  FlushResult done = transport_flush(s.transport);
  long long now = now_ms();
  if (done.wrote) s.last_out_ms = now;
  if (done.publish_bytes) s.last_progress_ms = now;
  s.stats.acknowledged += done.qos0_publishes;
  if (done.qos0_publishes > 0) s.settled_ms = now;
  for (size_t n = done.qos0_publishes; n > 0 && !s.queued.empty(); s.queued.pop_front()) {
    if (!s.queued.front().lost) --n;
  }
  drop_lost(s);
}

// Every record taken up to the returned seq is handed over, refused or lost.
uint64_t settled_seq(const Session& s) {
  if (s.config.qos > 0) return window_settled(s.window);
  return s.queued.empty() ? s.last_seq : s.queued.front().seq - 1;
}

// Records published and not yet handed over. Control packets the broker has not read do not
// count: a broker that asks for PUBRELs it never reads cannot hold up the end.
bool pending(const Session& s) {
  const SessionStats& st = s.stats;
  return window_pending(s.window) > 0 || st.published > st.acknowledged + st.lost + st.refused;
}

// The back-off before the next attempt, and the one after it.
long long take_delay(Reconnection& r) {
  long long delay = r.delay_ms;
  r.delay_ms = delay == 0 ? kFirstBackoffMs : std::min(delay * 2, kMaxBackoffMs);
  if (delay == 0) return 0;
  std::uniform_int_distribution<long long> jitter(-delay / 5, delay / 5);
  return delay + jitter(r.random);
}

// The attempts the default policy makes where one broker gets one: one for each broker.
int one_round(const Session& s) {
  return std::max(1, static_cast<int>(s.config.brokers.size()));
}

// A connection ended: the attempts of the outage it starts. By default one reconnection (a
// round of the brokers) for when a record or the end needs it, and one more at once, not
// counted, when records are left outstanding; otherwise the --reconnect attempts, the first at
// once unless the lost connection was not worth having made.
void begin_outage(Session& s) {
  Reconnection& r = s.reconnection;
  long long now = now_ms();
  if (r.stable || now - r.connected_ms >= kStableConnectionMs) r.delay_ms = 0;
  r.attempts_left = s.config.reconnect == 0 ? one_round(s) : s.config.reconnect;
  r.free_attempt = s.config.reconnect == 0 && pending(s);
  r.next_attempt_ms = now + take_delay(r);
  // A new round, from the broker after the one lost.
  if (!s.config.brokers.empty()) r.broker = (r.broker + 1) % s.config.brokers.size();
  r.round_start = r.broker;
}

// An attempt failed: the next goes to the next broker at once, or after the back-off once
// every broker of the round was tried.
void after_failed_attempt(Session& s) {
  Reconnection& r = s.reconnection;
  if (!s.config.brokers.empty()) r.broker = (r.broker + 1) % s.config.brokers.size();
  r.next_attempt_ms = now_ms() + (r.broker == r.round_start ? take_delay(r) : 0);
}

// Calls `each` with every PUBLISH among the whole packets of `queue`.
template <typename Each>
void for_each_publish(const std::string& queue, bool v5, Each each) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(queue.data());
  for (size_t at = 0; at < queue.size();) {
    PublishView p;
    if (decode_publish(bytes + at, queue.size() - at, v5, &p)) each(p);
    at += packet_size(bytes + at, queue.size() - at);
  }
}

// Queues again, without alias, the QoS 0 records among the packets a lost connection left
// unwritten. A packet naming its topic by the alias alone gets the topic the alias stood for
// where it was queued: the last binding before it among these packets, or else the aliases'
// present state, unless these packets bind the alias again later -- then what it meant before
// is no longer known, and the record is lost like one cut off.
void requeue_qos0(Session& s, const std::string& unsent) {
  const std::vector<std::string_view> latest = s.aliases.by_alias();
  size_t queued_at = 0;  // the record of the next QoS 0 packet in `queued`
  std::vector<bool> rebound(latest.size());
  for_each_publish(unsent, s.v5, [&](const PublishView& p) {
    if (!p.topic.empty() && p.topic_alias < rebound.size()) rebound[p.topic_alias] = true;
  });
  std::vector<std::string_view> bound(latest.size());
  for_each_publish(unsent, s.v5, [&](const PublishView& p) {
    std::string_view topic = p.topic;
    if (p.topic_alias != 0 && p.topic_alias < bound.size()) {
      std::string_view& b = bound[p.topic_alias];
      if (!topic.empty()) {
        b = topic;
      } else if (!b.empty()) {
        topic = b;
      } else if (!rebound[p.topic_alias]) {
        topic = latest[p.topic_alias];
      }
    }
    if (p.qos != 0) return;
    while (queued_at < s.queued.size() && s.queued[queued_at].lost) ++queued_at;
    if (topic.empty()) {
      ++s.stats.lost;
      if (queued_at < s.queued.size()) s.queued[queued_at].lost = true;
      return;
    }
    ++queued_at;
    queue_publish(s, topic, p.payload.data(), p.payload.size(), 0, p.retain, 0, false);
    ++s.stats.resent;
  });
}

// The connection is gone. QoS 0 records of which no byte was written go out on the next
// connection, in order and with the whole topic (an alias dies with its connection); one that
// was partly written is lost, as QoS 0 allows, and counted. Everything else in the queue is
// written again from the window.
void lose_connection(Session& s) {
  if (!s.connected) return;
  s.connected = false;
  unsigned char cut = 0;
  std::string unsent = transport_take_unsent(s.transport, &cut);
  drop_lost(s);
  if ((cut & 0xF6) == kPublishType) {
    ++s.stats.lost;
    if (!s.queued.empty()) s.queued.pop_front();
  }
  transport_close(s.transport);
  s.use_alias = false;
  s.max_packet = 0;
  requeue_qos0(s, unsent);
  drop_lost(s);
  s.skip = 0;
  s.ping_sent_ms = 0;
  if (s.established) begin_outage(s);
  s.established = false;
}

// A broker that takes QoS 2 records but answers them as QoS 1 breaks the protocol: the
// records cannot be delivered as asked, and sending them again would only repeat it.
void refuse_qos2(Session& s) {
  s.unsupported = true;
  s.limits.maximum_qos = 1;
  lose_connection(s);
}

// One packet from the broker, read at `now`.
void handle(Session& s, const Incoming& p, long long now) {
  if (p.type == kPingrespType) {
    s.ping_sent_ms = 0;
    return;
  }
  if (p.type == kDisconnectType) {
    printf("Broker disconnected: %s (0x%02X)\n", reason_name(p.reason), p.reason);
    lose_connection(s);
    return;
  }
  AckOutcome outcome = window_ack(s.window, p.type, p.packet_id, p.reason);
  if (outcome.wrong_kind) return refuse_qos2(s);
  if (outcome.progress) s.last_progress_ms = now;
  if (outcome.completed || outcome.refused) s.settled_ms = now;
  if (outcome.completed) {
    ++s.stats.acknowledged;
    s.reconnection.stable = true;
  }
  if (outcome.refused) {
    ++s.stats.refused;
    if (s.config.skip_refused) {
      s.refusals.push_back({outcome.seq, p.reason});
    } else if (s.refusal == 0) {
      s.refusal = p.reason;
      s.refused_seq = outcome.seq;
    }
  }
  // A PUBREC for no record still gets its PUBREL, but only while the queue has room: a broker
  // that sends them without end and reads nothing cannot grow it.
  if (outcome.unknown && transport_unwritten(s.transport) < kOutLimitBytes) {
    encode_pubrel(transport_append(s.transport, 5), p.packet_id, s.v5, kPacketIdentifierNotFound);
  }
}

// Reads what the broker sent and handles every whole packet. A packet that cannot be one a
// broker sends a publisher ends the connection, as the protocol asks. Returns whether any byte
// came in.
bool read_packets(Session& s) {
  Transport& t = s.transport;
  const size_t held = transport_input_len(t);
  bool open = transport_read(t);
  const bool got = transport_input_len(t) > held;
  const unsigned char* in = transport_input(t);
  size_t len = transport_input_len(t);
  size_t pos = std::min(s.skip, len);
  s.skip -= pos;
  // One look at the clock for all the packets of a read: at QoS 2 it was three a record.
  const long long now = pos < len ? now_ms() : 0;
  while (s.connected && pos < len) {
    Incoming p;
    long n = decode_packet(in + pos, len - pos, s.v5, &p);
    if (n == 0) break;
    if (n < 0) {
      lose_connection(s);
      return got;
    }
    handle(s, p, now);
    size_t size = static_cast<size_t>(n);
    if (pos + size > len) {  // the rest of a long packet is dropped as it comes
      s.skip = pos + size - len;
      pos = len;
    } else {
      pos += size;
    }
  }
  if (!s.connected) return got;
  transport_consume(t, pos);
  if (!open) lose_connection(s);
  return got;
}

// read_packets, then what the acknowledgements let out is queued. That carries our TCP ACK;
// without it one goes now, or the broker's next answers could wait for it under Nagle.
bool read_input(Session& s) {
  bool got = read_packets(s);
  pump(s);
  if (s.connected && got && transport_unwritten(s.transport) == 0) {
    transport_ack_now(s.transport);
  }
  return got;
}

// A PINGREQ after a keep-alive interval without output. A broker that leaves it unanswered
// for half an interval while nothing more could be written is gone, even when the connection
// looks open (a half-open link): the loss is seen within one and a half intervals of the last
// exchange. A slow link that still takes bytes is not given up on. Returns when the next
// keep-alive action is due.
long long keep_alive(Session& s) {
  if (!s.connected || s.keepalive_ms <= 0) return kNoDeadline;
  long long now = now_ms();
  if (s.ping_sent_ms != 0) {
    long long due = std::max(s.ping_sent_ms, s.last_out_ms) + s.keepalive_ms / 2;
    if (due > now) return due;
    lose_connection(s);
    return kNoDeadline;
  }
  long long due = s.last_out_ms + s.keepalive_ms;
  if (due > now) return due;
  encode_pingreq(transport_append(s.transport, 2));
  s.ping_sent_ms = now;
  return now + s.keepalive_ms / 2;
}

// What ended one wait of service().
struct Woken {
  short fd_events = 0;  // on the caller's descriptor
  bool interrupted = false;
  bool failed = false;  // poll failed (errno set)
};

// Waits until `deadline` for the broker socket and for `fd` (when >= 0), then services the
// connection: reads what arrived, writes what is queued, keeps it alive.
Woken service(Session& s, int fd, long long deadline) {
  Woken woken;
  bool was_connected = s.connected;
  long long due = keep_alive(s);
  // An unanswered keep-alive ended the connection: the caller learns it before any wait.
  if (was_connected && !s.connected) return woken;
  pump(s);
  flush(s);  // whatever is ready goes out before any wait
  // A write that found the connection gone: the caller learns it before any wait.
  if (s.connected && s.transport.broken) {
    lose_connection(s);
    return woken;
  }
  deadline = earlier(deadline, due);
  if (transport_readable_now(s.transport)) deadline = now_ms();
  pollfd fds[3];
  nfds_t n = 0;
  if (fd >= 0) fds[n++] = {fd, POLLIN, 0};
  int sock = s.connected ? transport_fd(s.transport) : -1;
  if (sock >= 0) fds[n++] = {sock, transport_events(s.transport), 0};
  // an attempt under way on its thread: its end wakes the wait
  if (s.attempt != nullptr) fds[n++] = {attempt_fd(*s.attempt), POLLIN, 0};
  if (wait_poll(fds, n, deadline) < 0) {
    woken.interrupted = take_interruption();
    woken.failed = !woken.interrupted;
    return woken;
  }
  short ev = sock >= 0 ? fds[n - 1].revents : 0;
  if (ev != 0) transport_woken(s.transport);
  if ((ev & (POLLIN | POLLHUP | POLLERR)) || transport_readable_now(s.transport)) read_input(s);
  if (ev & POLLOUT) flush(s);
  if (s.connected && s.transport.broken) lose_connection(s);
  if (fd >= 0) woken.fd_events = fds[0].revents;
  return woken;
}

// Services the connection until `done` holds. Returns false when the connection is lost
// first, or when `timeout_ms` pass without progress.
template <typename Done>
bool wait_until(Session& s, int timeout_ms, Done done) {
  s.last_progress_ms = now_ms();
  for (;;) {
    pump(s);
    flush(s);
    if (!s.connected) return false;
    if (done()) return true;
    long long deadline = s.last_progress_ms + timeout_ms;
    if (now_ms() >= deadline || service(s, -1, deadline).failed) return false;
  }
}

// Takes over a connection the broker accepted, with what it granted.
void start_connection(Session& s, Connection& conn, bool session_kept) {
  transport_open(s.transport, std::move(conn.layer), conn.early_input);
  s.connected = true;
  s.ever_connected = true;
  ++s.stats.connections;
  s.reconnection.connected_ms = now_ms();
  s.reconnection.stable = false;
  s.max_packet = s.v5 ? conn.maximum_packet_size : 0;
  s.use_alias = s.v5 && conn.topic_alias_maximum > 0;
  s.aliases.reset(s.v5 ? conn.topic_alias_maximum : 0);
  int keepalive =
      s.v5 && conn.server_keepalive >= 0 ? conn.server_keepalive : s.config.request.keepalive;
  s.keepalive_ms = keepalive * 1000LL;
  s.last_out_ms = now_ms();
  s.ping_sent_ms = 0;
  s.skip = 0;
  Window& w = s.window;
  if (s.v5) {
    w.quota =
        std::min<size_t>(conn.receive_maximum != 0 ? conn.receive_maximum : 65535, kWindowRecords);
    w.qos2_quota = std::min(w.quota, kMaxQos2WindowRecords);
  } else {
    w.quota = kWindowRecords;
    w.qos2_quota = kQos2WindowRecords;
  }
  size_t slots = s.config.qos == 2 ? w.qos2_quota : w.quota;
  s.stats.resent += window_restart(w, session_kept, slots, &s.resend_last);
  // Records an earlier run had in flight belong to the broker's session of that run: without
  // it they go again as new.
  if (s.resumed && !session_kept && window_pending(w) > 0) {
    printf("Broker kept no session: %zu records go again as new\n", window_pending(w));
  }
  s.resumed = false;
}

// Whether the broker takes the records as they are asked for (MQTT 5 CONNACK).
bool takes_records(Session& s, const Connection& conn) {
  s.limits.maximum_qos = conn.maximum_qos;
  s.limits.retain = conn.retain_available;
  return s.config.qos <= conn.maximum_qos && (!s.config.retain || conn.retain_available);
}

// How a connection attempt ended.
enum class Attempt {
  kMade,
  kNoConnection,  // the broker could not be reached, or refused the connection
  kDropped,       // the broker accepted it, then dropped it over the records sent again
};

// The request of the next connection attempt, announced.
ConnectRequest next_request(Session& s) {
  printf("Connecting\n");
  ConnectRequest request = s.config.request;
  if (!s.config.brokers.empty()) {
    const Endpoint& broker = s.config.brokers[s.reconnection.broker];
    if (s.config.name_brokers) printf("Trying %s\n", endpoint_text(broker).c_str());
    request.host = broker.host;
    request.port = broker.port;
  }
  // A kept session is resumed from the second connection of the run on; the first starts
  // clean, so that nothing of an earlier run can mix with this one's packet identifiers.
  request.clean_start =
      !(request.session_expiry >= 0 && (s.ever_connected || s.config.resume_first));
  return request;
}

// What an attempt comes to once connect_broker has ended (`made`: the broker accepted it;
// `resumes`: it asked for the broker's kept session). The records sent again on a new
// connection must be answered (PUBACK, PUBREC) before it counts as made, so that a broker
// that drops the connection over one of them fails the attempt instead of taking new records
// meanwhile.
Attempt conclude(Session& s, bool made, Connection& conn, bool resumes) {
  if (!made) return Attempt::kNoConnection;
  if (!takes_records(s, conn)) {
    s.unsupported = true;
    return Attempt::kNoConnection;
  }
  start_connection(s, conn, s.v5 && resumes && conn.session_present);
  bool resent = wait_until(s, kConnectTimeoutMs, [&s] {
    return s.resend_last == 0 || window_answered(s.window, s.resend_last);
  });
  if (!resent) {
    // Still open: linecast's own time-out gave up on the answers, not the broker.
    if (!s.unsupported) {
      s.error.failure = s.connected ? ConnectFailure::kTimeout : ConnectFailure::kClosed;
    }
    lose_connection(s);
    return Attempt::kDropped;
  }
  s.established = true;
  s.last_progress_ms = now_ms();
  return Attempt::kMade;
}

// An attempt ended: counted as the policy says (`free`: this one was not), and the next one
// timed. A signal during it still goes back to the caller.
Outcome after_attempt(Session& s, Attempt a, bool free) {
  Reconnection& r = s.reconnection;
  if (a != Attempt::kMade) {
    if ((!free || a == Attempt::kDropped) && r.attempts_left > 0) --r.attempts_left;
    if (s.unsupported) return Outcome::kUnsupported;
    after_failed_attempt(s);
    if (s.hurried) r.next_attempt_ms = now_ms();
  }
  s.hurried = false;
  return take_interruption() ? Outcome::kInterrupted : Outcome::kDone;
}

// Starts a connection attempt. `apart`: on a thread of its own, so that the caller's waits go
// on meanwhile (its input is read) instead of being held up for as long as the broker takes to
// answer; its end is taken up by a later step. Otherwise, or when no thread can be started,
// the attempt is made here and runs its course (a stop request does not cut it short).
Outcome begin_attempt(Session& s, bool free, bool apart) {
  const ConnectRequest request = next_request(s);
  const long long deadline = now_ms() + kConnectTimeoutMs;
  const bool resumes = request.session_expiry >= 0;
  if (apart) s.attempt = start_attempt(request, deadline);
  if (s.attempt != nullptr) {
    s.attempt_free = free;
    s.attempt_resumes = resumes;
    return Outcome::kDone;
  }
  Connection conn;
  bool made = connect_broker(request, deadline, &conn, &s.error);
  return after_attempt(s, conclude(s, made, conn, resumes), free);
}

// The attempt under way on its thread has ended.
Outcome end_attempt(Session& s) {
  Connection conn;
  bool made = attempt_result(*s.attempt, &conn, &s.error);
  s.attempt = nullptr;
  return after_attempt(s, conclude(s, made, conn, s.attempt_resumes), s.attempt_free);
}

// Whether the session should be connected now: always with --reconnect, by default only when
// a record or the end needs it or records are outstanding.
bool wants_connection(const Session& s, bool needed) {
  return needed || s.config.reconnect != 0 || pending(s) || s.waiting;
}

// From a store, PUBRELs at the gate wait for the caller.
bool releases_gated(Session& s) {
  if (!s.config.gate_releases || s.window.releases_count == 0) return false;
  window_gated_releases(s.window, &s.gated);
  return !s.gated.empty();
}

// One round of any wait: connects when the policy says so; otherwise services the connection,
// sleeps out the back-off, or waits for the attempt under way, until something happens, `fd` is
// ready or `deadline` passes. `apart`: attempts go on a thread of their own. Returns kDone
// after a round that may have changed what the caller waits for.
Outcome step(Session& s, int fd, long long deadline, bool need_connection, bool apart = true,
             bool at_once = false) {
  if (s.unsupported) return Outcome::kUnsupported;
  Reconnection& r = s.reconnection;
  long long wake = at_once ? now_ms() : deadline;
  if (s.attempt != nullptr) {
    if (attempt_ended(*s.attempt)) return end_attempt(s);
  } else if (!s.connected && wants_connection(s, need_connection)) {
    if (r.attempts_left == 0 && !r.free_attempt) return Outcome::kConnectFailed;
    if (now_ms() >= r.next_attempt_ms) {
      // An attempt at once upon a loss that does not reach the broker (still restarting, say)
      // leaves the one reconnection of the default policy for when it is needed.
      bool free = r.free_attempt;
      r.free_attempt = false;
      return begin_attempt(s, free, apart);
    }
    wake = earlier(deadline, r.next_attempt_ms);
  }
  Woken woken = service(s, fd, wake);
  if (woken.failed) return Outcome::kFailed;
  if (woken.interrupted) return Outcome::kInterrupted;
  if (woken.fd_events & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) return Outcome::kInput;
  if (deadline != kNoDeadline && now_ms() >= deadline) return Outcome::kTimedOut;
  return Outcome::kDone;
}

// Whether one more record of `len` bytes fits: at QoS 1 and 2 into the window (drained to
// `records` and `bytes`), at QoS 0 behind the unwritten output.
bool has_room(const Session& s, size_t len, size_t records, size_t bytes) {
  if (s.config.qos > 0) return window_has_room(s.window, len, records, bytes);
  return transport_unwritten(s.transport) <= kOutLimitBytes;
}

// Whether record `seq` of `len` bytes fits now: within `records` and `bytes`, and with its
// packet identifier free.
bool room_for(Session& s, uint64_t seq, size_t len, size_t records, size_t bytes) {
  if (!has_room(s, len, records, bytes)) return false;
  return s.config.qos == 0 || !window_id_in_use(s.window, seq);
}

// From a store with records waiting: the record it last asked about would be taken now.
bool store_has_room(Session& s) {
  if (!s.waiting || !s.connected) return false;
  return s.store_full ? room_for(s, s.asked_seq, s.asked_len, kWindowRecords / 2, kWindowBytes / 2)
                      : room_for(s, s.asked_seq, s.asked_len, kWindowRecords, kWindowBytes);
}

// What the acknowledgements so far let out goes now, and the session pauses a moment so that
// the broker works on it and its acknowledgements come back in a batch, which it then reads
// without a poll. Returns whether it read anything; if not, the caller waits in the poll.
//
// A broker that grants few records in flight (a narrow window) holds all but the first answer
// to a batch under Nagle's algorithm until our TCP ACK comes. When the write of what the first
// answers let out was that ACK, the window split into two batches that took turns, each a
// write, a pause and a read for ten of mosquitto's twenty QoS 2 records. So after the pause a
// read empties the socket, an immediate ACK then lets out what the broker holds (the kernel
// sends it only once the socket is read empty) and a second read takes it: one round, one
// write and one pause for the whole window.
bool gather(Session& s) {
  pump(s);
  flush(s);
  if (!s.connected || s.transport.broken) return false;
  size_t quota = s.config.qos == 2 ? s.window.qos2_quota : s.window.quota;
  if (quota > kNarrowQuota) {
    // A wide window keeps the broker busy without an immediate ACK from us (one per read was
    // a system call per few records).
    timespec pause{0, kGatherPauseNs};
    nanosleep(&pause, nullptr);
    bool got = read_packets(s);
    pump(s);
    return got && s.connected;
  }
  timespec pause{0, s.narrow_pause_ns};
  nanosleep(&pause, nullptr);
  bool got = read_packets(s);
  if (got && s.connected && s.window.awaiting > 0) {
    transport_ack_now(s.transport);
    read_packets(s);
  }
  // A round whose answers are not all in writes what the others let out at once, which keeps
  // the broker busy, and the next round's pause is longer; the batches join again in a round
  // long enough for all the answers. The pause grows fast and shrinks slowly, so that it stays
  // just above what the broker takes and most rounds find every answer: with steps of an
  // eighth both ways it hovered at the broker's time and half the rounds came short, 1.7
  // rounds (a pause, two reads, an immediate ACK, often a write) for each window's worth.
  long& pause_ns = s.narrow_pause_ns;
  pause_ns = s.window.awaiting == 0 ? std::max(kMinNarrowPauseNs, pause_ns - pause_ns / 32)
                                    : std::min(kMaxNarrowPauseNs, pause_ns + pause_ns / 4);
  pump(s);
  return got && s.connected;
}

// Sends DISCONNECT, giving it a moment to leave, and closes the connection.
void disconnect(Session& s) {
  encode_disconnect(transport_append(s.transport, 2));
  long long deadline = now_ms() + kDisconnectWriteMs;
  for (flush(s); transport_writing(s.transport); flush(s)) {
    pollfd p{transport_fd(s.transport), POLLOUT, 0};
    if (wait_poll(&p, 1, deadline) <= 0 && errno != EINTR) break;
    transport_woken(s.transport);
  }
  transport_discard_output(s.transport);
  s.connected = false;
  transport_close(s.transport);
}

}  // namespace

void SessionDeleter::operator()(Session* session) const { delete session; }

SessionPtr make_session(const SessionConfig& config) {
  SessionPtr s(new Session);
  s->config = config;
  s->v5 = config.request.protocol_version == 5;
  s->window.slot_until_complete = s->v5;
  s->window.release_gate = config.gate_releases;
  Reconnection& r = s->reconnection;
  // After the first attempt, which does not count; by default the first connection tries
  // every broker once.
  r.attempts_left = config.reconnect == 0 ? one_round(*s) - 1 : config.reconnect;
  r.free_attempt = true;
  r.next_attempt_ms = now_ms();
  return s;
}

Outcome session_start(Session& s, long long deadline) {
  while (!s.connected) {
    // Nothing is read meanwhile: the attempts are made here, each running its course.
    Outcome o = step(s, -1, deadline, true, false);
    if (o != Outcome::kDone) return o;
  }
  return Outcome::kDone;
}

Outcome session_publish(Session& s, uint64_t seq, std::string_view topic, std::string_view payload,
                        long long deadline) {
  const int qos = s.config.qos;
  const size_t len = payload.size();
  const size_t held = topic.size() + len;  // what the window keeps of the record
  // Once the window is full it drains to half before publishing goes on, so that records and
  // their acknowledgements move in batches rather than one system call each.
  bool full = qos > 0 && !window_has_room(s.window, held, kWindowRecords, kWindowBytes);
  size_t records = full ? kWindowRecords / 2 : kWindowRecords;
  size_t bytes = full ? kWindowBytes / 2 : kWindowBytes;
  for (;;) {
    if (s.refusal != 0) return Outcome::kRefused;
    if (s.connected) {
      PublishHeader whole;
      whole.topic = topic;
      whole.qos = qos;
      whole.v5 = s.v5;
      whole.properties = s.config.properties;
      size_t size = publish_size(whole, len);
      if (size == 0 || (s.max_packet != 0 && size > s.max_packet)) return Outcome::kTooLarge;
      if (room_for(s, seq, held, records, bytes)) break;
      if (qos > 0 && gather(s)) continue;
    }
    Outcome o = step(s, -1, deadline, true);
    if (o != Outcome::kDone) return o;
  }
  if (qos == 0) {
    queue_publish(s, topic, payload.data(), len, 0, s.config.retain, 0, false);
    s.queued.push_back({seq, false});
  } else {
    window_add(s.window, seq, topic, payload.data(), len, qos, s.config.retain);
    pump(s);
  }
  s.last_seq = seq;
  ++s.stats.published;
  s.stats.bytes += len;
  if (transport_unwritten(s.transport) >= kFlushBytes) flush(s);
  return Outcome::kDone;
}

Outcome session_wait(Session& s, int fd, long long deadline) {
  const uint64_t settled = settled_seq(s);
  for (;;) {
    if (s.refusal != 0) return Outcome::kRefused;
    // Skipped refusals: back for the caller to report them.
    if (!s.refusals.empty()) return Outcome::kProgress;
    // What is ready goes out first, so that records it settles are seen before any sleep.
    pump(s);
    flush(s);
    // From a store: back for the gated PUBRELs, for room for the record the store holds
    // (once a full window has drained to half), and for each settled record, which the store
    // then lets go at once.
    if (s.config.from_store &&
        (releases_gated(s) || settled_seq(s) != settled || store_has_room(s))) {
      return Outcome::kProgress;
    }
    // What a gathering round read is looked at after a poll that does not wait (it lets
    // signals in), not after a waiting one: a round that read the answers to every record in
    // flight leaves nothing to wake that poll, and PUBRECs whose PUBRELs wait at the gate
    // would wait for the broker's next packet, which Nagle's algorithm there may hold back a
    // delayed ACK long (40 ms) when a proxy or relay stands between us.
    const bool gathered = s.store_full && s.connected && s.config.qos > 0 && gather(s);
    Outcome o = step(s, fd, deadline, false, true, gathered);
    if (o != Outcome::kDone) return o;
  }
}

void session_disconnect(Session& s) {
  s.attempt = nullptr;  // an attempt under way is given up
  if (s.connected) disconnect(s);
}

Outcome session_drain(Session& s, long long deadline) {
  unsigned rounds = 0;
  for (;;) {
    pump(s);
    flush(s);
    if (!pending(s)) break;
    if (releases_gated(s)) return Outcome::kProgress;
    // As while publishing: acknowledgements are gathered in rounds, not woken for one by one;
    // every few rounds the poll lets signals in and sees the deadline.
    if (s.connected && s.config.qos > 0 && ++rounds % kRoundsBetweenPolls != 0 && gather(s)) {
      continue;
    }
    Outcome o = step(s, -1, deadline, true);
    if (o != Outcome::kDone) return o;
  }
  if (s.connected) disconnect(s);
  return Outcome::kDone;
}

void session_add_resumed(Session& s, uint64_t seq, std::string_view topic, std::string_view payload,
                         bool released) {
  window_add_sent(s.window, seq, topic, payload.data(), payload.size(), s.config.qos,
                  s.config.retain, released);
  s.resumed = true;
  ++s.stats.published;
  s.stats.bytes += payload.size();
}

bool session_has_room(Session& s, uint64_t seq, size_t len) {
  s.asked_seq = seq;
  s.asked_len = len;
  if (!s.connected) return false;
  // As for session_publish: once full, the window drains to half before it takes more, so
  // that records and acknowledgements move in batches.
  bool room = s.store_full ? room_for(s, seq, len, kWindowRecords / 2, kWindowBytes / 2)
                           : room_for(s, seq, len, kWindowRecords, kWindowBytes);
  s.store_full = !room;
  return room;
}

void session_set_waiting(Session& s, bool waiting) { s.waiting = waiting; }

void session_settled(Session& s, Settled* settled) {
  settled->watermark = settled_seq(s);
  window_gated_releases(s.window, &settled->released);
}

void session_release(Session& s, const std::vector<uint64_t>& seqs) {
  for (uint64_t seq : seqs) window_open_release(s.window, seq);
  pump(s);
  flush(s);
}

bool session_connected(const Session& s) { return s.connected; }

bool session_outage(const Session& s) { return !s.connected && pending(s); }

void session_hurry(Session& s) {
  s.reconnection.next_attempt_ms = now_ms();
  s.hurried = s.attempt != nullptr;  // its failure must not put the next one off
}

const ConnectError& session_connect_error(const Session& s) { return s.error; }

uint8_t session_refusal(const Session& s) { return s.refusal; }

uint64_t session_refused_seq(const Session& s) { return s.refused_seq; }

void session_take_refusals(Session& s, std::vector<Refusal>* into) {
  into->clear();
  into->swap(s.refusals);
}

Unsupported session_unsupported(const Session& s) { return s.limits; }

long long session_last_progress(const Session& s) { return s.settled_ms; }

SessionStats session_stats(const Session& s) {
  SessionStats st = s.stats;
  st.in_flight = st.published - st.acknowledged - st.lost - st.refused;
  return st;
}
