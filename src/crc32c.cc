// CRC-32C: a table-driven version for any CPU and the SSE4.2 instruction where there is one.
#include "crc32c.h"

#include <array>
#include <cstring>

namespace {

constexpr uint32_t kPolynomial = 0x82F63B78;  // Castagnoli, reflected

// Eight tables, so that the portable version takes eight bytes a step.
struct Tables {
  uint32_t t[8][256];
};

Tables make_tables() {
  Tables tables{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? (c >> 1) ^ kPolynomial : c >> 1;
    tables.t[0][i] = c;
  }
  for (uint32_t i = 0; i < 256; ++i) {
    for (int k = 1; k < 8; ++k) {
      uint32_t prev = tables.t[k - 1][i];
      tables.t[k][i] = (prev >> 8) ^ tables.t[0][prev & 0xFF];
    }
  }
  return tables;
}

uint32_t crc32c_portable(uint32_t crc, const unsigned char* p, size_t len) {
  static const Tables tables = make_tables();
  const auto& t = tables.t;
  while (len >= 8) {
    uint32_t lo = (p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24) ^ crc;
    crc = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
          t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
    p += 8;
    len -= 8;
  }
  while (len-- > 0) crc = (crc >> 8) ^ t[0][(crc ^ *p++) & 0xFF];
  return crc;
}

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) uint32_t crc32c_sse42(uint32_t crc, const unsigned char* p,
                                                        size_t len) {
  uint64_t c = crc;
  while (len >= 8) {
    uint64_t word;
    memcpy(&word, p, 8);
    c = __builtin_ia32_crc32di(c, word);
    p += 8;
    len -= 8;
  }
  uint32_t c32 = static_cast<uint32_t>(c);
  while (len-- > 0) c32 = __builtin_ia32_crc32qi(c32, *p++);
  return c32;
}

bool have_sse42() {
  static const bool have = __builtin_cpu_supports("sse4.2");
  return have;
}
#endif

}  // namespace

uint32_t crc32c(uint32_t crc, const void* data, size_t len) {
  const auto* p = static_cast<const unsigned char*>(data);
  crc = ~crc;
#if defined(__x86_64__)
  if (have_sse42()) return ~crc32c_sse42(crc, p, len);
#endif
  return ~crc32c_portable(crc, p, len);
}
