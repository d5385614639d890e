// Cutting a byte stream into records: at the delimiter, which stays in the record, or at the
// length limit.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>

/// Where the framer gets bytes. The real one waits in poll() on stdin and the broker socket.
struct ByteSource {
  virtual ~ByteSource() = default;
  /// Bytes read (> 0), 0 at end of input, -1 on a read error (errno set).
  virtual ssize_t read(unsigned char* buf, size_t len) = 0;
};

/// One record: a view into the reader's buffer, valid until the next read_record call.
struct Record {
  const unsigned char* data = nullptr;
  int len = 0;
};

/// Input buffer and framing position. Input is read in large chunks; records are cut out of the
/// buffer in place, and only an incomplete tail is ever moved.
struct RecordReader {
  std::unique_ptr<unsigned char[]> buffer;
  size_t capacity = 0;
  size_t begin = 0;    // first byte not yet handed out
  size_t end = 0;      // one past the last byte read
  size_t scanned = 0;  // bytes after `begin` already searched for the delimiter
  bool ended = false;  // the source reported end of input
  int error = 0;       // errno of a failed read, reported once the bytes before it are out
  char delimiter = '\n';
  size_t maxdatalen = 1;
};

/// Bytes read and not yet handed out as a record: the begun record, or records to come.
inline size_t reader_held(const RecordReader& reader) { return reader.end - reader.begin; }

/// Bytes asked of the source at a time, beyond room for one whole record.
constexpr size_t kReadChunkBytes = 64 * 1024;

/// Prepares `reader` for records of at most `maxdatalen` (>= 1) bytes. Returns false when the
/// buffer cannot be allocated.
bool init_reader(RecordReader* reader, char delimiter, int maxdatalen);

/// Puts `bytes` (fewer than maxdatalen) before anything the source gives: the begun record an
/// earlier run took. Call it once, before the first read_record.
void reader_prefill(RecordReader& reader, const unsigned char* bytes, size_t len);

/// Fills `record` with the next record: bytes up to and including the delimiter, or
/// `maxdatalen` bytes, or whatever is left at end of input. Reads from `source` only when no
/// whole record is buffered. Returns 1 for a record, 0 when the input has ended with nothing
/// left, -1 when a read failed (errno set) with nothing left before the failure. A source that
/// has nothing now fails with EAGAIN: read_record then returns -1 with errno EAGAIN, keeps
/// what it holds and may be called again.
int read_record(RecordReader& reader, ByteSource& source, Record* record);
