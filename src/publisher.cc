// The linecast program: start-up, the publish loop with its reconnections, the orderly end,
// and the signals: SIGINT, SIGTERM and SIGHUP ask for an orderly end, SIGUSR1 for counters.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "mqtt_client.h"
#include "record_reader.h"
#include "settings.h"
#include "transport.h"
#include "wait.h"

namespace {

// The orderly end gives up when this long passes without a record being handed over.
constexpr int kDrainTimeoutMs = 10000;
// After a stop request, a record already begun gets this long for the rest of its bytes.
constexpr int kRecordTimeoutMs = 10000;
// Reconnection backoff: the first retry at once, then this, doubling up to the cap, each
// varied by up to a fifth either way so that many publishers do not return in step.
constexpr long long kFirstBackoffMs = 500;
constexpr long long kMaxBackoffMs = 30000;

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

// The connection options and the records they point to, filled once from the settings.
struct Options {
  MQTTClient_SSLOptions ssl{};
  MQTTClient_willOptions will{};
  MQTTClient_proxyOptions proxy{};
  MQTTClient_connectOptions connect{};
};

// When and how often the run connects again after a failure.
struct Reconnection {
  int retries = 0;  // attempts after a failure; kReconnectForever: no limit; 0: one, at once
  long long next_delay_ms = 0;
  std::minstd_rand random{static_cast<unsigned>(getpid()) ^ static_cast<unsigned>(now_ms())};
};

// Everything the program's helpers share for the run.
struct Run {
  MQTTClient client = nullptr;
  Options options;
  Reconnection reconnection;
  const char* topic = nullptr;
  unsigned long long records_read = 0;
  bool record_in_hand = false;  // a record read and not yet taken by the client
  bool stopping_said = false;
};
Run* the_run = nullptr;  // for the signal-driven counters line, printed by a wake hook

void print_counters() {
  if (!counters_requested || the_run == nullptr) return;
  counters_requested = 0;
  ClientStats s = client_stats(the_run->client);
  printf(
      "read=%llu published=%llu acknowledged=%llu in_flight=%llu resent=%llu "
      "connections=%llu bytes_published=%llu\n",
      the_run->records_read, static_cast<unsigned long long>(s.published),
      static_cast<unsigned long long>(s.acknowledged), static_cast<unsigned long long>(s.in_flight),
      static_cast<unsigned long long>(s.resent), static_cast<unsigned long long>(s.connections),
      static_cast<unsigned long long>(s.bytes));
}

void say_stopping(Run& run) {
  if (!run.stopping_said) printf("Stopping\n");
  run.stopping_said = true;
}

// The backoff before the next retry, and the one after it.
long long take_delay(Reconnection& r) {
  long long delay = r.next_delay_ms;
  r.next_delay_ms = delay == 0 ? kFirstBackoffMs : std::min(delay * 2, kMaxBackoffMs);
  if (delay == 0) return 0;
  std::uniform_int_distribution<long long> jitter(-delay / 5, delay / 5);
  return delay + jitter(r.random);
}

// Sleeps `ms` while the connection is down. With `cut_by_stop` a stop request ends it early;
// the waits after one, bounded by the drain timeout, run their course.
void back_off(Run& run, long long ms, bool cut_by_stop) {
  long long deadline = now_ms() + ms;
  for (long long left = ms; left > 0 && !(cut_by_stop && stop_requested);
       left = deadline - now_ms()) {
    if (wait_for_input(run.client, -1, static_cast<int>(left)) < 0) return;
  }
}

// Connects with the attempts the run allows: `attempts` in all, or without end when it is
// negative. After a lost connection the first attempt is the first retry, at once; at start
// it is the initial attempt, and the first retry follows at once. A stop request cuts a backoff
// short for one more attempt at once; when records wait for the connection the attempts go on until
// the drain timeout has passed since the request was seen, otherwise they end there.
bool connect_with_retries(Run& run, int attempts, bool after_loss) {
  long long stop_deadline = 0;
  if (after_loss) take_delay(run.reconnection);
  for (int attempt = 0;; ++attempt) {
    if (attempt > 0) {
      long long delay = take_delay(run.reconnection);
      if (stop_deadline != 0) delay = std::min(delay, stop_deadline - now_ms());
      back_off(run, delay, stop_deadline == 0);
    }
    printf("Connecting\n");
    if (MQTTClient_connect(run.client, &run.options.connect) == kClientSuccess) {
      run.reconnection.next_delay_ms = 0;
      return true;
    }
    if (attempts >= 0 && attempt + 1 >= attempts) return false;
    if (stop_requested) {
      if (!run.record_in_hand && client_pending(run.client) == 0) return false;
      if (stop_deadline == 0) stop_deadline = now_ms() + kDrainTimeoutMs;
      if (now_ms() >= stop_deadline) return false;
    }
  }
}

// After a failure: one attempt by default, the --reconnect attempts otherwise.
bool reconnect(Run& run) {
  int retries = run.reconnection.retries;
  return connect_with_retries(run, retries == kReconnectForever ? -1 : std::max(retries, 1), true);
}

// The connection cannot be made again: a stop request during an outage ends as an orderly end
// that could not deliver; otherwise the run fails to connect.
[[noreturn]] void connection_failed(Run& run) {
  if (stop_requested && run.reconnection.retries != 0) {
    say_stopping(run);
    fail("Failed to deliver all records\n");
  }
  if (settings.verbose) printf("Reason: %s\n", failure_text(connect_failure(run.client)));
  fail("Failed to connect\n");
}

// A broker's DISCONNECT (MQTT 5) says why it ended the connection.
void report_loss(Run& run) {
  int reason = take_disconnect_reason(run.client);
  if (reason >= 0) {
    printf("Broker disconnected: %s (0x%02X)\n", reason_name(static_cast<uint8_t>(reason)), reason);
  }
}

void report_refusal(Run& run) {
  static bool said = false;
  if (said) return;
  said = true;
  uint8_t reason = client_refusal(run.client);
  printf("Broker refused a record: %s (0x%02X)\n", reason_name(reason), reason);
}

// Standard input, waited on together with the broker socket so that the connection is kept
// alive, and a lost one handled, while the input is idle.
struct StdinSource : ByteSource {
  Run& run;
  const RecordReader& reader;
  bool refused = false;
  long long stop_seen_ms = 0;
  long long last_input_ms = 0;
  StdinSource(Run& r, const RecordReader& rd) : run(r), reader(rd) {}

  ssize_t read(unsigned char* buf, size_t len) override {
    for (;;) {
      print_counters();
      int timeout_ms = -1;
      if (stop_requested) {
        // No byte of a next record yet: the orderly end starts now. A record already begun
        // gets the rest of its bytes, but ends as at end of input when they stop coming.
        if (reader.end == reader.begin) return 0;
        long long now = now_ms();
        if (stop_seen_ms == 0) stop_seen_ms = now;
        long long left = std::max(stop_seen_ms, last_input_ms) + kRecordTimeoutMs - now;
        if (left <= 0) return 0;
        timeout_ms = static_cast<int>(left);
      }
      switch (wait_for_input(run.client, STDIN_FILENO, timeout_ms)) {
        case kWaitInput: {
          ssize_t got = ::read(STDIN_FILENO, buf, len);
          if (got > 0) last_input_ms = now_ms();
          if (got >= 0 || (errno != EINTR && errno != EAGAIN)) return got;
          break;
        }
        case kWaitWoke:
          break;
        case kClientDisconnected:
          if (!handle_idle_loss()) return 0;
          break;
        case kClientRefused:
          refused = true;
          return 0;
        default:
          return -1;
      }
    }
  }

  // A connection lost while the input is idle is made again at once when records wait for
  // it, or always with --reconnect, so that the next record does not wait for a connection.
  // Returns false when the stop request ended the attempts with nothing left to deliver.
  bool handle_idle_loss() {
    report_loss(run);
    if (client_pending(run.client) == 0 && run.reconnection.retries == 0) return true;
    if (reconnect(run)) return true;
    if (stop_requested && client_pending(run.client) == 0) return false;
    connection_failed(run);
  }
};

enum class Published { kYes, kGaveUp, kRefused, kTooLarge };

// Publishes one record, connecting again as the run allows when the connection is down. A
// record that still cannot go out ends the program rather than being dropped unnoticed.
Published publish_record(Run& run, const Record& record) {
  run.record_in_hand = true;
  for (int tries = 0;; ++tries) {
    int rc = MQTTClient_publish(run.client, run.topic, record.len, record.data, settings.qos,
                                settings.retained, nullptr);
    if (rc != kClientDisconnected) run.record_in_hand = false;
    switch (rc) {
      case kClientSuccess:
        return Published::kYes;
      case kClientStopped:
        return Published::kGaveUp;
      case kClientRefused:
        return Published::kRefused;
      case kClientTooLarge:
        return Published::kTooLarge;
      case kClientDisconnected:
        break;
      default:
        fail("Failed to publish\n");
    }
    // By default a record gets one reconnection and one more try.
    if (tries > 0 && run.reconnection.retries == 0) fail("Failed to publish\n");
    report_loss(run);
    if (!reconnect(run)) connection_failed(run);
  }
}

// Hands over everything still in flight, then disconnects. A connection that goes down with
// records outstanding is made again as after a failed publish.
void finish(Run& run, int timeout_ms) {
  for (int tries = 0;; ++tries) {
    int rc = MQTTClient_disconnect(run.client, timeout_ms);
    if (rc == kClientSuccess) break;
    if (rc != kClientDisconnected || (tries > 0 && run.reconnection.retries == 0)) {
      fail("Failed to deliver all records\n");
    }
    report_loss(run);
    if (!reconnect(run)) connection_failed(run);
  }
  // QoS 0 records a lost connection cut off partway are gone: the run must not say otherwise.
  if (client_stats(run.client).lost > 0) fail("Failed to deliver all records\n");
  // A refusal that came back only while the last records were handed over ends the run as one
  // seen earlier does.
  if (client_refusal(run.client) != 0) {
    report_refusal(run);
    fflush(stdout);
    exit(-1);
  }
}

Options connection_options() {
  Options o;
  o.ssl = {settings.cafile, settings.capath, settings.cert,        settings.key,
           settings.alpn,   settings.psk,    settings.psk_identity};
  o.will = {settings.will_topic, settings.will_payload, settings.will_qos, settings.will_retain};
  const ProxySettings& p = settings.proxy;
  o.proxy = {p.host.c_str(), p.port, p.username.empty() ? nullptr : p.username.c_str(),
             p.password.empty() ? nullptr : p.password.c_str()};
  MQTTClient_connectOptions& c = o.connect;
  c.keepAliveInterval = settings.keepalive;
  c.cleansession = 1;
  c.reliable = 0;
  c.username = settings.username;
  c.password = settings.password;
  c.MQTTVersion = settings.protocol_version;
  c.sessionExpiry = settings.session_expiry;
  c.bindAddress = settings.bind_address;
  return o;
}

// Points the options at their records; `o` must not move afterwards.
void link_options(Options& o) {
  // Any of the certificate options, ALPN or a pre-shared key asks for TLS.
  bool tls = settings.cafile != nullptr || settings.capath != nullptr || settings.cert != nullptr ||
             settings.key != nullptr || settings.alpn != nullptr || settings.psk != nullptr;
  o.connect.ssl = tls ? &o.ssl : nullptr;
  o.connect.will = settings.will_topic != nullptr ? &o.will : nullptr;
  o.connect.proxy = settings.proxy.host.empty() ? nullptr : &o.proxy;
}

void set_properties(MQTTClient client) {
  PublishProperties p;
  p.message_expiry = settings.message_expiry;
  if (settings.content_type != nullptr) p.content_type = settings.content_type;
  for (const UserProperty& u : settings.user_properties) {
    p.user_properties.emplace_back(u.name, u.value);
  }
  set_publish_properties(client, p);
}

// SIGINT, SIGTERM and SIGHUP ask for an orderly end, SIGUSR1 for the counters. Outside waits
// they are blocked, so that none arrives between a test of its flag and the wait that would
// miss it. A SIGHUP ignored by whoever started us (nohup) stays ignored.
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
  sigset_t handled, during_waits;
  sigemptyset(&handled);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) sigaddset(&handled, s);
  sigprocmask(SIG_BLOCK, &handled, &during_waits);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) sigdelset(&during_waits, s);
  set_wait_masks(during_waits, during_waits);
}

// A closed standard input or a directory cannot give records: say so before connecting.
bool stdin_is_readable() {
  struct stat st;
  return fstat(STDIN_FILENO, &st) == 0 && !S_ISDIR(st.st_mode);
}

// Reads and publishes records until a stop request, the end of input, a read error or a
// refusal; the stop flag is tested between records only. Returns the last read_record result
// (1 after a stop) and what became of the last record.
std::pair<int, Published> publish_loop(Run& run, RecordReader& reader, StdinSource& input) {
  Record record;
  int status = 1;
  while (!stop_requested) {
    status = read_record(reader, input, &record);
    if (status <= 0) break;
    ++run.records_read;
    if (settings.verbose) printf("Publishing data of length %d\n", record.len);
    Published outcome = publish_record(run, record);
    if (outcome == Published::kRefused) report_refusal(run);
    if (outcome == Published::kTooLarge) {
      printf("Record of %d bytes is larger than the broker takes\n", record.len);
    }
    if (outcome != Published::kYes) return {status, outcome};
    if (settings.qos > 0) MQTTClient_yield();
    print_counters();
  }
  if (!input.refused) return {status, Published::kYes};
  report_refusal(run);
  return {status, Published::kRefused};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) print_usage();
  if (is_version_request(argc, argv)) {
    printf("linecast %s (libmosquitto %s)\n", LINECAST_VERSION, library_version().c_str());
    return 0;
  }
  parse_arguments(argc, argv);
  // Line by line, so that what was said survives a second interrupt's abrupt end.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  signal(SIGPIPE, SIG_IGN);  // a broker that vanishes must surface as an error, not kill us
  Run run;
  run.topic = argv[1];
  run.reconnection.retries = settings.reconnect;

  std::string address = std::string(settings.host) + ":" + settings.port;
  if (settings.verbose) printf("URL is %s\n", address.c_str());
  printf("Using topic %s\n", run.topic);
  if (!topic_is_publishable(run.topic)) fail("Invalid topic\n");
  if (settings.will_topic != nullptr && !topic_is_publishable(settings.will_topic)) {
    fail("Invalid will topic\n");
  }
  if (!stdin_is_readable()) fail("Failed to read standard input\n");

  ClientLibrary library;
  if (MQTTClient_create(&run.client, address.c_str(), settings.clientid, kPersistenceNone,
                        nullptr) != kClientSuccess) {
    fail("Failed to create client\n");
  }
  the_run = &run;
  install_signal_handlers();
  set_stop_flag(run.client, &stop_requested, kDrainTimeoutMs);
  set_wake_hook(run.client, print_counters);
  set_properties(run.client);

  run.options = connection_options();
  link_options(run.options);
  // With --reconnect the first connection is retried like a lost one.
  int first_attempts = settings.reconnect == kReconnectForever ? -1 : 1 + settings.reconnect;
  if (!connect_with_retries(run, first_attempts, false)) {
    if (settings.verbose) printf("Reason: %s\n", failure_text(connect_failure(run.client)));
    fail("Failed to connect\n");
  }

  RecordReader reader;
  if (!init_reader(&reader, settings.delimiter, settings.maxdatalen)) {
    fail("Failed to allocate the record buffer\n");
  }
  StdinSource input(run, reader);
  auto [status, outcome] = publish_loop(run, reader, input);
  // Whatever was published before a read error or a refusal is still handed over before the
  // program ends with it.
  if (status < 0) {
    finish(run, kDrainTimeoutMs);
    fail("Failed to read standard input\n");
  }
  if (outcome == Published::kRefused || outcome == Published::kTooLarge) {
    finish(run, kDrainTimeoutMs);
    fflush(stdout);
    exit(-1);
  }
  say_stopping(run);
  reader = RecordReader();
  finish(run, outcome == Published::kGaveUp ? 0 : kDrainTimeoutMs);
  MQTTClient_destroy(&run.client);
  return 0;
}
