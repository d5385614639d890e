// Fuzz target for the spool's recovery and reader: whatever bytes the segment file and the
// ledger hold, opening succeeds, and every record read back is one the segment file holds
// whole with a sound CRC, in ascending order; a record appended afterwards comes back intact.
//
// Input layout: two bytes of ledger length, that many ledger bytes, then the segment file
// (named for sequence number 1).
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "crc32c.h"
#include "spool.h"

namespace {

const std::string& spool_dir() {
  static const std::string dir = [] {
    // Memory-backed where there is such a place: the spool syncs, and a disk makes that slow.
    char shm[] = "/dev/shm/linecast-spool-fuzz-XXXXXX";
    char tmp[] = "/tmp/linecast-spool-fuzz-XXXXXX";
    if (mkdtemp(shm) != nullptr) return std::string(shm);
    if (mkdtemp(tmp) == nullptr) abort();
    return std::string(tmp);
  }();
  return dir;
}

void put_file(const std::string& name, const uint8_t* data, size_t size) {
  int fd = open((spool_dir() + "/" + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size)) abort();
  close(fd);
}

void clear_dir() {
  DIR* dir = opendir(spool_dir().c_str());
  if (dir == nullptr) abort();
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] != '.') unlink((spool_dir() + "/" + e->d_name).c_str());
  }
  closedir(dir);
}

// The record as the segment file must hold it: length, CRC, sequence number, payload.
std::string on_disk(const SpoolRecord& r) {
  unsigned char header[16];
  for (int i = 0; i < 4; ++i) header[i] = static_cast<unsigned char>(r.len >> (8 * i));
  for (int i = 0; i < 8; ++i) header[8 + i] = static_cast<unsigned char>(r.seq >> (8 * i));
  uint32_t crc = crc32c(crc32c(crc32c(0, header, 4), header + 8, 8), r.data, r.len);
  for (int i = 0; i < 4; ++i) header[4 + i] = static_cast<unsigned char>(crc >> (8 * i));
  return std::string(reinterpret_cast<char*>(header), 16) +
         std::string(reinterpret_cast<const char*>(r.data), r.len);
}

SpoolPtr open_spool(SpoolRecovery* recovery) {
  SpoolOptions options;
  options.dir = spool_dir();
  options.size_bytes = uint64_t{1} << 20;
  options.max_record = 256;
  std::string error;
  SpoolPtr spool = spool_open(options, recovery, &error);
  if (spool == nullptr) abort();  // damage never refuses an open
  return spool;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  size_t ledger = std::min<size_t>(data[0] | data[1] << 8, size - 2);
  clear_dir();
  if (ledger > 0) put_file("ledger", data + 2, ledger);
  const std::string segment(reinterpret_cast<const char*>(data) + 2 + ledger, size - 2 - ledger);
  put_file("00000000000000000001.seg", data + 2 + ledger, segment.size());

  SpoolRecovery recovery;
  SpoolPtr spool = open_spool(&recovery);
  SpoolRecord r;
  uint64_t last = 0, count = 0;
  int rc;
  while ((rc = spool_next(*spool, &r)) == 1) {
    if (r.seq <= last || segment.find(on_disk(r)) == std::string::npos) abort();
    last = r.seq;
    ++count;
  }
  if (rc != 0 || count > recovery.records) abort();

  // The spool goes on working: a new record is numbered after all others and comes back.
  const unsigned char kProbe[] = "probe";
  uint64_t seq = 0, dropped = 0;
  if (spool_append(*spool, kProbe, 5, &seq, &dropped) != kSpoolOk || seq <= last) abort();
  if (spool_flush(*spool) != kSpoolOk || spool_next(*spool, &r) != 1) abort();
  if (r.seq != seq || r.len != 5 || memcmp(r.data, kProbe, 5) != 0) abort();
  if (spool_close(std::move(spool)) != kSpoolOk) abort();
  return 0;
}
