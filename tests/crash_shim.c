// A test-only LD_PRELOAD library: crash points and a power-loss model for the spool. It counts
// the calls that change the files of one directory (open, write, splice, sendfile, sync, rename,
// unlink, truncate) and kills its process at the N-th, and it keeps what each file held at its last sync and which
// names the last sync of the directory made durable, so that a test can put the directory back to
// what a power cut would have left. Never linked into linecast.
//
// Environment:
//   LINECAST_CRASH_DIR    the directory watched, spelt as linecast is given it (--spool)
//   LINECAST_CRASH_AT     N > 0: SIGKILL at the N-th call (a write is torn: half of it first)
//   LINECAST_CRASH_COUNT  a file that receives the number of calls made, at a normal exit
//   LINECAST_POWER_DIR    where the durable state is kept: a copy of each file as of its last
//                         sync, named by inode number, and `names`, one "inode name" a line for
//                         the directory as of its last sync (or as the run found it)
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

enum { kMaxFds = 4096 };

static const char* watched;      // LINECAST_CRASH_DIR
static size_t watched_len;
static const char* power_dir;    // LINECAST_POWER_DIR
static long crash_at;            // 0: never
static long calls;
static char kind[kMaxFds];       // 0 other, 1 a file in the directory, 2 the directory itself

#define REAL(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

static int watched_fd(int fd) { return fd >= 0 && fd < kMaxFds ? kind[fd] : 0; }

// Whether `path` names the directory (2), a file right in it (1), or neither (0).
static int path_kind(int dirfd, const char* path) {
  if (watched == NULL || path == NULL) return 0;
  if (path[0] != '/' && dirfd != AT_FDCWD) return watched_fd(dirfd) == 2 && !strchr(path, '/');
  if (strncmp(path, watched, watched_len) != 0) return 0;
  const char* rest = path + watched_len;
  if (*rest == '\0' || strcmp(rest, "/") == 0) return 2;
  return rest[0] == '/' && rest[1] != '\0' && !strchr(rest + 1, '/');
}

// Copies the open file `fd` to the power directory under its inode number.
static void keep_copy(int fd) {
  char from[64], to[4096], tmp[4200];
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return;
  snprintf(from, sizeof from, "/proc/self/fd/%d", fd);
  snprintf(to, sizeof to, "%s/%lu", power_dir, (unsigned long)st.st_ino);
  snprintf(tmp, sizeof tmp, "%s.tmp", to);
  int in = REAL(open)(from, O_RDONLY | O_CLOEXEC);
  int out = REAL(open)(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  char buf[65536];
  ssize_t n = 0;
  off_t at = 0;
  while (in >= 0 && out >= 0 && (n = pread(in, buf, sizeof buf, at)) > 0) {
    if (REAL(write)(out, buf, (size_t)n) != n) abort();
    at += n;
  }
  if (in < 0 || out < 0 || n < 0) abort();
  REAL(close)(in);
  REAL(close)(out);
  if (REAL(rename)(tmp, to) != 0) abort();
}

// Writes `names`: the directory's regular files as a sync of it would make them durable.
static void keep_names(void) {
  char path[4096], tmp[4200];
  snprintf(path, sizeof path, "%s/names", power_dir);
  snprintf(tmp, sizeof tmp, "%s.tmp", path);
  FILE* out = fopen(tmp, "we");
  if (out == NULL) abort();
  DIR* dir = opendir(watched);
  while (dir != NULL) {
    struct dirent* entry = readdir(dir);
    if (entry == NULL) break;
    if (entry->d_type == DT_REG) fprintf(out, "%lu %s\n", (unsigned long)entry->d_ino, entry->d_name);
  }
  if (dir != NULL) closedir(dir);
  if (fclose(out) != 0 || REAL(rename)(tmp, path) != 0) abort();
}

// What the run finds is durable: the previous run's power cut left it so.
static void keep_initial_state(void) {
  keep_names();
  DIR* dir = opendir(watched);
  while (dir != NULL) {
    struct dirent* entry = readdir(dir);
    if (entry == NULL) break;
    if (entry->d_type != DT_REG) continue;
    int fd = REAL(openat)(dirfd(dir), entry->d_name, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) keep_copy(fd);
    if (fd >= 0) REAL(close)(fd);
  }
  if (dir != NULL) closedir(dir);
}

__attribute__((constructor)) static void start(void) {
  watched = getenv("LINECAST_CRASH_DIR");
  if (watched != NULL) watched_len = strlen(watched);
  const char* at = getenv("LINECAST_CRASH_AT");
  crash_at = at != NULL ? atol(at) : 0;
  power_dir = getenv("LINECAST_POWER_DIR");
  if (watched != NULL && power_dir != NULL) keep_initial_state();
}

__attribute__((destructor)) static void finish(void) {
  const char* path = getenv("LINECAST_CRASH_COUNT");
  FILE* out = path != NULL ? fopen(path, "we") : NULL;
  if (out != NULL) fprintf(out, "%ld\n", calls), fclose(out);
}

// Counts one call; at the chosen one the process dies before (or, for a write, halfway through)
// the call.
static void crash_point(int fd, const void* data, size_t len) {
  if (++calls != crash_at) return;
  if (data != NULL && len > 1) REAL(write)(fd, data, len / 2);
  kill(getpid(), SIGKILL);
}

static int opened(int fd, int k, int created_new) {
  if (fd >= 0 && fd < kMaxFds) kind[fd] = (char)k;
  if (fd >= 0 && k == 1 && created_new && power_dir != NULL) {
    // A new file's inode may be an old one's number: its copy is not this file's.
    struct stat st;
    char copy[4096];
    if (fstat(fd, &st) == 0) {
      snprintf(copy, sizeof copy, "%s/%lu", power_dir, (unsigned long)st.st_ino);
      REAL(unlink)(copy);
    }
  }
  return fd;
}

static int open_in(int dirfd, const char* path, int flags, mode_t mode, int at64) {
  int k = path_kind(dirfd, path);
  struct stat st;
  int created_new = 0;
  if (k == 1 && (flags & O_CREAT)) {
    created_new = fstatat(dirfd, path, &st, 0) != 0;
    crash_point(-1, NULL, 0);
  }
  int fd = at64 ? REAL(openat64)(dirfd, path, flags, mode) : REAL(openat)(dirfd, path, flags, mode);
  return k ? opened(fd, k, created_new) : fd;
}

static mode_t mode_of(int flags, va_list args) {
  return (flags & (O_CREAT | O_TMPFILE)) ? va_arg(args, mode_t) : 0;
}

int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = mode_of(flags, args);
  va_end(args);
  return open_in(AT_FDCWD, path, flags, mode, 0);
}

int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = mode_of(flags, args);
  va_end(args);
  return open_in(AT_FDCWD, path, flags, mode, 1);
}

int openat(int dirfd, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = mode_of(flags, args);
  va_end(args);
  return open_in(dirfd, path, flags, mode, 0);
}

int openat64(int dirfd, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = mode_of(flags, args);
  va_end(args);
  return open_in(dirfd, path, flags, mode, 1);
}

int close(int fd) {
  if (fd >= 0 && fd < kMaxFds) kind[fd] = 0;
  return REAL(close)(fd);
}

// A write to a file opened with O_DSYNC is durable when the call returns.
static ssize_t written(int fd, ssize_t rc) {
  if (rc > 0 && power_dir != NULL && watched_fd(fd) == 1 && (fcntl(fd, F_GETFL) & O_DSYNC)) {
    keep_copy(fd);
  }
  return rc;
}

ssize_t write(int fd, const void* data, size_t len) {
  if (watched_fd(fd) == 1) crash_point(fd, data, len);
  return written(fd, REAL(write)(fd, data, len));
}

ssize_t pwrite(int fd, const void* data, size_t len, off_t at) {
  if (watched_fd(fd) == 1) crash_point(-1, NULL, 0);
  return written(fd, REAL(pwrite)(fd, data, len, at));
}

ssize_t pwrite64(int fd, const void* data, size_t len, off64_t at) {
  if (watched_fd(fd) == 1) crash_point(-1, NULL, 0);
  return written(fd, REAL(pwrite64)(fd, data, len, at));
}

// Bytes moved into a file of the directory; at the crash point half of them move first, as a
// kill in the middle of the call leaves them.
ssize_t splice(int in, loff_t* in_at, int out, loff_t* out_at, size_t len, unsigned flags) {
  if (watched_fd(out) == 1 && calls + 1 == crash_at && len > 1) {
    written(out, REAL(splice)(in, in_at, out, out_at, len / 2, flags));
  }
  if (watched_fd(out) == 1) crash_point(-1, NULL, 0);
  return written(out, REAL(splice)(in, in_at, out, out_at, len, flags));
}

ssize_t sendfile(int out, int in, off_t* in_at, size_t len) {
  if (watched_fd(out) == 1 && calls + 1 == crash_at && len > 1) {
    written(out, REAL(sendfile)(out, in, in_at, len / 2));
  }
  if (watched_fd(out) == 1) crash_point(-1, NULL, 0);
  return written(out, REAL(sendfile)(out, in, in_at, len));
}

ssize_t sendfile64(int out, int in, off64_t* in_at, size_t len) {
  if (watched_fd(out) == 1 && calls + 1 == crash_at && len > 1) {
    written(out, REAL(sendfile64)(out, in, in_at, len / 2));
  }
  if (watched_fd(out) == 1) crash_point(-1, NULL, 0);
  return written(out, REAL(sendfile64)(out, in, in_at, len));
}

// A sync makes the file's content durable (kind 1) or its names (kind 2).
static int synced(int fd, int rc) {
  if (rc == 0 && power_dir != NULL && watched_fd(fd) == 1) keep_copy(fd);
  if (rc == 0 && power_dir != NULL && watched_fd(fd) == 2) keep_names();
  return rc;
}

int fsync(int fd) {
  if (watched_fd(fd)) crash_point(-1, NULL, 0);
  return synced(fd, REAL(fsync)(fd));
}

int fdatasync(int fd) {
  if (watched_fd(fd)) crash_point(-1, NULL, 0);
  return synced(fd, REAL(fdatasync)(fd));
}

int ftruncate(int fd, off_t len) {
  if (watched_fd(fd) == 1) crash_point(-1, NULL, 0);
  return REAL(ftruncate)(fd, len);
}

int ftruncate64(int fd, off64_t len) {
  if (watched_fd(fd) == 1) crash_point(-1, NULL, 0);
  return REAL(ftruncate64)(fd, len);
}

int rename(const char* from, const char* to) {
  if (path_kind(AT_FDCWD, from) || path_kind(AT_FDCWD, to)) crash_point(-1, NULL, 0);
  return REAL(rename)(from, to);
}

int renameat(int from_dir, const char* from, int to_dir, const char* to) {
  if (path_kind(from_dir, from) || path_kind(to_dir, to)) crash_point(-1, NULL, 0);
  return REAL(renameat)(from_dir, from, to_dir, to);
}

int renameat2(int from_dir, const char* from, int to_dir, const char* to, unsigned flags) {
  if (path_kind(from_dir, from) || path_kind(to_dir, to)) crash_point(-1, NULL, 0);
  return REAL(renameat2)(from_dir, from, to_dir, to, flags);
}

int unlink(const char* path) {
  if (path_kind(AT_FDCWD, path)) crash_point(-1, NULL, 0);
  return REAL(unlink)(path);
}

int unlinkat(int dirfd, const char* path, int flags) {
  if (path_kind(dirfd, path)) crash_point(-1, NULL, 0);
  return REAL(unlinkat)(dirfd, path, flags);
}
