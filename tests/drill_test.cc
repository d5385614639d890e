// The spool's promises under faults: a seeded chaos drill (link, broker and linecast faults
// against a FIFO that outlives linecast), a crash at every call that changes the spool, and power
// cuts that keep only what was made durable (tests/crash_shim.c). Each counts every produced
// record at a subscriber: what linecast consumed must arrive, whole, exactly once where promised.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>
#include <mosquitto.h>

#include "broker_fixture.h"
#include "proxies.h"
#include "test_support.h"

namespace {

constexpr char kConnecting[] = "Connecting\n";
constexpr size_t kMaxDataLen = 128 * 1024;
constexpr char kSentinel[] = "end of drill\n";
// What mosquitto sends a client at once, unacknowledged (its max_inflight_messages).
constexpr size_t kBrokerInflight = 20;

long env_number(const char* name, long fallback) {
  const char* text = getenv(name);
  return text != nullptr && *text != '\0' ? atol(text) : fallback;
}

// The seed a run prints, from `name` when set: the same seed gives the same records and faults.
uint64_t seed_from(const char* name) {
  const char* text = getenv(name);
  if (text != nullptr && *text != '\0') return strtoull(text, nullptr, 10);
  return std::random_device{}() % 1000000;
}

// Record `n` of a drill seeded with `seed`: its number in 8 digits, a letter of its own up to a
// length drawn from the seed (mostly short, some of kilobytes, a few beyond a 64 KiB read), and
// a line feed. A payload equal to no such record is a fragment.
std::string drill_record(uint64_t seed, size_t n) {
  std::mt19937_64 rng(seed * 1000003 + n);
  const unsigned pick = rng() % 1000;
  size_t len = pick < 850 ? 10 + rng() % 110 : pick < 995 ? 120 + rng() % 4000
                                                           : 66000 + rng() % 40000;
  char number[16];
  snprintf(number, sizeof number, "%08zu", n);
  std::string record(number);
  record.resize(len - 1, static_cast<char>('a' + n % 26));
  return record + "\n";
}

// What a subscriber saw of numbered records: arrivals per number, fragments, first arrivals out
// of order. Bounded by the records produced, not by the arrivals.
class Tally {
 public:
  explicit Tally(uint64_t seed) : seed_(seed) {}

  void add(const std::string& payload) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (payload == kSentinel) {
      ++sentinels_;
      return;
    }
    size_t n = 0;
    if (payload.size() < 9 || sscanf(payload.c_str(), "%8zu", &n) != 1 ||
        payload != drill_record(seed_, n)) {
      ++fragments_;
      return;
    }
    if (n >= counts_.size()) counts_.resize(n + 1, 0);
    if (counts_[n]++ == 0) {
      ++distinct_;
      if (n < highest_ && any_ && late_.size() < kMostLate) late_.push_back(n);
      highest_ = any_ ? std::max(highest_, n) : n;
      any_ = true;
    }
  }
  size_t distinct() {
    std::lock_guard<std::mutex> lock(mutex_);
    return distinct_;
  }
  size_t sentinels() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sentinels_;
  }
  /// The highest record number that has come, or 0.
  size_t highest() {
    std::lock_guard<std::mutex> lock(mutex_);
    return highest_;
  }
  struct Figures {
    size_t lost = 0, duplicates = 0, fragments = 0, reordered = 0, arrived = 0;
    size_t first_duplicate = SIZE_MAX;  // the lowest record number that came more than once
    size_t broker = 0;  // lost, repeated or late where the broker's restart put them at risk
    std::string where;  // the first ranges lost and repeated, and records that came late
  };
  /// Against records 0 .. `produced` - 1. Records in `at_risk` (first, last) are the broker's.
  Figures figures(size_t produced, const std::vector<std::pair<size_t, size_t>>& at_risk = {}) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto risky = [&](size_t n) {
      for (const auto& r : at_risk) {
        if (n >= r.first && n <= r.second) return true;
      }
      return false;
    };
    Figures f;
    f.fragments = fragments_;
    std::string lost, repeated, late;
    size_t lost_ranges = 0, repeated_ranges = 0;
    for (size_t n = 0; n < std::max(produced, counts_.size()); ++n) {
      unsigned c = n < counts_.size() ? counts_[n] : 0;
      unsigned before = n > 0 && n - 1 < counts_.size() ? counts_[n - 1] : 1;
      f.arrived += c;
      if ((c == 0 && n < produced) || c > 1) {
        if (risky(n)) {
          ++f.broker;
          continue;
        }
      }
      if (n < produced && c == 0) ++f.lost;
      if (c > 1) f.duplicates += c - 1;
      if (c > 1) f.first_duplicate = std::min(f.first_duplicate, n);
      // Ranges by their first record, a few of each.
      if (n < produced && c == 0 && before != 0 && ++lost_ranges <= 5) {
        lost += " " + std::to_string(n);
      }
      if (c > 1 && before <= 1 && ++repeated_ranges <= 5) repeated += " " + std::to_string(n);
    }
    for (size_t n : late_) {
      if (risky(n)) {
        ++f.broker;
      } else if (++f.reordered <= 5) {
        late += " " + std::to_string(n);
      }
    }
    f.where = "lost from" + lost + "; repeated from" + repeated + "; late" + late;
    return f;
  }

 private:
  uint64_t seed_;
  std::mutex mutex_;
  std::vector<uint16_t> counts_;
  static constexpr size_t kMostLate = 1 << 20;
  size_t distinct_ = 0, fragments_ = 0, sentinels_ = 0, highest_ = 0;
  std::vector<size_t> late_;  // records that came after a later one
  bool any_ = false;
};

// A subscriber with a kept session at the records' QoS, straight on the broker.
struct TallySubscriber {
  TallySubscriber(int port, const std::string& topic, int qos, uint64_t seed)
      : port(port), topic(topic), qos(qos), tally(seed) {
    renew();
  }
  /// A new client on the same kept session. After a broker restart the old client's QoS 2
  /// state may name packet identifiers whose messages the broker did not keep: a later message
  /// that reuses one would be taken for the old one (the old payload again, the new one lost).
  void renew() {
    client.reset();
    client = std::make_unique<SubscribedClient>(
        port, topic, qos,
        [this](const mosquitto_message& m) {
          tally.add(std::string(static_cast<const char*>(m.payload), m.payloadlen));
        },
        /*clean=*/false, topic + "-sub");
  }
  int port;
  std::string topic;
  int qos;
  Tally tally;
  std::unique_ptr<SubscribedClient> client;
};

// Publishes the sentinel behind every record on `topic` and waits for it: what came twice has
// come by then.
void send_sentinel(int port, const std::string& topic, int qos, TallySubscriber& sub) {
  const size_t before = sub.tally.sentinels();
  std::string out;
  EXPECT_EQ(run_linecast(args_for(port, topic, {"--qos", std::to_string(qos)}), kSentinel, &out),
            0);
  EXPECT_TRUE(wait_until([&] { return sub.tally.sentinels() > before; }, 20000));
}

// Whether a process whose command line names `text` is running (a linecast left behind).
bool process_naming(const std::string& text) {
  DIR* proc = opendir("/proc");
  bool found = false;
  while (dirent* entry = proc != nullptr ? readdir(proc) : nullptr) {
    if (atoi(entry->d_name) <= 0 || atoi(entry->d_name) == getpid()) continue;
    std::ifstream in(std::string("/proc/") + entry->d_name + "/cmdline");
    std::string cmdline((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (cmdline.find(text) != std::string::npos) found = true;
  }
  if (proc != nullptr) closedir(proc);
  return found;
}

// Opens `path` with `flags` | O_CLOEXEC (no child inherits it but through its standard input);
// throws when it cannot.
int open_or_throw(const std::string& path, int flags) {
  int fd = open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + path + ": " + strerror(errno));
  return fd;
}

// ---------------------------------------------------------------------------------------------
// The chaos drill.

// Writes drill records into a FIFO from a thread of its own: `rate` records a second in steps of
// 10 ms, now and then (or on request) a burst of thousands, each batch in writes of random
// sizes that cut records anywhere. A write blocks while linecast is away and the FIFO full.
class Producer {
 public:
  Producer(const std::string& fifo, uint64_t seed, long rate)
      : seed_(seed), rate_(rate), fd_(open_or_throw(fifo, O_WRONLY)) {
    thread_ = std::thread([this] { run(); });
  }
  ~Producer() { finish(); }

  /// Stops after the batch in progress, closes the FIFO (linecast then meets its end) and
  /// returns the records written.
  size_t finish() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    return written_;
  }
  /// Asks for a burst and waits until its first write begins.
  void burst_now() {
    const int before = bursts_;
    burst_asked_ = true;
    wait_until([&] { return bursts_ > before || stop_; }, 5000);
  }
  size_t written() const { return written_; }

 private:
  void run() {
    std::mt19937_64 rng(seed_ + 1);
    long long next_ms = monotonic_ms();
    while (!stop_) {
      size_t count = std::max<long>(1, rate_ / 100);
      if (burst_asked_.exchange(false) || rng() % 300 == 0) {
        count = 2000 + rng() % 3000;
        ++bursts_;
      }
      std::string batch;
      for (size_t i = 0; i < count; ++i) batch += drill_record(seed_, written_ + i);
      for (size_t at = 0; at < batch.size();) {
        size_t len = std::min<size_t>(batch.size() - at, 1 + rng() % 16384);
        ssize_t n = write(fd_, batch.data() + at, len);
        if (n < 0 && errno != EINTR) throw std::runtime_error("producer write failed");
        if (n > 0) at += static_cast<size_t>(n);
      }
      written_ += count;
      next_ms += 10;
      const long long rest = next_ms - monotonic_ms();
      if (rest > 0) sleep_ms(static_cast<int>(rest));
      else next_ms = monotonic_ms();
    }
  }

  uint64_t seed_;
  long rate_;
  int fd_;
  std::atomic<bool> stop_{false}, burst_asked_{false};
  std::atomic<int> bursts_{0};
  std::atomic<size_t> written_{0};
  std::thread thread_;
};

enum Fault {
  kCutReset, kCutEnd, kFreezeLink, kThrottle, kFreezeBroker, kRestartBroker, kKill,
  kKillInBurst, kStop, kFaultKinds
};
const char* const kFaultNames[] = {"cut_rst",    "cut_fin", "freeze",      "throttle",
                                   "broker_stop", "broker_restart", "kill9", "kill9_burst",
                                   "sigterm"};

struct DrillConfig {
  int qos;
  bool spool = true;
  uint64_t seed;
  long seconds;
  long rate;
};

// One drill: its broker, relay, FIFO, producer, subscriber and the linecast run of the moment.
class Drill {
 public:
  explicit Drill(const DrillConfig& config)
      : config_(config),
        rng_(config.seed),
        broker_("", "", "", /*persistent=*/true),
        relay_(broker_.port()),
        dir_(make_temp_dir()),
        topic_("drill/q" + std::to_string(config.qos) + "/" + std::to_string(config.seed)),
        sub_(broker_.port(), topic_, config.qos, config.seed) {
    if (mkfifo((dir_ + "/fifo").c_str(), 0600) != 0) throw std::runtime_error("mkfifo");
    // Held open for reading and never read: the FIFO and what it holds outlive every linecast.
    keeper_ = open_or_throw(dir_ + "/fifo", O_RDONLY | O_NONBLOCK);
    producer_ = std::make_unique<Producer>(dir_ + "/fifo", config.seed, config.rate);
  }
  ~Drill() {
    if (child_) child_->signal(SIGKILL);
    child_.reset();
    producer_.reset();
    close(keeper_);
    remove_tree(dir_);
  }

  void run();

 private:
  Strings arguments() const;
  void start_linecast();
  /// Ends the run of the moment with `sig` and notes an exit other than the one expected.
  void end_linecast(int sig, int expected_status);
  void inflict(Fault fault);
  Fault draw();
  void verdict(size_t produced, int last_status);

  DrillConfig config_;
  std::mt19937_64 rng_;
  BrokerFixture broker_;
  TcpRelay relay_;
  std::string dir_, topic_;
  TallySubscriber sub_;
  int keeper_ = -1;
  std::unique_ptr<Producer> producer_;
  std::unique_ptr<Child> child_;
  // A broker session begun with clean start does not outlive the broker's restart: at QoS 2 the
  // broker is restarted only once the run's session was resumed and records moved since.
  size_t resumed_at_ = 0;
  int faults_[kFaultKinds] = {};
  std::vector<std::string> bad_exits_;
  // Each fault with the records written when it began: where a lost or repeated record falls.
  struct Logged {
    Fault fault;
    size_t written;
  };
  std::vector<Logged> log_;
  std::vector<std::pair<size_t, size_t>> at_risk_;  // records a broker restart put at risk
};

Strings Drill::arguments() const {
  Strings extra = {"--qos", std::to_string(config_.qos), "--reconnect", "forever",
                   "--clientid", "drill-" + topic_, "--maxdatalen", std::to_string(kMaxDataLen)};
  if (config_.spool) extra.insert(extra.end(), {"--spool", dir_ + "/spool"});
  if (config_.qos == 2) {
    extra.insert(extra.end(), {"--protocol-version", "5", "--session-expiry", "3600"});
  }
  return args_for(relay_.port(), topic_, extra);
}

void Drill::start_linecast() {
  int input = open_or_throw(dir_ + "/fifo", O_RDONLY | O_NONBLOCK);
  fcntl(input, F_SETFL, 0);
  child_ = std::make_unique<Child>(linecast_bin(), arguments(), input);
  close(input);
  resumed_at_ = 0;
}

void Drill::end_linecast(int sig, int expected_status) {
  // A stop request before linecast installed its handler would end it as the default action does.
  if (sig == SIGTERM) wait_until([&] { return child_->catches(SIGTERM); }, 5000);
  child_->signal(sig);
  const int status = child_->wait(15000);
  if (status != expected_status) {
    bad_exits_.push_back(std::string(sig == SIGTERM ? "sigterm" : "kill") + " ended " +
                         std::to_string(status) + ": " + child_->out() + child_->err());
  }
  child_.reset();
}

Fault Drill::draw() {
  // Kills and stops of linecast are the point; the rest keep its connection busy.
  static const int kWeights[kFaultKinds] = {3, 2, 2, 2, 2, 1, 3, 2, 1};
  std::discrete_distribution<int> pick(std::begin(kWeights), std::end(kWeights));
  Fault fault = static_cast<Fault>(pick(rng_));
  if (fault == kRestartBroker && config_.qos == 2) {
    const size_t connects = count_of(child_->out(), kConnecting);
    if (connects < 2) return kCutReset;  // the cut makes the next connection a resumption
    if (resumed_at_ == 0) resumed_at_ = sub_.tally.distinct();
    if (sub_.tally.distinct() <= resumed_at_) return kFreezeLink;
  }
  return fault;
}

void Drill::inflict(Fault fault) {
  const int span_ms = 100 + static_cast<int>(rng_() % 1500);
  ++faults_[fault];
  log_.push_back({fault, producer_->written()});
  switch (fault) {
    case kCutReset: relay_.cut(); break;
    case kCutEnd: relay_.end(); break;
    case kFreezeLink:
      relay_.hold();
      sleep_ms(span_ms);
      relay_.resume();
      break;
    case kThrottle:
      for (long long until = monotonic_ms() + span_ms; monotonic_ms() < until;) {
        relay_.hold();
        sleep_ms(20);
        relay_.resume();
        sleep_ms(3);
      }
      break;
    case kFreezeBroker:
      broker_.freeze();
      sleep_ms(span_ms);
      broker_.thaw();
      break;
    case kRestartBroker: {
      // What the broker had in flight to the subscriber may be lost or come again: the
      // records just above the highest that came, as many as it sends at once, and as many
      // again it took from linecast.
      const size_t from = sub_.tally.highest() + 1;
      at_risk_.push_back({from, from + 2 * kBrokerInflight});
      broker_.stop();
      broker_.start();
      sub_.renew();
      break;
    }
    case kKillInBurst:
      producer_->burst_now();
      sleep_ms(static_cast<int>(rng_() % 5));
      [[fallthrough]];
    case kKill:
      end_linecast(SIGKILL, 128 + SIGKILL);
      start_linecast();
      break;
    case kStop:
      end_linecast(SIGTERM, 0);
      start_linecast();
      break;
    case kFaultKinds: break;
  }
}

void Drill::run() {
  start_linecast();
  const long long end_ms = monotonic_ms() + config_.seconds * 1000;
  while (monotonic_ms() < end_ms) {
    sleep_ms(200 + static_cast<int>(rng_() % 1000));
    if (!child_->still_running_after(0)) {
      bad_exits_.push_back("ended by itself " + std::to_string(child_->wait(0)) + ": " +
                           child_->out() + child_->err());
      start_linecast();
    }
    inflict(draw());
  }
  // The end of the FIFO: the run of the moment reads what is left and empties its spool.
  const size_t produced = producer_->finish();
  // A backlog drains at the broker's pace (20 records in flight at QoS 2): the last run gets as
  // long as records keep arriving, and is given up on after 30 s without one.
  size_t seen = sub_.tally.distinct();
  while (!wait_until([&] { return !child_->still_running_after(0); }, 30000)) {
    const size_t now = sub_.tally.distinct();
    if (now == seen) break;
    seen = now;
  }
  const int last_status = child_->wait(1000);
  verdict(produced, last_status);
}

void Drill::verdict(size_t produced, int last_status) {
  wait_until([&] { return sub_.tally.distinct() >= produced; }, 30000);
  send_sentinel(broker_.port(), topic_, config_.qos, sub_);
  const Tally::Figures f = sub_.tally.figures(produced, at_risk_);
  std::ostringstream line;
  line << "drill seed=" << config_.seed << " qos=" << config_.qos
       << (config_.spool ? "" : " spool=off") << " records=" << produced
       << " arrived=" << f.arrived << " lost=" << f.lost << " duplicates=" << f.duplicates
       << " fragments=" << f.fragments << " reordered=" << f.reordered
       << " broker=" << f.broker << " bad_exits=" << bad_exits_.size() << " faults:";
  for (int k = 0; k < kFaultKinds; ++k) line << " " << kFaultNames[k] << "=" << faults_[k];
  printf("%s\n", line.str().c_str());
  std::string replay = "replay: LINECAST_DRILL_SEED=" + std::to_string(config_.seed);
  if (f.lost + f.duplicates * (config_.qos == 2) + f.reordered > 0) {
    replay += "\n" + f.where + "\nfaults by records written:";
    for (const Logged& l : log_) {
      replay += " " + std::string(kFaultNames[l.fault]) + "@" + std::to_string(l.written);
    }
  }
  EXPECT_EQ(f.lost, 0u) << replay;
  EXPECT_EQ(f.fragments, 0u) << replay;
  EXPECT_EQ(f.reordered, 0u) << replay;
  if (config_.qos == 2) {
    EXPECT_EQ(f.duplicates, 0u) << replay;
  }
  EXPECT_EQ(last_status, 0) << replay << "\n" << child_->out() << child_->err();
  for (const std::string& exit : bad_exits_) ADD_FAILURE() << exit << replay;
  child_.reset();
  EXPECT_FALSE(process_naming(dir_)) << "a process left behind; " << replay;
}

void run_drill(int qos) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the drill runs in the plain build only";
#endif
  DrillConfig config;
  config.qos = qos;
  config.seed = seed_from("LINECAST_DRILL_SEED");
  config.seconds = env_number("LINECAST_DRILL_SECONDS", 15);
  config.rate = env_number("LINECAST_DRILL_RATE", 2000);
  config.spool = env_number("LINECAST_DRILL_NO_SPOOL", 0) == 0;
  printf("drill seed=%llu qos=%d: %ld s\n", static_cast<unsigned long long>(config.seed), qos,
         config.seconds);
  Drill drill(config);
  drill.run();
}

TEST(Drill, ChaosAtQos1LosesNothingConsumed) { run_drill(1); }
TEST(Drill, ChaosAtQos2ExactlyOnce) { run_drill(2); }

// ---------------------------------------------------------------------------------------------
// Crash points and power cuts: a short run killed at the N-th call that changes its spool, then
// a run on that spool (after a power cut: put back to what was durable) that reads the rest of
// the same input file. The file's offset, shared by both runs, is what linecast consumed.

constexpr size_t kCrashRecords = 40;

struct CrashCase {
  int qos;
  std::string sync;  // --spool-sync
  long crash_at;     // 0: no crash; the calls are counted
  bool power_cut;
};

// Puts `spool` back to what the shim's power directory says was durable.
void restore_durable(const std::string& spool, const std::string& power) {
  DIR* dir = opendir(spool.c_str());
  while (dirent* entry = dir != nullptr ? readdir(dir) : nullptr) {
    if (entry->d_type == DT_REG) unlink((spool + "/" + entry->d_name).c_str());
  }
  if (dir != nullptr) closedir(dir);
  std::ifstream names(power + "/names");
  std::string ino, name;
  while (names >> ino >> name) {
    struct stat st;
    const std::string copy = power + "/" + ino;
    write_file(spool + "/" + name, stat(copy.c_str(), &st) == 0 ? read_file(copy) : "");
  }
}

// Runs one case; returns the calls the first run made (crash_at 0) and checks the second run's
// delivery against the case's promise.
long run_crash_case(BrokerFixture& broker, const CrashCase& c, size_t index) {
  const std::string dir = make_temp_dir(), spool = dir + "/spool", power = dir + "/power";
  mkdir(power.c_str(), 0700);
  std::string input;
  for (size_t n = 0; n < kCrashRecords; ++n) input += drill_record(index, n);
  write_file(dir + "/input", input);
  const std::string topic = "crash/" + std::to_string(c.qos) + "/" + std::to_string(index);
  TallySubscriber sub(broker.port(), topic, c.qos, index);
  Strings extra = {"--qos", std::to_string(c.qos), "--spool", spool, "--spool-sync", c.sync,
                   "--clientid", topic, "--maxdatalen", std::to_string(kMaxDataLen)};
  if (c.qos == 2) extra.insert(extra.end(), {"--protocol-version", "5", "--session-expiry", "60"});
  const Strings args = args_for(broker.port(), topic, extra);
  Strings shimmed = {"LD_PRELOAD=" CRASH_SHIM, "LINECAST_CRASH_DIR=" + spool,
                     "LINECAST_CRASH_AT=" + std::to_string(c.crash_at),
                     "LINECAST_CRASH_COUNT=" + dir + "/count", linecast_bin()};
  if (c.power_cut) shimmed.insert(shimmed.begin(), "LINECAST_POWER_DIR=" + power);
  shimmed.insert(shimmed.end(), args.begin(), args.end());
  const int fd = open_or_throw(dir + "/input", O_RDONLY);
  const std::string what = "crash at " + std::to_string(c.crash_at) + " qos " +
                           std::to_string(c.qos) + " sync " + c.sync +
                           (c.power_cut ? " power cut" : "");
  long calls = 0;
  size_t taken = kCrashRecords;  // records the first run took from the input
  {
    Child first("env", shimmed, fd);
    const int status = first.wait(20000);
    if (c.crash_at == 0) {
      EXPECT_EQ(status, 0) << what << first.out() << first.err();
      calls = atol(read_file(dir + "/count").c_str());
    } else {
      // The calls of a run vary a little with timing: a point past its last is no crash.
      EXPECT_TRUE(status == 128 + SIGKILL || status == 0) << what << " ended " << status;
      if (c.power_cut) restore_durable(spool, power);
      // Both runs share the input's offset: what the first one took is what lies before it.
      const off_t offset = lseek(fd, 0, SEEK_CUR);
      off_t at = 0;
      for (taken = 0; taken < kCrashRecords; ++taken) {
        at += static_cast<off_t>(drill_record(index, taken).size());
        if (at > offset) break;
      }
      // No input outlives a power cut: a writer starts again with a whole record. Under
      // "always" the part of a record the cut took is durable in the spool, and the shared
      // offset stays where the take left it.
      const bool mid_record =
          taken < kCrashRecords &&
          offset > at - static_cast<off_t>(drill_record(index, taken).size());
      if (c.power_cut && c.sync != "always" && mid_record) lseek(fd, at, SEEK_SET);
      Child second(linecast_bin(), args, fd);
      EXPECT_EQ(second.wait(20000), 0) << what << second.out() << second.err();
    }
  }
  close(fd);
  wait_until([&] { return sub.tally.distinct() >= kCrashRecords; }, 10000);
  send_sentinel(broker.port(), topic, c.qos, sub);
  const Tally::Figures f = sub.tally.figures(kCrashRecords);
  // Under --spool-sync SECONDS a power cut may lose or repeat what was not yet synced.
  const bool promised = !c.power_cut || c.sync == "always";
  if (promised) {
    EXPECT_EQ(f.lost, 0u) << what;
  }
  if (promised && c.qos == 2) {
    EXPECT_EQ(f.duplicates, 0u) << what << ": first " << f.first_duplicate << ", taken " << taken;
  }
  EXPECT_EQ(f.fragments, 0u) << what;
  if (f.lost + f.duplicates + f.fragments > 0) {
    printf("%s: lost=%zu duplicates=%zu fragments=%zu\n", what.c_str(), f.lost, f.duplicates,
           f.fragments);
  }
  remove_tree(dir);
  return calls;
}

// Every N up to the calls of an undisturbed run, or LINECAST_CRASH_POINTS of them spread
// evenly (default 10) when there are more.
void sweep(int qos) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "a sanitized binary takes no preloaded library";
#endif
  BrokerFixture broker;
  const long calls = run_crash_case(broker, {qos, "always", 0, false}, 0);
  ASSERT_GT(calls, 0) << "the shim saw no call on the spool";
  const long points = std::min(calls, env_number("LINECAST_CRASH_POINTS", 10));
  printf("qos %d: %ld calls on the spool, %ld crash points\n", qos, calls, points);
  for (long i = 1; i <= points; ++i) {
    const long at = std::max(1L, i * calls / points);
    run_crash_case(broker, {qos, "always", at, false}, static_cast<size_t>(at));
  }
}

TEST(Drill, CrashAtEverySpoolCallAtQos1LosesNothing) { sweep(1); }
TEST(Drill, CrashAtEverySpoolCallAtQos2ExactlyOnce) { sweep(2); }

// Power cuts at random spool calls (seed printed, LINECAST_DRILL_SEED replays), under each kind
// of --spool-sync: `always` keeps every consumed record, once at QoS 2; SECONDS may lose or
// repeat what was consumed since the last sync, never a fragment, never a refused start.
TEST(Drill, PowerCutKeepsWhatSpoolSyncPromises) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "a sanitized binary takes no preloaded library";
#endif
  BrokerFixture broker;
  const uint64_t seed = seed_from("LINECAST_DRILL_SEED");
  std::mt19937_64 rng(seed);
  printf("power seed=%llu\n", static_cast<unsigned long long>(seed));
  for (const char* sync : {"always", "1"}) {
    for (int qos : {1, 2}) {
      const long calls = run_crash_case(broker, {qos, sync, 0, true}, 1000);
      for (int cut = 0; cut < 3 && calls > 0; ++cut) {
        const long at = 1 + static_cast<long>(rng() % calls);
        run_crash_case(broker, {qos, sync, at, true}, 1000 + static_cast<size_t>(at));
      }
    }
  }
}

}  // namespace
