// Looking at standard input before taking it: tee(2), pread(2) or MSG_PEEK, then, once the
// caller has kept what it looked at, the same bytes moved into the file of taken bytes.
#include "input.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

constexpr size_t kScratchBytes = 64 * 1024;

// Drops `len` bytes from the front of pipe `fd`: spliced to /dev/null where the kernel can,
// read into a scratch buffer otherwise.
int drop(int fd, int sink, size_t len) {
  static unsigned char scratch[kScratchBytes];
  while (len > 0) {
    ssize_t n = sink >= 0 ? splice(fd, nullptr, sink, nullptr, len, 0) : -1;
    if (n < 0 && errno != EINTR) n = ::read(fd, scratch, std::min(len, kScratchBytes));
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;  // what was peeked is gone: someone else read the input
      return -1;
    }
    len -= static_cast<size_t>(n);
  }
  return 0;
}

int write_all(int fd, const unsigned char* buf, size_t len) {
  while (len > 0) {
    ssize_t n = ::write(fd, buf, len);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    buf += n;
    len -= static_cast<size_t>(n);
  }
  return 0;
}

// Moves `len` bytes from the front of the input into the file of taken bytes, counting them
// taken as they go: splice(2) for a pipe, sendfile(2) for a regular file (it advances the
// input's offset in the same call), and for a socket a receive and a write.
int move_to_stage(PeekInput& in, size_t len) {
  static unsigned char scratch[kScratchBytes];
  while (len > 0) {
    ssize_t n;
    if (in.kind == InputKind::kPipe) {
      n = splice(in.fd, nullptr, in.stage, nullptr, len, 0);
    } else if (in.kind == InputKind::kFile) {
      n = sendfile(in.stage, in.fd, nullptr, len);
    } else {
      n = recv(in.fd, scratch, std::min(len, kScratchBytes), 0);
      if (n > 0 && write_all(in.stage, scratch, static_cast<size_t>(n)) != 0) return -1;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;  // what was peeked is gone: someone else read the input
      return -1;
    }
    in.taken += static_cast<uint64_t>(n);
    len -= static_cast<size_t>(n);
  }
  return 0;
}

int read_all(int fd, unsigned char* buf, size_t len) {
  while (len > 0) {
    ssize_t n = ::read(fd, buf, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    buf += n;
    len -= static_cast<size_t>(n);
  }
  return 0;
}

size_t pipe_bytes(int fd) {
  int n = fcntl(fd, F_GETPIPE_SZ);
  return n > 0 ? static_cast<size_t>(n) : 0;
}

size_t bytes_held(int fd) {
  int n = 0;
  return ioctl(fd, FIONREAD, &n) == 0 && n > 0 ? static_cast<size_t>(n) : 0;
}

bool writer_gone(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & POLLHUP) != 0;
}

bool open_pipe(PeekInput* in) {
  if (pipe2(in->copy, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  fcntl(in->fd, F_SETPIPE_SZ, kPipeBytes);  // best effort: the limit may be lower
  in->capacity = pipe_bytes(in->fd);
  fcntl(in->copy[1], F_SETPIPE_SZ, static_cast<int>(in->capacity));
  if (in->capacity == 0 || pipe_bytes(in->copy[1]) < in->capacity) return false;
  in->sink = open("/dev/null", O_WRONLY | O_CLOEXEC);
  return true;
}

// Nothing new in the pipe: at its end once the writer is gone; taken whole when full of what
// was peeked, since the writer waits for room only taking makes.
ssize_t nothing_new(PeekInput& in, size_t ahead) {
  if (writer_gone(in.fd) && bytes_held(in.fd) <= ahead) return 0;
  if (ahead > 0 && ahead >= in.capacity && input_take(in, in.peeked) != 0) return -1;
  errno = EAGAIN;
  return -1;
}

ssize_t peek_pipe(PeekInput& in, unsigned char* buf, size_t len) {
  size_t ahead = static_cast<size_t>(in.peeked - in.taken);
  if (bytes_held(in.fd) <= ahead) return nothing_new(in, ahead);
  ssize_t n = tee(in.fd, in.copy[1], ahead + len, SPLICE_F_NONBLOCK);
  if (n < 0) return errno == EAGAIN ? nothing_new(in, ahead) : -1;
  size_t got = static_cast<size_t>(n);
  // tee(2) always starts at the front: what was peeked before comes first and is dropped.
  if (drop(in.copy[0], in.sink, std::min(got, ahead)) != 0) return -1;
  if (got <= ahead) return nothing_new(in, ahead);
  if (read_all(in.copy[0], buf, got - ahead) != 0) return -1;
  in.peeked += got - ahead;
  return static_cast<ssize_t>(got - ahead);
}

ssize_t peek_file(PeekInput& in, unsigned char* buf, size_t len) {
  ssize_t n = pread(in.fd, buf, len, in.start + static_cast<off_t>(in.peeked));
  if (n > 0) in.peeked += static_cast<uint64_t>(n);
  return n;
}

ssize_t peek_socket(PeekInput& in, unsigned char* buf, size_t len) {
  ssize_t n = recv(in.fd, buf, len, MSG_PEEK | MSG_DONTWAIT);
  if (n > 0) in.peeked += static_cast<uint64_t>(n);
  return n;
}

// A terminal or serial line cannot be looked at: what is read is taken, and goes to the file of
// taken bytes at once.
ssize_t take_as_read(PeekInput& in, unsigned char* buf, size_t len) {
  ssize_t n = ::read(in.fd, buf, len);
  if (n > 0 && in.stage >= 0 && write_all(in.stage, buf, static_cast<size_t>(n)) != 0) return -1;
  if (n > 0) in.peeked = in.taken += static_cast<uint64_t>(n);
  return n;
}

}  // namespace

void input_open(PeekInput* in, int fd, uint64_t carried) {
  *in = PeekInput();
  in->fd = fd;
  in->peeked = in->taken = carried;
  struct stat st;
  if (fstat(fd, &st) != 0) return;
  if (S_ISFIFO(st.st_mode)) {
    if (open_pipe(in)) {
      in->kind = InputKind::kPipe;
    } else {
      input_close(in);
      in->fd = fd;
    }
  } else if (S_ISREG(st.st_mode)) {
    in->start = lseek(fd, 0, SEEK_CUR);
    if (in->start >= 0) in->kind = InputKind::kFile;
    in->start -= static_cast<off_t>(carried);  // peeks and takes count from the carried bytes
  } else if (S_ISSOCK(st.st_mode)) {
    // The peek offset lets each look start after the bytes already looked at.
    int zero = 0;
    if (setsockopt(fd, SOL_SOCKET, SO_PEEK_OFF, &zero, sizeof zero) == 0) {
      in->kind = InputKind::kSocket;
    }
  }
}

void input_close(PeekInput* in) {
  for (int fd : {in->copy[0], in->copy[1], in->sink}) {
    if (fd >= 0) close(fd);
  }
  in->copy[0] = in->copy[1] = in->sink = -1;
  in->kind = InputKind::kTaken;
  in->stage = -1;
}

ssize_t input_peek(PeekInput& in, unsigned char* buf, size_t len) {
  switch (in.kind) {
    case InputKind::kPipe:
      return peek_pipe(in, buf, len);
    case InputKind::kFile:
      return peek_file(in, buf, len);
    case InputKind::kSocket:
      return peek_socket(in, buf, len);
    default:
      return take_as_read(in, buf, len);
  }
}

int input_take(PeekInput& in, uint64_t upto) {
  if (upto <= in.taken) return 0;
  size_t len = static_cast<size_t>(upto - in.taken);
  if (in.stage >= 0) return move_to_stage(in, len);
  int rc = 0;
  if (in.kind == InputKind::kFile) {
    rc = lseek(in.fd, in.start + static_cast<off_t>(upto), SEEK_SET) < 0 ? -1 : 0;
  } else if (in.kind == InputKind::kSocket) {
    static unsigned char scratch[kScratchBytes];
    for (size_t left = len; left > 0 && rc == 0;) {
      ssize_t n = recv(in.fd, scratch, std::min(left, kScratchBytes), 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) rc = -1;
      if (n > 0) left -= static_cast<size_t>(n);
    }
  } else {
    rc = drop(in.fd, in.sink, len);
  }
  if (rc == 0) in.taken = upto;
  return rc;
}
