// Benchmark subscriber: counts and checks every record that reaches the topic, in order, and
// prints one line with the counts and the times of the first and the last expected record. With
// --topic-separator it checks per-record topics too: a record SUBTOPIC<C>PAYLOAD must arrive as
// PAYLOAD on the --topic-prefix followed by SUBTOPIC (subscribe to a wildcard to get them all).
#include <fcntl.h>
#include <mosquitto.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "gen_lines.h"

namespace {

uint64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + ts.tv_nsec;
}

// The records the publisher should deliver: cut from a file the way the publisher cuts its
// input, or made again from the generator (where one line is one record).
struct Expected {
  // File mode: the mapped input and where each record starts; starts.back() is the end.
  const char* data = nullptr;
  size_t size = 0;
  std::vector<uint64_t> starts;
  std::unordered_map<std::string_view, uint64_t> by_payload;  // built on the first surprise
  // Generator mode.
  bool gen = false;
  GenShape shape;
  uint64_t gen_last_len = 0;  // length of the last record, which may be a cut line
  std::vector<char> gen_buf;

  uint64_t count = 0;
  bool strip = false;  // the publisher drops the trailing delimiter (line-mode peers do)
  char delimiter = '\n';
  // Per-record topics (file mode): record i's payload starts skip[i] bytes in, after its
  // subtopic and the separator; 0 when it has no separator and goes whole to the prefix.
  bool split = false;
  char separator = ':';
  std::string topic_prefix;
  std::vector<uint32_t> skip;
};

// Where each record's payload starts, for a publisher that splits records at the separator.
void find_subtopics(Expected& e) {
  e.skip.assign(e.count, 0);
  for (uint64_t i = 0; i < e.count; ++i) {
    const char* r = e.data + e.starts[i];
    const void* hit = std::memchr(r, e.separator, e.starts[i + 1] - e.starts[i]);
    if (hit) e.skip[i] = static_cast<uint32_t>(static_cast<const char*>(hit) - r) + 1;
  }
}

// Whether `topic` is where record i must arrive: the prefix followed by its subtopic.
bool topic_matches(const Expected& e, uint64_t i, std::string_view topic) {
  std::string_view sub(e.data + e.starts[i], e.skip[i] > 0 ? e.skip[i] - 1 : 0);
  return topic.size() == e.topic_prefix.size() + sub.size() &&
         topic.compare(0, e.topic_prefix.size(), e.topic_prefix) == 0 &&
         topic.substr(e.topic_prefix.size()) == sub;
}

bool load_file(Expected& e, const char* path, char delimiter, size_t maxdatalen) {
  int fd = open(path, O_RDONLY);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    close(fd);
    return false;
  }
  e.size = static_cast<size_t>(st.st_size);
  if (e.size > 0) {
    void* p = mmap(nullptr, e.size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (p == MAP_FAILED) {
      close(fd);
      return false;
    }
    e.data = static_cast<const char*>(p);
  }
  close(fd);
  size_t pos = 0;
  while (pos < e.size) {
    e.starts.push_back(pos);
    size_t limit = std::min(e.size - pos, maxdatalen);
    const void* hit = std::memchr(e.data + pos, delimiter, limit);
    pos = hit ? static_cast<size_t>(static_cast<const char*>(hit) - e.data) + 1 : pos + limit;
  }
  e.count = e.starts.size();
  e.starts.push_back(e.size);
  return true;
}

void init_gen(Expected& e, uint64_t lines, uint64_t bytes) {
  e.gen = true;
  e.gen_buf.resize(gen_max_len(e.shape));
  // Only lengths are needed to know where the stream ends.
  uint64_t total = 0;
  for (uint64_t i = 0;; ++i) {
    if (bytes == 0 ? i >= lines : total >= bytes) break;
    uint64_t len = gen_line_len(e.shape, i);
    if (bytes != 0 && total + len > bytes) len = bytes - total;
    total += len;
    e.gen_last_len = len;
    e.count = i + 1;
  }
}

std::string_view record(Expected& e, uint64_t i) {
  std::string_view r;
  if (e.gen) {
    size_t len = gen_line(e.shape, i, e.gen_buf.data());
    if (i + 1 == e.count) len = e.gen_last_len;
    r = {e.gen_buf.data(), len};
  } else {
    r = {e.data + e.starts[i], static_cast<size_t>(e.starts[i + 1] - e.starts[i])};
    if (e.split) r.remove_prefix(e.skip[i]);
  }
  if (e.strip && !r.empty() && r.back() == e.delimiter) r.remove_suffix(1);
  return r;
}

// Which expected record `payload` is, for a message that is not the next one in order;
// e.count when it is none of them.
uint64_t find_record(Expected& e, std::string_view payload) {
  if (e.gen) {
    // Generated lines start with their zero-padded index.
    if (payload.size() < 11) return e.count;
    uint64_t i = 0;
    for (int k = 0; k < 10; ++k) {
      if (payload[k] < '0' || payload[k] > '9') return e.count;
      i = i * 10 + (payload[k] - '0');
    }
    return i < e.count && record(e, i) == payload ? i : e.count;
  }
  if (e.by_payload.empty()) {
    e.by_payload.reserve(e.count);
    for (uint64_t i = 0; i < e.count; ++i) e.by_payload.emplace(record(e, i), i);
  }
  auto it = e.by_payload.find(payload);
  return it == e.by_payload.end() ? e.count : it->second;
}

struct Tally {
  Expected expected;
  std::vector<bool> seen;
  uint64_t next = 0;  // first expected record not yet seen, past the latest one seen
  uint64_t received = 0, distinct = 0, dups = 0, reordered = 0, unknown = 0, bytes = 0;
  uint64_t wrong_topic = 0;  // expected payloads on another topic than their subtopic's
  uint64_t first_ns = 0, last_ns = 0;
  uint64_t complete_ns = 0;  // when the last missing record arrived
  bool mismatch = false;
  uint64_t mismatch_msg = 0, mismatch_index = 0;
  std::string mismatch_got, mismatch_want;
  int sub_qos = 0;
  bool ready = false, failed = false;
  const char* topic = nullptr;
};

std::string preview(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size() && i < 48; ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  if (s.size() > 48) out += "...";
  return out;
}

void on_message(mosquitto*, void* obj, const mosquitto_message* msg) {
  Tally& t = *static_cast<Tally*>(obj);
  uint64_t now = now_ns();
  if (t.received == 0) t.first_ns = now;
  t.last_ns = now;
  ++t.received;
  std::string_view payload(static_cast<const char*>(msg->payload),
                           static_cast<size_t>(msg->payloadlen));
  t.bytes += payload.size();
  Expected& e = t.expected;
  uint64_t i;
  if (t.next < e.count && record(e, t.next) == payload) {
    i = t.next;
  } else {
    if (!t.mismatch) {
      t.mismatch = true;
      t.mismatch_msg = t.received - 1;
      t.mismatch_index = t.next;
      t.mismatch_got = preview(payload);
      t.mismatch_want = t.next < e.count ? preview(record(e, t.next)) : "(nothing more)";
    }
    i = find_record(e, payload);
    if (i == e.count) {
      ++t.unknown;
      return;
    }
    if (t.seen[i]) {
      ++t.dups;
      return;
    }
    if (i < t.next) ++t.reordered;  // a record skipped earlier came late
  }
  if (e.split && !topic_matches(e, i, msg->topic)) {
    if (t.wrong_topic++ == 0) {
      std::fprintf(stderr, "subscriber: record %llu arrived on topic %s\n",
                   static_cast<unsigned long long>(i), preview(msg->topic).c_str());
    }
  }
  t.seen[i] = true;
  ++t.distinct;
  if (i >= t.next) t.next = i + 1;
  while (t.next < e.count && t.seen[t.next]) ++t.next;
  if (t.distinct == e.count) t.complete_ns = now;
}

void on_connect(mosquitto* m, void* obj, int rc) {
  Tally& t = *static_cast<Tally*>(obj);
  if (rc != 0 || mosquitto_subscribe(m, nullptr, t.topic, t.sub_qos) != MOSQ_ERR_SUCCESS) {
    std::fprintf(stderr, "subscriber: connection refused or subscribe failed (%d)\n", rc);
    t.failed = true;
  }
}

void on_subscribe(mosquitto*, void* obj, int, int count, const int* granted) {
  Tally& t = *static_cast<Tally*>(obj);
  if (count != 1 || granted[0] != t.sub_qos) {
    std::fprintf(stderr, "subscriber: subscription not granted at QoS %d\n", t.sub_qos);
    t.failed = true;
    return;
  }
  t.ready = true;
  std::printf("ready\n");
  std::fflush(stdout);
}

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: bench_subscriber HOST PORT TOPIC QOS COUNT SOURCE [--delimiter C]\n"
               "         [--maxdatalen N] [--idle-ms N] [--max-ms N] [--strip-delimiter 0|1]\n"
               "         [--grace-ms N] [--body-min N] [--body-span N]\n"
               "         [--topic-separator C --topic-prefix P]\n"
               "  COUNT: records to wait for (0: as many as SOURCE holds)\n"
               "  SOURCE: file:PATH (cut like the publisher), gen-lines:N or gen-bytes:N (the\n"
               "          bench_gen stream of that shape; one line must be one record)\n"
               "  --strip-delimiter 1: the publisher leaves the delimiter out of each payload\n"
               "  --topic-separator C: a record SUBTOPIC<C>PAYLOAD must arrive as PAYLOAD on\n"
               "          topic P followed by SUBTOPIC (file sources only)\n");
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 7) usage();
  const char* host = argv[1];
  int port = std::atoi(argv[2]);
  Tally t;
  t.topic = argv[3];
  t.sub_qos = std::atoi(argv[4]);
  uint64_t want_count = std::strtoull(argv[5], nullptr, 10);
  std::string source = argv[6];
  char delimiter = '\n';
  size_t maxdatalen = 100;
  uint64_t idle_ms = 5000, max_ms = 600000, grace_ms = 100;
  for (int a = 7; a < argc; a += 2) {
    if (a + 1 >= argc) usage();
    std::string opt = argv[a];
    const char* val = argv[a + 1];
    if (opt == "--delimiter") {
      delimiter = val[0];
    } else if (opt == "--maxdatalen") {
      maxdatalen = std::strtoull(val, nullptr, 10);
    } else if (opt == "--idle-ms") {
      idle_ms = std::strtoull(val, nullptr, 10);
    } else if (opt == "--strip-delimiter") {
      t.expected.strip = std::atoi(val) != 0;
    } else if (opt == "--max-ms") {
      max_ms = std::strtoull(val, nullptr, 10);
    } else if (opt == "--grace-ms") {
      grace_ms = std::strtoull(val, nullptr, 10);
    } else if (opt == "--topic-separator") {
      t.expected.split = true;
      t.expected.separator = val[0];
    } else if (opt == "--topic-prefix") {
      t.expected.topic_prefix = val;
    } else if (!gen_shape_option(t.expected.shape, argv[a], val)) {
      usage();
    }
  }
  if (t.sub_qos < 0 || t.sub_qos > 2 || maxdatalen < 1) usage();
  t.expected.delimiter = delimiter;
  if (source.rfind("file:", 0) == 0) {
    if (!load_file(t.expected, source.c_str() + 5, delimiter, maxdatalen)) {
      std::perror(source.c_str() + 5);
      return 2;
    }
    if (t.expected.split) find_subtopics(t.expected);
  } else if (source.rfind("gen-lines:", 0) == 0) {
    init_gen(t.expected, std::strtoull(source.c_str() + 10, nullptr, 10), 0);
  } else if (source.rfind("gen-bytes:", 0) == 0) {
    init_gen(t.expected, 0, std::strtoull(source.c_str() + 10, nullptr, 10));
  } else {
    usage();
  }
  if (t.expected.gen && t.expected.split) usage();
  if (t.expected.gen && (delimiter != '\n' || maxdatalen < gen_max_len(t.expected.shape))) {
    std::fprintf(stderr, "subscriber: generated input needs the line feed and maxdatalen >= %zu\n",
                 gen_max_len(t.expected.shape));
    return 2;
  }
  if (want_count != 0 && want_count != t.expected.count) {
    std::fprintf(stderr, "subscriber: COUNT %llu but the input holds %llu records\n",
                 static_cast<unsigned long long>(want_count),
                 static_cast<unsigned long long>(t.expected.count));
    return 2;
  }
  t.seen.assign(t.expected.count, false);

  mosquitto_lib_init();
  std::string id = "bench-sub-" + std::to_string(getpid());
  mosquitto* m = mosquitto_new(id.c_str(), true, &t);
  if (!m) return 2;
  mosquitto_connect_callback_set(m, on_connect);
  mosquitto_subscribe_callback_set(m, on_subscribe);
  mosquitto_message_callback_set(m, on_message);
  if (mosquitto_connect(m, host, port, 60) != MOSQ_ERR_SUCCESS) {
    std::fprintf(stderr, "subscriber: cannot connect to %s:%d\n", host, port);
    return 2;
  }
  int sock = mosquitto_socket(m);
  uint64_t start = now_ns(), last_activity = start;
  bool lost = false, timed_out = false;
  int lost_rc = 0;
  // Once all records are in, listen a little longer for duplicates or strays.
  auto finished = [&t, grace_ms](uint64_t now) {
    if (t.expected.count == 0) return t.ready;
    return t.complete_ns != 0 && now - t.complete_ns >= grace_ms * 1000000ull;
  };
  while (!t.failed && !lost && !finished(now_ns())) {
    pollfd pfd{sock, static_cast<short>(POLLIN | (mosquitto_want_write(m) ? POLLOUT : 0)), 0};
    if (poll(&pfd, 1, 20) < 0) break;
    if (pfd.revents & (POLLIN | POLLHUP | POLLERR)) {
      // libmosquitto reads one packet per call; drain all that has arrived before polling again,
      // so the broker never waits on this process.
      for (;;) {
        uint64_t before = t.received;
        if ((lost_rc = mosquitto_loop_read(m, 1)) != MOSQ_ERR_SUCCESS) {
          std::fprintf(stderr, "subscriber: connection lost: %s\n", mosquitto_strerror(lost_rc));
          lost = true;
          break;
        }
        int avail = 0;
        if (t.received == before && (ioctl(sock, FIONREAD, &avail) != 0 || avail == 0)) break;
      }
    }
    if (pfd.revents & POLLOUT) mosquitto_loop_write(m, 1);
    mosquitto_loop_misc(m);
    uint64_t now = now_ns();
    if (t.complete_ns != 0) continue;  // only the grace period is left
    if (t.last_ns > last_activity) last_activity = t.last_ns;
    if (!t.ready) last_activity = now;  // the idle clock starts once the subscription stands
    if (now - last_activity > idle_ms * 1000000ull || now - start > max_ms * 1000000ull) {
      timed_out = true;
      break;
    }
  }
  Expected& e = t.expected;
  bool ok = !t.failed && !lost && t.distinct == e.count && t.dups == 0 && t.unknown == 0 &&
            t.reordered == 0 && t.wrong_topic == 0 && t.received == e.count;
  std::printf(
      "received=%llu ok=%d expected=%llu distinct=%llu missing=%llu dups=%llu reordered=%llu "
      "unknown=%llu wrong_topic=%llu bytes=%llu first_ns=%llu last_ns=%llu timed_out=%d "
      "lost=%d\n",
      static_cast<unsigned long long>(t.received), ok ? 1 : 0,
      static_cast<unsigned long long>(e.count), static_cast<unsigned long long>(t.distinct),
      static_cast<unsigned long long>(e.count - t.distinct),
      static_cast<unsigned long long>(t.dups), static_cast<unsigned long long>(t.reordered),
      static_cast<unsigned long long>(t.unknown), static_cast<unsigned long long>(t.wrong_topic),
      static_cast<unsigned long long>(t.bytes), static_cast<unsigned long long>(t.first_ns),
      static_cast<unsigned long long>(t.complete_ns != 0 ? t.complete_ns : t.last_ns),
      timed_out ? 1 : 0, lost ? 1 : 0);
  if (t.mismatch) {
    std::printf("first_mismatch: message %llu, expected record %llu \"%s\", got \"%s\"\n",
                static_cast<unsigned long long>(t.mismatch_msg),
                static_cast<unsigned long long>(t.mismatch_index), t.mismatch_want.c_str(),
                t.mismatch_got.c_str());
  }
  std::fflush(stdout);
  if (!lost) {
    mosquitto_disconnect(m);
    mosquitto_loop_write(m, 1);
  }
  mosquitto_destroy(m);
  mosquitto_lib_cleanup();
  return ok ? 0 : 1;
}
