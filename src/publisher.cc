// The linecast program: start-up, the publish loop with its one reconnection, the orderly end,
// and the stop flag that SIGINT and SIGTERM raise.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "mqtt_client.h"
#include "record_reader.h"
#include "settings.h"

namespace {

constexpr int kKeepAliveSeconds = 20;
// The orderly end gives up when this long passes without a record being handed over.
constexpr int kDrainTimeoutMs = 10000;

volatile std::sig_atomic_t stop_requested = 0;

void on_stop_signal(int) {
  signal(SIGINT, SIG_DFL);  // a second interrupt ends the process at once
  stop_requested = 1;
}

// Ends the process at once with status -1 after a fixed message; nothing is released.
[[noreturn]] void fail(const char* message) {
  fputs(message, stdout);
  fflush(stdout);
  exit(-1);
}

// Standard input, waited on together with the broker socket so that the connection is kept
// alive while the input is idle.
struct StdinSource : ByteSource {
  MQTTClient client;
  explicit StdinSource(MQTTClient c) : client(c) {}
  ssize_t read(unsigned char* buf, size_t len) override {
    for (;;) {
      if (wait_for_input(client, STDIN_FILENO) < 0) return -1;
      ssize_t got = ::read(STDIN_FILENO, buf, len);
      if (got >= 0 || (errno != EINTR && errno != EAGAIN)) return got;
    }
  }
};

// A closed standard input or a directory cannot give records: say so before connecting.
bool stdin_is_readable() {
  struct stat st;
  return fstat(STDIN_FILENO, &st) == 0 && !S_ISDIR(st.st_mode);
}

void connect_or_fail(MQTTClient client, const MQTTClient_connectOptions& options) {
  printf("Connecting\n");
  if (MQTTClient_connect(client, &options) != kClientSuccess) fail("Failed to connect\n");
}

// Publishes one record; on failure connects once more and publishes it again. A record that
// still cannot go out ends the program rather than being dropped unnoticed. Returns false when
// a stop request gave up on the record because the broker took nothing for the drain wait.
bool publish_record(MQTTClient client, const MQTTClient_connectOptions& options, const char* topic,
                    const Record& record) {
  int rc = MQTTClient_publish(client, topic, record.len, record.data, settings.qos,
                              settings.retained, nullptr);
  if (rc == kClientSuccess) return true;
  if (rc == kClientStopped) return false;
  connect_or_fail(client, options);
  if (MQTTClient_publish(client, topic, record.len, record.data, settings.qos, settings.retained,
                         nullptr) != kClientSuccess) {
    fail("Failed to publish\n");
  }
  return true;
}

// Hands over everything still in flight, then disconnects. A connection that went down with
// records outstanding gets the same one reconnection a failed publish gets.
void finish(MQTTClient client, const MQTTClient_connectOptions& options, int timeout_ms) {
  int rc = MQTTClient_disconnect(client, timeout_ms);
  if (rc == kClientDisconnected) {
    connect_or_fail(client, options);
    rc = MQTTClient_disconnect(client, timeout_ms);
  }
  if (rc != kClientSuccess) fail("Failed to deliver all records\n");
}

// The options of the first connection, reused for every reconnection. `ssl` must outlive them.
MQTTClient_connectOptions connection_options(const MQTTClient_SSLOptions& ssl) {
  MQTTClient_connectOptions options{};
  options.keepAliveInterval = kKeepAliveSeconds;
  options.cleansession = 1;
  options.reliable = 0;
  options.will = nullptr;
  options.username = settings.username;
  options.password = settings.password;
  // Any of the certificate options asks for TLS.
  bool tls = settings.cafile != nullptr || settings.capath != nullptr || settings.cert != nullptr ||
             settings.key != nullptr;
  options.ssl = tls ? &ssl : nullptr;
  return options;
}

// Reads and publishes records until a stop request, the end of input or a read error; the
// stop flag is tested between records only. Returns the last read_record result (1 after a
// stop). `*drain_ms` becomes 0 when a stop request already spent the wait on a stuck record.
int publish_loop(MQTTClient client, const MQTTClient_connectOptions& options, const char* topic,
                 RecordReader& reader, int* drain_ms) {
  StdinSource input(client);
  Record record;
  int status = 1;
  while (!stop_requested) {
    status = read_record(reader, input, &record);
    if (status <= 0) break;
    if (settings.verbose) printf("Publishing data of length %d\n", record.len);
    if (!publish_record(client, options, topic, record)) {
      *drain_ms = 0;
      break;
    }
    if (settings.qos > 0) MQTTClient_yield();
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) print_usage();
  parse_arguments(argc, argv);
  // Line by line, so that what was said survives a second interrupt's abrupt end.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  signal(SIGPIPE, SIG_IGN);  // a broker that vanishes must surface as an error, not kill us
  const char* topic = argv[1];

  std::string address = std::string(settings.host) + ":" + settings.port;
  if (settings.verbose) printf("URL is %s\n", address.c_str());
  printf("Using topic %s\n", topic);
  if (!topic_is_publishable(topic)) fail("Invalid topic\n");
  if (!stdin_is_readable()) fail("Failed to read standard input\n");

  ClientLibrary library;
  MQTTClient client = nullptr;
  if (MQTTClient_create(&client, address.c_str(), settings.clientid, kPersistenceNone, nullptr) !=
      kClientSuccess) {
    fail("Failed to create client\n");
  }
  signal(SIGINT, on_stop_signal);
  signal(SIGTERM, on_stop_signal);
  set_stop_flag(client, &stop_requested, kDrainTimeoutMs);

  const MQTTClient_SSLOptions ssl{settings.cafile, settings.capath, settings.cert, settings.key};
  const MQTTClient_connectOptions options = connection_options(ssl);
  connect_or_fail(client, options);

  RecordReader reader;
  if (!init_reader(&reader, settings.delimiter, settings.maxdatalen)) {
    fail("Failed to allocate the record buffer\n");
  }
  int drain_ms = kDrainTimeoutMs;
  int status = publish_loop(client, options, topic, reader, &drain_ms);
  // Whatever was published before a read error is still handed over before the error is told.
  if (status < 0) {
    finish(client, options, drain_ms);
    fail("Failed to read standard input\n");
  }
  printf("Stopping\n");
  reader = RecordReader();
  finish(client, options, drain_ms);
  MQTTClient_destroy(&client);
  return 0;
}
