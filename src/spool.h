// The disk spool: records wait in segment files until they are handed over, a ledger says how
// far that got, and opening a spool recovers whatever an earlier run left, damaged or not.
// The on-disk layout is described in the README ("The spool on disk").
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

/// What the spool calls return: 0, or kSpoolFull when the record (or the buffered records) did
/// not fit, or kSpoolError with spool_error() naming the file and the error.
constexpr int kSpoolOk = 0;
constexpr int kSpoolFull = 1;
constexpr int kSpoolError = -1;

struct SpoolOptions {
  std::string dir;                          // created with mode 0700 when missing
  uint64_t size_bytes = uint64_t{1} << 30;  // segments and ledger together stay within this
  bool drop_oldest = false;                 // when full: drop whole oldest segments, or refuse
  int sync_seconds = 1;                     // 0: "always", spool_flush makes everything durable
  size_t max_record = 100;  // the largest record appended; a longer length on disk is damage
};

/// What opening found of an earlier run.
struct SpoolRecovery {
  uint64_t records = 0;    // waiting to be handed over
  uint64_t first_seq = 0;  // the range of those, when records > 0
  uint64_t last_seq = 0;
  uint64_t damaged = 0;    // the damaged tail cut off counts one; damage further back is
                           // counted in SpoolCounters as spool_next meets it
  uint64_t cut_bytes = 0;  // bytes cut off the end of the last segment
  std::string clientid;    // as stored by spool_set_clientid; empty when none was
  /// The ledger was damaged (its header, an entry, or missing beside segments): how far records
  /// were handed over is lost, so every waiting record, first_seq to last_seq, may go again.
  /// The caller says so in one line when records > 0:
  /// "Spool: ledger damaged, records FIRST to LAST may go again".
  bool ledger_damaged = false;
  /// Records after the watermark whose PUBREL the earlier run recorded as sent, ascending:
  /// they get a PUBREL, not a PUBLISH. Every other record after the watermark may have been
  /// sent already: its packet identifier is seq % 65535 + 1 again (packet_id_of).
  std::vector<uint64_t> released;
  /// The bytes the earlier run took from its input since record `taken_first_seq` began, in the
  /// file of taken bytes: the whole records they make that the spool lacks (those numbered from
  /// spool_next_seq on) are appended first, and a begun record at their end is the start of
  /// this run's input. Then spool_taken_restart.
  std::string taken;
  uint64_t taken_first_seq = 0;
  bool taken_damaged = false;  // that file's header was damaged: its bytes are not used
};

/// For the SIGUSR1 line.
struct SpoolCounters {
  uint64_t records = 0;  // appended and not yet handed over
  uint64_t bytes = 0;    // on disk: segments and ledger
  uint64_t dropped = 0;  // dropped as the oldest when full
  uint64_t damaged = 0;  // skipped as damaged, at opening and while reading
};

/// A record read back; `data` stays valid until the next spool_next, spool_rewind or the end.
struct SpoolRecord {
  uint64_t seq = 0;
  const unsigned char* data = nullptr;
  size_t len = 0;
};

struct Spool;
/// Dropping a spool without spool_close is what kill -9 does: descriptors and the lock go, the
/// records already flushed stay on disk, nothing is synced.
struct SpoolDeleter {
  void operator()(Spool* spool) const;
};
using SpoolPtr = std::unique_ptr<Spool, SpoolDeleter>;

/// The largest record a spool of `size_bytes` can ever hold: a segment of its own (file and
/// record headers) beside the room kept for the ledger. A longer record is a usage error.
uint64_t spool_max_record(uint64_t size_bytes);

/// Opens (creating when missing) the spool in `options.dir`, locks it (flock on the directory)
/// and recovers it: cuts a torn or damaged tail off the last segment, deletes segments wholly
/// handed over, and fills `recovery`. Memory stays bounded; each segment's header and only the
/// last segment whole are read (a segment whose header is damaged is placed by its first sound
/// record; a segment-named file without one is ignored). Damage further back is found and
/// skipped by spool_next. Damage never makes it fail, nor a full disk unless the ledger must be
/// written afresh (missing or damaged). Returns null with `error` set to one line when the
/// directory cannot be made or read, or another process holds the lock ("Spool DIR is in use
/// by process PID", or "unknown" when the pid file is gone).
SpoolPtr spool_open(const SpoolOptions& options, SpoolRecovery* recovery, std::string* error);

/// Takes one record and gives it the next sequence number in `seq`. The record is buffered:
/// it reaches the segment file with the next spool_flush (or earlier when the buffer fills),
/// and only then can spool_next return it. Returns kSpoolFull when it does not fit: under
/// drop-oldest only when the disk is full and nothing is left to drop, otherwise whole oldest
/// segments are dropped first and `dropped` says how many records went (0 when none). A full
/// disk is a full spool. kSpoolError for any other write error, and for a record longer than
/// spool_max_record, refused before anything is dropped.
[[nodiscard]] int spool_append(Spool& spool, const unsigned char* data, size_t len, uint64_t* seq,
                               uint64_t* dropped);

/// Writes the buffered records to the segment file with write(2), so that kill -9 cannot lose
/// them; under sync "always" also makes the segments and the ledger durable. Call it once per
/// input read, after the appends and before any of those records is published. kSpoolFull
/// when the disk is full: the records stay buffered (appends are refused) until a later flush
/// succeeds. kSpoolError for any other error.
[[nodiscard]] int spool_flush(Spool& spool);

/// Makes everything written durable (fdatasync of the segment and the ledger, fsync of the
/// directory when files came or went). Never needed per record; see spool_maybe_sync.
[[nodiscard]] int spool_sync(Spool& spool);

/// Under a sync interval, calls spool_sync when there is something to sync and the last sync
/// was at least the interval before `now_ms` (any monotonic clock); otherwise does nothing.
[[nodiscard]] int spool_maybe_sync(Spool& spool, int64_t now_ms);

/// Fills `record` with the next record not yet handed to the session, in order, reading the
/// segments sequentially through a buffer of about max_record. Damaged records are skipped
/// and counted, never returned. Returns 1 with a record, 0 when every flushed record has been
/// returned, kSpoolError when a segment cannot be read.
[[nodiscard]] int spool_next(Spool& spool, SpoolRecord* record);

/// Sets the read cursor back to the first record not yet handed over, so that spool_next
/// returns the unacknowledged records again (after a lost connection, when the session keeps
/// no copies).
void spool_rewind(Spool& spool);

/// Every record up to `seq` is handed over; call it once per batch of acknowledgements read,
/// not per record: each call that moves the watermark writes it to the ledger (write(2)), so
/// that a kill sends nothing handed over again. Segments wholly handed over are deleted: the
/// ledger is made durable first, then the file is unlinked, then the directory synced.
[[nodiscard]] int spool_ack(Spool& spool, uint64_t seq);

/// Records "PUBREL sent" for `seq` in the ledger with write(2); call it before that PUBREL
/// leaves. It becomes durable under the sync policy (under "always": call spool_flush before
/// the batch goes out).
[[nodiscard]] int spool_mark_released(Spool& spool, uint64_t seq);

/// Stores the client identifier in the ledger (written only when it differs from the stored
/// one). Another identifier than the stored one drops the "PUBREL sent" marks: they belong to
/// the broker's session of the client they were made under.
[[nodiscard]] int spool_set_clientid(Spool& spool, std::string_view clientid);

/// The number the next record appended gets.
uint64_t spool_next_seq(const Spool& spool);

// The file of taken bytes ("taken" beside the segments). With --spool the input's bytes leave
// it by moving into this file (input_take), records whole or begun, before their records reach
// the segment file: a kill between the two leaves them here, never in both or in neither.

/// Replaces the file of taken bytes by one that starts at spool_next_seq and holds `carried`
/// (the earlier run's begun record), by a rename. Call it once at opening, after appending the
/// records recovered from it. kSpoolFull when the disk is full, kSpoolError otherwise.
[[nodiscard]] int spool_taken_restart(Spool& spool, std::string_view carried);

/// The descriptor bytes are taken into (at the file's end; O_DSYNC under "always").
int spool_taken_fd(const Spool& spool);

/// After bytes were taken into it and their records flushed: `at_boundary` when they end with
/// a whole record and every record they make is appended. Then, once it has grown past its
/// bound (64 KiB), it starts again from the next record appended.
[[nodiscard]] int spool_taken_done(Spool& spool, bool at_boundary);

SpoolCounters spool_counters(const Spool& spool);

/// One line about the last kSpoolError: the file and strerror.
const std::string& spool_error(const Spool& spool);

/// The orderly end: flushes, deletes the segments wholly handed over, syncs and unlocks. The
/// ledger stays. The spool is gone afterwards whatever the result.
[[nodiscard]] int spool_close(SpoolPtr spool);
