// The benchmark's deterministic input: line i depends only on i, so the subscriber can check a
// stream it never stored, and the feeder can make any amount of it on the fly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

// Line i is a 10-digit zero-padded index, a space, body_min .. body_min + body_span - 1 letters
// and a line feed. The default averages 61 bytes, and its longest line (80) stays below the
// default maxdatalen (100), so that one line is exactly one record.
struct GenShape {
  size_t body_min = 30;
  size_t body_span = 39;
};

inline size_t gen_max_len(const GenShape& g) { return 12 + g.body_min + g.body_span - 1; }

// splitmix64: cheap and well mixed, so lengths and letters look random yet repeat exactly.
inline uint64_t gen_mix(uint64_t i) {
  uint64_t z = i + 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// Length of line `i`, without making it.
inline size_t gen_line_len(const GenShape& g, uint64_t i) {
  return 12 + g.body_min + gen_mix(i) % g.body_span;
}

// Writes line `i` into `out` (room for gen_max_len bytes). Returns its length.
inline size_t gen_line(const GenShape& g, uint64_t i, char* out) {
  uint64_t z = gen_mix(i);
  char* p = out;
  uint64_t n = i;
  for (int d = 9; d >= 0; --d) {
    p[d] = static_cast<char>('0' + n % 10);
    n /= 10;
  }
  p += 10;
  *p++ = ' ';
  size_t body = g.body_min + z % g.body_span;
  uint64_t bits = z;
  for (size_t k = 0; k < body; ++k) {
    if (k % 12 == 11) bits = bits * 6364136223846793005ull + 1442695040888963407ull;
    *p++ = static_cast<char>('a' + (bits >> (5 * (k % 12))) % 26);
  }
  *p++ = '\n';
  return static_cast<size_t>(p - out);
}

// The stream of lines cut to a total size: whole lines while they fit in `limit_bytes`, then the
// head of the next line (without its line feed) to fill the limit exactly. `limit_lines` bounds
// the count instead when `limit_bytes` is 0.
struct GenStream {
  GenShape shape;
  uint64_t limit_lines = 0;
  uint64_t limit_bytes = 0;
  uint64_t index = 0;    // next line to make
  uint64_t written = 0;  // bytes made so far
};

// Makes the next piece of the stream into `out` (room for gen_max_len bytes). Returns 0 at the
// end.
inline size_t gen_next(GenStream& s, char* out) {
  if (s.limit_bytes == 0 ? s.index >= s.limit_lines : s.written >= s.limit_bytes) return 0;
  size_t len = gen_line(s.shape, s.index++, out);
  if (s.limit_bytes != 0 && s.written + len > s.limit_bytes) {
    len = static_cast<size_t>(s.limit_bytes - s.written);
  }
  s.written += len;
  return len;
}

// Reads a `--body-min N` or `--body-span N` option into `g`; false when `opt` is neither.
inline bool gen_shape_option(GenShape& g, const char* opt, const char* val) {
  size_t n = std::strtoull(val, nullptr, 10);
  if (std::strcmp(opt, "--body-min") == 0) {
    g.body_min = n;
  } else if (std::strcmp(opt, "--body-span") == 0) {
    g.body_span = n > 0 ? n : 1;
  } else {
    return false;
  }
  return true;
}
