// The disk spool: appending to segment files, reading them back in order with damage skipped,
// the ledger of what was handed over, and recovery at opening.
#include "spool.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <set>

#include "crc32c.h"

namespace {

constexpr unsigned char kSegmentMagic[4] = {'L', 'C', 'S', 'G'};
constexpr unsigned char kLedgerMagic[4] = {'L', 'C', 'L', 'G'};
constexpr unsigned char kTakenMagic[4] = {'L', 'C', 'T', 'K'};
constexpr uint32_t kFormatVersion = 1;
constexpr size_t kFileHeaderBytes = 16;    // magic, version, first sequence number (or 0)
constexpr size_t kRecordHeaderBytes = 16;  // length, CRC, sequence number
constexpr size_t kEntryHeaderBytes = 24;   // CRC, type, data length, watermark, sequence number
constexpr uint64_t kMaxRecordBytes = 268435455;  // the largest MQTT payload
constexpr uint64_t kMaxSeq = uint64_t{1} << 62;  // beyond any number a spool can reach
constexpr uint64_t kMaxSegmentBytes = uint64_t{64} << 20;
constexpr uint64_t kMinSegmentBytes = uint64_t{64} << 10;
constexpr uint64_t kMaxLedgerBytes = uint64_t{1} << 20;
constexpr uint64_t kMinLedgerBytes = uint64_t{4} << 10;
constexpr size_t kWriteBufferBytes = size_t{256} << 10;
constexpr size_t kReadBufferBytes = size_t{256} << 10;
constexpr char kLockName[] = "lock";
constexpr char kLedgerName[] = "ledger";
constexpr char kLedgerTmpName[] = "ledger.tmp";
constexpr char kTakenName[] = "taken";
constexpr char kTakenTmpName[] = "taken.tmp";
// The file of taken bytes starts again once it holds this much and ends with a whole record:
// small, since it takes room beside the spool's size, and a restart costs three calls.
constexpr uint64_t kMostTakenBytes = uint64_t{64} << 10;

enum EntryType : uint8_t { kEntryAck = 1, kEntryReleased = 2, kEntryClientid = 3 };

void put32(unsigned char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
void put64(unsigned char* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
uint32_t get32(const unsigned char* p) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | p[i];
  return v;
}
uint64_t get64(const unsigned char* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

void encode_file_header(unsigned char* out, const unsigned char* magic, uint64_t first_seq) {
  memcpy(out, magic, 4);
  put32(out + 4, kFormatVersion);
  put64(out + 8, first_seq);
}

bool file_header_ok(const unsigned char* in, const unsigned char* magic) {
  return memcmp(in, magic, 4) == 0 && get32(in + 4) == kFormatVersion;
}

// The CRC of a record covers its length, its sequence number and its payload.
uint32_t record_crc(const unsigned char* header, const unsigned char* payload, size_t len) {
  uint32_t crc = crc32c(0, header, 4);
  crc = crc32c(crc, header + 8, 8);
  return crc32c(crc, payload, len);
}

std::string segment_name(uint64_t first_seq) {
  char name[32];
  snprintf(name, sizeof name, "%020llu.seg", static_cast<unsigned long long>(first_seq));
  return name;
}

// The first sequence number a segment's file name gives; false for any other name.
bool parse_segment_name(const char* name, uint64_t* first_seq) {
  if (strlen(name) != 24 || strcmp(name + 20, ".seg") != 0) return false;
  uint64_t n = 0;
  for (int i = 0; i < 20; ++i) {
    if (name[i] < '0' || name[i] > '9') return false;
    uint64_t digit = static_cast<uint64_t>(name[i] - '0');
    if (n > (UINT64_MAX - digit) / 10) return false;
    n = n * 10 + digit;
  }
  *first_seq = n;
  return true;
}

bool write_all(int fd, const unsigned char* data, size_t len, size_t* written) {
  *written = 0;
  while (*written < len) {
    ssize_t n = write(fd, data + *written, len - *written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = ENOSPC;
      return false;
    }
    *written += static_cast<size_t>(n);
  }
  return true;
}

// A sequential reader over one file through a buffer of its own: `ensure` makes the next `n`
// bytes available at `at()` unless the file ends first.
struct FileReader {
  int fd = -1;
  std::vector<unsigned char> buf;
  size_t begin = 0, end = 0;
  uint64_t offset = 0;  // file offset of buf[begin]

  FileReader() = default;
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;
  ~FileReader() { reset(-1, 0); }

  void reset(int new_fd, uint64_t start) {
    if (fd >= 0) close(fd);
    fd = new_fd;
    begin = end = 0;
    offset = start;
  }
  const unsigned char* at() const { return buf.data() + begin; }
  size_t available() const { return end - begin; }
  void skip(size_t n) {
    begin += n;
    offset += n;
  }
  // False at the end of the file (or on a read error, errno set and `failed`).
  bool ensure(size_t n, bool* failed);
  // Gives back memory grown for one large record.
  void shrink(size_t capacity) {
    if (buf.size() > capacity && available() <= capacity) {
      memmove(buf.data(), at(), available());
      end -= begin, begin = 0;
      buf.resize(capacity);
      buf.shrink_to_fit();
    }
  }
};

bool FileReader::ensure(size_t n, bool* failed) {
  *failed = false;
  if (available() >= n) return true;
  if (buf.size() < n) buf.resize(std::max(n, kReadBufferBytes));
  if (begin + n > buf.size()) {
    memmove(buf.data(), at(), available());
    end -= begin, begin = 0;
  }
  while (available() < n) {
    ssize_t got =
        pread(fd, buf.data() + end, buf.size() - end, static_cast<off_t>(offset + available()));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) *failed = true;
    if (got <= 0) return false;
    end += static_cast<size_t>(got);
  }
  return true;
}

uint64_t ledger_room(uint64_t size_bytes) {
  return std::clamp(size_bytes / 16, kMinLedgerBytes, kMaxLedgerBytes);
}

struct Segment {
  uint64_t first_seq;  // of its first record: the name's, or found by scanning when the header
                       // is damaged
  uint64_t bytes;      // on disk, with the records still buffered for it
  uint64_t name_seq;   // the number in its file name
  bool header_ok;      // a damaged header: its records are found by their own CRC, and nothing
                       // more is written to it
};

std::string segment_name(const Segment& segment) { return segment_name(segment.name_seq); }

}  // namespace

struct Spool {
  SpoolOptions options;
  uint64_t segment_target = 0;  // a segment is rolled once it holds this much
  uint64_t ledger_limit = 0;    // room kept for the ledger and its rewrite
  int dir_fd = -1, ledger_fd = -1, write_fd = -1;  // the directory's descriptor holds the lock
  int taken_fd = -1;          // the file of taken bytes, at its end
  bool taken_dirty = false;   // written since its last sync (not under "always": O_DSYNC)
  std::deque<Segment> segments;        // ascending; the last is written when write_fd >= 0
  uint64_t segment_bytes = 0;          // their sum
  uint64_t next_seq = 1;               // of the next record appended
  uint64_t flushed_seq = 1;            // records before it are in the files
  std::vector<unsigned char> pending;  // appended records not yet written
  bool disk_full = false;

  uint64_t watermark = 0;         // every record up to it is handed over
  uint64_t ledger_watermark = 0;  // the watermark the ledger has
  uint64_t ledger_bytes = 0;
  uint64_t ledger_found = 0;  // its size at opening, before anything was cut off
  bool ledger_damaged = false;
  std::set<uint64_t> released;  // "PUBREL sent", after the watermark
  std::string clientid;

  bool segment_dirty = false, ledger_dirty = false, dir_dirty = false;
  int64_t last_sync_ms = 0;

  FileReader reader;
  uint64_t reader_segment = 0;  // first_seq of the segment the reader has open
  uint64_t cursor = 1;          // the next record spool_next returns

  uint64_t dropped = 0, damaged = 0;
  std::string error;
};

void SpoolDeleter::operator()(Spool* spool) const {
  for (int fd : {spool->dir_fd, spool->ledger_fd, spool->write_fd, spool->taken_fd}) {
    if (fd >= 0) close(fd);
  }
  spool->reader.reset(-1, 0);
  delete spool;
}

namespace {

int fail(Spool& spool, const std::string& file) {
  spool.error = "Spool file " + spool.options.dir + "/" + file + ": " + strerror(errno);
  return kSpoolError;
}

// The sequence number after the last record of segment `i`.
uint64_t segment_end(const Spool& spool, size_t i) {
  return i + 1 < spool.segments.size() ? spool.segments[i + 1].first_seq : spool.next_seq;
}

uint64_t first_waiting(const Spool& spool) {
  uint64_t first = spool.watermark + 1;
  if (!spool.segments.empty()) first = std::max(first, spool.segments.front().first_seq);
  return std::min(first, spool.next_seq);
}

// ---- The ledger ----------------------------------------------------------------------------

std::vector<unsigned char> encode_entry(uint8_t type, uint64_t watermark, uint64_t seq,
                                        std::string_view data) {
  std::vector<unsigned char> e(kEntryHeaderBytes + data.size());
  e[4] = type;
  e[5] = 0;
  e[6] = static_cast<unsigned char>(data.size());
  e[7] = static_cast<unsigned char>(data.size() >> 8);
  put64(&e[8], watermark);
  put64(&e[16], seq);
  if (!data.empty()) memcpy(e.data() + kEntryHeaderBytes, data.data(), data.size());
  put32(&e[0], crc32c(0, e.data() + 4, e.size() - 4));
  return e;
}

// Applies one whole entry of `len` bytes; false when it is damaged.
bool apply_entry(Spool& spool, const unsigned char* e, size_t len) {
  if (get32(e) != crc32c(0, e + 4, len - 4) || e[5] != 0) return false;
  uint64_t watermark = get64(e + 8);
  uint64_t seq = get64(e + 16);
  spool.watermark = std::max(spool.watermark, watermark);
  if (e[4] == kEntryReleased) spool.released.insert(seq);
  if (e[4] == kEntryClientid) {
    spool.clientid.assign(reinterpret_cast<const char*>(e + kEntryHeaderBytes),
                          len - kEntryHeaderBytes);
  }
  return e[4] == kEntryAck || e[4] == kEntryReleased || e[4] == kEntryClientid;
}

// Reads the ledger at `fd` into `spool` and returns the length of its sound beginning.
uint64_t read_ledger(Spool& spool, int fd) {
  FileReader in;
  in.reset(fd, 0);
  bool failed = false;
  uint64_t sound = 0;
  if (in.ensure(kFileHeaderBytes, &failed) && file_header_ok(in.at(), kLedgerMagic)) {
    in.skip(kFileHeaderBytes);
    sound = in.offset;
    while (in.ensure(kEntryHeaderBytes, &failed)) {
      size_t len = kEntryHeaderBytes + (in.at()[6] | in.at()[7] << 8);
      if (!in.ensure(len, &failed) || !apply_entry(spool, in.at(), len)) break;
      in.skip(len);
      sound = in.offset;
    }
  }
  in.fd = -1;  // the caller keeps the descriptor
  return sound;
}

int append_entry(Spool& spool, const std::vector<unsigned char>& e);

// Keeps room on disk for the ledger's entries (without changing its size), so that records can
// still be handed over, and their segments deleted, when the disk is full. Best effort: a
// file system without it, or a disk already full, goes without.
void reserve_ledger(const Spool& spool) {
  [[maybe_unused]] int rc = fallocate(spool.ledger_fd, FALLOC_FL_KEEP_SIZE, 0,
                                      static_cast<off_t>(spool.ledger_limit / 2));
}

// Writes the ledger afresh, holding only what is still needed, and puts it in place.
int rewrite_ledger(Spool& spool) {
  std::vector<unsigned char> out(kFileHeaderBytes);
  encode_file_header(out.data(), kLedgerMagic, 0);
  auto add = [&out](const std::vector<unsigned char>& e) {
    out.insert(out.end(), e.begin(), e.end());
  };
  if (!spool.clientid.empty())
    add(encode_entry(kEntryClientid, spool.watermark, 0, spool.clientid));
  add(encode_entry(kEntryAck, spool.watermark, 0, {}));
  for (uint64_t seq : spool.released) add(encode_entry(kEntryReleased, spool.watermark, seq, {}));
  int fd = openat(spool.dir_fd, kLedgerTmpName, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC,
                  0600);
  if (fd < 0) return fail(spool, kLedgerTmpName);
  // Durable before the rename, and the rename durable before anything relies on the new
  // ledger (a segment unlinked on its watermark must never outlive it in a power cut).
  size_t written = 0;
  if (!write_all(fd, out.data(), out.size(), &written) || fdatasync(fd) != 0 ||
      renameat(spool.dir_fd, kLedgerTmpName, spool.dir_fd, kLedgerName) != 0) {
    int saved = errno;
    close(fd);
    unlinkat(spool.dir_fd, kLedgerTmpName, 0);
    errno = saved;
    return fail(spool, kLedgerName);
  }
  close(spool.ledger_fd);
  spool.ledger_fd = fd;
  spool.ledger_bytes = out.size();
  spool.ledger_watermark = spool.watermark;
  spool.ledger_dirty = false;
  reserve_ledger(spool);
  if (fsync(spool.dir_fd) != 0) return fail(spool, ".");
  return kSpoolOk;
}

int append_entry(Spool& spool, const std::vector<unsigned char>& e) {
  // Past half its room, the ledger is rewritten: the rewrite needs the other half.
  // On a full disk the rewrite cannot be made: the ledger grows into the other half instead.
  if (spool.ledger_bytes + e.size() > spool.ledger_limit / 2) {
    bool rewritten = rewrite_ledger(spool) == kSpoolOk;
    bool full = !rewritten && (errno == ENOSPC || errno == EDQUOT);
    if (!rewritten && !full) return kSpoolError;
    if (spool.ledger_bytes + e.size() > spool.ledger_limit / (full ? 1 : 2)) {
      errno = ENOSPC;
      return fail(spool, kLedgerName);
    }
  }
  size_t written = 0;
  if (!write_all(spool.ledger_fd, e.data(), e.size(), &written)) {
    int saved = errno;
    if (written > 0 && ftruncate(spool.ledger_fd, static_cast<off_t>(spool.ledger_bytes)) != 0) {
      saved = errno;
    }
    errno = saved;
    return fail(spool, kLedgerName);
  }
  spool.ledger_bytes += e.size();
  spool.ledger_watermark = get64(e.data() + 8);
  spool.ledger_dirty = true;
  return kSpoolOk;
}

int write_watermark(Spool& spool) {
  if (spool.ledger_watermark == spool.watermark) return kSpoolOk;
  return append_entry(spool, encode_entry(kEntryAck, spool.watermark, 0, {}));
}

int sync_ledger(Spool& spool) {
  if (write_watermark(spool) != kSpoolOk) return kSpoolError;
  if (spool.ledger_dirty && fdatasync(spool.ledger_fd) != 0) return fail(spool, kLedgerName);
  spool.ledger_dirty = false;
  return kSpoolOk;
}

}  // namespace
namespace {

// ---- Segments: writing, rolling, deleting --------------------------------------------------

int sync_dir(Spool& spool) {
  if (spool.dir_dirty && fsync(spool.dir_fd) != 0) return fail(spool, ".");
  spool.dir_dirty = false;
  return kSpoolOk;
}

// Writes the buffered records. A full disk leaves them buffered and the file as it was.
int write_buffered(Spool& spool) {
  if (spool.pending.empty()) return kSpoolOk;
  const Segment& segment = spool.segments.back();
  size_t written = 0;
  if (!write_all(spool.write_fd, spool.pending.data(), spool.pending.size(), &written)) {
    int saved = errno;
    std::string name = segment_name(segment);
    uint64_t before = segment.bytes - spool.pending.size();
    if (written > 0 && ftruncate(spool.write_fd, static_cast<off_t>(before)) != 0) {
      return fail(spool, name);
    }
    errno = saved;
    spool.disk_full = saved == ENOSPC || saved == EDQUOT;
    return spool.disk_full ? kSpoolFull : fail(spool, name);
  }
  spool.pending.clear();
  spool.disk_full = false;
  spool.flushed_seq = spool.next_seq;
  spool.segment_dirty = true;
  return kSpoolOk;
}

int sync_segment(Spool& spool) {
  if (spool.segment_dirty && fdatasync(spool.write_fd) != 0) {
    return fail(spool, segment_name(spool.segments.back()));
  }
  spool.segment_dirty = false;
  return kSpoolOk;
}

int write_pending(Spool& spool);

// Closes the segment being written, durable: the next record starts a new one.
int roll_segment(Spool& spool) {
  if (spool.write_fd < 0) return kSpoolOk;
  int rc = write_pending(spool);
  if (rc == kSpoolOk) rc = sync_segment(spool);
  if (rc != kSpoolOk) return rc;
  close(spool.write_fd);
  spool.write_fd = -1;
  return kSpoolOk;
}

// Starts the segment whose first record is `first`; its header is the first thing buffered.
int start_segment(Spool& spool, uint64_t first) {
  std::string name = segment_name(first);
  spool.write_fd =
      openat(spool.dir_fd, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
  if (spool.write_fd < 0) return errno == ENOSPC ? kSpoolFull : fail(spool, name);
  spool.segments.push_back({first, kFileHeaderBytes, first, true});
  spool.segment_bytes += kFileHeaderBytes;
  spool.pending.resize(kFileHeaderBytes);
  encode_file_header(spool.pending.data(), kSegmentMagic, first);
  spool.dir_dirty = true;
  return kSpoolOk;
}

// On a full disk the buffered records move to a segment of their own, so that the segment
// written so far can be deleted, and free its room, once it is handed over; on a disk smaller
// than a segment nothing else would ever free room. kSpoolFull when they start one already.
int split_pending(Spool& spool) {
  if (spool.write_fd < 0 || spool.segments.back().first_seq == spool.flushed_seq) {
    return kSpoolFull;
  }
  if (sync_segment(spool) != kSpoolOk) return kSpoolError;
  int written_fd = spool.write_fd;
  std::vector<unsigned char> records;
  records.swap(spool.pending);
  spool.segments.back().bytes -= records.size();
  int rc = start_segment(spool, spool.flushed_seq);
  if (rc == kSpoolOk) {
    close(written_fd);
    spool.pending.insert(spool.pending.end(), records.begin(), records.end());
  } else {  // everything stays as it was
    spool.write_fd = written_fd;
    records.swap(spool.pending);
  }
  spool.segments.back().bytes += records.size();
  return rc;
}

int delete_handed_over(Spool& spool, bool all);

// Writes the buffered records; on a full disk, frees what was handed over and tries again.
int write_pending(Spool& spool) {
  int rc = write_buffered(spool);
  if (rc != kSpoolFull) return rc;
  rc = split_pending(spool);
  if (rc != kSpoolOk) return rc;
  if (delete_handed_over(spool, false) != kSpoolOk) return kSpoolError;
  return write_buffered(spool);
}

// Removes the oldest segment; the reader moves on when it was reading it.
int remove_oldest(Spool& spool) {
  const Segment oldest = spool.segments.front();
  std::string name = segment_name(oldest);
  if (unlinkat(spool.dir_fd, name.c_str(), 0) != 0 && errno != ENOENT) return fail(spool, name);
  spool.segments.pop_front();
  spool.segment_bytes -= oldest.bytes;
  spool.dir_dirty = true;
  if (spool.reader_segment == oldest.first_seq) spool.reader.reset(-1, 0);
  return kSpoolOk;
}

// Deletes the segments wholly handed over, and the one being written too when `all` and it
// is drained: the ledger is durable first, so that no restart expects what is gone.
int delete_handed_over(Spool& spool, bool all) {
  auto deletable = [&spool, all]() {
    if (spool.segments.empty() || segment_end(spool, 0) - 1 > spool.watermark) return false;
    return spool.segments.size() > 1 || spool.write_fd < 0 || (all && spool.pending.empty());
  };
  if (!deletable()) return kSpoolOk;
  if (sync_ledger(spool) != kSpoolOk) return kSpoolError;
  while (deletable()) {
    if (spool.segments.size() == 1 && spool.write_fd >= 0) {
      close(spool.write_fd);
      spool.write_fd = -1;
      spool.segment_dirty = false;
    }
    if (remove_oldest(spool) != kSpoolOk) return kSpoolError;
  }
  return sync_dir(spool);
}

// Drops the oldest segment to make room, counting the records the session never had.
int drop_oldest(Spool& spool) {
  if (spool.segments.size() == 1) {
    int rc = roll_segment(spool);
    if (rc != kSpoolOk) return rc;
  }
  uint64_t end = segment_end(spool, 0);
  uint64_t from = std::max(spool.segments.front().first_seq, spool.cursor);
  uint64_t count = end > from ? end - from : 0;
  if (remove_oldest(spool) != kSpoolOk) return kSpoolError;
  spool.dropped += count;
  spool.cursor = std::max(spool.cursor, end);
  return kSpoolOk;
}

// A full disk while every record in the file being written is handed over: the buffered
// records move to a segment of their own, so that the old file can go and free its room (a
// segment is deleted only whole). Returns kSpoolFull when that cannot help.
int rehome_pending(Spool& spool) {
  if (spool.write_fd < 0 || spool.pending.empty()) return kSpoolFull;
  const uint64_t moved = spool.pending.size();
  const Segment last = spool.segments.back();
  bool header_written = last.bytes - moved > kFileHeaderBytes;
  if (!header_written || spool.watermark + 1 < spool.flushed_seq) return kSpoolFull;
  if (delete_handed_over(spool, false) != kSpoolOk) return kSpoolError;
  if (spool.segments.size() != 1 || sync_ledger(spool) != kSpoolOk) return kSpoolFull;
  std::string name = segment_name(spool.flushed_seq);
  int fd =
      openat(spool.dir_fd, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return errno == ENOSPC ? kSpoolFull : fail(spool, name);
  close(spool.write_fd);
  spool.write_fd = fd;
  spool.segment_dirty = false;
  spool.segments.back().bytes -= moved;  // what stays in the old file, which goes now
  if (remove_oldest(spool) != kSpoolOk) return kSpoolError;
  spool.pending.insert(spool.pending.begin(), kFileHeaderBytes, 0);
  encode_file_header(spool.pending.data(), kSegmentMagic, spool.flushed_seq);
  spool.segments.push_back({spool.flushed_seq, kFileHeaderBytes + moved, spool.flushed_seq, true});
  spool.segment_bytes += kFileHeaderBytes;  // `moved` stayed counted
  spool.dir_dirty = true;
  return kSpoolOk;
}

// Makes room for `need` more bytes within the spool's size.
int make_room(Spool& spool, uint64_t need, uint64_t* dropped) {
  auto fits = [&spool, need]() {
    return spool.segment_bytes + spool.ledger_limit + need <= spool.options.size_bytes;
  };
  if (fits()) return kSpoolOk;
  if (delete_handed_over(spool, true) != kSpoolOk) return kSpoolError;
  uint64_t before = spool.dropped;
  while (!fits() && spool.options.drop_oldest && !spool.segments.empty()) {
    int rc = drop_oldest(spool);
    if (rc != kSpoolOk) return rc;
  }
  *dropped = spool.dropped - before;
  return fits() ? kSpoolOk : kSpoolFull;
}

}  // namespace

uint64_t spool_max_record(uint64_t size_bytes) {
  uint64_t overhead = ledger_room(size_bytes) + kFileHeaderBytes + kRecordHeaderBytes;
  return std::min(size_bytes > overhead ? size_bytes - overhead : 0, kMaxRecordBytes);
}

int spool_append(Spool& spool, const unsigned char* data, size_t len, uint64_t* seq,
                 uint64_t* dropped) {
  *dropped = 0;
  // No amount of waiting or dropping makes room for it: refuse it before anything goes.
  if (len > spool_max_record(spool.options.size_bytes)) {
    errno = EFBIG;
    return fail(spool, segment_name(spool.next_seq));
  }
  if (spool.disk_full) {
    int rc = write_pending(spool);
    // A full disk is a full spool: under drop-oldest the oldest segments make room.
    while (rc == kSpoolFull && spool.options.drop_oldest && spool.segments.size() > 1) {
      uint64_t before = spool.dropped;
      if (drop_oldest(spool) != kSpoolOk) return kSpoolError;
      *dropped += spool.dropped - before;
      rc = write_pending(spool);
    }
    if (rc != kSpoolOk) return rc;
  }
  uint64_t size = kRecordHeaderBytes + len;
  bool roll = spool.write_fd >= 0 && spool.segments.back().bytes + size > spool.segment_target &&
              spool.segments.back().bytes > kFileHeaderBytes;
  bool fresh = roll || spool.write_fd < 0;
  int rc = make_room(spool, size + (fresh ? kFileHeaderBytes : 0), dropped);
  if (rc == kSpoolOk && roll) rc = roll_segment(spool);
  if (rc == kSpoolOk && spool.write_fd < 0) rc = start_segment(spool, spool.next_seq);
  if (rc != kSpoolOk) return rc;

  size_t at = spool.pending.size();
  spool.pending.resize(at + size);
  unsigned char* header = &spool.pending[at];
  put32(header, static_cast<uint32_t>(len));
  put64(header + 8, spool.next_seq);
  if (len > 0) memcpy(header + kRecordHeaderBytes, data, len);
  put32(header + 4, record_crc(header, header + kRecordHeaderBytes, len));
  spool.segments.back().bytes += size;
  spool.segment_bytes += size;
  *seq = spool.next_seq++;
  if (spool.pending.size() >= kWriteBufferBytes) {
    rc = write_pending(spool);
    if (rc == kSpoolError) return rc;
  }
  return kSpoolOk;
}

int spool_flush(Spool& spool) {
  int rc = write_pending(spool);
  if (rc == kSpoolFull) {
    rc = rehome_pending(spool);
    if (rc == kSpoolOk) rc = write_pending(spool);
  }
  if (rc == kSpoolOk && spool.options.sync_seconds == 0) rc = spool_sync(spool);
  return rc;
}

int spool_sync(Spool& spool) {
  int rc = write_pending(spool);
  if (rc == kSpoolOk && spool.write_fd >= 0) rc = sync_segment(spool);
  if (rc == kSpoolOk && spool.taken_dirty && fdatasync(spool.taken_fd) != 0) {
    rc = fail(spool, kTakenName);
  }
  if (rc == kSpoolOk) spool.taken_dirty = false;
  if (rc == kSpoolOk) rc = sync_ledger(spool);
  if (rc == kSpoolOk) rc = sync_dir(spool);
  return rc;
}

int spool_maybe_sync(Spool& spool, int64_t now_ms) {
  if (spool.options.sync_seconds == 0) return kSpoolOk;
  if (now_ms - spool.last_sync_ms < int64_t{spool.options.sync_seconds} * 1000) return kSpoolOk;
  bool dirty = spool.segment_dirty || spool.ledger_dirty || spool.dir_dirty || spool.taken_dirty ||
               spool.ledger_watermark != spool.watermark;
  if (!dirty) return kSpoolOk;
  spool.last_sync_ms = now_ms;
  int rc = spool_sync(spool);
  // A full disk is not this call's business: the next append says so.
  return rc == kSpoolFull ? kSpoolOk : rc;
}

int spool_ack(Spool& spool, uint64_t seq) {
  seq = std::min(seq, spool.next_seq - 1);
  if (seq <= spool.watermark) return kSpoolOk;
  spool.watermark = seq;
  spool.released.erase(spool.released.begin(), spool.released.upper_bound(seq));
  if (write_watermark(spool) != kSpoolOk) return kSpoolError;
  return delete_handed_over(spool, false);
}

int spool_mark_released(Spool& spool, uint64_t seq) {
  if (seq <= spool.watermark || !spool.released.insert(seq).second) return kSpoolOk;
  return append_entry(spool, encode_entry(kEntryReleased, spool.watermark, seq, {}));
}

int spool_set_clientid(Spool& spool, std::string_view clientid) {
  if (clientid == spool.clientid) return kSpoolOk;
  spool.clientid = clientid.substr(0, 65535);
  // "PUBREL sent" marks speak of the broker's session of the client they were made under: a
  // ledger without them replaces the one with them.
  if (!spool.released.empty()) {
    spool.released.clear();
    return rewrite_ledger(spool);
  }
  return append_entry(spool, encode_entry(kEntryClientid, spool.watermark, 0, spool.clientid));
}

uint64_t spool_next_seq(const Spool& spool) { return spool.next_seq; }

SpoolCounters spool_counters(const Spool& spool) {
  SpoolCounters c;
  c.records = spool.next_seq - first_waiting(spool);
  c.bytes = spool.segment_bytes + spool.ledger_bytes;
  c.dropped = spool.dropped;
  c.damaged = spool.damaged;
  return c;
}

const std::string& spool_error(const Spool& spool) { return spool.error; }

namespace {
int cut_taken(Spool& spool);
}  // namespace

int spool_close(SpoolPtr spool) {
  int rc = write_pending(*spool);
  // Left empty, so that a next run that frames records otherwise finds none of this one's.
  if (rc == kSpoolOk && spool->taken_fd >= 0) rc = cut_taken(*spool);
  if (rc == kSpoolOk) rc = delete_handed_over(*spool, true);
  if (rc == kSpoolOk) rc = spool_sync(*spool);
  return rc;
}

namespace {

// ---- Reading back ---------------------------------------------------------------------------

size_t segment_index(const Spool& spool, uint64_t seq) {
  auto it = std::upper_bound(spool.segments.begin(), spool.segments.end(), seq,
                             [](uint64_t s, const Segment& g) { return s < g.first_seq; });
  return static_cast<size_t>(it - spool.segments.begin()) - 1;
}

// The bytes of segment `i` in its file (what is still buffered is not).
uint64_t file_bytes(const Spool& spool, size_t i) {
  bool written = i + 1 == spool.segments.size() && spool.write_fd >= 0;
  return spool.segments[i].bytes - (written ? spool.pending.size() : 0);
}

// A whole, sound record of a sequence number in [low, high) at the reader's position, within
// `limit` bytes of the file.
bool sound_record(FileReader& in, uint64_t low, uint64_t high, uint64_t limit, bool* failed) {
  if (!in.ensure(kRecordHeaderBytes, failed)) return false;
  uint64_t len = get32(in.at());
  uint64_t seq = get64(in.at() + 8);
  if (seq < low || seq >= high || len > kMaxRecordBytes) return false;
  if (in.offset + kRecordHeaderBytes + len > limit) return false;
  if (!in.ensure(kRecordHeaderBytes + len, failed)) return false;
  const unsigned char* h = in.at();
  return get32(h + 4) == record_crc(h, h + kRecordHeaderBytes, len);
}

// Opens the segment that holds the cursor for reading, past its header. The header is not
// needed for reading: every record is checked by its own CRC and number. Returns 1 when open,
// 0 when nothing is left.
int open_reader(Spool& spool) {
  if (spool.segments.empty() || spool.cursor >= spool.flushed_seq) return 0;
  spool.cursor = std::max(spool.cursor, spool.segments.front().first_seq);
  const Segment& segment = spool.segments[segment_index(spool, spool.cursor)];
  std::string name = segment_name(segment);
  int fd = openat(spool.dir_fd, name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(spool, name);
  spool.reader.reset(fd, 0);
  spool.reader_segment = segment.first_seq;
  bool failed = false;
  if (spool.reader.ensure(kFileHeaderBytes, &failed)) spool.reader.skip(kFileHeaderBytes);
  return failed ? fail(spool, name) : 1;
}

// The next record of the open segment, or 0 at its end.
int next_in_segment(Spool& spool, SpoolRecord* record) {
  size_t i = segment_index(spool, spool.reader_segment);
  uint64_t high = std::min(segment_end(spool, i), spool.flushed_seq);
  uint64_t limit = file_bytes(spool, i);
  FileReader& in = spool.reader;
  bool failed = false;
  while (spool.cursor < high) {
    if (!in.ensure(kRecordHeaderBytes, &failed)) {
      if (failed) return fail(spool, segment_name(spool.segments[i]));
      break;  // the file ends short of the records it should hold
    }
    if (sound_record(in, spool.segments[i].first_seq, high, limit, &failed)) {
      uint64_t seq = get64(in.at() + 8);
      size_t len = get32(in.at());
      if (seq >= spool.cursor) {
        spool.damaged += seq - spool.cursor;
        spool.cursor = seq + 1;
        *record = {seq, in.at() + kRecordHeaderBytes, len};
        in.skip(kRecordHeaderBytes + len);
        return 1;
      }
      in.skip(kRecordHeaderBytes + len);  // handed over before the cursor
    } else if (failed) {
      return fail(spool, segment_name(spool.segments[i]));
    } else {
      in.skip(1);  // damage: look for the next sound record byte by byte
    }
  }
  spool.damaged += high - std::min(high, spool.cursor);
  spool.cursor = std::max(spool.cursor, high);
  return 0;
}

}  // namespace

int spool_next(Spool& spool, SpoolRecord* record) {
  spool.reader.shrink(std::max(kReadBufferBytes, kRecordHeaderBytes + spool.options.max_record));
  while (spool.cursor < spool.flushed_seq) {
    if (spool.reader.fd < 0) {
      int rc = open_reader(spool);
      if (rc <= 0) return rc;
    }
    int rc = next_in_segment(spool, record);
    if (rc != 0) return rc;
    // At the end of a segment: the next one, unless this is where the writing goes on.
    if (spool.cursor < spool.flushed_seq) spool.reader.reset(-1, 0);
  }
  return 0;
}

void spool_rewind(Spool& spool) {
  spool.reader.reset(-1, 0);
  spool.cursor = first_waiting(spool);
}

namespace {

// ---- Opening and recovery -------------------------------------------------------------------

// Writes this process's pid into the lock file: overwritten first and cut after, so that a pid
// of the same length needs no new block on a full disk.
void name_holder(const Spool& spool) {
  std::string pid = std::to_string(getpid()) + "\n";
  int fd = openat(spool.dir_fd, kLockName, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  if (pwrite(fd, pid.data(), pid.size(), 0) == static_cast<ssize_t>(pid.size())) {
    // Cuts a longer stale pid; left behind the newline it would be harmless too.
    [[maybe_unused]] int cut = ftruncate(fd, static_cast<off_t>(pid.size()));
  }
  close(fd);
}

// Takes the lock, or names the process that holds it. The lock is on the directory itself, so
// that deleting the pid file cannot let a second process in; the file only names the holder.
bool take_lock(Spool& spool, std::string* error) {
  if (flock(spool.dir_fd, LOCK_EX | LOCK_NB) != 0) {
    char pid[24] = "";
    int fd = openat(spool.dir_fd, kLockName, O_RDONLY | O_CLOEXEC);
    ssize_t n = fd < 0 ? 0 : pread(fd, pid, sizeof pid - 1, 0);
    if (fd >= 0) close(fd);
    pid[std::max<ssize_t>(n, 0)] = '\0';
    pid[strcspn(pid, "\n")] = '\0';
    *error = "Spool " + spool.options.dir + " is in use by process " + (*pid ? pid : "unknown");
    return false;
  }
  name_holder(spool);  // a courtesy: a full disk must not stop the open
  return true;
}

// Opens the ledger, cutting a damaged tail off, or starts one.
int open_ledger(Spool& spool) {
  spool.ledger_fd =
      openat(spool.dir_fd, kLedgerName, O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (spool.ledger_fd < 0) return fail(spool, kLedgerName);
  unlinkat(spool.dir_fd, kLedgerTmpName, 0);  // a rewrite cut short
  uint64_t sound = read_ledger(spool, spool.ledger_fd);
  spool.ledger_watermark = spool.watermark;
  struct stat st;
  if (fstat(spool.ledger_fd, &st) != 0) return fail(spool, kLedgerName);
  spool.ledger_found = static_cast<uint64_t>(st.st_size);
  spool.ledger_damaged = spool.ledger_found > sound;
  if (sound == 0) return rewrite_ledger(spool);
  if (static_cast<uint64_t>(st.st_size) > sound &&
      ftruncate(spool.ledger_fd, static_cast<off_t>(sound)) != 0) {
    return fail(spool, kLedgerName);
  }
  spool.ledger_bytes = sound;
  reserve_ledger(spool);
  return kSpoolOk;
}

// Reads a segment's header. When it is damaged or names another number, the file's first sound
// record says where it belongs, so that a stray file cannot claim the numbers of real segments.
// False when the file holds no sound record: it is no segment (or a read failed: `failed`).
bool identify_segment(const Spool& spool, const char* name, Segment* segment, bool* failed) {
  FileReader in;
  in.reset(openat(spool.dir_fd, name, O_RDONLY | O_CLOEXEC), 0);
  *failed = in.fd < 0;
  if (in.fd < 0) return false;
  if (in.ensure(kFileHeaderBytes, failed) && file_header_ok(in.at(), kSegmentMagic) &&
      get64(in.at() + 8) == segment->name_seq) {
    segment->header_ok = true;
    return true;
  }
  in.skip(std::min(in.available(), kFileHeaderBytes));
  while (!*failed && in.ensure(kRecordHeaderBytes, failed)) {
    if (sound_record(in, 1, kMaxSeq, segment->bytes, failed)) {
      segment->first_seq = get64(in.at() + 8);
      return true;
    }
    in.skip(1);
  }
  return false;
}

// Lists the segment files, ascending by their first record. A file with a segment's name and
// no record is left alone, unless it is shorter than a header: a segment begun just before a
// kill, deleted.
int list_segments(Spool& spool) {
  int fd = dup(spool.dir_fd);
  DIR* dir = fd < 0 ? nullptr : fdopendir(fd);
  if (dir == nullptr) return fail(spool, ".");
  while (dirent* entry = readdir(dir)) {
    uint64_t first = 0;
    struct stat st;
    if (!parse_segment_name(entry->d_name, &first) || first == 0) continue;
    if (fstatat(spool.dir_fd, entry->d_name, &st, 0) != 0 || !S_ISREG(st.st_mode)) continue;
    Segment segment{first, static_cast<uint64_t>(st.st_size), first, false};
    bool failed = false;
    if (identify_segment(spool, entry->d_name, &segment, &failed)) {
      spool.segments.push_back(segment);
    } else if (failed) {
      std::string name = entry->d_name;
      closedir(dir);
      return fail(spool, name);
    } else if (segment.bytes < kFileHeaderBytes && unlinkat(spool.dir_fd, entry->d_name, 0) == 0) {
      spool.dir_dirty = true;
    }
  }
  closedir(dir);
  // A copy of a segment under another name is read once: the one with a sound header wins.
  std::sort(spool.segments.begin(), spool.segments.end(), [](const Segment& a, const Segment& b) {
    return a.first_seq != b.first_seq ? a.first_seq < b.first_seq : a.header_ok > b.header_ok;
  });
  auto same = [](const Segment& a, const Segment& b) { return a.first_seq == b.first_seq; };
  spool.segments.erase(std::unique(spool.segments.begin(), spool.segments.end(), same),
                       spool.segments.end());
  for (const Segment& segment : spool.segments) spool.segment_bytes += segment.bytes;
  return kSpoolOk;
}

// Walks the last segment to the end of its last sound record and cuts off what follows.
int recover_last_segment(Spool& spool, SpoolRecovery* recovery) {
  Segment& last = spool.segments.back();
  std::string name = segment_name(last);
  // A listed segment holds a header's room at least (a damaged header is no reason to cut).
  FileReader in;
  in.reset(openat(spool.dir_fd, name.c_str(), O_RDWR | O_CLOEXEC), kFileHeaderBytes);
  if (in.fd < 0) return fail(spool, name);
  bool failed = false;
  uint64_t next = last.first_seq;
  uint64_t sound_end = in.offset;
  while (!failed && in.ensure(kRecordHeaderBytes, &failed)) {
    if (!sound_record(in, next, next + (uint64_t{1} << 32), last.bytes, &failed)) {
      in.skip(1);
      continue;
    }
    next = get64(in.at() + 8) + 1;  // damage before it is counted when it is read
    in.skip(kRecordHeaderBytes + get32(in.at()));
    sound_end = in.offset;
  }
  if (failed) return fail(spool, name);
  if (sound_end < last.bytes) {
    recovery->cut_bytes = last.bytes - sound_end;
    recovery->damaged += 1;
    spool.damaged += 1;
    if (ftruncate(in.fd, static_cast<off_t>(sound_end)) != 0) return fail(spool, name);
    spool.segment_bytes -= last.bytes - sound_end;
    last.bytes = sound_end;
  }
  spool.next_seq = next;
  return kSpoolOk;
}

int recover(Spool& spool, SpoolRecovery* recovery) {
  if (open_ledger(spool) != kSpoolOk || list_segments(spool) != kSpoolOk) return kSpoolError;
  // What a killed run wrote may be in the page cache only: it is made durable before the first
  // segment is unlinked on its word.
  spool.ledger_dirty = true;
  spool.dir_dirty = true;
  // Segments are only written after the ledger: an empty or missing one beside them was lost.
  if (spool.ledger_found == 0 && !spool.segments.empty()) spool.ledger_damaged = true;
  if (!spool.segments.empty() && recover_last_segment(spool, recovery) != kSpoolOk) {
    return kSpoolError;
  }
  // Numbers never go back, even when the ledger knows of more than the segments hold.
  spool.next_seq = std::max(spool.next_seq, spool.watermark + 1);
  if (!spool.released.empty()) {
    spool.next_seq = std::max(spool.next_seq, *spool.released.rbegin() + 1);
  }
  spool.flushed_seq = spool.next_seq;
  spool.released.erase(spool.released.begin(), spool.released.upper_bound(spool.watermark));
  if (delete_handed_over(spool, true) != kSpoolOk || sync_dir(spool) != kSpoolOk) {
    return kSpoolError;
  }
  // Nothing more goes into a segment whose header is damaged: the next record starts a new one.
  if (!spool.segments.empty() && spool.segments.back().header_ok) {
    std::string name = segment_name(spool.segments.back());
    spool.write_fd = openat(spool.dir_fd, name.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (spool.write_fd < 0) return fail(spool, name);
    spool.segment_dirty = true;  // a killed run's last writes may be in the page cache only
  }
  spool.cursor = first_waiting(spool);
  return kSpoolOk;
}

void report(const Spool& spool, SpoolRecovery* recovery) {
  recovery->records = spool.next_seq - spool.cursor;
  recovery->first_seq = recovery->records > 0 ? spool.cursor : 0;
  recovery->last_seq = recovery->records > 0 ? spool.next_seq - 1 : 0;
  recovery->clientid = spool.clientid;
  recovery->ledger_damaged = spool.ledger_damaged;
  recovery->released.assign(spool.released.begin(), spool.released.end());
}

// ---- The file of taken bytes ----------------------------------------------------------------

int taken_flags(const Spool& spool) {
  // Under "always" each take is durable in the call that moves the bytes.
  return O_RDWR | O_CLOEXEC | (spool.options.sync_seconds == 0 ? O_DSYNC : 0);
}

// Reads what an earlier run took: its header's first sequence number and the bytes after it. A
// file too large or with a damaged header is reported and left for spool_taken_restart to
// replace.
int read_taken(Spool& spool, SpoolRecovery* recovery) {
  spool.taken_fd = openat(spool.dir_fd, kTakenName, taken_flags(spool));
  if (spool.taken_fd < 0) return errno == ENOENT ? kSpoolOk : fail(spool, kTakenName);
  struct stat st;
  if (fstat(spool.taken_fd, &st) != 0) return fail(spool, kTakenName);
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  // It starts again at the first whole record past its bound: beyond one more record it is not
  // what this program wrote.
  const uint64_t most = kFileHeaderBytes + kMostTakenBytes + 2 * spool.options.max_record;
  if (size <= kFileHeaderBytes || size > most) {
    recovery->taken_damaged = size > kFileHeaderBytes;
    return kSpoolOk;
  }
  std::string bytes(size, '\0');
  size_t got = 0;
  while (got < size) {
    ssize_t n = pread(spool.taken_fd, &bytes[got], size - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(spool, kTakenName);
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  const auto* header = reinterpret_cast<const unsigned char*>(bytes.data());
  if (got < kFileHeaderBytes || !file_header_ok(header, kTakenMagic)) {
    recovery->taken_damaged = true;
    return kSpoolOk;
  }
  recovery->taken_first_seq = get64(header + 8);
  recovery->taken = bytes.substr(kFileHeaderBytes, got - kFileHeaderBytes);
  return kSpoolOk;
}

// Every record the file of taken bytes holds is in a segment: it starts again from the next
// one. Cut first, then the new header, so that a kill in between leaves a header with nothing
// after it.
int cut_taken(Spool& spool) {
  unsigned char header[kFileHeaderBytes];
  encode_file_header(header, kTakenMagic, spool.next_seq);
  bool ok = ftruncate(spool.taken_fd, kFileHeaderBytes) == 0 &&
            (spool.options.sync_seconds != 0 || fdatasync(spool.taken_fd) == 0) &&
            pwrite(spool.taken_fd, header, sizeof header, 0) == kFileHeaderBytes &&
            lseek(spool.taken_fd, kFileHeaderBytes, SEEK_SET) >= 0;
  return ok ? kSpoolOk : fail(spool, kTakenName);
}

}  // namespace

int spool_taken_restart(Spool& spool, std::string_view carried) {
  // Replaced whole by a rename: a kill at any point leaves either file, each consistent.
  unsigned char header[kFileHeaderBytes];
  encode_file_header(header, kTakenMagic, spool.next_seq);
  int fd = openat(spool.dir_fd, kTakenTmpName, taken_flags(spool) | O_CREAT | O_TRUNC, 0600);
  size_t written = 0;
  bool ok = fd >= 0 && write_all(fd, header, sizeof header, &written) &&
            write_all(fd, reinterpret_cast<const unsigned char*>(carried.data()), carried.size(),
                      &written);
  if (ok && spool.options.sync_seconds != 0) spool.taken_dirty = true;
  if (!ok || renameat(spool.dir_fd, kTakenTmpName, spool.dir_fd, kTakenName) != 0) {
    if (fd >= 0) close(fd);
    return errno == ENOSPC ? kSpoolFull : fail(spool, kTakenName);
  }
  if (spool.taken_fd >= 0) close(spool.taken_fd);
  spool.taken_fd = fd;
  spool.dir_dirty = true;
  return spool.options.sync_seconds == 0 ? sync_dir(spool) : kSpoolOk;
}

int spool_taken_fd(const Spool& spool) { return spool.taken_fd; }

int spool_taken_done(Spool& spool, bool at_boundary) {
  if (spool.options.sync_seconds != 0) spool.taken_dirty = true;
  off_t end = lseek(spool.taken_fd, 0, SEEK_CUR);
  if (!at_boundary || end < 0 || static_cast<uint64_t>(end) < kMostTakenBytes) return kSpoolOk;
  return cut_taken(spool);
}

SpoolPtr spool_open(const SpoolOptions& options, SpoolRecovery* recovery, std::string* error) {
  *recovery = SpoolRecovery();
  SpoolPtr spool(new Spool);
  Spool& s = *spool;
  s.options = options;
  s.segment_target = std::clamp(options.size_bytes / 8, kMinSegmentBytes, kMaxSegmentBytes);
  s.ledger_limit = ledger_room(options.size_bytes);
  if (mkdir(options.dir.c_str(), 0700) != 0 && errno != EEXIST) {
    *error = "Spool " + options.dir + ": " + strerror(errno);
    return nullptr;
  }
  s.dir_fd = open(options.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (s.dir_fd < 0) {
    *error = "Spool " + options.dir + ": " + strerror(errno);
    return nullptr;
  }
  if (!take_lock(s, error)) return nullptr;
  if (recover(s, recovery) != kSpoolOk) {
    *error = s.error;
    return nullptr;
  }
  report(s, recovery);
  if (read_taken(s, recovery) != kSpoolOk) {
    *error = s.error;
    return nullptr;
  }
  return spool;
}
