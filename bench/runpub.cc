// Runs one publisher under measurement: feeds its stdin through a pipe from a file or the
// generator, then reports start, end-of-input and exit times and the child's CPU and peak RSS.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "gen_lines.h"

namespace {

volatile sig_atomic_t g_timed_out = 0;

void on_alarm(int) { g_timed_out = 1; }

uint64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + ts.tv_nsec;
}

// False once the reader is gone or the time is up.
bool write_all(int fd, const char* p, size_t n) {
  while (n > 0 && !g_timed_out) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return n == 0;
}

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: bench_runpub --report FILE (--input PATH | --gen-lines N | --gen-bytes N)\n"
               "         [--body-min N] [--body-span N] [--linger-ms N] [--timeout-s N]\n"
               "         -- COMMAND [ARGS...]\n");
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  const char* report = nullptr;
  const char* input = nullptr;
  GenStream gen;
  bool use_gen = false;
  long linger_ms = 0, timeout_s = 600;
  int a = 1;
  for (; a < argc && std::strcmp(argv[a], "--") != 0; a += 2) {
    if (a + 1 >= argc) usage();
    std::string opt = argv[a];
    const char* val = argv[a + 1];
    if (opt == "--report") {
      report = val;
    } else if (opt == "--input") {
      input = val;
    } else if (opt == "--gen-lines") {
      gen.limit_lines = std::strtoull(val, nullptr, 10);
      use_gen = true;
    } else if (opt == "--gen-bytes") {
      gen.limit_bytes = std::strtoull(val, nullptr, 10);
      use_gen = true;
    } else if (opt == "--linger-ms") {
      linger_ms = std::atol(val);
    } else if (opt == "--timeout-s") {
      timeout_s = std::atol(val);
    } else if (!gen_shape_option(gen.shape, argv[a], val)) {
      usage();
    }
  }
  if (!report || a + 1 >= argc || (input == nullptr) == !use_gen) usage();
  char** command = argv + a + 1;

  int in_fd = -1;
  if (input && (in_fd = open(input, O_RDONLY)) < 0) {
    std::perror(input);
    return 2;
  }
  int p[2];
  if (pipe(p) != 0) return 2;
  // Keeps the write end out of the child, so that closing it here is end of input there.
  fcntl(p[1], F_SETFD, FD_CLOEXEC);
  signal(SIGPIPE, SIG_IGN);
  struct sigaction sa {};
  sa.sa_handler = on_alarm;  // no SA_RESTART: a blocked write or wait returns on time-out
  sigaction(SIGALRM, &sa, nullptr);

  uint64_t start = now_ns();
  pid_t pid = fork();
  if (pid < 0) return 2;
  if (pid == 0) {
    dup2(p[0], 0);
    close(p[0]);
    if (in_fd >= 0) close(in_fd);
    execvp(command[0], command);
    std::perror(command[0]);
    _exit(127);
  }
  close(p[0]);
  alarm(static_cast<unsigned>(timeout_s));

  std::vector<char> buf(64 * 1024 + gen_max_len(gen.shape));
  uint64_t fed = 0;
  bool fed_all = true;
  for (;;) {
    size_t n = 0;
    if (use_gen) {
      for (size_t k; n < 64 * 1024 && (k = gen_next(gen, buf.data() + n)) > 0;) n += k;
    } else {
      ssize_t r = read(in_fd, buf.data(), 64 * 1024);
      if (r < 0 && errno == EINTR && !g_timed_out) continue;
      n = r > 0 ? static_cast<size_t>(r) : 0;
    }
    if (n == 0) break;
    if (!write_all(p[1], buf.data(), n)) {
      fed_all = false;
      break;
    }
    fed += n;
  }
  if (fed_all && linger_ms > 0) {
    timespec ts{linger_ms / 1000, (linger_ms % 1000) * 1000000};
    nanosleep(&ts, nullptr);
  }
  uint64_t eof = now_ns();
  close(p[1]);

  int status = 0;
  rusage ru{};
  if (g_timed_out) kill(pid, SIGKILL);
  for (;;) {
    if (wait4(pid, &status, 0, &ru) == pid) break;
    if (errno != EINTR) return 2;
    if (g_timed_out) kill(pid, SIGKILL);
  }
  uint64_t end = now_ns();

  FILE* out = std::fopen(report, "w");
  if (!out) return 2;
  std::fprintf(out,
               "start_ns=%llu eof_ns=%llu exit_ns=%llu user_us=%lld sys_us=%lld maxrss_kb=%ld "
               "exit=%d signal=%d fed_bytes=%llu fed_all=%d timed_out=%d\n",
               static_cast<unsigned long long>(start), static_cast<unsigned long long>(eof),
               static_cast<unsigned long long>(end),
               static_cast<long long>(ru.ru_utime.tv_sec) * 1000000 + ru.ru_utime.tv_usec,
               static_cast<long long>(ru.ru_stime.tv_sec) * 1000000 + ru.ru_stime.tv_usec,
               ru.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : -1,
               WIFSIGNALED(status) ? WTERMSIG(status) : 0, static_cast<unsigned long long>(fed),
               fed_all ? 1 : 0, g_timed_out ? 1 : 0);
  std::fclose(out);
  return 0;
}
