// The output queue over a connection layer.
#include "transport.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <memory>
#include <string>

namespace {

// A layer that takes everything and, like a WebSocket frame half written, keeps `held` bytes
// of its own until asked to write them.
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

}  // namespace
