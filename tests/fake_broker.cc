// A scripted MQTT broker for the misbehaving-broker tests: it decodes what the client sends,
// answers CONNECT with given bytes and every further packet as the test's handler says, and
// can send anything at any time, stop reading, or drop the connection.
#include "fake_broker.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string_view>

#include "test_support.h"

namespace {

constexpr int kPollMs = 20;  // how soon a request from the test is seen

// Reads the fields of one packet body, remembering whether any ran past its end.
struct BodyReader {
  const std::string& body;
  size_t pos = 0;
  bool ok = true;

  std::string take(size_t n) {
    if (n > body.size() - pos) {
      ok = false;
      n = body.size() - pos;
    }
    pos += n;
    return body.substr(pos - n, n);
  }
  uint16_t u16() {
    std::string two = take(2);
    return two.size() == 2 ? static_cast<uint16_t>(static_cast<uint8_t>(two[0]) << 8 |
                                                   static_cast<uint8_t>(two[1]))
                           : 0;
  }
  size_t varint() {
    size_t value = 0;
    for (int i = 0; i < 4; ++i) {
      std::string one = take(1);
      if (one.empty()) return 0;
      value |= static_cast<size_t>(one[0] & 0x7f) << (7 * i);
      if ((one[0] & 0x80) == 0) return value;
    }
    ok = false;
    return 0;
  }
};

// The whole length of the first packet in `in`: 0 while it is incomplete, -1 when its
// remaining length is malformed.
long frame_length(std::string_view in) {
  size_t remaining = 0;
  for (size_t i = 1; i < in.size(); ++i) {
    remaining |= static_cast<size_t>(in[i] & 0x7f) << (7 * (i - 1));
    if ((in[i] & 0x80) == 0) {
      size_t total = i + 1 + remaining;
      return in.size() >= total ? static_cast<long>(total) : 0;
    }
    if (i == 4) return -1;
  }
  return 0;
}

// Fills in the fields of `p` from its type, flags and body; false when the body is malformed.
bool decode(Packet* p) {
  BodyReader r{p->body};
  switch (p->type) {
    case kConnect:
      r.take(r.u16());  // "MQTT"
      p->protocol_level = static_cast<uint8_t>(r.take(1)[0]);
      break;
    case kPublish:
      p->topic = r.take(r.u16());
      if (p->qos() > 0) p->packet_id = r.u16();
      if (p->protocol_level == 5) p->properties = r.take(r.varint());
      if (r.ok) p->payload = r.take(p->body.size() - r.pos);
      break;
    case kPuback:
    case kPubrec:
    case kPubrel:
    case kPubcomp:
    case kSubscribe:
    case kUnsubscribe:
      p->packet_id = r.u16();
      break;
  }
  return r.ok;
}

// Writes all of `data` to the non-blocking `fd` within `timeout_ms`.
bool write_within(int fd, const std::string& data, int timeout_ms) {
  long long deadline = monotonic_ms() + timeout_ms;
  for (size_t done = 0; done < data.size();) {
    ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    long long left = deadline - monotonic_ms();
    if (left <= 0) return false;
    pollfd p{fd, POLLOUT, 0};
    poll(&p, 1, static_cast<int>(left));
  }
  return true;
}

}  // namespace

std::string bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out += static_cast<char>(v);
  return out;
}

std::string varint(size_t n) {
  std::string out;
  do {
    out += static_cast<char>((n & 0x7f) | (n > 0x7f ? 0x80 : 0));
    n >>= 7;
  } while (n > 0);
  return out;
}

std::string mqtt_packet(int first_byte, const std::string& body) {
  return static_cast<char>(first_byte) + varint(body.size()) + body;
}

std::string puback(uint16_t id) { return bytes({0x40, 2, id >> 8, id & 0xff}); }
std::string pubrec(uint16_t id) { return bytes({0x50, 2, id >> 8, id & 0xff}); }
std::string pubrel(uint16_t id) { return bytes({0x62, 2, id >> 8, id & 0xff}); }
std::string pubcomp(uint16_t id) { return bytes({0x70, 2, id >> 8, id & 0xff}); }

std::string broker_answer(const Packet& packet) {
  if (packet.type == kPublish && packet.qos() == 1) return puback(packet.packet_id);
  if (packet.type == kPublish && packet.qos() == 2) return pubrec(packet.packet_id);
  if (packet.type == kPubrel) return pubcomp(packet.packet_id);
  if (packet.type == kPingreq) return bytes({0xd0, 0x00});
  return "";
}

FakeBroker::FakeBroker(FakeBrokerOptions options)
    : options_(std::move(options)), reading_(options_.read) {
  int buffer = options_.receive_buffer > 0 ? options_.receive_buffer : 0;
  if (buffer == 0 && options_.pause_ms > 0) buffer = 8192;
  listener_ = listen_on_loopback(&port_, buffer);
  if (options_.accept) thread_ = std::thread([this] { serve(); });
}

FakeBroker::~FakeBroker() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  close(listener_);
}

int FakeBroker::connections() {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_;
}

bool FakeBroker::wait_for_connections(int count, int timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [&] { return connections_ >= count; });
}

std::vector<Packet> FakeBroker::packets() {
  std::lock_guard<std::mutex> lock(mutex_);
  return packets_;
}

std::vector<Packet> FakeBroker::wait_for(size_t count, int timeout_ms, int type) {
  std::vector<Packet> found;
  auto enough = [&] {
    found.clear();
    for (const Packet& p : packets_) {
      if (type == 0 || p.type == type) found.push_back(p);
    }
    return found.size() >= count;
  };
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), enough);
  return found;
}

bool FakeBroker::send(const std::string& bytes, int timeout_ms) {
  std::lock_guard<std::mutex> write_lock(write_mutex_);
  int fd;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    fd = fd_;
  }
  return fd >= 0 && write_within(fd, bytes, timeout_ms);
}

void FakeBroker::close_connection(bool reset) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (fd_ < 0) return;
  close_requested_ = true;
  close_with_reset_ = reset;
  const int closed = closed_;
  if (!changed_.wait_for(lock, std::chrono::seconds(5), [&] { return closed_ > closed; })) {
    ADD_FAILURE() << "the fake broker did not close its connection";
  }
}

void FakeBroker::set_connack(const std::string& connack) {
  std::lock_guard<std::mutex> lock(mutex_);
  options_.connack = connack;
}

bool FakeBroker::close_requested() {
  std::lock_guard<std::mutex> lock(mutex_);
  return close_requested_;
}

void FakeBroker::serve() {
  while (!stopping_) {
    pollfd p{listener_, POLLIN, 0};
    if (poll(&p, 1, kPollMs) <= 0) continue;
    int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) continue;
    int connection;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      connection = connections_++;
      fd_ = fd;
      changed_.notify_all();
    }
    converse(fd, connection);
    std::lock_guard<std::mutex> write_lock(write_mutex_);
    std::lock_guard<std::mutex> lock(mutex_);
    if (close_requested_ && close_with_reset_) {
      close_with_reset(fd);
    } else {
      close(fd);
    }
    fd_ = -1;
    close_requested_ = false;
    ++closed_;
    changed_.notify_all();
  }
}

// Reads and answers packets until the client leaves, the test closes the connection, a
// packet is malformed or the broker ends.
void FakeBroker::converse(int fd, int connection) {
  std::string in;
  int level = 4;
  while (!stopping_ && !close_requested()) {
    if (!reading_) {
      sleep_ms(kPollMs);
      continue;
    }
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kPollMs) <= 0) continue;
    char buf[16384];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) return;
    in.append(buf, static_cast<size_t>(n));
    if (!take_packets(fd, connection, &in, &level)) return;
    if (options_.pause_ms > 0) sleep_ms(options_.pause_ms);
  }
}

// Decodes, keeps and answers each whole packet at the front of `in`; false when one is
// malformed or its answer cannot be written.
bool FakeBroker::take_packets(int fd, int connection, std::string* in, int* level) {
  // What is taken leaves `in` once, at the end: erasing each packet as it goes moved the rest
  // of a read each time, which made a burst of small packets slow to answer.
  size_t taken = 0;
  struct Erase {
    std::string* in;
    size_t& taken;
    ~Erase() { in->erase(0, taken); }
  } erase{in, taken};
  for (long len; (len = frame_length(std::string_view(*in).substr(taken))) != 0;) {
    if (len < 0) {
      ADD_FAILURE() << "the client sent a malformed remaining length";
      return false;
    }
    const char* at = in->data() + taken;
    size_t header = 2;
    while (static_cast<uint8_t>(at[header - 1]) & 0x80) ++header;
    Packet packet;
    packet.type = static_cast<uint8_t>(at[0]) >> 4;
    packet.flags = at[0] & 0x0f;
    packet.body.assign(at + header, static_cast<size_t>(len) - header);
    packet.connection = connection;
    packet.protocol_level = *level;
    taken += static_cast<size_t>(len);
    if (!decode(&packet)) {
      ADD_FAILURE() << "the client sent a malformed packet of type " << packet.type;
      return false;
    }
    *level = packet.protocol_level;
    std::string answer;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      packets_.push_back(packet);
      changed_.notify_all();
      if (packet.type == kConnect) answer = options_.connack;
    }
    if (packet.type != kConnect && options_.handler) answer = options_.handler(packet);
    std::lock_guard<std::mutex> write_lock(write_mutex_);
    if (!answer.empty() && !write_within(fd, answer, 5000)) {
      ADD_FAILURE() << "the fake broker could not answer a packet of type " << packet.type;
      return false;
    }
  }
  return true;
}
