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

#include <openssl/crypto.h>

#include "mqtt_packets.h"
#include "record_reader.h"
#include "session.h"
#include "settings.h"
#include "topics.h"
#include "wait.h"

namespace {

// Once a stop request or the end of input has been seen, the run gives up when this long
// passes without a record moving on its way.
constexpr int kDrainTimeoutMs = 10000;
// After a stop request, a record already begun gets this long for the rest of its bytes.
constexpr int kRecordTimeoutMs = 10000;

volatile std::sig_atomic_t stop_requested = 0;
volatile std::sig_atomic_t counters_requested = 0;

void on_stop_signal(int) {
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigaction(SIGINT, &default_action, nullptr);  // a second interrupt ends the process at once
  stop_requested = 1;
}

void on_counters_signal(int) { counters_requested = 1; }

// Ends the process at once with status -1 after a fixed message; nothing is released.
[[noreturn]] void fail(const char* message) {
  fputs(message, stdout);
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
  unsigned long long not_published = 0;  // records whose topic no broker takes
  long long end_seen_ms = 0;  // when a stop request or the end of input was first seen
  long long last_input_ms = 0;
  bool stopping_said = false;
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

void print_counters(const Run& run) {
  if (!counters_requested) return;
  counters_requested = 0;
  SessionStats s = session_stats(*run.session);
  printf(
      "read=%llu published=%llu acknowledged=%llu in_flight=%llu resent=%llu "
      "connections=%llu bytes_published=%llu\n",
      run.records_read, static_cast<unsigned long long>(s.published),
      static_cast<unsigned long long>(s.acknowledged), static_cast<unsigned long long>(s.in_flight),
      static_cast<unsigned long long>(s.resent), static_cast<unsigned long long>(s.connections),
      static_cast<unsigned long long>(s.bytes));
}

// A wait came back for a signal: the counters when asked for; a stop request starts the stop
// clock, and a connection down with records to deliver is tried again at once.
void on_wake(Run& run) {
  print_counters(run);
  if (stop_requested && run.end_seen_ms == 0) {
    start_stop_clock(run);
    session_hurry(*run.session);
  }
}

void say_stopping(Run& run) {
  if (!run.stopping_said) printf("Stopping\n");
  run.stopping_said = true;
}

void report_refusal(const Run& run) {
  uint8_t reason = session_refusal(*run.session);
  printf("Broker refused a record: %s (0x%02X)\n", reason_name(reason), reason);
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

// Hands over everything still in flight, then disconnects.
void drain(Run& run) {
  start_stop_clock(run);
  for (;;) {
    Outcome o = session_drain(*run.session, stop_deadline(run));
    if (o == Outcome::kDone) return;
    if (o == Outcome::kInterrupted) on_wake(run);
    if (o == Outcome::kTimedOut && gave_up(run)) fail("Failed to deliver all records\n");
    if (o != Outcome::kInterrupted && o != Outcome::kTimedOut) end_with(run, o);
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
      Outcome o = session_wait(*run.session, STDIN_FILENO, deadline);
      if (o == Outcome::kInput) {
        ssize_t got = ::read(STDIN_FILENO, buf, len);
        if (got > 0) run.last_input_ms = now_ms();
        if (got >= 0 || (errno != EINTR && errno != EAGAIN)) return got;
      } else if (o == Outcome::kInterrupted) {
        on_wake(run);
      } else if (o != Outcome::kTimedOut) {
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
        session_publish(*run.session, topic, payload.data(), payload.size(), stop_deadline(run));
    if (o == Outcome::kDone) return;
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

// Reads records and publishes them until the input ends: at its end, on a read error, or
// by a stop request once no record is begun. Every byte read is published first. Returns the
// last read_record result.
int publish_loop(Run& run) {
  StdinSource input(run);
  Record record;
  int status;
  while ((status = read_record(run.reader, input, &record)) > 0) {
    ++run.records_read;
    std::string_view payload(reinterpret_cast<const char*>(record.data), record.len);
    std::string_view topic = run.prefix;
    if (settings.topic_separator >= 0) {
      payload = split_record(payload, static_cast<char>(settings.topic_separator), run.prefix,
                             &run.topic);
      topic = run.topic;
      TopicProblem problem = topic_problem(topic);
      if (problem != TopicProblem::kNone) {
        report_unpublished(run.records_read, topic, problem);
        ++run.not_published;
        continue;
      }
    }
    if (settings.verbose) {
      printf("Publishing data of length %d\n", static_cast<int>(payload.size()));
    }
    publish(run, topic, payload);
    print_counters(run);
  }
  return status;
}

// A stop request during an outage with records to deliver: the attempts go on, within the stop
// clock, before the orderly end begins.
void ride_out_outage(Run& run) {
  while (session_outage(*run.session)) {
    Outcome o = session_wait(*run.session, -1, stop_deadline(run));
    if (o == Outcome::kInterrupted) on_wake(run);
    if (o == Outcome::kTimedOut && gave_up(run)) end_with(run, o);
    if (o != Outcome::kInterrupted && o != Outcome::kTimedOut && o != Outcome::kDone) {
      end_with(run, o);
    }
  }
}

// The first connection, with the retries --reconnect allows. A stop request ends the retries.
void connect_first(Run& run) {
  for (;;) {
    Outcome o = session_start(*run.session, kNoDeadline);
    if (o == Outcome::kDone) return;
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
  run.session = make_session(session_config());
  install_signal_handlers();
  connect_first(run);
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
  if (stop_requested) ride_out_outage(run);
  say_stopping(run);
  run.reader = RecordReader();
  drain(run);
  if (run.not_published > 0) printf("%llu records not published\n", run.not_published);
  // QoS 0 records a lost connection cut off partway are gone: the run must not say otherwise.
  if (session_stats(*run.session).lost > 0) fail("Failed to deliver all records\n");
  // A refusal that came back only while the last records were handed over ends the run as one
  // seen earlier does.
  if (session_refusal(*run.session) != 0) {
    report_refusal(run);
    fail("");
  }
  if (run.not_published > 0) fail("");
  return 0;
}
