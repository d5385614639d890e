// Record framing over a chunked byte source.
#include "record_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

bool init_reader(RecordReader* reader, char delimiter, int maxdatalen) {
  *reader = RecordReader();
  reader->delimiter = delimiter;
  reader->maxdatalen = static_cast<size_t>(maxdatalen);
  reader->capacity = reader->maxdatalen + kReadChunkBytes;
  // Left uninitialised on purpose: pages are touched only as input arrives.
  reader->buffer.reset(new (std::nothrow) unsigned char[reader->capacity]);
  return reader->buffer != nullptr;
}

void reader_prefill(RecordReader& reader, const unsigned char* bytes, size_t len) {
  memcpy(reader.buffer.get(), bytes, len);
  reader.begin = reader.scanned = 0;
  reader.end = len;
}

namespace {

int take(RecordReader& reader, size_t len, Record* record) {
  record->data = reader.buffer.get() + reader.begin;
  record->len = static_cast<int>(len);
  reader.begin += len;
  reader.scanned = 0;
  return 1;
}

// Moves the incomplete tail to the front when the room after it is too small for a full read.
void make_room(RecordReader& reader) {
  if (reader.capacity - reader.end >= kReadChunkBytes || reader.begin == 0) return;
  size_t pending = reader.end - reader.begin;
  memmove(reader.buffer.get(), reader.buffer.get() + reader.begin, pending);
  reader.begin = 0;
  reader.end = pending;
}

}  // namespace

int read_record(RecordReader& reader, ByteSource& source, Record* record) {
  for (;;) {
    size_t pending = reader.end - reader.begin;
    size_t limit = std::min(pending, reader.maxdatalen);
    if (reader.scanned < limit) {
      const unsigned char* from = reader.buffer.get() + reader.begin;
      const void* hit = memchr(from + reader.scanned, static_cast<unsigned char>(reader.delimiter),
                               limit - reader.scanned);
      if (hit != nullptr) {
        return take(reader, static_cast<const unsigned char*>(hit) - from + 1, record);
      }
      reader.scanned = limit;
    }
    if (limit == reader.maxdatalen) return take(reader, limit, record);
    // Input is over: the incomplete record still goes out, then the end or the error.
    if (reader.ended || reader.error != 0) {
      if (pending > 0) return take(reader, pending, record);
      if (reader.ended) return 0;
      errno = reader.error;
      return -1;
    }
    make_room(reader);
    ssize_t got = source.read(reader.buffer.get() + reader.end, reader.capacity - reader.end);
    if (got > 0) {
      reader.end += static_cast<size_t>(got);
    } else if (got == 0) {
      reader.ended = true;
    } else if (errno == EAGAIN) {
      return -1;  // nothing now: the caller comes back
    } else {
      reader.error = errno != 0 ? errno : EIO;
    }
  }
}
