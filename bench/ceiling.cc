// Reference publisher: one plain TCP connection, every PUBLISH encoded up front and written in
// 64 KiB chunks: the reference for what the broker takes from one publisher.
// Reads stdin whole, cuts it like the publisher under test, and sends one message per record.
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr size_t kChunk = 64 * 1024;

void put_length(std::string& out, size_t n) {
  do {
    unsigned char b = n % 128;
    n /= 128;
    if (n > 0) b |= 0x80;
    out += static_cast<char>(b);
  } while (n > 0);
}

void put_u16(std::string& out, size_t n) {
  out += static_cast<char>((n >> 8) & 0xff);
  out += static_cast<char>(n & 0xff);
}

// Closes the socket on every way out of main.
struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

int connect_tcp(const char* host, const char* port) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (getaddrinfo(host, port, &hints, &res) != 0) return -1;
  int fd = -1;
  for (addrinfo* a = res; a; a = a->ai_next) {
    fd = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (fd < 0) continue;
    if (connect(fd, a->ai_addr, a->ai_addrlen) == 0) break;
    close(fd);
    fd = -1;
  }
  freeaddrinfo(res);
  return fd;
}

bool write_all(int fd, const std::string& s) {
  for (size_t off = 0; off < s.size();) {
    ssize_t n = write(fd, s.data() + off, s.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

// Length of the whole packet at the head of `p` (n bytes), or 0 while it is incomplete.
size_t packet_size(const unsigned char* p, size_t n) {
  size_t len = 0, mul = 1;
  for (size_t i = 1; i < n && i <= 4; ++i) {
    len += (p[i] & 0x7f) * mul;
    mul *= 128;
    if (!(p[i] & 0x80)) return n >= 1 + i + len ? 1 + i + len : 0;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr,
                 "usage: bench_ceiling HOST PORT TOPIC QOS [--delimiter C] [--maxdatalen N] "
                 "[--window N] < input\n");
    return 2;
  }
  const char* host = argv[1];
  const char* port = argv[2];
  std::string topic = argv[3];
  int qos = std::atoi(argv[4]);
  char delimiter = '\n';
  size_t maxdatalen = 100, window = 10000;
  for (int a = 5; a + 1 < argc; a += 2) {
    if (std::strcmp(argv[a], "--delimiter") == 0) delimiter = argv[a + 1][0];
    if (std::strcmp(argv[a], "--maxdatalen") == 0) maxdatalen = std::strtoull(argv[a + 1], 0, 10);
    if (std::strcmp(argv[a], "--window") == 0) window = std::strtoull(argv[a + 1], 0, 10);
  }
  // Packet identifiers run 1..65535; a smaller window never reuses one still in flight.
  window = std::clamp<size_t>(window, 1, 65535);
  if (qos < 0 || qos > 2 || maxdatalen < 1) return 2;

  std::string input;
  char buf[kChunk];
  for (;;) {
    ssize_t n = read(0, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return 1;
    if (n == 0) break;
    input.append(buf, static_cast<size_t>(n));
  }

  // All PUBLISH packets back to back; starts[k] is where packet k begins.
  std::string packets;
  std::vector<size_t> starts;
  packets.reserve(input.size() + input.size() / 8 + 64);
  for (size_t pos = 0; pos < input.size();) {
    size_t limit = std::min(input.size() - pos, maxdatalen);
    const void* hit = std::memchr(input.data() + pos, delimiter, limit);
    size_t len =
        hit ? static_cast<size_t>(static_cast<const char*>(hit) - input.data()) - pos + 1 : limit;
    starts.push_back(packets.size());
    packets += static_cast<char>(0x30 | (qos << 1));
    put_length(packets, 2 + topic.size() + (qos > 0 ? 2 : 0) + len);
    put_u16(packets, topic.size());
    packets += topic;
    if (qos > 0) put_u16(packets, starts.size() % 65535 + 1);
    packets.append(input, pos, len);
    pos += len;
  }
  const size_t records = starts.size();
  starts.push_back(packets.size());

  Fd sock{connect_tcp(host, port)};
  if (sock.fd < 0) {
    std::fprintf(stderr, "ceiling: cannot connect to %s:%s\n", host, port);
    return 1;
  }
  int one = 1;
  setsockopt(sock.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  std::string connect_packet;
  std::string id = "bench-ceiling-" + std::to_string(getpid());
  connect_packet += '\x10';
  put_length(connect_packet, 10 + 2 + id.size());
  connect_packet += std::string("\0\4MQTT\4\2\0\x3c", 10);  // 3.1.1, clean session, 60 s
  put_u16(connect_packet, id.size());
  connect_packet += id;
  unsigned char connack[4];
  if (!write_all(sock.fd, connect_packet) || recv(sock.fd, connack, 4, MSG_WAITALL) != 4 ||
      connack[0] != 0x20 || connack[3] != 0) {
    std::fprintf(stderr, "ceiling: connection refused\n");
    return 1;
  }

  size_t sent = 0;       // bytes of `packets` written
  size_t chunk_end = 0;  // end of the chunk being written; always a packet boundary
  size_t next_pkt = 0;   // first packet not yet in a chunk
  size_t done = 0;       // packets acknowledged (QoS 1) or completed (QoS 2)
  std::string control;   // PUBRELs waiting to go out between chunks
  std::vector<unsigned char> in(kChunk);
  size_t in_len = 0;
  while (qos == 0 ? sent < packets.size() : done < records) {
    if (sent == chunk_end && !control.empty()) {
      if (!write_all(sock.fd, control)) {
        std::perror("ceiling: write");
        return 1;
      }
      control.clear();
    }
    // Once the window is full, wait until half of it is free: refilling it one packet per
    // acknowledgement would cost a write per record.
    if (sent == chunk_end && (qos == 0 || next_pkt - done <= window / 2)) {
      size_t last = qos == 0 ? records : std::min(records, done + window);
      // Whole packets up to 64 KiB (at least one, however large).
      size_t k = next_pkt;
      while (k < last && (k == next_pkt || starts[k + 1] - starts[next_pkt] <= kChunk)) ++k;
      next_pkt = k;
      chunk_end = starts[k];
    }
    if (sent == chunk_end && qos > 0) {
      // Only waiting for acknowledgements: let a batch of them gather instead of waking for
      // each one, so that this process leaves the cores to the broker.
      timespec pause{0, 200000};
      nanosleep(&pause, nullptr);
    }
    pollfd pfd{sock.fd,
               static_cast<short>((qos > 0 ? POLLIN : 0) | (sent < chunk_end ? POLLOUT : 0)), 0};
    if (poll(&pfd, 1, 10000) <= 0) {
      std::fprintf(stderr, "ceiling: stalled after %zu of %zu records\n", done, records);
      return 1;
    }
    if (pfd.revents & POLLOUT) {
      ssize_t n = send(sock.fd, packets.data() + sent, chunk_end - sent, MSG_DONTWAIT);
      if (n < 0 && errno != EAGAIN && errno != EINTR) {
        std::perror("ceiling: send");
        return 1;
      }
      if (n > 0) sent += static_cast<size_t>(n);
    }
    if (pfd.revents & (POLLIN | POLLHUP | POLLERR)) {
      ssize_t n = recv(sock.fd, in.data() + in_len, in.size() - in_len, MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        std::fprintf(stderr, "ceiling: connection lost after %zu of %zu records\n", done, records);
        return 1;
      }
      if (n > 0) in_len += static_cast<size_t>(n);
      size_t off = 0;
      for (size_t len; (len = packet_size(in.data() + off, in_len - off)) > 0; off += len) {
        unsigned char type = in[off] >> 4;
        if (type == 4 || type == 7) ++done;  // PUBACK, PUBCOMP
        if (type == 5) {                     // PUBREC: answer with PUBREL for the same id
          control += '\x62';
          control += '\x02';
          control.append(reinterpret_cast<const char*>(in.data() + off + len - 2), 2);
        }
      }
      std::memmove(in.data(), in.data() + off, in_len - off);
      in_len -= off;
    }
  }
  // DISCONNECT, then wait for the broker to close so that it has taken every byte.
  if (!write_all(sock.fd, std::string("\xe0\x00", 2))) return 1;
  shutdown(sock.fd, SHUT_WR);
  pollfd pfd{sock.fd, POLLIN, 0};
  while (poll(&pfd, 1, 2000) > 0 && read(sock.fd, buf, sizeof buf) > 0) {
  }
  std::printf("ceiling: %zu records sent\n", records);
  return 0;
}
