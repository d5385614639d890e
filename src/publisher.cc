// The linecast program: start-up, the read-publish loop, the orderly end, and the signals:
// SIGINT, SIGTERM and SIGHUP ask for an orderly end, SIGUSR1 for counters. main owns the stop
// request and the one stop clock; the session's waits come back to it when a signal arrives.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include <openssl/crypto.h>

#include "mqtt_packets.h"
#include "notify.h"
#include "pacing.h"
#include "record_reader.h"
#include "session.h"
#include "settings.h"
#include "spool.h"
#include "topics.h"
#include "wait.h"

namespace {

// Once a stop request or the end of input has been seen, the run gives up when this long
// passes without a record moving on its way.
constexpr int kDrainTimeoutMs = 10000;
// After a stop request, a record already begun gets this long for the rest of its bytes.
constexpr int kRecordTimeoutMs = 10000;
// The most QoS 2 records a run has in flight: as many as an earlier run may have left there.
constexpr size_t kMostInFlightQos2 = 256;
// Under systemd, how often the status line with the counters is brought up to date.
constexpr long long kStatusIntervalMs = 5000;

volatile std::sig_atomic_t stop_requested = 0;
volatile std::sig_atomic_t counters_requested = 0;

void on_stop_signal(int) {
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigaction(SIGINT, &default_action, nullptr);  // a second interrupt ends the process at once
  stop_requested = 1;
}

void on_counters_signal(int) { counters_requested = 1; }

Spool* the_spool = nullptr;  // for the ends that leave records in it

// The spool's last words: the records it dropped, and those it keeps when `kept`.
void say_what_the_spool_keeps(const SpoolCounters& c, bool kept) {
  if (c.dropped > 0) {
    printf("%llu records dropped from the spool\n", static_cast<unsigned long long>(c.dropped));
  }
  if (kept && c.records > 0) {
    printf("%llu records stay in the spool\n", static_cast<unsigned long long>(c.records));
  }
}

// Ends the process at once with status -1 after a fixed message; nothing is released. Records
// in the spool stay there, made durable, for the next run.
[[noreturn]] void fail(const char* message) {
  fputs(message, stdout);
  if (the_spool != nullptr) {
    SpoolCounters c = spool_counters(*the_spool);
    say_what_the_spool_keeps(c, spool_sync(*the_spool) == kSpoolOk);
  }
  fflush(stdout);
  exit(-1);
}

// What the program keeps for the run.
struct Run {
  SessionPtr session;
  RecordReader reader;
  std::string_view prefix;  // the command line's topic
  std::string topic;        // of the record at hand with --topic-separator
  unsigned long long records_read = 0;
  unsigned long long records_routed = 0;  // given their topic, in input order
  unsigned long long not_published = 0;   // records whose topic no broker takes
  long long end_seen_ms = 0;  // when a stop request or the end of input was first seen
  long long last_input_ms = 0;
  bool stopping_said = false;
  // With --spool: records go through it, and from it to the session as room allows.
  SpoolPtr spool;
  bool spool_more = false;  // flushed records spool_next has not returned yet
  bool in_hand = false;     // a record taken from the spool that waits for room
  uint64_t hand_seq = 0;
  std::string hand;
  std::string_view hand_topic, hand_payload;
  uint64_t damaged_at_start = 0;
  // Records taken from the spool and not yet settled, in order; `counted`: the session has
  // it (a record left out for its topic settles at once, in its turn).
  struct Taken {
    uint64_t seq;
    bool counted;
  };
  std::deque<Taken> taken;
  std::vector<uint64_t> resumed;  // records an earlier run released, ascending
  uint64_t settled_seen = 0;  // session_settled at the last look
  // Running as a service: systemd's notifications, the counters on a timer, the pace.
  Notifier notifier;
  long long next_stats_ms = 0;
  long long next_status_ms = 0;
  Pacer pacer;
  bool pace_held = false;  // a record from the spool waits for the pace
  // The number of each record handed to the session and not yet settled (QoS 1 and 2), the
  // first of them the session's record `numbers_first`: refusals name records by number.
  std::deque<unsigned long long> numbers;
  uint64_t numbers_first = 1;
  std::vector<Refusal> refusals;   // session_take_refusals's list, kept for its room
  uint64_t refused_at = 0;         // under --refused stop, the session's record refused first
  unsigned long long refused = 0;  // under --refused skip, records left behind
};


// The one stop clock: from the stop request or the end of input on, waits end once 10 s pass
// without a record moving on its way.
long long stop_deadline(const Run& run) {
  if (run.end_seen_ms == 0) return kNoDeadline;
  return std::max(run.end_seen_ms, session_last_progress(*run.session)) + kDrainTimeoutMs;
}

bool gave_up(const Run& run) { return run.end_seen_ms != 0 && now_ms() >= stop_deadline(run); }

void start_stop_clock(Run& run) {
  if (run.end_seen_ms == 0) run.end_seen_ms = now_ms();
}

// The counters line, without its line feed: for SIGUSR1, --stats-interval and systemd's status.
std::string counters_line(const Run& run) {
  SessionStats s = session_stats(*run.session);
  char line[512];
  int n = snprintf(
      line, sizeof line,
      "read=%llu published=%llu acknowledged=%llu in_flight=%llu resent=%llu "
      "connections=%llu bytes_published=%llu",
      run.records_read, static_cast<unsigned long long>(s.published),
      static_cast<unsigned long long>(s.acknowledged), static_cast<unsigned long long>(s.in_flight),
      static_cast<unsigned long long>(s.resent), static_cast<unsigned long long>(s.connections),
      static_cast<unsigned long long>(s.bytes));
  if (run.spool != nullptr) {
    SpoolCounters c = spool_counters(*run.spool);
    n += snprintf(line + n, sizeof line - n, " spool_records=%llu spool_bytes=%llu dropped=%llu",
                  static_cast<unsigned long long>(c.records),
                  static_cast<unsigned long long>(c.bytes),
                  static_cast<unsigned long long>(c.dropped));
  }
  if (settings.refused == kRefusedSkip) {
    snprintf(line + n, sizeof line - n, " refused=%llu", run.refused);
  }
  return line;
}

void print_counters(const Run& run) {
  if (!counters_requested) return;
  counters_requested = 0;
  printf("%s\n", counters_line(run).c_str());
}

// Under systemd: the status when due, and the watchdog's look at the run and its ping. Returns
// when the next is due.
long long notify_round(Run& run, long long now) {
  Notifier& n = run.notifier;
  if (now >= run.next_status_ms) {
    notify_send(n, "STATUS=" + counters_line(run));
    run.next_status_ms = now + kStatusIntervalMs;
  }
  SessionStats s = session_stats(*run.session);
  Health h;
  h.connected = session_connected(*run.session);
  h.waiting = s.in_flight > 0 || run.in_hand;
  h.settled = s.acknowledged + s.refused + s.lost;
  watchdog_observe(n, h, now);
  return earlier(run.next_status_ms, watchdog_tick(n, now));
}

// The timers of each turn of the loop: the counters line every --stats-interval, systemd's
// status and watchdog, and the pace a record from the spool waits for. Returns when the next
// is due: waits end then, so that the loop turns.
long long timer_deadline(Run& run) {
  if (settings.stats_interval == 0 && !notify_active(run.notifier) && !run.pace_held) {
    return kNoDeadline;
  }
  long long now = now_ms();
  long long next = kNoDeadline;
  if (settings.stats_interval > 0) {
    if (now >= run.next_stats_ms) {
      printf("%s\n", counters_line(run).c_str());
      run.next_stats_ms = now + settings.stats_interval * 1000LL;
    }
    next = run.next_stats_ms;
  }
  if (notify_active(run.notifier)) next = earlier(next, notify_round(run, now));
  if (run.pace_held) next = earlier(next, pacer_next(run.pacer, now));
  return next;
}

// The deadline of a wait: the stop clock's or the next timer's.
long long wait_deadline(Run& run) { return earlier(stop_deadline(run), timer_deadline(run)); }

// A wait came back for a signal: the counters when asked for; a stop request starts the stop
// clock, and a connection down with records to deliver is tried again at once.
void on_wake(Run& run) {
  print_counters(run);
  if (stop_requested && run.end_seen_ms == 0) {
    notify_stopping(run.notifier);
    start_stop_clock(run);
    session_hurry(*run.session);
  }
}

void say_stopping(Run& run) {
  if (!run.stopping_said) printf("Stopping\n");
  run.stopping_said = true;
  notify_stopping(run.notifier);
}

// The number of the session's record `record` (from 1).
unsigned long long record_number(const Run& run, uint64_t record) {
  uint64_t at = record - run.numbers_first;
  return record >= run.numbers_first && at < run.numbers.size() ? run.numbers[at] : 0;
}

// The records the broker refused since the last look: under --refused skip one line each; under
// stop the first is kept, to stay in the spool. Then the numbers of settled records go.
void take_refusals(Run& run) {
  session_take_refusals(*run.session, &run.refusals);
  for (const Refusal& r : run.refusals) {
    if (settings.refused == kRefusedSkip) {
      printf("Record %llu refused by the broker: %s (0x%02X)\n", record_number(run, r.record),
             reason_name(r.reason), r.reason);
      ++run.refused;
    } else if (run.refused_at == 0) {
      run.refused_at = r.record;
    }
  }
  uint64_t settled = session_settled(*run.session);
  if (run.refused_at != 0) settled = std::min(settled, run.refused_at - 1);
  for (; run.numbers_first <= settled && !run.numbers.empty(); ++run.numbers_first) {
    run.numbers.pop_front();
  }
}

// A record handed to the session: its number, for a refusal to name.
void note_number(Run& run) {
  if (settings.qos > 0) run.numbers.push_back(run.records_routed);
}

void report_refusal(Run& run) {
  uint8_t reason = session_refusal(*run.session);
  printf("Broker refused a record: %s (0x%02X)\n", reason_name(reason), reason);
  take_refusals(run);
  if (run.spool != nullptr && run.refused_at != 0) {
    printf("Record %llu stays in the spool: run once with --refused skip to move past it\n",
           record_number(run, run.refused_at));
  }
}

void report_unsupported(const Run& run) {
  Unsupported u = session_unsupported(*run.session);
  if (settings.qos > u.maximum_qos) {
    printf("Broker does not take QoS %d records: try --qos %d\n", settings.qos, u.maximum_qos);
  } else {
    printf("Broker does not take retained records\n");
  }
}

[[noreturn]] void end_with(Run& run, Outcome outcome);

void settle(Run& run);

void spool_round(Run& run);

// Hands over everything still in flight, then disconnects.
void drain(Run& run) {
  start_stop_clock(run);
  for (;;) {
    Outcome o = session_drain(*run.session, wait_deadline(run));
    if (o == Outcome::kDone) return;
    if (o == Outcome::kProgress) spool_round(run);
    if (o == Outcome::kInterrupted) on_wake(run);
    if (o == Outcome::kTimedOut && gave_up(run)) fail("Failed to deliver all records\n");
    if (o != Outcome::kInterrupted && o != Outcome::kTimedOut && o != Outcome::kProgress) {
      end_with(run, o);
    }
  }
}

// Ends a run that cannot go on. Records published before a refusal are still handed over.
[[noreturn]] void end_with(Run& run, Outcome outcome) {
  switch (outcome) {
    case Outcome::kConnectFailed:
      // A stop request during an outage ends as an orderly end that could not deliver.
      if (stop_requested && settings.reconnect != 0) {
        say_stopping(run);
        fail("Failed to deliver all records\n");
      }
      if (settings.verbose) {
        printf("Reason: %s\n", failure_text(session_connect_error(*run.session)).c_str());
      }
      fail("Failed to connect\n");
    case Outcome::kRefused:
      report_refusal(run);
      drain(run);
      if (run.spool != nullptr) settle(run);  // what was handed over before it leaves
      fail("");
    case Outcome::kTooLarge:
      drain(run);
      fail("");
    case Outcome::kUnsupported:
      report_unsupported(run);
      fail("");
    case Outcome::kTimedOut:
      say_stopping(run);
      fail("Failed to deliver all records\n");
    default:
      fail("Failed to publish\n");
  }
}

// Standard input, waited on together with the broker's socket, so that the connection is kept
// alive, and a lost one made again, while the input is idle.
struct StdinSource : ByteSource {
  Run& run;
  explicit StdinSource(Run& r) : run(r) {}

  ssize_t read(unsigned char* buf, size_t len) override {
    for (;;) {
      long long deadline = kNoDeadline;
      if (stop_requested) {
        // No byte of a next record yet: the orderly end starts now. A record already begun
        // gets the rest of its bytes, but ends as at end of input when they stop coming.
        if (reader_held(run.reader) == 0) return 0;
        deadline = std::max(run.end_seen_ms, run.last_input_ms) + kRecordTimeoutMs;
        if (now_ms() >= deadline) return 0;
      }
      if (run.spool != nullptr) spool_round(run);
      Outcome o = session_wait(*run.session, STDIN_FILENO, earlier(deadline, timer_deadline(run)));
      take_refusals(run);  // said while the input is idle
      if (o == Outcome::kInput) {
        ssize_t got = ::read(STDIN_FILENO, buf, len);
        if (got > 0) run.last_input_ms = now_ms();
        if (got >= 0 || (errno != EINTR && errno != EAGAIN)) return got;
      } else if (o == Outcome::kInterrupted) {
        on_wake(run);
      } else if (o != Outcome::kTimedOut && o != Outcome::kProgress) {
        end_with(run, o);
      }
    }
  }
};

// One line for a record left out for its topic. The topic may hold any byte: control bytes,
// and every byte above ASCII when they do not make well-formed text, are shown as \xNN.
void report_unpublished(unsigned long long number, std::string_view topic, TopicProblem problem) {
  bool raw_high = problem != TopicProblem::kNotUtf8 && problem != TopicProblem::kControlCharacter;
  std::string shown;
  for (char c : topic) {
    auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F || (b >= 0x80 && !raw_high)) {
      char hex[5];
      snprintf(hex, sizeof hex, "\\x%02X", b);
      shown += hex;
    } else {
      shown += c;
    }
  }
  printf("Record %llu not published: topic \"%s\" %s\n", number, shown.c_str(),
         topic_problem_text(problem));
}

// Hands one record to the session, waiting for room as long as the run allows.
void publish(Run& run, std::string_view topic, std::string_view payload) {
  for (;;) {
    Outcome o =
        session_publish(*run.session, topic, payload.data(), payload.size(), wait_deadline(run));
    if (o == Outcome::kDone) {
      note_number(run);
      return take_refusals(run);
    }
    if (o == Outcome::kInterrupted) {
      on_wake(run);
      continue;
    }
    if (o == Outcome::kTimedOut && !gave_up(run)) continue;  // records moved meanwhile
    if (o == Outcome::kTooLarge) {
      printf("Record of %d bytes is larger than the broker takes\n",
             static_cast<int>(payload.size()));
    }
    end_with(run, o);
  }
}

// The topic and payload of a record: with --topic-separator the record names its topic after
// the command line's. False, after a line saying so, when no broker takes that topic.
bool route(Run& run, std::string_view record, std::string_view* topic,
           std::string_view* payload) {
  ++run.records_routed;
  *topic = run.prefix;
  *payload = record;
  if (settings.topic_separator < 0) return true;
  *payload = split_record(record, static_cast<char>(settings.topic_separator), run.prefix,
                          &run.topic);
  *topic = run.topic;
  TopicProblem problem = topic_problem(*topic);
  if (problem == TopicProblem::kNone) return true;
  report_unpublished(run.records_routed, *topic, problem);
  ++run.not_published;
  return false;
}

// Publishes a record read from the input, or with --spool puts it in the spool.
void deliver(Run& run, std::string_view record);

// Reads records and delivers them until the input ends: at its end, on a read error, or by a
// stop request once no record is begun. Every byte read is delivered first. Returns the last
// read_record result.
int publish_loop(Run& run) {
  StdinSource input(run);
  Record record;
  int status;
  while ((status = read_record(run.reader, input, &record)) > 0) {
    ++run.records_read;
    deliver(run, std::string_view(reinterpret_cast<const char*>(record.data), record.len));
    print_counters(run);
  }
  return status;
}

// ---------------------------------------------------------------------------------------------
// With --spool every record goes to disk first, and from there to the session as it has room,
// so that the input is read on while the broker is away or slow.

// A spool that cannot be written: what the session took is still handed over; the spool keeps
// the rest.
[[noreturn]] void spool_failed(Run& run) {
  printf("%s\n", spool_error(*run.spool).c_str());
  say_stopping(run);
  drain(run);
  fail("");
}

// Records the session settled leave the spool: its watermark moves past them, once per look.
void settle(Run& run) {
  take_refusals(run);
  uint64_t settled = session_settled(*run.session);
  // A record refused under --refused stop stays in the spool, and so does every one after it.
  if (run.refused_at != 0) settled = std::min(settled, run.refused_at - 1);
  uint64_t newly = settled - run.settled_seen;
  run.settled_seen = settled;
  bool moved = false;
  uint64_t last = 0;
  while (!run.taken.empty() && (!run.taken.front().counted || newly > 0)) {
    if (run.taken.front().counted) --newly;
    last = run.taken.front().seq;
    moved = true;
    run.taken.pop_front();
  }
  if (moved && spool_ack(*run.spool, last) != kSpoolOk) spool_failed(run);
}

// A PUBREL leaves only once the spool says it was sent: a later run then completes its record
// instead of publishing it again.
void note_releases(Run& run) {
  std::vector<uint16_t> ids;
  session_gated_releases(*run.session, &ids);
  if (ids.empty()) return;
  for (uint16_t id : ids) {
    for (const Run::Taken& t : run.taken) {
      if (!t.counted || spool_packet_id(t.seq) != id) continue;
      if (spool_mark_released(*run.spool, t.seq) != kSpoolOk) spool_failed(run);
      break;
    }
  }
  if (settings.spool_sync == kSpoolSyncAlways && spool_flush(*run.spool) == kSpoolError) {
    spool_failed(run);
  }
  session_open_releases(*run.session, ids);
}

// Takes the next record out of the spool into the hand, with its topic. False when the spool
// has no more.
bool take_from_spool(Run& run) {
  while (!run.in_hand && run.spool_more) {
    SpoolRecord r;
    int got = spool_next(*run.spool, &r);
    if (got < 0) spool_failed(run);
    if (got == 0) {
      run.spool_more = false;
      break;
    }
    run.hand.assign(reinterpret_cast<const char*>(r.data), r.len);
    run.hand_seq = r.seq;
    if (route(run, run.hand, &run.hand_topic, &run.hand_payload)) {
      run.in_hand = true;
    } else {
      run.taken.push_back({r.seq, false});  // settles in its turn
    }
  }
  return run.in_hand;
}

// With --rate: whether the record in hand may go now; otherwise the waits end when it may.
bool paced(Run& run) {
  run.pace_held = !pacer_take(run.pacer, now_ms());
  return !run.pace_held;
}

// Hands records from the spool to the session while it takes them without waiting.
void feed(Run& run) {
  Session& s = *run.session;
  while (take_from_spool(run) &&
         session_has_room(s, run.hand_topic.size() + run.hand_payload.size()) && paced(run)) {
    if (settings.verbose) {
      printf("Publishing data of length %d\n", static_cast<int>(run.hand_payload.size()));
    }
    session_next_packet_id(s, spool_packet_id(run.hand_seq));
    publish(run, run.hand_topic, run.hand_payload);
    run.taken.push_back({run.hand_seq, true});
    run.in_hand = false;
  }
  session_set_waiting(s, run.in_hand || run.spool_more);
}

// One round between waits: what was read reaches the spool file, records go on to the
// session, settled ones leave, PUBRELs are noted, and the spool is synced when due.
void spool_round(Run& run) {
  int flushed = spool_flush(*run.spool);
  if (flushed == kSpoolError) spool_failed(run);
  if (flushed == kSpoolOk) run.spool_more = true;
  run.pace_held = false;
  if (!stop_requested) feed(run);
  settle(run);
  note_releases(run);
  if (spool_maybe_sync(*run.spool, now_ms()) != kSpoolOk) spool_failed(run);
}

// A wait between spool rounds came back: a signal, the stop clock, or the end of the run.
void after_wait(Run& run, Outcome o) {
  if (o == Outcome::kInterrupted) on_wake(run);
  if (o == Outcome::kTimedOut && gave_up(run)) end_with(run, o);
  if (o != Outcome::kInterrupted && o != Outcome::kTimedOut && o != Outcome::kProgress &&
      o != Outcome::kDone) {
    end_with(run, o);
  }
}

// With --rate: waits, servicing the connection, until the pace lets one more record go.
void pace(Run& run) {
  while (!pacer_take(run.pacer, now_ms())) {
    long long next = pacer_next(run.pacer, now_ms());
    after_wait(run, session_wait(*run.session, -1, earlier(wait_deadline(run), next)));
  }
}

void deliver(Run& run, std::string_view record) {
  if (run.spool == nullptr) {
    std::string_view topic, payload;
    if (!route(run, record, &topic, &payload)) return;
    pace(run);
    if (settings.verbose) {
      printf("Publishing data of length %d\n", static_cast<int>(payload.size()));
    }
    publish(run, topic, payload);
    return;
  }
  for (;;) {
    uint64_t seq = 0, dropped = 0;
    int rc = spool_append(*run.spool, reinterpret_cast<const unsigned char*>(record.data()),
                          record.size(), &seq, &dropped);
    if (dropped > 0) {
      printf("Spool full: dropped the %llu oldest records\n",
             static_cast<unsigned long long>(dropped));
    }
    if (rc == kSpoolOk) return;
    if (rc == kSpoolError) spool_failed(run);
    // Full: the input waits until records leave the spool.
    spool_round(run);
    after_wait(run, session_wait(*run.session, -1, wait_deadline(run)));
  }
}

// Opens the spool before the first connection; what an earlier run left goes first. With QoS 2
// over MQTT 5 and a kept session, the records that run had in flight are completed on the
// broker's session rather than sent as new.
void open_spool(Run& run, SessionConfig* config) {
  SpoolOptions o;
  o.dir = settings.spool;
  o.size_bytes = settings.spool_size;
  o.drop_oldest = settings.spool_full == kSpoolFullDropOldest;
  o.sync_seconds = settings.spool_sync;
  o.max_record = static_cast<size_t>(settings.maxdatalen);
  SpoolRecovery r;
  std::string error;
  run.spool = spool_open(o, &r, &error);
  if (run.spool == nullptr) fail((error + "\n").c_str());
  the_spool = run.spool.get();
  run.damaged_at_start = r.damaged;
  if (r.damaged > 0) {
    printf("Spool: %llu damaged records skipped\n", static_cast<unsigned long long>(r.damaged));
  }
  if (r.records > 0) {
    printf("Spool: %llu records from an earlier run go first\n",
           static_cast<unsigned long long>(r.records));
  }
  bool same_client = r.clientid.empty() || r.clientid == settings.clientid;
  if (r.records > 0 && !same_client) {
    printf("Spool: records of client %s go again at least once\n", r.clientid.c_str());
  }
  bool exactly_once = settings.qos == 2 && settings.protocol_version == kMqtt5 &&
                      settings.session_expiry >= 0;
  config->from_store = true;
  config->gate_releases = exactly_once;
  config->resume_first = exactly_once && r.records > 0 && same_client && !r.clientid.empty();
  if (spool_set_clientid(*run.spool, settings.clientid) != kSpoolOk) {
    fail((spool_error(*run.spool) + "\n").c_str());
  }
  run.spool_more = r.records > 0;
  if (config->resume_first) run.resumed = std::move(r.released);
}

// The records an earlier run may have had in flight go into the session as that run left them,
// before the first connection resumes the broker's session.
void resume_from_spool(Run& run) {
  for (size_t i = 0; i < kMostInFlightQos2 && take_from_spool(run); ++i) {
    bool released = std::binary_search(run.resumed.begin(), run.resumed.end(), run.hand_seq);
    session_next_packet_id(*run.session, spool_packet_id(run.hand_seq));
    session_add_resumed(*run.session, run.hand_topic, run.hand_payload.data(),
                        run.hand_payload.size(), released);
    note_number(run);
    run.taken.push_back({run.hand_seq, true});
    run.in_hand = false;
  }
}

// The orderly end with a spool: everything in it goes to the session, which then drains;
// what could not be handed over stays for the next run.
void empty_spool(Run& run) {
  start_stop_clock(run);
  for (spool_round(run); !stop_requested && (run.in_hand || run.spool_more); spool_round(run)) {
    after_wait(run, session_wait(*run.session, -1, wait_deadline(run)));
  }
}

void close_spool(Run& run) {
  settle(run);
  SpoolCounters c = spool_counters(*run.spool);
  if (c.damaged > run.damaged_at_start) {
    printf("Spool: %llu damaged records skipped\n",
           static_cast<unsigned long long>(c.damaged - run.damaged_at_start));
  }
  say_what_the_spool_keeps(c, true);
  the_spool = nullptr;
  if (spool_close(std::move(run.spool)) != kSpoolOk) fail("Failed to close the spool\n");
}

// A stop request during an outage with records to deliver: the attempts go on, within the stop
// clock, before the orderly end begins.
void ride_out_outage(Run& run) {
  while (session_outage(*run.session)) {
    Outcome o = session_wait(*run.session, -1, wait_deadline(run));
    if (o == Outcome::kProgress) spool_round(run);
    after_wait(run, o);
  }
}

// The first connection, with the retries --reconnect allows. A stop request ends the retries.
void connect_first(Run& run) {
  for (;;) {
    Outcome o = session_start(*run.session, timer_deadline(run));
    if (o == Outcome::kDone) return;
    if (o == Outcome::kTimedOut) continue;  // a timer of the run is due
    if (o == Outcome::kInterrupted) {
      print_counters(run);
      // An attempt the stop request came during ran its course: if it succeeded, the orderly
      // end follows; otherwise no more attempts are made.
      if (!stop_requested || session_connected(*run.session)) continue;
      o = Outcome::kConnectFailed;
    }
    if (o == Outcome::kConnectFailed) {
      if (settings.verbose) {
        printf("Reason: %s\n", failure_text(session_connect_error(*run.session)).c_str());
      }
      fail("Failed to connect\n");
    }
    end_with(run, o);
  }
}

// The connection's configuration, mapped once from the settings.
SessionConfig session_config() {
  SessionConfig c;
  ConnectRequest& r = c.request;
  r.host = settings.host;
  char* end = nullptr;
  long port = strtol(settings.port, &end, 10);
  bool port_ok = settings.port[0] != '\0' && *end == '\0' && port > 0 && port <= 65535;
  r.port = port_ok ? static_cast<int>(port) : -1;
  r.clientid = settings.clientid;
  r.username = settings.username;
  r.password = settings.password;
  r.keepalive = settings.keepalive;
  r.protocol_version = settings.protocol_version;
  r.session_expiry = settings.protocol_version == kMqtt5 ? settings.session_expiry : -1;
  // Any of the certificate options, ALPN or a pre-shared key asks for TLS.
  r.tls = settings.cafile != nullptr || settings.capath != nullptr || settings.cert != nullptr ||
          settings.key != nullptr || settings.alpn != nullptr || settings.psk != nullptr;
  r.cafile = settings.cafile;
  r.capath = settings.capath;
  r.cert = settings.cert;
  r.key = settings.key;
  r.alpn = settings.alpn;
  r.psk = settings.psk;
  r.psk_identity = settings.psk_identity;
  if (!settings.proxy.host.empty()) {
    r.proxy_kind = settings.proxy.http ? ProxyKind::kHttp : ProxyKind::kSocks5;
    r.proxy_host = settings.proxy.host;
    r.proxy_port = settings.proxy.port;
    r.proxy_username = settings.proxy.username;
    r.proxy_password = settings.proxy.password;
  }
  r.bind_address = settings.bind_address;
  r.ws_path = settings.ws_path;
  r.will_topic = settings.will_topic;
  r.will_payload = settings.will_payload;
  r.will_qos = settings.will_qos;
  r.will_retain = settings.will_retain != 0;
  PublishProperties p;
  p.message_expiry = settings.message_expiry;
  if (settings.content_type != nullptr) p.content_type = settings.content_type;
  for (const UserProperty& u : settings.user_properties) {
    p.user_properties.emplace_back(u.name, u.value);
  }
  c.properties = encode_publish_properties(p);
  c.qos = settings.qos;
  c.retain = settings.retained != 0;
  c.reconnect = settings.reconnect;
  c.skip_refused = settings.refused == kRefusedSkip;
  return c;
}

// SIGINT, SIGTERM and SIGHUP ask for an orderly end, SIGUSR1 for the counters. Outside waits
// they are blocked, so that none arrives between a test of its flag and the wait that would
// miss it; a connection attempt lets in only the stop requests. A SIGHUP ignored by whoever
// started us (nohup) stays ignored.
void install_signal_handlers() {
  struct sigaction stop {};
  stop.sa_handler = on_stop_signal;
  struct sigaction counters {};
  counters.sa_handler = on_counters_signal;
  struct sigaction hangup {};
  sigaction(SIGHUP, nullptr, &hangup);
  sigaction(SIGINT, &stop, nullptr);
  sigaction(SIGTERM, &stop, nullptr);
  if (hangup.sa_handler != SIG_IGN) sigaction(SIGHUP, &stop, nullptr);
  sigaction(SIGUSR1, &counters, nullptr);
  sigset_t handled, any, stops;
  sigemptyset(&handled);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) sigaddset(&handled, s);
  sigprocmask(SIG_BLOCK, &handled, &any);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) sigdelset(&any, s);
  stops = any;
  sigaddset(&stops, SIGUSR1);
  set_wait_masks(any, stops);
}

// A closed standard input or a directory cannot give records: say so before connecting.
bool stdin_is_readable() {
  struct stat st;
  return fstat(STDIN_FILENO, &st) == 0 && !S_ISDIR(st.st_mode);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) print_usage();
  if (is_version_request(argc, argv)) {
    printf("linecast %s (%s)\n", LINECAST_VERSION, OpenSSL_version(OPENSSL_VERSION));
    return 0;
  }
  parse_arguments(argc, argv);
  // Line by line, so that what was said survives a second interrupt's abrupt end.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  signal(SIGPIPE, SIG_IGN);  // a broker that vanishes must surface as an error, not kill us
  const char* topic = argv[1];
  if (settings.verbose) printf("URL is %s:%s\n", settings.host, settings.port);
  printf("Using topic %s\n", topic);
  if (!topic_is_publishable(topic)) fail("Invalid topic\n");
  if (settings.will_topic != nullptr && !topic_is_publishable(settings.will_topic)) {
    fail("Invalid will topic\n");
  }
  if (!stdin_is_readable()) fail("Failed to read standard input\n");
  if (!is_mqtt_text(settings.clientid)) fail("Failed to create client\n");

  Run run;
  run.prefix = topic;
  SessionConfig config = session_config();
  if (settings.spool != nullptr) open_spool(run, &config);
  run.session = make_session(config);
  if (config.resume_first) resume_from_spool(run);
  install_signal_handlers();
  notify_open(&run.notifier, now_ms());
  run.next_stats_ms = now_ms() + settings.stats_interval * 1000LL;
  // With a spool and --reconnect the input goes into the spool while the first connection is
  // still being made.
  if (run.spool == nullptr || settings.reconnect == 0) connect_first(run);
  notify_send(run.notifier, "READY=1\nSTATUS=" + counters_line(run));
  run.pacer = make_pacer(settings.rate, now_ms());  // the time to connect earns no burst
  if (!init_reader(&run.reader, settings.delimiter, settings.maxdatalen)) {
    fail("Failed to allocate the record buffer\n");
  }
  int status = publish_loop(run);
  // Whatever was published before a read error is still handed over before the program ends
  // with it.
  if (status < 0) {
    drain(run);
    fail("Failed to read standard input\n");
  }
  // With a spool every record read is safe on disk: a stop request neither waits out an outage
  // nor empties the spool, and leaves for the next run what the session did not hand over.
  const bool spool_keeps = run.spool != nullptr && stop_requested;
  if (stop_requested && !spool_keeps) ride_out_outage(run);
  say_stopping(run);
  run.reader = RecordReader();
  if (run.spool != nullptr && !spool_keeps) empty_spool(run);
  if (!spool_keeps || session_connected(*run.session)) drain(run);
  if (run.spool != nullptr) close_spool(run);
  if (run.not_published > 0) printf("%llu records not published\n", run.not_published);
  take_refusals(run);
  if (run.refused > 0) printf("%llu records refused by the broker\n", run.refused);
  // QoS 0 records a lost connection cut off partway are gone: the run must not say otherwise.
  if (session_stats(*run.session).lost > 0) fail("Failed to deliver all records\n");
  // A refusal that came back only while the last records were handed over ends the run as one
  // seen earlier does.
  if (session_refusal(*run.session) != 0) {
    report_refusal(run);
    fail("");
  }
  if (run.not_published > 0 || run.refused > 0) fail("");
  return 0;
}
