// The output queue over a connection layer.
#include "transport.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <memory>
#include <string>

#include "mqtt_packets.h"

namespace {

// A layer that takes everything and, like a WebSocket frame half written, keeps the last `held`
// bytes it took until asked to write them.
struct HoldingLayer : Layer {
  size_t held = 0;
  ssize_t send(const unsigned char*, size_t len) override {
    if (len == 0) held = 0;
    return static_cast<ssize_t>(len);
  }
  ssize_t recv(unsigned char*, size_t) override { return 0; }
  bool pending() const override { return false; }
  short events() const override { return held > 0 ? POLLOUT : 0; }
  int fd() const override { return -1; }
  size_t unwritten() const override { return held; }
};

TEST(Transport, BytesALayerHoldsGoOutWithNothingQueued) {
  Transport t;
  auto layer = std::make_unique<HoldingLayer>();
  HoldingLayer* holding = layer.get();
  transport_open(t, std::move(layer), "");
  std::string& out = transport_append(t, 2);
  out.append({static_cast<char>(0xC0), 0});  // a PINGREQ
  transport_flush(t);
  EXPECT_EQ(transport_unwritten(t), 0u);
  holding->held = 7;
  transport_flush(t);
  EXPECT_EQ(holding->held, 0u) << "the layer's own bytes were never asked for";
  EXPECT_FALSE(t.broken);
}

// A connection lost while the layer still holds the end of what it took: the record cut in
// the middle is lost, the one wholly held goes out again, and only the first went out.
TEST(Transport, BytesALayerHoldsAtALossWereNotWritten) {
  Transport t;
  auto layer = std::make_unique<HoldingLayer>();
  HoldingLayer* holding = layer.get();
  transport_open(t, std::move(layer), "");
  PublishHeader header;
  header.topic = "t";
  std::string& out = transport_append(t, 64);
  for (const char* payload : {"one", "two", "six"}) encode_publish(out, header, payload, 3);
  const std::string third = out.substr(2 * out.size() / 3);
  holding->held = third.size() + 2;
  EXPECT_EQ(transport_flush(t).qos0_publishes, 1u);
  EXPECT_TRUE(transport_writing(t)) << "a DISCONNECT now would go before the held bytes";
  unsigned char cut = 0;
  EXPECT_EQ(transport_take_unsent(t, &cut), third);
  EXPECT_EQ(cut, kPublishType);
}

}  // namespace
