// Standard input looked at before it is taken: with a spool, bytes leave the input only for the
// spool's file of taken bytes, in one system call that moves them (splice(2), sendfile(2)), so
// that at every instant each byte is in the input or in that file: a kill loses nothing that
// was taken, repeats nothing, and leaves the rest of a begun record in the input.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

/// How the input is looked at: a pipe or FIFO through tee(2) into a private pipe, a regular
/// file with pread(2), a socket with MSG_PEEK at a peek offset; anything else (a terminal, a
/// serial line) is taken as it is read.
enum class InputKind { kTaken, kPipe, kFile, kSocket };

struct PeekInput {
  int fd = -1;
  InputKind kind = InputKind::kTaken;
  int copy[2] = {-1, -1};  // the private pipe tee(2) fills: read end, write end
  int sink = -1;           // /dev/null, where the private pipe's bytes already seen go
  int stage = -1;          // the spool's file of taken bytes, at its end; -1: bytes are dropped
  size_t capacity = 0;     // bytes the input pipe holds at most
  off_t start = 0;         // a regular file's offset when the run began
  uint64_t peeked = 0;     // bytes handed to the caller
  uint64_t taken = 0;      // bytes consumed from `fd`; never more than `peeked`
};

/// Bytes asked of the kernel for each pipe, best effort: a larger pipe holds longer records
/// whole and lets tee(2) look at more at a time.
constexpr int kPipeBytes = 1024 * 1024;

/// Prepares `fd` to be looked at before it is taken, choosing the kind from what `fd` is.
/// `carried` bytes, an earlier run's begun record, count as peeked and taken already: they come
/// first in the caller's buffer. Never fails: what cannot be looked at is taken as read.
void input_open(PeekInput* in, int fd, uint64_t carried = 0);

/// Releases the private pipe and the sink; `fd` stays open.
void input_close(PeekInput* in);

/// Copies up to `len` bytes that follow those already peeked into `buf`, without taking them.
/// Returns the bytes copied (> 0), 0 at end of input (a pipe whose writer is gone and that
/// holds nothing new), or -1 with errno set: EAGAIN when nothing new is there yet (a pipe can
/// be readable while it holds only bytes already peeked), or the read error.
/// A pipe filled with bytes already peeked, which therefore can never show more, is taken
/// whole to let the writer go on: a record longer than the pipe holds is read as taken.
ssize_t input_peek(PeekInput& in, unsigned char* buf, size_t len);

/// Consumes the peeked bytes up to `upto` (a count from the start of the run; bytes already
/// taken are not taken again), moving them to `stage` when it is set. Returns 0, or -1 with
/// errno set (ENOSPC: the disk is full; what was moved before counts as taken).
int input_take(PeekInput& in, uint64_t upto);
