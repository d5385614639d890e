// The client layer against a real broker.
#include "mqtt_client.h"

#include <gtest/gtest.h>

#include "broker_fixture.h"

namespace {

TEST(Topic, OnlyPublishableTopicsPass) {
  EXPECT_TRUE(topic_is_publishable("a/b/c"));
  EXPECT_TRUE(topic_is_publishable("/"));
  EXPECT_TRUE(topic_is_publishable("caf\xc3\xa9"));
  EXPECT_TRUE(topic_is_publishable(std::string(65535, 't').c_str()));
  EXPECT_FALSE(topic_is_publishable(""));
  EXPECT_FALSE(topic_is_publishable("a/+/c"));
  EXPECT_FALSE(topic_is_publishable("a/#"));
  EXPECT_FALSE(topic_is_publishable("bad\xff"));
  EXPECT_FALSE(topic_is_publishable(std::string(65536, 't').c_str()));
}

}  // namespace
