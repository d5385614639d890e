// Framing: records cut at the delimiter or the length limit, the same whatever the read sizes.
#include "record_reader.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

namespace {

// Serves the given bytes in reads of at most `chunk` bytes, then end of input, or an error
// after `fail_after` bytes when that is set.
struct ScriptedSource : ByteSource {
  std::string bytes;
  size_t chunk;
  size_t fail_after;
  size_t pos = 0;
  bool idle = false;  // nothing now (EAGAIN) before every chunk
  bool was_idle = false;
  ScriptedSource(std::string b, size_t c, size_t f = std::string::npos)
      : bytes(std::move(b)), chunk(c), fail_after(f) {}
  ssize_t read(unsigned char* buf, size_t len) override {
    size_t limit = std::min(bytes.size(), fail_after);
    if (pos >= limit) {
      if (limit < bytes.size() || fail_after == bytes.size()) {
        errno = EIO;
        return -1;
      }
      return 0;
    }
    if (idle && !was_idle) {
      was_idle = true;
      errno = EAGAIN;
      return -1;
    }
    was_idle = false;
    size_t n = std::min({len, chunk, limit - pos});
    bytes.copy(reinterpret_cast<char*>(buf), n, pos);
    pos += n;
    return static_cast<ssize_t>(n);
  }
};

// All records of `input`; a trailing "<error>" marks a read error. With `idle` the source has
// nothing before every chunk.
std::vector<std::string> frame(const std::string& input, char delimiter, int maxdatalen,
                               size_t chunk, size_t fail_after = std::string::npos,
                               bool idle = false) {
  RecordReader reader;
  EXPECT_TRUE(init_reader(&reader, delimiter, maxdatalen));
  ScriptedSource source(input, chunk, fail_after);
  source.idle = idle;
  std::vector<std::string> records;
  Record record;
  for (size_t idle_reads = 0;;) {
    int rc = read_record(reader, source, &record);
    // the source is idle once before each chunk: more often, the framer is stuck
    if (rc < 0 && errno == EAGAIN && ++idle_reads <= input.size() + 1) continue;
    if (rc == 0) break;
    if (rc < 0) {
      records.push_back("<error>");
      break;
    }
    records.emplace_back(reinterpret_cast<const char*>(record.data), record.len);
  }
  return records;
}

const std::vector<size_t> kChunkings = {1, 2, 3, 7, 100, 65536, 1 << 20};

TEST(Framer, CutsAtDelimiterOrLength) {
  struct Case {
    std::string input;
    char delimiter;
    int maxdatalen;
    std::vector<std::string> records;
  };
  const std::string line99(99, 'a'), line100(100, 'b');
  const std::vector<Case> cases = {
      {"ab\ncd\n", '\n', 100, {"ab\n", "cd\n"}},
      {"\n", '\n', 100, {"\n"}},
      {"abcdefg\n", '\n', 4, {"abcd", "efg\n"}},
      {"abc\nde", '\n', 4, {"abc\n", "de"}},  // delimiter on the boundary; tail at the end
      {"xyz", '\n', 1, {"x", "y", "z"}},
      {line99 + "\n", '\n', 100, {line99 + "\n"}},
      {line100 + "\n", '\n', 100, {line100, "\n"}},
      {"a,b,c\nd,", ',', 100, {"a,", "b,", "c\nd,"}},
      {std::string("a\0b\0", 4), '\0', 100, {std::string("a\0", 2), std::string("b\0", 2)}},
      {"\xff\xfe\n\x80", '\n', 2, {"\xff\xfe", "\n", "\x80"}},
      {"\xff\xff\xff", '\xff', 100, {"\xff", "\xff", "\xff"}},
      {"", '\n', 100, {}},
      {"no delimiter at all", '\n', 100, {"no delimiter at all"}},
  };
  for (const Case& c : cases) {
    for (size_t chunk : kChunkings) {
      EXPECT_EQ(frame(c.input, c.delimiter, c.maxdatalen, chunk), c.records)
          << "input '" << c.input << "' chunk " << chunk;
    }
  }
}

TEST(Framer, LargeInputGivesTheSameRecordsForEveryChunking) {
  std::string input;
  for (int i = 0; i < 20000; ++i)
    input += std::string(i % 251, static_cast<char>('a' + i % 26)) + "\n";
  std::vector<std::string> expected;
  size_t start = 0;
  while (start < input.size()) {
    size_t nl = input.find('\n', start);
    size_t len = std::min<size_t>(nl - start + 1, 100);
    expected.push_back(input.substr(start, len));
    start += len;
  }
  for (size_t chunk : {size_t{1}, size_t{4093}, size_t{65536}, size_t{1} << 22}) {
    EXPECT_EQ(frame(input, '\n', 100, chunk), expected) << "chunk " << chunk;
    EXPECT_EQ(frame(input, '\n', 100, chunk, std::string::npos, true), expected)
        << "chunk " << chunk << ", idle between chunks";
  }
}

TEST(Framer, RecordsLargerThanOneReadAreWhole) {
  std::string big(3 * 1000 * 1000, 'q');
  std::vector<std::string> records = frame(big + "\n" + big, '\n', 4 * 1000 * 1000, 65536);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0], big + "\n");
  EXPECT_EQ(records[1], big);
}

TEST(Framer, ReadErrorComesAfterTheBytesBeforeIt) {
  EXPECT_EQ(frame("ab\ncd", '\n', 100, 2, 5), (std::vector<std::string>{"ab\n", "cd", "<error>"}));
  EXPECT_EQ(frame("ab\n", '\n', 100, 64, 3), (std::vector<std::string>{"ab\n", "<error>"}));
  EXPECT_EQ(frame("", '\n', 100, 64, 0), (std::vector<std::string>{"<error>"}));
}

}  // namespace
