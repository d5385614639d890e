// CRC-32C (Castagnoli), the checksum of the spool's records and ledger entries.
#pragma once

#include <cstddef>
#include <cstdint>

/// Extends `crc` (0 to start) over `len` bytes at `data` and returns the new value; the result
/// for "123456789" from 0 is 0xE3069283. Uses the SSE4.2 instruction when the CPU has it.
uint32_t crc32c(uint32_t crc, const void* data, size_t len);
