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
#include <string>
#include <string_view>
#include <vector>

#include <openssl/crypto.h>

#include "input.h"
#include "mqtt_packets.h"
#include "notify.h"
#include "pacing.h"
#include "record_reader.h"
#include "router.h"
#include "run_config.h"
#include "session.h"
#include "settings.h"
#include "spooler.h"
#include "topics.h"
#include "wait.h"

namespace {

// Once a stop request or the end of input has been seen, the run gives up when this long
// passes without a record moving on its way.
constexpr int kDrainTimeoutMs = 10000;
// After a stop request, a record already begun gets this long for the rest of its bytes.
constexpr int kRecordTimeoutMs = 10000;
// After a stop request with a spool, what the session took gets this long to be handed over;
// what is not stays in the spool.
constexpr int kLeaveToSpoolMs = 1000;
// With --spool, how long to wait before looking again at an input that is readable but holds
// nothing new (a pipe holding only a begun record): growing up to this, so as not to spin.
constexpr int kMostInputPauseMs = 64;
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

// What the program keeps for the run.
struct Run {
  RunConfig config;
  SessionPtr session;
  RecordReader reader;
  Router router;
  uint64_t records_read = 0;
  long long end_seen_ms = 0;  // when a stop request or the end of input was first seen
  long long last_input_ms = 0;
  bool stopping_said = false;
  SpoolerPtr spooler;  // with --spool: records go through it, and from it to the session
  // With --spool the input is looked at before it is taken, and taken once in the spool file.
  PeekInput input;
  uint64_t appended_upto = 0;  // the input's bytes up to the end of the last record appended
  bool spool_broken = false;   // a spool call failed: the run is ending
  int input_pause_ms = 0;  // > 0: the input held nothing new at the last look
  // Running as a service: systemd's notifications, the counters on a timer, the pace (without
  // a spool; the spooler paces its own), and the records skipped under --refused skip.
  Notifier notifier;
  long long next_stats_ms = 0;
  long long next_status_ms = 0;
  Pacer pacer;
  std::vector<Refusal> refusals;  // session_take_refusals's list, kept for its room
  unsigned long long refused = 0;
};

Run* the_run = nullptr;  // for the ends that leave records in the spool

// Ends the process at once with status -1 after a fixed message; nothing is released. Records
// in the spool stay there, made durable, for the next run.
[[noreturn]] void fail(const char* message) {
  fputs(message, stdout);
  if (the_run != nullptr && the_run->spooler != nullptr) {
    // Appended records are written with the last words: their bytes leave the input first.
    input_take(the_run->input, the_run->appended_upto);
    spooler_last_words(*the_run->spooler, *the_run->session);
  }
  fflush(stdout);
  // A connection attempt under way on its thread is given up before the process ends.
  if (the_run != nullptr) the_run->session.reset();
  exit(-1);
}

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
      static_cast<unsigned long long>(run.records_read),
      static_cast<unsigned long long>(s.published), static_cast<unsigned long long>(s.acknowledged),
      static_cast<unsigned long long>(s.in_flight), static_cast<unsigned long long>(s.resent),
      static_cast<unsigned long long>(s.connections), static_cast<unsigned long long>(s.bytes));
  if (run.spooler != nullptr) {
    SpoolCounters c = spooler_counters(*run.spooler);
    n += snprintf(line + n, sizeof line - n, " spool_records=%llu spool_bytes=%llu dropped=%llu",
                  static_cast<unsigned long long>(c.records),
                  static_cast<unsigned long long>(c.bytes),
                  static_cast<unsigned long long>(c.dropped));
  }
  if (run.config.session.skip_refused) {
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
  h.waiting = s.in_flight > 0 || (run.spooler != nullptr && spooler_waiting(*run.spooler));
  h.settled = s.acknowledged + s.refused + s.lost;
  watchdog_observe(n, h, now);
  return earlier(run.next_status_ms, watchdog_tick(n, now));
}

// The timers of each turn of the loop: the counters line every --stats-interval, and systemd's
// status and watchdog. Returns when the next is due: waits end then, so that the loop turns.
long long timer_deadline(Run& run) {
  const int interval = run.config.stats_interval;
  if (interval == 0 && !notify_active(run.notifier)) return kNoDeadline;
  long long now = now_ms();
  long long next = kNoDeadline;
  if (interval > 0) {
    if (now >= run.next_stats_ms) {
      printf("%s\n", counters_line(run).c_str());
      run.next_stats_ms = now + interval * 1000LL;
    }
    next = run.next_stats_ms;
  }
  if (notify_active(run.notifier)) next = earlier(next, notify_round(run, now));
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

// The number a refusal names a record by: with a spool its number there, which a later run
// keeps; otherwise its place in the input, from 1.
unsigned long long record_number(const Run& run, uint64_t seq) {
  return run.spooler != nullptr ? seq : seq + 1;
}

// Under --refused skip: one line for each record the broker refused since the last look.
void take_refusals(Run& run) {
  session_take_refusals(*run.session, &run.refusals);
  for (const Refusal& r : run.refusals) {
    printf("Record %llu refused by the broker: %s (0x%02X)\n", record_number(run, r.seq),
           reason_name(r.reason), r.reason);
    ++run.refused;
  }
}

void report_refusal(const Run& run) {
  uint8_t reason = session_refusal(*run.session);
  printf("Broker refused a record: %s (0x%02X)\n", reason_name(reason), reason);
  if (run.spooler != nullptr) {
    printf("Record %llu stays in the spool: run once with --refused skip to move past it\n",
           record_number(run, session_refused_seq(*run.session)));
  }
}

void report_unsupported(const Run& run) {
  Unsupported u = session_unsupported(*run.session);
  int qos = run.config.session.qos;
  if (qos > u.maximum_qos) {
    printf("Broker does not take QoS %d records: try --qos %d\n", qos, u.maximum_qos);
  } else {
    printf("Broker does not take retained records\n");
  }
}

void report_too_large(size_t len) {
  printf("Record of %d bytes is larger than the broker takes\n", static_cast<int>(len));
}

[[noreturn]] void end_with(Run& run, Outcome outcome);

void spool_round(Run& run);
bool take_stored(Run& run);

// Hands over everything still in flight, then disconnects.
void drain(Run& run) {
  start_stop_clock(run);
  for (;;) {
    Outcome o = session_drain(*run.session, wait_deadline(run));
    take_refusals(run);
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
      if (stop_requested && run.config.session.reconnect != 0) {
        say_stopping(run);
        fail("Failed to deliver all records\n");
      }
      if (run.config.verbose) {
        printf("Reason: %s\n", failure_text(session_connect_error(*run.session)).c_str());
      }
      fail("Failed to connect\n");
    case Outcome::kRefused:
      report_refusal(run);
      drain(run);
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

// A spool that cannot be written: what the session took is still handed over; the spool keeps
// the rest.
[[noreturn]] void spool_failed(Run& run) {
  run.spool_broken = true;
  printf("%s\n", spooler_error(*run.spooler).c_str());
  say_stopping(run);
  drain(run);
  fail("");
}

// One round of the spool between waits; after a stop request nothing more goes to the
// session.
void spool_round(Run& run) {
  take_stored(run);  // an input that cannot be taken fails the next read
  take_refusals(run);
  Outcome o = spooler_round(*run.spooler, *run.session, !stop_requested);
  if (o == Outcome::kDone) return;
  if (o == Outcome::kFailed) spool_failed(run);
  if (o == Outcome::kTooLarge) report_too_large(spooler_hand_len(*run.spooler));
  end_with(run, o);
}

// A wait between spool rounds came back: a signal, the stop clock, or the end of the run.
void after_wait(Run& run, Outcome o) {
  take_refusals(run);
  if (o == Outcome::kInterrupted) on_wake(run);
  if (o == Outcome::kTimedOut && gave_up(run)) end_with(run, o);
  if (o != Outcome::kInterrupted && o != Outcome::kTimedOut && o != Outcome::kProgress &&
      o != Outcome::kDone) {
    end_with(run, o);
  }
}

// A wait between spool rounds: until the stop clock, or until the spool file is tried again.
Outcome spool_wait(Run& run, int fd, long long deadline) {
  return session_wait(*run.session, fd, earlier(deadline, spooler_retry_at(*run.spooler)));
}

// The bytes of the records appended leave the input for the taken file, then the records go to
// the spool file; a begun record stays in the input. False when the bytes cannot be taken
// (errno set); a full disk makes the input wait.
bool take_stored(Run& run) {
  if (run.spooler == nullptr || run.spool_broken) return true;
  // While the disk is full nothing more is taken until what was taken is in the spool file.
  if (spooler_disk_is_full(*run.spooler)) {
    int flushed = spooler_flush(*run.spooler, false);
    if (flushed == kSpoolError) spool_failed(run);
    if (flushed != kSpoolOk) return true;
  }
  if (input_take(run.input, run.appended_upto) != 0) {
    if (errno != ENOSPC) return false;
    spooler_disk_full(*run.spooler);
    return true;
  }
  int flushed = spooler_flush(*run.spooler, run.input.taken == run.appended_upto);
  if (flushed == kSpoolError) spool_failed(run);
  return true;
}

// Standard input, waited on together with the broker's socket, so that the connection is kept
// alive, and a lost one made again, while the input is idle. With --spool the bytes are looked
// at, and taken only for records appended to the spool.
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
      // The records appended so far leave the input and reach the spool file, then the
      // spool's round, before any wait.
      if (!take_stored(run)) return -1;
      if (run.spooler != nullptr) spool_round(run);
      deadline = earlier(deadline, timer_deadline(run));
      // readable but nothing new: look again after a pause rather than at once
      bool paused = run.input_pause_ms > 0;
      int fd = paused ? -1 : STDIN_FILENO;
      if (paused) deadline = earlier(deadline, now_ms() + run.input_pause_ms);
      Outcome o = run.spooler != nullptr ? spool_wait(run, fd, deadline)
                                         : session_wait(*run.session, fd, deadline);
      take_refusals(run);
      if (o == Outcome::kInput || (paused && o == Outcome::kTimedOut)) {
        ssize_t got = look(buf, len);
        if (got > 0) run.last_input_ms = now_ms();
        if (got >= 0 || (errno != EINTR && errno != EAGAIN)) return got;
      } else if (o == Outcome::kInterrupted) {
        on_wake(run);
      } else if (o != Outcome::kTimedOut && o != Outcome::kProgress) {
        end_with(run, o);
      }
    }
  }

  ssize_t look(unsigned char* buf, size_t len) {
    if (run.spooler == nullptr) return ::read(STDIN_FILENO, buf, len);
    ssize_t got = input_peek(run.input, buf, len);
    bool idle = got < 0 && errno == EAGAIN;
    run.input_pause_ms = idle ? std::min(2 * run.input_pause_ms + 1, kMostInputPauseMs) : 0;
    return got;
  }
};

// Hands record `seq` to the session, waiting for room as long as the run allows.
void publish(Run& run, uint64_t seq, std::string_view topic, std::string_view payload) {
  for (;;) {
    Outcome o = session_publish(*run.session, seq, topic, payload, wait_deadline(run));
    take_refusals(run);
    if (o == Outcome::kDone) return;
    if (o == Outcome::kInterrupted) {
      on_wake(run);
      continue;
    }
    if (o == Outcome::kTimedOut && !gave_up(run)) continue;  // records moved meanwhile
    if (o == Outcome::kTooLarge) report_too_large(payload.size());
    end_with(run, o);
  }
}

// Puts a record read from the input in the spool; while it is full the input waits until
// records leave it. False when a stop request comes first: every record before it is safe in
// the spool, and it stays where it is (the input, or the taken file) for the next run.
bool spool_record(Run& run, std::string_view record) {
  for (;;) {
    int rc = spooler_append(*run.spooler, record);
    if (rc == kSpoolOk) {
      run.appended_upto = run.input.peeked - reader_held(run.reader);
      return true;
    }
    if (rc == kSpoolError) spool_failed(run);
    if (stop_requested) return false;
    spool_round(run);
    after_wait(run, spool_wait(run, -1, wait_deadline(run)));
  }
}

// With --rate and no spool: waits, servicing the connection, until the pace lets one more
// record go.
void pace(Run& run) {
  while (!pacer_take(run.pacer, now_ms())) {
    long long next = pacer_next(run.pacer, now_ms());
    after_wait(run, session_wait(*run.session, -1, earlier(wait_deadline(run), next)));
  }
}

// Publishes a record read from the input, or with --spool puts it in the spool.
// False when a stop request left the record unspooled.
bool deliver(Run& run, std::string_view record) {
  if (run.spooler != nullptr) return spool_record(run, record);
  std::string_view topic, payload;
  if (!route(run.router, record, &topic, &payload)) return true;
  pace(run);
  if (run.config.verbose) report_publishing(payload.size());
  // Without a spool a record's seq is its place in the input, from 0: packet identifier 1 first.
  publish(run, run.records_read - 1, topic, payload);
  return true;
}

// Reads records and delivers them until the input ends: at its end, on a read error, or by a
// stop request once no record is begun. Every byte read is delivered first. Returns the last
// read_record result.
int publish_loop(Run& run) {
  StdinSource input(run);
  Record record;
  int status;
  for (;;) {
    status = read_record(run.reader, input, &record);
    if (status < 0 && errno == EAGAIN) continue;  // records went to the spool meanwhile
    if (status <= 0) break;
    ++run.records_read;
    if (!deliver(run, std::string_view(reinterpret_cast<const char*>(record.data), record.len))) {
      return 0;  // stopped while the spool was full: the orderly end
    }
    print_counters(run);
  }
  return status;
}

// The orderly end with a spool: everything in it goes to the session, which then drains;
// what could not be handed over stays for the next run.
void empty_spool(Run& run) {
  start_stop_clock(run);
  for (spool_round(run); !stop_requested && spooler_waiting(*run.spooler); spool_round(run)) {
    after_wait(run, spool_wait(run, -1, wait_deadline(run)));
  }
}

// A stop request with a spool: every record is safe on disk, so the run ends at once. What
// the session took is handed over while the broker answers within a moment; the rest stays
// in the spool for the next run.
void leave_to_spool(Run& run) {
  const long long deadline = now_ms() + kLeaveToSpoolMs;
  for (;;) {
    Outcome o = session_drain(*run.session, std::min(deadline, stop_deadline(run)));
    if (o == Outcome::kProgress) spool_round(run);
    if (o == Outcome::kInterrupted) on_wake(run);
    if (o == Outcome::kDone || o == Outcome::kTimedOut) break;
    if (o != Outcome::kProgress && o != Outcome::kInterrupted) end_with(run, o);
  }
  session_disconnect(*run.session);
}

void close_spool(Run& run) {
  spool_round(run);
  if (!spooler_close(std::move(run.spooler), *run.session)) fail("Failed to close the spool\n");
}

// A stop request during an outage with records to deliver: the attempts go on, within the stop
// clock, before the orderly end begins.
void ride_out_outage(Run& run) {
  while (session_outage(*run.session)) {
    Outcome o = session_wait(*run.session, -1, wait_deadline(run));
    if (o == Outcome::kProgress && run.spooler != nullptr) spool_round(run);
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
      if (run.config.verbose) {
        printf("Reason: %s\n", failure_text(session_connect_error(*run.session)).c_str());
      }
      fail("Failed to connect\n");
    }
    end_with(run, o);
  }
}

// "URL is host:port", or with several brokers each of them, comma-separated.
void say_url(const std::vector<Endpoint>& brokers) {
  if (brokers.size() == 1) {
    printf("URL is %s:%d\n", brokers[0].host.c_str(), brokers[0].port);
    return;
  }
  std::string list;
  for (const Endpoint& b : brokers) list += (list.empty() ? "" : ",") + endpoint_text(b);
  printf("URL is %s\n", list.c_str());
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

// The run's end after the input ended: with a spool and a stop request every record is safe
// on disk, and the run ends at once; otherwise everything goes out first.
void finish(Run& run) {
  const bool spool_keeps = run.spooler != nullptr && stop_requested;
  if (stop_requested && !spool_keeps) ride_out_outage(run);
  say_stopping(run);
  run.reader = RecordReader();
  if (spool_keeps) leave_to_spool(run);
  if (run.spooler != nullptr && !spool_keeps) empty_spool(run);
  if (!spool_keeps) drain(run);
  if (run.spooler != nullptr) close_spool(run);
  if (run.router.not_published > 0) {
    printf("%llu records not published\n",
           static_cast<unsigned long long>(run.router.not_published));
  }
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
  if (run.router.not_published > 0 || run.refused > 0) fail("");
}

// Opens the spool before the first connection; what an earlier run left goes first, and with
// QoS 2 over MQTT 5 and a kept session the records it had in flight are completed on the
// broker's session rather than sent as new.
void open_spool(Run& run) {
  std::string error;
  run.spooler = spooler_open(run.config, run.router, &run.config.session, &error);
  if (run.spooler == nullptr) fail((error + "\n").c_str());
}

}  // namespace

int main(int argc, char** argv) {
  // A SIGUSR1 before its handler is in place must not end the process: it stays pending until
  // the waits let it in.
  sigset_t counters;
  sigemptyset(&counters);
  sigaddset(&counters, SIGUSR1);
  sigprocmask(SIG_BLOCK, &counters, nullptr);
  if (argc < 2) print_usage();
  if (is_version_request(argc, argv)) {
    printf("linecast %s (%s)\n", LINECAST_VERSION, OpenSSL_version(OPENSSL_VERSION));
    return 0;
  }
  parse_arguments(argc, argv);
  // Line by line, so that what was said survives a second interrupt's abrupt end.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  signal(SIGPIPE, SIG_IGN);  // a broker that vanishes must surface as an error, not kill us
  Run run;
  run.config = make_run_config(settings, argv[1]);
  const RunConfig& config = run.config;
  if (config.verbose) say_url(config.session.brokers);
  printf("Using topic %s\n", config.topic);
  if (!topic_is_publishable(config.topic)) fail("Invalid topic\n");
  const char* will_topic = config.session.request.will_topic;
  if (will_topic != nullptr && !topic_is_publishable(will_topic)) fail("Invalid will topic\n");
  if (!stdin_is_readable()) fail("Failed to read standard input\n");
  if (!is_mqtt_text(config.session.request.clientid)) fail("Failed to create client\n");

  the_run = &run;
  run.router = make_router(config.topic, config.topic_separator);
  if (config.spool) open_spool(run);
  run.session = make_session(config.session);
  if (config.session.resume_first) spooler_resume(*run.spooler, *run.session);
  install_signal_handlers();
  notify_open(&run.notifier, now_ms());
  run.next_stats_ms = now_ms() + config.stats_interval * 1000LL;
  // With a spool and --reconnect the input goes into the spool while the first connection is
  // still being made.
  if (!config.spool || config.session.reconnect == 0) connect_first(run);
  notify_send(run.notifier, "READY=1\nSTATUS=" + counters_line(run));
  // The time to connect earns no burst.
  run.pacer = make_pacer(config.rate, now_ms());
  if (run.spooler != nullptr) spooler_pace_from(*run.spooler, now_ms());
  if (!init_reader(&run.reader, config.delimiter, config.maxdatalen)) {
    fail("Failed to allocate the record buffer\n");
  }
  if (run.spooler != nullptr) {
    // An earlier run's begun record, already taken, comes first.
    const std::string& carried = spooler_carried(*run.spooler);
    reader_prefill(run.reader, reinterpret_cast<const unsigned char*>(carried.data()),
                   carried.size());
    input_open(&run.input, STDIN_FILENO, carried.size());
    run.input.stage = spooler_taken_fd(*run.spooler);
    run.appended_upto = 0;
  }
  int status = publish_loop(run);
  if (status >= 0 && !take_stored(run)) status = -1;
  // Whatever was published before a read error is still handed over before the program ends
  // with it.
  if (status < 0) {
    drain(run);
    fail("Failed to read standard input\n");
  }
  finish(run);
  return 0;
}
