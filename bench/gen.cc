// Writes the benchmark input to stdout:
//   bench_gen [--body-min N] [--body-span N] (LINES | --bytes N)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "gen_lines.h"

int main(int argc, char** argv) {
  GenStream s;
  bool have_limit = false;
  for (int a = 1; a < argc; ++a) {
    if (a + 1 < argc && gen_shape_option(s.shape, argv[a], argv[a + 1])) {
      ++a;
    } else if (a + 1 < argc && std::strcmp(argv[a], "--bytes") == 0) {
      s.limit_bytes = std::strtoull(argv[++a], nullptr, 10);
      have_limit = true;
    } else if (argv[a][0] >= '0' && argv[a][0] <= '9') {
      s.limit_lines = std::strtoull(argv[a], nullptr, 10);
      have_limit = true;
    } else {
      have_limit = false;
      break;
    }
  }
  if (!have_limit) {
    std::fprintf(stderr, "usage: bench_gen [--body-min N] [--body-span N] (LINES | --bytes N)\n");
    return 2;
  }
  const size_t max_len = gen_max_len(s.shape);
  std::vector<char> buf(64 * 1024 + max_len);
  size_t used = 0;
  for (;;) {
    size_t n = gen_next(s, buf.data() + used);
    used += n;
    if (n == 0 || used >= 64 * 1024) {
      if (used > 0 && std::fwrite(buf.data(), 1, used, stdout) != used) return 1;
      used = 0;
    }
    if (n == 0) break;
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
