// The glue between the disk spool and the session. Every record is named by its sequence
// number in the spool from the input to the broker: the session settles by it, the spool
// advances by it, and nothing counts records to learn which ones settled.
#include "spooler.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "pacing.h"
#include "record_reader.h"
#include "wait.h"

namespace {

// The most QoS 2 records a run has in flight: as many as an earlier run may have left there.
constexpr size_t kMostInFlightQos2 = 256;
// While the disk is full the spool file is tried again this often, besides whenever records
// leave the spool.
constexpr long long kDiskFullRetryMs = 1000;

}  // namespace

struct Spooler {
  RunConfig config;
  Router* router = nullptr;
  SpoolPtr spool;
  std::string error;
  bool more = false;  // flushed records spool_next has not returned yet
  bool failed = false;
  // A record taken from the spool that waits for room in the session.
  bool in_hand = false;
  uint64_t hand_seq = 0;
  std::string hand;
  std::string_view hand_topic, hand_payload;
  uint64_t last_given = 0;   // the newest record given to the session
  uint64_t last_passed = 0;  // the newest record given to it or left out for its topic
  uint64_t acked = 0;        // the spool's watermark, as moved by this run
  uint64_t next_seq = 1;     // of the next record appended
  uint64_t damaged_at_start = 0;
  std::vector<uint64_t> resumed;  // records an earlier run released, ascending
  Settled settled;
  bool disk_full = false;  // said once, until the spool file takes records again
  long long retry_at = kNoDeadline;
  Pacer pacer;                      // --rate
  long long pace_at = kNoDeadline;  // the record in hand waits for the pace until then
  std::string carried;              // the earlier run's begun record, taken and not appended
};

void SpoolerDeleter::operator()(Spooler* spooler) const { delete spooler; }

namespace {

Outcome spool_failed(Spooler& sp) {
  sp.failed = true;
  sp.error = spool_error(*sp.spool);
  return Outcome::kFailed;
}

// Takes the next record out of the spool into the hand, with its topic; records left out for
// their topic are passed over. False when the spool has no more, or failed.
bool take_from_spool(Spooler& sp) {
  while (!sp.in_hand && sp.more) {
    SpoolRecord r;
    int got = spool_next(*sp.spool, &r);
    if (got < 0) {
      spool_failed(sp);
      return false;
    }
    if (got == 0) {
      sp.more = false;
      break;
    }
    sp.hand.assign(reinterpret_cast<const char*>(r.data), r.len);
    sp.hand_seq = r.seq;
    if (route(*sp.router, sp.hand, &sp.hand_topic, &sp.hand_payload)) {
      sp.in_hand = true;
    } else {
      sp.last_passed = r.seq;  // settles with the records around it
    }
  }
  return sp.in_hand;
}

void pass_on(Spooler& sp) {
  sp.last_given = sp.last_passed = sp.hand_seq;
  sp.in_hand = false;
}

// With --rate: whether the record in hand may go now; otherwise waits end when it may.
bool paced(Spooler& sp) {
  long long now = now_ms();
  if (pacer_take(sp.pacer, now)) return true;
  sp.pace_at = pacer_next(sp.pacer, now);
  return false;
}

// Hands records from the spool to the session while it takes them without waiting, and the
// pace lets them go.
Outcome feed(Spooler& sp, Session& s) {
  while (take_from_spool(sp) &&
         session_has_room(s, sp.hand_seq, sp.hand_topic.size() + sp.hand_payload.size()) &&
         paced(sp)) {
    if (sp.config.verbose) report_publishing(sp.hand_payload.size());
    Outcome o = session_publish(s, sp.hand_seq, sp.hand_topic, sp.hand_payload, now_ms());
    if (o == Outcome::kTimedOut || o == Outcome::kInterrupted) break;  // room is checked above
    if (o != Outcome::kDone) return o;
    pass_on(sp);
  }
  if (sp.failed) return Outcome::kFailed;
  session_set_waiting(s, sp.in_hand || sp.more);
  return Outcome::kDone;
}

// Records the session settled leave the spool: its watermark moves past them, and past the
// records left out for their topic once the session holds nothing before them. A record the
// broker refused (not skipping) stays, and so does every one after it, for the next run.
bool settle(Spooler& sp, Session& s) {
  session_settled(s, &sp.settled);
  uint64_t to = sp.settled.watermark;
  if (to >= sp.last_given) to = sp.last_passed;
  if (session_refusal(s) != 0) to = std::min(to, session_refused_seq(s) - 1);
  if (to <= sp.acked) return true;
  sp.acked = to;
  return spool_ack(*sp.spool, to) == kSpoolOk;
}

// A PUBREL leaves only once the spool says it was sent (durably under --spool-sync always): a
// later run then completes its record instead of publishing it again. A full disk holds the
// PUBRELs back until the mark is made.
bool note_releases(Spooler& sp, Session& s) {
  const std::vector<uint64_t>& seqs = sp.settled.released;
  if (seqs.empty()) return true;
  for (uint64_t seq : seqs) {
    int rc = spool_mark_released(*sp.spool, seq);
    if (rc == kSpoolError) return false;
    if (rc == kSpoolFull) return true;
  }
  if (sp.config.spool_options.sync_seconds == kSpoolSyncAlways) {
    int rc = spool_flush(*sp.spool);
    if (rc != kSpoolOk) return rc == kSpoolFull;
  }
  session_release(s, seqs);
  return true;
}

void say_disk_full(Spooler& sp) {
  if (!sp.disk_full) printf("Spool: disk full, input waits until records are handed over\n");
  sp.disk_full = true;
  sp.retry_at = now_ms() + kDiskFullRetryMs;
}

// What was appended goes to the spool file; a full disk is said once, and tried again.
bool flush(Spooler& sp) {
  int rc = spool_flush(*sp.spool);
  if (rc == kSpoolError) return false;
  if (rc == kSpoolOk) {
    sp.more = true;
    sp.disk_full = false;
    sp.retry_at = kNoDeadline;
    return true;
  }
  say_disk_full(sp);
  return true;
}

// The bytes of an earlier run's taken file, given once; then nothing more for now.
struct TakenBytes : ByteSource {
  std::string_view rest;
  ssize_t read(unsigned char* buf, size_t len) override {
    if (rest.empty()) {
      errno = EAGAIN;
      return -1;
    }
    size_t n = std::min(len, rest.size());
    memcpy(buf, rest.data(), n);
    rest.remove_prefix(n);
    return static_cast<ssize_t>(n);
  }
};

// The records an earlier run took from its input but had not yet in the spool file go in now,
// numbered as they were to be; a begun record at the end is kept for this run's input. The
// taken file then starts afresh unless it already goes on from the spool's next number.
// Returns the records appended, or -1 (`error` set).
long long recover_taken(Spooler& sp, const SpoolRecovery& r, std::string* error) {
  RecordReader reader;
  if (!init_reader(&reader, sp.config.delimiter, sp.config.maxdatalen)) {
    *error = "Failed to allocate the record buffer";
    return -1;
  }
  TakenBytes source;
  source.rest = r.taken;
  uint64_t seq = r.taken_first_seq;
  long long added = 0;
  Record record;
  while (read_record(reader, source, &record) == 1) {
    if (seq++ < spool_next_seq(*sp.spool)) continue;  // in the spool file already
    uint64_t got = 0, dropped = 0;
    int rc = spool_append(*sp.spool, record.data, static_cast<size_t>(record.len), &got, &dropped);
    if (rc != kSpoolOk) {
      *error = rc == kSpoolFull ? "Spool: no room for the records an earlier run took"
                                : spool_error(*sp.spool);
      return -1;
    }
    ++added;
  }
  sp.carried.assign(reinterpret_cast<const char*>(reader.buffer.get() + reader.begin),
                    reader_held(reader));
  if (!flush(sp)) {
    *error = spool_error(*sp.spool);
    return -1;
  }
  bool goes_on = spool_taken_fd(*sp.spool) >= 0 && !r.taken_damaged &&
                 seq == spool_next_seq(*sp.spool);
  if (!goes_on && spool_taken_restart(*sp.spool, sp.carried) != kSpoolOk) {
    *error = spool_error(*sp.spool);
    return -1;
  }
  return added;
}

}  // namespace

int spooler_flush(Spooler& sp, bool at_boundary) {
  if (!flush(sp)) return kSpoolError;
  if (sp.disk_full) return kSpoolFull;
  if (spool_taken_done(*sp.spool, at_boundary) != kSpoolOk) {
    spool_failed(sp);
    return kSpoolError;
  }
  return kSpoolOk;
}

void spooler_disk_full(Spooler& sp) { say_disk_full(sp); }

bool spooler_disk_is_full(const Spooler& sp) { return sp.disk_full; }

int spooler_taken_fd(const Spooler& sp) { return spool_taken_fd(*sp.spool); }

const std::string& spooler_carried(const Spooler& sp) { return sp.carried; }

SpoolerPtr spooler_open(const RunConfig& config, Router& router, SessionConfig* session,
                        std::string* error) {
  SpoolerPtr sp(new Spooler);
  sp->config = config;
  sp->router = &router;
  SpoolRecovery r;
  sp->spool = spool_open(config.spool_options, &r, error);
  if (sp->spool == nullptr) return nullptr;
  sp->damaged_at_start = r.damaged;
  const long long taken = recover_taken(*sp, r, error);
  if (taken < 0) return nullptr;
  if (r.taken_damaged) printf("Spool: file of taken bytes damaged, not used\n");
  if (r.damaged > 0) {
    printf("Spool: %llu damaged records skipped\n", static_cast<unsigned long long>(r.damaged));
  }
  if (r.ledger_damaged && r.records > 0) {
    printf("Spool: ledger damaged, records %llu to %llu may go again\n",
           static_cast<unsigned long long>(r.first_seq),
           static_cast<unsigned long long>(r.last_seq));
  }
  if (r.records + taken > 0) {
    printf("Spool: %llu records from an earlier run go first\n",
           static_cast<unsigned long long>(r.records + taken));
  }
  bool same_client = r.clientid.empty() || r.clientid == config.session.request.clientid;
  if (r.records > 0 && !same_client) {
    printf("Spool: records of client %s go again at least once\n", r.clientid.c_str());
  }
  session->from_store = true;
  session->gate_releases = config.exactly_once;
  session->resume_first =
      config.exactly_once && r.records > 0 && same_client && !r.clientid.empty();
  // "PUBREL sent" marks belong to the client identifier they were made under.
  if (spool_set_clientid(*sp->spool, config.session.request.clientid) != kSpoolOk) {
    *error = spool_error(*sp->spool);
    return nullptr;
  }
  sp->more = r.records + taken > 0;
  sp->next_seq = spool_next_seq(*sp->spool);
  sp->pacer = make_pacer(config.rate, now_ms());
  if (session->resume_first) sp->resumed = std::move(r.released);
  return sp;
}

void spooler_resume(Spooler& sp, Session& s) {
  for (size_t i = 0; i < kMostInFlightQos2 && take_from_spool(sp); ++i) {
    bool released = std::binary_search(sp.resumed.begin(), sp.resumed.end(), sp.hand_seq);
    session_add_resumed(s, sp.hand_seq, sp.hand_topic, sp.hand_payload, released);
    pass_on(sp);
  }
}

int spooler_append(Spooler& sp, std::string_view record) {
  uint64_t seq = 0, dropped = 0;
  int rc = spool_append(*sp.spool, reinterpret_cast<const unsigned char*>(record.data()),
                        record.size(), &seq, &dropped);
  if (dropped > 0) {
    printf("Spool full: dropped the %llu oldest records\n",
           static_cast<unsigned long long>(dropped));
  }
  if (rc == kSpoolOk) sp.next_seq = seq + 1;
  if (rc == kSpoolError) spool_failed(sp);
  return rc;
}

void spooler_pace_from(Spooler& sp, long long now) { sp.pacer = make_pacer(sp.config.rate, now); }

Outcome spooler_round(Spooler& sp, Session& s, bool feed_session) {
  sp.pace_at = kNoDeadline;
  if (feed_session) {
    Outcome o = feed(sp, s);
    if (o != Outcome::kDone) return o;
  } else {
    session_set_waiting(s, false);
  }
  if (!settle(sp, s) || !note_releases(sp, s)) return spool_failed(sp);
  if (spool_maybe_sync(*sp.spool, now_ms()) != kSpoolOk) return spool_failed(sp);
  return Outcome::kDone;
}

long long spooler_retry_at(const Spooler& sp) { return earlier(sp.retry_at, sp.pace_at); }

bool spooler_waiting(const Spooler& sp) { return sp.in_hand || sp.more; }

size_t spooler_hand_len(const Spooler& sp) { return sp.hand_payload.size(); }

const std::string& spooler_error(const Spooler& sp) { return sp.error; }

SpoolCounters spooler_counters(const Spooler& sp) { return spool_counters(*sp.spool); }

void spooler_last_words(Spooler& sp, Session& s) {
  bool kept = settle(sp, s) && spool_sync(*sp.spool) == kSpoolOk;
  SpoolCounters c = spool_counters(*sp.spool);
  // Records taken from the spool that neither settled nor are in it any more: drop-oldest
  // removed them from under the session.
  uint64_t first_kept = sp.next_seq - c.records;
  uint64_t taken = std::max(sp.last_passed, sp.in_hand ? sp.hand_seq : 0);
  uint64_t gone = std::min(taken + 1, first_kept);
  uint64_t dropped = c.dropped + (gone > sp.acked + 1 ? gone - sp.acked - 1 : 0);
  if (dropped > 0) {
    printf("%llu records dropped from the spool\n", static_cast<unsigned long long>(dropped));
  }
  if (kept && c.records > 0) {
    printf("%llu records stay in the spool\n", static_cast<unsigned long long>(c.records));
  }
}

bool spooler_close(SpoolerPtr sp, Session& s) {
  SpoolCounters c = spool_counters(*sp->spool);
  if (c.damaged > sp->damaged_at_start) {
    printf("Spool: %llu damaged records skipped\n",
           static_cast<unsigned long long>(c.damaged - sp->damaged_at_start));
  }
  spooler_last_words(*sp, s);
  return spool_close(std::move(sp->spool)) == kSpoolOk;
}
