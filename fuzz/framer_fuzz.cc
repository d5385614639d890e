// Fuzz target for the framer: whatever sizes the reads come in, the records must be those of a
// plain byte-at-a-time model, and put back together they must give the input again.
//
// Input layout: delimiter, two bytes of maxdatalen, a failing-read byte, a count of read sizes,
// that many read sizes, then the bytes to frame.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "record_reader.h"

namespace {

// Serves `input` in reads whose sizes cycle through `sizes` (all at once when empty); fails
// with EIO once `fail_at` bytes are out, when that is within the input.
struct SplitSource : ByteSource {
  std::string input;
  std::vector<size_t> sizes;
  size_t fail_at;
  size_t pos = 0;
  size_t next = 0;
  SplitSource(std::string in, std::vector<size_t> s, size_t f)
      : input(std::move(in)), sizes(std::move(s)), fail_at(f) {}
  ssize_t read(unsigned char* buf, size_t len) override {
    if (len == 0) abort();  // the framer must always leave room to read into
    if (pos == fail_at) {
      errno = EIO;
      return -1;
    }
    if (pos == input.size()) return 0;
    size_t n = sizes.empty() ? input.size() : sizes[next++ % sizes.size()];
    n = std::min({n, len, input.size() - pos, fail_at - pos});
    input.copy(reinterpret_cast<char*>(buf), n, pos);
    pos += n;
    return static_cast<ssize_t>(n);
  }
};

// What framing gives: the records, and whether a failed read ended them.
struct Framing {
  std::vector<std::string> records;
  bool failed = false;
  bool operator==(const Framing& o) const { return records == o.records && failed == o.failed; }
};

// The records, cut one byte at a time.
Framing model(const std::string& input, char delimiter, size_t maxdatalen, size_t fail_at) {
  Framing out;
  std::string record;
  for (size_t i = 0; i < input.size() && i < fail_at; ++i) {
    record += input[i];
    if (input[i] == delimiter || record.size() == maxdatalen) {
      out.records.push_back(record);
      record.clear();
    }
  }
  if (!record.empty()) out.records.push_back(record);
  out.failed = fail_at <= input.size();
  return out;
}

Framing frame(const std::string& input, char delimiter, int maxdatalen, std::vector<size_t> sizes,
              size_t fail_at) {
  RecordReader reader;
  if (!init_reader(&reader, delimiter, maxdatalen)) abort();
  SplitSource source(input, std::move(sizes), fail_at);
  Framing out;
  Record record;
  int rc;
  while ((rc = read_record(reader, source, &record)) > 0) {
    if (record.len < 1 || record.len > maxdatalen) abort();
    out.records.emplace_back(reinterpret_cast<const char*>(record.data), record.len);
  }
  out.failed = rc < 0;
  if (out.failed && errno != EIO) abort();
  // Once over, the input stays over, the same way.
  if (read_record(reader, source, &record) != rc) abort();
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  char delimiter = static_cast<char>(data[0]);
  int maxdatalen = 1 + (data[1] | data[2] << 8);
  // An odd byte fails the read at a point within (or just past) the input.
  uint8_t fail = data[3];
  size_t count = data[4] % 16;
  if (size < 5 + count) return 0;
  std::vector<size_t> sizes;
  for (size_t i = 0; i < count; ++i) sizes.push_back(1 + data[5 + i]);
  std::string input(reinterpret_cast<const char*>(data) + 5 + count, size - 5 - count);
  size_t fail_at = fail % 2 == 1 ? (fail / 2) % (input.size() + 1) : std::string::npos;

  const Framing expected = model(input, delimiter, maxdatalen, fail_at);
  for (const std::vector<size_t>& split :
       {sizes, std::vector<size_t>{1}, std::vector<size_t>{}, std::vector<size_t>{7, 1, 4096}}) {
    Framing got = frame(input, delimiter, maxdatalen, split, fail_at);
    if (!(got == expected)) abort();
    std::string joined;
    for (const std::string& r : got.records) joined += r;
    if (joined != input.substr(0, fail_at)) abort();
  }
  return 0;
}
