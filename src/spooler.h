// The glue between the disk spool and the session, for --spool: records read go into the
// spool file, from there to the session as it has room, and leave the spool by sequence
// number as the session settles them; a PUBREL leaves only once the spool notes it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "router.h"
#include "run_config.h"
#include "session.h"
#include "spool.h"

struct Spooler;
struct SpoolerDeleter {
  void operator()(Spooler* spooler) const;
};
using SpoolerPtr = std::unique_ptr<Spooler, SpoolerDeleter>;

/// Opens the spool of `config`, says in lines what an earlier run left in it, and sets what
/// the session must know of it in `session` (from_store, gate_releases, resume_first). Records
/// go through `router` (kept by the caller). Null, with `error` one line, when the spool cannot
/// be opened or written.
SpoolerPtr spooler_open(const RunConfig& config, Router& router, SessionConfig* session,
                        std::string* error);

/// Before the first connection, with resume_first: the records the earlier run may have had
/// in flight go into the session as it left them.
void spooler_resume(Spooler& sp, Session& s);

/// Puts one record read from the input into the spool; it reaches the file with the next
/// spooler_round. kSpoolOk; kSpoolFull: not taken, the input waits (a round, then a wait until
/// spooler_retry_at at the latest); kSpoolError: spooler_error says why.
[[nodiscard]] int spooler_append(Spooler& sp, std::string_view record);

/// Writes what was appended, and whose bytes were taken into the taken file, to the spool file:
/// call it after each take (input_take), never before, so that a kill finds every taken record
/// in the one file or the other and none in the input. `at_boundary`: the bytes taken end with
/// the last record appended. kSpoolOk once every appended record is in the file; kSpoolFull
/// when the disk is full (said once; the input waits); kSpoolError: spooler_error says why.
[[nodiscard]] int spooler_flush(Spooler& sp, bool at_boundary);

/// A take found the disk full: said once, as for the spool file; the input waits.
void spooler_disk_full(Spooler& sp);

/// The disk was full at the last write: nothing more is taken until a flush succeeds.
bool spooler_disk_is_full(const Spooler& sp);

/// Where the input's bytes go as they are taken (PeekInput::stage).
int spooler_taken_fd(const Spooler& sp);

/// The earlier run's begun record: the first bytes of this run's input, taken already.
const std::string& spooler_carried(const Spooler& sp);

/// One round between waits, after spooler_flush: with `feed` records go
/// on to the session while it has room, at most at the pace of --rate; settled records leave
/// the spool, but a record the broker refused (not skipping) and those after it stay; gated
/// PUBRELs are noted, then let go; the spool is synced when due. Returns kDone; kFailed when
/// the spool failed (spooler_error); or what session_publish returned that ends the run
/// (kTooLarge: spooler_hand_len is the payload's length).
[[nodiscard]] Outcome spooler_round(Spooler& sp, Session& s, bool feed);

/// With --rate, the pace starts at `now` (once the run is connected: the time to connect earns
/// no burst).
void spooler_pace_from(Spooler& sp, long long now);

/// When a wait must end at the latest to try the spool file again (the disk was full) or to
/// let the next record go at the pace, or kNoDeadline.
long long spooler_retry_at(const Spooler& sp);

/// Records in the spool wait to go to the session.
bool spooler_waiting(const Spooler& sp);

/// The payload length of the record waiting for room in the session.
size_t spooler_hand_len(const Spooler& sp);

const std::string& spooler_error(const Spooler& sp);
SpoolCounters spooler_counters(const Spooler& sp);

/// The spool's last words: the records dropped (from the spool, or from under the session),
/// and with `kept` those that stay for the next run; made durable first (`kept` false when
/// that fails).
void spooler_last_words(Spooler& sp, Session& s);

/// The orderly end: the damage met while reading, the last words, and the spool closed.
/// False when it could not be closed.
[[nodiscard]] bool spooler_close(SpoolerPtr sp, Session& s);
