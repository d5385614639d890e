// Looking before taking: whatever the input is and however it arrives, a look takes nothing,
// and a take takes exactly the bytes asked for.
#include "input.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// A writer end and a reader end of the given kind; the reader is what linecast's stdin is.
struct Ends {
  int write = -1, read = -1;
  ~Ends() {
    if (write >= 0) close(write);
    if (read >= 0) close(read);
  }
};

void open_ends(InputKind kind, Ends* e) {
  int fds[2] = {-1, -1};
  if (kind == InputKind::kPipe) {
    ASSERT_EQ(pipe(fds), 0);
    e->read = fds[0], e->write = fds[1];
  } else if (kind == InputKind::kSocket) {
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    e->read = fds[0], e->write = fds[1];
  } else {
    FILE* f = tmpfile();
    ASSERT_NE(f, nullptr);
    e->read = dup(fileno(f));
    e->write = dup(fileno(f));
    fclose(f);
  }
}

std::string peek_all(PeekInput& in) {
  std::string got;
  unsigned char buf[4096];
  for (ssize_t n; (n = input_peek(in, buf, sizeof buf)) > 0;) got.append(buf, buf + n);
  return got;
}

TEST(Input, LooksWithoutTakingAndTakesExactlyWhatIsAsked) {
  const std::string input = "ab\ncd\nef";
  for (InputKind kind : {InputKind::kPipe, InputKind::kFile, InputKind::kSocket}) {
    for (size_t chunk : {1, 3, 7, 100}) {
      Ends e;
      open_ends(kind, &e);
      PeekInput in;
      input_open(&in, e.read);
      ASSERT_EQ(in.kind, kind);
      std::string seen;
      for (size_t at = 0; at < input.size(); at += chunk) {
        size_t len = std::min(chunk, input.size() - at);
        // a file is written behind the reader's offset, which stays at the start
        ssize_t put = kind == InputKind::kFile
                          ? pwrite(e.write, input.data() + at, len, static_cast<off_t>(at))
                          : write(e.write, input.data() + at, len);
        ASSERT_EQ(put, static_cast<ssize_t>(len));
        seen += peek_all(in);
      }
      EXPECT_EQ(seen, input) << "kind " << static_cast<int>(kind) << " chunk " << chunk;
      // The records before the begun one are taken; the begun one stays in the input.
      ASSERT_EQ(input_take(in, 6), 0);
      input_close(&in);
      if (kind == InputKind::kFile) {
        EXPECT_EQ(lseek(e.read, 0, SEEK_CUR), 6);
      } else {
        char rest[16];
        EXPECT_EQ(std::string(rest, read(e.read, rest, sizeof rest)), "ef");
      }
    }
  }
}

// A pipe readable with nothing new says so; with its writer gone it is at its end.
TEST(Input, PipeSaysNothingNewThenEnds) {
  Ends e;
  open_ends(InputKind::kPipe, &e);
  PeekInput in;
  input_open(&in, e.read);
  ASSERT_EQ(write(e.write, "ab", 2), 2);
  unsigned char buf[16];
  EXPECT_EQ(input_peek(in, buf, sizeof buf), 2);
  errno = 0;
  EXPECT_EQ(input_peek(in, buf, sizeof buf), -1);
  EXPECT_EQ(errno, EAGAIN);
  close(e.write);
  e.write = -1;
  EXPECT_EQ(input_peek(in, buf, sizeof buf), 0);
  input_close(&in);
}

}  // namespace
